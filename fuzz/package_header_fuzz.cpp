// Any bytes as a restored package: the payload origin scan and the header reader must
// survive them, stay inside the input and keep their promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "installer/package.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view restored(reinterpret_cast<const char *>(data), size);
    const long long origin = package::PayloadOriginOf(restored);
    if (origin < 0 || origin > static_cast<long long>(size)) std::abort();
    const package::Header header = package::HeaderParse(restored.substr(0, origin));
    if (header.counts_valid && header.section_counts.size() < 3) std::abort();
    for (const auto &record : header.info_records) {
        if (record.size() > package::kTokenLimit) std::abort();
        std::string value;
        package::InfoRecordValue(record, &value);
    }
    for (const auto &list : header.list_records)
        if (list.text.size() > package::kListTextLimit) std::abort();
    for (const auto &entry : header.file_entries)
        if (entry.path.empty() || entry.path.size() > package::kTokenLimit) std::abort();
    return 0;
}
