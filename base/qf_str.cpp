// qf_str.cpp - bounded string helpers.
#include "base/qf_str.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

constexpr char kSeparator = '/';

bool is_sep(char c) { return c == '/' || c == '\\'; }

} // namespace

extern "C" {

int qf_strlcpy(char *dst, const char *src, size_t size) {
    if (!dst || size == 0) return 0;
    if (!src) {
        dst[0] = '\0';
        return 1;
    }
    size_t n = 0;
    while (n + 1 < size && src[n]) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
    return src[n] == '\0' ? 1 : 0;
}

int qf_snprintf(char *buf, size_t size, const char *format, ...) {
    if (!buf || size == 0) return 0;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, size, format, ap);
    va_end(ap);
    if (n >= 0 && static_cast<size_t>(n) < size) return n;
    buf[size - 1] = '\0';
    return static_cast<int>(size - 1);
}

int qf_snprintf_fit(char *buf, size_t size, const char *format, ...) {
    if (!buf || size == 0) return 0;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, size, format, ap);
    va_end(ap);
    if (n >= 0 && static_cast<size_t>(n) < size) return 1;
    if (n < 0) buf[0] = '\0';
    buf[size - 1] = '\0';
    return 0;
}

void qf_path_join(char *dst, size_t size, const char *first, const char *second) {
    if (!dst || size == 0) return;
    dst[0] = '\0';
    if (!first || !*first) {
        if (second) qf_strlcpy(dst, second, size);
        return;
    }
    if (!second || !*second) {
        qf_strlcpy(dst, first, size);
        return;
    }
    qf_strlcpy(dst, first, size);
    size_t len = strlen(dst);
    if (len > 0 && !is_sep(dst[len - 1]) && len + 1 < size) {
        dst[len++] = kSeparator;
        dst[len] = '\0';
    }
    while (is_sep(*second))
        ++second;
    qf_strlcpy(dst + len, second, size - len);
}

} // extern "C"
