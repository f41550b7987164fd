// manifest_put.cpp - storing a manifest once everything it names is present.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>

#include "base/qf_str.h"
#include "digest/sha256.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"

namespace {

constexpr size_t kMediaTypeMax = 256; // captured "mediaType", with terminator
constexpr size_t kLinkMax = 80;       // "sha256:" and 64 digits, with terminator
constexpr int kWriteTries = 32;       // rounds of writes racing deletions can undo

bool body_file_present(const char *repo_name, const char *hex) {
    char path[kPathMax];
    manifest_body_path(path, repo_name, hex);
    return plat_entry_kind(path) == PLAT_FILE;
}

bool child_stored_elsewhere(const char *hex, std::unique_ptr<name_list> &others) {
    if (!others) {
        others = std::make_unique<name_list>();
        others->collect_repos();
    }
    for (int i = 0; i < others->count(); ++i)
        if (body_file_present((*others)[i], hex)) return true;
    return false;
}

// A child of an index may be stored in any repository; this one is looked at
// first. The other repositories are found once per index, not once per child.
bool child_manifest_stored(const char *repo_name, const char *digest, std::unique_ptr<name_list> &others) {
    const char *hex = digest + kDigestPrefixLen;
    if (body_file_present(repo_name, hex)) return true;
    return child_stored_elsewhere(hex, others);
}

int check_index(const char *repo_name, json_val *manifests, const manifest_refs &refs, const deletion_marks &marks) {
    if (!json_is_arr(manifests)) {
        set_error_kind(REG_ERR_INVALID, "manifest \"manifests\" must be an array");
        return -1;
    }
    if (json_arr_size(manifests) == 0) {
        set_error_kind(REG_ERR_INVALID, "manifest index must reference at least 1 manifest");
        return -1;
    }
    std::unique_ptr<name_list> others;
    for (const manifest_ref &ref : refs.refs) {
        if (ref.role != ref_role::child) continue;
        const char *digest = ref.digest;
        if (!digest) {
            set_error_kind(REG_ERR_INVALID, "manifest index entry %zu missing valid digest", ref.index);
            return -1;
        }
        // A child whose deletion holds its mark counts as deleted already
        // (see "Deletions" at the top of gc.cpp).
        if (marks.running(digest + kDigestPrefixLen) || !child_manifest_stored(repo_name, digest, others)) {
            set_error_kind(REG_ERR_NOT_FOUND, "BLOB_UNKNOWN: %s", digest);
            return -1;
        }
    }
    return 0;
}

// Present, and kept from any collection until this store has written its files.
bool blob_present(const char *digest, int64_t fresh_since, const deletion_marks &marks) {
    if (!marks.running(digest + kDigestPrefixLen) && keep_named_blob(digest, fresh_since)) return true;
    set_error_kind(REG_ERR_NOT_FOUND, "BLOB_UNKNOWN: %s", digest);
    return false;
}

int check_image(json_val *root, const manifest_refs &refs, int64_t fresh_since, const deletion_marks &marks) {
    const char *config = nullptr;
    for (const manifest_ref &ref : refs.refs)
        if (ref.role == ref_role::config) config = ref.digest;
    if (!config) {
        set_error_kind(REG_ERR_INVALID, "manifest missing valid config.digest");
        return -1;
    }
    if (!blob_present(config, fresh_since, marks)) return -1;
    json_val *layers = json_obj_get(root, "layers");
    if (!layers) return 0;
    if (!json_is_arr(layers)) {
        set_error_kind(REG_ERR_INVALID, "manifest layers must be an array");
        return -1;
    }
    for (const manifest_ref &ref : refs.refs) {
        if (ref.role != ref_role::layer) continue;
        if (!ref.digest) {
            set_error_kind(REG_ERR_INVALID, "manifest layer %zu missing valid digest", ref.index);
            return -1;
        }
        if (!blob_present(ref.digest, fresh_since, marks)) return -1;
    }
    return 0;
}

// Parses the body and checks every reference it makes; media_type receives the
// body's own "mediaType" (empty when absent, not a string or too long). Blobs
// with a file time at or after fresh_since need no touch; marks are the
// deletion marks as the store found them after writing its record.
int check_body(const char *repo_name, const void *body, size_t body_len, char *media_type, int64_t fresh_since,
               const deletion_marks &marks) {
    json_doc_ptr doc(json_read(static_cast<const char *>(body), body_len));
    if (!doc) {
        set_error_kind(REG_ERR_INVALID, "manifest JSON parse failed");
        return -1;
    }
    json_val *root = json_doc_root(doc.get());
    if (!json_is_obj(root)) {
        set_error_kind(REG_ERR_INVALID, "manifest must be a JSON object");
        return -1;
    }
    media_type[0] = '\0';
    json_val *declared = json_obj_get(root, "mediaType");
    if (json_is_str(declared) && json_get_len(declared) < kMediaTypeMax)
        qf_strlcpy(media_type, json_get_str(declared), kMediaTypeMax);

    manifest_refs refs = manifest_references(root);
    if (refs.is_index) return check_index(repo_name, json_obj_get(root, "manifests"), refs, marks);
    return check_image(root, refs, fresh_since, marks);
}

// The default type declared by a client says nothing: the body's own type wins
// over it, while any other declared type wins over the body's.
const char *chosen_type(const char *content_type, const char *captured) {
    bool no_preference = !content_type || !*content_type || strcmp(content_type, kDefaultManifestType) == 0;
    if (!no_preference) return content_type;
    return *captured ? captured : kDefaultManifestType;
}

void body_hex(const void *body, size_t body_len, char *hex) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, body, body_len);
    unsigned char digest[32];
    sha256_final(&ctx, digest);
    sha256_hex(digest, hex);
}

bool fail(const char *message) {
    set_error("%s", message);
    return false;
}

// A manifest's files, as write_manifest writes them in one round. A body
// found stored already (or damaged, and repaired) is a repeated store, so the
// other files are first compared and left alone when they hold what they
// should; a body found missing is a new manifest, whose other files are
// written without a look first (replacing a file with the same bytes is
// harmless).
struct manifest_files {
    const char *repo_name;
    const char *hex;
    const char *link; // "sha256:<hex>"
    bool body_new = false;

    unsigned compare_unless_new() const { return body_new ? 0u : kWriteCompare; }
};

// Body and type share a directory and so one flush of it: the body's rename
// is made durable by the flush after the type's.
bool write_body_and_type(manifest_files &files, const void *body, size_t body_len, const char *type) {
    char manifests_dir[kPathMax];
    char repo_dir[kPathMax];
    repo_dir_path(repo_dir, files.repo_name);
    qf_snprintf(manifests_dir, sizeof manifests_dir, "%s/_manifests", repo_dir);
    char body_path[kPathMax];
    manifest_body_path(body_path, files.repo_name, files.hex);
    // The manifests directory is nearly always there: made only when the write finds it missing.
    int rc = write_file_into(body_path, body, body_len, manifests_dir, kWriteCompare | kWriteNoDirFlush);
    if (rc == kDirFailed) return fail("mkdirs manifests dir failed");
    if (rc < 0) return fail("write manifest body failed");
    files.body_new = rc == 0; // found missing and written
    char ct_path[kPathMax];
    qf_snprintf(ct_path, sizeof ct_path, "%s.ct", body_path);
    // Beside the body, whose directory is there now (or gone with a
    // deletion, which fails this round).
    int ct = write_file_into(ct_path, type, strlen(type), nullptr, files.compare_unless_new());
    if (ct < 0) return fail("write manifest ct failed");
    // A repaired body beside a type that needed no write: its flush is due still.
    bool flush_due = rc != kWriteUnchanged && ct == kWriteUnchanged && s_fsync;
    if (flush_due && plat_fsync_dir(manifests_dir) != 0) return fail("write manifest body failed");
    return true;
}

bool write_revision_link(const manifest_files &files) {
    char rev_dir[kPathMax];
    manifest_rev_dir(rev_dir, files.repo_name, files.hex);
    char rev_path[kPathMax];
    manifest_rev_path(rev_path, files.repo_name, files.hex);
    // The revision's directory is new with its manifest: made first.
    int rc = write_file_into(rev_path, files.link, strlen(files.link), rev_dir,
                             files.compare_unless_new() | kWriteDirFirst);
    if (rc == kDirFailed) return fail("mkdirs revision dir failed");
    if (rc < 0) return fail("write revision link failed");
    return true;
}

// A tag that named another manifest now names this one. Its directory is
// made first when the tag is found missing; when it was not looked at (a new
// manifest), only when the write finds it missing: a tag moved keeps its
// directory.
bool write_tag_link(const manifest_files &files, const char *tag) {
    char tags_dir[kPathMax];
    manifest_tags_dir(tags_dir, files.repo_name);
    char current_dir[kPathMax];
    qf_snprintf(current_dir, sizeof current_dir, "%s/%s/current", tags_dir, tag);
    char tag_path[kPathMax];
    manifest_tag_path(tag_path, files.repo_name, tag);
    unsigned mode = files.body_new ? 0u : kWriteCompare | kWriteDirFirst;
    int rc = write_file_into(tag_path, files.link, strlen(files.link), current_dir, mode);
    if (rc == kDirFailed) return fail("mkdirs tag dir failed");
    if (rc < 0) return fail("write tag link failed");
    return true;
}

bool file_holds_link(const char *path, const char *link) {
    char text[kTagLinkCap];
    size_t len = 0;
    return read_file(path, text, sizeof text, &len) == 0 && len == strlen(link) && memcmp(text, link, len) == 0;
}

// Looked at again after the writes: a repository or tag deletion that moved
// the directories away between two writes leaves some of them in the trash.
bool manifest_whole(const char *repo_name, const char *reference, bool is_tag, const char *hex, const char *link) {
    char path[kPathMax];
    manifest_body_path(path, repo_name, hex);
    if (plat_entry_kind(path) != PLAT_FILE) return false;
    manifest_rev_path(path, repo_name, hex);
    if (!file_holds_link(path, link)) return false;
    if (!is_tag) return true;
    manifest_tag_path(path, repo_name, reference);
    return file_holds_link(path, link);
}

// Each file is replaced whole (written beside, flushed, renamed over) in a
// fixed order, the tag last, so a tag never names a manifest whose files are
// missing; a failure or a crash leaves what was written before it, which a
// later put of the same body rewrites. When a deletion of the repository or
// of the tag ran between the writes, they are made again: the store then
// came after the deletion.
bool write_manifest(const char *repo_name, const char *reference, bool is_tag, const void *body, size_t body_len,
                    const char *type, const char *hex) {
    char link[kLinkMax];
    qf_snprintf(link, sizeof link, "sha256:%s", hex);
    bool last_failed = false;
    for (int attempt = 0; attempt < kWriteTries; ++attempt) {
        manifest_files files{repo_name, hex, link};
        bool written = write_body_and_type(files, body, body_len, type) && write_revision_link(files) &&
                       (!is_tag || write_tag_link(files, reference));
        if (written && manifest_whole(repo_name, reference, is_tag, hex, link)) return true;
        // A deletion moving or removing directories between a mkdirs and a
        // write fails that round, and the next one makes them again. A write
        // that fails in every round is a real failure, and its message stands.
        last_failed = !written;
    }
    if (last_failed) return false;
    set_error_kind(REG_ERR_CONFLICT, "the repository was deleted again and again while this manifest was stored; retry");
    return false;
}

// An index whose child went with a repository deletion during the store
// must not stay: its files are taken away again and the store fails as if
// the deletion came first.
int children_still_stored(const char *repo_name, const void *body, size_t body_len, bool is_tag,
                          const char *reference, const char *hex) {
    json_doc_ptr doc(json_read(static_cast<const char *>(body), body_len));
    std::unique_ptr<name_list> others;
    for (const manifest_ref &ref : manifest_references(json_doc_root(doc.get())).refs) {
        const char *digest = ref.digest;
        if (ref.role != ref_role::child || !digest || child_manifest_stored(repo_name, digest, others)) continue;
        char link[kLinkMax];
        qf_snprintf(link, sizeof link, "sha256:%s", hex);
        char path[kPathMax];
        if (is_tag) {
            manifest_tag_path(path, repo_name, reference);
            if (file_holds_link(path, link)) plat_unlink(path);
        }
        manifest_rev_path(path, repo_name, hex);
        plat_unlink(path);
        manifest_body_path(path, repo_name, hex);
        plat_unlink(path);
        set_error_kind(REG_ERR_NOT_FOUND, "BLOB_UNKNOWN: %s", digest);
        return -1;
    }
    return 0;
}

int manifest_put(const char *repo_name, const char *reference, const void *body, size_t body_len,
                 const char *content_type, char *digest_out) {
    if (!repo_name || !reference || !body || !digest_out) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!require_ready()) return -1;
    if (!*repo_name || !repo_name_valid(repo_name)) {
        set_error_kind(REG_ERR_INVALID, "invalid repository name: %s", repo_name);
        return -1;
    }
    if (!*reference) {
        set_error_kind(REG_ERR_INVALID, "empty reference");
        return -1;
    }
    // A digest reference only suppresses the tag link; it never becomes a path.
    bool is_tag = strncmp(reference, "sha256:", kDigestPrefixLen) != 0;
    // A tag becomes a directory name as it stands, so one that could address
    // anything but its own tag directory is refused before anything is written.
    if (is_tag && !tag_valid(reference)) {
        set_error_kind(REG_ERR_INVALID, "invalid tag: %s", reference);
        return -1;
    }

    char hex[65];
    body_hex(body, body_len, hex);
    // Written before the check of what the body names and removed when the
    // store ends: how a collection or a deletion running meanwhile learns of
    // this store (see the top of gc.cpp).
    store_record record;
    if (!record.write(hex, body, body_len)) return -1;
    // One listing of the deletion marks, after the record and before any
    // look at what the body names (see "Deletions" at the top of gc.cpp).
    deletion_marks marks;
    marks.load();
    if (marks.running(hex)) {
        set_error_kind(REG_ERR_CONFLICT, "a deletion of sha256:%s is running; retry", hex);
        return -1;
    }
    char media_type[kMediaTypeMax];
    if (check_body(repo_name, body, body_len, media_type, touch_fresh_since(record.time()), marks) != 0) {
        // A body refused because memory ran out while reading it is not the client's fault.
        if (json_out_of_memory()) set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return -1;
    }

    const char *type = chosen_type(content_type, media_type);
    if (!write_manifest(repo_name, reference, is_tag, body, body_len, type, hex)) return -1;
    if (children_still_stored(repo_name, body, body_len, is_tag, reference, hex) != 0) return -1;
    qf_snprintf(digest_out, kDigestLen + 1, "sha256:%s", hex);
    return 0;
}

} // namespace

extern "C" int reg_manifest_put(const char *repo_name, const char *reference, const void *body, size_t body_len,
                                const char *content_type, char *digest_out) {
    return guarded(-1, [&] { return manifest_put(repo_name, reference, body, body_len, content_type, digest_out); });
}
