// Tests for following a garbage-collection run: the snapshot text, reading it back, the cancel marker.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/reg_storage.h"
#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

constexpr char kIdle[] = R"({"running":false,"phase":"idle","blobs_scanned":0,"blobs_total":0,"blobs_deleted":0,)"
                         R"("bytes_freed":0,"dry_run":false,"started_unix":0,"elapsed_ms":0,"cancelled":false})";

void set_mtime(const std::string &path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0)) << path;
}

class GcProgressTest : public testutil::StorageTest {
protected:
    std::string gc(const std::string &file) const { return root_ + "/_gc/" + file; }

    // Writes the snapshot as a run would have written it age seconds ago.
    void snapshot_aged(const std::string &text, int age) const {
        testutil::write_all(gc("progress.json"), text);
        set_mtime(gc("progress.json"), time(nullptr) - age);
    }

    static std::string progress() { return reg_gc_progress_json(); }
};

TEST_F(GcProgressTest, NoStateDirectoryReadsIdle) {
    EXPECT_FALSE(testutil::exists(root_ + "/_gc"));
    EXPECT_EQ(kIdle, progress());
}

TEST_F(GcProgressTest, ReadsBackWhatTheSnapshotSays) {
    const std::string done = R"({"running":false,"phase":"done","blobs_scanned":7,"blobs_total":9,"blobs_deleted":3,)"
                             R"("bytes_freed":1234,"dry_run":true,"started_unix":1700000000,"elapsed_ms":42,)"
                             R"("cancelled":true})";
    struct Case {
        const char *what;
        std::string text;
        int age;
        std::string expected;
    } cases[] = {
        {"600 s old is still shown", done, 600, done},
        {"601 s old reads idle", done, 601, kIdle},
        {"a time ahead of the clock is shown", done, -30, done},
        {"no phase stays idle", R"({"running":true,"blobs_total":4,"elapsed_ms":9})", 0,
         R"({"running":true,"phase":"idle","blobs_scanned":0,"blobs_total":4,"blobs_deleted":0,"bytes_freed":0,)"
         R"("dry_run":false,"started_unix":0,"elapsed_ms":9,"cancelled":false})"},
        {"empty phase of an ended run reads done", R"({"running":false,"phase":"","elapsed_ms":1})", 0,
         R"({"running":false,"phase":"done","blobs_scanned":0,"blobs_total":0,"blobs_deleted":0,"bytes_freed":0,)"
         R"("dry_run":false,"started_unix":0,"elapsed_ms":1,"cancelled":false})"},
        {"empty phase of a running run stays empty", R"({"running":true,"phase":"","elapsed_ms":1})", 0,
         R"({"running":true,"phase":"","blobs_scanned":0,"blobs_total":0,"blobs_deleted":0,"bytes_freed":0,)"
         R"("dry_run":false,"started_unix":0,"elapsed_ms":1,"cancelled":false})"},
        {"long phase cut to 15", R"({"running":true,"phase":"abcdefghijklmnopqrstuvwxyz","elapsed_ms":1})", 0,
         R"({"running":true,"phase":"abcdefghijklmno","blobs_scanned":0,"blobs_total":0,"blobs_deleted":0,)"
         R"("bytes_freed":0,"dry_run":false,"started_unix":0,"elapsed_ms":1,"cancelled":false})"},
        {"fraction, number-as-boolean, wrong types and duplicates",
         R"({"running":1,"phase":7,"blobs_total":5.0,"blobs_scanned":"3","dry_run":"true","cancelled":null,)"
         R"("blobs_deleted":2,"blobs_deleted":8,"bytes_freed":-5,"elapsed_ms":3})",
         0,
         R"({"running":false,"phase":"idle","blobs_scanned":0,"blobs_total":0,"blobs_deleted":2,"bytes_freed":-5,)"
         R"("dry_run":false,"started_unix":0,"elapsed_ms":3,"cancelled":false})"},
        {"counts keep their low 32 bits",
         R"({"running":true,"phase":"deleting","blobs_scanned":4294967297,"blobs_total":2147483648,)"
         R"("bytes_freed":18446744073709551615,"elapsed_ms":3})",
         0,
         R"({"running":true,"phase":"deleting","blobs_scanned":1,"blobs_total":-2147483648,"blobs_deleted":0,)"
         R"("bytes_freed":-1,"dry_run":false,"started_unix":0,"elapsed_ms":3,"cancelled":false})"},
        {"not an object", "[]", 0, kIdle},
        {"half written", R"({"running":true,"pha)", 0, kIdle},
        {"empty file", "", 0, kIdle},
    };
    for (const Case &c : cases) {
        snapshot_aged(c.text, c.age);
        EXPECT_EQ(c.expected, progress()) << c.what;
    }
}

TEST_F(GcProgressTest, MissingElapsedTimeIsMeasuredFromTheStart) {
    int64_t started = plat_wall_seconds() - 5;
    for (const char *elapsed : {"0", "-40"}) {
        snapshot_aged(R"({"running":true,"phase":"walking","started_unix":)" + std::to_string(started) +
                          R"(,"elapsed_ms":)" + elapsed + "}",
                      0);
        int64_t before = (plat_wall_seconds() - started) * 1000;
        std::string text = progress();
        json_doc *doc = json_read(text.data(), text.size());
        ASSERT_NE(nullptr, doc);
        int64_t got = gc_json_int(json_doc_root(doc), "elapsed_ms");
        json_doc_free(doc);
        int64_t after = (plat_wall_seconds() - started) * 1000;
        EXPECT_GE(got, before) << elapsed;
        EXPECT_LE(got, after) << elapsed;
    }
    // Without a start there is nothing to measure from.
    snapshot_aged(R"({"running":true,"phase":"walking","elapsed_ms":0})", 0);
    EXPECT_NE(std::string::npos, progress().find(R"("started_unix":0,"elapsed_ms":0,)"));
}

std::string repeat(const std::string &text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// A phase read back is escaped like any JSON string and cut to the record's
// 15 bytes without splitting a character, so the answer always parses.
TEST_F(GcProgressTest, PhaseReadBackIsEscapedAndCutWhole) {
    const std::string a11(11, 'a'), a12(12, 'a'), a13(13, 'a'), a14(14, 'a');
    const std::string e_acute = "\xc3\xa9", euro = "\xe2\x82\xac", smile = "\xf0\x9f\x98\x80";
    struct Case {
        const char *what;
        std::string phase_json; // the phase as the snapshot holds it, quotes included
        std::string rendered;   // the phase as the answer carries it, quotes left out
        std::string decoded;    // what that text means
    } cases[] = {
        {"quote", R"("a\"b")", R"(a\"b)", "a\"b"},
        {"backslash", R"("a\\b")", R"(a\\b)", "a\\b"},
        {"control bytes", R"("\n\t\u0001\u001f")", R"(\n\t\u0001\u001f)", "\n\t\x01\x1f"},
        {"quotes past the cut", "\"" + repeat("\\\"", 16) + "\"", repeat("\\\"", 15), std::string(15, '"')},
        {"two-byte character across the cut", "\"" + a14 + e_acute + "\"", a14, a14},
        {"two-byte character ending at the cut", "\"" + a13 + e_acute + "z\"", a13 + e_acute, a13 + e_acute},
        {"three-byte character across the cut", "\"" + a13 + euro + "\"", a13, a13},
        {"four-byte character across the cut", "\"" + a12 + smile + "\"", a12, a12},
        {"four-byte character ending at the cut", "\"" + a11 + smile + "zz\"", a11 + smile, a11 + smile},
        {"escaped character across the cut", "\"" + a14 + R"(\u00e9")", a14, a14},
        {"only three-byte characters", "\"" + repeat(euro, 6) + "\"", repeat(euro, 5), repeat(euro, 5)},
        {"a NUL ends the phase", R"("ab\u0000cd")", "ab", "ab"},
    };
    for (const Case &c : cases) {
        snapshot_aged(R"({"running":true,"phase":)" + c.phase_json + R"(,"elapsed_ms":1})", 0);
        const std::string text = progress();
        EXPECT_EQ(R"({"running":true,"phase":")" + c.rendered +
                      R"(","blobs_scanned":0,"blobs_total":0,"blobs_deleted":0,"bytes_freed":0,"dry_run":false,)"
                      R"("started_unix":0,"elapsed_ms":1,"cancelled":false})",
                  text)
            << c.what;
        json_doc_ptr doc(json_read(text.data(), text.size()));
        ASSERT_NE(nullptr, doc) << c.what << ": " << text;
        json_val *phase = json_obj_get(json_doc_root(doc.get()), "phase");
        ASSERT_TRUE(json_is_str(phase)) << c.what;
        EXPECT_EQ(c.decoded, std::string(json_get_str(phase), json_get_len(phase))) << c.what;
    }
}

// A start far from now must not overflow the milliseconds: the answer stays
// in the 64-bit range, and a start that is not positive measures nothing.
TEST_F(GcProgressTest, ElapsedTimeOfAFarStartStaysInRange) {
    struct Case {
        const char *started;
        bool from_clock; // the answer is (now - started) * 1000
        int64_t elapsed; // otherwise the answer is this
    } cases[] = {
        {"9223372036854775807", false, INT64_MIN},
        {"9300000000000000", false, INT64_MIN},
        {"9000000000000000", true, 0},
        {"1", true, 0},
        {"-9223372036854775808", false, 0},
        {"18446744073709551615", false, 0}, // an unsigned value keeps its bits: -1
    };
    for (const Case &c : cases) {
        snapshot_aged(R"({"running":true,"phase":"walking","started_unix":)" + std::string(c.started) +
                          R"(,"elapsed_ms":0})",
                      0);
        const int64_t before = plat_wall_seconds();
        const std::string text = progress();
        const int64_t after = plat_wall_seconds();
        json_doc_ptr doc(json_read(text.data(), text.size()));
        ASSERT_NE(nullptr, doc) << c.started << ": " << text;
        const int64_t got = gc_json_int(json_doc_root(doc.get()), "elapsed_ms");
        if (c.from_clock) {
            const int64_t started = std::stoll(c.started);
            EXPECT_GE(got, (before - started) * 1000) << c.started;
            EXPECT_LE(got, (after - started) * 1000) << c.started;
        } else {
            EXPECT_EQ(c.elapsed, got) << c.started;
        }
    }
}

TEST_F(GcProgressTest, ReadBackNeedsNoStartedEngineAndLeavesTheLastErrorAlone) {
    snapshot_aged(R"({"running":false,"phase":"done","elapsed_ms":5})", 0);
    reg_storage_cleanup();
    EXPECT_EQ(-1, reg_gc_cancel());
    const std::string error = reg_storage_last_error();
    EXPECT_EQ("not initialized - call reg_storage_init first", error);
    // No storage root: nothing to read.
    EXPECT_EQ(kIdle, progress());
    EXPECT_EQ(error, reg_storage_last_error());
}

TEST_F(GcProgressTest, SnapshotTextOfAFilledRecord) {
    gc_progress record{};
    record.running = 1;
    snprintf(record.phase, sizeof record.phase, "deleting");
    record.blobs_scanned = 256;
    record.blobs_total = 1000;
    record.blobs_deleted = -3;
    record.bytes_freed = 9007199254740993LL;
    record.dry_run = 1;
    record.started_unix = 1700000000;
    record.elapsed_ms = 1234567;
    record.cancelled = 0;
    char text[kGcSnapshotMax];
    gc_snapshot_json(&record, text);
    EXPECT_STREQ(R"({"running":true,"phase":"deleting","blobs_scanned":256,"blobs_total":1000,"blobs_deleted":-3,)"
                 R"("bytes_freed":9007199254740993,"dry_run":true,"started_unix":1700000000,"elapsed_ms":1234567,)"
                 R"("cancelled":false})",
                 text);

    // The writer creates the state directory and replaces the file whole, without a line end.
    gc_write_snapshot(&record);
    EXPECT_EQ(text, testutil::read_all(gc("progress.json")));
    record.running = 0;
    gc_write_snapshot(&record);
    gc_snapshot_json(&record, text);
    EXPECT_EQ(text, testutil::read_all(gc("progress.json")));
}

TEST_F(GcProgressTest, CancelMarkerIsOneEmptyFile) {
    EXPECT_EQ(0, gc_cancel_requested());
    EXPECT_EQ(0, reg_gc_cancel()) << reg_storage_last_error();
    EXPECT_EQ(0, reg_gc_cancel()) << reg_storage_last_error();
    EXPECT_EQ(1, gc_cancel_requested());
    EXPECT_EQ("", testutil::read_all(gc("cancel")));
    EXPECT_TRUE(fs::is_regular_file(gc("cancel")));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(root_ + "/_gc"), fs::directory_iterator{}));
}

TEST_F(GcProgressTest, CancelFailures) {
    struct Case {
        const char *what;
        void (*stage)(const std::string &root);
        const char *error;
    } cases[] = {
        {"a directory stands where the marker goes",
         [](const std::string &root) { fs::create_directories(root + "/_gc/cancel"); },
         "cannot write gc cancel marker"},
        {"the state directory is a file", [](const std::string &root) { testutil::write_all(root + "/_gc", "x"); },
         "cannot write gc cancel marker"},
        {"the state directory cannot be made",
         [](const std::string &root) {
             plat_fault_inject_path(PLAT_OP_MKDIR, (root + "/_gc").c_str());
         },
         "cannot create gc state directory"},
    };
    for (const Case &c : cases) {
        fs::remove_all(root_ + "/_gc");
        ASSERT_EQ(0, reg_storage_init(root_.c_str()));
        c.stage(root_);
        EXPECT_EQ(-1, reg_gc_cancel()) << c.what;
        EXPECT_STREQ(c.error, reg_storage_last_error()) << c.what;
        EXPECT_EQ(0, gc_cancel_requested()) << c.what;
        testutil::clear_platform_faults();
    }
}

TEST_F(GcProgressTest, JsonLookups) {
    const std::string text = R"({"t":true,"f":false,"n":1,"i":-7,"u":18446744073709551615,"r":5.0,"e":1e2,"s":"x",)"
                             R"("d":true,"d":false})";
    json_doc *doc = json_read(text.data(), text.size());
    ASSERT_NE(nullptr, doc);
    json_val *root = json_doc_root(doc);
    struct Case {
        const char *key;
        int as_bool;
        int64_t as_int;
    } cases[] = {
        {"t", 1, 0}, {"f", 0, 0}, {"n", 0, 1}, {"i", 0, -7}, {"u", 0, -1},
        {"r", 0, 0}, {"e", 0, 0}, {"s", 0, 0}, {"d", 1, 0},  {"missing", 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.as_bool, gc_json_bool(root, c.key)) << c.key;
        EXPECT_EQ(c.as_int, gc_json_int(root, c.key)) << c.key;
    }
    // A value that is not an object answers 0.
    json_val *t = json_obj_get(root, "t");
    EXPECT_EQ(0, gc_json_bool(t, "t"));
    EXPECT_EQ(0, gc_json_int(json_obj_get(root, "n"), "n"));
    json_doc_free(doc);
}

// ---- the kept outcome of a run ------------------------------------------------

constexpr char kRunning[] = R"({"running":true,"phase":"deleting","blobs_scanned":1,"blobs_total":2,"blobs_deleted":0,)"
                            R"("bytes_freed":0,"dry_run":false,"started_unix":1700000000,"elapsed_ms":5,)"
                            R"("cancelled":false})";
constexpr char kDone[] = R"({"running":false,"phase":"done","blobs_scanned":2,"blobs_total":2,"blobs_deleted":1,)"
                         R"("bytes_freed":9,"dry_run":false,"started_unix":1700000000,"elapsed_ms":7,)"
                         R"("cancelled":false})";
constexpr char kReport[] = R"({"dry_run":false,"blobs_total":2,"blobs_deleted":1})";

TEST_F(GcProgressTest, StatusAddsTheKeptOutcome) {
    EXPECT_EQ(kIdle, std::string(reg_gc_status_json())) << "nothing kept yet";
    snapshot_aged(kDone, 0);
    ASSERT_EQ(0, reg_gc_record_result(kReport, nullptr)) << reg_storage_last_error();
    EXPECT_EQ(std::string(kDone).substr(0, strlen(kDone) - 1) + ",\"last_result\":" + kReport + "}",
              std::string(reg_gc_status_json()));
    ASSERT_EQ(0, reg_gc_record_result(nullptr, "cannot start: \"lock\"\n")) << reg_storage_last_error();
    EXPECT_EQ(R"({"error":"cannot start: \"lock\"\n"})", testutil::read_all(gc("last_result.json")));
    reg_storage_cleanup();
    EXPECT_EQ(nullptr, reg_gc_status_json());
    EXPECT_EQ(-1, reg_gc_record_result(kReport, nullptr));
}

// What the detached run does at its end: its last progress record, then its outcome.
void finish_the_run(void *arg) {
    const std::string &root = *static_cast<const std::string *>(arg);
    testutil::write_all(root + "/_gc/progress.json", kDone);
    reg_gc_record_result(kReport, nullptr);
}

// A client follows a run until its outcome shows, then reads the progress
// beside it as the run's end. The run ending at any point of one status read
// must never show its outcome beside a progress record of it still running.
TEST_F(GcProgressTest, AnOutcomeShowsOnlyBesideTheEndOfItsRun) {
    struct Case {
        int finish_before_read; // the run ends just before this file read of the status call
        bool outcome_shown;
        bool done_shown;
    } cases[] = {
        {1, true, true}, {2, false, true}, {3, false, false}, // the run ends after the status was read
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.finish_before_read);
        fs::remove(gc("last_result.json"));
        snapshot_aged(kRunning, 0);
        plat_hook_inject(PLAT_OP_OPEN_READ, c.finish_before_read, finish_the_run, &root_);
        std::string status = reg_gc_status_json();
        plat_hook_inject(PLAT_OP_OPEN_READ, 0, nullptr, nullptr);
        bool outcome = status.find("\"last_result\":") != std::string::npos;
        bool done = status.find("\"running\":false,\"phase\":\"done\"") != std::string::npos;
        EXPECT_EQ(c.outcome_shown, outcome) << status;
        EXPECT_EQ(c.done_shown, done) << status;
        EXPECT_TRUE(!outcome || done) << "an outcome beside a running record: " << status;
    }
}

} // namespace
