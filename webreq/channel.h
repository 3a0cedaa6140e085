/* The request channel: the one place where the web library reads its request (CGI variables,
 * body) and writes its response. Run as a CGI program it is the process environment, standard
 * input and standard output; inside the loop of webreq/serve.h under FastCGI it is the current
 * request. A program that writes its own bytes uses ec_ChannelWrite, never stdout, so that
 * they reach the client in both forms. */
#ifndef NUVEX_WEBREQ_CHANNEL_H
#define NUVEX_WEBREQ_CHANNEL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The value of a CGI variable of the current request, or null when it is not set. The text
 * stays valid until the request ends. */
const char *ec_ChannelVar(const char *name);
/* Up to size bytes of the request body; the number read, 0 at its end, -1 on failure. */
long ec_ChannelRead(void *buffer, size_t size);
/* Writes the bytes to the response; returns size, or -1 when they could not all be written. */
long ec_ChannelWrite(const void *bytes, size_t size);
/* Hands what is buffered to the server; 0, or -1 on failure. */
int ec_ChannelFlush(void);
/* 1 while a FastCGI request is being served, 0 for a CGI request. */
int ec_ChannelIsFastCgi(void);

#ifdef __cplusplus
}
#endif

#endif
