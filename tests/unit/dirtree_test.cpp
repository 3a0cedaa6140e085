#include "util/dirtree.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tests/unit/support.h"

namespace fs = std::filesystem;

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

// Trees live below c:\nuvex-dirtree, the test drive's own folder on Linux and the Wine
// prefix's drive under Wine; paths are handed to the library in Windows form.
class DirTreeTest : public ::testing::Test {
   protected:
    void SetUp() override { fs::create_directories(Native(kTop)); }
    void TearDown() override {
        std::error_code ignored;
        for (auto &item : fs::recursive_directory_iterator(Native(kTop), ignored))
            fs::permissions(item.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(Native(kTop), ignored);
    }
    static std::string Native(const std::string &path) {
        return platform::NativePath(path.c_str());
    }
    static void File(const std::string &path, const std::string &bytes = "x") {
        fs::create_directories(fs::path(Native(path)).parent_path());
        WriteFile(Native(path), bytes);
    }
    static void ReadOnly(const std::string &path) {
        fs::permissions(Native(path),
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    }
    static bool Exists(const std::string &path) { return fs::exists(Native(path)); }

    const std::string kTop = "c:\\nuvex-dirtree";
};

TEST(IsDotEntry, ExactNamesOnly) {
    EXPECT_EQ(IsDotEntry("."), 1);
    EXPECT_EQ(IsDotEntry(".."), 1);
    EXPECT_EQ(IsDotEntry("..."), 0);
    EXPECT_EQ(IsDotEntry(".x"), 0);
    EXPECT_EQ(IsDotEntry(""), 0);
}

TEST_F(DirTreeTest, DeleteRemovesReadOnlyFilesAndFolders) {
    const std::string tree = kTop + "\\tree";
    File(tree + "\\a.txt");
    File(tree + "\\sub\\b.txt");
    File(tree + "\\sub\\deeper\\c.txt");
    ReadOnly(tree + "\\a.txt");
    ReadOnly(tree + "\\sub\\deeper\\c.txt");
    ReadOnly(tree + "\\sub\\deeper");
    ReadOnly(tree + "\\sub");
    EXPECT_NE(DirDelete(tree.c_str()), 0);
    EXPECT_FALSE(Exists(tree));
}

TEST_F(DirTreeTest, DeleteOfMissingAndEmptyFolders) {
    EXPECT_EQ(DirDelete((kTop + "\\missing").c_str()), -1);
    fs::create_directories(Native(kTop + "\\empty"));
    EXPECT_NE(DirDelete((kTop + "\\empty").c_str()), 0);
    EXPECT_FALSE(Exists(kTop + "\\empty"));
}

// A tree holding a link to a folder outside it and a link to a file outside it. Wine makes no
// links itself: there the trees come ready-made from link_trees.sh, one per test.
class DirTreeLinkTest : public DirTreeTest {
   protected:
    void SetUp() override {
        DirTreeTest::SetUp();
        kTree = kTop + "\\tree";
        kOutside = kTop + "\\outside";
        File(kOutside + "\\keep.txt", "kept");
        File(kTree + "\\real\\inside.txt");
        std::error_code failed;
        fs::create_directory_symlink(fs::absolute(Native(kOutside)), Native(kTree + "\\link"),
                                     failed);
        if (!failed)
            fs::create_symlink(fs::absolute(Native(kOutside + "\\keep.txt")),
                               Native(kTree + "\\flink"), failed);
        if (!failed) return;
        static int next_ready_made = 0;
        const std::string ready = "c:\\nuvex-link-trees\\" + std::to_string(next_ready_made++);
        if (!fs::exists(Native(ready + "\\tree\\real")))
            GTEST_SKIP() << "links cannot be made here: " << failed.message();
        kTree = ready + "\\tree";
        kOutside = ready + "\\outside";
        file_link = false;
        // Wine removes a link to a folder only by removing the folder behind it, which is
        // not empty here: the delete stops there, where Windows removes the link.
        link_removable = false;
    }
    bool OutsideIntact() const {
        return Exists(kOutside + "\\keep.txt") &&
               ReadFile(Native(kOutside + "\\keep.txt")) == "kept";
    }
    std::string kTree;
    std::string kOutside;
    bool file_link = true;
    bool link_removable = true;
};

TEST_F(DirTreeLinkTest, DeleteRemovesLinksAndNeverWhatTheyPointTo) {
    EXPECT_EQ(DirDelete(kTree.c_str()) != 0, link_removable);
    EXPECT_TRUE(OutsideIntact());
    if (link_removable) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(Native(kTree))));
    }
}

TEST_F(DirTreeLinkTest, ReadOnlyTargetsBehindLinksAreLeftAlone) {
    ReadOnly(kOutside + "\\keep.txt");
    EXPECT_EQ(DirDelete(kTree.c_str()) != 0, link_removable);
    EXPECT_TRUE(OutsideIntact());
    const auto perms = fs::status(Native(kOutside + "\\keep.txt")).permissions();
    EXPECT_EQ(perms & fs::perms::owner_write, fs::perms::none);
}

TEST_F(DirTreeLinkTest, CountAndListTakeLinksAsEntriesWithoutDescending) {
    int directories = 0, files = 0;
    EXPECT_EQ(DirCount(kTree.c_str(), &directories, &files), 1);
    EXPECT_EQ(directories, 1);            // real
    EXPECT_EQ(files, file_link ? 3 : 2);  // real\inside.txt, link (and flink)
    FILE *out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(DirList(kTree.c_str(), out), 1);
    std::rewind(out);
    std::string listed;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, out)) listed += buffer;
    std::fclose(out);
    EXPECT_EQ(listed.find("keep.txt"), std::string::npos) << listed;
    EXPECT_NE(listed.find(kTree + "\\link=" + kTree + "\\link\n"), std::string::npos) << listed;
    if (file_link) {
        EXPECT_NE(listed.find(kTree + "\\flink="), std::string::npos) << listed;
    }
    EXPECT_NE(listed.find(kTree + "\\real\\inside.txt="), std::string::npos) << listed;
}

TEST_F(DirTreeTest, CountAddsFoldersAndFilesToTheCounters) {
    const std::string tree = kTop + "\\count";
    File(tree + "\\one");
    File(tree + "\\two");
    File(tree + "\\sub\\three");
    File(tree + "\\sub\\four");
    File(tree + "\\sub\\five");
    int directories = 10, files = 20;
    EXPECT_EQ(DirCount(tree.c_str(), &directories, &files), 1);
    EXPECT_EQ(directories, 11);
    EXPECT_EQ(files, 25);
    EXPECT_EQ(DirCount((kTop + "\\missing").c_str(), &directories, &files), 0);
}

TEST_F(DirTreeTest, ListWritesOneLinePerFile) {
    File(kTop + "\\d\\a.txt");
    File(kTop + "\\d\\sub\\b.txt");
    const std::string out = Native(kTop + "\\list.txt");
    FILE *stream = std::fopen(out.c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(DirList((kTop + "\\d").c_str(), stream), 1);
    std::fclose(stream);
    EXPECT_EQ(ReadFile(out),
              "c:\\nuvex-dirtree\\d\\a.txt=c:\\nuvex-dirtree\\d\\a.txt\n"
              "c:\\nuvex-dirtree\\d\\sub\\b.txt=c:\\nuvex-dirtree\\d\\sub\\b.txt\n");
}

TEST_F(DirTreeTest, ListLineThatDoesNotFitStopsTheWalk) {
    // An entry path of 254 characters still fits the 512-byte line; 255 does not.
    const std::string folder = kTop + "\\l";
    const std::string fits = folder + "\\" + std::string(254 - folder.size() - 1, 'f');
    const std::string too_long = folder + "\\" + std::string(255 - folder.size() - 1, 'g');
    File(fits);
    const std::string out = Native(kTop + "\\list.txt");
    FILE *stream = std::fopen(out.c_str(), "wb");
    EXPECT_EQ(DirList(folder.c_str(), stream), 1);
    std::fclose(stream);
    EXPECT_EQ(ReadFile(out), fits + "=" + fits + "\n");
    File(too_long);
    stream = std::fopen(out.c_str(), "wb");
    EXPECT_EQ(DirList(folder.c_str(), stream), 0);
    std::fclose(stream);
    EXPECT_EQ(ReadFile(out).find('g'), std::string::npos) << "no cut line is written";
    int directories = 0, files = 0;
    EXPECT_EQ(DirCount(folder.c_str(), &directories, &files), 1) << "counting has no line";
    EXPECT_EQ(files, 2);
}

TEST_F(DirTreeTest, PatternThatDoesNotFitIsRefused) {
    // path + "\*" must fit the 260-byte buffer: a path of 258 characters does not.
    const std::string base = kTop + "\\p";
    const std::string longest = base + "\\" + std::string(257 - base.size() - 1, 'q');
    const std::string too_long = base + "\\" + std::string(258 - base.size() - 1, 'r');
    fs::create_directories(Native(longest));
    fs::create_directories(Native(too_long));
    int directories = 0, files = 0;
    EXPECT_EQ(DirCount(longest.c_str(), &directories, &files), 1);
    EXPECT_EQ(DirCount(too_long.c_str(), &directories, &files), 0);
}

#ifndef _WIN32
// At a drive root the search yields no "." entry: its first result is a real entry and must
// be examined like every other.
TEST(DirTreeDriveRoot, FirstResultAtADriveRootIsCounted) {
    const std::string root = platform::NativePath("q:");
    fs::create_directories(root);
    WriteFile(root + "/a.txt", "a");
    WriteFile(root + "/b.txt", "b");
    int directories = 0, files = 0;
    EXPECT_EQ(DirCount("q:", &directories, &files), 1);
    EXPECT_EQ(files, 2);
    EXPECT_EQ(directories, 0);
    fs::remove_all(root);
}
#endif

}  // namespace
