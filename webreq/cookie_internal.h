// Cookie setting for the library's own cookies.
#pragma once

namespace webreq {

// ec_CookieSet with "; HttpOnly; SameSite=Lax" after the other attributes: the cookie is
// hidden from scripts and not sent with requests that other sites start (a session cookie).
int CookieSetHttpOnly(const char *name, const char *value, int days, const char *path,
                      const char *domain, int secure);

}  // namespace webreq
