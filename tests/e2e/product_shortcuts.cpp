// Makes the product's shortcuts as an installation would, for the link-reader test:
//   product_shortcuts FOLDER OPTIONS
// FOLDER (a Windows path) receives windows\tamtam.log, desktop\, startup\ and programs\; the
// Shell Folders values point there and the product files exist.
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "util/fileio.h"
#include "util/filepath.h"
#include "util/registry.h"
#include "util/shell.h"

namespace {

constexpr char kShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

void Touch(const std::string &path) {
    PathParentsCreate(path.c_str());
    FileWriteBytes("", 0, path.c_str(), "wb");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fputs("usage: product_shortcuts FOLDER OPTIONS\n", stderr);
        return 64;
    }
    const std::string folder = argv[1];
    const std::string windows = folder + "\\windows";
    DirectoryPathCreate(windows.c_str());
    WindowsDirectorySet(windows.c_str());
    const char log[] = "c:\\nuvex\\tamble\\bin\\tamble.exe\n";
    FileWriteBytes(log, sizeof log - 1, (windows + "\\tamtam.log").c_str(), "wb");
    Touch("c:\\nuvex\\tamble\\bin\\tamble.exe");
    Touch("c:\\nuvex\\tamble\\bin\\tamble.ico");
    Touch(windows + "\\unTam.exe");
    DirectoryPathCreate("c:\\nuvex\\info\\doc");
    const struct {
        const char *value;
        const char *sub;
    } folders[] = {{"Common Desktop", "\\desktop"},
                   {"Common Startup", "\\startup"},
                   {"Common Programs", "\\programs"}};
    for (const auto &f : folders)
        if (!RegValueSet(NUVEX_HKEY_LOCAL_MACHINE, kShellFolders, f.value, (folder + f.sub).c_str(),
                         NUVEX_REG_SZ)) {
            std::fprintf(stderr, "cannot set the Shell Folders value %s\n", f.value);
            return 1;
        }
    return ProductShortcutsCreate(argv[2]) == 1 ? 0 : 1;
}
