// SPDX-License-Identifier: Apache-2.0
// SHA-256 and SHA-224 (FIPS 180-4).
#include "sha256.h"

#include <string.h>

#include "digest_common.hpp"
#include "self_log.h"

// This file's log ceiling under its own name, and as gicDbLev for the macros.
static constexpr eLogLevl g_fl_log_lev = LOG_LEV_ERROR;
static constexpr eLogLevl gicDbLev = g_fl_log_lev;

namespace {

constexpr uint32_t sha256_round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

inline uint32_t _ror(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void _sha256_one_block(const unsigned char* p, struct sha256_ctx* ctx)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = digest::get32<true>(p + 4 * i);
    }
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = _ror(w[i - 15], 7) ^ _ror(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = _ror(w[i - 2], 17) ^ _ror(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    uint32_t e = ctx->state[4], f = ctx->state[5], g = ctx->state[6], h = ctx->state[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t S1 = _ror(e, 6) ^ _ror(e, 11) ^ _ror(e, 25);
        uint32_t ch = (e & f) ^ (~e & g);
        uint32_t t1 = h + S1 + ch + sha256_round_constants[i] + w[i];
        uint32_t S0 = _ror(a, 2) ^ _ror(a, 13) ^ _ror(a, 22);
        uint32_t mj = (a & b) ^ (a & c) ^ (b & c);
        uint32_t t2 = S0 + mj;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
    ctx->state[5] += f;
    ctx->state[6] += g;
    ctx->state[7] += h;
}

// SHA-256 and SHA-224 differ in their initial state only (and in how many
// words of the result they give).
void _init(struct sha256_ctx* ctx, const uint32_t (&iv)[8])
{
    memcpy(ctx->state, iv, sizeof(iv));
    ctx->total[0] = ctx->total[1] = 0;
    ctx->buflen = 0;
}

void _finish(struct sha256_ctx* ctx)
{
    digest::finish(ctx, _sha256_one_block, [](unsigned char* p, uint64_t bits) {
        digest::put32<true>(p, static_cast<uint32_t>(bits >> 32));
        digest::put32<true>(p + 4, static_cast<uint32_t>(bits));
    });
}

void* _read_words(const struct sha256_ctx* ctx, void* resbuf, int words)
{
    unsigned char* r = static_cast<unsigned char*>(resbuf);
    for (int i = 0; i < words; ++i) {
        digest::put32<true>(r + 4 * i, ctx->state[i]);
    }
    return resbuf;
}

int _stream(FILE* stream, void* resblock, bool is224)
{
    struct sha256_ctx ctx;
    if (is224) {
        sha224_init_ctx(&ctx);
    } else {
        sha256_init_ctx(&ctx);
    }
    if (!digest::stream(stream, &ctx, sha256_process_block, sha256_process_bytes)) {
        LOGE("fread() err!!!!\n");
        return 1;
    }
    if (is224) {
        sha224_finish_ctx(&ctx, resblock);
    } else {
        sha256_finish_ctx(&ctx, resblock);
    }
    return 0;
}

}  // namespace

extern "C" V2X_API void sha256_init_ctx(struct sha256_ctx* ctx)
{
    static constexpr uint32_t iv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    _init(ctx, iv);
}

extern "C" V2X_API void sha224_init_ctx(struct sha256_ctx* ctx)
{
    static constexpr uint32_t iv[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                       0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};
    _init(ctx, iv);
}

extern "C" V2X_API void sha256_process_block(const void* buffer, size_t len,
                                             struct sha256_ctx* ctx)
{
    digest::process_blocks(buffer, len, ctx, _sha256_one_block);
}

extern "C" V2X_API void sha256_process_bytes(const void* buffer, size_t len,
                                             struct sha256_ctx* ctx)
{
    digest::process_bytes(buffer, len, ctx, sha256_process_block);
}

extern "C" V2X_API void* sha256_read_ctx(const struct sha256_ctx* ctx, void* resbuf)
{
    return _read_words(ctx, resbuf, 8);
}

extern "C" V2X_API void* sha224_read_ctx(const struct sha256_ctx* ctx, void* resbuf)
{
    return _read_words(ctx, resbuf, 7);
}

extern "C" V2X_API void* sha256_finish_ctx(struct sha256_ctx* ctx, void* resbuf)
{
    _finish(ctx);
    return sha256_read_ctx(ctx, resbuf);
}

extern "C" V2X_API void* sha224_finish_ctx(struct sha256_ctx* ctx, void* resbuf)
{
    _finish(ctx);
    return sha224_read_ctx(ctx, resbuf);
}

extern "C" V2X_API void* sha256_buffer(const char* buffer, size_t len, void* resblock)
{
    struct sha256_ctx ctx;
    sha256_init_ctx(&ctx);
    sha256_process_bytes(buffer, len, &ctx);
    return sha256_finish_ctx(&ctx, resblock);
}

extern "C" V2X_API void* sha224_buffer(const char* buffer, size_t len, void* resblock)
{
    struct sha256_ctx ctx;
    sha224_init_ctx(&ctx);
    sha256_process_bytes(buffer, len, &ctx);
    return sha224_finish_ctx(&ctx, resblock);
}

extern "C" V2X_API int sha256_stream(FILE* stream, void* resblock)
{
    return _stream(stream, resblock, false);
}

extern "C" V2X_API int sha224_stream(FILE* stream, void* resblock)
{
    return _stream(stream, resblock, true);
}
