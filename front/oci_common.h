/* oci_common.h - registry protocol operations that every endpoint shares. */
#ifndef OCI_COMMON_H
#define OCI_COMMON_H

#include <stddef.h>

/* Every registry response carries this header line. */
#define OCI_API_VERSION_HEADER "Docker-Distribution-API-Version: registry/2.0"

#ifdef __cplusplus
extern "C" {
#endif

/* Resolves the storage root and starts the storage engine, once per process. */
int oci_init_storage(void);
/* Writes a registry error response and ends the process with exit status 0. */
#ifdef __cplusplus
[[noreturn]]
#endif
void oci_send_error(int status, const char *code, const char *message);
/* Writes a JSON success response; 0, or -1 when standard output cannot be flushed. */
int oci_send_json(int status, const char *json);
int oci_valid_repo_name(const char *name);
/* Skips leading '/' and then one "v2/" (or a path that is exactly "v2"); a
 * component that merely begins with "v2" stays. */
const char *oci_skip_api_prefix(const char *path);
int oci_parse_repo_marker(const char *path, const char *marker, char *name_out, size_t name_cap, char *rest_out,
                          size_t rest_cap);

#ifdef __cplusplus
}
#endif

#endif
