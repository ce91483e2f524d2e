// SPDX-License-Identifier: Apache-2.0
// radio-sim's channel model and delivery queue, driven by a fake clock and
// seeded generators: no real time passes and every run is the same.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "../../tools/radio-sim/channel.h"

namespace {

using radiosim::Channel;
using radiosim::Decision;
using radiosim::DeliveryQueue;
using radiosim::ModelParams;
using radiosim::Verdict;

class FakeClock : public radiosim::Clock {
public:
    int64_t now_ns() override { return now; }
    int64_t now = 0;
};

// Two stations `d` metres apart.
Channel pair_at(double d, uint64_t seed, const ModelParams& m = ModelParams())
{
    Channel ch(2, m, seed);
    ch.set_position(0, 0.0, 0.0);
    ch.set_position(1, d, 0.0);
    return ch;
}

}  // namespace

TEST(ChannelModel, CurveIsHalfAtTheSensitivityAndFallsWithDistance)
{
    ModelParams m;
    const double d50 = radiosim::distance_at(m, 0.5);
    EXPECT_NEAR(m.txPowerDbm - radiosim::path_loss_db(m, d50), m.sensitivityDbm, 1e-9);
    EXPECT_NEAR(radiosim::curve_probability(m, d50), 0.5, 1e-9);
    // The defaults: half the frames arrive at about 355 m, 1% at about 767 m.
    EXPECT_NEAR(d50, 355.0, 2.0);
    EXPECT_NEAR(radiosim::effective_range(m), 767.0, 3.0);
    EXPECT_NEAR(radiosim::reception_probability(m, radiosim::effective_range(m)), 0.01, 1e-6);
    double last = 1.0;
    for (double d = 0.0; d < 1000.0; d += 10.0) {
        const double p = radiosim::reception_probability(m, d);
        EXPECT_LE(p, last) << d;
        last = p;
    }
    EXPECT_EQ(radiosim::reception_probability(m, radiosim::effective_range(m) + 0.01), 0.0);
    // Below the reference distance the loss stays that of d0.
    EXPECT_EQ(radiosim::path_loss_db(m, 0.0), m.refLossDb);
    m.rangeM = 300.0;
    EXPECT_EQ(radiosim::effective_range(m), 300.0);
    EXPECT_EQ(radiosim::reception_probability(m, 300.5), 0.0);
    EXPECT_GT(radiosim::reception_probability(m, 299.5), 0.5);
}

TEST(ChannelModel, RefusesParametersOutsideTheirRanges)
{
    std::string err;
    ModelParams m;
    EXPECT_TRUE(radiosim::check_model(m, err)) << err;
    m.widthDb = 0.0;
    EXPECT_FALSE(radiosim::check_model(m, err));
    EXPECT_NE(err.find("width_db"), std::string::npos) << err;
    m = ModelParams();
    m.exponent = NAN;
    EXPECT_FALSE(radiosim::check_model(m, err));
    m = ModelParams();
    m.jitterMs = -1.0;
    EXPECT_FALSE(radiosim::check_model(m, err));
    EXPECT_NE(err.find("jitter_ms"), std::string::npos) << err;
}

// Over N frames at distance d, the count delivered is Binomial(N, p(d)):
// it must lie within p N +- 4.5 standard deviations (a false alarm about
// once in 150 000 points; the seed is fixed, so the run is the same each time).
TEST(ChannelModel, DeliveryRatioAtFixedDistancesIsWithinTheCurvesConfidenceInterval)
{
    const ModelParams m;
    const int n = 20000;
    for (double d : {10.0, 150.0, 250.0, 355.0, 450.0, 600.0, 750.0}) {
        Channel ch = pair_at(d, 7);
        int got = 0;
        for (int i = 0; i < n; ++i) {
            if (ch.decide(0, 1).verdict == Verdict::kDeliver) {
                ++got;
            }
        }
        const double p = radiosim::reception_probability(m, d);
        const double sigma = std::sqrt(n * p * (1.0 - p));
        EXPECT_NEAR(got, n * p, 4.5 * sigma + 1.0) << "at " << d << " m, p = " << p;
        const radiosim::LinkCounters& c = ch.counters(0, 1);
        EXPECT_EQ(c.sent, static_cast<uint64_t>(n));
        EXPECT_EQ(c.droppedModel, static_cast<uint64_t>(n - got));
        EXPECT_EQ(c.droppedRange, 0u);
        EXPECT_EQ(ch.bin(static_cast<size_t>(d / Channel::kBinM)).offered,
                  static_cast<uint64_t>(n));
    }
}

TEST(ChannelModel, NothingArrivesOutOfRangeOrFromAnAbsentStation)
{
    ModelParams m;
    for (double range : {0.0, 100.0}) {
        m.rangeM = range;
        Channel ch = pair_at(radiosim::effective_range(m) + 0.5, 3, m);
        for (int i = 0; i < 10000; ++i) {
            EXPECT_EQ(ch.decide(0, 1).verdict, Verdict::kOutOfRange);
            EXPECT_EQ(ch.decide(1, 0).verdict, Verdict::kOutOfRange);
        }
        EXPECT_EQ(ch.counters(0, 1).droppedRange, 10000u);
        EXPECT_EQ(ch.counters(0, 1).droppedModel, 0u);
    }
    // Side by side, but one of them has left the network.
    Channel ch = pair_at(1.0, 3);
    ch.set_absent(1);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(ch.decide(0, 1).verdict, Verdict::kOutOfRange);
        EXPECT_EQ(ch.decide(1, 0).verdict, Verdict::kOutOfRange);
    }
    ch.set_position(1, 1.0, 0.0);
    EXPECT_EQ(ch.decide(0, 1).verdict, Verdict::kDeliver);
}

TEST(ChannelModel, TheSameSeedGivesTheSameDeliveries)
{
    auto run = [](uint64_t seed, bool otherTraffic) {
        Channel ch(3, ModelParams(), seed);
        ch.set_position(0, 0.0, 0.0);
        ch.set_position(1, 360.0, 0.0);
        ch.set_position(2, 0.0, 340.0);
        std::vector<int64_t> fates;
        for (int i = 0; i < 5000; ++i) {
            ch.begin_frame(0);
            const Decision d = ch.decide(0, 1);
            fates.push_back(d.verdict == Verdict::kDeliver ? d.delayNs : -1);
            if (otherTraffic && i % 3 == 0) {
                ch.begin_frame(2);  // another sender's frames in between
                ch.decide(2, 1);
                ch.decide(2, 0);
            }
        }
        return fates;
    };
    const std::vector<int64_t> a = run(42, false);
    EXPECT_EQ(a, run(42, false));
    // A sender's frames keep their fate whatever the others send meanwhile.
    EXPECT_EQ(a, run(42, true));
    EXPECT_NE(a, run(43, false));
    size_t delivered = 0;
    for (int64_t f : a) {
        delivered += f >= 0 ? 1 : 0;
    }
    EXPECT_GT(delivered, 1000u);  // near the middle of the curve: both fates occur
    EXPECT_LT(delivered, 4000u);
}

TEST(ChannelModel, LatencyStaysWithinItsBounds)
{
    ModelParams m;
    m.latencyMs = 3.0;
    m.jitterMs = 2.0;
    Channel ch = pair_at(5.0, 11, m);
    int64_t lo = INT64_MAX;
    int64_t hi = 0;
    double sum = 0.0;
    const int n = 20000;
    for (int i = 0; i < n; ++i) {
        ch.begin_frame(0);
        const Decision d = ch.decide(0, 1);
        ASSERT_EQ(d.verdict, Verdict::kDeliver);
        EXPECT_GE(d.delayNs, 3000000);
        EXPECT_LT(d.delayNs, 5000000);
        lo = std::min(lo, d.delayNs);
        hi = std::max(hi, d.delayNs);
        sum += static_cast<double>(d.delayNs);
    }
    // The jitter fills its interval: uniform, mean in the middle.
    EXPECT_LT(lo, 3010000);
    EXPECT_GT(hi, 4990000);
    EXPECT_NEAR(sum / n, 4.0e6, 0.03e6);
    m.jitterMs = 0.0;
    Channel fixed = pair_at(5.0, 11, m);
    fixed.begin_frame(0);
    EXPECT_EQ(fixed.decide(0, 1).delayNs, 3000000);
}

// One transmission reaches all its receivers at once: the latency is the
// frame's, the same at every receiver.
TEST(ChannelModel, EveryReceiverOfAFrameGetsItAfterTheSameLatency)
{
    ModelParams m;
    m.jitterMs = 5.0;
    Channel ch(4, m, 2);
    for (size_t i = 0; i < 4; ++i) {
        ch.set_position(i, 10.0 * static_cast<double>(i), 0.0);
    }
    int64_t previous = -1;
    int differs = 0;
    for (int f = 0; f < 100; ++f) {
        ch.begin_frame(0);
        const int64_t first = ch.decide(0, 1).delayNs;
        EXPECT_EQ(ch.decide(0, 2).delayNs, first);
        EXPECT_EQ(ch.decide(0, 3).delayNs, first);
        differs += first != previous ? 1 : 0;
        previous = first;
    }
    EXPECT_GT(differs, 95);  // and from frame to frame it varies
}

TEST(ChannelModel, ThreeStationsOnALineTheMiddleHearsBothTheEndsOnlyTheMiddle)
{
    ModelParams m;
    m.rangeM = 300.0;
    Channel ch(3, m, 1);
    ch.set_position(0, 0.0, 0.0);
    ch.set_position(1, 200.0, 0.0);
    ch.set_position(2, 400.0, 0.0);
    int heard[3][3] = {};
    for (int i = 0; i < 200; ++i) {
        for (size_t a = 0; a < 3; ++a) {
            for (size_t b = 0; b < 3; ++b) {
                if (a != b && ch.decide(a, b).verdict == Verdict::kDeliver) {
                    ++heard[a][b];
                }
            }
        }
    }
    EXPECT_GT(heard[0][1], 150);  // p(200 m) is about 0.97
    EXPECT_GT(heard[2][1], 150);
    EXPECT_GT(heard[1][0], 150);
    EXPECT_GT(heard[1][2], 150);
    EXPECT_EQ(heard[0][2], 0);
    EXPECT_EQ(heard[2][0], 0);
}

TEST(ChannelModel, CountersAsJson)
{
    Channel ch = pair_at(1000.0, 5);
    ch.decide(0, 1);
    ch.decide(0, 1);
    ch.set_position(1, 10.0, 0.0);
    Decision d = ch.decide(1, 0);
    ASSERT_EQ(d.verdict, Verdict::kDeliver);
    ch.count_delivered(1, 0, d.distanceM, d.delayNs, 0);
    const std::string j = radiosim::counters_json(ch, {"a", "b"}, true, 5);
    EXPECT_NE(j.find("{\"from\": \"a\", \"to\": \"b\", \"sent\": 2, \"delivered\": 0, "
                     "\"dropped_range\": 2, \"dropped_model\": 0"),
              std::string::npos)
        << j;
    EXPECT_NE(j.find("{\"from\": \"b\", \"to\": \"a\", \"sent\": 1, \"delivered\": 1, "
                     "\"dropped_range\": 0, \"dropped_model\": 0"),
              std::string::npos)
        << j;
    EXPECT_NE(j.find("\"seed\": 5"), std::string::npos) << j;
    EXPECT_NE(j.find("\"total\": {\"sent\": 3, \"delivered\": 1"), std::string::npos) << j;
    EXPECT_NE(j.find("\"by_distance\": [\n    {\"from_m\": 0, \"to_m\": 25, \"offered\": 1, "
                     "\"delivered\": 1"),
              std::string::npos)
        << j;
    EXPECT_EQ(j.find("\"from\": \"a\", \"to\": \"a\""), std::string::npos) << j;
}

TEST(DeliveryQueue, DeliversInDueOrderOnlyOnceDueByTheInjectedClock)
{
    FakeClock clock;
    DeliveryQueue q(16, 1024, 64);
    const uint8_t f1[] = {1, 2, 3};
    const uint8_t f2[] = {9};
    uint32_t h1 = 0;
    uint32_t h2 = 0;
    ASSERT_TRUE(q.add_frame(f1, sizeof(f1), 0, clock.now_ns(), h1));
    ASSERT_TRUE(q.schedule(h1, 1, 3000, 10.0));
    ASSERT_TRUE(q.schedule(h1, 2, 1000, 20.0));
    ASSERT_TRUE(q.add_frame(f2, sizeof(f2), 2, clock.now_ns(), h2));
    ASSERT_TRUE(q.schedule(h2, 0, 1000, 30.0));  // same due time: scheduled later, goes later
    EXPECT_EQ(q.next_due_ns(), 1000);
    DeliveryQueue::Due d;
    clock.now = 999;
    EXPECT_FALSE(q.pop_due(clock.now_ns(), d));
    clock.now = 1000;
    ASSERT_TRUE(q.pop_due(clock.now_ns(), d));
    EXPECT_EQ(d.to, 2);
    EXPECT_EQ(d.from, 0);
    EXPECT_EQ(d.len, 3u);
    EXPECT_EQ(d.bytes[2], 3);
    EXPECT_EQ(d.distanceM, 20.0);
    q.release(d.frame);
    ASSERT_TRUE(q.pop_due(clock.now_ns(), d));
    EXPECT_EQ(d.to, 0);
    EXPECT_EQ(d.from, 2);
    EXPECT_EQ(d.bytes[0], 9);
    q.release(d.frame);
    EXPECT_FALSE(q.pop_due(clock.now_ns(), d));
    clock.now = 5000;
    ASSERT_TRUE(q.pop_due(clock.now_ns(), d));
    EXPECT_EQ(d.to, 1);
    EXPECT_EQ(d.bytes[0], 1);
    q.release(d.frame);
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.next_due_ns(), -1);
}

TEST(DeliveryQueue, TheArenaWrapsKeepsEveryFrameIntactAndRefusesWhenFull)
{
    DeliveryQueue q(8, 100, 8);
    std::vector<uint8_t> f(40);
    uint32_t h[4];
    for (int k = 0; k < 2; ++k) {
        for (size_t i = 0; i < f.size(); ++i) {
            f[i] = static_cast<uint8_t>(k * 50 + i);
        }
        ASSERT_TRUE(q.add_frame(f.data(), f.size(), 0, 0, h[k]));
        ASSERT_TRUE(q.schedule(h[k], 1, k, 0.0));
    }
    // 80 of 100 bytes used: a third 40-byte frame does not fit.
    EXPECT_FALSE(q.add_frame(f.data(), f.size(), 0, 0, h[2]));
    DeliveryQueue::Due d;
    ASSERT_TRUE(q.pop_due(10, d));
    EXPECT_EQ(d.bytes[0], 0);
    q.release(d.frame);
    // The first 40 bytes are free again: the next frame wraps to the front.
    for (size_t i = 0; i < f.size(); ++i) {
        f[i] = static_cast<uint8_t>(200 + i);
    }
    ASSERT_TRUE(q.add_frame(f.data(), f.size(), 0, 0, h[2]));
    ASSERT_TRUE(q.schedule(h[2], 1, 20, 0.0));
    EXPECT_FALSE(q.add_frame(f.data(), 1, 0, 0, h[3]));  // 100 of 100 in use
    ASSERT_TRUE(q.pop_due(30, d));
    EXPECT_EQ(d.bytes[0], 50);
    EXPECT_EQ(d.bytes[39], 89);
    q.release(d.frame);
    ASSERT_TRUE(q.pop_due(30, d));
    EXPECT_EQ(d.bytes[0], 200);
    EXPECT_EQ(d.bytes[39], 239);
    q.release(d.frame);
    EXPECT_TRUE(q.empty());
    // Empty again: the whole arena is there.
    std::vector<uint8_t> big(100, 7);
    ASSERT_TRUE(q.add_frame(big.data(), big.size(), 0, 0, h[3]));
    q.drop_if_unused(h[3]);
    ASSERT_TRUE(q.add_frame(big.data(), big.size(), 0, 0, h[3]));
    // A frame with no room in the heap is refused by schedule().
    DeliveryQueue small(4, 100, 1);
    uint32_t s = 0;
    ASSERT_TRUE(small.add_frame(f.data(), 1, 0, 0, s));
    EXPECT_TRUE(small.schedule(s, 1, 0, 0.0));
    EXPECT_FALSE(small.schedule(s, 2, 0, 0.0));
}
