// Linux stand-in for the Windows operations the libraries use.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

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

bool IsFolderDescriptor(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
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

namespace {

// A drive always exists on Windows: its folder (and the drive root) is made on first use.
void DriveFolderEnsure(const std::string &folder) {
    thread_local std::string last_ensured;
    if (folder == last_ensured) return;
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        for (size_t slash = folder.find('/', 1); slash != std::string::npos;
             slash = folder.find('/', slash + 1))
            mkdir(folder.substr(0, slash).c_str(), 0777);
        mkdir(folder.c_str(), 0777);
        if (stat(folder.c_str(), &st) != 0) return;
    }
    last_ensured = folder;
}

std::string DriveFolder(char letter) {
    std::string folder = DriveRoot();
    folder += '/';
    folder += static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    DriveFolderEnsure(folder);
    return folder;
}

}  // namespace

namespace {

// The part of a path below its drive, resolved as Windows resolves it: "." is dropped and ".."
// takes back one component but never climbs above the root, so a drive path stays on its drive.
std::string BelowDriveRoot(const char *rest) {
    const bool empty = *rest == '\0';
    std::vector<std::string> components;
    std::string component;
    auto take = [&] {
        if (component == "..") {
            if (!components.empty()) components.pop_back();
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        component.clear();
    };
    for (; *rest; ++rest) {
        if (*rest == '\\' || *rest == '/')
            take();
        else
            component += *rest;
    }
    const bool trailing_separator = component.empty();
    take();
    std::string out;
    for (const std::string &part : components) out += "/" + part;
    if (trailing_separator && !empty) out += '/';
    return out;
}

}  // namespace

std::string NativePath(const char *path) {
    std::string out;
    if (!path) return out;
    if (IsDrivePrefix(path)) return DriveFolder(path[0]) + BelowDriveRoot(path + 2);
    // Rooted without a drive: the root of the current drive, which is c here. Paths rooted
    // with '/' are native ones and stay as they are.
    if (*path == '\\') return DriveFolder('c') + BelowDriveRoot(path);
    const size_t length = std::strlen(path);
    out.assign(path, length);
    if (std::memchr(path, '\\', length)) std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

FILE *StreamOpen(const char *path, const char *mode) {
    // Not passed on to programs the process starts ("e": close on exec).
    FILE *stream = std::fopen(NativePath(path).c_str(), (std::string(mode) + "e").c_str());
    // A folder never opens as a stream on Windows.
    if (stream && IsFolderDescriptor(fileno(stream))) {
        std::fclose(stream);
        errno = EISDIR;
        return nullptr;
    }
    return stream;
}

FILE *StreamOpenReplaceable(const char *path, const char *mode) {
    return StreamOpen(path, mode);  // a rename or unlink never waits on open files here
}

namespace {

// The lock between a LockedFile writer and the readers of FileReadReplaceable: a lock of the
// open file on one byte far past any data, apart from the whole-file locks of the stream lock
// hooks, so that a process holding those never waits on itself here.
constexpr off_t kSwapLockByte = static_cast<off_t>(1) << 62;

bool SwapLockTake(int fd, bool exclusive) {
    struct flock lock = {};
    lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kSwapLockByte;
    lock.l_len = 1;
    int taken;
    while ((taken = fcntl(fd, F_OFD_SETLKW, &lock)) != 0 && errno == EINTR) {
    }
    return taken == 0;
}

}  // namespace

FileRead FileReadReplaceable(const char *path, bool /*text: no translation here*/,
                             std::string *bytes) {
    const int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FileRead::kNotOpened;
    SwapLockTake(fd, false);  // released with the descriptor
    char block[4096];
    ssize_t got;
    // A short block is the end of a regular file: no further read to find it. A folder fails
    // its first read, as it never opens on Windows.
    do {
        do {
            got = read(fd, block, sizeof block);
        } while (got < 0 && errno == EINTR);
        if (got > 0) bytes->append(block, static_cast<size_t>(got));
    } while (got == static_cast<ssize_t>(sizeof block));
    close(fd);
    return got < 0 ? FileRead::kFailed : FileRead::kWhole;
}

bool StreamTruncateHere(FILE *stream) {
    if (!stream || std::fflush(stream) != 0) return false;
    const off_t here = ftello(stream);
    if (here < 0) return false;
    // Cutting a file to its own size still costs a time update: only a longer file is cut.
    struct stat st;
    if (fstat(fileno(stream), &st) == 0 && st.st_size <= here) return true;
    return ftruncate(fileno(stream), here) == 0;
}

size_t StreamReadAhead(FILE *stream, const char **bytes) {
#if defined(__GLIBC__)
    if (!stream || stream->_IO_read_ptr >= stream->_IO_read_end) return 0;
    *bytes = stream->_IO_read_ptr;
    return static_cast<size_t>(stream->_IO_read_end - stream->_IO_read_ptr);
#else
    (void)stream;
    (void)bytes;
    return 0;
#endif
}

bool StreamCutBack(FILE *stream, long long length) {
    if (!stream || length < 0) return false;
    // A failed flush leaves nothing pending in the buffer; a later close must not write it.
    std::fflush(stream);
    std::clearerr(stream);
    int result;
    do {
        result = ftruncate(fileno(stream), static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    fseeko(stream, static_cast<off_t>(length), SEEK_SET);
    std::clearerr(stream);
    return result == 0;
}

bool FileStatSize(const char *path, long long *size) {
    struct stat st;
    if (stat(NativePath(path).c_str(), &st) != 0) return false;
    *size = static_cast<long long>(st.st_size);
    return true;
}

bool FileIsRegular(const char *path) {
    struct stat st;
    return stat(NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
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

namespace {

thread_local unsigned long t_last_error = 0;

int OpenFlags(int flags) {
    int open_flags = (flags & 0x3) == 0x1 ? O_WRONLY : (flags & 0x3) == 0x2 ? O_RDWR : O_RDONLY;
    if (flags & 0x0008) open_flags |= O_APPEND;
    if (flags & 0x0100) open_flags |= O_CREAT;
    if (flags & 0x0200) open_flags |= O_TRUNC;
    return open_flags | O_CLOEXEC;
}

struct Search {
    std::vector<SearchEntry> entries;
    size_t next = 0;
};

// A link is its own entry: a link to a folder is not a folder to walk, so the kind comes
// from the link (lstat), as a Windows search reports the reparse point itself.
bool EntryOf(const std::string &folder, const std::string &name, SearchEntry *entry) {
    struct stat st;
    if (lstat((folder + "/" + name).c_str(), &st) != 0) return false;
    entry->name = name;
    entry->link = S_ISLNK(st.st_mode);
    entry->directory = S_ISDIR(st.st_mode);
    entry->read_only = !entry->link && (st.st_mode & 0222) == 0;
    return true;
}

// The kind from the directory read itself where the file system tells it; a status call
// only where it does not, or where the read-only attribute is wanted.
bool EntryOf(int dir_fd, const dirent &item, SearchDetail detail, SearchEntry *entry) {
    entry->name = item.d_name;
    const bool kind_known = item.d_type == DT_DIR || item.d_type == DT_REG || item.d_type == DT_LNK;
    if (kind_known && (detail == SearchDetail::kKind || item.d_type == DT_LNK)) {
        entry->directory = item.d_type == DT_DIR;
        entry->link = item.d_type == DT_LNK;
        entry->read_only = false;
        return true;
    }
    struct stat st;
    if (fstatat(dir_fd, item.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    entry->link = S_ISLNK(st.st_mode);
    entry->directory = S_ISDIR(st.st_mode);
    entry->read_only = !entry->link && (st.st_mode & 0222) == 0;
    return true;
}

bool HasWildcard(const std::string &text) {
    return text.find_first_of("*?") != std::string::npos;
}

// "X:\*" searches a drive root, which has no "." and ".." entries on Windows.
bool IsDriveRootPattern(const char *pattern) {
    if (!IsDrivePrefix(pattern)) return false;
    const char *rest = pattern + 2;
    if (*rest == '\\' || *rest == '/') ++rest;
    return std::strpbrk(rest, "\\/") == nullptr;
}

// The entries of folder that match the pattern, "." and ".." first, the rest by name.
std::vector<SearchEntry> MatchingEntries(const std::string &folder, const std::string &pattern,
                                         bool with_dots, SearchDetail detail) {
    std::vector<SearchEntry> found;
    // Closed on every way out, a failed allocation's too.
    const std::unique_ptr<DIR, int (*)(DIR *)> owner(opendir(folder.c_str()), &closedir);
    DIR *dir = owner.get();
    if (!dir) return found;
    while (const dirent *item = readdir(dir)) {
        const std::string name = item->d_name;
        if (name == "." || name == ".." ||
            fnmatch(pattern.c_str(), name.c_str(), FNM_NOESCAPE | FNM_CASEFOLD) != 0)
            continue;
        SearchEntry entry;
        if (EntryOf(dirfd(dir), *item, detail, &entry)) found.push_back(std::move(entry));
    }
    std::sort(found.begin(), found.end(), [](const SearchEntry &a, const SearchEntry &b) {
        return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    std::vector<SearchEntry> dots;
    for (const char *dot : {".", ".."}) {
        SearchEntry entry;
        if (with_dots && fnmatch(pattern.c_str(), dot, FNM_NOESCAPE) == 0 &&
            EntryOf(folder, dot, &entry))
            dots.push_back(entry);
    }
    found.insert(found.begin(), dots.begin(), dots.end());
    return found;
}

}  // namespace

int FdOpen(const char *path, int flags, int permission) {
    const mode_t mode = (permission & 0x80) ? 0666 : 0444;
    const int fd = open(NativePath(path).c_str(), OpenFlags(flags), mode);
    // A folder never opens as a file on Windows.
    if (fd >= 0 && IsFolderDescriptor(fd)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

int FdClose(int fd) {
    return close(fd);
}

long long FdRead(int fd, void *buffer, size_t count) {
    ssize_t got;
    do {
        got = read(fd, buffer, count);
    } while (got < 0 && errno == EINTR);
    return got;
}

long long FdWrite(int fd, const void *buffer, size_t count) {
    ssize_t put;
    do {
        put = write(fd, buffer, count);
    } while (put < 0 && errno == EINTR);
    return put;
}

long long FdSeek(int fd, long long offset, int whence) {
    return static_cast<long long>(lseek(fd, static_cast<off_t>(offset), whence));
}

void LargeBufferAdvise(void *buffer, size_t size) {
    constexpr uintptr_t kPage = 4096;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + kPage - 1) & ~(kPage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + size) & ~(kPage - 1);
    if (end > start) madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
}

void StdStreamsBinary() {}

bool FdIsBinary(int) {
    return true;
}

SearchHandle SearchFirst(const char *pattern, SearchEntry *entry, SearchDetail detail) {
    const std::string native = NativePath(pattern);
    const size_t slash = native.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : native.substr(0, slash + 1);
    const std::string last = slash == std::string::npos ? native : native.substr(slash + 1);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || last.empty()) {
        LastErrorSet(kErrorPathNotFound);
        return nullptr;
    }
    auto search = std::make_unique<Search>();  // released to the caller only when complete
    if (HasWildcard(last)) {
        search->entries = MatchingEntries(folder, last, !IsDriveRootPattern(pattern), detail);
    } else if (SearchEntry exact; EntryOf(folder, last, &exact)) {
        search->entries.push_back(exact);
    }
    if (search->entries.empty()) {
        LastErrorSet(kErrorFileNotFound);
        return nullptr;
    }
    *entry = search->entries[0];
    search->next = 1;
    return search.release();
}

bool SearchNext(SearchHandle handle, SearchEntry *entry) {
    auto *search = static_cast<Search *>(handle);
    if (!search) {
        LastErrorSet(kErrorInvalidHandle);
        return false;
    }
    if (search->next >= search->entries.size()) {
        LastErrorSet(kErrorNoMoreFiles);
        return false;
    }
    *entry = search->entries[search->next++];
    return true;
}

void SearchClose(SearchHandle handle) {
    delete static_cast<Search *>(handle);
}

bool DirectoryRemove(const char *path) {
    return rmdir(NativePath(path).c_str()) == 0;
}

bool ReadOnlyClear(const char *path) {
    const std::string native = NativePath(path);
    struct stat st;
    if (stat(native.c_str(), &st) != 0) return false;
    return chmod(native.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

unsigned long LastError() {
    return t_last_error;
}

void LastErrorSet(unsigned long code) {
    t_last_error = code;
}

bool RandomBytes(void *buffer, size_t size) {
    auto *bytes = static_cast<unsigned char *>(buffer);
    while (size > 0) {
        const ssize_t got = getrandom(bytes, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

bool StreamFileIdentity(FILE *stream, std::string *identity) {
    struct stat st;
    if (!stream || fstat(fileno(stream), &st) != 0) return false;
    *identity = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    return true;
}

// flock locks belong to the open file description, which a duplicate shares: the lock stays
// while the duplicate is open, whatever happens to the stream.
LockHandle LockHandleOf(FILE *stream) {
    if (!stream) return -1;
    return fcntl(fileno(stream), F_DUPFD_CLOEXEC, 0);
}

bool LockHandleSet(LockHandle handle, LockLevel level) {
    const int operation = level == LockLevel::kExclusive ? LOCK_EX
                          : level == LockLevel::kShared  ? LOCK_SH
                                                         : LOCK_UN;
    int result;
    do {
        result = flock(static_cast<int>(handle), operation);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

void LockHandleClose(LockHandle handle) {
    if (handle >= 0) close(static_cast<int>(handle));
}

bool FileReplace(const char *from, const char *to) {
    return rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

bool ScratchFileReplace(const char *from, const char *to) {
    const std::string target = NativePath(to);
    unlink(target.c_str());
    return rename(NativePath(from).c_str(), target.c_str()) == 0;
}

bool DirectoryWritable(const char *path) {
    // "/." resolves only through a folder: one call tells both.
    return access((NativePath(path) + "/.").c_str(), W_OK | X_OK) == 0;
}

bool FileSwapAvailable() {
    return true;
}

bool FileSwap(const char *a, const char *b) {
    return renameat2(AT_FDCWD, NativePath(a).c_str(), AT_FDCWD, NativePath(b).c_str(),
                     RENAME_EXCHANGE) == 0;
}

struct LockedFile {
    int fd = -1;
    off_t size = 0;
};

LockedFile *LockedFileOpen(const char *path) {
    const std::string native = NativePath(path);
    // Bounded: each retry means another writer swapped the name away meanwhile.
    for (int attempt = 0; attempt < 16; ++attempt) {
        // Non-blocking: a pipe planted at the name refuses the open instead of waiting on it
        // (writes to a regular file are not affected).
        const int fd =
            open(native.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0) return nullptr;
        const bool locked = SwapLockTake(fd, true);
        struct stat open_file, named;
        if (locked && fstat(fd, &open_file) == 0 && S_ISREG(open_file.st_mode) &&
            stat(native.c_str(), &named) == 0 && open_file.st_dev == named.st_dev &&
            open_file.st_ino == named.st_ino)
            return new (std::nothrow) LockedFile{fd, open_file.st_size};
        close(fd);
        if (!locked) return nullptr;
    }
    return nullptr;
}

bool LockedFileWrite(LockedFile *file, const std::string &bytes) {
    if (!file) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put =
            pwrite(file->fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    // Only a longer old content is cut (a cut to the same size still costs a time update).
    const off_t length = static_cast<off_t>(bytes.size());
    if (file->size > length && ftruncate(file->fd, length) != 0) return false;
    file->size = length;
    return true;
}

void LockedFileClose(LockedFile *file) {
    if (!file) return;
    close(file->fd);
    delete file;
}

unsigned long FileErrorLast() {
    switch (errno) {
        case 0:
            return 0;
        case ENOSPC:
        case EDQUOT:
            return kErrorDiskFull;
        case EACCES:
        case EPERM:
        case EROFS:
        case ETXTBSY:
        case EISDIR:  // Windows refuses to open a folder as a file with access denied
            return kErrorAccessDenied;
        case ENAMETOOLONG:
            return kErrorFilenameTooLong;
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EEXIST:
            return kErrorFileExists;
        case EFBIG:
            return kErrorFileTooLarge;
        default:
            return kErrorWriteFault;
    }
}

PathKind PathKindOf(const char *path) {
    const std::string native = NativePath(path);
    struct stat st;
    if (lstat(native.c_str(), &st) != 0) return PathKind::kMissing;
    if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
    if (S_ISLNK(st.st_mode)) return PathKind::kFile;
    if (!S_ISREG(st.st_mode)) return PathKind::kOther;
    // No write bit is the read-only attribute, which stops even an administrator on Windows.
    if ((st.st_mode & 0222) == 0) return PathKind::kReadOnlyFile;
    if (access(native.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS))
        return PathKind::kReadOnlyFile;
    return PathKind::kFile;
}

bool FileKeepAs(const char *from, const char *to) {
    return link(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
}

FILE *StreamCreateNew(const char *path, bool) {
    const int fd =
        open(NativePath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE *stream = fdopen(fd, "wb");
    if (!stream) close(fd);
    return stream;
}

bool LinkRemove(const char *path) {
    const std::string native = NativePath(path);
    struct stat st;
    if (lstat(native.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    return unlink(native.c_str()) == 0;
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

namespace platform {

void GrowingBufferAdvise(void *buffer, size_t size) {
    constexpr uintptr_t kPage = 4096;
    if (!buffer || size == 0) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(buffer) & ~(kPage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + size + kPage - 1) & ~(kPage - 1);
    madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace platform
