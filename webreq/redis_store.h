// Sessions kept in a Redis server: one key per session, its value the saved entry text, its
// time to live the session's expiry. The connection is the process's own and is kept from one
// request to the next (a FastCGI worker connects once); a connection found broken is made
// again, once, before a command counts as failed.
#pragma once

#include <string>
#include <string_view>

namespace webreq::redis {

// Where the sessions are, parsed from a repository text:
//   redis://[[user]:password@]host[:port][/db][?options]
//   redis+unix://[[user]:password@]/path/to/socket[?options]   (db as the option "db")
// options, separated by '&': prefix=TEXT (key prefix, default "ec_session:"),
// connect_timeout=SECONDS and timeout=SECONDS (decimals allowed; defaults 1 and 2), db=N.
struct Address {
    bool unix_socket = false;
    std::string host;
    int port = 6379;
    std::string socket_path;
    std::string user;
    std::string password;
    int db = 0;
    std::string prefix = "ec_session:";
    long connect_timeout_ms = 1000;
    long timeout_ms = 2000;
};

// Whether a repository text names a Redis server rather than a folder.
bool IsAddress(const char *repository);
// false with the reason when the text is not a valid address.
bool AddressParse(std::string_view text, Address *address, std::string *reason);

enum class Outcome { kDone, kMissing, kFailed };

// Whether this build can talk to a Redis server (false where hiredis was not available).
bool Available();

// The session text; kMissing when there is no such session (never saved, expired or
// destroyed).
Outcome Load(const Address &address, const std::string &id, std::string *text, std::string *reason);
// Stores the text with the time to live, in one command. A new session is stored only where no
// key of that name exists; a resumed one only where its key still exists, so that a session
// destroyed by another request is not brought back (kMissing then).
Outcome Save(const Address &address, const std::string &id, const std::string &text, int ttl,
             bool is_new, std::string *reason);
Outcome Remove(const Address &address, const std::string &id, std::string *reason);
// Closes the kept connection.
void Disconnect();

}  // namespace webreq::redis
