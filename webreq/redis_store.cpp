#include "webreq/redis_store.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#if NUVEX_REDIS
#include <hiredis/hiredis.h>
#include <signal.h>
#include <sys/time.h>

#include <ctime>
#endif

namespace webreq::redis {

namespace {

constexpr std::string_view kTcpScheme = "redis://";
constexpr std::string_view kUnixScheme = "redis+unix://";
constexpr long kLongestTimeoutMs = 3600L * 1000;

bool StartsWith(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// %XX decoded; false for a '%' without two hexadecimal digits or a decoded NUL.
bool PercentDecoded(std::string_view text, std::string *out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
        *out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// A decimal count within limit, digits only.
bool Count(std::string_view text, long limit, long *value) {
    if (text.empty() || text.size() > 9) return false;
    long number = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
        number = number * 10 + (ch - '0');
    }
    if (number > limit) return false;
    *value = number;
    return true;
}

// Seconds with an optional decimal part, as milliseconds: "2", "0.5", "1.250".
bool Seconds(std::string_view text, long *milliseconds) {
    const size_t dot = text.find('.');
    long whole = 0, fraction = 0;
    const std::string_view whole_text = text.substr(0, dot);
    if (!whole_text.empty() && !Count(whole_text, kLongestTimeoutMs / 1000, &whole)) return false;
    if (dot != std::string_view::npos) {
        std::string_view digits = text.substr(dot + 1);
        if (digits.empty() || digits.size() > 3 || !Count(digits, 999, &fraction)) return false;
        for (size_t i = digits.size(); i < 3; ++i) fraction *= 10;
    } else if (whole_text.empty()) {
        return false;
    }
    *milliseconds = whole * 1000 + fraction;
    return *milliseconds > 0 && *milliseconds <= kLongestTimeoutMs;
}

bool Fail(std::string *reason, std::string text) {
    *reason = std::move(text);
    return false;
}

bool ApplyOption(std::string_view option, Address *address, std::string *reason) {
    const size_t equals = option.find('=');
    if (equals == std::string_view::npos) return Fail(reason, "option without a value");
    const std::string_view name = option.substr(0, equals), value = option.substr(equals + 1);
    long number = 0;
    if (name == "prefix") {
        if (!PercentDecoded(value, &address->prefix)) return Fail(reason, "invalid prefix");
    } else if (name == "db") {
        if (!Count(value, 1 << 20, &number)) return Fail(reason, "invalid db");
        address->db = static_cast<int>(number);
    } else if (name == "connect_timeout") {
        if (!Seconds(value, &address->connect_timeout_ms))
            return Fail(reason, "invalid connect_timeout");
    } else if (name == "timeout") {
        if (!Seconds(value, &address->timeout_ms)) return Fail(reason, "invalid timeout");
    } else {
        return Fail(reason, "unknown option");
    }
    return true;
}

bool ApplyOptions(std::string_view query, Address *address, std::string *reason) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        if (!ApplyOption(query.substr(0, amp), address, reason)) return false;
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return true;
}

// [user]:password before '@'; a user alone (no ':') is refused, since Redis has no use for it.
bool ApplyUserInfo(std::string_view info, Address *address, std::string *reason) {
    const size_t colon = info.find(':');
    if (colon == std::string_view::npos) return Fail(reason, "user without a password");
    if (!PercentDecoded(info.substr(0, colon), &address->user) ||
        !PercentDecoded(info.substr(colon + 1), &address->password))
        return Fail(reason, "invalid user or password");
    return true;
}

bool ApplyHostAndPort(std::string_view authority, Address *address, std::string *reason) {
    std::string_view port_text;
    if (StartsWith(authority, "[")) {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return Fail(reason, "invalid host");
        address->host = std::string(authority.substr(1, close - 1));
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return Fail(reason, "invalid host");
        if (!rest.empty()) port_text = rest.substr(1);
    } else {
        const size_t colon = authority.find(':');
        address->host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) port_text = authority.substr(colon + 1);
    }
    if (address->host.empty()) return Fail(reason, "no host");
    long port = 0;
    if (!port_text.empty()) {
        if (!Count(port_text, 65535, &port) || port == 0) return Fail(reason, "invalid port");
        address->port = static_cast<int>(port);
    }
    return true;
}

}  // namespace

bool IsAddress(const char *repository) {
    if (!repository) return false;
    const std::string_view text(repository);
    return StartsWith(text, kTcpScheme) || StartsWith(text, kUnixScheme);
}

bool AddressParse(std::string_view text, Address *address, std::string *reason) {
    *address = Address();
    const bool unix_socket = StartsWith(text, kUnixScheme);
    if (!unix_socket && !StartsWith(text, kTcpScheme)) return Fail(reason, "not a redis address");
    address->unix_socket = unix_socket;
    text.remove_prefix(unix_socket ? kUnixScheme.size() : kTcpScheme.size());
    const size_t question = text.find('?');
    if (question != std::string_view::npos) {
        if (!ApplyOptions(text.substr(question + 1), address, reason)) return false;
        text = text.substr(0, question);
    }
    // The user information ends at the last '@' before the path (a socket path may hold '@').
    const size_t path_start = unix_socket ? text.find("@/") : text.find('/');
    const size_t at = unix_socket ? path_start : text.substr(0, path_start).rfind('@');
    if (at != std::string_view::npos) {
        if (!ApplyUserInfo(text.substr(0, at), address, reason)) return false;
        text.remove_prefix(at + 1);
    }
    if (unix_socket) {
        if (!StartsWith(text, "/")) return Fail(reason, "the socket path must be absolute");
        if (!PercentDecoded(text, &address->socket_path)) return Fail(reason, "invalid path");
        return true;
    }
    const size_t slash = text.find('/');
    if (!ApplyHostAndPort(text.substr(0, slash), address, reason)) return false;
    if (slash != std::string_view::npos && slash + 1 < text.size()) {
        long db = 0;
        if (!Count(text.substr(slash + 1), 1 << 20, &db)) return Fail(reason, "invalid db");
        address->db = static_cast<int>(db);
    }
    return true;
}

#if NUVEX_REDIS

namespace {

struct ReplyFree {
    void operator()(redisReply *reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

struct Connection {
    redisContext *context = nullptr;
    std::string address;  // the repository text it was made for
};
Connection g_connection;

timeval Milliseconds(long ms) {
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

std::string AddressKey(const Address &address) {
    return (address.unix_socket ? address.socket_path
                                : address.host + ":" + std::to_string(address.port)) +
           "|" + address.user + "|" + address.password + "|" + std::to_string(address.db) + "|" +
           std::to_string(address.connect_timeout_ms) + "|" + std::to_string(address.timeout_ms);
}

std::string ContextError(redisContext *context, const char *fallback) {
    if (context && context->err && context->errstr[0]) return context->errstr;
    return fallback;
}

// A reply of the expected kind, or null with the reason (an error reply gives its text).
Reply Expect(redisReply *raw, int type, std::string *reason) {
    Reply reply(raw);
    if (!reply) {
        *reason = ContextError(g_connection.context, "no reply");
        return nullptr;
    }
    if (reply->type == REDIS_REPLY_ERROR) {
        *reason = std::string("the server answered: ") + (reply->str ? reply->str : "error");
        return nullptr;
    }
    if (reply->type != type) {
        *reason = "the server's reply is not what was asked";
        return nullptr;
    }
    return reply;
}

// Authentication and the database, once per connection.
bool Prepare(redisContext *context, const Address &address, std::string *reason) {
    if (!address.password.empty()) {
        redisReply *raw =
            address.user.empty()
                ? static_cast<redisReply *>(redisCommand(
                      context, "AUTH %b", address.password.data(), address.password.size()))
                : static_cast<redisReply *>(
                      redisCommand(context, "AUTH %b %b", address.user.data(), address.user.size(),
                                   address.password.data(), address.password.size()));
        if (!Expect(raw, REDIS_REPLY_STATUS, reason)) return false;
    }
    if (address.db != 0) {
        if (!Expect(static_cast<redisReply *>(redisCommand(context, "SELECT %d", address.db)),
                    REDIS_REPLY_STATUS, reason))
            return false;
    }
    return true;
}

bool Connect(const Address &address, std::string *reason) {
    Disconnect();
    const timeval connect_timeout = Milliseconds(address.connect_timeout_ms);
    redisContext *context =
        address.unix_socket
            ? redisConnectUnixWithTimeout(address.socket_path.c_str(), connect_timeout)
            : redisConnectWithTimeout(address.host.c_str(), address.port, connect_timeout);
    if (!context || context->err) {
        *reason = std::string("can not connect: ") + ContextError(context, "out of memory");
        if (context) redisFree(context);
        return false;
    }
    g_connection.context = context;
    if (redisSetTimeout(context, Milliseconds(address.timeout_ms)) != REDIS_OK ||
        !Prepare(context, address, reason)) {
        if (reason->empty()) *reason = "can not set the time-out";
        Disconnect();
        return false;
    }
    g_connection.address = AddressKey(address);
    return true;
}

// The kept connection when it is for this address and still sound, else a new one.
bool Connected(const Address &address, bool *kept, std::string *reason) {
    *kept = g_connection.context && !g_connection.context->err &&
            g_connection.address == AddressKey(address);
    return *kept || Connect(address, reason);
}

// A write to a connection the server has closed raises SIGPIPE, which would end a CGI program:
// it is held back while the store talks to the server and dropped if the store caused it.
class PipeSignalHeld {
   public:
    PipeSignalHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
    }
    ~PipeSignalHeld() {
        if (!was_pending_) {
            const timespec none = {0, 0};
            while (sigtimedwait(&pipe_, nullptr, &none) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld &) = delete;
    PipeSignalHeld &operator=(const PipeSignalHeld &) = delete;

   private:
    sigset_t pipe_, saved_;
    bool was_pending_ = false;
};

// Runs a command; a kept connection that fails at the transport (the server restarted, closed
// an idle connection) is made again and the command sent once more. Every command here gives
// the same end state when sent twice: GET, DEL, and SET with NX or XX (see Save).
template <class Send>
redisReply *Run(const Address &address, Send send, std::string *reason) {
    const PipeSignalHeld held;
    bool kept = false;
    if (!Connected(address, &kept, reason)) return nullptr;
    redisReply *reply = send(g_connection.context);
    if (reply || !kept) {
        if (!reply) *reason = ContextError(g_connection.context, "no reply");
        if (!reply) Disconnect();
        return reply;
    }
    if (!Connect(address, reason)) return nullptr;
    reply = send(g_connection.context);
    if (!reply) {
        *reason = ContextError(g_connection.context, "no reply");
        Disconnect();
    }
    return reply;
}

std::string Key(const Address &address, const std::string &id) {
    return address.prefix + id;
}

}  // namespace

bool Available() {
    return true;
}

void Disconnect() {
    if (g_connection.context) redisFree(g_connection.context);
    g_connection = Connection();
}

Outcome Load(const Address &address, const std::string &id, std::string *text,
             std::string *reason) {
    const std::string key = Key(address, id);
    // The server drops a key when its time is up: a key that is there has not expired.
    const Reply reply(Run(
        address,
        [&](redisContext *context) {
            return static_cast<redisReply *>(
                redisCommand(context, "GET %b", key.data(), key.size()));
        },
        reason));
    if (!reply) return Outcome::kFailed;
    if (reply->type == REDIS_REPLY_NIL) return Outcome::kMissing;
    if (reply->type == REDIS_REPLY_ERROR) {
        *reason = std::string("the server answered: ") + (reply->str ? reply->str : "error");
        return Outcome::kFailed;
    }
    if (reply->type != REDIS_REPLY_STRING) {
        *reason = "the server's reply is not what was asked";
        return Outcome::kFailed;
    }
    text->assign(reply->str, reply->len);
    return Outcome::kDone;
}

Outcome Save(const Address &address, const std::string &id, const std::string &text, int ttl,
             bool is_new, std::string *reason) {
    const std::string key = Key(address, id);
    const char *format = is_new ? "SET %b %b EX %d NX" : "SET %b %b EX %d XX";
    redisReply *raw = Run(
        address,
        [&](redisContext *context) {
            return static_cast<redisReply *>(redisCommand(context, format, key.data(), key.size(),
                                                          text.data(), text.size(), ttl));
        },
        reason);
    Reply reply(raw);
    if (!reply) return Outcome::kFailed;
    // A new session's key can only exist already when this SET was sent twice (its first
    // answer lost with the connection): identifiers are 128 random bits.
    if (reply->type == REDIS_REPLY_NIL) return is_new ? Outcome::kDone : Outcome::kMissing;
    if (reply->type == REDIS_REPLY_ERROR) {
        *reason = std::string("the server answered: ") + (reply->str ? reply->str : "error");
        return Outcome::kFailed;
    }
    if (reply->type != REDIS_REPLY_STATUS || std::strcmp(reply->str, "OK") != 0) {
        *reason = "the server's reply is not what was asked";
        return Outcome::kFailed;
    }
    return Outcome::kDone;
}

Outcome Remove(const Address &address, const std::string &id, std::string *reason) {
    const std::string key = Key(address, id);
    const Reply reply = Expect(Run(
                                   address,
                                   [&](redisContext *context) {
                                       return static_cast<redisReply *>(
                                           redisCommand(context, "DEL %b", key.data(), key.size()));
                                   },
                                   reason),
                               REDIS_REPLY_INTEGER, reason);
    if (!reply) return Outcome::kFailed;
    return reply->integer > 0 ? Outcome::kDone : Outcome::kMissing;
}

#else

bool Available() {
    return false;
}

void Disconnect() {}

Outcome Load(const Address &, const std::string &, std::string *, std::string *reason) {
    *reason = "this build has no Redis support";
    return Outcome::kFailed;
}

Outcome Save(const Address &, const std::string &, const std::string &, int, bool,
             std::string *reason) {
    *reason = "this build has no Redis support";
    return Outcome::kFailed;
}

Outcome Remove(const Address &, const std::string &, std::string *reason) {
    *reason = "this build has no Redis support";
    return Outcome::kFailed;
}

#endif

}  // namespace webreq::redis
