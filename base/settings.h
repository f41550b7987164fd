/* settings.h - lookups in the settings file config.json of the working directory.
 * Every lookup reads the file's first bytes afresh and scans them for a quoted
 * key (a text scan, not JSON parsing): the first occurrence wins, values are
 * taken verbatim, and nothing is cached between calls.
 * The scans of a text are this module's own and do no I/O; the lookups that
 * read the file (oci_...) are implemented by the platform layer, the only
 * module that opens files, in platform/settings_file.cpp. */
#ifndef REG_SETTINGS_H
#define REG_SETTINGS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The storage root: REGISTRY_STORAGE_ROOT when set and not empty, else
 * "storage_root" then "registry_storage_root" of the settings file (the key
 * followed directly by its colon, value within cap), else "./registry_storage". */
void oci_storage_root_setting(char *root, size_t cap);

/* The text between the first two double quotes after the first ':' that
 * follows "key". 1 with the value copied and terminated, 0 when the key or a
 * quoted value is missing or the value does not fit in size bytes. */
int json_str_key(const char *text, const char *key, char *out, size_t size);

/* key: the key with its double quotes, e.g. "\"registry_retention_days\"".
 * The digits after the key's colon, 0 when absent or not a plain number. */
int64_t oci_config_int(const char *key);
int64_t oci_retention_keep_n(void);
int64_t oci_retention_days(void);
/* 1 (protect the tag "latest") unless the setting is false or the number 0. */
int oci_retention_protect_latest(void);
/* Storage quota in bytes; 0 means none. */
int64_t oci_quota_bytes(void);
/* 1 (flush stored files to disk before they count as written) unless
 * "registry_fsync" is false or the number 0. */
int oci_fsync_enabled(void);

/* A number that changes whenever config.json of the working directory is
 * seen with another size or last-write time, appears or goes away. A process
 * that answers many requests compares it with the one its cached settings
 * were read under and reads them again when it differs. */
uint64_t oci_settings_generation(void);

/* Scans of a settings text already read. The storage root by the rule of
 * oci_storage_root_setting's file lookup; root is left as it is when the text
 * names none that fits in cap. */
void settings_root_in(const char *text, char *root, size_t cap);
/* oci_config_int's rule over text. */
int64_t settings_int_in(const char *text, const char *key);
/* A switch: 0 for false or the number 0, 1 for true or another number,
 * fallback when absent or anything else. */
int settings_switch_in(const char *text, const char *key, int fallback);
/* Seconds a blob file stays safe from garbage collection after it was last
 * written or named by a stored manifest ("registry_gc_grace_seconds"; 0 is a
 * valid setting). 3600 when absent or not a plain number. */
int64_t oci_gc_grace_seconds(void);
/* oci_config_int's rule over text, but fallback when the key is absent or
 * its value is not a plain number (for settings where 0 is a real value). */
int64_t settings_int_or_in(const char *text, const char *key, int64_t fallback);

#ifdef __cplusplus
}
#endif

#endif
