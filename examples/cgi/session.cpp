// session.cgi: sign in with a name, count visits, sign out. Sessions live in
// $NUVEX_SESSION_DIR (else "sessions"); $NUVEX_SESSION_TIMEOUT shortens their lifetime.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "webreq/webreq.h"

enum { kNameLimit = 100 };

// A name that fits the page and the session file as it is: short, no control characters.
static int IsPlainName(const char *name) {
    size_t length = 0;
    for (const unsigned char *p = (const unsigned char *)name; *p; ++p, ++length)
        if (*p < 0x20 || *p == 0x7f) return 0;
    return length <= kNameLimit;
}

// One request; run by ec_Serve once as a CGI program, or request after request as a
// FastCGI worker.
static int Page(void) {
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
        const char *name = ec_ValueNotEmpty("A name is needed to sign in.", "name");
        if (!IsPlainName(name))
            ecError(
                "session.cgi: A name of at most %d characters, without control characters, "
                "is needed to sign in.",
                kNameLimit);
        ec_SessionRemove("user");
        ec_SessionAdd("user", "%s", name);
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

int main(void) {
    return ec_Serve(Page);
}
