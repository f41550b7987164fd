/* reg_storage.h - the registry storage engine: the operations endpoints call. */
#ifndef REG_STORAGE_H
#define REG_STORAGE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Start-up and shut-down. 0 or -1; on -1 reg_storage_last_error says why. */
int reg_storage_init(const char *root);
void reg_storage_cleanup(void);
/* The most recent failure text; never null. */
const char *reg_storage_last_error(void);

/* Removes a repository's whole directory tree (and repositories nested in it). */
int reg_repo_delete(const char *name);

#ifdef __cplusplus
}
#endif

#endif
