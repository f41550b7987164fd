// admin_retention.cpp - registry-admin retention: old tags deleted by the settings' rules or the ones given.
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "base/settings.h"
#include "storage/reg_storage.h"
#include "tools/admin_command.h"
#include "tools/admin_format.h"

const char kHelpRetention[] =
    "Usage: registry-admin retention [--dry-run] [--keep N] [--days D] [--include-latest]\n"
    "\n"
    "Deletes tags beyond the N newest of each repository, or at least D days old.\n"
    "Defaults come from the settings file: registry_retention_keep_n,\n"
    "registry_retention_days and registry_retention_protect_latest. 0 switches a rule off.\n"
    "  --dry-run         delete nothing, list what would be deleted\n"
    "  --keep N          keep the N newest tags of each repository (0 to 2147483647)\n"
    "  --days D          delete tags at least D days old (0 to 2147483647)\n"
    "  --include-latest  treat a tag named \"latest\" like any other\n";

namespace {

// Digits only, 0 to 2147483647: a sign, a fraction or a value past the 32-bit range is refused.
bool parse_count(const std::string &text, int *out) {
    if (text.empty() || text.size() > 10) return false;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > INT32_MAX) return false;
    *out = static_cast<int>(value);
    return true;
}

int clamp_setting(int64_t value) { return value > INT32_MAX ? INT32_MAX : static_cast<int>(value); }

} // namespace

int admin_retention(const admin_call &call) {
    const admin_options &o = call.o;
    bool dry = false, include_latest = false, keep_given = false, days_given = false, latest_given = false;
    int keep = 0, days = 0;
    for (const auto &[name, value] : call.flags) {
        if (name == "--dry-run") {
            dry = true;
        } else if (name == "--include-latest") {
            include_latest = latest_given = true;
        } else {
            int *target = name == "--keep" ? &keep : &days;
            if (!parse_count(value, target))
                return admin_usage_error(name + " needs a whole number from 0 to 2147483647, not '" + value + "'",
                                         "retention");
            (name == "--keep" ? keep_given : days_given) = true;
        }
    }
    if (int rc = admin_open_store(o)) return rc;
    // The settings file of the instance directory, which admin_open_store made the working directory.
    if (!keep_given) keep = clamp_setting(settings_int(SETTINGS_RETENTION_KEEP_N));
    if (!days_given) days = clamp_setting(settings_int(SETTINGS_RETENTION_DAYS));
    if (!latest_given) include_latest = settings_switch(SETTINGS_RETENTION_PROTECT_LATEST) == 0;

    int cut = 0;
    const char *report = reg_retention_json(dry ? 1 : 0, keep, days, include_latest ? 1 : 0, &cut);
    if (!report) return admin_engine_failure();
    if (cut)
        fprintf(stderr, "%s: warning: the report lists only the first tags; more were %s\n", kAdminProg,
                dry ? "selected" : "deleted");
    if (o.json) return admin_print_json(report);

    admin_doc d(report);
    table t({"REPOSITORY", "TAG", "DIGEST", "AGE"}, {false, false, false, true});
    json_val *list = d.arr("deleted");
    for (size_t i = 0; i < json_arr_size(list); ++i) {
        json_val *e = json_arr_get(list, i);
        t.add({admin_doc::str(e, "repository"), admin_doc::str(e, "tag"),
               admin_short_digest(admin_doc::str(e, "digest")), std::to_string(admin_doc::num(e, "age_days")) + " d"});
    }
    if (keep == 0 && days == 0) printf("No retention rule is set (keep 0, days 0): no tag is selected.\n");
    if (!t.empty()) t.print(stdout);
    printf("%s %lld of %lld tags in %lld repositories; %lld kept",
           dry ? "Would delete" : "Deleted", static_cast<long long>(d.num("tags_deleted")),
           static_cast<long long>(d.num("tags_total")), static_cast<long long>(d.num("repos_scanned")),
           static_cast<long long>(d.num("tags_kept")));
    if (int64_t spared = d.num("latest_protected")) printf(", %lld \"latest\" spared", static_cast<long long>(spared));
    printf(" (keep %d, days %d%s).\n", keep, days, include_latest ? ", latest included" : "");
    return kExitOk;
}
