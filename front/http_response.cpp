// http_response.cpp - error bodies, the engine-failure table and the one writer of CGI responses.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "base/wire.h"
#include "cgi/qf_audit.h"
#include "front/http.h"

namespace {

constexpr char kJsonType[] = "application/json; charset=utf-8";

// Length of the well-formed UTF-8 sequence at the start of text, 0 when
// there is none (a stray continuation byte, an overlong form, a surrogate,
// past U+10FFFF, or cut short).
size_t utf8_sequence(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (len == 0 || lead > 0xF4 || text.size() < len) return 0;
    for (size_t i = 1; i < len; ++i)
        if ((byte(i) & 0xC0) != 0x80) return 0;
    if (lead == 0xE0 && byte(1) < 0xA0) return 0; // overlong
    if (lead == 0xED && byte(1) >= 0xA0) return 0; // surrogate
    if (lead == 0xF0 && byte(1) < 0x90) return 0; // overlong
    if (lead == 0xF4 && byte(1) >= 0x90) return 0; // past U+10FFFF
    return len;
}

// Messages may echo what the client sent; bytes that are not UTF-8 become
// U+FFFD so the error body stays valid JSON.
void append_escaped(std::string &out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            size_t len = utf8_sequence(text.substr(i));
            if (len == 0) {
                out += "\\ufffd";
            } else {
                out.append(text.substr(i, len));
                i += len - 1;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
}

// What each engine failure means to a client, by the operation it served.
// Rows are looked up by (op, kind); a kind without a row is a server fault.
struct error_row {
    engine_op op;
    reg_err_kind kind;
    int status;
    const char *code;
};

constexpr error_row kErrorTable[] = {
    {engine_op::repository, REG_ERR_NOT_FOUND, 404, "NAME_UNKNOWN"},
    {engine_op::repository, REG_ERR_INVALID, 400, "NAME_INVALID"},
    {engine_op::listing, REG_ERR_NOT_FOUND, 404, "NAME_UNKNOWN"},
    {engine_op::listing, REG_ERR_INVALID, 400, "NAME_INVALID"},
    {engine_op::manifest_get, REG_ERR_NOT_FOUND, 404, "MANIFEST_UNKNOWN"},
    {engine_op::manifest_get, REG_ERR_INVALID, 400, "MANIFEST_INVALID"},
    {engine_op::manifest_delete, REG_ERR_NOT_FOUND, 404, "MANIFEST_UNKNOWN"},
    {engine_op::manifest_delete, REG_ERR_INVALID, 400, "MANIFEST_INVALID"},
    {engine_op::manifest_put, REG_ERR_NOT_FOUND, 400, "MANIFEST_BLOB_UNKNOWN"},
    {engine_op::manifest_put, REG_ERR_INVALID, 400, "MANIFEST_INVALID"},
    {engine_op::blob, REG_ERR_NOT_FOUND, 404, "BLOB_UNKNOWN"},
    {engine_op::blob, REG_ERR_INVALID, 400, "DIGEST_INVALID"},
    {engine_op::blob_delete, REG_ERR_NOT_FOUND, 404, "BLOB_UNKNOWN"},
    {engine_op::blob_delete, REG_ERR_INVALID, 400, "DIGEST_INVALID"},
    {engine_op::blob_delete, REG_ERR_CONFLICT, 405, "DENIED"},
    {engine_op::upload, REG_ERR_NOT_FOUND, 404, "BLOB_UPLOAD_UNKNOWN"},
    {engine_op::upload, REG_ERR_INVALID, 404, "BLOB_UPLOAD_UNKNOWN"},
    {engine_op::upload, REG_ERR_CONFLICT, 416, "BLOB_UPLOAD_INVALID"},
    {engine_op::upload_finish, REG_ERR_NOT_FOUND, 404, "BLOB_UPLOAD_UNKNOWN"},
    {engine_op::upload_finish, REG_ERR_INVALID, 400, "DIGEST_INVALID"},
    // A cancel meeting a request at work on the session (conflict) falls to 409.
    {engine_op::upload_cancel, REG_ERR_NOT_FOUND, 404, "BLOB_UPLOAD_UNKNOWN"},
    {engine_op::upload_cancel, REG_ERR_INVALID, 404, "BLOB_UPLOAD_UNKNOWN"},
    {engine_op::referrers, REG_ERR_INVALID, 400, "DIGEST_INVALID"},
    {engine_op::referrers, REG_ERR_NOT_FOUND, 404, "NAME_UNKNOWN"},
};

const char *reason_phrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "";
    }
}

// A header value never carries a line break or another control byte: a
// stored media type or a name from the client must not start a header of its own.
std::string header_safe(const std::string &value) {
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value)
        if (c >= 0x20 && c != 0x7F) out += static_cast<char>(c);
    return out;
}

} // namespace

const std::string *http_response::find_header(std::string_view name) const {
    for (const auto &h : headers)
        if (h.first == name) return &h.second;
    return nullptr;
}

void respond_error(http_response &resp, int status, const char *code, std::string_view message) {
    std::string body = "{\"errors\":[{\"code\":\"";
    body += code;
    body += "\",\"message\":\"";
    append_escaped(body, message);
    body += "\"}]}\n";
    respond_json(resp, status, std::move(body));
}

void respond_json(http_response &resp, int status, std::string body, const char *content_type) {
    resp.status = status;
    resp.content_type = content_type ? content_type : kJsonType;
    resp.body = std::move(body);
    resp.sendfile.clear();
}

void engine_error_status(engine_op op, reg_err_kind kind, int *status, const char **code) {
    for (const error_row &row : kErrorTable) {
        if (row.op == op && row.kind == kind) {
            *status = row.status;
            *code = row.code;
            return;
        }
    }
    *status = kind == REG_ERR_CONFLICT ? 409 : 500;
    *code = kind == REG_ERR_CONFLICT ? "DENIED" : "UNKNOWN";
}

void respond_engine_error(http_response &resp, engine_op op) {
    int status = 500;
    const char *code = "UNKNOWN";
    reg_err_kind kind = reg_storage_last_error_kind();
    engine_error_status(op, kind, &status, &code);
    const char *why = reg_storage_last_error();
    if (status < 500) {
        respond_error(resp, status, code, why && *why ? why : "storage error");
        return;
    }
    // A server fault's text may name files of the server: it goes to the
    // operator's error log, the client gets the system's reason alone.
    fprintf(stderr, "registry: %s\n", why && *why ? why : "storage error");
    int err = reg_storage_last_errno();
    std::string message = err == ENOSPC ? "no space left on device: the registry's disk is full"
                           : err ? std::string("storage error: ") + strerror(err)
                                 : std::string("storage error");
    respond_error(resp, status, code, message);
}

// Content-Length is always the length of the GET answer, so a HEAD tells the
// client what a GET would bring. A file sent by the web server gets its
// length, ranges and HEAD handling from the server.
void write_response(const http_request &req, const http_response &resp, const response_sink &sink) {
    std::string head;
    const char *reason = resp.form.reason_phrase ? reason_phrase(resp.status) : "";
    head += "Status: " + std::to_string(resp.status);
    if (*reason) head += std::string(" ") + reason;
    head += "\r\n";
    size_t leading = std::min(resp.form.headers_before_version, resp.headers.size());
    for (size_t i = 0; i < leading; ++i)
        head += header_safe(resp.headers[i].first) + ": " + header_safe(resp.headers[i].second) + "\r\n";
    head += OCI_API_VERSION_HEADER "\r\n";
    if (!resp.content_type.empty()) head += "Content-Type: " + header_safe(resp.content_type) + "\r\n";
    for (size_t i = leading; i < resp.headers.size(); ++i)
        head += header_safe(resp.headers[i].first) + ": " + header_safe(resp.headers[i].second) + "\r\n";
    if (!resp.sendfile.empty()) {
        head += "X-Sendfile: " + header_safe(resp.sendfile) + "\r\n\r\n";
        sink(head);
        return;
    }
    if (resp.form.content_length) head += "Content-Length: " + std::to_string(resp.body.size()) + "\r\n";
    head += "\r\n";
    if (!sink(head)) return;
    if ((!req.is_head() || resp.form.body_on_head) && !resp.body.empty()) sink(resp.body);
}

void finish_response(const http_request &req, const http_response &resp, const response_sink &sink) {
    qf_audit_note_client(req.client.c_str());
    qf_audit_note_status(resp.status);
    if (!resp.actor.empty()) qf_audit_note_actor(resp.actor.c_str());
    int64_t bytes = resp.log_bytes;
    if (bytes < 0)
        bytes = resp.sendfile.empty() ? (req.is_head() ? 0 : static_cast<int64_t>(resp.body.size()))
                                      : resp.sendfile_size;
    qf_audit_note_bytes(bytes);
    // The line is written before the answer: once the client has the whole
    // answer it may look at the log, and the process may still be running.
    qf_audit_flush();
    write_response(req, resp, sink);
}

void write_response(const http_request &req, const http_response &resp, FILE *out) {
    write_response(req, resp, [out](std::string_view bytes) {
        return fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    });
    fflush(out);
}
