// SPDX-License-Identifier: Apache-2.0
// The core's counters and the call that copies them out.
#include "core_stats.hpp"

#include <string.h>

#include "self_log.h"
#include "v2x_clock.hpp"
#include "v2x_types.h"

std::atomic<uint64_t> giCoreStats[kCoreStatCount];
static std::atomic<uint64_t> giCcStaleAt{0};

void core_stats_set_cc_stale_at(uint64_t aicMonoUs)
{
    giCcStaleAt.store(aicMonoUs, std::memory_order_relaxed);
}

extern "C" V2X_API int v2x_core_stats(tV2XCoreStats* aopStats)
{
    if (aopStats == nullptr || aopStats->size < kCoreStatHead) {
        return -ERR_V2X_PARM_CONT;
    }
    // An older caller's record is shorter: fill what it has room for.
    const size_t have = aopStats->size < sizeof(tV2XCoreStats) ? aopStats->size
                                                                : sizeof(tV2XCoreStats);
    const size_t slots = (have - kCoreStatHead) / sizeof(uint64_t);
    // The log's losses are the process's, counted by the log library: read
    // at copy time rather than kept in a slot of the core.
    constexpr size_t kLogSlot = core_stat_slot(offsetof(tV2XCoreStats, logLinesDropped));
    // The CBR's slot holds the value + 1, so that a slot that was never
    // set (or was cleared) reads as "none yet".
    constexpr size_t kCbrSlot = core_stat_slot(offsetof(tV2XCoreStats, rxCbrLast));
    // The gate's CBR slots hold the same, and its age slot the measurement's
    // monotonic time + 1; the intervals read 0 once the CBR is stale.
    constexpr size_t kGateCbr = core_stat_slot(offsetof(tV2XCoreStats, cbrLast));
    constexpr size_t kGateSmooth = core_stat_slot(offsetof(tV2XCoreStats, cbrSmoothed));
    constexpr size_t kGateAge = core_stat_slot(offsetof(tV2XCoreStats, cbrAgeMs));
    constexpr size_t kGateGap0 = core_stat_slot(offsetof(tV2XCoreStats, ccIntervalUs));
    const uint64_t now = v2x_mono_us();
    const uint64_t staleAt = giCcStaleAt.load(std::memory_order_relaxed);
    const bool stale = staleAt == 0 || now >= staleAt;
    auto* out = reinterpret_cast<unsigned char*>(aopStats);
    for (size_t i = 0; i < slots; ++i) {
        uint64_t v = i == kLogSlot ? static_cast<uint64_t>(log_lines_dropped())
                                   : giCoreStats[i].load(std::memory_order_relaxed);
        if (i == kCbrSlot || i == kGateCbr || i == kGateSmooth) {
            v = v == 0 ? V2X_RX_INFO_CBR_UNKNOWN : v - 1;
        } else if (i == kGateAge) {
            v = v == 0 ? V2X_CBR_AGE_NONE : now > v - 1 ? (now - (v - 1)) / 1000u : 0u;
        } else if (i >= kGateGap0 && i < kGateGap0 + 8 && stale) {
            v = 0;
        }
        memcpy(out + kCoreStatHead + i * sizeof(uint64_t), &v, sizeof(v));
    }
    aopStats->size = static_cast<uint32_t>(kCoreStatHead + slots * sizeof(uint64_t));
    aopStats->version = V2X_CTL_VERSION;
    return V2X_SUCCESS;
}
