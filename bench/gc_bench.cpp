// gc_bench.cpp - one collection run over 10 000 blobs (half unreferenced) and 2 000 manifests in 200 repositories.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace {

namespace fs = std::filesystem;

constexpr int kBlobs = 10000;
constexpr int kReferenced = kBlobs / 2;
constexpr int kManifests = 2000;
constexpr int kRepos = 200;
const std::string kBlobBytes(512, 'b');

std::string hex_of(const std::string &data) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    uint8_t digest[32];
    sha256_final(&ctx, digest);
    char hex[kHexLen + 1];
    sha256_hex(digest, hex);
    return hex;
}

// Written two hours ago: past the default grace period, so a collection may take it.
void write_file(const fs::path &path, const std::string &data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << data;
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(2));
}

// Blob names are spread over the fan-out directories as real digests are.
std::string blob_hex(int i) { return hex_of("blob " + std::to_string(i)); }

std::string manifest_body(const std::vector<std::string> &refs) {
    std::string body = R"({"schemaVersion":2,"config":{"digest":"sha256:)" + refs[0] + R"("},"layers":[)";
    for (size_t i = 1; i < refs.size(); ++i)
        body += (i > 1 ? "," : "") + std::string(R"({"digest":"sha256:)") + refs[i] + R"("})";
    return body + "]}";
}

class bench_tree {
public:
    bench_tree() {
        std::string tmpl = (fs::temp_directory_path() / "gc-bench-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        root_ = tmpl;
        for (int i = 0; i < kBlobs; ++i)
            hexes_.push_back(blob_hex(i));
        for (int i = 0; i < kReferenced; ++i)
            write_file(blob_path(hexes_[i]), kBlobBytes);
        restore_unreferenced();
        // Every referenced blob is named by some manifest: config i, layers i + 2000 and i + 4000.
        for (int m = 0; m < kManifests; ++m) {
            std::vector<std::string> refs;
            for (int j = m; j < kReferenced; j += kManifests)
                refs.push_back(hexes_[j]);
            std::string body = manifest_body(refs);
            std::string repo = "org" + std::to_string(m % kRepos / 20) + "/app" + std::to_string(m % kRepos);
            write_file(root_ / "repositories" / repo / "_manifests" / hex_of(body), body);
        }
        if (reg_storage_init(root_.c_str()) != 0) throw std::runtime_error(reg_storage_last_error());
    }
    ~bench_tree() {
        reg_storage_cleanup();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void restore_unreferenced() const {
        for (int i = kReferenced; i < kBlobs; ++i)
            write_file(blob_path(hexes_[i]), kBlobBytes);
    }

private:
    fs::path blob_path(const std::string &hex) const { return root_ / "blobs" / "sha256" / hex.substr(0, 2) / hex; }

    fs::path root_;
    std::vector<std::string> hexes_;
};

bench_tree &tree() {
    static bench_tree instance;
    return instance;
}

const std::string kExpected =
    R"({"dry_run":false,"blobs_total":10000,"blobs_reachable":5000,"blobs_deleted":5000,"bytes_freed":2560000,)"
    R"("blobs_kept":5000,"stale_uploads":0,"stale_upload_bytes":0,"cancelled":false,"elapsed_ms":)";

void BM_CollectHalfUnreferenced(benchmark::State &state) {
    bench_tree &t = tree();
    for (auto _ : state) {
        const char *report = reg_gc_json(0);
        state.PauseTiming();
        // A run that refused or counted otherwise would time the wrong work.
        if (!report || std::string(report).rfind(kExpected, 0) != 0) {
            state.SkipWithError(report ? report : reg_storage_last_error());
            break;
        }
        t.restore_unreferenced();
        state.ResumeTiming();
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_CollectHalfUnreferenced)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
