// Tests for finding, reading and deleting stored manifests by tag or digest.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

// Root cannot be kept out of a directory by its permissions; this stand-in
// lets a test make one chosen directory fail to open, as an I/O error would.
static const char *g_refuse_opendir = nullptr;

extern "C" DIR *opendir(const char *name) {
    using opendir_fn = DIR *(*)(const char *);
    static opendir_fn real = reinterpret_cast<opendir_fn>(dlsym(RTLD_NEXT, "opendir"));
    if (g_refuse_opendir && strcmp(name, g_refuse_opendir) == 0) {
        errno = EIO;
        return nullptr;
    }
    return real(name);
}

namespace {

namespace fs = std::filesystem;
using testutil::sha256_digest;
using testutil::sha256_hex;
using testutil::snapshot;

const std::string kDefaultType = "application/vnd.docker.distribution.manifest.v2+json";
const std::string kOciManifest = "application/vnd.oci.image.manifest.v1+json";
const std::string kNotStarted = "not initialized - call reg_storage_init first";
const std::string kUntouched = "untouched";
constexpr size_t kBodyMax = 1048575;

std::string last_error() { return reg_storage_last_error(); }

// Manifests are laid out on disk directly, so these tests do not depend on the store.
class ManifestLookupTest : public testutil::StorageTest {
protected:
    void TearDown() override {
        g_refuse_opendir = nullptr;
        StorageTest::TearDown();
    }

    std::string manifests(const std::string &repo = "lib/app") const {
        return root_ + "/repositories/" + repo + "/_manifests";
    }
    std::string body_path(const std::string &body, const std::string &repo = "lib/app") const {
        return manifests(repo) + "/" + sha256_hex(body);
    }
    std::string rev_dir(const std::string &body, const std::string &repo = "lib/app") const {
        return manifests(repo) + "/revisions/sha256/" + sha256_hex(body);
    }
    std::string tags_dir(const std::string &repo = "lib/app") const { return manifests(repo) + "/tags"; }
    std::string tag_link(const std::string &tag, const std::string &repo = "lib/app") const {
        return tags_dir(repo) + "/" + tag + "/current/link";
    }

    // A manifest's body, content type and revision link as the store leaves them.
    std::string plant(const std::string &body, const std::string &repo = "lib/app",
                      const std::string &type = kOciManifest) {
        testutil::write_all(body_path(body, repo), body);
        testutil::write_all(body_path(body, repo) + ".ct", type);
        testutil::write_all(rev_dir(body, repo) + "/link", sha256_digest(body));
        return sha256_digest(body);
    }
    void tag(const std::string &name, const std::string &link, const std::string &repo = "lib/app") {
        testutil::write_all(tag_link(name, repo), link);
    }

    bool manifest_files_present(const std::string &body) const {
        return fs::is_regular_file(body_path(body)) && fs::is_regular_file(body_path(body) + ".ct") &&
               fs::is_regular_file(rev_dir(body) + "/link");
    }
    bool manifest_files_absent(const std::string &body) const {
        return !fs::exists(body_path(body)) && !fs::exists(body_path(body) + ".ct") &&
               !fs::exists(rev_dir(body) + "/link");
    }

    struct Got {
        const char *body;
        std::string type;
        std::string digest;
    };
    Got get(const std::string &ref, const std::string &repo = "lib/app") {
        char type[127];
        char digest[72];
        const char *body = reg_manifest_get(repo.c_str(), ref.c_str(), type, digest);
        return body ? Got{body, type, digest} : Got{nullptr, "", ""};
    }
};

// Texts that are not a tag directory's name, each with a file planted where
// that name would lead, so a lookup that follows it would find something.
struct EscapingTag {
    std::string tag;
    std::string trap; // below the manifests directory; empty: none can be made
};
const EscapingTag kEscapingTags[] = {
    {"..", "current/link"},     // tags/../current/link
    {".", "tags/current/link"}, // tags/./current/link
    {"a/b", "tags/a/b/current/link"},
    {"../../../other/_manifests/tags/v1", "../../other/_manifests/tags/v1/current/link"},
    {"a\\b", "tags/a\\b/current/link"},
    {"\n", "tags/\n/current/link"},
    {std::string(256, 't'), ""}, // longer than any directory name
};

// ---- get ------------------------------------------------------------------------

TEST_F(ManifestLookupTest, RefusedGetsReportWhyAndLeaveTheOutputsAlone) {
    const std::string body = "{\"schemaVersion\":2}";
    const std::string digest = plant(body);
    tag("v1", digest);
    const std::string rev_only = "{\"rev\":\"only\"}";
    testutil::write_all(rev_dir(rev_only) + "/link", sha256_digest(rev_only));
    tag("nl", digest + "\n");
    tag("crlf", digest + "\r\n");
    tag("upper", "sha256:" + std::string(64, 'A'));
    tag("short", digest.substr(0, 70));
    tag("nul", digest + std::string(1, '\0') + "x");
    tag("empty", "");
    fs::create_directories(tags_dir() + "/nolink/current");
    for (const EscapingTag &e : kEscapingTags)
        if (!e.trap.empty()) testutil::write_all(manifests() + "/" + e.trap, digest);

    struct Row {
        const char *repo;
        std::string ref;
        bool null_ref, null_type, null_digest, started;
        std::string message;
    };
    std::vector<Row> rows = {
        {nullptr, "v1", false, false, false, true, "NULL argument"},
        {"lib/app", "v1", true, false, false, true, "NULL argument"},
        {"lib/app", "v1", false, true, false, true, "NULL argument"},
        {"lib/app", "v1", false, false, true, true, "NULL argument"},
        {"lib/app", "v1", false, false, false, false, kNotStarted},
        {"", "v1", false, false, false, true, "invalid repository name"},
        {"lib/../x", "v1", false, false, false, true, "invalid repository name"},
        {"lib/app", "sha256:" + std::string(64, 'A'), false, false, false, true, "invalid digest reference"},
        {"lib/app", digest.substr(0, 70), false, false, false, true, "invalid digest reference"},
        {"lib/app", digest + "0", false, false, false, true, "invalid digest reference"},
        {"lib/app", "sha256:", false, false, false, true, "invalid digest reference"},
        {"lib/app", sha256_digest("nothing"), false, false, false, true,
         "manifest not found: lib/app@" + sha256_digest("nothing")},
        {"lib/other", digest, false, false, false, true, "manifest not found: lib/other@" + digest},
        {"lib/app", "v2", false, false, false, true, "tag not found: lib/app:v2"},
        {"lib/app", "nolink", false, false, false, true, "tag not found: lib/app:nolink"},
        {"lib/none", "v1", false, false, false, true, "tag not found: lib/none:v1"},
        {"lib/app", "", false, false, false, true, "invalid tag: "},
        {"lib/app", "nl", false, false, false, true, "corrupt tag link: lib/app:nl"},
        {"lib/app", "crlf", false, false, false, true, "corrupt tag link: lib/app:crlf"},
        {"lib/app", "upper", false, false, false, true, "corrupt tag link: lib/app:upper"},
        {"lib/app", "short", false, false, false, true, "corrupt tag link: lib/app:short"},
        {"lib/app", "nul", false, false, false, true, "corrupt tag link: lib/app:nul"},
        {"lib/app", "empty", false, false, false, true, "corrupt tag link: lib/app:empty"},
        {"lib/app", sha256_digest(rev_only), false, false, false, true,
         "manifest body not found: lib/app@" + sha256_digest(rev_only)},
    };
    for (const EscapingTag &e : kEscapingTags)
        rows.push_back({"lib/app", e.tag, false, false, false, true, "invalid tag: " + e.tag});

    for (const Row &row : rows) {
        SCOPED_TRACE(row.message);
        if (!row.started) reg_storage_cleanup();
        auto before = snapshot(root_);
        char type[127], out_digest[72];
        strcpy(type, kUntouched.c_str());
        strcpy(out_digest, kUntouched.c_str());
        EXPECT_EQ(nullptr, reg_manifest_get(row.repo, row.null_ref ? nullptr : row.ref.c_str(),
                                            row.null_type ? nullptr : type, row.null_digest ? nullptr : out_digest));
        EXPECT_EQ(row.message, last_error());
        EXPECT_EQ(kUntouched, type);
        EXPECT_EQ(kUntouched, out_digest);
        EXPECT_EQ(before, snapshot(root_));
        if (!row.started) start();
    }
}

TEST_F(ManifestLookupTest, GetReturnsBodyTypeAndDigest) {
    const std::string type200(200, 'y');
    struct Row {
        std::string name;
        std::string body;
        const char *type; // null: no content-type file
        std::string expected_type;
        bool keep_rev_link;
    } rows[] = {
        {"typed", "{\"a\":1}", kOciManifest.c_str(), kOciManifest, true},
        {"no-ct", "{\"a\":2}", nullptr, kDefaultType, true},
        {"empty-ct", "{\"a\":3}", "", kDefaultType, true},
        {"nul-ct", "{\"a\":4}", "\0rest", kDefaultType, true},
        {"long-ct", "{\"a\":5}", type200.c_str(), type200.substr(0, 126), true},
        {"spaced-ct", "{\"a\":6}", " text/x \n", " text/x \n", true},
        {"body-only", "{\"a\":7}", kOciManifest.c_str(), kOciManifest, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string digest = plant(row.body);
        if (!row.type)
            fs::remove(body_path(row.body) + ".ct");
        else if (row.name == "nul-ct")
            testutil::write_all(body_path(row.body) + ".ct", std::string(row.type, 5));
        else
            testutil::write_all(body_path(row.body) + ".ct", row.type);
        if (!row.keep_rev_link) fs::remove(rev_dir(row.body) + "/link");
        tag(row.name, digest);

        for (const std::string &ref : {row.name, digest}) {
            Got got = get(ref);
            ASSERT_NE(nullptr, got.body) << ref << ": " << last_error();
            EXPECT_EQ(row.body, got.body);
            EXPECT_EQ(row.expected_type, got.type);
            EXPECT_EQ(digest, got.digest);
        }
    }
    // By tag, the digest comes from the tag link alone.
    const std::string other = plant("{\"other\":true}");
    tag("moved", other);
    EXPECT_EQ(other, get("moved").digest);
}

TEST_F(ManifestLookupTest, BodiesLongerThanTheResultBufferAreCut) {
    for (size_t size : {kBodyMax, kBodyMax + 1, kBodyMax + 4096}) {
        SCOPED_TRACE(size);
        std::string body(size, ' ');
        body.front() = '{';
        body.back() = '}';
        const std::string digest = plant(body);
        Got got = get(digest);
        ASSERT_NE(nullptr, got.body) << last_error();
        EXPECT_EQ(kBodyMax, strlen(got.body));
        EXPECT_EQ(0, memcmp(body.data(), got.body, kBodyMax));
    }
}

// ---- delete: refusals and failures ---------------------------------------------

TEST_F(ManifestLookupTest, RefusedDeletesChangeNothing) {
    const std::string body = "{\"schemaVersion\":2}";
    const std::string digest = plant(body);
    tag("v1", digest);
    tag("nl", digest + "\n");
    testutil::write_all(manifests("lib/other") + "/tags/v1/current/link", digest);
    for (const EscapingTag &e : kEscapingTags)
        if (!e.trap.empty()) testutil::write_all(manifests() + "/" + e.trap, digest);

    struct Row {
        const char *repo;
        const char *ref;
        bool started;
        std::string message;
    };
    std::vector<Row> rows = {
        {nullptr, "v1", true, "NULL argument"},
        {"lib/app", nullptr, true, "NULL argument"},
        {"lib/app", "v1", false, kNotStarted},
        {"", "v1", true, "invalid repository name"},
        {"lib//app", "v1", true, "invalid repository name"},
        {"lib/app", "sha256:ABC", true, "invalid digest reference"},
        {"lib/app", "sha256:0000000000000000000000000000000000000000000000000000000000000000", true,
         "manifest not found: lib/app@sha256:0000000000000000000000000000000000000000000000000000000000000000"},
        {"lib/app", "v2", true, "tag not found: lib/app:v2"},
        {"lib/app", "", true, "invalid tag: "},
        {"lib/app", "nl", true, "corrupt tag link: lib/app:nl"},
    };
    for (const EscapingTag &e : kEscapingTags)
        rows.push_back({"lib/app", e.tag.c_str(), true, "invalid tag: " + e.tag});

    for (const Row &row : rows) {
        SCOPED_TRACE(row.message);
        if (!row.started) reg_storage_cleanup();
        auto before = snapshot(root_);
        EXPECT_EQ(-1, reg_manifest_delete(row.repo, row.ref));
        EXPECT_EQ(row.message, last_error());
        EXPECT_EQ(before, snapshot(root_));
        if (!row.started) start();
    }
}

TEST_F(ManifestLookupTest, FailedRemovalsKeepTheManifest) {
    const std::string body = "{\"schemaVersion\":2}";
    const std::string digest = plant(body);
    const std::string delete_tags_failed = "delete manifest tags failed: lib/app@" + digest;
    const std::string tags = tags_dir();
    struct Row {
        std::string name;
        std::string ref;
        std::function<void()> arm;
        std::string message;
        bool tag_link_kept;
    } rows[] = {
        {"unlink", "v1", [] { plat_fault_inject(PLAT_OP_UNLINK, 1); }, "delete tag failed", true},
        // the rename that takes the tag directory out fails
        {"rename", digest, [] { plat_fault_inject(PLAT_OP_RENAME, 1); }, delete_tags_failed, true},
        // tags that cannot be listed cannot be removed
        {"unlistable", digest, [&tags] { g_refuse_opendir = tags.c_str(); }, delete_tags_failed, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        tag("v1", digest);
        row.arm();
        EXPECT_EQ(-1, reg_manifest_delete("lib/app", row.ref.c_str()));
        EXPECT_EQ(row.message, last_error());
        g_refuse_opendir = nullptr;
        plat_fault_inject(PLAT_OP_UNLINK, 0);
        plat_fault_inject(PLAT_OP_RENAME, 0);
        EXPECT_TRUE(manifest_files_present(body));
        EXPECT_EQ(row.tag_link_kept, fs::is_regular_file(tag_link("v1")));
    }
}

// ---- delete by tag ----------------------------------------------------------------

TEST_F(ManifestLookupTest, DeletingOneOfTwoTagsKeepsTheManifest) {
    const std::string body = "{\"schemaVersion\":2}";
    const std::string digest = plant(body);
    tag("a", digest);
    tag("b", digest);
    ASSERT_EQ(0, reg_manifest_delete("lib/app", "a")) << last_error();
    EXPECT_FALSE(fs::exists(tag_link("a")));
    EXPECT_TRUE(fs::is_directory(tags_dir() + "/a/current"));
    EXPECT_TRUE(manifest_files_present(body));
    EXPECT_EQ(digest, get("b").digest);
    EXPECT_EQ(nullptr, get("a").body);
    EXPECT_EQ("tag not found: lib/app:a", last_error());
}

TEST_F(ManifestLookupTest, ARemainingTagCountsByItsDigitsAlone) {
    const std::string body = "{\"schemaVersion\":2}";
    const std::string digest = plant(body);
    tag("a", digest);
    tag("nl", digest + "\n");
    ASSERT_EQ(0, reg_manifest_delete("lib/app", "a")) << last_error();
    EXPECT_TRUE(manifest_files_present(body));
}

TEST_F(ManifestLookupTest, DeletingTheLastTagRemovesTheManifestFiles) {
    const std::string body = "{\"schemaVersion\":2}";
    const std::string other = "{\"other\":1}";
    const std::string digest = plant(body);
    tag("last", digest);
    tag("elsewhere", plant(other));
    fs::create_directories(tags_dir() + "/no-link/current");
    testutil::write_all(tags_dir() + "/stray-file", digest); // not a directory: no tag
    ASSERT_EQ(0, reg_manifest_delete("lib/app", "last")) << last_error();
    EXPECT_TRUE(manifest_files_absent(body));
    // Emptied directories go; the repository stays for what it still holds.
    EXPECT_FALSE(fs::exists(tags_dir() + "/last"));
    EXPECT_FALSE(fs::exists(rev_dir(body)));
    EXPECT_TRUE(manifest_files_present(other));
}

TEST_F(ManifestLookupTest, ATagsDirectoryThatCannotBeListedKeepsTheManifest) {
    const std::string body = "{\"schemaVersion\":2}";
    const std::string digest = plant(body);
    tag("a", digest);
    tag("b", digest);
    const std::string tags = tags_dir();
    g_refuse_opendir = tags.c_str();
    EXPECT_EQ(0, reg_manifest_delete("lib/app", "a")) << last_error();
    g_refuse_opendir = nullptr;
    EXPECT_FALSE(fs::exists(tag_link("a")));
    EXPECT_TRUE(manifest_files_present(body));
    EXPECT_EQ(digest, get("b").digest);
}

// A listing of 512 entries would leave the last-enumerated tag unseen.
TEST_F(ManifestLookupTest, DeletingATagSeesEveryOtherTagHoweverMany) {
    const std::string body = "{\"schemaVersion\":2}";
    const std::string other = "{\"other\":1}";
    const std::string digest = plant(body);
    const std::string other_digest = plant(other);
    for (int i = 0; i < 600; ++i)
        tag("t" + std::to_string(i), other_digest);
    // The file system decides the order; the tag that keeps the manifest is the
    // one it enumerates last, and the one deleted is the one it enumerates first.
    std::vector<std::string> order;
    for (const auto &entry : fs::directory_iterator(tags_dir()))
        order.push_back(entry.path().filename().string());
    ASSERT_EQ(600u, order.size());
    tag(order.back(), digest);
    tag(order.front(), digest);

    ASSERT_EQ(0, reg_manifest_delete("lib/app", order.front().c_str())) << last_error();
    EXPECT_TRUE(manifest_files_present(body));
    EXPECT_EQ(digest, get(order.back()).digest);
}

// ---- delete by digest ---------------------------------------------------------------

TEST_F(ManifestLookupTest, DeletingByDigestRemovesEveryTagNamingIt) {
    const std::string body = "{\"schemaVersion\":2}";
    const std::string other = "{\"other\":1}";
    const std::string digest = plant(body);
    tag("a", digest);
    tag("b", digest);
    tag("nl", digest + "\n"); // only the 64 digits are compared here
    tag("keep", plant(other));
    ASSERT_EQ(0, reg_manifest_delete("lib/app", digest.c_str())) << last_error();
    for (const char *gone : {"a", "b", "nl"})
        EXPECT_FALSE(fs::exists(tags_dir() + "/" + gone)) << gone;
    EXPECT_TRUE(fs::is_regular_file(tag_link("keep")));
    EXPECT_TRUE(manifest_files_absent(body));
    EXPECT_FALSE(fs::exists(rev_dir(body)));
    EXPECT_TRUE(manifest_files_present(other));

    // The last manifest with tags takes the tags directory with it.
    ASSERT_EQ(0, reg_manifest_delete("lib/app", sha256_digest(other).c_str())) << last_error();
    EXPECT_FALSE(fs::exists(tags_dir()));
    EXPECT_TRUE(manifest_files_absent(other));
    EXPECT_FALSE(fs::exists(rev_dir(other)));
    // Left with nothing, the repository leaves the catalog.
    EXPECT_FALSE(fs::exists(manifests()));
    EXPECT_EQ(0, reg_repo_exists("lib/app"));
}

TEST_F(ManifestLookupTest, DeletingByDigestWorksWithoutTagsOrRevisionLink) {
    struct Row {
        std::string body;
        bool rev_link;
        bool empty_tags_dir;
        bool body_file;
    } rows[] = {
        {"{\"n\":1}", true, false, true},
        {"{\"n\":2}", false, false, true},
        {"{\"n\":3}", true, true, true},
        {"{\"n\":4}", true, false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.body);
        fs::remove_all(tags_dir());
        const std::string digest = plant(row.body);
        if (!row.rev_link) fs::remove(rev_dir(row.body) + "/link");
        if (!row.body_file) fs::remove(body_path(row.body));
        if (row.empty_tags_dir) fs::create_directories(tags_dir());
        ASSERT_EQ(0, reg_manifest_delete("lib/app", digest.c_str())) << last_error();
        EXPECT_TRUE(manifest_files_absent(row.body));
        EXPECT_FALSE(fs::exists(rev_dir(row.body)));
        EXPECT_FALSE(fs::exists(tags_dir()));
    }
}

TEST_F(ManifestLookupTest, DeletingByDigestRemovesTagsBeyondAnyListingLimit) {
    const std::string body = "{\"schemaVersion\":2}";
    const std::string digest = plant(body);
    for (int i = 0; i < 600; ++i)
        tag("t" + std::to_string(i), digest);
    ASSERT_EQ(0, reg_manifest_delete("lib/app", digest.c_str())) << last_error();
    EXPECT_FALSE(fs::exists(tags_dir()));
    EXPECT_TRUE(manifest_files_absent(body));
}

} // namespace
