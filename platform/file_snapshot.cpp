// file_snapshot.cpp - see file_snapshot.h.
#include "platform/file_snapshot.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

// Why a look at a file that last changed this long ago can be trusted:
// the kernel stamps a change with a coarse clock (one tick is a few
// milliseconds), so two writes of the same size within one tick, into the
// same inode, leave size, write time and change time all as they were, and
// a look taken between them cannot tell the second from the first. So the
// text is taken as proof only once the file's change time lies well behind
// the clock: a write after that moment gets a later change time, which the
// next look sees. Until then every look reads the file again and compares
// the bytes. The change time is used, not the write time, because no program
// can set it back (utimes can set the write time to anything). Two seconds
// cover the tick many times over and a network file system whose server
// clock runs a little behind ours; a server clock far behind would shorten
// the window, one far ahead only makes every look read the file.
int64_t s_settle_ns = 2'000'000'000;

uint64_t s_reads = 0;

int64_t wall_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool same_version(const plat_file_id &a, const plat_file_id &b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime_ns == b.mtime_ns;
}

} // namespace

int64_t file_snapshot::set_settle_ns(int64_t ns) {
    int64_t before = s_settle_ns;
    s_settle_ns = ns;
    return before;
}

uint64_t file_snapshot::reads() { return s_reads; }

void file_snapshot::read_text(const char *path, size_t max) {
    ++s_reads;
    text.clear();
    error = 0;
    // Plain calls: these files live in the instance directory, not the
    // storage tree, so faults injected into the tree's calls (tests) do not
    // land on them.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        state = errno == ENOENT ? PLAT_MISSING : -1;
        return;
    }
    char buf[16384];
    state = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            error = errno;
            state = -1;
            break;
        }
        if (n == 0) break;
        if (text.size() + static_cast<size_t>(n) > max) {
            state = FILE_SNAPSHOT_TOO_LARGE;
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (state != 0) text.clear();
}

void file_snapshot::refresh(const char *path, size_t max, int follow) {
    plat_file_id id{};
    int rc = plat_file_identity(path, follow, &id);
    bool is_link = rc == 0 && !follow && id.is_link;
    if (is_link) {
        rc = plat_file_identity(path, 1, &id);
        id.is_link = 1;
    }
    if (rc == 0 && looked_ && settled_ && state != -1 && plat_file_id_equal(&id, &id_)) return;

    int old_state = state, old_error = error;
    bool old_present = looked_ && old_state != PLAT_MISSING;
    bool old_link = link;
    plat_file_id old_id = id_;
    std::string old_text;
    old_text.swap(text);
    link = is_link;
    if (rc == 0) {
        // Read after the look: bytes written after it are either seen now or
        // give the file a later change time for the next look.
        read_text(path, max);
    } else {
        error = rc == PLAT_MISSING ? ENOENT : errno;
        state = rc == PLAT_MISSING ? PLAT_MISSING : -1;
    }
    id_ = id;
    settled_ = rc != 0 || wall_ns() - id.ctime_ns > s_settle_ns;
    bool changed = !looked_ || state != old_state || error != old_error || link != old_link || text != old_text ||
                   (old_present && !same_version(id, old_id));
    looked_ = true;
    if (changed) ++version;
}
