// names.cpp - the engine's identifier rules and small text helpers.
#include <stdio.h>
#include <string.h>

#include "storage/storage_internal.h"

namespace {

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '/' || c == '\\';
}

bool is_sep(char c) { return c == '/' || c == '\\'; }

// Length of the well-formed UTF-8 character at p (at most len bytes there),
// or 0: no overlong form, no surrogate, nothing past U+10FFFF.
size_t utf8_char_len(const unsigned char *p, size_t len) {
    unsigned char c = p[0];
    if (c < 0x80) return 1;
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || n > len) return 0;
    for (size_t i = 1; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    // The second byte's range is narrower after these leads.
    if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F) || (c == 0xF0 && p[1] < 0x90) ||
        (c == 0xF4 && p[1] > 0x8F))
        return 0;
    return n;
}

// Every component must name something below the repositories directory: an
// empty or "." component would address a parent (or the directory itself),
// and a "_manifests" component would address the manifests of another
// repository (deleting "lib/_manifests" would empty repository "lib").
bool components_sound(const char *name) {
    static constexpr char kManifests[] = "_manifests";
    const char *start = name;
    for (const char *p = name;; ++p) {
        if (*p && !is_sep(*p)) continue;
        size_t len = static_cast<size_t>(p - start);
        if (len == 0 || (len == 1 && *start == '.')) return false;
        if (len == sizeof kManifests - 1 && memcmp(start, kManifests, len) == 0) return false;
        if (!*p) return true;
        start = p + 1;
    }
}

} // namespace

int repo_name_valid(const char *name) {
    if (!name || !*name) return 0;
    size_t len = strlen(name);
    if (len > kRepoNameMax) return 0;
    for (size_t i = 0; i < len; ++i)
        if (!is_name_char(name[i])) return 0;
    if (strstr(name, "..")) return 0;
    return components_sound(name) ? 1 : 0;
}

int uuid_valid(const char *text) {
    if (!text) return 0;
    for (int i = 0; i < 36; ++i) {
        bool dash_here = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash_here ? text[i] != '-' : !is_lower_hex(text[i])) return 0;
    }
    return text[36] == '\0' ? 1 : 0;
}

int hex64_valid(const char *text) {
    if (!text || strlen(text) != 64) return 0;
    for (int i = 0; i < 64; ++i)
        if (!is_lower_hex(text[i])) return 0;
    return 1;
}

int digest_valid(const char *text) {
    if (!text || strncmp(text, "sha256:", 7) != 0) return 0;
    return hex64_valid(text + 7);
}

// The tag becomes a directory name as it stands: anything that would address
// another directory, or not fit in one name, is refused. It is also handed
// back in JSON tag lists, which a byte that is not UTF-8 would make unreadable
// for every client of the repository.
int tag_valid(const char *tag) {
    if (!tag || !*tag || strcmp(tag, ".") == 0 || strcmp(tag, "..") == 0) return 0;
    size_t len = strnlen(tag, kTagMax + 1);
    if (len > kTagMax) return 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(tag);
    for (size_t i = 0; i < len;) {
        unsigned char c = p[i];
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return 0;
        size_t n = utf8_char_len(p + i, len - i);
        if (n == 0) return 0;
        i += n;
    }
    return 1;
}

size_t json_escape_append(char *dst, size_t room, const char *text) {
    size_t n = 0;
    if (text) {
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p && n + 8 < room; ++p) {
            const char *esc = nullptr;
            switch (*p) {
            case '"': esc = "\\\""; break;
            case '\\': esc = "\\\\"; break;
            case 0x08: esc = "\\b"; break;
            case 0x09: esc = "\\t"; break;
            case 0x0A: esc = "\\n"; break;
            case 0x0C: esc = "\\f"; break;
            case 0x0D: esc = "\\r"; break;
            default: break;
            }
            if (esc) {
                memcpy(dst + n, esc, 2);
                n += 2;
            } else if (*p < 0x20) {
                snprintf(dst + n, room - n, "\\u%04x", *p);
                n += 6;
            } else {
                dst[n++] = static_cast<char>(*p);
            }
        }
    }
    if (n < room) dst[n] = '\0';
    return n;
}
