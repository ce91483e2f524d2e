// DSM calls of an application: sending DSM data, registering the AIDs to
// receive with their callbacks, and routing indications and confirms.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "app_util.hpp"
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
} tDMEDSMHok;

static LIST_HEAD(giDSMHokHd);
// Statically initialised and never destroyed, so a request racing the stop,
// or made after it, still takes a valid lock.
static pthread_rwlock_t giDSMHokLk = PTHREAD_RWLOCK_INITIALIZER;
static uint32_t giDMEDSMServReqInex = 0;
static pthread_rwlock_t giDMEDSMServRWLk = PTHREAD_RWLOCK_INITIALIZER;


static tDMEDSMHok* _find_hok(const uint32_t aicAppId)
{
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &giDSMHokHd)
    {
        auto* hok = reinterpret_cast<tDMEDSMHok*>(pos);
        if (hok->appId == aicAppId) {
            return hok;
        }
    }
    return nullptr;
}

extern "C" V2X_API int get_dme_dsm_serv_req_index(const int* aopcIndex)
{
    LOGT();
    if (aopcIndex == nullptr) {
        LOGE("aopcIndex=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    RwGuard lk(&giDMEDSMServRWLk, true);
    for (uint8_t i = 0; i < 32; ++i) {
        if (_get_32bit_val(i, giDMEDSMServReqInex) == 0) {
            _set_32bit_val(i, &giDMEDSMServReqInex);
            // The out argument is declared const in the interface but written.
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
    if (aicIndex < 0 || aicIndex > 32) {
        LOGE("aicIndex=%d err!!!!\n", aicIndex);
        return -ERR_V2X_CLR_INDEX;
    }
    RwGuard lk(&giDMEDSMServRWLk, true);
    const auto pos = static_cast<uint8_t>(aicIndex);
    if (_get_32bit_val(pos, giDMEDSMServReqInex) == 0) {
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
    return send_core_app_msg(V2X_DSM_REQ, reinterpret_cast<const char*>(aipcDSMReq),
                             static_cast<int>(V2X_DSM_REQ_HEAD_LEN + dataLen));
}

static int _dme_dsm_serv_req_add(const tDMEDSMServReq& aicReq, fDME_DSM_serv_cfm aipCfm,
                                 fDSM_Ind aipInd)
{
    LOGT();
    RwGuard lk(&giDSMHokLk, true);
    if (_find_hok(aicReq.appId) != nullptr) {
        LOGE("appId already exist err!!!!\n");
        return -ERR_V2X_PRIM_ACTION;
    }
    auto* hok = static_cast<tDMEDSMHok*>(xzMalloc(sizeof(tDMEDSMHok)));
    if (hok == nullptr) {
        LOGE("xzMalloc() err!!!!\n");
        return -ERR_V2X_MALLOC;
    }
    hok->index = aicReq.index;
    hok->appId = aicReq.appId;
    hok->aidMthFlg = aicReq.aidMthFlg;
    hok->cfmFunc = aipCfm;
    hok->indFunc = aipInd;
    list_add_tail(&hok->hnode, &giDSMHokHd);
    return V2X_SUCCESS;
}

static int _dme_dsm_serv_req_delete(const tDMEDSMServReq& aicReq)
{
    LOGT();
    RwGuard lk(&giDSMHokLk, true);
    tDMEDSMHok* hok = _find_hok(aicReq.appId);
    if (hok == nullptr) {
        LOGE("appId not exist err!!!!\n");
        return -ERR_V2X_PRIM_ACTION;
    }
    list_del_init(&hok->hnode);
    free(hok);
    return V2X_SUCCESS;
}

static int _dme_dsm_serv_req_change(const tDMEDSMServReq& aicReq, fDME_DSM_serv_cfm aipCfm,
                                    fDSM_Ind aipInd)
{
    LOGT();
    RwGuard lk(&giDSMHokLk, true);
    tDMEDSMHok* hok = _find_hok(aicReq.appId);
    if (hok == nullptr) {
        LOGE("appId not exist err!!!!\n");
        return -ERR_V2X_PRIM_ACTION;
    }
    hok->index = aicReq.index;
    hok->appId = aicReq.appId;
    hok->aidMthFlg = aicReq.aidMthFlg;
    hok->cfmFunc = aipCfm;
    hok->indFunc = aipInd;
    return V2X_SUCCESS;
}

extern "C" V2X_API int dme_dsm_serv_req(const tDMEDSMServReq* aipcDMEDSMServReq,
                                        fDME_DSM_serv_cfm aipDMEDSMCfmFunc,
                                        fDSM_Ind aipDSMIndFunc)
{
    LOGT();
    if (aipcDMEDSMServReq == nullptr) {
        LOGE("aipcDMEDSMServReq=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    tDMEDSMServReq req;
    memcpy(&req, aipcDMEDSMServReq, sizeof(req));
    // Indications are delivered through this callback without a further
    // test, so a record that would route them must carry one.
    if ((req.action == DME_ACTION_ADD || req.action == DME_ACTION_CHGE) &&
        aipDSMIndFunc == nullptr) {
        LOGE("aipDSMIndFunc=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    int rc = send_core_app_msg(V2X_DME_DSM_SERV_REQ, reinterpret_cast<const char*>(&req),
                               static_cast<int>(sizeof(req)));
    if (rc != 0) {
        LOGE("send_core_app_msg() err!!!!\n");
        return rc;
    }
    switch (req.action) {
    case DME_ACTION_ADD:
        rc = _dme_dsm_serv_req_add(req, aipDMEDSMCfmFunc, aipDSMIndFunc);
        if (rc != 0) {
            LOGE("_dme_dsm_serv_req_add() err!!!!\n");
        }
        return rc;
    case DME_ACTION_DEL:
        rc = _dme_dsm_serv_req_delete(req);
        if (rc != 0) {
            LOGE("_dme_dsm_serv_req_delete() err!!!!\n");
        }
        return rc;
    case DME_ACTION_CHGE:
        rc = _dme_dsm_serv_req_change(req, aipDMEDSMCfmFunc, aipDSMIndFunc);
        if (rc != 0) {
            LOGE("_dme_dsm_serv_req_change() err!!!!\n");
        }
        return rc;
    default:
        LOGE("action=%d err!!!!\n", static_cast<int>(req.action));
        return -ERR_V2X_PRIM_ACTION;
    }
}

extern "C" V2X_API int app_dsm_ind(tDSMInd* aipcDSMInd)
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

    RwGuard lk(&giDSMHokLk, false);
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &giDSMHokHd)
    {
        auto* hok = reinterpret_cast<tDMEDSMHok*>(pos);
        LOGI("aipcDSMInd->appId=0x%0x\n", appId);
        if ((hok->aidMthFlg != 0 || hok->appId == appId) && hok->indFunc != nullptr) {
            return hok->indFunc(dsmpVer, appId, msgLen, raw + offsetof(tDSMInd, msg),
                                raw + offsetof(tDSMInd, peerMac), priority);
        }
    }
    return V2X_SUCCESS;
}

extern "C" V2X_API int app_dme_dsm_serv_cfm(const tDMEDSMServCfm* aipcDMEDSMCfm)
{
    LOGT();
    if (aipcDMEDSMCfm == nullptr) {
        return -ERR_V2X_PARM_CONT;
    }
    tDMEDSMServCfm cfm;
    memcpy(&cfm, aipcDMEDSMCfm, sizeof(cfm));
    RwGuard lk(&giDSMHokLk, true);
    tDMEDSMHok* hok = _find_hok(cfm.appId);
    if (hok == nullptr) {
        return -ERR_V2X_NO_FIND_IND_HOK;
    }
    if (hok->cfmFunc == nullptr) {
        return -1;
    }
    return hok->cfmFunc(cfm.appId, app_ret_cd(cfm.retCd));
}

extern "C" V2X_API int v2x_app_dme_dsm_init(void)
{
    LOGT();
    RwGuard lk(&giDMEDSMServRWLk, true);
    giDMEDSMServReqInex = 0;
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_app_dme_dsm_exit(void)
{
    LOGT();
    {
        RwGuard lk(&giDSMHokLk, true);
        struct list_head *pos, *n;
        list_for_each_safe(pos, n, &giDSMHokHd)
        {
            list_del_init(pos);
            free(pos);
        }
    }
    RwGuard lk(&giDMEDSMServRWLk, true);
    giDMEDSMServReqInex = 0;
    return V2X_SUCCESS;
}
