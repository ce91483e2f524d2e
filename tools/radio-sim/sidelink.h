// SPDX-License-Identifier: Apache-2.0
// The sidelink model of radio-sim: an LTE-V2X PC5 channel in 1 ms
// subframes, where delivery depends on who else is on the air.
//
// The channel (10 MHz, 50 resource blocks) is cut into `subchannels`
// sub-channels of `subchannelRbs` resource blocks. A message takes the
// fewest adjacent sub-channels whose data blocks (all blocks but the two of
// the control information) carry its bytes at the configured MCS, from the
// standard's transport block table (sidelink_tbs.cpp).
//
// Each station's module reserves resources by sensing-based semi-persistent
// scheduling: on a new selection it looks at the subframes of the selection
// window [n+1, n+T2], excludes the candidates that another station's
// reservation covers (as its last transmission on it announced) when that
// station was heard above the RSRP threshold (raised by 3 dB until at least
// `candidateShare` of the candidates remain), keeps the `candidateShare` of
// all candidates with the least energy measured on them (noise included,
// measured with `rssiErrorDb` of error) and picks one at random. It keeps that
// resource every `reservationMs` for a reselection counter drawn uniformly
// from 5..15 (10..30 at 50 ms, 25..75 at 20 ms); when the counter runs out it
// keeps the resource with `keepProbability`, else selects anew. A message that
// does not fit the reservation (more sub-channels, or a second message before
// the reserved subframe) gets a resource of its own by the same procedure.
//
// What a station hears of a transmission:
//   Prx = Ptx - PL(d) - X                                          [dBm]
//   PL  = WINNER+ B1 line of sight (effective antenna height h, breakpoint
//         4 h^2 f / c), never below free space
//   X   = shadowing, normal with sigma `shadowSigmaDb`, one value per pair of
//         stations (both directions alike), correlated over the change of
//         their distance with `shadowDecorrelationM`
// and the transmission is lost, in this order of causes,
//   - half-duplex:  the receiver transmits in the same subframe;
//   - sensitivity:  Prx < `sensitivityDbm`;
//   - propagation:  u < BLER(SNR), noise only;
//   - collision:    u < BLER(SINR), the interference of every other
//                   transmission of the subframe: on the same sub-channels
//                   the share of its power that falls on them, on the
//                   others its in-band emission (`inBandEmissionDb` of its
//                   power per resource block leaks onto every block of the
//                   subframe);
// with one uniform draw u per reception. BLER is the link-level curve for
// QPSK at code rate 0.7 (sidelink_bler() documents it), shifted by the
// Shannon gap of the actual code rate.
//
// CBR: per station, the share of sub-channels of the last 100 subframes whose
// received power was above `cbrThresholdDbm`. CR: per station, the share of
// sub-channels of the last 1000 subframes it used itself.
//
// Nothing here reads a clock: the caller says which subframe it is. All draws
// come from per-station streams seeded from the seed and the station's index.
#ifndef RADIO_SIM_SIDELINK_H
#define RADIO_SIM_SIDELINK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "channel.h"

namespace radiosim {

struct SidelinkParams {
    double txPowerDbm = 20.0;
    double carrierGHz = 5.91;
    double antennaHeightM = 1.5;  // effective: above the environment
    double shadowSigmaDb = 3.0;
    double shadowDecorrelationM = 25.0;
    double noiseFigureDb = 9.0;
    double sensitivityDbm = -90.5;
    double cbrThresholdDbm = -94.0;    // per sub-channel
    double rsrpThresholdDbm = -112.0;  // per resource element, before raising
    int subchannels = 4;
    int subchannelRbs = 12;
    int mcs = 9;                  // PSSCH MCS: 0..10 QPSK, 11..20 16-QAM
    int selectionWindowMs = 100;  // T2, at most the reservation period
    int reservationMs = 100;      // 20, 50, 100, 200, ... 1000
    double keepProbability = 0.0;
    double candidateShare = 0.2;
    // Error of a sub-channel's measured energy (S-RSSI) when candidates are
    // ranked, dB, normal: with the noise floor under it, reservations beyond
    // a few hundred metres all look alike.
    double rssiErrorDb = 8.0;
    // In-band emission: the share of a transmission's power per resource
    // block that leaks onto the other sub-channels of its subframe, dB.
    double inBandEmissionDb = -37.0;
    double ringM = 0.0;  // > 0: x wraps around a ring road of this length
};

// The channel's resource blocks (10 MHz).
constexpr int kSidelinkRbs = 50;
// Resource blocks of each transmission that carry its control information.
constexpr int kSciRbs = 2;

// Checks ranges and that the sub-channels fit the channel; false with
// "name = value ..." in `err`.
bool check_sidelink(const SidelinkParams& p, std::string& err);

// Transport block size in bits for `prbs` (1..50) at I_TBS `itbs` (0..26).
int sidelink_tbs(int itbs, int prbs);
// The I_TBS of a PSSCH MCS (-1 when unknown), and its bits per symbol.
int sidelink_itbs(int mcs);
int sidelink_qm(int mcs);
// Block error rate of the reference curve at `sinrDb`.
double sidelink_bler(double sinrDb);
// WINNER+ B1 LOS with the free-space floor.
double sidelink_path_loss_db(const SidelinkParams& p, double distanceM);

enum class SlLoss : uint8_t { kNone, kHalfDuplex, kSensitivity, kPropagation, kCollision };
constexpr int kSlLossCauses = 5;
const char* sl_loss_name(SlLoss l);

struct SlLinkCounters {
    uint64_t sent = 0;      // transmissions of the sender, receiver present
    uint64_t received = 0;  // decoded
    uint64_t halfDuplex = 0;
    uint64_t sensitivity = 0;
    uint64_t propagation = 0;
    uint64_t collision = 0;
};

struct SlStationCounters {
    uint64_t messages = 0;       // handed to the module
    uint64_t transmissions = 0;  // went on the air
    uint64_t selections = 0;     // new semi-persistent reservations
    uint64_t kept = 0;           // counter ran out, resource kept
    uint64_t oneShots = 0;       // messages sent on a resource of their own
    uint64_t tooLarge = 0;       // refused: more than the channel carries
    uint64_t queueFull = 0;      // refused: kMaxPending already waiting
    uint64_t raised = 0;         // selections that raised the RSRP threshold
    uint64_t absent = 0;         // refused or dropped: the station was absent
};

// One decided reception.
struct SlReception {
    uint32_t from = 0;
    uint32_t to = 0;
    uint64_t tag = 0;      // the caller's, from submit()
    int64_t subframe = 0;  // of the transmission
    int64_t queuedSf = 0;  // when the message was handed over
    SlLoss loss = SlLoss::kNone;
    double distanceM = 0.0;
    double rxDbm = 0.0;
    double sinrDb = 0.0;
};

class SlSink {
public:
    virtual ~SlSink() = default;
    // A transmission goes on the air (before its receptions).
    virtual void on_transmit(uint32_t /*from*/, uint64_t /*tag*/, int64_t /*sf*/,
                             int64_t /*queuedSf*/, int /*firstSubchannel*/, int /*count*/)
    {
    }
    virtual void on_reception(const SlReception& r) = 0;
    // A message that never went on the air: its station left (set_absent)
    // after handing it over. Reported when its subframe is played.
    virtual void on_drop(uint32_t /*from*/, uint64_t /*tag*/, int64_t /*sf*/) {}
};

class Sidelink {
public:
    static constexpr size_t kMaxPending = 16;

    Sidelink(size_t stations, const SidelinkParams& p, uint64_t seed);

    size_t size() const { return n_; }
    const SidelinkParams& params() const { return p_; }

    void set_position(size_t i, double x, double y);
    void set_absent(size_t i);
    bool present(size_t i) const { return st_[i].present; }
    double distance(size_t a, size_t b) const;
    // Receivers farther than this are not decided (0: all are). Transmissions
    // still count as interference and in the CBR everywhere.
    void set_decide_range(double m) { decideRange_ = m; }

    // Sub-channels a message of `bytes` needs (0: it does not fit the channel).
    int subchannels_for(size_t bytes) const;

    // A message of `bytes` handed to station i's module during subframe
    // `nowSf`. Returns the subframe it goes on the air in (> nowSf), or -1
    // when refused (counted: tooLarge, queueFull, or station absent).
    int64_t submit(size_t i, size_t bytes, int64_t nowSf, uint64_t tag);

    // The earliest subframe with a transmission waiting, -1 when none.
    int64_t next_subframe() const;

    // Plays subframe `sf` (subframes are played in increasing order; skipped
    // ones had nothing on the air): its transmissions go out, the receptions
    // are decided and reported to `sink`.
    void run_subframe(int64_t sf, SlSink& sink);

    // CBR of station i over the 100 subframes up to `sf`, and its CR over the
    // 1000 subframes up to `sf`, as shares (0..1).
    double cbr(size_t i, int64_t sf) const;
    double cr(size_t i, int64_t sf) const;

    // Current reservation of station i (false when it has none).
    struct Reservation {
        int64_t nextSf = 0;
        int first = 0;
        int count = 0;
        int counter = 0;  // transmissions left before reselection
        int periodMs = 0;
    };
    bool reservation(size_t i, Reservation& out) const;

    const SlStationCounters& station(size_t i) const { return st_[i].c; }
    // Per-link counters (from, to): kept only once enabled (n*n records).
    void enable_link_counters();
    const SlLinkCounters* link(size_t from, size_t to) const
    {
        return links_.empty() ? nullptr : &links_[from * n_ + to];
    }
    // Loss totals by cause over every decided reception.
    uint64_t total(SlLoss l) const { return totals_[static_cast<int>(l)]; }

    // Received power of a transmission of `from` at `to` (dBm), shadowing
    // included.
    double rx_dbm(size_t from, size_t to) const { return rxDbm_[from * n_ + to]; }

private:
    static constexpr size_t kCrRing = 128;  // transmissions per second counted in CR
    struct Pending {
        bool used = false;
        int64_t sf = 0;
        int64_t queuedSf = 0;
        uint64_t tag = 0;
        int first = 0;
        int count = 0;
        bool onReservation = false;
        bool dropped = false;  // its station left meanwhile
    };
    struct Station {
        double x = 0.0;
        double y = 0.0;
        bool present = true;
        bool moved = true;
        // reservation
        bool hasRes = false;
        int64_t resSf = 0;  // a subframe of the reservation (the next or last)
        int resFirst = 0;
        int resCount = 0;
        int counter = 0;
        int64_t lastTxSf = -1000000;
        // What its last transmission on the reservation announced to the
        // others: where it goes next, if it keeps it.
        int64_t annSf = -1000000;
        int annFirst = 0;
        int annCount = 0;
        bool annReserved = false;
        Pending pend[kMaxPending];
        size_t pendHead = 0;
        size_t pendCount = 0;
        // CBR: busy sub-channels per subframe, by sf % 100
        int64_t cbrSf[100];
        uint8_t cbrBusy[100];
        // CR: own transmissions (sf, sub-channels), a ring
        int64_t crSf[kCrRing];
        uint8_t crCount[kCrRing];
        size_t crHead = 0;
        Rng rng;
        SlStationCounters c;
    };
    struct Due {
        int64_t sf;
        uint32_t station;
        uint32_t slot;
    };
    struct OnAir {
        uint32_t from;
        int first;
        int count;
        uint64_t tag;
        int64_t queuedSf;
    };

    size_t pair_index(size_t a, size_t b) const;
    void refresh_links();
    void update_link(size_t a, size_t b);
    void select(size_t i, int64_t nowSf, int count, int64_t& sf, int& first);
    int reselection_counter(Station& s);
    double gaussian(Rng& r);
    int period() const { return p_.reservationMs; }
    bool own_busy(const Station& s, int64_t sf) const;
    void play(int64_t sf, SlSink& sink);

    size_t n_;
    SidelinkParams p_;
    std::vector<Station> st_;
    std::vector<float> rxDbm_;  // from * n + to
    std::vector<float> rxMw_;
    std::vector<float> dist_;      // from * n + to, metres
    std::vector<float> shadow_;    // per unordered pair
    std::vector<float> shadowAt_;  // distance the pair's shadowing was drawn at
    std::vector<SlLinkCounters> links_;
    uint64_t totals_[kSlLossCauses] = {};
    double decideRange_ = 0.0;
    bool anyMoved_ = true;
    // scratch for selection and subframes, sized once
    std::vector<OnAir> air_;
    std::vector<double> candRsrp_;
    std::vector<double> candLoad_;
    std::vector<uint32_t> candIdx_;
    std::vector<double> scLoad_;
    std::vector<double> scRsrp_;
    std::vector<double> busy_;
    std::vector<double> blerShift_;  // by sub-channel count
    std::vector<double> noiseMw_;    // by sub-channel count
    std::vector<Due> due_;           // min-heap by subframe
    std::vector<uint8_t> txNow_;     // transmitting in the subframe being played
    std::vector<double> noiseDbm_;   // by sub-channel count
    // The BLER curve in steps of kBlerStep dB from 0 dB, and the measurement
    // error's factors: no logarithm or power per reception or candidate.
    static constexpr double kBlerStep = 0.05;
    std::vector<double> blerTable_;
    double leakShare_ = 0.0;         // in-band emission as a share of power
    std::vector<double> errFactor_;  // 10^(sigma q / 10), q the normal's quantiles
    double bler_fast(double sinrDb) const;
    Rng shadowRng_;
};

}  // namespace radiosim

#endif
