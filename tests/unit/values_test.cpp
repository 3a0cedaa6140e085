#include "webreq/values.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/support.h"

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::StdoutCapture;
using testsupport::TempFolder;

// One cookie, two query fields of one name and a third, no body.
class ValuesTest : public ::testing::Test {
   protected:
    void SetUp() override { ec_ValueFree(); }
    void TearDown() override {
        ec_ValueFree();
        ec_Finish();
    }
    ScopedEnv cookie{"HTTP_COOKIE", "c=cookie; same=from-cookie"};
    ScopedEnv query{"QUERY_STRING", "q=1&q=2&empty=&same=from-query"};
    ScopedEnv method{"REQUEST_METHOD", nullptr};
    ScopedEnv type{"CONTENT_TYPE", nullptr};
    ScopedEnv addr{"REMOTE_ADDR", nullptr};
};

TEST_F(ValuesTest, LookupsDefaultsAndIteration) {
    EXPECT_STREQ(ec_Value("q"), "1");
    EXPECT_EQ(ec_iValue("%c", 'q'), 1);
    EXPECT_STREQ(ec_ValueDefault("dflt", "empty"), "");
    const char *fallback = "dflt";
    EXPECT_EQ(ec_ValueDefault(fallback, "missing"), fallback);
    EXPECT_STREQ(ec_ValueFirst("q"), "1");
    EXPECT_STREQ(ec_ValueNext(), "2");
    EXPECT_EQ(ec_ValueNext(), nullptr);
}

TEST_F(ValuesTest, OriginsAndCookies) {
    ec_ValueAdd("added", "%d", 5);
    EXPECT_STREQ(ec_ValueOrigin("c"), "C");
    EXPECT_STREQ(ec_ValueOrigin("q"), "G");
    EXPECT_STREQ(ec_ValueOrigin("added"), "N");
    EXPECT_STREQ(ec_ValueOrigin("unknown"), "-");
    EXPECT_STREQ(ec_ValueCookie("same"), "from-cookie");
    EXPECT_EQ(ec_ValueCookie("q"), nullptr);
}

TEST_F(ValuesTest, AddAndRemoveKeepTheCounts) {
    EXPECT_STREQ(ec_ValueAdd("n", "first"), "first");
    EXPECT_STREQ(ec_ValueAdd("n", "second"), "first");
    {
        StdoutCapture capture;
        ec_ValuePrint();
        EXPECT_NE(capture.Text().find("COOKIE = 2 , GET = 4 , POST = 0, NEW = 1\n"),
                  std::string::npos);
    }
    ec_ValueRemove("n");
    ec_ValueRemove("q");  // twice in the query string: both entries go, GET drops by two
    ec_ValueRemove("unknown");
    StdoutCapture capture;
    ec_ValuePrint();
    EXPECT_NE(capture.Text().find("COOKIE = 2 , GET = 2 , POST = 0, NEW = 0\n"), std::string::npos);
    EXPECT_STREQ(ec_ValueOrigin("same"), "C");
    EXPECT_STREQ(ec_ValueOrigin("empty"), "G") << "positions still match the counts";
}

// NEW counts names that were new when added: adding a name the request already holds and
// removing it again leaves the count of the other added names alone.
TEST_F(ValuesTest, RemovingANameThatWasNotNewKeepsTheNewCount) {
    ScopedEnv only_a{"QUERY_STRING", "a=1"};
    ScopedEnv no_cookie{"HTTP_COOKIE", nullptr};
    ec_ValueAdd("b", "2");
    ec_ValueAdd("a", "3");
    ec_ValueRemove("a");
    {
        StdoutCapture capture;
        ec_ValuePrint();
        EXPECT_NE(capture.Text().find("COOKIE = 0 , GET = 0 , POST = 0, NEW = 1\n"),
                  std::string::npos);
    }
    EXPECT_STREQ(ec_ValueOrigin("b"), "N");
    ec_ValueAdd("c", "4");
    ec_ValueRemove("c");
    ec_ValueAdd("c", "5");  // new again once it was gone
    ec_ValueRemove("b");
    StdoutCapture capture;
    ec_ValuePrint();
    EXPECT_NE(capture.Text().find("COOKIE = 0 , GET = 0 , POST = 0, NEW = 1\n"), std::string::npos);
    EXPECT_STREQ(ec_ValueOrigin("c"), "N");
}

TEST_F(ValuesTest, ReplaceNewOrInPlace) {
    char *copy = ec_ValueReplace("tn", "same", "-", "_");
    EXPECT_STREQ(copy, "from_cookie");
    std::free(copy);
    EXPECT_STREQ(ec_Value("same"), "from-cookie");
}

TEST_F(ValuesTest, ReplaceInPlaceChangesEveryValue) {
    EXPECT_STREQ(ec_ValueReplace("sr", "same", "from", "by"), "by-cookie");
    ec_ValueRemove("same");
    EXPECT_EQ(ec_Value("same"), nullptr);
    EXPECT_EQ(ec_ValueReplace("sn", "missing", "a", "b"), nullptr);
}

TEST_F(ValuesTest, FreeResetsEverything) {
    ScopedEnv no_cookie("HTTP_COOKIE", nullptr), no_query("QUERY_STRING", nullptr);
    ec_ValueFree();
    StdoutCapture capture;
    EXPECT_EQ(ec_ValuePrint(), 0);
    EXPECT_NE(capture.Text().find("COOKIE = 0 , GET = 0 , POST = 0, NEW = 0"), std::string::npos);
}

TEST_F(ValuesTest, MisuseEndsTheProcess) {
    TempFolder folder;
    const std::string out = folder.Path("out");
    const std::string too_long(1024, 'n');
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[] { ec_ValueNotEmpty("Fill in the field.", "empty"); }, "Error: Fill in the field.\n"},
        {[] { ec_ValueNotEmpty("100% wrong", "missing"); }, "Error: 100% wrong\n"},
        {[] { ec_ValueAdd("", "x"); }, "Error: ec_ValueAdd(): can not add empty name.\n"},
        {[] { ec_ValueRemove("%s", ""); }, "Error: ec_ValueRemove(): can not remove empty name.\n"},
        {[] { ec_ValueReplace("s", "q", "a", "b"); },
         "Error: ec_ValueReplace(): Unknown mode \"s\".\n"},
        {[] { ec_ValueReplace("xn", "q", "a", "b"); },
         "Error: ec_ValueReplace(): Unknown mode \"xn\".\n"},
        {[&] { ec_Value("%s", too_long.c_str()); },
         "Error: ec_Value(): Message is too long or invalid.\n"},
        {[&] { ec_ValueAdd("n", "%s", too_long.c_str()); },
         "Error: ec_ValueAdd(): Message is too long or invalid.\n"},
    };
    for (const auto &[action, message] : cases) {
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                action();
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(ReadFile(out), message);
    }
}

}  // namespace
