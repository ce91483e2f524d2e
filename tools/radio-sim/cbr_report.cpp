// SPDX-License-Identifier: Apache-2.0
#include "cbr_report.h"

#include <cstdio>

#include "v2x_types.h"

namespace radiosim {

static_assert(kCbrReportType == PROT_TP_CBR_RPT, "type byte");
static_assert(kCbrReportBytes == 1 + V2X_RLINK_CBR_RPT_LEN, "type byte and record");
static_assert(sizeof(tRlinkCbrRpt) == V2X_RLINK_CBR_RPT_LEN, "the record's layout");

void write_cbr_report(uint8_t* out, uint16_t permille, uint64_t measTimeMs)
{
    const uint16_t cbr = permille > kCbrPermilleMax ? kCbrPermilleMax : permille;
    out[0] = kCbrReportType;
    out[1] = static_cast<uint8_t>(V2X_RLINK_CBR_RPT_VER);
    out[2] = static_cast<uint8_t>(V2X_RLINK_CBR_RPT_LEN);
    out[3] = 0;  // rsvd
    out[4] = 0;
    out[5] = static_cast<uint8_t>(cbr >> 8);
    out[6] = static_cast<uint8_t>(cbr);
    out[7] = 0;  // rsvd2
    out[8] = 0;
    for (int k = 0; k < 8; ++k) {
        out[9 + k] = static_cast<uint8_t>(measTimeMs >> (56 - 8 * k));
    }
}

void CbrReportStats::append_station(std::string& o, size_t i) const
{
    const Station& s = st_[i];
    char buf[80];
    if (s.reports == 0) {
        snprintf(buf, sizeof(buf), ", \"cbr_reports\": 0, \"cbr_last_permille\": null");
    } else {
        snprintf(buf, sizeof(buf), ", \"cbr_reports\": %llu, \"cbr_last_permille\": %u",
                 static_cast<unsigned long long>(s.reports), static_cast<unsigned>(s.last));
    }
    o += buf;
}

}  // namespace radiosim
