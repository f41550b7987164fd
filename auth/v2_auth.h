/* v2_auth.h - HTTP Basic authentication of one configured user against a SHA-256 password hash. */
#ifndef V2_AUTH_H
#define V2_AUTH_H

#include <stddef.h>

#include "base/settings.h"

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

/* The same decision without writing anything: 1 when authentication is off
 * or authorization (the Authorization header's value, may be null) holds the
 * configured user and password, the user then copied to actor_out (may be
 * null; 128 bytes hold any user); 0 when the request must be refused. */
int registry_auth_verify(const char *authorization, char *actor_out, size_t actor_cap);

/* 1 for a path of the registry API: after its leading '/', exactly "v2" or
 * "v2/" followed by anything. 0 otherwise, and for null. */
int registry_auth_path_guarded(const char *path);

#ifdef __cplusplus
}
#endif

#endif
