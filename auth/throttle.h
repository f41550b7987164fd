// placeholder until the throttle lands
#ifndef REG_THROTTLE_H
#define REG_THROTTLE_H
#ifdef __cplusplus
extern "C" {
#endif
int registry_auth_throttled(const char *client_addr);
void registry_auth_note_failure(const char *client_addr);
#ifdef __cplusplus
}
#endif
#endif
