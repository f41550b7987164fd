/* v2_auth.h - HTTP Basic authentication of one configured user against a SHA-256 password hash. */
#ifndef V2_AUTH_H
#define V2_AUTH_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when config.json names a user (1 to 127 characters) and a 64-character
 * password hash in its first 4095 bytes, else 0. Writes nothing. */
int registry_auth_enabled(void);

/* 1 when the request may go on (authentication off, or HTTP_AUTHORIZATION
 * holds the configured user and a password with the configured hash; the user
 * is then noted as the actor of the access log). 0 when the credentials are
 * missing or wrong: the complete 401 challenge response has been written and
 * the caller must write nothing more. */
int registry_auth_check(void);

/* 1 for a path of the registry API: after its leading '/', exactly "v2" or
 * "v2/" followed by anything. 0 otherwise, and for null. */
int registry_auth_path_guarded(const char *path);

/* The settings scanner behind the two lookups above (a text scan, not JSON
 * parsing): the text between the first two double quotes after the first ':'
 * that follows "key". 1 with the value copied and terminated, 0 when the key
 * or a quoted value is missing or the value does not fit in size bytes. */
int json_str_key(const char *text, const char *key, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
