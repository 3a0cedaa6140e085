// The package format: the bit-inverted file, the text header of tokens, the data marker and
// the payload. Shared by the installer and by the mkpkg tool.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "webreq/md5.h"

extern "C" {
// Inverts every byte of source into target (created or emptied). 1 on success; 0 when the
// source cannot be read (missing, unreadable, 2 GB or larger) or the target not written.
int PackageRestore(const char *source, const char *target);
}

namespace package {
// Follows a restore as it goes, on the thread that restores: the first block of restored bytes
// once the new file holds it (under its new name, which lasts until the restore ends), then
// how many restored bytes the new file holds after each block, then the end. A watcher does
// not throw: the restore goes on, and ends, whatever the watcher could not do.
class RestoreWatcher {
   public:
    virtual ~RestoreWatcher() = default;
    virtual void Begun(const std::string &new_path, std::string_view first_block) noexcept = 0;
    virtual void Written(long long bytes) noexcept = 0;
    virtual void Ended(bool whole) noexcept = 0;
};

// PackageRestore that says why it failed: target_error receives the file error (Windows code)
// of a target that could not be written, 0 when the source was the trouble.
bool Restore(const char *source, const char *target, unsigned long *target_error,
             RestoreWatcher *watcher = nullptr);
}  // namespace package

namespace package {

inline constexpr char kFieldSeparator[] = "!--------@";
inline constexpr char kListSeparator[] = "|";
inline constexpr size_t kMarkerRun = 40;  // '^' in a row make the data marker
inline constexpr size_t kTokenLimit = 254;
inline constexpr size_t kPathLimit = 255;
inline constexpr size_t kListTextLimit = 63;

// The integrity record, an info record "md5!--------@" followed by 32 lowercase hexadecimal
// digits: the MD5 digest of every byte of the restored package but those 32 digits (the bytes
// before them, then the bytes after them). The first info record whose key is "md5" is the
// one; a package without it is read as before.
inline constexpr char kIntegrityKey[] = "md5";
inline constexpr size_t kDigestLength = 32;
// Whether an info record's key is the integrity record's.
bool IsIntegrityRecord(std::string_view record);
// Offset of the digest inside the record (the key and the separator).
size_t IntegrityValueOffset();
// Whether the record's value is a digest in its form: exactly 32 lowercase hex digits.
bool IntegrityValueWellFormed(std::string_view record);

// MD5 over bytes handed in order from offset 0, leaving out the 32 bytes at skip_at.
class SkippingDigest {
   public:
    explicit SkippingDigest(long long skip_at) : skip_at_(skip_at) {}
    void Update(const char *bytes, size_t count);
    std::string FinalHex() { return md5_.FinalHex(); }

   private:
    webreq::Md5 md5_;
    long long at_ = 0;
    long long skip_at_;
};

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
    // Where the first integrity record's digest starts in the header; -1 without one.
    long long integrity_offset = -1;
    std::string integrity_record;
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
    // offset: where the record's token starts in the header.
    virtual void InfoRecord(std::string record, size_t offset) = 0;
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
