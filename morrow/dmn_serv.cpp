// SPDX-License-Identifier: Apache-2.0
// Generic daemon server.
#include "dmn_serv.h"

#include <errno.h>
#include <event2/event.h>
#include <fcntl.h>
#include <libconfig.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "self_log.h"
#include "unix_sock.h"
#include "v2x_evthread.hpp"
#include "v2x_lock_guard.hpp"
#include "xfuncs.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

// Rest after accept() ran out of descriptors or memory.
static constexpr int kAcceptRestMs = 100;

namespace {

pthread_t giDmnServPthdId = 0;
int giServTcpFd = -1;
// The socket file this server made, removed at its exit while still its own.
tUnixSockOwn giServOwn;
struct event* gipTcpServEt = nullptr;
// One-shot timer that adds gipTcpServEt again after a rest.
struct event* gipAcceptRestEt = nullptr;
// From the first accept() failure for want of descriptors or memory until an
// accept succeeds again: the episode is logged once, not once per try.
bool giAcceptStall = false;
struct event_base* gipPthdEtBse = nullptr;
tDmnLink giContCltHd = {&giContCltHd, &giContCltHd};
// Statically initialised and never destroyed, so a broadcast before the
// start or after the stop finds a valid lock.
pthread_rwlock_t giContCltLk = PTHREAD_RWLOCK_INITIALIZER;

// The thread's stop request; other threads reach gipPthdEtBse only through it.
V2xLoopStop giDmnStop(gipPthdEtBse);
// The record the thread reads: a copy, so the caller's may go away.
tDmnServCfg giDmnServCfg;

char gicPthExit[] = "_dmn_server_func_pth() exit";

void _list_add_tail(tDmnLink* aipNode)
{
    aipNode->prev = giContCltHd.prev;
    aipNode->next = &giContCltHd;
    giContCltHd.prev->next = aipNode;
    giContCltHd.prev = aipNode;
}

void _list_del(tDmnLink* aipNode)
{
    aipNode->prev->next = aipNode->next;
    aipNode->next->prev = aipNode->prev;
    aipNode->next = aipNode;
    aipNode->prev = aipNode;
}

tClitNetCon* _clit_of(tDmnLink* aipNode)
{
    return reinterpret_cast<tClitNetCon*>(reinterpret_cast<char*>(aipNode) -
                                          offsetof(tClitNetCon, hnode));
}

// Releases a client that is off the list: its event before its socket, so
// the event is never left watching a closed descriptor.
void _free_clit(tClitNetCon* aipClit)
{
    v2x_event_release(aipClit->pClitEt);
    unix_sock_close(&aipClit->fd);
    free(aipClit);
}

void _remove_clit(tClitNetCon* aipClit)
{
    {
        WriteLock lk(giContCltLk);
        _list_del(&aipClit->hnode);
    }
    _free_clit(aipClit);
}

void _clit_rx_cb(evutil_socket_t aicFd, short aicEvent, void* aipArg)
{
    (void)aicFd;
    (void)aicEvent;
    if (aipArg == nullptr) {
        LOGE("aipArg err!!!!\n");
        return;
    }
    tClitNetCon* clit = static_cast<tClitNetCon*>(aipArg);
    char buf[256];
    memset(buf, 0, sizeof(buf));
    ssize_t n = read(clit->fd, buf, sizeof(buf) - 1);
    if (n > 0) {
        return;  // data from clients is consumed and ignored
    }
    if (n < 0) {
        LOGE("read() err, msg:%s!!!!\n", strerror(errno));
    } else {
        LOG0("Remote close------\n");
    }
    _remove_clit(clit);
}

void _prepare_clit_fd(int aicFd)
{
    if (aicFd < 0) {
        LOGE("aicFd=%d err!!!!\n", aicFd);
        return;
    }
    int on = 1;
    setsockopt(aicFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    setsockopt(aicFd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    struct linger lg = {0, 0};
    setsockopt(aicFd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
}

void _accept_rest_cb(evutil_socket_t aicFd, short aicEvent, void* aipArg)
{
    (void)aicFd;
    (void)aicEvent;
    (void)aipArg;
    if (gipTcpServEt != nullptr) {
        event_add(gipTcpServEt, nullptr);
    }
}

void _accept_cb(evutil_socket_t aicFd, short aicEvent, void* aipArg)
{
    (void)aicEvent;
    if (aipArg == nullptr) {
        LOGE("aipArg err!!!!\n");
        return;
    }
    struct event_base* base = static_cast<struct event_base*>(aipArg);
    // Non-blocking and closed on exec.
    int fd = unix_sock_accept(aicFd, 1);
    if (fd < 0) {
        int err = errno;
        // Nothing waiting any more, interrupted, or the peer gave up: not a failure.
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED) {
            return;
        }
        if (err != EMFILE && err != ENFILE && err != ENOBUFS && err != ENOMEM) {
            LOGE("accept() err, msg=%s!!!!!!\n", strerror(err));
            return;
        }
        if (!giAcceptStall) {
            LOGE("accept() err, msg=%s!!!!!!\n", strerror(err));
            LOGE("accepting paused for %d ms------\n", kAcceptRestMs);
            giAcceptStall = true;
        }
        // The connection stays queued and the socket readable: the loop would
        // call us again at once for as long as the shortage lasts. Without
        // the timer we keep listening rather than go deaf for good.
        struct timeval tv = {0, kAcceptRestMs * 1000};
        if (gipAcceptRestEt != nullptr && evtimer_add(gipAcceptRestEt, &tv) == 0) {
            event_del(gipTcpServEt);
        }
        return;
    }
    if (giAcceptStall) {
        LOGE("accept() works again------\n");
        giAcceptStall = false;
    }
    tClitNetCon* clit = static_cast<tClitNetCon*>(xzMalloc(sizeof(tClitNetCon)));
    if (clit == nullptr) {
        LOGE("xzMalloc() err!!!!\n");
        close(fd);
        return;
    }
    clit->fd = fd;
    clit->hnode.next = clit->hnode.prev = &clit->hnode;
    _prepare_clit_fd(fd);
    clit->pClitEt = event_new(base, fd, EV_READ | EV_PERSIST, _clit_rx_cb, clit);
    if (clit->pClitEt == nullptr) {
        LOGE("event_new() err!!!!\n");
        free(clit);
        close(fd);
        return;
    }
    event_add(clit->pClitEt, nullptr);
    WriteLock lk(giContCltLk);
    _list_add_tail(&clit->hnode);
}

void* _dmn_server_func_pth(void* aipArg)
{
    if (aipArg == nullptr) {
        LOGE("aipArg err!!!!\n");
        return gicPthExit;
    }
    // No cancellation: dmn_server_exit asks the loop to exit and joins, so
    // the thread never stops inside a callback or while it holds the
    // client-list lock.
    giDmnStop.run([aipArg](struct event_base* aipBase) {
        if (_dmn_server_init(aipBase, static_cast<const tDmnServCfg*>(aipArg)) == SUCCESS_DMN) {
            return 0;
        }
        LOGE("_dmn_server_init() err!!!!\n");
        return -1;
    });
    return gicPthExit;
}

}  // namespace

extern "C" V2X_API int _dmn_server_init(const struct event_base* aipcEtBse,
                                        const tDmnServCfg* aipcFeddogCfg)
{
    LOGT();
    if (aipcEtBse == nullptr || aipcFeddogCfg == nullptr) {
        LOGE("aipArg err!!!!\n");
        return -ERR_EVENT_NEW_DMN;
    }
    // A path of 108 bytes or more is refused, never cut; a live server keeps
    // its path, a stale socket file of an earlier run is replaced.
    const int fd = unix_sock_listen(aipcFeddogCfg->dmNme, sizeof(aipcFeddogCfg->dmNme), 40);
    const int err = errno;
    switch (fd) {
    case UNIX_SOCK_FAIL_SOCKET:
        LOGE("socket() err, msg=%s!!!!!!\n", strerror(err));
        return -ERR_SOCKET_OPEN_DMN;
    case UNIX_SOCK_FAIL_PATH:
    case UNIX_SOCK_FAIL_LIVE:
    case UNIX_SOCK_FAIL_BIND:
        LOGE("bind() err, msg=%s!!!!!!\n", strerror(err));
        return -ERR_SOCKET_BIND_DMN;
    case UNIX_SOCK_FAIL_LISTEN:
        LOGE("listen() err, msg=%s!!!!!!\n", strerror(err));
        return -ERR_SOCKET_LISTEN_DMN;
    default:
        break;
    }
    giServTcpFd = fd;
    (void)unix_sock_own(aipcFeddogCfg->dmNme, sizeof(aipcFeddogCfg->dmNme), &giServOwn);
    signal(SIGPIPE, SIG_IGN);
    struct event_base* base = const_cast<struct event_base*>(aipcEtBse);
    gipTcpServEt = event_new(base, fd, EV_READ | EV_PERSIST, _accept_cb, base);
    if (gipTcpServEt == nullptr) {
        LOGE("event_new() err!!!!\n");
        return -ERR_EVENT_NEW_DMN;
    }
    gipAcceptRestEt = evtimer_new(base, _accept_rest_cb, nullptr);
    if (gipAcceptRestEt == nullptr) {
        LOGE("evtimer_new() err!!!!\n");
        return -ERR_EVENT_NEW_DMN;
    }
    event_add(gipTcpServEt, nullptr);
    return SUCCESS_DMN;
}

extern "C" V2X_API int dmn_server_init(const tDmnServCfg* aipcDmnServCfg)
{
    LOGT();
    if (giDmnServPthdId != 0) {
        LOGE("dmn server already run err!!!!\n");
        return -ERR_PTHREAD_CREATE_DMN;
    }
    if (!v2x_event_threads_ready()) {
        LOGE("evthread_use_pthreads() err!!!!\n");
        return -ERR_EVENT_NEW_BASE_DMN;
    }
    int rc = giDmnStop.start(giDmnServPthdId, _dmn_server_func_pth,
                             v2x_keep_cfg(giDmnServCfg, aipcDmnServCfg));
    if (rc != 0) {
        LOGE("pthread_create() err, msg:%s\n", strerror(rc));
        dmn_server_exit();
        return -ERR_PTHREAD_CREATE_DMN;
    }
    return SUCCESS_DMN;
}

extern "C" V2X_API int dmn_server_exit(void)
{
    LOGT();
    giDmnStop.join(giDmnServPthdId, "_dmn_server_func_pth");
    v2x_event_release(gipTcpServEt);
    v2x_event_release(gipAcceptRestEt);
    giAcceptStall = false;
    // No new client finds the path once the server is gone; a file someone
    // else put there meanwhile stays.
    (void)unix_sock_unown(&giServOwn);
    unix_sock_close(&giServTcpFd);
    {
        WriteLock lk(giContCltLk);
        while (giContCltHd.next != &giContCltHd) {
            tClitNetCon* clit = _clit_of(giContCltHd.next);
            _list_del(&clit->hnode);
            _free_clit(clit);
        }
    }
    if (struct event_base* b = giDmnStop.detach()) {
        event_base_free(b);
    }
    giDmnStop.clear();
    return SUCCESS_DMN;
}

extern "C" V2X_API int dmn_serv_tx_clit_msg(const char* aipcMsg, const int aicMsgLen)
{
    if (aipcMsg == nullptr || aicMsgLen <= 0) {
        return SUCCESS_DMN;
    }
    ReadLock lk(giContCltLk);
    for (tDmnLink* n = giContCltHd.next; n != &giContCltHd; n = n->next) {
        // Non-blocking and without SIGPIPE: a slow or gone client misses the
        // message (or part of it).
        ssize_t wr = send(_clit_of(n)->fd, aipcMsg, static_cast<size_t>(aicMsgLen),
                          MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)wr;
    }
    return SUCCESS_DMN;
}

extern "C" V2X_API int load_dmn_serv_cfg(tDmnServCfg* aopcDmnCfg, const char* aicpcCfgNme,
                                         const struct config_t* aicpcCfg)
{
    LOGT();
    config_setting_t* grp = nullptr;
    if (aicpcCfg != nullptr && aicpcCfgNme != nullptr) {
        grp = config_lookup(aicpcCfg, aicpcCfgNme);
    }
    if (grp == nullptr || aopcDmnCfg == nullptr) {
        LOGE("config_lookup(\"%s\") err!!!!\n", aicpcCfgNme != nullptr ? aicpcCfgNme : "(null)");
        return -ERR_LIBCFG_CFG_LOOKUP_DMN;
    }
    const char* nme = nullptr;
    if (config_setting_lookup_string(grp, "dmNme", &nme) == CONFIG_TRUE && nme != nullptr) {
        memset(aopcDmnCfg->dmNme, 0, sizeof(aopcDmnCfg->dmNme));
        strncpy(aopcDmnCfg->dmNme, nme, 254);
    }
    return SUCCESS_DMN;
}
