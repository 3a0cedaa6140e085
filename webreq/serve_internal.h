// The FastCGI loop on a given listening socket (ec_Serve uses descriptor 0, where the web
// server hands it), and the steps that bring request state back to process start.
#pragma once

#include "webreq/serve.h"

namespace webreq {

// Accepts requests on listen_fd until accepting fails; ec_Serve's FastCGI result. Without
// FastCGI support, returns 1 at once.
int ServeFastCgi(int listen_fd, ec_request_handler handler);

// true when the library was built with FastCGI support.
bool FastCgiAvailable();

// A reset that ec_Finish does not cover, run after every request by the loop (a module hands
// it over when it first holds such state). At most eight; the same step is kept once.
void RequestResetStepAdd(void (*step)());
// ec_Finish, then every reset step. What the loop runs between two requests.
void RequestReset();

}  // namespace webreq
