// SPDX-License-Identifier: Apache-2.0
// Who may use the application socket: its directory, its mode whatever the
// umask, and which peers are served. A second user is played by nobody in a
// forked child, so these need root.
#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core.h"
#include "core_harness.h"
#include "cv2x_app_sys.h"
#include "domn_serv.hpp"
#include "test_support.h"

using namespace v2xtest;

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kGroup = 4242;  // a group nobody is put into for a test

#define NEED_ROOT()                                                              \
    if (geteuid() != 0) {                                                        \
        GTEST_SKIP() << "needs root to run a child as a second user (nobody)";   \
    }

// Connects to path as uid/gid in a child, sends a user request and says
// what came back: 0 a confirm, 1 the end of the stream (not served), 2 no
// connection at all, 3 the child could not become that user.
int peer_outcome(const std::string& path, uid_t uid, gid_t gid)
{
    const Bytes req = user_req(1, DME_ACTION_ADD, 20);
    pid_t p = fork();
    if (p == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
            _exit(3);
        }
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un a;
        memset(&a, 0, sizeof(a));
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path, path.data(), path.size());
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            _exit(2);
        }
        (void)!write(fd, req.data(), req.size());
        struct pollfd pf = {fd, POLLIN, 0};
        char buf[64];
        if (poll(&pf, 1, 3000) != 1) {
            _exit(4);
        }
        _exit(read(fd, buf, sizeof(buf)) > 0 ? 0 : 1);
    }
    int st = 0;
    waitpid(p, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 99;
}

tDmnServStats stats()
{
    tDmnServStats s;
    dmn_serv_stats(&s);
    return s;
}

}  // namespace

// Under umask 000 the socket is still 0660; another user who gets past the
// file mode is closed at once and never served.
TEST(Access, SocketModeIgnoresTheUmaskAndOtherUsersAreNotServed)
{
    NEED_ROOT();
    LevelGuard quiet(LOG_LEV_OFF);
    const mode_t old = umask(0);
    CoreHarness core;
    umask(old);
    ASSERT_TRUE(core.started());
    const std::string path(core.cfg.dmnNme);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(peer_outcome(path, kNobody, kNobody), 2);  // the file mode stops it
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    const unsigned long refused = stats().peerRefused;
    EXPECT_EQ(peer_outcome(path, kNobody, kNobody), 1);  // the core stops it
    EXPECT_EQ(stats().peerRefused, refused + 1);
    EXPECT_EQ(peer_outcome(path, 0, 0), 0);  // root is served
}

// A member of the allowed group owns the socket's group and is served.
TEST(Access, AllowedGroupIsServed)
{
    NEED_ROOT();
    LevelGuard quiet(LOG_LEV_OFF);
    tV2XAccessCfg acc = {0, static_cast<int32_t>(kGroup), {0}};
    ASSERT_EQ(v2x_sdk_dmn_serv_set_access(&acc), 0);
    CoreHarness core;
    v2x_sdk_dmn_serv_set_access(nullptr);
    ASSERT_TRUE(core.started());
    struct stat st;
    ASSERT_EQ(stat(core.cfg.dmnNme, &st), 0);
    EXPECT_EQ(st.st_gid, kGroup);
    EXPECT_EQ(peer_outcome(core.cfg.dmnNme, kNobody, kGroup), 0);
    EXPECT_EQ(peer_outcome(core.cfg.dmnNme, kNobody, kNobody), 2);
    tV2XAccessCfg bad = {0666, -1, {0}};
    EXPECT_EQ(v2x_sdk_dmn_serv_set_access(&bad), -ERR_V2X_PARM_CONT);
}

// A directory of another user, or another user's server at the path: the
// core does not start there, and a client does not talk to that server.
TEST(Access, SquattedDirectoryOrSocketIsRefused)
{
    NEED_ROOT();
    LevelGuard quiet(LOG_LEV_OFF);
    const std::string dir = unique_path("squat");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
    tV2XSDKCfg cfg = sdk_cfg(dir + "/sock");
    EXPECT_EQ(v2x_core_init(&cfg), -ERR_V2X_SOCKET_BIND);
    EXPECT_NE(access(cfg.dmnNme, F_OK), 0);
    rmdir(dir.c_str());

    // nobody listens at a path in /tmp.
    const std::string path = unique_path("squatsock");
    const int p = fork_listener(path, static_cast<int>(kNobody));
    ASSERT_GT(p, 0);
    EXPECT_EQ(v2x_system_attach(path.c_str()), -ERR_V2X_SOCKET_CONECT);
    v2x_system_exit();
    stop_process(p);
    unlink(path.c_str());
}
