// SPDX-License-Identifier: Apache-2.0
// The CBR report datagram's decoder and encoder.
#include "cbr_rpt.hpp"

#include <string.h>

#include "dsmp.hpp"

RlinkCbrRc rlink_cbr_rpt_decode(const uint8_t* aipcRec, size_t aicLen, RlinkCbrRpt* aopRpt)
{
    ByteCursor c(aipcRec, aicLen);
    const uint8_t ver = c.u8("version");
    const uint8_t recLen = c.u8("recLen");
    const uint16_t rsvd = c.be16("rsvd");
    const uint16_t cbr = c.be16("cbr");
    const uint16_t rsvd2 = c.be16("rsvd2");
    const uint8_t* t = c.bytes(8, "measTimeMs");
    if (!c.ok()) {
        return RlinkCbrRc::Short;
    }
    if (ver != V2X_RLINK_CBR_RPT_VER || recLen != V2X_RLINK_CBR_RPT_LEN || rsvd != 0 ||
        rsvd2 != 0 || cbr > 1000u) {
        return RlinkCbrRc::Bad;
    }
    if (c.left() != 0) {
        return RlinkCbrRc::Long;
    }
    uint64_t ms = 0;
    for (int i = 0; i < 8; ++i) {
        ms = (ms << 8) | t[i];
    }
    aopRpt->cbrPermille = cbr;
    aopRpt->measTimeMs = ms;
    return RlinkCbrRc::Ok;
}

void rlink_cbr_rpt_encode(const RlinkCbrRpt& aicRpt, uint8_t aopBuf[kCbrRptDgramLen])
{
    uint8_t b[kCbrRptDgramLen] = {static_cast<uint8_t>(PROT_TP_CBR_RPT),
                                  static_cast<uint8_t>(V2X_RLINK_CBR_RPT_VER),
                                  static_cast<uint8_t>(V2X_RLINK_CBR_RPT_LEN),
                                  0,
                                  0,
                                  static_cast<uint8_t>(aicRpt.cbrPermille >> 8),
                                  static_cast<uint8_t>(aicRpt.cbrPermille),
                                  0,
                                  0};
    for (int i = 0; i < 8; ++i) {
        b[9 + i] = static_cast<uint8_t>(aicRpt.measTimeMs >> (56 - 8 * i));
    }
    memcpy(aopBuf, b, sizeof(b));
}
