#include "tests/unit/redis_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace testsupport {

RedisServer::RedisServer() {
    char folder[] = "/tmp/nuvex-redis.XXXXXX";
    if (!mkdtemp(folder)) return;
    folder_ = folder;
    socket_ = folder_ + "/redis.sock";
    Start();
}

RedisServer::~RedisServer() {
    Stop();
    if (folder_.empty()) return;
    unlink(socket_.c_str());
    rmdir(folder_.c_str());
}

std::string RedisServer::Address(const std::string &options) const {
    return "redis+unix://" + socket_ + options;
}

bool RedisServer::Start() {
    installed_ = access("/usr/bin/redis-server", X_OK) == 0;
    if (!installed_ || folder_.empty()) return false;
    unlink(socket_.c_str());
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Ends with the test process, also one that ends without its destructors (a death
        // test's child runs the fixture and exits in the middle).
#ifdef __linux__
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
#else
        (void)parent;
#endif
        // Nothing of the test's own: a death test's pipe held open here would never end.
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        execl("/usr/bin/redis-server", "redis-server", "--port", "0", "--unixsocket",
              socket_.c_str(), "--save", "", "--appendonly", "no", "--dir", folder_.c_str(),
              "--loglevel", "warning", static_cast<char *>(nullptr));
        _exit(127);
    }
    // Ready once the socket exists.
    for (int i = 0; i < 500; ++i) {
        struct stat info;
        if (stat(socket_.c_str(), &info) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
    return false;
}

void RedisServer::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool RedisServer::Restart() {
    Stop();
    return Start();
}

void RedisServer::Pause() {
    if (pid_ > 0) kill(pid_, SIGSTOP);
}

void RedisServer::Resume() {
    if (pid_ > 0) kill(pid_, SIGCONT);
}

std::string RedisServer::Cli(const std::string &arguments) const {
    const std::string command = "redis-cli -s '" + socket_ + "' " + arguments + " 2>&1";
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char block[512];
        size_t got;
        while ((got = std::fread(block, 1, sizeof block, pipe)) > 0) out.append(block, got);
        pclose(pipe);
    }
    return out;
}

}  // namespace testsupport
