// stats.cpp - counts of repositories, tags, blobs and uploads, walked afresh on every call.
#include <stdlib.h>

#include <memory>
#include <new>

#include "base/qf_str.h"
#include "platform/platform.h"
#include "storage/storage_internal.h"

namespace {

constexpr char kStatsVersion[] = "1.9.0"; // the storage format version the descriptor carries

// A file whose size cannot be had is still counted; it only adds nothing.
int64_t size_or_zero(const char *path) {
    int64_t size = 0;
    if (plat_file_info(path, &size, nullptr) != 0 || size < 0) return 0;
    return size;
}

// Adds every non-directory entry of one listed directory to the count and sum.
void add_files(const char *dir, const std::vector<dir_item> &list, int *count, int64_t *bytes) {
    for (const dir_item &entry : list) {
        if (entry.is_dir) continue;
        char path[kPathMax];
        qf_snprintf(path, sizeof path, "%s/%s", dir, entry.name.c_str());
        ++*count;
        *bytes += size_or_zero(path);
    }
}

int count_repos() {
    name_list repos;
    repos.collect_repos();
    return repos.count();
}

// Blob files are the files one level below the blob store's top directory;
// neither the fan-out names nor the file names are checked against the digest form.
int64_t count_blobs(int *count_out) {
    *count_out = 0;
    int64_t bytes = 0;
    blob_walk_visitor walk;
    walk.fanout = [&](const std::string &dir, const std::string &, const std::vector<dir_item> &files) {
        add_files(dir.c_str(), files, count_out, &bytes);
        return true;
    };
    for_each_fanout(walk);
    return bytes;
}

// A tag counts when its link can be read, whatever it holds (an empty link too).
int count_tags() {
    name_list repos;
    repos.collect_repos();
    std::vector<dir_item> list;
    int tags = 0;
    for (int r = 0; r < repos.count(); ++r) {
        char tags_dir[kPathMax];
        manifest_tags_dir(tags_dir, repos[r]);
        if (list_dir_all(tags_dir, list) != 0) continue;
        for (const dir_item &entry : list) {
            if (!entry.is_dir) continue;
            char link[kTagLinkCap];
            if (read_tag_link(repos[r], entry.name.c_str(), link, nullptr) == 0) ++tags;
        }
    }
    return tags;
}

// Every file in the upload area is an upload in progress, whatever its name.
int count_uploads(int64_t *bytes_out) {
    *bytes_out = 0;
    int count = 0;
    char dir[kPathMax];
    qf_snprintf(dir, sizeof dir, "%s/uploads", s_root);
    std::vector<dir_item> list;
    if (list_dir_all(dir, list) != 0) return 0;
    add_files(dir, list, &count, bytes_out);
    return count;
}

const char *stats_json() {
    if (!require_ready()) return nullptr;
    int repositories = count_repos();
    int blobs = 0;
    int64_t blob_bytes = count_blobs(&blobs);
    int tags = count_tags();
    int64_t upload_bytes = 0;
    int uploads = count_uploads(&upload_bytes);

    qf_snprintf(s_result, kResultMax,
                "{\"version\":\"%s\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,\"blob_bytes\":%lld,"
                "\"active_uploads\":%d,\"upload_bytes\":%lld}",
                kStatsVersion, repositories, tags, blobs, static_cast<long long>(blob_bytes), uploads,
                static_cast<long long>(upload_bytes));
    return s_result;
}

} // namespace

// Every entry counts however many a directory holds: the quota decides on
// these figures. Without memory for a listing the call fails rather than
// answer with too small a count.
extern "C" const char *reg_storage_get_stats_json(void) {
    return guarded<const char *>(nullptr, [] { return stats_json(); });
}
