// SPDX-License-Identifier: Apache-2.0
// Benchmarks of the station stack (see docs/PERFORMANCE.md).
//
//   v2x-bench rx [BLOCKS]   receive path against a bare relay: frames from a
//                           UDP sender on loopback to an application callback;
//                           throughput at saturation and latency percentiles
//                           at 1000 frames/s, for 50, 300 and 1200-byte
//                           payloads, stack and relay in alternating blocks
//   v2x-bench pace [GAPS]   gaps between datagrams at the radio under a
//                           saturating application sender
//   v2x-bench rxload [SECONDS]
//                           receive latency and delivery at 50 frames/s:
//                           SECONDS with no sender, then SECONDS with a
//                           saturating application sender keeping the radio
//                           link's transmit queue full
//   v2x-bench age [N]       age of a sent message when it reaches the radio,
//                           under a saturating sender, over N datagrams
//   v2x-bench contention [SECONDS]
//                           three applications on their own connections share
//                           the radio for SECONDS: priority 7 and 5 at 10 Hz
//                           each, priority 0 flooding, each with a lifetime;
//                           age at the radio per application, share of the
//                           air, drops per reason, smallest gap; exits 0 only
//                           when the targets are met
//   v2x-bench stop [N]      time to stop with N DSM requests waiting on a
//                           connection: cv2x_app_exit, then the core alone
//                           with v2x_core_exit
//   v2x-bench conn-mem [N]  heap the core spends per idle application
//                           connection, over N connections
//   v2x-bench start [N]     start-up to first reception, over N cycles:
//                           cv2x_app_init, a registration, one frame from
//                           the radio every 1 ms until the indication
//   v2x-bench sys-start [N] start-up of the system API to its first write,
//                           over N cycles, with the built-in defaults in a
//                           network namespace of the bench's own (root)
//   v2x-bench count-rx N    N received frames one at a time (for callgrind)
//   v2x-bench count-rx-rec N   the same, the module sending receive records
//   v2x-bench count-rx-info N  ... and the application taking them
//   v2x-bench count-tx N    N sent messages one at a time (for callgrind)
//   v2x-bench verify [SECONDS], v2x-bench sign [N]
//                           signed messages (sec_bench.cpp)
//   v2x-bench air N SECONDS BASEPORT [BOUND_MS]
//                           N stations at 10 Hz against a running radio-sim
//                           (air_load.cpp; scripts/bench-stations runs it)
//
// The stack is the whole of it in one process: the application runtime
// starts the core, which receives the UDP frames, hands them through its
// layers and writes each as an indication to the application's socket,
// where the client library reads it and calls the registered callback. The
// relay makes the same system calls with nothing in between: one thread
// receives each datagram and writes it (behind a 2-byte length) to a
// Unix-domain stream socket, another reads that socket and calls the same
// callback.
#include <arpa/inet.h>
#include <errno.h>
#include <malloc.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core.h"
#include "core_app_frame.hpp"
#include "core_app_tx.hpp"
#include "cv2x_app.h"
#include "cv2x_app_sys.h"
#include "rlink.hpp"
#include "self_log.h"
#include "sys_netns.hpp"
#include "bench_stack.hpp"

int run_air(int argc, char** argv);  // air_load.cpp
int run_sec_verify(int aicBlocks);  // sec_bench.cpp
int run_sec_sign(int aicN);

// This program hosts the libraries: it defines their log level.
eLogLevl gLogLevl = LOG_LEV_OFF;

namespace {

constexpr uint32_t kAid = 32;
constexpr int kWindow = 32;           // frames in flight at saturation
constexpr int kThroughputFrames = 20000;
constexpr int kLatencyFrames = 2000;  // at 1000 per second

}  // namespace

// What the security benchmarks (sec_bench.cpp) share with the rest.
namespace bench {

uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t real_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// One datagram from a socket with SO_TIMESTAMPNS on, and the kernel's
// arrival stamp through aopAtNs (CLOCK_REALTIME ns, 0 when there is none).
// recvmsg's result.
ssize_t recv_stamped(int aicFd, void* aopBuf, size_t aicLen, int aicFlags, uint64_t* aopAtNs)
{
    char ctl[256];
    struct iovec iov = {aopBuf, aicLen};
    struct msghdr mh;
    memset(&mh, 0, sizeof(mh));
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = ctl;
    mh.msg_controllen = sizeof(ctl);
    const ssize_t n = recvmsg(aicFd, &mh, aicFlags);
    *aopAtNs = 0;
    for (struct cmsghdr* c = n > 0 ? CMSG_FIRSTHDR(&mh) : nullptr; c != nullptr;
         c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            struct timespec ts;
            memcpy(&ts, CMSG_DATA(c), sizeof(ts));
            *aopAtNs = static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
        }
    }
    return n;
}

Sink gSink;

void on_frame(const char* aipcData, size_t aicLen)
{
    const long n = gSink.got.fetch_add(1, std::memory_order_acq_rel);
    if (gSink.recordLat.load(std::memory_order_relaxed) && aicLen >= 8 &&
        static_cast<size_t>(n) < gSink.latUs.size()) {
        uint64_t sent;
        memcpy(&sent, aipcData, 8);
        gSink.latUs[static_cast<size_t>(n)] = static_cast<uint32_t>((now_ns() - sent) / 1000u);
    }
    if (gSink.each != nullptr) {
        sem_post(gSink.each);
    }
}

int stack_ind(uint8_t, const uint32_t, uint16_t aicLen, const char* aipcMsg, const char*, uint8_t)
{
    on_frame(aipcMsg, aicLen);
    return 0;
}

int udp_socket(uint16_t* aopPort)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        perror("udp socket");
        exit(1);
    }
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    socklen_t l = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    if (aopPort != nullptr) {
        *aopPort = ntohs(a.sin_port);
    }
    return fd;
}

struct sockaddr_in loopback(uint16_t aicPort)
{
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(aicPort);
    return a;
}


// The configuration and the radio's socket, nothing started yet.
Stack stack_cfg()
{
    Stack s;
    memset(&s.cfg, 0, sizeof(s.cfg));
    snprintf(s.cfg.dmnNme, sizeof(s.cfg.dmnNme), "/tmp/v2x-bench-%d", static_cast<int>(getpid()));
    snprintf(s.cfg.rcvIp, sizeof(s.cfg.rcvIp), "127.0.0.1");
    snprintf(s.cfg.sendIp, sizeof(s.cfg.sendIp), "127.0.0.1");
    uint16_t radioPort = 0;
    s.radioFd = udp_socket(&radioPort);
    // A free port for the core's receive socket.
    int probe = udp_socket(&s.rcvPort);
    close(probe);
    s.cfg.rcvPort = s.rcvPort;
    s.cfg.sendPort = radioPort;
    return s;
}

int stack_ind_rx(const uint32_t, uint16_t aicLen, const char* aipcMsg, const tDSMRxInfo*)
{
    on_frame(aipcMsg, aicLen);
    return 0;
}

Stack start_stack(bool aicRxInfo)
{
    Stack s = stack_cfg();
    if (cv2x_app_init(&s.cfg) != 0) {
        fprintf(stderr, "cv2x_app_init failed\n");
        exit(1);
    }
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.action = DME_ACTION_ADD;
    r.appId = kAid;
    if ((aicRxInfo ? dme_dsm_serv_req_rx(&r, nullptr, stack_ind_rx)
                   : dme_dsm_serv_req(&r, nullptr, stack_ind)) != 0 ||
        (aicRxInfo && cv2x_app_set_rx_info(1) != 0)) {
        fprintf(stderr, "dme_dsm_serv_req failed\n");
        exit(1);
    }
    usleep(200 * 1000);
    return s;
}

// A DSM request for dsm_request(): the head (broadcast, DSMP, priority 0)
// and aicLen data bytes of zeros.
std::vector<char> dsm_req_buf(uint32_t aicAid, uint16_t aicLen)
{
    std::vector<char> buf(sizeof(tDSMReq) + aicLen, 0);
    auto* r = reinterpret_cast<tDSMReq*>(buf.data());
    r->appId = aicAid;
    r->protTp = PROT_TP_DSMP;
    memset(r->peerMac, 0xFF, 6);
    r->msgLen = aicLen;
    return buf;
}

// Stops the stack start_stack() started: 0.
int stop_stack(Stack& s)
{
    cv2x_app_exit();
    close(s.radioFd);
    unlink(s.cfg.dmnNme);
    return 0;
}

}  // namespace bench

using namespace bench;

namespace {

// The bare relay: UDP receive, Unix-socket write; read, callback.
class Relay {
public:
    Relay()
    {
        udp_ = udp_socket(&port_);
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair_) != 0) {
            perror("socketpair");
            exit(1);
        }
        fwd_ = std::thread([this] { forward(); });
        rd_ = std::thread([this] { read_side(); });
    }
    ~Relay()
    {
        stop_ = true;
        shutdown(udp_, SHUT_RDWR);
        shutdown(pair_[1], SHUT_RDWR);
        fwd_.join();
        rd_.join();
        close(udp_);
        close(pair_[0]);
        close(pair_[1]);
    }
    uint16_t port() const { return port_; }

private:
    void forward()
    {
        char buf[2 + 65536];
        while (!stop_) {
            struct pollfd p = {udp_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            ssize_t n = recv(udp_, buf + 2, sizeof(buf) - 2, 0);
            if (n <= 0) {
                continue;
            }
            const uint16_t l = static_cast<uint16_t>(n);
            memcpy(buf, &l, 2);
            if (write(pair_[0], buf, static_cast<size_t>(n) + 2) < 0) {
                return;
            }
        }
    }
    void read_side()
    {
        static char buf[1 << 16];
        size_t have = 0;
        while (!stop_) {
            struct pollfd p = {pair_[1], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            ssize_t n = read(pair_[1], buf + have, sizeof(buf) - have);
            if (n <= 0) {
                return;
            }
            have += static_cast<size_t>(n);
            size_t pos = 0;
            while (have - pos >= 2) {
                uint16_t l;
                memcpy(&l, buf + pos, 2);
                if (have - pos < 2u + l) {
                    break;
                }
                // The frame's data starts after protocol type, header byte,
                // AID and length, as the stack's callback sees it.
                if (l >= 5) {
                    on_frame(buf + pos + 2 + 5, l - 5u);
                }
                pos += 2u + l;
            }
            memmove(buf, buf + pos, have - pos);
            have -= pos;
        }
    }

    int udp_ = -1;
    uint16_t port_ = 0;
    int pair_[2] = {-1, -1};
    std::atomic<bool> stop_{false};
    std::thread fwd_, rd_;
};

// A frame for AID 32 whose data starts with the send time.
std::vector<char> frame(size_t aicPayload)
{
    std::vector<char> f = {0x04, 0x00, static_cast<char>(kAid),
                           static_cast<char>(aicPayload >> 8), static_cast<char>(aicPayload & 0xFF)};
    f.resize(5 + aicPayload, 'x');
    return f;
}

// Advances `next` by aicStepNs and sleeps until then on the monotonic
// clock: a fixed rate that does not drift with the time each step takes.
void sleep_until_next(struct timespec& next, long aicStepNs)
{
    next.tv_nsec += aicStepNs;
    while (next.tv_nsec >= 1000000000) {
        next.tv_nsec -= 1000000000;
        ++next.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
}

void stamp(std::vector<char>& f)
{
    const uint64_t t = now_ns();
    memcpy(f.data() + 5, &t, 8);
}

// Frames per second delivered with kWindow frames in flight.
double throughput(int aicFd, uint16_t aicPort, size_t aicPayload)
{
    std::vector<char> f = frame(aicPayload);
    const struct sockaddr_in to = loopback(aicPort);
    gSink.recordLat = false;
    gSink.got = 0;
    const uint64_t t0 = now_ns();
    uint64_t deadline = t0 + 20000000000ull;
    for (long sent = 0; sent < kThroughputFrames; ++sent) {
        while (sent - gSink.got.load() >= kWindow) {
            if (now_ns() > deadline) {
                return -1;  // frames lost: no figure
            }
            std::this_thread::yield();
        }
        stamp(f);
        sendto(aicFd, f.data(), f.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    while (gSink.got.load() < kThroughputFrames) {
        if (now_ns() > deadline) {
            return -1;
        }
        std::this_thread::yield();
    }
    return kThroughputFrames / ((now_ns() - t0) / 1e9);
}

struct Pct {
    double p50, p90, p99, p999;
};

// Latency percentiles in microseconds at 1000 frames per second.
Pct latency(int aicFd, uint16_t aicPort, size_t aicPayload)
{
    std::vector<char> f = frame(aicPayload);
    const struct sockaddr_in to = loopback(aicPort);
    gSink.latUs.assign(kLatencyFrames, UINT32_MAX);
    gSink.got = 0;
    gSink.recordLat = true;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < kLatencyFrames; ++i) {
        sleep_until_next(next, 1000000);
        stamp(f);
        sendto(aicFd, f.data(), f.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    }
    const uint64_t end = now_ns() + 2000000000ull;
    while (gSink.got.load() < kLatencyFrames && now_ns() < end) {
        usleep(1000);
    }
    gSink.recordLat = false;
    std::vector<uint32_t> v = gSink.latUs;  // a lost frame counts as UINT32_MAX
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return static_cast<double>(v[static_cast<size_t>(q * (v.size() - 1))]); };
    return {at(0.50), at(0.90), at(0.99), at(0.999)};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int run_rx(int aicBlocks)
{
    Stack s = start_stack();
    Relay relay;
    int tx = udp_socket(nullptr);
    printf("receive path: %d alternating blocks per figure; medians of the blocks\n", aicBlocks);
    printf("%8s %-6s %12s %8s %8s %8s %8s\n", "payload", "path", "frames/s", "p50us", "p90us",
           "p99us", "p99.9us");
    for (size_t payload : {50u, 300u, 1200u}) {
        std::vector<double> thr[2];
        std::vector<double> pct[2][4];
        for (int b = 0; b < aicBlocks; ++b) {
            for (int which = 0; which < 2; ++which) {  // 0 relay, 1 stack
                const uint16_t port = which == 0 ? relay.port() : s.rcvPort;
                thr[which].push_back(throughput(tx, port, payload));
                Pct p = latency(tx, port, payload);
                pct[which][0].push_back(p.p50);
                pct[which][1].push_back(p.p90);
                pct[which][2].push_back(p.p99);
                pct[which][3].push_back(p.p999);
            }
        }
        for (int which = 0; which < 2; ++which) {
            printf("%8zu %-6s %12.0f %8.0f %8.0f %8.0f %8.0f\n", payload,
                   which == 0 ? "relay" : "stack", median(thr[which]), median(pct[which][0]),
                   median(pct[which][1]), median(pct[which][2]), median(pct[which][3]));
        }
        printf("%8zu %-6s %11.1f%% %+8.0f %+8.0f %+8.0f %+8.0f\n", payload, "ratio",
               100.0 * median(thr[1]) / median(thr[0]), median(pct[1][0]) - median(pct[0][0]),
               median(pct[1][1]) - median(pct[0][1]), median(pct[1][2]) - median(pct[0][2]),
               median(pct[1][3]) - median(pct[0][3]));
        fflush(stdout);
    }
    close(tx);
    return stop_stack(s);
}

// Sends DSM requests as fast as the library takes them until stopped.
void saturate(std::atomic<bool>& aioStop)
{
    std::vector<char> buf = dsm_req_buf(kAid, 100);
    auto* r = reinterpret_cast<tDSMReq*>(buf.data());
    while (!aioStop.load()) {
        if (dsm_request(r) != 0) {
            usleep(1000);
        }
    }
}

int run_pace(int aicGaps)
{
    Stack s = start_stack();
    int on = 1;
    setsockopt(s.radioFd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    std::atomic<bool> stop{false};
    std::thread sender([&] { saturate(stop); });
    std::vector<double> gapsMs;
    uint64_t last = 0;
    while (static_cast<int>(gapsMs.size()) < aicGaps) {
        char data[4096];
        uint64_t t = 0;
        if (recv_stamped(s.radioFd, data, sizeof(data), 0, &t) <= 0) {
            continue;
        }
        if (last != 0 && t != 0) {
            gapsMs.push_back((t - last) / 1e6);
        }
        last = t;
    }
    stop = true;
    sender.join();
    std::sort(gapsMs.begin(), gapsMs.end());
    auto at = [&](double q) { return gapsMs[static_cast<size_t>(q * (gapsMs.size() - 1))]; };
    printf("send pacing: %zu gaps at the radio (kernel receive timestamps), saturating sender\n",
           gapsMs.size());
    const long below = std::count_if(gapsMs.begin(), gapsMs.end(), [](double g) { return g < 70.0; });
    printf("min %.3f ms  p50 %.3f ms  p99 %.3f ms  max %.3f ms  below 70.0 ms: %ld\n",
           gapsMs.front(), at(0.5), at(0.99), gapsMs.back(), below);
    return stop_stack(s);
}

// One frame at a time through the stack, for instruction counts. With
// aicRec the module sends receive-record datagrams; with aicRxInfo the
// application also takes the records.
int count_rx(long aicN, bool aicRec, bool aicRxInfo)
{
    Stack s = start_stack(aicRxInfo);
    sem_t each;
    sem_init(&each, 0, 0);
    gSink.each = &each;
    int tx = udp_socket(nullptr);
    std::vector<char> f = frame(300);
    if (aicRec) {
        // Source 0x000102, RSSI -90 dBm, CBR 0.5, before the plain datagram.
        const std::vector<char> rec = {'\x84', 1, 12, 7, 0, 0, 0, 1, 2, '\xFF', '\x4C', 1, '\xF4'};
        f.insert(f.begin(), rec.begin(), rec.end());
    }
    const struct sockaddr_in to = loopback(s.rcvPort);
    for (long i = 0; i < aicN; ++i) {
        sendto(tx, f.data(), f.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        while (sem_wait(&each) != 0 && errno == EINTR) {
        }
    }
    gSink.each = nullptr;
    printf("received %ld\n", gSink.got.load());
    close(tx);
    return stop_stack(s);
}

int run_count_rx(long aicN) { return count_rx(aicN, false, false); }
int run_count_rx_rec(long aicN) { return count_rx(aicN, true, false); }
int run_count_rx_info(long aicN) { return count_rx(aicN, true, true); }

// One message at a time from the application to the radio.
int run_count_tx(long aicN)
{
    Stack s = start_stack();
    std::vector<char> buf = dsm_req_buf(33, 300);
    auto* r = reinterpret_cast<tDSMReq*>(buf.data());
    long got = 0;
    for (long i = 0; i < aicN; ++i) {
        if (dsm_request(r) != 0) {
            fprintf(stderr, "dsm_request failed\n");
            break;
        }
        char d[4096];
        if (recv(s.radioFd, d, sizeof(d), 0) > 0) {
            ++got;
        }
    }
    printf("sent %ld\n", got);
    return stop_stack(s);
}

// Percentile of a sorted sample, 0 for an empty one.
template <typename T>
double pct_of(const std::vector<T>& aicSorted, double aicQ)
{
    if (aicSorted.empty()) {
        return 0;
    }
    return static_cast<double>(aicSorted[static_cast<size_t>(aicQ * (aicSorted.size() - 1))]);
}

// Empties the radio's socket on its own thread, so the core's sends never
// meet a full receive buffer, and counts the datagrams.
class RadioDrain {
public:
    explicit RadioDrain(int aicFd) : fd_(aicFd), th_([this] { run(); }) {}
    ~RadioDrain() { stop(); }
    // Ends the thread; called before the socket is closed.
    void stop()
    {
        stop_ = true;
        if (th_.joinable()) {
            th_.join();
        }
    }
    long count() const { return got_.load(); }

private:
    void run()
    {
        char buf[4096];
        while (!stop_) {
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            while (recv(fd_, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
                got_.fetch_add(1);
            }
        }
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<long> got_{0};
    std::thread th_;  // last: starts once the members above exist
};

unsigned long tx_queued()
{
    tRlinkTxStats st;
    rlink_tx_stats(&st);
    return st.queued;
}

// Waits up to aicMs for the transmit queue to be full.
bool wait_queue_full(int aicMs)
{
    for (int i = 0; i < aicMs / 10; ++i) {
        if (tx_queued() >= static_cast<unsigned long>(RLINK_TXQ_CAP)) {
            return true;
        }
        usleep(10 * 1000);
    }
    return false;
}

constexpr int kRxLoadRate = 50;        // frames per second
constexpr size_t kRxLoadPayload = 100;

struct RxLoad {
    long sent = 0;
    long got = 0;
    double p50 = 0, p99 = 0, max = 0;  // µs, over the delivered frames
    long atRadio = 0;                  // datagrams that reached the radio meanwhile
    unsigned long queueMin = 0;        // transmit queue, sampled after each frame
};

// One phase of rxload: aicFrames frames at kRxLoadRate per second, each
// carrying its send time.
RxLoad rx_phase(int aicFd, uint16_t aicPort, long aicFrames, const RadioDrain& aicRadio)
{
    std::vector<char> f = frame(kRxLoadPayload);
    const struct sockaddr_in to = loopback(aicPort);
    RxLoad r;
    gSink.latUs.assign(static_cast<size_t>(aicFrames), 0);
    gSink.got = 0;
    gSink.recordLat = true;
    const long radio0 = aicRadio.count();
    r.queueMin = RLINK_TXQ_CAP;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long i = 0; i < aicFrames; ++i) {
        sleep_until_next(next, 1000000000 / kRxLoadRate);
        stamp(f);
        sendto(aicFd, f.data(), f.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        ++r.sent;
        r.queueMin = std::min(r.queueMin, tx_queued());
    }
    const uint64_t end = now_ns() + 2000000000ull;
    while (gSink.got.load() < aicFrames && now_ns() < end) {
        usleep(1000);
    }
    gSink.recordLat = false;
    r.atRadio = aicRadio.count() - radio0;
    r.got = gSink.got.load();
    std::vector<uint32_t> v(gSink.latUs.begin(),
                            gSink.latUs.begin() + std::min(r.got, aicFrames));
    std::sort(v.begin(), v.end());
    r.p50 = pct_of(v, 0.50);
    r.p99 = pct_of(v, 0.99);
    r.max = v.empty() ? 0 : v.back();
    return r;
}

int run_rxload(int aicSeconds)
{
    Stack s = start_stack();
    RadioDrain radio(s.radioFd);
    int tx = udp_socket(nullptr);
    const long frames = static_cast<long>(kRxLoadRate) * aicSeconds;
    printf("receive under a full transmit queue: %d frames/s, %ld frames per phase, "
           "%zu-byte payload\n",
           kRxLoadRate, frames, kRxLoadPayload);
    printf("%-8s %8s %9s %8s %8s %8s %8s %7s %9s\n", "phase", "sent", "delivered", "ratio",
           "p50us", "p99us", "maxus", "radio", "queuemin");
    RxLoad idle = rx_phase(tx, s.rcvPort, frames, radio);
    printf("%-8s %8ld %9ld %7.2f%% %8.0f %8.0f %8.0f %7s %9s\n", "idle", idle.sent, idle.got,
           100.0 * idle.got / idle.sent, idle.p50, idle.p99, idle.max, "-", "-");
    fflush(stdout);

    std::atomic<bool> stop{false};
    std::thread sender([&] { saturate(stop); });
    if (!wait_queue_full(3000)) {
        fprintf(stderr, "the transmit queue did not fill in 3 s\n");
    }
    RxLoad load = rx_phase(tx, s.rcvPort, frames, radio);
    stop = true;
    sender.join();
    printf("%-8s %8ld %9ld %7.2f%% %8.0f %8.0f %8.0f %7ld %6lu/%d\n", "tx-full", load.sent,
           load.got, 100.0 * load.got / load.sent, load.p50, load.p99, load.max, load.atRadio,
           load.queueMin, RLINK_TXQ_CAP);
    printf("p99 under load - idle p99: %+.0f us (target: all delivered, within +1000 us)\n",
           load.p99 - idle.p99);
    close(tx);
    cv2x_app_exit();
    radio.stop();
    close(s.radioFd);
    unlink(s.cfg.dmnNme);
    return 0;
}

// The data of a datagram as the core sends it: protocol type, header byte
// (no extension), one- or two-byte AID, big-endian length, data. False for
// anything else.
bool dsmp_data(const unsigned char* aipcDgram, size_t aicLen, const unsigned char** aopData,
               size_t* aopLen)
{
    if (aicLen < 5 || aipcDgram[1] != 0) {
        return false;
    }
    const size_t off = 2 + ((aipcDgram[2] & 0x80) == 0 ? 1 : 2);
    if (aicLen < off + 2) {
        return false;
    }
    const size_t len = (static_cast<size_t>(aipcDgram[off]) << 8) | aipcDgram[off + 1];
    if (aicLen != off + 2 + len) {
        return false;
    }
    *aopData = aipcDgram + off + 2;
    *aopLen = len;
    return true;
}

// Requests as fast as the stack takes them until aicStop. Each request's
// data: its call time (monotonic ns), then its sequence number.
void age_sender(const std::atomic<bool>& aicStop, std::atomic<long>& aioCalls,
                std::atomic<long>& aioRefused)
{
    std::vector<char> buf = dsm_req_buf(kAid, 16);
    auto* r = reinterpret_cast<tDSMReq*>(buf.data());
    for (uint64_t seq = 0; !aicStop.load(); ++seq) {
        const uint64_t t = now_ns();
        memcpy(r->msg, &t, 8);
        memcpy(r->msg + 8, &seq, 8);
        aioCalls.fetch_add(1);
        if (dsm_request(r) != 0) {
            aioRefused.fetch_add(1);
        }
    }
}

int run_age(int aicN)
{
    constexpr int kWarmUp = 30;  // datagrams until the queue and the buffers are full
    Stack s = start_stack();
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::atomic<long> refused{0};
    std::thread sender([&] { age_sender(stop, calls, refused); });
    std::vector<double> ageMs;
    ageMs.reserve(static_cast<size_t>(aicN));
    long seen = 0;
    long unparsed = 0;
    long missing = 0;
    uint64_t lastSeq = 0;
    // Twice the paced time, and some: a stack that stalls ends the run.
    const uint64_t deadline =
        now_ns() + static_cast<uint64_t>(kWarmUp + aicN) * 140000000ull + 10000000000ull;
    while (static_cast<int>(ageMs.size()) < aicN && now_ns() < deadline) {
        struct pollfd p = {s.radioFd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        unsigned char d[4096];
        const ssize_t n = recv(s.radioFd, d, sizeof(d), MSG_DONTWAIT);
        const uint64_t at = now_ns();
        if (n <= 0) {
            continue;
        }
        const unsigned char* data = nullptr;
        size_t len = 0;
        if (!dsmp_data(d, static_cast<size_t>(n), &data, &len) || len < 16) {
            ++unparsed;
            continue;
        }
        uint64_t t, seq;
        memcpy(&t, data, 8);
        memcpy(&seq, data + 8, 8);
        if (seen > 0 && seq != lastSeq + 1) {
            missing += seq > lastSeq ? static_cast<long>(seq - lastSeq - 1) : 1;
        }
        lastSeq = seq;
        if (++seen <= kWarmUp) {
            continue;
        }
        ageMs.push_back((at - t) / 1e6);
    }
    stop = true;
    sender.join();
    std::sort(ageMs.begin(), ageMs.end());
    printf("message age at the radio: saturating sender, %zu datagrams after a warm-up of %d\n",
           ageMs.size(), kWarmUp);
    if (static_cast<int>(ageMs.size()) < aicN) {
        printf("STALLED: %zu of %d datagrams before the deadline\n", ageMs.size(), aicN);
    }
    const double p50 = pct_of(ageMs, 0.50);
    printf("p50 %.1f ms  p99 %.1f ms  max %.1f ms  (p50 = %.1f gaps of 70 ms; queue depth %d)\n",
           p50, pct_of(ageMs, 0.99), ageMs.empty() ? 0 : ageMs.back(), p50 / 70.0,
           RLINK_TXQ_CAP);
    printf("calls %ld  non-zero returns %ld  sequence numbers missing at the radio %ld  "
           "datagrams not parsed %ld\n",
           calls.load(), refused.load(), missing, unparsed);
    return stop_stack(s);
}

// A blocking connection to the core's application socket, retried until
// the core listens (3 s at most); -1 when it never did. aicSndBuf > 0 sets
// the send buffer.
int connect_raw(const char* aipcPath, int aicSndBuf)
{
    struct sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s", aipcPath);
    const uint64_t deadline = now_ns() + 3000000000ull;
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return -1;
        }
        if (aicSndBuf > 0) {
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &aicSndBuf, sizeof(aicSndBuf));
        }
        if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0) {
            return fd;
        }
        close(fd);
        if (now_ns() > deadline) {
            return -1;
        }
        usleep(10 * 1000);
    }
}

// One whole V2X_DSM_REQ message as it travels on the application socket:
// the 6-byte header (type, payload length; host order), the 270-byte head,
// the data.
std::vector<char> raw_dsm_req(uint16_t aicDataLen)
{
    std::vector<char> m(V2X_CORE_APP_HDR_LEN + sizeof(tDSMReq) + aicDataLen, 0);
    const uint32_t type = V2X_DSM_REQ;
    const uint16_t len = static_cast<uint16_t>(sizeof(tDSMReq) + aicDataLen);
    memcpy(m.data(), &type, 4);
    memcpy(m.data() + 4, &len, 2);
    auto* r = reinterpret_cast<tDSMReq*>(m.data() + V2X_CORE_APP_HDR_LEN);
    r->appId = kAid;
    r->protTp = PROT_TP_DSMP;
    r->priority = 1;
    memset(r->peerMac, 0xFF, 6);
    r->msgLen = aicDataLen;
    return m;
}

bool write_all(int aicFd, const std::vector<char>& aicMsg)
{
    size_t off = 0;
    while (off < aicMsg.size()) {
        ssize_t n = send(aicFd, aicMsg.data() + off, aicMsg.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

// One stop with aicN requests written to an extra raw connection: the whole
// stack (cv2x_app_exit) or the core alone (v2x_core_exit).
void stop_case(bool aicCoreAlone, long aicN)
{
    Stack s = aicCoreAlone ? stack_cfg() : start_stack();
    if (aicCoreAlone && v2x_core_init(&s.cfg) != 0) {
        fprintf(stderr, "v2x_core_init failed\n");
        exit(1);
    }
    const int fd = connect_raw(s.cfg.dmnNme, 1 << 20);
    if (fd < 0) {
        fprintf(stderr, "cannot connect to %s\n", s.cfg.dmnNme);
        exit(1);
    }
    tRlinkTxStats st0;
    rlink_tx_stats(&st0);
    std::atomic<long> written{0};
    RadioDrain radio(s.radioFd);
    // Blocking writes: one waits while the core holds the connection back
    // and fails once the stop has closed it.
    std::thread writer([&] {
        const std::vector<char> m = raw_dsm_req(100);
        for (long i = 0; i < aicN; ++i) {
            if (!write_all(fd, m)) {
                return;
            }
            written.fetch_add(1);
        }
    });
    usleep(300 * 1000);
    tRlinkTxStats st1;
    rlink_tx_stats(&st1);
    const long inSocket = written.load();
    const uint64_t t0 = now_ns();
    if (aicCoreAlone) {
        v2x_core_exit();
    } else {
        cv2x_app_exit();
    }
    const double ms = (now_ns() - t0) / 1e6;
    writer.join();
    tRlinkTxStats st2;
    rlink_tx_stats(&st2);
    // Written, less what left and what the queue holds: still in the socket.
    const long sent = static_cast<long>(st1.sent - st0.sent);
    const long waiting = inSocket - sent - static_cast<long>(st1.queued);
    printf("%-14s %9.2f %8ld %7ld %7lu %8ld %8lu\n",
           aicCoreAlone ? "v2x_core_exit" : "cv2x_app_exit", ms, inSocket, sent, st1.queued,
           waiting, st2.droppedAtExit - st1.droppedAtExit);
    if (inSocket < aicN) {
        printf("  only %ld of %ld requests fitted in the socket before the stop\n", inSocket, aicN);
    }
    close(fd);
    radio.stop();
    close(s.radioFd);
    unlink(s.cfg.dmnNme);
}

int run_stop(long aicN)
{
    printf("stop with %ld DSM requests written to a raw connection, 300 ms before the stop\n",
           aicN);
    printf("%-14s %9s %8s %7s %7s %8s %8s\n", "call", "ms", "written", "sent", "queued",
           "waiting", "dropped");
    stop_case(false, aicN);
    fflush(stdout);
    stop_case(true, aicN);
    printf("target: each stop under 200 ms\n");
    return 0;
}

// ---- Sharing the radio under contention ------------------------------------

// The three applications that share the radio, each on its own connection.
struct ContApp {
    char tag;            // byte 8 of its data
    uint8_t prio;
    uint32_t lifetimeMs;
    uint8_t supersede;   // each request replaces its predecessor still waiting
    long periodNs;       // 0: floods, as fast as the core takes
    long offsetNs;       // its first request after the start
};
constexpr ContApp kContApps[] = {
    {'A', 7, 100, 1, 100000000, 0},         // a BSM
    {'B', 5, 200, 1, 100000000, 50000000},  // a SPAT: only the newest counts
    {'C', 0, 1000, 0, 0, 0},                // bulk
};
constexpr int kContAppCnt = 3;
constexpr uint16_t kContData = 100;  // data bytes per request
// Where the data starts in a whole V2X_DSM_REQ_EX message.
constexpr size_t kContDataOff = V2X_CORE_APP_HDR_LEN + V2X_DSM_REQ_EX_HEAD_LEN;

// One whole V2X_DSM_REQ_EX message: the 6-byte header, the options and the
// call time (stamped by the writer), the 270-byte head, the data.
std::vector<char> raw_dsm_req_ex(uint8_t aicPrio, uint32_t aicLifetimeMs, uint8_t aicSupersede,
                                 uint16_t aicDataLen)
{
    const uint16_t len = static_cast<uint16_t>(V2X_DSM_REQ_EX_HEAD_LEN + aicDataLen);
    std::vector<char> m(V2X_CORE_APP_HDR_LEN + len, 0);
    const uint32_t type = V2X_DSM_REQ_EX;
    memcpy(m.data(), &type, 4);
    memcpy(m.data() + 4, &len, 2);
    tDSMReqExPre pre;
    memset(&pre, 0, sizeof(pre));
    pre.opt.lifetimeMs = aicLifetimeMs;
    pre.opt.supersede = aicSupersede;
    memcpy(m.data() + V2X_CORE_APP_HDR_LEN, &pre, sizeof(pre));
    auto* r = reinterpret_cast<tDSMReq*>(m.data() + V2X_CORE_APP_HDR_LEN + sizeof(pre));
    r->appId = kAid;
    r->protTp = PROT_TP_DSMP;
    r->priority = aicPrio;
    memset(r->peerMac, 0xFF, 6);
    r->msgLen = aicDataLen;
    return m;
}

// One application. Each request's data: its call time (CLOCK_REALTIME ns),
// its tag at byte 8, its sequence number at 12, and at 16 the time it was
// written. As in the client library, the call waits until the socket polls
// writable, writes the request and returns.
void cont_writer(int aicFd, const ContApp& aicApp, const std::atomic<bool>& aicStop,
                 std::atomic<long>& aioWritten)
{
    std::vector<char> m = raw_dsm_req_ex(aicApp.prio, aicApp.lifetimeMs, aicApp.supersede, kContData);
    char* data = m.data() + kContDataOff;
    data[8] = aicApp.tag;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    if (aicApp.periodNs > 0) {
        sleep_until_next(next, aicApp.offsetNs);
    }
    for (uint32_t seq = 0; !aicStop.load(); ++seq) {
        if (aicApp.periodNs > 0 && seq > 0) {
            sleep_until_next(next, aicApp.periodNs);
        }
        const uint64_t t = real_ns();
        const uint64_t callUs = now_ns() / 1000u;  // what the client library stamps
        memcpy(data, &t, 8);
        memcpy(data + 12, &seq, 4);
        memcpy(m.data() + V2X_CORE_APP_HDR_LEN + offsetof(tDSMReqExPre, callUs), &callUs, 8);
        struct pollfd p = {aicFd, POLLOUT, 0};
        int pr;
        do {
            pr = poll(&p, 1, 100);
        } while ((pr == 0 || (pr < 0 && errno == EINTR)) && !aicStop.load());
        if (pr <= 0) {
            return;
        }
        const uint64_t w = real_ns();
        memcpy(data + 16, &w, 8);
        if (!write_all(aicFd, m)) {
            return;
        }
        aioWritten.fetch_add(1);
    }
}

tV2XCoreStats core_stats()
{
    tV2XCoreStats st;
    memset(&st, 0, sizeof(st));
    st.size = sizeof(st);
    v2x_core_stats(&st);
    return st;
}

// Reads one whole message from a blocking socket whose receive timeout
// bounds the wait: its type, and its payload into aopPld (aicRoom bytes at
// most). False on a timeout, an end, or a longer payload.
bool read_msg(int aicFd, uint32_t* aopType, char* aopPld, size_t aicRoom, uint16_t* aopLen)
{
    char hdr[V2X_CORE_APP_HDR_LEN];
    if (recv(aicFd, hdr, sizeof(hdr), MSG_WAITALL) != static_cast<ssize_t>(sizeof(hdr))) {
        return false;
    }
    core_app_hdr_parse(hdr, aopType, aopLen);
    return *aopLen <= aicRoom &&
           (*aopLen == 0 || recv(aicFd, aopPld, *aopLen, MSG_WAITALL) == *aopLen);
}

// The greeting the core writes first on every connection it accepts: the
// number it gave the connection (V2X_CTL_CLIENTS lists it by that number),
// or 0 when it did not welcome the connection within 1 s.
uint32_t greeted_conn_id(int aicFd)
{
    struct timeval tv = {1, 0};
    setsockopt(aicFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char pld[sizeof(tV2XCtlGreeting)];
    uint32_t type = 0;
    uint16_t len = 0;
    tV2XCtlGreeting g;
    const bool welcome = read_msg(aicFd, &type, pld, sizeof(pld), &len) &&
                         core_app_greeting(type, len, pld, &g) == CoreAppGreet::Welcome;
    return welcome ? g.connId : 0;
}

// The core's records of its application connections, asked over a short
// control connection of its own (which the core neither lists nor counts
// among the applications); empty when there is no answer within 1 s.
std::vector<tV2XCtlClient> query_clients(const char* aipcPath)
{
    std::vector<tV2XCtlClient> recs;
    const int fd = connect_raw(aipcPath, 0);
    if (fd < 0) {
        return recs;
    }
    // The hello first: only as the connection's first message does it make
    // a control connection.
    const tV2XCtlHello hello = {V2X_CTL_VERSION, 0};
    const tV2XCtlReq req = {V2X_CTL_CLIENTS, V2X_CTL_VERSION, 0};
    std::vector<char> m(2 * V2X_CORE_APP_HDR_LEN + sizeof(hello) + sizeof(req));
    const size_t at = core_app_put_msg(m.data(), V2X_CTL_HELLO,
                                       reinterpret_cast<const char*>(&hello), sizeof(hello));
    core_app_put_msg(m.data() + at, V2X_CTL_QUERY_REQ, reinterpret_cast<const char*>(&req),
                     sizeof(req));
    static char pld[V2X_CORE_APP_BUF_LEN];
    uint32_t type = 0;
    uint16_t len = 0;
    tV2XCtlRsp rsp;
    if (greeted_conn_id(fd) != 0 && write_all(fd, m) &&
        read_msg(fd, &type, pld, sizeof(pld), &len) && type == V2X_CTL_QUERY_RSP &&
        len >= sizeof(rsp)) {
        memcpy(&rsp, pld, sizeof(rsp));
        if (rsp.status == V2X_CTL_OK && rsp.recSize >= sizeof(tV2XCtlClient) &&
            sizeof(rsp) + static_cast<size_t>(rsp.count) * rsp.recSize <= len) {
            recs.resize(rsp.count);
            for (uint32_t i = 0; i < rsp.count; ++i) {
                memcpy(&recs[i], pld + sizeof(rsp) + i * rsp.recSize, sizeof(tV2XCtlClient));
            }
        }
    }
    close(fd);
    return recs;
}

// A datagram at the radio: arrival (kernel stamp), call and write times,
// all CLOCK_REALTIME ns; the application's index (-1: not one of theirs)
// and its sequence number.
struct ContSeen {
    uint64_t atNs;
    uint64_t callNs;
    uint64_t writeNs;
    int app;
    uint32_t seq;
};

// One contention run: the core alone, the three connections, what the
// radio saw and what the core counted.
struct ContRun {
    Stack s;
    int fds[kContAppCnt] = {-1, -1, -1};
    uint32_t connIds[kContAppCnt] = {};  // from each connection's greeting
    std::atomic<long> written[kContAppCnt] = {};
    std::vector<ContSeen> seen;
    long foreign = 0;  // datagrams not from the three
    uint64_t stopNs = 0;
    bool settled = false;
    tV2XCoreStats st0, st1;
    tV2XCtlClient recs[kContAppCnt] = {};  // the core's record of each connection
    bool listed[kContAppCnt] = {};          // whether the core listed it

    ~ContRun()
    {
        v2x_core_exit();
        for (int fd : fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
        close(s.radioFd);
        unlink(s.cfg.dmnNme);
    }
};

// Starts the core and connects the three applications, each welcomed
// before the next; false after a line on stderr.
bool cont_start(ContRun& r)
{
    r.s = stack_cfg();
    if (v2x_core_init(&r.s.cfg) != 0) {
        fprintf(stderr, "v2x_core_init failed\n");
        return false;
    }
    int on = 1;
    setsockopt(r.s.radioFd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
    r.st0 = core_stats();
    // The send buffer is the client library's.
    for (int i = 0; i < kContAppCnt; ++i) {
        r.fds[i] = connect_raw(r.s.cfg.dmnNme, static_cast<int>(V2X_CORE_APP_BUF_LEN));
        r.connIds[i] = r.fds[i] >= 0 ? greeted_conn_id(r.fds[i]) : 0;
        if (r.connIds[i] == 0) {
            fprintf(stderr, "connection %c not accepted\n", kContApps[i].tag);
            return false;
        }
    }
    return true;
}

// The radio's thread: each datagram with its arrival stamp, until aicStop.
void cont_radio(ContRun& r, const std::atomic<bool>& aicStop)
{
    while (!aicStop.load()) {
        struct pollfd p = {r.s.radioFd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        unsigned char d[4096];
        uint64_t at = 0;
        const ssize_t n = recv_stamped(r.s.radioFd, d, sizeof(d), MSG_DONTWAIT, &at);
        if (n <= 0) {
            continue;
        }
        const unsigned char* data = nullptr;
        size_t len = 0;
        ContSeen c = {at, 0, 0, -1, 0};
        if (dsmp_data(d, static_cast<size_t>(n), &data, &len) && len == kContData) {
            for (int i = 0; i < kContAppCnt; ++i) {
                c.app = data[8] == static_cast<unsigned char>(kContApps[i].tag) ? i : c.app;
            }
            memcpy(&c.callNs, data, 8);
            memcpy(&c.seq, data + 12, 4);
            memcpy(&c.writeNs, data + 16, 8);
        }
        r.foreign += c.app < 0 ? 1 : 0;
        r.seen.push_back(c);
    }
}

// The writers for aicSeconds; then waits until every request written has
// been read and has left or been dropped, so that the counters account for
// all of them, and asks the core for its connections' records.
void cont_drive(ContRun& r, int aicSeconds)
{
    std::atomic<bool> radioStop{false};
    r.seen.reserve(static_cast<size_t>(aicSeconds) * 20 + 100);
    std::thread radio([&] { cont_radio(r, radioStop); });
    std::atomic<bool> stop{false};
    std::vector<std::thread> apps;
    for (int i = 0; i < kContAppCnt; ++i) {
        apps.emplace_back([&, i] { cont_writer(r.fds[i], kContApps[i], stop, r.written[i]); });
    }
    sleep(static_cast<unsigned>(aicSeconds));
    r.stopNs = real_ns();
    stop = true;
    for (std::thread& t : apps) {
        t.join();
    }
    long writtenAll = 0;
    for (const std::atomic<long>& w : r.written) {
        writtenAll += w.load();
    }
    const uint64_t drainEnd = now_ns() + 5000000000ull;
    while (!r.settled && now_ns() < drainEnd) {
        usleep(20 * 1000);
        const tV2XCoreStats st = core_stats();
        r.settled = st.txQueued == 0 &&
                    st.appMsgsIn - r.st0.appMsgsIn == static_cast<uint64_t>(writtenAll);
    }
    for (const tV2XCtlClient& c : query_clients(r.s.cfg.dmnNme)) {
        for (int i = 0; i < kContAppCnt; ++i) {
            if (c.connId == r.connIds[i]) {
                r.recs[i] = c;
                r.listed[i] = true;
            }
        }
    }
    usleep(100 * 1000);  // the last datagram's way to the radio thread
    radioStop = true;
    radio.join();
    r.st1 = core_stats();
}

// Per application: ages, share of the air before the stop, requests older
// than their lifetime, sequence numbers out of order; and the gaps.
struct ContTally {
    std::vector<double> ageMs[kContAppCnt];
    long onAir[kContAppCnt] = {}, tooOld[kContAppCnt] = {}, disorder[kContAppCnt] = {};
    long tooOldW[kContAppCnt] = {};  // counted from the write: the call's return
    long atRadio[kContAppCnt] = {};
    long inRun = 0;
    double minGapMs = 1e9;
    long gapsUnder = 0;
};

void cont_tally(const ContRun& r, ContTally& t)
{
    int64_t lastSeq[kContAppCnt] = {-1, -1, -1};
    for (size_t k = 0; k < r.seen.size(); ++k) {
        const ContSeen& c = r.seen[k];
        if (k > 0) {
            const double g =
                (static_cast<double>(c.atNs) - static_cast<double>(r.seen[k - 1].atNs)) / 1e6;
            t.minGapMs = std::min(t.minGapMs, g);
            t.gapsUnder += g < 70.0 ? 1 : 0;
        }
        t.inRun += c.atNs < r.stopNs ? 1 : 0;
        if (c.app < 0) {
            continue;
        }
        const double at = static_cast<double>(c.atNs);
        const double age = (at - static_cast<double>(c.callNs)) / 1e6;
        const double ageW = (at - static_cast<double>(c.writeNs)) / 1e6;
        t.ageMs[c.app].push_back(age);
        ++t.atRadio[c.app];
        t.onAir[c.app] += c.atNs < r.stopNs ? 1 : 0;
        t.tooOld[c.app] += age > kContApps[c.app].lifetimeMs ? 1 : 0;
        t.tooOldW[c.app] += ageW > kContApps[c.app].lifetimeMs ? 1 : 0;
        t.disorder[c.app] += static_cast<int64_t>(c.seq) <= lastSeq[c.app] ? 1 : 0;
        lastSeq[c.app] = c.seq;
    }
    for (std::vector<double>& v : t.ageMs) {
        std::sort(v.begin(), v.end());
    }
}

// One row per application; whether each request of every one was read and
// then sent (seen at the radio, in order) or dropped for a counted reason.
bool cont_print_apps(const ContRun& r, const ContTally& t, int aicSeconds)
{
    printf("sharing the radio: %d applications on their own connections, %d s, %u data bytes "
           "per request, V2X_DSM_REQ_EX\n",
           kContAppCnt, aicSeconds, kContData);
    printf("%-3s %4s %6s %8s %8s %6s %7s %8s %8s %8s %7s %7s %7s %7s\n", "app", "prio", "rate",
           "lifetime", "written", "radio", "share", "p50ms", "p99ms", "maxms", "expired",
           "supersd", "tooOld", "tooOldW");
    bool accounted = r.settled && r.foreign == 0;
    for (int i = 0; i < kContAppCnt; ++i) {
        const ContApp& a = kContApps[i];
        const std::vector<double>& age = t.ageMs[i];
        char rate[16] = "flood";
        if (a.periodNs > 0) {
            snprintf(rate, sizeof(rate), "%ld/s", 1000000000 / a.periodNs);
        }
        const tV2XCtlClient& c = r.recs[i];
        printf("%-3c %4u %6s %5u ms %8ld %6ld %6.1f%% %8.1f %8.1f %8.1f %7llu %7llu %7ld %7ld\n",
               a.tag, a.prio, rate, a.lifetimeMs, r.written[i].load(), t.atRadio[i],
               t.inRun > 0 ? 100.0 * t.onAir[i] / t.inRun : 0.0, pct_of(age, 0.50),
               pct_of(age, 0.99), age.empty() ? 0.0 : age.back(),
               static_cast<unsigned long long>(c.txExpired),
               static_cast<unsigned long long>(c.txSuperseded), t.tooOld[i], t.tooOldW[i]);
        accounted = accounted && r.listed[i] &&
                    c.msgsIn == static_cast<uint64_t>(r.written[i].load()) &&
                    c.txSent == static_cast<uint64_t>(t.atRadio[i]) &&
                    c.msgsIn == c.txSent + c.txExpired + c.txSuperseded && c.refusedLen == 0 &&
                    c.refusedValue == 0 && t.disorder[i] == 0;
    }
    return accounted;
}

// The core's counters over the run and the gaps; then one line per target.
// Whether every target was met.
bool cont_print_checks(const ContRun& r, const ContTally& t, int aicSeconds, bool aicAccounted)
{
    const tV2XCoreStats& a = r.st0;
    const tV2XCoreStats& b = r.st1;
    printf("share: of the %ld datagrams before the writers stopped (%.2f/s); ages from the call "
           "to the kernel's arrival stamp; tooOld: older than the lifetime from the call, tooOldW: "
           "from the write (the call's return)\n",
           t.inRun, t.inRun / static_cast<double>(aicSeconds));
    printf("core: datagrams %llu  expired %llu  superseded %llu  full-refused %llu  held back "
           "%llu  dropped at exit %llu\n",
           static_cast<unsigned long long>(b.txDatagrams - a.txDatagrams),
           static_cast<unsigned long long>(b.txExpired - a.txExpired),
           static_cast<unsigned long long>(b.txSuperseded - a.txSuperseded),
           static_cast<unsigned long long>(b.txFullRefused - a.txFullRefused),
           static_cast<unsigned long long>(b.txHeldBack - a.txHeldBack),
           static_cast<unsigned long long>(b.txDroppedAtExit - a.txDroppedAtExit));
    const double minGap = r.seen.size() > 1 ? t.minGapMs : 0.0;
    printf("gaps: %zu datagrams, smallest gap %.3f ms, under 70.0 ms %ld\n", r.seen.size(), minGap,
           t.gapsUnder);
    long tooOldAll = 0;
    for (long n : t.tooOld) {
        tooOldAll += n;
    }
    const std::vector<double>& ageA = t.ageMs[0];
    const double p99A = pct_of(ageA, 0.99), maxA = ageA.empty() ? 0 : ageA.back();
    const double p99B = pct_of(t.ageMs[1], 0.99);
    const bool ok[] = {!ageA.empty() && p99A <= 75.0 && maxA < 140.0,
                       !t.ageMs[1].empty() && p99B < 150.0, tooOldAll == 0,
                       r.seen.size() > 1 && t.gapsUnder == 0, aicAccounted};
    printf("%s priority 7: p99 %.1f ms <= 75 ms, max %.1f ms < 140 ms\n", ok[0] ? "PASS" : "FAIL",
           p99A, maxA);
    printf("%s priority 5: p99 %.1f ms < 150 ms\n", ok[1] ? "PASS" : "FAIL", p99B);
    printf("%s no datagram older than its lifetime: %ld\n", ok[2] ? "PASS" : "FAIL", tooOldAll);
    printf("%s no gap under 70.0 ms: smallest %.3f ms\n", ok[3] ? "PASS" : "FAIL", minGap);
    printf("%s every request read and then sent in order or dropped for a counted reason%s\n",
           ok[4] ? "PASS" : "FAIL", r.settled ? "" : " (the queue did not drain within 5 s)");
    return std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; });
}

int run_contention(int aicSeconds)
{
    ContRun r;
    if (!cont_start(r)) {
        return 1;
    }
    cont_drive(r, aicSeconds);
    ContTally t;
    cont_tally(r, t);
    const bool accounted = cont_print_apps(r, t, aicSeconds);
    return cont_print_checks(r, t, aicSeconds, accounted) ? 0 : 1;
}

size_t heap_used()
{
    return mallinfo2().uordblks;
}

// Waits until the heap in use stops changing: the core has accepted and
// set up every connection. The figure, after at least aicMinMs.
size_t heap_settled(int aicMinMs)
{
    usleep(static_cast<useconds_t>(aicMinMs) * 1000);
    size_t last = heap_used();
    for (int i = 0; i < 50; ++i) {
        usleep(100 * 1000);
        const size_t now = heap_used();
        if (now == last) {
            return now;
        }
        last = now;
    }
    return last;
}

// Slab memory of the whole machine in kB, -1 when unknown.
long slab_kb()
{
    FILE* f = fopen("/proc/meminfo", "r");
    if (f == nullptr) {
        return -1;
    }
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (sscanf(line, "Slab: %ld kB", &kb) == 1) {
            break;
        }
    }
    fclose(f);
    return kb;
}

int run_conn_mem(int aicN)
{
    // One arena: the core thread's allocations then show in mallinfo2 with
    // the rest.
    mallopt(M_ARENA_MAX, 1);
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    Stack s = stack_cfg();
    v2x_sdk_dmn_serv_set_max_clit(aicN + 10);
    if (v2x_core_init(&s.cfg) != 0) {
        fprintf(stderr, "v2x_core_init failed\n");
        return 1;
    }
    std::vector<int> fds;
    fds.reserve(static_cast<size_t>(aicN) + 1);
    fds.push_back(connect_raw(s.cfg.dmnNme, 0));  // warm-up
    if (fds.back() < 0) {
        fprintf(stderr, "cannot connect to %s\n", s.cfg.dmnNme);
        return 1;
    }
    const size_t before = heap_settled(200);
    const long slab0 = slab_kb();
    for (int i = 0; i < aicN; ++i) {
        const int fd = connect_raw(s.cfg.dmnNme, 0);
        if (fd < 0) {
            fprintf(stderr, "connection %d failed\n", i);
            break;
        }
        fds.push_back(fd);
    }
    const size_t after = heap_settled(500);
    const long slab1 = slab_kb();
    const long opened = static_cast<long>(fds.size()) - 1;
    printf("idle connections: %ld (after one warm-up connection)\n", opened);
    printf("core heap per connection: %.0f bytes (mallinfo2 uordblks %zu -> %zu; target under "
           "8192)\n",
           opened > 0 ? (static_cast<double>(after) - static_cast<double>(before)) / opened : 0.0,
           before, after);
    if (slab0 >= 0 && slab1 >= 0 && opened > 0) {
        printf("kernel slab per connection, both ends, whole machine (noisy): %.0f bytes\n",
               (slab1 - slab0) * 1024.0 / opened);
    }
    for (int fd : fds) {
        close(fd);
    }
    v2x_core_exit();
    close(s.radioFd);
    unlink(s.cfg.dmnNme);
    return 0;
}

// ---- Start-up latency ------------------------------------------------------

constexpr uint64_t kStartDeadlineNs = 5000000000ull;  // per cycle, then a failure

// What the callbacks of one start-up cycle saw: monotonic times, 0 until then.
struct StartProbe {
    std::atomic<uint64_t> indAt{0};
    std::atomic<uint64_t> cfmAt{0};
    std::atomic<int> cfmRet{-1};
    sem_t ind;  // posted by the first indication of the cycle
    sem_t cfm;  // posted by the confirm
};
StartProbe gStart;

int start_ind(uint8_t, const uint32_t aicAppId, uint16_t, const char*, const char*, uint8_t)
{
    uint64_t none = 0;
    if (aicAppId == kAid && gStart.indAt.compare_exchange_strong(none, now_ns())) {
        sem_post(&gStart.ind);
    }
    return 0;
}

int start_cfm(const uint32_t, eDMERetCd aicRet)
{
    gStart.cfmRet = static_cast<int>(aicRet);
    gStart.cfmAt = now_ns();
    sem_post(&gStart.cfm);
    return 0;
}

// Waits on aioSem until the monotonic time aicAtNs; true when it was posted.
bool sem_wait_until(sem_t* aioSem, uint64_t aicAtNs)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(aicAtNs / 1000000000u);
    ts.tv_nsec = static_cast<long>(aicAtNs % 1000000000u);
    for (;;) {
        if (sem_clockwait(aioSem, CLOCK_MONOTONIC, &ts) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

void sem_drain(sem_t* aioSem)
{
    while (sem_trywait(aioSem) == 0) {
    }
}

void print_ms_line(const char* aipcWhat, std::vector<double> aicMs)
{
    std::sort(aicMs.begin(), aicMs.end());
    if (aicMs.empty()) {
        printf("%-34s (none)\n", aipcWhat);
        return;
    }
    printf("%-34s median %8.2f ms  min %8.2f ms  max %8.2f ms\n", aipcWhat, median(aicMs),
           aicMs.front(), aicMs.back());
}

// cv2x_app_init to the first indication, aicN cycles, each with its own
// socket path, receive port and radio socket.
// What the start-up cycles measured.
struct StartTally {
    std::vector<double> indMs, initMs, cfmMs, frames;
    int failed = 0, rejected = 0, noCfm = 0;
};

// After the indication: the confirm, which normally came before it; it is
// only reported, so a short wait for a late one is enough.
void start_confirm(uint64_t t0, StartTally& t)
{
    if (gStart.cfmAt.load() == 0) {
        sem_wait_until(&gStart.cfm, now_ns() + 1000000000ull);
    }
    if (gStart.cfmAt.load() == 0) {
        ++t.noCfm;
        return;
    }
    t.cfmMs.push_back((gStart.cfmAt.load() - t0) / 1e6);
    if (gStart.cfmRet.load() != DME_RET_ACCEPT) {
        ++t.rejected;
    }
}

// One cycle: the runtime and its core start, the registration, frames from
// the radio every 1 ms until one is delivered, the stop.
void start_cycle(int c, const std::vector<char>& f, StartTally& t)
{
    Stack s = stack_cfg();
    snprintf(s.cfg.dmnNme, sizeof(s.cfg.dmnNme), "/tmp/v2x-bench-start-%d-%d",
             static_cast<int>(getpid()), c);
    unlink(s.cfg.dmnNme);
    gStart.indAt = 0;
    gStart.cfmAt = 0;
    gStart.cfmRet = -1;
    sem_drain(&gStart.ind);
    sem_drain(&gStart.cfm);
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.index = 0;
    r.action = DME_ACTION_ADD;
    r.appId = kAid;
    const struct sockaddr_in to = loopback(s.rcvPort);

    const uint64_t t0 = now_ns();
    int rc = cv2x_app_init(&s.cfg);
    const uint64_t tInit = now_ns();
    if (rc != 0) {
        printf("cycle %d: cv2x_app_init()=%d\n", c, rc);
        ++t.failed;
        close(s.radioFd);
        unlink(s.cfg.dmnNme);
        return;
    }
    rc = dme_dsm_serv_req(&r, start_cfm, start_ind);
    long sent = 0;
    bool got = false;
    if (rc != 0) {
        printf("cycle %d: dme_dsm_serv_req()=%d\n", c, rc);
    } else {
        // Frames the core receives before the registration reaches it
        // are dropped: one every millisecond until one is delivered.
        uint64_t next = now_ns();
        while (!got && now_ns() - t0 < kStartDeadlineNs) {
            sendto(s.radioFd, f.data(), f.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof(to));
            ++sent;
            next += 1000000;
            got = sem_wait_until(&gStart.ind, next);
        }
    }
    if (got) {
        t.indMs.push_back((gStart.indAt.load() - t0) / 1e6);
        t.initMs.push_back((tInit - t0) / 1e6);
        t.frames.push_back(static_cast<double>(sent));
        start_confirm(t0, t);
    } else {
        if (rc == 0) {
            printf("cycle %d: no indication within %.0f s (%ld frames sent)\n", c,
                   kStartDeadlineNs / 1e9, sent);
        }
        ++t.failed;
    }
    stop_stack(s);
}

int run_start(int aicN)
{
    sem_init(&gStart.ind, 0, 0);
    sem_init(&gStart.cfm, 0, 0);
    StartTally t;
    const std::vector<char> f = frame(16);
    for (int c = 0; c < aicN; ++c) {
        start_cycle(c, f, t);
    }
    printf("start-up to first indication: %d cycles of cv2x_app_init, registration of AID %u, "
           "one frame (16 data bytes) every 1 ms from the radio\n",
           aicN, kAid);
    print_ms_line("init call to indication:", t.indMs);
    print_ms_line("init call to its return:", t.initMs);
    print_ms_line("init call to the confirm:", t.cfmMs);
    std::sort(t.frames.begin(), t.frames.end());
    printf("frames sent per cycle: median %.0f, max %.0f\n", median(t.frames),
           t.frames.empty() ? 0.0 : t.frames.back());
    printf("cycles failed %d, confirms missing %d, confirms not accepting %d\n", t.failed,
           t.noCfm, t.rejected);
    printf("target: init call to indication under 100 ms\n");
    sem_destroy(&gStart.ind);
    sem_destroy(&gStart.cfm);
    return t.failed == 0 ? 0 : 1;
}

// v2x_system_init to its first write that returns the data length, aicN
// cycles, inside a network namespace of this process's own.
// What the system API's cycles measured.
struct SysTally {
    std::vector<double> writeMs, radioMs;
    int failed = 0, notAtRadio = 0, wrong = 0;
    long refusedWrites = 0;
};

// One cycle: v2x_system_init, writes until one is taken, the datagram at
// the radio, v2x_system_exit.
void sys_cycle(int c, int aicRadio, const char (&data)[16], const tDSMTxParm& tx, SysTally& t)
{
    const uint64_t t0 = now_ns();
    const int rc = v2x_system_init();
    if (rc != 0) {
        printf("cycle %d: v2x_system_init()=%d\n", c, rc);
        ++t.failed;
        v2x_system_exit();
        return;
    }
    int w = -1;
    for (;;) {
        w = v2x_system_write(data, static_cast<int>(sizeof(data)), &tx);
        if (w == static_cast<int>(sizeof(data)) || now_ns() - t0 > kStartDeadlineNs) {
            break;
        }
        ++t.refusedWrites;
        usleep(1000);
    }
    const uint64_t tWrite = now_ns();
    if (w != static_cast<int>(sizeof(data))) {
        printf("cycle %d: v2x_system_write()=%d until the deadline\n", c, w);
        ++t.failed;
        v2x_system_exit();
        return;
    }
    t.writeMs.push_back((tWrite - t0) / 1e6);
    // For information, and as a check: the datagram at the radio.
    struct pollfd p = {aicRadio, POLLIN, 0};
    if (poll(&p, 1, 2000) == 1) {
        unsigned char d[4096];
        const ssize_t n = recv(aicRadio, d, sizeof(d), 0);
        const uint64_t tRadio = now_ns();
        const unsigned char* got = nullptr;
        size_t len = 0;
        if (n > 0 && dsmp_data(d, static_cast<size_t>(n), &got, &len) && len == sizeof(data) &&
            memcmp(got, data, len) == 0) {
            t.radioMs.push_back((tRadio - t0) / 1e6);
        } else {
            ++t.wrong;
        }
    } else {
        ++t.notAtRadio;
    }
    v2x_system_exit();
}

int run_sys_start(int aicN)
{
    if (geteuid() != 0) {
        printf("sys-start: SKIPPED: the default addresses exist only in a network namespace "
               "of the bench's own, and creating one needs root\n");
        return 0;
    }
    const std::string why = v2xtest::enter_sys_netns();
    if (!why.empty()) {
        printf("sys-start: SKIPPED: no network namespace: %s\n", why.c_str());
        return 1;
    }
    // Plays the radio module at its default address, inside the namespace.
    const int radio = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in ra;
    memset(&ra, 0, sizeof(ra));
    ra.sin_family = AF_INET;
    ra.sin_port = htons(V2X_SYS_DEF_SEND_PORT);
    inet_pton(AF_INET, V2X_SYS_DEF_SEND_IP, &ra.sin_addr);
    if (radio < 0 || bind(radio, reinterpret_cast<sockaddr*>(&ra), sizeof(ra)) != 0) {
        perror("radio socket");
        return 1;
    }
    SysTally t;
    char data[16];
    memset(data, 0x5A, sizeof(data));
    tDSMTxParm tx;
    memset(&tx, 0, sizeof(tx));
    tx.appId = kAid;
    tx.protTp = PROT_TP_DSMP;
    memset(tx.peerMac, 0xFF, 6);
    for (int c = 0; c < aicN; ++c) {
        sys_cycle(c, radio, data, tx, t);
    }
    close(radio);
    printf("system API start-up to first write: %d cycles of v2x_system_init, one %zu-byte "
           "v2x_system_write (own network namespace)\n",
           aicN, sizeof(data));
    print_ms_line("init call to write returning 16:", t.writeMs);
    print_ms_line("init call to datagram at radio:", t.radioMs);
    printf("cycles failed %d, writes refused before the first success %ld, datagrams missing "
           "%d, datagrams wrong %d\n",
           t.failed, t.refusedWrites, t.notAtRadio, t.wrong);
    printf("target: init call to write returning under 100 ms\n");
    return t.failed == 0 && t.notAtRadio == 0 && t.wrong == 0 ? 0 : 1;
}

// The benchmarks by their mode word. The argument counts when it is at
// least `least`; otherwise `dflt` is taken, or, where that is 0, the
// argument is required.
struct Mode {
    const char* name;
    long dflt;
    long least;
    int (*run)(long aicArg);
};
const Mode kModes[] = {
    {"rx", 5, 1, [](long n) { return run_rx(static_cast<int>(n)); }},
    {"pace", 100, 2, [](long n) { return run_pace(static_cast<int>(n)); }},
    {"rxload", 20, 1, [](long n) { return run_rxload(static_cast<int>(n)); }},
    {"age", 200, 1, [](long n) { return run_age(static_cast<int>(n)); }},
    {"contention", 20, 1, [](long n) { return run_contention(static_cast<int>(n)); }},
    {"stop", 300, 1, run_stop},
    {"conn-mem", 200, 1, [](long n) { return run_conn_mem(static_cast<int>(n)); }},
    {"start", 20, 1, [](long n) { return run_start(static_cast<int>(n)); }},
    {"sys-start", 20, 1, [](long n) { return run_sys_start(static_cast<int>(n)); }},
    {"count-rx", 0, 1, run_count_rx},
    {"count-rx-rec", 0, 1, run_count_rx_rec},
    {"count-rx-info", 0, 1, run_count_rx_info},
    {"count-tx", 0, 1, run_count_tx},
    {"verify", 5, 1, [](long n) { return run_sec_verify(static_cast<int>(n)); }},
    {"sign", 100, 1, [](long n) { return run_sec_sign(static_cast<int>(n)); }},
};

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const long arg = argc > 2 ? atol(argv[2]) : 0;
    for (const Mode& m : kModes) {
        if (mode == m.name && (arg >= m.least || m.dflt != 0)) {
            return m.run(arg >= m.least ? arg : m.dflt);
        }
    }
    if (mode == "air") {
        return run_air(argc, argv);
    }
    fprintf(stderr,
            "usage: v2x-bench rx [BLOCKS] | pace [GAPS] | rxload [SECONDS] | age [N] |"
            " contention [SECONDS] | stop [N] | conn-mem [N] | start [N] | sys-start [N] |"
            " count-rx N | count-rx-rec N |"
            " count-rx-info N | count-tx N | verify [BLOCKS] | sign [N] |"
            " air N SECONDS BASEPORT [BOUND_MS]\n");
    return 2;
}
