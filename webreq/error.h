/* Fatal errors of the web request library, the response header flag and the end of a
 * request. */
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

/* C99 has no keyword for it: the GNU attribute there, so -std=c99 -pedantic stays quiet. */
#if defined(__has_c_attribute) && !defined(__cplusplus)
#if __has_c_attribute(noreturn)
#define NUVEX_NORETURN [[noreturn]]
#endif
#endif
#if defined(NUVEX_NORETURN)
#elif defined(__cplusplus)
#define NUVEX_NORETURN [[noreturn]]
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define NUVEX_NORETURN _Noreturn
#elif defined(__GNUC__)
#define NUVEX_NORETURN __attribute__((noreturn))
#else
#define NUVEX_NORETURN
#endif

/* Reports the formatted message (at most 1023 characters) and ends the process with exit
 * status 1: appends a line to the error log when one is set, writes an HTML page that alerts
 * the message when REMOTE_ADDR is set (in the title '&' and '<' as references; in the
 * double-quoted script string '"', '\\', '<', control characters, U+2028 and U+2029 as
 * escapes; every other byte as it is), else "Error: <message>\n", and runs the library's
 * clean-up. An over-long or
 * unformattable message writes "ecError(): Message is too long or invalid." only. */
NUVEX_NORETURN void ecError(const char *format, ...) NUVEX_PRINTF(1, 2);

/* The error log file (the caller's string, kept as a pointer; null: no log). Returns path. */
const char *ec_ErrorLogSet(const char *path);
/* Text shown after the message on the HTML error page (kept as a pointer). Returns note. */
const char *ec_ErrorNoteSet(const char *note);
/* Writes "Content-Type: <type>\n\n" once; the characters written, 0 when already sent. A
 * type holding CR or LF ends the process through ecError. */
int ec_ContentType(const char *type);
/* 1 once the content type has been sent, else 0. */
int ec_ContentTypeSent(void);
/* Ends a request: the clean-up, then the error settings and the content-type flag reset. */
void ec_Finish(void);
/* The clean-up: frees the request values, saves and closes the session, closes the field
 * reader, in that order. */
void _cleanup(void);

/* The modules that hold request state hand their clean-up step here when they first hold
 * it; a step may have several actions (each registered once), run in registration order. */
typedef enum ec_cleanup_step {
    EC_CLEANUP_VALUES = 0,
    EC_CLEANUP_SESSION = 1,
    EC_CLEANUP_FIELD_READER = 2
} ec_cleanup_step;
void _cleanup_register(ec_cleanup_step step, void (*action)(void));

#ifdef __cplusplus
}
#endif

#endif
