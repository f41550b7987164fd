// v2_manifests.cpp - manifests by tag or digest.
#include <stdlib.h>
#include <time.h>

#include <string>

#include "base/qf_str.h"
#include "digest/sha256.h"
#include "front/body.h"
#include "front/http.h"
#include "platform/json_doc.h"

namespace {

// The largest manifest body taken; real ones are a few KiB, an index of
// every platform some tens.
constexpr size_t kManifestMax = 4 * 1024 * 1024;
// Real manifests nest a handful of levels; deeper input is refused before a
// parser sees it.
constexpr int kManifestDepthMax = 256;
constexpr char kTooLarge[] = "manifest too large: the limit is 4 MiB";
constexpr char kTooDeep[] = "manifest invalid: JSON nested too deep";
constexpr char kShortBody[] = "request body shorter than Content-Length";

struct heap_body {
    char *p = nullptr;
    ~heap_body() { free(p); }
};

// A reference that is neither a tag nor a digest of the one algorithm the
// store keeps is refused before the engine sees it.
bool reference_usable(const std::string &reference, http_response &resp) {
    if (api_tag_valid(reference) || api_digest_valid(reference)) return true;
    respond_error(resp, 400, "MANIFEST_INVALID", "invalid reference: not a tag or a sha256 digest");
    return false;
}

// The media types a manifest may be stored and served with: those of the
// OCI and Docker image formats, which all end in "+json" but for the signed
// Docker schema 1, or any other "+json" type (artifacts). Anything else,
// text/html above all, would let a stored document run in a browser.
bool manifest_type_acceptable(std::string_view type) {
    type = type.substr(0, type.find(';'));
    while (!type.empty() && type.back() == ' ')
        type.remove_suffix(1);
    std::string t(type);
    for (char &c : t)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    static constexpr std::string_view kJson = "+json";
    if (t.size() > kJson.size() && t.compare(t.size() - kJson.size(), kJson.size(), kJson) == 0) return true;
    return t == "application/vnd.docker.distribution.manifest.v1+prettyjws";
}

// An HTTP date (IMF-fixdate), written without the locale's help: "Sun, 06
// Nov 1994 08:49:37 GMT". "" for a time that has no such date.
std::string http_date(int64_t seconds) {
    static constexpr char kDays[][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr char kMonths[][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (seconds < 0 || gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 > 9999) return "";
    char out[32];
    qf_snprintf(out, sizeof out, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday], tm.tm_mday,
                kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return out;
}

// When the tag (or, by digest, the manifest) was stored. Left out when the
// time cannot be had: the answer is whole without it.
void add_last_modified(const route_match &m, http_response &resp) {
    int64_t stored = -1;
    if (reg_manifest_time(m.name.c_str(), m.tail.c_str(), &stored) != 0) return;
    std::string date = http_date(stored);
    if (!date.empty()) resp.header("Last-Modified", date);
}

} // namespace

void handle_manifest_get(const http_request &, const route_match &m, http_response &resp) {
    // A reference that can name nothing stored is a manifest not found, as
    // for any other missing one; only a store of it is refused as invalid.
    if (!api_tag_valid(m.tail) && !api_digest_valid(m.tail)) {
        respond_error(resp, 404, "MANIFEST_UNKNOWN", "manifest unknown: not a tag or a sha256 digest");
        return;
    }
    if (!front_storage_ready(resp)) return;
    heap_body body;
    size_t len = 0;
    char content_type[128] = "";
    char digest[72] = "";
    if (reg_manifest_read(m.name.c_str(), m.tail.c_str(), &body.p, &len, content_type, digest) != 0) {
        // An unknown repository is told apart from an unknown manifest.
        if (reg_storage_last_error_kind() == REG_ERR_NOT_FOUND && reg_repo_exists(m.name.c_str()) == 0) {
            respond_error(resp, 404, "NAME_UNKNOWN", "repository name not known: " + m.name);
            return;
        }
        respond_engine_error(resp, engine_op::manifest_get);
        return;
    }
    // A manifest stored before types were checked is still served, as bytes.
    const char *type = manifest_type_acceptable(content_type) ? content_type : "application/octet-stream";
    respond_json(resp, 200, std::string(body.p, len), type);
    resp.header("Docker-Content-Digest", digest);
    add_last_modified(m, resp);
}

namespace {

// Brackets outside strings, counted without parsing.
bool nesting_within(std::string_view text, int max_depth) {
    int depth = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

std::string body_digest(const std::string &body) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, body.data(), body.size());
    uint8_t hash[32];
    sha256_final(&ctx, hash);
    char text[SHA256_TEXT_SIZE];
    sha256_digest_text(hash, text);
    return text;
}

// The digest the manifest names as its subject, or "".
std::string subject_of(const std::string &body) {
    json_doc_ptr doc(json_read(body.data(), body.size()));
    json_val *digest = json_obj_get(json_obj_get(json_doc_root(doc.get()), "subject"), "digest");
    if (!json_is_str(digest) || !api_digest_valid(std::string_view(json_get_str(digest), json_get_len(digest))))
        return "";
    return json_get_str(digest);
}

// Reads the body within the limit; false when answered.
bool manifest_body(const http_request &req, std::string &body, http_response &resp) {
    switch (read_whole_body(req, kManifestMax, body)) {
    case body_status::ok: break;
    case body_status::too_large: respond_error(resp, 413, "MANIFEST_INVALID", kTooLarge); return false;
    case body_status::short_body: respond_error(resp, 400, "MANIFEST_INVALID", kShortBody); return false;
    case body_status::read_error: respond_error(resp, 400, "MANIFEST_INVALID", "request body could not be read"); return false;
    }
    if (!nesting_within(body, kManifestDepthMax)) {
        respond_error(resp, 400, "MANIFEST_INVALID", kTooDeep);
        return false;
    }
    return true;
}

// A failed lookup or delete of a manifest in a repository that does not exist
// says so.
void manifest_failure(const route_match &m, engine_op op, http_response &resp) {
    if (reg_storage_last_error_kind() == REG_ERR_NOT_FOUND && reg_repo_exists(m.name.c_str()) == 0) {
        respond_error(resp, 404, "NAME_UNKNOWN", "repository name not known: " + m.name);
        return;
    }
    respond_engine_error(resp, op);
}

} // namespace

void handle_manifest_put(const http_request &req, const route_match &m, http_response &resp) {
    if (!reference_usable(m.tail, resp)) return;
    if (!req.content_type.empty() && !manifest_type_acceptable(req.content_type)) {
        respond_error(resp, 400, "MANIFEST_INVALID",
                      "not a manifest media type: " + req.content_type.substr(0, req.content_type.find(';')));
        return;
    }
    std::string body;
    if (!manifest_body(req, body, resp)) return;
    bool by_digest = api_digest_valid(m.tail);
    if (by_digest && body_digest(body) != m.tail) {
        respond_error(resp, 400, "DIGEST_INVALID", "manifest digest does not match the reference: " + m.tail);
        return;
    }
    if (!front_storage_ready(resp)) return;
    char digest[72] = "";
    if (reg_manifest_put(m.name.c_str(), m.tail.c_str(), body.data(), body.size(), req.content_type.c_str(),
                         digest) != 0) {
        respond_engine_error(resp, engine_op::manifest_put);
        return;
    }
    respond_json(resp, 201, "");
    resp.content_type.clear();
    resp.header("Location", "/v2/" + m.name + "/manifests/" + digest);
    resp.header("Docker-Content-Digest", digest);
    std::string subject = subject_of(body);
    if (!subject.empty()) resp.header("OCI-Subject", subject);
}

// By digest the manifest goes with every tag naming it; by tag only the tag goes.
void handle_manifest_delete(const http_request &, const route_match &m, http_response &resp) {
    if (!reference_usable(m.tail, resp)) return;
    if (!front_storage_ready(resp)) return;
    int rc = api_digest_valid(m.tail) ? reg_manifest_delete(m.name.c_str(), m.tail.c_str())
                                      : reg_tag_delete(m.name.c_str(), m.tail.c_str());
    if (rc != 0) {
        // Refused like a blob delete while something names it.
        if (reg_storage_last_error_kind() == REG_ERR_DENIED) {
            respond_error(resp, 405, "DENIED", reg_storage_last_error());
            return;
        }
        manifest_failure(m, engine_op::manifest_delete, resp);
        return;
    }
    respond_json(resp, 202, "");
    resp.content_type.clear();
}
