// SPDX-License-Identifier: Apache-2.0
// DSM calls of an application: sending DSM data, registering the AIDs to
// receive with their callbacks, and routing indications and confirms.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "app_util.hpp"
#include "core_app_frame.hpp"
#include "cv2x_app.h"
#include "self_list.h"
#include "self_log.h"
#include "xfuncs.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

// One registered AID, owned by giDSMHokHd.
typedef struct _tDMEDSMHok_ {
    struct list_head hnode;
    uint16_t index;
    uint32_t appId;
    uint8_t aidMthFlg;
    fDME_DSM_serv_cfm cfmFunc;
    fDSM_Ind indFunc;
    fDSM_IndRx indRxFunc;  // set instead of indFunc by dme_dsm_serv_req_rx
} tDMEDSMHok;

static LIST_HEAD(giDSMHokHd);
// Statically initialised and never destroyed, so a request racing the stop,
// or made after it, still takes a valid lock.
static pthread_rwlock_t giDSMHokLk = PTHREAD_RWLOCK_INITIALIZER;
static uint32_t giDMEDSMServReqInex = 0;
static pthread_rwlock_t giDMEDSMServRWLk = PTHREAD_RWLOCK_INITIALIZER;


// The first local record that aicMatch accepts, or null.
template <typename M>
static tDMEDSMHok* _find_hok_if(M aicMatch)
{
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &giDSMHokHd)
    {
        auto* hok = reinterpret_cast<tDMEDSMHok*>(pos);
        if (aicMatch(*hok)) {
            return hok;
        }
    }
    return nullptr;
}

static tDMEDSMHok* _find_hok(const uint32_t aicAppId)
{
    return _find_hok_if([aicAppId](const tDMEDSMHok& h) { return h.appId == aicAppId; });
}

extern "C" V2X_API int get_dme_dsm_serv_req_index(const int* aopcIndex)
{
    LOGT();
    if (aopcIndex == nullptr) {
        LOGE("aopcIndex=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    WriteLock lk(giDMEDSMServRWLk);
    for (uint8_t i = 0; i < V2X_LIM_REG_MAX; ++i) {
        if (_get_32bit_val(i, giDMEDSMServReqInex) == 0) {
            _set_32bit_val(i, &giDMEDSMServReqInex);
            // Written through const, as the published signature forces: it fixes the
            // out argument as const int*, and callers expect the index there.
            *const_cast<int*>(aopcIndex) = i;
            LOGI("giDMEDSMServReqInex=%08X\n", giDMEDSMServReqInex);
            LOGI("Find index %d------\n", i);
            return V2X_SUCCESS;
        }
    }
    return -ERR_V2X_NO_FIND_DSM_SERV_REQ_INDEX;
}

extern "C" V2X_API int clear_dme_dsm_serv_req_index(const int aicIndex)
{
    LOGT();
    // Negative values are refused too: cut to a bit position they would
    // clear an unrelated index.
    // V2X_LIM_REG_MAX itself is past the set too: it has no bit, and is
    // refused below as an index not in use.
    if (aicIndex < 0 || aicIndex > static_cast<int>(V2X_LIM_REG_MAX)) {
        LOGE("aicIndex=%d err!!!!\n", aicIndex);
        return -ERR_V2X_CLR_INDEX;
    }
    WriteLock lk(giDMEDSMServRWLk);
    const auto pos = static_cast<uint8_t>(aicIndex);
    if (pos >= V2X_LIM_REG_MAX || _get_32bit_val(pos, giDMEDSMServReqInex) == 0) {
        LOGE("Clear no find use index()!!!!\n");
        LOGE("index=%d, giDMEDSMServReqInex=%08X!!!!\n", aicIndex, giDMEDSMServReqInex);
        return -ERR_V2X_CLR_INDEX;
    }
    _clear_32bit_val(pos, &giDMEDSMServReqInex);
    return V2X_SUCCESS;
}

extern "C" V2X_API int dsm_request(const tDSMReq* aipcDSMReq)
{
    LOGT();
    if (aipcDSMReq == nullptr) {
        LOGE("aipcDSMReq=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    uint16_t dataLen;
    memcpy(&dataLen, reinterpret_cast<const char*>(aipcDSMReq) + offsetof(tDSMReq, msgLen),
           sizeof(dataLen));
    // The send checks the record against the limits before anything leaves.
    return send_core_app_msg(V2X_DSM_REQ, reinterpret_cast<const char*>(aipcDSMReq),
                             static_cast<int>(V2X_DSM_REQ_HEAD_LEN + dataLen));
}

extern "C" V2X_API int dsm_request_ex(const tDSMReq* aipcDSMReq, const tDSMTxOpt* aipcOpt)
{
    LOGT();
    if (aipcOpt == nullptr) {
        return dsm_request(aipcDSMReq);
    }
    char buf[V2X_CORE_APP_MAX_PAYLOAD];
    const int len = app_dsm_req_ex_build(aipcDSMReq, aipcOpt, buf);
    if (len < 0) {
        return len;
    }
    return domn_clit_send(V2X_DSM_REQ_EX, buf, len);
}

// The local record of a registration with this index, or null.
static tDMEDSMHok* _find_hok_index(const uint16_t aicIndex)
{
    return _find_hok_if([aicIndex](const tDMEDSMHok& h) { return h.index == aicIndex; });
}

namespace {

// A registration sent to the core and not confirmed yet. The core answers
// each one, in the order of the connection, with a V2X_DSM_CFM.
struct tDSMPendCfm {
    uint32_t appId;
    uint16_t index;
    uint32_t action;
    fDME_DSM_serv_cfm cfmFunc;
};
constexpr size_t kPendMax = V2X_LIM_REG_PEND_MAX;
tDSMPendCfm giPendAry[kPendMax];
size_t giPendCnt = 0;
std::mutex giPendMtx;
// Serialises registrations, so that the local change, the send and the
// pending record reach the core in one order.
std::mutex giDSMRegMtx;

void _pend_push(const tDMEDSMServReq& aicReq, fDME_DSM_serv_cfm aipCfm)
{
    std::lock_guard<std::mutex> lk(giPendMtx);
    if (giPendCnt == kPendMax) {
        // Only when confirms stopped coming (a stalled runtime lost them):
        // the oldest can no longer be answered.
        memmove(&giPendAry[0], &giPendAry[1], (kPendMax - 1) * sizeof(giPendAry[0]));
        --giPendCnt;
    }
    giPendAry[giPendCnt++] = {aicReq.appId, aicReq.index, aicReq.action, aipCfm};
}

// Forgets the newest record: its request was not sent.
void _pend_pop_newest()
{
    std::lock_guard<std::mutex> lk(giPendMtx);
    if (giPendCnt > 0) {
        --giPendCnt;
    }
}

// Takes the oldest record for aicAppId into *aopPend; the records before it
// belong to requests whose confirms were lost and are dropped.
bool _pend_take(uint32_t aicAppId, tDSMPendCfm* aopPend)
{
    std::lock_guard<std::mutex> lk(giPendMtx);
    for (size_t i = 0; i < giPendCnt; ++i) {
        if (giPendAry[i].appId == aicAppId) {
            *aopPend = giPendAry[i];
            memmove(&giPendAry[0], &giPendAry[i + 1], (giPendCnt - i - 1) * sizeof(giPendAry[0]));
            giPendCnt -= i + 1;
            return true;
        }
    }
    return false;
}

}  // namespace

// Applies the request to the local table, keeping what is needed to undo it
// in *aopUndo. 0, or -ERR_V2X_PRIM_ACTION / -ERR_V2X_MALLOC with nothing
// changed. Called with giDSMHokLk held for writing.
static int _local_apply(const tDMEDSMServReq& aicReq, fDME_DSM_serv_cfm aipCfm, fDSM_Ind aipInd,
                        fDSM_IndRx aipIndRx, tDMEDSMHok** aopHok, tDMEDSMHok* aopOld)
{
    tDMEDSMHok* hok = _find_hok(aicReq.appId);
    if (aicReq.action == DME_ACTION_ADD) {
        if (hok != nullptr) {
            LOGE("appId already exist err!!!!\n");
            return -ERR_V2X_PRIM_ACTION;
        }
        if (_find_hok_index(aicReq.index) != nullptr) {
            LOGE("index(%d) already in use err!!!!\n", static_cast<int>(aicReq.index));
            return -ERR_V2X_PRIM_ACTION;
        }
        hok = static_cast<tDMEDSMHok*>(xzMalloc(sizeof(tDMEDSMHok)));
        if (hok == nullptr) {
            LOGE("xzMalloc() err!!!!\n");
            return -ERR_V2X_MALLOC;
        }
        hok->index = aicReq.index;
        hok->appId = aicReq.appId;
        hok->aidMthFlg = aicReq.aidMthFlg;
        hok->cfmFunc = aipCfm;
        hok->indFunc = aipInd;
        hok->indRxFunc = aipIndRx;
        list_add_tail(&hok->hnode, &giDSMHokHd);
        *aopHok = hok;
        return V2X_SUCCESS;
    }
    if (hok == nullptr) {
        LOGE("appId not exist err!!!!\n");
        return -ERR_V2X_PRIM_ACTION;
    }
    if (hok->index != aicReq.index) {
        // The core keys registrations by index: another index would reach
        // another registration there than the one this AID has here.
        LOGE("index(%d) of appId is %d err!!!!\n", static_cast<int>(aicReq.index),
             static_cast<int>(hok->index));
        return -ERR_V2X_PRIM_ACTION;
    }
    *aopHok = hok;
    *aopOld = *hok;
    if (aicReq.action == DME_ACTION_DEL) {
        list_del_init(&hok->hnode);
        return V2X_SUCCESS;
    }
    hok->aidMthFlg = aicReq.aidMthFlg;
    hok->cfmFunc = aipCfm;
    hok->indFunc = aipInd;
    hok->indRxFunc = aipIndRx;
    return V2X_SUCCESS;
}

// Undoes _local_apply after a failed send; with a successful one, frees the
// record a delete took out.
static void _local_settle(const tDMEDSMServReq& aicReq, bool aicSent, tDMEDSMHok* aipHok,
                          const tDMEDSMHok& aicOld)
{
    WriteLock lk(giDSMHokLk);
    switch (aicReq.action) {
    case DME_ACTION_ADD:
        if (!aicSent) {
            list_del_init(&aipHok->hnode);
            free(aipHok);
        }
        break;
    case DME_ACTION_DEL:
        if (aicSent) {
            free(aipHok);
        } else {
            list_add_tail(&aipHok->hnode, &giDSMHokHd);
        }
        break;
    default:
        if (!aicSent) {
            aipHok->aidMthFlg = aicOld.aidMthFlg;
            aipHok->cfmFunc = aicOld.cfmFunc;
            aipHok->indFunc = aicOld.indFunc;
            aipHok->indRxFunc = aicOld.indRxFunc;
        }
        break;
    }
}

// Both registration calls: exactly one of the indication callbacks is set
// for an add or a change.
static int _dsm_serv_req(const tDMEDSMServReq* aipcDMEDSMServReq,
                         fDME_DSM_serv_cfm aipDMEDSMCfmFunc, fDSM_Ind aipDSMIndFunc,
                         fDSM_IndRx aipDSMIndRxFunc)
{
    LOGT();
    if (aipcDMEDSMServReq == nullptr) {
        LOGE("aipcDMEDSMServReq=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    if (app_on_runtime_thread() || app_in_callback(kAppCbDsm | kAppCbProv | kAppCbUser)) {
        // From a callback: the runtime thread would wait on itself.
        LOGE("dme_dsm_serv_req() in callback err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    tDMEDSMServReq req;
    memcpy(&req, aipcDMEDSMServReq, sizeof(req));
    // Indications are delivered through this callback without a further
    // test, so a record that would route them must carry one.
    if ((req.action == DME_ACTION_ADD || req.action == DME_ACTION_CHGE) &&
        aipDSMIndFunc == nullptr && aipDSMIndRxFunc == nullptr) {
        LOGE("aipDSMIndFunc=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    if (req.action != DME_ACTION_ADD && req.action != DME_ACTION_DEL &&
        req.action != DME_ACTION_CHGE) {
        LOGE("action=%d err!!!!\n", static_cast<int>(req.action));
        return -ERR_V2X_PRIM_ACTION;
    }
    if (req.index >= V2X_LIM_REG_MAX) {
        LOGE("index=%d err!!!!\n", static_cast<int>(req.index));
        return -ERR_V2X_PARM_CONT;
    }
    // The local table first: what it refuses is never sent, so the core's
    // table and this one cannot drift apart.
    std::lock_guard<std::mutex> reg(giDSMRegMtx);
    tDMEDSMHok* hok = nullptr;
    tDMEDSMHok old;
    memset(&old, 0, sizeof(old));
    int rc;
    {
        WriteLock lk(giDSMHokLk);
        rc = _local_apply(req, aipDMEDSMCfmFunc, aipDSMIndFunc, aipDSMIndRxFunc, &hok, &old);
    }
    if (rc != 0) {
        static constexpr const char* kStep[] = {"_dme_dsm_serv_req_add() err!!!!\n",
                                                "_dme_dsm_serv_req_delete() err!!!!\n",
                                                "_dme_dsm_serv_req_change() err!!!!\n"};
        LOGE("%s", kStep[req.action]);
        return rc;
    }
    // Recorded before the send: the confirm may be read before it returns.
    _pend_push(req, aipDMEDSMCfmFunc);
    rc = send_core_app_msg(V2X_DME_DSM_SERV_REQ, reinterpret_cast<const char*>(&req),
                           static_cast<int>(sizeof(req)));
    if (rc != 0) {
        LOGE("send_core_app_msg() err!!!!\n");
        _pend_pop_newest();
    }
    _local_settle(req, rc == 0, hok, old);
    return rc;
}

extern "C" V2X_API int dme_dsm_serv_req(const tDMEDSMServReq* aipcDMEDSMServReq,
                                        fDME_DSM_serv_cfm aipDMEDSMCfmFunc,
                                        fDSM_Ind aipDSMIndFunc)
{
    return _dsm_serv_req(aipcDMEDSMServReq, aipDMEDSMCfmFunc, aipDSMIndFunc, nullptr);
}

extern "C" V2X_API int dme_dsm_serv_req_rx(const tDMEDSMServReq* aipcDMEDSMServReq,
                                           fDME_DSM_serv_cfm aipDMEDSMCfmFunc,
                                           fDSM_IndRx aipDSMIndFunc)
{
    return _dsm_serv_req(aipcDMEDSMServReq, aipDMEDSMCfmFunc, nullptr, aipDSMIndFunc);
}

extern "C" V2X_API int cv2x_app_set_rx_info(int aicOn)
{
    const tV2XRxInfoReq req = {aicOn != 0 ? 1u : 0u, 0u};
    const int rc = send_core_app_msg(static_cast<eV2XMsgType>(V2X_DSM_RX_INFO_REQ),
                                     reinterpret_cast<const char*>(&req), static_cast<int>(sizeof(req)));
    if (rc != 0) {
        LOGE("send_core_app_msg() err!!!!\n");
    }
    return rc;
}

extern "C" V2X_API int app_dsm_ind(tDSMInd* aipcDSMInd)
{
    return app_dsm_ind_rx(aipcDSMInd, nullptr);
}

int app_dsm_ind_rx(tDSMInd* aipcDSMInd, const tDSMRxInfo* aipcRx)
{
    LOGT();
    if (aipcDSMInd == nullptr) {
        return -ERR_V2X_PARM_CONT;
    }
    // The record lies unaligned in the receive buffer: read its fields by copy.
    const char* raw = reinterpret_cast<const char*>(aipcDSMInd);
    uint32_t appId;
    uint16_t msgLen;
    memcpy(&appId, raw + offsetof(tDSMInd, appId), sizeof(appId));
    memcpy(&msgLen, raw + offsetof(tDSMInd, msgLen), sizeof(msgLen));
    const auto dsmpVer = static_cast<uint8_t>(raw[offsetof(tDSMInd, dsmpVer)]);
    const auto priority = static_cast<uint8_t>(raw[offsetof(tDSMInd, priority)]);

    fDSM_Ind ind = nullptr;
    fDSM_IndRx indRx = nullptr;
    {
        ReadLock lk(giDSMHokLk);
        struct list_head *pos, *n;
        list_for_each_safe(pos, n, &giDSMHokHd)
        {
            auto* hok = reinterpret_cast<tDMEDSMHok*>(pos);
            LOGI("aipcDSMInd->appId=0x%0x\n", appId);
            if ((hok->aidMthFlg != 0 || hok->appId == appId) &&
                (hok->indFunc != nullptr || hok->indRxFunc != nullptr)) {
                ind = hok->indFunc;
                indRx = hok->indRxFunc;
                break;
            }
        }
    }
    if (ind == nullptr && indRx == nullptr) {
        return V2X_SUCCESS;
    }
    // Called without the table's lock, so that the callback cannot block a
    // registration made by another thread.
    AppCallbackScope cb(kAppCbDsm);
    if (indRx != nullptr) {
        // An indication that came without a record (before the core took
        // the request for them) gets one that says nothing but the version.
        tDSMRxInfo none;
        if (aipcRx == nullptr) {
            core_app_rx_info_none(&none, dsmpVer);
            aipcRx = &none;
        }
        return indRx(appId, msgLen, raw + offsetof(tDSMInd, msg), aipcRx);
    }
    return ind(dsmpVer, appId, msgLen, raw + offsetof(tDSMInd, msg), raw + offsetof(tDSMInd, peerMac),
               priority);
}

extern "C" V2X_API int app_dme_dsm_serv_cfm(const tDMEDSMServCfm* aipcDMEDSMCfm)
{
    LOGT();
    if (aipcDMEDSMCfm == nullptr) {
        return -ERR_V2X_PARM_CONT;
    }
    tDMEDSMServCfm cfm;
    memcpy(&cfm, aipcDMEDSMCfm, sizeof(cfm));
    tDSMPendCfm pend;
    if (!_pend_take(cfm.appId, &pend)) {
        return -ERR_V2X_NO_FIND_IND_HOK;
    }
    const eDMERetCd ret = app_ret_cd(cfm.retCd);
    if (ret != DME_RET_ACCEPT && pend.action == DME_ACTION_ADD) {
        // The core did not take it: neither does this table, or indications
        // would be expected that never come.
        WriteLock lk(giDSMHokLk);
        tDMEDSMHok* hok = _find_hok(pend.appId);
        if (hok != nullptr && hok->index == pend.index) {
            list_del_init(&hok->hnode);
            free(hok);
        }
    }
    if (pend.cfmFunc == nullptr) {
        return V2X_SUCCESS;  // the application asked for no confirm
    }
    AppCallbackScope cb(kAppCbDsm);
    return pend.cfmFunc(cfm.appId, ret);
}

extern "C" V2X_API int v2x_app_dme_dsm_init(void)
{
    LOGT();
    {
        std::lock_guard<std::mutex> lk(giPendMtx);
        giPendCnt = 0;
    }
    WriteLock lk(giDMEDSMServRWLk);
    giDMEDSMServReqInex = 0;
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_app_dme_dsm_exit(void)
{
    LOGT();
    {
        WriteLock lk(giDSMHokLk);
        struct list_head *pos, *n;
        list_for_each_safe(pos, n, &giDSMHokHd)
        {
            list_del_init(pos);
            free(pos);
        }
    }
    {
        std::lock_guard<std::mutex> lk(giPendMtx);
        giPendCnt = 0;
    }
    WriteLock lk(giDMEDSMServRWLk);
    giDMEDSMServReqInex = 0;
    return V2X_SUCCESS;
}
