// admin_fixture.cpp - builds the admin tool's test stores through the engine: a small registry, or many loose blobs.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "digest/sha256.h"
#include "storage/reg_storage.h"

namespace {

std::string digest_of(const std::string &data) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    uint8_t d[32];
    sha256_final(&ctx, d);
    std::string out = "sha256:";
    static const char hx[] = "0123456789abcdef";
    for (uint8_t b : d) {
        out += hx[b >> 4];
        out += hx[b & 15];
    }
    return out;
}

bool put_blob(const std::string &data) {
    char id[37];
    char stored[72];
    return reg_blob_start_upload(id) == 0 && reg_blob_append_chunk(id, data.data(), data.size()) == 0 &&
           reg_blob_finish_upload(id, digest_of(data).c_str(), stored) == 0;
}

std::string descriptor(const char *type, const std::string &data) {
    return std::string("{\"mediaType\":\"") + type + "\",\"digest\":\"" + digest_of(data) +
           "\",\"size\":" + std::to_string(data.size()) + "}";
}

constexpr char kManifestType[] = "application/vnd.oci.image.manifest.v1+json";
constexpr char kConfigType[] = "application/vnd.oci.image.config.v1+json";
constexpr char kLayerType[] = "application/vnd.oci.image.layer.v1.tar+gzip";

std::string image(const std::string &config, std::initializer_list<const std::string *> layers) {
    std::string body = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kManifestType +
                       "\",\"config\":" + descriptor(kConfigType, config) + ",\"layers\":[";
    bool first = true;
    for (const std::string *layer : layers) {
        body += (first ? "" : ",") + descriptor(kLayerType, *layer);
        first = false;
    }
    return body + "]}";
}

bool put_manifest(const char *repo, const char *tag, const std::string &body) {
    char digest[72];
    return reg_manifest_put(repo, tag, body.data(), body.size(), kManifestType, digest) == 0;
}

// Two repositories sharing a layer, three tags on two manifests in one of them, one loose blob.
bool basic() {
    const std::string config_a = R"({"architecture":"amd64","os":"linux"})";
    const std::string config_b = R"({"architecture":"arm64","os":"linux"})";
    const std::string l1(1536, 'a'), l2(1572864, 'b'), l3(2048, 'c'), loose(5000, 'u');
    for (const std::string *blob : {&config_a, &config_b, &l1, &l2, &l3, &loose})
        if (!put_blob(*blob)) return false;
    std::string m1 = image(config_a, {&l1, &l2});
    std::string m2 = image(config_a, {&l3});
    std::string m3 = image(config_b, {&l2});
    return put_manifest("library/alpine", "3.19", m1) && put_manifest("library/alpine", "latest", m1) &&
           put_manifest("library/alpine", "3.18", m2) && put_manifest("team/app", "v1", m3);
}

// Blobs nothing names, 1 KiB each.
bool loose(int count) {
    for (int i = 0; i < count; ++i) {
        std::string data = "loose blob " + std::to_string(i) + "\n";
        data.resize(1024, '.');
        if (!put_blob(data)) return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: admin_fixture ROOT basic | ROOT loose N\n");
        return 2;
    }
    if (reg_storage_init(argv[1]) != 0) {
        fprintf(stderr, "admin_fixture: %s\n", reg_storage_last_error());
        return 1;
    }
    bool ok = strcmp(argv[2], "basic") == 0 ? basic() : strcmp(argv[2], "loose") == 0 && argc > 3 && loose(atoi(argv[3]));
    if (!ok) fprintf(stderr, "admin_fixture: %s\n", reg_storage_last_error());
    return ok ? 0 : 1;
}
