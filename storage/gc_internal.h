// gc_internal.h - garbage collection's progress record, snapshot text, cancel marker and reference set.
#ifndef REG_GC_INTERNAL_H
#define REG_GC_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "platform/json_doc.h"

constexpr size_t kGcPhaseMax = 16;     // phase text, with terminator
constexpr size_t kGcSnapshotMax = 512; // rendered snapshot, with terminator
constexpr char kGcDir[] = "_gc";
constexpr char kGcProgressFile[] = "progress.json";
constexpr char kGcCancelFile[] = "cancel";

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
