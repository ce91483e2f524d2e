// SPDX-License-Identifier: Apache-2.0
// Adaptation, DSM and access layers: the bytes that reach the radio module,
// the V2X_DSM_IND messages that reach the applications, the decode cases
// that can hide a fault, the send ring and the refusals.
#include <gtest/gtest.h>

#include <event2/event.h>
#include <string.h>

#include <string>
#include <vector>

#include "aces_lyr.h"
#include "air_log.hpp"
#include "adap_lyr.hpp"
#include "core_app.h"
#include "core.hpp"
#include "core_harness.h"
#include "core_mib.h"
#include "dme_dsm.hpp"
#include "rlink.hpp"
#include "test_support.h"
#include "v2x_evthread.hpp"

using v2xtest::Bytes;
using v2xtest::StatDelta;
using v2xtest::StdoutCapture;
using v2xtest::UdpPeer;
using v2xtest::count_lines_with;
using v2xtest::serv_rec;

namespace {

std::vector<Bytes> gInds;
int gIndSinkResult = 0;
int ind_sink(const char* msg, const int len)
{
    gInds.emplace_back(msg, msg + len);
    return gIndSinkResult;
}

std::vector<Bytes> gDme;
int dme_sink(const char* msg, const uint16_t len)
{
    gDme.emplace_back(msg, msg + len);
    return 0;
}

// The adaptation request as the DSM layer calls it, recorded and passed on.
struct AdapCall {
    const char* at;
    uint16_t len;
    uint8_t protTp;
};
std::vector<AdapCall> gAdapCalls;
fAdapSend gRealAdapReq = nullptr;
int gAdapReqResult = 0;
// What the DSM layer hands down: the frame's buffer, its length and the
// protocol type it asked for.
uint8_t gLastProtTp = 0;
int record_adap_req(const TxMeta& meta, char* data, const uint16_t len)
{
    gAdapCalls.push_back({data, len, gLastProtTp});
    if (gRealAdapReq == nullptr) {
        return gAdapReqResult;
    }
    return gRealAdapReq(meta, data, len);
}

const char kMac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const char kFF[6] = {'\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF'};

void reg(uint16_t index, uint32_t aid, uint8_t all = 0)
{
    tDMEDSMServReq r = serv_rec(index, DME_ACTION_ADD, aid, all);
    ASSERT_EQ(mib_dsm_serv_info_updata(&r), 0);
}

// The data plane without the core thread: MIB, adaptation and DSM layers,
// and a radio link on a private event base sending to `radio`.
class Stack : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Every case starts from empty records, whatever ran before it in
        // this process.
        gInds.clear();
        gDme.clear();
        gAdapCalls.clear();
        gIndSinkResult = 0;
        gAdapReqResult = 0;
        gRealAdapReq = nullptr;
        air_log_gate() = AirLogGate();
        ASSERT_TRUE(v2x_event_threads_ready());
        ASSERT_EQ(v2x_mib_init(), 0);
        ASSERT_EQ(access_layer_init(), 0);
        ASSERT_EQ(adaptation_layer_init(), 0);
        ASSERT_EQ(dme_dsm_init(kMac), 0);
        core_wire_stack();
        dme_dsm_set_ind_sink(ind_sink);
        adap_lyr_set_dme_sink(dme_sink);
        base_ = event_base_new();
        ASSERT_NE(base_, nullptr);
        memset(&cfg_, 0, sizeof(cfg_));
        snprintf(cfg_.rcvIp, sizeof(cfg_.rcvIp), "127.0.0.1");
        snprintf(cfg_.sendIp, sizeof(cfg_.sendIp), "127.0.0.1");
        cfg_.sendPort = radio_.port();
        ASSERT_EQ(rlink_init(&cfg_, base_), 0);
    }
    void TearDown() override
    {
        rlink_exit();
        core_unwire_stack();
        dme_dsm_set_ind_sink(nullptr);
        adap_lyr_set_dme_sink(nullptr);
        dme_dsm_exit();
        adaptation_layer_exit();
        access_layer_exit();
        v2x_mib_exit();
        event_base_free(base_);
    }
    // The next datagram at the radio, running the link's loop meanwhile:
    // datagrams within 70 ms of the previous one leave from its timer.
    Bytes on_air(int timeout_ms)
    {
        for (int waited = 0; waited < timeout_ms; waited += 5) {
            event_base_loop(base_, EVLOOP_NONBLOCK);
            Bytes got = radio_.recv(5);
            if (!got.empty()) {
                return got;
            }
        }
        return {};
    }
    // Hands a frame to the adaptation layer as the radio link does.
    // One frame with a fresh allowance of lines, so that every case's line
    // is written however fast the cases run.
    int rx(const Bytes& frame)
    {
        air_log_gate() = AirLogGate();
        return get_adaptation_layer_prim()->indication(
            4, kFF, kFF, reinterpret_cast<const char*>(frame.data()), 0,
            static_cast<uint16_t>(frame.size()));
    }
    int req(uint32_t aid, const Bytes& data, const Bytes& ext = {}, uint8_t protTp = PROT_TP_DSMP)
    {
        Bytes block(256, 0);
        std::copy(ext.begin(), ext.end(), block.begin());
        gLastProtTp = protTp;
        return get_dme_dsm_prim()->request(aid, protTp, 3, static_cast<uint16_t>(data.size()),
                                           reinterpret_cast<const char*>(data.data()), kFF,
                                           reinterpret_cast<const char*>(block.data()));
    }
    // Wraps the adaptation request so each call is recorded.
    void record_requests(bool passOn)
    {
        gRealAdapReq = passOn ? adap_lyr_send_entry() : nullptr;
        adap_lyr_send_entry() = record_adap_req;
    }

    struct event_base* base_ = nullptr;
    tV2XSDKCfg cfg_;
    UdpPeer radio_;
};

// The fields of one V2X_DSM_IND message.
struct Ind {
    uint32_t type;
    uint16_t hdrLen;
    uint8_t ver;
    uint32_t aid;
    Bytes peer;
    uint8_t prio;
    uint16_t len;
    Bytes data;
};

Ind parse_ind(const Bytes& m)
{
    Ind i{};
    if (m.size() < 20) {
        ADD_FAILURE() << "indication of " << m.size() << " bytes";
        return i;
    }
    memcpy(&i.type, &m[0], 4);
    memcpy(&i.hdrLen, &m[4], 2);
    i.ver = m[6];
    memcpy(&i.aid, &m[7], 4);
    i.peer.assign(m.begin() + 11, m.begin() + 17);
    i.prio = m[17];
    memcpy(&i.len, &m[18], 2);
    i.data.assign(m.begin() + 20, m.end());
    return i;
}

}  // namespace

using AdapRx = Stack;
using DsmTx = Stack;

TEST_F(DsmTx, RequestReachesTheRadioAsProtocolTypeAndFrame)
{
    record_requests(true);
    ASSERT_EQ(req(32, {0x61, 0x62, 0x63}), 0);
    ASSERT_EQ(gAdapCalls.size(), 1u);
    EXPECT_EQ(gAdapCalls[0].len, 7);
    EXPECT_EQ(on_air(2000), (Bytes{0x04, 0x00, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63}));

    ASSERT_EQ(req(135, {0x01, 0x02}), 0);
    EXPECT_EQ(on_air(2000), (Bytes{0x04, 0x00, 0x80, 0x07, 0x00, 0x02, 0x01, 0x02}));

    ASSERT_EQ(req(32, {0x61, 0x62, 0x63}, {0x05, 0x02, 0xAA, 0xBB}), 0);
    EXPECT_EQ(on_air(2000),
              (Bytes{0x04, 0x08, 0x05, 0x02, 0xAA, 0xBB, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63}));

    // An element id without a value length writes no extension; protocol
    // type 5 in the request still goes out as 4.
    ASSERT_EQ(req(32, {0x61}, {0x05, 0x00, 0xAA}, PROT_TP_IPV4), 0);
    EXPECT_EQ(on_air(2000), (Bytes{0x04, 0x00, 0x20, 0x00, 0x01, 0x61}));
    EXPECT_EQ(gAdapCalls.back().protTp, PROT_TP_IPV4);
}

TEST_F(DsmTx, TenthRequestAfterAGivenOneReusesItsBuffer)
{
    record_requests(false);
    for (int i = 0; i < 21; ++i) {
        ASSERT_EQ(req(1, {static_cast<uint8_t>(i)}), 0);
    }
    ASSERT_EQ(gAdapCalls.size(), 21u);
    for (int i = 0; i < 10; ++i) {
        for (int j = i + 1; j < 10; ++j) {
            EXPECT_NE(gAdapCalls[i].at, gAdapCalls[j].at);
        }
        EXPECT_EQ(gAdapCalls[i].at, gAdapCalls[i + 10].at);
    }
    EXPECT_EQ(gAdapCalls[0].at, gAdapCalls[20].at);
    // The latest frame in a buffer stays untouched by the nine requests
    // that follow it.
    EXPECT_EQ(static_cast<uint8_t>(gAdapCalls[20].at[5]), 20);
    EXPECT_EQ(static_cast<uint8_t>(gAdapCalls[11].at[5]), 11);
}

TEST_F(DsmTx, RequestsWithoutAnEncodingOrTooLongAreRefusedBeforeWriting)
{
    record_requests(false);
    const char* next = dme_dsm_next_send_buf();
    ASSERT_NE(next, nullptr);
    Bytes snapshot(next, next + 2040);
    StdoutCapture cap;
    EXPECT_EQ(req(16512, {1}), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(req(0xFFFFFFFFu, {1}), -ERR_V2X_PARM_CONT);
    Bytes ext(2, 0);
    ext[0] = 1;
    ext[1] = 254;
    EXPECT_EQ(req(1, {1}, ext), -ERR_V2X_PARM_CONT);
    // AID 32, no extension: H = 4, so 1 + 4 + 2036 is one byte too many.
    EXPECT_EQ(req(32, Bytes(2036, 0x11)), -ERR_V2X_SEND_LEN);
    // Two-byte AID and an extension of 2 + 10: H = 17.
    Bytes ext10(12, 0x22);
    ext10[1] = 10;
    EXPECT_EQ(req(200, Bytes(2040 - 1 - 17 + 1, 0x11), ext10), -ERR_V2X_SEND_LEN);
    EXPECT_EQ(get_dme_dsm_prim()->request(1, 4, 0, 5, nullptr, kFF, nullptr), -ERR_V2X_PARM_CONT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "err!!!!"), 6) << out;
    EXPECT_TRUE(gAdapCalls.empty());
    // Nothing was written and no buffer was taken.
    EXPECT_EQ(dme_dsm_next_send_buf(), next);
    EXPECT_EQ(Bytes(next, next + 2040), snapshot);

    // The largest datagrams that fit are accepted, exactly 2040 bytes.
    ASSERT_EQ(req(32, Bytes(2035, 0x11)), 0);
    ASSERT_EQ(req(200, Bytes(2040 - 1 - 17, 0x11), ext10), 0);
    ASSERT_EQ(gAdapCalls.size(), 2u);
    EXPECT_EQ(gAdapCalls[0].len, 2039);
    EXPECT_EQ(gAdapCalls[1].len, 2039);
    // A missing extension block means no extension.
    ASSERT_EQ(get_dme_dsm_prim()->request(1, 4, 0, 1, "x", kFF, nullptr), 0);
    EXPECT_EQ(gAdapCalls[2].len, 5);
}

TEST_F(DsmTx, FailuresBelowArePassedUpUnchanged)
{
    StatDelta stat_delta;
    StdoutCapture cap;
    record_requests(false);
    gAdapReqResult = -ERR_V2X_SOCKET_SEND_TO;
    EXPECT_EQ(req(32, {1}), -ERR_V2X_SOCKET_SEND_TO);
    gAdapReqResult = 0;
    // The real adaptation request again; the radio link refuses to send
    // once it is stopped.
    ASSERT_EQ(adaptation_layer_init(), 0);
    rlink_exit();
    EXPECT_EQ(req(32, {1}), -ERR_V2X_SOCKET_SEND_TO);
    std::string out = cap.stop();
    // Said once, by the radio link that decided it, and counted there.
    EXPECT_EQ(count_lines_with(out, "!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "sendto() err"), 1) << out;
    EXPECT_EQ(stat_delta(offsetof(tV2XCoreStats, txErrOther)), 1u);
}

TEST(DsmTxAlone, MissingAdaptationEntryAndUnbuiltRing)
{
    StdoutCapture cap;
    const Bytes ext(256, 0);
    // Never started: no ring.
    tDMEDSMPrim* p = get_dme_dsm_prim();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->request, nullptr);
    ASSERT_EQ(dme_dsm_init(kMac), 0);
    // The adaptation layer is not started: its request entry is null.
    EXPECT_EQ(p->request(1, 4, 0, 1, "x", kFF, reinterpret_cast<const char*>(ext.data())),
              -ERR_V2X_PARM_CONT);  // the adaptation layer is not running
    EXPECT_EQ(dme_dsm_exit(), 0);
    EXPECT_EQ(dme_dsm_exit(), 0);
    EXPECT_EQ(p->request, nullptr);
    EXPECT_EQ(p->indication, nullptr);
    EXPECT_EQ(dme_dsm_next_send_buf(), nullptr);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "gipAdapLyrPrim->request=NULL err!!!!"), 1) << out;
    EXPECT_EQ(dme_dsm_init(nullptr), -ERR_V2X_PARM_CONT);
}

TEST(DsmLifecycle, RepeatedStartAndStopLeavesNothingBehind)
{
    ASSERT_EQ(dme_dsm_init(kMac), 0);
    ASSERT_EQ(dme_dsm_exit(), 0);
    long heap = v2xtest::heap_in_use();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(dme_dsm_init(kMac), 0);
        // A second start without a stop does not grow the ring.
        ASSERT_EQ(dme_dsm_init(kMac), 0);
        ASSERT_EQ(dme_dsm_exit(), 0);
    }
    EXPECT_LE(v2xtest::heap_in_use() - heap, 256);
}

TEST_F(AdapRx, IndicationMessageBytes)
{
    reg(0, 32);
    Bytes frame = {0x05, 0x20, 0x00, 100};
    for (int i = 0; i < 100; ++i) {
        frame.push_back(static_cast<uint8_t>(i));
    }
    ASSERT_EQ(rx(frame), 0);
    ASSERT_EQ(gInds.size(), 1u);
    ASSERT_EQ(gInds[0].size(), 120u);
    Ind i = parse_ind(gInds[0]);
    EXPECT_EQ(i.type, static_cast<uint32_t>(V2X_DSM_IND));
    EXPECT_EQ(i.hdrLen, 114);
    EXPECT_EQ(i.ver, 5);  // version bits handed up
    EXPECT_EQ(i.aid, 32u);
    EXPECT_EQ(i.peer, Bytes(6, 0xFF));
    EXPECT_EQ(i.prio, 0);
    EXPECT_EQ(i.len, 100);
    EXPECT_EQ(i.data, Bytes(frame.begin() + 4, frame.end()));
    // The head in exact bytes.
    const Bytes head = {0x02, 0x00, 0x00, 0x00, 0x72, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00,
                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x64, 0x00};
    EXPECT_EQ(Bytes(gInds[0].begin(), gInds[0].begin() + 20), head);
}

TEST_F(AdapRx, TwoByteAidAndExtensionLimit)
{
    reg(0, 135);
    reg(1, 32);
    StdoutCapture cap;
    ASSERT_EQ(rx({0x00, 0x80, 0x07, 0x00, 0x02, 0x01, 0x02}), 0);
    Bytes ok = {0x08, 0x01, 32};
    ok.insert(ok.end(), 32, 0x11);
    ok.insert(ok.end(), {0x20, 0x00, 0x01, 0x61});
    ASSERT_EQ(rx(ok), 0);
    Bytes bad = {0x08, 0x01, 33};
    bad.insert(bad.end(), 33, 0x11);
    bad.insert(bad.end(), {0x20, 0x00, 0x01, 0x61});
    EXPECT_EQ(rx(bad), -ERR_V2X_RX_DSM_FMT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "elemIdLen(33)>max(32) err!!!!"), 1) << out;
    ASSERT_EQ(gInds.size(), 2u);
    EXPECT_EQ(parse_ind(gInds[0]).aid, 135u);
    EXPECT_EQ(parse_ind(gInds[1]).data, (Bytes{0x61}));
    EXPECT_TRUE(gDme.empty());
}

TEST_F(AdapRx, LengthMismatchIsDroppedSilently)
{
    reg(0, 32);
    StatDelta d;
    StdoutCapture cap;
    // One byte short of the frame, and one byte too long.
    EXPECT_EQ(rx({0x00, 0x20, 0x00, 0x02, 0x61, 0x62, 0x63}), 0);
    EXPECT_EQ(rx({0x00, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63, 0x64}), 0);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "err!!!!"), 0) << out;
    EXPECT_EQ(d(offsetof(tV2XCoreStats, rxDropLenMismatch)), 2u);
    EXPECT_TRUE(gInds.empty());
}

TEST_F(AdapRx, UnregisteredAidIsDroppedBeforeItsLengthIsRead)
{
    reg(0, 32);
    StatDelta d;
    StdoutCapture cap;
    // AID 33 with a length field cut off: not reported, just dropped.
    EXPECT_EQ(rx({0x00, 0x21, 0x00, 0x09}), 0);
    EXPECT_EQ(rx({0x00, 0x80, 0x21, 0x00}), 0);
    // The same cut-off length for the registered AID is malformed.
    EXPECT_EQ(rx({0x00, 0x80, 0x00, 0x00}), 0);  // AID 128 is not registered
    EXPECT_EQ(rx({0x08, 0x01, 0x00, 0x20, 0x00}), -ERR_V2X_RX_DSM_FMT);
    std::string out = cap.stop();
    EXPECT_EQ(d(offsetof(tV2XCoreStats, rxDropNotRegistered)), 3u);
    EXPECT_EQ(d(offsetof(tV2XCoreStats, rxDropShortLen)), 1u);
    EXPECT_EQ(count_lines_with(out, "dsmDMELen short, aicAdapPayldLen(5) err!!!!"), 1) << out;
    EXPECT_TRUE(gInds.empty());
}

TEST_F(AdapRx, MalformedHeadersAreRefusedWithTheirLines)
{
    reg(0, 0, 1);  // every AID
    StatDelta d;
    StdoutCapture cap;
    EXPECT_EQ(rx({0x00, 0xC1, 0x00, 0x00}), -ERR_V2X_RX_DSM_FMT);
    EXPECT_EQ(rx({0x00, 0x20, 0x00}), -ERR_V2X_RX_DSM_FMT);
    EXPECT_EQ(rx({}), -ERR_V2X_RX_DSM_FMT);
    EXPECT_EQ(rx({0x08, 0x01, 0x05, 0xAA}), -ERR_V2X_RX_DSM_FMT);
    EXPECT_EQ(rx({0x08, 0x01, 0x01, 0xAA}), -ERR_V2X_RX_DSM_FMT);
    EXPECT_EQ(rx({0x08, 0x01, 0x00, 0x80}), -ERR_V2X_RX_DSM_FMT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "AID(c1) format err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "aicAdapPayldLen(3) err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "aicAdapPayldLen(0) err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "elemVal short, aicAdapPayldLen(4) err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "appId short, aicAdapPayldLen(4) err!!!!"), 2) << out;
    // Each drop counted once, by the field the frame ends in.
    EXPECT_EQ(d(offsetof(tV2XCoreStats, rxDropAidFormat)), 1u);
    EXPECT_EQ(d(offsetof(tV2XCoreStats, rxDropTooShort)), 2u);
    EXPECT_EQ(d(offsetof(tV2XCoreStats, rxDropShortExt)), 1u);
    EXPECT_EQ(d(offsetof(tV2XCoreStats, rxDropShortAid)), 2u);
    EXPECT_TRUE(gInds.empty());
}

// A flood of malformed frames writes a handful of lines a second, not a
// line or more per frame.
TEST_F(AdapRx, FloodOfMalformedFramesWritesFewLines)
{
    air_log_gate() = AirLogGate();
    const Bytes bad = {0x00, 0xC1, 0x00, 0x00};
    StdoutCapture cap;
    for (int i = 0; i < 60000; ++i) {
        ASSERT_EQ(get_adaptation_layer_prim()->indication(4, kFF, kFF,
                                                          reinterpret_cast<const char*>(bad.data()),
                                                          0, static_cast<uint16_t>(bad.size())),
                  -ERR_V2X_RX_DSM_FMT);
    }
    const std::string out = cap.stop();
    // At most 5 lines in each second the loop spans (a few at most).
    EXPECT_LE(count_lines_with(out, "AID(c1) format err!!!!"), 5 * 10) << out.size();
    EXPECT_LT(out.size(), 8192u);
    EXPECT_GT(air_log_gate().held + air_log_gate().take_report(), 0u);
}

TEST_F(AdapRx, DmeFramesGoToTheDmeWhateverIsRegistered)
{
    StdoutCapture cap;
    ASSERT_EQ(rx({0x00, 0x87, 0x00, 0x02, 0xDE, 0xAD}), 0);
    EXPECT_EQ(rx({0x00, 0x87, 0x00, 0x03, 0xDE, 0xAD}), -ERR_V2X_RX_DSM_FMT);
    // AID 1927 as this system would write it reads as a DME frame.
    ASSERT_EQ(rx({0x00, 0x87, 0x07, 0x00, 0x00}), -ERR_V2X_RX_DSM_FMT);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "6!=4+3 err, quit!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "5!=4+1792 err, quit!!!!"), 1) << out;
    ASSERT_EQ(gDme.size(), 1u);
    EXPECT_EQ(gDme[0], (Bytes{0xDE, 0xAD}));
    EXPECT_TRUE(gInds.empty());
    // The default sink only counts.
    adap_lyr_set_dme_sink(nullptr);
    const unsigned long before = adap_lyr_default_dme_sink_count();
    ASSERT_EQ(rx({0x00, 0x87, 0x00, 0x00}), 0);
    EXPECT_EQ(adap_lyr_default_dme_sink_count(), before + 1);
}

TEST_F(AdapRx, IndicationFailuresComeBackUnchanged)
{
    reg(0, 32);
    StdoutCapture cap;
    gIndSinkResult = -ERR_V2X_SOCKET_WRITE;
    EXPECT_EQ(rx({0x00, 0x20, 0x00, 0x00}), -ERR_V2X_SOCKET_WRITE);
    gIndSinkResult = 0;
    // The DSM layer refuses data that would not fit its 4096-byte message.
    EXPECT_EQ(get_dme_dsm_prim()->indication(0, 1, 4077, "", kFF, 0), -ERR_V2X_PARM_CONT);
    Bytes big(4076, 0x5A);
    EXPECT_EQ(get_dme_dsm_prim()->indication(0, 1, 4076, reinterpret_cast<const char*>(big.data()),
                                             kFF, 0),
              0);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "v2x_sdk_dmn_serv_tx_clit_msg() err!!!!"), 1) << out;
    // Logged once, where it was decided; the layers below pass it on quietly.
    EXPECT_EQ(count_lines_with(out, "gipDSMPrim->indication() err!!!!"), 0) << out;
    ASSERT_EQ(gInds.size(), 2u);
    EXPECT_EQ(gInds[1].size(), 4096u);
    EXPECT_EQ(parse_ind(gInds[1]).hdrLen, 4090);
}

TEST(AdapRxAlone, MissingDsmEntryIsReported)
{
    // Every AID wanted, so the frame gets past the filter to the DSM layer.
    ASSERT_EQ(v2x_mib_init(), 0);
    tDMEDSMServReq every;
    memset(&every, 0, sizeof(every));
    every.action = DME_ACTION_ADD;
    every.aidMthFlg = 1;
    ASSERT_EQ(mib_dsm_serv_info_updata(&every), 0);
    ASSERT_EQ(adaptation_layer_init(), 0);
    core_wire_stack();
    StdoutCapture cap;
    const char f[4] = {0x00, 0x20, 0x00, 0x00};
    EXPECT_EQ(get_adaptation_layer_prim()->indication(4, kFF, kFF, f, 0, 4),
              -ERR_V2X_PARM_CONT);  // the DSM layer is not running
    EXPECT_EQ(count_lines_with(cap.stop(), "gipDSMPrim->indication=NULL err!!!!"), 1);
    core_unwire_stack();
    v2x_mib_exit();
    EXPECT_EQ(adaptation_layer_exit(), 0);
    EXPECT_EQ(get_adaptation_layer_prim()->request, nullptr);
    EXPECT_EQ(get_adaptation_layer_prim()->indication, nullptr);
}

// The default indication sink stands in for the daemon server until it
// exists; it counts what it would have broadcast.
TEST_F(AdapRx, DefaultIndicationSinkCounts)
{
    reg(0, 32);
    dme_dsm_set_ind_sink(nullptr);
    const unsigned long before = dme_dsm_default_ind_sink_count();
    ASSERT_EQ(rx({0x00, 0x20, 0x00, 0x00}), 0);
    EXPECT_EQ(dme_dsm_default_ind_sink_count(), before + 1);
    EXPECT_TRUE(gInds.empty());
}

using AcesLyr = Stack;

TEST_F(AcesLyr, RequestPutsTheMacHeaderInFront)
{
    Bytes buf(13 + 20, 0);
    for (int i = 0; i < 20; ++i) {
        buf[13 + i] = static_cast<uint8_t>(0xA0 + i);
    }
    const char dst[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(get_access_layer_prim()->request(kMac, dst, reinterpret_cast<char*>(buf.data()),
                                               7, PDCP_SDU_NON_IP, nullptr, 20),
              0);
    Bytes got = on_air(2000);
    ASSERT_EQ(got.size(), 33u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 6), (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Bytes(got.begin() + 6, got.begin() + 12),
              (Bytes{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(got[12], 7);
    EXPECT_EQ(Bytes(got.begin() + 13, got.end()), Bytes(buf.begin() + 13, buf.end()));
}

TEST_F(AcesLyr, IndicationStripsTheProtocolTypeAndRefusesEmptyPayloads)
{
    reg(0, 32);
    StdoutCapture cap;
    const char one[1] = {4};
    // A frame of length 0 reaches the adaptation layer, which refuses it.
    EXPECT_EQ(get_access_layer_prim()->indication(kFF, kFF, 0, one, 1), -ERR_V2X_RX_DSM_FMT);
    EXPECT_EQ(get_access_layer_prim()->indication(kFF, kFF, 0, one, 0), -ERR_V2X_RX_ADAP_FMT);
    const char frame[5] = {4, 0x00, 0x20, 0x00, 0x00};
    const char peer[6] = {9, 8, 7, 6, 5, 4};
    EXPECT_EQ(get_access_layer_prim()->indication(peer, kFF, 6, frame, 5), 0);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "aicAdapPayldLen(0) err!!!!"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "aicAcesPayldLen(0) err!!!!"), 1) << out;
    ASSERT_EQ(gInds.size(), 1u);
    Ind i = parse_ind(gInds[0]);
    EXPECT_EQ(i.peer, (Bytes{9, 8, 7, 6, 5, 4}));
    EXPECT_EQ(i.prio, 6);

    tAcesLyrPrim* t = get_access_layer_prim();
    EXPECT_EQ(access_layer_exit(), 0);
    EXPECT_EQ(get_access_layer_prim(), t);
    EXPECT_EQ(t->request, nullptr);
    EXPECT_EQ(t->indication, nullptr);
}
