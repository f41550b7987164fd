// manifest_lookup.cpp - finding a stored manifest by tag or digest, reading it back, deleting it.
#include <string.h>

#include <string>
#include <vector>

#include "base/qf_str.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"

namespace {

constexpr size_t kContentTypeMax = 127; // content_type_out, with terminator

bool is_digest_reference(const char *reference) { return strncmp(reference, "sha256:", kDigestPrefixLen) == 0; }

bool is_file(const char *path) { return plat_entry_kind(path) == PLAT_FILE; }

// Readiness and name: the checks get and delete share after their null tests.
bool preconditions_hold(const char *repo_name) {
    if (!require_ready()) return false;
    if (!*repo_name || !repo_name_valid(repo_name)) {
        set_error_kind(REG_ERR_INVALID, "invalid repository name");
        return false;
    }
    return true;
}

// Reads a tag's link; true when it names a manifest by its 64 digits. Only
// those digits count: what follows them is not looked at.
bool tag_names(const char *repo_name, const char *tag, const char *hex) {
    char link[kTagLinkCap];
    size_t len = 0;
    if (read_tag_link(repo_name, tag, link, &len) != 0) return false;
    return len >= kDigestLen && memcmp(link, "sha256:", kDigestPrefixLen) == 0 &&
           memcmp(link + kDigestPrefixLen, hex, kHexLen) == 0;
}

enum class tags_state { listed, absent, unlistable };

// Every tag directory, however many: a tag left out of the listing would be
// kept by a delete by digest or would let a delete by tag drop a manifest it
// still names.
tags_state list_tags(const char *tags_dir, std::vector<dir_item> &items) {
    if (list_dir_all(tags_dir, items) == 0) return tags_state::listed;
    return plat_entry_kind(tags_dir) == PLAT_DIR ? tags_state::unlistable : tags_state::absent;
}

void remove_manifest_files(const char *repo_name, const char *hex) {
    char body_path[kPathMax];
    manifest_body_path(body_path, repo_name, hex);
    char ct_path[kPathMax];
    qf_snprintf(ct_path, sizeof ct_path, "%s.ct", body_path);
    char rev_path[kPathMax];
    manifest_rev_path(rev_path, repo_name, hex);
    // Errors are not reported: the manifest is no longer named by anything.
    for (const char *path : {body_path, ct_path, rev_path})
        if (is_file(path)) plat_unlink(path);
}

// An index of the repository that lists the manifest: "<repo>@sha256:<hex>"
// in holder and 1; 0 when none does; -1 when the bodies cannot all be read.
int index_naming(const char *repo_name, const char *hex, std::string &holder) {
    char dir[kPathMax];
    manifest_body_path(dir, repo_name, "");
    dir[strlen(dir) - 1] = '\0';
    std::vector<dir_item> items;
    if (list_dir_all(dir, items) != 0) return 0; // the repository went meanwhile
    char digest[kDigestLen + 1];
    qf_snprintf(digest, sizeof digest, "sha256:%s", hex);
    for (const dir_item &item : items) {
        if (item.is_dir || !hex64_valid(item.name.c_str()) || item.name == hex) continue;
        std::string path = std::string(dir) + "/" + item.name;
        size_t len = 0;
        heap_text body(read_file_alloc(path.c_str(), &len));
        if (!body) {
            if (plat_entry_kind(path.c_str()) == PLAT_ABSENT) continue;
            set_error("cannot read manifest: %s@sha256:%s", repo_name, item.name.c_str());
            return -1;
        }
        if (body_names_digest(body.get(), len, digest)) {
            holder = std::string(repo_name) + "@sha256:" + item.name;
            return 1;
        }
    }
    return 0;
}

// With the deletion mark held: what still names the manifest, looked at in
// the order the argument at the top of gc.cpp needs (records, then bodies).
// 0 when nothing does; -1 with the last error set (REG_ERR_DENIED when an
// index lists it, REG_ERR_CONFLICT when a store of it is in flight).
int nothing_names(const char *repo_name, const char *hex) {
    char digest[kDigestLen + 1];
    qf_snprintf(digest, sizeof digest, "sha256:%s", hex);
    std::string what;
    int recorded = record_naming(digest, what);
    if (recorded < 0) return -1;
    if (recorded == 2) {
        set_error_kind(REG_ERR_CONFLICT, "%s: %s@%s; retry", what.c_str(), repo_name, digest);
        return -1;
    }
    if (recorded == 1) {
        set_error_kind(REG_ERR_DENIED, "manifest is listed by %s: %s@%s", what.c_str(), repo_name, digest);
        return -1;
    }
    int indexed = index_naming(repo_name, hex, what);
    if (indexed < 0) return -1;
    if (indexed == 1) {
        set_error_kind(REG_ERR_DENIED, "manifest is listed by index %s: %s@%s", what.c_str(), repo_name, digest);
        return -1;
    }
    return 0;
}

int delete_by_digest(const char *repo_name, const char *reference, const char *hex) {
    deletion_mark mark;
    if (!mark.acquire(hex)) return -1;
    // Looked up again under the mark: another deletion may have taken it.
    char again[kHexLen + 1];
    if (manifest_resolve(repo_name, reference, again) != 0) return -1;
    if (nothing_names(repo_name, hex) != 0) return -1;
    char tags_dir[kPathMax];
    manifest_tags_dir(tags_dir, repo_name);
    std::vector<dir_item> items;
    tags_state state = list_tags(tags_dir, items);
    // Tags that cannot be seen cannot be removed: deleting the manifest under
    // them would report success while they still name it.
    bool failed = state == tags_state::unlistable;
    if (state == tags_state::listed) {
        for (const dir_item &item : items) {
            if (!item.is_dir || !tag_names(repo_name, item.name.c_str(), hex)) continue;
            char tag_dir[kPathMax];
            qf_snprintf(tag_dir, sizeof tag_dir, "%s/%s", tags_dir, item.name.c_str());
            if (move_to_trash(tag_dir) < 0) failed = true;
        }
        plat_rmdir(tags_dir); // only succeeds when no tag is left
    }
    if (failed) {
        set_error("delete manifest tags failed: %s@%s", repo_name, reference);
        return -1;
    }
    remove_manifest_files(repo_name, hex);
    char rev_dir[kPathMax];
    manifest_rev_dir(rev_dir, repo_name, hex);
    plat_rmdir(rev_dir); // only succeeds when empty
    remove_if_emptied(repo_name);
    return 0;
}

int delete_by_tag(const char *repo_name, const char *tag, const char *hex) {
    char link_path[kPathMax];
    manifest_tag_path(link_path, repo_name, tag);
    if (is_file(link_path) && plat_unlink(link_path) != 0) {
        set_error("delete tag failed");
        return -1;
    }
    // The manifest goes too only when nothing else names it; a store or
    // deletion of it in flight keeps it (the tag alone went).
    deletion_mark mark;
    if (!mark.acquire(hex) || nothing_names(repo_name, hex) != 0) return 0;
    char tags_dir[kPathMax];
    manifest_tags_dir(tags_dir, repo_name);
    std::vector<dir_item> items;
    switch (list_tags(tags_dir, items)) {
    case tags_state::unlistable: return 0; // another tag may name it: keep it
    case tags_state::absent: break;
    case tags_state::listed:
        for (const dir_item &item : items)
            if (item.is_dir && tag_names(repo_name, item.name.c_str(), hex)) return 0;
        break;
    }
    remove_manifest_files(repo_name, hex);
    remove_if_emptied(repo_name);
    return 0;
}

} // namespace

int manifest_resolve(const char *repo_name, const char *reference, char *hex_out) {
    if (is_digest_reference(reference)) {
        if (!digest_valid(reference)) {
            set_error_kind(REG_ERR_INVALID, "invalid digest reference");
            return -1;
        }
        const char *hex = reference + kDigestPrefixLen;
        qf_strlcpy(hex_out, hex, kHexLen + 1);
        char path[kPathMax];
        manifest_rev_path(path, repo_name, hex);
        if (is_file(path)) return 0;
        manifest_body_path(path, repo_name, hex);
        if (is_file(path)) return 0;
        set_error_kind(REG_ERR_NOT_FOUND, "manifest not found: %s@%s", repo_name, reference);
        return -1;
    }
    // The tag is a directory name: ".." or "a/b" would reach outside the tags directory.
    if (!tag_valid(reference)) {
        set_error_kind(REG_ERR_INVALID, "invalid tag: %s", reference);
        return -1;
    }
    char link[kTagLinkCap];
    size_t len = 0;
    if (read_tag_link(repo_name, reference, link, &len) != 0) {
        set_error_kind(REG_ERR_NOT_FOUND, "tag not found: %s:%s", repo_name, reference);
        return -1;
    }
    // The length test keeps a NUL byte inside the file from hiding what follows it.
    if (len != kDigestLen || !digest_valid(link)) {
        set_error("corrupt tag link: %s:%s", repo_name, reference);
        return -1;
    }
    qf_strlcpy(hex_out, link + kDigestPrefixLen, kHexLen + 1);
    return 0;
}

static const char *manifest_get_body(const char *repo_name, const char *reference, char *content_type_out,
                                     char *digest_out) {
    if (!repo_name || !reference || !content_type_out || !digest_out) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return nullptr;
    }
    if (!preconditions_hold(repo_name)) return nullptr;
    char hex[kHexLen + 1];
    if (manifest_resolve(repo_name, reference, hex) != 0) return nullptr;

    char body_path[kPathMax];
    manifest_body_path(body_path, repo_name, hex);
    // A longer body is handed back cut to the result buffer, terminator included.
    if (read_file(body_path, s_result, kResultMax, nullptr) != 0) {
        set_error_kind(REG_ERR_NOT_FOUND, "manifest body not found: %s@%s", repo_name, reference);
        return nullptr;
    }
    char ct_path[kPathMax];
    qf_snprintf(ct_path, sizeof ct_path, "%s.ct", body_path);
    if (read_file(ct_path, content_type_out, kContentTypeMax, nullptr) != 0 || content_type_out[0] == '\0')
        qf_strlcpy(content_type_out, kDefaultManifestType, kContentTypeMax);
    qf_snprintf(digest_out, kDigestLen + 1, "sha256:%s", hex);
    return s_result;
}

extern "C" const char *reg_manifest_get(const char *repo_name, const char *reference, char *content_type_out,
                                        char *digest_out) {
    return guarded<const char *>(nullptr,
                                 [&] { return manifest_get_body(repo_name, reference, content_type_out, digest_out); });
}

namespace {

int manifest_delete(const char *repo_name, const char *reference) {
    if (!repo_name || !reference) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!preconditions_hold(repo_name)) return -1;
    char hex[kHexLen + 1];
    if (manifest_resolve(repo_name, reference, hex) != 0) return -1;
    if (is_digest_reference(reference)) return delete_by_digest(repo_name, reference, hex);
    return delete_by_tag(repo_name, reference, hex);
}

} // namespace

extern "C" int reg_manifest_delete(const char *repo_name, const char *reference) {
    return guarded(-1, [&] { return manifest_delete(repo_name, reference); });
}

static int manifest_read_body(const char *repo_name, const char *reference, char **body_out, size_t *len_out,
                              char *content_type_out, char *digest_out) {
    if (!repo_name || !reference || !body_out || !len_out || !content_type_out || !digest_out) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    *body_out = nullptr;
    *len_out = 0;
    if (!preconditions_hold(repo_name)) return -1;
    char hex[kHexLen + 1];
    if (manifest_resolve(repo_name, reference, hex) != 0) return -1;

    char body_path[kPathMax];
    manifest_body_path(body_path, repo_name, hex);
    size_t len = 0;
    heap_text body(read_file_alloc(body_path, &len));
    if (!body) {
        if (is_file(body_path))
            set_error("cannot read manifest body: %s@%s", repo_name, reference);
        else
            set_error_kind(REG_ERR_NOT_FOUND, "manifest body not found: %s@%s", repo_name, reference);
        return -1;
    }
    char ct_path[kPathMax];
    qf_snprintf(ct_path, sizeof ct_path, "%s.ct", body_path);
    if (read_file(ct_path, content_type_out, kContentTypeMax, nullptr) != 0 || content_type_out[0] == '\0')
        qf_strlcpy(content_type_out, kDefaultManifestType, kContentTypeMax);
    qf_snprintf(digest_out, kDigestLen + 1, "sha256:%s", hex);
    *len_out = len;
    *body_out = body.release();
    return 0;
}

extern "C" int reg_manifest_read(const char *repo_name, const char *reference, char **body_out, size_t *len_out,
                                 char *content_type_out, char *digest_out) {
    return guarded<int>(
        -1, [&] { return manifest_read_body(repo_name, reference, body_out, len_out, content_type_out, digest_out); });
}

namespace {

int manifest_time(const char *repo_name, const char *reference, int64_t *time_out) {
    if (!repo_name || !reference || !time_out) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    *time_out = -1;
    if (!preconditions_hold(repo_name)) return -1;
    char hex[kHexLen + 1];
    if (manifest_resolve(repo_name, reference, hex) != 0) return -1;
    char path[kPathMax];
    if (is_digest_reference(reference))
        manifest_body_path(path, repo_name, hex);
    else
        manifest_tag_path(path, repo_name, reference);
    int64_t mtime = -1;
    if (plat_file_info(path, nullptr, &mtime) != 0 || mtime < 0) {
        if (is_file(path))
            set_error("cannot read the time of manifest: %s@%s", repo_name, reference);
        else
            set_error_kind(REG_ERR_NOT_FOUND, "manifest not found: %s@%s", repo_name, reference);
        return -1;
    }
    *time_out = mtime;
    return 0;
}

} // namespace

extern "C" int reg_manifest_time(const char *repo_name, const char *reference, int64_t *time_out) {
    return guarded<int>(-1, [&] { return manifest_time(repo_name, reference, time_out); });
}
