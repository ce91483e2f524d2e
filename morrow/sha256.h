// SPDX-License-Identifier: Apache-2.0
/* SHA-256 and SHA-224 (FIPS 180-4) with an incremental context interface and
 * one-shot helpers. One context record serves both variants: the init call
 * chooses the variant, the process calls are shared, and the finish / read
 * call must be the one of the same variant.
 *
 * Incremental use: sha256_init_ctx or sha224_init_ctx, then
 * sha256_process_bytes (or sha256_process_block) any number of times, then
 * one finish call. After finishing, the context must be initialised again
 * before it is reused. The context is a plain caller-owned record (no
 * allocation, nothing to release) and may be copied.
 *
 * Digests are SHA256_DIGEST_SIZE (32) or SHA224_DIGEST_SIZE (28) bytes:
 * the state words in big-endian order. Input and result buffers need no
 * particular alignment. No call keeps a pointer to the caller's data.
 * No shared state: any thread may call, one thread at a time per context.
 * Only the stream calls block (on their stream). */
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

/* Start a SHA-256 / SHA-224 digest: set the variant's initial state and
 * empty the count and the pending bytes. Needed before first use and after
 * each finish. */
V2X_API void sha256_init_ctx(struct sha256_ctx* ctx);
V2X_API void sha224_init_ctx(struct sha256_ctx* ctx);
/* Adds len bytes (any number, any alignment; buffer is only read), both
 * variants. Bytes short of a whole 64-byte block wait in the context. */
V2X_API void sha256_process_bytes(const void* buffer, size_t len, struct sha256_ctx* ctx);
/* Adds whole 64-byte blocks straight from buffer (any alignment), both
 * variants. len must be a multiple of 64: the len % 64 trailing bytes are
 * ignored, neither hashed nor counted. Only valid while no bytes are
 * pending from sha256_process_bytes. */
V2X_API void sha256_process_block(const void* buffer, size_t len, struct sha256_ctx* ctx);
/* Pad the pending bytes with the message length, write the 32-byte /
 * 28-byte digest to resbuf and return resbuf. The context is spent. */
V2X_API void* sha256_finish_ctx(struct sha256_ctx* ctx, void* resbuf);
V2X_API void* sha224_finish_ctx(struct sha256_ctx* ctx, void* resbuf);
/* Write the first 8 / 7 state words big-endian (32 / 28 bytes) to resbuf,
 * without padding or pending bytes, and return resbuf; ctx is unchanged.
 * After a finish they give the digest again. */
V2X_API void* sha256_read_ctx(const struct sha256_ctx* ctx, void* resbuf);
V2X_API void* sha224_read_ctx(const struct sha256_ctx* ctx, void* resbuf);
/* Digest of len bytes at buffer, written as 32 / 28 bytes to resblock;
 * return resblock. */
V2X_API void* sha256_buffer(const char* buffer, size_t len, void* resblock);
V2X_API void* sha224_buffer(const char* buffer, size_t len, void* resblock);
/* Digest of the rest of stream, read in 4096-byte pieces up to its end,
 * written as 32 / 28 bytes to resblock: 0, or 1 on a read error (resblock
 * is then untouched). The stream is left at its end and not closed. Block
 * as their reads do. */
V2X_API int sha256_stream(FILE* stream, void* resblock);
V2X_API int sha224_stream(FILE* stream, void* resblock);

V2X_EXTERN_C_END

#endif /* MORROW_SHA256_H */
