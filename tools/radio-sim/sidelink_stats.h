// SPDX-License-Identifier: Apache-2.0
// What a real-time run of the sidelink model counts beside the engine's own
// counters (sidelink.h): per link what reached the receiver's socket, failed
// or came late; the latency from the message's arrival at its module to its
// delivery; the receptions by distance and outcome; each station's channel
// busy ratio sampled every 100 ms. And the --link-stats JSON of the whole.
// Fixed sizes, no allocation after construction.
#ifndef RADIO_SIM_SIDELINK_STATS_H
#define RADIO_SIM_SIDELINK_STATS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cbr_report.h"
#include "rx_record.h"
#include "sidelink.h"

namespace radiosim {

class SlRunStats {
public:
    // A delivery is late when it leaves more than this after the end of its
    // subframe on the air.
    static constexpr int64_t kLateNs = 5 * 1000 * 1000;
    // Latency: 0.1 ms bins up to 110 ms (a 100 ms reservation, then the
    // lateness bound and some); longer ones are counted apart.
    static constexpr size_t kLatBins = 1100;
    static constexpr double kBinM = 25.0;
    static constexpr size_t kBins = 80;  // 0 to 2 km; farther ones go into the last bin

    struct Link {
        uint64_t delivered = 0;  // reached the receiver's socket
        uint64_t failed = 0;     // decoded, but not stored or the send failed
        uint64_t late = 0;       // delivered more than kLateNs after its resource time
        uint64_t tampered = 0;   // decided receptions of a frame --tamper corrupted
    };
    struct Bin {
        uint64_t outcome[kSlLossCauses] = {};  // by SlLoss: received, then each cause
        uint64_t delivered = 0;
    };

    SlRunStats(size_t stations, bool perLink);

    size_t size() const { return n_; }
    bool per_link() const { return !links_.empty(); }
    // Per-link counts, kept only with perLink (n * n records); else a scratch
    // record that nobody reads.
    Link& link(size_t from, size_t to)
    {
        return links_.empty() ? scratch_ : links_[from * n_ + to];
    }
    const Link& link(size_t from, size_t to) const
    {
        return links_.empty() ? scratch_ : links_[from * n_ + to];
    }

    void count_reception(const SlReception& r, bool tampered);
    void count_delivered(size_t from, size_t to, double distanceM, int64_t latencyNs,
                         int64_t lateNs);
    void count_failed(size_t from, size_t to)
    {
        ++link(from, to).failed;
        ++failed_;
    }
    // Every present station's CBR at subframe `sf`, into its mean.
    void sample_cbr(const Sidelink& sl, int64_t sf);

    const Bin& bin(size_t k) const { return bins_[k]; }
    uint64_t latency_bin(size_t k) const { return latency_[k]; }
    uint64_t latency_beyond() const { return latBeyond_; }
    uint64_t delivered() const { return latCount_; }
    uint64_t late() const { return late_; }
    uint64_t failed() const { return failed_; }
    int64_t latency_min_ns() const { return latMin_; }
    int64_t latency_max_ns() const { return latMax_; }
    double latency_mean_ns() const;
    // Mean of the station's sampled CBR; negative when never sampled.
    double cbr_mean(size_t i) const;

private:
    size_t n_;
    std::vector<Link> links_;
    Link scratch_;
    Bin bins_[kBins];
    std::vector<uint64_t> latency_;
    uint64_t latBeyond_ = 0;
    int64_t latMin_ = -1;
    int64_t latMax_ = -1;
    double latSum_ = 0.0;
    uint64_t latCount_ = 0;
    uint64_t late_ = 0;
    uint64_t failed_ = 0;
    std::vector<double> cbrSum_;
    std::vector<uint32_t> cbrSamples_;
};

// The --link-stats JSON of a sidelink run that ended at subframe `endSf`
// (docs/simulation.md, "The sidelink model"). `names` has one name per
// station.
// With `rec` (--rx-record), each link also has "records" and "rssi_half_db",
// each station "l2_id", and "rx_record_skipped" follows the total. With
// `rpt` (--cbr-report), each station also has "cbr_reports" and
// "cbr_last_permille".
std::string sidelink_json(const Sidelink& sl, const SlRunStats& st,
                          const std::vector<std::string>& names, uint64_t seed, int64_t endSf,
                          const RxRecordStats* rec = nullptr,
                          const CbrReportStats* rpt = nullptr);

}  // namespace radiosim

#endif
