// Start and stop of the simple system API with its built-in defaults, the
// writing call, and the two small questions.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "core.h"
#include "cv2x_app_sys.h"
#include "self_log.h"

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

// The socket's directory is missing on a fresh board (/dev/shm is empty after
// boot): create it so that the core can bind there.
static void _make_socket_dir(const char* aipcPath)
{
    char dir[sizeof(tV2XSDKCfg::dmnNme)];
    snprintf(dir, sizeof(dir), "%s", aipcPath);
    char* slash = strrchr(dir, '/');
    if (slash == nullptr || slash == dir) {
        return;
    }
    *slash = '\0';
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
        LOGE("mkdir(%s) err, msg:%s!!!!\n", dir, strerror(errno));
    }
}

extern "C" V2X_API int v2x_system_init(void)
{
    LOGT();
    if (_padding_device_config(&giSysCfg) != 0) {
        LOGE("_padding_device_config() err!!!!\n");
    }
    _make_socket_dir(giSysCfg.dmnNme);
    int rc = v2x_core_init(&giSysCfg);
    if (rc != 0) {
        LOGE("v2x_core_init() err!!!!\n");
        return rc;
    }
    sleep(1);
    rc = v2x_sys_net_init(&giSysCfg);
    if (rc != 0) {
        LOGE("v2x_sys_net_init() err!!!!\n");
        return rc;
    }
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_system_exit(void)
{
    LOGT();
    v2x_sys_net_exit();
    v2x_core_exit();
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_system_write(const char* aopcTxBuf, const int aicTxLen,
                                        const tDSMTxParm* aipcDSMTxParm)
{
    LOGT();
    if (aicTxLen < 0 || aicTxLen > V2X_SYS_MAX_TX_DATA) {
        LOGE("aicLen(%d) too large, must<%d!!!!\n", static_cast<int>(V2X_DSM_REQ_HEAD_LEN) + aicTxLen,
             static_cast<int>(V2X_CORE_APP_MAX_PAYLOAD));
        return -ERR_V2X_SEND_LEN;
    }
    if (aipcDSMTxParm == nullptr || (aopcTxBuf == nullptr && aicTxLen > 0)) {
        LOGE("aopcTxBuf=%p, aipcDSMTxParm=%p err!!!!\n", static_cast<const void*>(aopcTxBuf),
             static_cast<const void*>(aipcDSMTxParm));
        return -ERR_V2X_PARM_CONT;
    }
    std::lock_guard<std::mutex> lk(giTxAsmMtx);
    memset(giTxAsmBuf, 0, sizeof(giTxAsmBuf));
    tDSMTxParm parm;
    memcpy(&parm, aipcDSMTxParm, sizeof(parm));
    static_assert(offsetof(tDSMReq, dsmHdrExts) == offsetof(tDSMTxParm, dsmHdrExts), "tx head");
    memcpy(giTxAsmBuf, &parm, offsetof(tDSMTxParm, dsmHdrExts));
    // The extension bytes up to their first zero byte; the rest stays zero.
    const size_t extLen = strnlen(reinterpret_cast<const char*>(parm.dsmHdrExts), sizeof(parm.dsmHdrExts));
    memcpy(giTxAsmBuf + offsetof(tDSMReq, dsmHdrExts), parm.dsmHdrExts, extLen);
    const uint16_t len = static_cast<uint16_t>(aicTxLen);
    memcpy(giTxAsmBuf + offsetof(tDSMReq, msgLen), &len, sizeof(len));
    if (aicTxLen > 0) {
        memcpy(giTxAsmBuf + V2X_DSM_REQ_HEAD_LEN, aopcTxBuf, static_cast<size_t>(aicTxLen));
    }
    int rc = _send_core_app_msg(V2X_DSM_REQ, giTxAsmBuf,
                                static_cast<int>(V2X_DSM_REQ_HEAD_LEN) + aicTxLen);
    return rc != 0 ? rc : aicTxLen;
}

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
