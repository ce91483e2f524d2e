// SPDX-License-Identifier: Apache-2.0
// The application's end of the application socket: connect to the core's
// daemon server, read and dispatch the core's messages on the runtime thread,
// and send requests from any application thread.
#include <errno.h>
#include <event2/event.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "app_util.hpp"
#include "core_app_tx.hpp"
#include "core_app_frame.hpp"
#include "cv2x_app.h"
#include "self_log.h"
#include "v2x_evthread.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

// The connected socket, -1 when closed. Changed only by the holder of the
// send turn and under giDSMTxMtx, so a send (which holds the turn) never
// uses a descriptor that is being closed, and a reader under the mutex sees
// a whole change.
static int giClitRxFd = -1;
// Persistent read event of the socket; runtime thread only (and
// v2x_domn_clit_exit after that thread has been joined).
static struct event* gipClitRxEt = nullptr;
// Receive side: the runtime thread's reassembly of the core's messages.
static CoreAppRx rxBuf;
// Whole messages towards the core, used by the holder of the send turn
// only. The turn is taken under giDSMTxMtx and held without it, so a send
// waiting for the core to take its bytes holds no lock (AppTxTurn).
static CoreAppTx giTx;
static std::mutex giDSMTxMtx;
static std::condition_variable giTxTurnCv;
static bool giTxBusy = false;  // the turn is taken; under giDSMTxMtx
// giTx.gone() as the last holder of the turn left it; under giDSMTxMtx.
static bool giTxGone = false;
// The socket as seen without the mutex, only to wake a sender that waits
// for room when the connection is being closed.
static std::atomic<int> giWakeFd{-1};
// Set when the core closed a connection that was open: sends then say the
// core is gone instead of that there never was a connection.
static std::atomic<bool> giCoreGone{false};

// A send turn of this connection; negative: waits until it is free.
static AppTxTurn _tx_turn()
{
    return AppTxTurn(giDSMTxMtx, giTxTurnCv, giTxBusy, -1);
}

// Closes the socket with the send turn and forgets it. A sender waiting for
// the core to take its message holds the turn: shutting the socket down
// first ends its wait at once.
static void _clit_close_fd()
{
    const int wake = giWakeFd.exchange(-1);
    if (wake >= 0) {
        shutdown(wake, SHUT_RDWR);
    }
    AppTxTurn turn = _tx_turn();
    std::lock_guard<std::mutex> lk(giDSMTxMtx);
    giTx.drop_rest();  // counted: the exit reports what the core never got
    if (giClitRxFd >= 0) {
        close(giClitRxFd);
    }
    giClitRxFd = -1;
    giTxGone = giTx.gone();
}

static void _clit_free_event()
{
    v2x_event_release(gipClitRxEt);
}

static int _unix_socket_connect(const char* aipcName)
{
    LOGT();
    // Non-blocking, tried again while the server's accept queue is full;
    // closed on exec: a program the application starts must not keep the
    // connection to the core open. Connected once the core has greeted it.
    const int fd = app_connect_greeted(aipcName, 1);
    if (fd < 0) {
        giCoreGone = false;
        return fd;
    }
    AppTxTurn turn = _tx_turn();
    std::lock_guard<std::mutex> lk(giDSMTxMtx);
    giTx.attach(fd);
    giTxGone = giTx.gone();
    giClitRxFd = fd;
    giWakeFd = fd;
    giCoreGone = false;
    return V2X_SUCCESS;
}

static int _parse_dsm_ind_msg(char* aipcMsg, const int aicLen)
{
    LOGT();
    CoreAppDsmInd head{};
    if (aicLen < static_cast<int>(V2X_DSM_IND_HEAD_LEN)) {
        LOGE("aicLen()=%d err!!!!\n", aicLen);
        return -ERR_V2X_RX_CORE_FMT;
    }
    if (!core_app_dsm_ind_parse(aipcMsg, static_cast<size_t>(aicLen), &head)) {
        LOGE("%d!=%d+%d err!!!!\n", aicLen, static_cast<int>(V2X_DSM_IND_HEAD_LEN),
             static_cast<int>(head.msgLen));
        return -ERR_V2X_RX_CORE_FMT;
    }
    // tDSMInd is packed (alignment 1): pointing it into the reader's own
    // bytes is safe, and app_dsm_ind's record is not const by its signature.
    int rc = app_dsm_ind(reinterpret_cast<tDSMInd*>(aipcMsg));
    if (rc != 0) {
        LOGE("app_dsm_ind() err!!!!\n");
    }
    return rc;
}

// An indication with its receive record: both handed over in place (the
// records are packed, alignment 1, so pointing into the reader's bytes is
// safe).
static int _parse_dsm_ind_ex_msg(char* aipcMsg, const int aicLen)
{
    LOGT();
    CoreAppDsmInd head{};
    const size_t recSize =
        aicLen < 0 ? 0 : core_app_dsm_ind_ex_check(aipcMsg, static_cast<size_t>(aicLen), &head);
    if (recSize == 0) {
        LOGE("V2X_DSM_IND_EX len(%d) err!!!!\n", aicLen);
        return -ERR_V2X_RX_CORE_FMT;
    }
    int rc = app_dsm_ind_rx(reinterpret_cast<tDSMInd*>(aipcMsg + recSize),
                            reinterpret_cast<const tDSMRxInfo*>(aipcMsg));
    if (rc != 0) {
        LOGE("app_dsm_ind() err!!!!\n");
    }
    return rc;
}

// A confirm is a fixed record: copied out of the bytes, then handed over.
template <typename Cfm>
static int _parse_confirm_msg(const char* aipcMsg, const int aicLen, int (*aipFn)(const Cfm*),
                              const char* aipcFnName)
{
    if (aicLen != static_cast<int>(sizeof(Cfm))) {
        LOGE("aicLen()=%d err!!!!\n", aicLen);
        return -ERR_V2X_RX_CORE_FMT;
    }
    Cfm cfm;
    memcpy(&cfm, aipcMsg, sizeof(cfm));
    int rc = aipFn(&cfm);
    if (rc != 0) {
        LOGE("%s() err!!!!\n", aipcFnName);
    }
    return rc;
}

// Dispatches one complete message; the payload lies wholly in what was read.
static int _parse_recv_msg(const CoreAppMsg& aicMsg)
{
    LOGT();
    // Each parser logs its own failure.
    switch (aicMsg.msgType) {
    case V2X_DSM_CFM:
        return _parse_confirm_msg(aicMsg.payload, aicMsg.msgLen, app_dme_dsm_serv_cfm,
                                  "app_dme_dsm_serv_cfm");
    case V2X_DSM_IND:
        return _parse_dsm_ind_msg(aicMsg.payload, aicMsg.msgLen);
    case V2X_DSM_IND_EX:
        return _parse_dsm_ind_ex_msg(aicMsg.payload, aicMsg.msgLen);
    case V2X_DME_PROV_SERV_CFM:
        return _parse_confirm_msg(aicMsg.payload, aicMsg.msgLen, app_dme_provider_serv_cfm,
                                  "app_dme_provider_serv_cfm");
    case V2X_DME_USER_SERV_CFM:
        return _parse_confirm_msg(aicMsg.payload, aicMsg.msgLen, app_dme_user_serv_cfm,
                                  "app_dme_user_serv_cfm");
    default:
        LOGE("msgType=%d err!!!!\n", static_cast<int>(aicMsg.msgType));
        return -ERR_V2X_RX_CORE_FMT;
    }
}

// The stream was out of step at a header no message of its type can have;
// what was held has been dropped so that reading resumes with the next read.
static void _log_rx_drop(const CoreAppMsg& aicMsg, const size_t aicHeld)
{
    if (aicMsg.msgType >= V2X_MSG_TYPE_MAX) {
        LOGE("msgType=%d err!!!!\n", static_cast<int>(aicMsg.msgType));
    } else {
        LOGE("aicLen()=%d err!!!!\n", static_cast<int>(aicMsg.msgLen));
    }
    LOGE("drop rxLen=%d err!!!!\n", static_cast<int>(aicHeld));
}

static void _rx_server_msg_cb(evutil_socket_t aicFd, short aicEvent, void* aipArg)
{
    (void)aicEvent;
    (void)aipArg;
    // One read per readiness event, behind whatever incomplete message is
    // still held from the previous one.
    char* room = rxBuf.read_room();
    ssize_t rxLen = read(aicFd, room, CoreAppRx::kReadMax);
    LOGI("rxLen=%d\n", static_cast<int>(rxLen));
    if (rxLen < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return;  // nothing there after all; not a failure of the connection
        }
        LOGE("read() err, msg:%s!!!!\n", strerror(errno));
    } else if (rxLen == 0) {
        LOG0("Server close------\n");
    }
    if (rxLen <= 0) {
        giCoreGone = true;
        // Without the core there is nothing left for the runtime loop to do
        // (its stop request's event would keep it running): it returns.
        if (gipClitRxEt != nullptr) {
            event_base_loopbreak(event_get_base(gipClitRxEt));
        }
        _clit_free_event();
        _clit_close_fd();
        rxBuf.reset();
        return;
    }
    rxBuf.commit(static_cast<size_t>(rxLen));
    CoreAppMsg msg;
    for (;;) {
        const CoreAppNext got = rxBuf.next(&msg);
        if (got == CoreAppNext::Msg) {
            (void)_parse_recv_msg(msg);
            continue;
        }
        if (got == CoreAppNext::Drop) {
            _log_rx_drop(msg, rxBuf.held_before_drop());
        }
        break;
    }
}

static int _domn_clit_init(const struct event_base* aipcEtBse, const tV2XSDKCfg* aipcSDKCfg)
{
    LOGT();
    int rc = _unix_socket_connect(aipcSDKCfg->dmnNme);
    if (rc != 0) {
        LOGE("_unix_socket_connect() err!!!!\n");
        return rc;
    }
    rxBuf.reset();
    // The published signature takes the base as const; libevent registers
    // the event in it, so the cast is forced there.
    gipClitRxEt = event_new(const_cast<struct event_base*>(aipcEtBse), giClitRxFd,
                            EV_READ | EV_PERSIST, _rx_server_msg_cb, nullptr);
    if (gipClitRxEt == nullptr) {
        LOGE("event_new() err!!!!\n");
        return -ERR_V2X_EVENT_NEW;
    }
    event_add(gipClitRxEt, nullptr);
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_domn_clit_init(const tV2XSDKCfg* aipcSDKCfg,
                                          const struct event_base* aipcEtBse)
{
    LOGT();
    int rc;
    if (aipcSDKCfg == nullptr || aipcEtBse == nullptr) {
        LOGE("aipcSDKCfg=%p, aipcEtBse=%p err!!!!\n", static_cast<const void*>(aipcSDKCfg),
             static_cast<const void*>(aipcEtBse));
        rc = -ERR_V2X_PARM_CONT;
    } else {
        rc = _domn_clit_init(aipcEtBse, aipcSDKCfg);
    }
    if (rc != 0) {
        LOGE("_domn_clit_init() err!!!!\n");
    }
    return rc;
}

void domn_clit_release()
{
    _clit_free_event();
    _clit_close_fd();
    rxBuf.reset();
}

extern "C" V2X_API int v2x_domn_clit_exit(void)
{
    LOGT();
    {
        // The rest of a message written in part goes first, while the core
        // still reads: the call that sent it was told the core has it. The
        // wait holds the send turn, not the mutex.
        AppTxTurn turn = _tx_turn();
        (void)giTx.finish(giClitRxFd, CoreAppTx::kExitWaitMs);
        std::lock_guard<std::mutex> lk(giDSMTxMtx);
        giTxGone = giTx.gone();
    }
    domn_clit_release();
    giCoreGone = false;  // from here on there is simply no connection
    app_core_gone_rearm();
    AppTxTurn turn = _tx_turn();
    return app_tx_report_cut(giTx);
}

int domn_clit_send(uint32_t aicType, const char* aipcMsg, int aicLen)
{
    LOGI("txLen=%d\n", aicLen);
    // One sender at a time, so each message leaves whole and after the one
    // whose turn came first; the wait for room holds the turn only.
    AppTxTurn turn = _tx_turn();
    const bool gone = giCoreGone || giTx.gone();
    const int rc = app_send_core_msg(giTx, giClitRxFd,
                                     gone ? -ERR_V2X_SOCKET_CONECT : -ERR_V2X_PARM_CONT, aicType,
                                     aipcMsg, aicLen);
    std::lock_guard<std::mutex> lk(giDSMTxMtx);
    giTxGone = giTx.gone();
    return rc;
}

extern "C" V2X_API int send_core_app_msg(const eV2XMsgType aicMsgTp, const char* aipcMsg,
                                         const int aicLen)
{
    LOGT();
    return domn_clit_send(static_cast<uint32_t>(aicMsgTp), aipcMsg, aicLen);
}

extern "C" V2X_API int cv2x_app_core_connected(void)
{
    // Never behind a send that waits: only the mutex, briefly.
    std::lock_guard<std::mutex> lk(giDSMTxMtx);
    return giClitRxFd >= 0 && !giCoreGone && !giTxGone ? 1 : 0;
}

bool domn_clit_peer_is_self()
{
    std::lock_guard<std::mutex> lk(giDSMTxMtx);
    return app_peer_is_self(giClitRxFd);
}
