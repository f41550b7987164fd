// v2_uploads.cpp - blob uploads: sessions, chunks, the finishing PUT, monolithic uploads and mounts.
#include <stdlib.h>

#include <string>

#include "front/body.h"
#include "front/http.h"
#include "front/oci_common.h"

namespace {

constexpr char kNoDigest[] = "digest missing: name the blob's digest with ?digest=";
constexpr char kBadDigest[] = "invalid digest: only sha256 digests of 64 hex digits";
constexpr char kShortBody[] = "request body shorter than Content-Length";
constexpr char kUnreadableBody[] = "request body could not be read";
constexpr char kBadRange[] = "Content-Range does not continue the upload";
constexpr size_t kQuotaMessageMax = 160;

std::string session_location(const route_match &m, const std::string &id) {
    return "/v2/" + m.name + "/blobs/uploads/" + id;
}

// Clients read a session holding no byte yet as "0-0", like one holding one.
std::string range_text(int64_t size) { return "0-" + std::to_string(size > 0 ? size - 1 : 0); }

void empty_answer(http_response &resp, int status) {
    respond_json(resp, status, "");
    resp.content_type.clear();
}

void session_answer(http_response &resp, int status, const route_match &m, const std::string &id, int64_t size) {
    empty_answer(resp, status);
    resp.header("Location", session_location(m, id));
    resp.header("Range", range_text(size));
    resp.header("Docker-Upload-UUID", id);
}

void blob_created(http_response &resp, const route_match &m, const std::string &digest) {
    empty_answer(resp, 201);
    resp.header("Location", "/v2/" + m.name + "/blobs/" + digest);
    resp.header("Docker-Content-Digest", digest);
}

bool digits(std::string_view text, int64_t &out) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    out = strtoll(std::string(text).c_str(), nullptr, 10);
    return true;
}

// "<first>-<last>", also with a "bytes " or "bytes=" prefix and a "/<total>" suffix.
bool parse_content_range(std::string_view text, int64_t &first, int64_t &last) {
    for (std::string_view prefix : {"bytes ", "bytes="})
        if (text.substr(0, prefix.size()) == prefix) text.remove_prefix(prefix.size());
    size_t slash = text.find('/');
    if (slash != std::string_view::npos) {
        int64_t total = 0;
        std::string_view tail = text.substr(slash + 1);
        if (tail != "*" && !digits(tail, total)) return false;
        text = text.substr(0, slash);
    }
    size_t dash = text.find('-');
    if (dash == std::string_view::npos) return false;
    return digits(text.substr(0, dash), first) && digits(text.substr(dash + 1), last) && first <= last;
}

void range_refused(http_response &resp, const route_match &m, int64_t size) {
    respond_error(resp, 416, "BLOB_UPLOAD_INVALID", kBadRange);
    resp.header("Location", session_location(m, m.tail));
    resp.header("Range", range_text(size));
    resp.header("Docker-Upload-UUID", m.tail);
}

// The offset a Content-Range asks to write at (-1 without one); false when
// it does not continue the upload (the 416 is answered, nothing changes).
bool range_offset(const http_request &req, const route_match &m, int64_t size, int64_t &offset,
                  http_response &resp) {
    offset = -1;
    if (req.content_range.empty()) return true;
    int64_t first = 0, last = 0;
    bool fits = parse_content_range(req.content_range, first, last) && first == size &&
                (req.content_length < 0 || last - first + 1 == req.content_length);
    if (!fits) {
        range_refused(resp, m, size);
        return false;
    }
    offset = first;
    return true;
}

void quota_refused(http_response &resp, const char *upload_id, int64_t incoming) {
    char message[kQuotaMessageMax];
    oci_quota_check_adding(upload_id, incoming, message, sizeof message);
    respond_error(resp, 413, "DENIED", message[0] ? message : "quota exceeded");
}

// With a Content-Length the quota is checked before a byte is stored; without
// one the reader stops where the quota ends and the engine undoes the append.
bool quota_allows(const char *upload_id, const http_request &req, body_reader &reader, http_response &resp) {
    int64_t quota = settings_int(SETTINGS_QUOTA_BYTES);
    if (quota == 0) return true;
    if (req.content_length >= 0) {
        if (oci_quota_check_adding(upload_id, req.content_length, nullptr, 0)) return true;
        quota_refused(resp, upload_id, req.content_length);
        return false;
    }
    // Every session's part file counts against the quota, this one's among them.
    int64_t room = quota - oci_quota_used_bytes() - oci_quota_parts_bytes();
    reader.limit = room > 0 ? room : 0;
    return true;
}

// A session that cannot start: past the cap on open sessions is the client's
// to retry later.
void start_refused(http_response &resp) {
    if (reg_storage_last_error_kind() == REG_ERR_TOO_MANY) {
        respond_error(resp, 429, "TOOMANYREQUESTS", reg_storage_last_error());
        return;
    }
    respond_engine_error(resp, engine_op::upload);
}

// Appends the body; false when the answer is already given.
bool append_body(const route_match &m, const std::string &id, int64_t offset,
                 body_reader &reader, int64_t &size, http_response &resp) {
    if (reg_upload_append_from(id.c_str(), offset, body_read, &reader, &size) == 0) return true;
    if (reader.over_limit)
        quota_refused(resp, id.c_str(), reader.taken);
    else if (reader.short_body)
        respond_error(resp, 400, "BLOB_UPLOAD_INVALID", kShortBody);
    else if (reader.read_error)
        respond_error(resp, 400, "BLOB_UPLOAD_INVALID", kUnreadableBody);
    else if (reg_storage_last_error_kind() == REG_ERR_CONFLICT)
        range_refused(resp, m, size);
    else
        respond_engine_error(resp, engine_op::upload);
    return false;
}

// The session named by the path, when it belongs to this repository.
bool own_session(const route_match &m, int64_t &size, http_response &resp) {
    if (!front_storage_ready(resp)) return false;
    if (reg_upload_check_owner(m.tail.c_str(), m.name.c_str()) != 0 ||
        reg_blob_upload_size(m.tail.c_str(), &size) != 0) {
        respond_engine_error(resp, engine_op::upload);
        return false;
    }
    return true;
}

// The ?digest= of a finishing request; false when missing or malformed (answered).
bool wanted_digest(const http_request &req, std::string &digest, http_response &resp) {
    bool found = false;
    if (!query_param(req.query, "digest", digest, found)) {
        respond_error(resp, 400, "DIGEST_INVALID", "malformed query string");
        return false;
    }
    if (!found || digest.empty()) {
        respond_error(resp, 400, "DIGEST_INVALID", kNoDigest);
        return false;
    }
    if (!api_digest_valid(digest)) {
        respond_error(resp, 400, "DIGEST_INVALID", kBadDigest);
        return false;
    }
    return true;
}

// A blob already stored adds nothing to the store, whatever the quota says.
bool already_stored(const std::string &digest) { return reg_blob_exists(digest.c_str()) == 1; }

void finish(const route_match &m, const std::string &id, const std::string &digest, http_response &resp) {
    char stored[72];
    if (reg_blob_finish_upload(id.c_str(), digest.c_str(), stored) != 0) {
        respond_engine_error(resp, engine_op::upload_finish);
        return;
    }
    blob_created(resp, m, stored);
}

// POST with ?digest=: the whole blob in one request.
void monolithic(const http_request &req, const route_match &m, const std::string &digest, http_response &resp) {
    body_reader reader(req);
    if (!already_stored(digest) && !quota_allows(nullptr, req, reader, resp)) return;
    char id[37];
    if (reg_upload_start(m.name.c_str(), id) != 0) {
        start_refused(resp);
        return;
    }
    int64_t size = 0;
    if (!append_body(m, id, -1, reader, size, resp)) {
        reg_blob_cancel_upload(id);
        return;
    }
    finish(m, id, digest, resp);
    if (resp.status != 201) reg_blob_cancel_upload(id);
}

} // namespace

void handle_upload_start(const http_request &req, const route_match &m, http_response &resp) {
    std::string digest, mount, from;
    bool has_digest = false, has_mount = false, has_from = false;
    if (!query_param(req.query, "digest", digest, has_digest) || !query_param(req.query, "mount", mount, has_mount) ||
        !query_param(req.query, "from", from, has_from)) {
        respond_error(resp, 400, "UNSUPPORTED", "malformed query string");
        return;
    }
    if ((has_mount && !api_digest_valid(mount)) || (has_digest && !api_digest_valid(digest))) {
        respond_error(resp, 400, "DIGEST_INVALID", kBadDigest);
        return;
    }
    if (!front_storage_ready(resp)) return;
    // Every repository shares one blob store: a blob stored for any of them
    // is mounted by naming it, whichever repository `from` names.
    if (has_mount) {
        int present = reg_blob_exists(mount.c_str());
        if (present < 0) {
            respond_engine_error(resp, engine_op::blob);
            return;
        }
        if (present == 1) {
            blob_created(resp, m, mount);
            return;
        }
    } else if (has_digest) {
        monolithic(req, m, digest, resp);
        return;
    }
    char id[37];
    if (reg_upload_start(m.name.c_str(), id) != 0) {
        start_refused(resp);
        return;
    }
    session_answer(resp, 202, m, id, 0);
}

void handle_upload_patch(const http_request &req, const route_match &m, http_response &resp) {
    int64_t size = 0, offset = -1;
    if (!own_session(m, size, resp) || !range_offset(req, m, size, offset, resp)) return;
    body_reader reader(req);
    if (!quota_allows(m.tail.c_str(), req, reader, resp)) return;
    if (!append_body(m, m.tail, offset, reader, size, resp)) return;
    session_answer(resp, 202, m, m.tail, size);
}

void handle_upload_status(const http_request &, const route_match &m, http_response &resp) {
    int64_t size = 0;
    if (!own_session(m, size, resp)) return;
    session_answer(resp, 204, m, m.tail, size);
}

void handle_upload_finish(const http_request &req, const route_match &m, http_response &resp) {
    int64_t size = 0, offset = -1;
    if (!own_session(m, size, resp)) return;
    std::string digest;
    if (!wanted_digest(req, digest, resp) || !range_offset(req, m, size, offset, resp)) return;
    body_reader reader(req);
    if (!already_stored(digest) && !quota_allows(m.tail.c_str(), req, reader, resp)) return;
    if (req.content_length != 0 && !append_body(m, m.tail, offset, reader, size, resp)) return;
    finish(m, m.tail, digest, resp);
}

void handle_upload_cancel(const http_request &, const route_match &m, http_response &resp) {
    int64_t size = 0;
    if (!own_session(m, size, resp)) return;
    if (reg_blob_cancel_upload(m.tail.c_str()) != 0) {
        respond_engine_error(resp, engine_op::upload_cancel);
        return;
    }
    empty_answer(resp, 204);
}
