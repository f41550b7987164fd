// auth_internal.h - pieces the access decision and the older single-user calls share.
#ifndef REG_AUTH_INTERNAL_H
#define REG_AUTH_INTERNAL_H

#include <stddef.h>

#include <string>
#include <string_view>

#include "auth/access.h"

// Reads a whole file into text: 0, PLAT_MISSING when nothing is there, -3
// when it is larger than max bytes, -1 otherwise (errno says why).
int auth_read_whole(const char *path, std::string &text, size_t max);

// The user and password of a Basic Authorization header value. False for
// any other scheme, broken Base64, no ':' or a user of more than 127 bytes.
bool auth_split_basic(const char *header, std::string &user, std::string &password);

// SHA-256 of password against 64 hex digits (either case), looked at whole.
bool auth_sha256_matches(std::string_view password, std::string_view hex);

#endif
