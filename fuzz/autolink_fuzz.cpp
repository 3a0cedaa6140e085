// Any text through every conversion mode of _autolink and of ec_Printf, and through the cookie
// encoding. In the converting modes nothing of the text's own '<', '>' or '"' is written raw.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/harness.h"
#include "fuzz/markup.h"
#include "webreq/cookie.h"
#include "webreq/output.h"

namespace {
// Every mode of the table, and three that are refused.
const int kModes[] = {0, 1, 2, 3, 4, 5, 6, 10, 11, 12, 13, 14, 15, 16, 23, 26, 33, 36, 7, 20, -1};

bool KnownMode(int mode) {
    return mode != 7 && mode != 20 && mode != -1;
}

// The output of one conversion; refused modes must end the request.
std::string Converted(int mode, const std::string &text, bool through_printf) {
    fuzz::StdoutCapture capture;
    bool ended = false;
    try {
        if (through_printf) {
            const int length = ec_Printf(mode, "%s", text.c_str());
            if (length != static_cast<int>(text.size())) fuzz::Fail("ec_Printf length");
        } else {
            std::string work = text;
            _autolink(mode, work.data());
        }
    } catch (const fuzz::RequestEnded &) {
        ended = true;
    }
    std::string out = capture.Take();
    ec_Finish();
    if (ended == KnownMode(mode))
        fuzz::Fail("mode refused or accepted wrongly", std::to_string(mode));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    fuzz::EndHookInstall();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const int mode = kModes[data[0] % (sizeof kModes / sizeof kModes[0])];
    const std::string text =
        std::string(reinterpret_cast<const char *>(data + 1), size - 1).c_str();

    const std::string direct = Converted(mode, text, false);
    if (fuzz::ConvertingMode(mode) && KnownMode(mode)) {
        const std::string stray = fuzz::StrayMarkup(direct, false);
        if (!stray.empty()) fuzz::Fail("raw markup from the text", stray);
    }
    if (mode == 0 && direct != text) fuzz::Fail("mode 0 changed the text");
    if (Converted(mode, text, true) != direct) fuzz::Fail("ec_Printf and _autolink differ");

    // Three copies of a long text do not fit the 10240-byte buffer: refused, nothing written.
    if (KnownMode(mode) && text.size() >= 3414) {
        fuzz::StdoutCapture capture;
        bool ended = false;
        try {
            ec_Printf(mode, "%s%s%s", text.c_str(), text.c_str(), text.c_str());
        } catch (const fuzz::RequestEnded &) {
            ended = true;
        }
        const std::string out = capture.Take();
        ec_Finish();
        if (!ended) fuzz::Fail("over-long ec_Printf text accepted");
        if (out.find(text.substr(0, 64)) != std::string::npos && mode == 0)
            fuzz::Fail("over-long ec_Printf text written");
    }

    char *encoded = _cookie_encode(text.c_str());
    if (!encoded || std::strlen(encoded) > 3 * text.size()) std::abort();
    for (const char *p = encoded; *p; ++p)
        if (*p == ' ' || *p == ';' || *p == '=' || *p == '\r' || *p == '\n') std::abort();
    std::free(encoded);
    return 0;
}
