#include "webreq/channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/support.h"
#include "webreq/channel_internal.h"
#include "webreq/cookie.h"
#include "webreq/environ.h"
#include "webreq/error.h"
#include "webreq/output.h"
#include "webreq/serve.h"
#include "webreq/serve_internal.h"
#include "webreq/session.h"
#include "webreq/template.h"
#include "webreq/values.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using testsupport::ScopedEnv;
using testsupport::StdoutCapture;
using testsupport::TempFolder;
using testsupport::WriteFile;

// The request body of a CGI test: standard input reads the file from its start.
void BodyIs(const TempFolder &folder, const std::string &bytes) {
    const std::string path = folder.Path("body");
    WriteFile(path, bytes);
    ASSERT_NE(std::freopen(path.c_str(), "rb", stdin), nullptr);
}

TEST(ChannelCgi, VariablesComeFromTheProcessEnvironment) {
    ScopedEnv set("QUERY_STRING", "a=1&b=2");
    ScopedEnv empty("HTTP_COOKIE", "");
    ScopedEnv unset("CONTENT_TYPE", nullptr);
    EXPECT_STREQ(ec_ChannelVar("QUERY_STRING"), "a=1&b=2");
    EXPECT_STREQ(ec_ChannelVar("HTTP_COOKIE"), "");
    EXPECT_EQ(ec_ChannelVar("CONTENT_TYPE"), nullptr);
    EXPECT_EQ(ec_ChannelVar(nullptr), nullptr);
    EXPECT_EQ(ec_ChannelIsFastCgi(), 0);
}

TEST(ChannelCgi, WritesReachStandardOutputByteForByte) {
    const std::string bytes("a\0b\r\nc\n\xff", 8);
    StdoutCapture capture;
    EXPECT_EQ(ec_ChannelWrite(bytes.data(), bytes.size()), 8);
    EXPECT_EQ(ec_ChannelWrite(nullptr, 0), 0);
    EXPECT_TRUE(webreq::ChannelWrite(std::string_view("tail")));
    EXPECT_EQ(ec_ChannelFlush(), 0);
    EXPECT_EQ(capture.Text(), bytes + "tail");
}

TEST(ChannelCgi, BoundedPrintfWritesWhatFitsAndNothingElse) {
    StdoutCapture capture;
    EXPECT_EQ(webreq::ChannelPrintfBounded(16, "n=%d;", 42), 5);
    const std::string fifteen(15, 'x');
    EXPECT_EQ(webreq::ChannelPrintfBounded(16, "%s", fifteen.c_str()), 15);
    EXPECT_EQ(webreq::ChannelPrintfBounded(16, "%s!", fifteen.c_str()), webreq::kChannelTooLong);
    EXPECT_EQ(webreq::ChannelPrintfBounded(16, nullptr), -1);
    EXPECT_EQ(capture.Text(), "n=42;" + fifteen);
}

TEST(ChannelCgi, UnboundedPrintfWritesLongTextsWhole) {
    const std::string type(3000, 't');
    StdoutCapture capture;
    EXPECT_EQ(webreq::ChannelPrintf("Content-Type: %s\n\n", type.c_str()),
              static_cast<int>(type.size() + 16));
    EXPECT_EQ(webreq::ChannelPrintf("%s", ""), 0);
    EXPECT_EQ(capture.Text(), "Content-Type: " + type + "\n\n");
}

TEST(ChannelCgi, BodyReadsShareOnePosition) {
    TempFolder folder;
    BodyIs(folder, std::string("first line\nsecond\0x\nrest", 24));
    char line[8];
    ASSERT_NE(webreq::ChannelReadLine(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "first l");  // at most size - 1 bytes
    ASSERT_NE(webreq::ChannelReadLine(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "ine\n");  // up to and including LF
    EXPECT_EQ(webreq::ChannelGetByte(), 's');
    char block[5];
    EXPECT_EQ(ec_ChannelRead(block, sizeof block), 5);
    EXPECT_EQ(std::string(block, 5), std::string("econd", 5));
    EXPECT_EQ(webreq::ChannelGetByte(), 0);  // NUL is a byte like any other
    EXPECT_EQ(ec_ChannelRead(block, sizeof block), 5);
    EXPECT_EQ(std::string(block, 5), "x\nres");
    EXPECT_EQ(webreq::ChannelGetByte(), 't');
    EXPECT_EQ(webreq::ChannelGetByte(), -1);
    EXPECT_EQ(ec_ChannelRead(block, sizeof block), 0);
    EXPECT_EQ(webreq::ChannelReadLine(line, sizeof line), nullptr);
}

int g_calls = 0;
int g_resets = 0;

int CountingHandler() {
    ++g_calls;
    ec_ContentType("text/plain");
    return 7;
}

void CountReset() {
    ++g_resets;
}

int FailingHandler() {
    ec_ContentType("text/plain");
    ecError("broken %s", "request");
}

// Each case runs as its own CGI process: standard input a file (no FastCGI listening
// socket), standard output a file.
class ServeCgi : public ::testing::Test {
   protected:
    void StartProcess() {
        testsupport::CaptureStdoutTo(out);
        WriteFile(body, "");
        if (!std::freopen(body.c_str(), "rb", stdin)) std::abort();
    }
    TempFolder folder;
    std::string out = folder.Path("stdout"), body = folder.Path("body");
};

TEST_F(ServeCgi, RunsTheHandlerOnceAndResetsAfterIt) {
    EXPECT_EXIT(
        {
            StartProcess();
            webreq::RequestResetStepAdd(CountReset);
            webreq::RequestResetStepAdd(CountReset);  // kept once
            const int status = ec_Serve(CountingHandler);
            std::printf("status=%d calls=%d resets=%d sent=%d null=%d", status, g_calls, g_resets,
                        ec_ContentTypeSent(), ec_Serve(nullptr));
            std::fflush(stdout);
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(testsupport::ReadFile(out),
              "Content-Type: text/plain\n\nstatus=7 calls=1 resets=1 sent=0 null=1");
}

TEST_F(ServeCgi, AnErrorEndsTheProcess) {
    EXPECT_EXIT(
        {
            ScopedEnv addr("REMOTE_ADDR", nullptr);
            StartProcess();
            ec_Serve(FailingHandler);
            std::printf("went on");
            std::fflush(stdout);
            std::_Exit(0);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(testsupport::ReadFile(out), "Content-Type: text/plain\n\nError: broken request\n");
}

// The rest of standard input after the announced body: what the server would still have to
// hand over when the process ends.
void PrintRestOfInput() {
    std::string rest;
    int ch;
    while ((ch = std::getchar()) != EOF) rest += static_cast<char>(ch);
    std::printf("[%s]", rest.c_str());
    std::fflush(stdout);
}

int ReadThreeBytes() {
    char taken[3];
    if (ec_ChannelRead(taken, sizeof taken) != 3) return 1;
    ec_ContentType("text/plain");
    return 0;
}

int FailingBeforeTheBody() {
    std::atexit(PrintRestOfInput);
    ecError("refused");
}

// A server that writes the body to the program's input (fcgiwrap, mod_cgid) fails the request
// when the program ends before it took all of it: what it announced is read and dropped.
TEST_F(ServeCgi, TheUnreadBodyIsTakenBeforeTheProcessEnds) {
    for (auto handler : {CountingHandler, ReadThreeBytes}) {
        EXPECT_EXIT(
            {
                ScopedEnv length("CONTENT_LENGTH", "7");
                StartProcess();
                WriteFile(body, "a=1&b=2rest");
                if (!std::freopen(body.c_str(), "rb", stdin)) std::abort();
                ec_Serve(handler);
                PrintRestOfInput();
                std::_Exit(0);
            },
            testing::ExitedWithCode(0), "");
        const std::string got = testsupport::ReadFile(out);
        EXPECT_EQ(got.substr(got.size() - 6), "[rest]") << got;  // never past what was announced
    }
}

TEST_F(ServeCgi, TheUnreadBodyIsTakenBeforeAnErrorEndsTheProcess) {
    EXPECT_EXIT(
        {
            ScopedEnv length("CONTENT_LENGTH", "7");
            ScopedEnv addr("REMOTE_ADDR", nullptr);
            StartProcess();
            WriteFile(body, "a=1&b=2rest");
            if (!std::freopen(body.c_str(), "rb", stdin)) std::abort();
            ec_Serve(FailingBeforeTheBody);
        },
        testing::ExitedWithCode(1), "");
    const std::string got = testsupport::ReadFile(out);
    EXPECT_NE(got.find("refused"), std::string::npos) << got;
    EXPECT_EQ(got.substr(got.size() - 6), "[rest]") << got;
}

TEST_F(ServeCgi, WithoutAValidLengthNothingMoreIsRead) {
    for (const char *length : {"", "7x", "-7"}) {
        EXPECT_EXIT(
            {
                ScopedEnv announced("CONTENT_LENGTH", length);
                StartProcess();
                WriteFile(body, "a=1&b=2rest");
                if (!std::freopen(body.c_str(), "rb", stdin)) std::abort();
                ec_Serve(CountingHandler);
                PrintRestOfInput();
                std::_Exit(0);
            },
            testing::ExitedWithCode(0), "");
        const std::string got = testsupport::ReadFile(out);
        EXPECT_EQ(got.substr(got.size() - 13), "[a=1&b=2rest]") << length;
    }
}

#ifndef _WIN32
bool DefaultAction(int signal) {
    const auto previous = std::signal(signal, SIG_DFL);
    std::signal(signal, previous);
    return previous == SIG_DFL;
}

int SignalsHandler() {
    std::printf("pipe=%d term=%d usr1=%d", DefaultAction(SIGPIPE), DefaultAction(SIGTERM),
                DefaultAction(SIGUSR1));
    return 0;
}

TEST_F(ServeCgi, KeepsTheSignalActionsOfTheProcess) {
    EXPECT_EXIT(
        {
            StartProcess();
            ec_Serve(SignalsHandler);
            std::fflush(stdout);
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(testsupport::ReadFile(out), "pipe=1 term=1 usr1=1");
}
#endif

#ifndef _WIN32

// The client side of the FastCGI protocol, enough to drive one worker: one request per
// connection, the worker closes the connection after it.
enum RecordType : unsigned char {
    kBeginRequest = 1,
    kEndRequest = 3,
    kParams = 4,
    kStdin = 5,
    kStdout = 6,
    kStderr = 7
};

void AppendRecord(std::string *out, RecordType type, const std::string &content) {
    size_t at = 0;
    do {  // an empty record ends a stream, so one is written even for empty content
        const size_t length = std::min<size_t>(content.size() - at, 65535);
        const unsigned char header[8] = {1,
                                         type,
                                         0,
                                         1,
                                         static_cast<unsigned char>(length >> 8),
                                         static_cast<unsigned char>(length & 255),
                                         0,
                                         0};
        out->append(reinterpret_cast<const char *>(header), 8);
        out->append(content, at, length);
        at += length;
    } while (at < content.size());
}

void AppendLength(std::string *out, size_t length) {
    if (length < 128) {
        out->push_back(static_cast<char>(length));
        return;
    }
    for (int shift = 24; shift >= 0; shift -= 8)
        out->push_back(static_cast<char>(((length >> shift) & 255) | (shift == 24 ? 0x80 : 0)));
}

using Params = std::vector<std::pair<std::string, std::string>>;

// keep asks the worker to keep the connection open for the server's next request.
std::string RequestBytes(const Params &params, const std::string &body, bool keep = false) {
    std::string out;
    AppendRecord(&out, kBeginRequest,
                 std::string(keep ? "\0\1\1\0\0\0\0\0" : "\0\1\0\0\0\0\0\0", 8));
    std::string pairs;
    for (const auto &[name, value] : params) {
        AppendLength(&pairs, name.size());
        AppendLength(&pairs, value.size());
        pairs += name + value;
    }
    if (!pairs.empty()) AppendRecord(&out, kParams, pairs);
    AppendRecord(&out, kParams, "");
    if (!body.empty()) AppendRecord(&out, kStdin, body);
    AppendRecord(&out, kStdin, "");
    return out;
}

struct Response {
    std::string out;
    bool ended = false;  // an end-request record arrived
    // The worker had closed its end once the response was read: a byte sent then is refused.
    // (While it lingers to read what is left of the request, the byte is taken.)
    bool closed_by_worker = false;
};

class Worker {
   public:
    explicit Worker(ec_request_handler handler)
        : socket_path_(ShortSocketPath()), stray_path_(folder_.Path("stdout")) {
        const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
        if (listener < 0 ||
            bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listener, 16) != 0)
            std::abort();
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            // Every response byte goes through the channel: whatever still reached standard
            // output would show up nowhere near the client.
            const int stray = open(stray_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(stray, 1);
            std::setvbuf(stdout, nullptr, _IONBF, 0);
            _exit(webreq::ServeFastCgi(listener, handler));
        }
        close(listener);
    }
    ~Worker() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(socket_path_.c_str());
        rmdir(socket_folder_.c_str());
    }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    int Connect() const {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
        timeval timeout{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    Response Send(const Params &params, const std::string &body = "") const {
        Response response;
        const int fd = Connect();
        if (fd < 0) return response;
        const std::string bytes = RequestBytes(params, body);
        if (!SendAll(fd, bytes)) {
            close(fd);
            return response;
        }
        std::string in;
        char block[65536];
        ssize_t got;
        while ((got = recv(fd, block, sizeof block, 0)) > 0) in.append(block, got);
        response.closed_by_worker =
            got == 0 && send(fd, "x", 1, MSG_NOSIGNAL) < 0 && errno == EPIPE;
        close(fd);
        Parse(in, &response);
        return response;
    }

    // One request on a connection the worker is asked to keep: the response ends with its
    // end-request record, and the connection stays for the next request.
    static Response SendKept(int fd, const Params &params, const std::string &body = "") {
        Response response;
        if (!SendAll(fd, RequestBytes(params, body, true))) return response;
        std::string in;
        char block[65536];
        ssize_t got;
        while (!response.ended && (got = recv(fd, block, sizeof block, 0)) > 0) {
            in.append(block, got);
            response = Response();
            Parse(in, &response);
        }
        return response;
    }

    // Whether the worker has closed the connection (after libfcgi's waiting close, which ends
    // once the client has sent nothing for two seconds).
    static bool ClosedByWorker(int fd) {
        timeval timeout{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char byte;
        return recv(fd, &byte, 1, 0) == 0;
    }

    static void Parse(const std::string &in, Response *response) {
        for (size_t at = 0; at + 8 <= in.size();) {
            const auto type = static_cast<unsigned char>(in[at + 1]);
            const size_t length = (static_cast<unsigned char>(in[at + 4]) << 8) |
                                  static_cast<unsigned char>(in[at + 5]);
            const size_t padding = static_cast<unsigned char>(in[at + 6]);
            if (at + 8 + length > in.size()) break;
            if (type == kStdout) response->out.append(in, at + 8, length);
            if (type == kEndRequest) response->ended = true;
            at += 8 + length + padding;
        }
    }

    pid_t Pid() const { return pid_; }
    // What the worker wrote to its standard output instead of the request.
    std::string Stray() const { return testsupport::ReadFile(stray_path_); }

    // Sends the signal and waits up to five seconds for the worker's end; its wait status, or
    // -1 when it still runs.
    int StopWith(int signal) {
        kill(pid_, signal);
        for (int i = 0; i < 500; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            usleep(10000);
        }
        return -1;
    }

   private:
    static bool SendAll(int fd, const std::string &bytes) {
        for (size_t at = 0; at < bytes.size();) {
            const ssize_t put = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (put <= 0) return false;
            at += static_cast<size_t>(put);
        }
        return true;
    }

    // A socket's name must fit sun_path (108 bytes): the test folders' names are longer.
    std::string ShortSocketPath() {
        char folder[] = "/tmp/nuvex-sock-XXXXXX";
        if (!mkdtemp(folder)) std::abort();
        socket_folder_ = folder;
        return socket_folder_ + "/worker.sock";
    }

    TempFolder folder_;
    std::string socket_folder_;
    std::string socket_path_, stray_path_;
    pid_t pid_ = -1;
};

void Put(const std::string &text) {
    webreq::ChannelWrite(text);
}

std::string VarOrDash(const char *name) {
    const char *value = ec_ChannelVar(name);
    return value ? value : "-";
}

// What the last request left in the library's shared results: seen by the next one only if
// the reset misses them.
const char *g_last_id = nullptr;
const char *g_last_script = nullptr;
const char *g_last_number = nullptr;

// The worker's page: what it does is chosen by the query string (up to its first '&').
int TestHandler() {
    const std::string query = VarOrDash("QUERY_STRING");
    const std::string action = query.substr(0, query.find('&'));
    if (action == "echo") {
        Put("one=" + VarOrDash("X_ONE") + " two=" + VarOrDash("X_TWO") +
            " fastcgi=" + std::to_string(ec_ChannelIsFastCgi()) + "\n");
        char block[4096];
        long got;
        while ((got = ec_ChannelRead(block, sizeof block)) > 0)
            ec_ChannelWrite(block, static_cast<size_t>(got));
    } else if (action == "lines") {
        char line[8];
        Put(std::string("[") + (webreq::ChannelReadLine(line, sizeof line) ? line : "null") + "]");
        Put(std::string("[") + (webreq::ChannelReadLine(line, sizeof line) ? line : "null") + "]");
        int ch;
        std::string rest;
        while ((ch = webreq::ChannelGetByte()) >= 0) rest += static_cast<char>(ch);
        Put("[" + rest + "]");
    } else if (action == "error") {
        ec_ContentType("text/plain");
        ec_ErrorNoteSet("note");
        Put("before\n");
        ecError("broken request %d", 1);
    } else if (action == "state") {
        Put("sent=" + std::to_string(ec_ContentTypeSent()) + " pid=" + std::to_string(getpid()));
    } else if (action == "writers") {
        // Each of the library's writers of a response.
        ec_CookieSet("c", "v", 0, "/", nullptr, 0);
        ec_ContentType("text/html");
        ec_Printf(1, "<%s>", "b");
        ec_entry *args = ec_SedArgAdd(nullptr, "$X", "%s", "filled");
        ec_SedStr(args, "[$X]<!--#include file=\"", 1);
        ec_SedArgFree(args);
        ec_ValuePrint();
        char word[] = "w";
        char *words[] = {word, nullptr};
        ec_KeywordPrint(words);
    } else if (action == "setting") {
        Put(std::string("setting=") + _getenv_default("-", "NUVEX_TEST_SETTING") +
            " var=" + VarOrDash("NUVEX_TEST_SETTING"));
    } else if (action == "fail") {
        ecError("plain failure");
    } else if (action == "values") {
        Put(std::string("v=") + ec_ValueDefault("-", "v") + " c=" + ec_ValueDefault("-", "c"));
    } else if (action == "token") {
        // A tokenizer left inside the last request's text gives nothing to the next one.
        static char text[] = "first second third";
        const char *token =
            _next_token(VarOrDash("X_ONE") == "start" ? text : nullptr, " ", nullptr);
        Put(std::string("token=") + (token ? token : "null"));
    } else if (action == "texts") {
        Put(std::string("id=") + (g_last_id ? g_last_id : "null") +
            " script=" + (g_last_script ? g_last_script : "null") +
            " number=" + (g_last_number ? g_last_number : "null"));
        g_last_id = _unique_id();
        g_last_script = ec_ScriptName();
        g_last_number = ec_StrNumber(1234567);
    } else if (action == "session") {
        // A repository that cannot be used ends the request at ec_Session.
        ec_Session(VarOrDash("X_ONE").c_str());
        ec_SessionAdd("user", "%s", "ann");
        Put("opened\n");
        if (VarOrDash("X_TWO") == "finish") ec_Finish();
    } else if (action == "multipart") {
        // The body is decoded up to its closing boundary; what follows is the page's to read.
        Put(std::string("title=") + ec_ValueDefault("-", "title") + " rest=[");
        char block[256];
        long got;
        while ((got = ec_ChannelRead(block, sizeof block)) > 0)
            ec_ChannelWrite(block, static_cast<size_t>(got));
        Put("]");
    } else if (action == "stdio") {
        // A page that writes with the C library's stdout, between the library's own writes.
        std::printf("printf %d\n", 1);
        Put("channel\n");
        std::puts("puts");
        std::fwrite("fwrite\n", 1, 7, stdout);
        std::fputs("fputs", stdout);
    } else if (action == "stdio-buffered") {
        // A page that gives stdout a buffer of its own and ends without flushing it.
        static char buffer[256];
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
        std::printf("held %d", 2);
        Put("channel\n");
    } else if (action == "stdio-closed") {
        // A page that closes stdout once its output is written.
        std::printf("done");
        std::fclose(stdout);
    } else if (action == "large") {
        Put(std::string(20000, 'p'));  // more than libfcgi holds before it sends
    } else if (action == "bounded") {
        Put(std::to_string(webreq::ChannelPrintfBounded(8, "%s", "1234567")));
        Put(std::to_string(webreq::ChannelPrintfBounded(8, "%s", "12345678")));
    }
    return 0;
}

class ChannelFastCgi : public ::testing::Test {
   protected:
    void SetUp() override {
        if (!webreq::FastCgiAvailable()) GTEST_SKIP() << "built without libfcgi";
        worker_ = std::make_unique<Worker>(TestHandler);
    }
    TempFolder folder_;
    std::unique_ptr<Worker> worker_;
};

TEST_F(ChannelFastCgi, VariablesAndBodyOfTheRequestReachThePage) {
    std::string body;
    for (int i = 0; i < 200000; ++i) body += static_cast<char>(i * 7);  // NULs, several records
    const Response r =
        worker_->Send({{"QUERY_STRING", "echo"}, {"X_ONE", std::string(300, 'v')}}, body);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.out, "one=" + std::string(300, 'v') + " two=- fastcgi=1\n" + body);
}

TEST_F(ChannelFastCgi, LinesAndBytesReadAsUnderCgi) {
    const Response r = worker_->Send({{"QUERY_STRING", "lines"}}, "first line\nab");
    EXPECT_EQ(r.out, "[first l][ine\n][ab]");
    const Response bounded = worker_->Send({{"QUERY_STRING", "bounded"}});
    EXPECT_EQ(bounded.out,
              "1234567"
              "7"
              "-2");  // the text, its length, too long
}

TEST_F(ChannelFastCgi, AMultipartBodyIsReadUpToItsClosingBoundaryOnly) {
    const std::string body =
        "--XyZ\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nhello\r\n--XyZ--";
    const std::string after = "after the body";
    const std::string exact = std::to_string(body.size() + after.size());
    for (const std::string &length : {std::string(), std::string("100000"), exact}) {
        Params params = {{"QUERY_STRING", "multipart"},
                         {"REQUEST_METHOD", "POST"},
                         {"CONTENT_TYPE", "multipart/form-data; boundary=XyZ"}};
        if (!length.empty()) params.emplace_back("CONTENT_LENGTH", length);
        const Response r = worker_->Send(params, body + after);
        EXPECT_TRUE(r.ended) << "CONTENT_LENGTH \"" << length << "\"";
        EXPECT_EQ(r.out, "title=hello rest=[" + after + "]")
            << "CONTENT_LENGTH \"" << length << "\"";
    }
}

TEST_F(ChannelFastCgi, NoValueOfOneRequestShowsInTheNext) {
    EXPECT_EQ(worker_->Send({{"QUERY_STRING", "echo"}, {"X_ONE", "secret"}}, "body one").out,
              "one=secret two=- fastcgi=1\nbody one");
    EXPECT_EQ(worker_->Send({{"QUERY_STRING", "echo"}, {"X_TWO", "2"}}).out,
              "one=- two=2 fastcgi=1\n");
}

TEST_F(ChannelFastCgi, AnErrorEndsOnlyItsRequest) {
    const Response first = worker_->Send({{"QUERY_STRING", "state"}});
    ASSERT_TRUE(first.ended);
    const std::string pid = first.out.substr(first.out.find("pid="));
    const Response broken = worker_->Send({{"QUERY_STRING", "error"}});
    EXPECT_TRUE(broken.ended);
    // The header, the page's text and the error all reach that request.
    EXPECT_EQ(broken.out, "Content-Type: text/plain\n\nbefore\nError: broken request 1\n");
    const Response page = worker_->Send({{"QUERY_STRING", "error"}, {"REMOTE_ADDR", "10.0.0.9"}});
    EXPECT_TRUE(page.ended);
    EXPECT_EQ(page.out.rfind("Content-Type: text/plain\n\nbefore\n<html>", 0), 0u) << page.out;
    EXPECT_NE(page.out.find("<title>Error: broken request 1note</title>"), std::string::npos)
        << page.out;
    for (int i = 0; i < 50; ++i) {
        const Response next = worker_->Send({{"QUERY_STRING", "state"}});
        ASSERT_TRUE(next.ended) << "request " << i;
        EXPECT_EQ(next.out, "sent=0 " + pid) << "request " << i;  // same worker, flag reset
    }
}

TEST_F(ChannelFastCgi, RequestValuesAndSettingsDoNotReachTheNextRequest) {
    EXPECT_EQ(worker_->Send({{"QUERY_STRING", "values&v=secret"}, {"HTTP_COOKIE", "c=kept"}}).out,
              "v=secret c=kept");
    EXPECT_EQ(worker_->Send({{"QUERY_STRING", "values"}}).out, "v=- c=-");
    // The error note of one request is not added to the next one's page.
    worker_->Send({{"QUERY_STRING", "error"}, {"REMOTE_ADDR", "10.0.0.9"}});
    const Response page = worker_->Send({{"QUERY_STRING", "fail"}, {"REMOTE_ADDR", "10.0.0.9"}});
    EXPECT_NE(page.out.find("<title>Error: plain failure</title>"), std::string::npos) << page.out;
}

// A program's settings: the request's value first, else the worker's own environment; a CGI
// variable never comes from there.
TEST(ChannelFastCgiSettings, GetenvDefaultFallsBackToTheWorkerEnvironment) {
    if (!webreq::FastCgiAvailable()) GTEST_SKIP() << "built without libfcgi";
    ScopedEnv setting("NUVEX_TEST_SETTING", "worker");
    Worker worker(TestHandler);
    EXPECT_EQ(worker.Send({{"QUERY_STRING", "setting"}}).out, "setting=worker var=-");
    EXPECT_EQ(worker.Send({{"QUERY_STRING", "setting"}, {"NUVEX_TEST_SETTING", "request"}}).out,
              "setting=request var=request");
}

TEST_F(ChannelFastCgi, EveryWriterOfTheLibraryReachesTheRequest) {
    const Response r = worker_->Send({{"QUERY_STRING", "writers&q=1"}});
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(
        r.out.rfind("Set-Cookie: c=v; path=/\nContent-Type: text/html\n\n&lt;b&gt;[filled]", 0), 0u)
        << r.out;
    for (const char *part :
         {"ending tag not found]", "'q' = '1'<br>", "COOKIE = 0 , GET = 2", "'w' (1 bytes)<br>"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << " in " << r.out;
    EXPECT_EQ(worker_->Stray(), "");
}

TEST_F(ChannelFastCgi, SharedResultsStartEmpty) {
    // On a fresh worker: each buffer clears itself, not only after the tokenizer was used.
    EXPECT_EQ(worker_
                  ->Send({{"QUERY_STRING", "texts"},
                          {"SCRIPT_NAME", "/cgi/secret.cgi"},
                          {"REMOTE_ADDR", "10.1.2.3"}})
                  .out,
              "id=null script=null number=null");
    EXPECT_EQ(worker_->Send({{"QUERY_STRING", "texts"}}).out, "id= script= number=");
}

TEST_F(ChannelFastCgi, TheTokenizerStartsEmpty) {
    EXPECT_EQ(worker_->Send({{"QUERY_STRING", "token"}, {"X_ONE", "start"}}).out, "token=first");
    EXPECT_EQ(worker_->Send({{"QUERY_STRING", "token"}}).out, "token=null");
}

// A session repository that cannot be used ends the request that asked for it, before its
// cookie, and the worker serves the next one.
TEST_F(ChannelFastCgi, AnUnusableSessionRepositoryEndsOnlyItsRequest) {
    const std::string missing = folder_.Path("no/such/folder");
    for (const char *how : {"finish", "loop"}) {
        const Response failed = worker_->Send({{"QUERY_STRING", "session"},
                                               {"X_ONE", missing},
                                               {"X_TWO", how},
                                               {"REMOTE_ADDR", "10.0.0.9"}});
        EXPECT_TRUE(failed.ended) << how;
        EXPECT_NE(failed.out.find("Error: ec_Session(): Can not access session repository"),
                  std::string::npos)
            << how << ": " << failed.out;
        EXPECT_EQ(failed.out.find("Set-Cookie"), std::string::npos) << how << ": " << failed.out;
        const Response next = worker_->Send({{"QUERY_STRING", "state"}});
        ASSERT_TRUE(next.ended) << how << ": the worker ended";
        EXPECT_EQ(next.out.substr(0, 7), "sent=0 ") << how;
    }
}

// A worker that has read all of a request closes at once after its response; one that left
// body bytes unread waits for the server to hang up, so that the unread bytes cannot reset the
// connection before the server has the response.
TEST_F(ChannelFastCgi, TheWorkerClosesAtOnceOnlyWhenNothingIsLeftUnread) {
    const Response get = worker_->Send({{"QUERY_STRING", "state"}});
    EXPECT_TRUE(get.ended);
    EXPECT_TRUE(get.closed_by_worker);
    const std::string body(100000, 'b');
    const Response read = worker_->Send(
        {{"QUERY_STRING", "echo"}, {"CONTENT_LENGTH", std::to_string(body.size())}}, body);
    EXPECT_EQ(read.out, "one=- two=- fastcgi=1\n" + body);
    EXPECT_TRUE(read.closed_by_worker);
    const Response unread = worker_->Send(
        {{"QUERY_STRING", "state"}, {"CONTENT_LENGTH", std::to_string(body.size())}}, body);
    EXPECT_TRUE(unread.ended);
    EXPECT_EQ(unread.out, get.out);
    EXPECT_FALSE(unread.closed_by_worker);
    const Response unclear =
        worker_->Send({{"QUERY_STRING", "state"}, {"CONTENT_LENGTH", "12x"}}, "");
    EXPECT_TRUE(unclear.ended);
    EXPECT_FALSE(unclear.closed_by_worker);
}

TEST_F(ChannelFastCgi, AnEmptyContentLengthIsNoLength) {
    const Params post = {{"QUERY_STRING", "values"},
                         {"REQUEST_METHOD", "POST"},
                         {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                         {"CONTENT_LENGTH", ""}};
    // A body without a length (a chunked one, streamed by the server) is read to its end.
    EXPECT_EQ(worker_->Send(post, "v=streamed&c=x").out, "v=streamed c=x");
    EXPECT_EQ(worker_->Send(post).out, "v=- c=-");
    const std::string large(200000, 'l');
    const Response r = worker_->Send(post, "v=" + large);
    EXPECT_TRUE(r.out == "v=" + large + " c=-") << r.out.substr(0, 100);
}

TEST_F(ChannelFastCgi, StandardOutputReachesTheRequestInOrder) {
    const Response r = worker_->Send({{"QUERY_STRING", "stdio"}});
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.out, "printf 1\nchannel\nputs\nfwrite\nfputs");
    EXPECT_EQ(worker_->Send({{"QUERY_STRING", "state"}}).out.substr(0, 7), "sent=0 ");
    EXPECT_EQ(worker_->Stray(), "");
}

// The stream that stands for stdout is the worker's for its whole life: what one page made of
// it (a buffer of its own) ends with that page.
TEST_F(ChannelFastCgi, APageBufferingStandardOutputLeavesTheNextPageUnbuffered) {
    const Response held = worker_->Send({{"QUERY_STRING", "stdio-buffered"}});
    EXPECT_TRUE(held.ended);
    EXPECT_EQ(held.out, "channel\nheld 2");
    const Response next = worker_->Send({{"QUERY_STRING", "stdio"}});
    EXPECT_EQ(next.out, "printf 1\nchannel\nputs\nfwrite\nfputs");
    EXPECT_EQ(worker_->Stray(), "");
}

TEST_F(ChannelFastCgi, APageClosingStandardOutputLeavesTheNextPageAStream) {
    const Response closed = worker_->Send({{"QUERY_STRING", "stdio-closed"}});
    EXPECT_TRUE(closed.ended);
    EXPECT_EQ(closed.out, "done");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(worker_->Send({{"QUERY_STRING", "stdio"}}).out,
                  "printf 1\nchannel\nputs\nfwrite\nfputs");
    EXPECT_EQ(worker_->Stray(), "");
}

// A server that keeps its connection to the worker (Apache's connection reuse, nginx's
// fastcgi_keep_conn) sends the next request right behind the last one, whatever its page read.
TEST_F(ChannelFastCgi, AKeptConnectionServesRequestAfterRequest) {
    const int fd = worker_->Connect();
    ASSERT_GE(fd, 0);
    const std::string body(100000, 'b');
    const Params unread = {{"QUERY_STRING", "state"},
                           {"CONTENT_LENGTH", std::to_string(body.size())}};
    const Response first = Worker::SendKept(fd, {{"QUERY_STRING", "state"}});
    ASSERT_TRUE(first.ended);
    for (int i = 0; i < 3; ++i) {
        const Response r = Worker::SendKept(fd, unread, body);
        EXPECT_TRUE(r.ended) << i;
        EXPECT_EQ(r.out, first.out) << i;
        const Response echo = Worker::SendKept(fd, {{"QUERY_STRING", "echo"}}, "next");
        EXPECT_TRUE(echo.ended) << i;
        EXPECT_EQ(echo.out, "one=- two=- fastcgi=1\nnext") << i;
        const Response failed = Worker::SendKept(fd, {{"QUERY_STRING", "fail"}}, body);
        EXPECT_TRUE(failed.ended) << i;
        EXPECT_NE(failed.out.find("plain failure"), std::string::npos) << i;
    }
    close(fd);
}

// A page that has sent part of its response before it ended may have stopped the server's
// sending of its body: the response is ended first and the connection closed.
TEST_F(ChannelFastCgi, AKeptConnectionIsClosedAfterALargeResponseOverAnUnreadBody) {
    const int fd = worker_->Connect();
    ASSERT_GE(fd, 0);
    const std::string body(100000, 'b');
    const Response r = Worker::SendKept(
        fd, {{"QUERY_STRING", "large"}, {"CONTENT_LENGTH", std::to_string(body.size())}}, body);
    EXPECT_TRUE(r.ended);
    EXPECT_TRUE(r.out == std::string(20000, 'p')) << r.out.size();
    EXPECT_TRUE(Worker::ClosedByWorker(fd));
    close(fd);
    const int again = worker_->Connect();
    const Response read = Worker::SendKept(again, {{"QUERY_STRING", "large"}});
    EXPECT_TRUE(read.ended);
    EXPECT_EQ(read.out.size(), 20000u);
    const Response next = Worker::SendKept(again, {{"QUERY_STRING", "echo"}}, "kept");
    EXPECT_EQ(next.out, "one=- two=- fastcgi=1\nkept");
    close(again);
}

// Draining a huge unread body is not worth its time: the connection is closed instead, and
// the server opens another one.
TEST_F(ChannelFastCgi, AKeptConnectionIsClosedAfterTooLargeAnUnreadBody) {
    const int fd = worker_->Connect();
    ASSERT_GE(fd, 0);
    const std::string body(8 << 20, 'b');
    const Response r = Worker::SendKept(
        fd, {{"QUERY_STRING", "state"}, {"CONTENT_LENGTH", std::to_string(body.size())}}, body);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.out.substr(0, 7), "sent=0 ");
    EXPECT_TRUE(Worker::ClosedByWorker(fd));
    close(fd);
    EXPECT_EQ(worker_->Send({{"QUERY_STRING", "echo"}}, "fresh").out,
              "one=- two=- fastcgi=1\nfresh");
}

TEST_F(ChannelFastCgi, AnAbandonedConnectionDoesNotStopTheWorker) {
    const int fd = worker_->Connect();
    ASSERT_GE(fd, 0);
    std::string partial;
    AppendRecord(&partial, kBeginRequest, std::string("\0\1\0\0\0\0\0\0", 8));
    ASSERT_EQ(send(fd, partial.data(), partial.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(partial.size()));
    close(fd);
    const Response next = worker_->Send({{"QUERY_STRING", "echo"}}, "still here");
    EXPECT_EQ(next.out, "one=- two=- fastcgi=1\nstill here");
    int status = 0;
    EXPECT_EQ(waitpid(worker_->Pid(), &status, WNOHANG), 0);  // the worker still runs
}

TEST_F(ChannelFastCgi, TheServerStopsTheWorkerWithSigterm) {
    ASSERT_TRUE(worker_->Send({{"QUERY_STRING", "state"}}).ended);
    const int status = worker_->StopWith(SIGTERM);
    ASSERT_NE(status, -1) << "the worker did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

#endif

}  // namespace
