/* Templates and counters: a field reader over text files, counter files, and a template
 * filler that replaces names by values and expands include directives. */
#ifndef NUVEX_WEBREQ_TEMPLATE_H
#define NUVEX_WEBREQ_TEMPLATE_H

#include "webreq/entrylist.h"
#include "webreq/error.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Field slots of ec_AwkNext: EC_AWK_FIELDS slots of EC_AWK_FIELD_SIZE bytes; fields beyond
 * the slots are left out and longer fields are cut at 255 characters. */
#define EC_AWK_FIELDS 64
#define EC_AWK_FIELD_SIZE 256
typedef char ec_awk_fields[EC_AWK_FIELDS][EC_AWK_FIELD_SIZE];

/* Opens the field reader (one at a time); 1, or 0 when the file cannot be opened. */
int ec_AwkOpen(const char *path, char separator);
/* The next line split at the separator into the slots; the number of fields (at most
 * EC_AWK_FIELDS), or -1 at the end of the file. */
int ec_AwkNext(ec_awk_fields fields);
/* 1 when a reader was closed, else 0. */
int ec_AwkClose(void);

/* Counter files: a decimal number, read, set or increased under an exclusive file lock. A
 * number beyond the int range reads as INT_MAX or INT_MIN, and ec_CounterAdd saturates there
 * (a counter at INT_MAX stays at INT_MAX) instead of wrapping around. A new number is written
 * beside the file ("PATH.new") and renamed over it: a reader, or a writer killed on the way,
 * finds the old number or the new one (on Windows a counter that another process holds open
 * is written in place instead). Writers take the lock of a companion file "PATH.lock", made on
 * first use, and then the counter's own. ec_CounterSet gives 1 and ec_CounterAdd the new
 * number when it was stored; both give 0 when it was not (the old number stays). */
int ec_CounterGet(const char *path);
int ec_CounterSet(const char *path, int value);
int ec_CounterAdd(const char *path, int increment);

/* Appends name = formatted value (65535 characters at most) to an argument list. */
ec_entry *ec_SedArgAdd(ec_entry *list, const char *name, const char *format, ...)
    NUVEX_PRINTF(3, 4);
int ec_SedArgPrint(ec_entry *list);
void ec_SedArgFree(ec_entry *list);
/* Writes text to the descriptor with every argument name replaced by its value and every
 * <!--#include file="path"--> expanded (nested 16 deep at most, 256 expansions in one call at
 * most; only regular files are included, a folder, pipe or device reads as "open fail"). A
 * directive over a limit writes its bracketed note instead. 1 when the whole text was
 * written; 0 for a null list or text, or when a write fails. ec_SedFile reads only a regular
 * file (0 otherwise). */
int ec_SedStr(ec_entry *list, const char *text, int fd);
int ec_SedFile(ec_entry *list, const char *path, int fd);

#ifdef __cplusplus
}
#endif

#endif
