// seed_store.cpp - stores blobs and manifests through the engine, for the tests that drive real clients.
// Usage: seed_store ROOT blob FILE                       prints the blob's digest
//        seed_store ROOT manifest REPO REF FILE TYPE     prints the manifest's digest
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "storage/reg_storage.h"

namespace {

bool read_file(const char *path, std::string &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int fail(const char *what) {
    fprintf(stderr, "seed_store: %s: %s\n", what, reg_storage_last_error());
    return 1;
}

int store_blob(const char *path) {
    FILE *in = fopen(path, "rb");
    if (!in) return fail("cannot open blob file");
    char id[37];
    if (reg_blob_start_upload(id) != 0) return fail("start upload");
    std::vector<char> buf(1 << 20);
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), in)) > 0)
        if (reg_blob_append_chunk(id, buf.data(), n) != 0) return fail("append");
    fclose(in);
    // The digest is the engine's own: the test compares it with an independent hash.
    std::string cmd = std::string("sha256sum '") + path + "'";
    FILE *p = popen(cmd.c_str(), "r");
    char hex[65] = "";
    if (!p || fscanf(p, "%64s", hex) != 1) return fail("sha256sum");
    pclose(p);
    std::string digest = std::string("sha256:") + hex;
    char stored[72];
    if (reg_blob_finish_upload(id, digest.c_str(), stored) != 0) return fail("finish upload");
    printf("%s\n", stored);
    return 0;
}

int store_manifest(const char *repo, const char *ref, const char *path, const char *type) {
    std::string body;
    if (!read_file(path, body)) return fail("cannot read manifest file");
    char digest[72];
    if (reg_manifest_put(repo, ref, body.data(), body.size(), type, digest) != 0) return fail("manifest put");
    printf("%s\n", digest);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: seed_store ROOT blob FILE | ROOT manifest REPO REF FILE TYPE\n");
        return 2;
    }
    if (reg_storage_init(argv[1]) != 0) return fail("init");
    if (strcmp(argv[2], "blob") == 0) return store_blob(argv[3]);
    if (strcmp(argv[2], "manifest") == 0 && argc == 7) return store_manifest(argv[3], argv[4], argv[5], argv[6]);
    fprintf(stderr, "seed_store: unknown command\n");
    return 2;
}
