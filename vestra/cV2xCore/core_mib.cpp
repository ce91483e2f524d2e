// SPDX-License-Identifier: Apache-2.0
// The management information base and its DSM service table.
#include "core_mib.hpp"

#include <pthread.h>
#include <string.h>

#include "v2x_types.h"
#include "core_stats.hpp"
#include "self_log.h"
#include "v2x_lock.hpp"
#include "xfuncs.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

static tDot3WMEMIB giDMEMib;
// Initialised statically and never destroyed: the exit runs after partial
// start-ups and twice, and the query may race a late start, so the lock
// must be valid at every moment of the process.
static pthread_rwlock_t giMIBRWLk = PTHREAD_RWLOCK_INITIALIZER;


extern "C" V2X_API int v2x_mib_init(void)
{
    LOGT();
    WriteLock lk(giMIBRWLk);
    memset(&giDMEMib, 0, sizeof(giDMEMib));
    memset(mib_state().wsmOwner, 0, sizeof(mib_state().wsmOwner));
    STAT_SET(mgmtRegistrations, 0);
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_mib_exit(void)
{
    LOGT();
    WriteLock lk(giMIBRWLk);
    memset(&giDMEMib, 0, sizeof(giDMEMib));
    memset(mib_state().wsmOwner, 0, sizeof(mib_state().wsmOwner));
    STAT_SET(mgmtRegistrations, 0);
    return V2X_SUCCESS;
}

// Writes one registration into slot aicSlot; the caller holds the write lock.
static void _write_entry(tDot3WsmServiceInfo* aipTbl, uint8_t aicSlot, uint32_t aicOwner,
                         uint8_t aicIdx, uint32_t aicAppId, uint8_t aicMthFlg)
{
    tDot3WsmServiceEntry& e = aipTbl->WsmServiceEntry[aicSlot];
    e.UstIndex = static_cast<int8_t>(aicIdx);
    e.appId = aicAppId;
    e.aidMthFlg = aicMthFlg;
    mib_state().wsmOwner[aicSlot] = aicOwner;
    // The flag word sits unaligned in the packed tree: update a copy.
    uint32_t flags = aipTbl->UstValidEntry_flag;
    _set_32bit_val(aicSlot, &flags);
    aipTbl->UstValidEntry_flag = flags;
    STAT_SET(mgmtRegistrations, static_cast<uint64_t>(__builtin_popcount(flags)));
}

static void _clear_entry(tDot3WsmServiceInfo* aipTbl, uint8_t aicSlot)
{
    uint32_t flags = aipTbl->UstValidEntry_flag;
    _clear_32bit_val(aicSlot, &flags);
    aipTbl->UstValidEntry_flag = flags;
    STAT_SET(mgmtRegistrations, static_cast<uint64_t>(__builtin_popcount(flags)));
    memset(&aipTbl->WsmServiceEntry[aicSlot], 0, sizeof(aipTbl->WsmServiceEntry[aicSlot]));
    mib_state().wsmOwner[aicSlot] = 0;
}

// The slot holding aicOwner's entry aicIdx, or -1; with aicFree, the first
// unused slot, or -1 when the table is full.
static int _find_slot(const tDot3WsmServiceInfo* aipTbl, uint32_t aicOwner, uint8_t aicIdx,
                      bool aicFree)
{
    for (uint8_t i = 0; i < DOT3_TABLE_LEN; ++i) {
        const bool used = _get_32bit_val(i, aipTbl->UstValidEntry_flag) != 0;
        if (aicFree ? !used
                    : used && mib_state().wsmOwner[i] == aicOwner &&
                          static_cast<uint8_t>(aipTbl->WsmServiceEntry[i].UstIndex) == aicIdx) {
            return i;
        }
    }
    return -1;
}

extern "C" V2X_API int mib_dsm_serv_info_updata(const tDMEDSMServReq* aipcDSMServReq)
{
    LOGT();
    return mib_dsm_serv_update(0, aipcDSMServReq);
}

int mib_dsm_serv_update(uint32_t aicOwner, const tDMEDSMServReq* aipcDSMServReq)
{
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
    WriteLock lk(giMIBRWLk);
    tDot3WsmServiceInfo* tbl = &giDMEMib.ApplicationMIB.WsmServiceInfo;
    const int slot = _find_slot(tbl, aicOwner, idx, false);
    int target = slot;
    switch (req.action) {
    case DME_ACTION_ADD:
    case DME_ACTION_CHGE: {
        const bool add = req.action == DME_ACTION_ADD;
        if (add && slot >= 0) {
            ret = -ERR_V2X_ACTION_ADD;
            break;
        }
        // A change of an unused index makes the entry, as it always has.
        if (target < 0) {
            target = _find_slot(tbl, aicOwner, idx, true);
        }
        if (target < 0) {
            // Every application shares the one table.
            LOGE("DSM service table full(%d) err!!!!\n", DOT3_TABLE_LEN);
            ret = add ? -ERR_V2X_ACTION_ADD : -ERR_V2X_ACTION_CHGE;
            break;
        }
        _write_entry(tbl, static_cast<uint8_t>(target), aicOwner, idx, req.appId, req.aidMthFlg);
        break;
    }
    case DME_ACTION_DEL:
        if (slot >= 0) {
            _clear_entry(tbl, static_cast<uint8_t>(slot));
        } else {
            ret = -ERR_V2X_ACTION_DEL;
        }
        break;
    default:
        LOGE("action=%d err!!!!\n", static_cast<int>(req.action));
        ret = -ERR_V2X_ACTION_PARM;
        break;
    }
    return ret;
}

int mib_dsm_serv_drop_owner(uint32_t aicOwner)
{
    if (aicOwner == 0) {
        return 0;
    }
    int dropped = 0;
    WriteLock lk(giMIBRWLk);
    tDot3WsmServiceInfo* tbl = &giDMEMib.ApplicationMIB.WsmServiceInfo;
    for (uint8_t i = 0; i < DOT3_TABLE_LEN; ++i) {
        if (_get_32bit_val(i, tbl->UstValidEntry_flag) != 0 && mib_state().wsmOwner[i] == aicOwner) {
            _clear_entry(tbl, i);
            ++dropped;
        }
    }
    return dropped;
}

extern "C" V2X_API int mib_query_dme_dsm_appid(const uint32_t aicAppId)
{
    ReadLock lk(giMIBRWLk);
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

uint32_t mib_dsm_serv_list(tV2XCtlAid* aopRecs, uint32_t aicFirst, uint32_t aicMax,
                                   uint32_t* aopTotal)
{
    uint32_t seen = 0, n = 0;
    ReadLock lk(giMIBRWLk);
    const tDot3WsmServiceInfo* tbl = &giDMEMib.ApplicationMIB.WsmServiceInfo;
    for (uint8_t i = 0; i < DOT3_TABLE_LEN; ++i) {
        if (_get_32bit_val(i, tbl->UstValidEntry_flag) == 0 || seen++ < aicFirst || n == aicMax) {
            continue;
        }
        tV2XCtlAid r;
        r.aid = tbl->WsmServiceEntry[i].appId;
        r.index = static_cast<uint8_t>(tbl->WsmServiceEntry[i].UstIndex);
        r.connId = mib_state().wsmOwner[i];
        memcpy(&aopRecs[n++], &r, sizeof(r));
    }
    *aopTotal = seen;
    return n;
}
