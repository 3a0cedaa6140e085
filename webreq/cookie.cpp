#include "webreq/cookie.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

#include "webreq/channel_internal.h"
#include "webreq/cookie_internal.h"
#include "webreq/error.h"
#include "webreq/error_internal.h"

namespace {

constexpr size_t kCookieSize = 4352;
constexpr size_t kDateSize = 256;
constexpr long long kSecondsPerDay = 86400;
// Cookie dates have four-digit years: 9999-12-31 23:59:59 UTC is the last one. The first is
// the earliest moment of the signed 32-bit seconds count, 1901-12-13 20:45:52 UTC.
constexpr long long kLastDate = 253402300799LL;
constexpr long long kFirstDate = -2147483648LL;

const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsCookieSafe(unsigned char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
           std::strchr("@./\\-_:", ch) != nullptr;
}

// Civil date of a day count since 1970-01-01 (proleptic Gregorian), valid far past 2038.
void CivilFromDays(long long days, int *year, int *month, int *day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = static_cast<int>(yoe + era * 400 + (*month <= 2));
}

void FormatGmtOf(char *out, long long moment) {
    long long days = moment / kSecondsPerDay, seconds = moment % kSecondsPerDay;
    if (seconds < 0) seconds += kSecondsPerDay, --days;
    int year, month, day;
    CivilFromDays(days, &year, &month, &day);
    const int weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    std::snprintf(out, kDateSize, "%s, %02d-%s-%04d %02d:%02d:%02d GMT", kDays[weekday], day,
                  kMonths[month - 1], year, static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
}

// The pages and saves of one second share their date: it is formatted once.
void FormatGmt(char *out, long long moment) {
    thread_local long long formatted_moment = 0;
    thread_local char formatted[kDateSize] = "";
    if (!formatted[0] || moment != formatted_moment) {
        FormatGmtOf(formatted, moment);
        formatted_moment = moment;
    }
    std::memcpy(out, formatted, std::strlen(formatted) + 1);
}

bool HoldsHeaderBreaker(const char *text) {
    return std::strpbrk(text, "\r\n;") != nullptr;
}

// Host names hold letters, digits, '-', '_' and dots; anything else (a comma, a blank, '=')
// would let the domain carry another attribute.
bool IsDomainText(const char *domain) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(domain); *p; ++p)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
              *p == '-' || *p == '_' || *p == '.'))
            return false;
    return true;
}

std::string Encoded(const char *text) {
    char *encoded = _cookie_encode(text);
    std::string out = encoded ? encoded : "";
    std::free(encoded);
    return out;
}

}  // namespace

extern "C" {

char *_cookie_encode(const char *text) try {
    if (!text) return nullptr;
    static const char kHex[] = "0123456789abcdef";
    const size_t length = std::strlen(text);
    char *out = static_cast<char *>(std::malloc(length * 3 + 1));
    if (!out) return nullptr;
    char *w = out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (IsCookieSafe(*p)) {
            *w++ = static_cast<char>(*p);
        } else {
            *w++ = '%';
            *w++ = kHex[*p >> 4];
            *w++ = kHex[*p & 15];
        }
    }
    *w = '\0';
    return out;
} catch (const std::exception &) {
    webreq::MemoryFail("_cookie_encode");
}

long long _gmt_date(char *date, long long offset) try {
    const long long moment = static_cast<long long>(std::time(nullptr)) + offset;
    if (date) FormatGmt(date, moment);
    return moment;
} catch (const std::exception &) {
    webreq::MemoryFail("_gmt_date");
}

}  // extern "C"

namespace {

// The header text of ec_CookieSet (without "Set-Cookie: "), every check passed.
std::string ComposedCookie(const char *name, const char *value, int days, const char *path,
                           const char *domain, int secure) {
    if (ec_ContentTypeSent())
        ecError("ec_CookieSet(): must be called before ec_ContentType() and any stream out.");
    std::string cookie = Encoded(name ? name : "") + "=" + Encoded(value ? value : "");
    if (days != 0) {
        const long long offset = static_cast<long long>(days) * kSecondsPerDay;
        const long long moment = static_cast<long long>(std::time(nullptr)) + offset;
        if (moment < kFirstDate || moment > kLastDate)
            ecError("ec_CookieSet(): Days value (%d) gives no valid date.", days);
        char date[kDateSize];
        _gmt_date(date, offset);
        cookie += "; expires=";
        cookie += date;
    }
    if (path) {
        if (path[0] != '/')
            ecError("ec_CookieSet(): Path string(%s) must start with '/' character.", path);
        if (HoldsHeaderBreaker(path))
            ecError("ec_CookieSet(): Path string must not hold CR, LF or ';'.");
        cookie += "; path=";
        cookie += path;
    }
    if (domain) {
        if (std::strchr(domain, '/') || !std::strchr(domain, '.'))
            ecError("ec_CookieSet(): Invalid domain name(%s).", domain);
        if (HoldsHeaderBreaker(domain))
            ecError("ec_CookieSet(): Domain name must not hold CR, LF or ';'.");
        if (!IsDomainText(domain)) ecError("ec_CookieSet(): Invalid domain name(%s).", domain);
        cookie += "; domain=";
        cookie += domain;
    }
    if (secure) cookie += "; secure";
    return cookie;
}

int WriteCookie(const std::string &cookie) {
    if (cookie.size() >= kCookieSize) ecError("ec_CookieSet(): Cookie is too long.");
    return webreq::ChannelPrintf("Set-Cookie: %s\n", cookie.c_str());
}

}  // namespace

namespace webreq {

int CookieSetHttpOnly(const char *name, const char *value, int days, const char *path,
                      const char *domain, int secure) {
    return WriteCookie(ComposedCookie(name, value, days, path, domain, secure) +
                       "; HttpOnly; SameSite=Lax");
}

}  // namespace webreq

extern "C" {

int ec_CookieSet(const char *name, const char *value, int days, const char *path,
                 const char *domain, int secure) try {
    return WriteCookie(ComposedCookie(name, value, days, path, domain, secure));
} catch (const std::exception &) {
    webreq::MemoryFail("ec_CookieSet");
}

int ec_CookieRemove(const char *name, const char *path, const char *domain, int secure) try {
    if (ec_ContentTypeSent())
        ecError("ec_CookieRemove(): must be called before ec_ContentType() and any stream out.");
    return ec_CookieSet(name, "", -1, path, domain, secure);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_CookieRemove");
}

}  // extern "C"
