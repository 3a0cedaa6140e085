#include "util/marker.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "util/text.h"

namespace {

char *NewText(std::string_view text) {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (!copy) return nullptr;
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

bool StartsAt(std::string_view text, size_t at, const char *marker) {
    return text.compare(at, std::strlen(marker), marker) == 0 &&
           at + std::strlen(marker) <= text.size();
}

void ClearPieces(char **pieces) {
    for (int i = 0; i < 3; ++i) {
        std::free(pieces[i]);
        pieces[i] = nullptr;
    }
}

// The end search behind a start found at b (or, without a start, from the start marker's
// length minus one), seeking end with start as the competing marker.
int EndSearch(const char *text, int b, const char *start, const char *end, int lenient) {
    const size_t length = std::strlen(text), start_length = std::strlen(start);
    const size_t from =
        b >= 0 ? static_cast<size_t>(b) + start_length : (start_length > 0 ? start_length - 1 : 0);
    if (from >= length && !(b >= 0 && from == length)) return MARKER_NONE;
    return MarkerFind(text + from, end, start, lenient);
}

// The split's pieces from the two offsets, or its result code. The text may be one of the
// slots (a walk goes on with its after piece): the new pieces are made before the old go.
int Pieces(const char *text, int b, int e, const char *start, const char *end, char **pieces) {
    if (b >= 0 && e >= 0) {
        const std::string_view all(text);
        const size_t inside = static_cast<size_t>(b) + std::strlen(start);
        char *made[3] = {
            NewText(all.substr(0, static_cast<size_t>(b))),
            NewText(all.substr(inside, static_cast<size_t>(e))),
            NewText(all.substr(inside + static_cast<size_t>(e) + std::strlen(end))),
        };
        ClearPieces(pieces);
        for (int i = 0; i < 3; ++i) pieces[i] = made[i];
        return MARKER_FOUND;
    }
    ClearPieces(pieces);
    if (b < -1) return b;
    if (e < -1) return e;
    if (b == -1 && e != -1) return MARKER_COMPETING;
    if (b >= 0 && e == -1) return MARKER_UNCLOSED;
    return MARKER_NONE;
}

struct PieceSlots {
    char *slots[3] = {nullptr, nullptr, nullptr};
    ~PieceSlots() { ClearPieces(slots); }
    std::string Take(int which) { return slots[which] ? slots[which] : ""; }
};

}  // namespace

extern "C" {

int MarkerSetInit(MarkerSet *set, const char *outer_start, const char *outer_end,
                  const char *inner_start, const char *inner_end) {
    if (!set || !outer_start || !outer_end || !inner_start || !inner_end) return 0;
    // An empty marker is found everywhere and ends nothing: a walk over it would never end.
    if (!*outer_start || !*outer_end || !*inner_start || !*inner_end) return 0;
    set->outer_start = NewText(outer_start);
    set->outer_end = NewText(outer_end);
    set->inner_start = NewText(inner_start);
    set->inner_end = NewText(inner_end);
    return 1;
}

void MarkerSetFree(MarkerSet *set) {
    if (!set) return;
    for (char **marker : {&set->outer_start, &set->outer_end, &set->inner_start, &set->inner_end}) {
        std::free(*marker);
        *marker = nullptr;
    }
}

void MarkerPiecesFree(char **pieces) {
    if (pieces) ClearPieces(pieces);
}

int MarkerFind(const char *text, const char *sought, const char *competing, int lenient) {
    if (!text || !sought) return MARKER_NONE;
    const std::string_view all(text);
    for (size_t at = 0; at < all.size(); ++at) {
        if (StartsAt(all, at, sought)) return static_cast<int>(at);
        if (!lenient && competing && StartsAt(all, at, competing)) return MARKER_COMPETING;
    }
    return MARKER_NONE;
}

int OuterMarkerFind(MarkerSet *set, const char *text, int exchange, int lenient) {
    if (!set || !text) return MARKER_NONE;
    const std::string_view all(text);
    for (size_t at = 0; at < all.size(); ++at) {
        if (StartsAt(all, at, set->outer_start)) return static_cast<int>(at);
        if (StartsAt(all, at, set->inner_start)) {
            if (exchange == 1) {
                std::swap(set->outer_start, set->inner_start);
                std::swap(set->outer_end, set->inner_end);
                return static_cast<int>(at);
            }
            if (!lenient) return MARKER_COMPETING;
        } else if (!lenient) {
            if (StartsAt(all, at, set->inner_end)) return MARKER_UNCLOSED;
            if (StartsAt(all, at, set->outer_end)) return MARKER_OUTER_END;
        }
    }
    return MARKER_NONE;
}

int MarkerSplit(const char *text, const char *start, const char *end, char **pieces, int lenient) {
    if (!pieces) return MARKER_NONE;
    if (!text || !start || !end) {
        ClearPieces(pieces);
        return MARKER_NONE;
    }
    const int b = MarkerFind(text, start, end, lenient);
    const int e = b < -1 ? MARKER_NONE : EndSearch(text, b, start, end, lenient);
    return Pieces(text, b, e, start, end, pieces);
}

int OuterMarkerSplit(const char *text, MarkerSet *set, char **pieces, int exchange, int lenient) {
    if (!pieces) return MARKER_NONE;
    if (!text || !set) {
        ClearPieces(pieces);
        return MARKER_NONE;
    }
    const int b = OuterMarkerFind(set, text, exchange, lenient);
    const int e =
        b < -1 ? MARKER_NONE : EndSearch(text, b, set->outer_start, set->outer_end, lenient);
    return Pieces(text, b, e, set->outer_start, set->outer_end, pieces);
}

int InnerMarkerSplit(const char *text, MarkerSet *set, char **pieces, int lenient) {
    if (!set) {
        if (pieces) ClearPieces(pieces);
        return MARKER_NONE;
    }
    return MarkerSplit(text, set->inner_start, set->inner_end, pieces, lenient);
}

int SubstrPos(const char *text, const char *substring) {
    if (!text || !substring) return -1;
    const char *found = std::strstr(text, substring);
    return found ? static_cast<int>(found - text) : -1;
}

int MarkerSplitPlain(const char *text, const char *start, const char *end, char **pieces) {
    if (!pieces) return MARKER_NONE;
    const int a = SubstrPos(text, start);
    const int b = a < 0 ? -1 : SubstrPos(text + a + std::strlen(start), end);
    if (a < 0 || b < 0) {
        ClearPieces(pieces);
        return MARKER_NONE;
    }
    return Pieces(text, a, b, start, end, pieces);
}

const char *EntityValue(const char *name, ec_entry *list1, ec_entry *list2) {
    if (!name) return nullptr;
    const char *value = name[0] == '#' ? _list_value(list2, name + 1) : _list_value(list1, name);
    if (value && !*value) return " ";
    return value;
}

char *EntitiesReplace(const char *text, ec_entry *list1, ec_entry *list2) try {
    if (!text) return nullptr;
    std::string result, work = text;
    PieceSlots pieces;
    while (MarkerSplit(work.c_str(), "&", ";", pieces.slots, 1) == MARKER_FOUND) {
        result += pieces.Take(MARKER_BEFORE);
        const std::string name = pieces.Take(MARKER_INSIDE);
        const char *value = EntityValue(name.c_str(), list1, list2);
        result += value ? std::string(value) : "&" + name + ";";
        work = pieces.Take(MARKER_AFTER);
    }
    result += work;
    return NewText(result);
} catch (...) {
    return nullptr;
}

char *MarkerTextWalk(const char *text, MarkerSet *set, ec_entry *list1, ec_entry *list2,
                     int lenient, int exchange, int entities) try {
    if (!text || !set || !set->outer_start || !set->outer_end || !set->inner_start ||
        !set->inner_end)
        return nullptr;
    // A set filled by hand may still hold an empty marker: such a walk would never end.
    if (!*set->outer_start || !*set->outer_end || !*set->inner_start || !*set->inner_end)
        return nullptr;
    std::string work;
    if (entities == 1) {
        char *replaced = EntitiesReplace(text, list1, list2);
        if (!replaced) return nullptr;  // out of memory
        const std::unique_ptr<char, decltype(&std::free)> owner(replaced, &std::free);
        work = replaced;
    } else {
        work = text;
    }
    std::string result;
    PieceSlots outer, inner;
    int outer_result = OuterMarkerSplit(work.c_str(), set, outer.slots, exchange, lenient);
    int inner_result = MARKER_NONE;
    for (int outer_count = 1; outer_result == MARKER_FOUND; ++outer_count) {
        work = outer.Take(MARKER_AFTER);
        result += outer.Take(MARKER_BEFORE);
        std::string inner_work = outer.Take(MARKER_INSIDE);
        std::printf("strings in Outer Markers %i=\n%s\n\n", outer_count, inner_work.c_str());
        result += set->outer_start;
        inner_result = InnerMarkerSplit(inner_work.c_str(), set, inner.slots, lenient);
        for (int inner_count = 1; inner_result == MARKER_FOUND; ++inner_count) {
            inner_work = inner.Take(MARKER_AFTER);
            result += inner.Take(MARKER_BEFORE);
            const std::string piece = inner.Take(MARKER_INSIDE);
            std::printf("Substring %i=\n%s\n", inner_count, piece.c_str());
            result += set->inner_start + piece + set->inner_end;
            inner_result = InnerMarkerSplit(inner_work.c_str(), set, inner.slots, lenient);
        }
        result += inner_work + set->outer_end;
        outer_result = OuterMarkerSplit(work.c_str(), set, outer.slots, 0, lenient);
    }
    result += work;
    if (outer_result * inner_result != 1) return nullptr;
    return NewText(result);
} catch (...) {
    return nullptr;
}

char *AttrTextNormalize(const char *text) try {
    if (!text) return nullptr;
    const std::string_view in(text);
    std::string out;
    size_t at = in.find_first_not_of(' ');
    if (at == std::string_view::npos) at = in.size();
    for (; at < in.size(); ++at) {
        const char ch = in[at];
        if (ch == '=') {
            out += ch;
            while (at + 1 < in.size() && in[at + 1] == ' ') ++at;
        } else if (ch != ' ') {
            out += ch;
        } else if (at + 1 == in.size() || (in[at + 1] != '=' && in[at + 1] != ' ')) {
            out += ' ';
        }
    }
    if (out.empty() || out.back() != ' ') out += ' ';
    return NewText(out);
} catch (...) {
    return nullptr;
}

int AttrTextParse(const char *text, ec_entry **list) try {
    if (!text || !list) return -1;
    if (std::strlen(text) == 1) return 1;
    *list = nullptr;
    std::string name, value;
    bool in_value = false;
    auto fail = [&](int which) {
        std::printf("Error xml format %d\n", which);
        _list_free(*list);
        *list = nullptr;
        return -1;
    };
    for (const char *p = text; *p; ++p) {
        if (*p == ' ') {
            if (name.empty()) return fail(1);
            *list = _list_append(*list, name.c_str(), value.c_str());
            name.clear();
            value.clear();
            in_value = false;
        } else if (*p == '=') {
            if (in_value) return fail(2);
            in_value = true;
        } else {
            (in_value ? value : name) += *p;
        }
    }
    return 1;
} catch (...) {
    // The pairs read so far go with the failure, as with a format error.
    if (list && std::strlen(text) != 1) {
        _list_free(*list);
        *list = nullptr;
    }
    return -1;
}

int BlankCountTo(const char *text, const char *pattern) {
    if (!text || !pattern) return -1;
    const std::string_view all(text);
    int blanks = 0;
    for (size_t at = 0; at < all.size(); ++at) {
        if (all[at] == ' ') ++blanks;
        if (StartsAt(all, at, pattern)) return blanks;
    }
    return -1;
}

int SplitOutsideParens(const char *text, char **fields, char sep) {
    if (!fields) return 0;
    fields[0] = nullptr;
    if (!text) return 0;
    std::string trimmed = text;
    StrTrim(trimmed.data());
    trimmed.resize(std::strlen(trimmed.c_str()));
    int count = 0;
    size_t at = 0;
    while (at < trimmed.size()) {
        if (trimmed[at] == sep) {
            ++at;
            continue;
        }
        std::string field;
        while (at < trimmed.size() && trimmed[at] != sep) {
            if (trimmed[at] == '(') {
                int depth = 0;
                do {
                    if (trimmed[at] == '(')
                        ++depth;
                    else if (trimmed[at] == ')')
                        --depth;
                    field += trimmed[at++];
                } while (at < trimmed.size() && depth > 0);
            } else {
                field += trimmed[at++];
            }
        }
        char *buffer = static_cast<char *>(std::calloc(trimmed.size() + 1, 1));
        if (!buffer) break;
        std::memcpy(buffer, field.data(), field.size());
        fields[count++] = buffer;
    }
    fields[count] = nullptr;
    return count;
}

int HasSepOutsideParens(const char *text, char sep) {
    if (!text) return 0;
    std::string trimmed = text;
    StrTrim(trimmed.data());
    int depth = 0;
    // The separator test comes first, as in SplitOutsideParens: a "(" separator splits there
    // and opens no group.
    for (const char *p = trimmed.c_str(); *p; ++p) {
        if (*p == sep && depth == 0)
            return 1;
        else if (*p == '(')
            ++depth;
        else if (*p == ')' && depth > 0)
            --depth;
    }
    return 0;
}

char *StrAppendN(char *heap, const char *source, size_t n) {
    const size_t length = heap ? std::strlen(heap) : 0;
    const size_t add = source ? strnlen(source, n) : 0;
    char *grown = static_cast<char *>(std::realloc(heap, length + n + 1));
    if (!grown) return heap;
    if (add) std::memcpy(grown + length, source, add);
    grown[length + add] = '\0';
    return grown;
}

}  // extern "C"
