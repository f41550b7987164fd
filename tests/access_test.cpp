// access_test.cpp - password-file users, their rights, anonymous reads and the browser rules, in-process.
#include <crypt.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>
#include <string>

#include "auth/access.h"
#include "auth/auth_internal.h"
#include "base/settings.h"
#include "front/http.h"
#include "platform/file_snapshot.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

// A crypt(3) hash of password made here with the system's library, as
// htpasswd -B ($2b$), mkpasswd ($y$ and $6$) make them.
std::string make_hash(const char *prefix, unsigned long cost, const std::string &password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(prefix, cost, nullptr, 0, setting, sizeof setting)) return "";
    crypt_data data{};
    const char *out = crypt_r(password.c_str(), setting, &data);
    return out && out[0] != '*' ? out : "";
}

std::string basic(const std::string &user, const std::string &password) {
    return "Basic " + testutil::base64(user + ":" + password);
}

class Access : public testutil::SettingsDirTest {
protected:
    void password_file(const std::string &text) { testutil::write_all(dir / "htpasswd", text); }
    int decide(const std::string &authorization, reg_need need) {
        reg_access d;
        registry_access_decide(authorization.c_str(), need, nullptr, &d);
        return d.status;
    }
};

TEST_F(Access, EveryHashSchemeVerifies) {
    struct Row {
        const char *label;
        const char *prefix;
        unsigned long cost;
    } rows[] = {
        {"bcrypt", "$2b$", 4},
        {"yescrypt", "$y$", 0},
        {"sha512-crypt", "$6$", 1000},
    };
    settings(std::nullopt);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        std::string hash = make_hash(row.prefix, row.cost, "s3cret:pw");
        ASSERT_FALSE(hash.empty());
        password_file("# team\n\nbob:" + hash + ":write\n");
        EXPECT_EQ(decide(basic("bob", "s3cret:pw"), REG_NEED_WRITE), 0);
        EXPECT_EQ(decide(basic("bob", "s3cret:pX"), REG_NEED_READ), 401);
        EXPECT_EQ(decide(basic("bob", ""), REG_NEED_READ), 401);
        EXPECT_EQ(decide(basic("bo", "s3cret:pw"), REG_NEED_READ), 401);
        EXPECT_EQ(decide("", REG_NEED_READ), 401);
    }
    // htpasswd writes $2y$; the system's crypt knows it too.
    std::string y = make_hash("$2b$", 4, "pw");
    y[2] = 'y';
    password_file("carol:" + y + ":read\n");
    EXPECT_EQ(decide(basic("carol", "pw"), REG_NEED_READ), 0);
}

TEST_F(Access, BrokenPasswordFilesRefuseEveryone) {
    const std::string good = make_hash("$2b$", 4, "pw");
    struct Row {
        const char *label;
        std::string text;
    } rows[] = {
        {"no users at all", "# nobody yet\n"},
        {"a line without a hash", "bob\n"},
        {"an empty hash", "bob:\n"},
        {"an unknown scheme", "bob:$9$abc$def\n"},
        {"a plain SHA-256 in place of a crypt hash", "bob:" + std::string(64, 'a') + "\n"},
        {"a weak scheme (DES)", "bob:abJnggxhB/yWI\n"},
        {"an unknown role", "bob:" + good + ":root\n"},
        {"a user twice", "bob:" + good + "\nbob:" + good + ":write\n"},
        {"an empty user", ":" + good + "\n"},
        {"a user ending in a space", "bob :" + good + "\n"},
    };
    settings(std::nullopt);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        password_file(row.text);
        reg_access d;
        registry_access_decide(basic("bob", "pw").c_str(), REG_NEED_READ, nullptr, &d);
        EXPECT_EQ(d.status, 500);
        EXPECT_NE(std::string(d.problem).find("htpasswd"), std::string::npos) << d.problem;
    }
    // The same file named by the settings; and a named file that is missing.
    password_file("bob:" + good + ":admin\n");
    testutil::write_all(dir / "users", "bob:" + good + ":admin\n");
    settings("{\"registry_auth_file\": \"users\"}");
    EXPECT_EQ(decide(basic("bob", "pw"), REG_NEED_ADMIN), 0);
    unlink((dir / "users").c_str());
    EXPECT_EQ(decide(basic("bob", "pw"), REG_NEED_READ), 500);
    // A password file's user may not also be the settings file's.
    settings("{\"registry_auth_user\": \"bob\", \"registry_auth_sha256\": \"" + std::string(64, '0') + "\"}");
    EXPECT_EQ(decide(basic("bob", "pw"), REG_NEED_READ), 500);
}

// Each right includes the ones below it; the settings file's single user
// holds them all; anonymous reads only where allowed.
TEST_F(Access, RightsAndAnonymousReads) {
    const std::string h = make_hash("$2b$", 4, "pw");
    password_file("r:" + h + "\nw:" + h + ":write\na:" + h + ":admin\nro:" + h + ":read\n");
    struct Row {
        std::string authorization;
        bool anonymous_read;
        int read, write, admin; // status for each need
    } rows[] = {
        {basic("r", "pw"), false, 0, 403, 403},
        {basic("ro", "pw"), false, 0, 403, 403},
        {basic("w", "pw"), false, 0, 0, 403},
        {basic("a", "pw"), false, 0, 0, 0},
        {"", false, 401, 401, 401},
        {"", true, 0, 401, 401},
        {basic("w", "wrong"), true, 401, 401, 401},
        {basic("root", "pw"), false, 0, 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.authorization + (row.anonymous_read ? " anonymous reads" : ""));
        settings(std::string("{\"registry_anonymous_read\": ") + (row.anonymous_read ? "true" : "false") +
                 ", \"registry_auth_user\": \"root\", \"registry_auth_sha256\": \"" + testutil::sha256_hex("pw") +
                 "\"}");
        EXPECT_EQ(decide(row.authorization, REG_NEED_READ), row.read);
        EXPECT_EQ(decide(row.authorization, REG_NEED_WRITE), row.write);
        EXPECT_EQ(decide(row.authorization, REG_NEED_ADMIN), row.admin);
    }
}

http_response call(const std::string &method, const std::string &path, const std::string &authorization,
                   const std::string &origin = "", const std::string &fetch_site = "") {
    http_request req;
    req.method = method;
    req.path = path;
    req.authorization = authorization;
    req.host = "registry.example:5000";
    req.origin = origin;
    req.fetch_site = fetch_site;
    http_response resp;
    registry_dispatch(req, resp);
    return resp;
}

// Through the route table: which right each route needs, the browser rules,
// and the headers every answer carries.
TEST_F(Access, RoutesAskForTheirRight) {
    const std::string h = make_hash("$2b$", 4, "pw");
    password_file("reader:" + h + "\nwriter:" + h + ":write\n");
    settings("{\"registry_anonymous_read\": true, \"storage_root\": \"./s\"}");
    const std::string reader = basic("reader", "pw"), writer = basic("writer", "pw");
    struct Row {
        const char *method;
        const char *path;
        std::string authorization;
        std::string origin, fetch_site;
        int status;
    } rows[] = {
        {"GET", "/v2/", "", "", "", 200},
        {"GET", "/v2/_catalog", "", "", "", 200},
        {"HEAD", "/v2/lib/app/manifests/latest", "", "", "", 404},
        {"GET", "/v2/lib/app/blobs/uploads/abc", "", "", "", 401},
        {"POST", "/v2/lib/app/blobs/uploads/", "", "", "", 401},
        {"POST", "/v2/lib/app/blobs/uploads/", reader, "", "", 403},
        {"DELETE", "/v2/lib/app", reader, "", "", 403},
        {"POST", "/v2/lib/app/blobs/uploads/", writer, "", "", 202},
        {"GET", "/v2/_admin/usage", writer, "", "", 403},
        {"POST", "/v2/_admin/gc", writer, "", "", 403},
        {"POST", "/v2/_admin/retention", "", "", "", 401},
        // Browsers: a write from another site's page is refused, from our own is not.
        {"POST", "/v2/lib/app/blobs/uploads/", writer, "https://evil.example", "cross-site", 403},
        {"POST", "/v2/lib/app/blobs/uploads/", writer, "", "same-site", 403},
        {"POST", "/v2/lib/app/blobs/uploads/", writer, "https://evil.example", "", 403},
        {"POST", "/v2/lib/app/blobs/uploads/", writer, "null", "", 403},
        {"DELETE", "/v2/lib/app", writer, "http://registry.example:5000", "same-origin", 404},
        {"POST", "/v2/lib/app/blobs/uploads/", writer, "http://REGISTRY.example:5000", "", 202},
        {"GET", "/v2/_catalog", "", "https://evil.example", "cross-site", 200},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.path + " " + row.origin + " " + row.fetch_site);
        http_response resp = call(row.method, row.path, row.authorization, row.origin, row.fetch_site);
        EXPECT_EQ(resp.status, row.status) << resp.body;
        const std::string *nosniff = resp.find_header("X-Content-Type-Options");
        const std::string *csp = resp.find_header("Content-Security-Policy");
        ASSERT_TRUE(nosniff && csp);
        EXPECT_EQ(*nosniff, "nosniff");
        EXPECT_NE(csp->find("default-src 'none'"), std::string::npos);
    }
}

TEST_F(Access, ManifestTypesThatCouldRunAreRefused) {
    settings(std::string("{\"storage_root\": \"./s\"}"));
    for (const char *type : {"text/html", "text/html; charset=utf-8", "image/svg+xml", "application/xhtml+xml",
                             "text/plain", "application/javascript"}) {
        SCOPED_TRACE(type);
        http_request req;
        req.method = "PUT";
        req.path = "/v2/lib/app/manifests/latest";
        req.content_type = type;
        http_response resp;
        registry_dispatch(req, resp);
        EXPECT_EQ(resp.status, 400);
        EXPECT_NE(resp.body.find("MANIFEST_INVALID"), std::string::npos);
    }
}

// A process answering many requests keeps what it read of the settings and
// the password file, yet every edit is in force at the next request: one made
// in place within the same second and with the same size (the write time set
// back as well), a broken settings file (refused, then accepted again once
// mended), a file replaced by a rename.
TEST_F(Access, EditsTakeEffectAtTheNextRequestOfOneProcess) {
    const std::string pw1 = make_hash("$2b$", 4, "first"), pw2 = make_hash("$2b$", 4, "second");
    ASSERT_EQ(pw1.size(), pw2.size());
    const std::string file = dir / "htpasswd";
    auto same_time = [&file] {
        struct timespec times[2] = {{1700000000, 5}, {1700000000, 5}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    };
    // One request: the settings held for its length, as a responder does.
    auto request = [this](const std::string &authorization, reg_need need) {
        settings_hold(1);
        int status = decide(authorization, need);
        settings_hold(0);
        return status;
    };
    settings(std::nullopt);
    password_file("bob:" + pw1 + ":write\n");
    same_time();
    EXPECT_EQ(request(basic("bob", "first"), REG_NEED_WRITE), 0);

    struct Row {
        const char *label;
        std::function<void()> edit;
        std::string authorization;
        reg_need need;
        int status;
    };
    const std::vector<Row> rows = {
        {"unchanged", [] {}, basic("bob", "first"), REG_NEED_WRITE, 0},
        {"same size and time, in place: the old password", [&] { password_file("bob:" + pw2 + ":write\n"); same_time(); },
         basic("bob", "first"), REG_NEED_READ, 401},
        {"same size and time, in place: the new password", [] {}, basic("bob", "second"), REG_NEED_WRITE, 0},
        {"role lowered in place", [&] { password_file("bob:" + pw2 + ":read\n\n"); same_time(); },
         basic("bob", "second"), REG_NEED_WRITE, 403},
        {"broken settings", [&] { settings("{\"registry_anonymous_read\": tru}"); }, basic("bob", "second"),
         REG_NEED_READ, 500},
        {"settings mended", [&] { settings("{\"registry_anonymous_read\": true}"); }, "", REG_NEED_READ, 0},
        {"replaced by a rename", [&] {
             testutil::write_all(dir / "htpasswd.new", "bob:" + pw1 + ":admin\n");
             ASSERT_EQ(0, rename((dir / "htpasswd.new").c_str(), file.c_str()));
             same_time();
         },
         basic("bob", "first"), REG_NEED_ADMIN, 0},
        {"removed: no users", [&] { unlink(file.c_str()); }, "", REG_NEED_ADMIN, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        row.edit();
        EXPECT_EQ(request(row.authorization, row.need), row.status);
    }
}

// Once a file has stood still long enough, the next requests only look at
// it: no read. (The wait is set to nothing here; the edits above show what
// it protects.)
TEST_F(Access, AnUnchangedFileIsNotReadAgain) {
    int64_t settle = file_snapshot::set_settle_ns(0);
    const std::string pw = make_hash("$2b$", 4, "pw");
    settings("{\"registry_anonymous_read\": false}");
    password_file("bob:" + pw + ":write\n");
    for (int i = 0; i < 2; ++i) { // the first reads both files, the second trusts the look
        settings_hold(1);
        EXPECT_EQ(decide(basic("bob", "pw"), REG_NEED_WRITE), 0);
        settings_hold(0);
    }
    uint64_t reads = file_snapshot::reads();
    for (int i = 0; i < 3; ++i) {
        settings_hold(1);
        EXPECT_EQ(decide(basic("bob", "pw"), REG_NEED_WRITE), 0);
        EXPECT_EQ(decide("", REG_NEED_READ), 401);
        settings_hold(0);
    }
    EXPECT_EQ(file_snapshot::reads(), reads);
    // A longer file is another version whatever the wait.
    password_file("bob:" + pw + ":admin\n");
    EXPECT_EQ(decide(basic("bob", "pw"), REG_NEED_ADMIN), 0);
    EXPECT_GT(file_snapshot::reads(), reads);
    file_snapshot::set_settle_ns(settle);
}

} // namespace
