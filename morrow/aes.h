// SPDX-License-Identifier: Apache-2.0
/* AES-128 (FIPS 197): ECB for single blocks, CBC (NIST SP 800-38A) for
 * buffers. No padding scheme is applied.
 *
 * Keys, IVs and blocks are 16 bytes, at any alignment. No call allocates,
 * blocks or reports an error: all return void, and arguments are not
 * checked beyond what is said below.
 *
 * The functions share one process-wide state (expanded key, key and
 * chaining references): only one thread at a time may use any of them, and
 * a CBC chain continued with a null iv must not be interleaved with other
 * AES calls.
 *
 * CBC:
 *  - a null key reuses the key expanded by the previous call (ECB or CBC);
 *    before any key was ever given, that is an all-zero schedule, which is
 *    no real key: the first call must pass one;
 *  - a null iv continues from the chaining value left by the previous call,
 *    which refers to the last whole block of that call's data (encryption:
 *    its last output block; decryption: its last input block), so that
 *    memory must still hold it; before any iv was ever given, the chain
 *    starts from sixteen zero bytes;
 *  - a given iv is only read, but the pointer is kept for a later null-iv
 *    call when length < 16;
 *  - encryption XORs each input block with the chaining value in place: the
 *    caller's input buffer is modified;
 *  - decryption must not run in place (output == input breaks the chain).
 *
 * Lengths that are not a multiple of 16: only the whole 16-byte blocks are
 * processed. The trailing length % 16 bytes are neither read from input nor
 * written to output (output keeps what it held there), and the chain goes
 * on from the last whole block. No byte outside input[0..length) and
 * output[0..length) is ever touched. A caller that needs the tail encrypted
 * pads its data to a whole block itself. */
#ifndef MORROW_AES_H
#define MORROW_AES_H

#include <stdint.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

/* Copies the 16-byte block input to output, expands key and encrypts output
 * in place. input is only read, and may be the same area as output. key
 * (16 bytes) must not be null, nor overlap output, which is written before
 * key is read; its schedule is the one a later null-key CBC call uses. */
V2X_API void AES128_ECB_encrypt(uint8_t* input, const uint8_t* key, uint8_t* output);
/* The same with decryption. */
V2X_API void AES128_ECB_decrypt(uint8_t* input, const uint8_t* key, uint8_t* output);

/* CBC-encrypts the length / 16 whole blocks of input into output (which
 * needs length bytes; the rules above hold for the tail). key: 16 bytes, or
 * null for the previous key; iv: 16 bytes, or null to continue the chain.
 * input is written although it is the source: each block is left XORed
 * with its chaining value. output may be the same area as input (in-place
 * encryption), not a partial overlap. */
V2X_API void AES128_CBC_encrypt_buffer(uint8_t* output, uint8_t* input, uint32_t length,
                                       const uint8_t* key, const uint8_t* iv);
/* CBC-decrypts the length / 16 whole blocks of input into output (length
 * bytes of room). key and iv as for encryption. input is only read and,
 * for a null-iv continuation, its last whole block must stay intact until
 * the next call. output must not overlap input. */
V2X_API void AES128_CBC_decrypt_buffer(uint8_t* output, uint8_t* input, uint32_t length,
                                       const uint8_t* key, const uint8_t* iv);

V2X_EXTERN_C_END

#endif /* MORROW_AES_H */
