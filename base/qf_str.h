/* qf_str.h - bounded string helpers shared by every module: results are always terminated and cut to fit. */
#ifndef QF_STR_H
#define QF_STR_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void qf_strlcpy(char *dst, const char *src, size_t size);
/* The number of characters written (cut to size - 1), never more. */
int qf_snprintf(char *buf, size_t size, const char *format, ...) __attribute__((format(printf, 3, 4)));
/* first, one separator, second without its leading separators. */
void qf_path_join(char *dst, size_t size, const char *first, const char *second);

#ifdef __cplusplus
}
#endif

#endif
