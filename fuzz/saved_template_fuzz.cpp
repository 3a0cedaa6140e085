// Any bytes as a saved session file (read back by _list_load) and as a template for
// ec_SedStr with names, includes and values taken from the input. What was loaded, saved
// again and loaded once more is the same list, as far as the file format keeps values.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/harness.h"
#include "webreq/entrylist.h"
#include "webreq/template.h"

namespace {
int g_null_fd = -1;
std::string g_saved_path;

// _list_save writes values as they are: a value comes back unchanged when it holds no '%',
// '+', CR or LF and no blank or tab at its edges. A line break in a value makes new lines, so
// then only the values are not compared but nothing is.
bool KeptAsWritten(const char *value) {
    const size_t length = std::strlen(value);
    auto edge = [](char ch) { return ch == ' ' || ch == '\t'; };
    return !std::strpbrk(value, "%+\r\n") &&
           (length == 0 || (!edge(value[0]) && !edge(value[length - 1])));
}

void CheckRoundTrip(const ec_entry *list) {
    for (const ec_entry *entry = list; entry; entry = entry->next)
        if (std::strpbrk(entry->value, "\r\n")) return;
    const std::string again = g_saved_path + ".again";
    if (!_list_save(const_cast<ec_entry *>(list), again.c_str())) std::abort();
    ec_entry *reloaded = _list_load(again.c_str());
    const ec_entry *a = list, *b = reloaded;
    for (; a && b; a = a->next, b = b->next)
        if (std::string(a->name) != b->name ||
            (KeptAsWritten(a->value) && std::string(a->value) != b->value))
            fuzz::Fail("entry changed on its way through the file",
                       std::string(a->name) + " = '" + a->value + "' came back as " + b->name +
                           " = '" + b->value + "'");
    if (a || b) fuzz::Fail("entries lost or made up on their way through the file");
    _list_free(reloaded);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    g_null_fd = fileno(stdout);
    g_saved_path = fuzz::ScratchCreate("saved") + "/saved";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    FILE *out = std::fopen(g_saved_path.c_str(), "wb");
    if (!out) return 0;
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    ec_entry *loaded = _list_load(g_saved_path.c_str());
    CheckRoundTrip(loaded);
    // The loaded entries serve as template arguments; empty names must never match.
    ec_entry *args = _list_append(loaded, "", "never");
    args = _list_append(args, "$x", "X");
    if (!ec_SedStr(args, text.c_str(), g_null_fd)) std::abort();
    _list_free(args);
    return 0;
}
