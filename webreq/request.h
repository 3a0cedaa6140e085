/* Request decoding: cookies, query string and body (urlencoded or multipart, with uploads)
 * into the process-wide request list. The values interface runs it on first use. */
#ifndef NUVEX_WEBREQ_REQUEST_H
#define NUVEX_WEBREQ_REQUEST_H

#ifdef __cplusplus
extern "C" {
#endif

/* Decodes once: -1 when the request list already holds entries, else the decoder's result. */
int _parse_request(void);
/* Cookies, query string and body fields; the number of entries added. */
int _parse_urlencoded_data(void);
/* Cookies, query string and the multipart body; the number of cookie and query entries plus
 * the number of body parts. An upload adds four entries: the field (its bytes), ".length",
 * ".filename" (after the last '\\' or '/') and ".contenttype"; ec_UploadValue gives its bytes
 * and length without trusting any of these names. A header line is read up to 1023 bytes; the
 * rest of a longer line is passed over. */
int _parse_multipart_data(void);
/* The raw text of "COOKIE", "GET" or "POST", new (caller frees); null when absent. A POST body
 * is read up to CONTENT_LENGTH bytes (a decimal integer, leading blanks and '+' allowed; at
 * most EC_POST_LIMIT; an invalid or over-large length ends the process through ecError). An
 * empty CONTENT_LENGTH announces no length: no body under CGI, the request's input to its end
 * under FastCGI (a streamed body), within EC_POST_LIMIT. */
char *_get_query(const char *origin);

/* The largest urlencoded POST body read into memory. */
#define EC_POST_LIMIT (64L * 1024 * 1024)
/* The most fields one origin (cookies, query string, urlencoded body) may hold: each costs
 * about a hundred bytes of memory, so more end the process through ecError before any entry
 * is made. */
#define EC_FIELD_LIMIT 100000
/* The largest multipart body: a larger CONTENT_LENGTH is refused before anything is read, and
 * reading stops there whatever CONTENT_LENGTH said ("Request body is too large."). */
#define EC_MULTIPART_LIMIT (256LL * 1024 * 1024)
/* A decoded multipart body holds at most 3 times its bytes plus this much memory (values,
 * entries, upload records); a body of so many parts that it would hold more is refused with
 * "The request holds too many parts for its size.". */
#define EC_MULTIPART_SLACK (12LL * 1024 * 1024)

#ifdef __cplusplus
}
#endif

#endif
