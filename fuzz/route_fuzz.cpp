// route_fuzz.cpp - whole requests from the client through the front door's route table and handlers,
// over a sandbox storage root with a stored image. Whatever the request, the answer is a well-formed
// response (a known status, no line break inside a header, an error body that parses), and nothing
// outside the storage root changes.
//
// Input: lines "method", "path", "query", "Content-Range", "Content-Type"; the rest is the body.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "front/http.h"
#include "fuzz/fuzz_util.h"
#include "platform/json_doc.h"
#include "storage/reg_storage.h"

namespace {

std::string base;
std::string root;
std::map<std::string, std::string> canary;

void reset_root() {
    fuzz::remove_tree(root);
    if (reg_storage_init(root.c_str()) != 0) fuzz::fail("cannot start the engine", reg_storage_last_error());
    std::string config = "{}";
    std::string layer = "layer";
    std::string manifest = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                           "\"config\":{\"mediaType\":\"x\",\"digest\":\"" + fuzz::store_blob(config) +
                           "\",\"size\":2},\"layers\":[{\"mediaType\":\"y\",\"digest\":\"" + fuzz::store_blob(layer) +
                           "\",\"size\":5}]}";
    char digest[72];
    if (reg_manifest_put("library/app", "latest", manifest.data(), manifest.size(), nullptr, digest) != 0)
        fuzz::fail("cannot store the image", reg_storage_last_error());
}

void check_response(const http_request &req, const http_response &resp) {
    if (resp.status < 200 || resp.status > 599) fuzz::fail("status out of range", std::to_string(resp.status));
    char *text = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    write_response(req, resp, out);
    fclose(out);
    std::string written(text, len);
    free(text);
    size_t end = written.find("\r\n\r\n");
    if (end == std::string::npos) fuzz::fail("no end of headers");
    std::string head = written.substr(0, end + 2);
    for (size_t i = 0; i < head.size(); ++i) {
        bool crlf = head[i] == '\r' && i + 1 < head.size() && head[i + 1] == '\n';
        if (head[i] == '\r' && !crlf) fuzz::fail("bare CR in a header", head);
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) fuzz::fail("bare LF in a header", head);
    }
    if (resp.status >= 400) {
        json_doc_ptr doc(json_read(resp.body.data(), resp.body.size()));
        if (!json_is_arr(json_obj_get(json_doc_root(doc.get()), "errors")))
            fuzz::fail("error answer without an error body", resp.body);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    base = fuzz::scratch_dir();
    root = base + "/root";
    fuzz::write_file(base + "/canary/file", "must stay");
    fuzz::write_file(base + "/config.json", "{\"registry_gc_grace_seconds\": 0}");
    setenv("REGISTRY_STORAGE_ROOT", root.c_str(), 1);
    if (chdir(base.c_str()) != 0) fuzz::fail("cannot enter the scratch directory");
    reset_root();
    canary = fuzz::fingerprint(base, root);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> f = fuzz::fields(data, size, 6);
    // A started collection runs in a process of its own; the fuzzer must not fork one per input.
    if (f[0] == "POST" && f[1].find("_admin/gc") != std::string::npos) return 0;
    http_request req;
    req.method = f[0];
    req.path = f[1];
    req.raw_path = f[1];
    req.query = f[2];
    req.content_range = f[3];
    req.content_type = f[4];
    FILE *body = fmemopen(f[5].empty() ? nullptr : f[5].data(), f[5].size(), "rb");
    req.body = body;
    req.content_length = static_cast<int64_t>(f[5].size());
    http_response resp;
    registry_dispatch(req, resp);
    if (body) fclose(body);
    check_response(req, resp);
    if (fuzz::fingerprint(base, root) != canary) fuzz::fail("something outside the storage root changed");
    // A collection or deletion started by the input must not leak into the next one.
    reset_root();
    return 0;
}
