// oci_common.cpp - storage start-up, error and JSON responses, repository-name rules.
#include "front/oci_common.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cgi/qf_audit.h"
#include "cgi/qf_cgi.h"
#include "storage/reg_storage.h"

namespace {

constexpr size_t kRootBuf = 1024;
constexpr size_t kSettingsPrefix = 2047;
constexpr size_t kRepoNameMax = 255;
constexpr char kDefaultRoot[] = "./registry_storage";
constexpr size_t kErrorBodyFixed = 38;

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

} // extern "C"
