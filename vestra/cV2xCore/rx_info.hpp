// SPDX-License-Identifier: Apache-2.0
// What the core learns about one received frame on its way up (library-
// internal): the radio link's receive record, the DSMP header's version and
// extension element, the security verdict. The layers' hand-overs keep the
// published signatures, so the record of the frame being handed up lives
// beside them: the radio link starts it when it reads a datagram, each layer
// adds what it decided, and the DSM layer writes it into the indication of
// the connections that asked for it. Core thread only.
#ifndef VESTRA_RX_INFO_HPP
#define VESTRA_RX_INFO_HPP

#include <stddef.h>
#include <stdint.h>

#include "core_app.h"
#include "v2x_types.h"

// The receive record of a receive-record datagram, decoded.
struct RlinkRxRec {
    uint8_t flags = 0;  // V2X_RLINK_RX_HAS_*
    uint32_t srcL2Id = 0;
    int16_t rssiHalfDb = 0;
    uint16_t cbrPermille = 0;
};

enum class RlinkRxRecRc { Ok, Short, Bad };

// Decodes the record after the PROT_TP_RX_REC byte: aipcRec points at the
// record, aicLen bytes follow it (record, frame type byte and frame). On Ok,
// *aopFrameOff is where the frame's own protocol-type byte starts (from
// aipcRec); at least one byte follows the record. Short: the bytes end
// inside the record or nothing follows it. Bad: unknown version or flag
// bits, a record length outside 12..64, reserved byte not zero, a CBR above
// 1000. Never reads outside the aicLen bytes.
RlinkRxRecRc rlink_rx_rec_decode(const uint8_t* aipcRec, size_t aicLen, RlinkRxRec* aopRec,
                                 size_t* aopFrameOff);

// Writes a record (tests, stand-ins): 12 bytes at aopBuf.
void rlink_rx_rec_encode(const RlinkRxRec& aicRec, uint8_t aopBuf[V2X_RLINK_RX_REC_LEN]);

// The frame being handed up now. rx_info_start fills the receive times and
// marks everything else not known; the radio link calls it for each
// datagram it reads and rx_info_stop once the datagram has been handed up.
// A frame that reaches the DSM layer by another road (the access layer, a
// test) finds no record started and gets a fresh one there.
// Whether any connection wants records (the daemon server says so when
// its count changes): without one, rx_info_start reads no clock.
void rx_info_set_wanted(bool aicOn);
bool rx_info_wanted();
tDSMRxInfo& rx_info_cur();
void rx_info_start();
void rx_info_stop();
// (rx_info_start reads CLOCK_MONOTONIC; the wall-clock time is that plus
// the offset between the clocks, read again at least once a second.)
// Marks the record as the current frame's again, as it is (the security
// layer hands a verified frame up later with the record it kept).
void rx_info_resume();
bool rx_info_active();
// Writes the "not known" value into every field whose flag is clear (a
// frame read before anyone wanted records has only the fields the layers
// filled); called before the record goes out.
void rx_info_settle();
// Takes what the radio module said about the frame.
void rx_info_take_rec(const RlinkRxRec& aicRec);
// Takes the DSMP header's version and extension element (aicExtLen value
// bytes at aipcExtVal; more than 32 are not kept), while anyone wants
// records.
void rx_info_take_dsmp(uint8_t aicVer, uint8_t aicExtId, uint8_t aicExtLen,
                       const uint8_t* aipcExtVal);

#endif
