// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief MD5 message digest (RFC 1321) with an incremental context interface
 * and one-shot helpers.
 *
 * Incremental use: md5_init_ctx, then md5_process_bytes (or
 * md5_process_block) any number of times, then md5_finish_ctx once. After
 * finishing, the context must be initialised again before it is reused.
 * The context is a plain caller-owned record (no allocation, nothing to
 * release) and may be copied to digest a common prefix once.
 *
 * The digest is MD5_DIGEST_SIZE (16) bytes in the standard's order. Input
 * and result buffers need no particular alignment and may be anywhere.
 * No call keeps a pointer to the caller's data after it returns.
 * No shared state: any thread may call, one thread at a time per context.
 * Only md5_stream blocks (on its stream). */
#ifndef MORROW_MD5_H
#define MORROW_MD5_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

#define MD5_DIGEST_SIZE 16 /**< bytes of an MD5 digest */
#define MD5_BLOCK_SIZE 64  /**< bytes of an MD5 input block */

/** An MD5 digest in progress: a plain caller-owned record. */
struct md5_ctx {
    uint32_t A;           /**< chaining value A */
    uint32_t B;           /**< chaining value B */
    uint32_t C;           /**< chaining value C */
    uint32_t D;           /**< chaining value D */
    uint32_t total[2];    /**< bytes processed: low word, high word */
    uint32_t buflen;      /**< bytes waiting in buffer */
    uint32_t buffer[32];  /**< pending input and padding room (128 bytes) */
};

/** @brief Starts a digest.
 *
 * Sets the initial chaining values and empties the count and the pending
 * bytes. Needed before first use and after each finish.
 *
 * @param ctx the context.
 */
V2X_API void md5_init_ctx(struct md5_ctx* ctx);
/** @brief Adds bytes to the digest.
 *
 * Bytes short of a whole 64-byte block wait in the context for the next
 * call.
 *
 * @param buffer the bytes (any alignment); only read.
 * @param len    number of bytes (any number).
 * @param ctx    the context.
 */
V2X_API void md5_process_bytes(const void* buffer, size_t len, struct md5_ctx* ctx);
/** @brief Adds whole 64-byte blocks straight from buffer.
 *
 * Only valid while no bytes are pending, that is not right after an
 * md5_process_bytes call that left a partial block.
 *
 * @param buffer the blocks (any alignment); only read.
 * @param len    number of bytes, a multiple of 64: the len % 64 trailing
 *               bytes are ignored, neither hashed nor counted.
 * @param ctx    the context.
 */
V2X_API void md5_process_block(const void* buffer, size_t len, struct md5_ctx* ctx);
/** @brief Finishes the digest.
 *
 * Pads the pending bytes with the message length and writes the 16-byte
 * digest to resbuf. The context is spent afterwards.
 *
 * @param ctx    the context.
 * @param resbuf 16 bytes (any alignment) that receive the digest.
 * @return resbuf.
 */
V2X_API void* md5_finish_ctx(struct md5_ctx* ctx, void* resbuf);
/** @brief Writes the current chaining state as 16 bytes to resbuf.
 *
 * Without padding and without the pending bytes; ctx is unchanged. After
 * md5_finish_ctx it gives the digest again.
 *
 * @param ctx    the context; only read.
 * @param resbuf 16 bytes (any alignment) that receive the state.
 * @return resbuf.
 */
V2X_API void* md5_read_ctx(const struct md5_ctx* ctx, void* resbuf);
/** @brief Digest of len bytes at buffer, written as 16 bytes to resblock.
 * @param buffer   the bytes; only read.
 * @param len      number of bytes.
 * @param resblock 16 bytes that receive the digest.
 * @return resblock.
 */
V2X_API void* md5_buffer(const char* buffer, size_t len, void* resblock);
/** @brief Digest of the rest of a stream.
 *
 * Reads the stream in 4096-byte pieces up to its end and writes the digest
 * as 16 bytes to resblock. The stream is left at its end (or the error) and
 * is not closed. Blocks as its reads do.
 *
 * @param stream   the stream to read.
 * @param resblock 16 bytes that receive the digest.
 * @retval 0 the digest was written.
 * @retval 1 a read error (resblock is then untouched).
 */
V2X_API int md5_stream(FILE* stream, void* resblock);

V2X_EXTERN_C_END

#endif /* MORROW_MD5_H */
