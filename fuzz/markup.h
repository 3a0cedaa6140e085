// Checks HTML written by the converting output modes: the only '<', '>' and '"' in it belong
// to markup the library makes itself (line breaks, bold words and links whose target and
// text are the token of the link); everything from the text is escaped or left out.
#pragma once

#include <cstring>
#include <string>

namespace fuzz {

namespace markup_detail {

inline bool Markup(char ch) {
    return ch == '<' || ch == '>' || ch == '"';
}

inline bool StartsAt(const std::string &out, size_t at, const char *piece) {
    return out.compare(at, std::strlen(piece), piece) == 0;
}

// Characters up to stop that hold no markup character; npos when stop is not found first.
inline size_t PlainRun(const std::string &out, size_t at, char stop) {
    for (size_t i = at; i < out.size(); ++i) {
        if (out[i] == stop) return i;
        if (Markup(out[i])) return std::string::npos;
    }
    return std::string::npos;
}

// <a href="T" target="X">T</a> or <a href="mailto:T">T</a>; the index after it, or npos.
inline size_t LinkEnd(const std::string &out, size_t at) {
    static const char kOpen[] = "<a href=\"";
    if (!StartsAt(out, at, kOpen)) return std::string::npos;
    const size_t href = at + sizeof kOpen - 1;
    const size_t href_end = PlainRun(out, href, '"');
    if (href_end == std::string::npos || href_end == href) return std::string::npos;
    std::string token = out.substr(href, href_end - href);
    size_t after = href_end + 1;
    if (StartsAt(out, after, " target=\"")) {
        const size_t target = after + 9;
        const size_t target_end = PlainRun(out, target, '"');
        if (target_end == std::string::npos) return std::string::npos;
        after = target_end + 1;
    } else if (token.compare(0, 7, "mailto:") == 0) {
        token.erase(0, 7);
    } else {
        return std::string::npos;
    }
    if (!StartsAt(out, after, ">")) return std::string::npos;
    const size_t text = after + 1;
    if (!StartsAt(out, text, token.c_str()) || !StartsAt(out, text + token.size(), "</a>"))
        return std::string::npos;
    return text + token.size() + 4;
}

}  // namespace markup_detail

// Empty when the output holds only library markup, else a description of the first stray
// character with its surroundings.
inline std::string StrayMarkup(const std::string &out, bool bold_allowed) {
    using namespace markup_detail;
    for (size_t i = 0; i < out.size();) {
        if (!Markup(out[i])) {
            ++i;
            continue;
        }
        if (StartsAt(out, i, "<br>")) {
            i += 4;
        } else if (bold_allowed && StartsAt(out, i, "<b>")) {
            i += 3;
        } else if (bold_allowed && StartsAt(out, i, "</b>")) {
            i += 4;
        } else if (const size_t end = LinkEnd(out, i); end != std::string::npos) {
            i = end;
        } else {
            const size_t from = i < 40 ? 0 : i - 40;
            return "stray '" + std::string(1, out[i]) + "' at " + std::to_string(i) + " in ..." +
                   out.substr(from, 80) + "...";
        }
    }
    return std::string();
}

// The modes that escape or strip markup (every mode but 0 and 10).
inline bool ConvertingMode(int mode) {
    return mode != 0 && mode != 10;
}

}  // namespace fuzz
