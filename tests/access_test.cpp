// access_test.cpp - password-file users, their rights, anonymous reads and the browser rules, in-process.
#include <crypt.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "auth/access.h"
#include "auth/auth_internal.h"
#include "front/http.h"
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

} // namespace
