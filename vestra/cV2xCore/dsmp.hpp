// SPDX-License-Identifier: Apache-2.0
// DSMP frame encoding and decoding (library-internal).
//
// Frame: header byte (version bits 0-2, option indicator bit 3), one
// optional extension element (id, length V, V value bytes), the AID in one
// byte (0-127) or two bytes (128-16511, written as 0x8000 + AID - 128), a
// big-endian data length L and the L data bytes. On receive a first AID
// byte of exactly 0x87 marks a frame for the management entity.
#ifndef VESTRA_DSMP_HPP
#define VESTRA_DSMP_HPP

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "v2x_api.h"
#include "v2x_limits.h"

// Largest AID the two-byte form can carry.
constexpr uint32_t DSMP_AID_MAX = V2X_LIM_AID_MAX;
// Largest one-byte AID.
constexpr uint32_t DSMP_AID_1B_MAX = V2X_LIM_AID_1B_MAX;
// Largest extension value the writer can count in its 8-bit element length.
constexpr uint32_t DSMP_EXT_WR_MAX = V2X_LIM_EXT_MAX;
// Largest extension value a receiver accepts.
constexpr uint8_t DSMP_EXT_RD_MAX = V2X_LIM_EXT_RX_MAX;
// First AID byte that marks a management-entity frame on receive.
constexpr uint8_t DSMP_DME_MARK = 0x87;
constexpr uint8_t DSMP_OPT_IND = 0x08;
constexpr uint8_t DSMP_VER_MASK = 0x07;

// Reads forward through received bytes. A read that would pass the end
// fails the cursor, yields zeros, and records the name of the field that
// did not fit; every later read fails too, so the caller checks once.
class ByteCursor {
public:
    ByteCursor(const uint8_t* aipcData, size_t aicLen) : p_(aipcData), n_(aicLen) {}

    uint8_t u8(const char* field)
    {
        const uint8_t* b = take(1, field);
        return b != nullptr ? b[0] : 0;
    }
    uint16_t be16(const char* field)
    {
        const uint8_t* b = take(2, field);
        return b != nullptr ? static_cast<uint16_t>((b[0] << 8) | b[1]) : 0;
    }
    // Pointer to the next `len` bytes, or null when they are not all there.
    const uint8_t* bytes(size_t len, const char* field) { return take(len, field); }

    bool ok() const { return failed_ == nullptr; }
    // Name of the first field that did not fit, or null.
    const char* failed_field() const { return failed_; }
    size_t used() const { return pos_; }
    size_t left() const { return ok() ? n_ - pos_ : 0; }

private:
    const uint8_t* take(size_t len, const char* field)
    {
        if (!ok()) {
            return nullptr;
        }
        if (len > n_ - pos_) {
            failed_ = field != nullptr ? field : "?";
            return nullptr;
        }
        const uint8_t* b = p_ + pos_;
        pos_ += len;
        return b;
    }

    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    const char* failed_ = nullptr;
};

// Writes forward into a buffer of fixed capacity; same failure rule as the
// cursor: nothing is written past the end, and the writer stays failed.
class ByteWriter {
public:
    ByteWriter(uint8_t* aipData, size_t aicCap) : p_(aipData), cap_(aicCap) {}

    void u8(uint8_t v) { put(&v, 1); }
    void be16(uint16_t v)
    {
        uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
        put(b, 2);
    }
    void bytes(const void* aipcSrc, size_t len) { put(aipcSrc, len); }

    bool ok() const { return ok_; }
    size_t used() const { return pos_; }

private:
    void put(const void* src, size_t len)
    {
        if (!ok_ || len > cap_ - pos_) {
            ok_ = false;
            return;
        }
        if (len != 0) {
            memcpy(p_ + pos_, src, len);
        }
        pos_ += len;
    }

    uint8_t* p_;
    size_t cap_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// What the writer put in front of the data, for the caller's log lines.
struct DsmpTxInfo {
    uint8_t hdr1 = 0;
    uint8_t extBytes = 0;    // V + 2 when an extension was written, else 0
    bool twoByteAid = false;
    uint16_t aidField = 0;   // the value written for the AID
    size_t hdrLen = 0;       // H: header byte, extension, AID, length
    size_t frameLen = 0;     // H + L
};

// The codec's functions are the library's own: the tests reach them by
// linking the library's objects statically; the shared library keeps C++
// names out of its symbol table.

// Length of the frame that dsmp_encode would write (H + L); 0 when the AID
// or the extension has no encoding. `aipcExts` is the 256-byte extension
// block (null: no extension).
size_t dsmp_frame_len(uint32_t aicAid, const uint8_t* aipcExts, uint16_t aicLen);

// Writes one frame at `aopFrame` (capacity `aicCap`). Returns 0;
// -ERR_V2X_PARM_CONT for an AID above 16511, an extension value above 253
// bytes, or data missing for a non-zero length; -ERR_V2X_SEND_LEN when the
// frame does not fit. Nothing is written on failure.
int dsmp_encode(uint8_t* aopFrame, size_t aicCap, uint32_t aicAid, const uint8_t* aipcExts,
                const uint8_t* aipcData, uint16_t aicLen, DsmpTxInfo* aopInfo);

// The management entity's service advertisement, the data of the frames it
// sends: byte 0 version 0 with the option indicator (bit 4) when a header
// text follows, byte 1 advertisement id 0 with a content count of 3 in its
// high nibble, then the text's bytes without a terminator.
constexpr uint8_t DSA_OPT_IND = 0x10;
constexpr uint8_t DSA_ID_CNT = 0x30;
constexpr size_t DSA_HDR_LEN = 2;

// Writes one advertisement with aicTextLen bytes of aipcText (null: none)
// at aopBuf of capacity aicCap. Returns its length, or 0 when it does not
// fit (nothing written then).
size_t dsa_encode(uint8_t* aopBuf, size_t aicCap, const char* aipcText,
                          size_t aicTextLen);

enum class DsmpRx {
    Ok,            // a frame for the DSM layer
    Dme,           // a management-entity frame, data and len set
    TooShort,      // 3 bytes or fewer
    Truncated,     // ends inside its header; shortField names the field
    ExtTooLong,    // extension value above 32 bytes
    DmeLenMismatch,
    AidFormat,     // first AID byte 11xxxxxx
    NotWanted,     // the AID filter refused it; length not read
    LenMismatch,   // length field does not match the frame
};

// The decoded fields; pointers point into the received bytes.
struct DsmpRxFrame {
    uint8_t hdr1 = 0;
    uint8_t version = 0;
    uint8_t extId = 0;
    uint8_t extLen = 0;
    const uint8_t* extVal = nullptr;
    uint8_t aidByte = 0;     // first AID byte
    uint16_t rawAid = 0;     // as read: the byte, or the two bytes together
    uint32_t aid = 0;        // decoded AID
    uint16_t len = 0;        // L
    const uint8_t* data = nullptr;
    size_t consumed = 0;     // bytes read before the data
    const char* shortField = nullptr;
};

// Asked after the AID is read and before the length; false drops the frame.
using DsmpAidFilter = bool (*)(uint32_t aicAid);

// Decodes one received frame of `aicLen` bytes. Never reads outside them.
DsmpRx dsmp_decode(const uint8_t* aipcFrame, size_t aicLen, DsmpRxFrame& aopFrame,
                   DsmpAidFilter aipFilter);

#endif
