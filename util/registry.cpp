#include "util/registry.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr unsigned long kKeyAllAccess = 0xF003F;
constexpr unsigned long kKeyWrite = 0x20006;
constexpr unsigned long kKeyQueryValue = 0x0001;
constexpr unsigned long kKeySetValue = 0x0002;
constexpr long kSuccess = 0;
constexpr size_t kStringSize = 512;

// Closes the key on every path, also when the write that follows the open fails.
class Key {
   public:
    Key() = default;
    ~Key() {
        if (key_) platform::RegistryClose(key_);
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    bool Create(RegistryRoot root, const char *subkey, const char *key_class,
                unsigned long access) {
        return platform::RegistryCreate(root, subkey, key_class, access, &key_) == kSuccess;
    }
    bool Open(RegistryRoot root, const char *subkey, unsigned long access) {
        return platform::RegistryOpen(root, subkey, access, &key_) == kSuccess;
    }
    platform::RegistryKey get() const { return key_; }

   private:
    platform::RegistryKey key_ = nullptr;
};

const unsigned char *Bytes(const void *data) {
    return static_cast<const unsigned char *>(data);
}

unsigned long StringLength(const char *data) {
    return data ? static_cast<unsigned long>(std::strlen(data)) : 0;
}

// Sets the value; on failure the error code becomes the last error when asked to.
int SetValue(const Key &key, const char *name, unsigned long type, const void *data,
             unsigned long size, bool report) {
    const long result = platform::RegistrySet(key.get(), name, type, Bytes(data), size);
    if (result == kSuccess) return 1;
    if (report) platform::LastErrorSet(static_cast<unsigned long>(result));
    return 0;
}

// Reads a value of at most 4 bytes into four; the error code becomes the last error.
int SmallValueGet(RegistryRoot root, const char *subkey, const char *name, unsigned char *four) {
    Key key;
    if (!key.Open(root, subkey, kKeyQueryValue)) return 0;
    unsigned long type = 0, size = 4;
    const long result = platform::RegistryQuery(key.get(), name, &type, four, &size);
    if (result != kSuccess) {
        platform::LastErrorSet(static_cast<unsigned long>(result));
        return 0;
    }
    return 1;
}

}  // namespace

extern "C" {

RegistryRoot RegRootByName(const char *root_name) {
    if (!root_name) return nullptr;
    // Searched in this order, each one found replacing the choice before it.
    const struct {
        const char *name;
        RegistryRoot root;
    } kRoots[] = {{"HKEY_CLASSES_ROOT", NUVEX_HKEY_CLASSES_ROOT},
                  {"HKEY_CURRENT_CONFIG", NUVEX_HKEY_CURRENT_CONFIG},
                  {"HKEY_LOCAL_MACHINE", NUVEX_HKEY_LOCAL_MACHINE},
                  {"HKEY_CURRENT_USER", NUVEX_HKEY_CURRENT_USER},
                  {"HKEY_USERS", NUVEX_HKEY_USERS}};
    RegistryRoot chosen = nullptr;
    for (const auto &root : kRoots)
        if (std::strstr(root_name, root.name)) chosen = root.root;
    return chosen;
}

int RegValueSet(RegistryRoot root, const char *subkey, const char *name, const char *data,
                unsigned long type) try {
    Key key;
    if (!key.Create(root, subkey, nullptr, kKeyAllAccess)) return 0;
    return SetValue(key, name, type, data, StringLength(data), false);
} catch (...) {
    return 0;
}

int RegValueSetByName(const char *root_name, const char *subkey, const char *name, const char *data,
                      unsigned long type) try {
    RegistryRoot root = RegRootByName(root_name);
    return root ? RegValueSet(root, subkey, name, data, type) : 0;
} catch (...) {
    return 0;
}

int RegValueUpdate(RegistryRoot root, const char *subkey, const char *name, const char *data,
                   unsigned long type) try {
    Key key;
    if (!key.Open(root, subkey, kKeyAllAccess)) return 0;
    return SetValue(key, name, type, data, StringLength(data), false);
} catch (...) {
    return 0;
}

int RegValueUpdateByName(const char *root_name, const char *subkey, const char *name,
                         const char *data, unsigned long type) try {
    RegistryRoot root = RegRootByName(root_name);
    return root ? RegValueUpdate(root, subkey, name, data, type) : 0;
} catch (...) {
    return 0;
}

char *RegStringGet(RegistryRoot root, const char *subkey, const char *name) try {
    std::unique_ptr<char, decltype(&std::free)> result(
        static_cast<char *>(std::calloc(kStringSize, 1)), &std::free);
    if (!result) return nullptr;
    Key key;
    unsigned long type = 0, size = kStringSize;
    if (!key.Open(root, subkey, kKeyAllAccess) ||
        platform::RegistryQuery(key.get(), name, &type,
                                reinterpret_cast<unsigned char *>(result.get()), &size) != kSuccess)
        return nullptr;
    return result.release();
} catch (...) {
    return nullptr;
}

char *RegStringGetByName(const char *root_name, const char *subkey, const char *name) try {
    RegistryRoot root = RegRootByName(root_name);
    return root ? RegStringGet(root, subkey, name) : nullptr;
} catch (...) {
    return nullptr;
}

int RegBinarySet(RegistryRoot root, const char *subkey, const char *name, const void *data,
                 unsigned long size) try {
    Key key;
    if (!key.Create(root, subkey, "REG_BINARY", kKeyWrite)) return 0;
    return SetValue(key, name, NUVEX_REG_BINARY, data, size, true);
} catch (...) {
    return 0;
}

int RegDwordSet(RegistryRoot root, const char *subkey, const char *name, uint32_t value) try {
    Key key;
    if (!key.Create(root, subkey, "REG_DWORD", kKeyWrite)) return 0;
    return SetValue(key, name, NUVEX_REG_DWORD, &value, sizeof value, true);
} catch (...) {
    return 0;
}

int RegBinaryGet(RegistryRoot root, const char *subkey, const char *name, void *buffer) try {
    if (!buffer) return 0;
    return SmallValueGet(root, subkey, name, static_cast<unsigned char *>(buffer));
} catch (...) {
    return 0;
}

int RegDwordGet(RegistryRoot root, const char *subkey, const char *name, uint16_t *value) try {
    uint32_t number = 0;
    if (!value || !SmallValueGet(root, subkey, name, reinterpret_cast<unsigned char *>(&number)))
        return 0;
    *value = static_cast<uint16_t>(number & 0xFFFFu);
    return 1;
} catch (...) {
    return 0;
}

int RegValueDelete(RegistryRoot root, const char *subkey, const char *name) try {
    Key key;
    if (!key.Open(root, subkey, kKeySetValue)) return 0;
    const long result = platform::RegistryDeleteValue(key.get(), name);
    if (result == kSuccess) return 1;
    platform::LastErrorSet(static_cast<unsigned long>(result));
    return 0;
} catch (...) {
    return 0;
}

int RegKeyDelete(RegistryRoot root, const char *subkey) try {
    return platform::RegistryDeleteKey(root, subkey) == kSuccess ? 1 : 0;
} catch (...) {
    return 0;
}

int RegKeyDeleteByName(const char *root_name, const char *subkey) try {
    RegistryRoot root = RegRootByName(root_name);
    return root ? RegKeyDelete(root, subkey) : 0;
} catch (...) {
    return 0;
}

int RegKeyRemove(RegistryRoot root, const char *subkey) try {
    const long result = platform::RegistryDeleteKey(root, subkey);
    if (result == kSuccess) return 1;
    platform::LastErrorSet(static_cast<unsigned long>(result));
    return 0;
} catch (...) {
    return 0;
}

unsigned long RegLastError(void) {
    return platform::LastError();
}

}  // extern "C"
