// SPDX-License-Identifier: Apache-2.0
// Small helpers shared by the application client sources (library-internal).
#ifndef VESTRA_APP_UTIL_HPP
#define VESTRA_APP_UTIL_HPP

#include <pthread.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "cv2x_app.h"
#include "v2x_lock.hpp"

// A result code read from the socket, as the enumeration the callbacks take.
// A value outside the enumeration cannot be held by it; it is reported as a
// refusal without reason rather than passed on as something undefined.
inline eDMERetCd app_ret_cd(const uint32_t aicRetCd)
{
    return aicRetCd <= DME_RET_REJ_NO_REASON ? static_cast<eDMERetCd>(aicRetCd)
                                             : DME_RET_REJ_NO_REASON;
}

// The calling thread is the application runtime's: every callback runs on
// it. Set once by the runtime thread itself.
void app_mark_runtime_thread();
bool app_on_runtime_thread();

// Connects to the core's socket at aipcName, close-on-exec, non-blocking
// when aicNonBlock: the descriptor, or -ERR_V2X_SOCKET_OPEN /
// -ERR_V2X_SOCKET_CONECT after a log line. A server that runs as neither this
// user nor root is refused before anything is sent to it: whoever took the
// path must not receive the application's requests, nor pass its own
// messages off as the core's.
int app_connect_core(const char* aipcName, int aicNonBlock);

// The one connect of both clients: app_connect_core, then the core's
// greeting (app_await_greeting). The descriptor of a connection the core
// serves, or the failed step's negative result code, after its log line;
// a connection that was refused is closed.
int app_connect_greeted(const char* aipcName, int aicNonBlock);

// The right to use a client's send side (its CoreAppTx and socket) for one
// send, one holder at a time, so each message leaves whole. The turn is
// taken and given back under the connection's mutex, but held without it:
// a send that waits for the core to take its bytes never holds a lock, so
// closing the connection, asking whether it is up, or another thread's
// check of its own message never waits behind it.
class AppTxTurn {
public:
    // Waits for the turn up to aicWaitMs (negative: until it is free).
    AppTxTurn(std::mutex& aiopMtx, std::condition_variable& aiopCv, bool& aiopBusy, int aicWaitMs)
        : mtx_(aiopMtx), cv_(aiopCv), busy_(aiopBusy)
    {
        std::unique_lock<std::mutex> lk(mtx_);
        const auto free = [this] { return !busy_; };
        if (aicWaitMs < 0) {
            cv_.wait(lk, free);
            held_ = true;
        } else {
            held_ = cv_.wait_for(lk, std::chrono::milliseconds(aicWaitMs), free);
        }
        if (held_) {
            busy_ = true;
        }
    }
    ~AppTxTurn()
    {
        if (held_) {
            {
                std::lock_guard<std::mutex> lk(mtx_);
                busy_ = false;
            }
            cv_.notify_all();
        }
    }
    AppTxTurn(const AppTxTurn&) = delete;
    AppTxTurn& operator=(const AppTxTurn&) = delete;

    // False when the wait for the turn ran out.
    bool held() const { return held_; }

private:
    std::mutex& mtx_;
    std::condition_variable& cv_;
    bool& busy_;
    bool held_ = false;
};

class CoreAppTx;
// The one send path of both clients, called with the caller's send turn
// (AppTxTurn) held: checks the message (length 0..4090, a payload for a non-zero
// length, app_core_msg_check) and sends it whole on aicFd. With no
// connection (aicFd < 0), or when aicNoConnRc says the core has gone
// (-ERR_V2X_SOCKET_CONECT), returns aicNoConnRc first. Logs every refusal.
int app_send_core_msg(CoreAppTx& aiopTx, int aicFd, int aicNoConnRc, uint32_t aicType,
                      const char* aipcMsg, int aicLen);
// The loss of the core is said once by app_send_core_msg, not on every call
// after it; a new connection and a client's exit start a new episode.
void app_core_gone_rearm();

// At a client's exit: when messages were cut (their start written, their
// rest never: the core went away, or did not read within the exit's wait),
// one ERROR line with how many and their unwritten bytes, and
// -ERR_V2X_SOCKET_WRITE; else 0. Called with the caller's send mutex held.
int app_tx_report_cut(CoreAppTx& aiopTx);

// Reads the core's greeting, the first message of the connection aicFd to
// aipcName, within aicWaitMs, and nothing after it: 0 (the core serves the
// connection), -ERR_V2X_CONN_REFUSED (refused at the cap, for this user's
// share, or closed unanswered by the access settings) or
// -ERR_V2X_SOCKET_CONECT (no greeting in time, or a first message that is
// none), after one line naming the reason.
int app_await_greeting(int aicFd, const char* aipcName, int aicWaitMs = V2X_CTL_GREETING_WAIT_MS);

// Asks the core at aipcName, over a short control connection of its own,
// for the counters of this process's other connections (V2X_CTL_SELF) into
// *aopStats. 0, -ERR_V2X_SOCKET_CONECT (no core answers there),
// -ERR_V2X_CONN_REFUSED (the core refused the connection) or
// -ERR_V2X_SOCKET_READ (no answer within 1 s, or one that is malformed or
// refused). Logs the failure.
// Fills aicSize bytes at aopStats (a tV2XCtlClient, or a tV2XCtlClientEx)
// with the core's V2X_CTL_SELF record, as far as both know it.
int app_conn_stats(const char* aipcName, void* aopStats, size_t aicSize);

// Puts the tDSMTxOpt and the time of the call (tDSMReqExPre) in front of a
// V2X_DSM_REQ payload (tDSMReq head and data) into aopBuf
// (V2X_CORE_APP_MAX_PAYLOAD bytes): the V2X_DSM_REQ_EX payload's length, or
// -ERR_V2X_PARM_CONT (a null record or options) or -ERR_V2X_SEND_LEN (it
// would not fit one message) after a line. The send's check
// (app_core_msg_check) refuses reserved bytes that are not zero.
int app_dsm_req_ex_build(const tDSMReq* aipcReq, const tDSMTxOpt* aipcOpt, char* aopBuf);

// The runtime's and the system API's send paths by plain type number (the
// types outside eV2XMsgType included), as send_core_app_msg and
// _send_core_app_msg.
int domn_clit_send(uint32_t aicType, const char* aipcMsg, int aicLen);
int sys_net_send(uint32_t aicType, const char* aipcMsg, int aicLen);

// True when the process at the other end of the connected Unix socket is
// this one: a client that started its own core talks to that core, not to
// whatever else answers at the path. Logs the other process otherwise.
bool app_peer_is_self(int aicFd);

// The runtime's connection is to this process's core (daemon client).
bool domn_clit_peer_is_self();
// Frees the daemon client's event and socket, keeping whether the core went
// away: a runtime that ends by itself still reports the core gone.
void domn_clit_release();
// The system API's connection is to this process's core.
bool sys_net_peer_is_self();

// Callback families, for the calls a callback must not make.
enum AppCbFamily : unsigned {
    kAppCbDsm = 1u,   // indication and DSM service confirm
    kAppCbProv = 2u,  // provider confirm
    kAppCbUser = 4u,  // user confirm
};

// Marks the calling thread as inside a callback of one family for a scope.
class AppCallbackScope {
public:
    explicit AppCallbackScope(AppCbFamily aicFamily);
    ~AppCallbackScope();
    AppCallbackScope(const AppCallbackScope&) = delete;
    AppCallbackScope& operator=(const AppCallbackScope&) = delete;

private:
    unsigned prev_;
};

// True while the calling thread runs a callback of one of the families.
bool app_in_callback(unsigned aicFamilies);

// What the core would refuse of a DSM message, checked before it is sent:
// 0, -ERR_V2X_PARM_CONT (an AID above 16511, an extension above 253 bytes)
// or -ERR_V2X_SEND_LEN (data longer than the AID's form allows). aipcExts
// is the 256-byte extension block (null: none). Logs the refusal.
int app_dsm_req_check(uint32_t aicAppId, const uint8_t* aipcExts, uint32_t aicDataLen);

// What the core would refuse of a whole message towards it (aicLen payload
// bytes, already known to be 0..4090 and present): 0, -ERR_V2X_PARM_CONT (a
// type the core does not take; a DSM request whose AID or extension has no
// encoding) or -ERR_V2X_SEND_LEN (a length its type does not allow). Logs
// the refusal.
int app_core_msg_check(uint32_t aicType, const char* aipcMsg, uint32_t aicLen);

// app_dsm_ind with the indication's receive record (null: it came without
// one): the registration's callback of either kind is called with what it
// takes. Runtime thread.
int app_dsm_ind_rx(tDSMInd* aipcDSMInd, const tDSMRxInfo* aipcRx);

#endif
