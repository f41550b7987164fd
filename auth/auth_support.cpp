// auth_support.cpp - whole-file reads and the password file's lines.
#include <crypt.h>
#include <errno.h>

#include <string>

#include "auth/auth_internal.h"
#include "platform/platform.h"

int auth_read_whole(const char *path, std::string &text, size_t max) {
    text.clear();
    int fd = plat_open_read(path);
    if (fd < 0) return errno == ENOENT ? PLAT_MISSING : -1;
    char buf[16384];
    for (;;) {
        long n = plat_read(fd, buf, sizeof buf);
        if (n < 0) {
            int saved = errno;
            plat_close(fd);
            errno = saved;
            return -1;
        }
        if (n == 0) break;
        if (text.size() + static_cast<size_t>(n) > max) {
            plat_close(fd);
            return -3;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    plat_close(fd);
    return 0;
}

namespace {

bool parse_right(std::string_view word, reg_need &right) {
    if (word == "read") right = REG_NEED_READ;
    else if (word == "write") right = REG_NEED_WRITE;
    else if (word == "admin") right = REG_NEED_ADMIN;
    else return false;
    return true;
}

std::string line_error(size_t line, const std::string &what) { return "line " + std::to_string(line) + ": " + what; }

bool parse_line(std::string_view line, size_t number, passwd_entry &e, std::string &error) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        error = line_error(number, "expected user:hash");
        return false;
    }
    e.user = std::string(line.substr(0, colon));
    std::string_view rest = line.substr(colon + 1);
    size_t second = rest.find(':');
    e.hash = std::string(rest.substr(0, second));
    e.right = REG_NEED_READ;
    if (second != std::string_view::npos && !parse_right(rest.substr(second + 1), e.right)) {
        error = line_error(number, "unknown role (read, write or admin)");
        return false;
    }
    if (e.user.empty() || e.user.size() > 127) {
        error = line_error(number, "a user name has 1 to 127 characters");
        return false;
    }
    for (unsigned char c : e.user) {
        if (c < 0x21 || c == 0x7F) {
            error = line_error(number, "a user name has no spaces or control bytes");
            return false;
        }
    }
    int salt = e.hash.empty() ? CRYPT_SALT_INVALID : crypt_checksalt(e.hash.c_str());
    if (salt == CRYPT_SALT_METHOD_LEGACY) {
        error = line_error(number, "a weak hash scheme; use bcrypt, yescrypt or sha512-crypt");
        return false;
    }
    if (salt != CRYPT_SALT_OK) {
        error = line_error(number, "not a password hash this system knows");
        return false;
    }
    return true;
}

} // namespace

bool passwd_parse(std::string_view text, std::vector<passwd_entry> &entries, std::string &error) {
    entries.clear();
    size_t number = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == '#') continue;
        passwd_entry e;
        if (!parse_line(line, number, e, error)) return false;
        for (const passwd_entry &seen : entries) {
            if (seen.user == e.user) {
                error = line_error(number, "the user \"" + e.user + "\" stands twice");
                return false;
            }
        }
        entries.push_back(std::move(e));
    }
    return true;
}
