// SPDX-License-Identifier: Apache-2.0
// The congestion gate on a clock the test turns by hand, the CBR report's
// bytes, and the radio link's handling of reports that are good and bad.
#include <gtest/gtest.h>

#include <math.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "cbr_rpt.hpp"
#include "core_harness.h"
#include "core_stats.hpp"
#include "rlink.hpp"
#include "test_support.h"
#include "tx_gate.hpp"

#define OFF(f) offsetof(tV2XCoreStats, f)

namespace {

constexpr uint64_t kT0 = 9000000000ull;
constexpr uint64_t kMs = 1000;

tV2XCongestionCfg cfg_of(uint32_t aicRule)
{
    tV2XCongestionCfg c;
    tx_gate_defaults(&c);
    c.rule = aicRule;
    return c;
}

// A gate that has heard one report of aicPermille at kT0.
TxGate gate_at(uint32_t aicRule, uint16_t aicPermille)
{
    TxGate g;
    g.configure(cfg_of(aicRule));
    g.on_cbr(aicPermille, kT0, kT0);
    return g;
}

bool grown(const v2xtest::StatDelta& d, size_t aicOff, uint64_t aicBy)
{
    return v2xtest::wait_for([&] { return d(aicOff) >= aicBy; });
}

uint64_t real_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

std::vector<uint8_t> report(uint16_t aicPermille, uint64_t aicMeasMs)
{
    std::vector<uint8_t> b(kCbrRptDgramLen);
    rlink_cbr_rpt_encode({aicPermille, aicMeasMs}, b.data());
    return b;
}

int rx(const std::vector<uint8_t>& aicDgram)
{
    // What the link hands over: the bytes after the type byte.
    return rlink_cbr_rx(reinterpret_cast<const char*>(aicDgram.data()) + 1,
                        static_cast<int>(aicDgram.size()) - 1);
}

}  // namespace

TEST(TxGateCfg, DefaultsPassAndEveryBadFieldIsRefused)
{
    tV2XCongestionCfg c = cfg_of(V2X_CC_RULE_ADAPTIVE);
    ASSERT_EQ(tx_gate_check(&c), 0);
    ASSERT_EQ(v2x_core_set_congestion(nullptr), 0);
    const std::vector<void (*)(tV2XCongestionCfg&)> bad = {
        [](tV2XCongestionCfg& x) { x.size = 8; },
        [](tV2XCongestionCfg& x) { x.rule = 3; },
        [](tV2XCongestionCfg& x) { x.ungatedMask = 0x100; },
        [](tV2XCongestionCfg& x) { x.staleMs = 0; },
        [](tV2XCongestionCfg& x) { x.occupancyUs = 0; },
        [](tV2XCongestionCfg& x) { x.rangeCnt = 0; },
        [](tV2XCongestionCfg& x) { x.rangeCnt = V2X_CC_RANGES_MAX + 1; },
        [](tV2XCongestionCfg& x) { x.range[1].cbrMaxPermille = 300; },  // not rising
        [](tV2XCongestionCfg& x) { x.range[3].cbrMaxPermille = 999; },  // last not 1000
        [](tV2XCongestionCfg& x) { x.range[2].rsvd = 1; },
        [](tV2XCongestionCfg& x) { x.range[0].gapMs[3] = 10001; },
        [](tV2XCongestionCfg& x) { x.alpha = 0.0; },
        [](tV2XCongestionCfg& x) { x.beta = NAN; },
        [](tV2XCongestionCfg& x) { x.target = 1.0; },
        [](tV2XCongestionCfg& x) { x.dutyMin = 0.05; },  // above max
        [](tV2XCongestionCfg& x) { x.periodMs = 0; },
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        tV2XCongestionCfg b = c;
        bad[i](b);
        EXPECT_EQ(tx_gate_check(&b), -ERR_V2X_PARM_CONT) << i;
        EXPECT_EQ(v2x_core_set_congestion(&b), -ERR_V2X_PARM_CONT) << i;
    }
}

// Each CBR range gives each priority the table's gap; 7 is never held, and
// the gap runs from the last datagram of the same priority.
TEST(TxGate, ReactiveFollowsTheTableByCbrRange)
{
    struct Step {
        uint16_t cbr;
        uint64_t p2, p4, p6;  // ms
    };
    for (const Step s : {Step{0, 0, 0, 0}, Step{300, 0, 0, 0}, Step{301, 25, 17, 0},
                         Step{700, 125, 83, 25}, Step{1000, 250, 167, 25}}) {
        TxGate g = gate_at(V2X_CC_RULE_REACTIVE, s.cbr);
        EXPECT_EQ(g.interval_us(2, kT0), s.p2 * kMs) << s.cbr;
        EXPECT_EQ(g.interval_us(4, kT0), s.p4 * kMs) << s.cbr;
        EXPECT_EQ(g.interval_us(6, kT0), s.p6 * kMs) << s.cbr;
        EXPECT_EQ(g.interval_us(7, kT0), 0u) << s.cbr;
    }
    TxGate g = gate_at(V2X_CC_RULE_REACTIVE, 900);
    EXPECT_LE(g.open_at(2, kT0), kT0);  // nothing sent yet
    g.on_sent(2, kT0);
    g.on_sent(7, kT0);
    EXPECT_EQ(g.open_at(2, kT0 + kMs), kT0 + 250 * kMs);
    EXPECT_LE(g.open_at(4, kT0 + kMs), kT0 + kMs);  // its own priority's gap
    EXPECT_LE(g.open_at(7, kT0 + kMs), kT0 + kMs);
    // The smoothed value is the mean of the new report and the one before.
    g.on_cbr(500, kT0 + 100 * kMs, kT0 + 100 * kMs);
    EXPECT_EQ(g.cbr_last(), 500);
    EXPECT_EQ(g.cbr_smoothed(), 700);
    EXPECT_EQ(g.interval_us(2, kT0 + 100 * kMs), 125 * kMs);
    // The rule off holds nothing, whatever the channel.
    TxGate off = gate_at(V2X_CC_RULE_OFF, 1000);
    off.on_sent(2, kT0);
    EXPECT_EQ(off.interval_us(2, kT0), 0u);
    EXPECT_LE(off.open_at(2, kT0 + 1), kT0 + 1);
}

// A CBR measured a second ago or longer says nothing: the gate opens, also
// for a datagram it was holding.
TEST(TxGate, StaleCbrOpensTheGate)
{
    TxGate g = gate_at(V2X_CC_RULE_REACTIVE, 950);
    g.on_sent(0, kT0);
    EXPECT_TRUE(g.cbr_known(kT0 + 999 * kMs));
    EXPECT_FALSE(g.cbr_known(kT0 + 1000 * kMs));
    EXPECT_EQ(g.interval_us(0, kT0 + 1000 * kMs), 0u);
    // Held for 250 ms at most, and never past the staleness.
    tV2XCongestionCfg c = cfg_of(V2X_CC_RULE_REACTIVE);
    c.staleMs = 100;
    g.configure(c);
    EXPECT_EQ(g.open_at(0, kT0 + kMs), kT0 + 100 * kMs);
    // An old report after the pause starts the smoothing afresh.
    g.on_cbr(100, kT0 + 5000 * kMs, kT0 + 5000 * kMs);
    EXPECT_EQ(g.cbr_smoothed(), 100);
}

// LIMERIC on a constant CBR settles where its step stands still:
// d = beta (target - cbr) / alpha, within [min, max]; the gap is the
// datagram's channel time over d, at most maxGapMs.
TEST(TxGate, AdaptiveConvergesOnAConstantCbr)
{
    for (const uint16_t cbr : {500, 670, 900}) {
        TxGate g;
        const tV2XCongestionCfg c = cfg_of(V2X_CC_RULE_ADAPTIVE);
        g.configure(c);
        EXPECT_DOUBLE_EQ(g.duty(), c.dutyMax);  // starts open
        for (uint64_t t = kT0; t < kT0 + 120000 * kMs; t += 100 * kMs) {
            g.on_cbr(cbr, t, t);
        }
        double want = c.beta * (c.target - cbr / 1000.0) / c.alpha;
        want = want < c.dutyMin ? c.dutyMin : want > c.dutyMax ? c.dutyMax : want;
        EXPECT_NEAR(g.duty(), want, 1e-5) << cbr;
        const uint64_t now = kT0 + 120000 * kMs;
        double gap = c.occupancyUs / want;
        gap = gap > c.maxGapMs * 1000.0 ? c.maxGapMs * 1000.0 : gap;
        EXPECT_NEAR(static_cast<double>(g.interval_us(3, now)), gap, gap * 0.01) << cbr;
        EXPECT_EQ(g.interval_us(7, now), 0u);
        // One gap for the station: any gated priority's datagram counts.
        g.on_sent(1, now);
        EXPECT_GT(g.open_at(5, now), now);
    }
}

// The CBR report: the encoder's bytes, and the decoder on them, cut short,
// run long, and with each field out of range.
TEST(CbrReport, BytesAndEveryRefusal)
{
    const std::vector<uint8_t> want = {0x85, 0x01, 0x10, 0x00, 0x00, 0x02, 0xA8, 0x00, 0x00,
                                       0x00, 0x00, 0x01, 0x93, 0x2B, 0x00, 0x4C, 0xD2};
    const std::vector<uint8_t> got = report(680, 0x01932B004CD2ull);
    ASSERT_EQ(got, want);
    RlinkCbrRpt r;
    ASSERT_EQ(rlink_cbr_rpt_decode(want.data() + 1, want.size() - 1, &r), RlinkCbrRc::Ok);
    EXPECT_EQ(r.cbrPermille, 680);
    EXPECT_EQ(r.measTimeMs, 0x01932B004CD2ull);
    for (size_t n = 0; n < want.size() - 1; ++n) {
        EXPECT_EQ(rlink_cbr_rpt_decode(want.data() + 1, n, &r), RlinkCbrRc::Short) << n;
    }
    std::vector<uint8_t> longer(want.begin() + 1, want.end());
    longer.push_back(0);
    EXPECT_EQ(rlink_cbr_rpt_decode(longer.data(), longer.size(), &r), RlinkCbrRc::Long);
    for (const auto& f : {std::make_pair<size_t, uint8_t>(1, 2),
                                               {2, 17},
                                               {3, 1},
                                               {5, 0x04},  // CBR 1192
                                               {8, 1}}) {
        std::vector<uint8_t> b = want;
        b[f.first] = f.second;
        EXPECT_EQ(rlink_cbr_rpt_decode(b.data() + 1, b.size() - 1, &r), RlinkCbrRc::Bad) << f.first;
    }
}

// The link applies a good report and counts each bad one by its reason,
// never applying it.
TEST(CbrReport, LinkCountsDropsAndAppliesOnlyGoodReports)
{
    const uint64_t rep0 = STAT_GET(cbrReports);
    const uint64_t len0 = STAT_GET(cbrDropLen);
    const uint64_t bad0 = STAT_GET(cbrDropBad);
    const uint64_t fut0 = STAT_GET(cbrDropFuture);
    const uint64_t now = real_ms();
    ASSERT_EQ(rx(report(420, now - 50)), 0);
    EXPECT_EQ(STAT_GET(cbrReports), rep0 + 1);
    EXPECT_EQ(rlink_state().sched.gate().cbr_last(), 420);
    std::vector<uint8_t> cut = report(999, now);
    cut.pop_back();
    std::vector<uint8_t> lng = report(999, now);
    lng.push_back(0);
    std::vector<uint8_t> over = report(999, now);
    over[6] = 0xE9;  // 1001
    EXPECT_NE(rx(cut), 0);
    EXPECT_NE(rx(lng), 0);
    EXPECT_NE(rx(over), 0);
    EXPECT_NE(rx(report(999, now + 60000)), 0);  // a minute ahead
    EXPECT_EQ(STAT_GET(cbrDropLen), len0 + 2);
    EXPECT_EQ(STAT_GET(cbrDropBad), bad0 + 1);
    EXPECT_EQ(STAT_GET(cbrDropFuture), fut0 + 1);
    EXPECT_EQ(STAT_GET(cbrReports), rep0 + 1);
    EXPECT_EQ(rlink_state().sched.gate().cbr_last(), 420);
    // As the counters show it: the value, and its age from the
    // measurement's time (50 ms and the test's own time).
    tV2XCoreStats st;
    st.size = sizeof(st);
    ASSERT_EQ(v2x_core_stats(&st), 0);
    EXPECT_EQ(+st.cbrLast, 420u);
    EXPECT_GE(+st.cbrAgeMs, 40u);
    EXPECT_LT(+st.cbrAgeMs, 60000u);
}

// On a running core: the module's report over UDP closes the gate for
// priority 2, a connection's superseding requests are replaced at the gate
// and the connection's record says so; priority 7 goes on meanwhile.
TEST(CbrReport, RunningCoreGatesAConnectionAndCountsItsDrops)
{
    tV2XCongestionCfg c;
    ASSERT_EQ(v2x_core_congestion_defaults(&c), 0);
    c.rule = V2X_CC_RULE_REACTIVE;
    ASSERT_EQ(v2x_core_set_congestion(&c), 0);
    {
        v2xtest::CoreHarness core;
        ASSERT_TRUE(core.started());
        v2xtest::StatDelta d;
        // Three in a row: the smoothed CBR is above 0.8 whatever came before.
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(core.air_send(report(1000, real_ms())));
        }
        ASSERT_TRUE(grown(d, OFF(cbrReports), 3));
        const int a = core.connect_app();
        ASSERT_GE(a, 0);
        // Once one of priority 2 has left, the gate holds the next three
        // for 250 ms, where the newest replaces the two before it; 7 goes
        // meanwhile.
        ASSERT_TRUE(v2xtest::write_all(a, v2xtest::dsm_req_ex(40, {0}, 2, 0, 1)));
        ASSERT_TRUE(grown(d, OFF(txDatagrams), 1));
        for (uint8_t i = 1; i < 4; ++i) {
            ASSERT_TRUE(v2xtest::write_all(a, v2xtest::dsm_req_ex(40, {i}, 2, 0, 1)));
        }
        ASSERT_TRUE(v2xtest::write_all(a, v2xtest::dsm_req_ex(41, {9}, 7, 0, 0)));
        ASSERT_TRUE(grown(d, OFF(txGatedSuperseded), 2));
        ASSERT_TRUE(grown(d, OFF(txDatagrams), 2));
        EXPECT_EQ(d(OFF(txSuperseded)), 0u);
        EXPECT_GE(d(OFF(txGateHeld)), 3u);
        const v2xtest::CtlAnswer ans = v2xtest::ctl_query(a, V2X_CTL_CLIENTS);
        ASSERT_EQ(ans.head.recSize, sizeof(tV2XCtlClientEx));
        const auto r = v2xtest::rec_at<tV2XCtlClientEx>(ans, 1);
        EXPECT_EQ(+r.txGatedSuperseded, 2u);
        EXPECT_EQ(+r.c.txSuperseded, 0u);
        tV2XCoreStats st;
        st.size = sizeof(st);
        ASSERT_EQ(v2x_core_stats(&st), 0);
        EXPECT_EQ(+st.ccRule, V2X_CC_RULE_REACTIVE);
        EXPECT_EQ(+st.ccIntervalUs[2], 250000u);
        EXPECT_EQ(+st.ccIntervalUs[7], 0u);
    }
    ASSERT_EQ(v2x_core_set_congestion(nullptr), 0);
}
