// SPDX-License-Identifier: Apache-2.0
// The core's counters with a running core: every way a datagram from the
// air is dropped lands in its own counter and no other, refusals are
// counted for the connection that made them, and the query over the
// application socket answers with the tables, in parts when they are long.
#include <gtest/gtest.h>

#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core_app.h"
#include "core_harness.h"
#include "test_support.h"
#include "v2x_core.h"
#include "v2x_stats.h"

using namespace v2xtest;

namespace {

#define OFF(f) offsetof(tV2XCoreStats, f)

// Every counter a datagram from the air can land in.
constexpr size_t kRxOutcomes[] = {
    OFF(rxIndications),    OFF(rxDmeFrames),       OFF(rxDropTooShort),
    OFF(rxDropShortExt),   OFF(rxDropShortAid),    OFF(rxDropShortLen),
    OFF(rxDropExtTooLong), OFF(rxDropAidFormat),   OFF(rxDropNotRegistered),
    OFF(rxDropLenMismatch), OFF(rxDropTruncated),  OFF(rxDropRecvErr),
    OFF(rxDropNoBuffer),   OFF(rxProtTypeOther)};

bool wait_stat(const StatDelta& d, size_t off, uint64_t want, int ms = 3000)
{
    return wait_for([&] { return d(off) >= want; }, ms);
}

Bytes with_prot(uint8_t prot, Bytes frame)
{
    frame.insert(frame.begin(), prot);
    return frame;
}

// After a refused header the core drops whatever the connection had sent by
// then: ask until an answer shows that the stream is read afresh.
void resync(int fd)
{
    for (int i = 0; i < 20; ++i) {
        if (ctl_query(fd, V2X_CTL_STATS, 0, V2X_CTL_VERSION, 500).head.what == V2X_CTL_STATS) {
            return;
        }
    }
    ADD_FAILURE() << "the core never answered again";
}

}  // namespace

TEST(CoreStats, EachAirDropLandsInItsOwnCounterOnly)
{
    CoreHarness core;
    ASSERT_TRUE(core.started());
    int app = core.connect_app();
    ASSERT_EQ(register_aid(app, 0, 32), 0);
    struct Case {
        Bytes frame;  // after the protocol-type byte
        size_t counter;
    };
    const std::vector<Case> cases = {
        {{0x00, 0x20, 0x00, 0x01, 0x61}, OFF(rxIndications)},
        {{0x00, 0x87, 0x00, 0x02, 0xDE, 0xAD}, OFF(rxDmeFrames)},
        {{0x00, 0x20, 0x00}, OFF(rxDropTooShort)},
        {{0x08, 0x01, 0x05, 0x00}, OFF(rxDropShortExt)},      // value cut
        {{0x08, 0x01, 0x00, 0x80}, OFF(rxDropShortAid)},      // 2-byte AID cut
        {{0x08, 0x01, 0x00, 0x20, 0x00}, OFF(rxDropShortLen)},
        {{0x08, 0x01, 0x21, 0x00}, OFF(rxDropExtTooLong)},    // 33 bytes
        {{0x00, 0xC1, 0x00, 0x00}, OFF(rxDropAidFormat)},
        {{0x00, 0x21, 0x00, 0x00}, OFF(rxDropNotRegistered)},
        {{0x00, 0x20, 0x00, 0x05, 0x01}, OFF(rxDropLenMismatch)},
        {{0x00, 0x87, 0x00, 0x03, 0xDE, 0xAD}, OFF(rxDropLenMismatch)},
        {Bytes(2999, 0x00), OFF(rxDropTruncated)},            // 3000 with the type
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        StatDelta d;
        const Bytes dg = with_prot(4, cases[i].frame);
        ASSERT_TRUE(core.air_send(dg));
        ASSERT_TRUE(wait_stat(d, cases[i].counter, 1)) << "case " << i;
        EXPECT_EQ(d(OFF(rxDatagrams)), 1u) << "case " << i;
        EXPECT_EQ(d(OFF(rxBytes)), dg.size()) << "case " << i;
        for (size_t off : kRxOutcomes) {
            EXPECT_EQ(d(off), off == cases[i].counter ? 1u : 0u)
                << "case " << i << ", counter at " << off;
        }
    }
    // Another protocol type is counted and still decoded.
    StatDelta d;
    ASSERT_TRUE(core.air_send(with_prot(9, {0x00, 0x20, 0x00, 0x01, 0x62})));
    ASSERT_TRUE(wait_stat(d, OFF(rxIndications), 1));
    EXPECT_EQ(d(OFF(rxProtTypeOther)), 1u);
}

// Requests refused for their type, length or value count for the
// connection that sent them; another connection's stay clean.
TEST(CoreStats, RefusalsAreCountedPerConnection)
{
    CoreHarness core;
    ASSERT_TRUE(core.started());
    int a = core.connect_app();
    int b = core.connect_app();
    ASSERT_EQ(register_aid(b, 0, 32), 0);
    StatDelta d;
    ASSERT_TRUE(write_all(a, app_msg(99, {})));
    ASSERT_TRUE(wait_stat(d, OFF(appRefusedType), 1));
    resync(a);
    ASSERT_TRUE(write_all(a, app_msg(V2X_DME_DSM_SERV_REQ, Bytes(3, 0))));
    ASSERT_TRUE(wait_stat(d, OFF(appRefusedLen), 1));
    resync(a);
    ASSERT_EQ(register_aid(a, 40, 7), 1);  // index beyond the table: a value
    ASSERT_TRUE(wait_stat(d, OFF(appRefusedValue), 1));
    EXPECT_EQ(d(OFF(cfmRefusedValue)), 1u);
    ASSERT_TRUE(write_all(b, dsm_req(32, {1, 2, 3})));
    ASSERT_TRUE(wait_stat(d, OFF(txDatagrams), 1));

    int c = core.connect_app();
    CtlAnswer ans = ctl_query(c, V2X_CTL_CLIENTS);
    ASSERT_EQ(ans.head.status, static_cast<uint32_t>(V2X_CTL_OK));
    ASSERT_EQ(ans.head.recSize, sizeof(tV2XCtlClientEx));
    // In the order they connected: the harness's own, a, b, the asker.
    ASSERT_EQ(ans.head.count, 4u);
    ASSERT_EQ(ans.head.total, 4u);
    const auto ra = rec_at<tV2XCtlClient>(ans, 1);
    const auto rb = rec_at<tV2XCtlClient>(ans, 2);
    EXPECT_LT(ra.connId, rb.connId);
    EXPECT_EQ(ra.pid, static_cast<int32_t>(getpid()));
    EXPECT_EQ(ra.uid, static_cast<int32_t>(getuid()));
    EXPECT_EQ(ra.refusedType, 1u);
    EXPECT_EQ(ra.refusedLen, 1u);
    EXPECT_EQ(ra.refusedValue, 1u);
    // The refused registration and the two queries that answered; refused
    // headers are not read.
    EXPECT_GE(ra.msgsIn, 3u);
    EXPECT_GE(ra.msgsOut, 3u);
    EXPECT_EQ(rb.refusedType + rb.refusedLen + rb.refusedValue, 0u);
    EXPECT_EQ(rb.msgsIn, 2u);
    EXPECT_EQ(rb.bytesIn, 2 * V2X_CORE_APP_HDR_LEN + V2X_DME_DSM_SERV_REQ_LEN +
                              V2X_DSM_REQ_HEAD_LEN + 3);
    EXPECT_EQ(rb.msgsOut, 1u);

    CtlAnswer aids = ctl_query(c, V2X_CTL_AIDS);
    ASSERT_EQ(aids.head.count, 1u);
    const auto r = rec_at<tV2XCtlAid>(aids, 0);
    EXPECT_EQ(r.aid, 32u);
    EXPECT_EQ(r.connId, rb.connId);
    EXPECT_EQ(ctl_query(c, V2X_CTL_STATS, 0, 0).head.status, static_cast<uint32_t>(V2X_CTL_BAD_VERSION));
    EXPECT_EQ(ctl_query(c, 77).head.status, static_cast<uint32_t>(V2X_CTL_BAD_WHAT));
}

// A list longer than one message comes in parts; providers show their
// owner and rate.
TEST(CoreStats, LongListsComeInPartsAndProvidersShowTheirOwner)
{
    // 51 connections of one user: within its share of a cap of 80.
    struct CapGuard {
        CapGuard() { v2x_sdk_dmn_serv_set_max_clit(80); }
        ~CapGuard() { v2x_sdk_dmn_serv_set_max_clit(V2X_DMN_SERV_MAX_CLIT_DEF); }
    } cap;
    CoreHarness core;
    ASSERT_TRUE(core.started());
    std::vector<int> fds;
    StatDelta d;
    for (int i = 0; i < 50; ++i) {
        fds.push_back(core.connect_app());
        ASSERT_GE(fds.back(), 0);
    }
    ASSERT_TRUE(wait_stat(d, OFF(appAccepted), 50));
    // 51 with the harness's own connection.
    CtlAnswer one = ctl_query(fds[0], V2X_CTL_CLIENTS);
    const uint32_t perMsg = (V2X_CORE_APP_MAX_PAYLOAD - sizeof(tV2XCtlRsp)) / sizeof(tV2XCtlClientEx);
    ASSERT_EQ(one.head.total, 51u);
    ASSERT_EQ(one.head.count, perMsg);
    CtlAnswer two = ctl_query(fds[0], V2X_CTL_CLIENTS, one.head.count);
    EXPECT_EQ(two.head.first, perMsg);
    ASSERT_EQ(two.head.count, 51u - perMsg);
    EXPECT_LT(rec_at<tV2XCtlClient>(one, perMsg - 1).connId, rec_at<tV2XCtlClient>(two, 0).connId);
    EXPECT_EQ(ctl_query(fds[0], V2X_CTL_CLIENTS, 51).head.count, 0u);

    ASSERT_TRUE(write_all(fds[3], prov_req(7, DME_ACTION_ADD, 300, 5, "hello")));
    ASSERT_EQ(read_msg(fds[3], 3000).size(), V2X_CORE_APP_HDR_LEN + V2X_DME_SERV_CFM_LEN);
    CtlAnswer prov = ctl_query(fds[0], V2X_CTL_PROVIDERS);
    ASSERT_EQ(prov.head.count, 1u);
    const auto p = rec_at<tV2XCtlProvider>(prov, 0);
    EXPECT_EQ(p.aid, 300u);
    EXPECT_EQ(p.lclAppId, 7);
    EXPECT_EQ(p.rptRte, 5);
    EXPECT_EQ(p.connId, rec_at<tV2XCtlClient>(one, 4).connId);
    tV2XCoreStats st;
    st.size = sizeof(st);
    ASSERT_EQ(v2x_core_stats(&st), 0);
    EXPECT_EQ(st.mgmtProviders, 1u);
    EXPECT_EQ(st.appConnections, 51u);
    // Its owner gone, so is the provider.
    core.close_app(fds[3]);
    uint32_t left = 1;
    for (int i = 0; i < 300 && left != 0; ++i) {
        left = ctl_query(fds[0], V2X_CTL_PROVIDERS).head.total;
    }
    EXPECT_EQ(left, 0u);
}

// An older caller's shorter record is filled only as far as it reaches.
TEST(CoreStats, TheRecordGrowsWithoutBreakingOlderCallers)
{
    EXPECT_EQ(v2x_core_stats(nullptr), -ERR_V2X_PARM_CONT);
    unsigned char buf[sizeof(tV2XCoreStats) + 64];
    memset(buf, 0xAB, sizeof(buf));
    tV2XCoreStats st;
    st.size = 4;
    EXPECT_EQ(v2x_core_stats(&st), -ERR_V2X_PARM_CONT);
    uint32_t size = 16;  // the head and one counter
    memcpy(buf, &size, sizeof(size));
    ASSERT_EQ(v2x_core_stats(reinterpret_cast<tV2XCoreStats*>(buf)), 0);
    memcpy(&size, buf, sizeof(size));
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(buf[16], 0xAB);  // nothing written past it
    size = sizeof(buf);
    memcpy(buf, &size, sizeof(size));
    ASSERT_EQ(v2x_core_stats(reinterpret_cast<tV2XCoreStats*>(buf)), 0);
    memcpy(&size, buf, sizeof(size));
    EXPECT_EQ(size, sizeof(tV2XCoreStats));
    EXPECT_EQ(buf[sizeof(tV2XCoreStats)], 0xAB);
}

// A connection that does not read loses whole messages, counted for it and
// in the core's total, and shows what is still waiting to be written to it.
TEST(CoreStats, AConnectionThatDoesNotReadCountsWhatItMissed)
{
    CoreHarness core;
    ASSERT_TRUE(core.started());
    int app = core.connect_app();
    ASSERT_EQ(register_aid(app, 0, 32), 0);
    StatDelta d;
    for (int round = 0; round < 20 && d(OFF(appDroppedStalled)) == 0; ++round) {
        for (int i = 0; i < 50; ++i) {
            ASSERT_TRUE(core.air_send(air_frame(32, Bytes(1900, 0x5A))));
        }
        wait_stat(d, OFF(appDroppedStalled), 1, 500);
    }
    ASSERT_GT(d(OFF(appDroppedStalled)), 0u);
    // Every connection's drops add up to the total.
    int asker = core.connect_app();
    const uint64_t total = d(OFF(appDroppedStalled));
    CtlAnswer ans = ctl_query(asker, V2X_CTL_CLIENTS);
    ASSERT_GE(ans.head.count, 3u);
    uint64_t sum = 0;
    bool pending = false;
    for (uint32_t i = 0; i < ans.head.count; ++i) {
        const auto r = rec_at<tV2XCtlClient>(ans, i);
        sum += r.droppedStalled;
        pending = pending || r.pendingBytes > 0;
    }
    // Frames may still be coming in while the answer is built.
    EXPECT_GE(sum, total);
    EXPECT_LE(sum, d(OFF(appDroppedStalled)));
    EXPECT_TRUE(pending);
}

// The status record's bytes as a running core answers them: size, the
// station name at its offset, the socket path, the process, the start
// between the clocks read around it; the name's refusals keep the old one.
TEST(CoreStats, StatusRecordNamesTheStationAndItsStart)
{
    struct NameGuard {  // the name stays for later cores of this process
        ~NameGuard() { v2x_core_set_station_name(nullptr); }
    } guard;
    ASSERT_EQ(v2x_core_set_station_name("unit-\xc3\xa9"), 0);  // UTF-8 is fine
    EXPECT_EQ(v2x_core_set_station_name(std::string(V2X_STATION_NAME_MAX + 1, 'x').c_str()),
              -ERR_V2X_PARM_CONT);
    EXPECT_EQ(v2x_core_set_station_name("two\nlines"), -ERR_V2X_PARM_CONT);
    struct timespec t0, t1;
    clock_gettime(CLOCK_REALTIME, &t0);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    clock_gettime(CLOCK_REALTIME, &t1);
    const int c = core.connect_app();
    CtlAnswer a = ctl_query(c, V2X_CTL_STATUS);
    ASSERT_EQ(a.head.status, static_cast<uint32_t>(V2X_CTL_OK));
    ASSERT_EQ(a.head.count, 1u);
    ASSERT_EQ(a.head.recSize, 276u);
    ASSERT_EQ(a.recs.size(), 276u);
    const Bytes& b = a.recs;
    uint32_t size = 0;
    int32_t pid = 0;
    uint64_t startUs = 0;
    memcpy(&size, b.data(), 4);
    memcpy(&startUs, b.data() + 8, 8);
    memcpy(&pid, b.data() + 24, 4);
    EXPECT_EQ(size, 276u);
    EXPECT_EQ(pid, getpid());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data() + 244)), "unit-\xc3\xa9");
    EXPECT_EQ(b[275], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data() + 136)), core.cfg.dmnNme);
    const auto us = [](const timespec& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
    };
    EXPECT_GE(startUs, us(t0));
    EXPECT_LE(startUs, us(t1));
    const auto st = rec_at<tV2XCtlStatus>(a, 0);
    EXPECT_NE(st.libVersion[0], '\0');
    EXPECT_GE(+st.appConnections, 1u);
    EXPECT_EQ(+st.maxClients, static_cast<uint32_t>(V2X_DMN_SERV_MAX_CLIT_DEF));

    // A rename while the core runs shows at once; a refused one changes nothing.
    ASSERT_EQ(v2x_core_set_station_name(std::string(V2X_STATION_NAME_MAX, 'n').c_str()), 0);
    EXPECT_EQ(v2x_core_set_station_name("\x7f"), -ERR_V2X_PARM_CONT);
    a = ctl_query(c, V2X_CTL_STATUS);
    ASSERT_EQ(a.recs.size(), 276u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.recs.data() + 244)),
              std::string(V2X_STATION_NAME_MAX, 'n'));
    EXPECT_GE(+rec_at<tV2XCtlStatus>(a, 0).uptimeMs, +st.uptimeMs);
}
