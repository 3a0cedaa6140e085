// Any request through the decoders. The first three bytes pick the method, the content type
// and how CONTENT_LENGTH relates to the body; then come, each ended by a zero byte, the query
// string, the cookies, the multipart boundary and a CONTENT_LENGTH text; the rest is the body
// on standard input. Errors end the request (not the fuzzer) through the error hook.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/harness.h"
#include "webreq/values.h"

namespace {

const char *const kMethods[] = {"POST", "POST", "POST", "GET", "PUT", "post", "HEAD", nullptr};

std::string ContentType(uint8_t pick, const std::string &boundary) {
    switch (pick % 10) {
        case 0:
            return "application/x-www-form-urlencoded";
        case 1:
            return "application/x-www-form-urlencoded; charset=UTF-8";
        case 2:
            return "multipart/form-data; boundary=" + boundary;
        case 3:
            return "multipart/form-data; boundary=\"" + boundary + "\"";
        case 4:
            return "multipart/form-data";
        case 5:
            return "MULTIPART/FORM-DATA; boundary=" + boundary;
        case 6:
            return "text/plain";
        case 7:
            return "multipart/form-data; boundary=" + boundary + "; charset=x";
        case 8:
            return boundary;  // anything at all
        default:
            return std::string();  // unset
    }
}

// The announced length: honest, short, long, malformed, signed or blank-led, or unset (null).
bool ContentLength(uint8_t pick, size_t body, const std::string &text, std::string *out) {
    const size_t delta = 1 + pick / 8;
    switch (pick % 8) {
        case 0:
            *out = std::to_string(body);
            return true;
        case 1:
            *out = std::to_string(body > delta ? body - delta : 0);
            return true;
        case 2:
            *out = std::to_string(body + delta);
            return true;
        case 3:
            *out = text;
            return true;
        case 4:
            *out = "+" + std::to_string(body);
            return true;
        case 5:
            *out = "  " + std::to_string(body);
            return true;
        case 6:
            *out = "-" + std::to_string(delta);
            return true;
        default:
            return false;
    }
}

// A plain decimal count (the only form whose reading is fixed): its value, else -1.
long long PlainCount(const std::string &text) {
    if (text.empty() || text.size() > 12) return -1;
    long long value = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return -1;
        value = value * 10 + (ch - '0');
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    fuzz::EndHookInstall();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    const char *method = kMethods[input.Byte() % 8];
    const uint8_t type_pick = input.Byte();
    const uint8_t length_pick = input.Byte();
    const std::string query = input.Text();
    const std::string cookies = input.Text();
    const std::string boundary = input.Text();
    const std::string length_text = input.Text();
    const std::string body = input.Rest();

    auto set = [](const char *name, const char *value) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    };
    set("REQUEST_METHOD", method);
    set("QUERY_STRING", query.c_str());
    set("HTTP_COOKIE", cookies.c_str());
    const std::string type = ContentType(type_pick, boundary);
    set("CONTENT_TYPE", type_pick % 10 == 9 ? nullptr : type.c_str());
    std::string length;
    const bool announced = ContentLength(length_pick, body.size(), length_text, &length);
    set("CONTENT_LENGTH", announced ? length.c_str() : nullptr);

    FILE *stream = fmemopen(const_cast<char *>(body.data()), body.size(), "rb");
    if (!stream) return 0;
    FILE *saved = stdin;
    stdin = stream;
    {
        fuzz::StdoutCapture capture;
        try {
            ec_entry *list = ec_ValueList();
            for (ec_entry *entry = list; entry; entry = entry->next)
                if (!entry->name || !entry->value) fuzz::Fail("entry without name or value");
            // An empty request is decoded again by every values operation (standard input
            // read once more), so the lookups below run only on a request that holds entries.
            if (list) ec_ValueOrigin("a");
            for (char *value = list ? ec_ValueFirst("a") : nullptr; value; value = ec_ValueNext())
                if (!ec_ValueOrigin("a")) fuzz::Fail("a value without origin");
        } catch (const fuzz::RequestEnded &) {
        }
    }
    const long consumed = std::ftell(stdin);
    stdin = saved;
    std::fclose(stream);
    ec_Finish();

    // A body is read only for POST, and never past an announced plain count.
    const bool multipart = type.compare(0, 19, "multipart/form-data") == 0 && type_pick % 10 != 9;
    if (!multipart) {
        const bool post = method && std::strcmp(method, "POST") == 0;
        if (!post && consumed > 0) fuzz::Fail("body read for a method other than POST");
        const long long count = PlainCount(length);
        if (post && announced && count >= 0 && consumed > count)
            fuzz::Fail("body read past CONTENT_LENGTH", length + " read " +
                                                            std::to_string(consumed) + " of " +
                                                            std::to_string(body.size()));
    }
    return 0;
}
