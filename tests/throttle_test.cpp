// throttle_test.cpp - failed logins per address: the limit, its window and block, eviction, damaged state, two processes.
#include "auth/throttle.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

using testutil::ChildResult;
using testutil::TempDir;

constexpr int64_t kStart = 1700000000;
int64_t g_now = kStart;
int64_t test_clock() { return g_now; }

constexpr int kLimit = REGISTRY_THROTTLE_FAILURES;
constexpr int kWindow = REGISTRY_THROTTLE_WINDOW_SECONDS;
constexpr int kBlock = REGISTRY_THROTTLE_BLOCK_SECONDS;

// Runs steps in a child whose working directory is dir and whose clock starts at kStart.
ChildResult in_instance(const TempDir &dir, const std::function<void()> &steps) {
    return testutil::run_in_child(
        [&] {
            g_now = kStart;
            registry_auth_throttle_set_clock(test_clock);
            steps();
        },
        dir.path());
}

void fail_times(const char *addr, int n) {
    for (int i = 0; i < n; ++i)
        registry_auth_note_failure(addr);
}

// "<throttled> <failures>" of an address, as the child prints it.
void show(const char *addr) { printf("%d %d\n", registry_auth_throttled(addr), registry_auth_failures(addr)); }

TEST(Throttle, LimitWindowAndBlock) {
    struct Row {
        const char *name;
        std::function<void()> steps;
        std::string out; // what show() printed along the way
    };
    const char *a = "192.0.2.7";
    const std::vector<Row> rows = {
        {"nine failures pass, the tenth blocks",
         [&] {
             fail_times(a, kLimit - 1);
             show(a);
             registry_auth_note_failure(a);
             show(a);
             show("192.0.2.8");
         },
         "0 9\n1 10\n0 0\n"},
        {"failures spread over the window still block",
         [&] {
             fail_times(a, kLimit / 2);
             g_now += kWindow - 1;
             fail_times(a, kLimit - kLimit / 2);
             show(a);
         },
         "1 10\n"},
        {"a window that has passed starts the count afresh",
         [&] {
             fail_times(a, kLimit - 1);
             g_now += kWindow;
             show(a);
             registry_auth_note_failure(a);
             show(a);
         },
         "0 0\n0 1\n"},
        {"the block ends after its time",
         [&] {
             fail_times(a, kLimit);
             g_now += kBlock - 1;
             show(a);
             g_now += 1;
             printf("%d\n", registry_auth_throttled(a));
         },
         "1 10\n0\n"},
        {"no address counts as one address",
         [&] {
             fail_times(nullptr, kLimit - 1);
             registry_auth_note_failure("");
             show(nullptr);
             show("-");
         },
         "1 10\n1 10\n"},
        {"a lock that cannot be had loses the count, nothing else",
         [&] {
             plat_fault_inject(PLAT_OP_LOCK, 1);
             fail_times(a, kLimit);
             show(a);
         },
         "0 9\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        ChildResult res = in_instance(dir, r.steps);
        EXPECT_EQ(res.exit_code, 0);
        EXPECT_EQ(res.out, r.out);
    }
}

std::string addr_of(int i) { return "198.51.100." + std::to_string(i % 256) + "/" + std::to_string(i / 256); }

TEST(Throttle, ManyAddressesEvictTheOldestButSpareBlockedOnes) {
    TempDir dir;
    ChildResult res = in_instance(dir, [] {
        // The blocked address is the one seen longest ago; a second later the other slots fill.
        fail_times("203.0.113.1", kLimit);
        ++g_now;
        for (int i = 1; i < REGISTRY_THROTTLE_SLOTS; ++i)
            registry_auth_note_failure(addr_of(i).c_str());
        ++g_now;
        registry_auth_note_failure("203.0.113.2"); // one more address than slots
        show("203.0.113.1");
        show("203.0.113.2");
        int kept = 0;
        for (int i = 1; i < REGISTRY_THROTTLE_SLOTS; ++i)
            kept += registry_auth_failures(addr_of(i).c_str());
        printf("%d\n", kept);
        // Once every slot is blocked, the oldest goes all the same.
        g_now += 1;
        for (int i = 1; i < REGISTRY_THROTTLE_SLOTS; ++i)
            fail_times(addr_of(i).c_str(), kLimit);
        fail_times("203.0.113.2", kLimit - 1);
        registry_auth_note_failure("203.0.113.3");
        show("203.0.113.1");
        show("203.0.113.3");
    });
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out, "1 10\n0 1\n" + std::to_string(REGISTRY_THROTTLE_SLOTS - 2) + "\n0 0\n0 1\n");
    // Bounded: the table's size never grows with the addresses seen.
    int64_t size = 0;
    ASSERT_EQ(plat_file_info((dir / REGISTRY_THROTTLE_FILE).c_str(), &size, nullptr), 0);
    EXPECT_LT(size, 64 * 1024);
}

TEST(Throttle, DamagedStateBlocksNobodyAndIsStartedAfresh) {
    // A blocked address's state, taken as the model of a real file.
    TempDir model;
    ASSERT_EQ(in_instance(model, [] { fail_times("192.0.2.7", kLimit); }).exit_code, 0);
    const std::string good = testutil::read_all(model / REGISTRY_THROTTLE_FILE);
    ASSERT_GT(good.size(), 8u);
    std::string noise(good.size(), '\0');
    uint32_t x = 12345;
    for (char &c : noise)
        c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    std::string all_ff = good.substr(0, 8) + std::string(good.size() - 8, '\xff');
    std::string magic_then_noise = good.substr(0, 8) + noise.substr(8);
    // The address's slot kept, but its block ends a year from now: no writer of ours sets that.
    std::string far_block = good;
    size_t at = far_block.find("192.0.2.7");
    ASSERT_NE(at, std::string::npos);
    int64_t year = kStart + 365 * 86400;
    memcpy(&far_block[at + 64 + 16], &year, sizeof year);
    struct Row {
        const char *name;
        std::string content;
        bool directory = false;
    };
    const std::vector<Row> rows = {
        {"empty", ""},
        {"cut by one byte", good.substr(0, good.size() - 1)},
        {"one byte too long", good + "x"},
        {"noise of the right size", noise},
        {"right header, then noise", magic_then_noise},
        {"right header, then all bits set", all_ff},
        {"a block beyond any we set", far_block},
        {"a directory in its place", "", true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        if (r.directory)
            ASSERT_EQ(plat_mkdir((dir / REGISTRY_THROTTLE_FILE).c_str()), 0);
        else
            testutil::write_all(dir / REGISTRY_THROTTLE_FILE, r.content);
        ChildResult res = in_instance(dir, [] {
            show("192.0.2.7");
            registry_auth_note_failure("192.0.2.7");
            show("192.0.2.7");
        });
        EXPECT_EQ(res.exit_code, 0);
        EXPECT_EQ(res.out, r.directory ? "0 0\n0 0\n" : "0 0\n0 1\n");
    }
    // The model itself is honoured, so the rows above show the checks, not a reader that never blocks.
    ChildResult res = in_instance(model, [] { show("192.0.2.7"); });
    EXPECT_EQ(res.out, "1 10\n");
}

TEST(Throttle, TwoProcessesCountIntoOneFile) {
    constexpr int kEach = 200;
    TempDir dir;
    ChildResult res = in_instance(dir, [] {
        const char *own[2] = {"192.0.2.1", "192.0.2.2"};
        pid_t kids[2];
        for (int k = 0; k < 2; ++k) {
            kids[k] = fork();
            if (kids[k] == 0) {
                // A shared and an own address, so both one slot and the whole table are contended.
                for (int i = 0; i < kEach; ++i) {
                    registry_auth_note_failure("192.0.2.50");
                    registry_auth_note_failure(own[k]);
                }
                _exit(0);
            }
        }
        int ok = 0;
        for (pid_t kid : kids) {
            int status = 0;
            if (waitpid(kid, &status, 0) == kid && WIFEXITED(status) && WEXITSTATUS(status) == 0) ++ok;
        }
        printf("%d %d %d %d\n", ok, registry_auth_failures("192.0.2.50"), registry_auth_failures("192.0.2.1"),
               registry_auth_failures("192.0.2.2"));
    });
    EXPECT_EQ(res.exit_code, 0);
    EXPECT_EQ(res.out, "2 400 200 200\n");
    // Only the state and its lock are left: no temporary.
    int entries = 0;
    plat_dir *d = plat_dir_open(dir.path().c_str());
    ASSERT_NE(d, nullptr);
    const char *name;
    int is_dir, is_link;
    while (plat_dir_next(d, &name, &is_dir, &is_link) == 1)
        if (!is_dir) {
            ++entries;
            EXPECT_FALSE(plat_is_temp_name(name)) << name;
        }
    plat_dir_close(d);
    EXPECT_EQ(entries, 2);
}

} // namespace
