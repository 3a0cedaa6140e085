/* Environment and request identity: local time, environment with a default, the CGI
 * environment record, the request identifier and MD5 digests (RFC 1321). */
#ifndef NUVEX_WEBREQ_ENVIRON_H
#define NUVEX_WEBREQ_ENVIRON_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The CGI variables of the current request, each the request's own string (the process
 * environment's under CGI; valid until the request ends) or null, and the local time of the
 * snapshot. */
typedef struct ec_cgi_environment {
    const char *auth_type;
    const char *content_length;
    const char *content_type;
    const char *document_root;
    const char *gateway_interface;
    const char *http_accept;
    const char *http_accept_encoding;
    const char *http_accept_language;
    const char *http_connection;
    const char *http_cookie;
    const char *http_host;
    const char *http_referer;
    const char *http_user_agent;
    const char *query_string;
    const char *remote_addr;
    const char *remote_host; /* REMOTE_ADDR when REMOTE_HOST is not set */
    const char *remote_port;
    const char *remote_user;
    const char *request_method;
    const char *request_uri;
    const char *script_filename;
    const char *script_name;
    const char *server_admin;
    const char *server_name;
    const char *server_port;
    const char *server_protocol;
    const char *server_software;
    const char *server_signature;
    const char *unique_id;
    int year;  /* full year */
    int month; /* 1 to 12 */
    int day;
    int hour;
    int minute;
    int second;
} ec_cgi_environment;

/* The current local time with the full year and the month from 1, in a shared record (the
 * next call overwrites it; cleared between two requests). */
struct tm *_local_time(void);
/* The variable's value, or default_text when it is not set (an empty value counts as set).
 * The variable is looked up in the current request (ec_ChannelVar); under FastCGI, one the
 * request does not carry is then looked up in the worker's own environment, where a server
 * puts a program's settings (lighttpd's bin-environment). */
const char *_getenv_default(const char *default_text, const char *name);
/* Fills every field of the record and returns it. */
ec_cgi_environment *_cgi_environment(ec_cgi_environment *record);
/* 32 hexadecimal digits: the MD5 of the local time to the second, REMOTE_ADDR and
 * REMOTE_PORT; a static buffer that the next call overwrites. */
char *_unique_id(void);
/* The MD5 digest of the text as 32 lowercase hexadecimal digits, new (caller frees). */
char *_md5_hex(const char *text);
/* _md5_hex of the file's contents taken as text (up to its first NUL byte); null when the
 * file cannot be read. */
char *_md5_file(const char *path);

#ifdef __cplusplus
}
#endif

#endif
