// Any text through the entry decoder, against a plain reading of its rules: lines end at LF;
// a line is trimmed of blanks, tabs, CR and LF; empty lines and lines starting with '#' are
// skipped; the rest is a name up to the first '=' and a value after it, both trimmed (no '='
// gives an empty value). Every entry must match, in order, and the list frees cleanly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "webreq/entrylist.h"

namespace {

std::string Trimmed(const std::string &text) {
    const char *blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::vector<std::pair<std::string, std::string>> Reference(const std::string &text) {
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            pairs.emplace_back(line, "");
        else
            pairs.emplace_back(Trimmed(line.substr(0, equals)), Trimmed(line.substr(equals + 1)));
    }
    return pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const std::string text(bytes.c_str());  // what a C string of these bytes holds
    const auto expected = Reference(text);
    ec_entry *list = ec_sDecoder(text.c_str());
    size_t index = 0;
    for (ec_entry *entry = list; entry; entry = entry->next, ++index) {
        if (!entry->name || !entry->value || index >= expected.size()) std::abort();
        if (expected[index].first != entry->name || expected[index].second != entry->value)
            std::abort();
    }
    if (index != expected.size()) std::abort();
    _list_free(list);
    return 0;
}
