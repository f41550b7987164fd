// v2_repo.cpp - the repository endpoint: deletes a whole repository.
#include "front/v2_repo.h"

#include <stdio.h>
#include <string.h>

#include "auth/v2_auth.h"
#include "cgi/qf_cgi.h"
#include "front/oci_common.h"
#include "storage/reg_storage.h"

namespace {

constexpr char kNameUnknown[] = "repository name not known";

// "/v2/<name>/" to "<name>": only the first "v2/" goes, and one trailing '/'.
// The path is taken verbatim; the name rule decides what is acceptable.
const char *name_from_path(const char *path, char *buf, size_t cap) {
    path = oci_skip_api_prefix(path);
    while (*path == '/')
        ++path;
    size_t len = strlen(path);
    // A name past the buffer would be shortened into another name: refuse it.
    if (len >= cap) return nullptr;
    memcpy(buf, path, len + 1);
    if (len > 0 && buf[len - 1] == '/') buf[len - 1] = '\0';
    return buf;
}

} // namespace

extern "C" int handle_v2_repo(const char *name) {
    // Deleting a whole repository is the most destructive request there is:
    // with a user configured it is refused before anything else is looked at,
    // whatever the path (a path without "v2" reaches this program too).
    if (registry_auth_enabled() && !registry_auth_check()) return 0;
    // The method is checked before the storage is touched.
    if (strcmp(cgi_method(), "DELETE") != 0)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for repository endpoint");
    if (oci_init_storage() != 0) oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");

    char from_path[258];
    if (!name || !*name) name = name_from_path(cgi_path_info(), from_path, sizeof from_path);
    if (!name || !*name || !oci_valid_repo_name(name)) oci_send_error(404, "NAME_UNKNOWN", kNameUnknown);

    if (reg_repo_delete(name) != 0) {
        const char *why = reg_storage_last_error();
        oci_send_error(404, "NAME_UNKNOWN", why && *why ? why : kNameUnknown);
    }
    cgi_header_status(202, "Accepted");
    cgi_header_extra(OCI_API_VERSION_HEADER);
    cgi_headers_end();
    fflush(stdout);
    return 0;
}
