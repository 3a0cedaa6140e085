#include "webreq/request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/support.h"
#include "webreq/values.h"

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

}  // namespace
