// body.cpp - reading a request body within its Content-Length and a limit.
#include "front/body.h"

#include <algorithm>

long body_read(void *ctx, void *buf, size_t cap) {
    auto *r = static_cast<body_reader *>(ctx);
    size_t want = cap;
    if (r->expected >= 0) want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(cap), r->expected - r->taken));
    if (want == 0) return 0;
    size_t n = r->in ? fread(buf, 1, want, r->in) : 0;
    if (n == 0) {
        if (r->in && ferror(r->in)) {
            r->read_error = true;
            return -1;
        }
        if (r->expected >= 0 && r->taken < r->expected) {
            r->short_body = true;
            return -1;
        }
        return 0;
    }
    r->taken += static_cast<int64_t>(n);
    if (r->limit >= 0 && r->taken > r->limit) {
        r->over_limit = true;
        return -1;
    }
    return static_cast<long>(n);
}

body_status read_whole_body(const http_request &req, size_t limit, std::string &out) {
    out.clear();
    if (req.content_length > static_cast<int64_t>(limit)) return body_status::too_large;
    body_reader r(req);
    r.limit = static_cast<int64_t>(limit);
    constexpr size_t kPiece = 65536;
    char piece[kPiece];
    for (;;) {
        long n = body_read(&r, piece, sizeof piece);
        if (n == 0) return body_status::ok;
        if (n < 0) {
            if (r.over_limit) return body_status::too_large;
            return r.short_body ? body_status::short_body : body_status::read_error;
        }
        out.append(piece, static_cast<size_t>(n));
    }
}
