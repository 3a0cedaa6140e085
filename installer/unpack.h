// Unpacking a package into installed files, and the info records it hands back.
#pragma once

extern "C" {

// Restores the package into "xx1" in the temporary folder, copies its header into "xx2",
// reads the records and writes every file entry to its path. info_records receives a
// null-terminated array of the package's first two info records, the only ones ever searched
// (valid until the next unpacking), or null when none could be read. Returns 1 when the whole
// package was read; -1 when it is missing, unreadable or damaged (file entries before the damage
// are still written).
int PackageUnpack(const char *package_path, char ***info_records);

// New 255-byte text with the URL-decoded value of the first of the first two info records
// that contain key anywhere; null when none does or that record has no value.
char *PackageInfoValue(const char *key);

// Path of the restored copy of the last unpacking ("" before the first).
const char *PackageRestoredCopyPath(void);
}
