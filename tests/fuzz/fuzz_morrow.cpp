// SPDX-License-Identifier: Apache-2.0
// libmorrow's Base64 and AES-128-CBC on arbitrary input.
#include <string.h>

#include <vector>

#include "aes.h"
#include "bbase64.h"
#include "fuzz_common.h"
#include "fuzz_entries.h"

namespace v2xfuzz {

int base64(const uint8_t* aipcData, size_t aicLen)
{
    // Encode, then decode into a buffer of whole groups: the bytes come back.
    const size_t encLen = (aicLen + 2) / 3 * 4;
    std::vector<char> enc(encLen + 1);
    V2XF_CHECK(bbase64_encode(aipcData, aicLen, enc.data(), encLen) == static_cast<int>(encLen));
    // One byte too small is refused, not cut.
    if (encLen != 0) {
        V2XF_CHECK(bbase64_encode(aipcData, aicLen, enc.data(), encLen - 1) == -1);
    }
    const size_t decCap = (aicLen + 2) / 3 * 3;
    std::vector<unsigned char> dec(decCap + 1);
    const int n = bbase64_decode(enc.data(), encLen, dec.data(), decCap);
    if (aicLen == 0) {
        V2XF_CHECK(n == 0);
    } else {
        V2XF_CHECK(n == static_cast<int>(aicLen));
        V2XF_CHECK(memcmp(dec.data(), aipcData, aicLen) == 0);
    }

    // The input as text, into a buffer whose size byte 0 chooses: exactly
    // that many bytes on the heap, so a write past them is caught.
    if (aicLen != 0) {
        const size_t cap = aipcData[0] % 64;
        std::vector<unsigned char> out(cap);
        const int m = bbase64_decode(reinterpret_cast<const char*>(aipcData + 1), aicLen - 1,
                                     cap != 0 ? out.data() : nullptr, cap);
        V2XF_CHECK(m >= -1 && m <= static_cast<int>(cap));
        // What decodes encodes back to the same characters (no padding in
        // the middle of a valid text, so a whole-group result is exact).
        if (m > 0 && m % 3 == 0) {
            std::vector<char> re(static_cast<size_t>(m) / 3 * 4);
            V2XF_CHECK(bbase64_encode(out.data(), static_cast<size_t>(m), re.data(), re.size()) ==
                       static_cast<int>(re.size()));
            V2XF_CHECK(memcmp(re.data(), aipcData + 1, re.size()) == 0);
        }
    }
    return 0;
}

int aes_cbc(const uint8_t* aipcData, size_t aicLen)
{
    if (aicLen < 32) {
        return 0;
    }
    const uint8_t* key = aipcData;
    const uint8_t* iv = aipcData + 16;
    const size_t len = aicLen - 32;
    const size_t whole = len / 16 * 16;
    // Exact-size heap copies: any byte touched outside them is a finding.
    std::vector<uint8_t> plain(aipcData + 32, aipcData + aicLen);
    std::vector<uint8_t> in(plain);
    std::vector<uint8_t> enc(len, 0xC3);
    std::vector<uint8_t> dec(len, 0x3C);
    uint8_t* encp = len != 0 ? enc.data() : nullptr;
    uint8_t* inp = len != 0 ? in.data() : nullptr;
    uint8_t* decp = len != 0 ? dec.data() : nullptr;
    AES128_CBC_encrypt_buffer(encp, inp, static_cast<uint32_t>(len), key, iv);
    AES128_CBC_decrypt_buffer(decp, encp, static_cast<uint32_t>(len), key, iv);
    V2XF_CHECK(whole == 0 || memcmp(dec.data(), plain.data(), whole) == 0);
    for (size_t i = whole; i < len; ++i) {
        // The tail is neither encrypted nor decrypted: outputs keep their bytes.
        V2XF_CHECK(enc[i] == 0xC3 && dec[i] == 0x3C && in[i] == plain[i]);
    }
    // The same data in two calls, the second continuing the chain (null
    // key and iv), gives the same ciphertext as one call.
    if (whole >= 32) {
        const size_t first = (aipcData[0] % (whole / 16 - 1) + 1) * 16;
        std::vector<uint8_t> in2(plain);
        std::vector<uint8_t> enc2(len, 0xC3);
        AES128_CBC_encrypt_buffer(enc2.data(), in2.data(), static_cast<uint32_t>(first), key, iv);
        AES128_CBC_encrypt_buffer(enc2.data() + first, in2.data() + first,
                                  static_cast<uint32_t>(whole - first), nullptr, nullptr);
        V2XF_CHECK(memcmp(enc2.data(), enc.data(), whole) == 0);
    }
    return 0;
}

}  // namespace v2xfuzz
