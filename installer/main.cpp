// The installer's run: banner, unpacking of "cab1.rpm" from the current folder, registration
// in the application list, and a wait for Enter.
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void UnpackPackageInCurrentDirectory(char ***info_records) {
    char directory[kCurrentDirectoryLimit + 1];
    if (!platform::CurrentDirectory(directory, sizeof directory)) return;
    const std::string package_path = std::string(directory) + "\\cab1.rpm";
    PackageUnpack(package_path.c_str(), info_records);
}

// A line break in the name would add lines of the package's choosing to the list.
bool NameFitsOneLine(const char *name) {
    return name && !std::strpbrk(name, "\r\n");
}

// Appends "\n<name>=<name>\n"; without a name or an openable list nothing is written.
void RegisterApplication() {
    char *name = PackageInfoValue("appname");
    char *value = PackageInfoValue("appname");
    FILE *list = (NameFitsOneLine(name) && NameFitsOneLine(value))
                     ? platform::StreamOpen(kApplicationList, "ab+")
                     : nullptr;
    if (list) {
        const std::string line = std::string("\n") + name + "=" + value + "\n";
        std::fwrite(line.data(), 1, line.size(), list);
        std::fclose(list);
    }
    std::free(name);
    std::free(value);
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
