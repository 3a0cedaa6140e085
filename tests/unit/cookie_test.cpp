#include "webreq/cookie.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "tests/unit/support.h"
#include "webreq/error.h"

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::StdoutCapture;
using testsupport::TempFolder;

std::string Encode(const char *text) {
    char *encoded = _cookie_encode(text);
    std::string out = encoded;
    std::free(encoded);
    return out;
}

std::string DateIn(long long offset) {
    char date[256];
    _gmt_date(date, offset);
    return date;
}

// The header written for the arguments; the expiry is compared with the dates before and
// after the call, so a second boundary in between does not matter.
void ExpectCookie(const std::string &expected_before_date, int days,
                  const std::string &expected_after_date, const char *name, const char *value,
                  const char *path, const char *domain, int secure) {
    const std::string before = DateIn(days * 86400LL);
    StdoutCapture capture;
    const int written = ec_CookieSet(name, value, days, path, domain, secure);
    const std::string text = capture.Text();
    const std::string after = DateIn(days * 86400LL);
    const std::string with_before = expected_before_date + before + expected_after_date;
    const std::string with_after = expected_before_date + after + expected_after_date;
    EXPECT_TRUE(text == with_before || text == with_after) << text;
    EXPECT_EQ(written, static_cast<int>(text.size()));
}

TEST(CookieEncode, SafeCharactersStayOthersBecomeLowercaseHex) {
    EXPECT_EQ(Encode("1.0/x:y@z\\w-v_u"), "1.0/x:y@z\\w-v_u");
    EXPECT_EQ(Encode("a b+c%d=e;f"), "a%20b%2bc%25d%3de%3bf");
    EXPECT_EQ(Encode("\xe9\xff"), "%e9%ff");
    EXPECT_EQ(_cookie_encode(nullptr), nullptr);
}

TEST(GmtDate, FormatAndFarFutureDates) {
    char date[256];
    const long long now = _gmt_date(date, 0);
    EXPECT_NEAR(static_cast<double>(now), static_cast<double>(std::time(nullptr)), 2.0);
    EXPECT_EQ(std::string(date).size(), 29u);
    EXPECT_EQ(std::string(date).substr(25), " GMT");
    // 2040-02-29 12:00:00 UTC, past the 32-bit limit of 2038.
    const long long leap_day_2040 = 2214129600LL;
    _gmt_date(date, leap_day_2040 - now);
    const std::string far = date;
    EXPECT_TRUE(far == "Wed, 29-Feb-2040 12:00:00 GMT" || far == "Wed, 29-Feb-2040 12:00:01 GMT")
        << far;
    _gmt_date(date, 0 - now);
    EXPECT_EQ(std::string(date), "Thu, 01-Jan-1970 00:00:00 GMT");
}

TEST(CookieSet, HeaderByteForByte) {
    StdoutCapture capture;
    EXPECT_EQ(ec_CookieSet("user id", "a&b", 0, "/", nullptr, 0), 36);
    EXPECT_EQ(ec_CookieSet("k", "v", 0, nullptr, "example.com", 1), 44);
    EXPECT_EQ(capture.Text(),
              "Set-Cookie: user%20id=a%26b; path=/\n"
              "Set-Cookie: k=v; domain=example.com; secure\n");
}

TEST(CookieSet, ExpiryDays) {
    ExpectCookie("Set-Cookie: n=v; expires=", 1, "\n", "n", "v", nullptr, nullptr, 0);
    ExpectCookie("Set-Cookie: QSESSIONID=; expires=", -1, "; path=/\n", "QSESSIONID", "", "/",
                 nullptr, 0);
    const std::string before = DateIn(-86400);
    StdoutCapture capture;
    ec_CookieRemove("QSESSIONID", "/", nullptr, 0);
    const std::string text = capture.Text();
    EXPECT_TRUE(text == "Set-Cookie: QSESSIONID=; expires=" + before + "; path=/\n" ||
                text == "Set-Cookie: QSESSIONID=; expires=" + DateIn(-86400) + "; path=/\n")
        << text;
}

TEST(CookieSet, HostNamesAreAcceptedAsDomains) {
    for (const char *domain : {"example.com", ".example.com", "my-host_1.example.org"}) {
        StdoutCapture capture;
        ec_CookieSet("k", "v", 0, nullptr, domain, 0);
        EXPECT_EQ(capture.Text(), std::string("Set-Cookie: k=v; domain=") + domain + "\n");
    }
}

// Expiry dates before 1970 back to the first moment of the signed 32-bit count.
TEST(CookieSet, PastDatesBefore1970) {
    ExpectCookie("Set-Cookie: n=v; expires=", -21000, "\n", "n", "v", nullptr, nullptr, 0);
    const long long now = std::time(nullptr);
    const int first_day = -static_cast<int>((now + 2147483648LL) / 86400);  // 1901-12-13 or so
    StdoutCapture capture;
    ec_CookieSet("n", "v", first_day, nullptr, nullptr, 0);
    const std::string text = capture.Text();
    EXPECT_NE(text.find("-1901 "), std::string::npos) << text;
}

class CookieDeathTest : public ::testing::Test {
   protected:
    std::string Out() { return ReadFile(out); }
    TempFolder folder;
    std::string out = folder.Path("out");
    ScopedEnv addr{"REMOTE_ADDR", nullptr};
};

TEST_F(CookieDeathTest, BadPathAndDomainAreRefusedBeforeAnyOutput) {
    const struct {
        const char *path, *domain, *message;
    } cases[] = {
        {"docs", nullptr,
         "Error: ec_CookieSet(): Path string(docs) must start with '/' character.\n"},
        {nullptr, "localhost", "Error: ec_CookieSet(): Invalid domain name(localhost).\n"},
        {nullptr, "a/b.c", "Error: ec_CookieSet(): Invalid domain name(a/b.c).\n"},
        {"/x\r\nSet-Cookie: evil=1", nullptr,
         "Error: ec_CookieSet(): Path string must not hold CR, LF or ';'.\n"},
        {"/x; domain=evil.example", nullptr,
         "Error: ec_CookieSet(): Path string must not hold CR, LF or ';'.\n"},
        {nullptr, "a.example\nX: y",
         "Error: ec_CookieSet(): Domain name must not hold CR, LF or ';'.\n"},
        {nullptr, "a.b, evil=1", "Error: ec_CookieSet(): Invalid domain name(a.b, evil=1).\n"},
        {nullptr, "a.b evil", "Error: ec_CookieSet(): Invalid domain name(a.b evil).\n"},
        {nullptr, "a.b=c", "Error: ec_CookieSet(): Invalid domain name(a.b=c).\n"},
        {nullptr, "a.\"b\"", "Error: ec_CookieSet(): Invalid domain name(a.\"b\").\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ec_CookieSet("n", "v", 0, c.path, c.domain, 0);
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(Out(), c.message);
    }
}

TEST_F(CookieDeathTest, DaysBeyondTheLastDateAreRefused) {
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_CookieSet("n", "v", 2147483647, nullptr, nullptr, 0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), "Error: ec_CookieSet(): Days value (2147483647) gives no valid date.\n");
    const long long now = std::time(nullptr);
    const int before_first = -static_cast<int>((now + 2147483648LL) / 86400) - 2;
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_CookieSet("n", "v", before_first, nullptr, nullptr, 0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), "Error: ec_CookieSet(): Days value (" + std::to_string(before_first) +
                         ") gives no valid date.\n");
}

TEST_F(CookieDeathTest, HeadersAfterTheContentTypeAreRefused) {
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_ContentType("text/html");
            ec_CookieSet("n", "v", 0, nullptr, nullptr, 0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(),
              "Content-Type: text/html\n\nError: ec_CookieSet(): must be called before "
              "ec_ContentType() and any stream out.\n");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_ContentType("text/html");
            ec_CookieRemove("n", nullptr, nullptr, 0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(),
              "Content-Type: text/html\n\nError: ec_CookieRemove(): must be called before "
              "ec_ContentType() and any stream out.\n");
}

TEST_F(CookieDeathTest, OverLongCookieIsRefused) {
    const std::string value(1500, ' ');  // 4500 characters once encoded
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_CookieSet("n", value.c_str(), 0, nullptr, nullptr, 0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Out(), "Error: ec_CookieSet(): Cookie is too long.\n");
}

}  // namespace
