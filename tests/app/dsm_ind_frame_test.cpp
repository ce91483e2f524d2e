// SPDX-License-Identifier: Apache-2.0
// The DSM indication as the framing builds and parses it, on reference
// bytes and on every truncation of them.
#include <gtest/gtest.h>

#include <string.h>

#include "core_app_frame.hpp"

namespace {

// V2X_DSM_IND, 14 + 3 bytes: version 2, AID 0x01020304, peer
// 0A..0F, priority 5, length 3, then "xyz" (host order: little endian).
const uint8_t kRef[] = {2, 0, 0, 0, 17, 0, 2, 4, 3, 2, 1, 0x0A, 0x0B, 0x0C,
                        0x0D, 0x0E, 0x0F, 5, 3, 0, 'x', 'y', 'z'};

}  // namespace

TEST(DsmIndFrame, BuildAndParseTheReferenceBytes)
{
    CoreAppDsmInd ind;
    ind.dsmpVer = 2;
    ind.appId = 0x01020304;
    const uint8_t mac[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    memcpy(ind.peerMac, mac, sizeof(mac));
    ind.priority = 5;
    ind.msgLen = 3;
    ind.data = "xyz";
    char buf[sizeof(kRef) + 1];
    memset(buf, 0x55, sizeof(buf));
    ASSERT_EQ(core_app_dsm_ind_put(buf, sizeof(buf), ind), sizeof(kRef));
    EXPECT_EQ(memcmp(buf, kRef, sizeof(kRef)), 0);
    EXPECT_EQ(buf[sizeof(kRef)], 0x55);
    EXPECT_EQ(core_app_dsm_ind_put(buf, sizeof(kRef) - 1, ind), 0u);  // no room
    ind.msgLen = V2X_DSM_IND_MAX_DATA + 1;
    EXPECT_EQ(core_app_dsm_ind_put(buf, sizeof(buf), ind), 0u);

    const char* pld = reinterpret_cast<const char*>(kRef) + V2X_CORE_APP_HDR_LEN;
    const size_t len = sizeof(kRef) - V2X_CORE_APP_HDR_LEN;
    CoreAppDsmInd got;
    ASSERT_TRUE(core_app_dsm_ind_parse(pld, len, &got));
    EXPECT_EQ(got.dsmpVer, 2);
    EXPECT_EQ(got.appId, 0x01020304u);
    EXPECT_EQ(memcmp(got.peerMac, mac, sizeof(mac)), 0);
    EXPECT_EQ(got.priority, 5);
    EXPECT_EQ(got.msgLen, 3);
    EXPECT_EQ(got.data, pld + V2X_DSM_IND_HEAD_LEN);
    // Every cut is refused: inside the head, and short of the data.
    for (size_t n = 0; n < len; ++n) {
        EXPECT_FALSE(core_app_dsm_ind_parse(pld, n, &got)) << n;
    }
    EXPECT_FALSE(core_app_dsm_ind_parse(nullptr, len, &got));
}
