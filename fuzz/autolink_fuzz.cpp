// Any text through every conversion mode of _autolink, and through the cookie encoding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "webreq/cookie.h"
#include "webreq/output.h"

namespace {
const int kModes[] = {0, 1, 2, 3, 4, 5, 6, 10, 11, 12, 13, 14, 15, 16, 23, 26, 33, 36};
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const int mode = kModes[data[0] % (sizeof kModes / sizeof kModes[0])];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    _autolink(mode, text.data());

    std::string plain = std::string(reinterpret_cast<const char *>(data + 1), size - 1).c_str();
    char *encoded = _cookie_encode(plain.c_str());
    if (!encoded || std::strlen(encoded) > 3 * plain.size()) std::abort();
    for (const char *p = encoded; *p; ++p)
        if (*p == ' ' || *p == ';' || *p == '=' || *p == '\r' || *p == '\n') std::abort();
    std::free(encoded);
    return 0;
}
