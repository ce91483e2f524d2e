// SPDX-License-Identifier: Apache-2.0
// DSMP frames: the writer and the reader on the same reference bytes, the
// AID forms, extensions, and every way a received frame can be short.
#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <vector>

#include "cv2x_app.h"
#include "dsmp.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(uint32_t aid, const Bytes& data, const uint8_t* exts = nullptr, int* rc = nullptr)
{
    Bytes out(2048, 0xEE);
    DsmpTxInfo info;
    int r = dsmp_encode(out.data(), out.size(), aid, exts, data.data(),
                        static_cast<uint16_t>(data.size()), &info);
    if (rc != nullptr) {
        *rc = r;
    }
    if (r != 0) {
        return {};
    }
    out.resize(info.frameLen);
    return out;
}

// The last decoded frame, in an allocation of exactly its size, so a read
// past the end shows under the address sanitizer; kept until the next
// decode because the decoded fields point into it.
std::unique_ptr<uint8_t[]> gExact;

DsmpRx decode(const Bytes& frame, DsmpRxFrame& f, DsmpAidFilter filter = nullptr)
{
    gExact.reset(frame.empty() ? nullptr : new uint8_t[frame.size()]);
    if (!frame.empty()) {
        memcpy(gExact.get(), frame.data(), frame.size());
    }
    return dsmp_decode(gExact.get(), frame.size(), f, filter);
}

bool only_32(uint32_t aid) { return aid == 32; }
bool none(uint32_t) { return false; }

struct Vector {
    uint32_t aid;
    Bytes exts;  // empty: no extension block
    Bytes data;
    Bytes frame;
};

const Vector kVectors[] = {
    {32, {}, {0x61, 0x62, 0x63}, {0x00, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63}},
    {135, {}, {0x01, 0x02}, {0x00, 0x80, 0x07, 0x00, 0x02, 0x01, 0x02}},
    {32, {0x05, 0x02, 0xAA, 0xBB}, {0x61, 0x62, 0x63},
     {0x08, 0x05, 0x02, 0xAA, 0xBB, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63}},
    {0, {}, {}, {0x00, 0x00, 0x00, 0x00}},
    {127, {}, {0x7F}, {0x00, 0x7F, 0x00, 0x01, 0x7F}},
    {128, {}, {0x10}, {0x00, 0x80, 0x00, 0x00, 0x01, 0x10}},
    {16511, {}, {}, {0x00, 0xBF, 0xFF, 0x00, 0x00}},
};

Bytes ext_block(const Bytes& head)
{
    Bytes b(256, 0);
    std::copy(head.begin(), head.end(), b.begin());
    return b;
}

}  // namespace

TEST(DsmpCodec, ReferenceVectorsEncodeAndDecode)
{
    for (const Vector& v : kVectors) {
        Bytes block = ext_block(v.exts);
        Bytes got = encode(v.aid, v.data, v.exts.empty() ? nullptr : block.data());
        EXPECT_EQ(got, v.frame) << "aid " << v.aid;

        DsmpRxFrame f;
        ASSERT_EQ(decode(v.frame, f), DsmpRx::Ok) << "aid " << v.aid;
        EXPECT_EQ(f.aid, v.aid);
        EXPECT_EQ(f.version, 0);
        EXPECT_EQ(f.len, v.data.size());
        EXPECT_EQ(Bytes(f.data, f.data + f.len), v.data);
    }
}

TEST(DsmpCodec, WriterRefusesWhatItCannotEncodeWithoutWriting)
{
    Bytes out(64, 0xEE);
    const Bytes data = {1, 2, 3};
    EXPECT_EQ(dsmp_encode(out.data(), out.size(), 16512, nullptr, data.data(), 3, nullptr),
              -ERR_V2X_PARM_CONT);
    Bytes ext(256, 0);
    ext[0] = 1;
    ext[1] = 254;
    EXPECT_EQ(dsmp_encode(out.data(), out.size(), 1, ext.data(), data.data(), 3, nullptr),
              -ERR_V2X_PARM_CONT);
    EXPECT_EQ(dsmp_frame_len(1, ext.data(), 3), 0u);
    // One byte short of the frame's 7 bytes.
    EXPECT_EQ(dsmp_encode(out.data(), 6, 32, nullptr, data.data(), 3, nullptr), -ERR_V2X_SEND_LEN);
    EXPECT_EQ(dsmp_encode(out.data(), out.size(), 32, nullptr, nullptr, 3, nullptr),
              -ERR_V2X_PARM_CONT);
    EXPECT_EQ(out, Bytes(64, 0xEE));
}

TEST(DsmpCodec, LongestWritableExtensionAndZeroLengthElement)
{
    Bytes ext(256, 0x5A);
    ext[0] = 9;
    ext[1] = 253;
    Bytes got = encode(1, {0x42}, ext.data());
    ASSERT_EQ(got.size(), 1u + 255u + 1u + 2u + 1u);
    EXPECT_EQ(got[0], 0x08);
    EXPECT_EQ(got[1], 9);
    EXPECT_EQ(got[2], 253);
    EXPECT_EQ(got[256], 1);  // the AID after 255 extension bytes
    EXPECT_EQ(got[258], 1);  // low byte of the length
    EXPECT_EQ(got[259], 0x42);
    // An element id with a zero value length means no extension.
    Bytes noext(256, 0);
    noext[0] = 0x33;
    EXPECT_EQ(encode(32, {0x61}, noext.data()), (Bytes{0x00, 0x20, 0x00, 0x01, 0x61}));
}

TEST(DsmpCodec, DmeMarkerBeatsTheTwoByteForm)
{
    DsmpRxFrame f;
    // AID 1927 is written 0x87 0x07: the reader takes the 0x87 as the marker.
    Bytes w = encode(1927, {});
    ASSERT_EQ(w, (Bytes{0x00, 0x87, 0x07, 0x00, 0x00}));
    const Bytes dme = {0x00, 0x87, 0x00, 0x02, 0xDE, 0xAD};
    ASSERT_EQ(decode(dme, f, none), DsmpRx::Dme);  // the filter is never asked
    EXPECT_EQ(f.len, 2);
    EXPECT_EQ(f.data[0], 0xDE);
    EXPECT_EQ(decode({0x00, 0x87, 0x00, 0x02, 0xDE}, f), DsmpRx::DmeLenMismatch);
    EXPECT_EQ(decode({0x00, 0x87, 0x00, 0x02, 0xDE, 0xAD, 0x00}, f), DsmpRx::DmeLenMismatch);
    // AID 135 in its two-byte form is not the marker.
    ASSERT_EQ(decode({0x00, 0x80, 0x07, 0x00, 0x00}, f), DsmpRx::Ok);
    EXPECT_EQ(f.aid, 135u);
    EXPECT_EQ(f.rawAid, 0x8007);
}

TEST(DsmpCodec, ExtensionLengthLimitOnReceive)
{
    DsmpRxFrame f;
    Bytes ok = {0x08, 0x01, 32};
    ok.insert(ok.end(), 32, 0x11);
    ok.insert(ok.end(), {0x20, 0x00, 0x00});
    ASSERT_EQ(decode(ok, f), DsmpRx::Ok);
    EXPECT_EQ(f.extLen, 32);
    EXPECT_EQ(f.aid, 32u);

    Bytes bad = {0x08, 0x01, 33};
    bad.insert(bad.end(), 33, 0x11);
    bad.insert(bad.end(), {0x20, 0x00, 0x00});
    EXPECT_EQ(decode(bad, f), DsmpRx::ExtTooLong);
    EXPECT_EQ(f.extLen, 33);
}

TEST(DsmpCodec, LengthFieldMustMatchTheFrameExactly)
{
    DsmpRxFrame f;
    EXPECT_EQ(decode({0x00, 0x20, 0x00, 0x02, 0x61, 0x62, 0x63}, f), DsmpRx::LenMismatch);
    EXPECT_EQ(decode({0x00, 0x20, 0x00, 0x04, 0x61, 0x62, 0x63}, f), DsmpRx::LenMismatch);
    EXPECT_EQ(decode({0x00, 0x20, 0xFF, 0xFF, 0x61}, f), DsmpRx::LenMismatch);
}

TEST(DsmpCodec, AidFormatAndFilterOrder)
{
    DsmpRxFrame f;
    EXPECT_EQ(decode({0x00, 0xC1, 0x00, 0x00}, f), DsmpRx::AidFormat);
    EXPECT_EQ(f.aidByte, 0xC1);
    EXPECT_EQ(decode({0x00, 0xFF, 0x00, 0x00}, f), DsmpRx::AidFormat);
    // The filter drops the frame before the (wrong) length is looked at.
    EXPECT_EQ(decode({0x00, 0x21, 0x00, 0x09, 0x61}, f, only_32), DsmpRx::NotWanted);
    EXPECT_EQ(f.aid, 33u);
    // ... and before a missing length is noticed.
    EXPECT_EQ(decode({0x00, 0x80, 0x21, 0x00}, f, none), DsmpRx::NotWanted);
    EXPECT_EQ(decode({0x00, 0x20, 0x00, 0x01, 0x61}, f, only_32), DsmpRx::Ok);
}

TEST(DsmpCodec, VersionBitsAreHandedUpAndReservedBitsIgnored)
{
    DsmpRxFrame f;
    ASSERT_EQ(decode({0x05, 0x20, 0x00, 0x00}, f), DsmpRx::Ok);
    EXPECT_EQ(f.version, 5);
    ASSERT_EQ(decode({0xF7, 0x20, 0x00, 0x00}, f), DsmpRx::Ok);
    EXPECT_EQ(f.version, 7);
    EXPECT_EQ(f.hdr1, 0xF7);
}

// Every prefix of a valid frame is refused without reading past it; the
// short field is named.
TEST(DsmpCodec, TruncatedFramesNameTheShortField)
{
    DsmpRxFrame f;
    for (size_t n = 0; n <= 3; ++n) {
        Bytes b = {0x00, 0x20, 0x00, 0x01};
        b.resize(n);
        EXPECT_EQ(decode(b, f), DsmpRx::TooShort) << n;
    }
    struct Case {
        Bytes frame;
        const char* field;
    } cases[] = {
        {{0x08, 0x01, 0x02, 0xAA}, "elemVal"},
        {{0x08, 0x01, 0x00, 0x20, 0x00}, "dsmDMELen"},
        {{0x08, 0x01, 0x01, 0xAA}, "appId"},
        {{0x00, 0x80, 0x07, 0x00}, "dsmDMELen"},
        {{0x08, 0x01, 0x00, 0x87, 0x00}, "dsmDMELen"},
        {{0x08, 0x05, 0x00, 0x80}, "appId"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decode(c.frame, f), DsmpRx::Truncated) << c.field;
        ASSERT_NE(f.shortField, nullptr) << c.field;
        EXPECT_STREQ(f.shortField, c.field);
    }
    // An empty extension followed by a one-byte AID and no length.
    EXPECT_EQ(decode({0x08, 0x01, 0x00, 0x00}, f), DsmpRx::Truncated);
    EXPECT_STREQ(f.shortField, "dsmDMELen");
}

TEST(DsmpCodec, CursorStaysFailedAfterAShortRead)
{
    const uint8_t b[3] = {1, 2, 3};
    ByteCursor c(b, sizeof(b));
    EXPECT_EQ(c.u8("a"), 1);
    EXPECT_EQ(c.be16("b"), 0x0203);
    EXPECT_TRUE(c.ok());
    EXPECT_EQ(c.u8("c"), 0);
    EXPECT_FALSE(c.ok());
    EXPECT_STREQ(c.failed_field(), "c");
    // A read that would fit the original bytes still fails now.
    ByteCursor d(b, sizeof(b));
    EXPECT_EQ(d.be16("x"), 0x0102);
    EXPECT_EQ(d.be16("y"), 0);
    EXPECT_EQ(d.u8("z"), 0);
    EXPECT_STREQ(d.failed_field(), "y");
    EXPECT_EQ(d.bytes(0, "w"), nullptr);

    uint8_t out[2] = {0, 0};
    ByteWriter w(out, sizeof(out));
    w.be16(0xABCD);
    w.u8(1);
    EXPECT_FALSE(w.ok());
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(w.used(), 2u);
}

// The published limit of each AID form and extension length is exactly what
// fills the frame buffer behind the protocol-type byte.
TEST(DsmpCodec, PublishedDataLimitsFillTheFrameBuffer)
{
    for (uint32_t aid : {0u, 127u, 128u, 16511u}) {
        for (uint32_t ext : {0u, 1u, 32u, 253u}) {
            uint8_t exts[256] = {1, static_cast<uint8_t>(ext)};
            const int32_t most = v2x_dsm_data_max(aid, ext);
            ASSERT_GT(most, 0);
            EXPECT_EQ(1 + dsmp_frame_len(aid, exts, static_cast<uint16_t>(most)), V2X_LIM_FRAME_BUF)
                << aid << "/" << ext;
        }
    }
    EXPECT_EQ(v2x_dsm_data_max(16512, 0), -1);
    EXPECT_EQ(v2x_dsm_data_max(1, 254), -1);
}
