// Decodes one multipart request from the CGI environment and standard input and prints the
// upload's length: the library's decoder for the benchmark. With "dump" it writes the upload's
// bytes instead, so that the benchmark can check them against the file it sent.
#include <cstdio>
#include <cstring>

#include "webreq/error.h"
#include "webreq/values.h"

int main(int argc, char **argv) {
    size_t length = 0;
    const char *value = ec_UploadValue("upload", &length);
    if (!value) return 1;
    if (argc > 1 && std::strcmp(argv[1], "dump") == 0) {
        if (std::fwrite(value, 1, length, stdout) != length) return 1;
    } else {
        std::printf("%zu\n", length);
    }
    ec_Finish();
    return 0;
}
