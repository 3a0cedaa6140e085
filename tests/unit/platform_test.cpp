#include "platform/platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/unit/support.h"

namespace {

#ifdef _WIN32
TEST(NativePath, WindowsPathsPassUnchanged) {
    EXPECT_EQ(platform::NativePath("c:\\nuvex\\a b/c"), "c:\\nuvex\\a b/c");
}

TEST(TempDirectory, EndsWithBackslash) {
    const std::string temp = platform::TempDirectory();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), '\\');
}
#else
class NativePathTest : public ::testing::Test {
   protected:
    void SetUp() override {
        const char *root = platform::EnvGet("NUVEX_DRIVE_ROOT");
        saved_root = root ? root : "";
        drives = folder.Root() + "/drives";
        platform::EnvSet("NUVEX_DRIVE_ROOT", drives.c_str());
    }
    void TearDown() override { platform::EnvSet("NUVEX_DRIVE_ROOT", saved_root.c_str()); }
    static bool IsFolder(const std::string &path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    testsupport::TempFolder folder;
    std::string saved_root;
    std::string drives;
};

TEST_F(NativePathTest, DriveLetterBecomesAFolderOfTheDriveRoot) {
    EXPECT_EQ(platform::NativePath("C:\\nuvex\\docroot\\data\\app-list"),
              drives + "/c/nuvex/docroot/data/app-list");
    EXPECT_EQ(platform::NativePath("d:"), drives + "/d");
    EXPECT_EQ(platform::NativePath("d:rel"), drives + "/d/rel");
}

TEST_F(NativePathTest, RelativeAndSlashPathsKeepTheirPlace) {
    EXPECT_EQ(platform::NativePath("sub\\dir\\f.bin"), "sub/dir/f.bin");
    EXPECT_EQ(platform::NativePath("/var/lib/app"), "/var/lib/app");
    EXPECT_EQ(platform::NativePath("/var\\lib"), "/var/lib");
}

TEST_F(NativePathTest, BackslashRootIsTheRootOfTheCurrentDrive) {
    EXPECT_EQ(platform::NativePath("\\etc\\passwd"), drives + "/c/etc/passwd");
    EXPECT_EQ(platform::NativePath("\\a.dll"), drives + "/c/a.dll");
    EXPECT_EQ(platform::NativePath("\\"), drives + "/c/");
}

// ".." stops at the root of a drive as on Windows, so no drive path leaves the drive root.
TEST_F(NativePathTest, DotDotNeverClimbsAboveTheDrive) {
    EXPECT_EQ(platform::NativePath("c:\\..\\..\\etc\\x"), drives + "/c/etc/x");
    EXPECT_EQ(platform::NativePath("c:..\\x"), drives + "/c/x");
    EXPECT_EQ(platform::NativePath("\\..\\..\\x"), drives + "/c/x");
    EXPECT_EQ(platform::NativePath("c:\\a\\.\\b\\..\\..\\..\\y/"), drives + "/c/y/");
    EXPECT_EQ(platform::NativePath("c:\\a\\b\\..\\f.txt"), drives + "/c/a/f.txt");
    // Relative paths keep their ".." as a native path does.
    EXPECT_EQ(platform::NativePath("..\\x"), "../x");
}

TEST_F(NativePathTest, ADriveFolderIsMadeOnFirstUse) {
    ASSERT_FALSE(IsFolder(drives));
    FILE *file = platform::StreamOpen("e:\\new.txt", "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_TRUE(IsFolder(drives + "/e"));
    EXPECT_TRUE(testsupport::Exists(drives + "/e/new.txt"));
    // Only the drive itself: folders inside it are not made.
    EXPECT_EQ(platform::StreamOpen("f:\\sub\\new.txt", "wb"), nullptr);
    EXPECT_TRUE(IsFolder(drives + "/f"));
    EXPECT_FALSE(IsFolder(drives + "/f/sub"));
}

TEST_F(NativePathTest, UnsetRootFallsBackToAPerUserFolder) {
    platform::EnvSet("NUVEX_DRIVE_ROOT", nullptr);
    testsupport::ScopedEnv data("XDG_DATA_HOME", (folder.Root() + "/data").c_str());
    const std::string mapped = platform::NativePath("c:\\x");
    EXPECT_EQ(mapped, folder.Root() + "/data/nuvex/drives/c/x");
}

TEST(TempDirectory, FollowsTmpdirAndEndsWithSlash) {
    const std::string saved = platform::EnvGet("TMPDIR");
    platform::EnvSet("TMPDIR", "/var/tmp");
    EXPECT_EQ(platform::TempDirectory(), "/var/tmp/");
    platform::EnvSet("TMPDIR", nullptr);
    EXPECT_EQ(platform::TempDirectory(), "/tmp/");
    platform::EnvSet("TMPDIR", saved.c_str());
}
#endif

TEST(CurrentDirectory, RefusesABufferTooSmall) {
    char buffer[512];
    ASSERT_TRUE(platform::CurrentDirectory(buffer, sizeof buffer));
    char tiny[2];
    EXPECT_FALSE(platform::CurrentDirectory(tiny, sizeof tiny));
}

TEST(Console, WithoutAConsoleNothingIsMeasured) {
    // The tests run with standard output redirected, as under CTest.
    int width = -1, height = -1;
    if (platform::ConsoleScreenSize(&width, &height)) GTEST_SKIP() << "stdout is a console";
    EXPECT_EQ(width, -1);
    EXPECT_EQ(height, -1);
}

// What the installer asks of a target before it writes beside it.
TEST(PathKindOf, TellsMissingFilesReadOnlyFilesAndFolders) {
    testsupport::TempFolder folder;
    testsupport::WriteFile(folder.Path("file"), "x");
    testsupport::WriteFile(folder.Path("locked"), "x");
    std::filesystem::permissions(folder.Path("locked"), std::filesystem::perms::owner_read);
    std::filesystem::create_directories(folder.Path("sub"));
    EXPECT_EQ(platform::PathKindOf(folder.Path("none").c_str()), platform::PathKind::kMissing);
    EXPECT_EQ(platform::PathKindOf(folder.Path("file").c_str()), platform::PathKind::kFile);
    EXPECT_EQ(platform::PathKindOf(folder.Path("locked").c_str()),
              platform::PathKind::kReadOnlyFile);
    EXPECT_EQ(platform::PathKindOf(folder.Path("sub").c_str()), platform::PathKind::kFolder);
    std::filesystem::permissions(folder.Path("locked"), std::filesystem::perms::owner_all);
}

TEST(FileKeepAs, KeepsTheOldBytesWhenTheFirstNameIsReplaced) {
    testsupport::TempFolder folder;
    testsupport::WriteFile(folder.Path("target"), "old");
    testsupport::WriteFile(folder.Path("new"), "new");
    ASSERT_TRUE(platform::FileKeepAs(folder.Path("target").c_str(), folder.Path("kept").c_str()));
    EXPECT_FALSE(platform::FileKeepAs(folder.Path("target").c_str(), folder.Path("kept").c_str()));
    ASSERT_TRUE(platform::FileReplace(folder.Path("new").c_str(), folder.Path("target").c_str()));
    EXPECT_EQ(testsupport::ReadFile(folder.Path("target")), "new");
    EXPECT_EQ(testsupport::ReadFile(folder.Path("kept")), "old");
}

TEST(ScratchFileReplace, TakesTheNameWhetherOrNotItWasThere) {
    testsupport::TempFolder folder;
    testsupport::WriteFile(folder.Path("new"), "first");
    ASSERT_TRUE(
        platform::ScratchFileReplace(folder.Path("new").c_str(), folder.Path("copy").c_str()));
    testsupport::WriteFile(folder.Path("new"), "second");
    ASSERT_TRUE(
        platform::ScratchFileReplace(folder.Path("new").c_str(), folder.Path("copy").c_str()));
    EXPECT_EQ(testsupport::ReadFile(folder.Path("copy")), "second");
    EXPECT_FALSE(testsupport::Exists(folder.Path("new")));
    EXPECT_FALSE(
        platform::ScratchFileReplace(folder.Path("new").c_str(), folder.Path("copy").c_str()));
}

#ifndef _WIN32
// A link planted at the name goes, the file it pointed at stays as it was.
TEST(ScratchFileReplace, ReplacesALinkNotTheFileBehindIt) {
    testsupport::TempFolder folder;
    testsupport::WriteFile(folder.Path("victim"), "precious");
    ASSERT_EQ(symlink(folder.Path("victim").c_str(), folder.Path("copy").c_str()), 0);
    testsupport::WriteFile(folder.Path("new"), "scratch");
    ASSERT_TRUE(
        platform::ScratchFileReplace(folder.Path("new").c_str(), folder.Path("copy").c_str()));
    EXPECT_EQ(testsupport::ReadFile(folder.Path("victim")), "precious");
    EXPECT_EQ(platform::PathKindOf(folder.Path("copy").c_str()), platform::PathKind::kFile);
    EXPECT_EQ(testsupport::ReadFile(folder.Path("copy")), "scratch");
}
#endif

TEST(FileErrorLast, NamesWhyACreationFailed) {
    testsupport::TempFolder folder;
    testsupport::WriteFile(folder.Path("there"), "x");
    EXPECT_EQ(platform::StreamCreateNew(folder.Path("there").c_str()), nullptr);
    EXPECT_EQ(platform::FileErrorLast(), platform::kErrorFileExists);
    EXPECT_EQ(platform::StreamCreateNew(folder.Path("no\\such\\folder\\f").c_str()), nullptr);
    const unsigned long missing = platform::FileErrorLast();
    EXPECT_TRUE(missing == platform::kErrorPathNotFound || missing == platform::kErrorFileNotFound)
        << missing;
}

#ifndef _WIN32
// A file written under its lock and swapped in: a reader sees one whole version, never bytes
// of two, while another process writes and swaps as fast as it can.
TEST(FileSwap, AReaderNeverSeesAFileWrittenUnderIt) {
    ASSERT_TRUE(platform::FileSwapAvailable());
    testsupport::TempFolder folder;
    const std::string target = folder.Path("f"), spare = folder.Path("f.spare");
    // Three versions in turn, so that each of the two files gets each version in time.
    const std::string versions[3] = {std::string(256 * 1024, 'a'), std::string(300, 'b'),
                                     std::string(100 * 1024, 'c')};
    testsupport::WriteFile(target, versions[1]);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        for (int i = 0; i < 3000; ++i) {
            platform::LockedFile *file = platform::LockedFileOpen(spare.c_str());
            if (!file) _exit(2);
            const bool saved = platform::LockedFileWrite(file, versions[i % 3]) &&
                               platform::FileSwap(spare.c_str(), target.c_str());
            platform::LockedFileClose(file);
            if (!saved) _exit(3);
        }
        _exit(0);
    }
    int torn = 0, reads = 0, status = 0;
    while (waitpid(writer, &status, WNOHANG) == 0) {
        std::string bytes;
        ASSERT_EQ(platform::FileReadReplaceable(target.c_str(), false, &bytes),
                  platform::FileRead::kWhole);
        ++reads;
        if (bytes != versions[0] && bytes != versions[1] && bytes != versions[2]) ++torn;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 10);
}

TEST(FileSwap, SwapsTwoNamesAndRefusesAMissingOne) {
    testsupport::TempFolder folder;
    const std::string a = folder.Path("a"), b = folder.Path("b");
    testsupport::WriteFile(a, "first");
    testsupport::WriteFile(b, "second");
    ASSERT_TRUE(platform::FileSwap(a.c_str(), b.c_str()));
    EXPECT_EQ(testsupport::ReadFile(a), "second");
    EXPECT_EQ(testsupport::ReadFile(b), "first");
    EXPECT_FALSE(platform::FileSwap(a.c_str(), folder.Path("none").c_str()));
    EXPECT_EQ(testsupport::ReadFile(a), "second");
}
#else
TEST(FileSwap, NotOfferedHere) {
    EXPECT_FALSE(platform::FileSwapAvailable());
    EXPECT_FALSE(platform::FileSwap("a", "b"));
}
#endif

#ifndef _WIN32
// A pipe or a link planted at a locked file's name is refused at once, never waited on or
// followed.
TEST(LockedFile, RefusesAPipeAndALink) {
    testsupport::TempFolder folder;
    const std::string pipe = folder.Path("pipe"), link = folder.Path("link");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(platform::LockedFileOpen(pipe.c_str()), nullptr);
    ASSERT_EQ(symlink(folder.Path("target").c_str(), link.c_str()), 0);
    EXPECT_EQ(platform::LockedFileOpen(link.c_str()), nullptr);
    EXPECT_FALSE(testsupport::Exists(folder.Path("target")));
}
#endif

// A locked file's writer replaces the whole content, longer or shorter than before.
TEST(LockedFile, WritesTheWholeContent) {
    testsupport::TempFolder folder;
    const std::string path = folder.Path("locked");
    for (const std::string &text : {std::string(5000, 'x'), std::string("short"), std::string()}) {
        platform::LockedFile *file = platform::LockedFileOpen(path.c_str());
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(platform::LockedFileWrite(file, text));
        platform::LockedFileClose(file);
        EXPECT_EQ(testsupport::ReadFile(path), text);
    }
}

}  // namespace
