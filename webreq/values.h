/* The values of the request: form fields, query parameters and cookies by name, with their
 * origin, iteration, replacement, and values added by the program. Names are formatted
 * printf-style (1023 characters at most). The request is decoded on first use. */
#ifndef NUVEX_WEBREQ_VALUES_H
#define NUVEX_WEBREQ_VALUES_H

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
/* Removes every entry of the name; each removed entry lowers the count of its own origin. */
void ec_ValueRemove(const char *format, ...) NUVEX_PRINTF(1, 2);
/* "C" cookie, "G" query string, "P" body, "N" added, "-" none. */
const char *ec_ValueOrigin(const char *format, ...) NUVEX_PRINTF(1, 2);
char *ec_ValueCookie(const char *format, ...) NUVEX_PRINTF(1, 2);
ec_entry *ec_ValueList(void);
int ec_ValuePrint(void);
void ec_ValueFree(void);

#ifdef __cplusplus
}
#endif

#endif
