#include "webreq/error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "platform/platform.h"
#include "webreq/channel.h"
#include "webreq/channel_internal.h"
#include "webreq/environ.h"
#include "webreq/error_internal.h"
#include "webreq/html.h"

namespace {

constexpr size_t kMessageSize = 1024;

const char *g_error_log = nullptr;
const char *g_error_note = nullptr;
int g_content_type_sent = 0;
int g_error_guard = 0;
// A step may have more than one action: the values step frees the request values and ends
// the shared iteration, which lives in the entry list module.
constexpr int kActionsPerStep = 4;
void (*g_cleanup_steps[3][kActionsPerStep])(void) = {};

webreq::ErrorEndHook g_end_hook = nullptr;

[[noreturn]] void EndProcess() {
    // Under the loop, the end of the request hands the page over.
    if (!g_end_hook) {
        webreq::ChannelFlush();
        webreq::ChannelInputDiscard();
    }
    if (g_end_hook) {
        g_error_guard = 0;
        g_end_hook();
    }
    std::exit(1);
}

const char *EnvOr(const char *name, const char *fallback) {
    const char *value = ec_ChannelVar(name);
    return value ? value : fallback;
}

// 1 when the line was logged, 0 without a log, -1 when the log could not be opened.
int LogLine(const char *message) {
    if (!g_error_log) return 0;
    FILE *log = platform::StreamOpen(g_error_log, "at");
    if (!log) return -1;
    const struct tm *now = _local_time();
    const char *host = EnvOr("REMOTE_HOST", EnvOr("REMOTE_ADDR", "null"));
    std::fprintf(log, "%04d/%02d/%02d(%02d:%02d) : '%s' from %s (%s)\n", now ? now->tm_year : 0,
                 now ? now->tm_mon : 0, now ? now->tm_mday : 0, now ? now->tm_hour : 0,
                 now ? now->tm_min : 0, message, host, EnvOr("HTTP_USER_AGENT", "null"));
    std::fclose(log);
    return 1;
}

// The page carries text from the request (a field's name, a file name...), so each place
// escapes what could end it or start markup there, and nothing else: the library's own
// messages (with their quotes and apostrophes) keep their bytes.
std::string TitleEscaped(const std::string &text) {
    std::string out;
    for (char ch : text) {
        if (ch == '&')
            out += "&amp;";
        else if (ch == '<')
            out += "&lt;";
        else
            out += ch;
    }
    return out;
}

// Inside a double-quoted script string: the quote, the backslash, line terminators (also
// U+2028 and U+2029 in UTF-8) and '<', which could close the script element.
std::string ScriptStringEscaped(const std::string &text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        const unsigned char byte = static_cast<unsigned char>(ch);
        if (byte == 0xE2 && i + 2 < text.size() && text[i + 1] == '\x80' &&
            (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
            out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else if (byte < 0x20 || ch == '"' || ch == '\\' || ch == '<') {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

// A page sent before any header says that the request failed, so that servers log it and
// clients and caches do not take the page for the answer.
void StatusIfHeaderUnsent() {
    if (!g_content_type_sent) webreq::ChannelWrite("Status: 500 Internal Server Error\n");
}

// The message is in the body too: a client without scripts, or a page whose policy blocks
// them, still shows it.
void WritePage(const std::string &display) {
    const std::string title = TitleEscaped(display);
    const std::string alert = ScriptStringEscaped(display);
    const std::string body = webreq::HtmlEscaped(display);
    StatusIfHeaderUnsent();
    ec_ContentType("text/html");
    // One write: under FastCGI the page goes out in one record.
    std::string page = "<html>\n<head>\n<title>Error: ";
    page += title;
    page += "</title>\n<script language='JavaScript'>\n  alert(\"";
    page += alert;
    page += "\");\n  history.back();\n</script>\n</head>\n<body>\n<p>Error: ";
    page += body;
    page += "</p>\n</body>\n</html>\n";
    webreq::ChannelWrite(page);
}

// The server's error log gets the message as one line: line breaks in it become blanks.
void WriteServerLogLine(const char *message) {
    char line[kMessageSize + 16] = "Error: ";
    size_t at = std::strlen(line);
    for (const char *p = message; *p && at + 2 < sizeof line; ++p)
        line[at++] = (*p == '\n' || *p == '\r') ? ' ' : *p;
    line[at++] = '\n';
    webreq::ChannelErrorWrite(std::string_view(line, at));
}

// Without memory for the page: the message alone, escaped byte by byte as in the title.
void WritePlainPage(const char *message) {
    StatusIfHeaderUnsent();
    ec_ContentType("text/html");
    webreq::ChannelWrite("<html>\n<body>\nError: ");
    for (const char *at = message; *at; ++at) {
        if (*at == '&')
            webreq::ChannelWrite("&amp;");
        else if (*at == '<')
            webreq::ChannelWrite("&lt;");
        else
            webreq::ChannelWrite(at, 1);
    }
    webreq::ChannelWrite("\n</body>\n</html>\n");
}

}  // namespace

namespace webreq {

void ErrorEndHookSet(ErrorEndHook hook) {
    g_end_hook = hook;
}

void MemoryFail(const char *operation) {
    ecError("%s(): Memory allocation fail.", operation);
}

void NameFormat(char *out, const char *operation, const char *format, va_list args) {
    int length = -1;
    const char *name = nullptr;
    if (format && std::strcmp(format, "%s") == 0) {
        va_list copy;
        va_copy(copy, args);
        name = va_arg(copy, const char *);
        va_end(copy);
    }
    if (name) {
        // The most common format, a name passed as it is: copied without the printf machinery.
        const size_t size = strnlen(name, kFormattedNameSize);
        if (size < kFormattedNameSize) {
            std::memcpy(out, name, size + 1);
            length = static_cast<int>(size);
        }
    } else if (format) {
        length = std::vsnprintf(out, kFormattedNameSize, format, args);
    }
    if (length < 0 || static_cast<size_t>(length) >= kFormattedNameSize)
        ecError("%s(): Message is too long or invalid.", operation);
}

}  // namespace webreq

extern "C" {

void ecError(const char *format, ...) {
    if (g_error_guard) EndProcess();
    g_error_guard = 1;

    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    const int length = format ? std::vsnprintf(message, sizeof message, format, args) : -1;
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= sizeof message) {
        webreq::ChannelWrite("ecError(): Message is too long or invalid.");
        EndProcess();
    }

    const int logged = LogLine(message);
    if (ec_ChannelVar("REMOTE_ADDR")) {
        WriteServerLogLine(message);
        // In its own block: under FastCGI the end below jumps back to the loop, past any
        // destructor still pending here.
        // Out of memory the page goes without its escaping: the message as plain text.
        try {
            std::string display = message;
            if (g_error_note) display += g_error_note;
            if (logged == -1) display += " [ERROR LOGGING FAIL]";
            WritePage(display);
        } catch (const std::bad_alloc &) {
            WritePlainPage(message);
        }
    } else {
        webreq::ChannelPrintf("Error: %s\n", message);
    }
    _cleanup();
    EndProcess();
}

const char *ec_ErrorLogSet(const char *path) {
    return g_error_log = path;
}

const char *ec_ErrorNoteSet(const char *note) {
    return g_error_note = note;
}

int ec_ContentType(const char *type) try {
    if (g_content_type_sent) return 0;
    if (type && std::strpbrk(type, "\r\n"))
        ecError("ec_ContentType(): Content type must not hold CR or LF.");
    const int written = webreq::ChannelPrintf("Content-Type: %s\n\n", type ? type : "");
    g_content_type_sent = 1;
    return written;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ContentType");
}

int ec_ContentTypeSent(void) {
    return g_content_type_sent;
}

void _cleanup(void) try {
    for (auto &step : g_cleanup_steps)
        for (auto action : step)
            if (action) action();
} catch (const std::exception &) {
    webreq::MemoryFail("_cleanup");
}

void ec_Finish(void) try {
    _cleanup();
    webreq::ChannelInputDiscard();
    g_error_log = nullptr;
    g_error_note = nullptr;
    g_content_type_sent = 0;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_Finish");
}

void _cleanup_register(ec_cleanup_step step, void (*action)(void)) try {
    if (step < EC_CLEANUP_VALUES || step > EC_CLEANUP_FIELD_READER || !action) return;
    for (auto &slot : g_cleanup_steps[step]) {
        if (slot == action) return;
        if (!slot) {
            slot = action;
            return;
        }
    }
} catch (const std::exception &) {
    webreq::MemoryFail("_cleanup_register");
}

}  // extern "C"
