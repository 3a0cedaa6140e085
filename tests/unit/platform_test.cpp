#include "platform/platform.h"

#include <gtest/gtest.h>

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
        platform::EnvSet("NUVEX_DRIVE_ROOT", "/srv/drives");
    }
    void TearDown() override { platform::EnvSet("NUVEX_DRIVE_ROOT", saved_root.c_str()); }
    std::string saved_root;
};

TEST_F(NativePathTest, DriveLetterBecomesAFolderOfTheDriveRoot) {
    EXPECT_EQ(platform::NativePath("C:\\nuvex\\docroot\\data\\app-list"),
              "/srv/drives/c/nuvex/docroot/data/app-list");
    EXPECT_EQ(platform::NativePath("d:"), "/srv/drives/d");
    EXPECT_EQ(platform::NativePath("d:rel"), "/srv/drives/d/rel");
}

TEST_F(NativePathTest, RelativeAndSlashPathsKeepTheirPlace) {
    EXPECT_EQ(platform::NativePath("sub\\dir\\f.bin"), "sub/dir/f.bin");
    EXPECT_EQ(platform::NativePath("/var/lib/app"), "/var/lib/app");
    EXPECT_EQ(platform::NativePath("\\tmp\\x"), "/tmp/x");
}

TEST_F(NativePathTest, UnsetRootFallsBackToAPerUserFolder) {
    platform::EnvSet("NUVEX_DRIVE_ROOT", nullptr);
    const std::string mapped = platform::NativePath("c:\\x");
    EXPECT_NE(mapped.find("nuvex"), std::string::npos);
    EXPECT_EQ(mapped.substr(mapped.size() - 4), "/c/x");
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

}  // namespace
