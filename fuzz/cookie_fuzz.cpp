// The header setters (cookies, their removal, redirection, content type) with any names,
// values, paths and domains, in any order, over several responses. Whatever they are given,
// the header block holds only whole header lines the library meant to write: no CR or LF
// from an argument, no line that a call did not write, no cookie pair that breaks its syntax.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/harness.h"
#include "webreq/cookie.h"
#include "webreq/error.h"
#include "webreq/output.h"

namespace {

bool CookieSafe(unsigned char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
           std::strchr("@./\\-_:", ch) != nullptr;
}

bool IsHex(char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f');
}

// name=value, both in the cookie encoding.
bool PairWellFormed(const std::string &pair) {
    const size_t equals = pair.find('=');
    if (equals == std::string::npos) return false;
    for (size_t i = 0; i < pair.size(); ++i) {
        if (i == equals) continue;
        const unsigned char ch = static_cast<unsigned char>(pair[i]);
        if (ch == '%') {
            if (i + 2 >= pair.size() || !IsHex(pair[i + 1]) || !IsHex(pair[i + 2])) return false;
            i += 2;
        } else if (!CookieSafe(ch)) {
            return false;
        }
    }
    return true;
}

// No domain holds blanks, separators, quotes or control characters.
bool DomainPlausible(const std::string &domain) {
    for (unsigned char ch : domain)
        if (ch <= ' ' || ch >= 0x7F || std::strchr(",;=\"'<>()[]{}\\/@?#", ch)) return false;
    return true;
}

void CheckCookieLine(const std::string &line) {
    const std::string text = line.substr(12);  // after "Set-Cookie: "
    const size_t semicolon = text.find(';');
    if (!PairWellFormed(text.substr(0, semicolon))) fuzz::Fail("cookie pair malformed", line);
    for (size_t at = semicolon; at != std::string::npos;) {
        const size_t next = text.find("; ", at + 1);
        const std::string attribute =
            text.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
        if (attribute.compare(0, 7, "domain=") == 0 && !DomainPlausible(attribute.substr(7)))
            fuzz::Fail("cookie domain holds what no domain holds", line);
        at = next;
    }
}

// The header block: lines the library writes, the number of cookies that were set.
void CheckResponse(const std::string &out, int cookies_set) {
    const size_t end = out.find("\n\n");
    const std::string block = out.substr(0, end == std::string::npos ? out.size() : end + 1);
    int cookie_lines = 0;
    for (size_t at = 0; at < block.size();) {
        size_t feed = block.find('\n', at);
        if (feed == std::string::npos) feed = block.size();
        const std::string line = block.substr(at, feed - at);
        at = feed + 1;
        if (line.find('\r') != std::string::npos) fuzz::Fail("CR in the header block", line);
        if (line.compare(0, 12, "Set-Cookie: ") == 0) {
            ++cookie_lines;
            CheckCookieLine(line);
        } else if (line.compare(0, 10, "Location: ") != 0 &&
                   line.compare(0, 14, "Content-Type: ") != 0 &&
                   // An error page sent before the content type says the request failed.
                   line != "Status: 500 Internal Server Error") {
            fuzz::Fail("a header line no call wrote", line + "\n--- in ---\n" + block);
        }
    }
    if (cookie_lines != cookies_set)
        fuzz::Fail("Set-Cookie lines and cookies set differ",
                   std::to_string(cookie_lines) + " lines, " + std::to_string(cookies_set) +
                       " set\n" + block);
}

int Days(fuzz::Input &input) {
    switch (input.Byte() % 6) {
        case 0:
            return 0;
        case 1:
            return INT_MAX;
        case 2:
            return INT_MIN;
        case 3:
            return input.Int(-30000, 30000);
        default:
            return input.Int(-400, 400);
    }
}

// Null, or a text from the input; a path mostly starts with '/', a domain mostly holds a dot.
const char *Optional(fuzz::Input &input, std::string *store, const char *prefix) {
    const uint8_t pick = input.Byte();
    if (pick % 3 == 0) return nullptr;
    *store = (pick % 3 == 1 ? prefix : "") + input.Text();
    return store->c_str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    fuzz::EndHookInstall();
    setenv("REMOTE_ADDR", "192.0.2.7", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    while (!input.Empty()) {
        int cookies_set = 0;  // in the header block: a redirection ends it
        bool redirected = false;
        fuzz::StdoutCapture capture;
        try {
            bool next_response = false;
            while (!input.Empty() && !next_response) {
                const uint8_t op = input.Byte();
                std::string name, value, path, domain;
                switch (op % 8) {
                    case 0:
                    case 1:
                    case 2: {
                        name = input.Text();
                        value = input.Text();
                        const int days = Days(input);
                        const char *path_arg = Optional(input, &path, "/");
                        const char *domain_arg = Optional(input, &domain, "a.");
                        const int written = ec_CookieSet(name.c_str(), value.c_str(), days,
                                                         path_arg, domain_arg, op & 8);
                        if (written <= 0) fuzz::Fail("ec_CookieSet returned nothing written");
                        if (!redirected) ++cookies_set;
                        break;
                    }
                    case 3: {
                        name = input.Text();
                        const char *path_arg = Optional(input, &path, "/");
                        const char *domain_arg = Optional(input, &domain, "a.");
                        ec_CookieRemove(name.c_str(), path_arg, domain_arg, op & 8);
                        if (!redirected) ++cookies_set;
                        break;
                    }
                    case 4:
                        ec_Redirect(input.Text().c_str());
                        redirected = true;
                        break;
                    case 5:
                    case 6:
                        ec_ContentType(input.Text().c_str());
                        break;
                    default:
                        next_response = true;
                }
            }
        } catch (const fuzz::RequestEnded &) {
        }
        CheckResponse(capture.Take(), cookies_set);
        ec_Finish();
    }
    return 0;
}
