// settings_file.cpp - reads config.json of the working directory for the lookups of base/settings.h.
#include <fcntl.h>
#include <unistd.h>

#include <stdlib.h>

#include <string>

#include "base/qf_str.h"
#include "base/settings.h"
#include "platform/platform.h"

namespace {

constexpr char kSettingsFile[] = "config.json";
// The lookups read the whole file; one larger than this is not a settings
// file a person wrote, and reads as absent.
constexpr size_t kSettingsMax = 1 << 20;
// Reads the whole settings file afresh, so a changed file takes effect at
// the next lookup. False when the file cannot be read; the text is then empty.
// The file lives in the instance directory, not the storage tree: its reads
// are not counted among the tree's calls, and faults injected into the tree's
// calls (tests) do not land on them.
struct settings_text {
    std::string text;
    bool read() {
        text.clear();
        int fd = open(kSettingsFile, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        char buf[8192];
        ssize_t n = 0;
        while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() + static_cast<size_t>(n) <= kSettingsMax)
            text.append(buf, static_cast<size_t>(n));
        close(fd);
        if (n != 0) text.clear();
        return n == 0;
    }
    const char *c_str() const { return text.c_str(); }
};

} // namespace

extern "C" {

// What a value means is settled in base/settings.cpp; this file only reads.
int64_t settings_int(settings_key key) {
    settings_text t;
    t.read();
    return settings_int_in(t.c_str(), key);
}

int settings_switch(settings_key key) {
    settings_text t;
    t.read();
    return settings_switch_in(t.c_str(), key);
}

uint64_t settings_generation(void) {
    // Seen as (present, size, time); the first look counts as a change.
    static bool s_seen = false;
    static bool s_present = false;
    static int64_t s_size = 0, s_time = 0;
    static uint64_t s_generation = 0;
    int64_t size = 0, time = 0;
    bool present = plat_file_stamp(kSettingsFile, &size, &time) == 0;
    if (!s_seen || present != s_present || size != s_size || time != s_time) {
        s_seen = true;
        s_present = present;
        s_size = size;
        s_time = time;
        ++s_generation;
    }
    return s_generation;
}

void settings_storage_root(char *root, size_t cap) {
    if (!root || cap == 0) return;
    root[0] = '\0';
    const char *env = getenv("REGISTRY_STORAGE_ROOT");
    if (env && *env) {
        qf_strlcpy(root, env, cap);
    } else {
        settings_text t;
        if (t.read()) settings_root_in(t.c_str(), root, cap);
    }
    if (!root[0]) qf_strlcpy(root, settings_entry_of(SETTINGS_STORAGE_ROOT)->fallback_text, cap);
}

} // extern "C"
