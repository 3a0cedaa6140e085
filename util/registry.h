/* Registry access: write, read and delete values and keys by root handle or root name. Each
 * operation opens or creates its key, does one thing and closes it again. Results are 1 for
 * success and 0 for failure; the string reads return a new 512-byte buffer or null. */
#ifndef NUVEX_UTIL_REGISTRY_H
#define NUVEX_UTIL_REGISTRY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A root or open key; the predefined roots carry the Windows handle values, so a Windows
 * caller may pass HKEY_LOCAL_MACHINE and the like as they are. */
typedef void *RegistryRoot;
#define NUVEX_HKEY_CLASSES_ROOT ((RegistryRoot)(uintptr_t)0x80000000UL)
#define NUVEX_HKEY_CURRENT_USER ((RegistryRoot)(uintptr_t)0x80000001UL)
#define NUVEX_HKEY_LOCAL_MACHINE ((RegistryRoot)(uintptr_t)0x80000002UL)
#define NUVEX_HKEY_USERS ((RegistryRoot)(uintptr_t)0x80000003UL)
#define NUVEX_HKEY_CURRENT_CONFIG ((RegistryRoot)(uintptr_t)0x80000005UL)

/* Value types, as on Windows. */
#define NUVEX_REG_SZ 1UL
#define NUVEX_REG_EXPAND_SZ 2UL
#define NUVEX_REG_BINARY 3UL
#define NUVEX_REG_DWORD 4UL

/* The root that a text names ("HKEY_LOCAL_MACHINE\\Software" names HKEY_LOCAL_MACHINE); null
 * when it names none. When several names occur, HKEY_USERS wins, then HKEY_CURRENT_USER,
 * HKEY_LOCAL_MACHINE, HKEY_CURRENT_CONFIG, HKEY_CLASSES_ROOT. */
RegistryRoot RegRootByName(const char *root_name);

/* Creates the key if missing and sets the value to the string's bytes (without its NUL). */
int RegValueSet(RegistryRoot root, const char *subkey, const char *name, const char *data,
                unsigned long type);
int RegValueSetByName(const char *root_name, const char *subkey, const char *name, const char *data,
                      unsigned long type);
/* As RegValueSet, but the key must exist already. */
int RegValueUpdate(RegistryRoot root, const char *subkey, const char *name, const char *data,
                   unsigned long type);
int RegValueUpdateByName(const char *root_name, const char *subkey, const char *name,
                         const char *data, unsigned long type);
/* The value's bytes in a new 512-byte buffer (zero-filled after them), or null; values of
 * more than 512 bytes give null. */
char *RegStringGet(RegistryRoot root, const char *subkey, const char *name);
char *RegStringGetByName(const char *root_name, const char *subkey, const char *name);
int RegBinarySet(RegistryRoot root, const char *subkey, const char *name, const void *data,
                 unsigned long size);
int RegDwordSet(RegistryRoot root, const char *subkey, const char *name, uint32_t value);
/* Reads a value of at most 4 bytes, of any type, into the caller's 4-byte buffer. */
int RegBinaryGet(RegistryRoot root, const char *subkey, const char *name, void *buffer);
/* Reads a value of at most 4 bytes and stores its low 16 bits. */
int RegDwordGet(RegistryRoot root, const char *subkey, const char *name, uint16_t *value);
int RegValueDelete(RegistryRoot root, const char *subkey, const char *name);
int RegKeyDelete(RegistryRoot root, const char *subkey);
int RegKeyDeleteByName(const char *root_name, const char *subkey);
/* As RegKeyDelete; on failure the registry's error code is left as the last error. */
int RegKeyRemove(RegistryRoot root, const char *subkey);

/* The thread's last error (GetLastError on Windows). */
unsigned long RegLastError(void);

#ifdef __cplusplus
}
#endif

#endif
