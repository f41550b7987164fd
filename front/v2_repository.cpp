// v2_repository.cpp - deletion of a whole repository through the front door.
#include <string>

#include "front/http.h"

bool repo_delete_accepted(const std::string &name, http_response &resp) {
    if (reg_repo_delete(name.c_str()) != 0) return false;
    respond_json(resp, 202, "");
    resp.content_type.clear();
    return true;
}

void handle_repo_delete(const http_request &, const route_match &m, http_response &resp) {
    if (!front_storage_ready(resp)) return;
    if (!repo_delete_accepted(m.name, resp)) respond_engine_error(resp, engine_op::repository);
}
