// paths.cpp - where each piece of registry data lives below the storage root.
#include <string.h>

#include "base/qf_str.h"
#include "storage/storage_internal.h"

namespace {

// Repository names may separate components with '\'; on disk every
// component is its own directory, so both separators become '/'.
void disk_name(char *out, const char *name) {
    qf_strlcpy(out, name, kPathMax);
    for (char *p = out; *p; ++p)
        if (*p == '\\') *p = '/';
}

void manifests_dir(char *out, const char *name) {
    char disk[kPathMax];
    disk_name(disk, name);
    qf_snprintf(out, kPathMax, "%s/repositories/%s/_manifests", s_root, disk);
}

} // namespace

void repo_dir_path(char *out, const char *name) {
    char disk[kPathMax];
    disk_name(disk, name);
    qf_snprintf(out, kPathMax, "%s/repositories/%s", s_root, disk);
}

void manifest_body_path(char *out, const char *name, const char *hex) {
    char dir[kPathMax];
    manifests_dir(dir, name);
    qf_snprintf(out, kPathMax, "%s/%s", dir, hex);
}

void manifest_rev_dir(char *out, const char *name, const char *hex) {
    char dir[kPathMax];
    manifests_dir(dir, name);
    qf_snprintf(out, kPathMax, "%s/revisions/sha256/%s", dir, hex);
}

void manifest_rev_path(char *out, const char *name, const char *hex) {
    char dir[kPathMax];
    manifest_rev_dir(dir, name, hex);
    qf_snprintf(out, kPathMax, "%s/link", dir);
}

void manifest_tags_dir(char *out, const char *name) {
    char dir[kPathMax];
    manifests_dir(dir, name);
    qf_snprintf(out, kPathMax, "%s/tags", dir);
}

void manifest_tag_path(char *out, const char *name, const char *tag) {
    char dir[kPathMax];
    manifest_tags_dir(dir, name);
    qf_snprintf(out, kPathMax, "%s/%s/current/link", dir, tag);
}

int read_tag_link(const char *name, const char *tag, char *link, size_t *len_out) {
    char path[kPathMax];
    manifest_tag_path(path, name, tag);
    return read_file(path, link, kTagLinkCap, len_out);
}

void upload_path_for_uuid(char *out, const char *id) {
    char file[128];
    qf_snprintf(file, sizeof file, "%s.part", id);
    qf_snprintf(out, kPathMax, "%s/uploads/%s", s_root, file);
}

// The prefix is not examined, but a short text must not be read past its end.
void blob_path_for_digest(char *out, const char *digest) {
    size_t len = strnlen(digest, 9);
    const char *hex = len >= 7 ? digest + 7 : "";
    char hh[3] = {hex[0], hex[0] ? hex[1] : '\0', '\0'};
    qf_snprintf(out, kPathMax, "%s/blobs/sha256/%s/%s", s_root, hh, hex);
}
