/* File access by mode: descriptors opened by a mode string, existence tests, whole-file
 * readers, appending, line readers, the locked stream pair and hexadecimal digits. */
#ifndef NUVEX_UTIL_FILEIO_H
#define NUVEX_UTIL_FILEIO_H

#include <stdio.h>

#include "webreq/error.h" /* NUVEX_PRINTF */

#ifdef __cplusplus
extern "C" {
#endif

/* Opens by one of the eighteen modes "r" "r+" "w" "w+" "a" "a+", each also with "b" or "t"
 * ("r+b", "a+t", ...). A descriptor, or -1 (also for any other mode). */
int FileOpenMode(const char *name, const char *mode);
int FileClose(int fd);

/* 1 when a directory search for the pattern finds an entry (wildcards match), else 0. */
int PathExists(const char *name);
/* 1 when the file opens for binary reading, else 0. */
int FileExists(const char *name);
/* As FileExists for a formatted name; -1 when the name does not fit in 1024 bytes. */
int FileExistsFmt(const char *format, ...) NUVEX_PRINTF(1, 2);
/* Copies the named file to standard output (both standard streams set to binary); the
 * number of bytes copied, or -1. */
long FileCatFmt(const char *format, ...) NUVEX_PRINTF(1, 2);

/* Writes count bytes to the file opened by mode; count, or -1 when the open or a write failed
 * (a full disk, a mode that does not write). */
int FileWriteBytes(const void *data, int count, const char *name, const char *mode);
/* Reads the whole file into a new buffer (NUL added); its length, or -1 (an empty file
 * too). */
long FileReadAll(const char *name, char **buffer);
/* The whole file in a new zero-terminated buffer, or null; length receives the bytes read
 * (0 on failure) when given. */
char *FileLoad(const char *path, long *length);
/* Appends the source file to the destination; 1 when appended, 0 when a file failed to open
 * or the destination could not be written. An append that fails on the way (a full disk, a
 * read error) cuts the destination back: it is left exactly as it was. */
int FileAppend(const char *destination, const char *source);
/* Appends the text to the file in text mode ("at", made when missing) under its lock, whole
 * or not at all: 1 when every byte landed, 0 when the file could not be opened or written
 * (it is then left exactly as it was). */
int FileAppendText(const char *destination, const char *text);

/* Length of the open file; its position is left where it was. */
long FdLength(int fd);
/* One line with its line feed in a new buffer, or null at the end of the file. The
 * descriptor is left just after the line. */
char *FdReadLine(int fd);
/* Writes the 4 bytes at word; 4, or -1. */
int FdWriteWord(int fd, const void *word);
/* Reads one line (line feed kept) into buffer, at most size - 1 characters; buffer, or null
 * when nothing was read. */
char *StreamReadLine(char *buffer, int size, FILE *stream);

/* Stream open and close through the lock hooks, which take and release an advisory lock on
 * the whole file (0 on success, -1 on failure): shared for modes that only read, exclusive for
 * modes that write. A process never waits on a lock it holds itself. A "w" mode empties the
 * file only once the lock is held, so a reader in another process never sees it cut early. */
FILE *FileOpenLocked(const char *name, const char *mode);
int FileCloseLocked(FILE *stream);
int FileLock(FILE *stream);
int FileUnlock(FILE *stream);

/* 0-15 for hexadecimal digits, 0 for any other character. */
int HexDigitValue(int ch);
/* 1 for a hexadecimal digit, else 0. */
int IsHexDigit(int ch);

#ifdef __cplusplus
}
#endif

#endif
