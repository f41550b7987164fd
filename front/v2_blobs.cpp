// v2_blobs.cpp - blobs by digest, sent by the web server itself.
#include <string>

#include "front/http.h"
#include "platform/platform.h"

namespace {

constexpr size_t kPathMax = 4096;

// The digest checked and the engine started: false when the refusal is answered.
bool blob_request_ok(const route_match &m, http_response &resp) {
    if (!api_digest_valid(m.tail)) {
        respond_error(resp, 400, "DIGEST_INVALID", "invalid digest: only sha256 digests of 64 hex digits");
        return false;
    }
    return front_storage_ready(resp);
}

} // namespace

// The program names the file and the web server sends it (X-Sendfile): ranges,
// HEAD and the copying itself are the server's, and the program ends at once.
void handle_blob_get(const http_request &, const route_match &m, http_response &resp) {
    if (!blob_request_ok(m, resp)) return;
    // One look: whether it is stored, its size and its path agree, so a blob
    // removed meanwhile (a collection or a delete) is simply absent.
    int64_t size = 0;
    char absolute[kPathMax];
    int present = reg_blob_locate(m.tail.c_str(), &size, absolute, sizeof absolute);
    if (present < 0) {
        respond_engine_error(resp, engine_op::blob);
        return;
    }
    if (present == 0) {
        respond_error(resp, 404, "BLOB_UNKNOWN", "blob unknown to registry: " + m.tail);
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
    if (!blob_request_ok(m, resp)) return;
    const char *digest = m.tail.c_str();
    int present = reg_blob_exists(digest);
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
