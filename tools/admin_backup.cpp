// admin_backup.cpp - registry-admin backup DEST: a consistent copy of the store while pushes go on.
#include <stdio.h>

#include <string>

#include "storage/reg_storage.h"
#include "tools/admin_command.h"
#include "tools/admin_format.h"

const char kHelpBackup[] =
    "Usage: registry-admin backup DEST\n"
    "\n"
    "Copies the store into DEST (a new or empty directory outside the store) while\n"
    "the registry keeps serving: blobs first, then manifests with every blob and\n"
    "child manifest they name, then tags with their manifests, so every manifest and\n"
    "tag in the copy is whole. Uploads in progress, the quarantine and the access log\n"
    "are not copied. Serve the copy (its root as storage_root) or run check on it.\n";

int admin_backup(const admin_call &call) {
    const admin_options &o = call.o;
    const std::string &dest = call.args.at(0); // the command table asks for exactly one
    if (int rc = admin_open_store(o)) return rc;
    const char *report = reg_backup_json(dest.c_str());
    if (!report) return admin_engine_failure();
    if (o.json) return admin_print_json(report);
    admin_doc d(report);
    printf("Copied %lld blobs (%s; %lld of them named by manifests stored during the copy), %lld manifests, "
           "%lld tags into %s.\n",
           static_cast<long long>(d.num("blobs_copied")), human_bytes(d.num("blob_bytes_copied")).c_str(),
           static_cast<long long>(d.num("blobs_copied_for_late_manifests")),
           static_cast<long long>(d.num("manifests_copied")), static_cast<long long>(d.num("tags_copied")),
           dest.c_str());
    if (d.num("tags_skipped") > 0)
        printf("%lld tags were deleted with their manifests during the copy and left out.\n",
               static_cast<long long>(d.num("tags_skipped")));
    return kExitOk;
}
