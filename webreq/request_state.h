// The decoded request, shared by the decoders and the values interface.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "webreq/entrylist.h"
#include "webreq/request.h"

namespace webreq {

enum Origin { kCookie = 0, kGet = 1, kPost = 2, kNew = 3 };

// A file part as the multipart decoder read it. The length and name come from the body
// itself, so no entry of the same name (cookie, query, urlencoded field) can stand in for them.
struct Upload {
    std::string field;
    std::string filename;
    const char *value;  // the part's entry's value: found again in the list by this pointer
    size_t length;
};

struct RequestState {
    ec_entry *list = nullptr;
    int counts[4] = {0, 0, 0, 0};  // COOKIE, GET, POST, NEW
    std::vector<Upload> uploads;
    // Names that ec_ValueAdd counted as NEW (absent when added); removing one lowers NEW.
    std::vector<std::string> new_names;
};

RequestState &Request();

// How the multipart body is read. Requests read it in blocks; the byte-by-byte reader is the
// reference that the tests and the differential fuzzer hold the block reader to.
enum class MultipartMethod { kBlocks, kBytes };
struct MultipartSettings {
    MultipartMethod method = MultipartMethod::kBlocks;
    size_t block_size = 64 * 1024;
    long long body_limit = EC_MULTIPART_LIMIT;
    long long slack = EC_MULTIPART_SLACK;
    // Told every part as it is appended, with its value's true length (values may hold NUL).
    void (*part_seen)(const char *name, const char *value, size_t length) = nullptr;
    // Told the new room of a value each time the reader gives it more memory.
    void (*room_grown)(size_t room) = nullptr;
};
const MultipartSettings &MultipartSettingsGet();
// For tests and fuzzing only: the settings of the decodings that follow.
void MultipartSettingsSet(const MultipartSettings &settings);

}  // namespace webreq
