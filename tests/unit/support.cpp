#include "tests/unit/support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#endif

#include "installer/package.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace testsupport {

namespace {

constexpr char kSandboxVariable[] = "NUVEX_TEST_SANDBOX";

std::string &SandboxRoot() {
    static std::string root;
    return root;
}

// A death test on Windows runs the test again in a new process; folder names are derived
// from the test's name so that both processes agree on them.
std::string NextFolderName() {
    static std::string current_test;
    static int counter = 0;
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string test =
        info ? std::string(info->test_suite_name()) + "." + info->name() : std::string("global");
    if (test != current_test) {
        current_test = test;
        counter = 0;
    }
    return test + "." + std::to_string(counter++);
}

// Creates the sandbox (or joins the parent's, in a death-test child). True when created.
bool SandboxEnter() {
    if (const char *inherited = platform::EnvGet(kSandboxVariable); inherited && *inherited) {
        SandboxRoot() = inherited;
        return false;
    }
    std::random_device random;
    const fs::path root =
        fs::temp_directory_path() / ("nuvex-unit-test-sandbox-" + std::to_string(random()));
    fs::create_directories(root / "tmp");
    fs::create_directories(root / "drives" / "c");
    SandboxRoot() = root.string();
    platform::EnvSet(kSandboxVariable, SandboxRoot().c_str());
    const std::string temp = (root / "tmp").string();
#ifdef _WIN32
    platform::EnvSet("TMP", temp.c_str());
    platform::EnvSet("TEMP", temp.c_str());
#else
    platform::EnvSet("TMPDIR", temp.c_str());
    platform::EnvSet("NUVEX_DRIVE_ROOT", (root / "drives").string().c_str());
#endif
    return true;
}

}  // namespace

TempFolder::TempFolder() {
    root_ = (fs::path(SandboxRoot()) / NextFolderName()).string();
    fs::create_directories(root_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string TempFolder::Path(const std::string &name) const {
    return root_ + Separator() + name;
}

CurrentFolder::CurrentFolder(const std::string &folder) {
    previous_ = fs::current_path().string();
    fs::current_path(folder);
}

CurrentFolder::~CurrentFolder() {
    fs::current_path(previous_);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string &path) {
    return fs::exists(path);
}

void WritePackageBytes(const std::string &path, const std::string &restored) {
    std::string bytes = restored;
    package::InvertBytes(bytes.data(), bytes.size());
    WriteFile(path, bytes);
}

StdoutCapture::StdoutCapture() : path_(folder_.Path("stdout")) {
    std::fflush(stdout);
    saved_fd_ = dup(fileno(stdout));
    FILE *file = std::fopen(path_.c_str(), "wb");
    if (!file) std::abort();
    dup2(fileno(file), fileno(stdout));
    std::fclose(file);
#ifdef _WIN32
    _setmode(fileno(stdout), _O_BINARY);
#endif
}

StdoutCapture::~StdoutCapture() {
    Text();
}

std::string StdoutCapture::Text() {
    if (done_) return text_;
    done_ = true;
    std::fflush(stdout);
    dup2(saved_fd_, fileno(stdout));
    close(saved_fd_);
#ifdef _WIN32
    _setmode(fileno(stdout), _O_TEXT);
#endif
    text_ = ReadFile(path_);
    return text_;
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = platform::EnvGet(name)) {
        had_ = true;
        saved_ = old;
    }
    platform::EnvSet(name, value);
}

ScopedEnv::~ScopedEnv() {
    platform::EnvSet(name_.c_str(), had_ ? saved_.c_str() : nullptr);
}

void CaptureStdoutTo(const std::string &path) {
    std::fflush(stdout);
    if (!std::freopen(path.c_str(), "wb", stdout)) std::abort();
}

#ifndef _WIN32
void LimitFileSize(long long bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    setrlimit(RLIMIT_FSIZE, &limit);
}
#endif

std::string SandboxTemp() {
    return (fs::path(SandboxRoot()) / "tmp").string() + Separator();
}

char Separator() {
#ifdef _WIN32
    return '\\';
#else
    return '/';
#endif
}

}  // namespace testsupport

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const bool owner = testsupport::SandboxEnter();
    const int result = RUN_ALL_TESTS();
    if (owner) {
        std::error_code ignored;
        fs::remove_all(testsupport::SandboxRoot(), ignored);
    }
    return result;
}
