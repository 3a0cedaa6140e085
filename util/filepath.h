/* File and path utilities. Paths are Windows paths; the only separator known here is '\'. */
#ifndef NUVEX_UTIL_FILEPATH_H
#define NUVEX_UTIL_FILEPATH_H

#ifdef __cplusplus
extern "C" {
#endif

/* Size in bytes, or -1 when the file cannot be examined or is 2 GB or larger. */
long FileSize(const char *path);

/* Copies the source bytes at offsets start up to, not including, end into a new or emptied
 * destination. Returns 1 when copied; 0 when a file failed to open, the range is reversed
 * (end below start, nothing is touched) or the destination could not be written. A seek that
 * fails (negative start) ends the process with exit status 1. */
int FileCopyRange(const char *source, const char *destination, long start, long end);

/* Replaces every '/' by '\' in place. */
char *PathToBackslashes(char *path);

/* New 260-byte buffer with the part of path before its last '\'; null when path has no '\'
 * or the part does not fit. */
char *PathDirectory(const char *path);

/* Creates every folder along the path. 0 when the last creation succeeded, -1 when it failed
 * (also when the folder already existed, and for paths over 255 characters, which are refused
 * without creating anything). */
int DirectoryPathCreate(const char *directory);

/* Creates the missing parent folders of a file path. Returns 1. */
int PathParentsCreate(const char *path);

/* The Windows directory value: the process-wide copy of the "windir" setting, or null. */
const char *WindowsDirectoryValue(void);
/* Keeps a copy of value (null clears it). */
void WindowsDirectorySet(const char *value);

#ifdef __cplusplus
}
#endif

#endif
