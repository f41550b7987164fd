// blobs.cpp - blob uploads and the content-addressed blob store.
#include <errno.h>
#include <string.h>

#include <string>

#include "base/qf_str.h"
#include "digest/sha256.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"
#include "storage/upload_state.h"

namespace {

constexpr size_t kUploadIdLen = 36;
constexpr size_t kDigestOutMax = 72;
constexpr char kHexDigits[] = "0123456789abcdef";
// Ids repeat only when generator states coincide; once a state yields this
// many taken ids in a row, something other than chance is at work.
constexpr int kCreateTries = 16;

constexpr char kInvalidUpload[] = "invalid upload uuid";
constexpr char kAppendFailed[] = "write error appending chunk";

bool is_dash_position(size_t pos) { return pos == 8 || pos == 13 || pos == 18 || pos == 23; }

// xorshift32 (13, 17, 5); each byte gives its low digit before its high one.
void next_upload_id(char *out) {
    uint32_t x = s_seed;
    char digits[32];
    for (size_t i = 0; i < 16; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        digits[2 * i] = kHexDigits[x & 0x0F];
        digits[2 * i + 1] = kHexDigits[(x >> 4) & 0x0F];
    }
    size_t next = 0;
    for (size_t pos = 0; pos < kUploadIdLen; ++pos)
        out[pos] = is_dash_position(pos) ? '-' : digits[next++];
    out[kUploadIdLen] = '\0';
    s_seed = x != 0 ? x : kSeedFallback;
}

bool upload_id_ok(const char *id) { return strnlen(id, kUploadIdLen + 1) == kUploadIdLen && uuid_valid(id); }

// Refuses a malformed id with its message; true when the id may name a part file.
bool check_upload_id(const char *id) {
    if (upload_id_ok(id)) return true;
    set_error_kind(REG_ERR_INVALID, "%s", kInvalidUpload);
    return false;
}

int upload_not_found(const char *id) {
    set_error_kind(REG_ERR_NOT_FOUND, "upload not found: %s", id);
    return -1;
}

void remove_if_file(const char *path) {
    if (plat_entry_kind(path) == PLAT_FILE) plat_unlink(path);
}

// How often a finish makes its fan-out directory again when deletions keep
// removing it before the move.
constexpr int kFanOutRemakes = 16;

// Digest characters 8 and 9 are the blob's first two hex digits.
void fan_out_dir(char *out, const char *digest) {
    qf_snprintf(out, kPathMax, "%s/blobs/sha256/%c%c", s_root, digest[7], digest[8]);
}

// The blob's new name is on disk once its directory is; a failure to flush
// it leaves the blob in the store but not yet safe, which the caller hears.
int stored_durably(const char *fan_out) {
    if (!s_fsync || plat_fsync_dir(fan_out) == 0) return 0;
    set_io_error(errno, "cannot flush the directory of a new blob");
    return -1;
}

// The verified part file becomes the blob file by one rename, so readers see
// the whole blob or none, and its bytes are never copied.
int move_into_store(const char *part, const char *blob, const char *digest) {
    char fan_out[kPathMax];
    fan_out_dir(fan_out, digest);
    if (mkdirs(fan_out) != 0) {
        set_io_error(errno, "cannot create the directory of blob %s", digest);
        return -1;
    }
    if (plat_rename(part, blob) == 0) return stored_durably(fan_out);
    int err = errno;
    // Deleting the last blob of a fan-out directory removes the directory; a
    // delete running between our mkdirs and rename leaves nowhere to move to,
    // and collections back to back can do so each time it is made again.
    // Each round needs another removal, so a bounded number of rounds ends it.
    for (int round = 0; round < kFanOutRemakes && plat_entry_kind(fan_out) != PLAT_DIR; ++round) {
        if (mkdirs(fan_out) == 0 && plat_rename(part, blob) == 0) return stored_durably(fan_out);
        err = errno;
    }
    // The same upload finished by two requests at once: the other one moved
    // the bytes first. They were verified there, so the blob is stored whole.
    if (plat_entry_kind(blob) == PLAT_FILE) {
        remove_if_file(part);
        return 0;
    }
    set_io_error(err, "cannot store blob %s", digest);
    return -1;
}

bool ready_and_valid(const char *digest) {
    if (!require_ready()) return false;
    if (digest_valid(digest)) return true;
    set_error_kind(REG_ERR_INVALID, "invalid digest");
    return false;
}

// The checks every blob-store query makes before it looks at the disk.
bool digest_argument_ok(const char *digest) {
    if (digest) return ready_and_valid(digest);
    set_error_kind(REG_ERR_INVALID, "digest is NULL");
    return false;
}

// The blob file's path when it is stored as a file; "blob not found: %s" otherwise.
bool stored_blob_path(const char *digest, char *path) {
    blob_path_for_digest(path, digest);
    if (plat_entry_kind(path) == PLAT_FILE) return true;
    set_error_kind(REG_ERR_NOT_FOUND, "blob not found: %s", digest);
    return false;
}

} // namespace

extern "C" {

static int blob_start_upload_body(char *out_upload_uuid) {
    if (!out_upload_uuid) {
        set_error_kind(REG_ERR_INVALID, "out_upload_uuid is NULL");
        return -1;
    }
    if (!require_ready()) return -1;
    // Created exclusively: an id another process drew from the same state
    // must not empty that upload's part file, so a taken id means drawing again.
    char part[kPathMax];
    int err = 0;
    for (int attempt = 0; attempt < kCreateTries; ++attempt) {
        next_upload_id(out_upload_uuid);
        upload_path_for_uuid(part, out_upload_uuid);
        int rc = plat_create_excl(part);
        if (rc == 0) return 0;
        err = rc == PLAT_EXISTS ? EEXIST : errno;
        if (rc != PLAT_EXISTS) break;
    }
    set_io_error(err, "cannot create upload %s", out_upload_uuid);
    return -1;
}

int reg_blob_start_upload(char *out_upload_uuid) {
    return guarded<int>(-1, [&] { return blob_start_upload_body(out_upload_uuid); });
}

static int blob_append_chunk_body(const char *upload_uuid, const void *data, size_t len) {
    if (!upload_uuid || !data) {
        set_error_kind(REG_ERR_INVALID, "upload_uuid/data is NULL");
        return -1;
    }
    if (!require_ready()) return -1;
    if (!check_upload_id(upload_uuid)) return -1;
    char part[kPathMax];
    upload_path_for_uuid(part, upload_uuid);
    if (plat_entry_kind(part) != PLAT_FILE) return upload_not_found(upload_uuid);
    upload_writer writer;
    if (!writer.acquire(upload_uuid)) return -1;

    // Never created here: a part file finished or cancelled since the check
    // above must not come back as a fresh upload holding only this chunk.
    fd_guard fd(plat_open_append_existing(part));
    if (fd.get() == PLAT_MISSING) return upload_not_found(upload_uuid);
    if (fd.get() < 0 || (len > 0 && plat_write_all(fd.get(), data, len) != 0) || !fd.close()) {
        set_error("%s", kAppendFailed);
        return -1;
    }
    return 0;
}

int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t len) {
    return guarded<int>(-1, [&] { return blob_append_chunk_body(upload_uuid, data, len); });
}

static int blob_finish_upload_body(const char *upload_uuid, const char *expected_digest, char *out_digest) {
    if (!expected_digest || !out_digest || !upload_uuid) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!require_ready()) return -1;
    if (!check_upload_id(upload_uuid)) return -1;
    if (!digest_valid(expected_digest)) {
        set_error_kind(REG_ERR_INVALID, "invalid expected digest");
        return -1;
    }
    // Held until the bytes are stored or discarded: an append that went on
    // meanwhile would add bytes the hash below never saw, to the part file or
    // to the blob it has become.
    upload_writer writer;
    int held = writer.acquire_to_finish(upload_uuid);
    if (held < 0) return -1;
    char part[kPathMax];
    upload_path_for_uuid(part, upload_uuid);
    int64_t part_size = -1, part_time = -1; // the last chunk's write
    if (plat_entry_kind_size_time(part, &part_size, &part_time) != PLAT_FILE) return upload_not_found(upload_uuid);

    // Bytes hashed while they were written are not read again.
    uint8_t hash[32];
    if (!upload_saved_digest(upload_uuid, part_size, hash) && sha256_file(part, hash) != 0) {
        set_error("hashing upload failed");
        return -1;
    }
    char computed[SHA256_TEXT_SIZE];
    sha256_digest_text(hash, computed);
    // Beside another finish: the session is taken now if that finish has let
    // go, so an append starting after it never writes to a part file this
    // finish removes or moves.
    if (held == 0 && writer.acquire_to_finish(upload_uuid) < 0) return -1;
    if (strcmp(computed, expected_digest) != 0) {
        set_error_kind(REG_ERR_INVALID, "digest mismatch: expected %s, got %s", expected_digest, computed);
        remove_if_file(part);
        upload_state_remove(upload_uuid);
        return -1;
    }

    char blob[kPathMax];
    blob_path_for_digest(blob, expected_digest);
    // A blob's file time tells a collection how long ago a push last
    // delivered it: a finished upload counts as fresh, whether its bytes move
    // into the store or the same content was stored already. A file within
    // a quarter of the grace period of this host's clock is fresh enough: the
    // push then has at least three quarters of the grace period left to name
    // it (less by as much as this clock runs behind the file system's).
    int64_t fresh_since = touch_fresh_since(plat_wall_seconds());
    if (keep_named_blob(expected_digest, fresh_since)) {
        remove_if_file(part);
    } else {
        // The bytes reach the disk before the blob's name does: after a power
        // cut a stored blob is never shorter than its digest says.
        if (s_fsync && plat_fsync_path(part) != 0) {
            set_error("flush upload failed");
            return -1;
        }
        if (part_time < 0 || part_time < fresh_since) plat_touch(part);
        if (move_into_store(part, blob, expected_digest) != 0) return -1;
    }
    upload_state_remove(upload_uuid);
    qf_snprintf(out_digest, kDigestOutMax, "%s", expected_digest);
    return 0;
}

int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest, char *out_digest) {
    return guarded<int>(-1, [&] { return blob_finish_upload_body(upload_uuid, expected_digest, out_digest); });
}

static int blob_cancel_upload_body(const char *upload_uuid) {
    if (!upload_uuid) {
        set_error_kind(REG_ERR_INVALID, "upload_uuid is NULL");
        return -1;
    }
    if (!require_ready()) return -1;
    if (!check_upload_id(upload_uuid)) return -1;
    char part[kPathMax];
    upload_path_for_uuid(part, upload_uuid);
    if (plat_entry_kind(part) != PLAT_FILE) {
        upload_state_remove(upload_uuid);
        return 0;
    }
    // Held while the part file goes: an append at work would report bytes
    // kept in a file that is gone, and a finish would fail its move into the
    // store. The cancel is refused instead, as a second writer is.
    upload_writer writer;
    if (!writer.acquire(upload_uuid)) return -1;
    if (plat_unlink(part) != 0) {
        set_error("cancel failed");
        return -1;
    }
    upload_state_remove(upload_uuid);
    return 0;
}

int reg_blob_cancel_upload(const char *upload_uuid) {
    return guarded<int>(-1, [&] { return blob_cancel_upload_body(upload_uuid); });
}

static int blob_upload_size_body(const char *upload_uuid, int64_t *out_bytes) {
    if (!upload_uuid || !out_bytes) {
        set_error_kind(REG_ERR_INVALID, "upload_uuid/out_bytes is NULL");
        return -1;
    }
    if (!require_ready()) return -1;
    if (!check_upload_id(upload_uuid)) return -1;
    char part[kPathMax];
    upload_path_for_uuid(part, upload_uuid);
    // A directory's size here is file-system bookkeeping, not received bytes.
    int64_t size = 0;
    if (plat_entry_kind(part) != PLAT_FILE || plat_file_info(part, &size, nullptr) != 0 || size < 0)
        return upload_not_found(upload_uuid);
    *out_bytes = size;
    return 0;
}

int reg_blob_upload_size(const char *upload_uuid, int64_t *out_bytes) {
    return guarded<int>(-1, [&] { return blob_upload_size_body(upload_uuid, out_bytes); });
}

static int blob_exists_body(const char *digest) {
    if (!digest_argument_ok(digest)) return -1;
    char path[kPathMax];
    blob_path_for_digest(path, digest);
    return plat_entry_kind(path) == PLAT_FILE ? 1 : 0;
}

int reg_blob_exists(const char *digest) {
    return guarded<int>(-1, [&] { return blob_exists_body(digest); });
}

static int64_t blob_get_size_body(const char *digest) {
    if (!digest_argument_ok(digest)) return -1;
    char path[kPathMax];
    blob_path_for_digest(path, digest);
    // A missing blob is an answer, not a failure: the last error stays as it was.
    int64_t size = 0;
    if (plat_entry_kind(path) != PLAT_FILE || plat_file_info(path, &size, nullptr) != 0) return -1;
    return size;
}

int64_t reg_blob_get_size(const char *digest) {
    return guarded<int64_t>(-1, [&] { return blob_get_size_body(digest); });
}

static int blob_get_filepath_body(const char *digest, char *out, size_t cap) {
    if (!out || cap == 0 || !digest) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!ready_and_valid(digest)) return -1;
    char path[kPathMax];
    if (!stored_blob_path(digest, path)) return -1;
    size_t len = strlen(path);
    if (len >= cap) {
        set_error_kind(REG_ERR_INVALID, "path buffer too small");
        return -1;
    }
    memcpy(out, path, len + 1);
    return 0;
}

int reg_blob_get_filepath(const char *digest, char *out, size_t cap) {
    return guarded<int>(-1, [&] { return blob_get_filepath_body(digest, out, cap); });
}

} // extern "C"

namespace {

// The blob store's absolute path, resolved once per storage root (and per
// thread, as handles are selected per thread) instead of once per request.
// Resolving only this part gives the same path as resolving the whole blob
// path as long as nothing below it is a symbolic link: the engine makes the
// fan-out directories with mkdir and stores every blob by renaming or linking
// a regular part file, so links there are foreign (the store check reports
// them). A blob that is itself a link is still resolved whole, as before, so
// the web server is never handed a path inside the store for a file outside
// it. A root that is a link, or relative, is resolved here like any other; a
// root link pointed elsewhere while a process runs is seen by the next
// process (the web server's own copy of the path is fixed at its start too).
struct resolved_store {
    std::string root;
    std::string path;
};
thread_local resolved_store t_store;

bool store_path(const char *digest, char *out, size_t cap) {
    if (t_store.path.empty() || t_store.root != s_root) {
        char dir[kPathMax], absolute[kPathMax];
        qf_snprintf(dir, sizeof dir, "%s/blobs/sha256", s_root);
        if (plat_absolute_path(dir, absolute, sizeof absolute) != 0) return false;
        t_store.root = s_root;
        t_store.path = absolute;
    }
    const char *hex = digest + 7;
    if (qf_snprintf_fit(out, cap, "%s/%.2s/%s", t_store.path.c_str(), hex, hex)) return true;
    errno = ENAMETOOLONG;
    return false;
}

int blob_locate_body(const char *digest, int64_t *size, char *out, size_t cap) {
    if (!size || !out || cap == 0) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!digest_argument_ok(digest)) return -1;
    char path[kPathMax];
    blob_path_for_digest(path, digest);
    plat_file_id id{};
    // As reg_blob_exists: anything but a directory at the path is the blob,
    // and a path that cannot be looked at holds none.
    if (plat_file_identity(path, 0, &id) != 0) return 0;
    if (id.is_link) {
        if (plat_file_identity(path, 1, &id) != 0 || id.is_dir) return 0;
        *size = id.size;
        if (plat_absolute_path(path, out, cap) == 0) return 1;
    } else {
        if (id.is_dir) return 0;
        *size = id.size;
        if (store_path(digest, out, cap)) return 1;
    }
    set_io_error(errno, "cannot resolve the path of blob %s", digest);
    return -1;
}

} // namespace

extern "C" {

int reg_blob_locate(const char *digest, int64_t *size, char *path, size_t cap) {
    return guarded<int>(-1, [&] { return blob_locate_body(digest, size, path, cap); });
}

// The protocol "Deletions" at the top of gc.cpp: mark, look, remove.
static int blob_delete_body(const char *digest) {
    if (!digest_argument_ok(digest)) return -1;
    deletion_mark mark;
    if (!mark.acquire(digest + kDigestPrefixLen)) return -1;
    char path[kPathMax];
    if (!stored_blob_path(digest, path)) return -1;
    char holder[kPathMax];
    int named = reg_blob_named_by(digest, holder, sizeof holder);
    if (named < 0) return -1;
    if (named == 1) {
        set_error_kind(REG_ERR_DENIED, "blob is still named by %s%s: %s", strchr(holder, '@') ? "manifest " : "",
                       holder, digest);
        return -1;
    }
    // Gone since the check (a collection): nothing left to remove. A
    // collection that moved it aside meanwhile finds nothing to put back.
    if (plat_entry_kind(path) == PLAT_FILE && plat_unlink(path) != 0) {
        set_error("remove failed");
        return -1;
    }
    char aside[kPathMax];
    if (blob_aside_path(aside, path) && plat_entry_kind(aside) == PLAT_FILE) plat_unlink(aside);
    // Succeeds only once the directory is empty; a fan-out directory still
    // holding other blobs stays.
    char fan_out[kPathMax];
    fan_out_dir(fan_out, digest);
    plat_rmdir(fan_out);
    return 0;
}

int reg_blob_delete(const char *digest) {
    return guarded<int>(-1, [&] { return blob_delete_body(digest); });
}

} // extern "C"
