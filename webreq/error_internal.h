// For loops that run many requests in one process (the FastCGI loop of webreq/serve.cpp, the
// fuzzers): instead of ending the process, ecError calls the hook, which must not return (it throws
// or jumps away), and the error state is cleared for the next request.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace webreq {

using ErrorEndHook = void (*)();
void ErrorEndHookSet(ErrorEndHook hook);

// The end of a public operation whose allocation failed (a std::bad_alloc from a container):
// ecError with "<operation>(): Memory allocation fail.", as the library's own checks report.
[[noreturn]] void MemoryFail(const char *operation);

// A name that an operation formats printf-style into its 1024-byte buffer (out): a formatting
// error or a name that does not fit ends in ecError with "<operation>(): Message is too long
// or invalid.".
constexpr size_t kFormattedNameSize = 1024;
void NameFormat(char *out, const char *operation, const char *format, va_list args);

}  // namespace webreq
