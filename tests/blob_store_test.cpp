// Tests for blob uploads and the blob store: the upload-id generator, every operation's failures, the moves into
// the store, and finishes that race each other.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::sha256_digest;

const std::string kNotStarted = "not initialized - call reg_storage_init first";
const std::string kFirstId = "91e3a35b-f173-0dfb-938b-ee4b3dc38bf5";
constexpr uint32_t kKnownSeed = 0x9E3779B9u;
constexpr uint32_t kSeedAfterFirstId = 0x43E1465Fu;
// How many taken ids one start of an upload skips before giving up.
constexpr int kCreateTries = 16;
// The rename that moves a part file into the store: a finish first renames
// the holder file of the session's lock into place.
constexpr int kMoveRename = 2;

std::string last_error() { return reg_storage_last_error(); }

std::string upper(std::string text) {
    for (char &c : text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

int64_t mtime_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
}

// Malformed upload ids, each one step away from a well-formed one.
std::vector<std::string> malformed_ids() {
    std::string hyphen_moved = kFirstId;
    std::swap(hyphen_moved[8], hyphen_moved[9]);
    return {
        "",
        upper(kFirstId),
        kFirstId.substr(0, 35),
        kFirstId + "0",
        hyphen_moved,
        "91e3a35b_f173_0dfb_938b_ee4b3dc38bf5",
        "../../../../../../../../../../tmp/xy", // 36 characters that leave the upload area
    };
}

// Malformed digests, likewise.
std::vector<std::string> malformed_digests(const std::string &good) {
    return {
        "",
        "sha256:",
        "sha256:" + upper(good.substr(7)),
        good.substr(0, good.size() - 1),
        good + "0",
        "SHA256:" + good.substr(7),
        "sha512:" + good.substr(7),
        good.substr(7),
        good + "\n",
        "sha256:../../../../../../../../../../../../../../../../../../../../../tmp/",
    };
}

class BlobStoreTest : public testutil::StorageTest {
protected:
    std::string part(const std::string &id) const { return root_ + "/uploads/" + id + ".part"; }
    std::string fan_out(const std::string &digest) const { return root_ + "/blobs/sha256/" + digest.substr(7, 2); }
    std::string blob(const std::string &digest) const { return fan_out(digest) + "/" + digest.substr(7); }

    // A started upload holding data.
    std::string upload(const std::string &data) {
        char id[37];
        EXPECT_EQ(0, reg_blob_start_upload(id)) << last_error();
        EXPECT_EQ(0, reg_blob_append_chunk(id, data.data(), data.size())) << last_error();
        return id;
    }

    // What is left of upload sessions: every entry of the upload area but the
    // state directory, which stays once made, and every entry inside it.
    std::vector<std::string> session_leftovers() const {
        std::vector<std::string> left;
        for (const auto &entry : fs::recursive_directory_iterator(root_ + "/uploads"))
            if (entry.path().filename() != "_state" || !entry.is_directory()) left.push_back(entry.path().string());
        return left;
    }

    std::string store(const std::string &data) {
        std::string id = upload(data);
        char out[72];
        EXPECT_EQ(0, reg_blob_finish_upload(id.c_str(), sha256_digest(data).c_str(), out)) << last_error();
        return out;
    }
};

// One failing call: what it is, how the stage is set, the call and the message it must leave.
struct FailCase {
    std::string what;
    std::function<void()> stage;
    std::function<int64_t()> call;
    std::string message;
};

void expect_failures(const std::vector<FailCase> &cases) {
    for (const FailCase &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.stage) c.stage();
        set_error("stale");
        EXPECT_EQ(-1, c.call());
        EXPECT_EQ(c.message, last_error());
    }
}

// ---- upload ids ---------------------------------------------------------------

TEST_F(BlobStoreTest, GeneratorGivesTheKnownIdAndAdvancesTheSeed) {
    s_seed = kKnownSeed;
    char id[37];
    memset(id, 'x', sizeof id);
    ASSERT_EQ(0, reg_blob_start_upload(id)) << last_error();
    EXPECT_EQ(kFirstId, std::string(id));
    EXPECT_EQ(kSeedAfterFirstId, s_seed);
    ASSERT_TRUE(testutil::exists(part(kFirstId)));
    EXPECT_EQ(0, fs::file_size(part(kFirstId)));

    char next[37];
    ASSERT_EQ(0, reg_blob_start_upload(next)) << last_error();
    EXPECT_NE(kFirstId, std::string(next));
    EXPECT_EQ(1, uuid_valid(next));
    EXPECT_TRUE(testutil::exists(part(next)));
}

// Two processes whose generators start alike must not share one part file.
TEST_F(BlobStoreTest, StartNeverEmptiesThePartFileOfAnotherUpload) {
    struct {
        std::string what;
        std::function<void(const std::string &)> place;
        std::function<bool(const std::string &)> intact;
    } rows[] = {
        {"another upload's part file", [](const std::string &p) { testutil::write_all(p, "theirs"); },
         [](const std::string &p) { return testutil::read_all(p) == "theirs"; }},
        {"a directory", [](const std::string &p) { fs::create_directories(p + "/inner"); },
         [](const std::string &p) { return testutil::is_dir(p + "/inner"); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(root_ + "/uploads");
        fs::create_directories(root_ + "/uploads");
        row.place(part(kFirstId));
        s_seed = kKnownSeed;
        char id[37];
        ASSERT_EQ(0, reg_blob_start_upload(id)) << last_error();
        EXPECT_NE(kFirstId, std::string(id));
        EXPECT_EQ(1, uuid_valid(id));
        EXPECT_TRUE(row.intact(part(kFirstId)));
        EXPECT_EQ(0, fs::file_size(part(id)));
        EXPECT_NE(kSeedAfterFirstId, s_seed);
    }
}

TEST_F(BlobStoreTest, StartGivesUpAfterABoundedRunOfTakenIds) {
    s_seed = kKnownSeed;
    std::vector<std::string> ids;
    for (int i = 0; i < kCreateTries; ++i) {
        char id[37];
        ASSERT_EQ(0, reg_blob_start_upload(id)) << last_error();
        testutil::write_all(part(id), "upload " + std::to_string(i));
        ids.push_back(id);
    }
    uint32_t seed_after_run = s_seed;

    s_seed = kKnownSeed;
    char id[37];
    EXPECT_EQ(-1, reg_blob_start_upload(id));
    EXPECT_EQ("cannot create upload " + ids.back() + ": File exists", last_error());
    EXPECT_EQ(ids.back(), std::string(id));
    EXPECT_EQ(seed_after_run, s_seed);
    for (int i = 0; i < kCreateTries; ++i)
        EXPECT_EQ("upload " + std::to_string(i), testutil::read_all(part(ids[i])));
}

TEST_F(BlobStoreTest, StartFailures) {
    char id[37];
    expect_failures({
        {"null buffer", nullptr, [] { return reg_blob_start_upload(nullptr); }, "out_upload_uuid is NULL"},
        {"upload area missing: no second try",
         [&] {
             fs::remove_all(root_ + "/uploads");
             s_seed = kKnownSeed;
         },
         [&] { return reg_blob_start_upload(id); }, "cannot create upload " + kFirstId + ": No such file or directory"},
        {"create fails",
         [&] {
             fs::create_directories(root_ + "/uploads");
             s_seed = kKnownSeed;
             plat_fault_inject(PLAT_OP_CREATE_EXCL, 1);
         },
         [&] { return reg_blob_start_upload(id); }, "cannot create upload " + kFirstId + ": Input/output error"},
    });
    // The id was drawn all the same.
    EXPECT_EQ(kFirstId, std::string(id));
    EXPECT_EQ(kSeedAfterFirstId, s_seed);
    EXPECT_FALSE(testutil::exists(part(kFirstId)));
}

// Processes forked from one image in the same second used to draw identical ids.
TEST_F(BlobStoreTest, ProcessesStartedTogetherSeedApart) {
    auto seed_in_child = [&] {
        return testutil::run_in_child([&] {
                   if (reg_storage_init(root_.c_str()) == 0) printf("%u", static_cast<unsigned>(s_seed));
               })
            .out;
    };
    std::string first = seed_in_child(), second = seed_in_child();
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);

    // Without kernel randomness the process id still sets them apart, and the seed is never 0.
    plat_fault_inject(PLAT_OP_RANDOM, 1);
    ASSERT_EQ(0, reg_storage_init(root_.c_str()));
    EXPECT_NE(0u, s_seed);
}

// ---- every operation's guards ---------------------------------------------------

TEST_F(BlobStoreTest, EveryOperationRequiresAStartedEngine) {
    std::string digest = sha256_digest("x");
    char buf[128];
    int64_t bytes = 0;
    reg_storage_cleanup();
    expect_failures({
        {"start", nullptr, [&] { return reg_blob_start_upload(buf); }, kNotStarted},
        {"append", nullptr, [&] { return reg_blob_append_chunk(kFirstId.c_str(), "x", 1); }, kNotStarted},
        {"finish", nullptr, [&] { return reg_blob_finish_upload(kFirstId.c_str(), digest.c_str(), buf); }, kNotStarted},
        {"cancel", nullptr, [&] { return reg_blob_cancel_upload(kFirstId.c_str()); }, kNotStarted},
        {"size", nullptr, [&] { return reg_blob_upload_size(kFirstId.c_str(), &bytes); }, kNotStarted},
        {"exists", nullptr, [&] { return reg_blob_exists(digest.c_str()); }, kNotStarted},
        {"get size", nullptr, [&] { return reg_blob_get_size(digest.c_str()); }, kNotStarted},
        {"get path", nullptr, [&] { return reg_blob_get_filepath(digest.c_str(), buf, sizeof buf); }, kNotStarted},
        {"delete", nullptr, [&] { return reg_blob_delete(digest.c_str()); }, kNotStarted},
    });
    EXPECT_TRUE(fs::is_empty(root_ + "/uploads"));
}

// Null arguments are refused before the readiness check, which would otherwise speak first.
TEST_F(BlobStoreTest, NullArgumentsAreRefusedFirst) {
    std::string digest = sha256_digest("x");
    char buf[128];
    int64_t bytes = 0;
    reg_storage_cleanup();
    expect_failures({
        {"append id", nullptr, [] { return reg_blob_append_chunk(nullptr, "x", 1); }, "upload_uuid/data is NULL"},
        {"append data, length 0", nullptr, [] { return reg_blob_append_chunk(kFirstId.c_str(), nullptr, 0); },
         "upload_uuid/data is NULL"},
        {"finish id", nullptr, [&] { return reg_blob_finish_upload(nullptr, digest.c_str(), buf); }, "NULL argument"},
        {"finish digest", nullptr, [&] { return reg_blob_finish_upload(kFirstId.c_str(), nullptr, buf); },
         "NULL argument"},
        {"finish output", nullptr, [&] { return reg_blob_finish_upload(kFirstId.c_str(), digest.c_str(), nullptr); },
         "NULL argument"},
        {"cancel", nullptr, [] { return reg_blob_cancel_upload(nullptr); }, "upload_uuid is NULL"},
        {"size id", nullptr, [&] { return reg_blob_upload_size(nullptr, &bytes); }, "upload_uuid/out_bytes is NULL"},
        {"size output", nullptr, [] { return reg_blob_upload_size(kFirstId.c_str(), nullptr); },
         "upload_uuid/out_bytes is NULL"},
        {"exists", nullptr, [] { return reg_blob_exists(nullptr); }, "digest is NULL"},
        {"get size", nullptr, [] { return reg_blob_get_size(nullptr); }, "digest is NULL"},
        {"get path digest", nullptr, [&] { return reg_blob_get_filepath(nullptr, buf, sizeof buf); }, "NULL argument"},
        {"get path buffer", nullptr, [&] { return reg_blob_get_filepath(digest.c_str(), nullptr, 10); },
         "NULL argument"},
        {"get path capacity 0", nullptr, [&] { return reg_blob_get_filepath(digest.c_str(), buf, 0); },
         "NULL argument"},
        {"delete", nullptr, [] { return reg_blob_delete(nullptr); }, "digest is NULL"},
    });
}

TEST_F(BlobStoreTest, EveryUploadOperationRefusesMalformedIds) {
    std::string digest = sha256_digest("");
    for (const std::string &bad : malformed_ids()) {
        SCOPED_TRACE("id '" + bad + "'");
        char out[72];
        int64_t bytes = 0;
        expect_failures({
            {"append", nullptr, [&] { return reg_blob_append_chunk(bad.c_str(), "x", 1); }, "invalid upload uuid"},
            // The id is judged before the digest.
            {"finish", nullptr, [&] { return reg_blob_finish_upload(bad.c_str(), "bad", out); }, "invalid upload uuid"},
            {"cancel", nullptr, [&] { return reg_blob_cancel_upload(bad.c_str()); }, "invalid upload uuid"},
            {"size", nullptr, [&] { return reg_blob_upload_size(bad.c_str(), &bytes); }, "invalid upload uuid"},
        });
    }
    EXPECT_FALSE(testutil::exists(tmp_ / "tmp"));
    EXPECT_TRUE(fs::is_empty(root_ + "/uploads"));
}

TEST_F(BlobStoreTest, EveryDigestOperationRefusesMalformedDigests) {
    std::string good = store("content");
    for (const std::string &bad : malformed_digests(good)) {
        SCOPED_TRACE("digest '" + bad + "'");
        char path[kPathMax];
        std::string id = upload("content");
        char out[72];
        expect_failures({
            {"finish", nullptr, [&] { return reg_blob_finish_upload(id.c_str(), bad.c_str(), out); },
             "invalid expected digest"},
            {"exists", nullptr, [&] { return reg_blob_exists(bad.c_str()); }, "invalid digest"},
            {"get size", nullptr, [&] { return reg_blob_get_size(bad.c_str()); }, "invalid digest"},
            {"get path", nullptr, [&] { return reg_blob_get_filepath(bad.c_str(), path, sizeof path); },
             "invalid digest"},
            {"delete", nullptr, [&] { return reg_blob_delete(bad.c_str()); }, "invalid digest"},
        });
        // A refused finish keeps the upload.
        EXPECT_EQ("content", testutil::read_all(part(id)));
    }
    EXPECT_EQ("content", testutil::read_all(blob(good)));
}

// ---- append ---------------------------------------------------------------------

TEST_F(BlobStoreTest, AppendAddsChunksInOrderAndSizeFollows) {
    std::string id = upload("");
    int64_t bytes = -1;
    ASSERT_EQ(0, reg_blob_upload_size(id.c_str(), &bytes));
    EXPECT_EQ(0, bytes);
    std::string expected;
    for (const std::string &chunk :
         {std::string("abc"), std::string(), std::string("\0\r\n\x1a", 4), std::string(70000, 'q')}) {
        ASSERT_EQ(0, reg_blob_append_chunk(id.c_str(), chunk.data(), chunk.size())) << last_error();
        expected += chunk;
        ASSERT_EQ(0, reg_blob_upload_size(id.c_str(), &bytes));
        EXPECT_EQ(static_cast<int64_t>(expected.size()), bytes);
    }
    EXPECT_EQ(expected, testutil::read_all(part(id)));
}

TEST_F(BlobStoreTest, AppendFailures) {
    std::string id = upload("kept");
    std::string missing = kFirstId;
    std::string dir_id = "00000000-0000-0000-0000-000000000000";
    std::string full_id = "11111111-1111-1111-1111-111111111111";
    fs::create_directories(part(dir_id));
    fs::create_symlink("/dev/full", part(full_id));
    expect_failures({
        {"unknown id", nullptr, [&] { return reg_blob_append_chunk(missing.c_str(), "x", 1); },
         "upload not found: " + missing},
        {"part path is a directory", nullptr, [&] { return reg_blob_append_chunk(dir_id.c_str(), "x", 1); },
         "upload not found: " + dir_id},
        {"part file cannot be opened", [] { plat_fault_inject(PLAT_OP_OPEN_EXISTING, 1); },
         [&] { return reg_blob_append_chunk(id.c_str(), "more", 4); }, "write error appending chunk"},
        {"device is full", nullptr, [&] { return reg_blob_append_chunk(full_id.c_str(), "x", 1); },
         "write error appending chunk"},
    });
    EXPECT_FALSE(testutil::exists(part(missing)));
    EXPECT_TRUE(fs::is_empty(part(dir_id)));
    EXPECT_EQ("kept", testutil::read_all(part(id)));
}

// The part file is finished or cancelled by another request between the check and the open.
TEST_F(BlobStoreTest, AppendNeverRecreatesAPartFileThatVanished) {
    std::string id = upload("abc");
    std::string path = part(id);
    plat_hook_inject(
        PLAT_OP_OPEN_EXISTING, 1, [](void *p) { unlink(static_cast<std::string *>(p)->c_str()); }, &path);
    EXPECT_EQ(-1, reg_blob_append_chunk(id.c_str(), "def", 3));
    EXPECT_EQ("upload not found: " + id, last_error());
    EXPECT_FALSE(testutil::exists(path));
}

// ---- finish -----------------------------------------------------------------------

TEST_F(BlobStoreTest, FinishMovesTheUploadIntoTheStore) {
    struct {
        std::string what;
        std::vector<std::string> chunks;
    } rows[] = {
        {"no chunks: the empty blob", {}},
        {"one chunk", {"hello"}},
        {"chunks across hash block boundaries", {std::string(63, 'a'), std::string(65537, 'b'), "c"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        char id[37];
        ASSERT_EQ(0, reg_blob_start_upload(id));
        std::string data;
        for (const std::string &chunk : row.chunks) {
            ASSERT_EQ(0, reg_blob_append_chunk(id, chunk.data(), chunk.size()));
            data += chunk;
        }
        std::string digest = sha256_digest(data);
        ASSERT_FALSE(testutil::exists(fan_out(digest)));
        char out[72];
        memset(out, 'x', sizeof out);
        ASSERT_EQ(0, reg_blob_finish_upload(id, digest.c_str(), out)) << last_error();
        EXPECT_EQ(digest, std::string(out));
        EXPECT_EQ(data, testutil::read_all(blob(digest)));
        EXPECT_EQ(static_cast<uintmax_t>(data.size()), fs::file_size(blob(digest)));
        EXPECT_FALSE(testutil::exists(part(id)));
        EXPECT_EQ(1, reg_blob_exists(digest.c_str()));
        EXPECT_EQ(static_cast<int64_t>(data.size()), reg_blob_get_size(digest.c_str()));
        int64_t bytes = 0;
        EXPECT_EQ(-1, reg_blob_upload_size(id, &bytes));
        EXPECT_EQ("upload not found: " + std::string(id), last_error());
    }
}

// The stored file stays (same inode, bytes never rewritten), but its time is
// refreshed: the push delivering it again needs it kept from collection.
TEST_F(BlobStoreTest, FinishOfStoredContentKeepsTheBlobAndRefreshesItsTime) {
    std::string digest = store("same bytes");
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, blob(digest).c_str(), times, 0));
    struct stat before;
    ASSERT_EQ(0, stat(blob(digest).c_str(), &before));

    std::string id = upload("same bytes");
    char out[72];
    ASSERT_EQ(0, reg_blob_finish_upload(id.c_str(), digest.c_str(), out)) << last_error();
    EXPECT_EQ(digest, std::string(out));
    EXPECT_FALSE(testutil::exists(part(id)));
    struct stat after;
    ASSERT_EQ(0, stat(blob(digest).c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_GE(mtime_of(blob(digest)), static_cast<int64_t>(time(nullptr)) - 5);
}

TEST_F(BlobStoreTest, FinishFailures) {
    std::string data = "payload";
    std::string digest = sha256_digest(data);
    std::string wrong = sha256_digest("other");
    std::string id = upload(data);
    std::string dir_id = "00000000-0000-0000-0000-000000000000";
    std::string mem_id = "22222222-2222-2222-2222-222222222222";
    fs::create_directories(part(dir_id));
    // Reading this file fails at once, as a disk error would.
    fs::create_symlink("/proc/self/mem", part(mem_id));
    char out[72] = "untouched";
    std::string fan = fan_out(digest);

    expect_failures({
        {"unknown id", nullptr, [&] { return reg_blob_finish_upload(kFirstId.c_str(), digest.c_str(), out); },
         "upload not found: " + kFirstId},
        {"part path is a directory", nullptr,
         [&] { return reg_blob_finish_upload(dir_id.c_str(), digest.c_str(), out); }, "upload not found: " + dir_id},
        {"part file unreadable", nullptr, [&] { return reg_blob_finish_upload(mem_id.c_str(), digest.c_str(), out); },
         "hashing upload failed"},
        {"fan-out directory cannot be made", [&] { plat_fault_inject_path(PLAT_OP_MKDIR, fan.c_str()); },
         [&] { return reg_blob_finish_upload(id.c_str(), digest.c_str(), out); },
         "cannot create the directory of blob " + digest + ": Input/output error"},
        {"move fails",
         [] {
             plat_fault_inject_path(PLAT_OP_MKDIR, nullptr);
             plat_fault_inject(PLAT_OP_RENAME, kMoveRename);
         },
         [&] { return reg_blob_finish_upload(id.c_str(), digest.c_str(), out); },
         "cannot store blob " + digest + ": Input/output error"},
    });
    // Each of these leaves the upload to be finished again.
    EXPECT_EQ("untouched", std::string(out));
    EXPECT_TRUE(fs::is_symlink(part(mem_id)));
    EXPECT_EQ(data, testutil::read_all(part(id)));
    EXPECT_FALSE(testutil::exists(blob(digest)));

    // A wrong digest discards the upload.
    expect_failures({
        {"digest mismatch", nullptr, [&] { return reg_blob_finish_upload(id.c_str(), wrong.c_str(), out); },
         "digest mismatch: expected " + wrong + ", got " + digest},
        {"finished again", nullptr, [&] { return reg_blob_finish_upload(id.c_str(), digest.c_str(), out); },
         "upload not found: " + id},
    });
    EXPECT_FALSE(testutil::exists(part(id)));
    EXPECT_FALSE(testutil::exists(blob(wrong)));
    EXPECT_FALSE(testutil::exists(blob(digest)));
}

TEST_F(BlobStoreTest, FinishAfterAFailedMoveSucceeds) {
    std::string id = upload("retry me");
    std::string digest = sha256_digest("retry me");
    char out[72];
    plat_fault_inject(PLAT_OP_RENAME, kMoveRename);
    ASSERT_EQ(-1, reg_blob_finish_upload(id.c_str(), digest.c_str(), out));
    ASSERT_EQ(0, reg_blob_finish_upload(id.c_str(), digest.c_str(), out)) << last_error();
    EXPECT_EQ("retry me", testutil::read_all(blob(digest)));
}

// ---- finishes that overlap ---------------------------------------------------------

struct Finish {
    std::string id;
    std::string digest;
    int rc = 99;
    char out[72] = "";
};

void run_finish(void *arg) {
    Finish *f = static_cast<Finish *>(arg);
    f->rc = reg_blob_finish_upload(f->id.c_str(), f->digest.c_str(), f->out);
}

// The second finish runs whole while the first is about to move its bytes: the first then moves onto the blob
// the second stored.
TEST_F(BlobStoreTest, OverlappingFinishesOfTheSameContentBothSucceed) {
    std::string data(100000, 'o');
    std::string digest = sha256_digest(data);
    Finish first{upload(data), digest}, second{upload(data), digest};
    plat_hook_inject(PLAT_OP_RENAME, kMoveRename, run_finish, &second);
    run_finish(&first);
    EXPECT_EQ(0, first.rc) << last_error();
    EXPECT_EQ(0, second.rc);
    EXPECT_EQ(digest, std::string(first.out));
    EXPECT_EQ(digest, std::string(second.out));
    EXPECT_EQ(data, testutil::read_all(blob(digest)));
    EXPECT_EQ(std::vector<std::string>{}, session_leftovers());
}

// One upload finished by two requests at once: the slower one finds its part file already moved.
TEST_F(BlobStoreTest, OverlappingFinishesOfOneUploadBothSucceed) {
    std::string data = "finished twice";
    std::string digest = sha256_digest(data);
    Finish first{upload(data), digest};
    Finish second{first.id, digest};
    plat_hook_inject(PLAT_OP_RENAME, kMoveRename, run_finish, &second);
    run_finish(&first);
    EXPECT_EQ(0, first.rc) << last_error();
    EXPECT_EQ(0, second.rc);
    EXPECT_EQ(data, testutil::read_all(blob(digest)));
    EXPECT_EQ(std::vector<std::string>{}, session_leftovers());
}

// A delete of the directory's last blob removes the fan-out directory between its creation and the move;
// collections back to back can do so again each time it is made anew.
struct Removals {
    std::string dir;
    int left;
    static void fire(void *p) {
        auto *r = static_cast<Removals *>(p);
        rmdir(r->dir.c_str());
        if (--r->left > 0) plat_hook_inject(PLAT_OP_RENAME, 1, fire, r);
    }
};

TEST_F(BlobStoreTest, FinishRemakesAFanOutDirectoryRemovedUnderIt) {
    for (int removals : {1, 2, 5}) {
        std::string data = "fan-out vanishes " + std::to_string(removals) + " times";
        std::string digest = sha256_digest(data);
        std::string id = upload(data);
        Removals r{fan_out(digest), removals};
        ASSERT_FALSE(testutil::exists(r.dir)) << "the rows must use fan-out directories of their own";
        // Armed at the move; the moves that follow are each the next rename.
        plat_hook_inject(PLAT_OP_RENAME, kMoveRename, Removals::fire, &r);
        char out[72];
        ASSERT_EQ(0, reg_blob_finish_upload(id.c_str(), digest.c_str(), out)) << removals << ": " << last_error();
        plat_hook_inject(PLAT_OP_RENAME, 0, nullptr, nullptr);
        EXPECT_EQ(0, r.left) << removals;
        EXPECT_EQ(data, testutil::read_all(blob(digest))) << removals;
        EXPECT_FALSE(testutil::exists(part(id))) << removals;
    }
}

// Real processes, released together; forked from one state, they also draw the same ids at first.
TEST_F(BlobStoreTest, ProcessesFinishingTheSameContentAllSucceed) {
    constexpr int kProcs = 4;
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + (i >> 9));
    std::string digest = sha256_digest(data);
    int ready[2], go[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(go));
    std::vector<pid_t> children;
    for (int i = 0; i < kProcs; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            char id[37], out[72], c = 0;
            bool ok = reg_blob_start_upload(id) == 0 && reg_blob_append_chunk(id, data.data(), data.size()) == 0;
            ok = write(ready[1], "r", 1) == 1 && ok;
            ok = read(go[0], &c, 1) == 1 && ok;
            ok = reg_blob_finish_upload(id, digest.c_str(), out) == 0 && ok;
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (int i = 0; i < kProcs; ++i) {
        char c;
        ASSERT_EQ(1, read(ready[0], &c, 1));
    }
    ASSERT_EQ(kProcs, write(go[1], "gggg", kProcs));
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
    EXPECT_EQ(data, testutil::read_all(blob(digest)));
    EXPECT_EQ(std::vector<std::string>{}, session_leftovers());
}

// ---- finishes that meet appends ---------------------------------------------------------

// A request body that stops at a gate, as one still on its way does: `before`
// bytes are handed over, then the read waits until the test opens the gate.
// Meanwhile the append holds its session and its part file open. No gate
// when `before` is npos.
struct gated_body {
    gated_body(std::string data, size_t gate_at) : bytes(std::move(data)), before(gate_at) {}
    const std::string bytes;
    const size_t before;
    size_t at = 0;
    std::mutex m;
    std::condition_variable cv;
    bool waiting = false, ended = false, open = false;

    void wait_at_gate() {
        std::unique_lock<std::mutex> lock(m);
        waiting = true;
        cv.notify_all();
        cv.wait(lock, [&] { return open; });
    }
    // The test's side: until the append waits at the gate or ended without reaching it.
    void await_append() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return waiting || ended; });
    }
    void set(bool gated_body::*flag) {
        std::lock_guard<std::mutex> lock(m);
        this->*flag = true;
        cv.notify_all();
    }
};

long read_gated(void *ctx, void *buf, size_t cap) {
    auto *g = static_cast<gated_body *>(ctx);
    if (g->at == g->before) g->wait_at_gate();
    size_t end = g->at < g->before ? std::min(g->before, g->bytes.size()) : g->bytes.size();
    size_t n = std::min(cap, end - g->at);
    memcpy(buf, g->bytes.data() + g->at, n);
    g->at += n;
    return static_cast<long>(n);
}

// Compares long byte strings by length and first difference (defined below).
::testing::AssertionResult same_bytes(const std::string &want, const std::string &got);

std::string varied(size_t len, unsigned seed) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i)
        s[i] = static_cast<char>((i * 2654435761u + seed) >> 11);
    return s;
}

// A PATCH whose body is still arriving when the finishing PUT comes (a client
// that does not wait for the answer, a retried request): the finish is
// refused as a second writer is and stores nothing, wherever the body stands,
// and the session goes on whole. Without that the finish stored the part file
// as it stood and the append went on writing into the stored blob, or the
// finish discarded the session under an append that then reported success.
TEST_F(BlobStoreTest, AFinishWhileAnAppendIsUnderWayIsRefusedAndStoresNothing) {
    struct {
        const char *what;
        size_t before; // bytes of the body written when the finish comes
    } rows[] = {
        {"no byte of the body yet", 0},
        {"part of the body written", 5000},
    };
    unsigned seed = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        char id[37];
        ASSERT_EQ(0, reg_upload_start("lib/app", id)) << last_error();
        // Not a whole number of blocks: every byte of the body is written as soon as it is read.
        std::string head = varied(10000, ++seed);
        ASSERT_EQ(0, reg_blob_append_chunk(id, head.data(), head.size())) << last_error();
        std::string digest = sha256_digest(head);
        gated_body body(varied(20000, ++seed), row.before);
        int append_rc = 99;
        int64_t size = -1;
        std::thread appender([&] {
            append_rc = reg_upload_append_from(id, static_cast<int64_t>(head.size()), read_gated, &body, &size);
            body.set(&gated_body::ended);
        });
        body.await_append();
        char out[72] = "";
        int finish_rc = reg_blob_finish_upload(id, digest.c_str(), out);
        reg_err_kind kind = reg_storage_last_error_kind();
        std::string why = last_error();
        body.set(&gated_body::open);
        appender.join();

        ASSERT_TRUE(body.waiting) << "the append ended before its body did: " << append_rc;
        if (testutil::exists(blob(digest))) {
            EXPECT_EQ(digest, sha256_digest(testutil::read_all(blob(digest)))) << "a blob holds more than its name";
        }
        EXPECT_EQ(-1, finish_rc);
        EXPECT_EQ(REG_ERR_CONFLICT, kind);
        EXPECT_EQ("another request is writing to upload " + std::string(id), why);
        EXPECT_EQ(0, append_rc) << "an append reported as done must have kept its bytes";
        std::string whole = head + body.bytes;
        EXPECT_EQ(static_cast<int64_t>(whole.size()), size);
        ASSERT_TRUE(same_bytes(whole, testutil::read_all(part(id))));
        ASSERT_EQ(0, reg_blob_finish_upload(id, sha256_digest(whole).c_str(), out)) << last_error();
        EXPECT_TRUE(same_bytes(whole, testutil::read_all(blob(out))));
        EXPECT_FALSE(testutil::exists(blob(digest)));
    }
}

// An append that arrives while a finish stores the bytes is refused as a
// second writer is, and the stored blob holds exactly what the finish hashed;
// one that arrives after the finish finds the session gone, as before.
TEST_F(BlobStoreTest, AnAppendDuringAFinishIsRefusedAndOneAfterItFindsNoSession) {
    struct Row {
        const char *what;
        int (*append)(const char *id, int64_t at, const std::string &data);
    };
    const Row rows[] = {
        {"a streamed append",
         [](const char *id, int64_t at, const std::string &data) {
             gated_body body(data, std::string::npos);
             return reg_upload_append_from(id, at, read_gated, &body, nullptr);
         }},
        {"a chunk",
         [](const char *id, int64_t, const std::string &data) {
             return reg_blob_append_chunk(id, data.data(), data.size());
         }},
    };
    struct During {
        const Row *row;
        std::string id;
        int64_t at;
        std::string data;
        int rc = 99;
        reg_err_kind kind = REG_ERR_NONE;
        std::string why;
        void run() {
            rc = row->append(id.c_str(), at, data);
            kind = reg_storage_last_error_kind();
            why = reg_storage_last_error();
        }
    };
    unsigned seed = 100;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string head = varied(10000, ++seed);
        std::string digest = sha256_digest(head);
        ASSERT_FALSE(testutil::exists(fan_out(digest))) << "each row needs a fan-out directory of its own";
        std::string id = upload(head);
        During during{&row, id, static_cast<int64_t>(head.size()), varied(3000, ++seed), 99, REG_ERR_NONE, ""};
        // Held where the finish has hashed the part file and is about to move it.
        plat_hook_inject_path(
            PLAT_OP_MKDIR, fan_out(digest).c_str(), [](void *p) { static_cast<During *>(p)->run(); }, &during);
        char out[72] = "";
        EXPECT_EQ(0, reg_blob_finish_upload(id.c_str(), digest.c_str(), out)) << last_error();
        plat_hook_inject_path(PLAT_OP_MKDIR, nullptr, nullptr, nullptr);
        EXPECT_TRUE(same_bytes(head, testutil::read_all(blob(digest))));
        EXPECT_EQ(-1, during.rc);
        EXPECT_EQ(REG_ERR_CONFLICT, during.kind);
        EXPECT_EQ("another request is writing to upload " + id, during.why);

        During after{&row, id, static_cast<int64_t>(head.size()), "late", 99, REG_ERR_NONE, ""};
        after.run();
        EXPECT_EQ(-1, after.rc);
        EXPECT_EQ(REG_ERR_NOT_FOUND, after.kind);
        EXPECT_EQ("upload not found: " + id, after.why);
        EXPECT_FALSE(testutil::exists(part(id)));
        EXPECT_TRUE(same_bytes(head, testutil::read_all(blob(digest))));
    }
}

// ---- cancel and size ------------------------------------------------------------------

TEST_F(BlobStoreTest, CancelRemovesTheUploadAndForgivesUnknownIds) {
    std::string id = upload("to be dropped");
    ASSERT_EQ(0, reg_blob_cancel_upload(id.c_str())) << last_error();
    EXPECT_FALSE(testutil::exists(part(id)));

    set_error("earlier");
    std::string dir_id = "00000000-0000-0000-0000-000000000000";
    fs::create_directories(part(dir_id));
    for (const std::string &gone : {id, kFirstId, dir_id}) {
        SCOPED_TRACE(gone);
        EXPECT_EQ(0, reg_blob_cancel_upload(gone.c_str()));
        EXPECT_EQ("earlier", last_error());
    }
    EXPECT_TRUE(testutil::is_dir(part(dir_id)));

    std::string kept = upload("kept");
    expect_failures({
        // The first removal is the session lock's own temporary; the second is the part file.
        {"removal fails", [] { plat_fault_inject(PLAT_OP_UNLINK, 2); },
         [&] { return reg_blob_cancel_upload(kept.c_str()); }, "cancel failed"},
    });
    EXPECT_EQ("kept", testutil::read_all(part(kept)));
}

// A cancel that comes while an append receives its body, or while a finish
// stores the bytes, is refused as a second writer is, and the other request
// ends as if no cancel had come. Without that the append reported its bytes
// kept in a part file that was gone, and the finish failed its move.
TEST_F(BlobStoreTest, ACancelDuringAnAppendOrAFinishIsRefused) {
    std::string head = varied(10000, 300);
    std::string id = upload(head);
    gated_body body(varied(20000, 301), 5000);
    int append_rc = 99;
    int64_t size = -1;
    std::thread appender([&] {
        append_rc = reg_upload_append_from(id.c_str(), static_cast<int64_t>(head.size()), read_gated, &body, &size);
        body.set(&gated_body::ended);
    });
    body.await_append();
    int cancel_rc = reg_blob_cancel_upload(id.c_str());
    reg_err_kind kind = reg_storage_last_error_kind();
    std::string why = last_error();
    body.set(&gated_body::open);
    appender.join();
    ASSERT_TRUE(body.waiting) << "the append ended before its body did: " << append_rc;
    EXPECT_EQ(-1, cancel_rc);
    EXPECT_EQ(REG_ERR_CONFLICT, kind);
    EXPECT_EQ("another request is writing to upload " + id, why);
    EXPECT_EQ(0, append_rc) << last_error();
    std::string whole = head + body.bytes;
    EXPECT_EQ(static_cast<int64_t>(whole.size()), size);
    ASSERT_TRUE(same_bytes(whole, testutil::read_all(part(id))));

    // Held where the finish has hashed the part file and is about to move it.
    std::string digest = sha256_digest(whole);
    ASSERT_FALSE(testutil::exists(fan_out(digest)));
    struct During {
        std::string id;
        int rc = 99;
        reg_err_kind kind = REG_ERR_NONE;
    } during{id};
    plat_hook_inject_path(
        PLAT_OP_MKDIR, fan_out(digest).c_str(),
        [](void *p) {
            auto *d = static_cast<During *>(p);
            d->rc = reg_blob_cancel_upload(d->id.c_str());
            d->kind = reg_storage_last_error_kind();
        },
        &during);
    char out[72] = "";
    EXPECT_EQ(0, reg_blob_finish_upload(id.c_str(), digest.c_str(), out)) << last_error();
    plat_hook_inject_path(PLAT_OP_MKDIR, nullptr, nullptr, nullptr);
    EXPECT_EQ(-1, during.rc);
    EXPECT_EQ(REG_ERR_CONFLICT, during.kind);
    EXPECT_TRUE(same_bytes(whole, testutil::read_all(blob(digest))));
    // Once the finish is done, a cancel of the finished session is forgiven as before.
    EXPECT_EQ(0, reg_blob_cancel_upload(id.c_str())) << last_error();
}

TEST_F(BlobStoreTest, UploadSizeFailures) {
    std::string dir_id = "00000000-0000-0000-0000-000000000000";
    fs::create_directories(part(dir_id));
    int64_t bytes = 42;
    expect_failures({
        {"unknown id", nullptr, [&] { return reg_blob_upload_size(kFirstId.c_str(), &bytes); },
         "upload not found: " + kFirstId},
        {"part path is a directory", nullptr, [&] { return reg_blob_upload_size(dir_id.c_str(), &bytes); },
         "upload not found: " + dir_id},
    });
    EXPECT_EQ(42, bytes);
}

// ---- the store ----------------------------------------------------------------------------

TEST_F(BlobStoreTest, MissingBlobsAreAnAnswerNotAnError) {
    std::string absent = sha256_digest("never stored");
    std::string dir_digest = sha256_digest("a directory");
    fs::create_directories(blob(dir_digest));
    for (const std::string &digest : {absent, dir_digest}) {
        SCOPED_TRACE(digest);
        set_error("earlier");
        EXPECT_EQ(0, reg_blob_exists(digest.c_str()));
        EXPECT_EQ(-1, reg_blob_get_size(digest.c_str()));
        EXPECT_EQ("earlier", last_error());
        char path[kPathMax];
        expect_failures({
            {"get path", nullptr, [&] { return reg_blob_get_filepath(digest.c_str(), path, sizeof path); },
             "blob not found: " + digest},
            {"delete", nullptr, [&] { return reg_blob_delete(digest.c_str()); }, "blob not found: " + digest},
        });
    }
    EXPECT_TRUE(testutil::is_dir(blob(dir_digest)));
}

TEST_F(BlobStoreTest, FilePathIsTheFullPathAndMustFit) {
    std::string digest = store("where am I");
    std::string expected = root_ + "/blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7);
    std::vector<char> buf(expected.size() + 1, 'x');
    expect_failures({
        {"capacity equal to the length", nullptr,
         [&] { return reg_blob_get_filepath(digest.c_str(), buf.data(), expected.size()); }, "path buffer too small"},
    });
    EXPECT_EQ(std::string(buf.size(), 'x'), std::string(buf.begin(), buf.end()));
    ASSERT_EQ(0, reg_blob_get_filepath(digest.c_str(), buf.data(), buf.size())) << last_error();
    EXPECT_EQ(expected, std::string(buf.data()));
    EXPECT_EQ("where am I", testutil::read_all(buf.data()));
}

TEST_F(BlobStoreTest, DeleteRemovesTheBlobAndAnEmptiedFanOutDirectory) {
    // Two blobs sharing a fan-out directory: found by hashing small texts.
    std::string a = "0", b;
    for (int i = 1; b.empty(); ++i)
        if (sha256_digest(std::to_string(i)).substr(7, 2) == sha256_digest(a).substr(7, 2)) b = std::to_string(i);
    std::string da = store(a), db = store(b);
    ASSERT_EQ(fan_out(da), fan_out(db));

    ASSERT_EQ(0, reg_blob_delete(da.c_str())) << last_error();
    EXPECT_FALSE(testutil::exists(blob(da)));
    EXPECT_EQ(b, testutil::read_all(blob(db)));
    EXPECT_EQ(0, reg_blob_exists(da.c_str()));

    expect_failures({
        {"removal fails", [] { plat_fault_inject(PLAT_OP_UNLINK, 1); }, [&] { return reg_blob_delete(db.c_str()); },
         "remove failed"},
    });
    EXPECT_EQ(b, testutil::read_all(blob(db)));

    ASSERT_EQ(0, reg_blob_delete(db.c_str())) << last_error();
    EXPECT_FALSE(testutil::exists(fan_out(db)));
    EXPECT_TRUE(testutil::is_dir(root_ + "/blobs/sha256"));

    // Stored again after its directory went: the directory comes back.
    EXPECT_EQ(da, store(a));
    EXPECT_EQ(a, testutil::read_all(blob(da)));
}

// ---- the platform calls uploads rely on ----------------------------------------------------

TEST_F(BlobStoreTest, PlatformCreatesExclusivelyAndAppendsWithoutCreating) {
    testutil::write_all(tmp_ / "file", "abc");
    fs::create_directories(tmp_ / "dir");
    struct {
        std::string rel;
        int create;
        int append;
    } rows[] = {
        {"new", 0, PLAT_MISSING},         {"file", PLAT_EXISTS, 0},         {"dir", PLAT_EXISTS, PLAT_MISSING},
        {"none/child", -1, PLAT_MISSING}, {"file/child", -1, PLAT_MISSING},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.rel);
        std::string path = tmp_ / row.rel;
        int fd = plat_open_append_existing(path.c_str());
        EXPECT_EQ(row.append, fd < 0 ? fd : 0);
        if (fd >= 0) {
            EXPECT_EQ(0, plat_write_all(fd, "def", 3));
            plat_close(fd);
        }
        EXPECT_EQ(row.create, plat_create_excl(path.c_str()));
    }
    EXPECT_EQ("abcdef", testutil::read_all(tmp_ / "file"));
    EXPECT_EQ("", testutil::read_all(tmp_ / "new"));

    unsigned char one[16] = {}, two[16] = {};
    ASSERT_EQ(0, plat_random_bytes(one, sizeof one));
    ASSERT_EQ(0, plat_random_bytes(two, sizeof two));
    EXPECT_NE(0, memcmp(one, two, sizeof one));
}

// ---- streamed appends ------------------------------------------------------

// A request body handed over in pieces of a fixed size, as a socket delivers it.
struct piece_feed {
    piece_feed(const std::string &bytes, size_t piece_bytes, std::string part_path = "")
        : data(&bytes), piece(piece_bytes), part(std::move(part_path)) {}
    const std::string *data;
    size_t piece;
    std::string part; // the part file to look at while reading, or none
    size_t at = 0;
    int open_past_cache = -1; // seen while reading: is the part file open past the page cache
};

// Whether the part file is open with O_DIRECT in this process, from /proc/self/fdinfo.
int part_open_past_cache(const std::string &part) {
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) != part) continue;
        std::string info = testutil::read_all("/proc/self/fdinfo/" + entry.path().filename().string());
        size_t at = info.find("flags:");
        if (at == std::string::npos) return -1;
        unsigned long flags = std::stoul(info.substr(at + 6), nullptr, 8);
        return (flags & O_DIRECT) ? 1 : 0;
    }
    return -1;
}

long feed_pieces(void *ctx, void *buf, size_t cap) {
    auto *f = static_cast<piece_feed *>(ctx);
    if (f->open_past_cache < 0 && !f->part.empty()) f->open_past_cache = part_open_past_cache(f->part);
    size_t n = std::min({f->piece, cap, f->data->size() - f->at});
    memcpy(buf, f->data->data() + f->at, n);
    f->at += n;
    return static_cast<long>(n);
}

// Whether files under dir can be written past the page cache at all.
bool direct_writes_possible(const std::string &dir) {
    std::string probe = dir + "/direct-probe";
    int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_DIRECT, 0600);
    if (fd >= 0) close(fd);
    unlink(probe.c_str());
    return fd >= 0;
}

// Megabytes compared, told as a length and the first differing offset.
::testing::AssertionResult same_bytes(const std::string &want, const std::string &got) {
    if (want == got) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < want.size() && at < got.size() && want[at] == got[at]) ++at;
    return ::testing::AssertionFailure() << "want " << want.size() << " bytes, got " << got.size()
                                         << ", first difference at " << at;
}

std::string pattern(size_t len, unsigned seed) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
    return s;
}

// Whole blocks of an append go past the page cache when flushing is on; the
// rest, and every append that starts off a block, goes through it. Whatever
// the mix, the part file holds exactly the bytes sent, in order, and the
// running hash finishes the upload without reading the file again.
TEST_F(BlobStoreTest, StreamedAppendsKeepEveryByteWhateverTheBlockAlignment) {
    const bool direct_here = direct_writes_possible(root_ + "/uploads");
    struct Case {
        const char *what;
        std::vector<size_t> appends; // bytes of each append, in order
        size_t piece;                // bytes the body hands over per read
        int fsync;
        bool first_past_cache; // the first append is written past the page cache
    };
    const size_t mib = 1 << 20;
    const std::vector<Case> cases = {
        {"one append of whole blocks", {2 * mib}, 65536, 1, true},
        {"a tail shorter than a block", {2 * mib + 3}, 65536, 1, true},
        {"pieces that never meet a block end", {3 * mib + 5000}, 1000, 1, true},
        {"a short first append, then one off the block", {5000, mib + 7, 4096 * 300}, 8192, 1, true},
        {"an empty append", {0, 4096}, 4096, 1, true},
        {"flushing off: the page cache only", {mib + 123}, 65536, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        s_fsync = c.fsync;
        char id[37];
        ASSERT_EQ(0, reg_upload_start("lib/app", id)) << last_error();
        std::string sent;
        for (size_t i = 0; i < c.appends.size(); ++i) {
            std::string data = pattern(c.appends[i], static_cast<unsigned>(sent.size()));
            piece_feed feed(data, c.piece, fs::weakly_canonical(part(id)).string());
            int64_t size = -1;
            ASSERT_EQ(0, reg_upload_append_from(id, static_cast<int64_t>(sent.size()), feed_pieces, &feed, &size))
                << last_error();
            sent += data;
            EXPECT_EQ(static_cast<int64_t>(sent.size()), size);
            if (i == 0 && direct_here && !data.empty()) {
                EXPECT_EQ(c.first_past_cache ? 1 : 0, feed.open_past_cache);
            }
        }
        ASSERT_TRUE(same_bytes(sent, testutil::read_all(part(id))));
        // A wrong hash state would show here: the finish trusts the running hash.
        char out[72];
        ASSERT_EQ(0, reg_blob_finish_upload(id, sha256_digest(sent).c_str(), out)) << last_error();
        EXPECT_TRUE(same_bytes(sent, testutil::read_all(blob(out))));
    }
    s_fsync = 1;
}

// A write that fails in the middle of an append past the page cache puts the
// part file back to its length before the append, and the upload goes on from there.
TEST_F(BlobStoreTest, AFailedWriteMidAppendLeavesThePartAsBefore) {
    s_fsync = 1;
    char id[37];
    ASSERT_EQ(0, reg_upload_start("lib/app", id)) << last_error();
    std::string first = pattern(8192, 1), second = pattern(3 << 20, 2);
    piece_feed feed(first, 65536);
    int64_t size = -1;
    ASSERT_EQ(0, reg_upload_append_from(id, 0, feed_pieces, &feed, &size)) << last_error();
    plat_fault_inject(PLAT_OP_WRITE, 2); // the second piece written
    piece_feed broken(second, 65536);
    EXPECT_EQ(-1, reg_upload_append_from(id, 8192, feed_pieces, &broken, &size));
    EXPECT_TRUE(same_bytes(first, testutil::read_all(part(id))));
    piece_feed again(second, 65536);
    ASSERT_EQ(0, reg_upload_append_from(id, 8192, feed_pieces, &again, &size)) << last_error();
    char out[72];
    ASSERT_EQ(0, reg_blob_finish_upload(id, sha256_digest(first + second).c_str(), out)) << last_error();
    EXPECT_TRUE(same_bytes(first + second, testutil::read_all(blob(out))));
}

// A body that may break off: it answers -1 once `fail_at` bytes are handed
// out. Armed at its first read, once the append holds its lock, a write fault
// counts only the writes of the body itself.
struct breaking_feed {
    const std::string *data;
    size_t piece;
    size_t fail_at;
    int failing_write = 0; // this write of the body fails with ENOSPC (0: none)
    std::function<void()> at_first_read = nullptr;
    std::atomic<size_t> at{0};
};

long feed_until_break(void *ctx, void *buf, size_t cap) {
    auto *f = static_cast<breaking_feed *>(ctx);
    if (f->at_first_read) {
        f->at_first_read();
        f->at_first_read = nullptr;
    }
    size_t at = f->at.load();
    if (at >= f->fail_at) return -1;
    size_t n = std::min({f->piece, cap, f->data->size() - at, f->fail_at - at});
    memcpy(buf, f->data->data() + at, n);
    f->at.store(at + n);
    return static_cast<long>(n);
}

// A body that breaks off and a write that fails, wherever they fall in a long
// body, undo the append whole and keep the running hash, so the upload goes
// on from the same place; a failed write also stops the reading well before
// the body's end.
TEST_F(BlobStoreTest, LongAppendsAreWholeOrUndoneWhereverTheyStop) {
    const size_t mib = 1 << 20, never = SIZE_MAX;
    struct Case {
        const char *what;
        size_t body;
        size_t piece;
        int fsync;
        size_t break_at; // the body breaks off after this many bytes
        int failing_write; // this write of the body fails (0: none)
    };
    const std::vector<Case> cases = {
        {"exactly one buffer", mib, 65536, 1, never, 0},
        {"one byte past a buffer", mib + 1, 65536, 1, never, 0},
        {"many times round the buffers, odd reads", 9 * mib + 77, 1000, 1, never, 0},
        {"many times round the buffers, page cache", 9 * mib + 77, 65536, 0, never, 0},
        {"breaks off in the third buffer", 6 * mib, 65536, 1, 2 * mib + 5, 0},
        {"breaks off just after a whole buffer", 6 * mib, 65536, 0, mib, 0},
        {"the first write fails", 6 * mib, 65536, 1, never, 1},
        {"a later write fails", 32 * mib, 65536, 1, never, 3},
        {"a later write fails, page cache", 32 * mib, 65536, 0, never, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        s_fsync = c.fsync;
        char id[37];
        ASSERT_EQ(0, reg_upload_start("lib/app", id)) << last_error();
        // A first append, so an undo has something to keep.
        std::string first = pattern(8192, 7), body = pattern(c.body, 11);
        piece_feed head(first, 4096);
        ASSERT_EQ(0, reg_upload_append_from(id, 0, feed_pieces, &head, nullptr)) << last_error();
        breaking_feed feed{&body, c.piece, c.break_at};
        if (c.failing_write)
            feed.at_first_read = [&] { plat_fault_inject_errno(PLAT_OP_WRITE, c.failing_write, ENOSPC); };
        int64_t size = -1;
        int rc = reg_upload_append_from(id, 8192, feed_until_break, &feed, &size);
        bool stopped = c.break_at != never || c.failing_write != 0;
        if (stopped) {
            EXPECT_EQ(-1, rc);
            EXPECT_TRUE(same_bytes(first, testutil::read_all(part(id))));
            if (c.failing_write) {
                EXPECT_EQ(ENOSPC, reg_storage_last_errno()) << last_error();
                EXPECT_LE(feed.at.load(), 16 * mib) << "read on long after the write failed";
            } else {
                EXPECT_EQ(REG_ERR_INVALID, reg_storage_last_error_kind());
            }
            breaking_feed again{&body, c.piece, never};
            ASSERT_EQ(0, reg_upload_append_from(id, 8192, feed_until_break, &again, &size)) << last_error();
        } else {
            ASSERT_EQ(0, rc) << last_error();
        }
        EXPECT_EQ(static_cast<int64_t>(first.size() + body.size()), size);
        ASSERT_TRUE(same_bytes(first + body, testutil::read_all(part(id))));
        char out[72];
        ASSERT_EQ(0, reg_blob_finish_upload(id, sha256_digest(first + body).c_str(), out)) << last_error();
        EXPECT_TRUE(same_bytes(first + body, testutil::read_all(blob(out))));
    }
    s_fsync = 1;
}

// An append flushes nothing: the part file is flushed once, when the upload
// finishes, and the saved hash is trusted only while it matches the part
// file's length. A record from before the last append (as a crash could leave
// it) is not trusted: the finish reads the part file and still stores the
// right blob.
TEST_F(BlobStoreTest, AppendsFlushNothingAndAStaleHashRecordIsNotTrusted) {
    s_fsync = 1;
    char id[37];
    ASSERT_EQ(0, reg_upload_start("lib/app", id)) << last_error();
    std::string first = pattern(3 << 20, 3), second = pattern(70000, 4);
    piece_feed a(first, 65536);
    plat_op_counts_reset();
    ASSERT_EQ(0, reg_upload_append_from(id, 0, feed_pieces, &a, nullptr)) << last_error();
    EXPECT_EQ(0u, plat_op_count(PLAT_OP_FSYNC));
    EXPECT_EQ(0u, plat_op_count(PLAT_OP_FSYNC_DIR));
    std::string hash_path = root_ + "/uploads/_state/" + id + ".hash";
    std::string stale = testutil::read_all(hash_path);
    piece_feed b(second, 65536);
    ASSERT_EQ(0, reg_upload_append_from(id, static_cast<int64_t>(first.size()), feed_pieces, &b, nullptr))
        << last_error();
    testutil::write_all(hash_path, stale);
    char out[72];
    ASSERT_EQ(0, reg_blob_finish_upload(id, sha256_digest(first + second).c_str(), out)) << last_error();
    EXPECT_TRUE(same_bytes(first + second, testutil::read_all(blob(out))));
}

} // namespace
