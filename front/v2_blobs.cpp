// v2_blobs.cpp - blobs by digest, sent by the web server itself.
#include <string>

#include "front/http.h"
#include "platform/platform.h"

namespace {

constexpr size_t kPathMax = 4096;

constexpr int kAnswered = -2;

// The digest checked and the engine started: 1 present, 0 absent, -1 the
// engine could not tell; kAnswered when the refusal is already answered.
int blob_presence(const route_match &m, http_response &resp) {
    if (!api_digest_valid(m.tail)) {
        respond_error(resp, 400, "DIGEST_INVALID", "invalid digest: only sha256 digests of 64 hex digits");
        return kAnswered;
    }
    if (!front_storage_ready(resp)) return kAnswered;
    return reg_blob_exists(m.tail.c_str());
}

} // namespace

// The program names the file and the web server sends it (X-Sendfile): ranges,
// HEAD and the copying itself are the server's, and the program ends at once.
void handle_blob_get(const http_request &, const route_match &m, http_response &resp) {
    int present = blob_presence(m, resp);
    if (present == kAnswered) return;
    const char *digest = m.tail.c_str();
    if (present < 0) {
        respond_engine_error(resp, engine_op::blob);
        return;
    }
    if (present == 0) {
        respond_error(resp, 404, "BLOB_UNKNOWN", "blob unknown to registry: " + m.tail);
        return;
    }
    int64_t size = reg_blob_get_size(digest);
    char path[kPathMax];
    char absolute[kPathMax];
    if (size < 0 || reg_blob_get_filepath(digest, path, sizeof path) != 0 ||
        plat_absolute_path(path, absolute, sizeof absolute) != 0) {
        // Removed between the checks (a collection or a delete): it is gone.
        if (reg_blob_exists(digest) == 0) {
            respond_error(resp, 404, "BLOB_UNKNOWN", "blob unknown to registry: " + m.tail);
            return;
        }
        respond_engine_error(resp, engine_op::blob);
        return;
    }
    resp.status = 200;
    resp.content_type = "application/octet-stream";
    resp.body.clear();
    resp.sendfile = absolute;
    resp.sendfile_size = size;
    resp.header("Docker-Content-Digest", m.tail);
    resp.header("Accept-Ranges", "bytes");
}

// The blob store is shared by every repository: a blob that a stored manifest
// of any of them still names stays, or that image would break.
void handle_blob_delete(const http_request &, const route_match &m, http_response &resp) {
    int present = blob_presence(m, resp);
    if (present == kAnswered) return;
    const char *digest = m.tail.c_str();
    if (present <= 0) {
        if (present == 0)
            respond_error(resp, 404, "BLOB_UNKNOWN", "blob unknown to registry: " + m.tail);
        else
            respond_engine_error(resp, engine_op::blob_delete);
        return;
    }
    // The engine looks for what names the blob and removes it under one
    // deletion mark (see the top of storage/gc.cpp), so no manifest stored
    // meanwhile is left naming a removed blob.
    if (reg_blob_delete(digest) != 0) {
        if (reg_storage_last_error_kind() == REG_ERR_DENIED) {
            respond_error(resp, 405, "DENIED", reg_storage_last_error());
            return;
        }
        respond_engine_error(resp, engine_op::blob_delete);
        return;
    }
    respond_json(resp, 202, "");
    resp.content_type.clear();
}
