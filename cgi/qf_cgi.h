/* qf_cgi.h - CGI request accessors, response writers and bounded string helpers. */
#ifndef QF_CGI_H
#define QF_CGI_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Request accessors: read the environment afresh, never answer with a missing text. */
const char *cgi_env(const char *name, const char *fallback);
const char *cgi_method(void);    /* REQUEST_METHOD, or "GET" */
int cgi_is_post(void);           /* REQUEST_METHOD starts with "PO" */
int cgi_is_head(void);           /* REQUEST_METHOD starts with "HEAD" */
const char *cgi_path_info(void); /* PATH_INFO, or "/" */

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

/* Bounded string helpers: results are always terminated and cut to fit. */
void qf_strlcpy(char *dst, const char *src, size_t size);
int qf_snprintf(char *buf, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
void qf_path_join(char *dst, size_t size, const char *first, const char *second);

#ifdef __cplusplus
}
#endif

#endif
