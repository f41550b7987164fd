// v2_repository.cpp - deletion of a whole repository through the front door.
#include <string>

#include "front/http.h"

void handle_repo_delete(const http_request &, const route_match &m, http_response &resp) {
    if (!front_storage_ready(resp)) return;
    if (reg_repo_delete(m.name.c_str()) != 0) {
        respond_engine_error(resp, engine_op::repository);
        return;
    }
    respond_json(resp, 202, "");
    resp.content_type.clear();
}
