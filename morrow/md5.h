/* MD5 message digest (RFC 1321) with an incremental context interface and
 * one-shot helpers. Digest bytes are in the standard's order; the
 * result buffers need no particular alignment. Safe from any thread on
 * distinct contexts. */
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

V2X_API void md5_init_ctx(struct md5_ctx* ctx);
/* Adds any number of bytes at any alignment. */
V2X_API void md5_process_bytes(const void* buffer, size_t len, struct md5_ctx* ctx);
/* Adds whole 64-byte blocks; len must be a multiple of 64. */
V2X_API void md5_process_block(const void* buffer, size_t len, struct md5_ctx* ctx);
/* Pads and writes the 16-byte digest; returns resbuf. */
V2X_API void* md5_finish_ctx(struct md5_ctx* ctx, void* resbuf);
/* Writes the current chaining state as 16 bytes, without padding. */
V2X_API void* md5_read_ctx(const struct md5_ctx* ctx, void* resbuf);
/* Digest of a memory area; returns resblock. */
V2X_API void* md5_buffer(const char* buffer, size_t len, void* resblock);
/* Digest of the rest of a stream: 0, or 1 on a read error. */
V2X_API int md5_stream(FILE* stream, void* resblock);

V2X_EXTERN_C_END

#endif /* MORROW_MD5_H */
