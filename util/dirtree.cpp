#include "util/dirtree.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "platform/platform.h"
#include "util/fileio.h"

namespace {

constexpr size_t kPathLimit = 259;  // 260-byte path buffers
constexpr size_t kListLineSize = 512;

enum class Step { kContinue, kStop };
using EntryHandler =
    std::function<Step(const std::string &entry_path, const platform::SearchEntry &entry)>;

class Search {
   public:
    Search(const std::string &pattern, platform::SearchDetail detail)
        : handle_(platform::SearchFirst(pattern.c_str(), &entry_, detail)) {}
    ~Search() {
        if (handle_) platform::SearchClose(handle_);
    }
    Search(const Search &) = delete;
    Search &operator=(const Search &) = delete;
    bool started() const { return handle_ != nullptr; }
    const platform::SearchEntry &entry() const { return entry_; }
    bool Next() { return platform::SearchNext(handle_, &entry_); }

   private:
    platform::SearchEntry entry_;
    platform::SearchHandle handle_;
};

// Walks the entries of one folder in search order. Every result is examined, the first one
// too (at a drive root it is a real entry, not "."); dot entries are skipped by name.
bool WalkFolder(const std::string &path, platform::SearchDetail detail,
                const EntryHandler &handle) {
    const std::string prefix = path + "\\";
    const std::string pattern = prefix + "*";
    if (pattern.size() > kPathLimit) return false;
    Search search(pattern, detail);
    if (!search.started()) return false;
    do {
        const platform::SearchEntry &entry = search.entry();
        if (IsDotEntry(entry.name.c_str())) continue;
        const std::string entry_path = prefix + entry.name;
        if (entry_path.size() > kPathLimit) return false;
        if (handle(entry_path, entry) == Step::kStop) return false;
    } while (search.Next());
    return platform::LastError() == platform::kErrorNoMoreFiles;
}

}  // namespace

extern "C" {

int IsDotEntry(const char *name) {
    return name && (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0);
}

int DirDelete(const char *path) try {
    // As PathExists, but a failed allocation is a failure here, not a missing path.
    if (!path || !Search(path, platform::SearchDetail::kKind).started()) return -1;
    return DirDeleteRecursive(path);
} catch (...) {
    return 0;
}

int DirDeleteRecursive(const char *path) try {
    if (!path) return 0;
    const bool walked = WalkFolder(
        path, platform::SearchDetail::kKindAndReadOnly,
        [](const std::string &entry_path, const platform::SearchEntry &entry) {
            // A link goes as itself; what it points to lies outside the tree.
            if (entry.link)
                return platform::LinkRemove(entry_path.c_str()) ? Step::kContinue : Step::kStop;
            if (entry.directory) {
                platform::ReadOnlyClear(entry_path.c_str());
                if (!DirDeleteRecursive(entry_path.c_str())) return Step::kStop;
                platform::DirectoryRemove(entry_path.c_str());
                return Step::kContinue;
            }
            if (entry.read_only) platform::ReadOnlyClear(entry_path.c_str());
            return platform::FileRemove(entry_path.c_str()) == 0 ? Step::kContinue : Step::kStop;
        });
    if (!walked) return 0;
    return platform::DirectoryRemove(path) ? 1 : 0;
} catch (...) {
    return 0;
}

int DirCount(const char *path, int *directories, int *files) try {
    if (!path || !directories || !files) return 0;
    return WalkFolder(path, platform::SearchDetail::kKind,
                      [&](const std::string &entry_path, const platform::SearchEntry &entry) {
                          // A link to a folder is counted as an entry, never walked.
                          if (!entry.directory || entry.link) {
                              ++*files;
                              return Step::kContinue;
                          }
                          ++*directories;
                          return DirCount(entry_path.c_str(), directories, files) ? Step::kContinue
                                                                                  : Step::kStop;
                      })
               ? 1
               : 0;
} catch (...) {
    return 0;
}

int DirList(const char *path, FILE *stream) try {
    if (!path || !stream) return 0;
    return WalkFolder(path, platform::SearchDetail::kKind,
                      [&](const std::string &entry_path, const platform::SearchEntry &entry) {
                          if (entry.directory && !entry.link)
                              return DirList(entry_path.c_str(), stream) ? Step::kContinue
                                                                         : Step::kStop;
                          char line[kListLineSize];
                          const int length = std::snprintf(line, sizeof line, "%s=%s\n",
                                                           entry_path.c_str(), entry_path.c_str());
                          if (length < 0 || static_cast<size_t>(length) >= sizeof line)
                              return Step::kStop;
                          std::fwrite(line, 1, static_cast<size_t>(length), stream);
                          return Step::kContinue;
                      })
               ? 1
               : 0;
} catch (...) {
    return 0;
}

}  // extern "C"
