#include "webreq/entrylist.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "util/fileio.h"
#include "util/text.h"
#include "webreq/channel_internal.h"
#include "webreq/cookie.h"
#include "webreq/entrylist_internal.h"
#include "webreq/entrylist_save.h"
#include "webreq/error.h"
#include "webreq/error_internal.h"
#include "webreq/html.h"

namespace {

constexpr size_t kNameSize = 1024;
// The most bytes of an old value's block that _list_set leaves unused when it reuses it.
constexpr size_t kReuseSlack = 16;

// Moves the ends of [*begin, *end) past the blanks that StrTrim takes off.
void TrimSpan(const char **begin, const char **end) {
    auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; };
    while (*begin < *end && blank(**begin)) ++*begin;
    while (*end > *begin && blank((*end)[-1])) --*end;
}

// Iteration shared by ec_fValueFirst/ec_fValueNext (and the request values).
ec_entry *g_cursor = nullptr;
char g_iteration_name[kNameSize];

char *Copy(const char *text) {
    const size_t length = std::strlen(text);
    char *copy = static_cast<char *>(std::malloc(length + 1));
    if (!copy) ecError("ec_sDecoder(): Memory allocation fail.");
    std::memcpy(copy, text, length + 1);
    return copy;
}

char *CopyOf(std::string_view text, char *block) {
    std::memcpy(block, text.data(), text.size());
    block[text.size()] = '\0';
    return block;
}

// All three blocks before any is kept: ecError's end leaves none of them behind.
ec_entry *NewEntry(std::string_view name, std::string_view value) {
    auto *entry = static_cast<ec_entry *>(std::malloc(sizeof(ec_entry)));
    char *name_copy = static_cast<char *>(std::malloc(name.size() + 1));
    char *value_copy = static_cast<char *>(std::malloc(value.size() + 1));
    if (!entry || !name_copy || !value_copy) {
        std::free(entry);
        std::free(name_copy);
        std::free(value_copy);
        ecError("ec_sDecoder(): Memory allocation fail.");
    }
    entry->name = CopyOf(name, name_copy);
    entry->value = CopyOf(value, value_copy);
    entry->next = nullptr;
    return entry;
}

ec_entry *NewEntry(const char *name, const char *value) {
    return NewEntry(std::string_view(name), std::string_view(value ? value : ""));
}

void FreeEntry(ec_entry *entry) {
    std::free(entry->name);
    std::free(entry->value);
    std::free(entry);
}

ec_entry *Last(ec_entry *list) {
    while (list && list->next) list = list->next;
    return list;
}

ec_entry *FindName(ec_entry *list, const char *name) {
    for (; list; list = list->next)
        if (std::strcmp(list->name, name) == 0) return list;
    return nullptr;
}

bool WriteEntries(FILE *out, ec_entry *list) {
    for (; list; list = list->next)
        if (std::fprintf(out, "%s = %s\n", list->name, list->value) < 0) return false;
    return true;
}

std::string RightAligned(const char *text) {
    const size_t length = std::strlen(text);
    return std::string(length < 10 ? 10 - length : 0, ' ') + text;
}

// "%10s%10s" of name and value, compared byte by byte over its whole length.
std::string SortKey(const ec_entry *entry) {
    return RightAligned(entry->name) + RightAligned(entry->value);
}

}  // namespace

namespace webreq {

ListBuilder::ListBuilder(ec_entry *list) : head_(list), tail_(Last(list)) {}

void ListBuilder::AppendOwned(char *name, char *value) {
    auto *entry = static_cast<ec_entry *>(std::malloc(sizeof(ec_entry)));
    if (!entry) ecError("ec_sDecoder(): Memory allocation fail.");
    entry->name = name;
    entry->value = value;
    entry->next = nullptr;
    if (tail_)
        tail_->next = entry;
    else
        head_ = entry;
    tail_ = entry;
}

void ListBuilder::AppendCopy(std::string_view name, std::string_view value) {
    ec_entry *entry = NewEntry(name, value);
    if (tail_)
        tail_->next = entry;
    else
        head_ = entry;
    tail_ = entry;
}

void ListBuilder::AppendCopy(const char *name, const char *value) {
    AppendCopy(std::string_view(name), std::string_view(value ? value : ""));
}

char *IterationName() {
    return g_iteration_name;
}

void IterationCursorSet(ec_entry *entry) {
    g_cursor = entry;
}

void IterationReset() {
    g_cursor = nullptr;
    g_iteration_name[0] = '\0';
}

namespace {

// Appends the value as ListSaveAs writes it with encode_values.
void AppendSavedValue(std::string *out, const char *value) {
    const size_t length = std::strlen(value);
    size_t first = 0, end = length;
    while (first < length && (value[first] == ' ' || value[first] == '\t')) ++first;
    while (end > first && (value[end - 1] == ' ' || value[end - 1] == '\t')) --end;
    static const char kHex[] = "0123456789ABCDEF";
    size_t plain_from = 0;  // bytes kept as they are go in runs
    for (size_t i = 0; i < length; ++i) {
        const unsigned char ch = static_cast<unsigned char>(value[i]);
        const bool edge_blank = i < first || i >= end;
        if (!edge_blank && ch != '%' && ch != '+' && ch != '\r' && ch != '\n') continue;
        out->append(value + plain_from, i - plain_from);
        const char escaped[3] = {'%', kHex[ch >> 4], kHex[ch & 15]};
        out->append(escaped, sizeof escaped);
        plain_from = i + 1;
    }
    out->append(value + plain_from, length - plain_from);
}

// The text's size when no byte needs escaping: enough room in one allocation most often.
size_t PlainSavedSize(const ec_entry *list, size_t header) {
    size_t size = header;
    for (; list; list = list->next) size += std::strlen(list->name) + std::strlen(list->value) + 4;
    return size;
}

}  // namespace

bool ListSavedText(ec_entry *list, const char *named, bool encode_values, std::string *text) {
    if (!named || !text) return false;
    static const char kFirst[] = "# automatically generated by ec_Decoder at ";
    const size_t named_length = std::strlen(named);
    if (named_length + 3 >= kNameSize) return false;  // "# <named>\n" must fit a line
    char date[256];
    _gmt_date(date, 0);
    text->clear();
    text->reserve(PlainSavedSize(list, sizeof kFirst + std::strlen(date) + named_length + 5));
    *text += kFirst;
    *text += date;
    *text += ".\n# ";
    text->append(named, named_length);
    *text += '\n';
    for (ec_entry *entry = list; entry; entry = entry->next) {
        *text += entry->name;
        *text += " = ";
        if (encode_values)
            AppendSavedValue(text, entry->value);
        else
            *text += entry->value;
        *text += '\n';
    }
    return true;
}

ec_entry *ListFromSavedText(const char *text) {
    ec_entry *list = ec_sDecoder(text);
    for (ec_entry *entry = list; entry; entry = entry->next) UrlDecode(entry->value);
    return list;
}

int ListSaveAs(ec_entry *list, const char *file, const char *named, bool encode_values) {
    if (!file) return 0;
    std::string text;
    if (!ListSavedText(list, named, encode_values, &text)) return 0;
    FILE *out = platform::StreamOpen(file, "wt");
    if (!out) return 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    return (std::fclose(out) == 0 && written) ? 1 : 0;
}

}  // namespace webreq

extern "C" {

char *_cut_token(char *text, char stop) try {
    if (!text) return nullptr;
    const char *at = std::strchr(text, stop);
    const size_t length = at && stop ? static_cast<size_t>(at - text) : std::strlen(text);
    char *token = static_cast<char *>(std::malloc(length + 1));
    if (!token) ecError("ec_sDecoder(): Memory allocation fail.");
    std::memcpy(token, text, length);
    token[length] = '\0';
    const size_t rest = (at && stop) ? length + 1 : length;
    std::memmove(text, text + rest, std::strlen(text + rest) + 1);
    return token;
} catch (const std::exception &) {
    webreq::MemoryFail("_cut_token");
}

ec_entry *_list_append(ec_entry *list, const char *name, const char *value) try {
    if (!name) return list;
    ec_entry *entry = NewEntry(name, value);
    if (!list) return entry;
    Last(list)->next = entry;
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_append");
}

ec_entry *_list_remove(ec_entry *list, const char *name) try {
    if (!name || !*name) return list;
    ec_entry **link = &list;
    while (*link) {
        if (std::strcmp((*link)->name, name) == 0) {
            ec_entry *gone = *link;
            *link = gone->next;
            if (g_cursor == gone) g_cursor = gone->next;
            FreeEntry(gone);
        } else {
            link = &(*link)->next;
        }
    }
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_remove");
}

char *_list_value(ec_entry *list, const char *name) try {
    if (!name) return nullptr;
    ec_entry *entry = FindName(list, name);
    return entry ? entry->value : nullptr;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_value");
}

int _list_int_value(ec_entry *list, const char *name) try {
    const char *value = _list_value(list, name);
    if (!value) return 0;
    const long number = std::strtol(value, nullptr, 10);
    return number > INT_MAX ? INT_MAX : number < INT_MIN ? INT_MIN : static_cast<int>(number);
} catch (const std::exception &) {
    webreq::MemoryFail("_list_int_value");
}

int _list_position(ec_entry *list, const char *name) try {
    if (!name) return 0;
    int position = 1;
    for (; list; list = list->next, ++position)
        if (std::strcmp(list->name, name) == 0) return position;
    return 0;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_position");
}

int _list_print(ec_entry *list) try {
    ec_ContentType("text/html");
    int count = 0;
    for (; list; list = list->next, ++count)
        webreq::ChannelPrintf("'%s' = '%s'<br>\n", webreq::HtmlEscaped(list->name).c_str(),
                              webreq::HtmlEscaped(list->value).c_str());
    return count;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_print");
}

void _list_free(ec_entry *list) try {
    while (list) {
        ec_entry *next = list->next;
        if (g_cursor == list) g_cursor = nullptr;
        FreeEntry(list);
        list = next;
    }
} catch (const std::exception &) {
    webreq::MemoryFail("_list_free");
}

int _list_save(ec_entry *list, const char *path) try {
    return webreq::ListSaveAs(list, path, path, false);
} catch (const std::exception &) {
    webreq::MemoryFail("_list_save");
}

ec_entry *_list_load(const char *path) try {
    ec_entry *list = ec_fDecoder(path);
    for (ec_entry *entry = list; entry; entry = entry->next) UrlDecode(entry->value);
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_load");
}

ec_entry *ec_sDecoder(const char *text) try {
    if (!text) return nullptr;
    // Each name and value is copied from its place in the text, trimmed.
    webreq::ListBuilder list(nullptr);
    const char *cursor = text;
    const char *const text_end = text + std::strlen(text);
    while (cursor <= text_end) {
        const char *line_end = static_cast<const char *>(
            std::memchr(cursor, '\n', static_cast<size_t>(text_end - cursor)));
        if (!line_end) line_end = text_end;
        const char *name = cursor, *end = line_end;
        cursor = line_end + 1;
        TrimSpan(&name, &end);
        if (name == end || *name == '#') continue;
        const char *equals =
            static_cast<const char *>(std::memchr(name, '=', static_cast<size_t>(end - name)));
        const char *name_end = equals ? equals : end;
        const char *value = equals ? equals + 1 : end;
        TrimSpan(&name, &name_end);
        TrimSpan(&value, &end);
        list.AppendCopy(std::string_view(name, static_cast<size_t>(name_end - name)),
                        std::string_view(value, static_cast<size_t>(end - value)));
    }
    return list.head();
} catch (const std::exception &) {
    webreq::MemoryFail("ec_sDecoder");
}

ec_entry *ec_fDecoder(const char *path) try {
    long length = 0;
    // Owned, so that an end thrown back by the end hook (the tests') frees it.
    const std::unique_ptr<char, void (*)(void *)> text(FileLoad(path, &length), std::free);
    if (!text) return nullptr;
    return ec_sDecoder(text.get());
} catch (const std::exception &) {
    webreq::MemoryFail("ec_fDecoder");
}

char *ec_sValue(ec_entry *list, const char *format, ...) try {
    char name[kNameSize];
    va_list args;
    va_start(args, format);
    webreq::NameFormat(name, "ec_sValue", format, args);
    va_end(args);
    return _list_value(list, name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_sValue");
}

int ec_siValue(ec_entry *list, const char *format, ...) try {
    char name[kNameSize];
    va_list args;
    va_start(args, format);
    webreq::NameFormat(name, "ec_siValue", format, args);
    va_end(args);
    return _list_int_value(list, name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_siValue");
}

char *ec_fValueFirst(ec_entry *list, const char *format, ...) try {
    va_list args;
    va_start(args, format);
    webreq::NameFormat(g_iteration_name, "ec_fValueFirst", format, args);
    va_end(args);
    if (!list) return nullptr;
    _cleanup_register(EC_CLEANUP_VALUES, webreq::IterationReset);  // the request ends it
    g_cursor = list;
    return ec_fValueNext();
} catch (const std::exception &) {
    webreq::MemoryFail("ec_fValueFirst");
}

char *ec_fValueNext(void) try {
    for (; g_cursor; g_cursor = g_cursor->next) {
        if (std::strcmp(g_cursor->name, g_iteration_name) == 0) {
            char *value = g_cursor->value;
            g_cursor = g_cursor->next;
            return value;
        }
    }
    g_iteration_name[0] = '\0';
    return nullptr;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_fValueNext");
}

int ec_sPrint(ec_entry *list) try { return _list_print(list); } catch (const std::exception &) {
    webreq::MemoryFail("ec_sPrint");
}

void ec_sFree(ec_entry *list) try { _list_free(list); } catch (const std::exception &) {
    webreq::MemoryFail("ec_sFree");
}

ec_entry *_list_remove_pair(ec_entry *list, const char *name, const char *value) try {
    if (!list || !name || !value || !*name) return list;
    ec_entry **link = &list;
    while (*link) {
        ec_entry *entry = *link;
        if (std::strcmp(entry->name, name) == 0 && std::strcmp(entry->value, value) == 0) {
            *link = entry->next;
            if (g_cursor == entry) g_cursor = entry->next;
            FreeEntry(entry);
        } else {
            link = &entry->next;
        }
    }
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_remove_pair");
}

ec_entry *_list_find_pair(ec_entry *list, const char *name, const char *value) try {
    if (!name || !value) return nullptr;
    for (; list; list = list->next)
        if (std::strcmp(list->name, name) == 0 && std::strcmp(list->value, value) == 0) return list;
    return nullptr;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_find_pair");
}

ec_entry *_list_concat(ec_entry *a, ec_entry *b) try {
    if (!a) return b;
    Last(a)->next = b;
    return a;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_concat");
}

ec_entry *_list_rename(ec_entry *list, const char *old_name, const char *new_name) try {
    if (!list || !old_name || !new_name) return list;
    for (ec_entry *entry = list; entry; entry = entry->next) {
        if (std::strcmp(entry->name, old_name) != 0) continue;
        char *renamed = Copy(new_name);
        std::free(entry->name);
        entry->name = renamed;
    }
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_rename");
}

ec_entry *_list_set(ec_entry *list, const char *name, const char *value) try {
    if (!name) return list;
    if (!list) return NewEntry(name, value);
    ec_entry *entry = FindName(list, name);
    if (!entry) return _list_append(list, name, value);
    const char *text = value ? value : "";
    const size_t length = std::strlen(text), held = std::strlen(entry->value);
    // A value that fits the old one's block, and wastes little of it, is written there (a count
    // set on every request most often does).
    if (length <= held && held - length <= kReuseSlack) {
        std::memmove(entry->value, text, length + 1);
        return list;
    }
    char *replaced = Copy(text);
    std::free(entry->value);
    entry->value = replaced;
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_set");
}

ec_entry *_list_filter(ec_entry *list, const char *text) try {
    if (!text) return nullptr;
    webreq::ListBuilder out(nullptr);  // appends at its tail: linear in the list's length
    for (; list; list = list->next)
        if (std::strstr(list->name, text)) out.AppendCopy(list->name, list->value);
    return out.head();
} catch (const std::exception &) {
    webreq::MemoryFail("_list_filter");
}

char *_list_name_of_value_at(ec_entry *list, const char *value, int *position) try {
    int place = 1;
    for (; list; list = list->next, ++place) {
        if (value && std::strcmp(list->value, value) == 0) {
            if (position) *position = place;
            return list->name;
        }
    }
    if (position) *position = place;
    return nullptr;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_name_of_value_at");
}

char *_list_name_of_value(ec_entry *list, const char *value) try {
    return _list_name_of_value_at(list, value, nullptr);
} catch (const std::exception &) {
    webreq::MemoryFail("_list_name_of_value");
}

ec_entry *_list_copy(ec_entry *list) try {
    ec_entry *out = nullptr, *tail = nullptr;
    for (; list; list = list->next) {
        ec_entry *entry = NewEntry(list->name, list->value);
        if (tail)
            tail->next = entry;
        else
            out = entry;
        tail = entry;
    }
    return out;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_copy");
}

ec_entry *_list_insert_after(ec_entry *list, const char *name, ec_entry *entry) try {
    if (!entry) return list;
    ec_entry *place = name ? FindName(list, name) : nullptr;
    if (!place) {
        entry->next = nullptr;
        return _list_concat(list, entry);
    }
    entry->next = place->next;
    place->next = entry;
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_insert_after");
}

ec_entry *_list_insert_after_run(ec_entry *list, const char *name, const ec_entry *entry) try {
    if (!entry) return list;
    ec_entry *copy = NewEntry(entry->name, entry->value);
    ec_entry *place = name ? FindName(list, name) : nullptr;
    if (!place) return _list_concat(list, copy);
    while (place->next && std::strcmp(place->next->name, name) == 0) place = place->next;
    copy->next = place->next;
    place->next = copy;
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_insert_after_run");
}

ec_entry *_list_insert_before(ec_entry *list, const char *name, const ec_entry *entry) try {
    if (!entry || !name) return list;
    ec_entry **link = &list;
    while (*link && std::strcmp((*link)->name, name) != 0) link = &(*link)->next;
    if (!*link) return list;
    ec_entry *copy = NewEntry(entry->name, entry->value);
    copy->next = *link;
    *link = copy;
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_insert_before");
}

ec_entry *_list_splice_after_value(ec_entry *list, const char *value, ec_entry *b) try {
    if (!value || !*value) return list;
    ec_entry *place = list;
    while (place && std::strcmp(place->value, value) != 0) place = place->next;
    if (!place || !b) return list;
    ec_entry *rest = place->next;
    place->next = b;
    Last(b)->next = rest;
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_splice_after_value");
}

ec_entry *_list_insert_in_run(ec_entry *list, const ec_entry *entry, int place) try {
    if (!list || !entry) return nullptr;
    ec_entry **link = &list;
    while (*link && std::strcmp((*link)->name, entry->name) != 0) link = &(*link)->next;
    if (!*link) return _list_insert_sorted(list, entry);
    for (int n = 1; n < place && (*link) && std::strcmp((*link)->name, entry->name) == 0; ++n)
        link = &(*link)->next;
    ec_entry *copy = NewEntry(entry->name, entry->value);
    copy->next = *link;
    *link = copy;
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_insert_in_run");
}

ec_entry *_list_insert_sorted(ec_entry *list, const ec_entry *entry) try {
    if (!entry) return list;
    // The place first: a copy made before it would be lost when a key cannot be built.
    const std::string key = SortKey(entry);
    ec_entry **link = &list;
    while (*link && SortKey(*link) <= key) link = &(*link)->next;
    ec_entry *copy = NewEntry(entry->name, entry->value);
    copy->next = *link;
    *link = copy;
    return list;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_insert_sorted");
}

int _list_write(ec_entry *list, const char *path) try {
    if (!path) return 0;
    FILE *out = platform::StreamOpen(path, "wt");
    if (!out) return 0;
    const bool written = WriteEntries(out, list);
    return (std::fclose(out) == 0 && written) ? 1 : 0;
} catch (const std::exception &) {
    webreq::MemoryFail("_list_write");
}

ec_entry *_list_read_lines(const char *path, int first, int last) try {
    if (!path || last < first) return nullptr;
    const int fd = FileOpenMode(path, "rb");
    if (fd < 0) return nullptr;
    webreq::ListBuilder list(nullptr);  // appends at its tail: linear in the number of lines
    for (int number = 1; number <= last; ++number) {
        char *line = FdReadLine(fd);
        if (!line) break;
        if (number >= first) {
            ec_entry *decoded = ec_sDecoder(line);
            if (decoded) list.AppendCopy(decoded->name, decoded->value);
            _list_free(decoded);
        }
        std::free(line);
    }
    FileClose(fd);
    return list.head();
} catch (const std::exception &) {
    webreq::MemoryFail("_list_read_lines");
}

}  // extern "C"
