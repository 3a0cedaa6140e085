// session.cgi: sign in with a name, count visits, sign out. Sessions live in
// $NUVEX_SESSION_DIR (else "sessions"); $NUVEX_SESSION_TIMEOUT shortens their lifetime.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "webreq/webreq.h"

int main(void) {
    const int is_new = ec_Session(_getenv_default("sessions", "NUVEX_SESSION_DIR"));
    const char *timeout = _getenv_default(NULL, "NUVEX_SESSION_TIMEOUT");
    if (timeout) ec_SessionSetTimeout(atoi(timeout));
    const char *action = ec_ValueDefault("", "action");

    if (strcmp(action, "signout") == 0) {
        ec_SessionDestroy();
        ec_ContentType("text/html");
        ec_Printf(0,
                  "<html><body><p id=\"state\">signed out</p>"
                  "<a id=\"again\" href=\"session.cgi\">again</a></body></html>\n");
        ec_Finish();
        return 0;
    }
    if (strcmp(action, "signin") == 0) {
        ec_SessionRemove("user");
        ec_SessionAdd("user", "%s", ec_ValueNotEmpty("A name is needed to sign in.", "name"));
    }
    const int visits = ec_SessionIncrease("visits", 1);
    const char *user = ec_SessionValue("user");

    ec_ContentType("text/html");
    ec_Printf(0, "<html><body>\n<p id=\"state\">%s</p>\n", is_new ? "new" : "resumed");
    ec_Printf(0, "<p id=\"visits\">%d</p>\n<p id=\"user\">", visits);
    ec_Printf(1, "%s", user ? user : "");
    ec_Printf(0, "</p>\n<p id=\"session\">%s</p>\n", ec_SessionGetID());
    ec_Printf(0,
              "<form action=\"session.cgi\"><input name=\"name\" id=\"name\">"
              "<input type=\"hidden\" name=\"action\" value=\"signin\">"
              "<button id=\"signin\">Sign in</button></form>\n"
              "<a id=\"signout\" href=\"session.cgi?action=signout\">Sign out</a>\n"
              "</body></html>\n");
    ec_Finish();  // saves the session
    return 0;
}
