// The library's side of the request channel (webreq/channel.h): byte and line reads for the
// decoders, bounded formatted writes, and the binding of a FastCGI request by the loop.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string_view>

#if defined(__GNUC__)
#define NUVEX_CHANNEL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define NUVEX_CHANNEL_PRINTF(f, a)
#endif

struct FCGX_Request;

namespace webreq {

// One byte of the request body, or -1 at its end.
int ChannelGetByte();
// One line of the body as fgets reads it: at most size - 1 bytes, up to and including LF,
// NUL-terminated. Null when nothing could be read.
char *ChannelReadLine(char *buffer, int size);
long long ChannelRead(void *buffer, size_t size);
// Copies up to size bytes of the body that have arrived without taking them: the next read
// gives them again. Waits only while none has arrived; the number copied, 0 at the end, -1 on
// failure.
long long ChannelPeek(void *buffer, size_t size);

// A CONTENT_LENGTH text as a count of bytes: blanks and a '+' may come first, then digits
// only. -1 for a null or empty text, anything else, or a count that passes limit on the way.
long long ContentLengthParse(const char *text, long long limit);

// true when every byte was written.
bool ChannelWrite(const void *bytes, size_t size);
inline bool ChannelWrite(std::string_view text) {
    return ChannelWrite(text.data(), text.size());
}

// A text that does not fit its bound: nothing was written.
inline constexpr int kChannelTooLong = -2;
// Formats into at most bound bytes (with the NUL) and writes the text. The length written;
// -1 when formatting or writing fails; kChannelTooLong when the text needs more than bound.
int ChannelPrintfBounded(size_t bound, const char *format, ...) NUVEX_CHANNEL_PRINTF(2, 3);
int ChannelVPrintfBounded(size_t bound, const char *format, va_list args);
// Formats a text of any length (headers whose values the caller gives); length or -1.
int ChannelPrintf(const char *format, ...) NUVEX_CHANNEL_PRINTF(1, 2);

bool ChannelFlush();
// Writes to the server's error log: the request's error stream under FastCGI, standard error
// under CGI (which every server puts in its log). true when every byte was written.
bool ChannelErrorWrite(std::string_view text);
// Binary body and response: the standard streams' mode under CGI; FastCGI streams are always
// binary.
void ChannelBinary();

// The loop binds the request it accepted; null goes back to the CGI form. While a request is
// bound, the C library's stdout writes to it (where the C library allows it).
void ChannelBind(FCGX_Request *request);
// Ends the bound request: flushes, finishes it with the server (FCGX_Finish_r) and unbinds. A
// kept connection is first read to the end of the request's input (a bounded amount; past
// it the connection is closed). Under CGI it discards the unread body and flushes standard
// output.
void ChannelEnd();
// Under CGI, reads and drops what is left of the body CONTENT_LENGTH announced (up to 256 MB;
// nothing without a valid length), so that a server which writes the body to the program
// does not fail the request when the program ends. Nothing under FastCGI.
void ChannelInputDiscard();

}  // namespace webreq
