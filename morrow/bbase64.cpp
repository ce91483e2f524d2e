// SPDX-License-Identifier: Apache-2.0
// Base64 encoding and decoding.
#include "bbase64.h"

#include <stdint.h>

namespace {

constexpr char b_base64_set[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 character, or -1 for one outside the alphabet.
int _b64_val(char c)
{
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

}  // namespace

extern "C" V2X_API int bbase64_encode(const unsigned char* src, size_t src_len, char* dest,
                                      size_t dst_len)
{
    size_t i = 0;
    size_t o = 0;
    while (src_len - i >= 3 && dst_len - o >= 4) {
        uint32_t v = (uint32_t)src[i] << 16 | (uint32_t)src[i + 1] << 8 | src[i + 2];
        dest[o] = b_base64_set[(v >> 18) & 0x3F];
        dest[o + 1] = b_base64_set[(v >> 12) & 0x3F];
        dest[o + 2] = b_base64_set[(v >> 6) & 0x3F];
        dest[o + 3] = b_base64_set[v & 0x3F];
        i += 3;
        o += 4;
    }
    size_t r = src_len - i;
    if (r == 0) {
        return static_cast<int>(o);
    }
    if (r <= 2 && dst_len - o >= 4) {
        uint32_t v = (uint32_t)src[i] << 16;
        if (r == 2) {
            v |= (uint32_t)src[i + 1] << 8;
        }
        dest[o] = b_base64_set[(v >> 18) & 0x3F];
        dest[o + 1] = b_base64_set[(v >> 12) & 0x3F];
        dest[o + 2] = r == 2 ? b_base64_set[(v >> 6) & 0x3F] : '=';
        dest[o + 3] = '=';
        return static_cast<int>(o + 4);
    }
    return -1;
}

extern "C" V2X_API int bbase64_decode(const char* src, size_t src_len, unsigned char* dest,
                                      size_t dst_len)
{
    if (src_len < 4 || dst_len < 3) {
        return 0;
    }
    size_t i = 0;
    size_t o = 0;
    while (src_len - i >= 4 && dst_len - o >= 3) {
        const char* g = src + i;
        if (g[0] == '=' || g[1] == '=') {
            return -1;
        }
        int v[4];
        for (int k = 0; k < 4; ++k) {
            v[k] = (k >= 2 && g[k] == '=') ? 0 : _b64_val(g[k]);
            if (v[k] < 0) {
                return -1;
            }
        }
        uint32_t bits = (uint32_t)v[0] << 18 | (uint32_t)v[1] << 12 | (uint32_t)v[2] << 6 |
                        (uint32_t)v[3];
        dest[o++] = static_cast<unsigned char>(bits >> 16);
        if (g[2] == '=') {
            return static_cast<int>(o);
        }
        dest[o++] = static_cast<unsigned char>(bits >> 8);
        if (g[3] == '=') {
            return static_cast<int>(o);
        }
        dest[o++] = static_cast<unsigned char>(bits);
        i += 4;
    }
    return static_cast<int>(o);
}
