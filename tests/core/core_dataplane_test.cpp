// SPDX-License-Identifier: Apache-2.0
// The data plane inside a running core: a datagram from the air reaches
// the indication path on the core thread, a request leaves as a datagram,
// and a start-up that cannot bind the receive address releases everything.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "adap_lyr.hpp"
#include "core.h"
#include "core_app.h"
#include "core_harness.h"
#include "core_mib.h"
#include "dme_dsm.hpp"
#include "rlink.hpp"
#include "test_support.h"

using v2xtest::Bytes;
using v2xtest::StdoutCapture;
using v2xtest::UdpPeer;
using v2xtest::count_lines_with;

namespace {

// Indications arrive on the core thread.
std::mutex gLk;
std::vector<Bytes> gInds;
std::vector<Bytes> gDme;

int ind_sink(const char* msg, const int len)
{
    std::lock_guard<std::mutex> lk(gLk);
    gInds.emplace_back(msg, msg + len);
    return 0;
}

int dme_sink(const char* msg, const uint16_t len)
{
    std::lock_guard<std::mutex> lk(gLk);
    gDme.emplace_back(msg, msg + len);
    return 0;
}

size_t wait_count(const std::vector<Bytes>& v, size_t n, int timeout_ms)
{
    const auto size = [&] {
        std::lock_guard<std::mutex> lk(gLk);
        return v.size();
    };
    v2xtest::wait_for([&] { return size() >= n; }, timeout_ms);
    return size();
}

tV2XSDKCfg core_cfg(const char* rcvIp, uint16_t rcvPort, uint16_t sendPort)
{
    tV2XSDKCfg cfg = v2xtest::sdk_cfg(v2xtest::unique_path("dp"), rcvIp, rcvPort, sendPort);
    const uint8_t mac[6] = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    memcpy(cfg.macAddr, mac, 6);
    return cfg;
}

int reg(uint16_t index, uint32_t action, uint32_t aid)
{
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.index = index;
    r.action = action;
    r.appId = aid;
    return mib_dsm_serv_info_updata(&r);
}

}  // namespace

TEST(CoreDataPlane, AirToIndicationAndRequestToAir)
{
    UdpPeer radio;
    UdpPeer air;
    tV2XSDKCfg cfg = core_cfg("127.0.0.1", v2xtest::free_udp_port(), radio.port());
    ASSERT_EQ(v2x_core_init(&cfg), 0);
    // The radio link starts last; once its socket is bound, start-up is
    // over and nothing will point the indication paths elsewhere.
    ASSERT_TRUE(v2xtest::wait_for([&] { return rlink_rx_port() == cfg.rcvPort; }));
    dme_dsm_set_ind_sink(ind_sink);
    adap_lyr_set_dme_sink(dme_sink);
    ASSERT_EQ(reg(4, DME_ACTION_ADD, 32), 0);

    const Bytes frame = {0x04, 0x00, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63};
    ASSERT_TRUE(air.send_to(cfg.rcvPort, frame));
    ASSERT_EQ(wait_count(gInds, 1, 5000), 1u);
    // An unregistered AID and a DME frame.
    ASSERT_TRUE(air.send_to(cfg.rcvPort, {0x04, 0x00, 0x21, 0x00, 0x00}));
    ASSERT_TRUE(air.send_to(cfg.rcvPort, {0x04, 0x00, 0x87, 0x00, 0x01, 0x42}));
    ASSERT_EQ(wait_count(gDme, 1, 5000), 1u);
    {
        std::lock_guard<std::mutex> lk(gLk);
        // Datagrams on one socket are read in order: the AID 33 frame was
        // dropped before the DME frame arrived.
        const Bytes want = {0x02, 0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x20, 0x00, 0x00,
                            0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x03, 0x00,
                            0x61, 0x62, 0x63};
        ASSERT_EQ(gInds.size(), 1u);
        EXPECT_EQ(gInds[0], want);
        EXPECT_EQ(gDme[0], (Bytes{0x42}));
    }

    // The request primitive is the one the gateway calls for an application.
    const Bytes ext(256, 0);
    ASSERT_EQ(get_dme_dsm_prim()->request(200, PROT_TP_DSMP, 1, 2, "hi", "\xFF\xFF\xFF\xFF\xFF\xFF",
                                          reinterpret_cast<const char*>(ext.data())),
              0);
    EXPECT_EQ(radio.recv(5000), (Bytes{0x04, 0x00, 0x80, 0x48, 0x00, 0x02, 'h', 'i'}));

    EXPECT_EQ(v2x_core_exit(), 0);
    // Everything is released: the tables are empty again.
    EXPECT_EQ(get_dme_dsm_prim()->request, nullptr);
    EXPECT_EQ(get_adaptation_layer_prim()->indication, nullptr);
    EXPECT_EQ(mib_query_dme_dsm_appid(32), -1);
    dme_dsm_set_ind_sink(nullptr);
    adap_lyr_set_dme_sink(nullptr);
}

TEST(CoreDataPlane, StartUpFailsWhenTheReceiveAddressIsNotLocal)
{
    // Warm-up: libevent's thread support and the allocator's per-thread
    // caches settle over the first cycles.
    tV2XSDKCfg bad = core_cfg("192.0.2.1", 40124, 9);
    {
        StdoutCapture warm;
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(v2x_core_init(&bad), -ERR_V2X_SOCKET_BIND);
            v2x_core_exit();
        }
    }
    StdoutCapture cap;
    const int fds = v2xtest::open_fd_count();
    const long heap = v2xtest::heap_in_use();
    for (int i = 0; i < 3; ++i) {
        // The start-up's own result, and nothing left behind by it.
        ASSERT_EQ(v2x_core_init(&bad), -ERR_V2X_SOCKET_BIND);
        EXPECT_EQ(v2x_core_exit(), 0);
    }
    const int fdsAfter = v2xtest::open_fd_count();
    const long heapAfter = v2xtest::heap_in_use();
    std::string out = cap.stop();
    // Start-up ran to the radio link and failed there, every time.
    EXPECT_EQ(count_lines_with(out, "rlink_init() err!!!!"), 3) << out;
    EXPECT_EQ(count_lines_with(out, "bind(192.0.2.1:40124) err, msg:"), 3) << out;
    EXPECT_EQ(fdsAfter, fds);
    EXPECT_LE(heapAfter - heap, 1024);
    EXPECT_EQ(get_dme_dsm_prim()->request, nullptr);
    EXPECT_EQ(get_adaptation_layer_prim()->request, nullptr);
}
