#include "webreq/values.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "util/text.h"
#include "webreq/channel_internal.h"
#include "webreq/entrylist_internal.h"
#include "webreq/error.h"
#include "webreq/error_internal.h"
#include "webreq/request.h"
#include "webreq/request_state.h"

namespace {

using webreq::Request;

constexpr size_t kNameSize = 1024;

#define FORMAT_NAME(buffer, operation, format)               \
    char buffer[kNameSize];                                  \
    do {                                                     \
        va_list args;                                        \
        va_start(args, format);                              \
        webreq::NameFormat(buffer, operation, format, args); \
        va_end(args);                                        \
    } while (0)

void FreeValuesOnCleanup() {
    ec_ValueFree();
}

// Every operation that reads or changes the request values comes here first, so the module
// hands its clean-up step over as soon as it holds request state (not from a static
// initialiser, which a static link may leave out).
void DecodeIfNeeded() {
    _cleanup_register(EC_CLEANUP_VALUES, FreeValuesOnCleanup);
    if (!Request().list) _parse_request();
}

// The origin of the entry at a 1-based position.
int OriginAt(int position) {
    const int *c = Request().counts;
    if (position <= 0) return -1;
    if (position <= c[webreq::kCookie]) return webreq::kCookie;
    if (position <= c[webreq::kCookie] + c[webreq::kGet]) return webreq::kGet;
    if (position <= c[webreq::kCookie] + c[webreq::kGet] + c[webreq::kPost]) return webreq::kPost;
    return webreq::kNew;
}

const char *OriginLetter(const char *name) {
    static const char *const kLetters[] = {"C", "G", "P", "N"};
    const int origin = OriginAt(_list_position(Request().list, name));
    return origin < 0 ? "-" : kLetters[origin];
}

// The upload of the field whose value is still in the request list as the decoder left it.
const webreq::Upload *FindUpload(const char *field) {
    if (!field) return nullptr;
    for (const webreq::Upload &upload : Request().uploads) {
        if (upload.field != field) continue;
        for (const ec_entry *entry = Request().list; entry; entry = entry->next)
            if (entry->value == upload.value && upload.field == entry->name) return &upload;
    }
    return nullptr;
}

// A value that the program replaces or removes is no longer the bytes of an upload.
void ForgetUploads(const char *field) {
    auto &uploads = Request().uploads;
    for (size_t i = uploads.size(); i-- > 0;)
        if (uploads[i].field == field) uploads.erase(uploads.begin() + static_cast<long>(i));
}

bool IsKnownMode(const char *mode) {
    return mode && std::strlen(mode) == 2 && (mode[0] == 't' || mode[0] == 's') &&
           (mode[1] == 'n' || mode[1] == 'r');
}

}  // namespace

extern "C" {

char *ec_Value(const char *format, ...) try {
    FORMAT_NAME(name, "ec_Value", format);
    DecodeIfNeeded();
    return _list_value(Request().list, name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_Value");
}

int ec_iValue(const char *format, ...) try {
    FORMAT_NAME(name, "ec_iValue", format);
    DecodeIfNeeded();
    return _list_int_value(Request().list, name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_iValue");
}

const char *ec_ValueDefault(const char *default_text, const char *format, ...) try {
    FORMAT_NAME(name, "ec_ValueDefault", format);
    DecodeIfNeeded();
    const char *value = _list_value(Request().list, name);
    return value ? value : default_text;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueDefault");
}

char *ec_ValueNotEmpty(const char *error_text, const char *format, ...) try {
    FORMAT_NAME(name, "ec_ValueNotEmpty", format);
    DecodeIfNeeded();
    char *value = _list_value(Request().list, name);
    if (!value || !*value) ecError("%s", error_text ? error_text : "");
    return value;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueNotEmpty");
}

char *ec_ValueReplace(const char *mode, const char *name, const char *search,
                      const char *replacement) try {
    DecodeIfNeeded();
    if (!IsKnownMode(mode)) ecError("ec_ValueReplace(): Unknown mode \"%s\".", mode ? mode : "");
    const char new_mode[3] = {mode[0], 'n', '\0'};
    if (mode[1] == 'r' && name) ForgetUploads(name);
    char *first = nullptr;
    for (ec_entry *entry = Request().list; entry && name; entry = entry->next) {
        if (std::strcmp(entry->name, name) != 0) continue;
        char *replaced = ec_StrReplace(new_mode, entry->value, search, replacement);
        if (mode[1] == 'n') return replaced;
        std::free(entry->value);
        entry->value = replaced;
        if (!first) first = replaced;
    }
    return first;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueReplace");
}

char *ec_ValueFirst(const char *format, ...) try {
    va_list args;
    va_start(args, format);
    webreq::NameFormat(webreq::IterationName(), "ec_ValueFirst", format, args);
    va_end(args);
    DecodeIfNeeded();
    webreq::IterationCursorSet(Request().list);
    return ec_ValueNext();
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueFirst");
}

char *ec_ValueNext(void) try { return ec_fValueNext(); } catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueNext");
}

char *ec_ValueAdd(const char *name, const char *format, ...) try {
    if (!name || !*name) ecError("ec_ValueAdd(): can not add empty name.");
    FORMAT_NAME(value, "ec_ValueAdd", format);
    DecodeIfNeeded();
    if (!_list_value(Request().list, name)) {
        Request().new_names.emplace_back(name);
        ++Request().counts[webreq::kNew];
    }
    Request().list = _list_append(Request().list, name, value);
    return _list_value(Request().list, name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueAdd");
}

void ec_ValueRemove(const char *format, ...) try {
    FORMAT_NAME(name, "ec_ValueRemove", format);
    if (!*name) ecError("ec_ValueRemove(): can not remove empty name.");
    DecodeIfNeeded();
    // Each entry of the name lowers the count of the origin its position gives, so the counts
    // keep describing the list also when a name occurs more than once in one origin. NEW counts
    // names that were absent when added: it drops only for such a name, once.
    int removed[4] = {0, 0, 0, 0};
    int position = 1;
    for (ec_entry *entry = Request().list; entry; entry = entry->next, ++position)
        if (std::strcmp(entry->name, name) == 0) ++removed[OriginAt(position)];
    for (int origin : {webreq::kCookie, webreq::kGet, webreq::kPost})
        Request().counts[origin] -= removed[origin];
    auto &new_names = Request().new_names;
    for (size_t i = 0; i < new_names.size(); ++i) {
        if (new_names[i] != name) continue;
        new_names.erase(new_names.begin() + static_cast<long>(i));
        if (removed[webreq::kNew] > 0 && Request().counts[webreq::kNew] > 0)
            --Request().counts[webreq::kNew];
        break;
    }
    ForgetUploads(name);
    Request().list = _list_remove(Request().list, name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueRemove");
}

const char *ec_ValueOrigin(const char *format, ...) try {
    FORMAT_NAME(name, "ec_Value", format);
    DecodeIfNeeded();
    return OriginLetter(name);
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueOrigin");
}

char *ec_ValueCookie(const char *format, ...) try {
    FORMAT_NAME(name, "ec_Value", format);
    DecodeIfNeeded();
    return std::strcmp(OriginLetter(name), "C") == 0 ? _list_value(Request().list, name) : nullptr;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueCookie");
}

ec_entry *ec_ValueList(void) try {
    DecodeIfNeeded();
    return Request().list;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueList");
}

int ec_ValuePrint(void) try {
    DecodeIfNeeded();
    const int printed = _list_print(Request().list);
    const int *c = Request().counts;
    webreq::ChannelPrintf("<hr>\nCOOKIE = %d , GET = %d , POST = %d, NEW = %d\n", c[0], c[1], c[2],
                          c[3]);
    return printed;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValuePrint");
}

const char *ec_UploadValue(const char *name, size_t *length) try {
    DecodeIfNeeded();
    const webreq::Upload *upload = FindUpload(name);
    if (length) *length = upload ? upload->length : 0;
    return upload ? upload->value : nullptr;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_UploadValue");
}

const char *ec_UploadFileName(const char *name) try {
    DecodeIfNeeded();
    const webreq::Upload *upload = FindUpload(name);
    return upload ? upload->filename.c_str() : nullptr;
} catch (const std::exception &) {
    webreq::MemoryFail("ec_UploadFileName");
}

void ec_ValueFree(void) try {
    _list_free(Request().list);
    Request().list = nullptr;
    for (int &count : Request().counts) count = 0;
    std::vector<webreq::Upload>().swap(Request().uploads);
    std::vector<std::string>().swap(Request().new_names);
    webreq::IterationReset();
} catch (const std::exception &) {
    webreq::MemoryFail("ec_ValueFree");
}

}  // extern "C"
