/* Directory-tree operations: delete, count and list a whole tree. Paths are Windows paths
 * without a trailing backslash; entry paths longer than 259 characters are refused. */
#ifndef NUVEX_UTIL_DIRTREE_H
#define NUVEX_UTIL_DIRTREE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 for "." or "..", else 0. */
int IsDotEntry(const char *name);
/* -1 when the path does not exist, else the result of DirDeleteRecursive. */
int DirDelete(const char *path);
/* Deletes the tree, read-only files and folders included; nonzero when the folder itself was
 * removed, 0 at the first entry that could not be deleted (what was deleted stays so). */
int DirDeleteRecursive(const char *path);
/* Adds the folders and files below path to the caller's counters; 1 when the whole tree was
 * walked, else 0 (the counts made so far stay). */
int DirCount(const char *path, int *directories, int *files);
/* Writes "<entry path>=<entry path>\n" for every file below path; 1 when the whole tree was
 * walked, else 0. Entry paths over 254 characters, whose line would not fit 512 bytes, stop
 * the walk with 0. */
int DirList(const char *path, FILE *stream);

#ifdef __cplusplus
}
#endif

#endif
