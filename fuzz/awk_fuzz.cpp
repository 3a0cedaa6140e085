// Any data file through the field reader and the counters. The first byte picks the
// separator; the rest is the file. Every line comes back as the fields that splitting its
// trimmed text gives (at most the slots there are, each cut at 255 characters), then -1.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "webreq/template.h"

namespace {

std::string g_scratch, g_data;

const char kSeparators[] = " ,;|:\t=#";

bool Trimmed(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

// The fields of each line as the reader is to give them.
std::vector<std::vector<std::string>> ExpectedLines(const std::string &file, char separator) {
    std::vector<std::vector<std::string>> lines;
    for (size_t at = 0; at < file.size();) {
        size_t feed = file.find('\n', at);
        if (feed == std::string::npos) feed = file.size() - 1;
        std::string line = file.substr(at, feed + 1 - at).c_str();  // a C text ends at NUL
        at = feed + 1;
        size_t first = 0, last = line.size();
        while (first < last && Trimmed(line[first])) ++first;
        while (last > first && Trimmed(line[last - 1])) --last;
        line = line.substr(first, last - first);
        std::vector<std::string> fields;
        for (size_t from = 0;;) {
            const size_t next = line.find(separator, from);
            const std::string field = line.substr(from, next - from);
            if (fields.size() < EC_AWK_FIELDS)
                fields.push_back(field.substr(0, EC_AWK_FIELD_SIZE - 1));
            if (next == std::string::npos) break;
            from = next + 1;
        }
        lines.push_back(fields);
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    fuzz::EndHookInstall();
    g_scratch = fuzz::ScratchCreate("awk");
    g_data = g_scratch + "/data.txt";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const char separator = kSeparators[data[0] % (sizeof kSeparators - 1)];
    const std::string file(reinterpret_cast<const char *>(data + 1), size - 1);
    if (!fuzz::WriteFile(g_data, file)) std::abort();
    const auto expected = ExpectedLines(file, separator);

    fuzz::StdoutCapture capture;
    try {
        if (ec_AwkOpen(g_data.c_str(), separator) != 1) fuzz::Fail("data file not opened");
        static ec_awk_fields fields;
        for (size_t line = 0;; ++line) {
            std::memset(fields, 'x', sizeof fields);
            const int count = ec_AwkNext(fields);
            if (count == -1) {
                if (line != expected.size())
                    fuzz::Fail("lines lost or made up",
                               std::to_string(line) + " of " + std::to_string(expected.size()));
                break;
            }
            if (line >= expected.size()) fuzz::Fail("a line past the end");
            if (count != static_cast<int>(expected[line].size()))
                fuzz::Fail("field count",
                           std::to_string(count) + " for line " + std::to_string(line));
            for (int i = 0; i < count; ++i) {
                if (!std::memchr(fields[i], '\0', EC_AWK_FIELD_SIZE)) fuzz::Fail("unended field");
                if (expected[line][i] != fields[i])
                    fuzz::Fail("field differs",
                               "'" + expected[line][i] + "' read as '" + fields[i] + "'");
            }
        }
        if (ec_AwkNext(fields) != -1) fuzz::Fail("the end is not kept");
        ec_AwkClose();

        // The same bytes as a counter: an increase is what the next read gives.
        const int before = ec_CounterGet(g_data.c_str());
        const int increment = static_cast<int>(data[0]) - 128;
        const int after = ec_CounterAdd(g_data.c_str(), increment);
        if (ec_CounterGet(g_data.c_str()) != after)
            fuzz::Fail("counter read differs from its increase");
        if (before > -1000000 && before < 1000000 && after != before + increment)
            fuzz::Fail("counter increase", std::to_string(before) + " + " +
                                               std::to_string(increment) + " gave " +
                                               std::to_string(after));
    } catch (const fuzz::RequestEnded &) {
        fuzz::Fail("the field reader or a counter ended the request");
    }
    capture.Take();
    ec_Finish();
    return 0;
}
