// The read side of the API through the front door, in-process: every route's answers and
// errors as tables over a store holding an image, an index and a referrer.
#include <limits.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/settings.h"
#include "front/http.h"
#include "platform/file_snapshot.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tests/fixtures.h"
#include "tests/front_call.h"
#include "tests/test_util.h"

namespace {

using testutil::sha256_digest;
using testutil::store_blob;

constexpr char kImageType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";
// Manifest and tag answers read their own files (tag link, manifest), which
// this count includes.
constexpr uint64_t kManifestByTagCalls = 15, kManifestByTagStats = 4;
constexpr uint64_t kManifestByDigestCalls = 11, kManifestByDigestStats = 6;
constexpr uint64_t kTagsCalls = 12, kTagsStats = 4;
constexpr char kZeroDigest[] = "sha256:0000000000000000000000000000000000000000000000000000000000000000";

std::string descriptor(const char *type, const std::string &digest, size_t size) {
    return std::string("{\"mediaType\":\"") + type + "\",\"digest\":\"" + digest + "\",\"size\":" +
           std::to_string(size) + "}";
}

std::string store_manifest(const char *repo, const char *ref, const std::string &body, const char *type) {
    char digest[72] = "";
    EXPECT_EQ(0, reg_manifest_put(repo, ref, body.data(), body.size(), type, digest)) << reg_storage_last_error();
    return digest;
}

class FrontRead : public ::testing::Test {
protected:
    void SetUp() override {
        env_.set("REGISTRY_STORAGE_ROOT", root_);
        ASSERT_EQ(0, reg_storage_init(root_.c_str())) << reg_storage_last_error();
        config_ = store_blob("{\"architecture\":\"amd64\"}");
        layer_ = store_blob("layer bytes");
        image_ = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kImageType) +
                 "\",\"config\":" + descriptor("application/vnd.oci.image.config.v1+json", config_, 24) +
                 ",\"layers\":[" + descriptor("application/vnd.oci.image.layer.v1.tar", layer_, 11) + "]}";
        image_digest_ = store_manifest("library/ubuntu", "latest", image_, kImageType);
        store_manifest("library/ubuntu", "v1", image_, kImageType);
        index_ = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[" +
                 descriptor(kImageType, image_digest_, image_.size()) + "]}";
        index_digest_ = store_manifest("team/manifests/app", "multi", index_, kIndexType);
        // A signature-like artifact naming the image as its subject.
        signature_ = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kImageType) +
                     "\",\"artifactType\":\"application/vnd.example.sig\",\"config\":" +
                     descriptor("application/vnd.oci.empty.v1+json", config_, 24) + ",\"layers\":[" +
                     descriptor("application/vnd.oci.image.layer.v1.tar", layer_, 11) + "],\"subject\":" +
                     descriptor(kImageType, image_digest_, image_.size()) +
                     ",\"annotations\":{\"org.example\":\"yes\"}}";
        signature_digest_ = store_manifest("library/ubuntu", signature_digest_ref(), signature_, kImageType);
    }
    void TearDown() override {
        reg_storage_cleanup();
        testutil::clear_platform_faults();
    }

    const char *signature_digest_ref() {
        sig_ref_ = sha256_digest(signature_);
        return sig_ref_.c_str();
    }

    http_response call(const char *method, const std::string &path, const std::string &query = "",
                       const std::string &authorization = "") {
        return testutil::front_call(method, path, query, authorization);
    }

    static std::string code_of(const http_response &resp) {
        size_t at = resp.body.find("\"code\":\"");
        if (at == std::string::npos) return "";
        at += 8;
        return resp.body.substr(at, resp.body.find('"', at) - at);
    }
    static std::string header(const http_response &resp, const char *name) {
        const std::string *v = resp.find_header(name);
        return v ? *v : "<none>";
    }

    testutil::TempDir tmp_;
    std::string root_ = tmp_ / "root";
    testutil::EnvGuard env_{{"REGISTRY_STORAGE_ROOT"}};
    testutil::ScopedCwd cwd_{tmp_.path()};
    std::string config_, layer_, image_, image_digest_, index_, index_digest_, signature_, signature_digest_,
        sig_ref_;
};

TEST_F(FrontRead, EveryRouteAnswersItsSuccessAndErrorRows) {
    const std::string sig_row = "{\"mediaType\":\"" + std::string(kImageType) + "\",\"digest\":\"" + signature_digest_ +
                                "\",\"size\":" + std::to_string(signature_.size()) +
                                ",\"artifactType\":\"application/vnd.example.sig\","
                                "\"annotations\":{\"org.example\":\"yes\"}}";
    const std::string referrers = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) +
                                  "\",\"manifests\":[" + sig_row + "]}\n";
    const std::string no_referrers =
        "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[]}\n";
    const struct {
        const char *method;
        std::string path;
        std::string query;
        int status;
        std::string code; // error code, or "" for success
        std::string body; // exact body of a success ("*" to skip)
    } rows[] = {
        {"GET", "/v2/", "", 200, "", "{}\n"},
        {"GET", "/v2", "", 200, "", "{}\n"},
        {"GET", "/v2/_catalog", "", 200, "", "{\"repositories\":[\"library/ubuntu\",\"team/manifests/app\"]}\n"},
        {"GET", "/v2/library/ubuntu/tags/list", "", 200, "", "{\"name\":\"library/ubuntu\",\"tags\":[\"latest\",\"v1\"]}\n"},
        {"GET", "/v2/team/manifests/app/tags/list", "", 200, "", "{\"name\":\"team/manifests/app\",\"tags\":[\"multi\"]}\n"},
        {"GET", "/v2/nothing/here/tags/list", "", 404, "NAME_UNKNOWN", ""},
        {"GET", "/v2/Bad..name/tags/list", "", 400, "NAME_INVALID", ""},
        {"GET", "/v2/library/ubuntu/manifests/latest", "", 200, "", image_},
        {"GET", "/v2/library/ubuntu/manifests/" + image_digest_, "", 200, "", image_},
        {"GET", "/v2/team/manifests/app/manifests/multi", "", 200, "", index_},
        {"GET", "/v2/library/ubuntu/manifests/nope", "", 404, "MANIFEST_UNKNOWN", ""},
        {"GET", "/v2/library/ubuntu/manifests/" + std::string(kZeroDigest), "", 404, "MANIFEST_UNKNOWN", ""},
        {"GET", "/v2/library/debian/manifests/latest", "", 404, "NAME_UNKNOWN", ""},
        // A reference that can name nothing stored is a manifest not found.
        {"GET", "/v2/library/ubuntu/manifests/sha256:totallywrong", "", 404, "MANIFEST_UNKNOWN", ""},
        {"GET", "/v2/library/ubuntu/manifests/" + std::string(129, 't'), "", 404, "MANIFEST_UNKNOWN", ""},
        {"GET", "/v2/library/ubuntu/manifests/.INVALID_MANIFEST_NAME", "", 404, "MANIFEST_UNKNOWN", ""},
        {"GET", "/v2/a//b/manifests/latest", "", 400, "NAME_INVALID", ""},
        {"GET", "/v2/library/ubuntu/blobs/" + layer_, "", 200, "", ""},
        {"GET", "/v2/library/ubuntu/blobs/" + std::string(kZeroDigest), "", 404, "BLOB_UNKNOWN", ""},
        {"GET", "/v2/library/ubuntu/blobs/sha512:abcd", "", 400, "DIGEST_INVALID", ""},
        {"GET", "/v2/library/ubuntu/blobs/sha256:ABCD", "", 400, "DIGEST_INVALID", ""},
        {"GET", "/v2/library/ubuntu/referrers/" + image_digest_, "", 200, "", referrers},
        {"GET", "/v2/library/ubuntu/referrers/" + image_digest_, "artifactType=application%2Fvnd.example.sig", 200,
         "", referrers},
        {"GET", "/v2/library/ubuntu/referrers/" + image_digest_, "artifactType=other", 200, "", no_referrers},
        {"GET", "/v2/library/ubuntu/referrers/" + std::string(kZeroDigest), "", 200, "", no_referrers},
        {"GET", "/v2/unknown/repo/referrers/" + std::string(kZeroDigest), "", 200, "", no_referrers},
        {"GET", "/v2/library/ubuntu/referrers/sha256:short", "", 400, "DIGEST_INVALID", ""},
        {"GET", "/v2/library/ubuntu", "", 405, "UNSUPPORTED", ""},
        {"PUT", "/v2/_catalog", "", 405, "UNSUPPORTED", ""},
        {"POST", "/v2/", "", 405, "UNSUPPORTED", ""},
        {"DELETE", "/v2/library/ubuntu/tags/list", "", 405, "UNSUPPORTED", ""},
        {"GET", "/v3/", "", 404, "UNSUPPORTED", ""},
        {"GET", "/v2/_admin/nothing", "", 404, "UNSUPPORTED", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.path + "?" + row.query);
        http_response resp = call(row.method, row.path, row.query);
        EXPECT_EQ(row.status, resp.status) << resp.body;
        if (!row.code.empty()) {
            EXPECT_EQ(row.code, code_of(resp));
            EXPECT_EQ("application/json; charset=utf-8", resp.content_type);
        } else if (row.body != "*" && resp.sendfile.empty()) {
            EXPECT_EQ(row.body, resp.body);
        }
    }
}

TEST_F(FrontRead, ManifestAnswersCarryTypeDigestAndTheWholeBody) {
    http_response resp = call("GET", "/v2/team/manifests/app/manifests/multi");
    EXPECT_EQ(kIndexType, resp.content_type);
    EXPECT_EQ(index_digest_, header(resp, "Docker-Content-Digest"));
    // HEAD is answered as GET; the writer leaves the body out.
    http_response head = call("HEAD", "/v2/team/manifests/app/manifests/multi");
    EXPECT_EQ(200, head.status);
    EXPECT_EQ(resp.body, head.body);
    EXPECT_EQ(resp.headers, head.headers);

    // Bodies larger than the engine's result buffer come back whole.
    std::string big = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kImageType) +
                      "\",\"config\":" + descriptor("application/vnd.oci.image.config.v1+json", config_, 24) +
                      ",\"layers\":[],\"annotations\":{\"pad\":\"" + std::string(3 << 20, 'x') + "\"}}";
    std::string digest = store_manifest("big", "latest", big, kImageType);
    http_response whole = call("GET", "/v2/big/manifests/" + digest);
    EXPECT_EQ(200, whole.status);
    EXPECT_EQ(big.size(), whole.body.size());
    EXPECT_TRUE(whole.body == big);
}

// A manifest answer tells when its reference was stored: a tag by its own
// link's last write (two tags of one manifest differ), a digest by the body's,
// as an HTTP date; an error answer tells no time.
TEST_F(FrontRead, ManifestAnswersSayWhenTheReferenceWasStored) {
    const std::string dir = root_ + "/repositories/library/ubuntu/_manifests/";
    const std::pair<std::string, time_t> dated[] = {
        {dir + "tags/latest/current/link", 784111777},
        {dir + "tags/v1/current/link", 1709164800},
        {dir + image_digest_.substr(7), 4102444800},
    };
    for (const auto &[file, when] : dated) {
        const timeval times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(0, utimes(file.c_str(), times)) << file;
    }
    const struct {
        const char *method;
        std::string reference;
        std::string date;
    } rows[] = {
        {"GET", "latest", "Sun, 06 Nov 1994 08:49:37 GMT"},
        {"HEAD", "latest", "Sun, 06 Nov 1994 08:49:37 GMT"},
        {"GET", "v1", "Thu, 29 Feb 2024 00:00:00 GMT"},
        {"GET", image_digest_, "Fri, 01 Jan 2100 00:00:00 GMT"},
        {"HEAD", image_digest_, "Fri, 01 Jan 2100 00:00:00 GMT"},
        {"GET", "nope", "<none>"},
        {"GET", std::string(kZeroDigest), "<none>"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.reference);
        http_response resp = call(row.method, "/v2/library/ubuntu/manifests/" + row.reference);
        EXPECT_EQ(row.date, header(resp, "Last-Modified"));
    }
}

TEST_F(FrontRead, BlobsAreNamedForTheWebServerToSend) {
    http_response resp = call("GET", "/v2/library/ubuntu/blobs/" + layer_);
    EXPECT_EQ(200, resp.status);
    EXPECT_EQ("application/octet-stream", resp.content_type);
    EXPECT_EQ(layer_, header(resp, "Docker-Content-Digest"));
    EXPECT_EQ(11, resp.sendfile_size);
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath((root_ + "/blobs/sha256/" + layer_.substr(7, 2) + "/" + layer_.substr(7)).c_str(), real));
    EXPECT_EQ(real, resp.sendfile);
    EXPECT_EQ('/', resp.sendfile[0]);
    EXPECT_TRUE(resp.body.empty());
    EXPECT_EQ(resp.sendfile, call("HEAD", "/v2/library/ubuntu/blobs/" + layer_).sendfile);
}

// What one request of each small read route costs in calls to the file
// system once the process has answered a first one: the settings file and
// the password file are looked at once each and not read, a blob is found by
// one look, a manifest and a tag list take only their own files. The bounds
// are counts, so a call added to any of these paths shows here.
TEST_F(FrontRead, ASmallReadMakesABoundedNumberOfFileSystemCalls) {
    int64_t settle = file_snapshot::set_settle_ns(0); // trust an unchanged look at once
    testutil::write_all(tmp_ / "config.json", "{\"registry_auth_user\": \"alice\", \"registry_auth_sha256\": \"" +
                                                  testutil::sha256_hex("pw") + "\"}");
    const std::string good = "Basic YWxpY2U6cHc="; // alice:pw
    struct Row {
        const char *method;
        std::string path;
        uint64_t calls; // at most, of every kind together
        uint64_t stats; // at most
    };
    const Row rows[] = {
        {"HEAD", "/v2/library/ubuntu/blobs/" + layer_, 3, 3},
        {"GET", "/v2/library/ubuntu/blobs/" + layer_, 3, 3},
        {"GET", "/v2/", 2, 2},
        {"GET", "/v2/library/ubuntu/manifests/latest", kManifestByTagCalls, kManifestByTagStats},
        {"GET", "/v2/library/ubuntu/manifests/" + image_digest_, kManifestByDigestCalls, kManifestByDigestStats},
        {"GET", "/v2/library/ubuntu/tags/list", kTagsCalls, kTagsStats},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.path);
        ASSERT_EQ(200, call(row.method, row.path, "", good).status);
        uint64_t reads = file_snapshot::reads();
        plat_op_counts_reset();
        settings_hold(1);
        http_response resp = call(row.method, row.path, "", good);
        settings_hold(0);
        uint64_t calls = 0;
        for (int op = 0; op < PLAT_OP_COUNT; ++op)
            calls += plat_op_count(static_cast<plat_op>(op));
        EXPECT_EQ(200, resp.status);
        EXPECT_EQ(reads, file_snapshot::reads()) << "settings or password file read again";
        EXPECT_LE(plat_op_count(PLAT_OP_STAT), row.stats);
        EXPECT_LE(calls, row.calls);
    }
    file_snapshot::set_settle_ns(settle);
}

TEST_F(FrontRead, FiltersAreAnnouncedOnlyWhenApplied) {
    std::string path = "/v2/library/ubuntu/referrers/" + image_digest_;
    EXPECT_EQ("artifactType", header(call("GET", path, "artifactType=x"), "OCI-Filters-Applied"));
    EXPECT_EQ("<none>", header(call("GET", path), "OCI-Filters-Applied"));
    EXPECT_EQ(kIndexType, call("GET", path).content_type);
}

TEST_F(FrontRead, DeletingARepositoryThroughTheFrontDoor) {
    http_response first = call("DELETE", "/v2/library/ubuntu");
    EXPECT_EQ(202, first.status);
    EXPECT_EQ("", first.body);
    EXPECT_FALSE(testutil::exists(root_ + "/repositories/library/ubuntu"));
    http_response again = call("DELETE", "/v2/library/ubuntu");
    EXPECT_EQ(404, again.status);
    EXPECT_EQ("NAME_UNKNOWN", code_of(again));
    EXPECT_EQ(404, call("DELETE", "/v2/a/../b").status);
}

TEST_F(FrontRead, RepositoryDeletionFailingOnTheFileSystemIsAServerError) {
    // The rename that takes the repository out fails: the repository stays
    // whole and the client is told it was not the request's fault.
    plat_fault_inject(PLAT_OP_RENAME, 1);
    http_response resp = call("DELETE", "/v2/library/ubuntu");
    EXPECT_EQ(500, resp.status) << resp.body;
    EXPECT_EQ("UNKNOWN", code_of(resp));
}

TEST_F(FrontRead, PagesWalkTagsAndCatalogWithLinks) {
    for (const char *tag : {"a", "b", "c", "d", "e"})
        store_manifest("paged", tag, image_, kImageType);
    const struct {
        std::string query;
        std::string tags;
        std::string link;
    } rows[] = {
        {"n=0", "[]", "<none>"},
        {"n=1", "[\"a\"]", "</v2/paged/tags/list?n=1&last=a>; rel=\"next\""},
        {"n=2&last=a", "[\"b\",\"c\"]", "</v2/paged/tags/list?n=2&last=c>; rel=\"next\""},
        {"n=2&last=bb", "[\"c\",\"d\"]", "</v2/paged/tags/list?n=2&last=d>; rel=\"next\""},
        {"n=2&last=d", "[\"e\"]", "<none>"},
        {"n=5", "[\"a\",\"b\",\"c\",\"d\",\"e\"]", "<none>"},
        {"last=e", "[]", "<none>"},
        {"last=zzz", "[]", "<none>"},
        {"n=99999999999", "[\"a\",\"b\",\"c\",\"d\",\"e\"]", "<none>"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.query);
        http_response resp = call("GET", "/v2/paged/tags/list", row.query);
        EXPECT_EQ(200, resp.status);
        EXPECT_EQ("{\"name\":\"paged\",\"tags\":" + row.tags + "}\n", resp.body);
        EXPECT_EQ(row.link, header(resp, "Link"));
    }
    http_response page = call("GET", "/v2/_catalog", "n=1&last=library%2Fubuntu");
    EXPECT_EQ("{\"repositories\":[\"paged\"]}\n", page.body);
    EXPECT_EQ("</v2/_catalog?n=1&last=paged>; rel=\"next\"", header(page, "Link"));
    EXPECT_EQ("{\"repositories\":[]}\n", call("GET", "/v2/_catalog", "n=0").body);
}

TEST_F(FrontRead, BadPagingInputIsAClientError) {
    for (const char *query : {"n=-1", "n=abc", "n=", "n=1e3", "last=%zz", "n=%", "n=1%"}) {
        SCOPED_TRACE(query);
        EXPECT_EQ(400, call("GET", "/v2/library/ubuntu/tags/list", query).status);
        EXPECT_EQ(400, call("GET", "/v2/_catalog", query).status);
    }
    EXPECT_EQ(400, call("GET", "/v2/_catalog", "last=" + std::string(600, 'a')).status);
}

TEST_F(FrontRead, MoreTagsThanOnePageAreAllReachable) {
    std::vector<std::string> want;
    for (int i = 0; i < 1100; ++i) {
        char tag[16];
        snprintf(tag, sizeof tag, "t%04d", i);
        want.push_back(tag);
        // Written as the engine writes a tag link; storing 1100 manifests would only be slower.
        testutil::write_all(root_ + "/repositories/many/_manifests/tags/" + tag + "/current/link", image_digest_);
    }
    std::vector<std::string> seen;
    std::string query;
    for (int pages = 0; pages < 10; ++pages) {
        http_response resp = call("GET", "/v2/many/tags/list", query);
        ASSERT_EQ(200, resp.status);
        std::string list = resp.body.substr(resp.body.find('['));
        for (size_t at = list.find("\"t"); at != std::string::npos; at = list.find("\"t", at + 1))
            seen.push_back(list.substr(at + 1, 5));
        std::string link = header(resp, "Link");
        if (link == "<none>") break;
        query = link.substr(link.find('?') + 1, link.find('>') - link.find('?') - 1);
    }
    EXPECT_EQ(want, seen);
}

TEST_F(FrontRead, EveryRouteRefusesMissingOrWrongCredentials) {
    std::string password = "pw";
    testutil::write_all(tmp_ / "config.json",
                        "{\"registry_auth_user\": \"alice\", \"registry_auth_sha256\": \"" +
                            testutil::sha256_hex(password) + "\"}");
    const std::string good = "Basic YWxpY2U6cHc="; // alice:pw
    const std::string wrong = "Basic YWxpY2U6eHg="; // alice:xx
    const std::pair<const char *, std::string> routes[] = {
        {"GET", "/v2/"},
        {"GET", "/v2/_catalog"},
        {"GET", "/v2/library/ubuntu/tags/list"},
        {"GET", "/v2/library/ubuntu/manifests/latest"},
        {"HEAD", "/v2/library/ubuntu/manifests/latest"},
        {"GET", "/v2/library/ubuntu/blobs/" + layer_},
        {"GET", "/v2/library/ubuntu/referrers/" + image_digest_},
        {"DELETE", "/v2/library/ubuntu"},
        {"GET", "/v2/no/such/route/x/y"},
        {"GET", "/elsewhere"},
    };
    for (const auto &[method, path] : routes) {
        SCOPED_TRACE(std::string(method) + " " + path);
        for (const std::string &auth : {std::string(), wrong}) {
            http_response resp = call(method, path, "", auth);
            EXPECT_EQ(401, resp.status);
            EXPECT_EQ("Basic realm=\"Tessellane\"", header(resp, "WWW-Authenticate"));
            EXPECT_EQ("UNAUTHORIZED", code_of(resp));
        }
        EXPECT_TRUE(testutil::exists(root_ + "/repositories/library/ubuntu"));
    }
    http_response ok = call("GET", "/v2/library/ubuntu/manifests/latest", "", good);
    EXPECT_EQ(200, ok.status);
    EXPECT_EQ("alice", ok.actor);
    EXPECT_EQ(202, call("DELETE", "/v2/library/ubuntu", "", good).status);
}

} // namespace
