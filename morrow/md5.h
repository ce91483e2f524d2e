// SPDX-License-Identifier: Apache-2.0
/* MD5 message digest (RFC 1321) with an incremental context interface and
 * one-shot helpers.
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

#define MD5_DIGEST_SIZE 16
#define MD5_BLOCK_SIZE 64

struct md5_ctx {
    uint32_t A;
    uint32_t B;
    uint32_t C;
    uint32_t D;
    uint32_t total[2];    /* bytes processed: low word, high word */
    uint32_t buflen;      /* bytes waiting in buffer */
    uint32_t buffer[32];  /* pending input and padding room (128 bytes) */
};

/* Starts a digest: sets the initial chaining values and empties the count
 * and the pending bytes. Needed before first use and after each finish. */
V2X_API void md5_init_ctx(struct md5_ctx* ctx);
/* Adds len bytes (any number, any alignment; buffer is only read). Bytes
 * short of a whole 64-byte block wait in the context for the next call. */
V2X_API void md5_process_bytes(const void* buffer, size_t len, struct md5_ctx* ctx);
/* Adds whole 64-byte blocks straight from buffer (any alignment). len must
 * be a multiple of 64: the len % 64 trailing bytes are ignored, neither
 * hashed nor counted. Only valid while no bytes are pending, that is not
 * right after an md5_process_bytes call that left a partial block. */
V2X_API void md5_process_block(const void* buffer, size_t len, struct md5_ctx* ctx);
/* Pads the pending bytes with the message length, writes the 16-byte
 * digest to resbuf and returns resbuf. The context is spent afterwards. */
V2X_API void* md5_finish_ctx(struct md5_ctx* ctx, void* resbuf);
/* Writes the current chaining state as 16 bytes to resbuf, without padding
 * and without the pending bytes; returns resbuf. ctx is unchanged. After
 * md5_finish_ctx it gives the digest again. */
V2X_API void* md5_read_ctx(const struct md5_ctx* ctx, void* resbuf);
/* Digest of len bytes at buffer, written as 16 bytes to resblock; returns
 * resblock. */
V2X_API void* md5_buffer(const char* buffer, size_t len, void* resblock);
/* Digest of the rest of stream, read in 4096-byte pieces up to its end,
 * written as 16 bytes to resblock: 0, or 1 on a read error (resblock is
 * then untouched). The stream is left at its end (or the error) and is not
 * closed. Blocks as its reads do. */
V2X_API int md5_stream(FILE* stream, void* resblock);

V2X_EXTERN_C_END

#endif /* MORROW_MD5_H */
