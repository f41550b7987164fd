// content.cpp - content management beside the manifest store: removing one tag, finding what names a blob.
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "base/qf_str.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"

namespace {

struct scan_failure {};

std::string at_root(const std::string &rel) { return std::string(s_root) + "/" + rel; }

// Every repository, however many: one left out could hide a manifest that
// still names the blob. A directory that cannot be listed fails the search,
// unless it went away meanwhile (a repository deleted during the search).
std::vector<std::string> find_repositories() {
    std::vector<std::string> repos;
    repo_walk_visitor visit;
    visit.repository = [&](const std::string &name) { repos.push_back(name); };
    visit.unlisted = [](const std::string &rel) {
        if (rel != "repositories" && plat_entry_kind(at_root(rel).c_str()) == PLAT_ABSENT) return;
        set_error("cannot list repositories: %s", rel.c_str());
        throw scan_failure{};
    };
    for_each_repository(visit);
    return repos;
}

// "<repo>@sha256:<hex>" of the first manifest naming digest, or "".
std::string first_naming(const char *digest) {
    for (const std::string &repo : find_repositories()) {
        std::string dir = at_root("repositories/" + repo + "/_manifests");
        std::vector<dir_item> items;
        if (list_dir_all(dir.c_str(), items) != 0) {
            if (plat_entry_kind(dir.c_str()) == PLAT_ABSENT) continue; // deleted meanwhile
            set_error("cannot list manifests: %s", repo.c_str());
            throw scan_failure{};
        }
        for (const dir_item &item : items) {
            if (item.is_dir || !hex64_valid(item.name.c_str())) continue;
            std::string path = dir + "/" + item.name;
            size_t len = 0;
            heap_text body(read_file_alloc(path.c_str(), &len));
            if (!body) {
                if (plat_entry_kind(path.c_str()) == PLAT_ABSENT) continue; // deleted meanwhile
                set_error("cannot read manifest: %s@sha256:%s", repo.c_str(), item.name.c_str());
                throw scan_failure{};
            }
            if (body_names_digest(body.get(), len, digest)) return repo + "@sha256:" + item.name;
        }
    }
    return "";
}

} // namespace

extern "C" {

static int tag_delete_body(const char *repo_name, const char *tag) {
    if (!repo_name || !tag) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!require_ready()) return -1;
    if (!*repo_name || !repo_name_valid(repo_name)) {
        set_error_kind(REG_ERR_INVALID, "invalid repository name");
        return -1;
    }
    if (!tag_valid(tag)) {
        set_error_kind(REG_ERR_INVALID, "invalid tag: %s", tag);
        return -1;
    }
    char link[kPathMax];
    manifest_tag_path(link, repo_name, tag);
    if (plat_entry_kind(link) != PLAT_FILE) {
        set_error_kind(REG_ERR_NOT_FOUND, "tag not found: %s:%s", repo_name, tag);
        return -1;
    }
    char tags_dir[kPathMax];
    manifest_tags_dir(tags_dir, repo_name);
    char tag_dir[kPathMax];
    qf_snprintf(tag_dir, sizeof tag_dir, "%s/%s", tags_dir, tag);
    // One rename takes the tag out: a store of the same tag running meanwhile
    // writes it again whole (see write_manifest), never half of it.
    int moved = move_to_trash(tag_dir);
    if (moved == 1) {
        set_error_kind(REG_ERR_NOT_FOUND, "tag not found: %s:%s", repo_name, tag);
        return -1;
    }
    if (moved < 0) {
        set_error("delete tag failed: %s:%s", repo_name, tag);
        return -1;
    }
    plat_rmdir(tags_dir); // only succeeds when no tag is left
    return 0;
}

int reg_tag_delete(const char *repo_name, const char *tag) {
    return guarded<int>(-1, [&] { return tag_delete_body(repo_name, tag); });
}

int reg_blob_named_by(const char *digest, char *out, size_t cap) {
    if (!digest || !out || cap == 0) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    out[0] = '\0';
    if (!require_ready()) return -1;
    if (!digest_valid(digest)) {
        set_error_kind(REG_ERR_INVALID, "invalid digest");
        return -1;
    }
    return guarded<int>(-1, [&] {
        try {
            // Records first: a store that removes its record after this read
            // has written its manifest before the listings that follow.
            std::string in_flight;
            int recorded = record_naming(digest, in_flight);
            if (recorded < 0) return -1;
            if (recorded > 0) {
                qf_strlcpy(out, in_flight.c_str(), cap);
                return 1;
            }
            std::string found = first_naming(digest);
            qf_strlcpy(out, found.c_str(), cap);
            return found.empty() ? 0 : 1;
        } catch (const scan_failure &) {
            return -1; // the last error says which listing or read failed
        }
    });
}

} // extern "C"
