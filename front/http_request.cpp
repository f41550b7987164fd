// http_request.cpp - the request record from the CGI environment, query parameters, engine start-up.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "front/http.h"
#include "front/oci_common.h"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// '+' is a space, "%XY" one byte; a '%' without two hex digits is refused
// rather than guessed at.
bool form_decode(std::string_view in, std::string &out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            int hi = i + 1 < in.size() ? hex_value(in[i + 1]) : -1;
            int lo = i + 2 < in.size() ? hex_value(in[i + 2]) : -1;
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

} // namespace

bool query_param(std::string_view query, std::string_view name, std::string &value, bool &found) {
    found = false;
    value.clear();
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view segment = query.substr(0, amp);
        size_t eq = segment.find('=');
        std::string key;
        if (!form_decode(segment.substr(0, eq), key)) return false;
        if (key == name) {
            found = true;
            return eq == std::string_view::npos ? true : form_decode(segment.substr(eq + 1), value);
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return true;
}

bool raw_path_malformed(std::string_view raw) {
    std::string decoded;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            decoded += raw[i];
            continue;
        }
        int hi = i + 1 < raw.size() ? hex_value(raw[i + 1]) : -1;
        int lo = i + 2 < raw.size() ? hex_value(raw[i + 2]) : -1;
        if (hi < 0 || lo < 0) return true;
        char c = static_cast<char>(hi * 16 + lo);
        if (c == '/' || c == '\\' || c == '\0') return true;
        decoded += c;
        i += 2;
    }
    if (decoded.find("//") != std::string::npos) return true;
    for (std::string_view dots : {"/./", "/../"})
        if (decoded.find(dots) != std::string::npos) return true;
    for (std::string_view end : {"/.", "/.."})
        if (decoded.size() >= end.size() && decoded.compare(decoded.size() - end.size(), end.size(), end) == 0)
            return true;
    return false;
}

bool front_storage_ready(http_response &resp) {
    if (oci_init_storage() == 0) return true;
    respond_error(resp, 500, "UNKNOWN", "Failed to initialize registry storage");
    return false;
}

http_request request_from_env(const request_env_fn &env, FILE *body) {
    auto env_or_empty = [&env](const char *name) {
        const char *v = env(name);
        return std::string(v ? v : "");
    };
    http_request req;
    req.method = env_or_empty("REQUEST_METHOD");
    if (req.method.empty()) req.method = "GET";
    req.path = env_or_empty("PATH_INFO");
    req.query = env_or_empty("QUERY_STRING");
    // The web server repairs paths and re-encodes queries before the program
    // sees them; what the client really sent is judged from the raw form.
    std::string uri = env_or_empty("REQUEST_URI");
    if (!uri.empty()) {
        size_t q = uri.find('?');
        req.raw_path = uri.substr(0, q);
        req.query = q == std::string::npos ? "" : uri.substr(q + 1);
    }
    req.authorization = env_or_empty("HTTP_AUTHORIZATION");
    req.client = env_or_empty("REMOTE_ADDR");
    req.host = env_or_empty("HTTP_HOST");
    req.origin = env_or_empty("HTTP_ORIGIN");
    req.fetch_site = env_or_empty("HTTP_SEC_FETCH_SITE");
    req.content_type = env_or_empty("CONTENT_TYPE");
    req.content_range = env_or_empty("HTTP_CONTENT_RANGE");
    std::string length = env_or_empty("CONTENT_LENGTH");
    if (!length.empty()) {
        char *end = nullptr;
        long long v = strtoll(length.c_str(), &end, 10);
        if (end && *end == '\0' && v >= 0) req.content_length = v;
    }
    req.body_file = env_or_empty("POST_BODY_FILE");
    req.body = body;
    return req;
}

http_request request_from_cgi() {
    return request_from_env([](const char *name) { return static_cast<const char *>(getenv(name)); }, stdin);
}
