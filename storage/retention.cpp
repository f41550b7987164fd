// retention.cpp - pruning tags across every repository: the newest few of each stay, older or aged ones go.
#include <string.h>

#include <algorithm>
#include <vector>

#include "base/qf_str.h"
#include "platform/platform.h"
#include "storage/storage_internal.h"

namespace {

constexpr int kReportListMax = 500; // elements of the report's "deleted" list
constexpr int64_t kDaySeconds = 86400;
constexpr size_t kNameField = 256; // repository or tag, with terminator
constexpr size_t kDigestField = kDigestLen + 1;
// One element at its longest: both names and the digest with every byte
// escaped to six characters, and the fixed pieces around them.
constexpr size_t kElementMax = 8192;
constexpr char kListClose[] = "]}";

struct tag_record {
    char repository[kNameField];
    char tag[kNameField];
    char digest[kDigestField];
    int64_t time;
    int selected;
};

// Repository by name, then newest first, then tag by name; bytes compare unsigned.
int retention_tag_cmp(const tag_record *a, const tag_record *b) {
    if (int c = strcmp(a->repository, b->repository)) return c;
    if (a->time != b->time) return a->time > b->time ? -1 : 1;
    return strcmp(a->tag, b->tag);
}

// The link's last-write time; false when the entry is to be passed over. A
// link whose time cannot be had still takes part, as the oldest possible.
bool link_time(const char *path, int64_t *time) {
    int64_t mtime = -1;
    if (plat_file_info(path, nullptr, &mtime) == 0 && mtime >= 0) {
        *time = mtime;
        return true;
    }
    int kind = plat_entry_kind(path);
    if (kind == PLAT_ABSENT || kind == PLAT_DIR) return false;
    *time = 0;
    return true;
}

// Adds every tag of one repository: a tag left unseen would let an older one
// count among the newest kept, and a newer one be deleted in its place.
void gather_repo(const char *repo, std::vector<tag_record> &records) {
    char tags_dir[kPathMax];
    manifest_tags_dir(tags_dir, repo);
    std::vector<dir_item> listing;
    if (list_dir_all(tags_dir, listing) != 0) return;
    for (const dir_item &item : listing) {
        if (!item.is_dir) continue;
        const char *name = item.name.c_str();
        // A record holds at most kTagMax bytes of the tag; a longer name cut
        // down would name another tag when it is deleted.
        if (item.name.size() > kTagMax) continue;
        char link_path[kPathMax];
        manifest_tag_path(link_path, repo, name);
        int64_t time = 0;
        if (!link_time(link_path, &time)) continue;
        char link[kTagLinkCap];
        if (read_file(link_path, link, sizeof link, nullptr) != 0) continue;
        if (strncmp(link, "sha256:", kDigestPrefixLen) != 0) continue;

        tag_record &rec = records.emplace_back();
        qf_strlcpy(rec.repository, repo, sizeof rec.repository);
        qf_strlcpy(rec.tag, name, sizeof rec.tag);
        qf_strlcpy(rec.digest, link, sizeof rec.digest);
        rec.time = time;
        rec.selected = 0;
    }
}

// Every repository's tags, in discovery order.
void gather(std::vector<tag_record> &records, int *repos_scanned) {
    name_list repos;
    repos.collect_repos();
    *repos_scanned = repos.count();
    for (int r = 0; r < repos.count(); ++r) {
        // Discovery joins nested directories into names of up to 1023
        // characters. A name cut to a record's 255 could be another
        // repository's name (a parent's or a sibling's), whose tags would then
        // be counted and deleted as if they were these; no engine operation
        // addresses such a name anyway.
        if (strlen(repos[r]) > kRepoNameMax) continue;
        gather_repo(repos[r], records);
    }
}

struct selection {
    int selected = 0;
    int latest_protected = 0;
};

// Records are sorted, so one repository's records are adjacent, newest first.
selection select_records(tag_record *records, int count, int keep_n, int days, int include_latest, int64_t now) {
    selection out;
    const char *current = nullptr;
    int position = 0;
    for (int i = 0; i < count; ++i) {
        tag_record &rec = records[i];
        if (!current || strcmp(rec.repository, current) != 0) {
            current = rec.repository;
            position = 0;
        }
        ++position;
        bool chosen = (keep_n > 0 && position > keep_n) ||
                      (days > 0 && now - rec.time >= static_cast<int64_t>(days) * kDaySeconds);
        if (!chosen) continue;
        if (!include_latest && strcmp(rec.tag, "latest") == 0) {
            ++out.latest_protected;
            continue;
        }
        rec.selected = 1;
        ++out.selected;
    }
    return out;
}

// Deletes the selected tags in sorted order; the number that went.
int delete_selected(const tag_record *records, int count) {
    int deleted = 0;
    for (int i = 0; i < count; ++i) {
        const tag_record &rec = records[i];
        if (!rec.selected) continue;
        // Such a tag would be taken as a digest reference and delete the
        // manifest with every tag that names it; it stays, like a tag whose
        // deletion failed.
        if (strncmp(rec.tag, "sha256:", kDigestPrefixLen) == 0) continue;
        if (reg_manifest_delete(rec.repository, rec.tag) == 0) ++deleted;
    }
    return deleted;
}

size_t format_element(const tag_record &rec, int64_t now, char *out) {
    size_t n = qf_snprintf(out, kElementMax, "{\"repository\":\"");
    n += json_escape_append(out + n, kElementMax - n, rec.repository);
    n += qf_snprintf(out + n, kElementMax - n, "\",\"tag\":\"");
    n += json_escape_append(out + n, kElementMax - n, rec.tag);
    n += qf_snprintf(out + n, kElementMax - n, "\",\"digest\":\"");
    // A valid digest escapes to itself; anything else a link may hold after
    // "sha256:" must not break the report.
    n += json_escape_append(out + n, kElementMax - n, rec.digest);
    n += qf_snprintf(out + n, kElementMax - n, "\",\"age_days\":%lld}",
                     static_cast<long long>((now - rec.time) / kDaySeconds));
    return n;
}

// Appends the selected records' elements after the opening of length len.
// Each element goes in whole or not at all, and only while the closing of the
// list still fits behind it, so the report stays valid JSON within the result
// buffer however long the escaped names grow. The number of elements written.
int write_elements(const tag_record *records, int count, int64_t now, size_t *len) {
    char element[kElementMax];
    int written = 0;
    for (int i = 0; i < count && written < kReportListMax; ++i) {
        if (!records[i].selected) continue;
        size_t elen = format_element(records[i], now, element);
        size_t sep = written > 0 ? 1 : 0;
        if (*len + sep + elen + sizeof kListClose > kResultMax) break;
        if (sep) s_result[(*len)++] = ',';
        memcpy(s_result + *len, element, elen);
        *len += elen;
        ++written;
    }
    return written;
}

const char *retention_json(int dry_run, int keep_n, int days, int include_latest, int *list_cut) {
    if (list_cut) *list_cut = 0;
    if (!require_ready()) return nullptr;

    keep_n = std::max(keep_n, 0);
    days = std::max(days, 0);
    // One reading: every age in the run is measured against the same moment.
    const int64_t now = plat_wall_seconds();
    int repos_scanned = 0;
    std::vector<tag_record> records;
    gather(records, &repos_scanned);
    int count = static_cast<int>(records.size());

    std::sort(records.begin(), records.end(),
              [](const tag_record &a, const tag_record &b) { return retention_tag_cmp(&a, &b) < 0; });
    selection chosen = select_records(records.data(), count, keep_n, days, include_latest, now);
    int deleted = dry_run ? chosen.selected : delete_selected(records.data(), count);

    size_t len = qf_snprintf(s_result, kResultMax,
                             "{\"dry_run\":%s,\"keep_n\":%d,\"days\":%d,\"include_latest\":%s,\"repos_scanned\":%d,"
                             "\"tags_total\":%d,\"tags_deleted\":%d,\"tags_kept\":%d,\"latest_protected\":%d,"
                             "\"deleted\":[",
                             dry_run ? "true" : "false", keep_n, days, include_latest ? "true" : "false",
                             repos_scanned, count, deleted, count - deleted, chosen.latest_protected);
    int written = write_elements(records.data(), count, now, &len);
    memcpy(s_result + len, kListClose, sizeof kListClose);
    if (list_cut) *list_cut = written < chosen.selected ? 1 : 0;
    s_error[0] = '\0';
    return s_result;
}

} // namespace

// The report's list of deleted tags is a bounded preview (kReportListMax
// elements, within the result buffer); the counts cover every tag.
extern "C" const char *reg_retention_json(int dry_run, int keep_n, int days, int include_latest, int *list_cut) {
    const char *json = guarded<const char *>(
        nullptr, [&] { return retention_json(dry_run, keep_n, days, include_latest, list_cut); });
    if (!json && list_cut) *list_cut = 0;
    return json;
}
