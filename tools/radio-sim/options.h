// SPDX-License-Identifier: Apache-2.0
// Command line and station-file parsing of radio-sim.
#ifndef RADIO_SIM_OPTIONS_H
#define RADIO_SIM_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "channel.h"
#include "sidelink.h"

namespace radiosim {

constexpr size_t kMaxStations = 1000;
constexpr size_t kMaxNameLen = 31;

struct Endpoint {
    uint32_t addr = 0;  // IPv4, host byte order
    uint16_t port = 0;
};

struct StationCfg {
    std::string name;
    Endpoint send;  // where the station sends: the simulator listens here
    Endpoint rcv;   // where the station receives: the simulator delivers here
    bool hasPosition = false;
    double x = 0.0;  // metres
    double y = 0.0;
    std::string vehicle;  // SUMO vehicle id; empty: a fixed position
    // Layer-2 id in --rx-record's receive records (24 bits): the scenario's
    // l2_id, else kL2IdBase + the station's index (rx_record.h).
    uint32_t l2Id = 0;
    bool l2IdSet = false;
};

// Which model decides when the stations have positions: the simple one
// (channel.h: range, a reception curve, a fixed latency) or the sidelink
// (sidelink.h: resources reserved per station, losses by cause).
enum class ModelKind { kSimple, kSidelink };

// How --pcap records: classic pcap, or pcapng with a comment per packet
// naming its sender and receiver. Automatic: pcapng when the model runs.
enum class PcapFormat { kAuto, kPcap, kPcapng };

constexpr int kToAll = -1;

struct Injection {
    std::vector<uint8_t> bytes;
    int to = -2;  // station index, kToAll, or -2 while unresolved
    std::string toName;
};

// --tamper AID[:N]: the Nth frame of AID that each station sends is
// corrupted on its way (one bit of its last data byte flipped), so that a
// receiver checking signatures has a bad one to refuse.
struct Tamper {
    uint32_t aid = 0;
    uint32_t nth = 1;  // 1: the first frame of that AID
};

// The largest AID of the two-byte form, the longest radio-sim reads.
constexpr uint32_t kMaxAid = 16511;

// Parses "AID" or "AID:N" (N from 1). False with the reason in `err`.
bool parse_tamper(const std::string& text, Tamper& out, std::string& err);

struct Options {
    std::vector<StationCfg> stations;
    std::vector<Tamper> tampers;
    std::vector<Injection> injections;
    std::string pcapPath;
    bool pcapUplink = false;
    bool echo = false;
    bool quiet = false;
    bool ownNetns = false;  // addresses outside loopback, only in a namespace of its own
    bool help = false;
    bool version = false;
    double duration = -1.0;  // seconds; negative: run until a signal
    double injectDelay = 0.0;

    // The channel model (see channel.h): on when a station has a position or
    // a vehicle; otherwise every frame goes to every other station at once.
    bool modelOn = false;
    ModelKind modelKind = ModelKind::kSimple;
    ModelParams model;
    SidelinkParams sidelink;
    bool sidelinkOn() const { return modelOn && modelKind == ModelKind::kSidelink; }
    uint64_t seed = 1;
    PcapFormat pcapFormat = PcapFormat::kAuto;
    std::string linkStatsPath;  // per-link counters as JSON at the end
    std::string replayPath;     // a capture to deliver again with its timing
    std::string sumoConfig;     // a .sumocfg radio-sim starts SUMO with
    uint16_t sumoPort = 0;      // or the port of a running SUMO on loopback
    double sumoSpeed = 1.0;     // simulated seconds per real second
    std::string sumoBinary = "sumo";
    // --simulate FILE: an offline run of the sidelink model with vehicles of
    // its own (simulate.h), its results in --out DIR; --seed given on the
    // command line wins over the simulation scenario's.
    std::string simulatePath;
    std::string outDir;
    bool seedGiven = false;
    bool sumoWanted() const { return !sumoConfig.empty() || sumoPort != 0; }
    // --rx-record (or the scenario's rx_record = true): frames of the
    // stations are delivered as receive-record datagrams (rx_record.h).
    bool rxRecord = false;
    // --cbr-report (or the scenario's cbr_report = true): every 100 ms each
    // station gets a CBR report datagram (cbr_report.h); sidelink model only.
    bool cbrReport = false;
};

// Parses argv (including reading --config files). Returns false and sets
// `err` on any error; the caller prints it with the usage hint.
bool parse_options(int argc, char** argv, Options& opt, std::string& err);

// The --help text.
const char* usage_text();

// "127.0.0.1:5000"
std::string endpoint_text(const Endpoint& ep);

}  // namespace radiosim

#endif
