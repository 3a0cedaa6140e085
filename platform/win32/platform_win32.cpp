// Windows backend: the operations map straight onto Win32.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace platform {

namespace {

HANDLE StdoutHandle() {
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

}  // namespace

std::string DriveRoot() {
    return std::string();
}

std::string NativePath(const char *path) {
    return path ? std::string(path) : std::string();
}

FILE *StreamOpen(const char *path, const char *mode) {
    return std::fopen(path, mode);
}

bool FileStatSize(const char *path, long long *size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
    *size = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

int DirectoryCreate(const char *path) {
    return CreateDirectoryA(path, nullptr) ? 0 : -1;
}

int FileRemove(const char *path) {
    return DeleteFileA(path) ? 0 : -1;
}

const char *EnvGet(const char *name) {
    return std::getenv(name);
}

bool EnvSet(const char *name, const char *value) {
    // Both the C runtime's copy (getenv) and the process block (GetTempPathA) must see it.
    std::string assignment = std::string(name) + "=" + (value ? value : "");
    if (_putenv(assignment.c_str()) != 0) return false;
    return SetEnvironmentVariableA(name, value) != 0;
}

std::string TempDirectory() {
    char buffer[512];
    DWORD length = GetTempPathA(sizeof buffer, buffer);
    if (length == 0 || length >= sizeof buffer) return std::string();
    return std::string(buffer, length);
}

bool CurrentDirectory(char *buffer, size_t size) {
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(size), buffer);
    return length != 0 && length < size;
}

bool ConsoleScreenSize(int *width, int *height) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(StdoutHandle(), &info)) return false;
    *width = info.dwSize.X;
    *height = info.dwSize.Y;
    return true;
}

void ConsoleFillCharacter(char ch, long cells) {
    DWORD written = 0;
    FillConsoleOutputCharacterA(StdoutHandle(), ch, static_cast<DWORD>(cells), COORD{0, 0},
                                &written);
}

void ConsoleFillCurrentAttribute(long cells) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(StdoutHandle(), &info)) return;
    DWORD written = 0;
    FillConsoleOutputAttribute(StdoutHandle(), info.wAttributes, static_cast<DWORD>(cells),
                               COORD{0, 0}, &written);
}

void ConsoleCursorSet(int column, int row) {
    std::fflush(stdout);
    SetConsoleCursorPosition(StdoutHandle(),
                             COORD{static_cast<SHORT>(column), static_cast<SHORT>(row)});
}

void ConsoleTextAttributeSet(unsigned attribute) {
    std::fflush(stdout);
    SetConsoleTextAttribute(StdoutHandle(), static_cast<WORD>(attribute));
}

int StdinReadByte() {
    std::fflush(stdout);
    unsigned char byte = 0;
    DWORD got = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) || got != 1) return -1;
    return byte;
}

}  // namespace platform
