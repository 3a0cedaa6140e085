// Windows backend: the operations map straight onto Win32.
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <process.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
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

namespace {

// The C runtime's descriptor flags for a stream mode; modes without 'b' or 't' follow the
// runtime's default translation, as fopen does.
int DescriptorFlags(const char *mode, bool update) {
    int flags = update ? _O_RDWR : mode[0] == 'r' ? _O_RDONLY : _O_WRONLY;
    if (mode[0] == 'a') flags |= _O_APPEND;
    if (std::strchr(mode, 'b'))
        flags |= _O_BINARY;
    else if (std::strchr(mode, 't') || !(_fmode & _O_BINARY))
        flags |= _O_TEXT;
    return flags;
}

}  // namespace

// As fopen, but the file is opened sharing deletion too, so that a file held open by a reader
// (or by its own lock holder) can still be replaced by a rename over it.
FILE *StreamOpen(const char *path, const char *mode) {
    if (!path || !mode || !std::strchr("rwa", mode[0])) return nullptr;
    const bool update = std::strchr(mode, '+') != nullptr;
    DWORD access = mode[0] == 'r' ? GENERIC_READ : GENERIC_WRITE;
    if (update) access |= GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = mode[0] == 'r'   ? OPEN_EXISTING
                              : mode[0] == 'w' ? CREATE_ALWAYS
                                               : OPEN_ALWAYS;
    const HANDLE file =
        CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), DescriptorFlags(mode, update));
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    FILE *stream = _fdopen(fd, mode);
    if (!stream) _close(fd);
    return stream;
}

// StreamOpen already shares delete, which MoveFileEx needs to replace a file held open.
FILE *StreamOpenReplaceable(const char *path, const char *mode) {
    return StreamOpen(path, mode);
}

FileRead FileReadReplaceable(const char *path, bool text, std::string *bytes) {
    FILE *stream = StreamOpenReplaceable(path, text ? "rt" : "rb");
    if (!stream) return FileRead::kNotOpened;
    char block[4096];
    size_t got;
    do {
        got = std::fread(block, 1, sizeof block, stream);
        bytes->append(block, got);
    } while (got == sizeof block);
    const bool failed = std::ferror(stream) != 0;
    std::fclose(stream);
    return failed ? FileRead::kFailed : FileRead::kWhole;
}

bool FileStatSize(const char *path, long long *size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
    *size = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool FileIsRegular(const char *path) {
    // Named pipes and devices are named in the \\.\ space, never in a folder.
    if (std::strncmp(path, "\\\\.\\", 4) == 0) return false;
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
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

int FdOpen(const char *path, int flags, int permission) {
    return _open(path, flags, permission);
}

int FdClose(int fd) {
    return _close(fd);
}

long long FdRead(int fd, void *buffer, size_t count) {
    const unsigned chunk = count > 0x40000000u ? 0x40000000u : static_cast<unsigned>(count);
    return _read(fd, buffer, chunk);
}

long long FdWrite(int fd, const void *buffer, size_t count) {
    const unsigned chunk = count > 0x40000000u ? 0x40000000u : static_cast<unsigned>(count);
    return _write(fd, buffer, chunk);
}

long long FdSeek(int fd, long long offset, int whence) {
    // Pipes and consoles have no position, but _lseeki64 does not always say so.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) return -1;
    return _lseeki64(fd, offset, whence);
}

void LargeBufferAdvise(void *, size_t) {}

bool FdIsBinary(int fd) {
    // _setmode answers the mode it replaces; the old mode is put back at once.
    const int previous = _setmode(fd, _O_BINARY);
    if (previous == -1) return false;
    if (previous != _O_BINARY) _setmode(fd, previous);
    return previous == _O_BINARY;
}

void StdStreamsBinary() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

namespace {

void EntryFrom(const WIN32_FIND_DATAA &data, SearchEntry *entry) {
    entry->name = data.cFileName;
    entry->directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    entry->link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

HKEY Hkey(RegistryKey key) {
    return reinterpret_cast<HKEY>(key);
}

}  // namespace

SearchHandle SearchFirst(const char *pattern, SearchEntry *entry, SearchDetail) {
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) return nullptr;
    try {
        EntryFrom(data, entry);
    } catch (...) {  // the name could not be copied: the search is not handed out
        FindClose(search);
        throw;
    }
    return search;
}

bool SearchNext(SearchHandle search, SearchEntry *entry) {
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(static_cast<HANDLE>(search), &data)) return false;
    EntryFrom(data, entry);
    return true;
}

void SearchClose(SearchHandle search) {
    FindClose(static_cast<HANDLE>(search));
}

bool DirectoryRemove(const char *path) {
    return RemoveDirectoryA(path) != 0;
}

bool ReadOnlyClear(const char *path) {
    return _chmod(path, _S_IWRITE) == 0;
}

unsigned long LastError() {
    return GetLastError();
}

void LastErrorSet(unsigned long code) {
    SetLastError(code);
}

long RegistryCreate(RegistryKey root, const char *subkey, const char *key_class,
                    unsigned long access, RegistryKey *key) {
    HKEY opened = nullptr;
    DWORD disposition = 0;
    const LONG result = RegCreateKeyExA(Hkey(root), subkey, 0, const_cast<char *>(key_class),
                                        REG_OPTION_NON_VOLATILE, access, nullptr, &opened,
                                        key_class ? &disposition : nullptr);
    if (result == ERROR_SUCCESS) *key = opened;
    return result;
}

long RegistryOpen(RegistryKey root, const char *subkey, unsigned long access, RegistryKey *key) {
    HKEY opened = nullptr;
    const LONG result = RegOpenKeyExA(Hkey(root), subkey, 0, access, &opened);
    if (result == ERROR_SUCCESS) *key = opened;
    return result;
}

long RegistryQuery(RegistryKey key, const char *name, unsigned long *type, unsigned char *data,
                   unsigned long *size) {
    DWORD value_type = 0, value_size = size ? *size : 0;
    const LONG result =
        RegQueryValueExA(Hkey(key), name, nullptr, &value_type, data, size ? &value_size : nullptr);
    if (type) *type = value_type;
    if (size) *size = value_size;
    return result;
}

long RegistrySet(RegistryKey key, const char *name, unsigned long type, const unsigned char *data,
                 unsigned long size) {
    return RegSetValueExA(Hkey(key), name, 0, type, data, size);
}

long RegistryDeleteValue(RegistryKey key, const char *name) {
    return RegDeleteValueA(Hkey(key), name);
}

long RegistryDeleteKey(RegistryKey root, const char *subkey) {
    return RegDeleteKeyA(Hkey(root), subkey);
}

long RegistryClose(RegistryKey key) {
    return RegCloseKey(Hkey(key));
}

struct ShellLink {
    IShellLinkA *link = nullptr;
    IPersistFile *file = nullptr;
};

ShellLink *ShellLinkCreate(ShellLinkStart *start) {
    CoInitialize(nullptr);  // its result does not matter: COM is ready either way
    IShellLinkA *link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void **>(&link)))) {
        *start = ShellLinkStart::kNoLinkObject;
        return nullptr;
    }
    IPersistFile *file = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
        link->Release();
        *start = ShellLinkStart::kNoPersistFile;
        return nullptr;
    }
    *start = ShellLinkStart::kCreated;
    try {
        return new ShellLink{link, file};
    } catch (...) {
        file->Release();
        link->Release();
        throw;
    }
}

bool ShellLinkSetPath(ShellLink *link, const char *target) {
    return SUCCEEDED(link->link->SetPath(target));
}

bool ShellLinkSetIconLocation(ShellLink *link, const char *icon, int index) {
    return SUCCEEDED(link->link->SetIconLocation(icon, index));
}

bool ShellLinkSetWorkingDirectory(ShellLink *link, const char *directory) {
    return SUCCEEDED(link->link->SetWorkingDirectory(directory));
}

bool ShellLinkSetDescription(ShellLink *link, const char *description) {
    return SUCCEEDED(link->link->SetDescription(description));
}

bool ShellLinkSave(ShellLink *link, const char *path) {
    wchar_t wide[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH)) return false;
    return SUCCEEDED(link->file->Save(wide, TRUE));
}

void ShellLinkRelease(ShellLink *link) {
    if (!link) return;
    link->file->Release();
    link->link->Release();
    delete link;
}

bool ProcessStart(const char *program, const std::vector<std::string> &arguments) {
    std::vector<const char *> argv;
    for (const auto &argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    return program && _spawnv(_P_NOWAIT, program, argv.data()) != -1;
}

bool CommandStart(const char *command_line, int show) {
    return command_line && WinExec(command_line, static_cast<UINT>(show)) > 31;
}

bool LongPathName(const char *path, char *buffer, size_t size) {
    const DWORD length = GetLongPathNameA(path, buffer, static_cast<DWORD>(size));
    return length != 0 && length < size;
}

bool RandomBytes(void *buffer, size_t size) {
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(size),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

namespace {

// The lock covers one byte far past any data: Windows locks are mandatory, and a lock over
// the data would refuse the process's own reads through another handle.
OVERLAPPED LockedByte() {
    OVERLAPPED at = {};
    at.Offset = 0;
    at.OffsetHigh = 0x7FFFFFF0;
    return at;
}

HANDLE StreamHandle(FILE *stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

}  // namespace

bool StreamTruncateHere(FILE *stream) {
    if (!stream || std::fflush(stream) != 0) return false;
    const long long here = _ftelli64(stream);
    if (here < 0) return false;
    // Only a longer file is cut: a cut to its own size still updates the file's times.
    const long long length = _filelengthi64(_fileno(stream));
    if (length >= 0 && length <= here) return true;
    return _chsize_s(_fileno(stream), here) == 0;
}

size_t StreamReadAhead(FILE *stream, const char **bytes) {
#if defined(_UCRT)
    (void)stream;
    (void)bytes;
    return 0;  // the universal runtime's streams are opaque
#else
    if (!stream || stream->_cnt <= 0) return 0;
    *bytes = stream->_ptr;
    return static_cast<size_t>(stream->_cnt);
#endif
}

bool StreamCutBack(FILE *stream, long long length) {
    if (!stream || length < 0) return false;
    // A failed flush leaves nothing pending in the buffer; a later close must not write it.
    std::fflush(stream);
    std::clearerr(stream);
    const bool cut = _chsize_s(_fileno(stream), length) == 0;
    _fseeki64(stream, length, SEEK_SET);
    std::clearerr(stream);
    return cut;
}

bool StreamFileIdentity(FILE *stream, std::string *identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!stream || !GetFileInformationByHandle(StreamHandle(stream), &info)) return false;
    *identity = std::to_string(info.dwVolumeSerialNumber) + ":" +
                std::to_string(info.nFileIndexHigh) + ":" + std::to_string(info.nFileIndexLow);
    return true;
}

LockHandle LockHandleOf(FILE *stream) {
    HANDLE duplicate = nullptr;
    if (!stream || !DuplicateHandle(GetCurrentProcess(), StreamHandle(stream), GetCurrentProcess(),
                                    &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return -1;
    return static_cast<LockHandle>(reinterpret_cast<intptr_t>(duplicate));
}

bool LockHandleSet(LockHandle handle, LockLevel level) {
    const HANDLE file = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
    // No conversion in place on Windows: the old level is let go first (as flock does).
    OVERLAPPED at = LockedByte();
    UnlockFileEx(file, 0, 1, 0, &at);
    if (level == LockLevel::kNone) return true;
    at = LockedByte();
    const DWORD flags = level == LockLevel::kExclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    return LockFileEx(file, flags, 0, 1, 0, &at) != 0;
}

void LockHandleClose(LockHandle handle) {
    if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)));
}

namespace {

// Renames with POSIX semantics (Windows 10 and later): a target that others hold open, sharing
// deletion, is replaced too; they keep the old file. False where the system does not offer it.
bool ReplaceOpenTarget(const char *from, const char *to) {
    wchar_t target[MAX_PATH];
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(to, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) return false;
    const int wide = MultiByteToWideChar(CP_ACP, 0, full, -1, target, MAX_PATH);
    if (wide <= 0) return false;
    const HANDLE file = CreateFileA(from, DELETE | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const size_t name_bytes = static_cast<size_t>(wide - 1) * sizeof(wchar_t);
    std::string block(sizeof(FILE_RENAME_INFO) + name_bytes, '\0');
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(block.data());
    // The flags share the first member's place (ReplaceIfExists in older headers).
    const DWORD flags = 0x1 /* replace if exists */ | 0x2 /* POSIX semantics */;
    std::memcpy(info, &flags, sizeof flags);
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(info->FileName, target, name_bytes);
    const bool renamed =
        SetFileInformationByHandle(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(22), info,
                                   static_cast<DWORD>(block.size())) != 0;
    CloseHandle(file);
    return renamed;
}

}  // namespace

bool FileReplace(const char *from, const char *to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    return ReplaceOpenTarget(from, to);
}

// Nothing is spared by removing the target first here.
bool ScratchFileReplace(const char *from, const char *to) {
    return FileReplace(from, to);
}

// The read-only attribute of a folder does not stop files being made in it; what the folder's
// access list allows is known only by trying, which the first save does.
bool DirectoryWritable(const char *path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Windows has no swap of two names in one step: callers replace instead.
bool FileSwapAvailable() {
    return false;
}

bool FileSwap(const char *, const char *) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

struct LockedFile {
    HANDLE file = INVALID_HANDLE_VALUE;
};

// Names never move under a lock holder here (no swap), so the file opened is the one named.
LockedFile *LockedFileOpen(const char *path) {
    const HANDLE file = CreateFileA(
        path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    OVERLAPPED at = LockedByte();
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        CloseHandle(file);
        return nullptr;
    }
    LockedFile *locked = new (std::nothrow) LockedFile{file};
    if (!locked) CloseHandle(file);
    return locked;
}

bool LockedFileWrite(LockedFile *file, const std::string &bytes) {
    if (!file || SetFilePointer(file->file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD put = 0;
        if (!WriteFile(file->file, bytes.data() + done, piece, &put, nullptr) || put == 0)
            return false;
        done += put;
    }
    return SetEndOfFile(file->file) != 0;
}

void LockedFileClose(LockedFile *file) {
    if (!file) return;
    CloseHandle(file->file);
    delete file;
}

unsigned long FileErrorLast() {
    return GetLastError();
}

PathKind PathKindOf(const char *path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::kOther;
    // A folder link is in the way as a folder is: a file cannot replace it.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::kFolder;
    if (attributes & FILE_ATTRIBUTE_READONLY) return PathKind::kReadOnlyFile;
    return PathKind::kFile;
}

bool FileKeepAs(const char *from, const char *to) {
    // FAT and some network drives have no hard links: a copy keeps the bytes as well.
    return CreateHardLinkA(to, from, nullptr) != 0 || CopyFileA(from, to, TRUE) != 0;
}

FILE *StreamCreateNew(const char *path, bool text) {
    // CREATE_NEW fails on any existing name, a link included: nothing is followed.
    const HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    const int fd =
        _open_osfhandle(reinterpret_cast<intptr_t>(file), (text ? _O_TEXT : _O_BINARY) | _O_WRONLY);
    if (fd < 0) {
        CloseHandle(file);
        return nullptr;
    }
    FILE *stream = _fdopen(fd, text ? "wt" : "wb");
    if (!stream) _close(fd);
    return stream;
}

bool LinkRemove(const char *path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    // A folder link (junction or directory symlink) goes with RemoveDirectory, which removes
    // the link and leaves its target alone.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryA(path) != 0;
    return DeleteFileA(path) != 0;
}

int StdinReadByte() {
    std::fflush(stdout);
    unsigned char byte = 0;
    DWORD got = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) || got != 1) return -1;
    return byte;
}

}  // namespace platform

namespace platform {

void GrowingBufferAdvise(void *, size_t) {}

}  // namespace platform
