// Text operations on any bytes: splitting, trimming and URL-decoding stay inside the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first byte picks the separator length, the rest is the text (exact-size copies).
    if (size == 0) return 0;
    const size_t separator_length = 1 + data[0] % 10;
    if (size < 1 + separator_length) return 0;
    const std::string separator(reinterpret_cast<const char *>(data + 1), separator_length);
    if (separator.find('\0') != std::string::npos) return 0;
    std::string text(reinterpret_cast<const char *>(data + 1 + separator_length),
                     size - 1 - separator_length);
    text = text.c_str();  // a C text ends at its first zero byte

    std::vector<char *> fields(text.size() + 2, nullptr);
    const int count = StrSplit(text.c_str(), fields.data(), separator.c_str());
    for (int i = 0; i < count; ++i)
        if (fields[i][0] == '\0' || std::strstr(fields[i], separator.c_str())) std::abort();
    FieldsFree(fields.data());

    std::vector<char> decoded(text.begin(), text.end());
    decoded.push_back('\0');
    UrlDecode(decoded.data());
    if (std::strlen(decoded.data()) > text.size()) std::abort();
    StrTrim(decoded.data());
    return 0;
}
