/* The loop entry: one program runs unchanged as a CGI program (one request per process) or as
 * a FastCGI worker (request after request in one process). */
#ifndef NUVEX_WEBREQ_SERVE_H
#define NUVEX_WEBREQ_SERVE_H

#ifdef __cplusplus
extern "C" {
#endif

/* The program's work for one request: read values, write the response. */
typedef int (*ec_request_handler)(void);

/* Serves with handler and returns the process's exit status.
 * Run by a web server as a CGI program (standard input is no FastCGI listening socket, or the
 * library was built without FastCGI): the handler runs once, then ec_Finish; the result is the
 * handler's, and ecError ends the process as usual.
 * Run as a FastCGI worker: accepts request after request; each runs the handler (its result is
 * not used), then ec_Finish, so nothing of one request is seen by the next. An ecError inside
 * the handler, or in that ec_Finish (a session that cannot be saved), writes its page to that
 * request, runs the clean-up and ends that request only; the worker goes on with the next. Returns
 * 0 when the server stops the worker, 1 when the library could not be brought back after a request
 * (an error during its clean-up). Call it once per process. As when a CGI process ends in ecError,
 * what the handler holds at that moment (heap blocks, C++ objects) is not released: keep it in the
 * library's state (values, session) or release it before calling what may fail. */
int ec_Serve(ec_request_handler handler);

#ifdef __cplusplus
}
#endif

#endif
