// SPDX-License-Identifier: Apache-2.0
// Adaptation layer internals: where management-entity frames go.
#ifndef VESTRA_ADAP_LYR_HPP
#define VESTRA_ADAP_LYR_HPP

#include <stdint.h>

#include "adap_lyr.h"
#include "rlink.hpp"

// Receives the data of every frame whose first AID byte is 0x87, with the
// signature of the DME's payload dump. The bytes point into the radio
// link's receive buffer and are only valid during the call.
using fAdapDMESink = int (*)(const char* aipcMsg, const uint16_t aicMsgLen);

// Points the management-frame path at `aipSink`; null restores the default,
// which only counts the frames and returns 0.
void adap_lyr_set_dme_sink(fAdapDMESink aipSink);

// Frames the default sink has received since the process started.
unsigned long adap_lyr_default_dme_sink_count(void);

// Where decoded frames of wanted AIDs go: DSMP version, AID, data length,
// data, source address, priority (the DSM layer's indication). Null goes
// back to counting them and refusing each with -ERR_V2X_PARM_CONT.
using fAdapDSMSink = int (*)(uint8_t, const uint32_t, uint16_t, const char*, const char*, uint8_t);
void adap_lyr_set_dsm_sink(fAdapDSMSink aipSink);

// Asks whether an application wants an AID: 0 yes, else no (the MIB's
// query). Null: nobody wants any.
using fAdapWanted = int (*)(const uint32_t aicAppId);
void adap_lyr_set_wanted_sink(fAdapWanted aipSink);

// The way down for a DSMP frame whose owner, priority and lifetime travel
// beside it: aiopFrame has ADAP_LYR_HDR_LEN bytes of headroom, then the
// frame of aicDSMLen bytes; the headroom is written and the datagram handed
// to rlink_submit. While the layer is stopped: -ERR_V2X_PARM_CONT after one
// line. Otherwise rlink_submit's result. Core thread.
using fAdapSend = int (*)(const TxMeta& aicMeta, char* aiopFrame, const uint16_t aicDSMLen);
int adap_lyr_send(const TxMeta& aicMeta, char* aiopFrame, const uint16_t aicDSMLen);
// adap_lyr_send for a frame of aicDSMLen bytes that aipFill writes (at the
// pointer it is given) where the datagram waits or leaves from, behind the
// protocol type: its bytes are copied once. Same results.
int adap_lyr_send_fill(const TxMeta& aicMeta, const uint16_t aicDSMLen, TxFill aipFill,
                       const void* aipCtx);
// The entry adap_lyr_send calls: the layer's own while it runs, null while
// stopped; tests replace it to see what goes down.
fAdapSend& adap_lyr_send_entry(void);

// The layer's state: its hand-overs up and its way down. Owned by the core
// object (core.cpp).
struct AdapState {
    // DME frames (the management entity's dump).
    UpSink<uint16_t> dme;
    // Decoded frames of wanted AIDs (the DSM layer's indication); unset,
    // each is counted and refused like one for a stopped layer.
    UpSinkOf<int, uint8_t, uint32_t, uint16_t, const char*, const char*, uint8_t> dsm{
        -ERR_V2X_PARM_CONT};
    // Whether an application wants an AID: 0 yes (the MIB's query). Unset,
    // nobody wants anything.
    UpSinkOf<int, uint32_t> wanted{-1};
    // The record's way down while the layer runs.
    fAdapSend send = nullptr;
};
AdapState& adap_state();

#endif
