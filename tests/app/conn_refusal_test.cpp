// SPDX-License-Identifier: Apache-2.0
// The client's connect waits for the core's greeting: a refusal fails the
// start with its own code, and the counters' short connection is a control
// connection the core counts apart.
#include <gtest/gtest.h>

#include <string.h>

#include "core_harness.h"
#include "cv2x_app.h"
#include "fake_core.h"
#include "test_support.h"

using namespace v2xtest;

// At the cap (the harness holds the one place) attach fails at once with
// -ERR_V2X_CONN_REFUSED and nothing is left running; with a place free it
// attaches.
TEST(AppConnRefusal, AttachAtTheCapFailsWithItsOwnCode)
{
    LevelGuard lvl(LOG_LEV_OFF);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    v2x_sdk_dmn_serv_set_max_clit(1);
    const int rc = cv2x_app_attach(&core.cfg);
    v2x_sdk_dmn_serv_set_max_clit(V2X_DMN_SERV_MAX_CLIT_DEF);
    EXPECT_EQ(rc, -ERR_V2X_CONN_REFUSED);
    EXPECT_EQ(cv2x_app_core_connected(), 0);
    ASSERT_EQ(cv2x_app_attach(&core.cfg), 0);
    EXPECT_EQ(cv2x_app_core_connected(), 1);
    EXPECT_EQ(cv2x_app_exit(), 0);
}

// The client reads the reason the core gives, and a core that closes
// without a word is a refusal too (its access settings).
TEST(AppConnRefusal, TheDaemonClientTellsEachRefusal)
{
    LevelGuard lvl(LOG_LEV_OFF);
    v2x_event_threads_ready();
    struct event_base* base = event_base_new();
    const int fds = open_fd_count();
    for (int how : {V2X_CTL_REFUSED_SHARE, V2X_CTL_REFUSED_CAP, 7}) {
        const std::string p = unique_path("refuse");
        FakeCore core(p, how);
        tV2XSDKCfg cfg;
        memset(&cfg, 0, sizeof(cfg));
        memcpy(cfg.dmnNme, p.data(), p.size());
        // Status 7 is none this client knows: no greeting of this version.
        EXPECT_EQ(v2x_domn_clit_init(&cfg, base),
                  how == 7 ? -ERR_V2X_SOCKET_CONECT : -ERR_V2X_CONN_REFUSED) << how;
        EXPECT_EQ(cv2x_app_core_connected(), 0);
    }
    {
        const std::string p = unique_path("mute");
        FakeCore core(p, FakeCore::kNoGreeting);
        std::thread closer([&] {
            if (core.accept_client()) {
                core.close_client();
            }
        });
        tV2XSDKCfg cfg;
        memset(&cfg, 0, sizeof(cfg));
        memcpy(cfg.dmnNme, p.data(), p.size());
        EXPECT_EQ(v2x_domn_clit_init(&cfg, base), -ERR_V2X_CONN_REFUSED);
        closer.join();
    }
    EXPECT_EQ(open_fd_count(), fds);  // nothing kept of a refused connection
    event_base_free(base);
}

// cv2x_app_conn_stats asks over a control connection: counted in
// ctlAccepted, never in appAccepted, and never listed.
TEST(AppConnRefusal, TheCountersConnectionIsNoApplication)
{
    LevelGuard lvl(LOG_LEV_OFF);
    const uint64_t accepted = stat_now(offsetof(tV2XCoreStats, appAccepted)) + 2;
    CoreHarness core;
    ASSERT_TRUE(core.started());
    ASSERT_EQ(cv2x_app_attach(&core.cfg), 0);
    // The harness's and the runtime's silent connections, once taken for
    // applications'.
    ASSERT_TRUE(wait_for([&] { return stat_now(offsetof(tV2XCoreStats, appAccepted)) == accepted; }));
    const uint64_t ctl = stat_now(offsetof(tV2XCoreStats, ctlAccepted));
    tV2XCtlClient st;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(cv2x_app_conn_stats(&st), 0);
    }
    EXPECT_EQ(stat_now(offsetof(tV2XCoreStats, ctlAccepted)), ctl + 3);
    EXPECT_EQ(stat_now(offsetof(tV2XCoreStats, appAccepted)), accepted);
    EXPECT_EQ(ctl_query(core.connect_app(), V2X_CTL_CLIENTS).head.total, 3u);
    EXPECT_EQ(cv2x_app_exit(), 0);
}
