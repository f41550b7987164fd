// passwd_fuzz.cpp - the password file's parser on any text: no crash, and what it accepts reads back the same.
#include <stddef.h>
#include <stdint.h>

#include "auth/passwd_file.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz::text(data, size);
    passwd_file file;
    passwd_error err;
    if (!passwd_parse(text, file, err)) {
        if (err.line == 0 || err.message.empty()) fuzz::fail("refusal without a line or a reason");
        if (!file.users.empty() || !file.lines.empty()) fuzz::fail("refusal that hands out users");
        return 0;
    }
    for (const passwd_user &u : file.users) {
        if (!passwd_name_problem(u.name).empty()) fuzz::fail("accepted a bad name");
        if (!passwd_hash_problem(u.hash).empty()) fuzz::fail("accepted a bad hash");
        if (u.line == 0 || u.line > file.lines.size()) fuzz::fail("user on no line");
    }
    passwd_file again;
    if (!passwd_parse(passwd_serialise(file), again, err)) fuzz::fail("written file does not parse");
    if (again.users.size() != file.users.size()) fuzz::fail("written file names other users");
    for (size_t i = 0; i < file.users.size(); ++i)
        if (again.users[i].name != file.users[i].name || again.users[i].hash != file.users[i].hash ||
            again.users[i].role != file.users[i].role)
            fuzz::fail("written file changes a user");
    return 0;
}
