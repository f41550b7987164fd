// Tests for garbage collection: what a run removes and keeps, what it reports, and when it refuses.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

bool g_fail_ref_growth = false;

} // namespace

// The reference set grows with nothrow new[] in slots of 65 bytes; refusing
// its first allocation shows what a run does without memory.
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    if (g_fail_ref_growth && size == static_cast<std::size_t>(kRefFirstCapacity) * kRefSlot) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

namespace fs = std::filesystem;
using testutil::exists;
using testutil::read_all;
using testutil::sha256_hex;
using testutil::write_all;

void set_mtime(const std::string &path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0)) << path;
}

std::string digest_of(const std::string &hex) { return "sha256:" + hex; }

// An image manifest body naming a config and layers by their hex digits.
std::string image_body(const std::string &config, const std::vector<std::string> &layers = {}) {
    std::string body = R"({"schemaVersion":2,"config":{"digest":")" + digest_of(config) + R"("},"layers":[)";
    for (size_t i = 0; i < layers.size(); ++i)
        body += (i ? "," : "") + std::string(R"({"digest":")") + digest_of(layers[i]) + R"("})";
    return body + "]}";
}

struct Report {
    bool dry_run = false;
    int total = 0, reachable = 0, deleted = 0;
    long long bytes = 0;
    int kept = 0, stale = 0;
    long long stale_bytes = 0;
    bool cancelled = false;
    int young = 0, in_progress = 0, grace = 0;
};

// The numbers that vary from run to run become "N": any "elapsed_ms", and a
// "started_unix" that is a real time (a run always sets it).
std::string masked(std::string text) {
    for (const char *key : {"\"elapsed_ms\":", "\"started_unix\":", "\"young_kept_free_within_seconds\":"}) {
        size_t at = text.find(key);
        if (at == std::string::npos) continue;
        size_t from = at + strlen(key), to = from;
        while (to < text.size() && isdigit(static_cast<unsigned char>(text[to])))
            ++to;
        bool real_time = to - from >= 9;
        if (to > from && (key[1] != 's' || real_time)) text.replace(from, to - from, "N");
    }
    return text;
}

std::string b(bool v) { return v ? "true" : "false"; }

// The report's exact text, elapsed_ms masked.
std::string report_text(const Report &r) {
    return R"({"dry_run":)" + b(r.dry_run) + R"(,"blobs_total":)" + std::to_string(r.total) + R"(,"blobs_reachable":)" +
           std::to_string(r.reachable) + R"(,"blobs_deleted":)" + std::to_string(r.deleted) + R"(,"bytes_freed":)" +
           std::to_string(r.bytes) + R"(,"blobs_kept":)" + std::to_string(r.kept) + R"(,"stale_uploads":)" +
           std::to_string(r.stale) + R"(,"stale_upload_bytes":)" + std::to_string(r.stale_bytes) + R"(,"cancelled":)" +
           b(r.cancelled) + R"(,"elapsed_ms":N,"blobs_young_kept":)" + std::to_string(r.young) +
           R"(,"uploads_in_progress":)" + std::to_string(r.in_progress) + R"(,"grace_seconds":)" +
           std::to_string(r.grace) + R"(,"young_kept_free_within_seconds":N})";
}

#define EXPECT_REPORT(expected, text) EXPECT_EQ(report_text(expected), masked(text))

// How long ago the staging helpers last wrote a blob: old for any run under
// the grace period the fixture sets.
constexpr time_t kStagedAge = 60;

// Runs in a working directory of its own whose settings give no grace period,
// so that what a test stages as old is old; tests of the grace rule set their own.
class GcTest : public testutil::StorageTest {
protected:
    void SetUp() override {
        grace(0);
        StorageTest::SetUp();
    }
    void TearDown() override {
        g_fail_ref_growth = false;
        StorageTest::TearDown();
    }

    void grace(int seconds) const {
        write_all(cwd_dir_ / "config.json", R"({"registry_gc_grace_seconds": )" + std::to_string(seconds) + "}");
    }

public: // the staging functions of table rows use these too
    std::string at(const std::string &rel) const { return root_ + "/" + rel; }
    std::string blob_path(const std::string &hex) const { return at("blobs/sha256/" + hex.substr(0, 2) + "/" + hex); }
    // A blob file of its content's real digest, last written kStagedAge ago.
    std::string blob(const std::string &content) const {
        std::string hex = sha256_hex(content);
        blob_named(hex, content);
        return hex;
    }
    // A blob file under a made-up digest (the sweep never checks contents), last written kStagedAge ago.
    void blob_named(const std::string &hex, const std::string &content = "b") const {
        write_all(blob_path(hex), content);
        set_mtime(blob_path(hex), time(nullptr) - kStagedAge);
    }
    // When a blob file was last written, -1 when it is not there.
    time_t mtime_of(const std::string &hex) const {
        struct stat st;
        return stat(blob_path(hex).c_str(), &st) == 0 ? st.st_mtime : -1;
    }
    // A manifest body file written straight into a repository, no tag or revision link.
    std::string body(const std::string &repo, const std::string &text) const {
        std::string hex = sha256_hex(text);
        write_all(at("repositories/" + repo + "/_manifests/" + hex), text);
        return hex;
    }
    std::string put(const std::string &repo, const std::string &tag, const std::string &text) const {
        char digest[80];
        EXPECT_EQ(0, reg_manifest_put(repo.c_str(), tag.c_str(), text.data(), text.size(), nullptr, digest))
            << reg_storage_last_error();
        return std::string(digest).substr(7);
    }

    static std::string gc(int dry_run) {
        const char *report = reg_gc_json(dry_run);
        return report ? report : "(null) " + std::string(reg_storage_last_error());
    }
    std::string progress_file() const { return read_all(at("_gc/progress.json")); }

    // The whole tree except the GC state directory.
    std::map<std::string, std::string> tree() const {
        auto all = testutil::snapshot(root_);
        std::erase_if(all, [&](const auto &kv) { return kv.first.rfind(at("_gc"), 0) == 0; });
        return all;
    }

    testutil::TempDir cwd_dir_;
    testutil::ScopedCwd cwd_{cwd_dir_.path()};

    // 64 hex digits made unique by a number, all beginning with prefix.
    static std::string made_up_hex(const std::string &prefix, int n) {
        std::string digits = std::to_string(n);
        return prefix + std::string(64 - prefix.size() - digits.size(), '0') + digits;
    }
};

// The final snapshot's exact text, started_unix and elapsed_ms masked.
std::string done_snapshot(bool dry_run, int total, int deleted, long long bytes, int scanned, bool cancelled) {
    return R"({"running":false,"phase":"done","blobs_scanned":)" + std::to_string(scanned) + R"(,"blobs_total":)" +
           std::to_string(total) + R"(,"blobs_deleted":)" + std::to_string(deleted) + R"(,"bytes_freed":)" +
           std::to_string(bytes) + R"(,"dry_run":)" + b(dry_run) + R"(,"started_unix":N,"elapsed_ms":N,)" +
           R"("cancelled":)" + b(cancelled) + "}";
}

TEST_F(GcTest, EmptyRootFindsNothing) {
    reg_blob_delete("not a digest"); // leaves a last error for the run to clear
    ASSERT_STRNE("", reg_storage_last_error());
    EXPECT_REPORT(Report{}, gc(0));
    EXPECT_STREQ("", reg_storage_last_error());
    EXPECT_EQ(done_snapshot(false, 0, 0, 0, 0, false), masked(progress_file())) << progress_file();
    EXPECT_EQ(done_snapshot(false, 0, 0, 0, 0, false), masked(reg_gc_progress_json()));
}

TEST_F(GcTest, NotStarted) {
    reg_storage_cleanup();
    EXPECT_EQ("(null) not initialized - call reg_storage_init first", gc(0));
}

// One store with everything a run must tell apart; the dry run reports what
// the real run then does.
TEST_F(GcTest, RemovesExactlyTheUnreferencedBlobs) {
    std::string config = blob("config");
    std::string layer = blob("layer-1");
    std::string shared = blob("layer-shared");
    std::string only_other_repo = blob("layer-other");
    std::string untagged = blob("untagged-config");
    std::string indexed = blob("index-child");
    std::string loose1 = blob("loose-1"), loose2 = blob("loose-22");
    put("lib/app", "v1", image_body(config, {layer, shared}));
    body("other", image_body(shared, {only_other_repo}));
    body("lib/app", image_body(untagged)); // no tag or revision link names it
    body("other", R"({"manifests":[{"digest":")" + digest_of(indexed) + R"("}]})");

    // Digests that do not count as references.
    std::string upper = blob("upper"), sha512 = blob("sha512"), extra = blob("extra");
    std::string upper_hex = upper;
    for (char &c : upper_hex)
        c = static_cast<char>(toupper(c));
    body("other", R"({"config":{"digest":"sha256:)" + upper_hex + R"("},"layers":[{"digest":"sha512:)" + sha512 +
                      R"("},{"digest":"sha256:)" + extra + R"( "},{"digest":7},"sha256:)" + loose1 +
                      R"("],"manifests":{"digest":"sha256:)" + loose2 + R"("}})");

    // Entries that are not blob files: never counted, scanned or removed.
    std::string fan = loose1.substr(0, 2);
    write_all(at("blobs/sha256/" + fan + "/not-a-digest"), "n");
    write_all(at("blobs/sha256/" + fan + "/" + upper_hex), "u");
    write_all(at("blobs/sha256/" + fan + "/" + loose1 + "x"), "x");
    fs::create_directories(at("blobs/sha256/" + fan + "/" + made_up_hex("ee", 1)));
    write_all(at("blobs/sha256/" + made_up_hex("dd", 2)), "top-level file");

    const std::vector<std::string> kept = {config, layer, shared, only_other_repo, untagged, indexed};
    const std::vector<std::string> gone = {loose1, loose2, upper, sha512, extra};
    long long gone_bytes = 0;
    for (const std::string &hex : gone)
        gone_bytes += static_cast<long long>(fs::file_size(blob_path(hex)));

    Report expected{true, 11, 6, 5, gone_bytes, 6, 0, 0, false};
    auto before = tree();
    EXPECT_REPORT(expected, gc(1));
    EXPECT_EQ(before, tree()) << "a dry run removes nothing";
    EXPECT_EQ(done_snapshot(true, 11, 5, gone_bytes, 11, false), masked(progress_file()));

    expected.dry_run = false;
    EXPECT_REPORT(expected, gc(0));
    EXPECT_EQ(done_snapshot(false, 11, 5, gone_bytes, 11, false), masked(progress_file()));
    for (const std::string &hex : kept)
        EXPECT_TRUE(exists(blob_path(hex))) << hex;
    for (const std::string &hex : gone)
        EXPECT_FALSE(exists(blob_path(hex))) << hex;
    EXPECT_TRUE(exists(at("blobs/sha256/" + fan + "/not-a-digest")));
    EXPECT_TRUE(exists(at("blobs/sha256/" + fan + "/" + upper_hex)));
    EXPECT_TRUE(exists(at("blobs/sha256/" + made_up_hex("dd", 2))));

    // Emptied fan-out directories go; those still holding something stay.
    for (const std::string &hex : gone) {
        bool holds_other = hex.substr(0, 2) == fan;
        for (const std::string &k : kept)
            holds_other = holds_other || k.substr(0, 2) == hex.substr(0, 2);
        EXPECT_EQ(holds_other, exists(at("blobs/sha256/" + hex.substr(0, 2)))) << hex;
    }
    EXPECT_TRUE(exists(at("blobs/sha256/" + fan)));
}

TEST_F(GcTest, EmptyRepositoriesMeansEveryBlobIsUnreferenced) {
    std::string a = blob("aaa"), b = blob("bbbbb");
    EXPECT_REPORT((Report{false, 2, 0, 2, 8, 0, 0, 0, false}), gc(0));
    EXPECT_FALSE(exists(blob_path(a)));
    EXPECT_FALSE(exists(blob_path(b)));
    EXPECT_FALSE(exists(at("blobs/sha256/" + a.substr(0, 2))));
}

TEST_F(GcTest, PartFiles) {
    struct Case {
        const char *what;
        const char *name;
        bool directory;
        int age;
        int dry_run;
        int stale;
        int in_progress;
        bool remains;
    } cases[] = {
        // Kept with a margin: the clock may tick between staging and the run.
        {"890 s old is in progress", "a.part", false, 890, 0, 0, 1, true},
        {"a time ahead is in progress", "a.part", false, -60, 0, 0, 1, true},
        {"900 s old is stale", "a.part", false, 900, 0, 1, 0, false},
        {"a dry run counts but keeps", "a.part", false, 900, 1, 1, 0, true},
        {"\".part\" alone is no part file", ".part", false, 0, 0, 0, 0, true},
        {"other names are not part files", "a.partx", false, 0, 0, 0, 0, true},
        {"a directory is no part file", "d.part", true, 0, 0, 0, 0, true},
    };
    for (const Case &c : cases) {
        fs::remove_all(at("uploads"));
        fs::remove_all(at("_gc"));
        fs::create_directories(at("uploads"));
        std::string path = at(std::string("uploads/") + c.name);
        if (c.directory)
            fs::create_directories(path);
        else
            write_all(path, "12345");
        set_mtime(path, time(nullptr) - c.age);
        std::string unreferenced = blob("blob");

        // An upload in progress never stops the run: the blobs it will
        // deliver are safe by their own file times.
        Report expected{c.dry_run != 0, 1, 0, 1, 4, 0, c.stale, c.stale * 5LL, false, 0, c.in_progress};
        EXPECT_REPORT(expected, gc(c.dry_run)) << c.what;
        EXPECT_EQ(c.dry_run != 0, exists(blob_path(unreferenced))) << c.what;
        EXPECT_EQ(c.remains, exists(path)) << c.what;
    }
}

// Every part file is looked at, however many the upload area holds: the
// stale ones go, the one in progress stays, and the run goes on.
TEST_F(GcTest, AnUploadInProgressAmongManyStays) {
    const time_t now = time(nullptr);
    for (int i = 0; i < 600; ++i) {
        std::string path = at("uploads/old-" + std::to_string(i) + ".part");
        write_all(path, "x");
        set_mtime(path, now - 1000);
    }
    // Created last: a directory's enumeration tends to list it after the others.
    write_all(at("uploads/zz-live.part"), "live");
    std::string unreferenced = blob("u");
    EXPECT_REPORT((Report{false, 1, 0, 1, 1, 0, 600, 600, false, 0, 1}), gc(0));
    EXPECT_FALSE(exists(blob_path(unreferenced)));
    EXPECT_TRUE(exists(at("uploads/zz-live.part")));
    EXPECT_TRUE(fs::is_empty(at("uploads")) == false);
    int left = static_cast<int>(std::distance(fs::directory_iterator(at("uploads")), fs::directory_iterator{}));
    EXPECT_EQ(1, left) << "every stale part file is removed";
}

TEST_F(GcTest, CancelMarkerFromBeforeTheRunIsIgnored) {
    std::string unreferenced = blob("x");
    ASSERT_EQ(0, reg_gc_cancel());
    EXPECT_REPORT((Report{false, 1, 0, 1, 1, 0, 0, 0, false}), gc(0));
    EXPECT_FALSE(exists(blob_path(unreferenced)));
    EXPECT_FALSE(exists(at("_gc/cancel")));
}

void cancel_now(void *) { reg_gc_cancel(); }

// A request made once the run has started (here before the first snapshot is
// written, so the mark meets it at its 256th manifest) ends it before any removal.
TEST_F(GcTest, CancelDuringTheMarkRemovesNothing) {
    std::string unreferenced = blob("unreferenced");
    for (int i = 0; i < 300; ++i)
        body("a", image_body(made_up_hex("ab", i)));
    // Discovered after "a": a mark that did not stop would refuse on it.
    body("a/z", "not json");
    auto before = tree();
    // Rename 1 puts the run lock's text in place; rename 2 is the first
    // progress snapshot, after the run cleared old cancel requests.
    plat_hook_inject(PLAT_OP_RENAME, 2, cancel_now, nullptr);
    EXPECT_REPORT((Report{false, 1, 0, 0, 0, 1, 0, 0, true}), gc(0));
    EXPECT_EQ(before, tree());
    EXPECT_FALSE(exists(at("_gc/cancel")));
    EXPECT_EQ(done_snapshot(false, 1, 0, 0, 0, true), masked(progress_file()));
}

TEST_F(GcTest, CancelDuringTheSweepKeepsWhatIsLeft) {
    for (int i = 0; i < 300; ++i)
        blob_named(made_up_hex("aa", i));
    for (int i = 0; i < 300; ++i)
        blob_named(made_up_hex("bb", i));
    plat_hook_inject(PLAT_OP_UNLINK, 10, cancel_now, nullptr);
    EXPECT_REPORT((Report{false, 600, 0, 256, 256, 344, 0, 0, true}), gc(0));
    int left = 0;
    for (const char *fan : {"aa", "bb"})
        if (exists(at(std::string("blobs/sha256/") + fan)))
            left += static_cast<int>(std::distance(fs::directory_iterator(at(std::string("blobs/sha256/") + fan)),
                                                   fs::directory_iterator{}));
    EXPECT_EQ(344, left);
    EXPECT_FALSE(exists(at("_gc/cancel")));
    EXPECT_EQ(done_snapshot(false, 600, 256, 256, 256, true), masked(progress_file()));
}

std::string g_seen_progress;
void read_progress(void *) { g_seen_progress = reg_gc_progress_json(); }

TEST_F(GcTest, ProgressCanBeFollowedDuringTheSweep) {
    for (int i = 0; i < 300; ++i)
        blob_named(made_up_hex("aa", i), "bb");
    g_seen_progress.clear();
    plat_hook_inject(PLAT_OP_UNLINK, 280, read_progress, nullptr);
    EXPECT_REPORT((Report{false, 300, 0, 300, 600, 0, 0, 0, false}), gc(0));
    EXPECT_EQ(R"({"running":true,"phase":"deleting","blobs_scanned":256,"blobs_total":300,"blobs_deleted":256,)"
              R"("bytes_freed":512,"dry_run":false,"started_unix":N,"elapsed_ms":N,"cancelled":false})",
              masked(g_seen_progress));
}

TEST_F(GcTest, ProgressCanBeFollowedDuringTheMark) {
    blob("loose");
    g_seen_progress.clear();
    // Opens: the upload area, the blob store and its one fan-out directory
    // (the count); the fourth is the repositories directory.
    plat_hook_inject(PLAT_OP_DIR_OPEN, 4, read_progress, nullptr);
    EXPECT_REPORT((Report{true, 1, 0, 1, 5, 0, 0, 0, false}), gc(1));
    EXPECT_EQ(R"({"running":true,"phase":"walking","blobs_scanned":0,"blobs_total":1,"blobs_deleted":0,)"
              R"("bytes_freed":0,"dry_run":true,"started_unix":N,"elapsed_ms":N,"cancelled":false})",
              masked(g_seen_progress));
}

// More manifests than one listing of the engine holds, in a fan-out
// directory fuller than that: one run sees every entry, keeps every
// referenced blob and removes every unreferenced one.
TEST_F(GcTest, ManyManifestsAndAFullFanOutDirectory) {
    std::vector<std::string> referenced, unreferenced;
    for (int i = 0; i < 600; ++i) {
        std::string hex = made_up_hex(i < 300 ? "ab" : "cd", i);
        blob_named(hex);
        referenced.push_back(hex);
        body("one", image_body(hex));
    }
    for (int i = 0; i < 300; ++i) {
        std::string hex = made_up_hex("ab", 1000 + i);
        blob_named(hex);
        unreferenced.push_back(hex);
    }
    EXPECT_REPORT((Report{false, 900, 600, 300, 300, 600, 0, 0, false}), gc(0));
    for (const std::string &hex : referenced)
        EXPECT_TRUE(exists(blob_path(hex))) << hex;
    for (const std::string &hex : unreferenced)
        EXPECT_FALSE(exists(blob_path(hex))) << hex;
}

TEST_F(GcTest, MoreRepositoriesThanDiscoveryReturns) {
    std::vector<std::string> blobs;
    for (int i = 0; i < 1100; ++i) {
        std::string hex = made_up_hex("0" + std::to_string(i % 10), i);
        blob_named(hex);
        blobs.push_back(hex);
        char repo[16];
        snprintf(repo, sizeof repo, "r%04d", i);
        body(repo, image_body(hex));
    }
    EXPECT_REPORT((Report{false, 1100, 1100, 0, 0, 1100, 0, 0, false}), gc(0));
    for (const std::string &hex : blobs)
        EXPECT_TRUE(exists(blob_path(hex))) << hex;
}

// The engine stores repositories of up to 128 components, far below where
// ordinary discovery stops looking.
TEST_F(GcTest, DeepRepositoriesAreMarked) {
    std::string deepest;
    for (int i = 0; i < 127; ++i)
        deepest += "a/";
    deepest += "b";
    ASSERT_EQ(255u, deepest.size());
    std::vector<std::string> kept;
    for (const std::string &repo : {std::string("x/y/z/1/2/3/4/5/6/7/8/9"), deepest}) {
        std::string hex = blob("config of " + repo);
        put(repo, "v1", image_body(hex));
        kept.push_back(hex);
    }
    std::string loose = blob("loose");
    EXPECT_REPORT((Report{false, 3, 2, 1, 5, 2, 0, 0, false}), gc(0));
    for (const std::string &hex : kept)
        EXPECT_TRUE(exists(blob_path(hex)));
    EXPECT_FALSE(exists(blob_path(loose)));
}

TEST_F(GcTest, TreeDeeperThanAnyRepositoryRefuses) {
    struct Case {
        const char *what;
        void (*stage)(const std::string &repos);
        std::string error_prefix;
    } cases[] = {
        {"129 levels",
         [](const std::string &repos) {
             std::string dir = repos;
             for (int i = 0; i < 129; ++i)
                 dir += "/d";
             fs::create_directories(dir);
         },
         "(null) repository tree too deep: repositories/d/d/"},
        {"a link back to its own directory",
         [](const std::string &repos) { ASSERT_EQ(0, symlink(".", (repos + "/loop").c_str())); },
         // A link is never followed: the run refuses as soon as it meets one.
         "(null) symbolic link in the repository tree (see registry-admin check): repositories/loop"},
    };
    for (const Case &c : cases) {
        fs::remove_all(at("repositories"));
        fs::create_directories(at("repositories"));
        std::string unreferenced = blob("u");
        c.stage(at("repositories"));
        auto before = tree();
        std::string result = gc(0);
        EXPECT_EQ(0u, result.rfind(c.error_prefix, 0)) << c.what << ": " << result;
        EXPECT_EQ(before, tree()) << c.what;
    }
}

// A run that cannot see every manifest removes nothing, says why, and does
// not leave observers believing it still runs.
TEST_F(GcTest, RefusesWhenAManifestCannotBeSeen) {
    struct Case {
        const char *what;
        void (*stage)(GcTest &t);
        std::string error;
    } cases[] = {
        {"repositories cannot be opened",
         [](GcTest &t) { plat_fault_inject_path(PLAT_OP_DIR_OPEN, t.at("repositories").c_str()); },
         "cannot list repositories: repositories"},
        {"a directory below fails while read",
         [](GcTest &t) { plat_fault_inject_path(PLAT_OP_DIR_READ, t.at("repositories/lib").c_str()); },
         "cannot list repositories: repositories/lib"},
        {"manifests cannot be opened",
         [](GcTest &t) { plat_fault_inject_path(PLAT_OP_DIR_OPEN, t.at("repositories/lib/app/_manifests").c_str()); },
         "cannot list manifests: repositories/lib/app/_manifests"},
        {"manifests fail while read",
         [](GcTest &t) { plat_fault_inject_path(PLAT_OP_DIR_READ, t.at("repositories/lib/app/_manifests").c_str()); },
         "cannot list manifests: repositories/lib/app/_manifests"},
        {"a body over 64 MiB",
         [](GcTest &t) {
             std::string path = t.at("repositories/lib/app/_manifests/" + GcTest::made_up_hex("ff", 1));
             write_all(path, "{}");
             fs::resize_file(path, 67108865);
         },
         "cannot read manifest: repositories/lib/app/_manifests/" + GcTest::made_up_hex("ff", 1)},
        {"a body that is a dangling link",
         [](GcTest &t) {
             std::string path = t.at("repositories/lib/app/_manifests/" + GcTest::made_up_hex("ee", 2));
             ASSERT_EQ(0, symlink("/nonexistent", path.c_str()));
         },
         "cannot read manifest: repositories/lib/app/_manifests/" + GcTest::made_up_hex("ee", 2)},
        {"a body that is not JSON", [](GcTest &t) { t.body("lib/app", "\x01garbage{"); },
         "cannot parse manifest: repositories/lib/app/_manifests/" + sha256_hex("\x01garbage{")},
        {"a body that is not an object", [](GcTest &t) { t.body("lib/app", "[]"); },
         "cannot parse manifest: repositories/lib/app/_manifests/" + sha256_hex("[]")},
        {"the reference set cannot grow", [](GcTest &) { g_fail_ref_growth = true; }, "out of memory"},
    };
    for (const Case &c : cases) {
        fs::remove_all(root_);
        ASSERT_EQ(0, reg_storage_init(root_.c_str()));
        std::string config = blob("config");
        std::string loose = blob("loose");
        put("lib/app", "v1", image_body(config));
        c.stage(*this);
        auto before = tree();

        EXPECT_EQ("(null) " + c.error, gc(0)) << c.what;
        g_fail_ref_growth = false;
        testutil::clear_platform_faults();
        EXPECT_EQ(before, tree()) << c.what;
        EXPECT_EQ(done_snapshot(false, 2, 0, 0, 0, false), masked(progress_file()))
            << c.what << ": " << progress_file();
    }
}

// The blobs need nothing from the upload area: one that cannot be listed
// only keeps its part files for a later run.
TEST_F(GcTest, AnUploadAreaThatCannotBeListedStopsNothing) {
    std::string loose = blob("loose");
    write_all(at("uploads/old.part"), "old");
    set_mtime(at("uploads/old.part"), time(nullptr) - 3600);
    plat_fault_inject_path(PLAT_OP_DIR_OPEN, at("uploads").c_str());
    EXPECT_REPORT((Report{false, 1, 0, 1, 5, 0, 0, 0, false}), gc(0));
    EXPECT_FALSE(exists(blob_path(loose)));
    EXPECT_TRUE(exists(at("uploads/old.part")));
}

// A repository deleted while the run walks is not a reason to refuse.
void delete_repo_b(void *) { reg_repo_delete("b"); }

TEST_F(GcTest, RepositoryDeletedDuringTheMark) {
    std::string a_blob = blob("a"), b_blob = blob("b");
    body("a", image_body(a_blob));
    body("b", image_body(b_blob));
    // Opens so far: the upload area, the blob store and its two fan-out
    // directories, the repositories directory, then "a" and "b" (either
    // order); the first manifests directory is opened next.
    plat_hook_inject(PLAT_OP_DIR_OPEN, 8, delete_repo_b, nullptr);
    std::string result = gc(0);
    ASSERT_NE('(', result[0]) << result;
    EXPECT_TRUE(exists(blob_path(a_blob)));
    EXPECT_FALSE(exists(blob_path(b_blob)));
}

struct late_put {
    std::string repo;
    std::string body;
};
void put_late(void *arg) {
    auto *p = static_cast<late_put *>(arg);
    char digest[80];
    reg_manifest_put(p->repo.c_str(), "late", p->body.data(), p->body.size(), nullptr, digest);
}

// A manifest stored in a repository the mark has already read keeps its
// blobs: the store made them fresh after the run started.
TEST_F(GcTest, ManifestStoredDuringTheMarkKeepsItsBlobs) {
    std::string early = blob("early"), late = blob("late-config"), loose = blob("loose");
    ASSERT_NE(early.substr(0, 2), late.substr(0, 2));
    put("a", "v1", image_body(early));
    put("a/n", "v1", image_body(early));
    // Opens: uploads, the store records, the blob store and its three
    // fan-out directories, the store records again, "repositories", "a",
    // "a/n", the manifests of "a"; the twelfth is the manifests of "a/n",
    // after every body of "a" was read.
    late_put p{"a", image_body(late)};
    plat_hook_inject(PLAT_OP_DIR_OPEN, 12, put_late, &p);
    EXPECT_REPORT((Report{false, 3, 1, 1, 5, 2, 0, 0, false, 1}), gc(0));
    EXPECT_TRUE(exists(blob_path(late)));
    EXPECT_TRUE(exists(blob_path(early)));
    EXPECT_FALSE(exists(blob_path(loose)));
    EXPECT_TRUE(exists(at("repositories/a/_manifests/tags/late/current/link")));
}

void blob_from_a_later_second(void *arg) {
    auto *path = static_cast<std::string *>(arg);
    write_all(*path, "fresh");
    set_mtime(*path, time(nullptr) + 2);
}

// A blob whose upload finished during the run may be waiting for its manifest.
TEST_F(GcTest, BlobWrittenDuringTheRunWaitsForTheNextRun) {
    std::string loose = blob("loose");
    std::string fresh = made_up_hex("77", 1);
    std::string fresh_path = blob_path(fresh);
    // The third open is the blob store's first fan-out directory, during the count.
    plat_hook_inject(PLAT_OP_DIR_OPEN, 3, blob_from_a_later_second, &fresh_path);
    // Kept, yet not in the count made before it was written.
    EXPECT_REPORT((Report{false, 1, 0, 1, 5, 0, 0, 0, false, 1}), gc(0));
    EXPECT_TRUE(exists(fresh_path));
    EXPECT_FALSE(exists(blob_path(loose)));
}

// The grace rule: an unreferenced blob goes only once it was last written
// (or named by a manifest store) at least the grace period ago, and before
// the run started; a time ahead of the clock never counts as old. (Ages that
// must stay young keep a margin: the clock may tick before the run.)
TEST_F(GcTest, GracePeriod) {
    struct Case {
        const char *what;
        const char *settings; // config.json; nullptr: none
        int age;              // seconds since the blob was last written
        bool named_since;     // a manifest store named it since, and it was deleted again
        bool kept;
        int grace; // reported
    } cases[] = {
        {"younger than the grace period", R"({"registry_gc_grace_seconds": 100})", 90, false, true, 100},
        {"as old as the grace period", R"({"registry_gc_grace_seconds": 100})", 100, false, false, 100},
        {"older", R"({"registry_gc_grace_seconds": 100})", 5000, false, false, 100},
        {"no settings file: an hour", nullptr, 3500, false, true, 3600},
        {"no settings file, older than an hour", nullptr, 3600, false, false, 3600},
        {"not a number: an hour", R"({"registry_gc_grace_seconds": "x"})", 3500, false, true, 3600},
        {"named by a manifest store since", R"({"registry_gc_grace_seconds": 100})", 5000, true, true, 100},
        {"no grace period, written as the run starts", R"({"registry_gc_grace_seconds": 0})", 0, false, true, 0},
        {"no grace period, named as the run starts", R"({"registry_gc_grace_seconds": 0})", 5000, true, true, 0},
        {"no grace period, a time ahead", R"({"registry_gc_grace_seconds": 0})", -3600, false, true, 0},
        {"no grace period, two seconds old", R"({"registry_gc_grace_seconds": 0})", 2, false, false, 0},
    };
    for (const Case &c : cases) {
        fs::remove_all(root_);
        ASSERT_EQ(0, reg_storage_init(root_.c_str()));
        unlink("config.json");
        if (c.settings) write_all(cwd_dir_ / "config.json", c.settings);
        std::string hex = blob("blob");
        set_mtime(blob_path(hex), time(nullptr) - c.age);
        if (c.named_since) {
            put("app", "v1", image_body(hex));
            ASSERT_EQ(0, reg_manifest_delete("app", "v1"));
        }
        Report expected{false, 1, 0, c.kept ? 0 : 1, c.kept ? 0 : 4, c.kept ? 1 : 0, 0, 0, false, c.kept ? 1 : 0,
                        0, c.grace};
        EXPECT_REPORT(expected, gc(0)) << c.what;
        EXPECT_EQ(c.kept, exists(blob_path(hex))) << c.what;
    }
}

// Finishing an upload of content already stored makes the stored blob young
// again, as does a blob just moved into the store.
TEST_F(GcTest, FinishedUploadsAreYoung) {
    grace(100);
    const time_t now = time(nullptr);
    std::string stored = blob("stored");
    char id[37], out[80];
    for (const std::string &content : {std::string("stored"), std::string("new")}) {
        ASSERT_EQ(0, reg_blob_start_upload(id));
        ASSERT_EQ(0, reg_blob_append_chunk(id, content.data(), content.size()));
        // Bytes received long ago: the finish, not the last chunk, counts.
        std::string part = at(std::string("uploads/") + id + ".part");
        set_mtime(part, now - 5000);
        ASSERT_EQ(0, reg_blob_finish_upload(id, testutil::sha256_digest(content).c_str(), out));
        EXPECT_GE(mtime_of(sha256_hex(content)), now - 1) << content;
    }
    EXPECT_REPORT((Report{false, 2, 0, 0, 0, 2, 0, 0, false, 2, 0, 100}), gc(0));
}

// A manifest store racing the sweep for an unreferenced, old blob: whatever
// the moment, a store that succeeds leaves its blob stored, and a store that
// fails wrote nothing.
struct race {
    GcTest *test;
    std::string hex;
    std::string blob, aside;
    plat_op op;
    bool (*due)(const race &r); // the moment to store, tested before each call of op
    int put_rc = -2;
    std::string error;
};
void store_when_due(void *arg) {
    auto *r = static_cast<race *>(arg);
    if (!r->due(*r)) {
        plat_hook_inject(r->op, 1, store_when_due, arg);
        return;
    }
    std::string body = image_body(r->hex);
    char digest[80];
    r->put_rc = reg_manifest_put("app", "v1", body.data(), body.size(), nullptr, digest);
    r->error = reg_storage_last_error();
}

TEST_F(GcTest, ManifestStoreRacingTheSweep) {
    struct Case {
        const char *what;
        plat_op op;
        bool (*due)(const race &r);
        bool stored; // the store succeeds and the blob stays
        int deleted;
    } cases[] = {
        // The sweep has found the blob old and is about to move it aside.
        {"store before the move aside", PLAT_OP_RENAME,
         [](const race &r) { return exists(r.blob) && read_all(r.test->at("_gc/progress.json")).find("deleting") != std::string::npos; },
         true, 0},
        // Moved aside and found old again; about to be removed.
        {"store between the move aside and the removal", PLAT_OP_UNLINK, [](const race &r) { return exists(r.aside); },
         true, 0},
        // Removed: the store comes too late and must say so.
        {"store after the removal", PLAT_OP_RMDIR, [](const race &r) { return !exists(r.aside) && !exists(r.blob); },
         false, 1},
    };
    for (const Case &c : cases) {
        fs::remove_all(root_);
        ASSERT_EQ(0, reg_storage_init(root_.c_str()));
        race r{this, blob("old layer"), "", "", c.op, c.due, -2, ""};
        r.blob = blob_path(r.hex);
        r.aside = r.blob + ".aside";
        plat_hook_inject(c.op, 1, store_when_due, &r);
        std::string result = gc(0);
        testutil::clear_platform_faults();
        EXPECT_EQ(std::to_string(c.deleted), result.substr(result.find("\"blobs_deleted\":") + 16, 1))
            << c.what << ": " << result;
        EXPECT_EQ(c.stored ? 0 : -1, r.put_rc) << c.what << ": " << r.error;
        EXPECT_EQ(c.stored, exists(r.blob)) << c.what;
        EXPECT_FALSE(exists(r.aside)) << c.what;
        EXPECT_EQ(c.stored, exists(at("repositories/app/_manifests/tags/v1/current/link"))) << c.what;
        if (!c.stored) {
            EXPECT_EQ("BLOB_UNKNOWN: sha256:" + r.hex, r.error) << c.what;
        }
        // The stored manifest keeps its blob in every later run.
        EXPECT_EQ('{', gc(0)[0]) << c.what;
        EXPECT_EQ(c.stored, exists(r.blob)) << c.what;
    }
}

// Another run puts the blob back from aside (where a run that ended left it)
// just as a manifest store looks for it: the store finds it neither under its
// name nor, a moment later, aside, and then under its name again. The store
// must still make it fresh, or a run that began before the store, and so
// sees neither its record nor its manifest, finds the blob old and removes it.
void put_back_from_aside(void *arg) {
    auto *r = static_cast<race *>(arg);
    fs::rename(r->aside, r->blob);
}
void store_while_put_back(void *arg) {
    auto *r = static_cast<race *>(arg);
    if (!r->due(*r)) {
        plat_hook_inject(r->op, 1, store_while_put_back, arg);
        return;
    }
    // The store's first touch is of the aside name; the put back comes just before it.
    plat_hook_inject(PLAT_OP_TOUCH, 1, put_back_from_aside, arg);
    store_when_due(arg);
}

TEST_F(GcTest, ManifestStoreFindingItsBlobPutBackByAnotherRun) {
    race r{this, blob("old layer"), "", "", PLAT_OP_DIR_OPEN, nullptr, -2, ""};
    r.blob = blob_path(r.hex);
    r.aside = r.blob + ".aside";
    fs::rename(r.blob, r.aside);
    // The run has read the store records and every manifest, and is about to list the blobs.
    r.due = [](const race &x) {
        return read_all(x.test->at("_gc/progress.json")).find("deleting") != std::string::npos;
    };
    plat_hook_inject(r.op, 1, store_while_put_back, &r);
    std::string result = gc(0);
    testutil::clear_platform_faults();
    EXPECT_EQ(0, r.put_rc) << r.error;
    EXPECT_NE(std::string::npos, result.find("\"blobs_deleted\":0,")) << result;
    EXPECT_TRUE(exists(r.blob));
    EXPECT_EQ('{', gc(0)[0]);
    EXPECT_TRUE(exists(r.blob)) << "the stored manifest keeps it";
}

// A store that comes after the run has read the records and every manifest
// (so the run sees neither) names a blob of a given age. The store is held at
// its first file write, past its look at the blob, to see whether it touched
// it; then the run sweeps. A blob within a quarter of the grace period of
// the store is left untouched and must still be young for the run; any older
// one must be made fresh, or the run would take what the store names.
struct fresh_race {
    GcTest *test;
    std::string hex;
    time_t dated = 0;
    time_t at_hold = -2; // the blob's time where the store is held
    int put_rc = -2;
    std::string error{};
};
fresh_race *g_fresh = nullptr;

void note_blob_time(void *) { g_fresh->at_hold = g_fresh->test->mtime_of(g_fresh->hex); }

void store_after_marking(void *) {
    fresh_race &r = *g_fresh;
    if (read_all(r.test->at("_gc/progress.json")).find("deleting") == std::string::npos) {
        plat_hook_inject(PLAT_OP_DIR_OPEN, 1, store_after_marking, nullptr);
        return;
    }
    // The store's first temporary is its manifest body: the record is
    // written in place and the blob looked at before it.
    plat_hook_inject(PLAT_OP_CREATE_TEMP, 1, note_blob_time, nullptr);
    std::string body = image_body(r.hex);
    char digest[80];
    r.put_rc = reg_manifest_put("app", "v1", body.data(), body.size(), nullptr, digest);
    r.error = reg_storage_last_error();
}

TEST_F(GcTest, AStoreTouchesOnlyBlobsOlderThanAQuarterOfTheGracePeriod) {
    struct Case {
        const char *what;
        int grace, age;
        bool touched;
    } cases[] = {
        {"a tenth of the grace period old: left as it is", 400, 40, false},
        {"older than a quarter: touched", 400, 150, true},
        {"older than the grace period: touched, or the run takes it", 400, 5000, true},
        {"no grace period, two seconds old: touched", 0, 2, true},
        {"no grace period, older than an hour: touched", 0, 5000, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(root_);
        ASSERT_EQ(0, reg_storage_init(root_.c_str()));
        grace(c.grace);
        fresh_race r{this, sha256_hex(c.what)};
        blob_named(r.hex);
        r.dated = time(nullptr) - c.age;
        set_mtime(blob_path(r.hex), r.dated);
        g_fresh = &r;
        plat_hook_inject(PLAT_OP_DIR_OPEN, 1, store_after_marking, nullptr);
        std::string result = gc(0);
        testutil::clear_platform_faults();
        g_fresh = nullptr;
        ASSERT_EQ(0, r.put_rc) << r.error;
        if (c.touched)
            EXPECT_GT(r.at_hold, r.dated);
        else
            EXPECT_EQ(r.dated, r.at_hold);
        EXPECT_NE(std::string::npos, result.find("\"blobs_deleted\":0,")) << result;
        EXPECT_TRUE(exists(blob_path(r.hex))) << "the stored manifest names it";
        EXPECT_EQ('{', gc(0)[0]);
        EXPECT_TRUE(exists(blob_path(r.hex)));
    }
}

// A manifest store in flight (its record written, its files not yet) keeps
// every blob it names; a record abandoned for 900 s is removed and keeps nothing.
TEST_F(GcTest, StoreRecords) {
    struct Case {
        const char *what;
        std::string record;
        int age;
        bool kept;
        bool record_remains;
    } cases[] = {
        {"a store in flight", image_body(made_up_hex("ab", 1)), 0, true, true},
        {"a store in flight for 850 s", image_body(made_up_hex("ab", 1)), 850, true, true},
        {"abandoned", image_body(made_up_hex("ab", 1)), 950, false, false},
        {"still being written", R"({"schemaVersion":2,"config":{"dig)", 0, false, true},
    };
    for (const Case &c : cases) {
        fs::remove_all(root_);
        ASSERT_EQ(0, reg_storage_init(root_.c_str()));
        blob_named(made_up_hex("ab", 1));
        std::string record = at("_gc/intents/123-record");
        write_all(record, c.record);
        set_mtime(record, time(nullptr) - c.age);
        std::string result = gc(0);
        EXPECT_EQ('{', result[0]) << c.what << ": " << result;
        EXPECT_EQ(c.kept, exists(blob_path(made_up_hex("ab", 1)))) << c.what;
        EXPECT_EQ(c.record_remains, exists(record)) << c.what;
    }
    // A store removes its record when it ends, stored or refused.
    fs::remove_all(at("_gc/intents"));
    std::string config = blob("config");
    put("app", "v1", image_body(config));
    char digest[80];
    std::string missing = image_body(made_up_hex("cd", 2));
    EXPECT_EQ(-1, reg_manifest_put("app", "v2", missing.data(), missing.size(), nullptr, digest));
    EXPECT_TRUE(fs::is_empty(at("_gc/intents")));
}

// A blob a run left aside when it ended between moving it and removing it
// goes back under its name; the same content stored again wins.
TEST_F(GcTest, BlobsLeftAsideGoBack) {
    std::string alone = blob("alone"), twice = blob("twice");
    std::string alone_aside = blob_path(alone) + ".aside", twice_aside = blob_path(twice) + ".aside";
    fs::rename(blob_path(alone), alone_aside);
    fs::copy_file(blob_path(twice), twice_aside);
    write_all(at("blobs/sha256/" + alone.substr(0, 2) + "/not-a-digest.aside"), "x");
    auto before_dry = tree();
    EXPECT_EQ('{', gc(1)[0]);
    EXPECT_EQ(before_dry, tree()) << "a dry run moves nothing";
    EXPECT_EQ('{', gc(0)[0]);
    EXPECT_TRUE(exists(blob_path(alone)));
    EXPECT_FALSE(exists(alone_aside));
    EXPECT_FALSE(exists(twice_aside));
    EXPECT_FALSE(exists(blob_path(twice))) << "unreferenced and old";
    EXPECT_TRUE(exists(at("blobs/sha256/" + alone.substr(0, 2) + "/not-a-digest.aside")));
    // Back under its name, it is an unreferenced old blob like any other.
    EXPECT_EQ('{', gc(0)[0]);
    EXPECT_FALSE(exists(blob_path(alone)));
}

TEST_F(GcTest, ReferenceSet) {
    ref_set set;
    const std::string hex = made_up_hex("ab", 7);
    struct Case {
        const char *what;
        std::optional<std::string> text;
        bool added;
    } cases[] = {
        {"null", std::nullopt, false},
        {"valid", "sha256:" + hex, true},
        {"duplicate kept", "sha256:" + hex, true},
        {"upper-case prefix", "SHA256:" + hex, false},
        {"upper-case digit", "sha256:A" + hex.substr(1), false},
        {"other algorithm", "sha512:" + hex, false},
        {"63 digits", "sha256:" + hex.substr(1), false},
        {"65 digits", "sha256:" + hex + "0", false},
        {"no prefix", hex, false},
    };
    int expected = 0;
    for (const Case &c : cases) {
        EXPECT_EQ(0, hashset_add_digest(&set, c.text ? c.text->c_str() : nullptr)) << c.what;
        expected += c.added ? 1 : 0;
        EXPECT_EQ(expected, set.count) << c.what;
    }
    // Growth keeps every digest: 256 slots first, then doubled.
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(0, hashset_add_digest(&set, ("sha256:" + made_up_hex("c", i)).c_str()));
    EXPECT_EQ(1024, set.capacity);
    ref_set_sort(&set);
    for (int i = 1; i < set.count; ++i)
        ASSERT_LE(hex64_cmp(set.entries[i - 1], set.entries[i]), 0);
    for (int i = 0; i < 600; ++i)
        EXPECT_TRUE(ref_set_contains(&set, made_up_hex("c", i).c_str())) << i;
    EXPECT_TRUE(ref_set_contains(&set, hex.c_str()));
    EXPECT_FALSE(ref_set_contains(&set, made_up_hex("c", 600).c_str()));
    EXPECT_FALSE(ref_set_contains(&set, made_up_hex("f", 0).c_str()));

    ref_set empty;
    EXPECT_FALSE(ref_set_contains(&empty, hex.c_str()));
}

} // namespace
