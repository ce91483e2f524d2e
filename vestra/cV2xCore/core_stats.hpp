// SPDX-License-Identifier: Apache-2.0
// The core's counters (library-internal): one 64-bit slot per field of
// tV2XCoreStats, in its order, bumped where each decision is made and read
// from any thread without stopping the core.
#ifndef VESTRA_CORE_STATS_HPP
#define VESTRA_CORE_STATS_HPP

#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "v2x_stats.h"

constexpr size_t kCoreStatHead = offsetof(tV2XCoreStats, rxDatagrams);
constexpr size_t kCoreStatCount = (sizeof(tV2XCoreStats) - kCoreStatHead) / sizeof(uint64_t);

// logLinesDropped's slot stays 0: v2x_core_stats() fills that field from the
// log library's count when it copies the record out.
extern std::atomic<uint64_t> giCoreStats[kCoreStatCount];

// The slot of a field, from its place in the record.
constexpr size_t core_stat_slot(size_t aicOff)
{
    return (aicOff - kCoreStatHead) / sizeof(uint64_t);
}

inline void core_stat_add(size_t aicOff, uint64_t aicN = 1)
{
    giCoreStats[core_stat_slot(aicOff)].fetch_add(aicN, std::memory_order_relaxed);
}

inline void core_stat_set(size_t aicOff, uint64_t aicV)
{
    giCoreStats[core_stat_slot(aicOff)].store(aicV, std::memory_order_relaxed);
}

inline uint64_t core_stat_get(size_t aicOff)
{
    return giCoreStats[core_stat_slot(aicOff)].load(std::memory_order_relaxed);
}

// When the gate's CBR goes stale (monotonic microseconds, 0: none): from
// then on v2x_core_stats shows its intervals as 0, as the gate is open.
void core_stats_set_cc_stale_at(uint64_t aicMonoUs);

// Counts one event (or n) of a field of tV2XCoreStats: STAT_ADD(rxDatagrams).
#define STAT_ADD(field) core_stat_add(offsetof(tV2XCoreStats, field))
#define STAT_ADD_N(field, n) core_stat_add(offsetof(tV2XCoreStats, field), (n))
#define STAT_SET(field, v) core_stat_set(offsetof(tV2XCoreStats, field), (v))
#define STAT_GET(field) core_stat_get(offsetof(tV2XCoreStats, field))

#endif
