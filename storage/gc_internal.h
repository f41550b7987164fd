// gc_internal.h - garbage collection's progress record, snapshot text, cancel marker and reference set.
#ifndef REG_GC_INTERNAL_H
#define REG_GC_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "platform/json_doc.h"
#include "storage/storage_internal.h"

constexpr size_t kGcPhaseMax = 16;     // phase text, with terminator
constexpr size_t kGcSnapshotMax = 512; // rendered snapshot, with terminator
constexpr char kGcDir[] = "_gc";
constexpr char kGcProgressFile[] = "progress.json";
constexpr char kGcCancelFile[] = "cancel";
// The outcome of the last run an operator started (its report, or why it failed).
constexpr char kGcLastResultFile[] = "last_result.json";
// Records of manifest stores in flight (see gc_guard.cpp), one file each, below the GC state directory.
constexpr char kGcIntentsDir[] = "intents";
// A blob file the sweep has moved aside under this suffix is on its way out
// and may still be taken back: by the sweep or by a manifest store naming it.
constexpr char kAsideSuffix[] = ".aside";
// A part file or a store record not written to for this long is abandoned.
constexpr int64_t kAbandonedSeconds = 900;
// Marks of deletions in flight, one file per digest (see deletion.cpp).
constexpr char kGcDeletingDir[] = "deleting";
// Tags and repositories renamed out of the tree, removed from here.
constexpr char kGcTrashDir[] = "trash";
// The exclusive lock of the one collection running on this storage tree.
constexpr char kGcRunLockFile[] = "run.lock";

// The mark of one deletion in flight for a digest, created exclusively (so
// deletions of one digest run one at a time, on any host) and removed when
// the deletion ends. Stores look for it before they rely on what it names.
class deletion_mark {
public:
    deletion_mark() = default;
    ~deletion_mark();
    deletion_mark(const deletion_mark &) = delete;
    deletion_mark &operator=(const deletion_mark &) = delete;
    // hex: 64 digits. false with the last error set: REG_ERR_CONFLICT when
    // another deletion of the digest holds the mark.
    bool acquire(const char *hex);

private:
    char path_[kPathMax] = "";
};

// true when a deletion of the digest (64 hex digits) holds its mark.
bool deletion_running(const char *hex);

// The marks as one listing found them, for a store that looks for several
// digests: one listing instead of a look per digest. The marks directory
// stands only while deletions run, so while none does the listing is one
// failed open. A listing that fails leaves each digest to deletion_running.
class deletion_marks {
public:
    void load();
    // deletion_running(hex) for a mark the listing found, else false.
    bool running(const char *hex) const;

private:
    bool listed_ = false;
    std::vector<std::string> names_;
};
// Whether a store in flight names digest ("sha256:..."): 2 when it stores
// that very manifest, 1 when its body names it, 0 when none does, -1 with the
// last error set when the records cannot all be read. what tells which.
int record_naming(const char *digest, std::string &what);

// Random hex digits for a file name no other process draws.
std::string gc_random_hex();
// Whether the body names digest the way a collection counts references.
bool body_names_digest(const char *text, size_t len, const char *digest);
// Moves a file or directory into the trash in one rename, then removes it
// there: 0, 1 when nothing was at path, -1 when it could not be moved.
int move_to_trash(const char *path);
// Removes what deletions cut short left in the trash.
void empty_trash();

// A lock file that names its holder ("<host> <process id>"): created whole
// and exclusively (written under a name of this process's own, then linked
// to path): 0, PLAT_EXISTS, or -1. A note (one line, no longer than
// kLockNoteMax - 2 bytes) follows on a line of its own: what the holder does.
constexpr int kLockNoteMax = 32;
int owned_lock_create(const char *path, const char *note = nullptr);
// Names this process as the holder (a lock handed over to a child).
void owned_lock_rename_holder(const char *path);
// true when the holder is a process of this host that no longer runs.
bool owned_lock_holder_gone(const char *path);

// Path of a blob file's aside name (out: kPathMax bytes); false when it does not fit.
bool blob_aside_path(char *out, const char *blob_path);

// What a manifest store does for each blob it names, after the record below
// exists and before any of its files is written: true when the blob is stored
// and its file time is now at or after fresh_since (a blob the sweep had moved
// aside is put back). A blob already that fresh is left untouched: one round
// trip less on a network file system. false when it is not stored.
bool keep_named_blob(const char *digest, int64_t fresh_since);

// The oldest file time a blob may have and still go untouched by a store or an
// upload whose reference time (a file time taken after it made itself known)
// is ref: a quarter of the grace period before ref (see the top of gc.cpp).
// kTouchAlways when ref is unknown.
constexpr int64_t kTouchAlways = INT64_MAX;
int64_t touch_fresh_since(int64_t ref);

// The record of one manifest store in flight: the body, written before the
// store checks what it names and removed when the store ends, so a collection
// whose mark starts reading records before the store finishes sees its references.
class store_record {
public:
    store_record() = default;
    ~store_record();
    store_record(const store_record &) = delete;
    store_record &operator=(const store_record &) = delete;
    // false with the last error set when the record cannot be written. Its
    // name starts with hex, the digits of the manifest being stored.
    bool write(const char *hex, const void *body, size_t len);
    // The record's file time once written (the file system's clock), -1 when
    // it cannot be had.
    int64_t time() const;

private:
    char path_[kPathMax] = "";
};

// The state of a run as the progress snapshot carries it.
struct gc_progress {
    int running;
    char phase[kGcPhaseMax];
    int blobs_scanned;
    int blobs_total;
    int blobs_deleted;
    int64_t bytes_freed;
    int dry_run;
    int64_t started_unix;
    int64_t elapsed_ms;
    int cancelled;
};

// Renders the record as one line of JSON into out (kGcSnapshotMax bytes).
void gc_snapshot_json(const gc_progress *progress, char *out);
// Replaces the progress snapshot under the storage root; a failure is ignored.
void gc_write_snapshot(const gc_progress *progress);
// 1 when the cancel marker exists and is not a directory, else 0.
int gc_cancel_requested(void);
// Path of a file in the GC state directory (out: kPathMax bytes).
void gc_state_path(char *out, const char *file);

// 1 only when the object's first member named key is the boolean true.
int gc_json_bool(json_val *obj, const char *key);
// The object's first member named key when it is an integer number, else 0.
int64_t gc_json_int(json_val *obj, const char *key);

// The digests a run has marked: 64 hex digits and a terminator per slot,
// appended in the order found, duplicates included.
constexpr size_t kRefSlot = 65;
constexpr int kRefFirstCapacity = 256;
struct ref_set {
    char (*entries)[kRefSlot] = nullptr;
    int count = 0;
    int capacity = 0;

    ref_set() = default;
    ~ref_set() { delete[] entries; }
    ref_set(const ref_set &) = delete;
    ref_set &operator=(const ref_set &) = delete;
};

// Adds the 64 digits of text when it is "sha256:" and 64 lowercase hex digits;
// anything else is passed over. -1 only when the set could not grow.
int hashset_add_digest(ref_set *set, const char *text);
// Byte-wise order of two slots; usable with qsort.
int hex64_cmp(const void *a, const void *b);
void ref_set_sort(ref_set *set);
// Binary search of a sorted set.
bool ref_set_contains(const ref_set *set, const char *hex);

#endif
