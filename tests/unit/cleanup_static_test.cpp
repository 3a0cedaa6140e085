// A program linked with the static library that uses nothing of the request values: the
// linker leaves their object file out. The end of a request must still end the shared
// iteration, so its clean-up may not rest on a static initialiser of that file.
#include <cstdio>
#include <cstring>

#include "webreq/entrylist.h"
#include "webreq/error.h"
#include "webreq/template.h"

namespace {

int Fail(const char *what) {
    std::fprintf(stderr, "cleanup_static_test: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    ec_entry *list = ec_sDecoder("a = 1\nb = x\na = 2\n");
    const char *first = ec_fValueFirst(list, "a");
    if (!first || std::strcmp(first, "1") != 0) return Fail("the iteration did not start");
    ec_Finish();
    const char *after = ec_fValueNext();
    if (after) return Fail("the iteration survived ec_Finish");
    // The next request iterates afresh.
    const char *again = ec_fValueFirst(list, "a");
    if (!again || std::strcmp(again, "1") != 0) return Fail("a new iteration failed");
    _list_free(list);
    ec_Finish();
    // The field reader, opened during a request, is closed by its end.
    const char *path = "cleanup_static_test.txt";
    std::FILE *file = std::fopen(path, "w");
    if (!file || std::fputs("a b\n", file) < 0 || std::fclose(file) != 0)
        return Fail("no file to read");
    if (ec_AwkOpen(path, ' ') != 1) return Fail("the reader did not open");
    ec_Finish();
    const int reopened = ec_AwkOpen(path, ' ');  // "already opened" would end the process
    ec_Finish();
    std::remove(path);
    if (reopened != 1) return Fail("the reader did not open again");
    std::puts("cleanup_static_test: ok");
    return 0;
}
