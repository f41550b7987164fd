/* settings.h - the settings of config.json: one table of every key the system
 * reads (name, type, default, bounds, meaning) and the typed lookups over it.
 *
 * A key is named by its settings_key, never by text, so a key that is not in
 * the table cannot be read, and bounds are applied here and nowhere else.
 *
 * Two readings of the file exist. The lookups below scan the text for the
 * quoted key (first occurrence wins, values verbatim; the text is kept only
 * while the file is seen unchanged) and forgive anything around it. The access check instead parses the
 * file strictly (settings_parse.h) and refuses every request when it is not
 * well formed; it still names its keys through this table.
 *
 * The settings_*_in lookups work on a text already read and do no I/O. The
 * lookups without _in read config.json of the working directory; they
 * are declared here with the rest but defined in platform/settings_file.cpp,
 * because only the platform layer opens files and base/ sits below it. That
 * file holds the reading alone (size cap, generation stamp); every rule of
 * what a value means is in settings.cpp. */
#ifndef REG_SETTINGS_H
#define REG_SETTINGS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every key of config.json, in the order of the table. */
typedef enum {
    SETTINGS_STORAGE_ROOT,
    SETTINGS_REGISTRY_STORAGE_ROOT,
    SETTINGS_ACCESS_LOG,
    SETTINGS_ACCESS_LOG_MAX_BYTES,
    SETTINGS_AUTH_USER,
    SETTINGS_AUTH_SHA256,
    SETTINGS_AUTH_FILE,
    SETTINGS_ANONYMOUS_READ,
    SETTINGS_QUOTA_BYTES,
    SETTINGS_RETENTION_KEEP_N,
    SETTINGS_RETENTION_DAYS,
    SETTINGS_RETENTION_PROTECT_LATEST,
    SETTINGS_FSYNC,
    SETTINGS_GC_GRACE_SECONDS,
    SETTINGS_UPLOAD_SESSIONS_MAX,
    SETTINGS_UPLOAD_SESSIONS_PER_REPOSITORY_MAX,
    SETTINGS_KEY_COUNT
} settings_key;

typedef enum {
    /* Text between the first two double quotes after the key's colon, taken
     * verbatim (escapes are not decoded); min and max bound its length. */
    SETTINGS_STRING,
    /* Plain digits (a number past the 64-bit range saturates); a sign, a
     * quote or a letter leaves the default. */
    SETTINGS_INTEGER,
    /* Like SETTINGS_INTEGER, but an optional '-' before the digits. */
    SETTINGS_SIGNED,
    /* Like SETTINGS_SIGNED, but the digits may also stand in quotes ("0"). */
    SETTINGS_SIGNED_TEXT,
    /* Off for false or the number 0, on for true or another number, the
     * default for anything else. */
    SETTINGS_SWITCH,
    /* Exactly true or false; read by the strict parse only. */
    SETTINGS_BOOLEAN
} settings_type;

/* What a value outside [min, max] does. */
typedef enum {
    SETTINGS_CLAMP,       /* taken as the nearer bound */
    SETTINGS_USE_DEFAULT, /* ignored: the default holds */
    SETTINGS_REFUSE_ALL   /* the access configuration is broken: every request is refused */
} settings_bound;

typedef struct {
    const char *name;         /* as written in config.json, without quotes */
    settings_type type;
    int64_t fallback;         /* integers and switches: the default value */
    const char *fallback_text; /* the default as people read it */
    int64_t min, max;         /* value range; a string's length range */
    settings_bound out_of_bounds;
    int zero_means_default;   /* 1: the value 0 reads as the default */
    const char *meaning;      /* one line */
} settings_entry;

/* The table row of key; null for a key outside the table. */
const settings_entry *settings_entry_of(settings_key key);
/* The key's name in config.json; "" for a key outside the table. */
const char *settings_name(settings_key key);

/* 1 when a string key's value of len bytes is within the key's bounds. */
int settings_length_ok(settings_key key, size_t len);

/* ---- Lookups over a text already read (no I/O). ---- */

/* An integer key's value after the default and the bounds are applied. A key
 * of another type answers 0. */
int64_t settings_int_in(const char *text, settings_key key);
/* A switch's value, 0 or 1. A key of another type answers 0. */
int settings_switch_in(const char *text, settings_key key);
/* A string key's value copied and terminated: 1, or 0 when the key or a
 * quoted value is missing, the value is out of the key's length bounds or
 * does not fit in size bytes. The colon may stand anywhere after the key. */
int settings_str_in(const char *text, settings_key key, char *out, size_t size);
/* The storage root named by text: "storage_root", else
 * "registry_storage_root", each only when directly followed by its colon and
 * within the key's bounds and cap. root is left as it is when the text names
 * none. */
void settings_root_in(const char *text, char *root, size_t cap);

/* ---- Lookups in config.json of the working directory (platform/
 * settings_file.cpp). Each looks at the file (one stat) and reads it again
 * whenever it may have changed, so an edit takes effect at the next lookup.
 * An absent or unreadable file gives the defaults. ---- */

int64_t settings_int(settings_key key);
int settings_switch(settings_key key);
/* The storage root: REGISTRY_STORAGE_ROOT when set and not empty, else the
 * file's by settings_root_in, else "./registry_storage". */
void settings_storage_root(char *root, size_t cap);

/* A number that changes whenever config.json of the working directory is
 * seen with another size or last-write time, appears or goes away. A process
 * that answers many requests compares it with the one its cached settings
 * were read under and reads them again when it differs. */
uint64_t settings_generation(void);

/* A process answering a request calls settings_hold(1) before it and
 * settings_hold(0) after it: in between, only the first lookup looks at the
 * file and the others take what it found, so one request sees one version of
 * the settings and pays one stat for them. */
void settings_hold(int on);

#ifdef __cplusplus
}
#endif

#endif
