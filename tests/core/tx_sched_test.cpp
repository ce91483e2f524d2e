// SPDX-License-Identifier: Apache-2.0
// The transmit scheduler on a clock the test turns by hand: priorities,
// turns between connections, lifetimes, supersede, the 70 ms gap, full
// queues and the stop, each in microseconds of real time.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core_stats.hpp"
#include "cv2x_app.h"
#include "tx_sched.hpp"
#include "v2x_core.h"

namespace {

constexpr uint64_t kGap = TxScheduler::kGapUs;

class ManualRuntime final : public TxRuntime {
public:
    uint64_t now = 5000000000ull;
    int64_t due = -1;  // when the armed timer fires; -1: not armed
    uint64_t now_us() override { return now; }
    void arm(uint64_t aicDelayUs) override { due = static_cast<int64_t>(now + aicDelayUs); }
    void cancel() override { due = -1; }
};

struct Sent {
    uint64_t at;
    uint32_t conn;
    uint8_t tag;  // first byte of the datagram
};

class Recorder final : public TxOutput {
public:
    explicit Recorder(ManualRuntime& aiRt) : rt_(aiRt) {}
    int transmit(const char* aipcMsg, int) override
    {
        last_ = static_cast<uint8_t>(aipcMsg[0]);
        return 0;
    }
    void sent(const TxMeta& aicMeta, uint64_t, int) override { tx.push_back({rt_.now, aicMeta.connId, last_}); }
    void dropped(const TxMeta& aicMeta, TxDrop aicWhy) override { drops.push_back({aicMeta, aicWhy}); }
    void room(uint8_t) override { ++rooms; }

    std::vector<Sent> tx;
    std::vector<std::pair<TxMeta, TxDrop>> drops;
    int rooms = 0;

private:
    ManualRuntime& rt_;
    uint8_t last_ = 0;
};

class TxSched : public ::testing::Test {
protected:
    void SetUp() override { sched->bind(&rt, &out); }

    int submit(uint32_t aicConn, uint8_t aicPrio, uint8_t aicTag, uint32_t aicAid = 26,
               uint32_t aicLifeMs = 0, uint8_t aicSupersede = 0, uint64_t aicCallUs = 0)
    {
        const char msg[3] = {static_cast<char>(aicTag), 1, 2};
        return sched->submit({aicConn, aicAid, aicPrio, aicSupersede, aicLifeMs, aicCallUs}, msg, 3);
    }
    // Fires the timer each time it is due, up to aicUntil.
    void run_until(uint64_t aicUntil)
    {
        while (rt.due >= 0 && static_cast<uint64_t>(rt.due) <= aicUntil) {
            rt.now = static_cast<uint64_t>(rt.due);
            rt.due = -1;
            sched->on_timer();
        }
        rt.now = aicUntil;
    }
    void drain() { run_until(rt.now + 100 * kGap); }
    // The reactive gate at its defaults, on a channel at 0.95.
    void busy_reactive()
    {
        tV2XCongestionCfg c;
        tx_gate_defaults(&c);
        c.rule = V2X_CC_RULE_REACTIVE;
        sched->gate().configure(c);
        sched->on_cbr(950, rt.now);
    }
    std::vector<uint8_t> tags() const
    {
        std::vector<uint8_t> t;
        for (const Sent& s : out.tx) {
            t.push_back(s.tag);
        }
        return t;
    }

    ManualRuntime rt;
    Recorder out{rt};
    std::unique_ptr<TxScheduler> sched = std::make_unique<TxScheduler>();
};

}  // namespace

// The most urgent waiting datagram goes next; 8 and above count as 7. The
// first send of an idle queue leaves at once, every later one a full gap
// after the previous one, however the timer is late or early.
TEST_F(TxSched, MostUrgentFirstAndNeverCloserThanTheGap)
{
    ASSERT_EQ(submit(1, 0, 0xA0), 0);  // out at once
    ASSERT_EQ(out.tx.size(), 1u);
    ASSERT_EQ(submit(1, 0, 0xA1), 0);
    ASSERT_EQ(submit(2, 5, 0xB0), 0);
    ASSERT_EQ(submit(3, 200, 0xC0), 0);
    ASSERT_EQ(submit(2, 5, 0xB1), 0);
    EXPECT_EQ(sched->queued(), 4);
    EXPECT_EQ(sched->queued(7), 1);
    EXPECT_EQ(rt.due, static_cast<int64_t>(rt.now + kGap));
    // A timer that fires early sends nothing and waits for the rest.
    rt.now += kGap - 10;
    sched->on_timer();
    EXPECT_EQ(out.tx.size(), 1u);
    EXPECT_EQ(rt.due, static_cast<int64_t>(rt.now + 10));
    drain();
    EXPECT_EQ(tags(), (std::vector<uint8_t>{0xA0, 0xC0, 0xB0, 0xB1, 0xA1}));
    for (size_t i = 1; i < out.tx.size(); ++i) {
        EXPECT_GE(out.tx[i].at - out.tx[i - 1].at, kGap) << i;
    }
    EXPECT_EQ(sched->queued(), 0);
    EXPECT_EQ(rt.due, -1);  // nothing waits, nothing armed
    // Long after the last send an idle queue sends at once again.
    rt.now += 10 * kGap;
    ASSERT_EQ(submit(1, 0, 0xA2), 0);
    EXPECT_EQ(out.tx.back().tag, 0xA2);
    EXPECT_EQ(sched->queued(), 0);
}

// Connections of one priority take turns; each keeps its own order.
TEST_F(TxSched, OnePriorityTakesTurnsAndKeepsEachConnectionsOrder)
{
    ASSERT_EQ(submit(9, 4, 0x00), 0);  // leaves at once, opens the gap
    for (uint8_t i = 1; i <= 4; ++i) {
        ASSERT_EQ(submit(7, 4, static_cast<uint8_t>(0x70 + i)), 0);
    }
    ASSERT_EQ(submit(3, 4, 0x31), 0);
    ASSERT_EQ(submit(3, 4, 0x32), 0);
    ASSERT_EQ(submit(9, 4, 0x91), 0);
    EXPECT_EQ(sched->queued_by(7), 4);
    EXPECT_EQ(sched->queued_by(7, 4), 4);
    EXPECT_EQ(sched->queued_by(7, 3), 0);
    drain();
    // After 9: 3, 7, 9, then round again among those still waiting.
    EXPECT_EQ(tags(), (std::vector<uint8_t>{0x00, 0x31, 0x71, 0x91, 0x32, 0x72, 0x73, 0x74}));
}

// Each priority has its own places: a full queue refuses only its own
// priority, and a datagram above the largest refuses whatever waits.
TEST_F(TxSched, AFullQueueRefusesOnlyItsOwnPriority)
{
    ASSERT_EQ(submit(1, 0, 0), 0);
    for (int i = 0; i < TxScheduler::kCap; ++i) {
        ASSERT_EQ(submit(1, 0, static_cast<uint8_t>(i)), 0) << i;
    }
    const uint64_t refused = STAT_GET(txFullRefused);
    EXPECT_EQ(sched->room(0), 0);
    EXPECT_EQ(submit(1, 0, 0xEE), -ERR_V2X_TX_FULL);
    EXPECT_EQ(STAT_GET(txFullRefused), refused + 1);
    EXPECT_EQ(sched->room(6), TxScheduler::kCap);
    EXPECT_EQ(submit(2, 6, 0x66), 0);
    std::vector<char> big(TxScheduler::kMaxLen + 1, 4);
    EXPECT_EQ(sched->submit({2, 26, 6, 0, 0, 0}, big.data(), static_cast<int>(big.size())),
              -ERR_V2X_SEND_LEN);
    EXPECT_EQ(sched->submit({2, 26, 6, 0, 0, 0}, big.data(), 0), -ERR_V2X_PARM_CONT);
    run_until(rt.now + kGap);
    EXPECT_EQ(out.tx.back().tag, 0x66);  // ahead of the ten that waited before it
    EXPECT_EQ(sched->queued(), TxScheduler::kCap);
}

// A datagram whose lifetime runs out while it waits is dropped, never sent,
// and its place is free again at once; one with room in its life goes.
TEST_F(TxSched, ExpiredRequestsAreDroppedNeverSent)
{
    const uint64_t expired = STAT_GET(txExpired);
    ASSERT_EQ(submit(1, 7, 0x10), 0);
    for (uint8_t i = 1; i <= 5; ++i) {
        ASSERT_EQ(submit(1, 7, static_cast<uint8_t>(0x10 + i)), 0);
    }
    ASSERT_EQ(submit(2, 3, 0x20, 26, 200), 0);   // 5 gaps of higher priority ahead
    ASSERT_EQ(submit(3, 3, 0x30, 26, 1000), 0);
    const uint64_t start = rt.now;
    run_until(start + 200000 - 1);
    EXPECT_TRUE(out.drops.empty());
    EXPECT_EQ(sched->room(3), TxScheduler::kCap - 2);
    rt.now = start + 200000;  // its deadline: due, whether or not a timer runs
    EXPECT_EQ(sched->room(3), TxScheduler::kCap - 1);
    ASSERT_EQ(out.drops.size(), 1u);
    EXPECT_EQ(out.drops[0].first.connId, 2u);
    EXPECT_EQ(out.drops[0].second, TxDrop::Expired);
    EXPECT_EQ(STAT_GET(txExpired), expired + 1);
    drain();
    for (const Sent& s : out.tx) {
        EXPECT_NE(s.tag, 0x20);
    }
    EXPECT_EQ(out.tx.back().tag, 0x30);
    EXPECT_EQ(out.tx.size(), 7u);
}

// The lifetime counts from the call when the sender says when that was: a
// request that spent its life on the way is dropped as it arrives, even on
// an idle radio; one that waited part of it has only the rest; a call time
// still to come counts as now and lengthens nothing.
TEST_F(TxSched, LifetimeCountsFromTheCall)
{
    rt.now += 10 * kGap;
    ASSERT_EQ(submit(1, 7, 0x01, 26, 100, 0, rt.now - 100000), 0);
    EXPECT_TRUE(out.tx.empty());
    ASSERT_EQ(out.drops.size(), 1u);
    EXPECT_EQ(out.drops[0].second, TxDrop::Expired);
    ASSERT_EQ(submit(1, 7, 0x02, 26, 100, 0, rt.now - 99999), 0);  // out at once, 1 us to spare
    ASSERT_EQ(out.tx.size(), 1u);
    ASSERT_EQ(submit(2, 7, 0x03, 26, 100, 0, rt.now - 60000), 0);  // 40 ms left, the gap is 70
    ASSERT_EQ(submit(3, 7, 0x04, 26, 100, 0, rt.now + 5000000), 0);
    drain();
    EXPECT_EQ(tags(), (std::vector<uint8_t>{0x02, 0x04}));
    EXPECT_EQ(out.drops.size(), 2u);
}

// A superseding request drops what its connection still has waiting for
// the same AID, and only that: five in a row leave one datagram, the newest.
TEST_F(TxSched, SupersedeLeavesTheNewestOfItsConnectionAndAid)
{
    const uint64_t superseded = STAT_GET(txSuperseded);
    ASSERT_EQ(submit(1, 0, 0x01, 99), 0);  // out at once
    ASSERT_EQ(submit(2, 5, 0x20, 26), 0);  // another connection, same AID
    ASSERT_EQ(submit(1, 5, 0x40, 27), 0);  // same connection, other AID
    for (uint8_t i = 0; i < 5; ++i) {
        ASSERT_EQ(submit(1, static_cast<uint8_t>(i % 2 == 0 ? 6 : 2), static_cast<uint8_t>(0x50 + i), 26,
                         0, 1),
                  0);
    }
    EXPECT_EQ(sched->queued(), 3);
    EXPECT_EQ(out.drops.size(), 4u);
    EXPECT_EQ(STAT_GET(txSuperseded), superseded + 4);
    for (const auto& d : out.drops) {
        EXPECT_EQ(d.second, TxDrop::Superseded);
        EXPECT_EQ(d.first.connId, 1u);
    }
    drain();
    EXPECT_EQ(tags(), (std::vector<uint8_t>{0x01, 0x54, 0x40, 0x20}));
}

// The stop drops what waits, says so to the owner with the reason, and
// leaves no timer behind; the gap still holds after a new start.
TEST_F(TxSched, StopDropsWhatWaitsAndTheGapHoldsAcrossIt)
{
    const uint64_t atExit = STAT_GET(txDroppedAtExit);
    ASSERT_EQ(submit(1, 1, 0x01), 0);
    ASSERT_EQ(submit(1, 1, 0x02), 0);
    ASSERT_EQ(submit(2, 4, 0x03), 0);
    EXPECT_EQ(sched->drop_all(), 2);
    EXPECT_EQ(rt.due, -1);
    EXPECT_EQ(sched->queued(), 0);
    EXPECT_EQ(STAT_GET(txDroppedAtExit), atExit + 2);
    ASSERT_EQ(out.drops.size(), 2u);
    EXPECT_EQ(out.drops[1].second, TxDrop::AtExit);
    EXPECT_EQ(sched->drop_all(), 0);
    rt.now += 1000;
    ASSERT_EQ(submit(1, 1, 0x04), 0);
    EXPECT_EQ(out.tx.size(), 1u);  // queued: the gap after 0x01 has not passed
    drain();
    EXPECT_EQ(out.tx.back().tag, 0x04);
    EXPECT_GE(out.tx[1].at - out.tx[0].at, kGap);
}

// A filled datagram is written once, where it leaves from: at once into the
// send-now buffer, else into its queue place; never for one refused or
// dropped on arrival.
TEST_F(TxSched, FilledDatagramsAreWrittenOnceWhereTheyLeaveFrom)
{
    struct Fill {
        uint8_t tag;
        int calls;
    };
    const TxFill fill = [](char* aopBuf, const void* aipCtx) {
        auto* f = static_cast<Fill*>(const_cast<void*>(aipCtx));
        aopBuf[0] = static_cast<char>(f->tag);
        ++f->calls;
    };
    Fill now{0x51, 0};
    ASSERT_EQ(sched->submit_fill({1, 26, 3, 0, 0, 0}, 3, fill, &now), 0);
    EXPECT_EQ(now.calls, 1);
    Fill waits{0x52, 0};
    ASSERT_EQ(sched->submit_fill({1, 26, 3, 0, 0, 0}, 3, fill, &waits), 0);
    EXPECT_EQ(waits.calls, 1);
    // Expired on arrival and refused for a full queue: never written.
    Fill late{0x53, 0};
    EXPECT_EQ(sched->submit_fill({1, 26, 3, 0, 1, rt.now - 5000}, 3, fill, &late), 0);
    for (int i = 1; i < TxScheduler::kCap; ++i) {
        ASSERT_EQ(submit(2, 3, 0x60), 0);
    }
    Fill full{0x54, 0};
    EXPECT_EQ(sched->submit_fill({1, 26, 3, 0, 0, 0}, 3, fill, &full), -ERR_V2X_TX_FULL);
    EXPECT_EQ(late.calls + full.calls, 0);
    EXPECT_EQ(sched->submit_fill({1, 26, 3, 0, 0, 0}, 3, nullptr, &full), -ERR_V2X_PARM_CONT);
    drain();
    ASSERT_GE(out.tx.size(), 2u);
    EXPECT_EQ(out.tx[0].tag, 0x51);
    EXPECT_EQ(out.tx[1].tag, 0x52);
}

// The congestion gate in front of the queues: on a busy channel priority 2
// waits the table's 250 ms after its last datagram while 7 goes at the
// radio's gap; what waits at the gate is superseded or expires there and is
// counted apart; a CBR that goes stale lets the rest go.
TEST_F(TxSched, GateHoldsLowPrioritiesWhereSupersedeAndLifetimeStillAct)
{
    busy_reactive();
    const uint64_t t0 = rt.now;
    const uint64_t sup0 = STAT_GET(txGatedSuperseded);
    const uint64_t exp0 = STAT_GET(txGatedExpired);
    const uint64_t plainExp0 = STAT_GET(txExpired);
    ASSERT_EQ(submit(1, 2, 0x20, 40), 0);  // out at once
    ASSERT_EQ(submit(1, 2, 0x21, 40, 0, 1), 0);
    ASSERT_EQ(submit(1, 2, 0x22, 40, 0, 1), 0);  // supersedes 0x21 at the gate
    ASSERT_EQ(submit(2, 2, 0x23, 41, 100), 0);   // expires at the gate
    ASSERT_EQ(submit(3, 7, 0x70), 0);
    run_until(t0 + 300000);
    ASSERT_EQ(tags(), (std::vector<uint8_t>{0x20, 0x70, 0x22}));
    EXPECT_EQ(out.tx[1].at, t0 + kGap);          // 7: the radio's gap only
    EXPECT_EQ(out.tx[2].at, t0 + 250000);        // 2: the gate's 250 ms
    ASSERT_EQ(out.drops.size(), 2u);
    EXPECT_EQ(out.drops[0].second, TxDrop::GatedSuperseded);
    EXPECT_EQ(out.drops[1].second, TxDrop::GatedExpired);
    EXPECT_EQ(STAT_GET(txGatedSuperseded), sup0 + 1);
    EXPECT_EQ(STAT_GET(txGatedExpired), exp0 + 1);
    EXPECT_EQ(STAT_GET(txExpired), plainExp0);
    // 250 ms after 0x22 the gate is open again: out at once.
    run_until(t0 + 900000);
    ASSERT_EQ(submit(1, 2, 0x24, 42), 0);
    EXPECT_EQ(out.tx.back().tag, 0x24);
    // The next would wait 250 ms, but the CBR goes stale at t0 + 1 s...
    ASSERT_EQ(submit(1, 2, 0x25, 43), 0);
    EXPECT_EQ(rt.due, static_cast<int64_t>(t0 + 1000000));
    run_until(t0 + 1000000);
    EXPECT_EQ(out.tx.back().tag, 0x25);
    // ...and with no CBR the gate is open: one gap apart, as before.
    ASSERT_EQ(submit(1, 2, 0x26, 44), 0);
    drain();
    EXPECT_EQ(out.tx.back().tag, 0x26);
    EXPECT_EQ(out.tx.back().at, t0 + 1000000 + kGap);
}

// A report that opens the gate sooner wakes the queue sooner.
TEST_F(TxSched, LowerCbrReArmsTheGateEarlier)
{
    busy_reactive();
    const uint64_t t0 = rt.now;
    ASSERT_EQ(submit(1, 0, 0x01), 0);
    ASSERT_EQ(submit(1, 0, 0x02), 0);
    EXPECT_EQ(rt.due, static_cast<int64_t>(t0 + 250000));
    rt.now = t0 + 10000;
    sched->on_cbr(100, rt.now);  // smoothed 525: 25 ms
    EXPECT_EQ(rt.due, static_cast<int64_t>(t0 + kGap));
    drain();
    EXPECT_EQ(out.tx.back().at, t0 + kGap);
}
