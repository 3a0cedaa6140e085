// For loops that run many requests in one process (the FastCGI loop of webreq/serve.cpp, the
// fuzzers): instead of ending the process, ecError calls the hook, which must not return (it throws or jumps away), and the
// error state is cleared for the next request.
#pragma once

namespace webreq {

using ErrorEndHook = void (*)();
void ErrorEndHookSet(ErrorEndHook hook);

}  // namespace webreq
