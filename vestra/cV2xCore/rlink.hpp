// SPDX-License-Identifier: Apache-2.0
// Radio link internals reachable from the library's tests.
#ifndef VESTRA_RLINK_HPP
#define VESTRA_RLINK_HPP

#include <stdint.h>

#include "dsm_mem.hpp"
#include "rlink.h"
#include "tx_sched.hpp"
#include "v2x_sink.hpp"

struct event;

// Minimum gap between two datagrams to the radio module, in microseconds.
constexpr uint64_t RLINK_PACE_US = TxScheduler::kGapUs;

// Hands one received datagram (protocol type, then the frame) to the
// adaptation layer. The bytes are the caller's and are only read during the
// call. 0 or a negated code.
int _parse_rx_msg(const char* aipcMsg, const int aicLen);

// Port the receive socket is bound to (useful when rcvPort was 0), or -1.
int rlink_rx_port(void);

// Datagrams each priority's transmit queue holds while they wait for the
// gap: one per send buffer of the DSM layer.
constexpr int RLINK_TXQ_CAP = TxScheduler::kCap;
// Longest datagram the link takes: a DSM buffer behind an access-layer header.
constexpr int RLINK_TX_MAX_LEN = TxScheduler::kMaxLen;

// rlink_send for a datagram whose owner, priority, lifetime and supersede
// travel with it in aicMeta (rlink_send itself sends as the core's own at
// priority 0). The bytes are copied when the datagram has to wait. Same
// results as rlink_send. Core thread.
int rlink_submit(const TxMeta& aicMeta, const char* aipcSdMsg, const int aicSdLen);
// rlink_submit for a datagram of aicSdLen bytes that aipFill writes where
// it waits or leaves from: its bytes are copied once. aipFill is not
// called when the datagram is refused or dropped on arrival.
int rlink_submit_fill(const TxMeta& aicMeta, const int aicSdLen, TxFill aipFill,
                      const void* aipCtx);

// Where received datagrams go: protocol type, source and destination
// address, the frame behind the type byte, priority, frame length (the
// adaptation layer's indication). Unset, each is counted and refused with
// -ERR_V2X_PARM_CONT. The core wires it at start and clears it at stop.
using fRlinkRxSink = int (*)(const uint8_t, const char*, const char*, const char*, const uint8_t,
                             const uint16_t);
void rlink_set_rx_sink(fRlinkRxSink aipSink);

// Datagrams waiting now, of every priority and connection.
int rlink_tx_queued_total(void);
// Free places in the queue of one priority (all of them while the link is
// not running). Expired datagrams are dropped first, so their places count
// as free.
int rlink_tx_room_prio(uint8_t aicPrio);
// Datagrams of a connection waiting now: at one priority, or at any when
// aicPrio is negative.
int rlink_tx_queued_by(uint32_t aicConnId, int aicPrio);

// What became of a connection's accepted datagram.
// RLINK_TX_SEC_DROPPED comes from the security layer: a message of an AID
// that signs, dropped before it reached the radio link.
enum eRlinkTxNews {
    RLINK_TX_SENT,
    RLINK_TX_EXPIRED,
    RLINK_TX_SUPERSEDED,
    RLINK_TX_AT_EXIT,
    RLINK_TX_SEC_DROPPED,
    RLINK_TX_GATED_EXPIRED,
    RLINK_TX_GATED_SUPERSEDED
};
// Called on the core thread for each datagram that left or was dropped.
using fRlinkTxNews = void (*)(uint32_t aicConnId, eRlinkTxNews aicNews);
// Sets it; null goes back to counting the calls.
void rlink_set_tx_news_sink(fRlinkTxNews aipSink);

// Called on the core thread each time a place of any priority comes free.
using fRlinkTxRoom = void (*)(void);
// Sets the room callback; null goes back to counting the calls.
void rlink_set_tx_room_sink(fRlinkTxRoom aipSink);

// The link's state beside its sockets: its transmit timer and scheduler,
// the refusal episode, and where it hands things up. Owned by the core
// object (core.cpp); core thread.
struct RlinkState {
    struct event* txEt = nullptr;
    // The current episode of refused datagrams: how many the far end has
    // refused since the first, and whether the datagram sent last has had
    // no refusal back so far.
    unsigned long refusedRun = 0;
    bool lastSentClean = false;
    // What the link tells the daemon server about its transmit queue.
    UpSinkOf<void> txRoom;
    UpSinkOf<void, uint32_t, eRlinkTxNews> txNews;
    // Received datagrams (the adaptation layer's indication); unset, one is
    // counted and refused like one for a stopped layer.
    UpSinkOf<int, uint8_t, const char*, const char*, const char*, uint8_t, uint16_t> rx{
        -ERR_V2X_PARM_CONT};
    // Its queues are the link's fixed transmit storage. Its last send time
    // survives a stop and a new start, so the gap holds across them.
    TxScheduler sched;
};
RlinkState& rlink_state();

// Congestion control (rlink_cc.cpp). rlink_cbr_rx takes the aicLen bytes
// after a PROT_TP_CBR_RPT byte: a report that passes is handed to the gate,
// one that does not is counted by its reason and dropped (0 or
// -ERR_V2X_RX_ADAP_FMT). rlink_cc_apply takes settings made since the last
// time (at the start and with each report); rlink_cc_publish writes the
// gate's gauges into the counters. Core thread.
int rlink_cbr_rx(const char* aipcRec, int aicLen);
void rlink_cc_apply();
void rlink_cc_publish();

// What the send side has done since the process started.
struct tRlinkTxStats {
    unsigned long sent;          // datagrams that left
    unsigned long sendErrs;      // sends the socket refused
    unsigned long waited;        // datagrams that waited in the queue for the gap
    unsigned long queued;        // waiting now
    unsigned long queuedMax;     // most ever waiting at once
    unsigned long fullRefused;   // sends refused because the queue was full
    unsigned long droppedAtExit; // waiting datagrams dropped by rlink_exit
    unsigned long expired;       // dropped: lifetime ran out while waiting
    unsigned long superseded;    // dropped: a newer one of the same connection and AID
};
void rlink_tx_stats(tRlinkTxStats* aopStats);

#endif
