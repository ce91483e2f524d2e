/* SHA-256 and SHA-224 (FIPS 180-4) with an incremental context interface and
 * one-shot helpers. One context record serves both variants.
 * Digest bytes are big-endian words as the standard defines; the result
 * buffers need no particular alignment. Safe from any thread on distinct
 * contexts. */
#ifndef MORROW_SHA256_H
#define MORROW_SHA256_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

#define SHA256_DIGEST_SIZE 32
#define SHA224_DIGEST_SIZE 28

struct sha256_ctx {
    uint32_t state[8];
    uint32_t total[2];   /* bytes processed: low word, high word */
    size_t buflen;       /* bytes waiting in buffer */
    uint32_t buffer[32]; /* pending input and padding room (128 bytes) */
};

V2X_API void sha256_init_ctx(struct sha256_ctx* ctx);
V2X_API void sha224_init_ctx(struct sha256_ctx* ctx);
/* Adds any number of bytes (both variants). */
V2X_API void sha256_process_bytes(const void* buffer, size_t len, struct sha256_ctx* ctx);
/* Adds whole 64-byte blocks; len must be a multiple of 64 (both variants). */
V2X_API void sha256_process_block(const void* buffer, size_t len, struct sha256_ctx* ctx);
/* Pad and write the 32-byte / 28-byte digest; return resbuf. */
V2X_API void* sha256_finish_ctx(struct sha256_ctx* ctx, void* resbuf);
V2X_API void* sha224_finish_ctx(struct sha256_ctx* ctx, void* resbuf);
/* Write the first 8 / 7 state words big-endian, without padding. */
V2X_API void* sha256_read_ctx(const struct sha256_ctx* ctx, void* resbuf);
V2X_API void* sha224_read_ctx(const struct sha256_ctx* ctx, void* resbuf);
/* Digest of a memory area; return resblock. */
V2X_API void* sha256_buffer(const char* buffer, size_t len, void* resblock);
V2X_API void* sha224_buffer(const char* buffer, size_t len, void* resblock);
/* Digest of the rest of a stream: 0, or 1 on a read error. */
V2X_API int sha256_stream(FILE* stream, void* resblock);
V2X_API int sha224_stream(FILE* stream, void* resblock);

V2X_EXTERN_C_END

#endif /* MORROW_SHA256_H */
