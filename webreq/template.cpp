#include "webreq/template.h"

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "util/fileio.h"
#include "util/text.h"
#include "webreq/channel_internal.h"
#include "webreq/error.h"
#include "webreq/error_internal.h"
#include "webreq/output.h"

namespace {

constexpr size_t kArgValueSize = 65536;
constexpr size_t kIncludePathLimit = 1023;
constexpr int kIncludeDepthLimit = 16;
// Depth alone does not bound the work: two includes of itself in a file expand 2^16 times.
constexpr int kIncludeTotalLimit = 256;
constexpr char kIncludeOpen[] = "<!--#include file=\"";
constexpr char kIncludeClose[] = "\"-->";

FILE *g_reader = nullptr;
char g_separator = ' ';

void CloseReaderOnCleanup() {
    ec_AwkClose();
}

// Reads the first integer of an open counter file; not a number reads as 0, and a number
// beyond the int range as its nearest limit.
int ReadCounter(FILE *stream) {
    char text[32] = {};
    if (std::fscanf(stream, "%31s", text) != 1) return 0;
    char *end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text) return 0;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// value + increment, held at INT_MAX or INT_MIN instead of wrapping around.
int SaturatedAdd(int value, int increment) {
    const long long sum = static_cast<long long>(value) + increment;
    if (sum > INT_MAX) return INT_MAX;
    if (sum < INT_MIN) return INT_MIN;
    return static_cast<int>(sum);
}

// Descriptor 1 is the response: it goes through the request channel.
bool WriteAll(int fd, const char *data, size_t size) {
    if (fd == 1) return webreq::ChannelWrite(data, size);
    while (size > 0) {
        const long long put = platform::FdWrite(fd, data, size);
        if (put <= 0) return false;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

class TemplateFiller {
   public:
    TemplateFiller(ec_entry *list, int fd, int depth, int *includes)
        : list_(list), fd_(fd), depth_(depth), includes_(includes) {
        starts_[static_cast<unsigned char>('<')] = true;
        for (ec_entry *entry = list; entry; entry = entry->next)
            if (entry->name[0]) starts_[static_cast<unsigned char>(entry->name[0])] = true;
    }

    // Unreplaced text is written in runs, one write per run.
    bool Fill(std::string_view text) {
        size_t run_start = 0, at = 0;
        while (at < text.size()) {
            if (!starts_[static_cast<unsigned char>(text[at])]) {
                ++at;
                continue;
            }
            const std::string_view rest = text.substr(at);
            if (rest.substr(0, sizeof kIncludeOpen - 1) == kIncludeOpen) {
                if (!Flush(text, run_start, at)) return false;
                at += Include(rest);
                run_start = at;
                continue;
            }
            const ec_entry *match = MatchingName(rest);
            if (!match) {
                ++at;
                continue;
            }
            if (!Flush(text, run_start, at) ||
                !WriteAll(fd_, match->value, std::strlen(match->value)))
                return false;
            at += std::strlen(match->name);
            run_start = at;
        }
        return Flush(text, run_start, at);
    }

   private:
    bool Flush(std::string_view text, size_t from, size_t to) {
        return to <= from || WriteAll(fd_, text.data() + from, to - from);
    }

    const ec_entry *MatchingName(std::string_view rest) const {
        for (const ec_entry *entry = list_; entry; entry = entry->next) {
            const size_t length = std::strlen(entry->name);
            if (length > 0 && rest.substr(0, length) == entry->name) return entry;
        }
        return nullptr;
    }

    // Expands the directive at the start of rest; the number of characters consumed.
    size_t Include(std::string_view rest) {
        const size_t close = rest.find(kIncludeClose);
        if (close == std::string_view::npos) {
            webreq::ChannelWrite(
                "[ec_SedStr: an error occurred while processing 'include' directive - "
                "ending tag not found]");
            return 1;  // only the '<': the rest is ordinary text
        }
        const size_t start = sizeof kIncludeOpen - 1;
        const std::string path(rest.substr(start, close - start));
        const size_t consumed = close + sizeof kIncludeClose - 1;
        if (path.size() > kIncludePathLimit) {
            webreq::ChannelWrite(
                "[ec_SedStr: an error occurred while processing 'include' directive - "
                "path too long]");
        } else if (depth_ >= kIncludeDepthLimit) {
            webreq::ChannelPrintf(
                "[ec_SedStr: an error occurred while processing 'include' directive - "
                "file(%s) nested too deep]",
                path.c_str());
        } else if (*includes_ >= kIncludeTotalLimit) {
            webreq::ChannelPrintf(
                "[ec_SedStr: an error occurred while processing 'include' directive - "
                "file(%s) too many includes]",
                path.c_str());
        } else if (platform::FileIsRegular(path.c_str()) &&
                   FileExistsFmt("%s", path.c_str()) == 1) {
            ++*includes_;
            FlushMessages();
            FillFile(path.c_str());
        } else {
            webreq::ChannelPrintf(
                "[ec_SedStr: an error occurred while processing 'include' directive - "
                "file(%s) open fail]",
                path.c_str());
        }
        FlushMessages();
        return consumed;
    }

    // The messages go to the response; written to another descriptor, the text must not
    // overtake them.
    void FlushMessages() {
        if (fd_ != 1) webreq::ChannelFlush();
    }

    void FillFile(const char *path) {
        long length = 0;
        char *content = FileLoad(path, &length);
        if (!content) return;
        TemplateFiller(list_, fd_, depth_ + 1, includes_)
            .Fill(std::string_view(content, std::strlen(content)));
        std::free(content);
    }

    ec_entry *list_;
    int fd_;
    int depth_;
    int *includes_;  // expansions so far in this ec_SedStr call
    bool starts_[256] = {};
};

// On Windows a file that another process holds open cannot be replaced until it lets go;
// readers are done within moments. Where it stays refused, the number is written in place.
constexpr int kReplaceAttempts = 20;
constexpr int kReplacePauseMs = 25;

// The counter's writers take the lock of a companion file ("PATH.lock", made on first use and
// never replaced) around the whole read-modify-write: the counter file itself is replaced by
// each write, and on Windows a file that is held open (a lock needs it open) cannot be.
class CounterWriteLock {
   public:
    explicit CounterWriteLock(const char *path)
        : guard_(FileOpenLocked((std::string(path) + ".lock").c_str(), "ab")) {}
    ~CounterWriteLock() {
        if (guard_) FileCloseLocked(guard_);
    }
    CounterWriteLock(const CounterWriteLock &) = delete;
    CounterWriteLock &operator=(const CounterWriteLock &) = delete;
    bool held() const { return guard_ != nullptr; }

   private:
    FILE *guard_;
};

// The counter file open for update under its own lock too, so that whoever else holds that
// lock is waited for; made empty when missing (never truncated).
FILE *CounterOpenLocked(const char *path) {
    FILE *stream = FileOpenLocked(path, "r+t");
    if (stream) return stream;
    FILE *created = platform::StreamOpen(path, "at");
    if (!created) return nullptr;
    std::fclose(created);
    return FileOpenLocked(path, "r+t");
}

bool ReplaceWithRetries(const char *from, const char *to) {
    for (int attempt = 0;; ++attempt) {
        if (platform::FileReplace(from, to)) return true;
        if (attempt == kReplaceAttempts - 1) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kReplacePauseMs));
    }
}

bool StoreInPlace(const char *path, int value) {
    FILE *stream = CounterOpenLocked(path);
    if (!stream) return false;
    const bool written = std::fprintf(stream, "%d\n", value) > 0;
    const bool cut = written && platform::StreamTruncateHere(stream);
    return FileCloseLocked(stream) == 0 && cut;
}

// Stores the number as "%d\n" in text mode in a new file beside the counter ("PATH.new") and
// renames it over the counter: a reader, or a writer killed on the way, finds the old number
// or the new one, never an empty or cut file. Under the counter's write lock, which alone uses
// the name beside it. False when the number was not stored (the old one stays).
bool CounterStore(const char *path, int value) {
    const std::string beside = std::string(path) + ".new";
    platform::FileRemove(beside.c_str());  // left by a writer that was killed
    FILE *stream = platform::StreamCreateNew(beside.c_str(), true);
    if (!stream) return false;
    const bool written = std::fprintf(stream, "%d\n", value) > 0;
    const bool closed = std::fclose(stream) == 0;
    if (written && closed && ReplaceWithRetries(beside.c_str(), path)) return true;
    platform::FileRemove(beside.c_str());
    return written && closed && StoreInPlace(path, value);
}

// The counter's number under both locks, or false when the file cannot be had. The counter is
// closed again before it is replaced.
bool CounterRead(const char *path, int *value) {
    FILE *stream = CounterOpenLocked(path);
    if (!stream) return false;
    *value = ReadCounter(stream);
    FileCloseLocked(stream);
    return true;
}

}  // namespace

extern "C" {

int ec_AwkOpen(const char *path, char separator) try {
    if (g_reader) ecError("ec_AwkOpen(): There is already opened handle.");
    g_reader = FileOpenLocked(path, "rt");
    if (!g_reader) return 0;
    _cleanup_register(EC_CLEANUP_FIELD_READER, CloseReaderOnCleanup);  // the request closes it
    g_separator = separator;
    return 1;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_AwkOpen");
}

int ec_AwkNext(ec_awk_fields fields) try {
    if (!g_reader) ecError("ec_AwkNext(): There is no opened handle.");
    char *line = ec_fGetLine(g_reader);
    if (!line) return -1;
    StrTrim(line);
    int count = 0;
    const char *field = line;
    for (;;) {
        const char *end = std::strchr(field, g_separator);
        const size_t length = end ? static_cast<size_t>(end - field) : std::strlen(field);
        if (count < EC_AWK_FIELDS && fields) {
            const size_t kept = length < EC_AWK_FIELD_SIZE - 1 ? length : EC_AWK_FIELD_SIZE - 1;
            std::memcpy(fields[count], field, kept);
            fields[count][kept] = '\0';
            ++count;
        }
        if (!end || g_separator == '\0') break;
        field = end + 1;
    }
    std::free(line);
    return count;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_AwkNext");
}

int ec_AwkClose(void) try {
    if (!g_reader) return 0;
    FileCloseLocked(g_reader);
    g_reader = nullptr;
    g_separator = ' ';
    return 1;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_AwkClose");
}

int ec_CounterGet(const char *path) try {
    FILE *stream = FileOpenLocked(path, "rt");
    if (!stream) return 0;
    const int value = ReadCounter(stream);
    FileCloseLocked(stream);
    return value;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_CounterGet");
}

int ec_CounterSet(const char *path, int value) try {
    if (!path) return 0;
    const CounterWriteLock lock(path);
    // Read as an add reads it: whoever holds the counter's own lock is waited for, and a
    // missing file is made; the old number itself is not needed.
    int old = 0;
    if (!lock.held() || !CounterRead(path, &old)) return 0;
    return CounterStore(path, value) ? 1 : 0;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_CounterSet");
}

int ec_CounterAdd(const char *path, int increment) try {
    if (!path) return 0;
    const CounterWriteLock lock(path);
    int old = 0;
    if (!lock.held() || !CounterRead(path, &old)) return 0;
    const int value = SaturatedAdd(old, increment);
    return CounterStore(path, value) ? value : 0;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_CounterAdd");
}

ec_entry *ec_SedArgAdd(ec_entry *list, const char *name, const char *format, ...) try {
    if (!name || !*name) ecError("ec_SedArgAdd(): can not add empty name.");
    std::vector<char> value(kArgValueSize);
    va_list args;
    va_start(args, format);
    const int length = format ? std::vsnprintf(value.data(), value.size(), format, args) : -1;
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= kArgValueSize)
        ecError("ec_SedArgAdd(): Message is too long or invalid.");
    return _list_append(list, name, value.data());
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SedArgAdd");
}

int ec_SedArgPrint(ec_entry *list) try {
    return _list_print(list);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SedArgPrint");
}

void ec_SedArgFree(ec_entry *list) try { _list_free(list); } catch (const std::exception &) {
    webreq::MemoryFail("ec_SedArgFree");
}

int ec_SedStr(ec_entry *list, const char *text, int fd) try {
    if (!list || !text) return 0;
    int includes = 0;
    if (!TemplateFiller(list, fd, 0, &includes).Fill(text)) return 0;
    // The response is buffered: a write that fails is only known once it is handed on.
    return fd != 1 || webreq::ChannelFlush() ? 1 : 0;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SedStr");
}

int ec_SedFile(ec_entry *list, const char *path, int fd) try {
    if (!path || !platform::FileIsRegular(path)) return 0;
    long length = 0;
    char *content = FileLoad(path, &length);
    if (!content) return 0;
    const int result = ec_SedStr(list, content, fd);
    std::free(content);
    return result;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SedFile");
}

}  // extern "C"
