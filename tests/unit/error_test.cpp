#include "webreq/error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#include "platform/platform.h"
#include "tests/unit/support.h"

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::StdoutCapture;
using testsupport::TempFolder;

// The page sent before any header carries a failure status.
const std::string kHeader = "Status: 500 Internal Server Error\nContent-Type: text/html\n\n";
const std::string kLateHeader = "Content-Type: text/html\n\n";

// The body shows the message to a client that runs no script: everything markup could take
// is escaped there.
std::string Page(const std::string &title, const std::string &alert, const std::string &body) {
    return "<html>\n<head>\n<title>Error: " + title +
           "</title>\n<script language='JavaScript'>\n  alert(\"" + alert +
           "\");\n  history.back();\n</script>\n</head>\n<body>\n<p>Error: " + body +
           "</p>\n</body>\n</html>\n";
}
std::string Page(const std::string &title, const std::string &alert) {
    return Page(title, alert, title);
}

// Each death test owns a folder for what the child writes on standard output.
class ErrorDeathTest : public ::testing::Test {
   protected:
    std::string Out() { return ReadFile(out); }
    TempFolder folder;
    std::string out = folder.Path("stdout.txt");
    std::string log = folder.Path("errors.log");
};

TEST_F(ErrorDeathTest, PlainLineAndStatusOne) {
    ScopedEnv addr("REMOTE_ADDR", nullptr);
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("x=%d", 5);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), "Error: x=5\n");
}

TEST_F(ErrorDeathTest, MessageBoundIs1023Characters) {
    ScopedEnv addr("REMOTE_ADDR", nullptr);
    const std::string longest(1023, 'm');
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("%s", longest.c_str());
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), "Error: " + longest + "\n");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_ErrorLogSet(log.c_str());
            ecError("%sm", longest.c_str());
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), "ecError(): Message is too long or invalid.");
    EXPECT_FALSE(testsupport::Exists(log)) << "no log line for an invalid message";
}

TEST_F(ErrorDeathTest, PageUnderAWebServerWithHeaderOnce) {
    ScopedEnv addr("REMOTE_ADDR", "127.0.0.1");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("Bad %s", "input");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), kHeader + Page("Bad input", "Bad input"));
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_ContentType("text/html");
            std::fputs("<p>partial body</p>\n", stdout);
            ecError("Late");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), kLateHeader + "<p>partial body</p>\n" + Page("Late", "Late"))
        << "a page after the header cannot change the status";
}

TEST_F(ErrorDeathTest, HostileMessagesCannotInjectMarkupOrScript) {
    ScopedEnv addr("REMOTE_ADDR", "127.0.0.1");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("field '%s' unknown", "</title><script>x()</script>\");alert(\"1\\\n&amp;");
        },
        testing::ExitedWithCode(1), "");
    const std::string page = Out();
    EXPECT_EQ(page.find("<script>x()"), std::string::npos);
    EXPECT_NE(page.find("<title>Error: field '&lt;/title>&lt;script>x()&lt;/script>\");alert(\"1"
                        "\\\n&amp;amp;' unknown</title>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("  alert(\"field '\\x3c/title>\\x3cscript>x()\\x3c/script>\\x22);alert("
                        "\\x221\\x5c\\x0a&amp;' unknown\");\n"),
              std::string::npos)
        << page;
    // U+2028 and U+2029 end a line inside a script string too.
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError(
                "a\xe2\x80\xa8"
                "b\xe2\x80\xa9"
                "c\xe2\x80\xaa");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_NE(Out().find("alert(\"a\\u2028b\\u2029c\xe2\x80\xaa\");"), std::string::npos) << Out();
}

// Under a web server the message also reaches the server's error log (standard error), on
// one line however many the message has; a command-line run keeps it on standard output only.
TEST_F(ErrorDeathTest, TheServersLogGetsTheMessageOnOneLine) {
    ScopedEnv addr("REMOTE_ADDR", "127.0.0.1");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("first\nsecond\r\nthird");
        },
        testing::ExitedWithCode(1), "Error: first second  third\n$");
    ScopedEnv plain("REMOTE_ADDR", nullptr);
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("only here");
        },
        testing::ExitedWithCode(1), "^$");
    EXPECT_EQ(Out(), "Error: only here\n");
}

// The body holds the message where no script runs: markup in it stays text.
TEST_F(ErrorDeathTest, TheBodyShowsTheMessageAsText) {
    ScopedEnv addr("REMOTE_ADDR", "127.0.0.1");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("bad <b>%s</b> & 'x'", "\"field\"");
        },
        testing::ExitedWithCode(1), "");
    const std::string page = Out();
    EXPECT_EQ(page.rfind("Status: 500 Internal Server Error\n", 0), 0u) << page;
    EXPECT_NE(page.find("<body>\n<p>Error: bad &lt;b&gt;&quot;field&quot;&lt;/b&gt; &amp; "
                        "&#39;x&#39;</p>\n</body>\n</html>\n"),
              std::string::npos)
        << page;
}

// Apostrophes, quotes and the rest of a message that can do no harm where they stand keep
// their bytes, on the page as in the plain line.
TEST_F(ErrorDeathTest, TheLibrarysOwnMessagesKeepTheirBytes) {
    ScopedEnv addr("REMOTE_ADDR", "127.0.0.1");
    const std::string message =
        "ec_CookieSet(): Path string(docs) must start with '/' character. It's >= 1 & ok";
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("%s", message.c_str());
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(),
              kHeader + Page("ec_CookieSet(): Path string(docs) must start with '/' character. "
                             "It's >= 1 &amp; ok",
                             message,
                             "ec_CookieSet(): Path string(docs) must start with &#39;/&#39; "
                             "character. It&#39;s &gt;= 1 &amp; ok"));
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("ec_ValueReplace(): Unknown mode \"%s\".", "xx");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), kHeader + Page("ec_ValueReplace(): Unknown mode \"xx\".",
                                    "ec_ValueReplace(): Unknown mode \\x22xx\\x22.",
                                    "ec_ValueReplace(): Unknown mode &quot;xx&quot;."));
}

TEST_F(ErrorDeathTest, NoteAndLoggingFailureShowOnlyOnThePage) {
    const std::string missing_log = folder.Path("no-such-folder/errors.log");
    {
        ScopedEnv addr("REMOTE_ADDR", "127.0.0.1");
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ec_ErrorLogSet(missing_log.c_str());
                ec_ErrorNoteSet(" Please retry.");
                ecError("Oops");
            },
            testing::ExitedWithCode(1), "");
        const std::string shown = "Oops Please retry. [ERROR LOGGING FAIL]";
        EXPECT_EQ(Out(), kHeader + Page(shown, shown));
    }
    ScopedEnv addr("REMOTE_ADDR", nullptr);
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_ErrorLogSet(missing_log.c_str());
            ec_ErrorNoteSet(" Please retry.");
            ecError("Oops");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), "Error: Oops\n");
}

TEST_F(ErrorDeathTest, LogLineNamesTheClient) {
    const std::regex stamp(R"(\d{4}/\d{2}/\d{2}\(\d{2}:\d{2}\) : )");
    struct Case {
        const char *host, *addr, *agent, *expected_tail;
    } cases[] = {
        {"client.example", "10.0.0.1", "Agent/1.0", "'Broken' from client.example (Agent/1.0)\n"},
        {nullptr, "10.0.0.1", nullptr, "'Broken' from 10.0.0.1 (null)\n"},
        {nullptr, nullptr, nullptr, "'Broken' from null (null)\n"}};
    for (const auto &c : cases) {
        ScopedEnv host("REMOTE_HOST", c.host), addr("REMOTE_ADDR", c.addr),
            agent("HTTP_USER_AGENT", c.agent);
        std::remove(log.c_str());
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ec_ErrorLogSet(log.c_str());
                ec_ErrorNoteSet(" (note)");
                ecError("Broken");
            },
            testing::ExitedWithCode(1), "");
        std::string line = ReadFile(log);
#ifdef _WIN32
        line = std::regex_replace(line, std::regex("\r\n"), "\n");  // the log is a text file
#endif
        // No ASSERT here: a death-test child runs this loop up to its own case.
        std::smatch match;
        const bool stamped = std::regex_search(line, match, stamp);
        EXPECT_TRUE(stamped) << line;
        if (!stamped) continue;
        EXPECT_EQ(match.position(0), 0);
        EXPECT_EQ(line.substr(match.length(0)), c.expected_tail);
    }
}

void MarkValues() {
    std::fputs("[values]", stdout);
}
void MarkSession() {
    std::fputs("[session]", stdout);
}
void MarkReader() {
    std::fputs("[reader]", stdout);
}

TEST_F(ErrorDeathTest, CleanUpRunsItsStepsInOrderAfterTheReport) {
    ScopedEnv addr("REMOTE_ADDR", nullptr);
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            _cleanup_register(EC_CLEANUP_FIELD_READER, MarkReader);
            _cleanup_register(EC_CLEANUP_VALUES, MarkValues);
            _cleanup_register(EC_CLEANUP_SESSION, MarkSession);
            ecError("done");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), "Error: done\n[values][session][reader]");
}

void FailAgain() {
    ecError("second error");
}

TEST_F(ErrorDeathTest, AnErrorDuringTheCleanUpEndsAtOnce) {
    ScopedEnv addr("REMOTE_ADDR", nullptr);
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            _cleanup_register(EC_CLEANUP_SESSION, FailAgain);
            ecError("first error");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), "Error: first error\n");
}

TEST_F(ErrorDeathTest, AContentTypeWithALineBreakIsRefused) {
    ScopedEnv addr("REMOTE_ADDR", nullptr);
    for (const char *type : {"text/html\r\nSet-Cookie: a=b", "text/html\nX: y", "text/\rhtml"}) {
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ec_ContentType(type);
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(Out(), "Error: ec_ContentType(): Content type must not hold CR or LF.\n");
    }
    ScopedEnv web("REMOTE_ADDR", "127.0.0.1");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_ContentType("text/plain\r\nX: y");
        },
        testing::ExitedWithCode(1), "");
    const std::string text = "ec_ContentType(): Content type must not hold CR or LF.";
    EXPECT_EQ(Out(), kHeader + Page(text, text)) << "the page's own header is the only one";
}

TEST(ContentType, WrittenOnceUntilFinish) {
    StdoutCapture capture;
    EXPECT_EQ(ec_ContentTypeSent(), 0);
    EXPECT_EQ(ec_ContentType("text/plain"), 26);
    EXPECT_EQ(ec_ContentType("text/html"), 0);
    EXPECT_EQ(ec_ContentTypeSent(), 1);
    ec_ErrorLogSet("somewhere.log");
    ec_Finish();
    EXPECT_EQ(ec_ContentTypeSent(), 0);
    EXPECT_EQ(ec_ErrorLogSet(nullptr), nullptr);
    EXPECT_EQ(capture.Text(), "Content-Type: text/plain\n\n");
}

}  // namespace
