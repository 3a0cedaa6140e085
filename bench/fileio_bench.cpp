// Runs one file operation of the utility library for the benchmarks:
//   fileio_bench load PATH | append DEST SOURCE | count DIR
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/dirtree.h"
#include "util/fileio.h"

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "load") == 0) {
        long length = 0;
        char *data = FileLoad(argv[2], &length);
        std::printf("%ld\n", length);
        std::free(data);
        return data ? 0 : 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "append") == 0)
        return FileAppend(argv[2], argv[3]) ? 0 : 1;
    if (argc == 3 && std::strcmp(argv[1], "count") == 0) {
        int directories = 0, files = 0;
        const int walked = DirCount(argv[2], &directories, &files);
        std::printf("%d %d\n", directories, files);
        return walked ? 0 : 1;
    }
    std::fputs("usage: fileio_bench load PATH | append DEST SOURCE | count DIR\n", stderr);
    return 64;
}
