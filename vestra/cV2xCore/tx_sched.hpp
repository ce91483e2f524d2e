// SPDX-License-Identifier: Apache-2.0
// The radio link's transmit scheduler (library-internal): who goes next when
// several applications share the radio's one datagram per 70 ms.
//
// One bounded queue per priority (0 lowest, 7 most urgent). When the gap has
// passed the drain timer sends from the most urgent non-empty queue; within
// one priority the connections take turns and each connection's requests
// keep their order. A request whose lifetime ran out while it waited is
// dropped, never sent; a superseding request drops the requests of its
// connection and AID that still wait. Every drop is counted by its reason
// here, where it is decided, and told to the owner for the connection.
//
// The scheduler keeps no clock and no timer of its own: it reads the time
// and arms its one timer through TxRuntime, so tests drive it by hand.
// Fixed storage, no allocation; one thread (the core's) calls it.
//
// In front of the queues stands the congestion gate (tx_gate.hpp): while
// the channel is busy it holds a priority's datagrams for longer than the
// radio's gap. They wait in their queue meanwhile, where lifetime and
// supersede act on them as on any waiting datagram; such drops are counted
// apart (GatedExpired, GatedSuperseded).
#ifndef VESTRA_TX_SCHED_HPP
#define VESTRA_TX_SCHED_HPP

#include <stdint.h>

#include "dsm_mem.hpp"
#include "tx_gate.hpp"

// What a datagram is, for the scheduler: whose it is and how it may wait.
struct TxMeta {
    uint32_t connId;     // asking connection; 0 is the core's own (advertisements)
    uint32_t aid;        // for supersede
    uint8_t prio;        // 0..7; larger values count as 7
    uint8_t supersede;   // non-zero: replaces what waits for connId and aid
    uint32_t lifetimeMs; // 0: waits as long as it takes
    uint64_t callUs;     // monotonic time the lifetime counts from; 0: when submitted
};

// Writes a datagram straight into the place it leaves from (a queue place
// or the send-now buffer), so that its bytes are copied once: the length
// was given beside it, and aipCtx is the caller's.
using TxFill = void (*)(char* aopBuf, const void* aipCtx);

// GatedExpired and GatedSuperseded: the same, of a datagram the congestion
// gate held.
enum class TxDrop : uint8_t {
    Expired = 0,
    Superseded = 1,
    AtExit = 2,
    GatedExpired = 3,
    GatedSuperseded = 4
};
constexpr int kTxDropReasons = 5;

// The clock and the one timer of the scheduler.
class TxRuntime {
public:
    virtual ~TxRuntime() = default;
    // Monotonic microseconds.
    virtual uint64_t now_us() = 0;
    // Calls TxScheduler::on_timer() once after aicDelayUs; replaces an
    // earlier arm that has not fired.
    virtual void arm(uint64_t aicDelayUs) = 0;
    virtual void cancel() = 0;
};

// Where the scheduler's datagrams and news go.
class TxOutput {
public:
    virtual ~TxOutput() = default;
    // Puts one datagram on the air now: 0 or a negated code.
    virtual int transmit(const char* aipcMsg, int aicLen) = 0;
    // A datagram of aicMeta left after waiting aicWaitedUs (0 when it did
    // not wait); aicRc is transmit()'s result.
    virtual void sent(const TxMeta& aicMeta, uint64_t aicWaitedUs, int aicRc) = 0;
    // An accepted datagram will never leave.
    virtual void dropped(const TxMeta& aicMeta, TxDrop aicWhy) = 0;
    // A place of priority aicPrio came free.
    virtual void room(uint8_t aicPrio) = 0;
};

class TxScheduler {
public:
    static constexpr int kPrioCnt = 8;
    static constexpr uint8_t kPrioMax = kPrioCnt - 1;
    // Places per priority: as many as the DSM layer has send buffers.
    static constexpr int kCap = DSM_MEM_CNT;
    // Minimum gap between two datagrams on the monotonic clock.
    static constexpr uint64_t kGapUs = V2X_LIM_RLINK_PACE_US;
    // Room in front of a DSM buffer for the headers of the layers above the
    // link (the access layer's 13 bytes are the most; aces_lyr.cpp checks).
    static constexpr int kHeadroom = 13;
    // Longest datagram: a DSM buffer behind that headroom.
    static constexpr int kMaxLen = DSM_MEM_MSG_LEN + kHeadroom;

    static uint8_t clamp_prio(uint8_t aicPrio) { return aicPrio > kPrioMax ? kPrioMax : aicPrio; }

    void bind(TxRuntime* aipRt, TxOutput* aipOut);

    // Sends at once when nothing waits and the gap has passed, else copies
    // the datagram into its priority's queue. 0 (sent or queued), transmit()'s
    // code when it was sent at once and refused, -ERR_V2X_PARM_CONT (no
    // bytes, or not bound), -ERR_V2X_SEND_LEN (longer than kMaxLen) or
    // -ERR_V2X_TX_FULL (its priority's queue is full; nothing kept).
    int submit(const TxMeta& aicMeta, const char* aipcMsg, int aicLen);
    // submit, with the datagram's aicLen bytes written by aipFill where it
    // is kept or sent from; never called when the datagram is refused or
    // dropped on arrival. Same results.
    int submit_fill(const TxMeta& aicMeta, int aicLen, TxFill aipFill, const void* aipCtx);
    // The timer: drops what expired, then sends one datagram if the gap has
    // passed, and arms itself again while anything waits.
    void on_timer();
    // Free places of a priority, after dropping what expired.
    int room(uint8_t aicPrio);
    // Waiting now: all, of one priority, of one connection (any priority),
    // of one connection at one priority.
    int queued() const { return total_; }
    int queued(uint8_t aicPrio) const { return cnt_[clamp_prio(aicPrio)]; }
    int queued_by(uint32_t aicConn) const;
    int queued_by(uint32_t aicConn, uint8_t aicPrio) const;
    // Drops everything that waits (the link stops): their count.
    int drop_all();

    // The congestion gate, to configure and to read.
    TxGate& gate() { return gate_; }
    // A CBR measurement for the gate (see TxGate::on_cbr); the drain timer
    // is armed again, as the gate may open sooner or later than it was.
    void on_cbr(uint16_t aicPermille, uint64_t aicMeasUs);

private:
    struct Slot {
        TxMeta meta;
        uint64_t inUs;       // what its lifetime counts from (the call, or its acceptance)
        uint64_t seq;        // arrival order
        uint8_t used;
        uint8_t gated;       // the congestion gate held it
        int len;
        char msg[kMaxLen];
    };
    int _submit(const TxMeta& aicMeta, int aicLen, const char* aipcMsg, TxFill aipFill,
                const void* aipCtx);
    // Microseconds until the gap after the last datagram has passed.
    uint64_t _gap_left(uint64_t aicNow) const;
    // Microseconds until some waiting datagram may leave: the gap, and the
    // gate of every priority that waits.
    uint64_t _wait_left(uint64_t aicNow);
    void _arm_for_gap();
    // The gate holds the priority now: its waiting datagrams are marked.
    bool _held(int aicPrio, uint64_t aicNow);
    void _free(int aicPrio, int aicIdx);
    void _drop(int aicPrio, int aicIdx, TxDrop aicWhy);
    void _tell_drop(const TxMeta& aicMeta, TxDrop aicWhy);
    int _purge(uint64_t aicNow);
    int _supersede(const TxMeta& aicMeta);
    int _pick(int aicPrio);
    void _count_queued();
    void _drop_news(TxDrop aicWhy);
    void _episode_end();

    TxGate gate_;
    TxRuntime* rt_ = nullptr;
    TxOutput* out_ = nullptr;
    Slot slots_[kPrioCnt][kCap] = {};
    // A filled datagram that leaves at once is written here.
    char now_[kMaxLen] = {};
    int cnt_[kPrioCnt] = {};
    int total_ = 0;
    int64_t lastConn_[kPrioCnt] = {-1, -1, -1, -1, -1, -1, -1, -1};
    uint64_t seq_ = 0;
    uint64_t lastUs_ = 0;
    bool sentOnce_ = false;
    // Drops of the current episode (since the queue last ran empty), by
    // reason: the first of each reason is logged, the sum when it ends.
    uint64_t episode_[kTxDropReasons] = {};
};

#endif
