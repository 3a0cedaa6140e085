#include "webreq/session.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/unit/support.h"
#include "webreq/entrylist.h"
#include "webreq/values.h"

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::StdoutCapture;
using testsupport::TempFolder;
using testsupport::WriteFile;

class SessionTest : public ::testing::Test {
   protected:
    void SetUp() override { ec_Finish(); }
    void TearDown() override { ec_Finish(); }

    // Opens the session of a request carrying the identifier (empty: none); the headers
    // written go to *headers.
    int Open(const std::string &id, std::string *headers = nullptr) {
        ec_Finish();
        cookie.reset();  // the old setting goes before the new one is made
        cookie = std::make_unique<ScopedEnv>("HTTP_COOKIE",
                                             id.empty() ? nullptr : ("QSESSIONID=" + id).c_str());
        StdoutCapture capture;
        const int result = ec_Session(repository.c_str());
        if (headers) *headers = capture.Text();
        return result;
    }
    std::string Properties(const std::string &id) {
        return repository + "/ec_session-" + id + ".properties";
    }
    std::string Timeout(const std::string &id) {
        return repository + "/ec_session-" + id + ".timeout";
    }
    std::string Finish() {
        StdoutCapture capture;
        ec_Finish();
        return capture.Text();
    }

    TempFolder folder;
    std::string repository = folder.Root();
    std::unique_ptr<ScopedEnv> cookie;
    ScopedEnv query{"QUERY_STRING", nullptr};
    ScopedEnv addr{"REMOTE_ADDR", nullptr};
    ScopedEnv method{"REQUEST_METHOD", nullptr};
};

TEST_F(SessionTest, NewSessionSetsTheCookieAndSavesOnlyWhenModified) {
    std::string headers;
    EXPECT_EQ(Open("", &headers), 1);
    const std::string id = ec_SessionGetID();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}"))) << id;
    EXPECT_EQ(headers, "Set-Cookie: QSESSIONID=" + id + "; path=/\n");
    EXPECT_STREQ(ec_Value("QSESSIONID"), id.c_str());
    Finish();
    EXPECT_FALSE(Exists(Properties(id))) << "an unmodified new session leaves no files";

    EXPECT_EQ(Open(""), 1);
    const std::string second = ec_SessionGetID();
    EXPECT_NE(second, id) << "identifiers are not derived from time and client";
    ec_SessionAdd("user", "%s", "bob");
    const long long before = std::time(nullptr);
    Finish();
    ec_entry *saved = ec_fDecoder(Properties(second).c_str());
    std::vector<std::string> names;
    for (ec_entry *e = saved; e; e = e->next) names.push_back(e->name);
    EXPECT_EQ(names, (std::vector<std::string>{"_Q_SESSIONID", "_Q_CREATED-GMT", "_Q_CREATED",
                                               "_Q_CONNECTIONS", "_Q_INTERVAL", "user"}));
    EXPECT_STREQ(_list_value(saved, "_Q_INTERVAL"), "1800");
    _list_free(saved);
    const long long expiry = std::stoll(ReadFile(Timeout(second)));
    EXPECT_GE(expiry, before + 1800);
    EXPECT_LE(expiry, before + 1802);
}

TEST_F(SessionTest, ResumedSessionCountsConnectionsAndKeepsItsInterval) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("note", "a+b%%41");
    Finish();
    EXPECT_EQ(Open(id), 0);
    EXPECT_EQ(ec_SessioniValue("_Q_CONNECTIONS"), 2);
    EXPECT_STREQ(ec_SessionValue("note"), "a bA") << "values come back URL-decoded";
    ec_SessionSetTimeout(60);
    const long long before = std::time(nullptr);
    Finish();
    EXPECT_LE(std::stoll(ReadFile(Timeout(id))), before + 62);
    EXPECT_EQ(Open(id), 0);
    EXPECT_EQ(ec_SessioniValue("_Q_INTERVAL"), 60);
    EXPECT_GT(ec_SessionGetCreated(), 0);
}

TEST_F(SessionTest, ExpiredOrForeignIdentifiersStartAfresh) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    WriteFile(Timeout(id), "1000\n");  // long past
    EXPECT_EQ(Open(id), 1);
    EXPECT_NE(std::string(ec_SessionGetID()), id);
    EXPECT_STREQ(ec_Value("QSESSIONID"), id.c_str()) << "the request keeps what it sent";
    EXPECT_FALSE(Exists(Properties(id)));
    EXPECT_FALSE(Exists(Timeout(id)));
    for (const std::string &foreign : std::vector<std::string>{
             "../../etc/passwd", "ABCDEF0123456789ABCDEF0123456789", std::string(33, 'a'), "x"}) {
        EXPECT_EQ(Open(foreign), 1) << foreign;
        ec_SessionAdd("k", "v");
        const std::string fresh = ec_SessionGetID();
        Finish();
        EXPECT_TRUE(Exists(Properties(fresh)));
    }
}

TEST_F(SessionTest, AddIncreaseRemove) {
    Open("");
    EXPECT_STREQ(ec_SessionAdd("n", "1"), "1");
    EXPECT_STREQ(ec_SessionAdd("n", "2"), "1");
    ec_SessionRemove("n");
    EXPECT_EQ(ec_SessionValue("n"), nullptr);
    EXPECT_EQ(ec_SessionIncrease("count", 5), 5);
    EXPECT_EQ(ec_SessionIncrease("count", 2), 7);
    EXPECT_EQ(ec_SessionAddInt("int", 42), 42);
    int entries = 0;
    {
        StdoutCapture capture;
        entries = ec_SessionPrint();
    }
    EXPECT_EQ(entries, 7) << "five reserved entries, count, int";
    EXPECT_STREQ(ec_SessionValue("_Q_CREATED-GMT") ? "set" : "", "set");
}

TEST_F(SessionTest, DestroyRemovesFilesAndTheCookieWhilePossible) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    Open(id);
    {
        StdoutCapture capture;
        ec_SessionDestroy();
        EXPECT_TRUE(std::regex_match(capture.Text(),
                                     std::regex("Set-Cookie: QSESSIONID=; expires=\\w{3}, "
                                                "\\d{2}-\\w{3}-\\d{4} [0-9:]{8} GMT; path=/\n")))
            << capture.Text();
    }
    EXPECT_FALSE(Exists(Properties(id)));
    EXPECT_FALSE(Exists(Timeout(id)));
    Open("");
    const std::string other = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    Open(other);
    StdoutCapture capture;
    ec_ContentType("text/html");
    ec_SessionDestroy();
    EXPECT_EQ(capture.Text(), "Content-Type: text/html\n\n");
    EXPECT_FALSE(Exists(Properties(other)));
}

TEST_F(SessionTest, MisuseEndsTheProcess) {
    const std::string out = folder.Path("out");
    struct Case {
        std::function<void()> action;
        std::string message;
    };
    const std::string missing_repository = folder.Path("no-such-folder");
    const std::vector<Case> cases = {
        {[] { ec_SessionAdd("k", "v"); }, "ec_SessionAdd(): ec_Session() must be called before."},
        {[] { ec_SessionValue("k"); }, "ec_SessionValue(): ec_Session() must be called before."},
        {[] { ec_SessionGetID(); }, "ec_SessionGetID(): ec_Session() must be called before."},
        {[&] {
             ec_Session(repository.c_str());
             ec_SessionAdd("_Q_MINE", "v");
         },
         "ec_SessionAdd(): Name can not start with _Q_. It's reserved for internal uses."},
        {[&] {
             ec_Session(repository.c_str());
             ec_SessionRemove("_Q_CREATED");
         },
         "ec_SessionRemove(): can not remove reserved words."},
        {[&] {
             ec_Session(repository.c_str());
             ec_SessionSetTimeout(0);
         },
         "ec_SessionSetTimeout(): can not set negative interval. Use ec_SessionDestory() "
         "instead."},
        {[&] {
             ec_ContentType("text/plain");
             ec_Session(repository.c_str());
         },
         "ec_Session(): must be called before ec_ContentType() and any stream out."},
    };
    for (const auto &c : cases) {
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                c.action();
            },
            testing::ExitedWithCode(1), "");
        const std::string text = ReadFile(out);
        EXPECT_EQ(text.substr(text.find("Error: ")), "Error: " + c.message + "\n");
    }
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_Session(missing_repository.c_str());
            ec_SessionAdd("k", "v");
            ec_Finish();
        },
        testing::ExitedWithCode(1), "");
    const std::string text = ReadFile(out);
    EXPECT_NE(text.find("Error: ec_SessionSave(): Can not access session repository(" +
                        missing_repository + "/ec_session-"),
              std::string::npos)
        << text;
}

}  // namespace
