// The installer's run: banner, unpacking of "cab1.rpm" from the current folder, registration
// in the application list, and a wait for Enter.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "installer/console.h"
#include "installer/unpack.h"
#include "platform/platform.h"
#include "util/filepath.h"

namespace {

constexpr char kApplicationList[] = "c:\\nuvex\\docroot\\data\\app-list";
constexpr size_t kCurrentDirectoryLimit = 260;
// The closing message stands at column 20 of an 80-column screen.
constexpr size_t kMessageWidth = 60;
// A failure line covers "Please wait..." (columns 31 to 44) as the success message does.
constexpr size_t kMessageLeastWidth = 25;

int StartupSettingsInit() {
    WindowsDirectorySet(platform::EnvGet("windir"));
    return 1;
}

// Every text must reach the console before the next cursor move or colour change.
void Print(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void ShowBanner() {
    ConsoleCursorMove(25, 12);
    ConsoleColorSet(1);
    Print("N");
    ConsoleColorSet(4);
    Print("uvex ");
    ConsoleColorSet(0);
    Print(" Belmora \n");
}

// Without a current folder there is no package path: the unpacking names the package missing.
bool UnpackPackageInCurrentDirectory(char ***info_records) {
    char directory[kCurrentDirectoryLimit + 1];
    if (!platform::CurrentDirectory(directory, sizeof directory))
        return PackageUnpack(nullptr, info_records) == 1;
    char package_path[kCurrentDirectoryLimit + sizeof "\\cab1.rpm"];
    std::snprintf(package_path, sizeof package_path, "%s\\cab1.rpm", directory);
    return PackageUnpack(package_path, info_records) == 1;
}

void ShowFailure() {
    char line[kMessageWidth + 1];
    PackageFailureLine(line, sizeof line);
    Print(line);
    for (size_t length = std::strlen(line); length < kMessageLeastWidth; ++length) Print(" ");
}

// A line break in the name would add lines of the package's choosing to the list.
bool NameFitsOneLine(const char *name) {
    return name && !std::strpbrk(name, "\r\n");
}

// Appends "\n<name>=<name>\n"; without a name or an openable list nothing is written.
void RegisterApplication() try {
    const std::unique_ptr<char, decltype(&std::free)> name(PackageInfoValue("appname"), &std::free);
    const std::unique_ptr<char, decltype(&std::free)> value(PackageInfoValue("appname"),
                                                            &std::free);
    const platform::Stream list((NameFitsOneLine(name.get()) && NameFitsOneLine(value.get()))
                                    ? platform::StreamOpen(kApplicationList, "ab+")
                                    : nullptr);
    if (list) {
        const std::string line = std::string("\n") + name.get() + "=" + value.get() + "\n";
        std::fwrite(line.data(), 1, line.size(), list.get());
    }
} catch (...) {
}

}  // namespace

int main() {
    StartupSettingsInit();
    ConsoleClear();
    ShowBanner();
    ConsoleCursorMove(31, 14);
    Print("Please wait...");

    char **info_records = nullptr;
    // Only an application whose every file is in place is registered.
    const bool installed = UnpackPackageInCurrentDirectory(&info_records);
    if (installed) RegisterApplication();
    PackageUnpackRelease();

    ConsoleCursorMove(20, 14);
    if (installed)
        Print("Your application was installed successfully..");
    else
        ShowFailure();
    ConsoleCursorMove(28, 16);
    Print("Press Enter to terminate!");
    platform::StdinReadByte();
    return installed ? 0 : 1;
}
