// SPDX-License-Identifier: Apache-2.0
// radio-sim's sidelink model on small hand-checked cases: subframes are
// given by the test, draws come from seeded streams, no real time passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "../../tools/radio-sim/sidelink.h"

namespace {

using radiosim::Sidelink;
using radiosim::SidelinkParams;
using radiosim::SlLoss;
using radiosim::SlReception;

struct Recorder : radiosim::SlSink {
    std::vector<SlReception> got;
    std::vector<int64_t> airSf;
    std::vector<uint64_t> dropped;
    void on_drop(uint32_t, uint64_t tag, int64_t) override { dropped.push_back(tag); }
    void on_transmit(uint32_t, uint64_t, int64_t sf, int64_t, int, int) override
    {
        airSf.push_back(sf);
    }
    void on_reception(const SlReception& r) override { got.push_back(r); }
    size_t count(uint32_t from, uint32_t to, SlLoss l) const
    {
        size_t n = 0;
        for (const SlReception& r : got) {
            n += (r.from == from && r.to == to && r.loss == l) ? 1 : 0;
        }
        return n;
    }
};

// No shadowing and no measurement error: every outcome follows from the
// geometry. A one-subframe selection window puts a message in the subframe
// after the one it was handed over in.
SidelinkParams exact(int subchannels = 1, int window = 1)
{
    SidelinkParams p;
    p.shadowSigmaDb = 0.0;
    p.rssiErrorDb = 0.0;
    p.subchannels = subchannels;
    p.selectionWindowMs = window;
    return p;
}

void run_until(Sidelink& sl, int64_t sf, Recorder& rec)
{
    while (sl.next_subframe() >= 0 && sl.next_subframe() <= sf) {
        sl.run_subframe(sl.next_subframe(), rec);
    }
}

TEST(Sidelink, PathLossFollowsWinnerB1WithTheFreeSpaceFloor)
{
    const SidelinkParams p;  // 5.91 GHz, 1.5 m: breakpoint at 177.3 m
    // 10 m and 100 m: free space is the larger; 300 m: beyond the breakpoint.
    EXPECT_NEAR(radiosim::sidelink_path_loss_db(p, 10.0), 67.852, 0.01);
    EXPECT_NEAR(radiosim::sidelink_path_loss_db(p, 100.0), 87.852, 0.01);
    EXPECT_NEAR(radiosim::sidelink_path_loss_db(p, 150.0), 22.7 * 2.17609 + 27.0 + 15.4323, 0.01);
    EXPECT_NEAR(radiosim::sidelink_path_loss_db(p, 300.0), 102.635, 0.01);
    EXPECT_NEAR(radiosim::sidelink_path_loss_db(p, 500.0), 111.509, 0.01);
    EXPECT_DOUBLE_EQ(radiosim::sidelink_path_loss_db(p, 0.0),
                     radiosim::sidelink_path_loss_db(p, 3.0));
}

TEST(Sidelink, MessagesTakeTheSubchannelsTheirSizeNeeds)
{
    SidelinkParams p;  // 4 sub-channels of 12 blocks, MCS 9
    Sidelink sl(1, p, 1);
    EXPECT_EQ(sl.subchannels_for(190), 1);  // 10 data blocks carry 1544 bits
    EXPECT_EQ(sl.subchannels_for(194), 2);  // 1552 bits do not fit them
    EXPECT_EQ(sl.subchannels_for(300), 2);
    EXPECT_EQ(sl.subchannels_for(903), 4);  // 46 blocks: 7224 bits
    EXPECT_EQ(sl.subchannels_for(904), 0);
    EXPECT_EQ(sl.submit(0, 904, 0, 7), -1);
    EXPECT_EQ(sl.station(0).tooLarge, 1u);
    // MCS 10 (QPSK) and 11 (16-QAM) carry the same 1736 bits on 10 blocks.
    EXPECT_EQ(radiosim::sidelink_itbs(10), radiosim::sidelink_itbs(11));
    EXPECT_EQ(radiosim::sidelink_qm(10) * 2, radiosim::sidelink_qm(11));
    p.mcs = 11;
    EXPECT_EQ(Sidelink(1, p, 1).subchannels_for(217), 1);
    EXPECT_EQ(Sidelink(1, p, 1).subchannels_for(218), 2);
    p.mcs = 9;
    std::string err;
    p.subchannels = 5;  // 60 blocks
    EXPECT_FALSE(radiosim::check_sidelink(p, err));
    EXPECT_NE(err.find("subchannels"), std::string::npos) << err;
    p.subchannels = 4;
    p.reservationMs = 70;
    EXPECT_FALSE(radiosim::check_sidelink(p, err));
}

TEST(Sidelink, TwoStationsOnTheSameResourceCollideAtTheStationBetween)
{
    // One sub-channel and a one-subframe window leave A and C the same
    // resource whatever they sense; B, between them, hears both alike.
    Sidelink sl(3, exact(), 3);
    sl.set_position(0, 0.0, 0.0);
    sl.set_position(1, 100.0, 0.0);
    sl.set_position(2, 200.0, 0.0);
    Recorder rec;
    EXPECT_EQ(sl.submit(0, 190, 10, 1), 11);
    EXPECT_EQ(sl.submit(2, 190, 10, 2), 11);
    run_until(sl, 11, rec);
    EXPECT_EQ(rec.count(0, 1, SlLoss::kCollision), 1u);
    EXPECT_EQ(rec.count(2, 1, SlLoss::kCollision), 1u);
    EXPECT_EQ(rec.count(0, 2, SlLoss::kHalfDuplex), 1u);
    EXPECT_EQ(sl.total(SlLoss::kCollision), 2u);
    // Alone on the air, on its reservation a period later, A reaches B.
    EXPECT_EQ(sl.submit(0, 190, 50, 3), 111);
    run_until(sl, 111, rec);
    EXPECT_EQ(rec.count(0, 1, SlLoss::kNone), 1u);
}

TEST(Sidelink, HalfDuplexDropsExactlyTheSubframesBothTransmitIn)
{
    Sidelink sl(2, exact(2), 5);
    sl.enable_link_counters();
    sl.set_position(0, 0.0, 0.0);
    sl.set_position(1, 50.0, 0.0);
    Recorder rec;
    // Both reserve subframe 1 (+100 k). B's message at 60 finds its next
    // reserved subframe (101) taken by the one of 50: it goes alone at 61.
    EXPECT_EQ(sl.submit(0, 190, 0, 0), 1);
    EXPECT_EQ(sl.submit(1, 190, 0, 0), 1);
    run_until(sl, 1, rec);
    EXPECT_EQ(sl.submit(1, 190, 50, 0), 101);
    EXPECT_EQ(sl.submit(1, 190, 60, 0), 61);
    EXPECT_EQ(sl.submit(0, 190, 100, 0), 101);
    run_until(sl, 101, rec);
    EXPECT_EQ(sl.station(1).oneShots, 1u);
    const radiosim::SlLinkCounters* ab = sl.link(0, 1);
    const radiosim::SlLinkCounters* ba = sl.link(1, 0);
    ASSERT_NE(ab, nullptr);
    EXPECT_EQ(ab->sent, 2u);
    EXPECT_EQ(ab->halfDuplex, 2u);  // subframes 1 and 101
    EXPECT_EQ(ba->sent, 3u);
    EXPECT_EQ(ba->halfDuplex, 2u);
    EXPECT_EQ(ba->received, 1u);  // 61
    EXPECT_EQ(ab->received + ab->collision + ab->sensitivity + ab->propagation, 0u);
}

TEST(Sidelink, AStationThatLeavesLosesWhatItHadWaitingEvenIfItComesBack)
{
    Sidelink sl(2, exact(1, 20), 4);
    sl.set_position(0, 0.0, 0.0);
    sl.set_position(1, 30.0, 0.0);
    Recorder rec;
    ASSERT_GT(sl.submit(0, 190, 0, 41), 0);
    sl.set_absent(0);
    sl.set_position(0, 5.0, 0.0);  // back before its subframe
    run_until(sl, 100, rec);
    EXPECT_EQ(rec.dropped, std::vector<uint64_t>{41});
    EXPECT_TRUE(rec.airSf.empty());
    EXPECT_TRUE(rec.got.empty());
    // It selects anew and is heard again.
    const int64_t sf = sl.submit(0, 190, 100, 42);
    run_until(sl, sf, rec);
    EXPECT_EQ(rec.count(0, 1, SlLoss::kNone), 1u);
    EXPECT_EQ(sl.station(0).absent, 1u);
}

TEST(Sidelink, ReselectionCountersStayInTheirRange)
{
    for (int period : {100, 50, 20}) {
        SidelinkParams p;
        p.reservationMs = period;
        p.selectionWindowMs = period;
        Sidelink sl(1, p, 11);
        Recorder rec;
        const int lo = period == 100 ? 5 : period == 50 ? 10 : 25;
        uint64_t selections = 0;
        int seenLo = 1000;
        int seenHi = 0;
        const int64_t messages = 80 * lo;
        for (int64_t t = 0; t < messages * period; t += period) {
            sl.submit(0, 190, t, 0);
            Sidelink::Reservation r;
            ASSERT_TRUE(sl.reservation(0, r));
            if (sl.station(0).selections != selections) {
                selections = sl.station(0).selections;
                seenLo = std::min(seenLo, r.counter);
                seenHi = std::max(seenHi, r.counter);
            }
            run_until(sl, t + period, rec);
        }
        EXPECT_GE(seenLo, lo) << period;
        EXPECT_LE(seenHi, 3 * lo) << period;
        EXPECT_GT(selections, 20u) << period;
        EXPECT_EQ(sl.station(0).transmissions, static_cast<uint64_t>(messages)) << period;
    }
}

TEST(Sidelink, BusyRatioAndOccupancyOfAKnownPattern)
{
    // T sends one sub-channel every 100 ms next to L; F is too far for L to
    // measure anything above -94 dBm.
    Sidelink sl(3, exact(4, 1), 2);
    sl.set_position(0, 0.0, 0.0);
    sl.set_position(1, 20.0, 0.0);
    sl.set_position(2, 3000.0, 0.0);
    Recorder rec;
    for (int64_t t = 0; t < 1000; t += 100) {
        sl.submit(0, 190, t, 0);
        sl.submit(2, 190, t + 50, 0);
        run_until(sl, t + 99, rec);
    }
    // T went out at 1, 101, ... 901; F at 51 ... 951. The 100 subframes up
    // to 1000 hold T's 901: one busy sub-channel of 400.
    EXPECT_DOUBLE_EQ(sl.cbr(1, 1000), 1.0 / 400.0);
    EXPECT_DOUBLE_EQ(sl.cbr(1, 1001), 0.0);
    EXPECT_DOUBLE_EQ(sl.cr(0, 1000), 10.0 / 4000.0);
    EXPECT_DOUBLE_EQ(sl.cr(0, 1101), 8.0 / 4000.0);  // 201 ... 901
}

TEST(Sidelink, TheSameSeedGivesTheSameAir)
{
    auto run = [](uint64_t seed) {
        SidelinkParams p;
        Sidelink sl(30, p, seed);
        for (size_t i = 0; i < 30; ++i) {
            sl.set_position(i, 37.0 * static_cast<double>(i), 0.0);
        }
        Recorder rec;
        for (int64_t t = 0; t < 3000; ++t) {
            if (t % 100 < 30) {
                sl.submit(static_cast<size_t>(t % 100), 190, t, static_cast<uint64_t>(t));
            }
            sl.run_subframe(t, rec);
        }
        std::vector<int> fates;
        for (const SlReception& r : rec.got) {
            fates.push_back(static_cast<int>(r.loss) * 1000000 + static_cast<int>(r.subframe));
        }
        return fates;
    };
    const std::vector<int> a = run(9);
    EXPECT_GT(a.size(), 10000u);
    EXPECT_EQ(a, run(9));
    EXPECT_NE(a, run(10));
}

}  // namespace
