// mkpkg: writes installer packages, lists them and extracts them for a check.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/pkgwrite.h"

#ifndef NUVEX_VERSION
#define NUVEX_VERSION "unknown"
#endif

namespace {

constexpr int kUsageStatus = 64;

const char kUsage[] =
    "usage: mkpkg build OUTPUT [MANIFEST] [--appname NAME] [--info KEY=VALUE]\n"
    "                   [--list ITEMS=TEXT] [--file TARGET=SOURCE]...\n"
    "       mkpkg list PACKAGE\n"
    "       mkpkg extract PACKAGE FOLDER\n"
    "       mkpkg --help | --version\n"
    "\n"
    "build   writes the package OUTPUT from a manifest and/or options (options add to it).\n"
    "list    shows what the installer reads from PACKAGE, each entry flagged with what build\n"
    "        would refuse or warn about, and checks the integrity record; exit status 2 when\n"
    "        the package is damaged, changed, or has such a refusal.\n"
    "extract writes every entry of PACKAGE below FOLDER (new or empty), to compare with the\n"
    "        sources (diff -r): \"$temp_dir$\\\" goes to FOLDER/temp, \"$win_dir$\" to\n"
    "        FOLDER/windows, a drive X: to FOLDER/x, a path from a root to FOLDER/root, any\n"
    "        other path to FOLDER/current; '/' and '\\' both separate, \"..\" never climbs\n"
    "        above those folders. Exit status 2 when an entry could not be written.\n"
    "\n"
    "A manifest has one line per item; blank lines and lines starting with '#' are skipped:\n"
    "    appname = NAME              the application name (required, once)\n"
    "    info KEY = VALUE            an info record; KEY of letters, digits, '_', '.', '-'\n"
    "    list A|B = TEXT             a list record: items joined by '|', a text of <= 63\n"
    "    file TARGET = SOURCE        SOURCE (relative to the manifest) installed as TARGET\n"
    "The blanks around '=' are optional: the first \" = \" separates, or else the first '='.\n"
    "TARGET may start with \"$temp_dir$\\\" (the user's temporary folder) or \"$win_dir$\" (the\n"
    "Windows folder); any other path is written as it is, a relative one below the folder\n"
    "the installer runs in.\n"
    "\n"
    "Refused, with the reason and exit status 1: an empty field, a field with white space at\n"
    "either end, a header token over 254 bytes once encoded, a list text over 63 characters,\n"
    "a path over 255 characters, or over 255 once \"$temp_dir$\\\" is replaced by a temporary\n"
    "folder assumed to have 64 characters (the installer would refuse the package), an\n"
    "info key md5, a source that is a folder or not a regular file, a missing application\n"
    "name.\n"
    "Warned about on standard error, still written: \"$temp_dir$/\" (not replaced), \"..\" in a\n"
    "path, two entries with the same target (the later one wins).\n"
    "\n"
    "build adds the integrity record \"md5!--------@\" + 32 lowercase hex digits as the last\n"
    "info record (never one of the first two): the MD5 digest of every byte of the restored\n"
    "package but those 32 digits. The installer refuses a package that no longer matches it;\n"
    "list and extract check it (exit status 2 when the bytes changed).\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return kUsageStatus;
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
    for (int i = 3; i < argc && error.empty(); ++i) {
        const std::string option = argv[i];
        if (option.rfind("--", 0) != 0) {
            pkgwrite::ManifestRead(option, &spec, &error);
            continue;
        }
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        const std::string origin = option + " \"" + value + "\"";
        std::string left, right;
        if (option == "--appname") {
            spec.info.emplace_back("appname", value);
            spec.info_origins.resize(spec.info.size());
            spec.info_origins.back() = origin;
        } else if (option != "--info" && option != "--list" && option != "--file") {
            return Usage();
        } else if (!SplitAssignment(value, &left, &right)) {
            error = option + " expects A=B, got \"" + value + "\"";
        } else if (option == "--info") {
            spec.info.emplace_back(left, right);
            spec.info_origins.resize(spec.info.size());
            spec.info_origins.back() = origin;
        } else if (option == "--list") {
            spec.lists.emplace_back(left, right);
            spec.list_origins.resize(spec.lists.size());
            spec.list_origins.back() = origin;
        } else {
            spec.files.push_back({left, right, origin});
        }
    }
    if (error.empty() && pkgwrite::PackageWrite(spec, output, &error)) {
        for (const auto &warning : pkgwrite::PackageWarnings(spec))
            std::fprintf(stderr, "mkpkg: warning: %s\n", warning.c_str());
        return 0;
    }
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

int Extract(int argc, char **argv) {
    if (argc != 4) return Usage();
    std::string report;
    const int status = pkgwrite::PackageExtract(argv[2], argv[3], &report);
    std::fputs(report.c_str(), status == 1 ? stderr : stdout);
    return status;
}

bool Asks(int argc, char **argv, const char *word) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], word) == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    if (Asks(argc, argv, "--help") || Asks(argc, argv, "-h") ||
        (argc == 2 && std::strcmp(argv[1], "help") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("mkpkg %s\n", NUVEX_VERSION);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "build") == 0) return Build(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "list") == 0) return List(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "extract") == 0) return Extract(argc, argv);
    return Usage();
}
