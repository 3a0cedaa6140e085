// Any search text and any text through the keyword operations: the split follows its rules
// (checked against a plain reading of them), counts stay within the words, and highlighting in
// the converting modes writes no raw markup from either text, one bold span per occurrence.
// Input: mode byte, the search text up to a zero byte, then the text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "fuzz/markup.h"
#include "webreq/output.h"

namespace {

const int kModes[] = {0, 1, 2, 3, 4, 5, 6, 10, 11, 12, 13, 14, 15, 16, 23, 26, 33, 36};

// Blanks separate words, double quotes hold phrases, edges are trimmed first.
std::vector<std::string> ExpectedWords(const std::string &search) {
    size_t first = 0, last = search.size();
    auto trimmed = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; };
    while (first < last && trimmed(search[first])) ++first;
    while (last > first && trimmed(search[last - 1])) --last;
    const std::string text = search.substr(first, last - first);
    std::vector<std::string> words;
    for (size_t at = 0; at < text.size();) {
        if (text[at] == ' ') {
            ++at;
        } else if (text[at] == '"') {
            const size_t close = text.find('"', at + 1);
            const std::string phrase = text.substr(
                at + 1, close == std::string::npos ? std::string::npos : close - at - 1);
            if (!phrase.empty()) words.push_back(phrase);
            at = close == std::string::npos ? text.size() : close + 1;
        } else {
            const size_t end = text.find_first_of(" \"", at);
            words.push_back(
                text.substr(at, end == std::string::npos ? std::string::npos : end - at));
            at = end == std::string::npos ? text.size() : end;
        }
    }
    if (words.size() > EC_KEYWORD_MAX) words.resize(EC_KEYWORD_MAX);
    return words;
}

size_t Occurrences(const std::string &out, const char *piece) {
    size_t count = 0;
    for (size_t at = out.find(piece); at != std::string::npos; at = out.find(piece, at + 1))
        ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    fuzz::EndHookInstall();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    const int mode = kModes[input.Byte() % (sizeof kModes / sizeof kModes[0])];
    const std::string search = input.Text();
    const std::string text = input.Rest().c_str();

    // Exactly the slots the header asks for: a word past them is a heap overflow.
    char **keywords = new char *[EC_KEYWORD_MAX + 1];
    const int count = ec_KeywordSplit(search.c_str(), keywords);
    const std::vector<std::string> expected = ExpectedWords(search);
    if (count != static_cast<int>(expected.size()))
        fuzz::Fail("word count", std::to_string(count) + " for " + std::to_string(expected.size()));
    if (keywords[count]) fuzz::Fail("no null slot after the words");
    for (int i = 0; i < count; ++i)
        if (expected[i] != keywords[i])
            fuzz::Fail("word differs", expected[i] + " | " + keywords[i]);

    const int present = ec_KeywordCount(text.c_str(), keywords);
    if (present < 0 || present > count) fuzz::Fail("more words present than there are");

    std::string out;
    int highlighted = 0;
    {
        fuzz::StdoutCapture capture;
        try {
            highlighted = ec_KeywordHighlight(mode, text.c_str(), keywords);
        } catch (const fuzz::RequestEnded &) {
            fuzz::Fail("highlighting ended the request");
        }
        out = capture.Take();
    }
    if (present == 0 && highlighted != 0) fuzz::Fail("bold words that are not in the text");
    if (fuzz::ConvertingMode(mode)) {
        const std::string stray = fuzz::StrayMarkup(out, true);
        if (!stray.empty()) fuzz::Fail("raw markup in highlighted text", stray);
        if (Occurrences(out, "<b>") != static_cast<size_t>(highlighted))
            fuzz::Fail("bold spans and occurrences differ");
    }
    {
        fuzz::StdoutCapture capture;
        if (ec_KeywordPrint(keywords) != count) fuzz::Fail("ec_KeywordPrint count");
        const std::string printed = capture.Take();
        const size_t body = printed.find("\n\n");
        const std::string stray = fuzz::StrayMarkup(
            body == std::string::npos ? printed : printed.substr(body + 2), false);
        if (!stray.empty()) fuzz::Fail("raw markup in the printed words", stray);
    }
    ec_Finish();
    ec_KeywordFree(keywords);
    if (keywords[0]) fuzz::Fail("words left after ec_KeywordFree");
    delete[] keywords;
    return 0;
}
