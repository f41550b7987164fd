// deletion.cpp - the marks and looks that make a deletion safe against stores running at the same time.
//
// The argument is written at the top of gc.cpp ("Deletions"); this file holds
// the pieces it names: the deletion mark (one per digest, created
// exclusively), the scan of store records, and the move into the trash that
// takes a tag or a repository's manifests out of the tree in one rename.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/qf_str.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"

namespace {

constexpr int kTrashTries = 4;
// Rounds of making the marks directory that other deletions ending may undo.
constexpr int kMarkTries = 16;

void marks_dir(char *out) { qf_snprintf(out, kPathMax, "%s/%s/%s", s_root, kGcDir, kGcDeletingDir); }

void mark_path(char *out, const char *hex) {
    qf_snprintf(out, kPathMax, "%s/%s/%s/%s", s_root, kGcDir, kGcDeletingDir, hex);
}

// The marks directory stands only while deletions run (see deletion_marks):
// made when the create finds it missing, and made again when another
// deletion ending removed it between its making and the create. 0,
// PLAT_EXISTS, or -1 (kDirFailed when the directory cannot be made).
int create_mark(const char *path) {
    char dir[kPathMax];
    marks_dir(dir);
    for (int attempt = 0; attempt < kMarkTries; ++attempt) {
        int rc = plat_create_excl(path);
        if (rc != -1 || errno != ENOENT) return rc;
        if (mkdirs(dir) != 0) return kDirFailed;
    }
    return -1;
}

// A mark left by a deletion that crashed would refuse stores of its digest
// for ever; one older than the abandon time is no longer honoured.
bool mark_stale(const char *path) {
    int64_t mtime = -1;
    if (plat_file_info(path, nullptr, &mtime) != 0 || mtime < 0) return false;
    return plat_wall_seconds() - mtime >= kAbandonedSeconds;
}

} // namespace

bool body_names_digest(const char *text, size_t len, const char *digest) {
    // Most bodies do not hold the digits at all; only those that do are parsed.
    if (!memmem(text, len, digest + kDigestPrefixLen, kHexLen)) return false;
    json_doc_ptr doc(json_read(text, len));
    json_val *root = json_doc_root(doc.get());
    if (!json_is_obj(root)) return false;
    return manifest_references(root).keeps(digest);
}

deletion_mark::~deletion_mark() {
    if (!path_[0]) return;
    plat_unlink(path_);
    // Only an empty directory goes: another deletion's mark keeps it.
    char dir[kPathMax];
    marks_dir(dir);
    plat_rmdir(dir);
}

bool deletion_mark::acquire(const char *hex) {
    char path[kPathMax];
    mark_path(path, hex);
    int rc = create_mark(path);
    // A stale mark is taken over: removed, then created again exclusively, so
    // two deletions taking it over at once still end with one holder.
    if (rc == PLAT_EXISTS && mark_stale(path) && plat_unlink(path) == 0) rc = create_mark(path);
    if (rc == kDirFailed) {
        set_error("cannot create deletion marks directory");
        return false;
    }
    if (rc == PLAT_EXISTS) {
        set_error_kind(REG_ERR_CONFLICT, "another deletion of sha256:%s is running; retry", hex);
        return false;
    }
    if (rc != 0) {
        set_error("cannot create deletion mark");
        return false;
    }
    qf_strlcpy(path_, path, sizeof path_);
    return true;
}

bool deletion_running(const char *hex) {
    char path[kPathMax];
    mark_path(path, hex);
    return plat_entry_kind(path) != PLAT_ABSENT && !mark_stale(path);
}

void deletion_marks::load() {
    char dir[kPathMax];
    marks_dir(dir);
    names_.clear();
    plat_dir *d = plat_dir_open(dir);
    if (!d) {
        // No directory: no deletion runs. Any other failure leaves each
        // digest to a look of its own.
        listed_ = errno == ENOENT;
        return;
    }
    const char *name;
    int is_dir, is_link;
    while (plat_dir_next(d, &name, &is_dir, &is_link))
        if (hex64_valid(name)) names_.push_back(name);
    listed_ = !plat_dir_failed(d);
    plat_dir_close(d);
}

// A listed mark is looked at again: it may be stale, or gone since.
bool deletion_marks::running(const char *hex) const {
    if (!listed_) return deletion_running(hex);
    for (const std::string &name : names_)
        if (name == hex) return deletion_running(hex);
    return false;
}

int record_naming(const char *digest, std::string &what) {
    const char *hex = digest + kDigestPrefixLen;
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/%s/%s", s_root, kGcDir, kGcIntentsDir);
    std::vector<dir_item> items;
    if (list_dir_all(dir, items) != 0) {
        if (plat_entry_kind(dir) == PLAT_ABSENT) return 0;
        set_error("cannot list store records");
        return -1;
    }
    for (const dir_item &item : items) {
        if (item.is_dir) continue;
        // A record's name starts with the digits of the manifest it stores.
        if (item.name.compare(0, kHexLen, hex) == 0) {
            what = "a store of this manifest in progress";
            return 2;
        }
        std::string path = std::string(dir) + "/" + item.name;
        size_t len = 0;
        heap_text text(read_file_alloc(path.c_str(), &len));
        if (!text) {
            if (plat_entry_kind(path.c_str()) == PLAT_ABSENT) continue; // its store ended meanwhile
            set_error("cannot read store record");
            return -1;
        }
        if (body_names_digest(text.get(), len, digest)) {
            what = "a manifest being stored";
            return 1;
        }
    }
    return 0;
}

int move_to_trash(const char *path) {
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/%s/%s", s_root, kGcDir, kGcTrashDir);
    if (plat_entry_kind(dir) != PLAT_DIR && mkdirs(dir) != 0) return -1;
    for (int attempt = 0; attempt < kTrashTries; ++attempt) {
        char target[kPathMax];
        qf_snprintf(target, sizeof target, "%s/%u-%s", dir, plat_process_id(), gc_random_hex().c_str());
        if (plat_entry_kind(target) != PLAT_ABSENT) continue;
        if (plat_rename(path, target) != 0) return plat_entry_kind(path) == PLAT_ABSENT ? 1 : -1;
        // What cannot be removed now stays in the trash for the next collection.
        delete_tree(target);
        return 0;
    }
    return -1;
}

void empty_trash() {
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/%s/%s", s_root, kGcDir, kGcTrashDir);
    std::vector<dir_item> items;
    if (list_dir_all(dir, items) != 0) return;
    for (const dir_item &item : items) {
        std::string path = std::string(dir) + "/" + item.name;
        if (item.is_dir)
            delete_tree(path.c_str());
        else
            plat_unlink(path.c_str());
    }
}

namespace {

constexpr size_t kHostMax = 256;

void holder_text(char *text, size_t cap, size_t *len) {
    char host[kHostMax];
    if (plat_host_name(host, sizeof host) != 0) qf_strlcpy(host, "unknown", sizeof host);
    *len = static_cast<size_t>(qf_snprintf(text, cap, "%s %u", host, plat_process_id()));
}

} // namespace

int owned_lock_create(const char *path, const char *note) {
    char mine[kPathMax];
    if (!qf_snprintf_fit(mine, sizeof mine, "%s.%u", path, plat_process_id())) return -1;
    char text[kHostMax + 32 + kLockNoteMax];
    size_t len = 0;
    holder_text(text, sizeof text, &len);
    if (note) len += static_cast<size_t>(qf_snprintf(text + len, sizeof text - len, "\n%.*s", kLockNoteMax - 2, note));
    if (plat_write_file_atomic(mine, text, len, 0) != 0) return -1;
    int rc = plat_link_excl(mine, path);
    plat_unlink(mine);
    return rc;
}

void owned_lock_rename_holder(const char *path) {
    char text[kHostMax + 32];
    size_t len = 0;
    holder_text(text, sizeof text, &len);
    plat_write_file_atomic(path, text, len, 0);
}

bool owned_lock_holder_gone(const char *path) {
    char text[kHostMax + 32 + kLockNoteMax];
    size_t len = 0;
    if (plat_read_file(path, text, sizeof text, &len) != 0) return false;
    text[len < sizeof text ? len : sizeof text - 1] = '\0';
    // The holder is the first line; a note may follow it.
    if (char *end = strchr(text, '\n')) *end = '\0';
    const char *space = strrchr(text, ' ');
    char host[kHostMax];
    if (!space || plat_host_name(host, sizeof host) != 0) return false;
    size_t host_len = strlen(host);
    if (static_cast<size_t>(space - text) != host_len || strncmp(text, host, host_len) != 0) return false;
    char *end = nullptr;
    unsigned long pid = strtoul(space + 1, &end, 10);
    return end != space + 1 && pid > 0 && plat_process_alive(static_cast<uint32_t>(pid)) == 0;
}
