#include "webreq/request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "util/text.h"
#include "webreq/channel.h"
#include "webreq/channel_internal.h"
#include "webreq/entrylist_internal.h"
#include "webreq/error.h"
#include "webreq/error_internal.h"
#include "webreq/output.h"
#include "webreq/request_state.h"

namespace webreq {

RequestState &Request() {
    static RequestState state;
    return state;
}

namespace {
MultipartSettings g_multipart_settings;
}  // namespace

const MultipartSettings &MultipartSettingsGet() {
    return g_multipart_settings;
}

void MultipartSettingsSet(const MultipartSettings &settings) {
    g_multipart_settings = settings;
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

// A body without an announced length (an empty CONTENT_LENGTH): none under CGI, where it
// means the request has no body; under FastCGI the request's input up to its end (a chunked
// body that the server streams), within the body limit.
char *BodyWithoutLength() {
    size_t size = 0, room = 16384;
    char *body = static_cast<char *>(std::malloc(room + 1));
    if (!body) ecError("_get_query(): Memory allocation fail.");
    long long got = 0;
    while (ec_ChannelIsFastCgi() && (got = webreq::ChannelRead(body + size, room - size)) > 0) {
        size += static_cast<size_t>(got);
        if (size < room) continue;
        // Held in malloc'd memory: ecError leaves this frame without unwinding it.
        char *larger = room < static_cast<size_t>(EC_POST_LIMIT)
                           ? static_cast<char *>(std::realloc(body, 2 * room + 1))
                           : nullptr;
        if (!larger) std::free(body);
        if (room >= static_cast<size_t>(EC_POST_LIMIT))
            ecError("_get_query(): Request body is too large.");
        if (!larger) ecError("_get_query(): Memory allocation fail.");
        body = larger;
        room *= 2;
    }
    body[size] = '\0';
    return body;
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

// Finds the end of a part's value in a stream: the first place where "CR LF D CR LF" or
// "CR LF D --" ends. The two share the prefix P = "CR LF D", so the matcher is P's chain of
// states with two short branches after it, and failure links as in a string search
// automaton: linear in the bytes whatever the boundary, and its state carries over from one
// block to the next. Started as if a line end came first, it also sees a value that begins
// with "D CR LF" or "D --", which the reference reader tests at the value's start.
class DelimiterMatcher {
   public:
    explicit DelimiterMatcher(const std::string &open) : prefix_("\r\n" + open) {
        const int p = static_cast<int>(prefix_.size());
        fail_.assign(static_cast<size_t>(p) + 5, 0);
        auto link = [&](int node, int parent, unsigned char byte) {
            if (parent == 0) return;
            int f = fail_[static_cast<size_t>(parent)];
            while (f != 0 && Child(f, byte) < 0) f = fail_[static_cast<size_t>(f)];
            const int child = Child(f, byte);
            fail_[static_cast<size_t>(node)] = child > 0 ? child : 0;
        };
        for (int node = 1; node <= p; ++node)
            link(node, node - 1,
                 static_cast<unsigned char>(prefix_[static_cast<size_t>(node - 1)]));
        link(p + 1, p, '\r');
        link(p + 3, p, '-');
        link(p + 2, p + 1, '\n');
        link(p + 4, p + 3, '-');
    }

    int Start() const { return 2; }
    int Next(int state, unsigned char byte) const {
        int child;
        while ((child = Child(state, byte)) < 0 && state != 0)
            state = fail_[static_cast<size_t>(state)];
        return child < 0 ? 0 : child;
    }
    bool Inner(int state) const { return state == Size() + 2; }
    bool Final(int state) const { return state == Size() + 4; }
    bool Done(int state) const { return Inner(state) || Final(state); }
    // Bytes of the separator that ends the value: CR LF, D and two more.
    size_t Length() const { return prefix_.size() + 2; }

    // Feeds bytes [at, end) of data from state until a separator ends: the position after the
    // last byte fed. With nothing pending it skips to the next CR, where a separator can start.
    size_t Scan(const unsigned char *data, size_t at, size_t end, int *state) const {
        int s = *state;
        while (at < end && !Done(s)) {
            if (s == 0) {
                const void *cr = std::memchr(data + at, '\r', end - at);
                if (!cr) {
                    at = end;
                    break;
                }
                at = static_cast<size_t>(static_cast<const unsigned char *>(cr) - data);
            }
            s = Next(s, data[at++]);
        }
        *state = s;
        return at;
    }

   private:
    int Size() const { return static_cast<int>(prefix_.size()); }
    // The state after byte in state, -1 when the trie has no such edge.
    int Child(int state, unsigned char byte) const {
        const int p = Size();
        if (state < p)
            return static_cast<unsigned char>(prefix_[static_cast<size_t>(state)]) == byte
                       ? state + 1
                       : -1;
        if (state == p) return byte == '\r' ? p + 1 : byte == '-' ? p + 3 : -1;
        if (state == p + 1) return byte == '\n' ? p + 2 : -1;
        if (state == p + 3) return byte == '-' ? p + 4 : -1;
        return -1;
    }

    const std::string prefix_;
    std::vector<int> fail_;
};

// A valid CONTENT_LENGTH, or -1: the block reader asks for no more than that until it has it.
long long AnnouncedLength() {
    return webreq::ContentLengthParse(ec_ChannelVar("CONTENT_LENGTH"), EC_MULTIPART_LIMIT);
}

// Reads the multipart body from the request channel: the first line, then per part its header
// lines and its value. It counts the bytes it takes (the body may not pass the body limit,
// whatever CONTENT_LENGTH says) and the memory the decoded request holds, which stays within
// 3 times the bytes taken plus the slack. Two ways with one result: byte by byte (the
// reference) or a block at a time, where every count, check and growth of a value happens at
// the byte where the reference makes it; bytes read past the close delimiter are not used.
class MultipartReader {
   public:
    MultipartReader(const Delimiters &d, const webreq::MultipartSettings &settings)
        : d_(d),
          open_crlf_(d.open + "\r\n"),
          blocks_(settings.method == webreq::MultipartMethod::kBlocks),
          limit_(static_cast<unsigned long long>(settings.body_limit)),
          slack_(static_cast<unsigned long long>(settings.slack)),
          room_grown_(settings.room_grown),
          matcher_(d.open) {
        if (blocks_) {
            window_.resize(settings.block_size ? settings.block_size : 1);
            direct_from_ = 2 * window_.size();
            announced_ = AnnouncedLength();
        }
    }

    // One header line: its first 1023 bytes; the rest of a longer line is passed over, so it
    // is never taken for a header of its own. False at the end of input.
    bool HeaderLine(std::string *line) {
        line->clear();
        if (blocks_) return BlockHeaderLine(line);
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
        room_ = 0;
        stored_ = 0;
        if (blocks_) {
            BlockBody(name, length, more);
        } else {
            for (;;) {
                const int byte = Byte();
                if (byte == EOF)
                    Fail("_parse_multipart_data(): \t\t\tBroken stream at end of '%s'.",
                         name.c_str());
                if (stored_ + 1 >= capacity_) Grow();
                buffer_[stored_++] = static_cast<char>(byte);
                buffer_[stored_] = '\0';
                if ((byte == '\n' || byte == '-') && AtSeparator(stored_, length, more)) break;
            }
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

    // The body ends at the close delimiter: the bytes used are taken from the stream, the rest
    // stays there.
    void Finish() {
        if (blocks_) Consume(at_);
    }

    // Charges memory that the decoded request keeps; too much of it for the body ends here.
    void Charge(size_t bytes) {
        held_ += bytes;
        if (held_ > 3 * read_ + slack_)
            Fail("_parse_multipart_data(): The request holds too many parts for its size.");
    }

   private:
    int Byte() {
        const int byte = webreq::ChannelGetByte();
        if (byte < 0) return EOF;
        if (++read_ > limit_) Fail("_parse_multipart_data(): Request body is too large.");
        return byte;
    }

    // The next block, when the window is used up; false at the end of input. The window holds
    // what the stream has (it never waits for a full block) and takes the bytes from the stream
    // only as they are used: after the close delimiter the rest stays unread, for the page.
    bool Fill() {
        if (at_ < window_end_) return true;
        Consume(window_end_);
        const long long got = webreq::ChannelPeek(window_.data(), Want(window_.size()));
        if (got <= 0) return false;
        at_ = 0;
        window_end_ = static_cast<size_t>(got);
        consumed_ = 0;
        return true;
    }

    // Takes the window's bytes up to upto from the stream (they are in the window already).
    void Consume(size_t upto) {
        if (upto <= consumed_) return;
        const size_t count = upto - consumed_;
        webreq::ChannelRead(window_.data() + consumed_, count);
        fetched_ += count;
        consumed_ = upto;
    }

    // At most size bytes, and none past an announced length until it has arrived.
    size_t Want(size_t size) const {
        if (announced_ > static_cast<long long>(fetched_) &&
            static_cast<unsigned long long>(announced_) - fetched_ < size)
            return static_cast<size_t>(static_cast<unsigned long long>(announced_) - fetched_);
        return size;
    }

    // Takes count bytes that are there: the reference would fail at the first past the limit.
    void Take(size_t count) {
        if (count > limit_ - read_) Fail("_parse_multipart_data(): Request body is too large.");
        read_ += count;
    }

    bool BlockHeaderLine(std::string *line) {
        while (Fill()) {
            const char *start = window_.data() + at_;
            const size_t available = window_end_ - at_;
            const void *feed = std::memchr(start, '\n', available);
            const size_t count =
                feed ? static_cast<size_t>(static_cast<const char *>(feed) - start) + 1 : available;
            Take(count);
            const size_t room = kHeaderLineSize - 1 - line->size();
            line->append(start, count < room ? count : room);
            at_ += count;
            if (feed) break;
        }
        return !line->empty();
    }

    void BlockBody(const std::string &name, size_t *length, bool *more) {
        int state = matcher_.Start();
        for (;;) {
            if (at_ == window_end_ && stored_ >= direct_from_) {
                // A large value: the body is read straight into its tail and searched there.
                state = DirectRead(name, state);
            } else {
                if (!Fill())
                    Fail("_parse_multipart_data(): \t\t\tBroken stream at end of '%s'.",
                         name.c_str());
                const unsigned char *block =
                    reinterpret_cast<const unsigned char *>(window_.data());
                const size_t at = matcher_.Scan(block, at_, window_end_, &state);
                Store(window_.data() + at_, at - at_);
                at_ = at;
            }
            if (matcher_.Done(state)) {
                // A value that begins with "D CR LF" or "D --" is empty, its separator short.
                *length = stored_ >= matcher_.Length() ? stored_ - matcher_.Length() : 0;
                *more = matcher_.Inner(state);
                return;
            }
        }
    }

    // One read of the body into the value's room, up to a separator that ends the value.
    int DirectRead(const std::string &name, int state) {
        Consume(window_end_);
        at_ = window_end_ = consumed_ = 0;
        const size_t want = Want(window_.size());
        if (room_ < stored_ + want + 1) Room(stored_ + want + 1, true);
        const long long got = webreq::ChannelPeek(buffer_ + stored_, want);
        if (got <= 0)
            Fail("_parse_multipart_data(): \t\t\tBroken stream at end of '%s'.", name.c_str());
        const unsigned char *tail = reinterpret_cast<const unsigned char *>(buffer_ + stored_);
        const size_t used = matcher_.Scan(tail, 0, static_cast<size_t>(got), &state);
        // Only the value's bytes are taken; what follows its separator is looked at again.
        webreq::ChannelRead(buffer_ + stored_, used);
        fetched_ += used;
        Account(used);
        buffer_[stored_] = '\0';
        return state;
    }

    // Appends bytes to the value as the reference stores them one by one.
    void Store(const char *bytes, size_t count) {
        if (count == 0) return;
        if (room_ < stored_ + count + 1) Room(stored_ + count + 1, false);
        std::memcpy(buffer_ + stored_, bytes, count);
        Account(count);
        buffer_[stored_] = '\0';
    }

    // Counts count bytes, already in the room, into the value as the reference takes them one
    // by one: each against the limit, and the value grows (on the books) at the same bytes,
    // charged with the same count.
    void Account(size_t count) {
        while (count > 0) {
            if (stored_ + 1 >= capacity_) {
                Take(1);
                Grow();
                ++stored_;
                --count;
                continue;
            }
            size_t piece = capacity_ - 1 - stored_;
            if (piece > count) piece = count;
            if (piece > limit_ - read_) piece = static_cast<size_t>(limit_ - read_);
            if (piece == 0) Fail("_parse_multipart_data(): Request body is too large.");
            read_ += piece;
            stored_ += piece;
            count -= piece;
        }
    }

    // The value's growth as the reference makes it; its memory comes from Room.
    void Grow() {
        const size_t grown = capacity_ ? capacity_ * 2 : kFirstValueSize;
        held_ += HeapCost(grown) - (capacity_ ? HeapCost(capacity_) : 0);
        capacity_ = grown;
        if (!blocks_) {
            char *bigger = static_cast<char *>(std::realloc(buffer_, grown));
            if (!bigger) Fail("_parse_multipart_data(): Memory allocation fail.");
            buffer_ = bigger;
            room_ = grown;
            if (room_grown_) room_grown_(room_);
        }
        Charge(0);
    }

    // Memory for at least need bytes of the block reader's value. A large value is sized
    // from the bytes the body still announces, so it moves seldom, but never past what the
    // books would let the request hold nor past the body limit; with huge pages asked for.
    void Room(size_t need, bool large) {
        size_t grown = room_ ? room_ * 2 : kFirstValueSize;
        if (large) {
            const unsigned long long others = held_ - (capacity_ ? HeapCost(capacity_) : 0);
            const unsigned long long allowed = 3 * read_ + slack_;
            unsigned long long target = announced_ > static_cast<long long>(fetched_)
                                            ? stored_ + (announced_ - fetched_) + 1
                                            : 2ull * stored_;
            const unsigned long long left = allowed > others ? allowed - others : 0;
            if (target > left) target = left;
            if (target > stored_ + (limit_ - read_) + 1) target = stored_ + (limit_ - read_) + 1;
            grown = static_cast<size_t>(target);
        }
        if (grown < need) grown = need;
        char *bigger = static_cast<char *>(std::realloc(buffer_, grown));
        if (!bigger) Fail("_parse_multipart_data(): Memory allocation fail.");
        buffer_ = bigger;
        room_ = grown;
        if (large) platform::GrowingBufferAdvise(buffer_, room_);
        if (room_grown_) room_grown_(room_);
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
    const bool blocks_;
    const unsigned long long limit_;
    const unsigned long long slack_;
    void (*const room_grown_)(size_t room);
    const DelimiterMatcher matcher_;
    char *buffer_ = nullptr;
    size_t capacity_ = 0;  // the reference's room for the value, which the books charge
    size_t room_ = 0;      // the room the value really has
    size_t direct_from_ = 0;
    size_t stored_ = 0;
    unsigned long long read_ = 0;
    unsigned long long held_ = 0;
    // The block reader's window: bytes [at_, window_end_) are read but not yet taken.
    std::vector<char> window_;
    size_t at_ = 0;
    size_t window_end_ = 0;
    size_t consumed_ = 0;  // window bytes taken from the stream
    unsigned long long fetched_ = 0;
    long long announced_ = -1;
};

// The announced length, when it is a number, is refused over the limit before anything is
// read; without one (or with a wrong one) the reader's own count still stops at the limit.
void RefuseLargeMultipart(long long limit) {
    const char *text = ec_ChannelVar("CONTENT_LENGTH");
    if (!text) return;
    while (*text == ' ' || *text == '\t') ++text;
    if (*text == '+') ++text;
    long long length = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        length = length * 10 + (*text - '0');
        if (length > limit) ecError("_parse_multipart_data(): Request body is too large.");
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

char *_get_query(const char *origin) try {
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
    if (!*content_length) return BodyWithoutLength();
    const long length = PostLength(content_length);
    char *body = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
    if (!body) ecError("_get_query(): Memory allocation fail.");
    // A body shorter than announced keeps what arrived.
    const long long got = webreq::ChannelRead(body, static_cast<size_t>(length));
    body[got > 0 ? got : 0] = '\0';
    return body;
} catch (const std::exception &) {
    webreq::MemoryFail("_get_query");
}

int _parse_urlencoded_data(void) try {
    return DecodeCookieAndQuery("_parse_urlencoded_data") +
           DecodeOrigin("POST", '&', webreq::kPost, "_parse_urlencoded_data");
} catch (const std::exception &) {
    webreq::MemoryFail("_parse_urlencoded_data");
}

int _parse_multipart_data(void) try {
    const int header_entries = DecodeCookieAndQuery("_parse_multipart_data");
    webreq::ChannelBinary();
    const webreq::MultipartSettings settings = webreq::MultipartSettingsGet();
    RefuseLargeMultipart(settings.body_limit);
    const char *content_type = ec_ChannelVar("CONTENT_TYPE");
    const Delimiters d = DelimitersOf(content_type ? content_type : "");
    MultipartReader reader(d, settings);

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
        if (settings.part_seen) settings.part_seen(part.name.c_str(), value, length);
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
    reader.Finish();
    Request().counts[webreq::kPost] = post_count;
    return header_entries + parts;
} catch (const std::exception &) {
    webreq::MemoryFail("_parse_multipart_data");
}

int _parse_request(void) try {
    if (Request().list) return -1;
    const char *type = ec_ChannelVar("CONTENT_TYPE");
    if (type && StartsWith(type, "multipart/form-data") &&
        !StartsWith(type, "application/x-www-form-urlencoded"))
        return _parse_multipart_data();
    return _parse_urlencoded_data();
} catch (const std::exception &) {
    webreq::MemoryFail("_parse_request");
}

}  // extern "C"
