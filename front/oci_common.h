/* oci_common.h - registry protocol operations that every endpoint shares. */
#ifndef OCI_COMMON_H
#define OCI_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include "base/settings.h"
#include "base/wire.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Resolves the storage root and starts the storage engine, once per process. */
int oci_init_storage(void);
/* For an entry that serves many requests in one process (and the CGI entry
 * alike): from now on the storage runs on an engine handle of the entry's own,
 * opened by oci_init_storage on the first request that needs the storage and
 * again when the settings change. Called before each request: selects that
 * handle and forgets the last error a previous request left in it. */
void oci_engine_begin_request(void);
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

/* Storage quota check for an upload in progress: 1 when the bytes stored plus
 * the upload's bytes stay within the quota (or nothing can be learned), 0 when
 * they would exceed it; message (optional, message_size bytes) then holds the
 * client's message, otherwise "". */
int oci_quota_check(const char *upload_id, char *message, size_t message_size);
/* The same check for a request that brings incoming more bytes: to the upload
 * named by upload_id, or to a new one when upload_id is NULL. */
int oci_quota_check_adding(const char *upload_id, int64_t incoming, char *message, size_t message_size);
/* Bytes the blob store holds; 0 when they cannot be learned. */
int64_t oci_quota_used_bytes(void);
/* The bytes every upload session's part file holds. */
int64_t oci_quota_parts_bytes(void);
/* count in B, KB, MB or GB (powers of 1024) into a buffer of OCI_FMT_BYTES_SIZE bytes. */
#define OCI_FMT_BYTES_SIZE 32
void oci_fmt_bytes(int64_t count, char *buffer);

#ifdef __cplusplus
}
#endif

#endif
