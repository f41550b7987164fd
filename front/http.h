// http.h - the front door's request and response records, the route table and the handlers.
#ifndef FRONT_HTTP_H
#define FRONT_HTTP_H

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/reg_storage.h"

// One request as the handlers see it. The CGI entry fills it from the
// environment; tests fill it directly.
struct http_request {
    std::string method;        // as sent; HEAD is answered as GET without a body
    std::string path;          // decoded path, "/v2/..." (PATH_INFO)
    std::string raw_path;      // the path as the client sent it, when known (REQUEST_URI)
    std::string query;         // raw query string, still form-encoded
    std::string authorization; // Authorization header value
    std::string client;        // the client's address (REMOTE_ADDR)
    std::string host;          // Host header
    std::string origin;        // Origin header, sent by browsers
    std::string fetch_site;    // Sec-Fetch-Site header, sent by browsers
    std::string content_type;
    std::string content_range;
    int64_t content_length = -1; // -1: not given
    // The body, when there is one: read from here, at most content_length
    // bytes when that is given, else to the end. Not owned.
    FILE *body = nullptr;
    // Where the body is spooled as a file, when the host says so (lets an
    // upload take the whole file without copying it through a buffer).
    std::string body_file;

    bool is_head() const { return method == "HEAD"; }
};

// What a handler answers. One writer prints it.
struct http_response {
    int status = 200;
    std::string content_type;                                 // empty: no Content-Type
    std::vector<std::pair<std::string, std::string>> headers; // in order, after Content-Type
    std::string body;
    // Absolute path of a file the web server sends in place of a body
    // (X-Sendfile); sendfile_size is its length, for the access log.
    std::string sendfile;
    int64_t sendfile_size = 0;
    std::string actor; // authenticated user, for the access log
    // How the answer is framed. The registry's answers name their reason,
    // announce their length and leave the body out for HEAD. The repository
    // endpoint keeps the form its clients have always had: a bare status
    // number on errors, a header that came before the API version line (the
    // challenge) staying there, the error body even for HEAD, and no
    // Content-Length. Leaving the length out is sound there because that
    // program only ever runs as a CGI program, one process per request: the
    // web server ends the body where the program's output ends and adds the
    // framing HTTP needs itself.
    struct framing {
        bool reason_phrase = true;
        bool content_length = true;
        bool body_on_head = false;
        size_t headers_before_version = 0; // leading entries of headers written before the API version line
    } form;
    int64_t log_bytes = -1;            // bytes the access log records; -1: what the body holds

    void header(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }
    // First value of a header (case-sensitive name), or nullptr.
    const std::string *find_header(std::string_view name) const;
};

// Path pieces a route captured: the repository name and the last component
// (reference, digest or upload id), as they stand in the path.
struct route_match {
    std::string name;
    std::string tail;
};

using handler_fn = void (*)(const http_request &, const route_match &, http_response &);

// One OCI error body: {"errors":[{"code":...,"message":...}]}
void respond_error(http_response &resp, int status, const char *code, std::string_view message);
// A JSON document as the body with the given content type.
void respond_json(http_response &resp, int status, std::string body,
                  const char *content_type = "application/json; charset=utf-8");

// The operation an engine call served, which decides what a failure means to
// the client (a missing blob is BLOB_UNKNOWN when fetched, MANIFEST_BLOB_UNKNOWN
// when a manifest names it).
enum class engine_op {
    repository,
    manifest_get,
    manifest_put,
    manifest_delete,
    blob,
    blob_delete,
    upload,
    upload_finish,
    upload_cancel,
    listing,
    referrers,
};
// Answers the engine's last error (its kind and text) for op.
void respond_engine_error(http_response &resp, engine_op op);
// Status and OCI code for an engine failure of the given kind during op.
void engine_error_status(engine_op op, reg_err_kind kind, int *status, const char **code);

// Query parameters: the first occurrence of name, form-decoded. found tells
// whether it was there; false return: the value has a broken escape.
bool query_param(std::string_view query, std::string_view name, std::string &value, bool &found);

// A raw request path that the web server had to repair before routing it:
// "//", "." or ".." segments (also percent-encoded), an encoded '/' or NUL.
bool raw_path_malformed(std::string_view raw);

// Name and reference rules of the API.
bool api_name_valid(std::string_view name);
bool api_tag_valid(std::string_view tag);
bool api_digest_valid(std::string_view digest);

// Starts the engine once per process; false (and a 500 answered) when it cannot.
bool front_storage_ready(http_response &resp);

// Routes the request and runs its handler (authentication first). Never ends
// the process.
void registry_dispatch(const http_request &req, http_response &resp);

// Takes the answer's bytes in order; false when they cannot be delivered
// (the writer then stops).
using response_sink = std::function<bool(std::string_view)>;

// Prints the response as CGI output (status line, headers, body unless HEAD)
// through sink, or to out.
void write_response(const http_request &req, const http_response &resp, const response_sink &sink);
void write_response(const http_request &req, const http_response &resp, FILE *out);
// Notes the answer in the access log, writes the log line, then the answer
// through sink: every entry leaves through here.
void finish_response(const http_request &req, const http_response &resp, const response_sink &sink);

// A request variable by its CGI name (REQUEST_METHOD, PATH_INFO, HTTP_HOST...),
// or null when the host did not set it.
using request_env_fn = std::function<const char *(const char *name)>;

// The request a host describes by its variables, the body read from body.
http_request request_from_env(const request_env_fn &env, FILE *body);
// The request of this CGI process, from its environment and standard input.
http_request request_from_cgi();

// Handlers, one per route and method.
void handle_api_base(const http_request &, const route_match &, http_response &);
void handle_catalog(const http_request &, const route_match &, http_response &);
void handle_tags_list(const http_request &, const route_match &, http_response &);
void handle_manifest_get(const http_request &, const route_match &, http_response &);
void handle_blob_get(const http_request &, const route_match &, http_response &);
void handle_referrers(const http_request &, const route_match &, http_response &);
void handle_repo_delete(const http_request &, const route_match &, http_response &);
// Deletes the repository; true with the 202 answer in resp, false with the
// engine's last error left for the caller to answer.
bool repo_delete_accepted(const std::string &name, http_response &resp);
void handle_admin_usage(const http_request &, const route_match &, http_response &);
void handle_admin_gc_status(const http_request &, const route_match &, http_response &);
void handle_admin_gc_start(const http_request &, const route_match &, http_response &);
void handle_admin_gc_cancel(const http_request &, const route_match &, http_response &);
void handle_admin_retention(const http_request &, const route_match &, http_response &);
void handle_manifest_put(const http_request &, const route_match &, http_response &);
void handle_manifest_delete(const http_request &, const route_match &, http_response &);
void handle_blob_delete(const http_request &, const route_match &, http_response &);
void handle_upload_start(const http_request &, const route_match &, http_response &);
void handle_upload_patch(const http_request &, const route_match &, http_response &);
void handle_upload_status(const http_request &, const route_match &, http_response &);
void handle_upload_finish(const http_request &, const route_match &, http_response &);
void handle_upload_cancel(const http_request &, const route_match &, http_response &);

#endif
