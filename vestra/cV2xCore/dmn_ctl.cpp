// SPDX-License-Identifier: Apache-2.0
// The daemon server's control queries: counters, registrations, providers
// and connections, answered to the asking connection alone. Core thread.
#include <string.h>
#include <unistd.h>

#include <mutex>

#include "core_mib.h"
#include "core_stats.hpp"
#include "dme.h"
#include "dmn_server.hpp"
#include "rlink.hpp"
#include "v2x_clock.hpp"
#include "v2x_core.h"
#include "v2x_lock.hpp"

namespace {

constexpr uint32_t kHdr = V2X_CORE_APP_HDR_LEN;

#ifndef V2X_LIB_VERSION
#define V2X_LIB_VERSION ""
#endif
#ifndef V2X_BUILD_TEXT
#define V2X_BUILD_TEXT ""
#endif

// What V2X_CTL_STATUS tells beside the counters. The name is set from any
// thread; the start is marked by the core thread and cleared by whichever
// thread releases the core: all of it under one lock, taken for a copy.
struct StatusState {
    std::mutex mtx;
    char station[V2X_STATION_NAME_MAX + 1] = "";
    char sockPath[sizeof(tV2XCtlStatus::sockPath)] = "";
    uint64_t startRealUs = 0;
    uint64_t startMonoUs = 0;  // 0: the core does not run
};

StatusState& status_state()
{
    static StatusState st;
    return st;
}

// Copies a text into a fixed field, cut to fit and always terminated.
template <size_t N>
void put_text(char (&aopField)[N], const char* aipcText)
{
    const size_t n = strnlen(aipcText, N - 1);
    memcpy(aopField, aipcText, n);
    aopField[n] = '\0';
}

void _status_rec(tV2XCtlStatus* aopRec)
{
    tV2XCtlStatus r;
    memset(&r, 0, sizeof(r));
    r.size = sizeof(r);
    r.version = V2X_CTL_VERSION;
    {
        StatusState& st = status_state();
        std::lock_guard<std::mutex> lk(st.mtx);
        if (st.startMonoUs != 0) {
            r.startRealUs = st.startRealUs;
            r.uptimeMs = (v2x_mono_us() - st.startMonoUs) / 1000u;
        }
        put_text(r.station, st.station);
        put_text(r.sockPath, st.sockPath);
    }
    r.pid = static_cast<int32_t>(getpid());
    r.appConnections = static_cast<uint32_t>(STAT_GET(appConnections));
    r.ctlConnections = static_cast<uint32_t>(STAT_GET(ctlConnections));
    r.maxClients = static_cast<uint32_t>(dmn_server().listener.connMax.load());
    put_text(r.libVersion, V2X_LIB_VERSION);
    put_text(r.build, V2X_BUILD_TEXT);
    memcpy(aopRec, &r, sizeof(r));
}

// The record of one connection as a query shows it. Core thread, with the
// client list's lock held.
void _client_rec(tClitNetCon* c, tV2XCtlClientEx* aopRec)
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
    tV2XCtlClientEx x;
    x.c = r;
    x.txGatedExpired = c->txGatedExpired;
    x.txGatedSuperseded = c->txGatedSuperseded;
    memcpy(aopRec, &x, sizeof(x));
}

// Fills the application connections' records from aicFirst on: how many
// fit. Control connections are not listed.
uint32_t _list_clients(tV2XCtlClientEx* aopRecs, uint32_t aicFirst, uint32_t aicMax,
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
static_assert((sizeof(tV2XCtlClientEx) - kClientSumFrom) % sizeof(uint64_t) == 0,
              "tV2XCtlClientEx holds only 64-bit fields from msgsIn on");

// The asker's own process: its other application connections summed into
// one record (the asker is the short connection that asks; control
// connections are not summed). The kernel's word on the peer decides whose
// they are, not anything the asker says. 1, or 0 when the process has no
// other application connection.
uint32_t _self_clients(const tClitNetCon* aicAsker, tV2XCtlClientEx* aopRec)
{
    tV2XCtlClientEx sum;
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
        tV2XCtlClientEx r;
        _client_rec(c, &r);
        if (n++ == 0) {
            sum = r;
            continue;
        }
        sum.c.heldBack |= r.c.heldBack;
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

}  // namespace

void dmn_status_started(const char* aipcSockPath)
{
    StatusState& st = status_state();
    std::lock_guard<std::mutex> lk(st.mtx);
    put_text(st.sockPath, aipcSockPath != nullptr ? aipcSockPath : "");
    st.startRealUs = v2x_real_us();
    // Never 0, which says "not running".
    st.startMonoUs = v2x_mono_us() | 1u;
}

void dmn_status_stopped()
{
    StatusState& st = status_state();
    std::lock_guard<std::mutex> lk(st.mtx);
    st.startRealUs = st.startMonoUs = 0;
}

extern "C" V2X_API int v2x_core_set_station_name(const char* aipcName)
{
    const char* name = aipcName != nullptr ? aipcName : "";
    const size_t len = strnlen(name, V2X_STATION_NAME_MAX + 1);
    if (len > V2X_STATION_NAME_MAX) {
        return -ERR_V2X_PARM_CONT;
    }
    // Control characters would break the one-line outputs that show it.
    for (size_t i = 0; i < len; ++i) {
        const unsigned char ch = static_cast<unsigned char>(name[i]);
        if (ch < 0x20 || ch == 0x7f) {
            return -ERR_V2X_PARM_CONT;
        }
    }
    StatusState& st = status_state();
    std::lock_guard<std::mutex> lk(st.mtx);
    memcpy(st.station, name, len);
    st.station[len] = '\0';
    return V2X_SUCCESS;
}

// A list longer than one message is read in parts: the asker asks again from
// first + count.
void dmn_answer_query(tClitNetCon* c, const char* aipcPld)
{
    tV2XCtlReq req;
    memcpy(&req, aipcPld, sizeof(req));
    tV2XCtlRsp rsp;
    memset(&rsp, 0, sizeof(rsp));
    rsp.what = req.what;
    rsp.version = V2X_CTL_VERSION;
    rsp.first = req.first;
    char* buf = dmn_server().ctlBuf;
    char* recs = buf + kHdr + sizeof(rsp);
    const uint32_t room = static_cast<uint32_t>(sizeof(dmn_server().ctlBuf) - kHdr - sizeof(rsp));
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
        rsp.recSize = sizeof(tV2XCtlClientEx);
        rsp.count = _list_clients(reinterpret_cast<tV2XCtlClientEx*>(recs), req.first,
                                  room / rsp.recSize, &rsp.total);
    } else if (req.what == V2X_CTL_STATUS) {
        rsp.recSize = sizeof(tV2XCtlStatus);
        rsp.first = 0;
        rsp.count = rsp.total = 1;
        _status_rec(reinterpret_cast<tV2XCtlStatus*>(recs));
    } else if (req.what == V2X_CTL_SELF) {
        rsp.recSize = sizeof(tV2XCtlClientEx);
        rsp.first = 0;
        rsp.count = rsp.total = _self_clients(c, reinterpret_cast<tV2XCtlClientEx*>(recs));
    } else {
        rsp.status = V2X_CTL_BAD_WHAT;
    }
    memcpy(buf + kHdr, &rsp, sizeof(rsp));
    const uint32_t pld = static_cast<uint32_t>(sizeof(rsp)) + rsp.count * rsp.recSize;
    core_app_hdr_put(buf, V2X_CTL_QUERY_RSP, static_cast<uint16_t>(pld));
    ReadLock lk(giContCltLk);
    dmn_conn_tx_one(c, buf, kHdr + pld);
}
