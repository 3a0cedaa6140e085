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

// The run goes on when memory runs out: what could not be unpacked or registered is left out.
void UnpackPackageInCurrentDirectory(char ***info_records) try {
    char directory[kCurrentDirectoryLimit + 1];
    if (!platform::CurrentDirectory(directory, sizeof directory)) return;
    const std::string package_path = std::string(directory) + "\\cab1.rpm";
    PackageUnpack(package_path.c_str(), info_records);
} catch (...) {
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
    UnpackPackageInCurrentDirectory(&info_records);
    RegisterApplication();

    ConsoleCursorMove(20, 14);
    Print("Your application was installed successfully..");
    ConsoleCursorMove(28, 16);
    Print("Press Enter to terminate!");
    platform::StdinReadByte();
    return 0;
}
