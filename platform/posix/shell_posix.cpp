// Shell links written in the binary shell link format, and process start with posix_spawn.
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

extern char **environ;

namespace platform {

struct ShellLink {
    std::string target;
    std::string icon;
    int icon_index = 0;
    bool has_icon = false;
    std::string working_directory;
    std::string description;
};

namespace {

// The shell link object's class identifier, in its on-disk byte order.
constexpr uint8_t kLinkClassId[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint32_t kHeaderSize = 0x4C;
constexpr uint32_t kHasLinkInfo = 0x02;
constexpr uint32_t kHasName = 0x04;
constexpr uint32_t kHasWorkingDir = 0x10;
constexpr uint32_t kHasIconLocation = 0x40;
constexpr uint32_t kShowNormal = 1;
constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kVolumeIdAndLocalBasePath = 1;
constexpr size_t kStringLimit = 0xFFFF;

class Bytes {
   public:
    void U16(uint16_t v) { Raw(&v, 2); }
    void U32(uint32_t v) { Raw(&v, 4); }
    void U64(uint64_t v) { Raw(&v, 8); }
    void Raw(const void *data, size_t size) { out_.append(static_cast<const char *>(data), size); }
    void Text(const std::string &text) { out_ += text; }
    // StringData entry: a count of characters, then the characters without a terminator.
    void CountedText(const std::string &text) {
        U16(static_cast<uint16_t>(text.size()));
        out_ += text;
    }
    const std::string &str() const { return out_; }

   private:
    std::string out_;  // little-endian machine order assumed, as on every Linux target here
};

std::string LinkInfo(const std::string &target) {
    constexpr uint32_t kInfoHeaderSize = 0x1C;
    constexpr uint32_t kVolumeIdSize = 0x11;  // fields and an empty label
    const uint32_t local_base_path = kInfoHeaderSize + kVolumeIdSize;
    const uint32_t suffix = local_base_path + static_cast<uint32_t>(target.size()) + 1;
    Bytes info;
    info.U32(suffix + 1);  // LinkInfoSize
    info.U32(kInfoHeaderSize);
    info.U32(kVolumeIdAndLocalBasePath);
    info.U32(kInfoHeaderSize);  // VolumeIDOffset
    info.U32(local_base_path);
    info.U32(0);  // CommonNetworkRelativeLinkOffset
    info.U32(suffix);
    info.U32(kVolumeIdSize);
    info.U32(kDriveFixed);
    info.U32(0);     // serial number
    info.U32(0x10);  // VolumeLabelOffset
    info.Raw("", 1);
    info.Raw(target.c_str(), target.size() + 1);
    info.Raw("", 1);  // CommonPathSuffix
    return info.str();
}

std::string LinkFile(const ShellLink &link) {
    uint32_t flags = kHasLinkInfo | kHasWorkingDir;
    if (!link.description.empty()) flags |= kHasName;
    if (link.has_icon) flags |= kHasIconLocation;
    Bytes file;
    file.U32(kHeaderSize);
    file.Raw(kLinkClassId, sizeof kLinkClassId);
    file.U32(flags);
    file.U32(0);                            // file attributes
    file.U64(0), file.U64(0), file.U64(0);  // creation, access, write times
    file.U32(0);                            // target size
    file.U32(static_cast<uint32_t>(link.icon_index));
    file.U32(kShowNormal);
    file.U16(0);                            // hot key
    file.U16(0), file.U32(0), file.U32(0);  // reserved
    file.Text(LinkInfo(link.target));
    if (flags & kHasName) file.CountedText(link.description);
    file.CountedText(link.working_directory);
    if (flags & kHasIconLocation) file.CountedText(link.icon);
    file.U32(0);  // terminal block
    return file.str();
}

bool Fits(const char *text) {
    return text && std::strlen(text) < kStringLimit;
}

// The program and its arguments of a command line: blanks separate, double quotes group.
std::vector<std::string> CommandWords(const char *command_line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, in_word = false;
    for (const char *p = command_line; *p; ++p) {
        if (*p == '"') {
            quoted = !quoted;
            in_word = true;
        } else if ((*p == ' ' || *p == '\t') && !quoted) {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += *p;
            in_word = true;
        }
    }
    if (in_word) words.push_back(word);
    return words;
}

bool Spawn(const std::string &program, const std::vector<std::string> &arguments) {
    std::vector<char *> argv;
    for (const auto &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    return posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) == 0;
}

}  // namespace

ShellLink *ShellLinkCreate(ShellLinkStart *start) {
    if (start) *start = ShellLinkStart::kCreated;
    return new ShellLink;
}

bool ShellLinkSetPath(ShellLink *link, const char *target) {
    if (!link || !Fits(target) || !*target) return false;
    link->target = target;
    return true;
}

bool ShellLinkSetIconLocation(ShellLink *link, const char *icon, int index) {
    if (!link || !Fits(icon)) return false;
    link->icon = icon;
    link->icon_index = index;
    link->has_icon = true;
    return true;
}

bool ShellLinkSetWorkingDirectory(ShellLink *link, const char *directory) {
    if (!link || !Fits(directory)) return false;
    link->working_directory = directory;
    return true;
}

bool ShellLinkSetDescription(ShellLink *link, const char *description) {
    if (!link || !Fits(description)) return false;
    link->description = description;
    return true;
}

bool ShellLinkSave(ShellLink *link, const char *path) {
    if (!link || !path || link->target.empty()) return false;
    const std::string bytes = LinkFile(*link);
    FILE *out = StreamOpen(path, "wb");
    if (!out) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return (std::fclose(out) == 0) && written;
}

void ShellLinkRelease(ShellLink *link) {
    delete link;
}

bool ProcessStart(const char *program, const std::vector<std::string> &arguments) {
    return program && Spawn(NativePath(program), arguments);
}

bool CommandStart(const char *command_line, int) {
    if (!command_line) return false;
    std::vector<std::string> words = CommandWords(command_line);
    if (words.empty()) return false;
    return Spawn(NativePath(words[0].c_str()), words);
}

bool LongPathName(const char *path, char *buffer, size_t size) {
    struct stat st;
    if (!path || stat(NativePath(path).c_str(), &st) != 0 || std::strlen(path) >= size)
        return false;
    std::memcpy(buffer, path, std::strlen(path) + 1);
    return true;
}

}  // namespace platform
