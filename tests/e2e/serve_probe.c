/* A program built on the loop entry that answers with what its request carried: the same
 * binary runs under mod_cgi and as a FastCGI worker. "?fail" ends the request in ecError. Its
 * bytes go through the request channel only, but for "?stdio", which writes with stdio. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "webreq/webreq.h"

static const char *VarOrDash(const char *name) {
    const char *value = ec_ChannelVar(name);
    return value ? value : "-";
}

static int Page(void) {
    static long served = 0;
    char head[1024];
    char body[4096];
    long got;
    int length;
    const char *query = VarOrDash("QUERY_STRING");
    if (strcmp(query, "fail") == 0) ecError("the probe was asked to fail");
    if (strcmp(query, "stdio") == 0) {
        /* A page that writes with the C library, as under CGI, between the channel's writes. */
        printf("Content-Type: text/plain\r\n\r\nprintf %d\n", 1);
        ec_ChannelWrite("channel\n", 8);
        puts("puts");
        fwrite("fwrite\n", 1, 7, stdout);
        return 0;
    }
    ++served;
    length =
        snprintf(head, sizeof head,
                 "Content-Type: text/plain\r\n\r\nquery=%s cookie=%s fastcgi=%d pid=%ld "
                 "served=%ld\n",
                 query, VarOrDash("HTTP_COOKIE"), ec_ChannelIsFastCgi(), (long)getpid(), served);
    if (length < 0 || (size_t)length >= sizeof head) return 1;
    ec_ChannelWrite(head, (size_t)length);
    while ((got = ec_ChannelRead(body, sizeof body)) > 0) ec_ChannelWrite(body, (size_t)got);
    return 0;
}

int main(void) {
    return ec_Serve(Page);
}
