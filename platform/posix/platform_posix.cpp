// Linux stand-in for the Windows operations the libraries use.
#include <errno.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace platform {

namespace {

std::string DefaultDriveRoot() {
    if (const char *data = std::getenv("XDG_DATA_HOME"); data && *data)
        return std::string(data) + "/nuvex/drives";
    if (const char *home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/share/nuvex/drives";
    return "/tmp/nuvex-drives-" + std::to_string(getuid());
}

bool IsDrivePrefix(const char *path) {
    return std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

// Console sequences share standard output with the program's text, so whatever the program
// printed must reach the terminal first.
void TerminalWrite(const std::string &sequence) {
    std::fflush(stdout);
    std::fwrite(sequence.data(), 1, sequence.size(), stdout);
    std::fflush(stdout);
}

// Windows colour bits are blue=1, green=2, red=4; ANSI numbers red=1, green=2, blue=4.
int AnsiColourIndex(unsigned nibble) {
    return ((nibble & 1u) ? 4 : 0) | (nibble & 2u) | ((nibble & 4u) ? 1 : 0);
}

}  // namespace

std::string DriveRoot() {
    if (const char *root = std::getenv("NUVEX_DRIVE_ROOT"); root && *root) return root;
    return DefaultDriveRoot();
}

std::string NativePath(const char *path) {
    std::string out;
    if (!path) return out;
    if (IsDrivePrefix(path)) {
        out = DriveRoot();
        out += '/';
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
        path += 2;
        if (*path != '\\' && *path != '/' && *path != '\0') out += '/';
    }
    for (; *path; ++path) out += (*path == '\\') ? '/' : *path;
    return out;
}

FILE *StreamOpen(const char *path, const char *mode) {
    return std::fopen(NativePath(path).c_str(), mode);
}

bool FileStatSize(const char *path, long long *size) {
    struct stat st;
    if (stat(NativePath(path).c_str(), &st) != 0) return false;
    *size = static_cast<long long>(st.st_size);
    return true;
}

int DirectoryCreate(const char *path) {
    return mkdir(NativePath(path).c_str(), 0777) == 0 ? 0 : -1;
}

int FileRemove(const char *path) {
    return unlink(NativePath(path).c_str()) == 0 ? 0 : -1;
}

const char *EnvGet(const char *name) {
    return std::getenv(name);
}

bool EnvSet(const char *name, const char *value) {
    if (!value) return unsetenv(name) == 0;
    return setenv(name, value, 1) == 0;
}

std::string TempDirectory() {
    std::string dir = "/tmp";
    if (const char *tmp = std::getenv("TMPDIR"); tmp && *tmp) dir = tmp;
    if (dir.back() != '/') dir += '/';
    return dir;
}

bool CurrentDirectory(char *buffer, size_t size) {
    return size > 0 && getcwd(buffer, size) != nullptr;
}

bool ConsoleScreenSize(int *width, int *height) {
    struct winsize ws;
    if (!StdoutIsTerminal() || ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) return false;
    *width = ws.ws_col;
    *height = ws.ws_row;
    return true;
}

void ConsoleFillCharacter(char ch, long cells) {
    int width = 0, height = 0;
    if (!ConsoleScreenSize(&width, &height) || cells <= 0) return;
    if (ch == ' ' && cells >= static_cast<long>(width) * height) {
        TerminalWrite("\x1b[2J");  // erases the whole screen, cursor stays
        return;
    }
    // Save the cursor, write from the top-left corner, restore the cursor.
    TerminalWrite(
        "\x1b"
        "7\x1b[H" +
        std::string(static_cast<size_t>(cells), ch) +
        "\x1b"
        "8");
}

void ConsoleFillCurrentAttribute(long) {
    // A terminal erases with the current colours already; there is nothing left to fill.
}

void ConsoleCursorSet(int column, int row) {
    // As on Windows, a position outside the screen buffer leaves the cursor where it is.
    int width = 0, height = 0;
    if (!ConsoleScreenSize(&width, &height) || column < 0 || row < 0 || column >= width ||
        row >= height)
        return;
    TerminalWrite("\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H");
}

void ConsoleTextAttributeSet(unsigned attribute) {
    if (!StdoutIsTerminal()) return;
    const unsigned fg = attribute & 0x0Fu, bg = (attribute >> 4) & 0x0Fu;
    const int fg_code = ((fg & 8u) ? 90 : 30) + AnsiColourIndex(fg);
    const int bg_code = ((bg & 8u) ? 100 : 40) + AnsiColourIndex(bg);
    TerminalWrite("\x1b[0;" + std::to_string(fg_code) + ";" + std::to_string(bg_code) + "m");
}

int StdinReadByte() {
    std::fflush(stdout);
    unsigned char byte = 0;
    ssize_t got;
    do {
        got = read(STDIN_FILENO, &byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1 ? byte : -1;
}

}  // namespace platform
