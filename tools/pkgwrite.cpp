#include "tools/pkgwrite.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "installer/package.h"
#include "util/text.h"

namespace pkgwrite {

namespace {

namespace fs = std::filesystem;

const std::string kSeparator = package::kFieldSeparator;
const std::string kMarker(package::kMarkerRun, '^');
const std::string kTempMacro = "$temp_dir$";
const std::string kTempMacroSearch = "$temp_dir$\\";
const std::string kWinMacro = "$win_dir$";
// One block carries every source through memory: the package is never held whole.
constexpr size_t kBlock = 1 << 20;

struct FileCloser {
    void operator()(std::FILE *stream) const { std::fclose(stream); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

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

bool IsBlank(char byte) {
    return package::IsHeaderSpace(static_cast<unsigned char>(byte));
}

bool Fail(std::string *error, std::string message) {
    *error = std::move(message);
    return false;
}

// "manifest.txt:4: message", or the message alone when its origin is not known.
std::string At(const std::string &origin, const std::string &message) {
    return origin.empty() ? message : origin + ": " + message;
}

std::string OriginOf(const std::vector<std::string> &origins, size_t index) {
    return index < origins.size() ? origins[index] : std::string();
}

// Empty when the field has no white space at either end, else why it cannot stay.
std::string EndsReason(const std::string &field) {
    if (field.empty()) return std::string();
    const char *where =
        IsBlank(field.front()) ? "begins" : (IsBlank(field.back()) ? "ends" : nullptr);
    if (!where) return std::string();
    return std::string(where) + " with white space, which a reader trims away; write it without";
}

// A field of a list record or file entry: not empty and without the separator, which would
// split it once the record is decoded.
bool CheckField(const std::string &field, const std::string &what, std::string *error) {
    if (field.empty()) return Fail(error, what + " is empty");
    if (field.find(kSeparator) != std::string::npos)
        return Fail(error, what + " contains the field separator " + kSeparator);
    return true;
}

bool CheckEnds(const std::string &field, const std::string &what, std::string *error) {
    const std::string reason = EndsReason(field);
    return reason.empty() || Fail(error, what + " " + reason);
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

// The length of a path once the installer has replaced every "$temp_dir$\" in it by a
// temporary folder of the assumed length (only paths that hold "$temp_dir$" are replaced).
size_t LengthAfterTempMacro(const std::string &path) {
    if (path.find(kTempMacro) == std::string::npos) return path.size();
    size_t length = path.size();
    for (size_t at = path.find(kTempMacroSearch); at != std::string::npos;
         at = path.find(kTempMacroSearch, at + kTempMacroSearch.size()))
        length += kAssumedTempFolder - kTempMacroSearch.size();
    return length;
}

// Empty when the installer writes the path as meant, else why it would not.
std::string PathRefusal(const std::string &path) {
    if (path.size() > package::kPathLimit) return " has a path longer than 255 characters";
    const size_t replaced = LengthAfterTempMacro(path);
    if (replaced > package::kPathLimit)
        return " has a path of " + std::to_string(replaced) +
               " characters once \"$temp_dir$\\\" is replaced by a temporary folder of " +
               std::to_string(kAssumedTempFolder) +
               " characters (assumed); the installer refuses a package with a path longer than "
               "255";
    const std::string ends = EndsReason(path);
    return ends.empty() ? ends : ": the path " + ends;
}

std::vector<std::string> Components(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/' && path[i] != '\\') continue;
        parts.push_back(path.substr(start, i - start));
        start = i + 1;
    }
    return parts;
}

// What the installer does with the path that the packager may not expect.
std::vector<std::string> PathWarnings(const std::string &path) {
    std::vector<std::string> warnings;
    for (size_t at = path.find(kTempMacro); at != std::string::npos;
         at = path.find(kTempMacro, at + 1)) {
        const size_t next = at + kTempMacro.size();
        if (next < path.size() && path[next] == '\\') continue;
        warnings.push_back(
            (next < path.size() && path[next] == '/' ? std::string("\"$temp_dir$/\"")
                                                     : std::string("\"$temp_dir$\" without "
                                                                   "a backslash after it")) +
            " is not replaced (only \"$temp_dir$\\\" is): the file goes to a folder named "
            "$temp_dir$ below the installer's current folder");
        break;
    }
    if (path.find(kTempMacro) != std::string::npos && path.find(kWinMacro) != std::string::npos)
        warnings.push_back("\"$win_dir$\" is not replaced in a path that holds \"$temp_dir$\"");
    for (const auto &part : Components(path))
        if (part == "..") {
            warnings.push_back("a \"..\" component climbs out of the folder the path names");
            break;
        }
    return warnings;
}

// Two paths with the same key are written to the same file: macros as the installer replaces
// them, both slashes alike, letters in either case (Windows names ignore it).
std::string TargetKey(const std::string &path) {
    std::string key;
    const bool temp = path.find(kTempMacro) != std::string::npos;
    const std::string &search = temp ? kTempMacroSearch : kWinMacro;
    const std::string by = temp ? "\x01\\" : "\x02";
    for (size_t i = 0; i < path.size();) {
        if ((temp || path.find(kWinMacro) != std::string::npos) &&
            path.compare(i, search.size(), search) == 0) {
            key += by;
            i += search.size();
            continue;
        }
        const char c = path[i++];
        key += c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return key;
}

bool InfoToken(const std::pair<std::string, std::string> &info, const std::string &origin,
               std::string *token, std::string *error) {
    const std::string what = At(origin, "info record \"" + info.first + "\"");
    if (info.first.empty()) return Fail(error, At(origin, "an info record has an empty key"));
    for (unsigned char byte : info.first)
        if (!IsKeyByte(byte))
            return Fail(error, what + ": keys are letters, digits, '_', '.' and '-'");
    if (info.second.empty()) return Fail(error, what + " has an empty value");
    *token = info.first + kSeparator + UrlEncode(info.second);
    return CheckToken(*token, what, error) && CheckEnds(info.second, what + ": the value", error);
}

bool ListToken(const std::pair<std::string, std::string> &list, const std::string &origin,
               std::string *token, std::string *error) {
    const std::string what = At(origin, "list record \"" + list.first + "\"");
    if (!CheckField(list.first, what + " list", error) ||
        !CheckField(list.second, what + " text", error))
        return false;
    if (list.second.size() > package::kListTextLimit)
        return Fail(error, what + " has a text longer than 63 characters");
    *token = JoinEncoded({list.first, list.second});
    return CheckToken(*token, what, error) && CheckEnds(list.first, what + ": the list", error) &&
           CheckEnds(list.second, what + ": the text", error);
}

bool FileToken(const FileSpec &file, long long start, long long end, std::string *token,
               std::string *error) {
    const std::string what = At(file.origin, "file \"" + file.target + "\"");
    if (!CheckField(file.target, what + " path", error)) return false;
    if (file.target.size() > package::kPathLimit)
        return Fail(error, what + " has a path longer than 255 characters");
    *token = JoinEncoded({file.target, std::to_string(start), std::to_string(end)});
    if (!CheckToken(*token, what, error)) return false;
    const std::string refusal = PathRefusal(file.target);
    return refusal.empty() || Fail(error, what + refusal);
}

// The application name must be found by the installer, which searches only the first two
// info records for the text "appname": the appname record goes first.
bool OrderedInfo(const PackageSpec &spec, std::vector<std::pair<std::string, std::string>> *info,
                 std::vector<std::string> *origins, std::string *error) {
    std::string second_origin;
    for (size_t i = 0; i < spec.info.size(); ++i) {
        const std::string origin = OriginOf(spec.info_origins, i);
        if (spec.info[i].first == "appname") {
            if (!info->empty() && (*info)[0].first == "appname") second_origin = origin;
            info->insert(info->begin(), spec.info[i]);
            origins->insert(origins->begin(), origin);
        } else {
            info->push_back(spec.info[i]);
            origins->push_back(origin);
        }
    }
    if (info->empty() || (*info)[0].first != "appname")
        return Fail(error, "the package needs an application name (appname)");
    if (info->size() > 1 && (*info)[1].first == "appname")
        return Fail(error, At(second_origin, "the application name is given twice"));
    for (size_t i = 1; i < info->size(); ++i)
        if ((*info)[i].first == package::kIntegrityKey)
            return Fail(error,
                        At((*origins)[i], "the info key \"" + std::string(package::kIntegrityKey) +
                                              "\" is kept for the integrity record"));
    return true;
}

// The integrity record goes last, never among the first two records (the only ones searched
// for the application name): a package with no other record gets one naming its maker.
void IntegrityRecordAdd(std::vector<std::pair<std::string, std::string>> *info,
                        std::vector<std::string> *origins) {
    if (info->size() < 2) {
        info->emplace_back("packer", "mkpkg");
        origins->emplace_back();
    }
    info->emplace_back(package::kIntegrityKey, std::string(package::kDigestLength, '0'));
    origins->emplace_back();
}

// The size of a source, which must be a regular file: a folder or a device would carry no
// bytes or not the bytes it shows.
bool SourceSize(const FileSpec &file, long long *size, std::string *error) {
    const std::string what = At(file.origin, "file \"" + file.target + "\"");
    std::error_code code;
    const fs::file_status status = fs::status(file.source, code);
    if (code || !fs::exists(status))
        return Fail(error, At(file.origin, "cannot read \"" + file.source + "\": no such file"));
    if (fs::is_directory(status))
        return Fail(error, what + ": the source \"" + file.source +
                               "\" is a folder; name each of its files on a line of its own");
    if (!fs::is_regular_file(status))
        return Fail(error, what + ": the source \"" + file.source +
                               "\" is not a regular file (a device, pipe or socket)");
    const auto bytes = fs::file_size(file.source, code);
    if (code) return Fail(error, At(file.origin, "cannot read \"" + file.source + "\""));
    *size = static_cast<long long>(bytes);
    return true;
}

File OpenSource(const FileSpec &file, std::string *error) {
    File in(std::fopen(file.source.c_str(), "rb"));
    if (!in) Fail(error, At(file.origin, "cannot read \"" + file.source + "\""));
    return in;
}

// The reader takes white space right after the marker as part of the separator, so offsets
// count from the first payload byte that is not white space: count those leading bytes.
bool LeadingSpace(const PackageSpec &spec, const std::vector<long long> &sizes, long long *skipped,
                  std::string *error) {
    *skipped = 0;
    for (size_t i = 0; i < spec.files.size(); ++i) {
        if (sizes[i] == 0) continue;
        File in = OpenSource(spec.files[i], error);
        if (!in) return false;
        char chunk[4096];
        long long left = sizes[i];
        size_t got;
        while (left > 0 && (got = std::fread(chunk, 1, sizeof chunk, in.get())) > 0) {
            for (size_t j = 0; j < got && left > 0; ++j, --left) {
                if (!IsBlank(chunk[j])) return true;
                ++*skipped;
            }
        }
        if (left > 0)
            return Fail(error, At(spec.files[i].origin,
                                  "\"" + spec.files[i].source + "\" changed while it was read"));
    }
    return true;
}

struct Plan {
    std::string header;  // every token and the data marker, each with its line feed
    std::vector<long long> sizes;
    size_t digest_at = 0;  // where the integrity record's digest starts in the header
};

// Checks every record and source and lays out the header; no payload byte is held.
bool PackagePlan(const PackageSpec &spec, Plan *plan, std::string *error) {
    std::vector<std::pair<std::string, std::string>> info;
    std::vector<std::string> info_origins;
    if (!OrderedInfo(spec, &info, &info_origins, error)) return false;
    IntegrityRecordAdd(&info, &info_origins);

    long long total = 0;
    for (const auto &file : spec.files) {
        long long size = 0;
        if (!SourceSize(file, &size, error)) return false;
        plan->sizes.push_back(size);
        total += size;
        if (total > 0x7FFFFFF0LL) return Fail(error, "the payload exceeds 2 GB");
    }
    long long skipped = 0;
    if (!LeadingSpace(spec, plan->sizes, &skipped, error)) return false;

    std::vector<std::string> tokens = {"3", std::to_string(info.size()),
                                       std::to_string(spec.lists.size()),
                                       std::to_string(spec.files.size())};
    std::string token;
    for (size_t i = 0; i < info.size(); ++i) {
        if (!InfoToken(info[i], info_origins[i], &token, error)) return false;
        tokens.push_back(token);
    }
    for (size_t i = 0; i < spec.lists.size(); ++i) {
        if (!ListToken(spec.lists[i], OriginOf(spec.list_origins, i), &token, error)) return false;
        tokens.push_back(token);
    }
    long long offset = 0;
    for (size_t i = 0; i < spec.files.size(); ++i) {
        const long long end = offset + plan->sizes[i];
        if (!FileToken(spec.files[i], offset - skipped, end - skipped, &token, error)) return false;
        tokens.push_back(token);
        offset = end;
    }
    // The integrity record is the last info record, after the four count tokens.
    const size_t integrity_token = 4 + info.size() - 1;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (i == integrity_token)
            plan->digest_at = plan->header.size() + package::IntegrityValueOffset();
        plan->header += tokens[i] + "\n";
    }
    plan->header += kMarker + "\n";
    return true;
}

class Sink {
   public:
    virtual ~Sink() = default;
    // May change the bytes it is given.
    virtual bool Write(char *bytes, size_t count) = 0;
    // Puts bytes over ones written before, at offset from the start.
    virtual bool Overwrite(size_t offset, std::string bytes) = 0;
};

class StringSink : public Sink {
   public:
    explicit StringSink(std::string *out) : out_(out) {}
    bool Write(char *bytes, size_t count) override {
        out_->append(bytes, count);
        return true;
    }
    bool Overwrite(size_t offset, std::string bytes) override {
        out_->replace(offset, bytes.size(), bytes);
        return true;
    }

   private:
    std::string *out_;
};

class ScrambledFileSink : public Sink {
   public:
    explicit ScrambledFileSink(std::FILE *out) : out_(out) {}
    bool Write(char *bytes, size_t count) override {
        package::InvertBytes(bytes, count);
        return std::fwrite(bytes, 1, count, out_) == count;
    }
    bool Overwrite(size_t offset, std::string bytes) override {
        package::InvertBytes(bytes.data(), bytes.size());
        return std::fseek(out_, static_cast<long>(offset), SEEK_SET) == 0 &&
               std::fwrite(bytes.data(), 1, bytes.size(), out_) == bytes.size() &&
               std::fseek(out_, 0, SEEK_END) == 0;
    }

   private:
    std::FILE *out_;
};

// Header, then each source's bytes as sized by the plan; a source that changed size since
// is refused, since the offsets already written would no longer match.
bool PackageEmit(const PackageSpec &spec, Plan &plan, Sink &sink, const std::string &output,
                 std::string *error) {
    const std::string cannot_write = "cannot write \"" + output + "\"";
    // The digest of every byte but its own, which is written last over its placeholder.
    package::SkippingDigest digest(static_cast<long long>(plan.digest_at));
    digest.Update(plan.header.data(), plan.header.size());
    if (!sink.Write(plan.header.data(), plan.header.size())) return Fail(error, cannot_write);
    std::vector<char> block(kBlock);
    for (size_t i = 0; i < spec.files.size(); ++i) {
        const FileSpec &file = spec.files[i];
        File in = OpenSource(file, error);
        if (!in) return false;
        long long left = plan.sizes[i];
        while (left > 0) {
            const size_t want =
                left < static_cast<long long>(kBlock) ? static_cast<size_t>(left) : kBlock;
            const size_t got = std::fread(block.data(), 1, want, in.get());
            if (got == 0) break;
            digest.Update(block.data(), got);
            if (!sink.Write(block.data(), got)) return Fail(error, cannot_write);
            left -= static_cast<long long>(got);
        }
        if (std::ferror(in.get()))
            return Fail(error, At(file.origin, "cannot read \"" + file.source + "\""));
        if (left > 0 || std::fgetc(in.get()) != EOF)
            return Fail(error,
                        At(file.origin, "\"" + file.source + "\" changed while it was read"));
    }
    if (!sink.Overwrite(plan.digest_at, digest.FinalHex())) return Fail(error, cannot_write);
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

// KEYWORD [NAME] = VALUE: the first " = " separates; a line without one, its first '='.
bool ManifestLine(const std::string &line, const std::string &folder, const std::string &origin,
                  PackageSpec *spec, std::string *error) {
    size_t equals = line.find(" = "), width = 3;
    if (equals == std::string::npos) equals = line.find('='), width = 1;
    if (equals == std::string::npos)
        return Fail(error, "expected KEYWORD [NAME] = VALUE; the line has no '='");
    const std::string left = Trimmed(line.substr(0, equals));
    const std::string right = Trimmed(line.substr(equals + width));
    const size_t space = left.find_first_of(" \t");
    const std::string keyword = left.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : Trimmed(left.substr(space + 1));
    if (keyword == "appname" && rest.empty()) {
        spec->info.emplace_back("appname", right);
        spec->info_origins.resize(spec->info.size());
        spec->info_origins.back() = origin;
    } else if (keyword == "info" && !rest.empty()) {
        spec->info.emplace_back(rest, right);
        spec->info_origins.resize(spec->info.size());
        spec->info_origins.back() = origin;
    } else if (keyword == "list" && !rest.empty()) {
        spec->lists.emplace_back(rest, right);
        spec->list_origins.resize(spec->lists.size());
        spec->list_origins.back() = origin;
    } else if (keyword == "file" && !rest.empty()) {
        if (right.empty()) return Fail(error, "file \"" + rest + "\" has no source");
        const bool absolute = right[0] == '/' || right.find(':') == 1;
        spec->files.push_back({rest, absolute ? right : folder + right, origin});
    } else {
        return Fail(error, "unknown line \"" + left +
                               "\"; expected appname, info KEY, list ITEMS or file TARGET");
    }
    return true;
}

// Package bytes as the reader sees them, inverted back block by block.
class RestoredSource {
   public:
    explicit RestoredSource(std::FILE *in) : in_(in), block_(65536) {}
    int Next() {
        if (at_ == got_) {
            got_ = std::fread(block_.data(), 1, block_.size(), in_);
            at_ = 0;
            if (got_ == 0) return -1;
            package::InvertBytes(block_.data(), got_);
        }
        return static_cast<unsigned char>(block_[at_++]);
    }

   private:
    std::FILE *in_;
    std::vector<char> block_;
    size_t at_ = 0, got_ = 0;
};

// An open package: its size, payload origin (0: no data marker) and restored header.
struct OpenedPackage {
    File in;
    long long size = 0;
    long long origin = 0;
    std::string header;
};

bool PackageOpen(const std::string &path, OpenedPackage *package) {
    std::error_code code;
    if (!fs::is_regular_file(path, code)) return false;
    package->size = static_cast<long long>(fs::file_size(path, code));
    if (code) return false;
    package->in.reset(std::fopen(path.c_str(), "rb"));
    if (!package->in) return false;
    RestoredSource source(package->in.get());
    package->origin = package::PayloadOriginScan(source);
    if (std::ferror(package->in.get())) return false;
    package->header.resize(static_cast<size_t>(package->origin));
    std::rewind(package->in.get());
    if (std::fread(package->header.data(), 1, package->header.size(), package->in.get()) !=
        package->header.size())
        return false;
    package::InvertBytes(package->header.data(), package->header.size());
    return true;
}

enum class Integrity { kNone, kHolds, kBroken };

// Whether the package's bytes are still those its integrity record was made for.
Integrity IntegrityOf(OpenedPackage &opened, const package::Header &header) {
    if (header.integrity_offset < 0) return Integrity::kNone;
    if (!package::IntegrityValueWellFormed(header.integrity_record)) return Integrity::kBroken;
    package::SkippingDigest digest(header.integrity_offset);
    std::vector<char> block(kBlock);
    std::rewind(opened.in.get());
    size_t got;
    while ((got = std::fread(block.data(), 1, block.size(), opened.in.get())) > 0) {
        package::InvertBytes(block.data(), got);
        digest.Update(block.data(), got);
    }
    const bool holds =
        !std::ferror(opened.in.get()) &&
        digest.FinalHex() == header.integrity_record.substr(package::IntegrityValueOffset());
    return holds ? Integrity::kHolds : Integrity::kBroken;
}

const char kIntegrityBroken[] =
    "the bytes are not those the md5 integrity record was made for: the package changed "
    "after it was written";

// The file-entry tokens as stored, before the reader decoded and trimmed them.
std::vector<std::string> RawEntryTokens(const std::string &header, const package::Header &read) {
    std::vector<std::string> tokens;
    size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && IsBlank(header[at])) ++at;
        const size_t start = at;
        while (at < header.size() && !IsBlank(header[at])) ++at;
        if (at > start) tokens.push_back(header.substr(start, at - start));
    }
    std::vector<std::string> entries;
    if (!read.counts_valid) return entries;
    const auto &counts = read.section_counts;
    const size_t first = 1 + counts.size() + static_cast<size_t>(counts[0] + counts[1]);
    for (size_t i = first; i < tokens.size() && i < first + static_cast<size_t>(counts[2]); ++i) {
        std::string token = tokens[i];
        UrlDecode(token.data());
        entries.emplace_back(token.c_str());
    }
    return entries;
}

}  // namespace

// What an operation that ran out of memory hands back. The text fits any string without an
// allocation.
bool OutOfMemory(std::string *text) noexcept {
    if (text) *text = "out of memory";
    return false;
}

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

bool ManifestRead(const std::string &path, PackageSpec *spec, std::string *error) try {
    std::ifstream in(path);
    in.exceptions(std::ios::badbit);  // a failed allocation in a read throws, never ends the file
    if (!in) return Fail(error, "cannot read the manifest \"" + path + "\"");
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string text = Trimmed(line);
        if (text.empty() || text[0] == '#') continue;
        const std::string origin = path + ":" + std::to_string(number);
        std::string why;
        if (!ManifestLine(text, FolderOf(path), origin, spec, &why))
            return Fail(error, origin + ": " + why);
    }
    return true;
} catch (...) {
    return OutOfMemory(error);
}

std::vector<std::string> PackageWarnings(const PackageSpec &spec) {
    std::vector<std::string> warnings;
    std::map<std::string, size_t> first_of;
    for (size_t i = 0; i < spec.files.size(); ++i) {
        const FileSpec &file = spec.files[i];
        const std::string what = At(file.origin, "file \"" + file.target + "\"");
        for (const auto &warning : PathWarnings(file.target))
            warnings.push_back(what + ": " + warning);
        const auto [it, added] = first_of.emplace(TargetKey(file.target), i);
        if (!added) {
            const FileSpec &earlier = spec.files[it->second];
            warnings.push_back(what + ": installs to the same place as file \"" + earlier.target +
                               "\"" + (earlier.origin.empty() ? "" : " (" + earlier.origin + ")") +
                               "; the later one wins");
        }
    }
    return warnings;
}

bool PackageBuild(const PackageSpec &spec, std::string *restored, std::string *error) try {
    restored->clear();
    Plan plan;
    if (!PackagePlan(spec, &plan, error)) return false;
    StringSink sink(restored);
    if (PackageEmit(spec, plan, sink, "the package", error)) return true;
    restored->clear();
    return false;
} catch (...) {
    return restored->clear(), OutOfMemory(error);
}

bool PackageWrite(const PackageSpec &spec, const std::string &path, std::string *error) try {
    Plan plan;
    if (!PackagePlan(spec, &plan, error)) return false;
    std::error_code code;
    for (const auto &file : spec.files)
        if (fs::equivalent(path, file.source, code))
            return Fail(error, At(file.origin, "the output \"" + path + "\" is also a source"));
    File out(std::fopen(path.c_str(), "wb"));
    if (!out) return Fail(error, "cannot write \"" + path + "\"");
    ScrambledFileSink sink(out.get());
    bool written = false;
    try {
        written = PackageEmit(spec, plan, sink, path, error);
    } catch (...) {
        out.reset();
        std::remove(path.c_str());  // nothing is left at path, as on any failure
        throw;
    }
    if (std::fclose(out.release()) != 0 && written) {
        written = false;
        Fail(error, "cannot write \"" + path + "\"");
    }
    if (!written) std::remove(path.c_str());
    return written;
} catch (...) {
    return OutOfMemory(error);
}

bool PackageList(const std::string &path, std::string *listing) try {
    std::ostringstream out;
    out.exceptions(std::ios::badbit);  // a failed allocation throws, never cuts the text
    OpenedPackage opened;
    if (!PackageOpen(path, &opened)) {
        *listing = "cannot read the package \"" + path + "\"\n";
        return false;
    }
    const long long origin = opened.origin;
    out << "package: " << path << " (" << opened.size << " bytes)\n";
    if (origin == 0) {
        out << "damaged: no data marker; this is not a package\n";
        *listing = out.str();
        return false;
    }
    out << "payload origin: " << origin << "\n";
    const package::Header header = package::HeaderParse(opened.header);
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
    bool damaged = header.Damaged();
    switch (IntegrityOf(opened, header)) {
        case Integrity::kNone:
            out << "integrity: no md5 record (not checked)\n";
            break;
        case Integrity::kHolds:
            out << "integrity: the md5 record matches the bytes\n";
            break;
        case Integrity::kBroken:
            out << "damaged: " << kIntegrityBroken << "\n";
            damaged = true;
            break;
    }
    // What mkpkg build refuses counts as damage: the installer would not read it as meant.
    auto refused = [&](const std::string &reason) {
        out << "  (refused by mkpkg build: " << reason << ")";
        damaged = true;
    };
    for (size_t i = 0; i < header.info_records.size(); ++i) {
        out << "info " << i + 1 << ": " << header.info_records[i];
        std::string value;
        if (package::InfoRecordValue(header.info_records[i], &value) && !EndsReason(value).empty())
            refused("the value " + EndsReason(value));
        out << "\n";
    }
    for (size_t i = 0; i < header.list_records.size(); ++i) {
        const auto &record = header.list_records[i];
        out << "list " << i + 1 << ": " << record.list << " = " << record.text;
        if (!EndsReason(record.list).empty()) refused("the list " + EndsReason(record.list));
        if (!EndsReason(record.text).empty()) refused("the text " + EndsReason(record.text));
        out << "\n";
    }
    const std::vector<std::string> raw = RawEntryTokens(opened.header, header);
    std::map<std::string, int> first_of;
    for (const auto &entry : header.file_entries) {
        const long long from = origin + entry.start, to = origin + entry.end;
        out << "file " << entry.index + 1 << ": " << entry.path << "  " << (entry.end - entry.start)
            << " bytes";
        if (from < 0 || to < from) {
            out << "  (damaged: offsets " << entry.start << " to " << entry.end
                << " address no bytes)";
            damaged = true;
        } else if (to > opened.size) {
            out << "  (damaged: " << (to - opened.size) << " bytes past the end)";
            damaged = true;
        }
        const size_t index = static_cast<size_t>(entry.index);
        if (index < raw.size() && !raw[index].empty() && IsBlank(raw[index][0]))
            refused("the path began with white space, which the installer trimmed away");
        const std::string refusal = PathRefusal(entry.path);
        if (!refusal.empty()) refused(refusal.substr(refusal[0] == ':' ? 2 : 1));
        for (const auto &warning : PathWarnings(entry.path))
            out << "  (warning: " << warning << ")";
        const auto [it, added] = first_of.emplace(TargetKey(entry.path), entry.index);
        if (!added)
            out << "  (warning: installs to the same place as file " << it->second + 1
                << "; the later one wins)";
        out << "\n";
    }
    for (const auto &problem : header.problems) out << "damaged: " << problem << "\n";
    *listing = out.str();
    return !damaged;
} catch (...) {
    return OutOfMemory(listing);
}

std::string ExtractPath(const std::string &entry_path, bool *clamped) {
    *clamped = false;
    std::string top, rest;
    const std::string &p = entry_path;
    if (p.rfind(kTempMacroSearch, 0) == 0) {
        top = "temp", rest = p.substr(kTempMacroSearch.size());
    } else if (p.find(kTempMacro) == std::string::npos && p.rfind(kWinMacro, 0) == 0) {
        top = "windows", rest = p.substr(kWinMacro.size());
    } else if (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
        top = std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(p[0]))));
        rest = p.substr(2);
    } else if (!p.empty() && (p[0] == '/' || p[0] == '\\')) {
        top = "root", rest = p;
    } else {
        top = "current", rest = p;
    }
    std::vector<std::string> kept;
    for (const auto &part : Components(rest)) {
        if (part.empty() || part == ".") continue;
        if (part != "..") {
            kept.push_back(part);
        } else if (kept.empty()) {
            *clamped = true;
        } else {
            kept.pop_back();
        }
    }
    if (kept.empty()) return std::string();
    std::string mapped = top;
    for (const auto &part : kept) mapped += "/" + part;
    return mapped;
}

int PackageExtract(const std::string &path, const std::string &folder, std::string *report) try {
    std::ostringstream out;
    out.exceptions(std::ios::badbit);  // a failed allocation throws, never cuts the text
    std::error_code code;
    // Only into a folder of its own: nothing already there (a link least of all) can
    // redirect an entry, and diff -r sees only what the package holds.
    if (fs::exists(folder, code) &&
        (!fs::is_directory(folder, code) || !fs::is_empty(folder, code))) {
        *report =
            "the folder \"" + folder + "\" is not empty; extract into a new or empty folder\n";
        return 1;
    }
    OpenedPackage opened;
    if (!PackageOpen(path, &opened)) {
        *report = "cannot read the package \"" + path + "\"\n";
        return 1;
    }
    if (opened.origin == 0) {
        *report = "damaged: no data marker; this is not a package\n";
        return 2;
    }
    fs::create_directories(folder, code);
    if (code) {
        *report = "cannot make the folder \"" + folder + "\"\n";
        return 1;
    }
    const package::Header header = package::HeaderParse(opened.header);
    const bool broken = IntegrityOf(opened, header) == Integrity::kBroken;
    int status = header.Damaged() || broken ? 2 : 0;
    if (broken) out << "damaged: " << kIntegrityBroken << "\n";
    std::vector<char> block(kBlock);
    for (const auto &entry : header.file_entries) {
        bool clamped = false;
        const std::string mapped = ExtractPath(entry.path, &clamped);
        out << "file " << entry.index + 1 << ": " << entry.path << " -> "
            << (mapped.empty() ? "(nothing)" : mapped);
        const long long from = opened.origin + entry.start, to = opened.origin + entry.end;
        const fs::path target = fs::path(folder) / mapped;
        std::string failure;
        if (mapped.empty()) {
            failure = "the path names no file";
        } else if (from < 0 || to < from || to > opened.size || to > 0x7FFFFFFFLL) {
            failure = "its offsets address no bytes of the package";
        } else if (fs::create_directories(target.parent_path(), code), code) {
            failure = "its folder cannot be made";
        } else if (fs::is_directory(target, code)) {
            failure = "a folder of that name is there";
        }
        File file(failure.empty() ? std::fopen(target.string().c_str(), "wb") : nullptr);
        if (failure.empty() && !file) failure = "the file cannot be made";
        if (failure.empty() && std::fseek(opened.in.get(), static_cast<long>(from), SEEK_SET) != 0)
            failure = "the package cannot be read there";
        for (long long left = to - from; failure.empty() && left > 0;) {
            const size_t want =
                left < static_cast<long long>(kBlock) ? static_cast<size_t>(left) : kBlock;
            const size_t got = std::fread(block.data(), 1, want, opened.in.get());
            if (got == 0) failure = "the package ends early";
            package::InvertBytes(block.data(), got);
            if (got > 0 && std::fwrite(block.data(), 1, got, file.get()) != got)
                failure = "the file cannot be written";
            left -= static_cast<long long>(got);
        }
        if (file && std::fclose(file.release()) != 0 && failure.empty())
            failure = "the file cannot be written";
        if (failure.empty()) {
            out << "  " << (to - from) << " bytes";
            if (clamped) out << "  (\"..\" above the top folder dropped)";
        } else {
            out << "  (not written: " << failure << ")";
            status = 2;
        }
        out << "\n";
    }
    for (const auto &problem : header.problems) out << "damaged: " << problem << "\n";
    *report = out.str();
    return status;
} catch (...) {
    return OutOfMemory(report), 2;
}

}  // namespace pkgwrite
