// Runs one web request operation for the benchmarks:
//   webreq_bench md5 FILE        prints _md5_file of FILE
//   webreq_bench printf FILE     writes FILE through ec_Printf mode 13, line by line
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "webreq/environ.h"
#include "webreq/output.h"

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "md5") == 0) {
        char *digest = _md5_file(argv[2]);
        if (!digest) return 1;
        std::printf("%s\n", digest);
        std::free(digest);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "printf") == 0) {
        FILE *in = std::fopen(argv[2], "rb");
        if (!in) return 1;
        char line[8192];
        while (std::fgets(line, sizeof line, in)) ec_Printf(13, "%s", line);
        std::fclose(in);
        return 0;
    }
    std::fputs("usage: webreq_bench md5 FILE | printf FILE\n", stderr);
    return 64;
}
