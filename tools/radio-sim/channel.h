// SPDX-License-Identifier: Apache-2.0
// The channel model of radio-sim: who hears a frame, and when.
//
// Each station has a position in metres (or is absent: a vehicle that has
// not entered or has left the SUMO network). A frame sent by A reaches B
//
//   - never when B or A is absent, or when the distance d between them is
//     above the range R ("dropped by range");
//   - otherwise with the probability of a log-distance path loss and a
//     logistic reception curve ("dropped by the model" when not):
//
//         PL(d) = L0 + 10 n log10(max(d, d0) / d0)               [dB]
//         Pr(d) = Ptx - PL(d)                                     [dBm]
//         p(d)  = 1 / (1 + exp((S - Pr(d)) / w))
//
//     with Ptx the transmit power, L0 the loss at the reference distance d0,
//     n the path-loss exponent, S the sensitivity (half the frames arrive
//     where Pr = S) and w the width of the curve's edge in dB;
//   - after a latency of t0 + U * j, U uniform in [0, 1) and drawn once per
//     frame: the sender's access to the channel, after which the one
//     transmission reaches every receiver at the same time. Never earlier
//     than t0, always earlier than t0 + j.
//
// R defaults to the distance at which p falls to 1%. Every random draw comes
// from the sender's own stream (seeded from the scenario's seed and the
// sender's index): one for the frame's latency (begin_frame), then one per
// receiver for its reception (decide), so the n-th frame of a station has the
// same fate in every run with the same seed, however the other stations'
// frames interleave with it.
//
// Nothing here reads a clock or allocates after construction: times come
// from the caller (an injected clock), randomness from the seeded streams.
#ifndef RADIO_SIM_CHANNEL_H
#define RADIO_SIM_CHANNEL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "rx_record.h"

namespace radiosim {

struct ModelParams {
    double txPowerDbm = 23.0;     // Ptx
    double refLossDb = 47.86;     // L0: free space at 5.9 GHz over 1 m
    double refDistanceM = 1.0;    // d0
    double exponent = 2.75;       // n
    double sensitivityDbm = -95.0;  // S
    double widthDb = 2.0;         // w (> 0)
    double rangeM = 0.0;          // R; 0: where p(d) falls to 1%
    double latencyMs = 2.0;       // t0
    double jitterMs = 1.0;        // j
};

// Checks the parameters' ranges; false with the reason in `err`.
bool check_model(const ModelParams& m, std::string& err);

// A parameter's value and the range it must lie in (inclusive, finite).
struct RangeCheck {
    const char* name;
    double v;
    double lo;
    double hi;
};
// False for the first value out of its range (or not finite), with
// "PREFIXname = v is outside lo..hi" in `err`.
bool check_ranges(const RangeCheck* checks, size_t n, const char* prefix, std::string& err);

// PL(d) in dB.
double path_loss_db(const ModelParams& m, double distanceM);
// The logistic curve alone, without the range limit.
double curve_probability(const ModelParams& m, double distanceM);
// The distance at which the curve gives `p` (0 < p < 1).
double distance_at(const ModelParams& m, double p);
// R: the range given, or the distance of 1%.
double effective_range(const ModelParams& m);
// p(d) with the range limit: 0 beyond R.
double reception_probability(const ModelParams& m, double distanceM);

// xoshiro256** seeded through splitmix64: the same numbers on every platform.
class Rng {
public:
    explicit Rng(uint64_t seed = 0);
    uint64_t next();
    double uniform();  // [0, 1), 53 bits

private:
    uint64_t s_[4];
};

// An injected clock: nanoseconds on a monotonic time line.
class Clock {
public:
    virtual ~Clock() = default;
    virtual int64_t now_ns() = 0;
};

struct LinkCounters {
    uint64_t sent = 0;          // frames of the sender while the receiver was listed
    uint64_t delivered = 0;     // frames that reached the receiver's socket
    uint64_t droppedRange = 0;  // beyond the range, or one end absent
    uint64_t droppedModel = 0;  // within range, lost by the reception curve
    uint64_t failed = 0;        // decided to arrive, but the send to the receiver failed
    uint64_t late = 0;          // delivered more than kLateNs after their due time
    uint64_t tampered = 0;      // frames offered to the receiver after --tamper corrupted them
};

enum class Verdict { kDeliver, kOutOfRange, kLost };

struct Decision {
    Verdict verdict = Verdict::kDeliver;
    int64_t delayNs = 0;
    double distanceM = 0.0;
};

// A delivery counts as late when it leaves more than this after its due time.
constexpr int64_t kLateNs = 10 * 1000 * 1000;

class Channel {
public:
    Channel(size_t stations, const ModelParams& params, uint64_t seed);

    size_t size() const { return n_; }
    const ModelParams& params() const { return params_; }
    double range() const { return range_; }

    void set_position(size_t i, double x, double y);
    void set_absent(size_t i);
    bool present(size_t i) const { return pos_[i].present; }
    double x(size_t i) const { return pos_[i].x; }
    double y(size_t i) const { return pos_[i].y; }
    double distance(size_t a, size_t b) const;

    // A new frame of `from`: draws its latency.
    void begin_frame(size_t from);
    // The fate of the sender's current frame at receiver `to`; counts it.
    Decision decide(size_t from, size_t to);

    LinkCounters& counters(size_t from, size_t to) { return links_[from * n_ + to]; }
    const LinkCounters& counters(size_t from, size_t to) const { return links_[from * n_ + to]; }

    // Offered and delivered frames by distance, in bins of kBinM metres.
    static constexpr double kBinM = 25.0;
    static constexpr size_t kBins = 80;  // 0 to 2 km; farther ones go into the last bin
    struct Bin {
        uint64_t offered = 0;
        uint64_t delivered = 0;
    };
    const Bin& bin(size_t k) const { return bins_[k]; }
    // Counted by the caller once the frame has reached the receiver's socket.
    void count_delivered(size_t from, size_t to, double distanceM, int64_t latencyNs,
                         int64_t lateNs);

    // Latency histogram of delivered frames: 0.1 ms bins up to 50 ms.
    static constexpr size_t kLatBins = 500;
    uint64_t latency_bin(size_t k) const { return latency_[k]; }
    int64_t latency_min_ns() const { return latMin_; }
    int64_t latency_max_ns() const { return latMax_; }
    double latency_mean_ns() const;

private:
    struct Pos {
        double x = 0.0;
        double y = 0.0;
        bool present = true;
    };
    size_t bin_of(double d) const;

    size_t n_;
    ModelParams params_;
    double range_;
    std::vector<Pos> pos_;
    std::vector<Rng> streams_;
    std::vector<int64_t> frameDelay_;  // per sender: the current frame's latency
    std::vector<LinkCounters> links_;
    Bin bins_[kBins];
    uint64_t latency_[kLatBins] = {};
    int64_t latMin_ = -1;
    int64_t latMax_ = -1;
    double latSum_ = 0.0;
    uint64_t latCount_ = 0;
};

// The counters of a run as one JSON object (see docs/simulation.md, "Many
// stations"). `names` has one name per station; `modelOn` tells whether the
// model decided (false: every frame went to every other station at once).
// With `rec` (--rx-record), each link also has "records" and "rssi_half_db"
// (of the last record; null when unknown), a "stations" list gives each
// station's "l2_id", and "rx_record_skipped" counts frames too long for one.
std::string counters_json(const Channel& ch, const std::vector<std::string>& names, bool modelOn,
                          uint64_t seed, const RxRecordStats* rec = nullptr);

// Pending deliveries: each frame is stored once in a byte arena, each of its
// deliveries waits in a heap ordered by due time (then by the order they were
// scheduled). Fixed capacity, no allocation after construction.
class DeliveryQueue {
public:
    struct Due {
        const uint8_t* bytes = nullptr;
        size_t len = 0;
        uint32_t frame = 0;  // handle for release()
        uint16_t from = 0;
        uint16_t to = 0;
        int64_t dueNs = 0;
        int64_t sentNs = 0;  // when the frame came on the air
        double distanceM = 0.0;
        RxMeta meta;  // what --rx-record writes beside the sender's id
    };

    DeliveryQueue(size_t maxFrames, size_t arenaBytes, size_t maxPending);

    // Stores a frame; false when the arena or the frame table is full.
    bool add_frame(const uint8_t* bytes, size_t len, uint16_t from, int64_t sentNs,
                   uint32_t& frame);
    // One delivery of a stored frame; false when the heap is full.
    bool schedule(uint32_t frame, uint16_t to, int64_t dueNs, double distanceM,
                  const RxMeta& meta = RxMeta());
    // Releases a frame that got no delivery scheduled (its count is 0).
    void drop_if_unused(uint32_t frame);
    // Keeps a stored frame while it waits for something other than a
    // scheduled delivery (the sidelink model's resource); release() ends it.
    void hold(uint32_t frame) { ++frames_[frame].refs; }
    // The bytes of a stored frame that is still held or scheduled.
    const uint8_t* frame_bytes(uint32_t frame, size_t& len) const
    {
        len = frames_[frame].len;
        return arena_.data() + frames_[frame].off;
    }

    bool empty() const { return heap_.empty(); }
    size_t pending() const { return heap_.size(); }
    int64_t next_due_ns() const { return heap_.empty() ? -1 : heap_.front().dueNs; }
    // The earliest delivery due at `nowNs` or before; false when none is.
    bool pop_due(int64_t nowNs, Due& out);
    // Called once a popped delivery has been sent (or given up).
    void release(uint32_t frame);

private:
    struct Frame {
        size_t off = 0;
        size_t len = 0;
        size_t end = 0;  // arena offset after this frame (wrap included)
        uint16_t from = 0;
        int64_t sentNs = 0;
        uint32_t refs = 0;
        bool wrapStart = false;  // placed at 0 because the end had no room
    };
    struct Entry {
        int64_t dueNs;
        uint64_t seq;
        uint32_t frame;
        uint16_t to;
        double distanceM;
        RxMeta meta;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const
        {
            return a.dueNs != b.dueNs ? a.dueNs > b.dueNs : a.seq > b.seq;
        }
    };
    void free_tail();

    std::vector<uint8_t> arena_;
    size_t head_ = 0;   // next free byte
    size_t tail_ = 0;   // first byte still in use
    bool wrapped_ = false;
    std::vector<Frame> frames_;
    size_t fHead_ = 0;  // next frame slot
    size_t fTail_ = 0;  // oldest frame slot in use
    size_t fCount_ = 0;
    std::vector<Entry> heap_;
    uint64_t seq_ = 0;
};

}  // namespace radiosim

#endif
