// The only door to the operating system. Library code speaks Windows paths and calls these
// operations; the Windows backend passes them to Win32, the Linux backend maps them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace platform {

// Paths. On Windows the path is returned unchanged; on Linux '\' becomes '/' and a leading
// drive "X:" becomes the folder "x" inside the drive root.
std::string NativePath(const char *path);
// The folder that holds the drive folders on Linux (empty on Windows).
std::string DriveRoot();

// Files and folders.
FILE *StreamOpen(const char *path, const char *mode);
// Size of a regular file or folder entry; false when it cannot be examined.
bool FileStatSize(const char *path, long long *size);
// 0 when the folder was created, -1 when it was not (also when it already exists).
int DirectoryCreate(const char *path);
// 0 when the file was removed.
int FileRemove(const char *path);

// Environment of the process.
const char *EnvGet(const char *name);
// A null value removes the variable.
bool EnvSet(const char *name, const char *value);
// The user's temporary folder, ending with its separator; empty when unknown.
std::string TempDirectory();
// The current folder into a caller's buffer; false when unknown or when it does not fit.
bool CurrentDirectory(char *buffer, size_t size);

// Console on standard output. Without a console (or terminal) these do nothing and
// ConsoleScreenSize answers false.
bool ConsoleScreenSize(int *width, int *height);
void ConsoleFillCharacter(char ch, long cells);
void ConsoleFillCurrentAttribute(long cells);
void ConsoleCursorSet(int column, int row);
// attribute: Windows console text attribute (low nibble foreground, high nibble background).
void ConsoleTextAttributeSet(unsigned attribute);

// One byte from standard input without read-ahead, so the rest of the line stays unread.
// Returns the byte, or -1 at end of input.
int StdinReadByte();

}  // namespace platform
