// admin_check.cpp - registry-admin check [--repair]: the whole tree verified, damaged files moved aside.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tools/admin_command.h"
#include "tools/admin_format.h"

const char kHelpCheck[] =
    "Usage: registry-admin check [--repair]\n"
    "\n"
    "Verifies the whole tree: every blob hashes to its name, every manifest parses,\n"
    "hashes to its name and names stored blobs, every tag and revision link names a\n"
    "stored manifest, and no stray files lie about. Exit status 1 when problems remain.\n"
    "  --repair   move damaged and stray files into a quarantine directory under the\n"
    "             storage root (nothing is deleted) and say what moved\n";

namespace {

constexpr int kBarIntervalMs = 100; // redraw of the progress bar

struct check_bar {
    bool draw;
    uint64_t last_ms = 0;
    bool drew = false;
};

extern "C" void on_check_progress(int64_t done, int64_t total, void *arg) {
    auto *bar = static_cast<check_bar *>(arg);
    if (!bar->draw) return;
    uint64_t now = plat_monotonic_ms();
    if (bar->drew && done < total && now - bar->last_ms < static_cast<uint64_t>(kBarIntervalMs)) return;
    bar->last_ms = now;
    bar->drew = true;
    admin_draw_line("hashing blobs " + admin_bar_cells(done, total) + " " + human_bytes(done) + " of " +
                    human_bytes(total));
}

} // namespace

int admin_check(const admin_call &call) {
    const admin_options &o = call.o;
    bool repair = call.has("--repair");
    if (int rc = admin_open_store(o)) return rc;
    check_bar bar{!o.json && plat_is_terminal(2)};
    const char *report = reg_check_json(repair ? 1 : 0, on_check_progress, &bar);
    if (bar.drew) admin_clear_line();
    if (!report) return admin_engine_failure();
    admin_doc d(report);
    int64_t problems = d.num("problems");
    int64_t left = 0;
    json_val *issues = d.arr("issues");
    for (size_t i = 0; i < json_arr_size(issues); ++i)
        if (admin_doc::str(json_arr_get(issues, i), "action") != "moved") ++left;
    if (d.flag("issues_cut")) left = problems - d.num("moved");
    int status = left > 0 ? kExitFailed : kExitOk;
    if (o.json) {
        admin_print_json(report);
        return status;
    }
    table t(repair ? std::vector<std::string>{"PROBLEM", "PATH", "DETAIL", "ACTION"}
                   : std::vector<std::string>{"PROBLEM", "PATH", "DETAIL"},
            {false, false, false, false});
    for (size_t i = 0; i < json_arr_size(issues); ++i) {
        json_val *e = json_arr_get(issues, i);
        std::string action = admin_doc::str(e, "action");
        if (action == "moved") action += " to " + admin_doc::str(e, "moved_to");
        t.add({admin_doc::str(e, "problem"), admin_doc::str(e, "path"), admin_doc::str(e, "detail"), action});
    }
    if (!t.empty()) t.print(stdout);
    printf("Checked %lld blobs (%s), %lld manifests, %lld revision links, %lld tags: %lld problems.\n",
           static_cast<long long>(d.num("blobs_checked")), human_bytes(d.num("blob_bytes_checked")).c_str(),
           static_cast<long long>(d.num("manifests_checked")), static_cast<long long>(d.num("revisions_checked")),
           static_cast<long long>(d.num("tags_checked")), static_cast<long long>(problems));
    if (repair && d.num("moved") > 0)
        printf("Moved %lld files into %s (nothing was deleted).\n", static_cast<long long>(d.num("moved")),
               d.str("quarantine").c_str());
    if (d.flag("issues_cut")) fprintf(stderr, "%s: warning: the list of problems was cut to fit\n", kAdminProg);
    return status;
}
