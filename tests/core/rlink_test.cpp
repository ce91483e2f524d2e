// SPDX-License-Identifier: Apache-2.0
// The radio link: pacing as a receiver sees it, the receive path and its
// ring, start-up failures that must close what they opened, exit rules.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <event2/event.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "adap_lyr.h"
#include "core.hpp"
#include "core_harness.h"
#include "rlink.hpp"
#include "test_support.h"
#include "v2x_evthread.hpp"

using v2xtest::Bytes;
using v2xtest::StatDelta;
using v2xtest::StdoutCapture;
using v2xtest::UdpPeer;
using v2xtest::count_lines_with;

namespace {

tV2XSDKCfg link_cfg(const char* rcvIp, uint16_t rcvPort, uint16_t sendPort)
{
    return v2xtest::sdk_cfg("", rcvIp, rcvPort, sendPort);
}

// What the adaptation layer's indication was handed.
struct Handed {
    uint8_t protTp;
    Bytes src;
    Bytes dst;
    Bytes frame;
    const char* at;
    uint8_t prio;
    uint16_t len;
};
std::vector<Handed> gHanded;
int gIndResult = 0;

int capture_ind(const uint8_t protTp, const char* src, const char* dst, const char* data,
                const uint8_t prio, const uint16_t len)
{
    Handed h;
    h.protTp = protTp;
    h.src.assign(src, src + 6);
    h.dst.assign(dst, dst + 6);
    h.frame.assign(data, data + len);
    h.at = data;
    h.prio = prio;
    h.len = len;
    gHanded.push_back(h);
    return gIndResult;
}

// A radio link on its own event base with a kernel-chosen receive port; the
// adaptation layer's indication is replaced by a recorder.
class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(v2x_event_threads_ready());
        base_ = event_base_new();
        ASSERT_NE(base_, nullptr);
        get_adaptation_layer_prim()->indication = capture_ind;
        core_wire_stack();
        gHanded.clear();
        gIndResult = 0;
        tV2XSDKCfg cfg = link_cfg("127.0.0.1", 0, radio_.port());
        ASSERT_EQ(rlink_init(&cfg, base_), 0);
        port_ = static_cast<uint16_t>(rlink_rx_port());
        ASSERT_GT(port_, 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(rlink_exit(), 0);
        core_unwire_stack();
        get_adaptation_layer_prim()->indication = nullptr;
        event_base_free(base_);
    }
    // Sends one datagram to the link and runs the loop until it is read.
    void air(const Bytes& b)
    {
        ASSERT_TRUE(sender_.send_to(port_, b));
        ASSERT_EQ(event_base_loop(base_, EVLOOP_ONCE), 0);
    }

    struct event_base* base_ = nullptr;
    UdpPeer radio_;
    UdpPeer sender_;
    uint16_t port_ = 0;
};

using RlinkRx = LinkFixture;

}  // namespace

TEST(RlinkLifecycle, ExitWithoutInitAndTwiceIsHarmless)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    int start = v2xtest::open_fd_count();
    EXPECT_EQ(rlink_exit(), 0);
    EXPECT_EQ(rlink_exit(), 0);
    EXPECT_EQ(rlink_rx_port(), -1);
    EXPECT_EQ(v2xtest::open_fd_count(), start);
    {
        struct event_base* base = event_base_new();
        ASSERT_NE(base, nullptr);
        UdpPeer radio;
        tV2XSDKCfg cfg = link_cfg("127.0.0.1", 0, radio.port());
        int before = v2xtest::open_fd_count();
        ASSERT_EQ(rlink_init(&cfg, base), 0);
        EXPECT_EQ(v2xtest::open_fd_count(), before + 2);
        // A second init without an exit does not leak the first sockets.
        ASSERT_EQ(rlink_init(&cfg, base), 0);
        EXPECT_EQ(v2xtest::open_fd_count(), before + 2);
        EXPECT_EQ(rlink_exit(), 0);
        EXPECT_EQ(rlink_exit(), 0);
        EXPECT_EQ(v2xtest::open_fd_count(), before);
        // A send after the exit fails cleanly instead of using a stale socket.
        const char d[2] = {4, 0};
        StdoutCapture cap;
        EXPECT_EQ(rlink_send(d, 2), -ERR_V2X_SOCKET_SEND_TO);
        EXPECT_EQ(count_lines_with(cap.stop(), "sendto() err, msg:"), 1);
        event_base_free(base);
    }
    EXPECT_EQ(v2xtest::open_fd_count(), start);
}

TEST(RlinkLifecycle, BindFailureOnANonLocalAddressClosesWhatWasOpened)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    struct event_base* base = event_base_new();
    ASSERT_NE(base, nullptr);
    // 192.0.2.1 (TEST-NET-1) is never an address of this host; nothing is
    // sent there, the bind alone fails.
    tV2XSDKCfg cfg = link_cfg("192.0.2.1", 40123, 9);
    StdoutCapture cap;
    int fds = v2xtest::open_fd_count();
    // One failure first: the error text and the log line settle their own
    // one-time allocations.
    EXPECT_EQ(rlink_init(&cfg, base), -ERR_V2X_SOCKET_BIND);
    EXPECT_EQ(v2xtest::open_fd_count(), fds);
    long heap = v2xtest::heap_in_use();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(rlink_init(&cfg, base), -ERR_V2X_SOCKET_BIND);
    }
    EXPECT_EQ(v2xtest::open_fd_count(), fds);
    EXPECT_LE(v2xtest::heap_in_use() - heap, 256);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "bind(192.0.2.1:40123) err, msg:"), 6) << out;
    EXPECT_EQ(count_lines_with(out, "_rlink_recv_init() err!!!!"), 6) << out;
    EXPECT_EQ(rlink_rx_port(), -1);
    // No event is left on the base: a loop over it ends at once.
    EXPECT_EQ(event_base_loop(base, EVLOOP_NONBLOCK), 1);
    event_base_free(base);
}

TEST(RlinkLifecycle, NullArgumentsAreRefused)
{
    StdoutCapture cap;
    EXPECT_EQ(rlink_init(nullptr, nullptr), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(rlink_send(nullptr, 3), -ERR_V2X_PARM_CONT);
    const char d[1] = {4};
    EXPECT_EQ(rlink_send(d, 0), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(rlink_send(d, -1), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(count_lines_with(cap.stop(), "Input param err!!!!"), 4);
}

namespace {

tRlinkTxStats tx_stats()
{
    tRlinkTxStats st;
    rlink_tx_stats(&st);
    return st;
}

}  // namespace

// Back-to-back sends never wait: the first leaves at once, the others queue
// and leave from the loop's timer, in order, at least 70 ms apart as the
// receiver's kernel stamps them. The bytes are copied, so the caller's
// buffer is free again when the call returns.
TEST(RlinkPacing, BackToBackSendsQueueAndLeaveInOrderAtLeast70msApart)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    struct event_base* base = event_base_new();
    ASSERT_NE(base, nullptr);
    UdpPeer rx;
    ASSERT_TRUE(rx.start_stamping());
    tV2XSDKCfg cfg = link_cfg("127.0.0.1", 0, rx.port());
    ASSERT_EQ(rlink_init(&cfg, base), 0);

    // The gap holds across a stop and a start: let the one after any
    // datagram an earlier case in this process sent pass first. The
    // condition is the clock itself, and a longer sleep cannot hurt.
    usleep(static_cast<useconds_t>(RLINK_PACE_US + 10000));
    const tRlinkTxStats before = tx_stats();
    char d[3] = {4, 1, 0};
    for (int i = 0; i < 5; ++i) {
        d[2] = static_cast<char>(i);
        ASSERT_EQ(rlink_send(d, 3), 0) << i;
    }
    d[2] = 99;  // overwriting the caller's bytes changes nothing queued
    // The calls returned without the loop running: one datagram is out,
    // four wait for their turn.
    tRlinkTxStats mid = tx_stats();
    EXPECT_EQ(mid.sent, before.sent + 1);
    EXPECT_EQ(mid.queued, 4u);
    EXPECT_EQ(mid.waited, before.waited + 4);
    EXPECT_EQ(rlink_tx_room_prio(0), RLINK_TXQ_CAP - 4);
    std::vector<long long> at;
    for (int i = 0; i < 5; ++i) {
        Bytes got;
        long long t = -1;
        for (int k = 0; k < 400 && t < 0; ++k) {
            event_base_loop(base, EVLOOP_NONBLOCK);
            t = rx.recv_stamp(5, &got);
        }
        ASSERT_GE(t, 0) << i;
        EXPECT_EQ(got, (Bytes{4, 1, static_cast<uint8_t>(i)}));
        at.push_back(t);
    }
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], 70 * 1000000LL) << "gap " << i;
    }
    EXPECT_EQ(tx_stats().queued, 0u);
    EXPECT_EQ(rlink_tx_room_prio(0), RLINK_TXQ_CAP);
    // A send well after the previous one does not queue (as above, the
    // condition is the clock: more than the gap since the last datagram).
    usleep(100 * 1000);
    const unsigned long waited = tx_stats().waited;
    ASSERT_EQ(rlink_send(d, 3), 0);
    EXPECT_EQ(tx_stats().waited, waited);
    EXPECT_EQ(rx.recv_stamp(2000, nullptr) >= 0, true);
    // The gap holds across a stop and a new start of the link.
    EXPECT_EQ(rlink_exit(), 0);
    ASSERT_EQ(rlink_init(&cfg, base), 0);
    ASSERT_EQ(rlink_send(d, 3), 0);
    EXPECT_EQ(tx_stats().waited, waited + 1);
    EXPECT_EQ(rlink_exit(), 0);
    event_base_free(base);
}

// The queue holds RLINK_TXQ_CAP datagrams; one more is refused and nothing
// of it kept. An exit drops what still waits and counts how many.
TEST(RlinkPacing, FullQueueRefusesAndExitDropsWhatWaits)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    struct event_base* base = event_base_new();
    ASSERT_NE(base, nullptr);
    UdpPeer radio;
    tV2XSDKCfg cfg = link_cfg("127.0.0.1", 0, radio.port());
    ASSERT_EQ(rlink_init(&cfg, base), 0);
    const tRlinkTxStats before = tx_stats();
    const char d[2] = {4, 0};
    ASSERT_EQ(rlink_send(d, 2), 0);  // out at once, or queued behind the gap
    while (rlink_tx_room_prio(0) > 0) {
        ASSERT_EQ(rlink_send(d, 2), 0);
    }
    EXPECT_EQ(rlink_send(d, 2), -ERR_V2X_TX_FULL);
    EXPECT_EQ(tx_stats().fullRefused, before.fullRefused + 1);
    EXPECT_EQ(tx_stats().queued, static_cast<unsigned long>(RLINK_TXQ_CAP));
    // The most ever waiting is the process's: other priorities may have
    // held more at once before.
    EXPECT_GE(tx_stats().queuedMax, static_cast<unsigned long>(RLINK_TXQ_CAP));
    // Longer than a queue place: refused whatever the queue holds.
    std::vector<char> big(RLINK_TX_MAX_LEN + 1, 4);
    EXPECT_EQ(rlink_send(big.data(), static_cast<int>(big.size())), -ERR_V2X_SEND_LEN);
    const StatDelta st;
    {
        v2xtest::LevelGuard quiet(LOG_LEV_OFF);
        EXPECT_EQ(rlink_exit(), 0);
    }
    EXPECT_EQ(tx_stats().droppedAtExit, before.droppedAtExit + RLINK_TXQ_CAP);
    EXPECT_EQ(st(offsetof(tV2XCoreStats, txDroppedAtExit)), static_cast<uint64_t>(RLINK_TXQ_CAP));
    EXPECT_EQ(tx_stats().queued, 0u);
    EXPECT_EQ(rlink_exit(), 0);
    event_base_free(base);
}

TEST_F(RlinkRx, FramesGoUpWithBroadcastAddressesAndPriorityZero)
{
    air({0x09, 0x00, 0x20, 0x00, 0x01, 0x61});
    air({0x04});
    ASSERT_EQ(gHanded.size(), 2u);
    const Bytes ff(6, 0xFF);
    EXPECT_EQ(gHanded[0].protTp, 0x09);  // handed on unexamined
    EXPECT_EQ(gHanded[0].frame, (Bytes{0x00, 0x20, 0x00, 0x01, 0x61}));
    for (const Handed& h : gHanded) {
        EXPECT_EQ(h.src, ff);
        EXPECT_EQ(h.dst, ff);
        EXPECT_EQ(h.prio, 0);
    }
    // A 1-byte datagram is a frame of length 0 for the layer above.
    EXPECT_EQ(gHanded[1].len, 0);
}

TEST_F(RlinkRx, EmptyAndOversizedDatagramsDoNotStopTheNextOne)
{
    StatDelta stat_delta;
    StdoutCapture cap;
    air({});
    Bytes big(3000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i);
    }
    air(big);
    gIndResult = -ERR_V2X_RX_DSM_FMT;  // the layer above refuses one
    air({0x04, 0x00});
    gIndResult = 0;
    air({0x04, 0x00, 0x21, 0x00, 0x00});
    cap.stop();
    // The empty one and the one longer than the 2040-byte buffer are counted
    // and dropped (a cut datagram is never decoded); the refusal above is the
    // upper layer's to count.
    EXPECT_EQ(stat_delta(offsetof(tV2XCoreStats, rxDropTooShort)), 1u);
    EXPECT_EQ(stat_delta(offsetof(tV2XCoreStats, rxDropTruncated)), 1u);
    EXPECT_EQ(stat_delta(offsetof(tV2XCoreStats, rxDatagrams)), 4u);
    EXPECT_EQ(stat_delta(offsetof(tV2XCoreStats, rxBytes)), 3000u + 2 + 5);
    ASSERT_EQ(gHanded.size(), 2u);
    EXPECT_EQ(gHanded[1].frame, (Bytes{0x00, 0x21, 0x00, 0x00}));
}

// Buffers are taken in ring order: the eleventh datagram lands in the
// buffer of the first, and the nine between use the nine others.
TEST_F(RlinkRx, TenReceiveBuffersAreUsedInRingOrder)
{
    for (int i = 0; i < 30; ++i) {
        air({0x04, static_cast<uint8_t>(i)});
    }
    ASSERT_EQ(gHanded.size(), 30u);
    for (int i = 0; i < 10; ++i) {
        for (int j = i + 1; j < 10; ++j) {
            EXPECT_NE(gHanded[i].at, gHanded[j].at) << i << " " << j;
        }
        EXPECT_EQ(gHanded[i].at, gHanded[i + 10].at) << i;
        EXPECT_EQ(gHanded[i].at, gHanded[i + 20].at) << i;
    }
}

// A stopped layer is never called through an entry looked up before: the
// frame after the layer's exit is refused, not a call through null.
TEST(RlinkHandOver, MissingAdaptationEntryIsReportedAndNotKept)
{
    const char d[3] = {4, 0, 0};
    gHanded.clear();
    core_wire_stack();
    StdoutCapture cap;
    EXPECT_EQ(_parse_rx_msg(d, 3), -ERR_V2X_PARM_CONT);
    // Once the entry exists the next frame goes up normally.
    get_adaptation_layer_prim()->indication = capture_ind;
    EXPECT_EQ(_parse_rx_msg(d, 3), 0);
    get_adaptation_layer_prim()->indication = nullptr;
    EXPECT_EQ(_parse_rx_msg(d, 3), -ERR_V2X_PARM_CONT);
    ASSERT_EQ(adaptation_layer_init(), 0);
    EXPECT_EQ(adaptation_layer_exit(), 0);
    EXPECT_EQ(_parse_rx_msg(d, 3), -ERR_V2X_PARM_CONT);
    EXPECT_EQ(count_lines_with(cap.stop(), "gipAdapLyrPrim->indication=NULL err!!!!"), 3);
    core_unwire_stack();
    ASSERT_EQ(gHanded.size(), 1u);
    EXPECT_EQ(gHanded[0].len, 2);
}

namespace {

// Runs the link's loop until `want` more datagrams have left since `d` was
// taken (each waits for its turn behind the gap).
void run_until_sent(struct event_base* aipBase, const StatDelta& d, uint64_t want)
{
    for (int i = 0; i < 200 && d(offsetof(tV2XCoreStats, txDatagrams)) < want; ++i) {
        event_base_loop(aipBase, EVLOOP_ONCE);
    }
    ASSERT_EQ(d(offsetof(tV2XCoreStats, txDatagrams)), want);
}

}  // namespace

// A datagram the far end refuses (ICMP port unreachable on loopback, where
// nothing listens) counts in txErrUnreachable; one line starts the episode,
// one ends it with the count once datagrams are taken again. While someone
// listens the counter does not move.
TEST(RlinkRefusal, RefusedDatagramsAreCountedOncePerEpisode)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    struct event_base* base = event_base_new();
    ASSERT_NE(base, nullptr);
    auto radio = std::make_unique<UdpPeer>();
    const uint16_t port = radio->port();
    tV2XSDKCfg cfg = link_cfg("127.0.0.1", 0, port);
    ASSERT_EQ(rlink_init(&cfg, base), 0);
    const StatDelta d;
    const auto unreachable = [&d] { return d(offsetof(tV2XCoreStats, txErrUnreachable)); };
    StdoutCapture cap;
    const char msg[3] = {4, 1, 2};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(rlink_send(msg, 3), 0);
    }
    run_until_sent(base, d, 2);
    EXPECT_EQ(radio->recv(2000), (Bytes{4, 1, 2}));
    EXPECT_EQ(unreachable(), 0u);

    radio.reset();  // nothing listens at the port now
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(rlink_send(msg, 3), 0);
    }
    run_until_sent(base, d, 5);
    EXPECT_EQ(unreachable(), 3u);
    EXPECT_EQ(d(offsetof(tV2XCoreStats, txErrOther)), 0u);

    // Someone listens there again: no more refusals, and the episode ends.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)), 0) << strerror(errno);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(rlink_send(msg, 3), 0);
    }
    run_until_sent(base, d, 7);
    EXPECT_EQ(unreachable(), 3u);
    char got[8];
    EXPECT_EQ(recv(fd, got, sizeof(got), MSG_DONTWAIT), 3);
    close(fd);
    EXPECT_EQ(rlink_exit(), 0);
    const std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "refused the datagram (Connection refused)"), 1) << out;
    EXPECT_EQ(count_lines_with(out, "3 datagrams refused before the radio module took them again"), 1)
        << out;
    EXPECT_EQ(count_lines_with(out, "sendto() err"), 0) << out;
    event_base_free(base);
}
