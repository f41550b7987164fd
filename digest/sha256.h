/* SHA-256 message digest: streaming context, one-shot file hashing, and engine selection. */
#ifndef DIGEST_SHA256_H
#define DIGEST_SHA256_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sha256_ctx {
    uint32_t state[8]; /* H0..H7 */
    uint64_t bitcount; /* total message length so far, in bits */
    uint8_t block[64]; /* bytes of the current, not yet compressed block */
    uint64_t buffered; /* bytes in block, 0..63 between calls */
} sha256_ctx;

void sha256_init(sha256_ctx *ctx);

/* len may be 0, in which case data may be NULL. */
void sha256_update(sha256_ctx *ctx, const void *data, size_t len);

/* Writes the 32-byte digest. The context is used up afterwards: call
   sha256_init before hashing another message with it. */
void sha256_final(sha256_ctx *ctx, uint8_t out[32]);

/* The digest as 64 lower-case hex digits, each byte's high digit first, and a
   terminator: hex holds SHA256_HEX_SIZE bytes. */
#define SHA256_HEX_SIZE 65
void sha256_hex(const uint8_t digest[32], char hex[SHA256_HEX_SIZE]);

/* The digest as the registry writes it: "sha256:", the 64 digits and a
   terminator; text holds SHA256_TEXT_SIZE bytes. */
#define SHA256_TEXT_SIZE 72
void sha256_digest_text(const uint8_t digest[32], char text[SHA256_TEXT_SIZE]);

/* Hashes a whole file. Returns 0 and fills out, or -1 (file could not be
   opened or a read failed) and leaves out untouched. */
int sha256_file(const char *path, uint8_t out[32]);

/* The fastest available compression engine is picked at first use.
   sha256_use_shani(1) forces the x86 SHA extensions engine; it returns -1 and
   changes nothing when the CPU lacks them. sha256_use_shani(0) forces the
   portable engine. Both return 0 on success. sha256_shani_active() returns 1
   when the SHA extensions engine is in use, else 0. */
int sha256_use_shani(int on);
int sha256_shani_active(void);

#ifdef __cplusplus
}
#endif

#endif /* DIGEST_SHA256_H */
