// responder_hook_none.cpp - the registry program's responder hook: nothing happens there.
#include "front/responder_hook.h"

void responder_request_read(char **) {}
