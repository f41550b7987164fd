// Tests for tag retention: which tags the count and age rules pick, what a real run deletes, and the report.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/alloc_fault.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::sha256_digest;
using testutil::sha256_hex;

constexpr int64_t kDay = 86400;
constexpr int64_t kHour = 3600;
const std::string kFakeDigest = "sha256:" + std::string(64, 'c');

struct Element {
    std::string repository;
    std::string tag;
    std::string digest;
    int64_t age_days = -1;
};

struct Report {
    std::string text; // "" when the call failed
    int cut = -1;
    bool parsed = false;
    bool dry_run = false;
    bool include_latest = false;
    int64_t keep_n = -1, days = -1, repos_scanned = -1, tags_total = -1, tags_deleted = -1, tags_kept = -1,
            latest_protected = -1;
    std::vector<Element> deleted;

    std::vector<std::string> tags() const {
        std::vector<std::string> out;
        for (const Element &e : deleted)
            out.push_back(e.repository + ":" + e.tag);
        return out;
    }
};

int64_t member_int(json_val *root, const char *key) {
    json_val *v = json_obj_get(root, key);
    EXPECT_TRUE(json_is_int(v)) << key;
    return json_get_sint(v);
}

bool member_bool(json_val *root, const char *key) {
    json_val *v = json_obj_get(root, key);
    EXPECT_TRUE(json_is_bool(v)) << key;
    return json_get_bool(v) != 0;
}

std::string member_str(json_val *obj, const char *key) {
    json_val *v = json_obj_get(obj, key);
    EXPECT_TRUE(json_is_str(v)) << key;
    return v ? std::string(json_get_str(v), json_get_len(v)) : "";
}

// Parses a report, failing the test when it is not one JSON object of the expected shape.
void parse_report(Report &r) {
    json_doc *doc = json_read(r.text.data(), r.text.size());
    ASSERT_NE(nullptr, doc) << "not JSON: " << r.text.substr(0, 300);
    json_val *root = json_doc_root(doc);
    r.dry_run = member_bool(root, "dry_run");
    r.include_latest = member_bool(root, "include_latest");
    r.keep_n = member_int(root, "keep_n");
    r.days = member_int(root, "days");
    r.repos_scanned = member_int(root, "repos_scanned");
    r.tags_total = member_int(root, "tags_total");
    r.tags_deleted = member_int(root, "tags_deleted");
    r.tags_kept = member_int(root, "tags_kept");
    r.latest_protected = member_int(root, "latest_protected");
    json_val *list = json_obj_get(root, "deleted");
    EXPECT_TRUE(json_is_arr(list));
    for (size_t i = 0; i < json_arr_size(list); ++i) {
        json_val *e = json_arr_get(list, i);
        r.deleted.push_back({member_str(e, "repository"), member_str(e, "tag"), member_str(e, "digest"),
                             member_int(e, "age_days")});
    }
    json_doc_free(doc);
    r.parsed = true;
}

Report retention(int dry_run, int keep_n, int days, int include_latest) {
    Report r;
    const char *text = reg_retention_json(dry_run, keep_n, days, include_latest, &r.cut);
    if (!text) {
        ADD_FAILURE() << "retention failed: " << reg_storage_last_error();
        return r;
    }
    r.text = text;
    parse_report(r);
    return r;
}

void set_mtime(const std::string &path, int64_t seconds) {
    struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0)) << path;
}

class RetentionTest : public testutil::AllocFaultTest {
protected:
    std::string manifests(const std::string &repo) const { return root_ + "/repositories/" + repo + "/_manifests"; }
    std::string tag_link(const std::string &repo, const std::string &tag) const {
        return manifests(repo) + "/tags/" + tag + "/current/link";
    }
    std::string body_path(const std::string &repo, const std::string &body) const {
        return manifests(repo) + "/" + sha256_hex(body);
    }

    // A manifest's body, content type and revision link as the store leaves them.
    std::string plant(const std::string &repo, const std::string &body) const {
        testutil::write_all(body_path(repo, body), body);
        testutil::write_all(body_path(repo, body) + ".ct", "application/vnd.oci.image.manifest.v1+json");
        testutil::write_all(manifests(repo) + "/revisions/sha256/" + sha256_hex(body) + "/link", sha256_digest(body));
        return sha256_digest(body);
    }
    // A tag link written at the given time, as if the tag had been pointed then.
    void tag(const std::string &repo, const std::string &name, int64_t when,
             const std::string &link = kFakeDigest) const {
        testutil::write_all(tag_link(repo, name), link);
        set_mtime(tag_link(repo, name), when);
    }
};

TEST_F(RetentionTest, RulesChooseTags) {
    struct Tag {
        std::string repo;
        std::string name;
        int64_t age; // seconds before the run
    };
    struct Case {
        const char *what;
        std::vector<Tag> tags;
        int keep_n, days, include_latest;
        std::vector<std::string> selected; // in report order
        int latest_protected;
        int reported_keep_n, reported_days;
    };
    const Case cases[] = {
        {"both rules off", {{"app", "a", 40 * kDay}, {"app", "b", 60}}, 0, 0, 0, {}, 0, 0, 0},
        {"count keeps the two newest",
         {{"app", "v1", 3 * kHour}, {"app", "v2", 2 * kHour}, {"app", "v3", kHour}},
         2, 0, 0, {"app:v1"}, 0, 2, 0},
        {"count rule applies per repository, repositories in byte order",
         {{"b", "x", 60}, {"b", "y", 120}, {"a", "old", 120}, {"a", "new", 60}, {"B", "p", 60}, {"B", "q", 120}},
         1, 0, 0, {"B:q", "a:old", "b:y"}, 0, 1, 0},
        {"age picks a tag among the newest", {{"app", "new", 60}, {"app", "aged", 31 * kDay}},
         5, 30, 0, {"app:aged"}, 0, 5, 30},
        {"count picks a fresh sixth tag",
         {{"app", "a", 60}, {"app", "b", 120}, {"app", "c", 180}, {"app", "d", 240}, {"app", "e", 300},
          {"app", "f", kHour}},
         5, 30, 0, {"app:f"}, 0, 5, 30},
        {"equal times order by name", {{"app", "b", 100}, {"app", "a", 100}}, 1, 0, 0, {"app:b"}, 0, 1, 0},
        {"latest chosen is protected", {{"app", "v2", 60}, {"app", "latest", kHour}}, 1, 0, 0, {}, 1, 1, 0},
        {"latest kept by count counts nowhere", {{"app", "latest", 60}, {"app", "v1", kHour}},
         1, 0, 0, {"app:v1"}, 0, 1, 0},
        {"latest treated like any other", {{"app", "v2", 60}, {"app", "latest", kHour}},
         1, 0, 1, {"app:latest"}, 0, 1, 0},
        {"only exactly latest is spared", {{"app", "v2", 60}, {"app", "Latest", kHour}, {"app", "latest1", kHour}},
         1, 0, 0, {"app:Latest", "app:latest1"}, 0, 1, 0},
        {"negative values switch both rules off", {{"app", "a", 400 * kDay}, {"app", "b", 60}},
         -3, -1, 0, {}, 0, 0, 0},
        {"negative count leaves the age rule", {{"app", "a", 40 * kDay}, {"app", "b", 60}},
         -1, 30, 0, {"app:a"}, 0, 0, 30},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root_ + "/repositories");
        fs::create_directories(root_ + "/repositories");
        int64_t now = plat_wall_seconds();
        for (const Tag &t : c.tags)
            tag(t.repo, t.name, now - t.age);
        auto before = testutil::snapshot(root_);
        Report r = retention(1, c.keep_n, c.days, c.include_latest);
        ASSERT_TRUE(r.parsed);
        EXPECT_EQ(c.selected, r.tags());
        EXPECT_EQ(c.latest_protected, r.latest_protected);
        EXPECT_EQ(c.reported_keep_n, r.keep_n);
        EXPECT_EQ(c.reported_days, r.days);
        EXPECT_EQ(static_cast<int64_t>(c.tags.size()), r.tags_total);
        EXPECT_EQ(static_cast<int64_t>(c.selected.size()), r.tags_deleted);
        EXPECT_EQ(r.tags_total - r.tags_deleted, r.tags_kept);
        EXPECT_EQ(0, r.cut);
        EXPECT_EQ(before, testutil::snapshot(root_)) << "a dry run deleted something";
    }
}

// The age rule's edge, with the run's clock reading pinned: the test repeats
// when the second turned over between setting the times and the run.
TEST_F(RetentionTest, AgeRuleSelectsFromExactlyTheLimit) {
    Report r;
    int64_t now = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        now = plat_wall_seconds();
        tag("app", "at-limit", now - 30 * kDay);
        tag("app", "second-younger", now - 30 * kDay + 1);
        r = retention(1, 0, 30, 0);
        if (plat_wall_seconds() == now) break;
    }
    ASSERT_TRUE(r.parsed);
    ASSERT_EQ(1u, r.deleted.size()) << r.text;
    EXPECT_EQ("at-limit", r.deleted[0].tag);
    EXPECT_EQ(30, r.deleted[0].age_days);
    EXPECT_EQ(2, r.tags_total);
}

TEST_F(RetentionTest, ReportTextIsExact) {
    int64_t now = plat_wall_seconds();
    std::string digest = plant("lib/app", "{\"m\":1}");
    tag("lib/app", "v1", now - 40 * kDay - 100, digest);
    tag("lib/app", "v2", now - 60, digest);
    tag("lib/app", "q\"t", now - 41 * kDay, kFakeDigest);
    fs::create_directories(manifests("lib/app/none")); // a repository without tags
    EXPECT_EQ(-1, reg_manifest_delete("lib/app", "missing")); // leaves a last error behind
    int cut = -1;
    const char *text = reg_retention_json(1, 0, 30, 0, &cut);
    ASSERT_NE(nullptr, text) << reg_storage_last_error();
    EXPECT_EQ("{\"dry_run\":true,\"keep_n\":0,\"days\":30,\"include_latest\":false,\"repos_scanned\":2,"
              "\"tags_total\":3,\"tags_deleted\":2,\"tags_kept\":1,\"latest_protected\":0,\"deleted\":["
              "{\"repository\":\"lib/app\",\"tag\":\"v1\",\"digest\":\"" +
                  digest +
                  "\",\"age_days\":40},"
                  "{\"repository\":\"lib/app\",\"tag\":\"q\\\"t\",\"digest\":\"" +
                  kFakeDigest + "\",\"age_days\":41}]}",
              std::string(text));
    EXPECT_EQ(0, cut);
    EXPECT_STREQ("", reg_storage_last_error());
}

TEST_F(RetentionTest, NoRepositoriesGiveAnEmptyReport) {
    int cut = -1;
    const char *text = reg_retention_json(0, 1, 0, 1, &cut);
    ASSERT_NE(nullptr, text) << reg_storage_last_error();
    EXPECT_STREQ("{\"dry_run\":false,\"keep_n\":1,\"days\":0,\"include_latest\":true,\"repos_scanned\":0,"
                 "\"tags_total\":0,\"tags_deleted\":0,\"tags_kept\":0,\"latest_protected\":0,\"deleted\":[]}",
                 text);
    EXPECT_EQ(0, cut);
    EXPECT_NE(nullptr, reg_retention_json(0, 1, 0, 1, nullptr)); // the flag is optional
}

// Only tag directories whose link is a readable file starting "sha256:" take part.
TEST_F(RetentionTest, OnlyTagsWithALinkAreGathered) {
    int64_t old = plat_wall_seconds() - 40 * kDay;
    tag("app", "good", old);
    tag("app", "other-scheme", old, "md5:0123");
    tag("app", "empty", old, "");
    tag("app", "short", old, "sha256");
    fs::create_directories(manifests("app") + "/tags/no-link/current");
    fs::create_directories(tag_link("app", "link-is-dir"));
    testutil::write_all(manifests("app") + "/tags/plain-file", kFakeDigest);
    fs::create_directories(manifests("app") + "/tags/dangling/current");
    fs::create_symlink("/nonexistent/link", tag_link("app", "dangling"));
    Report r = retention(1, 0, 30, 0);
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(1, r.tags_total);
    EXPECT_EQ(std::vector<std::string>{"app:good"}, r.tags());
}

// A link whose time lies before 1970 still takes part, as if written at time 0.
TEST_F(RetentionTest, LinkTimeBefore1970CountsAsZero) {
    tag("app", "ancient", -100 * kDay);
    tag("app", "fresh", plat_wall_seconds());
    int64_t before = plat_wall_seconds();
    Report r = retention(1, 0, 30, 0);
    int64_t after = plat_wall_seconds();
    ASSERT_TRUE(r.parsed);
    ASSERT_EQ(1u, r.deleted.size()) << r.text;
    EXPECT_EQ("ancient", r.deleted[0].tag);
    EXPECT_GE(r.deleted[0].age_days, before / kDay);
    EXPECT_LE(r.deleted[0].age_days, after / kDay);
}

TEST_F(RetentionTest, RealRunDeletesTagsAndUnnamedManifests) {
    int64_t now = plat_wall_seconds();
    std::string only = plant("app", "{\"only\":1}");
    std::string shared = plant("app", "{\"shared\":1}");
    tag("app", "old-only", now - 40 * kDay, only);
    tag("app", "old-shared", now - 40 * kDay, shared);
    tag("app", "new-shared", now - 60, shared);
    Report r = retention(0, 0, 30, 0);
    ASSERT_TRUE(r.parsed);
    EXPECT_FALSE(r.dry_run);
    EXPECT_EQ(3, r.tags_total);
    EXPECT_EQ(2, r.tags_deleted);
    EXPECT_EQ(1, r.tags_kept);
    EXPECT_EQ((std::vector<std::string>{"app:old-only", "app:old-shared"}), r.tags());

    EXPECT_FALSE(fs::exists(tag_link("app", "old-only")));
    EXPECT_FALSE(fs::exists(tag_link("app", "old-shared")));
    EXPECT_TRUE(fs::exists(tag_link("app", "new-shared")));
    EXPECT_FALSE(fs::exists(body_path("app", "{\"only\":1}")));
    EXPECT_FALSE(fs::exists(body_path("app", "{\"only\":1}") + ".ct"));
    EXPECT_TRUE(fs::exists(body_path("app", "{\"shared\":1}")));
    char type[127];
    char digest[72];
    EXPECT_NE(nullptr, reg_manifest_get("app", "new-shared", type, digest));

    // The emptied tag directories stay but no longer count as tags.
    Report again = retention(0, 0, 30, 0);
    ASSERT_TRUE(again.parsed);
    EXPECT_EQ(1, again.tags_total);
    EXPECT_EQ(0, again.tags_deleted);
}

TEST_F(RetentionTest, FailedDeletionIsListedButNotCounted) {
    int64_t old = plat_wall_seconds() - 40 * kDay;
    tag("app", "a", old);
    tag("app", "b", old);
    plat_fault_inject(PLAT_OP_UNLINK, 1); // the first tag link removal
    Report r = retention(0, 0, 30, 0);
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ((std::vector<std::string>{"app:a", "app:b"}), r.tags());
    EXPECT_EQ(1, r.tags_deleted);
    EXPECT_EQ(1, r.tags_kept);
    EXPECT_EQ(0, r.cut);
    EXPECT_TRUE(fs::exists(tag_link("app", "a")));
    EXPECT_FALSE(fs::exists(tag_link("app", "b")));
    EXPECT_STREQ("", reg_storage_last_error());
}

TEST_F(RetentionTest, DryRunListsAtMost500) {
    int64_t now = plat_wall_seconds();
    for (const char *repo : {"one", "two"})
        for (int i = 0; i < 301; ++i)
            tag(repo, "t" + std::to_string(1000 + i), now - i);
    auto before = testutil::snapshot(root_);
    Report r = retention(1, 1, 0, 0);
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(602, r.tags_total);
    EXPECT_EQ(600, r.tags_deleted);
    EXPECT_EQ(2, r.tags_kept);
    ASSERT_EQ(500u, r.deleted.size());
    EXPECT_EQ(1, r.cut);
    // Sorted order: all of "one" (newest first, t1000 kept), then "two".
    EXPECT_EQ("one:t1001", r.tags().front());
    EXPECT_EQ("one:t1300", r.tags()[299]);
    EXPECT_EQ("two:t1001", r.tags()[300]);
    EXPECT_EQ(before, testutil::snapshot(root_));
}

// Every tag takes part, past 512 in one repository and past 4096 in all; only
// the report's list is a bounded preview.
TEST_F(RetentionTest, EveryTagTakesPart) {
    int64_t old = plat_wall_seconds() - 2 * kDay;
    for (int r = 0; r < 8; ++r)
        for (int i = 0; i < 512; ++i)
            tag("r" + std::to_string(r), "t" + std::to_string(i), old);
    for (int i = 0; i < 40; ++i)
        tag("r0", "u" + std::to_string(i), old);
    tag("r8", "t0", old);
    Report r = retention(0, 0, 1, 0);
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(9, r.repos_scanned);
    EXPECT_EQ(4137, r.tags_total);
    EXPECT_EQ(4137, r.tags_deleted);
    EXPECT_EQ(500u, r.deleted.size());
    EXPECT_EQ(1, r.cut);
    int left = 0;
    for (auto &entry : fs::recursive_directory_iterator(root_ + "/repositories"))
        if (entry.path().filename() == "link") ++left;
    EXPECT_EQ(0, left);
}

TEST_F(RetentionTest, NotStarted) {
    reg_storage_cleanup();
    int cut = 7;
    EXPECT_EQ(nullptr, reg_retention_json(1, 1, 1, 0, &cut));
    EXPECT_STREQ("not initialized - call reg_storage_init first", reg_storage_last_error());
    EXPECT_EQ(0, cut);
}

TEST_F(RetentionTest, OutOfMemory) {
    tag("app", "old", plat_wall_seconds() - 40 * kDay);
    auto before = testutil::snapshot(root_);
    testutil::fail_allocations = true;
    int cut = 7;
    EXPECT_EQ(nullptr, reg_retention_json(0, 0, 30, 0, &cut));
    testutil::fail_allocations = false;
    EXPECT_STREQ("out of memory", reg_storage_last_error());
    EXPECT_EQ(0, cut);
    EXPECT_EQ(before, testutil::snapshot(root_));
}

// Names escaping to six characters per byte make 500 elements larger than the
// result buffer: the list stops at the last whole element that fits.
TEST_F(RetentionTest, ReportStaysWithinTheResultBuffer) {
    const std::string repo(255, '\x01');
    int64_t now = plat_wall_seconds();
    for (int i = 0; i < 501; ++i)
        tag(repo, std::to_string(100 + i) + std::string(252, '\x02'), now - i);
    Report r = retention(1, 1, 0, 0);
    ASSERT_TRUE(r.parsed);
    EXPECT_LT(r.text.size(), kResultMax);
    EXPECT_EQ("]}", r.text.substr(r.text.size() - 2));
    EXPECT_EQ(500, r.tags_deleted);
    EXPECT_EQ(1, r.cut);
    ASSERT_GT(r.deleted.size(), 300u);
    ASSERT_LT(r.deleted.size(), 500u);
    // Whole elements, in order, with nothing lost from the names.
    for (size_t i = 0; i < r.deleted.size(); ++i) {
        EXPECT_EQ(repo, r.deleted[i].repository);
        EXPECT_EQ(std::to_string(101 + i) + std::string(252, '\x02'), r.deleted[i].tag);
    }
    // Every element has the same length here; one more, with its comma, would
    // not have left room for the closing and the terminator.
    size_t opening = r.text.find("\"deleted\":[") + strlen("\"deleted\":[");
    size_t n = r.deleted.size();
    size_t list_len = r.text.size() - opening - 2;
    ASSERT_EQ(0u, (list_len - (n - 1)) % n);
    size_t element = (list_len - (n - 1)) / n;
    EXPECT_GT(r.text.size() + 1 + element + 1, kResultMax);
}

// Whatever a link holds after "sha256:" goes into the report as a JSON string.
TEST_F(RetentionTest, OddLinkContentKeepsTheReportValid) {
    tag("app", "odd", plat_wall_seconds() - 40 * kDay, "sha256:\"x\n\\");
    Report r = retention(0, 0, 30, 0);
    ASSERT_TRUE(r.parsed) << r.text;
    ASSERT_EQ(1u, r.deleted.size());
    EXPECT_EQ("sha256:\"x\n\\", r.deleted[0].digest);
    EXPECT_EQ(0, r.tags_deleted); // a corrupt link cannot be deleted by tag
    EXPECT_TRUE(fs::exists(tag_link("app", "odd")));
}

// A tag directory named like a digest would be taken as a digest reference by
// the deletion, removing the manifest together with every tag that names it.
TEST_F(RetentionTest, TagNamedLikeADigestNeverDeletesTheManifest) {
    int64_t now = plat_wall_seconds();
    std::string digest = plant("app", "{\"m\":1}");
    tag("app", digest, now - 40 * kDay, digest);
    tag("app", "current", now - 60, digest);
    Report r = retention(0, 0, 30, 0);
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(std::vector<std::string>{"app:" + digest}, r.tags());
    EXPECT_EQ(0, r.tags_deleted);
    EXPECT_TRUE(fs::exists(tag_link("app", "current")));
    EXPECT_TRUE(fs::exists(tag_link("app", digest)));
    EXPECT_TRUE(fs::exists(body_path("app", "{\"m\":1}")));
}

// A nested repository's name longer than 255 characters cut down would be
// another repository's name: its tags must not be judged or deleted as that one's.
TEST_F(RetentionTest, OverlongRepositoryNamesTakeNoPart) {
    const std::string parent(200, 'a');
    const std::string near = parent + "/" + std::string(54, 'b'); // 255 characters
    const std::string far = parent + "/" + std::string(100, 'b'); // cut to 255: near's name
    ASSERT_EQ(kRepoNameMax, near.size());
    int64_t now = plat_wall_seconds();
    tag(near, "v1", now - 60);
    tag(near, "v2", now - 120);
    tag(far, "v1", now - 40 * kDay);
    tag(far, "v0", now - 30);
    Report r = retention(0, 1, 30, 0);
    ASSERT_TRUE(r.parsed);
    EXPECT_EQ(2, r.repos_scanned);
    EXPECT_EQ(2, r.tags_total);
    EXPECT_EQ(std::vector<std::string>{near + ":v2"}, r.tags());
    EXPECT_EQ(1, r.tags_deleted);
    EXPECT_TRUE(fs::exists(tag_link(near, "v1")));
    EXPECT_FALSE(fs::exists(tag_link(near, "v2")));
    EXPECT_TRUE(fs::exists(tag_link(far, "v1")));
    EXPECT_TRUE(fs::exists(tag_link(far, "v0")));
}

} // namespace
