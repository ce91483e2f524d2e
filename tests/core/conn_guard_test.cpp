// SPDX-License-Identifier: Apache-2.0
// The daemon server's guard over its places: the greeting and its refusals
// (cap, a user's share), the idle timeout for incomplete messages, and
// control connections counted apart from the applications.
#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core_app.h"
#include "core_harness.h"
#include "domn_serv.hpp"
#include "test_support.h"

using namespace v2xtest;

namespace {

#define OFF(f) offsetof(tV2XCoreStats, f)

struct CapGuard {
    explicit CapGuard(int cap) { v2x_sdk_dmn_serv_set_max_clit(cap); }
    ~CapGuard() { v2x_sdk_dmn_serv_set_max_clit(V2X_DMN_SERV_MAX_CLIT_DEF); }
};

struct IdleGuard {
    explicit IdleGuard(int ms) { dmn_serv_set_idle_ms(ms); }
    ~IdleGuard() { dmn_serv_set_idle_ms(0); }
};

// True when the peer ended the stream on fd within ms (after what is unread).
bool ended(int fd, int ms)
{
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        char c[64];
        if (poll(&p, 1, ms) != 1) {
            return false;
        }
        const ssize_t n = recv(fd, c, sizeof(c), MSG_DONTWAIT);
        if (n <= 0) {
            return true;
        }
    }
}

tV2XCtlGreeting greeting_of(const Bytes& m)
{
    tV2XCtlGreeting g;
    memset(&g, 0xEE, sizeof(g));
    if (m.size() == V2X_CORE_APP_HDR_LEN + sizeof(g)) {
        memcpy(&g, m.data() + V2X_CORE_APP_HDR_LEN, sizeof(g));
    }
    return g;
}

}  // namespace

// At the cap a connection reads why it is refused, then the end; within it
// the greeting names the connection as the clients list does.
TEST(ConnGuard, TheGreetingWelcomesOrSaysWhyBeforeTheClose)
{
    LevelGuard quiet(LOG_LEV_OFF);
    CoreHarness core;  // holds one place
    ASSERT_TRUE(core.started());
    const int in = unix_connect(core.cfg.dmnNme);
    const Bytes hi = read_msg(in, 3000);
    ASSERT_EQ(hi.size(), V2X_CORE_APP_HDR_LEN + sizeof(tV2XCtlGreeting));
    EXPECT_EQ(Bytes(hi.begin(), hi.begin() + 6), Bytes({0x02, 0x56, 0, 0, 24, 0}));
    const tV2XCtlGreeting w = greeting_of(hi);
    EXPECT_EQ(w.status, static_cast<uint32_t>(V2X_CTL_WELCOME));
    EXPECT_EQ(w.maxClients, static_cast<uint32_t>(V2X_DMN_SERV_MAX_CLIT_DEF));
    EXPECT_EQ(w.userShare, 48u);  // three quarters of 64
    EXPECT_EQ(w.connId, client_rec(in, 1).connId);
    close(in);

    CapGuard cap(1);  // the harness's connection takes the one place
    const uint64_t capRefused = stat_now(OFF(appRefusedCap));
    const uint64_t shareRefused = stat_now(OFF(appRefusedShare));
    const int out = unix_connect(core.cfg.dmnNme);
    const tV2XCtlGreeting r = greeting_of(read_msg(out, 3000));
    EXPECT_EQ(r.version, V2X_CTL_VERSION);
    EXPECT_EQ(r.status, static_cast<uint32_t>(V2X_CTL_REFUSED_CAP));
    EXPECT_EQ(r.connId, 0u);
    EXPECT_EQ(r.maxClients, 1u);
    EXPECT_EQ(r.held, 1u);
    EXPECT_EQ(r.userShare, 1u);  // at least 1
    EXPECT_TRUE(ended(out, 3000));
    EXPECT_EQ(stat_now(OFF(appRefusedCap)), capRefused + 1);
    EXPECT_EQ(stat_now(OFF(appRefusedShare)), shareRefused);
    close(out);
}

// The share is per user: with root holding three of four places, another
// user still gets the fourth.
TEST(ConnGuard, AnotherUserStillFindsAPlaceWhenOneHoldsItsShare)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as a second user (nobody)";
    }
    constexpr uid_t kNobody = 65534;
    LevelGuard quiet(LOG_LEV_OFF);
    CapGuard cap(4);
    tV2XAccessCfg acc;
    memset(&acc, 0, sizeof(acc));
    acc.sockMode = 0660;
    acc.allowGid = -1;
    acc.allowUids[0] = kNobody;
    ASSERT_EQ(v2x_sdk_dmn_serv_set_access(&acc), 0);
    struct AccessGuard {
        ~AccessGuard() { v2x_sdk_dmn_serv_set_access(nullptr); }
    } restore;
    CoreHarness core;
    ASSERT_TRUE(core.started());
    ASSERT_GE(core.connect_app(), 0);
    ASSERT_GE(core.connect_app(), 0);
    const int over = unix_connect(core.cfg.dmnNme);
    EXPECT_EQ(greeted(over), V2X_CTL_REFUSED_SHARE);
    close(over);
    const std::string path = core.cfg.dmnNme;
    // The socket file is root's, mode 0660: nobody reaches it through a
    // descriptor opened here (connect needs write permission on the path).
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    struct sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, path.data(), path.size());
    const pid_t p = fork();
    if (p == 0) {
        // Plain system calls only: the parent has other threads.
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0 ||
            connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            _exit(90);
        }
        char g[V2X_CORE_APP_HDR_LEN + sizeof(tV2XCtlGreeting)];
        size_t have = 0;
        struct pollfd pf = {fd, POLLIN, 0};
        while (have < sizeof(g) && poll(&pf, 1, 3000) == 1) {
            const ssize_t n = read(fd, g + have, sizeof(g) - have);
            if (n <= 0) {
                break;
            }
            have += static_cast<size_t>(n);
        }
        uint32_t status = 99;
        if (have == sizeof(g)) {
            memcpy(&status, g + V2X_CORE_APP_HDR_LEN + offsetof(tV2XCtlGreeting, status), 4);
        }
        _exit(static_cast<int>(status) + 10);
    }
    int st = 0;
    ASSERT_EQ(waitpid(p, &st, 0), p);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), V2X_CTL_WELCOME + 10);
}

// A connection that leaves part of a header, or of a payload, unwritten is
// closed after the timeout and counted once; one that sends whole messages
// with pauses longer than the timeout is served throughout.
TEST(ConnGuard, IdleTimeoutClosesHalfWrittenNotSlowWholeMessages)
{
    LevelGuard quiet(LOG_LEV_OFF);
    IdleGuard idle(300);
    CoreHarness core;
    ASSERT_TRUE(core.started());
    const int slow = core.connect_app();
    const int halfHdr = core.connect_app();
    const int halfPld = core.connect_app();
    ASSERT_GE(halfPld, 0);
    const uint64_t closed = stat_now(OFF(appIdleClosed));
    const uint64_t cut = stat_now(OFF(appCutDropped));
    const Bytes req = user_req(1, DME_ACTION_ADD, 20);
    ASSERT_TRUE(write_all(halfHdr, Bytes(req.begin(), req.begin() + 3)));
    ASSERT_TRUE(write_all(halfPld, Bytes(req.begin(), req.begin() + 100)));
    for (uint16_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(write_all(slow, user_req(static_cast<uint16_t>(10 + i), DME_ACTION_ADD, 20)));
        ASSERT_EQ(read_msg(slow, 3000).size(), 12u) << i;
        usleep(600 * 1000);  // twice the timeout, with nothing held
    }
    EXPECT_TRUE(ended(halfHdr, 5000));
    EXPECT_TRUE(ended(halfPld, 5000));
    EXPECT_TRUE(wait_for([&] { return stat_now(OFF(appIdleClosed)) == closed + 2; }));
    EXPECT_EQ(stat_now(OFF(appCutDropped)), cut);  // counted as idle, not again as cut
    ASSERT_TRUE(write_all(slow, user_req(20, DME_ACTION_ADD, 20)));
    EXPECT_EQ(read_msg(slow, 3000).size(), 12u);
    EXPECT_EQ(stat_now(OFF(appIdleClosed)), closed + 2);
}

// A connection whose first message is the control hello gets no indication,
// is not listed, counts apart, and may only ask.
TEST(ConnGuard, AControlConnectionIsCountedApartAndGetsNoIndications)
{
    LevelGuard quiet(LOG_LEV_OFF);
    const uint64_t accepted = stat_now(OFF(appAccepted)) + 2;
    CoreHarness core;
    ASSERT_TRUE(core.started());
    const int app = core.connect_app();
    ASSERT_EQ(register_aid(app, 0, 32), 0);
    // The harness's silent connection is taken for an application's too.
    ASSERT_TRUE(wait_for([&] { return stat_now(OFF(appAccepted)) == accepted; }));
    const uint64_t ctlAccepted = stat_now(OFF(ctlAccepted));
    const uint64_t open = stat_now(OFF(appConnections));
    const uint64_t msgsIn = stat_now(OFF(appMsgsIn));
    const uint32_t listed = ctl_query(app, V2X_CTL_CLIENTS).head.total;

    const int ctl = core.connect_app();
    ASSERT_TRUE(write_all(ctl, ctl_hello_msg()));
    const CtlAnswer own = ctl_query(ctl, V2X_CTL_STATS);
    ASSERT_EQ(own.head.what, static_cast<uint32_t>(V2X_CTL_STATS));
    EXPECT_EQ(stat_now(OFF(ctlAccepted)), ctlAccepted + 1);
    EXPECT_EQ(stat_now(OFF(ctlConnections)), 1u);
    EXPECT_EQ(stat_now(OFF(appConnections)), open);
    EXPECT_EQ(stat_now(OFF(appMsgsIn)), msgsIn + 1);  // the application's query only
    EXPECT_EQ(ctl_query(app, V2X_CTL_CLIENTS).head.total, listed);
    // The process's sum holds the harness's silent connection, not the
    // control connection's two messages.
    const CtlAnswer self = ctl_query(app, V2X_CTL_SELF);
    ASSERT_EQ(self.head.count, 1u);
    EXPECT_EQ(rec_at<tV2XCtlClient>(self, 0).msgsIn, 0u);

    ASSERT_TRUE(core.air_send(air_frame(32, {1, 2, 3})));
    const Bytes ind = read_msg(app, 3000);
    ASSERT_GE(ind.size(), 6u);
    EXPECT_EQ(ind[0], V2X_DSM_IND);
    EXPECT_TRUE(quiet_for(ctl, 200));

    // Only queries: a registration is refused by its type.
    const uint64_t badType = stat_now(OFF(appRefusedType));
    ASSERT_TRUE(write_all(ctl, dsm_serv_req(1, DME_ACTION_ADD, 33, 0)));
    EXPECT_TRUE(wait_for([&] { return stat_now(OFF(appRefusedType)) == badType + 1; }));
    EXPECT_TRUE(quiet_for(ctl, 100));
    core.close_app(ctl);
    EXPECT_TRUE(wait_for([&] { return stat_now(OFF(ctlConnections)) == 0; }));
    EXPECT_EQ(stat_now(OFF(appAccepted)), accepted);
}
