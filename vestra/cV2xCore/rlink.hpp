// Radio link internals reachable from the library's tests.
#ifndef VESTRA_RLINK_HPP
#define VESTRA_RLINK_HPP

#include <stdint.h>

#include "aces_lyr.h"
#include "dsm_mem.hpp"
#include "rlink.h"

// Minimum gap between two datagrams to the radio module, in microseconds.
constexpr uint64_t RLINK_PACE_US = 70000;

// Hands one received datagram (protocol type, then the frame) to the
// adaptation layer. The bytes are the caller's and are only read during the
// call. 0 or a negated code.
V2X_API int _parse_rx_msg(const char* aipcMsg, const int aicLen);

// Port the receive socket is bound to (useful when rcvPort was 0), or -1.
V2X_API int rlink_rx_port(void);

// Datagrams the transmit queue holds while they wait for the gap: one per
// send buffer of the DSM layer.
constexpr int RLINK_TXQ_CAP = DSM_MEM_CNT;
// Longest datagram the link takes: a DSM buffer behind an access-layer header.
constexpr int RLINK_TX_MAX_LEN = DSM_MEM_MSG_LEN + ACES_LYR_HDR_LEN;

// Free places in the transmit queue (all of them while the link is not
// running).
V2X_API int rlink_tx_room(void);

// Called on the core thread each time the drain timer frees a place.
using fRlinkTxRoom = void (*)(void);
// Sets the room callback; null sets one that does nothing.
V2X_API void rlink_set_tx_room_sink(fRlinkTxRoom aipSink);

// What the send side has done since the process started.
struct tRlinkTxStats {
    unsigned long sent;          // datagrams that left
    unsigned long sendErrs;      // sends the socket refused
    unsigned long waited;        // datagrams that waited in the queue for the gap
    unsigned long queued;        // waiting now
    unsigned long queuedMax;     // most ever waiting at once
    unsigned long fullRefused;   // sends refused because the queue was full
    unsigned long droppedAtExit; // waiting datagrams dropped by rlink_exit
};
V2X_API void rlink_tx_stats(tRlinkTxStats* aopStats);

#endif
