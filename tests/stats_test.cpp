// Tests for the storage statistics document: exact text, what counts and what does not, limits.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/alloc_fault.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

const std::string kHex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kDigest = "sha256:" + kHex;

std::string stats_doc(int repos, int tags, int blobs, long long blob_bytes, int uploads, long long upload_bytes) {
    return "{\"version\":\"1.9.0\",\"repositories\":" + std::to_string(repos) + ",\"tags\":" + std::to_string(tags) +
           ",\"blobs\":" + std::to_string(blobs) + ",\"blob_bytes\":" + std::to_string(blob_bytes) +
           ",\"active_uploads\":" + std::to_string(uploads) + ",\"upload_bytes\":" + std::to_string(upload_bytes) + "}";
}

std::string stats() {
    const char *doc = reg_storage_get_stats_json();
    return doc ? doc : "(null) " + std::string(reg_storage_last_error());
}

class StatsTest : public testutil::AllocFaultTest {
protected:
    std::string at(const std::string &rel) const { return root_ + "/" + rel; }
    void make_repo(const std::string &name) const {
        fs::create_directories(at("repositories/" + name + "/_manifests"));
    }
    void make_tag(const std::string &repo, const std::string &tag, const std::string &link = kDigest) const {
        testutil::write_all(at("repositories/" + repo + "/_manifests/tags/" + tag + "/current/link"), link);
    }

    // Two repositories (one nested in the other) with three countable tags,
    // three blob files and two uploads, next to entries that must not count.
    void populate() const {
        make_tag("lib/app", "good");
        make_tag("lib/app", "empty", "");
        fs::create_directories(at("repositories/lib/app/_manifests/tags/deleted")); // no link
        make_tag("lib/app/sub", "v1", "not a digest");
        fs::create_directories(at("repositories/plain/dir"));

        testutil::write_all(at("blobs/sha256/01/" + kHex), std::string(10, 'b'));
        testutil::write_all(at("blobs/sha256/01/not-a-digest"), std::string(5, 'b'));
        testutil::write_all(at("blobs/sha256/zz/x"), std::string(3, 'b'));
        testutil::write_all(at("blobs/sha256/01/subdir/inner"), std::string(1000, 'b'));
        testutil::write_all(at("blobs/sha256/stray"), std::string(100, 'b'));
        // A file whose size cannot be had is counted and adds nothing.
        ASSERT_EQ(0, symlink("/nonexistent/target", at("blobs/sha256/zz/dangling").c_str()));

        testutil::write_all(at("uploads/01234567-89ab-cdef-0123-456789abcdef.part"), std::string(7, 'u'));
        testutil::write_all(at("uploads/notes.txt"), std::string(4, 'u'));
        testutil::write_all(at("uploads/subdir/inner.part"), std::string(1000, 'u'));
    }
};

TEST_F(StatsTest, FreshRootCountsNothing) {
    EXPECT_EQ(R"({"version":"1.9.0","repositories":0,"tags":0,"blobs":0,"blob_bytes":0,"active_uploads":0,)"
              R"("upload_bytes":0})",
              stats());
}

TEST_F(StatsTest, CountsWhatTheTreeHolds) {
    populate();
    EXPECT_EQ(stats_doc(2, 3, 4, 18, 2, 11), stats());
}

TEST_F(StatsTest, MissingTopDirectoriesCountAsEmpty) {
    populate();
    for (const char *dir : {"repositories", "blobs", "uploads"})
        fs::remove_all(at(dir));
    EXPECT_EQ(stats_doc(0, 0, 0, 0, 0, 0), stats());
}

// The quota decides on these counts: without memory for a listing the call
// fails rather than answer with counts too small.
TEST_F(StatsTest, WithoutMemoryTheCallFailsInsteadOfUndercounting) {
    populate();
    testutil::fail_allocations = true;
    const char *doc = reg_storage_get_stats_json();
    testutil::fail_allocations = false;
    EXPECT_EQ(nullptr, doc);
    EXPECT_STREQ("out of memory", reg_storage_last_error());
    EXPECT_EQ(REG_ERR_NO_MEMORY, reg_storage_last_error_kind());
}

TEST_F(StatsTest, NotStartedFailsAndSuccessKeepsTheLastError) {
    reg_storage_cleanup();
    EXPECT_EQ(nullptr, reg_storage_get_stats_json());
    EXPECT_STREQ("not initialized - call reg_storage_init first", reg_storage_last_error());

    ASSERT_EQ(0, reg_storage_init(root_.c_str()));
    set_error("earlier failure");
    EXPECT_EQ(stats_doc(0, 0, 0, 0, 0, 0), stats());
    EXPECT_STREQ("earlier failure", reg_storage_last_error());
}

TEST_F(StatsTest, SecondCallRewritesTheSameBuffer) {
    const char *first = reg_storage_get_stats_json();
    ASSERT_NE(nullptr, first);
    testutil::write_all(at("uploads/a.part"), "abc");
    const char *second = reg_storage_get_stats_json();
    EXPECT_EQ(first, second);
    EXPECT_EQ(stats_doc(0, 0, 0, 0, 1, 3), first);
}

// Directories far past 512 entries and more than 1024 repositories: every
// entry counts, since the quota decides on these figures.
TEST_F(StatsTest, EveryEntryIsCountedHoweverMany) {
    for (int i = 0; i < 600; ++i) {
        testutil::write_all(at("blobs/sha256/ab/f" + std::to_string(i)), "xy");
        testutil::write_all(at("uploads/u" + std::to_string(i) + ".part"), "z");
    }
    for (int i = 0; i < 1100; ++i)
        make_repo("p/" + std::to_string(i));
    for (int i = 0; i < 530; ++i)
        testutil::write_all(at("repositories/p/7/_manifests/tags/t" + std::to_string(i) + "/current/link"), "x");
    EXPECT_EQ(stats_doc(1100, 530, 600, 1200, 600, 600), stats());
}

} // namespace
