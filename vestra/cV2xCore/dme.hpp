// SPDX-License-Identifier: Apache-2.0
// Management entity internals: its state beside the provider table.
#ifndef VESTRA_DME_HPP
#define VESTRA_DME_HPP

#include <stdint.h>

#include "dme.h"
#include "v2x_limits.h"
#include "v2x_sink.hpp"

struct event_base;

// Owned by the core object (core.cpp); core thread.
struct DmeState {
    // The core's event base, where the advertisement timers run.
    struct event_base* base = nullptr;
    // Each confirm and each advertisement is built here.
    char cfmBuf[V2X_CORE_APP_BUF_LEN];
    char dsaFrame[V2X_LIM_DSA_FRAME];
    // Received management frames, numbered in the dump.
    uint32_t rxDmeCnt = 0;
    // Where confirms go up; wired by the core. Unset, a confirm reaches no
    // application: counted, and the request's caller told it was not sent.
    UpSinkOf<int, uint32_t, const char*, const int> tx{-ERR_V2X_SOCKET_WRITE};
    // True from the first skipped advertisement until one goes out again.
    bool dsaStall = false;
};
DmeState& dme_state();

#endif
