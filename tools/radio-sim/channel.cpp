// SPDX-License-Identifier: Apache-2.0
#include "channel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace radiosim {

namespace {

uint64_t splitmix64(uint64_t& x)
{
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k)
{
    return (x << k) | (x >> (64 - k));
}

bool finite_in(double v, double lo, double hi)
{
    return std::isfinite(v) && v >= lo && v <= hi;
}

void append(std::string& out, const char* fmt, double v)
{
    char buf[64];
    snprintf(buf, sizeof(buf), fmt, v);
    out += buf;
}

void append_u(std::string& out, uint64_t v)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "%llu", static_cast<unsigned long long>(v));
    out += buf;
}

}  // namespace

bool check_ranges(const RangeCheck* checks, size_t n, const char* prefix, std::string& err)
{
    for (size_t k = 0; k < n; ++k) {
        const RangeCheck& c = checks[k];
        if (!finite_in(c.v, c.lo, c.hi)) {
            char buf[200];
            snprintf(buf, sizeof(buf), "%s%s = %g is outside %g..%g", prefix, c.name, c.v, c.lo,
                     c.hi);
            err = buf;
            return false;
        }
    }
    return true;
}

bool check_model(const ModelParams& m, std::string& err)
{
    const RangeCheck checks[] = {
        {"tx_power_dbm", m.txPowerDbm, -50.0, 60.0},
        {"ref_loss_db", m.refLossDb, 0.0, 200.0},
        {"ref_distance_m", m.refDistanceM, 0.01, 1000.0},
        {"exponent", m.exponent, 1.0, 8.0},
        {"sensitivity_dbm", m.sensitivityDbm, -200.0, 0.0},
        {"width_db", m.widthDb, 0.01, 50.0},
        {"range_m", m.rangeM, 0.0, 1.0e6},
        {"latency_ms", m.latencyMs, 0.0, 10000.0},
        {"jitter_ms", m.jitterMs, 0.0, 10000.0},
    };
    return check_ranges(checks, sizeof(checks) / sizeof(checks[0]), "model parameter ", err);
}

double path_loss_db(const ModelParams& m, double distanceM)
{
    const double d = std::max(distanceM, m.refDistanceM);
    return m.refLossDb + 10.0 * m.exponent * std::log10(d / m.refDistanceM);
}

double curve_probability(const ModelParams& m, double distanceM)
{
    const double pr = m.txPowerDbm - path_loss_db(m, distanceM);
    return 1.0 / (1.0 + std::exp((m.sensitivityDbm - pr) / m.widthDb));
}

double distance_at(const ModelParams& m, double p)
{
    // Pr = S - w ln(1/p - 1), then invert PL.
    const double pr = m.sensitivityDbm - m.widthDb * std::log(1.0 / p - 1.0);
    const double loss = m.txPowerDbm - pr;
    if (loss <= m.refLossDb) {
        return m.refDistanceM;
    }
    return m.refDistanceM * std::pow(10.0, (loss - m.refLossDb) / (10.0 * m.exponent));
}

double effective_range(const ModelParams& m)
{
    return m.rangeM > 0.0 ? m.rangeM : distance_at(m, 0.01);
}

double reception_probability(const ModelParams& m, double distanceM)
{
    if (distanceM > effective_range(m)) {
        return 0.0;
    }
    return curve_probability(m, distanceM);
}

Rng::Rng(uint64_t seed)
{
    uint64_t x = seed;
    for (uint64_t& s : s_) {
        s = splitmix64(x);
    }
}

uint64_t Rng::next()
{
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

double Rng::uniform()
{
    return static_cast<double>(next() >> 11) * 0x1.0p-53;
}

Channel::Channel(size_t stations, const ModelParams& params, uint64_t seed)
    : n_(stations),
      params_(params),
      range_(effective_range(params)),
      pos_(stations),
      frameDelay_(stations, static_cast<int64_t>(params.latencyMs * 1.0e6)),
      links_(stations * stations)
{
    streams_.reserve(stations);
    for (size_t i = 0; i < stations; ++i) {
        uint64_t x = seed ^ (0xA5A5A5A5ull + i);
        streams_.emplace_back(splitmix64(x) ^ (static_cast<uint64_t>(i) << 32));
    }
}

void Channel::set_position(size_t i, double x, double y)
{
    pos_[i].x = x;
    pos_[i].y = y;
    pos_[i].present = true;
}

void Channel::set_absent(size_t i)
{
    pos_[i].present = false;
}

double Channel::distance(size_t a, size_t b) const
{
    return std::hypot(pos_[a].x - pos_[b].x, pos_[a].y - pos_[b].y);
}

size_t Channel::bin_of(double d) const
{
    if (!(d >= 0.0)) {
        return 0;
    }
    const size_t k = static_cast<size_t>(d / kBinM);
    return k < kBins ? k : kBins - 1;
}

void Channel::begin_frame(size_t from)
{
    const double delayMs = params_.latencyMs + streams_[from].uniform() * params_.jitterMs;
    frameDelay_[from] = static_cast<int64_t>(delayMs * 1.0e6);
}

Decision Channel::decide(size_t from, size_t to)
{
    // The draw is taken whatever the verdict, so one link's fate never
    // shifts another's.
    const double uLoss = streams_[from].uniform();
    LinkCounters& c = counters(from, to);
    ++c.sent;
    Decision d;
    if (!pos_[from].present || !pos_[to].present) {
        d.verdict = Verdict::kOutOfRange;
        d.distanceM = -1.0;
        ++c.droppedRange;
        return d;
    }
    d.distanceM = distance(from, to);
    if (d.distanceM > range_) {
        d.verdict = Verdict::kOutOfRange;
        ++c.droppedRange;
        return d;
    }
    ++bins_[bin_of(d.distanceM)].offered;
    if (uLoss >= curve_probability(params_, d.distanceM)) {
        d.verdict = Verdict::kLost;
        ++c.droppedModel;
        return d;
    }
    d.verdict = Verdict::kDeliver;
    d.delayNs = frameDelay_[from];
    return d;
}

void Channel::count_delivered(size_t from, size_t to, double distanceM, int64_t latencyNs,
                              int64_t lateNs)
{
    LinkCounters& c = counters(from, to);
    ++c.delivered;
    if (lateNs > kLateNs) {
        ++c.late;
    }
    if (distanceM >= 0.0) {
        ++bins_[bin_of(distanceM)].delivered;
    }
    if (latencyNs < 0) {
        latencyNs = 0;
    }
    size_t k = static_cast<size_t>(latencyNs / 100000);
    ++latency_[k < kLatBins ? k : kLatBins - 1];
    if (latMin_ < 0 || latencyNs < latMin_) {
        latMin_ = latencyNs;
    }
    if (latencyNs > latMax_) {
        latMax_ = latencyNs;
    }
    latSum_ += static_cast<double>(latencyNs);
    ++latCount_;
}

double Channel::latency_mean_ns() const
{
    return latCount_ == 0 ? 0.0 : latSum_ / static_cast<double>(latCount_);
}

namespace {

// The counts of a link, in the order of its JSON keys.
constexpr size_t kLinkCounts = 7;
const char* const kLinkCountKeys[kLinkCounts] = {"sent",          "delivered", "dropped_range",
                                                 "dropped_model", "failed",    "late",
                                                 "tampered"};

// "sent": N, "delivered": N, ...: the counts of one link or of all.
void append_counts(std::string& o, const uint64_t (&v)[kLinkCounts])
{
    for (size_t k = 0; k < kLinkCounts; ++k) {
        o += k == 0 ? "\"" : ", \"";
        o += kLinkCountKeys[k];
        o += "\": ";
        append_u(o, v[k]);
    }
}

void append_model(std::string& o, const Channel& ch, bool modelOn, uint64_t seed)
{
    if (!modelOn) {
        o += "null";
        return;
    }
    const ModelParams& m = ch.params();
    o += "{\"seed\": ";
    append_u(o, seed);
    append(o, ", \"tx_power_dbm\": %.6g", m.txPowerDbm);
    append(o, ", \"ref_loss_db\": %.6g", m.refLossDb);
    append(o, ", \"ref_distance_m\": %.6g", m.refDistanceM);
    append(o, ", \"exponent\": %.6g", m.exponent);
    append(o, ", \"sensitivity_dbm\": %.6g", m.sensitivityDbm);
    append(o, ", \"width_db\": %.6g", m.widthDb);
    append(o, ", \"range_m\": %.6g", ch.range());
    append(o, ", \"latency_ms\": %.6g", m.latencyMs);
    append(o, ", \"jitter_ms\": %.6g", m.jitterMs);
    o += "}";
}

// Every link that carried a frame, and their sums into tot.
void append_links(std::string& o, const Channel& ch, const std::vector<std::string>& names,
                  uint64_t (&tot)[kLinkCounts], const RxRecordStats* rec)
{
    o += ",\n  \"links\": [";
    bool first = true;
    for (size_t a = 0; a < ch.size(); ++a) {
        for (size_t b = 0; b < ch.size(); ++b) {
            const LinkCounters& c = ch.counters(a, b);
            if (c.sent == 0) {
                continue;
            }
            o += first ? "\n    " : ",\n    ";
            first = false;
            const uint64_t v[kLinkCounts] = {c.sent,         c.delivered, c.droppedRange,
                                             c.droppedModel, c.failed,    c.late,
                                             c.tampered};
            o += "{\"from\": \"" + names[a] + "\", \"to\": \"" + names[b] + "\", ";
            append_counts(o, v);
            if (rec != nullptr) {
                rec->append_link(o, a, b);
            }
            o += "}";
            for (size_t k = 0; k < kLinkCounts; ++k) {
                tot[k] += v[k];
            }
        }
    }
    o += first ? "],\n" : "\n  ],\n";
}

void append_latency(std::string& o, const Channel& ch)
{
    o += "  \"latency_ms\": {";
    append(o, "\"min\": %.3f", ch.latency_min_ns() < 0 ? 0.0 : ch.latency_min_ns() / 1e6);
    append(o, ", \"mean\": %.3f", ch.latency_mean_ns() / 1e6);
    append(o, ", \"max\": %.3f", ch.latency_max_ns() < 0 ? 0.0 : ch.latency_max_ns() / 1e6);
    o += ", \"histogram_0.1ms\": [";
    size_t last = 0;
    for (size_t k = 0; k < Channel::kLatBins; ++k) {
        if (ch.latency_bin(k) != 0) {
            last = k + 1;
        }
    }
    for (size_t k = 0; k < last; ++k) {
        if (k != 0) {
            o += ", ";
        }
        append_u(o, ch.latency_bin(k));
    }
    o += "]}";
}

void append_by_distance(std::string& o, const Channel& ch, bool modelOn)
{
    o += ",\n  \"by_distance\": [";
    bool first = true;
    for (size_t k = 0; modelOn && k < Channel::kBins; ++k) {
        const Channel::Bin& bn = ch.bin(k);
        if (bn.offered == 0) {
            continue;
        }
        o += first ? "\n    " : ",\n    ";
        first = false;
        append(o, "{\"from_m\": %.0f", static_cast<double>(k) * Channel::kBinM);
        append(o, ", \"to_m\": %.0f", static_cast<double>(k + 1) * Channel::kBinM);
        o += ", \"offered\": ";
        append_u(o, bn.offered);
        o += ", \"delivered\": ";
        append_u(o, bn.delivered);
        append(o, ", \"model\": %.4f",
               curve_probability(ch.params(), (static_cast<double>(k) + 0.5) * Channel::kBinM));
        o += "}";
    }
    o += first ? "]\n}\n" : "\n  ]\n}\n";
}

}  // namespace

std::string counters_json(const Channel& ch, const std::vector<std::string>& names, bool modelOn,
                          uint64_t seed, const RxRecordStats* rec)
{
    std::string o = "{\n  \"model\": ";
    append_model(o, ch, modelOn, seed);
    uint64_t tot[kLinkCounts] = {};
    append_links(o, ch, names, tot, rec);
    o += "  \"total\": {";
    append_counts(o, tot);
    o += "},\n";
    if (rec != nullptr) {
        o += "  \"stations\": [";
        for (size_t i = 0; i < ch.size() && i < names.size(); ++i) {
            o += i == 0 ? "\n    {\"name\": \"" : ",\n    {\"name\": \"";
            o += names[i] + "\"";
            rec->append_station(o, i);
            o += "}";
        }
        o += ch.size() == 0 ? "],\n" : "\n  ],\n";
        o += "  \"rx_record_skipped\": ";
        append_u(o, rec->skipped());
        o += ",\n";
    }
    append_latency(o, ch);
    append_by_distance(o, ch, modelOn);
    return o;
}

DeliveryQueue::DeliveryQueue(size_t maxFrames, size_t arenaBytes, size_t maxPending)
    : arena_(arenaBytes), frames_(maxFrames)
{
    heap_.reserve(maxPending);
}

bool DeliveryQueue::add_frame(const uint8_t* bytes, size_t len, uint16_t from, int64_t sentNs,
                              uint32_t& frame)
{
    if (fCount_ == frames_.size()) {
        return false;
    }
    const size_t cap = arena_.size();
    if (fCount_ == 0) {
        head_ = tail_ = 0;
        wrapped_ = false;
    }
    size_t off;
    bool wrapStart = false;
    // Data lies in [tail, head) or, once wrapped, [tail, cap) and [0, head).
    if (!wrapped_) {
        if (cap - head_ >= len) {
            off = head_;
        } else if (tail_ >= len) {
            off = 0;
            wrapStart = true;
            wrapped_ = true;
        } else {
            return false;
        }
    } else {
        if (tail_ - head_ >= len) {
            off = head_;
        } else {
            return false;
        }
    }
    if (len > 0) {
        std::copy(bytes, bytes + len, arena_.begin() + static_cast<std::ptrdiff_t>(off));
    }
    head_ = off + len;
    Frame& f = frames_[fHead_];
    f.off = off;
    f.len = len;
    f.end = off + len;
    f.from = from;
    f.sentNs = sentNs;
    f.refs = 0;
    f.wrapStart = wrapStart;
    frame = static_cast<uint32_t>(fHead_);
    fHead_ = (fHead_ + 1) % frames_.size();
    ++fCount_;
    return true;
}

bool DeliveryQueue::schedule(uint32_t frame, uint16_t to, int64_t dueNs, double distanceM,
                             const RxMeta& meta)
{
    if (heap_.size() == heap_.capacity()) {
        return false;
    }
    heap_.push_back(Entry{dueNs, seq_++, frame, to, distanceM, meta});
    std::push_heap(heap_.begin(), heap_.end(), Later());
    ++frames_[frame].refs;
    return true;
}

void DeliveryQueue::drop_if_unused(uint32_t frame)
{
    if (frames_[frame].refs == 0) {
        free_tail();
    }
}

bool DeliveryQueue::pop_due(int64_t nowNs, Due& out)
{
    if (heap_.empty() || heap_.front().dueNs > nowNs) {
        return false;
    }
    std::pop_heap(heap_.begin(), heap_.end(), Later());
    const Entry e = heap_.back();
    heap_.pop_back();
    const Frame& f = frames_[e.frame];
    out.bytes = arena_.data() + f.off;
    out.len = f.len;
    out.frame = e.frame;
    out.from = f.from;
    out.to = e.to;
    out.dueNs = e.dueNs;
    out.sentNs = f.sentNs;
    out.distanceM = e.distanceM;
    out.meta = e.meta;
    return true;
}

void DeliveryQueue::release(uint32_t frame)
{
    Frame& f = frames_[frame];
    if (f.refs > 0) {
        --f.refs;
    }
    if (f.refs == 0) {
        free_tail();
    }
}

void DeliveryQueue::free_tail()
{
    // Frames leave in the order they came; a frame done early waits for the
    // older ones, which are due within the model's latency anyway.
    while (fCount_ > 0 && frames_[fTail_].refs == 0) {
        const Frame& f = frames_[fTail_];
        if (f.wrapStart) {
            wrapped_ = false;
        }
        tail_ = f.end;
        fTail_ = (fTail_ + 1) % frames_.size();
        --fCount_;
    }
    if (fCount_ == 0) {
        head_ = tail_ = 0;
        wrapped_ = false;
    }
}

}  // namespace radiosim
