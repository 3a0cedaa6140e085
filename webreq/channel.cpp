#include "webreq/channel.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "platform/platform.h"
#include "util/fileio.h"
#include "webreq/channel_internal.h"
#include "webreq/error_internal.h"

#if NUVEX_FASTCGI
#include <fcgiapp.h>
#endif

namespace {

// The FastCGI request being served; null under CGI and between requests.
FCGX_Request *g_request = nullptr;
// Bytes of the request's body the page has taken.
long long g_body_taken = 0;
// The most of an announced body that is read and dropped at the request's end; the largest
// body the library itself accepts.
constexpr long long kDiscardLimit = 256LL * 1024 * 1024;

// CONTENT_LENGTH as a count: 0 when absent or empty (no length announced), -1 when it is not
// a plain count.
long long AnnouncedLength(const char *text) {
    return text && *text ? webreq::ContentLengthParse(text, 1LL << 48) : 0;
}

#if NUVEX_FASTCGI
// libfcgi counts in int: larger transfers go in pieces.
constexpr size_t kPieceLimit = 1u << 30;
// How far past the announced body a request's input is read to find its end.
constexpr int kInputEndSlack = 4096;
// The most of a request's input left unread that is dropped to keep its connection.
constexpr long long kKeptDrainLimit = 4LL * 1024 * 1024;
// Whether bytes of the bound request's response have gone to the server before its end.
bool g_output_handed = false;

// The request's parameter as FCGX_GetParam finds it ("NAME=value" entries), with the first
// byte compared before the rest: several are looked up on every request.
const char *ParamOf(const char *name, char **envp) {
    if (!envp) return nullptr;
    const size_t length = std::strlen(name);
    for (char **entry = envp; *entry; ++entry) {
        const char *text = *entry;
        if (length && text[0] != name[0]) continue;
        if (std::strncmp(text, name, length) == 0 && text[length] == '=') return text + length + 1;
    }
    return nullptr;
}

// The body's announced length: 0 when absent; -1 when empty (the body's end is known only at
// the end of the input) or not a plain count.
long long AnnouncedBody(FCGX_Request *request) {
    const char *text = ParamOf("CONTENT_LENGTH", request->envp);
    return text ? webreq::ContentLengthParse(text, 1LL << 48) : 0;
}

// libfcgi's close waits for the server to hang up before the worker may close, so that nothing
// the server sent is left unread: a close over unread bytes can reset the connection and cost
// the server the response. When the page took all the body that was announced, only the end
// of the input is still to come, and the server sends it right behind the body. It is read
// here; the worker may then close at once and be free for the next request sooner. True when
// the end was read; otherwise (body left unread, an unclear length, more than announced)
// libfcgi's own close stays.
bool InputReadToItsEnd(FCGX_Request *request) {
    if (FCGX_HasSeenEOF(request->in) == EOF) return FCGX_GetError(request->in) == 0;
    const long long announced = AnnouncedBody(request);
    if (announced < 0 || g_body_taken < announced) return false;
    for (int i = 0; i <= kInputEndSlack; ++i) {
        if (FCGX_GetChar(request->in) == EOF)
            return FCGX_GetError(request->in) == 0 && FCGX_HasSeenEOF(request->in) == EOF;
    }
    return false;
}

// A kept connection carries the server's next request right behind this one: what the page
// left of the input is read and dropped so that the next request's records come next. True
// when the input's end was reached within the bound.
bool InputDrained(FCGX_Request *request) {
    char block[16384];
    long long dropped = 0;
    while (dropped <= kKeptDrainLimit) {
        const int got = FCGX_GetStr(block, static_cast<int>(sizeof block), request->in);
        if (got <= 0) break;
        dropped += got;
    }
    return FCGX_GetError(request->in) == 0 && FCGX_HasSeenEOF(request->in) == EOF;
}

#if defined(__GLIBC__)
// While a request is bound, the C library's stdout is a stream whose bytes go to the request,
// unbuffered so that they stay in order with the library's own writes.
FILE *g_process_stdout = nullptr;
// Made once and kept for the worker's life: it holds no state of a request of its own.
FILE *g_request_stdout = nullptr;

ssize_t WriteToRequest(void *, const char *bytes, size_t size) {
    return webreq::ChannelWrite(bytes, size) ? static_cast<ssize_t>(size) : -1;
}

// A page may close stdout to say its output is done: the stream is gone then, and the next
// request gets a new one.
int ClosedByPage(void *) {
    g_request_stdout = nullptr;
    return 0;
}

void StdoutToRequest() {
    if (g_process_stdout) return;
    if (!g_request_stdout) {
        cookie_io_functions_t io{};
        io.write = WriteToRequest;
        io.close = ClosedByPage;
        g_request_stdout = fopencookie(nullptr, "w", io);
        if (!g_request_stdout) return;  // stray writes then go where they went before
    }
    // Nothing of the last request stays: its failed write, or a buffer a page gave the stream.
    std::clearerr(g_request_stdout);
    std::setvbuf(g_request_stdout, nullptr, _IONBF, 0);
    std::fflush(stdout);
    g_process_stdout = stdout;
    stdout = g_request_stdout;
}

void StdoutToProcess() {
    if (!g_process_stdout) return;
    if (g_request_stdout) std::fflush(g_request_stdout);
    stdout = g_process_stdout;
    g_process_stdout = nullptr;
}
#else
void StdoutToRequest() {}
void StdoutToProcess() {}
#endif
#endif

}  // namespace

namespace webreq {

long long ContentLengthParse(const char *text, long long limit) {
    if (!text) return -1;
    while (*text == ' ' || *text == '\t') ++text;
    if (*text == '+') ++text;
    if (!*text) return -1;
    long long length = 0;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9' || length > limit) return -1;
        length = length * 10 + (*text - '0');
    }
    return length;
}

int ChannelGetByte() {
#if NUVEX_FASTCGI
    if (g_request) {
        const int ch = FCGX_GetChar(g_request->in);
        if (ch == EOF) return -1;
        ++g_body_taken;
        return ch;
    }
#endif
#ifdef _WIN32
    const int ch = _getc_nolock(stdin);
#else
    const int ch = getc_unlocked(stdin);
#endif
    if (ch == EOF) return -1;
    ++g_body_taken;
    return ch;
}

char *ChannelReadLine(char *buffer, int size) {
    if (!buffer || size <= 0) return nullptr;
#if NUVEX_FASTCGI
    if (g_request) {
        if (size == 1) {
            buffer[0] = '\0';
            return nullptr;
        }
        char *line = FCGX_GetLine(buffer, size, g_request->in);
        if (line) g_body_taken += static_cast<long long>(std::strlen(line));
        return line;
    }
#endif
    char *line = StreamReadLine(buffer, size, stdin);
    if (line) g_body_taken += static_cast<long long>(std::strlen(line));
    return line;
}

long long ChannelRead(void *buffer, size_t size) {
    if (!buffer) return -1;
#if NUVEX_FASTCGI
    if (g_request) {
        char *out = static_cast<char *>(buffer);
        size_t got = 0;
        while (got < size) {
            const size_t piece = size - got < kPieceLimit ? size - got : kPieceLimit;
            const int read = FCGX_GetStr(out + got, static_cast<int>(piece), g_request->in);
            if (read <= 0) break;
            got += static_cast<size_t>(read);
        }
        g_body_taken += static_cast<long long>(got);
        if (got == 0 && FCGX_GetError(g_request->in) != 0) return -1;
        return static_cast<long long>(got);
    }
#endif
    const size_t got = std::fread(buffer, 1, size, stdin);
    g_body_taken += static_cast<long long>(got);
    if (got == 0 && std::ferror(stdin)) return -1;
    return static_cast<long long>(got);
}

long long ChannelPeek(void *buffer, size_t size) {
    if (!buffer) return -1;
    if (size == 0) return 0;
#if NUVEX_FASTCGI
    if (g_request) {
        // libfcgi's stream shows the bytes of the record it holds.
        FCGX_Stream *in = g_request->in;
        if (in->rdNext == in->stop) {
            const int ch = FCGX_GetChar(in);
            if (ch == EOF) return FCGX_GetError(in) != 0 ? -1 : 0;
            FCGX_UnGetChar(ch, in);
        }
        const size_t there = static_cast<size_t>(in->stop - in->rdNext);
        const size_t count = there < size ? there : size;
        std::memcpy(buffer, in->rdNext, count);
        return static_cast<long long>(count);
    }
#endif
    const char *ahead = nullptr;
    size_t there = platform::StreamReadAhead(stdin, &ahead);
    if (there == 0) {
        // One read of what has arrived; the byte goes back, in front of the rest.
        const int ch = std::getc(stdin);
        if (ch == EOF) return std::ferror(stdin) ? -1 : 0;
        std::ungetc(ch, stdin);
        there = platform::StreamReadAhead(stdin, &ahead);
        if (there == 0) {  // a stream that does not show what it holds: that one byte
            *static_cast<char *>(buffer) = static_cast<char>(ch);
            return 1;
        }
    }
    const size_t count = there < size ? there : size;
    std::memcpy(buffer, ahead, count);
    return static_cast<long long>(count);
}

bool ChannelWrite(const void *bytes, size_t size) {
    if (size == 0) return true;
    if (!bytes) return false;
#if NUVEX_FASTCGI
    if (g_request) {
        const char *in = static_cast<const char *>(bytes);
        while (size > 0) {
            const size_t piece = size < kPieceLimit ? size : kPieceLimit;
            // libfcgi sends its buffer when a write does not fit it.
            if (g_request->out->stop - g_request->out->wrNext < static_cast<long long>(piece))
                g_output_handed = true;
            if (FCGX_PutStr(in, static_cast<int>(piece), g_request->out) != static_cast<int>(piece))
                return false;
            in += piece;
            size -= piece;
        }
        return true;
    }
#endif
    return std::fwrite(bytes, 1, size, stdout) == size;
}

int ChannelVPrintfBounded(size_t bound, const char *format, va_list args) {
    if (!format || bound == 0 || bound > INT_MAX) return -1;
    // malloc, not a container: ecError writes through here and must not throw.
    char *text = static_cast<char *>(std::malloc(bound));
    if (!text) return -1;
    const int length = std::vsnprintf(text, bound, format, args);
    int result = length;
    if (length < 0)
        result = -1;
    else if (static_cast<size_t>(length) >= bound)
        result = kChannelTooLong;
    else if (!ChannelWrite(text, static_cast<size_t>(length)))
        result = -1;
    std::free(text);
    return result;
}

int ChannelPrintfBounded(size_t bound, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int length = ChannelVPrintfBounded(bound, format, args);
    va_end(args);
    return length;
}

int ChannelPrintf(const char *format, ...) {
    if (!format) return -1;
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    char small[512];
    int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    char *large = nullptr;
    if (length >= 0 && static_cast<size_t>(length) >= sizeof small) {
        large = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
        length = large ? std::vsnprintf(large, static_cast<size_t>(length) + 1, format, again) : -1;
    }
    va_end(again);
    const bool written =
        length >= 0 && ChannelWrite(large ? large : small, static_cast<size_t>(length));
    std::free(large);
    return written ? length : -1;
}

bool ChannelFlush() {
#if NUVEX_FASTCGI
    if (g_request) {
        g_output_handed = true;
        return FCGX_FFlush(g_request->out) == 0;
    }
#endif
    return std::fflush(stdout) == 0;
}

bool ChannelErrorWrite(std::string_view text) {
#if NUVEX_FASTCGI
    if (g_request) {
        return FCGX_PutStr(text.data(), static_cast<int>(text.size()), g_request->err) ==
                   static_cast<int>(text.size()) &&
               FCGX_FFlush(g_request->err) == 0;
    }
#endif
    return std::fwrite(text.data(), 1, text.size(), stderr) == text.size() &&
           std::fflush(stderr) == 0;
}

void ChannelBinary() {
    if (!g_request) platform::StdStreamsBinary();
}

void ChannelBind(FCGX_Request *request) {
#if NUVEX_FASTCGI
    if (!request) StdoutToProcess();
    g_request = request;
    if (request) {
        request->detached = 0;  // libfcgi keeps the flag for as long as the connection
        StdoutToRequest();
    }
#else
    g_request = request;
#endif
    g_body_taken = 0;
#if NUVEX_FASTCGI
    g_output_handed = false;
#endif
}

void ChannelInputDiscard() {
    if (g_request) return;
    const long long announced = AnnouncedLength(platform::EnvGet("CONTENT_LENGTH"));
    if (announced <= g_body_taken || announced > kDiscardLimit) return;
    char block[16384];
    while (g_body_taken < announced) {
        const long long left = announced - g_body_taken;
        const size_t want =
            left < static_cast<long long>(sizeof block) ? static_cast<size_t>(left) : sizeof block;
        if (ChannelRead(block, want) <= 0) return;
    }
}

void ChannelEnd() {
#if NUVEX_FASTCGI
    if (g_request) {
        StdoutToProcess();
        if (g_request->keepConnection) {
            // Never detached: that would end the connection without the waiting close. Unread
            // input is dropped before the response ends, while the server still sends it: it
            // sends the next request only after the end. A server that already has part of the
            // response may have stopped sending the body (nginx does): the response is then
            // ended first and the connection closed with libfcgi's waiting close.
            if (g_output_handed) {
                if (!InputReadToItsEnd(g_request)) {
                    FCGX_FClose(g_request->err);
                    FCGX_FClose(g_request->out);
                    g_request->keepConnection = 0;
                }
            } else if (!InputDrained(g_request)) {
                g_request->keepConnection = 0;
            }
        } else if (InputReadToItsEnd(g_request)) {
            FCGX_Detach(g_request);  // closed without waiting
        }
        FCGX_Finish_r(g_request);
        g_request = nullptr;
        g_body_taken = 0;
        g_output_handed = false;
        return;
    }
#endif
    ChannelInputDiscard();
    std::fflush(stdout);
}

}  // namespace webreq

extern "C" {

const char *ec_ChannelVar(const char *name) {
    if (!name) return nullptr;
#if NUVEX_FASTCGI
    if (g_request) return ParamOf(name, g_request->envp);
#endif
    return platform::EnvGet(name);
}

long ec_ChannelRead(void *buffer, size_t size) try {
    return static_cast<long>(webreq::ChannelRead(buffer, size));
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ChannelRead");
}

long ec_ChannelWrite(const void *bytes, size_t size) try {
    if (size > static_cast<size_t>(LONG_MAX)) return -1;
    return webreq::ChannelWrite(bytes, size) ? static_cast<long>(size) : -1;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ChannelWrite");
}

int ec_ChannelFlush(void) try {
    return webreq::ChannelFlush() ? 0 : -1;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ChannelFlush");
}

int ec_ChannelIsFastCgi(void) {
    return g_request ? 1 : 0;
}

}  // extern "C"
