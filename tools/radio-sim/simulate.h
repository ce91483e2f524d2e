// SPDX-License-Identifier: Apache-2.0
// radio-sim --simulate: offline runs of the sidelink model with vehicles of
// its own, as fast as the CPU allows, no sockets. For each density of the
// scenario the vehicles are placed at random on the road, or they move as a
// SUMO trace (floating car data) says; each sends a message of the same size
// at the same rate from a random phase; the model plays only the subframes
// with something on the air. What comes out: the
// delivery ratio per distance and the loss by cause (JSON and CSV), the
// run's cost against real time, and a picture drawn with gnuplot.
// docs/simulation.md gives the scenario's format.
#ifndef RADIO_SIM_SIMULATE_H
#define RADIO_SIM_SIMULATE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sidelink.h"

namespace radiosim {

// Limits of a simulation scenario: vehicles per density (the model keeps a
// few arrays of n * n floats), densities per scenario.
constexpr size_t kMaxSimVehicles = 3000;
constexpr size_t kMaxSimDensities = 32;

// A SUMO floating-car-data trace (what `sumo --fcd-output FILE` writes):
// where each vehicle is at each timestep. Vehicle i is the i-th id to appear;
// a vehicle a timestep does not list is absent then.
struct SumoTrace {
    struct Fix {
        uint32_t vehicle;
        double x;
        double y;
    };
    struct Step {
        int64_t sf;    // subframes since the first timestep
        size_t first;  // its fixes: fixes[first, first + count)
        size_t count;
    };
    std::string path;
    std::vector<std::string> ids;
    std::vector<Step> steps;
    std::vector<Fix> fixes;
    double startS = 0.0;  // the first timestep's time
    // To the last timestep plus the step before it: each timestep's
    // positions hold until the next.
    int64_t spanSf = 0;
};

// Reads a trace; false with one line "FILE:LINE: ..." in `err`.
bool read_sumo_fcd(const std::string& path, SumoTrace& out, std::string& err);

// One kind of message every vehicle's application sends (simulate.messages).
struct SimMessage {
    int bytes = 190;
    double rateHz = 10.0;
    int priority = 2;     // 0..7, as the core's transmit scheduler takes it
    int lifetimeMs = 0;   // 0: waits as long as it takes
    bool supersede = false;
};

// Congestion rules a scenario can run (the core's V2X_CC_RULE_* values).
constexpr int kSimRuleOff = 0;
constexpr int kSimRuleReactive = 1;
constexpr int kSimRuleAdaptive = 2;
const char* sim_rule_name(int rule);
// The scheduler's drop reasons (expired, superseded, at exit, expired and
// superseded at the gate).
constexpr int kSimDropReasons = 5;

struct SimScenario {
    std::string path;
    uint64_t seed = 1;
    SidelinkParams sidelink;
    std::vector<double> densities;  // vehicles per metre of road, all lanes
    double roadLengthM = 3000.0;
    int lanes = 1;
    double laneWidthM = 4.0;
    bool ring = true;  // the road's ends joined: nobody sits at an edge
    int bytes = 190;
    double rateHz = 10.0;
    double seconds = 10.0;  // counted, after the warm-up
    double warmupS = 2.0;
    double rangeM = 500.0;  // receivers farther away are not decided
    double binM = 25.0;
    std::string reference;  // published curves to draw beside ours (a path)
    std::string sumoFcd;    // positions from this trace instead of densities and road
    SumoTrace trace;
    // The kinds of message each vehicle sends: one (bytes, rateHz above)
    // unless simulate.messages gives several; `messagesGiven` says it did.
    std::vector<SimMessage> messages = {SimMessage{}};
    bool messagesGiven = false;
    // simulate.congestion: each vehicle sends through its own transmit
    // scheduler of the core, once per rule; empty: straight to the model.
    std::vector<int> rules;
    int cbrReportMs = 100;
};

// Reads and checks a simulation scenario. False with one line
// "FILE:LINE: simulate.KEY ..." in `err`.
bool load_simulation(const std::string& path, SimScenario& out, std::string& err);

struct SimulateOverrides {
    std::string outDir;  // empty: the folder NAME-results beside the scenario NAME.cfg
    bool seedGiven = false;
    uint64_t seed = 0;
    double seconds = -1.0;  // >= 0: instead of simulate.seconds
    bool quiet = false;     // no progress lines
    bool picture = true;    // draw pdr.png when gnuplot is there
};

// The counts of one distance bin: decided receptions, and of them each
// outcome (indexed by SlLoss: received, then each loss cause).
struct SimBin {
    uint64_t offered = 0;
    uint64_t outcome[kSlLossCauses] = {};
};

// A distribution of whole milliseconds, kept per millisecond up to
// kHistMs.
struct SimDist {
    static constexpr size_t kHistMs = 2000;
    std::vector<uint64_t> hist;
    uint64_t count = 0;
    uint64_t max = 0;
    double sum = 0.0;

    void add(uint64_t ms);
    // The least value at or below which a share q (0..1] of them lie.
    uint64_t quantile(double q) const;
    double mean() const { return count ? sum / static_cast<double>(count) : 0.0; }
};

// What became of one kind of message generated after the warm-up.
struct SimKindResult {
    uint64_t generated = 0;
    uint64_t refused = 0;   // by the scheduler (queue full) or the model
    uint64_t sent = 0;      // handed to the model
    uint64_t onAir = 0;
    uint64_t held = 0;      // the congestion gate was closed when it came
    uint64_t dropped[kSimDropReasons] = {};
    // Of the messages that went on the air: their age there (the subframe
    // it went on the air less the one it was generated in), the part of it
    // spent before the module (the scheduler: its gap and the gate) and the
    // part in the module (the wait for the resource).
    SimDist age;
    SimDist queueWait;
    SimDist radioWait;
    std::vector<SimBin> bins;  // its receptions, as DensityResult::bins
};

struct DensityResult {
    bool sumo = false;  // positions from the trace: the results' key is "sumo"
    double density = 0.0;
    size_t vehicles = 0;
    uint64_t messages = 0;       // generated after the warm-up
    uint64_t transmissions = 0;  // after the warm-up
    uint64_t allTransmissions = 0;
    uint64_t refused = 0;  // messages the model refused (queue full)
    uint64_t selections = 0;
    uint64_t oneShots = 0;
    double cbrSum = 0.0;
    uint64_t cbrSamples = 0;
    double setupS = 0.0;  // CPU seconds to place the vehicles and build the model
    double cpuS = 0.0;    // CPU seconds of the run itself
    double wallS = 0.0;
    double simulatedS = 0.0;   // warm-up included
    size_t timesteps = 0;      // of the trace, applied
    std::vector<SimBin> bins;  // bin k centred on k * bin_m
    int rule = -1;             // the congestion rule, -1: no scheduler
    uint64_t gateHeld = 0;     // the core's txGateHeld over the run
    std::vector<SimKindResult> kinds;  // per simulate.messages entry
};

// Runs the density `densityIndex` of `sc` (vehicles placed and phases drawn
// from `seed`) and counts what the model decides; writes nothing. With a
// `rule` (kSimRule*), each vehicle sends through the core's transmit
// scheduler with its congestion gate under that rule.
bool simulate_density(const SimScenario& sc, size_t densityIndex, uint64_t seed, DensityResult& out,
                      std::string& err, int rule = -1);

// Runs `sc`'s SUMO trace (phases drawn from `seed`) over its span clipped
// to the warm-up and the seconds. `tap`, when given, sees every transmission
// and decided reception too, the warm-up's included.
bool simulate_trace(const SimScenario& sc, uint64_t seed, DensityResult& out, std::string& err,
                    SlSink* tap = nullptr, int rule = -1);

// radio-sim --simulate FILE: loads, runs every density (or the trace),
// writes pdr.json, simulation.json, pdr-DENSITY.csv (pdr-sumo.csv) and
// pdr.png into the out folder; with simulate.congestion every density runs
// once per rule, those files hold the first rule's runs and congestion.json
// and congestion.png compare the rules. The
// exit status (0, 1 on a runtime error, 2 on a bad scenario); every message
// goes to `log` as one line.
int run_simulation(const std::string& scenarioPath, const SimulateOverrides& ov,
                   FILE* log = stderr);

}  // namespace radiosim

#endif
