// SPDX-License-Identifier: Apache-2.0
// Management entity: provider services, their advertisement timers, user
// service acknowledgements and the dump of received advertisement frames.
// Everything here runs on the core thread, so the table needs no lock.
#include "dme.hpp"

#include <event2/event.h>
#include <stdio.h>
#include <string.h>

#include "air_log.hpp"
#include "core_app_tx.hpp"
#include "core_stats.hpp"
#include "dme_dsm.hpp"
#include "dsmp.hpp"
#include "self_log.h"
#include "v2x_prim.hpp"
#include "v2x_sink.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_INFO;

namespace {

constexpr size_t kTextMax = 256;  // text fields, terminator included
// Priority of the advertisements in the radio link's transmit queue: above
// bulk traffic (0..2), below the safety messages (4..7).
constexpr uint8_t kDsaPriority = 3;

// One provider service, keyed by its owner (the application connection
// that added it; 0 for a caller of the core itself) and its lclAppId.
struct tProvReq {
    uint8_t valFlg;
    uint32_t owner;
    uint16_t lclAppId;
    uint32_t appId;
    uint8_t protTp;
    uint8_t priority;
    uint8_t peerMac[6];
    char dsmHdrExts[256];
    char dsaHdrExtAry[kTextMax];
    char othrInfo[kTextMax];
    uint32_t txSec;
    uint32_t txUsec;
    struct event* pEtTmer;
};

tProvReq giProvReqAry[DME_PROV_MAX];
tDMEPrim giDMEPrim = {nullptr, nullptr};
tDMEDSMPrim* gipDSMPrim = nullptr;

// Copies a text of at most 255 characters; a text not terminated within its
// 256-byte field is cut there rather than read past the field.
void copy_text(char (&aopDst)[kTextMax], const char* aipcSrc)
{
    memset(aopDst, 0, sizeof(aopDst));
    if (aipcSrc != nullptr) {
        memcpy(aopDst, aipcSrc, strnlen(aipcSrc, kTextMax - 1));
    }
}

void release_timer(tProvReq& e)
{
    if (e.pEtTmer != nullptr) {
        event_del(e.pEtTmer);
        event_free(e.pEtTmer);
        e.pEtTmer = nullptr;
    }
}

// The entry of (aicOwner, aicLclAppId), or with aicFree the first unused
// one; null when there is none.
tProvReq* find_prov(uint32_t aicOwner, uint16_t aicLclAppId, bool aicFree)
{
    for (auto& e : giProvReqAry) {
        if (aicFree ? e.valFlg == 0
                    : e.valFlg == 1 && e.owner == aicOwner && e.lclAppId == aicLclAppId) {
            return &e;
        }
    }
    return nullptr;
}

// Confirms go to the connection that asked only: another application with a
// request pending under the same lclAppId must not take this one for its own.
// The providers in use, for the gauge; after every change of the table.
void count_providers()
{
    uint64_t n = 0;
    for (const auto& e : giProvReqAry) {
        n += e.valFlg == 1 ? 1 : 0;
    }
    STAT_SET(mgmtProviders, n);
}

int _tx_dme_response(uint32_t aicConn, eV2XMsgType aicMsgType, uint16_t aicLclAppId,
                     uint32_t aicRetCd)
{
    if (aicRetCd == DME_RET_ACCEPT) {
        STAT_ADD(cfmAccepted);
    } else if (aicRetCd == DME_RET_REJ_VAL_ERR) {
        STAT_ADD(cfmRefusedValue);
    } else {
        STAT_ADD(cfmRefusedOther);
    }
    memset(dme_state().cfmBuf, 0, sizeof(dme_state().cfmBuf));
    char cfm[V2X_DME_SERV_CFM_LEN];
    memcpy(cfm + offsetof(tDMEProvServCfm, lclAppId), &aicLclAppId, sizeof(aicLclAppId));
    memcpy(cfm + offsetof(tDMEProvServCfm, retCd), &aicRetCd, sizeof(aicRetCd));
    size_t len = core_app_put_msg(dme_state().cfmBuf, static_cast<uint32_t>(aicMsgType), cfm, sizeof(cfm));
    int rc = dme_state().tx(aicConn, dme_state().cfmBuf, static_cast<int>(len));
    LOGI("v2x_sdk_dmn_serv_tx_clit_msg()=%d\n", rc);
    if (rc != 0) {
        LOGE("v2x_sdk_dmn_serv_tx_clit_msg() err!!!!\n");
    }
    return rc;
}

void _tx_wsa_et_timer_cb(evutil_socket_t, short, void* aipArg)
{
    auto* e = static_cast<tProvReq*>(aipArg);
    LOGI("TX dsa(%06d) wake up\n", static_cast<int>(1000 * e->txSec + e->txUsec / 1000));
    if (PrimFetch why = prim_fetch(gipDSMPrim, get_dme_dsm_prim, &tDMEDSMPrim::request);
        why != PrimFetch::Ok) {
        prim_fail("gipDSMPrim->request");
    } else {
        const size_t dsaLen = dsa_encode(reinterpret_cast<uint8_t*>(dme_state().dsaFrame),
                                         sizeof(dme_state().dsaFrame), e->dsaHdrExtAry,
                                         strnlen(e->dsaHdrExtAry, kTextMax - 1));
        // The core's own datagram at the advertisements' priority; a newer
        // advertisement replaces one of the same AID still waiting.
        DsmTxReq req;
        req.meta = TxMeta{0, e->appId, e->priority, 1, 0, 0};
        req.protTp = e->protTp;
        req.priority = e->priority;
        req.dataLen = static_cast<uint16_t>(dsaLen);
        req.data = dme_state().dsaFrame;
        req.peerMac = reinterpret_cast<const char*>(e->peerMac);
        req.exts = e->dsmHdrExts;
        int rc = dme_dsm_send(req);
        LOGI("gipDSMPrim->request()=%d\n", rc);
        if (rc == -ERR_V2X_TX_FULL) {
            // The radio is busy with earlier datagrams: this period's
            // advertisement is skipped, not queued without bound. Said once
            // per stall; the next advertisement that goes out ends it.
            STAT_ADD(dsaSkipped);
            if (!dme_state().dsaStall) {
                dme_state().dsaStall = true;
                LOGE("TX dsa skipped, transmit queue full err!!!!\n");
            }
        } else if (rc == 0) {
            dme_state().dsaStall = false;
            STAT_ADD(dsaSent);
        }
        // Any other failure is counted and logged by the layer that refused it.
    }
    if (e->pEtTmer != nullptr) {
        struct timeval tv = {static_cast<time_t>(e->txSec), static_cast<suseconds_t>(e->txUsec)};
        evtimer_add(e->pEtTmer, &tv);
    }
}

int _provide_service_operate(eDMEAction aicAct, uint32_t aicAppId, uint8_t aicRptRte,
                             const char* aipcDSAHdrExt, const char* aipcOtherInfo, tProvReq& e)
{
    e.appId = aicAppId;
    e.protTp = PROT_TP_DSMP;
    e.priority = kDsaPriority;
    memset(e.peerMac, 0xFF, sizeof(e.peerMac));
    copy_text(e.dsaHdrExtAry, aipcDSAHdrExt);
    copy_text(e.othrInfo, aipcOtherInfo);
    LOGI("dsaHdrExtAry=%s\n", e.dsaHdrExtAry);
    LOGI("othrInfo=%s\n", e.othrInfo);
    uint32_t period = 5000000u / aicRptRte;  // rate checked non-zero by the caller
    e.txSec = period / 1000000u;
    e.txUsec = period % 1000000u;
    LOGI("txSec=%d txUsec=%d\n", static_cast<int>(e.txSec), static_cast<int>(e.txUsec));
    if (aicAct == DME_ACTION_ADD && dme_state().base != nullptr) {
        e.pEtTmer = evtimer_new(dme_state().base, _tx_wsa_et_timer_cb, &e);
    }
    if (e.pEtTmer == nullptr) {
        LOGE("evtimer_new() err!!!!\n");
        return -ERR_V2X_EVENT_NEW;
    }
    struct timeval tv = {static_cast<time_t>(e.txSec), static_cast<suseconds_t>(e.txUsec)};
    evtimer_add(e.pEtTmer, &tv);
    return 0;
}

}  // namespace

// Stops every advertisement timer and empties the provider table.
static void _clear_providers()
{
    for (auto& e : giProvReqAry) {
        release_timer(e);
    }
    memset(giProvReqAry, 0, sizeof(giProvReqAry));
    count_providers();
}

extern "C" V2X_API int dme_init(const struct event_base* aipcEtBse)
{
    LOGT();
    // dme_init's signature takes the base as const; its timers are added
    // to it, so the cast is forced there.
    dme_state().base = const_cast<struct event_base*>(aipcEtBse);
    // A second init without an exit: the first one's timers would stay on
    // their base, pointing at entries zeroed below.
    _clear_providers();
    giDMEPrim.provReq = _dme_provder_serv_req;
    giDMEPrim.userReq = _dme_user_serv_req;
    return 0;
}

extern "C" V2X_API int dme_exit(void)
{
    LOGT();
    _clear_providers();
    giDMEPrim.provReq = nullptr;
    giDMEPrim.userReq = nullptr;
    dme_state().base = nullptr;
    return 0;
}

extern "C" V2X_API tDMEPrim* get_dme_prim(void)
{
    return &giDMEPrim;
}

extern "C" V2X_API int _dme_provder_serv_req(const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                                             const uint32_t aicAppId, const uint8_t aicRptRte,
                                             const char* aipcDSAHdrExt, const char* aipcOtherInfo)
{
    return dme_prov_req(0, aicLclAppId, aicDMEAct, aicAppId, aicRptRte, aipcDSAHdrExt, aipcOtherInfo);
}

int dme_prov_req(uint32_t aicConn, const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                 const uint32_t aicAppId, const uint8_t aicRptRte, const char* aipcDSAHdrExt,
                 const char* aipcOtherInfo)
{
    LOGT();
    uint32_t retCd = DME_RET_ACCEPT;
    int32_t act;
    memcpy(&act, &aicDMEAct, sizeof(act));  // may hold any value from the socket
    if (aicLclAppId >= DME_PROV_MAX) {
        // Beyond the table: refused rather than indexing past it.
        LOGE("lclAppId(%d) err!!!!\n", aicLclAppId);
        return _tx_dme_response(aicConn, V2X_DME_PROV_SERV_CFM, aicLclAppId, DME_RET_REJ_VAL_ERR);
    }
    if (aicRptRte == 0 && (act == DME_ACTION_ADD || act == DME_ACTION_CHGE)) {
        // A rate of 0 has no period (it would divide by zero).
        LOGE("rptRte(%d) err!!!!\n", aicRptRte);
        return _tx_dme_response(aicConn, V2X_DME_PROV_SERV_CFM, aicLclAppId, DME_RET_REJ_VAL_ERR);
    }
    const uint32_t owner = aicConn;
    tProvReq* found = find_prov(owner, aicLclAppId, false);
    switch (act) {
    case DME_ACTION_ADD: {
        if (found != nullptr) {
            LOGE("Provider add(%d) err, already exist!!!!\n", aicLclAppId);
            retCd = DME_RET_REJ_VAL_ERR;
            break;
        }
        tProvReq* e = find_prov(owner, aicLclAppId, true);
        if (e == nullptr) {
            // Every application shares the table's entries.
            LOGE("Provider add(%d) err, table full!!!!\n", aicLclAppId);
            retCd = DME_RET_REJ_NO_REASON;
            break;
        }
        if (_provide_service_operate(DME_ACTION_ADD, aicAppId, aicRptRte, aipcDSAHdrExt,
                                     aipcOtherInfo, *e) != 0) {
            LOGE("_provide_service_operate() err!!!!\n");
            memset(e, 0, sizeof(*e));  // not in use: nothing was started
            retCd = DME_RET_REJ_VAL_ERR;
            break;
        }
        e->valFlg = 1;
        e->owner = owner;
        e->lclAppId = aicLclAppId;
        break;
    }
    case DME_ACTION_DEL:
        if (found != nullptr) {
            release_timer(*found);
            memset(found, 0, sizeof(*found));
            LOG0("Provider del(%d) OK\n", aicLclAppId);
        } else {
            LOGE("Provider del(%d) err, no it!!!!\n", aicLclAppId);
            retCd = DME_RET_REJ_VAL_ERR;
        }
        break;
    case DME_ACTION_CHGE:
        if (found == nullptr) {
            LOGE("Provider change(%d) err, not exist!!!!\n", aicLclAppId);
            retCd = DME_RET_REJ_VAL_ERR;
        } else if (_provide_service_operate(DME_ACTION_CHGE, aicAppId, aicRptRte, aipcDSAHdrExt,
                                            aipcOtherInfo, *found) != 0) {
            LOGE("_provide_service_operate() err!!!!\n");
            retCd = DME_RET_REJ_VAL_ERR;
        }
        break;
    default:
        LOGE("aicDMEAct=%d err!!!!\n", act);
        retCd = DME_RET_REJ_VAL_ERR;
        break;
    }
    count_providers();
    return _tx_dme_response(aicConn, V2X_DME_PROV_SERV_CFM, aicLclAppId, retCd);
}

extern "C" V2X_API int _dme_user_serv_req(const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                                          const eDMEUsrReqTp aicDMEUsrReqTp,
                                          const uint32_t aicAppId, const char* aipcOtherInfo)
{
    return dme_user_req(0, aicLclAppId, aicDMEAct, aicDMEUsrReqTp, aicAppId, aipcOtherInfo);
}

int dme_user_req(uint32_t aicConn, const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                 const eDMEUsrReqTp aicDMEUsrReqTp, const uint32_t aicAppId,
                 const char* aipcOtherInfo)
{
    LOGT();
    (void)aicDMEUsrReqTp;
    (void)aicAppId;
    (void)aipcOtherInfo;
    int32_t act;
    memcpy(&act, &aicDMEAct, sizeof(act));
    uint32_t retCd = DME_RET_ACCEPT;
    if (act != DME_ACTION_ADD && act != DME_ACTION_DEL) {
        LOGE("aicDMEAct=%d err!!!!\n", act);
        retCd = DME_RET_REJ_VAL_ERR;
    }
    return _tx_dme_response(aicConn, V2X_DME_USER_SERV_CFM, aicLclAppId, retCd);
}

extern "C" V2X_API int parse_dme_payload(const char* aipcMsg, const uint16_t aicMsgLen)
{
    // One line: "RX DME::cccccc len=llll " then each byte as "XX ". Built in
    // pieces of at most one buffer, each handed over whole, so the bytes
    // are those of one printf per field and a long frame needs no big buffer.
    const uint32_t cnt = dme_state().rxDmeCnt++;
    if (log_direct_wanted(LOG_LEV_LOUD) == 0) {
        return 0;  // the host silenced it: not even formatted
    }
    // Anyone in radio range can send these frames: the dump of each is one
    // line the air causes, so it passes the air-line gate like the others
    // (the rest are counted and reported by the radio link once a second).
    if (!air_log_gate().allow()) {
        return 0;
    }
    char txt[512];
    int used = snprintf(txt, sizeof(txt), "%s:%06d len=%04d ", "RX DME:", static_cast<int>(cnt),
                        aicMsgLen);
    for (uint16_t i = 0; aipcMsg != nullptr && i < aicMsgLen; ++i) {
        if (used > static_cast<int>(sizeof(txt)) - 8) {
            log_direct_text(LOG_LEV_LOUD, "dme.cpp", __func__, txt);
            used = 0;
        }
        used += snprintf(txt + used, sizeof(txt) - static_cast<size_t>(used), "%02X ",
                         static_cast<unsigned>(static_cast<uint8_t>(aipcMsg[i])));
    }
    snprintf(txt + used, sizeof(txt) - static_cast<size_t>(used), "\n");
    log_direct_text(LOG_LEV_LOUD, "dme.cpp", __func__, txt);
    return 0;
}

void dme_set_tx_sink(fDMETxSink aipSink)
{
    dme_state().tx.set(aipSink);
}

unsigned long dme_unset_tx_sink_count(void)
{
    return dme_state().tx.unset_count();
}

int dme_drop_owner(uint32_t aicOwner)
{
    if (aicOwner == 0) {
        return 0;
    }
    int dropped = 0;
    for (auto& e : giProvReqAry) {
        if (e.valFlg == 1 && e.owner == aicOwner) {
            release_timer(e);
            memset(&e, 0, sizeof(e));
            ++dropped;
        }
    }
    count_providers();
    return dropped;
}

void dme_dsa_stats(unsigned long* aopSent, unsigned long* aopSkipped)
{
    if (aopSent != nullptr) {
        *aopSent = STAT_GET(dsaSent);
    }
    if (aopSkipped != nullptr) {
        *aopSkipped = STAT_GET(dsaSkipped);
    }
}

uint32_t dme_provider_list(tV2XCtlProvider* aopRecs, uint32_t aicFirst, uint32_t aicMax,
                                   uint32_t* aopTotal)
{
    uint32_t seen = 0, n = 0;
    for (const auto& e : giProvReqAry) {
        if (e.valFlg != 1 || seen++ < aicFirst || n == aicMax) {
            continue;
        }
        tV2XCtlProvider r;
        memset(&r, 0, sizeof(r));
        r.aid = e.appId;
        r.connId = e.owner;
        r.lclAppId = e.lclAppId;
        // The period is kept; the rate it came from is 5 s over it.
        const uint32_t us = e.txSec * 1000000u + e.txUsec;
        r.rptRte = static_cast<uint8_t>(us > 0 ? 5000000u / us : 0);
        memcpy(&aopRecs[n++], &r, sizeof(r));
    }
    *aopTotal = seen;
    return n;
}
