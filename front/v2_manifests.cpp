// v2_manifests.cpp - manifests by tag or digest.
#include <stdlib.h>

#include <string>

#include "front/http.h"

namespace {

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

} // namespace

void handle_manifest_get(const http_request &, const route_match &m, http_response &resp) {
    if (!reference_usable(m.tail, resp)) return;
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
    respond_json(resp, 200, std::string(body.p, len), content_type);
    resp.header("Docker-Content-Digest", digest);
}
