#include "util/fileio.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr size_t kNameSize = 1024;
constexpr size_t kBlock = 1 << 20;

struct OpenMode {
    const char *mode;
    int flags;
    int permission;
};

constexpr int kRead = 0x100, kWrite = 0x080;
constexpr OpenMode kModes[] = {
    {"r", 0x0000, kRead},   {"r+", 0x0002, kRead | kWrite},
    {"w", 0x0301, kWrite},  {"w+", 0x0302, kRead | kWrite},
    {"a", 0x0109, kWrite},  {"a+", 0x010A, kRead | kWrite},
    {"rb", 0x8000, kRead},  {"r+b", 0x8002, kRead | kWrite},
    {"wb", 0x8301, kWrite}, {"w+b", 0x8302, kRead | kWrite},
    {"ab", 0x8109, kWrite}, {"a+b", 0x810A, kRead | kWrite},
    {"rt", 0x4000, kRead},  {"r+t", 0x4002, kRead | kWrite},
    {"wt", 0x4301, kWrite}, {"w+t", 0x4302, kRead | kWrite},
    {"at", 0x4109, kWrite}, {"a+t", 0x410A, kRead | kWrite},
};

const OpenMode *ModeOf(const char *mode) {
    for (const auto &row : kModes)
        if (std::strcmp(row.mode, mode) == 0) return &row;
    return nullptr;
}

// Formats a file name into its 1024-byte bound; false when it does not fit.
bool FormatName(char *name, const char *format, va_list args) {
    if (!format) return false;
    const int length = std::vsnprintf(name, kNameSize, format, args);
    return length >= 0 && static_cast<size_t>(length) < kNameSize;
}

class Descriptor {
   public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) platform::FdClose(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

   private:
    int fd_;
};

// Reads until count bytes arrived or the file ends; the number of bytes read.
size_t ReadFully(int fd, char *buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        const long long got = platform::FdRead(fd, buffer + done, count - done);
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

long CatDescriptor(int fd) {
    std::vector<char> block(kBlock);
    long count = 0;
    long long got;
    while ((got = platform::FdRead(fd, block.data(), block.size())) > 0) {
        std::fwrite(block.data(), 1, static_cast<size_t>(got), stdout);
        count += static_cast<long>(got);
    }
    return count;
}

char *NewLine(const std::string &line) {
    char *copy = static_cast<char *>(std::malloc(line.size() + 1));
    if (copy) std::memcpy(copy, line.c_str(), line.size() + 1);
    return copy;
}

// Where the descriptor cannot seek (a pipe) or translates, a byte read past the line would be
// lost.
char *ReadLineByteByByte(int fd) {
    std::string line;
    char byte;
    while (platform::FdRead(fd, &byte, 1) == 1) {
        line += byte;
        if (byte == '\n') break;
    }
    return line.empty() ? nullptr : NewLine(line);
}

// The process's locks, one per file however many of its streams hold it: a second locked
// open of a file the process already holds never waits on itself. The level is exclusive
// while any stream asked for it, else shared.
struct HeldLock {
    platform::LockHandle handle = -1;
    int shared = 0;
    int exclusive = 0;
    platform::LockLevel Level() const {
        return exclusive > 0 ? platform::LockLevel::kExclusive
               : shared > 0  ? platform::LockLevel::kShared
                             : platform::LockLevel::kNone;
    }
};
struct StreamLockRecord {
    std::string file;
    bool exclusive;
};
std::map<std::string, HeldLock> g_held_locks;
std::map<FILE *, StreamLockRecord> g_stream_locks;

int FileUnlockStream(FILE *stream);

int LockStream(FILE *stream, bool exclusive) {
    if (!stream) return -1;
    // A record left by a stream closed without FileCloseLocked, at an address reused.
    if (g_stream_locks.count(stream)) FileUnlockStream(stream);
    std::string file;
    if (!platform::StreamFileIdentity(stream, &file)) return -1;
    // Every record is made before a count or a lock changes: a failed allocation (which
    // throws out of here) leaves the tables as they were.
    auto record = g_stream_locks.emplace(stream, StreamLockRecord{file, exclusive}).first;
    auto found = g_held_locks.find(file);
    const bool first = found == g_held_locks.end();
    if (first) {
        try {
            found = g_held_locks.emplace(file, HeldLock{}).first;
        } catch (...) {
            g_stream_locks.erase(record);
            throw;
        }
        found->second.handle = platform::LockHandleOf(stream);
        if (found->second.handle == -1) {
            g_held_locks.erase(found);
            g_stream_locks.erase(record);
            return -1;
        }
    }
    HeldLock &held = found->second;
    const platform::LockLevel before = held.Level();
    ++(exclusive ? held.exclusive : held.shared);
    if (held.Level() != before && !platform::LockHandleSet(held.handle, held.Level())) {
        --(exclusive ? held.exclusive : held.shared);
        if (first) {
            platform::LockHandleClose(held.handle);
            g_held_locks.erase(found);
        } else {
            platform::LockHandleSet(held.handle, held.Level());
        }
        g_stream_locks.erase(record);
        return -1;
    }
    return 0;
}

// Stream modes that only read take a shared lock; any mode that writes an exclusive one.
bool ModeWrites(const char *mode) {
    return mode[0] != 'r' || std::strchr(mode, '+') != nullptr;
}

// A "w" mode empties the file when it opens; a process waiting for the lock would empty it
// under the feet of the one holding it. So the file is opened for update (made first when
// missing, never emptied by that), locked, and only then cut.
FILE *OpenTruncatedUnderLock(const char *name, const char *mode) {
    std::string update = std::string("r+") + (mode + 1 + (mode[1] == '+' ? 1 : 0));
    platform::Stream stream(platform::StreamOpen(name, update.c_str()));
    if (!stream) {
        FILE *created = platform::StreamOpen(name, "ab");
        if (!created) return nullptr;
        std::fclose(created);
        stream.reset(platform::StreamOpen(name, update.c_str()));
        if (!stream) return nullptr;
    }
    // As any locked open: without a lock the stream is still given (not when an allocation
    // failed: that throws, and the stream closes uncut).
    LockStream(stream.get(), true);
    if (!platform::StreamTruncateHere(stream.get())) {
        FileUnlockStream(stream.get());
        return nullptr;
    }
    return stream.release();
}

enum class AppendStep { kNotStarted, kWritten, kFailed };

// Runs the writer on the destination opened by mode under its lock, all or nothing: when a
// write fails (a full disk), the file is cut back to the length it had, so that no fragment
// is left for the next append to land behind. 1 when the writer's bytes all landed.
template <class Writer>
int AppendWhole(const char *destination, const char *mode, Writer write) {
    FILE *out = FileOpenLocked(destination, mode);
    if (!out) return 0;
    // Unbuffered: a write that fails leaves nothing behind for the close to try again.
    std::setvbuf(out, nullptr, _IONBF, 0);
    std::fseek(out, 0, SEEK_END);
    const long before = std::ftell(out);
    const AppendStep step = write(out);
    bool whole = step == AppendStep::kWritten && std::fflush(out) == 0 && !std::ferror(out);
    if (step == AppendStep::kFailed || (step == AppendStep::kWritten && !whole)) {
        if (before >= 0) platform::StreamCutBack(out, before);
        whole = false;
    }
    const bool closed = FileCloseLocked(out) == 0;
    return whole && closed ? 1 : 0;
}

}  // namespace

extern "C" {

int FileOpenMode(const char *name, const char *mode) try {
    if (!name || !mode) return -1;
    const OpenMode *row = ModeOf(mode);
    if (!row) return -1;
    return platform::FdOpen(name, row->flags, row->permission);
} catch (...) {
    return -1;
}

int FileClose(int fd) {
    return platform::FdClose(fd);
}

int PathExists(const char *name) try {
    if (!name) return 0;
    platform::SearchEntry entry;
    platform::SearchHandle search =
        platform::SearchFirst(name, &entry, platform::SearchDetail::kKind);
    if (!search) return 0;
    platform::SearchClose(search);
    return 1;
} catch (...) {
    return 0;
}

int FileExists(const char *name) try {
    const int fd = FileOpenMode(name, "rb");
    if (fd < 0) return 0;
    platform::FdClose(fd);
    return 1;
} catch (...) {
    return 0;
}

int FileExistsFmt(const char *format, ...) try {
    char name[kNameSize];
    va_list args;
    va_start(args, format);
    const bool formatted = FormatName(name, format, args);
    va_end(args);
    if (!formatted) return -1;
    return FileExists(name);
} catch (...) {
    return -1;
}

long FileCatFmt(const char *format, ...) try {
    char name[kNameSize];
    va_list args;
    va_start(args, format);
    const bool formatted = FormatName(name, format, args);
    va_end(args);
    if (!formatted) return -1;
    platform::StdStreamsBinary();
    Descriptor file(FileOpenMode(name, "rb"));
    if (!file.valid()) return -1;
    return CatDescriptor(file.get());
} catch (...) {
    return -1;
}

int FileWriteBytes(const void *data, int count, const char *name, const char *mode) try {
    Descriptor file(FileOpenMode(name, mode));
    if (!file.valid()) return -1;
    const char *bytes = static_cast<const char *>(data);
    size_t done = 0;
    const size_t total = (bytes && count > 0) ? static_cast<size_t>(count) : 0;
    while (done < total) {
        const long long put = platform::FdWrite(file.get(), bytes + done, total - done);
        if (put <= 0) return -1;  // a full disk or a read-only open is a failure, not a count
        done += static_cast<size_t>(put);
    }
    return count;
} catch (...) {
    return -1;
}

long FileReadAll(const char *name, char **buffer) try {
    if (!buffer || FileExists(name) != 1) return -1;
    Descriptor file(FileOpenMode(name, "rb"));
    if (!file.valid()) return -1;
    const long length = FdLength(file.get());
    if (length < 0) return -1;
    char *data = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (!data) return -1;
    const size_t got = ReadFully(file.get(), data, static_cast<size_t>(length));
    if (got == 0) {
        std::free(data);
        return -1;
    }
    data[got] = '\0';
    *buffer = data;
    return static_cast<long>(got);
} catch (...) {
    return -1;
}

char *FileLoad(const char *path, long *length) try {
    if (length) *length = 0;
    long long size = 0;
    if (!path || !platform::FileStatSize(path, &size) || size < 0) return nullptr;
    Descriptor file(FileOpenMode(path, "rb"));
    if (!file.valid()) return nullptr;
    char *data = static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1));
    if (!data) return nullptr;
    platform::LargeBufferAdvise(data, static_cast<size_t>(size));
    // Never more than the size found: a file that grows meanwhile is cut there.
    const size_t got = ReadFully(file.get(), data, static_cast<size_t>(size));
    data[got] = '\0';
    if (length) *length = static_cast<long>(got);
    return data;
} catch (...) {
    return nullptr;
}

int FileAppend(const char *destination, const char *source) try {
    std::vector<char> block(kBlock);  // first: nothing is open yet if it cannot be had
    return AppendWhole(destination, "ab", [&](FILE *out) {
        FILE *in = FileOpenLocked(source, "rb");
        if (!in) return AppendStep::kNotStarted;
        std::fseek(in, 0, SEEK_END);
        // Only the bytes the source holds now: when it is the destination, what is appended
        // must not be read again.
        long remaining = std::ftell(in);
        std::fseek(in, 0, SEEK_SET);
        bool written = true;
        while (written && remaining > 0 && !std::feof(in)) {
            const size_t want = remaining < static_cast<long>(block.size())
                                    ? static_cast<size_t>(remaining)
                                    : block.size();
            const size_t got = std::fread(block.data(), 1, want, in);
            if (got == 0) break;
            remaining -= static_cast<long>(got);
            written = std::fwrite(block.data(), 1, got, out) == got;
        }
        const bool read_ok = !std::ferror(in);
        FileCloseLocked(in);
        return written && read_ok ? AppendStep::kWritten : AppendStep::kFailed;
    });
} catch (...) {
    return 0;
}

int FileAppendText(const char *destination, const char *text) try {
    if (!text) return 0;
    return AppendWhole(destination, "at", [&](FILE *out) {
        const size_t length = std::strlen(text);
        return std::fwrite(text, 1, length, out) == length ? AppendStep::kWritten
                                                           : AppendStep::kFailed;
    });
} catch (...) {
    return 0;
}

long FdLength(int fd) {
    const long long here = platform::FdSeek(fd, 0, SEEK_CUR);
    const long long end = platform::FdSeek(fd, 0, SEEK_END);
    if (here >= 0) platform::FdSeek(fd, here, SEEK_SET);
    return static_cast<long>(end);
}

char *FdReadLine(int fd) try {
    // A text-mode descriptor drops each CR before the line reaches us, so the bytes kept do
    // not tell how far to seek back: read ahead only where the bytes are the file's own.
    if (!platform::FdIsBinary(fd)) return ReadLineByteByByte(fd);
    const long long start = platform::FdSeek(fd, 0, SEEK_CUR);
    if (start < 0) return ReadLineByteByByte(fd);
    // Read ahead in blocks, then put the descriptor back just after the line.
    std::string line;
    char block[4096];
    long long got;
    while ((got = platform::FdRead(fd, block, sizeof block)) > 0) {
        const void *feed = std::memchr(block, '\n', static_cast<size_t>(got));
        if (feed) {
            const size_t take = static_cast<size_t>(static_cast<const char *>(feed) - block) + 1;
            line.append(block, take);
            platform::FdSeek(fd, start + static_cast<long long>(line.size()), SEEK_SET);
            return NewLine(line);
        }
        line.append(block, static_cast<size_t>(got));
    }
    return line.empty() ? nullptr : NewLine(line);
} catch (...) {
    return nullptr;
}

int FdWriteWord(int fd, const void *word) {
    if (fd == -1 || !word) return -1;
    return platform::FdWrite(fd, word, 4) == 4 ? 4 : -1;
}

char *StreamReadLine(char *buffer, int size, FILE *stream) {
    if (!buffer || size <= 0 || !stream) return nullptr;
    int stored = 0;
    while (stored < size - 1) {
        const int ch = std::getc(stream);
        if (ch == EOF) break;
        buffer[stored++] = static_cast<char>(ch);
        if (ch == '\n') break;
    }
    buffer[stored] = '\0';
    return stored > 0 ? buffer : nullptr;
}

FILE *FileOpenLocked(const char *name, const char *mode) try {
    if (!name || !mode) return nullptr;
    if (mode[0] == 'w') return OpenTruncatedUnderLock(name, mode);
    platform::Stream stream(platform::StreamOpen(name, mode));
    if (!stream) return nullptr;
    LockStream(stream.get(), ModeWrites(mode));
    return stream.release();
} catch (...) {
    return nullptr;
}

int FileCloseLocked(FILE *stream) {
    if (!stream) return EOF;
    // What was written must be in the file before another process may take the lock.
    std::fflush(stream);
    FileUnlock(stream);
    return std::fclose(stream);
}

// A stream locked directly, without its mode known, takes the exclusive lock.
int FileLock(FILE *stream) try { return LockStream(stream, true); } catch (...) {
    return -1;
}

int FileUnlock(FILE *stream) {
    return FileUnlockStream(stream);
}

}  // extern "C"

namespace {

int FileUnlockStream(FILE *stream) {
    const auto record = g_stream_locks.find(stream);
    if (record == g_stream_locks.end()) return -1;
    const auto found = g_held_locks.find(record->second.file);
    const bool exclusive = record->second.exclusive;
    g_stream_locks.erase(record);
    if (found == g_held_locks.end()) return -1;
    HeldLock &held = found->second;
    const platform::LockLevel before = held.Level();
    --(exclusive ? held.exclusive : held.shared);
    if (held.Level() == platform::LockLevel::kNone) {
        platform::LockHandleSet(held.handle, platform::LockLevel::kNone);
        platform::LockHandleClose(held.handle);
        g_held_locks.erase(found);
        return 0;
    }
    if (held.Level() != before) platform::LockHandleSet(held.handle, held.Level());
    return 0;
}

}  // namespace

extern "C" {

int HexDigitValue(int ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return 0;
}

int IsHexDigit(int ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

}  // extern "C"
