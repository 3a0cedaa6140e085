#include "webreq/error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t kMessageSize = 1024;
int g_error_guard = 0;

[[noreturn]] void EndProcess() {
    std::exit(1);
}

}  // namespace

extern "C" void ecError(const char *format, ...) {
    if (g_error_guard) EndProcess();
    g_error_guard = 1;

    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    const int length = format ? std::vsnprintf(message, sizeof message, format, args) : -1;
    va_end(args);
    if (length < 0 || static_cast<size_t>(length) >= sizeof message) {
        std::fputs("ecError(): Message is too long or invalid.", stdout);
        EndProcess();
    }
    std::printf("Error: %s\n", message);
    EndProcess();
}
