// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief AES-128 (FIPS 197): ECB for single blocks, CBC (NIST SP 800-38A) for
 * buffers.
 *
 * No padding scheme is applied.
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

/** @brief Encrypts one 16-byte block with AES-128 (ECB).
 *
 * Copies the 16-byte block input to output, expands key and encrypts output
 * in place. input is only read, and may be the same area as output. key
 * (16 bytes) must not be null, nor overlap output, which is written before
 * key is read; its schedule is the one a later null-key CBC call uses.
 *
 * @param input  the 16-byte plaintext block; only read; may be output.
 * @param key    the 16-byte key; not null, not overlapping output.
 * @param output 16 bytes that receive the ciphertext block.
 */
V2X_API void AES128_ECB_encrypt(uint8_t* input, const uint8_t* key, uint8_t* output);
/** @brief Decrypts one 16-byte block with AES-128 (ECB).
 *
 * The same as AES128_ECB_encrypt with decryption: copies the 16-byte block
 * input to output, expands key and decrypts output in place. input is only
 * read, and may be the same area as output. key (16 bytes) must not be
 * null, nor overlap output, which is written before key is read; its
 * schedule is the one a later null-key CBC call uses.
 *
 * @param input  the 16-byte ciphertext block; only read; may be output.
 * @param key    the 16-byte key; not null, not overlapping output.
 * @param output 16 bytes that receive the plaintext block.
 */
V2X_API void AES128_ECB_decrypt(uint8_t* input, const uint8_t* key, uint8_t* output);

/** @brief CBC-encrypts the whole 16-byte blocks of a buffer with AES-128.
 *
 * CBC-encrypts the length / 16 whole blocks of input into output (which
 * needs length bytes; the rules in the file description hold for the tail).
 * input is written although it is the source: each block is left XORed
 * with its chaining value. output may be the same area as input (in-place
 * encryption), not a partial overlap.
 *
 * @param output receives the ciphertext; length bytes of room.
 * @param input  the plaintext; left XORed block by block with the chaining
 *               values.
 * @param length bytes of input; only length / 16 whole blocks are
 *               processed, the tail is neither read nor written.
 * @param key    16 bytes, or null for the previous call's key.
 * @param iv     16 bytes, or null to continue the previous call's chain.
 */
V2X_API void AES128_CBC_encrypt_buffer(uint8_t* output, uint8_t* input, uint32_t length,
                                       const uint8_t* key, const uint8_t* iv);
/** @brief CBC-decrypts the whole 16-byte blocks of a buffer with AES-128.
 *
 * CBC-decrypts the length / 16 whole blocks of input into output (length
 * bytes of room). key and iv as for encryption. input is only read and,
 * for a null-iv continuation, its last whole block must stay intact until
 * the next call. output must not overlap input.
 *
 * @param output receives the plaintext; length bytes of room; must not
 *               overlap input.
 * @param input  the ciphertext; only read.
 * @param length bytes of input; only length / 16 whole blocks are
 *               processed, the tail is neither read nor written.
 * @param key    16 bytes, or null for the previous call's key.
 * @param iv     16 bytes, or null to continue the previous call's chain.
 */
V2X_API void AES128_CBC_decrypt_buffer(uint8_t* output, uint8_t* input, uint32_t length,
                                       const uint8_t* key, const uint8_t* iv);

V2X_EXTERN_C_END

#endif /* MORROW_AES_H */
