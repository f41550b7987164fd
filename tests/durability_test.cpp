// Tests that nothing stored is lost or left half written: every file operation of a write path failed in turn,
// and a process killed at every step of it.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string_view>
#include <string>
#include <vector>

#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/alloc_fault.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::sha256_digest;

// Every operation of the platform layer that a write path may call; the
// random source only draws upload ids.
const std::vector<plat_op> kFileOps = {
    PLAT_OP_MKDIR,       PLAT_OP_RMDIR,     PLAT_OP_UNLINK,       PLAT_OP_RENAME,   PLAT_OP_OPEN_APPEND,
    PLAT_OP_CREATE_EXCL, PLAT_OP_OPEN_EXISTING, PLAT_OP_DIR_OPEN, PLAT_OP_DIR_READ, PLAT_OP_OPEN_READ,
    PLAT_OP_READ,        PLAT_OP_WRITE,     PLAT_OP_FSYNC,        PLAT_OP_FSYNC_DIR, PLAT_OP_CLOSE,
    PLAT_OP_CREATE_TEMP,
};
constexpr int kCallsMax = 400; // far more calls than any one write path makes

// The tree below a root: relative path to "<dir>" or the file's bytes, the
// upload id replaced so that runs with different ids compare. Temporaries
// are listed apart. The collection's bookkeeping (_gc: progress, the records
// a manifest store keeps while it runs, which expire) is no stored data.
struct tree {
    std::map<std::string, std::string> entries;
    std::vector<std::string> temporaries;
};

tree read_tree(const std::string &root, const std::string &upload_id) {
    tree t;
    for (const auto &[path, content] : testutil::snapshot(root)) {
        std::string rel = path.substr(root.size() + 1);
        if (rel == "_gc" || rel.rfind("_gc/", 0) == 0) continue;
        // A killed writer's session lock: the next writer takes it over.
        if (rel.rfind("uploads/_state/", 0) == 0 && rel.find(".lock") != std::string::npos) continue;
        if (!upload_id.empty())
            if (size_t at = rel.find(upload_id); at != std::string::npos) rel.replace(at, upload_id.size(), "<id>");
        if (plat_is_temp_name(fs::path(rel).filename().c_str()))
            t.temporaries.push_back(rel);
        else
            t.entries[rel] = content;
    }
    return t;
}

// Every file is whole, as it was before or as the operation leaves it; a file
// that both states hold is still there. Directories may come and go.
void expect_old_or_new(const tree &got, const tree &old_state, const tree &new_state) {
    for (const auto &[rel, content] : got.entries) {
        if (content == "<dir>") continue;
        auto o = old_state.entries.find(rel);
        auto n = new_state.entries.find(rel);
        bool as_old = o != old_state.entries.end() && o->second == content;
        bool as_new = n != new_state.entries.end() && n->second == content;
        EXPECT_TRUE(as_old || as_new) << rel << " holds " << content.size() << " bytes: \"" << content.substr(0, 80)
                                      << "\"";
    }
    for (const auto &[rel, content] : old_state.entries) {
        auto n = new_state.entries.find(rel);
        if (content == "<dir>" || n == new_state.entries.end()) continue;
        EXPECT_TRUE(got.entries.count(rel)) << rel << " was lost";
    }
}

// A directory on a memory file system when there is one: the tests flush
// hundreds of times, and a disk would make that slow without making it truer.
class FastDir {
public:
    FastDir() {
        std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
        std::string tmpl = base + "/regdurable-XXXXXX";
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~FastDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    FastDir(const FastDir &) = delete;
    FastDir &operator=(const FastDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// True when text is one whole JSON object.
bool is_json_object(const std::string &text) {
    json_doc *doc = json_read(text.data(), text.size());
    bool ok = json_is_obj(json_doc_root(doc)) != 0;
    json_doc_free(doc);
    return ok;
}

// One write path: what the tree holds before it, and the operation.
struct scenario {
    const char *name;
    std::function<void()> setup;
    std::function<int()> operation;
};

// The tests run where the settings file gives collections no grace period,
// so that the blobs the collection's setup dates back are old.
class DurabilityTest : public ::testing::Test {
protected:
    DurabilityTest() { testutil::write_all(dir_.path() + "/config.json", "{\"registry_gc_grace_seconds\": 0}"); }

    void TearDown() override {
        testutil::fail_allocations = false;
        reg_storage_cleanup();
        testutil::clear_platform_faults();
        s_fsync = 1;
    }

    // A fresh storage root for each run; the setup writes without flushing
    // (only the operation under test needs to), the operation flushes.
    std::string fresh_root() {
        reg_storage_cleanup();
        std::string root = dir_.path() + "/r" + std::to_string(++runs_);
        EXPECT_EQ(0, reg_storage_init(root.c_str())) << reg_storage_last_error();
        s_fsync = 0;
        return root;
    }

    void prepare(const scenario &sc, std::string &root) {
        root = fresh_root();
        upload_id_.clear();
        sc.setup();
        s_fsync = 1;
    }

    std::string blob(const std::string &content) {
        char id[40], digest[80];
        EXPECT_EQ(0, reg_blob_start_upload(id));
        EXPECT_EQ(0, reg_blob_append_chunk(id, content.data(), content.size()));
        EXPECT_EQ(0, reg_blob_finish_upload(id, sha256_digest(content).c_str(), digest)) << reg_storage_last_error();
        return digest;
    }

    static std::string image(const std::string &config, const std::string &layer) {
        return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"config\":"
               "{\"digest\":\"" +
               config + "\",\"size\":1},\"layers\":[{\"digest\":\"" + layer + "\",\"size\":1}]}";
    }

    static int put(const std::string &repo, const std::string &tag, const std::string &body) {
        char digest[80];
        return reg_manifest_put(repo.c_str(), tag.c_str(), body.data(), body.size(), "", digest);
    }

    std::vector<scenario> scenarios() {
        return {
            {"manifest store",
             [this] {
                 body1_ = image(blob("config-1"), blob("layer-1"));
             },
             [this] { return put("lib/app", "v1", body1_); }},
            {"upload finish",
             [this] {
                 char id[40];
                 ASSERT_EQ(0, reg_blob_start_upload(id));
                 upload_id_ = id;
                 ASSERT_EQ(0, reg_blob_append_chunk(id, "layer bytes", 11));
             },
             [this] {
                 char digest[80];
                 return reg_blob_finish_upload(upload_id_.c_str(), sha256_digest("layer bytes").c_str(), digest);
             }},
            {"tag move",
             [this] {
                 body1_ = image(blob("config-1"), blob("layer-1"));
                 body2_ = image(blob("config-2"), blob("layer-2"));
                 ASSERT_EQ(0, put("lib/app", "v1", body1_));
                 ASSERT_EQ(0, put("lib/app", "v0", body1_));
             },
             [this] { return put("lib/app", "v1", body2_); }},
            {"repository deletion",
             [this] {
                 body1_ = image(blob("config-1"), blob("layer-1"));
                 body2_ = image(blob("config-2"), blob("layer-2"));
                 ASSERT_EQ(0, put("lib/app", "v1", body1_));
                 ASSERT_EQ(0, put("lib/app", "v2", body2_));
                 ASSERT_EQ(0, put("lib/other", "v1", body1_));
             },
             [] { return reg_repo_delete("lib/app"); }},
        };
    }

    // The trees before and after one undisturbed run.
    void reference(const scenario &sc, tree &old_state, tree &new_state) {
        std::string root;
        prepare(sc, root);
        old_state = read_tree(root, upload_id_);
        ASSERT_EQ(0, sc.operation()) << reg_storage_last_error();
        new_state = read_tree(root, upload_id_);
        ASSERT_NE(old_state.entries, new_state.entries);
    }

    // Part files left by a killed upload would make a collection wait for them.
    static void age_uploads(const std::string &root) {
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(root + "/uploads", ec)) {
            struct timespec times[2] = {{plat_wall_seconds() - 7200, 0}, {plat_wall_seconds() - 7200, 0}};
            utimensat(AT_FDCWD, entry.path().c_str(), times, 0);
        }
    }

    // The collection's tree: an image still tagged, an image whose repository
    // was deleted, blobs no manifest ever named and an upload abandoned long
    // ago, every blob dated back so that each unreferenced one is old; an
    // earlier run left its progress record.
    void prepare_collection(std::string &root) {
        root = fresh_root();
        upload_id_.clear();
        body1_ = image(blob("config-1"), blob("layer-1"));
        ASSERT_EQ(0, put("lib/app", "v1", body1_));
        ASSERT_NE(nullptr, reg_gc_json(0)) << reg_storage_last_error();
        body2_ = image(blob("config-2"), blob("layer-2"));
        ASSERT_EQ(0, put("lib/gone", "v1", body2_));
        ASSERT_EQ(0, reg_repo_delete("lib/gone"));
        for (const char *content : {"orphan-1", "orphan-2", "orphan-3", "orphan-4"})
            blob(content);
        char id[40];
        ASSERT_EQ(0, reg_blob_start_upload(id));
        upload_id_ = id;
        ASSERT_EQ(0, reg_blob_append_chunk(id, "abandoned", 9));
        age_uploads(root);
        std::error_code ec;
        for (const auto &entry : fs::recursive_directory_iterator(root + "/blobs", ec)) {
            struct timespec times[2] = {{plat_wall_seconds() - 60, 0}, {plat_wall_seconds() - 60, 0}};
            if (entry.is_regular_file()) utimensat(AT_FDCWD, entry.path().c_str(), times, 0);
        }
        s_fsync = 1;
    }

    // What an interrupted collection may leave: every file whole, old or new;
    // besides them only blobs the new state no longer holds, moved aside and
    // whole; a whole progress record. Answers whether a blob waits aside.
    bool expect_collection_old_or_new(const std::string &root, const tree &old_state, const tree &new_state,
                                      const std::string &old_progress) {
        static constexpr std::string_view kAside = ".aside";
        tree got = read_tree(root, upload_id_);
        bool aside = false;
        for (auto it = got.entries.begin(); it != got.entries.end();) {
            const std::string &rel = it->first;
            if (rel.size() <= kAside.size() || rel.compare(rel.size() - kAside.size(), kAside.size(), kAside) != 0) {
                ++it;
                continue;
            }
            std::string blob = rel.substr(0, rel.size() - kAside.size());
            EXPECT_EQ(0u, new_state.entries.count(blob)) << rel << ": a referenced blob was moved aside";
            EXPECT_EQ(fs::path(blob).filename().string(), testutil::sha256_hex(it->second)) << rel << " is cut";
            aside = true;
            it = got.entries.erase(it);
        }
        expect_old_or_new(got, old_state, new_state);
        std::string progress = testutil::read_all(root + "/_gc/progress.json");
        EXPECT_TRUE(progress == old_progress || is_json_object(progress)) << "progress record: " << progress;
        EXPECT_TRUE(is_json_object(reg_gc_progress_json())) << reg_gc_progress_json();
        return aside;
    }

    // The next run is not refused and leaves exactly the new state; a blob
    // left aside goes back under its name first, so then the run after it
    // removes it.
    void expect_next_collections_finish(const std::string &root, bool aside, const tree &new_state) {
        for (int run = 0; run < (aside ? 2 : 1); ++run) {
            const char *report = reg_gc_json(0);
            ASSERT_NE(nullptr, report) << reg_storage_last_error();
            EXPECT_TRUE(is_json_object(report)) << report;
            for (const auto &[rel, content] : new_state.entries) {
                if (content == "<dir>") continue;
                EXPECT_EQ(content, testutil::read_all(root + "/" + rel)) << rel;
            }
        }
        EXPECT_EQ(new_state.entries, read_tree(root, upload_id_).entries);
    }

    // The collection's tree before and after one undisturbed run.
    void collection_reference(tree &old_state, tree &new_state) {
        std::string root;
        ASSERT_NO_FATAL_FAILURE(prepare_collection(root));
        old_state = read_tree(root, upload_id_);
        ASSERT_NE(nullptr, reg_gc_json(0)) << reg_storage_last_error();
        new_state = read_tree(root, upload_id_);
        ASSERT_NE(old_state.entries, new_state.entries);
        for (const char *content : {"config-1", "layer-1"}) {
            std::string hex = testutil::sha256_hex(content);
            ASSERT_EQ(content, new_state.entries["blobs/sha256/" + hex.substr(0, 2) + "/" + hex]);
        }
        for (const char *content : {"config-2", "orphan-1"}) {
            std::string hex = testutil::sha256_hex(content);
            ASSERT_EQ(content, old_state.entries["blobs/sha256/" + hex.substr(0, 2) + "/" + hex]);
            ASSERT_EQ(0u, new_state.entries.count("blobs/sha256/" + hex.substr(0, 2) + "/" + hex));
        }
    }

    static std::vector<std::string> temporaries_in(const std::string &dir) {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(dir, ec))
            if (plat_is_temp_name(entry.path().filename().c_str())) found.push_back(entry.path().string());
        return found;
    }

    FastDir dir_;
    testutil::ScopedCwd cwd_{dir_.path()};
    int runs_ = 0;
    std::string upload_id_;
    std::string body1_, body2_;
};

// Call 1, 2, 3, ... of every file operation fails in turn until the write path
// no longer reaches it. Each failure is reported, removes its temporary, and
// leaves every file whole, old or new; a failure the path gets past leaves
// exactly the new state.
TEST_F(DurabilityTest, EveryFailedFileOperationLeavesOldOrNewAndIsReported) {
    for (const scenario &sc : scenarios()) {
        SCOPED_TRACE(sc.name);
        tree old_state, new_state;
        ASSERT_NO_FATAL_FAILURE(reference(sc, old_state, new_state));
        int failures = 0;
        for (plat_op op : kFileOps) {
            for (int nth = 1; nth <= kCallsMax; ++nth) {
                SCOPED_TRACE("operation " + std::to_string(op) + ", call " + std::to_string(nth));
                std::string root;
                ASSERT_NO_FATAL_FAILURE(prepare(sc, root));
                plat_fault_inject(op, nth);
                int rc = sc.operation();
                bool fired = !plat_fault_pending(op);
                plat_fault_inject(op, 0);
                if (!fired) {
                    EXPECT_EQ(0, rc) << reg_storage_last_error();
                    break;
                }
                tree got = read_tree(root, upload_id_);
                EXPECT_TRUE(got.temporaries.empty()) << got.temporaries.front();
                if (rc == 0) {
                    EXPECT_EQ(new_state.entries, got.entries);
                    continue;
                }
                ++failures;
                EXPECT_EQ(-1, rc);
                EXPECT_STRNE("", reg_storage_last_error());
                expect_old_or_new(got, old_state, new_state);
                // A later attempt finishes the job: nothing the failure left stands in its way.
                if (sc.name != std::string("upload finish")) {
                    EXPECT_EQ(0, sc.operation()) << reg_storage_last_error();
                    EXPECT_EQ(new_state.entries, read_tree(root, upload_id_).entries);
                }
            }
        }
        // A repository leaves the tree in one rename: few of its calls can fail.
        // A tag move writes one new file (the link) after its record, and a
        // failed write of it is written again by the store's second look.
        int least = sc.name == std::string("repository deletion") ? 1 : sc.name == std::string("tag move") ? 3 : 5;
        EXPECT_GT(failures, least);
    }
}

// A full disk shows itself at the write or only at the close; either way the
// store is refused and the tag keeps naming what it named.
TEST_F(DurabilityTest, FullDiskAtTheCloseIsAFailureNotASuccess) {
    std::string root;
    scenario move = scenarios()[2];
    ASSERT_NO_FATAL_FAILURE(prepare(move, root));
    std::string link = testutil::read_all(root + "/repositories/lib/app/_manifests/tags/v1/current/link");
    for (plat_op op : {PLAT_OP_WRITE, PLAT_OP_CLOSE, PLAT_OP_FSYNC}) {
        plat_fault_inject(op, 1);
        EXPECT_EQ(-1, move.operation());
        plat_fault_inject(op, 0);
        EXPECT_EQ(REG_ERR_IO, reg_storage_last_error_kind());
        // The store's record for collections is the first file it writes.
        std::string why = reg_storage_last_error();
        EXPECT_TRUE(why == "write manifest body failed" || why == "cannot write store record") << why;
        EXPECT_EQ(link, testutil::read_all(root + "/repositories/lib/app/_manifests/tags/v1/current/link"));
    }
}

// A child process runs the write path and is killed just before call n of one
// file operation, for every n the path reaches. Afterwards every file is
// whole, temporaries left behind are ignored, and a collection still reads
// the whole tree.
TEST_F(DurabilityTest, KilledAtAnyStepLeavesEveryFileWhole) {
    const std::vector<plat_op> steps = {PLAT_OP_MKDIR,  PLAT_OP_CREATE_TEMP, PLAT_OP_WRITE, PLAT_OP_FSYNC,
                                        PLAT_OP_CLOSE,  PLAT_OP_RENAME,      PLAT_OP_FSYNC_DIR,
                                        PLAT_OP_UNLINK, PLAT_OP_RMDIR};
    for (const scenario &sc : scenarios()) {
        SCOPED_TRACE(sc.name);
        tree old_state, new_state;
        ASSERT_NO_FATAL_FAILURE(reference(sc, old_state, new_state));
        int kills = 0;
        for (plat_op op : steps) {
            for (int nth = 1; nth <= kCallsMax; ++nth) {
                SCOPED_TRACE("killed before call " + std::to_string(nth) + " of operation " + std::to_string(op));
                std::string root;
                ASSERT_NO_FATAL_FAILURE(prepare(sc, root));
                pid_t pid = fork();
                ASSERT_GE(pid, 0);
                if (pid == 0) {
                    plat_hook_inject(op, nth, [](void *) { raise(SIGKILL); }, nullptr);
                    sc.operation();
                    _exit(0);
                }
                int status = 0;
                ASSERT_EQ(pid, waitpid(pid, &status, 0));
                if (WIFEXITED(status)) break; // the path made fewer calls: done with this operation
                ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
                ++kills;
                expect_old_or_new(read_tree(root, upload_id_), old_state, new_state);
                age_uploads(root);
                EXPECT_NE(nullptr, reg_gc_json(1)) << reg_storage_last_error();
                EXPECT_NE(nullptr, reg_tags_list_json("lib/app"));
                EXPECT_NE(nullptr, reg_storage_get_stats_json());
            }
        }
        EXPECT_GT(kills, 3);
    }
}

// The collection with call 1, 2, 3, ... of every file operation failing in
// turn. A run either is refused, saying why, or completes; either way every
// referenced blob stays whole under its name, an unreferenced one stays or
// goes (one whose removal failed may wait aside), the progress record stays
// whole, and the next run is not refused and removes the rest.
TEST_F(DurabilityTest, CollectionWithAFailedFileOperationLosesNothing) {
    tree old_state, new_state;
    ASSERT_NO_FATAL_FAILURE(collection_reference(old_state, new_state));
    int faults = 0, refused = 0;
    for (plat_op op : kFileOps) {
        for (int nth = 1; nth <= kCallsMax; ++nth) {
            SCOPED_TRACE("operation " + std::to_string(op) + ", call " + std::to_string(nth));
            std::string root;
            ASSERT_NO_FATAL_FAILURE(prepare_collection(root));
            std::string old_progress = testutil::read_all(root + "/_gc/progress.json");
            plat_fault_inject(op, nth);
            const char *report = reg_gc_json(0);
            bool fired = !plat_fault_pending(op);
            plat_fault_inject(op, 0);
            if (!fired) {
                EXPECT_NE(nullptr, report) << reg_storage_last_error();
                EXPECT_EQ(new_state.entries, read_tree(root, upload_id_).entries);
                break;
            }
            ++faults;
            if (report) {
                EXPECT_TRUE(is_json_object(report)) << report;
            } else {
                ++refused;
                EXPECT_STRNE("", reg_storage_last_error());
            }
            tree got = read_tree(root, upload_id_);
            EXPECT_TRUE(got.temporaries.empty()) << got.temporaries.front();
            EXPECT_TRUE(temporaries_in(root + "/_gc").empty()) << temporaries_in(root + "/_gc").front();
            bool aside = expect_collection_old_or_new(root, old_state, new_state, old_progress);
            ASSERT_NO_FATAL_FAILURE(expect_next_collections_finish(root, aside, new_state));
        }
    }
    EXPECT_GT(faults, 50);
    EXPECT_GT(refused, 3);
}

// A child process collecting is killed just before call n of one file
// operation, for every n the run reaches. Every referenced blob is whole
// under its name, and the next run puts back what was left aside, is not
// refused, and leaves exactly the referenced blobs.
TEST_F(DurabilityTest, CollectionKilledAtAnyStepLosesNothing) {
    const std::vector<plat_op> steps = {PLAT_OP_DIR_OPEN, PLAT_OP_OPEN_READ, PLAT_OP_MKDIR,  PLAT_OP_CREATE_TEMP,
                                        PLAT_OP_WRITE,    PLAT_OP_FSYNC,     PLAT_OP_CLOSE,  PLAT_OP_RENAME,
                                        PLAT_OP_FSYNC_DIR, PLAT_OP_UNLINK,   PLAT_OP_RMDIR};
    tree old_state, new_state;
    ASSERT_NO_FATAL_FAILURE(collection_reference(old_state, new_state));
    int kills = 0, left_aside = 0;
    for (plat_op op : steps) {
        for (int nth = 1; nth <= kCallsMax; ++nth) {
            SCOPED_TRACE("killed before call " + std::to_string(nth) + " of operation " + std::to_string(op));
            std::string root;
            ASSERT_NO_FATAL_FAILURE(prepare_collection(root));
            std::string old_progress = testutil::read_all(root + "/_gc/progress.json");
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                plat_hook_inject(op, nth, [](void *) { raise(SIGKILL); }, nullptr);
                reg_gc_json(0);
                _exit(0);
            }
            int status = 0;
            ASSERT_EQ(pid, waitpid(pid, &status, 0));
            if (WIFEXITED(status)) break; // the run made fewer calls: done with this operation
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
            ++kills;
            bool aside = expect_collection_old_or_new(root, old_state, new_state, old_progress);
            left_aside += aside ? 1 : 0;
            ASSERT_NO_FATAL_FAILURE(expect_next_collections_finish(root, aside, new_state));
        }
    }
    EXPECT_GT(kills, 30);
    EXPECT_GT(left_aside, 0) << "no kill fell between moving a blob aside and removing it";
}

// A temporary left by a crash in any directory of the tree is no tag, no
// manifest and no blob: listings, statistics and a collection pass it over.
TEST_F(DurabilityTest, StaleTemporariesAreIgnored) {
    std::string root = fresh_root();
    std::string body = image(blob("config-1"), blob("layer-1"));
    ASSERT_EQ(0, put("app", "v1", body));
    const char *stats_before = reg_storage_get_stats_json();
    ASSERT_NE(nullptr, stats_before);
    std::string expected_stats = stats_before;
    std::string m = root + "/repositories/app/_manifests";
    std::string hex = sha256_digest(body).substr(7);
    for (const std::string &dir : {m, m + "/tags", m + "/tags/v1/current", m + "/revisions/sha256/" + hex,
                                   root + "/repositories", root, root + "/_gc"})
        testutil::write_all(dir + "/" PLAT_TEMP_PREFIX "999-1", "half");
    EXPECT_STREQ("{\"name\":\"app\",\"tags\":[\"v1\"]}", reg_tags_list_json("app"));
    EXPECT_STREQ("{\"repositories\":[\"app\"]}", reg_catalog_json(0, nullptr));
    EXPECT_EQ(expected_stats, reg_storage_get_stats_json());
    const char *report = reg_gc_json(0);
    ASSERT_NE(nullptr, report) << reg_storage_last_error();
    EXPECT_NE(nullptr, strstr(report, "\"blobs_deleted\":0,")) << report;
    char type[128], digest[80];
    EXPECT_NE(nullptr, reg_manifest_get("app", "v1", type, digest));
    EXPECT_EQ(0, put("app", "v1", body));
}

// Every public call that builds lists answers "out of memory" when the heap
// is exhausted, instead of letting the exception end the process.
TEST_F(DurabilityTest, AllocationFailureIsOutOfMemoryNeverAnEscapedException) {
    fresh_root();
    std::string body = image(blob("config-1"), blob("layer-1"));
    ASSERT_EQ(0, put("app", "v1", body));
    std::string index = "{\"schemaVersion\":2,\"manifests\":[{\"digest\":\"" + sha256_digest(body) + "\"}]}";
    std::string digest = sha256_digest(body);
    struct {
        const char *call;
        std::function<bool()> failed;
    } rows[] = {
        {"manifest put of an index", [&] { return put("other", "i1", index) == -1; }},
        {"manifest delete by digest", [&] { return reg_manifest_delete("app", digest.c_str()) == -1; }},
        {"repository delete", [] { return reg_repo_delete("app") == -1; }},
        {"tag list", [] { return reg_tags_list_json("app") == nullptr; }},
        {"catalog", [] { return reg_catalog_json(0, nullptr) == nullptr; }},
        {"statistics", [] { return reg_storage_get_stats_json() == nullptr; }},
        {"collection", [] { return reg_gc_json(1) == nullptr; }},
        {"retention", [] { return reg_retention_json(1, 1, 0, 0, nullptr) == nullptr; }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.call);
        testutil::fail_allocations = true;
        bool failed = row.failed();
        testutil::fail_allocations = false;
        EXPECT_TRUE(failed);
        EXPECT_STREQ("out of memory", reg_storage_last_error());
        EXPECT_EQ(REG_ERR_NO_MEMORY, reg_storage_last_error_kind());
    }
    char type[128], got[80];
    EXPECT_NE(nullptr, reg_manifest_get("app", "v1", type, got)) << "nothing was removed";
}

} // namespace
