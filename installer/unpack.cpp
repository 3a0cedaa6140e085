#include "installer/unpack.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "installer/package.h"
#include "platform/platform.h"
#include "util/filepath.h"
#include "util/filepath_internal.h"
#include "util/text.h"

namespace {

constexpr size_t kRecordSize = 255;
constexpr size_t kTempPathSize = 512;
constexpr char kTempMacro[] = "$temp_dir$";
constexpr char kTempMacroSearch[] = "$temp_dir$\\";
constexpr char kWinMacro[] = "$win_dir$";
constexpr char kLockName[] = "xx.lock";
constexpr char kJournalName[] = "xx.journal";

char g_restored_copy_path[kTempPathSize];

// Only the first two info records are ever searched; the rest are read past and not kept,
// so a package of millions of tiny records costs no memory for them.
constexpr size_t kKeptInfoRecords = 2;

// The info records live until the next unpacking (in a run: until the process ends).
struct InfoRecords {
    std::vector<std::unique_ptr<char[]>> buffers;
    std::vector<char *> slots;  // closed by a null slot
    bool present = false;

    void Reset() {
        buffers.clear();
        slots.clear();
        present = false;
    }
    void Add(const std::string &record) {
        if (buffers.size() >= kKeptInfoRecords) return;
        std::unique_ptr<char[]> buffer(new char[kRecordSize]());
        buffers.push_back(std::move(buffer));
        std::strncpy(buffers.back().get(), record.c_str(), kRecordSize - 1);
    }
    void Close() {
        for (const auto &buffer : buffers) slots.push_back(buffer.get());
        slots.push_back(nullptr);
        present = true;
    }
};
InfoRecords g_info;

// Why the last unpacking failed: the first failure is the one shown. Kept in fixed room, so
// that naming a failure never needs memory (running out of it is one of the failures).
struct Failure {
    bool failed = false;
    char path[kTempPathSize] = "";
    const char *reason = "";
};
Failure g_failure;

constexpr char kDamaged[] = "the package is damaged";
constexpr char kMissing[] = "the package is missing";

bool Fail(const char *path, const char *reason) {
    if (g_failure.failed) return false;
    g_failure.failed = true;
    g_failure.reason = reason;
    std::snprintf(g_failure.path, sizeof g_failure.path, "%s", path ? path : "");
    return false;
}
bool Fail(const std::string &path, const char *reason) {
    return Fail(path.c_str(), reason);
}

const char *ReasonOf(unsigned long error) {
    switch (error) {
        case platform::kErrorDiskFull:
        case platform::kErrorHandleDiskFull:
            return "disk full";
        case platform::kErrorAccessDenied:
            return "access denied";
        case platform::kErrorFilenameTooLong:
            return "path too long";
        case platform::kErrorFileNotFound:
        case platform::kErrorPathNotFound:
            return "path not found";
        case platform::kErrorFileTooLarge:
            return "file too large";
        default:
            return "write error";
    }
}

bool FailWithLastError(const std::string &path) {
    return Fail(path, ReasonOf(platform::FileErrorLast()));
}

// One installation at a time: the lock is held from before the restored copy is written
// until the run lets it go (or ends).
struct InstallLock {
    platform::LockHandle handle = -1;
    void Release() {
        if (handle == -1) return;
        platform::LockHandleSet(handle, platform::LockLevel::kNone);
        platform::LockHandleClose(handle);
        handle = -1;
    }
};
InstallLock g_lock;

bool LockTake(const std::string &path) {
    g_lock.Release();
    platform::Stream stream(platform::StreamOpen(path.c_str(), "ab"));
    if (!stream) return FailWithLastError(path);
    const platform::LockHandle handle = platform::LockHandleOf(stream.get());
    if (handle == -1) return FailWithLastError(path);
    if (!platform::LockHandleSet(handle, platform::LockLevel::kExclusive)) {
        platform::LockHandleClose(handle);
        return FailWithLastError(path);
    }
    g_lock.handle = handle;
    return true;
}

// Journal lines name paths percent-encoded, so that no path can break a line or a field.
std::string JournalEncoded(const std::string &path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char byte : path) {
        if (byte <= ' ' || byte == '%' || byte == '+' || byte >= 0x7F) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

std::string JournalDecoded(std::string field) {
    UrlDecode(field.data());
    return field.c_str();
}

// A target and the files that stand in for it while the run replaces it: the new bytes
// beside it, and a second name of the old file (none when there was no old file).
struct Replacement {
    std::string target;
    std::string side;
    std::string backup;
};

// What a run did and is about to do, in the order it did it. The journal in the temporary
// folder holds the same as lines, each written before its step:
//   folder P            P is made by the run
//   new P / not P       the side file P is created by the run / P was someone else's name
//   target T N B        T is replaced by N, its old file kept as B ("-": T did not exist)
//   commit              every side file is written; targets are replaced from here on
//   done                every target holds its new file
struct JournalState {
    std::vector<std::string> folders;
    std::vector<std::string> sides;
    std::vector<Replacement> replacements;
    bool committed = false;
    bool done = false;
};

JournalState JournalParse(const std::string &text) {
    JournalState state;
    size_t at = 0;
    // A line without its line feed was cut by a kill: its step was never taken.
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::vector<std::string> fields;
        const std::string line = text.substr(at, end - at);
        for (size_t from = 0, space;; from = space + 1) {
            space = line.find(' ', from);
            fields.push_back(JournalDecoded(line.substr(from, space - from)));
            if (space == std::string::npos) break;
        }
        if (fields[0] == "folder" && fields.size() == 2) {
            state.folders.push_back(fields[1]);
        } else if (fields[0] == "new" && fields.size() == 2) {
            state.sides.push_back(fields[1]);
        } else if (fields[0] == "not" && fields.size() == 2 && !state.sides.empty() &&
                   state.sides.back() == fields[1]) {
            state.sides.pop_back();
        } else if (fields[0] == "target" && fields.size() == 4) {
            state.replacements.push_back(
                {fields[1], fields[2], fields[3] == "-" ? std::string() : fields[3]});
        } else if (fields[0] == "commit") {
            state.committed = true;
        } else if (fields[0] == "done") {
            state.done = true;
        }
    }
    return state;
}

bool PathPresent(const std::string &path) {
    return platform::PathKindOf(path.c_str()) != platform::PathKind::kMissing;
}

// Brings the machine back to what the journal's run found, or, once that run had placed
// every file, forward to its end. False when an old file could not be put back.
bool JournalUndo(const JournalState &state) {
    bool restored = true;
    if (state.done) {
        for (const auto &replacement : state.replacements)
            if (!replacement.backup.empty()) platform::FileRemove(replacement.backup.c_str());
    } else if (state.committed) {
        for (auto it = state.replacements.rbegin(); it != state.replacements.rend(); ++it) {
            if (!it->backup.empty()) {
                // Without its backup the old file was never moved: it is still the target.
                if (!PathPresent(it->backup)) continue;
                if (!platform::FileReplace(it->backup.c_str(), it->target.c_str()))
                    restored = false;
                else  // a rename between two names of one file moves nothing
                    platform::FileRemove(it->backup.c_str());
            } else if (!PathPresent(it->side)) {
                platform::FileRemove(it->target.c_str());  // the new file moved in
            }
        }
    }
    for (const auto &side : state.sides)
        if (PathPresent(side)) platform::FileRemove(side.c_str());
    if (!state.done)
        for (auto it = state.folders.rbegin(); it != state.folders.rend(); ++it)
            platform::DirectoryRemove(it->c_str());  // only an empty folder goes
    return restored;
}

class Journal {
   public:
    explicit Journal(std::string path) : path_(std::move(path)) {}
    ~Journal() { Close(); }

    const std::string &Path() const { return path_; }
    JournalState state;

    // Puts right what a killed run left.
    bool Recover() {
        if (!PathPresent(path_)) return true;
        std::string text;
        if (!ReadWhole(&text)) return Fail(path_, "the journal cannot be read");
        if (!JournalUndo(JournalParse(text)))
            return Fail(path_, "an earlier run could not be undone");
        return platform::FileRemove(path_.c_str()) == 0 || FailWithLastError(path_);
    }

    // Starts this run's journal.
    bool Start() {
        stream_ = platform::StreamCreateNew(path_.c_str());
        return stream_ ? true : FailWithLastError(path_);
    }

    // Appends one line; the step it names follows only when it is on disk.
    bool Note(const std::string &line) {
        const std::string text = line + "\n";
        if (!stream_) return Fail(path_, "write error");
        if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size() ||
            std::fflush(stream_) != 0)
            return FailWithLastError(path_);
        return true;
    }

    bool NoteFolder(const std::string &folder) {
        if (!Note("folder " + JournalEncoded(folder))) return false;
        state.folders.push_back(folder);
        return true;
    }
    bool NoteSide(const std::string &side) {
        if (!Note("new " + JournalEncoded(side))) return false;
        state.sides.push_back(side);
        return true;
    }
    bool NoteNotOurs(const std::string &side) {
        if (!Note("not " + JournalEncoded(side))) return false;
        state.sides.pop_back();
        return true;
    }

    // The run is over: the journal goes, unless what it names could not be put back.
    void Finish(bool keep) {
        Close();
        if (!keep) platform::FileRemove(path_.c_str());
    }

   private:
    void Close() {
        if (stream_) std::fclose(stream_);
        stream_ = nullptr;
    }
    bool ReadWhole(std::string *text) {
        platform::Stream in(platform::StreamOpen(path_.c_str(), "rb"));
        if (!in) return false;
        char block[4096];
        size_t got;
        while ((got = std::fread(block, 1, sizeof block, in.get())) > 0) text->append(block, got);
        return !std::ferror(in.get());
    }

    std::string path_;
    FILE *stream_ = nullptr;
};

// The first count bytes of a file, in a string of exactly that size.
bool ReadFileStart(const char *path, size_t count, std::string *bytes) {
    platform::Stream in(platform::StreamOpen(path, "rb"));
    if (!in) return false;
    bytes->resize(count);
    const size_t got = count ? std::fread(bytes->data(), 1, count, in.get()) : 0;
    bytes->resize(got);
    return !std::ferror(in.get());
}

// The header copy is written under a new name and renamed to its own: a link planted at
// that name is replaced, never written through.
bool HeaderCopyWrite(const std::string &path, const std::string &bytes) {
    std::string new_path;
    FILE *out = package::ReplacementCreate(path.c_str(), &new_path);
    if (!out) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return package::ReplacementFinish(out, new_path, path.c_str(), written);
}

std::string Backslashed(std::string text) {
    PathToBackslashes(text.data());
    return text;
}

// Every occurrence of the macro becomes the value. Only the package's own text gets
// backslashes: the value stays as the platform gave it (on Linux a native '/' path, which a
// leading backslash would move into the drive root).
std::string ReplaceMacro(const std::string &path, const char *search, const std::string &by) {
    const size_t search_length = std::strlen(search);
    std::string result;
    size_t at = 0;
    for (size_t found; (found = path.find(search, at)) != std::string::npos;
         at = found + search_length)
        result += Backslashed(path.substr(at, found - at)) + by;
    return result + Backslashed(path.substr(at));
}

// The path an entry is written to, after its macro; null, or why it cannot be formed.
const char *EntryTargetPath(const std::string &path, const std::string &temp_dir,
                            std::string *target) {
    if (path.find(kTempMacro) != std::string::npos) {
        *target = ReplaceMacro(path, kTempMacroSearch, temp_dir);
    } else if (path.find(kWinMacro) != std::string::npos) {
        const char *windows_directory = WindowsDirectoryValue();
        if (!windows_directory) return "no Windows folder";
        *target = ReplaceMacro(path, kWinMacro, windows_directory);
    } else {
        *target = Backslashed(path);
    }
    return target->size() <= package::kPathLimit ? nullptr : "path too long";
}

// Offsets count from the payload origin; an entry must address bytes of the restored copy,
// in order.
bool EntryRange(const package::FileEntry &entry, long long origin, long long size, long *from,
                long *to) {
    const long long first = entry.start + origin, last = entry.end + origin;
    if (first < 0 || last < first || last > size || last > 0x7FFFFFFFLL) return false;
    *from = static_cast<long>(first);
    *to = static_cast<long>(last);
    return true;
}

// Where the integrity record is, when the package has one.
struct Integrity {
    long long offset = -1;
    std::string record;

    // The first info record whose key is the integrity record's is the one.
    void Note(const std::string &info_record, size_t token_offset) {
        if (offset >= 0 || !package::IsIntegrityRecord(info_record)) return;
        offset = static_cast<long long>(token_offset + package::IntegrityValueOffset());
        record = info_record;
    }
    bool operator==(const Integrity &other) const {
        return offset == other.offset && record == other.record;
    }
};

// Every entry is looked at before any file is written: a header that does not read whole,
// an entry whose path cannot be formed or whose bytes lie outside the package stops the run.
class HeaderCheck : public package::HeaderSink {
   public:
    HeaderCheck(const std::string &package, const std::string &temp_dir, long long origin,
                long long size)
        : package_(package), temp_dir_(temp_dir), origin_(origin), size_(size) {}
    void SectionCount(long long) override {}
    void CountsValid() override { counts_valid = true; }
    void InfoRecord(std::string record, size_t offset) override {
        integrity.Note(record, offset);
        g_info.Add(record);
    }
    void List(package::ListRecord) override {}
    void File(package::FileEntry entry) override {
        std::string target;
        long from = 0, to = 0;
        if (const char *reason = EntryTargetPath(entry.path, temp_dir_, &target))
            whole = Fail(target.empty() ? entry.path : target, reason) && whole;
        else if (!EntryRange(entry, origin_, size_, &from, &to))
            whole = Fail(package_, kDamaged) && whole;
    }
    void Problem(std::string) override { whole = Fail(package_, kDamaged) && whole; }

    bool counts_valid = false;
    bool whole = true;
    Integrity integrity;

   private:
    const std::string package_;
    const std::string &temp_dir_;
    long long origin_;
    long long size_;
};

// Whether the restored copy's bytes are the ones its integrity record was made for.
bool IntegrityHolds(const char *restored, long long value_offset, const std::string &record) {
    if (!package::IntegrityValueWellFormed(record)) return false;
    platform::Stream in(platform::StreamOpen(restored, "rb"));
    if (!in) return false;
    package::SkippingDigest digest(value_offset);
    std::vector<char> block(1 << 20);
    size_t got;
    while ((got = std::fread(block.data(), 1, block.size(), in.get())) > 0)
        digest.Update(block.data(), got);
    return !std::ferror(in.get()) &&
           digest.FinalHex() == record.substr(package::IntegrityValueOffset());
}

// The integrity record of a header, looked for without any other check.
class IntegrityFinder : public package::HeaderSink {
   public:
    void SectionCount(long long) override {}
    void CountsValid() override {}
    void InfoRecord(std::string record, size_t offset) override { found.Note(record, offset); }
    void List(package::ListRecord) override {}
    void File(package::FileEntry) override {}
    void Problem(std::string) override {}
    Integrity found;
};

// The digest of the restored copy worked out on a second thread while the copy is being
// written, reading behind the restore: begun when the first block holds the whole header.
class RestoreDigest : public package::RestoreWatcher {
   public:
    RestoreDigest() = default;
    ~RestoreDigest() override {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            abandoned_ = true;  // a run that stops early does not wait for the digest
        }
        Finish();
    }
    RestoreDigest(const RestoreDigest &) = delete;
    RestoreDigest &operator=(const RestoreDigest &) = delete;

    void Begun(const std::string &new_path, std::string_view first_block) noexcept override {
        try {
            Follow(new_path, first_block);
        } catch (...) {
            // Not followed (no memory, no thread): the digest is worked out after the restore.
        }
    }
    void Written(long long bytes) noexcept override {
        const std::lock_guard<std::mutex> lock(mutex_);
        written_ = bytes;
        progress_.notify_one();
    }
    void Ended(bool whole) noexcept override {
        const std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        whole_ = whole;
        progress_.notify_one();
    }

    // Whether the digest was worked out here for this integrity record; holds then tells
    // whether the bytes are the ones it was made for.
    bool Result(const Integrity &integrity, bool *holds) {
        if (!Follows(integrity)) return false;
        Finish();
        if (!whole_ || !finished_) return false;
        *holds = digest_hex_ == integrity.record.substr(package::IntegrityValueOffset());
        return true;
    }
    // Whether the digest is being worked out here for this integrity record.
    bool Follows(const Integrity &integrity) const { return in_ && integrity == integrity_; }

   private:
    void Follow(const std::string &new_path, std::string_view first_block) {
        const long long origin = package::PayloadOriginOf(first_block);
        if (origin <= 0) return;  // a header longer than a block: checked after the restore
        IntegrityFinder finder;
        package::HeaderRead(first_block.substr(0, static_cast<size_t>(origin)), finder);
        if (finder.found.offset < 0 || !package::IntegrityValueWellFormed(finder.found.record))
            return;
        platform::Stream in(platform::StreamOpen(new_path.c_str(), "rb"));
        if (!in) return;
        integrity_ = finder.found;
        worker_ = std::thread([this, stream = in.get()] { Work(stream); });
        in_ = std::move(in);
    }
    void Work(FILE *stream) {
        try {
            package::SkippingDigest digest(integrity_.offset);
            std::vector<char> block(1 << 20);
            long long done = 0;
            for (;;) {
                const long long ready = Ready(done);
                if (ready <= done) break;
                const long long want = std::min<long long>(ready - done, block.size());
                const size_t got = std::fread(block.data(), 1, static_cast<size_t>(want), stream);
                if (got != static_cast<size_t>(want)) return;
                digest.Update(block.data(), got);
                done += static_cast<long long>(got);
            }
            digest_hex_ = digest.FinalHex();
            finished_ = true;
        } catch (...) {
        }
    }
    // Waits until the restore has written past done, or has ended; how far it has written.
    long long Ready(long long done) {
        std::unique_lock<std::mutex> lock(mutex_);
        progress_.wait(lock, [&] { return written_ > done || ended_; });
        return abandoned_ ? done : written_;
    }
    void Finish() {
        Ended(whole_);
        if (worker_.joinable()) worker_.join();
    }

    platform::Stream in_;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable progress_;
    long long written_ = 0;
    bool ended_ = false;
    bool whole_ = false;
    bool abandoned_ = false;
    Integrity integrity_;
    std::string digest_hex_;
    bool finished_ = false;
};

// The digest of the restored copy: the one worked out during the restore, or else worked out on
// a second thread while the files are written beside their targets. Either way it is known
// before anything is moved over a target.
class IntegrityCheck {
   public:
    IntegrityCheck(const char *restored, const Integrity &integrity, RestoreDigest *early)
        : integrity_(integrity), early_(early) {
        if (integrity.offset < 0 || early->Follows(integrity)) return;
        Start(restored);
    }
    ~IntegrityCheck() { Wait(); }
    IntegrityCheck(const IntegrityCheck &) = delete;
    IntegrityCheck &operator=(const IntegrityCheck &) = delete;

    // Waits for the digest; false with the reason when the bytes changed. A changed package
    // is named before anything else that went wrong, as if it had been checked first.
    bool Holds(const char *package_path) {
        if (integrity_.offset < 0) return true;
        if (!worker_.joinable() && !early_->Result(integrity_, &holds_))
            Start(g_restored_copy_path);
        Wait();
        if (holds_) return true;
        g_failure = Failure();
        return Fail(package_path, out_of_memory_ ? "out of memory" : kDamaged);
    }

   private:
    void Start(const char *restored) {
        std::string path(restored);
        Integrity integrity = integrity_;
        auto work = [this, path, integrity] {
            try {
                holds_ = IntegrityHolds(path.c_str(), integrity.offset, integrity.record);
            } catch (...) {
                out_of_memory_ = true;
            }
        };
        try {
            worker_ = std::thread(work);
        } catch (...) {
            work();  // no second thread to be had: the digest is worked out here
        }
    }
    void Wait() {
        if (worker_.joinable()) worker_.join();
    }

    const Integrity integrity_;
    RestoreDigest *early_;
    std::thread worker_;
    bool holds_ = false;
    bool out_of_memory_ = false;
};

// A name beside path, free at the time it is made, as short as possible: a target of 255
// characters must leave room within the Windows path limit.
std::string SideName(const std::string &path) {
    unsigned char random[4];
    if (!platform::RandomBytes(random, sizeof random)) return std::string();
    char leaf[16];
    std::snprintf(leaf, sizeof leaf, "~%02x%02x%02x%x", random[0], random[1], random[2],
                  random[3] & 15);
    // The temporary folder's own part may be a native path with '/' (on Linux).
    const size_t slash = path.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + leaf;
}

// Writes every entry beside its target, then moves all of them over their targets at once;
// any failure puts every target back as it was.
class Installation : public package::HeaderSink {
   public:
    Installation(Journal &journal, FILE *restored, const std::string &temp_dir, long long origin)
        : journal_(journal), restored_(restored), temp_dir_(temp_dir), origin_(origin) {}

    void SectionCount(long long) override {}
    void CountsValid() override {}
    void InfoRecord(std::string, size_t) override {}
    void List(package::ListRecord) override {}
    void Problem(std::string) override {}
    void File(package::FileEntry entry) override {
        if (ok_) ok_ = WriteEntry(entry);
    }

    bool Commit() {
        if (!ok_) return false;
        for (auto &replacement : planned_)
            if (!journal_.Note("target " + JournalEncoded(replacement.target) + " " +
                               JournalEncoded(replacement.side) + " " +
                               (replacement.backup.empty() ? std::string("-")
                                                           : JournalEncoded(replacement.backup))))
                return false;
        journal_.state.replacements = planned_;
        if (!journal_.Note("commit")) return false;
        journal_.state.committed = true;
        for (const auto &replacement : planned_) {
            const char *target = replacement.target.c_str();
            if (!replacement.backup.empty() &&
                !platform::FileKeepAs(target, replacement.backup.c_str()))
                return FailWithLastError(replacement.target);
            if (!platform::FileReplace(replacement.side.c_str(), target))
                return FailWithLastError(replacement.target);
        }
        if (!journal_.Note("done")) return false;
        journal_.state.done = true;
        return true;
    }

   private:
    // The folders of the path that do not exist yet are made, each noted first.
    bool ParentsMake(const std::string &target) {
        for (size_t i = 1; i < target.size(); ++i) {
            if (target[i] != '\\' || target[i - 1] == ':') continue;
            const std::string folder = target.substr(0, i);
            if (!known_folders_.insert(folder).second) continue;
            const platform::PathKind kind = platform::PathKindOf(folder.c_str());
            if (kind == platform::PathKind::kMissing) {
                if (!journal_.NoteFolder(folder)) return false;
                platform::DirectoryCreate(folder.c_str());
            } else if (kind != platform::PathKind::kFolder) {
                return Fail(target, "a file is in the way");
            }
        }
        return true;
    }

    FILE *SideCreate(const std::string &target, std::string *side) {
        for (int attempt = 0; attempt < 16; ++attempt) {
            *side = SideName(target);
            if (side->empty() || !journal_.NoteSide(*side)) return nullptr;
            if (FILE *stream = platform::StreamCreateNew(side->c_str())) return stream;
            const unsigned long error = platform::FileErrorLast();
            if (error != platform::kErrorFileExists || !journal_.NoteNotOurs(*side)) {
                Fail(target, ReasonOf(error));
                return nullptr;
            }
        }
        Fail(target, "write error");
        return nullptr;
    }

    bool CopyInto(FILE *out, long from, long to, const std::string &target) {
        if (std::fseek(restored_, from, SEEK_SET) != 0) return Fail(target, "read error");
        for (long left = to - from; left > 0;) {
            const size_t want =
                left < static_cast<long>(block_.size()) ? static_cast<size_t>(left) : block_.size();
            const size_t got = std::fread(block_.data(), 1, want, restored_);
            if (got == 0) return Fail(target, "read error");
            if (std::fwrite(block_.data(), 1, got, out) != got) return FailWithLastError(target);
            left -= static_cast<long>(got);
        }
        return true;
    }

    bool WriteEntry(const package::FileEntry &entry) {
        std::string target;
        long from = 0, to = 0;
        if (EntryTargetPath(entry.path, temp_dir_, &target) ||
            !EntryRange(entry, origin_, 0x7FFFFFFFLL, &from, &to))
            return false;  // the check has named it already
        const platform::PathKind kind = platform::PathKindOf(target.c_str());
        if (kind == platform::PathKind::kFolder) return Fail(target, "a folder is in the way");
        if (kind == platform::PathKind::kReadOnlyFile || kind == platform::PathKind::kOther)
            return Fail(target, "access denied");
        if (!ParentsMake(target)) return false;
        std::string side;
        FILE *out = SideCreate(target, &side);
        if (!out) return false;
        bool written = CopyInto(out, from, to, target);
        if (written && std::fflush(out) != 0) written = FailWithLastError(target);
        if (std::fclose(out) != 0 && written) written = FailWithLastError(target);
        if (!written) return false;
        return Plan(target, side, kind == platform::PathKind::kFile);
    }

    // Two entries with the same target: the later one wins, its file replaces the earlier's.
    bool Plan(const std::string &target, const std::string &side, bool existed) {
        const auto [it, added] = index_.emplace(target, planned_.size());
        if (!added) {
            platform::FileRemove(planned_[it->second].side.c_str());
            planned_[it->second].side = side;
            return true;
        }
        std::string backup;
        if (existed && (backup = SideName(target)).empty()) return Fail(target, "write error");
        planned_.push_back({target, side, backup});
        return true;
    }

    Journal &journal_;
    FILE *restored_;
    const std::string &temp_dir_;
    long long origin_;
    bool ok_ = true;
    std::vector<Replacement> planned_;
    std::map<std::string, size_t> index_;
    std::set<std::string> known_folders_;
    std::vector<char> block_ = std::vector<char>(1 << 20);
};

// A run killed while it wrote its restored copy or header copy left them under their new
// names; they are the installer's own, and no other run is going on.
void StaleCopiesRemove(const std::string &temp_dir) {
    for (const char *pattern : {"xx1.new-*", "xx2.new-*"}) {
        std::vector<std::string> names;
        platform::SearchEntry entry;
        platform::SearchHandle search = platform::SearchFirst((temp_dir + pattern).c_str(), &entry,
                                                              platform::SearchDetail::kKind);
        if (!search) continue;
        do
            if (!entry.directory) names.push_back(entry.name);
        while (platform::SearchNext(search, &entry));
        platform::SearchClose(search);
        for (const auto &name : names) platform::FileRemove((temp_dir + name).c_str());
    }
}

// What a killed run left is put right before this run does anything.
bool EarlierRunPutRight(const std::string &temp_dir) {
    StaleCopiesRemove(temp_dir);
    return Journal(temp_dir + kJournalName).Recover();
}

// The package restored and its header read and checked; false (with the failure named) when
// anything of it cannot be used. No target is touched here.
bool PackagePrepare(const char *package_path, const std::string &temp_dir, long long *origin,
                    std::string *header, Integrity *integrity, RestoreDigest *digest) {
    if (FileSize(package_path) < 0) return Fail(package_path, kMissing);
    unsigned long error = 0;
    if (!package::Restore(package_path, g_restored_copy_path, &error, digest))
        return error ? Fail(g_restored_copy_path, ReasonOf(error)) : Fail(package_path, kMissing);
    long long size = 0;
    *origin = package::PayloadOriginOfFile(g_restored_copy_path);
    if (*origin < 0 || !platform::FileStatSize(g_restored_copy_path, &size))
        return Fail(g_restored_copy_path, "read error");
    if (*origin == 0 || *origin > 0x7FFFFFFFLL) return Fail(package_path, kDamaged);

    std::string header_bytes;
    const std::string header_copy = temp_dir + "xx2";
    if (!ReadFileStart(g_restored_copy_path, static_cast<size_t>(*origin), &header_bytes))
        return Fail(g_restored_copy_path, "read error");
    const bool copied = HeaderCopyWrite(header_copy, header_bytes);
    if (!copied) FailWithLastError(header_copy);
    platform::FileRemove(header_copy.c_str());
    if (!copied) return false;

    HeaderCheck check(package_path, temp_dir, *origin, size);
    package::HeaderRead(header_bytes, check);
    if (check.counts_valid) g_info.Close();
    if (!check.whole) return false;
    if (check.integrity.offset >= 0 && !package::IntegrityValueWellFormed(check.integrity.record))
        return Fail(package_path, kDamaged);
    *integrity = std::move(check.integrity);
    *header = std::move(header_bytes);
    return true;
}

bool PackageInstall(const char *package_path, const std::string &temp_dir, long long origin,
                    const std::string &header, const Integrity &integrity, RestoreDigest *digest) {
    Journal journal(temp_dir + kJournalName);
    if (!journal.Start()) return false;
    bool installed = false;
    try {
        IntegrityCheck check(g_restored_copy_path, integrity, digest);
        platform::Stream restored(platform::StreamOpen(g_restored_copy_path, "rb"));
        if (!restored) {
            FailWithLastError(g_restored_copy_path);
        } else {
            Installation installation(journal, restored.get(), temp_dir, origin);
            package::HeaderRead(header, installation);
            // Checked whether or not every file could be written: a changed package is the
            // failure to name.
            installed = check.Holds(package_path) && installation.Commit();
        }
    } catch (...) {
        Fail(temp_dir, "out of memory");
        installed = false;
        journal.state.done = false;
    }
    // Done or undone, the journal has served; it stays only when an old file could not be
    // put back, for the next run to try again.
    const bool undone = JournalUndo(journal.state);
    journal.Finish(!undone);
    if (!undone) Fail(journal.Path(), "an old file could not be put back");
    return installed;
}

// The file's name kept whole where it can be: the start of the path gives way first.
std::string Shortened(const std::string &path, size_t room) {
    if (path.size() <= room) return path;
    constexpr char kEllipsis[] = "...";
    if (room < 4) return std::string();
    const size_t slash = path.find_last_of("\\/");
    const std::string tail = slash == std::string::npos ? path : path.substr(slash);
    if (tail.size() + 3 < room) return path.substr(0, room - 3 - tail.size()) + kEllipsis + tail;
    return kEllipsis + path.substr(path.size() - (room - 3));
}

}  // namespace

extern "C" {

int PackageUnpack(const char *package_path, char ***info_records) try {
    g_info.Reset();
    g_failure = Failure();
    if (info_records) *info_records = nullptr;

    const std::string temp_dir = platform::TempDirectory();
    if (temp_dir.empty() || temp_dir.size() + 4 > kTempPathSize)
        return Fail(temp_dir, "the temporary folder is unknown"), -1;
    std::snprintf(g_restored_copy_path, sizeof g_restored_copy_path, "%sxx1", temp_dir.c_str());
    if (!package_path) return Fail("cab1.rpm", kMissing), -1;
    if (!LockTake(temp_dir + kLockName) || !EarlierRunPutRight(temp_dir)) return -1;

    long long origin = 0;
    std::string header;
    Integrity integrity;
    RestoreDigest digest;
    const bool prepared =
        PackagePrepare(package_path, temp_dir, &origin, &header, &integrity, &digest);
    if (g_info.present && info_records) *info_records = g_info.slots.data();
    return prepared && PackageInstall(package_path, temp_dir, origin, header, integrity, &digest)
               ? 1
               : -1;
} catch (...) {
    g_info.Reset();  // records of a half-read header are not handed out
    if (info_records) *info_records = nullptr;
    Fail(package_path, "out of memory");
    return -1;
}

void PackageUnpackRelease(void) {
    g_lock.Release();
}

size_t PackageFailureLine(char *buffer, size_t size) try {
    if (!buffer || size == 0) return 0;
    buffer[0] = '\0';
    if (!g_failure.failed) return 0;
    const std::string start = "Installation failed: ";
    const std::string end = g_failure.reason;
    std::string line = start + end;
    const size_t fixed = start.size() + 2 + end.size();
    if (g_failure.path[0] && fixed < size - 1) {
        const std::string path = Shortened(g_failure.path, size - 1 - fixed);
        if (!path.empty()) line = start + path + ": " + end;
    }
    if (line.size() > size - 1) line.resize(size - 1);
    std::memcpy(buffer, line.c_str(), line.size() + 1);
    return line.size();
} catch (...) {
    if (buffer && size > 0) buffer[0] = '\0';
    return 0;
}

char *PackageInfoValue(const char *key) try {
    if (!key || !g_info.present) return nullptr;
    for (size_t i = 0; i < 2 && g_info.slots[i]; ++i) {
        if (!std::strstr(g_info.slots[i], key)) continue;
        std::string value;
        if (!package::InfoRecordValue(g_info.slots[i], &value)) return nullptr;
        char *result = static_cast<char *>(std::calloc(kRecordSize, 1));
        if (result) std::strncpy(result, value.c_str(), kRecordSize - 1);
        return result;
    }
    return nullptr;
} catch (...) {
    return nullptr;
}

const char *PackageRestoredCopyPath(void) {
    return g_restored_copy_path;
}

}  // extern "C"
