// walk.cpp - the one walk of the repository tree and the one walk of the blob store.
//
// Every answer that enumerates repositories or blobs (catalog, statistics,
// retention, usage, check, backup, collection, "who names this blob") walks
// through here, so they agree on what a repository is and how deep one can
// lie. A listing reports a symbolic link as a link and the walks never
// descend through one (see the top of gc.cpp).
#include <string>
#include <vector>

#include "storage/storage_internal.h"

namespace {

constexpr char kReposDir[] = "repositories";
constexpr char kBlobTop[] = "blobs/sha256";
constexpr char kManifestsDir[] = "_manifests";

std::string at_root(const std::string &rel) { return std::string(s_root) + "/" + rel; }

struct repo_walk {
    const repo_walk_visitor &visit;

    // rel: the directory relative to the storage root; name: the repository
    // name it would have; components: how many components that name has.
    void below(const std::string &rel, const std::string &name, int components) {
        std::vector<dir_item> items;
        if (list_dir_all(at_root(rel).c_str(), items) != 0) {
            if (visit.unlisted) visit.unlisted(rel);
            return;
        }
        for (const dir_item &item : items) {
            std::string child = rel + "/" + item.name;
            if (item.is_link) {
                if (visit.link) visit.link(child);
                continue;
            }
            if (!item.is_dir || item.name == kManifestsDir) continue;
            if (components >= kRepoComponentsMax) {
                if (visit.too_deep) visit.too_deep(child);
                continue;
            }
            std::string child_name = name.empty() ? item.name : name + "/" + item.name;
            if (plat_entry_kind(at_root(child + "/" + kManifestsDir).c_str()) == PLAT_DIR) visit.repository(child_name);
            below(child, child_name, components + 1);
        }
    }
};

} // namespace

void for_each_repository(const repo_walk_visitor &visit) {
    repo_walk walk{visit};
    walk.below(kReposDir, "", 0);
}

std::vector<std::string> all_repositories() {
    std::vector<std::string> names;
    repo_walk_visitor visit;
    visit.repository = [&](const std::string &name) { names.push_back(name); };
    for_each_repository(visit);
    return names;
}

bool for_each_fanout(const blob_walk_visitor &visit) {
    std::vector<dir_item> fanouts;
    if (list_dir_all(at_root(kBlobTop).c_str(), fanouts) != 0) {
        if (visit.unlisted) visit.unlisted(kBlobTop);
        return false;
    }
    std::vector<dir_item> files;
    for (const dir_item &fanout : fanouts) {
        std::string rel = std::string(kBlobTop) + "/" + fanout.name;
        if (!fanout.is_dir) {
            if (visit.other) visit.other(rel, fanout);
            continue;
        }
        std::string dir = at_root(rel);
        // A path cut to fit the engine's buffers would name another directory.
        if (dir.size() >= kPathMax) continue;
        if (list_dir_all(dir.c_str(), files) != 0) {
            if (visit.unlisted) visit.unlisted(rel);
            continue;
        }
        if (!visit.fanout(dir, fanout.name, files)) return false;
    }
    return true;
}

bool for_each_blob(const std::function<bool(const std::string &fanout_dir, const std::string &hex)> &visit) {
    blob_walk_visitor walk;
    walk.fanout = [&](const std::string &dir, const std::string &, const std::vector<dir_item> &files) {
        for (const dir_item &file : files)
            if (!file.is_dir && hex64_valid(file.name.c_str()) && !visit(dir, file.name)) return false;
        return true;
    };
    return for_each_fanout(walk);
}
