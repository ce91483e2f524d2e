// SPDX-License-Identifier: Apache-2.0
// The blocking client of the simple system API: connect to the core's
// application socket, send requests, and read one message per call.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "app_util.hpp"
#include "core_app_tx.hpp"
#include "core_app_frame.hpp"
#include "cv2x_app_sys.h"
#include "self_log.h"
#include "unix_sock.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

// The blocking client socket, -1 when closed. Read under either mutex or
// with the send turn; set and closed only with the turn and both mutexes
// held, so neither a sender nor a reader ever uses a descriptor that is
// being closed.
static int giClitRxFd = -1;
// The reader's reassembly of the core's messages and its lock.
static CoreAppRx rxBuf;
static std::mutex giRxMtx;
// Whole messages towards the core, used by the holder of the send turn
// only. The turn is taken under giDSMTxMtx and held without it, so a send
// waiting for the core to take its bytes holds no lock (AppTxTurn).
static CoreAppTx giTx;
static std::mutex giDSMTxMtx;
static std::condition_variable giTxTurnCv;
static bool giTxBusy = false;  // the turn is taken; under giDSMTxMtx
// Where the connection went, for the counters' short second connection
// (under giDSMTxMtx).
static char giDmnNme[sizeof(tV2XSDKCfg::dmnNme)];
// Set once the reader said that the core closed or that no connection is
// left, so an application that keeps reading is not told on every call
// (under giRxMtx; cleared by each new connection and by the exit).
static bool giGoneSaid = false;

static int _unix_socket_connect(const char* aipcName)
{
    LOGT();
    // Blocking; closed on exec: a program the application starts must not
    // keep the connection to the core open. Connected once the core has
    // greeted it.
    const int fd = app_connect_greeted(aipcName, 0);
    if (fd < 0) {
        return fd;
    }
    AppTxTurn turn(giDSMTxMtx, giTxTurnCv, giTxBusy, -1);
    std::lock_guard<std::mutex> rl(giRxMtx);
    std::lock_guard<std::mutex> tl(giDSMTxMtx);
    giTx.attach(fd);
    giClitRxFd = fd;
    snprintf(giDmnNme, sizeof(giDmnNme), "%s", aipcName);
    rxBuf.reset();
    giGoneSaid = false;
    return V2X_SUCCESS;
}

static int _domn_clit_init(const tV2XSDKCfg* aipcSDKCfg)
{
    LOGT();
    int rc = _unix_socket_connect(aipcSDKCfg->dmnNme);
    if (rc != 0) {
        LOGE("_unix_socket_connect() err!!!!\n");
    }
    return rc;
}

int sys_net_send(uint32_t aicType, const char* aipcMsg, int aicLen)
{
    LOGI("txLen=%d\n", aicLen);
    // One sender at a time, so each message leaves whole; the wait for room
    // holds the turn only.
    AppTxTurn turn(giDSMTxMtx, giTxTurnCv, giTxBusy, -1);
    return app_send_core_msg(giTx, giClitRxFd, -ERR_V2X_PARM_CONT, aicType, aipcMsg, aicLen);
}

extern "C" V2X_API int _send_core_app_msg(const eV2XMsgType aicMsgTp, const char* aipcMsg,
                                          const int aicLen)
{
    LOGT();
    return sys_net_send(static_cast<uint32_t>(aicMsgTp), aipcMsg, aicLen);
}

extern "C" V2X_API int v2x_system_set_rx_info(int aicOn)
{
    LOGT();
    const tV2XRxInfoReq req = {aicOn != 0 ? 1u : 0u, 0u};
    return sys_net_send(V2X_DSM_RX_INFO_REQ, reinterpret_cast<const char*>(&req),
                        static_cast<int>(sizeof(req)));
}

extern "C" V2X_API int v2x_system_conn_stats(tV2XCtlClient* aopStats)
{
    LOGT();
    char name[sizeof(giDmnNme)];
    {
        std::lock_guard<std::mutex> lk(giDSMTxMtx);
        if (giClitRxFd < 0 || aopStats == nullptr) {
            LOGE("giClitRxFd=%d aopStats=%p err!!!!\n", giClitRxFd, static_cast<void*>(aopStats));
            return -ERR_V2X_PARM_CONT;
        }
        memcpy(name, giDmnNme, sizeof(name));
    }
    return app_conn_stats(name, aopStats, sizeof(*aopStats));
}

extern "C" V2X_API int v2x_sys_net_init(const tV2XSDKCfg* aipcSDKCfg)
{
    LOGT();
    if (aipcSDKCfg == nullptr) {
        LOGE("aipcSDKCfg=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    int rc = _domn_clit_init(aipcSDKCfg);
    if (rc != 0) {
        LOGE("_domn_clit_init() err!!!!\n");
        return rc;
    }
    // Every AID: the MIB's entry 0 takes all received DSM messages.
    tDMEDSMServReq req;
    memset(&req, 0, sizeof(req));
    req.index = 0;
    req.action = DME_ACTION_ADD;
    req.appId = 0;
    req.aidMthFlg = 1;
    rc = _send_core_app_msg(V2X_DME_DSM_SERV_REQ, reinterpret_cast<const char*>(&req),
                            static_cast<int>(sizeof(req)));
    LOGI("_send_core_app_msg()=%d\n", rc);
    if (rc != 0) {
        LOGE("_send_core_app_msg() err!!!!\n");
    }
    return rc;
}

extern "C" V2X_API int v2x_sys_net_exit(void)
{
    LOGT();
    // The rest of a message written in part goes first, while the core
    // still reads: the call that sent it was told the core has it. The wait
    // holds the send turn, not the mutex.
    AppTxTurn turn(giDSMTxMtx, giTxTurnCv, giTxBusy, -1);
    const int fd = giClitRxFd;
    (void)giTx.finish(fd, CoreAppTx::kExitWaitMs);
    if (fd >= 0) {
        // Wakes a reader blocked in read() (it sees the end of the stream)
        // so that the reader's lock can be taken below.
        shutdown(fd, SHUT_RDWR);
    }
    std::lock_guard<std::mutex> rl(giRxMtx);
    std::lock_guard<std::mutex> tl(giDSMTxMtx);
    giTx.drop_rest();  // none is left: the turn is held since the finish
    unix_sock_close(&giClitRxFd);
    rxBuf.reset();
    // An exit ends the episode for the reader as for the writer: the next
    // read without a connection says so again.
    giGoneSaid = false;
    app_core_gone_rearm();
    return app_tx_report_cut(giTx);
}

// A DSM indication (with its receive record when aicEx): parameters, data
// and record to the caller, data length back.
static int _parse_rx_dsm_msg(const char* aipcMsg, const int aicLen, const char* aopcRxBuf,
                             const int aicBufLen, const tDSMRxParm* aopcDSMRxParm, bool aicEx,
                             tDSMRxInfo* aopRx)
{
    CoreAppDsmInd head{};
    tDSMRxInfo rx;
    if (aicEx) {
        if (aicLen < 0 || !core_app_dsm_ind_ex_parse(aipcMsg, static_cast<size_t>(aicLen), &rx, &head)) {
            LOGE("V2X_DSM_IND_EX len(%d) err!!!!\n", aicLen);
            return -ERR_V2X_RX_CORE_FMT;
        }
    } else {
        if (aicLen < static_cast<int>(V2X_DSM_IND_HEAD_LEN)) {
            LOGE("aicLen()=%d err!!!!\n", aicLen);
            return -ERR_V2X_RX_CORE_FMT;
        }
        if (!core_app_dsm_ind_parse(aipcMsg, static_cast<size_t>(aicLen), &head)) {
            LOGE("%d!=%d+%d err!!!!\n", aicLen, static_cast<int>(V2X_DSM_IND_HEAD_LEN),
                 static_cast<int>(head.msgLen));
            return -ERR_V2X_RX_CORE_FMT;
        }
        core_app_rx_info_none(&rx, head.dsmpVer);
    }
    const uint16_t recLen = head.msgLen;
    if (static_cast<int>(recLen) > aicBufLen) {
        // Never past the caller's buffer, and never a cut passed off as whole.
        LOGE("aicBufLen(%d)<msgLen(%d) err!!!!\n", aicBufLen, static_cast<int>(recLen));
        return -ERR_V2X_RX_CORE_FMT;
    }
    // v2x_system_read's signature declares both out arguments const; they
    // are the caller's buffers and are written here, as the call promises.
    tDSMRxParm parm;
    parm.dsmpVer = head.dsmpVer;
    parm.appId = head.appId;
    memcpy(parm.peerMac, head.peerMac, sizeof(parm.peerMac));
    parm.priority = head.priority;
    memcpy(const_cast<tDSMRxParm*>(aopcDSMRxParm), &parm, sizeof(parm));
    if (recLen > 0) {
        memcpy(const_cast<char*>(aopcRxBuf), head.data, recLen);
    }
    if (aopRx != nullptr) {
        memcpy(aopRx, &rx, sizeof(rx));
    }
    return recLen;
}

static int _parse_recv_msg(const CoreAppMsg& aicMsg, const char* aopcRxBuf, const int aicBufLen,
                           const tDSMRxParm* aopcDSMRxParm, tDSMRxInfo* aopRx)
{
    LOGT();
    switch (aicMsg.msgType) {
    case V2X_DSM_CFM:
    case V2X_DME_PROV_SERV_CFM:
    case V2X_DME_USER_SERV_CFM:
        return 0;  // a confirm of this connection's registration; nothing for the caller
    case V2X_DSM_IND:
    case V2X_DSM_IND_EX: {
        int rc = _parse_rx_dsm_msg(aicMsg.payload, aicMsg.msgLen, aopcRxBuf, aicBufLen,
                                   aopcDSMRxParm, aicMsg.msgType == V2X_DSM_IND_EX, aopRx);
        if (rc < 0) {
            LOGE("_parse_rx_dsm_msg() err!!!!\n");
        }
        return rc;
    }
    default:
        LOGE("msgType=%d err!!!!\n", static_cast<int>(aicMsg.msgType));
        return -ERR_V2X_RX_CORE_FMT;
    }
}

extern "C" V2X_API int v2x_system_read(const char* aopcRxBuf, const int aicBufLen,
                                       const tDSMRxParm* aopcDSMRxParm)
{
    return v2x_system_read_rx(aopcRxBuf, aicBufLen, aopcDSMRxParm, nullptr);
}

extern "C" V2X_API int v2x_system_read_rx(const char* aopcRxBuf, const int aicBufLen,
                                          const tDSMRxParm* aopcDSMRxParm, tDSMRxInfo* aopRxInfo)
{
    LOGT();
    std::lock_guard<std::mutex> rl(giRxMtx);
    if (giClitRxFd < 0) {
        if (!giGoneSaid) {
            LOGE("giClitRxFd=%d err!!!!\n", giClitRxFd);
            giGoneSaid = true;
        }
        return -1;
    }
    if (aopcDSMRxParm == nullptr || (aopcRxBuf == nullptr && aicBufLen > 0)) {
        LOGE("aopcRxBuf=%p, aopcDSMRxParm=%p err!!!!\n", static_cast<const void*>(aopcRxBuf),
             static_cast<const void*>(aopcDSMRxParm));
        return -ERR_V2X_PARM_CONT;
    }
    const int bufLen = aopcRxBuf == nullptr ? 0 : (aicBufLen < 0 ? 0 : aicBufLen);
    CoreAppMsg msg;
    for (;;) {
        const CoreAppNext got = rxBuf.next(&msg);
        if (got == CoreAppNext::Msg) {
            return _parse_recv_msg(msg, aopcRxBuf, bufLen, aopcDSMRxParm, aopRxInfo);
        }
        if (got == CoreAppNext::Drop) {
            // Out of step: what was held is gone; go on with the next read.
            if (msg.msgType >= V2X_MSG_TYPE_MAX) {
                LOGE("msgType=%d err!!!!\n", static_cast<int>(msg.msgType));
            } else {
                LOGE("aicLen()=%d err!!!!\n", static_cast<int>(msg.msgLen));
            }
            LOGE("drop rxLen=%d err!!!!\n", static_cast<int>(rxBuf.held_before_drop()));
            return -ERR_V2X_RX_CORE_FMT;
        }
        // Nothing complete is held: one blocking read.
        char* room = rxBuf.read_room();
        ssize_t rxLen;
        do {
            rxLen = read(giClitRxFd, room, CoreAppRx::kReadMax);
        } while (rxLen < 0 && errno == EINTR);
        LOGI("rxLen=%d\n", static_cast<int>(rxLen));
        if (rxLen < 0) {
            LOGE("read() err, msg:%s!!!!\n", strerror(errno));
            return -1;
        }
        if (rxLen == 0) {
            if (!giGoneSaid) {
                LOG0("Server close------\n");
                giGoneSaid = true;
            }
            return -1;
        }
        rxBuf.commit(static_cast<size_t>(rxLen));
    }
}

bool sys_net_peer_is_self()
{
    std::lock_guard<std::mutex> tl(giDSMTxMtx);
    return app_peer_is_self(giClitRxFd);
}
