// SPDX-License-Identifier: Apache-2.0
// Radio link internals reachable from the library's tests.
#ifndef VESTRA_RLINK_HPP
#define VESTRA_RLINK_HPP

#include <stdint.h>

#include "aces_lyr.h"
#include "dsm_mem.hpp"
#include "rlink.h"
#include "tx_sched.hpp"

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

// Whose the datagrams of the following rlink_send calls are: connection,
// AID, priority, lifetime, supersede. Null: the core's own at priority 0,
// no lifetime. Core thread; set around one request with RlinkTxTagScope.
void rlink_set_tx_tag(const TxMeta* aipcTag);

class RlinkTxTagScope {
public:
    explicit RlinkTxTagScope(const TxMeta& aicTag) { rlink_set_tx_tag(&aicTag); }
    ~RlinkTxTagScope() { rlink_set_tx_tag(nullptr); }
    RlinkTxTagScope(const RlinkTxTagScope&) = delete;
    RlinkTxTagScope& operator=(const RlinkTxTagScope&) = delete;
};

// Free places in the queue of the current tag's priority, or of one
// priority (all of them while the link is not running). Expired datagrams
// are dropped first, so their places count as free.
int rlink_tx_room(void);
int rlink_tx_room_prio(uint8_t aicPrio);
// Datagrams of a connection waiting now: at one priority, or at any when
// aicPrio is negative.
int rlink_tx_queued_by(uint32_t aicConnId, int aicPrio);

// What became of a connection's accepted datagram.
enum eRlinkTxNews { RLINK_TX_SENT, RLINK_TX_EXPIRED, RLINK_TX_SUPERSEDED, RLINK_TX_AT_EXIT };
// Called on the core thread for each datagram that left or was dropped.
using fRlinkTxNews = void (*)(uint32_t aicConnId, eRlinkTxNews aicNews);
// Sets it; null goes back to counting the calls (rlink_unset_sink_count).
void rlink_set_tx_news_sink(fRlinkTxNews aipSink);

// Called on the core thread each time a place of any priority comes free.
using fRlinkTxRoom = void (*)(void);
// Sets the room callback; null goes back to counting the calls.
void rlink_set_tx_room_sink(fRlinkTxRoom aipSink);
// Room and news calls that found no callback set since the process started.
unsigned long rlink_unset_sink_count(void);

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
