// SPDX-License-Identifier: Apache-2.0
// Provider and user service calls of an application: requests to the core's
// management entity, and their confirms matched by lclAppId.
//
// The two families are twins; one template carries the shared steps and a
// traits record per family holds its state, message type and texts.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "app_util.hpp"
#include "cv2x_app.h"
#include "self_list.h"
#include "self_log.h"
#include "xfuncs.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

// A request waiting for its confirm, owned by its family's pending list.
typedef struct _tDMEProvHok_ {
    struct list_head hnode;
    uint16_t lclAppId;
    fDME_Prov_serv_cfm cfmFunc; /* never null */
} tDMEProvHok;

typedef struct _tDMEUserHok_ {
    struct list_head hnode;
    uint16_t lclAppId;
    fDME_User_serv_cfm cfmFunc; /* never null */
} tDMEUserHok;

// Locks are statically initialised and never destroyed, so a request racing
// the stop, or made after it, still takes a valid lock.
static LIST_HEAD(giDMEProvHokHd);
static pthread_rwlock_t giDMEProvHokLk = PTHREAD_RWLOCK_INITIALIZER;
static uint32_t giDMEProvServReqInex = 0;
static pthread_rwlock_t giDMEProvServRwLk = PTHREAD_RWLOCK_INITIALIZER;

static LIST_HEAD(giDMEUserHokHd);
static pthread_rwlock_t giDMEUserHokLk = PTHREAD_RWLOCK_INITIALIZER;
static uint32_t giDMEUserServReqInex = 0;
static pthread_rwlock_t giDMEUserServRwLk = PTHREAD_RWLOCK_INITIALIZER;

namespace {

// What the provider and the user requests differ in; the code below is
// written once for both.
template <typename ReqT, typename CfmT, typename HokT, typename CfmFuncT, eV2XMsgType ReqType,
          int NoIndex, AppCbFamily Cb, struct list_head* Head, pthread_rwlock_t* HokLk,
          uint32_t* IndexSet, pthread_rwlock_t* IndexLk>
struct Family {
    using Req = ReqT;
    using Cfm = CfmT;
    using Hok = HokT;
    using CfmFunc = CfmFuncT;
    static constexpr eV2XMsgType kReqType = ReqType;
    static constexpr int kNoIndex = NoIndex;
    static constexpr AppCbFamily kCb = Cb;
    static struct list_head* head() { return Head; }
    static pthread_rwlock_t* hok_lock() { return HokLk; }
    static uint32_t* index_set() { return IndexSet; }
    static pthread_rwlock_t* index_lock() { return IndexLk; }
};

using ProvFamily =
    Family<tDMEProvServReq, tDMEProvServCfm, tDMEProvHok, fDME_Prov_serv_cfm, V2X_DME_PROV_SERV_REQ,
           -ERR_V2X_NO_FIND_PROV_SERV_REQ_INDEX, kAppCbProv, &giDMEProvHokHd, &giDMEProvHokLk,
           &giDMEProvServReqInex, &giDMEProvServRwLk>;
using UserFamily =
    Family<tDMEUserServReq, tDMEUserServCfm, tDMEUserHok, fDME_User_serv_cfm, V2X_DME_USER_SERV_REQ,
           -ERR_V2X_NO_FIND_USER_SERV_REQ_INDEX, kAppCbUser, &giDMEUserHokHd, &giDMEUserHokLk,
           &giDMEUserServReqInex, &giDMEUserServRwLk>;

template <typename F>
typename F::Hok* find_hok(const uint16_t aicLclAppId)
{
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, F::head())
    {
        auto* hok = reinterpret_cast<typename F::Hok*>(pos);
        if (hok->lclAppId == aicLclAppId) {
            return hok;
        }
    }
    return nullptr;
}

// A request with a callback is recorded before it is sent, so that a
// confirm read at once still finds its record, and taken out again when the
// send fails. The list's lock is never held across the send, which may wait
// for the core. Returns 1 when the callback is null (the caller logs its
// family's line).
template <typename F>
int serv_req(const typename F::Req* aipcReq, typename F::CfmFunc aipCfm, const char* aipcDupTxt)
{
    if (aipcReq == nullptr) {
        LOGE("aipcReq=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    if (app_in_callback(F::kCb)) {
        // From its own family's confirm: the runtime thread would wait for a
        // confirm that only it can read.
        LOGE("serv_req() in own confirm callback err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    typename F::Req req;
    memcpy(&req, aipcReq, sizeof(req));
    typename F::Hok* hok = nullptr;
    if (aipCfm != nullptr) {
        WriteLock lk(*F::hok_lock());
        if (find_hok<F>(req.lclAppId) != nullptr) {
            LOGE("%s", aipcDupTxt);
            return -ERR_V2X_PRIM_ACTION;
        }
        hok = static_cast<typename F::Hok*>(xzMalloc(sizeof(typename F::Hok)));
        if (hok == nullptr) {
            LOGE("xzMalloc() err!!!!\n");
            return -ERR_V2X_MALLOC;
        }
        hok->lclAppId = req.lclAppId;
        hok->cfmFunc = aipCfm;
        list_add_tail(&hok->hnode, F::head());
    }
    int rc = send_core_app_msg(F::kReqType, reinterpret_cast<const char*>(&req),
                               static_cast<int>(sizeof(req)));
    LOGI("send_core_app_msg()=%d\n", rc);
    if (rc != 0) {
        LOGE("send_core_app_msg() err!!!!\n");
        if (hok != nullptr) {
            WriteLock lk(*F::hok_lock());
            list_del_init(&hok->hnode);
            free(hok);
        }
        return rc;
    }
    return hok == nullptr ? 1 : V2X_SUCCESS;
}

template <typename F>
int serv_cfm(const typename F::Cfm* aipcCfm)
{
    if (aipcCfm == nullptr) {
        return -ERR_V2X_PARM_CONT;
    }
    typename F::Cfm cfm;
    memcpy(&cfm, aipcCfm, sizeof(cfm));
    typename F::CfmFunc fn = nullptr;
    {
        // A record serves exactly one confirm, whatever it says.
        WriteLock lk(*F::hok_lock());
        typename F::Hok* hok = find_hok<F>(cfm.lclAppId);
        if (hok == nullptr) {
            return -ERR_V2X_NO_FIND_IND_HOK;
        }
        fn = hok->cfmFunc;
        list_del_init(&hok->hnode);
        free(hok);
    }
    if (fn == nullptr) {
        return -1;
    }
    AppCallbackScope cb(F::kCb);
    return fn(cfm.lclAppId, app_ret_cd(cfm.retCd));
}

template <typename F>
int get_index(const int* aopcIndex, const char* aipcSetTxt)
{
    if (aopcIndex == nullptr) {
        LOGE("aopcIndex=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    WriteLock lk(*F::index_lock());
    for (uint8_t i = 0; i < V2X_LIM_REG_MAX; ++i) {
        if (_get_32bit_val(i, *F::index_set()) == 0) {
            _set_32bit_val(i, F::index_set());
            // Written through const, as the published signature forces: it fixes the
            // out argument as const int*, and callers expect the index there.
            *const_cast<int*>(aopcIndex) = i;
            LOGI(aipcSetTxt, *F::index_set());
            LOGI("Find index %d------\n", i);
            return V2X_SUCCESS;
        }
    }
    return F::kNoIndex;
}

template <typename F>
int clear_index(const int aicIndex, const char* aipcSetTxt)
{
    // Negative values are refused too: cut to a bit position they would
    // clear an unrelated index.
    // V2X_LIM_REG_MAX itself is past the set too: it has no bit, and is
    // refused below as an index not in use.
    if (aicIndex < 0 || aicIndex > static_cast<int>(V2X_LIM_REG_MAX)) {
        LOGE("aicIndex=%d err!!!!\n", aicIndex);
        return -ERR_V2X_CLR_INDEX;
    }
    WriteLock lk(*F::index_lock());
    const auto pos = static_cast<uint8_t>(aicIndex);
    if (pos >= V2X_LIM_REG_MAX || _get_32bit_val(pos, *F::index_set()) == 0) {
        LOGE("Clear no find use index()!!!!\n");
        LOGE(aipcSetTxt, aicIndex, *F::index_set());
        return -ERR_V2X_CLR_INDEX;
    }
    _clear_32bit_val(pos, F::index_set());
    return V2X_SUCCESS;
}

template <typename F>
void family_exit()
{
    {
        WriteLock lk(*F::hok_lock());
        struct list_head *pos, *n;
        list_for_each_safe(pos, n, F::head())
        {
            list_del_init(pos);
            free(pos);
        }
    }
    WriteLock lk(*F::index_lock());
    *F::index_set() = 0;
}

}  // namespace

extern "C" V2X_API int dme_provider_serv_req(const tDMEProvServReq* aipcDMEProvServReq,
                                             fDME_Prov_serv_cfm aipDMEProvCfmFunc)
{
    LOGT();
    int rc = serv_req<ProvFamily>(aipcDMEProvServReq, aipDMEProvCfmFunc, "lclAppId exist err!!!!\n");
    if (rc == 1) {
        LOG0("aipDMEProvCfmFunc=NULL, quit------\n");
        return V2X_SUCCESS;
    }
    return rc;
}

extern "C" V2X_API int dme_user_serv_req(const tDMEUserServReq* aipcDMEUserServReq,
                                         fDME_User_serv_cfm aipDMEUserCfmFunc)
{
    LOGT();
    int rc = serv_req<UserFamily>(aipcDMEUserServReq, aipDMEUserCfmFunc,
                                  "lclAppId already exist err!!!!\n");
    if (rc == 1) {
        LOG0("aipDMEUserCfmFunc=NULL, quit------\n");
        return V2X_SUCCESS;
    }
    return rc;
}

extern "C" V2X_API int app_dme_provider_serv_cfm(const tDMEProvServCfm* aipcDMEProvCfm)
{
    LOGT();
    return serv_cfm<ProvFamily>(aipcDMEProvCfm);
}

extern "C" V2X_API int app_dme_user_serv_cfm(const tDMEUserServCfm* aipcDMEUserCfm)
{
    LOGT();
    return serv_cfm<UserFamily>(aipcDMEUserCfm);
}

extern "C" V2X_API int get_dme_prov_serv_req_index(const int* aopcIndex)
{
    LOGT();
    return get_index<ProvFamily>(aopcIndex, "giDMEProvServReqInex=%08X\n");
}

extern "C" V2X_API int clear_dme_prov_serv_req_index(const int aicIndex)
{
    LOGT();
    return clear_index<ProvFamily>(aicIndex, "index=%d, giDMEProvServReqInex=%08X!!!!\n");
}

extern "C" V2X_API int get_dme_user_serv_req_index(const int* aopcIndex)
{
    LOGT();
    return get_index<UserFamily>(aopcIndex, "giDMEUserServReqInex=%08X\n");
}

extern "C" V2X_API int clear_dme_user_serv_req_index(const int aicIndex)
{
    LOGT();
    return clear_index<UserFamily>(aicIndex, "index=%d, giDMEUserServReqInex=%08X!!!!\n");
}

static void _dme_provider_exit()
{
    LOGT();
    family_exit<ProvFamily>();
}

static void _dme_user_exit()
{
    LOGT();
    family_exit<UserFamily>();
}

extern "C" V2X_API int v2x_app_dme_init(void)
{
    LOGT();
    {
        WriteLock lk(giDMEProvServRwLk);
        giDMEProvServReqInex = 0;
    }
    WriteLock lk(giDMEUserServRwLk);
    giDMEUserServReqInex = 0;
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_app_dme_exit(void)
{
    _dme_provider_exit();
    _dme_user_exit();
    return V2X_SUCCESS;
}
