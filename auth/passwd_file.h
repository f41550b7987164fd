/* passwd_file.h - the password file: one user a line, "user:hash" or "user:hash:role", parsed and written
 * without any I/O (text in, records or an error with its line number out). */
#ifndef PASSWD_FILE_H
#define PASSWD_FILE_H

#include <stddef.h>

#include <string>
#include <string_view>
#include <vector>

enum class passwd_role { read, write, admin };

constexpr size_t kPasswdUserMax = 127;

struct passwd_user {
    std::string name;
    std::string hash; /* a crypt(3) string */
    passwd_role role = passwd_role::read;
    size_t line = 0; /* 1-based */
};

/* Every line of the file as it was, so that a rewrite keeps comments, blank
 * lines and the lines it does not change byte for byte. */
struct passwd_file {
    std::vector<std::string> lines; /* without their line feeds */
    std::vector<passwd_user> users; /* in file order */
};

struct passwd_error {
    size_t line = 0; /* 1-based; 0 for none */
    std::string message;
};

/* Parses text whole. Blank lines (nothing or only spaces and tabs) and lines
 * whose first byte is '#' are kept but name nobody. Every other line must be
 * "user:hash" (role read) or "user:hash:role" with role read, write or admin;
 * the user 1 to 127 bytes without ':', control bytes, or a space at either
 * end, named once; the hash
 * a complete string of a scheme verified here: bcrypt ($2a$, $2b$, $2y$),
 * yescrypt ($y$), sha512-crypt ($6$) or sha256-crypt ($5$), which libcrypt
 * accepts (crypt_checksalt neither invalid, disabled nor legacy). true, or
 * false with the first problem and its line in err (out then holds nothing). */
bool passwd_parse(std::string_view text, passwd_file &out, passwd_error &err);

/* The file's text: every line followed by a line feed. */
std::string passwd_serialise(const passwd_file &file);

/* "" when name may be a user's name, else why not. */
std::string passwd_name_problem(std::string_view name);
/* "" when hash is a complete crypt string of a verified scheme, else why not. */
std::string passwd_hash_problem(std::string_view hash);

const char *passwd_role_name(passwd_role role);
/* true with the role for "read", "write" or "admin". */
bool passwd_role_parse(std::string_view text, passwd_role &role);

/* The line for a user, role written out. */
std::string passwd_line(const std::string &name, const std::string &hash, passwd_role role);

/* The index in file.users of name, or -1. */
int passwd_find(const passwd_file &file, std::string_view name);

/* A new yescrypt hash of password (libcrypt's default cost, a fresh random
 * salt): true with the hash, false when libcrypt could not make one. */
bool passwd_hash_new(const char *password, std::string &hash);

/* 1 when password hashes to hash (crypt_r; compared in constant time), else 0. */
int passwd_hash_matches(const char *hash, const char *password);

#endif
