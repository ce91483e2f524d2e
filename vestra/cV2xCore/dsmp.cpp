// SPDX-License-Identifier: Apache-2.0
// DSMP frame encoding and decoding.
#include "dsmp.hpp"

#include <string.h>

#include "v2x_types.h"
#include "self_log.h"

// The codec logs nothing itself: its callers report what it finds.
[[maybe_unused]] static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

// Extension value length from the request's block; the element is present
// only when the length byte is not zero.
static uint8_t _ext_val_len(const uint8_t* aipcExts)
{
    return aipcExts != nullptr ? aipcExts[1] : 0;
}

size_t dsmp_frame_len(uint32_t aicAid, const uint8_t* aipcExts, uint16_t aicLen)
{
    const uint8_t v = _ext_val_len(aipcExts);
    if (aicAid > DSMP_AID_MAX || v > DSMP_EXT_WR_MAX) {
        return 0;
    }
    size_t h = 1 + (v != 0 ? 2u + v : 0u) + (aicAid <= DSMP_AID_1B_MAX ? 1u : 2u) + 2u;
    return h + aicLen;
}

int dsmp_encode(uint8_t* aopFrame, size_t aicCap, uint32_t aicAid, const uint8_t* aipcExts,
                const uint8_t* aipcData, uint16_t aicLen, DsmpTxInfo* aopInfo)
{
    const uint8_t v = _ext_val_len(aipcExts);
    if (aicAid > DSMP_AID_MAX || v > DSMP_EXT_WR_MAX || (aicLen != 0 && aipcData == nullptr)) {
        return -ERR_V2X_PARM_CONT;
    }
    const size_t frameLen = dsmp_frame_len(aicAid, aipcExts, aicLen);
    if (aopFrame == nullptr || frameLen > aicCap) {
        return -ERR_V2X_SEND_LEN;
    }

    DsmpTxInfo info;
    ByteWriter w(aopFrame, aicCap);
    info.hdr1 = v != 0 ? DSMP_OPT_IND : 0x00;
    w.u8(info.hdr1);
    if (v != 0) {
        info.extBytes = static_cast<uint8_t>(v + 2);
        w.bytes(aipcExts, info.extBytes);
    }
    if (aicAid <= DSMP_AID_1B_MAX) {
        info.aidField = static_cast<uint16_t>(aicAid);
        w.u8(static_cast<uint8_t>(aicAid));
    } else {
        info.twoByteAid = true;
        info.aidField = static_cast<uint16_t>(aicAid + 0x7F80u);
        w.be16(info.aidField);
    }
    w.be16(aicLen);
    info.hdrLen = w.used();
    w.bytes(aipcData, aicLen);
    info.frameLen = w.used();
    if (aopInfo != nullptr) {
        *aopInfo = info;
    }
    // The size check above makes this unreachable; kept so a later change
    // to the layout cannot turn into a silent short frame.
    return w.ok() ? 0 : -ERR_V2X_SEND_LEN;
}

size_t dsa_encode(uint8_t* aopBuf, size_t aicCap, const char* aipcText,
                          size_t aicTextLen)
{
    if (aopBuf == nullptr || aicCap < DSA_HDR_LEN || aicTextLen > aicCap - DSA_HDR_LEN ||
        (aicTextLen != 0 && aipcText == nullptr)) {
        return 0;
    }
    ByteWriter w(aopBuf, aicCap);
    w.u8(aicTextLen > 0 ? DSA_OPT_IND : 0x00);
    w.u8(DSA_ID_CNT);
    w.bytes(aipcText, aicTextLen);
    return w.ok() ? w.used() : 0;
}

DsmpRx dsmp_decode(const uint8_t* aipcFrame, size_t aicLen, DsmpRxFrame& aopFrame,
                   DsmpAidFilter aipFilter)
{
    DsmpRxFrame& f = aopFrame;
    f = DsmpRxFrame();
    if (aipcFrame == nullptr || aicLen <= 3) {
        return DsmpRx::TooShort;
    }
    ByteCursor c(aipcFrame, aicLen);
    f.hdr1 = c.u8("dsmHdr1");
    f.version = f.hdr1 & DSMP_VER_MASK;
    if ((f.hdr1 & DSMP_OPT_IND) != 0) {
        f.extId = c.u8("elemId");
        f.extLen = c.u8("elemIdLen");
        if (c.ok() && f.extLen > DSMP_EXT_RD_MAX) {
            f.consumed = c.used();
            return DsmpRx::ExtTooLong;
        }
        f.extVal = c.bytes(f.extLen, "elemVal");
    }
    f.aidByte = c.u8("appId");
    if (!c.ok()) {
        f.shortField = c.failed_field();
        f.consumed = c.used();
        return DsmpRx::Truncated;
    }

    if (f.aidByte == DSMP_DME_MARK) {
        f.len = c.be16("dsmDMELen");
        f.consumed = c.used();
        if (!c.ok()) {
            f.shortField = c.failed_field();
            return DsmpRx::Truncated;
        }
        if (aicLen != f.consumed + f.len) {
            return DsmpRx::DmeLenMismatch;
        }
        f.data = aipcFrame + f.consumed;
        return DsmpRx::Dme;
    }
    if ((f.aidByte & 0x80) == 0) {
        f.rawAid = f.aidByte;
        f.aid = f.aidByte;
    } else if ((f.aidByte & 0xC0) == 0xC0) {
        f.consumed = c.used();
        return DsmpRx::AidFormat;
    } else {
        f.rawAid = static_cast<uint16_t>((f.aidByte << 8) | c.u8("appId"));
        f.aid = static_cast<uint16_t>(f.rawAid - 0x7F80u);
    }
    f.consumed = c.used();
    if (!c.ok()) {
        f.shortField = c.failed_field();
        return DsmpRx::Truncated;
    }

    if (aipFilter != nullptr && !aipFilter(f.aid)) {
        return DsmpRx::NotWanted;
    }

    f.len = c.be16("dsmDMELen");
    f.consumed = c.used();
    if (!c.ok()) {
        f.shortField = c.failed_field();
        return DsmpRx::Truncated;
    }
    if (static_cast<size_t>(f.len) + f.consumed != aicLen) {
        return DsmpRx::LenMismatch;
    }
    f.data = aipcFrame + f.consumed;
    return DsmpRx::Ok;
}
