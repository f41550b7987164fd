/* qf_audit.h - the access log: one line per request, appended at process exit.
 * A line: METHOD PATH BYTES STATUS ACTOR CLIENT TIME {the same as JSON}. The
 * fields that come from the request are escaped: in the plain-text part a
 * space, a control byte, '\\', '"' or a byte from 0x7f is written \xNN; in
 * the JSON object such bytes are JSON escapes (\u00NN for one byte). */
#ifndef QF_AUDIT_H
#define QF_AUDIT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void qf_audit_note_status(int status);
void qf_audit_note_bytes(int64_t count);
void qf_audit_note_actor(const char *name);
/* The client's address (the front door passes REMOTE_ADDR); without one the
 * line takes REMOTE_ADDR of the environment, else "-". */
void qf_audit_note_client(const char *addr);
void qf_audit_flush(void);
const char *qf_audit_log_path(void);
int64_t qf_audit_cap_bytes(void);
int qf_audit_enabled(void);
int64_t qf_audit_log_bytes(void);

#ifdef __cplusplus
}
#endif

#endif
