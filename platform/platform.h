// The only door to the operating system. Library code speaks Windows paths and calls these
// operations; the Windows backend passes them to Win32, the Linux backend maps them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Paths. On Windows the path is returned unchanged; on Linux '\' becomes '/', a leading
// drive "X:" becomes the folder "x" inside the drive root (made on first use), and a leading
// '\' without a drive is the root of the current drive, c. Paths starting with '/' are native.
std::string NativePath(const char *path);
// The folder that holds the drive folders on Linux (empty on Windows).
std::string DriveRoot();

// Files and folders. A folder never opens as a file or stream (as on Windows). On Windows the
// file is opened sharing deletion too, so that a rename over it is not refused for the share
// mode alone.
FILE *StreamOpen(const char *path, const char *mode);
// A file opened for reading ("rb" or "rt") that others may still rename over or remove while
// it is open: on Windows the handle shares delete, as the session files need.
FILE *StreamOpenReplaceable(const char *path, const char *mode);
enum class FileRead { kNotOpened, kFailed, kWhole };
// The whole file (text: lines as a text-mode read gives them), read as StreamOpenReplaceable
// opens it, in as few calls as the file's size allows, under a shared lock: a LockedFile writer
// never writes a file while it is read.
FileRead FileReadReplaceable(const char *path, bool text, std::string *bytes);
// Flushes the stream and cuts its file at the stream's position (a file no longer than that
// is left as it is); false when either fails.
bool StreamTruncateHere(FILE *stream);
// Cuts the stream's file back to length bytes after a failed write: what the stream still
// holds unwritten is dropped, its error is cleared and its position set to length. False when
// the file could not be cut.
bool StreamCutBack(FILE *stream, long long length);

// The bytes a reading stream holds read ahead and not yet handed out (they stay unread), or 0
// when it holds none or does not show them.
size_t StreamReadAhead(FILE *stream, const char **bytes);

// Owner of an open stream: closed on every way out of a scope.
struct StreamCloser {
    void operator()(FILE *stream) const {
        if (stream) std::fclose(stream);
    }
};
using Stream = std::unique_ptr<FILE, StreamCloser>;
// Size of a regular file or folder entry; false when it cannot be examined.
bool FileStatSize(const char *path, long long *size);
// True for an ordinary file (not a folder, pipe, device or socket): one that can be read to
// its end without waiting on another process.
bool FileIsRegular(const char *path);
// 0 when the folder was created, -1 when it was not (also when it already exists).
int DirectoryCreate(const char *path);
// Whether the path is a folder in which this process may create files.
bool DirectoryWritable(const char *path);
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

// Low-level descriptors. Flags and permission carry the Windows C runtime's values:
// write only 0x1, read and write 0x2, append 0x8, create 0x100, truncate 0x200, text 0x4000,
// binary 0x8000; permission read 0x100, write 0x80 (a file without write is read-only).
int FdOpen(const char *path, int flags, int permission);
int FdClose(int fd);
// Bytes transferred, 0 at the end of a file, -1 on failure.
long long FdRead(int fd, void *buffer, size_t count);
long long FdWrite(int fd, const void *buffer, size_t count);
// whence: SEEK_SET, SEEK_CUR or SEEK_END. The new position, or -1 (also for pipes).
long long FdSeek(int fd, long long offset, int whence);
// Asks for large pages behind a big buffer about to be filled (fewer page faults); a hint.
void LargeBufferAdvise(void *buffer, size_t size);
// Standard input and output without newline translation (Windows); nothing on Linux.
void StdStreamsBinary();
// Whether reads on the descriptor return the file's bytes untranslated (always on Linux).
bool FdIsBinary(int fd);

// Directory search over the last path component taken as a wildcard pattern. "." and ".."
// come first in a folder, as on Windows. SearchFirst gives null when nothing can be found
// (the last error says why); SearchNext answers false at the end with the last error
// ERROR_NO_MORE_FILES (18).
struct SearchEntry {
    std::string name;
    bool directory = false;
    bool read_only = false;
    // A symbolic link, junction or other reparse point: removed as itself, never walked.
    bool link = false;
};
using SearchHandle = void *;
// Whether read_only is wanted: on Linux it costs a status call per entry.
enum class SearchDetail { kKind, kKindAndReadOnly };
SearchHandle SearchFirst(const char *pattern, SearchEntry *entry,
                         SearchDetail detail = SearchDetail::kKindAndReadOnly);
bool SearchNext(SearchHandle search, SearchEntry *entry);
void SearchClose(SearchHandle search);
bool DirectoryRemove(const char *path);
// Gives the file or folder write permission back (the read-only attribute is cleared).
bool ReadOnlyClear(const char *path);

// The thread's last error, with Windows error codes.
unsigned long LastError();
void LastErrorSet(unsigned long code);
inline constexpr unsigned long kErrorFileNotFound = 2;
inline constexpr unsigned long kErrorPathNotFound = 3;
inline constexpr unsigned long kErrorAccessDenied = 5;
inline constexpr unsigned long kErrorInvalidHandle = 6;
inline constexpr unsigned long kErrorNoMoreFiles = 18;
inline constexpr unsigned long kErrorMoreData = 234;
inline constexpr unsigned long kErrorWriteFault = 29;
inline constexpr unsigned long kErrorHandleDiskFull = 39;
inline constexpr unsigned long kErrorFileExists = 80;
inline constexpr unsigned long kErrorDiskFull = 112;
inline constexpr unsigned long kErrorFilenameTooLong = 206;
inline constexpr unsigned long kErrorFileTooLarge = 223;

// Why the thread's last failed file operation failed (an open, a create, a stream write or
// close, a rename, a link, a folder creation), as a Windows error code. Ask right after the
// failure: other calls may change it.
unsigned long FileErrorLast();

// What a path names. A link is a file (replacing it replaces the link). kReadOnlyFile: a file
// that must not be overwritten (the read-only attribute; on Linux no write permission bit, or
// none for this user).
enum class PathKind { kMissing, kFile, kReadOnlyFile, kFolder, kOther };
PathKind PathKindOf(const char *path);
// Gives an existing file a second name (a hard link; a copy where the file system has no
// links), so that it survives a replacement of its first name. Fails when to exists.
bool FileKeepAs(const char *from, const char *to);

// Registry, with the Win32 calls' meaning and error codes (0 for success). Keys are opaque
// handles; the predefined roots have the Windows values 0x80000000 to 0x80000005.
using RegistryKey = void *;
long RegistryCreate(RegistryKey root, const char *subkey, const char *key_class,
                    unsigned long access, RegistryKey *key);
long RegistryOpen(RegistryKey root, const char *subkey, unsigned long access, RegistryKey *key);
// data may be null to ask for the size only; size holds the room and receives the length.
long RegistryQuery(RegistryKey key, const char *name, unsigned long *type, unsigned char *data,
                   unsigned long *size);
long RegistrySet(RegistryKey key, const char *name, unsigned long type, const unsigned char *data,
                 unsigned long size);
long RegistryDeleteValue(RegistryKey key, const char *name);
long RegistryDeleteKey(RegistryKey root, const char *subkey);
long RegistryClose(RegistryKey key);

// Shell link (.lnk): created empty, properties set one by one, written by Save. On Windows
// the COM shell link object; on Linux the same binary file format written directly.
struct ShellLink;
enum class ShellLinkStart { kCreated, kNoLinkObject, kNoPersistFile };
ShellLink *ShellLinkCreate(ShellLinkStart *start);
bool ShellLinkSetPath(ShellLink *link, const char *target);
bool ShellLinkSetIconLocation(ShellLink *link, const char *icon, int index);
bool ShellLinkSetWorkingDirectory(ShellLink *link, const char *directory);
bool ShellLinkSetDescription(ShellLink *link, const char *description);
bool ShellLinkSave(ShellLink *link, const char *path);
void ShellLinkRelease(ShellLink *link);

// Starts program without waiting, with exactly these arguments (no program-name element is
// added: the first argument becomes the new process's first word). True when started.
bool ProcessStart(const char *program, const std::vector<std::string> &arguments);
// Starts a command line (program, then arguments) without waiting; show is a Windows show
// command. True when started.
bool CommandStart(const char *command_line, int show);
// The long form of an existing path; false when the path does not exist or does not fit.
bool LongPathName(const char *path, char *buffer, size_t size);

// Fills the buffer from the system's secure random source; false when it is unavailable.
bool RandomBytes(void *buffer, size_t size);
// Advisory file locks. The process holds a file's lock on a handle of its own, duplicated
// from the first stream that asked, so that it outlives that stream. Locks never stop reads
// or writes (on Windows the locked byte lies far past any data).
enum class LockLevel { kNone, kShared, kExclusive };
using LockHandle = long long;  // -1: none
// Text that is equal for two streams on the same file; false when it cannot be known.
bool StreamFileIdentity(FILE *stream, std::string *identity);
LockHandle LockHandleOf(FILE *stream);
// Changes the level held on the handle, waiting for other processes to let go.
bool LockHandleSet(LockHandle handle, LockLevel level);
void LockHandleClose(LockHandle handle);
// Moves from over to, replacing an existing to in one step (a link at to is replaced itself).
bool FileReplace(const char *from, const char *to);
// FileReplace for a scratch file whose old bytes, and whose new bytes after a crash, do not
// matter (a copy made again by every run): the target may be gone for a moment in between.
// Where a rename over a file makes the file system write the new one out first (ext4), the
// old one is unlinked first (a link at to is removed itself).
bool ScratchFileReplace(const char *from, const char *to);
// Creates a new file for writing ("wb", or "wt" when text), never opening an existing name or
// following a link; null when the name exists.
FILE *StreamCreateNew(const char *path, bool text = false);
// Swapping two names in one step: each then names the other's file. Nothing is freed or
// allocated, where a rename over a file frees the old one's blocks (which some file systems
// discard at once, at great cost). false where the system or file system cannot swap, or when
// either name is missing.
bool FileSwapAvailable();
bool FileSwap(const char *a, const char *b);
// A file written whole under an exclusive lock held until it is closed: opened for writing,
// created when missing, never through a link. The lock is taken on the file that the path still
// names once it is held (a swap in another process may move the name meanwhile).
struct LockedFile;
LockedFile *LockedFileOpen(const char *path);
// Writes bytes as the file's whole content; false when any write fails.
bool LockedFileWrite(LockedFile *file, const std::string &bytes);
void LockedFileClose(LockedFile *file);
// Removes a link found by a directory search (file or folder link), not what it points to.
bool LinkRemove(const char *path);

// One byte from standard input without read-ahead, so the rest of the line stays unread.
// Returns the byte, or -1 at end of input.
int StdinReadByte();

}  // namespace platform

namespace platform {

// Asks for large pages behind a big buffer that keeps growing by realloc: the whole pages it
// touches, so that its mapping stays one piece the allocator can still move; a hint.
void GrowingBufferAdvise(void *buffer, size_t size);

}  // namespace platform
