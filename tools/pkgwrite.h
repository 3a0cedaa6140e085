// Writing packages that the installer reads as meant, and reading them back for a listing or
// an extraction.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pkgwrite {

// The installer replaces "$temp_dir$\" by the user's temporary folder, whose length is not
// known when the package is made; paths are checked as if it had this many characters
// (backslash included).
inline constexpr size_t kAssumedTempFolder = 64;

struct FileSpec {
    std::string target;  // path written by the installer, may hold "$temp_dir$\" or "$win_dir$"
    std::string source;  // file on this machine whose bytes are carried
    std::string origin = {};  // where it was given ("manifest.txt:4"), for messages
};

struct PackageSpec {
    std::vector<std::pair<std::string, std::string>> info;   // key, value
    std::vector<std::pair<std::string, std::string>> lists;  // items joined by '|', text
    std::vector<FileSpec> files;
    // Where each info and list record was given, by index; may be shorter than the records.
    std::vector<std::string> info_origins = {};
    std::vector<std::string> list_origins = {};
};

// Percent-encodes every byte that is not safe inside a header token or a record field.
std::string UrlEncode(std::string_view text);

// Reads "appname = ...", "info KEY = VALUE", "list ITEMS = TEXT", "file TARGET = SOURCE"
// lines (blanks around '=' optional); sources are taken relative to the manifest's folder.
// Errors name the manifest and the line.
bool ManifestRead(const std::string &path, PackageSpec *spec, std::string *error);

// What installs somewhere the packager may not expect, one message per finding; the package
// is still written.
std::vector<std::string> PackageWarnings(const PackageSpec &spec);

// The restored (unscrambled) package: header, data marker, payload. False with a message
// when the package could not be read back as meant.
bool PackageBuild(const PackageSpec &spec, std::string *restored, std::string *error);

// Builds, scrambles and writes the package file, streaming each source through one block:
// the same bytes as PackageBuild, inverted. Nothing is left at path on failure.
bool PackageWrite(const PackageSpec &spec, const std::string &path, std::string *error);

// A readable listing of a package file, each entry flagged with what mkpkg build would refuse
// or warn about; false when the package is missing or damaged (the listing then says what was
// found and where reading stopped).
bool PackageList(const std::string &path, std::string *listing);

// Where an entry path lands below an extraction folder: "$temp_dir$\" -> temp/, "$win_dir$"
// -> windows/, a drive "X:" -> x/, a path from a root -> root/, any other -> current/. Both
// slashes separate; empty and "." components go, ".." takes the one before it back but never
// rises above the first folder. Empty when nothing is left to name a file.
std::string ExtractPath(const std::string &entry_path, bool *clamped);

// Writes every entry of the package below folder (new or empty), mapped with ExtractPath;
// 0 when every entry was written, 2 when the package is damaged or an entry could not be
// written, 1 when the package or the folder cannot be used. The report names each entry.
int PackageExtract(const std::string &path, const std::string &folder, std::string *report);

}  // namespace pkgwrite
