/* throttle.h - slows password guessing: an address with too many failed credential checks within a
 * window is refused for a while, counted across processes in a small file of the instance directory. */
#ifndef REGISTRY_THROTTLE_H
#define REGISTRY_THROTTLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* REGISTRY_THROTTLE_FAILURES failures within REGISTRY_THROTTLE_WINDOW_SECONDS
 * from one address block it for REGISTRY_THROTTLE_BLOCK_SECONDS. The state
 * lives in REGISTRY_THROTTLE_FILE of the working directory (the instance
 * directory), replaced whole under the lock of REGISTRY_THROTTLE_LOCK, and
 * holds at most REGISTRY_THROTTLE_SLOTS addresses: a new one takes the place
 * of the one seen longest ago, sparing blocked ones while it can. */
enum {
    REGISTRY_THROTTLE_FAILURES = 10,
    REGISTRY_THROTTLE_WINDOW_SECONDS = 60,
    REGISTRY_THROTTLE_BLOCK_SECONDS = 60,
    REGISTRY_THROTTLE_SLOTS = 256
};
#define REGISTRY_THROTTLE_FILE ".auth-throttle"
#define REGISTRY_THROTTLE_LOCK ".auth-throttle.lock"

/* 1 while client_addr is blocked, else 0 (also when the state cannot be read:
 * a damaged file never blocks anybody). */
int registry_auth_throttled(const char *client_addr);

/* Counts one failed credential check from client_addr. A state that cannot be
 * read is started afresh; one that cannot be written loses the count. */
void registry_auth_note_failure(const char *client_addr);

/* For tests: the failures counted for client_addr in its current window. */
int registry_auth_failures(const char *client_addr);

/* For tests: the clock in whole seconds (null restores the wall clock). */
typedef int64_t (*registry_throttle_clock_fn)(void);
void registry_auth_throttle_set_clock(registry_throttle_clock_fn now);

#ifdef __cplusplus
}
#endif

#endif
