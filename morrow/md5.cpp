// SPDX-License-Identifier: Apache-2.0
// MD5 (RFC 1321).
#include "md5.h"

#include <string.h>

#include "digest_common.hpp"
#include "self_log.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_INFO;

namespace {

inline uint32_t _rol(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

constexpr uint32_t kT[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};
constexpr int kS[64] = {7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22,
                        5,  9,  14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 5,  9,  14, 20,
                        4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
                        6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};

void _md5_one_block(const unsigned char* p, struct md5_ctx* ctx)
{
    uint32_t X[16];
    for (int i = 0; i < 16; ++i) {
        X[i] = digest::get32<false>(p + 4 * i);
    }
    uint32_t a = ctx->A, b = ctx->B, c = ctx->C, d = ctx->D;
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) & 15;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) & 15;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) & 15;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + _rol(a + f + kT[i] + X[g], kS[i]);
        a = t;
    }
    ctx->A += a;
    ctx->B += b;
    ctx->C += c;
    ctx->D += d;
}

}  // namespace

extern "C" V2X_API void md5_init_ctx(struct md5_ctx* ctx)
{
    ctx->A = 0x67452301;
    ctx->B = 0xefcdab89;
    ctx->C = 0x98badcfe;
    ctx->D = 0x10325476;
    ctx->total[0] = ctx->total[1] = 0;
    ctx->buflen = 0;
}

extern "C" V2X_API void md5_process_block(const void* buffer, size_t len, struct md5_ctx* ctx)
{
    digest::process_blocks(buffer, len, ctx, _md5_one_block);
}

extern "C" V2X_API void md5_process_bytes(const void* buffer, size_t len, struct md5_ctx* ctx)
{
    digest::process_bytes(buffer, len, ctx, md5_process_block);
}

extern "C" V2X_API void* md5_read_ctx(const struct md5_ctx* ctx, void* resbuf)
{
    unsigned char* r = static_cast<unsigned char*>(resbuf);
    digest::put32<false>(r, ctx->A);
    digest::put32<false>(r + 4, ctx->B);
    digest::put32<false>(r + 8, ctx->C);
    digest::put32<false>(r + 12, ctx->D);
    return resbuf;
}

extern "C" V2X_API void* md5_finish_ctx(struct md5_ctx* ctx, void* resbuf)
{
    LOGT();
    digest::finish(ctx, _md5_one_block, [](unsigned char* p, uint64_t bits) {
        digest::put32<false>(p, static_cast<uint32_t>(bits));
        digest::put32<false>(p + 4, static_cast<uint32_t>(bits >> 32));
    });
    return md5_read_ctx(ctx, resbuf);
}

extern "C" V2X_API void* md5_buffer(const char* buffer, size_t len, void* resblock)
{
    struct md5_ctx ctx;
    md5_init_ctx(&ctx);
    md5_process_bytes(buffer, len, &ctx);
    return md5_finish_ctx(&ctx, resblock);
}

extern "C" V2X_API int md5_stream(FILE* stream, void* resblock)
{
    LOGT();
    struct md5_ctx ctx;
    md5_init_ctx(&ctx);
    if (!digest::stream(stream, &ctx, md5_process_block, md5_process_bytes)) {
        LOGE("fread() err!!!!\n");
        return 1;
    }
    md5_finish_ctx(&ctx, resblock);
    return 0;
}
