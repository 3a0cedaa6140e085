#include "webreq/request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/support.h"
#include "webreq/values.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
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
    char rest[32] = {};
    EXPECT_STREQ(std::fgets(rest, sizeof rest, stdin), "\r\n") << "nothing after the close";
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

}  // namespace
