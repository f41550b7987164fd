// admin_store_gen.cpp - writes a large store for timing registry-admin: BLOBS blobs (half named), MANIFESTS tagged manifests in REPOS repositories.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "storage/reg_storage.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kBlobBytes = 512;
constexpr int kRefsPerManifest = 3; // a config and two layers

std::string hex_of(const std::string &data) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    uint8_t d[32];
    sha256_final(&ctx, d);
    static const char hx[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : d) {
        out += hx[b >> 4];
        out += hx[b & 15];
    }
    return out;
}

void write_file(const fs::path &path, const std::string &data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

std::string blob_data(int i) {
    std::string data = "bench blob " + std::to_string(i) + "\n";
    data.resize(kBlobBytes, '.');
    return data;
}

std::string manifest_body(const std::vector<std::string> &refs) {
    std::string body = R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"digest":"sha256:)" +
                       refs[0] + R"(","size":512},"layers":[)";
    for (size_t i = 1; i < refs.size(); ++i)
        body += (i > 1 ? "," : "") + std::string(R"({"digest":"sha256:)") + refs[i] + R"(","size":512})";
    return body + "]}";
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: admin_store_gen ROOT BLOBS MANIFESTS REPOS\n");
        return 2;
    }
    fs::path root = argv[1];
    int blobs = atoi(argv[2]), manifests = atoi(argv[3]), repos = atoi(argv[4]);
    if (blobs < 2 || manifests < 1 || repos < 1 || reg_storage_init(argv[1]) != 0) {
        fprintf(stderr, "admin_store_gen: bad arguments or %s\n", reg_storage_last_error());
        return 1;
    }
    // Written a day ago, so that a collection that spares young blobs still removes the unnamed half.
    auto old = fs::file_time_type::clock::now() - std::chrono::hours(24);
    std::vector<std::string> hexes;
    for (int i = 0; i < blobs; ++i) {
        std::string data = blob_data(i);
        std::string hex = hex_of(data);
        fs::path path = root / "blobs" / "sha256" / hex.substr(0, 2) / hex;
        write_file(path, data);
        fs::last_write_time(path, old);
        hexes.push_back(hex);
    }
    int named = blobs / 2;
    for (int m = 0; m < manifests; ++m) {
        std::vector<std::string> refs;
        for (int k = 0; k < kRefsPerManifest; ++k)
            refs.push_back(hexes[(m * kRefsPerManifest + k) % named]);
        std::string body = manifest_body(refs);
        std::string hex = hex_of(body);
        std::string repo = "org" + std::to_string(m % repos / 20) + "/app" + std::to_string(m % repos);
        fs::path dir = root / "repositories" / repo / "_manifests";
        write_file(dir / hex, body);
        write_file(dir / (hex + ".ct"), "application/vnd.oci.image.manifest.v1+json");
        write_file(dir / "revisions" / "sha256" / hex / "link", "sha256:" + hex);
        write_file(dir / "tags" / ("v" + std::to_string(m / repos)) / "current" / "link", "sha256:" + hex);
    }
    printf("%d blobs (%d named), %d manifests in %d repositories under %s\n", blobs, named, manifests, repos, argv[1]);
    return 0;
}
