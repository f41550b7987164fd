// uploads.cpp - uploads owned by a repository and hashed while they are written.
//
// Beside uploads/<id>.part the directory uploads/_state holds <id>.owner (the
// repository that started the upload) and <id>.hash (the hash state after
// the bytes received so far). The upload area's other readers count and
// collect files only, so the directory is invisible to them.
#include <errno.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/qf_str.h"
#include "base/settings.h"
#include "digest/sha256.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"
#include "storage/upload_state.h"

namespace {

constexpr size_t kUploadIdLen = 36;
constexpr size_t kCopyChunk = 1 << 20; // bytes moved per read and write
// With flushing on, the disk is set to work on every this many appended bytes
// while the rest still arrives, so the flush before the blob is stored finds
// little left to write instead of the whole upload.
constexpr int64_t kWritebackBytes = 8 << 20;
constexpr char kStateDir[] = "_state";
constexpr char kOwnerExt[] = ".owner";
constexpr char kHashExt[] = ".hash";
constexpr char kLockExt[] = ".lock";
constexpr char kHashMagic[8] = {'r', 'e', 'g', 'h', 'a', 's', 'h', '1'};

// The saved form of a running hash: the bytes it covers and the context.
struct hash_record {
    char magic[8];
    uint64_t bytes;
    sha256_ctx ctx;
};

bool id_ok(const char *id) { return id && strnlen(id, kUploadIdLen + 1) == kUploadIdLen && uuid_valid(id); }

// A started engine and a well-formed id: what every operation on one upload checks first.
bool upload_argument_ok(const char *id) {
    if (!require_ready()) return false;
    if (id_ok(id)) return true;
    set_error_kind(REG_ERR_INVALID, "invalid upload uuid");
    return false;
}

void state_dir(char *out) { qf_snprintf(out, kPathMax, "%s/uploads/%s", s_root, kStateDir); }

void state_path(char *out, const char *id, const char *ext) {
    qf_snprintf(out, kPathMax, "%s/uploads/%s/%s%s", s_root, kStateDir, id, ext);
}

// Whole small files replace the old ones (see write_file), so a reader sees
// the old record or the new one. The state directory is made only when the
// write finds it missing: it is there for every session but the first.
bool replace_file(const char *path, const void *data, size_t len) {
    if (write_file(path, data, len) == 0) return true;
    if (errno != ENOENT) return false;
    char dir[kPathMax];
    state_dir(dir);
    return mkdirs(dir) == 0 && write_file(path, data, len) == 0;
}

bool record_consistent(const hash_record &r) {
    return memcmp(r.magic, kHashMagic, sizeof kHashMagic) == 0 && r.ctx.bitcount == r.bytes * 8 &&
           r.ctx.buffered == r.bytes % 64;
}

// The running hash when it covers exactly `bytes` bytes. Before the first
// byte it is the initial state, which needs no record: a session starts
// without one. A longer or shorter file is no record of ours, and the read
// tells that without a look at the file first.
bool load_hash(const char *id, uint64_t bytes, sha256_ctx *ctx) {
    if (bytes == 0) {
        sha256_init(ctx);
        return true;
    }
    char path[kPathMax];
    state_path(path, id, kHashExt);
    // One byte more than a record: read_file keeps room for a terminator.
    char raw[sizeof(hash_record) + 2];
    size_t len = 0;
    if (read_file(path, raw, sizeof raw, &len) != 0 || len != sizeof(hash_record)) return false;
    hash_record r;
    memcpy(&r, raw, sizeof r);
    if (!record_consistent(r) || r.bytes != bytes) return false;
    *ctx = r.ctx;
    return true;
}

bool save_hash(const char *id, uint64_t bytes, const sha256_ctx &ctx) {
    hash_record r;
    memset(&r, 0, sizeof r);
    memcpy(r.magic, kHashMagic, sizeof kHashMagic);
    r.bytes = bytes;
    r.ctx = ctx;
    char path[kPathMax];
    state_path(path, id, kHashExt);
    // Written without a flush: a record counts only while it covers exactly
    // the part file's length, and the part only ever grows by appends (or is
    // put back to a length a record was saved for), so a record that a crash
    // loses or leaves behind is at worst not trusted and the finish reads the
    // part file instead. Flushing it cost a journal commit on every append.
    return plat_write_file_atomic(path, &r, sizeof r, 0) == 0;
}

// Removed without a look first: most sessions have the file, and a missing
// one is what the removal wants anyway (unlink leaves a directory as it is).
void remove_if_present(const char *path) { plat_unlink(path); }

void remove_hash(const char *id) {
    char path[kPathMax];
    state_path(path, id, kHashExt);
    remove_if_present(path);
}

bool owner_is(const char *id, const char *repo_name) {
    char path[kPathMax];
    state_path(path, id, kOwnerExt);
    char owner[kRepoNameMax + 2];
    size_t len = 0;
    if (read_file(path, owner, sizeof owner, &len) != 0) return false;
    return len == strlen(repo_name) && memcmp(owner, repo_name, len) == 0;
}

int unknown_upload(const char *id) {
    set_error_kind(REG_ERR_NOT_FOUND, "upload not found: %s", id);
    return -1;
}

// Where a part file stands before an append, and how the append ends.
struct append_run {
    const char *id;
    char part[kPathMax];
    int64_t start = 0;
    int64_t written = 0;
    sha256_ctx ctx;
    bool hashing = false;
    int64_t writeback_from = 0; // appended bytes not yet handed to the disk
};

// Only a head start: the flush when the upload finishes is what makes the
// bytes durable, so a refusal here changes nothing.
void start_writeback(append_run &run, int fd, bool last) {
    int64_t pending = run.written - run.writeback_from;
    if (!s_fsync || pending <= 0 || (!last && pending < kWritebackBytes)) return;
    plat_start_writeback(fd, run.start + run.writeback_from, pending);
    run.writeback_from = run.written;
}

// Puts the part file back to its length before the append; the saved hash
// still describes it then.
void undo(const append_run &run) {
    if (run.written > 0 && plat_truncate(run.part, run.start) != 0) remove_hash(run.id);
}

// The copy buffer, aligned for writes past the page cache.
struct copy_buffer {
    char *data = static_cast<char *>(::operator new(kCopyChunk, std::align_val_t{PLAT_DIRECT_ALIGN}, std::nothrow));
    ~copy_buffer() { ::operator delete(data, std::align_val_t{PLAT_DIRECT_ALIGN}); }
    copy_buffer() = default;
    copy_buffer(const copy_buffer &) = delete;
    copy_buffer &operator=(const copy_buffer &) = delete;
};

// With flushing on, whole blocks are written past the page cache: the bytes
// must reach the disk before the upload finishes anyway, and copying them
// into the cache first costs more than the hash does. The last part of a
// block is written through the cache. Where the part file does not end on a
// block, or the file system cannot, every byte goes through the cache.
int copy_in(append_run &run, int fd, reg_read_fn read_fn, void *ctx) {
    copy_buffer buf;
    if (!buf.data) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return -1;
    }
    int direct = s_fsync && run.start % PLAT_DIRECT_ALIGN == 0 && plat_set_direct(fd, 1) == 0;
    size_t held = 0; // bytes read and hashed, not yet written
    for (;;) {
        long n = read_fn(ctx, buf.data + held, kCopyChunk - held);
        if (n == 0) break;
        if (n < 0 || static_cast<size_t>(n) > kCopyChunk - held) {
            undo(run);
            set_error_kind(REG_ERR_INVALID, "upload body could not be read whole");
            return -1;
        }
        if (run.hashing) sha256_update(&run.ctx, buf.data + held, static_cast<size_t>(n));
        run.written += n; // counted first: a partial write is undone too
        held += static_cast<size_t>(n);
        size_t out = direct ? held - held % PLAT_DIRECT_ALIGN : held;
        if (out > 0 && plat_write_all_direct(fd, buf.data, out, &direct) != 0) {
            undo(run);
            set_error("write error appending chunk");
            return -1;
        }
        memmove(buf.data, buf.data + out, held - out);
        held -= out;
        if (!direct) start_writeback(run, fd, false);
    }
    if (held > 0 && ((direct && plat_set_direct(fd, 0) != 0) || plat_write_all(fd, buf.data, held) != 0)) {
        undo(run);
        set_error("write error appending chunk");
        return -1;
    }
    start_writeback(run, fd, true);
    return 0;
}

} // namespace

bool upload_saved_digest(const char *id, int64_t part_size, uint8_t hash[32]) {
    // An empty part file is read: that costs no more than a record would,
    // and a part file that cannot be read fails the finish.
    if (part_size <= 0) return false;
    sha256_ctx ctx;
    if (!load_hash(id, static_cast<uint64_t>(part_size), &ctx)) return false;
    sha256_final(&ctx, hash);
    return true;
}

void upload_state_remove(const char *id) {
    remove_hash(id);
    char path[kPathMax];
    state_path(path, id, kOwnerExt);
    remove_if_present(path);
}

namespace {

// The holder crashed (a process of this host that is gone), or the session
// has seen no write for the abandon time, so no writer can still be at work.
bool writer_gone(const char *lock, const char *id) {
    if (owned_lock_holder_gone(lock)) return true;
    char part[kPathMax];
    upload_path_for_uuid(part, id);
    int64_t mtime = -1;
    return plat_file_info(part, nullptr, &mtime) == 0 && mtime >= 0 &&
           plat_wall_seconds() - mtime >= kAbandonedSeconds;
}

} // namespace

void upload_state_sweep(bool dry_run, int64_t quiet_seconds) {
    char dir[kPathMax];
    state_dir(dir);
    std::vector<dir_item> items;
    if (list_dir_all(dir, items) != 0) return;
    int64_t now = plat_wall_seconds();
    for (const dir_item &item : items) {
        if (item.is_dir) continue;
        std::string id = item.name.substr(0, item.name.find('.'));
        char part[kPathMax];
        upload_path_for_uuid(part, id.c_str());
        if (id_ok(id.c_str()) && plat_entry_kind(part) != PLAT_ABSENT) continue;
        std::string path = std::string(dir) + "/" + item.name;
        int64_t mtime = -1;
        if (plat_file_info(path.c_str(), nullptr, &mtime) != 0 || mtime < 0 || now - mtime <= quiet_seconds) continue;
        if (!dry_run) plat_unlink(path.c_str());
    }
}

upload_writer::~upload_writer() {
    if (path_[0]) plat_unlink(path_);
}

namespace {

// What a finish notes in the lock it holds: a second finish of the session
// may go on beside it, an append never.
constexpr char kFinishingNote[] = "finishing";
// How often a finish looks again when the lock it met went before it could
// tell who held it.
constexpr int kFinishLockRounds = 3;

enum class holder { gone, appending, finishing };

holder lock_holder(const char *lock) {
    char text[512];
    size_t len = 0;
    if (read_file(lock, text, sizeof text, &len) != 0) return errno == ENOENT ? holder::gone : holder::appending;
    const char *line = strchr(text, '\n');
    return line && strcmp(line + 1, kFinishingNote) == 0 ? holder::finishing : holder::appending;
}

} // namespace

int upload_writer::take(const char *id, const char *note) {
    char path[kPathMax];
    state_path(path, id, kLockExt);
    int rc = owned_lock_create(path, note);
    // The state directory is made when the lock finds it missing (a store
    // from before sessions kept their state there).
    if (rc == -1 && errno == ENOENT) {
        char dir[kPathMax];
        state_dir(dir);
        if (mkdirs(dir) != 0) {
            set_error("cannot create upload state directory");
            return -1;
        }
        rc = owned_lock_create(path, note);
    }
    if (rc == PLAT_EXISTS && writer_gone(path, id) && plat_unlink(path) == 0) rc = owned_lock_create(path, note);
    if (rc == 0) {
        qf_strlcpy(path_, path, sizeof path_);
        return 0;
    }
    if (rc != PLAT_EXISTS) set_error("cannot lock upload %s", id);
    return rc;
}

bool upload_writer::acquire(const char *id) {
    int rc = take(id, nullptr);
    if (rc == PLAT_EXISTS) set_error_kind(REG_ERR_CONFLICT, "another request is writing to upload %s", id);
    return rc == 0;
}

int upload_writer::acquire_to_finish(const char *id) {
    if (path_[0]) return 1;
    char path[kPathMax];
    state_path(path, id, kLockExt);
    for (int round = 0; round < kFinishLockRounds; ++round) {
        int rc = take(id, kFinishingNote);
        if (rc != PLAT_EXISTS) return rc == 0 ? 1 : -1;
        holder who = lock_holder(path);
        if (who == holder::finishing) return 0;
        if (who == holder::appending) break;
    }
    set_error_kind(REG_ERR_CONFLICT, "another request is writing to upload %s", id);
    return -1;
}

namespace {

bool owned_by(const std::string &id, const char *repo_name) {
    char path[kPathMax];
    state_path(path, id.c_str(), kOwnerExt);
    char owner[kRepoNameMax + 2];
    size_t len = 0;
    if (read_file(path, owner, sizeof owner, &len) != 0) return false;
    return len == strlen(repo_name) && memcmp(owner, repo_name, len) == 0;
}

// Removes sessions no write has reached for the abandon time, so a flood of
// abandoned sessions needs no operator, and checks the caps on the rest.
bool session_room(const char *repo_name) {
    // The caps from the settings: the default when absent or 0, none when negative.
    int64_t total_cap = settings_int(SETTINGS_UPLOAD_SESSIONS_MAX);
    int64_t repo_cap = settings_int(SETTINGS_UPLOAD_SESSIONS_PER_REPOSITORY_MAX);
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/uploads", s_root);
    std::vector<dir_item> items;
    if (list_dir_all(dir, items) != 0) return true; // the start itself reports a broken upload area
    int64_t now = plat_wall_seconds(), open = 0, mine = 0;
    constexpr size_t kPartSuffix = 5; // ".part"
    for (const dir_item &item : items) {
        if (item.is_dir || item.name.size() != kUploadIdLen + kPartSuffix) continue;
        std::string id = item.name.substr(0, kUploadIdLen);
        if (!id_ok(id.c_str()) || item.name.compare(kUploadIdLen, kPartSuffix, ".part") != 0) continue;
        std::string part = std::string(dir) + "/" + item.name;
        int64_t mtime = -1;
        if (plat_file_info(part.c_str(), nullptr, &mtime) != 0 || mtime < 0) continue;
        if (now - mtime >= kAbandonedSeconds) {
            if (plat_unlink(part.c_str()) == 0) upload_state_remove(id.c_str());
            continue;
        }
        ++open;
        if (repo_cap > 0 && owned_by(id, repo_name)) ++mine;
    }
    if (total_cap > 0 && open >= total_cap) {
        set_error_kind(REG_ERR_TOO_MANY, "too many upload sessions open: %lld", static_cast<long long>(open));
        return false;
    }
    if (repo_cap > 0 && mine >= repo_cap) {
        set_error_kind(REG_ERR_TOO_MANY, "too many upload sessions open for %s: %lld", repo_name,
                       static_cast<long long>(mine));
        return false;
    }
    return true;
}

} // namespace

extern "C" {

static int upload_start_body(const char *repo_name, char *out_upload_uuid) {
    if (!repo_name || !out_upload_uuid) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!require_ready()) return -1;
    if (!*repo_name || !repo_name_valid(repo_name)) {
        set_error_kind(REG_ERR_INVALID, "invalid repository name: %s", repo_name);
        return -1;
    }
    if (!guarded(false, [&] { return session_room(repo_name); })) return -1;
    if (reg_blob_start_upload(out_upload_uuid) != 0) return -1;
    char owner[kPathMax];
    state_path(owner, out_upload_uuid, kOwnerExt);
    // No hash record yet: an empty part file's hash is the initial state,
    // which the first append starts from without one.
    if (replace_file(owner, repo_name, strlen(repo_name))) return 0;
    int err = errno;
    reg_blob_cancel_upload(out_upload_uuid);
    set_io_error(err, "cannot record the owner of upload %s", out_upload_uuid);
    return -1;
}

int reg_upload_start(const char *repo_name, char *out_upload_uuid) {
    return guarded<int>(-1, [&] { return upload_start_body(repo_name, out_upload_uuid); });
}

static int upload_check_owner_body(const char *upload_uuid, const char *repo_name) {
    if (!upload_uuid || !repo_name) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!upload_argument_ok(upload_uuid)) return -1;
    char part[kPathMax];
    upload_path_for_uuid(part, upload_uuid);
    // Another repository's upload is answered as unknown: its id tells a
    // client nothing it may use here.
    if (plat_entry_kind(part) != PLAT_FILE || !owner_is(upload_uuid, repo_name)) return unknown_upload(upload_uuid);
    return 0;
}

int reg_upload_check_owner(const char *upload_uuid, const char *repo_name) {
    return guarded<int>(-1, [&] { return upload_check_owner_body(upload_uuid, repo_name); });
}

static int upload_append_from_body(const char *upload_uuid, int64_t expected_offset, reg_read_fn read_fn, void *ctx,
                                   int64_t *size_out) {
    if (!upload_uuid || !read_fn) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!upload_argument_ok(upload_uuid)) return -1;
    append_run run;
    run.id = upload_uuid;
    upload_path_for_uuid(run.part, upload_uuid);
    if (plat_entry_kind(run.part) != PLAT_FILE) return unknown_upload(upload_uuid);
    // A second writer is told the true size: clients resume from the Range
    // of a 416 answer, as after any range that does not continue the upload.
    upload_writer writer;
    if (!writer.acquire(upload_uuid)) {
        int64_t size = 0;
        if (size_out && plat_file_info(run.part, &size, nullptr) == 0) *size_out = size;
        return -1;
    }
    fd_guard fd(plat_open_append_existing(run.part));
    if (fd.get() == PLAT_MISSING) return unknown_upload(upload_uuid);
    if (fd.get() < 0 || plat_fd_size(fd.get(), &run.start) != 0) {
        set_error("write error appending chunk");
        return -1;
    }
    if (size_out) *size_out = run.start;
    if (expected_offset >= 0 && expected_offset != run.start) {
        set_error_kind(REG_ERR_CONFLICT, "range starts at %lld, upload holds %lld bytes",
                       static_cast<long long>(expected_offset), static_cast<long long>(run.start));
        return -1;
    }
    // Without a hash matching the bytes so far the part file is read whole
    // when the upload finishes; the stale record must not be trusted then.
    run.hashing = load_hash(upload_uuid, static_cast<uint64_t>(run.start), &run.ctx);
    if (!run.hashing) remove_hash(upload_uuid);
    if (copy_in(run, fd.get(), read_fn, ctx) != 0) return -1;
    if (run.hashing && run.written > 0 &&
        !save_hash(upload_uuid, static_cast<uint64_t>(run.start + run.written), run.ctx))
        remove_hash(upload_uuid);
    if (size_out) *size_out = run.start + run.written;
    return 0;
}

int reg_upload_append_from(const char *upload_uuid, int64_t expected_offset, reg_read_fn read_fn, void *ctx,
                           int64_t *size_out) {
    return guarded<int>(-1,
                        [&] { return upload_append_from_body(upload_uuid, expected_offset, read_fn, ctx, size_out); });
}

} // extern "C"
