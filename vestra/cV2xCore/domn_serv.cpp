// SPDX-License-Identifier: Apache-2.0
// The daemon server: the core's Unix-domain socket for applications. It
// owns its parts' state (dmn_server.hpp): the listener admits connections
// (dmn_listener.cpp), each connection reads and writes its own stream
// (dmn_conn.cpp), the dispatcher decodes and hands over requests
// (dmn_dispatch.cpp), the control part answers queries (dmn_ctl.cpp). Here:
// the client list, each connection's turn and close, the connections held
// back for room in the transmit queue, and the calls the core makes. Every
// callback runs on the core thread; the broadcast may be called from any
// thread and takes only the client list's read lock and a client's own send
// lock.
#include "domn_serv.hpp"

#include <errno.h>
#include <event2/event.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>

#include "core_mib.h"
#include "core_stats.hpp"
#include "dme.h"
#include "dmn_server.hpp"
#include "rx_info.hpp"
#include "rlink.hpp"
#include "sec_lyr.hpp"
#include "self_log.h"
#include "v2x_evthread.hpp"
#include "v2x_lock.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

LIST_HEAD(giContCltHd);
// Initialised statically and never destroyed, so a second shutdown (after a
// failed start the core runs it again) always finds a valid lock.
pthread_rwlock_t giContCltLk = PTHREAD_RWLOCK_INITIALIZER;

extern "C" {
V2X_API buffer_t* gipRxBufer = nullptr;
}

namespace {

constexpr int kRxBufLen = static_cast<int>(V2X_LIM_DMN_RX_BUF);
// Requests one connection may have handled per turn before the others get
// theirs: a flooding client cannot starve a quiet one.
constexpr int kReqsPerTurn = 4;

// Holds reading back until the transmit queue has room: the requests stay
// in the socket, so the writer blocks instead of anything being dropped.
void _hold_back(tClitNetCon* c)
{
    // c->waitPrio was set where the full queue was found.
    if (list_empty(&c->waitNode)) {
        event_del(c->pClitEt);
        list_add_tail(&c->waitNode, &dmn_server().waitHd);
        STAT_ADD(txHeldBack);
    }
}

// One turn of a connection: a bounded number of requests. A DSM request
// is read only while the transmit queue has room for its datagram; other
// requests never wait for the radio.
void _serve(tClitNetCon* c)
{
    for (int i = 0; i < kReqsPerTurn; ++i) {
        const RxStep st = dmn_conn_read_one(c);
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
    dmn_conn_idle_watch(c);
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
    struct list_head* hd = &dmn_server().waitHd;
    for (;;) {
        tClitNetCon* best = nullptr;
        int bestHeld = 0;
        for (struct list_head* pos = hd->next; pos != hd; pos = pos->next) {
            tClitNetCon* c = _waiter(pos);
            if (sec_lyr_tx_room_prio(c->waitPrio) == 0) {
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

}  // namespace

tClitNetCon* dmn_find_conn(uint32_t aicConnId)
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

void dmn_count_kinds()
{
    const DmnListener& l = dmn_server().listener;
    STAT_SET(appConnections, static_cast<uint64_t>(l.appCnt));
    STAT_SET(ctlConnections, static_cast<uint64_t>(l.ctlCnt));
}

// An application's connection is counted accepted once it is known, a
// control connection apart. A control hello after the connection was taken
// for an application's (silent past kDmnDecideMs) still marks it; it stays
// counted in appAccepted then, as counters never go back.
void dmn_set_kind(tClitNetCon* c, uint8_t aicKind)
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
    DmnListener& l = dmn_server().listener;
    --l.appCnt;
    ++l.ctlCnt;
    STAT_ADD(ctlAccepted);
    dmn_count_kinds();
}

void dmn_decide_cb(evutil_socket_t, short, void* aipArg)
{
    dmn_set_kind(static_cast<tClitNetCon*>(aipArg), kConnApp);
}

void dmn_close_conn(tClitNetCon* c, bool aicDropOwned, bool aicIdle)
{
    {
        WriteLock lk(giContCltLk);
        list_del_init(&c->hnode);
    }
    list_del_init(&c->waitNode);
    DmnListener& l = dmn_server().listener;
    --l.connCnt;
    if (c->kind == kConnCtl) {
        --l.ctlCnt;
    } else {
        // One that closed before it said anything was an application's.
        dmn_set_kind(c, kConnApp);
        --l.appCnt;
    }
    dmn_count_kinds();
    dmn_set_rx_info(c, false);
    // What the application registered goes with it: no advertisements for a
    // provider nobody runs any more, no table entries nobody can remove.
    const int regs = aicDropOwned ? mib_dsm_serv_drop_owner(c->connId) : 0;
    const int provs = aicDropOwned ? dme_drop_owner(c->connId) : 0;
    if (regs > 0 || provs > 0) {
        LOGR("fd=%d closed, %d registrations and %d providers removed------\n", c->fd, regs, provs);
    }
    if (c->txSecDropped > 0) {
        LOGW("fd=%d closed; %llu of its messages of AIDs that sign were dropped unsent "
             "(txSecFailed, txSecOverload)\n",
             c->fd, static_cast<unsigned long long>(c->txSecDropped));
    }
    if (c->rxHdr.have > 0 && !aicIdle) {
        // A message cut by the end of the connection is never processed.
        STAT_ADD(appCutDropped);
        LOGE("fd=%d closed inside a message, %u bytes dropped err!!!!\n", c->fd,
             c->rxHdr.have + c->rxHeld);
    }
    dmn_conn_drop_carry(c);
    v2x_event_release(c->pClitEt);
    v2x_event_release(c->pTxEt);
    v2x_event_release(c->pIdleEt);
    v2x_event_release(c->pDecideEt);
    unix_sock_close(&c->fd);
    pthread_mutex_destroy(&c->txLk);
    free(c);
}

void dmn_conn_read_cb(evutil_socket_t, short, void* aipArg)
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
        dmn_close_conn(c);
        return;
    }
    if (toRead == 0) {
        // Readable with nothing to read: the peer has closed, which is no
        // error of anybody's.
        LOGR("fd=%d closed by its peer------\n", c->fd);
        dmn_close_conn(c);
        return;
    }
    _serve(c);
}

void dmn_serv_set_send_fn(fDmnSend aipSend)
{
    dmn_server().sendFn.store(aipSend != nullptr ? aipSend : ::send);
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
    dmn_take_tx_defaults();
    // The published signature takes the base as const; the server's events
    // are registered in it, so the cast is forced there.
    auto* base = const_cast<struct event_base*>(aipcEtBse);
    int rc = dmn_listen(aipcDmnNme, base);
    if (rc == 0) {
        dmn_server().resumeEt = event_new(base, -1, 0, _resume_cb, nullptr);
        if (dmn_server().resumeEt == nullptr) {
            LOGE("event_new() err!!!!\n");
            rc = -ERR_V2X_EVENT_NEW;
        }
    }
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
    dmn_listener_close();
    v2x_event_release(dmn_server().resumeEt);
    dmn_server().idleLastMs = -(1LL << 40);
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
        dmn_close_conn(c, false);
    }
    if (gipRxBufer != nullptr) {
        buffer_free(gipRxBufer);
        gipRxBufer = nullptr;
    }
    return 0;
}

void dmn_serv_set_idle_ms(int aicMs)
{
    dmn_server().idleMs.store(aicMs > 0 ? aicMs : V2X_DMN_SERV_IDLE_MS_DEF);
}

void dmn_serv_tx_room(void)
{
    // Only when someone waits: a place comes free with every datagram sent.
    if (dmn_server().resumeEt != nullptr && !list_empty(&dmn_server().waitHd)) {
        event_active(dmn_server().resumeEt, EV_TIMEOUT, 1);
    }
}

void dmn_serv_tx_news(uint32_t aicConnId, eRlinkTxNews aicNews)
{
    if (aicConnId == 0 || aicNews == RLINK_TX_AT_EXIT) {
        return;  // the core's own; at exit the connections are gone already
    }
    ReadLock lk(giContCltLk);
    tClitNetCon* c = dmn_find_conn(aicConnId);
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
    } else if (aicNews == RLINK_TX_GATED_EXPIRED) {
        ++c->txGatedExpired;
    } else if (aicNews == RLINK_TX_GATED_SUPERSEDED) {
        ++c->txGatedSuperseded;
    } else if (aicNews == RLINK_TX_SEC_DROPPED) {
        ++c->txSecDropped;
    }
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
    if (tClitNetCon* c = dmn_find_conn(aicConn)) {
        dmn_conn_tx_one(c, aipcMsg, static_cast<uint32_t>(aicMsgLen));
    }
    return 0;
}

void dmn_set_rx_info(tClitNetCon* c, bool aicOn)
{
    if (c->rxInfo == aicOn) {
        return;
    }
    {
        WriteLock lk(giContCltLk);
        c->rxInfo = aicOn;
    }
    dmn_server().rxInfoConns += aicOn ? 1 : -1;
    rx_info_set_wanted(dmn_server().rxInfoConns > 0);
}

int dmn_serv_ind_forms()
{
    // Application connections (undecided ones too) that did not ask take
    // the plain form.
    const DmnServer& s = dmn_server();
    return (s.rxInfoConns > 0 ? 2 : 0) | (s.listener.appCnt > s.rxInfoConns ? 1 : 0);
}

int dmn_serv_tx_ind(const char* aipcPlain, const int aicPlainLen, const char* aipcEx,
                    const int aicExLen)
{
    const auto bad = [](const char* p, int n) {
        return p != nullptr && (n <= 0 || n > static_cast<int>(V2X_CORE_APP_BUF_LEN));
    };
    if ((aipcPlain == nullptr && aipcEx == nullptr) || bad(aipcPlain, aicPlainLen) ||
        bad(aipcEx, aicExLen)) {
        LOGE("aicMsgLen(%d) err!!!!\n", aicPlainLen);
        return -ERR_V2X_SEND_LEN;
    }
    uint64_t records = 0;
    ReadLock lk(giContCltLk);
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &giContCltHd)
    {
        auto* c = reinterpret_cast<tClitNetCon*>(pos);
        if (c->kind == kConnCtl) {
            continue;
        }
        if (c->rxInfo && aipcEx != nullptr) {
            dmn_conn_tx_one(c, aipcEx, static_cast<uint32_t>(aicExLen));
            ++records;
        } else if (aipcPlain != nullptr) {
            dmn_conn_tx_one(c, aipcPlain, static_cast<uint32_t>(aicPlainLen));
        }
    }
    if (records != 0) {
        STAT_ADD_N(rxIndRecords, records);
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
            dmn_conn_tx_one(c, aipcMsg, static_cast<uint32_t>(aicMsgLen));
        }
    }
    return 0;
}
