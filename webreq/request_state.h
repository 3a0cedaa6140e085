// The decoded request, shared by the decoders and the values interface.
#pragma once

#include "webreq/entrylist.h"

namespace webreq {

enum Origin { kCookie = 0, kGet = 1, kPost = 2, kNew = 3 };

struct RequestState {
    ec_entry *list = nullptr;
    int counts[4] = {0, 0, 0, 0};  // COOKIE, GET, POST, NEW
};

RequestState &Request();

}  // namespace webreq
