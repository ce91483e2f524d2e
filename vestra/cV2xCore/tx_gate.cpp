// SPDX-License-Identifier: Apache-2.0
// The congestion gate: the CBR the module reported, and the gap each rule
// sets from it.
#include "tx_gate.hpp"

#include <string.h>

#include "v2x_types.h"

namespace {

constexpr uint32_t kMaxGapMs = 10000;
constexpr uint32_t kMaxPeriodMs = 60000;
constexpr uint32_t kMaxOccupancyUs = 1000000;
// A long pause between steps (no report for a while: the gate was open) is
// caught up by this many steps at most, so no call does unbounded work.
constexpr int kMaxCatchUp = 16;

// The reactive defaults: the gap that keeps one station's channel occupancy
// within the per-priority CR limits of ETSI TS 103 574 (3GPP's PPPP 1..8
// are our priorities 7..0), for a datagram of 500 us of channel time:
// gap = 0.5 ms / CR limit.
//   CBR <= 0.30  no limit
//   <= 0.65      PPPP 3-5: 0.03 (17 ms), PPPP 6-8: 0.02 (25 ms)
//   <= 0.80      PPPP 1-2: 0.02 (25 ms), 3-5: 0.006 (83 ms), 6-8: 0.004 (125 ms)
//   <= 1.00      PPPP 1-2: 0.02 (25 ms), 3-5: 0.003 (167 ms), 6-8: 0.002 (250 ms)
constexpr tV2XCcRange kReactive[] = {
    {300, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
    {650, 0, {25, 25, 25, 17, 17, 17, 0, 0}},
    {800, 0, {125, 125, 125, 83, 83, 83, 25, 25}},
    {1000, 0, {250, 250, 250, 167, 167, 167, 25, 25}},
};

bool _share(double v)
{
    return v > 0.0 && v < 1.0;
}

}  // namespace

void tx_gate_defaults(tV2XCongestionCfg* aopCfg)
{
    memset(aopCfg, 0, sizeof(*aopCfg));
    aopCfg->size = sizeof(*aopCfg);
    aopCfg->rule = V2X_CC_RULE_OFF;
    aopCfg->ungatedMask = 1u << 7;
    aopCfg->staleMs = 1000;
    aopCfg->occupancyUs = 500;
    aopCfg->rangeCnt = sizeof(kReactive) / sizeof(kReactive[0]);
    memcpy(aopCfg->range, kReactive, sizeof(kReactive));
    aopCfg->alpha = 0.016;
    aopCfg->beta = 0.0012;
    aopCfg->target = 0.68;
    aopCfg->dutyMin = 0.0006;
    aopCfg->dutyMax = 0.03;
    aopCfg->periodMs = 200;
    aopCfg->maxGapMs = 1000;
}

int tx_gate_check(const tV2XCongestionCfg* aipcCfg)
{
    const tV2XCongestionCfg& c = *aipcCfg;
    if (c.size != sizeof(c) || c.rule > V2X_CC_RULE_ADAPTIVE || c.ungatedMask > 0xFF ||
        c.staleMs == 0 || c.staleMs > kMaxPeriodMs || c.periodMs == 0 ||
        c.periodMs > kMaxPeriodMs || c.occupancyUs == 0 || c.occupancyUs > kMaxOccupancyUs ||
        c.maxGapMs > kMaxGapMs || c.rangeCnt == 0 || c.rangeCnt > V2X_CC_RANGES_MAX) {
        return -ERR_V2X_PARM_CONT;
    }
    if (!_share(c.alpha) || !_share(c.beta) || !_share(c.target) || !(c.dutyMin > 0.0) ||
        !(c.dutyMin <= c.dutyMax) || !(c.dutyMax <= 1.0)) {
        return -ERR_V2X_PARM_CONT;  // also NaN, which fails every comparison
    }
    for (uint32_t r = 0; r < c.rangeCnt; ++r) {
        const tV2XCcRange& g = c.range[r];
        if (g.rsvd != 0 || g.cbrMaxPermille > 1000 ||
            (r > 0 && g.cbrMaxPermille <= c.range[r - 1].cbrMaxPermille)) {
            return -ERR_V2X_PARM_CONT;
        }
        for (uint32_t gap : g.gapMs) {
            if (gap > kMaxGapMs) {
                return -ERR_V2X_PARM_CONT;
            }
        }
    }
    return c.range[c.rangeCnt - 1].cbrMaxPermille == 1000 ? V2X_SUCCESS : -ERR_V2X_PARM_CONT;
}

TxGate::TxGate()
{
    tx_gate_defaults(&cfg_);
    duty_ = cfg_.dutyMax;
}

void TxGate::configure(const tV2XCongestionCfg& aicCfg)
{
    cfg_ = aicCfg;
    duty_ = cfg_.dutyMax;
    stepping_ = false;
}

uint64_t TxGate::stale_at_us() const
{
    return known_ ? measUs_ + static_cast<uint64_t>(cfg_.staleMs) * 1000u : 0;
}

bool TxGate::cbr_known(uint64_t aicNowUs) const
{
    return known_ && aicNowUs < stale_at_us();
}

void TxGate::on_cbr(uint16_t aicPermille, uint64_t aicMeasUs, uint64_t aicNowUs)
{
    // The rule steps up to now with what it knew before.
    _advance(aicNowUs);
    const bool fresh = cbr_known(aicNowUs);
    last_ = aicPermille;
    // After a pause the old value says nothing about the channel now.
    smooth_ = fresh ? static_cast<uint16_t>((static_cast<uint32_t>(smooth_) + aicPermille + 1) / 2)
                    : aicPermille;
    if (!known_ || aicMeasUs >= measUs_) {
        measUs_ = aicMeasUs;
    }
    known_ = true;
    if (!stepping_ && cbr_known(aicNowUs)) {
        stepping_ = true;
        stepUs_ = aicNowUs;
    }
}

void TxGate::_advance(uint64_t aicNowUs)
{
    if (cfg_.rule != V2X_CC_RULE_ADAPTIVE || !stepping_) {
        return;
    }
    const uint64_t period = static_cast<uint64_t>(cfg_.periodMs) * 1000u;
    if (!cbr_known(aicNowUs)) {
        // Nothing to steer by: the duty cycle stays where it was, and the
        // steps start again with the next report.
        stepping_ = false;
        return;
    }
    if (aicNowUs < stepUs_ + period) {
        return;
    }
    uint64_t steps = (aicNowUs - stepUs_) / period;
    stepUs_ += steps * period;
    if (steps > kMaxCatchUp) {
        steps = kMaxCatchUp;
    }
    const double cbr = static_cast<double>(smooth_) / 1000.0;
    for (uint64_t i = 0; i < steps; ++i) {
        duty_ = (1.0 - cfg_.alpha) * duty_ + cfg_.beta * (cfg_.target - cbr);
        duty_ = duty_ < cfg_.dutyMin ? cfg_.dutyMin : duty_ > cfg_.dutyMax ? cfg_.dutyMax : duty_;
    }
}

bool TxGate::_gated(uint8_t aicPrio) const
{
    return cfg_.rule != V2X_CC_RULE_OFF && aicPrio < kPrioCnt &&
           (cfg_.ungatedMask & (1u << aicPrio)) == 0;
}

uint64_t TxGate::interval_us(uint8_t aicPrio, uint64_t aicNowUs)
{
    if (!_gated(aicPrio) || !cbr_known(aicNowUs)) {
        return 0;
    }
    if (cfg_.rule == V2X_CC_RULE_REACTIVE) {
        uint32_t r = 0;
        while (r + 1 < cfg_.rangeCnt && smooth_ > cfg_.range[r].cbrMaxPermille) {
            ++r;
        }
        return static_cast<uint64_t>(cfg_.range[r].gapMs[aicPrio]) * 1000u;
    }
    _advance(aicNowUs);
    const double gap = static_cast<double>(cfg_.occupancyUs) / duty_;
    const double most = static_cast<double>(cfg_.maxGapMs) * 1000.0;
    return static_cast<uint64_t>(gap < most ? gap : most);
}

uint64_t TxGate::open_at(uint8_t aicPrio, uint64_t aicNowUs)
{
    const uint64_t gap = interval_us(aicPrio, aicNowUs);
    if (gap == 0) {
        return 0;
    }
    const bool adaptive = cfg_.rule == V2X_CC_RULE_ADAPTIVE;
    if (adaptive ? !sentAny_ : !sent_[aicPrio]) {
        return 0;
    }
    const uint64_t at = (adaptive ? lastAnyUs_ : lastUs_[aicPrio]) + gap;
    // The gate opens anyway once the CBR goes stale.
    const uint64_t stale = stale_at_us();
    return at < stale ? at : stale;
}

void TxGate::on_sent(uint8_t aicPrio, uint64_t aicNowUs)
{
    if (!_gated(aicPrio)) {
        return;
    }
    lastUs_[aicPrio] = aicNowUs;
    sent_[aicPrio] = true;
    lastAnyUs_ = aicNowUs;
    sentAny_ = true;
}
