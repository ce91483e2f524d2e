// SPDX-License-Identifier: Apache-2.0
// DSM layer internals: where indications go, and the send ring for tests.
#ifndef VESTRA_DME_DSM_HPP
#define VESTRA_DME_DSM_HPP

#include "dme_dsm.h"
#include "tx_sched.hpp"
#include "v2x_limits.h"
#include "v2x_sink.hpp"

// One DSM request on its way down, decoded once where it entered the core
// (the daemon server, the management entity): whose it is and how it may
// wait (meta: connection, AID, scheduling priority, supersede, lifetime,
// call time), and views of what goes into the frame. The views belong to
// the caller and are read only during dme_dsm_send.
struct DsmTxReq {
    TxMeta meta;
    uint8_t protTp = 0;
    uint8_t priority = 0;       // as asked (the scheduling one is meta.prio)
    uint16_t dataLen = 0;
    const char* data = nullptr;
    const char* peerMac = nullptr;
    const char* exts = nullptr;  // extension block (id, length, value) or null
};

// Frames the request as DSMP straight into the radio link's place for it
// (its bytes copied once) and hands it down with its meta. The request
// primitive of get_dme_dsm_prim() takes the same checks for the core's own
// datagram at priority 0 and frames into the next of the layer's send
// buffers. 0, -ERR_V2X_PARM_CONT (AID or
// extension without an encoding, missing data, a stopped layer below),
// -ERR_V2X_SEND_LEN (does not fit a buffer), or what the radio link
// decided (-ERR_V2X_TX_FULL, -ERR_V2X_SOCKET_SEND_TO). Core thread.
int dme_dsm_send(const DsmTxReq& aicReq);

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

// The layer's state beside its named send ring: where indications go up
// (the daemon server's broadcast) and the buffer each is built in (core
// thread only). Owned by the core object (core.cpp).
// The forms of an indication the connections take.
constexpr int DSM_IND_PLAIN = 1;
constexpr int DSM_IND_RECORD = 2;

struct DsmState {
    UpSink<int> ind;
    char indBuf[V2X_CORE_APP_BUF_LEN];
    // Indications with receive records for the connections that asked:
    // the pair goes up together (plain, with record), and the record's
    // form is only built while someone wants it.
    UpSinkOf<int, const char*, int, const char*, int> indPair;
    // Which forms the connections take now (DSM_IND_*); unset: plain.
    int (*indForms)() = nullptr;
    char indExBuf[V2X_CORE_APP_BUF_LEN];
};
DsmState& dsm_state();

// Message area of the send buffer the next request will use, or null when
// the ring is not built. Does not advance the ring.
const char* dme_dsm_next_send_buf(void);

#endif
