/* qf_str.h - bounded string helpers shared by every module: results are always terminated and cut to fit. */
#ifndef QF_STR_H
#define QF_STR_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when the whole of src fit, 0 when it was cut (or dst has no room at all). */
int qf_strlcpy(char *dst, const char *src, size_t size);
/* The number of characters written (cut to size - 1), never more: it cannot
 * tell a cut text from one that just fit. Ask qf_snprintf_fit when it matters. */
int qf_snprintf(char *buf, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
/* The same text; 1 when the whole of it fit, 0 when it was cut (a path cut to
 * fit names another file) or could not be formatted. */
int qf_snprintf_fit(char *buf, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
/* first, one separator, second without its leading separators. */
void qf_path_join(char *dst, size_t size, const char *first, const char *second);

#ifdef __cplusplus
}
#endif

#endif
