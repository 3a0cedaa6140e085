// A redis-server of the test's own on a socket in a temporary folder, stopped with the object.
// Linux only; Running() is false where redis-server is not installed.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

class RedisServer {
   public:
    RedisServer();
    ~RedisServer();
    RedisServer(const RedisServer &) = delete;
    RedisServer &operator=(const RedisServer &) = delete;

    // Whether redis-server is installed; when it is, a server that did not start is a failure.
    bool Installed() const { return installed_; }
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    const std::string &Socket() const { return socket_; }
    // "redis+unix://<socket>" with the options appended ("?timeout=0.3" ...).
    std::string Address(const std::string &options = "") const;
    // Stops the server (SIGKILL); its socket file stays, refusing every connection.
    void Stop();
    // Starts it (again) on the same socket, empty.
    bool Start();
    // Stop, then Start.
    bool Restart();
    // SIGSTOP / SIGCONT: a server that stops answering and comes back.
    void Pause();
    void Resume();
    // A command through redis-cli; its output.
    std::string Cli(const std::string &arguments) const;

   private:
    // A short folder of its own: socket paths must stay under 108 bytes.
    std::string folder_;
    std::string socket_;
    bool installed_ = false;
    pid_t pid_ = -1;
};

}  // namespace testsupport
