// registry_main.cpp - CGI entry of the registry: one request, routed, answered, logged.
#include <stdio.h>

#include <new>

#include "cgi/qf_audit.h"
#include "front/http.h"

int main() {
    http_response resp;
    http_request req;
    try {
        req = request_from_cgi();
        registry_dispatch(req, resp);
    } catch (const std::bad_alloc &) {
        resp = http_response{};
        respond_error(resp, 500, "UNKNOWN", "out of memory");
    }
    qf_audit_note_client(req.client.c_str());
    qf_audit_note_status(resp.status);
    if (!resp.actor.empty()) qf_audit_note_actor(resp.actor.c_str());
    qf_audit_note_bytes(resp.sendfile.empty() ? (req.is_head() ? 0 : static_cast<int64_t>(resp.body.size()))
                                              : resp.sendfile_size);
    // The line is written before the answer: once the client has the whole
    // answer it may look at the log, and the process may still be running.
    qf_audit_flush();
    write_response(req, resp, stdout);
    return 0;
}
