// v2_referrers.cpp - the manifests that name a given manifest as their subject.
#include <string>

#include "front/http.h"

namespace {

constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";

} // namespace

// A digest nothing refers to, even one not stored at all, has an empty list:
// a client asks before and after pushing the subject.
void handle_referrers(const http_request &req, const route_match &m, http_response &resp) {
    if (!api_digest_valid(m.tail)) {
        respond_error(resp, 400, "DIGEST_INVALID", "invalid digest: only sha256 digests of 64 hex digits");
        return;
    }
    std::string artifact_type;
    bool filtered = false;
    if (!query_param(req.query, "artifactType", artifact_type, filtered)) {
        respond_error(resp, 400, "UNSUPPORTED", "malformed query string");
        return;
    }
    filtered = filtered && !artifact_type.empty();
    if (!front_storage_ready(resp)) return;
    const char *json = reg_referrers_json(m.name.c_str(), m.tail.c_str(), filtered ? artifact_type.c_str() : nullptr);
    if (!json) {
        respond_engine_error(resp, engine_op::referrers);
        return;
    }
    std::string body = json;
    body += '\n';
    respond_json(resp, 200, std::move(body), kIndexType);
    if (filtered) resp.header("OCI-Filters-Applied", "artifactType");
}
