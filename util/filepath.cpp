#include "util/filepath.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "util/filepath_internal.h"

namespace {

constexpr size_t kPathDirectorySize = 260;
constexpr size_t kDirectoryPrefixLimit = 255;
constexpr long long kLargestFileSize = INT32_MAX;

std::string &WindowsDirectory() {
    static std::string value;
    return value;
}
bool g_windows_directory_set = false;

// Bytes that a read from start can actually yield, so a range reaching far past the end of
// the source never asks for a buffer larger than the file.
long long ReadableBytes(FILE *source, long start, long end) {
    long long wanted = static_cast<long long>(end) - start;
    if (std::fseek(source, 0, SEEK_END) != 0) return wanted;
    long long size = std::ftell(source);
    long long available = size - start;
    if (available < 0) available = 0;
    return wanted < available ? wanted : available;
}

// Copies through one reused block: a fresh buffer of the whole range costs a page fault per
// page, which dominates the copy on large files.
bool StreamCopy(FILE *in, FILE *out, long long count) {
    constexpr size_t kBlock = 1 << 20;
    thread_local std::vector<char> block(kBlock);
    while (count > 0) {
        const size_t want =
            count < static_cast<long long>(kBlock) ? static_cast<size_t>(count) : kBlock;
        const size_t got = std::fread(block.data(), 1, want, in);
        if (got > 0 && std::fwrite(block.data(), 1, got, out) != got) return false;
        if (got < want) return !std::ferror(in);
        count -= static_cast<long long>(got);
    }
    return true;
}

}  // namespace

namespace nuvex_util {

int CopyRange(const char *source, const char *destination, long start, long end) {
    if (!source || !destination || end < start) return 0;
    platform::Stream in(platform::StreamOpen(source, "rb"));
    if (!in) return 0;
    platform::Stream out(platform::StreamOpen(destination, "wb"));
    if (!out) return 0;

    const long long count = start < 0 ? 0 : ReadableBytes(in.get(), start, end);
    if (std::fseek(in.get(), start, SEEK_SET) != 0) std::exit(1);

    const bool copied = StreamCopy(in.get(), out.get(), count);
    const bool closed = std::fclose(out.release()) == 0;
    return (copied && closed) ? 1 : 0;
}

int DirectoriesCreate(const char *directory) {
    if (!directory || std::strlen(directory) > kDirectoryPrefixLimit) return -1;
    std::string prefix;
    for (size_t i = 0; directory[i]; ++i) {
        const char ch = directory[i];
        if (ch == '\\' && i > 0 && directory[i - 1] != ':')
            platform::DirectoryCreate(prefix.c_str());
        prefix += ch;
    }
    return platform::DirectoryCreate(directory);
}

int ParentsCreate(const char *path) {
    const char *last = path ? std::strrchr(path, '\\') : nullptr;
    if (!last) return 1;
    // The part before the last '\\', as PathDirectory gives it: nothing when it does not fit.
    const size_t length = static_cast<size_t>(last - path);
    if (length >= kPathDirectorySize) return 1;
    DirectoriesCreate(std::string(path, length).c_str());
    return 1;
}

}  // namespace nuvex_util

extern "C" {

long FileSize(const char *path) try {
    long long size = 0;
    if (!path || !platform::FileStatSize(path, &size) || size > kLargestFileSize) return -1;
    return static_cast<long>(size);
} catch (...) {
    return -1;
}

int FileCopyRange(const char *source, const char *destination, long start, long end) try {
    return nuvex_util::CopyRange(source, destination, start, end);
} catch (...) {
    return 0;
}

char *PathToBackslashes(char *path) {
    if (!path) return nullptr;
    for (char *p = path; *p; ++p)
        if (*p == '/') *p = '\\';
    return path;
}

char *PathDirectory(const char *path) {
    if (!path) return nullptr;
    const char *last = std::strrchr(path, '\\');
    if (!last) return nullptr;
    const size_t length = static_cast<size_t>(last - path);
    if (length >= kPathDirectorySize) return nullptr;
    char *directory = static_cast<char *>(std::calloc(kPathDirectorySize, 1));
    if (!directory) return nullptr;
    std::memcpy(directory, path, length);
    return directory;
}

int DirectoryPathCreate(const char *directory) try {
    return nuvex_util::DirectoriesCreate(directory);
} catch (...) {
    return -1;
}

int PathParentsCreate(const char *path) try {
    return nuvex_util::ParentsCreate(path);
} catch (...) {
    return 1;
}

const char *WindowsDirectoryValue(void) {
    return g_windows_directory_set ? WindowsDirectory().c_str() : nullptr;
}

void WindowsDirectorySet(const char *value) try {
    // The copy first: when it cannot be made, the value stays as it was.
    WindowsDirectory() = value ? value : "";
    g_windows_directory_set = value != nullptr;
} catch (...) {
}

}  // extern "C"
