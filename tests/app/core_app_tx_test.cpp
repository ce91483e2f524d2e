// SPDX-License-Identifier: Apache-2.0
// Whole messages towards a real core when the socket takes nothing, or only
// part of a message, for longer than a call may wait: nothing torn ever
// reaches the radio, and the connection goes on carrying whole messages.
#include <gtest/gtest.h>

#include <errno.h>
#include <event2/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "core_app_tx.hpp"
#include "core_harness.h"
#include "cv2x_app.h"
#include "fake_core.h"
#include "test_support.h"
#include "v2x_evthread.hpp"

using namespace v2xtest;

namespace {

// The payload of a DSM request for AID 60 whose data is 100 bytes of `fill`.
Bytes request(uint8_t fill)
{
    Bytes m = dsm_req(60, Bytes(100, fill));
    return Bytes(m.begin() + V2X_CORE_APP_HDR_LEN, m.end());
}

int send_req(uint8_t fill)
{
    Bytes p = request(fill);
    return send_core_app_msg(V2X_DSM_REQ, reinterpret_cast<const char*>(p.data()),
                             static_cast<int>(p.size()));
}

}  // namespace

TEST(CoreAppTx, NoTornFrameWhenTheCoreTakesNothingOrPartOfAMessage)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    CoreHarness core;
    ASSERT_TRUE(core.started());
    struct event_base* base = event_base_new();
    ASSERT_EQ(v2x_domn_clit_init(&core.cfg, base), 0);
    core_app_tx_set_send_fn(stingy_send);
    const Bytes whole = {4, 0, 60, 0, 100};
    {
        LevelGuard quiet(LOG_LEV_OFF);
        // Nothing taken within the wait: refused, nothing sent.
        gStingyTake = 0;
        EXPECT_EQ(send_req('A'), -ERR_V2X_SOCKET_WRITE);
        // 100 of its 376 bytes taken, then nothing: the message is the
        // core's, the rest kept for the next call.
        gStingyTake = 100;
        EXPECT_EQ(send_req('B'), 0);
    }
    EXPECT_TRUE(core.radio.recv(300).empty()) << "a cut message went on the air";
    gStingyTake = -1;
    EXPECT_EQ(send_req('C'), 0);
    for (uint8_t fill : {'B', 'C'}) {
        Bytes d = core.radio.recv(3000);
        ASSERT_EQ(d.size(), 105u) << fill;
        EXPECT_EQ(Bytes(d.begin(), d.begin() + 5), whole);
        EXPECT_EQ(Bytes(d.begin() + 5, d.end()), Bytes(100, fill));
    }
    EXPECT_TRUE(core.radio.recv(300).empty());
    core_app_tx_set_send_fn(nullptr);
    v2x_domn_clit_exit();
    event_base_free(base);
}

// A message left written in part when the application stops (its call
// returned 0; the socket then took nothing more, as a full one): the exit
// finishes it while the core reads, so the core gets it whole; when the
// core does not read within the exit's wait, or has gone, the exit says it
// was cut.
TEST(CoreAppTx, ExitFinishesAPartlyWrittenMessageOrReportsItCut)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    const Bytes whole = dsm_req(60, Bytes(100, 'B'));
    enum { kReads, kStalls, kGone };
    for (int round : {kReads, kStalls, kGone}) {
        SCOPED_TRACE(round);
        const std::string path = unique_path("exitcut");
        FakeCore core(path);
        ASSERT_TRUE(core.listening());
        tV2XSDKCfg cfg;
        memset(&cfg, 0, sizeof(cfg));
        memcpy(cfg.dmnNme, path.data(), path.size());
        ASSERT_EQ(cv2x_app_attach(&cfg), 0);
        ASSERT_TRUE(core.accept_client());
        core_app_tx_set_send_fn(stingy_send);
        StdoutCapture cap;
        gStingyTake = 100;
        EXPECT_EQ(send_req('B'), 0);  // 100 bytes out, the rest kept
        EXPECT_EQ(read_n(core.fd(), 100, 2000), Bytes(whole.begin(), whole.begin() + 100));
        std::thread reader;
        int rc = 0;
        if (round == kReads) {
            // The core takes the rest only once the exit waits for it: a
            // send refused after the exit began.
            std::atomic<int> atExit{-1};
            reader = std::thread([&] {
                wait_for([&] {
                    return atExit.load() >= 0 && gStingyStalls.load() > atExit.load();
                });
                gStingyTake = -1;
            });
            atExit = gStingyStalls.load();
            rc = cv2x_app_exit();
            reader.join();
            EXPECT_EQ(read_n(core.fd(), whole.size() - 100, 2000),
                      Bytes(whole.begin() + 100, whole.end()));
        } else {
            if (round == kGone) {
                core.close_client();
                gStingyTake = -1;
            }
            rc = cv2x_app_exit();
        }
        const std::string out = cap.stop();
        gStingyTake = -1;
        core_app_tx_set_send_fn(nullptr);
        if (round == kReads) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(count_lines_with(out, "cut"), 0) << out;
        } else {
            EXPECT_EQ(rc, -ERR_V2X_SOCKET_WRITE);
            EXPECT_EQ(count_lines_with(out, "1 message(s) to the core cut, 276 byte(s)"), 1) << out;
        }
        if (round == kStalls) {
            EXPECT_TRUE(read_n(core.fd(), 1, 200).empty());  // nothing but the first 100 bytes
        }
        EXPECT_EQ(cv2x_app_exit(), 0);  // said once
    }
}
