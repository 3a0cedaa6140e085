// The block reader of multipart bodies against the byte-by-byte reference: both decode the same
// request and must give the same result, entries, counts, parts (bytes and lengths), upload
// records and error output; any difference aborts.
//
// Input: [boundary length][flags][block size][amount][seed length] seed... body template...
// In the template, 0x00 takes the next byte as it is, 0x01..0x08 stand for the pieces a body
// is made of (separators, the delimiter, part headers, a cut delimiter); other bytes are
// themselves. The flags pick how CONTENT_LENGTH relates to the body and whether small limits
// apply, so the limit and memory messages are reached as well.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "webreq/error.h"
#include "webreq/error_internal.h"
#include "webreq/request.h"
#include "webreq/request_state.h"
#include "webreq/values.h"

namespace {

struct RequestEnded {};
[[noreturn]] void EndRequest() {
    throw RequestEnded();
}

struct SeenPart {
    std::string name;
    std::string value;  // all `length` bytes
    bool operator==(const SeenPart &) const = default;
};

std::vector<SeenPart> *g_seen = nullptr;

void RecordPart(const char *name, const char *value, size_t length) {
    if (g_seen) g_seen->push_back({name, std::string(value, length)});
}

struct Outcome {
    bool ended = false;
    int result = 0;
    std::string output;
    std::vector<SeenPart> parts;
    std::vector<std::pair<std::string, std::string>> entries;
    std::vector<int> counts;
    std::vector<std::string> uploads;  // field, file name and bytes of each upload record
    bool operator==(const Outcome &) const = default;
};

struct Input {
    std::string body;
    std::string content_length;  // empty: unset
    size_t block_size = 1;
    long long body_limit = EC_MULTIPART_LIMIT;
    long long slack = EC_MULTIPART_SLACK;
};

Outcome Decode(const Input &in, webreq::MultipartMethod method) {
    Outcome outcome;
    webreq::MultipartSettings settings;
    settings.method = method;
    settings.block_size = in.block_size;
    settings.body_limit = in.body_limit;
    settings.slack = in.slack;
    settings.part_seen = RecordPart;
    webreq::MultipartSettingsSet(settings);
    g_seen = &outcome.parts;

    FILE *input = in.body.empty()
                      ? std::fopen("/dev/null", "rb")
                      : fmemopen(const_cast<char *>(in.body.data()), in.body.size(), "rb");
    char *printed = nullptr;
    size_t printed_size = 0;
    FILE *output = open_memstream(&printed, &printed_size);
    if (!input || !output) std::abort();
    FILE *saved_in = stdin, *saved_out = stdout;
    stdin = input;
    stdout = output;
    try {
        outcome.result = _parse_request();
        for (const ec_entry *e = webreq::Request().list; e; e = e->next)
            outcome.entries.emplace_back(e->name, e->value);
        outcome.counts.assign(webreq::Request().counts, webreq::Request().counts + 4);
        for (const webreq::Upload &u : webreq::Request().uploads)
            outcome.uploads.push_back(u.field + '\0' + u.filename + '\0' +
                                      std::string(u.value, u.length));
    } catch (const RequestEnded &) {
        outcome.ended = true;
    }
    std::fflush(stdout);
    stdin = saved_in;
    stdout = saved_out;
    std::fclose(input);
    std::fclose(output);
    outcome.output.assign(printed, printed_size);
    std::free(printed);
    ec_ValueFree();  // also what an error left: the values module's clean-up may be unset
    ec_Finish();
    g_seen = nullptr;
    return outcome;
}

[[noreturn]] void Differ(const char *what, const Outcome &blocks, const Outcome &bytes) {
    std::fprintf(stderr,
                 "readers differ in %s: blocks ended=%d result=%d parts=%zu output='%s'; "
                 "bytes ended=%d result=%d parts=%zu output='%s'\n",
                 what, blocks.ended, blocks.result, blocks.parts.size(), blocks.output.c_str(),
                 bytes.ended, bytes.result, bytes.parts.size(), bytes.output.c_str());
    std::abort();
}

class Bytes {
   public:
    Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }

   private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    webreq::ErrorEndHookSet(EndRequest);
    unsetenv("REMOTE_ADDR");
    unsetenv("HTTP_COOKIE");
    unsetenv("QUERY_STRING");
    setenv("REQUEST_METHOD", "POST", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    Bytes in(data, size);
    const size_t boundary_length = in.Next();
    const uint8_t flags = in.Next();
    const uint8_t block = in.Next();
    const uint8_t amount = in.Next();
    const size_t seed_length = 1 + in.Next() % 8;
    std::string seed;
    for (size_t i = 0; i < seed_length; ++i) {
        const char ch = static_cast<char>(in.Next());
        seed += ch ? ch : 'x';
    }
    std::string boundary;
    for (size_t i = 0; i < boundary_length; ++i) boundary += seed[i % seed.size()];

    // The delimiter as the decoder builds it: "--" and the boundary, blanks and line ends off
    // both ends.
    std::string open = "--" + boundary;
    const auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; };
    while (!open.empty() && blank(open.back())) open.pop_back();
    size_t lead = 0;
    while (lead < open.size() && blank(open[lead])) ++lead;
    open.erase(0, lead);

    Input input;
    while (!in.Empty()) {
        const uint8_t byte = in.Next();
        switch (byte) {
            case 0:
                input.body += static_cast<char>(in.Next());
                break;
            case 1:
                input.body += "\r\n" + open + "\r\n";
                break;
            case 2:
                input.body += "\r\n" + open + "--";
                break;
            case 3:
                input.body += open;
                break;
            case 4:
                input.body += "Content-Disposition: form-data; name=\"";
                break;
            case 5:
                input.body += "\"; filename=\"";
                break;
            case 6:
                input.body += "\r\n";
                break;
            case 7:
                input.body += "Content-Type: ";
                break;
            case 8:
                input.body += ("\r\n" + open + "--").substr(0, in.Next() % (open.size() + 5));
                break;
            default:
                input.body += static_cast<char>(byte);
                break;
        }
    }

    input.block_size = block < 192 ? 1 + block % 64 : size_t{64} << (block % 11);
    const size_t body = input.body.size();
    switch (flags & 7) {
        case 0:
            input.content_length = std::to_string(body);
            break;
        case 1:
            input.content_length = std::to_string(body > amount ? body - amount : 0);
            break;
        case 2:
            input.content_length = std::to_string(body + amount);
            break;
        case 3:
            break;
        case 4:
            input.content_length = "0";
            break;
        case 5:
            input.content_length = "12abc";
            break;
        case 6:
            input.content_length = std::to_string(EC_MULTIPART_LIMIT + 1);
            break;
        default:
            input.content_length = " +" + std::to_string(body);
            break;
    }
    if (flags & 8) {
        input.body_limit = static_cast<long long>(amount) * 7;
        input.slack = static_cast<long long>(flags >> 4) * 4096;
    }
    setenv("CONTENT_TYPE", ("multipart/form-data; boundary=" + boundary).c_str(), 1);
    if (input.content_length.empty())
        unsetenv("CONTENT_LENGTH");
    else
        setenv("CONTENT_LENGTH", input.content_length.c_str(), 1);

    const Outcome blocks = Decode(input, webreq::MultipartMethod::kBlocks);
    const Outcome bytes = Decode(input, webreq::MultipartMethod::kBytes);
    if (blocks.ended != bytes.ended || blocks.output != bytes.output)
        Differ("their end", blocks, bytes);
    if (blocks.result != bytes.result) Differ("their result", blocks, bytes);
    if (blocks.parts != bytes.parts) Differ("the parts", blocks, bytes);
    if (blocks.entries != bytes.entries) Differ("the entries", blocks, bytes);
    if (blocks.counts != bytes.counts) Differ("the counts", blocks, bytes);
    if (blocks.uploads != bytes.uploads) Differ("the upload records", blocks, bytes);
    if (!(blocks == bytes)) Differ("the outcome", blocks, bytes);
    return 0;
}
