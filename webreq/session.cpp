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

// A save writes each file beside its target as "<target>.<tag>-<n>.tmp" and renames it over the
// target; a save killed before its rename leaves that file behind. The tag is drawn once per
// process and counted on, so a save costs no call to the random source.
std::string TemporaryBeside(const std::string &path, bool fresh_tag) {
    static unsigned tag = 0;
    static unsigned count = 0;
    if (tag == 0 || fresh_tag) {
        unsigned char bytes[4] = {};
        platform::RandomBytes(bytes, sizeof bytes);
        tag = (static_cast<unsigned>(bytes[0]) << 24 | static_cast<unsigned>(bytes[1]) << 16 |
               static_cast<unsigned>(bytes[2]) << 8 | bytes[3]) |
              1u;
    }
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x-%u.tmp", tag, ++count);
    return path + suffix;
}

// The leftovers of killed saves of the session, found by their name: removed with its files.
void RemoveLeftovers() {
    const std::string pattern =
        g_session.properties.substr(0, g_session.properties.size() - sizeof ".properties" + 1) +
        ".*.tmp";
    const size_t folder_end = pattern.find_last_of("/\\");
    const std::string folder = pattern.substr(0, folder_end + 1);
    platform::SearchEntry entry;
    platform::SearchHandle search =
        platform::SearchFirst(pattern.c_str(), &entry, platform::SearchDetail::kKind);
    if (!search) return;
    do {
        if (!entry.directory && !entry.link) platform::FileRemove((folder + entry.name).c_str());
    } while (platform::SearchNext(search, &entry));
    platform::SearchClose(search);
}

// The properties file goes first: whatever a save in another process does meanwhile (it renames
// the timeout file in first), no timeout file is left without its properties file.
void RemoveFiles(bool with_leftovers) {
    platform::FileRemove(g_session.properties.c_str());
    platform::FileRemove(g_session.timeout.c_str());
    if (with_leftovers) RemoveLeftovers();
}

// Session files are small: a buffer given before the first write spares stdio the
// query of the file's block size on every open. The buffer must outlive the stream.
constexpr size_t kStreamBuffer = 4096;
void UseBuffer(FILE *stream, char *buffer) {
    std::setvbuf(stream, buffer, _IOFBF, kStreamBuffer);
}

using Loaded = platform::FileRead;

// Read without a lock: a save replaces the file whole, never in place. Opened so that a save in
// another process can still rename over it meanwhile.
Loaded LoadFile(const std::string &path, bool text, std::string *bytes) {
    return platform::FileReadReplaceable(path.c_str(), text, bytes);
}

// Where a file under a replacing save's rename stands aside for a moment (see ReplaceOnce).
std::string AsideOf(const std::string &target) {
    return target + ".old.tmp";
}

// Replaces the target with from in one rename. Where a reader holds the target open, Windows
// (sharing delete) lets it be renamed but not be replaced: it is renamed aside first, where
// readers look for it while the target is missing, and removed once from took its place.
bool ReplaceOnce(const std::string &from, const std::string &target) {
    if (platform::FileReplace(from.c_str(), target.c_str())) return true;
    const std::string aside = AsideOf(target);
    if (!platform::FileReplace(target.c_str(), aside.c_str())) return false;
    if (!platform::FileReplace(from.c_str(), target.c_str())) {
        platform::FileReplace(aside.c_str(), target.c_str());
        return false;
    }
    platform::FileRemove(aside.c_str());  // gone once its reader closes it
    return true;
}

// A program that holds the file open without sharing delete (on Windows) is most often done
// within moments, so the replacement is tried a few times.
bool ReplaceWithRetries(const std::string &from, const std::string &target) {
    for (int attempt = 0;; ++attempt) {
        if (ReplaceOnce(from, target)) return true;
        if (attempt == kReplaceAttempts - 1) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kReplacePauseMs));
    }
}

// The file kept beside a session file where names can be swapped: it holds the version
// before last, and the next save writes over it and swaps it in. Its name is a leftover's,
// so it goes with the session's files.
std::string SpareOf(const std::string &target) {
    return target + ".spare.tmp";
}

// The save where names can be swapped: the spare is written under its exclusive lock (readers
// of a session file hold a shared one, so a file is never written while read) and swapped with
// the target, which then holds the new text whole; a process killed at any point leaves the
// target old or new. Without a target yet (a first save, or one removed meanwhile), the spare is
// renamed into its place. False when the caller must replace in its own way.
bool WriteBySwap(const std::string &target, const std::string &text) {
    if (!platform::FileSwapAvailable()) return false;
    const std::string spare = SpareOf(target);
    platform::LockedFile *file = platform::LockedFileOpen(spare.c_str());
    if (!file) return false;
    const bool saved = platform::LockedFileWrite(file, text) &&
                       (platform::FileSwap(spare.c_str(), target.c_str()) ||
                        platform::FileReplace(spare.c_str(), target.c_str()));
    platform::LockedFileClose(file);
    return saved;
}

// Writes the text (text mode) beside the target and renames it over the target: a reader, or a
// process killed at any point, sees the old file or the new one whole. False, with the target
// untouched and the temporary file gone, when any step fails.
bool WriteReplacing(const std::string &target, const std::string &text) {
    if (WriteBySwap(target, text)) return true;
    std::string temp;
    FILE *out = nullptr;
    // A name taken already (another process drew the same tag) is drawn again.
    for (int attempt = 0; attempt < 3 && !out; ++attempt) {
        temp = TemporaryBeside(target, attempt > 0);
        out = platform::StreamCreateNew(temp.c_str(), true);
    }
    if (!out) return false;
    char buffer[kStreamBuffer];
    UseBuffer(out, buffer);
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    const bool closed = std::fclose(out) == 0;  // a full disk often shows only here
    if (written && closed && ReplaceWithRetries(temp, target)) return true;
    platform::FileRemove(temp.c_str());
    return false;
}

// A file that is missing may stand aside for a moment under another process's save.
Loaded LoadFileOrAside(const std::string &path, bool text, std::string *bytes) {
    const Loaded loaded = LoadFile(path, text, bytes);
    return loaded == Loaded::kNotOpened ? LoadFile(AsideOf(path), text, bytes) : loaded;
}

// _session_expiry_check, with the expiry read (0 when none could be).
int ExpiryRead(const char *timeout_path, long long *expiry) {
    *expiry = 0;
    std::string text;
    const Loaded loaded = LoadFileOrAside(timeout_path, true, &text);
    if (loaded != Loaded::kWhole) return loaded == Loaded::kNotOpened ? 0 : -1;
    // A number as scanf's %lld takes it: blanks first, a sign, digits, whatever follows.
    char *end = nullptr;
    *expiry = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str()) {
        *expiry = 0;
        return -1;  // not a number counts as expired
    }
    return *expiry < static_cast<long long>(std::time(nullptr)) ? -1 : 1;
}

// The saved session of the identifier; null when its properties file is missing, unreadable
// or not that session's (a timeout file alone, a file cut by hand): it is not resumed.
ec_entry *LoadSavedSession(const std::string &id) {
    std::string text;
    if (LoadFileOrAside(g_session.properties, false, &text) != Loaded::kWhole) return nullptr;
    ec_entry *list = webreq::ListFromSavedText(text.c_str());
    const char *saved_id = _list_value(list, "_Q_SESSIONID");
    if (saved_id && id == saved_id) return list;
    _list_free(list);
    return nullptr;
}

void ResumeSession(ec_entry *list) {
    g_session.list = list;
    const int connections = _list_int_value(g_session.list, "_Q_CONNECTIONS");
    g_session.list = _list_set(g_session.list, "_Q_CONNECTIONS",
                               NumberText(SaturatedSum(connections, 1)).c_str());
    const int interval = _list_int_value(g_session.list, "_Q_INTERVAL");
    // A properties file without its interval (not one the library wrote) keeps the default.
    ec_SessionSetTimeout(interval > 0 ? interval : kDefaultInterval);
}

bool SaveProperties() {
    std::string text;
    return webreq::ListSavedText(g_session.list, g_session.properties.c_str(), true, &text) &&
           WriteReplacing(g_session.properties, text);
}

long long WriteExpiry(const std::string &path, int interval) {
    const long long expiry = static_cast<long long>(std::time(nullptr)) + interval;
    return WriteReplacing(path, NumberText(expiry) + "\n") ? expiry : 0;
}

// The timeout file is written only when its text changes (a save in the second it already
// holds), and it is still there: a destroy in another process may have removed it meanwhile.
bool SaveExpiry(long long *expiry) {
    const long long due = static_cast<long long>(std::time(nullptr)) + g_session.interval;
    long long size = 0;
    const bool current =
        due == g_session.stored_expiry && platform::FileStatSize(g_session.timeout.c_str(), &size);
    *expiry = current ? due : WriteExpiry(g_session.timeout, g_session.interval);
    return *expiry != 0;
}

[[noreturn]] void SaveFailed(const std::string &path) {
    ecError("ec_SessionSave(): Can not access session repository(%s).", path.c_str());
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
    ec_entry *saved = nullptr;
    if (!is_new) {
        const int expiry = ExpiryRead(g_session.timeout.c_str(), &g_session.stored_expiry);
        if (expiry == 1) saved = LoadSavedSession(id);
        if (!saved) {
            // Expired, or a timeout file without its session: both go, with any leftovers of
            // killed saves (looked for only where a timeout file was found).
            RemoveFiles(expiry != 0);
            id = NewIdentifier();
            ComposePaths(id);
            is_new = true;
            g_session.stored_expiry = 0;
        }
    }
    if (is_new)
        StartNewSession(id);
    else
        ResumeSession(saved);
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
    long long expiry = 0;
    // A resumed session's timeout file is renamed in first: a destroy in another process
    // removes the properties file first, so whatever the interleaving, the properties file comes
    // back after it or both stay gone, never a timeout file alone. A new session's properties go
    // first, so a save killed between the two leaves no timeout file alone either.
    if (g_session.result == 1) {
        if (!SaveProperties()) SaveFailed(g_session.properties);
        if (!SaveExpiry(&expiry)) SaveFailed(g_session.timeout);
    } else {
        if (!SaveExpiry(&expiry)) SaveFailed(g_session.timeout);
        if (!SaveProperties()) SaveFailed(g_session.properties);
    }
    g_session.stored_expiry = expiry;
    g_session.modified = false;
    return static_cast<long>(expiry);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionSave");
}

void _session_close(void) try {
    if (!g_session.open) return;
    if (!g_session.closing) {
        g_session.closing = true;
        ec_SessionSave();
    }
    _list_free(g_session.list);
    g_session = Session();
} catch (const std::exception &) {
    webreq::MemoryFail("_session_close");
}

void ec_SessionDestroy(void) try {
    RequireOpen("ec_SessionDestroy");
    RemoveFiles(true);
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
    return timeout_path ? static_cast<long>(WriteExpiry(timeout_path, interval)) : 0;
} catch (const std::exception &) {
    webreq::MemoryFail("_session_expiry_write");
}

}  // extern "C"
