// passwd_file.cpp - parsing, checking and writing the password file; hashes made and verified by libcrypt.
#include "auth/passwd_file.h"

#include <crypt.h>
#include <string.h>

#include <memory>

namespace {

constexpr char kCryptAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The schemes we verify and the length of what follows the final '$': a
// setting without its hash (which libcrypt accepts as a setting) or a cut
// line is refused here rather than left to fail every password.
struct scheme {
    const char *prefix;
    size_t tail_len;
};
constexpr scheme kSchemes[] = {
    {"$2a$", 53}, {"$2b$", 53}, {"$2y$", 53}, // 22 of salt and 31 of hash
    {"$y$", 43},  {"$6$", 86},  {"$5$", 43},
};

bool is_blank(std::string_view line) { return line.find_first_not_of(" \t") == std::string_view::npos; }

bool has_control(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

// Notes the problem; always false, for the parser to return.
bool line_error(passwd_error &err, size_t line, std::string message) {
    err.line = line;
    err.message = std::move(message);
    return false;
}

// Compares every byte whatever the first difference, so the time taken says
// nothing about how much of a guess was right.
bool equal_constant_time(const char *a, const char *b) {
    size_t la = strlen(a), lb = strlen(b);
    unsigned char diff = la == lb ? 0 : 1;
    size_t n = la < lb ? la : lb;
    for (size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// crypt_data is 32 KiB: on the heap, cleared before use and wiped after.
struct crypt_area {
    std::unique_ptr<crypt_data> data{new crypt_data()};
    ~crypt_area() { explicit_bzero(data.get(), sizeof *data); }
};

} // namespace

std::string passwd_name_problem(std::string_view name) {
    if (name.empty()) return "empty user name";
    if (name.size() > kPasswdUserMax) return "user name longer than 127 bytes";
    if (name.find(':') != std::string_view::npos) return "user name holds ':'";
    if (has_control(name)) return "user name holds a control byte";
    // An indented line or a space before the colon is a slip, not a name anyone types at a login prompt.
    if (name.front() == ' ' || name.back() == ' ') return "user name starts or ends with a space";
    return "";
}

std::string passwd_hash_problem(std::string_view hash) {
    if (hash.empty()) return "missing password hash";
    const scheme *found = nullptr;
    for (const scheme &s : kSchemes)
        if (hash.substr(0, strlen(s.prefix)) == s.prefix) found = &s;
    if (!found) return "unknown password hash scheme";
    std::string text(hash);
    switch (crypt_checksalt(text.c_str())) {
    case CRYPT_SALT_OK:
    case CRYPT_SALT_TOO_CHEAP: break;
    case CRYPT_SALT_METHOD_DISABLED: return "password hash scheme disabled in libcrypt";
    case CRYPT_SALT_METHOD_LEGACY: return "password hash scheme too weak";
    default: return "malformed password hash";
    }
    // libcrypt takes any two digits as a setting, but hashes only costs 4 to 31.
    if (hash[1] == '2') {
        int cost = hash.size() > 6 && hash[4] >= '0' && hash[4] <= '9' && hash[5] >= '0' && hash[5] <= '9'
                       ? (hash[4] - '0') * 10 + (hash[5] - '0')
                       : -1;
        if (cost < 4 || cost > 31 || hash[6] != '$') return "malformed password hash";
    }
    size_t last = hash.rfind('$');
    std::string_view tail = hash.substr(last + 1);
    if (tail.size() != found->tail_len || tail.find_first_not_of(kCryptAlphabet) != std::string_view::npos)
        return "malformed password hash";
    return "";
}

const char *passwd_role_name(passwd_role role) {
    switch (role) {
    case passwd_role::write: return "write";
    case passwd_role::admin: return "admin";
    default: return "read";
    }
}

bool passwd_role_parse(std::string_view text, passwd_role &role) {
    for (passwd_role r : {passwd_role::read, passwd_role::write, passwd_role::admin})
        if (text == passwd_role_name(r)) {
            role = r;
            return true;
        }
    return false;
}

bool passwd_parse(std::string_view text, passwd_file &out, passwd_error &err) {
    out = passwd_file{};
    err = passwd_error{};
    passwd_file file;
    size_t number = 0;
    while (!text.empty()) {
        size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text = lf == std::string_view::npos ? std::string_view{} : text.substr(lf + 1);
        ++number;
        file.lines.emplace_back(line);
        if (is_blank(line) || line[0] == '#') continue;
        if (has_control(line)) return line_error(err, number, "control byte in the line");

        size_t c1 = line.find(':');
        if (c1 == std::string_view::npos) return line_error(err, number, "missing password hash");
        passwd_user user;
        user.name = line.substr(0, c1);
        std::string_view rest = line.substr(c1 + 1);
        size_t c2 = rest.find(':');
        std::string_view hash = rest.substr(0, c2);
        if (c2 != std::string_view::npos) {
            std::string_view role = rest.substr(c2 + 1);
            if (role.find(':') != std::string_view::npos) return line_error(err, number, "too many fields");
            if (!passwd_role_parse(role, user.role))
                return line_error(err, number, "unknown role '" + std::string(role) + "'");
        }
        if (std::string why = passwd_name_problem(user.name); !why.empty())
            return line_error(err, number, why);
        if (std::string why = passwd_hash_problem(hash); !why.empty()) return line_error(err, number, why);
        if (int at = passwd_find(file, user.name); at >= 0)
            return line_error(err, number,
                              "user '" + user.name + "' named again (first on line " +
                                  std::to_string(file.users[static_cast<size_t>(at)].line) + ")"),
                   false;
        user.hash = hash;
        user.line = number;
        file.users.push_back(std::move(user));
    }
    out = std::move(file);
    return true;
}

std::string passwd_serialise(const passwd_file &file) {
    std::string text;
    for (const std::string &line : file.lines) {
        text += line;
        text += '\n';
    }
    return text;
}

std::string passwd_line(const std::string &name, const std::string &hash, passwd_role role) {
    return name + ":" + hash + ":" + passwd_role_name(role);
}

int passwd_find(const passwd_file &file, std::string_view name) {
    for (size_t i = 0; i < file.users.size(); ++i)
        if (file.users[i].name == name) return static_cast<int>(i);
    return -1;
}

bool passwd_hash_new(const char *password, std::string &hash) {
    if (!password) return false;
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // No random bytes given: libcrypt takes them from the kernel itself.
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting)) return false;
    crypt_area area;
    const char *made = crypt_r(password, setting, area.data.get());
    if (!made || made[0] == '*' || !passwd_hash_problem(made).empty()) return false;
    hash = made;
    return true;
}

int passwd_hash_matches(const char *hash, const char *password) {
    if (!hash || !password || !passwd_hash_problem(hash).empty()) return 0;
    crypt_area area;
    const char *made = crypt_r(password, hash, area.data.get());
    // A failure answers a string starting with '*', never equal to a valid hash.
    return made && made[0] != '*' && equal_constant_time(made, hash) ? 1 : 0;
}
