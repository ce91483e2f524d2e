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
// With positions (--position, a scenario, or SUMO's vehicles) the channel
// model of channel.h decides for every receiver whether and when the frame
// arrives; the deliveries then wait in a fixed-capacity queue until due.
// Without positions every frame goes to every other station at once, as it
// always did. With --model sidelink the model of sidelink.h plays the air in
// 1 ms subframes counted from the start: a datagram waits in its station's
// module for the resource the module reserved, is decided for every receiver
// when its subframe is played (at the subframe's start) and delivered at the
// subframe's end.
//
// With --rx-record a station's frame reaches the others as a receive-record
// datagram instead (rx_record.h): 0x84, a 12-byte record with the sender's
// layer-2 id and, with the model, the reception's RSSI (and the receiver's
// CBR with sidelink), then the datagram as the station sent it.
//
// With --cbr-report (sidelink model only) each station's module also sends
// its core a CBR report datagram every 100 ms (cbr_report.h): 0x85, a
// 16-byte record with the station's CBR as the model has it and the time of
// the measurement on CLOCK_REALTIME.
//
// One thread, one epoll loop (a timerfd wakes it for the next due delivery,
// injection, replayed frame or SUMO step), one static 65535-byte datagram
// buffer: no allocation per datagram. `radio-sim --help` documents the
// options.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "capture_reader.h"
#include "cbr_report.h"
#include "channel.h"
#include "dsmp_peek.h"
#include "options.h"
#include "pcap_writer.h"
#include "rx_record.h"
#include "simulate.h"
#include "sidelink.h"
#include "sidelink_stats.h"
#ifdef RADIO_SIM_SUMO
#include "sumo_link.h"
#endif

namespace {

using radiosim::AidPeek;
using radiosim::Channel;
using radiosim::DeliveryQueue;
using radiosim::Endpoint;
using radiosim::Options;
using radiosim::PcapWriter;
using radiosim::RxMeta;
using radiosim::kRxRecordBytes;
using radiosim::Sidelink;
using radiosim::SlLoss;
using radiosim::SlReception;
using radiosim::SlRunStats;

constexpr int kExitRuntime = 1;
constexpr int kExitStartup = 2;
constexpr size_t kBufSize = 65535;
constexpr int kDrainPerWakeup = 64;  // datagrams read per socket before polling again
constexpr int kMaxEvents = 256;
// The delivery queue: frames in flight, their bytes, deliveries waiting.
// 150 stations at 10 Hz keep about 700 deliveries waiting; these hold a
// backlog of a second at that rate.
constexpr size_t kQueueFrames = 16384;
constexpr size_t kQueueBytes = 8u << 20;
constexpr size_t kQueuePending = 1u << 18;
constexpr uint64_t kTimerTag = ~0ull;
// Deliveries are sent on a tick of this many nanoseconds: each one at the
// first tick at or after its due time (never early, at most a tick late),
// so that deliveries of frames due close together share a wakeup.
constexpr int64_t kTickNs = 250 * 1000;
// The sidelink model's subframe, and how often each station's CBR is sampled.
constexpr int64_t kSubframeNs = 1000 * 1000;
constexpr int64_t kCbrEverySf = 100;
// A sidelink message's tag: the frame's handle in the delivery queue, and
// whether the frame was stored at all and tampered with.
constexpr uint64_t kTagFrame = 0xFFFFFFFFull;
constexpr uint64_t kTagStored = 1ull << 32;
constexpr uint64_t kTagTampered = 1ull << 33;

volatile sig_atomic_t gStopSignal = 0;

void on_stop_signal(int sig)
{
    gStopSignal = sig;
}

class MonotonicClock : public radiosim::Clock {
public:
    int64_t now_ns() override
    {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
};

struct Station {
    char name[radiosim::kMaxNameLen + 1];
    Endpoint send;
    Endpoint rcv;
    struct sockaddr_in rcvAddr;
    int fd;
};

struct ReplayItem {
    size_t frame;  // index into the capture
    size_t to;     // station
    int64_t offsetNs;
};

// A transmission of the subframe being played: its line and its frame's
// hold wait until its receptions are decided.
struct SlOnAir {
    uint32_t from;
    uint64_t tag;
};

struct Sim {
    Station stations[radiosim::kMaxStations];
    size_t count = 0;
    bool echo = false;
    bool quiet = false;
    bool pcapUplink = false;
    bool modelOn = false;
    PcapWriter pcap;
    unsigned long sendErrors = 0;
    unsigned long queueFull = 0;
    std::unique_ptr<Channel> channel;
    std::unique_ptr<DeliveryQueue> queue;
    // The sidelink model (null with the simple one).
    std::unique_ptr<Sidelink> sl;
    std::unique_ptr<SlRunStats> slStats;
    int64_t slStartNs = 0;  // subframe 0 begins here, on a whole millisecond
    int64_t slNextCbrSf = kCbrEverySf;
    std::vector<SlOnAir> slAir;     // one per station at most
    size_t slAirCur = 0;            // the transmission whose receptions come now
    size_t slToUsed = 0;
    int64_t slAirSf = -1;
    unsigned long slRefused[3] = {};  // too large, queue full, absent: logged once each
    unsigned long slNotStored = 0;
    MonotonicClock clock;
    int epfd = -1;
    int timerfd = -1;
    int64_t armedNs = -1;
    std::vector<radiosim::CapturedFrame> capture;
    std::vector<ReplayItem> replay;
    size_t replayNext = 0;
    std::vector<radiosim::Tamper> tampers;
    // Per --tamper and sending station: frames of that AID seen so far.
    std::vector<uint32_t> tamperSeen;
    // --rx-record: the stations' layer-2 ids and what the records said
    // (null without it).
    std::unique_ptr<radiosim::RxRecordStats> rec;
    // --cbr-report: the reports sent per station (null without it).
    std::unique_ptr<radiosim::CbrReportStats> cbrRpt;
};

Sim gSim;
uint8_t gBuf[kBufSize];
// "to" column: every name plus a comma, bounded by the station limit.
char gToList[radiosim::kMaxStations * (radiosim::kMaxNameLen + 1) + 2];
char gComment[160];
// A delivery with its receive record in one piece, for the capture file.
uint8_t gJoined[radiosim::kCoreDatagramMax];

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

void close_all(Sim& sim)
{
    for (size_t i = 0; i < sim.count; ++i) {
        if (sim.stations[i].fd >= 0) {
            close(sim.stations[i].fd);
            sim.stations[i].fd = -1;
        }
    }
    if (sim.timerfd >= 0) {
        close(sim.timerfd);
        sim.timerfd = -1;
    }
    if (sim.epfd >= 0) {
        close(sim.epfd);
        sim.epfd = -1;
    }
}

// Every station's socket and the timer, in one epoll set; a station's
// index is its event's tag.
bool open_stations(Sim& sim, const Options& opt)
{
    sim.count = 0;
    sim.epfd = epoll_create1(EPOLL_CLOEXEC);
    sim.timerfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (sim.epfd < 0 || sim.timerfd < 0) {
        fprintf(stderr, "radio-sim: epoll/timerfd: %s\n", strerror(errno));
        return false;
    }
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.u64 = kTimerTag;
    if (epoll_ctl(sim.epfd, EPOLL_CTL_ADD, sim.timerfd, &ev) != 0) {
        fprintf(stderr, "radio-sim: epoll_ctl(): %s\n", strerror(errno));
        return false;
    }
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
        ev.events = EPOLLIN;
        ev.data.u64 = sim.count - 1;
        if (epoll_ctl(sim.epfd, EPOLL_CTL_ADD, st.fd, &ev) != 0) {
            fprintf(stderr, "radio-sim: station %s: epoll_ctl(): %s\n", st.name, strerror(errno));
            return false;
        }
    }
    return true;
}

void print_frame(const Sim& sim, const struct timespec& when, const char* from,
                 const uint8_t* bytes, size_t len)
{
    if (sim.quiet) {
        return;
    }
    AidPeek peek = radiosim::peek_aid(bytes, len);
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
    if (gSim.quiet) {
        return;  // the list is only printed
    }
    const size_t room = sizeof(gToList) - used;
    int n = snprintf(gToList + used, room, "%s%s", used == 0 ? "" : ",", name);
    if (n > 0 && static_cast<size_t>(n) < room) {
        used += static_cast<size_t>(n);
    }
}

void record(Sim& sim, const struct timespec& when, uint32_t srcAddr, uint16_t srcPort,
            uint32_t dstAddr, uint16_t dstPort, const uint8_t* bytes, size_t len,
            const char* comment)
{
    if (sim.pcap.is_open() &&
        !sim.pcap.record(when, srcAddr, srcPort, dstAddr, dstPort, bytes, len, comment)) {
        fprintf(stderr, "radio-sim: cannot write the pcap file (%s); recording stops\n",
                strerror(errno));
    }
}

// The pcapng comment of a delivery; null for a classic pcap.
const char* delivery_comment(const Sim& sim, const char* from, size_t to, double distanceM)
{
    if (!sim.pcap.is_open() || !sim.pcap.is_pcapng()) {
        return nullptr;
    }
    if (distanceM >= 0.0) {
        snprintf(gComment, sizeof(gComment), "from=%s to=%s dist=%.1f", from,
                 sim.stations[to].name, distanceM);
    } else {
        snprintf(gComment, sizeof(gComment), "from=%s to=%s", from, sim.stations[to].name);
    }
    return gComment;
}

// --rx-record: writes into `hdr` (kRxRecordBytes) the record of a delivery
// of station `from`'s datagram of `len` bytes. False when it goes plain:
// no --rx-record, or the record would make it too long for the core
// (counted as skipped).
bool make_record(Sim& sim, size_t from, size_t len, const RxMeta& meta, uint8_t* hdr)
{
    if (!sim.rec) {
        return false;
    }
    if (!radiosim::fits_rx_record(len)) {
        sim.rec->count_skipped();
        return false;
    }
    radiosim::write_rx_record(hdr, sim.rec->l2_id(from), meta);
    return true;
}

// The record and the datagram as one buffer (for the capture file); the
// bytes themselves without a record. A record only comes with a datagram
// that fits gJoined.
const uint8_t* joined(const uint8_t* hdr, const uint8_t* bytes, size_t len, size_t& outLen)
{
    if (hdr == nullptr) {
        outLen = len;
        return bytes;
    }
    memcpy(gJoined, hdr, kRxRecordBytes);
    if (len > 0) {
        memcpy(gJoined + kRxRecordBytes, bytes, len);
    }
    outLen = kRxRecordBytes + len;
    return gJoined;
}

// Sends `len` bytes to station `to` from its module socket, behind the
// receive record `hdr` when given; records it. False when the send failed.
bool deliver_one(Sim& sim, size_t to, const uint8_t* bytes, size_t len,
                 const struct timespec& when, const char* comment,
                 const uint8_t* hdr = nullptr)
{
    Station& st = sim.stations[to];
    struct iovec iov[2];
    int k = 0;
    if (hdr != nullptr) {
        iov[k].iov_base = const_cast<uint8_t*>(hdr);
        iov[k++].iov_len = kRxRecordBytes;
    }
    iov[k].iov_base = const_cast<uint8_t*>(bytes);
    iov[k++].iov_len = len;
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_name = &st.rcvAddr;
    msg.msg_namelen = sizeof(st.rcvAddr);
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(k);
    const size_t total = len + (hdr != nullptr ? kRxRecordBytes : 0);
    ssize_t n = sendmsg(st.fd, &msg, 0);
    if (n < 0 || static_cast<size_t>(n) != total) {
        ++sim.sendErrors;
        fprintf(stderr, "radio-sim: delivery of %zu bytes to station %s (%s) failed: %s\n", total,
                st.name, radiosim::endpoint_text(st.rcv).c_str(),
                n < 0 ? strerror(errno) : "short send");
        return false;
    }
    size_t recLen = 0;
    const uint8_t* rec = joined(hdr, bytes, len, recLen);
    record(sim, when, st.send.addr, st.send.port, st.rcv.addr, st.rcv.port, rec, recLen, comment);
    return true;
}

// --tamper: when the datagram of `len` bytes in gBuf, from station `from`,
// is the chosen frame of its AID, flips the lowest bit of its last data byte
// (inside the signature of a signed record) and says so. True when it did.
bool tamper(Sim& sim, size_t from, size_t len)
{
    if (sim.tampers.empty()) {
        return false;
    }
    radiosim::DataPeek d;
    if (!radiosim::peek_data(gBuf, len, d)) {
        return false;
    }
    for (size_t t = 0; t < sim.tampers.size(); ++t) {
        if (sim.tampers[t].aid != d.aid.aid) {
            continue;
        }
        // Counting stops at N: a long run never wraps it around to N again.
        uint32_t& seen = sim.tamperSeen[t * sim.count + from];
        if (seen >= sim.tampers[t].nth || ++seen != sim.tampers[t].nth) {
            return false;
        }
        const size_t at = d.off + d.len - 1;
        gBuf[at] ^= 0x01u;
        fprintf(stderr,
                "radio-sim: tampered with frame %u of AID %u from station %s: bit 0 of its "
                "last data byte (datagram byte %zu) flipped, 0x%02x -> 0x%02x\n",
                static_cast<unsigned>(seen), static_cast<unsigned>(d.aid.aid),
                sim.stations[from].name, at, static_cast<unsigned>(gBuf[at] ^ 0x01u),
                static_cast<unsigned>(gBuf[at]));
        return true;
    }
    return false;
}

// ---- The sidelink model ----

// The line of a transmission (its receivers gathered in gToList), then a
// fresh list for the next one.
void sl_print_line(Sim& sim, const SlOnAir& a)
{
    if (!sim.quiet && (a.tag & kTagStored) != 0) {
        size_t len = 0;
        const uint32_t frame = static_cast<uint32_t>(a.tag & kTagFrame);
        const uint8_t* bytes = sim.queue->frame_bytes(frame, len);
        print_frame(sim, now_realtime(), sim.stations[a.from].name, bytes, len);
    }
    gToList[0] = '\0';
    sim.slToUsed = 0;
}

// Once a subframe's receptions are decided: the lines not yet printed, and
// each transmission's hold on its frame ends (its deliveries hold their own).
void sl_flush_air(Sim& sim)
{
    while (sim.slAirCur < sim.slAir.size()) {
        sl_print_line(sim, sim.slAir[sim.slAirCur++]);
    }
    for (const SlOnAir& a : sim.slAir) {
        if ((a.tag & kTagStored) != 0) {
            sim.queue->release(static_cast<uint32_t>(a.tag & kTagFrame));
        }
    }
    sim.slAir.clear();
    sim.slAirCur = 0;
    sim.slAirSf = -1;
}

// What the model reports while it plays: each transmission, then each of
// its receptions. A decoded one is delivered at the end of its subframe.
class SlDeliver : public radiosim::SlSink {
public:
    explicit SlDeliver(Sim& aioSim) : sim_(aioSim) {}

    void on_transmit(uint32_t from, uint64_t tag, int64_t sf, int64_t, int, int) override
    {
        if (sf != sim_.slAirSf) {
            sl_flush_air(sim_);  // several subframes played at once: one after the other
            sim_.slAirSf = sf;
        }
        sim_.slAir.push_back(SlOnAir{from, tag});  // one per station: within its capacity
    }

    // A message whose station left before its subframe: its frame goes.
    void on_drop(uint32_t, uint64_t tag, int64_t) override
    {
        if ((tag & kTagStored) != 0) {
            sim_.queue->release(static_cast<uint32_t>(tag & kTagFrame));
        }
    }

    void on_reception(const SlReception& r) override
    {
        sim_.slStats->count_reception(r, (r.tag & kTagTampered) != 0);
        if (r.loss != SlLoss::kNone) {
            return;
        }
        const uint32_t frame = static_cast<uint32_t>(r.tag & kTagFrame);
        const int64_t due = sim_.slStartNs + (r.subframe + 1) * kSubframeNs;
        // --rx-record: the power the model computed for this reception and
        // the receiver's CBR as the model has it now.
        RxMeta meta;
        if (sim_.rec) {
            meta.flags = radiosim::kRxHasRssi | radiosim::kRxHasCbr;
            meta.rssiHalfDb = radiosim::rssi_half_db(r.rxDbm);
            meta.cbrPermille = radiosim::cbr_permille(sim_.sl->cbr(r.to, r.subframe));
        }
        if ((r.tag & kTagStored) == 0 ||
            !sim_.queue->schedule(frame, static_cast<uint16_t>(r.to), due, r.distanceM, meta)) {
            sim_.slStats->count_failed(r.from, r.to);
            if ((r.tag & kTagStored) != 0 && sim_.queueFull++ == 0) {
                fprintf(stderr, "radio-sim: the delivery queue is full: deliveries are dropped "
                                "(counted as failed)\n");
            }
            return;
        }
        // Receptions come grouped by transmission, in the order they went out.
        while (sim_.slAirCur < sim_.slAir.size() && sim_.slAir[sim_.slAirCur].from != r.from) {
            sl_print_line(sim_, sim_.slAir[sim_.slAirCur++]);
        }
        append_to_list(sim_.slToUsed, sim_.stations[r.to].name);
    }

private:
    Sim& sim_;
};

// A datagram of `len` bytes in gBuf, from station `from`, goes to its
// module: stored once, it waits for the resource the model gives it.
void forward_sidelink(Sim& sim, size_t from, size_t len, bool tampered)
{
    const int64_t now = sim.clock.now_ns();
    const int64_t nowSf = (now - sim.slStartNs) / kSubframeNs;
    uint32_t frame = 0;
    const bool stored = sim.queue->add_frame(gBuf, len, static_cast<uint16_t>(from), now, frame);
    const uint64_t tag = (stored ? kTagStored | frame : 0) | (tampered ? kTagTampered : 0);
    // The cause of a refusal, should there be one (the model's order).
    const int cause = !sim.sl->present(from) ? 2 : sim.sl->subchannels_for(len) == 0 ? 0 : 1;
    const int64_t sf = sim.sl->submit(from, len, nowSf, tag);
    if (sf < 0) {
        if (stored) {
            sim.queue->drop_if_unused(frame);
        }
        static const char* const kWhy[3] = {
            "it needs more sub-channels than the channel has",
            "its module already has the most messages waiting for their resources",
            "the station is absent (its vehicle is not in SUMO's network)"};
        if (sim.slRefused[cause]++ == 0) {
            fprintf(stderr,
                    "radio-sim: station %s's module refused a frame of %zu bytes: %s (counted "
                    "per station in --link-stats; said once)\n",
                    sim.stations[from].name, len, kWhy[cause]);
        }
        return;
    }
    if (stored) {
        sim.queue->hold(frame);
    } else if (sim.slNotStored++ == 0) {
        fprintf(stderr, "radio-sim: the delivery queue is full: frames go on the air, their "
                        "deliveries are dropped (counted as failed)\n");
    }
    // The frame's hold ends when it goes on the air (sl_flush_air) or when
    // the model drops it because its station left (SlDeliver::on_drop).
}

// --cbr-report: each present station's module tells its core the CBR the
// model has for it at subframe `sf`, measured now, sent from the module's
// socket to where the station receives its frames.
void send_cbr_reports(Sim& sim, int64_t sf)
{
    const struct timespec when = now_realtime();
    const uint64_t nowMs = static_cast<uint64_t>(when.tv_sec) * 1000u +
                           static_cast<uint64_t>(when.tv_nsec / 1000000);
    uint8_t dgram[radiosim::kCbrReportBytes];
    for (size_t i = 0; i < sim.count; ++i) {
        if (!sim.sl->present(i)) {
            continue;  // its vehicle is not on the road: nothing measured
        }
        const uint16_t permille = radiosim::cbr_permille(sim.sl->cbr(i, sf));
        radiosim::write_cbr_report(dgram, permille, nowMs);
        const char* comment = nullptr;
        if (sim.pcap.is_open() && sim.pcap.is_pcapng()) {
            snprintf(gComment, sizeof(gComment), "cbr-report to=%s", sim.stations[i].name);
            comment = gComment;
        }
        if (deliver_one(sim, i, dgram, sizeof(dgram), when, comment)) {
            sim.cbrRpt->count(i, permille);
        }
    }
}

// Plays the subframes due by now, then samples the CBR every 100 ms (and
// reports it with --cbr-report: once after a stall of several periods).
void sl_turn(Sim& sim, int64_t now)
{
    const int64_t nowSf = (now - sim.slStartNs) / kSubframeNs;
    const int64_t next = sim.sl->next_subframe();
    if (next >= 0 && next <= nowSf) {
        SlDeliver sink(sim);
        sim.sl->run_subframe(nowSf, sink);
        sl_flush_air(sim);
    }
    bool sampled = false;
    while (sim.slNextCbrSf <= nowSf) {
        sim.slStats->sample_cbr(*sim.sl, sim.slNextCbrSf);
        sim.slNextCbrSf += kCbrEverySf;
        sampled = true;
    }
    // Over the 100 subframes up to the last sample: consecutive reports
    // cover the air without a gap or an overlap, however late a wakeup.
    if (sampled && sim.cbrRpt) {
        send_cbr_reports(sim, sim.slNextCbrSf - kCbrEverySf);
    }
}

#ifdef RADIO_SIM_SUMO
// The vehicles' stations where the simple model's positions say (SUMO
// moves those); a station that leaves ends its reservation.
void sl_sync_positions(Sim& sim, const Options& opt)
{
    if (!sim.sl) {
        return;
    }
    for (size_t i = 0; i < sim.count; ++i) {
        if (opt.stations[i].vehicle.empty()) {
            continue;
        }
        if (sim.channel->present(i)) {
            sim.sl->set_position(i, sim.channel->x(i), sim.channel->y(i));
        } else if (sim.sl->present(i)) {
            sim.sl->set_absent(i);
        }
    }
}
#endif

// A datagram of `len` bytes in gBuf arrived at station `from`'s module.
void forward(Sim& sim, size_t from, size_t len, const struct sockaddr_in& peer)
{
    const struct timespec when = now_realtime();
    const Station& src = sim.stations[from];
    if (sim.pcapUplink && sim.pcap.is_open()) {
        const char* comment = nullptr;
        if (sim.pcap.is_pcapng()) {
            snprintf(gComment, sizeof(gComment), "uplink from=%s", src.name);
            comment = gComment;
        }
        record(sim, when, ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port), src.send.addr,
               src.send.port, gBuf, len, comment);
    }
    // After the uplink record: that one keeps the frame as the station sent it.
    const bool tampered = tamper(sim, from, len);
    if (sim.sl) {
        forward_sidelink(sim, from, len, tampered);  // its line comes when it goes on the air
        return;
    }
    size_t used = 0;
    gToList[0] = '\0';
    Channel& ch = *sim.channel;
    if (!sim.modelOn) {
        // No positions: the record has the source only.
        const RxMeta meta;
        uint8_t hdr[kRxRecordBytes];
        for (size_t i = 0; i < sim.count; ++i) {
            if (i != from || sim.echo) {
                ++ch.counters(from, i).sent;
                ch.counters(from, i).tampered += tampered ? 1 : 0;
                const bool withRec = make_record(sim, from, len, meta, hdr);
                if (deliver_one(sim, i, gBuf, len, when, delivery_comment(sim, src.name, i, -1.0),
                                withRec ? hdr : nullptr)) {
                    append_to_list(used, sim.stations[i].name);
                    ch.count_delivered(from, i, -1.0, 0, 0);
                    if (withRec) {
                        sim.rec->count(from, i, meta);
                    }
                } else {
                    ++ch.counters(from, i).failed;
                }
            }
        }
        print_frame(sim, when, src.name, gBuf, len);
        return;
    }
    const int64_t now = sim.clock.now_ns();
    uint32_t frame = 0;
    const bool stored = sim.queue->add_frame(gBuf, len, static_cast<uint16_t>(from), now, frame);
    ch.begin_frame(from);
    for (size_t i = 0; i < sim.count; ++i) {
        if (i == from && !sim.echo) {
            continue;
        }
        const radiosim::Decision d = ch.decide(from, i);
        ch.counters(from, i).tampered += tampered ? 1 : 0;
        if (d.verdict != radiosim::Verdict::kDeliver) {
            continue;
        }
        // --rx-record: the sidelink model's power at its defaults over this
        // distance, without shadowing (the simple model has no power of its
        // own per reception).
        RxMeta meta;
        if (sim.rec) {
            meta.flags = radiosim::kRxHasRssi;
            meta.rssiHalfDb = radiosim::rssi_half_db(radiosim::default_rssi_dbm(d.distanceM));
        }
        if (!stored || !sim.queue->schedule(frame, static_cast<uint16_t>(i), now + d.delayNs,
                                            d.distanceM, meta)) {
            ++ch.counters(from, i).failed;
            if (sim.queueFull++ == 0) {
                fprintf(stderr, "radio-sim: the delivery queue is full: deliveries are dropped "
                                "(counted as failed)\n");
            }
            continue;
        }
        append_to_list(used, sim.stations[i].name);
    }
    if (stored) {
        sim.queue->drop_if_unused(frame);
    }
    print_frame(sim, when, src.name, gBuf, len);
}

// Sends every delivery that is due, up to kBatch at a time: each run of
// deliveries of the same sender goes out in one sendmmsg() from the sender's
// module socket (without the model, deliveries leave from the receiver's).
constexpr int kBatch = 64;
DeliveryQueue::Due gDue[kBatch];
struct mmsghdr gMsgs[kBatch];
struct iovec gIov[kBatch][2];
bool gSent[kBatch];
uint8_t gHdr[kBatch][kRxRecordBytes];
bool gWithRec[kBatch];

void run_due(Sim& sim)
{
    if (!sim.queue) {
        return;
    }
    while (true) {
        const int64_t now = sim.clock.now_ns();
        int n = 0;
        while (n < kBatch && sim.queue->pop_due(now, gDue[n])) {
            const DeliveryQueue::Due& d = gDue[n];
            gWithRec[n] = make_record(sim, d.from, d.len, d.meta, gHdr[n]);
            size_t k = 0;
            if (gWithRec[n]) {
                gIov[n][k].iov_base = gHdr[n];
                gIov[n][k++].iov_len = kRxRecordBytes;
            }
            gIov[n][k].iov_base = const_cast<uint8_t*>(d.bytes);
            gIov[n][k++].iov_len = d.len;
            memset(&gMsgs[n], 0, sizeof(gMsgs[n]));
            gMsgs[n].msg_hdr.msg_iov = gIov[n];
            gMsgs[n].msg_hdr.msg_iovlen = k;
            gMsgs[n].msg_hdr.msg_name = &sim.stations[d.to].rcvAddr;
            gMsgs[n].msg_hdr.msg_namelen = sizeof(sim.stations[d.to].rcvAddr);
            gSent[n] = false;
            ++n;
        }
        if (n == 0) {
            return;
        }
        for (int i = 0; i < n;) {
            int j = i + 1;
            while (j < n && gDue[j].from == gDue[i].from) {
                ++j;
            }
            const int r = sendmmsg(sim.stations[gDue[i].from].fd, gMsgs + i,
                                   static_cast<unsigned>(j - i), 0);
            if (r > 0) {
                for (int k = i; k < i + r; ++k) {
                    gSent[k] = gMsgs[k].msg_len ==
                               gDue[k].len + (gWithRec[k] ? kRxRecordBytes : 0);
                }
                i += r;
                continue;
            }
            const Station& st = sim.stations[gDue[i].to];
            ++sim.sendErrors;
            fprintf(stderr, "radio-sim: delivery of %zu bytes to station %s (%s) failed: %s\n",
                    gDue[i].len, st.name, radiosim::endpoint_text(st.rcv).c_str(),
                    strerror(errno));
            ++i;  // that one failed; the rest of the run goes on
        }
        const int64_t after = sim.clock.now_ns();
        const struct timespec when = now_realtime();
        for (int k = 0; k < n; ++k) {
            const DeliveryQueue::Due& d = gDue[k];
            if (gSent[k]) {
                // As it went: from the sender's module to the receiver.
                const Station& src = sim.stations[d.from];
                const Station& st = sim.stations[d.to];
                size_t recLen = 0;
                const uint8_t* rec =
                    joined(gWithRec[k] ? gHdr[k] : nullptr, d.bytes, d.len, recLen);
                record(sim, when, src.send.addr, src.send.port, st.rcv.addr, st.rcv.port, rec,
                       recLen, delivery_comment(sim, src.name, d.to, d.distanceM));
                if (gWithRec[k]) {
                    sim.rec->count(d.from, d.to, d.meta);
                }
                if (sim.sl) {
                    sim.slStats->count_delivered(d.from, d.to, d.distanceM, after - d.sentNs,
                                                 after - d.dueNs);
                } else {
                    sim.channel->count_delivered(d.from, d.to, d.distanceM, after - d.sentNs,
                                                 after - d.dueNs);
                }
            } else if (sim.sl) {
                sim.slStats->count_failed(d.from, d.to);
            } else {
                ++sim.channel->counters(d.from, d.to).failed;
            }
            sim.queue->release(d.frame);
        }
        if (n < kBatch) {
            return;
        }
    }
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
            if (deliver_one(sim, i, gBuf, len, when, delivery_comment(sim, "@inject", i, -1.0))) {
                append_to_list(used, sim.stations[i].name);
            }
        }
    }
    print_frame(sim, when, "@inject", gBuf, len);
}

// Delivers the replayed frames due `elapsedNs` after the replay began.
void replay_due(Sim& sim, int64_t elapsedNs)
{
    while (sim.replayNext < sim.replay.size() &&
           sim.replay[sim.replayNext].offsetNs <= elapsedNs) {
        const ReplayItem& it = sim.replay[sim.replayNext++];
        const radiosim::CapturedFrame& f = sim.capture[it.frame];
        const struct timespec when = now_realtime();
        size_t used = 0;
        gToList[0] = '\0';
        const uint8_t* bytes = f.payload.empty() ? gBuf : f.payload.data();
        if (deliver_one(sim, it.to, bytes, f.payload.size(), when,
                        delivery_comment(sim, "@replay", it.to, -1.0))) {
            append_to_list(used, sim.stations[it.to].name);
        }
        print_frame(sim, when, "@replay", bytes, f.payload.size());
    }
}

// Maps each delivery of the capture to the station that received it: by the
// receiver named in a pcapng comment, else by its receive address. Frames as
// the stations sent them (--pcap-uplink) and frames for stations not given
// are left out, and counted.
bool load_replay(Sim& sim, const Options& opt, std::string& err)
{
    if (!radiosim::read_capture(opt.replayPath, sim.capture, err)) {
        return false;
    }
    size_t uplink = 0;
    size_t unknown = 0;
    size_t reports = 0;
    for (size_t k = 0; k < sim.capture.size(); ++k) {
        const radiosim::CapturedFrame& f = sim.capture[k];
        if (f.comment.compare(0, 7, "uplink ") == 0) {
            ++uplink;
            continue;
        }
        // --cbr-report's reports: a measurement of back then, not a frame.
        if (!f.payload.empty() && f.payload[0] == radiosim::kCbrReportType) {
            ++reports;
            continue;
        }
        const std::string toName = radiosim::comment_field(f.comment, "to");
        size_t to = sim.count;
        for (size_t i = 0; i < sim.count; ++i) {
            const Station& st = sim.stations[i];
            if (!toName.empty() ? toName == st.name
                                : (st.rcv.addr == f.dstAddr && st.rcv.port == f.dstPort)) {
                to = i;
            }
            if (toName.empty() && st.send.addr == f.dstAddr && st.send.port == f.dstPort) {
                ++uplink;  // sent to a station's module: a classic pcap's uplink record
                to = sim.count + 1;
                break;
            }
        }
        if (to == sim.count) {
            ++unknown;
        }
        if (to >= sim.count) {
            continue;
        }
        const int64_t t0 = sim.capture[0].tsNs;
        sim.replay.push_back(ReplayItem{k, to, f.tsNs - t0});
    }
    // The spacing counts from the first frame replayed.
    if (!sim.replay.empty()) {
        const int64_t first = sim.replay[0].offsetNs;
        for (ReplayItem& it : sim.replay) {
            it.offsetNs -= first;
        }
    }
    fprintf(stderr,
            "radio-sim: replaying %zu frames of %s over %.3f s (%zu uplink records and %zu for "
            "stations not given left out)\n",
            sim.replay.size(), opt.replayPath.c_str(),
            sim.replay.empty() ? 0.0 : static_cast<double>(sim.replay.back().offsetNs) / 1e9,
            uplink, unknown);
    if (reports != 0) {
        fprintf(stderr, "radio-sim: %zu CBR reports of the capture are not replayed\n", reports);
    }
    return true;
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
        const radiosim::StationCfg& cfg = opt.stations[i];
        if (!opt.modelOn) {
            fprintf(stderr, "radio-sim: station %s: listens on %s, delivers to %s\n", st.name,
                    radiosim::endpoint_text(st.send).c_str(),
                    radiosim::endpoint_text(st.rcv).c_str());
        } else if (!cfg.vehicle.empty()) {
            fprintf(stderr, "radio-sim: station %s: listens on %s, delivers to %s, vehicle %s\n",
                    st.name, radiosim::endpoint_text(st.send).c_str(),
                    radiosim::endpoint_text(st.rcv).c_str(), cfg.vehicle.c_str());
        } else {
            fprintf(stderr, "radio-sim: station %s: listens on %s, delivers to %s, at %.1f,%.1f m\n",
                    st.name, radiosim::endpoint_text(st.send).c_str(),
                    radiosim::endpoint_text(st.rcv).c_str(), cfg.x, cfg.y);
        }
    }
    if (opt.sidelinkOn()) {
        const radiosim::SidelinkParams& p = opt.sidelink;
        fprintf(stderr,
                "radio-sim: channel model: sidelink, seed %llu, %d sub-channels of %d resource "
                "blocks, MCS %d, %.1f dBm, reservations every %d ms; a frame waits for its "
                "station's resource and is delivered at the end of its 1 ms subframe\n",
                static_cast<unsigned long long>(opt.seed), p.subchannels, p.subchannelRbs, p.mcs,
                p.txPowerDbm, p.reservationMs);
    } else if (opt.modelOn) {
        const radiosim::ModelParams& m = opt.model;
        fprintf(stderr,
                "radio-sim: channel model: seed %llu, half the frames arrive at %.1f m, none "
                "beyond %.1f m, latency %.3f ms + up to %.3f ms\n",
                static_cast<unsigned long long>(opt.seed), radiosim::distance_at(m, 0.5),
                radiosim::effective_range(m), m.latencyMs, m.jitterMs);
    }
    if (opt.cbrReport) {
        fprintf(stderr, "radio-sim: every 100 ms each station gets a CBR report (0x85)\n");
    }
    for (const radiosim::Tamper& t : opt.tampers) {
        fprintf(stderr, "radio-sim: frame %u of AID %u from each station will be tampered with\n",
                static_cast<unsigned>(t.nth), static_cast<unsigned>(t.aid));
    }
    if (!opt.pcapPath.empty()) {
        fprintf(stderr, "radio-sim: recording to %s (%s, LINKTYPE_IPV4)\n", opt.pcapPath.c_str(),
                sim.pcap.is_pcapng() ? "pcapng, a comment per record" : "pcap");
    }
    fprintf(stderr, "radio-sim: ready\n");
}

// Arms the timer for `atNs` (monotonic), or disarms it for -1.
void arm_timer(Sim& sim, int64_t atNs)
{
    if (atNs == sim.armedNs) {
        return;
    }
    struct itimerspec its;
    memset(&its, 0, sizeof(its));
    if (atNs >= 0) {
        // 0 would disarm: an instant already past fires at once as 1 ns.
        const int64_t t = atNs > 0 ? atNs : 1;
        its.it_value.tv_sec = static_cast<time_t>(t / 1000000000);
        its.it_value.tv_nsec = static_cast<long>(t % 1000000000);
    }
    timerfd_settime(sim.timerfd, TFD_TIMER_ABSTIME, &its, nullptr);
    sim.armedNs = atNs;
}

bool write_link_stats(Sim& sim, const Options& opt)
{
    std::vector<std::string> names;
    for (size_t i = 0; i < sim.count; ++i) {
        names.push_back(sim.stations[i].name);
    }
    const std::string json =
        sim.sl ? radiosim::sidelink_json(*sim.sl, *sim.slStats, names, opt.seed,
                                         (sim.clock.now_ns() - sim.slStartNs) / kSubframeNs,
                                         sim.rec.get(), sim.cbrRpt.get())
               : radiosim::counters_json(*sim.channel, names, opt.modelOn, opt.seed,
                                         sim.rec.get());
    FILE* f = fopen(opt.linkStatsPath.c_str(), "w");
    bool ok = f != nullptr && fwrite(json.data(), json.size(), 1, f) == 1;
    if (f != nullptr) {
        ok = fclose(f) == 0 && ok;
    }
    if (!ok) {
        fprintf(stderr, "radio-sim: cannot write the link counters to %s: %s\n",
                opt.linkStatsPath.c_str(), strerror(errno));
    }
    return ok;
}

// More descriptors than the default 1024 for many stations.
void raise_fd_limit(size_t stations)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < stations + 64) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// --help, --version, or SUMO asked of a radio-sim without it: the exit
// status; -1 to run.
int answer_early(const Options& opt)
{
    if (opt.help) {
        fputs(radiosim::usage_text(), stdout);
#ifdef RADIO_SIM_SUMO
        fputs("\nThis radio-sim was built with SUMO support (--sumo, --sumo-port).\n", stdout);
#else
        fputs("\nThis radio-sim was built without SUMO support (--sumo, --sumo-port).\n", stdout);
#endif
        return 0;
    }
    if (opt.version) {
        printf("radio-sim (vestra) %s\n", V2X_VERSION);
        return 0;
    }
#ifndef RADIO_SIM_SUMO
    if (opt.sumoWanted()) {
        fprintf(stderr, "radio-sim: this radio-sim was built without SUMO support (libtracicpp "
                        "and its headers were not found when it was configured)\n");
        return kExitStartup;
    }
#endif
    return -1;
}

// SIGINT and SIGTERM are blocked except inside epoll_pwait() (with the mask
// returned in aopWaitMask), so a stop request is never lost between the
// flag test and the wait.
void take_stop_signals(sigset_t* aopWaitMask)
{
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSet, aopWaitMask);
    sigdelset(aopWaitMask, SIGINT);
    sigdelset(aopWaitMask, SIGTERM);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// The loop's timetable: the injections, the replay, the end, SUMO's steps.
struct Schedule {
    int64_t injectAt = 0;
    bool timed = false;
    int64_t deadline = 0;
    bool injected = false;
    bool replayed = false;
#ifdef RADIO_SIM_SUMO
    radiosim::SumoLink sumo;
    int64_t stepNs = 0;
    int64_t nextStep = 0;
#endif
};

// The channel, the queue, the sockets, the capture file, the replay and
// SUMO; false after a line on stderr.
bool start_sim(Sim& sim, const Options& opt, Schedule& sch)
{
    sim.echo = opt.echo;
    sim.quiet = opt.quiet;
    sim.pcapUplink = opt.pcapUplink;
    sim.modelOn = opt.modelOn;
    sim.tampers = opt.tampers;
    sim.tamperSeen.assign(opt.tampers.size() * opt.stations.size(), 0);
    if (opt.rxRecord) {
        std::vector<uint32_t> ids;
        for (const radiosim::StationCfg& cfg : opt.stations) {
            ids.push_back(cfg.l2Id);
        }
        sim.rec.reset(new radiosim::RxRecordStats(opt.stations.size(), ids));
    }
    if (opt.cbrReport) {
        sim.cbrRpt.reset(new radiosim::CbrReportStats(opt.stations.size()));
    }
    for (size_t i = 0; i < radiosim::kMaxStations; ++i) {
        sim.stations[i].fd = -1;
    }
    raise_fd_limit(opt.stations.size());
    sim.channel.reset(new Channel(opt.stations.size(), opt.model, opt.seed));
    for (size_t i = 0; i < opt.stations.size(); ++i) {
        const radiosim::StationCfg& cfg = opt.stations[i];
        if (cfg.vehicle.empty()) {
            sim.channel->set_position(i, cfg.x, cfg.y);
        } else {
            sim.channel->set_absent(i);  // until SUMO says where its vehicle is
        }
    }
    if (sim.modelOn) {
        sim.queue.reset(new DeliveryQueue(kQueueFrames, kQueueBytes, kQueuePending));
    }
    if (opt.sidelinkOn()) {
        const size_t n = opt.stations.size();
        sim.sl.reset(new Sidelink(n, opt.sidelink, opt.seed));
        for (size_t i = 0; i < n; ++i) {
            const radiosim::StationCfg& cfg = opt.stations[i];
            if (cfg.vehicle.empty()) {
                sim.sl->set_position(i, cfg.x, cfg.y);
            } else {
                sim.sl->set_absent(i);
            }
        }
        const bool perLink = !opt.linkStatsPath.empty();
        if (perLink) {
            sim.sl->enable_link_counters();
        }
        sim.slStats.reset(new SlRunStats(n, perLink));
        sim.slAir.reserve(n);
    }
    if (!open_stations(sim, opt)) {
        return false;
    }
    std::string err;
    const bool ng = opt.pcapFormat == radiosim::PcapFormat::kPcapng ||
                    (opt.pcapFormat == radiosim::PcapFormat::kAuto && opt.modelOn);
    bool ok = (opt.pcapPath.empty() || sim.pcap.open(opt.pcapPath, err, ng)) &&
              (opt.replayPath.empty() || load_replay(sim, opt, err));
#ifdef RADIO_SIM_SUMO
    if (ok && opt.sumoWanted()) {
        ok = sch.sumo.start(opt, err);
        if (ok) {
            sch.sumo.update(*sim.channel, opt);
            sl_sync_positions(sim, opt);
        }
    }
#else
    (void)sch;
#endif
    if (!ok) {
        fprintf(stderr, "radio-sim: %s\n", err.c_str());
    }
    return ok;
}

// Sets the timetable from now.
void plan(Schedule& sch, Sim& sim, const Options& opt)
{
    const int64_t start = sim.clock.now_ns();
    // Subframes begin on whole milliseconds: with deliveries on the 0.25 ms
    // tick, a subframe's start and the previous one's deliveries share a
    // wakeup.
    sim.slStartNs = start / kSubframeNs * kSubframeNs;
    sch.injectAt = start + static_cast<int64_t>(opt.injectDelay * 1e9);
    sch.timed = opt.duration >= 0.0;
    sch.deadline = start + (sch.timed ? static_cast<int64_t>(opt.duration * 1e9) : 0);
    sch.injected = opt.injections.empty();
    sch.replayed = sim.replay.empty();
#ifdef RADIO_SIM_SUMO
    sch.stepNs = opt.sumoWanted()
                     ? static_cast<int64_t>(sch.sumo.delta_t() / opt.sumoSpeed * 1e9)
                     : 0;
    sch.nextStep = start + sch.stepNs;
#endif
}

enum class Turn { kGoOn, kEnd, kFail };

#ifdef RADIO_SIM_SUMO
// One SUMO step when it is due: the vehicles' stations move.
Turn sumo_turn(Schedule& sch, Sim& sim, const Options& opt, int64_t now)
{
    if (!opt.sumoWanted() || now < sch.nextStep) {
        return Turn::kGoOn;
    }
    std::string err;
    if (!sch.sumo.step(err)) {
        fprintf(stderr, "radio-sim: %s\n", err.c_str());
        return Turn::kFail;
    }
    sch.sumo.update(*sim.channel, opt);
    sl_sync_positions(sim, opt);
    if (sch.sumo.ended()) {
        fprintf(stderr, "radio-sim: SUMO's simulation ended at %.2f s\n", sch.sumo.time());
        return Turn::kEnd;
    }
    sch.nextStep += sch.stepNs;
    if (sch.nextStep < now - 1000000000) {
        sch.nextStep = now;  // fell behind by more than a second: no catching up
    }
    return Turn::kGoOn;
}
#endif

// What is due now: the injections, replayed frames, deliveries, a SUMO step.
Turn run_timetable(Schedule& sch, Sim& sim, const Options& opt)
{
    const int64_t now = sim.clock.now_ns();
    if (!sch.injected && now >= sch.injectAt) {
        for (const radiosim::Injection& inj : opt.injections) {
            inject(sim, inj);
        }
        sch.injected = true;
    }
    if (!sch.replayed && now >= sch.injectAt) {
        replay_due(sim, now - sch.injectAt);
        sch.replayed = sim.replayNext == sim.replay.size();
    }
    run_due(sim);
    if (sim.sl) {
        sl_turn(sim, sim.clock.now_ns());
    }
#ifdef RADIO_SIM_SUMO
    const Turn t = sumo_turn(sch, sim, opt, now);
    if (t != Turn::kGoOn) {
        return t;
    }
#endif
    const bool over = sch.timed && sim.clock.now_ns() >= sch.deadline && sch.injected &&
                      sch.replayed;
    return over ? Turn::kEnd : Turn::kGoOn;
}

// When the loop must wake next (monotonic ns), or -1 for only a datagram.
int64_t next_wake(const Schedule& sch, const Sim& sim, const Options& opt)
{
    int64_t wakeAt = -1;
    auto earliest = [&wakeAt](int64_t t) {
        if (t >= 0 && (wakeAt < 0 || t < wakeAt)) {
            wakeAt = t;
        }
    };
    if (!sch.injected) {
        earliest(sch.injectAt);
    }
    if (!sch.replayed) {
        earliest(sch.injectAt + sim.replay[sim.replayNext].offsetNs);
    }
    if (sch.timed) {
        earliest(sch.deadline);
    }
    if (sim.queue && !sim.queue->empty()) {
        const int64_t due = sim.queue->next_due_ns();
        earliest((due + kTickNs - 1) / kTickNs * kTickNs);
    }
    if (sim.sl) {
        const int64_t next = sim.sl->next_subframe();
        if (next >= 0) {
            earliest(sim.slStartNs + next * kSubframeNs);
        }
        earliest(sim.slStartNs + sim.slNextCbrSf * kSubframeNs);
    }
#ifdef RADIO_SIM_SUMO
    if (opt.sumoWanted()) {
        earliest(sch.nextStep);
    }
#else
    (void)opt;
#endif
    return wakeAt;
}

// Waits for datagrams, the timer or a stop signal, and reads what came.
Turn wait_and_read(Sim& sim, const sigset_t& aicWaitMask)
{
    struct epoll_event events[kMaxEvents];
    const int r = epoll_pwait(sim.epfd, events, kMaxEvents, -1, &aicWaitMask);
    if (r < 0) {
        if (errno == EINTR) {
            return Turn::kGoOn;
        }
        fprintf(stderr, "radio-sim: epoll_pwait(): %s\n", strerror(errno));
        return Turn::kFail;
    }
    bool fatal = false;
    for (int k = 0; k < r; ++k) {
        const uint64_t tag = events[k].data.u64;
        if (tag == kTimerTag) {
            uint64_t expirations = 0;
            if (read(sim.timerfd, &expirations, sizeof(expirations)) < 0) {
                // EAGAIN: re-armed in between; nothing to read
            }
            sim.armedNs = -1;
            continue;
        }
        const uint32_t ev = events[k].events;
        if ((ev & (EPOLLIN | EPOLLERR)) != 0 && !drain(sim, static_cast<size_t>(tag))) {
            fatal = true;
        }
    }
    return fatal ? Turn::kFail : Turn::kGoOn;
}

// Until a signal, the end of the duration or of SUMO's run, or an error:
// the exit status so far.
int run_loop(Schedule& sch, Sim& sim, const Options& opt, const sigset_t& aicWaitMask)
{
    while (gStopSignal == 0) {
        Turn t = run_timetable(sch, sim, opt);
        if (t == Turn::kGoOn) {
            arm_timer(sim, next_wake(sch, sim, opt));
            t = wait_and_read(sim, aicWaitMask);
        }
        if (t != Turn::kGoOn) {
            return t == Turn::kFail ? kExitRuntime : 0;
        }
    }
    return 0;
}

// Closes everything and writes what is written at the end: the exit status.
int finish(Schedule& sch, Sim& sim, const Options& opt, int status)
{
#ifdef RADIO_SIM_SUMO
    sch.sumo.close();
#else
    (void)sch;
#endif
    close_all(sim);
    if (!sim.pcap.close()) {
        fprintf(stderr, "radio-sim: cannot finish the pcap file %s: %s\n", opt.pcapPath.c_str(),
                strerror(errno));
        status = kExitRuntime;
    }
    if (!opt.linkStatsPath.empty() && !write_link_stats(sim, opt)) {
        status = kExitRuntime;
    }
    if (sim.queue && !sim.queue->empty()) {
        fprintf(stderr, "radio-sim: %zu deliveries were still waiting at the stop\n",
                sim.queue->pending());
    }
    fflush(stdout);
    if (gStopSignal != 0) {
        fprintf(stderr, "radio-sim: stopped by signal %d\n", static_cast<int>(gStopSignal));
    }
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    std::string err;
    if (!parse_options(argc, argv, opt, err)) {
        fprintf(stderr, "radio-sim: %s\n(radio-sim --help lists the options)\n", err.c_str());
        return kExitStartup;
    }
    const int early = answer_early(opt);
    if (early >= 0) {
        return early;
    }
    if (!opt.simulatePath.empty()) {
        radiosim::SimulateOverrides ov;
        ov.outDir = opt.outDir;
        ov.seedGiven = opt.seedGiven;
        ov.seed = opt.seed;
        ov.seconds = opt.duration;
        ov.quiet = opt.quiet;
        return radiosim::run_simulation(opt.simulatePath, ov);
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    sigset_t waitMask;
    take_stop_signals(&waitMask);
    Schedule sch;
    if (!start_sim(gSim, opt, sch)) {
        close_all(gSim);
        return kExitStartup;
    }
    print_startup(gSim, opt);
    plan(sch, gSim, opt);
    return finish(sch, gSim, opt, run_loop(sch, gSim, opt, waitMask));
}
