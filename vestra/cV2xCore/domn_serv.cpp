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
#include <sys/un.h>
#include <unistd.h>

#include <atomic>

#include "core_app.h"
#include "core_mib.h"
#include "dme.h"
#include "dme_dsm.h"
#include "self_list.h"
#include "self_log.h"
#include "v2x_lock.hpp"
#include "v2x_prim.hpp"
#include "xfuncs.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

namespace {

constexpr int kRxBufLen = 16384;
constexpr uint32_t kHdr = V2X_CORE_APP_HDR_LEN;
// The longest message a header can announce.
constexpr uint32_t kMaxMsg = kHdr + 0xFFFF;

// One accepted application connection, owned by the server.
struct tClitNetCon {
    struct list_head hnode;  // first member: node and record share an address
    int fd;
    struct event* pClitEt;   // persistent read event
    // Reading: a message whose header arrived but whose rest has not is
    // carried over to the next read instead of being lost.
    uint32_t rxHeld;
    char rxCarry[kMaxMsg];
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
struct event* gipTcpServEt = nullptr;
LIST_HEAD(giContCltHd);
// Initialised statically and never destroyed, so a second shutdown (after a
// failed start the core runs it again) always finds a valid lock.
pthread_rwlock_t giContCltLk = PTHREAD_RWLOCK_INITIALIZER;
tDMEDSMPrim* gipDSMPrim = nullptr;
tDMEPrim* gipDMEPrim = nullptr;
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

void _close_conn(tClitNetCon* c)
{
    {
        WriteLock lk(giContCltLk);
        list_del_init(&c->hnode);
    }
    if (c->pClitEt != nullptr) {
        event_del(c->pClitEt);
        event_free(c->pClitEt);
        c->pClitEt = nullptr;
    }
    if (c->pTxEt != nullptr) {
        event_del(c->pTxEt);
        event_free(c->pTxEt);
        c->pTxEt = nullptr;
    }
    if (c->fd > 0) {
        close(c->fd);
    }
    c->fd = -1;
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
    pthread_mutex_lock(&c->txLk);
    if (!_flush_pending(c) && c->pTxEt != nullptr) {
        event_add(c->pTxEt, nullptr);
    }
    pthread_mutex_unlock(&c->txLk);
}

// Sends one whole message to one client, or keeps its rest, or drops it
// whole. Called with the client list's read lock held.
void _tx_one(tClitNetCon* c, const char* aipcMsg, uint32_t aicLen)
{
    pthread_mutex_lock(&c->txLk);
    if (c->txLen > 0 && !_flush_pending(c)) {
        if (c->txDropCnt++ == 0) {
            LOGE("fd=%d busy, dropping whole messages!!!!\n", c->fd);
        }
        pthread_mutex_unlock(&c->txLk);
        return;
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
    pthread_mutex_unlock(&c->txLk);
}

// Length rule of each request type, checked as soon as its header is in:
// 0, or -ERR_V2X_RX_APP_FMT after the type's ERROR line.
int _check_header(uint32_t aicType, uint32_t aicLen)
{
    switch (aicType) {
    case V2X_DSM_REQ:
        if (aicLen < V2X_DSM_REQ_HEAD_LEN) {
            LOGE("V2X_DSM_REQ len(%d) err!!!!\n", static_cast<int>(aicLen));
            return -ERR_V2X_RX_APP_FMT;
        }
        return 0;
    case V2X_DME_PROV_SERV_REQ:
        if (aicLen != V2X_DME_PROV_SERV_REQ_LEN) {
            LOGE("%d!=%d err!!!!\n", static_cast<int>(aicLen), V2X_DME_PROV_SERV_REQ_LEN);
            return -ERR_V2X_RX_APP_FMT;
        }
        return 0;
    case V2X_DME_USER_SERV_REQ:
        if (aicLen != V2X_DME_USER_SERV_REQ_LEN) {
            LOGE("%d!=%d err!!!!\n", static_cast<int>(aicLen), V2X_DME_USER_SERV_REQ_LEN);
            return -ERR_V2X_RX_APP_FMT;
        }
        return 0;
    case V2X_DME_DSM_SERV_REQ:
        if (aicLen != V2X_DME_DSM_SERV_REQ_LEN) {
            LOGE("V2X_DME_DSM_SERV_REQ len(%d) err!!!!\n", static_cast<int>(aicLen));
            return -ERR_V2X_RX_APP_FMT;
        }
        return 0;
    default:
        LOGE("msgType(%d) err!!!!\n", static_cast<int>(aicType));
        return -ERR_V2X_RX_APP_FMT;
    }
}

// The payload lies in the receive buffer and is valid during the call only.
int _process_dsm_request(const char* aipcPld, uint32_t aicLen)
{
    switch (prim_fetch(gipDSMPrim, get_dme_dsm_prim, &tDMEDSMPrim::request)) {
    case PrimFetch::NoTable:
        LOGE("get_dme_dsm_prim() err!!!!\n");
        return -ERR_V2X_GET_DME_DSM_PRIM;
    case PrimFetch::NoEntry:
        LOGE("gipDSMPrim->request=NULL err!!!!\n");
        return -ERR_V2X_GET_DME_DSM_PRIM;
    case PrimFetch::Ok:
        break;
    }
    uint16_t dataLen = rd16(aipcPld + offsetof(tDSMReq, msgLen));
    if (aicLen != V2X_DSM_REQ_HEAD_LEN + dataLen) {
        LOGE("%d!=%d+%d err!!!!\n", static_cast<int>(aicLen), V2X_DSM_REQ_HEAD_LEN, dataLen);
        return -ERR_V2X_RX_APP_FMT;
    }
    int rc = gipDSMPrim->request(rd32(aipcPld + offsetof(tDSMReq, appId)),
                                 static_cast<uint8_t>(aipcPld[offsetof(tDSMReq, protTp)]),
                                 static_cast<uint8_t>(aipcPld[offsetof(tDSMReq, priority)]),
                                 dataLen, aipcPld + V2X_DSM_REQ_HEAD_LEN,
                                 aipcPld + offsetof(tDSMReq, peerMac),
                                 aipcPld + offsetof(tDSMReq, dsmHdrExts));
    if (rc != 0) {
        LOGE("gipDSMPrim->request() err!!!!\n");
    }
    return rc;
}

PrimFetch _fetch_dme(decltype(&tDMEPrim::provReq) aicEntry)
{
    return prim_fetch(gipDMEPrim, get_dme_prim, aicEntry);
}

int _process_dme_prov_request(const char* aipcPld)
{
    // Checked on every message: the table is kept, its entries may not be.
    PrimFetch f = _fetch_dme(&tDMEPrim::provReq);
    if (f == PrimFetch::NoTable) {
        LOGE("get_dme_prim() err!!!!\n");
        return -ERR_V2X_GET_DME_PRIM;
    }
    if (f == PrimFetch::NoEntry || gipDMEPrim->provReq == nullptr) {
        LOGE("gipDMEPrim->provReq=NULL err!!!!\n");
        return -ERR_V2X_GET_DME_PRIM;
    }
    uint32_t act = rd32(aipcPld + offsetof(tDMEProvServReq, dmeAct));
    eDMEAction action;
    memcpy(&action, &act, sizeof(action));
    int rc = gipDMEPrim->provReq(rd16(aipcPld + offsetof(tDMEProvServReq, lclAppId)), action,
                                 rd32(aipcPld + offsetof(tDMEProvServReq, appId)),
                                 static_cast<uint8_t>(aipcPld[offsetof(tDMEProvServReq, rptRte)]),
                                 aipcPld + offsetof(tDMEProvServReq, dsaHdrExt),
                                 aipcPld + offsetof(tDMEProvServReq, otherInfo));
    if (rc != 0) {
        LOGE("gipDMEPrim->provReq() err!!!!\n");
    }
    return rc;
}

int _process_dme_user_request(const char* aipcPld)
{
    PrimFetch f = prim_fetch(gipDMEPrim, get_dme_prim, &tDMEPrim::userReq);
    if (f == PrimFetch::NoTable) {
        LOGE("get_dme_prim() err!!!!\n");
        return -ERR_V2X_GET_DME_PRIM;
    }
    if (f == PrimFetch::NoEntry || gipDMEPrim->userReq == nullptr) {
        LOGE("gipDMEPrim->userReq=NULL err!!!!\n");
        return -ERR_V2X_GET_DME_PRIM;
    }
    uint32_t act = rd32(aipcPld + offsetof(tDMEUserServReq, dmeAct));
    uint32_t tp = rd32(aipcPld + offsetof(tDMEUserServReq, dmeUsrReqTp));
    eDMEAction action;
    eDMEUsrReqTp reqTp;
    memcpy(&action, &act, sizeof(action));
    memcpy(&reqTp, &tp, sizeof(reqTp));
    int rc = gipDMEPrim->userReq(rd16(aipcPld + offsetof(tDMEUserServReq, lclAppId)), action,
                                 reqTp, rd32(aipcPld + offsetof(tDMEUserServReq, appId)),
                                 aipcPld + offsetof(tDMEUserServReq, otherInfo));
    if (rc != 0) {
        LOGE("gipDMEPrim->userReq() err!!!!\n");
    }
    return rc;
}

int _process_msg(uint32_t aicType, const char* aipcPld, uint32_t aicLen)
{
    int rc = 0;
    switch (aicType) {
    case V2X_DSM_REQ:
        rc = _process_dsm_request(aipcPld, aicLen);
        if (rc != 0) {
            LOGE("_process_dsm_request() err!!!!\n");
        }
        break;
    case V2X_DME_PROV_SERV_REQ:
        rc = _process_dme_prov_request(aipcPld);
        if (rc != 0) {
            LOGE("_process_dme_prov_request() err!!!!\n");
        }
        break;
    case V2X_DME_USER_SERV_REQ:
        rc = _process_dme_user_request(aipcPld);
        if (rc != 0) {
            LOGE("_process_dme_user_request() err!!!!\n");
        }
        break;
    case V2X_DME_DSM_SERV_REQ: {
        tDMEDSMServReq req;
        memcpy(&req, aipcPld, sizeof(req));
        rc = mib_dsm_serv_info_updata(&req);
        if (rc != 0) {
            LOGE("mib_dsm_serv_info_updata() err!!!!\n");
        }
        break;
    }
    default:
        break;  // refused by _check_header before we get here
    }
    return rc;
}

// Walks the complete messages in aipcBuf and processes them in order. Returns
// the number of bytes consumed; the caller keeps the rest (the start of one
// incomplete message) for the next read. A header that breaks its type's
// rules loses the framing of the stream: everything from it on is dropped
// (the whole length is reported consumed). *aopRc gets the last result.
size_t dmn_serv_parse(const char* aipcBuf, size_t aicLen, int* aopRc)
{
    size_t pos = 0;
    int rc = -1;
    while (aicLen - pos >= kHdr) {
        uint32_t type = rd32(aipcBuf + pos);
        uint32_t len = rd16(aipcBuf + pos + 4);
        int chk = _check_header(type, len);
        if (chk != 0) {
            if (pos + kHdr + len != aicLen) {
                LOGE("parse err, aicLen=%d, pseLen=%d!!!!\n", static_cast<int>(aicLen),
                     static_cast<int>(pos));
            }
            *aopRc = chk;
            return aicLen;
        }
        if (aicLen - pos < kHdr + len) {
            break;  // incomplete: carried over to the next read
        }
        // A request that fails is logged and answered by its handler; the
        // messages behind it are framed correctly and still processed.
        rc = _process_msg(type, aipcBuf + pos + kHdr, len);
        pos += kHdr + len;
    }
    *aopRc = rc;
    return pos;
}

// Leaves the shared receive buffer empty and zeroed, as buffer_reset does,
// without clearing its whole capacity on every read: past `used` it is
// already zero from the previous read, unless it grew in this one (realloc
// hands back uninitialised bytes).
void _empty_rx(buffer_t* rx, bool grown)
{
    if (grown) {
        buffer_reset(rx);
        return;
    }
    memset(rx->ptr, 0, static_cast<size_t>(rx->used));
    rx->used = 0;
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
        LOGE("toRead=0 err!!!!\n");
        _close_conn(c);
        return;
    }
    buffer_t* rx = gipRxBufer;
    if (rx == nullptr) {
        return;
    }
    // The carried bytes go first, then what is waiting on the socket.
    int64_t need = static_cast<int64_t>(c->rxHeld) + toRead;
    const int32_t sizeBefore = rx->size;
    if (rx->size - rx->used <= need) {
        buffer_expand(rx, static_cast<int>(rx->used + need + 1));
    }
    const bool grown = rx->size != sizeBefore;
    int64_t room = rx->size - rx->used;
    if (room <= c->rxHeld) {
        LOGE("buffer_expand() err!!!!\n");
        c->rxHeld = 0;
        return;
    }
    memcpy(rx->ptr + rx->used, c->rxCarry, c->rxHeld);
    rx->used += static_cast<int32_t>(c->rxHeld);
    room -= c->rxHeld;
    size_t want = static_cast<size_t>(toRead < room ? toRead : room);
    ssize_t got = recv(c->fd, rx->ptr + rx->used, want, MSG_DONTWAIT);
    if (got < 0) {
        LOGE("read() err, msg:%s!!!!\n", strerror(errno));
        _empty_rx(rx, grown);
        _close_conn(c);
        return;
    }
    if (got == 0) {
        LOG0("Remote close------\n");
        _empty_rx(rx, grown);
        _close_conn(c);
        return;
    }
    rx->used += static_cast<int32_t>(got);
    int rc = 0;
    size_t used = static_cast<size_t>(rx->used);
    size_t done = dmn_serv_parse(rx->ptr, used, &rc);
    c->rxHeld = static_cast<uint32_t>(used - done);  // at most one message
    memcpy(c->rxCarry, rx->ptr + done, c->rxHeld);
    _empty_rx(rx, grown);
}

void _accept_cb(evutil_socket_t aicFd, short, void* aipArg)
{
    auto* base = static_cast<struct event_base*>(aipArg);
    if (base == nullptr) {
        LOGE("aipArg err!!!!\n");
        return;
    }
    struct sockaddr_un peer;
    socklen_t plen = sizeof(peer);
    // Closed on exec: a program the application starts must not keep the
    // connection open after the application has closed it.
    int fd = accept4(aicFd, reinterpret_cast<struct sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
    if (fd < 0) {
        LOGE("accept() err, msg=%s!!!!!!\n", strerror(errno));
        return;
    }
    auto* c = static_cast<tClitNetCon*>(xzMalloc(sizeof(tClitNetCon)));
    if (c == nullptr) {
        LOGE("xzMalloc() err!!!!\n");
        close(fd);
        return;
    }
    INIT_LIST_HEAD(&c->hnode);
    pthread_mutex_init(&c->txLk, nullptr);
    c->fd = fd;
    if (fd <= 0) {
        LOGE("aicFd=%d err!!!!\n", fd);
    }
    int on = 1;
    struct linger lg = {0, 0};
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    c->pClitEt = event_new(base, fd, EV_READ | EV_PERSIST, _clit_read_cb, c);
    c->pTxEt = event_new(base, fd, EV_WRITE, _tx_flush_cb, c);
    if (c->pClitEt == nullptr || c->pTxEt == nullptr) {
        LOGE("event_new() err!!!!\n");
        _close_conn(c);
        return;
    }
    event_add(c->pClitEt, nullptr);
    WriteLock lk(giContCltLk);
    list_add_tail(&c->hnode, &giContCltHd);
}

// True when a server answers on the socket at aipcPath.
bool _live_server_at(const struct sockaddr_un& aicAddr)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    bool live = connect(fd, reinterpret_cast<const struct sockaddr*>(&aicAddr),
                        sizeof(aicAddr)) == 0 ||
                errno == EAGAIN || errno == EINPROGRESS;
    close(fd);
    return live;
}

int _dmn_server_init(const char* aipcName, struct event_base* aipBase)
{
    giServTcpFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (giServTcpFd < 0) {
        LOGE("socket() err, msg=%s!!!!!!\n", strerror(errno));
        return -ERR_V2X_SOCKET_OPEN;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    size_t plen = strnlen(aipcName, sizeof(addr.sun_path));
    if (plen >= sizeof(addr.sun_path)) {
        LOGE("bind() %.*s err, msg=%s!!!!!!\n", static_cast<int>(sizeof(addr.sun_path)), aipcName,
             "path of 108 bytes or more");
        return -ERR_V2X_SOCKET_BIND;
    }
    memcpy(addr.sun_path, aipcName, plen);
    // A socket file left by an earlier run is removed; one that a live server
    // answers on is not taken over, and other kinds of file are left alone.
    // On 32-bit targets lstat() needs 64-bit inode numbers (the build defines
    // _FILE_OFFSET_BITS=64): otherwise it fails with EOVERFLOW on file systems
    // with large inode numbers, the stale file stays and bind() fails.
    static_assert(sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");
    struct stat st;
    if (lstat(aipcName, &st) == 0 && S_ISSOCK(st.st_mode)) {
        if (_live_server_at(addr)) {
            LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName, "a server already listens there");
            return -ERR_V2X_SOCKET_BIND;
        }
        unlink(aipcName);
    }
    if (bind(giServTcpFd, reinterpret_cast<struct sockaddr*>(&addr),
             static_cast<socklen_t>(plen + 2)) < 0) {
        LOGE("bind() %s err, msg=%s!!!!!!\n", aipcName, strerror(errno));
        return -ERR_V2X_SOCKET_BIND;
    }
    if (listen(giServTcpFd, 2) < 0) {
        LOGE("listen() err, msg=%s!!!!!!\n", strerror(errno));
        return -ERR_V2X_SOCKET_LISTEN;
    }
    signal(SIGPIPE, SIG_IGN);
    gipTcpServEt = event_new(aipBase, giServTcpFd, EV_READ | EV_PERSIST, _accept_cb, aipBase);
    if (gipTcpServEt == nullptr) {
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

V2X_API void dmn_serv_set_send_fn(fDmnSend aipSend)
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
    if (gipTcpServEt != nullptr) {
        event_del(gipTcpServEt);
        event_free(gipTcpServEt);
        gipTcpServEt = nullptr;
    }
    if (giServTcpFd > 0) {
        close(giServTcpFd);
    }
    giServTcpFd = -1;
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
        _close_conn(c);
    }
    if (gipRxBufer != nullptr) {
        buffer_free(gipRxBufer);
        gipRxBufer = nullptr;
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
        _tx_one(reinterpret_cast<tClitNetCon*>(pos), aipcMsg, static_cast<uint32_t>(aicMsgLen));
    }
    return 0;
}
