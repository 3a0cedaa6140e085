// The package format: the bit-inverted file, the text header of tokens, the data marker and
// the payload. Shared by the installer and by the mkpkg tool.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
// Inverts every byte of source into target (created or emptied). 1 on success; 0 when the
// source cannot be read (missing, unreadable, 2 GB or larger) or the target not written.
int PackageRestore(const char *source, const char *target);
}

namespace package {

inline constexpr char kFieldSeparator[] = "!--------@";
inline constexpr char kListSeparator[] = "|";
inline constexpr size_t kMarkerRun = 40;  // '^' in a row make the data marker
inline constexpr size_t kTokenLimit = 254;
inline constexpr size_t kPathLimit = 255;
inline constexpr size_t kListTextLimit = 63;

// The six bytes that separate header tokens.
inline bool IsHeaderSpace(int byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' ||
           byte == '\r';
}

void InvertBytes(char *bytes, size_t count);

// Reads tokens until one holds the data marker; the payload origin is the offset after that
// token and the white space following it. 0 when no token holds the marker.
// ByteSource: int Next() returns the next byte or -1 at the end.
template <class ByteSource>
long long PayloadOriginScan(ByteSource &source) {
    long long position = 0;
    int byte = source.Next();
    while (byte >= 0) {
        while (byte >= 0 && IsHeaderSpace(byte)) byte = source.Next(), ++position;
        size_t run = 0;
        bool marker = false;
        while (byte >= 0 && !IsHeaderSpace(byte)) {
            run = (byte == '^') ? run + 1 : 0;
            if (run >= kMarkerRun) marker = true;
            byte = source.Next(), ++position;
        }
        if (marker) {
            while (byte >= 0 && IsHeaderSpace(byte)) byte = source.Next(), ++position;
            return position;
        }
    }
    return 0;
}

long long PayloadOriginOf(std::string_view restored);
// -1 when the restored copy cannot be opened.
long long PayloadOriginOfFile(const char *path);

struct ListRecord {
    std::string list;
    std::string text;
    std::vector<std::string> items;
};

struct FileEntry {
    int index;  // position among the file entries, from 0
    std::string path;
    long long start;
    long long end;
};

// What the header holds, read as far as it can be read. Records that lack fields are left
// out and named in problems; reading stops at the first token that cannot be read, and
// everything read before it is kept.
struct Header {
    std::vector<long long> section_counts;
    bool counts_valid = false;
    std::vector<std::string> info_records;
    std::vector<ListRecord> list_records;
    std::vector<FileEntry> file_entries;
    std::vector<std::string> problems;
    bool Damaged() const { return !problems.empty(); }
};

Header HeaderParse(std::string_view header);

// The header read record by record, each handed on as it is read and then forgotten, so
// that memory does not grow with the number of records.
class HeaderSink {
   public:
    virtual ~HeaderSink() = default;
    virtual void SectionCount(long long count) = 0;
    virtual void CountsValid() = 0;
    virtual void InfoRecord(std::string record) = 0;
    virtual void List(ListRecord record) = 0;
    virtual void File(FileEntry entry) = 0;
    virtual void Problem(std::string text) = 0;
};
void HeaderRead(std::string_view header, HeaderSink &sink);

// A file that will replace target: a new name beside it, created exclusively (never an
// existing file or a link planted there), renamed over target by ReplacementFinish, which
// removes it instead when anything failed. The stream is closed either way.
FILE *ReplacementCreate(const char *target, std::string *new_path);
bool ReplacementFinish(FILE *stream, const std::string &new_path, const char *target, bool written);

// Numbers in records are read the way atol reads them: optional sign, digits, rest ignored.
long long RecordNumber(const char *text);

// The URL-decoded value field of an info record; false when the record has no value.
bool InfoRecordValue(const std::string &record, std::string *value);

}  // namespace package
