/* The entry list: an ordered list of name/value pairs, its decoders, lookups and the saved
 * entry file. Functions that can change the first entry return the new head. */
#ifndef NUVEX_WEBREQ_ENTRYLIST_H
#define NUVEX_WEBREQ_ENTRYLIST_H

#include "webreq/error.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ec_entry {
    char *name;  /* owned */
    char *value; /* owned; any bytes */
    struct ec_entry *next;
} ec_entry;

/* The part of text before the first stop character, new; text keeps what follows it. */
char *_cut_token(char *text, char stop);
ec_entry *_list_append(ec_entry *list, const char *name, const char *value);
ec_entry *_list_remove(ec_entry *list, const char *name);
char *_list_value(ec_entry *list, const char *name);
int _list_int_value(ec_entry *list, const char *name);
int _list_position(ec_entry *list, const char *name);
/* Content type, then "'name' = 'value'<br>" per entry, HTML-escaped; the entries printed. */
int _list_print(ec_entry *list);
void _list_free(ec_entry *list);
/* The saved entry file (two comment lines, "name = value" per entry); 1 or 0. */
int _list_save(ec_entry *list, const char *path);
/* The saved entry file read back, values URL-decoded; null when unreadable. */
ec_entry *_list_load(const char *path);

/* Lines "name = value" into a new list; blank and "#" lines are skipped. */
ec_entry *ec_sDecoder(const char *text);
ec_entry *ec_fDecoder(const char *path);
char *ec_sValue(ec_entry *list, const char *format, ...) NUVEX_PRINTF(2, 3);
int ec_siValue(ec_entry *list, const char *format, ...) NUVEX_PRINTF(2, 3);
char *ec_fValueFirst(ec_entry *list, const char *format, ...) NUVEX_PRINTF(2, 3);
char *ec_fValueNext(void);
int ec_sPrint(ec_entry *list);
void ec_sFree(ec_entry *list);

ec_entry *_list_remove_pair(ec_entry *list, const char *name, const char *value);
ec_entry *_list_find_pair(ec_entry *list, const char *name, const char *value);
ec_entry *_list_concat(ec_entry *a, ec_entry *b);
ec_entry *_list_rename(ec_entry *list, const char *old_name, const char *new_name);
ec_entry *_list_set(ec_entry *list, const char *name, const char *value);
ec_entry *_list_filter(ec_entry *list, const char *text);
char *_list_name_of_value(ec_entry *list, const char *value);
/* As _list_name_of_value; position receives the entry's 1-based place (length + 1 when none). */
char *_list_name_of_value_at(ec_entry *list, const char *value, int *position);
ec_entry *_list_copy(ec_entry *list);
ec_entry *_list_insert_after(ec_entry *list, const char *name, ec_entry *entry);
ec_entry *_list_insert_after_run(ec_entry *list, const char *name, const ec_entry *entry);
ec_entry *_list_insert_before(ec_entry *list, const char *name, const ec_entry *entry);
ec_entry *_list_splice_after_value(ec_entry *list, const char *value, ec_entry *b);
ec_entry *_list_insert_in_run(ec_entry *list, const ec_entry *entry, int place);
/* Keeps the list in ascending order of "%10s%10s" (name, value); equal keys go after the
 * entries already there. */
ec_entry *_list_insert_sorted(ec_entry *list, const ec_entry *entry);
int _list_write(ec_entry *list, const char *path);
ec_entry *_list_read_lines(const char *path, int first, int last);

#ifdef __cplusplus
}
#endif

#endif
