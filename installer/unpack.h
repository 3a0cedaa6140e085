// Unpacking a package into installed files, and the info records it hands back.
#pragma once

#include <stddef.h>

extern "C" {

// Restores the package into "xx1" in the temporary folder, copies its header into "xx2",
// reads the records and installs every file entry at its path, all or nothing: the header is
// read and checked whole (and the integrity record, when the package has one) before any file
// is touched; each file is written beside its target and all of them are moved over their
// targets only once every one is written. Any failure puts every target back as it was and
// removes what the run made. A run killed on the way is put right by the next one (the journal
// "xx.journal" in the temporary folder). Installations wait for each other (the lock file
// "xx.lock"); the lock is held until PackageUnpackRelease or the end of the process.
// info_records receives a null-terminated array of the package's first two info records, the
// only ones ever searched (valid until the next unpacking), or null when none could be read.
// Returns 1 when every file was installed; -1 when none was (PackageFailureLine says why).
int PackageUnpack(const char *package_path, char ***info_records);

// Lets a waiting installation go on.
void PackageUnpackRelease(void);

// Why the last unpacking failed, as one screen line of at most size - 1 characters:
// "Installation failed: <file>: <reason>", the file's path shortened in its middle when the
// line would not fit. Returns the line's length; 0 (and "") when the unpacking succeeded.
size_t PackageFailureLine(char *buffer, size_t size);

// New 255-byte text with the URL-decoded value of the first of the first two info records
// that contain key anywhere; null when none does or that record has no value.
char *PackageInfoValue(const char *key);

// Path of the restored copy of the last unpacking ("" before the first).
const char *PackageRestoredCopyPath(void);
}
