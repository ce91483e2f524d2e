// SPDX-License-Identifier: Apache-2.0
// Requests with sending options: their bytes on the socket, what the client
// refuses before sending, and an application reading what was dropped for
// it, through the runtime attached to a core of this process.
#include <gtest/gtest.h>

#include <string.h>
#include <time.h>

#include <vector>

#include "app_util.hpp"
#include "core_app.h"
#include "core_harness.h"
#include "cv2x_app.h"
#include "test_support.h"

using namespace v2xtest;

namespace {

std::vector<char> dsm_record(uint32_t aid, uint8_t prio, const std::string& data)
{
    std::vector<char> r(V2X_DSM_REQ_HEAD_LEN + data.size(), 0);
    memcpy(r.data() + offsetof(tDSMReq, appId), &aid, 4);
    r[offsetof(tDSMReq, protTp)] = PROT_TP_DSMP;
    r[offsetof(tDSMReq, priority)] = static_cast<char>(prio);
    memset(r.data() + offsetof(tDSMReq, peerMac), 0xFF, 6);
    const auto len = static_cast<uint16_t>(data.size());
    memcpy(r.data() + offsetof(tDSMReq, msgLen), &len, 2);
    memcpy(r.data() + V2X_DSM_REQ_HEAD_LEN, data.data(), data.size());
    return r;
}

const tDSMReq* as_req(const std::vector<char>& r)
{
    return reinterpret_cast<const tDSMReq*>(r.data());
}

}  // namespace

// The options go in front of the request record, byte for byte; the
// client's check takes the same rules as the core's, and a truncated or
// reserved-bit message is refused before anything leaves.
TEST(AppTxOptions, OptionsPrecedeTheRecordAndBadOnesAreRefused)
{
    LevelGuard lvl(LOG_LEV_OFF);
    const std::vector<char> rec = dsm_record(0x1A, 7, "hi");
    const tDSMTxOpt opt = {0x01020304u, 1, {0, 0, 0}};
    std::vector<char> buf(V2X_CORE_APP_MAX_PAYLOAD);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    ASSERT_EQ(app_dsm_req_ex_build(as_req(rec), &opt, buf.data()), 288);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    const uint8_t head[] = {0x04, 0x03, 0x02, 0x01, 0x01, 0, 0, 0};
    EXPECT_EQ(memcmp(buf.data(), head, sizeof(head)), 0);
    uint64_t callUs;  // stamped during the call
    memcpy(&callUs, buf.data() + 8, 8);
    EXPECT_GE(callUs, static_cast<uint64_t>(t0.tv_sec) * 1000000u + t0.tv_nsec / 1000);
    EXPECT_LE(callUs, static_cast<uint64_t>(t1.tv_sec) * 1000000u + t1.tv_nsec / 1000);
    const uint8_t recHead[] = {0x1A, 0, 0, 0, 0x04, 0x07};
    EXPECT_EQ(memcmp(buf.data() + 16, recHead, sizeof(recHead)), 0);
    EXPECT_EQ(memcmp(buf.data() + 16, rec.data(), rec.size()), 0);
    EXPECT_EQ(app_core_msg_check(V2X_DSM_REQ_EX, buf.data(), 288), 0);
    EXPECT_EQ(app_core_msg_check(V2X_DSM_REQ_EX, buf.data(), 287), -ERR_V2X_SEND_LEN);
    EXPECT_EQ(app_core_msg_check(V2X_DSM_REQ_EX, buf.data(), V2X_DSM_REQ_EX_HEAD_LEN - 1),
              -ERR_V2X_SEND_LEN);
    buf[6] = 1;  // a reserved byte
    EXPECT_EQ(app_core_msg_check(V2X_DSM_REQ_EX, buf.data(), 288), -ERR_V2X_PARM_CONT);
    // A record that claims more data than one message holds is never read.
    std::vector<char> huge = dsm_record(0x1A, 7, "");
    const uint16_t most = 0xFFFF;
    memcpy(huge.data() + offsetof(tDSMReq, msgLen), &most, 2);
    EXPECT_EQ(app_dsm_req_ex_build(as_req(huge), &opt, buf.data()), -ERR_V2X_SEND_LEN);
    EXPECT_EQ(app_dsm_req_ex_build(nullptr, &opt, buf.data()), -ERR_V2X_PARM_CONT);
}

// Behind twelve urgent requests a request with a 100 ms lifetime is dropped
// unsent, and the application reads that, and what it sent, from the core.
TEST(AppTxOptions, TheApplicationReadsWhatWasDroppedForIt)
{
    LevelGuard lvl(LOG_LEV_OFF);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    tV2XCtlClient st;
    EXPECT_EQ(cv2x_app_conn_stats(&st), -ERR_V2X_PARM_CONT);  // no runtime yet
    ASSERT_EQ(cv2x_app_attach(&core.cfg), 0);
    const std::vector<char> urgent = dsm_record(40, 7, "urgent");
    const std::vector<char> late = dsm_record(41, 1, "late");
    const tDSMTxOpt bad = {0, 0, {0, 1, 0}};
    EXPECT_EQ(dsm_request_ex(as_req(late), &bad), -ERR_V2X_PARM_CONT);
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(dsm_request_ex(as_req(urgent), nullptr), 0) << i;
    }
    const tDSMTxOpt life = {100, 0, {0, 0, 0}};
    ASSERT_EQ(dsm_request_ex(as_req(late), &life), 0);
    EXPECT_TRUE(wait_for([&] { return cv2x_app_conn_stats(&st) == 0 && st.txExpired == 1; }, 3000));
    int urgentSeen = 0, lateSeen = 0;
    for (Bytes d = core.radio.recv(1000); !d.empty(); d = core.radio.recv(1000)) {
        urgentSeen += d[2] == 40 ? 1 : 0;
        lateSeen += d[2] == 41 ? 1 : 0;
    }
    EXPECT_EQ(urgentSeen, 12);
    EXPECT_EQ(lateSeen, 0);
    ASSERT_EQ(cv2x_app_conn_stats(&st), 0);
    EXPECT_EQ(st.txSent, 12u);
    EXPECT_EQ(st.txQueued, 0u);
    EXPECT_EQ(st.txExpired, 1u);
    EXPECT_EQ(st.txSuperseded, 0u);
    EXPECT_EQ(cv2x_app_conn_stats(nullptr), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(cv2x_app_exit(), 0);
    EXPECT_EQ(cv2x_app_conn_stats(&st), -ERR_V2X_PARM_CONT);
}
