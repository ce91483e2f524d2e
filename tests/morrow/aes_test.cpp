// SPDX-License-Identifier: Apache-2.0
// AES-128 against FIPS-197 and NIST SP 800-38A, CBC differentially against
// openssl, the continuation rule, and lengths that are not whole blocks.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "aes.h"
#include "morrow_tool_helpers.hpp"

using mtest::hex;
using mtest::unhex;

namespace {

const std::string kSpKey = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string kSpIv = "000102030405060708090a0b0c0d0e0f";
const std::string kSpPlain =
    "6bc1bee22e409f96e93d7e117393172a"
    "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef"
    "f69f2445df4f9b17ad2b417be66c3710";
const std::string kSpEcb =
    "3ad77bb40d7a3660a89ecaf32466ef97"
    "f5d3d58503b9699de785895a96fdbaaf"
    "43b1cd7f598ece23881b00e3ed030688"
    "7b0c785e27e8ad3f8223207104725dd4";
const std::string kSpCbc =
    "7649abac8119b246cee98e9b12e9197d"
    "5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e22229516"
    "3ff1caa1681fac09120eca307586e1a7";

// The example's key, iv and plaintext as bytes.
struct SpCbcInput {
    std::vector<uint8_t> key, iv, pt;
};

SpCbcInput sp_cbc_input()
{
    return {unhex(kSpKey), unhex(kSpIv), unhex(kSpPlain)};
}

}  // namespace

TEST(Aes, Fips197Examples)
{
    // Appendix C.1 and Appendix B.
    struct V {
        const char* key;
        const char* pt;
        const char* ct;
    } vs[] = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"},
    };
    for (const V& v : vs) {
        auto key = unhex(v.key);
        auto pt = unhex(v.pt);
        uint8_t out[16];
        AES128_ECB_encrypt(pt.data(), key.data(), out);
        EXPECT_EQ(hex(out, 16), v.ct);
        uint8_t back[16];
        AES128_ECB_decrypt(out, key.data(), back);
        EXPECT_EQ(hex(back, 16), v.pt);
        // In place.
        AES128_ECB_encrypt(pt.data(), key.data(), pt.data());
        EXPECT_EQ(hex(pt.data(), 16), v.ct);
    }
}

TEST(Aes, Sp80038aEcb)
{
    auto key = unhex(kSpKey);
    auto pt = unhex(kSpPlain);
    auto ct = unhex(kSpEcb);
    for (int b = 0; b < 4; ++b) {
        uint8_t out[16];
        AES128_ECB_encrypt(pt.data() + 16 * b, key.data(), out);
        EXPECT_EQ(hex(out, 16), kSpEcb.substr(32 * b, 32));
        AES128_ECB_decrypt(ct.data() + 16 * b, key.data(), out);
        EXPECT_EQ(hex(out, 16), kSpPlain.substr(32 * b, 32));
    }
}

TEST(Aes, Sp80038aCbcAndInputXoredInPlace)
{
    auto [key, iv, pt] = sp_cbc_input();
    std::vector<uint8_t> out(64);
    AES128_CBC_encrypt_buffer(out.data(), pt.data(), 64, key.data(), iv.data());
    EXPECT_EQ(hex(out.data(), 64), kSpCbc);
    // The input now holds plaintext XOR chaining value, block by block.
    auto plain = unhex(kSpPlain);
    for (int b = 0; b < 4; ++b) {
        const uint8_t* chain = b == 0 ? iv.data() : out.data() + 16 * (b - 1);
        for (int i = 0; i < 16; ++i) {
            ASSERT_EQ(pt[16 * b + i], plain[16 * b + i] ^ chain[i]) << b << ":" << i;
        }
    }
    auto ct = unhex(kSpCbc);
    std::vector<uint8_t> back(64);
    AES128_CBC_decrypt_buffer(back.data(), ct.data(), 64, key.data(), iv.data());
    EXPECT_EQ(hex(back.data(), 64), kSpPlain);
}

TEST(Aes, CbcContinuationWithNullKeyAndIv)
{
    auto [key, iv, pt] = sp_cbc_input();
    // Two blocks, then the third and fourth with null key and iv: the output
    // of the first call is still in place.
    std::vector<uint8_t> out(64);
    AES128_CBC_encrypt_buffer(out.data(), pt.data(), 32, key.data(), iv.data());
    AES128_CBC_encrypt_buffer(out.data() + 32, pt.data() + 32, 16, nullptr, nullptr);
    AES128_CBC_encrypt_buffer(out.data() + 48, pt.data() + 48, 16, nullptr, nullptr);
    EXPECT_EQ(hex(out.data(), 64), kSpCbc);

    auto ct = unhex(kSpCbc);
    std::vector<uint8_t> back(64);
    AES128_CBC_decrypt_buffer(back.data(), ct.data(), 16, key.data(), iv.data());
    AES128_CBC_decrypt_buffer(back.data() + 16, ct.data() + 16, 48, nullptr, nullptr);
    EXPECT_EQ(hex(back.data(), 64), kSpPlain);

    // ECB leaves its key for a following CBC call with a null key.
    uint8_t blk[16] = {0};
    uint8_t tmp[16];
    AES128_ECB_encrypt(blk, key.data(), tmp);
    auto pt2 = unhex(kSpPlain);
    std::vector<uint8_t> out2(64);
    AES128_CBC_encrypt_buffer(out2.data(), pt2.data(), 64, nullptr, iv.data());
    EXPECT_EQ(hex(out2.data(), 64), kSpCbc);
}

// Lengths that are not a multiple of 16: exactly sized heap areas, so the
// sanitizers catch any byte read or written outside them. Whole blocks are
// processed as usual; the tail is neither read nor written.
TEST(Aes, CbcPartialLengthsStayInsideTheCallersAreas)
{
    auto key = unhex(kSpKey);
    auto iv = unhex(kSpIv);
    std::mt19937 rng(7);
    for (uint32_t len = 1; len <= 70; ++len) {
        if (len % 16 == 0) {
            continue;
        }
        auto plain = mtest::random_bytes(rng, len);
        std::unique_ptr<uint8_t[]> in(new uint8_t[len]);
        std::unique_ptr<uint8_t[]> out(new uint8_t[len]);
        memcpy(in.get(), plain.data(), len);
        memset(out.get(), 0xA5, len);
        AES128_CBC_encrypt_buffer(out.get(), in.get(), len, key.data(), iv.data());

        uint32_t whole = len - len % 16;
        // The whole-block prefix equals a whole-block call.
        std::vector<uint8_t> refIn(plain.begin(), plain.begin() + whole);
        std::vector<uint8_t> refOut(whole + 1);
        AES128_CBC_encrypt_buffer(refOut.data(), refIn.data(), whole, key.data(), iv.data());
        ASSERT_EQ(hex(out.get(), whole), hex(refOut.data(), whole)) << len;
        for (uint32_t i = whole; i < len; ++i) {
            ASSERT_EQ(out[i], 0xA5) << "output tail written, len " << len;
            ASSERT_EQ(in[i], plain[i]) << "input tail changed, len " << len;
        }

        std::unique_ptr<uint8_t[]> back(new uint8_t[len]);
        memset(back.get(), 0x5A, len);
        AES128_CBC_decrypt_buffer(back.get(), out.get(), len, key.data(), iv.data());
        ASSERT_EQ(hex(back.get(), whole), hex(plain.data(), whole)) << len;
        for (uint32_t i = whole; i < len; ++i) {
            ASSERT_EQ(back[i], 0x5A) << "output tail written, len " << len;
        }
    }
    // A length below one block touches nothing.
    std::unique_ptr<uint8_t[]> one(new uint8_t[1]);
    std::unique_ptr<uint8_t[]> oneOut(new uint8_t[1]);
    one[0] = 1;
    oneOut[0] = 2;
    AES128_CBC_encrypt_buffer(oneOut.get(), one.get(), 1, key.data(), iv.data());
    AES128_CBC_decrypt_buffer(oneOut.get(), one.get(), 1, key.data(), iv.data());
    EXPECT_EQ(one[0], 1);
    EXPECT_EQ(oneOut[0], 2);
}

// Random keys, ivs and whole-block inputs against openssl, both directions.
TEST(Aes, CbcDifferentialAgainstOpenssl)
{
    if (!mtest::have_tool("openssl")) {
        GTEST_SKIP() << "openssl is not installed (scripts/deps installs it)";
    }
    mtest::TmpDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::mt19937 rng(424242);
    const int kCount = 60;
    struct Case {
        std::vector<uint8_t> key, iv, plain;
    };
    std::vector<Case> cases;
    std::vector<std::vector<uint8_t>> plains;
    for (int i = 0; i < kCount; ++i) {
        Case c;
        c.key = mtest::random_bytes(rng, 16);
        c.iv = mtest::random_bytes(rng, 16);
        c.plain = mtest::random_bytes(rng, 16 * (1 + rng() % 20));
        plains.push_back(c.plain);
        cases.push_back(c);
    }
    const auto out = mtest::run_per_input(dir, plains, [&](size_t i, const std::string& f) {
        return "openssl enc -aes-128-cbc -nopad -K " + hex(cases[i].key.data(), 16) + " -iv " +
               hex(cases[i].iv.data(), 16) + " -in '" + f +
               "' | od -An -v -tx1 | tr -d ' \\n'; echo;";
    });
    ASSERT_EQ(out.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        const std::string& want = out[i];
        Case& c = cases[i];
        uint32_t len = static_cast<uint32_t>(c.plain.size());
        std::vector<uint8_t> in = c.plain;
        std::vector<uint8_t> ct(len);
        AES128_CBC_encrypt_buffer(ct.data(), in.data(), len, c.key.data(), c.iv.data());
        ASSERT_EQ(hex(ct.data(), len), want) << "case " << i;
        std::vector<uint8_t> back(len);
        AES128_CBC_decrypt_buffer(back.data(), ct.data(), len, c.key.data(), c.iv.data());
        ASSERT_EQ(hex(back.data(), len), hex(c.plain.data(), len)) << "case " << i;
    }
}
