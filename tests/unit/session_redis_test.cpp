// The session operations against a Redis server of the test's own: the same results as with
// a folder, the expiry as the key's time to live, and a store that fails ending in an error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "tests/unit/redis_server.h"
#include "tests/unit/support.h"
#include "webreq/entrylist.h"
#include "webreq/error_internal.h"
#include "webreq/redis_store.h"
#include "webreq/serve_internal.h"
#include "webreq/session.h"
#include "webreq/values.h"

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::StdoutCapture;
using testsupport::TempFolder;

class SessionRedisTest : public ::testing::Test {
   protected:
    void SetUp() override {
        ec_Finish();
        webreq::redis::Disconnect();
        if (!webreq::redis::Available()) GTEST_SKIP() << "built without hiredis";
        if (!server.Installed()) GTEST_SKIP() << "redis-server is not installed";
        ASSERT_TRUE(server.Running()) << "redis-server did not start";
    }
    void TearDown() override {
        ec_Finish();
        webreq::redis::Disconnect();
    }

    int Open(const std::string &id, std::string *headers = nullptr) {
        ec_Finish();
        cookie.reset();
        cookie = std::make_unique<ScopedEnv>("HTTP_COOKIE",
                                             id.empty() ? nullptr : ("QSESSIONID=" + id).c_str());
        StdoutCapture capture;
        const int result = ec_Session(repository.c_str());
        if (headers) *headers = capture.Text();
        return result;
    }
    std::string Finish() {
        StdoutCapture capture;
        ec_Finish();
        return capture.Text();
    }
    std::string Key(const std::string &id) { return "ec_session:" + id; }

    testsupport::RedisServer server;
    std::string repository = server.Address("?timeout=0.3&connect_timeout=0.3");
    std::unique_ptr<ScopedEnv> cookie;
    ScopedEnv query{"QUERY_STRING", nullptr};
    ScopedEnv addr{"REMOTE_ADDR", nullptr};
    ScopedEnv method{"REQUEST_METHOD", nullptr};
    TempFolder folder;
};

TEST_F(SessionRedisTest, NewResumedAndDestroyedAsWithAFolder) {
    std::string headers;
    ASSERT_EQ(Open("", &headers), 1);
    const std::string id = ec_SessionGetID();
    EXPECT_NE(headers.find("Set-Cookie: QSESSIONID=" + id), std::string::npos) << headers;
    Finish();
    EXPECT_EQ(server.Cli("EXISTS " + Key(id)), "0\n") << "an unmodified new session is not stored";

    ASSERT_EQ(Open(""), 1);
    const std::string kept = ec_SessionGetID();
    ec_SessionAdd("user", "bob");
    Finish();
    EXPECT_EQ(server.Cli("TTL " + Key(kept)), "1800\n");
    const std::string text = server.Cli("GET " + Key(kept));
    EXPECT_NE(text.find("_Q_SESSIONID = " + kept), std::string::npos) << text;
    EXPECT_NE(text.find("# " + Key(kept)), std::string::npos) << "the key names where it is";

    ASSERT_EQ(Open(kept), 0);
    EXPECT_STREQ(ec_SessionValue("user"), "bob");
    EXPECT_EQ(ec_SessioniValue("_Q_CONNECTIONS"), 2);
    ec_SessionSetTimeout(60);
    Finish();
    EXPECT_EQ(server.Cli("TTL " + Key(kept)), "60\n") << "each save sets the expiry anew";

    ASSERT_EQ(Open(kept), 0);
    EXPECT_EQ(ec_SessioniValue("_Q_INTERVAL"), 60);
    {
        StdoutCapture capture;
        ec_SessionDestroy();
    }
    EXPECT_EQ(server.Cli("EXISTS " + Key(kept)), "0\n");
    ASSERT_EQ(Open(kept), 1) << "a destroyed session is not resumed";
    EXPECT_NE(std::string(ec_SessionGetID()), kept);
}

// Every byte a value can hold comes back as it was stored.
TEST_F(SessionRedisTest, ValuesComeBackByteForByte) {
    std::string value;
    for (int byte = 1; byte < 256; ++byte) value += static_cast<char>(byte);
    const std::string edges = "  + %41 %zz\r\n\tend  ";
    ASSERT_EQ(Open(""), 1);
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("all", "%s", value.c_str());
    ec_SessionAdd("edges", "%s", edges.c_str());
    Finish();
    ASSERT_EQ(Open(id), 0);
    EXPECT_EQ(std::string(ec_SessionValue("all")), value);
    EXPECT_EQ(std::string(ec_SessionValue("edges")), edges);
}

TEST_F(SessionRedisTest, AnExpiredSessionStartsANewOne) {
    ASSERT_EQ(Open(""), 1);
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    ec_SessionSetTimeout(1);
    Finish();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_EQ(Open(id), 1);
    EXPECT_NE(std::string(ec_SessionGetID()), id);
    EXPECT_EQ(ec_SessionValue("k"), nullptr);
}

// Another request destroyed the session while this one ran: its save does not bring it back.
TEST_F(SessionRedisTest, ASaveDoesNotBringBackADestroyedSession) {
    ASSERT_EQ(Open(""), 1);
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    ASSERT_EQ(Open(id), 0);
    ec_SessionAdd("k2", "v2");
    server.Cli("DEL " + Key(id));
    Finish();
    EXPECT_EQ(server.Cli("EXISTS " + Key(id)), "0\n");
}

// A text under the session's key that is not that session's is not resumed.
TEST_F(SessionRedisTest, AKeyThatIsNotTheSessionsIsNotResumed) {
    const std::string id(32, 'a');
    server.Cli("SET " + Key(id) + " 'user = mallory' EX 100");
    ASSERT_EQ(Open(id), 1);
    EXPECT_EQ(ec_SessionValue("user"), nullptr);
    ASSERT_NE(ec_SessionGetID(), nullptr);
    EXPECT_EQ(server.Cli("EXISTS " + Key(id)), "0\n") << "the stray key goes";
}

// A store that fails ends the request in the error page, before any cookie; once the server
// answers again the next request is served.
TEST_F(SessionRedisTest, AStoreThatFailsIsAnErrorNotAHang) {
    ASSERT_EQ(Open(""), 1);
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    const std::string out = folder.Path("out");
    const std::string refused = "redis+unix://" + folder.Path("none.sock");
    struct Case {
        const char *what;
        std::function<void()> before, after;
        std::string repository;
        const char *message;
    };
    const Case cases[] = {
        {"refused", [] {}, [] {}, refused,
         "Error: ec_Session(): Can not access session repository(redis+unix://"},
        {"not answering", [this] { server.Pause(); }, [this] { server.Resume(); }, repository,
         "Error: ec_Session(): Can not access session repository(redis+unix://"},
        {"bad address", [] {}, [] {}, "redis://host?colour=red",
         "Error: ec_Session(): Can not access session repository(redis://host?colour=red): "
         "unknown option.\n"},
    };
    for (const Case &c : cases) {
        c.before();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ScopedEnv sent("HTTP_COOKIE", ("QSESSIONID=" + id).c_str());
                ec_Session(c.repository.c_str());
                ec_SessionAdd("k", "changed");
                ec_Finish();
            },
            testing::ExitedWithCode(1), "");
        c.after();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
        const std::string text = ReadFile(out);
        EXPECT_EQ(text.rfind(c.message, 0), 0u) << c.what << ": " << text;
        EXPECT_EQ(text.find("Set-Cookie"), std::string::npos) << c.what;
    }
    ASSERT_EQ(Open(id), 0) << "served again once the server answers";
    EXPECT_STREQ(ec_SessionValue("k"), "v");
}

// A FastCGI worker's requests in one process. An error jumps back to the loop, as ec_Serve's
// does, past the library's frames in between: whatever only their destructors would release is
// lost, request after request.
std::jmp_buf g_request_end;
[[noreturn]] void EndRequest() {
    std::longjmp(g_request_end, 1);
}

#if defined(__SANITIZE_ADDRESS__)
#define NUVEX_FREES_HELD_BACK
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NUVEX_FREES_HELD_BACK
#endif
#endif
// The address sanitizer holds freed blocks back, so the resident size grows with every request
// there; its leak check at the process's end covers what a request loses.
#ifdef NUVEX_FREES_HELD_BACK
constexpr bool kResidentSizeTells = false;
#else
constexpr bool kResidentSizeTells = true;
#endif

// Resident memory of the process in KiB, the allocator's free memory given back first so that a
// leak cannot hide in it; -1 without /proc.
long ResidentKib() {
#ifdef __GLIBC__
    if (kResidentSizeTells) malloc_trim(0);
#endif
    FILE *statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return -1;
    long size = 0, resident = -1;
    if (std::fscanf(statm, "%ld %ld", &size, &resident) != 2) resident = -1;
    std::fclose(statm);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Standard output sent nowhere for the object's lifetime: the pages of thousands of requests.
class StdoutDiscarded {
   public:
    StdoutDiscarded() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~StdoutDiscarded() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    StdoutDiscarded(const StdoutDiscarded &) = delete;
    StdoutDiscarded &operator=(const StdoutDiscarded &) = delete;

   private:
    int saved_ = -1;
};

// 20,000 requests after a warm-up: a leak of even 100 bytes each would be 2 MB.
constexpr int kWarmUp = 2000;
constexpr int kMeasured = 20000;
constexpr long kGrowthBoundKib = 512;

class SessionRedisWorkerTest : public SessionRedisTest {
   protected:
    void SetUp() override {
        SessionRedisTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (ResidentKib() < 0) GTEST_SKIP() << "no /proc/self/statm";
        ASSERT_EQ(Open(""), 1);
        id = ec_SessionGetID();
        ec_SessionIncrease("count", 1);
        Finish();
        webreq::ErrorEndHookSet(EndRequest);
    }
    void TearDown() override {
        webreq::ErrorEndHookSet(nullptr);
        SessionRedisTest::TearDown();
    }

    // One request: resumes the session of the cookie (or starts a new one without it), counts
    // it and saves it at its end. false when it ended in an error.
    bool Serve(const std::string &store, bool resumed) {
        const ScopedEnv sent("HTTP_COOKIE", resumed ? ("QSESSIONID=" + id).c_str() : nullptr);
        if (setjmp(g_request_end) != 0) {
            // The loop's reset: an error in it ends the process.
            webreq::ErrorEndHookSet(nullptr);
            webreq::RequestReset();
            webreq::ErrorEndHookSet(EndRequest);
            return false;
        }
        ec_Session(store.c_str());
        ec_SessionIncrease("count", 1);
        ec_Finish();
        webreq::RequestReset();
        return true;
    }
    std::string Page(const std::string &store, bool resumed, bool *served) {
        StdoutCapture capture;
        *served = Serve(store, resumed);
        return capture.Text();
    }

    struct Cycles {
        int served = 0;
        int failed = 0;
        long grown_kib = 0;
    };
    // Requests resumed and new in turn; the growth of the resident memory over them.
    Cycles Run(const std::string &store, int requests) {
        Cycles cycles;
        const StdoutDiscarded discarded;
        const long before = ResidentKib();
        for (int i = 0; i < requests; ++i)
            (Serve(store, i % 2 == 0) ? cycles.served : cycles.failed) += 1;
        cycles.grown_kib = ResidentKib() - before;
        return cycles;
    }

    std::string id;
};

TEST_F(SessionRedisWorkerTest, RequestAfterRequestTheMemoryStaysTheSame) {
    Run(repository, kWarmUp);
    const Cycles cycles = Run(repository, kMeasured);
    EXPECT_EQ(cycles.failed, 0);
    if (kResidentSizeTells) {
        EXPECT_LT(cycles.grown_kib, kGrowthBoundKib);
    }
    ASSERT_EQ(Open(id), 0);
    EXPECT_EQ(ec_SessioniValue("count"), 1 + (kWarmUp + kMeasured) / 2);
}

// A server that answers every command with an error, an address that does not parse and a
// server gone (every connection refused): each request ends in its error page, nothing of it
// stays behind, and once the server is back the next request is served, on a connection made
// again.
TEST_F(SessionRedisWorkerTest, RequestsThatFailCostNoMemoryAndTheNextIsServedOnceMended) {
    const std::string load_failed = "Error: ec_Session(): Can not access session repository(";
    const std::string save_failed = "Error: ec_SessionSave(): Can not access session repository(";
    const std::string misspelt = server.Address("?colour=red");
    struct Case {
        const char *what;
        std::function<void()> fail, mend;
        std::string store;
        std::string resumed_page, new_page, reason;
    };
    const Case cases[] = {
        {"error replies",
         [this] {
             server.Cli("CONFIG SET requirepass s3cret");
             server.Cli("-a s3cret --no-auth-warning CLIENT KILL TYPE normal");
         },
         [this] { server.Cli("-a s3cret --no-auth-warning CONFIG SET requirepass ''"); },
         repository, load_failed + repository + ": ",
         save_failed + repository + " ec_session:", "the server answered: NOAUTH"},
        {"misspelt address", [] {}, [] {}, misspelt,
         load_failed + misspelt + "): ", load_failed + misspelt + "): ", "unknown option."},
        {"stopped", [this] { server.Stop(); }, [this] { ASSERT_TRUE(server.Start()); }, repository,
         load_failed + repository + ": ",
         save_failed + repository + " ec_session:", "can not connect: "},
    };
    for (const Case &c : cases) {
        c.fail();
        bool served = true;
        for (bool resumed : {true, false}) {
            const std::string page = Page(c.store, resumed, &served);
            EXPECT_FALSE(served) << c.what;
            EXPECT_NE(page.find(resumed ? c.resumed_page : c.new_page), std::string::npos)
                << c.what << ": " << page;
            EXPECT_NE(page.find(c.reason), std::string::npos) << c.what << ": " << page;
        }
        Run(c.store, kWarmUp);
        const Cycles cycles = Run(c.store, kMeasured);
        c.mend();
        EXPECT_EQ(cycles.served, 0) << c.what;
        if (kResidentSizeTells) {
            EXPECT_LT(cycles.grown_kib, kGrowthBoundKib) << c.what;
        }
        for (bool resumed : {true, false}) {
            const std::string page = Page(repository, resumed, &served);
            EXPECT_TRUE(served) << c.what << ": " << page;
        }
    }
}

// The password of an address never reaches a message, at the load or at the save.
TEST_F(SessionRedisTest, MessagesLeaveOutThePassword) {
    const std::string out = folder.Path("out");
    const std::string address = "redis+unix://:s3cret@" + folder.Path("none.sock");
    for (bool resumed : {true, false}) {
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ScopedEnv sent("HTTP_COOKIE",
                               resumed ? "QSESSIONID=0123456789abcdef0123456789abcdef" : nullptr);
                ec_Session(address.c_str());
                ec_SessionAdd("k", "v");
                ec_Finish();
            },
            testing::ExitedWithCode(1), "");
        const std::string text = ReadFile(out);
        EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
        EXPECT_NE(
            text.find(
                resumed
                    ? "Error: ec_Session(): Can not access session repository(redis+unix:///"
                    : "Error: ec_SessionSave(): Can not access session repository(redis+unix:///"),
            std::string::npos)
            << text;
    }
}

}  // namespace
