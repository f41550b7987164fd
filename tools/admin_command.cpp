// admin_command.cpp - registry-admin's shared pieces: messages, opening the store, engine documents, drawing.
#include "tools/admin_command.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/settings.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"

const char kAdminProg[] = "registry-admin";

namespace {

constexpr size_t kPathCap = 4096;
constexpr int kBarWidth = 24; // cells of the bar itself

} // namespace

int admin_usage_error(const std::string &message, const char *command) {
    fprintf(stderr, "%s: %s\n", kAdminProg, message.c_str());
    if (command)
        fprintf(stderr, "Try '%s %s --help'.\n", kAdminProg, command);
    else
        fprintf(stderr, "Try '%s --help'.\n", kAdminProg);
    return kExitUsage;
}

int admin_failure(const std::string &message) {
    fprintf(stderr, "%s: %s\n", kAdminProg, message.c_str());
    return kExitFailed;
}

int admin_engine_failure() { return admin_failure(reg_storage_last_error()); }

int admin_print_json(const char *text) {
    printf("%s\n", text);
    return kExitOk;
}

// Refuses a root that is not already a registry store before the engine
// starts, since the engine's start-up creates whatever is missing.
int admin_open_store(const admin_options &o) {
    std::string root = o.root;
    if (!o.instance.empty()) {
        char here[kPathCap];
        if (!root.empty() && root[0] != '/' && plat_current_dir(here, sizeof here) == 0)
            root = std::string(here) + "/" + root;
        if (plat_chdir(o.instance.c_str()) != 0) return admin_failure("cannot enter instance directory: " + o.instance);
    }
    if (root.empty()) {
        char setting[kPathCap];
        settings_storage_root(setting, sizeof setting);
        root = setting;
    }
    if (plat_entry_kind(root.c_str()) != PLAT_DIR) return admin_failure("storage root does not exist: " + root);
    bool is_store = plat_entry_kind((root + "/config.json").c_str()) == PLAT_FILE &&
                    plat_entry_kind((root + "/blobs").c_str()) == PLAT_DIR &&
                    plat_entry_kind((root + "/repositories").c_str()) == PLAT_DIR;
    if (!is_store)
        return admin_failure("not a registry store (no storage descriptor config.json, blobs or repositories): " +
                             root);
    if (reg_storage_init(root.c_str()) != 0) return admin_engine_failure();
    return kExitOk;
}

std::string admin_short_digest(const std::string &digest) {
    constexpr size_t kShown = 7 + 12;
    return digest.size() > kShown ? digest.substr(0, kShown) : digest;
}

void admin_print_pairs(const std::vector<std::pair<std::string, std::string>> &pairs) {
    size_t width = 0;
    for (const auto &p : pairs)
        width = std::max(width, p.first.size());
    for (const auto &p : pairs)
        printf("  %-*s  %s\n", static_cast<int>(width), p.first.c_str(), p.second.c_str());
}

std::string admin_bar_cells(int64_t done, int64_t total) {
    int filled = total > 0 ? static_cast<int>(done * kBarWidth / total) : 0;
    if (filled > kBarWidth) filled = kBarWidth;
    std::string cells = "[";
    cells.append(static_cast<size_t>(filled), '#');
    cells.append(static_cast<size_t>(kBarWidth - filled), '-');
    cells += ']';
    return cells;
}

void admin_draw_line(std::string line) {
    int columns = plat_terminal_columns(2);
    if (columns > 1 && line.size() >= static_cast<size_t>(columns)) line.resize(static_cast<size_t>(columns - 1));
    fprintf(stderr, "\r%s\033[K", line.c_str());
    fflush(stderr);
}

void admin_clear_line() {
    fprintf(stderr, "\r\033[K");
    fflush(stderr);
}

void admin_sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

admin_doc::admin_doc(const char *text) : doc_(json_read(text, strlen(text))), root_(json_doc_root(doc_.get())) {}

int64_t admin_doc::num(json_val *obj, const char *key) {
    json_val *v = json_obj_get(obj, key);
    if (json_is_sint(v)) return json_get_sint(v);
    if (json_is_real(v)) return static_cast<int64_t>(json_get_real(v));
    return 0;
}

std::string admin_doc::str(json_val *obj, const char *key) {
    const char *s = json_get_str(json_obj_get(obj, key));
    return s ? s : "";
}
