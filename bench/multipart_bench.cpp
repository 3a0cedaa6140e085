// Decodes one multipart request from the CGI environment and standard input and prints the
// upload's length: the library's decoder for the benchmark. With "dump" it writes the upload's
// bytes instead, so that the benchmark can check them against the file it sent; "block=N"
// reads the body N bytes at a time instead of the default. "fresh" only reads the body into
// one new buffer of its announced size, as the decoder's large values are, and decodes
// nothing: the least any decoder that keeps the upload in memory must spend.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "webreq/error.h"
#include "webreq/request_state.h"
#include "webreq/values.h"

namespace {

int ReadIntoFreshMemory() {
    const char *announced = std::getenv("CONTENT_LENGTH");
    const size_t size = announced ? std::strtoull(announced, nullptr, 10) : 0;
    char *buffer = static_cast<char *>(std::malloc(size + 1));
    if (!buffer) return 1;
    platform::GrowingBufferAdvise(buffer, size + 1);
    size_t got = 0;
    while (got < size) {
        const size_t piece = size - got < 65536 ? size - got : 65536;
        const size_t read = std::fread(buffer + got, 1, piece, stdin);
        if (read == 0) break;
        got += read;
    }
    std::printf("%zu\n", got);
    std::free(buffer);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "fresh") == 0) return ReadIntoFreshMemory();
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
