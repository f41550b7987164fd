// Tests for the POSIX platform door: entry kinds, file info, enumeration flags, mkdir, whole-file reads and
// replacements, and fault injection.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <new>
#include <string>

#include "tests/fixtures.h"
#include "tests/test_util.h"

namespace {

using testutil::TempDir;

class PlatformTest : public ::testing::Test {
protected:
    void TearDown() override { testutil::clear_platform_faults(); }

    // dir/, dir/file (5 bytes), and links to each of them plus one to nothing.
    void make_mixed_tree() {
        testutil::write_all(tmp_ / "dir/inner", "x");
        testutil::write_all(tmp_ / "file", "hello");
        ASSERT_EQ(0, symlink((tmp_ / "dir").c_str(), (tmp_ / "link_dir").c_str()));
        ASSERT_EQ(0, symlink((tmp_ / "file").c_str(), (tmp_ / "link_file").c_str()));
        ASSERT_EQ(0, symlink((tmp_ / "nowhere").c_str(), (tmp_ / "link_dangling").c_str()));
    }

    TempDir tmp_;
};

TEST_F(PlatformTest, EntryKindFollowsLinksAndTreatsFailuresAsAbsent) {
    make_mixed_tree();
    struct {
        std::string rel;
        int kind;
        int is_link;
    } rows[] = {
        {"dir", PLAT_DIR, 0},
        {"file", PLAT_FILE, 0},
        {"link_dir", PLAT_DIR, 1},
        {"link_file", PLAT_FILE, 1},
        {"link_dangling", PLAT_ABSENT, 1},
        {"missing", PLAT_ABSENT, 0},
        {"file/below_a_file", PLAT_ABSENT, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.rel);
        EXPECT_EQ(row.kind, plat_entry_kind((tmp_ / row.rel).c_str()));
        EXPECT_EQ(row.is_link, plat_is_link((tmp_ / row.rel).c_str()));
    }
    EXPECT_EQ(PLAT_ABSENT, plat_entry_kind(nullptr));
    EXPECT_EQ(PLAT_ABSENT, plat_entry_kind(""));
    EXPECT_EQ(0, plat_is_link(nullptr));
}

TEST_F(PlatformTest, FileInfoGivesSizeAndUnixSecondsThroughLinks) {
    make_mixed_tree();
    struct timespec times[2] = {{1700000000, 0}, {1700000123, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, (tmp_ / "file").c_str(), times, 0));

    int64_t size = -5, mtime = -5;
    ASSERT_EQ(0, plat_file_info((tmp_ / "link_file").c_str(), &size, &mtime));
    EXPECT_EQ(5, size);
    EXPECT_EQ(1700000123, mtime);

    // Either output may be left out.
    EXPECT_EQ(0, plat_file_info((tmp_ / "file").c_str(), nullptr, nullptr));
    EXPECT_EQ(-1, plat_file_info((tmp_ / "missing").c_str(), &size, &mtime));
    EXPECT_EQ(-1, plat_file_info((tmp_ / "link_dangling").c_str(), &size, &mtime));
    EXPECT_EQ(-1, plat_file_info("", &size, &mtime));
}

TEST_F(PlatformTest, FileInfoReportsTimesBefore1970AsUnknown) {
    testutil::write_all(tmp_ / "old", "");
    struct timespec times[2] = {{-100, 0}, {-100, 0}};
    if (utimensat(AT_FDCWD, (tmp_ / "old").c_str(), times, 0) != 0)
        GTEST_SKIP() << "file system refuses times before 1970";
    struct stat st;
    ASSERT_EQ(0, stat((tmp_ / "old").c_str(), &st));
    if (st.st_mtime >= 0) GTEST_SKIP() << "file system clamps times before 1970";
    int64_t size = 0, mtime = 0;
    ASSERT_EQ(0, plat_file_info((tmp_ / "old").c_str(), &size, &mtime));
    EXPECT_EQ(-1, mtime);
}

TEST_F(PlatformTest, EnumerationFlagsFollowLinksForIsDirAndMarkLinks) {
    make_mixed_tree();
    struct flags {
        int is_dir;
        int is_link;
    };
    std::map<std::string, flags> seen;
    plat_dir *dir = plat_dir_open(tmp_.path().c_str());
    ASSERT_NE(nullptr, dir);
    const char *name;
    int is_dir = -1, is_link = -1;
    while (plat_dir_next(dir, &name, &is_dir, &is_link))
        seen[name] = {is_dir, is_link};
    plat_dir_close(dir);

    std::map<std::string, flags> expected = {
        {".", {1, 0}},        {"..", {1, 0}},        {"dir", {1, 0}},           {"file", {0, 0}},
        {"link_dir", {1, 1}}, {"link_file", {0, 1}}, {"link_dangling", {0, 1}},
    };
    EXPECT_EQ(expected.size(), seen.size());
    for (const auto &[entry, want] : expected) {
        SCOPED_TRACE(entry);
        ASSERT_EQ(1u, seen.count(entry));
        EXPECT_EQ(want.is_dir, seen[entry].is_dir);
        EXPECT_EQ(want.is_link, seen[entry].is_link);
    }
}

TEST_F(PlatformTest, DirOpenFailsOnFilesAndMissingPaths) {
    make_mixed_tree();
    EXPECT_EQ(nullptr, plat_dir_open((tmp_ / "file").c_str()));
    EXPECT_EQ(nullptr, plat_dir_open((tmp_ / "missing").c_str()));
    EXPECT_EQ(nullptr, plat_dir_open(""));
    const char *name;
    EXPECT_EQ(0, plat_dir_next(nullptr, &name, nullptr, nullptr));
    plat_dir_close(nullptr);
}

TEST_F(PlatformTest, MkdirReportsExistingEntriesOfAnyKind) {
    make_mixed_tree();
    struct {
        std::string rel;
        int result;
    } rows[] = {
        {"new", 0},
        {"dir", PLAT_EXISTS},
        {"file", PLAT_EXISTS},
        {"link_dangling", PLAT_EXISTS},
        {"missing/child", -1},
        {"file/child", -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.rel);
        EXPECT_EQ(row.result, plat_mkdir((tmp_ / row.rel).c_str()));
    }
    EXPECT_TRUE(testutil::is_dir(tmp_ / "new"));
}

TEST_F(PlatformTest, FaultInjectionFailsExactlyTheNthCallOfItsOperation) {
    plat_fault_inject(PLAT_OP_MKDIR, 3);
    EXPECT_EQ(0, plat_mkdir((tmp_ / "d1").c_str()));
    // Another operation neither triggers nor consumes the armed fault.
    testutil::write_all(tmp_ / "f", "x");
    EXPECT_EQ(0, plat_unlink((tmp_ / "f").c_str()));
    EXPECT_EQ(0, plat_mkdir((tmp_ / "d2").c_str()));
    errno = 0;
    EXPECT_EQ(-1, plat_mkdir((tmp_ / "d3").c_str()));
    EXPECT_EQ(EIO, errno);
    EXPECT_FALSE(testutil::exists(tmp_ / "d3"));
    // One shot: the next call goes through again.
    EXPECT_EQ(0, plat_mkdir((tmp_ / "d4").c_str()));

    // An injected removal leaves the entry in place.
    testutil::write_all(tmp_ / "keep", "x");
    plat_fault_inject(PLAT_OP_UNLINK, 1);
    EXPECT_EQ(-1, plat_unlink((tmp_ / "keep").c_str()));
    EXPECT_TRUE(testutil::exists(tmp_ / "keep"));
    plat_fault_inject(PLAT_OP_RMDIR, 1);
    EXPECT_EQ(-1, plat_rmdir((tmp_ / "d1").c_str()));
    EXPECT_TRUE(testutil::is_dir(tmp_ / "d1"));

    // Switched off before it fires.
    plat_fault_inject(PLAT_OP_RMDIR, 1);
    plat_fault_inject(PLAT_OP_RMDIR, 0);
    EXPECT_EQ(0, plat_rmdir((tmp_ / "d1").c_str()));
}

// Counts entries until plat_dir_next ends; failed receives plat_dir_failed then.
int enumerate(const std::string &path, int *failed) {
    plat_dir *dir = plat_dir_open(path.c_str());
    if (!dir) return -1;
    const char *name;
    int entries = 0;
    while (plat_dir_next(dir, &name, nullptr, nullptr)) ++entries;
    *failed = plat_dir_failed(dir);
    plat_dir_close(dir);
    return entries;
}

TEST_F(PlatformTest, EnumerationTellsAReadErrorFromTheEnd) {
    make_mixed_tree();
    int failed = -1;
    EXPECT_EQ(3, enumerate(tmp_ / "dir", &failed)); // ".", "..", "inner"
    EXPECT_EQ(0, failed);

    // Aimed at one path: other directories enumerate as before.
    plat_fault_inject_path(PLAT_OP_DIR_READ, (tmp_ / "dir").c_str());
    EXPECT_EQ(0, enumerate(tmp_ / "dir", &failed));
    EXPECT_EQ(1, failed);
    EXPECT_GT(enumerate(tmp_.path(), &failed), 3);
    EXPECT_EQ(0, failed);

    plat_fault_inject_path(PLAT_OP_DIR_OPEN, (tmp_ / "dir").c_str());
    EXPECT_EQ(-1, enumerate(tmp_ / "dir", &failed));
    plat_fault_inject_path(PLAT_OP_DIR_OPEN, nullptr);
    plat_fault_inject_path(PLAT_OP_DIR_READ, nullptr);
    EXPECT_EQ(3, enumerate(tmp_ / "dir", &failed));
    EXPECT_EQ(0, failed);
}

TEST_F(PlatformTest, WallClockAgreesWithTheFileSystemsClock) {
    testutil::write_all(tmp_ / "now", "x");
    int64_t mtime = -1;
    ASSERT_EQ(0, plat_file_info((tmp_ / "now").c_str(), nullptr, &mtime));
    int64_t now = plat_wall_seconds();
    EXPECT_GE(now, mtime);
    EXPECT_LE(now - mtime, 5);
}

// ---- whole files ----------------------------------------------------------

TEST_F(PlatformTest, AtomicWriteCreatesAndReplacesWithExactlyTheBytes) {
    std::string path = tmp_ / "f";
    for (int flags : {0, static_cast<int>(PLAT_SYNC)}) {
        for (const std::string &content : {std::string("first"), std::string(), std::string("a\0b", 3)}) {
            SCOPED_TRACE(std::to_string(flags) + " " + std::to_string(content.size()));
            ASSERT_EQ(0, plat_write_file_atomic(path.c_str(), content.data(), content.size(), flags));
            EXPECT_EQ(content, testutil::read_all(path));
            EXPECT_EQ((std::map<std::string, std::string>{{path, content}}), testutil::snapshot(tmp_.path()));
        }
    }
}

// Whatever step fails, the target keeps its old bytes and no temporary stays;
// only a failed flush of the directory comes after the new bytes are in place.
TEST_F(PlatformTest, AtomicWriteFailureLeavesTheOldFileAndNoTemporary) {
    std::string path = tmp_ / "f";
    testutil::write_all(path, "old");
    struct {
        plat_op op;
        const char *left;
    } rows[] = {
        {PLAT_OP_CREATE_TEMP, "old"}, {PLAT_OP_WRITE, "old"}, {PLAT_OP_FSYNC, "old"},
        {PLAT_OP_CLOSE, "old"},       {PLAT_OP_RENAME, "old"}, {PLAT_OP_FSYNC_DIR, "new"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.op);
        testutil::write_all(path, "old");
        plat_fault_inject(row.op, 1);
        EXPECT_EQ(-1, plat_write_file_atomic(path.c_str(), "new", 3, PLAT_SYNC));
        EXPECT_EQ(0, plat_fault_pending(row.op));
        EXPECT_EQ((std::map<std::string, std::string>{{path, row.left}}), testutil::snapshot(tmp_.path()));
    }
}

TEST_F(PlatformTest, AtomicWriteRefusesWhereNoTemporaryCanBeMade) {
    std::string path = tmp_ / "missing/f";
    EXPECT_EQ(-1, plat_write_file_atomic(path.c_str(), "x", 1, 0));
    // A directory at the target cannot be replaced; the temporary goes again.
    testutil::write_all(tmp_ / "dir/inner", "x");
    EXPECT_EQ(-1, plat_write_file_atomic((tmp_ / "dir").c_str(), "x", 1, 0));
    EXPECT_EQ((std::map<std::string, std::string>{{tmp_ / "dir", "<dir>"}, {tmp_ / "dir/inner", "x"}}),
              testutil::snapshot(tmp_.path()));
    EXPECT_EQ(-1, plat_write_file_atomic(nullptr, "x", 1, 0));
    EXPECT_EQ(-1, plat_write_file_atomic("", "x", 1, 0));
}

TEST_F(PlatformTest, TemporaryNamesAreToldApart) {
    struct {
        const char *name;
        int temp;
    } rows[] = {{".tmp-12-3", 1}, {".tmp-", 1}, {"tmp-12-3", 0}, {"link", 0}, {"x.tmp-1", 0}, {"", 0}, {nullptr, 0}};
    for (const auto &row : rows)
        EXPECT_EQ(row.temp, plat_is_temp_name(row.name)) << (row.name ? row.name : "(null)");
}

TEST_F(PlatformTest, ReadFileReadsAtMostCapMinusOneBytesAndTerminates) {
    testutil::write_all(tmp_ / "f", "hello world");
    struct {
        size_t cap;
        const char *text;
    } rows[] = {{64, "hello world"}, {12, "hello world"}, {6, "hello"}, {1, ""}};
    for (const auto &row : rows) {
        char buf[64];
        memset(buf, 'x', sizeof buf);
        size_t len = 99;
        ASSERT_EQ(0, plat_read_file((tmp_ / "f").c_str(), buf, row.cap, &len));
        EXPECT_STREQ(row.text, buf);
        EXPECT_EQ(strlen(row.text), len);
    }
    char buf[8];
    EXPECT_EQ(-1, plat_read_file((tmp_ / "missing").c_str(), buf, sizeof buf, nullptr));
    EXPECT_EQ(-1, plat_read_file(tmp_.path().c_str(), buf, sizeof buf, nullptr)); // a directory
    EXPECT_EQ(-1, plat_read_file((tmp_ / "f").c_str(), buf, 0, nullptr));
    for (plat_op op : {PLAT_OP_OPEN_READ, PLAT_OP_READ}) {
        plat_fault_inject(op, 1);
        EXPECT_EQ(-1, plat_read_file((tmp_ / "f").c_str(), buf, sizeof buf, nullptr)) << op;
    }
}

TEST_F(PlatformTest, FlushesSucceedOnFilesAndDirectoriesAndCanBeMadeToFail) {
    testutil::write_all(tmp_ / "f", "x");
    EXPECT_EQ(0, plat_fsync_path((tmp_ / "f").c_str()));
    EXPECT_EQ(0, plat_fsync_dir(tmp_.path().c_str()));
    EXPECT_EQ(-1, plat_fsync_path((tmp_ / "missing").c_str()));
    EXPECT_EQ(-1, plat_fsync_dir((tmp_ / "missing").c_str()));
    plat_fault_inject(PLAT_OP_FSYNC, 1);
    EXPECT_EQ(-1, plat_fsync_path((tmp_ / "f").c_str()));
    plat_fault_inject(PLAT_OP_FSYNC_DIR, 1);
    EXPECT_EQ(-1, plat_fsync_dir(tmp_.path().c_str()));
    int fd = plat_open_read((tmp_ / "f").c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, plat_fsync(fd));
    plat_fault_inject(PLAT_OP_CLOSE, 1);
    EXPECT_EQ(-1, plat_close(fd)); // the descriptor is closed all the same
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
}

} // namespace

// Writes past the page cache keep every byte in order: a write the file
// system refuses that way (off the block size) turns the flag off and goes
// through the page cache instead, never writing a byte twice.
TEST_F(PlatformTest, DirectWritesFallBackToThePageCacheWithoutRepeatingBytes) {
    std::string path = tmp_ / "direct";
    testutil::write_all(path, "");
    int fd = plat_open_append_existing(path.c_str());
    ASSERT_GE(fd, 0);
    if (plat_set_direct(fd, 1) != 0) {
        close(fd);
        GTEST_SKIP() << "this file system cannot write past the page cache";
    }
    auto *buf = static_cast<char *>(::operator new(3 * PLAT_DIRECT_ALIGN, std::align_val_t{PLAT_DIRECT_ALIGN}));
    for (size_t i = 0; i < 3 * PLAT_DIRECT_ALIGN; ++i) buf[i] = static_cast<char>('a' + i % 26);
    std::string expected;
    int direct = 1;
    ASSERT_EQ(0, plat_write_all_direct(fd, buf, 2 * PLAT_DIRECT_ALIGN, &direct));
    expected.append(buf, 2 * PLAT_DIRECT_ALIGN);
    EXPECT_EQ(1, direct) << "whole blocks are written past the page cache";
    ASSERT_EQ(0, plat_write_all_direct(fd, buf, 100, &direct));
    expected.append(buf, 100);
    EXPECT_EQ(0, direct) << "a part of a block is refused past the page cache";
    EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_DIRECT);
    ASSERT_EQ(0, plat_write_all_direct(fd, buf, PLAT_DIRECT_ALIGN, &direct));
    expected.append(buf, PLAT_DIRECT_ALIGN);
    plat_fault_inject(PLAT_OP_WRITE, 1);
    EXPECT_EQ(-1, plat_write_all_direct(fd, buf, PLAT_DIRECT_ALIGN, &direct));
    ::operator delete(buf, std::align_val_t{PLAT_DIRECT_ALIGN});
    EXPECT_EQ(0, plat_fsync(fd));
    close(fd);
    EXPECT_EQ(expected, testutil::read_all(path));
}

// A touch sets the time to now without changing the bytes; nothing at the
// path is told apart from a failure.
TEST_F(PlatformTest, TouchRefreshesTheTimeOnly) {
    std::string file = tmp_ / "f";
    testutil::write_all(file, "bytes");
    struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, file.c_str(), old_times, 0));
    EXPECT_EQ(0, plat_touch(file.c_str()));
    int64_t size = -1, mtime = -1;
    ASSERT_EQ(0, plat_file_info(file.c_str(), &size, &mtime));
    EXPECT_EQ(5, size);
    EXPECT_GE(mtime, plat_wall_seconds() - 5);
    EXPECT_EQ("bytes", testutil::read_all(file));

    EXPECT_EQ(PLAT_MISSING, plat_touch((tmp_ / "missing").c_str()));
    EXPECT_EQ(PLAT_MISSING, plat_touch((tmp_ / "f/child").c_str()));
    EXPECT_FALSE(testutil::exists(tmp_ / "missing"));
    plat_fault_inject(PLAT_OP_TOUCH, 1);
    EXPECT_EQ(-1, plat_touch(file.c_str()));
}

namespace {

// ---- detached tasks -----------------------------------------------------------

struct inherited_fds {
    int fds[3];
    char report_fifo[4096];
};

// Runs in the detached process: which of the caller's descriptors it still has.
void report_open_descriptors(void *arg) {
    auto *in = static_cast<inherited_fds *>(arg);
    std::string report;
    for (int fd : in->fds)
        report += fcntl(fd, F_GETFD) == -1 && errno == EBADF ? "closed " : "open ";
    int out = open(in->report_fifo, O_WRONLY | O_CLOEXEC);
    if (out < 0) return;
    (void)!write(out, report.data(), report.size());
    close(out);
}

// A detached run must not hold the caller's client connection open (a web
// server would wait for it) nor any file the caller has open.
TEST_F(PlatformTest, ADetachedTaskHoldsNoneOfTheCallersDescriptors) {
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    int file_fd = open((tmp_ / "held").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(file_fd, 0);
    inherited_fds arg{{pipe_fds[0], pipe_fds[1], file_fd}, ""};
    const std::string fifo = tmp_ / "report";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    snprintf(arg.report_fifo, sizeof arg.report_fifo, "%s", fifo.c_str());

    ASSERT_EQ(0, plat_spawn_detached(report_open_descriptors, &arg));
    // Open without waiting for a writer; poll then waits for the task's report
    // and its end (bounded, so a task that never reports fails the test).
    int in = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(in, 0);
    std::string report;
    for (int round = 0; round < 1000; ++round) {
        pollfd pfd{in, POLLIN, 0};
        if (poll(&pfd, 1, 60000) <= 0) break;
        char buf[64];
        ssize_t n = read(in, buf, sizeof buf);
        if (n > 0) report.append(buf, static_cast<size_t>(n));
        if (n == 0) break; // the task closed its end
        if (n < 0 && errno != EAGAIN) break;
    }
    close(in);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    close(file_fd);
    EXPECT_EQ("closed closed closed ", report);
}

} // namespace
