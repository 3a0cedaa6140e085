#include "util/filepath.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "tests/unit/support.h"

namespace {

using testsupport::CurrentFolder;
using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::TempFolder;
using testsupport::WriteFile;

using testsupport::FreeDeleter;
using Text = std::unique_ptr<char, FreeDeleter>;

TEST(FileSize, MissingEmptyAndFilled) {
    TempFolder folder;
    EXPECT_EQ(FileSize(folder.Path("missing").c_str()), -1);
    WriteFile(folder.Path("empty"), "");
    EXPECT_EQ(FileSize(folder.Path("empty").c_str()), 0);
    WriteFile(folder.Path("five"), std::string("a\0b\0c", 5));
    EXPECT_EQ(FileSize(folder.Path("five").c_str()), 5);
}

class FileCopyRangeTest : public ::testing::Test {
   protected:
    void SetUp() override { WriteFile(source, "0123456789ABCDE"); }
    int Copy(long start, long end) {
        return FileCopyRange(source.c_str(), destination.c_str(), start, end);
    }
    TempFolder folder;
    std::string source = folder.Path("source");
    std::string destination = folder.Path("destination");
};

TEST_F(FileCopyRangeTest, CopiesTheHalfOpenRange) {
    EXPECT_EQ(Copy(2, 5), 1);
    EXPECT_EQ(ReadFile(destination), "234");
}

TEST_F(FileCopyRangeTest, RangePastTheEndGivesAShorterFile) {
    EXPECT_EQ(Copy(10, 20), 1);
    EXPECT_EQ(ReadFile(destination), "ABCDE");
    EXPECT_EQ(Copy(100, 2000000000), 1);
    EXPECT_EQ(ReadFile(destination), "");
}

TEST_F(FileCopyRangeTest, EmptyRangeEmptiesTheDestination) {
    WriteFile(destination, "old content");
    EXPECT_EQ(Copy(0, 0), 1);
    EXPECT_TRUE(Exists(destination));
    EXPECT_EQ(ReadFile(destination), "");
}

TEST_F(FileCopyRangeTest, ReversedRangeIsRefusedWithoutTouchingTheDestination) {
    WriteFile(destination, "keep");
    EXPECT_EQ(Copy(5, 2), 0);
    EXPECT_EQ(ReadFile(destination), "keep");
}

TEST_F(FileCopyRangeTest, MissingSourceOrUnwritableDestination) {
    EXPECT_EQ(FileCopyRange(folder.Path("missing").c_str(), destination.c_str(), 0, 1), 0);
    EXPECT_FALSE(Exists(destination));
    EXPECT_EQ(FileCopyRange(source.c_str(), folder.Path("no-folder/x").c_str(), 0, 1), 0);
}

TEST_F(FileCopyRangeTest, FailedSeekEndsTheProcessWithStatusOne) {
    EXPECT_EXIT(Copy(-1, 3), testing::ExitedWithCode(1), "");
}

TEST(PathToBackslashes, TurnsEverySlash) {
    char path[] = "a/b\\c/";
    EXPECT_STREQ(PathToBackslashes(path), "a\\b\\c\\");
}

TEST(PathDirectory, PartBeforeTheLastBackslash) {
    EXPECT_STREQ(Text(PathDirectory("C:\\a\\b\\file.txt")).get(), "C:\\a\\b");
    EXPECT_STREQ(Text(PathDirectory("\\file")).get(), "");
}

TEST(PathDirectory, RefusesPathsWithoutBackslashOrTooLong) {
    EXPECT_EQ(PathDirectory("file.txt"), nullptr);
    const std::string long_path = std::string(260, 'd') + "\\f";
    EXPECT_EQ(PathDirectory(long_path.c_str()), nullptr);
    const std::string longest = std::string(259, 'd') + "\\f";
    EXPECT_STREQ(Text(PathDirectory(longest.c_str())).get(), std::string(259, 'd').c_str());
}

TEST(DirectoryPathCreate, CreatesEveryLevelOfARelativePath) {
    TempFolder folder;
    CurrentFolder here(folder.Root());
    EXPECT_EQ(DirectoryPathCreate("x\\y\\z"), 0);
    EXPECT_TRUE(Exists(folder.Path("x")));
    EXPECT_TRUE(Exists(folder.Path("x/y/z")));
    // The last creation fails when the folder already exists.
    EXPECT_EQ(DirectoryPathCreate("x\\y\\z"), -1);
}

TEST(DirectoryPathCreate, RefusesPathsOver255Characters) {
    TempFolder folder;
    CurrentFolder here(folder.Root());
    const std::string too_long = "top\\" + std::string(252, 'n');
    EXPECT_EQ(DirectoryPathCreate(too_long.c_str()), -1);
    EXPECT_FALSE(Exists(folder.Path("top")));
    const std::string longest = "top\\" + std::string(251, 'n');
    EXPECT_EQ(DirectoryPathCreate(longest.c_str()), 0);
}

TEST(DirectoryPathCreate, AbsolutePathBelowADrive) {
    const std::string top = platform::NativePath("c:\\nuvex-filepath-test");
    EXPECT_EQ(DirectoryPathCreate("c:\\nuvex-filepath-test\\inner"), 0);
    EXPECT_TRUE(Exists(platform::NativePath("c:\\nuvex-filepath-test\\inner")));
    std::error_code ignored;
    std::filesystem::remove_all(top, ignored);
}

TEST(PathParentsCreate, CreatesParentsOnly) {
    TempFolder folder;
    CurrentFolder here(folder.Root());
    EXPECT_EQ(PathParentsCreate("file.txt"), 1);
    EXPECT_EQ(PathParentsCreate("sub\\dir\\f.bin"), 1);
    EXPECT_TRUE(Exists(folder.Path("sub/dir")));
    EXPECT_FALSE(Exists(folder.Path("sub/dir/f.bin")));
}

TEST(WindowsDirectory, KeepsACopy) {
    std::string value = "C:\\Windows";
    WindowsDirectorySet(value.c_str());
    value[0] = 'X';
    EXPECT_STREQ(WindowsDirectoryValue(), "C:\\Windows");
    WindowsDirectorySet(nullptr);
    EXPECT_EQ(WindowsDirectoryValue(), nullptr);
}

}  // namespace
