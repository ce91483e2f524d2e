// SPDX-License-Identifier: Apache-2.0
// The clocks in the units the stack uses (library-internal). Waits and ages
// run on the monotonic clock: a wall clock set back or forward must neither
// skip a wait nor stretch it. 64-bit on every target: a 32-bit long would
// wrap after 24.8 days in milliseconds.
#ifndef VESTRA_V2X_CLOCK_HPP
#define VESTRA_V2X_CLOCK_HPP

#include <stdint.h>
#include <time.h>

inline uint64_t v2x_clock_us(clockid_t aicClock)
{
    struct timespec ts;
    clock_gettime(aicClock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

inline uint64_t v2x_mono_us()
{
    return v2x_clock_us(CLOCK_MONOTONIC);
}

// The wall clock (UTC), only for times that are shown or exchanged with
// others (the module's measurement times, the records' stamps): never for
// waiting.
inline uint64_t v2x_real_us()
{
    return v2x_clock_us(CLOCK_REALTIME);
}

inline long long v2x_mono_ms()
{
    return static_cast<long long>(v2x_mono_us() / 1000u);
}

#endif
