// Stands in for a browser or the product in tests: records the arguments it was started
// with, one per line, in the file named by NUVEX_RECORD.
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv) {
    const char *record = std::getenv("NUVEX_RECORD");
    if (!record) return 2;
    const std::string partial = std::string(record) + ".part";
    FILE *out = std::fopen(partial.c_str(), "wb");
    if (!out) return 3;
    for (int i = 0; i < argc; ++i) std::fprintf(out, "%s\n", argv[i]);
    std::fclose(out);
    // Whole or not at all: the test waits for the final name.
    std::remove(record);
    return std::rename(partial.c_str(), record) == 0 ? 0 : 4;
}
