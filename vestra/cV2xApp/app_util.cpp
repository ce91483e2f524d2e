// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the application client sources.
#include "app_util.hpp"

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "core_app.h"
#include "core_app_frame.hpp"
#include "core_app_tx.hpp"
#include "self_log.h"
#include "unix_sock.h"
#include "v2x_clock.hpp"
#include "v2x_limits.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

static thread_local bool gbOnRuntime = false;
static thread_local unsigned giInCallback = 0;

void app_mark_runtime_thread()
{
    gbOnRuntime = true;
}

bool app_on_runtime_thread()
{
    return gbOnRuntime;
}

AppCallbackScope::AppCallbackScope(AppCbFamily aicFamily) : prev_(giInCallback)
{
    giInCallback |= aicFamily;
}

AppCallbackScope::~AppCallbackScope()
{
    giInCallback = prev_;
}

bool app_in_callback(unsigned aicFamilies)
{
    return (giInCallback & aicFamilies) != 0;
}

int app_dsm_req_check(uint32_t aicAppId, const uint8_t* aipcExts, uint32_t aicDataLen)
{
    const uint32_t ext = aipcExts != nullptr ? aipcExts[1] : 0;
    if (aicAppId > V2X_LIM_AID_MAX) {
        LOGE("aicAppId(%u) err, must<=%u!!!!\n", static_cast<unsigned>(aicAppId),
             static_cast<unsigned>(V2X_LIM_AID_MAX));
        return -ERR_V2X_PARM_CONT;
    }
    if (ext > V2X_LIM_EXT_MAX) {
        LOGE("dsmHdrExtLen(%u) err, must<=%u!!!!\n", static_cast<unsigned>(ext),
             static_cast<unsigned>(V2X_LIM_EXT_MAX));
        return -ERR_V2X_PARM_CONT;
    }
    const int32_t most = v2x_dsm_data_max(aicAppId, ext);
    if (aicDataLen > static_cast<uint32_t>(most)) {
        LOGE("msgLen(%u) too large for aid %u, must<=%d!!!!\n", static_cast<unsigned>(aicDataLen),
             static_cast<unsigned>(aicAppId), static_cast<int>(most));
        return -ERR_V2X_SEND_LEN;
    }
    return V2X_SUCCESS;
}

int app_core_msg_check(uint32_t aicType, const char* aipcMsg, uint32_t aicLen)
{
    // The core's own header rules (core_app_frame.hpp), then what the record
    // says of itself.
    switch (core_app_req_hdr_check(aicType, aicLen)) {
    case CoreAppHdr::BadType:
        LOGE("msgType(%u) err!!!!\n", static_cast<unsigned>(aicType));
        return -ERR_V2X_PARM_CONT;
    case CoreAppHdr::BadLen:
        LOGE("msgType(%u) len(%u) err!!!!\n", static_cast<unsigned>(aicType),
             static_cast<unsigned>(aicLen));
        return -ERR_V2X_SEND_LEN;
    case CoreAppHdr::Ok:
        break;
    }
    if (aicType != V2X_DSM_REQ && aicType != V2X_DSM_REQ_EX) {
        return V2X_SUCCESS;
    }
    // With options, the request record follows them.
    const uint32_t off = core_app_dsm_rec_off(aicType);
    const char* req = aipcMsg + off;
    uint16_t recLen;
    memcpy(&recLen, req + offsetof(tDSMReq, msgLen), sizeof(recLen));
    if (!core_app_dsm_req_len_ok(aicLen - off, recLen)) {
        LOGE("V2X_DSM_REQ len(%u) err!!!!\n", static_cast<unsigned>(aicLen));
        return -ERR_V2X_SEND_LEN;
    }
    if (off != 0 && !core_app_tx_opt_ok(aipcMsg)) {
        LOGE("tDSMTxOpt.rsvd err, must be 0!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    uint32_t appId;
    memcpy(&appId, req + offsetof(tDSMReq, appId), sizeof(appId));
    return app_dsm_req_check(
        appId, reinterpret_cast<const uint8_t*>(req + offsetof(tDSMReq, dsmHdrExts)), recLen);
}

int app_dsm_req_ex_build(const tDSMReq* aipcReq, const tDSMTxOpt* aipcOpt, char* aopBuf)
{
    if (aipcReq == nullptr || aipcOpt == nullptr) {
        LOGE("aipcDSMReq=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    uint16_t dataLen;
    memcpy(&dataLen, reinterpret_cast<const char*>(aipcReq) + offsetof(tDSMReq, msgLen),
           sizeof(dataLen));
    const uint32_t len = V2X_DSM_REQ_EX_HEAD_LEN + dataLen;
    if (len > V2X_CORE_APP_MAX_PAYLOAD) {
        // Never read past what a record of the largest message can hold.
        LOGE("msgLen(%u) too large, must<=%u!!!!\n", static_cast<unsigned>(dataLen),
             static_cast<unsigned>(V2X_CORE_APP_MAX_PAYLOAD - V2X_DSM_REQ_EX_HEAD_LEN));
        return -ERR_V2X_SEND_LEN;
    }
    // Stamped here, at the call: the lifetime also counts the time the
    // request then waits in the socket for the core to read it.
    tDSMReqExPre pre;
    memcpy(&pre.opt, aipcOpt, sizeof(pre.opt));
    pre.callUs = v2x_mono_us();
    memcpy(aopBuf, &pre, sizeof(pre));
    memcpy(aopBuf + V2X_DSM_REQ_EX_PRE_LEN, aipcReq, V2X_DSM_REQ_HEAD_LEN + dataLen);
    return static_cast<int>(len);
}

namespace {

// Reads exactly aicLen bytes before the deadline: true when it did.
bool _read_by(int aicFd, char* aopBuf, size_t aicLen, long long aicDeadlineMs)
{
    size_t have = 0;
    while (have < aicLen) {
        const long long left = aicDeadlineMs - v2x_mono_ms();
        struct pollfd pf = {aicFd, POLLIN, 0};
        if (left <= 0 || poll(&pf, 1, static_cast<int>(left)) <= 0) {
            if (left > 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        const ssize_t n = recv(aicFd, aopBuf + have, aicLen - have, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return false;
        }
        have += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return true;
}

}  // namespace

namespace {
// Set once the loss of the core was said (see app_send_core_msg).
std::atomic<bool> giCoreGoneSaid{false};
}  // namespace

void app_core_gone_rearm()
{
    giCoreGoneSaid.store(false, std::memory_order_relaxed);
}

int app_await_greeting(int aicFd, const char* aipcName, int aicWaitMs)
{
    const long long deadline = v2x_mono_ms() + aicWaitMs;
    char hdr[V2X_CORE_APP_HDR_LEN];
    char pld[sizeof(tV2XCtlGreeting)];
    uint32_t type = 0;
    uint16_t len = 0;
    // Exactly the greeting is read: whatever follows it is the reader's.
    bool got = _read_by(aicFd, hdr, sizeof(hdr), deadline);
    if (got) {
        core_app_hdr_parse(hdr, &type, &len);
        got = type == V2X_CTL_GREETING && len == sizeof(pld) && _read_by(aicFd, pld, len, deadline);
    }
    const int err = errno;
    if (!got && v2x_mono_ms() >= deadline) {
        LOGE("connect() %s err, msg:the core did not greet within %d ms!!!!!!\n", aipcName,
             aicWaitMs);
        return -ERR_V2X_SOCKET_CONECT;
    }
    if (!got && type == 0 && len == 0) {
        // Closed before a word: the only connection a live core closes
        // unanswered is one its access settings do not admit.
        LOGE("connect() %s err, msg:closed by the core without its greeting (%s): its access "
             "settings do not admit uid %d!!!!!!\n",
             aipcName, err == ECONNRESET ? "reset" : "end of stream", static_cast<int>(geteuid()));
        return -ERR_V2X_CONN_REFUSED;
    }
    tV2XCtlGreeting g;
    const CoreAppGreet why = got ? core_app_greeting(type, len, pld, &g) : CoreAppGreet::Bad;
    switch (why) {
    case CoreAppGreet::Welcome:
        app_core_gone_rearm();
        return V2X_SUCCESS;
    case CoreAppGreet::RefusedCap:
        LOGE("connect() %s refused, msg:the core holds its cap of %u connections!!!!!!\n",
             aipcName, static_cast<unsigned>(g.maxClients));
        return -ERR_V2X_CONN_REFUSED;
    case CoreAppGreet::RefusedShare:
        LOGE("connect() %s refused, msg:uid %d holds %u connections, its share of the core's "
             "%u!!!!!!\n",
             aipcName, static_cast<int>(geteuid()), static_cast<unsigned>(g.held),
             static_cast<unsigned>(g.maxClients));
        return -ERR_V2X_CONN_REFUSED;
    case CoreAppGreet::Bad:
        break;
    }
    LOGE("connect() %s err, msg:first message type(%u) len(%u) is no greeting!!!!!!\n", aipcName,
         static_cast<unsigned>(type), static_cast<unsigned>(len));
    return -ERR_V2X_SOCKET_CONECT;
}

int app_conn_stats(const char* aipcName, void* aopStats, size_t aicSize)
{
    constexpr int kAnswerMs = 1000;
    const int fd = app_connect_core(aipcName, 0);
    if (fd < 0) {
        return -ERR_V2X_SOCKET_CONECT;
    }
    struct FdGuard {
        int fd;
        ~FdGuard() { close(fd); }
    } guard{fd};
    // A control connection: the hello first, so that the core neither
    // counts nor lists it among the applications nor sends it indications.
    const tV2XCtlHello hello = {V2X_CTL_VERSION, 0};
    const tV2XCtlReq req = {V2X_CTL_SELF, V2X_CTL_VERSION, 0};
    char msg[2 * V2X_CORE_APP_HDR_LEN + sizeof(hello) + sizeof(req)];
    const size_t helloLen = core_app_put_msg(msg, V2X_CTL_HELLO,
                                             reinterpret_cast<const char*>(&hello), sizeof(hello));
    core_app_put_msg(msg + helloLen, V2X_CTL_QUERY_REQ, reinterpret_cast<const char*>(&req),
                     sizeof(req));
    if (send(fd, msg, sizeof(msg), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(msg))) {
        // A core that refused at once may have closed already: its
        // greeting says why.
        const int rc = app_await_greeting(fd, aipcName, kAnswerMs);
        LOGE("send() err, msg:%s!!!!\n", strerror(errno));
        return rc != 0 ? rc : -ERR_V2X_SOCKET_CONECT;
    }
    const int rc = app_await_greeting(fd, aipcName, kAnswerMs);
    if (rc != 0) {
        return rc;
    }
    // Anything but the answer is skipped whole.
    const long long deadline = v2x_mono_ms() + kAnswerMs;
    char pld[V2X_CORE_APP_MAX_PAYLOAD];
    for (;;) {
        char hdr[V2X_CORE_APP_HDR_LEN];
        uint32_t type;
        uint16_t len;
        if (!_read_by(fd, hdr, sizeof(hdr), deadline)) {
            break;
        }
        core_app_hdr_parse(hdr, &type, &len);
        if (len > sizeof(pld) || !_read_by(fd, pld, len, deadline)) {
            break;
        }
        if (type != V2X_CTL_QUERY_RSP) {
            continue;
        }
        tV2XCtlRsp rsp;
        if (len < sizeof(rsp)) {
            break;
        }
        memcpy(&rsp, pld, sizeof(rsp));
        if (rsp.status != V2X_CTL_OK || rsp.what != V2X_CTL_SELF || rsp.count > 1 ||
            len < sizeof(rsp) + static_cast<uint64_t>(rsp.count) * rsp.recSize) {
            LOGE("V2X_CTL_SELF status(%u) count(%u) err!!!!\n", static_cast<unsigned>(rsp.status),
                 static_cast<unsigned>(rsp.count));
            return -ERR_V2X_SOCKET_READ;
        }
        // A record of another size is taken as far as both know it.
        memset(aopStats, 0, aicSize);
        if (rsp.count == 1) {
            memcpy(aopStats, pld + sizeof(rsp), rsp.recSize < aicSize ? rsp.recSize : aicSize);
        }
        return V2X_SUCCESS;
    }
    LOGE("V2X_CTL_SELF no answer within %d ms err!!!!\n", kAnswerMs);
    return -ERR_V2X_SOCKET_READ;
}

bool app_peer_is_self(int aicFd)
{
    int pid = -1;
    if (aicFd < 0 || unix_sock_peer(aicFd, nullptr, nullptr, &pid) != 0) {
        LOGE("getsockopt(SO_PEERCRED) err, msg:%s!!!!\n", strerror(errno));
        return false;
    }
    if (pid != static_cast<int>(getpid())) {
        LOGE("connect() err, msg:answered by process %d, not by this process's core!!!!\n", pid);
        return false;
    }
    return true;
}

int app_send_core_msg(CoreAppTx& aiopTx, int aicFd, int aicNoConnRc, uint32_t aicType,
                      const char* aipcMsg, int aicLen)
{
    // A core that has gone is said first, whatever the message: the caller
    // must learn that before anything about what it sent.
    if (aicFd < 0 || aicNoConnRc == -ERR_V2X_SOCKET_CONECT) {
        // Said once per loss, not on every call an application keeps making;
        // a call that gets through again re-arms it.
        if (!giCoreGoneSaid.exchange(true, std::memory_order_relaxed)) {
            LOGE("giClitRxFd=%d err!!!!\n", aicFd);
        }
        return aicNoConnRc;
    }
    giCoreGoneSaid.store(false, std::memory_order_relaxed);
    if (aicLen < 0 || aicLen > static_cast<int>(V2X_CORE_APP_MAX_PAYLOAD)) {
        LOGE("aicLen(%d) too large, must<%d!!!!\n", aicLen,
             static_cast<int>(V2X_CORE_APP_MAX_PAYLOAD));
        return -ERR_V2X_SEND_LEN;
    }
    if (aipcMsg == nullptr && aicLen > 0) {
        LOGE("aipcMsg=NULL err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    int rc = app_core_msg_check(aicType, aipcMsg, static_cast<uint32_t>(aicLen));
    if (rc != 0) {
        return rc;
    }
    rc = aiopTx.send(aicFd, aicType, aipcMsg, static_cast<uint16_t>(aicLen));
    if (rc != 0) {
        // ETIMEDOUT: the core did not take the message within the wait.
        LOGE("write(%d) err, msg:%s!!!!\n", aicFd, strerror(errno));
    }
    return rc;
}

int app_tx_report_cut(CoreAppTx& aiopTx)
{
    size_t bytes = 0;
    const unsigned msgs = aiopTx.take_cut(&bytes);
    if (msgs == 0) {
        return V2X_SUCCESS;
    }
    LOGE("%u message(s) to the core cut, %lu byte(s) of them never written err!!!!\n", msgs,
         static_cast<unsigned long>(bytes));
    return -ERR_V2X_SOCKET_WRITE;
}

int app_connect_core(const char* aipcName, int aicNonBlock)
{
    const int fd = unix_sock_connect(aipcName, sizeof(tV2XSDKCfg::dmnNme), aicNonBlock);
    const int err = errno;
    if (fd == UNIX_SOCK_FAIL_PATH && err == ENAMETOOLONG) {
        // It would not fit the address with its terminator.
        LOGE("dmnNme len(%d) err!!!!\n",
             static_cast<int>(strnlen(aipcName, sizeof(tV2XSDKCfg::dmnNme))));
        return -ERR_V2X_SOCKET_CONECT;
    }
    if (fd == UNIX_SOCK_FAIL_SOCKET) {
        LOGE("socket() err, msg:%s!!!!\n", strerror(err));
        return -ERR_V2X_SOCKET_OPEN;
    }
    if (fd < 0) {
        LOGE("connect() %s err, msg:%s!!!!!!\n", aipcName, strerror(err));
        return -ERR_V2X_SOCKET_CONECT;
    }
    int uid = -1;
    if (unix_sock_peer(fd, &uid, nullptr, nullptr) != 0 ||
        (uid != static_cast<int>(geteuid()) && uid != 0)) {
        LOGE("connect() %s err, msg:served by uid %d, not by this user or root!!!!!!\n", aipcName,
             uid);
        int f = fd;
        unix_sock_close(&f);
        return -ERR_V2X_SOCKET_CONECT;
    }
    return fd;
}

int app_connect_greeted(const char* aipcName, int aicNonBlock)
{
    int fd = app_connect_core(aipcName, aicNonBlock);
    const int rc = fd < 0 ? fd : app_await_greeting(fd, aipcName);
    if (rc != 0) {
        // Not kept: the caller records no socket, so its sends report the
        // missing connection instead of failing on an unconnected socket.
        unix_sock_close(&fd);
        return rc;
    }
    return fd;
}
