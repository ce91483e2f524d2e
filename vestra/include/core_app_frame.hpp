// SPDX-License-Identifier: Apache-2.0
// Framing of the application socket's stream (library-internal,
// header-only): the header rules of every message type in both directions,
// the header of one message as a one-message-at-a-time reader collects it
// (the core's daemon server), and the reassembly of the core's messages for
// the clients (the runtime's daemon client and the blocking system API).
//
// Client side:
// The core writes each message with one write, but the stream coalesces them:
// one read can hold several messages and end inside the next. The reader puts
// every read behind what it still holds, takes out each complete message in
// order and keeps an incomplete tail for the next read. A header whose length
// cannot belong to a message of its type means the stream is out of step:
// everything held is dropped so the reader never stays stuck; the caller logs
// it.
//
// Fixed storage, no allocation. Not thread-safe: one reader thread owns it.
#ifndef VESTRA_CORE_APP_FRAME_HPP
#define VESTRA_CORE_APP_FRAME_HPP

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "core_app.h"

enum class CoreAppHdr { Ok, BadLen, BadType };

// The type and payload length of the 6-byte header at aipcHdr (any
// alignment).
inline void core_app_hdr_parse(const char* aipcHdr, uint32_t* aopType, uint16_t* aopLen)
{
    memcpy(aopType, aipcHdr + offsetof(tCoreApp, msgType), sizeof(*aopType));
    memcpy(aopLen, aipcHdr + offsetof(tCoreApp, msgLen), sizeof(*aopLen));
}

// Writes the 6-byte header at aopHdr (any alignment).
inline void core_app_hdr_put(char* aopHdr, uint32_t aicType, uint16_t aicLen)
{
    memcpy(aopHdr + offsetof(tCoreApp, msgType), &aicType, sizeof(aicType));
    memcpy(aopHdr + offsetof(tCoreApp, msgLen), &aicLen, sizeof(aicLen));
}

// A header as an application may send it: a DSM request of at least its
// head (with options: options and head) and at most the largest payload, a
// fixed record at exactly its length; any other type is refused.
// (A DSM request's own length field is checked once its head is there:
// core_app_dsm_req_len_ok.)
// No valid request is longer than the largest message either side builds:
// a header that claims more is refused at once, before its bytes are read.
inline CoreAppHdr core_app_req_hdr_check(const uint32_t aicMsgType, const uint32_t aicMsgLen)
{
    if (aicMsgType == V2X_DSM_REQ) {
        return aicMsgLen >= V2X_DSM_REQ_HEAD_LEN && aicMsgLen <= V2X_CORE_APP_MAX_PAYLOAD
                   ? CoreAppHdr::Ok
                   : CoreAppHdr::BadLen;
    }
    if (aicMsgType == V2X_DSM_REQ_EX) {
        return aicMsgLen >= V2X_DSM_REQ_EX_HEAD_LEN && aicMsgLen <= V2X_CORE_APP_MAX_PAYLOAD
                   ? CoreAppHdr::Ok
                   : CoreAppHdr::BadLen;
    }
    const uint32_t fixed = core_app_req_fixed_len(aicMsgType);
    if (fixed == 0) {
        return CoreAppHdr::BadType;
    }
    return aicMsgLen == fixed ? CoreAppHdr::Ok : CoreAppHdr::BadLen;
}

// Where the tDSMReq record starts in the payload of a DSM request: behind
// the options and the call time with V2X_DSM_REQ_EX, at once otherwise.
inline uint32_t core_app_dsm_rec_off(const uint32_t aicMsgType)
{
    return aicMsgType == V2X_DSM_REQ_EX ? V2X_DSM_REQ_EX_PRE_LEN : 0u;
}

// The options at the start of a V2X_DSM_REQ_EX payload (any alignment) are
// well formed: their reserved bytes are zero.
inline bool core_app_tx_opt_ok(const char* aipcPre)
{
    tDSMTxOpt opt;
    memcpy(&opt, aipcPre + offsetof(tDSMReqExPre, opt), sizeof(opt));
    return opt.rsvd[0] == 0 && opt.rsvd[1] == 0 && opt.rsvd[2] == 0;
}

// The header of one message, collected across reads by a reader that takes
// one message at a time.
struct CoreAppHdrIn {
    char bytes[V2X_CORE_APP_HDR_LEN];
    uint32_t have;

    bool complete() const { return have == V2X_CORE_APP_HDR_LEN; }
    char* tail() { return bytes + have; }
    uint32_t missing() const { return V2X_CORE_APP_HDR_LEN - have; }
    uint32_t type() const
    {
        uint32_t t;
        uint16_t l;
        core_app_hdr_parse(bytes, &t, &l);
        return t;
    }
    uint16_t len() const
    {
        uint32_t t;
        uint16_t l;
        core_app_hdr_parse(bytes, &t, &l);
        return l;
    }
};

// A header as the core may send it: the fixed confirm lengths, an indication
// between its head and the largest message, and any other type below
// V2X_MSG_TYPE_MAX within the largest message (the dispatcher refuses those
// types once they are whole; their length still tells where the next message
// starts).
inline CoreAppHdr core_app_rx_hdr_check(const uint32_t aicMsgType, const uint32_t aicMsgLen)
{
    const uint32_t fixed = core_app_cfm_fixed_len(aicMsgType);
    if (fixed != 0) {
        return aicMsgLen == fixed ? CoreAppHdr::Ok : CoreAppHdr::BadLen;
    }
    // The answer to a query is framed like any message, so that a client
    // that sent one keeps its stream in step (its dispatcher refuses it).
    if (aicMsgType >= V2X_MSG_TYPE_MAX && aicMsgType != V2X_CTL_QUERY_RSP &&
        aicMsgType != V2X_DSM_IND_EX) {
        return CoreAppHdr::BadType;
    }
    if (aicMsgType == V2X_DSM_IND && aicMsgLen < V2X_DSM_IND_HEAD_LEN) {
        return CoreAppHdr::BadLen;
    }
    if (aicMsgType == V2X_DSM_IND_EX) {
        return aicMsgLen >= V2X_DSM_IND_EX_HEAD_LEN && aicMsgLen <= V2X_CORE_APP_MAX_PAYLOAD
                   ? CoreAppHdr::Ok
                   : CoreAppHdr::BadLen;
    }
    return aicMsgLen <= V2X_CORE_APP_MAX_PAYLOAD ? CoreAppHdr::Ok : CoreAppHdr::BadLen;
}

// A DSM indication (V2X_DSM_IND): the fields of its head and its data.
struct CoreAppDsmInd {
    uint8_t dsmpVer;
    uint32_t appId;
    uint8_t peerMac[6];
    uint8_t priority;
    uint16_t msgLen;   // bytes at data
    const char* data;  // into the bytes parsed; null when msgLen is 0
};

// Writes one whole V2X_DSM_IND message (header, head, data) at aopBuf (any
// alignment) of aicCap bytes. Returns its length, or 0 when the data is
// longer than an indication carries, is missing, or the buffer is too small
// (nothing written then).
inline size_t core_app_dsm_ind_put(char* aopBuf, const size_t aicCap, const CoreAppDsmInd& aicInd)
{
    const size_t pld = V2X_DSM_IND_HEAD_LEN + static_cast<size_t>(aicInd.msgLen);
    if (aopBuf == nullptr || aicInd.msgLen > V2X_DSM_IND_MAX_DATA ||
        (aicInd.msgLen != 0 && aicInd.data == nullptr) || aicCap < V2X_CORE_APP_HDR_LEN + pld) {
        return 0;
    }
    core_app_hdr_put(aopBuf, V2X_DSM_IND, static_cast<uint16_t>(pld));
    char* h = aopBuf + V2X_CORE_APP_HDR_LEN;
    h[offsetof(tDSMInd, dsmpVer)] = static_cast<char>(aicInd.dsmpVer);
    memcpy(h + offsetof(tDSMInd, appId), &aicInd.appId, sizeof(aicInd.appId));
    memcpy(h + offsetof(tDSMInd, peerMac), aicInd.peerMac, sizeof(aicInd.peerMac));
    h[offsetof(tDSMInd, priority)] = static_cast<char>(aicInd.priority);
    memcpy(h + offsetof(tDSMInd, msgLen), &aicInd.msgLen, sizeof(aicInd.msgLen));
    if (aicInd.msgLen != 0) {
        memcpy(h + V2X_DSM_IND_HEAD_LEN, aicInd.data, aicInd.msgLen);
    }
    return V2X_CORE_APP_HDR_LEN + pld;
}

// Reads the payload of a V2X_DSM_IND of aicLen bytes (any alignment). False
// when it is shorter than the head or its own length disagrees with
// aicLen; nothing outside the aicLen bytes is read either way.
inline bool core_app_dsm_ind_parse(const char* aipcPld, const size_t aicLen, CoreAppDsmInd* aopInd)
{
    // A refused payload leaves a zeroed head, which the callers' lines show.
    if (aopInd != nullptr) {
        *aopInd = CoreAppDsmInd{};
    }
    if (aipcPld == nullptr || aopInd == nullptr || aicLen < V2X_DSM_IND_HEAD_LEN) {
        return false;
    }
    CoreAppDsmInd ind{};
    ind.dsmpVer = static_cast<uint8_t>(aipcPld[offsetof(tDSMInd, dsmpVer)]);
    memcpy(&ind.appId, aipcPld + offsetof(tDSMInd, appId), sizeof(ind.appId));
    memcpy(ind.peerMac, aipcPld + offsetof(tDSMInd, peerMac), sizeof(ind.peerMac));
    ind.priority = static_cast<uint8_t>(aipcPld[offsetof(tDSMInd, priority)]);
    memcpy(&ind.msgLen, aipcPld + offsetof(tDSMInd, msgLen), sizeof(ind.msgLen));
    if (!core_app_dsm_ind_len_ok(static_cast<uint32_t>(aicLen), ind.msgLen)) {
        *aopInd = ind;
        return false;
    }
    ind.data = ind.msgLen != 0 ? aipcPld + V2X_DSM_IND_HEAD_LEN : nullptr;
    *aopInd = ind;
    return true;
}

// Writes one whole V2X_DSM_IND_EX message for the record and the indication
// at aopBuf (aicCap bytes), the data copied once: the indication is framed
// where its payload belongs, then the record goes over the plain header in
// front of it. Its length, or 0 when it does not fit.
inline size_t core_app_dsm_ind_ex_build(char* aopBuf, const size_t aicCap, const tDSMRxInfo& aicRx,
                                        const CoreAppDsmInd& aicInd)
{
    if (aopBuf == nullptr || aicCap < V2X_DSM_RX_INFO_LEN) {
        return 0;
    }
    const size_t plain = core_app_dsm_ind_put(aopBuf + V2X_DSM_RX_INFO_LEN,
                                              aicCap - V2X_DSM_RX_INFO_LEN, aicInd);
    const size_t pld = plain - V2X_CORE_APP_HDR_LEN + V2X_DSM_RX_INFO_LEN;
    if (plain == 0 || pld > V2X_CORE_APP_MAX_PAYLOAD) {
        return 0;
    }
    core_app_hdr_put(aopBuf, V2X_DSM_IND_EX, static_cast<uint16_t>(pld));
    memcpy(aopBuf + V2X_CORE_APP_HDR_LEN, &aicRx, sizeof(aicRx));
    const uint16_t size = V2X_DSM_RX_INFO_LEN;
    memcpy(aopBuf + V2X_CORE_APP_HDR_LEN + offsetof(tDSMRxInfo, size), &size, sizeof(size));
    return V2X_CORE_APP_HDR_LEN + pld;
}

// Checks the payload of a V2X_DSM_IND_EX of aicLen bytes (any alignment):
// its record's size (at least today's; a later core's longer record is
// skipped to its size) and the indication behind it, as
// core_app_dsm_ind_parse. The record's size, or 0 when either is
// malformed; nothing outside the aicLen bytes is read either way.
inline size_t core_app_dsm_ind_ex_check(const char* aipcPld, const size_t aicLen,
                                        CoreAppDsmInd* aopInd)
{
    if (aopInd != nullptr) {
        *aopInd = CoreAppDsmInd{};
    }
    if (aipcPld == nullptr || aopInd == nullptr || aicLen < V2X_DSM_IND_EX_HEAD_LEN) {
        return 0;
    }
    uint16_t size;
    memcpy(&size, aipcPld + offsetof(tDSMRxInfo, size), sizeof(size));
    if (size < V2X_DSM_RX_INFO_LEN || size > aicLen - V2X_DSM_IND_HEAD_LEN ||
        !core_app_dsm_ind_parse(aipcPld + size, aicLen - size, aopInd)) {
        return 0;
    }
    return size;
}

// core_app_dsm_ind_ex_check, and the record copied into *aopRx (its size
// then today's).
inline bool core_app_dsm_ind_ex_parse(const char* aipcPld, const size_t aicLen, tDSMRxInfo* aopRx,
                                      CoreAppDsmInd* aopInd)
{
    if (aopRx == nullptr || core_app_dsm_ind_ex_check(aipcPld, aicLen, aopInd) == 0) {
        return false;
    }
    memcpy(aopRx, aipcPld, sizeof(*aopRx));
    aopRx->size = static_cast<uint16_t>(sizeof(*aopRx));
    return true;
}

// A record that says nothing but the version: what a reader that wants
// records hands on for an indication that came without one.
inline void core_app_rx_info_none(tDSMRxInfo* aopRx, const uint8_t aicDsmpVer)
{
    memset(aopRx, 0, sizeof(*aopRx));
    aopRx->size = static_cast<uint16_t>(sizeof(*aopRx));
    aopRx->dsmpVer = aicDsmpVer;
    aopRx->srcL2Id = V2X_RX_INFO_SRC_UNKNOWN;
    aopRx->rssiHalfDb = V2X_RX_INFO_RSSI_UNKNOWN;
    aopRx->cbrPermille = V2X_RX_INFO_CBR_UNKNOWN;
}

// The core's greeting, the first message of every connection it accepts:
// Welcome when it serves the connection, RefusedCap or RefusedShare when it
// closes it right after (the record says how many it holds), Bad for a first
// message that is no greeting of this version.
enum class CoreAppGreet { Welcome, RefusedCap, RefusedShare, Bad };

inline CoreAppGreet core_app_greeting(const uint32_t aicType, const uint16_t aicLen,
                                      const char* aipcPld, tV2XCtlGreeting* aopRec)
{
    if (aicType != V2X_CTL_GREETING || aicLen != sizeof(tV2XCtlGreeting)) {
        return CoreAppGreet::Bad;
    }
    memcpy(aopRec, aipcPld, sizeof(*aopRec));
    if (aopRec->version == 0) {
        return CoreAppGreet::Bad;
    }
    switch (aopRec->status) {
    case V2X_CTL_WELCOME:
        return CoreAppGreet::Welcome;
    case V2X_CTL_REFUSED_CAP:
        return CoreAppGreet::RefusedCap;
    case V2X_CTL_REFUSED_SHARE:
        return CoreAppGreet::RefusedShare;
    default:
        return CoreAppGreet::Bad;
    }
}

// The most connections one peer user may hold of a cap of aicCap: three
// quarters of it, at least 1, so that one user cannot take every place.
inline int core_app_user_share(const int aicCap)
{
    const int share = aicCap / 4 * 3 + (aicCap % 4) * 3 / 4;
    return share < 1 ? 1 : share;
}

// One message as it lies in the reader's storage. payload points at msgLen
// bytes and stays valid until the next read_room() call; the storage is the
// reader's own, so the dispatcher may hand it to a call that takes a
// non-const record. After a drop, msgType and msgLen describe the refused
// header and payload is null.
struct CoreAppMsg {
    uint32_t msgType;
    uint16_t msgLen;
    char* payload;
};

enum class CoreAppNext { Msg, More, Drop };

class CoreAppRx {
public:
    // Largest read the clients make at once.
    static constexpr size_t kReadMax = V2X_CORE_APP_BUF_LEN - 1;
    // An incomplete message is at most one byte short of the largest message,
    // so a held tail plus one full read always fit.
    static constexpr size_t kCap = (V2X_CORE_APP_BUF_LEN - 1) + kReadMax;

    // Moves what is still held to the front and returns where the next read
    // goes; at most kReadMax bytes may be read there.
    char* read_room()
    {
        if (pos_ == end_) {
            pos_ = end_ = 0;
        } else if (pos_ != 0) {
            memmove(buf_, buf_ + pos_, end_ - pos_);
            end_ -= pos_;
            pos_ = 0;
        }
        return buf_ + end_;
    }

    // Accounts n bytes read into read_room(); never past the storage.
    void commit(const size_t n)
    {
        const size_t room = kCap - end_;
        end_ += n < room ? n : room;
    }

    // Msg: the next complete message. More: none is complete yet. Drop: the
    // next header was impossible and everything held (held_before_drop()
    // bytes) was discarded.
    CoreAppNext next(CoreAppMsg* aopMsg)
    {
        const size_t avail = end_ - pos_;
        if (avail < V2X_CORE_APP_HDR_LEN) {
            return CoreAppNext::More;
        }
        uint32_t type;
        uint16_t len;
        core_app_hdr_parse(buf_ + pos_, &type, &len);
        aopMsg->msgType = type;
        aopMsg->msgLen = len;
        aopMsg->payload = nullptr;
        if (core_app_rx_hdr_check(type, len) != CoreAppHdr::Ok) {
            dropped_ = avail;
            reset();
            return CoreAppNext::Drop;
        }
        if (avail - V2X_CORE_APP_HDR_LEN < len) {
            return CoreAppNext::More;  // the rest comes with a later read
        }
        aopMsg->payload = buf_ + pos_ + V2X_CORE_APP_HDR_LEN;
        pos_ += V2X_CORE_APP_HDR_LEN + len;
        return CoreAppNext::Msg;
    }

    // Bytes held that have not been handed out.
    size_t held() const { return end_ - pos_; }
    // Bytes discarded by the last drop.
    size_t held_before_drop() const { return dropped_; }
    void reset() { pos_ = end_ = 0; }

private:
    size_t pos_ = 0;  // first byte not handed out
    size_t end_ = 0;  // one past the last byte read
    size_t dropped_ = 0;
    char buf_[kCap];
};

#endif
