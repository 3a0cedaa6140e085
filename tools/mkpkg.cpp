// mkpkg: writes installer packages and lists them.
//   mkpkg build OUTPUT [MANIFEST] [--appname NAME] [--info KEY=VALUE] [--list ITEMS=TEXT]
//               [--file TARGET=SOURCE]...
//   mkpkg list PACKAGE
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/pkgwrite.h"

namespace {

int Usage() {
    std::fputs(
        "usage: mkpkg build OUTPUT [MANIFEST] [--appname NAME] [--info KEY=VALUE]\n"
        "                   [--list ITEMS=TEXT] [--file TARGET=SOURCE]...\n"
        "       mkpkg list PACKAGE\n",
        stderr);
    return 64;
}

bool SplitAssignment(const std::string &text, std::string *left, std::string *right) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return false;
    *left = text.substr(0, equals);
    *right = text.substr(equals + 1);
    return true;
}

int Build(int argc, char **argv) {
    if (argc < 3) return Usage();
    const std::string output = argv[2];
    pkgwrite::PackageSpec spec;
    std::string error;
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (option.rfind("--", 0) != 0) {
            if (!pkgwrite::ManifestRead(option, &spec, &error)) break;
            continue;
        }
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        std::string left, right;
        if (option == "--appname") {
            spec.info.emplace_back("appname", value);
        } else if (option != "--info" && option != "--list" && option != "--file") {
            return Usage();
        } else if (!SplitAssignment(value, &left, &right)) {
            error = option + " expects A=B, got \"" + value + "\"";
            break;
        } else if (option == "--info") {
            spec.info.emplace_back(left, right);
        } else if (option == "--list") {
            spec.lists.emplace_back(left, right);
        } else {
            spec.files.push_back({left, right});
        }
    }
    if (error.empty() && pkgwrite::PackageWrite(spec, output, &error)) return 0;
    std::fprintf(stderr, "mkpkg: %s\n", error.c_str());
    return 1;
}

int List(int argc, char **argv) {
    if (argc != 3) return Usage();
    std::string listing;
    const bool whole = pkgwrite::PackageList(argv[2], &listing);
    std::fputs(listing.c_str(), stdout);
    return whole ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "build") == 0) return Build(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "list") == 0) return List(argc, argv);
    return Usage();
}
