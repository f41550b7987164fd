// usage.cpp - what the store holds, per repository and in all: the numbers an operator reads before cleaning up.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/qf_str.h"
#include "platform/json_doc.h"
#include "platform/platform.h"
#include "storage/admin_internal.h"
#include "storage/storage_internal.h"

namespace {

constexpr char kReposDir[] = "repositories";
constexpr size_t kRepoElementFixed = 160; // the pieces of one repository element besides its name

std::string manifests_rel(const std::string &repo) { return std::string(kReposDir) + "/" + repo + "/_manifests"; }

// The 64-digit names of a repository's manifest body files.
std::vector<std::string> manifest_hexes(const std::string &repo) {
    std::vector<dir_item> items;
    std::vector<std::string> hexes;
    if (list_dir_all(admin_at_root(manifests_rel(repo)).c_str(), items) != 0) return hexes;
    for (const dir_item &item : items)
        if (!item.is_dir && hex64_valid(item.name.c_str())) hexes.push_back(item.name);
    return hexes;
}

// Tags are directories whose link can be read, as the tag list counts them; sorted by name.
std::vector<std::string> tag_names(const std::string &repo) {
    std::vector<dir_item> items;
    std::vector<std::string> tags;
    if (list_dir_all(admin_at_root(manifests_rel(repo) + "/tags").c_str(), items) != 0) return tags;
    for (const dir_item &item : items) {
        if (!item.is_dir || item.name.size() > kTagMax) continue;
        char link[kTagLinkCap];
        if (read_tag_link(repo.c_str(), item.name.c_str(), link, nullptr) == 0) tags.push_back(item.name);
    }
    std::sort(tags.begin(), tags.end());
    return tags;
}

// What one manifest body names; false when it cannot be read or parsed.
bool named_by(const std::string &repo, const std::string &hex, std::unordered_set<std::string> &out) {
    size_t len = 0;
    heap_text text(read_file_alloc(admin_at_root(manifests_rel(repo) + "/" + hex).c_str(), &len));
    if (!text) return false;
    json_doc_ptr doc(json_read(text.get(), len));
    json_val *root = json_doc_root(doc.get());
    if (!json_is_obj(root)) return false;
    for (const manifest_ref &ref : manifest_references(root).refs)
        if (ref_keeps(ref)) out.insert(ref.digest + kDigestPrefixLen);
    return true;
}

struct repo_usage {
    std::string name;
    int tags = 0;
    int manifests = 0;
    int unreadable = 0;
    int blobs = 0;
    int64_t bytes = 0;
};

struct store_usage {
    std::unordered_map<std::string, int64_t> blob_sizes; // every blob file by its 64 digits
    int64_t blob_bytes = 0;
    std::unordered_set<std::string> referenced; // stored blobs some manifest names
    int64_t referenced_bytes = 0;
    int uploads = 0;
    int64_t upload_bytes = 0;
    std::vector<repo_usage> repos;
    std::vector<std::string> unlisted;
    int tags = 0, manifests = 0, unreadable = 0;
};

// Every fan-out directory and every file in it, however many: the totals must
// agree with what a collection would see.
void walk_blobs(store_usage &u) {
    for_each_blob([&](const std::string &dir, const std::string &hex) {
        int64_t size = admin_size_or_zero(dir + "/" + hex);
        u.blob_sizes.emplace(hex, size);
        u.blob_bytes += size;
        return true;
    });
}

void walk_uploads(store_usage &u) {
    std::vector<dir_item> items;
    std::string dir = admin_at_root("uploads");
    if (list_dir_all(dir.c_str(), items) != 0) return;
    for (const dir_item &item : items) {
        if (item.is_dir) continue;
        ++u.uploads;
        u.upload_bytes += admin_size_or_zero(dir + "/" + item.name);
    }
}

void measure_repo(store_usage &u, const std::string &name) {
    repo_usage r;
    r.name = name;
    r.tags = static_cast<int>(tag_names(name).size());
    std::unordered_set<std::string> named;
    for (const std::string &hex : manifest_hexes(name)) {
        ++r.manifests;
        if (!named_by(name, hex, named)) ++r.unreadable;
    }
    // A digest that names a child manifest rather than a blob has no blob file and adds nothing.
    for (const std::string &hex : named) {
        auto found = u.blob_sizes.find(hex);
        if (found == u.blob_sizes.end()) continue;
        ++r.blobs;
        r.bytes += found->second;
        if (u.referenced.insert(hex).second) u.referenced_bytes += found->second;
    }
    u.tags += r.tags;
    u.manifests += r.manifests;
    u.unreadable += r.unreadable;
    u.repos.push_back(std::move(r));
}

// Share of the quota in use, in tenths of a percent, rounded down; the sum
// cannot overflow for any store that fits on a disk.
long long quota_permille(int64_t used, int64_t quota) {
    if (quota <= 0) return 0;
    if (used > INT64_MAX / 1000) return used / quota * 1000;
    return used * 1000 / quota;
}

const char *write_usage(const store_usage &u, int64_t quota_bytes) {
    admin_json out;
    out.raw("{");
    out.num("repositories", static_cast<long long>(u.repos.size()), false);
    out.num("tags", u.tags);
    out.num("manifests", u.manifests);
    out.num("unreadable_manifests", u.unreadable);
    out.num("blobs", static_cast<long long>(u.blob_sizes.size()));
    out.num("blob_bytes", u.blob_bytes);
    out.num("referenced_blobs", static_cast<long long>(u.referenced.size()));
    out.num("referenced_bytes", u.referenced_bytes);
    out.num("active_uploads", u.uploads);
    out.num("upload_bytes", u.upload_bytes);
    out.num("quota_bytes", quota_bytes > 0 ? quota_bytes : 0);
    if (quota_bytes > 0) {
        long long permille = quota_permille(u.blob_bytes, quota_bytes);
        char text[64];
        qf_snprintf(text, sizeof text, ",\"quota_used_percent\":%lld.%lld", permille / 10, permille % 10);
        out.raw(text);
    }
    out.num("unlisted_directories", static_cast<long long>(u.unlisted.size()));
    out.raw(",\"repos\":[");
    bool cut = false;
    for (size_t i = 0; i < u.repos.size(); ++i) {
        const repo_usage &r = u.repos[i];
        if (!out.fits(kRepoElementFixed + admin_escaped_max(r.name))) {
            cut = true;
            break;
        }
        out.raw(i ? ",{\"name\":" : "{\"name\":");
        out.quoted(r.name);
        out.num("tags", r.tags);
        out.num("manifests", r.manifests);
        out.num("blobs", r.blobs);
        out.num("bytes", r.bytes);
        out.raw("}");
    }
    out.raw(cut ? "],\"repos_cut\":true}" : "],\"repos_cut\":false}");
    return s_result;
}

const char *usage(int64_t quota_bytes) {
    store_usage u;
    walk_blobs(u);
    std::vector<std::string> names;
    admin_find_repos(names, u.unlisted);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names)
        measure_repo(u, name);
    walk_uploads(u);
    return write_usage(u, quota_bytes);
}

const char *repos_list() {
    std::vector<std::string> names, unlisted;
    admin_find_repos(names, unlisted);
    std::sort(names.begin(), names.end());
    admin_json out;
    out.raw("{\"repositories\":[");
    bool cut = false;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!out.fits(kRepoElementFixed + admin_escaped_max(names[i]))) {
            cut = true;
            break;
        }
        out.raw(i ? ",{\"name\":" : "{\"name\":");
        out.quoted(names[i]);
        out.num("tags", static_cast<long long>(tag_names(names[i]).size()));
        out.num("manifests", static_cast<long long>(manifest_hexes(names[i]).size()));
        out.raw("}");
    }
    out.raw(cut ? "],\"cut\":true}" : "],\"cut\":false}");
    return s_result;
}

// A missing or empty content-type file reads as the default type, as a lookup answers.
std::string media_type_of(const std::string &body_path) {
    char type[kTagLinkCap * 2];
    size_t len = 0;
    if (read_file((body_path + ".ct").c_str(), type, sizeof type, &len) != 0 || len == 0) return kDefaultManifestType;
    return std::string(type, len);
}

const char *repo_tags(const char *repo) {
    char dir[kPathMax];
    repo_dir_path(dir, repo);
    if (plat_entry_kind((std::string(dir) + "/_manifests").c_str()) != PLAT_DIR) {
        set_error_kind(REG_ERR_NOT_FOUND, "repository not found: %s", repo);
        return nullptr;
    }
    int64_t now = plat_wall_seconds();
    admin_json out;
    out.raw("{\"repository\":");
    out.quoted(repo);
    out.raw(",\"tags\":[");
    bool cut = false, first = true;
    for (const std::string &tag : tag_names(repo)) {
        char link[kTagLinkCap];
        size_t len = 0;
        if (read_tag_link(repo, tag.c_str(), link, &len) != 0) continue;
        std::string digest(link, len);
        bool is_digest = digest_valid(digest.c_str()) != 0;
        std::string body = is_digest ? std::string(dir) + "/_manifests/" + digest.substr(kDigestPrefixLen) : "";
        int64_t size = -1, mtime = -1;
        if (is_digest && plat_file_info(body.c_str(), &size, nullptr) != 0) size = -1;
        char tag_path[kPathMax];
        manifest_tag_path(tag_path, repo, tag.c_str());
        plat_file_info(tag_path, nullptr, &mtime);
        std::string type = size >= 0 ? media_type_of(body) : "";
        if (!out.fits(admin_escaped_max(tag) + admin_escaped_max(digest) + admin_escaped_max(type) + 128)) {
            cut = true;
            break;
        }
        out.raw(first ? "{\"tag\":" : ",{\"tag\":");
        first = false;
        out.quoted(tag);
        out.raw(",\"digest\":");
        out.quoted(digest);
        out.raw(",\"media_type\":");
        out.quoted(type);
        // -1: the manifest the tag names is not stored; the age is -1 when the link's time is unknown.
        out.num("size", size);
        out.num("age_seconds", mtime >= 0 ? now - mtime : -1);
        out.raw("}");
    }
    out.raw(cut ? "],\"cut\":true}" : "],\"cut\":false}");
    return s_result;
}

template <typename F> const char *started_and_guarded(F &&body) {
    if (!require_ready()) return nullptr;
    return guarded<const char *>(nullptr, body);
}

} // namespace

void admin_find_repos(std::vector<std::string> &repos, std::vector<std::string> &unlisted) {
    repo_walk_visitor visit;
    visit.repository = [&](const std::string &name) { repos.push_back(name); };
    visit.unlisted = [&](const std::string &rel) { unlisted.push_back(rel); };
    for_each_repository(visit);
}

extern "C" {

const char *reg_usage_json(int64_t quota_bytes) {
    return started_and_guarded([&] { return usage(quota_bytes); });
}

const char *reg_repos_json(void) {
    return started_and_guarded([] { return repos_list(); });
}

const char *reg_repo_tags_json(const char *repo_name) {
    if (!repo_name) {
        set_error_kind(REG_ERR_INVALID, "NULL argument");
        return nullptr;
    }
    if (!require_ready()) return nullptr;
    if (!repo_name_valid(repo_name)) {
        set_error_kind(REG_ERR_INVALID, "invalid repository name");
        return nullptr;
    }
    return started_and_guarded([&] { return repo_tags(repo_name); });
}

} // extern "C"
