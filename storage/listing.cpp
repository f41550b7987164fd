// listing.cpp - the tag list of a repository and the repository catalog, sorted and paged.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "base/qf_str.h"
#include "storage/storage_internal.h"

namespace {

// One name at its longest, every byte escaped to six characters, with its
// quotes and separator.
constexpr size_t kQuotedMax = 6 * 1024 + 8;
constexpr char kListClose[] = "]}";

// Writes into the result buffer from its start; the text is always terminated.
// A name goes in whole or not at all, and only while the list's closing still
// fits behind it, so the answer stays valid JSON however many names there are.
class result_writer {
public:
    result_writer() { s_result[0] = '\0'; }

    void raw(std::string_view text) {
        size_t room = kResultMax - 1 - pos_;
        size_t n = text.size() < room ? text.size() : room;
        memcpy(s_result + pos_, text.data(), n);
        pos_ += n;
        s_result[pos_] = '\0';
    }

    // false when the name would not fit before the closing.
    bool name(const char *text, bool first) {
        char quoted[kQuotedMax];
        size_t n = 0;
        if (!first) quoted[n++] = ',';
        quoted[n++] = '"';
        n += json_escape_append(quoted + n, sizeof quoted - n - 2, text);
        quoted[n++] = '"';
        if (pos_ + n + sizeof kListClose > kResultMax) return false;
        raw(std::string_view(quoted, n));
        return true;
    }

    void escaped(const char *text) {
        char buf[kQuotedMax];
        size_t n = json_escape_append(buf, sizeof buf, text);
        raw(std::string_view(buf, n));
    }

private:
    size_t pos_ = 0;
};

struct page {
    int start;
    int end;
};

// The cursor is copied before last_out is emptied: a caller paging through a
// list naturally hands back last time's last_out as both cursor and output.
std::string take_cursor_and_reset(const char *last, int *has_more, char *last_out, size_t last_out_size) {
    std::string cursor = last ? last : "";
    if (has_more) *has_more = 0;
    if (last_out && last_out_size > 0) last_out[0] = '\0';
    return cursor;
}

// The cursor is the last name the client has seen; it need not be listed.
int page_start(const name_list &names, const std::string &last) {
    if (last.empty()) return 0;
    for (int i = 0; i < names.count(); ++i) {
        int cmp = strcmp(names[i], last.c_str());
        if (cmp == 0) return i + 1;
        if (cmp > 0) return i;
    }
    return names.count();
}

// n is compared with what is left rather than added to the start, so a page
// size near INT_MAX cannot overflow into a negative end.
page cut_page(const name_list &names, int n, const std::string &last) {
    page p{page_start(names, last), names.count()};
    if (n > 0 && n < p.end - p.start) p.end = p.start + n;
    return p;
}

// Writes the page's names and the list's closing. A page that does not fit in
// the result buffer ends early; has_more and last_out then let the caller go
// on from the last name written, so paging reaches every name.
void write_names(result_writer &out, const name_list &names, page p, int *has_more, char *last_out,
                 size_t last_out_size) {
    int end = p.start;
    while (end < p.end && out.name(names[end], end == p.start))
        ++end;
    out.raw(kListClose);
    if (has_more) *has_more = end < names.count() ? 1 : 0;
    if (end > p.start && last_out && last_out_size > 0) qf_strlcpy(last_out, names[end - 1], last_out_size);
}

// A tag is a directory whose link can be read; a tag directory left without
// its link by a deletion is not a tag any more. Every tag directory counts,
// however many the repository holds.
void gather_tags(const char *repo_name, name_list &names) {
    char tags_dir[kPathMax];
    manifest_tags_dir(tags_dir, repo_name);
    std::vector<dir_item> list;
    if (list_dir_all(tags_dir, list) != 0) return;
    for (const dir_item &entry : list) {
        if (!entry.is_dir) continue;
        char link[kTagLinkCap];
        if (read_tag_link(repo_name, entry.name.c_str(), link, nullptr) == 0) names.add(entry.name.c_str());
    }
}

const char *tags_page(const char *repo_name, int n, const char *last, int *has_more, char *last_out,
                      size_t last_out_size) {
    std::string cursor = take_cursor_and_reset(last, has_more, last_out, last_out_size);
    if (!repo_name) {
        set_error_kind(REG_ERR_INVALID, "repo_name is NULL");
        return nullptr;
    }
    if (!require_ready()) return nullptr;
    if (!repo_name_valid(repo_name)) {
        set_error_kind(REG_ERR_INVALID, "invalid repository name");
        return nullptr;
    }
    name_list names;
    gather_tags(repo_name, names);
    names.sort();
    page p = cut_page(names, n, cursor);

    result_writer out;
    out.raw("{\"name\":\"");
    out.escaped(repo_name);
    out.raw("\",\"tags\":[");
    write_names(out, names, p, has_more, last_out, last_out_size);
    return s_result;
}

const char *catalog_page(int n, const char *last, int *has_more, char *last_out, size_t last_out_size) {
    std::string cursor = take_cursor_and_reset(last, has_more, last_out, last_out_size);
    if (!require_ready()) return nullptr;
    name_list names;
    names.collect_repos();
    names.sort();
    page p = cut_page(names, n, cursor);

    result_writer out;
    out.raw("{\"repositories\":[");
    write_names(out, names, p, has_more, last_out, last_out_size);
    return s_result;
}

// A failure leaves no page reported, whatever was set before it.
void forget_page(int *has_more, char *last_out, size_t last_out_size) {
    if (has_more) *has_more = 0;
    if (last_out && last_out_size > 0) last_out[0] = '\0';
}

} // namespace

extern "C" {

const char *reg_tags_list_json_page(const char *repo_name, int n, const char *last, int *has_more, char *last_out,
                                    size_t last_out_size) {
    const char *json = guarded<const char *>(
        nullptr, [&] { return tags_page(repo_name, n, last, has_more, last_out, last_out_size); });
    if (!json) forget_page(has_more, last_out, last_out_size);
    return json;
}

const char *reg_tags_list_json(const char *repo_name) {
    return reg_tags_list_json_page(repo_name, 0, nullptr, nullptr, nullptr, 0);
}

const char *reg_catalog_json_page(int n, const char *last, int *has_more, char *last_out, size_t last_out_size) {
    const char *json =
        guarded<const char *>(nullptr, [&] { return catalog_page(n, last, has_more, last_out, last_out_size); });
    if (!json) forget_page(has_more, last_out, last_out_size);
    return json;
}

const char *reg_catalog_json(int n, const char *last) { return reg_catalog_json_page(n, last, nullptr, nullptr, 0); }

} // extern "C"
