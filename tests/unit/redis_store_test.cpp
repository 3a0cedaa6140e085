#include "webreq/redis_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "tests/unit/redis_server.h"
#include "tests/unit/support.h"

namespace {

using testsupport::TempFolder;
using webreq::redis::Address;
using webreq::redis::AddressParse;
using webreq::redis::Outcome;

Address Parsed(const std::string &text) {
    Address address;
    std::string reason;
    EXPECT_TRUE(AddressParse(text, &address, &reason)) << text << ": " << reason;
    return address;
}

std::string Refusal(const std::string &text) {
    Address address;
    std::string reason;
    EXPECT_FALSE(AddressParse(text, &address, &reason)) << text;
    return reason;
}

TEST(RedisAddress, TcpFormsWithTheirDefaults) {
    Address a = Parsed("redis://127.0.0.1");
    EXPECT_FALSE(a.unix_socket);
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 6379);
    EXPECT_EQ(a.db, 0);
    EXPECT_EQ(a.prefix, "ec_session:");
    EXPECT_EQ(a.connect_timeout_ms, 1000);
    EXPECT_EQ(a.timeout_ms, 2000);
    a = Parsed(
        "redis://:s%40cret@cache.example:6380/3?prefix=site%3As%3A&timeout=0.25"
        "&connect_timeout=5");
    EXPECT_EQ(a.host, "cache.example");
    EXPECT_EQ(a.port, 6380);
    EXPECT_EQ(a.db, 3);
    EXPECT_EQ(a.user, "");
    EXPECT_EQ(a.password, "s@cret");
    EXPECT_EQ(a.prefix, "site:s:");
    EXPECT_EQ(a.timeout_ms, 250);
    EXPECT_EQ(a.connect_timeout_ms, 5000);
    a = Parsed("redis://web:pw@[::1]:7000/");
    EXPECT_EQ(a.host, "::1");
    EXPECT_EQ(a.port, 7000);
    EXPECT_EQ(a.user, "web");
    EXPECT_EQ(a.password, "pw");
}

TEST(RedisAddress, SocketForms) {
    Address a = Parsed("redis+unix:///run/redis/redis.sock");
    EXPECT_TRUE(a.unix_socket);
    EXPECT_EQ(a.socket_path, "/run/redis/redis.sock");
    a = Parsed("redis+unix://:pw@/tmp/a@b/redis.sock?db=2");
    EXPECT_EQ(a.socket_path, "/tmp/a@b/redis.sock");
    EXPECT_EQ(a.password, "pw");
    EXPECT_EQ(a.db, 2);
}

TEST(RedisAddress, MistakesAreNamed) {
    EXPECT_EQ(Refusal("redis://"), "no host");
    EXPECT_EQ(Refusal("redis://h:0"), "invalid port");
    EXPECT_EQ(Refusal("redis://h:65536"), "invalid port");
    EXPECT_EQ(Refusal("redis://h:63x"), "invalid port");
    EXPECT_EQ(Refusal("redis://h/x"), "invalid db");
    EXPECT_EQ(Refusal("redis://h?timeout=0"), "invalid timeout");
    EXPECT_EQ(Refusal("redis://h?timeout=1.2345"), "invalid timeout");
    EXPECT_EQ(Refusal("redis://h?timeout=99999"), "invalid timeout");
    EXPECT_EQ(Refusal("redis://h?connect_timeout=."), "invalid connect_timeout");
    EXPECT_EQ(Refusal("redis://h?colour=red"), "unknown option");
    EXPECT_EQ(Refusal("redis://h?prefix"), "option without a value");
    EXPECT_EQ(Refusal("redis://h?prefix=%zz"), "invalid prefix");
    EXPECT_EQ(Refusal("redis://h?prefix=a%00"), "invalid prefix");
    EXPECT_EQ(Refusal("redis://user@h"), "user without a password");
    EXPECT_EQ(Refusal("redis+unix://relative.sock"), "the socket path must be absolute");
    EXPECT_EQ(Refusal("/var/lib/sessions"), "not a redis address");
    EXPECT_TRUE(webreq::redis::IsAddress("redis://x"));
    EXPECT_TRUE(webreq::redis::IsAddress("redis+unix:///x"));
    EXPECT_FALSE(webreq::redis::IsAddress("redisx://x"));
    EXPECT_FALSE(webreq::redis::IsAddress("C:\\sessions"));
    EXPECT_FALSE(webreq::redis::IsAddress(nullptr));
}

// Whether the process has ended (gone, or a zombie not yet reaped).
bool Ended(pid_t pid) {
    FILE *stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!stat) return true;
    char line[512] = "";
    const bool read = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    const char *after_name = read ? std::strrchr(line, ')') : nullptr;
    return !after_name || after_name[2] == 'Z' || after_name[2] == 'X';
}

// A test process that ends without its fixture's clean-up, as a death test's child does, takes
// its server with it: none is left running on the machine.
TEST(RedisTestServer, EndsWithTheProcessThatStartedIt) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const pid_t started = (new testsupport::RedisServer())->Pid();
        (void)!write(ends[1], &started, sizeof started);
        _exit(0);
    }
    close(ends[1]);
    pid_t server = -1;
    const bool told = read(ends[0], &server, sizeof server) == sizeof server;
    close(ends[0]);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(told);
    if (server <= 0) GTEST_SKIP() << "redis-server is not installed";
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = Ended(server);
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) kill(server, SIGKILL);
    EXPECT_TRUE(ended);
}

// Each test has a server of its own and starts without a kept connection.
class RedisStore : public ::testing::Test {
   protected:
    void SetUp() override {
        webreq::redis::Disconnect();
        if (!webreq::redis::Available()) GTEST_SKIP() << "built without hiredis";
        if (!server.Installed()) GTEST_SKIP() << "redis-server is not installed";
        ASSERT_TRUE(server.Running()) << "redis-server did not start";
        address = Parsed(server.Address("?timeout=0.3&connect_timeout=0.3"));
    }
    void TearDown() override { webreq::redis::Disconnect(); }

    Outcome Load(const std::string &id, std::string *text) {
        return webreq::redis::Load(address, id, text, &reason);
    }
    Outcome Save(const std::string &id, const std::string &text, int ttl, bool is_new) {
        return webreq::redis::Save(address, id, text, ttl, is_new, &reason);
    }

    testsupport::RedisServer server;
    Address address;
    std::string reason;
};

TEST_F(RedisStore, SavedTextComesBackByteForByteWithItsTimeToLive) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    bytes += "\r\n# comment = line\n";
    std::string text;
    EXPECT_EQ(Load("a1", &text), Outcome::kMissing);
    EXPECT_EQ(Save("a1", bytes, 1800, true), Outcome::kDone) << reason;
    EXPECT_EQ(Load("a1", &text), Outcome::kDone) << reason;
    EXPECT_EQ(text, bytes);
    EXPECT_EQ(server.Cli("TTL ec_session:a1"), "1800\n");
    EXPECT_EQ(Save("a1", "second", 60, false), Outcome::kDone) << reason;
    EXPECT_EQ(Load("a1", &text), Outcome::kDone);
    EXPECT_EQ(text, "second");
    EXPECT_EQ(server.Cli("TTL ec_session:a1"), "60\n") << "each save sets the expiry anew";
}

TEST_F(RedisStore, AnExpiredSessionIsMissing) {
    std::string text;
    ASSERT_EQ(Save("short", "x", 1, true), Outcome::kDone) << reason;
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(Load("short", &text), Outcome::kMissing);
}

// A request's save after another request destroyed the session does not bring it back.
TEST_F(RedisStore, ADestroyedSessionStaysGone) {
    std::string text;
    ASSERT_EQ(Save("gone", "v", 1800, true), Outcome::kDone) << reason;
    EXPECT_EQ(webreq::redis::Remove(address, "gone", &reason), Outcome::kDone);
    EXPECT_EQ(Save("gone", "resaved", 1800, false), Outcome::kMissing);
    EXPECT_EQ(Load("gone", &text), Outcome::kMissing);
    EXPECT_EQ(webreq::redis::Remove(address, "gone", &reason), Outcome::kMissing);
}

TEST_F(RedisStore, RefusedConnectionIsAFailureWithItsReason) {
    TempFolder folder;
    const Address nowhere = Parsed("redis+unix://" + folder.Path("none.sock"));
    std::string text;
    EXPECT_EQ(webreq::redis::Load(nowhere, "a", &text, &reason), Outcome::kFailed);
    EXPECT_NE(reason.find("can not connect"), std::string::npos) << reason;
}

// A server that stops answering costs the command's time-out, not a hang; once it answers
// again the next command is served on a new connection.
TEST_F(RedisStore, AServerThatStopsAnsweringTimesOutAndIsUsedAgainAfter) {
    std::string text;
    ASSERT_EQ(Save("p", "before", 1800, true), Outcome::kDone) << reason;
    server.Pause();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Load("p", &text), Outcome::kFailed);
    const auto waited = std::chrono::steady_clock::now() - start;
    server.Resume();
    EXPECT_LT(waited, std::chrono::seconds(3)) << "bounded by the time-outs";
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(Load("p", &text), Outcome::kDone) << reason;
    EXPECT_EQ(text, "before");
}

// The kept connection breaks when the server restarts between two requests: the command is
// sent again on a new one and does not fail.
TEST_F(RedisStore, AServerRestartedBetweenRequestsIsReconnected) {
    std::string text;
    ASSERT_EQ(Save("r", "one", 1800, true), Outcome::kDone) << reason;
    ASSERT_TRUE(server.Restart());
    EXPECT_EQ(Load("r", &text), Outcome::kMissing) << reason;  // the restarted server is empty
    EXPECT_EQ(Save("r", "two", 1800, true), Outcome::kDone) << reason;
    EXPECT_EQ(Load("r", &text), Outcome::kDone);
    EXPECT_EQ(text, "two");
}

TEST_F(RedisStore, AReplyThatIsNotWhatWasAskedIsAFailure) {
    server.Cli("HSET ec_session:h f v");
    std::string text;
    EXPECT_EQ(Load("h", &text), Outcome::kFailed);
    EXPECT_NE(reason.find("WRONGTYPE"), std::string::npos) << reason;
}

// Something that is not a Redis server on the other end.
TEST_F(RedisStore, APeerThatIsNotRedisIsAFailure) {
    TempFolder folder;
    const std::string path = folder.Path("other.sock");
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof where.sun_path);
    path.copy(where.sun_path, path.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&where), sizeof where), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    std::thread peer([listener] {
        const int client = accept(listener, nullptr, nullptr);
        char request[256];
        (void)!read(client, request, sizeof request);
        const char answer[] = "HTTP/1.1 400 Bad Request\r\n\r\n";
        (void)!write(client, answer, sizeof answer - 1);
        close(client);
    });
    const Address other = Parsed("redis+unix://" + path + "?timeout=0.5");
    std::string text;
    EXPECT_EQ(webreq::redis::Load(other, "a", &text, &reason), Outcome::kFailed);
    EXPECT_FALSE(reason.empty());
    peer.join();
    close(listener);
    webreq::redis::Disconnect();
}

}  // namespace
