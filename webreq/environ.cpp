#include "webreq/environ.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <vector>

#include "platform/platform.h"
#include "util/fileio.h"
#include "webreq/channel.h"
#include "webreq/error_internal.h"
#include "webreq/md5.h"
#include "webreq/serve_internal.h"

namespace {

char g_unique_id[33];
struct tm g_local_time;

// What the last request left in the shared results is not seen by the next one.
void ClearRequestTexts() {
    g_unique_id[0] = '\0';
    g_local_time = {};
}

char *NewText(const std::string &text) {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

extern "C" {

struct tm *_local_time(void) try {
    webreq::RequestResetStepAdd(ClearRequestTexts);
    const std::time_t now = std::time(nullptr);
    const struct tm *local = std::localtime(&now);
    if (!local) return nullptr;
    g_local_time = *local;
    g_local_time.tm_year += 1900;
    g_local_time.tm_mon += 1;
    return &g_local_time;
} catch (const std::exception &) {
    webreq::MemoryFail("_local_time");
}

const char *_getenv_default(const char *default_text, const char *name) try {
    if (!name) return default_text;
    const char *value = ec_ChannelVar(name);
    if (!value && ec_ChannelIsFastCgi()) value = platform::EnvGet(name);
    return value ? value : default_text;
} catch (const std::exception &) {
    webreq::MemoryFail("_getenv_default");
}

ec_cgi_environment *_cgi_environment(ec_cgi_environment *record) try {
    if (!record) return nullptr;
    const char *const names[] = {"AUTH_TYPE",
                                 "CONTENT_LENGTH",
                                 "CONTENT_TYPE",
                                 "DOCUMENT_ROOT",
                                 "GATEWAY_INTERFACE",
                                 "HTTP_ACCEPT",
                                 "HTTP_ACCEPT_ENCODING",
                                 "HTTP_ACCEPT_LANGUAGE",
                                 "HTTP_CONNECTION",
                                 "HTTP_COOKIE",
                                 "HTTP_HOST",
                                 "HTTP_REFERER",
                                 "HTTP_USER_AGENT",
                                 "QUERY_STRING",
                                 "REMOTE_ADDR",
                                 "REMOTE_HOST",
                                 "REMOTE_PORT",
                                 "REMOTE_USER",
                                 "REQUEST_METHOD",
                                 "REQUEST_URI",
                                 "SCRIPT_FILENAME",
                                 "SCRIPT_NAME",
                                 "SERVER_ADMIN",
                                 "SERVER_NAME",
                                 "SERVER_PORT",
                                 "SERVER_PROTOCOL",
                                 "SERVER_SOFTWARE",
                                 "SERVER_SIGNATURE",
                                 "UNIQUE_ID"};
    const char **fields[] = {&record->auth_type,
                             &record->content_length,
                             &record->content_type,
                             &record->document_root,
                             &record->gateway_interface,
                             &record->http_accept,
                             &record->http_accept_encoding,
                             &record->http_accept_language,
                             &record->http_connection,
                             &record->http_cookie,
                             &record->http_host,
                             &record->http_referer,
                             &record->http_user_agent,
                             &record->query_string,
                             &record->remote_addr,
                             &record->remote_host,
                             &record->remote_port,
                             &record->remote_user,
                             &record->request_method,
                             &record->request_uri,
                             &record->script_filename,
                             &record->script_name,
                             &record->server_admin,
                             &record->server_name,
                             &record->server_port,
                             &record->server_protocol,
                             &record->server_software,
                             &record->server_signature,
                             &record->unique_id};
    static_assert(sizeof names / sizeof names[0] == sizeof fields / sizeof fields[0]);
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        *fields[i] = ec_ChannelVar(names[i]);
    if (!record->remote_host) record->remote_host = record->remote_addr;
    const struct tm *now = _local_time();
    record->year = now ? now->tm_year : 0;
    record->month = now ? now->tm_mon : 0;
    record->day = now ? now->tm_mday : 0;
    record->hour = now ? now->tm_hour : 0;
    record->minute = now ? now->tm_min : 0;
    record->second = now ? now->tm_sec : 0;
    return record;
} catch (const std::exception &) {
    webreq::MemoryFail("_cgi_environment");
}

char *_unique_id(void) try {
    const struct tm *now = _local_time();
    const char *port = _getenv_default("", "REMOTE_PORT");
    const char *address = _getenv_default("", "REMOTE_ADDR");
    char text[256];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d-%s:%s", now ? now->tm_year : 0,
                  now ? now->tm_mon : 0, now ? now->tm_mday : 0, now ? now->tm_hour : 0,
                  now ? now->tm_min : 0, now ? now->tm_sec : 0, address, port);
    const std::string hex = webreq::Md5::Hex(text, std::strlen(text));
    std::memcpy(g_unique_id, hex.c_str(), 33);
    return g_unique_id;
} catch (const std::exception &) {
    webreq::MemoryFail("_unique_id");
}

char *_md5_hex(const char *text) try {
    if (!text) return nullptr;
    return NewText(webreq::Md5::Hex(text, std::strlen(text)));
} catch (const std::exception &) {
    webreq::MemoryFail("_md5_hex");
}

char *_md5_file(const char *path) try {
    // Digested block by block as it is read: the same digest as of the whole file in memory,
    // without holding it there. The contents count as text: the digest ends at the first NUL.
    const int fd = FileOpenMode(path, "rb");
    if (fd < 0) return nullptr;
    webreq::Md5 md5;
    std::vector<char> block(1 << 20);
    long long got;
    while ((got = platform::FdRead(fd, block.data(), block.size())) > 0) {
        const void *zero = std::memchr(block.data(), '\0', static_cast<size_t>(got));
        const size_t take =
            zero ? static_cast<size_t>(static_cast<const char *>(zero) - block.data())
                 : static_cast<size_t>(got);
        md5.Update(block.data(), take);
        if (zero) break;
    }
    FileClose(fd);
    if (got < 0) return nullptr;
    return NewText(md5.FinalHex());
} catch (const std::exception &) {
    webreq::MemoryFail("_md5_file");
}

}  // extern "C"
