// Decodes one request from the CGI environment and standard input and prints how many
// entries it gave: the library's decoder for the memory benchmark.
#include <cstdio>

#include "webreq/error.h"
#include "webreq/values.h"

int main() {
    long entries = 0;
    for (const ec_entry *entry = ec_ValueList(); entry; entry = entry->next) ++entries;
    std::printf("%ld\n", entries);
    ec_Finish();
    return 0;
}
