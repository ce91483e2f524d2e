// SPDX-License-Identifier: Apache-2.0
// The daemon server: the core's Unix-domain socket for applications. Every
// callback runs on the core thread; the broadcast may be called from any
// thread and takes only the client list's read lock and a client's own send
// lock.
#include "domn_serv.hpp"

#include <errno.h>
#include <event2/event.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "core_app.h"
#include "core_app_frame.hpp"
#include "core_app_tx.hpp"
#include "core_mib.h"
#include "core_stats.hpp"
#include "dme.h"
#include "dme_dsm.h"
#include "rlink.hpp"
#include "self_list.h"
#include "self_log.h"
#include "unix_sock.h"
#include "v2x_clock.hpp"
#include "v2x_lock.hpp"
#include "v2x_evthread.hpp"
#include "v2x_prim.hpp"
#include "xfuncs.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

namespace {

constexpr int kRxBufLen = static_cast<int>(V2X_LIM_DMN_RX_BUF);
constexpr uint32_t kHdr = V2X_CORE_APP_HDR_LEN;
// Requests one connection may have handled per turn before the others get
// theirs: a flooding client cannot starve a quiet one.
constexpr int kReqsPerTurn = 4;
// How long accepting rests after the process or system ran out of
// descriptors, so that the listening socket does not spin.
constexpr int kAcceptRestMs = 100;
// A connection that has sent nothing this long after its accept is taken
// for an application's. A control connection says what it is with its first
// message, written right after its connect, so it is never this slow.
constexpr int kDecideMs = 200;

// What a connection is: told by its first message (a control hello or
// anything else), or by its silence (kDecideMs). Until then it is served and
// shown as an application's but not yet counted as accepted.
enum ConnKind : uint8_t { kConnPending = 0, kConnApp = 1, kConnCtl = 2 };

// One accepted application connection, owned by the server.
struct tClitNetCon {
    struct list_head hnode;  // first member: node and record share an address
    struct list_head waitNode;  // in giWaitHd while reading is held back
    int fd;
    uint32_t connId;         // owner number of what the connection registers
    int32_t pid;             // the peer, as the kernel reported it at accept
    int32_t uid;
    // Counted on the core thread; the out side under txLk.
    uint64_t msgsIn;
    uint64_t bytesIn;
    uint64_t refusedLen;
    uint64_t refusedType;
    uint64_t refusedValue;
    uint64_t msgsOut;
    uint64_t bytesOut;
    uint64_t droppedStalled;
    // What became of its DSM requests on the radio (core thread).
    uint64_t txSent;
    uint64_t txExpired;
    uint64_t txSuperseded;
    uint8_t waitPrio;        // the full queue it is held back for
    // ConnKind; written on the core thread under the client list's write
    // lock, so the broadcast (read lock, any thread) sees it whole.
    uint8_t kind;
    bool idleArmed;          // pIdleEt is pending for the message under way
    uint32_t rxSeq;          // messages completed or refused so far
    uint32_t idleSeq;        // rxSeq when pIdleEt was armed
    struct event* pClitEt;   // persistent read event
    struct event* pIdleEt;   // fires when an incomplete message was held too long
    struct event* pDecideEt; // fires when a silent connection is taken for an application's
    // Reading, one message at a time: its header, then its payload. The
    // payload goes straight into the shared receive buffer when it is all
    // there; only a payload that is not is kept in rxCarry, allocated to
    // its length and released once the message is complete.
    CoreAppHdrIn rxHdr;
    uint32_t rxNeed;         // payload length, once the header is complete
    uint32_t rxHeld;         // payload bytes in rxCarry
    char* rxCarry;
    // Writing: the unwritten rest of one message; while it is pending,
    // later messages are dropped whole so the stream never holds a torn one.
    pthread_mutex_t txLk;
    struct event* pTxEt;     // one-shot write event that flushes txPend
    uint32_t txOff;
    uint32_t txLen;
    uint32_t txDropCnt;      // whole messages dropped in the current stall
    char txPend[V2X_CORE_APP_BUF_LEN];
};

int giServTcpFd = -1;
// The socket file the server made, removed at its exit while still its own.
tUnixSockOwn giServOwn;
struct event* gipTcpServEt = nullptr;
LIST_HEAD(giContCltHd);
// Initialised statically and never destroyed, so a second shutdown (after a
// failed start the core runs it again) always finds a valid lock.
pthread_rwlock_t giContCltLk = PTHREAD_RWLOCK_INITIALIZER;
// Connections whose reading waits for room in the radio link's transmit
// queue, in the order they found it full; served in that order. Core thread.
LIST_HEAD(giWaitHd);
// Made active when the queue has room again; runs on the core's loop.
struct event* gipResumeEt = nullptr;
// Re-enables accepting after a rest for lack of descriptors.
struct event* gipAcceptEt = nullptr;
bool giAcceptStall = false;
// Accepted connections and the most allowed at once.
int giConnCnt = 0;
std::atomic<int> giConnMax{V2X_DMN_SERV_MAX_CLIT_DEF};
bool giConnCapSaid = false;
bool giConnShareSaid = false;
// Of giConnCnt: application (and undecided) connections, control connections.
int giAppCnt = 0;
int giCtlCnt = 0;
// How long an incomplete message may be held; tests shorten it.
std::atomic<int> giIdleMs{V2X_DMN_SERV_IDLE_MS_DEF};
// When the last connection was closed for it: a close within the timeout of
// the previous one belongs to the same episode and is counted, not logged.
long long giIdleLastMs = -(1LL << 40);
constexpr tV2XAccessCfg kAccessDef = {V2X_SOCK_MODE_DEF, -1, {0}};
// Who may use the socket: set from any thread before the core starts, taken
// into giServAccess by the server's start for its whole run (core thread).
tV2XAccessCfg giAccessCfg = kAccessDef;
std::mutex giAccessMtx;
tV2XAccessCfg giServAccess = kAccessDef;

// The same user, root, a listed user, or a member of the allowed group.
bool _peer_allowed(const tV2XAccessCfg& aicCfg, int aicUid, int aicGid, int aicPid)
{
    if (aicUid == static_cast<int>(geteuid()) || aicUid == 0) {
        return true;
    }
    for (uint32_t u : aicCfg.allowUids) {
        if (u != 0 && static_cast<int>(u) == aicUid) {
            return true;
        }
    }
    return aicCfg.allowGid >= 0 &&
           (aicGid == aicCfg.allowGid || unix_sock_pid_in_group(aicPid, aicCfg.allowGid) != 0);
}
tDMEDSMPrim* gipDSMPrim = nullptr;
tDMEPrim* gipDMEPrim = nullptr;
// Sending defaults per AID: set from any thread, taken into giServTxDefs by
// the server's start for its whole run (core thread).
tV2XTxDefault giTxDefs[V2X_TX_DEFAULTS_MAX];
int giTxDefCnt = 0;
std::mutex giTxDefMtx;
tV2XTxDefault giServTxDefs[V2X_TX_DEFAULTS_MAX];
int giServTxDefCnt = 0;
// Owner numbers of connections: counted up, never 0, never reused while
// the process runs (a descriptor number is, at once).
uint32_t giLastConnId = 0;

// Sends to clients; tests replace it to make short writes happen at will.
std::atomic<fDmnSend> gipDmnSend{::send};

uint16_t rd16(const char* p)
{
    uint16_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

uint32_t rd32(const char* p)
{
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

// The open connection with this owner number, or null. Called with the
// client list's lock held.
tClitNetCon* _find_conn(uint32_t aicConnId)
{
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &giContCltHd)
    {
        auto* c = reinterpret_cast<tClitNetCon*>(pos);
        if (c->connId == aicConnId) {
            return c;
        }
    }
    return nullptr;
}

void _drop_carry(tClitNetCon* c)
{
    free(c->rxCarry);
    c->rxCarry = nullptr;
    c->rxHdr.have = 0;
    c->rxNeed = 0;
    c->rxHeld = 0;
}

void _count_kinds()
{
    STAT_SET(appConnections, static_cast<uint64_t>(giAppCnt));
    STAT_SET(ctlConnections, static_cast<uint64_t>(giCtlCnt));
}

// Says what connection c is, once: an application's is counted accepted
// now, a control connection apart. A control hello after the connection was
// taken for an application's (silent past kDecideMs) still marks it; it
// stays counted in appAccepted then, as counters never go back.
void _set_kind(tClitNetCon* c, uint8_t aicKind)
{
    const uint8_t was = c->kind;
    if (was == aicKind || was == kConnCtl) {
        return;
    }
    {
        WriteLock lk(giContCltLk);
        c->kind = aicKind;
    }
    v2x_event_release(c->pDecideEt);
    if (aicKind == kConnApp) {
        STAT_ADD(appAccepted);
        return;
    }
    --giAppCnt;
    ++giCtlCnt;
    STAT_ADD(ctlAccepted);
    _count_kinds();
}

void _decide_cb(evutil_socket_t, short, void* aipArg)
{
    _set_kind(static_cast<tClitNetCon*>(aipArg), kConnApp);
}

// Closes one connection. With aicDropOwned, what it registered goes too (a
// stopping server leaves that to the layers' own exits). aicIdle: closed for
// holding an incomplete message too long, counted and logged by the caller.
void _close_conn(tClitNetCon* c, bool aicDropOwned = true, bool aicIdle = false)
{
    {
        WriteLock lk(giContCltLk);
        list_del_init(&c->hnode);
    }
    list_del_init(&c->waitNode);
    --giConnCnt;
    if (c->kind == kConnCtl) {
        --giCtlCnt;
    } else {
        // One that closed before it said anything was an application's.
        _set_kind(c, kConnApp);
        --giAppCnt;
    }
    _count_kinds();
    // What the application registered goes with it: no advertisements for a
    // provider nobody runs any more, no table entries nobody can remove.
    const int regs = aicDropOwned ? mib_dsm_serv_drop_owner(c->connId) : 0;
    const int provs = aicDropOwned ? dme_drop_owner(c->connId) : 0;
    if (regs > 0 || provs > 0) {
        LOGR("fd=%d closed, %d registrations and %d providers removed------\n", c->fd, regs, provs);
    }
    if (c->rxHdr.have > 0 && !aicIdle) {
        // A message cut by the end of the connection is never processed.
        STAT_ADD(appCutDropped);
        LOGE("fd=%d closed inside a message, %u bytes dropped err!!!!\n", c->fd,
             c->rxHdr.have + c->rxHeld);
    }
    _drop_carry(c);
    v2x_event_release(c->pClitEt);
    v2x_event_release(c->pTxEt);
    v2x_event_release(c->pIdleEt);
    v2x_event_release(c->pDecideEt);
    unix_sock_close(&c->fd);
    pthread_mutex_destroy(&c->txLk);
    free(c);
}

// Writes as much of the pending rest as the socket takes. Returns true when
// nothing is pending any more. Called with c->txLk held.
bool _flush_pending(tClitNetCon* c)
{
    while (c->txOff < c->txLen) {
        ssize_t n = gipDmnSend.load()(c->fd, c->txPend + c->txOff, c->txLen - c->txOff,
                                      MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            c->txOff += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return false;
        }
        // The peer is gone; its read event will close the connection.
        c->txOff = c->txLen = 0;
        return true;
    }
    c->txOff = c->txLen = 0;
    if (c->txDropCnt > 0) {
        LOGE("fd=%d writable again, %u messages dropped------\n", c->fd, c->txDropCnt);
        c->txDropCnt = 0;
    }
    return true;
}

void _tx_flush_cb(evutil_socket_t, short, void* aipArg)
{
    auto* c = static_cast<tClitNetCon*>(aipArg);
    MutexLock lk(c->txLk);
    if (!_flush_pending(c) && c->pTxEt != nullptr) {
        event_add(c->pTxEt, nullptr);
    }
}

// Sends one whole message to one client, or keeps its rest, or drops it
// whole. Called with the client list's read lock held.
void _tx_one(tClitNetCon* c, const char* aipcMsg, uint32_t aicLen)
{
    MutexLock lk(c->txLk);
    if (c->txLen > 0 && !_flush_pending(c)) {
        ++c->droppedStalled;
        STAT_ADD(appDroppedStalled);
        if (c->txDropCnt++ == 0) {
            LOGE("fd=%d busy, dropping whole messages!!!!\n", c->fd);
        }
        return;
    }
    ++c->msgsOut;
    c->bytesOut += aicLen;
    if (c->kind != kConnCtl) {
        // A control connection's answers are no application traffic.
        STAT_ADD(appMsgsOut);
        STAT_ADD_N(appBytesOut, aicLen);
    }
    ssize_t n = gipDmnSend.load()(c->fd, aipcMsg, aicLen, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
        n = (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    }
    if (n >= 0 && static_cast<uint32_t>(n) < aicLen) {
        uint32_t rest = aicLen - static_cast<uint32_t>(n);
        memcpy(c->txPend, aipcMsg + n, rest);
        c->txOff = 0;
        c->txLen = rest;
        if (c->pTxEt != nullptr) {
            event_add(c->pTxEt, nullptr);
        }
    }
}

// Length rule of each request type, checked as soon as its header is in:
// 0, or -ERR_V2X_RX_APP_FMT after the type's ERROR line.
int _check_header(tClitNetCon* c, uint32_t aicType, uint32_t aicLen)
{
    // The rules are the stream's own (core_app_frame.hpp), shared with the
    // clients' check before they send; only the lines are this server's.
    CoreAppHdr chk = core_app_req_hdr_check(aicType, aicLen);
    if (chk == CoreAppHdr::Ok && c->kind == kConnCtl && aicType != V2X_CTL_QUERY_REQ) {
        chk = CoreAppHdr::BadType;  // a control connection only asks
    }
    switch (chk) {
    case CoreAppHdr::Ok:
        return 0;
    case CoreAppHdr::BadType:
        ++c->refusedType;
        STAT_ADD(appRefusedType);
        LOGE("msgType(%d) err!!!!\n", static_cast<int>(aicType));
        return -ERR_V2X_RX_APP_FMT;
    case CoreAppHdr::BadLen:
        ++c->refusedLen;
        STAT_ADD(appRefusedLen);
        break;
    }
    if (aicType == V2X_DSM_REQ) {
        LOGE("V2X_DSM_REQ len(%d) err!!!!\n", static_cast<int>(aicLen));
    } else if (aicType == V2X_DSM_REQ_EX) {
        LOGE("V2X_DSM_REQ_EX len(%d) err!!!!\n", static_cast<int>(aicLen));
    } else if (aicType == V2X_DME_DSM_SERV_REQ) {
        LOGE("V2X_DME_DSM_SERV_REQ len(%d) err!!!!\n", static_cast<int>(aicLen));
    } else {
        LOGE("%d!=%d err!!!!\n", static_cast<int>(aicLen),
             static_cast<int>(core_app_req_fixed_len(aicType)));
    }
    return -ERR_V2X_RX_APP_FMT;
}

bool _is_dsm_req(uint32_t aicType)
{
    return aicType == V2X_DSM_REQ || aicType == V2X_DSM_REQ_EX;
}

// Bytes of a DSM request's payload that say how it is to be sent: the
// options, then the head up to its priority.
uint32_t _tx_class_len(uint32_t aicType)
{
    return core_app_dsm_rec_off(aicType) + static_cast<uint32_t>(offsetof(tDSMReq, priority)) + 1u;
}

// How a DSM request of connection c waits for the radio, from the first
// _tx_class_len() bytes of its payload. A request without options takes the
// defaults of its AID.
TxMeta _tx_meta(const tClitNetCon* c, uint32_t aicType, const char* aipcPld)
{
    const char* req = aipcPld + core_app_dsm_rec_off(aicType);
    TxMeta m = {c->connId, 0, 0, 0, 0, 0};
    if (aicType == V2X_DSM_REQ_EX) {
        m.lifetimeMs = rd32(aipcPld + offsetof(tDSMReqExPre, opt.lifetimeMs));
        m.supersede = aipcPld[offsetof(tDSMReqExPre, opt.supersede)] != 0 ? 1 : 0;
        memcpy(&m.callUs, aipcPld + offsetof(tDSMReqExPre, callUs), sizeof(m.callUs));
    }
    m.aid = rd32(req + offsetof(tDSMReq, appId));
    m.prio = TxScheduler::clamp_prio(static_cast<uint8_t>(req[offsetof(tDSMReq, priority)]));
    if (aicType == V2X_DSM_REQ) {
        for (int i = 0; i < giServTxDefCnt; ++i) {
            const tV2XTxDefault& d = giServTxDefs[i];
            if (d.aid == m.aid) {
                m.lifetimeMs = d.lifetimeMs;
                m.supersede = d.supersede != 0 ? 1 : 0;
                m.prio = m.prio != 0 ? m.prio : d.priority;
                break;
            }
        }
    }
    return m;
}

// The payload lies in the receive buffer and is valid during the call only.
int _process_dsm_request(tClitNetCon* c, uint32_t aicType, const char* aipcPld, uint32_t aicLen)
{
    if (PrimFetch why = prim_fetch(gipDSMPrim, get_dme_dsm_prim, &tDMEDSMPrim::request); why != PrimFetch::Ok) {
        return prim_fail(why, "get_dme_dsm_prim", "gipDSMPrim->request", -ERR_V2X_GET_DME_DSM_PRIM);
    }
    const TxMeta meta = _tx_meta(c, aicType, aipcPld);
    if (aicType == V2X_DSM_REQ_EX && !core_app_tx_opt_ok(aipcPld)) {
        LOGE("tDSMTxOpt.rsvd err, must be 0!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    const uint32_t off = core_app_dsm_rec_off(aicType);
    aipcPld += off;
    aicLen -= off;
    uint16_t dataLen = rd16(aipcPld + offsetof(tDSMReq, msgLen));
    if (!core_app_dsm_req_len_ok(aicLen, dataLen)) {
        LOGE("%d!=%d+%d err!!!!\n", static_cast<int>(aicLen), V2X_DSM_REQ_HEAD_LEN, dataLen);
        return -ERR_V2X_RX_APP_FMT;
    }
    // A refusal is logged by the layer that decides it. The radio link's
    // scheduler learns whose the datagram is and how it may wait.
    RlinkTxTagScope tag(meta);
    return gipDSMPrim->request(rd32(aipcPld + offsetof(tDSMReq, appId)),
                                 static_cast<uint8_t>(aipcPld[offsetof(tDSMReq, protTp)]),
                                 static_cast<uint8_t>(aipcPld[offsetof(tDSMReq, priority)]),
                                 dataLen, aipcPld + V2X_DSM_REQ_HEAD_LEN,
                                 aipcPld + offsetof(tDSMReq, peerMac),
                                 aipcPld + offsetof(tDSMReq, dsmHdrExts));
}

int _process_dme_prov_request(const char* aipcPld)
{
    if (PrimFetch why = prim_fetch(gipDMEPrim, get_dme_prim, &tDMEPrim::provReq); why != PrimFetch::Ok) {
        return prim_fail(why, "get_dme_prim", "gipDMEPrim->provReq", -ERR_V2X_GET_DME_PRIM);
    }
    uint32_t act = rd32(aipcPld + offsetof(tDMEProvServReq, dmeAct));
    eDMEAction action;
    memcpy(&action, &act, sizeof(action));
    return gipDMEPrim->provReq(rd16(aipcPld + offsetof(tDMEProvServReq, lclAppId)), action,
                                 rd32(aipcPld + offsetof(tDMEProvServReq, appId)),
                                 static_cast<uint8_t>(aipcPld[offsetof(tDMEProvServReq, rptRte)]),
                                 aipcPld + offsetof(tDMEProvServReq, dsaHdrExt),
                                 aipcPld + offsetof(tDMEProvServReq, otherInfo));
}

int _process_dme_user_request(const char* aipcPld)
{
    if (PrimFetch why = prim_fetch(gipDMEPrim, get_dme_prim, &tDMEPrim::userReq); why != PrimFetch::Ok) {
        return prim_fail(why, "get_dme_prim", "gipDMEPrim->userReq", -ERR_V2X_GET_DME_PRIM);
    }
    uint32_t act = rd32(aipcPld + offsetof(tDMEUserServReq, dmeAct));
    uint32_t tp = rd32(aipcPld + offsetof(tDMEUserServReq, dmeUsrReqTp));
    eDMEAction action;
    eDMEUsrReqTp reqTp;
    memcpy(&action, &act, sizeof(action));
    memcpy(&reqTp, &tp, sizeof(reqTp));
    return gipDMEPrim->userReq(rd16(aipcPld + offsetof(tDMEUserServReq, lclAppId)), action,
                                 reqTp, rd32(aipcPld + offsetof(tDMEUserServReq, appId)),
                                 aipcPld + offsetof(tDMEUserServReq, otherInfo));
}

void _answer_query(tClitNetCon* c, const char* aipcPld);

// Hands one request of connection c to its layer. Each layer logs its own
// refusals; here they are counted for the connection.
int _process_msg(tClitNetCon* c, uint32_t aicType, const char* aipcPld, uint32_t aicLen)
{
    int rc = 0;
    switch (aicType) {
    case V2X_DSM_REQ:
    case V2X_DSM_REQ_EX:
        rc = _process_dsm_request(c, aicType, aipcPld, aicLen);
        break;
    case V2X_DME_PROV_SERV_REQ:
        rc = _process_dme_prov_request(aipcPld);
        break;
    case V2X_DME_USER_SERV_REQ:
        rc = _process_dme_user_request(aipcPld);
        break;
    case V2X_DME_DSM_SERV_REQ: {
        tDMEDSMServReq req;
        memcpy(&req, aipcPld, sizeof(req));
        rc = mib_dsm_serv_update(c->connId, &req);
        if (rc != 0) {
            LOGE("mib_dsm_serv_info_updata() err!!!!\n");
        }
        // Answered to the asker, so that it knows whether its AID will come.
        tDMEDSMServCfm cfm;
        cfm.appId = req.appId;
        cfm.retCd = rc == 0 ? DME_RET_ACCEPT : DME_RET_REJ_VAL_ERR;
        if (rc == 0) {
            STAT_ADD(cfmAccepted);
        } else {
            STAT_ADD(cfmRefusedValue);
        }
        char msg[V2X_CORE_APP_HDR_LEN + sizeof(cfm)];
        const size_t len = core_app_put_msg(msg, V2X_DSM_CFM, reinterpret_cast<const char*>(&cfm),
                                            static_cast<uint16_t>(sizeof(cfm)));
        v2x_sdk_dmn_serv_tx_to_clit(c->connId, msg, static_cast<int>(len));
        break;
    }
    case V2X_CTL_QUERY_REQ:
        _answer_query(c, aipcPld);
        break;
    case V2X_CTL_HELLO: {
        tV2XCtlHello h;
        memcpy(&h, aipcPld, sizeof(h));
        // Only as the first message: a connection that has been served as
        // an application's does not turn into something else.
        if (c->msgsIn != 1 || h.version == 0 || h.rsvd != 0) {
            LOGE("fd=%d control hello (version %u) not first or malformed err!!!!\n", c->fd,
                 static_cast<unsigned>(h.version));
            rc = -ERR_V2X_PARM_CONT;
        } else {
            _set_kind(c, kConnCtl);
        }
        break;
    }
    default:
        break;  // refused by _check_header before we get here
    }
    if (rc == -ERR_V2X_RX_APP_FMT) {
        ++c->refusedLen;
        STAT_ADD(appRefusedLen);
    } else if (rc != 0 && rc != -ERR_V2X_SOCKET_SEND_TO && rc != -ERR_V2X_TX_FULL) {
        // A radio that failed the send is counted by the radio link.
        ++c->refusedValue;
        STAT_ADD(appRefusedValue);
    }
    return rc;
}

// Clears the bytes a read wrote into the shared receive buffer, so that it
// is empty and zero between reads.
void _clear_rx(buffer_t* rx, size_t aicLen)
{
    memset(rx->ptr, 0, aicLen);
    rx->used = 0;
}

// A header that breaks its type's rules loses the framing of the stream:
// what the connection has sent so far is dropped with it, and the next read
// starts afresh as if a header stood at its first byte.
void _drop_pending(tClitNetCon* c, buffer_t* rx)
{
    int pending = 0;
    if (ioctl(c->fd, FIONREAD, &pending) < 0) {
        pending = 0;
    }
    size_t dropped = 0;
    while (dropped < static_cast<size_t>(pending)) {
        size_t want = static_cast<size_t>(pending) - dropped;
        if (want > static_cast<size_t>(rx->size)) {
            want = static_cast<size_t>(rx->size);
        }
        ssize_t n = recv(c->fd, rx->ptr, want, MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        _clear_rx(rx, static_cast<size_t>(n));
        dropped += static_cast<size_t>(n);
    }
    if (dropped > 0) {
        LOGE("parse err, aicLen=%d, pseLen=%d!!!!\n", static_cast<int>(kHdr + dropped),
             static_cast<int>(kHdr));
    }
}

enum class RxStep { Done, Wait, Closed, Full };

// Allocates the carry for the payload under way, sized to it, and keeps the
// aicLen bytes of it already read. False when that fails: the connection is
// closed, as the message can no longer be read whole.
bool _start_carry(tClitNetCon* c, const char* aipcPart, uint32_t aicLen)
{
    c->rxCarry = static_cast<char*>(xzMalloc(static_cast<int>(c->rxNeed)));
    if (c->rxCarry == nullptr) {
        LOGE("xzMalloc() err!!!!\n");
        _close_conn(c);
        return false;
    }
    if (aicLen > 0) {
        memcpy(c->rxCarry, aipcPart, aicLen);
    }
    c->rxHeld = aicLen;
    return true;
}

// A receive on a client socket that found nothing, the end, or a failure.
RxStep _rx_fail(tClitNetCon* c, ssize_t aicGot)
{
    if (aicGot < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return RxStep::Wait;
    }
    if (aicGot == 0 || errno == ECONNRESET) {
        LOG0("Remote close------\n");
    } else {
        LOGE("read() err, msg:%s!!!!\n", strerror(errno));
    }
    _close_conn(c);
    return RxStep::Closed;
}

// Reads at most one message from the connection and processes it once it
// is complete. Done: one message handled (or refused); Wait: the socket has
// nothing more now; Closed: the connection is gone; Full: the next message
// is a DSM request and the transmit queue has no room for it, so it stays
// where it is (its header kept here, the rest in the socket).
RxStep _read_one(tClitNetCon* c)
{
    buffer_t* rx = gipRxBufer;
    if (rx == nullptr) {
        return RxStep::Wait;
    }
    if (!c->rxHdr.complete()) {
        ssize_t n = recv(c->fd, c->rxHdr.tail(), c->rxHdr.missing(), MSG_DONTWAIT);
        if (n <= 0) {
            return _rx_fail(c, n);
        }
        c->rxHdr.have += static_cast<uint32_t>(n);
        if (!c->rxHdr.complete()) {
            return RxStep::Wait;
        }
        const uint32_t type = c->rxHdr.type();
        const uint32_t len = c->rxHdr.len();
        if (_check_header(c, type, len) != 0) {
            c->rxHdr.have = 0;
            ++c->rxSeq;
            _drop_pending(c, rx);
            return RxStep::Done;
        }
        if (c->kind == kConnPending && type != V2X_CTL_HELLO) {
            _set_kind(c, kConnApp);
        }
        c->rxNeed = len;
    }
    const uint32_t type = c->rxHdr.type();
    const bool needsRoom = _is_dsm_req(type);
    if (c->rxCarry == nullptr && needsRoom) {
        // Only the queue of the request's own priority matters: a look at
        // the bytes that say which, left in the socket.
        char cls[V2X_DSM_REQ_EX_PRE_LEN + offsetof(tDSMReq, priority) + 1];
        const uint32_t clsLen = _tx_class_len(type);
        const ssize_t n = recv(c->fd, cls, clsLen, MSG_PEEK | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(clsLen)) {
            const uint8_t prio = _tx_meta(c, type, cls).prio;
            if (rlink_tx_room_prio(prio) == 0) {
                c->waitPrio = prio;
                return RxStep::Full;
            }
        }
    }
    const char* pld = nullptr;
    if (c->rxCarry != nullptr && c->rxHeld == c->rxNeed) {
        pld = c->rxCarry;  // complete already, held back for room
    } else if (c->rxCarry == nullptr && c->rxNeed <= static_cast<uint32_t>(rx->size)) {
        // The usual case: the whole payload is there, read in place.
        ssize_t n = recv(c->fd, rx->ptr, c->rxNeed, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return _rx_fail(c, n);
        }
        const uint32_t got = n > 0 ? static_cast<uint32_t>(n) : 0;
        if (got < c->rxNeed) {
            const bool kept = _start_carry(c, rx->ptr, got);
            _clear_rx(rx, got);
            return kept ? RxStep::Wait : RxStep::Closed;
        }
        pld = rx->ptr;
    } else {
        // Longer than the shared buffer: kept apart while it comes in.
        if (c->rxCarry == nullptr && !_start_carry(c, nullptr, 0)) {
            return RxStep::Closed;
        }
        ssize_t n = recv(c->fd, c->rxCarry + c->rxHeld, c->rxNeed - c->rxHeld, MSG_DONTWAIT);
        if (n <= 0) {
            return _rx_fail(c, n);
        }
        c->rxHeld += static_cast<uint32_t>(n);
        if (c->rxHeld < c->rxNeed) {
            return RxStep::Wait;
        }
        pld = c->rxCarry;
    }
    // Completed in a later read than its header, after its queue filled:
    // kept whole until there is room.
    if (needsRoom) {
        const uint8_t prio = _tx_meta(c, type, pld).prio;
        if (rlink_tx_room_prio(prio) == 0) {
            c->waitPrio = prio;
            if (pld == rx->ptr) {
                // The shared buffer is the next reader's: keep it apart.
                const bool kept = _start_carry(c, rx->ptr, c->rxNeed);
                _clear_rx(rx, c->rxNeed);
                return kept ? RxStep::Full : RxStep::Closed;
            }
            return RxStep::Full;
        }
    }
    // A request that fails is logged and answered by its handler; the
    // stream stays framed for the messages behind it.
    // The management entity keys what it keeps by the asking connection and
    // answers it alone.
    ++c->msgsIn;
    c->bytesIn += kHdr + c->rxNeed;
    if (c->kind != kConnCtl && type != V2X_CTL_HELLO) {
        // A control connection's hello and queries are no application
        // traffic.
        STAT_ADD(appMsgsIn);
        STAT_ADD_N(appBytesIn, kHdr + c->rxNeed);
    }
    dme_set_requester(c->connId);
    (void)_process_msg(c, type, pld, c->rxNeed);
    dme_set_requester(0);
    if (pld == rx->ptr) {
        _clear_rx(rx, c->rxNeed);
    }
    _drop_carry(c);
    ++c->rxSeq;
    return RxStep::Done;
}

// Holds reading back until the transmit queue has room: the requests stay
// in the socket, so the writer blocks instead of anything being dropped.
void _hold_back(tClitNetCon* c)
{
    // c->waitPrio was set where the full queue was found.
    if (list_empty(&c->waitNode)) {
        event_del(c->pClitEt);
        list_add_tail(&c->waitNode, &giWaitHd);
        STAT_ADD(txHeldBack);
    }
}

// Holds part of a message its peer has not finished writing. A message the
// core holds back for room in the transmit queue waits for the core, not for
// the peer.
bool _holds_partial(tClitNetCon* c)
{
    if (c->rxHdr.have == 0 || !list_empty(&c->waitNode)) {
        return false;
    }
    return c->rxCarry == nullptr || c->rxHeld < c->rxNeed;
}

// Starts the idle clock when a message is left incomplete, keeps it running
// while the same message stays so, and stops it once none is.
void _idle_watch(tClitNetCon* c)
{
    if (!_holds_partial(c)) {
        if (c->idleArmed) {
            event_del(c->pIdleEt);
            c->idleArmed = false;
        }
        return;
    }
    if (c->idleArmed && c->idleSeq == c->rxSeq) {
        return;
    }
    const int ms = giIdleMs.load(std::memory_order_relaxed);
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    evtimer_add(c->pIdleEt, &tv);
    c->idleArmed = true;
    c->idleSeq = c->rxSeq;
}

// One connection held an incomplete message for the whole timeout: it
// holds a place and memory that whole messages would use, so it goes.
void _idle_cb(evutil_socket_t, short, void* aipArg)
{
    auto* c = static_cast<tClitNetCon*>(aipArg);
    c->idleArmed = false;
    if (!_holds_partial(c)) {
        return;
    }
    STAT_ADD(appIdleClosed);
    const long long now = v2x_mono_ms();
    const int ms = giIdleMs.load(std::memory_order_relaxed);
    if (now - giIdleLastMs > ms) {
        LOGE("fd=%d uid=%d pid=%d held an incomplete message (%u bytes) for %d ms, closed; "
             "more such closes are counted in appIdleClosed err!!!!\n",
             c->fd, static_cast<int>(c->uid), static_cast<int>(c->pid),
             c->rxHdr.have + c->rxHeld, ms);
    }
    giIdleLastMs = now;
    _close_conn(c, true, true);
}

// One turn of a connection: a bounded number of requests. A DSM request
// is read only while the transmit queue has room for its datagram; other
// requests never wait for the radio.
void _serve(tClitNetCon* c)
{
    for (int i = 0; i < kReqsPerTurn; ++i) {
        const RxStep st = _read_one(c);
        if (st == RxStep::Closed) {
            return;
        }
        if (st == RxStep::Full) {
            _hold_back(c);
        }
        if (st != RxStep::Done) {
            break;
        }
    }
    _idle_watch(c);
}

tClitNetCon* _waiter(struct list_head* aipNode)
{
    return reinterpret_cast<tClitNetCon*>(reinterpret_cast<char*>(aipNode) -
                                          offsetof(tClitNetCon, waitNode));
}

// A place came free: of the connections held back for a queue that has room
// now, the one with the fewest requests in that queue goes first (the one
// held longest among equals), so that connections of one priority share its
// places and not only its turns. Each turn takes a place or ends a wait, so
// the loop ends.
void _resume_cb(evutil_socket_t, short, void*)
{
    for (;;) {
        tClitNetCon* best = nullptr;
        int bestHeld = 0;
        struct list_head* pos;
        for (pos = giWaitHd.next; pos != &giWaitHd; pos = pos->next) {
            tClitNetCon* c = _waiter(pos);
            if (rlink_tx_room_prio(c->waitPrio) == 0) {
                continue;
            }
            const int held = rlink_tx_queued_by(c->connId, c->waitPrio);
            if (best == nullptr || held < bestHeld) {
                best = c;
                bestHeld = held;
            }
        }
        if (best == nullptr) {
            return;
        }
        list_del_init(&best->waitNode);
        event_add(best->pClitEt, nullptr);
        _serve(best);
    }
}

void _clit_read_cb(evutil_socket_t, short, void* aipArg)
{
    auto* c = static_cast<tClitNetCon*>(aipArg);
    if (c == nullptr) {
        LOGE("aipArg err!!!!\n");
        return;
    }
    int toRead = 0;
    if (ioctl(c->fd, FIONREAD, &toRead) < 0) {
        LOGE("Rx ioctl err, msg:%s\n", strerror(errno));
        if (errno == EINTR || errno == EAGAIN) {
            return;
        }
        LOG0("Close remote socket, quit------\n");
        _close_conn(c);
        return;
    }
    if (toRead == 0) {
        // Readable with nothing to read: the peer has closed, which is no
        // error of anybody's.
        LOGR("fd=%d closed by its peer------\n", c->fd);
        _close_conn(c);
        return;
    }
    _serve(c);
}

// Writes the greeting on a fresh connection, whose empty socket takes it
// whole at once; false (after a line) when it does not.
bool _greet(int aicFd, uint32_t aicStatus, uint32_t aicConnId, int aicCap, int aicShare,
            int aicHeld)
{
    tV2XCtlGreeting g;
    g.version = V2X_CTL_VERSION;
    g.status = aicStatus;
    g.connId = aicConnId;
    g.maxClients = static_cast<uint32_t>(aicCap);
    g.userShare = static_cast<uint32_t>(aicShare);
    g.held = static_cast<uint32_t>(aicHeld);
    char msg[kHdr + sizeof(g)];
    core_app_put_msg(msg, V2X_CTL_GREETING, reinterpret_cast<const char*>(&g),
                     static_cast<uint16_t>(sizeof(g)));
    const ssize_t n = send(aicFd, msg, sizeof(msg), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(sizeof(msg))) {
        LOGE("fd=%d greeting not sent, msg=%s err!!!!\n", aicFd,
             n < 0 ? strerror(errno) : "short write");
        return false;
    }
    return true;
}

// Tells a connection why it is not served, and closes it.
void _refuse(int aicFd, uint32_t aicWhy, int aicCap, int aicShare, int aicHeld)
{
    (void)_greet(aicFd, aicWhy, 0, aicCap, aicShare, aicHeld);
    close(aicFd);
}

// Connections open of the peer user aicUid, of whatever kind.
int _user_conns(int aicUid)
{
    int n = 0;
    ReadLock lk(giContCltLk);
    struct list_head *pos, *nx;
    list_for_each_safe(pos, nx, &giContCltHd)
    {
        n += reinterpret_cast<tClitNetCon*>(pos)->uid == aicUid ? 1 : 0;
    }
    return n;
}

void _accept_rest_cb(evutil_socket_t, short, void*)
{
    if (gipTcpServEt != nullptr) {
        event_add(gipTcpServEt, nullptr);
    }
}

void _accept_cb(evutil_socket_t aicFd, short, void* aipArg)
{
    auto* base = static_cast<struct event_base*>(aipArg);
    if (base == nullptr) {
        LOGE("aipArg err!!!!\n");
        return;
    }
    // Non-blocking, and closed on exec: a program the application starts
    // must not keep the connection open after the application has closed it.
    int fd = unix_sock_accept(aicFd, 1);
    if (fd < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED) {
            return;
        }
        STAT_ADD(appAcceptErrs);
        if (!giAcceptStall) {
            LOGE("accept() err, msg=%s!!!!!!\n", strerror(err));
        }
        if ((err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) &&
            gipAcceptEt != nullptr) {
            // The waiting connection stays readable: without a rest the
            // loop would call us again at once, for as long as it lasts.
            if (!giAcceptStall) {
                LOGE("accepting paused for %d ms------\n", kAcceptRestMs);
            }
            giAcceptStall = true;
            event_del(gipTcpServEt);
            struct timeval tv = {0, kAcceptRestMs * 1000};
            evtimer_add(gipAcceptEt, &tv);
        }
        return;
    }
    if (giAcceptStall) {
        LOGE("accept() works again------\n");
        giAcceptStall = false;
    }
    int uid = -1, gid = -1, pid = -1;
    if (unix_sock_peer(fd, &uid, &gid, &pid) != 0 || !_peer_allowed(giServAccess, uid, gid, pid)) {
        // Served only to whom the access settings allow: nothing is read
        // from it and nothing is sent to it.
        STAT_ADD(appRefusedPeer);
        LOGE("peer uid=%d pid=%d refused err!!!!\n", uid, pid);
        close(fd);
        return;
    }
    const int cap = giConnMax.load(std::memory_order_relaxed);
    const int share = core_app_user_share(cap);
    if (giConnCnt >= cap) {
        STAT_ADD(appRefusedCap);
        if (!giConnCapSaid) {
            LOGE("clients(%d) at most, connection refused err!!!!\n", giConnCnt);
            giConnCapSaid = true;
        }
        _refuse(fd, V2X_CTL_REFUSED_CAP, cap, share, giConnCnt);
        return;
    }
    const int mine = _user_conns(uid);
    if (mine >= share) {
        STAT_ADD(appRefusedShare);
        if (!giConnShareSaid) {
            LOGE("uid %d holds %d connections, its share of the %d, connection refused err!!!!\n",
                 uid, mine, cap);
            giConnShareSaid = true;
        }
        _refuse(fd, V2X_CTL_REFUSED_SHARE, cap, share, mine);
        return;
    }
    giConnCapSaid = false;
    giConnShareSaid = false;
    auto* c = static_cast<tClitNetCon*>(xzMalloc(sizeof(tClitNetCon)));
    if (c == nullptr) {
        LOGE("xzMalloc() err!!!!\n");
        close(fd);
        return;
    }
    // Counted as accepted once it is known whose it is (_set_kind).
    ++giConnCnt;
    ++giAppCnt;
    _count_kinds();
    if (++giLastConnId == 0) {
        giLastConnId = 1;
    }
    c->connId = giLastConnId;
    c->kind = kConnPending;
    c->pid = pid;
    c->uid = uid;
    INIT_LIST_HEAD(&c->hnode);
    INIT_LIST_HEAD(&c->waitNode);
    pthread_mutex_init(&c->txLk, nullptr);
    c->fd = fd;
    int on = 1;
    struct linger lg = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    // Small, like the clients' send buffers: requests the core cannot take
    // yet wait with their writer rather than pile up here.
    int rcv = V2X_CORE_APP_SOCK_BUF;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof(rcv));
    c->pClitEt = event_new(base, fd, EV_READ | EV_PERSIST, _clit_read_cb, c);
    c->pTxEt = event_new(base, fd, EV_WRITE, _tx_flush_cb, c);
    c->pIdleEt = evtimer_new(base, _idle_cb, c);
    c->pDecideEt = evtimer_new(base, _decide_cb, c);
    if (c->pClitEt == nullptr || c->pTxEt == nullptr || c->pIdleEt == nullptr ||
        c->pDecideEt == nullptr) {
        LOGE("event_new() err!!!!\n");
        _close_conn(c);
        return;
    }
    // The greeting is the first thing on the stream: the client waits for
    // it before it counts itself connected.
    if (!_greet(fd, V2X_CTL_WELCOME, c->connId, cap, share, 0)) {
        _close_conn(c);
        return;
    }
    event_add(c->pClitEt, nullptr);
    struct timeval tv = {0, kDecideMs * 1000};
    evtimer_add(c->pDecideEt, &tv);
    WriteLock lk(giContCltLk);
    list_add_tail(&c->hnode, &giContCltHd);
}

// The answer to a query is built here; core thread only.
char giCtlBuf[V2X_CORE_APP_BUF_LEN];

// The record of one connection as a query shows it. Core thread, with the
// client list's lock held.
void _client_rec(tClitNetCon* c, tV2XCtlClient* aopRec)
{
    tV2XCtlClient r;
    memset(&r, 0, sizeof(r));
    r.connId = c->connId;
    r.pid = c->pid;
    r.uid = c->uid;
    r.heldBack = list_empty(&c->waitNode) ? 0 : 1;
    r.msgsIn = c->msgsIn;
    r.bytesIn = c->bytesIn;
    r.refusedLen = c->refusedLen;
    r.refusedType = c->refusedType;
    r.refusedValue = c->refusedValue;
    {
        MutexLock tx(c->txLk);
        r.msgsOut = c->msgsOut;
        r.bytesOut = c->bytesOut;
        r.droppedStalled = c->droppedStalled;
        r.pendingBytes = c->txLen - c->txOff;
    }
    r.txSent = c->txSent;
    r.txQueued = static_cast<uint64_t>(rlink_tx_queued_by(c->connId, -1));
    r.txExpired = c->txExpired;
    r.txSuperseded = c->txSuperseded;
    memcpy(aopRec, &r, sizeof(r));
}

// Fills the application connections' records from aicFirst on: how many
// fit. Control connections are not listed.
uint32_t _list_clients(tV2XCtlClient* aopRecs, uint32_t aicFirst, uint32_t aicMax,
                       uint32_t* aopTotal)
{
    uint32_t i = 0, n = 0;
    ReadLock lk(giContCltLk);
    struct list_head *pos, *nx;
    list_for_each_safe(pos, nx, &giContCltHd)
    {
        auto* c = reinterpret_cast<tClitNetCon*>(pos);
        if (c->kind == kConnCtl) {
            continue;
        }
        if (i++ < aicFirst || n == aicMax) {
            continue;
        }
        _client_rec(c, &aopRecs[n++]);
    }
    *aopTotal = i;
    return n;
}

constexpr size_t kClientSumFrom = offsetof(tV2XCtlClient, msgsIn);
static_assert((sizeof(tV2XCtlClient) - kClientSumFrom) % sizeof(uint64_t) == 0,
              "tV2XCtlClient holds only 64-bit fields from msgsIn on");

// The asker's own process: its other application connections summed into
// one record (the asker is the short connection that asks; control
// connections are not summed). The kernel's word on the peer decides whose
// they are, not anything the asker says. 1, or 0 when the process has no
// other application connection.
uint32_t _self_clients(const tClitNetCon* aicAsker, tV2XCtlClient* aopRec)
{
    tV2XCtlClient sum;
    memset(&sum, 0, sizeof(sum));
    uint32_t n = 0;
    ReadLock lk(giContCltLk);
    struct list_head *pos, *nx;
    list_for_each_safe(pos, nx, &giContCltHd)
    {
        auto* c = reinterpret_cast<tClitNetCon*>(pos);
        if (c == aicAsker || c->kind == kConnCtl || c->pid < 0 || c->pid != aicAsker->pid) {
            continue;
        }
        tV2XCtlClient r;
        _client_rec(c, &r);
        if (n++ == 0) {
            sum = r;
            continue;
        }
        sum.heldBack |= r.heldBack;
        // From msgsIn on every field is a 64-bit count or gauge: summed.
        for (size_t off = kClientSumFrom; off < sizeof(sum); off += sizeof(uint64_t)) {
            uint64_t a, b;
            memcpy(&a, reinterpret_cast<const char*>(&sum) + off, sizeof(a));
            memcpy(&b, reinterpret_cast<const char*>(&r) + off, sizeof(b));
            a += b;
            memcpy(reinterpret_cast<char*>(&sum) + off, &a, sizeof(a));
        }
    }
    if (n > 0) {
        memcpy(aopRec, &sum, sizeof(sum));
    }
    return n > 0 ? 1 : 0;
}

// Answers one query to the asking connection alone. A list longer than one
// message is read in parts: the asker asks again from first + count.
void _answer_query(tClitNetCon* c, const char* aipcPld)
{
    tV2XCtlReq req;
    memcpy(&req, aipcPld, sizeof(req));
    tV2XCtlRsp rsp;
    memset(&rsp, 0, sizeof(rsp));
    rsp.what = req.what;
    rsp.version = V2X_CTL_VERSION;
    rsp.first = req.first;
    char* recs = giCtlBuf + kHdr + sizeof(rsp);
    const uint32_t room = static_cast<uint32_t>(sizeof(giCtlBuf) - kHdr - sizeof(rsp));
    if (req.version == 0) {
        rsp.status = V2X_CTL_BAD_VERSION;
    } else if (req.what == V2X_CTL_STATS) {
        tV2XCoreStats st;
        st.size = sizeof(st);
        v2x_core_stats(&st);
        memcpy(recs, &st, sizeof(st));
        rsp.recSize = sizeof(st);
        rsp.first = 0;
        rsp.count = rsp.total = 1;
    } else if (req.what == V2X_CTL_AIDS) {
        rsp.recSize = sizeof(tV2XCtlAid);
        rsp.count = mib_dsm_serv_list(reinterpret_cast<tV2XCtlAid*>(recs), req.first,
                                      room / rsp.recSize, &rsp.total);
    } else if (req.what == V2X_CTL_PROVIDERS) {
        rsp.recSize = sizeof(tV2XCtlProvider);
        rsp.count = dme_provider_list(reinterpret_cast<tV2XCtlProvider*>(recs), req.first,
                                      room / rsp.recSize, &rsp.total);
    } else if (req.what == V2X_CTL_CLIENTS) {
        rsp.recSize = sizeof(tV2XCtlClient);
        rsp.count = _list_clients(reinterpret_cast<tV2XCtlClient*>(recs), req.first,
                                  room / rsp.recSize, &rsp.total);
    } else if (req.what == V2X_CTL_SELF) {
        rsp.recSize = sizeof(tV2XCtlClient);
        rsp.first = 0;
        rsp.count = rsp.total = _self_clients(c, reinterpret_cast<tV2XCtlClient*>(recs));
    } else {
        rsp.status = V2X_CTL_BAD_WHAT;
    }
    memcpy(giCtlBuf + kHdr, &rsp, sizeof(rsp));
    const uint32_t pld = static_cast<uint32_t>(sizeof(rsp)) + rsp.count * rsp.recSize;
    core_app_hdr_put(giCtlBuf, V2X_CTL_QUERY_RSP, static_cast<uint16_t>(pld));
    ReadLock lk(giContCltLk);
    _tx_one(c, giCtlBuf, kHdr + pld);
}

int _dmn_server_init(const char* aipcName, struct event_base* aipBase)
{
    // The directory is made private when missing and refused when another
    // user could put a socket of their own at the path.
    {
        std::lock_guard<std::mutex> lk(giAccessMtx);
        giServAccess = giAccessCfg;
    }
    {
        std::lock_guard<std::mutex> lk(giTxDefMtx);
        memcpy(giServTxDefs, giTxDefs, sizeof(giTxDefs));
        giServTxDefCnt = giTxDefCnt;
    }
    const tV2XAccessCfg& acc = giServAccess;
    if (unix_sock_dir_check(aipcName, UNIX_SOCK_PATH_MAX, 0750, acc.allowGid >= 0) ==
        UNIX_SOCK_FAIL_DIR) {
        const int err = errno;
        LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName,
             err == EPERM ? "its directory is not this user's own" : strerror(err));
        return -ERR_V2X_SOCKET_BIND;
    }
    // A path of 108 bytes or more is refused, never cut. A socket file left
    // by an earlier run is removed; one that a live server answers on is not
    // taken over, and other kinds of file are left alone.
    const int fd = unix_sock_listen(aipcName, UNIX_SOCK_PATH_MAX, 2);
    const int err = errno;
    switch (fd) {
    case UNIX_SOCK_FAIL_SOCKET:
        LOGE("socket() err, msg=%s!!!!!!\n", strerror(err));
        return -ERR_V2X_SOCKET_OPEN;
    case UNIX_SOCK_FAIL_PATH:
        if (err == ENAMETOOLONG) {
            LOGE("bind() %.*s err, msg=%s!!!!!!\n", UNIX_SOCK_PATH_MAX, aipcName,
                 "path of 108 bytes or more");
        } else {
            LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName, strerror(err));
        }
        return -ERR_V2X_SOCKET_BIND;
    case UNIX_SOCK_FAIL_LIVE:
        LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName, "a server already listens there");
        return -ERR_V2X_SOCKET_BIND;
    case UNIX_SOCK_FAIL_BIND:
        LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName, strerror(err));
        return -ERR_V2X_SOCKET_BIND;
    case UNIX_SOCK_FAIL_LISTEN:
        LOGE("listen() err, msg=%s!!!!!!\n", strerror(err));
        return -ERR_V2X_SOCKET_LISTEN;
    default:
        break;
    }
    giServTcpFd = fd;
    (void)unix_sock_own(aipcName, UNIX_SOCK_PATH_MAX, &giServOwn);
    // Its own mode whatever the umask, and the allowed group's.
    if (chmod(aipcName, static_cast<mode_t>(acc.sockMode)) != 0 ||
        (acc.allowGid >= 0 && chown(aipcName, static_cast<uid_t>(-1), static_cast<gid_t>(acc.allowGid)) != 0)) {
        LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName, strerror(errno));
        return -ERR_V2X_SOCKET_BIND;
    }
    signal(SIGPIPE, SIG_IGN);
    gipTcpServEt = event_new(aipBase, giServTcpFd, EV_READ | EV_PERSIST, _accept_cb, aipBase);
    gipAcceptEt = evtimer_new(aipBase, _accept_rest_cb, nullptr);
    gipResumeEt = event_new(aipBase, -1, 0, _resume_cb, nullptr);
    if (gipTcpServEt == nullptr || gipAcceptEt == nullptr || gipResumeEt == nullptr) {
        LOGE("event_new() err!!!!\n");
        return -ERR_V2X_EVENT_NEW;
    }
    event_add(gipTcpServEt, nullptr);
    return 0;
}

}  // namespace

extern "C" {
V2X_API buffer_t* gipRxBufer = nullptr;
}

void dmn_serv_set_send_fn(fDmnSend aipSend)
{
    gipDmnSend.store(aipSend != nullptr ? aipSend : ::send);
}

extern "C" V2X_API int v2x_sdk_dmn_serv_init(const char* aipcDmnNme,
                                             const struct event_base* aipcEtBse)
{
    if (aipcDmnNme == nullptr || aipcEtBse == nullptr) {
        LOGE("_dmn_server_init() err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    // A second init without an exit would leak the first socket, its events
    // and the receive buffer.
    v2x_sdk_dmn_serv_exit();
    // The published signature takes the base as const; the server's events
    // are registered in it, so the cast is forced there.
    int rc = _dmn_server_init(aipcDmnNme, const_cast<struct event_base*>(aipcEtBse));
    if (rc != 0) {
        LOGE("_dmn_server_init() err!!!!\n");
        v2x_sdk_dmn_serv_exit();
        return rc;
    }
    gipRxBufer = buffer_init(kRxBufLen);
    if (gipRxBufer == nullptr) {
        LOGE("buffer_init() err!!!!\n");
        v2x_sdk_dmn_serv_exit();
        return -ERR_V2X_CALLOC;
    }
    return 0;
}

extern "C" V2X_API int v2x_sdk_dmn_serv_exit(void)
{
    v2x_event_release(gipTcpServEt);
    v2x_event_release(gipAcceptEt);
    v2x_event_release(gipResumeEt);
    giAcceptStall = false;
    giConnCapSaid = false;
    giConnShareSaid = false;
    giIdleLastMs = -(1LL << 40);
    // No new application finds the path once the core is gone; a file
    // someone else put there meanwhile stays.
    (void)unix_sock_unown(&giServOwn);
    unix_sock_close(&giServTcpFd);
    for (;;) {
        tClitNetCon* c = nullptr;
        {
            ReadLock lk(giContCltLk);
            if (!list_empty(&giContCltHd)) {
                c = reinterpret_cast<tClitNetCon*>(giContCltHd.next);
            }
        }
        if (c == nullptr) {
            break;
        }
        _close_conn(c, false);
    }
    if (gipRxBufer != nullptr) {
        buffer_free(gipRxBufer);
        gipRxBufer = nullptr;
    }
    return 0;
}

void dmn_serv_set_idle_ms(int aicMs)
{
    giIdleMs.store(aicMs > 0 ? aicMs : V2X_DMN_SERV_IDLE_MS_DEF);
}

void dmn_serv_tx_room(void)
{
    if (gipResumeEt != nullptr) {
        event_active(gipResumeEt, EV_TIMEOUT, 1);
    }
}

void dmn_serv_tx_news(uint32_t aicConnId, eRlinkTxNews aicNews)
{
    if (aicConnId == 0 || aicNews == RLINK_TX_AT_EXIT) {
        return;  // the core's own; at exit the connections are gone already
    }
    ReadLock lk(giContCltLk);
    tClitNetCon* c = _find_conn(aicConnId);
    if (c == nullptr) {
        // A connection that closed with requests waiting: they still go
        // out, and nobody is left to count them for.
        return;
    }
    // Counted on the core thread, where the queries read them.
    if (aicNews == RLINK_TX_SENT) {
        ++c->txSent;
    } else if (aicNews == RLINK_TX_EXPIRED) {
        ++c->txExpired;
    } else if (aicNews == RLINK_TX_SUPERSEDED) {
        ++c->txSuperseded;
    }
}

extern "C" V2X_API int v2x_sdk_dmn_serv_set_tx_defaults(const tV2XTxDefault* aipcDefs, int aicCnt)
{
    if (aicCnt < 0 || aicCnt > V2X_TX_DEFAULTS_MAX || (aicCnt > 0 && aipcDefs == nullptr)) {
        LOGE("aicCnt(%d) err!!!!\n", aicCnt);
        return -ERR_V2X_PARM_CONT;
    }
    tV2XTxDefault defs[V2X_TX_DEFAULTS_MAX];
    for (int i = 0; i < aicCnt; ++i) {
        memcpy(&defs[i], &aipcDefs[i], sizeof(defs[i]));
        const tV2XTxDefault& d = defs[i];
        bool twice = false;
        for (int k = 0; k < i; ++k) {
            twice = twice || defs[k].aid == d.aid;
        }
        if (d.aid > V2X_LIM_AID_MAX || d.priority > TxScheduler::kPrioMax || d.rsvd[0] != 0 ||
            d.rsvd[1] != 0 || twice) {
            LOGE("tx default %d (aid %u priority %u) err!!!!\n", i, static_cast<unsigned>(d.aid),
                 static_cast<unsigned>(d.priority));
            return -ERR_V2X_PARM_CONT;
        }
    }
    std::lock_guard<std::mutex> lk(giTxDefMtx);
    if (aicCnt > 0) {
        memcpy(giTxDefs, defs, sizeof(defs[0]) * static_cast<size_t>(aicCnt));
    }
    giTxDefCnt = aicCnt;
    return V2X_SUCCESS;
}

void dmn_serv_stats(tDmnServStats* aopStats)
{
    if (aopStats == nullptr) {
        return;
    }
    aopStats->capRefused = STAT_GET(appRefusedCap);
    aopStats->acceptFails = STAT_GET(appAcceptErrs);
    aopStats->heldBack = STAT_GET(txHeldBack);
    aopStats->cutDropped = STAT_GET(appCutDropped);
    aopStats->peerRefused = STAT_GET(appRefusedPeer);
}

extern "C" V2X_API int v2x_sdk_dmn_serv_set_access(const tV2XAccessCfg* aipcAccess)
{
    tV2XAccessCfg cfg = kAccessDef;
    if (aipcAccess != nullptr) {
        memcpy(&cfg, aipcAccess, sizeof(cfg));
        if (cfg.sockMode == 0) {
            cfg.sockMode = V2X_SOCK_MODE_DEF;
        }
    }
    if ((cfg.sockMode & ~0777u) != 0 || (cfg.sockMode & 0002u) != 0 || cfg.allowGid < -1) {
        // Writable by others would let anyone connect.
        LOGE("sockMode(%o) allowGid(%d) err!!!!\n", cfg.sockMode, cfg.allowGid);
        return -ERR_V2X_PARM_CONT;
    }
    std::lock_guard<std::mutex> lk(giAccessMtx);
    giAccessCfg = cfg;
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_sdk_dmn_serv_set_max_clit(int aicMax)
{
    if (aicMax < 1) {
        LOGE("aicMax(%d) err!!!!\n", aicMax);
        return -ERR_V2X_PARM_CONT;
    }
    giConnMax.store(aicMax);
    return V2X_SUCCESS;
}

int v2x_sdk_dmn_serv_tx_to_clit(uint32_t aicConn, const char* aipcMsg, const int aicMsgLen)
{
    if (aicConn == 0) {
        return v2x_sdk_dmn_serv_tx_clit_msg(aipcMsg, aicMsgLen);
    }
    if (aipcMsg == nullptr || aicMsgLen <= 0 || aicMsgLen > static_cast<int>(V2X_CORE_APP_BUF_LEN)) {
        LOGE("aicMsgLen(%d) err!!!!\n", aicMsgLen);
        return -ERR_V2X_SEND_LEN;
    }
    ReadLock lk(giContCltLk);
    if (tClitNetCon* c = _find_conn(aicConn)) {
        _tx_one(c, aipcMsg, static_cast<uint32_t>(aicMsgLen));
    }
    return 0;
}

extern "C" V2X_API int v2x_sdk_dmn_serv_tx_clit_msg(const char* aipcMsg, const int aicMsgLen)
{
    if (aipcMsg == nullptr || aicMsgLen <= 0) {
        return 0;
    }
    if (aicMsgLen > static_cast<int>(V2X_CORE_APP_BUF_LEN)) {
        // Larger than any message the core builds; a rest that size could
        // not be kept, so it is refused whole.
        LOGE("aicMsgLen(%d) err!!!!\n", aicMsgLen);
        return -ERR_V2X_SEND_LEN;
    }
    ReadLock lk(giContCltLk);
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &giContCltHd)
    {
        auto* c = reinterpret_cast<tClitNetCon*>(pos);
        if (c->kind != kConnCtl) {
            _tx_one(c, aipcMsg, static_cast<uint32_t>(aicMsgLen));
        }
    }
    return 0;
}
