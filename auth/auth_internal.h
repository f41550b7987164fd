// auth_internal.h - pieces the access decision and the older single-user calls share.
#ifndef REG_AUTH_INTERNAL_H
#define REG_AUTH_INTERNAL_H

#include <stddef.h>

#include <string>
#include <string_view>
#include <vector>

#include "auth/access.h"

// Reads a whole file into text: 0, PLAT_MISSING when nothing is there, -3
// when it is larger than max bytes, -1 otherwise (errno says why).
int auth_read_whole(const char *path, std::string &text, size_t max);

// The user and password of a Basic Authorization header value. False for
// any other scheme, broken Base64, no ':' or a user of more than 127 bytes.
bool auth_split_basic(const char *header, std::string &user, std::string &password);

// SHA-256 of password against 64 hex digits (either case), looked at whole.
bool auth_sha256_matches(std::string_view password, std::string_view hex);

// One line of a password file.
struct passwd_entry {
    std::string user;
    std::string hash;
    reg_need right = REG_NEED_READ;
};

// Parses a password file: `user:hash` or `user:hash:role` a line, blank lines
// and '#' comments skipped. False with error naming the line for anything
// else (unknown role, a hash the system's crypt does not know or thinks
// weak, a user twice).
bool passwd_parse(std::string_view text, std::vector<passwd_entry> &entries, std::string &error);

#endif
