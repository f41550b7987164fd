// listing_bench.cpp - time per call of the catalog, a 500-tag list and the statistics over a 1001-repository tree.
#include <stdlib.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "storage/reg_storage.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRepos = 1000;
constexpr int kReposPerOrg = 100; // keeps every directory well below the 512-entry listing
constexpr int kTags = 500;
constexpr char kBigRepo[] = "library/big";
const std::string kDigest = "sha256:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

void write_link(const fs::path &path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << kDigest;
}

fs::path tag_link(const fs::path &repo, const std::string &tag) {
    return repo / "_manifests" / "tags" / tag / "current" / "link";
}

// One storage root for the whole run, removed at exit.
class bench_tree {
public:
    bench_tree() {
        std::string tmpl = (fs::temp_directory_path() / "listing-bench-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        root_ = tmpl;
        fs::path repos = root_ / "repositories";
        for (int i = 0; i < kRepos; ++i) {
            std::string name = "org" + std::to_string(i / kReposPerOrg) + "/app" + std::to_string(i % kReposPerOrg);
            write_link(tag_link(repos / name, "latest"));
        }
        for (int i = 0; i < kTags; ++i)
            write_link(tag_link(repos / kBigRepo, "v" + std::to_string(i)));
        if (reg_storage_init(root_.c_str()) != 0) throw std::runtime_error(reg_storage_last_error());
    }
    ~bench_tree() {
        reg_storage_cleanup();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

private:
    fs::path root_;
};

void ensure_tree() { static bench_tree tree; }

// A call that fails would time only its refusal.
bool answered(benchmark::State &state, const char *result) {
    if (result) return true;
    state.SkipWithError(reg_storage_last_error());
    return false;
}

void BM_CatalogWhole(benchmark::State &state) {
    ensure_tree();
    if (!answered(state, reg_catalog_json(0, nullptr))) return;
    for (auto _ : state)
        benchmark::DoNotOptimize(reg_catalog_json(0, nullptr));
}
BENCHMARK(BM_CatalogWhole)->Unit(benchmark::kMillisecond);

// The second page: every page lists and sorts the whole catalog before cutting.
void BM_CatalogPage100(benchmark::State &state) {
    char first_last[256];
    int has_more = 0;
    ensure_tree();
    if (!answered(state, reg_catalog_json_page(100, nullptr, &has_more, first_last, sizeof first_last))) return;
    for (auto _ : state) {
        char last_out[256];
        benchmark::DoNotOptimize(reg_catalog_json_page(100, first_last, &has_more, last_out, sizeof last_out));
    }
}
BENCHMARK(BM_CatalogPage100)->Unit(benchmark::kMillisecond);

void BM_TagsList500(benchmark::State &state) {
    ensure_tree();
    if (!answered(state, reg_tags_list_json(kBigRepo))) return;
    for (auto _ : state)
        benchmark::DoNotOptimize(reg_tags_list_json(kBigRepo));
}
BENCHMARK(BM_TagsList500)->Unit(benchmark::kMillisecond);

void BM_StorageStats(benchmark::State &state) {
    ensure_tree();
    if (!answered(state, reg_storage_get_stats_json())) return;
    for (auto _ : state)
        benchmark::DoNotOptimize(reg_storage_get_stats_json());
}
BENCHMARK(BM_StorageStats)->Unit(benchmark::kMillisecond);

} // namespace
