// The saved entry file as the session store writes it.
#pragma once

#include <string>

#include "webreq/entrylist.h"

namespace webreq {

// _list_save into the file `file`, with `named` on the second line (the path the file is
// saved for, when it is written under a temporary name first). With encode_values, each value
// has '%', '+', CR, LF and its leading and trailing blanks written as %XX, so that _list_load
// gives back exactly the stored bytes and no value can start a line of its own. 1 or 0.
int ListSaveAs(ec_entry *list, const char *file, const char *named, bool encode_values);

// The text that ListSaveAs writes (its lines end in LF); false when a line does not fit.
bool ListSavedText(ec_entry *list, const char *named, bool encode_values, std::string *text);

// The entries of a saved text as _list_load reads them from a file.
ec_entry *ListFromSavedText(const char *text);

}  // namespace webreq
