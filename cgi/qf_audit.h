/* qf_audit.h - the access log: one line per request, appended at process exit. */
#ifndef QF_AUDIT_H
#define QF_AUDIT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void qf_audit_note_status(int status);
void qf_audit_note_bytes(int64_t count);
void qf_audit_note_actor(const char *name);
void qf_audit_flush(void);
const char *qf_audit_log_path(void);
int64_t qf_audit_cap_bytes(void);
int qf_audit_enabled(void);
int64_t qf_audit_log_bytes(void);

#ifdef __cplusplus
}
#endif

#endif
