// SPDX-License-Identifier: Apache-2.0
#include "rx_record.h"

#include <cmath>
#include <cstdio>

#include "sidelink.h"
#include "v2x_limits.h"
#include "v2x_types.h"

namespace radiosim {

static_assert(kRxRecordBytes == 1 + V2X_RLINK_RX_REC_LEN, "type byte and record");
static_assert(kCoreDatagramMax == V2X_LIM_FRAME_BUF, "the core's datagram buffer");
static_assert(kRxHasSrc == V2X_RLINK_RX_HAS_SRC && kRxHasRssi == V2X_RLINK_RX_HAS_RSSI &&
                  kRxHasCbr == V2X_RLINK_RX_HAS_CBR,
              "record flags");

void write_rx_record(uint8_t* out, uint32_t srcL2Id, const RxMeta& meta)
{
    const uint16_t rssi = static_cast<uint16_t>(meta.rssiHalfDb);
    const uint8_t flags = static_cast<uint8_t>(V2X_RLINK_RX_HAS_SRC |
                                               (meta.flags & (V2X_RLINK_RX_HAS_RSSI |
                                                              V2X_RLINK_RX_HAS_CBR)));
    const uint16_t cbr = (flags & V2X_RLINK_RX_HAS_CBR) != 0 ? meta.cbrPermille : 0;
    out[0] = static_cast<uint8_t>(PROT_TP_RX_REC);
    out[1] = static_cast<uint8_t>(V2X_RLINK_RX_REC_VER);
    out[2] = static_cast<uint8_t>(V2X_RLINK_RX_REC_LEN);
    out[3] = flags;
    out[4] = 0;  // rsvd
    out[5] = 0;  // the id's unused top byte
    out[6] = static_cast<uint8_t>(srcL2Id >> 16);
    out[7] = static_cast<uint8_t>(srcL2Id >> 8);
    out[8] = static_cast<uint8_t>(srcL2Id);
    // A field the flags leave out is 0.
    out[9] = (flags & V2X_RLINK_RX_HAS_RSSI) != 0 ? static_cast<uint8_t>(rssi >> 8) : 0;
    out[10] = (flags & V2X_RLINK_RX_HAS_RSSI) != 0 ? static_cast<uint8_t>(rssi) : 0;
    out[11] = static_cast<uint8_t>(cbr >> 8);
    out[12] = static_cast<uint8_t>(cbr);
}

int16_t rssi_half_db(double dbm)
{
    if (!(dbm == dbm)) {
        return INT16_MIN;
    }
    const double v = std::round(dbm * 2.0);
    if (v <= INT16_MIN) {
        return INT16_MIN;
    }
    if (v >= INT16_MAX) {
        return INT16_MAX;
    }
    return static_cast<int16_t>(v);
}

uint16_t cbr_permille(double share)
{
    const double v = std::round(share * 1000.0);
    if (!(v > 0.0)) {
        return 0;
    }
    return v >= 1000.0 ? 1000 : static_cast<uint16_t>(v);
}

double default_rssi_dbm(double distanceM)
{
    const SidelinkParams p;
    return p.txPowerDbm - sidelink_path_loss_db(p, distanceM);
}

RxRecordStats::RxRecordStats(size_t stations, const std::vector<uint32_t>& l2Ids)
    : n_(stations), l2Ids_(l2Ids), links_(stations * stations)
{
    l2Ids_.resize(stations, 0);
}

void RxRecordStats::count(size_t from, size_t to, const RxMeta& meta)
{
    Link& l = links_[from * n_ + to];
    ++l.records;
    l.rssiKnown = (meta.flags & V2X_RLINK_RX_HAS_RSSI) != 0;
    l.rssi = meta.rssiHalfDb;
}

void RxRecordStats::append_link(std::string& o, size_t from, size_t to) const
{
    const Link& l = links_[from * n_ + to];
    char buf[80];
    if (l.records != 0 && l.rssiKnown) {
        snprintf(buf, sizeof(buf), ", \"records\": %llu, \"rssi_half_db\": %d",
                 static_cast<unsigned long long>(l.records), static_cast<int>(l.rssi));
    } else {
        snprintf(buf, sizeof(buf), ", \"records\": %llu, \"rssi_half_db\": null",
                 static_cast<unsigned long long>(l.records));
    }
    o += buf;
}

void RxRecordStats::append_station(std::string& o, size_t i) const
{
    char buf[32];
    snprintf(buf, sizeof(buf), ", \"l2_id\": %lu", static_cast<unsigned long>(l2Ids_[i]));
    o += buf;
}

}  // namespace radiosim
