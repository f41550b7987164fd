// v2_repo_cgi_test.cpp - the repository endpoint run as a real CGI program.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_util.h"

using testutil::ChildResult;
using testutil::TempDir;

namespace {

const std::string kAccepted = "Status: 202 Accepted\r\nDocker-Distribution-API-Version: registry/2.0\r\n\r\n";

std::string error_response(int status, const std::string &code, const std::string &message) {
    return "Status: " + std::to_string(status) +
           "\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
           "Content-Type: application/json; charset=utf-8\r\n\r\n"
           "{\"errors\":[{\"code\":\"" +
           code + "\",\"message\":\"" + message + "\"}]}\n";
}

struct Request {
    const char *method; // nullptr: unset
    const char *path;   // nullptr: unset
};

class V2RepoCgi : public ::testing::Test {
protected:
    TempDir cwd;
    std::string storage() const { return cwd / "registry_storage"; }

    void make_repo(const std::string &name) {
        testutil::write_all(storage() + "/repositories/" + name + "/_manifests/tags/latest/current/link",
                            "sha256:" + std::string(64, 'a'));
    }
    bool repo_exists(const std::string &name) const { return testutil::is_dir(storage() + "/repositories/" + name); }

    ChildResult run(Request req, std::vector<std::string> extra = {}) {
        std::vector<std::string> env = std::move(extra);
        if (req.method) env.push_back(std::string("REQUEST_METHOD=") + req.method);
        if (req.path) env.push_back(std::string("PATH_INFO=") + req.path);
        return testutil::run_program(V2_REPO_BIN, env, cwd.path());
    }

    std::string access_log() const { return testutil::read_all(storage() + "/registry_access.log"); }
};

TEST_F(V2RepoCgi, DeletesRepositoryAndAnswers202) {
    make_repo("library/ubuntu");
    make_repo("library/debian");
    ChildResult r = run({"DELETE", "/v2/library/ubuntu"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, kAccepted);
    EXPECT_FALSE(repo_exists("library/ubuntu"));
    EXPECT_TRUE(repo_exists("library/debian"));
    EXPECT_EQ(testutil::read_all(storage() + "/config.json").size(), 110u);
}

TEST_F(V2RepoCgi, NameFromPathVariants) {
    struct Row {
        const char *path;
        const char *repo; // the repository the request must remove
    } rows[] = {
        {"/v2/library/ubuntu/", "library/ubuntu"},
        {"/library/ubuntu", "library/ubuntu"},
        {"//v2//library/ubuntu", "library/ubuntu"},
        {"/v2app", "v2app"},
        {"/v2/v2/foo", "v2/foo"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        make_repo(row.repo);
        ChildResult r = run({"DELETE", row.path});
        EXPECT_EQ(r.out, kAccepted);
        EXPECT_FALSE(repo_exists(row.repo));
    }
}

TEST_F(V2RepoCgi, FailureResponses) {
    const std::string not_known = "repository name not known";
    const std::string method_msg = "Method not allowed for repository endpoint";
    const std::string long_path = "/v2/" + std::string(256, 'a');
    struct Row {
        Request req;
        std::string expected;
    } rows[] = {
        {{nullptr, "/v2/library/ubuntu"}, error_response(405, "UNSUPPORTED", method_msg)},
        {{"", "/v2/library/ubuntu"}, error_response(405, "UNSUPPORTED", method_msg)},
        {{"delete", "/v2/library/ubuntu"}, error_response(405, "UNSUPPORTED", method_msg)},
        {{"HEAD", "/v2/library/ubuntu"}, error_response(405, "UNSUPPORTED", method_msg)},
        {{"GET", "/v2/a//b"}, error_response(405, "UNSUPPORTED", method_msg)},
        {{"DELETE", "/v2/"}, error_response(404, "NAME_UNKNOWN", not_known)},
        {{"DELETE", "/v2"}, error_response(404, "NAME_UNKNOWN", not_known)},
        {{"DELETE", nullptr}, error_response(404, "NAME_UNKNOWN", not_known)},
        {{"DELETE", "/v2/foo//"}, error_response(404, "NAME_UNKNOWN", not_known)},
        {{"DELETE", "/v2/-a"}, error_response(404, "NAME_UNKNOWN", not_known)},
        {{"DELETE", "/v2/a b"}, error_response(404, "NAME_UNKNOWN", not_known)},
        {{"DELETE", "/v2/a%2Fb"}, error_response(404, "NAME_UNKNOWN", not_known)},
        {{"DELETE", long_path.c_str()}, error_response(404, "NAME_UNKNOWN", not_known)},
        {{"DELETE", "/v2/a/../b"}, error_response(404, "NAME_UNKNOWN", "invalid repository name")},
        {{"DELETE", "/v2/library/ubuntu"}, error_response(404, "NAME_UNKNOWN", "repository not found: library/ubuntu")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.req.method ? row.req.method : "(unset)") + " " +
                     (row.req.path ? row.req.path : "(unset)"));
        ChildResult r = run(row.req);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, row.expected);
    }
}

TEST_F(V2RepoCgi, NameOf255CharactersIsAccepted) {
    std::string name(255, 'a');
    make_repo(name);
    EXPECT_EQ(run({"DELETE", ("/v2/" + name).c_str()}).out, kAccepted);
    EXPECT_FALSE(repo_exists(name));
}

TEST_F(V2RepoCgi, StorageStartUpFailureIs500) {
    testutil::write_all(cwd / "afile", "x");
    ChildResult r = run({"DELETE", "/v2/library/ubuntu"}, {"REGISTRY_STORAGE_ROOT=" + (cwd / "afile/storage")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, error_response(500, "STORAGE_ERROR", "Failed to initialize registry storage"));
    // The method is checked first, the name only after start-up.
    r = run({"GET", "/v2/library/ubuntu"}, {"REGISTRY_STORAGE_ROOT=" + (cwd / "afile/storage")});
    EXPECT_EQ(r.out, error_response(405, "UNSUPPORTED", "Method not allowed for repository endpoint"));
    r = run({"DELETE", "/v2/a//b"}, {"REGISTRY_STORAGE_ROOT=" + (cwd / "afile/storage")});
    EXPECT_EQ(r.out, error_response(500, "STORAGE_ERROR", "Failed to initialize registry storage"));
}

// Builds a chain of directories below dir whose full path passes 4095
// characters, using descriptors so no single call sees the long path.
void make_overlong_chain(const std::string &dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const std::string component(200, 'd');
    size_t total = dir.size();
    while (total <= 4200) {
        ASSERT_EQ(mkdirat(fd, component.c_str(), 0755), 0);
        int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
        total += component.size() + 1;
    }
    int file = openat(fd, "deep-file", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    close(file);
    close(fd);
}

// The manifests leave in one rename however deep the tree beside them; what
// is no part of the repository (here a chain too deep to walk) stays, and the
// name is no repository any more.
TEST_F(V2RepoCgi, DeletionTakesTheManifestsOutWholeAndLeavesTheRest) {
    make_repo("big/repo");
    make_overlong_chain(storage() + "/repositories/big/repo");
    ChildResult r = run({"DELETE", "/v2/big/repo"});
    EXPECT_EQ(r.out, "Status: 202 Accepted\r\nDocker-Distribution-API-Version: registry/2.0\r\n\r\n");
    EXPECT_FALSE(testutil::exists(storage() + "/repositories/big/repo/_manifests"));
    EXPECT_TRUE(repo_exists("big/repo")) << "the directory holding the chain stays";
    ChildResult again = run({"DELETE", "/v2/big/repo"});
    EXPECT_EQ(again.out, error_response(404, "NAME_UNKNOWN", "repository not found: big/repo"));
    std::string cleanup = "rm -rf '" + storage() + "/repositories/big'";
    ASSERT_EQ(system(cleanup.c_str()), 0);
}

TEST_F(V2RepoCgi, AccessLogRecordsEachRequest) {
    make_repo("library/ubuntu");
    run({"DELETE", "/v2/library/ubuntu"});
    run({"HEAD", "/v2/library/ubuntu"});
    run({"DELETE", "/v2/library/ubuntu"});
    // Each line: six plain fields, the time stamp, then the same facts as JSON.
    std::vector<std::string> heads;
    std::istringstream lines(access_log());
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; fields >> field;)
            f.push_back(field);
        ASSERT_EQ(f.size(), 8u) << line;
        EXPECT_EQ(f[7], "{\"ts\":\"" + f[6] + "\",\"method\":\"" + f[0] + "\",\"path\":\"" + f[1] +
                            "\",\"status\":" + f[3] + ",\"bytes\":" + f[2] + ",\"actor\":\"" + f[4] +
                            "\",\"client\":\"" + f[5] + "\"}");
        heads.push_back(f[0] + " " + f[1] + " " + f[2] + " " + f[3] + " " + f[4]);
    }
    EXPECT_EQ(heads, (std::vector<std::string>{
                         "DELETE /v2/library/ubuntu 0 202 anonymous",
                         "HEAD /v2/library/ubuntu 91 405 anonymous",
                         "DELETE /v2/library/ubuntu 86 404 anonymous",
                     }));
    std::string log = access_log();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
}

TEST_F(V2RepoCgi, StorageRootResolution) {
    struct Row {
        const char *label;
        std::string settings; // config.json in the working directory; "" for none
        bool env;             // REGISTRY_STORAGE_ROOT set to env_root
        const char *expected; // directory (below cwd) that becomes the storage root
    } rows[] = {
        {"variable wins over the file", "{\"storage_root\": \"from-file\"}", true, "from-env"},
        {"storage_root wins over registry_storage_root",
         "{\"registry_storage_root\": \"second\", \"storage_root\": \"first\"}", false, "first"},
        {"registry_storage_root alone", "{\"registry_storage_root\": \"second\"}", false, "second"},
        {"empty storage_root falls back to the default",
         "{\"storage_root\": \"\", \"registry_storage_root\": \"second\"}", false, "registry_storage"},
        {"white space before the colon is not the key", "{\"storage_root\" : \"spaced\"}", false, "registry_storage"},
        {"no settings file", "", false, "registry_storage"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        TempDir dir;
        if (!row.settings.empty()) testutil::write_all(dir / "config.json", row.settings);
        std::vector<std::string> env = {"REQUEST_METHOD=DELETE", "PATH_INFO=/v2/nothing"};
        if (row.env) env.push_back("REGISTRY_STORAGE_ROOT=from-env");
        ChildResult r = testutil::run_program(V2_REPO_BIN, env, dir.path());
        EXPECT_EQ(r.out, error_response(404, "NAME_UNKNOWN", "repository not found: nothing"));
        EXPECT_EQ(testutil::read_all(dir / (std::string(row.expected) + "/config.json")).size(), 110u);
        EXPECT_TRUE(testutil::is_dir(dir / (std::string(row.expected) + "/blobs/sha256")));
    }
}

// With a user and password hash configured, deletion needs the credentials.
class V2RepoAuth : public V2RepoCgi {
protected:
    static constexpr char kHash[] = "1ec1c26b50d5d3c58d9583181af8076655fe00756bf7285940ba3670f99fcba0"; // "s3cret"
    static constexpr char kGood[] = "HTTP_AUTHORIZATION=Basic YWxpY2U6czNjcmV0";                        // alice:s3cret

    void SetUp() override {
        testutil::write_all(cwd / "config.json", std::string("{\"registry_auth_user\": \"alice\", "
                                                             "\"registry_auth_sha256\": \"") +
                                                     kHash + "\"}");
    }
    std::vector<std::string> log_heads() const {
        std::vector<std::string> heads;
        std::istringstream lines(access_log());
        for (std::string line; std::getline(lines, line);) {
            size_t cut = 0;
            for (int spaces = 0; cut < line.size() && spaces < 5; ++cut)
                if (line[cut] == ' ') ++spaces;
            heads.push_back(line.substr(0, cut - 1));
        }
        return heads;
    }
};

const std::string kChallenge = "Status: 401 Unauthorized\r\n"
                               "WWW-Authenticate: Basic realm=\"Tessellane\"\r\n"
                               "Docker-Distribution-API-Version: registry/2.0\r\n"
                               "Content-Type: application/json; charset=utf-8\r\n\r\n"
                               "{\"errors\":[{\"code\":\"UNAUTHORIZED\",\"message\":\"authentication required\"}]}\n";

TEST_F(V2RepoAuth, RefusedRequestsDeleteNothing) {
    struct Row {
        const char *label;
        Request req;
        std::vector<std::string> env;
    } rows[] = {
        {"no credentials", {"DELETE", "/v2/library/ubuntu"}, {}},
        {"empty header", {"DELETE", "/v2/library/ubuntu"}, {"HTTP_AUTHORIZATION="}},
        {"wrong password", {"DELETE", "/v2/library/ubuntu"}, {"HTTP_AUTHORIZATION=Basic YWxpY2U6d3Jvbmc="}},
        {"wrong user", {"DELETE", "/v2/library/ubuntu"}, {"HTTP_AUTHORIZATION=Basic Ym9iOnMzY3JldA=="}},
        {"other scheme", {"DELETE", "/v2/library/ubuntu"}, {"HTTP_AUTHORIZATION=Bearer YWxpY2U6czNjcmV0"}},
        {"not Base64", {"DELETE", "/v2/library/ubuntu"}, {"HTTP_AUTHORIZATION=Basic %%%"}},
        // Paths without "v2" reach the endpoint too (and delete the same repository).
        {"path without v2", {"DELETE", "/library/ubuntu"}, {}},
        // Authentication comes before the method, the storage and the name.
        {"other method", {"GET", "/v2/library/ubuntu"}, {}},
        {"bad name", {"DELETE", "/v2/-a"}, {}},
        {"unusable storage", {"DELETE", "/v2/library/ubuntu"}, {"REGISTRY_STORAGE_ROOT=/dev/null/x"}},
    };
    make_repo("library/ubuntu");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        ChildResult r = run(row.req, row.env);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, kChallenge);
        EXPECT_TRUE(repo_exists("library/ubuntu"));
    }
    std::vector<std::string> heads = log_heads();
    ASSERT_EQ(heads.size(), std::size(rows) - 1); // the log of the unusable root went nowhere
    EXPECT_EQ(heads[0], "DELETE /v2/library/ubuntu 0 401 anonymous");
    EXPECT_EQ(heads[6], "DELETE /library/ubuntu 0 401 anonymous");
    EXPECT_EQ(heads[7], "GET /v2/library/ubuntu 0 401 anonymous");
}

TEST_F(V2RepoAuth, AcceptedRequestsGoOnAsBeforeWithTheUserAsActor) {
    make_repo("library/ubuntu");
    EXPECT_EQ(run({"DELETE", "/v2/library/ubuntu"}, {kGood}).out, kAccepted);
    EXPECT_FALSE(repo_exists("library/ubuntu"));
    EXPECT_EQ(run({"DELETE", "/v2/library/ubuntu"}, {kGood}).out,
              error_response(404, "NAME_UNKNOWN", "repository not found: library/ubuntu"));
    EXPECT_EQ(run({"GET", "/v2/library/ubuntu"}, {kGood}).out,
              error_response(405, "UNSUPPORTED", "Method not allowed for repository endpoint"));
    EXPECT_EQ(log_heads(), (std::vector<std::string>{
                               "DELETE /v2/library/ubuntu 0 202 alice",
                               "DELETE /v2/library/ubuntu 86 404 alice",
                               "GET /v2/library/ubuntu 91 405 alice",
                           }));
}

// Settings that half configure authentication refuse the request (500) and
// leave the repository alone: a mistake never opens the registry.
TEST_F(V2RepoAuth, IncompleteSettingsRefuseTheRequest) {
    const std::string hash63 = std::string(kHash).substr(1);
    const std::string cases[] = {
        "{\"registry_auth_user\": \"alice\"}",
        "{\"registry_auth_user\": \"\", \"registry_auth_sha256\": \"" + std::string(kHash) + "\"}",
        "{\"registry_auth_user\": \"alice\", \"registry_auth_sha256\": \"" + hash63 + "\"}",
    };
    for (const std::string &settings : cases) {
        SCOPED_TRACE(settings);
        testutil::write_all(cwd / "config.json", settings);
        make_repo("library/ubuntu");
        EXPECT_EQ(run({"DELETE", "/v2/library/ubuntu"}).out.rfind("Status: 500 Internal Server Error\r\n", 0), 0u);
        EXPECT_TRUE(repo_exists("library/ubuntu"));
    }
    EXPECT_EQ(log_heads().back(), "DELETE /v2/library/ubuntu 0 500 anonymous");
}

} // namespace
