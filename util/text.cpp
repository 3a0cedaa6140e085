#include "util/text.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "webreq/error.h"

namespace {

bool IsTrimSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

int SignedDigitValue(char ch) {
    const signed char c = static_cast<signed char>(ch);
    return c < 65 ? c - 48 : (c & 0xDF) - 55;
}

char *NewCopy(std::string_view text, size_t capacity) {
    if (capacity < text.size() + 1) capacity = text.size() + 1;
    char *copy = static_cast<char *>(std::malloc(capacity));
    if (!copy) return nullptr;
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

bool MultiplyFits(size_t a, size_t b, size_t *product) {
    if (a != 0 && b > std::numeric_limits<size_t>::max() / a) return false;
    *product = a * b;
    return true;
}

std::string TranslateCharacters(std::string_view text, std::string_view set,
                                std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        if (set.find(ch) != std::string_view::npos)
            out += replacement;
        else
            out += ch;
    }
    return out;
}

std::string ReplaceSubstrings(std::string_view text, std::string_view search,
                              std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t hit = text.find(search, pos);
        if (hit == std::string_view::npos) hit = text.size();
        out.append(text.substr(pos, hit - pos));
        if (hit == text.size()) break;
        out.append(replacement);
        pos = hit + search.size();
    }
    return out;
}

// Room the new buffer is promised to have: the longest result the mode can give.
bool ResultCapacity(char kind, size_t text_len, size_t search_len, size_t repl_len,
                    size_t *capacity) {
    size_t product = 0;
    if (kind == 't') {
        if (!MultiplyFits(text_len, repl_len, &product)) return false;
    } else {
        if (repl_len <= search_len) {
            product = text_len;
        } else if (!MultiplyFits(text_len / search_len, repl_len, &product)) {
            return false;
        } else {
            product += text_len % search_len;
        }
    }
    if (product < text_len) product = text_len;
    if (product == std::numeric_limits<size_t>::max()) return false;
    *capacity = product + 1;
    return true;
}

bool IsKnownMode(const char *mode) {
    return mode && std::strlen(mode) == 2 && (mode[0] == 't' || mode[0] == 's') &&
           (mode[1] == 'n' || mode[1] == 'r');
}

}  // namespace

extern "C" {

int StrSplit(const char *text, char **fields, const char *separator) {
    if (!fields) return 0;
    fields[0] = nullptr;
    if (!text || !separator || !*separator) return 0;

    char *copy = NewCopy(text, 0);
    if (!copy) return 0;
    StrTrim(copy);
    const std::string_view trimmed(copy);
    const std::string_view sep(separator);

    int count = 0;
    size_t cursor = 0;
    while (cursor < trimmed.size()) {
        if (trimmed.compare(cursor, sep.size(), sep) == 0) {
            cursor += sep.size();
            continue;
        }
        size_t end = trimmed.find(sep, cursor);
        if (end == std::string_view::npos) end = trimmed.size();
        char *field = NewCopy(trimmed.substr(cursor, end - cursor), trimmed.size() + 1);
        if (!field) break;
        fields[count++] = field;
        cursor = end;
    }
    fields[count] = nullptr;
    std::free(copy);
    return count;
}

char *StrTrim(char *text) {
    if (!text) return nullptr;
    size_t start = 0;
    while (IsTrimSpace(text[start])) ++start;
    size_t length = std::strlen(text + start);
    std::memmove(text, text + start, length + 1);
    while (length > 0 && IsTrimSpace(text[length - 1])) --length;
    text[length] = '\0';
    return text;
}

char *UrlDecode(char *text) {
    if (!text) return nullptr;
    // Bytes before the first escape or '+' stay where they are.
    const char *first = std::strpbrk(text, "%+");
    if (!first) return text;
    size_t r = static_cast<size_t>(first - text), w = r;
    while (text[r] != '\0') {
        if (text[r] == '%' && text[r + 1] != '\0' && text[r + 2] != '\0') {
            text[w] = static_cast<char>(HexPairValue(text[r + 1], text[r + 2]));
            r += 3;
        } else if (text[r] == '+') {
            text[w] = ' ';
            r += 1;
        } else {
            text[w] = text[r];
            r += 1;
        }
        ++w;
    }
    text[w] = '\0';
    return text;
}

unsigned char HexPairValue(char high, char low) {
    return static_cast<unsigned char>(SignedDigitValue(high) * 16 + SignedDigitValue(low));
}

char *ec_StrReplace(const char *mode, char *text, const char *search, const char *replacement) try {
    if (!IsKnownMode(mode)) ecError("ec_StrReplace(): Unknown mode \"%s\".", mode ? mode : "");
    if (!text || !search || !replacement) ecError("ec_StrReplace(): Missing text.");
    if (mode[0] == 's' && !*search) ecError("ec_StrReplace(): Empty search text.");

    const std::string result = mode[0] == 't' ? TranslateCharacters(text, search, replacement)
                                              : ReplaceSubstrings(text, search, replacement);
    size_t capacity = 0;
    if (!ResultCapacity(mode[0], std::strlen(text), std::strlen(search), std::strlen(replacement),
                        &capacity))
        capacity = result.size() + 1;
    if (mode[1] == 'n') return NewCopy(result, capacity);
    std::memcpy(text, result.c_str(), result.size() + 1);
    return text;
} catch (...) {
    return nullptr;
}

void StrSwap(char *a, char *b) {
    if (!a || !b || a == b) return;
    char *saved = NewCopy(a, 0);
    if (!saved) return;
    std::strcpy(a, b);
    std::strcpy(b, saved);
    std::free(saved);
}

void FieldsFree(char **fields) {
    if (!fields) return;
    for (size_t i = 0; fields[i]; ++i) {
        std::free(fields[i]);
        fields[i] = nullptr;
    }
}

}  // extern "C"
