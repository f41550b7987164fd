// qf_cgi.cpp - reading the CGI request (query string and body included) and writing the CGI response.
#include "cgi/qf_cgi.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "cgi/qf_audit.h"
#include "platform/platform.h"

namespace {

int done = 0;

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

// --- query string ---

constexpr int kQuerySlots = 8;
constexpr size_t kQuerySlotSize = 512;
// Rotating results let a caller hold several parameter values at once with
// nothing to free; the ninth lookup reuses the first one's buffer.
char slots[kQuerySlots][kQuerySlotSize];
int slot = 0;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// '+' is a space and "%XY" one byte; a '%' without two hex digits after it
// inside the value stays literal and the characters after it decode on their
// own. The result is cut to cap - 1 bytes.
void form_decode(std::string_view value, char *out, size_t cap) {
    size_t n = 0;
    for (size_t i = 0; i < value.size() && n + 1 < cap; ++i) {
        char c = value[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && i + 2 < value.size()) {
            int hi = hex_value(value[i + 1]);
            int lo = hex_value(value[i + 2]);
            if (hi >= 0 && lo >= 0) {
                c = static_cast<char>(hi * 16 + lo);
                i += 2;
            }
        }
        out[n++] = c;
    }
    out[n] = '\0';
}

// A value that looks like a search path (both ';' and ':') is not handed out.
const char *query_from_environment(const char *name) {
    const char *value = getenv(name);
    if (!value || !*value) return "";
    if (strchr(value, ';') && strchr(value, ':')) return "";
    return value;
}

// --- request body ---

constexpr size_t kBodyChunk = 65536;

// The spooled body file, opened read-only through the platform layer and closed on every way out.
class BodyFile {
public:
    BodyFile() = default;
    ~BodyFile() { plat_close(fd_); }
    BodyFile(const BodyFile &) = delete;
    BodyFile &operator=(const BodyFile &) = delete;
    BodyFile(BodyFile &&other) noexcept : fd_(other.fd_), path_(other.path_) { other.fd_ = -1; }
    BodyFile &operator=(BodyFile &&) = delete;
    bool open(const char *path) {
        fd_ = plat_open_read(path);
        path_ = path;
        return fd_ >= 0;
    }
    explicit operator bool() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const char *path() const { return path_; }

private:
    int fd_ = -1;
    const char *path_ = nullptr;
};

struct MemFree {
    void operator()(void *p) const { free(p); }
};

// Where the body comes from: the spooled file when it opens, else `length`
// bytes of standard input (no body when length is not positive).
struct BodySource {
    BodyFile file;
    int32_t length = 0;
};

// Decimal conversion as the runtime does it (white space, sign, digits up to
// the first non-digit), kept within the signed 32-bit range.
int32_t content_length() {
    const char *text = getenv("CONTENT_LENGTH");
    if (!text) return 0;
    long long v = strtoll(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long long>(v, INT32_MIN, INT32_MAX));
}

BodySource choose_body_source() {
    BodySource src;
    const char *path = getenv("POST_BODY_FILE");
    if (path && *path) src.file.open(path);
    if (src.file) return src;
    src.length = content_length();
    if (src.length > 0) plat_stream_binary(0);
    return src;
}

// Reads until the file's size is reached or its end comes first.
char *read_file_body(const BodyFile &file, uint64_t *length_out) {
    int64_t size = 0;
    // Body sizes are 32-bit: a larger file is refused rather than read cut short.
    if (plat_file_info(file.path(), &size, nullptr) != 0 || size < 0 || size > INT32_MAX) return nullptr;
    char *buf = static_cast<char *>(malloc(static_cast<size_t>(size) + 1));
    if (!buf) return nullptr;
    size_t n = 0;
    while (n < static_cast<size_t>(size)) {
        long got = plat_read(file.fd(), buf + n, static_cast<size_t>(size) - n);
        if (got < 0) { // not readable at all (a directory): no body rather than an empty one
            free(buf);
            return nullptr;
        }
        if (got == 0) break;
        n += static_cast<size_t>(got);
    }
    buf[n] = '\0';
    if (length_out) *length_out = n;
    return buf;
}

// A short read is not an error: the buffer holds what arrived.
char *read_stdin_body(int32_t length, uint64_t *length_out) {
    char *buf = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (!buf) return nullptr;
    size_t n = fread(buf, 1, static_cast<size_t>(length), stdin);
    buf[n] = '\0';
    if (length_out) *length_out = n;
    return buf;
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

void cgi_request_reset(void) {
    memset(slots, 0, sizeof slots);
    slot = 0;
    done = 0;
}

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

const char *cgi_query(const char *name) {
    if (!name || !*name) return "";
    slot = (slot + 1) % kQuerySlots;
    char *out = slots[slot];
    out[0] = '\0';

    const char *query = getenv("QUERY_STRING");
    if (!query || !*query) return query_from_environment(name);

    // Keys are compared raw; only the first matching segment counts.
    std::string_view rest(query);
    const std::string_view wanted(name);
    for (;;) {
        size_t amp = rest.find('&');
        std::string_view segment = rest.substr(0, amp);
        size_t eq = segment.find('=');
        if (segment.substr(0, eq) == wanted) {
            form_decode(eq == std::string_view::npos ? std::string_view() : segment.substr(eq + 1), out,
                        kQuerySlotSize);
            return out;
        }
        if (amp == std::string_view::npos || amp + 1 == rest.size()) return "";
        rest.remove_prefix(amp + 1);
    }
}

char *cgi_read_post(uint64_t *length_out) {
    if (length_out) *length_out = 0;
    BodySource src = choose_body_source();
    if (src.file) return read_file_body(src.file, length_out);
    if (src.length > 0) return read_stdin_body(src.length, length_out);
    return nullptr;
}

int cgi_stream_post(cgi_chunk_fn callback, void *context, uint64_t *total_out) {
    if (total_out) *total_out = 0;
    if (!callback) return -1;
    BodySource src = choose_body_source();
    const bool from_file = static_cast<bool>(src.file);
    if (!from_file && src.length <= 0) return 0;
    // One chunk for the whole body, so any size streams in constant memory.
    std::unique_ptr<unsigned char, MemFree> chunk(static_cast<unsigned char *>(malloc(kBodyChunk)));
    if (!chunk) return -1;

    size_t remaining = from_file ? 0 : static_cast<size_t>(src.length);
    uint64_t total = 0;
    int rc = 0;
    for (;;) {
        size_t want = kBodyChunk;
        if (!from_file) {
            if (remaining == 0) break;
            want = std::min(remaining, kBodyChunk);
        }
        size_t got = 0;
        if (from_file) {
            long n = plat_read(src.file.fd(), chunk.get(), want);
            if (n < 0) rc = -1;
            got = n > 0 ? static_cast<size_t>(n) : 0;
        } else {
            got = fread(chunk.get(), 1, want, stdin);
            if (got == 0 && ferror(stdin)) rc = -1;
        }
        if (got == 0) break;
        if (callback(context, chunk.get(), got) != 0) {
            rc = -1;
            break;
        }
        total += got;
        // A short chunk leads to one more read, which meets the end of data.
        if (!from_file) remaining -= got;
    }
    if (total_out) *total_out = total;
    return rc;
}

} // extern "C"
