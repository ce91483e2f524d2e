// SPDX-License-Identifier: Apache-2.0
// The example station as a user runs it: configuration checks, two stations
// exchanging messages through radio-sim, stop signals, start-up failures,
// the watchdog feeder and the log file.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>

#include "product_support.hpp"

using namespace product;
using v2xtest::unique_path;

#if defined(V2X_STATION_PATH) && defined(V2X_RADIO_SIM_PATH) && defined(V2X_SOURCE_DIR)

namespace {

const std::string kConfigDir = std::string(V2X_SOURCE_DIR) + "/examples/config/";

// The radio of a set of stations, ready to carry frames.
struct Radio {
    Proc proc{"radio"};
    explicit Radio(const std::vector<const StationFile*>& st, const std::string& pcap = "")
    {
        std::vector<std::string> args = {V2X_RADIO_SIM_PATH, "--quiet"};
        for (const StationFile* s : st) {
            args.push_back("--station");
            args.push_back(s->radio_spec());
        }
        if (!pcap.empty()) {
            args.push_back("--pcap");
            args.push_back(pcap);
        }
        EXPECT_TRUE(proc.start(args));
        EXPECT_TRUE(proc.wait_text("radio-sim: ready", 10000, true)) << proc.errors();
    }
};

} // namespace

TEST(StationConfig, ShippedConfigurationsLoadAndUseDistinctSocketsAndPorts)
{
    std::string a, b, sa, sb;
    ASSERT_EQ(run_station({"-c", kConfigDir + "station-a.cfg", "--check"}, a), 0) << a;
    ASSERT_EQ(run_station({"-c", kConfigDir + "station-b.cfg", "--check"}, b), 0) << b;
    ASSERT_EQ(run_station({"-c", kConfigDir + "station-a.cfg", "--radio-sim-station"}, sa), 0);
    ASSERT_EQ(run_station({"-c", kConfigDir + "station-b.cfg", "--radio-sim-station"}, sb), 0);
    EXPECT_NE(lines_with(a, "dmnNme = /tmp/"), lines_with(b, "dmnNme = /tmp/"));
    EXPECT_EQ(lines_with(a, "dmnNme = /tmp/").size(), 1u);
    // Four distinct loopback ports, and each station receives BSM.
    std::vector<std::string> ports;
    for (const std::string& line : {sa, sb}) {
        size_t p = 0;
        while ((p = line.find("127.0.0.1:", p)) != std::string::npos) {
            p += 10;
            ports.push_back(line.substr(p, line.find_first_of(",\n", p) - p));
        }
    }
    ASSERT_EQ(ports.size(), 4u) << sa << sb;
    for (size_t i = 0; i < ports.size(); ++i) {
        for (size_t j = i + 1; j < ports.size(); ++j) {
            EXPECT_NE(ports[i], ports[j]);
        }
    }
    EXPECT_EQ(lines_with(a, "receive = 26").size(), 1u) << a;
    EXPECT_EQ(lines_with(b, "receive = 26").size(), 1u) << b;
    EXPECT_EQ(lines_with(a, "provider lclAppId=1 aid=135").size(), 1u) << a;
    // The demo's sending defaults: its safety messages, never the core's own 135.
    EXPECT_EQ(lines_with(a, "txDefault aid=26 priority=7 lifetimeMs=100 supersede=1").size(), 1u) << a;
    EXPECT_EQ(lines_with(b, "txDefault aid=30 priority=5 lifetimeMs=200 supersede=1").size(), 1u) << b;
    EXPECT_EQ(lines_with(a + b, "txDefault aid=135").size(), 0u);
}

// Every field at its limits, a boolean or 0/1 for supersede, absent fields
// at "no change" (priority 0, no lifetime, no supersede), 32 entries.
TEST(StationConfig, TxDefaultsAreReadWithTheirLimits)
{
    std::string table = "  txDefaults = (\n"
                        "    { aid = 16511; priority = 7; lifetimeMs = 60000; supersede = true; },\n"
                        "    { aid = 0; supersede = 1; },\n"
                        "    { aid = 30; priority = 5; supersede = false; }";
    for (int aid = 100; aid < 129; ++aid) {
        table += ",\n    { aid = " + std::to_string(aid) + "; supersede = 0; }";
    }
    StationFile f("txd", 1000, 1001, table + "\n  );\n");
    std::string out;
    ASSERT_EQ(run_station({"-c", f.path, "--check"}, out), 0) << out;
    EXPECT_EQ(lines_with(out, "txDefault ").size(), 32u) << out;
    EXPECT_EQ(lines_with(out, "txDefault aid=16511 priority=7 lifetimeMs=60000 supersede=1").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "txDefault aid=0 priority=0 lifetimeMs=0 supersede=1").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "txDefault aid=30 priority=5 lifetimeMs=0 supersede=0").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "txDefault aid=128 priority=0 lifetimeMs=0 supersede=0").size(), 1u) << out;
}

// Every key of the congestion group over the core's defaults; absent keys
// keep them (the adaptive group's periodMs here), [] holds every priority.
TEST(StationConfig, CongestionGroupIsReadOverTheDefaults)
{
    StationFile f("cc", 1000, 1001, "",
                  "congestion = {\n  rule = \"adaptive\";\n  ungated = [ ];\n  staleMs = 60000;\n"
                  "  occupancyUs = 1000000;\n"
                  "  reactive = ( { cbrMax = 0.25; gapMs = [ 0, 1, 2, 3, 4, 5, 6, 10000 ]; },\n"
                  "               { cbrMax = 1; gapMs = [ 9, 9, 9, 9, 9, 9, 9, 9 ]; } );\n"
                  "  adaptive = { alpha = 0.5; beta = 0.25; target = 0.5; dutyMin = 1;"
                  " dutyMax = 1; maxGapMs = 0; };\n};\n");
    std::string out;
    ASSERT_EQ(run_station({"-c", f.path, "--check"}, out), 0) << out;
    EXPECT_EQ(lines_with(out, "congestion ").size(), 4u) << out;
    EXPECT_EQ(lines_with(out, "congestion rule=adaptive ungated=none staleMs=60000 "
                              "occupancyUs=1000000").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "congestion reactive cbrMax=0.25 gapMs=0,1,2,3,4,5,6,10000").size(),
              1u) << out;
    EXPECT_EQ(lines_with(out, "congestion reactive cbrMax=1 gapMs=9,9,9,9,9,9,9,9").size(), 1u);
    EXPECT_EQ(lines_with(out, "congestion adaptive alpha=0.5 beta=0.25 target=0.5 dutyMin=1 "
                              "dutyMax=1 periodMs=200 maxGapMs=0").size(), 1u) << out;
    // Without the group: the core's defaults, the gate off.
    StationFile d("ccd", 1000, 1001, "");
    ASSERT_EQ(run_station({"-c", d.path, "--check"}, out), 0) << out;
    EXPECT_EQ(lines_with(out, "congestion rule=off ungated=7 staleMs=1000 occupancyUs=500").size(),
              1u) << out;
    EXPECT_EQ(lines_with(out, "congestion reactive ").size(), 4u) << out;
}

TEST(StationConfig, CommandLineOverridesTheFile)
{
    StationFile f("ovr", 1000, 1001,
                  "  logLevel = \"run\";\n  duration = 30;\n  maxClients = 5;\n");
    std::string out;
    ASSERT_EQ(run_station({"-c", f.path, "--check"}, out), 0) << out;
    EXPECT_EQ(lines_with(out, "logLevel = 2 (run)").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "maxClients = 5").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "duration = 30").size(), 1u) << out;
    ASSERT_EQ(run_station({"--config", f.path, "--check", "-l", "info", "-d", "2.5"}, out), 0);
    EXPECT_EQ(lines_with(out, "logLevel = 5 (info)").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "duration = 2.5").size(), 1u) << out;
    ASSERT_EQ(run_station({"--config", f.path, "--check", "--log-level", "0", "--duration", "0"}, out), 0);
    EXPECT_EQ(lines_with(out, "logLevel = 0 (off)").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "duration = 0").size(), 1u) << out;
}

TEST(StationConfig, BadSettingsAreRefusedWithFileLineAndKey)
{
    struct Case {
        const char* body;
        const char* groups;
        const char* expect;
    };
    const Case cases[] = {
        {"  rcvport = 5;\n", "", "unknown setting station.rcvport"},
        {"  receive = [ 26, 16512 ];\n", "", "an AID is 0 to 16511"},
        {"  receive = 26;\n", "", "station.receive must be an array"},
        {"  send = ( { aid = 26; rate = 5; size = 2036; } );\n", "", "size = 2036 is outside 0..2035"},
        {"  send = ( { aid = 300; rate = 5; size = 2035; } );\n", "",
         "size 2035 is more than a message for AID 300 carries (2034 bytes)"},
        {"  send = ( { aid = 26; rate = 0; size = 10; } );\n", "", "rate = 0 is outside"},
        {"  send = ( { aid = 26; size = 10; } );\n", "", "missing setting station.send[0].rate"},
        {"  providers = ( { lclAppId = 1; aid = 135; rptRte = 0; } );\n", "", "rptRte = 0 is outside 1..255"},
        {"  providers = ( { lclAppId = 32; aid = 135; rptRte = 1; } );\n", "", "lclAppId = 32 is outside 0..31"},
        {"  providers = ( { lclAppId = 1; aid = 135; rptRte = 1; },\n"
         "                { lclAppId = 1; aid = 136; rptRte = 1; } );\n",
         "", "lclAppId 1 is used twice"},
        {"  logLevel = \"chatty\";\n", "", "station.logLevel must be 0 to 6"},
        {"  duration = -1;\n", "", "duration = -1 is outside"},
        {"  maxClients = 0;\n", "", "maxClients = 0 is outside 1..4096"},
        {"  txDefaults = ( { aid = 26; priority = 8; } );\n", "",
         "station.txDefaults[0].priority = 8 is outside 0..7"},
        {"  txDefaults = ( { aid = 26; priority = -1; } );\n", "",
         "station.txDefaults[0].priority = -1 is outside 0..7"},
        {"  txDefaults = ( { aid = 16512; } );\n", "", "station.txDefaults[0].aid = 16512 is outside"},
        {"  txDefaults = ( { aid = 26; lifetimeMs = 60001; } );\n", "",
         "station.txDefaults[0].lifetimeMs = 60001 is outside 0..60000"},
        {"  txDefaults = ( { aid = 26; supersede = 2; } );\n", "",
         "station.txDefaults[0].supersede must be true or false"},
        {"  txDefaults = ( { aid = 26; supersede = \"yes\"; } );\n", "",
         "station.txDefaults[0].supersede must be true or false"},
        {"  txDefaults = ( { aid = 26; prio = 7; } );\n", "", "unknown setting station.txDefaults[0].prio"},
        {"  txDefaults = ( { priority = 7; } );\n", "", "missing setting station.txDefaults[0].aid"},
        {"  txDefaults = ( { aid = 26; },\n                 { aid = 30; },\n"
         "                 { aid = 26; priority = 1; } );\n",
         "", "station.txDefaults[2]: AID 26 is listed twice"},
        {"  txDefaults = { aid = 26; };\n", "", "station.txDefaults must be a list of groups"},
        {"  txDefaults = ( 26 );\n", "", "station.txDefaults: each entry is a group"},
        {"", "watchdog = { feddogSec = 0; feddogUSec = 0; txFeddogHtDmNme = \"/tmp/x\"; };\n",
         "the period feddogSec + feddogUSec must be at least 10000 us"},
        {"", "watchdog = { feddogSec = 0; feddogUSec = 9999; txFeddogHtDmNme = \"/tmp/x\"; };\n",
         "the period feddogSec + feddogUSec must be at least 10000 us"},
        {"", "watchdog = { feddogSec = 1; };\n", "watchdog.txFeddogHtDmNme must have 1 to 107"},
        {"", "watchdog = { feddogSec = -1; txFeddogHtDmNme = \"/tmp/x\"; };\n",
         "feddogSec and feddogUSec must not be negative"},
        {"", "logs = { };\n", "unknown setting logs"},
        {"", "congestion = { rule = \"fast\"; };\n",
         ":1: congestion.rule = \"fast\" must be \"off\", \"reactive\" or \"adaptive\""},
        {"", "congestion = { reactive = ( { cbrMax = 1; gapMs = [ 0, 0, 0, 0, 0, 0, 0 ]; } ); };\n",
         "congestion.reactive[0].gapMs must be an array of 8 gaps"},
        {"", "congestion = { reactive = ( { cbrMax = 0.5; gapMs = [ 0, 0, 0, 0, 0, 0, 0, 0 ]; },\n"
             "  { cbrMax = 0.5; gapMs = [ 0, 0, 0, 0, 0, 0, 0, 0 ]; } ); };\n",
         ":2: congestion.reactive[1].cbrMax = 0.5 does not rise above the row before"},
        {"", "congestion = { reactive = ( { cbrMax = 0.9; gapMs = [0,0,0,0,0,0,0,0]; } ); };\n",
         "congestion.reactive[0].cbrMax must be 1.0"},
        {"", "congestion = { ungated = [ 8 ]; };\n", "congestion.ungated: a priority is 0 to 7"},
        {"", "congestion = { adaptive = { dutyMin = 0.5; }; };\n",
         "congestion.adaptive.dutyMin = 0.5 is above dutyMax (0.03)"},
        {"", "congestion = { adaptive = { alpha = 1; }; };\n",
         "congestion.adaptive.alpha = 1 must be above 0 and below 1"},
        {"", "congestion = { stale = 5; };\n", "unknown setting congestion.stale"},
    };
    std::string many = "  txDefaults = ( { aid = 0; }";
    for (int aid = 1; aid <= 32; ++aid) {
        many += ", { aid = " + std::to_string(aid) + "; }";
    }
    const std::string tooMany = many + " );\n";
    std::vector<Case> all(std::begin(cases), std::end(cases));
    all.push_back({tooMany.c_str(), "", "station.txDefaults holds more than 32 entries"});
    for (const Case& c : all) {
        StationFile f("bad", 1000, 1001, c.body, c.groups);
        std::string out;
        EXPECT_EQ(run_station({"-c", f.path, "--check"}, out), 2) << c.expect << "\n" << out;
        EXPECT_NE(out.find(c.expect), std::string::npos) << "want: " << c.expect << "\ngot: " << out;
        EXPECT_NE(out.find(f.path + ":"), std::string::npos) << out;
    }
}

TEST(StationConfig, BadRecordFieldsAndCommandLinesAreRefused)
{
    const std::string dir = unique_path("cfgdir");
    const std::string path = dir + ".cfg";
    struct Case {
        std::string text;
        const char* expect;
    };
    const std::string longSock(108, 's');
    const Case cases[] = {
        {"station = { dmnNme = \"/tmp/" + longSock + "\"; }", "station.dmnNme must have 1 to 107"},
        {"station = { dmnNme = \"/tmp/a\"; sendIp = \"127.0.0.1\"; sendPort = 0; }",
         "sendPort = 0 is outside 1..65535"},
        {"station = { dmnNme = \"/tmp/a\"; sendIp = \"localhost\"; }", "is not an IPv4 address"},
        {"station = { dmnNme = \"/tmp/a\"; sendIp = \"127.0.0.1\"; sendPort = 1; rcvIp = \"127.0.0.1\";"
         " rcvPort = 2; macAddr = \"02:00:00:00:00\"; }",
         "is not a MAC address"},
        {"station = { dmnNme = \"/tmp/a\"; sendIp = \"127.0.0.1\"; sendPort = 1; rcvIp = \"127.0.0.1\";"
         " rcvPort = 2; }",
         "missing setting station.macAddr"},
        {"station = { name = ; };", "syntax error"},
        {"log = { };", "missing group station"},
    };
    for (const Case& c : cases) {
        spill(path, c.text + "\n");
        std::string out;
        EXPECT_EQ(run_station({"-c", path, "--check"}, out), 2) << c.text;
        EXPECT_NE(out.find(c.expect), std::string::npos) << "want: " << c.expect << "\ngot: " << out;
    }
    std::string out;
    EXPECT_EQ(run_station({"-c", path + ".missing"}, out), 2);
    EXPECT_NE(out.find("cannot read the file"), std::string::npos) << out;
    EXPECT_EQ(run_station({}, out), 2);
    EXPECT_NE(out.find("no configuration file"), std::string::npos) << out;
    StationFile f("cl", 1000, 1001, "");
    EXPECT_EQ(run_station({"-c", f.path, "-l", "7"}, out), 2);
    EXPECT_NE(out.find("log level '7'"), std::string::npos) << out;
    EXPECT_EQ(run_station({"-c", f.path, "-d", "soon"}, out), 2);
    EXPECT_NE(out.find("duration 'soon'"), std::string::npos) << out;
    EXPECT_EQ(run_station({"-c", f.path, "-d", "-3"}, out), 2);
    EXPECT_EQ(run_station({"-c", f.path, "extra"}, out), 2);
    unlink(path.c_str());
}

// A's BSM reach B and B's reach A; A's provider is confirmed and its
// advertisements reach B; every printed line and count agrees with the other
// side; SIGTERM stops A cleanly with its summary.
TEST(StationRun, TwoStationsExchangeBothWaysAndStopOnSigterm)
{
    const std::vector<uint16_t> p = free_ports(4);
    StationFile a("A", p[0], p[1],
                  "  receive = [ 26 ];\n"
                  "  send = ( { aid = 26; rate = 10; size = 40; } );\n"
                  "  providers = ( { lclAppId = 3; aid = 135; rptRte = 10; dsaHdrExt = \"hi\"; } );\n");
    StationFile b("B", p[2], p[3],
                  "  receive = [ 26, 135 ];\n"
                  "  send = ( { aid = 26; rate = 8; size = 20; } );\n");
    Radio radio({&a, &b});
    Proc pa("sta"), pb("stb");
    ASSERT_TRUE(pa.start({kStation, "-c", a.path}));
    ASSERT_TRUE(pb.start({kStation, "-c", b.path, "-d", "3"}));
    ASSERT_EQ(pb.wait_exit(60000), 0) << pb.text() << pb.errors();
    ASSERT_TRUE(pa.wait_text("READY", 20000)) << pa.text();
    pa.signal(SIGTERM);
    ASSERT_EQ(pa.wait_exit(20000), 0) << pa.text() << pa.errors();

    const std::string ta = pa.text(), tb = pb.text();
    EXPECT_EQ(lines_with(ta, " STOP SIGTERM").size(), 1u) << ta;
    EXPECT_EQ(lines_with(tb, " STOP duration of 3 s over").size(), 1u) << tb;
    EXPECT_EQ(lines_with(ta, " CFM provider lcl=3 ret=0 (accepted)").size(), 1u) << ta;

    const std::vector<std::string> rxA = lines_with(ta, " RX  aid=26 kind=BSM len=20 ");
    const std::vector<std::string> rxB = lines_with(tb, " RX  aid=26 kind=BSM len=40 ");
    const std::vector<std::string> dsaB = lines_with(tb, " RX  aid=135 kind=other ");
    EXPECT_GT(rxA.size(), 5u) << ta;
    EXPECT_GT(rxB.size(), 5u) << tb;
    EXPECT_GT(dsaB.size(), 2u) << tb;
    // Data: a big-endian sequence number, then k for byte k; 16 bytes shown.
    EXPECT_NE(rxB[0].find("data=00 00 00 "), std::string::npos) << rxB[0];
    EXPECT_NE(rxB[0].find(" 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ..."), std::string::npos) << rxB[0];
    // The advertisement: header 10 30, then the text "hi", nothing more.
    EXPECT_NE(dsaB[0].find(" len=4 ver=0 prio=0 data=10 30 68 69"), std::string::npos) << dsaB[0];
    EXPECT_EQ(dsaB[0].find("..."), std::string::npos) << dsaB[0];

    // The time stamp leads each line: HH:MM:SS.uuuuuu.
    EXPECT_TRUE(v2xtest::starts_with_clock(rxA[0])) << rxA[0];

    const std::vector<std::string> sa = lines_with(ta, " SUMMARY A ");
    const std::vector<std::string> sb = lines_with(tb, " SUMMARY B ");
    ASSERT_EQ(sa.size(), 1u) << ta;
    ASSERT_EQ(sb.size(), 1u) << tb;
    EXPECT_EQ(field(sa[0], "received"), static_cast<long>(rxA.size()));
    EXPECT_EQ(field(sb[0], "received"), static_cast<long>(rxB.size() + dsaB.size()));
    EXPECT_EQ(field(sa[0], "refused"), 0);
    EXPECT_EQ(field(sb[0], "refused"), 0);
    // Nothing is received that was not sent: B ran 3 s at 8/s.
    EXPECT_GE(field(sb[0], "sent"), static_cast<long>(rxA.size()));
    EXPECT_LE(field(sb[0], "sent"), 3 * 8 + 2);
    EXPECT_GE(field(sa[0], "sent"), static_cast<long>(rxB.size()));
    // Sequence numbers received by B only rise: no duplicates, no reordering.
    long last = -1;
    for (const std::string& l : rxB) {
        const size_t d = l.find("data=");
        unsigned b0, b1, b2, b3;
        ASSERT_EQ(sscanf(l.c_str() + d + 5, "%x %x %x %x", &b0, &b1, &b2, &b3), 4) << l;
        const long s = static_cast<long>((b0 << 24) | (b1 << 16) | (b2 << 8) | b3);
        EXPECT_GT(s, last) << l;
        last = s;
    }
}

TEST(StationRun, SigintWhileSendingStopsCleanlyWithSummary)
{
    const std::vector<uint16_t> p = free_ports(2);
    StationFile a("A", p[0], p[1], "  send = ( { aid = 30; rate = 20; size = 8; } );\n");
    Radio radio({&a});
    Proc pa("sta");
    // At run level the thread stop notices show.
    ASSERT_TRUE(pa.start({kStation, "-c", a.path, "-l", "run"}));
    ASSERT_TRUE(pa.wait_text("READY", 20000)) << pa.text();
    usleep(500 * 1000);
    pa.signal(SIGINT);
    ASSERT_EQ(pa.wait_exit(20000), 0) << pa.text() << pa.errors();
    const std::string t = pa.text();
    EXPECT_EQ(lines_with(t, " STOP SIGINT").size(), 1u) << t;
    const std::vector<std::string> s = lines_with(t, " SUMMARY A ");
    ASSERT_EQ(s.size(), 1u) << t;
    EXPECT_GE(field(s[0], "sent"), 3);
    EXPECT_EQ(field(s[0], "received"), 0);
    EXPECT_EQ(field(s[0], "refused"), 0);
    // The runtime and the core announced their stop before the summary.
    EXPECT_LT(t.find("_cv2x_app_func_pth() pthread already stop"), t.find(" SUMMARY "));
}

// A signal that arrives while the runtime is still starting is not lost.
TEST(StationRun, StopSignalDuringStartUpIsHonoured)
{
    const std::vector<uint16_t> p = free_ports(2);
    StationFile a("A", p[0], p[1], "  receive = [ 26 ];\n");
    Proc pa("sta");
    ASSERT_TRUE(pa.start({kStation, "-c", a.path}));
    ASSERT_TRUE(pa.wait_text(" START ", 10000)) << pa.text();
    pa.signal(SIGTERM);
    ASSERT_EQ(pa.wait_exit(20000), 0) << pa.text() << pa.errors();
    const std::string t = pa.text();
    EXPECT_EQ(lines_with(t, " STOP SIGTERM").size(), 1u) << t;
    EXPECT_EQ(lines_with(t, " SUMMARY A sent=0 received=0 refused=0").size(), 1u) << t;
}

TEST(StationRun, RefusalsAreCountedAndPrinted)
{
    const std::vector<uint16_t> p = free_ports(2);
    StationFile a("A", p[0], p[1], "  receive = [ 26, 26 ];\n");
    Proc pa("sta");
    ASSERT_TRUE(pa.start({kStation, "-c", a.path, "-d", "0.2"}));
    ASSERT_EQ(pa.wait_exit(20000), 0) << pa.text() << pa.errors();
    const std::string t = pa.text();
    EXPECT_EQ(lines_with(t, " REG aid=26 kind=BSM").size(), 1u) << t;
    EXPECT_EQ(lines_with(t, " REFUSED register aid=26 rc=-40961").size(), 1u) << t;
    EXPECT_EQ(lines_with(t, " SUMMARY A sent=0 received=0 refused=1").size(), 1u) << t;
}

// The core cannot start: its socket directory does not exist, or another
// program holds its radio port. The station says so and exits 1.
TEST(StationRun, CoreStartUpFailureExitsNonZeroWithReason)
{
    const std::vector<uint16_t> p = free_ports(2);
    {
        StationFile a("A", p[0], p[1], "  receive = [ 26 ];\n");
        const std::string noDir = move_socket_to_missing_dir(a);
        Proc pa("sta");
        ASSERT_TRUE(pa.start({kStation, "-c", a.path}));
        EXPECT_EQ(pa.wait_exit(30000), 1) << pa.text() << pa.errors();
        EXPECT_NE(pa.errors().find("start-up failed: no connection to the core"), std::string::npos)
            << pa.errors();
        EXPECT_NE(pa.errors().find(noDir), std::string::npos) << pa.errors();
        EXPECT_EQ(lines_with(pa.text(), " SUMMARY A ").size(), 1u) << pa.text();
    }
    {
        v2xtest::UdpPeer holder; // takes the station's receive port
        StationFile a("A", p[0], holder.port(), "  providers = ( { lclAppId = 0; aid = 135; rptRte = 1; } );\n");
        Proc pa("sta");
        ASSERT_TRUE(pa.start({kStation, "-c", a.path}));
        EXPECT_EQ(pa.wait_exit(30000), 1) << pa.text() << pa.errors();
        EXPECT_NE(pa.errors().find("start-up failed"), std::string::npos) << pa.errors();
    }
}

// A watchdog service (this test) receives the station's heartbeats:
// status 0, the name's length, the name.
TEST(StationRun, WatchdogFeederSendsHeartbeatsWhileRunning)
{
    const std::string dogPath = unique_path("dog");
    const int ls = v2xtest::unix_listen(dogPath);
    ASSERT_GE(ls, 0);

    const std::vector<uint16_t> p = free_ports(2);
    StationFile a("A", p[0], p[1], "",
                  "watchdog = { feddogSec = 0; feddogUSec = 200000; feddogNme = \"wd-test\";\n"
                  "             txFeddogHtDmNme = \"" + dogPath + "\"; };\n");
    Proc pa("sta");
    ASSERT_TRUE(pa.start({kStation, "-c", a.path}));
    struct timeval tv = {10, 0};
    setsockopt(ls, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    const int c = accept(ls, nullptr, nullptr);
    ASSERT_GE(c, 0) << pa.text();
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    const unsigned char want[] = {0, 0, 0, 0, 7, 'w', 'd', '-', 't', 'e', 's', 't'};
    unsigned char got[2 * sizeof(want)];
    size_t have = 0;
    while (have < sizeof(got)) {
        const ssize_t n = read(c, got + have, sizeof(got) - have);
        ASSERT_GT(n, 0) << "heartbeats stopped after " << have << " bytes";
        have += static_cast<size_t>(n);
    }
    EXPECT_EQ(memcmp(got, want, sizeof(want)), 0);
    EXPECT_EQ(memcmp(got + sizeof(want), want, sizeof(want)), 0);
    pa.signal(SIGTERM);
    EXPECT_EQ(pa.wait_exit(20000), 0) << pa.text() << pa.errors();
    // The feeder has stopped: the connection ends.
    char rest[64];
    ssize_t n;
    while ((n = read(c, rest, sizeof(rest))) > 0) {
    }
    EXPECT_EQ(n, 0);
    close(c);
    close(ls);
    unlink(dogPath.c_str());
}

// With the log group's file switch on, the library's lines land in the
// first of the two rotating files.
TEST(StationRun, LogGroupSendsLinesToTheLogFile)
{
    const std::string base = unique_path("log");
    const std::vector<uint16_t> p = free_ports(2);
    StationFile a("A", p[0], p[1], "",
                  "log = { fileLogSwt = 1; stdoutLogSwt = 0; saveLogPath = \"" + base + "\"; };\n");
    Proc pa("sta");
    ASSERT_TRUE(pa.start({kStation, "-c", a.path, "-d", "0.1", "-l", "run"}));
    ASSERT_EQ(pa.wait_exit(20000), 0) << pa.text() << pa.errors();
    const std::string logText = slurp(base + "-00.log");
    EXPECT_NE(logText.find("_cv2x_app_func_pth() pthread stop"), std::string::npos) << logText;
    // Standard output keeps the station's own lines only.
    EXPECT_EQ(pa.text().find("pthread stop"), std::string::npos) << pa.text();
    EXPECT_EQ(lines_with(pa.text(), " SUMMARY A ").size(), 1u);
    unlink((base + "-00.log").c_str());
}

// A second station attached to the first one's core shares its radio: it
// registers at index 0 too, both send, both receive their own AIDs. When
// that core goes away the attached station says so and exits 3.
TEST(StationRun, AttachedStationSharesTheCoreAndStopsWhenItGoes)
{
    v2xtest::UdpPeer radio;
    const std::vector<uint16_t> p = free_ports(1);
    StationFile a("A", radio.port(), p[0],
                  "  receive = [ 26 ];\n  send = ( { aid = 27; rate = 5.0; size = 8; } );\n");
    StationFile b("B", radio.port(), p[0],
                  "  receive = [ 27 ];\n  send = ( { aid = 26; rate = 5.0; size = 8; } );\n");
    std::string bcfg = slurp(b.path);
    bcfg.replace(bcfg.find(b.sock), b.sock.size(), a.sock);
    spill(b.path, bcfg);
    Proc pa("sta");
    Proc pb("stb");
    ASSERT_TRUE(pa.start({kStation, "-c", a.path}));
    ASSERT_TRUE(pa.wait_text(" READY ", 10000)) << pa.text() << pa.errors();
    ASSERT_TRUE(pb.start({kStation, "-c", b.path, "--attach"}));
    ASSERT_TRUE(pb.wait_text(" CFM dsm aid=27 ret=0", 10000)) << pb.text() << pb.errors();
    // Both stations' messages go out on the one radio.
    bool seen[2] = {false, false};
    for (int i = 0; i < 40 && !(seen[0] && seen[1]); ++i) {
        const v2xtest::Bytes d = radio.recv(2000);
        if (d.size() > 2 && (d[2] == 26 || d[2] == 27)) {
            seen[d[2] - 26] = true;
        }
    }
    EXPECT_TRUE(seen[0] && seen[1]);
    // Each receives the AID it registered.
    ASSERT_TRUE(radio.send_to(p[0], v2xtest::air_frame(26, {1, 2})));
    ASSERT_TRUE(radio.send_to(p[0], v2xtest::air_frame(27, {3, 4})));
    EXPECT_TRUE(pa.wait_text(" RX  aid=26", 10000)) << pa.text();
    EXPECT_TRUE(pb.wait_text(" RX  aid=27", 10000)) << pb.text();
    pa.signal(SIGTERM);
    ASSERT_EQ(pa.wait_exit(20000), 0) << pa.text() << pa.errors();
    EXPECT_EQ(pb.wait_exit(20000), 3) << pb.text() << pb.errors();
    EXPECT_EQ(lines_with(pb.text(), " STOP core gone").size(), 1u) << pb.text();
    EXPECT_EQ(lines_with(pb.text(), " SUMMARY B ").size(), 1u) << pb.text();
}

// The table reaches the core the station starts, in both modes: plain
// requests sent faster than the radio takes them are superseded or expire
// as their AID's entry says. An attached station's own table is not used.
TEST(StationRun, TxDefaultsReachTheCoreTheStationStarts)
{
    v2xtest::UdpPeer radio;
    const std::vector<uint16_t> p = free_ports(3);
    StationFile a("A", radio.port(), p[0],
                  "  send = ( { aid = 26; rate = 40; size = 8; }, { aid = 27; rate = 40; size = 8; },\n"
                  "           { aid = 28; rate = 5; size = 8; } );\n"
                  "  txDefaults = ( { aid = 26; priority = 7; supersede = true; },\n"
                  "                 { aid = 27; lifetimeMs = 1; } );\n");
    Proc pa("sta");
    ASSERT_TRUE(pa.start({kStation, "-c", a.path, "-d", "1"}));
    ASSERT_EQ(pa.wait_exit(20000), 0) << pa.text() << pa.errors();
    // The station's own stream of a listed AID takes the entry's priority:
    // a BSM always waits, so the unlisted AID 28 (priority 1) hardly gets on.
    int frames[3] = {0, 0, 0};
    for (v2xtest::Bytes d = radio.recv(500); !d.empty(); d = radio.recv(200)) {
        if (d.size() > 2 && d[2] >= 26 && d[2] <= 28) {
            ++frames[d[2] - 26];
        }
    }
    EXPECT_GT(frames[0], 8);
    EXPECT_LT(frames[2] * 3, frames[0]) << frames[2] << " frames of AID 28";
    std::vector<std::string> core = lines_with(pa.text(), " CORE A ");
    ASSERT_EQ(core.size(), 1u) << pa.text();
    EXPECT_GT(field(core[0], "tx-superseded"), 0) << core[0];
    EXPECT_GT(field(core[0], "tx-expired"), 0) << core[0];
    EXPECT_EQ(field(lines_with(pa.text(), " SUMMARY A ").at(0), "refused"), 0) << pa.text();

    StationFile srv("S", radio.port(), p[1], "  txDefaults = ( { aid = 26; supersede = true; } );\n");
    StationFile b("B", radio.port(), p[2],
                  "  send = ( { aid = 26; rate = 40; size = 8; } );\n"
                  "  txDefaults = ( { aid = 26; lifetimeMs = 1; } );\n");
    std::string bcfg = slurp(b.path);
    bcfg.replace(bcfg.find(b.sock), b.sock.size(), srv.sock);
    spill(b.path, bcfg);
    Proc ps("srv"), pb("stb");
    ASSERT_TRUE(ps.start({kStation, "--serve", "-c", srv.path}));
    ASSERT_TRUE(ps.wait_text(" READY serving on ", 10000)) << ps.text() << ps.errors();
    ASSERT_TRUE(pb.start({kStation, "-c", b.path, "--attach", "-d", "1"}));
    ASSERT_EQ(pb.wait_exit(20000), 0) << pb.text() << pb.errors();
    ps.signal(SIGTERM);
    ASSERT_EQ(ps.wait_exit(20000), 0) << ps.text() << ps.errors();
    core = lines_with(ps.text(), " CORE S ");
    ASSERT_EQ(core.size(), 1u) << ps.text();
    EXPECT_GT(field(core[0], "tx-superseded"), 0) << core[0];
    EXPECT_EQ(field(core[0], "tx-expired"), 0) << core[0];
}

#endif

// log.target = "journal": the libraries' lines go to standard error with
// their syslog priority in front, none to standard output; at the default
// level a failed start-up is one line naming what could not be bound.
TEST(StationRun, JournalTargetAndOneLineStartUpFailure)
{
    const std::vector<uint16_t> p = free_ports(2);
    {
        StationFile a("A", p[0], p[1], "", "log = { target = \"journal\"; };\n");
        Proc pa("sta");
        ASSERT_TRUE(pa.start({kStation, "-c", a.path, "-d", "0.1", "-l", "run"}));
        ASSERT_EQ(pa.wait_exit(20000), 0) << pa.text() << pa.errors();
        EXPECT_NE(pa.errors().find("<5>v2x_evthread.hpp:"), std::string::npos) << pa.errors();
        EXPECT_NE(pa.errors().find("<5>Log no create pthread\n"), std::string::npos) << pa.errors();
        EXPECT_EQ(pa.text().find("["), std::string::npos) << pa.text();
        EXPECT_EQ(pa.text().find("Log no create"), std::string::npos) << pa.text();
    }
    {
        StationFile a("A", p[0], p[1], "  receive = [ 26 ];\n");
        const std::string noDir = move_socket_to_missing_dir(a);
        Proc pa("sta");
        ASSERT_TRUE(pa.start({kStation, "-c", a.path}));
        EXPECT_EQ(pa.wait_exit(30000), 1) << pa.text() << pa.errors();
        EXPECT_EQ(pa.errors(), "v2x-station: start-up failed: no connection to the core (-8): it "
                               "could not bind its application socket " + noDir +
                               ": No such file or directory\n");
        EXPECT_EQ(pa.text().find("["), std::string::npos) << pa.text();
        EXPECT_EQ(pa.text().find("File log close"), std::string::npos) << pa.text();
    }
}

#if defined(V2X_STATION_PATH) && defined(V2X_RADIO_SIM_PATH) && defined(V2X_CERT_PATH)

// Two stations sign and verify their BSMs with a chain v2x-cert made; the
// radio corrupts A's first BSM, which B drops as a bad signature. B gets
// A's payloads as A sent them (40 bytes, not the signed records).
TEST(StationRun, TwoStationsSignAndVerifyAndDropATamperedFrame)
{
    const std::string pki = v2xtest::unique_path("pki");
    ASSERT_EQ(mkdir(pki.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((pki + "/trust").c_str(), 0700), 0);
    const std::string cert = V2X_CERT_PATH;
    std::string out;
    const auto run = [&](const std::string& args) {
        return shell(q(cert) + " " + args + " 2>&1", out);
    };
    ASSERT_EQ(run("root --out " + q(pki + "/trust/root.cert") + " --key-out " + q(pki + "/root.key")), 0)
        << out;
    for (const char* who : {"a", "b"}) {
        ASSERT_EQ(run("issue --issuer " + q(pki + "/trust/root.cert") + " --issuer-key " +
                      q(pki + "/root.key") + " --psid 26 --out " + q(pki + "/" + who + ".cert") +
                      " --key-out " + q(pki + "/" + who + ".key")),
                  0)
            << out;
    }
    const auto security = [&](const std::string& who) {
        return "security = {\n  trustDir = \"" + pki + "/trust\";\n  cert = \"" + pki + "/" + who +
               ".cert\";\n  key = \"" + pki + "/" + who +
               ".key\";\n  profiles = ( { aid = 26; sign = true; verify = true; } );\n};\n";
    };
    const std::vector<uint16_t> p = free_ports(4);
    StationFile a("A", p[0], p[1], "  send = ( { aid = 26; rate = 10; size = 40; } );\n",
                  security("a"));
    StationFile b("B", p[2], p[3], "  receive = [ 26 ];\n", security("b"));
    Proc radio("radio");
    ASSERT_TRUE(radio.start({V2X_RADIO_SIM_PATH, "--quiet", "--tamper", "26", "--station",
                             a.radio_spec(), "--station", b.radio_spec()}));
    ASSERT_TRUE(radio.wait_text("radio-sim: ready", 10000, true)) << radio.errors();
    Proc pb("stb"), pa("sta");
    ASSERT_TRUE(pb.start({kStation, "-c", b.path, "-d", "6"}));
    ASSERT_TRUE(pb.wait_text("READY", 20000)) << pb.text() << pb.errors();
    ASSERT_TRUE(pa.start({kStation, "-c", a.path, "-d", "2"}));
    ASSERT_EQ(pa.wait_exit(60000), 0) << pa.text() << pa.errors();
    ASSERT_EQ(pb.wait_exit(60000), 0) << pb.text() << pb.errors();

    const std::string tb = pb.text();
    const std::vector<std::string> rx = lines_with(tb, " RX  aid=26 kind=BSM len=40 ");
    EXPECT_GT(rx.size(), 5u) << tb;
    const std::vector<std::string> core = lines_with(tb, " CORE B ");
    ASSERT_EQ(core.size(), 1u) << tb;
    EXPECT_EQ(field(core[0], "bad-signature"), 1) << core[0];
    EXPECT_EQ(field(core[0], "verified"), static_cast<long>(rx.size())) << core[0];
    EXPECT_EQ(field(core[0], "sec-dropped"), 0) << core[0];
    const std::vector<std::string> coreA = lines_with(pa.text(), " CORE A ");
    ASSERT_EQ(coreA.size(), 1u);
    // What A signed in its last moments may have been dropped at its stop.
    EXPECT_GE(field(coreA[0], "signed"), static_cast<long>(rx.size()) + 1) << coreA[0];
    shell("rm -rf " + q(pki), out);
}

#endif
