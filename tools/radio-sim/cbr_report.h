// SPDX-License-Identifier: Apache-2.0
// --cbr-report: every 100 ms radio-sim sends each station a CBR report
// datagram of its own (v2x_types.h, PROT_TP_CBR_RPT), as a radio module
// tells its core how busy the channel is: the byte 0x85, then a 16-byte
// big-endian record with the version, the record's length, the station's
// CBR in per mille from the sidelink model and the time of the measurement
// in milliseconds since 1970 (UTC). What a run sent is kept per station for
// --link-stats.
//
// Multi-byte fields are written byte by byte, big-endian, never through a
// cast of the packed record.
#ifndef RADIO_SIM_CBR_REPORT_H
#define RADIO_SIM_CBR_REPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace radiosim {

// The datagram's type byte (PROT_TP_CBR_RPT), and the type byte and the
// record of version 1: the whole datagram.
constexpr uint8_t kCbrReportType = 0x85;
constexpr size_t kCbrReportBytes = 17;
// The highest CBR a report may carry (per mille); the core drops more.
constexpr uint16_t kCbrPermilleMax = 1000;

// Writes the datagram into `out` (kCbrReportBytes bytes): CBR `permille`
// (a value above 1000 is written as 1000, so the core never drops it) and
// the measurement's time `measTimeMs`.
void write_cbr_report(uint8_t* out, uint16_t permille, uint64_t measTimeMs);

// Per station, the reports sent and the CBR of the last one.
class CbrReportStats {
public:
    explicit CbrReportStats(size_t stations) : st_(stations) {}

    void count(size_t i, uint16_t permille)
    {
        ++st_[i].reports;
        st_[i].last = permille;
    }
    uint64_t reports(size_t i) const { return st_[i].reports; }

    // JSON: `, "cbr_reports": N, "cbr_last_permille": N|null` of a station.
    void append_station(std::string& o, size_t i) const;

private:
    struct Station {
        uint64_t reports = 0;
        uint16_t last = 0;
    };
    std::vector<Station> st_;
};

}  // namespace radiosim

#endif
