/* v2_repo.h - the repository endpoint: DELETE /v2/<name>. When a user and
 * password hash are configured, only that user may delete. */
#ifndef V2_REPO_H
#define V2_REPO_H

#ifdef __cplusplus
extern "C" {
#endif

/* name: the repository to delete, or null/empty to take it from PATH_INFO.
 * Answers this CGI process's request on standard output; returns 0. */
int handle_v2_repo(const char *name);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include "front/http.h"

/* The endpoint's answer to req, in resp; name as for handle_v2_repo. Never
 * ends the process. */
void v2_repo_answer(const http_request &req, const char *name, http_response &resp);
#endif

#endif
