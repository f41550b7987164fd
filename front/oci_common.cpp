// oci_common.cpp - storage start-up, error and JSON responses, repository-name rules, settings lookups.
#include "front/oci_common.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cgi/qf_audit.h"
#include "cgi/qf_cgi.h"
#include "base/settings.h"
#include "platform/json_doc.h"
#include "storage/reg_storage.h"

namespace {

// Longer than any root the engine accepts: a root that fills it is refused
// by reg_storage_init as too long, never started on cut to fit.
constexpr size_t kRootBuf = 4096;
constexpr size_t kRepoNameMax = 255;
constexpr size_t kErrorBodyFixed = 38;

int s_storage_ready = 0;
uint64_t s_storage_generation = 0; // settings_generation() the engine was started under

// The entry's own handle (oci_engine_begin_request); null until a request
// needed the storage, or after the settings changed.
bool s_entry_handle = false;
reg_engine *s_engine = nullptr;
bool s_engine_ready = false;
uint64_t s_engine_generation = 0;

bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

void write_preamble(int status) {
    cgi_header_status(status, nullptr);
    cgi_header_extra(OCI_API_VERSION_HEADER);
    cgi_header_json();
    cgi_headers_end();
}

} // namespace

extern "C" {

const char *oci_skip_api_prefix(const char *path) {
    while (*path == '/')
        ++path;
    if (strncmp(path, "v2/", 3) == 0) return path + 3;
    if (strcmp(path, "v2") == 0) return path + 2;
    return path;
}

void oci_engine_begin_request(void) {
    s_entry_handle = true;
    if (s_engine && settings_generation() != s_engine_generation) {
        reg_engine_close(s_engine);
        s_engine = nullptr;
        s_engine_ready = false;
    }
    reg_engine_use(s_engine);
    reg_storage_clear_error();
}

namespace {

// The entry's handle is opened lazily: a request refused at the door, or one
// that never reaches the storage, creates no storage tree. A failed start
// is tried again by the next request that needs the storage.
int open_entry_engine(void) {
    if (s_engine && s_engine_ready) return 0;
    reg_engine_close(s_engine);
    s_engine = nullptr;
    s_engine_ready = false;
    s_engine_generation = settings_generation();
    char root[kRootBuf];
    settings_storage_root(root, sizeof root);
    int rc = reg_engine_open(root, &s_engine);
    // Selected even when the start failed: its last error says why.
    reg_engine_use(s_engine);
    if (!s_engine) return -1;
    s_engine_ready = rc == 0;
    return rc;
}

} // namespace

// Started again when config.json changed: the root and the flushing
// setting the engine holds may have changed with it.
int oci_init_storage(void) {
    if (s_entry_handle) return open_entry_engine();
    uint64_t generation = settings_generation();
    if (s_storage_ready && generation == s_storage_generation) return 0;
    s_storage_ready = 0;
    s_storage_generation = generation;
    char root[kRootBuf];
    settings_storage_root(root, sizeof root);
    int rc = reg_storage_init(root);
    if (rc == 0) s_storage_ready = 1;
    return rc;
}

void oci_send_error(int status, const char *code, const char *message) {
    if (!code) code = "UNKNOWN";
    if (!message) message = "Unknown error";
    write_preamble(status);
    fputs("{\"errors\":[{\"code\":\"", stdout);
    fputs(code, stdout);
    fputs("\",\"message\":\"", stdout);
    json_escape_f(stdout, message);
    fputs("\"}]}\n", stdout);
    qf_audit_note_bytes(static_cast<int64_t>(kErrorBodyFixed + strlen(code) + strlen(message)));
    fflush(stdout);
    exit(0);
}

int oci_send_json(int status, const char *json) {
    write_preamble(status);
    if (json && *json) {
        fputs(json, stdout);
        fputs("\n", stdout);
        qf_audit_note_bytes(static_cast<int64_t>(strlen(json) + 1));
    } else {
        fputs("{}\n", stdout);
        qf_audit_note_bytes(3);
    }
    return fflush(stdout) == 0 ? 0 : -1;
}

int oci_valid_repo_name(const char *name) {
    if (!name || !*name) return 0;
    size_t len = strlen(name);
    if (len > kRepoNameMax) return 0;
    for (size_t i = 0; i < len; ++i) {
        char c = name[i];
        bool edge = i == 0 || i == len - 1;
        if (is_alnum(c)) continue;
        if (c == '-' || c == '_' || c == '.') {
            if (edge) return 0;
        } else if (c == '/') {
            if (edge || name[i - 1] == '/') return 0;
        } else {
            return 0;
        }
    }
    return 1;
}

int oci_parse_repo_marker(const char *path, const char *marker, char *name_out, size_t name_cap, char *rest_out,
                          size_t rest_cap) {
    if (!path || !marker || !name_out || name_cap == 0) return 0;
    name_out[0] = '\0';
    bool want_rest = rest_out && rest_cap > 0;
    if (want_rest) rest_out[0] = '\0';

    path = oci_skip_api_prefix(path);

    const char *at = strstr(path, marker);
    if (!at || at == path) return 0;
    size_t name_len = static_cast<size_t>(at - path);
    if (name_len >= name_cap) return 0;
    memcpy(name_out, path, name_len);
    name_out[name_len] = '\0';
    if (!oci_valid_repo_name(name_out)) return 0;
    if (!want_rest) return 1;

    const char *rest = at + strlen(marker);
    while (*rest == '/')
        ++rest;
    qf_strlcpy(rest_out, rest, rest_cap);
    size_t rest_len = strlen(rest_out);
    if (rest_len > 0 && rest_out[rest_len - 1] == '/') rest_out[rest_len - 1] = '\0';
    return 1;
}

namespace {

// One count of the store's statistics; 0 when it cannot be had.
int64_t stats_bytes(const char *member) {
    const char *stats = reg_storage_get_stats_json();
    if (!stats) return 0;
    json_doc_ptr doc(json_read(stats, strlen(stats)));
    json_val *bytes = json_obj_get(json_doc_root(doc.get()), member);
    int64_t used = 0;
    if (json_is_sint(bytes))
        used = json_get_sint(bytes);
    else if (json_is_uint(bytes)) // beyond the signed range: kept to 64 bits as a signed value
        used = static_cast<int64_t>(json_get_uint(bytes));
    return used;
}

} // namespace

int64_t oci_quota_used_bytes(void) { return stats_bytes("blob_bytes"); }

int64_t oci_quota_parts_bytes(void) { return stats_bytes("upload_bytes"); }

void oci_fmt_bytes(int64_t count, char *buffer) {
    constexpr double kKiB = 1024.0, kMiB = 1048576.0, kGiB = 1073741824.0;
    if (count < 1024)
        qf_snprintf(buffer, OCI_FMT_BYTES_SIZE, "%lld B", static_cast<long long>(count));
    else if (count < 1048576)
        qf_snprintf(buffer, OCI_FMT_BYTES_SIZE, "%.1f %s", static_cast<double>(count) / kKiB, "KB");
    else if (count < 1073741824)
        qf_snprintf(buffer, OCI_FMT_BYTES_SIZE, "%.1f %s", static_cast<double>(count) / kMiB, "MB");
    else
        qf_snprintf(buffer, OCI_FMT_BYTES_SIZE, "%.1f %s", static_cast<double>(count) / kGiB, "GB");
}

int oci_quota_check(const char *upload_id, char *message, size_t message_size) {
    if (message && message_size > 0) message[0] = '\0';
    if (!upload_id) return 1;
    return oci_quota_check_adding(upload_id, 0, message, message_size);
}

// Fails open: an upload is refused only when the store's bytes are known and
// clearly leave no room for it.
int oci_quota_check_adding(const char *upload_id, int64_t incoming, char *message, size_t message_size) {
    bool has_buffer = message && message_size > 0;
    if (has_buffer) message[0] = '\0';
    int64_t quota = settings_int(SETTINGS_QUOTA_BYTES);
    if (quota == 0) return 1;
    if (upload_id) {
        int64_t held = 0;
        if (reg_blob_upload_size(upload_id, &held) != 0) return 1;
    }
    if (incoming < 0) incoming = 0;
    int64_t used = oci_quota_used_bytes();
    // Every session's part file counts, this one's among them: sessions
    // each under the quota must not together pass it.
    int64_t upload = oci_quota_parts_bytes();
    if (upload < 0) upload = 0;
    // A sum past the 64-bit range is beyond every quota, not a wrapped small number.
    int64_t total = 0;
    if (!__builtin_add_overflow(used, upload, &total) && !__builtin_add_overflow(total, incoming, &total) &&
        total <= quota)
        return 1;
    char used_text[OCI_FMT_BYTES_SIZE], quota_text[OCI_FMT_BYTES_SIZE];
    oci_fmt_bytes(used, used_text);
    oci_fmt_bytes(quota, quota_text);
    if (has_buffer) qf_snprintf(message, message_size, "quota exceeded: %s of %s used", used_text, quota_text);
    return 0;
}

} // extern "C"
