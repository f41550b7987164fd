// storage_internal.h - state, limits and helpers shared by the storage engine's sources.
#ifndef REG_STORAGE_INTERNAL_H
#define REG_STORAGE_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/reg_storage.h"

constexpr size_t kPathMax = 4096;               // every path buffer
constexpr size_t kRootMax = 3500;               // storage root, with terminator
constexpr size_t kErrorMax = 1024;              // last error, with terminator
constexpr size_t kResultMax = 1048576;          // result buffer
constexpr size_t kRepoNameMax = 255;            // characters of a repository name
constexpr size_t kTagMax = 255;                 // bytes of a tag: one directory name
// A repository name holds at most 255 characters, so at most 128 components:
// no repository lies deeper, and walks descend no further.
constexpr int kRepoComponentsMax = (static_cast<int>(kRepoNameMax) + 1) / 2;
constexpr int64_t kReadAllocMax = 67108864;     // largest file read whole
constexpr size_t kDigestPrefixLen = 7;          // "sha256:"
constexpr size_t kHexLen = 64;                  // bare hex digest
constexpr size_t kDigestLen = 71;               // "sha256:" and 64 digits
constexpr size_t kTagLinkCap = 128;             // a tag link is read as at most 127 bytes
constexpr uint32_t kSeedFallback = 0x9E3779B9u; // upload-id generator state that is never 0

// Everything the engine remembers between calls: one per open storage root
// (see reg_engine_open). The default handle serves the calls of a thread that
// selected none.
struct reg_engine {
    char root[kRootMax] = "";
    int ready = 0;
    char error[kErrorMax] = "";
    reg_err_kind error_kind = REG_ERR_NONE;
    // The system's reason for the last I/O failure, taken when it was noted.
    int error_errno = 0;
    uint32_t seed = 0; // upload-id generator state
    // Stored files are flushed to disk before they count as written; read
    // from the settings ("registry_fsync") at start-up.
    int fsync = 1;
    // This process holds the collection run lock of root (see gc.cpp).
    bool gc_lock_held = false;
    char result[kResultMax]; // answers returned as text live here until the next call
};

// The calling thread's engine: the one it selected with reg_engine_use, else the default.
reg_engine &current_engine();

// The engine's sources name the current engine's fields as they named the
// process-wide variables these once were, so every operation reads the
// handle its caller selected without passing it through each helper.
#define s_root (current_engine().root)
#define s_ready (current_engine().ready)
#define s_error (current_engine().error)
#define s_seed (current_engine().seed)
#define s_result (current_engine().result)
#define s_fsync (current_engine().fsync)

// Records the last error as a file-system failure (REG_ERR_IO) ...
void set_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// ... or as the given kind.
void set_error_kind(reg_err_kind kind, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Records a file-system failure of the object the text names (a digest, a
// repository, an upload id; never a server path) with its cause: err, an
// errno value taken right after the call that failed, whose text is appended.
void set_io_error(int err, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Records the not-started message and answers false when the engine is not started.
bool require_ready();

// Closes a descriptor on every path out of a scope; close() reports whether
// the close itself succeeded, which a file system may only tell then.
class fd_guard {
public:
    explicit fd_guard(int fd) : fd_(fd) {}
    ~fd_guard() { plat_close(fd_); }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    int get() const { return fd_; }
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return plat_close(fd) == 0;
    }

private:
    int fd_;
};

// The checks every operation on one repository makes first: an argument, a
// started engine, a valid name; false with the last error set.
bool repo_argument_ok(const char *name);

int mkdirs(const char *path);
int write_file(const char *path, const void *data, size_t len, bool flush_dir = true);
// write_file into dir, as mode says: kWriteCompare leaves a file that already
// holds exactly these bytes alone (kWriteUnchanged); kWriteDirFirst makes dir
// (may be NULL) before writing whenever the file is not known to be there,
// otherwise dir is made only when the write finds it missing; kWriteNoDirFlush
// leaves the directory's flush to the caller. 0 when written (where the
// compare found nothing, or without one), kWriteReplaced when written over
// other content the compare found, kDirFailed when making the directory
// failed, -1 when the write failed.
enum : unsigned { kWriteCompare = 1, kWriteDirFirst = 2, kWriteNoDirFlush = 4 };
constexpr int kWriteUnchanged = 1;
constexpr int kWriteReplaced = 2;
constexpr int kDirFailed = -2;
int write_file_into(const char *path, const void *data, size_t len, const char *dir, unsigned mode);
int delete_tree(const char *path);
int repo_name_valid(const char *name);

// Path builders: out holds kPathMax bytes; results are cut at kPathMax - 1.
// A '\' inside a repository name stands for a nested directory on disk.
void repo_dir_path(char *out, const char *name);
void manifest_body_path(char *out, const char *name, const char *hex);
void manifest_rev_dir(char *out, const char *name, const char *hex);
void manifest_rev_path(char *out, const char *name, const char *hex);
void manifest_tags_dir(char *out, const char *name);
void manifest_tag_path(char *out, const char *name, const char *tag);
// Reads a tag's link (at most kTagLinkCap - 1 bytes) into link, which holds kTagLinkCap bytes.
int read_tag_link(const char *name, const char *tag, char *link, size_t *len_out);
void upload_path_for_uuid(char *out, const char *id);
void blob_path_for_digest(char *out, const char *digest);

// Every entry of a directory, however many; "." and ".." left out. Every
// listing of the engine is whole: a tag, repository or blob left unseen would
// be missing from an answer, or keep or lose something by accident. 0, or -1
// (and out empty) when it cannot be listed or its enumeration stops on a read
// error. Throws std::bad_alloc without memory.
struct dir_item {
    std::string name;
    bool is_dir;          // a real directory: never a link to one
    bool is_link = false; // a symbolic link, whatever it points to
};
int list_dir_all(const char *path, std::vector<dir_item> &out);

// ---- walks of the storage tree (walk.cpp) ----
// What a walk of the repository tree tells its caller. Paths are relative to
// the storage root; names are repository names joined with '/'. A callback
// may throw to end the walk.
struct repo_walk_visitor {
    // Every directory holding a "_manifests" directory, each before those
    // nested in it, in listing order (callers sort when they answer in order).
    std::function<void(const std::string &name)> repository;
    // A directory that cannot be listed (the repositories directory itself
    // too): passed over when unset.
    std::function<void(const std::string &rel)> unlisted;
    // A symbolic link among the repositories: never descended, whatever it
    // points to.
    std::function<void(const std::string &rel)> link;
    // A directory below the deepest level a repository name reaches.
    std::function<void(const std::string &rel)> too_deep;
};
// Walks every repository at any depth a name allows. Throws std::bad_alloc without memory.
void for_each_repository(const repo_walk_visitor &visit);
// The names for_each_repository finds, in its order; what cannot be listed is passed over.
std::vector<std::string> all_repositories();

// What a walk of the blob store tells its caller: each fan-out directory (a
// directory one level below blobs/sha256, whatever its name) with its whole
// listing; fanout answers false to stop the walk.
struct blob_walk_visitor {
    std::function<bool(const std::string &dir, const std::string &name, const std::vector<dir_item> &items)> fanout;
    // A directory that cannot be listed (rel): the top, or a fan-out directory passed over.
    std::function<void(const std::string &rel)> unlisted;
    // An entry one level below blobs/sha256 that is no directory (a file, a link).
    std::function<void(const std::string &rel, const dir_item &item)> other;
};
// false when the store could not be listed or the walk was stopped. Throws std::bad_alloc without memory.
bool for_each_fanout(const blob_walk_visitor &visit);
// Calls visit with every blob file: a file named by 64 hex digits in a fan-out
// directory (fanout_dir: its absolute path). visit answers false to stop.
bool for_each_blob(const std::function<bool(const std::string &fanout_dir, const std::string &hex)> &visit);

int read_file(const char *path, char *buf, size_t cap, size_t *len_out);
char *read_file_alloc(const char *path, size_t *len_out);
struct free_deleter {
    void operator()(void *p) const { free(p); }
};
// Owns what read_file_alloc returns.
using heap_text = std::unique_ptr<char, free_deleter>;
int uuid_valid(const char *text);
int hex64_valid(const char *text);
int digest_valid(const char *text);
// A tag is one directory name below the tags directory: not empty, "." or "..",
// no separator or control byte, at most 255 bytes of well-formed UTF-8.
int tag_valid(const char *tag);
size_t json_escape_append(char *dst, size_t room, const char *text);
// A growing list of names (repositories or tags), however many there are.
// Throws std::bad_alloc without memory; the public function that holds it
// turns that into its out-of-memory failure (see guarded).
class name_list {
public:
    int count() const { return static_cast<int>(items_.size()); }
    const char *operator[](int i) const { return items_[static_cast<size_t>(i)].c_str(); }
    void add(const char *name) { items_.emplace_back(name); }
    // Repository discovery below the storage root's repositories directory.
    void collect_repos();
    // Byte-wise order.
    void sort();

private:
    std::vector<std::string> items_;
};

// Runs the body of a public function so that no exception crosses the C
// boundary: every public operation of the engine goes through it. Without
// memory it fails with REG_ERR_NO_MEMORY "out of memory"; any other
// exception fails it as an I/O failure whose text says it was an internal
// error (what() is left out: it may hold a server path). fail_value is the
// function's documented failure answer.
template <typename T, typename Fn> T guarded(T fail_value, Fn &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
    } catch (const std::length_error &) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
    } catch (...) {
        set_error_kind(REG_ERR_IO, "internal error");
    }
    return fail_value;
}

constexpr char kDefaultManifestType[] = "application/vnd.docker.distribution.manifest.v2+json";

struct json_val;
// The "digest" member of a manifest's descriptor object when it is a valid
// digest and nothing more, else NULL.
const char *manifest_member_digest(json_val *descriptor);

// ---- what a manifest names (references.cpp) ----
// config and layer name blobs of the blob store; child (an index's
// "manifests") and subject name manifests.
enum class ref_role { config, layer, child, subject };
struct manifest_ref {
    ref_role role;
    size_t index;       // place in its list; 0 for config and subject
    const char *digest; // NULL when the descriptor holds no valid digest
};
struct manifest_refs {
    // A body with a "manifests" member is an index: a store checks its
    // children, never a config or layers; any other body is an image
    // manifest, whichever schema, and a store checks its config and layers.
    bool is_index = false;
    // Every descriptor the body holds under "config", "layers", "manifests"
    // and "subject", in that order, whatever kind the body is; members of any
    // other name are no references. A "layers" or "manifests" that is no
    // array holds none.
    std::vector<manifest_ref> refs;
    // Whether the body names digest as anything that keeps it stored (config,
    // layer or child, whatever kind the body is): what a collection marks and
    // what a deletion refuses to remove. A subject keeps nothing: a referrer
    // may be stored before, and outlive, what it refers to.
    bool keeps(const char *digest) const;
};
// A reference that keeps what it names: a valid digest, not a subject.
inline bool ref_keeps(const manifest_ref &ref) { return ref.digest && ref.role != ref_role::subject; }
// Digests point into root's document and live as long as it does. Throws
// std::bad_alloc without memory.
manifest_refs manifest_references(json_val *root);

// Removes a repository's directories once no manifest or tag is left in them
// (it then leaves the catalog); anything still there keeps it.
void remove_if_emptied(const char *name);

// Turns a tag or digest reference into the manifest's 64 hex digits (hex_out: 65 bytes).
int manifest_resolve(const char *repo_name, const char *reference, char *hex_out);

#endif
