// platform.cpp - POSIX implementation of the operating-system door.
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>

namespace {

int s_fault_at[PLAT_OP_COUNT];
int s_fault_errno[PLAT_OP_COUNT]; // 0: EIO

struct armed_hook {
    int left;
    plat_hook_fn fn;
    void *arg;
};
armed_hook s_hooks[PLAT_OP_COUNT];
std::string s_fault_path[PLAT_OP_COUNT];

struct path_hook {
    std::string path;
    plat_hook_fn fn = nullptr;
    void *arg = nullptr;
};
path_hook s_path_hooks[PLAT_OP_COUNT];

// Disarmed before it runs, as run_hook below.
void run_path_hook(plat_op op, const char *path) {
    path_hook &hook = s_path_hooks[op];
    if (!hook.fn || hook.path != path) return;
    path_hook fire = hook;
    hook = path_hook{};
    fire.fn(fire.arg);
}

bool injected_path_fault(plat_op op, const char *path) {
    if (s_fault_path[op].empty() || s_fault_path[op] != path) return false;
    errno = EIO;
    return true;
}

// Disarmed before it runs, so the operations the hook itself calls go through untouched.
void run_hook(plat_op op) {
    armed_hook &hook = s_hooks[op];
    if (hook.left <= 0 || --hook.left > 0) return;
    armed_hook fire = hook;
    hook = armed_hook{};
    fire.fn(fire.arg);
}

uint64_t s_op_calls[PLAT_OP_COUNT];

// Counts down the armed operation; true when this call is the one to fail.
// Every call passes here, so this is also where calls are counted.
bool injected_fault(plat_op op) {
    ++s_op_calls[op];
    run_hook(op);
    int &left = s_fault_at[op];
    if (left <= 0) return false;
    if (--left > 0) return false;
    errno = s_fault_errno[op] ? s_fault_errno[op] : EIO;
    s_fault_errno[op] = 0;
    return true;
}

// A directory, a temporary's name and a counter's digits fit beside any path the engine builds.
constexpr size_t kTempPathMax = 4200;
constexpr int kTempTries = 16;
uint32_t s_temp_counter = 0;

int close_checked(int fd) {
    // After an interrupted close the descriptor is gone on Linux; retrying could close another one.
    if (close(fd) == 0 || errno == EINTR) return 0;
    return -1;
}

int sync_descriptor(int fd) {
    int rc;
    do {
        rc = fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

// Some file systems cannot flush a directory and say so with EINVAL; their
// entries are as durable as they will get.
int sync_directory(const char *path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = sync_descriptor(fd);
    if (rc != 0 && errno == EINVAL) rc = 0;
    close(fd);
    return rc;
}

// The directory that holds path ("." for a bare name) and the start of a
// temporary's path in it. false when the result would not fit.
bool split_temp_path(const char *path, char (&dir)[kTempPathMax], char (&temp)[kTempPathMax]) {
    const char *slash = strrchr(path, '/');
    size_t dir_len = slash ? static_cast<size_t>(slash - path) : 0;
    if (dir_len + 64 >= kTempPathMax || strlen(path) + 1 > kTempPathMax) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (!slash)
        memcpy(dir, ".", 2);
    else if (dir_len == 0)
        memcpy(dir, "/", 2);
    else {
        memcpy(dir, path, dir_len);
        dir[dir_len] = '\0';
    }
    temp[0] = '\0';
    return true;
}

// Process id and a counter name the temporary, so two writers never share
// one; a name left by a crashed process of the same id is passed over.
int create_temp(const char *dir, char (&temp)[kTempPathMax]) {
    if (injected_fault(PLAT_OP_CREATE_TEMP)) return -1;
    for (int attempt = 0; attempt < kTempTries; ++attempt) {
        snprintf(temp, sizeof temp, "%s/%s%u-%u", dir, PLAT_TEMP_PREFIX, static_cast<unsigned>(getpid()),
                 static_cast<unsigned>(++s_temp_counter));
        // Mode as a plain fopen would give, so replaced files keep the permissions they always had.
        int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST && errno != EINTR) return -1;
    }
    return -1;
}

// Mode 0600 whatever the umask. The owner of a replaced file is kept where the
// process may set it (a root-run tool must not take a file away from the server
// that reads it); where it may not, the file is the caller's own anyway.
void make_private(int fd, const char *path) {
    fchmod(fd, 0600);
    struct stat st;
    if (stat(path, &st) == 0 && fchown(fd, st.st_uid, st.st_gid) != 0) {
        // Not permitted: the temporary stays the caller's.
    }
}

} // namespace

extern "C" {

void plat_fault_inject(plat_op op, int nth) {
    if (op >= 0 && op < PLAT_OP_COUNT) s_fault_at[op] = nth < 0 ? 0 : nth;
}

void plat_fault_inject_errno(plat_op op, int nth, int err) {
    if (op < 0 || op >= PLAT_OP_COUNT) return;
    plat_fault_inject(op, nth);
    s_fault_errno[op] = err;
}

int plat_fault_pending(plat_op op) { return op >= 0 && op < PLAT_OP_COUNT && s_fault_at[op] > 0 ? 1 : 0; }

void plat_fault_inject_path(plat_op op, const char *path) {
    if (op >= 0 && op < PLAT_OP_COUNT) s_fault_path[op] = path ? path : "";
}

void plat_hook_inject_path(plat_op op, const char *path, plat_hook_fn fn, void *arg) {
    if (op < 0 || op >= PLAT_OP_COUNT) return;
    s_path_hooks[op] = path && fn ? path_hook{path, fn, arg} : path_hook{};
}

void plat_hook_inject(plat_op op, int nth, plat_hook_fn fn, void *arg) {
    if (op < 0 || op >= PLAT_OP_COUNT) return;
    s_hooks[op] = nth > 0 && fn ? armed_hook{nth, fn, arg} : armed_hook{};
}

uint64_t plat_op_count(plat_op op) { return op >= 0 && op < PLAT_OP_COUNT ? s_op_calls[op] : 0; }

void plat_op_counts_reset(void) {
    for (uint64_t &n : s_op_calls)
        n = 0;
}

int plat_entry_kind(const char *path) {
    ++s_op_calls[PLAT_OP_STAT];
    struct stat st;
    if (!path || !*path || stat(path, &st) != 0) return PLAT_ABSENT;
    return S_ISDIR(st.st_mode) ? PLAT_DIR : PLAT_FILE;
}

int plat_entry_kind_time(const char *path, int64_t *mtime) { return plat_entry_kind_size_time(path, nullptr, mtime); }

int plat_entry_kind_size_time(const char *path, int64_t *size, int64_t *mtime) {
    ++s_op_calls[PLAT_OP_STAT];
    if (size) *size = -1;
    if (mtime) *mtime = -1;
    struct stat st;
    if (!path || !*path || stat(path, &st) != 0) return PLAT_ABSENT;
    if (size) *size = static_cast<int64_t>(st.st_size);
    if (mtime && st.st_mtime >= 0) *mtime = static_cast<int64_t>(st.st_mtime);
    return S_ISDIR(st.st_mode) ? PLAT_DIR : PLAT_FILE;
}

int plat_file_info(const char *path, int64_t *size, int64_t *mtime) {
    ++s_op_calls[PLAT_OP_STAT];
    struct stat st;
    if (!path || !*path || stat(path, &st) != 0) return -1;
    if (size) *size = static_cast<int64_t>(st.st_size);
    if (mtime) *mtime = st.st_mtime < 0 ? -1 : static_cast<int64_t>(st.st_mtime);
    return 0;
}

int plat_file_stamp(const char *path, int64_t *size, int64_t *mtime_ns) {
    struct stat st;
    if (!path || !*path || stat(path, &st) != 0) return -1;
    if (size) *size = static_cast<int64_t>(st.st_size);
    if (mtime_ns) *mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return 0;
}

namespace {
void identity_of(const struct stat &st, plat_file_id *id) {
    id->dev = static_cast<uint64_t>(st.st_dev);
    id->ino = static_cast<uint64_t>(st.st_ino);
    id->size = static_cast<int64_t>(st.st_size);
    id->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id->ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    id->is_link = S_ISLNK(st.st_mode) ? 1 : 0;
    id->is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
}
} // namespace

int plat_file_identity(const char *path, int follow, plat_file_id *id) {
    ++s_op_calls[PLAT_OP_STAT];
    if (!path || !*path || !id) return -1;
    *id = plat_file_id{};
    struct stat st;
    if ((follow ? stat(path, &st) : lstat(path, &st)) != 0) return errno == ENOENT || errno == ENOTDIR ? PLAT_MISSING : -1;
    identity_of(st, id);
    return 0;
}

int plat_fd_identity(int fd, plat_file_id *id) {
    ++s_op_calls[PLAT_OP_STAT];
    if (!id) return -1;
    *id = plat_file_id{};
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    identity_of(st, id);
    return 0;
}

int plat_file_id_equal(const plat_file_id *a, const plat_file_id *b) {
    return a->dev == b->dev && a->ino == b->ino && a->size == b->size && a->mtime_ns == b->mtime_ns &&
           a->ctime_ns == b->ctime_ns && a->is_link == b->is_link && a->is_dir == b->is_dir;
}

void plat_hold_at_fifos(const char *base) {
    if (!base || !*base) return;
    std::string here = std::string(base) + ".here";
    struct stat st;
    if (stat(here.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) return;
    if (stat(base, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
    int fd = open(here.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    fd = open(base, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
}

int plat_is_link(const char *path) {
    ++s_op_calls[PLAT_OP_STAT];
    struct stat st;
    return path && *path && lstat(path, &st) == 0 && S_ISLNK(st.st_mode) ? 1 : 0;
}

struct plat_dir {
    DIR *handle;
    int fd;
    bool failed;
    bool fail_read; // injected: the first read fails
};

plat_dir *plat_dir_open(const char *path) {
    if (!path || !*path) return nullptr;
    if (injected_fault(PLAT_OP_DIR_OPEN) || injected_path_fault(PLAT_OP_DIR_OPEN, path)) return nullptr;
    DIR *handle = opendir(path);
    if (!handle) return nullptr;
    bool fail_read = injected_fault(PLAT_OP_DIR_READ) || injected_path_fault(PLAT_OP_DIR_READ, path);
    plat_dir *dir = new (std::nothrow) plat_dir{handle, dirfd(handle), false, fail_read};
    if (!dir) closedir(handle);
    return dir;
}

int plat_dir_failed(const plat_dir *dir) { return dir && dir->failed ? 1 : 0; }

int plat_dir_next(plat_dir *dir, const char **name, int *is_dir, int *is_link) {
    if (!dir) return 0;
    if (dir->fail_read) {
        dir->fail_read = false;
        dir->failed = true;
        errno = EIO;
        return 0;
    }
    errno = 0;
    struct dirent *entry = readdir(dir->handle);
    if (!entry) {
        // readdir answers NULL both at the end and on an error; only errno tells them apart.
        dir->failed = errno != 0;
        return 0;
    }
    int directory = 0, link = 0;
    struct stat st;
    if (entry->d_type == DT_DIR) {
        directory = 1;
    } else if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
        if (fstatat(dir->fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            link = S_ISLNK(st.st_mode);
            directory = S_ISDIR(st.st_mode);
            if (link && fstatat(dir->fd, entry->d_name, &st, 0) == 0) directory = S_ISDIR(st.st_mode);
        }
    }
    if (name) *name = entry->d_name;
    if (is_dir) *is_dir = directory;
    if (is_link) *is_link = link;
    return 1;
}

void plat_dir_close(plat_dir *dir) {
    if (!dir) return;
    closedir(dir->handle);
    delete dir;
}

int plat_mkdir(const char *path) {
    run_path_hook(PLAT_OP_MKDIR, path);
    if (injected_fault(PLAT_OP_MKDIR) || injected_path_fault(PLAT_OP_MKDIR, path)) return -1;
    if (mkdir(path, 0755) == 0) return 0;
    return errno == EEXIST ? PLAT_EXISTS : -1;
}

int plat_rmdir(const char *path) {
    if (injected_fault(PLAT_OP_RMDIR)) return -1;
    return rmdir(path) == 0 ? 0 : -1;
}

int plat_unlink(const char *path) {
    if (injected_fault(PLAT_OP_UNLINK)) return -1;
    return unlink(path) == 0 ? 0 : -1;
}

int plat_rename(const char *from, const char *to) {
    if (injected_fault(PLAT_OP_RENAME)) return -1;
    return rename(from, to) == 0 ? 0 : -1;
}

int plat_touch(const char *path) {
    if (!path || !*path) return -1;
    if (injected_fault(PLAT_OP_TOUCH)) return -1;
    if (utimensat(AT_FDCWD, path, nullptr, 0) == 0) return 0;
    return errno == ENOENT || errno == ENOTDIR ? PLAT_MISSING : -1;
}

int plat_open_append(const char *path) {
    if (injected_fault(PLAT_OP_OPEN_APPEND)) return -1;
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

int plat_create_excl(const char *path) {
    if (injected_fault(PLAT_OP_CREATE_EXCL)) return -1;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno == EEXIST ? PLAT_EXISTS : -1;
    close(fd);
    return 0;
}

int plat_create_excl_write(const char *path, const void *data, size_t len, int flags) {
    if (!path || (!data && len > 0)) return -1;
    if (injected_fault(PLAT_OP_CREATE_EXCL)) return -1;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno == EEXIST ? PLAT_EXISTS : errno == ENOENT ? PLAT_MISSING : -1;
    bool written = (len == 0 || plat_write_all(fd, data, len) == 0) && ((flags & PLAT_SYNC) == 0 || plat_fsync(fd) == 0);
    // The close is checked even after a failed write: the descriptor goes either way.
    bool closed = plat_close(fd) == 0;
    return written && closed ? 0 : -1;
}

int plat_link_excl(const char *from, const char *to) {
    if (injected_fault(PLAT_OP_CREATE_EXCL)) return -1;
    if (link(from, to) == 0) return 0;
    return errno == EEXIST ? PLAT_EXISTS : -1;
}

int plat_open_append_existing(const char *path) {
    if (injected_fault(PLAT_OP_OPEN_EXISTING)) return -1;
    int fd;
    do {
        // Non-blocking only so that a FIFO left at the path cannot hang the
        // caller; writes to regular files ignore the flag.
        fd = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return fd;
    return errno == ENOENT || errno == ENOTDIR || errno == EISDIR ? PLAT_MISSING : -1;
}

int plat_write_all(int fd, const void *data, size_t len) {
    if (injected_fault(PLAT_OP_WRITE)) return -1;
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

int plat_random_bytes(void *buf, size_t len) {
    if (injected_fault(PLAT_OP_RANDOM)) return -1;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char *p = static_cast<char *>(buf);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        len -= static_cast<size_t>(n);
    }
    close(fd);
    return len == 0 ? 0 : -1;
}

uint32_t plat_process_id(void) { return static_cast<uint32_t>(getpid()); }

int plat_host_name(char *out, size_t cap) {
    if (!out || cap == 0 || gethostname(out, cap) != 0) return -1;
    out[cap - 1] = '\0';
    return 0;
}

int plat_process_alive(uint32_t pid) {
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return 1;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH ? 1 : 0;
}

// Two forks: the middle process ends at once, so the worker is nobody's child
// that must be waited for, and setsid takes it out of the server's reach.
namespace {

// Every descriptor from 3 up: a detached task must not keep the caller's
// client connection (or a FastCGI request's socket) open for as long as it
// runs, nor any file the caller had open. Without close_range (kernels before
// 5.9) each possible descriptor is closed in turn.
void close_inherited_descriptors() {
    if (close_range(3, ~0U, 0) == 0) return;
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 1048576) limit = 1048576;
    for (long fd = 3; fd < limit; ++fd)
        close(static_cast<int>(fd));
}

} // namespace

int plat_spawn_detached(plat_task_fn fn, void *arg) {
    if (!fn) return -1;
    fflush(nullptr);
    pid_t middle = fork();
    if (middle < 0) return -1;
    if (middle == 0) {
        setsid();
        pid_t worker = fork();
        if (worker != 0) _exit(worker < 0 ? 1 : 0);
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, 0);
            dup2(null_fd, 1);
            dup2(null_fd, 2);
            if (null_fd > 2) close(null_fd);
        }
        close_inherited_descriptors();
        fn(arg);
        _exit(0);
    }
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

long plat_write(int fd, const void *data, size_t len) {
    if (injected_fault(PLAT_OP_WRITE)) return -1;
    ssize_t n;
    do {
        n = write(fd, data, len);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

int plat_close(int fd) {
    if (fd < 0) return 0;
    if (injected_fault(PLAT_OP_CLOSE)) {
        close(fd);
        errno = EIO;
        return -1;
    }
    return close_checked(fd);
}

int plat_open_read(const char *path) {
    if (!path || !*path || injected_fault(PLAT_OP_OPEN_READ)) return -1;
    int fd;
    do {
        // Non-blocking only so that a FIFO left at the path cannot hang the reader.
        fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

long plat_read(int fd, void *buf, size_t len) {
    if (injected_fault(PLAT_OP_READ)) return -1;
    ssize_t n;
    do {
        n = read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

int plat_read_file(const char *path, char *buf, size_t cap, size_t *len_out) {
    if (!buf || cap == 0) return -1;
    int fd = plat_open_read(path);
    if (fd < 0) return -1;
    size_t n = 0;
    bool failed = false;
    while (n < cap - 1) {
        long got = plat_read(fd, buf + n, cap - 1 - n);
        if (got < 0) failed = true;
        if (got <= 0) break;
        n += static_cast<size_t>(got);
    }
    // Nothing was written, so the close cannot lose anything.
    close(fd);
    if (failed) return -1;
    buf[n] = '\0';
    if (len_out) *len_out = n;
    return 0;
}

int plat_fsync(int fd) {
    if (injected_fault(PLAT_OP_FSYNC)) return -1;
    return sync_descriptor(fd);
}

int plat_fsync_path(const char *path) {
    if (!path || !*path || injected_fault(PLAT_OP_FSYNC)) return -1;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = sync_descriptor(fd);
    close(fd);
    return rc;
}

int plat_start_writeback(int fd, int64_t offset, int64_t len) {
    if (fd < 0 || offset < 0 || len <= 0) return -1;
    int rc;
    do {
        rc = sync_file_range(fd, offset, len, SYNC_FILE_RANGE_WRITE);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

int plat_set_direct(int fd, int on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    flags = on ? flags | O_DIRECT : flags & ~O_DIRECT;
    return fcntl(fd, F_SETFL, flags) == 0 ? 0 : -1;
}

int plat_write_all_direct(int fd, const void *data, size_t len, int *direct) {
    if (injected_fault(PLAT_OP_WRITE)) return -1;
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        // A short write leaves the next one off the alignment, and some file
        // systems take the flag but refuse the write: the page cache takes over.
        if (n < 0 && errno == EINVAL && *direct) {
            if (plat_set_direct(fd, 0) != 0) return -1;
            *direct = 0;
            continue;
        }
        if (n <= 0) return -1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

int plat_fsync_dir(const char *path) {
    if (!path || !*path || injected_fault(PLAT_OP_FSYNC_DIR)) return -1;
    return sync_directory(path);
}

int plat_is_temp_name(const char *name) {
    return name && strncmp(name, PLAT_TEMP_PREFIX, sizeof PLAT_TEMP_PREFIX - 1) == 0 ? 1 : 0;
}

int plat_write_file_atomic(const char *path, const void *data, size_t len, int flags) {
    if (!path || !*path || (!data && len > 0)) return -1;
    char dir[kTempPathMax];
    char temp[kTempPathMax];
    if (!split_temp_path(path, dir, temp)) return -1;
    int fd = create_temp(dir, temp);
    if (fd < 0) return -1;
    bool sync = (flags & PLAT_SYNC) != 0;
    if ((flags & PLAT_PRIVATE) != 0) make_private(fd, path);
    bool written = (len == 0 || plat_write_all(fd, data, len) == 0) && (!sync || plat_fsync(fd) == 0);
    // The close is checked even after a failed write: the descriptor goes either way.
    bool closed = plat_close(fd) == 0;
    if (!written || !closed || plat_rename(temp, path) != 0) {
        int saved = errno;
        unlink(temp);
        errno = saved;
        return -1;
    }
    bool sync_dir = sync && (flags & PLAT_NO_DIR_SYNC) == 0;
    return sync_dir && plat_fsync_dir(dir) != 0 ? -1 : 0;
}

uint64_t plat_monotonic_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int64_t plat_wall_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

void plat_stream_binary(int) {}

int plat_absolute_path(const char *path, char *out, size_t cap) {
    if (!path || !out || cap == 0) return -1;
    char *resolved = realpath(path, nullptr);
    if (!resolved) return -1;
    size_t len = strlen(resolved);
    int rc = -1;
    if (len < cap) {
        memcpy(out, resolved, len + 1);
        rc = 0;
    }
    free(resolved);
    return rc;
}

int plat_chdir(const char *path) { return path && chdir(path) == 0 ? 0 : -1; }

int plat_current_dir(char *out, size_t cap) {
    if (!out || cap == 0) return -1;
    return getcwd(out, cap) ? 0 : -1;
}

int plat_is_terminal(int fd) { return isatty(fd) ? 1 : 0; }

int plat_terminal_columns(int fd) {
    struct winsize ws {};
    if (ioctl(fd, TIOCGWINSZ, &ws) != 0) return 0;
    return ws.ws_col;
}

int plat_truncate(const char *path, int64_t size) {
    ++s_op_calls[PLAT_OP_TRUNCATE];
    if (!path || size < 0) return -1;
    int rc;
    do {
        rc = truncate(path, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

int plat_fd_size(int fd, int64_t *size) {
    ++s_op_calls[PLAT_OP_STAT];
    struct stat st;
    if (!size || fstat(fd, &st) != 0) return -1;
    *size = static_cast<int64_t>(st.st_size);
    return 0;
}

int plat_lock_file(const char *path) {
    if (!path || !*path || injected_fault(PLAT_OP_LOCK)) return -1;
    int fd;
    do {
        fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Closing the descriptor releases the lock.
void plat_unlock_file(int fd) {
    if (fd >= 0) close(fd);
}

int plat_terminal_echo(int fd, int on) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return -1;
    if (on)
        t.c_lflag |= ECHO;
    else
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    // TCSANOW: what was typed ahead of the prompt is kept, not thrown away.
    return tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : -1;
}

struct plat_interrupt {
    struct sigaction old_int;
    struct sigaction old_term;
    bool term;
};

plat_interrupt *plat_on_interrupt(plat_interrupt_fn fn, int also_terminate) {
    auto *saved = new (std::nothrow) plat_interrupt{};
    if (!saved) return nullptr;
    saved->term = also_terminate != 0;
    struct sigaction action {};
    action.sa_handler = fn;
    sigemptyset(&action.sa_mask);
    // A second signal waits for the handler; the handler does not stop a
    // read or a lock wait of the work going on beside it.
    sigaddset(&action.sa_mask, SIGINT);
    if (saved->term) sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, &saved->old_int) != 0) {
        delete saved;
        return nullptr;
    }
    if (saved->term && sigaction(SIGTERM, &action, &saved->old_term) != 0) {
        sigaction(SIGINT, &saved->old_int, nullptr);
        delete saved;
        return nullptr;
    }
    return saved;
}

void plat_interrupt_restore(plat_interrupt *saved) {
    if (!saved) return;
    if (saved->term) sigaction(SIGTERM, &saved->old_term, nullptr);
    sigaction(SIGINT, &saved->old_int, nullptr);
    delete saved;
}

void plat_interrupt_end(int sig) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    // The handler's own signal is blocked while it runs: unblocked, the
    // raised signal ends the process here rather than on the handler's return.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    raise(sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

} // extern "C"
