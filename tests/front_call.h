// front_call.h - one request through the front door in-process, as the handler tables send it.
#ifndef REGISTRY_TESTS_FRONT_CALL_H
#define REGISTRY_TESTS_FRONT_CALL_H

#include <string>

#include "front/http.h"

namespace testutil {

inline http_response front_call(const std::string &method, const std::string &path, const std::string &query = "",
                                const std::string &authorization = "") {
    http_request req;
    req.method = method;
    req.path = path;
    req.query = query;
    req.authorization = authorization;
    http_response resp;
    registry_dispatch(req, resp);
    return resp;
}

} // namespace testutil

#endif
