// SPDX-License-Identifier: Apache-2.0
// The radio module's CBR report datagram (PROT_TP_CBR_RPT, v2x_types.h):
// decoder and encoder (library-internal; the encoder is for tests and
// stand-ins of the module).
#ifndef VESTRA_CBR_RPT_HPP
#define VESTRA_CBR_RPT_HPP

#include <stddef.h>
#include <stdint.h>

#include "v2x_types.h"

// A report, decoded.
struct RlinkCbrRpt {
    uint16_t cbrPermille = 0;
    uint64_t measTimeMs = 0;  // UTC, milliseconds since 1970
};

// Short and Long: the bytes end before, or go on after, the record's
// recLen. Bad: unknown version, a recLen other than 16, reserved bytes not
// zero, a CBR above 1000.
enum class RlinkCbrRc { Ok, Short, Long, Bad };

// Decodes the aicLen bytes after the PROT_TP_CBR_RPT byte. Never reads
// outside them.
RlinkCbrRc rlink_cbr_rpt_decode(const uint8_t* aipcRec, size_t aicLen, RlinkCbrRpt* aopRpt);

// Writes a whole datagram, the type byte included: V2X_RLINK_CBR_RPT_LEN + 1
// bytes at aopBuf.
constexpr size_t kCbrRptDgramLen = V2X_RLINK_CBR_RPT_LEN + 1;
void rlink_cbr_rpt_encode(const RlinkCbrRpt& aicRpt, uint8_t aopBuf[kCbrRptDgramLen]);

#endif
