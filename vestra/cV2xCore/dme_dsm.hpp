// SPDX-License-Identifier: Apache-2.0
// DSM layer internals: where indications go, and the send ring for tests.
#ifndef VESTRA_DME_DSM_HPP
#define VESTRA_DME_DSM_HPP

#include "dme_dsm.h"

// Receives every V2X_DSM_IND message the layer builds (header included),
// with the signature of the daemon server's broadcast to all applications.
// The bytes are the layer's one indication buffer: valid only during the
// call, overwritten by the next indication. 0 or a negated code, which the
// indication returns.
using fDSMIndSink = int (*)(const char* aipcMsg, const int aicMsgLen);

// Points indications at `aipSink`; null restores the default, which only
// counts the messages and returns 0.
void dme_dsm_set_ind_sink(fDSMIndSink aipSink);

// Messages the default sink has received since the process started.
unsigned long dme_dsm_default_ind_sink_count(void);

// Message area of the send buffer the next request will use, or null when
// the ring is not built. Does not advance the ring.
const char* dme_dsm_next_send_buf(void);

#endif
