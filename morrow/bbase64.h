// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Base64 (RFC 4648, standard alphabet, "=" padding, no line breaks and
 * no terminating zero). */
#ifndef MORROW_BBASE64_H
#define MORROW_BBASE64_H

#include <stddef.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

/** @brief Encodes bytes as Base64.
 *
 * Encodes src_len bytes into dest, with no terminating zero.
 *
 * @param src     the bytes to encode.
 * @param src_len number of bytes at src.
 * @param dest    receives the characters.
 * @param dst_len room at dest, in characters.
 * @return the number of characters written (4 for every started group of 3
 *         bytes); zero input bytes give 0.
 * @retval -1 dst_len is smaller than the number of characters needed (dest
 *            may then hold the groups that fitted).
 */
V2X_API int bbase64_encode(const unsigned char* src, size_t src_len, char* dest, size_t dst_len);

/** @brief Decodes Base64 text.
 *
 * Decodes groups of 4 characters into dest. Decoding stops after a padded
 * group, when fewer than 4 characters remain, or when 3 more bytes would not
 * fit into dst_len.
 *
 * @param src     the characters to decode (need not be zero-terminated).
 * @param src_len number of characters at src.
 * @param dest    receives the decoded bytes.
 * @param dst_len room at dest, in bytes.
 * @return the number of bytes written.
 * @retval 0  src_len is below 4 or dst_len below 3.
 * @retval -1 a character outside the alphabet (white space included) or "="
 *            in the first or second position of a group (dest may then
 *            hold the bytes of the groups before it).
 */
V2X_API int bbase64_decode(const char* src, size_t src_len, unsigned char* dest, size_t dst_len);

V2X_EXTERN_C_END

#endif /* MORROW_BBASE64_H */
