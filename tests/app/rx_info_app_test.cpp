// SPDX-License-Identifier: Apache-2.0
// Receive records through the client library and the system API: a
// registration made with the record callback gets the module's fields once
// the connection asked for them, and only the version before.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "core_harness.h"
#include "cv2x_app.h"
#include "cv2x_app_sys.h"
#include "test_support.h"

using namespace v2xtest;

namespace {

std::mutex gLk;
int gGot = 0;
tDSMRxInfo gRx;
uint16_t gLen = 0;
uint8_t gFirst = 0;

int rx_ind(const uint32_t, uint16_t aicLen, const char* aipcMsg, const tDSMRxInfo* aipcRx)
{
    std::lock_guard<std::mutex> lk(gLk);
    ++gGot;
    gRx = *aipcRx;
    gLen = aicLen;
    gFirst = aicLen > 0 ? static_cast<uint8_t>(aipcMsg[0]) : 0;
    return 0;
}

int got() {
    std::lock_guard<std::mutex> lk(gLk);
    return gGot;
}

// Source 0x000102, RSSI -100 half-dB, CBR 500 per mille, then a frame of
// AID 20 with two data bytes.
Bytes rec_frame(uint8_t first)
{
    return {0x84, 1, 12, 7, 0, 0, 0, 1, 2, 0xFF, 0x9C, 0x01, 0xF4, 4, 0x00, 20, 0, 2, first, 0x77};
}

}  // namespace

TEST(AppRxInfo, RecordCallbackGetsTheModulesFieldsOnceAsked)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    UdpPeer radio;
    const std::string path = unique_path("rxi");
    tV2XSDKCfg cfg = sdk_cfg(path, "127.0.0.1", free_udp_port(), radio.port());
    ASSERT_EQ(cv2x_app_init(&cfg), 0);
    tDMEDSMServReq req = serv_rec(0, DME_ACTION_ADD, 20);
    ASSERT_EQ(dme_dsm_serv_req_rx(&req, nullptr, rx_ind), 0);
    ASSERT_TRUE(wait_for([] { return stats_now().mgmtRegistrations >= 1; }));

    // Not asked yet: the callback still runs, with the version alone.
    ASSERT_TRUE(radio.send_to(cfg.rcvPort, rec_frame(1)));
    ASSERT_TRUE(wait_for([] { return got() == 1; }));
    {
        std::lock_guard<std::mutex> lk(gLk);
        EXPECT_EQ(gRx.flags, 0u);
        EXPECT_EQ(+gRx.srcL2Id, V2X_RX_INFO_SRC_UNKNOWN);
        EXPECT_EQ(gLen, 2u);
        EXPECT_EQ(gFirst, 1u);
    }

    ASSERT_EQ(cv2x_app_set_rx_info(1), 0);
    // The request and a later frame take different roads: send frames until
    // one comes back with its record.
    ASSERT_TRUE(wait_for([&] {
        radio.send_to(cfg.rcvPort, rec_frame(2));
        usleep(20000);
        std::lock_guard<std::mutex> lk(gLk);
        return (gRx.flags & V2X_RX_INFO_HAS_SRC) != 0;
    }));
    {
        std::lock_guard<std::mutex> lk(gLk);
        EXPECT_EQ(+gRx.srcL2Id, 0x000102u);
        EXPECT_EQ(+gRx.rssiHalfDb, -100);
        EXPECT_EQ(+gRx.cbrPermille, 500u);
        EXPECT_EQ(+gRx.size, V2X_DSM_RX_INFO_LEN);
        EXPECT_EQ(gFirst, 2u);
    }
    EXPECT_EQ(cv2x_app_exit(), 0);
    EXPECT_EQ(cv2x_app_set_rx_info(1), -ERR_V2X_PARM_CONT);
    unlink(path.c_str());
}
