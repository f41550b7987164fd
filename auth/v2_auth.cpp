// v2_auth.cpp - HTTP Basic authentication against the user and password hash of config.json.
#include "auth/v2_auth.h"

#include <stdio.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "auth/access.h"
#include "auth/auth_internal.h"
#include "cgi/qf_audit.h"
#include "cgi/qf_cgi.h"
#include "digest/sha256.h"
#include "base/wire.h"
#include "platform/platform.h"

namespace {

constexpr size_t kUserBuf = 128; // user name: at most 127 characters
constexpr size_t kCredentialsMax = 511;
constexpr size_t kHashDigits = 64;

constexpr char kChallengeHeader[] = REGISTRY_AUTH_CHALLENGE_HEADER;
constexpr char kChallengeBody[] = REGISTRY_AUTH_CHALLENGE_BODY;


// Clears secrets on every way out of a scope.
struct Wipe {
    void *data;
    size_t len;
    ~Wipe() { explicit_bzero(data, len); }
};

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The Base64 text after "Basic" (any letter case) and its separator, or null.
const char *basic_credentials(const char *header) {
    while (*header == ' ')
        ++header;
    static constexpr char kScheme[] = "basic";
    for (size_t i = 0; i < sizeof kScheme - 1; ++i)
        if (ascii_lower(header[i]) != kScheme[i]) return nullptr;
    const char *p = header + sizeof kScheme - 1;
    if (*p == ' ') {
        while (*p == ' ')
            ++p;
    } else if (*p == '\t') {
        ++p;
    } else {
        return nullptr;
    }
    return *p ? p : nullptr;
}

// Both alphabets, standard and URL-safe, even mixed.
int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

// Padding and white space may stand anywhere and are skipped.
bool base64_skipped(char c) { return c == '=' || c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// Decodes into out (room for kCredentialsMax bytes). The decoded length, or
// -1 for a foreign character, a single leftover symbol or too long a result.
long decode_base64(const char *in, unsigned char *out) {
    uint32_t acc = 0;
    int symbols = 0;
    size_t n = 0;
    for (; *in; ++in) {
        if (base64_skipped(*in)) continue;
        int v = base64_value(*in);
        if (v < 0) return -1;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        if (++symbols < 4) continue;
        if (n + 3 > kCredentialsMax) return -1;
        out[n++] = static_cast<unsigned char>(acc >> 16);
        out[n++] = static_cast<unsigned char>(acc >> 8);
        out[n++] = static_cast<unsigned char>(acc);
        acc = 0;
        symbols = 0;
    }
    if (symbols == 1) return -1;
    if (symbols == 2) {
        if (n + 1 > kCredentialsMax) return -1;
        out[n++] = static_cast<unsigned char>(acc >> 4);
    } else if (symbols == 3) {
        if (n + 2 > kCredentialsMax) return -1;
        out[n++] = static_cast<unsigned char>(acc >> 10);
        out[n++] = static_cast<unsigned char>(acc >> 2);
    }
    return static_cast<long>(n);
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digit values are compared, so the configured hash may use either letter
// case; every position is visited before the answer is given.
bool password_matches(const unsigned char *password, size_t len, const char *configured) {
    uint8_t digest[32];
    Wipe wipe_digest{digest, sizeof digest};
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, password, len);
    sha256_final(&ctx, digest);
    explicit_bzero(&ctx, sizeof ctx);
    unsigned diff = 0;
    for (size_t i = 0; i < kHashDigits; ++i) {
        int want = hex_digit_value(configured[i]);
        if (want < 0) return false;
        int have = (i % 2 == 0 ? digest[i / 2] >> 4 : digest[i / 2]) & 0xF;
        diff |= static_cast<unsigned>(want ^ have);
    }
    return diff == 0;
}

int send_challenge() {
    cgi_header_status(401, "Unauthorized");
    cgi_header_extra(kChallengeHeader);
    cgi_header_extra(OCI_API_VERSION_HEADER);
    cgi_header_json();
    cgi_headers_end();
    fputs(kChallengeBody, stdout);
    fflush(stdout);
    return 0;
}

// Refusals other than the challenge: the status with an OCI error body.
void send_refusal(int status) {
    const char *reason = status == 429 ? "Too Many Requests" : status == 403 ? "Forbidden" : "Internal Server Error";
    cgi_header_status(status, reason);
    cgi_header_extra(OCI_API_VERSION_HEADER);
    cgi_header_json();
    cgi_headers_end();
    printf("{\"errors\":[{\"code\":\"%s\",\"message\":\"%s\"}]}\n", registry_access_refusal_code(status),
           registry_access_refusal_message(status));
    fflush(stdout);
}

} // namespace

bool auth_split_basic(const char *header, std::string &user, std::string &password) {
    if (!header || !*header) return false;
    const char *encoded = basic_credentials(header);
    if (!encoded) return false;
    unsigned char decoded[kCredentialsMax + 1];
    Wipe wipe_decoded{decoded, sizeof decoded};
    long len = decode_base64(encoded, decoded);
    if (len <= 0) return false;
    size_t total = static_cast<size_t>(len);
    const unsigned char *colon = static_cast<const unsigned char *>(memchr(decoded, ':', total));
    if (!colon) return false;
    size_t user_len = static_cast<size_t>(colon - decoded);
    if (user_len > kUserBuf - 1) return false;
    user.assign(reinterpret_cast<const char *>(decoded), user_len);
    password.assign(reinterpret_cast<const char *>(colon + 1), total - user_len - 1);
    return true;
}

bool auth_sha256_matches(std::string_view password, std::string_view hex) {
    if (hex.size() != kHashDigits) return false;
    return password_matches(reinterpret_cast<const unsigned char *>(password.data()), password.size(),
                            std::string(hex).c_str());
}

extern "C" {

// A configuration that cannot be read counts as on: nothing may treat the
// registry as open because its settings are broken.
int registry_auth_enabled(void) { return registry_access_users_configured() != 0 ? 1 : 0; }

int registry_auth_check(void) {
    reg_access decision;
    registry_access_decide(getenv("HTTP_AUTHORIZATION"), REG_NEED_WRITE, getenv("REMOTE_ADDR"), &decision);
    if (decision.status == 0) {
        if (decision.actor[0]) qf_audit_note_actor(decision.actor);
        return 1;
    }
    if (decision.status == 401) return send_challenge();
    if (decision.status == 500) fprintf(stderr, "registry: refusing every request: %s\n", decision.problem);
    send_refusal(decision.status);
    return 0;
}

int registry_auth_verify(const char *authorization, char *actor_out, size_t actor_cap) {
    if (actor_out && actor_cap > 0) actor_out[0] = '\0';
    reg_access decision;
    registry_access_decide(authorization, REG_NEED_READ, nullptr, &decision);
    if (decision.status != 0) return 0;
    if (actor_out && actor_cap > 0) qf_strlcpy(actor_out, decision.actor, actor_cap);
    return 1;
}

int registry_auth_path_guarded(const char *path) {
    if (!path) return 0;
    while (*path == '/')
        ++path;
    return path[0] == 'v' && path[1] == '2' && (path[2] == '\0' || path[2] == '/') ? 1 : 0;
}

} // extern "C"
