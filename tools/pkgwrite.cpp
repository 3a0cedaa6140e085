#include "tools/pkgwrite.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "installer/package.h"

namespace pkgwrite {

namespace {

const std::string kSeparator = package::kFieldSeparator;
const std::string kMarker(package::kMarkerRun, '^');

bool IsSafeByte(unsigned char byte) {
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9'))
        return true;
    return std::string_view("-_.~$\\/:|,;=()").find(static_cast<char>(byte)) !=
           std::string_view::npos;
}

bool IsKeyByte(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= '0' && byte <= '9') || byte == '_' || byte == '.' || byte == '-';
}

bool Fail(std::string *error, std::string message) {
    *error = std::move(message);
    return false;
}

bool ReadFileBytes(const std::string &path, std::string *bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    *bytes = content.str();
    return !in.bad();
}

// A field of a list record or file entry: not empty and without the separator, which would
// split it once the record is decoded.
bool CheckField(const std::string &field, const std::string &what, std::string *error) {
    if (field.empty()) return Fail(error, what + " is empty");
    if (field.find(kSeparator) != std::string::npos)
        return Fail(error, what + " contains the field separator " + kSeparator);
    return true;
}

bool CheckToken(const std::string &token, const std::string &what, std::string *error) {
    if (token.size() > package::kTokenLimit)
        return Fail(error, what + " needs " + std::to_string(token.size()) +
                               " bytes once encoded; a header token holds at most 254");
    return true;
}

std::string JoinEncoded(std::initializer_list<std::string> fields) {
    std::string token;
    for (const auto &field : fields) {
        if (!token.empty()) token += kSeparator;
        token += UrlEncode(field);
    }
    return token;
}

bool InfoToken(const std::pair<std::string, std::string> &info, std::string *token,
               std::string *error) {
    const std::string what = "info record \"" + info.first + "\"";
    if (info.first.empty()) return Fail(error, "an info record has an empty key");
    for (unsigned char byte : info.first)
        if (!IsKeyByte(byte))
            return Fail(error, what + ": keys are letters, digits, '_', '.' and '-'");
    if (info.second.empty()) return Fail(error, what + " has an empty value");
    *token = info.first + kSeparator + UrlEncode(info.second);
    return CheckToken(*token, what, error);
}

bool ListToken(const std::pair<std::string, std::string> &list, std::string *token,
               std::string *error) {
    const std::string what = "list record \"" + list.first + "\"";
    if (!CheckField(list.first, what + " list", error) ||
        !CheckField(list.second, what + " text", error))
        return false;
    if (list.second.size() > package::kListTextLimit)
        return Fail(error, what + " has a text longer than 63 characters");
    *token = JoinEncoded({list.first, list.second});
    return CheckToken(*token, what, error);
}

bool FileToken(const FileSpec &file, long long start, long long end, std::string *token,
               std::string *error) {
    const std::string what = "file \"" + file.target + "\"";
    if (!CheckField(file.target, what + " path", error)) return false;
    if (file.target.size() > package::kPathLimit)
        return Fail(error, what + " has a path longer than 255 characters");
    *token = JoinEncoded({file.target, std::to_string(start), std::to_string(end)});
    return CheckToken(*token, what, error);
}

// The application name must be found by the installer, which searches only the first two
// info records for the text "appname": the appname record goes first.
bool OrderedInfo(const PackageSpec &spec, std::vector<std::pair<std::string, std::string>> *info,
                 std::string *error) {
    for (const auto &record : spec.info)
        if (record.first == "appname")
            info->insert(info->begin(), record);
        else
            info->push_back(record);
    if (info->empty() || (*info)[0].first != "appname")
        return Fail(error, "the package needs an application name (appname)");
    if (info->size() > 1 && (*info)[1].first == "appname")
        return Fail(error, "the application name is given twice");
    return true;
}

std::string Trimmed(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string FolderOf(const std::string &path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool ManifestLine(const std::string &line, const std::string &folder, PackageSpec *spec,
                  std::string *error) {
    const size_t equals = line.find(" = ");
    if (equals == std::string::npos) return Fail(error, "expected \"... = ...\"");
    const std::string left = Trimmed(line.substr(0, equals));
    const std::string right = Trimmed(line.substr(equals + 3));
    const size_t space = left.find(' ');
    const std::string keyword = left.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : Trimmed(left.substr(space + 1));
    if (keyword == "appname" && rest.empty()) {
        spec->info.emplace_back("appname", right);
    } else if (keyword == "info" && !rest.empty()) {
        spec->info.emplace_back(rest, right);
    } else if (keyword == "list" && !rest.empty()) {
        spec->lists.emplace_back(rest, right);
    } else if (keyword == "file" && !rest.empty()) {
        const bool absolute = !right.empty() && (right[0] == '/' || right.find(':') == 1);
        spec->files.push_back({rest, absolute ? right : folder + right});
    } else {
        return Fail(error, "unknown line; expected appname, info, list or file");
    }
    return true;
}

}  // namespace

std::string UrlEncode(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char byte : text) {
        if (IsSafeByte(byte)) {
            out += static_cast<char>(byte);
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

bool ManifestRead(const std::string &path, PackageSpec *spec, std::string *error) {
    std::ifstream in(path);
    if (!in) return Fail(error, "cannot read the manifest " + path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string text = Trimmed(line);
        if (text.empty() || text[0] == '#') continue;
        std::string why;
        if (!ManifestLine(text, FolderOf(path), spec, &why))
            return Fail(error, path + ":" + std::to_string(number) + ": " + why);
    }
    return true;
}

bool PackageBuild(const PackageSpec &spec, std::string *restored, std::string *error) {
    std::vector<std::pair<std::string, std::string>> info;
    if (!OrderedInfo(spec, &info, error)) return false;

    std::string payload;
    std::vector<std::pair<long long, long long>> ranges;
    for (const auto &file : spec.files) {
        std::string bytes;
        if (!ReadFileBytes(file.source, &bytes))
            return Fail(error, "cannot read \"" + file.source + "\"");
        ranges.emplace_back(payload.size(), payload.size() + bytes.size());
        payload += bytes;
        if (payload.size() > 0x7FFFFFF0u) return Fail(error, "the payload exceeds 2 GB");
    }
    // The reader takes white space right after the marker as part of the separator, so
    // offsets count from the first payload byte that is not white space.
    long long skipped = 0;
    while (skipped < static_cast<long long>(payload.size()) &&
           package::IsHeaderSpace(static_cast<unsigned char>(payload[skipped])))
        ++skipped;

    std::vector<std::string> tokens = {"3", std::to_string(info.size()),
                                       std::to_string(spec.lists.size()),
                                       std::to_string(spec.files.size())};
    std::string token;
    for (const auto &record : info) {
        if (!InfoToken(record, &token, error)) return false;
        tokens.push_back(token);
    }
    for (const auto &list : spec.lists) {
        if (!ListToken(list, &token, error)) return false;
        tokens.push_back(token);
    }
    for (size_t i = 0; i < spec.files.size(); ++i) {
        if (!FileToken(spec.files[i], ranges[i].first - skipped, ranges[i].second - skipped, &token,
                       error))
            return false;
        tokens.push_back(token);
    }
    restored->clear();
    for (const auto &t : tokens) *restored += t + "\n";
    *restored += kMarker + "\n";
    *restored += payload;
    return true;
}

bool PackageWrite(const PackageSpec &spec, const std::string &path, std::string *error) {
    std::string bytes;
    if (!PackageBuild(spec, &bytes, error)) return false;
    package::InvertBytes(bytes.data(), bytes.size());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) ||
        !out.flush())
        return Fail(error, "cannot write \"" + path + "\"");
    return true;
}

bool PackageList(const std::string &path, std::string *listing) {
    std::ostringstream out;
    std::string bytes;
    if (!ReadFileBytes(path, &bytes)) {
        *listing = "cannot read the package \"" + path + "\"\n";
        return false;
    }
    package::InvertBytes(bytes.data(), bytes.size());
    const long long origin = package::PayloadOriginOf(bytes);
    out << "package: " << path << " (" << bytes.size() << " bytes)\n";
    if (origin == 0) {
        out << "damaged: no data marker; this is not a package\n";
        *listing = out.str();
        return false;
    }
    out << "payload origin: " << origin << "\n";
    const package::Header header = package::HeaderParse(std::string_view(bytes).substr(0, origin));
    out << "section counts:";
    for (long long count : header.section_counts) out << " " << count;
    out << "\n";
    for (size_t i = 0; i < header.info_records.size() && i < 2; ++i) {
        if (header.info_records[i].find("appname") == std::string::npos) continue;
        std::string value;
        const bool has_value = package::InfoRecordValue(header.info_records[i], &value);
        out << "application: " << (has_value ? value : "(no value)") << "\n";
        break;
    }
    for (size_t i = 0; i < header.info_records.size(); ++i)
        out << "info " << i + 1 << ": " << header.info_records[i] << "\n";
    for (size_t i = 0; i < header.list_records.size(); ++i)
        out << "list " << i + 1 << ": " << header.list_records[i].list << " = "
            << header.list_records[i].text << "\n";
    const long long size = static_cast<long long>(bytes.size());
    bool damaged = header.Damaged();
    for (const auto &entry : header.file_entries) {
        const long long from = origin + entry.start, to = origin + entry.end;
        out << "file " << entry.index + 1 << ": " << entry.path << "  " << (entry.end - entry.start)
            << " bytes";
        if (from < 0 || to < from) {
            out << "  (damaged: offsets " << entry.start << " to " << entry.end
                << " address no bytes)";
            damaged = true;
        } else if (to > size) {
            out << "  (damaged: " << (to - size) << " bytes past the end)";
            damaged = true;
        }
        out << "\n";
    }
    for (const auto &problem : header.problems) out << "damaged: " << problem << "\n";
    *listing = out.str();
    return !damaged;
}

}  // namespace pkgwrite
