// SPDX-License-Identifier: Apache-2.0
// The runtime thread's life: stop without start, start-up failures that end
// the thread by itself, repeated stops, and nothing left behind.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core_harness.h"
#include "cv2x_app.h"
#include "self_log.h"
#include "test_support.h"

using namespace v2xtest;

namespace {

tV2XSDKCfg loop_cfg(const std::string& path)
{
    return sdk_cfg(path, "127.0.0.1", free_udp_port(), free_udp_port());
}

}  // namespace

TEST(AppRuntime, ExitWithoutInitDoesNothing)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    const int fds = open_fd_count();
    StdoutCapture cap;
    EXPECT_EQ(cv2x_app_exit(), 0);
    EXPECT_EQ(cv2x_app_exit(), 0);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "pthread stop------"), 0) << out;
    EXPECT_EQ(open_fd_count(), fds);
    char b = 0;
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, &b, 1), -ERR_V2X_PARM_CONT);
}

TEST(AppRuntime, StartUpFailureIsInitsResultAndLeavesNothing)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    // A socket name too long for the address: the core cannot bind it.
    std::string p = unique_path("long");
    p.append(120 - p.size(), 'z');
    tV2XSDKCfg cfg = loop_cfg(p);
    const int fds = open_fd_count();
    const long heap = heap_in_use();
    StdoutCapture cap;
    EXPECT_EQ(cv2x_app_init(&cfg), -ERR_V2X_SOCKET_BIND);
    // Nothing was left running: the same start fails the same way again.
    EXPECT_EQ(cv2x_app_init(&cfg), -ERR_V2X_SOCKET_BIND);
    char b = 0;
    EXPECT_EQ(send_core_app_msg(V2X_DSM_REQ, &b, 1), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(cv2x_app_exit(), 0);
    EXPECT_EQ(cv2x_app_exit(), 0);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "path of 108 bytes or more"), 2) << out;
    EXPECT_EQ(open_fd_count(), fds);
    if (heap != 0) {
        // Thread stacks and libevent's once-only globals may stay cached.
        EXPECT_LT(heap_in_use() - heap, 64 * 1024);
    }
}

TEST(AppRuntime, NullConfigurationIsRefused)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    StdoutCapture cap;
    EXPECT_EQ(cv2x_app_init(nullptr), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(cv2x_app_exit(), 0);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "aipArg err!!!!"), 1) << out;
}

// One runtime per process: a second init is refused and the first runs on;
// after an exit the next init works.
TEST(AppRuntime, SecondInitIsRefusedAndInitAgainAfterExitWorks)
{
    LevelGuard lvl(LOG_LEV_OFF);
    const int fds = open_fd_count();
    for (int i = 0; i < 2; ++i) {
        tV2XSDKCfg cfg = loop_cfg(unique_path("again"));
        ASSERT_EQ(cv2x_app_init(&cfg), 0);
        EXPECT_EQ(cv2x_app_init(&cfg), -ERR_V2X_PTHREAD_CREATE);
        EXPECT_EQ(cv2x_app_core_connected(), 1);
        EXPECT_EQ(cv2x_app_exit(), 0);
        EXPECT_EQ(cv2x_app_core_connected(), 0);
        EXPECT_NE(access(cfg.dmnNme, F_OK), 0) << "the core's socket file stayed";
    }
    EXPECT_EQ(open_fd_count(), fds);
}

// A host's sink takes every line of a start/stop cycle, of a refused attach
// and of calls after the core went: level-0 notices included, nothing on
// standard output, and a lost core said once however often it is called.
TEST(AppRuntime, HostSinkTakesEveryLineAndALostCoreIsSaidOnce)
{
    LevelGuard lvl(LOG_LEV_ERROR);
    struct Lines {
        std::mutex lk;
        std::vector<std::pair<int, std::string>> all;
    } got;
    auto sink = [](const tLogLine* l, void* u) {
        auto* g = static_cast<Lines*>(u);
        std::lock_guard<std::mutex> k(g->lk);
        g->all.emplace_back(l->level, std::string(l->text + l->msgOff, l->len - l->msgOff));
    };
    StdoutCapture cap;
    ASSERT_EQ(log_set_sink(sink, &got, LOG_LEVELS_ALL), 0);
    tV2XSDKCfg cfg = loop_cfg(unique_path("sink"));
    ASSERT_EQ(cv2x_app_init(&cfg), 0);
    EXPECT_EQ(cv2x_app_exit(), 0);
    tV2XSDKCfg none = loop_cfg(unique_path("nobody"));
    EXPECT_NE(cv2x_app_attach(&none), 0);
    // Calls after the runtime is gone fail the same way each time.
    char b = 0;
    for (int i = 0; i < 5; ++i) {
        EXPECT_NE(send_core_app_msg(V2X_DSM_REQ, &b, 1), 0);
    }
    cv2x_app_exit();
    log_set_sink(nullptr, nullptr, LOG_LEVELS_ALL);
    EXPECT_EQ(cap.stop(), "");
    int level0 = 0, errors = 0, gone = 0;
    for (const auto& l : got.all) {
        level0 += l.first == LOG_LEV_OFF ? 1 : 0;
        errors += l.first == LOG_LEV_ERROR ? 1 : 0;
        gone += l.second.find("giClitRxFd=-1") != std::string::npos ? 1 : 0;
    }
    EXPECT_GE(level0, 4);  // two threads, each "Wait ..." and "... already stop"
    EXPECT_GE(errors, 1);  // the refused attach
    EXPECT_LE(gone, 1);
}

// The runtime stops only a core it started itself: a failed attach, a
// failed own start next to the host's core, and repeated exits leave the
// host's core serving.
TEST(AppRuntime, ExitNeverStopsTheHostsOwnCore)
{
    LevelGuard lvl(LOG_LEV_OFF);
    tV2XSDKCfg host = loop_cfg(unique_path("host"));
    ASSERT_EQ(v2x_core_init(&host), 0);
    tV2XSDKCfg nobody = loop_cfg(unique_path("nobody"));
    EXPECT_NE(cv2x_app_attach(&nobody), 0);
    EXPECT_EQ(cv2x_app_exit(), 0);
    EXPECT_EQ(cv2x_app_init(&host), -ERR_V2X_PTHREAD_CREATE);
    EXPECT_EQ(cv2x_app_exit(), 0);
    EXPECT_EQ(cv2x_app_exit(), 0);
    // Still there: an application attaches to it.
    EXPECT_EQ(cv2x_app_attach(&host), 0);
    EXPECT_EQ(cv2x_app_exit(), 0);
    EXPECT_EQ(v2x_core_exit(), 0);
}
