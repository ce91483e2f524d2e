// SPDX-License-Identifier: Apache-2.0
// The advertisement the management entity sends, on reference bytes, and
// refused whole when it does not fit.
#include <gtest/gtest.h>

#include <string.h>

#include "dsmp.hpp"

TEST(DsaCodec, ReferenceBytesAndNoRoom)
{
    uint8_t buf[8];
    memset(buf, 0xEE, sizeof(buf));
    ASSERT_EQ(dsa_encode(buf, sizeof(buf), "abc", 3), 5u);
    const uint8_t withText[] = {0x10, 0x30, 'a', 'b', 'c', 0xEE};
    EXPECT_EQ(memcmp(buf, withText, sizeof(withText)), 0);

    ASSERT_EQ(dsa_encode(buf, 2, nullptr, 0), 2u);
    EXPECT_EQ(buf[0], 0x00);
    EXPECT_EQ(buf[1], 0x30);

    // One byte short: nothing written.
    memset(buf, 0xEE, sizeof(buf));
    EXPECT_EQ(dsa_encode(buf, 4, "abc", 3), 0u);
    EXPECT_EQ(dsa_encode(buf, 1, nullptr, 0), 0u);
    EXPECT_EQ(dsa_encode(buf, sizeof(buf), nullptr, 1), 0u);
    EXPECT_EQ(buf[0], 0xEE);
}
