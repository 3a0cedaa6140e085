#include "installer/unpack.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
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

// The path an entry is written to, after its macro; false when it cannot be formed.
bool EntryTargetPath(const std::string &path, const std::string &temp_dir, std::string *target) {
    if (path.find(kTempMacro) != std::string::npos) {
        *target = ReplaceMacro(path, kTempMacroSearch, temp_dir);
    } else if (path.find(kWinMacro) != std::string::npos) {
        const char *windows_directory = WindowsDirectoryValue();
        if (!windows_directory) return false;
        *target = ReplaceMacro(path, kWinMacro, windows_directory);
    } else {
        *target = Backslashed(path);
    }
    return target->size() <= package::kPathLimit;
}

// Offsets count from the payload origin; an entry must address bytes at or after offset 0
// of the restored copy, in order, within the 32-bit range of the format.
bool EntryRange(const package::FileEntry &entry, long long origin, long *from, long *to) {
    const long long first = entry.start + origin, last = entry.end + origin;
    if (first < 0 || last < first || last > 0x7FFFFFFFLL) return false;
    *from = static_cast<long>(first);
    *to = static_cast<long>(last);
    return true;
}

// Writes one entry; false when the entry itself is damaged.
bool ExtractEntry(const package::FileEntry &entry, long long origin, const std::string &temp_dir) {
    std::string target;
    long from = 0, to = 0;
    if (!EntryTargetPath(entry.path, temp_dir, &target) || !EntryRange(entry, origin, &from, &to))
        return false;
    char work[package::kPathLimit + 1];
    std::memcpy(work, target.c_str(), target.size() + 1);
    // An entry whose file cannot be created is passed over; running out of memory throws on
    // and fails the unpacking.
    nuvex_util::ParentsCreate(work);
    nuvex_util::CopyRange(g_restored_copy_path, work, from, to);
    return true;
}

}  // namespace

extern "C" {

int PackageUnpack(const char *package_path, char ***info_records) try {
    g_info.Reset();
    if (info_records) *info_records = nullptr;

    const std::string temp_dir = platform::TempDirectory();
    if (temp_dir.empty() || temp_dir.size() + 4 > kTempPathSize) return -1;
    std::snprintf(g_restored_copy_path, sizeof g_restored_copy_path, "%sxx1", temp_dir.c_str());
    const std::string header_copy = temp_dir + "xx2";

    if (!package_path || !PackageRestore(package_path, g_restored_copy_path)) return -1;
    const long long origin = package::PayloadOriginOfFile(g_restored_copy_path);
    if (origin < 0 || origin > 0x7FFFFFFFLL) return -1;

    std::string header_bytes;
    if (!ReadFileStart(g_restored_copy_path, static_cast<size_t>(origin), &header_bytes)) return -1;
    const bool copied = HeaderCopyWrite(header_copy, header_bytes);
    platform::FileRemove(header_copy.c_str());
    if (!copied) return -1;

    // Records are handled as they are read: file entries are written at once, in order.
    class Unpacker : public package::HeaderSink {
       public:
        Unpacker(long long origin, const std::string &temp_dir)
            : origin_(origin), temp_dir_(temp_dir) {}
        void SectionCount(long long) override {}
        void CountsValid() override { counts_valid = true; }
        void InfoRecord(std::string record) override { g_info.Add(record); }
        void List(package::ListRecord) override {}
        void File(package::FileEntry entry) override {
            if (!ExtractEntry(entry, origin_, temp_dir_)) whole = false;
        }
        void Problem(std::string) override { whole = false; }
        bool counts_valid = false;
        bool whole = true;

       private:
        long long origin_;
        const std::string &temp_dir_;
    } unpacker(origin, temp_dir);
    package::HeaderRead(header_bytes, unpacker);
    if (unpacker.counts_valid) {
        g_info.Close();
        if (info_records) *info_records = g_info.slots.data();
    }
    return unpacker.whole ? 1 : -1;
} catch (...) {
    g_info.Reset();  // records of a half-read header are not handed out
    return -1;
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
