// route.cpp - the route table: which handler answers which method and path shape.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "auth/access.h"
#include "base/wire.h"
#include "front/http.h"
#include "front/route.h"

namespace {

constexpr size_t kNameMax = 255;

struct route {
    path_shape shape;
    const char *method;
    handler_fn handler;
    reg_need need; // the right a user must hold
};

constexpr reg_need R = REG_NEED_READ, W = REG_NEED_WRITE, A = REG_NEED_ADMIN;

// HEAD is served by every GET route. A shape with no row for the method is
// answered 405 with the methods it does have. An upload's status is part of
// a push, so it needs the right to write.
const route kRoutes[] = {
    {path_shape::base, "GET", handle_api_base, R},
    {path_shape::catalog, "GET", handle_catalog, R},
    {path_shape::tags_list, "GET", handle_tags_list, R},
    {path_shape::manifest, "GET", handle_manifest_get, R},
    {path_shape::blob, "GET", handle_blob_get, R},
    {path_shape::referrers, "GET", handle_referrers, R},
    {path_shape::manifest, "PUT", handle_manifest_put, W},
    {path_shape::manifest, "DELETE", handle_manifest_delete, W},
    {path_shape::blob, "DELETE", handle_blob_delete, W},
    {path_shape::upload_start, "POST", handle_upload_start, W},
    {path_shape::upload_session, "GET", handle_upload_status, W},
    {path_shape::upload_session, "PATCH", handle_upload_patch, W},
    {path_shape::upload_session, "PUT", handle_upload_finish, W},
    {path_shape::upload_session, "DELETE", handle_upload_cancel, W},
    {path_shape::repository, "DELETE", handle_repo_delete, W},
    {path_shape::admin_usage, "GET", handle_admin_usage, A},
    {path_shape::admin_gc, "GET", handle_admin_gc_status, A},
    {path_shape::admin_gc, "POST", handle_admin_gc_start, A},
    {path_shape::admin_gc, "DELETE", handle_admin_gc_cancel, A},
    {path_shape::admin_retention, "POST", handle_admin_retention, A},
};

std::vector<std::string_view> split_components(std::string_view rest) {
    std::vector<std::string_view> parts;
    for (;;) {
        size_t slash = rest.find('/');
        parts.push_back(rest.substr(0, slash));
        if (slash == std::string_view::npos) return parts;
        rest.remove_prefix(slash + 1);
    }
}

// The components before the last `keep` ones, joined back as they stood.
std::string leading_name(std::string_view rest, const std::vector<std::string_view> &parts, size_t keep) {
    const std::string_view &first_kept = parts[parts.size() - keep];
    size_t end = static_cast<size_t>(first_kept.data() - rest.data());
    return std::string(rest.substr(0, end ? end - 1 : 0));
}

bool alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool hex_lower(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool method_is(const http_request &req, const char *method) {
    if (req.method == method) return true;
    return req.is_head() && strcmp(method, "GET") == 0;
}

std::string allowed_methods(path_shape shape) {
    std::string allow;
    for (const route &r : kRoutes) {
        if (r.shape != shape) continue;
        if (!allow.empty()) allow += ", ";
        allow += r.method;
        if (strcmp(r.method, "GET") == 0) allow += ", HEAD";
    }
    return allow;
}

void refuse_credentials(http_response &resp) {
    respond_json(resp, 401, REGISTRY_AUTH_CHALLENGE_BODY);
    std::string_view challenge = REGISTRY_AUTH_CHALLENGE_HEADER;
    size_t colon = challenge.find(':');
    resp.header(std::string(challenge.substr(0, colon)), std::string(challenge.substr(colon + 2)));
}

// The right a request needs before anything else is looked at. A method the
// shape does not have, or no route at all, needs the least: such requests
// are refused further on anyway. Every admin path needs admin, so even its
// 405 tells an ordinary user nothing.
reg_need request_need(const http_request &req, path_shape shape) {
    reg_need need = REG_NEED_READ;
    for (const route &r : kRoutes) {
        if (r.shape != shape) continue;
        if (method_is(req, r.method)) return r.need;
        if (r.need == REG_NEED_ADMIN) need = REG_NEED_ADMIN;
    }
    return need;
}

bool changes_state(const http_request &req) {
    return req.method == "PUT" || req.method == "POST" || req.method == "PATCH" || req.method == "DELETE";
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The host[:port] of an Origin header value ("scheme://host[:port]"), or
// empty when it has no such form ("null" included).
std::string origin_authority(std::string_view origin) {
    size_t sep = origin.find("://");
    if (sep == std::string_view::npos) return "";
    std::string_view authority = origin.substr(sep + 3);
    if (authority.empty() || authority.find('/') != std::string_view::npos) return "";
    return ascii_lower(authority);
}

// Browsers tell where a request comes from; other clients send neither
// header. A page of another origin may make a browser send a form or a
// script's request with the Basic credentials it holds for us, so a request
// that changes something must come from our own origin or from no page.
bool cross_site(const http_request &req) {
    if (!req.fetch_site.empty()) return req.fetch_site != "same-origin" && req.fetch_site != "none";
    if (req.origin.empty()) return false;
    std::string from = origin_authority(req.origin);
    return from.empty() || req.host.empty() || from != ascii_lower(req.host);
}

// False when the request may not go on; the answer is then in resp.
bool access_allowed(const http_request &req, path_shape shape, http_response &resp) {
    reg_access decision;
    registry_access_decide(req.authorization.c_str(), request_need(req, shape), req.client.c_str(), &decision);
    switch (decision.status) {
    case 0:
        if (decision.actor[0]) resp.actor = decision.actor;
        return true;
    case 401: refuse_credentials(resp); return false;
    case 403:
        resp.actor = decision.actor;
        respond_error(resp, 403, "DENIED", "the user may not do this");
        return false;
    case 429:
        respond_error(resp, 429, registry_access_refusal_code(429), registry_access_refusal_message(429));
        return false;
    default:
        // The operator reads the cause in the server's error log; the
        // client learns nothing about the server's files.
        fprintf(stderr, "registry: refusing every request: %s\n", decision.problem);
        respond_error(resp, 500, registry_access_refusal_code(500), registry_access_refusal_message(500));
        return false;
    }
}

// Every answer is data, never a document: nothing in it may run or be
// sniffed into a type that runs, whatever a stored manifest claims.
void add_security_headers(http_response &resp) {
    resp.header("X-Content-Type-Options", "nosniff");
    resp.header("Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'; sandbox");
}

void dispatch(const http_request &req, http_response &resp) {
    route_match m;
    path_shape shape = match_path(req.path, m);
    if (changes_state(req) && cross_site(req)) {
        respond_error(resp, 403, "DENIED", "a request from another site's page is refused");
        return;
    }
    // Credentials come before anything else on every path: a client must not
    // learn even which repositories exist without them.
    if (!access_allowed(req, shape, resp)) return;

    if (!req.raw_path.empty() && raw_path_malformed(req.raw_path)) {
        respond_error(resp, 400, "NAME_INVALID", "malformed path");
        return;
    }
    if (shape == path_shape::none) {
        respond_error(resp, 404, "UNSUPPORTED", "no such route");
        return;
    }
    const route *found = nullptr;
    bool shape_known = false;
    for (const route &r : kRoutes) {
        if (r.shape != shape) continue;
        shape_known = true;
        if (method_is(req, r.method)) {
            found = &r;
            break;
        }
    }
    if (!shape_known) {
        respond_error(resp, 404, "UNSUPPORTED", "no such route");
        return;
    }
    if (!found) {
        respond_error(resp, 405, "UNSUPPORTED", "method not allowed: " + req.method);
        resp.header("Allow", allowed_methods(shape));
        return;
    }
    bool named = shape != path_shape::base && shape != path_shape::catalog && shape != path_shape::admin_usage &&
                 shape != path_shape::admin_gc && shape != path_shape::admin_retention;
    if (named && !api_name_valid(m.name)) {
        // A path that names no valid repository under the repository route
        // is no route at all.
        if (shape == path_shape::repository)
            respond_error(resp, 404, "NAME_UNKNOWN", "repository name not known");
        else
            respond_error(resp, 400, "NAME_INVALID", "invalid repository name");
        return;
    }
    found->handler(req, m, resp);
}

} // namespace

// Matched from the end: a repository name may itself hold "manifests",
// "blobs" or "tags" as a component, but the reference, digest or upload id
// after the keyword never holds a '/'.
path_shape match_path(std::string_view path, route_match &m) {
    m = route_match{};
    if (path.substr(0, 3) != "/v2") return path_shape::none;
    std::string_view rest = path.substr(3);
    if (rest.empty() || rest == "/") return path_shape::base;
    if (rest[0] != '/') return path_shape::none;
    rest.remove_prefix(1);
    if (rest == "_catalog") return path_shape::catalog;
    // No repository name can start with '_', so these never shadow one.
    if (rest == "_admin/usage") return path_shape::admin_usage;
    if (rest == "_admin/gc") return path_shape::admin_gc;
    if (rest == "_admin/retention") return path_shape::admin_retention;
    if (rest.substr(0, 6) == "_admin") return path_shape::none;

    std::vector<std::string_view> parts = split_components(rest);
    size_t n = parts.size();
    auto at_end = [&](size_t k) { return parts[n - k]; };
    if (n >= 3 && at_end(2) == "tags" && at_end(1) == "list") {
        m.name = leading_name(rest, parts, 2);
        return path_shape::tags_list;
    }
    if (n >= 3 && at_end(2) == "manifests") {
        m.name = leading_name(rest, parts, 2);
        m.tail = std::string(at_end(1));
        return path_shape::manifest;
    }
    if (n >= 4 && at_end(3) == "blobs" && at_end(2) == "uploads") {
        m.name = leading_name(rest, parts, 3);
        m.tail = std::string(at_end(1));
        return m.tail.empty() ? path_shape::upload_start : path_shape::upload_session;
    }
    if (n >= 3 && at_end(2) == "blobs" && at_end(1) == "uploads") {
        m.name = leading_name(rest, parts, 2);
        return path_shape::upload_start;
    }
    if (n >= 3 && at_end(2) == "blobs") {
        m.name = leading_name(rest, parts, 2);
        m.tail = std::string(at_end(1));
        return path_shape::blob;
    }
    if (n >= 3 && at_end(2) == "referrers") {
        m.name = leading_name(rest, parts, 2);
        m.tail = std::string(at_end(1));
        return path_shape::referrers;
    }
    m.name = std::string(rest);
    if (!m.name.empty() && m.name.back() == '/') m.name.pop_back();
    return path_shape::repository;
}

// Components of lower- or upper-case letters and digits, joined inside by
// '.', '_', "__" or runs of '-', separated by single '/'. No component can
// be "." or "..", start with '_' (so "_catalog" and "_admin" are never
// names) or address the engine's own directories.
bool api_name_valid(std::string_view name) {
    if (name.empty() || name.size() > kNameMax) return false;
    for (std::string_view comp : split_components(name)) {
        if (comp.empty() || !alnum(comp.front()) || !alnum(comp.back())) return false;
        for (size_t i = 0; i < comp.size(); ++i) {
            char c = comp[i];
            if (alnum(c) || c == '-') continue;
            if (c == '.' && alnum(comp[i + 1])) continue;
            if (c == '_' && (alnum(comp[i + 1]) || (comp[i + 1] == '_' && alnum(comp[i + 2])))) {
                if (comp[i + 1] == '_') ++i;
                continue;
            }
            return false;
        }
    }
    return true;
}

// [A-Za-z0-9_][A-Za-z0-9._-]{0,127}
bool api_tag_valid(std::string_view tag) {
    if (tag.empty() || tag.size() > 128) return false;
    if (!alnum(tag[0]) && tag[0] != '_') return false;
    for (char c : tag)
        if (!alnum(c) && c != '_' && c != '.' && c != '-') return false;
    return true;
}

bool api_digest_valid(std::string_view digest) {
    if (digest.size() != 71 || digest.substr(0, 7) != "sha256:") return false;
    for (char c : digest.substr(7))
        if (!hex_lower(c)) return false;
    return true;
}

void registry_dispatch(const http_request &req, http_response &resp) {
    dispatch(req, resp);
    add_security_headers(resp);
}
