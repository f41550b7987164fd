// Tests for the engine's one walk of the repository tree and its one rule for
// what a manifest names: every answer that lists repositories sees the same
// ones at any depth a name allows, and every reader of a manifest agrees on
// what it names.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "front/http.h"
#include "platform/json_doc.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/fixtures.h"
#include "tests/front_call.h"
#include "tests/test_util.h"

namespace {

using testutil::sha256_digest;
using testutil::store_blob;

constexpr char kImageType[] = "application/vnd.oci.image.manifest.v1+json";

std::string descriptor(const std::string &digest, size_t size) {
    return "{\"mediaType\":\"application/octet-stream\",\"digest\":\"" + digest +
           "\",\"size\":" + std::to_string(size) + "}";
}

// "d1/d2/.../dN"
std::string nested_name(int components) {
    std::string name;
    for (int i = 1; i <= components; ++i)
        name += (i > 1 ? "/d" : "d") + std::to_string(i);
    return name;
}

// ---- repositories at any depth ---------------------------------------------------------

class DeepRepositories : public testutil::StorageTest {
protected:
    void SetUp() override {
        env_.set("REGISTRY_STORAGE_ROOT", root_);
        StorageTest::SetUp();
        std::string config = store_blob("{}");
        std::string image = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kImageType) +
                            "\",\"config\":" + descriptor(config, 2) + ",\"layers\":[]}";
        // One-character components reach the deepest a name allows: 128 of them.
        std::string deepest = "x";
        for (int i = 1; i < 128; ++i)
            deepest += "/x";
        names_ = {"top", nested_name(9), nested_name(10), nested_name(11), deepest};
        for (const std::string &name : names_)
            for (const char *tag : {"v1", "v2"}) {
                char digest[72];
                ASSERT_EQ(0, reg_manifest_put(name.c_str(), tag, image.data(), image.size(), kImageType, digest))
                    << name << ": " << reg_storage_last_error();
            }
        std::sort(names_.begin(), names_.end());
    }

    std::string catalog_text() const {
        std::string json = "{\"repositories\":[";
        for (size_t i = 0; i < names_.size(); ++i)
            json += (i ? ",\"" : "\"") + names_[i] + "\"";
        return json + "]}";
    }

    testutil::EnvGuard env_{{"REGISTRY_STORAGE_ROOT"}};
    std::vector<std::string> names_; // sorted
};

TEST_F(DeepRepositories, TheCatalogListsEveryDepthInOrder) {
    const char *json = reg_catalog_json(0, nullptr);
    ASSERT_NE(nullptr, json) << reg_storage_last_error();
    EXPECT_EQ(catalog_text(), json);
}

TEST_F(DeepRepositories, TheCatalogRouteOfTheWebPageListsEveryDepth) {
    http_response resp = testutil::front_call("GET", "/v2/_catalog", "n=100");
    EXPECT_EQ(200, resp.status);
    EXPECT_EQ(catalog_text() + "\n", resp.body);
}

TEST_F(DeepRepositories, StatisticsCountEveryDepth) {
    const char *json = reg_storage_get_stats_json();
    ASSERT_NE(nullptr, json) << reg_storage_last_error();
    EXPECT_NE(std::string::npos, std::string(json).find("\"repositories\":5,")) << json;
    EXPECT_NE(std::string::npos, std::string(json).find("\"tags\":10,")) << json;
}

// Keeping one tag of two selects exactly one in each repository, the deepest too.
TEST_F(DeepRepositories, RetentionReachesEveryDepth) {
    int cut = -1;
    const char *json = reg_retention_json(1, 1, 0, 1, &cut);
    ASSERT_NE(nullptr, json) << reg_storage_last_error();
    std::string text = json;
    EXPECT_NE(std::string::npos, text.find("\"repos_scanned\":5,")) << text;
    for (const std::string &name : names_) {
        std::string element = "{\"repository\":\"" + name + "\",";
        size_t first = text.find(element);
        EXPECT_NE(std::string::npos, first) << name;
        EXPECT_EQ(std::string::npos, text.find(element, first + 1)) << name;
    }
    EXPECT_EQ(0, cut);
}

// The administration's list walked deep trees before; it still agrees with the catalog.
TEST_F(DeepRepositories, TheAdministrationListAgrees) {
    const char *repos = reg_repos_json();
    ASSERT_NE(nullptr, repos) << reg_storage_last_error();
    std::string text = repos;
    for (const std::string &name : names_)
        EXPECT_NE(std::string::npos, text.find("\"" + name + "\"")) << name;
}

// ---- what a manifest names ---------------------------------------------------------------

std::string digest_of(char c) { return "sha256:" + std::string(64, c); }

struct ref_row {
    const char *what;
    std::string body;
    bool is_index;
    // role letter (c config, l layer, m child, s subject), index, digest ("" for none)
    std::vector<std::string> refs;
};

std::string describe(const manifest_ref &ref) {
    const char role = ref.role == ref_role::config  ? 'c'
                      : ref.role == ref_role::layer ? 'l'
                      : ref.role == ref_role::child ? 'm'
                                                    : 's';
    return std::string(1, role) + std::to_string(ref.index) + " " + (ref.digest ? ref.digest : "");
}

TEST(ManifestReferences, OneRuleForEveryKindOfManifest) {
    const std::string a = digest_of('a'), b = digest_of('b'), c = digest_of('c'), d = digest_of('d');
    const std::string da = descriptor(a, 1), db = descriptor(b, 1), dc = descriptor(c, 1), dd = descriptor(d, 1);
    const std::vector<ref_row> rows = {
        {"image manifest",
         "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"config\":" + da +
             ",\"layers\":[" + db + "," + dc + "]}",
         false,
         {"c0 " + a, "l0 " + b, "l1 " + c}},
        {"schema 2 manifest",
         "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.docker.distribution.manifest.v2+json\",\"config\":" +
             da + ",\"layers\":[" + db + "]}",
         false,
         {"c0 " + a, "l0 " + b}},
        {"index",
         "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[" + da + "," +
             db + "]}",
         true,
         {"m0 " + a, "m1 " + b}},
        {"image with subject",
         "{\"config\":" + da + ",\"layers\":[" + db + "],\"subject\":" + dd + "}",
         false,
         {"c0 " + a, "l0 " + b, "s0 " + d}},
        {"index with subject", "{\"manifests\":[" + da + "],\"subject\":" + dd + "}", true, {"m0 " + a, "s0 " + d}},
        // Members of other names are no references, whatever they hold.
        {"unknown members",
         "{\"config\":" + da + ",\"layers\":[],\"blobs\":[" + db + "],\"annotations\":{\"x\":" + dc +
             "},\"fsLayers\":[{\"blobSum\":\"" + d + "\"}]}",
         false,
         {"c0 " + a}},
        // A descriptor without a valid digest is still reported, so a store can refuse it.
        {"broken descriptors",
         "{\"config\":{\"digest\":\"sha256:short\"},\"layers\":[" + db + ",7,{\"digest\":\"" + a + "x\"}]}",
         false,
         {"c0 ", "l0 " + b, "l1 ", "l2 "}},
        {"layers not a list", "{\"config\":" + da + ",\"layers\":" + db + "}", false, {"c0 " + a}},
        {"empty index", "{\"manifests\":[]}", true, {}},
        {"not an object", "[" + da + "]", false, {}},
    };
    for (const ref_row &row : rows) {
        SCOPED_TRACE(row.what);
        json_doc_ptr doc(json_read(row.body.data(), row.body.size()));
        ASSERT_TRUE(doc);
        manifest_refs refs = manifest_references(json_doc_root(doc.get()));
        EXPECT_EQ(row.is_index, refs.is_index);
        std::vector<std::string> got;
        for (const manifest_ref &ref : refs.refs)
            got.push_back(describe(ref));
        EXPECT_EQ(row.refs, got);
        // What keeps an object stored: every valid config, layer and child digest, never a subject.
        for (const std::string &digest : {a, b, c, d}) {
            bool kept = false;
            for (const std::string &r : row.refs)
                kept |= r[0] != 's' && r.size() > 3 && r.substr(r.find(' ') + 1) == digest;
            EXPECT_EQ(kept, refs.keeps(digest.c_str())) << digest;
        }
    }
}

} // namespace
