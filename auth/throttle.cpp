#include "auth/throttle.h"
extern "C" int registry_auth_throttled(const char *) { return 0; }
extern "C" void registry_auth_note_failure(const char *) {}
