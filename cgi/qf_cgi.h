/* qf_cgi.h - CGI request accessors, response writers, query parameters, request bodies and bounded strings. */
#ifndef QF_CGI_H
#define QF_CGI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "base/qf_str.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Request accessors: read the environment afresh, never answer with a missing text. */
const char *cgi_env(const char *name, const char *fallback);
const char *cgi_method(void);    /* REQUEST_METHOD, or "GET" */
int cgi_is_post(void);           /* REQUEST_METHOD starts with "PO" */
int cgi_is_head(void);           /* REQUEST_METHOD starts with "HEAD" */
const char *cgi_path_info(void); /* PATH_INFO, or "/" */
/* Forgets what the previous request left: the query slots and the note that
 * standard output was set up. For a process that answers many requests. */
void cgi_request_reset(void);

/* Response writers, to standard output. */
void qf_stdout_bin(void);
void cgi_header_html(void);
void cgi_header_json(void);
void cgi_header_text(void);
void cgi_header_status(int status, const char *reason);
void cgi_header_ct(const char *type);
void cgi_header_extra(const char *line);
void cgi_headers_end(void);
#ifdef __cplusplus
[[noreturn]]
#endif
void cgi_die_text(int status, const char *message);
#ifdef __cplusplus
[[noreturn]]
#endif
void cgi_die_json(int status, const char *message);
void json_escape_f(FILE *stream, const char *text);

/* Query-string parameter name, form-decoded into one of eight rotating 512-byte
 * buffers (valid until eight further lookups). "" when absent. Without a
 * QUERY_STRING the environment variable of that name is answered instead. */
const char *cgi_query(const char *name);

/* Request body: the file named by POST_BODY_FILE when it opens, else
 * CONTENT_LENGTH bytes of standard input. */
/* The whole body plus a terminating zero byte, in a buffer the caller frees
 * with free(); null when there is no body. length_out gets the bytes read. */
char *cgi_read_post(uint64_t *length_out);
/* Chunk callback: 0 to go on, anything else to stop. len is 1 to 65536. */
typedef int (*cgi_chunk_fn)(void *context, const void *chunk, size_t len);
/* Hands the body to callback in chunks of at most 65536 bytes, holding one
 * chunk at a time. 0 on success (also with no body), -1 on a missing callback,
 * a read error or a callback that stopped; total_out gets the bytes accepted. */
int cgi_stream_post(cgi_chunk_fn callback, void *context, uint64_t *total_out);

#ifdef __cplusplus
}
#endif

#endif
