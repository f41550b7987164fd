// Tests for storing manifests: reference checks, index and image manifests, content-type choice, files written.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/json_doc.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::sha256_digest;
using testutil::sha256_hex;
using testutil::snapshot;

const std::string kDefaultType = "application/vnd.docker.distribution.manifest.v2+json";
const std::string kOciManifest = "application/vnd.oci.image.manifest.v1+json";
const std::string kOciIndex = "application/vnd.oci.image.index.v1+json";
const std::string kNotStarted = "not initialized - call reg_storage_init first";
const std::string kUntouched = "untouched";

std::string last_error() { return reg_storage_last_error(); }

std::string quoted(const std::string &text) { return "\"" + text + "\""; }

std::string image_body(const std::string &config, const std::vector<std::string> &layers, bool with_layers = true,
                       const std::string &extra = "") {
    std::string body = "{\"schemaVersion\":2," + extra +
                       "\"config\":{\"mediaType\":\"c\",\"digest\":" + quoted(config) + ",\"size\":1}";
    if (with_layers) {
        body += ",\"layers\":[";
        for (size_t i = 0; i < layers.size(); ++i)
            body += (i ? ",{\"digest\":" : "{\"digest\":") + quoted(layers[i]) + "}";
        body += "]";
    }
    return body + "}";
}

std::string index_body(const std::vector<std::string> &children, const std::string &extra = "") {
    std::string body = "{\"schemaVersion\":2," + extra + "\"manifests\":[";
    for (size_t i = 0; i < children.size(); ++i)
        body += (i ? "," : "") + std::string("{\"mediaType\":\"m\",\"digest\":") + quoted(children[i]) + "}";
    return body + "]}";
}

class ManifestStoreTest : public testutil::StorageTest {
protected:
    // A blob placed straight into the blob store.
    std::string add_blob(const std::string &content) {
        std::string digest = sha256_digest(content);
        char path[kPathMax];
        blob_path_for_digest(path, digest.c_str());
        testutil::write_all(path, content);
        return digest;
    }

    std::string manifests(const std::string &repo) const { return root_ + "/repositories/" + repo + "/_manifests"; }
    std::string body_path(const std::string &repo, const std::string &body) const {
        return manifests(repo) + "/" + sha256_hex(body);
    }
    std::string rev_link(const std::string &repo, const std::string &body) const {
        return manifests(repo) + "/revisions/sha256/" + sha256_hex(body) + "/link";
    }
    std::string tag_link(const std::string &repo, const std::string &tag) const {
        return manifests(repo) + "/tags/" + tag + "/current/link";
    }

    int put(const std::string &repo, const std::string &ref, const std::string &body, const char *type = nullptr) {
        char digest[72] = "";
        int rc = reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), type, digest);
        digest_ = digest;
        return rc;
    }

    // The stored manifest's four files, as they must read after a put.
    void expect_stored(const std::string &repo, const std::string &body, const std::string &type) {
        EXPECT_EQ(body, testutil::read_all(body_path(repo, body)));
        EXPECT_EQ(type, testutil::read_all(body_path(repo, body) + ".ct"));
        EXPECT_EQ(sha256_digest(body), testutil::read_all(rev_link(repo, body)));
    }

    std::string digest_;
};

// ---- failures before anything is written ------------------------------------

TEST_F(ManifestStoreTest, RefusedPutsWriteNothingAndLeaveTheDigestAlone) {
    const std::string config = add_blob("config");
    const std::string layer = add_blob("layer");
    const std::string missing = sha256_digest("not stored");
    const std::string blob_only = add_blob("a blob, not a manifest");
    const std::string upper = "sha256:" + std::string(64, 'A');
    const std::string good = image_body(config, {layer});
    ASSERT_EQ(0, put("other", "v1", image_body(config, {})));
    const std::string child = sha256_digest(image_body(config, {}));

    const char *kRepo = "lib/app";
    const std::string long_tag(256, 't');
    struct Row {
        const char *repo;
        const char *ref;
        std::string body;
        bool null_body;
        bool null_digest;
        bool started;
        std::string message;
    };
    const std::vector<Row> rows = {
        // arguments, in the order they are checked
        {nullptr, "v1", good, false, false, true, "NULL argument"},
        {kRepo, nullptr, good, false, false, true, "NULL argument"},
        {kRepo, "v1", good, true, false, true, "NULL argument"},
        {kRepo, "v1", good, false, true, true, "NULL argument"},
        {nullptr, "", good, true, false, false, "NULL argument"},
        {kRepo, "v1", good, false, false, false, kNotStarted},
        {"", "", good, false, false, false, kNotStarted},
        {"", "v1", good, false, false, true, "invalid repository name: "},
        {"a..b", "", good, false, false, true, "invalid repository name: a..b"},
        {"a b", "v1", good, false, false, true, "invalid repository name: a b"},
        {kRepo, "", "", false, false, true, "empty reference"},
        // tags that would name something other than their own tag directory
        {kRepo, "..", good, false, false, true, "invalid tag: .."},
        {kRepo, ".", good, false, false, true, "invalid tag: ."},
        {kRepo, "a/b", good, false, false, true, "invalid tag: a/b"},
        {kRepo, "../../../../x", good, false, false, true, "invalid tag: ../../../../x"},
        {kRepo, "a\\b", good, false, false, true, "invalid tag: a\\b"},
        {kRepo, "\n", good, false, false, true, "invalid tag: \n"},
        {kRepo, "v\x7f", good, false, false, true, "invalid tag: v\x7f"},
        {kRepo, long_tag.c_str(), good, false, false, true, "invalid tag: " + long_tag},
        // tags that are not UTF-8 and so could not be listed in JSON
        {kRepo, "v\xff", good, false, false, true, "invalid tag: v\xff"},
        {kRepo, "v\xc3", good, false, false, true, "invalid tag: v\xc3"},
        {kRepo, "\xa9v", good, false, false, true, "invalid tag: \xa9v"},
        {kRepo, "v\xc0\xaf", good, false, false, true, "invalid tag: v\xc0\xaf"},             // overlong '/'
        {kRepo, "v\xe0\x80\xaf", good, false, false, true, "invalid tag: v\xe0\x80\xaf"},   // overlong '/'
        {kRepo, "v\xed\xa0\x80", good, false, false, true, "invalid tag: v\xed\xa0\x80"},   // surrogate
        {kRepo, "v\xf4\x90\x80\x80", good, false, false, true, "invalid tag: v\xf4\x90\x80\x80"}, // past U+10FFFF
        {kRepo, "v\xe2\x82", good, false, false, true, "invalid tag: v\xe2\x82"},
        // the body
        {kRepo, "v1", "", false, false, true, "manifest JSON parse failed"},
        {kRepo, "v1", "{\"config\":{}, // c\n}", false, false, true, "manifest JSON parse failed"},
        {kRepo, "v1", "{\"a\":1,}", false, false, true, "manifest JSON parse failed"},
        {kRepo, "v1", good + "x", false, false, true, "manifest JSON parse failed"},
        {kRepo, "v1", "[]", false, false, true, "manifest must be a JSON object"},
        {kRepo, "v1", "\"text\"", false, false, true, "manifest must be a JSON object"},
        {kRepo, "v1", "42", false, false, true, "manifest must be a JSON object"},
        // manifest index
        {kRepo, "v1", "{\"manifests\":{}}", false, false, true, "manifest \"manifests\" must be an array"},
        {kRepo, "v1", "{\"manifests\":null}", false, false, true, "manifest \"manifests\" must be an array"},
        {kRepo, "v1", "{\"manifests\":[]}", false, false, true, "manifest index must reference at least 1 manifest"},
        {kRepo, "v1", index_body({upper}), false, false, true, "manifest index entry 0 missing valid digest"},
        {kRepo, "v1", "{\"manifests\":[\"" + child + "\"]}", false, false, true,
         "manifest index entry 0 missing valid digest"},
        {kRepo, "v1", "{\"manifests\":[{\"digest\":7}]}", false, false, true,
         "manifest index entry 0 missing valid digest"},
        {kRepo, "v1", "{\"manifests\":[{\"digest\":\"" + child + "\\u0000\"}]}", false, false, true,
         "manifest index entry 0 missing valid digest"},
        {kRepo, "v1", "{\"manifests\":[{\"digest\":\"" + child + "\"},{}]}", false, false, true,
         "manifest index entry 1 missing valid digest"},
        {kRepo, "v1", index_body({blob_only}), false, false, true, "BLOB_UNKNOWN: " + blob_only},
        {kRepo, "v1", index_body({child, missing}), false, false, true, "BLOB_UNKNOWN: " + missing},
        // image manifest
        {kRepo, "v1", "{}", false, false, true, "manifest missing valid config.digest"},
        {kRepo, "v1", "{\"config\":\"" + config + "\"}", false, false, true, "manifest missing valid config.digest"},
        {kRepo, "v1", "{\"config\":{}}", false, false, true, "manifest missing valid config.digest"},
        {kRepo, "v1", image_body(upper, {}), false, false, true, "manifest missing valid config.digest"},
        {kRepo, "v1", image_body(config + "0", {}), false, false, true, "manifest missing valid config.digest"},
        {kRepo, "v1", image_body(missing, {layer}), false, false, true, "BLOB_UNKNOWN: " + missing},
        {kRepo, "v1", image_body(config, {}, false, "\"layers\":{},"), false, false, true,
         "manifest layers must be an array"},
        {kRepo, "v1",
         "{\"config\":{\"digest\":\"" + config + "\"},\"layers\":[{\"digest\":\"" + layer + "\"},{\"digest\":\"" +
             layer + "\"},{\"size\":3}]}",
         false, false, true, "manifest layer 2 missing valid digest"},
        {kRepo, "v1", image_body(config, {layer, missing, "bad"}), false, false, true, "BLOB_UNKNOWN: " + missing},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE("row " + std::to_string(i) + ": " + row.message);
        if (!row.started) reg_storage_cleanup();
        auto before = snapshot(root_);
        char digest[72];
        strcpy(digest, kUntouched.c_str());
        EXPECT_EQ(-1, reg_manifest_put(row.repo, row.ref, row.null_body ? nullptr : row.body.data(), row.body.size(),
                                       nullptr, row.null_digest ? nullptr : digest));
        EXPECT_EQ(row.message, last_error());
        EXPECT_EQ(kUntouched, digest);
        EXPECT_EQ(before, snapshot(root_));
        if (!row.started) start();
    }
}

// A tag is handed back in the tag list, so any well-formed UTF-8 is taken and
// the list stays valid JSON.
TEST_F(ManifestStoreTest, UnicodeTagsAreStoredAndListed) {
    const std::string body = image_body(add_blob("config"), {});
    const std::vector<std::string> tags = {"v\xc3\xa9", "\xe2\x82\xac" "1", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf",
                                           "\xed\x9f\xbf", "q\"uote"};
    for (const std::string &tag : tags)
        ASSERT_EQ(0, put("lib/app", tag, body)) << tag << ": " << last_error();
    const std::string list = reg_tags_list_json("lib/app");
    json_doc_ptr doc(json_read(list.data(), list.size()));
    ASSERT_NE(nullptr, doc) << list;
    json_val *listed = json_obj_get(json_doc_root(doc.get()), "tags");
    ASSERT_EQ(tags.size(), json_arr_size(listed)) << list;
    std::vector<std::string> got;
    for (size_t i = 0; i < json_arr_size(listed); ++i)
        got.emplace_back(json_get_str(json_arr_get(listed, i)));
    std::vector<std::string> want = tags;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, got);
}

// ---- failures while writing ---------------------------------------------------

TEST_F(ManifestStoreTest, AFailedWriteKeepsWhatCameBeforeItAndALaterPutCompletes) {
    const std::string body = image_body(add_blob("config"), {});
    const std::string hex = sha256_hex(body);
    const std::string rev = "revisions/sha256/" + hex + "/link";
    // The files a put writes, in the order it writes them.
    const std::vector<std::string> files = {hex, hex + ".ct", rev, "tags/v1/current/link"};
    struct Row {
        std::string obstacle; // below the repository's directory
        bool obstacle_is_dir;
        std::string message;
        size_t written; // how many of `files` are there afterwards
    };
    const Row rows[] = {
        {"", false, "mkdirs manifests dir failed", 0},
        {"_manifests/" + hex, true, "write manifest body failed", 0},
        {"_manifests/" + hex + ".ct", true, "write manifest ct failed", 1},
        {"_manifests/revisions", false, "mkdirs revision dir failed", 2},
        {"_manifests/" + rev, true, "write revision link failed", 2},
        {"_manifests/tags", false, "mkdirs tag dir failed", 3},
        {"_manifests/tags/v1/current/link", true, "write tag link failed", 3},
    };
    int n = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.message);
        const std::string repo = "lib/r" + std::to_string(n++);
        const std::string repo_dir = root_ + "/repositories/" + repo;
        const std::string obstacle = row.obstacle.empty() ? repo_dir : repo_dir + "/" + row.obstacle;
        if (row.obstacle_is_dir)
            fs::create_directories(obstacle);
        else
            testutil::write_all(obstacle, "in the way");

        char digest[72];
        strcpy(digest, kUntouched.c_str());
        EXPECT_EQ(-1, reg_manifest_put(repo.c_str(), "v1", body.data(), body.size(), nullptr, digest));
        EXPECT_EQ(row.message, last_error());
        EXPECT_EQ(kUntouched, digest);
        for (size_t i = 0; i < files.size(); ++i)
            EXPECT_EQ(i < row.written, fs::is_regular_file(manifests(repo) + "/" + files[i])) << files[i];

        fs::remove_all(obstacle);
        ASSERT_EQ(0, put(repo, "v1", body)) << last_error();
        expect_stored(repo, body, kDefaultType);
        EXPECT_EQ(sha256_digest(body), testutil::read_all(tag_link(repo, "v1")));
    }
}

// ---- what a successful put stores --------------------------------------------

TEST_F(ManifestStoreTest, ImageManifestsAreStoredByteForByteUnderTheirDigest) {
    const std::string config = add_blob("config");
    const std::string l1 = add_blob("layer one");
    const std::string l2 = add_blob("layer two");
    const std::string padded = "\r\n { \"config\" : {\"digest\":\"" + config + "\"} ,\"mediaType\":7 }\n\t";
    struct Row {
        std::string ref;
        std::string body;
    } rows[] = {
        {"latest", image_body(config, {}, false)},                        // no layers at all
        {"empty-layers", image_body(config, {})},                         // an empty array passes
        {"two", image_body(config, {l1, l2})},                            // every layer present
        {std::string(255, 'v'), padded},                                  // longest tag; odd spacing kept
        {"v1.0_RC-2+build", image_body(config, {l1}, true, "\"a\":{},")}, // unknown members ignored
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.ref);
        ASSERT_EQ(0, put("lib/app", row.ref, row.body)) << last_error();
        EXPECT_EQ(sha256_digest(row.body), digest_);
        expect_stored("lib/app", row.body, kDefaultType);
        EXPECT_EQ(sha256_digest(row.body), testutil::read_all(tag_link("lib/app", row.ref)));
    }
    // Names with '\' separate components on disk too.
    ASSERT_EQ(0, put("lib\\other", "v1", rows[0].body)) << last_error();
    expect_stored("lib/other", rows[0].body, kDefaultType);
}

TEST_F(ManifestStoreTest, ADigestReferenceStoresUnderTheBodysDigestWithoutATag) {
    const std::string body = image_body(add_blob("config"), {});
    for (const std::string &ref :
         {"sha256:" + std::string(64, '0'), std::string("sha256:../../../escape"), sha256_digest(body)}) {
        SCOPED_TRACE(ref);
        ASSERT_EQ(0, put("lib/app", ref, body)) << last_error();
        EXPECT_EQ(sha256_digest(body), digest_);
        expect_stored("lib/app", body, kDefaultType);
        EXPECT_FALSE(fs::exists(manifests("lib/app") + "/tags"));
    }
    EXPECT_FALSE(fs::exists(root_ + "/escape"));
    EXPECT_FALSE(fs::exists(root_ + "/repositories/escape"));
}

TEST_F(ManifestStoreTest, ContentTypeFollowsTheDeclaredTypeUnlessItIsTheDefault) {
    const std::string config = add_blob("config");
    const std::string type255(255, 'x');
    struct Row {
        const char *declared;
        std::string media_member; // JSON member text, inserted as is
        std::string stored;
    } rows[] = {
        {nullptr, "\"mediaType\":\"" + kOciManifest + "\",", kOciManifest},
        {nullptr, "", kDefaultType},
        {"", "\"mediaType\":\"" + kOciManifest + "\",", kOciManifest},
        {"", "", kDefaultType},
        {kDefaultType.c_str(), "\"mediaType\":\"" + kOciManifest + "\",", kOciManifest},
        {kDefaultType.c_str(), "", kDefaultType},
        {kOciManifest.c_str(), "\"mediaType\":\"" + kOciIndex + "\",", kOciManifest},
        {"text/x-own", "", "text/x-own"},
        {nullptr, "\"mediaType\":\"" + type255 + "\",", type255},
        {nullptr, "\"mediaType\":\"" + std::string(256, 'x') + "\",", kDefaultType},
        {nullptr, "\"mediaType\":\"\",", kDefaultType},
        {nullptr, "\"mediaType\":[\"" + kOciManifest + "\"],", kDefaultType},
        {nullptr, "\"mediaType\":\"first\",\"mediaType\":\"second\",", "first"},
    };
    int n = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.stored + " / " + row.media_member);
        const std::string body = image_body(config, {}, true, row.media_member + "\"n\":" + std::to_string(n++) + ",");
        ASSERT_EQ(0, put("lib/app", "v1", body, row.declared)) << last_error();
        EXPECT_EQ(row.stored, testutil::read_all(body_path("lib/app", body) + ".ct"));
    }
}

TEST_F(ManifestStoreTest, PuttingTheSameBytesAgainRewritesTheContentType) {
    const std::string body = image_body(add_blob("config"), {});
    ASSERT_EQ(0, put("lib/app", "v1", body, kOciManifest.c_str()));
    ASSERT_EQ(0, put("lib/app", "v1", body, "text/x-later"));
    expect_stored("lib/app", body, "text/x-later");
}

// A re-put of stored bytes must not truncate and rewrite them: a reader would
// meanwhile see a short body, and a failed write would lose the stored one.
// Files already holding the bytes keep their old modification time; a damaged
// file of the same size is written again.
TEST_F(ManifestStoreTest, PuttingTheSameBytesAgainLeavesStoredFilesAloneAndRepairsDamagedOnes) {
    const std::string body = image_body(add_blob("config"), {});
    ASSERT_EQ(0, put("lib/app", "v1", body));
    const std::vector<std::string> files = {body_path("lib/app", body), body_path("lib/app", body) + ".ct",
                                            rev_link("lib/app", body), tag_link("lib/app", "v1")};
    const auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(24);
    for (const std::string &f : files)
        fs::last_write_time(f, old_time);

    ASSERT_EQ(0, put("lib/app", "v1", body)) << last_error();
    for (const std::string &f : files)
        EXPECT_EQ(old_time, fs::last_write_time(f)) << f;

    std::string damaged(body.size(), 'x');
    testutil::write_all(files[0], damaged);
    testutil::write_all(files[3], std::string(71, '0'));
    ASSERT_EQ(0, put("lib/app", "v1", body)) << last_error();
    expect_stored("lib/app", body, kDefaultType);
    EXPECT_EQ(sha256_digest(body), testutil::read_all(files[3]));
    EXPECT_EQ(old_time, fs::last_write_time(files[1])) << "the untouched content type stays as it was";
}

TEST_F(ManifestStoreTest, ANewManifestUnderATagMovesItAndKeepsTheOldOne) {
    const std::string config = add_blob("config");
    const std::string first = image_body(config, {});
    const std::string second = image_body(config, {add_blob("layer")});
    ASSERT_EQ(0, put("lib/app", "latest", first));
    ASSERT_EQ(0, put("lib/app", "latest", second));
    EXPECT_EQ(sha256_digest(second), testutil::read_all(tag_link("lib/app", "latest")));
    expect_stored("lib/app", first, kDefaultType);
    expect_stored("lib/app", second, kDefaultType);
}

// ---- manifest indexes --------------------------------------------------------

TEST_F(ManifestStoreTest, AnIndexIsStoredWhenEveryChildIsStoredInAnyRepository) {
    const std::string config = add_blob("config");
    const std::string here = image_body(config, {});
    const std::string nested = image_body(config, {add_blob("layer")});
    const std::string elsewhere = image_body(config, {}, false);
    ASSERT_EQ(0, put("lib/app", "amd64", here));
    ASSERT_EQ(0, put("a/b/c", "arm64", nested));                  // a nested repository
    ASSERT_EQ(0, put("zz", sha256_digest(elsewhere), elsewhere)); // stored without a tag

    // "manifests" decides: a missing config blob does not matter then.
    const std::string index = index_body({sha256_digest(here), sha256_digest(nested), sha256_digest(elsewhere)},
                                         "\"mediaType\":\"" + kOciIndex + "\",\"config\":{\"digest\":\"" +
                                             sha256_digest("no such blob") + "\"},");
    ASSERT_EQ(0, put("lib/app", "multi", index)) << last_error();
    EXPECT_EQ(sha256_digest(index), digest_);
    expect_stored("lib/app", index, kOciIndex);
    EXPECT_EQ(sha256_digest(index), testutil::read_all(tag_link("lib/app", "multi")));
}

} // namespace
