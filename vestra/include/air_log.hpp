// SPDX-License-Identifier: Apache-2.0
// A gate for the ERROR lines that a datagram from the air can cause
// (library-internal). Anyone in radio range can send malformed frames; each
// would otherwise write its lines, and a flood would fill the disk. The gate
// lets the first kAirLinesPerSec lines of each second through and counts the
// rest; the radio link reports that count once per second. Core thread only.
#ifndef VESTRA_AIR_LOG_HPP
#define VESTRA_AIR_LOG_HPP

#include <stdint.h>
#include <time.h>

#include "v2x_api.h"

constexpr unsigned kAirLinesPerSec = 5;

struct AirLogGate {
    int64_t sec = -1;
    unsigned lines = 0;
    unsigned long held = 0;       // lines not written in the current second
    unsigned long heldReady = 0;  // of the second that has ended, to report

    static int64_t now_sec()
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec);
    }

    bool allow()
    {
        tick();
        if (lines < kAirLinesPerSec) {
            ++lines;
            return true;
        }
        ++held;
        return false;
    }

    // Lines held back in seconds that have ended, once. Costs nothing (no
    // clock read) while no line was held back: it runs for every datagram.
    unsigned long take_report()
    {
        if (held == 0 && heldReady == 0) {
            return 0;
        }
        tick();
        const unsigned long n = heldReady;
        heldReady = 0;
        return n;
    }

private:
    // A new second starts a new allowance; what the old one held is reported.
    void tick()
    {
        const int64_t s = now_sec();
        if (s != sec) {
            heldReady += held;
            held = 0;
            lines = 0;
            sec = s;
        }
    }
};

// The one gate of the process, in the library (tests reach it too).
AirLogGate& air_log_gate();

// LOGE for a line caused by one received datagram.
#define LOGE_AIR(...)                     \
    do {                                  \
        if (air_log_gate().allow()) {     \
            LOGE(__VA_ARGS__);            \
        }                                 \
    } while (0)

#endif
