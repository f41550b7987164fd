/* v2_repo.h - the repository endpoint: DELETE /v2/<name>. When a user and
 * password hash are configured, only that user may delete. */
#ifndef V2_REPO_H
#define V2_REPO_H

#ifdef __cplusplus
extern "C" {
#endif

/* name: the repository to delete, or null/empty to take it from PATH_INFO. */
int handle_v2_repo(const char *name);

#ifdef __cplusplus
}
#endif

#endif
