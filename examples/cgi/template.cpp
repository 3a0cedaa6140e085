// template.cgi: fills templates/page.html (which includes templates/header.html) with the
// visitor's name and a hit counter kept in $NUVEX_COUNTER_FILE (else "hits.count").
#include <stdio.h>
#include <string.h>

#include "webreq/webreq.h"

// One request; run by ec_Serve once as a CGI program, or request after request as a
// FastCGI worker.
static int Page(void) {
    const int hits = ec_CounterAdd(_getenv_default("hits.count", "NUVEX_COUNTER_FILE"), 1);
    ec_entry *args = NULL;
    args = ec_SedArgAdd(args, "$TITLE", "%s", "Template example");
    args = ec_SedArgAdd(args, "$HITS", "%d", hits);
    // Template values are written as they are: only a short plain name from the request is
    // used, so no markup, include directive or argument name of the client's reaches the page.
    const char *name = ec_ValueDefault("visitor", "name");
    const int plain = *name && strlen(name) <= 64 && ec_StrIsAlnum(name);
    args = ec_SedArgAdd(args, "$NAME", "%s", plain ? name : "visitor");
    ec_ContentType("text/html");
    const int filled = ec_SedFile(args, "templates/page.html", 1);
    ec_SedArgFree(args);
    if (!filled) ecError("template.cgi: the page template could not be read.");
    ec_Finish();
    return 0;
}

int main(void) {
    return ec_Serve(Page);
}
