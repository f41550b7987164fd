// Race test: each deletion against the store it can meet, two writers on one
// upload session, collections started at once. Every round forks the two
// sides (or several starters), lets them run to their end, then checks the
// whole tree: no stored manifest names a missing blob or child, no tag names
// a missing manifest. Rounds are counted, never timed; nothing sleeps.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tests/test_util.h"

namespace {

constexpr int kRounds = 40;

// What a side's outcome was, as its exit status.
enum outcome : int { done = 0, refused_denied = 1, refused_conflict = 2, refused_not_found = 3, failed = 9 };

int outcome_of(int rc) {
    if (rc == 0) return done;
    switch (reg_storage_last_error_kind()) {
    case REG_ERR_DENIED: return refused_denied;
    case REG_ERR_CONFLICT: return refused_conflict;
    case REG_ERR_NOT_FOUND: return refused_not_found;
    default: return failed;
    }
}

// Runs each side in a process of its own, all at once; their outcomes.
std::vector<int> race(const std::vector<std::function<int()>> &sides) {
    int go[2];
    EXPECT_EQ(0, pipe(go));
    std::vector<pid_t> pids;
    for (const auto &side : sides) {
        pid_t pid = fork();
        if (pid == 0) {
            // Every side starts when the pipe closes: as close together as forks allow.
            close(go[1]);
            char byte;
            (void)!read(go[0], &byte, 1);
            _exit(side());
        }
        pids.push_back(pid);
    }
    close(go[0]);
    close(go[1]);
    std::vector<int> outcomes;
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        outcomes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
    }
    return outcomes;
}

class DeletionRace : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::write_all(dir_ / "config.json", R"({"registry_gc_grace_seconds": 0})");
        root_ = dir_ / "root";
        ASSERT_EQ(0, reg_storage_init(root_.c_str())) << reg_storage_last_error();
    }
    void TearDown() override { reg_storage_cleanup(); }

    std::string blob(const std::string &content) {
        char id[37];
        EXPECT_EQ(0, reg_blob_start_upload(id));
        EXPECT_EQ(0, reg_blob_append_chunk(id, content.data(), content.size()));
        std::string digest = testutil::sha256_digest(content);
        char out[72];
        EXPECT_EQ(0, reg_blob_finish_upload(id, digest.c_str(), out)) << reg_storage_last_error();
        return digest;
    }

    static std::string image(const std::string &config, const std::string &layer) {
        return R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":")" +
               config + R"(","size":1},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":")" +
               layer + R"(","size":1}]})";
    }

    // An image naming a config and any number of layers.
    static std::string image_of(const std::string &config, const std::vector<std::string> &layers) {
        std::string text = R"({"schemaVersion":2,"config":{"digest":")" + config + R"(","size":1},"layers":[)";
        for (size_t i = 0; i < layers.size(); ++i)
            text += (i ? "," : "") + std::string(R"({"digest":")") + layers[i] + R"(","size":1})";
        return text + "]}";
    }

    static std::string index(const std::string &child) {
        return R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":")" +
               child + R"(","size":1}]})";
    }

    static int put(const std::string &repo, const std::string &ref, const std::string &body) {
        char digest[72];
        return reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), nullptr, digest);
    }

    // The whole tree as the tree check sees it: no problem of any kind.
    void expect_tree_sound(int round) {
        const char *report = reg_check_json(0, nullptr, nullptr);
        ASSERT_NE(nullptr, report) << reg_storage_last_error();
        EXPECT_NE(nullptr, strstr(report, "\"problems\":0,")) << "round " << round << ": " << report;
    }

    testutil::TempDir dir_;
    testutil::ScopedCwd cwd_{dir_.path()};
    std::string root_;
};

// The two outcomes together: never a server failure, and the deletion
// refused exactly when the store won.
void expect_outcomes(const std::vector<int> &got, int round) {
    for (int o : got)
        EXPECT_NE(failed, o) << "round " << round;
    for (int o : got)
        EXPECT_NE(99, o) << "round " << round << ": a side crashed";
}

TEST_F(DeletionRace, ManifestStoreAgainstBlobDelete) {
    int stored = 0, deleted = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::string config = blob("config " + std::to_string(round));
        std::string layer = blob("layer " + std::to_string(round));
        std::string body = image(config, layer);
        std::vector<int> got = race({[&] { return outcome_of(put("app", "t" + std::to_string(round), body)); },
                                     [&] { return outcome_of(reg_blob_delete(layer.c_str())); }});
        expect_outcomes(got, round);
        stored += got[0] == done;
        deleted += got[1] == done;
        char type[128], digest[72];
        char *text = nullptr;
        size_t len = 0;
        bool present = reg_manifest_read("app", ("t" + std::to_string(round)).c_str(), &text, &len, type, digest) == 0;
        free(text);
        EXPECT_EQ(got[0] == done, present) << "round " << round;
        // Both answered success only when the deletion came first... which
        // the store then cannot have passed: a stored manifest keeps its layer.
        if (present) {
            EXPECT_EQ(1, reg_blob_exists(layer.c_str())) << "round " << round;
        }
        expect_tree_sound(round);
    }
    printf("stores %d, blob deletions %d of %d rounds\n", stored, deleted, kRounds);
}

TEST_F(DeletionRace, TagStoreAgainstRepositoryDelete) {
    std::string body = image(blob("config"), blob("layer"));
    std::string other = image(blob("config 2"), blob("layer 2"));
    int stored = 0, deleted = 0;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(0, put("team/app", "base", body)) << reg_storage_last_error();
        std::string tag = "t" + std::to_string(round);
        std::vector<int> got = race({[&] { return outcome_of(put("team/app", tag, other)); },
                                     [&] { return outcome_of(reg_repo_delete("team/app")); }});
        expect_outcomes(got, round);
        stored += got[0] == done;
        deleted += got[1] == done;
        // Came first or second, the deletion took the whole repository or
        // the store's tag stands whole after it.
        EXPECT_EQ(done, got[1]) << "round " << round;
        expect_tree_sound(round);
        reg_repo_delete("team/app");
    }
    printf("tag stores %d, repository deletions %d of %d rounds\n", stored, deleted, kRounds);
}

TEST_F(DeletionRace, ManifestDeleteAgainstIndexStore) {
    int stored = 0, deleted = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::string child = image(blob("c" + std::to_string(round)), blob("l" + std::to_string(round)));
        std::string child_digest = testutil::sha256_digest(child);
        ASSERT_EQ(0, put("multi", child_digest, child)) << reg_storage_last_error();
        std::vector<int> got =
            race({[&] { return outcome_of(put("multi", "i" + std::to_string(round), index(child_digest))); },
                  [&] { return outcome_of(reg_manifest_delete("multi", child_digest.c_str())); }});
        expect_outcomes(got, round);
        stored += got[0] == done;
        deleted += got[1] == done;
        EXPECT_FALSE(got[0] == done && got[1] == done) << "round " << round << ": both won";
        expect_tree_sound(round);
    }
    printf("index stores %d, child deletions %d of %d rounds\n", stored, deleted, kRounds);
    // The refusal of a deletion while an index lists its manifest, without a race.
    std::string child = image(blob("kept child"), blob("kept layer"));
    std::string child_digest = testutil::sha256_digest(child);
    ASSERT_EQ(0, put("multi", child_digest, child));
    ASSERT_EQ(0, put("multi", "listed", index(child_digest)));
    EXPECT_EQ(-1, reg_manifest_delete("multi", child_digest.c_str()));
    EXPECT_EQ(REG_ERR_DENIED, reg_storage_last_error_kind());
    EXPECT_NE(nullptr, strstr(reg_storage_last_error(), "multi@sha256:")) << reg_storage_last_error();
}

long feed(void *ctx, void *buf, size_t cap) {
    auto *left = static_cast<size_t *>(ctx);
    size_t n = cap < *left ? cap : *left;
    memset(buf, 'x', n);
    *left -= n;
    return static_cast<long>(n);
}

TEST_F(DeletionRace, TwoAppendsOnOneSession) {
    constexpr size_t kChunk = 4 << 20;
    int both = 0;
    for (int round = 0; round < kRounds / 4; ++round) {
        char id[37];
        ASSERT_EQ(0, reg_upload_start("app", id));
        auto append = [&]() -> int {
            size_t left = kChunk;
            int64_t size = -1;
            int rc = reg_upload_append_from(id, 0, feed, &left, &size);
            // A refused writer is told the true size: at most what the other wrote.
            if (rc != 0 && (size < 0 || size > static_cast<int64_t>(kChunk))) return failed;
            return outcome_of(rc);
        };
        std::vector<int> got = race({append, append});
        expect_outcomes(got, round);
        int done_count = (got[0] == done) + (got[1] == done);
        EXPECT_EQ(1, done_count) << "round " << round << ": both appends at offset 0 succeeded";
        both += done_count == 2;
        int64_t size = 0;
        ASSERT_EQ(0, reg_blob_upload_size(id, &size));
        EXPECT_EQ(static_cast<int64_t>(kChunk), size) << "round " << round;
        reg_blob_cancel_upload(id);
    }
}

// The other side held at the worst point of one side, by a hook: the
// interleaving the forked rounds above meet only by chance, every time.
std::function<void()> g_interloper;
int g_interloper_rc = -2;
void run_interloper(void *) { g_interloper(); }

TEST_F(DeletionRace, EachDeletionMeetsItsStoreAtTheWorstPoint) {
    std::string layer = blob("held layer");
    std::string first_body = image(blob("held config"), layer);
    std::string body = image(blob("other config"), blob("other layer"));
    std::string child_digest = testutil::sha256_digest(body);
    std::string tagged = image(blob("tagged config"), blob("tagged layer"));
    std::string last = blob("last layer");
    std::string three = image_of(blob("c4"), {blob("l4a"), blob("l4b"), last});
    struct Row {
        const char *name;
        std::function<void()> setup;
        plat_op op; // held just before this call of the first side
        int nth;
        std::function<int()> first;
        std::function<int()> second; // runs inside the hook
        int first_expected, second_expected;
        std::string at = ""; // when given, held before the first call on this path instead
    } rows[] = {
        // The blob deletion has looked at every manifest and is about to
        // remove the blob when the store comes: the store is refused.
        {"blob delete, then a store naming it", [] {}, PLAT_OP_UNLINK, 1,
         [&] { return outcome_of(reg_blob_delete(layer.c_str())); },
         [&] { return outcome_of(put("held", "v1", first_body)); }, done, refused_not_found},
        // The manifest deletion is about to remove its files when an index
        // listing it is stored: the index is refused.
        {"manifest delete, then an index listing it", [&] { ASSERT_EQ(0, put("held", child_digest, body)); },
         PLAT_OP_UNLINK, 1, [&] { return outcome_of(reg_manifest_delete("held", child_digest.c_str())); },
         [&] { return outcome_of(put("held", "idx", index(child_digest))); }, done, refused_not_found},
        // The same with the deleted blob the last of several the store names:
        // the one listing of the marks finds it wherever it comes.
        {"blob delete, then a store naming it last of three layers", [] {}, PLAT_OP_UNLINK, 1,
         [&] { return outcome_of(reg_blob_delete(last.c_str())); },
         [&] { return outcome_of(put("held", "v4", three)); },
         done, refused_not_found},
        // The store has written its body and is about to write the rest when
        // the repository goes: it writes again and stands whole.
        {"tag store, then the repository deleted", [&] { ASSERT_EQ(0, put("held", "base", body)); },
         // renames: the body, then the content type (the record is written in place)
         PLAT_OP_RENAME, 2, [&] { return outcome_of(put("held", "v2", tagged)); },
         [&] { return outcome_of(reg_repo_delete("held")); }, done, done},
        // Later: the body, content type and revision link are written and
        // the tag's directories are being made (a new repository directory
        // then): without the store's second look its tag would name nothing.
        {"tag store, then the repository deleted before the tag", [&] { ASSERT_EQ(0, put("held", "base", body)); },
         PLAT_OP_MKDIR, 0, [&] { return outcome_of(put("held", "v3", tagged)); },
         [&] { return outcome_of(reg_repo_delete("held")); }, done, done,
         root_ + "/repositories/held/_manifests/tags/v3/current"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        row.setup();
        g_interloper = [&] { g_interloper_rc = row.second(); };
        g_interloper_rc = -2;
        if (row.at.empty())
            plat_hook_inject(row.op, row.nth, run_interloper, nullptr);
        else
            plat_hook_inject_path(row.op, row.at.c_str(), run_interloper, nullptr);
        int first = row.first();
        plat_hook_inject(row.op, 0, nullptr, nullptr);
        plat_hook_inject_path(row.op, nullptr, nullptr, nullptr);
        EXPECT_EQ(row.first_expected, first) << reg_storage_last_error();
        EXPECT_EQ(row.second_expected, g_interloper_rc) << "the hook ran and answered so";
        expect_tree_sound(0);
        reg_repo_delete("held");
    }
}

// Marks standing by hand, as a deletion on another host leaves them while it
// runs: a store finds each that names what it stores or names, wherever in
// the body; a mark older than the abandon time is passed over.
TEST_F(DeletionRace, AStoreFindsEveryStandingMarkOfWhatItNames) {
    std::string config = blob("mark config");
    std::vector<std::string> layers = {blob("mark l1"), blob("mark l2"), blob("mark l3")};
    std::string body = image_of(config, layers);
    std::string child = image(blob("mark child c"), blob("mark child l"));
    ASSERT_EQ(0, put("marked", testutil::sha256_digest(child), child)) << reg_storage_last_error();
    const std::string marks = root_ + "/_gc/deleting/";
    struct Row {
        std::string marked; // digest whose mark stands
        bool stale;
        std::string body;
        int expected;
    } rows[] = {
        {testutil::sha256_digest(body), false, body, refused_conflict},
        {config, false, body, refused_not_found},
        {layers[2], false, body, refused_not_found},
        {layers[2], true, body, done},
        {blob("unrelated"), false, body, done},
        {testutil::sha256_digest(child), false, index(testutil::sha256_digest(child)), refused_not_found},
    };
    int n = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.marked + (row.stale ? " (stale)" : ""));
        std::string mark = marks + row.marked.substr(7);
        testutil::write_all(mark, "");
        if (row.stale) {
            struct timespec times[2] = {{plat_wall_seconds() - 901, 0}, {plat_wall_seconds() - 901, 0}};
            ASSERT_EQ(0, utimensat(AT_FDCWD, mark.c_str(), times, 0));
        }
        std::string tag = "t" + std::to_string(n++);
        EXPECT_EQ(row.expected, outcome_of(put("marked", tag, row.body))) << reg_storage_last_error();
        EXPECT_EQ(row.expected == done, testutil::exists(root_ + "/repositories/marked/_manifests/tags/" + tag));
        unlink(mark.c_str());
    }
}

// The marks directory stands only while deletions run, and a deletion whose
// directory another deletion removed on ending, between its making and the
// mark's create, makes it again and takes its mark.
TEST_F(DeletionRace, TheMarksDirectoryGoesWithTheLastDeletion) {
    std::string first = blob("first orphan"), second = blob("second orphan");
    const std::string dir = root_ + "/_gc/deleting";
    static std::string g_first;
    static int g_first_rc;
    g_first = first;
    g_first_rc = -2;
    // The second deletion's first create finds no directory and makes it; the
    // first deletion runs whole just before its second create.
    plat_hook_inject(
        PLAT_OP_CREATE_EXCL, 2, [](void *) { g_first_rc = reg_blob_delete(g_first.c_str()); }, nullptr);
    int rc = reg_blob_delete(second.c_str());
    plat_hook_inject(PLAT_OP_CREATE_EXCL, 0, nullptr, nullptr);
    EXPECT_EQ(0, g_first_rc) << "the hook ran and the first deletion ended";
    EXPECT_EQ(0, rc) << reg_storage_last_error();
    EXPECT_EQ(0, reg_blob_exists(first.c_str()));
    EXPECT_EQ(0, reg_blob_exists(second.c_str()));
    EXPECT_FALSE(testutil::exists(dir)) << "left behind by the last deletion";
    // A deletion refused by a standing mark leaves that mark and its directory.
    testutil::write_all(dir + "/" + first.substr(7), "");
    EXPECT_EQ(-1, reg_blob_delete(first.c_str()));
    EXPECT_EQ(REG_ERR_CONFLICT, reg_storage_last_error_kind());
    EXPECT_TRUE(testutil::exists(dir + "/" + first.substr(7)));
}

std::string g_lock_text, g_holder;
bool g_holder_seen = false;
void check_holder(void *) { g_holder_seen = testutil::read_all(g_lock_text) == g_holder; }

TEST_F(DeletionRace, CollectionsStartedAtOnce) {
    char host[256] = "";
    gethostname(host, sizeof host);
    for (int round = 0; round < kRounds / 4; ++round) {
        blob("orphan " + std::to_string(round));
        // Each run looks, once it runs, whether the lock names it and no other.
        auto collect = [&]() -> int {
            g_lock_text = root_ + "/_gc/run.lock";
            g_holder = std::string(host) + " " + std::to_string(getpid());
            plat_hook_inject(PLAT_OP_DIR_OPEN, 1, check_holder, nullptr);
            const char *report = reg_gc_json(0);
            if (!report) return outcome_of(-1);
            return g_holder_seen ? done : failed;
        };
        std::vector<std::function<int()>> sides(6, collect);
        std::vector<int> got = race(sides);
        expect_outcomes(got, round);
        int ran = 0;
        for (int o : got) {
            ran += o == done;
            EXPECT_TRUE(o == done || o == refused_conflict) << "round " << round << ": " << o;
        }
        EXPECT_GE(ran, 1) << "round " << round;
        EXPECT_FALSE(testutil::exists(root_ + "/_gc/run.lock")) << "round " << round << ": lock left behind";
        expect_tree_sound(round);
    }
}

} // namespace
