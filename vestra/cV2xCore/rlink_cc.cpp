// SPDX-License-Identifier: Apache-2.0
// The radio link's congestion control: the module's CBR reports feed the
// transmit scheduler's gate, and the gate's settings come from any thread.
#include <string.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "cbr_rpt.hpp"
#include "core_stats.hpp"
#include "rlink.hpp"
#include "self_log.h"
#include "v2x_clock.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

namespace {

// The settings, from any thread; the core thread takes a newer generation
// with the next report and at each start.
struct CcSettings {
    std::mutex mtx;
    tV2XCongestionCfg cfg;
    std::atomic<uint32_t> gen{0};
    uint32_t applied = 0;
    CcSettings() { tx_gate_defaults(&cfg); }
};

CcSettings& cc_settings()
{
    static CcSettings s;
    return s;
}

// A drop of a report is counted and said once per kind until a good one
// comes, so a broken module does not flood the log.
unsigned giCcBadRun = 0;

}  // namespace

void rlink_cc_apply()
{
    CcSettings& s = cc_settings();
    const uint32_t gen = s.gen.load(std::memory_order_acquire);
    if (gen == s.applied) {
        return;
    }
    tV2XCongestionCfg cfg;
    {
        std::lock_guard<std::mutex> lk(s.mtx);
        cfg = s.cfg;
        s.applied = s.gen.load(std::memory_order_relaxed);
    }
    rlink_state().sched.gate().configure(cfg);
    LOGR("congestion gate: rule %u------\n", static_cast<unsigned>(cfg.rule));
    rlink_cc_publish();
}

void rlink_cc_publish()
{
    TxGate& g = rlink_state().sched.gate();
    const uint64_t now = v2x_mono_us();
    STAT_SET(ccRule, g.rule());
    STAT_SET(ccDutyPpm,
             g.rule() == V2X_CC_RULE_ADAPTIVE ? static_cast<uint64_t>(g.duty() * 1e6 + 0.5) : 0u);
    for (uint8_t p = 0; p < TxGate::kPrioCnt; ++p) {
        core_stat_set(offsetof(tV2XCoreStats, ccIntervalUs) + p * sizeof(uint64_t),
                      g.interval_us(p, now));
    }
    // Slots that hold "value + 1" read as "none" while 0 (v2x_core_stats).
    if (g.cbr_last() != TxGate::kCbrNone) {
        STAT_SET(cbrLast, g.cbr_last() + 1u);
        STAT_SET(cbrSmoothed, g.cbr_smoothed() + 1u);
        STAT_SET(cbrAgeMs, g.cbr_meas_us() + 1u);
    }
    core_stats_set_cc_stale_at(g.stale_at_us());
}

int rlink_cbr_rx(const char* aipcRec, int aicLen)
{
    RlinkCbrRpt rpt;
    const RlinkCbrRc why =
        rlink_cbr_rpt_decode(reinterpret_cast<const uint8_t*>(aipcRec), static_cast<size_t>(aicLen),
                             &rpt);
    const uint64_t realMs = v2x_real_us() / 1000u;
    if (why == RlinkCbrRc::Short || why == RlinkCbrRc::Long) {
        STAT_ADD(cbrDropLen);
        if (giCcBadRun++ == 0) {
            LOGE("CBR report of %d bytes, not %u: dropped err!!!!\n", aicLen + 1,
                 static_cast<unsigned>(kCbrRptDgramLen));
        }
        return -ERR_V2X_RX_ADAP_FMT;
    }
    if (why == RlinkCbrRc::Bad) {
        STAT_ADD(cbrDropBad);
        if (giCcBadRun++ == 0) {
            LOGE("CBR report malformed (version, length, reserved or CBR over 1000): dropped "
                 "err!!!!\n");
        }
        return -ERR_V2X_RX_ADAP_FMT;
    }
    if (rpt.measTimeMs > realMs + V2X_CBR_CLOCK_SKEW_MS) {
        STAT_ADD(cbrDropFuture);
        if (giCcBadRun++ == 0) {
            LOGE("CBR report measured %llu ms from now: the module's clock is ahead, dropped "
                 "err!!!!\n",
                 static_cast<unsigned long long>(rpt.measTimeMs - realMs));
        }
        return -ERR_V2X_RX_ADAP_FMT;
    }
    giCcBadRun = 0;
    rlink_cc_apply();
    // The measurement's time on our monotonic clock: its age by the wall
    // clocks, taken from now (a time slightly ahead counts as now).
    const uint64_t now = v2x_mono_us();
    const uint64_t ageUs = rpt.measTimeMs < realMs ? (realMs - rpt.measTimeMs) * 1000u : 0u;
    const uint64_t meas = ageUs < now ? now - ageUs : 0u;
    STAT_ADD(cbrReports);
    rlink_state().sched.on_cbr(rpt.cbrPermille, meas);
    rlink_cc_publish();
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_core_congestion_defaults(tV2XCongestionCfg* aopCfg)
{
    if (aopCfg == nullptr) {
        return -ERR_V2X_PARM_CONT;
    }
    tx_gate_defaults(aopCfg);
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_core_set_congestion(const tV2XCongestionCfg* aipcCfg)
{
    tV2XCongestionCfg cfg;
    if (aipcCfg == nullptr) {
        tx_gate_defaults(&cfg);
    } else {
        if (tx_gate_check(aipcCfg) != V2X_SUCCESS) {
            LOGE("v2x_core_set_congestion: settings out of range err!!!!\n");
            return -ERR_V2X_PARM_CONT;
        }
        cfg = *aipcCfg;
    }
    CcSettings& s = cc_settings();
    std::lock_guard<std::mutex> lk(s.mtx);
    s.cfg = cfg;
    s.gen.fetch_add(1, std::memory_order_release);
    return V2X_SUCCESS;
}
