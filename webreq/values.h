/* The values of the request: form fields, query parameters and cookies by name, with their
 * origin, iteration, replacement, and values added by the program. Names are formatted
 * printf-style (1023 characters at most). The request is decoded on first use. */
#ifndef NUVEX_WEBREQ_VALUES_H
#define NUVEX_WEBREQ_VALUES_H

#include <stddef.h>

#include "webreq/entrylist.h"
#include "webreq/error.h"

#ifdef __cplusplus
extern "C" {
#endif

char *ec_Value(const char *format, ...) NUVEX_PRINTF(1, 2);
int ec_iValue(const char *format, ...) NUVEX_PRINTF(1, 2);
/* The value, or default_text itself when the name is absent. */
const char *ec_ValueDefault(const char *default_text, const char *format, ...) NUVEX_PRINTF(2, 3);
/* The value; a missing or empty one ends the process with error_text. */
char *ec_ValueNotEmpty(const char *error_text, const char *format, ...) NUVEX_PRINTF(2, 3);
/* Mode "tn"/"sn": a new replaced copy of the first value (caller frees); "tr"/"sr": every
 * value of the name replaced in place, the first returned. */
char *ec_ValueReplace(const char *mode, const char *name, const char *search,
                      const char *replacement);
char *ec_ValueFirst(const char *format, ...) NUVEX_PRINTF(1, 2);
char *ec_ValueNext(void);
/* Appends name = formatted value; the first value of the name afterwards. */
char *ec_ValueAdd(const char *name, const char *format, ...) NUVEX_PRINTF(2, 3);
/* Removes every entry of the name; each removed entry lowers the count of its own origin, and
 * NEW drops by one when ec_ValueAdd counted the name as new (it was absent when added). */
void ec_ValueRemove(const char *format, ...) NUVEX_PRINTF(1, 2);
/* "C" cookie, "G" query string, "P" body, "N" added, "-" none. */
const char *ec_ValueOrigin(const char *format, ...) NUVEX_PRINTF(1, 2);
char *ec_ValueCookie(const char *format, ...) NUVEX_PRINTF(1, 2);
ec_entry *ec_ValueList(void);
/* The bytes of the file sent in the multipart body under the field name (any bytes, NUL after
 * the last), with their number in *length (when length is not null); null and 0 when the body
 * held no file part of that name. Name, bytes and length come from the multipart body alone:
 * a cookie, query field or urlencoded field of the same name (or "name.length") changes
 * nothing. A part sent twice gives the first. After ec_ValueReplace "tr"/"sr" or ec_ValueRemove
 * of the name, there is no upload of that name. The text belongs to the request list. */
const char *ec_UploadValue(const char *name, size_t *length);
/* The file name of that upload (after its last '\\' or '/', trimmed), or null. */
const char *ec_UploadFileName(const char *name);
int ec_ValuePrint(void);
void ec_ValueFree(void);

#ifdef __cplusplus
}
#endif

#endif
