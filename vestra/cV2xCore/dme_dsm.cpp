// SPDX-License-Identifier: Apache-2.0
// The DSM layer: DSMP frames out, V2X_DSM_IND messages in.
#include "dme_dsm.hpp"

#include <string.h>


#include "adap_lyr.hpp"
#include "core_app.h"
#include "core_app_frame.hpp"
#include "dsm_mem.hpp"
#include "core_stats.hpp"
#include "dsmp.hpp"
#include "rx_info.hpp"
#include "self_log.h"
#include "v2x_prim.hpp"
#include "v2x_sink.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

static tDMEDSMPrim giDMEDSMPrim = {nullptr, nullptr};
static tDMEDSMPrim* gipDMEDSMPrim = &giDMEDSMPrim;
static char giMacAdr[6] = {0, 0, 0, 0, 0, 0};
// The send ring (giDSMMemHd and giDSMMemLk live inside it).
static DsmMemRing giDSMMemRing;

void dme_dsm_set_ind_sink(fDSMIndSink aipSink)
{
    dsm_state().ind.set(aipSink);
}

unsigned long dme_dsm_default_ind_sink_count(void)
{
    return dsm_state().ind.unset_count();
}

static tDSMMem* _find_dsm_mem()
{
    LOGT();
    return giDSMMemRing.take();
}

const char* dme_dsm_next_send_buf(void)
{
    return giDSMMemRing.peek_msg();
}

namespace {

// Refusals decided before anything is written, so a refusal leaves the
// buffers as they were: AIDs and extensions without an encoding, and
// datagrams that would not fit a buffer behind the protocol-type byte.
// 0 with the frame's length, or the refusal after its line.
int _check_req(const DsmTxReq& aicReq, size_t* aopFrameLen)
{
    const auto* exts = reinterpret_cast<const uint8_t*>(aicReq.exts);
    if (aicReq.meta.aid > DSMP_AID_MAX) {
        LOGE("aicAppId(%u) err!!!!\n", static_cast<unsigned>(aicReq.meta.aid));
        return -ERR_V2X_PARM_CONT;
    }
    if (exts != nullptr && exts[1] > DSMP_EXT_WR_MAX) {
        LOGE("dsmHdrExtLen(%d) err!!!!\n", static_cast<int>(exts[1]));
        return -ERR_V2X_PARM_CONT;
    }
    if (aicReq.dataLen != 0 && aicReq.data == nullptr) {
        LOGE("Input param err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    *aopFrameLen = dsmp_frame_len(aicReq.meta.aid, exts, aicReq.dataLen);
    if (ADAP_LYR_HDR_LEN + *aopFrameLen > static_cast<size_t>(DSM_MEM_MSG_LEN)) {
        LOGE("aicLen(%d) too long err!!!!\n", static_cast<int>(aicReq.dataLen));
        return -ERR_V2X_SEND_LEN;
    }
    return 0;
}

// Writes the request's DSMP frame at aopFrame (checked to fit).
int _encode(const DsmTxReq& aicReq, char* aopFrame, size_t aicCap, DsmpTxInfo* aopInfo)
{
    const int ret = dsmp_encode(reinterpret_cast<uint8_t*>(aopFrame), aicCap, aicReq.meta.aid,
                                reinterpret_cast<const uint8_t*>(aicReq.exts),
                                reinterpret_cast<const uint8_t*>(aicReq.data), aicReq.dataLen,
                                aopInfo);
    LOGI("dsmHdr1=0x%x\n", static_cast<unsigned>(aopInfo->hdr1));
    if (aopInfo->extBytes != 0) {
        LOGI("dsmHdrExtLen=%d\n", static_cast<int>(aopInfo->extBytes));
    }
    LOGI("aicAppId=0x%x\n", static_cast<unsigned>(aicReq.meta.aid));
    if (aopInfo->twoByteAid) {
        LOGI("aidTmp=0x%x\n", static_cast<unsigned>(aopInfo->aidField));
    }
    return ret;
}

// The frame written where the datagram waits or leaves from.
void _fill_frame(char* aopFrame, const void* aipCtx)
{
    DsmpTxInfo info;
    (void)_encode(*static_cast<const DsmTxReq*>(aipCtx), aopFrame,
                  static_cast<size_t>(DSM_MEM_MSG_LEN - ADAP_LYR_HDR_LEN), &info);
}

}  // namespace

int dme_dsm_send(const DsmTxReq& aicReq)
{
    LOGT();
    size_t frameLen = 0;
    if (int rc = _check_req(aicReq, &frameLen); rc != 0) {
        return rc;
    }
    // A failure below is counted and logged where it was decided. Protocol
    // type, addresses and priority do not go on the air: the link's
    // scheduler has what it needs in the record's meta.
    return adap_lyr_send_fill(aicReq.meta, static_cast<uint16_t>(frameLen), _fill_frame, &aicReq);
}

// The published request: the core's own datagram at priority 0, no
// lifetime, framed in the next of the layer's send buffers (the daemon
// server and the management entity send through dme_dsm_send).
static int _dsm_request(const uint32_t aicAppId, const uint8_t aicProtTp, const uint8_t aicPrity,
                        const uint16_t aicLen, const char* aipcData, const char* aipcPeerMac,
                        const char* aipcDSMHdrExts)
{
    LOGT();
    DsmTxReq req;
    req.meta = TxMeta{0, aicAppId, 0, 0, 0, 0};
    req.protTp = aicProtTp;
    req.priority = aicPrity;
    req.dataLen = aicLen;
    req.data = aipcData;
    req.peerMac = aipcPeerMac;
    req.exts = aipcDSMHdrExts;
    size_t frameLen = 0;
    if (int rc = _check_req(req, &frameLen); rc != 0) {
        return rc;
    }
    tDSMMem* mem = _find_dsm_mem();
    if (mem == nullptr) {
        LOGE("_find_dsm_mem() err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    if (adap_lyr_send_entry() == nullptr) {
        return adap_lyr_send(req.meta, nullptr, 0);  // says why, once
    }
    DsmpTxInfo info;
    // The frame goes behind the adaptation layer's headroom.
    const int ret = _encode(req, mem->msg + ADAP_LYR_HDR_LEN, sizeof(mem->msg) - ADAP_LYR_HDR_LEN,
                            &info);
    if (ret != 0) {
        LOGE("dsmp_encode() err!!!!\n");
        return ret;
    }
    return adap_lyr_send(req.meta, mem->msg, static_cast<uint16_t>(info.frameLen));
}

static int _dsm_indication(uint8_t aiDSMPVer, const uint32_t aicAppId, uint16_t aiLen,
                           const char* aipcData, const char* aipcPeerMac, uint8_t aiPrity)
{
    LOGT();
    // The buffer holds header, head and at most 4076 data bytes.
    if (aiLen > V2X_DSM_IND_MAX_DATA || (aiLen != 0 && aipcData == nullptr) ||
        aipcPeerMac == nullptr) {
        LOGE("aiLen(%d) err!!!!\n", static_cast<int>(aiLen));
        return -ERR_V2X_PARM_CONT;
    }
    // Header, head and data are all written by the framing and nothing past
    // them is sent, so the buffer is not cleared first (4 KiB per frame).
    CoreAppDsmInd ind;
    ind.dsmpVer = aiDSMPVer;
    ind.appId = aicAppId;
    memcpy(ind.peerMac, aipcPeerMac, sizeof(ind.peerMac));
    ind.priority = aiPrity;
    ind.msgLen = aiLen;
    ind.data = aipcData;
    DsmState& st = dsm_state();
    int ret = 0;
    // Asked of the daemon server only while someone wants records.
    const int forms = rx_info_wanted() && st.indForms != nullptr ? st.indForms() : DSM_IND_PLAIN;
    if ((forms & DSM_IND_RECORD) != 0) {
        // The frame's receive record: started by the radio link, or a fresh
        // one for a frame that came another way.
        if (!rx_info_active()) {
            rx_info_start();
            rx_info_stop();
        }
        tDSMRxInfo& rx = rx_info_cur();
        rx.dsmpVer = aiDSMPVer;
        if ((rx.flags & V2X_RX_INFO_HAS_TIME) == 0) {
            rx_info_settle();  // read before anyone wanted records
        }
        // Each form is built only when a connection takes it, the data
        // copied once into each.
        const size_t exLen = core_app_dsm_ind_ex_build(st.indExBuf, sizeof(st.indExBuf), rx, ind);
        const bool plain = (forms & DSM_IND_PLAIN) != 0;
        const size_t len = plain ? core_app_dsm_ind_put(st.indBuf, sizeof(st.indBuf), ind) : 0;
        ret = st.indPair(plain ? st.indBuf : nullptr, static_cast<int>(len),
                         exLen != 0 ? st.indExBuf : nullptr, static_cast<int>(exLen));
    } else {
        const size_t len = core_app_dsm_ind_put(st.indBuf, sizeof(st.indBuf), ind);
        ret = st.ind(st.indBuf, static_cast<int>(len));
    }
    if (ret != 0) {
        LOGE("v2x_sdk_dmn_serv_tx_clit_msg() err!!!!\n");
        return ret;
    }
    STAT_ADD(rxIndications);
    return V2X_SUCCESS;
}

extern "C" V2X_API tDMEDSMPrim* get_dme_dsm_prim(void)
{
    return gipDMEDSMPrim;
}

extern "C" V2X_API int dme_dsm_init(const char* aipcMacAdr)
{
    LOGT();
    if (aipcMacAdr == nullptr) {
        LOGE("Input param err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    memcpy(giMacAdr, aipcMacAdr, sizeof(giMacAdr));
    // A second init without an exit would otherwise grow the ring.
    giDSMMemRing.release();
    prim_set(giDMEDSMPrim, _dsm_request, _dsm_indication);
    for (int i = 0; i < DSM_MEM_CNT; ++i) {
        if (!giDSMMemRing.add_one()) {
            LOGE("xzMalloc() err!!!!\n");
            dme_dsm_exit();
            return -ERR_V2X_MALLOC;
        }
    }
    return V2X_SUCCESS;
}

extern "C" V2X_API int dme_dsm_exit(void)
{
    LOGT();
    giDSMMemRing.release();
    return prim_set(giDMEDSMPrim, nullptr, nullptr);
}
