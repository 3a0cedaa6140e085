#include "webreq/request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "util/fileio.h"
#include "util/text.h"
#include "webreq/entrylist_internal.h"
#include "webreq/error.h"
#include "webreq/output.h"
#include "webreq/request_state.h"

namespace webreq {

RequestState &Request() {
    static RequestState state;
    return state;
}

}  // namespace webreq

namespace {

using webreq::Request;

constexpr size_t kSeparatorSize = 256;
constexpr size_t kHeaderLineSize = 1024;
constexpr size_t kFirstValueSize = 16384;
constexpr char kDisposition[] = "Content-Disposition: ";
constexpr char kContentType[] = "Content-Type: ";
constexpr size_t kNameOffset = 38;  // strlen("Content-Disposition: form-data; name=\"")

char *NewText(std::string_view text) {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (!copy) ecError("_parse_multipart_data(): Memory allocation fail.");
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

bool StartsWith(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// CONTENT_LENGTH as a count of bytes; anything but plain digits within the limit is refused.
long PostLength(const char *text) {
    if (!*text) ecError("_get_query(): Invalid CONTENT_LENGTH ().");
    long long length = 0;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9') ecError("_get_query(): Invalid CONTENT_LENGTH (%.40s).", text);
        length = length * 10 + (*p - '0');
        if (length > EC_POST_LIMIT) ecError("_get_query(): Request body is too large.");
    }
    return static_cast<long>(length);
}

// Splits an origin's text at the separator into entries behind the request list. A cursor
// walks the text once (cutting each field off the front would move the rest every time, which
// is quadratic in the number of fields of a large body).
int DecodeOrigin(const char *origin, char separator, webreq::Origin counter) {
    char *text = _get_query(origin);
    webreq::ListBuilder list(Request().list);
    int added = 0;
    const std::string_view all = text ? std::string_view(text) : std::string_view();
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find(separator, start);
        if (end == std::string_view::npos) end = all.size();
        const std::string_view field = all.substr(start, end - start);
        const size_t equals = field.find('=');
        char *name = NewText(field.substr(0, equals));
        char *value = NewText(equals == std::string_view::npos ? std::string_view()
                                                               : field.substr(equals + 1));
        StrTrim(name);
        UrlDecode(name);
        UrlDecode(value);
        list.AppendOwned(name, value);
        ++added;
        start = end + 1;
    }
    Request().list = list.head();
    std::free(text);
    Request().counts[counter] = added;
    return added;
}

int DecodeCookieAndQuery() {
    return DecodeOrigin("COOKIE", ';', webreq::kCookie) + DecodeOrigin("GET", '&', webreq::kGet);
}

// Standard input byte by byte, without locking the stream for each byte.
int NextInputByte() {
#ifdef _WIN32
    return _getc_nolock(stdin);
#else
    return getc_unlocked(stdin);
#endif
}

struct Delimiters {
    std::string open;         // D: "--" boundary
    std::string close;        // E: D "--"
    std::string inner;        // CR LF D CR LF
    std::string final_close;  // CR LF E
};

Delimiters DelimitersOf(const char *content_type) {
    const char *at = std::strstr(content_type, "boundary=");
    if (!at) ecError("_parse_multipart_data(): The content type holds no boundary.");
    const std::string boundary = at + 9;
    if (2 + boundary.size() + 2 + 2 >= kSeparatorSize)
        ecError("_parse_multipart_data(): The boundary string is too long. Stopping process.");
    std::string open = "--" + boundary;
    StrTrim(open.data());
    open.resize(std::strlen(open.c_str()));
    const std::string close = open + "--";
    return {open, close, "\r\n" + open + "\r\n", "\r\n" + close};
}

// One header line of at most 1023 bytes; false at the end of input.
bool ReadHeaderLine(std::string *line) {
    char buffer[kHeaderLineSize];
    if (!StreamReadLine(buffer, sizeof buffer, stdin)) return false;
    *line = buffer;
    return true;
}

struct Part {
    std::string name;
    std::string filename;
    std::string content_type;
};

void TakeDisposition(const std::string &line, Part *part) {
    part->name = line.size() > kNameOffset ? line.substr(kNameOffset) : "";
    part->name = part->name.substr(0, part->name.find('"'));
    const size_t file_at = line.find("; filename=\"");
    if (file_at == std::string::npos) return;
    std::string file = line.substr(file_at + 12);
    file = file.substr(0, file.find('"'));
    const size_t backslash = file.rfind('\\');
    if (backslash != std::string::npos) file = file.substr(backslash + 1);
    StrTrim(file.data());
    part->filename = file.c_str();
}

Part ReadPartHeaders() {
    Part part;
    std::string line;
    while (ReadHeaderLine(&line) && line != "\r\n") {
        if (ec_StrNICmp(line.c_str(), kDisposition, static_cast<int>(sizeof kDisposition - 1)) ==
            0) {
            TakeDisposition(line, &part);
        } else if (ec_StrNICmp(line.c_str(), kContentType,
                               static_cast<int>(sizeof kContentType - 1)) == 0) {
            std::string type = line.substr(sizeof kContentType - 1);
            StrTrim(type.data());
            part.content_type = type.c_str();
        }
    }
    return part;
}

bool EndsWith(const char *buffer, size_t n, const std::string &tail) {
    return n >= tail.size() && std::memcmp(buffer + n - tail.size(), tail.data(), tail.size()) == 0;
}

// Reads a part's value up to the separator that ends it. Returns the value (malloc'd, NUL
// after its last byte) with its length, and whether another part follows.
char *ReadPartBody(const Delimiters &d, const std::string &name, size_t *length, bool *more) {
    size_t capacity = 0, n = 0;
    char *buffer = nullptr;
    const std::string open_crlf = d.open + "\r\n";
    for (;;) {
        const int byte = NextInputByte();
        if (byte == EOF) {
            std::free(buffer);
            ecError("_parse_multipart_data(): \t\t\tBroken stream at end of '%s'.", name.c_str());
        }
        if (n + 1 >= capacity) {
            const size_t grown = capacity ? capacity * 2 : kFirstValueSize;
            char *bigger = static_cast<char *>(std::realloc(buffer, grown));
            if (!bigger) {
                std::free(buffer);
                ecError("_parse_multipart_data(): Memory allocation fail.");
            }
            buffer = bigger;
            capacity = grown;
        }
        buffer[n++] = static_cast<char>(byte);
        buffer[n] = '\0';
        if (byte != '\n' && byte != '-') continue;
        size_t value = 0;
        if (EndsWith(buffer, n, d.inner)) {
            value = n - d.inner.size(), *more = true;
        } else if (EndsWith(buffer, n, d.final_close)) {
            value = n - d.final_close.size(), *more = false;
        } else if (n == open_crlf.size() && std::memcmp(buffer, open_crlf.data(), n) == 0) {
            value = 0, *more = true;
        } else if (n == d.close.size() && std::memcmp(buffer, d.close.data(), n) == 0) {
            value = 0, *more = false;
        } else {
            continue;
        }
        buffer[value] = '\0';
        *length = value;
        return buffer;
    }
}

void AppendUpload(webreq::ListBuilder *list, const Part &part, size_t length) {
    auto append = [&](const char *suffix, const std::string &value) {
        list->AppendOwned(NewText(part.name + suffix), NewText(value));
    };
    append(".length", std::to_string(length));
    append(".filename", part.filename);
    append(".contenttype", part.content_type);
}

}  // namespace

extern "C" {

char *_get_query(const char *origin) {
    if (!origin) return nullptr;
    const std::string which = origin;
    if (which == "COOKIE") {
        const char *cookie = platform::EnvGet("HTTP_COOKIE");
        return cookie ? NewText(cookie) : nullptr;
    }
    if (which == "GET") {
        const char *query = platform::EnvGet("QUERY_STRING");
        if (!query) return nullptr;
        const char *uri = platform::EnvGet("REQUEST_URI");
        if (*query || !uri) return NewText(query);
        const char *mark = std::strchr(uri, '?');
        return NewText(mark ? mark + 1 : "");
    }
    if (which != "POST") return nullptr;
    const char *method = platform::EnvGet("REQUEST_METHOD");
    if (!method || std::strcmp(method, "POST") != 0) return nullptr;
    const char *content_length = platform::EnvGet("CONTENT_LENGTH");
    if (!content_length) ecError("_get_query(): Your browser sent a non-HTTP compliant message.");
    const long length = PostLength(content_length);
    char *body = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (!body) ecError("_get_query(): Memory allocation fail.");
    // A body shorter than announced keeps what arrived.
    const size_t got = std::fread(body, 1, static_cast<size_t>(length), stdin);
    body[got] = '\0';
    return body;
}

int _parse_urlencoded_data(void) {
    return DecodeCookieAndQuery() + DecodeOrigin("POST", '&', webreq::kPost);
}

int _parse_multipart_data(void) {
    const int header_entries = DecodeCookieAndQuery();
    platform::StdStreamsBinary();
    const char *content_type = platform::EnvGet("CONTENT_TYPE");
    const Delimiters d = DelimitersOf(content_type ? content_type : "");

    std::string line;
    if (!ReadHeaderLine(&line))
        ecError("_parse_multipart_data(): Your browser sent a non-HTTP compliant message.");
    if (line == "\r\n" && !ReadHeaderLine(&line))
        ecError("_parse_multipart_data(): String format invalid.");
    if (line.compare(0, d.open.size(), d.open) != 0)
        ecError("_parse_multipart_data(): String format invalid.");

    int parts = 0, post_count = 0;
    bool more = true;
    webreq::ListBuilder list(Request().list);
    while (more) {
        const Part part = ReadPartHeaders();
        size_t length = 0;
        char *value = ReadPartBody(d, part.name, &length, &more);
        list.AppendOwned(NewText(part.name), value);
        if (!part.filename.empty()) {
            AppendUpload(&list, part, length);
            post_count += 3;
        }
        Request().list = list.head();
        ++parts;
        ++post_count;
    }
    Request().counts[webreq::kPost] = post_count;
    return header_entries + parts;
}

int _parse_request(void) {
    if (Request().list) return -1;
    const char *type = platform::EnvGet("CONTENT_TYPE");
    if (type && StartsWith(type, "multipart/form-data") &&
        !StartsWith(type, "application/x-www-form-urlencoded"))
        return _parse_multipart_data();
    return _parse_urlencoded_data();
}

}  // extern "C"
