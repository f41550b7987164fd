// qf_audit.cpp - the access log: notes the access record, writes one line at exit.
#include "cgi/qf_audit.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "base/settings.h"
#include "cgi/qf_cgi.h"
#include "platform/file_snapshot.h"
#include "platform/platform.h"

namespace {

constexpr size_t kRootMax = 1400;
constexpr size_t kActorMax = 160;
constexpr size_t kClientMax = 64;     // an IPv6 address with a zone fits
constexpr size_t kClientEscMax = 260; // escaped, in either form
constexpr size_t kSettingsMax = 8191;
constexpr size_t kPathEscMax = 900;
constexpr size_t kActorEscMax = 320;
constexpr size_t kJsonMax = 1200;
constexpr size_t kLineMax = 2400;
constexpr size_t kWriteChunk = 4096;
constexpr char kLogName[] = "registry_access.log";

int s_init_done = 0;
uint64_t s_settings_generation = 0; // settings_generation() the settings were read under
bool s_atexit_set = false;
int s_enabled = 0;
char s_root[kRootMax] = "";
char s_path[kRootMax] = "";
int64_t s_cap = 0;

// What is noted of the request being answered; a new request starts from a
// fresh record as a whole, so nothing of the previous one can stay behind.
struct access_record {
    int flushed = 0;
    int status = 0;
    int64_t bytes = 0;
    char actor[kActorMax] = "anonymous";
    char client[kClientMax] = "";
};
access_record s_request;

// The log kept open between the requests of a process (appending), and the
// file it was opened on: the file at the path is looked at before each line
// anyway (its size, for the cap), and a file that is not this one (rotated,
// removed, replaced by another program) makes the log open the path again.
int s_log_fd = -1;
uint64_t s_log_dev = 0, s_log_ino = 0;

void close_log() {
    if (s_log_fd >= 0) plat_close(s_log_fd);
    s_log_fd = -1;
}

// The settings file's first bytes; the log never parses it as JSON.
void read_settings(char *text, size_t cap) {
    const file_snapshot &f = settings_file_snapshot();
    size_t n = f.state == 0 ? f.text.size() : 0;
    if (n > cap - 1) n = cap - 1;
    memcpy(text, f.text.data(), n);
    text[n] = '\0';
}

void init_once() {
    if (s_init_done) return;
    s_init_done = 1;
    s_root[0] = '\0';
    close_log();
    s_settings_generation = settings_generation();

    static char settings[kSettingsMax + 1];
    read_settings(settings, sizeof settings);

    // The log takes registry_storage_root before storage_root, the engine the
    // other way round: kept so a file naming both finds its log where it was.
    const char *env = getenv("REGISTRY_STORAGE_ROOT");
    if (env && *env) {
        qf_strlcpy(s_root, env, sizeof s_root);
    } else if (settings[0]) {
        if (!settings_str_in(settings, SETTINGS_REGISTRY_STORAGE_ROOT, s_root, sizeof s_root))
            settings_str_in(settings, SETTINGS_STORAGE_ROOT, s_root, sizeof s_root);
    }
    if (!s_root[0]) qf_strlcpy(s_root, settings_entry_of(SETTINGS_STORAGE_ROOT)->fallback_text, sizeof s_root);

    s_cap = settings_int_in(settings, SETTINGS_ACCESS_LOG_MAX_BYTES);
    if (settings_int_in(settings, SETTINGS_ACCESS_LOG) == 0) {
        s_enabled = 0;
        s_path[0] = '\0';
        return;
    }

    int need = snprintf(s_path, sizeof s_path, "%s%s%s", s_root, "/", kLogName);
    if (need < 0 || static_cast<size_t>(need) > kRootMax - 1) {
        s_path[0] = '\0';
        s_enabled = 0;
        return;
    }
    s_enabled = 1;
    if (!s_atexit_set) atexit(qf_audit_flush);
    s_atexit_set = true;
}

// Escapes for a value inside the JSON object: the short forms, and \u00NN for
// every other control byte and every byte from 0x7f, one escape per byte, so
// the line is printable ASCII and valid JSON whatever the request sent.
const char *short_escape(unsigned char c) {
    switch (c) {
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '"': return "\\\"";
    case '\\': return "\\\\";
    default: return nullptr;
    }
}

// Escapes into out; stops while at least 8 bytes are free so no escape is split.
void json_esc_into(char *out, size_t cap, const char *in) {
    size_t len = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(in); *p; ++p) {
        if (len + 7 >= cap) break;
        if (const char *esc = short_escape(*p)) {
            memcpy(out + len, esc, 2);
            len += 2;
        } else if (*p < 0x20 || *p >= 0x7f) {
            snprintf(out + len, cap - len, "\\u%04x", *p);
            len += 6;
        } else {
            out[len++] = static_cast<char>(*p);
        }
    }
    out[len] = '\0';
}

// A field of the plain-text part: space, control bytes, backslash, double
// quote and bytes from 0x7f become \xNN, so a request can neither end a field
// nor a line early, nor pass for the JSON object. "-" stands for an empty value.
void text_esc_into(char *out, size_t cap, const char *in) {
    size_t len = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(in); *p; ++p) {
        if (len + 7 >= cap) break;
        if (*p <= 0x20 || *p >= 0x7f || *p == '\\' || *p == '"') {
            snprintf(out + len, cap - len, "\\x%02x", *p);
            len += 4;
        } else {
            out[len++] = static_cast<char>(*p);
        }
    }
    if (len == 0 && cap > 1) out[len++] = '-';
    out[len] = '\0';
}

void time_stamp(char *out, size_t cap) {
    time_t now = time(nullptr);
    struct tm tm_utc;
    if (!gmtime_r(&now, &tm_utc)) memset(&tm_utc, 0, sizeof tm_utc);
    if (strftime(out, cap, "%Y-%m-%dT%H:%M:%SZ", &tm_utc) == 0) qf_strlcpy(out, "1970-01-01T00:00:00Z", cap);
}

// Moves a full log aside before the line that would take it past its cap.
// at is the file at the path as just looked at.
void rotate_if_needed(const plat_file_id &at, size_t line_len) {
    if (s_cap <= 0 || at.size < 0 || at.size + static_cast<int64_t>(line_len) <= s_cap) return;
    char rotated[kRootMax + 2];
    snprintf(rotated, sizeof rotated, "%s%s", s_path, ".1");
    plat_unlink(rotated);
    if (plat_rename(s_path, rotated) == 0) close_log();
}

// The descriptor of the file now at the path: the one kept open when it is
// still that file, else the path opened again (and created when missing).
int log_fd(const plat_file_id &at, bool present) {
    if (s_log_fd >= 0 && present && at.dev == s_log_dev && at.ino == s_log_ino) return s_log_fd;
    close_log();
    s_log_fd = plat_open_append(s_path);
    plat_file_id opened{};
    if (s_log_fd >= 0 && plat_fd_identity(s_log_fd, &opened) != 0) close_log();
    s_log_dev = opened.dev;
    s_log_ino = opened.ino;
    return s_log_fd;
}

void append_line(const char *line, size_t len) {
    plat_file_id at{};
    bool present = plat_file_identity(s_path, 1, &at) == 0;
    if (present) rotate_if_needed(at, len);
    int fd = log_fd(at, present);
    if (fd < 0) return;
    // One write for a line (lines are shorter than a chunk), so lines of
    // processes appending to the same file never interleave.
    size_t off = 0;
    while (off < len) {
        size_t chunk = len - off < kWriteChunk ? len - off : kWriteChunk;
        long n = plat_write(fd, line + off, chunk);
        if (n <= 0) {
            // A failed descriptor is not trusted with the next line.
            close_log();
            break;
        }
        off += static_cast<size_t>(n);
    }
}

} // namespace

extern "C" {

void qf_audit_note_status(int status) {
    init_once();
    if (status > 0) s_request.status = status;
}

void qf_audit_note_bytes(int64_t count) {
    init_once();
    if (count > 0) s_request.bytes = count;
}

void qf_audit_note_actor(const char *name) {
    init_once();
    if (name && *name) qf_strlcpy(s_request.actor, name, sizeof s_request.actor);
}

void qf_audit_note_client(const char *addr) {
    init_once();
    if (addr && *addr) qf_strlcpy(s_request.client, addr, sizeof s_request.client);
}

void qf_audit_flush(void) {
    init_once();
    if (!s_enabled || s_request.flushed || s_request.status <= 0) return;
    s_request.flushed = 1;

    // Every value but the numbers and the time stamp comes from the request.
    const char *method = cgi_method();
    const char *client = s_request.client[0] ? s_request.client : cgi_env("REMOTE_ADDR", "-");
    char ts[64];
    time_stamp(ts, sizeof ts);
    static char method_text[kLineMax], method_json[kJsonMax];
    text_esc_into(method_text, sizeof method_text, method);
    json_esc_into(method_json, sizeof method_json, method);
    char path_text[kPathEscMax], path_json[kPathEscMax];
    text_esc_into(path_text, sizeof path_text, cgi_path_info());
    json_esc_into(path_json, sizeof path_json, cgi_path_info());
    char actor_text[kActorEscMax], actor_json[kActorEscMax];
    text_esc_into(actor_text, sizeof actor_text, s_request.actor);
    json_esc_into(actor_json, sizeof actor_json, s_request.actor);
    char client_text[kClientEscMax], client_json[kClientEscMax];
    text_esc_into(client_text, sizeof client_text, client);
    json_esc_into(client_json, sizeof client_json, client);

    char json[kJsonMax];
    qf_snprintf(json, sizeof json,
                "{\"ts\":\"%s\",\"method\":\"%s\",\"path\":\"%s\",\"status\":%d,\"bytes\":%lld,\"actor\":\"%s\","
                "\"client\":\"%s\"}",
                ts, method_json, path_json, s_request.status, static_cast<long long>(s_request.bytes), actor_json,
                client_json);
    static char line[kLineMax];
    int len = qf_snprintf(line, sizeof line, "%s %s %lld %d %s %s %s %s\n", method_text, path_text,
                          static_cast<long long>(s_request.bytes), s_request.status, actor_text, client_text, ts, json);
    if (len <= 0) return;

    append_line(line, static_cast<size_t>(len));
}

void qf_audit_begin_request(void) {
    if (s_init_done && settings_generation() != s_settings_generation) s_init_done = 0;
    s_request = access_record{};
}

const char *qf_audit_log_path(void) {
    init_once();
    return s_path;
}

int64_t qf_audit_cap_bytes(void) {
    init_once();
    return s_cap;
}

int qf_audit_enabled(void) {
    init_once();
    return s_enabled;
}

int64_t qf_audit_log_bytes(void) {
    init_once();
    int64_t size = 0;
    if (!s_path[0] || plat_file_info(s_path, &size, nullptr) != 0) return -1;
    return size;
}

} // extern "C"
