/* Text utilities: splitting on a separator string, trimming, URL-decoding, character and
 * substring replacement. Texts are zero-terminated 8-bit strings; new texts are malloc'd and
 * belong to the caller. */
#ifndef NUVEX_UTIL_TEXT_H
#define NUVEX_UTIL_TEXT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Splits a trimmed copy of text on separator into newly allocated fields, skipping empty
 * ones. The caller gives room for every field plus the closing null slot. Returns the number
 * of fields; a null text or an empty separator gives 0 fields. */
int StrSplit(const char *text, char **fields, const char *separator);

/* Removes leading and trailing space, tab, CR and LF in place. Null gives null. */
char *StrTrim(char *text);

/* Decodes "%XX" and '+' in place in one pass. A '%' without two characters after it stays
 * as it is. Null gives null. */
char *UrlDecode(char *text);

/* The byte that two hexadecimal digit characters stand for; other characters give other
 * values by the same rule, nothing is checked. */
unsigned char HexPairValue(char high, char low);

/* Mode "tn"/"tr": every character of text found in search becomes replacement.
 * Mode "sn"/"sr": every occurrence of search becomes replacement.
 * "n" returns a new text; "r" copies the result over text and returns text (the caller's
 * buffer must hold the result). Any other mode ends the process through ecError. */
char *ec_StrReplace(const char *mode, char *text, const char *search, const char *replacement);

/* Exchanges the contents of two buffers; each must hold the other's text. */
void StrSwap(char *a, char *b);

/* Frees the fields filled by StrSplit and leaves the array empty; the array stays. */
void FieldsFree(char **fields);

#ifdef __cplusplus
}
#endif

#endif
