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
#include "util/text.h"

namespace {

constexpr size_t kRecordSize = 255;
constexpr size_t kTempPathSize = 512;
constexpr char kTempMacro[] = "$temp_dir$";
constexpr char kTempMacroSearch[] = "$temp_dir$\\";
constexpr char kWinMacro[] = "$win_dir$";

char g_restored_copy_path[kTempPathSize];

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
    void Fill(const std::vector<std::string> &records) {
        for (const auto &record : records) {
            buffers.emplace_back(new char[kRecordSize]());
            std::strncpy(buffers.back().get(), record.c_str(), kRecordSize - 1);
            slots.push_back(buffers.back().get());
        }
        slots.push_back(nullptr);
        present = true;
    }
};
InfoRecords g_info;

bool ReadWholeFile(const char *path, std::string *bytes) {
    platform::Stream in(platform::StreamOpen(path, "rb"));
    if (!in) return false;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in.get())) > 0) bytes->append(chunk, got);
    return !std::ferror(in.get());
}

std::string ReplaceAll(const std::string &path, const char *search, const std::string &by) {
    std::string work = path;
    char *replaced = ec_StrReplace("sn", work.data(), search, by.c_str());
    std::string result = replaced ? replaced : "";
    std::free(replaced);
    return result;
}

// The path an entry is written to, after its macro; false when it cannot be formed.
bool EntryTargetPath(const std::string &path, const std::string &temp_dir, std::string *target) {
    if (path.find(kTempMacro) != std::string::npos) {
        *target = ReplaceAll(path, kTempMacroSearch, temp_dir);
    } else if (path.find(kWinMacro) != std::string::npos) {
        const char *windows_directory = WindowsDirectoryValue();
        if (!windows_directory) return false;
        *target = ReplaceAll(path, kWinMacro, windows_directory);
    } else {
        *target = path;
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
    PathToBackslashes(work);
    PathParentsCreate(work);
    // An entry whose file cannot be created is passed over.
    FileCopyRange(g_restored_copy_path, work, from, to);
    return true;
}

}  // namespace

extern "C" {

int PackageUnpack(const char *package_path, char ***info_records) {
    g_info.Reset();
    if (info_records) *info_records = nullptr;

    const std::string temp_dir = platform::TempDirectory();
    if (temp_dir.empty() || temp_dir.size() + 4 > kTempPathSize) return -1;
    std::snprintf(g_restored_copy_path, sizeof g_restored_copy_path, "%sxx1", temp_dir.c_str());
    const std::string header_copy = temp_dir + "xx2";

    if (!package_path || !PackageRestore(package_path, g_restored_copy_path)) return -1;
    const long long origin = package::PayloadOriginOfFile(g_restored_copy_path);
    if (origin < 0 || origin > 0x7FFFFFFFLL) return -1;
    FileCopyRange(g_restored_copy_path, header_copy.c_str(), 0, static_cast<long>(origin));

    std::string header_bytes;
    const bool header_read = ReadWholeFile(header_copy.c_str(), &header_bytes);
    platform::FileRemove(header_copy.c_str());
    if (!header_read) return -1;

    const package::Header header = package::HeaderParse(header_bytes);
    bool whole = !header.Damaged();
    if (header.counts_valid) {
        g_info.Fill(header.info_records);
        if (info_records) *info_records = g_info.slots.data();
    }
    for (const auto &entry : header.file_entries)
        if (!ExtractEntry(entry, origin, temp_dir)) whole = false;
    return whole ? 1 : -1;
}

char *PackageInfoValue(const char *key) {
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
}

const char *PackageRestoredCopyPath(void) {
    return g_restored_copy_path;
}

}  // extern "C"
