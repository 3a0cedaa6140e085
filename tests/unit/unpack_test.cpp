#include "installer/unpack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
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

std::string FailureLine(size_t size = 61) {
    std::vector<char> line(size);
    PackageFailureLine(line.data(), line.size());
    return line.data();
}

// A path as the failure line shows it in room characters: the file name kept.
std::string Shortened(const std::string &path, size_t room) {
    if (path.size() <= room) return path;
    const std::string tail = path.substr(path.find_last_of("\\/"));
    return path.substr(0, room - 3 - tail.size()) + "..." + tail;
}

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
    // Every name below the unpacking folder but the package, and what the run keeps in the
    // temporary folder beyond the restored copy and the lock.
    std::vector<std::string> Leftovers() {
        std::vector<std::string> names;
        for (const auto &item : std::filesystem::recursive_directory_iterator(folder.Root())) {
            const std::string name =
                std::filesystem::relative(item.path(), folder.Root()).generic_string();
            if (name != "cab1.rpm") names.push_back(name);
        }
        for (const char *name : {"xx2", "xx.journal"})
            if (Exists(SandboxTemp() + name)) names.push_back(name);
        std::sort(names.begin(), names.end());
        return names;
    }

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
    EXPECT_STREQ(info[1], "packer!--------@mkpkg");  // keeps the digest out of the first two
    EXPECT_EQ(info[2], nullptr);
    EXPECT_EQ(InfoValue("appname"), "Demo App");
    EXPECT_EQ(FailureLine(), "");
    EXPECT_EQ(Leftovers(),
              (std::vector<std::string>{"empty.txt", "sub", "sub/dir", "sub/dir/f.bin"}));
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

TEST_F(UnpackTest, FewerRecordsThanAnnouncedWritesNothing) {
    EXPECT_EQ(
        UnpackRestored("3 1 0 3\nappname!--------@A\nf!--------@0!--------@1\n" + kMarker + "\nx"),
        -1);
    EXPECT_FALSE(Exists(Here("f")));
    EXPECT_EQ(InfoValue("appname"), "A");
    EXPECT_EQ(FailureLine(), "Installation failed: " + Shortened(Here("cab1.rpm"), 15) +
                                 ": the package is damaged");
}

TEST_F(UnpackTest, FewerInfoRecordsThanAnnouncedKeepsThoseRead) {
    EXPECT_EQ(UnpackRestored("3 5 0 0\nappname!--------@A\n" + kMarker + "\n"), -1);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info[1], nullptr);
    EXPECT_EQ(InfoValue("appname"), "A");
}

TEST_F(UnpackTest, OverLongTokenWritesNothing) {
    const std::string long_path = std::string(250, 'p') + "!--------@0!--------@1";
    EXPECT_EQ(UnpackRestored("3 1 0 3\nappname!--------@A\nf!--------@0!--------@1\n" + long_path +
                             "\ng!--------@0!--------@1\n" + kMarker + "\nx"),
              -1);
    EXPECT_FALSE(Exists(Here("f")));
    EXPECT_FALSE(Exists(Here("g")));
}

TEST_F(UnpackTest, EntryMissingFieldsStopsTheInstallation) {
    EXPECT_EQ(UnpackRestored("3 1 0 3\nappname\nf!--------@0\nEOF\n"
                             "g!--------@0!--------@2\n" +
                             kMarker + "\nxy"),
              -1);
    EXPECT_FALSE(Exists(Here("f")));
    EXPECT_FALSE(Exists(Here("g")));
    EXPECT_EQ(InfoValue("appname"), "(none)");  // the record has no value
}

TEST_F(UnpackTest, PathTooLongAfterTheMacroStopsTheInstallation) {
    // A Windows folder of 240 characters: "\" and 14 more make the longest path, 255.
    const std::string windows = Here(std::string(240 - folder.Root().size() - 1, 'w'));
    WindowsDirectorySet(windows.c_str());
    EXPECT_EQ(
        UnpackRestored("3 1 0 3\nappname!--------@A\n$win_dir$\\" + std::string(15, 'n') +
                       "!--------@0!--------@1\n$win_dir$\\" + std::string(14, 'n') +
                       "!--------@0!--------@1\nlast!--------@0!--------@1\n" + kMarker + "\nz"),
        -1);
    EXPECT_FALSE(Exists(windows + testsupport::Separator() + std::string(15, 'n')));
    EXPECT_FALSE(Exists(windows));
    EXPECT_FALSE(Exists(Here("last")));
    const std::string line = FailureLine();
    EXPECT_EQ(line.substr(line.size() - 15), ": path too long");
    EXPECT_NE(line.find("...\\" + std::string(15, 'n') + ": "), std::string::npos) << line;
}

TEST_F(UnpackTest, WindowsMacroWithoutValueStopsTheInstallation) {
    EXPECT_EQ(UnpackRestored("3 1 0 2\nappname!--------@A\n$win_dir$\\a.dll!--------@0!--------@1\n"
                             "b!--------@0!--------@1\n" +
                             kMarker + "\nz"),
              -1);
    EXPECT_FALSE(Exists(Here("$win_dir$")));
    EXPECT_FALSE(Exists(Here("b")));
    EXPECT_EQ(FailureLine(), "Installation failed: $win_dir$\\a.dll: no Windows folder");
}

TEST_F(UnpackTest, OffsetsBeforeTheFileOrReversedStopTheInstallation) {
    // -2 reaches back into the white space after the marker; -999 before the file's start.
    EXPECT_EQ(UnpackRestored("3 1 0 1\nappname!--------@A\nback!--------@-2!--------@1\n" +
                             kMarker + " \nz"),
              1);
    EXPECT_EQ(ReadFile(Here("back")), " \nz");
    for (const char *entry : {"far!--------@-999!--------@1", "rev!--------@1!--------@0",
                              "past!--------@0!--------@2"}) {
        EXPECT_EQ(UnpackRestored(
                      std::string("3 1 0 2\nappname!--------@A\nfirst!--------@0!--------@1\n") +
                      entry + "\n" + kMarker + " \nz"),
                  -1)
            << entry;
        EXPECT_FALSE(Exists(Here("first")));
        EXPECT_EQ(Leftovers(), std::vector<std::string>{"back"});
    }
}

TEST_F(UnpackTest, FileWhereAFolderShouldBeStopsTheInstallation) {
    WriteFile(Here("blocker"), "a file where a folder should be");
    EXPECT_EQ(UnpackRestored("3 1 0 2\nappname!--------@A\nok!--------@0!--------@1\n"
                             "blocker/inner!--------@0!--------@1\n" +
                             kMarker + "\nz"),
              -1);
    EXPECT_FALSE(Exists(Here("ok")));
    EXPECT_EQ(ReadFile(Here("blocker")), "a file where a folder should be");
    EXPECT_EQ(FailureLine(), "Installation failed: blocker\\inner: a file is in the way");
}

// All or nothing: every target is as the run found it unless every file could be written.
class AllOrNothingTest : public UnpackTest {
   protected:
    void SetUp() override {
        UnpackTest::SetUp();
        std::filesystem::create_directories(Here("app"));
        WriteFile(Here("app/old.txt"), "old bytes");
        spec.info = {{"appname", "App"}};
        spec.files = {{"app/old.txt", Source("1", "new bytes")},
                      {"app/new/deep/fresh.txt", Source("2", "fresh")},
                      {"app/blocked", Source("3", "blocked")}};
    }
    // The tree as the run found it: the old file with its bytes, nothing new.
    void ExpectUntouched() {
        EXPECT_EQ(ReadFile(Here("app/old.txt")), "old bytes");
        EXPECT_FALSE(Exists(Here("app/new")));
        EXPECT_FALSE(Exists(SandboxTemp() + "xx.journal"));
    }
    std::string Restored() {
        std::string restored, error;
        EXPECT_TRUE(pkgwrite::PackageBuild(spec, &restored, &error)) << error;
        return restored;
    }
};

TEST_F(AllOrNothingTest, FolderInTheWayPutsEveryTargetBack) {
    std::filesystem::create_directories(Here("app/blocked"));
    EXPECT_EQ(UnpackSpec(), -1);
    ExpectUntouched();
    EXPECT_EQ(Leftovers(), (std::vector<std::string>{"app", "app/blocked", "app/old.txt"}));
    EXPECT_EQ(FailureLine(), "Installation failed: app\\blocked: a folder is in the way");
}

TEST_F(AllOrNothingTest, ReadOnlyTargetPutsEveryTargetBack) {
    WriteFile(Here("app/blocked"), "read-only");
    std::filesystem::permissions(Here("app/blocked"), std::filesystem::perms::owner_read);
    EXPECT_EQ(UnpackSpec(), -1);
    std::filesystem::permissions(Here("app/blocked"), std::filesystem::perms::owner_all);
    ExpectUntouched();
    EXPECT_EQ(ReadFile(Here("app/blocked")), "read-only");
    EXPECT_EQ(Leftovers(), (std::vector<std::string>{"app", "app/blocked", "app/old.txt"}));
    EXPECT_EQ(FailureLine(), "Installation failed: app\\blocked: access denied");
}

TEST_F(AllOrNothingTest, WholeRunReplacesOldFilesAndLeavesNothingBehind) {
    EXPECT_EQ(UnpackSpec(), 1);
    EXPECT_EQ(ReadFile(Here("app/old.txt")), "new bytes");
    EXPECT_EQ(ReadFile(Here("app/new/deep/fresh.txt")), "fresh");
    EXPECT_EQ(ReadFile(Here("app/blocked")), "blocked");
    EXPECT_EQ(Leftovers(),
              (std::vector<std::string>{"app", "app/blocked", "app/new", "app/new/deep",
                                        "app/new/deep/fresh.txt", "app/old.txt"}));
}

TEST_F(AllOrNothingTest, CutPackageWritesNothing) {
    const std::string restored = Restored();
    // Cut inside the second file's bytes: the first file is whole, but nothing is written.
    UnpackRestored(restored.substr(0, restored.size() - std::string("blocked").size() - 2));
    EXPECT_EQ(FailureLine(), "Installation failed: " + Shortened(Here("cab1.rpm"), 15) +
                                 ": the package is damaged");
    ExpectUntouched();
    EXPECT_FALSE(Exists(Here("app/blocked")));
}

TEST_F(AllOrNothingTest, ChangedPayloadByteIsRefused) {
    std::string restored = Restored();
    restored[restored.size() - 1] ^= 1;  // "blocked" ends in 'e' now: only the digest can tell
    EXPECT_EQ(UnpackRestored(restored), -1);
    EXPECT_EQ(FailureLine(), "Installation failed: " + Shortened(Here("cab1.rpm"), 15) +
                                 ": the package is damaged");
    ExpectUntouched();
    restored[restored.size() - 1] ^= 1;
    EXPECT_EQ(UnpackRestored(restored), 1);  // the same bytes unchanged install
}

TEST_F(AllOrNothingTest, ChangedPackageIsNamedBeforeAFolderInTheWay) {
    // Both faults at once: the changed bytes are the reason shown, as when they were found first.
    std::filesystem::create_directories(Here("app/blocked"));
    std::string restored = Restored();
    restored[restored.size() - 1] ^= 1;
    EXPECT_EQ(UnpackRestored(restored), -1);
    EXPECT_EQ(FailureLine(), "Installation failed: " + Shortened(Here("cab1.rpm"), 15) +
                                 ": the package is damaged");
    ExpectUntouched();
    EXPECT_EQ(Leftovers(), (std::vector<std::string>{"app", "app/blocked", "app/old.txt"}));
}

// A header longer than the block the restore works in: the digest is worked out after the
// restore, while the files are written, and still refuses a changed byte.
TEST_F(AllOrNothingTest, ChangedByteIsRefusedBehindAHeaderLongerThanABlock) {
    for (int i = 0; i < 40000; ++i)
        spec.info.push_back({"note" + std::to_string(i), std::string(24, 'n')});
    std::string restored = Restored();
    ASSERT_GT(restored.find(kMarker), size_t{1} << 20);
    restored[restored.size() - 1] ^= 1;
    EXPECT_EQ(UnpackRestored(restored), -1);
    EXPECT_EQ(FailureLine(), "Installation failed: " + Shortened(Here("cab1.rpm"), 15) +
                                 ": the package is damaged");
    ExpectUntouched();
    restored[restored.size() - 1] ^= 1;
    EXPECT_EQ(UnpackRestored(restored), 1);
    EXPECT_EQ(ReadFile(Here("app/blocked")), "blocked");
}

TEST_F(AllOrNothingTest, ChangedHeaderByteIsRefused) {
    std::string restored = Restored();
    const size_t name = restored.find("fresh.txt");
    restored[name] = 'F';  // still a good header, but not the one the digest was made for
    EXPECT_EQ(UnpackRestored(restored), -1);
    ExpectUntouched();
}

TEST_F(AllOrNothingTest, PackageWithoutIntegrityRecordInstallsAsBefore) {
    EXPECT_EQ(UnpackRestored("3 1 0 1\nappname!--------@A\napp/old.txt!--------@0!--------@3\n" +
                             kMarker + "\nnew"),
              1);
    EXPECT_EQ(ReadFile(Here("app/old.txt")), "new");
}

TEST_F(AllOrNothingTest, MalformedDigestIsRefused) {
    EXPECT_EQ(UnpackRestored("3 3 0 1\nappname!--------@A\nb!--------@B\nmd5!--------@00\n"
                             "app/old.txt!--------@0!--------@3\n" +
                             kMarker + "\nnew"),
              -1);
    ExpectUntouched();
}

TEST_F(AllOrNothingTest, LaterEntryForTheSameTargetWinsAndLeavesNoSideFile) {
    spec.files = {{"app/old.txt", Source("1", "first")}, {"app/old.txt", Source("2", "second")}};
    EXPECT_EQ(UnpackSpec(), 1);
    EXPECT_EQ(ReadFile(Here("app/old.txt")), "second");
    EXPECT_EQ(Leftovers(), (std::vector<std::string>{"app", "app/old.txt"}));
}

TEST_F(AllOrNothingTest, MissingPackageIsNamed) {
    EXPECT_EQ(Unpack(), -1);
    EXPECT_EQ(FailureLine(), "Installation failed: " + Shortened(Here("cab1.rpm"), 15) +
                                 ": the package is missing");
}

// A run killed while it replaced targets left its journal: the next run puts back what it
// had moved and removes what it had made before doing anything else.
TEST_F(AllOrNothingTest, NextRunPutsRightWhatAKilledRunLeft) {
    const std::string temp = SandboxTemp();
    WriteFile(Here("app/~backup1"), "old bytes");
    std::filesystem::remove(Here("app/old.txt"));
    WriteFile(Here("app/old.txt"), "half-way new");  // already moved in by the killed run
    std::filesystem::create_directories(Here("app/made"));
    WriteFile(Here("app/made/~side001"), "new");
    WriteFile(Here("app/made/moved.txt"), "moved");  // a new file, already moved in
    const std::string app = "app";  // relative to the current folder, as the run saw it
    WriteFile(temp + "xx.journal", "folder " + app + "\\made\nnew " + app + "\\made\\~side001\n" +
                                       "new " + app + "\\made\\~side002\n" + "target " + app +
                                       "\\old.txt " + app + "\\~side000 " + app + "\\~backup1\n" +
                                       "target " + app + "\\made\\moved.txt " + app +
                                       "\\made\\~side002 -\n" + "commit\n" + "target cut");
    spec.files = {{"elsewhere.txt", Source("4", "other")}};
    EXPECT_EQ(UnpackSpec(), 1);
    EXPECT_EQ(ReadFile(Here("app/old.txt")), "old bytes");
    EXPECT_EQ(ReadFile(Here("elsewhere.txt")), "other");
    EXPECT_EQ(Leftovers(), (std::vector<std::string>{"app", "app/old.txt", "elsewhere.txt"}));
}

TEST_F(AllOrNothingTest, NextRunFinishesAKilledRunThatHadPlacedEveryFile) {
    const std::string temp = SandboxTemp();
    WriteFile(Here("app/~backup1"), "old bytes");
    WriteFile(Here("app/old.txt"), "new bytes");
    const std::string app = "app";
    WriteFile(temp + "xx.journal", "target " + app + "\\old.txt " + app + "\\~side000 " + app +
                                       "\\~backup1\ncommit\ndone\n");
    spec.files = {{"elsewhere.txt", Source("4", "other")}};
    EXPECT_EQ(UnpackSpec(), 1);
    EXPECT_EQ(ReadFile(Here("app/old.txt")), "new bytes");
    EXPECT_EQ(Leftovers(), (std::vector<std::string>{"app", "app/old.txt", "elsewhere.txt"}));
}

TEST(PackageFailureLine, FitsTheLineAndKeepsTheFileName) {
    const std::string folder(200, 'f');
    // Nothing failed yet in a fresh unpacking of a missing package named by a long path.
    char **info = nullptr;
    PackageUnpack(("c:\\" + folder + "\\cab1.rpm").c_str(), &info);
    const std::string line = FailureLine();
    EXPECT_EQ(line.size(), 60u);
    EXPECT_EQ(line, "Installation failed: c:\\...\\cab1.rpm: the package is missing");
    EXPECT_EQ(FailureLine(30), "Installation failed: the pack");
    PackageUnpackRelease();
}

// A link planted at xx1 or xx2 points at a file of the user's; the unpacking must replace
// the name, never write through it.
class PlantedLinkTest : public UnpackTest {
   protected:
    void Plant(const std::string &name) {
        WriteFile(victim.Path("precious"), "precious");
        std::error_code failed;
        std::filesystem::remove(SandboxTemp() + name, failed);
        std::filesystem::create_symlink(victim.Path("precious"), SandboxTemp() + name, failed);
        if (failed) GTEST_SKIP() << "links cannot be made here: " << failed.message();
    }
    bool IsLink(const std::string &name) {
        return std::filesystem::is_symlink(SandboxTemp() + name);
    }
    TempFolder victim;
};

TEST_F(PlantedLinkTest, RestoredCopyReplacesALinkAtXx1) {
    Plant("xx1");
    const std::string restored = "3 0 0 1\nf!--------@0!--------@1\n" + kMarker + "\nz";
    EXPECT_EQ(UnpackRestored(restored), 1);
    EXPECT_EQ(ReadFile(victim.Path("precious")), "precious");
    EXPECT_FALSE(IsLink("xx1"));
    EXPECT_EQ(ReadFile(SandboxTemp() + "xx1"), restored);
    EXPECT_EQ(ReadFile(Here("f")), "z");
}

TEST_F(PlantedLinkTest, HeaderCopyReplacesALinkAtXx2) {
    Plant("xx2");
    EXPECT_EQ(UnpackRestored("3 0 0 1\nf!--------@0!--------@1\n" + kMarker + "\nz"), 1);
    EXPECT_EQ(ReadFile(victim.Path("precious")), "precious");
    EXPECT_FALSE(Exists(SandboxTemp() + "xx2"));
    EXPECT_FALSE(IsLink("xx2"));
    EXPECT_EQ(ReadFile(Here("f")), "z");
}

#ifndef _WIN32
// "/x/y" becomes "\x\y", the root of the current drive; so does "$win_dir$\a" without a
// Windows folder. On Linux that drive is c in the drive root, never the real root.
TEST_F(UnpackTest, RootedEntriesLandOnTheCurrentDrive) {
    WindowsDirectorySet("");
    const std::string drive_c = std::string(platform::EnvGet("NUVEX_DRIVE_ROOT")) + "/c";
    EXPECT_EQ(UnpackRestored("3 0 0 2\n/nuvex-rooted/f!--------@0!--------@1\n"
                             "$win_dir$\\nuvex-rooted.dll!--------@0!--------@1\n" +
                             kMarker + "\nz"),
              1);
    EXPECT_EQ(ReadFile(drive_c + "/nuvex-rooted/f"), "z");
    EXPECT_EQ(ReadFile(drive_c + "/nuvex-rooted.dll"), "z");
    EXPECT_FALSE(Exists("/nuvex-rooted"));
    std::filesystem::remove_all(drive_c + "/nuvex-rooted");
    std::filesystem::remove(drive_c + "/nuvex-rooted.dll");
}
#endif

TEST_F(UnpackTest, OnlyTheFirstTwoInfoRecordsAreHandedBack) {
    EXPECT_EQ(UnpackRestored("3 4 0 0\nappname!--------@A\nb!--------@B\nc!--------@C\n"
                             "d!--------@D\n" +
                             kMarker + "\n"),
              1);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info[0], "appname!--------@A");
    EXPECT_STREQ(info[1], "b!--------@B");
    EXPECT_EQ(info[2], nullptr);
    EXPECT_EQ(InfoValue("appname"), "A");
}

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NUVEX_NO_MEMORY_TEST
#endif
#endif
#ifndef NUVEX_NO_MEMORY_TEST
// Kilobytes from a line of /proc/self/status.
long StatusKb(const char *field) {
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    long kb = -1;
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status))
        if (std::strncmp(line, field, length) == 0) kb = std::atol(line + length);
    std::fclose(status);
    return kb;
}

// The growth of the peak resident memory over what a fresh child held when it started,
// in bytes: the unpacking alone, measured in a process of its own.
long long UnpackPeakGrowth(const std::string &package) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        // "5" resets the peak to what the process holds now.
        if (FILE *clear = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", clear);
            std::fclose(clear);
        }
        const long before = StatusKb("VmRSS:");
        char **records = nullptr;
        PackageUnpack(package.c_str(), &records);
        const long long growth = (StatusKb("VmHWM:") - before) * 1024LL;
        const ssize_t put = write(pipe_ends[1], &growth, sizeof growth);
        _exit(put == sizeof growth ? 0 : 1);
    }
    close(pipe_ends[1]);
    long long growth = -1;
    if (read(pipe_ends[0], &growth, sizeof growth) != sizeof growth) growth = -1;
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return growth;
}

TEST_F(UnpackTest, MemoryStaysWithinThePackageSizeAndSixteenMegabytes) {
    const std::string path = folder.Path("cab1.rpm");
    struct Hostile {
        const char *what;
        std::string restored;
    };
    std::string tiny_infos = "3 4000000 0 0\n";
    for (int i = 0; i < 4000000; ++i) tiny_infos += "ab ";
    std::string damaged_entries = "3 0 0 2000000\n";
    for (int i = 0; i < 2000000; ++i) damaged_entries += "x!--------@1 ";
    std::string many_counts = "3000000 0 0 0";
    for (int i = 3; i < 3000000; ++i) many_counts += " 7";
    std::string lists = "3 0 1000000 0\n";
    for (int i = 0; i < 1000000; ++i) lists += "a|b|c|d|e|f|g|h|i|j!--------@t ";
    const Hostile packages[] = {
        {"4,000,000 two-byte info records", tiny_infos + kMarker + "\n"},
        {"2,000,000 file entries without an end", damaged_entries + kMarker + "\n"},
        {"3,000,000 section counts", many_counts + "\n" + kMarker + "\n"},
        {"1,000,000 list records of ten items", lists + kMarker + "\n"},
    };
    for (const auto &package : packages) {
        WritePackageBytes(path, package.restored);
        const long long size = static_cast<long long>(package.restored.size());
        const long long growth = UnpackPeakGrowth(path);
        ASSERT_GE(growth, 0) << package.what;
        EXPECT_LE(growth, size + (16LL << 20))
            << package.what << ": package " << size << " bytes, peak growth " << growth;
    }
}
#endif
#endif

}  // namespace
