// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief SHA-256 and SHA-224 (FIPS 180-4) with an incremental context
 * interface and one-shot helpers.
 *
 * One context record serves both variants: the init call
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

#define SHA256_DIGEST_SIZE 32 /**< bytes of a SHA-256 digest */
#define SHA224_DIGEST_SIZE 28 /**< bytes of a SHA-224 digest */

/** A SHA-256 or SHA-224 digest in progress: a plain caller-owned record. */
struct sha256_ctx {
    uint32_t state[8];   /**< the state words */
    uint32_t total[2];   /**< bytes processed: low word, high word */
    size_t buflen;       /**< bytes waiting in buffer */
    uint32_t buffer[32]; /**< pending input and padding room (128 bytes) */
};

/** @brief Starts a SHA-256 digest.
 *
 * Sets the variant's initial state and empties the count and the pending
 * bytes. Needed before first use and after each finish.
 *
 * @param ctx the context.
 */
V2X_API void sha256_init_ctx(struct sha256_ctx* ctx);
/** @brief Starts a SHA-224 digest.
 *
 * Sets the variant's initial state and empties the count and the pending
 * bytes. Needed before first use and after each finish.
 *
 * @param ctx the context.
 */
V2X_API void sha224_init_ctx(struct sha256_ctx* ctx);
/** @brief Adds bytes to the digest, both variants.
 *
 * Bytes short of a whole 64-byte block wait in the context.
 *
 * @param buffer the bytes (any alignment); only read.
 * @param len    number of bytes (any number).
 * @param ctx    the context.
 */
V2X_API void sha256_process_bytes(const void* buffer, size_t len, struct sha256_ctx* ctx);
/** @brief Adds whole 64-byte blocks straight from buffer, both variants.
 *
 * Only valid while no bytes are pending from sha256_process_bytes.
 *
 * @param buffer the blocks (any alignment); only read.
 * @param len    number of bytes, a multiple of 64: the len % 64 trailing
 *               bytes are ignored, neither hashed nor counted.
 * @param ctx    the context.
 */
V2X_API void sha256_process_block(const void* buffer, size_t len, struct sha256_ctx* ctx);
/** @brief Finishes a SHA-256 digest.
 *
 * Pads the pending bytes with the message length and writes the 32-byte
 * digest to resbuf. The context is spent.
 *
 * @param ctx    a context started by sha256_init_ctx.
 * @param resbuf 32 bytes (any alignment) that receive the digest.
 * @return resbuf.
 */
V2X_API void* sha256_finish_ctx(struct sha256_ctx* ctx, void* resbuf);
/** @brief Finishes a SHA-224 digest.
 *
 * Pads the pending bytes with the message length and writes the 28-byte
 * digest to resbuf. The context is spent.
 *
 * @param ctx    a context started by sha224_init_ctx.
 * @param resbuf 28 bytes (any alignment) that receive the digest.
 * @return resbuf.
 */
V2X_API void* sha224_finish_ctx(struct sha256_ctx* ctx, void* resbuf);
/** @brief Writes the first 8 state words big-endian (32 bytes) to resbuf.
 *
 * Without padding or pending bytes; ctx is unchanged. After a finish it
 * gives the digest again.
 *
 * @param ctx    a SHA-256 context; only read.
 * @param resbuf 32 bytes (any alignment) that receive the state.
 * @return resbuf.
 */
V2X_API void* sha256_read_ctx(const struct sha256_ctx* ctx, void* resbuf);
/** @brief Writes the first 7 state words big-endian (28 bytes) to resbuf.
 *
 * Without padding or pending bytes; ctx is unchanged. After a finish it
 * gives the digest again.
 *
 * @param ctx    a SHA-224 context; only read.
 * @param resbuf 28 bytes (any alignment) that receive the state.
 * @return resbuf.
 */
V2X_API void* sha224_read_ctx(const struct sha256_ctx* ctx, void* resbuf);
/** @brief SHA-256 digest of len bytes at buffer, written as 32 bytes to
 * resblock.
 * @param buffer   the bytes; only read.
 * @param len      number of bytes.
 * @param resblock 32 bytes that receive the digest.
 * @return resblock.
 */
V2X_API void* sha256_buffer(const char* buffer, size_t len, void* resblock);
/** @brief SHA-224 digest of len bytes at buffer, written as 28 bytes to
 * resblock.
 * @param buffer   the bytes; only read.
 * @param len      number of bytes.
 * @param resblock 28 bytes that receive the digest.
 * @return resblock.
 */
V2X_API void* sha224_buffer(const char* buffer, size_t len, void* resblock);
/** @brief SHA-256 digest of the rest of a stream.
 *
 * Reads the stream in 4096-byte pieces up to its end and writes the digest
 * as 32 bytes to resblock. The stream is left at its end and not closed.
 * Blocks as its reads do.
 *
 * @param stream   the stream to read.
 * @param resblock 32 bytes that receive the digest.
 * @retval 0 the digest was written.
 * @retval 1 a read error (resblock is then untouched).
 */
V2X_API int sha256_stream(FILE* stream, void* resblock);
/** @brief SHA-224 digest of the rest of a stream.
 *
 * Reads the stream in 4096-byte pieces up to its end and writes the digest
 * as 28 bytes to resblock. The stream is left at its end and not closed.
 * Blocks as its reads do.
 *
 * @param stream   the stream to read.
 * @param resblock 28 bytes that receive the digest.
 * @retval 0 the digest was written.
 * @retval 1 a read error (resblock is then untouched).
 */
V2X_API int sha224_stream(FILE* stream, void* resblock);

V2X_EXTERN_C_END

#endif /* MORROW_SHA256_H */
