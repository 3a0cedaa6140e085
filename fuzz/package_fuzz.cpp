// Any package through the whole unpacking: restore, header copy, records, macro replacement,
// range checks and the file writes, into a scratch drive root (NUVEX_DRIVE_ROOT) with its own
// temporary folder (TMPDIR) and current folder, emptied before every run.
//
// Input: the first byte picks the Windows directory value; the rest is the package in its
// restored form (the target stores it bit-inverted as the installer expects it).
//
// The fuzzer must not write outside its scratch tree, so a package whose entries could leave
// it is not unpacked: a path holding "..", one rooted at a slash or backslash, and "$win_dir$"
// while the Windows directory is empty. On the Linux stand-in these reach the real file
// system today; the unit tests, not this target, cover how they are mapped.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz/harness.h"
#include "installer/package.h"
#include "installer/unpack.h"
#include "util/filepath.h"

namespace {

namespace fs = std::filesystem;

std::string g_scratch, g_drives, g_temp, g_work, g_package, g_home;

const char *const kWindowsDirectories[] = {"c:\\windows", "C:\\WINDOWS\\", "d:\\win dir", "",
                                           nullptr};

bool MayLeaveScratch(const std::string &path, const char *windows_directory) {
    if (path.empty()) return false;
    if (path.find("..") != std::string::npos) return true;
    if (path[0] == '\\' || path[0] == '/') return true;
    const bool win_macro =
        path.find("$win_dir$") != std::string::npos && path.find("$temp_dir$") == std::string::npos;
    return win_macro && (!windows_directory || !*windows_directory);
}

std::string Inverted(std::string bytes) {
    for (char &ch : bytes) ch = static_cast<char>(~static_cast<unsigned char>(ch));
    return bytes;
}

std::string ReadAll(const std::string &path) {
    std::string bytes;
    FILE *in = std::fopen(path.c_str(), "rb");
    if (!in) return bytes;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) bytes.append(chunk, got);
    std::fclose(in);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_home = std::filesystem::current_path().string();  // libFuzzer's paths may be relative
    g_scratch = fuzz::ScratchCreate("package");
    g_drives = g_scratch + "/drives";
    g_temp = g_drives + "/c/Temp";
    g_work = g_drives + "/c/work";
    g_package = g_scratch + "/cab1.rpm";
    setenv("NUVEX_DRIVE_ROOT", g_drives.c_str(), 1);
    setenv("TMPDIR", g_temp.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const char *windows_directory =
        kWindowsDirectories[data[0] % (sizeof kWindowsDirectories / sizeof kWindowsDirectories[0])];
    const std::string restored(reinterpret_cast<const char *>(data + 1), size - 1);

    const long long origin = package::PayloadOriginOf(restored);
    const package::Header header =
        package::HeaderParse(std::string_view(restored).substr(0, static_cast<size_t>(origin)));
    for (const auto &entry : header.file_entries)
        if (MayLeaveScratch(entry.path, windows_directory)) return -1;  // not kept in the corpus

    fuzz::ScratchReset(g_drives);
    fs::create_directories(g_temp);
    fs::create_directories(g_work);
    if (chdir(g_work.c_str()) != 0) std::abort();
    if (!fuzz::WriteFile(g_package, Inverted(restored))) std::abort();
    WindowsDirectorySet(windows_directory);

    char **records = nullptr;
    const int result = PackageUnpack(g_package.c_str(), &records);
    if (chdir(g_home.c_str()) != 0) std::abort();
    if (result != 1 && result != -1) fuzz::Fail("unpacking result", std::to_string(result));
    if (result == 1 && header.Damaged()) fuzz::Fail("a damaged header unpacked as whole");
    char line[61];
    if ((result == -1) != (PackageFailureLine(line, sizeof line) > 0))
        fuzz::Fail("the failure line does not match the result");
    PackageUnpackRelease();

    // The restored copy stays and is the package restored; the header copy is gone.
    if (ReadAll(g_temp + "/xx1") != restored) fuzz::Fail("restored copy differs from the package");
    if (fs::exists(g_temp + "/xx2")) fuzz::Fail("header copy left behind");

    if (records) {
        size_t count = 0;
        for (; records[count]; ++count)
            if (std::strlen(records[count]) > package::kTokenLimit)
                fuzz::Fail("info record longer than its slot");
        // Only the first two records are kept: they are the only ones ever searched.
        const size_t kept = std::min<size_t>(header.info_records.size(), 2);
        if (count != kept) fuzz::Fail("info records lost or made up");
        for (size_t i = 0; i < count; ++i)
            if (std::strcmp(header.info_records[i].c_str(), records[i]) != 0)  // as C texts
                fuzz::Fail("info record changed");
    }
    if (char *name = PackageInfoValue("appname")) {
        if (std::strlen(name) > package::kTokenLimit) fuzz::Fail("application name too long");
        std::free(name);
    }

    if (fs::exists(g_temp + "/xx.journal")) fuzz::Fail("journal left behind");

    // Every file written holds payload bytes only: never more than the package has, and no
    // more files than the package has entries; a failed unpacking writes none. The lock file
    // stays, empty.
    size_t files = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(g_drives, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_symlink()) fuzz::Fail("a link in the unpacked tree", it->path().string());
        if (!it->is_regular_file() || it->path() == fs::path(g_temp + "/xx1")) continue;
        if (it->path() == fs::path(g_temp + "/xx.lock") && it->file_size() == 0) continue;
        ++files;
        if (it->file_size() > restored.size())
            fuzz::Fail("a file larger than the package", it->path().string());
    }
    if (files > header.file_entries.size()) fuzz::Fail("more files than entries");
    if (result == -1 && files > 0) fuzz::Fail("a failed unpacking left files");
    return 0;
}
