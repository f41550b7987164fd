// Throughput benchmarks for the SHA-256 module's engines, in memory and over a large file, beside OpenSSL.
#include "digest/sha256.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kBufferBytes = size_t{1} << 20;
constexpr size_t kFileBytes = size_t{256} << 20;
constexpr size_t kChunkBytes = 65536;

const std::vector<uint8_t> &buffer() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> v(kBufferBytes);
        std::mt19937 rng(42);
        for (auto &b : v)
            b = static_cast<uint8_t>(rng());
        return v;
    }();
    return data;
}

// Written once on first use and removed when the program exits, so every file
// benchmark reads the same (by then page-cached) bytes.
class BenchFile {
public:
    BenchFile() {
        char tmpl[] = "/tmp/sha256_bench.XXXXXX";
        const int fd = mkstemp(tmpl);
        if (fd < 0) return;
        path_ = tmpl;
        FILE *f = fdopen(fd, "wb");
        if (f == nullptr) {
            close(fd);
            return;
        }
        const auto &chunk = buffer();
        bool ok = true;
        for (size_t written = 0; written < kFileBytes && ok; written += chunk.size())
            ok = std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size();
        ok = (std::fclose(f) == 0) && ok;
        ready_ = ok;
    }
    ~BenchFile() {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    BenchFile(const BenchFile &) = delete;
    BenchFile &operator=(const BenchFile &) = delete;

    bool ready() const { return ready_; }
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
    bool ready_ = false;
};

const BenchFile &bench_file() {
    static const BenchFile file;
    return file;
}

bool select_engine(benchmark::State &state, bool shani) {
    if (sha256_use_shani(shani ? 1 : 0) != 0) {
        state.SkipWithError("CPU lacks the SHA extensions");
        return false;
    }
    return true;
}

void BM_Sha256Buffer(benchmark::State &state, bool shani) {
    if (!select_engine(state, shani)) return;
    const auto &data = buffer();
    std::array<uint8_t, 32> out;
    for (auto _ : state) {
        sha256_ctx ctx;
        sha256_init(&ctx);
        sha256_update(&ctx, data.data(), data.size());
        sha256_final(&ctx, out.data());
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

void BM_OpenSSLBuffer(benchmark::State &state) {
    const auto &data = buffer();
    std::array<uint8_t, 32> out;
    for (auto _ : state) {
        unsigned int len = 0;
        if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr) != 1) {
            state.SkipWithError("EVP_Digest failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

void BM_Sha256File(benchmark::State &state, bool shani) {
    const BenchFile &file = bench_file();
    if (!file.ready()) {
        state.SkipWithError("could not create the benchmark file");
        return;
    }
    if (!select_engine(state, shani)) return;
    std::array<uint8_t, 32> out;
    for (auto _ : state) {
        if (sha256_file(file.path(), out.data()) != 0) {
            state.SkipWithError("sha256_file failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileBytes));
}

// Same read pattern as sha256_file, so the comparison is of hashing, not of I/O strategy.
void BM_OpenSSLFile(benchmark::State &state) {
    const BenchFile &file = bench_file();
    if (!file.ready()) {
        state.SkipWithError("could not create the benchmark file");
        return;
    }
    std::vector<uint8_t> chunk(kChunkBytes);
    std::array<uint8_t, 32> out;
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    for (auto _ : state) {
        FILE *f = std::fopen(file.path(), "rb");
        bool ok = f != nullptr && EVP_DigestInit_ex(md, EVP_sha256(), nullptr) == 1;
        while (ok) {
            const size_t n = std::fread(chunk.data(), 1, chunk.size(), f);
            if (n == 0) break;
            ok = EVP_DigestUpdate(md, chunk.data(), n) == 1;
        }
        if (f != nullptr) {
            ok = ok && std::ferror(f) == 0;
            std::fclose(f);
        }
        unsigned int len = 0;
        if (!ok || EVP_DigestFinal_ex(md, out.data(), &len) != 1) {
            state.SkipWithError("OpenSSL file hash failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    EVP_MD_CTX_free(md);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFileBytes));
}

BENCHMARK_CAPTURE(BM_Sha256Buffer, portable, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Sha256Buffer, shani, true)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSSLBuffer)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Sha256File, portable, false)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_Sha256File, shani, true)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_OpenSSLFile)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
