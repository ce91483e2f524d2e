// SPDX-License-Identifier: Apache-2.0
// Adaptation layer internals: where management-entity frames go.
#ifndef VESTRA_ADAP_LYR_HPP
#define VESTRA_ADAP_LYR_HPP

#include <stdint.h>

#include "adap_lyr.h"

// Receives the data of every frame whose first AID byte is 0x87, with the
// signature of the DME's payload dump. The bytes point into the radio
// link's receive buffer and are only valid during the call.
using fAdapDMESink = int (*)(const char* aipcMsg, const uint16_t aicMsgLen);

// Points the management-frame path at `aipSink`; null restores the default,
// which only counts the frames and returns 0.
void adap_lyr_set_dme_sink(fAdapDMESink aipSink);

// Frames the default sink has received since the process started.
unsigned long adap_lyr_default_dme_sink_count(void);

#endif
