// The same request decoded by GNU cgicc, the peer of the multipart benchmark.
#include <cgicc/Cgicc.h>

#include <cstdio>

int main() {
    cgicc::Cgicc cgi;
    const auto file = cgi.getFile("upload");
    if (file == cgi.getFiles().end()) return 1;
    std::printf("%lu\n", static_cast<unsigned long>(file->getDataLength()));
    return 0;
}
