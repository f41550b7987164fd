// passwd_check.cpp - for shell tests: does a user of a password file have this password? Exit 0 yes, 1 no, 2 bad file.
#include <stdio.h>

#include <fstream>
#include <sstream>

#include "auth/passwd_file.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: passwd_check FILE USER PASSWORD\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    passwd_file file;
    passwd_error err;
    if (!in || !passwd_parse(text.str(), file, err)) {
        fprintf(stderr, "passwd_check: line %zu: %s\n", err.line, err.message.c_str());
        return 2;
    }
    int at = passwd_find(file, argv[2]);
    return at >= 0 && passwd_hash_matches(file.users[static_cast<size_t>(at)].hash.c_str(), argv[3]) ? 0 : 1;
}
