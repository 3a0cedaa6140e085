/* Marker-text parsing: pieces between outer and inner start/end markers, entity replacement
 * from two entry lists, attribute texts (name=value lists), splitting outside parentheses. */
#ifndef NUVEX_UTIL_MARKER_H
#define NUVEX_UTIL_MARKER_H

#include <stddef.h>

#include "webreq/entrylist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The four markers, in this order; copies owned by the set (MarkerSetFree releases them). */
typedef struct MarkerSet {
    char *outer_start;
    char *outer_end;
    char *inner_start;
    char *inner_end;
} MarkerSet;

/* Result codes of the searches and splits. */
#define MARKER_FOUND 1
#define MARKER_NONE (-1)
#define MARKER_COMPETING (-2) /* competing marker first, or an end without a start */
#define MARKER_UNCLOSED (-3)  /* a start without an end; outer strict: inner end first */
#define MARKER_OUTER_END (-4) /* outer strict: outer end before any outer start */

/* Pieces of a split: pieces[MARKER_BEFORE], pieces[MARKER_INSIDE], pieces[MARKER_AFTER]; new
 * strings, freed by the next split into the same slots (or by MarkerPiecesFree). */
#define MARKER_BEFORE 0
#define MARKER_INSIDE 1
#define MARKER_AFTER 2

int MarkerSetInit(MarkerSet *set, const char *outer_start, const char *outer_end,
                  const char *inner_start, const char *inner_end);
void MarkerSetFree(MarkerSet *set);
void MarkerPiecesFree(char **pieces);

int MarkerFind(const char *text, const char *sought, const char *competing, int lenient);
/* With exchange 1, an inner start found first exchanges the set's pairs, for good. */
int OuterMarkerFind(MarkerSet *set, const char *text, int exchange, int lenient);
int MarkerSplit(const char *text, const char *start, const char *end, char **pieces, int lenient);
int OuterMarkerSplit(const char *text, MarkerSet *set, char **pieces, int exchange, int lenient);
int InnerMarkerSplit(const char *text, MarkerSet *set, char **pieces, int lenient);
int MarkerSplitPlain(const char *text, const char *start, const char *end, char **pieces);
int SubstrPos(const char *text, const char *substring);

/* "&name;" replaced from list1, "&#name;" from list2; unknown names stay. New string. */
char *EntitiesReplace(const char *text, ec_entry *list1, ec_entry *list2);
/* The value (owned by its list), or null. An empty stored value gives a static " " and the
 * stored entry stays as it is. */
const char *EntityValue(const char *name, ec_entry *list1, ec_entry *list2);
/* Rebuilds the text piece by piece, printing every outer and inner piece; the new text, or
 * null when the marker structure is broken. */
char *MarkerTextWalk(const char *text, MarkerSet *set, ec_entry *list1, ec_entry *list2,
                     int lenient, int exchange, int entities);

/* Single blanks between name=value pairs, none around "=", one at the end; new string. */
char *AttrTextNormalize(const char *text);
/* The pairs of a normalised text into *list; 1, or -1 (with a message) on a format error. */
int AttrTextParse(const char *text, ec_entry **list);
int BlankCountTo(const char *text, const char *pattern);
/* Fields separated by sep outside parentheses, into fields (room for every field and a null
 * slot); the number of fields. */
int SplitOutsideParens(const char *text, char **fields, char sep);
int HasSepOutsideParens(const char *text, char sep);
/* Appends at most n bytes of source to the heap string; its new address. */
char *StrAppendN(char *heap, const char *source, size_t n);

#ifdef __cplusplus
}
#endif

#endif
