// auth_bench.cpp - the cost of one authenticated request's access decision, per hash scheme.
// Each case writes a password file with one user in a temporary directory and decides
// requests carrying that user's credentials, as every request does.
#include <crypt.h>
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "auth/access.h"

namespace {

std::string make_hash(const char *prefix, unsigned long cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn(prefix, cost, nullptr, 0, setting, sizeof setting)) return "";
    crypt_data data{};
    const char *out = crypt_r("pw", setting, &data);
    return out ? out : "";
}

// "Basic " + base64("u:pw"), and a wrong guess: base64("u:px").
constexpr char kHeader[] = "Basic dTpwdw==";
constexpr char kGuess[] = "Basic dTpweA==";

// right: the user's own password, verified once and then known to a process
// that answers many requests; wrong: a guess, which pays the whole hash.
void decide(benchmark::State &state, const char *prefix, unsigned long cost, bool right) {
    char dir[] = "/tmp/auth_bench.XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) {
        state.SkipWithError("no temporary directory");
        return;
    }
    if (prefix) {
        std::ofstream("htpasswd") << "u:" << make_hash(prefix, cost) << ":write\n";
    } else {
        // The settings file's single user: SHA-256 of "pw".
        std::ofstream("config.json")
            << R"({"registry_auth_user": "u", "registry_auth_sha256": "30c952fab122c3f9759f02a6d95c3758b246b4fee239957b2d4fee46e26170c4"})";
    }
    for (auto _ : state) {
        reg_access d;
        registry_access_decide(right ? kHeader : kGuess, REG_NEED_WRITE, nullptr, &d);
        if (d.status != (right ? 0 : 401)) state.SkipWithError("unexpected answer");
        benchmark::DoNotOptimize(d.status);
    }
    unlink("htpasswd");
    unlink("config.json");
    rmdir(dir);
}

} // namespace

BENCHMARK_CAPTURE(decide, sha256_settings_user_right, nullptr, 0, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decide, bcrypt_cost5_htpasswd_default_right, "$2b$", 5, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decide, bcrypt_cost10_right, "$2b$", 10, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decide, yescrypt_default_right, "$y$", 0, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decide, sha512crypt_default_right, "$6$", 0, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decide, sha256_settings_user_wrong, nullptr, 0, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decide, bcrypt_cost5_htpasswd_default_wrong, "$2b$", 5, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decide, bcrypt_cost10_wrong, "$2b$", 10, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decide, yescrypt_default_wrong, "$y$", 0, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(decide, sha512crypt_default_wrong, "$6$", 0, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
