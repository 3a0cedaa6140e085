/* Fatal errors of the web request library. */
#ifndef NUVEX_WEBREQ_ERROR_H
#define NUVEX_WEBREQ_ERROR_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define NUVEX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define NUVEX_PRINTF(f, a)
#endif

#if defined(__cplusplus)
#define NUVEX_NORETURN [[noreturn]]
#else
#define NUVEX_NORETURN _Noreturn
#endif

/* Formats the message (at most 1023 characters), writes "Error: <message>\n" to standard
 * output and ends the process with exit status 1. An over-long or unformattable message
 * writes "ecError(): Message is too long or invalid." instead. Never returns. */
NUVEX_NORETURN void ecError(const char *format, ...) NUVEX_PRINTF(1, 2);

#ifdef __cplusplus
}
#endif

#endif
