/* Sessions: name/value pairs kept for one client across requests in a repository folder,
 * found again through the cookie "QSESSIONID". */
#ifndef NUVEX_WEBREQ_SESSION_H
#define NUVEX_WEBREQ_SESSION_H

#include "webreq/error.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the session of the request, or a new one (repository null: "C:\Windows\Temp").
 * 1 for a new session, 0 for a resumed one. The identifier is taken from the cookie
 * QSESSIONID only (never from a query or form field), and only when it is 32 lowercase
 * hexadecimal digits; new identifiers come from the secure random source and are sent in a
 * cookie marked HttpOnly and SameSite=Lax. "_Q_CONNECTIONS" stops at INT_MAX. */
int ec_Session(const char *repository);
char *ec_SessionAdd(const char *name, const char *format, ...) NUVEX_PRINTF(2, 3);
int ec_SessionAddInt(const char *name, int value);
/* Adds increment to the name's integer value and returns the sum; a sum beyond the range of
 * int is held at INT_MAX or INT_MIN (saturation), never wrapped. */
int ec_SessionIncrease(const char *name, int increment);
void ec_SessionRemove(const char *format, ...) NUVEX_PRINTF(1, 2);
char *ec_SessionValue(const char *format, ...) NUVEX_PRINTF(1, 2);
int ec_SessioniValue(const char *format, ...) NUVEX_PRINTF(1, 2);
int ec_SessionPrint(void);
char *ec_SessionGetID(void);
long ec_SessionGetCreated(void);
int ec_SessionSetTimeout(int seconds);
/* Writes the session (to a temporary file renamed into place, or in place where the rename
 * is refused because another request has the file open); the new expiry moment, or 0 when
 * nothing was written. Values are saved with '%', '+', CR, LF and leading and trailing blanks
 * as %XX, so the next request reads back exactly the bytes stored; files written without
 * this encoding load as before (URL-decoded). */
long ec_SessionSave(void);
void ec_SessionDestroy(void);
void _session_close(void);
/* 0 when the file cannot be read, -1 when the stored moment has passed, else 1. */
int _session_expiry_check(const char *timeout_path);
/* Writes now + interval; that moment, or 0 when the file cannot be written. */
long _session_expiry_write(const char *timeout_path, int interval);

#ifdef __cplusplus
}
#endif

#endif
