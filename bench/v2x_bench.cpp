// Benchmarks of the station stack (see docs/PERFORMANCE.md).
//
//   v2x-bench rx [BLOCKS]   receive path against a bare relay: frames from a
//                           UDP sender on loopback to an application callback;
//                           throughput at saturation and latency percentiles
//                           at 1000 frames/s, for 50, 300 and 1200-byte
//                           payloads, stack and relay in alternating blocks
//   v2x-bench pace [GAPS]   gaps between datagrams at the radio under a
//                           saturating application sender
//   v2x-bench count-rx N    N received frames one at a time (for callgrind)
//   v2x-bench count-tx N    N sent messages one at a time (for callgrind)
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
#include <netinet/in.h>
#include <poll.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cv2x_app.h"
#include "self_log.h"

// This program hosts the libraries: it defines their log level.
eLogLevl gLogLevl = LOG_LEV_OFF;

namespace {

constexpr uint32_t kAid = 32;
constexpr int kWindow = 32;           // frames in flight at saturation
constexpr int kThroughputFrames = 20000;
constexpr int kLatencyFrames = 2000;  // at 1000 per second

uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// What both receivers report to: a count, and the latency of each frame
// taken from the send time the frame carries.
struct Sink {
    std::atomic<long> got{0};
    std::vector<uint32_t> latUs;  // sized before a run; one slot per frame
    std::atomic<bool> recordLat{false};
    sem_t* each = nullptr;        // posted per frame in the counting modes
};
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

// The station under test, started once.
struct Stack {
    tV2XSDKCfg cfg;
    int radioFd = -1;  // plays the radio module: where the core sends
    uint16_t rcvPort = 0;
};

Stack start_stack()
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
    if (cv2x_app_init(&s.cfg) != 0) {
        fprintf(stderr, "cv2x_app_init failed\n");
        exit(1);
    }
    tDMEDSMServReq r;
    memset(&r, 0, sizeof(r));
    r.action = DME_ACTION_ADD;
    r.appId = kAid;
    if (dme_dsm_serv_req(&r, nullptr, stack_ind) != 0) {
        fprintf(stderr, "dme_dsm_serv_req failed\n");
        exit(1);
    }
    usleep(200 * 1000);
    return s;
}

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
        next.tv_nsec += 1000000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
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
    cv2x_app_exit();
    close(s.radioFd);
    unlink(s.cfg.dmnNme);
    return 0;
}

// Sends DSM requests as fast as the library takes them until stopped.
void saturate(std::atomic<bool>& aioStop)
{
    std::vector<char> buf(sizeof(tDSMReq) + 100, 0);
    auto* r = reinterpret_cast<tDSMReq*>(buf.data());
    r->appId = kAid;
    r->protTp = PROT_TP_DSMP;
    memset(r->peerMac, 0xFF, 6);
    r->msgLen = 100;
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
        char ctl[256];
        struct iovec iov = {data, sizeof(data)};
        struct msghdr mh;
        memset(&mh, 0, sizeof(mh));
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = ctl;
        mh.msg_controllen = sizeof(ctl);
        if (recvmsg(s.radioFd, &mh, 0) <= 0) {
            continue;
        }
        uint64_t t = 0;
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                struct timespec ts;
                memcpy(&ts, CMSG_DATA(c), sizeof(ts));
                t = static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
            }
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
    cv2x_app_exit();
    close(s.radioFd);
    unlink(s.cfg.dmnNme);
    return 0;
}

// One frame at a time through the stack, for instruction counts.
int run_count_rx(long aicN)
{
    Stack s = start_stack();
    sem_t each;
    sem_init(&each, 0, 0);
    gSink.each = &each;
    int tx = udp_socket(nullptr);
    std::vector<char> f = frame(300);
    const struct sockaddr_in to = loopback(s.rcvPort);
    for (long i = 0; i < aicN; ++i) {
        sendto(tx, f.data(), f.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        while (sem_wait(&each) != 0 && errno == EINTR) {
        }
    }
    gSink.each = nullptr;
    printf("received %ld\n", gSink.got.load());
    close(tx);
    cv2x_app_exit();
    close(s.radioFd);
    unlink(s.cfg.dmnNme);
    return 0;
}

// One message at a time from the application to the radio.
int run_count_tx(long aicN)
{
    Stack s = start_stack();
    std::vector<char> buf(sizeof(tDSMReq) + 300, 0);
    auto* r = reinterpret_cast<tDSMReq*>(buf.data());
    r->appId = 33;
    r->protTp = PROT_TP_DSMP;
    memset(r->peerMac, 0xFF, 6);
    r->msgLen = 300;
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
    cv2x_app_exit();
    close(s.radioFd);
    unlink(s.cfg.dmnNme);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const long arg = argc > 2 ? atol(argv[2]) : 0;
    if (mode == "rx") {
        return run_rx(arg > 0 ? static_cast<int>(arg) : 5);
    }
    if (mode == "pace") {
        return run_pace(arg > 1 ? static_cast<int>(arg) : 100);
    }
    if (mode == "count-rx" && arg > 0) {
        return run_count_rx(arg);
    }
    if (mode == "count-tx" && arg > 0) {
        return run_count_tx(arg);
    }
    fprintf(stderr, "usage: v2x-bench rx [BLOCKS] | pace [GAPS] | count-rx N | count-tx N\n");
    return 2;
}
