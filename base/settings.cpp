// settings.cpp - lookups in the settings file config.json of the working directory.
#include "base/settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/qf_str.h"

namespace {

constexpr size_t kSettingsPrefix = 2047;
constexpr char kDefaultRoot[] = "./registry_storage";
// The lookups see only this much of the settings file; a key further on is absent.
constexpr size_t kLookupWindow = 4095;
constexpr char kProtectLatestKey[] = "\"registry_retention_protect_latest\"";
constexpr char kGcGraceKey[] = "\"registry_gc_grace_seconds\"";
// Covers a slow push of a large image: every layer uploaded, then the manifest stored.
constexpr int64_t kGcGraceDefault = 3600;
constexpr size_t kPatternBuf = 96;

// The settings file is scanned, not parsed: the key with its colon is searched
// verbatim and the value is whatever stands between the next two quotes.
void root_from_settings(char *root, size_t cap) {
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
    if (len >= cap) return;
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

} // namespace

extern "C" {

int json_str_key(const char *text, const char *key, char *out, size_t size) {
    if (!text || !key || !out || size == 0) return 0;
    // A key cut to fit the pattern would match another key: refuse it instead.
    if (strlen(key) + 2 >= kPatternBuf) return 0;
    char pattern[kPatternBuf];
    qf_snprintf(pattern, sizeof pattern, "\"%s\"", key);
    const char *at = strstr(text, pattern);
    if (!at) return 0;
    // Nothing checks what lies between the colon and the quote: a key whose
    // value is not a string runs on to the next quoted text.
    const char *colon = strchr(at + strlen(pattern), ':');
    const char *open = colon ? strchr(colon, '"') : nullptr;
    const char *close = open ? strchr(open + 1, '"') : nullptr;
    if (!close) return 0;
    size_t len = static_cast<size_t>(close - open - 1);
    if (len >= size) return 0;
    memcpy(out, open + 1, len);
    out[len] = '\0';
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

// Unlike the settings where 0 means "off", 0 is a real value here, so an
// absent key cannot read as 0.
int64_t oci_gc_grace_seconds(void) {
    char text[kLookupWindow + 1];
    if (!read_lookup_window(text)) return kGcGraceDefault;
    const char *value = value_after_key(text, kGcGraceKey);
    if (!value || !is_digit(*value)) return kGcGraceDefault;
    return parse_digits(value);
}

void oci_storage_root_setting(char *root, size_t cap) {
    if (!root || cap == 0) return;
    root[0] = '\0';
    const char *env = getenv("REGISTRY_STORAGE_ROOT");
    if (env && *env)
        qf_strlcpy(root, env, cap);
    else
        root_from_settings(root, cap);
    if (!root[0]) qf_strlcpy(root, kDefaultRoot, cap);
}

} // extern "C"
