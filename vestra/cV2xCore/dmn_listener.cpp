// SPDX-License-Identifier: Apache-2.0
// The daemon server's listener: the socket file and its rights, accepting,
// and the admission rules (who the peer is, the cap on connections, each
// user's share of it). Every callback runs on the core thread.
// Its lines carry the daemon server's name, which hosts filter on.
#define LOG_SRC_NAME "domn_serv.cpp"

#include <errno.h>
#include <event2/event.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core_app_tx.hpp"
#include "core_stats.hpp"
#include "dmn_server.hpp"
#include "self_log.h"
#include "v2x_evthread.hpp"
#include "v2x_lock.hpp"
#include "xfuncs.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

// The listening socket and its accept event.
int giServTcpFd = -1;
struct event* gipTcpServEt = nullptr;

namespace {

constexpr uint32_t kHdr = V2X_CORE_APP_HDR_LEN;
// How long accepting rests after the process or system ran out of
// descriptors, so that the listening socket does not spin.
constexpr int kAcceptRestMs = 100;

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

// accept() failed with aicErr: said once per stall, and without
// descriptors accepting rests, as the waiting connection stays readable and
// the loop would call us again at once for as long as it lasts.
void _accept_failed(DmnListener& l, int aicErr)
{
    if (aicErr == EAGAIN || aicErr == EWOULDBLOCK || aicErr == EINTR || aicErr == ECONNABORTED) {
        return;
    }
    STAT_ADD(appAcceptErrs);
    if (!l.acceptStall) {
        LOGE("accept() err, msg=%s!!!!!!\n", strerror(aicErr));
    }
    if ((aicErr == EMFILE || aicErr == ENFILE || aicErr == ENOBUFS || aicErr == ENOMEM) &&
        l.acceptEt != nullptr) {
        if (!l.acceptStall) {
            LOGE("accepting paused for %d ms------\n", kAcceptRestMs);
        }
        l.acceptStall = true;
        event_del(gipTcpServEt);
        struct timeval tv = {0, kAcceptRestMs * 1000};
        evtimer_add(l.acceptEt, &tv);
    }
}

// Whether a peer of aicUid may have one more connection: the cap on all of
// them and the user's share. A refused one is told why and closed.
bool _admit(DmnListener& l, int aicFd, int aicUid, int* aopCap, int* aopShare)
{
    const int cap = l.connMax.load(std::memory_order_relaxed);
    const int share = core_app_user_share(cap);
    *aopCap = cap;
    *aopShare = share;
    if (l.connCnt >= cap) {
        STAT_ADD(appRefusedCap);
        if (!l.capSaid) {
            LOGE("clients(%d) at most, connection refused err!!!!\n", l.connCnt);
            l.capSaid = true;
        }
        _refuse(aicFd, V2X_CTL_REFUSED_CAP, cap, share, l.connCnt);
        return false;
    }
    const int mine = _user_conns(aicUid);
    if (mine >= share) {
        STAT_ADD(appRefusedShare);
        if (!l.shareSaid) {
            LOGE("uid %d holds %d connections, its share of the %d, connection refused err!!!!\n",
                 aicUid, mine, cap);
            l.shareSaid = true;
        }
        _refuse(aicFd, V2X_CTL_REFUSED_SHARE, cap, share, mine);
        return false;
    }
    l.capSaid = false;
    l.shareSaid = false;
    return true;
}

// A new connection's record, counted as open (as accepted once it is known
// whose it is: dmn_set_kind), or null after its line.
tClitNetCon* _new_conn(DmnListener& l, int aicFd, int aicUid, int aicPid)
{
    auto* c = static_cast<tClitNetCon*>(xzMalloc(sizeof(tClitNetCon)));
    if (c == nullptr) {
        LOGE("xzMalloc() err!!!!\n");
        close(aicFd);
        return nullptr;
    }
    ++l.connCnt;
    ++l.appCnt;
    dmn_count_kinds();
    if (++l.lastConnId == 0) {
        l.lastConnId = 1;
    }
    c->connId = l.lastConnId;
    c->kind = kConnPending;
    c->pid = aicPid;
    c->uid = aicUid;
    INIT_LIST_HEAD(&c->hnode);
    INIT_LIST_HEAD(&c->waitNode);
    pthread_mutex_init(&c->txLk, nullptr);
    c->fd = aicFd;
    int on = 1;
    struct linger lg = {0, 0};
    setsockopt(aicFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    setsockopt(aicFd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(aicFd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    // Small, like the clients' send buffers: requests the core cannot take
    // yet wait with their writer rather than pile up here.
    int rcv = V2X_CORE_APP_SOCK_BUF;
    setsockopt(aicFd, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof(rcv));
    return c;
}

// Registers the connection's events, greets it and lists it; false when
// that fails (the connection is closed then).
bool _start_conn(tClitNetCon* c, struct event_base* aipBase, int aicCap, int aicShare)
{
    c->pClitEt = event_new(aipBase, c->fd, EV_READ | EV_PERSIST, dmn_conn_read_cb, c);
    c->pTxEt = event_new(aipBase, c->fd, EV_WRITE, dmn_conn_tx_flush_cb, c);
    c->pIdleEt = evtimer_new(aipBase, dmn_conn_idle_cb, c);
    c->pDecideEt = evtimer_new(aipBase, dmn_decide_cb, c);
    if (c->pClitEt == nullptr || c->pTxEt == nullptr || c->pIdleEt == nullptr ||
        c->pDecideEt == nullptr) {
        LOGE("event_new() err!!!!\n");
        dmn_close_conn(c);
        return false;
    }
    // The greeting is the first thing on the stream: the client waits for
    // it before it counts itself connected.
    if (!_greet(c->fd, V2X_CTL_WELCOME, c->connId, aicCap, aicShare, 0)) {
        dmn_close_conn(c);
        return false;
    }
    event_add(c->pClitEt, nullptr);
    struct timeval tv = {0, kDmnDecideMs * 1000};
    evtimer_add(c->pDecideEt, &tv);
    WriteLock lk(giContCltLk);
    list_add_tail(&c->hnode, &giContCltHd);
    return true;
}

void _accept_cb(evutil_socket_t aicFd, short, void* aipArg)
{
    auto* base = static_cast<struct event_base*>(aipArg);
    if (base == nullptr) {
        LOGE("aipArg err!!!!\n");
        return;
    }
    DmnListener& l = dmn_server().listener;
    // Non-blocking, and closed on exec: a program the application starts
    // must not keep the connection open after the application has closed it.
    int fd = unix_sock_accept(aicFd, 1);
    if (fd < 0) {
        _accept_failed(l, errno);
        return;
    }
    if (l.acceptStall) {
        LOGE("accept() works again------\n");
        l.acceptStall = false;
    }
    int uid = -1, gid = -1, pid = -1;
    if (unix_sock_peer(fd, &uid, &gid, &pid) != 0 || !_peer_allowed(l.servAccess, uid, gid, pid)) {
        // Served only to whom the access settings allow: nothing is read
        // from it and nothing is sent to it.
        STAT_ADD(appRefusedPeer);
        LOGE("peer uid=%d pid=%d refused err!!!!\n", uid, pid);
        close(fd);
        return;
    }
    int cap = 0, share = 0;
    if (!_admit(l, fd, uid, &cap, &share)) {
        return;
    }
    if (tClitNetCon* c = _new_conn(l, fd, uid, pid)) {
        (void)_start_conn(c, base, cap, share);
    }
}

// Says why the socket could not be had: the code of the step that failed.
int _listen_failed(const char* aipcName, int aicWhy, int aicErr)
{
    switch (aicWhy) {
    case UNIX_SOCK_FAIL_SOCKET:
        LOGE("socket() err, msg=%s!!!!!!\n", strerror(aicErr));
        return -ERR_V2X_SOCKET_OPEN;
    case UNIX_SOCK_FAIL_PATH:
        if (aicErr == ENAMETOOLONG) {
            LOGE("bind() %.*s err, msg=%s!!!!!!\n", UNIX_SOCK_PATH_MAX, aipcName,
                 "path of 108 bytes or more");
        } else {
            LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName, strerror(aicErr));
        }
        return -ERR_V2X_SOCKET_BIND;
    case UNIX_SOCK_FAIL_LIVE:
        LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName, "a server already listens there");
        return -ERR_V2X_SOCKET_BIND;
    case UNIX_SOCK_FAIL_BIND:
        LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName, strerror(aicErr));
        return -ERR_V2X_SOCKET_BIND;
    default:
        LOGE("listen() err, msg=%s!!!!!!\n", strerror(aicErr));
        return -ERR_V2X_SOCKET_LISTEN;
    }
}

}  // namespace

int dmn_listen(const char* aipcName, struct event_base* aipBase)
{
    DmnListener& l = dmn_server().listener;
    {
        std::lock_guard<std::mutex> lk(l.accessMtx);
        l.servAccess = l.accessCfg;
    }
    const tV2XAccessCfg& acc = l.servAccess;
    // The directory is made private when missing and refused when another
    // user could put a socket of their own at the path.
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
    if (fd < 0) {
        return _listen_failed(aipcName, fd, errno);
    }
    giServTcpFd = fd;
    (void)unix_sock_own(aipcName, UNIX_SOCK_PATH_MAX, &l.own);
    // Its own mode whatever the umask, and the allowed group's.
    if (chmod(aipcName, static_cast<mode_t>(acc.sockMode)) != 0 ||
        (acc.allowGid >= 0 && chown(aipcName, static_cast<uid_t>(-1), static_cast<gid_t>(acc.allowGid)) != 0)) {
        LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName, strerror(errno));
        return -ERR_V2X_SOCKET_BIND;
    }
    signal(SIGPIPE, SIG_IGN);
    gipTcpServEt = event_new(aipBase, giServTcpFd, EV_READ | EV_PERSIST, _accept_cb, aipBase);
    l.acceptEt = evtimer_new(aipBase, _accept_rest_cb, nullptr);
    if (gipTcpServEt == nullptr || l.acceptEt == nullptr) {
        LOGE("event_new() err!!!!\n");
        return -ERR_V2X_EVENT_NEW;
    }
    event_add(gipTcpServEt, nullptr);
    return 0;
}

void dmn_listener_close()
{
    DmnListener& l = dmn_server().listener;
    v2x_event_release(gipTcpServEt);
    v2x_event_release(l.acceptEt);
    l.acceptStall = false;
    l.capSaid = false;
    l.shareSaid = false;
    // No new application finds the path once the core is gone; a file
    // someone else put there meanwhile stays.
    (void)unix_sock_unown(&l.own);
    unix_sock_close(&giServTcpFd);
}

extern "C" V2X_API int v2x_sdk_dmn_serv_set_access(const tV2XAccessCfg* aipcAccess)
{
    tV2XAccessCfg cfg = {V2X_SOCK_MODE_DEF, -1, {0}};
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
    DmnListener& l = dmn_server().listener;
    std::lock_guard<std::mutex> lk(l.accessMtx);
    l.accessCfg = cfg;
    return V2X_SUCCESS;
}

extern "C" V2X_API int v2x_sdk_dmn_serv_set_max_clit(int aicMax)
{
    if (aicMax < 1) {
        LOGE("aicMax(%d) err!!!!\n", aicMax);
        return -ERR_V2X_PARM_CONT;
    }
    dmn_server().listener.connMax.store(aicMax);
    return V2X_SUCCESS;
}
