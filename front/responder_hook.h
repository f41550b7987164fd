// responder_hook.h - the point a FastCGI responder passes once it has read a
// request and before it answers it. The registry program's is empty; the
// tests build a registry whose hook can hold the responder there.
#ifndef RESPONDER_HOOK_H
#define RESPONDER_HOOK_H

// envp: the request's variables.
void responder_request_read(char **envp);

#endif
