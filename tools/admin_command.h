// admin_command.h - what registry-admin's command groups share: the parsed command line, exit statuses, messages.
#ifndef ADMIN_COMMAND_H
#define ADMIN_COMMAND_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/json_doc.h"

enum admin_exit { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

extern const char kAdminProg[];

// The options every command shares, taken from anywhere on the line.
struct admin_options {
    std::string root;
    std::string instance;
    bool json = false;
    bool help = false;
    std::vector<std::string> words; // the command and its own options, in order
};

// One command's arguments as its table row declared them.
struct admin_call {
    const admin_options &o;
    std::vector<std::pair<std::string, std::string>> flags; // name and value, in the order given
    std::vector<std::string> args;                          // the positional arguments

    bool has(const char *flag) const {
        for (const auto &f : flags)
            if (f.first == flag) return true;
        return false;
    }
};

// "registry-admin: MESSAGE" and the hint to the command's help; status 2.
int admin_usage_error(const std::string &message, const char *command);
// "registry-admin: MESSAGE"; status 1.
int admin_failure(const std::string &message);
// The engine's last error as the failure.
int admin_engine_failure();
// The engine's JSON on one line; status 0.
int admin_print_json(const char *text);

// Opens the store the options name (--root, --instance, the environment, the
// settings file); refuses a directory that is not already a registry store.
int admin_open_store(const admin_options &o);

// "sha256:" and the first 12 hex digits, as tables show digests.
std::string admin_short_digest(const std::string &digest);
// Label and value lines with the values in one column.
void admin_print_pairs(const std::vector<std::pair<std::string, std::string>> &pairs);
// "[####----...]" for done of total.
std::string admin_bar_cells(int64_t done, int64_t total);
// Redraws one line of standard error in place, cut to the terminal's width; clears it.
void admin_draw_line(std::string line);
void admin_clear_line();
void admin_sleep_ms(int ms);

// A parsed engine document with typed lookups that answer 0, false or "" when a member is absent.
class admin_doc {
public:
    explicit admin_doc(const char *text);
    bool ok() const { return json_is_obj(root_) != 0; }
    json_val *root() const { return root_; }

    static int64_t num(json_val *obj, const char *key);
    static double real(json_val *obj, const char *key) { return json_get_real(json_obj_get(obj, key)); }
    static bool flag(json_val *obj, const char *key) { return json_get_bool(json_obj_get(obj, key)) != 0; }
    static std::string str(json_val *obj, const char *key);
    int64_t num(const char *key) const { return num(root_, key); }
    bool flag(const char *key) const { return flag(root_, key); }
    std::string str(const char *key) const { return str(root_, key); }
    json_val *arr(const char *key) const { return json_obj_get(root_, key); }

private:
    json_doc_ptr doc_;
    json_val *root_;
};

// ---- the command groups: help texts and handlers -----------------------------------

extern const char kHelpGc[];
int admin_gc_run(const admin_call &call);
int admin_gc_status(const admin_call &call);
int admin_gc_cancel(const admin_call &call);

extern const char kHelpRetention[];
int admin_retention(const admin_call &call);

extern const char kHelpUsage[];
extern const char kHelpLs[];
int admin_usage(const admin_call &call);
int admin_ls(const admin_call &call);

extern const char kHelpCheck[];
int admin_check(const admin_call &call);

extern const char kHelpBackup[];
int admin_backup(const admin_call &call);

#endif
