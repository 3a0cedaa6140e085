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
 * ".filename" and ".contenttype". */
int _parse_multipart_data(void);
/* The raw text of "COOKIE", "GET" or "POST", new (caller frees); null when absent. A POST body
 * is read up to CONTENT_LENGTH bytes (at most EC_POST_LIMIT; an invalid or over-large length
 * ends the process through ecError). */
char *_get_query(const char *origin);

/* The largest urlencoded POST body read into memory. */
#define EC_POST_LIMIT (64L * 1024 * 1024)

#ifdef __cplusplus
}
#endif

#endif
