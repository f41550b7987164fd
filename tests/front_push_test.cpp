// front_push_test.cpp - the write side of the front door, in process: uploads, mounts, the quota, manifest
// store and deletion, blob deletion, and the bad input each must refuse without leaving anything half stored.
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <utime.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "front/http.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

using testutil::sha256_digest;

struct Headers {
    std::string content_range;
    std::string content_type;
    int64_t content_length = -2; // -2: the body's own length
};

class PushTest : public ::testing::Test {
protected:
    void SetUp() override {
        config("{\"registry_gc_grace_seconds\": 0}");
        env_.set("REGISTRY_STORAGE_ROOT", root_);
        ASSERT_EQ(0, reg_storage_init(root_.c_str())) << reg_storage_last_error();
    }
    void TearDown() override {
        reg_storage_cleanup();
        testutil::clear_platform_faults();
    }

    void config(const std::string &text) { testutil::write_all(dir_ / "config.json", text); }

    // Runs one request through the router as the CGI entry would.
    http_response call(const std::string &method, const std::string &path, const std::string &query = "",
                       const std::string &body = "", const Headers &h = {}) {
        http_request req;
        req.method = method;
        req.path = path;
        req.query = query;
        req.content_range = h.content_range;
        req.content_type = h.content_type;
        req.content_length = h.content_length == -2 ? static_cast<int64_t>(body.size()) : h.content_length;
        FILE *in = body.empty() ? nullptr : fmemopen(const_cast<char *>(body.data()), body.size(), "rb");
        req.body = in;
        http_response resp;
        registry_dispatch(req, resp);
        if (in) fclose(in);
        return resp;
    }

    static std::string header(const http_response &r, const char *name) {
        const std::string *v = r.find_header(name);
        return v ? *v : "<none>";
    }

    static std::string error_code(const http_response &r) {
        size_t at = r.body.find("\"code\":\"");
        if (at == std::string::npos) return "";
        at += 8;
        return r.body.substr(at, r.body.find('"', at) - at);
    }

    // A new session of repo; its id.
    std::string open_session(const std::string &repo) {
        http_response r = call("POST", "/v2/" + repo + "/blobs/uploads/");
        EXPECT_EQ(202, r.status) << r.body;
        return header(r, "Docker-Upload-UUID");
    }

    std::string put_blob(const std::string &repo, const std::string &data) {
        std::string digest = sha256_digest(data);
        http_response r = call("POST", "/v2/" + repo + "/blobs/uploads/", "digest=" + digest, data);
        EXPECT_EQ(201, r.status) << r.body;
        return digest;
    }

    std::string blob_path(const std::string &digest) {
        return root_ + "/blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7);
    }
    std::string part_path(const std::string &id) { return root_ + "/uploads/" + id + ".part"; }

    std::string image_manifest(const std::string &config, const std::vector<std::string> &layers,
                               const std::string &subject = "") {
        std::string m = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                        "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
                        config + "\",\"size\":2},\"layers\":[";
        for (size_t i = 0; i < layers.size(); ++i)
            m += std::string(i ? "," : "") + "{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"" +
                 layers[i] + "\",\"size\":1}";
        m += "]";
        if (!subject.empty())
            m += ",\"subject\":{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + subject +
                 "\",\"size\":10}";
        return m + "}";
    }

    // The stored files below uploads/ and blobs/, to show that a refusal left nothing.
    std::map<std::string, std::string> store_state() {
        std::map<std::string, std::string> all = testutil::snapshot(root_ + "/uploads");
        for (auto &kv : testutil::snapshot(root_ + "/blobs")) all.insert(kv);
        return all;
    }

    testutil::TempDir dir_;
    testutil::ScopedCwd cwd_{dir_.path()};
    testutil::EnvGuard env_{{"REGISTRY_STORAGE_ROOT"}};
    std::string root_ = dir_ / "root";
};

TEST_F(PushTest, SessionGrowsChunkByChunkAndFinishesIntoTheStore) {
    std::string id = open_session("team/app");
    ASSERT_EQ(36u, id.size());
    http_response st = call("GET", "/v2/team/app/blobs/uploads/" + id);
    EXPECT_EQ(204, st.status);
    EXPECT_EQ("/v2/team/app/blobs/uploads/" + id, header(st, "Location"));
    EXPECT_EQ("0-0", header(st, "Range"));

    // Chunk sizes around the engine's and the host's piece sizes.
    const std::vector<size_t> sizes = {0, 1, 65535, 65536, 65537, 3 * 1048576 + 7};
    std::string all;
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::string chunk(sizes[i], static_cast<char>('a' + i));
        for (size_t j = 0; j < chunk.size(); j += 4099)
            chunk[j] = static_cast<char>(j);
        Headers h;
        if (!chunk.empty())
            h.content_range = std::to_string(all.size()) + "-" + std::to_string(all.size() + chunk.size() - 1);
        http_response r = call("PATCH", "/v2/team/app/blobs/uploads/" + id, "", chunk, h);
        all += chunk;
        SCOPED_TRACE("chunk of " + std::to_string(sizes[i]));
        EXPECT_EQ(202, r.status) << r.body;
        EXPECT_EQ("0-" + std::to_string(all.empty() ? 0 : all.size() - 1), header(r, "Range"));
        EXPECT_EQ("/v2/team/app/blobs/uploads/" + id, header(r, "Location"));
        EXPECT_EQ(id, header(r, "Docker-Upload-UUID"));
    }
    std::string digest = sha256_digest(all);
    http_response done = call("PUT", "/v2/team/app/blobs/uploads/" + id, "digest=" + digest);
    EXPECT_EQ(201, done.status) << done.body;
    EXPECT_EQ("/v2/team/app/blobs/" + digest, header(done, "Location"));
    EXPECT_EQ(digest, header(done, "Docker-Content-Digest"));
    EXPECT_EQ(all, testutil::read_all(blob_path(digest)));
    // Nothing of the session stays behind.
    EXPECT_EQ(404, call("GET", "/v2/team/app/blobs/uploads/" + id).status);
    EXPECT_TRUE(testutil::snapshot(root_ + "/uploads/_state").empty());
}

TEST_F(PushTest, FinishingPutTakesAnOptionalLastBody) {
    struct Row {
        std::string patched, last;
    } rows[] = {{"", ""}, {"", "whole blob in the PUT"}, {"first part, ", "last part"}, {"all patched", ""}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.patched + "|" + row.last);
        std::string id = open_session("app");
        if (!row.patched.empty()) {
            ASSERT_EQ(202, call("PATCH", "/v2/app/blobs/uploads/" + id, "", row.patched).status);
        }
        std::string digest = sha256_digest(row.patched + row.last);
        http_response r = call("PUT", "/v2/app/blobs/uploads/" + id, "digest=" + digest, row.last);
        EXPECT_EQ(201, r.status) << r.body;
        EXPECT_EQ(row.patched + row.last, testutil::read_all(blob_path(digest)));
    }
}

// A part file appended to by another path than the hashing append is read
// again at the finish instead of trusting a hash of fewer bytes.
TEST_F(PushTest, BytesAppendedOutsideTheRunningHashAreHashedAtTheFinish) {
    std::string id = open_session("app");
    ASSERT_EQ(202, call("PATCH", "/v2/app/blobs/uploads/" + id, "", "hashed ").status);
    ASSERT_EQ(0, reg_blob_append_chunk(id.c_str(), "unhashed ", 9));
    ASSERT_EQ(202, call("PATCH", "/v2/app/blobs/uploads/" + id, "", "tail").status);
    std::string digest = sha256_digest("hashed unhashed tail");
    EXPECT_EQ(201, call("PUT", "/v2/app/blobs/uploads/" + id, "digest=" + digest).status);
    EXPECT_EQ("hashed unhashed tail", testutil::read_all(blob_path(digest)));
}

// A PATCH body that has not arrived yet: the read waits until the test opens
// the gate, and the append holds the session meanwhile.
struct held_body {
    std::string bytes;
    size_t at = 0;
    std::mutex m;
    std::condition_variable cv;
    bool reading = false, ended = false, open = false;
    void set(bool held_body::*flag) {
        std::lock_guard<std::mutex> lock(m);
        this->*flag = true;
        cv.notify_all();
    }
    void wait_for(const bool &a, const bool &b) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return a || b; });
    }
};

long read_held(void *ctx, void *buf, size_t cap) {
    auto *h = static_cast<held_body *>(ctx);
    if (h->at == 0) {
        h->set(&held_body::reading);
        h->wait_for(h->open, h->open);
    }
    size_t n = std::min(cap, h->bytes.size() - h->at);
    memcpy(buf, h->bytes.data() + h->at, n);
    h->at += n;
    return static_cast<long>(n);
}

// A finishing PUT that comes while a PATCH of the session is still receiving
// its body answers 409 and stores nothing; the session goes on whole. A PATCH
// that comes while the finish stores the blob answers 416 with the session's
// Range, and one after the finish 404, as for any finished session.
TEST_F(PushTest, FinishAndPatchOfOneSessionAtOnceNeverStoreAWrongBlob) {
    std::string id = open_session("app");
    std::string url = "/v2/app/blobs/uploads/" + id;
    ASSERT_EQ(202, call("PATCH", url, "", "first part, ").status);
    held_body body;
    body.bytes = "second part";
    int append_rc = 99;
    std::thread patch([&] {
        append_rc = reg_upload_append_from(id.c_str(), 12, read_held, &body, nullptr);
        body.set(&held_body::ended);
    });
    body.wait_for(body.reading, body.ended);
    std::string early = sha256_digest("first part, ");
    http_response r = call("PUT", url, "digest=" + early);
    body.set(&held_body::open);
    patch.join();
    EXPECT_EQ(409, r.status) << r.body;
    EXPECT_EQ("DENIED", error_code(r));
    EXPECT_NE(std::string::npos, r.body.find("another request is writing to upload " + id)) << r.body;
    EXPECT_FALSE(testutil::exists(blob_path(early)));
    ASSERT_EQ(0, append_rc) << reg_storage_last_error();

    std::string digest = sha256_digest("first part, second part");
    struct During {
        std::remove_pointer_t<decltype(this)> *test;
        std::string url;
        http_response r;
    } during{this, url, {}};
    std::string fan_out = root_ + "/blobs/sha256/" + digest.substr(7, 2);
    ASSERT_FALSE(testutil::exists(fan_out));
    plat_hook_inject_path(
        PLAT_OP_MKDIR, fan_out.c_str(),
        [](void *p) {
            auto *d = static_cast<During *>(p);
            d->r = d->test->call("PATCH", d->url, "", "late");
        },
        &during);
    http_response done = call("PUT", url, "digest=" + digest);
    plat_hook_inject_path(PLAT_OP_MKDIR, nullptr, nullptr, nullptr);
    EXPECT_EQ(201, done.status) << done.body;
    EXPECT_EQ(416, during.r.status) << during.r.body;
    EXPECT_EQ("0-22", header(during.r, "Range"));
    EXPECT_EQ("first part, second part", testutil::read_all(blob_path(digest)));
    http_response after = call("PATCH", url, "", "later");
    EXPECT_EQ(404, after.status);
    EXPECT_EQ("BLOB_UPLOAD_UNKNOWN", error_code(after));
}

TEST_F(PushTest, ContentRangeThatDoesNotContinueTheUploadIs416AndChangesNothing) {
    std::string id = open_session("app");
    ASSERT_EQ(202, call("PATCH", "/v2/app/blobs/uploads/" + id, "", "0123456789", {"0-9", "", -2}).status);
    struct Row {
        const char *range;
        std::string body;
    } rows[] = {
        {"0-4", "01234"},    // a retried earlier chunk
        {"5-14", "56789abcde"}, // overlapping
        {"11-15", "bcdef"},  // leaves a gap
        {"10-14", "abc"},    // says 5 bytes, brings 3
        {"14-10", "abcde"},  // backwards
        {"abc", "abcde"},    // not a range at all
        {"10-", "abcde"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.range);
        auto before = store_state();
        http_response r = call("PATCH", "/v2/app/blobs/uploads/" + id, "", row.body, {row.range, "", -2});
        EXPECT_EQ(416, r.status);
        EXPECT_EQ("BLOB_UPLOAD_INVALID", error_code(r));
        EXPECT_EQ("0-9", header(r, "Range"));
        EXPECT_EQ("/v2/app/blobs/uploads/" + id, header(r, "Location"));
        EXPECT_EQ(before, store_state());
    }
    http_response ok = call("PATCH", "/v2/app/blobs/uploads/" + id, "", "abcde", {"bytes 10-14/*", "", -2});
    EXPECT_EQ(202, ok.status);
    EXPECT_EQ("0-14", header(ok, "Range"));
}

TEST_F(PushTest, UploadRoutesRefuseUnknownForeignAndMalformedSessions) {
    std::string mine = open_session("team/app");
    ASSERT_EQ(202, call("PATCH", "/v2/team/app/blobs/uploads/" + mine, "", "abc").status);
    std::string finished = open_session("team/app");
    ASSERT_EQ(201, call("PUT", "/v2/team/app/blobs/uploads/" + finished, "digest=" + sha256_digest("")).status);
    std::string cancelled = open_session("team/app");
    ASSERT_EQ(204, call("DELETE", "/v2/team/app/blobs/uploads/" + cancelled).status);
    EXPECT_FALSE(testutil::exists(part_path(cancelled)));

    const std::vector<std::pair<std::string, std::string>> sessions = {
        {"other/app", mine},                                 // another repository's session
        {"team/app", "00000000-0000-0000-0000-000000000000"}, // never opened
        {"team/app", finished},
        {"team/app", cancelled},
        {"team/app", "0000000-0000-0000-0000-0000000000000"}, // dash out of place
        {"team/app", "ABCDEF01-0000-0000-0000-000000000000"}, // upper case
        {"team/app", "00000000-0000-0000-0000-00000000000"},  // 35 characters
        {"team/app", "00000000-0000-0000-0000-0000000000000"}, // 37 characters
        {"team/app", "..%2F..%2Fblobs"},
    };
    for (const auto &[repo, id] : sessions) {
        for (const char *method : {"GET", "PATCH", "PUT", "DELETE"}) {
            SCOPED_TRACE(std::string(method) + " " + repo + " " + id);
            auto before = store_state();
            http_response r = call(method, "/v2/" + repo + "/blobs/uploads/" + id, "digest=" + sha256_digest("abcx"),
                                   "x");
            EXPECT_EQ(404, r.status);
            EXPECT_EQ("BLOB_UPLOAD_UNKNOWN", error_code(r));
            EXPECT_EQ(before, store_state());
        }
    }
    EXPECT_EQ("abc", testutil::read_all(part_path(mine)));
}

TEST_F(PushTest, FinishingPutRefusesAMissingOrWrongDigest) {
    std::string id = open_session("app");
    ASSERT_EQ(202, call("PATCH", "/v2/app/blobs/uploads/" + id, "", "payload").status);
    struct Row {
        std::string query;
        bool session_stays;
    } rows[] = {
        {"", true},
        {"digest=", true},
        {"digest=sha256:totallywrong", true},
        {"digest=sha512:" + std::string(128, 'a'), true},
        {"digest=" + sha256_digest("other"), false}, // the bytes are discarded
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.query);
        http_response r = call("PUT", "/v2/app/blobs/uploads/" + id, row.query);
        EXPECT_EQ(400, r.status);
        EXPECT_EQ("DIGEST_INVALID", error_code(r));
        EXPECT_EQ(row.session_stays, testutil::exists(part_path(id)));
    }
    EXPECT_FALSE(testutil::exists(blob_path(sha256_digest("other"))));
    EXPECT_FALSE(testutil::exists(blob_path(sha256_digest("payload"))));
}

TEST_F(PushTest, MonolithicPostStoresTheBlobOrNothing) {
    std::string data(70000, 'm');
    std::string digest = sha256_digest(data);
    http_response r = call("POST", "/v2/app/blobs/uploads/", "digest=" + digest, data);
    EXPECT_EQ(201, r.status) << r.body;
    EXPECT_EQ("/v2/app/blobs/" + digest, header(r, "Location"));
    EXPECT_EQ(digest, header(r, "Docker-Content-Digest"));
    EXPECT_EQ(data, testutil::read_all(blob_path(digest)));

    auto before = store_state();
    http_response wrong = call("POST", "/v2/app/blobs/uploads/", "digest=" + sha256_digest("x"), "y");
    EXPECT_EQ(400, wrong.status);
    EXPECT_EQ("DIGEST_INVALID", error_code(wrong));
    // Content-Length larger than what arrives: a body cut off on its way.
    Headers cut;
    cut.content_length = 5 * 1048576;
    std::string half(3 * 1048576, 'h');
    http_response short_body = call("POST", "/v2/app/blobs/uploads/", "digest=" + sha256_digest(half), half, cut);
    EXPECT_EQ(400, short_body.status);
    EXPECT_EQ("BLOB_UPLOAD_INVALID", error_code(short_body));
    EXPECT_EQ(before, store_state());
}

TEST_F(PushTest, BodyCutOffMidChunkLeavesTheSessionAsItWas) {
    std::string id = open_session("app");
    ASSERT_EQ(202, call("PATCH", "/v2/app/blobs/uploads/" + id, "", "kept").status);
    for (size_t sent : {10u, 2u * 1048576u + 3u}) {
        Headers h;
        h.content_length = static_cast<int64_t>(sent) + 100;
        http_response r = call("PATCH", "/v2/app/blobs/uploads/" + id, "", std::string(sent, 'z'), h);
        EXPECT_EQ(400, r.status);
        EXPECT_EQ("BLOB_UPLOAD_INVALID", error_code(r));
        EXPECT_EQ("kept", testutil::read_all(part_path(id)));
    }
    // The running hash still describes the bytes kept.
    EXPECT_EQ(201, call("PUT", "/v2/app/blobs/uploads/" + id, "digest=" + sha256_digest("kept")).status);
}

TEST_F(PushTest, MountAnswersAPresentBlobAtOnceAndOpensASessionOtherwise) {
    std::string digest = put_blob("source/app", "shared layer");
    std::string absent = sha256_digest("absent layer");
    struct Row {
        std::string query;
        int status;
    } rows[] = {
        {"mount=" + digest + "&from=source/app", 201},
        {"mount=" + digest, 201},
        {"mount=" + digest + "&from=never/there", 201},
        {"mount=" + absent + "&from=source/app", 202},
        {"mount=" + absent, 202},
        {"mount=sha256:nothex&from=source/app", 400},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.query);
        http_response r = call("POST", "/v2/target/app/blobs/uploads/", row.query);
        EXPECT_EQ(row.status, r.status) << r.body;
        if (row.status == 201) {
            EXPECT_EQ("/v2/target/app/blobs/" + digest, header(r, "Location"));
            EXPECT_EQ(digest, header(r, "Docker-Content-Digest"));
        } else if (row.status == 202) {
            EXPECT_EQ("0-0", header(r, "Range"));
            EXPECT_TRUE(testutil::exists(part_path(header(r, "Docker-Upload-UUID"))));
        } else {
            EXPECT_EQ("DIGEST_INVALID", error_code(r));
        }
    }
}

TEST_F(PushTest, QuotaAllowsExactlyTheLimitAndRefusesOneByteMore) {
    config("{\"registry_quota_bytes\": 1000, \"registry_gc_grace_seconds\": 0}");
    put_blob("app", std::string(600, 's'));
    std::string id = open_session("app");
    http_response full = call("PATCH", "/v2/app/blobs/uploads/" + id, "", std::string(400, 'u'));
    EXPECT_EQ(202, full.status) << full.body;
    EXPECT_EQ(201, call("PUT", "/v2/app/blobs/uploads/" + id, "digest=" + sha256_digest(std::string(400, 'u'))).status);

    std::string next = open_session("app");
    const std::string refusal = "{\"errors\":[{\"code\":\"DENIED\",\"message\":\"quota exceeded: 1000 B of 1000 B used\"}]}\n";
    auto before = store_state();
    http_response patch = call("PATCH", "/v2/app/blobs/uploads/" + next, "", "1");
    EXPECT_EQ(413, patch.status);
    EXPECT_EQ(refusal, patch.body);
    http_response put = call("PUT", "/v2/app/blobs/uploads/" + next, "digest=" + sha256_digest("1"), "1");
    EXPECT_EQ(413, put.status);
    EXPECT_EQ(refusal, put.body);
    http_response post = call("POST", "/v2/app/blobs/uploads/", "digest=" + sha256_digest("1"), "1");
    EXPECT_EQ(413, post.status);
    EXPECT_EQ(refusal, post.body);
    // Without a Content-Length the body is cut where the quota ends and undone.
    Headers unknown;
    unknown.content_length = -1;
    EXPECT_EQ(413, call("PATCH", "/v2/app/blobs/uploads/" + next, "", "12", unknown).status);
    EXPECT_EQ(before, store_state());
    // A blob already stored adds nothing and still finishes.
    std::string again(600, 's');
    EXPECT_EQ(201, call("PUT", "/v2/app/blobs/uploads/" + next, "digest=" + sha256_digest(again), again).status);
}

// Part files count: sessions each under the quota do not together pass it.
TEST_F(PushTest, OpenSessionsCountAgainstTheQuota) {
    config("{\"registry_quota_bytes\": 1000, \"registry_gc_grace_seconds\": 0}");
    std::string first = open_session("app"), second = open_session("app");
    EXPECT_EQ(202, call("PATCH", "/v2/app/blobs/uploads/" + first, "", std::string(700, 'a')).status);
    http_response over = call("PATCH", "/v2/app/blobs/uploads/" + second, "", std::string(400, 'b'));
    EXPECT_EQ(413, over.status) << over.body;
    EXPECT_EQ(202, call("PATCH", "/v2/app/blobs/uploads/" + second, "", std::string(300, 'b')).status);
    // Without a Content-Length the body is cut where the quota ends.
    Headers unknown;
    unknown.content_length = -1;
    EXPECT_EQ(413, call("PATCH", "/v2/app/blobs/uploads/" + first, "", "c", unknown).status);
}

// Open sessions are capped per repository and in all; one no write reached
// for fifteen minutes is removed by the next start and frees its place.
TEST_F(PushTest, OpenSessionsAreCappedAndAbandonedOnesMakeRoom) {
    config("{\"registry_upload_sessions_per_repository_max\": 2, \"registry_upload_sessions_max\": 3}");
    std::string a1 = open_session("a"), a2 = open_session("a");
    http_response third = call("POST", "/v2/a/blobs/uploads/", "", "");
    EXPECT_EQ(429, third.status) << third.body;
    EXPECT_EQ("TOOMANYREQUESTS", error_code(third));
    std::string b1 = open_session("b");
    EXPECT_EQ(429, call("POST", "/v2/b/blobs/uploads/", "", "").status) << "three open in all";
    EXPECT_EQ(429, call("POST", "/v2/b/blobs/uploads/", "digest=" + sha256_digest("x"), "x").status);

    // Abandoned: its part file dated back past the session timeout.
    std::string part = root_ + "/uploads/" + a1 + ".part";
    struct timespec old[2] = {{time(nullptr) - 901, 0}, {time(nullptr) - 901, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, part.c_str(), old, 0));
    std::string a3 = open_session("a");
    EXPECT_FALSE(testutil::exists(part));
    EXPECT_EQ(404, call("PATCH", "/v2/a/blobs/uploads/" + a1, "", "late").status);
    EXPECT_EQ(202, call("PATCH", "/v2/a/blobs/uploads/" + a2, "", "on time").status);
}

// A negative cap lifts it: past the default of 100 per repository, and 0
// reads as the default again.
TEST_F(PushTest, NegativeSessionCapLiftsIt) {
    constexpr int kDefaultPerRepository = 100;
    config("{\"registry_upload_sessions_per_repository_max\": -1}");
    for (int i = 0; i <= kDefaultPerRepository; ++i)
        ASSERT_FALSE(open_session("a").empty()) << i;
    config("{\"registry_upload_sessions_per_repository_max\": 0, \"registry_upload_sessions_max\": -1}");
    EXPECT_EQ(429, call("POST", "/v2/a/blobs/uploads/", "", "").status);
    EXPECT_EQ(202, call("POST", "/v2/b/blobs/uploads/", "", "").status);
}

TEST_F(PushTest, ManifestPutStoresByTagAndDigestAndRefusesBadManifests) {
    std::string config_digest = put_blob("app", "{}");
    std::string layer = put_blob("app", "layer one");
    std::string body = image_manifest(config_digest, {layer});
    std::string digest = sha256_digest(body);
    Headers oci{"", "application/vnd.oci.image.manifest.v1+json", -2};

    http_response by_tag = call("PUT", "/v2/app/manifests/v1", "", body, oci);
    EXPECT_EQ(201, by_tag.status) << by_tag.body;
    EXPECT_EQ("/v2/app/manifests/" + digest, header(by_tag, "Location"));
    EXPECT_EQ(digest, header(by_tag, "Docker-Content-Digest"));
    EXPECT_EQ("<none>", header(by_tag, "OCI-Subject"));
    http_response by_digest = call("PUT", "/v2/app/manifests/" + digest, "", body, oci);
    EXPECT_EQ(201, by_digest.status);
    http_response got = call("GET", "/v2/app/manifests/v1");
    EXPECT_EQ(body, got.body);
    EXPECT_EQ("application/vnd.oci.image.manifest.v1+json", got.content_type);

    std::string deep(100000, '[');
    std::string many = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config_digest + "\"},\"layers\":[";
    for (int i = 0; i < 100000; ++i)
        many += std::string(i ? "," : "") + "{\"digest\":\"" + layer + "\"}";
    many += "]}";
    Headers huge;
    huge.content_length = 100 * 1048576;
    Headers unknown_length;
    unknown_length.content_length = -1;
    struct Row {
        std::string name, reference, body;
        Headers headers;
        int status;
        std::string code;
    } rows[] = {
        {"not JSON", "v2", "{\"schemaVersion\":", {}, 400, "MANIFEST_INVALID"},
        {"not a manifest", "v2", "[1,2,3]", {}, 400, "MANIFEST_INVALID"},
        {"missing layer", "v2", image_manifest(config_digest, {sha256_digest("nowhere")}), {}, 400,
         "MANIFEST_BLOB_UNKNOWN"},
        {"missing config", "v2", image_manifest(sha256_digest("nowhere"), {layer}), {}, 400, "MANIFEST_BLOB_UNKNOWN"},
        {"index with missing child", "v2",
         "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[{\"digest\":\"" +
             sha256_digest("no child") + "\"}]}",
         {}, 400, "MANIFEST_BLOB_UNKNOWN"},
        {"digest does not match", sha256_digest("something else"), body, {}, 400, "DIGEST_INVALID"},
        {"nested 100000 deep", "v2", deep, {}, 400, "MANIFEST_INVALID"},
        {"100 MB announced", "v2", "", huge, 413, "MANIFEST_INVALID"},
        {"over 4 MiB without a length", "v2", std::string(4 * 1048576 + 1, ' '), unknown_length, 413,
         "MANIFEST_INVALID"},
        {"naming 100000 blobs", "v2", many, {}, 413, "MANIFEST_INVALID"},
        {"tag of 129 characters", std::string(129, 't'), body, {}, 400, "MANIFEST_INVALID"},
        {"tag with a slash", "a%2Fb", body, {}, 400, "MANIFEST_INVALID"},
        {"digest reference not hex", "sha256:totallywrong", body, {}, 400, "MANIFEST_INVALID"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto before = testutil::snapshot(root_ + "/repositories");
        http_response r = call("PUT", "/v2/app/manifests/" + row.reference, "", row.body, row.headers);
        EXPECT_EQ(row.status, r.status) << r.body;
        EXPECT_EQ(row.code, error_code(r));
        EXPECT_EQ(before, testutil::snapshot(root_ + "/repositories"));
    }
    // A tag holding a '/' never reaches the manifest route.
    EXPECT_EQ(405, call("PUT", "/v2/app/manifests/a/b", "", body).status);
}

// Within the size limit, a manifest naming tens of thousands of blobs is
// checked blob by blob without reading anything twice.
TEST_F(PushTest, ManifestNamingManyBlobsIsStored) {
    std::string config_digest = put_blob("app", "{}");
    std::string layer = put_blob("app", "layer");
    std::string body = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config_digest + "\"},\"layers\":[";
    for (int i = 0; i < 40000; ++i)
        body += std::string(i ? "," : "") + "{\"digest\":\"" + layer + "\"}";
    body += "]}";
    ASSERT_LT(body.size(), 4u * 1048576);
    EXPECT_EQ(201, call("PUT", "/v2/app/manifests/many", "", body).status);
}

TEST_F(PushTest, ManifestWithAbsentSubjectIsStoredAndListedAsReferrerUntilDeleted) {
    std::string config_digest = put_blob("app", "{}");
    std::string subject = sha256_digest("a manifest not pushed yet");
    std::string body = image_manifest(config_digest, {}, subject);
    std::string digest = sha256_digest(body);
    http_response r = call("PUT", "/v2/app/manifests/" + digest, "", body);
    EXPECT_EQ(201, r.status) << r.body;
    EXPECT_EQ(subject, header(r, "OCI-Subject"));
    http_response listed = call("GET", "/v2/app/referrers/" + subject);
    EXPECT_NE(std::string::npos, listed.body.find(digest)) << listed.body;
    EXPECT_EQ(202, call("DELETE", "/v2/app/manifests/" + digest).status);
    listed = call("GET", "/v2/app/referrers/" + subject);
    EXPECT_EQ(std::string::npos, listed.body.find(digest)) << listed.body;
}

TEST_F(PushTest, ManifestDeleteByTagKeepsTheManifestByDigestRemovesAllTags) {
    std::string config_digest = put_blob("app", "{}");
    std::string body = image_manifest(config_digest, {});
    std::string digest = sha256_digest(body);
    for (const char *tag : {"a", "b", "c"})
        ASSERT_EQ(201, call("PUT", std::string("/v2/app/manifests/") + tag, "", body).status);
    // Another image keeps the repository: one left with nothing leaves the catalog.
    std::string other = image_manifest(put_blob("app", "{\"other\":1}"), {});
    ASSERT_EQ(201, call("PUT", "/v2/app/manifests/keep", "", other).status);

    EXPECT_EQ(202, call("DELETE", "/v2/app/manifests/a").status);
    EXPECT_EQ(404, call("GET", "/v2/app/manifests/a").status);
    EXPECT_EQ(200, call("GET", "/v2/app/manifests/" + digest).status);
    EXPECT_EQ("{\"name\":\"app\",\"tags\":[\"b\",\"c\",\"keep\"]}\n", call("GET", "/v2/app/tags/list").body);

    EXPECT_EQ(202, call("DELETE", "/v2/app/manifests/" + digest).status);
    EXPECT_EQ(404, call("GET", "/v2/app/manifests/b").status);
    EXPECT_EQ(404, call("GET", "/v2/app/manifests/" + digest).status);
    EXPECT_EQ("{\"name\":\"app\",\"tags\":[\"keep\"]}\n", call("GET", "/v2/app/tags/list").body);

    struct Row {
        std::string path;
        int status;
        std::string code;
    } rows[] = {
        {"/v2/app/manifests/a", 404, "MANIFEST_UNKNOWN"},
        {"/v2/app/manifests/" + digest, 404, "MANIFEST_UNKNOWN"},
        {"/v2/nothere/manifests/latest", 404, "NAME_UNKNOWN"},
        {"/v2/app/manifests/sha256:short", 400, "MANIFEST_INVALID"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        http_response r = call("DELETE", row.path);
        EXPECT_EQ(row.status, r.status);
        EXPECT_EQ(row.code, error_code(r));
    }
}

TEST_F(PushTest, BlobDeleteRefusesWhileAnyRepositoryNamesIt) {
    std::string config_digest = put_blob("one", "{}");
    std::string layer = put_blob("one", "layer");
    std::string body = image_manifest(config_digest, {layer});
    ASSERT_EQ(201, call("PUT", "/v2/other/team/manifests/v1", "", body).status);

    http_response refused = call("DELETE", "/v2/one/blobs/" + layer);
    EXPECT_EQ(405, refused.status);
    EXPECT_EQ("{\"errors\":[{\"code\":\"DENIED\",\"message\":\"blob is still named by manifest other/team@" +
                  sha256_digest(body) + ": " + layer + "\"}]}\n",
              refused.body);
    EXPECT_TRUE(testutil::exists(blob_path(layer)));

    ASSERT_EQ(202, call("DELETE", "/v2/other/team/manifests/" + sha256_digest(body)).status);
    EXPECT_EQ(202, call("DELETE", "/v2/one/blobs/" + layer).status);
    EXPECT_FALSE(testutil::exists(blob_path(layer)));
    EXPECT_EQ(404, call("GET", "/v2/one/blobs/" + layer).status);

    struct Row {
        std::string digest;
        int status;
        std::string code;
    } rows[] = {{layer, 404, "BLOB_UNKNOWN"}, {"sha256:abc", 400, "DIGEST_INVALID"}};
    for (const Row &row : rows) {
        http_response r = call("DELETE", "/v2/one/blobs/" + row.digest);
        EXPECT_EQ(row.status, r.status);
        EXPECT_EQ(row.code, error_code(r));
    }
}

TEST_F(PushTest, WriteShapesAnswer405WithTheirMethods) {
    struct Row {
        std::string method, path, allow;
    } rows[] = {
        {"PATCH", "/v2/app/blobs/uploads/", "POST"},
        {"GET", "/v2/app/blobs/uploads", "POST"},
        {"POST", "/v2/app/blobs/uploads/00000000-0000-0000-0000-000000000000", "GET, HEAD, PATCH, PUT, DELETE"},
        {"POST", "/v2/app/manifests/v1", "GET, HEAD, PUT, DELETE"},
        {"PUT", "/v2/app/blobs/" + sha256_digest("x"), "GET, HEAD, DELETE"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.method + " " + row.path);
        http_response r = call(row.method, row.path);
        EXPECT_EQ(405, r.status);
        EXPECT_EQ(row.allow, header(r, "Allow"));
        EXPECT_EQ("UNSUPPORTED", error_code(r));
    }
}

// Sessions left open are collected with what is kept beside them, and the
// refusals above leave nothing a collection must refuse.
TEST_F(PushTest, CollectionRemovesAbandonedSessionsWithTheirState) {
    std::string id = open_session("app");
    ASSERT_EQ(202, call("PATCH", "/v2/app/blobs/uploads/" + id, "", "abandoned").status);
    std::string state = root_ + "/uploads/_state";
    ASSERT_FALSE(testutil::snapshot(state).empty());
    struct utimbuf old = {1000000000, 1000000000};
    utime(part_path(id).c_str(), &old);
    for (const auto &kv : testutil::snapshot(state))
        utime(kv.first.c_str(), &old);
    const char *report = reg_gc_json(0);
    ASSERT_NE(nullptr, report) << reg_storage_last_error();
    EXPECT_NE(nullptr, strstr(report, "\"stale_uploads\":1")) << report;
    EXPECT_FALSE(testutil::exists(part_path(id)));
    EXPECT_TRUE(testutil::snapshot(state).empty());
}

} // namespace

namespace {

// A server fault tells the client the system's reason and never a server
// path; a full disk says so in words.
TEST_F(PushTest, ServerFaultsTellTheReasonAndNoPath) {
    struct Row {
        const char *label;
        int err;
        const char *message;
    } rows[] = {
        {"full disk", ENOSPC, "no space left on device: the registry's disk is full"},
        {"an I/O error", EIO, "storage error: Input/output error"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        std::string id = open_session("lib/app");
        plat_fault_inject_errno(PLAT_OP_WRITE, 1, row.err);
        http_response r = call("PATCH", "/v2/lib/app/blobs/uploads/" + id, "", std::string(1000, 'x'));
        testutil::clear_platform_faults();
        EXPECT_EQ(r.status, 500);
        EXPECT_NE(r.body.find(row.message), std::string::npos) << r.body;
        EXPECT_EQ(r.body.find(root_), std::string::npos) << r.body;
        EXPECT_EQ(r.body.find("uploads"), std::string::npos) << r.body;
    }
}

} // namespace
