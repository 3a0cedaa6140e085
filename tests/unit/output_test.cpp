#include "webreq/output.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "tests/unit/support.h"

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::StdoutCapture;
using testsupport::TempFolder;
using testsupport::WriteFile;

using testsupport::FreeDeleter;

std::string Autolink(int mode, const std::string &text) {
    std::string work = text;
    StdoutCapture capture;
    _autolink(mode, work.data());
    return capture.Text();
}

TEST(Autolink, EscapingModeOne) {
    EXPECT_EQ(Autolink(1, "x<y> & \"z\""), "x&lt;y&gt; & &quot;z&quot;");
    EXPECT_EQ(Autolink(1, "mail me: abcd@ef.gh"), "mail me: abcd@ef.gh");
    EXPECT_EQ(Autolink(0, "<b>as is</b>"), "<b>as is</b>");
}

TEST(Autolink, StrippingRemovesTagsWithTheirContents) {
    EXPECT_EQ(Autolink(4, "x<b>y</b>z"), "xyz");
    EXPECT_EQ(Autolink(4, "say \"hi\" <i class='a'>there</i>"), "say &quot;hi&quot; there");
    EXPECT_EQ(Autolink(4, "open <tag never closed"), "open ");
}

TEST(Autolink, LinksAndTargets) {
    EXPECT_EQ(Autolink(13, "see http://example.com/a?b=1, then"),
              "see <a href=\"http://example.com/a?b=1\" target=\"_top\">http://example.com/a?b=1"
              "</a>, then");
    EXPECT_EQ(Autolink(2, "https://x.test/"),
              "<a href=\"https://x.test/\" target=\"\">https://x.test/</a>");
    EXPECT_EQ(Autolink(23, "ftp://f.test"),
              "<a href=\"ftp://f.test\" target=\"ecnewwin\">ftp://f.test</a>");
    EXPECT_EQ(Autolink(2, "write abcd@ef.gh now"),
              "write <a href=\"mailto:abcd@ef.gh\">abcd@ef.gh</a> now");
    EXPECT_EQ(Autolink(1, "http://x.test"), "http://x.test") << "mode 1 makes no links";
    EXPECT_EQ(Autolink(5, "<a href=\"http://evil\">http://ok.test</a>"),
              "<a href=\"http://ok.test\" target=\"\">http://ok.test</a>");
}

TEST(Autolink, LineBreakModes) {
    EXPECT_EQ(Autolink(11, "a  b\r\nc"), "a &nbsp;b<br>\nc");
    EXPECT_EQ(Autolink(11, "a   b"), "a &nbsp;&nbsp;b");
    EXPECT_EQ(Autolink(1, "a  b\r\nc"), "a  b\r\nc") << "breaks off";
    EXPECT_EQ(Autolink(10, "<a>  b\r\nc"), "<a> &nbsp;b<br>\nc");
    EXPECT_EQ(Autolink(16, "x <b>y</b>\nhttp://l.test"),
              "x y<br>\n<a href=\"http://l.test\" target=\"_top\">http://l.test</a>");
}

TEST(Autolink, NullTextWritesNothing) {
    StdoutCapture capture;
    _autolink(1, nullptr);
    EXPECT_EQ(capture.Text(), "");
}

TEST(AutolinkDeathTest, InvalidModeEndsTheProcess) {
    TempFolder folder;
    const std::string out = folder.Path("out");
    ScopedEnv addr("REMOTE_ADDR", nullptr);
    for (int mode : {7, 20, -1}) {
        char text[] = "text";
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                _autolink(mode, text);
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(ReadFile(out),
                  "Error: _autolink(): Invalid Mode (" + std::to_string(mode) + ").\n");
    }
}

TEST(Printf, FormatsThenConverts) {
    StdoutCapture capture;
    EXPECT_EQ(ec_Printf(1, "%d < %s", 3, "four"), 8);
    EXPECT_EQ(capture.Text(), "3 &lt; four");
}

TEST(PrintfDeathTest, OverLongTextEndsTheProcess) {
    TempFolder folder;
    const std::string out = folder.Path("out");
    ScopedEnv addr("REMOTE_ADDR", nullptr);
    const std::string longest(10239, 'p');
    {
        StdoutCapture capture;
        EXPECT_EQ(ec_Printf(0, "%s", longest.c_str()), 10239);
        EXPECT_EQ(capture.Text(), longest);
    }
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_Printf(0, "%sp", longest.c_str());
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(out), "Error: ec_Printf(): Message is too long or invalid.\n");
}

TEST(NextToken, TokensStopsAndTheEnd) {
    char text[] = ",a,,b";
    char stop = 'x';
    EXPECT_STREQ(_next_token(text, ",", &stop), "");
    EXPECT_EQ(stop, ',');
    EXPECT_STREQ(_next_token(nullptr, ",", &stop), "a");
    EXPECT_STREQ(_next_token(nullptr, ",", &stop), "");
    EXPECT_STREQ(_next_token(nullptr, ",", &stop), "b");
    EXPECT_EQ(stop, 0);
    EXPECT_EQ(_next_token(nullptr, ",", &stop), nullptr);
}

TEST(IsEmail, TheRule) {
    EXPECT_EQ(_is_email("abcd@ef.gh"), 1);
    EXPECT_EQ(_is_email("abcd@efgh"), 0) << "no dot";
    EXPECT_EQ(_is_email("a@b.c"), 0) << "three other characters";
    EXPECT_EQ(_is_email("@abcd.ef"), 0);
    EXPECT_EQ(_is_email("abcd@.ef"), 0);
    EXPECT_EQ(_is_email("ab@cd@ef.gh"), 0);
    EXPECT_EQ(_is_email("ab+c@ef.gh"), 0);
    EXPECT_EQ(_is_email(nullptr), 0);
}

TEST(FGetLine, AnyLength) {
    TempFolder folder;
    const std::string path = folder.Path("lines");
    WriteFile(path, std::string(3000, 'x') + "\n\nlast");
    FILE *stream = std::fopen(path.c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    std::unique_ptr<char, FreeDeleter> long_line(ec_fGetLine(stream));
    EXPECT_EQ(std::string(long_line.get()), std::string(3000, 'x') + "\n");
    std::unique_ptr<char, FreeDeleter> feed(ec_fGetLine(stream));
    EXPECT_STREQ(feed.get(), "\n");
    std::unique_ptr<char, FreeDeleter> last(ec_fGetLine(stream));
    EXPECT_STREQ(last.get(), "last");
    EXPECT_EQ(ec_fGetLine(stream), nullptr);
    std::fclose(stream);
}

TEST(Redirect, WritesTheLocation) {
    StdoutCapture capture;
    EXPECT_EQ(ec_Redirect("/next?x=1"), 21);
    EXPECT_EQ(capture.Text(), "Location: /next?x=1\n\n");
}

TEST(RedirectDeathTest, RefusesHeaderBreaksAndLateCalls) {
    TempFolder folder;
    const std::string out = folder.Path("out");
    ScopedEnv addr("REMOTE_ADDR", nullptr);
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_Redirect("/x\r\nSet-Cookie: a=b");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(out), "Error: ec_Redirect(): URL must not hold CR or LF.\n");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_ContentType("text/html");
            ec_Redirect("/x");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(out),
              "Content-Type: text/html\n\nError: ec_Redirect(): ec_Redirect() must be called "
              "before ec_ContentType() and any stream out.\n");
}

TEST(Download, HeadersThenTheBytes) {
    TempFolder folder;
    const std::string path = folder.Path("report.pdf");
    WriteFile(path, std::string("%PDF\0bin", 8));
    {
        StdoutCapture capture;
        EXPECT_EQ(ec_Download(path.c_str()), 8);
        EXPECT_EQ(capture.Text(),
                  "Content-Disposition: attachment;filename=\"report.pdf\"\n"
                  "Content-Transfer-Encoding: binary\nAccept-Ranges: bytes\nContent-Length: 8\n"
                  "Connection: close\nContent-Type: application/octet-stream\n\n" +
                      std::string("%PDF\0bin", 8));
    }
    StdoutCapture capture;
    EXPECT_EQ(ec_DownloadMime(path.c_str(), "application/pdf"), 8);
    const std::string text = capture.Text();
    EXPECT_EQ(text.rfind("Content-Disposition: inline;filename=\"report.pdf\"\n", 0), 0u);
    EXPECT_NE(text.find("Content-Type: application/pdf\n\n"), std::string::npos);
    EXPECT_EQ(ec_Download(folder.Path("missing").c_str()), -1);
}

#ifndef _WIN32
// Writes past the size fail instead of ending the process.
void LimitFileSize(rlim_t size) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {size, size};
    setrlimit(RLIMIT_FSIZE, &limit);
}

// A sparse file of 2 GB and more: the child's standard output takes only the first megabyte
// (the rest of the copy fails), which holds the header block.
TEST(Download, TheTrueLengthOfFilesOf2GBAndMore) {
    TempFolder folder;
    const std::string path = folder.Path("big.bin");
    const std::string out = folder.Path("out");
    for (const long long size : {2147483649LL}) {
        {
            std::FILE *file = std::fopen(path.c_str(), "wb");
            ASSERT_NE(file, nullptr);
            std::fclose(file);
            std::error_code error;
            std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size), error);
            if (error) GTEST_SKIP() << "no sparse file of " << size << " bytes here";
        }
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                LimitFileSize(1 << 20);
                ec_Download(path.c_str());
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
        const std::string text = ReadFile(out);
        EXPECT_NE(text.find("\nContent-Length: " + std::to_string(size) + "\n"), std::string::npos)
            << text.substr(0, 300);
    }
}
#endif

TEST(Download, QuotesTheFileNameSafely) {
    TempFolder folder;
    const std::string path = folder.Path("a\"b.txt");
    WriteFile(path, "x");
    if (!testsupport::Exists(path)) GTEST_SKIP() << "the file system refuses the name";
    StdoutCapture capture;
    ec_Download(path.c_str());
    EXPECT_EQ(capture.Text().rfind("Content-Disposition: attachment;filename=\"a\\\"b.txt\"\n", 0),
              0u);
}

TEST(ScriptName, LastPartTrimmed) {
    ScopedEnv name("SCRIPT_NAME", "/cgi-bin/app/form.cgi ");
    EXPECT_STREQ(ec_ScriptName(), "form.cgi");
    ScopedEnv windows("SCRIPT_NAME", "c:\\web\\run.exe");
    EXPECT_STREQ(ec_ScriptName(), "run.exe");
    ScopedEnv long_name("SCRIPT_NAME", ("/" + std::string(300, 'n')).c_str());
    EXPECT_EQ(ec_ScriptName(), nullptr);
    ScopedEnv unset("SCRIPT_NAME", nullptr);
    EXPECT_EQ(ec_ScriptName(), nullptr);
}

TEST(Strings, CaseAndNumbers) {
    EXPECT_EQ(ec_IsURL("mailto:x"), 1);
    EXPECT_EQ(ec_IsURL("https://x"), 0);
    EXPECT_EQ(ec_StrIsAlnum("abC9"), 1);
    EXPECT_EQ(ec_StrIsAlnum(""), 1);
    EXPECT_EQ(ec_StrIsAlnum("a b"), 0);
    char text[] = "MiXed";
    EXPECT_STREQ(ec_StrUpper(text), "MIXED");
    EXPECT_STREQ(ec_StrLower(text), "mixed");
    const char *hay = "Hello World";
    EXPECT_EQ(ec_StrIStr(hay, "WORLD"), hay + 6);
    EXPECT_EQ(ec_StrIStr(hay, "planet"), nullptr);
    EXPECT_EQ(ec_StrICmp("abc", "ABC"), 0);
    EXPECT_LT(ec_StrICmp("abc", "ABD"), 0);
    EXPECT_EQ(ec_StrNICmp("abcx", "ABCy", 3), 0);
    EXPECT_STREQ(ec_StrNumber(0), "0");
    EXPECT_STREQ(ec_StrNumber(999), "999");
    EXPECT_STREQ(ec_StrNumber(1000), "1,000");
    EXPECT_STREQ(ec_StrNumber(-1000000), "-1,000,000");
    EXPECT_STREQ(ec_StrNumber(-2147483647 - 1), "-2,147,483,648");
}

// Every character that can end a text or an attribute value, or start markup, is escaped;
// what was already a reference is escaped again (the text is taken as text); bytes above
// 127 and the rest pass as they are.
TEST(Strings, HtmlEscapeToANewText) {
    char *escaped = ec_StrHtmlEscape("<a href='x' title=\"y\">Tom & Jerry &amp;</a> \xc3\xa9");
    ASSERT_NE(escaped, nullptr);
    EXPECT_STREQ(
        escaped,
        "&lt;a href=&#39;x&#39; title=&quot;y&quot;&gt;Tom &amp; Jerry &amp;amp;&lt;/a&gt; "
        "\xc3\xa9");
    std::free(escaped);
    escaped = ec_StrHtmlEscape("");
    ASSERT_NE(escaped, nullptr);
    EXPECT_STREQ(escaped, "");
    std::free(escaped);
    EXPECT_EQ(ec_StrHtmlEscape(nullptr), nullptr);
}

TEST(Keywords, SplitCountHighlight) {
    char *words[EC_KEYWORD_MAX + 1];
    EXPECT_EQ(ec_KeywordSplit("  red \"big apple\" \"\" pie  ", words), 3);
    EXPECT_STREQ(words[0], "red");
    EXPECT_STREQ(words[1], "big apple");
    EXPECT_STREQ(words[2], "pie");
    EXPECT_EQ(words[3], nullptr);
    EXPECT_EQ(ec_KeywordCount("A Big Apple pie, red pie", words), 3);
    ec_KeywordFree(words);
    EXPECT_EQ(words[0], nullptr);

    EXPECT_EQ(ec_KeywordSplit("apple", words), 1);
    StdoutCapture capture;
    EXPECT_EQ(ec_KeywordHighlight(1, "Apple pie <b>", words), 1);
    EXPECT_EQ(capture.Text(), "<b>Apple</b> pie &lt;b&gt;");
    ec_KeywordFree(words);
}

TEST(Keywords, TooManyWordsStayInsideTheArray) {
    std::string text;
    for (int i = 0; i < EC_KEYWORD_MAX + 10; ++i) {
        text += 'w';
        text += std::to_string(i);
        text += ' ';
    }
    char *words[EC_KEYWORD_MAX + 1];
    EXPECT_EQ(ec_KeywordSplit(text.c_str(), words), EC_KEYWORD_MAX);
    EXPECT_EQ(words[EC_KEYWORD_MAX], nullptr);
    ec_KeywordFree(words);
}

TEST(Keywords, HighlightedWordsAreEscaped) {
    char *words[EC_KEYWORD_MAX + 1];
    ec_KeywordSplit("<i>", words);
    StdoutCapture capture;
    EXPECT_EQ(ec_KeywordHighlight(1, "a<I>b", words), 1);
    EXPECT_EQ(capture.Text(), "a<b>&lt;I&gt;</b>b");
    ec_KeywordFree(words);
}

}  // namespace
