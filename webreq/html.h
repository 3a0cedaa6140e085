// HTML escaping shared by the modules that write request data into pages.
#pragma once

#include <string>
#include <string_view>

namespace webreq {

// & < > " ' as character references; everything else as it is.
std::string HtmlEscaped(std::string_view text);

}  // namespace webreq
