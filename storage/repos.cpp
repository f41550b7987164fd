// repos.cpp - finding repositories and removing a whole repository.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/qf_str.h"
#include "platform/platform.h"
#include "storage/gc_internal.h"
#include "storage/storage_internal.h"

namespace {

constexpr int kParentWalkMax = 16;

// Components that the name itself separates with '\' are the only parents
// ever removed, innermost first; '/'-separated components stay even when
// emptied, and nothing at or above the repositories directory is touched.
void remove_emptied_parents(const char *name) {
    size_t cuts[kRepoNameMax];
    int count = 0;
    for (size_t i = 0; name[i]; ++i)
        if (name[i] == '\\') cuts[count++] = i;
    int walked = 0;
    for (int k = count - 1; k >= 0 && walked < kParentWalkMax; --k, ++walked) {
        char prefix[kPathMax];
        qf_strlcpy(prefix, name, cuts[k] + 1);
        char parent[kPathMax];
        repo_dir_path(parent, prefix);
        if (plat_entry_kind(parent) == PLAT_DIR && plat_rmdir(parent) != 0) return;
    }
}

} // namespace

namespace {

// The repository's own directory goes when nothing is nested in it.
int finish_removal(const char *name, const char *repo_dir) {
    std::vector<dir_item> items;
    if (plat_rmdir(repo_dir) == 0) {
        remove_emptied_parents(name);
    } else if (list_dir_all(repo_dir, items) == 0 && items.empty()) {
        set_error("delete repository failed: %s", name);
        return -1;
    }
    return 0;
}

// Only a directory holding "_manifests" is a repository; a name that merely
// has repositories below it is none, and nothing of it is removed. The
// manifests directory leaves the tree in one rename, so a store running
// meanwhile writes either before it (and goes with it) or after it (into a
// new repository, whole: see write_manifest); nested repositories stay.
int repo_delete(const char *name) {
    if (!repo_argument_ok(name)) return -1;
    char repo_dir[kPathMax];
    repo_dir_path(repo_dir, name);
    // A repository directory that is a link goes as a link: the removal
    // never reaches into the tree it points at.
    if (plat_is_link(repo_dir)) {
        if (plat_unlink(repo_dir) == 0) return 0;
        set_error("delete repository failed: %s", name);
        return -1;
    }
    char manifests[kPathMax];
    qf_snprintf(manifests, sizeof manifests, "%s/_manifests", repo_dir);
    if (plat_entry_kind(manifests) != PLAT_DIR) {
        // An empty directory is what a deletion cut short before its last
        // step leaves: finished now. Anything else is no repository.
        std::vector<dir_item> items;
        if (list_dir_all(repo_dir, items) == 0 && items.empty()) return finish_removal(name, repo_dir);
        set_error_kind(REG_ERR_NOT_FOUND, "repository not found: %s", name);
        return -1;
    }
    int moved = move_to_trash(manifests);
    // Another deletion moved it first: this one came second.
    if (moved == 1) {
        set_error_kind(REG_ERR_NOT_FOUND, "repository not found: %s", name);
        return -1;
    }
    if (moved < 0) {
        set_error("delete repository failed: %s", name);
        return -1;
    }
    return finish_removal(name, repo_dir);
}

} // namespace

extern "C" int reg_repo_delete(const char *name) {
    return guarded(-1, [&] { return repo_delete(name); });
}

void name_list::collect_repos() {
    for (std::string &name : all_repositories())
        items_.push_back(std::move(name));
}

void name_list::sort() { std::sort(items_.begin(), items_.end()); }

bool repo_argument_ok(const char *name) {
    if (!name || !*name) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return false;
    }
    if (!require_ready()) return false;
    if (!repo_name_valid(name)) {
        set_error_kind(REG_ERR_INVALID, "invalid repository name");
        return false;
    }
    return true;
}

static int repo_exists_body(const char *name) {
    if (!repo_argument_ok(name)) return -1;
    char dir[kPathMax];
    repo_dir_path(dir, name);
    char manifests[kPathMax];
    qf_snprintf(manifests, sizeof manifests, "%s/_manifests", dir);
    return plat_entry_kind(manifests) == PLAT_DIR ? 1 : 0;
}

extern "C" int reg_repo_exists(const char *name) {
    return guarded<int>(-1, [&] { return repo_exists_body(name); });
}

// Every removal is an rmdir, which only an empty directory allows: a store
// that made a directory a moment before writing into it finds it gone, and
// write_manifest makes it again.
void remove_if_emptied(const char *name) {
    char dir[kPathMax];
    manifest_tags_dir(dir, name);
    std::vector<dir_item> items;
    if (list_dir_all(dir, items) == 0)
        for (const dir_item &item : items) {
            if (!item.is_dir) continue;
            std::string tag = std::string(dir) + "/" + item.name;
            plat_rmdir((tag + "/current").c_str());
            plat_rmdir(tag.c_str());
        }
    plat_rmdir(dir);
    char manifests[kPathMax];
    manifest_body_path(manifests, name, "");
    manifests[strlen(manifests) - 1] = '\0';
    std::string revisions = std::string(manifests) + "/revisions/sha256";
    if (list_dir_all(revisions.c_str(), items) == 0)
        for (const dir_item &item : items)
            if (item.is_dir) plat_rmdir((revisions + "/" + item.name).c_str());
    plat_rmdir(revisions.c_str());
    plat_rmdir((std::string(manifests) + "/revisions").c_str());
    if (plat_rmdir(manifests) != 0) return;
    repo_dir_path(dir, name);
    if (plat_rmdir(dir) == 0) remove_emptied_parents(name);
}
