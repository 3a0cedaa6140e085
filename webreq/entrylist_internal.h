// Entry-list operations shared inside the library, not part of its interface.
#pragma once

#include "webreq/entrylist.h"

namespace webreq {

// Appends an entry that takes the given malloc'd name and value as they are (an upload's
// value may hold NUL bytes, so it is never copied by its text length).
ec_entry *ListAppendOwned(ec_entry *list, char *name, char *value);

// The iteration shared by ec_fValueFirst/ec_fValueNext and ec_ValueFirst/ec_ValueNext.
char *IterationName();  // 1024-byte name buffer
void IterationCursorSet(ec_entry *entry);
void IterationReset();

}  // namespace webreq
