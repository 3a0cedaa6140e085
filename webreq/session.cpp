#include "webreq/session.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "webreq/cookie.h"
#include "webreq/cookie_internal.h"
#include "webreq/entrylist.h"
#include "webreq/entrylist_save.h"
#include "webreq/error.h"
#include "webreq/error_internal.h"
#include "webreq/session_store.h"
#include "webreq/values.h"

namespace {

using webreq::sessionstore::Outcome;

constexpr size_t kNameSize = 1024;
constexpr int kDefaultInterval = 1800;
constexpr char kDefaultRepository[] = "C:\\Windows\\Temp";
constexpr char kReserved[] = "_Q_";
constexpr size_t kIdLength = 32;

struct Session {
    bool open = false;
    int result = 0;
    bool modified = false;
    // Whether the session is in the store: a new session is stored by its first save.
    bool stored = false;
    // Set while _session_close saves: an error in that save closes without saving again, so
    // the clean-up it runs does not fail a second time.
    bool closing = false;
    ec_entry *list = nullptr;
    int interval = kDefaultInterval;
    std::string repository, id;
};
Session g_session;

// Back to a closed session; the room of its strings is kept for the worker's next request.
void SessionReset() {
    std::string repository = std::move(g_session.repository), id = std::move(g_session.id);
    g_session = Session();
    repository.clear();
    id.clear();
    g_session.repository = std::move(repository);
    g_session.id = std::move(id);
}

void CloseOnCleanup() {
    _session_close();
}

void RequireOpen(const char *operation) {
    if (!g_session.open) ecError("%s(): ec_Session() must be called before.", operation);
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

// Under a FastCGI worker ecError jumps back to the loop past the frames in between, so their
// destructors never run: a failure's text is copied here, and its strings go before ecError.
using Failure = char[kNameSize];
void Copy(const std::string &text, Failure &failure) {
    std::snprintf(failure, sizeof failure, "%s", text.c_str());
}

// false with the repository as shown and the reason when it cannot be used.
bool StoreOpened(const std::string &repository, Failure &shown, Failure &reason) {
    std::string why;
    if (webreq::sessionstore::Open(repository, &why)) return true;
    Copy(webreq::sessionstore::Shown(repository), shown);
    Copy(why, reason);
    return false;
}

// A repository that cannot be used is found before the session's cookie is sent.
void OpenStore(const std::string &repository) {
    Failure shown, reason;
    if (StoreOpened(repository, shown, reason)) return;
    if (std::strcmp(reason, "path too long") == 0)
        ecError("ec_Session(): The session repository path is too long.");
    ecError("ec_Session(): Can not access session repository(%s): %s.", shown, reason);
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

// The saved session of the identifier; null when its text is not that session's (a file cut
// by hand, a key written by someone else): it is not resumed.
ec_entry *OwnSession(const std::string &id, const std::string &text) {
    ec_entry *list = webreq::ListFromSavedText(text.c_str());
    const char *saved_id = _list_value(list, "_Q_SESSIONID");
    if (saved_id && id == saved_id) return list;
    _list_free(list);
    return nullptr;
}

// The saved session of the identifier into saved, null when there is none to resume; false
// with the store's reason when it could not be asked.
bool LoadSaved(const std::string &id, ec_entry **saved, Failure &failure) {
    std::string text, reason;
    const Outcome loaded = webreq::sessionstore::Load(id, &text, &reason);
    *saved = nullptr;
    if (loaded == Outcome::kFailed) {
        Copy(reason, failure);
        return false;
    }
    if (loaded == Outcome::kDone) {
        *saved = OwnSession(id, text);
        if (!*saved) webreq::sessionstore::Remove(id);
    }
    return true;
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

// Stores the session's text; kFailed with where it could not be stored (the file, or the
// address and the server's reason).
Outcome SaveText(long long *expiry, Failure &where) {
    const std::string name = webreq::sessionstore::TextName(g_session.id);
    std::string text;
    if (!webreq::ListSavedText(g_session.list, name.c_str(), true, &text)) {
        Copy(name, where);
        return Outcome::kFailed;
    }
    std::string failed_at;
    const Outcome saved = webreq::sessionstore::Save(g_session.id, text, g_session.interval,
                                                     !g_session.stored, expiry, &failed_at);
    if (saved == Outcome::kFailed) Copy(failed_at, where);
    return saved;
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

    OpenStore(g_session.repository);

    // Only the cookie names the session: a link carrying QSESSIONID in its query or a form
    // field must not plant a session of someone else's choosing.
    const char *sent = ec_ValueCookie("QSESSIONID");
    bool is_new = !IsPlainIdentifier(sent);
    // Kept in the session, not in this frame, which an error may leave without its destructors.
    if (is_new)
        g_session.id = NewIdentifier();
    else
        g_session.id.assign(sent);
    ec_entry *saved = nullptr;
    if (!is_new) {
        Failure failure;
        if (!LoadSaved(g_session.id, &saved, failure))
            ecError("ec_Session(): Can not access session repository(%s).", failure);
        if (!saved) {
            g_session.id = NewIdentifier();
            is_new = true;
        }
    }
    g_session.stored = !is_new;
    if (is_new)
        StartNewSession(g_session.id);
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
    webreq::NameFormat(value, "ec_SessionAdd", format, args);
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
    webreq::NameFormat(name, "ec_SessionRemove", format, args);
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
    webreq::NameFormat(name, "ec_SessionValue", format, args);
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
    webreq::NameFormat(name, "ec_SessionValue", format, args);
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
    Failure where;
    const Outcome saved = SaveText(&expiry, where);
    if (saved == Outcome::kFailed)
        ecError("ec_SessionSave(): Can not access session repository(%s).", where);
    g_session.modified = false;
    // Destroyed by another request meanwhile: it stays so, and nothing was written.
    if (saved == Outcome::kMissing) return 0;
    g_session.stored = true;
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
    SessionReset();
    webreq::sessionstore::Close();
} catch (const std::exception &) {
    webreq::MemoryFail("_session_close");
}

void ec_SessionDestroy(void) try {
    RequireOpen("ec_SessionDestroy");
    webreq::sessionstore::Remove(g_session.id);
    _list_free(g_session.list);
    g_session.list = nullptr;
    _session_close();
    if (!ec_ContentTypeSent()) ec_CookieRemove("QSESSIONID", "/", nullptr, 0);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_SessionDestroy");
}

int _session_expiry_check(const char *timeout_path) try {
    long long expiry = 0;
    return webreq::sessionstore::ExpiryFileCheck(timeout_path, &expiry);
} catch (const std::exception &) {
    webreq::MemoryFail("_session_expiry_check");
}

long _session_expiry_write(const char *timeout_path, int interval) try {
    return timeout_path
               ? static_cast<long>(webreq::sessionstore::ExpiryFileWrite(timeout_path, interval))
               : 0;
} catch (const std::exception &) {
    webreq::MemoryFail("_session_expiry_write");
}

}  // extern "C"
