// settings.cpp - scans of the settings text for quoted keys: the rules every settings lookup shares.
#include "base/settings.h"

#include <string.h>

#include "base/qf_str.h"

namespace {

constexpr size_t kPatternBuf = 96;

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

// The settings file is scanned, not parsed: the key with its colon is searched
// verbatim and the value is whatever stands between the next two quotes.
void settings_root_in(const char *text, char *root, size_t cap) {
    if (!text || !root || cap == 0) return;
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

int64_t settings_int_in(const char *text, const char *key) {
    if (!text || !key || !*key) return 0;
    const char *value = value_after_key(text, key);
    // Only plain digits count: a sign, a quote or a letter leaves the default.
    if (!value || !is_digit(*value)) return 0;
    return parse_digits(value);
}

int64_t settings_int_or_in(const char *text, const char *key, int64_t fallback) {
    if (!text || !key || !*key) return fallback;
    const char *value = value_after_key(text, key);
    if (!value || !is_digit(*value)) return fallback;
    return parse_digits(value);
}

int settings_switch_in(const char *text, const char *key, int fallback) {
    if (!text || !key) return fallback;
    const char *value = value_after_key(text, key);
    if (!value) return fallback;
    if (strncmp(value, "true", 4) == 0) return 1;
    if (strncmp(value, "false", 5) == 0) return 0;
    if (is_digit(*value)) return parse_digits(value) != 0 ? 1 : 0;
    return fallback;
}

} // extern "C"
