// Two locked operations on one file in one process: neither waits on the other, and the
// result is what each gives alone. Across processes readers share and writers wait.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "platform/platform.h"
#include "tests/unit/support.h"
#include "util/fileio.h"
#include "webreq/session.h"
#include "webreq/template.h"

namespace {

using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::TempFolder;
using testsupport::WriteFile;

// Runs the step on a thread of its own; a step that waits on its own process's lock would
// never come back, and the test run ends with a message instead of hanging.
void FinishesSoon(const std::function<void()> &step, const char *what) {
    std::packaged_task<void()> task(step);
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "FAILED: %s waits on a lock its own process holds\n", what);
        std::fflush(stderr);
        std::_Exit(1);
    }
    runner.join();
}

class LockPairsTest : public ::testing::Test {
   protected:
    void TearDown() override { ec_AwkClose(); }
    std::string Make(const std::string &name, const std::string &bytes) {
        WriteFile(folder.Path(name), bytes);
        return folder.Path(name);
    }
    TempFolder folder;
};

TEST_F(LockPairsTest, AppendingAFileToItselfDoublesIt) {
    const std::string x = Make("x", "abc");
    FinishesSoon([&] { EXPECT_EQ(FileAppend(x.c_str(), x.c_str()), 1); }, "FileAppend(x, x)");
    EXPECT_EQ(ReadFile(x), "abcabc");
}

TEST_F(LockPairsTest, AppendingALargeFileToItselfCopiesOnlyWhatItHeld) {
    // More than one copy block: appended bytes must not be read back as source.
    std::string bytes(3 << 20, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
    const std::string x = Make("big", bytes);
    FinishesSoon([&] { EXPECT_EQ(FileAppend(x.c_str(), x.c_str()), 1); }, "FileAppend(big, big)");
    EXPECT_EQ(ReadFile(x), bytes + bytes);
}

TEST_F(LockPairsTest, ReaderOpenThenCountersOnTheSameFile) {
    const std::string f = Make("count", "41\n");
    ASSERT_EQ(ec_AwkOpen(f.c_str(), ' '), 1);
    FinishesSoon([&] { EXPECT_EQ(ec_CounterGet(f.c_str()), 41); }, "ec_CounterGet while read");
    FinishesSoon([&] { EXPECT_EQ(ec_CounterAdd(f.c_str(), 1), 42); }, "ec_CounterAdd while read");
    FinishesSoon([&] { EXPECT_EQ(ec_CounterSet(f.c_str(), 7), 1); }, "ec_CounterSet while read");
    FinishesSoon([&] { EXPECT_EQ(FileAppend(f.c_str(), f.c_str()), 1); }, "FileAppend while read");
    // A counter is replaced, not rewritten in place: the reader keeps the file it opened. On
    // Windows a file held open cannot be replaced, and the number is written in place.
    ec_awk_fields fields;
    EXPECT_EQ(ec_AwkNext(fields), 1);
#ifdef _WIN32
    EXPECT_STREQ(fields[0], "7");
#else
    EXPECT_STREQ(fields[0], "41");
#endif
    EXPECT_EQ(ec_AwkClose(), 1);
#ifdef _WIN32
    EXPECT_EQ(ReadFile(f), "7\r\n7\r\n");  // ec_CounterSet writes in text mode
#else
    EXPECT_EQ(ReadFile(f), "7\n7\n");
#endif
}

TEST_F(LockPairsTest, CountersInsideAWriterOfTheSameFile) {
    const std::string f = Make("count", "5\n");
    FILE *writer = FileOpenLocked(f.c_str(), "r+b");
    ASSERT_NE(writer, nullptr);
    FinishesSoon([&] { EXPECT_EQ(ec_CounterGet(f.c_str()), 5); }, "ec_CounterGet while written");
    FinishesSoon([&] { EXPECT_EQ(ec_CounterAdd(f.c_str(), 2), 7); }, "ec_CounterAdd while written");
    FinishesSoon([&] { EXPECT_EQ(ec_AwkOpen(f.c_str(), ' '), 1); }, "ec_AwkOpen while written");
    EXPECT_EQ(ec_AwkClose(), 1);
    EXPECT_EQ(FileCloseLocked(writer), 0);
    EXPECT_EQ(ec_CounterGet(f.c_str()), 7);
}

TEST_F(LockPairsTest, TimeoutFileWhileLockedInTheSameProcess) {
    const std::string t = Make("s.timeout", "99999999999\n");
    FILE *holder = FileOpenLocked(t.c_str(), "r+t");
    ASSERT_NE(holder, nullptr);
    FinishesSoon([&] { EXPECT_EQ(_session_expiry_check(t.c_str()), 1); }, "expiry check");
    FileCloseLocked(holder);
    ASSERT_EQ(ec_AwkOpen(t.c_str(), ' '), 1);
    FinishesSoon([&] { EXPECT_EQ(_session_expiry_check(t.c_str()), 1); }, "expiry check");
}

TEST_F(LockPairsTest, EveryLockIsGoneWhenItsStreamsClose) {
    const std::string f = Make("f", "1\n");
    FILE *first = FileOpenLocked(f.c_str(), "rb");
    FILE *second = nullptr;
    FinishesSoon([&] { second = FileOpenLocked(f.c_str(), "ab"); }, "a writer while read");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    // The first stream goes while the second still holds the lock; then the second.
    EXPECT_EQ(FileCloseLocked(first), 0);
    EXPECT_EQ(FileUnlock(second), 0);
    EXPECT_EQ(FileUnlock(second), -1);  // nothing left to release
    std::fclose(second);
}

std::string Probe() {
    std::string path = NUVEX_LOCK_PROBE;
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') path = "Z:" + path;  // Wine's view of the Unix tree
#endif
    return path;
}

bool AppearsWithin(const std::string &path, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!Exists(path)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TEST_F(LockPairsTest, ProcessesReadingOneDataFileShare) {
    const std::string f = Make("data", "a b\n");
    const std::string taken = folder.Path("taken");
    ASSERT_EQ(ec_AwkOpen(f.c_str(), ' '), 1);
    ASSERT_TRUE(platform::ProcessStart(Probe().c_str(), {Probe(), "rt", f, taken}));
    EXPECT_TRUE(AppearsWithin(taken, std::chrono::seconds(30)));
    ec_AwkClose();
    AppearsWithin(taken, std::chrono::seconds(30));  // the probe is done before the folder goes
}

TEST_F(LockPairsTest, AnUpdateInAnotherProcessWaitsForTheReader) {
    const std::string f = Make("data", "1\n");
    const std::string taken = folder.Path("taken");
    ASSERT_EQ(ec_AwkOpen(f.c_str(), ' '), 1);
    ASSERT_TRUE(platform::ProcessStart(Probe().c_str(), {Probe(), "r+t", f, taken}));
    EXPECT_FALSE(AppearsWithin(taken, std::chrono::milliseconds(1500)));
    ec_AwkClose();
    EXPECT_TRUE(AppearsWithin(taken, std::chrono::seconds(30)));
}

// A counter set in another process waits for this one's update and only then replaces the
// file: the value held meanwhile is never lost to an early cut.
TEST_F(LockPairsTest, ASetInAnotherProcessCutsTheCounterOnlyUnderTheLock) {
    const std::string f = Make("counter", "1234567\n");
    const std::string done = folder.Path("done");
    FILE *update = FileOpenLocked(f.c_str(), "r+t");
    ASSERT_NE(update, nullptr);
    ASSERT_TRUE(platform::ProcessStart(Probe().c_str(), {Probe(), "counter-set", f, done}));
    EXPECT_FALSE(AppearsWithin(done, std::chrono::milliseconds(1500)));
    EXPECT_EQ(ReadFile(f), "1234567\n");
    FileCloseLocked(update);
    ASSERT_TRUE(AppearsWithin(done, std::chrono::seconds(30)));
    EXPECT_EQ(ec_CounterGet(f.c_str()), 5);
    const std::string text = ReadFile(f);
    EXPECT_TRUE(text == "5\n" || text == "5\r\n") << "the old digits are cut: " << text;
}

// Processes adding to one counter at once lose no increment, and processes reading it
// meanwhile see it only grow: never an empty or cut file. On Windows the readers hold the
// counter open now and then as a writer renames over it.
TEST_F(LockPairsTest, ProcessesAddingToOneCounterLoseNoIncrement) {
#ifdef _WIN32
    constexpr int kProcesses = 4;
#else
    constexpr int kProcesses = 8;
#endif
    constexpr int kAddsEach = 50;  // as lock_probe's counter-add
    const std::string f = Make("hits", "1000\n");
    std::vector<std::string> done;
    for (int i = 0; i < kProcesses; ++i) {
        done.push_back(folder.Path("done" + std::to_string(i)));
        ASSERT_TRUE(platform::ProcessStart(Probe().c_str(), {Probe(), "counter-add", f, done[i]}));
    }
    for (int i = 0; i < 2; ++i) {
        done.push_back(folder.Path("read" + std::to_string(i)));
        ASSERT_TRUE(
            platform::ProcessStart(Probe().c_str(), {Probe(), "counter-read", f, done.back()}));
    }
    for (const std::string &d : done)
        EXPECT_TRUE(AppearsWithin(d, std::chrono::seconds(120))) << d << ": a probe failed";
    EXPECT_EQ(ec_CounterGet(f.c_str()), 1000 + kProcesses * kAddsEach);
    EXPECT_FALSE(Exists(f + ".new")) << "nothing is left beside the counter";
}

#ifndef _WIN32
// The probe run under strace, killed at the nth call of the syscalls; its exit status, or -1
// when strace cannot trace here.
int ProbeKilledAt(const char *syscalls, int nth, const std::string &mode, const std::string &path) {
    const std::string command = "strace -f -qq -o /dev/null -e trace=" + std::string(syscalls) +
                                " -e inject=" + syscalls +
                                ":signal=KILL:when=" + std::to_string(nth) + " " + Probe() + " " +
                                mode + " '" + path + "' '" + path + ".done' >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool StraceWorks() {
    return std::system("strace -f -qq -o /dev/null true >/dev/null 2>&1") == 0;
}

// Killed at any write or rename, a counter holds the old number or the new one: never an empty
// or cut file.
TEST_F(LockPairsTest, ACounterWriterKilledAtAnyStepLeavesTheOldOrTheNewNumber) {
    if (!StraceWorks()) GTEST_SKIP() << "strace cannot trace processes here";
    const std::string f = folder.Path("count");
    // The numbers a probe may leave: the old one, or one it stored.
    struct Case {
        const char *mode;
        int lowest;
        int highest;
    };
    for (const Case &c : {Case{"counter-set", 5, 5}, Case{"counter-add", 12346, 12395}}) {
        for (const char *syscalls : {"write", "rename,renameat,renameat2"}) {
            int nth = 1;
            for (; nth < 200; ++nth) {
                WriteFile(f, "12345\n");
                const int status = ProbeKilledAt(syscalls, nth, c.mode, f);
                const std::string text = ReadFile(f);
                const int number = std::atoi(text.c_str());
                EXPECT_TRUE(text == std::to_string(number) + "\n" &&
                            (number == 12345 || (number >= c.lowest && number <= c.highest)))
                    << c.mode << " killed at " << syscalls << " " << nth << ": \"" << text << "\"";
                if (status == 0) {
                    EXPECT_EQ(number, c.highest) << c.mode << " ran to its end";
                    break;
                }
            }
            EXPECT_GT(nth, 1) << c.mode << ": the probe was never killed at " << syscalls;
        }
    }
}
#endif

}  // namespace
