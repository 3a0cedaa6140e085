// Writing packages that the installer reads as meant, and reading them back for a listing.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pkgwrite {

struct FileSpec {
    std::string target;  // path written by the installer, may hold "$temp_dir$\" or "$win_dir$"
    std::string source;  // file on this machine whose bytes are carried
};

struct PackageSpec {
    std::vector<std::pair<std::string, std::string>> info;   // key, value
    std::vector<std::pair<std::string, std::string>> lists;  // items joined by '|', text
    std::vector<FileSpec> files;
};

// Percent-encodes every byte that is not safe inside a header token or a record field.
std::string UrlEncode(std::string_view text);

// Reads "appname = ...", "info KEY = VALUE", "list ITEMS = TEXT", "file TARGET = SOURCE"
// lines; sources are taken relative to the manifest's folder.
bool ManifestRead(const std::string &path, PackageSpec *spec, std::string *error);

// The restored (unscrambled) package: header, data marker, payload. False with a message
// when the package could not be read back as meant.
bool PackageBuild(const PackageSpec &spec, std::string *restored, std::string *error);

// Builds, scrambles and writes the package file.
bool PackageWrite(const PackageSpec &spec, const std::string &path, std::string *error);

// A readable listing of a package file; false when the package is missing or damaged (the
// listing then says what was found and where reading stopped).
bool PackageList(const std::string &path, std::string *listing);

}  // namespace pkgwrite
