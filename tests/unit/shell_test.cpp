#include "util/shell.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/unit/support.h"
#include "util/filepath.h"
#include "util/registry.h"

namespace fs = std::filesystem;

namespace {

using testsupport::ReadFile;
using testsupport::WriteFile;

using testsupport::FreeDeleter;
using Text = std::unique_ptr<char, FreeDeleter>;

constexpr char kShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr char kTop[] = "c:\\nuvex-shell";
constexpr char kWindows[] = "c:\\nuvex-shell\\windows";

std::string Native(const std::string &path) {
    return platform::NativePath(path.c_str());
}

std::string Recorder() {
    std::string path = NUVEX_ARG_RECORDER;
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') path = "Z:" + path;  // Wine's view of the Unix tree
#endif
    return path;
}

void InstallRecorder(const std::string &windows_path) {
    const fs::path target = Native(windows_path);
    fs::create_directories(target.parent_path());
    fs::copy_file(Recorder(), target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms::owner_all, fs::perm_options::add);
}

std::string Text_(const Text &text) {
    return text ? text.get() : "(none)";
}

class ShellTest : public ::testing::Test {
   protected:
    void SetUp() override {
        fs::create_directories(Native(kWindows));
        WindowsDirectorySet(kWindows);
        record = (fs::path(Native(kTop)) / "record.txt").string();
        platform::EnvSet("NUVEX_RECORD", record.c_str());
    }
    void TearDown() override {
        WindowsDirectorySet(nullptr);
        std::error_code ignored;
        // Under Wine a file just written through the shell may still be held for a moment,
        // and a folder left behind would stand in the next test's way.
        for (int i = 0; i < 40 && fs::exists(Native(kTop)); ++i) {
            fs::remove_all(Native(kTop), ignored);
            if (fs::exists(Native(kTop)))
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        fs::remove_all(Native("c:\\nuvex\\tamble\\bin"), ignored);
        RegKeyDelete(NUVEX_HKEY_CLASSES_ROOT, "http\\shell\\open\\command");
    }
    void InstallLog(const std::string &content) {
        WriteFile(Native(std::string(kWindows) + "\\tamtam.log"), content);
    }
    void ShellFolder(const char *name, const std::string &path) {
        ASSERT_EQ(
            RegValueSet(NUVEX_HKEY_LOCAL_MACHINE, kShellFolders, name, path.c_str(), NUVEX_REG_SZ),
            1);
    }
    void BrowserCommand(const std::string &command) {
        ASSERT_EQ(RegValueSet(NUVEX_HKEY_CLASSES_ROOT, "http\\shell\\open\\command", "",
                              command.c_str(), NUVEX_REG_SZ),
                  1);
    }
    // The arguments a started recorder wrote, waiting for it a while.
    std::string Recorded() {
        for (int i = 0; i < 200 && !fs::exists(record); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return fs::exists(record) ? ReadFile(record) : "(not started)";
    }
    std::string record;
};

TEST_F(ShellTest, ExePathIsTheLineThatNamesTheExecutable) {
    InstallLog("first line\r\nc:\\nuvex\\tamble\\bin\\tamble.exe\r\nlast\r\n");
    EXPECT_EQ(Text_(Text(InstallLogExePath())), "c:\\nuvex\\tamble\\bin\\tamble.exe\r");
    EXPECT_EQ(Text_(Text(InstallLogRoot())), "c:\\nuvex\\");
}

TEST_F(ShellTest, ExePathWithoutAMatchIsTheLastLineShortened) {
    InstallLog("one\ntwo\nthree");
    EXPECT_EQ(Text_(Text(InstallLogExePath())), "thre");
    InstallLog("one\nlast\n");
    EXPECT_EQ(Text_(Text(InstallLogExePath())), "last");
    EXPECT_EQ(Text_(Text(InstallLogRoot())), "") << "no nuvex in the line";
}

TEST_F(ShellTest, MissingOrEmptyLogGivesNoPath) {
    EXPECT_EQ(InstallLogExePath(), nullptr);
    EXPECT_EQ(Text_(Text(InstallLogRoot())), "");
    InstallLog("");
    EXPECT_EQ(InstallLogExePath(), nullptr);
    WindowsDirectorySet(nullptr);
    EXPECT_EQ(InstallLogExePath(), nullptr);
}

TEST_F(ShellTest, ShortcutIsWrittenWithItsProperties) {
    const std::string link = std::string(kTop) + "\\direct.lnk";
    EXPECT_EQ(ShortcutCreate("c:\\target.exe", link.c_str(), "desc", "c:\\icon.ico", "c:\\work"),
              1);
    const std::string bytes = ReadFile(Native(link));
    ASSERT_GE(bytes.size(), 0x4Cu);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x4C\0\0\0", 4));
    EXPECT_EQ(bytes.substr(4, 16), std::string("\x01\x14\x02\0\0\0\0\0\xC0\0\0\0\0\0\0\x46", 16));
    // The description is kept in the code page or, as Windows writes it, in UTF-16.
    EXPECT_TRUE(bytes.find("desc") != std::string::npos ||
                bytes.find(std::string("d\0e\0s\0c\0", 8)) != std::string::npos);
}

TEST_F(ShellTest, OverLongLinkPathIsRefused) {
    const std::string link = std::string(kTop) + "\\" + std::string(260, 'l') + ".lnk";
    EXPECT_EQ(ShortcutCreate("c:\\t.exe", link.c_str(), "desc", "no", "c:\\"), 0);
}

TEST_F(ShellTest, UnreadableShellFolderWritesNothing) {
    RegValueDelete(NUVEX_HKEY_LOCAL_MACHINE, kShellFolders, "Nuvex Missing");
    EXPECT_EQ(ShellFolderShortcutCreate("c:\\t.exe", "Nuvex Missing", "\\x.lnk", "no", "desc",
                                        "\\sub", "c:\\"),
              0);
    EXPECT_FALSE(fs::exists(Native("\\sub")));
    EXPECT_FALSE(fs::exists(Native("\\sub\\x.lnk")));
}

TEST_F(ShellTest, ProductShortcutsFollowTheFlags) {
    InstallLog("c:\\nuvex\\tamble\\bin\\tamble.exe\n");
    const std::string desktop = std::string(kTop) + "\\desktop";
    const std::string startup = std::string(kTop) + "\\startup";
    const std::string programs = std::string(kTop) + "\\programs";
    ShellFolder("Common Desktop", desktop);
    ShellFolder("Common Startup", startup);
    ShellFolder("Common Programs", programs);

    EXPECT_EQ(ProductShortcutsCreate("desktop=on smenu=on STARTUP=ON"), 1);
    EXPECT_FALSE(fs::exists(Native(desktop)));
    EXPECT_FALSE(fs::exists(Native(programs)));

    EXPECT_EQ(ProductShortcutsCreate("Desktop=ON,SMenu=ON"), 1);
    EXPECT_TRUE(fs::exists(Native(desktop + "\\tamble.lnk")));
    EXPECT_FALSE(fs::exists(Native(startup + "\\tamble.lnk")));
    for (const char *name : {"tamble.lnk", "documents.lnk", "uninstall.lnk"})
        EXPECT_TRUE(fs::exists(Native(programs + "\\nuvex\\tamble\\" + name))) << name;
}

TEST_F(ShellTest, NoInstallLogMeansNoShortcuts) {
    const std::string desktop = std::string(kTop) + "\\desktop-without-log";
    ShellFolder("Common Desktop", desktop);
    EXPECT_EQ(ProductShortcutsCreate("Desktop=ON"), 1);
    EXPECT_FALSE(fs::exists(Native(desktop)));
}

TEST_F(ShellTest, BrowserCommandIsReducedToTheExecutable) {
    BrowserCommand("\"C:\\Program Files\\Internet Explorer\\iexplore.exe\" -nohome");
    EXPECT_EQ(Text_(Text(DefaultBrowserPath())),
              "C:\\Program Files\\Internet Explorer\\iexplore.exe");
    BrowserCommand("C:\\PROGRA~1\\BROWSER.EXE -url \"%1\"");
    EXPECT_EQ(Text_(Text(DefaultBrowserPath())), "C:\\PROGRA~1\\BROWSER.EXE");
    BrowserCommand("C:\\Browser\\Mixed.Exe %1");
    EXPECT_EQ(DefaultBrowserPath(), nullptr);
    RegKeyDelete(NUVEX_HKEY_CLASSES_ROOT, "http\\shell\\open\\command");
    EXPECT_EQ(DefaultBrowserPath(), nullptr);
}

TEST_F(ShellTest, UrlOpensInTheDefaultBrowserWithItsArguments) {
    const std::string browser = std::string(kTop) + "\\browser\\recorder.exe";
    InstallRecorder(browser);
    BrowserCommand("\"" + browser + "\" %1");
    EXPECT_EQ(UrlOpen(nullptr, 0), 0);
    EXPECT_EQ(UrlOpen("http://example.test/a?b=c", 0), 1);
    EXPECT_EQ(Recorded(), "-url\nhttp://example.test/a?b=c\n");
}

TEST_F(ShellTest, ExplorerFirstFallsBackToTheDefaultBrowser) {
    const std::string browser = std::string(kTop) + "\\browser\\recorder.exe";
    InstallRecorder(browser);
    BrowserCommand(browser);
    const std::string program_files = std::string(kTop) + "\\programs-folder";
    platform::EnvSet("ProgramFiles", program_files.c_str());
    EXPECT_EQ(UrlOpen("http://fallback.test/", 1), 1);
    EXPECT_EQ(Recorded(), "-url\nhttp://fallback.test/\n");
    fs::remove(record);

    // With Internet Explorer in its place it goes first; the default browser is gone.
    InstallRecorder(program_files + "\\internet explorer\\iexplore.exe");
    RegKeyDelete(NUVEX_HKEY_CLASSES_ROOT, "http\\shell\\open\\command");
    EXPECT_EQ(UrlOpen("http://explorer.test/", 1), 1);
    EXPECT_EQ(Recorded(), "-url\nhttp://explorer.test/\n");
    EXPECT_EQ(UrlOpen("http://none.test/", 0), 0);
}

TEST_F(ShellTest, ProductRunStartsTheProduct) {
    InstallRecorder("c:\\nuvex\\tamble\\bin\\tamble.exe");
    EXPECT_EQ(ProductRun(), 1);
    const std::string recorded = Recorded();
    EXPECT_NE(recorded.find("tamble.exe"), std::string::npos) << recorded;
}

TEST_F(ShellTest, FirefoxPreferenceIsAppendedOncePerCall) {
    const std::string folder = std::string(kTop) + "\\mozilla firefox";
    fs::create_directories(Native(folder + "\\greprefs"));
    WriteFile(Native(folder + "\\firefox.exe"), "");
    const std::string prefs = Native(folder + "\\greprefs\\all.js");
    WriteFile(prefs, "// prefs");
    BrowserCommand("\"" + folder + "\\firefox.exe\" -url \"%1\"");
    const std::string line = "\npref(\"dom.allow_scripts_to_close_windows\",true);";
    EXPECT_EQ(FirefoxPrefsPatch(), 1);
    EXPECT_EQ(ReadFile(prefs), "// prefs" + line);
    EXPECT_EQ(FirefoxPrefsPatch(), 1);
    EXPECT_EQ(ReadFile(prefs), "// prefs" + line + line);
    fs::remove(prefs);
    EXPECT_EQ(FirefoxPrefsPatch(), -1) << "no preferences file";
}

TEST_F(ShellTest, OtherBrowsersAreLeftAlone) {
    const std::string upper = std::string(kTop) + "\\MOZILLA FIREFOX";
    fs::create_directories(Native(upper + "\\greprefs"));
    WriteFile(Native(upper + "\\FIREFOX.EXE"), "");
    ASSERT_TRUE(fs::exists(Native(upper + "\\FIREFOX.EXE")));
    WriteFile(Native(upper + "\\greprefs\\all.js"), "");
    BrowserCommand(upper + "\\FIREFOX.EXE");
    EXPECT_EQ(FirefoxPrefsPatch(), -1);
    EXPECT_EQ(ReadFile(Native(upper + "\\greprefs\\all.js")), "");
    RegKeyDelete(NUVEX_HKEY_CLASSES_ROOT, "http\\shell\\open\\command");
    EXPECT_EQ(FirefoxPrefsPatch(), -1);
}

TEST(InstallErrorLog, KeepsOneRecordAndSuccessDeletesIt) {
    const std::string log = Native("c:\\TamErrorInst.log");
    EXPECT_EQ(InstallErrorLog(900), 0);
    EXPECT_EQ(InstallErrorLog(900), 0);
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(InstallErrorLog(7), -1);
    EXPECT_EQ(InstallErrorLog(8), -1);
    const std::string record = ReadFile(log);
    // "8 " + the 24-character ctime text with its line feed + one more line feed
    ASSERT_EQ(record.size(), 2u + 24u + 2u) << record;
    EXPECT_EQ(record.substr(0, 2), "8 ");
    EXPECT_EQ(record.substr(26), "\n\n");
    EXPECT_EQ(record[2 + 3], ' ') << "weekday, then the month";
    EXPECT_EQ(InstallErrorLog(900), 0);
    EXPECT_FALSE(fs::exists(log));
}

}  // namespace
