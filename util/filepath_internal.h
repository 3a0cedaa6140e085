// Forms of path operations for the library's own callers: a failed allocation throws
// (std::bad_alloc) instead of becoming the failure result, so that a caller can tell it from a
// file that cannot be made. The public operations are these, with the exception caught.
#pragma once

namespace nuvex_util {

// FileCopyRange.
int CopyRange(const char *source, const char *destination, long start, long end);
// DirectoryPathCreate.
int DirectoriesCreate(const char *directory);
// PathParentsCreate.
int ParentsCreate(const char *path);

}  // namespace nuvex_util
