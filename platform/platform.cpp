// platform.cpp - POSIX implementation of the operating-system door.
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <new>

namespace {

int s_fault_at[PLAT_OP_COUNT];

// Counts down the armed operation; true when this call is the one to fail.
bool injected_fault(plat_op op) {
    int &left = s_fault_at[op];
    if (left <= 0) return false;
    if (--left > 0) return false;
    errno = EIO;
    return true;
}

} // namespace

extern "C" {

void plat_fault_inject(plat_op op, int nth) {
    if (op >= 0 && op < PLAT_OP_COUNT) s_fault_at[op] = nth < 0 ? 0 : nth;
}

int plat_entry_kind(const char *path) {
    struct stat st;
    if (!path || !*path || stat(path, &st) != 0) return PLAT_ABSENT;
    return S_ISDIR(st.st_mode) ? PLAT_DIR : PLAT_FILE;
}

int plat_file_info(const char *path, int64_t *size, int64_t *mtime) {
    struct stat st;
    if (!path || !*path || stat(path, &st) != 0) return -1;
    if (size) *size = static_cast<int64_t>(st.st_size);
    if (mtime) *mtime = st.st_mtime < 0 ? -1 : static_cast<int64_t>(st.st_mtime);
    return 0;
}

int plat_is_link(const char *path) {
    struct stat st;
    return path && *path && lstat(path, &st) == 0 && S_ISLNK(st.st_mode) ? 1 : 0;
}

struct plat_dir {
    DIR *handle;
    int fd;
};

plat_dir *plat_dir_open(const char *path) {
    if (!path || !*path) return nullptr;
    DIR *handle = opendir(path);
    if (!handle) return nullptr;
    plat_dir *dir = new (std::nothrow) plat_dir{handle, dirfd(handle)};
    if (!dir) closedir(handle);
    return dir;
}

int plat_dir_next(plat_dir *dir, const char **name, int *is_dir, int *is_link) {
    if (!dir) return 0;
    errno = 0;
    struct dirent *entry = readdir(dir->handle);
    if (!entry) return 0;
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
    if (injected_fault(PLAT_OP_MKDIR)) return -1;
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

int plat_open_append(const char *path) {
    if (injected_fault(PLAT_OP_OPEN_APPEND)) return -1;
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

long plat_write(int fd, const void *data, size_t len) {
    ssize_t n;
    do {
        n = write(fd, data, len);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

void plat_close(int fd) {
    if (fd >= 0) close(fd);
}

uint64_t plat_monotonic_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void plat_stream_binary(int) {}

} // extern "C"
