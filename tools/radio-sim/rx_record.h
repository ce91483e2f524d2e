// SPDX-License-Identifier: Apache-2.0
// --rx-record: radio-sim delivers each frame of a station as a receive-record
// datagram (v2x_types.h, PROT_TP_RX_REC): the byte 0x84, a 12-byte record
// with the sender's layer-2 id, the RSSI of the reception and the receiver's
// CBR, then the frame's own datagram (its protocol-type byte and the DSMP
// frame). What a run wrote in those records is kept per link for
// --link-stats, so that a test can compare a station's record with it.
//
// Multi-byte fields are written byte by byte, big-endian, never through a
// cast of the packed record.
#ifndef RADIO_SIM_RX_RECORD_H
#define RADIO_SIM_RX_RECORD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace radiosim {

// The type byte and the record of version 1.
constexpr size_t kRxRecordBytes = 13;
// The longest datagram a station's core reads; a frame that would not fit
// behind a record goes plain.
constexpr size_t kCoreDatagramMax = 2040;
// A station's layer-2 id when none is given: this plus its index.
constexpr uint32_t kL2IdBase = 0x100001u;
constexpr uint32_t kL2IdMax = 0xFFFFFFu;

// tRlinkRxRec.flags (v2x_types.h: V2X_RLINK_RX_HAS_*).
constexpr uint8_t kRxHasSrc = 0x01;
constexpr uint8_t kRxHasRssi = 0x02;
constexpr uint8_t kRxHasCbr = 0x04;

// What a reception knows beyond its bytes.
struct RxMeta {
    uint8_t flags = 0;  // kRxHasRssi, kRxHasCbr (the source is always set)
    int16_t rssiHalfDb = 0;
    uint16_t cbrPermille = 0;
};

// Writes the type byte and the record into `out` (kRxRecordBytes bytes).
void write_rx_record(uint8_t* out, uint32_t srcL2Id, const RxMeta& meta);

// dBm to 0.5 dB steps, rounded to the nearest, within int16.
int16_t rssi_half_db(double dbm);
// A share (0..1) to per mille, rounded, within 0..1000.
uint16_t cbr_permille(double share);
// The received power the sidelink model gives at its default parameters
// over `distanceM`, without shadowing: the simple model's RSSI.
double default_rssi_dbm(double distanceM);

// True when a datagram of `len` bytes still fits the core behind a record.
inline bool fits_rx_record(size_t len)
{
    return len + kRxRecordBytes <= kCoreDatagramMax;
}

// Per link, the records sent and the RSSI written in the last one.
class RxRecordStats {
public:
    RxRecordStats(size_t stations, const std::vector<uint32_t>& l2Ids);

    uint32_t l2_id(size_t i) const { return l2Ids_[i]; }
    void count(size_t from, size_t to, const RxMeta& meta);
    void count_skipped() { ++skipped_; }
    uint64_t skipped() const { return skipped_; }
    uint64_t records(size_t from, size_t to) const { return links_[from * n_ + to].records; }

    // JSON: `, "records": N, "rssi_half_db": N|null` of a link.
    void append_link(std::string& o, size_t from, size_t to) const;
    // JSON: `, "l2_id": N` of a station.
    void append_station(std::string& o, size_t i) const;

private:
    struct Link {
        uint64_t records = 0;
        int16_t rssi = 0;
        bool rssiKnown = false;
    };
    size_t n_;
    std::vector<uint32_t> l2Ids_;
    std::vector<Link> links_;
    uint64_t skipped_ = 0;
};

}  // namespace radiosim

#endif
