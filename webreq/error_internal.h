// For loops that run many requests in one process (the FastCGI loop of webreq/serve.cpp, the
// fuzzers): instead of ending the process, ecError calls the hook, which must not return (it throws
// or jumps away), and the error state is cleared for the next request.
#pragma once

namespace webreq {

using ErrorEndHook = void (*)();
void ErrorEndHookSet(ErrorEndHook hook);

// The end of a public operation whose allocation failed (a std::bad_alloc from a container):
// ecError with "<operation>(): Memory allocation fail.", as the library's own checks report.
[[noreturn]] void MemoryFail(const char *operation);

}  // namespace webreq
