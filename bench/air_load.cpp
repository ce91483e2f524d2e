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

}  // namespace

int run_air(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: v2x-bench air N SECONDS BASEPORT [BOUND_MS]\n");
        return 2;
    }
    const int n = atoi(argv[2]);
    const double seconds = atof(argv[3]);
    const int base = atoi(argv[4]);
    const double boundMs = argc > 5 ? atof(argv[5]) : 13.0;
    if (n < 2 || n > 1000 || seconds <= 0.0 || base < 1024 || base + 2 * n > 65535) {
        fprintf(stderr, "v2x-bench air: bad arguments\n");
        return 2;
    }
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    const int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> rx(static_cast<size_t>(n), -1);
    for (int i = 0; i < n; ++i) {
        rx[i] = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa = loopback(static_cast<uint16_t>(base + 2 * i + 1));
        if (rx[i] < 0 || bind(rx[i], reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
            fprintf(stderr, "v2x-bench air: cannot bind 127.0.0.1:%d: %s\n", base + 2 * i + 1,
                    strerror(errno));
            return 1;
        }
        epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, rx[i], &ev);
    }
    std::vector<sockaddr_in> dst;
    for (int i = 0; i < n; ++i) {
        dst.push_back(loopback(static_cast<uint16_t>(base + 2 * i)));
    }

    std::atomic<bool> stop(false);
    std::vector<uint64_t> hist(kLatBins, 0);
    uint64_t got = 0;
    uint64_t late = 0;
    uint64_t self = 0;
    int64_t maxLat = 0;
    std::thread receiver([&]() {
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
        while (!stop.load(std::memory_order_relaxed)) {
            const int r = epoll_wait(ep, evs, 64, 50);
            for (int e = 0; e < r; ++e) {
                const int me = static_cast<int>(evs[e].data.u32);
                int m;
                while ((m = recvmmsg(rx[me], msgs, kBatch, MSG_DONTWAIT, nullptr)) > 0) {
                    const int64_t now = mono_ns();
                    for (int k = 0; k < m; ++k) {
                        if (msgs[k].msg_len < 20) {
                            continue;
                        }
                        uint16_t from;
                        int64_t sent;
                        memcpy(&from, bufs[k] + 5, 2);
                        memcpy(&sent, bufs[k] + 11, 8);
                        if (from == me) {
                            ++self;
                        }
                        const int64_t lat = now - sent;
                        ++got;
                        if (lat > boundNs) {
                            ++late;
                        }
                        maxLat = std::max(maxLat, lat);
                        const size_t bin = static_cast<size_t>(std::max<int64_t>(lat, 0) / kBinNs);
                        ++hist[std::min(bin, kLatBins - 1)];
                    }
                }
            }
        }
    });

    const double cpu0 = cpu_seconds();
    const int64_t start = mono_ns() + 200 * 1000 * 1000;
    const int64_t rounds = static_cast<int64_t>(seconds * 1e9 / kPeriodNs);
    uint8_t frame[kFrameLen];
    memset(frame, 0xA5, sizeof(frame));
    // Protocol type 4, DSMP header 0, AID 26 (BSM), length, then the data.
    frame[0] = 0x04;
    frame[1] = 0x00;
    frame[2] = 26;
    frame[3] = 0;
    frame[4] = static_cast<uint8_t>(kFrameLen - 5);
    uint64_t sent = 0;
    uint64_t sendLateMs = 0;
    for (int64_t round = 0; round < rounds; ++round) {
        for (int i = 0; i < n; ++i) {
            const int64_t at = start + round * kPeriodNs + kPeriodNs * i / n;
            sleep_until(at);
            const int64_t now = mono_ns();
            if (now - at > 1000000) {
                ++sendLateMs;  // the generator itself fell behind by over 1 ms
            }
            const uint16_t me = static_cast<uint16_t>(i);
            const uint32_t seq = static_cast<uint32_t>(round);
            memcpy(frame + 5, &me, 2);
            memcpy(frame + 7, &seq, 4);
            memcpy(frame + 11, &now, 8);
            if (sendto(tx, frame, sizeof(frame), 0, reinterpret_cast<const sockaddr*>(&dst[i]),
                       sizeof(dst[i])) == static_cast<ssize_t>(sizeof(frame))) {
                ++sent;
            }
        }
    }
    sleep_until(mono_ns() + 500 * 1000 * 1000);
    stop = true;
    receiver.join();
    const double cpu = cpu_seconds() - cpu0;
    const double wall = static_cast<double>(rounds) * kPeriodNs / 1e9;
    const uint64_t expected = sent * static_cast<uint64_t>(n - 1);
    printf("stations %d  seconds %.0f  frames sent %llu (%.0f/s)  deliveries %llu of %llu "
           "(%.2f%%, %.0f/s)\n",
           n, wall, static_cast<unsigned long long>(sent), static_cast<double>(sent) / wall,
           static_cast<unsigned long long>(got), static_cast<unsigned long long>(expected),
           expected == 0 ? 0.0 : 100.0 * static_cast<double>(got) / static_cast<double>(expected),
           static_cast<double>(got) / wall);
    printf("latency ms: p50 %.2f  p99 %.2f  p99.9 %.2f  max %.2f  late (> %.1f ms) %llu = "
           "%.3f%%\n",
           percentile(hist, got, 0.5), percentile(hist, got, 0.99), percentile(hist, got, 0.999),
           static_cast<double>(maxLat) / 1e6, boundMs, static_cast<unsigned long long>(late),
           got == 0 ? 0.0 : 100.0 * static_cast<double>(late) / static_cast<double>(got));
    printf("generator: CPU %.2f s (%.0f%% of one core), sends behind schedule by > 1 ms: %llu, "
           "own frames back: %llu\n",
           cpu, 100.0 * cpu / wall, static_cast<unsigned long long>(sendLateMs),
           static_cast<unsigned long long>(self));
    // One line for scripts: N sent got expected late p99_ms
    printf("RESULT %d %llu %llu %llu %llu %.2f %.2f\n", n, static_cast<unsigned long long>(sent),
           static_cast<unsigned long long>(got), static_cast<unsigned long long>(expected),
           static_cast<unsigned long long>(late), percentile(hist, got, 0.99), cpu);
    for (int fd : rx) {
        close(fd);
    }
    close(tx);
    close(ep);
    return 0;
}
