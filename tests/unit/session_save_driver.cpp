// One request of a saved session that replaces its "note" entries, as a page would:
//   session_save_driver REPOSITORY ID COUNT LENGTH
// removes every "note" entry, adds COUNT entries "note" of LENGTH letters 'n' and ends the
// request (which saves). Exits with 0 once the save is done, 3 when the session did not resume.
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "webreq/webreq.h"

int main(int argc, char **argv) {
    if (argc != 5) return 2;
    platform::EnvSet("HTTP_COOKIE", (std::string("QSESSIONID=") + argv[2]).c_str());
    if (ec_Session(argv[1]) != 0) return 3;
    ec_SessionRemove("note");
    const std::string value(static_cast<size_t>(std::atoi(argv[4])), 'n');
    for (int i = 0; i < std::atoi(argv[3]); ++i) ec_SessionAdd("note", "%s", value.c_str());
    ec_Finish();
    return 0;
}
