#include "webreq/request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/unit/support.h"
#include "webreq/channel.h"
#include "webreq/error_internal.h"
#include "webreq/request_state.h"
#include "webreq/values.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif
#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::StdoutCapture;
using testsupport::TempFolder;
using testsupport::WriteFile;

using Pairs = std::vector<std::pair<std::string, std::string>>;

// A request: the CGI variables it sets and its body on standard input.
class RequestTest : public ::testing::Test {
   protected:
    void SetUp() override { ec_ValueFree(); }
    void TearDown() override { ec_ValueFree(); }

    void Env(const char *name, const char *value) { env.emplace_back(new ScopedEnv(name, value)); }
    void Body(const std::string &bytes) {
        WriteFile(body_path, bytes);
        ASSERT_NE(std::freopen(body_path.c_str(), "rb", stdin), nullptr);
    }
    void Multipart(const std::string &boundary, const std::string &body) {
        Env("REQUEST_METHOD", "POST");
        Env("CONTENT_TYPE", ("multipart/form-data; boundary=" + boundary).c_str());
        Env("CONTENT_LENGTH", std::to_string(body.size()).c_str());
        Body(body);
    }
    static Pairs Entries() {
        Pairs out;
        for (ec_entry *e = ec_ValueList(); e; e = e->next) out.emplace_back(e->name, e->value);
        return out;
    }
    void Clear() {
        for (const char *name : {"HTTP_COOKIE", "QUERY_STRING", "REQUEST_URI", "REQUEST_METHOD",
                                 "CONTENT_TYPE", "CONTENT_LENGTH", "REMOTE_ADDR"})
            Env(name, nullptr);
    }

    TempFolder folder;
    std::string body_path = folder.Path("body");
    std::string out = folder.Path("out");
    std::vector<std::unique_ptr<ScopedEnv>> env;
};

TEST_F(RequestTest, QueryCookiesAndBodyInOrder) {
    Clear();
    Env("HTTP_COOKIE", "a=1; b=two%20words");
    Env("QUERY_STRING", "x=1&y=a+b%2Bc&novalue&&");
    Env("REQUEST_METHOD", "POST");
    Env("CONTENT_LENGTH", "13");
    Body("p=  keep&q=9");
    EXPECT_EQ(Entries(), (Pairs{{"a", "1"},
                                {"b", "two words"},
                                {"x", "1"},
                                {"y", "a b+c"},
                                {"novalue", ""},
                                {"", ""},
                                {"p", "  keep"},
                                {"q", "9"}}));
    EXPECT_EQ(_parse_request(), -1) << "decoded once";
}

TEST_F(RequestTest, EmptyQueryStringFallsBackToTheRequestUri) {
    Clear();
    Env("QUERY_STRING", "");
    Env("REQUEST_URI", "/app.cgi?k=v&w=1");
    EXPECT_EQ(Entries(), (Pairs{{"k", "v"}, {"w", "1"}}));
    ec_ValueFree();
    Env("REQUEST_URI", "/app.cgi");
    EXPECT_TRUE(Entries().empty());
}

TEST_F(RequestTest, LowerCasePostReadsNoBody) {
    Clear();
    Env("REQUEST_METHOD", "post");
    Env("CONTENT_LENGTH", "3");
    Body("a=1");
    EXPECT_TRUE(Entries().empty());
}

TEST_F(RequestTest, BodyShorterThanAnnouncedKeepsWhatArrived) {
    Clear();
    Env("REQUEST_METHOD", "POST");
    Env("CONTENT_LENGTH", "1000");
    Body("a=1");
    EXPECT_EQ(Entries(), (Pairs{{"a", "1"}}));
}

TEST_F(RequestTest, MultipartWithUploadsAndTheirFourEntries) {
    Clear();
    const std::string file("bin\0ary\r\ndata--", 15);
    Multipart("XyZ",
              "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nHello\r\n"
              "--XyZ\r\ncontent-disposition: form-data; name=\"doc\"; "
              "filename=\"C:\\Users\\ann\\report 1.bin\"\r\nContent-Type: "
              "application/x-test \r\n\r\n" +
                  file +
                  "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"empty\"; "
                  "filename=\"\"\r\n\r\n\r\n--XyZ--\r\nepilogue not read");
    const Pairs entries = Entries();
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0], (std::pair<std::string, std::string>{"title", "Hello"}));
    EXPECT_EQ(entries[1].first, "doc");
    EXPECT_EQ(entries[2], (std::pair<std::string, std::string>{"doc.length", "15"}));
    EXPECT_EQ(entries[3], (std::pair<std::string, std::string>{"doc.filename", "report 1.bin"}));
    EXPECT_EQ(entries[4],
              (std::pair<std::string, std::string>{"doc.contenttype", "application/x-test"}));
    EXPECT_EQ(entries[5], (std::pair<std::string, std::string>{"empty", ""}));
    const ec_entry *doc = ec_ValueList()->next;
    EXPECT_EQ(std::string(doc->value, 15), file) << "NUL bytes included";
    EXPECT_STREQ(ec_ValueOrigin("doc.filename"), "P");
    for (const auto &[name, value] : entries)
        EXPECT_EQ(value.find("epilogue"), std::string::npos) << "nothing after the close";
}

TEST_F(RequestTest, BoundaryOf249CharactersIsAccepted) {
    Clear();
    const std::string boundary(249, 'b');
    Multipart(boundary, "--" + boundary +
                            "\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nv\r\n--" +
                            boundary + "--");
    EXPECT_EQ(Entries(), (Pairs{{"f", "v"}}));
}

struct Broken {
    const char *what;
    std::string content_type;
    std::string body;
    std::string message;
};

TEST_F(RequestTest, BrokenRequestsEndTheProcessWithTheirMessage) {
    Clear();
    const std::vector<Broken> cases = {
        {"long boundary", "multipart/form-data; boundary=" + std::string(250, 'b'), "",
         "Error: _parse_multipart_data(): The boundary string is too long. Stopping process.\n"},
        {"no boundary", "multipart/form-data", "--x\r\n",
         "Error: _parse_multipart_data(): The content type holds no boundary.\n"},
        {"empty body", "multipart/form-data; boundary=x", "",
         "Error: _parse_multipart_data(): Your browser sent a non-HTTP compliant message.\n"},
        {"quoted boundary", "multipart/form-data; boundary=\"x\"", "--x\r\n",
         "Error: _parse_multipart_data(): String format invalid.\n"},
        {"cut body", "multipart/form-data; boundary=x",
         "--x\r\nContent-Disposition: form-data; name=\"last\"\r\n\r\nno close",
         "Error: _parse_multipart_data(): \t\t\tBroken stream at end of 'last'.\n"},
    };
    for (const auto &c : cases) {
        Env("REQUEST_METHOD", "POST");
        Env("CONTENT_TYPE", c.content_type.c_str());
        Env("CONTENT_LENGTH", std::to_string(c.body.size()).c_str());
        Body(c.body);
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ec_ValueList();
            },
            testing::ExitedWithCode(1), "")
            << c.what;
        EXPECT_EQ(ReadFile(out), c.message) << c.what;
    }
}

TEST_F(RequestTest, InvalidContentLengthsAreRefused) {
    Clear();
    Env("REQUEST_METHOD", "POST");
    Body("a=1");
    const std::vector<std::pair<const char *, std::string>> cases = {
        {nullptr, "Error: _get_query(): Your browser sent a non-HTTP compliant message.\n"},
        {"-5", "Error: _get_query(): Invalid CONTENT_LENGTH (-5).\n"},
        {"12abc", "Error: _get_query(): Invalid CONTENT_LENGTH (12abc).\n"},
        {"999999999999", "Error: _get_query(): Request body is too large.\n"},
    };
    for (const auto &[length, message] : cases) {
        Env("CONTENT_LENGTH", length);
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ec_ValueList();
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(ReadFile(out), message);
    }
}

// A server passes an empty CONTENT_LENGTH for a request without a body.
TEST_F(RequestTest, AnEmptyContentLengthIsAnEmptyBody) {
    Clear();
    Env("REQUEST_METHOD", "POST");
    Env("QUERY_STRING", "q=1");
    Env("CONTENT_LENGTH", "");
    // The Windows C runtime drops a variable set to an empty text while the process runs.
    if (!platform::EnvGet("CONTENT_LENGTH")) GTEST_SKIP() << "no empty variable can be set here";
    Body("");
    EXPECT_EQ(Entries(), (Pairs{{"q", "1"}}));
}

TEST_F(RequestTest, ContentLengthIsADecimalIntegerWithBlanksAndSign) {
    Clear();
    Env("REQUEST_METHOD", "POST");
    for (const char *length : {"  3", "+3", "\t+3"}) {
        ec_ValueFree();
        Env("CONTENT_LENGTH", length);
        Body("a=1");
        EXPECT_EQ(Entries(), (Pairs{{"a", "1"}})) << "[" << length << "]";
    }
    ec_ValueFree();
    for (const char *length : {"+", " ", "+-3", "3 "}) {
        Env("CONTENT_LENGTH", length);
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ec_ValueList();
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(ReadFile(out),
                  "Error: _get_query(): Invalid CONTENT_LENGTH (" + std::string(length) + ").\n");
    }
}

// The rest of an over-long header line is passed over: here it would be a second
// Content-Disposition that renames the part and makes it an upload.
TEST_F(RequestTest, OverLongHeaderLinesAreNeverReadAsTheirOwnHeader) {
    Clear();
    const std::string first = "Content-Disposition: form-data; name=\"note\"; x=\"";
    const std::string pad(1023 - first.size(), 'A');
    Multipart("b", "--b\r\n" + first + pad +
                       "Content-Disposition: form-data; name=\"upload\"; filename=\"evil.html\""
                       "\r\n\r\nv\r\n--b--");
    EXPECT_EQ(Entries(), (Pairs{{"note", "v"}}));
    EXPECT_EQ(ec_UploadValue("upload", nullptr), nullptr);
}

TEST_F(RequestTest, FileNamesLoseWindowsAndPosixFolders) {
    Clear();
    Multipart("b",
              "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"../../www/x.html\"\r\n"
              "\r\n1\r\n--b\r\nContent-Disposition: form-data; name=\"g\"; "
              "filename=\"C:\\a/b\\ c.txt \"\r\n\r\n2\r\n--b--");
    EXPECT_STREQ(ec_Value("f.filename"), "x.html");
    EXPECT_STREQ(ec_Value("g.filename"), "c.txt");
    EXPECT_STREQ(ec_UploadFileName("g"), "c.txt");
}

// The accessor reads the decoder's own record: no entry named like the upload's describing
// entries, from any origin, changes the bytes or the length it gives.
TEST_F(RequestTest, UploadAccessorCannotBeSpoofed) {
    Clear();
    Env("HTTP_COOKIE", "upload.length=200000; upload=cookie");
    Env("QUERY_STRING", "upload.length=300000&upload=query");
    const std::string bytes("4b\0t", 4);
    Multipart("b",
              "--b\r\nContent-Disposition: form-data; name=\"upload.length\"\r\n\r\n400000\r\n"
              "--b\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"f.bin\"\r\n\r\n" +
                  bytes + "\r\n--b--");
    EXPECT_STREQ(ec_Value("upload.length"), "200000") << "the cookie comes first";
    size_t length = 99;
    const char *value = ec_UploadValue("upload", &length);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::string(value, length), bytes);
    EXPECT_STREQ(ec_UploadFileName("upload"), "f.bin");
    EXPECT_EQ(ec_UploadValue("upload.length", &length), nullptr) << "a field, not a file";
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(ec_UploadValue(nullptr, nullptr), nullptr);

    ec_ValueAdd("upload", "added");
    EXPECT_EQ(ec_UploadValue("upload", nullptr), value) << "an added value changes nothing";
    ec_ValueReplace("tr", "upload", "b", "B");
    EXPECT_EQ(ec_UploadValue("upload", nullptr), nullptr) << "a replaced value is no upload";
}

TEST_F(RequestTest, UploadAccessorGivesNothingForUrlencodedBodiesOrRemovedFields) {
    Clear();
    Env("REQUEST_METHOD", "POST");
    const std::string body = "upload=abcd&upload.length=200000&upload.filename=x.txt";
    Env("CONTENT_LENGTH", std::to_string(body.size()).c_str());
    Body(body);
    EXPECT_EQ(ec_UploadValue("upload", nullptr), nullptr);
    EXPECT_EQ(ec_UploadFileName("upload"), nullptr);
    ec_ValueFree();
    Env("QUERY_STRING", "q=1");  // the list stays non-empty, so nothing decodes again
    Multipart("b",
              "--b\r\nContent-Disposition: form-data; name=\"up\"; filename=\"a\"\r\n\r\n12\r\n"
              "--b--");
    size_t length = 0;
    EXPECT_NE(ec_UploadValue("up", &length), nullptr);
    EXPECT_EQ(length, 2u);
    ec_ValueRemove("up");
    EXPECT_EQ(ec_UploadValue("up", &length), nullptr);
}

#ifdef __GLIBC__
// Each part's value starts at 16384 bytes and keeps only what it holds once read: 300,000
// empty parts would otherwise touch more than a gigabyte.
TEST_F(RequestTest, PartValuesGiveBackTheirUnusedRoom) {
    Clear();
    std::string body = "--b\r\n";
    for (int i = 0; i < 1000; ++i)
        body += "Content-Disposition: form-data; name=\"p\"\r\n\r\n" + std::to_string(i) +
                "\r\n--b\r\n";
    body += "Content-Disposition: form-data; name=\"last\"\r\n\r\n\r\n--b--";
    Multipart("b", body);
    int parts = 0;
    for (ec_entry *e = ec_ValueList(); e; e = e->next, ++parts)
        EXPECT_LT(malloc_usable_size(e->value), 64u) << e->name << " = " << e->value;
    EXPECT_EQ(parts, 1001);
}
#endif

TEST_F(RequestTest, ManyTinyPartsDecodeWhileTheirMemoryFitsTheBody) {
    Clear();
    std::string body = "--b\r\n";
    const std::string part = "Content-Disposition: form-data; name=\"f\"\r\n\r\n\r\n--b\r\n";
    for (int i = 0; i < 300000; ++i) body += part;
    body += "\r\n\r\n--b--";
    Multipart("b", body);
    int parts = 0;
    for (ec_entry *e = ec_ValueList(); e; e = e->next) ++parts;
    EXPECT_EQ(parts, 300001);
}

struct Refused {
    const char *what;
    std::string content_type;
    std::string content_length;
    std::string body;
    std::string message;
};

std::string HeaderlessParts(int count) {
    std::string body = "--b\r\n";
    for (int i = 0; i < count; ++i) body += "\r\n\r\n--b\r\n";
    return body + "\r\n\r\n--b--";
}

TEST_F(RequestTest, BodiesBeyondTheirLimitsAreRefusedWithTheirMessage) {
    Clear();
    const std::string fields(EC_FIELD_LIMIT, '&');
    const std::vector<Refused> cases = {
        {"urlencoded body of more fields than the limit", "", std::to_string(fields.size() + 1),
         fields + "a",
         "Error: _parse_urlencoded_data(): The request holds more than 100000 fields.\n"},
        {"multipart body announced over the limit", "multipart/form-data; boundary=b",
         " +" + std::to_string(EC_MULTIPART_LIMIT + 1), "--b\r\n\r\nv\r\n--b--",
         "Error: _parse_multipart_data(): Request body is too large.\n"},
        {"300,000 parts without headers in 2.7 MB", "multipart/form-data; boundary=b", "",
         HeaderlessParts(300000),
         "Error: _parse_multipart_data(): The request holds too many parts for its size.\n"},
    };
    for (const auto &c : cases) {
        Env("REQUEST_METHOD", "POST");
        Env("CONTENT_TYPE", c.content_type.empty() ? nullptr : c.content_type.c_str());
        Env("CONTENT_LENGTH",
            (c.content_length.empty() ? std::to_string(c.body.size()) : c.content_length).c_str());
        Body(c.body);
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ec_ValueList();
            },
            testing::ExitedWithCode(1), "")
            << c.what;
        EXPECT_EQ(ReadFile(out), c.message) << c.what;
    }
    ec_ValueFree();
    Env("CONTENT_TYPE", nullptr);
    const std::string at_limit = std::string(EC_FIELD_LIMIT - 1, '&') + "a";
    Env("CONTENT_LENGTH", std::to_string(at_limit.size()).c_str());
    Body(at_limit);
    int entries = 0;
    for (ec_entry *e = ec_ValueList(); e; e = e->next) ++entries;
    EXPECT_EQ(entries, EC_FIELD_LIMIT) << "the limit itself is accepted";
}

// The block reader against the byte-by-byte reference, through every path of the body: both
// decode the same request and must give the same parts (bytes and lengths), entries, counts,
// upload records and error output. Errors end the request through the error hook, not the
// process, so that many decodings fit in one test.
using webreq::MultipartMethod;

struct RequestEnded {};
[[noreturn]] void EndRequest() {
    throw RequestEnded();
}

struct Decoded {
    bool ended = false;
    std::string output;
    Pairs parts;  // name and all the bytes of each part's value, as the decoder appended it
    Pairs entries;
    std::vector<int> counts;
    Pairs uploads;  // field and bytes of each upload record
    bool operator==(const Decoded &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Decoded &d) {
    out << (d.ended ? "ended: " + d.output : "decoded") << "; parts:";
    for (const auto &[name, value] : d.parts) out << " [" << name << "]=" << value.size();
    return out;
}

Pairs *g_parts = nullptr;
void RecordPart(const char *name, const char *value, size_t length) {
    if (g_parts) g_parts->emplace_back(name, std::string(value, length));
}

class MultipartReaderTest : public RequestTest {
   protected:
    void SetUp() override {
        RequestTest::SetUp();
        saved_ = webreq::MultipartSettingsGet();
        webreq::ErrorEndHookSet(EndRequest);
        Clear();
        Env("REQUEST_METHOD", "POST");
    }
    void TearDown() override {
        webreq::MultipartSettingsSet(saved_);
        webreq::ErrorEndHookSet(nullptr);
        RequestTest::TearDown();
    }

    // One decoding of the body; content_length null: the body's size, "" unset.
    Decoded Decode(const std::string &boundary, const std::string &body, MultipartMethod method,
                   size_t block_size = 64 * 1024, const char *content_length = nullptr) {
        Env("CONTENT_TYPE", ("multipart/form-data; boundary=" + boundary).c_str());
        const std::string honest = std::to_string(body.size());
        Env("CONTENT_LENGTH", !content_length   ? honest.c_str()
                              : *content_length ? content_length
                                                : nullptr);
        Body(body);
        webreq::MultipartSettings settings = limits;
        settings.method = method;
        settings.block_size = block_size;
        settings.part_seen = RecordPart;
        webreq::MultipartSettingsSet(settings);
        Decoded d;
        g_parts = &d.parts;
        {
            StdoutCapture capture;
            try {
                _parse_request();
                for (ec_entry *e = webreq::Request().list; e; e = e->next)
                    d.entries.emplace_back(e->name, e->value);
                d.counts.assign(webreq::Request().counts, webreq::Request().counts + 4);
                for (const webreq::Upload &u : webreq::Request().uploads)
                    d.uploads.emplace_back(u.field, std::string(u.value, u.length));
            } catch (const RequestEnded &) {
                d.ended = true;
            }
            d.output = capture.Text();
        }
        g_parts = nullptr;
        ec_ValueFree();
        return d;
    }

    // The reference's decoding, after checking that blocks of every given size give the same.
    Decoded Agreed(const std::string &boundary, const std::string &body,
                   const std::vector<size_t> &block_sizes, const char *content_length = nullptr) {
        const Decoded reference =
            Decode(boundary, body, MultipartMethod::kBytes, 1, content_length);
        for (size_t block : block_sizes)
            EXPECT_EQ(Decode(boundary, body, MultipartMethod::kBlocks, block, content_length),
                      reference)
                << "blocks of " << block << " bytes, boundary of " << boundary.size();
        return reference;
    }

    static std::vector<size_t> Range(size_t from, size_t to) {
        std::vector<size_t> sizes;
        for (size_t size = from; size <= to; ++size) sizes.push_back(size);
        return sizes;
    }

    webreq::MultipartSettings limits;
    webreq::MultipartSettings saved_;
};

std::string FormPart(const std::string &name, const std::string &value,
                     const std::string &extra = "") {
    return "Content-Disposition: form-data; name=\"" + name + "\"" + extra + "\r\n\r\n" + value;
}

// A body with a file of NUL bytes, line ends and near-delimiters, then a field and an empty
// field: every separator lands across some block border for sizes 1 to 64.
const std::string kFile("a\0\r\n--XyZ-\r\n--Xy\r\r\n--XyZ\t\0\n", 28);
std::string SampleBody() {
    return "--XyZ\r\n" +
           FormPart("doc", kFile, "; filename=\"C:\\up\\f.bin\"\r\nContent-Type: text/x") +
           "\r\n--XyZ\r\n" + FormPart("title", "x--XyZ") + "\r\n--XyZ\r\n" + FormPart("empty", "") +
           "\r\n--XyZ--";
}

#ifndef _WIN32
// A client that keeps its connection open after the close delimiter: decoding ends at once,
// whatever CONTENT_LENGTH says, and the bytes that follow are still there for the page. The
// child's alarm ends a reader that waits for more.
TEST_F(MultipartReaderTest, NothingPastTheCloseDelimiterIsReadOrWaitedFor) {
    const std::string body = SampleBody();
    const std::string after = "after the body";
    const std::string exact = std::to_string(body.size() + after.size());
    for (const char *length : {"", "100000", exact.c_str()}) {
        for (const size_t block : {size_t{64 * 1024}, size_t{7}}) {
            limits.block_size = block;
            EXPECT_EXIT(
                {
                    int ends[2];
                    if (pipe(ends) != 0) std::_Exit(20);
                    const std::string sent = body + after;
                    if (write(ends[1], sent.data(), sent.size()) !=
                        static_cast<ssize_t>(sent.size()))
                        std::_Exit(21);
                    // The write end stays open: the stream never ends.
                    dup2(ends[0], 0);
                    std::clearerr(stdin);
                    Env("CONTENT_TYPE", "multipart/form-data; boundary=XyZ");
                    Env("CONTENT_LENGTH", *length ? length : nullptr);
                    webreq::MultipartSettings settings = limits;
                    settings.method = MultipartMethod::kBlocks;
                    webreq::MultipartSettingsSet(settings);
                    alarm(5);
                    const auto start = std::chrono::steady_clock::now();
                    if (_parse_request() != 3) std::_Exit(22);
                    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(1))
                        std::_Exit(23);
                    char rest[64] = {};
                    if (ec_ChannelRead(rest, after.size()) != static_cast<long>(after.size()) ||
                        after != rest)
                        std::_Exit(24);
                    std::_Exit(0);
                },
                testing::ExitedWithCode(0), "")
                << "CONTENT_LENGTH \"" << length << "\", blocks of " << block;
        }
    }
}
#endif

TEST_F(MultipartReaderTest, DelimitersSplitAtEveryBlockBorder) {
    std::vector<size_t> sizes = Range(1, 64);
    sizes.push_back(SampleBody().size());
    sizes.push_back(64 * 1024);
    const Decoded d = Agreed("XyZ", SampleBody(), sizes);
    EXPECT_FALSE(d.ended) << d.output;
    EXPECT_EQ(d.parts, (Pairs{{"doc", kFile}, {"title", "x--XyZ"}, {"empty", ""}}));
    EXPECT_EQ(d.entries, (Pairs{{"doc", "a"},
                                {"doc.length", "28"},
                                {"doc.filename", "f.bin"},
                                {"doc.contenttype", "text/x"},
                                {"title", "x--XyZ"},
                                {"empty", ""}}));
    EXPECT_EQ(d.counts, (std::vector<int>{0, 0, 6, 0}));
    EXPECT_EQ(d.uploads, (Pairs{{"doc", kFile}}));
}

TEST_F(MultipartReaderTest, BoundariesOfEveryLength) {
    for (size_t length = 0; length <= 250; ++length) {
        std::string boundary;
        for (size_t i = 0; i < length; ++i) boundary += "-x="[i % 3];
        // Near-delimiters: the boundary less its last byte, and followed by "-x".
        std::string value = "v";
        if (length > 0) value += "\r\n--" + boundary.substr(0, length - 1) + "\r\n";
        value += "\r\n--" + boundary + "-x";
        const std::string body = "--" + boundary + "\r\n" + FormPart("f", value) + "\r\n--" +
                                 boundary + "\r\n" + FormPart("g", "w") + "\r\n--" + boundary +
                                 "--";
        const Decoded d = Agreed(boundary, body, {1, 3, length + 6, 64, 64 * 1024});
        if (length == 250) {
            EXPECT_EQ(d.output,
                      "Error: _parse_multipart_data(): The boundary string is too long. "
                      "Stopping process.\n");
        } else {
            EXPECT_EQ(d.parts, (Pairs{{"f", value}, {"g", "w"}})) << "boundary of " << length;
        }
    }
}

TEST_F(MultipartReaderTest, LineEndQuirksEndValuesAsTheReferenceDoes) {
    const struct {
        const char *what;
        std::string body;
        Pairs parts;
    } cases[] = {
        {"bare LF before the delimiter",
         "--b\r\n" + FormPart("a", "1\n--b\r\n2") + "\r\n--b--",
         {{"a", "1\n--b\r\n2"}}},
        {"CR without LF",
         "--b\r\n" + FormPart("a", "1\r--b\r\n2") + "\r\n--b--",
         {{"a", "1\r--b\r\n2"}}},
        {"CR before the delimiter", "--b\r\n" + FormPart("a", "1\r") + "\r\n--b--", {{"a", "1\r"}}},
        {"blank line before the delimiter",
         "--b\r\n" + FormPart("a", "1\r\n") + "\r\n--b--",
         {{"a", "1\r\n"}}},
        {"delimiter without its line end",
         "--b\r\n" + FormPart("a", "1\r\n--bX\r\n--b-\r\n") + "\r\n--b--",
         {{"a", "1\r\n--bX\r\n--b-\r\n"}}},
        {"value that begins with the delimiter",
         "--b\r\n" + FormPart("a", "") + "--b\r\n" + FormPart("c", "") + "--b--",
         {{"a", ""}, {"c", ""}}},
        {"bare LF as a header line",
         "--b\r\nContent-Disposition: form-data; name=\"a\"\n\n\r\n1\r\n--b--",
         {{"a", "1"}}},
        {"first line a CR LF, delimiter with more after it",
         "\r\n--bmore\r\n" + FormPart("a", "1") + "\r\n--b--",
         {{"a", "1"}}},
    };
    for (const auto &c : cases) {
        const Decoded d = Agreed("b", c.body, Range(1, 16));
        EXPECT_FALSE(d.ended) << c.what << ": " << d.output;
        EXPECT_EQ(d.parts, c.parts) << c.what;
    }
}

TEST_F(MultipartReaderTest, TruncatedBodiesFailAlike) {
    const std::string body = SampleBody();
    for (size_t cut = 0; cut <= body.size(); ++cut) {
        const Decoded d = Agreed("XyZ", body.substr(0, cut), {1, 5, 64});
        EXPECT_EQ(d.ended, cut < body.size()) << "cut at " << cut;
    }
    EXPECT_EQ(Agreed("XyZ", "", {1}).output,
              "Error: _parse_multipart_data(): Your browser sent a non-HTTP compliant message.\n");
    EXPECT_EQ(Agreed("XyZ", body.substr(0, body.size() - 1), {1, 7}).output,
              "Error: _parse_multipart_data(): \t\t\tBroken stream at end of 'empty'.\n");
    EXPECT_EQ(Agreed("XyZ", body.substr(0, 20), {1, 7}).output,
              "Error: _parse_multipart_data(): \t\t\tBroken stream at end of ''.\n")
        << "cut inside the first part's headers";
}

TEST_F(MultipartReaderTest, DataAfterTheCloseDelimiterIsNotUsed) {
    const std::string epilogue =
        "\r\n--XyZ\r\n" + FormPart("late", "x", "; filename=\"late.txt\"") + "\r\n--XyZ--\r\n";
    const std::string body = SampleBody();
    const Decoded plain = Agreed("XyZ", body, {1, 64});
    EXPECT_EQ(Agreed("XyZ", body + epilogue, {1, 2, 64, 64 * 1024}), plain);
    // Past the body's limit, the epilogue still counts for nothing.
    limits.body_limit = static_cast<long long>(body.size());
    const std::string announced = std::to_string(body.size());
    EXPECT_EQ(Agreed("XyZ", body + epilogue + std::string(5000, 'z'), {1, 64, 64 * 1024},
                     announced.c_str()),
              plain);
    EXPECT_EQ(Agreed("XyZ", body + epilogue, {1, 64}, "").ended, false);
    // The reference leaves the input right after the close.
    limits = webreq::MultipartSettings();
    Decode("XyZ", body + epilogue, MultipartMethod::kBytes);
    char rest[16] = {};
    EXPECT_STREQ(std::fgets(rest, sizeof rest, stdin), "\r\n");
}

TEST_F(MultipartReaderTest, AnnouncedLengthChangesNothing) {
    const std::string body = SampleBody();
    const Decoded honest = Agreed("XyZ", body, {1, 64});
    for (const char *length : {"", "10", "0", "100000", "12abc", " +30"})
        EXPECT_EQ(Agreed("XyZ", body, {1, 7, 64}, length), honest) << "[" << length << "]";
}

// The body limit and the memory bound stop both readers at the same byte, with the same
// parts appended before.
TEST_F(MultipartReaderTest, LimitsStopBothReadersAtTheSameByte) {
    const std::string body = SampleBody();
    for (long long limit = 0; limit <= static_cast<long long>(body.size()) + 1; ++limit) {
        limits.body_limit = limit;
        const Decoded d = Agreed("XyZ", body, {1, 6, 64});
        EXPECT_EQ(d.ended, limit < static_cast<long long>(body.size())) << limit;
        if (d.ended) {
            EXPECT_EQ(d.output, "Error: _parse_multipart_data(): Request body is too large.\n");
        }
    }
    limits = webreq::MultipartSettings();
    std::string many = "--b\r\n";
    for (int i = 0; i < 40; ++i) many += FormPart("p", std::string(i * 900, 'v')) + "\r\n--b\r\n";
    many += "\r\n\r\n--b--";
    int stopped = 0;
    for (long long slack = 0; slack <= 40000; slack += 2500) {
        limits.slack = slack;
        const Decoded d = Agreed("b", many, {1, 6, 4096});
        if (d.ended) {
            ++stopped;
            EXPECT_EQ(d.output,
                      "Error: _parse_multipart_data(): The request holds too many parts for its "
                      "size.\n");
        }
    }
    EXPECT_GT(stopped, 0);
    EXPECT_LT(stopped, 17) << "a slack that lets the body through";
}

}  // namespace

namespace {

// Pseudo-random bytes with CR, LF and '-' frequent, and near-delimiters of "--" boundary cut
// at every length (an 'x' after each, so none becomes a separator), so that a large value
// holds separator beginnings at many block borders.
std::string LargeValue(const std::string &boundary, size_t size, unsigned seed) {
    const std::string near = "\r\n--" + boundary + "--";
    std::string value;
    unsigned state = seed;
    size_t cut = 0;
    while (value.size() < size) {
        state = state * 1103515245u + 12345u;
        const unsigned pick = (state >> 16) % 16;
        if (pick == 0) {
            value += near.substr(0, cut++ % (near.size() - 1)) + "x";
        } else {
            value += "\r\n-\0x"[pick % 5];
        }
    }
    value.resize(size);
    return value;
}

std::vector<size_t> *g_rooms = nullptr;
void RecordRoom(size_t room) {
    if (g_rooms) g_rooms->push_back(room);
}

}  // namespace

// Values over two blocks are read straight into their own memory: every announced length,
// block size and split of the next part's headers still gives the reference's result.
TEST_F(MultipartReaderTest, LargeValuesReadIntoTheirRoomAgreeWithTheReference) {
    const std::string big = LargeValue("XyZ", 20000, 1), other = LargeValue("XyZ", 9000, 2);
    const std::string body = "--XyZ\r\n" + FormPart("big", big, "; filename=\"big.bin\"") +
                             "\r\n--XyZ\r\n" + FormPart("small", "s") + "\r\n--XyZ\r\n" +
                             FormPart("other", other) + "\r\n--XyZ\r\n" + FormPart("empty", "") +
                             "\r\n--XyZ--\r\nepilogue";
    const std::string longer = std::to_string(body.size() + 1000);
    for (const char *length : {static_cast<const char *>(nullptr), "", "100", longer.c_str()}) {
        const Decoded d = Agreed("XyZ", body, {3, 64, 500, 4096, 65536}, length);
        EXPECT_FALSE(d.ended) << d.output;
        EXPECT_EQ(d.parts, (Pairs{{"big", big}, {"small", "s"}, {"other", other}, {"empty", ""}}))
            << "CONTENT_LENGTH " << (length ? length : "(the body's)");
        EXPECT_EQ(d.uploads, (Pairs{{"big", big}}));
    }
    // Cut inside a large value, inside its separator and just after it.
    const size_t end_of_big =
        body.find("\r\n--XyZ\r\nContent-Disposition: form-data; name=\"small");
    for (size_t cut : {end_of_big - 1, end_of_big + 3, end_of_big + 9}) {
        const Decoded d = Agreed("XyZ", body.substr(0, cut), {64, 4096});
        EXPECT_TRUE(d.ended) << cut;
    }
}

// The body limit and the memory bound reached inside a value read straight into its memory.
TEST_F(MultipartReaderTest, LimitsInsideLargeValuesStopBothReadersAtTheSameByte) {
    const std::string big = LargeValue("b", 30000, 3);
    const std::string body = "--b\r\n" + FormPart("big", big) + "\r\n--b--";
    for (long long limit = 1000; limit < static_cast<long long>(body.size()); limit += 2777) {
        limits.body_limit = limit;
        const Decoded d = Agreed("b", body, {64, 1000, 4096});
        EXPECT_EQ(d.output, "Error: _parse_multipart_data(): Request body is too large.\n")
            << limit;
    }
    limits = webreq::MultipartSettings();
    int stopped = 0;
    for (long long slack = 0; slack <= 70000; slack += 7000) {
        limits.slack = slack;
        const Decoded d = Agreed("b", body, {64, 1000, 4096});
        if (d.ended) {
            ++stopped;
            EXPECT_EQ(d.output,
                      "Error: _parse_multipart_data(): The request holds too many parts for its "
                      "size.\n");
        }
    }
    EXPECT_GT(stopped, 0) << "no slack small enough to stop the value";
    EXPECT_LT(stopped, 11) << "no slack large enough to let the value through";
}

// A large value with an honest length gets its memory in a few steps, not at every doubling
// as the reference does, and never more than the request may hold: 3 times the body read so
// far plus the slack.
TEST_F(MultipartReaderTest, LargeValuesGrowSeldomWithinTheMemoryBound) {
    const std::string big = LargeValue("b", 1 << 20, 4);
    const std::string body = "--b\r\n" + FormPart("big", big) + "\r\n--b--";
    std::vector<size_t> blocks_rooms, bytes_rooms;
    limits.room_grown = RecordRoom;
    g_rooms = &bytes_rooms;
    const Decoded reference = Decode("b", body, MultipartMethod::kBytes, 1);
    g_rooms = &blocks_rooms;
    EXPECT_EQ(Decode("b", body, MultipartMethod::kBlocks, 4096), reference);
    EXPECT_EQ(reference.parts, (Pairs{{"big", big}}));
    EXPECT_EQ(bytes_rooms.size(), 8u) << "16 KiB doubled up to 2 MiB";
    EXPECT_LE(blocks_rooms.size(), 2u);
    ASSERT_FALSE(blocks_rooms.empty());
    EXPECT_GE(blocks_rooms.back(), big.size());
    EXPECT_LE(blocks_rooms.back(), body.size() + 1);

    // A small slack: the memory comes in more steps, each within the bound.
    limits.slack = 64 * 1024;
    blocks_rooms.clear();
    const Decoded tight = Decode("b", body, MultipartMethod::kBlocks, 4096);
    EXPECT_EQ(tight.parts, reference.parts) << tight.output;
    EXPECT_GT(blocks_rooms.size(), 2u);
    EXPECT_LT(blocks_rooms.size(), bytes_rooms.size());
    for (size_t room : blocks_rooms) EXPECT_LE(room, 3 * body.size() + 64 * 1024);

    // Without a length the memory still grows by doubling at least.
    limits = webreq::MultipartSettings();
    limits.room_grown = RecordRoom;
    blocks_rooms.clear();
    EXPECT_EQ(Decode("b", body, MultipartMethod::kBlocks, 4096, "").parts, reference.parts);
    EXPECT_LE(blocks_rooms.size(), bytes_rooms.size());
    g_rooms = nullptr;
}
