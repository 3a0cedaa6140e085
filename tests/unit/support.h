// Shared helpers of the unit tests: a sandbox for every run, temporary folders, files.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

namespace testsupport {

// A malloc'd result of the library, freed with free.
struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using Owned = std::unique_ptr<char, FreeDeleter>;

// A new empty folder, removed with everything in it when the object goes.
class TempFolder {
   public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    // Path of a name inside the folder, with the platform's separator.
    std::string Path(const std::string &name) const;
    const std::string &Root() const { return root_; }

   private:
    std::string root_;
};

// Makes the folder the current one for the object's lifetime.
class CurrentFolder {
   public:
    explicit CurrentFolder(const std::string &folder);
    ~CurrentFolder();

   private:
    std::string previous_;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
bool Exists(const std::string &path);

// The restored form written scrambled, as a package file.
void WritePackageBytes(const std::string &path, const std::string &restored);

// Collects what the process writes on standard output between construction and Text(),
// byte for byte (no newline translation on Windows).
class StdoutCapture {
   public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    // Ends the capture (once) and returns what was written.
    std::string Text();

   private:
    TempFolder folder_;
    std::string path_;
    int saved_fd_ = -1;
    bool done_ = false;
    std::string text_;
};

// Sets or (null) removes an environment variable for the object's lifetime.
class ScopedEnv {
   public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();

   private:
    std::string name_;
    std::string saved_;
    bool had_ = false;
};

// Sends the rest of the process's standard output into a file (for death tests).
void CaptureStdoutTo(const std::string &path);

#ifndef _WIN32
// Makes the process's writes past the size fail as on a full disk (EFBIG, no signal); for a
// death test's child.
void LimitFileSize(long long bytes);
#endif

// The temporary folder that the library sees during the tests (ends with a separator).
std::string SandboxTemp();
// The platform's folder separator.
char Separator();

}  // namespace testsupport
