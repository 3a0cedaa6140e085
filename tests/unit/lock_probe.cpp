// Takes the lock of a file the way the library does (FileOpenLocked with the mode given),
// says so by creating the "taken" file, and lets the lock go again.
//   lock_probe MODE PATH TAKEN
#include <cstdio>

#include "util/fileio.h"

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    FILE *stream = FileOpenLocked(argv[2], argv[1]);
    if (!stream) return 3;
    FILE *taken = std::fopen(argv[3], "wb");
    if (taken) std::fclose(taken);
    FileCloseLocked(stream);
    return taken ? 0 : 4;
}
