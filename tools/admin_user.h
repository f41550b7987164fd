/* admin_user.h - registry-admin user: the users of the password file. */
#ifndef ADMIN_USER_H
#define ADMIN_USER_H

#include <string>
#include <vector>

extern const char kHelpUser[];

/* words: "user" and what follows it; instance: the --instance directory or "".
 * The exit status (0, 1 failure, 2 usage error). */
int admin_user_command(const std::vector<std::string> &words, const std::string &instance);

#endif
