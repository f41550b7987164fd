/* access.h - who may do what: users of the settings file and of a password
 * file, their rights, anonymous reads, and refusal when the configuration
 * cannot be trusted. */
#ifndef REG_ACCESS_H
#define REG_ACCESS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What a request needs. Each right includes the ones before it. */
typedef enum { REG_NEED_READ = 0, REG_NEED_WRITE = 1, REG_NEED_ADMIN = 2 } reg_need;

typedef struct {
    /* 0: go on. 401: credentials missing or wrong. 403: the user lacks the
     * right. 429: too many failures from this client lately. 500: the
     * settings or the password file cannot be trusted; problem says why
     * (for the server's error log only, never for the client). */
    int status;
    char actor[128];   /* the authenticated user, empty for anonymous or open access */
    char problem[512];
} reg_access;

/* Decides one request. authorization: the Authorization header's value (may
 * be null); client: the client's address (may be null), for throttling. */
void registry_access_decide(const char *authorization, reg_need need, const char *client, reg_access *out);

/* 1 when a user is configured (the settings file's user, or a password file),
 * 0 when the registry is open, -1 when the configuration is broken. */
int registry_access_users_configured(void);

/* The error code and message a refusal answers with (403, 429; any other
 * status is the refusal of a configuration that cannot be trusted). The texts
 * tell the client nothing about the server's files. */
const char *registry_access_refusal_code(int status);
const char *registry_access_refusal_message(int status);

#ifdef __cplusplus
}
#endif

#endif
