// Any text through the entry decoder: every entry holds a name and a value, and the list
// frees cleanly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "webreq/entrylist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    ec_entry *list = ec_sDecoder(text.c_str());
    for (ec_entry *entry = list; entry; entry = entry->next)
        if (!entry->name || !entry->value || entry->name[0] == '#') std::abort();
    _list_free(list);
    return 0;
}
