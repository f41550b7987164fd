// repos.cpp - finding repositories and removing a whole repository.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>

#include "base/qf_str.h"
#include "platform/platform.h"
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

extern "C" int reg_repo_delete(const char *name) {
    if (!name || !*name) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!require_ready()) return -1;
    if (!repo_name_valid(name)) {
        set_error_kind(REG_ERR_INVALID, "invalid repository name");
        return -1;
    }
    char repo_dir[kPathMax];
    repo_dir_path(repo_dir, name);
    if (plat_entry_kind(repo_dir) != PLAT_DIR) {
        set_error_kind(REG_ERR_NOT_FOUND, "repository not found: %s", name);
        return -1;
    }
    if (delete_tree(repo_dir) != 0) {
        set_error("delete repository failed: %s", name);
        return -1;
    }
    remove_emptied_parents(name);
    return 0;
}

void collect_repos_recursive(const char *dir, const char *prefix, char **names, int *count, int depth) {
    std::unique_ptr<dir_list> list = new_listing();
    if (!list || list_dir(dir, list.get()) != 0 || list->count == 0) return;
    for (int i = 0; i < list->count; ++i) {
        if (*count >= kRepoListMax) return;
        const dir_entry &entry = list->entries[i];
        if (!entry.is_dir || strcmp(entry.name, "_manifests") == 0) continue;

        char child[kPathMax];
        qf_snprintf(child, sizeof child, "%s/%s", dir, entry.name);
        char name[1024];
        if (prefix && *prefix)
            qf_snprintf(name, sizeof name, "%s/%s", prefix, entry.name);
        else
            qf_strlcpy(name, entry.name, sizeof name);

        char probe[kPathMax];
        qf_snprintf(probe, sizeof probe, "%s/_manifests", child);
        if (plat_entry_kind(probe) == PLAT_DIR) {
            // Without memory for the copy the name is skipped, never counted empty.
            if (char *copy = strdup(name)) names[(*count)++] = copy;
        }
        if (depth < kRepoDepthMax && *count < kRepoListMax)
            collect_repos_recursive(child, name, names, count, depth + 1);
    }
}

name_list::name_list() : items_(new (std::nothrow) char *[kRepoListMax]) {}

name_list::~name_list() {
    for (int i = 0; i < count_; ++i)
        free(items_[i]);
}

void name_list::add(const char *name) {
    if (!items_ || count_ >= kRepoListMax) return;
    if (char *copy = strdup(name)) items_[count_++] = copy;
}

void name_list::collect_repos() {
    if (!items_) return;
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/repositories", s_root);
    collect_repos_recursive(dir, "", items_.get(), &count_, 0);
}

void name_list::sort() {
    if (count_ > 1) sort_str(items_.get(), count_);
}

extern "C" int reg_repo_exists(const char *name) {
    if (!name) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return -1;
    }
    if (!require_ready()) return -1;
    if (!repo_name_valid(name)) {
        set_error_kind(REG_ERR_INVALID, "invalid repository name");
        return -1;
    }
    char dir[kPathMax];
    repo_dir_path(dir, name);
    char manifests[kPathMax];
    qf_snprintf(manifests, sizeof manifests, "%s/_manifests", dir);
    return plat_entry_kind(manifests) == PLAT_DIR ? 1 : 0;
}
