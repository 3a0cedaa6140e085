// Decodes one multipart request from the CGI environment and standard input and prints the
// upload's length: the library's decoder for the benchmark. With "dump" it writes the upload's
// bytes instead, so that the benchmark can check them against the file it sent; "block=N"
// reads the body N bytes at a time instead of the default.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "webreq/error.h"
#include "webreq/request_state.h"
#include "webreq/values.h"

int main(int argc, char **argv) {
    bool dump = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "dump") == 0) {
            dump = true;
        } else if (std::strncmp(argv[i], "block=", 6) == 0) {
            webreq::MultipartSettings settings = webreq::MultipartSettingsGet();
            settings.block_size = std::strtoul(argv[i] + 6, nullptr, 10);
            webreq::MultipartSettingsSet(settings);
        }
    }
    size_t length = 0;
    const char *value = ec_UploadValue("upload", &length);
    if (!value) return 1;
    if (dump) {
        if (std::fwrite(value, 1, length, stdout) != length) return 1;
    } else {
        std::printf("%zu\n", length);
    }
    ec_Finish();
    return 0;
}
