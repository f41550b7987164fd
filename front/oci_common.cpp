// oci_common.cpp - storage start-up, error and JSON responses, repository-name rules, settings lookups.
#include "front/oci_common.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cgi/qf_audit.h"
#include "cgi/qf_cgi.h"
#include "platform/json_doc.h"
#include "storage/reg_storage.h"

namespace {

constexpr size_t kRootBuf = 1024;
constexpr size_t kSettingsPrefix = 2047;
constexpr size_t kRepoNameMax = 255;
constexpr char kDefaultRoot[] = "./registry_storage";
constexpr size_t kErrorBodyFixed = 38;
// The lookups see only this much of the settings file; a key further on is absent.
constexpr size_t kLookupWindow = 4095;
constexpr char kProtectLatestKey[] = "\"registry_retention_protect_latest\"";

int s_storage_ready = 0;

bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// The settings file is scanned, not parsed: the key with its colon is searched
// verbatim and the value is whatever stands between the next two quotes.
void root_from_settings(char *root) {
    FILE *f = fopen("config.json", "rb");
    if (!f) return;
    char text[kSettingsPrefix + 1];
    size_t n = fread(text, 1, kSettingsPrefix, f);
    fclose(f);
    text[n] = '\0';

    const char *match = strstr(text, "\"storage_root\":");
    if (!match) match = strstr(text, "\"registry_storage_root\":");
    if (!match) return;
    const char *colon = strchr(match, ':');
    const char *open = colon ? strchr(colon, '"') : nullptr;
    const char *close = open ? strchr(open + 1, '"') : nullptr;
    if (!close) return;
    size_t len = static_cast<size_t>(close - open - 1);
    if (len >= kRootBuf) return;
    memcpy(root, open + 1, len);
    root[len] = '\0';
}

// Reads the first bytes of the settings file afresh, so a changed file takes
// effect at the next lookup. False when the file cannot be opened.
bool read_lookup_window(char (&text)[kLookupWindow + 1]) {
    FILE *f = fopen("config.json", "rb");
    if (!f) return false;
    size_t n = fread(text, 1, kLookupWindow, f);
    fclose(f);
    text[n] = '\0';
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value's first character after the key: the colon is searched from the
// key's start, so the first occurrence anywhere (even inside another member's
// string) decides. Null when the key or its colon is missing.
const char *value_after_key(const char *text, const char *key) {
    const char *at = strstr(text, key);
    const char *p = at ? strchr(at, ':') : nullptr;
    if (!p) return nullptr;
    ++p;
    while (*p == '\t' || *p == '\n' || *p == '\r' || *p == ' ')
        ++p;
    return p;
}

// Digits up to the first non-digit; a number past the 64-bit range saturates
// instead of wrapping into a small or negative setting.
int64_t parse_digits(const char *p) {
    int64_t v = 0;
    for (; is_digit(*p); ++p) {
        int digit = *p - '0';
        if (v > (INT64_MAX - digit) / 10) return INT64_MAX;
        v = v * 10 + digit;
    }
    return v;
}

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

int oci_init_storage(void) {
    if (s_storage_ready) return 0;
    char root[kRootBuf] = "";
    const char *env = getenv("REGISTRY_STORAGE_ROOT");
    if (env && *env)
        qf_strlcpy(root, env, sizeof root);
    else
        root_from_settings(root);
    if (!root[0]) qf_strlcpy(root, kDefaultRoot, sizeof root);
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

int64_t oci_config_int(const char *key) {
    if (!key || !*key) return 0;
    char text[kLookupWindow + 1];
    if (!read_lookup_window(text)) return 0;
    const char *value = value_after_key(text, key);
    // Only plain digits count: a sign, a quote or a letter leaves the default.
    if (!value || !is_digit(*value)) return 0;
    return parse_digits(value);
}

int64_t oci_retention_keep_n(void) { return oci_config_int("\"registry_retention_keep_n\""); }

int64_t oci_retention_days(void) { return oci_config_int("\"registry_retention_days\""); }

int64_t oci_quota_bytes(void) { return oci_config_int("\"registry_quota_bytes\""); }

// Anything that is not clearly false keeps "latest" protected: deleting it by
// mistake costs more than keeping it.
int oci_retention_protect_latest(void) {
    char text[kLookupWindow + 1];
    if (!read_lookup_window(text)) return 1;
    const char *value = value_after_key(text, kProtectLatestKey);
    if (!value) return 1;
    if (strncmp(value, "true", 4) == 0) return 1;
    if (strncmp(value, "false", 5) == 0) return 0;
    if (is_digit(*value)) return parse_digits(value) != 0 ? 1 : 0;
    return 1;
}

int64_t oci_quota_used_bytes(void) {
    const char *stats = reg_storage_get_stats_json();
    if (!stats) return 0;
    json_doc_ptr doc(json_read(stats, strlen(stats)));
    json_val *bytes = json_obj_get(json_doc_root(doc.get()), "blob_bytes");
    int64_t used = 0;
    if (json_is_sint(bytes))
        used = json_get_sint(bytes);
    else if (json_is_uint(bytes)) // beyond the signed range: kept to 64 bits as a signed value
        used = static_cast<int64_t>(json_get_uint(bytes));
    return used;
}

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

// Fails open: an upload is refused only when the store's bytes are known and
// clearly leave no room for it.
int oci_quota_check(const char *upload_id, char *message, size_t message_size) {
    bool has_buffer = message && message_size > 0;
    if (has_buffer) message[0] = '\0';
    int64_t quota = oci_quota_bytes();
    if (quota == 0 || !upload_id) return 1;
    int64_t upload = 0;
    if (reg_blob_upload_size(upload_id, &upload) != 0) return 1;
    if (upload < 0) upload = 0;
    int64_t used = oci_quota_used_bytes();
    // A sum past the 64-bit range is beyond every quota, not a wrapped small number.
    int64_t total = 0;
    if (!__builtin_add_overflow(used, upload, &total) && total <= quota) return 1;
    char used_text[OCI_FMT_BYTES_SIZE], quota_text[OCI_FMT_BYTES_SIZE];
    oci_fmt_bytes(used, used_text);
    oci_fmt_bytes(quota, quota_text);
    if (has_buffer) qf_snprintf(message, message_size, "quota exceeded: %s of %s used", used_text, quota_text);
    return 0;
}

} // extern "C"
