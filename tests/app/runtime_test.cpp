// The runtime thread's life: stop without start, start-up failures that end
// the thread by itself, repeated stops, and nothing left behind.
#include <gtest/gtest.h>

#include <string.h>

#include "core_harness.h"
#include "cv2x_app.h"
#include "test_support.h"

using namespace v2xtest;

namespace {

tV2XSDKCfg loop_cfg(const std::string& path)
{
    tV2XSDKCfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    memcpy(cfg.dmnNme, path.data(), std::min<size_t>(path.size(), sizeof(cfg.dmnNme)));
    snprintf(cfg.rcvIp, sizeof(cfg.rcvIp), "127.0.0.1");
    snprintf(cfg.sendIp, sizeof(cfg.sendIp), "127.0.0.1");
    cfg.rcvPort = free_udp_port();
    cfg.sendPort = free_udp_port();
    return cfg;
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
    }
    EXPECT_EQ(open_fd_count(), fds);
}
