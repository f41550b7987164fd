// body.h - reading a request body: streamed to the engine in pieces, or whole for small documents.
#ifndef FRONT_BODY_H
#define FRONT_BODY_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "front/http.h"

// The state of one body read through body_read. A read that breaks off sets
// the reason and answers -1, which makes the engine undo what it stored.
struct body_reader {
    FILE *in = nullptr;
    int64_t expected = -1; // Content-Length, -1 when not given (read to the end)
    int64_t limit = -1;    // most bytes accepted, -1 for no limit
    int64_t taken = 0;
    bool short_body = false; // the end came before Content-Length bytes
    bool over_limit = false;
    bool read_error = false;

    explicit body_reader(const http_request &req) : in(req.body), expected(req.content_length) {}
};

// reg_read_fn over a body_reader.
long body_read(void *ctx, void *buf, size_t cap);

enum class body_status { ok, too_large, short_body, read_error };
// The whole body, refused when longer than limit bytes (read no further than
// one byte past it, and not at all when Content-Length already says so).
body_status read_whole_body(const http_request &req, size_t limit, std::string &out);

#endif
