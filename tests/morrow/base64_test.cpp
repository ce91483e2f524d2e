// SPDX-License-Identifier: Apache-2.0
// Base64 against RFC 4648, differentially against the system's base64, and
// every refusal of bad input.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "bbase64.h"
#include "morrow_tool_helpers.hpp"

namespace {

std::string enc(const std::string& s)
{
    std::vector<char> out(s.size() * 2 + 8);
    int n = bbase64_encode(reinterpret_cast<const unsigned char*>(s.data()), s.size(), out.data(),
                           out.size());
    return n < 0 ? std::string("<-1>") : std::string(out.data(), static_cast<size_t>(n));
}

int dec(const std::string& s, std::string* out, size_t dstLen = 0)
{
    std::vector<unsigned char> buf(dstLen != 0 ? dstLen : s.size() + 8);
    int n = bbase64_decode(s.data(), s.size(), buf.data(), buf.size());
    if (n > 0 && out != nullptr) {
        out->assign(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(n));
    }
    return n;
}

}  // namespace

TEST(Base64, Rfc4648Vectors)
{
    const char* vec[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                            {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                            {"foobar", "Zm9vYmFy"}};
    for (auto& v : vec) {
        EXPECT_EQ(enc(v[0]), v[1]) << v[0];
        if (v[1][0] != '\0') {
            std::string back;
            EXPECT_EQ(dec(v[1], &back), static_cast<int>(strlen(v[0]))) << v[1];
            EXPECT_EQ(back, v[0]);
        }
    }
}

TEST(Base64, EncodeResultsAndRoom)
{
    unsigned char three[3] = {1, 2, 3};
    char out[16];
    EXPECT_EQ(bbase64_encode(three, 3, out, sizeof(out)), 4);
    EXPECT_EQ(std::string(out, 4), "AQID");
    EXPECT_EQ(bbase64_encode(three, 1, out, sizeof(out)), 4);
    EXPECT_EQ(std::string(out, 4), "AQ==");
    EXPECT_EQ(bbase64_encode(three, 3, out, 3), -1);
    EXPECT_EQ(bbase64_encode(three, 0, out, sizeof(out)), 0);
    // 4 characters per started group: 4 bytes need 8, 7 are too few.
    unsigned char four[4] = {1, 2, 3, 4};
    EXPECT_EQ(bbase64_encode(four, 4, out, 7), -1);
    EXPECT_EQ(bbase64_encode(four, 4, out, 8), 8);
    EXPECT_EQ(bbase64_encode(four, 3, out, 4), 4);
}

TEST(Base64, DecodeResultsAndRefusals)
{
    std::string s;
    EXPECT_EQ(dec("AQID", &s), 3);
    EXPECT_EQ(dec("AQ==", &s), 1);
    EXPECT_EQ(dec("AQI", &s), 0);       // below one group
    EXPECT_EQ(dec("A=ID", &s), -1);     // padding in the second position
    EXPECT_EQ(dec("=QID", &s), -1);     // padding in the first position
    EXPECT_EQ(dec("AQID", &s, 2), 0);   // destination below 3 bytes
    EXPECT_EQ(dec("AQ D", &s), -1);     // white space
    EXPECT_EQ(dec("AQI\n", &s), -1);
    EXPECT_EQ(dec("AQ*D", &s), -1);     // outside the alphabet
    EXPECT_EQ(dec("AQIDAQ-D", &s), -1); // invalid in a later group
    // Characters beyond the last whole group, and after a padded group, are
    // ignored.
    EXPECT_EQ(dec("AQIDAQ", &s), 3);
    EXPECT_EQ(dec("AQ==AQID", &s), 1);
    // "=" in the third position ends the group after one byte.
    EXPECT_EQ(dec("AQ=D", &s), 1);
    // Stops when 3 more bytes would not fit.
    EXPECT_EQ(dec("AQIDAQID", &s, 5), 3);
    EXPECT_EQ(dec("+/+/", &s), 3);
    EXPECT_EQ(s, "\xfb\xff\xbf");
}

TEST(Base64, DifferentialAgainstSystemBase64)
{
    ASSERT_TRUE(mtest::have_tool("base64")) << "base64 missing (coreutils)";
    mtest::TmpDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::mt19937 rng(31337);
    const int kCount = 200;
    std::vector<std::vector<uint8_t>> inputs;
    for (int i = 0; i < kCount; ++i) {
        inputs.push_back(mtest::random_bytes(rng, rng() % 300));
    }
    const auto out = mtest::run_per_input(
        dir, inputs, [](size_t, const std::string& f) { return "base64 -w0 '" + f + "'; echo"; });
    ASSERT_EQ(out.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        const std::string& want = out[i];
        const auto& in = inputs[i];
        std::vector<char> buf(in.size() * 2 + 8);
        int n = bbase64_encode(in.data(), in.size(), buf.data(), buf.size());
        ASSERT_EQ(std::string(buf.data(), static_cast<size_t>(n)), want) << i;
        if (!in.empty()) {
            std::vector<unsigned char> back(in.size() + 3);
            int m = bbase64_decode(want.data(), want.size(), back.data(), back.size());
            ASSERT_EQ(m, static_cast<int>(in.size())) << i;
            ASSERT_TRUE(std::equal(in.begin(), in.end(), back.begin())) << i;
        }
    }
}
