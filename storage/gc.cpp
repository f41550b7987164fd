// gc.cpp - garbage collection: stale uploads, then the blobs no stored manifest references.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/qf_str.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"
#include "storage/upload_state.h"

namespace {

constexpr int64_t kUploadQuietSeconds = 899; // a part file older than this is abandoned
constexpr int kCheckEvery = 256;             // manifests read / blobs scanned between checks
constexpr uint64_t kSnapshotQuietMs = 199;
constexpr int kSnapshotQuietScans = 255;
// A repository name holds at most 255 characters, so at most 128 components;
// no valid repository lies deeper. The bound also ends a walk that a
// symbolic-link loop would otherwise never finish.
constexpr int kRepoComponentsMax = (static_cast<int>(kRepoNameMax) + 1) / 2;
// File times are whole seconds, and a file's time may trail the clock read
// just before it was written by up to one second.
constexpr int64_t kFileTimeSlack = 1;

std::string at_root(const std::string &rel) { return std::string(s_root) + "/" + rel; }

// A path that does not fit the engine's buffers would name something else
// once cut; such an entry is left alone.
bool join_path(char *out, const char *dir, const char *name) {
    return qf_snprintf(out, kPathMax, "%s/%s", dir, name) < static_cast<int>(kPathMax);
}

bool is_part_name(const std::string &name) {
    static constexpr char kSuffix[] = ".part";
    constexpr size_t kSuffixLen = sizeof kSuffix - 1;
    return name.size() > kSuffixLen && name.compare(name.size() - kSuffixLen, kSuffixLen, kSuffix) == 0;
}

// ---- upload passes -------------------------------------------------------

struct upload_totals {
    int stale = 0;
    int64_t stale_bytes = 0;
};

// Every part file counts, however many the upload area holds.
upload_totals remove_stale_uploads(bool dry_run) {
    upload_totals totals;
    int64_t now = plat_wall_seconds();
    std::string dir = at_root("uploads");
    std::vector<dir_item> items;
    if (list_dir_all(dir.c_str(), items) != 0) return totals;
    for (const dir_item &item : items) {
        if (item.is_dir || !is_part_name(item.name)) continue;
        std::string path = dir + "/" + item.name;
        int64_t mtime = -1;
        if (plat_file_info(path.c_str(), nullptr, &mtime) != 0 || mtime < 0) continue;
        if (now - mtime <= kUploadQuietSeconds) continue;
        ++totals.stale;
        int64_t size = 0;
        if (plat_file_info(path.c_str(), &size, nullptr) == 0 && size > 0) totals.stale_bytes += size;
        if (!dry_run && plat_entry_kind(path.c_str()) == PLAT_FILE) plat_unlink(path.c_str());
    }
    // The owner and hash kept beside part files that are gone now.
    upload_state_sweep(dry_run, kUploadQuietSeconds);
    return totals;
}

enum class upload_state { quiet, in_progress, unlistable };

// Answers with the wall clock at which the upload area was found quiet.
upload_state check_uploads(int64_t *checked_at) {
    int64_t now = plat_wall_seconds();
    *checked_at = now;
    std::string dir = at_root("uploads");
    std::vector<dir_item> items;
    if (list_dir_all(dir.c_str(), items) != 0)
        // Without an upload area no upload can be running; one that cannot be
        // read might hide one.
        return plat_entry_kind(dir.c_str()) == PLAT_DIR ? upload_state::unlistable : upload_state::quiet;
    for (const dir_item &item : items) {
        if (item.is_dir || !is_part_name(item.name)) continue;
        std::string path = dir + "/" + item.name;
        int64_t mtime = -1;
        if (plat_file_info(path.c_str(), nullptr, &mtime) != 0 || mtime < 0) continue;
        if (now - mtime <= kUploadQuietSeconds) return upload_state::in_progress;
    }
    return upload_state::quiet;
}

// ---- the run -------------------------------------------------------------

struct run {
    gc_progress progress{};
    bool dry_run = false;
    int64_t quiet_since = 0; // wall clock at which no upload was running
    uint64_t start_ms = 0;
    uint64_t snapshot_ms = 0;
    int snapshot_scanned = 0;
    int manifests_read = 0;
    bool cancelled = false;
    int reachable = 0;
    ref_set refs;

    void refresh_elapsed() { progress.elapsed_ms = static_cast<int64_t>(plat_monotonic_ms() - start_ms); }

    void snapshot_if_due() {
        uint64_t now = plat_monotonic_ms();
        if (now - snapshot_ms <= kSnapshotQuietMs && progress.blobs_scanned - snapshot_scanned <= kSnapshotQuietScans)
            return;
        gc_write_snapshot(&progress);
        snapshot_ms = now;
        snapshot_scanned = progress.blobs_scanned;
    }
};

void remove_cancel_marker() {
    char path[kPathMax];
    gc_state_path(path, kGcCancelFile);
    if (plat_entry_kind(path) == PLAT_FILE) plat_unlink(path);
}

// Blob files are the files with a digest's name one level below the store's top directory.
int count_blobs() {
    int count = 0;
    walk_blob_store([&](const char *, const std::vector<dir_item> &files) {
        for (const dir_item &file : files)
            if (!file.is_dir && hex64_valid(file.name.c_str())) ++count;
        return true;
    });
    return count;
}

// ---- mark ----------------------------------------------------------------

// Thrown when the mark cannot see every manifest; the run then removes nothing.
struct mark_failure {
    bool out_of_memory;
};

[[noreturn]] void refuse(const char *what, const std::string &rel) {
    set_error("%s: %s", what, rel.c_str());
    throw mark_failure{false};
}

[[noreturn]] void refuse_out_of_memory() {
    set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
    throw mark_failure{true};
}

// Gone since it was listed (a repository or manifest deleted during the run).
// A query can fail for other reasons too (a link loop, a name too long), so
// only a parent directory that no longer lists the entry proves it gone.
bool vanished(const std::string &rel) {
    if (plat_entry_kind(at_root(rel).c_str()) != PLAT_ABSENT) return false;
    size_t cut = rel.rfind('/');
    std::string parent = cut == std::string::npos ? "" : rel.substr(0, cut);
    std::string name = cut == std::string::npos ? rel : rel.substr(cut + 1);
    std::vector<dir_item> items;
    if (list_dir_all(at_root(parent).c_str(), items) != 0) return !parent.empty() && vanished(parent);
    for (const dir_item &item : items)
        if (item.name == name) return false;
    return true;
}

// Every repository below rel (paths relative to the storage root), however
// many there are and however many entries a directory holds: a repository
// left out would have its blobs removed. A directory that cannot be listed
// ends the mark, unless it went away meanwhile (a repository deleted during the run).
void find_repositories(const std::string &rel, int components, std::vector<std::string> &repos) {
    std::vector<dir_item> items;
    if (list_dir_all(at_root(rel).c_str(), items) != 0) {
        if (vanished(rel)) return;
        refuse("cannot list repositories", rel);
    }
    for (const dir_item &item : items) {
        if (!item.is_dir || item.name == "_manifests") continue;
        std::string child = rel + "/" + item.name;
        if (components >= kRepoComponentsMax) refuse("repository tree too deep", child);
        if (plat_entry_kind(at_root(child + "/_manifests").c_str()) == PLAT_DIR) repos.push_back(child);
        find_repositories(child, components + 1, repos);
    }
}

void add_reference(run &r, json_val *holder) {
    const char *digest = manifest_member_digest(holder);
    if (digest && hashset_add_digest(&r.refs, digest) != 0) refuse_out_of_memory();
}

void add_references(run &r, json_val *list) {
    size_t count = json_arr_size(list);
    for (size_t i = 0; i < count; ++i)
        add_reference(r, json_arr_get(list, i));
}

// Marks what one body file references. false when it went away before it could be read.
bool mark_body(run &r, const std::string &rel) {
    std::string path = at_root(rel);
    size_t len = 0;
    heap_text text(read_file_alloc(path.c_str(), &len));
    if (!text) {
        if (vanished(rel)) return false;
        refuse("cannot read manifest", rel);
    }
    json_doc_ptr doc(json_read(text.get(), len));
    json_val *root = json_doc_root(doc.get());
    if (!json_is_obj(root)) refuse("cannot parse manifest", rel);
    add_reference(r, json_obj_get(root, "config"));
    add_references(r, json_obj_get(root, "layers"));
    add_references(r, json_obj_get(root, "manifests"));
    return true;
}

// A body file last written before written_since is passed over (0: none is).
bool written_before(const std::string &rel, int64_t written_since) {
    if (written_since <= 0) return false;
    int64_t mtime = -1;
    if (plat_file_info(at_root(rel).c_str(), nullptr, &mtime) != 0 || mtime < 0) return false;
    return mtime < written_since;
}

// Marks the references of every body file of every repository. Returns with
// r.cancelled set when the cancel marker stopped it.
void mark_all(run &r, int64_t written_since) {
    std::vector<std::string> repos;
    find_repositories("repositories", 0, repos);
    for (const std::string &repo : repos) {
        std::string manifests = repo + "/_manifests";
        std::vector<dir_item> items;
        if (list_dir_all(at_root(manifests).c_str(), items) != 0) {
            if (vanished(manifests)) continue;
            refuse("cannot list manifests", manifests);
        }
        for (const dir_item &item : items) {
            if (item.is_dir || !hex64_valid(item.name.c_str())) continue;
            std::string body = manifests + "/" + item.name;
            if (written_before(body, written_since) || !mark_body(r, body)) continue;
            if (++r.manifests_read % kCheckEvery != 0) continue;
            r.refresh_elapsed();
            r.snapshot_if_due();
            if (gc_cancel_requested()) {
                r.cancelled = true;
                return;
            }
        }
    }
}

enum class mark_result { complete, refused, out_of_memory };

// Anything but complete leaves the last error set.
mark_result mark(run &r) {
    try {
        mark_all(r, 0);
        // Manifests stored while the first pass ran, in repositories it had
        // already passed or that did not exist yet, are read now so that
        // their blobs are kept too. What remains open: a manifest whose body
        // file is written after this pass listed its manifests directory (or,
        // for a new repository, after this pass's discovery) but whose check
        // that its blobs exist ran before the sweep removed them. The sweep
        // then removes those of its blobs that nothing else references and
        // whose bytes were written no later than the second of the upload
        // check (see sweep_blob), and the manifest names missing blobs. A
        // manifest stored after the sweep removed a blob is refused by that
        // check instead.
        if (!r.cancelled) mark_all(r, r.progress.started_unix - kFileTimeSlack);
    } catch (const mark_failure &failure) {
        return failure.out_of_memory ? mark_result::out_of_memory : mark_result::refused;
    } catch (const std::bad_alloc &) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return mark_result::out_of_memory;
    }
    ref_set_sort(&r.refs);
    return mark_result::complete;
}

// ---- sweep ---------------------------------------------------------------

// Examines one blob file; true when the cancel marker stops the sweep.
bool sweep_blob(run &r, const char *path, const char *hex) {
    ++r.progress.blobs_scanned;
    if (ref_set_contains(&r.refs, hex)) {
        ++r.reachable;
        return false;
    }
    int64_t size = 0, mtime = -1;
    if (plat_file_info(path, &size, &mtime) != 0 || size < 0) size = 0;
    // A blob whose bytes were last written in a later second than the check
    // that no upload was running came from an upload made during the run: its
    // manifest may not be stored yet, so it waits for the next run. File
    // times are whole seconds, so an upload finished during the very second
    // of that check cannot be told from an older blob and is removed.
    bool uploaded_during_run = mtime > r.quiet_since;
    if (!uploaded_during_run) {
        if (r.dry_run || plat_unlink(path) == 0) {
            ++r.progress.blobs_deleted;
            r.progress.bytes_freed += size;
        }
    }
    if (r.progress.blobs_scanned % kCheckEvery != 0) return false;
    r.refresh_elapsed();
    r.snapshot_if_due();
    return gc_cancel_requested() != 0;
}

// Only files named by 64 hex digits inside fan-out directories are ever removed.
void sweep(run &r) {
    walk_blob_store([&](const char *fanout, const std::vector<dir_item> &files) {
        for (const dir_item &entry : files) {
            char path[kPathMax];
            if (entry.is_dir || !hex64_valid(entry.name.c_str()) || !join_path(path, fanout, entry.name.c_str()))
                continue;
            if (sweep_blob(r, path, entry.name.c_str())) {
                if (!r.dry_run) plat_rmdir(fanout);
                r.cancelled = true;
                return false;
            }
        }
        // Succeeds only when the directory was emptied.
        if (!r.dry_run) plat_rmdir(fanout);
        return true;
    });
}

// ---- end -----------------------------------------------------------------

void write_final_snapshot(run &r) {
    r.progress.running = 0;
    qf_strlcpy(r.progress.phase, "done", sizeof r.progress.phase);
    r.progress.cancelled = r.cancelled ? 1 : 0;
    r.refresh_elapsed();
    gc_write_snapshot(&r.progress);
}

const char *write_report(const run &r, const upload_totals &uploads) {
    const gc_progress &p = r.progress;
    qf_snprintf(s_result, kResultMax,
                "{\"dry_run\":%s,\"blobs_total\":%d,\"blobs_reachable\":%d,\"blobs_deleted\":%d,\"bytes_freed\":%lld,"
                "\"blobs_kept\":%d,\"stale_uploads\":%d,\"stale_upload_bytes\":%lld,\"cancelled\":%s,"
                "\"elapsed_ms\":%lld}",
                r.dry_run ? "true" : "false", p.blobs_total, r.reachable, p.blobs_deleted,
                static_cast<long long>(p.bytes_freed), p.blobs_total - p.blobs_deleted, uploads.stale,
                static_cast<long long>(uploads.stale_bytes), r.cancelled ? "true" : "false",
                static_cast<long long>(plat_monotonic_ms() - r.start_ms));
    return s_result;
}

const char *collect(bool dry_run) {
    upload_totals uploads = remove_stale_uploads(dry_run);
    std::unique_ptr<run> r(new (std::nothrow) run);
    if (!r) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return nullptr;
    }
    r->dry_run = dry_run;
    switch (check_uploads(&r->quiet_since)) {
    case upload_state::in_progress: set_error_kind(REG_ERR_CONFLICT, "uploads in progress"); return nullptr;
    case upload_state::unlistable: set_error("cannot list uploads"); return nullptr;
    case upload_state::quiet: break;
    }

    // A cancel request made before the run does not stop it.
    remove_cancel_marker();
    gc_progress &p = r->progress;
    p.running = 1;
    qf_strlcpy(p.phase, "walking", sizeof p.phase);
    p.dry_run = dry_run ? 1 : 0;
    p.started_unix = plat_wall_seconds();
    r->start_ms = plat_monotonic_ms();
    gc_write_snapshot(&p);

    p.blobs_total = count_blobs();
    r->refresh_elapsed();
    gc_write_snapshot(&p);
    r->snapshot_ms = plat_monotonic_ms();
    r->snapshot_scanned = 0;

    mark_result marked = mark(*r);
    if (marked != mark_result::complete) {
        // Observers see the run end at once rather than hang for ten minutes.
        // A run out of memory leaves the cancel marker as it found it.
        write_final_snapshot(*r);
        if (marked == mark_result::refused) remove_cancel_marker();
        return nullptr;
    }

    qf_strlcpy(p.phase, "deleting", sizeof p.phase);
    if (!r->cancelled && gc_cancel_requested()) r->cancelled = true;
    if (!r->cancelled) sweep(*r);

    write_final_snapshot(*r);
    remove_cancel_marker();
    const char *report = write_report(*r, uploads);
    s_error[0] = '\0';
    return report;
}

} // namespace

int hashset_add_digest(ref_set *set, const char *text) {
    if (!text || strncmp(text, "sha256:", kDigestPrefixLen) != 0 || !hex64_valid(text + kDigestPrefixLen)) return 0;
    if (set->count == set->capacity) {
        if (set->capacity > INT32_MAX / 2) return -1;
        int capacity = set->capacity == 0 ? kRefFirstCapacity : set->capacity * 2;
        auto *grown = new (std::nothrow) char[static_cast<size_t>(capacity)][kRefSlot];
        if (!grown) return -1;
        if (set->count > 0) memcpy(grown, set->entries, static_cast<size_t>(set->count) * kRefSlot);
        delete[] set->entries;
        set->entries = grown;
        set->capacity = capacity;
    }
    memcpy(set->entries[set->count], text + kDigestPrefixLen, kHexLen + 1);
    ++set->count;
    return 0;
}

int hex64_cmp(const void *a, const void *b) {
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

void ref_set_sort(ref_set *set) {
    if (set->count > 1) qsort(set->entries, static_cast<size_t>(set->count), kRefSlot, hex64_cmp);
}

bool ref_set_contains(const ref_set *set, const char *hex) {
    int low = 0, high = set->count - 1;
    while (low <= high) {
        int middle = low + (high - low) / 2;
        int cmp = hex64_cmp(set->entries[middle], hex);
        if (cmp == 0) return true;
        if (cmp > 0)
            high = middle - 1;
        else
            low = middle + 1;
    }
    return false;
}

// The snapshot is replaced whole (written beside and renamed over), so a
// reader, or the next run after a crash, never finds it half written.
void gc_write_snapshot(const gc_progress *progress) {
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/%s", s_root, kGcDir);
    if (plat_entry_kind(dir) != PLAT_DIR) mkdirs(dir);
    char text[kGcSnapshotMax];
    gc_snapshot_json(progress, text);
    char path[kPathMax];
    gc_state_path(path, kGcProgressFile);
    write_file(path, text, strlen(text));
}

extern "C" const char *reg_gc_json(int dry_run) {
    if (!require_ready()) return nullptr;
    return guarded<const char *>(nullptr, [&] { return collect(dry_run != 0); });
}
