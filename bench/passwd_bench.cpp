// passwd_bench.cpp - what one credential check costs per hash scheme, a password file's parse, and the login throttle.
#include <crypt.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "auth/passwd_file.h"
#include "auth/throttle.h"

namespace {

std::string make_hash(const char *prefix, unsigned long cost, const char *password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(prefix, cost, nullptr, 0, setting, sizeof setting)) abort();
    auto data = std::make_unique<crypt_data>();
    const char *made = crypt_r(password, setting, data.get());
    if (!made || made[0] != '$') abort();
    return made;
}

// One verification of a right password: what a request with credentials pays.
void check(benchmark::State &state, const char *prefix, unsigned long cost) {
    const std::string hash = make_hash(prefix, cost, "correct horse");
    state.SetLabel(hash.substr(0, 7));
    for (auto _ : state)
        if (passwd_hash_matches(hash.c_str(), "correct horse") != 1) state.SkipWithError("no match");
}
BENCHMARK_CAPTURE(check, bcrypt_cost5_htpasswd_default, "$2b$", 5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(check, bcrypt_cost10, "$2b$", 10)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(check, yescrypt_default, "$y$", 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(check, sha512crypt_default, "$6$", 0)->Unit(benchmark::kMillisecond);

// The parse of a file of 100 users (no hashing: every request pays it).
void parse_100(benchmark::State &state) {
    const std::string hash = make_hash("$y$", 0, "pw");
    std::string text = "# team\n";
    for (int i = 0; i < 100; ++i)
        text += "user" + std::to_string(i) + ":" + hash + ":write\n";
    for (auto _ : state) {
        passwd_file f;
        passwd_error err;
        if (!passwd_parse(text, f, err)) state.SkipWithError("parse");
        benchmark::DoNotOptimize(f);
    }
}
BENCHMARK(parse_100)->Unit(benchmark::kMicrosecond);

// The throttle's look-up and its count of a failure, on a table in a temporary directory.
void throttle(benchmark::State &state, bool note) {
    char dir[] = "/tmp/passwd_bench.XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) abort();
    for (auto _ : state) {
        if (note)
            registry_auth_note_failure("192.0.2.1");
        else
            benchmark::DoNotOptimize(registry_auth_throttled("192.0.2.1"));
    }
    unlink(REGISTRY_THROTTLE_FILE);
    unlink(REGISTRY_THROTTLE_LOCK);
    if (chdir("/") != 0 || rmdir(dir) != 0) state.SkipWithError("cleanup");
}
BENCHMARK_CAPTURE(throttle, lookup, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(throttle, note_failure, true)->Unit(benchmark::kMicrosecond);

} // namespace
