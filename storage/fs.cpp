// fs.cpp - the engine's file-system primitives: directories, whole files, listings, removal.
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/qf_str.h"
#include "platform/platform.h"
#include "storage/storage_internal.h"

namespace {

struct dir_closer {
    void operator()(plat_dir *d) const { plat_dir_close(d); }
};
using dir_ptr = std::unique_ptr<plat_dir, dir_closer>;

bool is_dot_entry(const char *name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// A new directory lasts through a power cut only once its parent's entry for
// it is on disk; path is cut at its last separator in place for the flush.
bool parent_synced(char *path) {
    char *slash = strrchr(path, '/');
    if (!slash || slash == path) return true;
    *slash = '\0';
    bool ok = plat_fsync_dir(path) == 0;
    *slash = '/';
    return ok;
}

// A failed create is fine when the directory is there already.
bool made_or_present(char *path, bool accept_any_kind) {
    int rc = plat_mkdir(path);
    if (rc == 0) return !s_fsync || parent_synced(path);
    if (rc == PLAT_EXISTS && accept_any_kind) return true;
    return plat_entry_kind(path) == PLAT_DIR;
}

struct child_entry {
    std::string name;
    bool is_dir;
    bool is_link;
};

} // namespace

// Nearly always the directory is there already or only its last levels are
// missing, so the whole path is tried first and the walk goes up only past
// missing parents (ENOENT), then down again making each: one call for a
// directory that exists, where a walk from the root costs one per level (each
// a round trip on a network file system). Any other failure is judged by
// what stands at the path, as for every level of the walk down.
void set_io_error(int err, const char *format, ...) {
    char what[kErrorMax];
    va_list ap;
    va_start(ap, format);
    vsnprintf(what, sizeof what, format, ap);
    va_end(ap);
    errno = err;
    set_error_kind(REG_ERR_IO, "%s: %s", what, strerror(err));
}

int mkdirs(const char *path) {
    if (!path || !*path) return -1;
    size_t len = strlen(path);
    if (len > kPathMax - 1) return -1;
    char copy[kPathMax];
    memcpy(copy, path, len + 1);
    for (;;) {
        int rc = plat_mkdir(copy);
        if (rc == PLAT_EXISTS) break;
        if (rc == 0) {
            if (s_fsync && !parent_synced(copy)) return -1;
            break;
        }
        if (errno != ENOENT) {
            // The caller reports the create's own failure, not the look that follows it.
            int err = errno;
            if (plat_entry_kind(copy) != PLAT_DIR) {
                errno = err;
                return -1;
            }
            break;
        }
        char *slash = strrchr(copy, '/');
        if (!slash || slash == copy) return -1; // only the root or a relative first level is left
        *slash = '\0';
    }
    // Back down: each cut separator is restored in turn, making the level it ends.
    for (size_t at = strlen(copy); at < len; at = strlen(copy)) {
        copy[at] = '/';
        if (!made_or_present(copy, true)) return -1;
    }
    return 0;
}

// Written beside and renamed over, so a crash or a failed write (a full disk)
// leaves the old content whole; with flushing on, the bytes are on disk before
// the new name is. flush_dir false leaves the directory's flush to the caller,
// who flushes it once for several files replaced in it.
int write_file(const char *path, const void *data, size_t len, bool flush_dir) {
    int flags = s_fsync ? PLAT_SYNC : 0;
    if (!flush_dir) flags |= PLAT_NO_DIR_SYNC;
    return plat_write_file_atomic(path, data, len, flags);
}

namespace {

// What a small file holds against the content wanted. The read itself tells
// the size: a byte more than expected is asked for, so a longer file never
// matches (a stat first would be one more round trip on a network file
// system). Empty content never matches: a FIFO left at the path reads empty.
enum class held { same, other, absent };

held file_compare(const char *path, const void *data, size_t len) {
    if (len == 0 || len >= static_cast<size_t>(kReadAllocMax)) return held::other;
    heap_text stored(static_cast<char *>(malloc(len + 2)));
    if (!stored) return held::other;
    size_t n = 0;
    // A file where a directory should be is reported by making the directory.
    if (read_file(path, stored.get(), len + 2, &n) != 0)
        return errno == ENOENT || errno == ENOTDIR ? held::absent : held::other;
    return n == len && memcmp(stored.get(), data, len) == 0 ? held::same : held::other;
}

// The write found no directory to write into (or a file where one of its
// levels should be, which making the directory reports).
bool dir_missing(int err) { return err == ENOENT || err == ENOTDIR; }

} // namespace

// Each round trip saved counts on a network file system: a file that already
// holds the bytes is not written again (no flush, its time kept); a file that
// is there has its directory; a directory that is nearly always there is made
// only when the write finds it missing, one that is nearly always new before.
int write_file_into(const char *path, const void *data, size_t len, const char *dir, unsigned mode) {
    held h = held::absent;
    if (mode & kWriteCompare) {
        h = file_compare(path, data, len);
        if (h == held::same) return kWriteUnchanged;
    }
    bool flush_dir = (mode & kWriteNoDirFlush) == 0;
    if (dir && h == held::absent && (mode & kWriteDirFirst) && mkdirs(dir) != 0) return kDirFailed;
    if (write_file(path, data, len, flush_dir) == 0) return h == held::other ? kWriteReplaced : 0;
    if (!dir || (mode & kWriteDirFirst) || !dir_missing(errno)) return -1;
    if (mkdirs(dir) != 0) return kDirFailed;
    return write_file(path, data, len, flush_dir);
}

// Symbolic links are removed as links: a link inside a repository must never
// lead the removal into the tree it points at.
int delete_tree(const char *path) {
    if (plat_is_link(path)) return plat_unlink(path) == 0 ? 0 : -1;

    int result = 0;
    std::vector<child_entry> children;
    if (dir_ptr dir{plat_dir_open(path)}) {
        const char *name;
        int is_dir, is_link;
        while (plat_dir_next(dir.get(), &name, &is_dir, &is_link))
            if (!is_dot_entry(name)) children.push_back({name, is_dir != 0, is_link != 0});
    }
    // Listing first and removing after keeps one directory handle open at a time.
    for (const child_entry &child : children) {
        std::string child_path = std::string(path) + "/" + child.name;
        // A path cut to the buffer size would name some other entry: leave this one and report it.
        if (child_path.size() > kPathMax - 1) {
            result = -1;
            continue;
        }
        const char *p = child_path.c_str();
        int rc = child.is_dir && !child.is_link ? delete_tree(p) : plat_unlink(p);
        if (rc != 0) result = -1;
    }
    return plat_rmdir(path) == 0 ? result : -1;
}

int read_file(const char *path, char *buf, size_t cap, size_t *len_out) {
    if (!path || !buf || cap == 0) return -1;
    return plat_read_file(path, buf, cap, len_out);
}

char *read_file_alloc(const char *path, size_t *len_out) {
    int64_t size = 0;
    if (plat_file_info(path, &size, nullptr) != 0 || size < 0 || size > kReadAllocMax) return nullptr;
    size_t cap = static_cast<size_t>(size) + 1;
    char *buf = static_cast<char *>(malloc(cap));
    if (!buf) return nullptr;
    size_t n = 0;
    if (read_file(path, buf, cap, &n) != 0) {
        free(buf);
        return nullptr;
    }
    if (len_out) *len_out = n;
    return buf;
}

int list_dir_all(const char *path, std::vector<dir_item> &out) {
    out.clear();
    if (plat_entry_kind(path) != PLAT_DIR) return -1;
    dir_ptr dir{plat_dir_open(path)};
    if (!dir) return -1;
    const char *name;
    int is_dir, is_link;
    // The engine never writes a symbolic link, so one is a hand's work or an
    // attack: it is listed as what it is, never as the directory it may point
    // to, so no walk descends through it out of the tree (or into another part
    // of it). registry-admin check reports them; a collection refuses them.
    while (plat_dir_next(dir.get(), &name, &is_dir, &is_link))
        if (!is_dot_entry(name)) out.push_back({name, is_dir != 0 && !is_link, is_link != 0});
    if (plat_dir_failed(dir.get())) {
        out.clear();
        return -1;
    }
    return 0;
}
