// SPDX-License-Identifier: Apache-2.0
#include "dsmp_peek.h"

#include <cstdio>

namespace radiosim {

AidPeek peek_aid(const uint8_t* dgram, size_t len)
{
    AidPeek r;
    // Byte 0 is the protocol type, byte 1 dsmHdr1.
    if (dgram == nullptr || len < 2) {
        return r;
    }
    size_t pos = 1;
    const uint8_t hdr1 = dgram[pos++];
    if ((hdr1 & 0x08u) != 0) {
        // Extension element: id, V, then V bytes of value.
        if (len - pos < 2) {
            return r;
        }
        const size_t v = dgram[pos + 1];
        pos += 2;
        if (len - pos < v) {
            return r;
        }
        pos += v;
    }
    if (pos >= len) {
        return r;
    }
    const uint8_t b = dgram[pos];
    if (b == 0x87u) {
        r.kind = AidKind::kDme;
        return r;
    }
    if ((b & 0x80u) == 0) {
        r.kind = AidKind::kAid;
        r.aid = b;
        return r;
    }
    if ((b & 0x40u) != 0) {
        return r;  // 11xxxxxx: three- and four-byte forms are not read
    }
    if (len - pos < 2) {
        return r;
    }
    const uint32_t raw = (static_cast<uint32_t>(b) << 8) | dgram[pos + 1];
    r.kind = AidKind::kAid;
    r.aid = raw - 0x7F80u;
    return r;
}

bool peek_data(const uint8_t* dgram, size_t len, DataPeek& out)
{
    constexpr uint8_t kProtTypeDsmp = 4;
    out = DataPeek();
    if (dgram == nullptr || len < 2 || dgram[0] != kProtTypeDsmp) {
        return false;
    }
    const AidPeek aid = peek_aid(dgram, len);
    if (aid.kind != AidKind::kAid) {
        return false;
    }
    // peek_aid has checked the extension element fits; step over it again.
    size_t pos = 2;
    if ((dgram[1] & 0x08u) != 0) {
        pos += 2 + static_cast<size_t>(dgram[3]);
    }
    pos += (dgram[pos] & 0x80u) != 0 ? 2 : 1;
    if (len - pos < 2) {
        return false;
    }
    const size_t dataLen = (static_cast<size_t>(dgram[pos]) << 8) | dgram[pos + 1];
    pos += 2;
    if (dataLen == 0 || len - pos != dataLen) {
        return false;
    }
    out.aid = aid;
    out.off = pos;
    out.len = dataLen;
    return true;
}

void format_aid(const AidPeek& peek, char* out, size_t outSize)
{
    if (out == nullptr || outSize == 0) {
        return;
    }
    switch (peek.kind) {
    case AidKind::kAid:
        snprintf(out, outSize, "%u", static_cast<unsigned>(peek.aid));
        break;
    case AidKind::kDme:
        snprintf(out, outSize, "dme");
        break;
    case AidKind::kNone:
    default:
        snprintf(out, outSize, "-");
        break;
    }
}

}  // namespace radiosim
