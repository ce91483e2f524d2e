// SPDX-License-Identifier: Apache-2.0
// radio-sim --simulate: a bad scenario is refused in one line naming the
// file, the line and the key; a small run counts every decided reception
// once, writes pdr.json in its shape and gives the same results for the
// same seed; a SUMO trace moves the vehicles, and one it does not list
// neither sends nor receives. The calibration itself is scripts/validate-channel's.
//
// GCC 12 with the sanitizers warns about the std::function inside <regex>
// when it is inlined here (a false positive of -Wmaybe-uninitialized).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../../tools/radio-sim/simulate.h"
#include "test_support.h"

namespace {

using radiosim::DensityResult;
using radiosim::SimBin;
using radiosim::SimScenario;

std::string write_scenario(const std::string& text)
{
    const std::string path = v2xtest::unique_path("simulate") + ".cfg";
    std::ofstream(path) << text;
    return path;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

TEST(Simulate, BadScenarioIsRefusedInOneLineNamingFileLineAndKey)
{
    const struct {
        const char* text;
        int line;
        const char* key;
    } cases[] = {
        {"stations = ();\nsimulate = { densities = [0.1]; };\n", 1, "stations"},
        {"simulate = {\n  densities = [0.1];\n  road = { lenght_m = 3000.0; };\n};\n", 3,
         "simulate.road.lenght_m"},
        {"simulate = {\n  densities = [0.1,\n   -0.2];\n};\n", 3, "simulate.densities[1]"},
        {"simulate = { densities = [0.1]; road = { length_m = 3000.0; };\n  bin_m = 0.0; };\n", 2,
         "simulate.bin_m"},
        {"sidelink = {\n  subchannels = 5;\n};\nsimulate = { densities = [0.1]; };\n", 2,
         "sidelink.subchannels"},
        {"sidelink = { tx_power = 20.0; };\nsimulate = { densities = [0.1]; };\n", 1,
         "sidelink.tx_power"},
        {"sidelink = {\n  mcs = 4.5;\n};\nsimulate = { densities = [0.1]; };\n", 2, "sidelink.mcs"},
        {"sidelink = {\n\n  selection_window_ms = 1e12;\n};\nsimulate = { densities = [0.1]; };\n",
         3, "sidelink.selection_window_ms"},
        {"simulate = { densities = [0.1];\n  message = { bytes = 4000; }; };\n", 2,
         "simulate.message.bytes"},
        {"simulate = { densities = [0.1];\n  road = { length_m = 500.0; }; };\n", 2,
         "simulate.road.length_m"},  // a ring shorter than twice the range
        {"sidelink = {\n  ring_m = 100.0; };\nsimulate = { densities = [0.1]; };\n", 2,
         "sidelink.ring_m"},
    };
    for (const auto& c : cases) {
        const std::string path = write_scenario(c.text);
        SimScenario sc;
        std::string err;
        EXPECT_FALSE(radiosim::load_simulation(path, sc, err)) << c.text;
        const std::string head = path + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(err.compare(0, head.size(), head), 0) << err;
        EXPECT_NE(err.find(c.key), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
        unlink(path.c_str());
    }
}

#ifdef RADIO_SIM_PATH
TEST(Simulate, ProgramRefusesABadScenarioWithStatusTwoAndOneLine)
{
    const std::string path = write_scenario("simulate = {\n  densities = [-0.1];\n};\n");
    const std::string errPath = v2xtest::unique_path("simulate-err");
    const std::string cmd = std::string(RADIO_SIM_PATH) + " --simulate " + path + " --out " +
                            errPath + ".d 2>" + errPath;
    const int st = system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 2);
    EXPECT_EQ(slurp(errPath), "radio-sim: " + path +
                                  ":2: simulate.densities[0] = -0.1: a density is vehicles per "
                                  "metre, above 0\n");
    struct stat sb;
    EXPECT_NE(stat((errPath + ".d").c_str(), &sb), 0);  // nothing written
    unlink(path.c_str());
    unlink(errPath.c_str());
}
#endif

// The receptions decided in every bin, each bin's outcomes checked to add up
// to what it was offered; `received` gets the decoded ones.
uint64_t offered_checked(const DensityResult& r, uint64_t& received)
{
    uint64_t offered = 0;
    for (const SimBin& b : r.bins) {
        uint64_t sum = 0;
        for (uint64_t o : b.outcome) {
            sum += o;
        }
        EXPECT_EQ(sum, b.offered);
        offered += b.offered;
        received += b.outcome[0];
    }
    return offered;
}

// 20 vehicles on one lane of a 425 m ring: nobody is farther than 212.5 m,
// the range (200 m) plus half a bin, so every transmission is decided at
// every other vehicle. A whole number may be written as 4.0; an int as 20.
const char kTiny[] =
    "seed = 3;\n"
    "sidelink = { subchannels = 4.0; tx_power_dbm = 20; };\n"
    "simulate = {\n"
    "  densities = [0.0470588235];\n"
    "  road = { length_m = 425.0; lanes = 1; ring = true; };\n"
    "  message = { bytes = 190; rate_hz = 10.0; };\n"
    "  seconds = 2.0; warmup_s = 0.5; range_m = 200.0; bin_m = 25.0;\n"
    "};\n";

TEST(Simulate, EveryDecidedReceptionIsCountedOnceInItsBin)
{
    const std::string path = write_scenario(kTiny);
    SimScenario sc;
    std::string err;
    ASSERT_TRUE(radiosim::load_simulation(path, sc, err)) << err;
    EXPECT_EQ(sc.sidelink.subchannels, 4);
    EXPECT_EQ(sc.sidelink.txPowerDbm, 20.0);
    EXPECT_EQ(sc.sidelink.ringM, 425.0);  // the road's ring
    DensityResult r;
    ASSERT_TRUE(radiosim::simulate_density(sc, 0, sc.seed, r, err)) << err;
    EXPECT_EQ(r.vehicles, 20u);
    ASSERT_EQ(r.bins.size(), 9u);  // centres 0, 25, ... 200
    uint64_t received = 0;
    const uint64_t offered = offered_checked(r, received);
    // Each counted transmission reached the 19 others, and nothing else.
    EXPECT_EQ(offered, 19 * r.transmissions);
    // 20 vehicles at 10 Hz for 2 s; at the edges of the counted time a
    // message may be generated on one side and sent on the other.
    EXPECT_EQ(r.messages, 400u);
    EXPECT_NEAR(static_cast<double>(r.transmissions), 400.0, 20.0);
    EXPECT_EQ(r.refused, 0u);
    EXPECT_GT(received, offered / 2);  // a light load within 212 m
    EXPECT_GT(r.cbrSamples, 0u);
    unlink(path.c_str());
}

TEST(Simulate, WritesPdrJsonInItsShapeAndTheSameSeedGivesTheSameResults)
{
    const std::string path = write_scenario(kTiny);
    const std::string out1 = v2xtest::unique_path("simulate-out");
    const std::string out2 = v2xtest::unique_path("simulate-out");
    radiosim::SimulateOverrides ov;
    ov.quiet = true;
    ov.picture = false;
    ov.outDir = out1;
    ASSERT_EQ(radiosim::run_simulation(path, ov), 0);
    ov.outDir = out2;
    ASSERT_EQ(radiosim::run_simulation(path, ov), 0);
    const std::string pdr = slurp(out1 + "/pdr.json");
    const std::regex shape(R"(\{"0\.0470588": \{"50": [01]\.\d{4}, "100": [01]\.\d{4}, )"
                           R"("200": [01]\.\d{4}\}\}\n)");
    EXPECT_TRUE(std::regex_match(pdr, shape)) << pdr;
    EXPECT_EQ(pdr, slurp(out2 + "/pdr.json"));
    const std::string csv = slurp(out1 + "/pdr-0.0470588.csv");
    EXPECT_EQ(csv, slurp(out2 + "/pdr-0.0470588.csv"));
    // Each row's shares (delivered and the four causes) make the whole.
    std::istringstream rows(csv);
    std::string row;
    std::getline(rows, row);
    EXPECT_EQ(row, "distance_m,pdr,hd,sen,pro,col,offered");
    int n = 0;
    while (std::getline(rows, row)) {
        double v[7];
        ASSERT_EQ(sscanf(row.c_str(), "%lf,%lf,%lf,%lf,%lf,%lf,%lf", &v[0], &v[1], &v[2], &v[3],
                         &v[4], &v[5], &v[6]),
                  7)
            << row;
        EXPECT_NEAR(v[1] + v[2] + v[3] + v[4] + v[5], 1.0, 1e-4) << row;
        ++n;
    }
    EXPECT_GE(n, 8);
    for (const std::string& dir : {out1, out2}) {
        for (const char* f : {"pdr.json", "simulation.json", "pdr-0.0470588.csv"}) {
            unlink((dir + "/" + f).c_str());
        }
        rmdir(dir.c_str());
    }
    unlink(path.c_str());
}

// A folder of the test's own, with a scenario and a trace in it.
struct TraceDir {
    std::string dir = v2xtest::unique_path("simulate-sumo");
    std::vector<std::string> files;
    TraceDir() { mkdir(dir.c_str(), 0700); }
    ~TraceDir()
    {
        for (const std::string& f : files) {
            unlink(f.c_str());
        }
        rmdir(dir.c_str());
    }
    std::string put(const std::string& name, const std::string& text)
    {
        files.push_back(dir + "/" + name);
        std::ofstream(files.back()) << text;
        return files.back();
    }
};

const char kTraceScenario[] =
    "seed = 5;\n"
    "simulate = {\n"
    "  sumo_fcd = \"trace.xml\";\n"
    "  seconds = 10.0; warmup_s = 0.5; range_m = 200.0; bin_m = 25.0;\n"
    "};\n";

// Vehicles a, b, c from 0 s and d from 0.5 s, 20 to 80 m apart, moving; c
// leaves the road at 1.0 s and comes back at 2.0 s. The span ends at 3.5 s.
std::string trace_text()
{
    std::ostringstream os;
    os << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- <configuration> -->\n"
          "<fcd-export>\n";
    for (int k = 0; k <= 6; ++k) {
        os << "  <timestep time=\"" << k * 0.5 << "\">\n";
        const double x = k * 10.0;
        os << "    <vehicle angle=\"90\" x=\"" << x << "\" id=\"a\" y=\"0\"/>\n"
           << "    <person id=\"p\" x=\"500\" y=\"0\"/>\n"
           << "    <vehicle id=\"b\" x=\"" << x + 20 << "\" y=\"3.2\" speed=\"20\"/>\n";
        if (k < 2 || k > 3) {
            os << "    <vehicle id=\"c\" x=\"" << x + 50 << "\" y=\"0\"/>\n";
        }
        if (k > 0) {
            os << "    <vehicle id='d' x='" << x + 80 << "' y='3.2'/>\n";
        }
        os << "  </timestep>\n";
    }
    os << "</fcd-export>\n";
    return os.str();
}

// Sees every transmission and decided reception of the run.
struct Tap : radiosim::SlSink {
    std::vector<std::pair<uint32_t, int64_t>> sent;  // (from, subframe)
    std::vector<radiosim::SlReception> decided;
    void on_transmit(uint32_t from, uint64_t, int64_t sf, int64_t, int, int) override
    {
        sent.emplace_back(from, sf);
    }
    void on_reception(const radiosim::SlReception& r) override { decided.push_back(r); }
};

TEST(Simulate, TraceMovesTheVehiclesAndAnAbsentOneNeitherSendsNorReceives)
{
    TraceDir td;
    td.put("trace.xml", trace_text());
    const std::string path = td.put("sumo.cfg", kTraceScenario);
    SimScenario sc;
    std::string err;
    ASSERT_TRUE(radiosim::load_simulation(path, sc, err)) << err;
    ASSERT_EQ(sc.trace.ids, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(sc.trace.spanSf, 3500);
    DensityResult r;
    Tap tap;
    ASSERT_TRUE(radiosim::simulate_trace(sc, sc.seed, r, err, &tap)) << err;
    EXPECT_EQ(r.simulatedS, 3.5);  // the trace's span, under warm-up plus seconds
    EXPECT_EQ(r.timesteps, 7u);
    // Counted from 0.5 s at 10 Hz: a, b and d 3 s each, c 2 s.
    EXPECT_EQ(r.messages, 110u);
    const auto away = [](uint32_t v, int64_t sf) {
        return (v == 2 && sf >= 1000 && sf < 2000) || (v == 3 && sf < 500);
    };
    uint64_t fromC = 0;
    uint64_t counted = 0;
    uint64_t wrong = 0;
    for (const auto& s : tap.sent) {
        wrong += away(s.first, s.second) ? 1 : 0;
        fromC += s.first == 2 ? 1 : 0;
        counted += s.second >= 500 ? 1 : 0;
    }
    EXPECT_EQ(counted, r.transmissions);
    EXPECT_GT(fromC, 15u);  // it does send while on the road
    uint64_t decidedAfterWarmup = 0;
    for (const auto& d : tap.decided) {
        wrong += away(d.to, d.subframe) ? 1 : 0;
        decidedAfterWarmup += d.subframe >= 500 ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0u);  // nothing from or to a vehicle off the road
    uint64_t received = 0;
    const uint64_t offered = offered_checked(r, received);
    EXPECT_EQ(offered, decidedAfterWarmup);  // all within 200 m: every one in a bin

    // The whole run: one result set keyed "sumo".
    radiosim::SimulateOverrides ov;
    ov.quiet = true;
    ov.picture = false;
    ov.outDir = td.dir + "/out";
    ASSERT_EQ(radiosim::run_simulation(path, ov), 0);
    const std::string pdr = slurp(ov.outDir + "/pdr.json");
    EXPECT_TRUE(std::regex_match(pdr, std::regex(R"(\{"sumo": \{"50": [01]\.\d{4}, .*\}\}\n)")))
        << pdr;
    EXPECT_NE(slurp(ov.outDir + "/pdr-sumo.csv").find("distance_m,pdr,"), std::string::npos);
    EXPECT_NE(slurp(ov.outDir + "/simulation.json")
                  .find("\"vehicles\": 4, \"timesteps\": 7, \"from_s\": 0.000, \"to_s\": 3.500"),
              std::string::npos);
    for (const char* f : {"pdr.json", "simulation.json", "pdr-sumo.csv"}) {
        unlink((ov.outDir + "/" + f).c_str());
    }
    rmdir(ov.outDir.c_str());
}

TEST(Simulate, BadTraceIsRefusedInOneLineNamingFileAndLine)
{
    const struct {
        const char* trace;
        int line;
        const char* what;
    } cases[] = {
        {"<timestep time=\"0\">\n<vehicle id=\"a\" x=\"1\" y=\"2\"/>\n<vehicle id=\"b\" x=\"1\"", 3,
         "truncated <vehicle>"},
        {"<timestep time=\"0\">\n<vehicle id=\"a\" x=\"1\n<vehicle id=\"b\" x=\"1\" y=\"2\"/>", 2,
         "truncated <vehicle>"},
        {"<timestep time=\"1\">\n<vehicle id=\"a\" x=\"1\" y=\"2\"/>\n</timestep>\n"
         "<timestep time=\"0.5\">\n</timestep>\n",
         4, "does not come after"},
        {"<timestep time=\"0\">\n\n<vehicle id=\"a\" y=\"2\"/>\n</timestep>\n", 3, "without x"},
        {"<timestep time=\"0\">\n<vehicle id=\"a\" x=\"inf\" y=\"2\"/>\n</timestep>\n", 2,
         "not a finite number"},
        {"<timestep time=\"0\">\n<person id=\"p\" x=\"1\" y=\"2\"/>\n</timestep>\n", 3,
         "no vehicle"},
    };
    for (const auto& c : cases) {
        TraceDir td;
        const std::string trace = td.put("trace.xml", c.trace);
        const std::string path = td.put("sumo.cfg", kTraceScenario);
        SimScenario sc;
        std::string err;
        EXPECT_FALSE(radiosim::load_simulation(path, sc, err)) << c.trace;
        const std::string head = trace + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(err.compare(0, head.size(), head), 0) << err;
        EXPECT_NE(err.find(c.what), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    }
    // The trace places the vehicles: no densities beside it.
    TraceDir td;
    td.put("trace.xml", trace_text());
    const std::string path = td.put(
        "sumo.cfg", "simulate = {\n  sumo_fcd = \"trace.xml\";\n  densities = [0.1];\n};\n");
    SimScenario sc;
    std::string err;
    EXPECT_FALSE(radiosim::load_simulation(path, sc, err));
    EXPECT_EQ(err.rfind(path + ":3: simulate.densities and simulate.sumo_fcd exclude", 0), 0u)
        << err;
}

// --- the congestion study: several kinds of message, the core's scheduler --

const char kMessages[] =
    "  messages = ( { bytes = 300; rate_hz = 10.0; priority = 2; lifetime_ms = 100;\n"
    "                 supersede = true; },\n"
    "               { bytes = 300; rate_hz = 1.0; priority = 7; lifetime_ms = 100; } );\n";

TEST(Simulate, CongestionKeysAreReadOrRefusedNamingFileLineAndKey)
{
    const std::string ok = write_scenario(std::string("simulate = { densities = [0.1];\n") +
                                          kMessages +
                                          "  congestion = { rules = [\"off\", \"adaptive\"]; "
                                          "cbr_report_ms = 50; };\n};\n");
    SimScenario sc;
    std::string err;
    ASSERT_TRUE(radiosim::load_simulation(ok, sc, err)) << err;
    ASSERT_EQ(sc.messages.size(), 2u);
    EXPECT_EQ(sc.messages[0].priority, 2);
    EXPECT_TRUE(sc.messages[0].supersede);
    EXPECT_EQ(sc.messages[1].rateHz, 1.0);
    EXPECT_EQ(sc.messages[1].lifetimeMs, 100);
    EXPECT_FALSE(sc.messages[1].supersede);
    EXPECT_EQ(sc.rules, (std::vector<int>{radiosim::kSimRuleOff, radiosim::kSimRuleAdaptive}));
    EXPECT_EQ(sc.cbrReportMs, 50);
    unlink(ok.c_str());

    const struct {
        const char* text;
        int line;
        const char* key;
    } cases[] = {
        {"simulate = { densities = [0.1];\n  message = { bytes = 300; };\n"
         "  messages = ( { bytes = 300; } ); };\n",
         3, "simulate.messages and simulate.message"},
        {"simulate = { densities = [0.1];\n  messages = ( { bytes = 300; },\n"
         "    { priority = 8; } ); };\n",
         3, "simulate.messages[1].priority"},
        {"simulate = { densities = [0.1];\n  messages = ( { supersede = 1; } ); };\n", 2,
         "simulate.messages[0].supersede"},
        {"simulate = { densities = [0.1];\n  messages = ( { colour = 1; } ); };\n", 2,
         "simulate.messages[0].colour"},
        {"simulate = { densities = [0.1];\n  messages = ();\n};\n", 2, "simulate.messages"},
        {"simulate = { densities = [0.1];\n  congestion = { rules = [\"off\",\n"
         "    \"bogus\"]; }; };\n",
         3, "simulate.congestion.rules[1]"},
        {"simulate = { densities = [0.1];\n  congestion = { rules = [\"off\", \"off\"]; }; };\n", 2,
         "simulate.congestion.rules[1]"},
        {"simulate = { densities = [0.1];\n  congestion = { rules = [\"off\"];\n"
         "    cbr_report_ms = 0; }; };\n",
         3, "simulate.congestion.cbr_report_ms"},
        {"simulate = { densities = [0.1];\n  congestion = { cbr_report_ms = 100; }; };\n", 2,
         "simulate.congestion.rules"},
        {"simulate = { densities = [0.1];\n  congestion = { rules = [\"off\"]; gate = 1; }; };\n",
         2, "simulate.congestion.gate"},
        // Through the scheduler a message carries its tag: 8 bytes at least.
        {"simulate = { densities = [0.1];\n  messages = ( { bytes = 4; } );\n"
         "  congestion = { rules = [\"off\"]; }; };\n",
         2, "simulate.messages[0].bytes"},
    };
    for (const auto& c : cases) {
        const std::string path = write_scenario(c.text);
        EXPECT_FALSE(radiosim::load_simulation(path, sc, err)) << c.text;
        const std::string head = path + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(err.compare(0, head.size(), head), 0) << err;
        EXPECT_NE(err.find(c.key), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
        unlink(path.c_str());
    }
}

// A scenario written before the study's keys runs exactly as it did: these
// are the numbers kTiny gave before the scheduler could be put in front.
TEST(Simulate, ScenarioWithoutTheNewKeysRunsAsBefore)
{
    const std::string path = write_scenario(kTiny);
    SimScenario sc;
    std::string err;
    ASSERT_TRUE(radiosim::load_simulation(path, sc, err)) << err;
    DensityResult r;
    ASSERT_TRUE(radiosim::simulate_density(sc, 0, sc.seed, r, err)) << err;
    uint64_t received = 0;
    EXPECT_EQ(offered_checked(r, received), 7562u);
    EXPECT_EQ(received, 7497u);
    EXPECT_EQ(r.messages, 400u);
    EXPECT_EQ(r.transmissions, 398u);
    EXPECT_EQ(r.allTransmissions, 488u);
    EXPECT_EQ(r.selections, 61u);
    EXPECT_EQ(r.rule, -1);
    EXPECT_EQ(r.gateHeld, 0u);
    unlink(path.c_str());
}

// 213 vehicles on a 425 m ring all hear each other: the channel is far
// busier than any row of the reactive table allows for priority 2.
std::string congested_scenario()
{
    return write_scenario(std::string("seed = 4;\nsimulate = {\n"
                                      "  densities = [0.5];\n"
                                      "  road = { length_m = 425.0; lanes = 2; ring = true; };\n") +
                          kMessages +
                          "  congestion = { rules = [\"off\", \"reactive\"]; };\n"
                          "  seconds = 2.0; warmup_s = 1.0; range_m = 200.0; bin_m = 25.0;\n"
                          "};\n");
}

TEST(Simulate, ReactiveGateHoldsPriorityTwoNeverSevenAndOffHoldsNothing)
{
    const std::string path = congested_scenario();
    SimScenario sc;
    std::string err;
    ASSERT_TRUE(radiosim::load_simulation(path, sc, err)) << err;
    DensityResult off;
    DensityResult re;
    DensityResult again;
    ASSERT_TRUE(radiosim::simulate_density(sc, 0, sc.seed, off, err, radiosim::kSimRuleOff));
    ASSERT_TRUE(radiosim::simulate_density(sc, 0, sc.seed, re, err, radiosim::kSimRuleReactive));
    ASSERT_TRUE(
        radiosim::simulate_density(sc, 0, sc.seed, again, err, radiosim::kSimRuleReactive));
    ASSERT_EQ(off.kinds.size(), 2u);
    ASSERT_EQ(re.kinds.size(), 2u);
    // Off: the scheduler's gap only.
    EXPECT_EQ(off.gateHeld, 0u);
    for (const radiosim::SimKindResult& k : off.kinds) {
        EXPECT_EQ(k.held, 0u);
        EXPECT_EQ(k.dropped[3] + k.dropped[4], 0u);  // nothing dropped at the gate
    }
    EXPECT_GT(off.cbrSum / static_cast<double>(off.cbrSamples), 0.8);
    // Reactive: priority 2 held and thinned, priority 7 never.
    const radiosim::SimKindResult& p2 = re.kinds[0];
    const radiosim::SimKindResult& p7 = re.kinds[1];
    EXPECT_GT(re.gateHeld, 0u);
    EXPECT_GT(p2.held, 0u);
    EXPECT_GT(p2.dropped[3] + p2.dropped[4], 0u);
    EXPECT_LT(p2.sent, off.kinds[0].sent);
    EXPECT_EQ(p7.held, 0u);
    EXPECT_EQ(p7.dropped[3] + p7.dropped[4], 0u);
    EXPECT_GT(p7.onAir, 0u);
    // Before the module an urgent message waits for the radio's gap at most.
    EXPECT_LE(p7.queueWait.max, 70u);
    EXPECT_EQ(p7.age.count, p7.onAir);
    // Every generated message is accounted for, give or take the few still
    // waiting when the run ends.
    for (const radiosim::SimKindResult& k : re.kinds) {
        uint64_t gone = k.sent + k.refused;
        for (uint64_t d : k.dropped) {
            gone += d;
        }
        EXPECT_LE(gone, k.generated);
        EXPECT_GE(gone + 2 * re.vehicles, k.generated);
    }
    // The same seed, the same run.
    EXPECT_EQ(again.gateHeld, re.gateHeld);
    EXPECT_EQ(again.transmissions, re.transmissions);
    EXPECT_EQ(again.cbrSum, re.cbrSum);
    for (size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(again.kinds[k].sent, re.kinds[k].sent);
        EXPECT_EQ(again.kinds[k].age.sum, re.kinds[k].age.sum);
        for (size_t b = 0; b < re.kinds[k].bins.size(); ++b) {
            EXPECT_EQ(again.kinds[k].bins[b].outcome[0], re.kinds[k].bins[b].outcome[0]);
        }
    }
    unlink(path.c_str());
}

TEST(Simulate, CongestionRunWritesItsJson)
{
    const std::string path = congested_scenario();
    const std::string out = v2xtest::unique_path("simulate-cc");
    radiosim::SimulateOverrides ov;
    ov.quiet = true;
    ov.picture = false;
    ov.outDir = out;
    ov.seconds = 0.5;
    ASSERT_EQ(radiosim::run_simulation(path, ov), 0);
    const std::string js = slurp(out + "/congestion.json");
    for (const char* want :
         {"\"rules\": [\"off\", \"reactive\"]", "\"0.5\": {", "\"off\": {\"vehicles\": 213",
          "\"reactive\": {\"vehicles\": 213", "\"urgent_age_ms\": {\"p50\": ", "\"p99\": ",
          "\"gated_expired\": "}) {
        EXPECT_NE(js.find(want), std::string::npos) << want << "\n" << js;
    }
    // simulation.json lists both runs; pdr.json the first rule's.
    const std::string sim = slurp(out + "/simulation.json");
    EXPECT_NE(sim.find("\"rule\": \"reactive\""), std::string::npos);
    EXPECT_EQ(slurp(out + "/pdr.json").rfind("{\"0.5\": {\"50\": ", 0), 0u);
    for (const char* f : {"pdr.json", "simulation.json", "pdr-0.5.csv", "congestion.json"}) {
        unlink((out + "/" + f).c_str());
    }
    rmdir(out.c_str());
    unlink(path.c_str());
}

}  // namespace
