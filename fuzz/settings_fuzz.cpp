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

constexpr size_t kOutSizes[] = {1, 2, 17, 4096};

void check_terminated(const char *out, size_t size, const char *what) {
    if (strnlen(out, size) >= size) fuzz::fail("lookup result not terminated", what);
}

// Every key of the table by its type: a number within the key's bounds (or
// its default), a switch 0 or 1, a string terminated and within its bounds.
void table_lookups(const std::string &text) {
    for (int k = 0; k < SETTINGS_KEY_COUNT; ++k) {
        const settings_key key = static_cast<settings_key>(k);
        const settings_entry &e = *settings_entry_of(key);
        if (e.type == SETTINGS_SWITCH) {
            if (settings_switch_in(text.c_str(), key) > 1 || settings_switch_in(text.c_str(), key) < 0)
                fuzz::fail("switch not 0 or 1", e.name);
        } else if (e.type == SETTINGS_STRING) {
            for (size_t cap : kOutSizes) {
                char out[4096];
                if (!settings_str_in(text.c_str(), key, out, cap)) continue;
                check_terminated(out, cap, e.name);
                if (!settings_length_ok(key, strlen(out))) fuzz::fail("string out of its bounds", e.name);
            }
        } else if (e.type != SETTINGS_BOOLEAN) {
            int64_t v = settings_int_in(text.c_str(), key);
            if ((v < e.min || v > e.max) && v != e.fallback) fuzz::fail("number out of its bounds", e.name);
        }
    }
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
    s_cap = 0;
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
        settings_storage_root(root, cap);
        check_terminated(root, cap, "storage root");
        if (cap > 1 && !root[0]) fuzz::fail("empty storage root");
    }
    if (settings_int(SETTINGS_RETENTION_KEEP_N) < 0 || settings_int(SETTINGS_RETENTION_DAYS) < 0 ||
        settings_int(SETTINGS_QUOTA_BYTES) < 0)
        fuzz::fail("negative count from plain digits");
    settings_switch(SETTINGS_RETENTION_PROTECT_LATEST);
    registry_auth_enabled();
    table_lookups(settings);

    strict_parse(settings);
    access_log_reads();
    return 0;
}
