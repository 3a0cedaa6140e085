/* Response output: header lines, downloads, text converted to HTML, a line reader, string
 * operations and keywords. */
#ifndef NUVEX_WEBREQ_OUTPUT_H
#define NUVEX_WEBREQ_OUTPUT_H

#include <stdio.h>

#include "webreq/error.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes "Location: <url>\n\n" before the content type; a URL holding CR or LF is refused
 * through ecError. The characters written. */
int ec_Redirect(const char *url);
/* Sends a file as the whole response: six header lines ("attachment" for
 * application/octet-stream, else "inline"), a blank line, the bytes. The bytes written, or -1
 * (a missing file writes nothing). */
long ec_DownloadMime(const char *path, const char *type);
long ec_Download(const char *path);
/* 1 when text begins with "http://", "ftp://", "telnet://", "mailto:" or "news:". */
int ec_IsURL(const char *text);
/* SCRIPT_NAME after its last '/' or '\', trimmed, in a static buffer; null when unset or
 * longer than 255 characters. */
char *ec_ScriptName(void);

/* Formats (10240 bytes at most) and writes the text through _autolink; the formatted length,
 * or -1 when formatting fails. A longer text ends the process through ecError ("ec_Printf():
 * Message is too long or invalid."), a mode not in this table through ecError
 * ("_autolink(): Invalid Mode (<mode>).").
 *
 *   mode  escapes  strips          links URLs, addresses   breaks lines
 *   0     nothing  nothing         no                      no
 *   10    nothing  CR              no                      yes
 *   1     < > "    nothing         no                      no
 *   2     < > "    nothing         yes, target ""          no
 *   3     < > "    nothing         yes, target "_top"      no
 *   4     "        <...> tags      no                      no
 *   5     "        <...> tags      yes, target ""          no
 *   6     "        <...> tags      yes, target "_top"      no
 *   11    < > "    CR              no                      yes
 *   12    < > "    CR              yes, target ""          yes
 *   13    < > "    CR              yes, target "_top"      yes
 *   14    "        <...> tags, CR  no                      yes
 *   15    "        <...> tags, CR  yes, target ""          yes
 *   16    "        <...> tags, CR  yes, target "_top"      yes
 *   23    < > "    nothing         yes, target "ecnewwin"  no
 *   26    "        <...> tags      yes, target "ecnewwin"  no
 *   33    < > "    CR              yes, target "ecnewwin"  yes
 *   36    "        <...> tags, CR  yes, target "ecnewwin"  yes
 *
 * Escaping writes &lt; &gt; &quot;. "&" is never escaped, nor "'": text that may hold them
 * must not go into an attribute quoted with "'". Stripping drops everything from '<' to the
 * next '>' (to the end when no '>' follows). Linking wraps a word that starts with "http://",
 * "https://", "ftp://", "telnet://", "news:" or "mailto:" in <a href="word" target="...">,
 * and a plain e-mail address in <a href="mailto:word">; a word ends at a blank, one of
 * `(){}[]<>"', or a line break. Breaking lines writes LF as "<br>" LF, drops CR and writes a
 * blank that follows a blank as "&nbsp;". */
int ec_Printf(int mode, const char *format, ...) NUVEX_PRINTF(2, 3);
/* Writes text converted by mode: 0 unchanged; 10 line breaks only; 1-6, 11-16, 23, 26, 33, 36
 * escape or strip markup, link URLs and e-mail addresses, break lines. The text is consumed
 * (its stop characters are overwritten). */
void _autolink(int mode, char *text);
/* Tokenizer over stop characters; a null text continues the previous scan. */
char *_next_token(char *text, const char *stops, char *stop);
/* 1 for a plain e-mail address (word characters, one '@', a dot after it), else 0. */
int _is_email(const char *token);
/* One line of any length with its LF, new (caller frees); null at the end of the stream. */
char *ec_fGetLine(FILE *stream);

int ec_StrIsAlnum(const char *text);
char *ec_StrUpper(char *text);
char *ec_StrLower(char *text);
char *ec_StrIStr(const char *text, const char *pattern);
int ec_StrICmp(const char *a, const char *b);
int ec_StrNICmp(const char *a, const char *b, int n);
/* The number with "," between groups of three digits, in a static buffer. */
char *ec_StrNumber(int number);
/* A new text (the caller frees it) with & < > " ' written as &amp; &lt; &gt; &quot; &#39;,
 * safe in element content and in attribute values quoted either way; null for null. Running
 * out of memory ends the process through ecError. */
char *ec_StrHtmlEscape(const char *text);

/* The keyword array holds at most EC_KEYWORD_MAX words and a null slot: give it
 * EC_KEYWORD_MAX + 1 slots. Further words are left out. */
#define EC_KEYWORD_MAX 64
/* Splits on blanks, "quoted phrases" kept whole; the number of words. */
int ec_KeywordSplit(const char *text, char **keywords);
/* How many of the words occur in the text, case-insensitively. */
int ec_KeywordCount(const char *text, char **keywords);
/* Writes the content type and one line per word; the number of words. */
int ec_KeywordPrint(char **keywords);
/* Writes the text through _autolink with every occurrence of a word in bold; the number of
 * occurrences. */
int ec_KeywordHighlight(int mode, const char *text, char **keywords);
void ec_KeywordFree(char **keywords);

#ifdef __cplusplus
}
#endif

#endif
