// v2_repo.cpp - the repository endpoint: deletes a whole repository.
#include "front/v2_repo.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <string_view>

#include "auth/access.h"
#include "auth/v2_auth.h"
#include "base/wire.h"
#include "front/http.h"
#include "front/oci_common.h"
#include "storage/reg_storage.h"

namespace {

constexpr char kNameUnknown[] = "repository name not known";

// The endpoint's answers keep their own form (see http_response::framing):
// no Content-Length, and the error body even for HEAD.
void endpoint_form(http_response &resp) {
    resp.form.content_length = false;
    resp.form.body_on_head = true;
    resp.log_bytes = 0;
}

// An error of the endpoint itself: a bare status number, and the body's
// length as the access log counts it (the message before escaping).
void endpoint_error(http_response &resp, int status, const char *code, std::string_view message) {
    respond_error(resp, status, code, message);
    endpoint_form(resp);
    resp.form.reason_phrase = false;
    resp.log_bytes = static_cast<int64_t>(38 + strlen(code) + message.size());
}

// A refusal at the door. The challenge names its scheme before the API
// version line; none of these answers counts its body in the access log.
void refuse(const reg_access &decision, http_response &resp) {
    if (decision.status == 401) {
        respond_json(resp, 401, REGISTRY_AUTH_CHALLENGE_BODY);
        std::string_view challenge = REGISTRY_AUTH_CHALLENGE_HEADER;
        size_t colon = challenge.find(':');
        resp.header(std::string(challenge.substr(0, colon)), std::string(challenge.substr(colon + 2)));
        endpoint_form(resp);
        resp.form.headers_before_version = 1;
        return;
    }
    if (decision.status != 403 && decision.status != 429)
        fprintf(stderr, "registry: refusing every request: %s\n", decision.problem);
    int status = decision.status == 403 || decision.status == 429 ? decision.status : 500;
    respond_error(resp, status, registry_access_refusal_code(status), registry_access_refusal_message(status));
    endpoint_form(resp);
}

// Deleting a whole repository is the most destructive request there is:
// with a user configured it is refused before anything else is looked at,
// whatever the path (a path without "v2" reaches this program too).
bool admitted(const http_request &req, http_response &resp) {
    if (!registry_auth_enabled()) return true;
    reg_access decision;
    registry_access_decide(req.authorization.c_str(), REG_NEED_WRITE, req.client.c_str(), &decision);
    if (decision.status != 0) {
        refuse(decision, resp);
        return false;
    }
    if (decision.actor[0]) resp.actor = decision.actor;
    return true;
}

// "/v2/<name>/" to "<name>": only the first "v2/" goes, and one trailing '/'.
// The path is taken verbatim; the name rule decides what is acceptable (a
// name past 255 characters among it: refused, never shortened).
std::string name_from_path(const std::string &path) {
    const char *rest = oci_skip_api_prefix(path.c_str());
    while (*rest == '/')
        ++rest;
    std::string name = rest;
    if (!name.empty() && name.back() == '/') name.pop_back();
    return name;
}

} // namespace

void v2_repo_answer(const http_request &req, const char *name, http_response &resp) {
    if (!admitted(req, resp)) return;
    // The method is checked before the storage is touched.
    if (req.method != "DELETE") {
        endpoint_error(resp, 405, "UNSUPPORTED", "Method not allowed for repository endpoint");
        return;
    }
    if (oci_init_storage() != 0) {
        endpoint_error(resp, 500, "STORAGE_ERROR", "Failed to initialize registry storage");
        return;
    }
    std::string target = name && *name ? std::string(name) : name_from_path(req.path);
    if (target.empty() || !oci_valid_repo_name(target.c_str())) {
        endpoint_error(resp, 404, "NAME_UNKNOWN", kNameUnknown);
        return;
    }
    if (repo_delete_accepted(target, resp)) {
        endpoint_form(resp);
        return;
    }
    // Whatever the engine's reason, the endpoint answers it as an unknown name.
    const char *why = reg_storage_last_error();
    endpoint_error(resp, 404, "NAME_UNKNOWN", why && *why ? why : kNameUnknown);
}

extern "C" int handle_v2_repo(const char *name) {
    http_request req = request_from_cgi();
    http_response resp;
    v2_repo_answer(req, name, resp);
    finish_response(req, resp, [](std::string_view bytes) {
        return fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
    });
    fflush(stdout);
    return 0;
}
