#include "installer/package.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "util/filepath.h"
#include "util/text.h"

namespace {

struct MemorySource {
    std::string_view bytes;
    size_t at = 0;
    int Next() { return at < bytes.size() ? static_cast<unsigned char>(bytes[at++]) : -1; }
};

struct StreamSource {
    FILE *stream;
    int Next() { return std::getc(stream); }
};

// Room for the fields of one split: a 254-byte token holds at most 24 fields on the
// ten-byte separator and 127 on "|".
constexpr size_t kRecordFieldSlots = 32;
constexpr size_t kListFieldSlots = 128;

class FieldArray {
   public:
    explicit FieldArray(size_t slots) : slots_(slots + 1, nullptr) {}
    ~FieldArray() { FieldsFree(slots_.data()); }
    int Split(const char *text, const char *separator) {
        FieldsFree(slots_.data());
        return StrSplit(text, slots_.data(), separator);
    }
    const char *operator[](size_t i) const { return slots_[i]; }

   private:
    std::vector<char *> slots_;
};

bool HoldsDataMarker(std::string_view token) {
    return token.find(std::string(package::kMarkerRun, '^')) != std::string_view::npos;
}

// Whitespace-separated tokens of the header; tokens over the limit are refused. The data
// marker ends the header: when records run short, it is never taken for one.
class TokenReader {
   public:
    enum class Result { kToken, kEnd, kTooLong };
    explicit TokenReader(std::string_view bytes) : bytes_(bytes) {}

    Result Next(std::string *token) {
        while (at_ < bytes_.size() && package::IsHeaderSpace(Byte(at_))) ++at_;
        if (at_ == bytes_.size()) return Result::kEnd;
        const size_t start = at_;
        start_ = start;
        while (at_ < bytes_.size() && !package::IsHeaderSpace(Byte(at_))) ++at_;
        if (HoldsDataMarker(bytes_.substr(start, at_ - start))) {
            at_ = bytes_.size();
            return Result::kEnd;
        }
        if (at_ - start > package::kTokenLimit) return Result::kTooLong;
        token->assign(bytes_.substr(start, at_ - start));
        return Result::kToken;
    }

    // Where the last token read starts.
    size_t Start() const { return start_; }

   private:
    int Byte(size_t i) const { return static_cast<unsigned char>(bytes_[i]); }
    std::string_view bytes_;
    size_t at_ = 0;
    size_t start_ = 0;
};

// An integer token: optional sign and decimal digits only, within the range of int.
bool IntegerToken(const std::string &token, long long *value) {
    size_t i = (token[0] == '+' || token[0] == '-') ? 1 : 0;
    if (i == token.size() || token.size() > 11) return false;
    for (size_t j = i; j < token.size(); ++j)
        if (token[j] < '0' || token[j] > '9') return false;
    const long long number = std::strtoll(token.c_str(), nullptr, 10);
    if (number < INT_MIN || number > INT_MAX) return false;
    *value = number;
    return true;
}

class HeaderReader {
   public:
    HeaderReader(std::string_view bytes, package::HeaderSink &sink) : tokens_(bytes), sink_(sink) {}

    void Read() {
        if (ReadCounts()) ReadRecords();
    }

   private:
    bool Problem(std::string text) {
        sink_.Problem(std::move(text));
        return false;
    }

    bool NextToken(std::string *token, const char *what, long long number = 0) {
        switch (tokens_.Next(token)) {
            case TokenReader::Result::kToken:
                return true;
            case TokenReader::Result::kEnd:
                return Problem("the header ends before " + Name(what, number));
            case TokenReader::Result::kTooLong:
                return Problem(Name(what, number) + " is longer than 254 bytes");
        }
        return false;
    }

    // Names are only made for a problem, not for every record read.
    static std::string Name(const char *what, long long number) {
        return number > 0 ? std::string(what) + " " + std::to_string(number) : std::string(what);
    }

    bool NextInteger(long long *value, const char *what, long long number = 0) {
        std::string token;
        if (!NextToken(&token, what, number)) return false;
        if (!IntegerToken(token, value))
            return Problem(Name(what, number) + " is not a number: " + token);
        return true;
    }

    bool ReadCounts() {
        long long count_of_counts = 0;
        if (!NextInteger(&count_of_counts, "the count of section counts")) return false;
        if (count_of_counts < 3)
            return Problem("fewer than three section counts (" + std::to_string(count_of_counts) +
                           ")");
        for (long long i = 0; i < count_of_counts; ++i) {
            long long count = 0;
            if (!NextInteger(&count, "section count", i + 1)) return false;
            if (i < 3) counts_[i] = count;
            sink_.SectionCount(count);
        }
        for (int i = 0; i < 3; ++i)
            if (counts_[i] < 0)
                return Problem("section count " + std::to_string(i + 1) + " is negative");
        sink_.CountsValid();
        return true;
    }

    void ReadRecords() {
        std::string token;
        for (long long i = 0; i < counts_[0]; ++i) {
            if (!NextToken(&token, "info record", i + 1)) return;
            sink_.InfoRecord(token, tokens_.Start());
        }
        for (long long i = 0; i < counts_[1]; ++i) {
            if (!NextToken(&token, "list record", i + 1)) return;
            ReadListRecord(token, static_cast<int>(i));
        }
        for (long long i = 0; i < counts_[2]; ++i) {
            if (!NextToken(&token, "file entry", i + 1)) return;
            ReadFileEntry(token, static_cast<int>(i));
        }
    }

    void ReadListRecord(std::string &token, int index) {
        UrlDecode(token.data());
        FieldArray fields(kRecordFieldSlots);
        if (fields.Split(token.c_str(), package::kFieldSeparator) < 2) {
            Problem(Name("list record", index + 1) + " has no text");
            return;
        }
        package::ListRecord record{fields[0], fields[1], {}};
        if (record.text.size() > package::kListTextLimit) {
            Problem(Name("list record", index + 1) + " has a text longer than 63 characters");
            return;
        }
        FieldArray items(kListFieldSlots);
        const int count = items.Split(record.list.c_str(), package::kListSeparator);
        for (int i = 0; i < count; ++i) record.items.emplace_back(items[i]);
        sink_.List(std::move(record));
    }

    void ReadFileEntry(std::string &token, int index) {
        UrlDecode(token.data());
        FieldArray fields(kRecordFieldSlots);
        const int count = fields.Split(token.c_str(), package::kFieldSeparator);
        if (count < 3) {
            Problem(Name("file entry", index + 1) +
                    (count < 2 ? " has no start and end offsets" : " has no end offset"));
            return;
        }
        sink_.File(
            {index, fields[0], package::RecordNumber(fields[1]), package::RecordNumber(fields[2])});
    }

    TokenReader tokens_;
    package::HeaderSink &sink_;
    long long counts_[3] = {0, 0, 0};
};

// Keeps everything: for tools and tests that look at a whole header.
class HeaderCollector : public package::HeaderSink {
   public:
    void SectionCount(long long count) override { header.section_counts.push_back(count); }
    void CountsValid() override { header.counts_valid = true; }
    void InfoRecord(std::string record, size_t offset) override {
        if (header.integrity_offset < 0 && package::IsIntegrityRecord(record)) {
            header.integrity_offset =
                static_cast<long long>(offset + package::IntegrityValueOffset());
            header.integrity_record = record;
        }
        header.info_records.push_back(std::move(record));
    }
    void List(package::ListRecord record) override {
        header.list_records.push_back(std::move(record));
    }
    void File(package::FileEntry entry) override {
        header.file_entries.push_back(std::move(entry));
    }
    void Problem(std::string text) override { header.problems.push_back(std::move(text)); }
    package::Header header;
};

}  // namespace

namespace package {

FILE *ReplacementCreate(const char *target, std::string *new_path) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned char random[8];
        if (!platform::RandomBytes(random, sizeof random)) return nullptr;
        char suffix[2 * sizeof random + 1];
        for (size_t i = 0; i < sizeof random; ++i)
            std::snprintf(suffix + 2 * i, 3, "%02x", random[i]);
        *new_path = std::string(target) + ".new-" + suffix;
        if (FILE *stream = platform::StreamCreateNew(new_path->c_str())) return stream;
    }
    return nullptr;
}

bool ReplacementFinish(FILE *stream, const std::string &new_path, const char *target,
                       bool written) {
    const bool closed = std::fclose(stream) == 0;
    // Paths are converted on the way down, which may fail to allocate: the new file is then
    // removed (as far as that can be done) and the replacement reported failed.
    try {
        if (written && closed && platform::ScratchFileReplace(new_path.c_str(), target))
            return true;
    } catch (...) {
    }
    try {
        platform::FileRemove(new_path.c_str());
    } catch (...) {
    }
    return false;
}

}  // namespace package

extern "C" int PackageRestore(const char *source, const char *target) {
    unsigned long error = 0;
    return package::Restore(source, target, &error) ? 1 : 0;
}

namespace {

// Tells the watcher of each block; the watcher is told of the end whatever way it comes.
class WatchedRestore {
   public:
    explicit WatchedRestore(package::RestoreWatcher *watcher) : watcher_(watcher) {}
    ~WatchedRestore() {
        if (watcher_) watcher_->Ended(whole_);
    }
    WatchedRestore(const WatchedRestore &) = delete;
    WatchedRestore &operator=(const WatchedRestore &) = delete;

    // After a block is written: the new file is flushed so that what it holds can be read.
    bool BlockWritten(FILE *out, const std::string &new_path, const char *block, size_t size) {
        if (!watcher_) return true;
        if (std::fflush(out) != 0) return false;
        if (written_ == 0) watcher_->Begun(new_path, std::string_view(block, size));
        written_ += static_cast<long long>(size);
        watcher_->Written(written_);
        return true;
    }
    void Whole() { whole_ = true; }

   private:
    package::RestoreWatcher *watcher_;
    long long written_ = 0;
    bool whole_ = false;
};

}  // namespace

bool package::Restore(const char *source, const char *target, unsigned long *target_error,
                      RestoreWatcher *watcher) try {
    WatchedRestore watched(watcher);
    *target_error = 0;
    if (FileSize(source) < 0) return false;
    platform::Stream in(platform::StreamOpen(source, "rb"));
    if (!in) return false;
    // Block by block through one buffer: the same bytes as inverting the whole file at once,
    // without holding the package in memory. Had before the target is touched.
    constexpr size_t kBlock = 1 << 20;
    std::vector<char> block(kBlock);
    std::string new_path;
    FILE *out = package::ReplacementCreate(target, &new_path);
    if (!out) {
        *target_error = platform::FileErrorLast();
        return false;
    }
    size_t got;
    bool written = true;
    while (written && (got = std::fread(block.data(), 1, kBlock, in.get())) > 0) {
        package::InvertBytes(block.data(), got);
        written = std::fwrite(block.data(), 1, got, out) == got &&
                  watched.BlockWritten(out, new_path, block.data(), got);
        if (!written) *target_error = platform::FileErrorLast();
    }
    written = written && !std::ferror(in.get());
    if (written && std::fflush(out) != 0) {
        written = false;
        *target_error = platform::FileErrorLast();
    }
    if (written) watched.Whole();
    if (package::ReplacementFinish(out, new_path, target, written)) return true;
    if (written) *target_error = platform::kErrorWriteFault;
    return false;
} catch (...) {
    return false;
}

namespace package {

void InvertBytes(char *bytes, size_t count) {
    auto *data = reinterpret_cast<unsigned char *>(bytes);
    for (size_t i = 0; i < count; ++i) data[i] = static_cast<unsigned char>(~data[i]);
}

long long PayloadOriginOf(std::string_view restored) {
    MemorySource source{restored};
    return PayloadOriginScan(source);
}

long long PayloadOriginOfFile(const char *path) {
    platform::Stream in(platform::StreamOpen(path, "rb"));
    if (!in) return -1;
    StreamSource source{in.get()};
    return PayloadOriginScan(source);
}

Header HeaderParse(std::string_view header) {
    HeaderCollector collector;
    HeaderRead(header, collector);
    return std::move(collector.header);
}

void HeaderRead(std::string_view header, HeaderSink &sink) {
    HeaderReader(header, sink).Read();
}

long long RecordNumber(const char *text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    long long value = 0;
    // Saturates far outside the 32-bit offsets a package can address.
    for (; *text >= '0' && *text <= '9'; ++text)
        if (value < (1LL << 40)) value = value * 10 + (*text - '0');
    return negative ? -value : value;
}

bool IsIntegrityRecord(std::string_view record) {
    const std::string key = std::string(kIntegrityKey) + kFieldSeparator;
    return record.substr(0, key.size()) == key;
}

size_t IntegrityValueOffset() {
    return std::strlen(kIntegrityKey) + std::strlen(kFieldSeparator);
}

bool IntegrityValueWellFormed(std::string_view record) {
    if (!IsIntegrityRecord(record) || record.size() != IntegrityValueOffset() + kDigestLength)
        return false;
    for (char ch : record.substr(IntegrityValueOffset()))
        if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return false;
    return true;
}

void SkippingDigest::Update(const char *bytes, size_t count) {
    const long long begin = at_, end = at_ + static_cast<long long>(count);
    const long long skip_end = skip_at_ + static_cast<long long>(kDigestLength);
    at_ = end;
    if (end <= skip_at_ || begin >= skip_end) {
        md5_.Update(bytes, count);
        return;
    }
    if (begin < skip_at_) md5_.Update(bytes, static_cast<size_t>(skip_at_ - begin));
    if (end > skip_end)
        md5_.Update(bytes + (skip_end - begin), static_cast<size_t>(end - skip_end));
}

bool InfoRecordValue(const std::string &record, std::string *value) {
    FieldArray fields(kRecordFieldSlots);
    if (fields.Split(record.c_str(), kFieldSeparator) < 2) return false;
    std::string decoded = fields[1];
    UrlDecode(decoded.data());
    value->assign(decoded.c_str());
    return true;
}

}  // namespace package
