// The management information base and its DSM service table.
#include "core_mib.h"

#include <pthread.h>
#include <string.h>

#include "cv2x_app.h"
#include "self_log.h"
#include "xfuncs.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

static tDot3WMEMIB giDMEMib;
// Initialised statically and never destroyed: the exit runs after partial
// start-ups and twice, and the query may race a late start, so the lock
// must be valid at every moment of the process.
static pthread_rwlock_t giMIBRWLk = PTHREAD_RWLOCK_INITIALIZER;

namespace {

struct MibWriteLock {
    MibWriteLock() { pthread_rwlock_wrlock(&giMIBRWLk); }
    ~MibWriteLock() { pthread_rwlock_unlock(&giMIBRWLk); }
    MibWriteLock(const MibWriteLock&) = delete;
    MibWriteLock& operator=(const MibWriteLock&) = delete;
};

struct MibReadLock {
    MibReadLock() { pthread_rwlock_rdlock(&giMIBRWLk); }
    ~MibReadLock() { pthread_rwlock_unlock(&giMIBRWLk); }
    MibReadLock(const MibReadLock&) = delete;
    MibReadLock& operator=(const MibReadLock&) = delete;
};

}  // namespace

extern "C" V2X_API int v2x_mib_init(void)
{
    LOGT();
    MibWriteLock lk;
    memset(&giDMEMib, 0, sizeof(giDMEMib));
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_mib_exit(void)
{
    LOGT();
    MibWriteLock lk;
    memset(&giDMEMib, 0, sizeof(giDMEMib));
    return V2X_SUCCESS;
}

// Writes one registration; the caller holds the write lock.
static void _write_entry(tDot3WsmServiceInfo* aipTbl, uint8_t aicIdx, uint32_t aicAppId,
                         uint8_t aicMthFlg)
{
    tDot3WsmServiceEntry& e = aipTbl->WsmServiceEntry[aicIdx];
    e.UstIndex = static_cast<int8_t>(aicIdx);
    e.appId = aicAppId;
    e.aidMthFlg = aicMthFlg;
    // The flag word sits unaligned in the packed tree: update a copy.
    uint32_t flags = aipTbl->UstValidEntry_flag;
    _set_32bit_val(aicIdx, &flags);
    aipTbl->UstValidEntry_flag = flags;
}

extern "C" V2X_API int mib_dsm_serv_info_updata(const tDMEDSMServReq* aipcDSMServReq)
{
    LOGT();
    if (aipcDSMServReq == nullptr) {
        LOGE("aipcDSMServReq=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    // The record may sit at any address inside a receive buffer: copy it out.
    tDMEDSMServReq req;
    memcpy(&req, aipcDSMServReq, sizeof(req));
    if (req.index >= DOT3_TABLE_LEN) {
        LOGE("index=%d err!!!!\n", static_cast<int>(req.index));
        return -ERR_V2X_PARM_CONT;
    }
    const auto idx = static_cast<uint8_t>(req.index);

    int ret = V2X_SUCCESS;
    MibWriteLock lk;
    tDot3WsmServiceInfo* tbl = &giDMEMib.ApplicationMIB.WsmServiceInfo;
    const bool used = _get_32bit_val(idx, tbl->UstValidEntry_flag) != 0;
    switch (req.action) {
    case DME_ACTION_ADD:
        if (used) {
            ret = -ERR_V2X_ACTION_ADD;
        } else {
            _write_entry(tbl, idx, req.appId, req.aidMthFlg);
        }
        break;
    case DME_ACTION_DEL:
        if (used) {
            uint32_t flags = tbl->UstValidEntry_flag;
            _clear_32bit_val(idx, &flags);
            tbl->UstValidEntry_flag = flags;
        } else {
            ret = -ERR_V2X_ACTION_DEL;
        }
        break;
    case DME_ACTION_CHGE:
        _write_entry(tbl, idx, req.appId, req.aidMthFlg);
        break;
    default:
        LOGE("action=%d err!!!!\n", static_cast<int>(req.action));
        ret = -ERR_V2X_ACTION_PARM;
        break;
    }
    return ret;
}

extern "C" V2X_API int mib_query_dme_dsm_appid(const uint32_t aicAppId)
{
    MibReadLock lk;
    const tDot3WsmServiceInfo* tbl = &giDMEMib.ApplicationMIB.WsmServiceInfo;
    for (uint8_t i = 0; i < DOT3_TABLE_LEN; ++i) {
        if (_get_32bit_val(i, tbl->UstValidEntry_flag) == 0) {
            continue;
        }
        const tDot3WsmServiceEntry& e = tbl->WsmServiceEntry[i];
        if (e.appId == aicAppId || e.aidMthFlg == 1) {
            return 0;
        }
    }
    return -1;
}
