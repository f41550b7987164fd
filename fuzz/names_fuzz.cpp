// names_fuzz.cpp - repository names, references, digests and upload ids from the client, handed to every
// engine operation that turns them into paths, over a sandbox storage root. Beside the root lies a canary
// tree: whatever the names say, nothing outside the root may change. Listings must stay valid JSON.
//
// Input: lines "name", "reference", "digest", "upload id", "cursor"; the rest of the input is a chunk.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "platform/json_doc.h"
#include "storage/reg_storage.h"

namespace {

// An upload that always exists when an input starts; the seed corpus names it.
constexpr char kUploadId[] = "0123abcd-4567-89ef-0123-456789abcdef";

std::string base;
std::string root;
std::string manifest; // names the stored blobs, so a put reaches the disk
std::vector<std::pair<std::string, std::string>> blobs; // content, digest
std::map<std::string, std::string> canary;

void check_listing(const char *json, const char *what) {
    if (!json) return;
    json_doc_ptr doc(json_read(json, strlen(json)));
    if (!json_is_obj(json_doc_root(doc.get()))) fuzz::fail("listing is not a JSON object", what);
}

// Everything below the scratch directory except the storage root itself.
void check_canary() {
    if (fuzz::fingerprint(base, root) != canary) fuzz::fail("something outside the storage root changed");
}

// Back to the starting state: the blobs and the open upload present, no repository.
void reset_root() {
    fuzz::remove_tree(root + "/repositories");
    fuzz::remove_tree(root + "/uploads");
    fuzz::remove_tree(root + "/_gc");
    if (reg_storage_init(root.c_str()) != 0) fuzz::fail("cannot restart the engine", reg_storage_last_error());
    for (const auto &[content, digest] : blobs)
        if (reg_blob_exists(digest.c_str()) != 1) fuzz::store_blob(content);
    fuzz::write_file(root + "/uploads/" + kUploadId + ".part", "");
}

void manifest_operations(const std::string &name, const std::string &reference, const std::string &digest,
                         const std::string &cursor) {
    char out[72];
    char type[128];
    reg_manifest_put(name.c_str(), reference.c_str(), manifest.data(), manifest.size(), reference.c_str(), out);
    reg_manifest_put(name.c_str(), digest.c_str(), manifest.data(), manifest.size(), nullptr, out);
    reg_manifest_get(name.c_str(), reference.c_str(), type, out);
    reg_manifest_get(name.c_str(), digest.c_str(), type, out);

    int more = 0;
    char last[300];
    check_listing(reg_tags_list_json_page(name.c_str(), 1, cursor.c_str(), &more, last, sizeof last), "tags");
    check_listing(reg_tags_list_json_page(name.c_str(), 0, nullptr, nullptr, nullptr, 0), "tags");
    check_listing(reg_catalog_json_page(2, cursor.c_str(), &more, last, sizeof last), "catalog");

    reg_manifest_delete(name.c_str(), reference.c_str());
    reg_manifest_delete(name.c_str(), digest.c_str());
}

void blob_operations(const std::string &digest, const std::string &id, const std::string &chunk) {
    int64_t bytes = 0;
    char path[4096];
    char out[72];
    reg_blob_exists(digest.c_str());
    reg_blob_get_size(digest.c_str());
    if (reg_blob_get_filepath(digest.c_str(), path, sizeof path) == 0 &&
        std::string(path).rfind(root + "/blobs/sha256/", 0) != 0)
        fuzz::fail("blob path outside the blob store", path);
    reg_blob_get_filepath(digest.c_str(), path, 8);
    reg_blob_append_chunk(id.c_str(), chunk.data(), chunk.size());
    reg_blob_upload_size(id.c_str(), &bytes);
    reg_blob_finish_upload(id.c_str(), digest.c_str(), out);
    reg_blob_cancel_upload(id.c_str());
    reg_blob_delete(digest.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    base = fuzz::scratch_dir();
    root = base + "/sandbox/root";
    // Canaries beside the root, beside its parent, and where a "../" would land.
    fuzz::write_file(base + "/canary/file", "canary");
    fuzz::write_file(base + "/canary/repositories/lib/_manifests/keep", "keep");
    fuzz::write_file(base + "/sandbox/repositories/lib/_manifests/keep", "keep");
    fuzz::write_file(base + "/sandbox/blobs/sha256/aa/keep", "keep");
    fuzz::write_file(base + "/sandbox/uploads/keep.part", "keep");
    if (reg_storage_init(root.c_str()) != 0) fuzz::fail("cannot start the engine", reg_storage_last_error());
    for (const char *content : {R"({"architecture":"amd64","os":"linux"})", "layer-one"})
        blobs.emplace_back(content, fuzz::store_blob(content));
    manifest = R"({"schemaVersion":2,"config":{"digest":")" + blobs[0].second + R"("},"layers":[{"digest":")" +
               blobs[1].second + R"("}]})";
    reset_root();
    canary = fuzz::fingerprint(base, root);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<std::string> f = fuzz::fields(data, size, 6);
    const std::string &name = f[0], &reference = f[1], &digest = f[2], &id = f[3], &cursor = f[4], &chunk = f[5];

    manifest_operations(name, reference, digest, cursor);
    blob_operations(digest, id, chunk);
    reg_repo_delete(name.c_str());
    check_listing(reg_catalog_json_page(0, nullptr, nullptr, nullptr, 0), "catalog");

    check_canary();
    reset_root();
    return 0;
}
