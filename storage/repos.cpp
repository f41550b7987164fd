// repos.cpp - finding repositories and removing a whole repository.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

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

namespace {

int repo_delete(const char *name) {
    if (!repo_argument_ok(name)) return -1;
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

} // namespace

extern "C" int reg_repo_delete(const char *name) {
    return guarded(-1, [&] { return repo_delete(name); });
}

void collect_repos_recursive(const char *dir, const char *prefix, std::vector<std::string> &names, int depth) {
    std::vector<dir_item> list;
    if (list_dir_all(dir, list) != 0) return;
    for (const dir_item &entry : list) {
        if (!entry.is_dir || entry.name == "_manifests") continue;

        char child[kPathMax];
        qf_snprintf(child, sizeof child, "%s/%s", dir, entry.name.c_str());
        char name[1024];
        if (prefix && *prefix)
            qf_snprintf(name, sizeof name, "%s/%s", prefix, entry.name.c_str());
        else
            qf_strlcpy(name, entry.name.c_str(), sizeof name);

        char probe[kPathMax];
        qf_snprintf(probe, sizeof probe, "%s/_manifests", child);
        if (plat_entry_kind(probe) == PLAT_DIR) names.emplace_back(name);
        if (depth < kRepoDepthMax) collect_repos_recursive(child, name, names, depth + 1);
    }
}

void name_list::collect_repos() {
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/repositories", s_root);
    collect_repos_recursive(dir, "", items_, 0);
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

extern "C" int reg_repo_exists(const char *name) {
    if (!repo_argument_ok(name)) return -1;
    char dir[kPathMax];
    repo_dir_path(dir, name);
    char manifests[kPathMax];
    qf_snprintf(manifests, sizeof manifests, "%s/_manifests", dir);
    return plat_entry_kind(manifests) == PLAT_DIR ? 1 : 0;
}
