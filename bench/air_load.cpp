// SPDX-License-Identifier: Apache-2.0
// v2x-bench air: plays N stations against a running radio-sim, each sending
// one BSM-kind frame every 100 ms (10 Hz, the phases spread evenly), and
// measures every delivery: how many, how late. Run by scripts/bench-stations,
// which starts radio-sim and reads its CPU time (docs/PERFORMANCE.md).
//
//   v2x-bench air N SECONDS BASEPORT [BOUND_MS]
//
// Station i sends to 127.0.0.1:BASEPORT+2i (radio-sim listens there) and
// receives on 127.0.0.1:BASEPORT+2i+1. A delivery is late when it arrives
// more than BOUND_MS (default 13: the model's 2 ms + 1 ms jitter, then
// 10 ms) after it was sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr size_t kFrameLen = 200;  // a BSM-sized datagram
constexpr int64_t kPeriodNs = 100 * 1000 * 1000;
constexpr size_t kLatBins = 20000;  // 0.05 ms each, up to 1 s
constexpr int64_t kBinNs = 50 * 1000;

int64_t mono_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_until(int64_t at)
{
    struct timespec ts = {static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    return sa;
}

double cpu_seconds()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double percentile(const std::vector<uint64_t>& hist, uint64_t total, double q)
{
    if (total == 0) {
        return 0.0;
    }
    const uint64_t want = static_cast<uint64_t>(q * static_cast<double>(total));
    uint64_t seen = 0;
    for (size_t k = 0; k < hist.size(); ++k) {
        seen += hist[k];
        if (seen > want) {
            return static_cast<double>(k + 1) * kBinNs / 1e6;
        }
    }
    return static_cast<double>(hist.size()) * kBinNs / 1e6;
}

// What the command line asks for.
struct AirArgs {
    int n = 0;
    double seconds = 0.0;
    int base = 0;
    double boundMs = 13.0;
};

// The stations' sockets: one to send from, one per station to receive on,
// all of those in one epoll set (a station's index is its event's tag).
struct AirSockets {
    int tx = -1;
    int ep = -1;
    std::vector<int> rx;
    std::vector<sockaddr_in> dst;  // where station i sends: radio-sim's socket for it

    ~AirSockets()
    {
        for (int fd : rx) {
            if (fd >= 0) {
                close(fd);
            }
        }
        for (int fd : {tx, ep}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
};

// What the receiver counted: deliveries, the late ones, a station's own
// frames back, and the latencies.
struct AirTally {
    std::vector<uint64_t> hist = std::vector<uint64_t>(kLatBins, 0);
    uint64_t got = 0;
    uint64_t late = 0;
    uint64_t self = 0;
    int64_t maxLat = 0;
};

// False after a line on stderr.
bool open_sockets(const AirArgs& a, AirSockets& s)
{
    s.tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    s.ep = epoll_create1(EPOLL_CLOEXEC);
    s.rx.assign(static_cast<size_t>(a.n), -1);
    for (int i = 0; i < a.n; ++i) {
        s.rx[i] = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa = loopback(static_cast<uint16_t>(a.base + 2 * i + 1));
        if (s.rx[i] < 0 || bind(s.rx[i], reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
            fprintf(stderr, "v2x-bench air: cannot bind 127.0.0.1:%d: %s\n", a.base + 2 * i + 1,
                    strerror(errno));
            return false;
        }
        epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(s.ep, EPOLL_CTL_ADD, s.rx[i], &ev);
        s.dst.push_back(loopback(static_cast<uint16_t>(a.base + 2 * i)));
    }
    return true;
}

// The receiver's thread: every delivery until aicStop, with its latency
// from the send time the frame carries.
void receive_all(const AirSockets& s, double boundMs, const std::atomic<bool>& aicStop,
                 AirTally& t)
{
    constexpr int kBatch = 32;
    uint8_t bufs[kBatch][kFrameLen + 16];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];
    for (int k = 0; k < kBatch; ++k) {
        iov[k] = {bufs[k], sizeof(bufs[k])};
        memset(&msgs[k], 0, sizeof(msgs[k]));
        msgs[k].msg_hdr.msg_iov = &iov[k];
        msgs[k].msg_hdr.msg_iovlen = 1;
    }
    epoll_event evs[64];
    const int64_t boundNs = static_cast<int64_t>(boundMs * 1e6);
    while (!aicStop.load(std::memory_order_relaxed)) {
        const int r = epoll_wait(s.ep, evs, 64, 50);
        for (int e = 0; e < r; ++e) {
            const int me = static_cast<int>(evs[e].data.u32);
            int m;
            while ((m = recvmmsg(s.rx[me], msgs, kBatch, MSG_DONTWAIT, nullptr)) > 0) {
                const int64_t now = mono_ns();
                for (int k = 0; k < m; ++k) {
                    if (msgs[k].msg_len < 20) {
                        continue;
                    }
                    uint16_t from;
                    int64_t sent;
                    memcpy(&from, bufs[k] + 5, 2);
                    memcpy(&sent, bufs[k] + 11, 8);
                    t.self += from == me ? 1 : 0;
                    const int64_t lat = now - sent;
                    ++t.got;
                    t.late += lat > boundNs ? 1 : 0;
                    t.maxLat = std::max(t.maxLat, lat);
                    const size_t bin = static_cast<size_t>(std::max<int64_t>(lat, 0) / kBinNs);
                    ++t.hist[std::min(bin, kLatBins - 1)];
                }
            }
        }
    }
}

// Each station's frame every 100 ms, the phases spread evenly: the frames
// sent, and in *aopBehind those sent over 1 ms behind their schedule.
uint64_t send_rounds(const AirArgs& a, const AirSockets& s, int64_t start, int64_t rounds,
                     uint64_t* aopBehind)
{
    uint8_t frame[kFrameLen];
    memset(frame, 0xA5, sizeof(frame));
    // Protocol type 4, DSMP header 0, AID 26 (BSM), length, then the data.
    frame[0] = 0x04;
    frame[1] = 0x00;
    frame[2] = 26;
    frame[3] = 0;
    frame[4] = static_cast<uint8_t>(kFrameLen - 5);
    uint64_t sent = 0;
    for (int64_t round = 0; round < rounds; ++round) {
        for (int i = 0; i < a.n; ++i) {
            const int64_t at = start + round * kPeriodNs + kPeriodNs * i / a.n;
            sleep_until(at);
            const int64_t now = mono_ns();
            if (now - at > 1000000) {
                ++*aopBehind;  // the generator itself fell behind by over 1 ms
            }
            const uint16_t me = static_cast<uint16_t>(i);
            const uint32_t seq = static_cast<uint32_t>(round);
            memcpy(frame + 5, &me, 2);
            memcpy(frame + 7, &seq, 4);
            memcpy(frame + 11, &now, 8);
            if (sendto(s.tx, frame, sizeof(frame), 0, reinterpret_cast<const sockaddr*>(&s.dst[i]),
                       sizeof(s.dst[i])) == static_cast<ssize_t>(sizeof(frame))) {
                ++sent;
            }
        }
    }
    return sent;
}

void print_air(const AirArgs& a, const AirTally& t, uint64_t sent, uint64_t behind, double wall,
               double cpu)
{
    const uint64_t expected = sent * static_cast<uint64_t>(a.n - 1);
    printf("stations %d  seconds %.0f  frames sent %llu (%.0f/s)  deliveries %llu of %llu "
           "(%.2f%%, %.0f/s)\n",
           a.n, wall, static_cast<unsigned long long>(sent), static_cast<double>(sent) / wall,
           static_cast<unsigned long long>(t.got), static_cast<unsigned long long>(expected),
           expected == 0 ? 0.0 : 100.0 * static_cast<double>(t.got) / static_cast<double>(expected),
           static_cast<double>(t.got) / wall);
    printf("latency ms: p50 %.2f  p99 %.2f  p99.9 %.2f  max %.2f  late (> %.1f ms) %llu = "
           "%.3f%%\n",
           percentile(t.hist, t.got, 0.5), percentile(t.hist, t.got, 0.99),
           percentile(t.hist, t.got, 0.999), static_cast<double>(t.maxLat) / 1e6, a.boundMs,
           static_cast<unsigned long long>(t.late),
           t.got == 0 ? 0.0 : 100.0 * static_cast<double>(t.late) / static_cast<double>(t.got));
    printf("generator: CPU %.2f s (%.0f%% of one core), sends behind schedule by > 1 ms: %llu, "
           "own frames back: %llu\n",
           cpu, 100.0 * cpu / wall, static_cast<unsigned long long>(behind),
           static_cast<unsigned long long>(t.self));
    // One line for scripts: N sent got expected late p99_ms
    printf("RESULT %d %llu %llu %llu %llu %.2f %.2f\n", a.n, static_cast<unsigned long long>(sent),
           static_cast<unsigned long long>(t.got), static_cast<unsigned long long>(expected),
           static_cast<unsigned long long>(t.late), percentile(t.hist, t.got, 0.99), cpu);
}

}  // namespace

int run_air(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: v2x-bench air N SECONDS BASEPORT [BOUND_MS]\n");
        return 2;
    }
    AirArgs a;
    a.n = atoi(argv[2]);
    a.seconds = atof(argv[3]);
    a.base = atoi(argv[4]);
    a.boundMs = argc > 5 ? atof(argv[5]) : 13.0;
    if (a.n < 2 || a.n > 1000 || a.seconds <= 0.0 || a.base < 1024 || a.base + 2 * a.n > 65535) {
        fprintf(stderr, "v2x-bench air: bad arguments\n");
        return 2;
    }
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    AirSockets s;
    if (!open_sockets(a, s)) {
        return 1;
    }
    std::atomic<bool> stop(false);
    AirTally t;
    std::thread receiver([&]() { receive_all(s, a.boundMs, stop, t); });
    const double cpu0 = cpu_seconds();
    const int64_t start = mono_ns() + 200 * 1000 * 1000;
    const int64_t rounds = static_cast<int64_t>(a.seconds * 1e9 / kPeriodNs);
    uint64_t behind = 0;
    const uint64_t sent = send_rounds(a, s, start, rounds, &behind);
    sleep_until(mono_ns() + 500 * 1000 * 1000);
    stop = true;
    receiver.join();
    const double cpu = cpu_seconds() - cpu0;
    print_air(a, t, sent, behind, static_cast<double>(rounds) * kPeriodNs / 1e9, cpu);
    return 0;
}
