// SPDX-License-Identifier: Apache-2.0
// The daemon server's control queries: counters, registrations, providers
// and connections, answered to the asking connection alone. Core thread.
#include <string.h>

#include "core_mib.h"
#include "core_stats.hpp"
#include "dme.h"
#include "dmn_server.hpp"
#include "rlink.hpp"
#include "v2x_lock.hpp"

namespace {

constexpr uint32_t kHdr = V2X_CORE_APP_HDR_LEN;

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

}  // namespace

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
    memcpy(buf + kHdr, &rsp, sizeof(rsp));
    const uint32_t pld = static_cast<uint32_t>(sizeof(rsp)) + rsp.count * rsp.recSize;
    core_app_hdr_put(buf, V2X_CTL_QUERY_RSP, static_cast<uint16_t>(pld));
    ReadLock lk(giContCltLk);
    dmn_conn_tx_one(c, buf, kHdr + pld);
}
