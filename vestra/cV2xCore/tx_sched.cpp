// SPDX-License-Identifier: Apache-2.0
// The transmit scheduler of the radio link: priorities, turns, lifetimes.
#include "tx_sched.hpp"

#include <string.h>

#include "core_stats.hpp"
#include "v2x_types.h"
#include "self_log.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_RUN;

namespace {

constexpr const char* kDropName[kTxDropReasons] = {"expired", "superseded", "dropped at exit",
                                                   "expired at the congestion gate",
                                                   "superseded at the congestion gate"};

// Due at its deadline: a datagram never leaves as old as its lifetime or
// older.
bool _expired(uint64_t aicSinceUs, uint32_t aicLifetimeMs, uint64_t aicNowUs)
{
    return aicLifetimeMs != 0 && aicNowUs - aicSinceUs >= static_cast<uint64_t>(aicLifetimeMs) * 1000u;
}

}  // namespace

void TxScheduler::bind(TxRuntime* aipRt, TxOutput* aipOut)
{
    rt_ = aipRt;
    out_ = aipOut;
}

int TxScheduler::queued_by(uint32_t aicConn) const
{
    int n = 0;
    for (int p = 0; p < kPrioCnt; ++p) {
        n += queued_by(aicConn, static_cast<uint8_t>(p));
    }
    return n;
}

int TxScheduler::queued_by(uint32_t aicConn, uint8_t aicPrio) const
{
    const int p = clamp_prio(aicPrio);
    int n = 0;
    for (const Slot& s : slots_[p]) {
        n += (s.used != 0 && s.meta.connId == aicConn) ? 1 : 0;
    }
    return n;
}

void TxScheduler::_count_queued()
{
    const auto now = static_cast<uint64_t>(total_);
    STAT_SET(txQueued, now);
    if (now > STAT_GET(txQueuedMax)) {
        STAT_SET(txQueuedMax, now);
    }
}

// A drop is counted by its reason where it is decided; the first of each
// reason in an episode is said, the rest are in the counters.
void TxScheduler::_drop_news(TxDrop aicWhy)
{
    const auto r = static_cast<size_t>(aicWhy);
    switch (aicWhy) {
    case TxDrop::Expired:
        STAT_ADD(txExpired);
        if (episode_[r]++ == 0) {
            LOGE("txQueue: requests expire before their turn, the radio is busier than their lifetime err!!!!\n");
        }
        break;
    case TxDrop::Superseded:
        // Asked for by the application: worth a line, not an error.
        STAT_ADD(txSuperseded);
        if (episode_[r]++ == 0) {
            LOGR("txQueue: waiting requests superseded by newer ones------\n");
        }
        break;
    case TxDrop::AtExit:
        STAT_ADD(txDroppedAtExit);
        ++episode_[r];
        break;
    case TxDrop::GatedExpired:
        // The channel is busy and the gate keeps this station to its share:
        // what waited longer than its lifetime goes, as it should.
        STAT_ADD(txGatedExpired);
        if (episode_[r]++ == 0) {
            LOGR("txQueue: requests expire at the congestion gate, the channel is busy------\n");
        }
        break;
    case TxDrop::GatedSuperseded:
        STAT_ADD(txGatedSuperseded);
        if (episode_[r]++ == 0) {
            LOGR("txQueue: requests superseded at the congestion gate------\n");
        }
        break;
    }
}

// The queue ran empty: what the episode dropped is said once, in sum.
void TxScheduler::_episode_end()
{
    for (int r = 0; r < kTxDropReasons; ++r) {
        if (episode_[r] > 0 && static_cast<TxDrop>(r) != TxDrop::AtExit) {
            LOGR("txQueue empty again, %llu requests %s------\n",
                 static_cast<unsigned long long>(episode_[r]), kDropName[r]);
        }
        episode_[r] = 0;
    }
}

void TxScheduler::_free(int aicPrio, int aicIdx)
{
    slots_[aicPrio][aicIdx].used = 0;
    --cnt_[aicPrio];
    --total_;
}

void TxScheduler::_tell_drop(const TxMeta& aicMeta, TxDrop aicWhy)
{
    _drop_news(aicWhy);
    if (out_ != nullptr) {
        out_->dropped(aicMeta, aicWhy);
    }
}

void TxScheduler::_drop(int aicPrio, int aicIdx, TxDrop aicWhy)
{
    const Slot& s = slots_[aicPrio][aicIdx];
    const TxMeta meta = s.meta;
    if (s.gated != 0) {
        aicWhy = aicWhy == TxDrop::Expired      ? TxDrop::GatedExpired
                 : aicWhy == TxDrop::Superseded ? TxDrop::GatedSuperseded
                                                : aicWhy;
    }
    _free(aicPrio, aicIdx);
    _tell_drop(meta, aicWhy);
}

int TxScheduler::_purge(uint64_t aicNow)
{
    if (total_ == 0) {
        return 0;
    }
    int n = 0;
    for (int p = 0; p < kPrioCnt; ++p) {
        bool freed = false;
        // Only as far as the priority's waiting datagrams go: most of the
        // time one waits, in one of eighty places.
        for (int i = 0, left = cnt_[p]; i < kCap && left > 0; ++i) {
            const Slot& s = slots_[p][i];
            if (s.used == 0) {
                continue;
            }
            --left;
            if (_expired(s.inUs, s.meta.lifetimeMs, aicNow)) {
                _drop(p, i, TxDrop::Expired);
                freed = true;
                ++n;
            }
        }
        if (freed && out_ != nullptr) {
            out_->room(static_cast<uint8_t>(p));
        }
    }
    if (n > 0) {
        _count_queued();
    }
    return n;
}

int TxScheduler::_supersede(const TxMeta& aicMeta)
{
    int n = 0;
    for (int p = 0; p < kPrioCnt; ++p) {
        for (int i = 0; i < kCap; ++i) {
            const Slot& s = slots_[p][i];
            if (s.used != 0 && s.meta.connId == aicMeta.connId && s.meta.aid == aicMeta.aid) {
                _drop(p, i, TxDrop::Superseded);
                ++n;
            }
        }
    }
    return n;
}

// The next slot of a priority: the connection after the one served last
// (by number, wrapping round), and its oldest request.
int TxScheduler::_pick(int aicPrio)
{
    const int64_t last = lastConn_[aicPrio];
    int after = -1;  // the best slot of a connection numbered above last
    int first = -1;  // the best slot of all, for the wrap
    const Slot* q = slots_[aicPrio];
    auto better = [q](int aicCand, int aicBest) {
        return aicBest < 0 || q[aicCand].meta.connId < q[aicBest].meta.connId ||
               (q[aicCand].meta.connId == q[aicBest].meta.connId && q[aicCand].seq < q[aicBest].seq);
    };
    for (int i = 0; i < kCap; ++i) {
        if (q[i].used == 0) {
            continue;
        }
        if (static_cast<int64_t>(q[i].meta.connId) > last && better(i, after)) {
            after = i;
        }
        if (better(i, first)) {
            first = i;
        }
    }
    const int pick = after >= 0 ? after : first;
    if (pick >= 0) {
        lastConn_[aicPrio] = q[pick].meta.connId;
    }
    return pick;
}

uint64_t TxScheduler::_gap_left(uint64_t aicNow) const
{
    const uint64_t elapsed = aicNow - lastUs_;
    return sentOnce_ && elapsed < kGapUs ? kGapUs - elapsed : 0;
}

uint64_t TxScheduler::_wait_left(uint64_t aicNow)
{
    uint64_t gate = UINT64_MAX;
    for (int p = kPrioMax; p >= 0 && gate > 0; --p) {
        if (cnt_[p] == 0) {
            continue;
        }
        const uint64_t at = gate_.open_at(static_cast<uint8_t>(p), aicNow);
        const uint64_t left = at > aicNow ? at - aicNow : 0;
        gate = left < gate ? left : gate;
    }
    const uint64_t gap = _gap_left(aicNow);
    return gate == UINT64_MAX || gate < gap ? gap : gate;
}

void TxScheduler::_arm_for_gap()
{
    rt_->arm(_wait_left(rt_->now_us()));
}

bool TxScheduler::_held(int aicPrio, uint64_t aicNow)
{
    if (gate_.open_at(static_cast<uint8_t>(aicPrio), aicNow) <= aicNow) {
        return false;
    }
    Slot* q = slots_[aicPrio];
    for (int i = 0, left = cnt_[aicPrio]; i < kCap && left > 0; ++i) {
        if (q[i].used == 0) {
            continue;
        }
        --left;
        if (q[i].gated == 0) {
            q[i].gated = 1;
            STAT_ADD(txGateHeld);
        }
    }
    return true;
}

void TxScheduler::on_cbr(uint16_t aicPermille, uint64_t aicMeasUs)
{
    // Not bound yet (the link has not started): the measurement's time
    // stands for now, and nothing waits to be woken.
    gate_.on_cbr(aicPermille, aicMeasUs, rt_ != nullptr ? rt_->now_us() : aicMeasUs);
    if (total_ > 0 && rt_ != nullptr && out_ != nullptr) {
        _arm_for_gap();
    }
}

int TxScheduler::submit(const TxMeta& aicMeta, const char* aipcMsg, int aicLen)
{
    if (aipcMsg == nullptr) {
        return -ERR_V2X_PARM_CONT;
    }
    return _submit(aicMeta, aicLen, aipcMsg, nullptr, nullptr);
}

int TxScheduler::submit_fill(const TxMeta& aicMeta, int aicLen, TxFill aipFill, const void* aipCtx)
{
    if (aipFill == nullptr) {
        return -ERR_V2X_PARM_CONT;
    }
    return _submit(aicMeta, aicLen, nullptr, aipFill, aipCtx);
}

// One datagram, from bytes (copied when it waits) or from a fill (written
// where it leaves from).
int TxScheduler::_submit(const TxMeta& aicMeta, int aicLen, const char* aipcMsg, TxFill aipFill,
                         const void* aipCtx)
{
    if (rt_ == nullptr || out_ == nullptr || aicLen <= 0) {
        return -ERR_V2X_PARM_CONT;
    }
    if (aicLen > kMaxLen) {
        LOGE("aicSdLen(%d) too long err!!!!\n", aicLen);
        return -ERR_V2X_SEND_LEN;
    }
    TxMeta meta = aicMeta;
    meta.prio = clamp_prio(meta.prio);
    const uint64_t now = rt_->now_us();
    // The lifetime counts from the call when it is known; a time that has
    // not come yet counts as now, so no sender can lengthen its own.
    const uint64_t since = meta.callUs != 0 && meta.callUs < now ? meta.callUs : now;
    if (_expired(since, meta.lifetimeMs, now)) {
        // Expired on its way to the core: accepted, and dropped unsent.
        _tell_drop(meta, TxDrop::Expired);
        return V2X_SUCCESS;
    }
    // Nothing waits, the gap has passed and the gate is open: no reason to
    // queue.
    const bool open = gate_.open_at(meta.prio, now) <= now;
    if (total_ == 0 && _gap_left(now) == 0 && open) {
        const char* msg = aipcMsg;
        if (msg == nullptr) {
            aipFill(now_, aipCtx);
            msg = now_;
        }
        const int rc = out_->transmit(msg, aicLen);
        lastUs_ = rt_->now_us();
        sentOnce_ = true;
        gate_.on_sent(meta.prio, lastUs_);
        out_->sent(meta, 0, rc);
        return rc;
    }
    _purge(now);
    if (meta.supersede != 0) {
        _supersede(meta);
    }
    const int p = meta.prio;
    if (cnt_[p] >= kCap) {
        // The caller decides what a full queue means for it (the daemon
        // server never gets here: it stops reading first).
        STAT_ADD(txFullRefused);
        return -ERR_V2X_TX_FULL;
    }
    int idx = 0;
    while (slots_[p][idx].used != 0) {
        ++idx;
    }
    Slot& s = slots_[p][idx];
    s.meta = meta;
    s.inUs = since;
    s.seq = ++seq_;
    s.len = aicLen;
    if (aipcMsg != nullptr) {
        memcpy(s.msg, aipcMsg, static_cast<size_t>(aicLen));
    } else {
        aipFill(s.msg, aipCtx);
    }
    s.used = 1;
    s.gated = 0;
    if (!open) {
        s.gated = 1;
        STAT_ADD(txGateHeld);
    }
    ++cnt_[p];
    ++total_;
    STAT_ADD(txWaited);
    _count_queued();
    // One timer for the whole queue: armed by the first datagram to wait,
    // kept armed by the drain while anything does. Behind a gate that holds
    // others for longer, a newcomer may be due sooner: armed again.
    if (total_ == 1 || gate_.rule() != V2X_CC_RULE_OFF) {
        _arm_for_gap();
    }
    return V2X_SUCCESS;
}

void TxScheduler::on_timer()
{
    if (rt_ == nullptr || out_ == nullptr || total_ == 0) {
        return;
    }
    const uint64_t now = rt_->now_us();
    _purge(now);
    if (total_ == 0) {
        _episode_end();
        return;
    }
    // A timer that fires a little early (the event loop's clock is coarser
    // than ours) waits for the rest of the gap instead of sending.
    if (_gap_left(now) > 0) {
        _arm_for_gap();
        return;
    }
    // The most urgent priority the gate lets go; those it holds wait.
    int p = kPrioMax;
    while (p >= 0 && (cnt_[p] == 0 || _held(p, now))) {
        --p;
    }
    if (p < 0) {
        _arm_for_gap();
        return;
    }
    const int idx = _pick(p);
    Slot& s = slots_[p][idx];
    const int rc = out_->transmit(s.msg, s.len);
    lastUs_ = rt_->now_us();
    sentOnce_ = true;
    gate_.on_sent(static_cast<uint8_t>(p), lastUs_);
    const TxMeta meta = s.meta;
    const uint64_t waited = now - s.inUs;
    _free(p, idx);
    _count_queued();
    out_->sent(meta, waited, rc);
    if (total_ > 0) {
        _arm_for_gap();
    } else {
        _episode_end();
    }
    // A place is free again: whoever held back for room may go on.
    out_->room(static_cast<uint8_t>(p));
}

int TxScheduler::room(uint8_t aicPrio)
{
    if (rt_ != nullptr) {
        _purge(rt_->now_us());
    }
    return kCap - cnt_[clamp_prio(aicPrio)];
}

int TxScheduler::drop_all()
{
    if (rt_ != nullptr) {
        rt_->cancel();
    }
    const int n = total_;
    for (int p = 0; p < kPrioCnt; ++p) {
        for (int i = 0; i < kCap; ++i) {
            if (slots_[p][i].used != 0) {
                _drop(p, i, TxDrop::AtExit);
            }
        }
        lastConn_[p] = -1;
    }
    for (uint64_t& e : episode_) {
        e = 0;
    }
    STAT_SET(txQueued, 0);
    return n;
}
