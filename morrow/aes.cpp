// SPDX-License-Identifier: Apache-2.0
// AES-128 ECB and CBC.
#include "aes.h"

#include <string.h>

namespace {

constexpr int Nb = 4;
constexpr int Nk = 4;
constexpr int Nr = 10;
constexpr int kBlock = 16;

typedef uint8_t state_t[4][4];

// Process-wide state: the block being worked on (in
// the caller's output memory), the expanded key, the key and the chaining
// value references.
state_t* state = nullptr;
uint8_t RoundKey[176];
const uint8_t* Key = nullptr;
const uint8_t* Iv = nullptr;

constexpr uint8_t sbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16};

// The inverse box, computed from sbox so that the two cannot disagree.
struct Box {
    uint8_t v[256];
};
constexpr Box invert_box(const uint8_t (&aicBox)[256])
{
    Box r{};
    for (int i = 0; i < 256; ++i) {
        r.v[aicBox[i]] = static_cast<uint8_t>(i);
    }
    return r;
}
constexpr Box kInvSbox = invert_box(sbox);
constexpr const uint8_t* rsbox = kInvSbox.v;
static_assert(kInvSbox.v[0x00] == 0x52 && kInvSbox.v[0x63] == 0x00 && kInvSbox.v[0xff] == 0x7d,
              "inverse S-box");

constexpr uint8_t Rcon[11] = {0x8d, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

void KeyExpansion()
{
    for (int i = 0; i < Nk; ++i) {
        for (int j = 0; j < 4; ++j) {
            RoundKey[i * 4 + j] = Key[i * 4 + j];
        }
    }
    uint8_t t[4];
    for (int i = Nk; i < Nb * (Nr + 1); ++i) {
        for (int j = 0; j < 4; ++j) {
            t[j] = RoundKey[(i - 1) * 4 + j];
        }
        if (i % Nk == 0) {
            uint8_t u = t[0];
            t[0] = static_cast<uint8_t>(sbox[t[1]] ^ Rcon[i / Nk]);
            t[1] = sbox[t[2]];
            t[2] = sbox[t[3]];
            t[3] = sbox[u];
        }
        for (int j = 0; j < 4; ++j) {
            RoundKey[i * 4 + j] = static_cast<uint8_t>(RoundKey[(i - Nk) * 4 + j] ^ t[j]);
        }
    }
}

void AddRoundKey(int round)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            (*state)[i][j] ^= RoundKey[round * Nb * 4 + i * Nb + j];
        }
    }
}

// Every byte through a substitution box: sbox forward, rsbox inverse.
void SubBytes(const uint8_t* aipcBox)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            (*state)[j][i] = aipcBox[(*state)[j][i]];
        }
    }
}

// state[c][r]: column c, row r (the block is stored column by column).
// Row r turns left by r places; the inverse turns it back right.
void ShiftRows(bool aicInverse)
{
    for (int r = 1; r < 4; ++r) {
        uint8_t row[4];
        for (int c = 0; c < 4; ++c) {
            row[c] = (*state)[c][r];
        }
        for (int c = 0; c < 4; ++c) {
            (*state)[c][r] = row[(aicInverse ? c + 4 - r : c + r) % 4];
        }
    }
}

inline uint8_t xtime(uint8_t x)
{
    return static_cast<uint8_t>((x << 1) ^ (((x >> 7) & 1) * 0x1b));
}

inline uint8_t Multiply(uint8_t x, uint8_t y)
{
    uint8_t r = 0;
    while (y != 0) {
        if (y & 1) {
            r ^= x;
        }
        x = xtime(x);
        y >>= 1;
    }
    return r;
}

void MixColumns()
{
    for (int i = 0; i < 4; ++i) {
        uint8_t a0 = (*state)[i][0], a1 = (*state)[i][1], a2 = (*state)[i][2], a3 = (*state)[i][3];
        uint8_t all = a0 ^ a1 ^ a2 ^ a3;
        (*state)[i][0] = static_cast<uint8_t>(a0 ^ all ^ xtime(a0 ^ a1));
        (*state)[i][1] = static_cast<uint8_t>(a1 ^ all ^ xtime(a1 ^ a2));
        (*state)[i][2] = static_cast<uint8_t>(a2 ^ all ^ xtime(a2 ^ a3));
        (*state)[i][3] = static_cast<uint8_t>(a3 ^ all ^ xtime(a3 ^ a0));
    }
}

void InvMixColumns()
{
    for (int i = 0; i < 4; ++i) {
        uint8_t a = (*state)[i][0], b = (*state)[i][1], c = (*state)[i][2], d = (*state)[i][3];
        (*state)[i][0] = Multiply(a, 0x0e) ^ Multiply(b, 0x0b) ^ Multiply(c, 0x0d) ^ Multiply(d, 0x09);
        (*state)[i][1] = Multiply(a, 0x09) ^ Multiply(b, 0x0e) ^ Multiply(c, 0x0b) ^ Multiply(d, 0x0d);
        (*state)[i][2] = Multiply(a, 0x0d) ^ Multiply(b, 0x09) ^ Multiply(c, 0x0e) ^ Multiply(d, 0x0b);
        (*state)[i][3] = Multiply(a, 0x0b) ^ Multiply(b, 0x0d) ^ Multiply(c, 0x09) ^ Multiply(d, 0x0e);
    }
}

void Cipher()
{
    AddRoundKey(0);
    for (int round = 1; round < Nr; ++round) {
        SubBytes(sbox);
        ShiftRows(false);
        MixColumns();
        AddRoundKey(round);
    }
    SubBytes(sbox);
    ShiftRows(false);
    AddRoundKey(Nr);
}

void InvCipher()
{
    AddRoundKey(Nr);
    for (int round = Nr - 1; round > 0; --round) {
        ShiftRows(true);
        SubBytes(rsbox);
        AddRoundKey(round);
        InvMixColumns();
    }
    ShiftRows(true);
    SubBytes(rsbox);
    AddRoundKey(0);
}

// Chaining value used when a chain is continued before any iv was given.
constexpr uint8_t kZeroIv[kBlock] = {0};

void XorWithIv(uint8_t* buf)
{
    if (Iv == nullptr) {
        Iv = kZeroIv;
    }
    for (int i = 0; i < kBlock; ++i) {
        buf[i] ^= Iv[i];
    }
}

// Copies one block; memmove because the ECB calls allow input == output.
void BlockCopy(uint8_t* output, const uint8_t* input)
{
    memmove(output, input, kBlock);
}

// An ECB call works on its own copy of the block in output, under the key
// it is given.
void EcbStart(const uint8_t* input, const uint8_t* key, uint8_t* output)
{
    BlockCopy(output, input);
    state = reinterpret_cast<state_t*>(output);
    Key = key;
    KeyExpansion();
}

// A CBC call starts a new chain with the key and iv it is given; a null key
// keeps the expanded key of the last call, a null iv continues its chain.
void CbcStart(const uint8_t* key, const uint8_t* iv)
{
    if (key != nullptr) {
        Key = key;
        KeyExpansion();
    }
    if (iv != nullptr) {
        Iv = iv;
    }
}

}  // namespace

extern "C" V2X_API void AES128_ECB_encrypt(uint8_t* input, const uint8_t* key, uint8_t* output)
{
    EcbStart(input, key, output);
    Cipher();
}

extern "C" V2X_API void AES128_ECB_decrypt(uint8_t* input, const uint8_t* key, uint8_t* output)
{
    EcbStart(input, key, output);
    InvCipher();
}

extern "C" V2X_API void AES128_CBC_encrypt_buffer(uint8_t* output, uint8_t* input, uint32_t length,
                                                  const uint8_t* key, const uint8_t* iv)
{
    CbcStart(key, iv);
    // Whole blocks only: the length % 16 trailing bytes are left alone (see
    // the header), so nothing outside the caller's areas is touched.
    uint32_t whole = length - length % kBlock;
    for (uint32_t i = 0; i < whole; i += kBlock) {
        XorWithIv(input);
        BlockCopy(output, input);
        state = reinterpret_cast<state_t*>(output);
        Cipher();
        Iv = output;
        input += kBlock;
        output += kBlock;
    }
}

extern "C" V2X_API void AES128_CBC_decrypt_buffer(uint8_t* output, uint8_t* input, uint32_t length,
                                                  const uint8_t* key, const uint8_t* iv)
{
    CbcStart(key, iv);
    uint32_t whole = length - length % kBlock;
    for (uint32_t i = 0; i < whole; i += kBlock) {
        BlockCopy(output, input);
        state = reinterpret_cast<state_t*>(output);
        InvCipher();
        XorWithIv(output);
        Iv = input;
        input += kBlock;
        output += kBlock;
    }
}
