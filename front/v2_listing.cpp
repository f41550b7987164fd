// v2_listing.cpp - the API root, the repository catalog and a repository's tag list.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "front/http.h"

namespace {

// One page never holds more than this many names, so it always fits the
// engine's result buffer; a client asking for more pages on through Link.
constexpr int kPageMax = 1000;
constexpr size_t kCursorMax = 512;
constexpr char kBadNumber[] = "n must be a non-negative number";

std::string url_encode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

struct page_request {
    int n = kPageMax; // page size asked for, capped
    bool empty = false; // n=0: an empty list, no Link
    std::string last;
};

// false when n or last is unusable (the 400 is answered).
bool parse_page(const http_request &req, page_request &page, http_response &resp) {
    std::string n_text;
    bool has_n = false, has_last = false;
    if (!query_param(req.query, "n", n_text, has_n) || !query_param(req.query, "last", page.last, has_last)) {
        respond_error(resp, 400, "UNSUPPORTED", "malformed query string");
        return false;
    }
    if (page.last.size() >= kCursorMax || page.last.find('\0') != std::string::npos) {
        respond_error(resp, 400, "UNSUPPORTED", "last is too long");
        return false;
    }
    if (!has_n) return true;
    if (n_text.empty() || n_text.size() > 18 || n_text.find_first_not_of("0123456789") != std::string::npos) {
        respond_error(resp, 400, "PAGINATION_NUMBER_INVALID", kBadNumber);
        return false;
    }
    long long n = strtoll(n_text.c_str(), nullptr, 10);
    page.empty = n == 0;
    page.n = n < kPageMax ? static_cast<int>(n) : kPageMax;
    return true;
}

// A page of names from the engine; has_more and the last name given say
// whether a Link to the next page is owed.
using page_fn = const char *(*)(const char *name, int n, const char *last, int *has_more, char *last_out,
                                size_t cap);

const char *tags_page(const char *name, int n, const char *last, int *has_more, char *last_out, size_t cap) {
    return reg_tags_list_json_page(name, n, last, has_more, last_out, cap);
}

const char *catalog_page(const char *, int n, const char *last, int *has_more, char *last_out, size_t cap) {
    return reg_catalog_json_page(n, last, has_more, last_out, cap);
}

void answer_page(const page_request &page, const std::string &name, const std::string &link_path, page_fn fetch,
                 http_response &resp) {
    int has_more = 0;
    char last_out[kCursorMax] = "";
    const char *json = fetch(name.c_str(), page.n, page.last.c_str(), &has_more, last_out, sizeof last_out);
    if (!json) {
        respond_engine_error(resp, engine_op::listing);
        return;
    }
    std::string body = json;
    body += '\n';
    respond_json(resp, 200, std::move(body));
    if (has_more && last_out[0])
        resp.header("Link", "<" + link_path + "?n=" + std::to_string(page.n) + "&last=" + url_encode(last_out) +
                                ">; rel=\"next\"");
}

} // namespace

void handle_api_base(const http_request &, const route_match &, http_response &resp) {
    respond_json(resp, 200, "{}\n");
}

void handle_catalog(const http_request &req, const route_match &, http_response &resp) {
    page_request page;
    if (!parse_page(req, page, resp)) return;
    if (!front_storage_ready(resp)) return;
    if (page.empty) {
        respond_json(resp, 200, "{\"repositories\":[]}\n");
        return;
    }
    answer_page(page, "", "/v2/_catalog", catalog_page, resp);
}

void handle_tags_list(const http_request &req, const route_match &m, http_response &resp) {
    page_request page;
    if (!parse_page(req, page, resp)) return;
    if (!front_storage_ready(resp)) return;
    int exists = reg_repo_exists(m.name.c_str());
    if (exists < 0) {
        respond_engine_error(resp, engine_op::listing);
        return;
    }
    if (exists == 0) {
        respond_error(resp, 404, "NAME_UNKNOWN", "repository name not known: " + m.name);
        return;
    }
    if (page.empty) {
        respond_json(resp, 200, "{\"name\":\"" + m.name + "\",\"tags\":[]}\n");
        return;
    }
    answer_page(page, m.name, "/v2/" + m.name + "/tags/list", tags_page, resp);
}
