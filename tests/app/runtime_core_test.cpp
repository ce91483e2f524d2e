// SPDX-License-Identifier: Apache-2.0
// The runtime with a real core in this process: several sending threads,
// the core going away underneath, and stops during traffic.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <thread>

#include "core.h"
#include "core_harness.h"
#include "cv2x_app.h"
#include "fake_core.h"
#include "test_support.h"

using namespace v2xtest;

namespace {

std::atomic<int> gIndCount{0};

std::atomic<int> gCfmCount{0};

int count_cfm(const uint32_t, eDMERetCd)
{
    ++gCfmCount;
    return 0;
}

int count_ind(uint8_t, const uint32_t, uint16_t, const char*, const char*, uint8_t)
{
    ++gIndCount;
    return 0;
}

struct RealCoreCfg {
    UdpPeer radio;  // plays the radio module: the core sends here
    tV2XSDKCfg cfg;
    std::string path = unique_path("rt");
    RealCoreCfg()
    {
        cfg = sdk_cfg(path, "127.0.0.1", free_udp_port(), radio.port());
    }
    ~RealCoreCfg() { unlink(path.c_str()); }
    // Starts the runtime with its core; a receive port taken by another
    // test meanwhile is replaced.
    int init()
    {
        int rc = cv2x_app_init(&cfg);
        for (int i = 0; i < 3 && rc == -ERR_V2X_SOCKET_BIND; ++i) {
            cfg.rcvPort = free_udp_port();
            rc = cv2x_app_init(&cfg);
        }
        return rc;
    }
};

}  // namespace

TEST(AppRuntimeCore, ThreadsSendingAtOnceAllReachTheRadioWhole)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    RealCoreCfg rc;
    ASSERT_EQ(rc.init(), 0);
    const int kThreads = 4, kEach = 8;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([t] {
            std::vector<char> buf(270 + 64);
            auto* req = reinterpret_cast<tDSMReq*>(buf.data());
            req->appId = 26;
            req->protTp = PROT_TP_DSMP;
            const uint16_t len = 64;
            memcpy(buf.data() + 268, &len, 2);
            for (int i = 0; i < kEach; ++i) {
                memset(buf.data() + 270, t, 64);
                buf[270] = static_cast<char>(i);
                EXPECT_EQ(dsm_request(req), 0);
            }
        });
    }
    for (auto& th : ts) {
        th.join();
    }
    // Datagrams leave 70 ms apart: 32 take a little over 2 s.
    std::vector<int> next(kThreads, 0);
    for (int k = 0; k < kThreads * kEach; ++k) {
        Bytes d = rc.radio.recv(10000);
        ASSERT_EQ(d.size(), 5u + 64) << k;
        EXPECT_EQ(Bytes(d.begin(), d.begin() + 5), Bytes({4, 0, 26, 0, 64}));
        int t = d[6];
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(d[5], next[t]);
        ++next[t];
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
    EXPECT_EQ(cv2x_app_exit(), 0);
}

TEST(AppRuntimeCore, CoreGoingAwayEndsTheRuntimeAndExitStillReturnsZero)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    RealCoreCfg rc;
    const int fds = open_fd_count();
    ASSERT_EQ(rc.init(), 0);
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.action = DME_ACTION_ADD;
    r.appId = 26;
    gCfmCount = 0;
    ASSERT_EQ(dme_dsm_serv_req(&r, count_cfm, count_ind), 0);
    // Once the core has answered (nothing unread on its side), it stops
    // underneath the runtime: the connection closes.
    ASSERT_TRUE(wait_for([] { return gCfmCount.load() == 1; }));
    EXPECT_EQ(v2x_core_exit(), 0);
    char b = 0;
    EXPECT_TRUE(wait_for([] { return cv2x_app_core_connected() == 0; }));
    // The core is gone, and every later send says so at once.
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, &b, 1), -ERR_V2X_SOCKET_CONECT);
    EXPECT_EQ(cv2x_app_exit(), 0);
    EXPECT_EQ(cv2x_app_exit(), 0);
    EXPECT_EQ(open_fd_count(), fds);
}

TEST(AppRuntimeCore, ExitDuringIncomingTraffic)
{
    LevelGuard lvl(LOG_LEV_OFF);
    RealCoreCfg rc;
    const int fds = open_fd_count();
    gIndCount = 0;
    ASSERT_EQ(rc.init(), 0);
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.action = DME_ACTION_ADD;
    r.appId = 26;
    StatDelta d;
    ASSERT_EQ(dme_dsm_serv_req(&r, nullptr, count_ind), 0);
    // The registration reaches the MIB.
    ASSERT_TRUE(wait_for([&] { return d(offsetof(tV2XCoreStats, mgmtRegistrations)) == 1; }));
    std::atomic<bool> stop{false};
    std::thread air([&] {
        Bytes f = {4, 0, 26, 0, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        while (!stop) {
            rc.radio.send_to(rc.cfg.rcvPort, f);
            usleep(500);  // not a wait: the pace of the traffic
        }
    });
    ASSERT_TRUE(wait_for([] { return gIndCount.load() >= 20; }));
    EXPECT_EQ(cv2x_app_exit(), 0);
    EXPECT_EQ(cv2x_app_exit(), 0);
    stop = true;
    air.join();
    EXPECT_EQ(open_fd_count(), fds);
}

// The limits at the call: the largest message of each AID form and
// extension goes on the air whole; one byte more, AID 16512 or an extension
// over 253 bytes is refused by the call, and nothing of it reaches the radio.
TEST(AppRuntimeCore, LimitsAreCheckedAtTheCall)
{
    LevelGuard lvl(LOG_LEV_OFF);
    RealCoreCfg rc;
    ASSERT_EQ(rc.init(), 0);
    struct Case {
        uint32_t aid;
        uint8_t ext;
        size_t len;
        int rc;
    } cases[] = {
        {127, 0, 2035, 0},     {127, 0, 2036, -ERR_V2X_SEND_LEN},
        {128, 0, 2034, 0},     {16511, 0, 2035, -ERR_V2X_SEND_LEN},
        {16511, 0, 2034, 0},   {16512, 0, 10, -ERR_V2X_PARM_CONT},
        {70000, 0, 10, -ERR_V2X_PARM_CONT},
        {5, 253, 1780, 0},     {5, 253, 1781, -ERR_V2X_SEND_LEN},
        {5, 254, 10, -ERR_V2X_PARM_CONT},
    };
    for (const Case& c : cases) {
        std::vector<char> b(V2X_DSM_REQ_HEAD_LEN + c.len, 0x3C);
        tDSMReq h;
        memset(&h, 0, sizeof(h));
        h.appId = c.aid;
        h.protTp = PROT_TP_DSMP;
        memset(h.peerMac, 0xFF, sizeof(h.peerMac));
        h.dsmHdrExts[0] = 1;
        h.dsmHdrExts[1] = c.ext;
        h.msgLen = static_cast<uint16_t>(c.len);
        memcpy(b.data(), &h, sizeof(h));
        ASSERT_EQ(dsm_request(reinterpret_cast<const tDSMReq*>(b.data())), c.rc) << c.aid << "/" << c.len;
        if (c.rc == 0) {
            const size_t head = 1 + 1 + (c.ext != 0 ? 2u + c.ext : 0u) + (c.aid <= 127 ? 1u : 2u) + 2;
            Bytes d = rc.radio.recv(3000);
            ASSERT_EQ(d.size(), head + c.len) << c.aid << "/" << c.len;
            EXPECT_EQ(d.back(), 0x3C);
            EXPECT_LE(d.size(), V2X_LIM_FRAME_BUF);
        }
    }
    EXPECT_TRUE(rc.radio.recv(300).empty());
    EXPECT_EQ(cv2x_app_exit(), 0);
}

namespace {

std::atomic<int> gExitRc{1};
std::atomic<int> gRegRc{1};

int ind_calls_forbidden(uint8_t, const uint32_t, uint16_t, const char*, const char*, uint8_t)
{
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.index = 3;
    r.appId = 40;
    gRegRc = dme_dsm_serv_req(&r, nullptr, count_ind);
    gExitRc = cv2x_app_exit();
    return 0;
}

}  // namespace

// On the runtime thread, the calls that would wait for that thread return
// at once, and the runtime goes on delivering.
TEST(AppRuntimeCore, ForbiddenCallsFromAnIndicationReturnAtOnce)
{
    LevelGuard lvl(LOG_LEV_OFF);
    RealCoreCfg rc;
    ASSERT_EQ(rc.init(), 0);
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.appId = 26;
    gCfmCount = 0;
    ASSERT_EQ(dme_dsm_serv_req(&r, count_cfm, ind_calls_forbidden), 0);
    ASSERT_TRUE(wait_for([] { return gCfmCount.load() == 1; }));
    ASSERT_TRUE(rc.radio.send_to(rc.cfg.rcvPort, air_frame(26, {1})));
    ASSERT_TRUE(wait_for([] { return gExitRc.load() != 1; }));
    EXPECT_EQ(gRegRc.load(), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(gExitRc.load(), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(cv2x_app_core_connected(), 1);
    EXPECT_EQ(cv2x_app_exit(), 0);
}
