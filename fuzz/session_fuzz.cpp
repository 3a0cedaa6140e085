// Sessions from any request and any repository: the cookie (with or without a well-formed
// identifier), the query string, the saved properties and timeout files and a run of session
// operations come from the input. Two requests are made: the second presents the identifier
// of whatever the first saved and must read back what the first left.
//
// Input: a flag byte, then zero-ended texts (cookie identifier, further cookies, properties
// file, timeout file), then operations until the end.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "fuzz/harness.h"
#include "webreq/entrylist.h"
#include "webreq/session.h"
#include "webreq/values.h"

namespace {

constexpr char kKnownId[] = "0123456789abcdef0123456789abcdef";

std::string g_scratch, g_repository;

bool IsPlainId(const std::string &id) {
    if (id.size() != 32) return false;
    for (char ch : id)
        if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return false;
    return true;
}

// A name whose saved line cannot change its meaning: the round trip of its value is checked.
bool IsPlainName(const std::string &name) {
    if (name.empty() || name.size() > 64 || name[0] == '#' || name.compare(0, 3, "_Q_") == 0)
        return false;
    for (char ch : name)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
              ch == '_' || ch == '-'))
            return false;
    return true;
}

void Set(const char *name, const std::string &value) {
    setenv(name, value.c_str(), 1);
}

// Only the repository folder, and in it only session files named by a plain identifier (with
// the spares that saves swap in where names can be swapped).
void CheckScratch() {
    namespace fs = std::filesystem;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(g_scratch, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::path path = it->path();
        if (path.string() == g_repository) continue;
        if (path.parent_path().string() != g_repository)
            fuzz::Fail("file outside the session repository", path.string());
        const std::string name = path.filename().string();
        const std::string prefix = "ec_session-";
        const size_t dot = name.find('.', prefix.size());
        const std::string suffix = dot == std::string::npos ? "" : name.substr(dot);
        if (name.compare(0, prefix.size(), prefix) != 0 ||
            !IsPlainId(name.substr(prefix.size(), dot - prefix.size())) ||
            (suffix != ".properties" && suffix != ".timeout" && suffix != ".properties.spare.tmp" &&
             suffix != ".timeout.spare.tmp"))
            fuzz::Fail("stray file in the session repository", name);
    }
}

struct FirstRequest {
    bool completed = false;  // reached ec_Finish without ecError
    bool destroyed = false;
    std::string id;  // the identifier the session's files are named by
    std::map<std::string, std::optional<std::string>> values;  // first value of plain names
};

// Names that the saved file cannot keep as they are (it trims them and splits at the first
// '=', and '#' starts a comment): a program gets them back changed, which the file format
// states. A line break in a name is another matter: it would add entries of its own.
bool NameKeptByFormat(const std::string &name) {
    auto blank = [](char ch) { return ch == ' ' || ch == '\t'; };
    return name.find('=') == std::string::npos &&
           (name.empty() || (name[0] != '#' && !blank(name.front()) && !blank(name.back())));
}

void RunOperations(fuzz::Input &input, FirstRequest *run) {
    while (!input.Empty()) {
        const uint8_t op = input.Byte();
        const std::string name = input.Text();
        if (!NameKeptByFormat(name)) continue;
        switch (op % 9) {
            case 0:
            case 1: {
                const std::string value = input.Text();
                ec_SessionAdd(name.c_str(), "%s", value.c_str());
                break;
            }
            case 2:
                ec_SessionRemove("%s", name.c_str());
                break;
            case 3:
                ec_SessionValue("%s", name.c_str());
                break;
            case 4:
                ec_SessionIncrease(name.c_str(), input.Int(-1000, 1000));
                break;
            case 5:
                ec_SessionSetTimeout(input.Int(-5, 4000));
                break;
            case 6:
                ec_SessionSave();
                break;
            case 7:
                ec_SessionPrint();
                break;
            default:
                ec_SessionDestroy();
                run->destroyed = true;
                return;
        }
        if (IsPlainName(name)) run->values[name] = std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    fuzz::EndHookInstall();
    g_scratch = fuzz::ScratchCreate("session");
    g_repository = g_scratch + "/repository";
    setenv("REMOTE_ADDR", "192.0.2.7", 1);
    setenv("REQUEST_METHOD", "GET", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::ScratchReset(g_scratch);
    fuzz::ScratchReset(g_repository);
    fuzz::Input input(data, size);
    const uint8_t flags = input.Byte();
    const std::string sent_id = (flags & 1) ? kKnownId : input.Text();
    const std::string more_cookies = input.Text();
    const std::string properties = input.Text();
    const std::string timeout = input.Text();

    // The saved files of the known identifier: fuzzed or honest.
    const std::string base = g_repository + "/ec_session-" + kKnownId;
    if (flags & 2) fuzz::WriteFile(base + ".properties", properties);
    if (flags & 4)
        fuzz::WriteFile(base + ".timeout",
                        (flags & 8) ? timeout : std::to_string(std::time(nullptr) + 600) + "\n");
    // The identifier offered in the query string alone must never open a saved session.
    const bool query_only = (flags & 16) != 0;
    Set("HTTP_COOKIE", query_only ? more_cookies : "QSESSIONID=" + sent_id + "; " + more_cookies);
    Set("QUERY_STRING", query_only ? "QSESSIONID=" + sent_id : std::string());

    FirstRequest run;
    {
        fuzz::StdoutCapture capture;
        try {
            const int opened = ec_Session(g_repository.c_str());
            const char *id = ec_SessionGetID();
            if (opened == 1 && (!id || !IsPlainId(id)))
                fuzz::Fail("new session without a plain identifier", id ? id : "(null)");
            // Resumed: only the saved session, and only through the cookie.
            const char *cookie = ec_ValueCookie("QSESSIONID");
            if (opened == 0 && (!(flags & 4) || !cookie || std::strcmp(cookie, kKnownId) != 0))
                fuzz::Fail("session resumed from an identifier it must not take", sent_id);
            if (opened == 0 && (!id || std::strcmp(id, kKnownId) != 0))
                fuzz::Fail("resumed session without its own identifier", id ? id : "(null)");
            run.id = opened == 1 ? id : kKnownId;
            RunOperations(input, &run);
            if (!run.destroyed)
                for (auto &[name, value] : run.values) {
                    const char *now = ec_SessionValue("%s", name.c_str());
                    if (now) value = now;
                }
            ec_Finish();
            run.completed = true;
        } catch (const fuzz::RequestEnded &) {
        }
    }
    ec_Finish();
    CheckScratch();
    if (!run.completed || run.destroyed) return 0;

    // The next request with the saved identifier gets back what was left.
    if (!std::filesystem::exists(g_repository + "/ec_session-" + run.id + ".properties")) return 0;
    Set("HTTP_COOKIE", "QSESSIONID=" + run.id);
    Set("QUERY_STRING", "");
    {
        fuzz::StdoutCapture capture;
        try {
            if (ec_Session(g_repository.c_str()) != 0) fuzz::Fail("saved session not resumed");
            for (const auto &[name, value] : run.values) {
                const char *now = ec_SessionValue("%s", name.c_str());
                if (value.has_value() != (now != nullptr) || (now && *value != now))
                    fuzz::Fail("session value changed on its way through the file",
                               name + " = '" + value.value_or("(none)") + "' came back as '" +
                                   (now ? now : "(none)") + "'");
            }
        } catch (const fuzz::RequestEnded &) {
        }
    }
    ec_Finish();
    CheckScratch();
    return 0;
}
