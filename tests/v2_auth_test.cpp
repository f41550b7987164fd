// v2_auth_test.cpp - Basic authentication: configuration, credentials, the challenge response, path guard.
#include <ctype.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "auth/access.h"
#include "auth/v2_auth.h"
#include "cgi/qf_audit.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

using testutil::sha256_hex;

const std::string kChallengeBody =
    "{\"errors\":[{\"code\":\"UNAUTHORIZED\",\"message\":\"authentication required\"}]}\n";
const std::string kChallenge = "Status: 401 Unauthorized\r\n"
                               "WWW-Authenticate: Basic realm=\"Tessellane\"\r\n"
                               "Docker-Distribution-API-Version: registry/2.0\r\n"
                               "Content-Type: application/json; charset=utf-8\r\n"
                               "\r\n" +
                               kChallengeBody;

using testutil::base64;

std::string replace_all(std::string s, char from, char to) {
    for (char &c : s)
        if (c == from) c = to;
    return s;
}

std::string without(std::string s, char drop) {
    s.erase(std::remove(s.begin(), s.end(), drop), s.end());
    return s;
}

// A JSON string's inside: backslashes and quotes escaped.
std::string json_escaped(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

std::string settings_for(const std::string &user, const std::string &hash) {
    return "{\n  \"registry_auth_user\": \"" + json_escaped(user) + "\",\n  \"registry_auth_sha256\": \"" + hash +
           "\"\n}\n";
}

// The password below encodes with both "+" and "/" in the standard alphabet.
const std::string kUser = "alice";
const std::string kPassword = "\xfb\xff\xfes3cret!";
const std::string kStd = base64(kUser + ":" + kPassword);

struct Outcome {
    int result = -1;      // what registry_auth_check answered
    std::string out;      // what it wrote to standard output
    std::string log_head; // method, path, bytes, status, actor of the access-log line
};

class Auth : public testutil::SettingsDirTest {
protected:
    void configure(const std::string &user, const std::string &password) {
        settings(settings_for(user, sha256_hex(password)));
    }

    // Runs registry_auth_check in a child process as a request would; an
    // accepted request then notes a status so that its access-log line shows
    // the actor.
    Outcome check(const std::optional<std::string> &header) {
        std::string log = dir / "registry_access.log";
        unlink(log.c_str());
        testutil::ChildResult r = testutil::run_in_child(
            [&] {
                setenv("REGISTRY_STORAGE_ROOT", dir.path().c_str(), 1);
                setenv("REQUEST_METHOD", "DELETE", 1);
                setenv("PATH_INFO", "/v2/x", 1);
                if (header)
                    setenv("HTTP_AUTHORIZATION", header->c_str(), 1);
                else
                    unsetenv("HTTP_AUTHORIZATION");
                int result = registry_auth_check();
                if (result == 1) qf_audit_note_status(299);
                exit(10 + result);
            },
            dir.path());
        Outcome o;
        o.result = r.exit_code - 10;
        o.out = r.out;
        std::string line = testutil::read_all(log);
        size_t cut = 0;
        for (int spaces = 0; cut < line.size() && spaces < 5; ++cut)
            if (line[cut] == ' ') ++spaces;
        o.log_head = line.empty() ? "" : line.substr(0, cut - 1);
        return o;
    }

    void expect_accepted(const std::optional<std::string> &header, const std::string &actor = kUser) {
        Outcome o = check(header);
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.log_head, "DELETE /v2/x 0 299 " + actor);
    }
    void expect_refused(const std::optional<std::string> &header) {
        Outcome o = check(header);
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.out, kChallenge);
        EXPECT_EQ(o.log_head, "DELETE /v2/x 0 401 anonymous");
    }
};

TEST(AuthChallenge, BodyIs73Bytes) { EXPECT_EQ(kChallengeBody.size(), 73u); }

// The configuration is open (no user), on, or broken; broken refuses every
// request with 500 and never leaves the registry open.
TEST_F(Auth, ConfigurationIsOpenOnOrBroken) {
    const std::string hash = sha256_hex("pw");
    constexpr int kOpen = 0, kOn = 1, kBroken = -1;
    const std::string both = settings_for("alice", hash);
    struct Row {
        const char *label;
        std::optional<std::string> text;
        int state;
    } rows[] = {
        {"no file", std::nullopt, kOpen},
        {"an empty object", "{}", kOpen},
        {"other settings only", "{\"registry_quota_bytes\": 5, \"storage_root\": \"./s\"}", kOpen},
        {"both keys", both, kOn},
        {"user of 127 characters", settings_for(std::string(127, 'u'), hash), kOn},
        {"keys beyond 4095 bytes", std::string(4095, ' ') + both, kOn},
        {"empty file", "", kBroken},
        {"half-written file", both.substr(0, both.size() / 2), kBroken},
        {"user of 128 characters", settings_for(std::string(128, 'u'), hash), kBroken},
        {"empty user", settings_for("", hash), kBroken},
        {"user with a colon", settings_for("al:ice", hash), kBroken},
        {"hash of 63 characters", settings_for("alice", hash.substr(1)), kBroken},
        {"hash of 65 characters", settings_for("alice", hash + "0"), kBroken},
        {"hash of 64 non-hex characters", settings_for("alice", std::string(64, 'z')), kBroken},
        {"sha256sum's whole line", settings_for("alice", hash + "  -"), kBroken},
        {"a sha256: prefix", settings_for("alice", "sha256:" + hash), kBroken},
        {"no hash", "{\"registry_auth_user\": \"alice\"}", kBroken},
        {"no user", "{\"registry_auth_sha256\": \"" + hash + "\"}", kBroken},
        {"a typo in a key", "{\"registry_auth_usr\": \"alice\", \"registry_auth_sha256\": \"" + hash + "\"}", kBroken},
        {"keys in a nested object", "{\"auth\": " + both + "}", kBroken},
        {"user not a string", "{\"registry_auth_user\": 5, \"registry_auth_sha256\": \"" + hash + "\"}", kBroken},
        {"a key twice", "{\"registry_quota_bytes\": 1, \"registry_quota_bytes\": 2}", kBroken},
        {"NUL before the keys", std::string("{\0", 2) + both, kBroken},
        {"binary bytes around the keys", "\xff\xfe\x80" + both + "\x01\xff", kBroken},
        {"anonymous reads not a switch", "{\"registry_anonymous_read\": \"yes\"}", kBroken},
        {"a password file that is not there", "{\"registry_auth_file\": \"users\"}", kBroken},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        settings(row.text);
        EXPECT_EQ(registry_access_users_configured(), row.state);
        EXPECT_EQ(registry_auth_enabled(), row.state == kOpen ? 0 : 1);
        reg_access decision;
        registry_access_decide(nullptr, REG_NEED_READ, nullptr, &decision);
        EXPECT_EQ(decision.status, row.state == kOpen ? 0 : row.state == kOn ? 401 : 500);
        if (row.state == kBroken) {
            EXPECT_NE(std::string(decision.problem), "") << "the error log is told why";
        }
    }
}

TEST_F(Auth, WithoutConfigurationEveryRequestPassesSilently) {
    settings(std::nullopt);
    Outcome o = check(std::nullopt);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.log_head, "DELETE /v2/x 0 299 anonymous");
}

TEST_F(Auth, BrokenConfigurationRefusesEveryRequest) {
    settings(settings_for("alice", sha256_hex("pw").substr(1)));
    for (const char *header : {"", "Basic !!!", "Basic YWxpY2U6cHc="}) {
        SCOPED_TRACE(header);
        Outcome o = check(std::string(header));
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.out.rfind("Status: 500 Internal Server Error\r\n", 0), 0u) << o.out;
        EXPECT_EQ(o.out.find("config.json"), std::string::npos) << "no server file named to the client";
        EXPECT_EQ(o.log_head, "DELETE /v2/x 0 500 anonymous");
    }
}

TEST_F(Auth, AcceptedHeaderForms) {
    ASSERT_NE(kStd.find('+'), std::string::npos);
    ASSERT_NE(kStd.find('/'), std::string::npos);
    ASSERT_NE(kStd.find('='), std::string::npos);
    const std::string url_safe = replace_all(replace_all(kStd, '+', '-'), '/', '_');
    const std::string mixed = replace_all(kStd, '+', '-');
    const std::string spaced = kStd.substr(0, 3) + " \t\r\n" + kStd.substr(3, 5) + "==" + kStd.substr(8);
    const std::string rows[] = {
        "Basic " + kStd,
        "basic\t" + kStd,
        "BASIC " + kStd,
        "bAsIc " + kStd,
        "   Basic     " + kStd,
        "Basic\t  " + kStd,
        "Basic " + url_safe,
        "Basic " + mixed,
        "Basic " + without(kStd, '='),
        "Basic " + without(url_safe, '='),
        "Basic " + spaced,
        "Basic " + kStd + "==== \r\n",
    };
    configure(kUser, kPassword);
    for (const std::string &header : rows) {
        SCOPED_TRACE(header);
        expect_accepted(header);
    }
}

TEST_F(Auth, RefusalsAllGetTheSameChallenge) {
    const std::string rows[] = {
        "",
        "Basic",
        "Basic ",
        "Basic   ",
        "Basic\t",
        "Basic" + kStd,
        "Basic\v" + kStd,
        "Basicx " + kStd,
        "Bearer " + kStd,
        "\tBasic " + kStd,
        "Basic " + kStd + "!",
        "Basic " + kStd.substr(0, 4) + "." + kStd.substr(4),
        "Basic ====",
        "Basic QUJDR",                                 // one symbol left over
        "Basic " + base64("alice"),                    // no colon
        "Basic " + base64(":" + kPassword),            // empty user
        "Basic " + base64("alicE:" + kPassword),       // user differs in case
        "Basic " + base64("alic:" + kPassword),        // user is a prefix
        "Basic " + base64("alicex:" + kPassword),      // user is longer
        "Basic " + base64("alice:" + kPassword + "x"), // wrong password
        "Basic " + base64("alice:"),                   // empty password
        "Basic " + base64(kPassword + ":alice"),
        "Basic " + base64(std::string("alice\0:", 7) + kPassword), // NUL ends no user name early
        "Basic " + base64(std::string("alice:\0", 7) + kPassword),
        "Basic " + base64(std::string(64, '\0')),
        "Basic " + base64(std::string(128, 'a') + ":" + kPassword), // user part of 128 bytes
        "Basic " + std::string(100000, 'A'),                        // far past 511 decoded bytes
        "Basic " + base64("alice:" + kPassword).replace(0, 1, "\xc3\xa9"),
    };
    configure(kUser, kPassword);
    expect_refused(std::nullopt);
    for (const std::string &header : rows) {
        SCOPED_TRACE(header.size() > 200 ? header.substr(0, 40) + "..." : header);
        expect_refused(header);
    }
}

// The decoded credentials may take 511 bytes, whatever the number of
// leftover symbols that brings them there.
TEST_F(Auth, DecodedLengthLimit) {
    struct Row {
        size_t decoded; // bytes of "alice:" plus the password
        bool accepted;
    } rows[] = {{510, true}, {511, true}, {512, false}, {513, false}, {514, false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.decoded);
        const std::string password(row.decoded - 6, 'p');
        configure(kUser, password);
        const std::string header = "Basic " + base64("alice:" + password);
        if (row.accepted)
            expect_accepted(header);
        else
            expect_refused(header);
    }
}

TEST_F(Auth, PasswordAndUserShapes) {
    struct Row {
        const char *label;
        std::string user;     // configured and sent
        std::string password; // configured and sent
        std::string logged = "";  // the actor as the log's text shows it, when not the user itself
    } rows[] = {
        {"empty password", "alice", ""},
        {"colons in the password", "alice", "pa:ss:"},
        {"NUL and high bytes in the password", "alice", std::string("a\0b\xff", 4)},
        {"user of 127 bytes", std::string(127, 'u'), "pw"},
        {"user with a backslash", "a.b\\c_d", "pw", "a.b\\x5cc_d"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        configure(row.user, row.password);
        expect_accepted("Basic " + base64(row.user + ":" + row.password), row.logged.empty() ? row.user : row.logged);
    }
}

TEST_F(Auth, ConfiguredHashDigits) {
    std::string upper = sha256_hex(kPassword);
    for (char &c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    settings(settings_for(kUser, upper));
    expect_accepted("Basic " + kStd);

    // One digit off, first or last: refused.
    for (size_t pos : {size_t{0}, size_t{63}}) {
        std::string off = sha256_hex(kPassword);
        off[pos] = off[pos] == '0' ? '1' : '0';
        settings(settings_for(kUser, off));
        expect_refused("Basic " + kStd);
    }
    // A non-hex digit: the configuration is broken and refuses everyone.
    std::string bad = sha256_hex(kPassword);
    bad[40] = 'g';
    settings(settings_for(kUser, bad));
    EXPECT_EQ(registry_auth_enabled(), 1);
    EXPECT_EQ(check("Basic " + kStd).result, 0);
}

// The string scan, shown on a key whose value may be empty.
TEST(SettingsStrIn, Table) {
    struct Row {
        const char *text;
        size_t size;
        int expected;
        const char *value;
    } rows[] = {
        {"{\"registry_storage_root\": \"v\"}", 16, 1, "v"},
        {"{\"registry_storage_root\":\"\"}", 16, 1, ""},
        {"{\"registry_storage_root\" \t:  \"v w\"}", 16, 1, "v w"},
        {"{\"registry_storage_root\": \"a\\\\b\"}", 16, 1, "a\\\\b"},
        {"{\"registry_storage_root\": \"a\\\"b\"}", 16, 1, "a\\"},
        {"{\"registry_storage_root\": 5, \"x\": \"y\"}", 16, 1, "x"},
        {"{\"registry_storage_root_old\": \"1\", \"registry_storage_root\": \"2\"}", 16, 1, "2"},
        {"{\"xregistry_storage_root\": \"1\", \"registry_storage_root\": \"2\"}", 16, 1, "2"},
        {"{\"registry_storage_root\": \"first\", \"registry_storage_root\": \"second\"}", 16, 1, "first"},
        {"{\"registry_storage_root\": \"12345\"}", 6, 1, "12345"},
        {"{\"registry_storage_root\": \"123456\"}", 6, 0, ""},
        {"{\"registry_storage_root\"}", 16, 0, ""},
        {"{\"registry_storage_root\": 5}", 16, 0, ""},
        {"{\"registry_storage_root\": \"open", 16, 0, ""},
        {"{registry_storage_root: \"v\"}", 16, 0, ""},
        {"", 16, 0, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        char out[16] = "";
        EXPECT_EQ(settings_str_in(row.text, SETTINGS_REGISTRY_STORAGE_ROOT, out, row.size), row.expected);
        if (row.expected) {
            EXPECT_STREQ(out, row.value);
        }
    }
    char out[16];
    const char *text = "{\"registry_storage_root\":\"v\", \"registry_quota_bytes\": \"5\"}";
    EXPECT_EQ(settings_str_in(nullptr, SETTINGS_REGISTRY_STORAGE_ROOT, out, sizeof out), 0);
    EXPECT_EQ(settings_str_in(text, SETTINGS_REGISTRY_STORAGE_ROOT, out, 0), 0);
    // Only string keys of the table can be read as strings.
    EXPECT_EQ(settings_str_in(text, SETTINGS_QUOTA_BYTES, out, sizeof out), 0);
    EXPECT_EQ(settings_str_in(text, SETTINGS_KEY_COUNT, out, sizeof out), 0);
    // A value outside the key's length bounds is not taken.
    EXPECT_EQ(settings_str_in("{\"registry_auth_file\": \"\"}", SETTINGS_AUTH_FILE, out, sizeof out), 0);
    EXPECT_EQ(settings_str_in("{\"registry_auth_file\": \"f\"}", SETTINGS_AUTH_FILE, out, sizeof out), 1);
}

TEST(AuthPathGuarded, Table) {
    struct Row {
        const char *path;
        int expected;
    } rows[] = {
        {"/v2", 1},   {"/v2/", 1},          {"v2", 1},   {"///v2/library/ubuntu/manifests/latest", 1},
        {"v2/x", 1},  {"/v2x", 0},          {"/v20", 0}, {"/V2/x", 0},
        {"/", 0},     {"///", 0},           {"", 0},     {"/v", 0},
        {"/x/v2", 0}, {"/_registry/v2", 0},
    };
    for (const Row &row : rows)
        EXPECT_EQ(registry_auth_path_guarded(row.path), row.expected) << row.path;
    EXPECT_EQ(registry_auth_path_guarded(nullptr), 0);
}

} // namespace
