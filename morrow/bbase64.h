// SPDX-License-Identifier: Apache-2.0
/* Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks and no
 * terminating zero). */
#ifndef MORROW_BBASE64_H
#define MORROW_BBASE64_H

#include <stddef.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

/* Encodes src_len bytes into dest. Returns the number of characters written
 * (4 for every started group of 3 bytes), or -1 when dst_len is smaller
 * than that. Zero input bytes give 0. */
V2X_API int bbase64_encode(const unsigned char* src, size_t src_len, char* dest, size_t dst_len);

/* Decodes groups of 4 characters into dest. Returns the number of bytes
 * written; 0 when src_len is below 4 or dst_len below 3; -1 for a character
 * outside the alphabet (white space included) or "=" in the first or second
 * position of a group. Decoding stops after a padded group, when fewer than
 * 4 characters remain, or when 3 more bytes would not fit into dst_len. */
V2X_API int bbase64_decode(const char* src, size_t src_len, unsigned char* dest, size_t dst_len);

V2X_EXTERN_C_END

#endif /* MORROW_BBASE64_H */
