// SPDX-License-Identifier: Apache-2.0
// A datagram longer than any frame length can describe is counted as
// oversize (truncated), not as too short.
#include <gtest/gtest.h>

#include <vector>

#include "adap_lyr.h"
#include "core_stats.hpp"
#include "rlink.hpp"
#include "test_support.h"

TEST(RlinkRxLimits, OversizeDatagramIsCountedAsTruncated)
{
    v2xtest::LevelGuard lg(LOG_LEV_OFF);
    ASSERT_EQ(adaptation_layer_init(), 0);
    std::vector<char> big(V2X_LIM_RX_DGRAM_MAX + 1, 0);
    const uint64_t shortBefore = STAT_GET(rxDropTooShort);
    const uint64_t truncBefore = STAT_GET(rxDropTruncated);
    EXPECT_EQ(_parse_rx_msg(big.data(), static_cast<int>(big.size())), -ERR_V2X_RX_ADAP_FMT);
    EXPECT_EQ(STAT_GET(rxDropTruncated), truncBefore + 1);
    EXPECT_EQ(STAT_GET(rxDropTooShort), shortBefore);
    EXPECT_EQ(_parse_rx_msg(big.data(), 0), -ERR_V2X_RX_ADAP_FMT);
    EXPECT_EQ(STAT_GET(rxDropTooShort), shortBefore + 1);
    EXPECT_EQ(adaptation_layer_exit(), 0);
}
