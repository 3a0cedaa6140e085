// The registry on Linux: a store of folders under the drive root. A key is a folder, each
// value a file "=<name>" holding its 4-byte type and its bytes. Names are kept in lower case,
// so they compare without regard to case, and encoded so that any name is a file name.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr long kSuccess = 0;
constexpr unsigned long kKeyQueryValue = 0x0001;
constexpr unsigned long kKeySetValue = 0x0002;
constexpr unsigned long kKeyCreateSubKey = 0x0004;
constexpr uintptr_t kFirstRoot = 0x80000000u;
constexpr uintptr_t kLastRoot = 0x80000006u;
const char *const kRootFolders[] = {
    "hkey_classes_root",     "hkey_current_user",   "hkey_local_machine", "hkey_users",
    "hkey_performance_data", "hkey_current_config", "hkey_dyn_data"};

struct OpenKey {
    std::string folder;
    unsigned long access;
};

bool IsRoot(RegistryKey key) {
    const auto value = reinterpret_cast<uintptr_t>(key);
    return value >= kFirstRoot && value <= kLastRoot;
}

std::string StoreRoot() {
    return DriveRoot() + "/registry";
}

std::string EncodedName(const char *name) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; ++p) {
        const unsigned char c = (*p >= 'A' && *p <= 'Z') ? *p + 32 : *p;
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' ||
            c == ' ') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    // "." and ".." would name the folder itself or its parent.
    if (out == "." || out == "..") out = std::string("%2e") + out.substr(1);
    return out;
}

bool KeyFolder(RegistryKey key, std::string *folder) {
    if (IsRoot(key)) {
        *folder = StoreRoot() + "/" + kRootFolders[reinterpret_cast<uintptr_t>(key) - kFirstRoot];
        return true;
    }
    if (!key) return false;
    *folder = static_cast<OpenKey *>(key)->folder;
    return true;
}

// Sub key components, separated by backslashes; empty components are passed over.
std::vector<std::string> SubkeyParts(const char *subkey) {
    std::vector<std::string> parts;
    std::string part;
    for (const char *p = subkey ? subkey : "";; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (!part.empty()) parts.push_back(EncodedName(part.c_str()));
            part.clear();
            if (*p == '\0') break;
        } else {
            part += *p;
        }
    }
    return parts;
}

bool IsFolder(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder without write bits stands for a key the caller may not write, also for root.
bool Writable(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) != 0 &&
           access(path.c_str(), W_OK) == 0;
}

bool WantsWrite(unsigned long access) {
    return access & (kKeySetValue | kKeyCreateSubKey);
}

RegistryKey NewKey(const std::string &folder, unsigned long access) {
    return new OpenKey{folder, access};
}

std::string ValuePath(const std::string &folder, const char *name) {
    return folder + "/=" + EncodedName(name ? name : "");
}

bool ReadAll(const std::string &path, std::string *bytes) {
    FILE *in = std::fopen(path.c_str(), "rb");
    if (!in) return false;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) bytes->append(chunk, got);
    const bool ok = !std::ferror(in);
    std::fclose(in);
    return ok;
}

// Written beside the value and renamed over it, so a reader sees the old or the new value.
bool WriteAtomically(const std::string &path, const std::string &bytes) {
    static std::atomic<unsigned> counter{0};
    const std::string temp =
        path + "#" + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
    FILE *out = std::fopen(temp.c_str(), "wb");
    if (!out) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (std::fclose(out) != 0 || !written || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

using DirOwner = std::unique_ptr<DIR, int (*)(DIR *)>;

bool HasSubfolder(const std::string &folder) {
    const DirOwner owner(opendir(folder.c_str()), &closedir);  // closed on a throw too
    DIR *dir = owner.get();
    if (!dir) return false;
    bool found = false;
    while (const dirent *item = readdir(dir)) {
        const std::string name = item->d_name;
        if (name != "." && name != ".." && IsFolder(folder + "/" + name)) found = true;
    }
    return found;
}

bool RemoveKeyFolder(const std::string &folder) {
    std::vector<std::string> files;
    {
        const DirOwner owner(opendir(folder.c_str()), &closedir);
        DIR *dir = owner.get();
        if (!dir) return false;
        while (const dirent *item = readdir(dir)) {
            const std::string name = item->d_name;
            if (name != "." && name != "..") files.push_back(folder + "/" + name);
        }
    }
    for (const auto &file : files) unlink(file.c_str());
    return rmdir(folder.c_str()) == 0;
}

std::string ParentFolder(const std::string &folder) {
    return folder.substr(0, folder.rfind('/'));
}

}  // namespace

long RegistryCreate(RegistryKey root, const char *subkey, const char *key_class,
                    unsigned long access, RegistryKey *key) {
    std::string folder;
    if (!key || !KeyFolder(root, &folder)) return kErrorInvalidHandle;
    if (IsRoot(root)) mkdir(StoreRoot().c_str(), 0777), mkdir(folder.c_str(), 0777);
    if (!IsFolder(folder)) return kErrorInvalidHandle;
    for (const auto &part : SubkeyParts(subkey)) {
        const std::string next = folder + "/" + part;
        if (!IsFolder(next)) {
            if (!Writable(folder)) return kErrorAccessDenied;
            if (mkdir(next.c_str(), 0777) != 0 && !IsFolder(next)) return kErrorAccessDenied;
            if (key_class && *key_class) WriteAtomically(next + "/#class", key_class);
        }
        folder = next;
    }
    if (WantsWrite(access) && !Writable(folder)) return kErrorAccessDenied;
    *key = NewKey(folder, access);
    return kSuccess;
}

long RegistryOpen(RegistryKey root, const char *subkey, unsigned long access, RegistryKey *key) {
    std::string folder;
    if (!key || !KeyFolder(root, &folder)) return kErrorInvalidHandle;
    for (const auto &part : SubkeyParts(subkey)) folder += "/" + part;
    if (!IsFolder(folder)) return kErrorFileNotFound;
    if (WantsWrite(access) && !Writable(folder)) return kErrorAccessDenied;
    *key = NewKey(folder, access);
    return kSuccess;
}

long RegistryQuery(RegistryKey key, const char *name, unsigned long *type, unsigned char *data,
                   unsigned long *size) {
    if (!key || IsRoot(key)) return kErrorInvalidHandle;
    const auto *open_key = static_cast<OpenKey *>(key);
    if (!(open_key->access & kKeyQueryValue)) return kErrorAccessDenied;
    std::string stored;
    if (!ReadAll(ValuePath(open_key->folder, name), &stored) || stored.size() < 4)
        return kErrorFileNotFound;
    uint32_t stored_type = 0;
    std::memcpy(&stored_type, stored.data(), 4);
    const unsigned long length = static_cast<unsigned long>(stored.size() - 4);
    if (type) *type = stored_type;
    if (!size) return data ? kErrorInvalidHandle : kSuccess;
    const unsigned long room = *size;
    *size = length;
    if (!data) return kSuccess;
    if (length > room) return kErrorMoreData;
    std::memcpy(data, stored.data() + 4, length);
    return kSuccess;
}

long RegistrySet(RegistryKey key, const char *name, unsigned long type, const unsigned char *data,
                 unsigned long size) {
    if (!key || IsRoot(key)) return kErrorInvalidHandle;
    const auto *open_key = static_cast<OpenKey *>(key);
    if (!(open_key->access & kKeySetValue) || !Writable(open_key->folder))
        return kErrorAccessDenied;
    const uint32_t stored_type = static_cast<uint32_t>(type);
    std::string bytes(reinterpret_cast<const char *>(&stored_type), 4);
    if (data) bytes.append(reinterpret_cast<const char *>(data), size);
    return WriteAtomically(ValuePath(open_key->folder, name), bytes) ? kSuccess
                                                                     : kErrorAccessDenied;
}

long RegistryDeleteValue(RegistryKey key, const char *name) {
    if (!key || IsRoot(key)) return kErrorInvalidHandle;
    const auto *open_key = static_cast<OpenKey *>(key);
    if (!(open_key->access & kKeySetValue) || !Writable(open_key->folder))
        return kErrorAccessDenied;
    const std::string path = ValuePath(open_key->folder, name);
    if (access(path.c_str(), F_OK) != 0) return kErrorFileNotFound;
    return unlink(path.c_str()) == 0 ? kSuccess : kErrorAccessDenied;
}

long RegistryDeleteKey(RegistryKey root, const char *subkey) {
    std::string folder;
    if (!KeyFolder(root, &folder)) return kErrorInvalidHandle;
    const auto parts = SubkeyParts(subkey);
    if (parts.empty()) return kErrorAccessDenied;
    for (const auto &part : parts) folder += "/" + part;
    if (!IsFolder(folder)) return kErrorFileNotFound;
    if (HasSubfolder(folder) || !Writable(ParentFolder(folder))) return kErrorAccessDenied;
    return RemoveKeyFolder(folder) ? kSuccess : kErrorAccessDenied;
}

long RegistryClose(RegistryKey key) {
    if (!key) return kErrorInvalidHandle;
    if (!IsRoot(key)) delete static_cast<OpenKey *>(key);
    return kSuccess;
}

}  // namespace platform
