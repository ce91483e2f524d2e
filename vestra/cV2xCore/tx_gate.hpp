// SPDX-License-Identifier: Apache-2.0
// The congestion gate of the transmit scheduler (library-internal): how long
// this station waits between its datagrams while the channel is busy.
//
// The radio module reports the channel busy ratio (CBR); the gate keeps the
// last report, its time and a smoothed value (the mean of the new report and
// the smoothed value before it). From the smoothed CBR one of two rules sets
// a least gap per priority:
//   reactive  a table of CBR ranges, each with a gap per priority;
//   adaptive  LIMERIC: every period the allowed duty cycle d moves as
//             d = (1 - alpha) d + beta (target - CBR), within [min, max], and
//             the gap is the channel time of one datagram over d.
// With no CBR known (none yet, or the last measured longer ago than the
// staleness) the gate is open, under any rule; ungated priorities are never
// held. The gate reads no clock and arms no timer: the scheduler passes the
// time in, so tests and the offline road simulation drive it by hand.
#ifndef VESTRA_TX_GATE_HPP
#define VESTRA_TX_GATE_HPP

#include <stdint.h>

#include "v2x_core.h"

// The settings' checks of v2x_core_set_congestion: 0 or -ERR_V2X_PARM_CONT.
int tx_gate_check(const tV2XCongestionCfg* aipcCfg);
// The defaults of v2x_core_congestion_defaults.
void tx_gate_defaults(tV2XCongestionCfg* aopCfg);

class TxGate {
public:
    static constexpr int kPrioCnt = 8;
    static constexpr uint16_t kCbrNone = 0xFFFF;

    TxGate();

    // Takes settings that passed tx_gate_check. What the gate learnt of the
    // channel stays; the adaptive rule starts again from its most.
    void configure(const tV2XCongestionCfg& aicCfg);
    const tV2XCongestionCfg& config() const { return cfg_; }
    uint32_t rule() const { return cfg_.rule; }

    // A CBR measurement of aicPermille (0..1000) made at aicMeasUs on the
    // monotonic clock (at most aicNowUs; the caller checks both).
    void on_cbr(uint16_t aicPermille, uint64_t aicMeasUs, uint64_t aicNowUs);
    // A CBR measured within the staleness before aicNowUs is known.
    bool cbr_known(uint64_t aicNowUs) const;
    uint16_t cbr_last() const { return last_; }
    uint16_t cbr_smoothed() const { return smooth_; }
    uint64_t cbr_meas_us() const { return measUs_; }
    // When the CBR stops being known (0: none reported).
    uint64_t stale_at_us() const;
    // The adaptive rule's allowed duty cycle.
    double duty() const { return duty_; }

    // The least gap between two of this station's datagrams of a priority
    // now, microseconds; 0 when the gate does not hold it.
    uint64_t interval_us(uint8_t aicPrio, uint64_t aicNowUs);
    // When a datagram of the priority may leave: at most aicNowUs when the
    // gate is open for it.
    uint64_t open_at(uint8_t aicPrio, uint64_t aicNowUs);
    // A datagram of the priority left at aicNowUs.
    void on_sent(uint8_t aicPrio, uint64_t aicNowUs);

private:
    bool _gated(uint8_t aicPrio) const;
    // Steps the adaptive rule to aicNowUs.
    void _advance(uint64_t aicNowUs);

    tV2XCongestionCfg cfg_;
    uint16_t last_ = kCbrNone;
    uint16_t smooth_ = kCbrNone;
    uint64_t measUs_ = 0;
    bool known_ = false;
    double duty_ = 0.0;
    uint64_t stepUs_ = 0;  // the adaptive rule's last step
    bool stepping_ = false;
    // Last gated datagram per priority (reactive), and of any (adaptive).
    uint64_t lastUs_[kPrioCnt] = {};
    bool sent_[kPrioCnt] = {};
    uint64_t lastAnyUs_ = 0;
    bool sentAny_ = false;
};

#endif
