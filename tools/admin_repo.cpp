// admin_repo.cpp - registry-admin usage and ls: what the store holds, its repositories and their tags.
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "base/qf_str.h"
#include "base/settings.h"
#include "storage/reg_storage.h"
#include "tools/admin_command.h"
#include "tools/admin_format.h"

const char kHelpUsage[] =
    "Usage: registry-admin usage\n"
    "\n"
    "Repositories, tags, manifests, blobs and bytes of the store; the share of the\n"
    "quota in use when registry_quota_bytes is set; per repository the bytes of the\n"
    "blobs its manifests name (a shared blob counts in each repository, once in all).\n";

const char kHelpLs[] =
    "Usage: registry-admin ls [REPO]\n"
    "\n"
    "Without REPO: every repository with its tag and manifest counts.\n"
    "With REPO: its tags with digest, media type, manifest size and age.\n";

int admin_usage(const admin_call &call) {
    const admin_options &o = call.o;
    if (int rc = admin_open_store(o)) return rc;
    const char *report = reg_usage_json(settings_int(SETTINGS_QUOTA_BYTES));
    if (!report) return admin_engine_failure();
    if (o.json) return admin_print_json(report);

    admin_doc d(report);
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"Repositories", std::to_string(d.num("repositories"))},
        {"Tags", std::to_string(d.num("tags"))},
        {"Manifests", std::to_string(d.num("manifests"))},
        {"Blobs", std::to_string(d.num("blobs")) + " (" + human_bytes(d.num("blob_bytes")) + ")"},
        {"Named by manifests",
         std::to_string(d.num("referenced_blobs")) + " (" + human_bytes(d.num("referenced_bytes")) + ")"},
        {"Uploads in progress",
         std::to_string(d.num("active_uploads")) + " (" + human_bytes(d.num("upload_bytes")) + ")"},
    };
    if (int64_t quota = d.num("quota_bytes")) {
        char share[32];
        qf_snprintf(share, sizeof share, "%.1f%%", d.real(d.root(), "quota_used_percent"));
        pairs.push_back({"Quota", human_bytes(d.num("blob_bytes")) + " of " + human_bytes(quota) + " (" + share + ")"});
    }
    if (int64_t bad = d.num("unreadable_manifests"))
        pairs.push_back({"Unreadable manifests", std::to_string(bad) + " (run 'registry-admin check')"});
    admin_print_pairs(pairs);
    table t({"REPOSITORY", "TAGS", "MANIFESTS", "BLOBS", "BYTES"}, {false, true, true, true, true});
    json_val *repos = d.arr("repos");
    for (size_t i = 0; i < json_arr_size(repos); ++i) {
        json_val *r = json_arr_get(repos, i);
        t.add({admin_doc::str(r, "name"), std::to_string(admin_doc::num(r, "tags")),
               std::to_string(admin_doc::num(r, "manifests")), std::to_string(admin_doc::num(r, "blobs")),
               human_bytes(admin_doc::num(r, "bytes"))});
    }
    if (!t.empty()) {
        printf("\n");
        t.print(stdout);
    }
    if (d.flag("repos_cut")) fprintf(stderr, "%s: warning: the list of repositories was cut to fit\n", kAdminProg);
    return kExitOk;
}

int admin_ls(const admin_call &call) {
    const admin_options &o = call.o;
    const std::vector<std::string> &rest = call.args;
    if (int rc = admin_open_store(o)) return rc;
    if (rest.empty()) {
        const char *list = reg_repos_json();
        if (!list) return admin_engine_failure();
        if (o.json) return admin_print_json(list);
        admin_doc d(list);
        table t({"REPOSITORY", "TAGS", "MANIFESTS"}, {false, true, true});
        json_val *repos = d.arr("repositories");
        for (size_t i = 0; i < json_arr_size(repos); ++i) {
            json_val *r = json_arr_get(repos, i);
            t.add({admin_doc::str(r, "name"), std::to_string(admin_doc::num(r, "tags")),
                   std::to_string(admin_doc::num(r, "manifests"))});
        }
        if (t.empty())
            printf("No repositories.\n");
        else
            t.print(stdout);
        return kExitOk;
    }
    const char *tags = reg_repo_tags_json(rest[0].c_str());
    if (!tags) return admin_engine_failure();
    if (o.json) return admin_print_json(tags);
    admin_doc d(tags);
    table t({"TAG", "DIGEST", "MEDIA TYPE", "SIZE", "AGE"}, {false, false, false, true, true});
    json_val *list = d.arr("tags");
    for (size_t i = 0; i < json_arr_size(list); ++i) {
        json_val *e = json_arr_get(list, i);
        int64_t size = admin_doc::num(e, "size");
        t.add({admin_doc::str(e, "tag"), admin_short_digest(admin_doc::str(e, "digest")),
               admin_doc::str(e, "media_type"), size < 0 ? "missing" : human_bytes(size),
               human_age(admin_doc::num(e, "age_seconds"))});
    }
    if (t.empty())
        printf("No tags in %s.\n", rest[0].c_str());
    else
        t.print(stdout);
    return kExitOk;
}
