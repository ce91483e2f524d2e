// SPDX-License-Identifier: Apache-2.0
// Access layer internals: where the payloads it receives go.
#ifndef VESTRA_ACES_LYR_HPP
#define VESTRA_ACES_LYR_HPP

#include "aces_lyr.h"
#include "rlink.hpp"

// Points the indication's payloads (protocol type, then the frame) at the
// layer above, with the signature of the adaptation layer's indication;
// null goes back to counting them and refusing each with
// -ERR_V2X_PARM_CONT. The core wires it at start and clears it at stop.
void aces_lyr_set_rx_sink(fRlinkRxSink aipSink);

// The layer's state: where its payloads go up (the adaptation layer's
// indication; unset, each is counted and refused like one for a stopped
// layer). Owned by the core object (core.cpp).
struct AcesState {
    UpSinkOf<int, uint8_t, const char*, const char*, const char*, uint8_t, uint16_t> rx{
        -ERR_V2X_PARM_CONT};
};
AcesState& aces_state();

#endif
