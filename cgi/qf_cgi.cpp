// qf_cgi.cpp - reading the CGI request and writing the CGI response.
#include "cgi/qf_cgi.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "cgi/qf_audit.h"
#include "platform/platform.h"

namespace {

constexpr char kSeparator = '/';
int done = 0;

bool is_sep(char c) { return c == '/' || c == '\\'; }

void write_str(const char *text) { fputs(text, stdout); }

// The status reaches the access log before the line is written, so a process
// that dies right after still logs what it answered.
void status_line(int status, const char *reason) {
    qf_stdout_bin();
    qf_audit_note_status(status);
    if (reason && *reason)
        printf("Status: %d %s\r\n", status, reason);
    else
        printf("Status: %d\r\n", status);
}

[[noreturn]] void finish_process() {
    fflush(stdout);
    exit(0);
}

} // namespace

extern "C" {

const char *cgi_env(const char *name, const char *fallback) {
    const char *value = name ? getenv(name) : nullptr;
    if (value && *value) return value;
    return fallback ? fallback : "";
}

const char *cgi_method(void) { return cgi_env("REQUEST_METHOD", "GET"); }

int cgi_is_post(void) {
    const char *m = getenv("REQUEST_METHOD");
    return m && strncmp(m, "PO", 2) == 0 ? 1 : 0;
}

int cgi_is_head(void) {
    const char *m = getenv("REQUEST_METHOD");
    return m && strncmp(m, "HEAD", 4) == 0 ? 1 : 0;
}

const char *cgi_path_info(void) { return cgi_env("PATH_INFO", "/"); }

void qf_stdout_bin(void) {
    if (done) return;
    plat_stream_binary(1);
    done = 1;
}

void cgi_header_html(void) {
    qf_stdout_bin();
    write_str("Content-Type: text/html; charset=utf-8\r\n");
}

void cgi_header_json(void) {
    qf_stdout_bin();
    write_str("Content-Type: application/json; charset=utf-8\r\n");
}

void cgi_header_text(void) {
    qf_stdout_bin();
    write_str("Content-Type: text/plain; charset=utf-8\r\n");
}

void cgi_header_status(int status, const char *reason) { status_line(status, reason); }

void cgi_header_ct(const char *type) {
    qf_stdout_bin();
    printf("Content-Type: %s\r\n", type ? type : "");
}

void cgi_header_extra(const char *line) {
    qf_stdout_bin();
    if (line) write_str(line);
    write_str("\r\n");
}

void cgi_headers_end(void) {
    write_str("\r\n");
    fflush(stdout);
    plat_stream_binary(1);
}

void cgi_die_text(int status, const char *message) {
    status_line(status, nullptr);
    cgi_header_text();
    cgi_headers_end();
    write_str(message ? message : "");
    write_str("\n");
    finish_process();
}

void cgi_die_json(int status, const char *message) {
    status_line(status, nullptr);
    cgi_header_json();
    cgi_headers_end();
    write_str("{\"errors\":[{\"code\":\"ERROR\",\"message\":\"");
    json_escape_f(stdout, message ? message : "error");
    write_str("\"}]}\n");
    finish_process();
}

void json_escape_f(FILE *stream, const char *text) {
    if (!stream || !text) return;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        switch (*p) {
        case '"': fputs("\\\"", stream); break;
        case '\\': fputs("\\\\", stream); break;
        case 0x08: fputs("\\b", stream); break;
        case 0x09: fputs("\\t", stream); break;
        case 0x0A: fputs("\\n", stream); break;
        case 0x0C: fputs("\\f", stream); break;
        case 0x0D: fputs("\\r", stream); break;
        default:
            if (*p < 0x20)
                fprintf(stream, "\\u%04x", *p);
            else
                fputc(*p, stream);
        }
    }
}

void qf_strlcpy(char *dst, const char *src, size_t size) {
    if (!dst || size == 0) return;
    if (!src) {
        dst[0] = '\0';
        return;
    }
    size_t n = 0;
    while (n + 1 < size && src[n]) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
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
