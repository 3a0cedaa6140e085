// Any request through the decoders: the first byte picks urlencoded or multipart, bytes up to
// the first line feed become the query string and cookies, the rest is the body on standard
// input. Errors end the request (not the fuzzer) through the error hook.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "webreq/error.h"
#include "webreq/error_internal.h"
#include "webreq/values.h"

namespace {

struct RequestEnded {};
[[noreturn]] void EndRequest() {
    throw RequestEnded();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    webreq::ErrorEndHookSet(EndRequest);
    setenv("REQUEST_METHOD", "POST", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const bool multipart = data[0] & 1;
    const std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    const size_t feed = rest.find('\n');
    const std::string head = rest.substr(0, feed == std::string::npos ? 0 : feed);
    const std::string body = feed == std::string::npos ? rest : rest.substr(feed + 1);
    setenv("QUERY_STRING", head.c_str(), 1);
    setenv("HTTP_COOKIE", head.c_str(), 1);
    setenv("CONTENT_TYPE",
           multipart ? "multipart/form-data; boundary=XB" : "application/x-www-form-urlencoded", 1);
    setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
    FILE *input = fmemopen(const_cast<char *>(body.data()), body.size(), "rb");
    if (!input) return 0;
    FILE *saved = stdin;
    stdin = input;
    try {
        for (ec_entry *entry = ec_ValueList(); entry; entry = entry->next)
            if (!entry->name || !entry->value) std::abort();
        ec_ValueOrigin("a");
    } catch (const RequestEnded &) {
    }
    stdin = saved;
    std::fclose(input);
    ec_Finish();
    return 0;
}
