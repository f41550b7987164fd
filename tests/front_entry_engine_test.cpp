// front_entry_engine_test.cpp - the entry's own engine handle: each request runs
// on the root the settings name when it arrives, and nothing of a failed
// request's error reaches the next one.
#include <sys/time.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "front/oci_common.h"
#include "storage/reg_storage.h"
#include "tests/front_call.h"
#include "tests/test_util.h"

using testutil::TempDir;

namespace {

class EntryEngine : public ::testing::Test {
protected:
    TempDir dir;
    testutil::ScopedCwd cwd{dir.path()};
    testutil::EnvGuard env{{"REGISTRY_STORAGE_ROOT"}};
    long stamp = 1000000000; // each settings file gets its own time

    void SetUp() override { env.set("REGISTRY_STORAGE_ROOT", std::nullopt); }

    // The settings name root; the file's time moves on so the change is seen
    // whatever its size.
    void settle_root(const std::string &root) {
        std::string path = dir / "config.json";
        testutil::write_all(path, "{\"storage_root\": \"" + root + "\"}\n");
        stamp += 100;
        struct timeval times[2] = {{stamp, 0}, {stamp, 0}};
        ASSERT_EQ(utimes(path.c_str(), times), 0);
    }
    void make_repo(const std::string &root, const std::string &name) {
        testutil::write_all(dir / (root + "/repositories/" + name + "/_manifests/tags/latest/current/link"),
                            "sha256:" + std::string(64, 'a'));
    }
    bool repo_exists(const std::string &root, const std::string &name) const {
        return testutil::is_dir(dir / (root + "/repositories/" + name));
    }
    // One request as the entry serves it.
    http_response request(const std::string &method, const std::string &path) {
        oci_engine_begin_request();
        return testutil::front_call(method, path);
    }
};

TEST_F(EntryEngine, EachRequestLandsInTheTreeItsSettingsName) {
    make_repo("first", "shared");
    make_repo("second", "shared");
    make_repo("second", "only-second");

    settle_root("first");
    EXPECT_EQ(request("DELETE", "/v2/shared").status, 202);
    EXPECT_FALSE(repo_exists("first", "shared"));
    EXPECT_TRUE(repo_exists("second", "shared"));

    settle_root("second");
    EXPECT_EQ(request("DELETE", "/v2/shared").status, 202);
    EXPECT_FALSE(repo_exists("second", "shared"));

    settle_root("first");
    http_response missing = request("DELETE", "/v2/only-second");
    EXPECT_EQ(missing.status, 404);
    EXPECT_NE(missing.body.find("repository not found: only-second"), std::string::npos) << missing.body;
    EXPECT_TRUE(repo_exists("second", "only-second"));
}

TEST_F(EntryEngine, AFailedRequestLeavesNothingForTheNext) {
    settle_root("tree");
    http_response failed = request("DELETE", "/v2/absent");
    ASSERT_EQ(failed.status, 404);
    ASSERT_EQ(reg_storage_last_error_kind(), REG_ERR_NOT_FOUND);

    oci_engine_begin_request();
    EXPECT_STREQ(reg_storage_last_error(), "");
    EXPECT_EQ(reg_storage_last_error_kind(), REG_ERR_NONE);
    EXPECT_EQ(reg_storage_last_errno(), 0);

    // A start that fails is answered, and tried again once the settings are mended.
    testutil::write_all(dir / "afile", "x");
    settle_root("afile/tree");
    http_response broken = request("GET", "/v2/_catalog");
    EXPECT_EQ(broken.status, 500);
    settle_root("tree");
    make_repo("tree", "present");
    http_response listed = request("GET", "/v2/_catalog");
    EXPECT_EQ(listed.status, 200);
    EXPECT_EQ(listed.body.find("afile"), std::string::npos) << listed.body;
    EXPECT_NE(listed.body.find("\"present\""), std::string::npos) << listed.body;
}

} // namespace
