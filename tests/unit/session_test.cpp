#include "webreq/session.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "platform/platform.h"
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
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

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

TEST_F(SessionTest, NewSessionSetsTheCookieAndSavesOnlyWhenModified) {
    std::string headers;
    EXPECT_EQ(Open("", &headers), 1);
    const std::string id = ec_SessionGetID();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}"))) << id;
    EXPECT_EQ(headers, "Set-Cookie: QSESSIONID=" + id + "; path=/; HttpOnly; SameSite=Lax\n")
        << "no script reads the session cookie, no other site's request carries it";
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

// One process serves request after request, each with its own repository: a session is
// looked for in the repository of its request only.
TEST_F(SessionTest, EachRequestLooksInItsOwnRepository) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("user", "%s", "ann");
    Finish();
    TempFolder other_folder;
    const std::string first_repository = repository;
    repository = other_folder.Root();
    EXPECT_EQ(Open(id), 1) << "the other repository holds no such session";
    const std::string other_id = ec_SessionGetID();
    EXPECT_NE(other_id, id);
    ec_SessionAdd("user", "%s", "bob");
    Finish();
    EXPECT_TRUE(Exists(Properties(other_id)));
    repository = first_repository;
    EXPECT_EQ(Open(id), 0);
    EXPECT_STREQ(ec_SessionValue("user"), "ann");
    Finish();
    EXPECT_FALSE(Exists(Properties(other_id)));
}

TEST_F(SessionTest, ResumedSessionCountsConnectionsAndKeepsItsInterval) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("note", "a+b%%41");
    Finish();
    EXPECT_EQ(Open(id), 0);
    EXPECT_EQ(ec_SessioniValue("_Q_CONNECTIONS"), 2);
    EXPECT_STREQ(ec_SessionValue("note"), "a+b%41") << "values come back as they were stored";
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

// A folder that a worker found usable and that is taken away later fails the save, clearly.
TEST_F(SessionTest, AFolderTakenAwayAfterItsCheckFailsTheSave) {
    const std::string later = folder.Path("later");
    std::filesystem::create_directories(later);
    repository = later;
    Open("");
    ec_SessionAdd("k", "v");
    Finish();
    std::filesystem::remove_all(later);
    const std::string out = folder.Path("out");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            Open("");
            ec_SessionAdd("k", "v");
            ec_Finish();
        },
        testing::ExitedWithCode(1), "");
    EXPECT_NE(ReadFile(out).find("Error: ec_SessionSave(): Can not access session repository(" +
                                 later + "/ec_session-"),
              std::string::npos)
        << ReadFile(out);
}

#ifndef _WIN32
// The default repository is a Windows path like any other: on Linux it lies below the drive
// root, as every other path of the library does.
TEST_F(SessionTest, TheDefaultRepositoryGoesThroughTheDriveMapping) {
    const std::string folder_path = platform::NativePath("C:\\Windows\\Temp");
    EXPECT_EQ(folder_path.rfind(platform::DriveRoot(), 0), 0u) << folder_path;
    std::filesystem::create_directories(folder_path);
    ec_Finish();
    ScopedEnv no_cookie("HTTP_COOKIE", nullptr);
    {
        StdoutCapture capture;
        ASSERT_EQ(ec_Session(nullptr), 1);
    }
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    EXPECT_TRUE(Exists(folder_path + "/ec_session-" + id + ".properties"));
    std::filesystem::remove_all(folder_path);
}
#endif

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
    // Found before the cookie of a session that could never be stored is sent.
    const std::string text = ReadFile(out);
    EXPECT_EQ(text, "Error: ec_Session(): Can not access session repository(" + missing_repository +
                        "): not a folder that can be written.\n");
}

// A name is written as it stands; one that could not be read back as itself is refused, so a
// client's text used as a name cannot add entries (reserved ones included).
TEST_F(SessionTest, NamesThatCouldNotBeReadBackAreRefused) {
    const std::string out = folder.Path("out");
    const char *message =
        "Error: ec_SessionAdd(): Name can not hold a line break or '=', start with '#' or have "
        "blanks at its edges.\n";
    for (const char *name : {"x\n_Q_INTERVAL = 99", "a\rb", "a=b", "#a", " a", "a\t"}) {
        for (bool increase : {false, true}) {
            EXPECT_EXIT(
                {
                    CaptureStdoutTo(out);
                    ec_Session(repository.c_str());
                    if (increase)
                        ec_SessionIncrease(name, 1);
                    else
                        ec_SessionAdd(name, "v");
                },
                testing::ExitedWithCode(1), "");
            const std::string text = ReadFile(out);
            EXPECT_NE(text.find(message), std::string::npos) << name << ": " << text;
        }
    }
    ec_Session(repository.c_str());
    EXPECT_STREQ(ec_SessionAdd("a b", "v"), "v");  // inner blanks read back as they are
    ec_Finish();
}

TEST_F(SessionTest, ValuesCannotAddEntriesAndComeBackByteForByte) {
    Open("");
    const std::string id = ec_SessionGetID();
    // A sign-in name as an attacker sends it, decoded: two more lines, one of them reserved.
    const std::string injected = "bob\nvisits = 2147483647\n_Q_INTERVAL = 99";
    const std::vector<std::string> values = {injected,     "a+b", "%41%zz%", "  edge\t ",
                                             "cr\r\nlf\r", "\t",  "x = y"};
    const char *const names[] = {"v0", "v1", "v2", "v3", "v4", "v5", "v6"};
    ASSERT_EQ(std::size(names), values.size());
    for (size_t i = 0; i < values.size(); ++i) ec_SessionAdd(names[i], "%s", values[i].c_str());
    Finish();

    ec_entry *saved = ec_fDecoder(Properties(id).c_str());
    int entries = 0;
    for (ec_entry *e = saved; e; e = e->next) ++entries;
    EXPECT_EQ(entries, 5 + static_cast<int>(values.size())) << "one line per stored value";
    EXPECT_EQ(_list_value(saved, "visits"), nullptr);
    _list_free(saved);

    EXPECT_EQ(Open(id), 0);
    for (size_t i = 0; i < values.size(); ++i) {
        const char *back = ec_SessionValue("%s", names[i]);
        ASSERT_NE(back, nullptr) << i;
        EXPECT_EQ(std::string(back), values[i]) << i;
    }
    EXPECT_EQ(ec_SessioniValue("_Q_INTERVAL"), 1800);
    EXPECT_EQ(ec_SessionValue("visits"), nullptr);
}

TEST_F(SessionTest, FilesWrittenBeforeTheEncodingLoadAsBefore) {
    const std::string id(32, 'c');
    WriteFile(Properties(id),
              "# automatically generated by ec_Decoder at Tue, 08-Dec-2026 05:42:03 GMT.\n# x\n"
              "_Q_SESSIONID = " +
                  id +
                  "\n_Q_CONNECTIONS = 4\n_Q_INTERVAL = 1800\n"
                  "note = a+b%41\n");
    WriteFile(Timeout(id), std::to_string(std::time(nullptr) + 600) + "\n");
    EXPECT_EQ(Open(id), 0);
    EXPECT_STREQ(ec_SessionValue("note"), "a bA") << "raw values are URL-decoded as always";
    EXPECT_EQ(ec_SessioniValue("_Q_CONNECTIONS"), 5);
    Finish();
    EXPECT_EQ(Open(id), 0);
    EXPECT_STREQ(ec_SessionValue("note"), "a bA") << "and kept from then on";
}

TEST_F(SessionTest, OnlyTheCookieNamesTheSession) {
    Open("");
    const std::string victim = ec_SessionGetID();
    ec_SessionAdd("user", "alice");
    Finish();
    // A link that carries the identifier in its query, and a form field of that name.
    ec_Finish();
    cookie.reset();
    ScopedEnv link("QUERY_STRING", ("QSESSIONID=" + victim).c_str());
    std::string headers;
    {
        StdoutCapture capture;
        EXPECT_EQ(ec_Session(repository.c_str()), 1);
        headers = capture.Text();
    }
    EXPECT_NE(std::string(ec_SessionGetID()), victim);
    EXPECT_EQ(ec_SessionValue("user"), nullptr);
    EXPECT_EQ(headers.find(victim), std::string::npos) << headers;
    ec_Finish();
    // The cookie still resumes, also when a query field of the name says otherwise.
    ScopedEnv other("QUERY_STRING", ("QSESSIONID=" + std::string(32, 'd')).c_str());
    ScopedEnv real("HTTP_COOKIE", ("QSESSIONID=" + victim).c_str());
    {
        StdoutCapture capture;
        EXPECT_EQ(ec_Session(repository.c_str()), 0);
    }
    EXPECT_STREQ(ec_SessionValue("user"), "alice");
}

TEST_F(SessionTest, CountsStopAtTheEndsOfInt) {
    Open("");
    EXPECT_EQ(ec_SessionIncrease("n", INT_MAX), INT_MAX);
    EXPECT_EQ(ec_SessionIncrease("n", 1), INT_MAX);
    EXPECT_EQ(ec_SessionIncrease("n", INT_MAX), INT_MAX);
    EXPECT_EQ(ec_SessionIncrease("n", -1), INT_MAX - 1);
    EXPECT_EQ(ec_SessionIncrease("m", INT_MIN), INT_MIN);
    EXPECT_EQ(ec_SessionIncrease("m", -1), INT_MIN);
    EXPECT_EQ(ec_SessioniValue("m"), INT_MIN);
    const std::string id = ec_SessionGetID();
    Finish();

    const std::string text = ReadFile(Properties(id));
    const size_t at = text.find("_Q_CONNECTIONS = 1");
    ASSERT_NE(at, std::string::npos);
    WriteFile(Properties(id), text.substr(0, at) + "_Q_CONNECTIONS = 2147483647" +
                                  text.substr(at + std::string("_Q_CONNECTIONS = 1").size()));
    EXPECT_EQ(Open(id), 0);
    EXPECT_EQ(ec_SessioniValue("_Q_CONNECTIONS"), INT_MAX);
    Finish();
    EXPECT_EQ(Open(id), 0);
    EXPECT_EQ(ec_SessioniValue("_Q_CONNECTIONS"), INT_MAX);
    EXPECT_EQ(ec_SessioniValue("n"), INT_MAX - 1);
}

TEST_F(SessionTest, TheSecondLineNamesThePropertiesFile) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    const std::vector<std::string> lines = Lines(ReadFile(Properties(id)));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "# " + Properties(id));
}

#ifndef _WIN32
// Long repository folders, made of components that each file system takes.
std::string NestedFolder(const std::string &root, size_t length) {
    std::string path = root;
    while (path.size() < length) {
        const size_t left = length - path.size() - 1;
        path += '/';
        path.append(left > 200 ? 100 : left, 'r');
    }
    std::filesystem::create_directories(path);
    return path;
}

TEST_F(SessionTest, PropertiesPathsUpTo1020CharactersAreSaved) {
    const size_t name_length = std::string("/ec_session-.properties").size() + 32;
    for (size_t length : {1008u, 1014u, 1020u}) {
        TempFolder base;
        const std::string folder_path = NestedFolder(base.Root(), length - name_length);
        repository = folder_path;
        Open("");
        const std::string id = ec_SessionGetID();
        ASSERT_EQ(Properties(id).size(), length);
        ec_SessionAdd("k", "v");
        const std::string out = base.Path("out");
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ec_Finish();
                std::exit(0);
            },
            testing::ExitedWithCode(0), "")
            << length << ": " << ReadFile(out);
        ec_Finish();
        const std::vector<std::string> lines = Lines(ReadFile(Properties(id)));
        ASSERT_GE(lines.size(), 2u) << length;
        EXPECT_EQ(lines[1], "# " + Properties(id));
        repository = folder.Root();
    }
}
#endif

// A save renames the new file over the old one: a request still reading the old file keeps
// its text whole, and on Windows the rename goes through while that request holds the file.
TEST_F(SessionTest, ASaveReplacesTheFilesThatAnotherRequestHoldsOpen) {
    const std::string out = folder.Path("out");
    // The whole scenario runs in the child (a death test may run the test body again there).
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            Open("");
            const std::string id = ec_SessionGetID();
            ec_SessionAdd("k", "first");
            ec_Finish();
            FILE *reader = platform::StreamOpenReplaceable(Properties(id).c_str(), "rb");
            FILE *timeout_reader = platform::StreamOpenReplaceable(Timeout(id).c_str(), "rt");
            if (!reader || !timeout_reader) std::exit(2);
            if (Open(id) != 0) std::exit(3);
            ec_SessionRemove("k");
            ec_SessionAdd("k", "second");
            ec_SessionSetTimeout(77);
            const long long before = std::time(nullptr);
            ec_Finish();
            char held[4096] = {};
            const size_t got = std::fread(held, 1, sizeof held - 1, reader);
            std::fclose(reader);
            std::fclose(timeout_reader);
            if (got == 0 || !std::strstr(held, "k = first")) std::exit(6);
            if (std::strstr(held, "k = second")) std::exit(7);
            const std::string saved = ReadFile(Properties(id));
            if (saved.find("k = second") == std::string::npos) std::exit(4);
            if (std::stoll(ReadFile(Timeout(id))) < before + 77) std::exit(5);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadFile(out).find("Error"), std::string::npos) << ReadFile(out);
}

}  // namespace

namespace {

// A save that shrinks or grows the text leaves exactly the new text, no tail of the old.
TEST_F(SessionTest, SavesThatGrowOrShrinkLeaveExactlyTheNewText) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("note", "%s", std::string(300, 'x').c_str());
    Finish();
    const std::string grown = ReadFile(Properties(id));
    ASSERT_NE(grown.find(std::string(300, 'x')), std::string::npos);

    ASSERT_EQ(Open(id), 0);
    ec_SessionRemove("note");
    ec_SessionAdd("note", "short");
    Finish();
    const std::string shrunk = ReadFile(Properties(id));
    EXPECT_LT(shrunk.size(), grown.size());
    EXPECT_EQ(shrunk.find("xxxx"), std::string::npos) << shrunk;
    const std::vector<std::string> lines = Lines(shrunk);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "note = short");
    EXPECT_EQ(shrunk.back(), '\n');

    ASSERT_EQ(Open(id), 0);
    ec_SessionRemove("note");
    ec_SessionAdd("note", "longer than short");
    Finish();
    EXPECT_EQ(Lines(ReadFile(Properties(id))).back(), "note = longer than short");
    ASSERT_EQ(Open(id), 0);
    EXPECT_STREQ(ec_SessionValue("note"), "longer than short");
}

// A resumed session's save writes its whole text even when another request rewrote the file
// since it was read: nothing of the other text is left behind.
TEST_F(SessionTest, ASaveAfterAnotherRequestRewroteTheFileLeavesOnlyItsOwnText) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    ASSERT_EQ(Open(id), 0);
    WriteFile(Properties(id), "# other\n# " + Properties(id) +
                                  "\nk = v\nbulk = " + std::string(2000, 'y') + "\nextra = 1\n");
    ec_SessionAdd("mine", "1");
    Finish();
    const std::string saved = ReadFile(Properties(id));
    EXPECT_EQ(saved.find("yyyy"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("extra"), std::string::npos) << saved;
    EXPECT_EQ(Lines(saved).back(), "mine = 1");
    ASSERT_EQ(Open(id), 0);
    EXPECT_STREQ(ec_SessionValue("k"), "v");
    EXPECT_STREQ(ec_SessionValue("mine"), "1");
}

#ifndef _WIN32
// No session file is held open while the page runs: a program the page starts gets none.
TEST_F(SessionTest, AProgramThePageStartsDoesNotInheritTheSessionFile) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    ASSERT_EQ(Open(id), 0);
    const std::string listing = folder.Path("fds");
    ASSERT_EQ(std::system(("ls -l /proc/self/fd/ > " + listing + " 2>&1").c_str()), 0);
    const std::string fds = ReadFile(listing);
    EXPECT_NE(fds.find("/proc/"), std::string::npos) << "the listing names its own folder";
    EXPECT_EQ(fds.find("ec_session-"), std::string::npos) << fds;
}
#endif

// The expiry is written again unless the file already holds the one due now.
// The expiry helpers on their own: what cannot be read is 0, never the end of the process.
TEST_F(SessionTest, ExpiryHelpersReadWhatIsThere) {
    EXPECT_EQ(_session_expiry_check(nullptr), 0);
    EXPECT_EQ(_session_expiry_check(Timeout("missing").c_str()), 0);
    EXPECT_EQ(_session_expiry_write(nullptr, 60), 0);
    const std::string timeout = Timeout("helpers");
    EXPECT_GT(_session_expiry_write(timeout.c_str(), 60), 0);
    EXPECT_EQ(_session_expiry_check(timeout.c_str()), 1);
    WriteFile(timeout, "12\n");
    EXPECT_EQ(_session_expiry_check(timeout.c_str()), -1);
}

TEST_F(SessionTest, AResumedSessionRenewsAnExpiryThatDiffers) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    const long long soon = static_cast<long long>(std::time(nullptr)) + 100;
    WriteFile(Timeout(id), std::to_string(soon) + "\n");
    ASSERT_EQ(Open(id), 0);
    const long long before = std::time(nullptr);
    ec_SessionAdd("k2", "v");
    Finish();
    EXPECT_GE(std::stoll(ReadFile(Timeout(id))), before + 1800);
    // A longer expiry text than the file's and a shorter one.
    WriteFile(Timeout(id), "99999999999999\n");
    ASSERT_EQ(Open(id), 0);
    ec_SessionAdd("k3", "v");
    Finish();
    EXPECT_EQ(std::to_string(std::stoll(ReadFile(Timeout(id)))).size(),
              std::to_string(before + 1800).size());
    EXPECT_EQ(ReadFile(Timeout(id)).find("9999"), std::string::npos);
}

}  // namespace

namespace {

// The session files of the repository that a save leaves beside its targets when it dies.
bool EndsWith(const std::string &name, const std::string &end) {
    return name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
}

// Files beside the session files; a save where names can be swapped keeps one spare per file
// (the version before last), which is no leftover of a failed save.
std::vector<std::string> Leftovers(const std::string &repository, bool with_spares = true) {
    std::vector<std::string> found;
    for (const auto &entry : std::filesystem::directory_iterator(repository)) {
        const std::string name = entry.path().filename().string();
        if (EndsWith(name, ".tmp") && (with_spares || !EndsWith(name, ".spare.tmp")))
            found.push_back(name);
    }
    return found;
}

// A session whose properties file went away during the request (another request's destroy, a
// clean-up job) is saved whole again: never a timeout file alone.
TEST_F(SessionTest, ASaveAfterItsPropertiesFileWentAwaySavesTheWholeSession) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    for (bool timeout_too : {false, true}) {
        ASSERT_EQ(Open(id), 0) << timeout_too;
        ASSERT_EQ(platform::FileRemove(Properties(id).c_str()), 0);
        if (timeout_too) {
            ASSERT_EQ(platform::FileRemove(Timeout(id).c_str()), 0);
        }
        ec_SessionAdd("more", "1");
        Finish();
        EXPECT_TRUE(Exists(Properties(id))) << timeout_too;
        EXPECT_TRUE(Exists(Timeout(id))) << timeout_too;
        ASSERT_EQ(Open(id), 0) << timeout_too;
        ASSERT_NE(ec_SessionGetID(), nullptr);
        EXPECT_EQ(std::string(ec_SessionGetID()), id);
        EXPECT_STREQ(ec_SessionValue("k"), "v");
    }
}

// A timeout file whose properties file is missing, or holds no session of that identifier,
// is not resumed: a new session starts and the stray files go.
TEST_F(SessionTest, ATimeoutFileWithoutItsSessionStartsANewOne) {
    const std::string id(32, 'd');
    const std::string due = std::to_string(std::time(nullptr) + 600) + "\n";
    const std::vector<std::string> properties = {
        "",                                                                 // missing
        "# x\n# y\n",                                                       // no entries
        "_Q_SESSIONID = " + std::string(32, 'e') + "\n_Q_INTERVAL = 60\n",  // another's
    };
    for (size_t i = 0; i < properties.size(); ++i) {
        WriteFile(Timeout(id), due);
        if (i > 0) WriteFile(Properties(id), properties[i]);
        std::string headers;
        EXPECT_EQ(Open(id, &headers), 1) << i;
        ASSERT_NE(ec_SessionGetID(), nullptr) << i;
        EXPECT_NE(std::string(ec_SessionGetID()), id) << i;
        EXPECT_NE(headers.find("QSESSIONID=" + std::string(ec_SessionGetID())), std::string::npos)
            << headers;
        EXPECT_EQ(ec_SessioniValue("_Q_INTERVAL"), 1800) << i;
        EXPECT_FALSE(Exists(Timeout(id))) << i;
        EXPECT_FALSE(Exists(Properties(id))) << i;
        Finish();
    }
}

// A file that a save on Windows put aside for a moment (a reader held it) is read in its
// place while the target is missing, and a save killed there loses nothing.
TEST_F(SessionTest, AFileStandingAsideUnderASaveIsReadInItsPlace) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    for (const std::string &path : {Properties(id), Timeout(id)}) {
        WriteFile(path + ".old.tmp", ReadFile(path));
        ASSERT_EQ(platform::FileRemove(path.c_str()), 0);
        ASSERT_EQ(Open(id), 0) << path;
        EXPECT_STREQ(ec_SessionValue("k"), "v");
        Finish();
        EXPECT_TRUE(Exists(Properties(id)) && Exists(Timeout(id))) << path;
        platform::FileRemove((path + ".old.tmp").c_str());
    }
}

// Files a killed save left beside the targets go with the session's files (destroyed or
// expired); another session's stay.
TEST_F(SessionTest, LeftoversOfKilledSavesGoWithTheSessionFiles) {
    for (bool expired : {false, true}) {
        Open("");
        const std::string id = ec_SessionGetID();
        ec_SessionAdd("k", "v");
        Finish();
        const std::string other = std::string(32, expired ? '1' : '2');
        const std::vector<std::string> mine = {Properties(id) + ".0badf00d-1.tmp",
                                               Timeout(id) + ".12345678-40.tmp"};
        for (const std::string &path : mine) WriteFile(path, "half");
        WriteFile(Properties(other) + ".0badf00d-2.tmp", "other");
        if (expired) {
            WriteFile(Timeout(id), std::to_string(std::time(nullptr) - 10) + "\n");
            EXPECT_EQ(Open(id), 1);
        } else {
            ASSERT_EQ(Open(id), 0);
            StdoutCapture capture;
            ec_SessionDestroy();
        }
        Finish();
        for (const std::string &path : mine) EXPECT_FALSE(Exists(path)) << path;
        EXPECT_TRUE(Exists(Properties(other) + ".0badf00d-2.tmp"));
        EXPECT_FALSE(Exists(Properties(id)));
        EXPECT_FALSE(Exists(Timeout(id)));
    }
}

// A save leaves nothing beside its targets.
TEST_F(SessionTest, ASaveLeavesNoTemporaryFile) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("k", "v");
    Finish();
    ASSERT_EQ(Open(id), 0);
    ec_SessionAdd("k2", "v");
    Finish();
    EXPECT_TRUE(Leftovers(repository, false).empty());
    EXPECT_LE(Leftovers(repository).size(), 2u) << "at most a spare per file";
}

#ifndef _WIN32
// Eight entries of 1000 letters: several writes of the stream's buffer.
constexpr int kNotes = 8;
constexpr int kNoteLength = 1000;

bool IsOldOrNewSession(const std::string &path, const std::string &old_text, const std::string &id,
                       std::string *why) {
    const std::string text = ReadFile(path);
    if (text == old_text) return true;
    ec_entry *list = _list_load(path.c_str());
    int notes = 0;
    bool whole = text.size() > 0 && text.back() == '\n';
    for (ec_entry *entry = list; entry; entry = entry->next)
        if (std::strcmp(entry->name, "note") == 0) {
            ++notes;
            whole = whole && std::string(entry->value) == std::string(kNoteLength, 'n');
        }
    const char *saved_id = _list_value(list, "_Q_SESSIONID");
    whole = whole && notes == kNotes && saved_id && id == saved_id;
    _list_free(list);
    if (!whole)
        *why =
            text.size() > 300 ? text.substr(0, 150) + "..." + text.substr(text.size() - 150) : text;
    return whole;
}

bool StraceWorks() {
    return std::system("strace -f -qq -o /dev/null true >/dev/null 2>&1") == 0;
}

// A save killed at any of its writes, or just before either rename, leaves each file as it was
// or as the save meant it, and the session resumes whole with its identifier.
TEST_F(SessionTest, ASaveKilledAtAnyStepLeavesTheOldOrTheNewSession) {
    if (!StraceWorks()) GTEST_SKIP() << "strace cannot trace here (not installed or no ptrace)";
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("note", "old");
    Finish();
    ASSERT_EQ(Open(id), 0);
    Finish();  // a resumed session's files, as most saves find them
    const std::string old_properties = ReadFile(Properties(id));
    // An expiry the save must write again.
    const std::string old_timeout = std::to_string(std::time(nullptr) + 100) + "\n";
    for (const char *step : {"write,pwrite64", "rename,renameat,renameat2"}) {
        int kills = 0;
        bool completed = false;
        for (int n = 1; n <= 64 && !completed; ++n) {
            WriteFile(Properties(id), old_properties);
            WriteFile(Timeout(id), old_timeout);
            const std::string command =
                // The leak checker of a sanitizer build cannot run under a tracer.
                std::string("ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e trace=") +
                step + " -e inject=" + step + ":signal=KILL:when=" + std::to_string(n) + " " +
                NUVEX_SESSION_SAVE_DRIVER + " " + repository + " " + id + " " +
                std::to_string(kNotes) + " " + std::to_string(kNoteLength) + " >/dev/null 2>&1";
            const int status = std::system(command.c_str());
            completed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (!completed) ++kills;
            std::string why;
            EXPECT_TRUE(IsOldOrNewSession(Properties(id), old_properties, id, &why))
                << step << " " << n << ": " << why;
            const std::string timeout = ReadFile(Timeout(id));
            EXPECT_TRUE(timeout == old_timeout || std::regex_match(timeout, std::regex("[0-9]+\n")))
                << step << " " << n << ": " << timeout;
            ASSERT_EQ(Open(id), 0) << step << " " << n;
            ASSERT_NE(ec_SessionGetID(), nullptr);
            EXPECT_EQ(std::string(ec_SessionGetID()), id);
            Finish();
        }
        EXPECT_TRUE(completed) << step;
        EXPECT_GE(kills, 2) << step;
    }
    ASSERT_EQ(Open(id), 0);
    {
        StdoutCapture capture;
        ec_SessionDestroy();
    }
    EXPECT_TRUE(Leftovers(repository).empty()) << "the killed saves' files go with the session";
}

// A disk that fills during a save that grows the file: the error page, the old session whole,
// nothing left beside it.
TEST_F(SessionTest, ASaveOnAFullDiskFailsAndKeepsTheOldSession) {
    Open("");
    const std::string id = ec_SessionGetID();
    ec_SessionAdd("note", "old");
    Finish();
    const std::string old_properties = ReadFile(Properties(id));
    const std::string out = folder.Path("out");
    // A child of its own: a death test may run the test body again, with other files.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CaptureStdoutTo(out);
        // Writes past 4 KB fail as on a full disk (EFBIG instead of ENOSPC).
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = 4096;
        std::signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(2);
        platform::EnvSet("REMOTE_ADDR", "127.0.0.1");
        if (Open(id) != 0) _exit(3);
        ec_SessionRemove("note");
        for (int i = 0; i < kNotes; ++i)
            ec_SessionAdd("note", "%s", std::string(kNoteLength, 'n').c_str());
        ec_Finish();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string page = ReadFile(out);
    EXPECT_NE(page.find("<title>Error: ec_SessionSave(): Can not access session repository(" +
                        Properties(id) + ").</title>"),
              std::string::npos)
        << page;
    EXPECT_EQ(ReadFile(Properties(id)), old_properties);
    EXPECT_TRUE(Leftovers(repository, false).empty());
    ASSERT_EQ(Open(id), 0);
    EXPECT_STREQ(ec_SessionValue("note"), "old");
}
#endif

}  // namespace
