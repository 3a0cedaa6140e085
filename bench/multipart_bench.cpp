// Decodes one multipart request from the CGI environment and standard input and prints the
// upload's length: the library's decoder for the benchmark.
#include <cstdio>

#include "webreq/values.h"

int main() {
    const char *length = ec_Value("upload.length");
    std::printf("%s\n", length ? length : "none");
    return length ? 0 : 1;
}
