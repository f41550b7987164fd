/* Read-only JSON documents with a C-compatible interface, for storage-engine code that inspects manifests and
 * statistics. */
#ifndef PLATFORM_JSON_DOC_H
#define PLATFORM_JSON_DOC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct json_doc json_doc; /* a parsed, read-only document */
typedef struct json_val json_val; /* a value inside a document; valid until json_doc_free */

/*
 * Parses data[0..len) as one strict RFC 8259 text; the bytes need not be
 * zero-terminated and are not referenced after the call returns. NULL on any
 * error: malformed JSON, invalid UTF-8, NULL data, out of memory, nesting
 * deeper than 1024, integers outside int64/uint64, numbers beyond double range.
 *
 * A document is not safe for concurrent use: lookups record new values in it.
 */
json_doc *json_read(const char *data, size_t len);
/* 1 when memory ran out since the last json_read began (in that parse or in a
 * lookup since), so a caller can tell "no memory" from "not valid JSON" or
 * "no such member". */
int json_out_of_memory(void);
void json_doc_free(json_doc *doc);      /* NULL allowed */
json_val *json_doc_root(json_doc *doc); /* NULL for NULL doc */

/* First member whose unescaped name equals key byte for byte; NULL when obj is
 * NULL or not an object, key is NULL, or no member matches. */
json_val *json_obj_get(json_val *obj, const char *key);

size_t json_arr_size(json_val *arr); /* 0 when NULL or not an array */
/* NULL when out of range or not an array. Walking indexes in ascending order
 * costs O(1) per step; jumping backwards restarts from the front. */
json_val *json_arr_get(json_val *arr, size_t idx);

/* Every predicate answers 1 or 0, and 0 for NULL. */
int json_is_obj(json_val *v);
int json_is_arr(json_val *v);
int json_is_str(json_val *v);
int json_is_bool(json_val *v);
int json_is_null(json_val *v);
int json_is_int(json_val *v);  /* any integer: signed or unsigned */
int json_is_sint(json_val *v); /* integer that fits int64 */
int json_is_uint(json_val *v); /* non-negative integer that fits uint64 */
int json_is_real(json_val *v); /* number with fraction or exponent (a double) */

const char *json_get_str(json_val *v); /* zero-terminated text, NULL when not a string */
size_t json_get_len(json_val *v);      /* byte length of a string (may hold NUL as \u0000), 0 otherwise */
int json_get_bool(json_val *v);        /* 1/0; 0 when not a bool */
int64_t json_get_sint(json_val *v);    /* 0 when not an integer that fits */
uint64_t json_get_uint(json_val *v);   /* 0 when not a non-negative integer that fits */
double json_get_real(json_val *v);     /* the double; integers as double; 0 otherwise */

/* The value as compact JSON text (no white space), zero-terminated, in a
 * buffer the caller frees with free(); len_out (may be NULL) gets its length.
 * NULL for NULL or without memory. */
char *json_val_minified(json_val *v, size_t *len_out);

#ifdef __cplusplus
}

#include <memory>

struct json_doc_deleter {
    void operator()(json_doc *doc) const { json_doc_free(doc); }
};
/* Owns a parsed document for C++ callers. */
using json_doc_ptr = std::unique_ptr<json_doc, json_doc_deleter>;
#endif

#endif /* PLATFORM_JSON_DOC_H */
