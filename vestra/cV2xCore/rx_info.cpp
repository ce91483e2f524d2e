// SPDX-License-Identifier: Apache-2.0
// The receive record of the frame being handed up, and the radio link's
// receive-record datagram.
#include "rx_info.hpp"

#include <string.h>

#include "dsmp.hpp"
#include "v2x_clock.hpp"

namespace {

// The core thread's record; the layers that fill it all run there.
tDSMRxInfo giRxInfo;
bool giRxActive = false;
// Whether any connection wants records: without one, no clock is read.
bool giRxWanted = false;
// The wall clock is the monotonic one plus this offset, read again once a
// second: one clock read per datagram instead of two.
uint64_t giRealOff = 0;
uint64_t giRealAt = 0;

// A record before anything is known of its frame.
constexpr tDSMRxInfo kFresh = {static_cast<uint16_t>(sizeof(tDSMRxInfo)),
                               0,
                               V2X_RX_INFO_HAS_TIME,
                               0,
                               0,
                               V2X_RX_INFO_SRC_UNKNOWN,
                               V2X_RX_INFO_RSSI_UNKNOWN,
                               V2X_RX_INFO_CBR_UNKNOWN,
                               V2X_RX_SEC_NOT_CHECKED,
                               0,
                               0,
                               0,
                               {},
                               {}};

}  // namespace

RlinkRxRecRc rlink_rx_rec_decode(const uint8_t* aipcRec, size_t aicLen, RlinkRxRec* aopRec,
                                 size_t* aopFrameOff)
{
    ByteCursor c(aipcRec, aicLen);
    const uint8_t ver = c.u8("version");
    const uint8_t recLen = c.u8("recLen");
    const uint8_t flags = c.u8("flags");
    const uint8_t rsvd = c.u8("rsvd");
    const uint8_t* src = c.bytes(4, "srcL2Id");
    const uint16_t rssi = c.be16("rssi");
    const uint16_t cbr = c.be16("cbr");
    if (!c.ok()) {
        return RlinkRxRecRc::Short;
    }
    if (ver != V2X_RLINK_RX_REC_VER || recLen < V2X_RLINK_RX_REC_LEN ||
        recLen > V2X_RLINK_RX_REC_MAX || rsvd != 0 || src[0] != 0 ||
        (flags & ~V2X_RLINK_RX_FLAGS_ALL) != 0 ||
        ((flags & V2X_RLINK_RX_HAS_CBR) != 0 && cbr > 1000u)) {
        return RlinkRxRecRc::Bad;
    }
    // A later version's fields are skipped; the frame type byte must follow.
    if (static_cast<size_t>(recLen) >= aicLen) {
        return RlinkRxRecRc::Short;
    }
    aopRec->flags = flags;
    aopRec->srcL2Id = (static_cast<uint32_t>(src[1]) << 16) | (static_cast<uint32_t>(src[2]) << 8) |
                      src[3];
    aopRec->rssiHalfDb = static_cast<int16_t>(rssi);
    aopRec->cbrPermille = cbr;
    *aopFrameOff = recLen;
    return RlinkRxRecRc::Ok;
}

void rlink_rx_rec_encode(const RlinkRxRec& aicRec, uint8_t aopBuf[V2X_RLINK_RX_REC_LEN])
{
    const auto rssi = static_cast<uint16_t>(aicRec.rssiHalfDb);
    const uint8_t b[V2X_RLINK_RX_REC_LEN] = {
        static_cast<uint8_t>(V2X_RLINK_RX_REC_VER),
        static_cast<uint8_t>(V2X_RLINK_RX_REC_LEN),
        aicRec.flags,
        0,
        0,
        static_cast<uint8_t>(aicRec.srcL2Id >> 16),
        static_cast<uint8_t>(aicRec.srcL2Id >> 8),
        static_cast<uint8_t>(aicRec.srcL2Id),
        static_cast<uint8_t>(rssi >> 8),
        static_cast<uint8_t>(rssi),
        static_cast<uint8_t>(aicRec.cbrPermille >> 8),
        static_cast<uint8_t>(aicRec.cbrPermille)};
    memcpy(aopBuf, b, sizeof(b));
}

tDSMRxInfo& rx_info_cur() { return giRxInfo; }

void rx_info_set_wanted(bool aicOn) { giRxWanted = aicOn; }

bool rx_info_wanted() { return giRxWanted; }

void rx_info_start()
{
    tDSMRxInfo& r = giRxInfo;
    giRxActive = true;
    if (!giRxWanted) {
        // Nobody reads it: the fields the layers fill below are written
        // all the same, the rest is left as it is.
        r.flags = 0;
        r.secResult = V2X_RX_SEC_NOT_CHECKED;
        return;
    }
    r = kFresh;
    const uint64_t mono = v2x_mono_us();
    if (giRealAt == 0 || mono - giRealAt >= 1000000u) {
        giRealOff = v2x_real_us() - mono;
        giRealAt = mono;
    }
    r.rxMonoUs = mono;
    r.rxRealUs = mono + giRealOff;
}

void rx_info_stop() { giRxActive = false; }

void rx_info_settle()
{
    tDSMRxInfo& r = giRxInfo;
    r.size = static_cast<uint16_t>(sizeof(r));
    if ((r.flags & V2X_RX_INFO_HAS_TIME) == 0) {
        // Read before anyone wanted records: nothing of it was kept.
        r.rxRealUs = 0;
        r.rxMonoUs = 0;
        r.extId = 0;
        r.extLen = 0;
        memset(r.extVal, 0, sizeof(r.extVal));
    }
    if ((r.flags & V2X_RX_INFO_HAS_SRC) == 0) {
        r.srcL2Id = V2X_RX_INFO_SRC_UNKNOWN;
    }
    if ((r.flags & V2X_RX_INFO_HAS_RSSI) == 0) {
        r.rssiHalfDb = V2X_RX_INFO_RSSI_UNKNOWN;
    }
    if ((r.flags & V2X_RX_INFO_HAS_CBR) == 0) {
        r.cbrPermille = V2X_RX_INFO_CBR_UNKNOWN;
    }
    if (r.secResult != V2X_RX_SEC_VERIFIED) {
        memset(r.signerId, 0, sizeof(r.signerId));
    }
    r.rsvd = 0;
}

void rx_info_resume() { giRxActive = true; }

bool rx_info_active() { return giRxActive; }

void rx_info_take_rec(const RlinkRxRec& aicRec)
{
    tDSMRxInfo& r = giRxInfo;
    if ((aicRec.flags & V2X_RLINK_RX_HAS_SRC) != 0) {
        r.flags |= V2X_RX_INFO_HAS_SRC;
        r.srcL2Id = aicRec.srcL2Id;
    }
    if ((aicRec.flags & V2X_RLINK_RX_HAS_RSSI) != 0) {
        r.flags |= V2X_RX_INFO_HAS_RSSI;
        r.rssiHalfDb = aicRec.rssiHalfDb;
    }
    if ((aicRec.flags & V2X_RLINK_RX_HAS_CBR) != 0) {
        r.flags |= V2X_RX_INFO_HAS_CBR;
        r.cbrPermille = aicRec.cbrPermille;
    }
}

void rx_info_take_dsmp(uint8_t aicVer, uint8_t aicExtId, uint8_t aicExtLen,
                       const uint8_t* aipcExtVal)
{
    if (!giRxWanted) {
        return;  // nobody reads it
    }
    tDSMRxInfo& r = giRxInfo;
    r.dsmpVer = aicVer;
    const uint8_t n = aicExtLen <= sizeof(r.extVal) ? aicExtLen : 0;
    r.extId = aicExtId;
    r.extLen = n;
    memset(r.extVal, 0, sizeof(r.extVal));
    if (n != 0 && aipcExtVal != nullptr) {
        memcpy(r.extVal, aipcExtVal, n);
    }
}
