// Any markers and text through the marker-text walk (the four markers come from the first
// bytes of the input), the attribute-text reader and the split outside parentheses.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "util/marker.h"
#include "util/text.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    // Four markers of 1 to 4 bytes, the flags, then the text.
    std::string markers[4];
    size_t at = 0;
    for (auto &marker : markers) {
        if (at >= size) return 0;
        const size_t length = 1 + data[at++] % 4;
        for (size_t i = 0; i < length && at < size; ++i)
            marker += static_cast<char>(data[at++] | 1);
    }
    if (at >= size) return 0;
    const uint8_t flags = data[at++];
    const std::string text =
        std::string(reinterpret_cast<const char *>(data + at), size - at).c_str();

    MarkerSet set;
    MarkerSetInit(&set, markers[0].c_str(), markers[1].c_str(), markers[2].c_str(),
                  markers[3].c_str());
    ec_entry *list = _list_append(nullptr, "a", "");
    char *walked = MarkerTextWalk(text.c_str(), &set, list, list, flags & 1, (flags >> 1) & 1,
                                  (flags >> 2) & 1);
    if (walked && !(flags & 4) && text != walked) std::abort();  // rebuilt exactly
    std::free(walked);
    MarkerSetFree(&set);
    _list_free(list);

    char *normal = AttrTextNormalize(text.c_str());
    ec_entry *attributes = nullptr;
    if (AttrTextParse(normal, &attributes) == 1) _list_free(attributes);
    std::free(normal);

    std::vector<char *> fields(text.size() + 2, nullptr);
    const int count = SplitOutsideParens(text.c_str(), fields.data(), static_cast<char>(flags | 1));
    for (int i = 0; i < count; ++i)
        if (!fields[i][0]) std::abort();  // never an empty field
    FieldsFree(fields.data());
    return 0;
}
