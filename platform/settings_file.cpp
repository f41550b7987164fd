// settings_file.cpp - reads config.json of the working directory for the lookups of base/settings.h.
#include <stdlib.h>

#include <mutex>
#include <string>

#include "base/qf_str.h"
#include "base/settings.h"
#include "platform/file_snapshot.h"
#include "platform/platform.h"

namespace {

constexpr char kSettingsFile[] = "config.json";
// The lookups read the whole file; one larger than this is not a settings
// file a person wrote, and reads as absent.
constexpr size_t kSettingsMax = 1 << 20;

// The file as last read. It is read again only when a look (one stat) cannot
// prove it unchanged (file_snapshot.cpp says when that is), so an edit takes
// effect at the next lookup without a restart.
// The file lives in the instance directory, not the storage tree: faults
// injected into the tree's calls (tests) do not land on its reads.
file_snapshot s_file;
// While a request is answered the file is looked at once, by its first
// lookup: a request sees one version of the settings, at the cost of one stat.
bool s_held = false;
bool s_looked_while_held = false;
// The lookups were once free of state, and engine calls on several threads
// (one handle each) still make them: one at a time.
std::mutex s_lock;

const file_snapshot &look() {
    if (!s_held || !s_looked_while_held) {
        s_file.refresh(kSettingsFile, kSettingsMax);
        s_looked_while_held = s_held;
    }
    return s_file;
}

// The text the lookups scan: empty when the file is absent, unreadable or
// too large.
const char *lookup_text() {
    const file_snapshot &f = look();
    return f.state == 0 ? f.text.c_str() : "";
}

} // namespace

const file_snapshot &settings_file_snapshot() {
    std::lock_guard<std::mutex> hold(s_lock);
    return look();
}

extern "C" {

// What a value means is settled in base/settings.cpp; this file only reads.
int64_t settings_int(settings_key key) {
    std::lock_guard<std::mutex> hold(s_lock);
    return settings_int_in(lookup_text(), key);
}

int settings_switch(settings_key key) {
    std::lock_guard<std::mutex> hold(s_lock);
    return settings_switch_in(lookup_text(), key);
}

uint64_t settings_generation(void) {
    std::lock_guard<std::mutex> hold(s_lock);
    return look().version;
}

void settings_hold(int on) {
    std::lock_guard<std::mutex> hold(s_lock);
    s_held = on != 0;
    s_looked_while_held = false;
}

void settings_storage_root(char *root, size_t cap) {
    if (!root || cap == 0) return;
    root[0] = '\0';
    const char *env = getenv("REGISTRY_STORAGE_ROOT");
    if (env && *env) {
        qf_strlcpy(root, env, cap);
    } else {
        std::lock_guard<std::mutex> hold(s_lock);
        const char *text = lookup_text();
        if (*text) settings_root_in(text, root, cap);
    }
    if (!root[0]) qf_strlcpy(root, settings_entry_of(SETTINGS_STORAGE_ROOT)->fallback_text, cap);
}

} // extern "C"
