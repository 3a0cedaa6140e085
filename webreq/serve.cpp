#include "webreq/serve.h"

#include <csetjmp>
#include <csignal>
#include <exception>

#include "webreq/channel_internal.h"
#include "webreq/error.h"
#include "webreq/error_internal.h"
#include "webreq/serve_internal.h"

#if NUVEX_FASTCGI
#include <fcgiapp.h>
#endif

namespace {

constexpr int kResetSteps = 8;
void (*g_reset_steps[kResetSteps])() = {};

#if NUVEX_FASTCGI
// Where ecError's end lands while a request is served: back in the loop, which ends that
// request and takes the next. Frames between the jump and ecError own no resources that the
// loop relies on; the request's state is brought back by RequestReset.
std::jmp_buf g_request_end;

[[noreturn]] void EndRequest() {
    std::longjmp(g_request_end, 1);
}

// The handler, then the reset. false when the reset itself ended in an error: the library's
// state is then unknown and the worker must not take another request.
bool RunOneRequest(ec_request_handler handler) {
    // The end of the request (the session's save) belongs to it: its error ends the request.
    if (setjmp(g_request_end) == 0) {
        handler();
        ec_Finish();
    }
    if (setjmp(g_request_end) == 0) {
        webreq::RequestReset();
        return true;
    }
    return false;
}

// libfcgi's test of descriptor 0 initialises the library, which takes SIGPIPE, SIGTERM and
// SIGUSR1 for its worker's orderly end; a CGI process keeps what it was started with.
bool StartedAsFastCgiWorker() {
    constexpr int kTaken[] = {SIGPIPE, SIGTERM, SIGUSR1};
    void (*saved[3])(int);
    for (int i = 0; i < 3; ++i) {
        saved[i] = std::signal(kTaken[i], SIG_DFL);
        std::signal(kTaken[i], saved[i]);
    }
    if (!FCGX_IsCGI()) return true;
    for (int i = 0; i < 3; ++i)
        if (saved[i] != SIG_ERR) std::signal(kTaken[i], saved[i]);
    return false;
}
#endif

}  // namespace

namespace webreq {

void RequestResetStepAdd(void (*step)()) {
    if (!step) return;
    for (auto &slot : g_reset_steps) {
        if (slot == step) return;
        if (!slot) {
            slot = step;
            return;
        }
    }
}

// Out of memory here, the worker ends through ecError: in the loop the reset then counts as failed.
void RequestReset() try {
    ec_Finish();
    for (auto step : g_reset_steps)
        if (step) step();
} catch (const std::exception &) {
    MemoryFail("ec_Serve");
}

#if NUVEX_FASTCGI

bool FastCgiAvailable() {
    return true;
}

int ServeFastCgi(int listen_fd, ec_request_handler handler) {
    if (!handler || FCGX_Init() != 0) return 1;
    FCGX_Request request;
    if (FCGX_InitRequest(&request, listen_fd, 0) != 0) return 1;
    ErrorEndHookSet(EndRequest);
    int status = 0;
    while (FCGX_Accept_r(&request) >= 0) {
        ChannelBind(&request);
        const bool reset = RunOneRequest(handler);
        ChannelEnd();
        if (!reset) {
            status = 1;
            break;
        }
    }
    ErrorEndHookSet(nullptr);
    FCGX_Free(&request, 1);
    return status;
}

#else

bool FastCgiAvailable() {
    return false;
}

int ServeFastCgi(int, ec_request_handler) {
    return 1;
}

#endif

}  // namespace webreq

extern "C" {

int ec_Serve(ec_request_handler handler) try {
    if (!handler) return 1;
#if NUVEX_FASTCGI
    if (StartedAsFastCgiWorker()) return webreq::ServeFastCgi(0, handler);
#endif
    const int status = handler();
    webreq::RequestReset();
    webreq::ChannelEnd();
    return status;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_Serve");
}

}  // extern "C"
