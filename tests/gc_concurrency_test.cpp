// Concurrency test: processes push images through the engine while another collects back to back with no grace
// period; afterwards every stored manifest's blobs are there and whole, and no push failed because of a collection.
#include <gtest/gtest.h>

#include <string>

#include "tests/push_race.h"
#include "tests/test_util.h"

namespace {

std::string messages(const pushrace::totals &t) {
    std::string out;
    for (const std::string &m : t.messages)
        out += "\n  " + m;
    return out;
}

// Bounded by time, not by a count of pushes: a slow machine pushes fewer
// images but checks the same promises.
TEST(GcConcurrency, PushesAndBackToBackCollections) {
    testutil::TempDir dir;
    testutil::ScopedCwd cwd(dir.path());
    // No grace period: a blob is a candidate as soon as nothing names it, so
    // every manifest store meets the sweep's window.
    testutil::write_all(dir / "config.json", R"({"registry_gc_grace_seconds": 0})");
    pushrace::options opts;
    opts.root = dir / "root";
    opts.pushers = 3;
    opts.collectors = 1;
    opts.seconds = 3;
    pushrace::totals t = pushrace::run(opts);

    EXPECT_EQ(0, t.tree_violations) << messages(t);
    EXPECT_EQ(0, t.push_violations) << messages(t);
    EXPECT_EQ(0, t.other_errors) << messages(t);
    EXPECT_GT(t.pushes, 0);
    EXPECT_GT(t.collections, 0) << messages(t);
    EXPECT_GT(t.manifests_checked, 0);
    EXPECT_GT(t.blobs_deleted, 0) << "the collections had something to do";
    RecordProperty("pushes", static_cast<int>(t.pushes));
    RecordProperty("collections", static_cast<int>(t.collections));
    printf("pushes %ld, tag deletes %ld (failed %ld), collections %ld (refused %ld), blobs deleted %ld, late "
           "failures %ld, failures after a presence check %ld, manifests checked %ld\n",
           t.pushes, t.tag_deletes, t.delete_errors, t.collections, t.refusals, t.blobs_deleted, t.late_failures,
           t.head_failures, t.manifests_checked);
}

} // namespace
