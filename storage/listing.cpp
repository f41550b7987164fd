// listing.cpp - the tag list of a repository and the repository catalog, sorted and paged.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "base/qf_str.h"
#include "storage/storage_internal.h"

namespace {

constexpr size_t kEscapeReserve = 8; // quotes and separator that follow an escaped name

// Writes into the result buffer from its start; the text is always terminated
// and is cut at the buffer's end instead of running past it.
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

    void escaped(const char *text) {
        size_t room = kResultMax - pos_;
        if (room > kEscapeReserve) pos_ += json_escape_append(s_result + pos_, room - kEscapeReserve, text);
    }

    void quoted(const char *text) {
        raw("\"");
        escaped(text);
        raw("\"");
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
page cut_page(const name_list &names, int n, const std::string &last, int *has_more, char *last_out,
              size_t last_out_size) {
    page p{page_start(names, last), names.count()};
    if (n > 0 && n < p.end - p.start) p.end = p.start + n;
    if (has_more) *has_more = p.end < names.count() ? 1 : 0;
    if (p.end > p.start && last_out && last_out_size > 0) qf_strlcpy(last_out, names[p.end - 1], last_out_size);
    return p;
}

void write_names(result_writer &out, const name_list &names, page p) {
    for (int i = p.start; i < p.end; ++i) {
        if (i > p.start) out.raw(",");
        out.quoted(names[i]);
    }
    out.raw("]}");
}

// A tag is a directory whose link can be read; a tag directory left without
// its link by a deletion is not a tag any more.
void gather_tags(const char *repo_name, name_list &names) {
    char tags_dir[kPathMax];
    manifest_tags_dir(tags_dir, repo_name);
    std::unique_ptr<dir_list> list = new_listing();
    if (!list || list_dir(tags_dir, list.get()) != 0) return;
    for (int i = 0; i < list->count; ++i) {
        const dir_entry &entry = list->entries[i];
        if (!entry.is_dir) continue;
        char link[kTagLinkCap];
        if (read_tag_link(repo_name, entry.name, link, nullptr) == 0) names.add(entry.name);
    }
}

} // namespace

extern "C" {

const char *reg_tags_list_json_page(const char *repo_name, int n, const char *last, int *has_more, char *last_out,
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
    if (!names.allocated()) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return nullptr;
    }
    gather_tags(repo_name, names);
    names.sort();
    page p = cut_page(names, n, cursor, has_more, last_out, last_out_size);

    result_writer out;
    out.raw("{\"name\":\"");
    out.escaped(repo_name);
    out.raw("\",\"tags\":[");
    write_names(out, names, p);
    return s_result;
}

const char *reg_tags_list_json(const char *repo_name) {
    return reg_tags_list_json_page(repo_name, 0, nullptr, nullptr, nullptr, 0);
}

const char *reg_catalog_json_page(int n, const char *last, int *has_more, char *last_out, size_t last_out_size) {
    std::string cursor = take_cursor_and_reset(last, has_more, last_out, last_out_size);
    if (!require_ready()) return nullptr;
    name_list names;
    if (!names.allocated()) {
        set_error_kind(REG_ERR_NO_MEMORY, "out of memory");
        return nullptr;
    }
    names.collect_repos();
    names.sort();
    page p = cut_page(names, n, cursor, has_more, last_out, last_out_size);

    result_writer out;
    out.raw("{\"repositories\":[");
    write_names(out, names, p);
    return s_result;
}

const char *reg_catalog_json(int n, const char *last) { return reg_catalog_json_page(n, last, nullptr, nullptr, 0); }

} // extern "C"
