// SPDX-License-Identifier: Apache-2.0
// One application connection of the daemon server: reading its stream one
// message at a time (header, then payload, a carry only for a payload that
// is not all there), writing to it whole messages with backpressure, and
// the idle rule for a message its peer never finishes.
// Its lines carry the daemon server's name, which hosts filter on.
#define LOG_SRC_NAME "domn_serv.cpp"

#include <errno.h>
#include <event2/event.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "core_stats.hpp"
#include "dmn_server.hpp"
#include "rlink.hpp"
#include "sec_lyr.hpp"
#include "self_log.h"
#include "v2x_clock.hpp"
#include "v2x_lock.hpp"
#include "xfuncs.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

namespace {

constexpr uint32_t kHdr = V2X_CORE_APP_HDR_LEN;

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

// Allocates the carry for the payload under way, sized to it, and keeps the
// aicLen bytes of it already read. False when that fails: the connection is
// closed, as the message can no longer be read whole.
bool _start_carry(tClitNetCon* c, const char* aipcPart, uint32_t aicLen)
{
    c->rxCarry = static_cast<char*>(xzMalloc(static_cast<int>(c->rxNeed)));
    if (c->rxCarry == nullptr) {
        LOGE("xzMalloc() err!!!!\n");
        dmn_close_conn(c);
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
    dmn_close_conn(c);
    return RxStep::Closed;
}

// Collects the header. Done: it is complete and passed its type's rule (or
// broke it, and the stream was dropped: *aopRefused); else the step to end
// the read with.
RxStep _read_header(tClitNetCon* c, buffer_t* rx, bool* aopRefused)
{
    *aopRefused = false;
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
    if (dmn_check_header(c, type, len) != 0) {
        c->rxHdr.have = 0;
        ++c->rxSeq;
        _drop_pending(c, rx);
        *aopRefused = true;
        return RxStep::Done;
    }
    if (c->kind == kConnPending && type != V2X_CTL_HELLO) {
        dmn_set_kind(c, kConnApp);
    }
    c->rxNeed = len;
    return RxStep::Done;
}

// Before a DSM request's payload is read: only the queue of its own
// priority matters, told by the bytes that say which, looked at and left in
// the socket. True when that queue is full (c->waitPrio says which).
bool _no_room_ahead(tClitNetCon* c, uint32_t aicType)
{
    if (sec_lyr_tx_waiting_total() < TxScheduler::kCap) {
        return false;  // no priority's queue can be full: no look needed
    }
    char cls[V2X_DSM_REQ_EX_PRE_LEN + offsetof(tDSMReq, priority) + 1];
    const uint32_t clsLen = dmn_tx_class_len(aicType);
    const ssize_t n = recv(c->fd, cls, clsLen, MSG_PEEK | MSG_DONTWAIT);
    if (n != static_cast<ssize_t>(clsLen)) {
        return false;
    }
    const uint8_t prio = dmn_tx_prio(aicType, cls);
    if (sec_lyr_tx_room_prio(prio) != 0) {
        return false;
    }
    c->waitPrio = prio;
    return true;
}

// Reads the payload under way. Done with *aopPld set once it is complete;
// else the step to end the read with.
RxStep _read_payload(tClitNetCon* c, buffer_t* rx, const char** aopPld)
{
    if (c->rxCarry != nullptr && c->rxHeld == c->rxNeed) {
        *aopPld = c->rxCarry;  // complete already, held back for room
        return RxStep::Done;
    }
    if (c->rxCarry == nullptr && c->rxNeed <= static_cast<uint32_t>(rx->size)) {
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
        *aopPld = rx->ptr;
        return RxStep::Done;
    }
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
    *aopPld = c->rxCarry;
    return RxStep::Done;
}

// A complete request: decoded once, held back when its queue filled since
// its header came in, else counted and handed to its layer.
RxStep _complete(tClitNetCon* c, buffer_t* rx, const char* aipcPld)
{
    const uint32_t type = c->rxHdr.type();
    DmnReq req;
    dmn_decode(c, type, aipcPld, c->rxNeed, &req);
    if (dmn_is_dsm_req(type) && req.decodeRc == 0 && sec_lyr_tx_room_prio(req.dsm.meta.prio) == 0) {
        c->waitPrio = req.dsm.meta.prio;
        if (aipcPld == rx->ptr) {
            // The shared buffer is the next reader's: keep it apart.
            const bool kept = _start_carry(c, rx->ptr, c->rxNeed);
            _clear_rx(rx, c->rxNeed);
            return kept ? RxStep::Full : RxStep::Closed;
        }
        return RxStep::Full;
    }
    ++c->msgsIn;
    c->bytesIn += kHdr + c->rxNeed;
    if (c->kind != kConnCtl && type != V2X_CTL_HELLO) {
        // A control connection's hello and queries are no application
        // traffic.
        STAT_ADD(appMsgsIn);
        STAT_ADD_N(appBytesIn, kHdr + c->rxNeed);
    }
    // A request that fails is logged and answered by its handler; the
    // stream stays framed for the messages behind it.
    (void)dmn_dispatch(c, req);
    if (aipcPld == rx->ptr) {
        _clear_rx(rx, c->rxNeed);
    }
    dmn_conn_drop_carry(c);
    ++c->rxSeq;
    return RxStep::Done;
}

// Writes as much of the pending rest as the socket takes. Returns true when
// nothing is pending any more. Called with c->txLk held.
bool _flush_pending(tClitNetCon* c)
{
    while (c->txOff < c->txLen) {
        ssize_t n = dmn_server().sendFn.load()(c->fd, c->txPend + c->txOff, c->txLen - c->txOff,
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

}  // namespace

void dmn_conn_drop_carry(tClitNetCon* c)
{
    free(c->rxCarry);
    c->rxCarry = nullptr;
    c->rxHdr.have = 0;
    c->rxNeed = 0;
    c->rxHeld = 0;
}

RxStep dmn_conn_read_one(tClitNetCon* c)
{
    buffer_t* rx = gipRxBufer;
    if (rx == nullptr) {
        return RxStep::Wait;
    }
    if (!c->rxHdr.complete()) {
        bool refused = false;
        const RxStep st = _read_header(c, rx, &refused);
        if (st != RxStep::Done || refused) {
            return st;
        }
    }
    const uint32_t type = c->rxHdr.type();
    if (c->rxCarry == nullptr && dmn_is_dsm_req(type) && _no_room_ahead(c, type)) {
        return RxStep::Full;
    }
    const char* pld = nullptr;
    const RxStep st = _read_payload(c, rx, &pld);
    if (st != RxStep::Done) {
        return st;
    }
    return _complete(c, rx, pld);
}

bool dmn_conn_holds_partial(const tClitNetCon* c)
{
    // A message the core holds back for room in the transmit queue waits for
    // the core, not for the peer.
    if (c->rxHdr.have == 0 || !list_empty(&c->waitNode)) {
        return false;
    }
    return c->rxCarry == nullptr || c->rxHeld < c->rxNeed;
}

void dmn_conn_idle_watch(tClitNetCon* c)
{
    if (!dmn_conn_holds_partial(c)) {
        if (c->idleArmed) {
            event_del(c->pIdleEt);
            c->idleArmed = false;
        }
        return;
    }
    if (c->idleArmed && c->idleSeq == c->rxSeq) {
        return;
    }
    const int ms = dmn_server().idleMs.load(std::memory_order_relaxed);
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    evtimer_add(c->pIdleEt, &tv);
    c->idleArmed = true;
    c->idleSeq = c->rxSeq;
}

// One connection held an incomplete message for the whole timeout: it
// holds a place and memory that whole messages would use, so it goes.
void dmn_conn_idle_cb(int, short, void* aipArg)
{
    auto* c = static_cast<tClitNetCon*>(aipArg);
    c->idleArmed = false;
    if (!dmn_conn_holds_partial(c)) {
        return;
    }
    STAT_ADD(appIdleClosed);
    DmnServer& s = dmn_server();
    const long long now = v2x_mono_ms();
    const int ms = s.idleMs.load(std::memory_order_relaxed);
    if (now - s.idleLastMs > ms) {
        LOGE("fd=%d uid=%d pid=%d held an incomplete message (%u bytes) for %d ms, closed; "
             "more such closes are counted in appIdleClosed err!!!!\n",
             c->fd, static_cast<int>(c->uid), static_cast<int>(c->pid),
             c->rxHdr.have + c->rxHeld, ms);
    }
    s.idleLastMs = now;
    dmn_close_conn(c, true, true);
}

void dmn_conn_tx_flush_cb(int, short, void* aipArg)
{
    auto* c = static_cast<tClitNetCon*>(aipArg);
    MutexLock lk(c->txLk);
    if (!_flush_pending(c) && c->pTxEt != nullptr) {
        event_add(c->pTxEt, nullptr);
    }
}

void dmn_conn_tx_one(tClitNetCon* c, const char* aipcMsg, uint32_t aicLen)
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
    ssize_t n = dmn_server().sendFn.load()(c->fd, aipcMsg, aicLen, MSG_DONTWAIT | MSG_NOSIGNAL);
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
