// SPDX-License-Identifier: Apache-2.0
// The default configuration for real. Its addresses are private, so the test
// runs in a child process inside network and mount namespaces of its own:
// the two default addresses live on the namespace's loopback, a fresh tmpfs
// stands for the board's empty /dev/shm, and radio-sim, started inside the
// namespace, plays the radio module between the board and a test station
// on the namespace's 127.0.0.1. Nothing is sent anywhere before the
// namespace exists.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "core_harness.h"
#include "cv2x_app_sys.h"
#include "sys_netns.hpp"
#include "test_support.h"

using namespace v2xtest;

namespace {

// Where the test station sends to radio-sim and where radio-sim delivers to
// it, on the namespace's own loopback.
constexpr uint16_t kTestSend = 40100;
constexpr uint16_t kTestRcv = 40101;

// radio-sim between the board's default addresses and the test station.
struct RadioSim {
    pid_t pid = -1;
    bool ready = false;
    RadioSim()
    {
        std::string board = std::string("board,") + V2X_SYS_DEF_SEND_IP + ":" +
                            std::to_string(V2X_SYS_DEF_SEND_PORT) + "," + V2X_SYS_DEF_RCV_IP +
                            ":" + std::to_string(V2X_SYS_DEF_RCV_PORT);
        std::string test = "test,127.0.0.1:" + std::to_string(kTestSend) +
                           ",127.0.0.1:" + std::to_string(kTestRcv);
        int err[2];
        if (pipe(err) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            dup2(err[1], 2);
            close(err[0]);
            close(err[1]);
            execl(RADIO_SIM_PATH, "radio-sim", "--own-netns", "--quiet", "--station",
                  board.c_str(), "--station", test.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(err[1]);
        // "radio-sim: ready" on its standard error means every socket is bound.
        std::string text;
        char b[256];
        ssize_t n;
        struct pollfd p = {err[0], POLLIN, 0};
        while (text.find("radio-sim: ready") == std::string::npos && poll(&p, 1, 10000) == 1 &&
               (n = read(err[0], b, sizeof(b))) > 0) {
            text.append(b, static_cast<size_t>(n));
        }
        ready = text.find("radio-sim: ready") != std::string::npos;
        close(err[0]);
    }
    ~RadioSim()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// The test station: receives what the board sends through radio-sim, and
// sends frames "over the air" to the board through radio-sim.
struct Radio {
    int fd = -1;
    Radio()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(kTestRcv);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Radio()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    Bytes recv(int timeout_ms)
    {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) {
            return {};
        }
        Bytes b(8192);
        ssize_t n = ::recv(fd, b.data(), b.size(), 0);
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    }
    bool send(const Bytes& b)
    {
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(kTestSend);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sendto(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a)) ==
               static_cast<ssize_t>(b.size());
    }
};

// A DSMP frame of AID 26 behind the protocol type.
Bytes frame26(const Bytes& data)
{
    Bytes f(5 + data.size());
    f[0] = PROT_TP_DSMP;
    f[1] = 0x00;
    f[2] = 0x1A;
    f[3] = static_cast<uint8_t>(data.size() >> 8);
    f[4] = static_cast<uint8_t>(data.size() & 0xFF);
    std::copy(data.begin(), data.end(), f.begin() + 5);
    return f;
}

#define CHECK(cond, what)                                                    \
    do {                                                                     \
        if (!(cond)) {                                                       \
            std::ostringstream os_;                                          \
            os_ << __LINE__ << ": " << what;                                 \
            return os_.str();                                                \
        }                                                                    \
    } while (0)

// The scenario, inside the namespace. Empty when everything held.
std::string scenario()
{
    Radio radio;
    CHECK(radio.fd >= 0, "test station bind: " << strerror(errno));
    RadioSim sim;
    CHECK(sim.ready, "radio-sim did not start in the namespace");
    struct stat st;
    CHECK(stat("/dev/shm/skDmn", &st) != 0, "the fresh /dev/shm already has skDmn");

    int rc = v2x_system_init();
    CHECK(rc == 0, "v2x_system_init()=" << rc);
    CHECK(stat("/dev/shm/skDmn", &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 0777) == 0750,
          "socket directory missing or not 0750");
    CHECK(stat(V2X_SYS_DEF_DMN_NME, &st) == 0 && (st.st_mode & 0777) == 0660,
          "socket not 0660");

    // A write reaches the radio as the exact datagram.
    Bytes data(100);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i + 1);
    }
    tDSMTxParm tx;
    memset(&tx, 0, sizeof(tx));
    tx.appId = 26;
    tx.protTp = PROT_TP_DSMP;
    tx.priority = 2;
    memset(tx.peerMac, 0xFF, 6);
    rc = v2x_system_write(reinterpret_cast<const char*>(data.data()), 100, &tx);
    CHECK(rc == 100, "v2x_system_write()=" << rc);
    Bytes got = radio.recv(5000);
    CHECK(got == frame26(data), "datagram of " << got.size() << " bytes differs");

    // The core's confirm of the start-up's registration: 0, nothing touched.
    char buf[4096];
    tDSMRxParm rx;
    memset(&rx, 0x5A, sizeof(rx));
    buf[0] = 0x33;
    rc = v2x_system_read(buf, sizeof(buf), &rx);
    CHECK(rc == 0, "read() of a confirm=" << rc);
    CHECK(rx.appId == 0x5A5A5A5Au && buf[0] == 0x33, "a confirm touched the caller's records");

    // A frame from the radio comes back with its parameters.
    CHECK(radio.send(frame26({9, 8, 7, 6, 5})), "radio send");
    rc = v2x_system_read(buf, sizeof(buf), &rx);
    CHECK(rc == 5, "read()=" << rc);
    CHECK(memcmp(buf, "\x09\x08\x07\x06\x05", 5) == 0, "data");
    CHECK(rx.dsmpVer == 0 && rx.appId == 26 && rx.priority == 0, "parameters");
    CHECK(Bytes(rx.peerMac, rx.peerMac + 6) == Bytes(6, 0xFF), "peer MAC");

    // A burst of 100 frames is read back completely, in order.
    for (int n = 0; n < 100; ++n) {
        CHECK(radio.send(frame26(Bytes(100, static_cast<uint8_t>(n)))), "radio send " << n);
    }
    for (int n = 0; n < 100; ++n) {
        rc = v2x_system_read(buf, sizeof(buf), &rx);
        CHECK(rc == 100, "burst read " << n << "=" << rc);
        CHECK(static_cast<uint8_t>(buf[0]) == n && static_cast<uint8_t>(buf[99]) == n,
              "burst frame " << n << " out of order");
    }
    CHECK(v2x_system_exit() == 0, "exit");
    CHECK(v2x_system_exit() == 0, "second exit");
    return "";
}

}  // namespace

TEST(SysNetns, DefaultConfigurationInANamespaceOfItsOwn)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "creating a network namespace needs root";
    }
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(p[0]);
        alarm(120);  // a read that never returns must not hang the suite
        std::string why = enter_sys_netns();
        std::string res = why.empty() ? scenario() : "SKIP " + why;
        if (write(p[1], res.data(), res.size()) < 0) {
            _exit(2);
        }
        _exit(0);
    }
    close(p[1]);
    std::string res;
    char b[256];
    ssize_t n;
    while ((n = read(p[0], b, sizeof(b))) > 0) {
        res.append(b, static_cast<size_t>(n));
    }
    close(p[0]);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    if (res.compare(0, 5, "SKIP ") == 0) {
        GTEST_SKIP() << "no namespace could be made: " << res.substr(5);
    }
    ASSERT_TRUE(WIFEXITED(st)) << "child ended by signal " << WTERMSIG(st) << "; " << res;
    EXPECT_EQ(res, "");
}
