// SPDX-License-Identifier: Apache-2.0
// 1609.2 time: TAI since 2004-01-01 00:00:00 UTC. Time64 counts
// microseconds, Time32 seconds.
#ifndef VESTRA_SEC_TIME_HPP
#define VESTRA_SEC_TIME_HPP

#include <stdint.h>

namespace sec {

// 2004-01-01 00:00:00 UTC in Unix seconds.
constexpr int64_t kEpoch2004Unix = 1072915200;
// TAI - UTC was 32 s on 2004-01-01 and is 37 s since 2017-01-01: the five
// leap seconds in between put a TAI count from 2004 5 s ahead of a plain UTC
// count. No leap second has been announced since; update with the IERS
// bulletin C when one is.
constexpr int64_t kLeapSecondsSince2004 = 5;

// Unix microseconds (UTC) to Time64 and back.
constexpr uint64_t unix_us_to_time64(int64_t aicUnixUs)
{
    return static_cast<uint64_t>(aicUnixUs - kEpoch2004Unix * 1000000 +
                                 kLeapSecondsSince2004 * 1000000);
}
constexpr int64_t time64_to_unix_us(uint64_t aicT)
{
    return static_cast<int64_t>(aicT) + kEpoch2004Unix * 1000000 - kLeapSecondsSince2004 * 1000000;
}
// Unix seconds to Time32 and back.
constexpr uint32_t unix_s_to_time32(int64_t aicUnix)
{
    return static_cast<uint32_t>(aicUnix - kEpoch2004Unix + kLeapSecondsSince2004);
}
constexpr int64_t time32_to_unix_s(uint32_t aicT)
{
    return static_cast<int64_t>(aicT) + kEpoch2004Unix - kLeapSecondsSince2004;
}

// Now, from CLOCK_REALTIME, as Time64.
uint64_t time64_now();

}  // namespace sec

#endif
