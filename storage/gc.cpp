// gc.cpp - garbage collection: stale uploads, then the blobs no stored manifest references.
//
// Why a collection never takes a blob that a stored manifest names, nor one a
// push still needs, with any number of collections, uploads and manifest
// stores running at once in processes of one host or of several hosts over
// one storage tree. Nothing is held in memory across processes and nothing is
// locked: the argument rests on atomic renames, exclusive creates and file
// times, all given by the file system, and on one clock, the file system's own
// (a run takes its start time t0 from the file time of the progress snapshot
// it writes before it looks at anything, and reads a blob's age against it).
//
// A manifest store S for a blob B, in this order:
//   p  writes its record (the body) into _gc/intents, in place under its
//      final name, and reads the record's file time T (after the write);
//   k  keep_named_blob: looks at B; when its file time is at or after
//      T - g/4 (g: the grace period this store reads; at g = 0, T itself)
//      leaves it as it is, else touches B (file time := now); if B is
//      missing, touches its aside name, renames that back and touches B again
//      (another run may have put it back meanwhile with its old time); fails
//      the store when B is neither there nor can be touched;
//   w  writes the manifest's files;
//   r  removes its record.
// A run W: t0; reads every record (time R); lists the repositories and reads
// every manifest body (all listings after R); then, for an unmarked B:
//   s1 stat B: kept unless old, i.e. its file time is before t0 - 1 and at
//      least the grace period G before t0 ("registry_gc_grace_seconds");
//   s2 rename B to its aside name (atomic);
//   s3 stat the aside name: if no longer old, link it back under B's name
//      unless a file is there already, remove the aside name, keep B;
//   s4 unlink the aside name.
//
// Claim: when S succeeds, B is not removed while S's manifest is stored.
// - p before R: either S's record is still there at R, so W marks B; or S
//   removed it before R, so w came before R and so before W listed S's
//   repository and its manifests: W reads the body and marks B.
// - p after R (W found no record, or found it empty or cut short, which
//   does not parse): the record's last write came after W's look at it, so
//   T >= t0 (both are the file system's times, in order), and k comes after
//   t0. If k left B untouched, B's time was at or after T - g/4 >= t0 - g/4,
//   less than G before t0 when g/4 < G (and at g = G = 0 not before t0):
//   B is not old for W, so s1 keeps it and W never moves it. This needs
//   every host's grace period g to be less than four times the grace period
//   G of every run (the same setting everywhere does it). If k touched B, the
//   file time k gives B is not before t0. If k touched B before s1, s1 finds
//   B fresh. If between s1 and s2, the file W renames carries the fresh time
//   and s3 links it back. If after s2, k found B missing, touched the aside
//   file and renamed it back: before s3, s3 sees it fresh and links it back
//   itself (the link or the rename finds its work done, harmlessly); after
//   s3, either k's rename comes first and s4 finds nothing to unlink, or s4
//   comes first, k's rename fails and S fails without writing anything.
//   That last store is refused exactly as one that came a moment after the
//   removal: it first looked at B after W had found B unreferenced and old
//   at s1 and moved it aside.
//   Once k is past, no file at B's name carries an older time than k left:
//   touches, k's own rename and an upload's move put fresh files there, and
//   s3 and a leftover's put-back (below) only fill an empty name.
// - A second run W' at any point: the same cases hold for it, and a file k
//   has put back is fresh for W' unless W' read S's record (then B is marked).
// A run after S's manifest was stored marks B from the body, until the
// manifest is deleted.
//
// A push in progress: its blobs are uploaded first and named by its manifest
// store last. Finishing an upload leaves the blob at most a quarter of the
// grace period old by the clock of its host (it touches the blob, or the
// stored one for content stored already, unless its time is that fresh
// already), and a blob
// touched less than the grace period before a run starts is never old, so a
// push has three quarters of the grace period from delivering a layer to
// storing its manifest; the default hour covers a slow push of a large image. A store whose check comes later than that (or, with
// a grace period of 0, more than about a second later) may find its blob
// collected and fails with BLOB_UNKNOWN, as it would after a deletion.
//
// Part files are abandoned after 900 s without a write, whatever the grace
// period: a client may pause between chunks, and its session must not end
// because an operator chose a short grace period for finished blobs. Younger
// part files are passed over; they never stop the run.
//
// One session's appends and finishes (uploads.cpp, blobs.cpp). Each holds the
// session's lock _state/<id>.lock (created exclusively, naming its holder and,
// for a finish, saying so) from before it looks at the part file until it is
// done with it, and removes the lock last. An append meeting any holder, and
// a finish meeting an append, is refused (a conflict) and changes nothing.
// Claim: a finish removes (wrong digest, content stored already) or moves into
// the store exactly the bytes it hashed, and no byte is written to the part
// file, or to the blob it became, after that hash. Under the lock no append
// runs; one that starts after the finish let go finds the part file gone
// (plat_open_append_existing never creates it) and answers "upload not
// found", as for any finished session; it never reported its bytes kept. A
// second finish of the same session meeting the first's lock goes on beside
// it, as two finishes always could (each verifies what it hashed, the move is
// one rename, the slower finds the blob stored); before it removes or moves
// anything it takes the lock itself if the first has let go meanwhile. Left
// open: a first finish that fails with the part file in place (a flush, a
// directory or a rename failing) lets go, and an append could then start in
// the few calls between the second's last look at the lock and its move. A
// cancel takes the lock as an append does before it removes the part file, so
// it never removes one an append or a finish is at work on. A lock whose
// holder is gone (a process of this host no longer running, or a session
// unwritten for the abandon time) is taken over; the run removes a
// lock file, like the rest of a session's state, only once the part file is
// gone and the lock has not been written for the abandon time.
//
// Symbolic links: the engine writes none. A listing reports a link as a
// link, never as the directory it may point to, so no walk descends through
// one. A run that meets a link among the repositories refuses, since a
// repository behind it could name blobs the run cannot see; a linked fan-out
// directory of the blob store is passed over, so nothing it leads to is ever
// removed. `registry-admin check` reports every link.
//
// Deletions (blob, manifest by digest, the manifest a deleted last tag leaves
// unnamed, retention, tag, repository). A deletion of digest X:
//   m  creates the mark _gc/deleting/<X> exclusively (a second deletion of X
//      is refused with a conflict while it stands: deletions of one digest
//      run one at a time on any host), making the directory when missing;
//   s  reads every store record (a record's name starts with the digits of
//      the manifest it stores; its body names the rest), then lists the
//      manifests (every repository for a blob, the repository for a
//      manifest): anything naming X refuses the deletion (405 DENIED), a
//      store of X itself in flight makes it a conflict;
//   u  removes X (a blob: its file and any aside name; a manifest: its tags
//      by one rename each into _gc/trash, then its files);
//   and removes the mark, then the marks directory when it is empty (so
//   that it stands only while deletions run).
// A deletion that reads a store's record empty or cut short learns nothing
// from it, and needs nothing: that store looks for the marks after its
// record is written, so after the mark. A manifest store S additionally
// looks, after p and before relying on anything, for the marks: of its own digest (one standing refuses S with a
// conflict), of each child it lists and each blob it names (one standing
// counts the object as deleted already: BLOB_UNKNOWN).
// Claim: when S succeeds, nothing it names is removed by a deletion D while
// S's manifest is stored. If S found no mark for X at time t, every deletion
// of X either ended (u done) before t, so S then found X missing and failed,
// or created its mark after t, so after p: D's read of the records finds S's
// record, or S removed it after writing its files, which D's listing that
// follows then finds. Either way D refuses. A mark left by a crash is
// honoured for kAbandonedSeconds and then taken over.
// S looks for all its marks with one listing of _gc/deleting (deletion_marks)
// that starts at t1 after p and ends at t2 before S's first look at anything
// the body names, then stats only the marks it lists for its own digests
// (staleness, as before). A listing returns every entry that stands from its
// start to its end, so a mark of X it does not show was either removed before
// t2, after its deletion's u, which S's later look at X then finds done (the
// first case with t = t2), or created after t1, so after p (the second case
// with t = t1). A listing that finds no directory (no deletion runs at t1:
// the usual case, one failed open) is the same with no mark standing at t1;
// a directory removed and made again during the listing holds only marks
// created after t1. A directory made by one deletion and removed by another
// ending before the first creates its mark fails that create, which makes
// the directory again (bounded), so every mark is created in the directory
// stores list. A listing that fails otherwise leaves each digest to a stat
// of its mark, the argument above unchanged.
// Tags and repositories: a tag deletion renames the tag's directory into the
// trash, a repository deletion the repository's _manifests directory, each
// in one atomic step; a store writing meanwhile has some of its files moved
// away. S therefore looks again after writing (body, revision link and tag
// link present and naming its digest) and writes again when they are not,
// bounded: the store then came after the deletion. An index S whose child
// went with a repository deletion during S removes its own files and fails
// as if the deletion came first. The repository deletion itself cannot fail
// halfway: the rename moves all of it or nothing. A repository emptied by a
// deletion loses its directories by rmdir only, which refuses a directory
// a store has written into; a store whose freshly made directory was removed
// before its write fails that round and writes again.
// Blobs named only by a manifest a deletion removed are left to collections,
// which the argument above covers; deletions never remove a blob because a
// manifest went.
//
// One walk, one rule. "Every repository" above is for_each_repository
// (walk.cpp): the run, the deletions' search, usage, check and the catalog
// walk the same tree to the same depth (as deep as a repository name
// reaches); the run refuses where that walk meets a link, a directory it
// cannot list (unless it went away meanwhile) or a directory deeper than any
// name. "What a manifest names" is manifest_references (references.cpp): the
// run marks, and a deletion refuses for, every valid config, layer and child
// digest a body holds, whatever kind of manifest it is, which includes
// everything a store checked and kept (a store of an index checks its
// children, of an image its config and layers). A subject is no reference:
// the store never checks it, and nothing is kept for it.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/qf_str.h"
#include "base/settings.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"
#include "storage/upload_state.h"

namespace {

constexpr int kCheckEvery = 256; // manifests read / blobs scanned between checks
constexpr uint64_t kSnapshotQuietMs = 199;
constexpr int kSnapshotQuietScans = 255;
// File times are whole seconds; one written in the second before the run
// started may belong to a store the run cannot see otherwise.
constexpr int64_t kFileTimeSlack = 1;

std::string at_root(const std::string &rel) { return std::string(s_root) + "/" + rel; }

// A path that does not fit the engine's buffers would name something else
// once cut; such an entry is left alone.
bool join_path(char *out, const char *dir, const char *name) {
    return qf_snprintf_fit(out, kPathMax, "%s/%s", dir, name);
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
    int in_progress = 0;
};

// Every part file counts, however many the upload area holds. An upload area
// that cannot be listed removes nothing; the blobs need nothing from it.
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
        if (now - mtime < kAbandonedSeconds) {
            ++totals.in_progress;
            continue;
        }
        ++totals.stale;
        int64_t size = 0;
        if (plat_file_info(path.c_str(), &size, nullptr) == 0 && size > 0) totals.stale_bytes += size;
        if (!dry_run && plat_entry_kind(path.c_str()) == PLAT_FILE) plat_unlink(path.c_str());
    }
    // The owner and hash kept beside part files that are gone now.
    upload_state_sweep(dry_run, kAbandonedSeconds);
    return totals;
}

// A store record left by a store that crashed would keep its blobs for ever.
void remove_abandoned_records(bool dry_run) {
    if (dry_run) return;
    int64_t now = plat_wall_seconds();
    std::string dir = at_root(std::string(kGcDir) + "/" + kGcIntentsDir);
    std::vector<dir_item> items;
    if (list_dir_all(dir.c_str(), items) != 0) return;
    for (const dir_item &item : items) {
        std::string path = dir + "/" + item.name;
        int64_t mtime = -1;
        if (item.is_dir || plat_file_info(path.c_str(), nullptr, &mtime) != 0 || mtime < 0) continue;
        if (now - mtime >= kAbandonedSeconds) plat_unlink(path.c_str());
    }
}

// ---- the run lock --------------------------------------------------------

// One collection at a time per storage tree, on any host: the lock file is
// created exclusively, names its holder ("<host> <process id>") and is
// touched whenever the run publishes its progress. It is stale, and the next
// start takes it over, when its holder is a process of this host that no
// longer runs (a crash, a kill), or when nobody touched it for
// kRunLockStaleSeconds (a holder on a host gone). A takeover in error costs
// no data: runs at once are safe (see the top of this file), only wasteful.
constexpr int64_t kRunLockStaleSeconds = 600;
// Held per engine handle: the lock is the storage root's.
#define s_lock_held (current_engine().gc_lock_held)

void run_lock_path(char *out) { gc_state_path(out, kGcRunLockFile); }

bool run_lock_stale(const char *path) {
    int64_t mtime = -1;
    if (plat_file_info(path, nullptr, &mtime) != 0 || mtime < 0) return false;
    return plat_wall_seconds() - mtime >= kRunLockStaleSeconds || owned_lock_holder_gone(path);
}

bool take_run_lock() {
    char path[kPathMax];
    run_lock_path(path);
    if (s_lock_held) {
        owned_lock_rename_holder(path);
        return true;
    }
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/%s", s_root, kGcDir);
    if (plat_entry_kind(dir) != PLAT_DIR && mkdirs(dir) != 0) {
        set_error("cannot create the collection's state directory");
        return false;
    }
    int rc = owned_lock_create(path);
    // Taken over by removing it and creating it again exclusively: of two
    // processes doing so at once, one creates it.
    if (rc == PLAT_EXISTS && run_lock_stale(path) && plat_unlink(path) == 0) rc = owned_lock_create(path);
    if (rc == PLAT_EXISTS) {
        set_error_kind(REG_ERR_CONFLICT, "a collection is already running on this storage");
        return false;
    }
    if (rc != 0) {
        set_error("cannot create the collection's run lock");
        return false;
    }
    s_lock_held = true;
    return true;
}

void release_run_lock() {
    if (!s_lock_held) return;
    char path[kPathMax];
    run_lock_path(path);
    // Once more after a failure: a lock left behind refuses every run until
    // it is found stale.
    if (plat_unlink(path) != 0 && plat_entry_kind(path) != PLAT_ABSENT) plat_unlink(path);
    s_lock_held = false;
}

void touch_run_lock() {
    if (!s_lock_held) return;
    char path[kPathMax];
    run_lock_path(path);
    plat_touch(path);
}

// ---- the run -------------------------------------------------------------

struct run {
    gc_progress progress{};
    bool dry_run = false;
    int64_t grace = 0;     // seconds a blob stays after it was last touched
    int64_t started = 0;   // t0: the file system's time when the run started
    int64_t sweep_now = 0; // the file system's time when the sweep started
    uint64_t start_ms = 0;
    uint64_t snapshot_ms = 0;
    int snapshot_scanned = 0;
    int manifests_read = 0;
    bool cancelled = false;
    int reachable = 0;
    int young_kept = 0;
    int64_t young_free_within = 0; // seconds until the last blob kept young is old
    ref_set refs;

    void refresh_elapsed() { progress.elapsed_ms = static_cast<int64_t>(plat_monotonic_ms() - start_ms); }

    void snapshot_if_due() {
        uint64_t now = plat_monotonic_ms();
        if (now - snapshot_ms <= kSnapshotQuietMs && progress.blobs_scanned - snapshot_scanned <= kSnapshotQuietScans)
            return;
        gc_write_snapshot(&progress);
        touch_run_lock();
        snapshot_ms = now;
        snapshot_scanned = progress.blobs_scanned;
    }
};

void remove_cancel_marker() {
    char path[kPathMax];
    gc_state_path(path, kGcCancelFile);
    if (plat_entry_kind(path) == PLAT_FILE) plat_unlink(path);
}

// Writes the snapshot and answers the file time it was given: the clock the
// other processes' file times are read against, whichever host set them. The
// wall clock stands in when the snapshot cannot be written.
int64_t file_clock(const gc_progress &progress) {
    gc_write_snapshot(&progress);
    char path[kPathMax];
    gc_state_path(path, kGcProgressFile);
    int64_t mtime = -1;
    if (plat_file_info(path, nullptr, &mtime) == 0 && mtime >= 0) return mtime;
    return plat_wall_seconds();
}

// Blob files are the files with a digest's name one level below the store's top directory.
int count_blobs() {
    int count = 0;
    for_each_blob([&](const std::string &, const std::string &) {
        ++count;
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

// Every repository (paths relative to the storage root), however many there
// are and however many entries a directory holds: a repository left out would
// have its blobs removed. A directory that cannot be listed ends the mark,
// unless it went away meanwhile (a repository deleted during the run).
std::vector<std::string> find_repositories() {
    std::vector<std::string> repos;
    repo_walk_visitor visit;
    visit.repository = [&](const std::string &name) { repos.push_back("repositories/" + name); };
    visit.unlisted = [](const std::string &rel) {
        if (!vanished(rel)) refuse("cannot list repositories", rel);
    };
    // A repository behind a link cannot be walked without following it, and
    // one left out would lose its blobs: no collection then.
    visit.link = [](const std::string &rel) {
        refuse("symbolic link in the repository tree (see registry-admin check)", rel);
    };
    visit.too_deep = [](const std::string &rel) { refuse("repository tree too deep", rel); };
    for_each_repository(visit);
    return repos;
}

// Adds what a parsed body references; false when it is not a JSON object.
bool mark_text(run &r, const char *text, size_t len) {
    json_doc_ptr doc(json_read(text, len));
    json_val *root = json_doc_root(doc.get());
    if (!json_is_obj(root)) return false;
    for (const manifest_ref &ref : manifest_references(root).refs)
        if (ref_keeps(ref) && hashset_add_digest(&r.refs, ref.digest) != 0) refuse_out_of_memory();
    return true;
}

// Marks what one body file references. false when it went away before it could be read.
bool mark_body(run &r, const std::string &rel) {
    size_t len = 0;
    heap_text text(read_file_alloc(at_root(rel).c_str(), &len));
    if (!text) {
        if (vanished(rel)) return false;
        // Removed and written again between the two looks (a repository
        // deleted and a store of the same manifest after it): read it anew.
        text.reset(read_file_alloc(at_root(rel).c_str(), &len));
        if (!text && vanished(rel)) return false;
        if (!text) refuse("cannot read manifest", rel);
    }
    if (!mark_text(r, text.get(), len)) refuse("cannot parse manifest", rel);
    return true;
}

// The references of every manifest store in flight. A record that does not
// parse is still being written: its store has not looked at its blobs yet,
// so it touches them after this run started (see the top of this file).
void mark_records(run &r) {
    std::string dir = std::string(kGcDir) + "/" + kGcIntentsDir;
    std::vector<dir_item> items;
    if (list_dir_all(at_root(dir).c_str(), items) != 0) {
        if (plat_entry_kind(at_root(dir).c_str()) == PLAT_ABSENT) return;
        refuse("cannot list store records", dir);
    }
    for (const dir_item &item : items) {
        if (item.is_dir) continue;
        std::string rel = dir + "/" + item.name;
        size_t len = 0;
        heap_text text(read_file_alloc(at_root(rel).c_str(), &len));
        if (!text) {
            if (vanished(rel)) continue;
            refuse("cannot read store record", rel);
        }
        mark_text(r, text.get(), len);
    }
}

// Marks the references of every body file of every repository. Returns with
// r.cancelled set when the cancel marker stopped it.
void mark_all(run &r) {
    for (const std::string &repo : find_repositories()) {
        std::string manifests = repo + "/_manifests";
        std::vector<dir_item> items;
        if (list_dir_all(at_root(manifests).c_str(), items) != 0) {
            if (vanished(manifests)) continue;
            refuse("cannot list manifests", manifests);
        }
        for (const dir_item &item : items) {
            if (item.is_dir || !hex64_valid(item.name.c_str())) continue;
            if (!mark_body(r, manifests + "/" + item.name)) continue;
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

// Anything but complete leaves the last error set. The store records are read
// before any repository is listed: a store that removed its record before
// this read wrote its manifest before the listings that follow.
mark_result mark(run &r) {
    try {
        mark_records(r);
        mark_all(r);
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

// Old: last touched before the run started (with a second's slack) and at
// least the grace period before it. The age is measured from t0, not from
// the sweep: a store that found its blob fresh enough to leave untouched
// relies on that (see the top of this file). An unknown time is never old.
bool is_old(const run &r, int64_t mtime) {
    return mtime >= 0 && mtime < r.started - kFileTimeSlack && r.started - mtime >= r.grace;
}

enum class removal { removed, kept_young, left };

// Steps s2 to s4 at the top of this file: the blob is moved aside, looked at
// again and removed only when still old; a manifest store that touched it
// meanwhile has it put back.
removal remove_blob(const run &r, const char *path) {
    char aside[kPathMax];
    if (!blob_aside_path(aside, path) || plat_rename(path, aside) != 0) return removal::left;
    int64_t mtime = -1;
    // Gone from the aside name already: a manifest store took it back.
    if (plat_file_info(aside, nullptr, &mtime) != 0) return removal::kept_young;
    if (!is_old(r, mtime)) {
        // Put back without replacing: a blob stored under the name meanwhile
        // (an upload, a store) keeps its own, fresher time. When this fails
        // the blob waits aside for a store or the next run to take it back.
        int linked = plat_link_excl(aside, path);
        if (linked == 0 || linked == PLAT_EXISTS)
            plat_unlink(aside);
        else
            plat_rename(aside, path);
        return removal::kept_young;
    }
    return plat_unlink(aside) == 0 ? removal::removed : removal::left;
}

// Examines one blob file; true when the cancel marker stops the sweep.
bool sweep_blob(run &r, const char *path, const char *hex) {
    ++r.progress.blobs_scanned;
    if (ref_set_contains(&r.refs, hex)) {
        ++r.reachable;
        return false;
    }
    int64_t size = 0, mtime = -1;
    if (plat_file_info(path, &size, &mtime) != 0 || size < 0) size = 0;
    removal outcome = !is_old(r, mtime) ? removal::kept_young
                      : r.dry_run       ? removal::removed
                                        : remove_blob(r, path);
    if (outcome == removal::kept_young) {
        ++r.young_kept;
        if (mtime >= 0) {
            int64_t left = std::max(mtime + r.grace - r.sweep_now, r.started + kFileTimeSlack + 1 - r.sweep_now);
            r.young_free_within = std::max(r.young_free_within, left);
        }
    }
    if (outcome == removal::removed) {
        ++r.progress.blobs_deleted;
        r.progress.bytes_freed += size;
    }
    if (r.progress.blobs_scanned % kCheckEvery != 0) return false;
    r.refresh_elapsed();
    r.snapshot_if_due();
    return gc_cancel_requested() != 0;
}

// A blob left aside by a run that ended between its steps s2 and s4 goes back
// under its name (or away, when the same content is stored there again); the
// next run decides on it as on any other.
void put_back_aside(const std::string &fanout, const std::string &name) {
    constexpr size_t kSuffixLen = sizeof kAsideSuffix - 1;
    if (name.size() <= kSuffixLen) return;
    size_t stem = name.size() - kSuffixLen;
    if (name.compare(stem, std::string::npos, kAsideSuffix) != 0) return;
    std::string hex = name.substr(0, stem);
    if (!hex64_valid(hex.c_str())) return;
    std::string aside = fanout + "/" + name, path = fanout + "/" + hex;
    int kind = plat_entry_kind(path.c_str());
    if (kind == PLAT_ABSENT)
        plat_rename(aside.c_str(), path.c_str());
    else if (kind == PLAT_FILE)
        plat_unlink(aside.c_str());
}

// Only files named by 64 hex digits inside fan-out directories are ever
// removed, every one of them however many a directory holds.
void sweep(run &r) {
    // A fan-out directory that cannot be listed is passed over: its blobs stay.
    blob_walk_visitor walk;
    walk.fanout = [&](const std::string &fanout, const std::string &, const std::vector<dir_item> &files) {
        for (const dir_item &file : files) {
            if (file.is_dir) continue;
            if (!hex64_valid(file.name.c_str())) {
                if (!r.dry_run) put_back_aside(fanout, file.name);
                continue;
            }
            char path[kPathMax];
            if (!join_path(path, fanout.c_str(), file.name.c_str())) continue;
            if (sweep_blob(r, path, file.name.c_str())) {
                if (!r.dry_run) plat_rmdir(fanout.c_str());
                r.cancelled = true;
                return false;
            }
        }
        // Succeeds only when the directory was emptied.
        if (!r.dry_run) plat_rmdir(fanout.c_str());
        return true;
    };
    for_each_fanout(walk);
}

// ---- end -----------------------------------------------------------------

void write_final_snapshot(run &r) {
    r.progress.running = 0;
    qf_strlcpy(r.progress.phase, "done", sizeof r.progress.phase);
    r.progress.cancelled = r.cancelled ? 1 : 0;
    r.refresh_elapsed();
    gc_write_snapshot(&r.progress);
}

// The members after "elapsed_ms" came later; the ones before keep their order.
const char *write_report(const run &r, const upload_totals &uploads) {
    const gc_progress &p = r.progress;
    qf_snprintf(s_result, kResultMax,
                "{\"dry_run\":%s,\"blobs_total\":%d,\"blobs_reachable\":%d,\"blobs_deleted\":%d,\"bytes_freed\":%lld,"
                "\"blobs_kept\":%d,\"stale_uploads\":%d,\"stale_upload_bytes\":%lld,\"cancelled\":%s,"
                "\"elapsed_ms\":%lld,\"blobs_young_kept\":%d,\"uploads_in_progress\":%d,\"grace_seconds\":%lld,"
                "\"young_kept_free_within_seconds\":%lld}",
                r.dry_run ? "true" : "false", p.blobs_total, r.reachable, p.blobs_deleted,
                static_cast<long long>(p.bytes_freed), p.blobs_total - p.blobs_deleted, uploads.stale,
                static_cast<long long>(uploads.stale_bytes), r.cancelled ? "true" : "false",
                static_cast<long long>(plat_monotonic_ms() - r.start_ms), r.young_kept, uploads.in_progress,
                static_cast<long long>(r.grace), static_cast<long long>(r.young_free_within));
    return s_result;
}

const char *collect(bool dry_run) {
    upload_totals uploads = remove_stale_uploads(dry_run);
    remove_abandoned_records(dry_run);
    if (!dry_run) empty_trash();
    std::unique_ptr<run> r(new (std::nothrow) run);
    if (!r) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return nullptr;
    }
    r->dry_run = dry_run;
    int64_t grace = settings_int(SETTINGS_GC_GRACE_SECONDS);
    r->grace = grace < 0 ? 0 : grace;

    // A cancel request made before the run does not stop it.
    remove_cancel_marker();
    gc_progress &p = r->progress;
    p.running = 1;
    qf_strlcpy(p.phase, "walking", sizeof p.phase);
    p.dry_run = dry_run ? 1 : 0;
    p.started_unix = plat_wall_seconds();
    r->start_ms = plat_monotonic_ms();
    // t0: taken before anything of the tree is looked at.
    r->started = file_clock(p);

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
    if (!r->cancelled) {
        r->sweep_now = file_clock(p);
        sweep(*r);
    }

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
    if (!take_run_lock()) return nullptr;
    const char *report = guarded<const char *>(nullptr, [&] { return collect(dry_run != 0); });
    release_run_lock();
    return report;
}

extern "C" int reg_gc_lock(void) {
    if (!require_ready()) return -1;
    return guarded(-1, [] { return take_run_lock() ? 0 : -1; });
}

extern "C" void reg_gc_lock_handed_over(void) { s_lock_held = false; }

extern "C" void reg_gc_lock_release(void) { release_run_lock(); }
