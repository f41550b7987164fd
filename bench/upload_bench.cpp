// Throughput of a 512 MiB blob upload in 8 MiB chunks, beside copying the same file with cp and hashing it with
// sha256sum.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "storage/reg_storage.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kChunkBytes = size_t{8} << 20;
constexpr size_t kBlobBytes = size_t{512} << 20;
constexpr size_t kChunks = kBlobBytes / kChunkBytes;

// One temporary tree for the whole run: the storage root, the source file the
// copy starts from, and the copy. Removed when the program ends.
class Workspace {
public:
    Workspace() : chunk_(kChunkBytes) {
        std::mt19937_64 rng(7);
        for (size_t i = 0; i < chunk_.size(); i += 8) {
            uint64_t word = rng();
            for (size_t j = 0; j < 8; ++j)
                chunk_[i + j] = static_cast<char>(word >> (8 * j));
        }
        char tmpl[] = "/tmp/upload_bench.XXXXXX";
        if (!mkdtemp(tmpl)) return;
        dir_ = tmpl;
        source_ = dir_ + "/source.bin";
        copy_ = dir_ + "/copy.bin";
        ready_ = write_source() && reg_storage_init((dir_ + "/root").c_str()) == 0;
    }
    ~Workspace() {
        reg_storage_cleanup();
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;

    bool ready() const { return ready_; }
    const std::vector<char> &chunk() const { return chunk_; }
    const std::string &digest() const { return digest_; }
    const std::string &source() const { return source_; }
    const std::string &copy() const { return copy_; }

private:
    // The source file holds the blob's bytes; its digest is the one uploads must match.
    bool write_source() {
        FILE *f = std::fopen(source_.c_str(), "wb");
        if (!f) return false;
        sha256_ctx ctx;
        sha256_init(&ctx);
        bool ok = true;
        for (size_t i = 0; i < kChunks && ok; ++i) {
            ok = std::fwrite(chunk_.data(), 1, chunk_.size(), f) == chunk_.size();
            sha256_update(&ctx, chunk_.data(), chunk_.size());
        }
        ok = std::fclose(f) == 0 && ok;
        uint8_t md[32];
        sha256_final(&ctx, md);
        static const char digits[] = "0123456789abcdef";
        digest_ = "sha256:";
        for (uint8_t b : md) {
            digest_ += digits[b >> 4];
            digest_ += digits[b & 0x0F];
        }
        return ok;
    }

    std::vector<char> chunk_;
    std::string dir_, source_, copy_, digest_;
    bool ready_ = false;
};

Workspace &workspace() {
    static Workspace ws;
    return ws;
}

void BM_BlobUpload(benchmark::State &state) {
    Workspace &ws = workspace();
    if (!ws.ready()) {
        state.SkipWithError("workspace could not be set up");
        return;
    }
    for (auto _ : state) {
        char id[37], stored[72];
        bool ok = reg_blob_start_upload(id) == 0;
        for (size_t i = 0; i < kChunks && ok; ++i)
            ok = reg_blob_append_chunk(id, ws.chunk().data(), ws.chunk().size()) == 0;
        ok = ok && reg_blob_finish_upload(id, ws.digest().c_str(), stored) == 0;
        state.PauseTiming();
        if (!ok) {
            state.SkipWithError(reg_storage_last_error());
            break;
        }
        reg_blob_delete(stored);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBlobBytes));
}

void BM_CpThenSha256sum(benchmark::State &state) {
    Workspace &ws = workspace();
    if (!ws.ready()) {
        state.SkipWithError("workspace could not be set up");
        return;
    }
    const std::string command =
        "cp '" + ws.source() + "' '" + ws.copy() + "' && sha256sum '" + ws.copy() + "' > /dev/null";
    for (auto _ : state) {
        int rc = std::system(command.c_str());
        state.PauseTiming();
        if (rc != 0) {
            state.SkipWithError("cp or sha256sum failed");
            break;
        }
        std::error_code ec;
        fs::remove(ws.copy(), ec);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBlobBytes));
}

// Heavy: a few iterations each, timed on the wall clock since cp and sha256sum run in child processes.
BENCHMARK(BM_BlobUpload)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CpThenSha256sum)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
