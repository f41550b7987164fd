// uploads.cpp - uploads owned by a repository and hashed while they are written.
//
// Beside uploads/<id>.part the directory uploads/_state holds <id>.owner (the
// repository that started the upload) and <id>.hash (the hash state after
// the bytes received so far). The upload area's other readers count and
// collect files only, so the directory is invisible to them.
#include <errno.h>
#include <string.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
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
    int64_t written = 0; // bytes read from the body; some may not be written yet
    sha256_ctx ctx;
    bool hashing = false;
};

// Puts the part file back to its length before the append; the saved hash
// still describes it then.
void undo(const append_run &run) {
    if (run.written > 0 && plat_truncate(run.part, run.start) != 0) remove_hash(run.id);
}

// A copy buffer, aligned for writes past the page cache.
struct copy_buffer {
    char *data = static_cast<char *>(::operator new(kCopyChunk, std::align_val_t{PLAT_DIRECT_ALIGN}, std::nothrow));
    size_t len = 0;
    bool last = false; // the body's end: no piece follows
    ~copy_buffer() { ::operator delete(data, std::align_val_t{PLAT_DIRECT_ALIGN}); }
    copy_buffer() = default;
    copy_buffer(const copy_buffer &) = delete;
    copy_buffer &operator=(const copy_buffer &) = delete;
};

// Hashes and writes the body's pieces in order. Every piece but the last is
// a whole buffer, so with flushing on it goes past the page cache in whole
// blocks: the bytes must reach the disk before the upload finishes anyway,
// and copying them into the cache first costs more than the hash does. The
// last piece's short end is written through the cache. Where the part file
// does not end on a block, or the file system cannot, every byte goes
// through the cache, and the disk is set to work on it as it arrives so the
// flush before the blob is stored finds little left.
//
// It touches only the descriptor, the run's hash and its own counts (no
// engine state), because it may run on a thread of its own.
class piece_writer {
public:
    piece_writer(append_run &run, int fd, bool flushing) : run_(run), fd_(fd), flushing_(flushing) {
        direct_ = flushing && run.start % PLAT_DIRECT_ALIGN == 0 && plat_set_direct(fd, 1) == 0;
    }

    // False once a write failed; errno of that failure in error().
    bool put(const copy_buffer &b) {
        if (failed_) return false;
        if (run_.hashing) sha256_update(&run_.ctx, b.data, b.len);
        size_t whole = direct_ ? b.len - b.len % PLAT_DIRECT_ALIGN : b.len;
        if (whole > 0 && plat_write_all_direct(fd_, b.data, whole, &direct_) != 0) return fail();
        if (whole < b.len && ((direct_ && plat_set_direct(fd_, 0) != 0) ||
                              plat_write_all(fd_, b.data + whole, b.len - whole) != 0))
            return fail();
        if (whole < b.len) direct_ = 0;
        sent_ += static_cast<int64_t>(b.len);
        if (!direct_) start_writeback(b.last);
        return true;
    }
    int error() const { return error_; }

private:
    bool fail() {
        failed_ = true;
        error_ = errno;
        return false;
    }
    // Only a head start: the flush when the upload finishes is what makes
    // the bytes durable, so a refusal here changes nothing.
    void start_writeback(bool last) {
        int64_t pending = sent_ - writeback_from_;
        if (!flushing_ || pending <= 0 || (!last && pending < kWritebackBytes)) return;
        plat_start_writeback(fd_, run_.start + writeback_from_, pending);
        writeback_from_ = sent_;
    }

    append_run &run_;
    int fd_;
    bool flushing_;
    int direct_ = 0;
    bool failed_ = false;
    int error_ = 0;
    int64_t sent_ = 0;           // bytes written by this append
    int64_t writeback_from_ = 0; // written bytes not yet handed to the disk
};

// Reads one buffer full, or to the body's end. False when the body could
// not be read (a short body, a read error, a limit).
bool fill(append_run &run, copy_buffer &b, reg_read_fn read_fn, void *ctx) {
    b.len = 0;
    b.last = false;
    while (b.len < kCopyChunk) {
        long n = read_fn(ctx, b.data + b.len, kCopyChunk - b.len);
        if (n == 0) {
            b.last = true;
            return true;
        }
        if (n < 0 || static_cast<size_t>(n) > kCopyChunk - b.len) return false;
        run.written += n; // counted first: a partial write is undone too
        b.len += static_cast<size_t>(n);
    }
    return true;
}

// A body longer than one buffer is read on the calling thread while a
// second thread hashes and writes the pieces already read, so the socket,
// the hash and the disk work at the same time. Pieces pass through a ring of
// buffers in order; either side stopping (a failed write, a body that breaks
// off) stops the other.
class copy_ring {
public:
    static constexpr size_t kBuffers = 4;

    explicit copy_ring(piece_writer &writer) : writer_(writer) {}
    ~copy_ring() { finish(); }
    copy_ring(const copy_ring &) = delete;
    copy_ring &operator=(const copy_ring &) = delete;

    // False when the buffers or the thread cannot be had: the caller then
    // copies on its own.
    bool start() {
        for (auto &b : bufs_)
            if (!b.data) return false;
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error &) {
            return false;
        }
        return true;
    }
    // The next buffer to fill, once the writer is done with it; null when
    // the writer has stopped.
    copy_buffer *next_free() {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return queued_ < kBuffers || writer_stopped_; });
        return writer_stopped_ ? nullptr : &bufs_[(head_ + queued_) % kBuffers];
    }
    void hand_over() {
        std::lock_guard<std::mutex> lock(mu_);
        ++queued_;
        cv_.notify_all();
    }
    // Waits for the writer: true when every piece handed over was written.
    bool finish() {
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                closed_ = true;
                cv_.notify_all();
            }
            thread_.join();
        }
        return ok_;
    }

private:
    void run() {
        for (;;) {
            copy_buffer *b;
            {
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait(lock, [this] { return queued_ > 0 || closed_; });
                if (queued_ == 0) break; // the reader stopped before the body's end
                b = &bufs_[head_];
            }
            bool wrote = writer_.put(*b);
            std::lock_guard<std::mutex> lock(mu_);
            head_ = (head_ + 1) % kBuffers;
            --queued_;
            if (!wrote || b->last) {
                ok_ = wrote;
                writer_stopped_ = true;
                cv_.notify_all();
                return;
            }
            cv_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mu_);
        writer_stopped_ = true;
        cv_.notify_all();
    }

    piece_writer &writer_;
    copy_buffer bufs_[kBuffers];
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    size_t head_ = 0, queued_ = 0;
    bool closed_ = false, writer_stopped_ = false, ok_ = false;
};

int copy_failed(append_run &run, const piece_writer &writer) {
    undo(run);
    if (writer.error() != 0) {
        errno = writer.error();
        set_error("write error appending chunk");
    } else {
        set_error_kind(REG_ERR_INVALID, "upload body could not be read whole");
    }
    return -1;
}

// Appends the rest of the body with the ring; `first` is already read and full.
int copy_rest_threaded(append_run &run, piece_writer &writer, copy_ring &ring, copy_buffer &first,
                       reg_read_fn read_fn, void *ctx) {
    copy_buffer *b = ring.next_free();
    std::swap(b->data, first.data);
    b->len = first.len;
    b->last = first.last;
    ring.hand_over();
    for (;;) {
        b = ring.next_free();
        if (!b) break; // the writer failed
        if (!fill(run, *b, read_fn, ctx)) break;
        ring.hand_over();
        if (b->last) break;
    }
    if (!ring.finish()) return copy_failed(run, writer);
    return 0;
}

int copy_in(append_run &run, int fd, reg_read_fn read_fn, void *ctx) {
    copy_buffer buf;
    if (!buf.data) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return -1;
    }
    piece_writer writer(run, fd, s_fsync);
    if (!fill(run, buf, read_fn, ctx)) return copy_failed(run, writer);
    if (!buf.last) {
        // A short body never starts the thread; a long one runs in the ring
        // unless no thread can be had.
        copy_ring ring(writer);
        if (ring.start()) return copy_rest_threaded(run, writer, ring, buf, read_fn, ctx);
    }
    for (;;) {
        if (!writer.put(buf)) return copy_failed(run, writer);
        if (buf.last) return 0;
        if (!fill(run, buf, read_fn, ctx)) return copy_failed(run, writer);
    }
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

bool upload_writer::acquire(const char *id) {
    char path[kPathMax];
    state_path(path, id, kLockExt);
    int rc = owned_lock_create(path);
    // The state directory is made when the lock finds it missing (a store
    // from before sessions kept their state there).
    if (rc == -1 && errno == ENOENT) {
        char dir[kPathMax];
        state_dir(dir);
        if (mkdirs(dir) != 0) {
            set_error("cannot create upload state directory");
            return false;
        }
        rc = owned_lock_create(path);
    }
    if (rc == PLAT_EXISTS && writer_gone(path, id) && plat_unlink(path) == 0) rc = owned_lock_create(path);
    if (rc == PLAT_EXISTS) {
        set_error_kind(REG_ERR_CONFLICT, "another request is writing to upload %s", id);
        return false;
    }
    if (rc != 0) {
        set_error("cannot lock upload %s", id);
        return false;
    }
    qf_strlcpy(path_, path, sizeof path_);
    return true;
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
