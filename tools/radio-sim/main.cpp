// SPDX-License-Identifier: Apache-2.0
// radio-sim: a stand-in for the C-V2X radio module of one or more stations on
// loopback, for tests and the demo.
//
// Each station sends its datagrams (protocol-type byte + DSMP frame) to its
// radio module at sendIp:sendPort and receives at rcvIp:rcvPort. The
// simulator binds one UDP socket per station at sendIp:sendPort: that socket
// is the station's radio module. A datagram arriving there went "over the
// air", so it is delivered unchanged to every other station (and back to the
// sender with --echo), each delivery sent from the receiving station's own
// module socket to its rcvIp:rcvPort. Only loopback addresses are accepted.
//
// One thread, one ppoll() loop, one static 65535-byte datagram buffer: no
// allocation per datagram. `radio-sim --help` documents the options.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "dsmp_peek.h"
#include "options.h"
#include "pcap_writer.h"

namespace {

using radiosim::AidPeek;
using radiosim::Endpoint;
using radiosim::Options;
using radiosim::PcapWriter;

constexpr int kExitRuntime = 1;
constexpr int kExitStartup = 2;
constexpr size_t kBufSize = 65535;
constexpr int kDrainPerWakeup = 64;  // datagrams read per socket before polling again

volatile sig_atomic_t gStopSignal = 0;

void on_stop_signal(int sig)
{
    gStopSignal = sig;
}

struct Station {
    char name[radiosim::kMaxNameLen + 1];
    Endpoint send;
    Endpoint rcv;
    struct sockaddr_in rcvAddr;
    int fd;
};

struct Sim {
    Station stations[radiosim::kMaxStations];
    struct pollfd pfds[radiosim::kMaxStations];
    size_t count = 0;
    bool echo = false;
    bool quiet = false;
    bool pcapUplink = false;
    PcapWriter pcap;
    unsigned long sendErrors = 0;
};

uint8_t gBuf[kBufSize];
// "to" column: every name plus a comma, bounded by the station limit.
char gToList[radiosim::kMaxStations * (radiosim::kMaxNameLen + 1) + 2];

struct sockaddr_in to_sockaddr(const Endpoint& ep)
{
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(ep.addr);
    sa.sin_port = htons(ep.port);
    return sa;
}

struct timespec now_realtime()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

double now_monotonic()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void close_all(Sim& sim)
{
    for (size_t i = 0; i < sim.count; ++i) {
        if (sim.stations[i].fd >= 0) {
            close(sim.stations[i].fd);
            sim.stations[i].fd = -1;
        }
    }
}

bool open_stations(Sim& sim, const Options& opt)
{
    sim.count = 0;
    for (const radiosim::StationCfg& cfg : opt.stations) {
        Station& st = sim.stations[sim.count];
        snprintf(st.name, sizeof(st.name), "%s", cfg.name.c_str());
        st.send = cfg.send;
        st.rcv = cfg.rcv;
        st.rcvAddr = to_sockaddr(cfg.rcv);
        st.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ++sim.count;
        if (st.fd < 0) {
            fprintf(stderr, "radio-sim: station %s: socket(): %s\n", st.name, strerror(errno));
            return false;
        }
        struct sockaddr_in sa = to_sockaddr(cfg.send);
        if (bind(st.fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) != 0) {
            fprintf(stderr, "radio-sim: station %s: cannot listen on %s: %s\n", st.name,
                    radiosim::endpoint_text(cfg.send).c_str(), strerror(errno));
            return false;
        }
        sim.pfds[sim.count - 1].fd = st.fd;
        sim.pfds[sim.count - 1].events = POLLIN;
        sim.pfds[sim.count - 1].revents = 0;
    }
    return true;
}

void print_frame(const Sim& sim, const struct timespec& when, const char* from, size_t len)
{
    if (sim.quiet) {
        return;
    }
    AidPeek peek = radiosim::peek_aid(gBuf, len);
    char aid[16];
    radiosim::format_aid(peek, aid, sizeof(aid));
    struct tm tmv;
    time_t secs = when.tv_sec;
    localtime_r(&secs, &tmv);
    printf("%02d:%02d:%02d.%06ld from=%s to=%s len=%zu aid=%s\n", tmv.tm_hour, tmv.tm_min,
           tmv.tm_sec, static_cast<long>(when.tv_nsec / 1000), from,
           gToList[0] != '\0' ? gToList : "-", len, aid);
}

void append_to_list(size_t& used, const char* name)
{
    const size_t room = sizeof(gToList) - used;
    int n = snprintf(gToList + used, room, "%s%s", used == 0 ? "" : ",", name);
    if (n > 0 && static_cast<size_t>(n) < room) {
        used += static_cast<size_t>(n);
    }
}

// Sends gBuf[0..len) to station `to` from its module socket; records it.
void deliver_one(Sim& sim, size_t to, size_t len, const struct timespec& when, size_t& used)
{
    Station& st = sim.stations[to];
    ssize_t n = sendto(st.fd, gBuf, len, 0, reinterpret_cast<const struct sockaddr*>(&st.rcvAddr),
                       sizeof(st.rcvAddr));
    if (n < 0 || static_cast<size_t>(n) != len) {
        ++sim.sendErrors;
        fprintf(stderr, "radio-sim: delivery of %zu bytes to station %s (%s) failed: %s\n", len,
                st.name, radiosim::endpoint_text(st.rcv).c_str(),
                n < 0 ? strerror(errno) : "short send");
        return;
    }
    append_to_list(used, st.name);
    if (sim.pcap.is_open() &&
        !sim.pcap.record(when, st.send.addr, st.send.port, st.rcv.addr, st.rcv.port, gBuf, len)) {
        fprintf(stderr, "radio-sim: cannot write the pcap file (%s); recording stops\n",
                strerror(errno));
    }
}

// A datagram of `len` bytes in gBuf arrived at station `from`'s module.
void forward(Sim& sim, size_t from, size_t len, const struct sockaddr_in& peer)
{
    const struct timespec when = now_realtime();
    if (sim.pcapUplink && sim.pcap.is_open()) {
        const Station& src = sim.stations[from];
        if (!sim.pcap.record(when, ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port),
                             src.send.addr, src.send.port, gBuf, len)) {
            fprintf(stderr, "radio-sim: cannot write the pcap file (%s); recording stops\n",
                    strerror(errno));
        }
    }
    size_t used = 0;
    gToList[0] = '\0';
    for (size_t i = 0; i < sim.count; ++i) {
        if (i != from || sim.echo) {
            deliver_one(sim, i, len, when, used);
        }
    }
    print_frame(sim, when, sim.stations[from].name, len);
}

void inject(Sim& sim, const radiosim::Injection& inj)
{
    const size_t len = inj.bytes.size();
    if (len > 0) {
        memcpy(gBuf, inj.bytes.data(), len);
    }
    const struct timespec when = now_realtime();
    size_t used = 0;
    gToList[0] = '\0';
    for (size_t i = 0; i < sim.count; ++i) {
        if (inj.to == radiosim::kToAll || static_cast<size_t>(inj.to) == i) {
            deliver_one(sim, i, len, when, used);
        }
    }
    print_frame(sim, when, "@inject", len);
}

// Reads what is pending on station `idx`'s socket. Returns false on a fatal
// socket error.
bool drain(Sim& sim, size_t idx)
{
    for (int k = 0; k < kDrainPerWakeup; ++k) {
        struct sockaddr_in peer;
        socklen_t peerLen = sizeof(peer);
        memset(&peer, 0, sizeof(peer));
        ssize_t n = recvfrom(sim.stations[idx].fd, gBuf, sizeof(gBuf), 0,
                             reinterpret_cast<struct sockaddr*>(&peer), &peerLen);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return true;
            }
            if (errno == ECONNREFUSED) {
                continue;  // a stale ICMP error; the socket is still good
            }
            fprintf(stderr, "radio-sim: station %s: recvfrom(): %s\n", sim.stations[idx].name,
                    strerror(errno));
            return false;
        }
        forward(sim, idx, static_cast<size_t>(n), peer);
    }
    return true;
}

void print_startup(const Sim& sim, const Options& opt)
{
    for (size_t i = 0; i < sim.count; ++i) {
        const Station& st = sim.stations[i];
        fprintf(stderr, "radio-sim: station %s: listens on %s, delivers to %s\n", st.name,
                radiosim::endpoint_text(st.send).c_str(), radiosim::endpoint_text(st.rcv).c_str());
    }
    if (!opt.pcapPath.empty()) {
        fprintf(stderr, "radio-sim: recording to %s (pcap, LINKTYPE_IPV4)\n",
                opt.pcapPath.c_str());
    }
    fprintf(stderr, "radio-sim: ready\n");
}

Sim gSim;

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    std::string err;
    if (!parse_options(argc, argv, opt, err)) {
        fprintf(stderr, "radio-sim: %s\n(radio-sim --help lists the options)\n", err.c_str());
        return kExitStartup;
    }
    if (opt.help) {
        fputs(radiosim::usage_text(), stdout);
        return 0;
    }
    if (opt.version) {
        printf("radio-sim (vestra) %s\n", V2X_VERSION);
        return 0;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // SIGINT and SIGTERM are blocked except inside ppoll(), so a stop request
    // is never lost between the flag test and the wait.
    sigset_t stopSet;
    sigset_t waitMask;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSet, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Sim& sim = gSim;
    sim.echo = opt.echo;
    sim.quiet = opt.quiet;
    sim.pcapUplink = opt.pcapUplink;
    for (size_t i = 0; i < radiosim::kMaxStations; ++i) {
        sim.stations[i].fd = -1;
    }
    if (!open_stations(sim, opt)) {
        close_all(sim);
        return kExitStartup;
    }
    if (!opt.pcapPath.empty() && !sim.pcap.open(opt.pcapPath, err)) {
        fprintf(stderr, "radio-sim: %s\n", err.c_str());
        close_all(sim);
        return kExitStartup;
    }
    print_startup(sim, opt);

    const double start = now_monotonic();
    const double injectAt = start + opt.injectDelay;
    const bool timed = opt.duration >= 0.0;
    const double deadline = start + (timed ? opt.duration : 0.0);
    bool injected = opt.injections.empty();
    int status = 0;

    while (gStopSignal == 0) {
        double now = now_monotonic();
        if (!injected && now >= injectAt) {
            for (const radiosim::Injection& inj : opt.injections) {
                inject(sim, inj);
            }
            injected = true;
        }
        if (timed && now >= deadline && injected) {
            break;
        }
        double wakeAt = -1.0;
        if (!injected) {
            wakeAt = injectAt;
        }
        if (timed && (wakeAt < 0.0 || deadline < wakeAt)) {
            wakeAt = deadline;
        }
        struct timespec ts;
        struct timespec* tsp = nullptr;
        if (wakeAt >= 0.0) {
            double left = wakeAt - now;
            if (left < 0.0) {
                left = 0.0;
            }
            ts.tv_sec = static_cast<time_t>(left);
            ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
            if (ts.tv_nsec >= 1000000000L) {
                ts.tv_nsec = 999999999L;
            }
            tsp = &ts;
        }
        int r = ppoll(sim.pfds, static_cast<nfds_t>(sim.count), tsp, &waitMask);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            fprintf(stderr, "radio-sim: ppoll(): %s\n", strerror(errno));
            status = kExitRuntime;
            break;
        }
        bool fatal = false;
        for (size_t i = 0; i < sim.count && r > 0; ++i) {
            const short ev = sim.pfds[i].revents;
            if (ev == 0) {
                continue;
            }
            if ((ev & (POLLIN | POLLERR)) != 0 && !drain(sim, i)) {
                fatal = true;
            }
            if ((ev & POLLNVAL) != 0) {
                fprintf(stderr, "radio-sim: station %s: socket closed\n", sim.stations[i].name);
                fatal = true;
            }
        }
        if (fatal) {
            status = kExitRuntime;
            break;
        }
    }

    close_all(sim);
    if (!sim.pcap.close()) {
        fprintf(stderr, "radio-sim: cannot finish the pcap file %s: %s\n", opt.pcapPath.c_str(),
                strerror(errno));
        status = kExitRuntime;
    }
    fflush(stdout);
    if (gStopSignal != 0) {
        fprintf(stderr, "radio-sim: stopped by signal %d\n", static_cast<int>(gStopSignal));
    }
    return status;
}
