// settings.cpp - the table of every settings key and the rules each lookup applies to a value.
#include "base/settings.h"

#include <string.h>

#include <string>

namespace {

constexpr int64_t kInt64Max = INT64_MAX;
constexpr int64_t kInt64Min = INT64_MIN;
// A path the system can open; a reader with a smaller buffer ignores a value
// that does not fit it, as a value past this bound is ignored everywhere.
constexpr int64_t kRootLenMax = 4095;

// One row per key. Tools render docs/settings.md from these rows, and a test
// compares that file with them, so a row is the key's documentation too.
const settings_entry kTable[SETTINGS_KEY_COUNT] = {
    {"storage_root", SETTINGS_STRING, 0, "./registry_storage", 0, kRootLenMax, SETTINGS_USE_DEFAULT, 0,
     "Storage root, first choice (the key directly followed by its colon); the access log's directory, second "
     "choice; empty: the default"},
    {"registry_storage_root", SETTINGS_STRING, 0, "./registry_storage", 0, kRootLenMax, SETTINGS_USE_DEFAULT, 0,
     "Storage root, second choice (the key directly followed by its colon); the access log's directory, first "
     "choice"},
    {"registry_access_log", SETTINGS_SIGNED_TEXT, 1, "1 (on)", kInt64Min, kInt64Max, SETTINGS_CLAMP, 0,
     "The number 0 (or \"0\") switches the access log off; any other number leaves it on"},
    {"registry_access_log_max_bytes", SETTINGS_SIGNED_TEXT, 5242880, "5242880", 0, kInt64Max, SETTINGS_CLAMP, 0,
     "Size of registry_access.log past which it moves to registry_access.log.1; 0: no cap"},
    {"registry_auth_user", SETTINGS_STRING, 0, "none", 1, 127, SETTINGS_REFUSE_ALL, 0,
     "A user with every right (no spaces, control bytes or ':'); goes with registry_auth_sha256"},
    {"registry_auth_sha256", SETTINGS_STRING, 0, "none", 64, 64, SETTINGS_REFUSE_ALL, 0,
     "SHA-256 of that user's password as hexadecimal digits, either case; goes with registry_auth_user"},
    {"registry_auth_file", SETTINGS_STRING, 0, "htpasswd, when present", 1, kInt64Max, SETTINGS_REFUSE_ALL, 0,
     "The password file of several users, relative to the instance directory; must exist when named"},
    {"registry_anonymous_read", SETTINGS_BOOLEAN, 0, "false", 0, 1, SETTINGS_REFUSE_ALL, 0,
     "true: pulls need no credentials while users are configured"},
    {"registry_quota_bytes", SETTINGS_INTEGER, 0, "0 (no quota)", 0, kInt64Max, SETTINGS_CLAMP, 0,
     "Most bytes the blob store and open uploads may hold; an upload past it is refused with 413; 0: no quota"},
    {"registry_retention_keep_n", SETTINGS_INTEGER, 0, "0 (off)", 0, 2147483647, SETTINGS_CLAMP, 0,
     "Tag retention (when run): tags past this many newest per repository are deleted; 0: the rule is off"},
    {"registry_retention_days", SETTINGS_INTEGER, 0, "0 (off)", 0, 2147483647, SETTINGS_CLAMP, 0,
     "Tag retention (when run): tags at least this many days old are deleted; 0: the rule is off"},
    {"registry_retention_protect_latest", SETTINGS_SWITCH, 1, "true", 0, 1, SETTINGS_CLAMP, 0,
     "Tag retention spares the tag latest"},
    {"registry_fsync", SETTINGS_SWITCH, 1, "true", 0, 1, SETTINGS_CLAMP, 0,
     "Stored files are flushed to disk before a write counts as done; off only for scratch registries"},
    {"registry_gc_grace_seconds", SETTINGS_INTEGER, 3600, "3600", 0, kInt64Max, SETTINGS_CLAMP, 0,
     "Garbage collection never removes a blob uploaded or named by a stored manifest less than this long ago"},
    {"registry_upload_sessions_max", SETTINGS_SIGNED, 1000, "1000", -1, kInt64Max, SETTINGS_CLAMP, 1,
     "Upload sessions open at once in all; 0: the default; negative: no cap"},
    {"registry_upload_sessions_per_repository_max", SETTINGS_SIGNED, 100, "100", -1, kInt64Max, SETTINGS_CLAMP, 1,
     "Upload sessions open at once per repository; 0: the default; negative: no cap"},
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_integer(settings_type t) { return t == SETTINGS_INTEGER || t == SETTINGS_SIGNED || t == SETTINGS_SIGNED_TEXT; }

std::string quoted(const settings_entry &e) { return std::string("\"") + e.name + "\""; }

// The value's first character after the key: the colon is searched from the
// key's start, so the first occurrence anywhere (even inside another member's
// string) decides. Null when the key or its colon is missing.
const char *value_after_key(const char *text, const settings_entry &e) {
    const char *at = strstr(text, quoted(e).c_str());
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
        if (v > (kInt64Max - digit) / 10) return kInt64Max;
        v = v * 10 + digit;
    }
    return v;
}

// The number at p by the type's syntax; false when there is none. Where a
// sign is allowed, a '-' alone reads as 0, as the access log always read it.
bool parse_integer(const char *p, settings_type type, int64_t &value) {
    if (type == SETTINGS_SIGNED_TEXT && *p == '"') ++p;
    if (type != SETTINGS_INTEGER && *p == '-') {
        value = -parse_digits(p + 1);
        return true;
    }
    if (!is_digit(*p)) return false;
    value = parse_digits(p);
    return true;
}

// The one place where bounds apply.
int64_t bounded(const settings_entry &e, int64_t v) {
    if (e.zero_means_default && v == 0) return e.fallback;
    if (v >= e.min && v <= e.max) return v;
    if (e.out_of_bounds != SETTINGS_CLAMP) return e.fallback;
    return v < e.min ? e.min : e.max;
}

bool length_ok(const settings_entry &e, size_t len) {
    return static_cast<int64_t>(len) >= e.min && static_cast<uint64_t>(len) <= static_cast<uint64_t>(e.max);
}

// The quoted value from the first '"' at or after from: false when it is
// unterminated, out of the key's length bounds or too long for size.
bool copy_quoted(const char *from, const settings_entry &e, char *out, size_t size) {
    const char *open = from ? strchr(from, '"') : nullptr;
    const char *close = open ? strchr(open + 1, '"') : nullptr;
    if (!close) return false;
    size_t len = static_cast<size_t>(close - open - 1);
    if (len >= size || !length_ok(e, len)) return false;
    memcpy(out, open + 1, len);
    out[len] = '\0';
    return true;
}

} // namespace

extern "C" {

const settings_entry *settings_entry_of(settings_key key) {
    if (static_cast<int>(key) < 0 || key >= SETTINGS_KEY_COUNT) return nullptr;
    return &kTable[key];
}

const char *settings_name(settings_key key) {
    const settings_entry *e = settings_entry_of(key);
    return e ? e->name : "";
}

int settings_length_ok(settings_key key, size_t len) {
    const settings_entry *e = settings_entry_of(key);
    return e && e->type == SETTINGS_STRING && length_ok(*e, len) ? 1 : 0;
}

int64_t settings_int_in(const char *text, settings_key key) {
    const settings_entry *e = settings_entry_of(key);
    if (!e || !is_integer(e->type)) return 0;
    if (!text) return e->fallback;
    const char *value = value_after_key(text, *e);
    int64_t v = 0;
    if (!value || !parse_integer(value, e->type, v)) return e->fallback;
    return bounded(*e, v);
}

int settings_switch_in(const char *text, settings_key key) {
    const settings_entry *e = settings_entry_of(key);
    if (!e || e->type != SETTINGS_SWITCH) return 0;
    const char *value = text ? value_after_key(text, *e) : nullptr;
    if (!value) return e->fallback != 0;
    if (strncmp(value, "true", 4) == 0) return 1;
    if (strncmp(value, "false", 5) == 0) return 0;
    if (is_digit(*value)) return parse_digits(value) != 0 ? 1 : 0;
    return e->fallback != 0;
}

// Nothing checks what lies between the colon and the quote: a key whose
// value is not a string runs on to the next quoted text.
int settings_str_in(const char *text, settings_key key, char *out, size_t size) {
    const settings_entry *e = settings_entry_of(key);
    if (!e || e->type != SETTINGS_STRING || !text || !out || size == 0) return 0;
    const std::string pattern = quoted(*e);
    const char *at = strstr(text, pattern.c_str());
    if (!at) return 0;
    return copy_quoted(strchr(at + pattern.size(), ':'), *e, out, size) ? 1 : 0;
}

// The root keys must be followed directly by their colon; the first of the
// two found decides, even when its value cannot be used.
void settings_root_in(const char *text, char *root, size_t cap) {
    if (!text || !root || cap == 0) return;
    for (settings_key key : {SETTINGS_STORAGE_ROOT, SETTINGS_REGISTRY_STORAGE_ROOT}) {
        const settings_entry &e = kTable[key];
        const char *match = strstr(text, (quoted(e) + ":").c_str());
        if (!match) continue;
        copy_quoted(match + strlen(e.name) + 2, e, root, cap); // from the colon
        return;
    }
}

} // extern "C"
