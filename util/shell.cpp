#include "util/shell.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "util/fileio.h"
#include "util/filepath.h"
#include "util/registry.h"
#include "util/text.h"

namespace {

constexpr size_t kLogLineSize = 255;
constexpr size_t kProductPathSize = 512;
constexpr size_t kLinkPathLimit = 259;
constexpr char kShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr char kProductExecutable[] = "c:\\nuvex\\tamble\\bin\\tamble.exe";
constexpr char kErrorLog[] = "c:\\TamErrorInst.log";
constexpr int kSuccessCode = 900;
constexpr int kShowCommand = 5;  // SW_SHOW

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

char *NewBuffer(const std::string &text, size_t size) {
    char *buffer = static_cast<char *>(std::calloc(size, 1));
    if (buffer) std::strncpy(buffer, text.c_str(), size - 1);
    return buffer;
}

struct LinkReleaser {
    void operator()(platform::ShellLink *link) const { platform::ShellLinkRelease(link); }
};

// The product paths fit their 512-byte buffers or are not made.
bool ProductPath(const std::string &path, std::string *out) {
    if (path.size() >= kProductPathSize) return false;
    *out = path;
    return true;
}

struct ShortcutRow {
    const char *folder_value;
    const char *subfolder;
    const char *link_name;
};

std::string FirstFieldBefore(const std::string &command, const char *extension) {
    std::vector<char *> fields(command.size() + 2, nullptr);
    // The fields are freed on every way out, a failed allocation's too.
    const std::unique_ptr<char *, void (*)(char **)> owner(fields.data(), &FieldsFree);
    if (StrSplit(command.c_str(), fields.data(), extension) > 0)
        return std::string(fields[0]) + extension;
    return std::string();
}

}  // namespace

extern "C" {

char *InstallLogExePath(void) try {
    const char *windows = WindowsDirectoryValue();
    if (!windows) return nullptr;
    const std::string log = std::string(windows) + "\\tamtam.log";
    if (log.size() >= kLogLineSize) return nullptr;
    platform::Stream stream(platform::StreamOpen(log.c_str(), "rb"));
    if (!stream) return nullptr;
    char line[kLogLineSize];
    std::string last;
    bool read_any = false;
    while (!std::feof(stream.get()) && !std::ferror(stream.get())) {
        if (!StreamReadLine(line, sizeof line, stream.get())) continue;
        last = line;
        read_any = true;
        if (last.find("tamble.exe") != std::string::npos) break;
    }
    stream.reset();
    if (!read_any) return nullptr;
    last.pop_back();
    return NewBuffer(last, kLogLineSize);
} catch (...) {
    return nullptr;
}

char *InstallLogRoot(void) try {
    Text line(InstallLogExePath());
    std::string root;
    if (line) {
        const std::string path = line.get();
        const size_t at = path.find("nuvex");
        if (at != std::string::npos) root = path.substr(0, at + 6);
    }
    return NewBuffer(root, kLogLineSize);
} catch (...) {
    return nullptr;
}

int ShortcutCreate(const char *target, const char *link_path, const char *description,
                   const char *icon, const char *working_directory) try {
    if (!target || !link_path || !description || !icon || !working_directory) return 0;
    if (std::strlen(link_path) > kLinkPathLimit) return 0;
    platform::ShellLinkStart start;
    std::unique_ptr<platform::ShellLink, LinkReleaser> link(platform::ShellLinkCreate(&start));
    if (!link) return 1;
    if (!platform::ShellLinkSetPath(link.get(), target)) return 0;
    if (std::strcmp(icon, "no") != 0 && !platform::ShellLinkSetIconLocation(link.get(), icon, 0))
        return 0;
    if (!platform::ShellLinkSetWorkingDirectory(link.get(), working_directory)) return 0;
    if (!platform::ShellLinkSetDescription(link.get(), description)) return 0;
    platform::ShellLinkSave(link.get(), link_path);  // a failed save is not reported
    return 1;
} catch (...) {
    return 0;
}

int ShellFolderShortcutCreate(const char *target, const char *folder_value, const char *link_name,
                              const char *icon, const char *description, const char *subfolder,
                              const char *working_directory) try {
    Text folder(RegStringGet(NUVEX_HKEY_LOCAL_MACHINE, kShellFolders, folder_value));
    if (!folder || !folder.get()[0] || !link_name) return 0;
    const std::string link_path = std::string(folder.get(), strnlen(folder.get(), 512)) +
                                  (subfolder ? subfolder : "") + link_name;
    if (link_path.size() > kLinkPathLimit) return 0;
    PathParentsCreate(link_path.c_str());
    ShortcutCreate(target, link_path.c_str(), description, icon, working_directory);
    return 0;
} catch (...) {
    return 0;
}

int ProductShortcutsCreate(const char *options) try {
    Text executable(InstallLogExePath());
    if (!executable || !options) return 1;
    const char *windows = WindowsDirectoryValue();
    std::string bin, icon;
    {
        Text root(InstallLogRoot());
        if (!ProductPath(std::string(root.get()) + "tamble\\bin", &bin) ||
            !ProductPath(bin + "\\tamble.ico", &icon))
            return 1;
    }
    const char *product = executable.get();
    if (std::strstr(options, "Desktop=ON"))
        ShellFolderShortcutCreate(product, "Common Desktop", "\\tamble.lnk", icon.c_str(), "desc",
                                  nullptr, bin.c_str());
    if (std::strstr(options, "Startup=ON"))
        ShellFolderShortcutCreate(product, "Common Startup", "\\tamble.lnk", icon.c_str(), "desc",
                                  nullptr, bin.c_str());
    if (!std::strstr(options, "SMenu=ON")) return 1;
    const char *menu = "\\nuvex\\tamble";
    ShellFolderShortcutCreate(product, "Common Programs", "\\tamble.lnk", icon.c_str(), "desc",
                              menu, bin.c_str());
    std::string documents;
    Text root(InstallLogRoot());
    if (ProductPath(std::string(root.get()) + "info\\doc", &documents))
        ShellFolderShortcutCreate(documents.c_str(), "Common Programs", "\\documents.lnk", "no",
                                  "desc", menu, documents.c_str());
    std::string uninstaller;
    if (windows && ProductPath(std::string(windows) + "\\unTam.exe", &uninstaller))
        ShellFolderShortcutCreate(uninstaller.c_str(), "Common Programs", "\\uninstall.lnk", "no",
                                  "desc", menu, windows);
    return 1;
} catch (...) {
    return 1;
}

char *DefaultBrowserPath(void) try {
    Text value(RegStringGet(NUVEX_HKEY_CLASSES_ROOT, "http\\shell\\open\\command", ""));
    if (!value) return nullptr;
    // The value need not end with a terminator inside its 512 bytes.
    std::string command(value.get(), strnlen(value.get(), 512));
    if (!ec_StrReplace("sr", command.data(), "\"", "")) return nullptr;  // out of memory
    command.resize(std::strlen(command.c_str()));
    std::string path;
    if (command.find(".exe") != std::string::npos)
        path = FirstFieldBefore(command, ".exe");
    else if (command.find(".EXE") != std::string::npos)
        path = FirstFieldBefore(command, ".EXE");
    if (path.empty()) return nullptr;
    char *result = static_cast<char *>(std::malloc(path.size() + 1));
    if (result) std::memcpy(result, path.c_str(), path.size() + 1);
    return result;
} catch (...) {
    return nullptr;
}

int UrlOpen(const char *url, int prefer_explorer) try {
    if (!url) return 0;
    const std::vector<std::string> arguments = {"-url", url};
    if (prefer_explorer == 1) {
        const char *program_files = platform::EnvGet("ProgramFiles");
        char explorer[255];
        const int length =
            std::snprintf(explorer, sizeof explorer, "%s\\internet explorer\\iexplore.exe",
                          program_files ? program_files : "");
        if (program_files && length > 0 && static_cast<size_t>(length) < sizeof explorer &&
            platform::ProcessStart(explorer, arguments))
            return 1;
    }
    Text browser(DefaultBrowserPath());
    return (browser && platform::ProcessStart(browser.get(), arguments)) ? 1 : 0;
} catch (...) {
    return 0;
}

int ProductRun(void) try {
    platform::CommandStart(kProductExecutable, kShowCommand);
    return 1;
} catch (...) {
    return 1;
}

int FirefoxPrefsPatch(void) try {
    Text browser(DefaultBrowserPath());
    char long_path[255];
    if (!browser || !platform::LongPathName(browser.get(), long_path, sizeof long_path)) return -1;
    if (!std::strstr(long_path, "mozilla") && !std::strstr(long_path, "firefox")) return -1;
    Text directory(PathDirectory(long_path));
    if (!directory) return -1;
    const std::string prefs = std::string(directory.get()) + "\\greprefs\\all.js";
    if (!PathExists(prefs.c_str())) return -1;
    if (FILE *stream = platform::StreamOpen(prefs.c_str(), "ab+")) {
        std::fputs("\npref(\"dom.allow_scripts_to_close_windows\",true);", stream);
        std::fclose(stream);
    }
    return 1;
} catch (...) {
    return -1;
}

int InstallErrorLog(int code) try {
    const std::time_t now = std::time(nullptr);
    if (code == kSuccessCode) {
        platform::FileRemove(kErrorLog);
        return 0;
    }
    FILE *stream = platform::StreamOpen(kErrorLog, "wb+");
    if (!stream) return -1;
    std::fprintf(stream, "%d %s\n", code, std::ctime(&now));
    std::fclose(stream);
    return -1;
} catch (...) {
    return code == kSuccessCode ? 0 : -1;
}

}  // extern "C"
