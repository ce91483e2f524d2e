// SPDX-License-Identifier: Apache-2.0
#include "sidelink.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace radiosim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRbHz = 180e3;
constexpr double kThermalDbmHz = -174.0;
// A data resource block of a PSSCH subframe: 12 subcarriers by 9 symbols
// (14 less 4 reference symbols and the guard symbol).
constexpr double kResPerRb = 12.0 * 9.0;
constexpr int kCrcBits = 24;

double to_mw(double dbm)
{
    return std::pow(10.0, dbm / 10.0);
}

double to_dbm(double mw)
{
    return 10.0 * std::log10(mw);
}

// Shannon's SNR for `bitsPerRe` bits per resource element, dB.
double shannon_db(double bitsPerRe)
{
    return to_dbm(std::pow(2.0, bitsPerRe) - 1.0);
}

// The reference the BLER curve was measured for: 190 bytes, I_TBS 9 on 10
// data blocks.
double reference_bits_per_re()
{
    return (sidelink_tbs(9, 10) + kCrcBits) / (10 * kResPerRb);
}

}  // namespace

bool check_sidelink(const SidelinkParams& p, std::string& err)
{
    const RangeCheck checks[] = {
        {"tx_power_dbm", p.txPowerDbm, -40.0, 33.0},
        {"carrier_ghz", p.carrierGHz, 0.4, 100.0},
        {"antenna_height_m", p.antennaHeightM, 0.1, 100.0},
        {"shadow_sigma_db", p.shadowSigmaDb, 0.0, 20.0},
        {"shadow_decorrelation_m", p.shadowDecorrelationM, 0.1, 10000.0},
        {"noise_figure_db", p.noiseFigureDb, 0.0, 30.0},
        {"sensitivity_dbm", p.sensitivityDbm, -150.0, 0.0},
        {"cbr_threshold_dbm", p.cbrThresholdDbm, -150.0, 0.0},
        {"rsrp_threshold_dbm", p.rsrpThresholdDbm, -150.0, 0.0},
        {"subchannels", static_cast<double>(p.subchannels), 1.0, 20.0},
        {"subchannel_rbs", static_cast<double>(p.subchannelRbs), kSciRbs + 1.0, 50.0},
        {"mcs", static_cast<double>(p.mcs), 0.0, 20.0},
        {"selection_window_ms", static_cast<double>(p.selectionWindowMs), 1.0, 100.0},
        {"reservation_ms", static_cast<double>(p.reservationMs), 20.0, 1000.0},
        {"keep_probability", p.keepProbability, 0.0, 1.0},
        {"candidate_share", p.candidateShare, 0.01, 1.0},
        {"rssi_error_db", p.rssiErrorDb, 0.0, 20.0},
        {"in_band_emission_db", p.inBandEmissionDb, -200.0, 0.0},
        {"ring_m", p.ringM, 0.0, 1.0e6},
    };
    if (!check_ranges(checks, sizeof(checks) / sizeof(checks[0]), "", err)) {
        return false;
    }
    char buf[200];
    if (p.subchannels * p.subchannelRbs > kSidelinkRbs) {
        snprintf(buf, sizeof(buf),
                 "subchannels = %d: %d sub-channels of %d resource blocks do not fit the "
                 "channel's %d",
                 p.subchannels, p.subchannels, p.subchannelRbs, kSidelinkRbs);
        err = buf;
        return false;
    }
    const int r = p.reservationMs;
    if (r != 20 && r != 50 && r % 100 != 0) {
        snprintf(buf, sizeof(buf), "reservation_ms = %d: 20, 50 or a multiple of 100", r);
        err = buf;
        return false;
    }
    if (p.selectionWindowMs > r) {
        snprintf(buf, sizeof(buf),
                 "selection_window_ms = %d is longer than the reservation (%d ms)",
                 p.selectionWindowMs, r);
        err = buf;
        return false;
    }
    return true;
}

// Link-level BLER against SINR for a 190-byte message at QPSK, code rate
// about 0.7, on 10 data resource blocks (3GPP R1-160284, the curve the
// published mode-4 results use), linear between these points: certain loss
// at 0 dB and below, 1e-3 from 16 dB, 1e-4 beyond 20 dB.
double sidelink_bler(double sinrDb)
{
    struct Point {
        double db;
        double bler;
    };
    static constexpr Point kCurve[] = {
        {0.0, 1.0},    {2.0, 0.9},    {4.0, 0.7},    {6.0, 0.4},   {8.0, 0.13},
        {10.0, 0.045}, {12.0, 0.017}, {14.0, 0.007}, {16.0, 1e-3}, {20.0, 1e-3},
    };
    if (!(sinrDb > kCurve[0].db)) {
        return 1.0;
    }
    constexpr size_t n = sizeof(kCurve) / sizeof(kCurve[0]);
    if (sinrDb > kCurve[n - 1].db) {
        return 1e-4;
    }
    for (size_t k = 1; k < n; ++k) {
        if (sinrDb <= kCurve[k].db) {
            const Point& a = kCurve[k - 1];
            const Point& b = kCurve[k];
            return a.bler + (b.bler - a.bler) * (sinrDb - a.db) / (b.db - a.db);
        }
    }
    return 1e-4;
}

// WINNER+ B1, line of sight: 22.7 log10 d + 27 + 20 log10 f up to the
// breakpoint 4 h h' f / c, 40 log10 d + 7.56 - 17.3 log10 h - 17.3 log10 h'
// + 2.7 log10 f beyond (f in GHz); never less than free space; 3 m at least.
double sidelink_path_loss_db(const SidelinkParams& p, double distanceM)
{
    const double d = std::max(distanceM, 3.0);
    const double f = p.carrierGHz;
    const double h = p.antennaHeightM;
    const double breakpoint = 4.0 * h * h * f * 1e9 / 3e8;
    double pl;
    if (d < breakpoint) {
        pl = 22.7 * std::log10(d) + 27.0 + 20.0 * std::log10(f);
    } else {
        pl = 40.0 * std::log10(d) + 7.56 - 2.0 * 17.3 * std::log10(h) + 2.7 * std::log10(f);
    }
    const double freeSpace = 20.0 * std::log10(d) + 46.4 + 20.0 * std::log10(f / 5.0);
    return std::max(pl, freeSpace);
}

const char* sl_loss_name(SlLoss l)
{
    switch (l) {
    case SlLoss::kNone:
        return "received";
    case SlLoss::kHalfDuplex:
        return "half_duplex";
    case SlLoss::kSensitivity:
        return "sensitivity";
    case SlLoss::kPropagation:
        return "propagation";
    case SlLoss::kCollision:
        return "collision";
    }
    return "?";
}

Sidelink::Sidelink(size_t stations, const SidelinkParams& p, uint64_t seed)
    : n_(stations), p_(p), st_(stations), rxDbm_(stations * stations, -1000.0f),
      rxMw_(stations * stations, 0.0f), dist_(stations * stations, 0.0f),
      shadow_(stations > 1 ? stations * (stations - 1) / 2 : 0), shadowAt_(shadow_.size(), -1.0f),
      shadowRng_(seed ^ 0x5d1e1a4b5ull)
{
    for (size_t i = 0; i < n_; ++i) {
        st_[i].rng = Rng(seed * 1000003ull + i);
        for (size_t k = 0; k < 100; ++k) {
            st_[i].cbrSf[k] = -1000000;
            st_[i].cbrBusy[k] = 0;
        }
        for (size_t k = 0; k < kCrRing; ++k) {
            st_[i].crSf[k] = -1000000;
            st_[i].crCount[k] = 0;
        }
    }
    for (float& s : shadow_) {
        s = static_cast<float>(gaussian(shadowRng_) * p_.shadowSigmaDb);
    }
    const int sc = std::max(p_.subchannels, 1);
    blerShift_.assign(static_cast<size_t>(sc) + 1, 0.0);
    noiseMw_.assign(static_cast<size_t>(sc) + 1, 1.0);
    const int itbs = std::max(sidelink_itbs(p_.mcs), 0);
    for (int L = 1; L <= sc; ++L) {
        const int rbs = std::min(L * p_.subchannelRbs, kSidelinkRbs);
        const int dataRbs = std::max(rbs - kSciRbs, 1);
        const double bitsPerRe = (sidelink_tbs(itbs, dataRbs) + kCrcBits) / (dataRbs * kResPerRb);
        blerShift_[static_cast<size_t>(L)] =
            shannon_db(bitsPerRe) - shannon_db(reference_bits_per_re());
        noiseMw_[static_cast<size_t>(L)] =
            to_mw(kThermalDbmHz + to_dbm(rbs * kRbHz) + p_.noiseFigureDb);
    }
    noiseDbm_.resize(noiseMw_.size());
    for (size_t k = 0; k < noiseMw_.size(); ++k) {
        noiseDbm_[k] = to_dbm(noiseMw_[k]);
    }
    blerTable_.resize(static_cast<size_t>(20.0 / kBlerStep) + 2);
    for (size_t k = 0; k < blerTable_.size(); ++k) {
        blerTable_[k] = sidelink_bler(static_cast<double>(k) * kBlerStep);
    }
    // The normal quantiles at (k + 0.5) / 1024 (by bisection): a draw of 10
    // bits picks one.
    errFactor_.resize(1024);
    for (size_t k = 0; k < errFactor_.size(); ++k) {
        const double q = (static_cast<double>(k) + 0.5) / static_cast<double>(errFactor_.size());
        double lo = -8.0;
        double hi = 8.0;
        for (int it = 0; it < 60; ++it) {
            const double mid = 0.5 * (lo + hi);
            (0.5 * std::erfc(-mid / std::sqrt(2.0)) < q ? lo : hi) = mid;
        }
        errFactor_[k] = to_mw(0.5 * (lo + hi) * p_.rssiErrorDb);
    }
    leakShare_ = to_mw(p_.inBandEmissionDb);
    due_.reserve(n_ * kMaxPending);
    air_.reserve(n_);
    txNow_.assign(n_, 0);
    const size_t window = static_cast<size_t>(std::max(p_.selectionWindowMs, 1));
    scLoad_.assign(window * static_cast<size_t>(sc), 0.0);
    scRsrp_.assign(window * static_cast<size_t>(sc), 0.0);
    candRsrp_.assign(window * static_cast<size_t>(sc), 0.0);
    candLoad_.assign(window * static_cast<size_t>(sc), 0.0);
    candIdx_.reserve(window * static_cast<size_t>(sc));
    busy_.assign(static_cast<size_t>(sc), 0.0);
}

double Sidelink::gaussian(Rng& r)
{
    double u1 = r.uniform();
    while (u1 <= 0.0) {
        u1 = r.uniform();
    }
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * r.uniform());
}

double Sidelink::bler_fast(double sinrDb) const
{
    if (!(sinrDb > 0.0)) {
        return 1.0;
    }
    const double pos = sinrDb / kBlerStep;
    const size_t k = static_cast<size_t>(pos);
    if (k + 1 >= blerTable_.size()) {
        return sidelink_bler(sinrDb);
    }
    const double f = pos - static_cast<double>(k);
    return blerTable_[k] + (blerTable_[k + 1] - blerTable_[k]) * f;
}

void Sidelink::set_position(size_t i, double x, double y)
{
    Station& s = st_[i];
    if (s.present && s.x == x && s.y == y) {
        return;
    }
    s.x = x;
    s.y = y;
    s.present = true;
    s.moved = true;
    anyMoved_ = true;
}

void Sidelink::set_absent(size_t i)
{
    Station& s = st_[i];
    s.present = false;
    s.hasRes = false;  // a module that left ends its reservation
    s.annReserved = false;
    // What it had waiting is lost with it, even should it come back before
    // the subframes those messages had.
    for (Pending& q : s.pend) {
        q.dropped = q.used;
    }
}

double Sidelink::distance(size_t a, size_t b) const
{
    double dx = std::fabs(st_[a].x - st_[b].x);
    if (p_.ringM > 0.0) {
        dx = std::fmod(dx, p_.ringM);
        dx = std::min(dx, p_.ringM - dx);
    }
    const double dy = st_[a].y - st_[b].y;
    return std::sqrt(dx * dx + dy * dy);
}

size_t Sidelink::pair_index(size_t a, size_t b) const
{
    if (a > b) {
        std::swap(a, b);
    }
    return a * n_ - a * (a + 1) / 2 + (b - a - 1);
}

void Sidelink::update_link(size_t a, size_t b)
{
    const double d = distance(a, b);
    const size_t k = pair_index(a, b);
    float& sh = shadow_[k];
    float& at = shadowAt_[k];
    if (at >= 0.0f) {
        // Gudmundson: the shadowing of the new distance keeps exp(-dd/D) of
        // the old one.
        const double dd = std::fabs(d - at);
        if (dd > 0.0) {
            const double rho = std::exp(-dd / p_.shadowDecorrelationM);
            sh = static_cast<float>(rho * sh + std::sqrt(1.0 - rho * rho) * p_.shadowSigmaDb *
                                                   gaussian(shadowRng_));
        }
    }
    at = static_cast<float>(d);
    const double rx = p_.txPowerDbm - sidelink_path_loss_db(p_, d) - sh;
    const float rxf = static_cast<float>(rx);
    const float mw = static_cast<float>(to_mw(rx));
    rxDbm_[a * n_ + b] = rxf;
    rxDbm_[b * n_ + a] = rxf;
    rxMw_[a * n_ + b] = mw;
    rxMw_[b * n_ + a] = mw;
    dist_[a * n_ + b] = static_cast<float>(d);
    dist_[b * n_ + a] = static_cast<float>(d);
}

void Sidelink::refresh_links()
{
    if (!anyMoved_) {
        return;
    }
    for (size_t a = 0; a < n_; ++a) {
        if (!st_[a].moved) {
            continue;
        }
        for (size_t b = 0; b < n_; ++b) {
            // A pair of two moved stations is updated once, from its lower end.
            if (b != a && (!st_[b].moved || b > a)) {
                update_link(a, b);
            }
        }
    }
    for (Station& s : st_) {
        s.moved = false;
    }
    anyMoved_ = false;
}

int Sidelink::subchannels_for(size_t bytes) const
{
    const int itbs = sidelink_itbs(p_.mcs);
    if (itbs < 0 || bytes > 100000) {
        return 0;
    }
    const int bits = static_cast<int>(bytes) * 8;
    for (int L = 1; L <= p_.subchannels; ++L) {
        const int dataRbs = L * p_.subchannelRbs - kSciRbs;
        if (dataRbs >= 1 && dataRbs <= kSidelinkRbs && sidelink_tbs(itbs, dataRbs) >= bits) {
            return L;
        }
    }
    return 0;
}

int Sidelink::reselection_counter(Station& s)
{
    // 5..15 at 100 ms and longer, scaled up for shorter periods so that a
    // reservation lasts about as long.
    int lo = 5;
    int hi = 15;
    if (p_.reservationMs == 50) {
        lo = 10;
        hi = 30;
    } else if (p_.reservationMs == 20) {
        lo = 25;
        hi = 75;
    }
    return lo + static_cast<int>(s.rng.uniform() * (hi - lo + 1));
}

bool Sidelink::own_busy(const Station& s, int64_t sf) const
{
    for (const Pending& q : s.pend) {
        if (q.used && q.sf == sf) {
            return true;
        }
    }
    return false;
}

void Sidelink::select(size_t i, int64_t nowSf, int count, int64_t& sf, int& first)
{
    Station& me = st_[i];
    const int S = p_.subchannels;
    const int W = p_.selectionWindowMs;
    const int P = period();
    const int starts = S - count + 1;
    const double lowest = -std::numeric_limits<double>::infinity();
    std::fill(scLoad_.begin(), scLoad_.begin() + W * S, 0.0);
    std::fill(scRsrp_.begin(), scRsrp_.begin() + W * S, lowest);
    const int64_t w0 = nowSf + 1;
    const int64_t w1 = nowSf + W;
    // What the sensing tells: the reservation each station announced with
    // its last transmission on it, one period ahead (and on, should the
    // period be shorter than the window). Its received energy counts for the
    // ranking; it excludes candidates when its control information was
    // decoded (this station was not transmitting itself then). A reservation
    // chosen but not yet used is unknown to the others, as on the air.
    for (size_t j = 0; j < n_; ++j) {
        const Station& o = st_[j];
        if (j == i || !o.present || !o.annReserved || nowSf - o.annSf > 1000) {
            continue;
        }
        const double mw = rxMw_[j * n_ + i];
        const bool heard = me.lastTxSf != o.annSf && me.annSf != o.annSf;
        const double rsrp = rxDbm_[j * n_ + i] - to_dbm(12.0 * o.annCount * p_.subchannelRbs);
        for (int64_t occ = o.annSf + P; occ <= w1; occ += P) {
            if (occ < w0) {
                continue;
            }
            const size_t row = static_cast<size_t>(occ - w0) * static_cast<size_t>(S);
            for (int s = o.annFirst; s < o.annFirst + o.annCount && s < S; ++s) {
                scLoad_[row + static_cast<size_t>(s)] += mw;
                if (heard) {
                    double& r = scRsrp_[row + static_cast<size_t>(s)];
                    r = std::max(r, rsrp);
                }
            }
        }
    }
    // The energy the module measured on each sub-channel: the reservations'
    // power over the noise floor, with the measurement's error.
    const double floorMw = noiseMw_[1];  // one sub-channel's noise
    for (size_t k = 0; k < static_cast<size_t>(W * S); ++k) {
        const double err =
            p_.rssiErrorDb > 0.0 ? errFactor_[static_cast<size_t>(me.rng.next() >> 54)] : 1.0;
        scLoad_[k] = (scLoad_[k] + floorMw) * err;
    }
    const double never = std::numeric_limits<double>::infinity();
    const size_t total = static_cast<size_t>(W) * static_cast<size_t>(starts);
    for (int w = 0; w < W; ++w) {
        const bool mine = own_busy(me, w0 + w);
        const size_t row = static_cast<size_t>(w) * static_cast<size_t>(S);
        for (int st = 0; st < starts; ++st) {
            const size_t c =
                static_cast<size_t>(w) * static_cast<size_t>(starts) + static_cast<size_t>(st);
            double r = lowest;
            double load = 0.0;
            for (int s = st; s < st + count; ++s) {
                r = std::max(r, scRsrp_[row + static_cast<size_t>(s)]);
                load += scLoad_[row + static_cast<size_t>(s)];
            }
            candRsrp_[c] = mine ? never : r;  // never on top of its own transmissions
            candLoad_[c] = load;
        }
    }
    const size_t need =
        std::max<size_t>(1, static_cast<size_t>(std::ceil(p_.candidateShare * total)));
    double th = p_.rsrpThresholdDbm;
    for (int round = 0;; ++round) {
        size_t left = 0;
        for (size_t c = 0; c < total; ++c) {
            left += candRsrp_[c] <= th ? 1 : 0;
        }
        if (left >= need || round > 100) {
            break;
        }
        th += 3.0;
        if (round == 0) {
            ++me.c.raised;
        }
    }
    candIdx_.clear();
    for (size_t c = 0; c < total; ++c) {
        if (candRsrp_[c] <= th) {
            candIdx_.push_back(static_cast<uint32_t>(c));
        }
    }
    if (candIdx_.empty()) {
        // Every subframe of the window carries its own transmissions already
        // (a window of a few subframes): the first free one after it.
        sf = w1 + 1;
        while (own_busy(me, sf)) {
            ++sf;
        }
        first = 0;
        return;
    }
    // The least loaded share of all candidates, then one of them at random.
    size_t keep = std::max<size_t>(1, static_cast<size_t>(p_.candidateShare * total));
    keep = std::min(keep, candIdx_.size());
    std::nth_element(candIdx_.begin(), candIdx_.begin() + static_cast<long>(keep) - 1,
                     candIdx_.end(), [this](uint32_t a, uint32_t b) {
                         return candLoad_[a] != candLoad_[b] ? candLoad_[a] < candLoad_[b] : a < b;
                     });
    const size_t pick = std::min(keep - 1, static_cast<size_t>(me.rng.uniform() * keep));
    const uint32_t c = candIdx_[pick];
    sf = w0 + static_cast<int64_t>(c / static_cast<uint32_t>(starts));
    first = static_cast<int>(c % static_cast<uint32_t>(starts));
}

int64_t Sidelink::submit(size_t i, size_t bytes, int64_t nowSf, uint64_t tag)
{
    Station& s = st_[i];
    ++s.c.messages;
    if (!s.present) {
        ++s.c.absent;
        return -1;
    }
    const int count = subchannels_for(bytes);
    if (count == 0) {
        ++s.c.tooLarge;
        return -1;
    }
    if (s.pendCount == kMaxPending) {
        ++s.c.queueFull;
        return -1;
    }
    refresh_links();
    const int P = period();
    const bool reselect =
        !s.hasRes || s.counter <= 0 || count > s.resCount || nowSf - s.lastTxSf > 1000;
    if (reselect) {
        int64_t sf = 0;
        int first = 0;
        select(i, nowSf, count, sf, first);
        s.hasRes = true;
        s.resSf = sf;
        s.resFirst = first;
        s.resCount = count;
        s.counter = reselection_counter(s);
        ++s.c.selections;
    }
    int64_t occ = s.resSf;
    if (occ <= nowSf) {
        occ += ((nowSf + 1 - occ + P - 1) / P) * P;
    }
    Pending q;
    q.used = true;
    q.queuedSf = nowSf;
    q.tag = tag;
    if (!own_busy(s, occ)) {
        q.sf = occ;
        q.first = s.resFirst;
        q.count = s.resCount;
        q.onReservation = true;
    } else {
        // The reserved subframe already carries an earlier message: this one
        // gets a resource of its own, chosen the same way.
        select(i, nowSf, count, q.sf, q.first);
        q.count = count;
        q.onReservation = false;
        ++s.c.oneShots;
    }
    size_t slot = 0;
    while (s.pend[slot].used) {
        ++slot;
    }
    s.pend[slot] = q;
    ++s.pendCount;
    due_.push_back(Due{q.sf, static_cast<uint32_t>(i), static_cast<uint32_t>(slot)});
    std::push_heap(due_.begin(), due_.end(), [](const Due& a, const Due& b) {
        return a.sf != b.sf ? a.sf > b.sf : a.station > b.station;
    });
    return q.sf;
}

int64_t Sidelink::next_subframe() const
{
    return due_.empty() ? -1 : due_.front().sf;
}

void Sidelink::run_subframe(int64_t sf, SlSink& sink)
{
    while (!due_.empty() && due_.front().sf <= sf) {
        play(due_.front().sf, sink);
    }
}

bool Sidelink::reservation(size_t i, Reservation& out) const
{
    const Station& s = st_[i];
    if (!s.hasRes) {
        return false;
    }
    out.nextSf = s.resSf;
    out.first = s.resFirst;
    out.count = s.resCount;
    out.counter = s.counter;
    out.periodMs = period();
    return true;
}

void Sidelink::enable_link_counters()
{
    if (links_.empty()) {
        links_.assign(n_ * n_, SlLinkCounters{});
    }
}

double Sidelink::cbr(size_t i, int64_t sf) const
{
    const Station& s = st_[i];
    uint64_t busy = 0;
    for (size_t k = 0; k < 100; ++k) {
        if (s.cbrSf[k] <= sf && s.cbrSf[k] > sf - 100) {
            busy += s.cbrBusy[k];
        }
    }
    return static_cast<double>(busy) / (100.0 * p_.subchannels);
}

double Sidelink::cr(size_t i, int64_t sf) const
{
    const Station& s = st_[i];
    uint64_t used = 0;
    for (size_t k = 0; k < kCrRing; ++k) {
        if (s.crSf[k] <= sf && s.crSf[k] > sf - 1000) {
            used += s.crCount[k];
        }
    }
    return static_cast<double>(used) / (1000.0 * p_.subchannels);
}

void Sidelink::play(int64_t sf, SlSink& sink)
{
    refresh_links();
    const auto later = [](const Due& a, const Due& b) {
        return a.sf != b.sf ? a.sf > b.sf : a.station > b.station;
    };
    air_.clear();
    while (!due_.empty() && due_.front().sf == sf) {
        const Due d = due_.front();
        std::pop_heap(due_.begin(), due_.end(), later);
        due_.pop_back();
        Station& s = st_[d.station];
        Pending& q = s.pend[d.slot];
        q.used = false;
        --s.pendCount;
        if (!s.present || q.dropped) {
            ++s.c.absent;
            sink.on_drop(d.station, q.tag, sf);
            continue;
        }
        if (txNow_[d.station] != 0) {
            continue;  // cannot happen: selection avoids its own subframes
        }
        txNow_[d.station] = 1;
        air_.push_back(OnAir{d.station, q.first, q.count, q.tag, q.queuedSf});
        ++s.c.transmissions;
        s.lastTxSf = sf;
        if (q.onReservation) {
            s.resSf = sf;
            // The last transmission of a reservation says whether the
            // resource is kept: the decision is taken before it goes out.
            if (--s.counter == 0 && s.rng.uniform() < p_.keepProbability) {
                s.counter = reselection_counter(s);
                ++s.c.kept;
            }
            s.annSf = sf;
            s.annFirst = q.first;
            s.annCount = q.count;
            s.annReserved = s.counter > 0;
        }
        s.crSf[s.crHead] = sf;
        s.crCount[s.crHead] = static_cast<uint8_t>(q.count);
        s.crHead = (s.crHead + 1) % kCrRing;
        sink.on_transmit(d.station, q.tag, sf, q.queuedSf, q.first, q.count);
    }
    if (air_.empty()) {
        return;
    }
    // Channel busy ratio: the power each station hears on each sub-channel.
    const double cbrMw = to_mw(p_.cbrThresholdDbm);
    const size_t S = static_cast<size_t>(p_.subchannels);
    for (size_t r = 0; r < n_; ++r) {
        Station& s = st_[r];
        if (!s.present || txNow_[r] != 0) {
            continue;
        }
        std::fill(busy_.begin(), busy_.end(), 0.0);
        for (const OnAir& a : air_) {
            const double share = rxMw_[a.from * n_ + r] / a.count;
            for (int k = a.first; k < a.first + a.count; ++k) {
                busy_[static_cast<size_t>(k)] += share;
            }
        }
        uint8_t busy = 0;
        for (size_t k = 0; k < S; ++k) {
            busy = static_cast<uint8_t>(busy + (busy_[k] > cbrMw ? 1 : 0));
        }
        const size_t slot = static_cast<size_t>(sf % 100);
        s.cbrSf[slot] = sf;
        s.cbrBusy[slot] = busy;
    }
    // Receptions.
    for (const OnAir& a : air_) {
        Station& tx = st_[a.from];
        const double noise = noiseMw_[static_cast<size_t>(a.count)];
        const double noiseDbm = noiseDbm_[static_cast<size_t>(a.count)];
        const double shift = blerShift_[static_cast<size_t>(a.count)];
        for (size_t r = 0; r < n_; ++r) {
            if (r == a.from || !st_[r].present) {
                continue;
            }
            const double d = dist_[a.from * n_ + r];
            if (decideRange_ > 0.0 && d > decideRange_) {
                continue;
            }
            SlReception rec;
            rec.from = a.from;
            rec.to = static_cast<uint32_t>(r);
            rec.tag = a.tag;
            rec.subframe = sf;
            rec.queuedSf = a.queuedSf;
            rec.distanceM = d;
            rec.rxDbm = rxDbm_[a.from * n_ + r];
            const double sig = rxMw_[a.from * n_ + r];
            const double u = tx.rng.uniform();
            rec.sinrDb = rec.rxDbm - noiseDbm;
            if (txNow_[r] != 0) {
                rec.loss = SlLoss::kHalfDuplex;
            } else if (rec.rxDbm < p_.sensitivityDbm) {
                rec.loss = SlLoss::kSensitivity;
            } else if (u < bler_fast(rec.sinrDb - shift)) {
                rec.loss = SlLoss::kPropagation;
            } else {
                double interference = 0.0;
                for (const OnAir& b : air_) {
                    if (&b == &a) {
                        continue;
                    }
                    const int lo = std::max(a.first, b.first);
                    const int hi = std::min(a.first + a.count, b.first + b.count);
                    const double mw = rxMw_[b.from * n_ + r];
                    if (hi > lo) {
                        interference += mw * (hi - lo) / b.count;
                    } else {
                        interference += mw * leakShare_ * a.count / b.count;
                    }
                }
                if (interference > 0.0) {
                    rec.sinrDb = to_dbm(sig / (noise + interference));
                    if (u < bler_fast(rec.sinrDb - shift)) {
                        rec.loss = SlLoss::kCollision;
                    }
                }
            }
            ++totals_[static_cast<int>(rec.loss)];
            if (!links_.empty()) {
                SlLinkCounters& l = links_[a.from * n_ + r];
                ++l.sent;
                switch (rec.loss) {
                case SlLoss::kNone:
                    ++l.received;
                    break;
                case SlLoss::kHalfDuplex:
                    ++l.halfDuplex;
                    break;
                case SlLoss::kSensitivity:
                    ++l.sensitivity;
                    break;
                case SlLoss::kPropagation:
                    ++l.propagation;
                    break;
                case SlLoss::kCollision:
                    ++l.collision;
                    break;
                }
            }
            sink.on_reception(rec);
        }
    }
    for (const OnAir& a : air_) {
        txNow_[a.from] = 0;
    }
}

}  // namespace radiosim
