// The front door's path matcher, name and reference rules, query parameters and response writer.
#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>

#include "front/http.h"
#include "front/route.h"

namespace {

struct ShapeCase {
    const char *path;
    path_shape shape;
    const char *name;
    const char *tail;
};

TEST(RouteMatch, ShapesAreFoundFromTheEndOfThePath) {
    const ShapeCase cases[] = {
        {"/v2", path_shape::base, "", ""},
        {"/v2/", path_shape::base, "", ""},
        {"/v2/_catalog", path_shape::catalog, "", ""},
        {"/v2/_admin/gc", path_shape::admin_gc, "", ""},
        {"/v2/_admin/usage", path_shape::admin_usage, "", ""},
        {"/v2/_admin/retention", path_shape::admin_retention, "", ""},
        {"/v2/_admin/other", path_shape::none, "", ""},
        {"/v2/_admin", path_shape::none, "", ""},
        // A repository named like the admin routes keeps its own.
        {"/v2/admin/gc/tags/list", path_shape::tags_list, "admin/gc", ""},
        {"/v2/x/_admin/gc/manifests/v1", path_shape::manifest, "x/_admin/gc", "v1"},
        {"/v2/library/ubuntu/tags/list", path_shape::tags_list, "library/ubuntu", ""},
        {"/v2/a/manifests/latest", path_shape::manifest, "a", "latest"},
        // Keywords inside the name stay part of it.
        {"/v2/team/manifests/app/manifests/v1", path_shape::manifest, "team/manifests/app", "v1"},
        {"/v2/x/blobs/y/blobs/sha256:ab", path_shape::blob, "x/blobs/y", "sha256:ab"},
        {"/v2/tags/list/tags/list", path_shape::tags_list, "tags/list", ""},
        {"/v2/a/blobs/uploads/", path_shape::upload_start, "a", ""},
        {"/v2/a/blobs/uploads", path_shape::upload_start, "a", ""},
        {"/v2/a/blobs/uploads/0123", path_shape::upload_session, "a", "0123"},
        {"/v2/a/blobs/uploads/blobs/uploads/id", path_shape::upload_session, "a/blobs/uploads", "id"},
        {"/v2/r/referrers/sha256:00", path_shape::referrers, "r", "sha256:00"},
        {"/v2/library/ubuntu", path_shape::repository, "library/ubuntu", ""},
        {"/v2/library/ubuntu/", path_shape::repository, "library/ubuntu", ""},
        // Too short for a keyword route: the whole rest is a repository name.
        {"/v2/manifests/latest", path_shape::repository, "manifests/latest", ""},
        {"/v2//a//manifests/x", path_shape::manifest, "/a/", "x"},
        {"/v2x", path_shape::none, "", ""},
        {"/library/ubuntu", path_shape::none, "", ""},
        {"", path_shape::none, "", ""},
    };
    for (const ShapeCase &c : cases) {
        route_match m;
        EXPECT_EQ(c.shape, match_path(c.path, m)) << c.path;
        EXPECT_EQ(c.name, m.name) << c.path;
        EXPECT_EQ(c.tail, m.tail) << c.path;
    }
}

TEST(RouteNames, RepositoryNamesFollowTheApiRule) {
    const struct {
        const char *name;
        bool valid;
    } cases[] = {
        {"ubuntu", true},
        {"library/ubuntu", true},
        {"a/b/c-d.e_f__g", true},
        {"team/manifests/app", true},
        {"a--b", true},
        {"UPPER/Case", true},
        {"", false},
        {"/a", false},
        {"a/", false},
        {"a//b", false},
        {"..", false},
        {"a/../b", false},
        {"a/./b", false},
        {"_catalog", false},
        {"a/_admin", false},
        {"a/_manifests", false},
        {"a.", false},
        {"a..b", false},
        {"a___b", false},
        {"a b", false},
        {"a%2fb", false},
        {"a\\b", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.valid, api_name_valid(c.name)) << c.name;
    EXPECT_TRUE(api_name_valid(std::string(255, 'a')));
    EXPECT_FALSE(api_name_valid(std::string(256, 'a')));
}

TEST(RouteNames, TagsAndDigests) {
    const struct {
        const char *text;
        bool tag;
        bool digest;
    } cases[] = {
        {"latest", true, false},
        {"_x", true, false},
        {"v1.0-rc_1", true, false},
        {".hidden", false, false},
        {"-dash", false, false},
        {"a/b", false, false},
        {"a:b", false, false},
        {"", false, false},
        {"sha256:totallywrong", false, false},
        {"sha256:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", false, true},
        {"sha256:0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef", false, false},
        {"sha256:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde", false, false},
        {"sha512:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", false, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.tag, api_tag_valid(c.text)) << c.text;
        EXPECT_EQ(c.digest, api_digest_valid(c.text)) << c.text;
    }
    EXPECT_TRUE(api_tag_valid(std::string(128, 'a')));
    EXPECT_FALSE(api_tag_valid(std::string(129, 'a')));
}

TEST(RouteQuery, ParametersAreDecodedAndBrokenEscapesRefused) {
    const struct {
        const char *query;
        const char *name;
        bool ok;
        bool found;
        const char *value;
    } cases[] = {
        {"n=10&last=b", "n", true, true, "10"},
        {"n=10&last=b", "last", true, true, "b"},
        {"last=a%2Fb+c", "last", true, true, "a/b c"},
        {"n=1&n=2", "n", true, true, "1"},
        {"n", "n", true, true, ""},
        {"", "n", true, false, ""},
        {"x=1", "n", true, false, ""},
        {"&&n=3&", "n", true, true, "3"},
        {"last=%zz", "last", false, true, ""},
        {"last=%4", "last", false, true, ""},
        {"last=%", "last", false, true, ""},
        {"%6e=5", "n", true, true, "5"},
    };
    for (const auto &c : cases) {
        std::string value;
        bool found = false;
        EXPECT_EQ(c.ok, query_param(c.query, c.name, value, found)) << c.query;
        EXPECT_EQ(c.found, found) << c.query;
        if (c.ok) {
            EXPECT_EQ(c.value, value) << c.query;
        }
    }
}

TEST(RouteRawPath, PathsTheServerHadToRepairAreRefused) {
    const struct {
        const char *raw;
        bool malformed;
    } cases[] = {
        {"/v2/library/app/manifests/latest", false},
        {"/v2/", false},
        {"/v2/a/blobs/sha256:00", false},
        {"/v2/a%62c/tags/list", false},
        {"//v2/a", true},
        {"/v2//a", true},
        {"/v2/../etc", true},
        {"/v2/a/..", true},
        {"/v2/a/.", true},
        {"/v2/./a", true},
        {"/v2/%2e%2e/a", true},
        {"/v2/%2E./a", true},
        {"/v2/library%2fapp/tags/list", true},
        {"/v2/library%2Fapp/tags/list", true},
        {"/v2/a%5cb", true},
        {"/v2/a%00", true},
        {"/v2/a%zz", true},
        {"/v2/a%4", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.malformed, raw_path_malformed(c.raw)) << c.raw;
}

std::string written(const http_request &req, const http_response &resp) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    write_response(req, resp, out);
    fclose(out);
    std::string text(buf, len);
    free(buf);
    return text;
}

TEST(ResponseWriter, PrintsStatusHeadersLengthAndBody) {
    http_request get;
    get.method = "GET";
    http_response resp;
    respond_json(resp, 200, "{}\n");
    resp.header("Docker-Content-Digest", "sha256:x");
    EXPECT_EQ("Status: 200 OK\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
              "Content-Type: application/json; charset=utf-8\r\nDocker-Content-Digest: sha256:x\r\n"
              "Content-Length: 3\r\n\r\n{}\n",
              written(get, resp));

    // HEAD keeps the GET's length and sends no body.
    http_request head = get;
    head.method = "HEAD";
    EXPECT_EQ("Status: 200 OK\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
              "Content-Type: application/json; charset=utf-8\r\nDocker-Content-Digest: sha256:x\r\n"
              "Content-Length: 3\r\n\r\n",
              written(head, resp));

    http_response file;
    file.content_type = "application/octet-stream";
    file.sendfile = "/store/blobs/sha256/ab/abcd";
    file.sendfile_size = 10;
    EXPECT_EQ("Status: 200 OK\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
              "Content-Type: application/octet-stream\r\nX-Sendfile: /store/blobs/sha256/ab/abcd\r\n\r\n",
              written(get, file));
}

TEST(ResponseWriter, HeaderValuesCannotStartHeadersOfTheirOwn) {
    http_request get;
    get.method = "GET";
    http_response resp;
    respond_json(resp, 200, "{}", "application/x\r\nSet-Cookie: a=b");
    resp.header("Location", "/v2/x\nInjected: 1");
    EXPECT_EQ("Status: 200 OK\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
              "Content-Type: application/xSet-Cookie: a=b\r\nLocation: /v2/xInjected: 1\r\n"
              "Content-Length: 2\r\n\r\n{}",
              written(get, resp));
}

TEST(ResponseWriter, ErrorBodiesEscapeTheMessage) {
    http_response resp;
    respond_error(resp, 404, "NAME_UNKNOWN", "a \"quoted\"\nname\x01");
    EXPECT_EQ(404, resp.status);
    EXPECT_EQ("{\"errors\":[{\"code\":\"NAME_UNKNOWN\",\"message\":\"a \\\"quoted\\\"\\nname\\u0001\"}]}\n",
              resp.body);
    // Bytes that are not UTF-8 (a stray continuation, a cut sequence, an overlong form) never reach the body.
    respond_error(resp, 405, "UNSUPPORTED", "GE\xd3 \xc3\xa9 \xad \xc0\xaf \xe2\x82");
    EXPECT_EQ("{\"errors\":[{\"code\":\"UNSUPPORTED\",\"message\":\"GE\\ufffd \xc3\xa9 \\ufffd \\ufffd\\ufffd "
              "\\ufffd\\ufffd\"}]}\n",
              resp.body);
}

TEST(ResponseWriter, EngineFailureKindsMapToStatusAndCode) {
    const struct {
        engine_op op;
        reg_err_kind kind;
        int status;
        const char *code;
    } cases[] = {
        {engine_op::repository, REG_ERR_NOT_FOUND, 404, "NAME_UNKNOWN"},
        {engine_op::repository, REG_ERR_IO, 500, "UNKNOWN"},
        {engine_op::manifest_get, REG_ERR_NOT_FOUND, 404, "MANIFEST_UNKNOWN"},
        {engine_op::manifest_put, REG_ERR_NOT_FOUND, 400, "MANIFEST_BLOB_UNKNOWN"},
        {engine_op::manifest_put, REG_ERR_INVALID, 400, "MANIFEST_INVALID"},
        {engine_op::blob, REG_ERR_NOT_FOUND, 404, "BLOB_UNKNOWN"},
        {engine_op::upload_finish, REG_ERR_INVALID, 400, "DIGEST_INVALID"},
        {engine_op::upload, REG_ERR_NOT_FOUND, 404, "BLOB_UPLOAD_UNKNOWN"},
        {engine_op::upload, REG_ERR_CONFLICT, 416, "BLOB_UPLOAD_INVALID"},
        {engine_op::upload_cancel, REG_ERR_CONFLICT, 409, "DENIED"},
        {engine_op::listing, REG_ERR_NO_MEMORY, 500, "UNKNOWN"},
    };
    for (const auto &c : cases) {
        int status = 0;
        const char *code = nullptr;
        engine_error_status(c.op, c.kind, &status, &code);
        EXPECT_EQ(c.status, status) << static_cast<int>(c.op) << "/" << c.kind;
        EXPECT_STREQ(c.code, code) << static_cast<int>(c.op) << "/" << c.kind;
    }
}

} // namespace
