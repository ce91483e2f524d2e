// SPDX-License-Identifier: Apache-2.0
// The UDP link to the radio module.
#include "rlink.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <event2/event.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "dsm_mem.hpp"
#include "air_log.hpp"
#include "core_stats.hpp"
#include "rx_info.hpp"
#include "self_log.h"
#include "v2x_clock.hpp"
#include "v2x_evthread.hpp"
#include "v2x_prim.hpp"
#include "v2x_sink.hpp"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

// Atomic: rlink_rx_port() reads it from other threads while the core
// thread opens and closes the socket.
static std::atomic<int> giRecvFd{-1};
static int giSendFd = -1;
static struct sockaddr_in giRecvSkAdrIn;
static struct sockaddr_in giSendSkAdrIn;
static struct event* gipRxNetCliEt = nullptr;
// The receive ring (giDSMMemHd and giDSMMemLk live inside it).
static DsmMemRing giDSMMemRing;
// Every frame from the radio module is handed up with these addresses.
static const char gicSrcAdr[6] = {'\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF'};
static const char gicDstAdr[6] = {'\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF'};
static int _rlink_tx_now(const char* aipcSdMsg, const int aicSdLen);
static void _rlink_tx_timer_cb(evutil_socket_t aicFd, short aicEvent, void* aipArg);

namespace {

// The scheduler's clock is the monotonic one; its timer is rlink_state().txEt on the
// core's loop.
class RlinkRuntime final : public TxRuntime {
public:
    uint64_t now_us() override { return v2x_mono_us(); }
    void arm(uint64_t aicDelayUs) override
    {
        if (rlink_state().txEt == nullptr) {
            return;
        }
        struct timeval tv;
        tv.tv_sec = static_cast<time_t>(aicDelayUs / 1000000u);
        tv.tv_usec = static_cast<suseconds_t>(aicDelayUs % 1000000u);
        evtimer_add(rlink_state().txEt, &tv);
    }
    void cancel() override
    {
        if (rlink_state().txEt != nullptr) {
            evtimer_del(rlink_state().txEt);
        }
    }
};

class RlinkOutput final : public TxOutput {
public:
    int transmit(const char* aipcMsg, int aicLen) override { return _rlink_tx_now(aipcMsg, aicLen); }
    void sent(const TxMeta& aicMeta, uint64_t, int aicRc) override
    {
        if (aicRc == 0) {
            rlink_state().txNews(aicMeta.connId, RLINK_TX_SENT);
        }
    }
    void dropped(const TxMeta& aicMeta, TxDrop aicWhy) override
    {
        static constexpr eRlinkTxNews kNews[kTxDropReasons] = {
            RLINK_TX_EXPIRED, RLINK_TX_SUPERSEDED, RLINK_TX_AT_EXIT, RLINK_TX_GATED_EXPIRED,
            RLINK_TX_GATED_SUPERSEDED};
        rlink_state().txNews(aicMeta.connId, kNews[static_cast<int>(aicWhy)]);
    }
    void room(uint8_t) override { rlink_state().txRoom(); }
};

// Stateless: the clock and the way out of the link's scheduler.
RlinkRuntime giTxRuntime;
RlinkOutput giTxOutput;

}  // namespace


static tDSMMem* _find_dsm_mem()
{
    LOGT();
    return giDSMMemRing.take();
}

AirLogGate& air_log_gate()
{
    static AirLogGate gate;
    return gate;
}

int _parse_rx_msg(const char* aipcMsg, const int aicLen)
{
    LOGT();
    if (aipcMsg == nullptr || aicLen <= 0) {
        STAT_ADD(rxDropTooShort);
        LOGE_AIR("aicLen(%d) err!!!!\n", aicLen);
        return -ERR_V2X_RX_ADAP_FMT;
    }
    // The frame length travels in 16 bits: a longer datagram cannot come
    // from the receive ring, and one from elsewhere is refused, not cut.
    if (static_cast<uint32_t>(aicLen) > V2X_LIM_RX_DGRAM_MAX) {
        STAT_ADD(rxDropTruncated);
        LOGE_AIR("aicLen(%d) err!!!!\n", aicLen);
        return -ERR_V2X_RX_ADAP_FMT;
    }
    // A drop above is counted and logged where it is decided.
    auto protTp = static_cast<uint8_t>(aipcMsg[0]);
    const char* frame = aipcMsg + 1;
    int frameLen = aicLen - 1;
    if (protTp == PROT_TP_CBR_RPT) {
        // The module's channel load, for the congestion gate; no frame.
        return rlink_cbr_rx(frame, frameLen);
    }
    rx_info_start();
    if (protTp == PROT_TP_RX_REC) {
        // What the module knows about the frame comes first; the frame's
        // own type byte and the frame follow as in a plain datagram.
        RlinkRxRec rec;
        size_t off = 0;
        const RlinkRxRecRc why = rlink_rx_rec_decode(reinterpret_cast<const uint8_t*>(frame),
                                                     static_cast<size_t>(frameLen), &rec, &off);
        if (why != RlinkRxRecRc::Ok) {
            rx_info_stop();
            if (why == RlinkRxRecRc::Short) {
                STAT_ADD(rxDropRecShort);
                LOGE_AIR("rx record short, aicLen(%d) err!!!!\n", aicLen);
            } else {
                STAT_ADD(rxDropRecBad);
                LOGE_AIR("rx record malformed, aicLen(%d) err!!!!\n", aicLen);
            }
            return -ERR_V2X_RX_ADAP_FMT;
        }
        STAT_ADD(rxRecDatagrams);
        rx_info_take_rec(rec);
        if ((rec.flags & V2X_RLINK_RX_HAS_CBR) != 0) {
            STAT_SET(rxCbrLast, static_cast<uint64_t>(rec.cbrPermille) + 1u);  // + 1: see v2x_core_stats
        }
        protTp = static_cast<uint8_t>(frame[off]);
        frame += off + 1;
        frameLen -= static_cast<int>(off) + 1;
    }
    const int rc = rlink_state().rx(protTp, gicSrcAdr, gicDstAdr, frame, 0,
                                    static_cast<uint16_t>(frameLen));
    rx_info_stop();
    return rc;
}

// Runs on the core thread whenever the receive socket is readable. Reads
// exactly one datagram, so a bad one never holds up the next.
static void _rlink_rx_msg_cb(evutil_socket_t aicFd, short aicEvent, void* aipArg)
{
    (void)aicEvent;
    (void)aipArg;
    LOGT();
    tDSMMem* mem = _find_dsm_mem();
    if (mem == nullptr) {
        STAT_ADD(rxDropNoBuffer);
        LOGE("_find_dsm_mem() err!!!!\n");
        return;
    }
    struct sockaddr_in from;
    socklen_t fromLen = sizeof(from);
    // Non-blocking read: readiness can be reported for a datagram the
    // kernel then discards (a bad checksum), and a blocking read would then
    // stall the core thread until the next datagram. MSG_TRUNC reports the
    // datagram's real length, so a cut one is seen and not decoded.
    ssize_t n = recvfrom(aicFd, mem->msg, sizeof(mem->msg), MSG_DONTWAIT | MSG_TRUNC,
                         reinterpret_cast<struct sockaddr*>(&from), &fromLen);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return;
        }
        STAT_ADD(rxDropRecvErr);
        LOGE_AIR("recvfrom() err, msg:%s!!!!\n", strerror(errno));
        return;
    }
    STAT_ADD(rxDatagrams);
    STAT_ADD_N(rxBytes, static_cast<uint64_t>(n));
    if (static_cast<size_t>(n) > sizeof(mem->msg)) {
        STAT_ADD(rxDropTruncated);
        LOGE_AIR("rxLen(%d)>max(%d) err!!!!\n", static_cast<int>(n),
                 static_cast<int>(sizeof(mem->msg)));
    } else {
        (void)_parse_rx_msg(mem->msg, static_cast<int>(n));
    }
    const unsigned long held = air_log_gate().take_report();
    if (held > 0) {
        LOGE("%lu lines about received datagrams not written in the last second err!!!!\n", held);
    }
}

static void _fill_addr(struct sockaddr_in* aopAdr, const char* aipcIp, uint16_t aicPort)
{
    memset(aopAdr, 0, sizeof(*aopAdr));
    aopAdr->sin_family = AF_INET;
    aopAdr->sin_addr.s_addr = inet_addr(aipcIp);
    aopAdr->sin_port = htons(aicPort);
}

// The configuration's address fields are fixed arrays: bound the copy so an
// unterminated field cannot be read past.
static void _copy_ip(char (&aopIp)[16], const char (&aipcIp)[16])
{
    memcpy(aopIp, aipcIp, sizeof(aopIp));
    aopIp[sizeof(aopIp) - 1] = '\0';
}

static int _rlink_recv_init(const tV2XSDKCfg* aipcV2XCore, struct event_base* aipcEtBse)
{
    char ip[16];
    _copy_ip(ip, aipcV2XCore->rcvIp);
    _fill_addr(&giRecvSkAdrIn, ip, aipcV2XCore->rcvPort);
    // Closed on exec, so a program the application starts never holds the port.
    giRecvFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (giRecvFd < 0) {
        LOGE("socket() err, msg:%s!!!!\n", strerror(errno));
        return -ERR_V2X_SOCKET_OPEN;
    }
    if (bind(giRecvFd, reinterpret_cast<struct sockaddr*>(&giRecvSkAdrIn),
             sizeof(giRecvSkAdrIn)) != 0) {
        LOGE("bind(%s:%d) err, msg:%s!!!!\n", ip, static_cast<int>(aipcV2XCore->rcvPort),
             strerror(errno));
        return -ERR_V2X_SOCKET_BIND;
    }
    gipRxNetCliEt = event_new(aipcEtBse, giRecvFd, EV_READ | EV_PERSIST, _rlink_rx_msg_cb, nullptr);
    if (gipRxNetCliEt == nullptr) {
        LOGE("event_new() err!!!!\n");
        return -ERR_V2X_EVENT_NEW;
    }
    if (event_add(gipRxNetCliEt, nullptr) != 0) {
        LOGE("event_add() err!!!!\n");
        return -ERR_V2X_EVENT_NEW;
    }
    return V2X_SUCCESS;
}

static int _rlink_send_init(const tV2XSDKCfg* aipcV2XCore)
{
    LOGT();
    char ip[16];
    _copy_ip(ip, aipcV2XCore->sendIp);
    _fill_addr(&giSendSkAdrIn, ip, aipcV2XCore->sendPort);
    giSendFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (giSendFd < 0) {
        LOGE("socket() error, %s:%d, msg:%s!!!!\n", ip, static_cast<int>(aipcV2XCore->sendPort),
             strerror(errno));
        return -ERR_V2X_SOCKET_OPEN;
    }
    // An unconnected socket never hears that the far end refused a datagram
    // (ICMP port unreachable): the kernel's error queue keeps one entry per
    // refusal instead. The socket stays unconnected, so a start before the
    // route to the module exists still succeeds and the source address
    // follows the host's.
    const int on = 1;
    if (setsockopt(giSendFd, IPPROTO_IP, IP_RECVERR, &on, sizeof(on)) != 0) {
        LOGE("setsockopt(IP_RECVERR) err, msg:%s!!!!\n", strerror(errno));
    }
    rlink_state().refusedRun = 0;
    rlink_state().lastSentClean = false;
    return V2X_SUCCESS;
}

extern "C" V2X_API int rlink_init(const tV2XSDKCfg* aipcV2XCore, struct event_base* aipcEtBse)
{
    LOGT();
    if (aipcV2XCore == nullptr || aipcEtBse == nullptr) {
        LOGE("Input param err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    // A second init without an exit would leak the first set of sockets.
    rlink_exit();
    for (int i = 0; i < DSM_MEM_CNT; ++i) {
        if (!giDSMMemRing.add_one()) {
            LOGE("xzMalloc() err!!!!\n");
            rlink_exit();
            return -ERR_V2X_MALLOC;
        }
    }
    int ret = _rlink_recv_init(aipcV2XCore, aipcEtBse);
    if (ret != 0) {
        LOGE("_rlink_recv_init() err!!!!\n");
        rlink_exit();
        return ret;
    }
    ret = _rlink_send_init(aipcV2XCore);
    if (ret != 0) {
        LOGE("_rlink_send_init() err!!!!\n");
        rlink_exit();
        return ret;
    }
    rlink_state().sched.bind(&giTxRuntime, &giTxOutput);
    rlink_cc_apply();
    rlink_state().txEt = evtimer_new(aipcEtBse, _rlink_tx_timer_cb, nullptr);
    if (rlink_state().txEt == nullptr) {
        LOGE("evtimer_new() err!!!!\n");
        rlink_exit();
        return -ERR_V2X_EVENT_NEW;
    }
    return V2X_SUCCESS;
}

// A failed send, counted by the kind of its cause.
static void _count_tx_err(int aicErr)
{
    switch (aicErr) {
    case EAGAIN:
    case ENOBUFS:
    case ENOMEM:
        STAT_ADD(txErrBusy);
        break;
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
        STAT_ADD(txErrUnreachable);
        break;
    default:
        STAT_ADD(txErrOther);
        break;
    }
}

// Reads the refusals the far end sent back for datagrams already out (one
// error-queue entry each, bounded per call) and counts each by its cause.
// Reading them also clears the socket's pending error, so the next datagram
// is not failed for the fate of the one before. Errors the kernel raised
// itself were already returned by sendto and are not counted again.
static int _rlink_take_refusals()
{
    constexpr int kMaxPerCall = 64;
    int taken = 0;
    int lastErr = 0;
    for (int i = 0; i < kMaxPerCall && giSendFd >= 0; ++i) {
        // Aligned for the cmsghdr at its start, with room to spare, and not
        // on the stack: the entry is an extended error plus the offender's
        // address, and a 32-bit process under a 64-bit kernel's emulation
        // (qemu-user) was seen writing past a buffer of exactly that size.
        // Only the core thread calls this.
        static union {
            struct cmsghdr align;
            char buf[16 * CMSG_SPACE(sizeof(struct sock_extended_err) + sizeof(struct sockaddr_in6))];
        } ctl;
        char data[1];
        struct iovec iov = {data, sizeof(data)};
        struct msghdr mh;
        memset(&mh, 0, sizeof(mh));
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = ctl.buf;
        mh.msg_controllen = sizeof(ctl.buf);
        if (recvmsg(giSendFd, &mh, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            break;  // EAGAIN: nothing (more) refused
        }
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR ||
                c->cmsg_len < CMSG_LEN(sizeof(struct sock_extended_err))) {
                continue;
            }
            struct sock_extended_err ee;
            memcpy(&ee, CMSG_DATA(c), sizeof(ee));
            if (ee.ee_origin == SO_EE_ORIGIN_ICMP && ee.ee_errno != 0) {
                _count_tx_err(static_cast<int>(ee.ee_errno));
                lastErr = static_cast<int>(ee.ee_errno);
                ++taken;
            }
        }
    }
    if (taken > 0) {
        rlink_state().lastSentClean = false;
        if (rlink_state().refusedRun == 0) {
            char ip[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &giSendSkAdrIn.sin_addr, ip, sizeof(ip));
            LOGE("%s:%d refused the datagram (%s); refusals are counted, not logged, until it "
                 "takes them again err!!!!\n",
                 ip, static_cast<int>(ntohs(giSendSkAdrIn.sin_port)), strerror(lastErr));
        }
        rlink_state().refusedRun += static_cast<unsigned long>(taken);
    }
    return taken;
}

// One datagram on the air, now. The scheduler stamps the send time once it
// has left, whatever the result: stamped before the send, the next datagram
// could leave a few microseconds less than the gap after this one.
static int _rlink_tx_now(const char* aipcSdMsg, const int aicSdLen)
{
    // The datagram before this one had its chance to be refused: none came
    // back, so a refusal episode is over.
    if (_rlink_take_refusals() == 0 && rlink_state().refusedRun > 0 && rlink_state().lastSentClean) {
        LOGE("%lu datagrams refused before the radio module took them again\n", rlink_state().refusedRun);
        rlink_state().refusedRun = 0;
    }
    ssize_t n = sendto(giSendFd, aipcSdMsg, static_cast<size_t>(aicSdLen), 0,
                       reinterpret_cast<const struct sockaddr*>(&giSendSkAdrIn),
                       sizeof(giSendSkAdrIn));
    if (n < 0) {
        const int sendErr = errno;
        _count_tx_err(sendErr);
        rlink_state().lastSentClean = false;
        LOGE("sendto() err, msg:%s!!!!\n", strerror(sendErr));
        return -ERR_V2X_SOCKET_SEND_TO;
    }
    STAT_ADD(txDatagrams);
    STAT_ADD_N(txBytes, static_cast<uint64_t>(n));
    rlink_state().lastSentClean = true;
    // A local far end refuses at once: counted now, not at the next send.
    (void)_rlink_take_refusals();
    return V2X_SUCCESS;
}

static void _rlink_tx_timer_cb(evutil_socket_t, short, void*)
{
    rlink_state().sched.on_timer();
}

extern "C" V2X_API int rlink_send(const char* aipcSdMsg, const int aicSdLen)
{
    // The core's own datagram at priority 0, no lifetime.
    static constexpr TxMeta kOwn = {0, 0, 0, 0, 0, 0};
    return rlink_submit(kOwn, aipcSdMsg, aicSdLen);
}

// The checks before a datagram goes to the scheduler: its bytes or its
// fill, and a running link (nothing to send on and no loop to drain a
// queue otherwise). 0 or the refusal after its line.
static int _tx_check(const void* aipcSrc, const int aicSdLen)
{
    if (aipcSrc == nullptr || aicSdLen <= 0) {
        LOGE("Input param err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    if (rlink_state().txEt == nullptr || giSendFd < 0) {
        _count_tx_err(EBADF);
        LOGE("sendto() err, msg:%s!!!!\n", strerror(EBADF));
        return -ERR_V2X_SOCKET_SEND_TO;
    }
    return 0;
}

int rlink_submit(const TxMeta& aicMeta, const char* aipcSdMsg, const int aicSdLen)
{
    LOGT();
    const int rc = _tx_check(aipcSdMsg, aicSdLen);
    return rc != 0 ? rc : rlink_state().sched.submit(aicMeta, aipcSdMsg, aicSdLen);
}

int rlink_submit_fill(const TxMeta& aicMeta, const int aicSdLen, TxFill aipFill,
                      const void* aipCtx)
{
    LOGT();
    const int rc = _tx_check(reinterpret_cast<const void*>(aipFill), aicSdLen);
    return rc != 0 ? rc : rlink_state().sched.submit_fill(aicMeta, aicSdLen, aipFill, aipCtx);
}

int rlink_tx_queued_total(void)
{
    return rlink_state().sched.queued();
}

int rlink_tx_room_prio(uint8_t aicPrio)
{
    // A link that is not running has an empty queue: its callers are told
    // by rlink_send itself.
    return rlink_state().sched.room(aicPrio);
}

int rlink_tx_queued_by(uint32_t aicConnId, int aicPrio)
{
    return aicPrio < 0 ? rlink_state().sched.queued_by(aicConnId)
                       : rlink_state().sched.queued_by(aicConnId, static_cast<uint8_t>(aicPrio));
}

void rlink_set_tx_room_sink(fRlinkTxRoom aipSink)
{
    rlink_state().txRoom.set(aipSink);
}

void rlink_set_tx_news_sink(fRlinkTxNews aipSink)
{
    rlink_state().txNews.set(aipSink);
}

void rlink_set_rx_sink(fRlinkRxSink aipSink)
{
    rlink_state().rx.set(aipSink);
}

void rlink_tx_stats(tRlinkTxStats* aopStats)
{
    if (aopStats == nullptr) {
        return;
    }
    aopStats->sent = STAT_GET(txDatagrams);
    aopStats->sendErrs = STAT_GET(txErrBusy) + STAT_GET(txErrUnreachable) + STAT_GET(txErrOther);
    aopStats->waited = STAT_GET(txWaited);
    aopStats->queued = STAT_GET(txQueued);
    aopStats->queuedMax = STAT_GET(txQueuedMax);
    aopStats->fullRefused = STAT_GET(txFullRefused);
    aopStats->droppedAtExit = STAT_GET(txDroppedAtExit);
    aopStats->expired = STAT_GET(txExpired);
    aopStats->superseded = STAT_GET(txSuperseded);
}

int rlink_rx_port(void)
{
    if (giRecvFd < 0) {
        return -1;
    }
    struct sockaddr_in adr;
    socklen_t len = sizeof(adr);
    if (getsockname(giRecvFd, reinterpret_cast<struct sockaddr*>(&adr), &len) != 0) {
        return -1;
    }
    return ntohs(adr.sin_port);
}

extern "C" V2X_API int rlink_exit(void)
{
    LOGT();
    // What had not gone out by now never will: said once, with the count.
    const int left = rlink_state().sched.drop_all();
    if (left > 0) {
        LOGE("txQueue=%d dropped at exit err!!!!\n", left);
    }
    (void)_rlink_take_refusals();
    if (rlink_state().refusedRun > 0) {
        LOGE("%lu datagrams refused by the radio module until exit err!!!!\n", rlink_state().refusedRun);
        rlink_state().refusedRun = 0;
    }
    v2x_event_release(rlink_state().txEt);
    v2x_event_release(gipRxNetCliEt);
    // Descriptor 0 is a valid socket when standard input was closed.
    if (giRecvFd >= 0) {
        close(giRecvFd);
        giRecvFd = -1;
    }
    if (giSendFd >= 0) {
        close(giSendFd);
        giSendFd = -1;
    }
    giDSMMemRing.release();
    return V2X_SUCCESS;
}
