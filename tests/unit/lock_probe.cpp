// Takes the lock of a file the way the library does (FileOpenLocked with the mode given),
// says so by creating the "taken" file, and lets the lock go again.
//   lock_probe MODE PATH TAKEN
// MODE "counter-set" sets the counter at PATH to 5 instead, saying so once it is done;
// "counter-add" adds 1 to it kCounterAdds times, each of which must be stored; "counter-read"
// reads it kCounterReads times, each a number no smaller than the one before (nor than 1000).
#include <cstdio>
#include <cstring>

#include "util/fileio.h"
#include "webreq/template.h"

namespace {
constexpr int kCounterAdds = 50;
constexpr int kCounterReads = 200;

bool ReadsOnlyGrow(const char *path) {
    int last = 1000;
    for (int i = 0; i < kCounterReads; ++i) {
        const int now = ec_CounterGet(path);
        if (now < last) return false;
        last = now;
    }
    return true;
}
}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    if (std::strcmp(argv[1], "counter-read") == 0 && !ReadsOnlyGrow(argv[2])) return 6;
    const bool add = std::strcmp(argv[1], "counter-add") == 0;
    if (add || std::strcmp(argv[1], "counter-set") == 0 ||
        std::strcmp(argv[1], "counter-read") == 0) {
        for (int i = 0; add && i < kCounterAdds; ++i)
            if (ec_CounterAdd(argv[2], 1) == 0) return 5;
        if (std::strcmp(argv[1], "counter-set") == 0 && ec_CounterSet(argv[2], 5) != 1) return 5;
        FILE *done = std::fopen(argv[3], "wb");
        if (done) std::fclose(done);
        return done ? 0 : 4;
    }
    FILE *stream = FileOpenLocked(argv[2], argv[1]);
    if (!stream) return 3;
    FILE *taken = std::fopen(argv[3], "wb");
    if (taken) std::fclose(taken);
    FileCloseLocked(stream);
    return taken ? 0 : 4;
}
