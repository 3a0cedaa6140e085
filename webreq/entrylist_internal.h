// Entry-list operations shared inside the library, not part of its interface.
#pragma once

#include <string_view>

#include "webreq/entrylist.h"

namespace webreq {

// Builds a list front to back in one pass: appending at a known tail, not by walking the list.
class ListBuilder {
   public:
    explicit ListBuilder(ec_entry *list);
    // Takes the given malloc'd name and value as they are (an upload's value may hold NUL
    // bytes, so it is never copied by its text length).
    void AppendOwned(char *name, char *value);
    void AppendCopy(const char *name, const char *value);
    void AppendCopy(std::string_view name, std::string_view value);
    ec_entry *head() const { return head_; }

   private:
    ec_entry *head_;
    ec_entry *tail_;
};

// The iteration shared by ec_fValueFirst/ec_fValueNext and ec_ValueFirst/ec_ValueNext.
char *IterationName();  // 1024-byte name buffer
void IterationCursorSet(ec_entry *entry);
void IterationReset();

}  // namespace webreq
