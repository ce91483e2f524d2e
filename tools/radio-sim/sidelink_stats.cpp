// SPDX-License-Identifier: Apache-2.0
#include "sidelink_stats.h"

#include <cstdarg>
#include <cstdio>

#include "sidelink_params.h"

namespace radiosim {

namespace {

void append(std::string& o, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void append(std::string& o, const char* fmt, ...)
{
    char buf[128];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    if (n > 0) {
        o.append(buf, static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n)
                                                           : sizeof(buf) - 1);
    }
}

void append_u(std::string& o, uint64_t v)
{
    append(o, "%llu", static_cast<unsigned long long>(v));
}

// Names come from the command line or a scenario: letters, digits, '_', '-'
// and '.', but a JSON string is escaped all the same.
void append_name(std::string& o, const std::string& s)
{
    o += '"';
    for (char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            append(o, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
        } else {
            o += c;
        }
    }
    o += '"';
}

// The counts of a link or of the total, in the order of their JSON keys:
// sent = received + the four loss causes.
constexpr size_t kCounts = 10;
const char* const kCountKeys[kCounts] = {
    "sent",      "received",  "half_duplex", "sensitivity", "propagation",
    "collision", "delivered", "failed",      "late",        "tampered"};

void append_counts(std::string& o, const uint64_t (&v)[kCounts])
{
    for (size_t k = 0; k < kCounts; ++k) {
        o += k == 0 ? "\"" : ", \"";
        o += kCountKeys[k];
        o += "\": ";
        append_u(o, v[k]);
    }
}

void append_model(std::string& o, const Sidelink& sl, uint64_t seed)
{
    o += "{\"name\": \"sidelink\", \"seed\": ";
    append_u(o, seed);
    const char* name = nullptr;
    double value = 0.0;
    for (size_t k = 0; sidelink_param_at(sl.params(), k, name, value); ++k) {
        append(o, ", \"%s\": %.6g", name, value);
    }
    append(o, ", \"late_ms\": %g}", static_cast<double>(SlRunStats::kLateNs) / 1e6);
}

void append_links(std::string& o, const Sidelink& sl, const SlRunStats& st,
                  const std::vector<std::string>& names, uint64_t (&tot)[kCounts],
                  const RxRecordStats* rec)
{
    o += ",\n  \"links\": [";
    bool first = true;
    for (size_t a = 0; a < sl.size(); ++a) {
        for (size_t b = 0; b < sl.size(); ++b) {
            const SlLinkCounters* c = sl.link(a, b);
            const SlRunStats::Link& r = st.link(a, b);
            if (c == nullptr || c->sent == 0) {
                continue;
            }
            o += first ? "\n    " : ",\n    ";
            first = false;
            const uint64_t v[kCounts] = {c->sent,        c->received,    c->halfDuplex,
                                         c->sensitivity, c->propagation, c->collision,
                                         r.delivered,    r.failed,       r.late,
                                         r.tampered};
            o += "{\"from\": ";
            append_name(o, names[a]);
            o += ", \"to\": ";
            append_name(o, names[b]);
            o += ", ";
            append_counts(o, v);
            if (rec != nullptr) {
                rec->append_link(o, a, b);
            }
            o += "}";
            for (size_t k = 0; k < kCounts; ++k) {
                tot[k] += v[k];
            }
        }
    }
    o += first ? "],\n" : "\n  ],\n";
}

void append_stations(std::string& o, const Sidelink& sl, const SlRunStats& st,
                     const std::vector<std::string>& names, int64_t endSf,
                     const RxRecordStats* rec, const CbrReportStats* rpt)
{
    o += "  \"stations\": [";
    for (size_t i = 0; i < sl.size(); ++i) {
        const SlStationCounters& c = sl.station(i);
        o += i == 0 ? "\n    {\"name\": " : ",\n    {\"name\": ";
        append_name(o, names[i]);
        if (rec != nullptr) {
            rec->append_station(o, i);
        }
        const struct {
            const char* key;
            uint64_t v;
        } counts[] = {
            {"messages", c.messages},     {"transmissions", c.transmissions},
            {"selections", c.selections}, {"kept", c.kept},
            {"one_shots", c.oneShots},    {"refused", c.tooLarge + c.queueFull + c.absent},
            {"too_large", c.tooLarge},    {"queue_full", c.queueFull},
            {"absent", c.absent},         {"raised", c.raised},
        };
        for (const auto& k : counts) {
            append(o, ", \"%s\": ", k.key);
            append_u(o, k.v);
        }
        append(o, ", \"cbr\": %.4f", sl.cbr(i, endSf));
        const double mean = st.cbr_mean(i);
        if (mean < 0.0) {
            o += ", \"cbr_mean\": null";
        } else {
            append(o, ", \"cbr_mean\": %.4f", mean);
        }
        append(o, ", \"cr\": %.4f", sl.cr(i, endSf));
        if (rpt != nullptr) {
            rpt->append_station(o, i);
        }
        o += "}";
    }
    o += sl.size() == 0 ? "],\n" : "\n  ],\n";
}

void append_latency(std::string& o, const SlRunStats& st)
{
    o += "  \"latency_ms\": {";
    append(o, "\"min\": %.3f", st.latency_min_ns() < 0 ? 0.0 : st.latency_min_ns() / 1e6);
    append(o, ", \"mean\": %.3f", st.latency_mean_ns() / 1e6);
    append(o, ", \"max\": %.3f", st.latency_max_ns() < 0 ? 0.0 : st.latency_max_ns() / 1e6);
    o += ", \"count\": ";
    append_u(o, st.delivered());
    o += ", \"late\": ";
    append_u(o, st.late());
    o += ", \"beyond_histogram\": ";
    append_u(o, st.latency_beyond());
    o += ", \"histogram_0.1ms\": [";
    size_t last = 0;
    for (size_t k = 0; k < SlRunStats::kLatBins; ++k) {
        if (st.latency_bin(k) != 0) {
            last = k + 1;
        }
    }
    for (size_t k = 0; k < last; ++k) {
        if (k != 0) {
            o += ", ";
        }
        append_u(o, st.latency_bin(k));
    }
    o += "]},\n";
}

void append_by_distance(std::string& o, const SlRunStats& st)
{
    o += "  \"by_distance\": [";
    bool first = true;
    for (size_t k = 0; k < SlRunStats::kBins; ++k) {
        const SlRunStats::Bin& bn = st.bin(k);
        uint64_t offered = 0;
        for (uint64_t v : bn.outcome) {
            offered += v;
        }
        if (offered == 0) {
            continue;
        }
        o += first ? "\n    " : ",\n    ";
        first = false;
        append(o, "{\"from_m\": %.0f", static_cast<double>(k) * SlRunStats::kBinM);
        append(o, ", \"to_m\": %.0f", static_cast<double>(k + 1) * SlRunStats::kBinM);
        o += ", \"sent\": ";
        append_u(o, offered);
        for (int l = 0; l < kSlLossCauses; ++l) {
            append(o, ", \"%s\": ", sl_loss_name(static_cast<SlLoss>(l)));
            append_u(o, bn.outcome[l]);
        }
        o += ", \"delivered\": ";
        append_u(o, bn.delivered);
        o += "}";
    }
    o += first ? "]\n}\n" : "\n  ]\n}\n";
}

}  // namespace

SlRunStats::SlRunStats(size_t stations, bool perLink)
    : n_(stations), latency_(kLatBins, 0), cbrSum_(stations, 0.0), cbrSamples_(stations, 0)
{
    if (perLink) {
        links_.assign(stations * stations, Link{});
    }
}

void SlRunStats::count_reception(const SlReception& r, bool tampered)
{
    size_t k = static_cast<size_t>(r.distanceM / kBinM);
    if (!(r.distanceM >= 0.0) || k >= kBins) {
        k = kBins - 1;
    }
    ++bins_[k].outcome[static_cast<int>(r.loss)];
    if (tampered) {
        ++link(r.from, r.to).tampered;
    }
}

void SlRunStats::count_delivered(size_t from, size_t to, double distanceM, int64_t latencyNs,
                                 int64_t lateNs)
{
    Link& l = link(from, to);
    ++l.delivered;
    size_t k = static_cast<size_t>(distanceM / kBinM);
    if (!(distanceM >= 0.0) || k >= kBins) {
        k = kBins - 1;
    }
    ++bins_[k].delivered;
    if (lateNs > kLateNs) {
        ++l.late;
        ++late_;
    }
    if (latencyNs < 0) {
        latencyNs = 0;
    }
    const size_t b = static_cast<size_t>(latencyNs / 100000);
    if (b < kLatBins) {
        ++latency_[b];
    } else {
        ++latBeyond_;
    }
    latMin_ = latMin_ < 0 || latencyNs < latMin_ ? latencyNs : latMin_;
    latMax_ = latencyNs > latMax_ ? latencyNs : latMax_;
    latSum_ += static_cast<double>(latencyNs);
    ++latCount_;
}

void SlRunStats::sample_cbr(const Sidelink& sl, int64_t sf)
{
    for (size_t i = 0; i < n_ && i < sl.size(); ++i) {
        if (sl.present(i)) {
            cbrSum_[i] += sl.cbr(i, sf);
            ++cbrSamples_[i];
        }
    }
}

double SlRunStats::latency_mean_ns() const
{
    return latCount_ == 0 ? 0.0 : latSum_ / static_cast<double>(latCount_);
}

double SlRunStats::cbr_mean(size_t i) const
{
    return cbrSamples_[i] == 0 ? -1.0 : cbrSum_[i] / cbrSamples_[i];
}

std::string sidelink_json(const Sidelink& sl, const SlRunStats& st,
                          const std::vector<std::string>& names, uint64_t seed, int64_t endSf,
                          const RxRecordStats* rec, const CbrReportStats* rpt)
{
    std::string o = "{\n  \"model\": ";
    append_model(o, sl, seed);
    uint64_t tot[kCounts] = {};
    append_links(o, sl, st, names, tot, rec);
    // The causes over every decided reception, whether or not links are kept.
    tot[0] = 0;
    for (int l = 0; l < kSlLossCauses; ++l) {
        tot[1 + l] = sl.total(static_cast<SlLoss>(l));
        tot[0] += tot[1 + l];
    }
    tot[6] = st.delivered();
    tot[7] = st.failed();
    tot[8] = st.late();
    o += "  \"total\": {";
    append_counts(o, tot);
    o += "},\n";
    if (rec != nullptr) {
        o += "  \"rx_record_skipped\": ";
        append_u(o, rec->skipped());
        o += ",\n";
    }
    append_stations(o, sl, st, names, endSf, rec, rpt);
    append_latency(o, st);
    append_by_distance(o, st);
    return o;
}

}  // namespace radiosim
