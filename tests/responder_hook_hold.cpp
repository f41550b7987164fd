// responder_hook_hold.cpp - the responder hook of the registry the tests build:
// tests kill a responder in the middle of a request. With REGISTRY_TEST_HOLD in
// the responder's own environment, a request that carries the header
// X-Registry-Test-Hold is held at that FIFO pair (see plat_hold_at_fifos).
#include <fcgiapp.h>
#include <stdlib.h>

#include "front/responder_hook.h"
#include "platform/platform.h"

namespace {

// Read before the first request: while a request runs, the process
// environment is the request's own.
const char *const s_hold = getenv("REGISTRY_TEST_HOLD");

} // namespace

void responder_request_read(char **envp) {
    if (s_hold && FCGX_GetParam("HTTP_X_REGISTRY_TEST_HOLD", envp)) plat_hold_at_fifos(s_hold);
}
