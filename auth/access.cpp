// access.cpp - users, rights and anonymous reads from the settings and the password file.
#include "auth/access.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "auth/auth_internal.h"
#include "auth/passwd_file.h"
#include "auth/throttle.h"
#include "base/qf_str.h"
#include "base/settings_parse.h"
#include "digest/sha256.h"
#include "platform/file_snapshot.h"
#include "platform/platform.h"

namespace {

constexpr char kSettingsFile[] = "config.json";
constexpr char kDefaultPasswordFile[] = "htpasswd";
// A larger password file is refused, which keeps a process's memory bounded.
constexpr size_t kPasswordFileMax = 4 << 20;
constexpr size_t kHashDigits = 64;

struct user_entry {
    std::string name;
    std::string hash; // crypt(3) string, or 64 hex digits for the settings file's user
    reg_need right = REG_NEED_READ;
    bool sha256 = false;
};

struct access_config {
    std::vector<user_entry> users;
    bool anonymous_read = false;
};

// Secrets leave memory with the scope that held them.
struct wiped_string {
    std::string s;
    ~wiped_string() {
        if (!s.empty()) explicit_bzero(s.data(), s.size());
    }
};

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool hex_digits(std::string_view s) {
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

// A user name that can stand in a password file line and a log field.
bool user_name_ok(std::string_view name) {
    if (!settings_length_ok(SETTINGS_AUTH_USER, name.size())) return false;
    for (unsigned char c : name)
        if (c < 0x21 || c == 0x7F || c == ':') return false;
    return true;
}

// A key that looks meant for access control but is not one we know: a typo
// there must not leave the registry open.
bool suspicious_key(std::string_view key) {
    std::string k = lower(key);
    for (const char *word : {"auth", "user", "passw", "anonym", "htpasswd"})
        if (k.find(word) != std::string::npos) return true;
    return false;
}

bool read_settings(const file_snapshot &f, std::vector<setting_member> &members, std::string &problem) {
    if (f.state == PLAT_MISSING) return true;
    if (f.state != 0) {
        problem = std::string(kSettingsFile) + ": " +
                  (f.state == FILE_SNAPSHOT_TOO_LARGE ? "larger than 1 MiB" : strerror(f.error));
        return false;
    }
    std::string error;
    if (!settings_parse(f.text, members, error)) {
        problem = std::string(kSettingsFile) + ": not a JSON object: " + error;
        return false;
    }
    return true;
}

bool settings_user(const std::vector<setting_member> &members, access_config &cfg, std::string &problem) {
    const setting_member *user = settings_find(members, SETTINGS_AUTH_USER);
    const setting_member *hash = settings_find(members, SETTINGS_AUTH_SHA256);
    if (!user && !hash) return true;
    if (!user || !hash) {
        problem = std::string(kSettingsFile) + ": \"registry_auth_user\" and \"registry_auth_sha256\" go together";
        return false;
    }
    if (user->type != setting_type::string || !user_name_ok(user->value)) {
        problem = std::string(kSettingsFile) +
                  ": \"registry_auth_user\" must be 1 to 127 characters without spaces, control bytes or ':'";
        return false;
    }
    if (hash->type != setting_type::string || !settings_length_ok(SETTINGS_AUTH_SHA256, hash->value.size()) ||
        !hex_digits(hash->value)) {
        problem = std::string(kSettingsFile) +
                  ": \"registry_auth_sha256\" must be exactly 64 hexadecimal digits (the hash alone, as the "
                  "first word sha256sum prints)";
        return false;
    }
    cfg.users.push_back({user->value, lower(hash->value), REG_NEED_ADMIN, true});
    return true;
}

bool access_settings(const std::vector<setting_member> &members, access_config &cfg, std::string &file,
                     bool &file_named, std::string &problem) {
    for (const setting_member &m : members) {
        if (m.key == settings_name(SETTINGS_AUTH_USER) || m.key == settings_name(SETTINGS_AUTH_SHA256)) continue;
        if (m.key == settings_name(SETTINGS_AUTH_FILE)) {
            if (m.type != setting_type::string || !settings_length_ok(SETTINGS_AUTH_FILE, m.value.size())) {
                problem = std::string(kSettingsFile) + ": \"registry_auth_file\" must name a file";
                return false;
            }
            file = m.value;
            file_named = true;
        } else if (m.key == settings_name(SETTINGS_ANONYMOUS_READ)) {
            if (m.type != setting_type::boolean) {
                problem = std::string(kSettingsFile) + ": \"registry_anonymous_read\" must be true or false";
                return false;
            }
            cfg.anonymous_read = m.value == "true";
        } else if (suspicious_key(m.key)) {
            problem = std::string(kSettingsFile) + ": unknown access setting \"" + m.key + "\"";
            return false;
        }
    }
    return settings_user(members, cfg, problem);
}

reg_need right_of(passwd_role role) {
    switch (role) {
    case passwd_role::admin: return REG_NEED_ADMIN;
    case passwd_role::write: return REG_NEED_WRITE;
    case passwd_role::read: break;
    }
    return REG_NEED_READ;
}

bool password_users(const std::string &file, const file_snapshot &f, access_config &cfg, std::string &problem) {
    if (f.state != 0) {
        problem = file + ": " +
                  (f.state == PLAT_MISSING              ? "missing"
                   : f.state == FILE_SNAPSHOT_TOO_LARGE ? "larger than 4 MiB"
                                                        : strerror(f.error));
        return false;
    }
    passwd_file parsed;
    passwd_error error;
    if (!passwd_parse(f.text, parsed, error)) {
        problem = file + ": line " + std::to_string(error.line) + ": " + error.message;
        return false;
    }
    // A file with no user is more likely cut short than meant to open the
    // registry to everyone.
    if (parsed.users.empty()) {
        problem = file + ": names no user";
        return false;
    }
    for (passwd_user &p : parsed.users) {
        for (const user_entry &u : cfg.users) {
            if (u.name == p.name) {
                problem = file + ": the user \"" + p.name + "\" is also the settings file's user";
                return false;
            }
        }
        cfg.users.push_back({p.name, p.hash, right_of(p.role), false});
    }
    return true;
}

// The access configuration as last worked out, with the versions of the two
// files it came from. A request looks at both files (one stat each, the
// settings file's shared with every other lookup of the request) and works
// the configuration out again only when either may have changed: an edited
// or replaced password file takes effect at the next request (file_snapshot
// says how a rewrite within one clock tick is still seen).
struct access_state {
    // From the settings file alone.
    bool settings_valid = false;
    uint64_t settings_version = 0;
    bool settings_ok = false;
    access_config settings_cfg;
    std::string file = kDefaultPasswordFile;
    bool file_named = false;
    std::string settings_problem;
    // With the password file.
    file_snapshot passwords;
    bool valid = false;
    uint64_t file_version = 0;
    bool ok = false;
    access_config cfg;
    std::string problem;
};
access_state s_access;

void settings_part(access_state &st, const file_snapshot &settings) {
    if (st.settings_valid && st.settings_version == settings.version) return;
    st.settings_valid = true;
    st.settings_version = settings.version;
    st.valid = false;
    st.settings_cfg = access_config{};
    st.settings_problem.clear();
    std::string file = kDefaultPasswordFile;
    st.file_named = false;
    std::vector<setting_member> members;
    st.settings_ok = read_settings(settings, members, st.settings_problem) &&
                     access_settings(members, st.settings_cfg, file, st.file_named, st.settings_problem);
    if (file != st.file) {
        st.passwords = file_snapshot{};
        st.file = file;
    }
}

// The configuration for this request, or null with the problem.
const access_config *load_config(std::string &problem) {
    access_state &st = s_access;
    settings_part(st, settings_file_snapshot());
    if (!st.settings_ok) {
        problem = st.settings_problem;
        return nullptr;
    }
    st.passwords.refresh(st.file.c_str(), kPasswordFileMax, 0);
    if (!st.valid || st.file_version != st.passwords.version) {
        st.valid = true;
        st.file_version = st.passwords.version;
        st.cfg = st.settings_cfg;
        st.problem.clear();
        // No password file at the default name (and no link left there)
        // means no users from a file; a named one must be there.
        st.ok = (!st.file_named && st.passwords.state == PLAT_MISSING && !st.passwords.link) ||
                password_users(st.file, st.passwords, st.cfg, st.problem);
        if (!st.ok) st.cfg = access_config{};
    }
    problem = st.problem;
    return st.ok ? &st.cfg : nullptr;
}

// Every byte of the longer text is looked at, so the time taken does not
// tell how much of a guess was right.
bool same_text(std::string_view a, std::string_view b) {
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    size_t n = a.size() > b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= x ^ y;
    }
    return diff == 0;
}

// A slow hash costs milliseconds (yescrypt's default about 50 ms here): too
// much for every request of a pull. A process that answers many requests
// keeps, in memory only, a keyed digest of each credential it verified,
// bound to the stored hash (a changed password misses) and good for a few
// minutes. Nothing of it is ever written to a file, so a leaked file never
// turns a slow hash into a fast one; a process serving one request (CGI)
// pays the hash every time.
class verified_cache {
public:
    bool hit(const user_entry &u, const std::string &password) {
        std::string key = mac(u, password);
        uint64_t now = plat_monotonic_ms();
        for (entry &e : entries_)
            if (e.expires > now && e.mac == key) return true;
        return false;
    }
    void store(const user_entry &u, const std::string &password) {
        uint64_t now = plat_monotonic_ms();
        entry *slot = &entries_[0];
        for (entry &e : entries_)
            if (e.expires < slot->expires) slot = &e;
        slot->mac = mac(u, password);
        slot->expires = now + kLifetimeMs;
    }

private:
    static constexpr size_t kEntries = 64;
    static constexpr uint64_t kLifetimeMs = 300 * 1000;
    struct entry {
        std::string mac;
        uint64_t expires = 0;
    };
    entry entries_[kEntries];
    uint8_t secret_[32] = {};
    bool keyed_ = false;

    // SHA-256 over a secret of this process and the credential: without the
    // secret the digest says nothing about the password.
    std::string mac(const user_entry &u, const std::string &password) {
        if (!keyed_) keyed_ = plat_random_bytes(secret_, sizeof secret_) == 0;
        sha256_ctx ctx;
        sha256_init(&ctx);
        sha256_update(&ctx, secret_, sizeof secret_);
        for (const std::string *part : {&u.name, &u.hash, &password}) {
            uint64_t len = part->size();
            sha256_update(&ctx, &len, sizeof len);
            sha256_update(&ctx, part->data(), part->size());
        }
        uint8_t out[32];
        sha256_final(&ctx, out);
        explicit_bzero(&ctx, sizeof ctx);
        return keyed_ ? std::string(reinterpret_cast<char *>(out), sizeof out) : std::string();
    }
};

verified_cache s_verified;

bool password_ok(const user_entry &u, const std::string &password) {
    if (u.sha256) return auth_sha256_matches(password, u.hash);
    if (password.find('\0') != std::string::npos) return false;
    if (s_verified.hit(u, password)) return true;
    if (!passwd_hash_matches(u.hash.c_str(), password.c_str())) return false;
    s_verified.store(u, password);
    return true;
}

// The user whose name and password the header carries, or null. A name
// that is not known still costs a hash, so names cannot be told apart by
// the time a refusal takes.
const user_entry *authenticate(const access_config &cfg, const char *authorization) {
    wiped_string user, password;
    if (!auth_split_basic(authorization, user.s, password.s)) return nullptr;
    for (const user_entry &u : cfg.users)
        if (same_text(u.name, user.s)) return password_ok(u, password.s) ? &u : nullptr;
    auth_sha256_matches(password.s, std::string(kHashDigits, '0'));
    return nullptr;
}

void finish(reg_access *out, int status) { out->status = status; }

} // namespace

extern "C" {

const char *registry_access_refusal_code(int status) {
    return status == 429 ? "TOOMANYREQUESTS" : status == 403 ? "DENIED" : "UNKNOWN";
}

const char *registry_access_refusal_message(int status) {
    return status == 429   ? "too many failed logins from this address; try again later"
           : status == 403 ? "this user may not do that"
                           : "the registry's access settings cannot be read; see the server's error log";
}

void registry_access_decide(const char *authorization, reg_need need, const char *client, reg_access *out) {
    memset(out, 0, sizeof *out);
    std::string problem;
    const access_config *loaded = load_config(problem);
    if (!loaded) {
        qf_strlcpy(out->problem, problem.c_str(), sizeof out->problem);
        return finish(out, 500);
    }
    const access_config &cfg = *loaded;
    if (cfg.users.empty()) return finish(out, 0);
    bool has_credentials = authorization && *authorization;
    if (!has_credentials) return finish(out, cfg.anonymous_read && need == REG_NEED_READ ? 0 : 401);
    if (client && *client && registry_auth_throttled(client)) return finish(out, 429);
    const user_entry *u = authenticate(cfg, authorization);
    if (!u) {
        if (client && *client) registry_auth_note_failure(client);
        return finish(out, 401);
    }
    qf_strlcpy(out->actor, u->name.c_str(), sizeof out->actor);
    finish(out, u->right >= need ? 0 : 403);
}

int registry_access_users_configured(void) {
    std::string problem;
    const access_config *cfg = load_config(problem);
    if (!cfg) return -1;
    return cfg->users.empty() ? 0 : 1;
}

} // extern "C"
