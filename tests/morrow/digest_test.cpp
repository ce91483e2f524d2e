// SPDX-License-Identifier: Apache-2.0
// MD5, SHA-224 and SHA-256 against RFC 1321 and FIPS 180-4 examples and,
// differentially, against md5sum, sha224sum and sha256sum.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "md5.h"
#include "morrow_tool_helpers.hpp"
#include "sha256.h"

using mtest::hex;

namespace {

std::string md5_hex(const std::string& s)
{
    uint8_t r[16];
    md5_buffer(s.data(), s.size(), r);
    return hex(r, 16);
}

std::string sha256_hex(const std::string& s)
{
    uint8_t r[32];
    sha256_buffer(s.data(), s.size(), r);
    return hex(r, 32);
}

std::string sha224_hex(const std::string& s)
{
    uint8_t r[28];
    sha224_buffer(s.data(), s.size(), r);
    return hex(r, 28);
}

}  // namespace

TEST(Md5, Rfc1321TestSuite)
{
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_hex("1234567890123456789012345678901234567890123456789012345678901234567890"
                      "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Sha256, Fips180Examples)
{
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha224, Fips180Examples)
{
    EXPECT_EQ(sha224_hex(""), "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f");
    EXPECT_EQ(sha224_hex("abc"), "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7");
    EXPECT_EQ(sha224_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525");
    EXPECT_EQ(sha224_hex(std::string(1000000, 'a')),
              "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67");
}

TEST(Md5, OneThenSixtyThreeBytesEqualsOneCall)
{
    std::string s(64, '\0');
    for (int i = 0; i < 64; ++i) {
        s[i] = static_cast<char>(i * 7 + 3);
    }
    struct md5_ctx ctx;
    md5_init_ctx(&ctx);
    md5_process_bytes(s.data(), 1, &ctx);
    md5_process_bytes(s.data() + 1, 63, &ctx);
    uint8_t r[16];
    md5_finish_ctx(&ctx, r);
    EXPECT_EQ(hex(r, 16), md5_hex(s));
}

// Incremental feeding split at every offset of a block (and a little past
// it), for each digest, against the one-shot result.
namespace {

// One digest's calls, for feeding the same bytes to each in pieces.
template <typename Ctx>
struct DigestCalls {
    size_t size;
    void (*init)(Ctx*);
    void (*bytes)(const void*, size_t, Ctx*);
    void* (*finish)(Ctx*, void*);
    void* (*buffer)(const char*, size_t, void*);

    // p[0, cut) and p[cut, len) in two calls; cut 0 with step 1: byte by byte.
    std::string fed(const char* p, size_t len, size_t cut, size_t step = 0) const
    {
        Ctx c;
        init(&c);
        if (step == 0) {
            bytes(p, cut, &c);
            bytes(p + cut, len - cut, &c);
        }
        for (size_t i = 0; step != 0 && i < len; i += step) {
            bytes(p + i, std::min(step, len - i), &c);
        }
        uint8_t r[32];
        finish(&c, r);
        return hex(r, size);
    }
    std::string once(const char* p, size_t len) const
    {
        uint8_t r[32];
        buffer(p, len, r);
        return hex(r, size);
    }
};

const DigestCalls<md5_ctx> kMd5 = {16, md5_init_ctx, md5_process_bytes, md5_finish_ctx,
                                   md5_buffer};
const DigestCalls<sha256_ctx> kSha256 = {32, sha256_init_ctx, sha256_process_bytes,
                                         sha256_finish_ctx, sha256_buffer};
const DigestCalls<sha256_ctx> kSha224 = {28, sha224_init_ctx, sha256_process_bytes,
                                         sha224_finish_ctx, sha224_buffer};

}  // namespace

TEST(Digests, IncrementalSplitAtEveryOffset)
{
    std::mt19937 rng(1234);
    auto data = mtest::random_bytes(rng, 200);
    const char* p = reinterpret_cast<const char*>(data.data());
    for (size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
        const std::string ref5 = kMd5.once(p, len);
        const std::string ref256 = kSha256.once(p, len);
        const std::string ref224 = kSha224.once(p, len);
        for (size_t cut = 0; cut <= std::min<size_t>(len, 130); ++cut) {
            ASSERT_EQ(kMd5.fed(p, len, cut), ref5) << len << "/" << cut;
            ASSERT_EQ(kSha256.fed(p, len, cut), ref256) << len << "/" << cut;
            ASSERT_EQ(kSha224.fed(p, len, cut), ref224) << len << "/" << cut;
        }
        ASSERT_EQ(kMd5.fed(p, len, 0, 1), ref5) << len;  // byte by byte
    }
}

TEST(Digests, ProcessBlockMatchesProcessBytesAndUnalignedResult)
{
    std::mt19937 rng(99);
    auto data = mtest::random_bytes(rng, 64 * 5 + 1);
    // Unaligned source and result buffers.
    const char* p = reinterpret_cast<const char*>(data.data()) + 1;
    struct md5_ctx m;
    md5_init_ctx(&m);
    md5_process_block(p, 64 * 5, &m);
    uint8_t out[17 + 33];
    md5_finish_ctx(&m, out + 1);
    uint8_t ref[16];
    md5_buffer(p, 64 * 5, ref);
    EXPECT_EQ(hex(out + 1, 16), hex(ref, 16));

    struct sha256_ctx s;
    sha256_init_ctx(&s);
    sha256_process_block(p, 64 * 5, &s);
    sha256_finish_ctx(&s, out + 17);
    uint8_t ref2[32];
    sha256_buffer(p, 64 * 5, ref2);
    EXPECT_EQ(hex(out + 17, 32), hex(ref2, 32));
}

TEST(Digests, ReadCtxGivesStateWithoutPadding)
{
    struct md5_ctx m;
    md5_init_ctx(&m);
    uint8_t r[32];
    md5_read_ctx(&m, r);
    EXPECT_EQ(hex(r, 16), "0123456789abcdeffedcba9876543210");
    struct sha256_ctx s;
    sha256_init_ctx(&s);
    sha256_read_ctx(&s, r);
    EXPECT_EQ(hex(r, 32), "6a09e667bb67ae853c6ef372a54ff53a510e527f9b05688c1f83d9ab5be0cd19");
    sha224_init_ctx(&s);
    sha224_read_ctx(&s, r);
    EXPECT_EQ(hex(r, 28), "c1059ed8367cd5073070dd17f70e5939ffc00b316858151164f98fa7");
}

TEST(Digests, StreamsEmptyLargeAndFailing)
{
    uint8_t r[32];
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(md5_stream(f, r), 0);
    EXPECT_EQ(hex(r, 16), "d41d8cd98f00b204e9800998ecf8427e");
    rewind(f);
    EXPECT_EQ(sha256_stream(f, r), 0);
    EXPECT_EQ(hex(r, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    rewind(f);
    EXPECT_EQ(sha224_stream(f, r), 0);
    EXPECT_EQ(hex(r, 28), "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f");

    // More than one 4096-byte block, and exactly two blocks.
    for (size_t n : {4096u * 2, 4096u * 2 + 17}) {
        std::string big(n, 'x');
        for (size_t i = 0; i < n; ++i) {
            big[i] = static_cast<char>(i * 31);
        }
        FILE* g = tmpfile();
        ASSERT_NE(g, nullptr);
        fwrite(big.data(), 1, big.size(), g);
        rewind(g);
        ASSERT_EQ(md5_stream(g, r), 0);
        EXPECT_EQ(hex(r, 16), md5_hex(big));
        rewind(g);
        ASSERT_EQ(sha256_stream(g, r), 0);
        EXPECT_EQ(hex(r, 32), sha256_hex(big));
        rewind(g);
        ASSERT_EQ(sha224_stream(g, r), 0);
        EXPECT_EQ(hex(r, 28), sha224_hex(big));
        fclose(g);
    }
    fclose(f);

    // A stream opened for writing only: every read fails.
    FILE* w = fopen("/dev/null", "w");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(md5_stream(w, r), 1);
    clearerr(w);
    EXPECT_EQ(sha256_stream(w, r), 1);
    clearerr(w);
    EXPECT_EQ(sha224_stream(w, r), 1);
    fclose(w);
}

// A few hundred random inputs of random lengths against the coreutils
// tools, one tool run per digest over all files.
TEST(Digests, DifferentialAgainstCoreutils)
{
    for (const char* t : {"md5sum", "sha224sum", "sha256sum"}) {
        if (!mtest::have_tool(t)) {
            GTEST_SKIP() << t << " is not installed (scripts/deps installs coreutils)";
        }
    }
    mtest::TmpDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::mt19937 rng(20261208);
    const int kCount = 300;
    std::vector<std::vector<uint8_t>> inputs;
    std::string names;
    for (int i = 0; i < kCount; ++i) {
        size_t len = rng() % 4;
        len = len == 0 ? rng() % 64 : len == 1 ? rng() % 200 : len == 2 ? rng() % 1000 : rng() % 9000;
        inputs.push_back(mtest::random_bytes(rng, len));
        std::string f = dir.file("in" + std::to_string(i));
        ASSERT_TRUE(mtest::write_file(f, inputs.back()));
        names += " '" + f + "'";
    }
    struct Tool {
        const char* name;
        size_t size;
    };
    for (Tool t : {Tool{"md5sum", 16}, Tool{"sha224sum", 28}, Tool{"sha256sum", 32}}) {
        std::istringstream out(mtest::run_cmd(std::string(t.name) + names));
        for (int i = 0; i < kCount; ++i) {
            std::string want, file;
            ASSERT_TRUE(static_cast<bool>(out >> want >> file)) << t.name << " " << i;
            const char* p = reinterpret_cast<const char*>(inputs[i].data());
            size_t len = inputs[i].size();
            uint8_t r[32];
            if (t.size == 16) {
                md5_buffer(p, len, r);
            } else if (t.size == 28) {
                sha224_buffer(p, len, r);
            } else {
                sha256_buffer(p, len, r);
            }
            ASSERT_EQ(hex(r, t.size), want) << t.name << " input " << i << " len " << len;
            // And incrementally, split at a random offset.
            size_t cut = len == 0 ? 0 : rng() % (len + 1);
            uint8_t r2[32];
            if (t.size == 16) {
                struct md5_ctx m;
                md5_init_ctx(&m);
                md5_process_bytes(p, cut, &m);
                md5_process_bytes(p + cut, len - cut, &m);
                md5_finish_ctx(&m, r2);
            } else {
                struct sha256_ctx s;
                if (t.size == 28) {
                    sha224_init_ctx(&s);
                } else {
                    sha256_init_ctx(&s);
                }
                sha256_process_bytes(p, cut, &s);
                sha256_process_bytes(p + cut, len - cut, &s);
                if (t.size == 28) {
                    sha224_finish_ctx(&s, r2);
                } else {
                    sha256_finish_ctx(&s, r2);
                }
            }
            ASSERT_EQ(hex(r2, t.size), want) << t.name << " input " << i << " cut " << cut;
        }
    }
}
