// SPDX-License-Identifier: Apache-2.0
// The parts MD5 and SHA-256 share (library-internal): 64-byte blocks, a
// 64-bit byte count in two words, a 128-byte pending buffer, padding with
// 0x80 and zeros up to the 8-byte message length, and reading a stream in
// 4096-byte pieces. Ctx is md5_ctx or sha256_ctx; what differs (the block
// function, the byte order of the length) comes in as arguments.
#ifndef MORROW_DIGEST_COMMON_HPP
#define MORROW_DIGEST_COMMON_HPP

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace digest {

constexpr size_t kBlock = 64;
constexpr size_t kStreamBlock = 4096;

// A 32-bit word in four bytes: MD5 keeps its words little-endian, SHA-256
// big-endian. The bytes need no alignment.
template <bool BigEndian>
inline uint32_t get32(const unsigned char* p)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        v |= static_cast<uint32_t>(p[i]) << (BigEndian ? 24 - 8 * i : 8 * i);
    }
    return v;
}

template <bool BigEndian>
inline void put32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(v >> (BigEndian ? 24 - 8 * i : 8 * i));
    }
}

template <typename Ctx>
uint64_t total(const Ctx* ctx)
{
    return (uint64_t)ctx->total[1] << 32 | ctx->total[0];
}

template <typename Ctx>
void add_total(Ctx* ctx, size_t len)
{
    uint64_t t = total(ctx) + len;
    ctx->total[0] = static_cast<uint32_t>(t);
    ctx->total[1] = static_cast<uint32_t>(t >> 32);
}

// Adds whole blocks (len a multiple of 64) through oneBlock(p, ctx).
template <typename Ctx, typename OneBlock>
void process_blocks(const void* buffer, size_t len, Ctx* ctx, OneBlock oneBlock)
{
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    size_t n = len / kBlock;
    add_total(ctx, n * kBlock);
    for (size_t i = 0; i < n; ++i) {
        oneBlock(p + kBlock * i, ctx);
    }
}

// Adds any number of bytes: fills the pending block first, hands whole
// blocks to processBlock(p, len, ctx) and keeps the rest pending.
template <typename Ctx, typename ProcessBlock>
void process_bytes(const void* buffer, size_t len, Ctx* ctx, ProcessBlock processBlock)
{
    using Len = decltype(ctx->buflen);
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    unsigned char* buf = reinterpret_cast<unsigned char*>(ctx->buffer);
    if (ctx->buflen != 0) {
        size_t take = kBlock - ctx->buflen;
        if (take > len) {
            take = len;
        }
        memcpy(buf + ctx->buflen, p, take);
        ctx->buflen += static_cast<Len>(take);
        p += take;
        len -= take;
        if (ctx->buflen == kBlock) {
            processBlock(buf, kBlock, ctx);
            ctx->buflen = 0;
        }
    }
    if (len >= kBlock) {
        size_t whole = len & ~(kBlock - 1);
        processBlock(p, whole, ctx);
        p += whole;
        len -= whole;
    }
    if (len > 0) {
        memcpy(buf, p, len);
        ctx->buflen = static_cast<Len>(len);
    }
}

// Pads the pending bytes, appends the length in bits (putBits(dst, bits)
// writes its 8 bytes) and runs oneBlock(p, ctx) over the one or two blocks.
template <typename Ctx, typename OneBlock, typename PutBits>
void finish(Ctx* ctx, OneBlock oneBlock, PutBits putBits)
{
    static constexpr unsigned char fillbuf[kBlock] = {0x80};
    unsigned char* buf = reinterpret_cast<unsigned char*>(ctx->buffer);
    size_t bytes = ctx->buflen;
    size_t size = bytes < 56 ? kBlock : 2 * kBlock;
    add_total(ctx, bytes);
    memcpy(buf + bytes, fillbuf, size - 8 - bytes);
    putBits(buf + size - 8, total(ctx) << 3);
    for (size_t off = 0; off < size; off += kBlock) {
        oneBlock(buf + off, ctx);
    }
    ctx->buflen = 0;
}

// Feeds the rest of a stream to ctx: whole pieces through processBlock, the
// last one through processBytes. False on a read error.
template <typename Ctx, typename ProcessBlock, typename ProcessBytes>
bool stream(FILE* stream, Ctx* ctx, ProcessBlock processBlock, ProcessBytes processBytes)
{
    unsigned char block[kStreamBlock];
    for (;;) {
        size_t sum = 0;
        bool last = false;
        while (sum < kStreamBlock) {
            size_t n = fread(block + sum, 1, kStreamBlock - sum, stream);
            sum += n;
            if (n == 0) {
                if (ferror(stream)) {
                    return false;
                }
                last = true;
                break;
            }
            if (feof(stream)) {
                last = true;
                break;
            }
        }
        if (!last) {
            processBlock(block, kStreamBlock, ctx);
            continue;
        }
        if (sum > 0) {
            processBytes(block, sum, ctx);
        }
        return true;
    }
}

}  // namespace digest

#endif
