// settings_file.cpp - the settings lookups that read config.json of the working directory.
#include <stdlib.h>

#include "base/qf_str.h"
#include "base/settings.h"
#include "platform/platform.h"

namespace {

constexpr char kSettingsFile[] = "config.json";
constexpr size_t kRootPrefix = 2047;
// The lookups see only this much of the settings file; a key further on is absent.
constexpr size_t kLookupWindow = 4095;
constexpr char kDefaultRoot[] = "./registry_storage";
constexpr char kProtectLatestKey[] = "\"registry_retention_protect_latest\"";
constexpr char kFsyncKey[] = "\"registry_fsync\"";
constexpr char kGcGraceKey[] = "\"registry_gc_grace_seconds\"";
// Covers a slow push of a large image: every layer uploaded, then the manifest stored.
constexpr int64_t kGcGraceDefault = 3600;

// Reads the first bytes of the settings file afresh, so a changed file takes
// effect at the next lookup. False when the file cannot be read.
template <size_t N> bool read_window(char (&text)[N]) {
    text[0] = '\0';
    return plat_read_file(kSettingsFile, text, N, nullptr) == 0;
}

} // namespace

extern "C" {

int64_t oci_config_int(const char *key) {
    if (!key || !*key) return 0;
    char text[kLookupWindow + 1];
    if (!read_window(text)) return 0;
    return settings_int_in(text, key);
}

int64_t oci_retention_keep_n(void) { return oci_config_int("\"registry_retention_keep_n\""); }

int64_t oci_retention_days(void) { return oci_config_int("\"registry_retention_days\""); }

int64_t oci_quota_bytes(void) { return oci_config_int("\"registry_quota_bytes\""); }

// Unlike the settings where 0 means "off", 0 is a real value here, so an
// absent key cannot read as 0.
int64_t oci_gc_grace_seconds(void) {
    char text[kLookupWindow + 1];
    if (!read_window(text)) return kGcGraceDefault;
    return settings_int_or_in(text, kGcGraceKey, kGcGraceDefault);
}

// Anything that is not clearly false keeps "latest" protected: deleting it by
// mistake costs more than keeping it.
int oci_retention_protect_latest(void) {
    char text[kLookupWindow + 1];
    if (!read_window(text)) return 1;
    return settings_switch_in(text, kProtectLatestKey, 1);
}

// Flushing stays on unless clearly switched off: data lost at a power cut
// costs more than the time the flushes take.
int oci_fsync_enabled(void) {
    char text[kLookupWindow + 1];
    if (!read_window(text)) return 1;
    return settings_switch_in(text, kFsyncKey, 1);
}

void oci_storage_root_setting(char *root, size_t cap) {
    if (!root || cap == 0) return;
    root[0] = '\0';
    const char *env = getenv("REGISTRY_STORAGE_ROOT");
    if (env && *env) {
        qf_strlcpy(root, env, cap);
    } else {
        char text[kRootPrefix + 1];
        if (read_window(text)) settings_root_in(text, root, cap);
    }
    if (!root[0]) qf_strlcpy(root, kDefaultRoot, cap);
}

} // extern "C"
