/* reg_storage.h - the registry storage engine: the operations endpoints call. */
#ifndef REG_STORAGE_H
#define REG_STORAGE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Engine handles ----
 * A reg_engine owns everything the engine keeps between calls for one storage
 * root: the root, whether it is started, the last error (text, kind, errno),
 * the upload-id generator, the flushing setting, the collection lock this
 * process holds and the result buffer that text answers live in. Two handles
 * share nothing, so two roots can be served by one process.
 *
 * The operations below act on the calling thread's current handle, which
 * reg_engine_use selects; a thread that selected none uses the default
 * handle, which reg_storage_init starts. That keeps one signature per
 * operation, so every caller written for one engine per process works
 * unchanged, and a caller of several roots selects one around a sequence of
 * calls (the sequence is what shares a handle: an operation, then its last
 * error or its result buffer) instead of handing the same pointer to each. */
typedef struct reg_engine reg_engine;
/* Opens root as reg_storage_init would, in a new handle. 0, or -1: *out is
 * then the handle with the reason in reg_engine_last_error (close it), or
 * NULL without memory. The handle is not selected. */
int reg_engine_open(const char *root, reg_engine **out);
/* Frees a handle from reg_engine_open (NULL is ignored). The calling thread,
 * if it had it selected, is back on the default handle; no other thread may
 * have it selected. */
void reg_engine_close(reg_engine *engine);
/* Makes engine the calling thread's current handle (NULL: the default) and
 * answers the one it replaces (NULL for the default). */
reg_engine *reg_engine_use(reg_engine *engine);
/* A handle's last error text (never null), whichever handle is current. */
const char *reg_engine_last_error(const reg_engine *engine);

/* Start-up and shut-down. 0 or -1; on -1 reg_storage_last_error says why. */
int reg_storage_init(const char *root);
void reg_storage_cleanup(void);
/* The most recent failure text; never null. */
const char *reg_storage_last_error(void);
/* What kind of failure the last error is, so callers can answer without
 * reading the text: a missing object, a refused argument or content, a clash
 * with the stored state, a file-system failure, or no memory. */
typedef enum {
    REG_ERR_NONE = 0,
    REG_ERR_NOT_FOUND,
    REG_ERR_INVALID,
    REG_ERR_CONFLICT,
    REG_ERR_IO,
    REG_ERR_NO_MEMORY,
    /* A deletion refused because a stored manifest (or one being stored)
     * still names the object; the text names it. */
    REG_ERR_DENIED,
    /* Refused because a limit is reached (open upload sessions). */
    REG_ERR_TOO_MANY
} reg_err_kind;
reg_err_kind reg_storage_last_error_kind(void);
/* The errno of the last I/O failure (ENOSPC for a full disk), 0 when the
 * last failure was of another kind or the system gave no reason. */
int reg_storage_last_errno(void);
/* Forgets the last error (text, kind and errno): a process that answers many
 * requests starts each one without the previous request's failure. */
void reg_storage_clear_error(void);

/* Removes one repository: its manifests and tags, in one rename out of the
 * tree; repositories nested below it stay. REG_ERR_NOT_FOUND when the name is
 * no repository (also when repositories live below it). */
int reg_repo_delete(const char *name);

/* Blob uploads and the content-addressed blob store. An upload id is 36
 * characters (buffer of 37 bytes); a stored digest needs 72 bytes. */
int reg_blob_start_upload(char *out_upload_uuid);
int reg_blob_append_chunk(const char *upload_uuid, const void *data, size_t len);
int reg_blob_finish_upload(const char *upload_uuid, const char *expected_digest, char *out_digest);
int reg_blob_cancel_upload(const char *upload_uuid);
int reg_blob_upload_size(const char *upload_uuid, int64_t *out_bytes);
/* 1 present, 0 absent, -1 error. */
int reg_blob_exists(const char *digest);
int64_t reg_blob_get_size(const char *digest);
int reg_blob_get_filepath(const char *digest, char *out, size_t cap);
/* What a web server needs to send a blob, from one look at the store: 1 with
 * its size and absolute path (cap bytes), 0 when no blob is stored, -1 error. */
int reg_blob_locate(const char *digest, int64_t *size, char *path, size_t cap);
/* Refused with REG_ERR_DENIED while a stored manifest of any repository, or
 * a manifest store in flight, names the blob; REG_ERR_CONFLICT while another
 * deletion of the same digest runs. */
int reg_blob_delete(const char *digest);

/* Manifests. A reference starting with "sha256:" is a digest, anything else a
 * tag. digest_out holds 72 bytes, content_type_out 127. The body returned by
 * reg_manifest_get lives in the engine's result buffer until the next call. */
int reg_manifest_put(const char *repo_name, const char *reference, const void *body, size_t body_len,
                     const char *content_type, char *digest_out);
const char *reg_manifest_get(const char *repo_name, const char *reference, char *content_type_out, char *digest_out);
/* By digest: refused with REG_ERR_DENIED while an index of the repository
 * (stored or being stored) lists the manifest, REG_ERR_CONFLICT while a store
 * of it or another deletion of it runs. By tag: the tag goes, and the
 * manifest with it when nothing else names it. */
int reg_manifest_delete(const char *repo_name, const char *reference);

/* Tag list and catalog as JSON in the result buffer; n <= 0 means no page limit. */
const char *reg_tags_list_json_page(const char *repo_name, int n, const char *last, int *has_more, char *last_out,
                                    size_t last_out_size);
const char *reg_tags_list_json(const char *repo_name);
const char *reg_catalog_json_page(int n, const char *last, int *has_more, char *last_out, size_t last_out_size);
const char *reg_catalog_json(int n, const char *last);

/* Counts of repositories, tags, blobs and uploads as JSON in the result buffer. */
const char *reg_storage_get_stats_json(void);

/* Garbage collection: removes stale uploads and the blobs no stored manifest
 * references (dry_run != 0: reports only). The report, or NULL with the last
 * error set. Another process follows a run with reg_gc_progress_json and stops
 * it with reg_gc_cancel (0, or -1 with the last error set). */
const char *reg_gc_json(int dry_run);
/* One collection at a time per storage tree: reg_gc_json takes the run lock
 * (REG_ERR_CONFLICT while another run holds it) unless this process holds it
 * already, and gives it up when it ends. A process that starts a run in a
 * child takes it first with reg_gc_lock (0, or -1 with the last error set),
 * then, once the child is started, says so with reg_gc_lock_handed_over, or
 * gives it up with reg_gc_lock_release when the child could not be started.
 * A lock no run has touched for ten minutes is taken over. */
int reg_gc_lock(void);
void reg_gc_lock_handed_over(void);
void reg_gc_lock_release(void);
int reg_gc_cancel(void);
const char *reg_gc_progress_json(void);
/* Keeps the outcome of a run an operator started, for reg_gc_status_json:
 * report (a run's report) as it is, or, when report is NULL, error as
 * {"error":"..."}. Replaced whole. 0, or -1 with the last error set. */
int reg_gc_record_result(const char *report, const char *error);
/* The progress record, with the kept outcome added as "last_result" when
 * there is one; in the result buffer, or NULL with the last error set. Once
 * the outcome of a run shows, the progress shows that run ended. */
const char *reg_gc_status_json(void);

/* Tag retention over every repository: keeps the keep_n newest tags of each
 * and deletes older ones or those at least days old; "latest" is spared unless
 * include_latest. *list_cut (may be NULL) becomes 1 when the report's list of
 * deleted tags is shorter than the selection. */
const char *reg_retention_json(int dry_run, int keep_n, int days, int include_latest, int *list_cut);

/* Operations for the HTTP front door. */
/* 1 when the repository exists (it has a manifests directory), 0 when not,
 * -1 for an invalid name or an engine not started. */
int reg_repo_exists(const char *name);
/* The whole manifest body (no result-buffer cut), in a heap buffer the caller
 * frees with free(); *len_out its length. content_type_out holds 127 bytes,
 * digest_out 72. 0, or -1 with the last error set. */
int reg_manifest_read(const char *repo_name, const char *reference, char **body_out, size_t *len_out,
                      char *content_type_out, char *digest_out);
/* When the reference was stored, in seconds since the epoch: the last write of
 * the tag's link for a tag (a tag moved to another manifest is newer), of the
 * manifest body for a digest. 0, or -1 with the last error set. */
int reg_manifest_time(const char *repo_name, const char *reference, int64_t *time_out);
/* The image index listing every manifest of the repository whose subject is
 * digest, as JSON in the result buffer; artifact_type (NULL or "" for all)
 * keeps only those of that artifact type. NULL with the last error set. */
const char *reg_referrers_json(const char *repo_name, const char *digest, const char *artifact_type);
/* ---- Administration: what the admin tool and the admin routes show and do ---- */

/* Usage of the store as JSON in the result buffer: counts and bytes of the
 * whole store and, per repository, the blobs its manifests name and their
 * bytes (a blob named by several repositories counts in each of them and once
 * in "referenced_bytes"). quota_bytes > 0 adds "quota_used_percent": the
 * stored blob bytes as a share of it. NULL with the last error set. */
const char *reg_usage_json(int64_t quota_bytes);
/* Every repository (not limited as the catalog is) with its tag and manifest counts. */
const char *reg_repos_json(void);
/* One repository's tags, sorted by name, with the digest each names, the
 * manifest's media type and size (-1 when it is not stored) and the tag's age. */
const char *reg_repo_tags_json(const char *repo_name);

/* Verifies the whole tree: every blob hashes to its name, every manifest body
 * parses, hashes to its name and names stored blobs, every tag and revision
 * link names a stored manifest, no stray files. repair != 0 moves damaged
 * files into a quarantine directory under the storage root (never deletes).
 * progress (may be NULL) is told how many blob bytes of the total are hashed.
 * The report as JSON in the result buffer, or NULL with the last error set. */
typedef void (*reg_check_progress_fn)(int64_t done_bytes, int64_t total_bytes, void *arg);
const char *reg_check_json(int repair, reg_check_progress_fn progress, void *arg);

/* Copies the store into dest (a new or empty directory outside the store)
 * while pushes go on: blobs, then manifests with whatever they name, then
 * tags with their manifests, the storage descriptor last. The counts as JSON
 * in the result buffer, or NULL with the last error set. */
const char *reg_backup_json(const char *dest);

/* For a second thread of a process whose first runs reg_gc_json: the same as
 * reg_gc_progress_json and reg_gc_cancel, writing only into the caller's
 * buffer, never into the result buffer or the last error.
 * reg_gc_progress_r: 1 when out holds a fresh snapshot, 0 when it holds the
 * idle record because there is none (or it is stale), -1 when it holds the
 * idle record because the snapshot could not be read or parsed (a reader may
 * catch it half written: ask again before calling it corrupt).
 * reg_gc_cancel_r: 0, or -1 with the reason in err. */
int reg_gc_progress_r(char *out, size_t cap);
int reg_gc_cancel_r(char *err, size_t cap);

/* ---- Write side of the HTTP front door: uploads bound to a repository and
 * hashed as they are written, tag removal, blob references. ---- */
/* Starts an upload that belongs to repo_name (the owner is kept beside the
 * part file); out_upload_uuid holds 37 bytes. 0, or -1 with the last error set.
 * Sessions not written for 15 minutes are removed first; then REG_ERR_TOO_MANY
 * when "registry_upload_sessions_max" (default 1000) sessions are open, or
 * "registry_upload_sessions_per_repository_max" (default 100) of repo_name's
 * (a setting of -1 lifts the cap). */
int reg_upload_start(const char *repo_name, char *out_upload_uuid);
/* 0 when the upload exists and belongs to repo_name; -1 otherwise, with
 * REG_ERR_NOT_FOUND for an unknown upload or another repository's, and
 * REG_ERR_INVALID for a malformed id. */
int reg_upload_check_owner(const char *upload_uuid, const char *repo_name);
/* Supplies up to cap bytes: the count, 0 at the end of the data, or < 0 when
 * the data cannot be had (the append is then undone). */
typedef long (*reg_read_fn)(void *ctx, void *buf, size_t cap);
/* Appends what read_fn supplies to the upload, hashing it as it is written so
 * that finishing need not read the part file again. expected_offset >= 0 must
 * equal the bytes received so far, else the call fails with REG_ERR_CONFLICT
 * and changes nothing. A failed call leaves the part file as it was.
 * *size_out (may be NULL): the bytes received after the call, also after a
 * conflict. 0, or -1 with the last error set. */
int reg_upload_append_from(const char *upload_uuid, int64_t expected_offset, reg_read_fn read_fn, void *ctx,
                           int64_t *size_out);
/* Removes one tag of a repository; the manifest it named stays stored and
 * reachable by digest. 0, or -1 (REG_ERR_NOT_FOUND for an unknown tag). */
int reg_tag_delete(const char *repo_name, const char *tag);
/* Whether a stored manifest of any repository names digest (as config, layer
 * or child manifest): 1 with "<repository>@<manifest digest>" in out (cap
 * bytes), 0 when none does, -1 with the last error set when not every
 * manifest could be read. */
int reg_blob_named_by(const char *digest, char *out, size_t cap);

#ifdef __cplusplus
}
#endif

#endif
