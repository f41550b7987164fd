// auth_fuzz.cpp - the Authorization header: HTTP Basic credentials checked against the user that the
// settings file of the working directory configures. Only that user's name may ever become the actor.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "auth/v2_auth.h"
#include "fuzz/fuzz_util.h"

namespace {

constexpr char kUser[] = "alice";
// SHA-256 of the password "s3cret"; the seed corpus holds "Basic YWxpY2U6czNjcmV0".
constexpr char kSettings[] =
    R"({"registry_auth_user": "alice", "registry_auth_sha256": "1ec1c26b50d5d3c58d9583181af8076655fe00756bf7285940ba3670f99fcba0"})";

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string dir = fuzz::scratch_dir() + "/instance";
    fuzz::write_file(dir + "/config.json", kSettings);
    if (chdir(dir.c_str()) != 0) fuzz::fail("cannot enter the instance directory", dir);
    if (!registry_auth_enabled()) fuzz::fail("authentication is not configured");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string header = fuzz::text(data, size);
    char actor[128];
    memset(actor, 'x', sizeof actor);
    int allowed = registry_auth_verify(header.c_str(), actor, sizeof actor);
    if (allowed && strcmp(actor, kUser) != 0) fuzz::fail("accepted for another actor", actor);
    if (!allowed && actor[0] != '\0') fuzz::fail("refused but an actor was named", actor);

    // A short actor buffer changes the copy, never the decision.
    char short_actor[3];
    if (registry_auth_verify(header.c_str(), short_actor, sizeof short_actor) != allowed)
        fuzz::fail("decision depends on the actor buffer");
    if (strnlen(short_actor, sizeof short_actor) >= sizeof short_actor) fuzz::fail("short actor not terminated");
    if (registry_auth_verify(header.c_str(), nullptr, 0) != allowed) fuzz::fail("decision depends on the actor");
    return 0;
}
