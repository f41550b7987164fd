// fs_call_cost.cpp - what one file-system call costs, by kind, on the file system under the temporary
// directory: the kinds a push and a collection make (see push_ops for how many of each). On local disk a
// call is a few microseconds; on a network or cluster file system most kinds are a round trip, some more
// than one, and this table says which calls are worth cutting first.
// The calls are made directly, not through the platform layer: the figure wanted is the file system's own.
// Each round makes one call of every kind on its own names, as a store does: create a file exclusively,
// write it, flush it, close it, rename it into place, flush the directory, set its times, look at it and
// at a name that is not there, open it and read it back, make a directory, list a directory of 50 names,
// remove the file. Rounds are bounded by count.
// Usage: fs_call_cost [rounds]   (default 100; a fresh directory under TMPDIR, removed afterwards)
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

enum kind {
    STAT_HIT, STAT_MISS, OPEN_READ, READ, CLOSE_READ, CREATE_EXCL, WRITE, FSYNC, CLOSE_WRITTEN, RENAME, FSYNC_DIR,
    UTIMENS, MKDIR, READDIR, UNLINK, KIND_COUNT
};
const char *const kNames[KIND_COUNT] = {
    "stat (present)", "stat (absent)", "open read-only", "read 4 KiB", "close (read)", "create exclusive",
    "write 4 KiB", "fsync file", "close (written)", "rename in dir", "fsync directory", "utimens",
    "mkdir", "list 50 names", "unlink"};

constexpr int kListNames = 50;
constexpr size_t kBytes = 4096;

double now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

std::vector<double> samples[KIND_COUNT];
int failures = 0;

// Times one call; a failed call is counted and its time left out.
template <class F> void timed(kind k, F call) {
    double t0 = now_us();
    bool ok = call();
    double t1 = now_us();
    if (ok) samples[k].push_back(t1 - t0);
    else ++failures;
}

void make_list_dir(const fs::path &dir) {
    fs::create_directory(dir);
    for (int i = 0; i < kListNames; ++i) {
        int fd = open((dir / ("f" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0) close(fd);
    }
}

int list(const fs::path &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

void round_of_calls(const fs::path &dir, int dirfd, int i) {
    std::string n = std::to_string(i);
    std::string tmp = (dir / ("tmp" + n)).string(), final = (dir / ("file" + n)).string();
    std::string miss = (dir / ("absent" + n)).string(), sub = (dir / ("dir" + n)).string();
    static char buf[kBytes];
    int fd = -1;
    struct stat st;
    timed(CREATE_EXCL, [&] { return (fd = open(tmp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644)) >= 0; });
    if (fd < 0) return;
    timed(WRITE, [&] { return write(fd, buf, kBytes) == (ssize_t)kBytes; });
    timed(FSYNC, [&] { return fsync(fd) == 0; });
    timed(CLOSE_WRITTEN, [&] { return close(fd) == 0; });
    timed(RENAME, [&] { return rename(tmp.c_str(), final.c_str()) == 0; });
    timed(FSYNC_DIR, [&] { return fsync(dirfd) == 0; });
    timed(UTIMENS, [&] { return utimensat(AT_FDCWD, final.c_str(), nullptr, 0) == 0; });
    timed(STAT_HIT, [&] { return stat(final.c_str(), &st) == 0; });
    timed(STAT_MISS, [&] { return stat(miss.c_str(), &st) != 0; });
    timed(OPEN_READ, [&] { return (fd = open(final.c_str(), O_RDONLY | O_CLOEXEC)) >= 0; });
    if (fd < 0) return;
    timed(READ, [&] { return read(fd, buf, kBytes) == (ssize_t)kBytes; });
    timed(CLOSE_READ, [&] { return close(fd) == 0; });
    timed(MKDIR, [&] { return mkdir(sub.c_str(), 0755) == 0; });
    timed(READDIR, [&] { return list(dir / "list") == kListNames + 2; });
    timed(UNLINK, [&] { return unlink(final.c_str()) == 0; });
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double mean(const std::vector<double> &v) {
    double s = 0;
    for (double x : v) s += x;
    return v.empty() ? 0 : s / v.size();
}

} // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 100;
    if (rounds < 1 || rounds > 100000) {
        fprintf(stderr, "usage: fs_call_cost [rounds 1..100000]\n");
        return 2;
    }
    std::string tmpl = (fs::temp_directory_path() / "fs-call-cost-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) return 1;
    fs::path dir = tmpl;
    make_list_dir(dir / "list");
    int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return 1;
    double t0 = now_us();
    for (int i = 0; i < rounds; ++i)
        round_of_calls(dir, dirfd, i);
    double total = now_us() - t0;
    close(dirfd);
    printf("%-18s %7s %12s %12s\n", "call", "calls", "median us", "mean us");
    for (int k = 0; k < KIND_COUNT; ++k)
        printf("%-18s %7zu %12.1f %12.1f\n", kNames[k], samples[k].size(), median(samples[k]), mean(samples[k]));
    printf("rounds %d in %.2f s, failed calls %d, under %s\n", rounds, total / 1e6, failures,
           fs::temp_directory_path().c_str());
    std::error_code ec;
    fs::remove_all(dir, ec);
    return failures == 0 ? 0 : 1;
}
