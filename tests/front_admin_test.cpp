// The operators' routes in-process: a collection started detached and followed to its end, a start
// refused while one runs, cancel, retention previews, and the credentials every route asks for.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "front/http.h"
#include "storage/reg_storage.h"
#include "tests/fixtures.h"
#include "tests/front_call.h"
#include "tests/test_util.h"

namespace {

using testutil::exists;
using testutil::read_all;
using testutil::sha256_digest;
using testutil::write_all;

// Polls, 20 ms apart, of a detached collection's progress before a test gives
// up on it: only a run that never ends uses them all.
constexpr int kFollowRounds = 3000;

class FrontAdmin : public ::testing::Test {
protected:
    void SetUp() override {
        env_.set("REGISTRY_STORAGE_ROOT", root_);
        ASSERT_EQ(0, reg_storage_init(root_.c_str())) << reg_storage_last_error();
        // Young blobs are safe from collections unless the grace period is off.
        write_all(tmp_ / "config.json", "{\"registry_gc_grace_seconds\": 0}");
    }
    void TearDown() override {
        reg_storage_cleanup();
        testutil::clear_platform_faults();
    }

    http_response call(const char *method, const char *path, const std::string &query = "",
                       const std::string &authorization = "") {
        return testutil::front_call(method, path, query, authorization);
    }

    // An unreferenced blob, aged past any grace period.
    std::string orphan_blob(const std::string &data) {
        std::string digest = sha256_digest(data);
        std::string path = root_ + "/blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7);
        write_all(path, data);
        struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        utimensat(AT_FDCWD, path.c_str(), old, 0);
        return path;
    }

    testutil::TempDir tmp_;
    std::string root_ = tmp_ / "root";
    testutil::EnvGuard env_{{"REGISTRY_STORAGE_ROOT"}};
    testutil::ScopedCwd cwd_{tmp_.path()};
};

TEST_F(FrontAdmin, ACollectionRunsDetachedAndIsFollowedToItsEnd) {
    std::string blob = orphan_blob("nobody names me");
    http_response idle = call("GET", "/v2/_admin/gc");
    EXPECT_EQ(200, idle.status);
    EXPECT_NE(std::string::npos, idle.body.find("\"running\":false")) << idle.body;

    http_response start = call("POST", "/v2/_admin/gc");
    EXPECT_EQ(202, start.status) << start.body;
    ASSERT_NE(nullptr, start.find_header("Location"));
    EXPECT_EQ("/v2/_admin/gc", *start.find_header("Location"));

    // The run is another process: follow its progress record, as a client
    // would (the count only bounds a run that never ends).
    std::string progress;
    for (int i = 0; i < kFollowRounds; ++i) {
        progress = call("GET", "/v2/_admin/gc").body;
        if (progress.find("\"last_result\"") != std::string::npos) break;
        usleep(20000);
    }
    EXPECT_NE(std::string::npos, progress.find("\"phase\":\"done\"")) << progress;
    EXPECT_NE(std::string::npos, progress.find("\"last_result\":{\"dry_run\":false")) << progress;
    EXPECT_FALSE(exists(blob));
}

TEST_F(FrontAdmin, ADryRunRemovesNothing) {
    std::string blob = orphan_blob("kept by a dry run");
    EXPECT_EQ(202, call("POST", "/v2/_admin/gc", "dry_run=1").status);
    std::string progress;
    for (int i = 0; i < kFollowRounds && progress.find("\"last_result\"") == std::string::npos; ++i) {
        usleep(20000);
        progress = call("GET", "/v2/_admin/gc").body;
    }
    EXPECT_NE(std::string::npos, progress.find("\"last_result\":{\"dry_run\":true")) << progress;
    EXPECT_TRUE(exists(blob));
    EXPECT_EQ(400, call("POST", "/v2/_admin/gc", "dry_run=maybe").status);
}

TEST_F(FrontAdmin, AStartWhileARunGoesOnIsAConflict) {
    // A progress record as a running collection writes it, fresh.
    std::string record = "{\"running\":true,\"phase\":\"walking\",\"blobs_scanned\":0,\"blobs_total\":9,"
                         "\"blobs_deleted\":0,\"bytes_freed\":0,\"dry_run\":false,\"started_unix\":" +
                         std::to_string(time(nullptr)) + ",\"elapsed_ms\":5,\"cancelled\":false}";
    write_all(root_ + "/_gc/progress.json", record);
    // The run's lock, held by a process that runs (this one).
    char host[256] = "";
    gethostname(host, sizeof host);
    write_all(root_ + "/_gc/run.lock", std::string(host) + " " + std::to_string(getpid()));
    http_response resp = call("POST", "/v2/_admin/gc");
    EXPECT_EQ(409, resp.status);
    EXPECT_NE(std::string::npos, resp.body.find("\"running\":true")) << resp.body;
    EXPECT_NE(std::string::npos, resp.body.find("\"blobs_total\":9")) << resp.body;
}

TEST_F(FrontAdmin, UsageCountsTheStoreAndShowsTheQuota) {
    orphan_blob("twelve bytes");
    write_all(tmp_ / "config.json", "{\"registry_quota_bytes\": 1000}");
    http_response resp = call("GET", "/v2/_admin/usage");
    EXPECT_EQ(200, resp.status) << resp.body;
    EXPECT_NE(std::string::npos, resp.body.find("\"blobs\":1,\"blob_bytes\":12,")) << resp.body;
    EXPECT_NE(std::string::npos, resp.body.find("\"quota_bytes\":1000")) << resp.body;
    EXPECT_EQ(405, call("POST", "/v2/_admin/usage").status);
}

TEST_F(FrontAdmin, CancelLeavesTheMarkerForTheRun) {
    http_response resp = call("DELETE", "/v2/_admin/gc");
    EXPECT_EQ(202, resp.status) << resp.body;
    EXPECT_TRUE(exists(root_ + "/_gc/cancel"));
}

TEST_F(FrontAdmin, RetentionPreviewsAndApplies) {
    std::string config = "{}";
    char blob_id[37];
    ASSERT_EQ(0, reg_blob_start_upload(blob_id));
    ASSERT_EQ(0, reg_blob_append_chunk(blob_id, config.data(), config.size()));
    char digest[72];
    ASSERT_EQ(0, reg_blob_finish_upload(blob_id, sha256_digest(config).c_str(), digest));
    std::string manifest = "{\"schemaVersion\":2,\"config\":{\"mediaType\":\"x\",\"digest\":\"" + std::string(digest) +
                           "\",\"size\":2},\"layers\":[]}";
    for (const char *tag : {"a", "b", "c"})
        ASSERT_EQ(0, reg_manifest_put("app", tag, manifest.data(), manifest.size(), nullptr, digest));

    http_response preview = call("POST", "/v2/_admin/retention", "dry_run=1&keep=1");
    EXPECT_EQ(200, preview.status) << preview.body;
    EXPECT_EQ(0u, preview.body.find("{\"dry_run\":true,\"keep_n\":1,\"days\":0,")) << preview.body;
    EXPECT_NE(std::string::npos, preview.body.find("\"tags_deleted\":2")) << preview.body;
    EXPECT_TRUE(exists(root_ + "/repositories/app/_manifests/tags/a"));

    http_response applied = call("POST", "/v2/_admin/retention", "keep=1");
    EXPECT_EQ(200, applied.status);
    EXPECT_NE(std::string::npos, applied.body.find("\"dry_run\":false")) << applied.body;
    int left = 0;
    for (const char *tag : {"a", "b", "c"})
        left += exists(root_ + "/repositories/app/_manifests/tags/" + tag + "/current/link") ? 1 : 0;
    EXPECT_EQ(1, left);

    for (const char *query : {"keep=-1", "days=x", "dry_run=2", "keep=9999999999", "days=%zz"})
        EXPECT_EQ(400, call("POST", "/v2/_admin/retention", query).status) << query;
    EXPECT_EQ(405, call("GET", "/v2/_admin/retention").status);
}

TEST_F(FrontAdmin, EveryAdminRouteAsksForCredentials) {
    write_all(tmp_ / "config.json", "{\"registry_auth_user\": \"root\", \"registry_auth_sha256\": \"" +
                                        testutil::sha256_hex(std::string("pw")) + "\"}");
    const std::pair<const char *, const char *> routes[] = {
        {"GET", "/v2/_admin/gc"},
        {"POST", "/v2/_admin/gc"},
        {"DELETE", "/v2/_admin/gc"},
        {"POST", "/v2/_admin/retention"},
        {"GET", "/v2/_admin/usage"},
    };
    for (const auto &[method, path] : routes) {
        EXPECT_EQ(401, call(method, path).status) << method << " " << path;
        EXPECT_EQ(401, call(method, path, "", "Basic cm9vdDp4eA==").status) << method << " " << path; // root:xx
    }
    EXPECT_FALSE(exists(root_ + "/_gc/cancel"));
    EXPECT_EQ(200, call("GET", "/v2/_admin/gc", "", "Basic cm9vdDpwdw==").status); // root:pw
}

} // namespace
