#include "installer/unpack.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/unit/support.h"
#include "tools/pkgwrite.h"
#include "util/filepath.h"

namespace {

using testsupport::CurrentFolder;
using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::SandboxTemp;
using testsupport::TempFolder;
using testsupport::WriteFile;
using testsupport::WritePackageBytes;

const std::string kMarker(40, '^');

std::string InfoValue(const char *key) {
    char *value = PackageInfoValue(key);
    std::string out = value ? value : "(none)";
    std::free(value);
    return out;
}

// Each test unpacks in a folder of its own, which is also the current folder.
class UnpackTest : public ::testing::Test {
   protected:
    void SetUp() override { WindowsDirectorySet(nullptr); }
    void TearDown() override { WindowsDirectorySet(nullptr); }

    int UnpackSpec() {
        std::string error;
        EXPECT_TRUE(pkgwrite::PackageWrite(spec, folder.Path("cab1.rpm"), &error)) << error;
        return Unpack();
    }
    int UnpackRestored(const std::string &restored) {
        WritePackageBytes(folder.Path("cab1.rpm"), restored);
        return Unpack();
    }
    int Unpack() { return PackageUnpack(folder.Path("cab1.rpm").c_str(), &info); }
    std::string Source(const std::string &name, const std::string &bytes) {
        WriteFile(sources.Path(name), bytes);
        return sources.Path(name);
    }
    std::string Here(const std::string &relative) { return folder.Path(relative); }

    TempFolder sources;
    TempFolder folder;
    CurrentFolder here{folder.Root()};
    pkgwrite::PackageSpec spec;
    char **info = nullptr;
};

TEST_F(UnpackTest, WritesEveryEntryAndKeepsOnlyTheRestoredCopy) {
    spec.info = {{"appname", "Demo App"}};
    spec.files = {{"sub/dir/f.bin", Source("f", std::string("\0\1\2", 3))},
                  {"$temp_dir$\\demo\\readme.txt", Source("r", "hello")},
                  {"empty.txt", Source("e", "")}};
    ASSERT_EQ(UnpackSpec(), 1);
    EXPECT_EQ(ReadFile(Here("sub/dir/f.bin")), std::string("\0\1\2", 3));
    EXPECT_EQ(ReadFile(SandboxTemp() + "demo" + testsupport::Separator() + "readme.txt"), "hello");
    EXPECT_TRUE(Exists(Here("empty.txt")));
    EXPECT_EQ(ReadFile(SandboxTemp() + "xx1").substr(0, 2), "3\n");
    EXPECT_FALSE(Exists(SandboxTemp() + "xx2"));
    EXPECT_EQ(std::string(PackageRestoredCopyPath()), SandboxTemp() + "xx1");
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info[0], "appname!--------@Demo%20App");
    EXPECT_EQ(info[1], nullptr);
    EXPECT_EQ(InfoValue("appname"), "Demo App");
}

TEST_F(UnpackTest, TempMacroNeedsItsBackslash) {
    spec.info = {{"appname", "A"}};
    spec.files = {{"$temp_dir$/a.txt", Source("a", "a")}};
    ASSERT_EQ(UnpackSpec(), 1);
    EXPECT_EQ(ReadFile(Here("$temp_dir$/a.txt")), "a");
}

TEST_F(UnpackTest, WindowsMacroTakesTheStartupValue) {
    WindowsDirectorySet(folder.Root().c_str());
    spec.info = {{"appname", "A"}};
    spec.files = {{"$win_dir$\\system32\\a.dll", Source("a", "dll")},
                  {"$temp_dir$\\both$win_dir$.txt", Source("b", "both")}};
    ASSERT_EQ(UnpackSpec(), 1);
    EXPECT_EQ(ReadFile(Here("system32/a.dll")), "dll");
    EXPECT_EQ(ReadFile(SandboxTemp() + "both$win_dir$.txt"), "both");
}

TEST_F(UnpackTest, LaterEntryWithTheSamePathWins) {
    spec.info = {{"appname", "A"}};
    spec.files = {{"same.txt", Source("1", "first")}, {"same.txt", Source("2", "second")}};
    ASSERT_EQ(UnpackSpec(), 1);
    EXPECT_EQ(ReadFile(Here("same.txt")), "second");
}

TEST_F(UnpackTest, InfoValueSearchesOnlyTheFirstTwoRecords) {
    ASSERT_EQ(UnpackRestored("3 2 0 0\ntitle!--------@appname+tool\nappname!--------@Demo\n" +
                             kMarker + "\n"),
              1);
    EXPECT_EQ(InfoValue("appname"), "appname tool");
    EXPECT_EQ(InfoValue("app"), "appname tool");
    ASSERT_EQ(UnpackRestored("3 3 0 0\na!--------@1\nb!--------@2\nappname!--------@Demo\n" +
                             kMarker + "\n"),
              1);
    EXPECT_EQ(InfoValue("appname"), "(none)");
}

TEST_F(UnpackTest, MissingPackageReadsNothing) {
    EXPECT_EQ(Unpack(), -1);
    EXPECT_EQ(info, nullptr);
    EXPECT_EQ(InfoValue("appname"), "(none)");
}

TEST_F(UnpackTest, PackageWithoutMarkerHasAnEmptyHeader) {
    EXPECT_EQ(UnpackRestored("3 1 0 1\nappname!--------@A\nf!--------@0!--------@1\n"), -1);
    EXPECT_EQ(info, nullptr);
    EXPECT_FALSE(Exists(Here("f")));
    EXPECT_FALSE(Exists(SandboxTemp() + "xx2"));
}

TEST_F(UnpackTest, UnusableCountsStopBeforeAnyRecord) {
    for (const std::string counts : {"2 1 1\n", "3 1 -1 1\n", "3 -1 0 1\n", "three 1 0 1\n"}) {
        EXPECT_EQ(UnpackRestored(counts + "appname!--------@A\nf!--------@0!--------@1\n" +
                                 kMarker + "\nx"),
                  -1)
            << counts;
        EXPECT_EQ(info, nullptr);
        EXPECT_FALSE(Exists(Here("f")));
    }
}

TEST_F(UnpackTest, FewerRecordsThanAnnouncedKeepsEarlierEntries) {
    EXPECT_EQ(
        UnpackRestored("3 1 0 3\nappname!--------@A\nf!--------@0!--------@1\n" + kMarker + "\nx"),
        -1);
    EXPECT_EQ(ReadFile(Here("f")), "x");
    EXPECT_EQ(InfoValue("appname"), "A");
}

TEST_F(UnpackTest, FewerInfoRecordsThanAnnouncedKeepsThoseRead) {
    EXPECT_EQ(UnpackRestored("3 5 0 0\nappname!--------@A\n" + kMarker + "\n"), -1);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info[1], nullptr);
    EXPECT_EQ(InfoValue("appname"), "A");
}

TEST_F(UnpackTest, OverLongTokenStopsButEarlierEntriesStay) {
    const std::string long_path = std::string(250, 'p') + "!--------@0!--------@1";
    EXPECT_EQ(UnpackRestored("3 1 0 3\nappname!--------@A\nf!--------@0!--------@1\n" + long_path +
                             "\ng!--------@0!--------@1\n" + kMarker + "\nx"),
              -1);
    EXPECT_EQ(ReadFile(Here("f")), "x");
    EXPECT_FALSE(Exists(Here("g")));
}

TEST_F(UnpackTest, EntryMissingFieldsIsPassedOver) {
    EXPECT_EQ(UnpackRestored("3 1 0 3\nappname\nf!--------@0\nEOF\n"
                             "g!--------@0!--------@2\n" +
                             kMarker + "\nxy"),
              -1);
    EXPECT_FALSE(Exists(Here("f")));
    EXPECT_EQ(ReadFile(Here("g")), "xy");
    EXPECT_EQ(InfoValue("appname"), "(none)");  // the record has no value
}

TEST_F(UnpackTest, PathTooLongAfterTheMacroIsPassedOver) {
    // A Windows folder of 240 characters: "\" and 14 more make the longest path, 255.
    const std::string windows = Here(std::string(240 - folder.Root().size() - 1, 'w'));
    WindowsDirectorySet(windows.c_str());
    EXPECT_EQ(
        UnpackRestored("3 1 0 3\nappname!--------@A\n$win_dir$\\" + std::string(15, 'n') +
                       "!--------@0!--------@1\n$win_dir$\\" + std::string(14, 'n') +
                       "!--------@0!--------@1\nlast!--------@0!--------@1\n" + kMarker + "\nz"),
        -1);
    EXPECT_FALSE(Exists(windows + testsupport::Separator() + std::string(15, 'n')));
    EXPECT_EQ(ReadFile(windows + testsupport::Separator() + std::string(14, 'n')), "z");
    EXPECT_EQ(ReadFile(Here("last")), "z");
}

TEST_F(UnpackTest, WindowsMacroWithoutValueIsPassedOver) {
    EXPECT_EQ(UnpackRestored("3 1 0 2\nappname!--------@A\n$win_dir$\\a.dll!--------@0!--------@1\n"
                             "b!--------@0!--------@1\n" +
                             kMarker + "\nz"),
              -1);
    EXPECT_FALSE(Exists(Here("$win_dir$")));
    EXPECT_EQ(ReadFile(Here("b")), "z");
}

TEST_F(UnpackTest, OffsetsBeforeTheFileOrReversedArePassedOver) {
    // -2 reaches back into the white space after the marker; -999 before the file's start.
    EXPECT_EQ(UnpackRestored("3 1 0 3\nappname!--------@A\nback!--------@-2!--------@1\n"
                             "far!--------@-999!--------@1\nrev!--------@1!--------@0\n" +
                             kMarker + " \nz"),
              -1);
    EXPECT_EQ(ReadFile(Here("back")), " \nz");
    EXPECT_FALSE(Exists(Here("far")));
    EXPECT_FALSE(Exists(Here("rev")));
}

TEST_F(UnpackTest, UnwritableEntryIsPassedOverSilently) {
    WriteFile(Here("blocker"), "a file where a folder should be");
    EXPECT_EQ(UnpackRestored("3 1 0 2\nappname!--------@A\nblocker/inner!--------@0!--------@1\n"
                             "ok!--------@0!--------@1\n" +
                             kMarker + "\nz"),
              1);
    EXPECT_EQ(ReadFile(Here("ok")), "z");
}

}  // namespace
