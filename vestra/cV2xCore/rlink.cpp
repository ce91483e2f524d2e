// The UDP link to the radio module.
#include "rlink.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "adap_lyr.h"
#include "dsm_mem.hpp"
#include "air_log.hpp"
#include "core_stats.hpp"
#include "self_log.h"
#include "v2x_evthread.hpp"
#include "v2x_prim.hpp"

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
// Monotonic time of the last send in microseconds; survives a stop and a
// new start. Not the wall clock: a clock set back or forward must neither
// skip the gap nor stretch it.
static uint64_t giLastSendUs = 0;
// Every frame from the radio module is handed up with these addresses.
static const char gicSrcAdr[6] = {'\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF'};
static const char gicDstAdr[6] = {'\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF'};
static tAdapLyrPrim* gipAdapLyrPrim = nullptr;
// The transmit queue: datagrams waiting for the 70 ms gap, oldest at
// giTxHead, drained by gipTxEt on the core's loop. Copied in, so the caller's
// buffer is free again as soon as rlink_send returns. Changed on the core
// thread only; the count is atomic because the counters read it anywhere.
struct tRlinkTxSlot {
    int len;
    char msg[RLINK_TX_MAX_LEN];
};
static tRlinkTxSlot giTxRing[RLINK_TXQ_CAP];
static int giTxHead = 0;
static std::atomic<int> giTxCnt{0};
static struct event* gipTxEt = nullptr;

static void _no_room_sink(void) {}
static void _rlink_tx_timer_cb(evutil_socket_t aicFd, short aicEvent, void* aipArg);
static std::atomic<fRlinkTxRoom> giTxRoomSink{_no_room_sink};


static tDSMMem* _find_dsm_mem()
{
    LOGT();
    return giDSMMemRing.take();
}

V2X_API AirLogGate& air_log_gate()
{
    static AirLogGate gate;
    return gate;
}

V2X_API int _parse_rx_msg(const char* aipcMsg, const int aicLen)
{
    LOGT();
    if (PrimFetch why = prim_fetch(gipAdapLyrPrim, get_adaptation_layer_prim, &tAdapLyrPrim::indication); why != PrimFetch::Ok) {
        return prim_fail(why, "get_adaptation_layer_prim", "gipAdapLyrPrim->indication", -ERR_V2X_GET_ADAP_PRIM);
    }
    // The frame length travels in 16 bits: a longer datagram cannot come
    // from the receive ring, and anything else is refused rather than cut.
    if (aipcMsg == nullptr || aicLen <= 0 || aicLen > 0x10000) {
        STAT_ADD(rxDropTooShort);
        LOGE_AIR("aicLen(%d) err!!!!\n", aicLen);
        return -ERR_V2X_RX_ADAP_FMT;
    }
    // A drop above is counted and logged where it is decided.
    const auto protTp = static_cast<uint8_t>(aipcMsg[0]);
    return gipAdapLyrPrim->indication(protTp, gicSrcAdr, gicDstAdr, aipcMsg + 1, 0,
                                      static_cast<uint16_t>(aicLen - 1));
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
    gipTxEt = evtimer_new(aipcEtBse, _rlink_tx_timer_cb, nullptr);
    if (gipTxEt == nullptr) {
        LOGE("evtimer_new() err!!!!\n");
        rlink_exit();
        return -ERR_V2X_EVENT_NEW;
    }
    return V2X_SUCCESS;
}

static uint64_t _mono_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// The queue's length changed: the gauges follow (core thread only).
static void _count_queued()
{
    const uint64_t now = static_cast<uint64_t>(giTxCnt.load());
    STAT_SET(txQueued, now);
    if (now > STAT_GET(txQueuedMax)) {
        STAT_SET(txQueuedMax, now);
    }
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

// One datagram on the air, now. Stamps the send time once the datagram has
// left, whatever the result: stamped before the send, the next datagram
// could leave a few microseconds less than the gap after this one.
static int _rlink_tx_now(const char* aipcSdMsg, const int aicSdLen)
{
    ssize_t n = sendto(giSendFd, aipcSdMsg, static_cast<size_t>(aicSdLen), 0,
                       reinterpret_cast<const struct sockaddr*>(&giSendSkAdrIn),
                       sizeof(giSendSkAdrIn));
    const int sendErr = errno;
    giLastSendUs = _mono_us();
    if (n < 0) {
        _count_tx_err(sendErr);
        LOGE("sendto() err, msg:%s!!!!\n", strerror(sendErr));
        return -ERR_V2X_SOCKET_SEND_TO;
    }
    STAT_ADD(txDatagrams);
    STAT_ADD_N(txBytes, static_cast<uint64_t>(n));
    return V2X_SUCCESS;
}

// Arms the drain timer for the moment the gap after the last send ends.
static void _arm_tx_timer()
{
    const uint64_t elapsed = _mono_us() - giLastSendUs;
    const uint64_t wait = elapsed < RLINK_PACE_US ? RLINK_PACE_US - elapsed : 0;
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(wait / 1000000u);
    tv.tv_usec = static_cast<suseconds_t>(wait % 1000000u);
    evtimer_add(gipTxEt, &tv);
}

// The drain timer: one datagram per expiry, the oldest first. A timer that
// fires a little early (the event loop's clock is coarser than ours) waits
// for the rest of the gap instead of sending.
static void _rlink_tx_timer_cb(evutil_socket_t, short, void*)
{
    if (giTxCnt == 0) {
        return;
    }
    if (_mono_us() - giLastSendUs < RLINK_PACE_US) {
        _arm_tx_timer();
        return;
    }
    tRlinkTxSlot& slot = giTxRing[giTxHead];
    (void)_rlink_tx_now(slot.msg, slot.len);
    giTxHead = (giTxHead + 1) % RLINK_TXQ_CAP;
    if (--giTxCnt > 0) {
        _arm_tx_timer();
    }
    _count_queued();
    // A slot is free again: whoever held back for room may go on.
    giTxRoomSink.load()();
}

extern "C" V2X_API int rlink_send(const char* aipcSdMsg, const int aicSdLen)
{
    LOGT();
    if (aipcSdMsg == nullptr || aicSdLen <= 0) {
        LOGE("Input param err!!!!\n");
        return -ERR_V2X_PARM_CONT;
    }
    if (gipTxEt == nullptr || giSendFd < 0) {
        // Not running: nothing to send on and no loop to drain a queue.
        _count_tx_err(EBADF);
        LOGE("sendto() err, msg:%s!!!!\n", strerror(EBADF));
        return -ERR_V2X_SOCKET_SEND_TO;
    }
    if (aicSdLen > RLINK_TX_MAX_LEN) {
        LOGE("aicSdLen(%d) too long err!!!!\n", aicSdLen);
        return -ERR_V2X_SEND_LEN;
    }
    // The gap has passed and nobody is waiting: no reason to queue.
    if (giTxCnt == 0 && _mono_us() - giLastSendUs >= RLINK_PACE_US) {
        return _rlink_tx_now(aipcSdMsg, aicSdLen);
    }
    if (giTxCnt >= RLINK_TXQ_CAP) {
        // The caller decides what a full queue means for it (the daemon
        // server never gets here: it stops reading first).
        STAT_ADD(txFullRefused);
        return -ERR_V2X_TX_FULL;
    }
    tRlinkTxSlot& slot = giTxRing[(giTxHead + giTxCnt) % RLINK_TXQ_CAP];
    memcpy(slot.msg, aipcSdMsg, static_cast<size_t>(aicSdLen));
    slot.len = aicSdLen;
    ++giTxCnt;
    _count_queued();
    STAT_ADD(txWaited);
    if (!evtimer_pending(gipTxEt, nullptr)) {
        _arm_tx_timer();
    }
    return V2X_SUCCESS;
}

V2X_API int rlink_tx_room(void)
{
    // A link that is not running has an empty queue: its callers are told
    // by rlink_send itself.
    return RLINK_TXQ_CAP - giTxCnt;
}

V2X_API void rlink_set_tx_room_sink(fRlinkTxRoom aipSink)
{
    giTxRoomSink.store(aipSink != nullptr ? aipSink : _no_room_sink);
}

V2X_API void rlink_tx_stats(tRlinkTxStats* aopStats)
{
    if (aopStats == nullptr) {
        return;
    }
    aopStats->sent = STAT_GET(txDatagrams);
    aopStats->sendErrs = STAT_GET(txErrBusy) + STAT_GET(txErrUnreachable) + STAT_GET(txErrOther);
    aopStats->waited = STAT_GET(txWaited);
    aopStats->queued = static_cast<unsigned long>(giTxCnt.load());
    aopStats->queuedMax = STAT_GET(txQueuedMax);
    aopStats->fullRefused = STAT_GET(txFullRefused);
    aopStats->droppedAtExit = STAT_GET(txDroppedAtExit);
}

V2X_API int rlink_rx_port(void)
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
    v2x_event_release(gipTxEt);
    // What had not gone out by now never will: said once, with the count.
    const int left = giTxCnt.exchange(0);
    if (left > 0) {
        STAT_ADD_N(txDroppedAtExit, static_cast<uint64_t>(left));
        LOGE("txQueue=%d dropped at exit err!!!!\n", left);
    }
    STAT_SET(txQueued, 0);
    giTxHead = 0;
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
