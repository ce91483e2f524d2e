// SPDX-License-Identifier: Apache-2.0
// The daemon server's dispatcher: the header rules of each request type,
// each request decoded once into the record that travels down, and the
// hand-over to the layer that owns what it asks for. Each layer logs its
// own refusals; here they are counted for the connection.
// Its lines carry the daemon server's name, which hosts filter on.
#define LOG_SRC_NAME "domn_serv.cpp"

#include <stdlib.h>
#include <string.h>

#include "core_app.h"
#include "core_app_tx.hpp"
#include "core_mib.h"
#include "core_stats.hpp"
#include "dme.h"
#include "dmn_server.hpp"
#include "sec_lyr.hpp"
#include "self_log.h"
#include "v2x_prim.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

// The layers' tables, looked up afresh for every request.
tDMEDSMPrim* gipDSMPrim = nullptr;
tDMEPrim* gipDMEPrim = nullptr;

namespace {

uint16_t rd16(const char* p)
{
    uint16_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

uint32_t rd32(const char* p)
{
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// The defaults of an AID, or null.
const tV2XTxDefault* _tx_default(uint32_t aicAid)
{
    const DmnTxDefaults& d = dmn_server().txDefs;
    for (int i = 0; i < d.servCnt; ++i) {
        if (d.serv[i].aid == aicAid) {
            return &d.serv[i];
        }
    }
    return nullptr;
}

// How a DSM request waits for the radio, from its options or, without
// them, from its AID's defaults. aipcPld: the payload's first
// dmn_tx_class_len() bytes at least.
TxMeta _tx_meta(uint32_t aicConn, uint32_t aicType, const char* aipcPld)
{
    const char* req = aipcPld + core_app_dsm_rec_off(aicType);
    TxMeta m = {aicConn, 0, 0, 0, 0, 0};
    if (aicType == V2X_DSM_REQ_EX) {
        m.lifetimeMs = rd32(aipcPld + offsetof(tDSMReqExPre, opt.lifetimeMs));
        m.supersede = aipcPld[offsetof(tDSMReqExPre, opt.supersede)] != 0 ? 1 : 0;
        memcpy(&m.callUs, aipcPld + offsetof(tDSMReqExPre, callUs), sizeof(m.callUs));
    }
    m.aid = rd32(req + offsetof(tDSMReq, appId));
    m.prio = TxScheduler::clamp_prio(static_cast<uint8_t>(req[offsetof(tDSMReq, priority)]));
    if (aicType == V2X_DSM_REQ) {
        if (const tV2XTxDefault* d = _tx_default(m.aid)) {
            m.lifetimeMs = d->lifetimeMs;
            m.supersede = d->supersede != 0 ? 1 : 0;
            m.prio = m.prio != 0 ? m.prio : d->priority;
        }
    }
    return m;
}

// A DSM request's payload, decoded into its record: 0, or the refusal
// after its line.
int _decode_dsm(uint32_t aicConn, uint32_t aicType, const char* aipcPld, uint32_t aicLen,
                DsmTxReq* aopReq)
{
    aopReq->meta = _tx_meta(aicConn, aicType, aipcPld);
    if (aicType == V2X_DSM_REQ_EX && !core_app_tx_opt_ok(aipcPld)) {
        LOGE("tDSMTxOpt.rsvd err, must be 0!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    const uint32_t off = core_app_dsm_rec_off(aicType);
    const char* rec = aipcPld + off;
    const uint32_t recLen = aicLen - off;
    const uint16_t dataLen = rd16(rec + offsetof(tDSMReq, msgLen));
    if (!core_app_dsm_req_len_ok(recLen, dataLen)) {
        LOGE("%d!=%d+%d err!!!!\n", static_cast<int>(recLen), V2X_DSM_REQ_HEAD_LEN, dataLen);
        return -ERR_V2X_RX_APP_FMT;
    }
    aopReq->protTp = static_cast<uint8_t>(rec[offsetof(tDSMReq, protTp)]);
    aopReq->priority = static_cast<uint8_t>(rec[offsetof(tDSMReq, priority)]);
    aopReq->dataLen = dataLen;
    aopReq->data = rec + V2X_DSM_REQ_HEAD_LEN;
    aopReq->peerMac = rec + offsetof(tDSMReq, peerMac);
    aopReq->exts = rec + offsetof(tDSMReq, dsmHdrExts);
    return 0;
}

// The views lie in the receive buffer and are valid during the call only.
int _process_dsm_request(const DmnReq& aicReq)
{
    if (PrimFetch why = prim_fetch(gipDSMPrim, get_dme_dsm_prim, &tDMEDSMPrim::request); why != PrimFetch::Ok) {
        return prim_fail("gipDSMPrim->request");
    }
    if (aicReq.decodeRc != 0) {
        return aicReq.decodeRc;
    }
    // A refusal is logged by the layer that decides it. AIDs whose profile
    // signs go to the signing workers first.
    return sec_lyr_send(aicReq.dsm);
}

int _process_dme_prov_request(uint32_t aicConn, const char* aipcPld)
{
    if (PrimFetch why = prim_fetch(gipDMEPrim, get_dme_prim, &tDMEPrim::provReq); why != PrimFetch::Ok) {
        return prim_fail("gipDMEPrim->provReq");
    }
    uint32_t act = rd32(aipcPld + offsetof(tDMEProvServReq, dmeAct));
    eDMEAction action;
    memcpy(&action, &act, sizeof(action));
    // The management entity keys what it keeps by the asking connection and
    // answers it alone.
    return dme_prov_req(aicConn, rd16(aipcPld + offsetof(tDMEProvServReq, lclAppId)), action,
                        rd32(aipcPld + offsetof(tDMEProvServReq, appId)),
                        static_cast<uint8_t>(aipcPld[offsetof(tDMEProvServReq, rptRte)]),
                        aipcPld + offsetof(tDMEProvServReq, dsaHdrExt),
                        aipcPld + offsetof(tDMEProvServReq, otherInfo));
}

int _process_dme_user_request(uint32_t aicConn, const char* aipcPld)
{
    if (PrimFetch why = prim_fetch(gipDMEPrim, get_dme_prim, &tDMEPrim::userReq); why != PrimFetch::Ok) {
        return prim_fail("gipDMEPrim->userReq");
    }
    uint32_t act = rd32(aipcPld + offsetof(tDMEUserServReq, dmeAct));
    uint32_t tp = rd32(aipcPld + offsetof(tDMEUserServReq, dmeUsrReqTp));
    eDMEAction action;
    eDMEUsrReqTp reqTp;
    memcpy(&action, &act, sizeof(action));
    memcpy(&reqTp, &tp, sizeof(reqTp));
    return dme_user_req(aicConn, rd16(aipcPld + offsetof(tDMEUserServReq, lclAppId)), action,
                        reqTp, rd32(aipcPld + offsetof(tDMEUserServReq, appId)),
                        aipcPld + offsetof(tDMEUserServReq, otherInfo));
}

// A registration, answered to the asker so that it knows whether its AID
// will come.
int _process_dsm_serv(tClitNetCon* c, const char* aipcPld)
{
    tDMEDSMServReq req;
    memcpy(&req, aipcPld, sizeof(req));
    const int rc = mib_dsm_serv_update(c->connId, &req);
    if (rc != 0) {
        LOGE("mib_dsm_serv_info_updata() err!!!!\n");
    }
    tDMEDSMServCfm cfm;
    cfm.appId = req.appId;
    cfm.retCd = rc == 0 ? DME_RET_ACCEPT : DME_RET_REJ_VAL_ERR;
    if (rc == 0) {
        STAT_ADD(cfmAccepted);
    } else {
        STAT_ADD(cfmRefusedValue);
    }
    char msg[V2X_CORE_APP_HDR_LEN + sizeof(cfm)];
    const size_t len = core_app_put_msg(msg, V2X_DSM_CFM, reinterpret_cast<const char*>(&cfm),
                                        static_cast<uint16_t>(sizeof(cfm)));
    v2x_sdk_dmn_serv_tx_to_clit(c->connId, msg, static_cast<int>(len));
    return rc;
}

// Only as the first message: a connection that has been served as an
// application's does not turn into something else.
int _process_hello(tClitNetCon* c, const char* aipcPld)
{
    tV2XCtlHello h;
    memcpy(&h, aipcPld, sizeof(h));
    if (c->msgsIn != 1 || h.version == 0 || h.rsvd != 0) {
        LOGE("fd=%d control hello (version %u) not first or malformed err!!!!\n", c->fd,
             static_cast<unsigned>(h.version));
        return -ERR_V2X_PARM_CONT;
    }
    dmn_set_kind(c, kConnCtl);
    return 0;
}

// A connection asks for receive records with its indications, or for
// plain ones again. Control connections get no indications at all.
int _process_rx_info(tClitNetCon* c, const char* aipcPld)
{
    tV2XRxInfoReq r;
    memcpy(&r, aipcPld, sizeof(r));
    if (c->kind == kConnCtl || r.on > 1 || r.rsvd != 0) {
        LOGE("fd=%d rx info request (on %u) err!!!!\n", c->fd, static_cast<unsigned>(r.on));
        return -ERR_V2X_PARM_CONT;
    }
    dmn_set_rx_info(c, r.on != 0);
    return 0;
}

}  // namespace

bool dmn_is_dsm_req(uint32_t aicType)
{
    return aicType == V2X_DSM_REQ || aicType == V2X_DSM_REQ_EX;
}

uint32_t dmn_tx_class_len(uint32_t aicType)
{
    // The options, then the head up to its priority.
    return core_app_dsm_rec_off(aicType) + static_cast<uint32_t>(offsetof(tDSMReq, priority)) + 1u;
}

uint8_t dmn_tx_prio(uint32_t aicType, const char* aipcHead)
{
    return _tx_meta(0, aicType, aipcHead).prio;
}

int dmn_check_header(tClitNetCon* c, uint32_t aicType, uint32_t aicLen)
{
    // The rules are the stream's own (core_app_frame.hpp), shared with the
    // clients' check before they send; only the lines are this server's.
    CoreAppHdr chk = core_app_req_hdr_check(aicType, aicLen);
    if (chk == CoreAppHdr::Ok && c->kind == kConnCtl && aicType != V2X_CTL_QUERY_REQ) {
        chk = CoreAppHdr::BadType;  // a control connection only asks
    }
    switch (chk) {
    case CoreAppHdr::Ok:
        return 0;
    case CoreAppHdr::BadType:
        ++c->refusedType;
        STAT_ADD(appRefusedType);
        LOGE("msgType(%d) err!!!!\n", static_cast<int>(aicType));
        return -ERR_V2X_RX_APP_FMT;
    case CoreAppHdr::BadLen:
        ++c->refusedLen;
        STAT_ADD(appRefusedLen);
        break;
    }
    if (aicType == V2X_DSM_REQ) {
        LOGE("V2X_DSM_REQ len(%d) err!!!!\n", static_cast<int>(aicLen));
    } else if (aicType == V2X_DSM_REQ_EX) {
        LOGE("V2X_DSM_REQ_EX len(%d) err!!!!\n", static_cast<int>(aicLen));
    } else if (aicType == V2X_DME_DSM_SERV_REQ) {
        LOGE("V2X_DME_DSM_SERV_REQ len(%d) err!!!!\n", static_cast<int>(aicLen));
    } else {
        LOGE("%d!=%d err!!!!\n", static_cast<int>(aicLen),
             static_cast<int>(core_app_req_fixed_len(aicType)));
    }
    return -ERR_V2X_RX_APP_FMT;
}

void dmn_decode(const tClitNetCon* c, uint32_t aicType, const char* aipcPld, uint32_t aicLen,
                DmnReq* aopReq)
{
    aopReq->type = aicType;
    aopReq->pld = aipcPld;
    aopReq->len = aicLen;
    if (dmn_is_dsm_req(aicType)) {
        aopReq->decodeRc = _decode_dsm(c->connId, aicType, aipcPld, aicLen, &aopReq->dsm);
    }
}

int dmn_dispatch(tClitNetCon* c, const DmnReq& aicReq)
{
    int rc = 0;
    switch (aicReq.type) {
    case V2X_DSM_REQ:
    case V2X_DSM_REQ_EX:
        rc = _process_dsm_request(aicReq);
        break;
    case V2X_DME_PROV_SERV_REQ:
        rc = _process_dme_prov_request(c->connId, aicReq.pld);
        break;
    case V2X_DME_USER_SERV_REQ:
        rc = _process_dme_user_request(c->connId, aicReq.pld);
        break;
    case V2X_DME_DSM_SERV_REQ:
        rc = _process_dsm_serv(c, aicReq.pld);
        break;
    case V2X_CTL_QUERY_REQ:
        dmn_answer_query(c, aicReq.pld);
        break;
    case V2X_CTL_HELLO:
        rc = _process_hello(c, aicReq.pld);
        break;
    case V2X_DSM_RX_INFO_REQ:
        rc = _process_rx_info(c, aicReq.pld);
        break;
    default:
        break;  // refused by dmn_check_header before we get here
    }
    if (rc == -ERR_V2X_RX_APP_FMT) {
        ++c->refusedLen;
        STAT_ADD(appRefusedLen);
    } else if (rc != 0 && rc != -ERR_V2X_SOCKET_SEND_TO && rc != -ERR_V2X_TX_FULL) {
        // A radio that failed the send is counted by the radio link.
        ++c->refusedValue;
        STAT_ADD(appRefusedValue);
    }
    return rc;
}

void dmn_take_tx_defaults()
{
    DmnTxDefaults& d = dmn_server().txDefs;
    std::lock_guard<std::mutex> lk(d.mtx);
    memcpy(d.serv, d.set, sizeof(d.set));
    d.servCnt = d.setCnt;
}

extern "C" V2X_API int v2x_sdk_dmn_serv_set_tx_defaults(const tV2XTxDefault* aipcDefs, int aicCnt)
{
    if (aicCnt < 0 || aicCnt > V2X_TX_DEFAULTS_MAX || (aicCnt > 0 && aipcDefs == nullptr)) {
        LOGE("aicCnt(%d) err!!!!\n", aicCnt);
        return -ERR_V2X_PARM_CONT;
    }
    tV2XTxDefault defs[V2X_TX_DEFAULTS_MAX];
    for (int i = 0; i < aicCnt; ++i) {
        memcpy(&defs[i], &aipcDefs[i], sizeof(defs[i]));
        const tV2XTxDefault& d = defs[i];
        bool twice = false;
        for (int k = 0; k < i; ++k) {
            twice = twice || defs[k].aid == d.aid;
        }
        if (d.aid > V2X_LIM_AID_MAX || d.priority > TxScheduler::kPrioMax || d.rsvd[0] != 0 ||
            d.rsvd[1] != 0 || twice) {
            LOGE("tx default %d (aid %u priority %u) err!!!!\n", i, static_cast<unsigned>(d.aid),
                 static_cast<unsigned>(d.priority));
            return -ERR_V2X_PARM_CONT;
        }
    }
    DmnTxDefaults& t = dmn_server().txDefs;
    std::lock_guard<std::mutex> lk(t.mtx);
    if (aicCnt > 0) {
        memcpy(t.set, defs, sizeof(defs[0]) * static_cast<size_t>(aicCnt));
    }
    t.setCnt = aicCnt;
    return V2X_SUCCESS;
}
