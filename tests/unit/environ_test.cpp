#include "webreq/environ.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/unit/support.h"

namespace {

using testsupport::ScopedEnv;
using testsupport::TempFolder;
using testsupport::WriteFile;

using testsupport::FreeDeleter;
using Text = std::unique_ptr<char, FreeDeleter>;

std::string Md5(const char *text) {
    return Text(_md5_hex(text)).get();
}

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(Md5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5("1234567890123456789012345678901234567890123456789012345678901234567890"
                  "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, LengthsAroundTheBlockBoundary) {
    // 55, 56 and 64 bytes put the padding and the length in one or two blocks.
    EXPECT_EQ(Md5(std::string(55, 'a').c_str()), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Md5(std::string(56, 'a').c_str()), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Md5(std::string(64, 'a').c_str()), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(_md5_hex(nullptr), nullptr);
}

TEST(Md5, FileDigestEndsAtTheFirstZeroByte) {
    TempFolder folder;
    WriteFile(folder.Path("text"), "abc");
    EXPECT_EQ(std::string(Text(_md5_file(folder.Path("text").c_str())).get()), Md5("abc"));
    WriteFile(folder.Path("binary"), std::string("abc\0def", 7));
    EXPECT_EQ(std::string(Text(_md5_file(folder.Path("binary").c_str())).get()), Md5("abc"));
    EXPECT_EQ(_md5_file(folder.Path("missing").c_str()), nullptr);
}

TEST(GetenvDefault, DefaultOnlyForUnsetVariables) {
    ScopedEnv unset("NUVEX_TEST_UNSET", nullptr);
    EXPECT_STREQ(_getenv_default("fallback", "NUVEX_TEST_UNSET"), "fallback");
    ScopedEnv set("NUVEX_TEST_SET", "value");
    EXPECT_STREQ(_getenv_default("fallback", "NUVEX_TEST_SET"), "value");
#ifndef _WIN32  // the Windows C runtime cannot hold an empty variable
    ScopedEnv empty("NUVEX_TEST_EMPTY", "");
    EXPECT_STREQ(_getenv_default("fallback", "NUVEX_TEST_EMPTY"), "");
#endif
}

TEST(LocalTime, FullYearAndMonthFromOne) {
    const struct tm *now = _local_time();
    ASSERT_NE(now, nullptr);
    EXPECT_GE(now->tm_year, 2000);
    EXPECT_LE(now->tm_year, 9999);
    EXPECT_GE(now->tm_mon, 1);
    EXPECT_LE(now->tm_mon, 12);
}

TEST(CgiEnvironment, RemoteHostFallsBackToTheAddress) {
    ScopedEnv host("REMOTE_HOST", nullptr);
    ScopedEnv addr("REMOTE_ADDR", "10.1.2.3");
    ScopedEnv query("QUERY_STRING", "a=1");
    ec_cgi_environment record;
    ASSERT_EQ(_cgi_environment(&record), &record);
    EXPECT_STREQ(record.remote_addr, "10.1.2.3");
    EXPECT_STREQ(record.remote_host, "10.1.2.3");
    EXPECT_STREQ(record.query_string, "a=1");
    EXPECT_GE(record.month, 1);
    EXPECT_GE(record.year, 2000);
    {
        ScopedEnv no_addr("REMOTE_ADDR", nullptr);
        _cgi_environment(&record);
        EXPECT_EQ(record.remote_addr, nullptr);
        EXPECT_EQ(record.remote_host, nullptr);
    }
    ScopedEnv named("REMOTE_HOST", "client.example");
    _cgi_environment(&record);
    EXPECT_STREQ(record.remote_host, "client.example");
}

// The identifier is the digest of the time to the second, the address and the port; the
// time is taken before and after, and the check repeated when a second boundary fell between.
std::string ExpectedId(const char *address, const char *port) {
    const struct tm *now = _local_time();
    char text[256];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d-%s:%s", now->tm_year, now->tm_mon,
                  now->tm_mday, now->tm_hour, now->tm_min, now->tm_sec, address, port);
    return Md5(text);
}

TEST(UniqueId, DigestOfTimeAddressAndPort) {
    for (const auto &[address, port] :
         {std::pair<const char *, const char *>{"", ""}, {"192.0.2.7", "5555"}}) {
        ScopedEnv addr("REMOTE_ADDR", *address ? address : nullptr);
        ScopedEnv prt("REMOTE_PORT", *port ? port : nullptr);
        std::string before, id, after;
        do {
            before = ExpectedId(address, port);
            id = _unique_id();
            after = ExpectedId(address, port);
        } while (before != after);
        EXPECT_EQ(id, before);
        EXPECT_EQ(id.size(), 32u);
    }
}

}  // namespace
