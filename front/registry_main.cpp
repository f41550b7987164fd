// registry_main.cpp - entry of the registry: one request as a CGI program, or
// one after another as a FastCGI responder; each routed, answered, logged.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

#include <fcgiapp.h>

#include <new>

#include "base/settings.h"
#include "cgi/qf_audit.h"
#include "cgi/qf_cgi.h"
#include "front/http.h"
#include "front/oci_common.h"
#include "front/responder_hook.h"

extern char **environ;

namespace {

void answer(http_request (*read_request)(void *), void *ctx, const response_sink &sink) {
    http_response resp;
    http_request req;
    try {
        req = read_request(ctx);
        registry_dispatch(req, resp);
    } catch (const std::bad_alloc &) {
        resp = http_response{};
        respond_error(resp, 500, "UNKNOWN", "out of memory");
    }
    finish_response(req, resp, sink);
}

int serve_cgi() {
    settings_hold(1);
    oci_engine_begin_request();
    answer([](void *) { return request_from_cgi(); }, nullptr, [](std::string_view bytes) {
        return fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
    });
    fflush(stdout);
    return 0;
}

// The request body as a FILE, so handlers read it as they read standard
// input under CGI.
ssize_t fcgi_body_read(void *cookie, char *buf, size_t size) {
    auto *in = static_cast<FCGX_Stream *>(cookie);
    int want = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    int n = FCGX_GetStr(buf, want, in);
    return n < 0 || (n == 0 && FCGX_GetError(in) != 0) ? -1 : n;
}

FILE *fcgi_body(FCGX_Stream *in) {
    cookie_io_functions_t io{};
    io.read = fcgi_body_read;
    return fopencookie(in, "r", io);
}

struct fcgi_call {
    FCGX_Request *request;
    FILE *body;
};

// One request of a responder. While it runs, the process environment is the
// request's variables alone, as a CGI process's would be: the access log and
// the CGI toolkit read the request from there. Everything a previous request
// could have left behind is forgotten first.
void serve_one(FCGX_Request &request) {
    char **outer = environ;
    environ = request.envp;
    settings_hold(1); // one look at the settings file for the whole request
    qf_audit_begin_request();
    cgi_request_reset();
    oci_engine_begin_request();
    fcgi_call call{&request, fcgi_body(request.in)};
    answer(
        [](void *ctx) {
            auto *c = static_cast<fcgi_call *>(ctx);
            // Standard input is the responder's listening socket: never a body.
            if (!c->body) throw std::bad_alloc();
            char **envp = c->request->envp;
            http_request req =
                request_from_env([envp](const char *name) { return FCGX_GetParam(name, envp); }, c->body);
            responder_request_read(envp);
            return req;
        },
        &call,
        [&request](std::string_view bytes) {
            return FCGX_PutStr(bytes.data(), static_cast<int>(bytes.size()), request.out) >= 0;
        });
    if (call.body) fclose(call.body);
    settings_hold(0);
    environ = outer;
}

int serve_fastcgi() {
    // A client gone mid-answer ends that answer, not the responder.
    signal(SIGPIPE, SIG_IGN);
    if (FCGX_Init() != 0) return 1;
    FCGX_Request request;
    if (FCGX_InitRequest(&request, 0, 0) != 0) return 1;
    while (FCGX_Accept_r(&request) >= 0) {
        serve_one(request);
        FCGX_Finish_r(&request);
    }
    return 0;
}

} // namespace

int main() { return FCGX_IsCGI() ? serve_cgi() : serve_fastcgi(); }
