#include "webreq/request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "util/fileio.h"
#include "util/text.h"
#include "webreq/channel.h"
#include "webreq/channel_internal.h"
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

// CONTENT_LENGTH as a count of bytes: leading blanks and a '+' are allowed, as in any decimal
// integer; anything else but digits, or a length over the limit, is refused.
long PostLength(const char *text) {
    const char *p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '+') ++p;
    if (!*p) ecError("_get_query(): Invalid CONTENT_LENGTH (%.40s).", text);
    long long length = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') ecError("_get_query(): Invalid CONTENT_LENGTH (%.40s).", text);
        length = length * 10 + (*p - '0');
        if (length > EC_POST_LIMIT) ecError("_get_query(): Request body is too large.");
    }
    return static_cast<long>(length);
}

// Splits an origin's text at the separator into entries behind the request list. A cursor
// walks the text once (cutting each field off the front would move the rest every time, which
// is quadratic in the number of fields of a large body). The fields are counted before any
// entry is made: each costs about a hundred bytes, far more than its separator in the text.
int DecodeOrigin(const char *origin, char separator, webreq::Origin counter,
                 const char *operation) {
    char *text = _get_query(origin);
    const std::string_view all = text ? std::string_view(text) : std::string_view();
    size_t fields = 0;
    for (size_t at = 0; at < all.size(); ++at)
        if (all[at] == separator) ++fields;
    if (!all.empty() && all.back() != separator) ++fields;
    if (fields > static_cast<size_t>(EC_FIELD_LIMIT)) {
        std::free(text);
        ecError("%s(): The request holds more than %d fields.", operation, EC_FIELD_LIMIT);
    }
    webreq::ListBuilder list(Request().list);
    int added = 0;
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

int DecodeCookieAndQuery(const char *operation) {
    return DecodeOrigin("COOKIE", ';', webreq::kCookie, operation) +
           DecodeOrigin("GET", '&', webreq::kGet, operation);
}

// The body byte by byte, from the request channel.
int NextInputByte() {
    return webreq::ChannelGetByte();
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

struct Part {
    std::string name;
    std::string filename;
    std::string content_type;
};

// The file name after its last '\' or '/' (a browser may send a whole path of either kind).
std::string BaseName(std::string file) {
    const size_t separator = file.find_last_of("\\/");
    if (separator != std::string::npos) file = file.substr(separator + 1);
    StrTrim(file.data());
    return file.c_str();
}

void TakeDisposition(const std::string &line, Part *part) {
    part->name = line.size() > kNameOffset ? line.substr(kNameOffset) : "";
    part->name = part->name.substr(0, part->name.find('"'));
    const size_t file_at = line.find("; filename=\"");
    if (file_at == std::string::npos) return;
    std::string file = line.substr(file_at + 12);
    part->filename = BaseName(file.substr(0, file.find('"')));
}

// Rough heap cost of one allocation: the allocator's header and rounding included, so that
// many tiny parts are charged what they really take.
size_t HeapCost(size_t bytes) {
    const size_t rounded = (bytes + 8 + 15) & ~static_cast<size_t>(15);
    return rounded < 32 ? 32 : rounded;
}

// Reads the multipart body from standard input: the first line, then per part its header
// lines and its value. It counts the bytes it reads (the body may not pass
// EC_MULTIPART_LIMIT, whatever CONTENT_LENGTH says) and the memory the decoded request holds,
// which stays within 3 times the bytes read plus EC_MULTIPART_SLACK.
class MultipartReader {
   public:
    explicit MultipartReader(const Delimiters &d) : d_(d), open_crlf_(d.open + "\r\n") {}

    // One header line: its first 1023 bytes; the rest of a longer line is passed over, so it
    // is never taken for a header of its own. False at the end of input.
    bool HeaderLine(std::string *line) {
        line->clear();
        int byte = EOF;
        while ((byte = Byte()) != EOF) {
            if (line->size() < kHeaderLineSize - 1) line->push_back(static_cast<char>(byte));
            if (byte == '\n') break;
        }
        return !line->empty();
    }

    Part Headers() {
        Part part;
        std::string line;
        while (HeaderLine(&line) && line != "\r\n") {
            if (ec_StrNICmp(line.c_str(), kDisposition,
                            static_cast<int>(sizeof kDisposition - 1)) == 0) {
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

    // A part's value up to the separator that ends it: malloc'd, NUL after its last byte, its
    // room cut down to its length once read; with the length and whether another part follows.
    char *Body(const std::string &name, size_t *length, bool *more) {
        buffer_ = nullptr;
        capacity_ = 0;
        size_t n = 0;
        for (;;) {
            const int byte = Byte();
            if (byte == EOF)
                Fail("_parse_multipart_data(): \t\t\tBroken stream at end of '%s'.", name.c_str());
            if (n + 1 >= capacity_) Grow(capacity_ ? capacity_ * 2 : kFirstValueSize);
            buffer_[n++] = static_cast<char>(byte);
            buffer_[n] = '\0';
            if ((byte == '\n' || byte == '-') && AtSeparator(n, length, more)) break;
        }
        buffer_[*length] = '\0';
        char *value = static_cast<char *>(std::realloc(buffer_, *length + 1));
        if (value) {
            held_ -= HeapCost(capacity_) - HeapCost(*length + 1);
            buffer_ = value;
        }
        value = buffer_;
        buffer_ = nullptr;
        return value;
    }

    // Charges memory that the decoded request keeps; too much of it for the body ends here.
    void Charge(size_t bytes) {
        held_ += bytes;
        if (held_ > 3 * read_ + static_cast<unsigned long long>(EC_MULTIPART_SLACK))
            Fail("_parse_multipart_data(): The request holds too many parts for its size.");
    }

   private:
    int Byte() {
        const int byte = NextInputByte();
        if (byte != EOF && ++read_ > static_cast<unsigned long long>(EC_MULTIPART_LIMIT))
            Fail("_parse_multipart_data(): Request body is too large.");
        return byte;
    }

    void Grow(size_t grown) {
        char *bigger = static_cast<char *>(std::realloc(buffer_, grown));
        if (!bigger) Fail("_parse_multipart_data(): Memory allocation fail.");
        held_ += HeapCost(grown) - (capacity_ ? HeapCost(capacity_) : 0);
        buffer_ = bigger;
        capacity_ = grown;
        Charge(0);
    }

    bool AtSeparator(size_t n, size_t *length, bool *more) const {
        if (EndsWith(n, d_.inner)) {
            *length = n - d_.inner.size(), *more = true;
        } else if (EndsWith(n, d_.final_close)) {
            *length = n - d_.final_close.size(), *more = false;
        } else if (n == open_crlf_.size() && std::memcmp(buffer_, open_crlf_.data(), n) == 0) {
            *length = 0, *more = true;
        } else if (n == d_.close.size() && std::memcmp(buffer_, d_.close.data(), n) == 0) {
            *length = 0, *more = false;
        } else {
            return false;
        }
        return true;
    }

    bool EndsWith(size_t n, const std::string &tail) const {
        return n >= tail.size() &&
               std::memcmp(buffer_ + n - tail.size(), tail.data(), tail.size()) == 0;
    }

    // The value being read is the reader's own until Body returns it.
    [[noreturn]] void Fail(const char *format, const char *argument = "") {
        std::free(buffer_);
        buffer_ = nullptr;
        ecError(format, argument);
    }

    const Delimiters &d_;
    const std::string open_crlf_;
    char *buffer_ = nullptr;
    size_t capacity_ = 0;
    unsigned long long read_ = 0;
    unsigned long long held_ = 0;
};

// The announced length, when it is a number, is refused over the limit before anything is
// read; without one (or with a wrong one) the reader's own count still stops at the limit.
void RefuseLargeMultipart() {
    const char *text = ec_ChannelVar("CONTENT_LENGTH");
    if (!text) return;
    while (*text == ' ' || *text == '\t') ++text;
    if (*text == '+') ++text;
    long long length = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        length = length * 10 + (*text - '0');
        if (length > EC_MULTIPART_LIMIT)
            ecError("_parse_multipart_data(): Request body is too large.");
    }
}

void AppendUpload(webreq::ListBuilder *list, MultipartReader *reader, const Part &part,
                  size_t length) {
    auto append = [&](const char *suffix, const std::string &value) {
        const std::string name = part.name + suffix;
        list->AppendOwned(NewText(name), NewText(value));
        Request().list = list->head();
        reader->Charge(HeapCost(sizeof(ec_entry)) + HeapCost(name.size() + 1) +
                       HeapCost(value.size() + 1));
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
        const char *cookie = ec_ChannelVar("HTTP_COOKIE");
        return cookie ? NewText(cookie) : nullptr;
    }
    if (which == "GET") {
        const char *query = ec_ChannelVar("QUERY_STRING");
        if (!query) return nullptr;
        const char *uri = ec_ChannelVar("REQUEST_URI");
        if (*query || !uri) return NewText(query);
        const char *mark = std::strchr(uri, '?');
        return NewText(mark ? mark + 1 : "");
    }
    if (which != "POST") return nullptr;
    const char *method = ec_ChannelVar("REQUEST_METHOD");
    if (!method || std::strcmp(method, "POST") != 0) return nullptr;
    const char *content_length = ec_ChannelVar("CONTENT_LENGTH");
    if (!content_length) ecError("_get_query(): Your browser sent a non-HTTP compliant message.");
    const long length = PostLength(content_length);
    char *body = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (!body) ecError("_get_query(): Memory allocation fail.");
    // A body shorter than announced keeps what arrived.
    const long long got = webreq::ChannelRead(body, static_cast<size_t>(length));
    body[got > 0 ? got : 0] = '\0';
    return body;
}

int _parse_urlencoded_data(void) {
    return DecodeCookieAndQuery("_parse_urlencoded_data") +
           DecodeOrigin("POST", '&', webreq::kPost, "_parse_urlencoded_data");
}

int _parse_multipart_data(void) {
    const int header_entries = DecodeCookieAndQuery("_parse_multipart_data");
    webreq::ChannelBinary();
    RefuseLargeMultipart();
    const char *content_type = ec_ChannelVar("CONTENT_TYPE");
    const Delimiters d = DelimitersOf(content_type ? content_type : "");
    MultipartReader reader(d);

    std::string line;
    if (!reader.HeaderLine(&line))
        ecError("_parse_multipart_data(): Your browser sent a non-HTTP compliant message.");
    if (line == "\r\n" && !reader.HeaderLine(&line))
        ecError("_parse_multipart_data(): String format invalid.");
    if (line.compare(0, d.open.size(), d.open) != 0)
        ecError("_parse_multipart_data(): String format invalid.");

    int parts = 0, post_count = 0;
    bool more = true;
    webreq::ListBuilder list(Request().list);
    while (more) {
        const Part part = reader.Headers();
        size_t length = 0;
        char *value = reader.Body(part.name, &length, &more);
        list.AppendOwned(NewText(part.name), value);
        Request().list = list.head();
        reader.Charge(HeapCost(sizeof(ec_entry)) + HeapCost(part.name.size() + 1));
        if (!part.filename.empty()) {
            Request().uploads.push_back({part.name, part.filename, value, length});
            reader.Charge(2 * (sizeof(webreq::Upload) + part.name.size() + part.filename.size()));
            AppendUpload(&list, &reader, part, length);
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
    const char *type = ec_ChannelVar("CONTENT_TYPE");
    if (type && StartsWith(type, "multipart/form-data") &&
        !StartsWith(type, "application/x-www-form-urlencoded"))
        return _parse_multipart_data();
    return _parse_urlencoded_data();
}

}  // extern "C"
