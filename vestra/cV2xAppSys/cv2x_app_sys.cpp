// SPDX-License-Identifier: Apache-2.0
// Start and stop of the simple system API with its built-in defaults, the
// writing call, and the two small questions.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "app_util.hpp"
#include "cv2x_app_sys.h"
#include "self_log.h"
#include "v2x_core.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

// The default configuration; the core reads it while it starts.
static tV2XSDKCfg giSysCfg;
// v2x_system_write assembles its tDSMReq here, one writer at a time.
static char giTxAsmBuf[V2X_CORE_APP_BUF_LEN];
static std::mutex giTxAsmMtx;

// "FFFFFFFFFFFF" as six bytes.
static void _mac_from_hex(const char* aipcHex, uint8_t* aopMac)
{
    for (int i = 0; i < 6; ++i) {
        unsigned int b = 0;
        sscanf(aipcHex + 2 * i, "%2x", &b);
        aopMac[i] = static_cast<uint8_t>(b);
    }
}

static int _padding_device_config(tV2XSDKCfg* aopcSDKCfg)
{
    memset(aopcSDKCfg, 0, sizeof(*aopcSDKCfg));
    snprintf(aopcSDKCfg->dmnNme, sizeof(aopcSDKCfg->dmnNme), "%s", V2X_SYS_DEF_DMN_NME);
    snprintf(aopcSDKCfg->rcvIp, sizeof(aopcSDKCfg->rcvIp), "%s", V2X_SYS_DEF_RCV_IP);
    aopcSDKCfg->rcvPort = V2X_SYS_DEF_RCV_PORT;
    snprintf(aopcSDKCfg->sendIp, sizeof(aopcSDKCfg->sendIp), "%s", V2X_SYS_DEF_SEND_IP);
    aopcSDKCfg->sendPort = V2X_SYS_DEF_SEND_PORT;
    _mac_from_hex("FFFFFFFFFFFF", aopcSDKCfg->macAddr);
    LOGI("aipcSDKCfg->dmnNme=%s\n", aopcSDKCfg->dmnNme);
    LOGI("aipcSDKCfg->rcvIp=%s\n", aopcSDKCfg->rcvIp);
    LOGI("aipcSDKCfg->rcvPort=%d\n", aopcSDKCfg->rcvPort);
    LOGI("aipcSDKCfg->sendIp=%s\n", aopcSDKCfg->sendIp);
    LOGI("aipcSDKCfg->sendPort=%d\n", aopcSDKCfg->sendPort);
    return V2X_SUCCESS;
}

// Start and stop of the system API, serialised; giSysUp while started,
// giSysOwnsCore when the start was v2x_system_init (not an attach).
static std::mutex giSysLifeMtx;
static bool giSysUp = false;
static bool giSysOwnsCore = false;

extern "C" V2X_API int v2x_system_init(void)
{
    LOGT();
    std::lock_guard<std::mutex> life(giSysLifeMtx);
    if (giSysUp) {
        LOGE("v2x_system_init() already running err!!!!\n");
        return -ERR_V2X_PTHREAD_CREATE;
    }
    if (_padding_device_config(&giSysCfg) != 0) {
        LOGE("_padding_device_config() err!!!!\n");
    }
    // Returns once the core listens, or with the reason it does not.
    int rc = v2x_core_init(&giSysCfg);
    if (rc != 0) {
        LOGE("v2x_core_init() err!!!!\n");
        return rc;
    }
    rc = v2x_sys_net_init(&giSysCfg);
    if (rc == 0 && !sys_net_peer_is_self()) {
        // Another process took the path between our core's bind and this
        // connect: its answers would pass for the air's.
        rc = -ERR_V2X_SOCKET_CONECT;
    }
    if (rc != 0) {
        LOGE("v2x_sys_net_init() err!!!!\n");
        v2x_sys_net_exit();
        v2x_core_exit();
        return rc;
    }
    giSysUp = true;
    giSysOwnsCore = true;
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_system_attach(const char* aipcDmnNme)
{
    LOGT();
    std::lock_guard<std::mutex> life(giSysLifeMtx);
    if (giSysUp) {
        LOGE("v2x_system_init() already running err!!!!\n");
        return -ERR_V2X_PTHREAD_CREATE;
    }
    tV2XSDKCfg cfg;
    _padding_device_config(&cfg);
    if (aipcDmnNme != nullptr) {
        if (strnlen(aipcDmnNme, sizeof(cfg.dmnNme)) >= sizeof(cfg.dmnNme)) {
            LOGE("dmnNme len err!!!!\n");
            return -ERR_V2X_SOCKET_CONECT;
        }
        snprintf(cfg.dmnNme, sizeof(cfg.dmnNme), "%s", aipcDmnNme);
    }
    const int rc = v2x_sys_net_init(&cfg);
    if (rc != 0) {
        LOGE("v2x_sys_net_init() err!!!!\n");
        v2x_sys_net_exit();
        return rc;
    }
    giSysUp = true;
    giSysOwnsCore = false;
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_system_exit(void)
{
    LOGT();
    std::lock_guard<std::mutex> life(giSysLifeMtx);
    // Finishes a message written in part while the core still reads, or
    // reports it cut; everything is stopped either way.
    const int cut = v2x_sys_net_exit();
    // A core of another process that this one attached to keeps running.
    if (giSysOwnsCore || !giSysUp) {
        v2x_core_exit();
    }
    giSysUp = false;
    giSysOwnsCore = false;
    return cut;
}

// One DSM message, with options (V2X_DSM_REQ_EX) or without.
static int _sys_write(const char* aopcTxBuf, const int aicTxLen, const tDSMTxParm* aipcDSMTxParm,
                      const tDSMTxOpt* aipcOpt)
{
    if (aicTxLen < 0 || aicTxLen > static_cast<int>(V2X_SYS_MAX_TX_DATA)) {
        LOGE("aicLen(%d) too large, must<%d!!!!\n", static_cast<int>(V2X_DSM_REQ_HEAD_LEN) + aicTxLen,
             static_cast<int>(V2X_DSM_REQ_HEAD_LEN + V2X_SYS_MAX_TX_DATA + 1));
        return -ERR_V2X_SEND_LEN;
    }
    if (aipcDSMTxParm == nullptr || (aopcTxBuf == nullptr && aicTxLen > 0)) {
        LOGE("aopcTxBuf=%p, aipcDSMTxParm=%p err!!!!\n", static_cast<const void*>(aopcTxBuf),
             static_cast<const void*>(aipcDSMTxParm));
        return -ERR_V2X_PARM_CONT;
    }
    tDSMTxParm parm;
    memcpy(&parm, aipcDSMTxParm, sizeof(parm));
    // The extension bytes up to their first zero byte; the rest stays zero.
    uint8_t exts[sizeof(parm.dsmHdrExts)] = {};
    const size_t extLen = strnlen(reinterpret_cast<const char*>(parm.dsmHdrExts), sizeof(parm.dsmHdrExts));
    memcpy(exts, parm.dsmHdrExts, extLen);
    const int chk = app_dsm_req_check(parm.appId, exts, static_cast<uint32_t>(aicTxLen));
    if (chk != 0) {
        return chk;
    }
    std::lock_guard<std::mutex> lk(giTxAsmMtx);
    memset(giTxAsmBuf, 0, sizeof(giTxAsmBuf));
    static_assert(offsetof(tDSMReq, dsmHdrExts) == offsetof(tDSMTxParm, dsmHdrExts), "tx head");
    memcpy(giTxAsmBuf, &parm, offsetof(tDSMTxParm, dsmHdrExts));
    memcpy(giTxAsmBuf + offsetof(tDSMReq, dsmHdrExts), exts, extLen);
    const uint16_t len = static_cast<uint16_t>(aicTxLen);
    memcpy(giTxAsmBuf + offsetof(tDSMReq, msgLen), &len, sizeof(len));
    if (aicTxLen > 0) {
        memcpy(giTxAsmBuf + V2X_DSM_REQ_HEAD_LEN, aopcTxBuf, static_cast<size_t>(aicTxLen));
    }
    int rc;
    if (aipcOpt == nullptr) {
        rc = sys_net_send(V2X_DSM_REQ, giTxAsmBuf, static_cast<int>(V2X_DSM_REQ_HEAD_LEN) + aicTxLen);
    } else {
        static char exBuf[V2X_CORE_APP_MAX_PAYLOAD];  // under giTxAsmMtx
        const int len = app_dsm_req_ex_build(reinterpret_cast<const tDSMReq*>(giTxAsmBuf), aipcOpt, exBuf);
        rc = len < 0 ? len : sys_net_send(V2X_DSM_REQ_EX, exBuf, len);
    }
    return rc != 0 ? rc : aicTxLen;
}

extern "C" V2X_API int v2x_system_write(const char* aopcTxBuf, const int aicTxLen,
                                        const tDSMTxParm* aipcDSMTxParm)
{
    LOGT();
    return _sys_write(aopcTxBuf, aicTxLen, aipcDSMTxParm, nullptr);
}

extern "C" V2X_API int v2x_system_write_ex(const char* aopcTxBuf, const int aicTxLen,
                                           const tDSMTxParm* aipcDSMTxParm, const tDSMTxOpt* aipcOpt)
{
    LOGT();
    return _sys_write(aopcTxBuf, aicTxLen, aipcDSMTxParm, aipcOpt);
}

// A fixed figure that callers have always been given and may size buffers
// by; nothing in the stack enforces it. What one message may really carry
// is V2X_SYS_MAX_TX_DATA, and per AID and extension v2x_dsm_data_max().
extern "C" V2X_API uint32_t get_mtu(void)
{
    LOGT();
    return 1024;
}

extern "C" V2X_API eMsgType get_msg_type(const uint32_t aicAid)
{
    LOGT();
    switch (aicAid) {
    case 26:
        return MSG_TYPE_BSM;
    case 27:
        return MSG_TYPE_RSI;
    case 28:
        return MSG_TYPE_RSM;
    case 29:
        return MSG_TYPE_MAP;
    case 30:
        return MSG_TYPE_SPAT;
    default:
        return MSG_TYPE_MAX;
    }
}
