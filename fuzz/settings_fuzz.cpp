// settings_fuzz.cpp - the settings file: every lookup of base/settings.h and the access log's own settings
// reads, over a config.json written from the input.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

// The access log reads its settings once per process, in functions of its own
// file; the file is compiled into this program so that each input can start
// it afresh. Its exit hook is taken here: registered once per input it would
// pile up for the whole run.
static int fuzz_no_exit_hook(void (*)(void)) { return 0; }
#define atexit fuzz_no_exit_hook
#include "cgi/qf_audit.cpp"
#undef atexit

#include "auth/v2_auth.h"
#include "base/settings.h"
#include "base/settings_parse.h"
#include "fuzz/fuzz_util.h"

namespace {

constexpr const char *kIntKeys[] = {"\"registry_retention_keep_n\"", "\"registry_retention_days\"",
                                    "\"registry_quota_bytes\"", "\"registry_access_log_max_bytes\"", "\"\"", ":"};
constexpr const char *kStrKeys[] = {"storage_root", "registry_storage_root", "registry_auth_user",
                                    "registry_auth_sha256", ""};
constexpr size_t kOutSizes[] = {1, 2, 17, 4096};

void check_terminated(const char *out, size_t size, const char *what) {
    if (strnlen(out, size) >= size) fuzz::fail("lookup result not terminated", what);
}

// The strict reading the access check takes: a refusal always says why, and
// an accepted object never holds a key twice.
void strict_parse(const std::string &text) {
    std::vector<setting_member> members;
    std::string error;
    if (!settings_parse(text, members, error)) {
        if (error.empty()) fuzz::fail("settings refused without a reason");
        if (!members.empty()) fuzz::fail("members left after a refusal");
        return;
    }
    for (size_t i = 0; i < members.size(); ++i)
        for (size_t j = i + 1; j < members.size(); ++j)
            if (members[i].key == members[j].key) fuzz::fail("a key accepted twice", members[i].key.c_str());
}

void restart_access_log() {
    s_init_done = 0;
    s_enabled = 0;
    s_root[0] = '\0';
    s_path[0] = '\0';
    s_cap = kDefaultCap;
}

void access_log_reads() {
    restart_access_log();
    const char *path = qf_audit_log_path();
    check_terminated(path, kRootMax, "access log path");
    if (qf_audit_enabled() && strcmp(path + strlen(path) - strlen(kLogName), kLogName) != 0)
        fuzz::fail("access log enabled with a path of another name", path);
    if (qf_audit_cap_bytes() < 0) fuzz::fail("negative access log cap");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string dir = fuzz::scratch_dir() + "/instance";
    fuzz::write_file(dir + "/config.json", "");
    if (chdir(dir.c_str()) != 0) fuzz::fail("cannot enter the instance directory", dir);
    unsetenv("REGISTRY_STORAGE_ROOT");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string settings = fuzz::text(data, size);
    fuzz::write_file("config.json", settings);

    for (size_t cap : kOutSizes) {
        char root[4096];
        oci_storage_root_setting(root, cap);
        check_terminated(root, cap, "storage root");
        if (cap > 1 && !root[0]) fuzz::fail("empty storage root");
    }
    for (const char *key : kIntKeys)
        oci_config_int(key);
    if (oci_retention_keep_n() < 0 || oci_retention_days() < 0 || oci_quota_bytes() < 0)
        fuzz::fail("negative count from plain digits");
    oci_retention_protect_latest();
    registry_auth_enabled();

    for (const char *key : kStrKeys)
        for (size_t cap : kOutSizes) {
            char out[4096];
            if (json_str_key(settings.c_str(), key, out, cap)) check_terminated(out, cap, key);
        }

    strict_parse(settings);
    access_log_reads();
    return 0;
}
