// Shared pieces of the fuzz targets: the end of a request by ecError, standard output caught
// in memory, a reader over the input bytes and a scratch folder that is emptied every run.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "webreq/error.h"
#include "webreq/error_internal.h"

namespace fuzz {

// ecError ends a request, not the fuzzer: the hook unwinds to the target's catch.
struct RequestEnded {};
[[noreturn]] inline void EndRequest() {
    throw RequestEnded();
}
inline void EndHookInstall() {
    webreq::ErrorEndHookSet(EndRequest);
}

// Everything written to stdout between construction and Take() lands in memory.
class StdoutCapture {
   public:
    StdoutCapture() {
        stream_ = open_memstream(&buffer_, &length_);
        if (!stream_) std::abort();
        saved_ = stdout;
        stdout = stream_;
    }
    ~StdoutCapture() { Take(); }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // What was written so far; capturing goes on.
    std::string Peek() {
        std::fflush(stream_);
        return std::string(buffer_, length_);
    }
    // Ends capturing and gives back what was written.
    std::string Take() {
        if (!stream_) return taken_;
        std::fflush(stream_);
        stdout = saved_;
        std::fclose(stream_);
        stream_ = nullptr;
        taken_.assign(buffer_, length_);
        std::free(buffer_);
        buffer_ = nullptr;
        return taken_;
    }

   private:
    FILE *stream_ = nullptr;
    FILE *saved_ = nullptr;
    char *buffer_ = nullptr;
    size_t length_ = 0;
    std::string taken_;
};

// Hands out the input piece by piece; past the end everything is zero or empty.
class Input {
   public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    int Int(int low, int high) {
        const unsigned span = static_cast<unsigned>(high - low) + 1;
        const unsigned raw = static_cast<unsigned>(Byte()) << 8 | Byte();
        return low + static_cast<int>(raw % span);
    }
    // Bytes up to the next zero byte (consumed) or the end.
    std::string Text() {
        std::string out;
        while (at_ < size_ && data_[at_] != 0) out += static_cast<char>(data_[at_++]);
        if (at_ < size_) ++at_;
        return out;
    }
    std::string Rest() {
        std::string out(reinterpret_cast<const char *>(data_ + at_), size_ - at_);
        at_ = size_;
        return out;
    }
    bool Empty() const { return at_ >= size_; }

   private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// The scratch folders of this process, removed when it exits (not after a crash: the files
// then stay for a look).
inline std::vector<std::string> &ScratchFolders() {
    static std::vector<std::string> folders;
    return folders;
}
inline void ScratchRemoveAll() {
    std::error_code error;
    for (const auto &folder : ScratchFolders()) std::filesystem::remove_all(folder, error);
}

// A folder of its own, in memory where the system offers it (the targets create and delete
// files on every run), resolved so that no link lies in its path. After a crash it stays.
inline std::string ScratchCreate(const char *label) {
    const char *tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/tmp";
    if (access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    // A runner that removes its own folder afterwards (scripts/fuzz.sh) names it here.
    if (const char *own = std::getenv("NUVEX_FUZZ_SCRATCH"); own && *own) base = own;
    std::string pattern = base + "/nuvex-fuzz-" + label + "-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    std::error_code error;
    const auto real = std::filesystem::canonical(pattern, error);
    if (error) std::abort();
    if (ScratchFolders().empty()) std::atexit(ScratchRemoveAll);
    ScratchFolders().push_back(real.string());
    return real.string();
}

// Empties a folder without following links inside it, and makes it again.
inline void ScratchReset(const std::string &folder) {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    std::filesystem::create_directories(folder, error);
    if (error) std::abort();
}

inline bool WriteFile(const std::string &path, const std::string &bytes) {
    FILE *out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written;
}

// A property failed: say which, then crash so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char *what, const std::string &detail = std::string()) {
    std::fprintf(stderr, "property failed: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace fuzz
