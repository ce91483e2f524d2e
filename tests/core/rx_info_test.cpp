// SPDX-License-Identifier: Apache-2.0
// Receive records: the radio link's receive-record datagram, decoded and
// refused, and the record that goes up to the connections that asked for it
// (and to no other: their bytes stay those of a plain indication).
#include <gtest/gtest.h>

#include <string.h>

#include "core_app_frame.hpp"
#include "core_harness.h"
#include "rx_info.hpp"
#include "test_support.h"

using namespace v2xtest;

namespace {

// Version 1, 12 bytes, every flag; source 0x0A0B0C, RSSI -181 half-dB
// (-90.5 dBm), CBR 347 per mille.
const Bytes kRec = {0x01, 0x0C, 0x07, 0x00, 0x00, 0x0A, 0x0B, 0x0C, 0xFF, 0x4B, 0x01, 0x5B};

// A receive-record datagram around a plain one (type byte and frame).
Bytes rec_dgram(const Bytes& rec, const Bytes& plain)
{
    Bytes d{static_cast<uint8_t>(PROT_TP_RX_REC)};
    d.insert(d.end(), rec.begin(), rec.end());
    d.insert(d.end(), plain.begin(), plain.end());
    return d;
}

bool send_rx_info_req(int fd, uint32_t on)
{
    const tV2XRxInfoReq r = {on, 0};
    Bytes m(V2X_CORE_APP_HDR_LEN + sizeof(r));
    core_app_hdr_put(reinterpret_cast<char*>(m.data()), V2X_DSM_RX_INFO_REQ, sizeof(r));
    memcpy(m.data() + V2X_CORE_APP_HDR_LEN, &r, sizeof(r));
    return write_all(fd, m);
}

uint32_t msg_type(const Bytes& m)
{
    uint32_t t = 0;
    if (m.size() >= 4) {
        memcpy(&t, m.data(), 4);
    }
    return t;
}

}  // namespace

TEST(RxRecordCodec, ReferenceBytesDecodeAndEncodeBack)
{
    Bytes in = kRec;
    in.push_back(4);  // the frame's own type byte
    RlinkRxRec r;
    size_t off = 0;
    ASSERT_EQ(rlink_rx_rec_decode(in.data(), in.size(), &r, &off), RlinkRxRecRc::Ok);
    EXPECT_EQ(off, 12u);
    EXPECT_EQ(r.flags, 7u);
    EXPECT_EQ(r.srcL2Id, 0x0A0B0Cu);
    EXPECT_EQ(r.rssiHalfDb, -181);
    EXPECT_EQ(r.cbrPermille, 347u);
    uint8_t out[V2X_RLINK_RX_REC_LEN];
    rlink_rx_rec_encode(r, out);
    EXPECT_EQ(Bytes(out, out + sizeof(out)), kRec);
}

TEST(RxRecordCodec, ShortAndMalformedRecordsAreRefused)
{
    RlinkRxRec r;
    size_t off = 0;
    // Cut anywhere inside the record, or with nothing after it.
    for (size_t n = 0; n <= kRec.size(); ++n) {
        EXPECT_EQ(rlink_rx_rec_decode(kRec.data(), n, &r, &off), RlinkRxRecRc::Short) << n;
    }
    const struct {
        size_t at;
        uint8_t v;
    } bad[] = {{0, 2}, {1, 11}, {1, 65}, {2, 0x08}, {3, 1}, {4, 1}, {10, 0x04}};
    for (const auto& b : bad) {
        Bytes in = kRec;
        in.push_back(4);
        in[b.at] = b.v;
        EXPECT_EQ(rlink_rx_rec_decode(in.data(), in.size(), &r, &off), RlinkRxRecRc::Bad)
            << "byte " << b.at << " = " << int(b.v);
    }
    // A CBR over 1000 is only refused when the record says it is known.
    Bytes noCbr = kRec;
    noCbr.push_back(4);
    noCbr[2] = 0x03;
    noCbr[10] = 0x03;
    EXPECT_EQ(rlink_rx_rec_decode(noCbr.data(), noCbr.size(), &r, &off), RlinkRxRecRc::Ok);
    // A longer record of a later version is skipped to its length.
    Bytes longer = kRec;
    longer[1] = 16;
    longer.insert(longer.end(), {9, 9, 9, 9, 4});
    EXPECT_EQ(rlink_rx_rec_decode(longer.data(), longer.size(), &r, &off), RlinkRxRecRc::Ok);
    EXPECT_EQ(off, 16u);
}

// One connection asks for records, one never does: the second sees exactly
// the bytes of a plain indication, the first the record and those bytes.
TEST(RxRecordCore, RecordGoesOnlyToTheConnectionThatAsked)
{
    CoreHarness core;
    ASSERT_TRUE(core.started());
    const int plain = core.connect_app();
    const int rec = core.connect_app();
    ASSERT_EQ(register_aid(plain, 0, 17, 0), 0);
    ASSERT_TRUE(send_rx_info_req(rec, 1));
    const Bytes data = {1, 2, 3, 4, 5};
    // A frame with an extension element (id 9, two bytes): header 0x08.
    const Bytes frame = {4, 0x08, 9, 2, 0xAB, 0xCD, 17, 0, 5, 1, 2, 3, 4, 5};
    const uint64_t recs0 = stat_now(offsetof(tV2XCoreStats, rxRecDatagrams));
    const uint64_t ind0 = stat_now(offsetof(tV2XCoreStats, rxIndRecords));
    // The request is read before the frame arrives: wait for the core to take it.
    ASSERT_TRUE(wait_for([&] { return unread_by_peer(rec) == 0; }));
    ASSERT_TRUE(core.air_send(rec_dgram(kRec, frame)));

    const Bytes p = read_msg(plain, 3000);
    char want[64];
    CoreAppDsmInd ind{};
    ind.appId = 17;
    memset(ind.peerMac, 0xFF, sizeof(ind.peerMac));
    ind.msgLen = 5;
    ind.data = reinterpret_cast<const char*>(data.data());
    const size_t wantLen = core_app_dsm_ind_put(want, sizeof(want), ind);
    EXPECT_EQ(p, Bytes(want, want + wantLen));

    const Bytes e = read_msg(rec, 3000);
    ASSERT_EQ(msg_type(e), V2X_DSM_IND_EX);
    ASSERT_EQ(e.size(), V2X_CORE_APP_HDR_LEN + V2X_DSM_RX_INFO_LEN + wantLen - V2X_CORE_APP_HDR_LEN);
    tDSMRxInfo rx;
    CoreAppDsmInd got{};
    ASSERT_TRUE(core_app_dsm_ind_ex_parse(reinterpret_cast<const char*>(e.data()) + 6, e.size() - 6,
                                          &rx, &got));
    EXPECT_EQ(Bytes(e.end() - static_cast<long>(wantLen - 6), e.end()),
              Bytes(want + 6, want + wantLen));
    EXPECT_EQ(+rx.size, V2X_DSM_RX_INFO_LEN);
    EXPECT_EQ(rx.flags, V2X_RX_INFO_HAS_TIME | V2X_RX_INFO_HAS_SRC | V2X_RX_INFO_HAS_RSSI |
                            V2X_RX_INFO_HAS_CBR);
    EXPECT_EQ(+rx.srcL2Id, 0x0A0B0Cu);
    EXPECT_EQ(+rx.rssiHalfDb, -181);
    EXPECT_EQ(+rx.cbrPermille, 347u);
    EXPECT_EQ(rx.secResult, V2X_RX_SEC_NOT_CHECKED);
    EXPECT_EQ(rx.extId, 9u);
    ASSERT_EQ(rx.extLen, 2u);
    EXPECT_EQ(rx.extVal[0], 0xAB);
    EXPECT_EQ(rx.extVal[1], 0xCD);
    EXPECT_NE(+rx.rxRealUs, 0u);
    EXPECT_NE(+rx.rxMonoUs, 0u);
    EXPECT_EQ(stat_now(offsetof(tV2XCoreStats, rxRecDatagrams)), recs0 + 1);
    // Counted once the indication has gone to every connection.
    EXPECT_TRUE(wait_for([&] { return stat_now(offsetof(tV2XCoreStats, rxIndRecords)) == ind0 + 1; }));
    EXPECT_EQ(stats_now().rxCbrLast, 347u);

    // A plain datagram: the record says the module told nothing.
    ASSERT_TRUE(core.air_send(frame));
    EXPECT_EQ(read_msg(plain, 3000), Bytes(want, want + wantLen));
    const Bytes e2 = read_msg(rec, 3000);
    ASSERT_TRUE(core_app_dsm_ind_ex_parse(reinterpret_cast<const char*>(e2.data()) + 6,
                                          e2.size() - 6, &rx, &got));
    EXPECT_EQ(rx.flags, V2X_RX_INFO_HAS_TIME);
    EXPECT_EQ(+rx.srcL2Id, V2X_RX_INFO_SRC_UNKNOWN);
    EXPECT_EQ(+rx.rssiHalfDb, V2X_RX_INFO_RSSI_UNKNOWN);
    EXPECT_EQ(+rx.cbrPermille, V2X_RX_INFO_CBR_UNKNOWN);

    // Off again: plain bytes for both.
    ASSERT_TRUE(send_rx_info_req(rec, 0));
    ASSERT_TRUE(wait_for([&] { return unread_by_peer(rec) == 0; }));
    ASSERT_TRUE(core.air_send(frame));
    EXPECT_EQ(read_msg(rec, 3000), Bytes(want, want + wantLen));
    EXPECT_EQ(read_msg(plain, 3000), Bytes(want, want + wantLen));
}

TEST(RxRecordCore, BadRecordDatagramsAreCountedAndNeverHandedUp)
{
    CoreHarness core;
    ASSERT_TRUE(core.started());
    const int app = core.connect_app();
    ASSERT_EQ(register_aid(app, 0, 17, 0), 0);
    ASSERT_TRUE(send_rx_info_req(app, 1));
    ASSERT_TRUE(wait_for([&] { return unread_by_peer(app) == 0; }));
    const Bytes frame = {4, 0x00, 17, 0, 1, 0x55};
    const uint64_t short0 = stat_now(offsetof(tV2XCoreStats, rxDropRecShort));
    const uint64_t bad0 = stat_now(offsetof(tV2XCoreStats, rxDropRecBad));
    Bytes badCbr = kRec;
    badCbr[10] = 0x03;  // 0x03E9: 1001 per mille
    badCbr[11] = 0xE9;
    Bytes badLen = kRec;
    badLen[1] = 0xFF;
    // Short: the type byte alone, inside the record, a record with no frame.
    ASSERT_TRUE(core.air_send({static_cast<uint8_t>(PROT_TP_RX_REC)}));
    ASSERT_TRUE(core.air_send(rec_dgram(Bytes(kRec.begin(), kRec.begin() + 7), {})));
    ASSERT_TRUE(core.air_send(rec_dgram(kRec, {})));
    ASSERT_TRUE(core.air_send(rec_dgram(badCbr, frame)));
    ASSERT_TRUE(core.air_send(rec_dgram(badLen, frame)));
    ASSERT_TRUE(wait_for([&] {
        return stat_now(offsetof(tV2XCoreStats, rxDropRecShort)) == short0 + 3 &&
               stat_now(offsetof(tV2XCoreStats, rxDropRecBad)) == bad0 + 2;
    }));
    // The next good one is the first thing the application sees.
    ASSERT_TRUE(core.air_send(rec_dgram(kRec, frame)));
    const Bytes m = read_msg(app, 3000);
    ASSERT_EQ(msg_type(m), V2X_DSM_IND_EX);
    EXPECT_EQ(m.back(), 0x55);
    EXPECT_EQ(stats_now().rxCbrLast, 347u);
}
