// Where sessions are kept: a folder of files (two per session, the saved entry text and the
// expiry) or a Redis server (one key per session, its time to live the expiry). The session
// operations talk to the store through these calls only and do not know which one it is.
// One store is open per request, from Open to Close.
#pragma once

#include <string>

namespace webreq::sessionstore {

enum class Outcome { kDone, kMissing, kFailed };

// Takes the repository (a folder, or a Redis address) for the request and checks that it can
// be used, before anything of the session is sent: false with the reason (a folder that is
// missing or cannot be written, an address that does not parse, no Redis in this build).
bool Open(const std::string &repository, std::string *reason);
// The repository as messages show it: an address without its user and password.
std::string Shown(const std::string &repository);
// The name the saved text gives as where it is kept (its second comment line): the properties
// file's path, or the server's key.
std::string TextName(const std::string &id);
// The saved text of an unexpired session. kMissing when there is none to resume (never saved,
// expired, a file without its partner); kFailed when the store could not be asked (reason).
Outcome Load(const std::string &id, std::string *text, std::string *reason);
// Removes what is stored of a session that is not resumed, or destroyed.
void Remove(const std::string &id);
// Stores the session's text with its expiry (now + interval seconds), whole or not at all.
// is_new: never stored before (a first save). The expiry stored, through expiry. kFailed with
// where (the file or address for the message) when it could not be stored; kMissing when the
// session was destroyed meanwhile and stays so.
Outcome Save(const std::string &id, const std::string &text, int interval, bool is_new,
             long long *expiry, std::string *where);
// The end of the request: nothing of it is kept but a kept connection.
void Close();

// The expiry file of the folder store on its own: 0 when it cannot be read, -1 when it has
// passed (or is not a number), 1 otherwise; and its writer, which gives the moment written
// (0 when it could not be written).
int ExpiryFileCheck(const char *path, long long *expiry);
long long ExpiryFileWrite(const std::string &path, int interval);

}  // namespace webreq::sessionstore
