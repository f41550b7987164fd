// passwd_file_test.cpp - the password file's format: schemes made by libcrypt now, every malformed line, rewrites.
#include "auth/passwd_file.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A hash of password in the given scheme, made by libcrypt as the tools that
// write these files make it (lowest cost: the format is under test, not the cost).
std::string make_hash(const char *prefix, const char *password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    const char *cost = crypt_gensalt_rn(prefix, prefix[1] == '2' ? 4 : 0, nullptr, 0, setting, sizeof setting);
    EXPECT_NE(cost, nullptr) << prefix;
    auto data = std::make_unique<crypt_data>();
    const char *made = crypt_r(password, setting, data.get());
    EXPECT_TRUE(made && made[0] == '$') << prefix;
    return made ? made : "";
}

struct Hashes {
    std::string bcrypt = make_hash("$2b$", "pw-b");
    std::string yescrypt = make_hash("$y$", "pw-y");
    std::string sha512 = make_hash("$6$", "pw-6");
};

const Hashes &hashes() {
    static const Hashes h;
    return h;
}

TEST(PasswdParse, GoodFilesOfEachScheme) {
    const Hashes &h = hashes();
    std::string bcrypt_y = h.bcrypt;
    bcrypt_y[2] = 'y'; // htpasswd -B writes $2y$
    struct Row {
        const char *name;
        std::string text;
        std::vector<std::string> users; // "name role line"
    };
    const std::vector<Row> rows = {
        {"empty file", "", {}},
        {"comments and blank lines only", "# users\n\n   \n\t\n#x:y:z\n", {}},
        {"bcrypt without role is read", "alice:" + h.bcrypt + "\n", {"alice read 1"}},
        {"htpasswd -B form", "alice:" + bcrypt_y + "\n", {"alice read 1"}},
        {"every scheme and role, no final line feed",
         "# team\n\nalice:" + h.bcrypt + ":admin\nbob:" + h.yescrypt + ":write\ncarol:" + h.sha512 + ":read",
         {"alice admin 3", "bob write 4", "carol read 5"}},
        {"names with spaces and high bytes", "a b:" + h.yescrypt + "\n\xc3\xa9:" + h.sha512 + "\n",
         {"a b read 1", "\xc3\xa9 read 2"}},
        {"127-byte name", std::string(127, 'n') + ":" + h.sha512 + "\n", {std::string(127, 'n') + " read 1"}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        passwd_file f;
        passwd_error err;
        ASSERT_TRUE(passwd_parse(r.text, f, err)) << err.line << ": " << err.message;
        std::vector<std::string> got;
        for (const passwd_user &u : f.users)
            got.push_back(u.name + " " + passwd_role_name(u.role) + " " + std::to_string(u.line));
        EXPECT_EQ(got, r.users);
        // Written back, every line is kept as it was (a final line feed added).
        std::string back = passwd_serialise(f);
        EXPECT_EQ(back, r.text.empty() || r.text.back() == '\n' ? r.text : r.text + "\n");
    }
}

TEST(PasswdParse, MalformedLinesNamedWithTheirNumber) {
    const Hashes &h = hashes();
    const std::string y = h.yescrypt, b = h.bcrypt, s = h.sha512;
    const std::string setting_only = y.substr(0, y.rfind('$') + 1);
    struct Row {
        const char *name;
        std::string text;
        size_t line;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"no colon", "# c\nalice\n", 2, "missing password hash"},
        {"empty hash", "alice:\n", 1, "missing password hash"},
        {"empty hash before role", "alice::write\n", 1, "missing password hash"},
        {"empty user", ":" + y + "\n", 1, "empty user name"},
        {"128-byte user", std::string(128, 'n') + ":" + y + "\n", 1, "user name longer than 127 bytes"},
        {"indented line", "  alice:" + y + "\n", 1, "user name starts or ends with a space"},
        {"space before the colon", "alice :" + y + "\n", 1, "user name starts or ends with a space"},
        {"unknown role", "alice:" + y + ":owner\n", 1, "unknown role 'owner'"},
        {"role in capitals", "alice:" + y + ":Admin\n", 1, "unknown role 'Admin'"},
        {"empty role", "alice:" + y + ":\n", 1, "unknown role ''"},
        {"role with trailing space", "alice:" + y + ":read \n", 1, "unknown role 'read '"},
        {"four fields", "alice:" + y + ":read:x\n", 1, "too many fields"},
        {"duplicate user", "alice:" + y + "\n\n# again\nalice:" + s + ":admin\n", 4,
         "user 'alice' named again (first on line 1)"},
        {"carriage return (a DOS file)", "alice:" + y + "\r\nbob:" + s + "\r\n", 1, "control byte in the line"},
        {"tab in the name", "al\tice:" + y + "\n", 1, "control byte in the line"},
        {"zero byte", std::string("alice:") + y + std::string(1, '\0') + "\n", 1, "control byte in the line"},
        {"plain SHA-256 hex", "alice:1ec1c26b50d5d3c58d9583181af8076655fe00756bf7285940ba3670f99fcba0\n", 1,
         "unknown password hash scheme"},
        {"md5-crypt", "alice:$1$saltsalt$2vnaRpHa6Jxjz5n83ok8Z0\n", 1, "unknown password hash scheme"},
        {"apr1 of htpasswd -m", "alice:$apr1$salt$Xxd1irWT9ycqoYxGFn4cb.\n", 1, "unknown password hash scheme"},
        {"DES of htpasswd -d", "alice:abJnggxhB/yWI\n", 1, "unknown password hash scheme"},
        {"yescrypt setting without hash", "alice:" + setting_only + "\n", 1, "malformed password hash"},
        {"yescrypt cut by one", "alice:" + y.substr(0, y.size() - 1) + "\n", 1, "malformed password hash"},
        {"yescrypt with bad parameters", "alice:$y$!!!$" + y.substr(y.rfind('$', y.size() - 44)) + "\n", 1,
         "malformed password hash"},
        {"bcrypt cut by one", "alice:" + b.substr(0, b.size() - 1) + "\n", 1, "malformed password hash"},
        {"bcrypt with cost 99", "alice:$2b$99$" + b.substr(7) + "\n", 1, "malformed password hash"},
        {"bcrypt with a foreign character", "alice:" + b.substr(0, 40) + "*" + b.substr(41) + "\n", 1,
         "malformed password hash"},
        {"sha512 one too long", "bob:" + s + "A\n", 1, "malformed password hash"},
        {"error after good lines", "alice:" + y + "\nbob:" + s + ":write\ncarol:" + b + ":root\n", 3,
         "unknown role 'root'"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        passwd_file f;
        f.users.push_back({});
        passwd_error err;
        EXPECT_FALSE(passwd_parse(r.text, f, err));
        EXPECT_EQ(err.line, r.line);
        EXPECT_EQ(err.message, r.message);
        // A failed parse hands out nobody.
        EXPECT_TRUE(f.users.empty());
        EXPECT_TRUE(f.lines.empty());
    }
}

TEST(PasswdHash, EachSchemeVerifiesItsOwnPasswordOnly) {
    const Hashes &h = hashes();
    std::string fresh;
    ASSERT_TRUE(passwd_hash_new("pw-new", fresh));
    EXPECT_EQ(fresh.substr(0, 3), "$y$");
    std::string again;
    ASSERT_TRUE(passwd_hash_new("pw-new", again));
    EXPECT_NE(fresh, again); // a fresh salt each time
    struct Row {
        std::string hash;
        const char *right;
    };
    const Row rows[] = {{h.bcrypt, "pw-b"}, {h.yescrypt, "pw-y"}, {h.sha512, "pw-6"}, {fresh, "pw-new"}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.hash);
        EXPECT_EQ(passwd_hash_problem(r.hash), "");
        EXPECT_EQ(passwd_hash_matches(r.hash.c_str(), r.right), 1);
        for (const char *wrong : {"", "pw", "pw-B", "pw-y ", "pw-b\n"})
            EXPECT_EQ(passwd_hash_matches(r.hash.c_str(), wrong), 0) << wrong;
    }
    // A setting without its hash, or a hash cut short, never matches.
    const std::string &y = h.yescrypt;
    EXPECT_EQ(passwd_hash_matches(y.substr(0, y.rfind('$') + 1).c_str(), "pw-y"), 0);
    EXPECT_EQ(passwd_hash_matches(y.substr(0, y.size() - 1).c_str(), "pw-y"), 0);
    EXPECT_EQ(passwd_hash_matches(nullptr, "pw-y"), 0);
    EXPECT_EQ(passwd_hash_matches(y.c_str(), nullptr), 0);
}

TEST(PasswdLine, WrittenLinesParseBack) {
    const Hashes &h = hashes();
    passwd_file f;
    passwd_error err;
    ASSERT_TRUE(passwd_parse("# kept\nold:" + h.bcrypt + "\n", f, err));
    for (passwd_role role : {passwd_role::read, passwd_role::write, passwd_role::admin})
        f.lines.push_back(passwd_line(std::string("u-") + passwd_role_name(role), h.yescrypt, role));
    passwd_file back;
    ASSERT_TRUE(passwd_parse(passwd_serialise(f), back, err)) << err.message;
    ASSERT_EQ(back.users.size(), 4u);
    EXPECT_EQ(back.lines[0], "# kept");
    EXPECT_EQ(back.users[0].role, passwd_role::read);
    EXPECT_EQ(back.users[2].name, "u-write");
    EXPECT_EQ(back.users[2].role, passwd_role::write);
    EXPECT_EQ(back.users[3].role, passwd_role::admin);
    EXPECT_EQ(passwd_find(back, "u-admin"), 3);
    EXPECT_EQ(passwd_find(back, "u-Admin"), -1);
}

} // namespace
