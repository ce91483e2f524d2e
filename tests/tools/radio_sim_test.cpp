// SPDX-License-Identifier: Apache-2.0
// tools/radio-sim as a process: forwarding between stations on loopback,
// --echo, --inject, the pcap file, the frame lines, start-up refusals and a
// stream of truncated and garbage frames.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../../tools/radio-sim/cbr_report.h"
#include "../../tools/radio-sim/rx_record.h"
#include "../../tools/radio-sim/sidelink.h"
#include "core_harness.h"
#include "test_support.h"
#include "v2x_types.h"

#ifndef RADIO_SIM_PATH
#error "RADIO_SIM_PATH must name the radio-sim executable"
#endif

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kReadyMs = 15000;
constexpr int kArriveMs = 3000;
constexpr int kQuietMs = 200;

void sleep_ms(int ms)
{
    struct timespec ts = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream is(text);
    std::string line;
    while (std::getline(is, line)) {
        out.push_back(line);
    }
    return out;
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

// A UDP socket bound to 127.0.0.1 on a port the kernel picks.
int bound_udp(uint16_t& port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in sa = loopback(0);
    socklen_t len = sizeof(sa);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(sa.sin_port);
    return fd;
}

// `n` distinct ports that were free a moment ago, for radio-sim to bind.
std::vector<uint16_t> free_ports(size_t n)
{
    return v2xtest::free_udp_ports(n);
}

// Waits up to `ms` for one datagram on `fd`; false when none came.
bool recv_within(int fd, Bytes& out, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) {
        return false;
    }
    out.assign(65536, 0);
    ssize_t n = recv(fd, out.data(), out.size(), MSG_DONTWAIT);
    if (n < 0) {
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(n));
    return true;
}

// One station as the test plays it: a socket it sends from and a bound
// socket it receives on. The simulator listens on `sendPort`.
struct TestStation {
    std::string name;
    uint16_t sendPort = 0;
    uint16_t rcvPort = 0;
    int txFd = -1;
    int rxFd = -1;

    TestStation() = default;
    TestStation(const TestStation&) = delete;
    TestStation& operator=(const TestStation&) = delete;
    ~TestStation()
    {
        if (txFd >= 0) {
            close(txFd);
        }
        if (rxFd >= 0) {
            close(rxFd);
        }
    }

    std::string arg() const
    {
        return name + ",127.0.0.1:" + std::to_string(sendPort) +
               ",127.0.0.1:" + std::to_string(rcvPort);
    }

    // Sends one datagram to the simulator, as the station's radio link does.
    bool send(const Bytes& frame) const
    {
        sockaddr_in sa = loopback(sendPort);
        ssize_t n = sendto(txFd, frame.data(), frame.size(), 0,
                           reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
        return n == static_cast<ssize_t>(frame.size());
    }

    bool receive(Bytes& out, int ms = kArriveMs) const { return recv_within(rxFd, out, ms); }
};

// Builds `n` stations named a, b, c, ... with fresh ports.
class Stations {
public:
    explicit Stations(size_t n)
    {
        std::vector<uint16_t> ports = free_ports(n);
        for (size_t i = 0; i < n && i < ports.size(); ++i) {
            st_.emplace_back(new TestStation);
            TestStation& s = *st_.back();
            s.name = std::string(1, static_cast<char>('a' + i));
            s.sendPort = ports[i];
            s.rxFd = bound_udp(s.rcvPort);
            s.txFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
    }
    ~Stations()
    {
        for (TestStation* s : st_) {
            delete s;
        }
    }
    Stations(const Stations&) = delete;
    Stations& operator=(const Stations&) = delete;

    bool ok(size_t n) const
    {
        if (st_.size() != n) {
            return false;
        }
        for (const TestStation* s : st_) {
            if (s->rxFd < 0 || s->txFd < 0 || s->sendPort == 0) {
                return false;
            }
        }
        return true;
    }
    TestStation& operator[](size_t i) { return *st_[i]; }
    // "--station" and the argument of each (name and its two addresses), then aicMore.
    std::vector<std::string> args(std::initializer_list<std::string> aicMore = {}) const
    {
        std::vector<std::string> a;
        for (const TestStation* s : st_) {
            a.push_back("--station");
            a.push_back(s->arg());
        }
        a.insert(a.end(), aicMore);
        return a;
    }

private:
    std::vector<TestStation*> st_;
};

// The simulator as a child process with its standard output and error in
// files.
class SimProcess {
public:
    SimProcess()
        : out_(v2xtest::unique_path("radiosim-out")), err_(v2xtest::unique_path("radiosim-err"))
    {
    }
    ~SimProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int st = 0;
            waitpid(pid_, &st, 0);
        }
        unlink(out_.c_str());
        unlink(err_.c_str());
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool start(const std::vector<std::string>& args)
    {
        std::vector<std::string> all;
        all.push_back(RADIO_SIM_PATH);
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        int outFd = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int errFd = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (outFd < 0 || errFd < 0) {
            return false;
        }
        fflush(stdout);
        fflush(stderr);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(outFd, 1);
            dup2(errFd, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(outFd);
        close(errFd);
        pid_ = pid;
        return pid > 0;
    }

    // start(), then wait_ready(); a failure carries what the simulator wrote
    // to standard error.
    ::testing::AssertionResult start_ready(const std::vector<std::string>& args)
    {
        if (!start(args)) {
            return ::testing::AssertionFailure() << "radio-sim did not start";
        }
        if (!wait_ready()) {
            return ::testing::AssertionFailure() << err();
        }
        return ::testing::AssertionSuccess();
    }

    // Waits for "radio-sim: ready" on standard error.
    bool wait_ready()
    {
        for (int waited = 0; waited < kReadyMs; waited += 10) {
            if (err().find("radio-sim: ready\n") != std::string::npos) {
                return true;
            }
            if (!running()) {
                return false;
            }
            sleep_ms(10);
        }
        return false;
    }

    bool running()
    {
        if (pid_ <= 0) {
            return false;
        }
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            status_ = st;
            return false;
        }
        return true;
    }

    // Exit code once it ended by itself within `ms`; -1 if it did not end
    // (then it is killed), 1000 + signal if a signal ended it.
    int wait_exit(int ms = 10000)
    {
        for (int waited = 0; waited < ms; waited += 10) {
            if (!running()) {
                if (WIFEXITED(status_)) {
                    return WEXITSTATUS(status_);
                }
                return WIFSIGNALED(status_) ? 1000 + WTERMSIG(status_) : -2;
            }
            sleep_ms(10);
        }
        return -1;
    }

    int stop(int sig = SIGTERM)
    {
        if (pid_ > 0) {
            kill(pid_, sig);
        }
        return wait_exit();
    }

    std::string out() const { return read_file(out_); }
    std::string err() const { return read_file(err_); }

private:
    pid_t pid_ = -1;
    int status_ = 0;
    std::string out_;
    std::string err_;
};

// Runs the simulator with `args` and expects it to refuse to start.
void expect_refused(const std::vector<std::string>& args, const std::string& errPart)
{
    SimProcess sim;
    ASSERT_TRUE(sim.start(args));
    EXPECT_EQ(sim.wait_exit(), 2);  // start-up failure (-1: still running)
    std::string err = sim.err();
    EXPECT_NE(err.find(errPart), std::string::npos) << err;
    EXPECT_EQ(err.find("radio-sim: ready"), std::string::npos) << err;
}

const Bytes kFrameAid32 = {0x04, 0x00, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63};
const Bytes kFrameAid135 = {0x04, 0x00, 0x80, 0x07, 0x00, 0x02, 0x01, 0x02};

uint32_t rd32(const std::string& s, size_t off)
{
    uint32_t v;
    memcpy(&v, s.data() + off, 4);
    return v;
}

uint16_t rd16(const std::string& s, size_t off)
{
    uint16_t v;
    memcpy(&v, s.data() + off, 2);
    return v;
}

uint16_t be16(const std::string& s, size_t off)
{
    return static_cast<uint16_t>((static_cast<uint8_t>(s[off]) << 8) | static_cast<uint8_t>(s[off + 1]));
}

uint32_t be32(const std::string& s, size_t off)
{
    return (static_cast<uint32_t>(be16(s, off)) << 16) | be16(s, off + 2);
}

struct PcapRecord {
    std::string packet;  // IPv4 header onwards
};

// Parses a whole pcap file; fails the test on any inconsistency.
std::vector<PcapRecord> parse_pcap(const std::string& file)
{
    std::vector<PcapRecord> recs;
    EXPECT_GE(file.size(), 24u);
    if (file.size() < 24) {
        return recs;
    }
    EXPECT_EQ(rd32(file, 0), 0xA1B2C3D4u);  // microsecond timestamps, host order
    EXPECT_EQ(rd16(file, 4), 2u);
    EXPECT_EQ(rd16(file, 6), 4u);
    EXPECT_EQ(rd32(file, 8), 0u);
    EXPECT_EQ(rd32(file, 12), 0u);
    EXPECT_GE(rd32(file, 16), 65535u);  // snap length
    EXPECT_EQ(rd32(file, 20), 228u);    // LINKTYPE_IPV4
    size_t off = 24;
    while (off < file.size()) {
        EXPECT_LE(off + 16, file.size()) << "truncated record header";
        if (off + 16 > file.size()) {
            break;
        }
        uint32_t usec = rd32(file, off + 4);
        uint32_t incl = rd32(file, off + 8);
        uint32_t orig = rd32(file, off + 12);
        EXPECT_LT(usec, 1000000u);
        EXPECT_EQ(incl, orig);
        EXPECT_LE(off + 16 + incl, file.size()) << "truncated record";
        if (off + 16 + incl > file.size()) {
            break;
        }
        recs.push_back({file.substr(off + 16, incl)});
        off += 16 + incl;
    }
    return recs;
}

uint16_t ones_sum(const std::string& s)
{
    uint32_t acc = 0;
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        acc += be16(s, i);
    }
    if (s.size() % 2 != 0) {
        acc += static_cast<uint32_t>(static_cast<uint8_t>(s.back())) << 8;
    }
    while (acc >> 16) {
        acc = (acc & 0xFFFF) + (acc >> 16);
    }
    return static_cast<uint16_t>(acc);
}

// Checks the IPv4 and UDP headers of one record; returns its UDP payload.
std::string check_packet(const std::string& pkt, uint16_t srcPort, uint16_t dstPort)
{
    EXPECT_GE(pkt.size(), 28u);
    if (pkt.size() < 28) {
        return std::string();
    }
    EXPECT_EQ(static_cast<uint8_t>(pkt[0]), 0x45);
    EXPECT_EQ(be16(pkt, 2), pkt.size());            // IPv4 total length
    EXPECT_EQ(static_cast<uint8_t>(pkt[9]), 17);   // UDP
    EXPECT_EQ(ones_sum(pkt.substr(0, 20)), 0xFFFF);  // header checksum holds
    EXPECT_EQ(be32(pkt, 12), 0x7F000001u);
    EXPECT_EQ(be32(pkt, 16), 0x7F000001u);
    EXPECT_EQ(be16(pkt, 20), srcPort);
    EXPECT_EQ(be16(pkt, 22), dstPort);
    EXPECT_EQ(be16(pkt, 24), pkt.size() - 20);  // UDP length
    std::string pseudo = pkt.substr(12, 8) + std::string("\0\x11", 2) + pkt.substr(24, 2);
    EXPECT_EQ(ones_sum(pseudo + pkt.substr(20)) , 0xFFFF);  // UDP checksum holds
    return pkt.substr(28);
}

std::string as_string(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}

}  // namespace

TEST(RadioSim, HelpListsEveryOptionAndExitsZero)
{
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--help"}));
    EXPECT_EQ(sim.wait_exit(), 0);
    std::string out = sim.out();
    for (const char* opt : {"--station", "--config", "--echo", "--inject", "--to", "--inject-delay",
                            "--pcap", "--pcap-uplink", "--duration", "--quiet"}) {
        EXPECT_NE(out.find(opt), std::string::npos) << opt;
    }
}

TEST(RadioSim, DeliversToEveryOtherStationAndNotBackToTheSender)
{
    Stations st(3);
    ASSERT_TRUE(st.ok(3));
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args()));

    ASSERT_TRUE(st[0].send(kFrameAid32));
    Bytes got;
    ASSERT_TRUE(st[1].receive(got));
    EXPECT_EQ(got, kFrameAid32);
    ASSERT_TRUE(st[2].receive(got));
    EXPECT_EQ(got, kFrameAid32);

    // Then b sends: the first thing a ever receives must be b's frame.
    ASSERT_TRUE(st[1].send(kFrameAid135));
    ASSERT_TRUE(st[0].receive(got));
    EXPECT_EQ(got, kFrameAid135);
    ASSERT_TRUE(st[2].receive(got));
    EXPECT_EQ(got, kFrameAid135);
    EXPECT_FALSE(st[1].receive(got, kQuietMs)) << "the sender got its own frame back";
    EXPECT_FALSE(st[0].receive(got, kQuietMs));
    EXPECT_FALSE(st[2].receive(got, kQuietMs));

    EXPECT_EQ(sim.stop(), 0);
    std::vector<std::string> lines = lines_of(sim.out());
    ASSERT_EQ(lines.size(), 2u) << sim.out();
    EXPECT_NE(lines[0].find(" from=a to=b,c len=8 aid=32"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" from=b to=a,c len=8 aid=135"), std::string::npos) << lines[1];
    // HH:MM:SS.uuuuuu first.
    EXPECT_TRUE(v2xtest::starts_with_clock(lines[0])) << lines[0];
    ASSERT_GE(lines[0].size(), 16u);
    EXPECT_EQ(lines[0][15], ' ');
}

TEST(RadioSim, EchoAlsoDeliversBackToTheSender)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args({"--echo"})));

    ASSERT_TRUE(st[0].send(kFrameAid32));
    Bytes got;
    ASSERT_TRUE(st[0].receive(got));
    EXPECT_EQ(got, kFrameAid32);
    ASSERT_TRUE(st[1].receive(got));
    EXPECT_EQ(got, kFrameAid32);
    EXPECT_FALSE(st[0].receive(got, kQuietMs)) << "delivered twice";

    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(sim.out().find(" from=a to=a,b len=8 aid=32"), std::string::npos) << sim.out();
}

TEST(RadioSim, OneStationWithoutEchoDeliversNothing)
{
    Stations st(1);
    ASSERT_TRUE(st.ok(1));
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args()));
    ASSERT_TRUE(st[0].send(kFrameAid32));
    Bytes got;
    EXPECT_FALSE(st[0].receive(got, kQuietMs));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(sim.out().find(" from=a to=- len=8 aid=32"), std::string::npos) << sim.out();
}

TEST(RadioSim, PcapHoldsOneRecordPerDeliveredFrame)
{
    Stations st(3);
    ASSERT_TRUE(st.ok(3));
    std::string pcap = v2xtest::unique_path("radiosim-pcap");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args({"--pcap", pcap})));

    Bytes big(1500);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    Bytes got;
    ASSERT_TRUE(st[0].send(kFrameAid32));
    ASSERT_TRUE(st[1].receive(got));
    ASSERT_TRUE(st[2].receive(got));
    ASSERT_TRUE(st[2].send(big));
    ASSERT_TRUE(st[0].receive(got));
    ASSERT_TRUE(st[1].receive(got));
    EXPECT_EQ(got, big);
    EXPECT_EQ(sim.stop(SIGINT), 0) << sim.err();

    std::vector<PcapRecord> recs = parse_pcap(read_file(pcap));
    unlink(pcap.c_str());
    ASSERT_EQ(recs.size(), 4u);
    // Deliveries go out from the receiving station's module address.
    EXPECT_EQ(check_packet(recs[0].packet, st[1].sendPort, st[1].rcvPort), as_string(kFrameAid32));
    EXPECT_EQ(check_packet(recs[1].packet, st[2].sendPort, st[2].rcvPort), as_string(kFrameAid32));
    EXPECT_EQ(check_packet(recs[2].packet, st[0].sendPort, st[0].rcvPort), as_string(big));
    EXPECT_EQ(check_packet(recs[3].packet, st[1].sendPort, st[1].rcvPort), as_string(big));
}

TEST(RadioSim, PcapUplinkAlsoRecordsWhatTheStationSent)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    std::string pcap = v2xtest::unique_path("radiosim-pcap");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args({"--pcap", pcap, "--pcap-uplink", "--quiet"})));
    ASSERT_TRUE(st[0].send(kFrameAid135));
    Bytes got;
    ASSERT_TRUE(st[1].receive(got));
    EXPECT_EQ(sim.stop(), 0);

    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    ASSERT_EQ(getsockname(st[0].txFd, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    std::vector<PcapRecord> recs = parse_pcap(read_file(pcap));
    unlink(pcap.c_str());
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(check_packet(recs[0].packet, ntohs(sa.sin_port), st[0].sendPort),
              as_string(kFrameAid135));
    EXPECT_EQ(check_packet(recs[1].packet, st[1].sendPort, st[1].rcvPort),
              as_string(kFrameAid135));
}

TEST(RadioSim, InjectDeliversTheHexFrameToOneStation)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    std::vector<std::string> args = st.args({"--inject", "04 00 20 00 03 61:62-63", "--to", "b",
                                             "--duration", "0"});
    SimProcess sim;
    ASSERT_TRUE(sim.start(args));
    EXPECT_EQ(sim.wait_exit(), 0) << sim.err();  // --duration 0 ends after the injections
    Bytes got;
    ASSERT_TRUE(st[1].receive(got));
    EXPECT_EQ(got, kFrameAid32);
    EXPECT_FALSE(st[0].receive(got, kQuietMs));
    EXPECT_NE(sim.out().find(" from=@inject to=b len=8 aid=32"), std::string::npos) << sim.out();
}

TEST(RadioSim, InjectToAllAfterADelay)
{
    Stations st(3);
    ASSERT_TRUE(st.ok(3));
    std::string pcap = v2xtest::unique_path("radiosim-pcap");
    std::vector<std::string> args = st.args({"--inject", "0400800700020102", "--to", "all",
                                             "--inject", "04", "--to", "c", "--inject-delay", "0.2",
                                             "--pcap", pcap});
    SimProcess sim;
    ASSERT_TRUE(sim.start(args));
    Bytes got;
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(st[i].receive(got)) << i;
        EXPECT_EQ(got, kFrameAid135);
    }
    ASSERT_TRUE(st[2].receive(got));
    EXPECT_EQ(got, Bytes{0x04});
    EXPECT_TRUE(sim.running());  // no --duration: it keeps forwarding
    ASSERT_TRUE(st[0].send(kFrameAid32));
    ASSERT_TRUE(st[1].receive(got));
    EXPECT_EQ(got, kFrameAid32);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(parse_pcap(read_file(pcap)).size(), 6u);
    unlink(pcap.c_str());
    std::string out = sim.out();
    EXPECT_NE(out.find(" from=@inject to=a,b,c len=8 aid=135"), std::string::npos) << out;
    EXPECT_NE(out.find(" from=@inject to=c len=1 aid=-"), std::string::npos) << out;
}

TEST(RadioSim, TruncatedAndGarbageFramesAreForwardedUnchanged)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args()));

    struct Case {
        Bytes frame;
        const char* aid;
    };
    std::vector<Case> cases = {
        {{}, "-"},
        {{0x04}, "-"},
        {{0x04, 0x08}, "-"},
        {{0x04, 0x08, 0x05}, "-"},
        {{0x04, 0x08, 0x05, 0xFF, 0xAA}, "-"},      // V runs past the end
        {{0x04, 0x08, 0x05, 0x02, 0xAA, 0xBB}, "-"},  // ends before the AID
        {{0x04, 0x08, 0x05, 0x02, 0xAA, 0xBB, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63}, "32"},
        {{0x04, 0x00, 0x80}, "-"},  // two-byte AID cut short
        {{0x04, 0x00, 0x80, 0x07}, "135"},
        {{0x04, 0x00, 0xBF, 0xFF, 0x00}, "16511"},
        {{0x04, 0x00, 0xC1, 0x00, 0x00, 0x00}, "-"},  // three-byte form
        {{0x04, 0x00, 0x87, 0x00, 0x01, 0xFF}, "dme"},
        {{0x00, 0x00, 0x7F}, "127"},  // protocol type is not looked at
    };
    std::mt19937 rng(12345);
    for (size_t n : {2u, 5u, 17u, 300u, 2041u}) {
        Bytes r(n);
        for (uint8_t& b : r) {
            b = static_cast<uint8_t>(rng());
        }
        cases.push_back({r, nullptr});
    }
    cases.push_back({Bytes(65507, 0xFF), "-"});  // the largest datagram

    Bytes got;
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_TRUE(st[0].send(cases[i].frame)) << i;
        ASSERT_TRUE(st[1].receive(got)) << i;
        EXPECT_EQ(got, cases[i].frame) << i;
    }
    EXPECT_FALSE(st[0].receive(got, kQuietMs));
    EXPECT_TRUE(sim.running());
    EXPECT_EQ(sim.stop(), 0) << sim.err();

    std::vector<std::string> lines = lines_of(sim.out());
    ASSERT_EQ(lines.size(), cases.size()) << sim.out();
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string want = " from=a to=b len=" + std::to_string(cases[i].frame.size()) + " aid=";
        size_t at = lines[i].find(want);
        ASSERT_NE(at, std::string::npos) << lines[i];
        if (cases[i].aid != nullptr) {
            EXPECT_EQ(lines[i].substr(at + want.size()), cases[i].aid) << lines[i];
        }
    }
}

TEST(RadioSim, StationsFromAConfigFile)
{
    Stations st(3);
    ASSERT_TRUE(st.ok(3));
    std::string cfg = v2xtest::unique_path("radiosim-cfg");
    {
        std::ofstream f(cfg);
        f << "# stations of the test\n\n";
        f << st[0].name << " 127.0.0.1:" << st[0].sendPort << " 127.0.0.1:" << st[0].rcvPort
          << "   # first\n";
        f << "\t" << st[1].name << ",127.0.0.1:" << st[1].sendPort << ",127.0.0.1:"
          << st[1].rcvPort << "\n";
    }
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready({"--config", cfg, "--station", st[2].arg()}));
    ASSERT_TRUE(st[1].send(kFrameAid32));
    Bytes got;
    ASSERT_TRUE(st[0].receive(got));
    EXPECT_EQ(got, kFrameAid32);
    ASSERT_TRUE(st[2].receive(got));
    EXPECT_EQ(got, kFrameAid32);
    EXPECT_EQ(sim.stop(), 0);
    unlink(cfg.c_str());
}

TEST(RadioSim, QuietPrintsNoFrameLines)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args({"--quiet"})));
    ASSERT_TRUE(st[0].send(kFrameAid32));
    Bytes got;
    ASSERT_TRUE(st[1].receive(got));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.out(), "");
}

TEST(RadioSim, DurationStopsByItself)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args({"--duration", "0.3"})));
    EXPECT_EQ(sim.wait_exit(10000), 0) << sim.err();
}

TEST(RadioSim, RefusesAnAddressOutsideLoopback)
{
    Stations st(1);
    ASSERT_TRUE(st.ok(1));
    std::string good = "127.0.0.1:" + std::to_string(st[0].rcvPort);
    expect_refused({"--station", "a,10.1.2.3:5000," + good}, "loopback");
    expect_refused({"--station", st[0].arg(), "--station", "b,127.0.0.1:5000,192.168.1.1:5001"},
                   "loopback");
    expect_refused({"--station", "a,0.0.0.0:5000," + good}, "loopback");
    std::string cfg = v2xtest::unique_path("radiosim-cfg");
    {
        std::ofstream f(cfg);
        f << "x 127.0.0.1:5000 8.8.8.8:5001\n";
    }
    expect_refused({"--config", cfg}, "loopback");
    unlink(cfg.c_str());
    // Here the machine's own interfaces are visible: --own-netns is refused.
    expect_refused({"--own-netns", "--station", "a,10.1.2.3:5000," + good}, "other than loopback");
}

TEST(RadioSim, RefusesBadCommandLines)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    const std::string a = st[0].arg();
    const std::string b = st[1].arg();
    expect_refused({}, "no stations");
    expect_refused({"--station", a, "--bogus"}, "unknown option");
    expect_refused({"--station", a, "--inject", "0400"}, "--to");
    expect_refused({"--station", a, "--inject", "040", "--to", "a"}, "odd");
    expect_refused({"--station", a, "--inject", "04zz", "--to", "a"}, "hex");
    expect_refused({"--station", a, "--inject", "04", "--to", "nobody"}, "no such station");
    expect_refused({"--station", a, "--station", a}, "twice");
    expect_refused({"--station", "a,127.0.0.1:0,127.0.0.1:5001"}, "port");
    expect_refused({"--station", "a,127.0.0.1:5000"}, "three fields");
    expect_refused({"--station", a, "--duration", "soon"}, "--duration");
    expect_refused({"--station", a, "--config", v2xtest::unique_path("missing")}, "station file");
    // A receive address that is another station's send address would loop.
    std::string loop = "b,127.0.0.1:" + std::to_string(st[1].sendPort) + ",127.0.0.1:" +
                       std::to_string(st[0].sendPort);
    expect_refused({"--station", a, "--station", loop}, "deliver to itself");
}

TEST(RadioSim, StartupFailsWhenASendPortIsTaken)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    // The test itself holds b's send port.
    uint16_t taken = 0;
    int fd = bound_udp(taken);
    ASSERT_GE(fd, 0);
    st[1].sendPort = taken;
    std::string pcap = v2xtest::unique_path("radiosim-pcap");
    std::vector<std::string> args = st.args({"--pcap", pcap});
    expect_refused(args, "cannot listen on 127.0.0.1:" + std::to_string(taken));
    close(fd);
    unlink(pcap.c_str());
}

TEST(RadioSim, StartupFailsWhenThePcapFileCannotBeCreated)
{
    Stations st(1);
    ASSERT_TRUE(st.ok(1));
    expect_refused({"--station", st[0].arg(), "--pcap", "/nonexistent-dir/x.pcap"},
                   "cannot create pcap file");
}

// ---- The channel model, scenarios, link counters, pcapng and replay ----

namespace {

// Timing slack: wider under user-mode emulation (cross builds' tests).
int slack_ms(int native)
{
    return getenv("V2X_UNDER_QEMU") != nullptr ? native * 3 : native;
}

int64_t mono_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct NgRecord {
    uint64_t usec = 0;
    std::string packet;
    std::string comment;
};

uint32_t le32(const std::string& s, size_t off)
{
    return rd32(s, off);
}

// Parses a pcapng file as radio-sim writes it; fails the test on any
// inconsistency.
std::vector<NgRecord> parse_pcapng(const std::string& file)
{
    std::vector<NgRecord> recs;
    EXPECT_GE(file.size(), 28u);
    if (file.size() < 28) {
        return recs;
    }
    EXPECT_EQ(le32(file, 0), 0x0A0D0D0Au);
    EXPECT_EQ(le32(file, 8), 0x1A2B3C4Du);
    size_t off = 0;
    bool sawIdb = false;
    while (off + 12 <= file.size()) {
        const uint32_t type = le32(file, off);
        const uint32_t total = le32(file, off + 4);
        EXPECT_EQ(total % 4, 0u);
        EXPECT_LE(off + total, file.size());
        if (total < 12 || off + total > file.size()) {
            break;
        }
        EXPECT_EQ(le32(file, off + total - 4), total) << "trailing length of block at " << off;
        if (type == 1) {
            sawIdb = true;
            EXPECT_EQ(rd16(file, off + 8), 228u);  // LINKTYPE_IPV4
        } else if (type == 6) {
            NgRecord r;
            r.usec = (static_cast<uint64_t>(le32(file, off + 12)) << 32) | le32(file, off + 16);
            const uint32_t cap = le32(file, off + 20);
            EXPECT_EQ(cap, le32(file, off + 24));
            r.packet = file.substr(off + 28, cap);
            size_t o = off + 28 + ((cap + 3) & ~3u);
            while (o + 4 <= off + total - 4) {
                const uint16_t code = rd16(file, o);
                const uint16_t len = rd16(file, o + 2);
                if (code == 0) {
                    break;
                }
                if (code == 1) {
                    r.comment = file.substr(o + 4, len);
                }
                o += 4 + ((len + 3u) & ~3u);
            }
            recs.push_back(r);
        }
        off += total;
    }
    EXPECT_TRUE(sawIdb);
    return recs;
}

std::string write_temp(const std::string& tag, const std::string& text)
{
    std::string path = v2xtest::unique_path(tag.c_str());
    std::ofstream f(path);
    f << text;
    return path;
}

// A scenario entry for one test station.
std::string scenario_station(const TestStation& s, const std::string& where)
{
    return "  { name = \"" + s.name + "\"; send = " + std::to_string(s.sendPort) +
           "; receive = \"127.0.0.1:" + std::to_string(s.rcvPort) + "\"; " + where + " }";
}

// Every datagram that reaches `s` within `ms` of quiet.
std::vector<Bytes> receive_all(const TestStation& s, int ms = 300)
{
    std::vector<Bytes> out;
    Bytes got;
    while (s.receive(got, ms)) {
        out.push_back(got);
    }
    return out;
}

Bytes tagged_frame(uint8_t sender, uint8_t seq)
{
    return Bytes{0x04, 0x00, 0x20, 0x00, 0x02, sender, seq};
}

}  // namespace

// Three stations on a line 200 m apart with a range of 300 m: the middle
// one hears both ends, each end hears only the middle. The counters and the
// pcapng capture say the same.
TEST(RadioSimModel, ThreeStationsOnALineTheMiddleHearsBothTheEndsOnlyTheMiddle)
{
    Stations st(3);
    ASSERT_TRUE(st.ok(3));
    const std::string scenario = write_temp(
        "radiosim-scn",
        "# three stations on a road\nseed = 5;\n"
        "model = { range_m = 300.0; sensitivity_dbm = -110.0; latency_ms = 1.0; jitter_ms = 0.5; };\n"
        "stations = (\n" +
            scenario_station(st[0], "position = [0.0, 0.0];") + ",\n" +
            scenario_station(st[1], "position = [200.0, 0.0];") + ",\n" +
            scenario_station(st[2], "position = [400, 0];") + "\n);\n");
    const std::string pcap = v2xtest::unique_path("radiosim-pcapng");
    const std::string stats = v2xtest::unique_path("radiosim-stats");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready({"--scenario", scenario, "--pcap", pcap, "--link-stats", stats}));
    EXPECT_NE(sim.err().find("none beyond 300.0 m"), std::string::npos) << sim.err();

    const int n = 20;
    for (int k = 0; k < n; ++k) {
        for (uint8_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(st[i].send(tagged_frame(i, static_cast<uint8_t>(k))));
        }
        sleep_ms(2);
    }
    int heard[3][3] = {};
    for (size_t r = 0; r < 3; ++r) {
        for (const Bytes& b : receive_all(st[r])) {
            ASSERT_EQ(b.size(), 7u);
            ASSERT_LT(b[5], 3);
            ++heard[b[5]][r];
        }
    }
    EXPECT_EQ(sim.stop(), 0) << sim.err();
    EXPECT_EQ(heard[0][1], n);
    EXPECT_EQ(heard[2][1], n);
    EXPECT_EQ(heard[1][0], n);
    EXPECT_EQ(heard[1][2], n);
    EXPECT_EQ(heard[0][2], 0);
    EXPECT_EQ(heard[2][0], 0);
    EXPECT_EQ(heard[0][0] + heard[1][1] + heard[2][2], 0);

    const std::string json = read_file(stats);
    EXPECT_NE(json.find("{\"from\": \"a\", \"to\": \"c\", \"sent\": 20, \"delivered\": 0, "
                        "\"dropped_range\": 20, \"dropped_model\": 0"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"from\": \"a\", \"to\": \"b\", \"sent\": 20, \"delivered\": 20, "
                        "\"dropped_range\": 0, \"dropped_model\": 0"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"total\": {\"sent\": 120, \"delivered\": 80, \"dropped_range\": 40"),
              std::string::npos)
        << json;

    std::vector<NgRecord> recs = parse_pcapng(read_file(pcap));
    ASSERT_EQ(recs.size(), 80u);
    int marked = 0;
    for (const NgRecord& r : recs) {
        const std::string payload = r.packet.substr(28);
        ASSERT_EQ(payload.size(), 7u);
        const std::string from(1, static_cast<char>('a' + payload[5]));
        // With the model the sender's module sends it to the receiver.
        const std::string want = "from=" + from + " to=";
        ASSERT_EQ(r.comment.compare(0, want.size(), want), 0) << r.comment;
        const char to = r.comment[want.size()];
        const TestStation& rx = st[static_cast<size_t>(to - 'a')];
        check_packet(r.packet, st[static_cast<size_t>(payload[5])].sendPort, rx.rcvPort);
        EXPECT_NE(r.comment.find(" dist=200.0"), std::string::npos) << r.comment;
        ++marked;
    }
    EXPECT_EQ(marked, 80);
    EXPECT_NE(sim.out().find(" from=b to=a,c len=7 aid=32"), std::string::npos) << sim.out();
    EXPECT_NE(sim.out().find(" from=a to=b len=7 aid=32"), std::string::npos) << sim.out();
    unlink(scenario.c_str());
    unlink(pcap.c_str());
    unlink(stats.c_str());
}

// With positions on the command line and a lossy curve, the same seed
// gives the same deliveries through real sockets; another seed others.
TEST(RadioSimModel, TheSameSeedGivesTheSameDeliveriesThroughTheSockets)
{
    Stations st(3);
    ASSERT_TRUE(st.ok(3));
    auto run = [&st](const std::string& seed) {
        std::vector<std::string> args = st.args();
        // b and c sit near the distance where half the frames arrive.
        args.insert(args.end(), {"--position", "a,0,0", "--position", "b,350,0", "--position",
                                 "c,0,-360", "--seed", seed, "--model",
                                 "latency_ms=0,jitter_ms=0", "--quiet"});
        SimProcess sim;
        std::vector<std::string> got;
        if (!sim.start(args) || !sim.wait_ready()) {
            ADD_FAILURE() << sim.err();
            return got;
        }
        for (int k = 0; k < 60; ++k) {
            st[0].send(tagged_frame(0, static_cast<uint8_t>(k)));
            if (k % 10 == 9) {
                sleep_ms(5);
            }
        }
        for (size_t r = 1; r < 3; ++r) {
            std::string seen;
            for (const Bytes& b : receive_all(st[r])) {
                seen += std::to_string(b[6]) + ",";
            }
            got.push_back(seen);
        }
        EXPECT_EQ(sim.stop(), 0);
        return got;
    };
    const std::vector<std::string> first = run("99");
    ASSERT_EQ(first.size(), 2u);
    EXPECT_FALSE(first[0].empty());
    EXPECT_NE(first[0].size(), std::string("0,1,2,3,4,5,6,7,8,9,").size() * 6);  // some lost
    EXPECT_EQ(run("99"), first);
    EXPECT_NE(run("100"), first);
}

TEST(RadioSimModel, FramesWaitTheModelsLatency)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    std::vector<std::string> args = st.args({"--position", "a,0,0", "--position", "b,10,0",
                                             "--model", "latency_ms=80,jitter_ms=40", "--quiet"});
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(args));
    for (int k = 0; k < 5; ++k) {
        const int64_t sent = mono_ns();
        ASSERT_TRUE(st[0].send(kFrameAid32));
        Bytes got;
        ASSERT_TRUE(st[1].receive(got));
        const int64_t ms = (mono_ns() - sent) / 1000000;
        EXPECT_GE(ms, 80) << k;
        EXPECT_LE(ms, 120 + slack_ms(30)) << k;  // the bound, and a loaded machine's slack
    }
    EXPECT_EQ(sim.stop(), 0);
}

TEST(RadioSimModel, LinkStatsWithoutPositionsCountEveryFrameDelivered)
{
    Stations st(3);
    ASSERT_TRUE(st.ok(3));
    const std::string stats = v2xtest::unique_path("radiosim-stats");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args({"--link-stats", stats, "--quiet"})));
    Bytes got;
    ASSERT_TRUE(st[1].send(kFrameAid32));
    ASSERT_TRUE(st[0].receive(got));
    ASSERT_TRUE(st[2].receive(got));
    EXPECT_EQ(sim.stop(), 0);
    const std::string json = read_file(stats);
    unlink(stats.c_str());
    EXPECT_NE(json.find("\"model\": null"), std::string::npos) << json;
    EXPECT_NE(json.find("{\"from\": \"b\", \"to\": \"a\", \"sent\": 1, \"delivered\": 1, "
                        "\"dropped_range\": 0, \"dropped_model\": 0, \"failed\": 0"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"total\": {\"sent\": 2, \"delivered\": 2"), std::string::npos) << json;
}

// A capture recorded by radio-sim, replayed: the same frames reach the same
// stations in the same order, with the recorded gaps.
TEST(RadioSimModel, ReplayKeepsOrderAndSpacing)
{
    for (const char* format : {"pcap", "pcapng"}) {
        SCOPED_TRACE(format);
        Stations st(3);
        ASSERT_TRUE(st.ok(3));
        const std::string pcap = v2xtest::unique_path("radiosim-rec");
        const int gapsMs[] = {0, 150, 60, 250, 100};
        // When each frame was sent and when c heard it while it was
        // recorded: the recorder's stamp lies between the two, and the
        // replay keeps the recorded spacing, which a loaded machine may have
        // moved away from the spacing the frames were sent with.
        std::vector<int64_t> sentAt;
        std::vector<int64_t> recAt;
        {
            std::vector<std::string> args = st.args({"--pcap", pcap, "--pcap-format", format,
                                                     "--pcap-uplink", "--quiet"});
            SimProcess rec;
            ASSERT_TRUE(rec.start(args));
            ASSERT_TRUE(rec.wait_ready()) << rec.err();
            for (uint8_t k = 0; k < 5; ++k) {
                sleep_ms(gapsMs[k]);
                sentAt.push_back(mono_ns());
                ASSERT_TRUE(st[k % 2].send(tagged_frame(k % 2, k)));  // a and b in turn
                Bytes heard;
                ASSERT_TRUE(st[2].receive(heard, 5000)) << int(k);
                recAt.push_back(mono_ns());
            }
            sleep_ms(100);
            EXPECT_EQ(rec.stop(), 0);
            receive_all(st[0], 50);
            receive_all(st[1], 50);
            receive_all(st[2], 50);
        }
        // Only c listens now: it gets every frame again; a and b get theirs.
        std::vector<std::string> args = st.args({"--replay", pcap, "--inject-delay", "0.2"});
        SimProcess play;
        ASSERT_TRUE(play.start(args));
        ASSERT_TRUE(play.wait_ready()) << play.err();
        std::vector<int64_t> at;
        Bytes got;
        for (uint8_t k = 0; k < 5; ++k) {
            ASSERT_TRUE(st[2].receive(got, 5000)) << int(k);
            at.push_back(mono_ns());
            ASSERT_EQ(got.size(), 7u);
            EXPECT_EQ(got[6], k) << "out of order";
        }
        EXPECT_FALSE(st[2].receive(got, kQuietMs));
        // a got b's two frames, b got a's three.
        EXPECT_EQ(receive_all(st[0], kQuietMs).size(), 2u);
        EXPECT_EQ(receive_all(st[1], kQuietMs).size(), 3u);
        // Each frame leaves at its recorded offset from the first, which
        // lies between sent(k) - heard(0) and heard(k) - sent(0): never much
        // ahead of it (a replay that sent all at once fails here), and late
        // only by what a loaded machine adds, bounded generously.
        for (size_t k = 1; k < 5; ++k) {
            const double off = static_cast<double>(at[k] - at[0]) / 1e6;
            const double lo = static_cast<double>(sentAt[k] - recAt[0]) / 1e6;
            const double hi = static_cast<double>(recAt[k] - sentAt[0]) / 1e6;
            EXPECT_GE(off, lo - slack_ms(100)) << "frame " << k << " early";
            EXPECT_LE(off, hi + slack_ms(40) + 1000) << "frame " << k << " late";
        }
        EXPECT_EQ(play.stop(), 0);
        EXPECT_NE(play.err().find("replaying 10 frames"), std::string::npos) << play.err();
        EXPECT_NE(play.err().find("5 uplink records"), std::string::npos) << play.err();
        EXPECT_NE(play.out().find(" from=@replay to=c len=7 aid=32"), std::string::npos)
            << play.out();
        unlink(pcap.c_str());
    }
}

TEST(RadioSimModel, RefusesBadScenariosAndModelArguments)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    const std::string a = st[0].arg();
    const std::string b = st[1].arg();
    expect_refused({"--station", a, "--station", b, "--position", "a,0,0"},
                   "station b has neither a position nor a vehicle");
    expect_refused({"--station", a, "--position", "z,0,0"}, "no such station");
    expect_refused({"--station", a, "--position", "a,0"}, "NAME,X,Y");
    expect_refused({"--station", a, "--position", "a,0,north"}, "numbers");
    expect_refused({"--station", a, "--position", "a,0,0", "--model", "range=3"},
                   "unknown parameter range");
    expect_refused({"--station", a, "--position", "a,0,0", "--model", "width_db=0"}, "width_db");
    expect_refused({"--station", a, "--seed", "-3"}, "--seed");
    expect_refused({"--station", a, "--pcap-format", "erf"}, "--pcap-format");
    expect_refused({"--station", a, "--replay", v2xtest::unique_path("missing")},
                   "cannot read capture");
    const std::string bad1 = write_temp("radiosim-scn", "stations = ( { name = \"a\"; send = 1; } );\n");
    expect_refused({"--scenario", bad1}, "needs name, send and receive");
    const std::string bad2 = write_temp("radiosim-scn", "colour = 3;\nstations = ();\n");
    expect_refused({"--scenario", bad2}, ":1: unknown setting colour");
    const std::string bad3 = write_temp(
        "radiosim-scn", "stations = (\n " + scenario_station(st[0], "vehicle = \"v0\";") + "\n);\n");
    expect_refused({"--scenario", bad3}, "no SUMO is given");
    const std::string bad4 = write_temp("radiosim-scn", "model = { range_m = \"far\"; };\nstations = ();\n");
    expect_refused({"--scenario", bad4}, "model.range_m must be a number");
    const std::string bad5 = write_temp("radiosim-scn", "stations = ( { name = ");
    expect_refused({"--scenario", bad5}, bad5 + ":");
    for (const std::string& f : {bad1, bad2, bad3, bad4, bad5}) {
        unlink(f.c_str());
    }
}

// ---- --tamper ----

namespace {

// `b` with the lowest bit of its last byte flipped.
Bytes last_bit_flipped(Bytes b)
{
    b.back() ^= 0x01u;
    return b;
}

}  // namespace

// Per sending station only the Nth well-formed frame of the AID changes, in
// one bit of its last data byte; other AIDs, frames whose length field does
// not match, and the other stations' counts are untouched.
TEST(RadioSimTamper, FlipsOneBitOfTheNthFrameOfTheAidPerSender)
{
    Stations st(3);
    ASSERT_TRUE(st.ok(3));
    const std::string stats = v2xtest::unique_path("radiosim-stats");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args(
        {"--tamper", "26:2", "--tamper", "300", "--link-stats", stats, "--quiet"})));

    const Bytes a1 = {0x04, 0x00, 0x1a, 0x00, 0x03, 0x0a, 0x0b, 0x0c};
    const Bytes aBadLen = {0x04, 0x00, 0x1a, 0x00, 0x05, 0xee};  // does not count
    const Bytes a2 = {0x04, 0x08, 0x05, 0x02, 0xaa, 0xbb, 0x1a, 0x00, 0x02, 0x21, 0x22};
    const Bytes a3 = {0x04, 0x00, 0x1a, 0x00, 0x01, 0x31};
    const Bytes b1 = {0x04, 0x00, 0x1a, 0x00, 0x01, 0x41};
    // AID 300 in the two-byte form, after an extension element.
    const Bytes b300 = {0x04, 0x08, 0x01, 0x01, 0x77, 0x80, 0xac, 0x00, 0x02, 0x51, 0x52};
    const Bytes b2 = {0x04, 0x00, 0x1a, 0x00, 0x02, 0x61, 0x62};
    const std::vector<std::pair<size_t, Bytes>> sent = {
        {0, a1}, {0, kFrameAid32}, {0, aBadLen}, {1, b1}, {1, b300}, {0, a2}, {0, a3}, {1, b2}};
    const std::vector<Bytes> wantAtC = {a1,
                                        kFrameAid32,
                                        aBadLen,
                                        b1,
                                        last_bit_flipped(b300),
                                        last_bit_flipped(a2),
                                        a3,
                                        last_bit_flipped(b2)};
    std::vector<Bytes> atC;
    for (const auto& s : sent) {
        ASSERT_TRUE(st[s.first].send(s.second));
        Bytes got;
        ASSERT_TRUE(st[2].receive(got));  // one at a time: the order is the sending order
        atC.push_back(got);
    }
    EXPECT_EQ(atC, wantAtC);
    // The other receivers got the same tampered bytes.
    std::vector<Bytes> atB = receive_all(st[1]);
    std::vector<Bytes> atA = receive_all(st[0]);
    ASSERT_EQ(atB.size(), 5u);
    EXPECT_EQ(atB[3], last_bit_flipped(a2));
    ASSERT_EQ(atA.size(), 3u);
    EXPECT_EQ(atA[1], last_bit_flipped(b300));
    EXPECT_EQ(atA[2], last_bit_flipped(b2));

    EXPECT_EQ(sim.stop(), 0);
    const std::string json = read_file(stats);
    unlink(stats.c_str());
    EXPECT_NE(json.find("{\"from\": \"a\", \"to\": \"c\", \"sent\": 5, \"delivered\": 5, "
                        "\"dropped_range\": 0, \"dropped_model\": 0, \"failed\": 0, \"late\": 0, "
                        "\"tampered\": 1}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"from\": \"b\", \"to\": \"a\", \"sent\": 3, \"delivered\": 3, "
                        "\"dropped_range\": 0, \"dropped_model\": 0, \"failed\": 0, \"late\": 0, "
                        "\"tampered\": 2}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"total\": {\"sent\": 16, \"delivered\": 16, \"dropped_range\": 0, "
                        "\"dropped_model\": 0, \"failed\": 0, \"late\": 0, \"tampered\": 6}"),
              std::string::npos)
        << json;
}

// A scenario's tamper key, with the channel model deciding the deliveries.
TEST(RadioSimTamper, ScenarioKeyWorksWithTheModelAndBadValuesAreRefused)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    const std::string scenario = write_temp(
        "radiosim-scn", "tamper = \"26\";\nmodel = { latency_ms = 0.0; jitter_ms = 0.0; };\n"
                        "stations = (\n" +
                            scenario_station(st[0], "position = [0.0, 0.0];") + ",\n" +
                            scenario_station(st[1], "position = [5.0, 0.0];") + "\n);\n");
    const std::string stats = v2xtest::unique_path("radiosim-stats");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready({"--scenario", scenario, "--link-stats", stats, "--quiet"}));
    const Bytes f = {0x04, 0x00, 0x1a, 0x00, 0x02, 0x01, 0x02};
    Bytes got;
    for (int k = 0; k < 3; ++k) {
        ASSERT_TRUE(st[0].send(f));
        ASSERT_TRUE(st[1].receive(got));
        EXPECT_EQ(got, k == 0 ? last_bit_flipped(f) : f) << k;
    }
    EXPECT_EQ(sim.stop(), 0);
    const std::string json = read_file(stats);
    EXPECT_NE(json.find("\"sent\": 3, \"delivered\": 3, \"dropped_range\": 0, \"dropped_model\": "
                        "0, \"failed\": 0, \"late\": 0, \"tampered\": 1}"),
              std::string::npos)
        << json;
    unlink(stats.c_str());
    unlink(scenario.c_str());

    const std::string a = st[0].arg();
    expect_refused({"--station", a, "--tamper", "16512"}, "from 0 to 16511");
    expect_refused({"--station", a, "--tamper", "26:0"}, "N (after the colon)");
    expect_refused({"--station", a, "--tamper", "26:"}, "N (after the colon)");
    expect_refused({"--station", a, "--tamper", "x"}, "--tamper x");
    expect_refused({"--station", a, "--tamper", "26", "--tamper", "26:2"}, "given twice");
    const std::string bad = write_temp("radiosim-scn", "tamper = ( 26, 1.5 );\nstations = ();\n");
    expect_refused({"--scenario", bad}, ":1: tamper must be");
    unlink(bad.c_str());
}

// ---- Moving stations from SUMO ----

namespace {

// Why the SUMO test cannot run here, or "" when it can.
std::string sumo_missing()
{
#ifndef V2X_RADIO_SIM_SUMO
    return "radio-sim was built without SUMO: libtracicpp and libsumo/libtraci.h (Debian package "
           "sumo, which scripts/deps installs) were not found when the build was configured";
#else
    if (system("sumo --version >/dev/null 2>&1") != 0 ||
        system("netconvert --version >/dev/null 2>&1") != 0) {
        return "sumo or netconvert is not on the PATH (Debian package sumo; scripts/deps "
               "installs it)";
    }
    return "";
#endif
}

void write_to(const std::string& path, const std::string& text)
{
    std::ofstream f(path);
    f << text;
}

}  // namespace

// Two vehicles leave the middle of a straight road in opposite directions
// at 40 m/s each; SUMO runs 20 times faster than real time. A sends all the
// time: B hears it until they are about the range (300 m) apart, never
// beyond, and nothing once the vehicles have left the 1 km road.
TEST(RadioSimSumo, TwoVehiclesDrivingApartStopHearingEachOtherNearTheRange)
{
    const std::string why = sumo_missing();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    std::string dirTemplate = v2xtest::unique_path("radiosim-sumo") + "XXXXXX";
    ASSERT_NE(mkdtemp(&dirTemplate[0]), nullptr);
    const std::string dir = dirTemplate;
    write_to(dir + "/road.nod.xml",
             "<nodes>\n  <node id=\"w\" x=\"-500\" y=\"0\"/>\n  <node id=\"m\" x=\"0\" y=\"0\"/>\n"
             "  <node id=\"e\" x=\"500\" y=\"0\"/>\n</nodes>\n");
    write_to(dir + "/road.edg.xml",
             "<edges>\n  <edge id=\"east\" from=\"m\" to=\"e\" numLanes=\"1\" speed=\"40\"/>\n"
             "  <edge id=\"west\" from=\"m\" to=\"w\" numLanes=\"1\" speed=\"40\"/>\n</edges>\n");
    write_to(dir + "/road.rou.xml",
             "<routes>\n  <vType id=\"car\" accel=\"10\" decel=\"10\" sigma=\"0\" speedFactor=\"1\" "
             "speedDev=\"0\" maxSpeed=\"40\"/>\n"
             "  <vehicle id=\"veh0\" type=\"car\" depart=\"0\" departSpeed=\"max\"><route "
             "edges=\"east\"/></vehicle>\n"
             "  <vehicle id=\"veh1\" type=\"car\" depart=\"0\" departSpeed=\"max\"><route "
             "edges=\"west\"/></vehicle>\n</routes>\n");
    write_to(dir + "/road.sumocfg",
             "<configuration>\n  <input><net-file value=\"road.net.xml\"/><route-files "
             "value=\"road.rou.xml\"/></input>\n  <time><begin value=\"0\"/><step-length "
             "value=\"0.1\"/></time>\n</configuration>\n");
    const std::string netconvert = "SUMO_HOME=/usr/share/sumo netconvert --xml-validation never -n '" +
                                   dir + "/road.nod.xml' -e '" + dir + "/road.edg.xml' -o '" + dir +
                                   "/road.net.xml' --no-turnarounds true >/dev/null 2>&1";
    ASSERT_EQ(system(netconvert.c_str()), 0) << netconvert;

    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    write_to(dir + "/scenario.cfg",
             "seed = 3;\nmodel = { range_m = 300.0; sensitivity_dbm = -110.0; latency_ms = 1.0; "
             "jitter_ms = 0.0; };\nsumo = { config = \"road.sumocfg\"; speed = 20.0; };\n"
             "stations = (\n" +
                 scenario_station(st[0], "vehicle = \"veh0\";") + ",\n" +
                 scenario_station(st[1], "vehicle = \"veh1\";") + "\n);\n");
    const std::string pcap = dir + "/air.pcapng";
    const std::string stats = dir + "/links.json";
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready({"--scenario", dir + "/scenario.cfg", "--pcap", pcap,
                                 "--link-stats", stats, "--quiet"}));
    // A sends every 2 ms (40 ms of simulated time) until SUMO's run ends.
    int sent = 0;
    for (int i = 0; i < 10000 && sim.running(); ++i) {
        st[0].send(tagged_frame(0, static_cast<uint8_t>(i)));
        ++sent;
        sleep_ms(2);
    }
    EXPECT_EQ(sim.wait_exit(), 0) << sim.err();
    const std::string err = sim.err();
    EXPECT_NE(err.find("vehicle veh0 of station a entered the network"), std::string::npos) << err;
    EXPECT_NE(err.find("vehicle veh1 of station b left the network"), std::string::npos) << err;
    EXPECT_NE(err.find("SUMO's simulation ended"), std::string::npos) << err;

    double nearest = 1e9;
    double farthest = -1.0;
    for (const NgRecord& r : parse_pcapng(read_file(pcap))) {
        const size_t at = r.comment.find(" dist=");
        ASSERT_EQ(r.comment.compare(0, 11, "from=a to=b"), 0) << r.comment;
        ASSERT_NE(at, std::string::npos) << r.comment;
        const double d = atof(r.comment.c_str() + at + 6);
        nearest = std::min(nearest, d);
        farthest = std::max(farthest, d);
    }
    EXPECT_LT(nearest, 100.0);    // heard from the start
    EXPECT_LE(farthest, 300.0);   // never beyond the range
    EXPECT_GE(farthest, 260.0);   // but up to near it (8 m per step at 20x)
    const std::string json = read_file(stats);
    const size_t link = json.find("{\"from\": \"a\", \"to\": \"b\", \"sent\": ");
    ASSERT_NE(link, std::string::npos) << json;
    unsigned long s = 0, delivered = 0, range = 0, model = 0;
    ASSERT_EQ(sscanf(json.c_str() + link,
                     "{\"from\": \"a\", \"to\": \"b\", \"sent\": %lu, \"delivered\": %lu, "
                     "\"dropped_range\": %lu, \"dropped_model\": %lu",
                     &s, &delivered, &range, &model),
              4)
        << json;
    // Frames still in the socket when the run ended were never read.
    EXPECT_LE(s, static_cast<unsigned long>(sent));
    EXPECT_GT(s, static_cast<unsigned long>(sent) / 2);
    EXPECT_GT(delivered, 20u);
    EXPECT_GT(range, 20u);  // out of range, then gone from the network
    EXPECT_EQ(s, delivered + range + model);
    for (const char* f : {"road.nod.xml", "road.edg.xml", "road.rou.xml", "road.sumocfg",
                          "road.net.xml", "scenario.cfg", "air.pcapng", "links.json"}) {
        unlink((dir + "/" + f).c_str());
    }
    rmdir(dir.c_str());
}

// ---- The sidelink model ----

namespace {

// The numbers of one JSON object written on one line: "key": number pairs.
std::map<std::string, double> numbers_of(const std::string& line)
{
    std::map<std::string, double> out;
    size_t at = 0;
    while ((at = line.find('"', at)) != std::string::npos) {
        const size_t end = line.find('"', at + 1);
        if (end == std::string::npos) {
            break;
        }
        const std::string key = line.substr(at + 1, end - at - 1);
        at = end + 1;
        if (line.compare(at, 2, ": ") == 0) {
            char* stop = nullptr;
            const double v = strtod(line.c_str() + at + 2, &stop);
            if (stop != line.c_str() + at + 2) {
                out[key] = v;
            }
        }
    }
    return out;
}

// The first line of what radio-sim said when it refused to start.
std::string refusal(const std::vector<std::string>& args)
{
    SimProcess sim;
    EXPECT_TRUE(sim.start(args));
    EXPECT_EQ(sim.wait_exit(), 2);
    const std::vector<std::string> lines = lines_of(sim.err());
    return lines.empty() ? std::string() : lines[0];
}

}  // namespace

// Each refusal is one line naming the file, the line and the key (a
// scenario) or the key (the command line).
TEST(RadioSimSidelink, RefusesBadModelInputNamingWhereAndTheKey)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    const std::string head = "model = \"sidelink\";\nstations = (\n" +
                             scenario_station(st[0], "position = [ 0.0, 0.0 ];") + ",\n" +
                             scenario_station(st[1], "position = [ 50.0, 0.0 ];") + "\n);\n";
    const struct {
        std::string body;
        std::string want;  // after "FILE:"
    } bad[] = {
        {"sidelink = { subchannels = 5; };\n", "6: sidelink.subchannels = 5"},
        {"sidelink = {\n  mcs = 9;\n  colour = 1;\n};\n", "8: unknown setting sidelink.colour"},
        {"sidelink = { shadow_sigma_db = -2.0; };\n", "6: sidelink.shadow_sigma_db = -2"},
        {"sidelink = { reservation_ms = 100.5; };\n", "6: sidelink.reservation_ms must be a whole"},
    };
    for (const auto& b : bad) {
        const std::string path = write_temp("radiosim-sl", head + b.body);
        const std::string line = refusal({"--scenario", path});
        EXPECT_EQ(line.find("radio-sim: " + path + ":" + b.want), 0u) << line;
        unlink(path.c_str());
    }
    const std::string kind = write_temp("radiosim-sl", "model = \"fancy\";\nstations = ();\n");
    EXPECT_EQ(refusal({"--scenario", kind}).find("radio-sim: " + kind + ":1: model = \"fancy\""),
              0u);
    unlink(kind.c_str());

    const std::vector<std::string> placed = st.args({"--position", "a,0,0", "--position", "b,50,0"});
    auto with = [&placed](std::initializer_list<std::string> more) {
        std::vector<std::string> a = placed;
        a.insert(a.end(), more);
        return a;
    };
    EXPECT_EQ(refusal(with({"--model", "sidelink,subchannels=5"}))
                  .find("radio-sim: --model: subchannels = 5:"),
              0u);
    EXPECT_NE(refusal(with({"--model", "sidelink", "--model", "range_m=300"}))
                  .find("unknown parameter range_m of the sidelink model"),
              std::string::npos);
    EXPECT_NE(refusal(with({"--model", "sidelink,mcs=2.5"})).find("mcs must be a whole number"),
              std::string::npos);
    EXPECT_NE(refusal(with({"--model", "warp"})).find("'warp' is neither"), std::string::npos);
    EXPECT_NE(refusal(st.args({"--model", "sidelink"})).find("needs the stations' positions"),
              std::string::npos);
    // The command line's word wins over the scenario's: simple keys are known again.
    const std::string ok = write_temp("radiosim-sl", head);
    SimProcess sim;
    EXPECT_TRUE(sim.start_ready({"--scenario", ok, "--model", "simple,range_m=300"}));
    EXPECT_EQ(sim.stop(), 0);
    unlink(ok.c_str());
}

// Three stations: a and b 100 m apart, c 3 km away; a and c send, b only
// listens (so no half-duplex loss between a and b). What each receives is
// what the counters say was delivered; every link's transmissions are its
// receptions plus its losses; c hears nothing and is heard by nobody; nothing
// arrives sooner than the end of the next subframe.
TEST(RadioSimSidelink, ThreeStationsDeliverAndTheCountersAddUp)
{
    Stations st(3);
    ASSERT_TRUE(st.ok(3));
    const std::string stats = v2xtest::unique_path("radiosim-sl-links");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args({"--position", "a,0,0", "--position", "b,100,0",
                                         "--position", "c,3000,0", "--model", "sidelink",
                                         "--link-stats", stats, "--quiet"})));
    constexpr int kRounds = 5;
    for (int k = 0; k < kRounds; ++k) {
        ASSERT_TRUE(st[0].send(tagged_frame(0, static_cast<uint8_t>(k))));
        ASSERT_TRUE(st[2].send(tagged_frame(2, static_cast<uint8_t>(k))));
        sleep_ms(100);  // one message per reservation period
    }
    int got[3][3] = {};  // [receiver][sender]
    for (size_t r = 0; r < 3; ++r) {
        for (const Bytes& b : receive_all(st[r], slack_ms(400))) {
            ASSERT_EQ(b.size(), 7u);
            ASSERT_LT(b[5], 3u);
            ++got[r][b[5]];
        }
    }
    EXPECT_EQ(got[1][0], kRounds);  // 100 m, SNR above 30 dB, nobody else near
    EXPECT_EQ(got[0][2] + got[1][2] + got[2][0], 0);
    ASSERT_EQ(sim.stop(), 0);

    const std::vector<std::string> lines = lines_of(read_file(stats));
    unlink(stats.c_str());
    int links = 0;
    double sent = 0;
    for (const std::string& line : lines) {
        if (line.find("{\"from\": ") == std::string::npos) {
            continue;
        }
        std::map<std::string, double> v = numbers_of(line);
        const int from = line[line.find("\"from\": ") + 9] - 'a';
        const int to = line[line.find("\"to\": ") + 7] - 'a';
        ASSERT_TRUE(from >= 0 && from < 3 && to >= 0 && to < 3) << line;
        ++links;
        sent += v["sent"];
        EXPECT_EQ(v["sent"], kRounds) << line;  // each transmission decided for each receiver
        EXPECT_EQ(v["sent"], v["received"] + v["half_duplex"] + v["sensitivity"] +
                                 v["propagation"] + v["collision"])
            << line;
        EXPECT_EQ(v["delivered"], got[to][from]) << line;
        EXPECT_EQ(v["received"], v["delivered"] + v["failed"]) << line;
        if (from == 2 || to == 2) {
            EXPECT_EQ(v["sensitivity"] + v["half_duplex"], kRounds) << line;
        }
    }
    EXPECT_EQ(links, 4);  // a and c to the two others
    bool sawTotal = false;
    bool sawLatency = false;
    for (const std::string& line : lines) {
        std::map<std::string, double> v = numbers_of(line);
        if (line.find("\"total\": {") != std::string::npos) {
            sawTotal = true;
            EXPECT_EQ(v["sent"], sent);
            EXPECT_EQ(v["delivered"], kRounds);
            EXPECT_EQ(v["sent"], v["received"] + v["half_duplex"] + v["sensitivity"] +
                                     v["propagation"] + v["collision"]);
        }
        if (line.find("\"name\": \"a\"") != std::string::npos) {
            EXPECT_EQ(v["messages"], kRounds) << line;
            EXPECT_EQ(v["transmissions"], kRounds) << line;
            EXPECT_GE(v["selections"], 1) << line;
        }
        if (line.find("\"latency_ms\"") != std::string::npos) {
            sawLatency = true;
            EXPECT_EQ(v["count"], kRounds) << line;
            EXPECT_GE(v["min"], 1.0) << line;  // the next subframe at the soonest, then its end
        }
    }
    EXPECT_TRUE(sawTotal);
    EXPECT_TRUE(sawLatency);
}

// ---- Receive records (--rx-record) ----

namespace {

// The 13 bytes radio-sim must put before the frame, built here field by
// field from the header's layout.
Bytes expected_record(uint32_t id, uint8_t flags, int16_t rssi, uint16_t cbr)
{
    const uint16_t r = static_cast<uint16_t>(rssi);
    return Bytes{PROT_TP_RX_REC, V2X_RLINK_RX_REC_VER, V2X_RLINK_RX_REC_LEN, flags, 0, 0,
                 static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 8),
                 static_cast<uint8_t>(id), static_cast<uint8_t>(r >> 8), static_cast<uint8_t>(r),
                 static_cast<uint8_t>(cbr >> 8), static_cast<uint8_t>(cbr)};
}

Bytes concat(const Bytes& a, const Bytes& b)
{
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// The link line from -> to of a --link-stats file.
std::string link_line(const std::string& json, const std::string& from, const std::string& to)
{
    for (const std::string& line : lines_of(json)) {
        if (line.find("{\"from\": \"" + from + "\", \"to\": \"" + to + "\"") !=
            std::string::npos) {
            return line;
        }
    }
    return std::string();
}

// Frames of a given datagram length (a valid DSMP header, filler data).
Bytes frame_of(size_t len)
{
    Bytes f(len, 0x5a);
    f[0] = 0x04;
    f[1] = 0x00;
    f[2] = 0x20;
    f[3] = static_cast<uint8_t>((len - 5) >> 8);
    f[4] = static_cast<uint8_t>(len - 5);
    return f;
}

}  // namespace

// Without positions: the record carries only the sender's default id (the
// base plus its index); a frame that a record would push past the core's
// 2040 bytes goes plain and is counted; the counters name what was sent.
TEST(RadioSimRxRecord, RecordHoldsTheSendersIdThenTheFrameAndLongFramesGoPlain)
{
    Stations st(3);
    ASSERT_TRUE(st.ok(3));
    const std::string stats = v2xtest::unique_path("radiosim-rec-stats");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args({"--rx-record", "--link-stats", stats, "--quiet"})));
    Bytes got;
    ASSERT_TRUE(st[0].send(kFrameAid32));
    const Bytes fromA = concat(expected_record(0x100001, V2X_RLINK_RX_HAS_SRC, 0, 0), kFrameAid32);
    ASSERT_TRUE(st[1].receive(got));
    EXPECT_EQ(got, fromA);
    ASSERT_TRUE(st[2].receive(got));
    EXPECT_EQ(got, fromA);
    ASSERT_TRUE(st[2].send(kFrameAid135));
    ASSERT_TRUE(st[0].receive(got));
    EXPECT_EQ(got, concat(expected_record(0x100003, V2X_RLINK_RX_HAS_SRC, 0, 0), kFrameAid135));
    ASSERT_TRUE(st[1].receive(got));

    const Bytes fits = frame_of(2040 - 13);
    const Bytes tooLong = frame_of(2040 - 12);
    ASSERT_TRUE(st[1].send(fits));
    ASSERT_TRUE(st[0].receive(got));
    EXPECT_EQ(got.size(), 2040u);
    EXPECT_EQ(got, concat(expected_record(0x100002, V2X_RLINK_RX_HAS_SRC, 0, 0), fits));
    ASSERT_TRUE(st[1].send(tooLong));
    ASSERT_TRUE(st[0].receive(got));
    EXPECT_EQ(got, tooLong);
    EXPECT_EQ(sim.stop(), 0);

    const std::string json = read_file(stats);
    unlink(stats.c_str());
    EXPECT_NE(link_line(json, "a", "b").find("\"records\": 1, \"rssi_half_db\": null}"),
              std::string::npos)
        << json;
    EXPECT_NE(link_line(json, "b", "a").find("\"records\": 1, \"rssi_half_db\": null}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"name\": \"c\", \"l2_id\": 1048579}"), std::string::npos) << json;
    EXPECT_NE(json.find("\"rx_record_skipped\": 2,"), std::string::npos) << json;  // b's to a and c
}

// The simple model with positions: a scenario's rx_record and l2_id; the
// RSSI is the sidelink formula at its defaults over the distance; bad
// values are refused.
TEST(RadioSimRxRecord, ScenarioSetsTheIdAndTheSimpleModelGivesTheDistancesRssi)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    const std::string body = "model = { latency_ms = 0.0; jitter_ms = 0.0; };\nstations = (\n" +
                             scenario_station(st[0], "position = [0.0, 0.0]; l2_id = 0xABCDEF;") +
                             ",\n" + scenario_station(st[1], "position = [150.0, 0.0];") + "\n);\n";
    const std::string scenario = write_temp("radiosim-rec", "rx_record = true;\n" + body);
    const std::string stats = v2xtest::unique_path("radiosim-rec-stats");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready({"--scenario", scenario, "--link-stats", stats, "--quiet"}));
    const int16_t rssi = radiosim::rssi_half_db(radiosim::default_rssi_dbm(150.0));
    EXPECT_LT(rssi, -100);  // dozens of dB below the transmit power
    Bytes got;
    ASSERT_TRUE(st[0].send(kFrameAid32));
    ASSERT_TRUE(st[1].receive(got));
    EXPECT_EQ(got, concat(expected_record(0xABCDEF, V2X_RLINK_RX_HAS_SRC | V2X_RLINK_RX_HAS_RSSI,
                                          rssi, 0),
                          kFrameAid32));
    EXPECT_EQ(sim.stop(), 0);
    const std::string json = read_file(stats);
    unlink(stats.c_str());
    unlink(scenario.c_str());
    EXPECT_NE(link_line(json, "a", "b").find("\"records\": 1, \"rssi_half_db\": " +
                                             std::to_string(rssi) + "}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"name\": \"a\", \"l2_id\": 11259375}"), std::string::npos) << json;
    EXPECT_NE(json.find("{\"name\": \"b\", \"l2_id\": 1048578}"), std::string::npos) << json;

    for (const char* bad : {"0x1000000", "-1", "\"7\"", "1.5"}) {
        const std::string f = write_temp(
            "radiosim-rec", "stations = (\n" +
                                scenario_station(st[0], std::string("l2_id = ") + bad + ";") +
                                "\n);\n");
        expect_refused({"--scenario", f}, "l2_id must be a whole number from 0 to 0xFFFFFF");
        unlink(f.c_str());
    }
    const std::string f = write_temp("radiosim-rec", "rx_record = 1;\n" + body);
    expect_refused({"--scenario", f}, "rx_record must be true or false");
    unlink(f.c_str());
}

// The sidelink model: the record's RSSI is the power the model computed for
// that reception (shadowing included: the same seed played here in the
// test), with the receiver's CBR; the link counters say the same RSSI.
TEST(RadioSimRxRecord, SidelinkRecordCarriesTheModelsReceivedPowerAndCbr)
{
    radiosim::SidelinkParams p;
    radiosim::Sidelink model(2, p, 7);
    model.set_position(0, 0.0, 0.0);
    model.set_position(1, 120.0, 0.0);
    struct Sink : radiosim::SlSink {
        double rxDbm = 1.0;
        void on_reception(const radiosim::SlReception& r) override { rxDbm = r.rxDbm; }
    } sink;
    const int64_t sf = model.submit(0, kFrameAid32.size(), 0, 0);
    ASSERT_GT(sf, 0);
    model.run_subframe(sf, sink);
    ASSERT_LT(sink.rxDbm, 0.0);

    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    const std::string stats = v2xtest::unique_path("radiosim-rec-stats");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready(st.args({"--position", "a,0,0", "--position", "b,120,0",
                                         "--model", "sidelink", "--seed", "7", "--rx-record",
                                         "--link-stats", stats, "--quiet"})));
    ASSERT_TRUE(st[0].send(kFrameAid32));
    Bytes got;
    ASSERT_TRUE(st[1].receive(got, slack_ms(kArriveMs)));
    EXPECT_EQ(sim.stop(), 0);
    ASSERT_EQ(got.size(), 13 + kFrameAid32.size());
    const Bytes head = expected_record(0x100001, V2X_RLINK_RX_FLAGS_ALL, 0, 0);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 9), Bytes(head.begin(), head.begin() + 9));
    EXPECT_EQ(Bytes(got.begin() + 13, got.end()), kFrameAid32);
    const int16_t rssi = static_cast<int16_t>((got[9] << 8) | got[10]);
    EXPECT_NEAR(rssi / 2.0, sink.rxDbm, 0.5);
    EXPECT_LE((got[11] << 8) | got[12], 1000);
    const std::string json = read_file(stats);
    unlink(stats.c_str());
    EXPECT_NE(link_line(json, "a", "b").find("\"records\": 1, \"rssi_half_db\": " +
                                             std::to_string(rssi) + "}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"name\": \"b\", \"l2_id\": 1048578, "), std::string::npos) << json;
}

// ---- CBR reports (--cbr-report) ----

namespace {

// The report's fields as read from the wire.
struct CbrReport {
    uint16_t permille = 0;
    uint64_t timeMs = 0;
};

// True when `d` is a well-formed CBR report of 17 bytes (what the core
// takes); its CBR and time go into `out`.
bool parse_cbr_report(const Bytes& d, CbrReport& out)
{
    if (d.size() != 17 || d[0] != PROT_TP_CBR_RPT || d[1] != V2X_RLINK_CBR_RPT_VER ||
        d[2] != V2X_RLINK_CBR_RPT_LEN || d[3] != 0 || d[4] != 0 || d[7] != 0 || d[8] != 0) {
        return false;
    }
    out.permille = static_cast<uint16_t>((d[5] << 8) | d[6]);
    out.timeMs = 0;
    for (size_t k = 9; k < 17; ++k) {
        out.timeMs = (out.timeMs << 8) | d[k];
    }
    return out.permille <= 1000;
}

uint64_t realtime_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

// The number after `"key": ` in the station `name`'s line of a --link-stats
// file; -1 when absent, -2 for null.
long long station_value(const std::string& json, const std::string& name, const std::string& key)
{
    for (const std::string& line : lines_of(json)) {
        if (line.find("{\"name\": \"" + name + "\"") == std::string::npos) {
            continue;
        }
        const size_t at = line.find("\"" + key + "\": ");
        if (at == std::string::npos) {
            return -1;
        }
        const std::string v = line.substr(at + key.size() + 4);
        return v.compare(0, 4, "null") == 0 ? -2 : std::stoll(v);
    }
    return -1;
}

}  // namespace

// The 17 bytes against the layout written out by hand; a CBR above 1000
// never goes out as one the core would drop.
TEST(RadioSimCbrReport, EncoderWritesTheRecordBigEndian)
{
    uint8_t out[radiosim::kCbrReportBytes + 1];
    memset(out, 0xEE, sizeof(out));
    radiosim::write_cbr_report(out, 0x0123, 0x0102030405060708ull);
    const Bytes want = {0x85, 0x01, 0x10, 0x00, 0x00, 0x01, 0x23, 0x00, 0x00,
                        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    EXPECT_EQ(Bytes(out, out + radiosim::kCbrReportBytes), want);
    EXPECT_EQ(out[radiosim::kCbrReportBytes], 0xEE) << "wrote past the datagram";
    radiosim::write_cbr_report(out, 1001, 0);
    EXPECT_EQ(out[5], 0x03);
    EXPECT_EQ(out[6], 0xE8);
    radiosim::write_cbr_report(out, 0, ~0ull);
    EXPECT_EQ(Bytes(out + 9, out + 17), Bytes(8, 0xFF));
}

// A scenario with the sidelink model and cbr_report: each station receives
// reports on its frame port (at least two, each well-formed, measured now);
// a frame on the air shows in the receiver's CBR; --link-stats counts them.
TEST(RadioSimCbrReport, SidelinkStationsGetReportsWithTheModelsCbr)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    const std::string scenario = write_temp(
        "radiosim-cbr", "model = \"sidelink\";\ncbr_report = true;\nstations = (\n" +
                            scenario_station(st[0], "position = [0.0, 0.0];") + ",\n" +
                            scenario_station(st[1], "position = [50.0, 0.0];") + "\n);\n");
    const std::string stats = v2xtest::unique_path("radiosim-cbr-stats");
    SimProcess sim;
    ASSERT_TRUE(sim.start_ready({"--scenario", scenario, "--link-stats", stats, "--quiet"}));
    unlink(scenario.c_str());
    const int waitMs = slack_ms(5000);
    size_t got[2] = {0, 0};
    for (size_t i = 0; i < 2; ++i) {
        Bytes d;
        while (got[i] < 2 && st[i].receive(d, waitMs)) {
            CbrReport r;
            ASSERT_TRUE(parse_cbr_report(d, r)) << "station " << i << ": " << d.size() << " bytes";
            const uint64_t now = realtime_ms();
            EXPECT_LE(r.timeMs, now + 100) << "measured in the future";
            EXPECT_GE(r.timeMs + 5000, now) << "measured long ago";
            ++got[i];
        }
        ASSERT_EQ(got[i], 2u) << "station " << i << " " << sim.err();
    }
    // b hears a's frame: the report whose 100 subframes hold it says so.
    ASSERT_TRUE(st[0].send(kFrameAid32));
    bool frame = false;
    uint16_t busiest = 0;
    Bytes d;
    while (!(frame && busiest > 0) && st[1].receive(d, waitMs)) {
        CbrReport r;
        if (d == kFrameAid32) {
            frame = true;
        } else {
            ASSERT_TRUE(parse_cbr_report(d, r)) << d.size() << " bytes";
            busiest = std::max(busiest, r.permille);
            ++got[1];
        }
    }
    EXPECT_TRUE(frame);
    EXPECT_GT(busiest, 0u) << "a frame on the air 50 m away leaves the CBR at 0";
    EXPECT_EQ(sim.stop(), 0);
    const std::string json = read_file(stats);
    unlink(stats.c_str());
    EXPECT_GE(station_value(json, "a", "cbr_reports"), static_cast<long long>(got[0])) << json;
    EXPECT_GE(station_value(json, "b", "cbr_reports"), static_cast<long long>(got[1])) << json;
    const long long last = station_value(json, "b", "cbr_last_permille");
    EXPECT_GE(last, 0) << json;
    EXPECT_LE(last, 1000) << json;
}

// The simple model has no CBR to report: refused, with or without positions;
// the scenario's key takes only a boolean; --simulate takes neither option.
TEST(RadioSimCbrReport, RefusedWithoutTheSidelinkModel)
{
    Stations st(2);
    ASSERT_TRUE(st.ok(2));
    expect_refused(st.args({"--cbr-report"}), "--cbr-report needs the sidelink model");
    expect_refused(st.args({"--cbr-report", "--position", "a,0,0", "--position", "b,10,0"}),
                   "--cbr-report needs the sidelink model");
    const std::string f = write_temp(
        "radiosim-cbr", "model = \"sidelink\";\ncbr_report = 1;\nstations = (\n" +
                            scenario_station(st[0], "position = [0.0, 0.0];") + "\n);\n");
    expect_refused({"--scenario", f}, "cbr_report must be true or false");
    unlink(f.c_str());
    // The offline run has no stations to send to: refused, not ignored.
    for (const char* opt : {"--cbr-report", "--rx-record"}) {
        expect_refused({"--simulate", "road.cfg", opt}, "--simulate runs vehicles of its own");
    }
}
