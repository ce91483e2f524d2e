// SPDX-License-Identifier: Apache-2.0
// The upward hand-overs and the layers' life: the DME's confirm without a
// sink is counted and a failure, the core's stop clears every sink after a
// full start and after one that failed half-way, and a second init of a
// layer releases the first.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <event2/event.h>

#include "core.h"
#include "core_harness.h"
#include "dme.h"
#include "domn_serv.h"
#include "test_support.h"

namespace {

std::string gCfm;
int keep_cfm(uint32_t, const char* aipcMsg, const int aicLen)
{
    gCfm.assign(aipcMsg, static_cast<size_t>(aicLen));
    return 0;
}

tV2XSDKCfg make_cfg()
{
    return v2xtest::sdk_cfg(v2xtest::unique_path("sink"));
}

// The DME's confirm goes nowhere: counted, and a failure for the caller.
void expect_dme_sink_unset()
{
    const unsigned long before = dme_unset_tx_sink_count();
    EXPECT_EQ(_dme_user_serv_req(3, DME_ACTION_ADD, DME_USER_REQ_MATCH_AUTO_ACC, 5, ""),
              -ERR_V2X_SOCKET_WRITE);
    EXPECT_EQ(dme_unset_tx_sink_count(), before + 1);
}

}  // namespace

TEST(UpSinks, DmeConfirmWithoutSinkIsCountedAsAFailure)
{
    v2xtest::LevelGuard lg(LOG_LEV_OFF);
    dme_set_tx_sink(nullptr);
    expect_dme_sink_unset();
    dme_set_tx_sink(keep_cfm);
    EXPECT_EQ(_dme_user_serv_req(3, DME_ACTION_ADD, DME_USER_REQ_MATCH_AUTO_ACC, 5, ""), 0);
    dme_set_tx_sink(nullptr);
    // Header (type, length 6), then lclAppId 3 and retCd 0 (accepted).
    const uint8_t want[] = {V2X_DME_USER_SERV_CFM, 0, 0, 0, 6, 0, 3, 0, 0, 0, 0, 0};
    EXPECT_EQ(gCfm, std::string(reinterpret_cast<const char*>(want), sizeof(want)));
}

// Step 10 (the radio link) fails after the sinks were wired: the stop
// clears them, closes the daemon socket and leaves no descriptor behind;
// a second exit changes nothing.
TEST(UpSinks, CoreStopClearsTheSinksAfterAPartialAndAFullStart)
{
    v2xtest::LevelGuard lg(LOG_LEV_OFF);
    const int fds = v2xtest::open_fd_count();
    int busy = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    socklen_t al = sizeof(a);
    getsockname(busy, reinterpret_cast<sockaddr*>(&a), &al);
    tV2XSDKCfg cfg = make_cfg();
    cfg.rcvPort = ntohs(a.sin_port);
    EXPECT_EQ(v2x_core_init(&cfg), -ERR_V2X_SOCKET_BIND);
    close(busy);
    EXPECT_LT(v2xtest::unix_connect(cfg.dmnNme), 0);
    expect_dme_sink_unset();
    EXPECT_EQ(v2x_core_exit(), 0);
    EXPECT_EQ(v2xtest::open_fd_count(), fds);

    cfg = make_cfg();
    ASSERT_EQ(v2x_core_init(&cfg), 0);
    EXPECT_EQ(v2x_core_exit(), 0);
    EXPECT_EQ(v2x_core_exit(), 0);
    expect_dme_sink_unset();
    EXPECT_EQ(v2xtest::open_fd_count(), fds);
}

// A second init without an exit releases what the first one built: the
// DME's advertisement timers, the daemon server's socket and buffer.
TEST(LayerLife, SecondInitReleasesTheFirst)
{
    v2xtest::LevelGuard lg(LOG_LEV_OFF);
    struct event_base* base = event_base_new();
    ASSERT_NE(base, nullptr);
    ASSERT_EQ(dme_init(base), 0);
    dme_set_tx_sink([](uint32_t, const char*, const int) { return 0; });
    ASSERT_EQ(_dme_provder_serv_req(2, DME_ACTION_ADD, 5, 10, "a", "b"), 0);
    EXPECT_EQ(event_base_get_num_events(base, EVENT_BASE_COUNT_ADDED), 1);
    ASSERT_EQ(dme_init(base), 0);
    EXPECT_EQ(event_base_get_num_events(base, EVENT_BASE_COUNT_ADDED), 0);
    dme_set_tx_sink(nullptr);
    EXPECT_EQ(dme_exit(), 0);

    const int fds = v2xtest::open_fd_count();
    const std::string path = v2xtest::unique_path("twice");
    ASSERT_EQ(v2x_sdk_dmn_serv_init(path.c_str(), base), 0);
    ASSERT_EQ(v2x_sdk_dmn_serv_init(path.c_str(), base), 0);
    EXPECT_EQ(v2x_sdk_dmn_serv_exit(), 0);
    EXPECT_EQ(v2x_sdk_dmn_serv_exit(), 0);
    EXPECT_EQ(v2xtest::open_fd_count(), fds);
    EXPECT_EQ(event_base_get_num_events(base, EVENT_BASE_COUNT_ADDED), 0);
    event_base_free(base);
}
