// manifest_fuzz.cpp - manifest bodies: the JSON reader walked over any input, then the manifest store over a
// sandbox storage root that holds a few blobs and one stored manifest for an index to name. A body the store
// takes must read back byte for byte under its own digest; a body it refuses must leave nothing behind.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz/fuzz_util.h"
#include "platform/json_doc.h"
#include "storage/reg_storage.h"

namespace {

constexpr char kRepo[] = "fuzz/repo";
constexpr char kTag[] = "t";
constexpr char kChildRepo[] = "fuzz/child";
constexpr int kWalkDepthMax = 64;
// Members a manifest reader looks up, and a few that no manifest has.
constexpr const char *kKeys[] = {"schemaVersion", "mediaType", "config", "layers",      "manifests",
                                 "digest",        "size",      "urls",   "annotations", ""};

std::string root;

// Asks everything the reader offers of a value, and of what it holds.
void walk(json_val *v, int depth) {
    json_is_obj(v);
    json_is_null(v);
    json_is_bool(v);
    json_get_bool(v);
    json_is_int(v);
    json_is_real(v);
    json_get_real(v);
    if (json_is_sint(v)) json_get_sint(v);
    if (json_is_uint(v)) json_get_uint(v);
    if (json_is_str(v)) {
        const char *s = json_get_str(v);
        if (!s || strlen(s) > json_get_len(v)) fuzz::fail("string longer than its length");
    }
    if (depth >= kWalkDepthMax) return;
    if (json_is_obj(v))
        for (const char *key : kKeys)
            if (json_val *member = json_obj_get(v, key)) walk(member, depth + 1);
    size_t n = json_arr_size(v);
    for (size_t i = 0; i < n; ++i)
        walk(json_arr_get(v, i), depth + 1);
    // Backwards after the forward walk: the reader restarts from the front.
    if (n > 1 && !json_arr_get(v, 0)) fuzz::fail("first element lost after a forward walk");
    if (json_arr_get(v, n)) fuzz::fail("element past the end");
}

void check_stored(const std::string &body, const char *digest) {
    if (fuzz::digest_of(body) != digest) fuzz::fail("stored under another digest", digest);
    char type[128];
    char got_digest[72];
    const char *got = reg_manifest_get(kRepo, kTag, type, got_digest);
    if (!got) fuzz::fail("stored manifest cannot be read back", reg_storage_last_error());
    if (body.size() < 1048575 && memcmp(got, body.data(), body.size()) != 0) fuzz::fail("body read back differs");
    if (strcmp(got_digest, digest) != 0 || !type[0]) fuzz::fail("digest or type read back differs", got_digest);
    if (reg_manifest_delete(kRepo, digest) != 0) fuzz::fail("stored manifest cannot be deleted", reg_storage_last_error());
    if (reg_manifest_get(kRepo, kTag, type, got_digest)) fuzz::fail("tag still names a deleted manifest");
}

std::string image_manifest(const std::string &config, const std::string &layer) {
    return R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"digest":")" +
           config + R"(","size":1},"layers":[{"digest":")" + layer + R"(","size":1}]})";
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    root = fuzz::scratch_dir() + "/root";
    if (reg_storage_init(root.c_str()) != 0) fuzz::fail("cannot start the engine", reg_storage_last_error());
    // The seed corpus names these blobs and the child manifest by digest.
    const std::string config = fuzz::store_blob(R"({"architecture":"amd64","os":"linux"})");
    const std::string layer = fuzz::store_blob("layer-one");
    fuzz::store_blob("layer-two");
    const std::string child = image_manifest(config, layer);
    char digest[72];
    if (reg_manifest_put(kChildRepo, "v1", child.data(), child.size(), nullptr, digest) != 0)
        fuzz::fail("cannot store the child manifest", reg_storage_last_error());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    json_doc_ptr doc(json_read(reinterpret_cast<const char *>(data), size));
    walk(json_doc_root(doc.get()), 0);

    const std::string body = fuzz::text(data, size);
    char digest[72] = "";
    if (reg_manifest_put(kRepo, kTag, body.data(), body.size(), "", digest) == 0) {
        check_stored(body, digest);
    } else {
        reg_err_kind kind = reg_storage_last_error_kind();
        if (kind != REG_ERR_INVALID && kind != REG_ERR_NOT_FOUND)
            fuzz::fail("refused body reported as another failure", reg_storage_last_error());
        if (digest[0]) fuzz::fail("refused body hands back a digest");
        char type[128];
        char got_digest[72];
        if (reg_manifest_get(kRepo, kTag, type, got_digest)) fuzz::fail("refused body is stored");
    }
    reg_repo_delete(kRepo);
    return 0;
}
