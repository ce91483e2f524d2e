// SPDX-License-Identifier: Apache-2.0
// Reassembly of the core's messages: coalesced reads, split messages, bad
// headers, and the largest message across two reads.
#include <gtest/gtest.h>

#include <string.h>

#include "core_app_frame.hpp"
#include "fake_core.h"
#include "test_support.h"

using namespace v2xtest;

namespace {

// Feeds bytes as one read.
void feed(CoreAppRx& rx, const Bytes& b, size_t off, size_t n)
{
    ASSERT_LE(n, CoreAppRx::kReadMax);
    char* room = rx.read_room();
    memcpy(room, b.data() + off, n);
    rx.commit(n);
}

// Drains every complete message, as copies of (type, payload).
std::vector<Bytes> drain(CoreAppRx& rx)
{
    std::vector<Bytes> out;
    CoreAppMsg m;
    while (rx.next(&m) == CoreAppNext::Msg) {
        Bytes b(m.payload, m.payload + m.msgLen);
        b.insert(b.begin(), static_cast<uint8_t>(m.msgType));
        out.push_back(b);
    }
    return out;
}

Bytes stream_of(int count, size_t data_len)
{
    Bytes all;
    for (int i = 0; i < count; ++i) {
        Bytes d(data_len, static_cast<uint8_t>(i));
        Bytes m = dsm_ind_msg(26, d);
        all.insert(all.end(), m.begin(), m.end());
    }
    return all;
}

}  // namespace

TEST(CoreAppRx, EveryMessageOfCoalescedReadsComesOutOnceInOrder)
{
    // 300 indications of BSM size read 4095 bytes at a time: reads end
    // inside messages, and the tails must be carried.
    const Bytes all = stream_of(300, 100);
    CoreAppRx rx;
    std::vector<Bytes> got;
    for (size_t off = 0; off < all.size(); off += CoreAppRx::kReadMax) {
        size_t n = std::min(CoreAppRx::kReadMax, all.size() - off);
        feed(rx, all, off, n);
        auto part = drain(rx);
        got.insert(got.end(), part.begin(), part.end());
    }
    ASSERT_EQ(got.size(), 300u);
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(got[i].size(), 1u + 14 + 100);
        EXPECT_EQ(got[i][0], V2X_DSM_IND);
        EXPECT_EQ(got[i][1 + 14], static_cast<uint8_t>(i)) << i;
    }
    EXPECT_EQ(rx.held(), 0u);
}

TEST(CoreAppRx, ByteByByteFeedingYieldsTheSameMessages)
{
    const Bytes all = stream_of(3, 7);
    CoreAppRx rx;
    std::vector<Bytes> got;
    for (size_t i = 0; i < all.size(); ++i) {
        feed(rx, all, i, 1);
        auto part = drain(rx);
        got.insert(got.end(), part.begin(), part.end());
    }
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2], Bytes({V2X_DSM_IND, 1, 26, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 7,
                             0, 2, 2, 2, 2, 2, 2, 2}));
}

TEST(CoreAppRx, LargestMessageCrossesTwoReads)
{
    // 4076 data bytes make a 4096-byte message: one byte more than a read.
    Bytes d(V2X_DSM_IND_MAX_DATA);
    for (size_t i = 0; i < d.size(); ++i) {
        d[i] = static_cast<uint8_t>(i * 7);
    }
    Bytes all = dsm_ind_msg(30, d);
    ASSERT_EQ(all.size(), 4096u);
    CoreAppRx rx;
    feed(rx, all, 0, CoreAppRx::kReadMax);
    EXPECT_TRUE(drain(rx).empty());
    feed(rx, all, CoreAppRx::kReadMax, 1);
    auto got = drain(rx);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(std::equal(d.begin(), d.end(), got[0].begin() + 15));
}

TEST(CoreAppRx, HeaderImpossibleForItsTypeDropsWhatIsHeld)
{
    struct Case {
        uint32_t type;
        size_t len;
    } cases[] = {
        {V2X_DSM_CFM, 6},          {V2X_DME_PROV_SERV_CFM, 7}, {V2X_DME_USER_SERV_CFM, 5},
        {V2X_DSM_IND, 13},         {V2X_DSM_IND, 4091},        {0x41414141u, 10},
        {V2X_MSG_TYPE_MAX, 0},
    };
    for (const Case& c : cases) {
        CoreAppRx rx;
        Bytes bad = app_msg(c.type, Bytes(std::min<size_t>(c.len, 100), 0));
        uint16_t l = static_cast<uint16_t>(c.len);
        memcpy(bad.data() + 4, &l, 2);
        Bytes good = dsm_ind_msg(26, Bytes(5, 1));
        Bytes both = bad;
        both.insert(both.end(), good.begin(), good.end());
        feed(rx, both, 0, both.size());
        CoreAppMsg m;
        ASSERT_EQ(rx.next(&m), CoreAppNext::Drop) << c.type << " " << c.len;
        EXPECT_EQ(m.msgType, c.type);
        EXPECT_EQ(m.msgLen, c.len);
        EXPECT_EQ(rx.held_before_drop(), both.size());
        EXPECT_EQ(rx.held(), 0u);
        // The next read starts afresh.
        feed(rx, good, 0, good.size());
        EXPECT_EQ(drain(rx).size(), 1u);
    }
}

TEST(CoreAppRx, LengthsAtTheBoundsOfEachType)
{
    EXPECT_EQ(core_app_rx_hdr_check(V2X_DSM_CFM, 8), CoreAppHdr::Ok);
    EXPECT_EQ(core_app_rx_hdr_check(V2X_DME_PROV_SERV_CFM, 6), CoreAppHdr::Ok);
    EXPECT_EQ(core_app_rx_hdr_check(V2X_DME_USER_SERV_CFM, 6), CoreAppHdr::Ok);
    EXPECT_EQ(core_app_rx_hdr_check(V2X_DSM_IND, 14), CoreAppHdr::Ok);
    EXPECT_EQ(core_app_rx_hdr_check(V2X_DSM_IND, 4090), CoreAppHdr::Ok);
    EXPECT_EQ(core_app_rx_hdr_check(V2X_DME_EXIT, 4090), CoreAppHdr::Ok);
    EXPECT_EQ(core_app_rx_hdr_check(V2X_DME_EXIT, 4091), CoreAppHdr::BadLen);
    EXPECT_EQ(core_app_rx_hdr_check(V2X_DSM_REQ, 0xFFFF), CoreAppHdr::BadLen);
    EXPECT_EQ(core_app_rx_hdr_check(V2X_DSM_CFM, 0), CoreAppHdr::BadLen);
    EXPECT_EQ(core_app_rx_hdr_check(27, 6), CoreAppHdr::BadType);
    // A query's answer keeps the stream in step for a client that asked.
    EXPECT_EQ(core_app_rx_hdr_check(V2X_CTL_QUERY_RSP, 4090), CoreAppHdr::Ok);
    EXPECT_EQ(core_app_rx_hdr_check(V2X_CTL_QUERY_RSP, 4091), CoreAppHdr::BadLen);
    EXPECT_EQ(core_app_rx_hdr_check(V2X_CTL_QUERY_REQ, 12), CoreAppHdr::BadType);
}

TEST(CoreAppRx, ReservedTypeIsFramedSoTheNextMessageSurvives)
{
    // Types 8 to 26 are refused by the dispatcher, but their length still
    // tells where the next message starts.
    Bytes all = app_msg(V2X_DME_DSM_SERV_CFM, Bytes(3, 9));
    Bytes good = dsm_ind_msg(26, Bytes(2, 1));
    all.insert(all.end(), good.begin(), good.end());
    CoreAppRx rx;
    feed(rx, all, 0, all.size());
    auto got = drain(rx);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0][0], V2X_DME_DSM_SERV_CFM);
    EXPECT_EQ(got[1][0], V2X_DSM_IND);
}

TEST(CoreAppRx, ShortHeaderWaitsAndEmptyIndicationIsWhole)
{
    Bytes m = dsm_ind_msg(26, Bytes());
    ASSERT_EQ(m.size(), 20u);
    CoreAppRx rx;
    feed(rx, m, 0, 5);
    EXPECT_TRUE(drain(rx).empty());
    EXPECT_EQ(rx.held(), 5u);
    feed(rx, m, 5, 15);
    auto got = drain(rx);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), 15u);
}

// The request rules the core applies when it reads and the clients before
// they send: one table for both.
TEST(CoreAppFrame, RequestHeaderRulesAtTheirBounds)
{
    EXPECT_EQ(core_app_req_hdr_check(V2X_DSM_REQ, 269), CoreAppHdr::BadLen);
    EXPECT_EQ(core_app_req_hdr_check(V2X_DSM_REQ, 270), CoreAppHdr::Ok);
    EXPECT_EQ(core_app_req_hdr_check(V2X_DME_PROV_SERV_REQ, 523), CoreAppHdr::Ok);
    EXPECT_EQ(core_app_req_hdr_check(V2X_DME_PROV_SERV_REQ, 522), CoreAppHdr::BadLen);
    EXPECT_EQ(core_app_req_hdr_check(V2X_DME_USER_SERV_REQ, 271), CoreAppHdr::BadLen);
    EXPECT_EQ(core_app_req_hdr_check(V2X_DME_DSM_SERV_REQ, 11), CoreAppHdr::Ok);
    EXPECT_EQ(core_app_req_hdr_check(V2X_DSM_CFM, 8), CoreAppHdr::BadType);
    EXPECT_EQ(core_app_req_hdr_check(V2X_MSG_TYPE_MAX, 0), CoreAppHdr::BadType);
    CoreAppHdrIn h = {{}, 0};
    const char bytes[6] = {3, 0, 0, 0, 0x0B, 0x02};
    memcpy(h.tail(), bytes, 4);
    h.have = 4;
    EXPECT_FALSE(h.complete());
    EXPECT_EQ(h.missing(), 2u);
    memcpy(h.tail(), bytes + 4, 2);
    h.have = 6;
    EXPECT_TRUE(h.complete());
    EXPECT_EQ(h.type(), 3u);
    EXPECT_EQ(h.len(), 523u);
}
