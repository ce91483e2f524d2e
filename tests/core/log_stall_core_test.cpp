// SPDX-License-Identifier: Apache-2.0
// A log output that stops reading never stops the core: the radio keeps its
// pace while every line the core logs finds the log thread's pipe full.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core_app.h"
#include "core_harness.h"
#include "self_log.h"
#include "stalled_stdout.hpp"
#include "test_support.h"
#include "v2x_stats.h"

using namespace v2xtest;

// Standard output stalls behind the log thread and the pipe fills; then for
// 2 s an application sends a DSM request every 100 ms, each after a request
// of a wrong type that the core refuses and logs on its own thread. Every
// request reaches the radio, with no gap between datagrams over 200 ms, and
// every line the core logged meanwhile is counted as dropped.
TEST(LogStallCore, TheRadioKeepsItsPaceWhileTheLogOutputStalls)
{
    constexpr int kRequests = 20;
    constexpr auto kPeriod = std::chrono::milliseconds(100);
    const long kMaxGapMs = getenv("V2X_UNDER_QEMU") != nullptr ? 1000 : 200;

    StalledStdout out;
    ASSERT_TRUE(out.ok());
    const tLogCfg thr = stdout_log_cfg(LOG_RUN_NEW_PTHREAD);
    ASSERT_EQ(log_system_init(&thr), 0);
    std::vector<long long> arrivals;  // ns, one per datagram in order
    std::vector<uint8_t> tags;
    uint64_t refusedLogged = 0;
    uint64_t droppedMeanwhile = 0;
    bool filled = false;
    {
        CoreHarness core;
        const int app = core.started() ? core.connect_app() : -1;
        const int bad = core.started() ? core.connect_app() : -1;
        const bool stamps = core.radio.start_stamping();
        // Fill the pipe until the log thread is stuck writing to standard
        // output: while it still moves, it frees room every few lines, so a
        // long run of dropped lines means it no longer does. The run must
        // also last: a log thread that is only waiting for a CPU drops a
        // thousand lines in a millisecond, then reads on and frees room.
        // A thread of its own, so that a logger that blocks is seen as one.
        std::atomic<bool> enough{false};
        std::atomic<bool> stuck{false};
        std::thread filler([&] {
            auto runFrom = std::chrono::steady_clock::now();
            for (int i = 0, run = 0; !enough && !stuck; ++i) {
                const unsigned long long before = log_lines_dropped();
                log_msg(LOG_LEV_ERROR, "fill.cpp", "fill", 1, "filler line %d\n", i);
                if (log_lines_dropped() == before) {
                    run = 0;
                    continue;
                }
                if (run++ == 0) {
                    runFrom = std::chrono::steady_clock::now();
                }
                stuck = run >= 1000 &&
                        std::chrono::steady_clock::now() - runFrom >= std::chrono::milliseconds(500);
                if (run >= 1000) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
        filled = wait_for([&] { return stuck.load(); }, 20000) && app >= 0 && bad >= 0;
        enough = true;
        if (!filled) {
            out.release();  // lets a blocked filler go
        }
        filler.join();
        if (filled) {
            std::thread radio([&] {
                for (int i = 0; i < kRequests; ++i) {
                    Bytes d;
                    const long long at = stamps ? core.radio.recv_stamp(3000, &d) : 0;
                    if (!stamps) {
                        d = core.radio.recv(3000);
                    }
                    if (d.empty()) {
                        return;
                    }
                    arrivals.push_back(stamps ? at
                                              : std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                    std::chrono::steady_clock::now().time_since_epoch())
                                                    .count());
                    tags.push_back(d.back());
                }
            });
            StatDelta delta;
            const uint64_t logged0 = stats_now().logLinesDropped;
            const auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < kRequests; ++i) {
                // The application's own period: this pause is the load.
                std::this_thread::sleep_until(t0 + i * kPeriod);
                write_all(bad, app_msg(V2X_DSM_CFM, Bytes(8, 0)));
                write_all(app, dsm_req(40, Bytes{0xA5, static_cast<uint8_t>(i)}));
            }
            radio.join();
            wait_for([&] { return delta(offsetof(tV2XCoreStats, appRefusedType)) >= kRequests; });
            refusedLogged = delta(offsetof(tV2XCoreStats, appRefusedType));
            droppedMeanwhile = stats_now().logLinesDropped - logged0;
        }
        out.release();  // the output reads again before anything else writes to it
    }
    log_system_exit();
    out.restore();
    {
        StdoutCapture quiet;
        const tLogCfg plain = stdout_log_cfg(LOG_RUN_MAIN_PROGRESS);
        log_system_init(&plain);
        log_system_exit();
    }

    ASSERT_TRUE(filled);
    ASSERT_EQ(arrivals.size(), static_cast<size_t>(kRequests));
    long maxGapMs = 0;
    for (size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(tags[i], static_cast<uint8_t>(i));
        if (i > 0) {
            maxGapMs = std::max(maxGapMs, static_cast<long>((arrivals[i] - arrivals[i - 1]) / 1000000));
        }
    }
    EXPECT_LE(maxGapMs, kMaxGapMs);
    EXPECT_EQ(refusedLogged, static_cast<uint64_t>(kRequests));
    // The pipe stayed full: each refusal's line was dropped, not waited for.
    EXPECT_GE(droppedMeanwhile, static_cast<uint64_t>(kRequests));
    EXPECT_GT(stats_now().logLinesDropped, 0u);
}
