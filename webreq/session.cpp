#include "webreq/session.h"

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "util/fileio.h"
#include "webreq/cookie.h"
#include "webreq/cookie_internal.h"
#include "webreq/entrylist.h"
#include "webreq/entrylist_save.h"
#include "webreq/error.h"
#include "webreq/error_internal.h"
#include "webreq/values.h"

namespace {

constexpr size_t kNameSize = 1024;
constexpr size_t kPathLimit = 1023;
constexpr int kDefaultInterval = 1800;
constexpr char kDefaultRepository[] = "C:\\Windows\\Temp";
constexpr char kReserved[] = "_Q_";
constexpr size_t kIdLength = 32;
constexpr int kReplaceAttempts = 4;
constexpr int kReplacePauseMs = 15;

struct Session {
    bool open = false;
    int result = 0;
    bool modified = false;
    // Set while _session_close saves: an error in that save closes without saving again, so
    // the clean-up it runs does not fail a second time.
    bool closing = false;
    // The expiry the timeout file held when the session was resumed, or last written: a save
    // in the same second finds it there already and does not write it again.
    long long stored_expiry = 0;
    ec_entry *list = nullptr;
    // The properties file as it was read, open and unlocked until the save (see
    // LoadHeldProperties), and whether its lines end in CR LF.
    FILE *held = nullptr;
    bool held_crlf = false;
    int interval = kDefaultInterval;
    std::string repository, properties, timeout;
};
Session g_session;

void CloseOnCleanup() {
    _session_close();
}

void RequireOpen(const char *operation) {
    if (!g_session.open) ecError("%s(): ec_Session() must be called before.", operation);
}

void Format(char *out, const char *operation, const char *format, va_list args) {
    const int length = format ? std::vsnprintf(out, kNameSize, format, args) : -1;
    if (length < 0 || static_cast<size_t>(length) >= kNameSize)
        ecError("%s(): Message is too long or invalid.", operation);
}

bool IsReserved(const char *name) {
    return std::strncmp(name, kReserved, 3) == 0;
}

// A name is saved as it stands on a "name = value" line, so it must read back as itself: no
// line break, no '=', no leading '#' (a comment) and no blanks at its edges (trimmed on load).
bool IsSavableName(const char *name) {
    if (*name == '#' || std::strpbrk(name, "\r\n=")) return false;
    const size_t length = std::strlen(name);
    auto blank = [](char ch) { return ch == ' ' || ch == '\t'; };
    return !blank(name[0]) && !blank(name[length - 1]);
}

// The checks of a name that a session operation is about to store.
void RequireStorableName(const char *name) {
    if (!name || !*name) ecError("ec_SessionAdd(): can not add empty name.");
    if (IsReserved(name))
        ecError("ec_SessionAdd(): Name can not start with %s. It's reserved for internal uses.",
                kReserved);
    if (!IsSavableName(name))
        ecError(
            "ec_SessionAdd(): Name can not hold a line break or '=', start with '#' or "
            "have blanks at its edges.");
}

// Only identifiers of the library's own form become part of file names.
bool IsPlainIdentifier(const char *id) {
    if (!id || std::strlen(id) != kIdLength) return false;
    for (const char *p = id; *p; ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return false;
    return true;
}

// 32 lowercase hexadecimal digits from the secure random source.
std::string NewIdentifier() {
    unsigned char bytes[kIdLength / 2];
    if (!platform::RandomBytes(bytes, sizeof bytes))
        ecError("ec_Session(): The secure random source is not available.");
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (unsigned char byte : bytes) {
        id += kHex[byte >> 4];
        id += kHex[byte & 15];
    }
    return id;
}

void ComposePaths(const std::string &id) {
    const std::string base = g_session.repository + "/ec_session-" + id;
    g_session.properties = base + ".properties";
    g_session.timeout = base + ".timeout";
    if (g_session.properties.size() > kPathLimit)
        ecError("ec_Session(): The session repository path is too long.");
}

void CloseHeldProperties();

// A file still open cannot be removed on Windows: the held properties file is closed first.
void RemoveFiles() {
    CloseHeldProperties();
    platform::FileRemove(g_session.properties.c_str());
    platform::FileRemove(g_session.timeout.c_str());
}

std::string NumberText(long long value) {
    return std::to_string(value);
}

// Counts stop at the ends of int instead of overflowing.
int SaturatedSum(int a, int b) {
    const long long sum = static_cast<long long>(a) + b;
    return sum > INT_MAX ? INT_MAX : sum < INT_MIN ? INT_MIN : static_cast<int>(sum);
}

void StartNewSession(const std::string &id) {
    webreq::CookieSetHttpOnly("QSESSIONID", id.c_str(), 0, "/", nullptr, 0);
    ec_ValueAdd("QSESSIONID", "%s", id.c_str());
    char date[256];
    const long long now = _gmt_date(date, 0);
    g_session.list = _list_append(g_session.list, "_Q_SESSIONID", id.c_str());
    g_session.list = _list_append(g_session.list, "_Q_CREATED-GMT", date);
    g_session.list = _list_append(g_session.list, "_Q_CREATED", NumberText(now).c_str());
    g_session.list = _list_append(g_session.list, "_Q_CONNECTIONS", "1");
    ec_SessionSetTimeout(g_session.interval);
}

// The whole file, read under its lock.
bool ReadLocked(FILE *stream, std::string *text) {
    char block[4096];
    size_t got;
    do {  // a short block is the end: no further read to find it
        got = std::fread(block, 1, sizeof block, stream);
        text->append(block, got);
    } while (got == sizeof block);
    return !std::ferror(stream);
}

// Session files are small: a buffer given before the first read spares stdio the query of
// the file's block size on every open. The buffer must outlive the stream.
constexpr size_t kStreamBuffer = 4096;
void UseBuffer(FILE *stream, char *buffer) {
    std::setvbuf(stream, buffer, _IOFBF, kStreamBuffer);
}

// Lines end as the file's do: saved values encode their CRs, so a CR in the file is a line
// end of a text-mode write.
std::string WithLineEnds(const std::string &text, bool crlf) {
    if (!crlf) return text;
    std::string expanded;
    expanded.reserve(text.size() + text.size() / 16);
    for (char ch : text) {
        if (ch == '\n') expanded += '\r';
        expanded += ch;
    }
    return expanded;
}

// Replaces the whole content of a stream that holds the exclusive lock.
bool WriteOver(FILE *stream, const std::string &bytes) {
    return std::fseek(stream, 0, SEEK_SET) == 0 &&
           std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() &&
           platform::StreamTruncateHere(stream);
}

// The usual save: the file is rewritten where it lies under its lock, which every reader of a
// session file takes too, so a reader sees the old or the new bytes whole. (Replacing the file
// costs a data flush on some file systems: ext4 forces one on a rename over a file.) False
// when the file is missing or the write failed: the caller replaces it.
bool RewriteInPlace(const char *path, const std::string &text) {
    FILE *stream = FileOpenLocked(path, "r+b");
    if (!stream) return false;
    char buffer[kStreamBuffer];
    UseBuffer(stream, buffer);
    std::string old;
    const bool written = ReadLocked(stream, &old) &&
                         WriteOver(stream, WithLineEnds(text, old.find('\r') != std::string::npos));
    return FileCloseLocked(stream) == 0 && written;
}

// Read under the lock that RewriteInPlace holds while it writes.
ec_entry *LoadProperties(const char *path) {
    FILE *stream = FileOpenLocked(path, "rb");
    if (!stream) return nullptr;
    char buffer[kStreamBuffer];
    UseBuffer(stream, buffer);
    std::string text;
    const bool read = ReadLocked(stream, &text);
    FileCloseLocked(stream);
    return read ? webreq::ListFromSavedText(text.c_str()) : nullptr;
}

// A resumed session keeps its properties file open, unlocked, from the read to the save, so
// the save rewrites it without opening it again. Requests of one session still run side by
// side: the lock is held only while the file is read and while it is written.
char g_held_buffer[kStreamBuffer];

void CloseHeldProperties() {
    if (!g_session.held) return;
    FileCloseLocked(g_session.held);
    g_session.held = nullptr;
}

ec_entry *LoadHeldProperties(const char *path) {
    FILE *stream = FileOpenLocked(path, "r+b");
    if (!stream) return LoadProperties(path);  // a read-only repository still resumes
    UseBuffer(stream, g_held_buffer);
    std::string text;
    if (!ReadLocked(stream, &text)) {
        FileCloseLocked(stream);
        return nullptr;
    }
    FileUnlock(stream);
    g_session.held = stream;
    g_session.held_crlf = text.find('\r') != std::string::npos;
    return webreq::ListFromSavedText(text.c_str());
}

// The held file rewritten under the exclusive lock, then closed; false when there is none or
// the write failed.
bool SaveHeldProperties(const std::string &text) {
    if (!g_session.held) return false;
    FILE *stream = g_session.held;
    g_session.held = nullptr;
    FileLock(stream);  // as any locked open, a lock refused still lets the save go on
    const bool written = WriteOver(stream, WithLineEnds(text, g_session.held_crlf));
    return FileCloseLocked(stream) == 0 && written;
}

// _session_expiry_check, with the expiry read (0 when none could be).
int ExpiryRead(const char *timeout_path, long long *expiry) {
    *expiry = 0;
    FILE *stream = FileOpenLocked(timeout_path, "rt");
    if (!stream) return 0;
    char buffer[kStreamBuffer];
    UseBuffer(stream, buffer);
    std::string text;
    const bool read_whole = ReadLocked(stream, &text);
    FileCloseLocked(stream);
    // A number as scanf's %lld takes it: blanks first, a sign, digits, whatever follows.
    char *end = nullptr;
    *expiry = read_whole ? std::strtoll(text.c_str(), &end, 10) : 0;
    const bool read = read_whole && end != text.c_str();
    if (!read) {
        *expiry = 0;
        return -1;  // not a number counts as expired
    }
    return *expiry < static_cast<long long>(std::time(nullptr)) ? -1 : 1;
}

void ResumeSession() {
    g_session.list = LoadHeldProperties(g_session.properties.c_str());
    const int connections = _list_int_value(g_session.list, "_Q_CONNECTIONS");
    g_session.list = _list_set(g_session.list, "_Q_CONNECTIONS",
                               NumberText(SaturatedSum(connections, 1)).c_str());
    const int interval = _list_int_value(g_session.list, "_Q_INTERVAL");
    // A properties file without its interval (not one the library wrote) keeps the default.
    ec_SessionSetTimeout(interval > 0 ? interval : kDefaultInterval);
}

// Written beside the target and renamed over it: a reader sees the old or the new file.
std::string TemporaryBeside(const std::string &path) {
    unsigned char bytes[4] = {};
    platform::RandomBytes(bytes, sizeof bytes);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%02x%02x%02x%02x.tmp", bytes[0], bytes[1], bytes[2],
                  bytes[3]);
    return path + suffix;
}

// On Windows a file that another request has open cannot be replaced; most readers are done
// within moments, so the rename is tried a few times before the caller falls back.
bool ReplaceWithRetries(const char *from, const char *to) {
    for (int attempt = 0;; ++attempt) {
        if (platform::FileReplace(from, to)) return true;
        if (attempt == kReplaceAttempts - 1) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kReplacePauseMs));
    }
}

// Where the rename stays refused, the file is written in place instead: a reader may then see
// it half-written, but a save never fails because someone reads.
bool SaveProperties() {
    const char *properties = g_session.properties.c_str();
    std::string text;
    if (!webreq::ListSavedText(g_session.list, properties, true, &text)) {
        CloseHeldProperties();
        return false;
    }
    if (SaveHeldProperties(text) || RewriteInPlace(properties, text)) return true;
    const std::string temp = TemporaryBeside(g_session.properties);
    if (!webreq::ListSaveAs(g_session.list, temp.c_str(), properties, true)) {
        platform::FileRemove(temp.c_str());
        return false;
    }
    if (ReplaceWithRetries(temp.c_str(), properties)) return true;
    platform::FileRemove(temp.c_str());
    return webreq::ListSaveAs(g_session.list, properties, properties, true) == 1;
}

bool WriteExpiry(const char *path, long long expiry) {
    FILE *stream = FileOpenLocked(path, "wt");
    if (!stream) return false;
    const bool written = std::fprintf(stream, "%lld\n", expiry) > 0;
    return FileCloseLocked(stream) == 0 && written;
}

}  // namespace

extern "C" {

int ec_Session(const char *repository) try {
    if (g_session.open) return g_session.result;
    if (ec_ContentTypeSent())
        ecError("ec_Session(): must be called before ec_ContentType() and any stream out.");
    _cleanup_register(EC_CLEANUP_SESSION, CloseOnCleanup);
    g_session.list = nullptr;
    g_session.open = true;
    g_session.modified = false;
    g_session.repository = repository ? repository : kDefaultRepository;

    // Only the cookie names the session: a link carrying QSESSIONID in its query or a form
    // field must not plant a session of someone else's choosing.
    const char *sent = ec_ValueCookie("QSESSIONID");
    bool is_new = !IsPlainIdentifier(sent);
    std::string id = is_new ? NewIdentifier() : std::string(sent);
    ComposePaths(id);
    if (!is_new && ExpiryRead(g_session.timeout.c_str(), &g_session.stored_expiry) != 1) {
        RemoveFiles();
        id = NewIdentifier();
        ComposePaths(id);
        is_new = true;
    }
    if (is_new)
        StartNewSession(id);
    else
        ResumeSession();
    g_session.result = is_new ? 1 : 0;
    return g_session.result;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_Session");
}

char *ec_SessionAdd(const char *name, const char *format, ...) try {
    RequireOpen("ec_SessionAdd");
    RequireStorableName(name);
    char value[kNameSize];
    va_list args;
    va_start(args, format);
    Format(value, "ec_SessionAdd", format, args);
    va_end(args);
    g_session.list = _list_append(g_session.list, name, value);
    g_session.modified = true;
    return ec_SessionValue("%s", name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionAdd");
}

int ec_SessionAddInt(const char *name, int value) try {
    ec_SessionAdd(name, "%d", value);
    return ec_SessioniValue("%s", name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionAddInt");
}

int ec_SessionIncrease(const char *name, int increment) try {
    const int current = ec_SessioniValue("%s", name ? name : "");
    RequireStorableName(name);
    const int sum = SaturatedSum(current, increment);
    g_session.list = _list_set(g_session.list, name, NumberText(sum).c_str());
    g_session.modified = true;
    return sum;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionIncrease");
}

void ec_SessionRemove(const char *format, ...) try {
    char name[kNameSize];
    va_list args;
    va_start(args, format);
    Format(name, "ec_SessionRemove", format, args);
    va_end(args);
    if (!*name) ecError("ecAddRemove(): can not remove empty name.");
    RequireOpen("ec_SessionRemove");
    if (IsReserved(name)) ecError("ec_SessionRemove(): can not remove reserved words.");
    g_session.list = _list_remove(g_session.list, name);
    g_session.modified = true;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionRemove");
}

char *ec_SessionValue(const char *format, ...) try {
    RequireOpen("ec_SessionValue");
    char name[kNameSize];
    va_list args;
    va_start(args, format);
    Format(name, "ec_SessionValue", format, args);
    va_end(args);
    return _list_value(g_session.list, name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionValue");
}

int ec_SessioniValue(const char *format, ...) try {
    RequireOpen("ec_SessionValue");
    char name[kNameSize];
    va_list args;
    va_start(args, format);
    Format(name, "ec_SessionValue", format, args);
    va_end(args);
    return _list_int_value(g_session.list, name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessioniValue");
}

int ec_SessionPrint(void) try {
    RequireOpen("ec_SessionPrint");
    return _list_print(g_session.list);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionPrint");
}

char *ec_SessionGetID(void) try {
    RequireOpen("ec_SessionGetID");
    return _list_value(g_session.list, "_Q_SESSIONID");
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionGetID");
}

long ec_SessionGetCreated(void) try {
    RequireOpen("ec_SessionGetCreated");
    const char *created = _list_value(g_session.list, "_Q_CREATED");
    return created ? std::strtol(created, nullptr, 10) : 0;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionGetCreated");
}

int ec_SessionSetTimeout(int seconds) try {
    RequireOpen("ec_SessionSetTimeout");
    if (seconds < 1)
        ecError(
            "ec_SessionSetTimeout(): can not set negative interval. Use ec_SessionDestory() "
            "instead.");
    g_session.interval = seconds;
    g_session.list = _list_set(g_session.list, "_Q_INTERVAL", NumberText(seconds).c_str());
    return seconds;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionSetTimeout");
}

long ec_SessionSave(void) try {
    if (!g_session.open || !g_session.list || (g_session.result == 1 && !g_session.modified))
        return 0;
    if (!SaveProperties())
        ecError("ec_SessionSave(): Can not access session repository(%s).",
                g_session.properties.c_str());
    const long long due = static_cast<long long>(std::time(nullptr)) + g_session.interval;
    const long expiry = due == g_session.stored_expiry
                            ? static_cast<long>(due)
                            : _session_expiry_write(g_session.timeout.c_str(), g_session.interval);
    if (expiry == 0)
        ecError("ec_SessionSave(): Can not access session repository(%s).",
                g_session.timeout.c_str());
    g_session.stored_expiry = expiry;
    g_session.modified = false;
    return expiry;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionSave");
}

void _session_close(void) try {
    if (!g_session.open) return;
    if (!g_session.closing) {
        g_session.closing = true;
        ec_SessionSave();
    }
    CloseHeldProperties();
    _list_free(g_session.list);
    g_session = Session();
} catch (const std::exception &) {
    webreq::MemoryFail("_session_close");
}

void ec_SessionDestroy(void) try {
    RequireOpen("ec_SessionDestroy");
    RemoveFiles();
    _list_free(g_session.list);
    g_session.list = nullptr;
    _session_close();
    if (!ec_ContentTypeSent()) ec_CookieRemove("QSESSIONID", "/", nullptr, 0);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionDestroy");
}

int _session_expiry_check(const char *timeout_path) try {
    long long expiry = 0;
    return ExpiryRead(timeout_path, &expiry);
} catch (const std::exception &) {
    webreq::MemoryFail("_session_expiry_check");
}

long _session_expiry_write(const char *timeout_path, int interval) try {
    const long long expiry = static_cast<long long>(std::time(nullptr)) + interval;
    if (RewriteInPlace(timeout_path, std::to_string(expiry) + "\n"))
        return static_cast<long>(expiry);
    const std::string temp = TemporaryBeside(timeout_path);
    const bool written = WriteExpiry(temp.c_str(), expiry);
    if (written && ReplaceWithRetries(temp.c_str(), timeout_path)) return static_cast<long>(expiry);
    platform::FileRemove(temp.c_str());
    if (!written) return 0;
    // As for the properties file: a refused rename writes in place.
    return WriteExpiry(timeout_path, expiry) ? static_cast<long>(expiry) : 0;
} catch (const std::exception &) {
    webreq::MemoryFail("_session_expiry_write");
}

}  // extern "C"
