// SPDX-License-Identifier: Apache-2.0
// The core's counters and the call that copies them out.
#include "core_stats.hpp"

#include <string.h>

#include "self_log.h"
#include "v2x_types.h"

std::atomic<uint64_t> giCoreStats[kCoreStatCount];

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
    auto* out = reinterpret_cast<unsigned char*>(aopStats);
    for (size_t i = 0; i < slots; ++i) {
        uint64_t v = i == kLogSlot ? static_cast<uint64_t>(log_lines_dropped())
                                   : giCoreStats[i].load(std::memory_order_relaxed);
        if (i == kCbrSlot) {
            v = v == 0 ? V2X_RX_INFO_CBR_UNKNOWN : v - 1;
        }
        memcpy(out + kCoreStatHead + i * sizeof(uint64_t), &v, sizeof(v));
    }
    aopStats->size = static_cast<uint32_t>(kCoreStatHead + slots * sizeof(uint64_t));
    aopStats->version = V2X_CTL_VERSION;
    return V2X_SUCCESS;
}
