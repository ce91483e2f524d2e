// SPDX-License-Identifier: Apache-2.0
// Generic daemon server with real Unix-domain clients.
#include <gtest/gtest.h>

#include <errno.h>
#include <event2/event.h>
#include <libconfig.h>
#include <dirent.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

#include "dmn_serv.h"
#include "morrow_tool_helpers.hpp"
#include "test_support.h"

using mtest::LiveCapture;
using mtest::unix_connect;
using mtest::wait_until;
using v2xtest::count_lines_with;

namespace {

tDmnServCfg make_cfg(const std::string& path)
{
    tDmnServCfg c;
    memset(&c, 0, sizeof(c));
    snprintf(c.dmNme, sizeof(c.dmNme), "%s", path.c_str());
    return c;
}

// Everything readable on fd within ms milliseconds ("" on nothing).
std::string recv_some(int fd, int ms)
{
    std::string out;
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, ms) > 0) {
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
        ms = 20;
    }
    return out;
}

void drain(int fd)
{
    char buf[512];
    while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

// Connects n clients and waits until the server has accepted every one of
// them (a probe broadcast reaches all), then empties their sockets.
std::vector<int> connect_clients(const std::string& path, int n)
{
    std::vector<int> fds;
    for (int i = 0; i < n; ++i) {
        int fd = unix_connect(path, 2000);
        if (fd < 0) {
            return fds;
        }
        fds.push_back(fd);
    }
    std::vector<bool> got(fds.size(), false);
    wait_until(
        [&] {
            dmn_serv_tx_clit_msg("?", 1);
            bool all = true;
            for (size_t i = 0; i < fds.size(); ++i) {
                char c;
                if (!got[i] && recv(fds[i], &c, 1, MSG_DONTWAIT) == 1) {
                    got[i] = true;
                }
                all = all && got[i];
            }
            return all;
        },
        3000);
    for (int fd : fds) {
        drain(fd);
    }
    return fds;
}

double process_cpu_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Lowers the soft descriptor limit just above the highest open descriptor
// and fills every free slot below it; the destructor closes the fillers and
// restores the limit.
struct FdExhaust {
    struct rlimit saved;
    std::vector<int> fillers;
    bool full = false;
    FdExhaust()
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        int top = -1;
        if (DIR* d = opendir("/proc/self/fd")) {
            while (struct dirent* e = readdir(d)) {
                top = std::max(top, atoi(e->d_name));  // includes the stream's own
            }
            closedir(d);
        }
        struct rlimit low = saved;
        low.rlim_cur = static_cast<rlim_t>(top + 4);
        if (top < 0 || low.rlim_cur > saved.rlim_cur || setrlimit(RLIMIT_NOFILE, &low) != 0) {
            return;
        }
        for (;;) {
            int fd = dup(2);
            if (fd < 0) {
                full = errno == EMFILE;
                break;
            }
            fillers.push_back(fd);
        }
    }
    ~FdExhaust()
    {
        for (int fd : fillers) {
            close(fd);
        }
        setrlimit(RLIMIT_NOFILE, &saved);
    }
};

class DmnServ : public ::testing::Test {
protected:
    void TearDown() override
    {
        dmn_server_exit();
        unlink(path.c_str());
    }
    std::string path = v2xtest::unique_path("dmn");

    // A client that connects now gets what the server sends to all.
    void expect_serves_a_client(const std::string& aicMsg)
    {
        auto fds = connect_clients(path, 1);
        ASSERT_EQ(fds.size(), 1u);
        dmn_serv_tx_clit_msg(aicMsg.data(), static_cast<int>(aicMsg.size()));
        EXPECT_EQ(recv_some(fds[0], 1000), aicMsg);
        close(fds[0]);
    }
};

}  // namespace

TEST_F(DmnServ, BroadcastReachesEveryClientAndClientDataIsIgnored)
{
    tDmnServCfg cfg = make_cfg(path);
    ASSERT_EQ(dmn_server_init(&cfg), 0);
    memset(&cfg, 0, sizeof(cfg));  // the server keeps its own copy
    auto fds = connect_clients(path, 4);
    ASSERT_EQ(fds.size(), 4u);

    // Data from a client is read and dropped; the connection stays.
    std::string junk(1000, 'j');
    ASSERT_EQ(send(fds[1], junk.data(), junk.size(), 0), static_cast<ssize_t>(junk.size()));
    ASSERT_TRUE(v2xtest::wait_for([&] { return v2xtest::unread_by_peer(fds[1]) == 0; }));

    EXPECT_EQ(dmn_serv_tx_clit_msg("hello\0world", 11), 0);
    for (int fd : fds) {
        EXPECT_EQ(recv_some(fd, 1000), std::string("hello\0world", 11));
    }
    for (int fd : fds) {
        close(fd);
    }
}

TEST_F(DmnServ, DisconnectLogsRemoteCloseAndLeavesTheList)
{
    tDmnServCfg cfg = make_cfg(path);
    ASSERT_EQ(dmn_server_init(&cfg), 0);
    auto fds = connect_clients(path, 3);
    ASSERT_EQ(fds.size(), 3u);
    LiveCapture cap;
    close(fds[0]);
    close(fds[2]);
    ASSERT_TRUE(wait_until([&] { return count_lines_with(cap.text(), "Remote close------") == 2; },
                           3000))
        << cap.text();
    EXPECT_EQ(dmn_serv_tx_clit_msg("after", 5), 0);
    EXPECT_EQ(recv_some(fds[1], 1000), "after");
    std::string out = cap.stop();
    EXPECT_NE(out.find("[OFF:"), std::string::npos);  // written at level 0
    close(fds[1]);
}

TEST_F(DmnServ, BroadcastWithoutClientsAndExitTwice)
{
    EXPECT_EQ(dmn_serv_tx_clit_msg("x", 1), 0);  // never started
    EXPECT_EQ(dmn_server_exit(), 0);
    tDmnServCfg cfg = make_cfg(path);
    ASSERT_EQ(dmn_server_init(&cfg), 0);
    ASSERT_TRUE(wait_until(
        [&] {
            struct stat st;
            return stat(path.c_str(), &st) == 0;
        },
        2000));
    EXPECT_EQ(dmn_serv_tx_clit_msg("x", 1), 0);
    LiveCapture cap;
    EXPECT_EQ(dmn_server_exit(), 0);
    EXPECT_EQ(dmn_server_exit(), 0);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "Wait _dmn_server_func_pth() pthread stop------"), 1);
    EXPECT_EQ(count_lines_with(out, "_dmn_server_func_pth() pthread already stop------"), 1);
    // The socket file it made is gone; the next start makes it again.
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), -1);
    ASSERT_EQ(dmn_server_init(&cfg), 0);
    expect_serves_a_client("again");
}

// The exit removes only the socket file the server made: one someone else
// put at the path meanwhile stays, with its own inode.
TEST_F(DmnServ, ExitLeavesAFileItDidNotMake)
{
    tDmnServCfg cfg = make_cfg(path);
    ASSERT_EQ(dmn_server_init(&cfg), 0);
    auto fds = connect_clients(path, 1);  // listening: its file exists
    ASSERT_EQ(fds.size(), 1u);
    close(fds[0]);
    v2xtest::expect_stop_leaves_foreign_file(path, dmn_server_exit);
}

TEST_F(DmnServ, StaleSocketFileIsRemoved)
{
    // A socket file nobody listens on any more.
    int stale = mtest::unix_listen(path);
    ASSERT_GE(stale, 0);
    close(stale);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    tDmnServCfg cfg = make_cfg(path);
    ASSERT_EQ(dmn_server_init(&cfg), 0);
    expect_serves_a_client("ok");
}

// Mended fault: a live server at the path keeps it; the start is refused
// with the bind code and an ERROR line.
TEST_F(DmnServ, LiveServerAtThePathIsNotRemoved)
{
    int live = mtest::unix_listen(path);
    ASSERT_GE(live, 0);
    LiveCapture cap;
    tDmnServCfg cfg = make_cfg(path);
    ASSERT_EQ(dmn_server_init(&cfg), 0);  // the failure shows in the log only
    ASSERT_TRUE(cap.wait_for_text("_dmn_server_init() err!!!!", 3000))
        << cap.text();
    EXPECT_EQ(dmn_server_exit(), 0);
    std::string out = cap.stop();
    EXPECT_NE(out.find("bind() err, msg=Address already in use!!!!!!"), std::string::npos) << out;
    EXPECT_NE(out.find("[ERR:"), std::string::npos);
    // Still the test's own listener answers there.
    int c = unix_connect(path, 500);
    ASSERT_GE(c, 0);
    int a = accept(live, nullptr, nullptr);
    EXPECT_GE(a, 0);
    close(a);
    close(c);
    close(live);

    // The same through the exported call on the caller's own base.
    live = mtest::unix_listen(path + "b");
    ASSERT_GE(live, 0);
    struct event_base* base = event_base_new();
    tDmnServCfg cfg2 = make_cfg(path + "b");
    LiveCapture cap2;
    EXPECT_EQ(_dmn_server_init(base, &cfg2), -ERR_SOCKET_BIND_DMN);
    cap2.stop();
    dmn_server_exit();
    event_base_free(base);
    close(live);
    unlink((path + "b").c_str());
}

// Mended fault: a path of 108 bytes or more is refused, never cut.
TEST_F(DmnServ, OverlongPathRefusedAndLongestPathWorks)
{
    std::string longPath = path + "-" + std::string(108, 'L');
    longPath.resize(108);
    std::string cut = longPath.substr(0, 107);
    struct event_base* base = event_base_new();
    tDmnServCfg cfg = make_cfg(longPath);
    LiveCapture cap;
    EXPECT_EQ(_dmn_server_init(base, &cfg), -ERR_SOCKET_BIND_DMN);
    std::string out = cap.stop();
    EXPECT_NE(out.find("bind() err, msg=File name too long!!!!!!"), std::string::npos) << out;
    struct stat st;
    EXPECT_NE(stat(cut.c_str(), &st), 0);  // nothing made at a shortened path
    dmn_server_exit();

    // A path of 256 bytes without a terminating zero: refused as well.
    memset(cfg.dmNme, 'z', sizeof(cfg.dmNme));
    LiveCapture cap2;
    EXPECT_EQ(_dmn_server_init(base, &cfg), -ERR_SOCKET_BIND_DMN);
    cap2.stop();
    dmn_server_exit();

    // 107 bytes is the longest that fits.
    EXPECT_EQ(cut.size(), 107u);
    tDmnServCfg ok = make_cfg(cut);
    ASSERT_EQ(dmn_server_init(&ok), 0);
    auto fds = connect_clients(cut, 1);
    ASSERT_EQ(fds.size(), 1u);
    dmn_serv_tx_clit_msg("107", 3);
    EXPECT_EQ(recv_some(fds[0], 1000), "107");
    close(fds[0]);
    dmn_server_exit();
    unlink(cut.c_str());
    event_base_free(base);
}

TEST_F(DmnServ, LoadCfg)
{
    config_t cfg;
    config_init(&cfg);
    std::string longName(300, 'n');
    std::string text = "srv = { dmNme = \"" + longName + "\"; }; empty = { };";
    ASSERT_EQ(config_read_string(&cfg, text.c_str()), CONFIG_TRUE);
    tDmnServCfg c = make_cfg("/keep");
    LiveCapture cap;
    EXPECT_EQ(load_dmn_serv_cfg(&c, "missing", &cfg), -15);
    std::string out = cap.stop();
    EXPECT_NE(out.find("config_lookup(\"missing\") err!!!!"), std::string::npos);
    EXPECT_STREQ(c.dmNme, "/keep");
    EXPECT_EQ(load_dmn_serv_cfg(&c, "empty", &cfg), 0);
    EXPECT_STREQ(c.dmNme, "/keep");
    EXPECT_EQ(load_dmn_serv_cfg(&c, "srv", &cfg), 0);
    EXPECT_EQ(strlen(c.dmNme), 254u);
    config_destroy(&cfg);
}

TEST_F(DmnServ, ManyClientsComeAndGoThenStop)
{
    tDmnServCfg cfg = make_cfg(path);
    ASSERT_EQ(dmn_server_init(&cfg), 0);
    for (int round = 0; round < 3; ++round) {
        auto fds = connect_clients(path, 6);
        ASSERT_EQ(fds.size(), 6u);
        for (size_t i = 0; i < fds.size(); i += 2) {
            close(fds[i]);
        }
        dmn_serv_tx_clit_msg("r", 1);
        for (size_t i = 1; i < fds.size(); i += 2) {
            EXPECT_EQ(recv_some(fds[i], 1000), "r");
        }
        for (size_t i = 1; i < fds.size(); i += 2) {
            close(fds[i]);
        }
    }
    // Clients still connected at the stop are released by dmn_server_exit.
    auto left = connect_clients(path, 2);
    EXPECT_EQ(dmn_server_exit(), 0);
    for (int fd : left) {
        EXPECT_EQ(recv_some(fd, 1000), "");  // closed by the server
        close(fd);
    }
}

// Mended fault: out of descriptors, the pending connection kept the socket
// readable and accept() failed in a busy loop. The server now rests, keeps
// serving its clients, and accepts the queued ones once descriptors return.
TEST_F(DmnServ, OutOfDescriptorsRestsThenAcceptsTheQueued)
{
    const int fdsBefore = v2xtest::open_fd_count();
    tDmnServCfg cfg = make_cfg(path);
    ASSERT_EQ(dmn_server_init(&cfg), 0);
    auto old = connect_clients(path, 1);  // the server is up and accepting
    ASSERT_EQ(old.size(), 1u);
    // Made now: connect() needs no new descriptor, socket() does.
    int queued[2] = {socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0),
                     socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    ASSERT_GE(queued[0], 0);
    ASSERT_GE(queued[1], 0);
    struct sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
    {
        FdExhaust ex;
        ASSERT_TRUE(ex.full);
        for (int fd : queued) {
            ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        }
        const double cpu0 = process_cpu_s();
        int oldGot = 0;
        for (int i = 0; i < 20; ++i) {
            dmn_serv_tx_clit_msg("p", 1);
            // A window, not a wait: the CPU burnt in these is measured.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            char c;
            oldGot += recv(old[0], &c, 1, MSG_DONTWAIT) == 1 ? 1 : 0;
            for (int fd : queued) {
                ASSERT_EQ(recv(fd, &c, 1, MSG_DONTWAIT), -1);  // not accepted
            }
        }
        const double cpu = process_cpu_s() - cpu0;
        EXPECT_LT(cpu, 0.5);  // a busy loop burns about 2 s here
        EXPECT_EQ(oldGot, 20);  // the connected client keeps its connection
    }
    int got[2] = {0, 0};
    ASSERT_TRUE(wait_until(
        [&] {
            dmn_serv_tx_clit_msg("q", 1);
            char c;
            for (int i = 0; i < 2; ++i) {
                got[i] += recv(queued[i], &c, 1, MSG_DONTWAIT) == 1 ? 1 : 0;
            }
            return got[0] > 0 && got[1] > 0;
        },
        5000));
    close(queued[0]);
    close(queued[1]);
    close(old[0]);
    EXPECT_EQ(dmn_server_exit(), 0);
    EXPECT_EQ(v2xtest::open_fd_count(), fdsBefore);
}
