/* Cookies: "Set-Cookie" headers and the expiry date text. */
#ifndef NUVEX_WEBREQ_COOKIE_H
#define NUVEX_WEBREQ_COOKIE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Writes "Set-Cookie: <name>=<value>[; expires=...][; path=...][; domain=...][; secure]\n";
 * the characters written. Before the content type only; a path must start with '/', a
 * domain hold a '.' and only letters, digits, '-', '_' and '.', and neither may hold a CR,
 * LF or ';' (all through ecError). days 0 makes a session cookie; negative days lie in the
 * past, back to 1901-12-13 20:45:52 GMT (the first moment of a signed 32-bit seconds count);
 * the last date accepted is 31-Dec-9999. */
int ec_CookieSet(const char *name, const char *value, int days, const char *path,
                 const char *domain, int secure);
/* Expires the cookie one day in the past. */
int ec_CookieRemove(const char *name, const char *path, const char *domain, int secure);
/* Letters, digits and "@./\-_:" stay, every other byte becomes "%xx"; new (caller frees). */
char *_cookie_encode(const char *text);
/* Writes "%a, %d-%b-%Y %H:%M:%S GMT" of now plus offset seconds into date (256 bytes at
 * most) and returns that moment in seconds. */
long long _gmt_date(char *date, long long offset);

#ifdef __cplusplus
}
#endif

#endif
