// SPDX-License-Identifier: Apache-2.0
// What radio-sim's real-time sidelink path relies on beside the engine: a
// frame held in the delivery queue while it waits for its resource keeps its
// bytes, and the run's counters draw their lines where they say.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "../../tools/radio-sim/channel.h"
#include "../../tools/radio-sim/sidelink_stats.h"

namespace {

using radiosim::DeliveryQueue;
using radiosim::SlRunStats;

// A waits for its resource (held, nothing scheduled) while later frames are
// stored, delivered and released: A's bytes must survive, and the arena must
// not hand A's place out before A is released.
TEST(SidelinkRun, AHeldFrameKeepsItsBytesWhileLaterOnesComeAndGo)
{
    DeliveryQueue q(8, 64, 8);
    const std::vector<uint8_t> a(16, 0xAA);
    uint32_t fa = 0;
    ASSERT_TRUE(q.add_frame(a.data(), a.size(), 0, 0, fa));
    q.hold(fa);
    for (uint8_t k = 0; k < 3; ++k) {
        const std::vector<uint8_t> b(16, k);
        uint32_t fb = 0;
        ASSERT_TRUE(q.add_frame(b.data(), b.size(), 1, 0, fb));
        ASSERT_TRUE(q.schedule(fb, 0, 10, 1.0));
        DeliveryQueue::Due d;
        ASSERT_TRUE(q.pop_due(10, d));
        EXPECT_EQ(d.frame, fb);
        q.release(fb);
        size_t len = 0;
        const uint8_t* bytes = q.frame_bytes(fa, len);
        ASSERT_EQ(len, a.size());
        EXPECT_EQ(memcmp(bytes, a.data(), len), 0) << "after frame " << int(k);
    }
    // 16 + 3 * 16 bytes in use: the arena is full until A goes.
    uint32_t f = 0;
    EXPECT_FALSE(q.add_frame(a.data(), 16, 2, 0, f));
    q.release(fa);
    const std::vector<uint8_t> whole(64, 0xBB);
    EXPECT_TRUE(q.add_frame(whole.data(), whole.size(), 2, 0, f));
}

TEST(SidelinkRun, LateIsStrictlyBeyondFiveMillisecondsAndLongLatenciesAreKept)
{
    SlRunStats st(2, true);
    st.count_delivered(0, 1, 10.0, 3 * 1000000, SlRunStats::kLateNs);
    EXPECT_EQ(st.late(), 0u);
    st.count_delivered(0, 1, 10.0, 3 * 1000000, SlRunStats::kLateNs + 1);
    EXPECT_EQ(st.late(), 1u);
    EXPECT_EQ(st.link(0, 1).late, 1u);
    EXPECT_EQ(st.link(1, 0).late, 0u);
    st.count_delivered(1, 0, 3000.0, 109999999, 0);  // the last 0.1 ms bin
    st.count_delivered(1, 0, 3000.0, 110000000, 0);  // past the histogram
    EXPECT_EQ(st.latency_bin(SlRunStats::kLatBins - 1), 1u);
    EXPECT_EQ(st.latency_beyond(), 1u);
    EXPECT_EQ(st.latency_max_ns(), 110000000);
    EXPECT_EQ(st.delivered(), 4u);
    EXPECT_EQ(st.bin(SlRunStats::kBins - 1).delivered, 2u);  // 3 km: the last distance bin
    EXPECT_LT(st.cbr_mean(0), 0.0);                           // never sampled
}

}  // namespace
