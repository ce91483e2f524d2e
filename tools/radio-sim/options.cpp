// SPDX-License-Identifier: Apache-2.0
#include "options.h"
#include "rx_record.h"
#include "scenario.h"
#include "sidelink_params.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace radiosim {

namespace {

const char kUsage[] =
    "usage: radio-sim [options]\n"
    "\n"
    "Plays the C-V2X radio module for one or more stations on loopback. For each\n"
    "station it listens where the station sends (SENDIP:SENDPORT) and delivers\n"
    "every datagram received there, unchanged and one per datagram, to every other\n"
    "station's RCVIP:RCVPORT, sending from the receiving station's own\n"
    "SENDIP:SENDPORT. Every address must be in 127.0.0.0/8, unless --own-netns is\n"
    "given and radio-sim runs in a network namespace with loopback interfaces only\n"
    "(as a test creates for itself), where any IPv4 address of that namespace may\n"
    "be used.\n"
    "\n"
    "Options:\n"
    "  --station NAME,SENDIP:SENDPORT,RCVIP:RCVPORT\n"
    "                        add a station (repeatable)\n"
    "  --config FILE         add the stations listed in FILE (repeatable), one per\n"
    "                        line: NAME SENDIP:SENDPORT RCVIP:RCVPORT\n"
    "                        fields separated by blanks or commas; '#' starts a\n"
    "                        comment; blank lines are ignored\n"
    "  --echo                also deliver every frame back to its sender\n"
    "  --inject HEX          deliver the datagram HEX (hex digits; blanks, ':' and\n"
    "                        '-' between bytes are ignored) once; needs a --to after\n"
    "                        it\n"
    "  --to STATION|all      destination of the preceding --inject\n"
    "  --inject-delay SECONDS\n"
    "                        wait this long after start-up before injecting\n"
    "                        (default 0)\n"
    "  --pcap FILE           record every delivered datagram to FILE (pcap, link type\n"
    "                        LINKTYPE_IPV4 = 228: synthesized IPv4 + UDP headers with\n"
    "                        the real addresses and ports; opens in Wireshark)\n"
    "  --pcap-uplink         also record the datagrams as the stations sent them\n"
    "  --duration SECONDS    stop after SECONDS (decimals allowed); 0 stops right\n"
    "                        after the injections; default: run until SIGINT or\n"
    "                        SIGTERM\n"
    "  --quiet               no per-frame lines on standard output\n"
    "  --scenario FILE       stations (with a position or a SUMO vehicle), the\n"
    "                        channel model's parameters, the seed and the SUMO run\n"
    "                        from a libconfig FILE (see man radio-sim); repeatable\n"
    "                        for stations\n"
    "  --position NAME,X,Y   put station NAME at X,Y metres; any position turns the\n"
    "                        channel model on (then every station needs one)\n"
    "  --model simple|sidelink|KEY=VALUE[,...]\n"
    "                        choose the channel model (default simple) and set its\n"
    "                        parameters, over the scenario's. simple: tx_power_dbm,\n"
    "                        ref_loss_db, ref_distance_m, exponent, sensitivity_dbm,\n"
    "                        width_db, range_m (0: where reception falls to 1%),\n"
    "                        latency_ms, jitter_ms. sidelink: subchannels, mcs,\n"
    "                        reservation_ms, tx_power_dbm and more (man radio-sim)\n"
    "  --seed N              seed of the model's random streams (default 1)\n"
    "  --link-stats FILE     at the end, write the counters per sender and receiver\n"
    "                        (sent, delivered, dropped by range or by the model; with\n"
    "                        sidelink: losses by cause, each station's CBR) as JSON\n"
    "  --pcap-format pcap|pcapng\n"
    "                        pcapng marks every record with a comment naming sender\n"
    "                        and receiver; default: pcapng when the model runs, else\n"
    "                        pcap\n"
    "  --replay FILE         deliver the frames of a capture radio-sim recorded (pcap\n"
    "                        or pcapng) again, each to the station that received it,\n"
    "                        in order and with their recorded spacing, after\n"
    "                        --inject-delay\n"
    "  --sumo CONFIG         start SUMO (the program sumo) with CONFIG.sumocfg on\n"
    "                        loopback, step it and move each vehicle's station\n"
    "  --sumo-port PORT      instead, connect to a SUMO listening on 127.0.0.1:PORT\n"
    "  --sumo-speed FACTOR   simulated seconds per real second (default 1: real time)\n"
    "  --sumo-binary PATH    the SUMO program for --sumo (default sumo)\n"
    "  --simulate FILE       run the simulation scenario FILE offline, as fast as\n"
    "                        the CPU allows, no sockets: vehicles of its own on a\n"
    "                        road, the sidelink model, delivery ratio and losses\n"
    "                        per distance\n"
    "                        as JSON, CSV and a picture (man radio-sim); only --out,\n"
    "                        --seed, --duration (the seconds counted) and --quiet go\n"
    "                        with it\n"
    "  --out DIR             where --simulate writes (default: NAME-results beside\n"
    "                        the scenario NAME.cfg)\n"
    "  --tamper AID[:N]      corrupt the Nth (default: the first) DSMP frame of AID\n"
    "                        that each station sends, before it is delivered: the\n"
    "                        lowest bit of the last byte of its data is flipped (with\n"
    "                        a signed record, inside the signature). Once per run and\n"
    "                        per sending station; only frames whose length field\n"
    "                        matches count. Logged on standard error and counted as\n"
    "                        tampered in --link-stats. Repeatable, one AID each; the\n"
    "                        command line's replace a scenario's tamper list\n"
    "  --rx-record           deliver each station's frame as a receive-record\n"
    "                        datagram: 0x84, a 12-byte record (the sender's\n"
    "                        layer-2 id, the RSSI and the receiver's CBR when the\n"
    "                        model knows them), then the datagram as sent; a frame\n"
    "                        that would make it longer than 2040 bytes goes plain.\n"
    "                        Injected and replayed frames always go plain\n"
    "  --cbr-report          with --model sidelink: every 100 ms send each station\n"
    "                        a CBR report datagram: 0x85, a 16-byte record (its\n"
    "                        CBR in per mille from the model, the measurement's\n"
    "                        time in ms since 1970 UTC); counted in --link-stats\n"
    "  --own-netns           accept addresses outside 127.0.0.0/8; refused unless\n"
    "                        every interface radio-sim sees is a loopback one\n"
    "  -h, --help            this text\n"
    "  --version             the version\n"
    "\n"
    "Output: one line per datagram on standard output,\n"
    "  HH:MM:SS.uuuuuu from=NAME to=NAME[,NAME...] len=N aid=AID\n"
    "where from is @inject for injected frames, to is - when nobody gets the frame,\n"
    "len counts the whole datagram (protocol-type byte included) and AID is the\n"
    "decimal AID of the DSMP frame, dme for the DME marker 0x87, or - when the\n"
    "datagram is too short or its AID form is not readable. Start-up notes and\n"
    "errors go to standard error; the line \"radio-sim: ready\" there means every\n"
    "socket is bound.\n"
    "\n"
    "With the channel model, a frame reaches a station with the probability of a\n"
    "log-distance path loss and a logistic reception curve, never beyond range_m,\n"
    "after latency_ms plus up to jitter_ms; to= lists the stations it will reach.\n"
    "With --model sidelink, each station's frames wait for its reserved resource\n"
    "(1 ms subframes) and are lost by half-duplex, sensitivity, propagation or\n"
    "collision; the line comes when the frame goes on the air, to= lists the\n"
    "stations that decoded it.\n"
    "With --sumo, radio-sim ends when SUMO's simulation ends.\n"
    "\n"
    "Exit status: 0 after a signal or --duration, 1 on a runtime error,\n"
    "2 on a bad command line or a start-up failure.\n";

bool parse_ipv4(const std::string& text, uint32_t& out, std::string& err)
{
    struct in_addr a;
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
        err = "'" + text + "' is not an IPv4 address";
        return false;
    }
    out = ntohl(a.s_addr);
    return true;
}

// True when every network interface this process sees is a loopback one,
// as in a network namespace a test made for itself: then no datagram can
// leave the machine, whatever its address.
bool in_own_netns()
{
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool onlyLoopback = true;
    for (struct ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if ((i->ifa_flags & IFF_LOOPBACK) == 0) {
            onlyLoopback = false;
        }
    }
    freeifaddrs(list);
    return onlyLoopback;
}

// Every address must be loopback, except inside a namespace of its own.
bool check_addresses(const Options& opt, std::string& err)
{
    if (opt.ownNetns) {
        if (!in_own_netns()) {
            err = "--own-netns: this network namespace has interfaces other than loopback";
            return false;
        }
        return true;
    }
    for (const StationCfg& st : opt.stations) {
        for (const Endpoint* ep : {&st.send, &st.rcv}) {
            if ((ep->addr >> 24) != 127u) {
                err = "address " + endpoint_text(*ep) +
                      " is not a loopback address (127.0.0.0/8): radio-sim only sends on loopback";
                return false;
            }
        }
    }
    return true;
}

bool parse_port(const std::string& text, uint16_t& out, std::string& err)
{
    if (text.empty() || text.size() > 5) {
        err = "'" + text + "' is not a port (1 to 65535)";
        return false;
    }
    unsigned long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            err = "'" + text + "' is not a port (1 to 65535)";
            return false;
        }
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v == 0 || v > 65535) {
        err = "'" + text + "' is not a port (1 to 65535)";
        return false;
    }
    out = static_cast<uint16_t>(v);
    return true;
}

bool parse_endpoint(const std::string& text, Endpoint& ep, std::string& err)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        err = "'" + text + "' is not IP:PORT";
        return false;
    }
    return parse_ipv4(text.substr(0, colon), ep.addr, err) &&
           parse_port(text.substr(colon + 1), ep.port, err);
}

bool valid_name(const std::string& name, std::string& err)
{
    if (name.empty() || name.size() > kMaxNameLen) {
        err = "station name '" + name + "' must have 1 to 31 characters";
        return false;
    }
    for (char c : name) {
        if (!(isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) {
            err = "station name '" + name + "' may only hold letters, digits, '_', '-' and '.'";
            return false;
        }
    }
    if (name[0] == '-') {
        err = "station name '" + name + "' must not start with '-'";
        return false;
    }
    if (name == "all") {
        err = "'all' is reserved (--to all) and cannot name a station";
        return false;
    }
    return true;
}

}  // namespace

bool parse_station_fields(const std::vector<std::string>& fields, StationCfg& st,
                          std::string& err)
{
    if (fields.size() != 3) {
        err = "a station needs exactly three fields: NAME SENDIP:SENDPORT RCVIP:RCVPORT";
        return false;
    }
    st.name = fields[0];
    if (!valid_name(st.name, err)) {
        return false;
    }
    if (!parse_endpoint(fields[1], st.send, err) || !parse_endpoint(fields[2], st.rcv, err)) {
        err = "station " + st.name + ": " + err;
        return false;
    }
    return true;
}

namespace {

bool make_station(const std::vector<std::string>& fields, StationCfg& st, std::string& err)
{
    return parse_station_fields(fields, st, err);
}

std::vector<std::string> split(const std::string& text, const char* seps)
{
    std::vector<std::string> out;
    std::string cur;
    bool any = false;
    for (char c : text) {
        if (strchr(seps, c) != nullptr) {
            if (any) {
                out.push_back(cur);
            }
            cur.clear();
            any = false;
        } else {
            cur.push_back(c);
            any = true;
        }
    }
    if (any) {
        out.push_back(cur);
    }
    return out;
}

bool parse_station_arg(const std::string& arg, Options& opt, std::string& err)
{
    // Exactly three comma-separated fields; empty fields are errors.
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        size_t comma = arg.find(',', start);
        fields.push_back(arg.substr(start, comma == std::string::npos ? std::string::npos
                                                                       : comma - start));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    StationCfg st;
    if (!make_station(fields, st, err)) {
        err = "--station " + arg + ": " + err;
        return false;
    }
    opt.stations.push_back(st);
    return true;
}

bool parse_config_file(const std::string& path, Options& opt, std::string& err)
{
    std::ifstream in(path);
    if (!in) {
        err = "cannot read station file " + path + ": " + strerror(errno);
        return false;
    }
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        std::vector<std::string> fields = split(line, " \t\r,");
        if (fields.empty()) {
            continue;
        }
        StationCfg st;
        if (!make_station(fields, st, err)) {
            err = path + ":" + std::to_string(lineNo) + ": " + err;
            return false;
        }
        opt.stations.push_back(st);
    }
    if (in.bad()) {
        err = "cannot read station file " + path;
        return false;
    }
    return true;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool parse_hex(const std::string& text, std::vector<uint8_t>& out, std::string& err)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ':' || c == '-') {
            if (high >= 0) {
                err = "--inject: odd number of hex digits before a separator in '" + text + "'";
                return false;
            }
            continue;
        }
        int v = hex_value(c);
        if (v < 0) {
            err = "--inject: '" + text + "' is not hex";
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>((high << 4) | v));
            high = -1;
        }
    }
    if (high >= 0) {
        err = "--inject: odd number of hex digits in '" + text + "'";
        return false;
    }
    if (out.size() > 65507) {
        err = "--inject: a UDP datagram holds at most 65507 bytes";
        return false;
    }
    return true;
}

bool parse_seconds(const char* name, const std::string& text, double& out, std::string& err)
{
    char* end = nullptr;
    errno = 0;
    double v = strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || errno != 0 || !std::isfinite(v) ||
        v < 0.0 || v > 1.0e7) {
        err = std::string(name) + ": '" + text + "' is not a number of seconds (0 to 10000000)";
        return false;
    }
    out = v;
    return true;
}

bool check_stations(Options& opt, std::string& err)
{
    if (opt.stations.empty()) {
        err = "no stations: give --station or --config";
        return false;
    }
    if (opt.stations.size() > kMaxStations) {
        err = "too many stations (at most " + std::to_string(kMaxStations) + ")";
        return false;
    }
    const size_t n = opt.stations.size();
    for (size_t i = 0; i < n; ++i) {
        const StationCfg& a = opt.stations[i];
        for (size_t j = 0; j < n; ++j) {
            const StationCfg& b = opt.stations[j];
            if (j > i && a.name == b.name) {
                err = "station name " + a.name + " is given twice";
                return false;
            }
            if (j > i && a.send.addr == b.send.addr && a.send.port == b.send.port) {
                err = "stations " + a.name + " and " + b.name + " share the send address " +
                      endpoint_text(a.send);
                return false;
            }
            if (j > i && a.rcv.addr == b.rcv.addr && a.rcv.port == b.rcv.port) {
                err = "stations " + a.name + " and " + b.name + " share the receive address " +
                      endpoint_text(a.rcv);
                return false;
            }
            if (a.rcv.addr == b.send.addr && a.rcv.port == b.send.port) {
                err = "the receive address " + endpoint_text(a.rcv) + " of station " + a.name +
                      " is the send address of station " + b.name +
                      " (the simulator would deliver to itself)";
                return false;
            }
        }
    }
    return true;
}

bool parse_position_arg(const std::string& arg, std::vector<std::string>& pending,
                        std::string& err)
{
    std::vector<std::string> f = split(arg, ",");
    if (f.size() != 3) {
        err = "--position " + arg + ": give NAME,X,Y (metres)";
        return false;
    }
    pending.push_back(arg);
    return true;
}

bool parse_double(const std::string& text, double& out)
{
    char* end = nullptr;
    errno = 0;
    out = strtod(text.c_str(), &end);
    return !text.empty() && end != nullptr && *end == '\0' && errno == 0 && std::isfinite(out);
}

bool apply_positions(const std::vector<std::string>& pending, Options& opt, std::string& err)
{
    for (const std::string& arg : pending) {
        std::vector<std::string> f = split(arg, ",");
        StationCfg* st = nullptr;
        for (StationCfg& c : opt.stations) {
            if (c.name == f[0]) {
                st = &c;
            }
        }
        if (st == nullptr) {
            err = "--position " + arg + ": no such station";
            return false;
        }
        double x = 0.0;
        double y = 0.0;
        if (!parse_double(f[1], x) || !parse_double(f[2], y)) {
            err = "--position " + arg + ": X and Y must be numbers (metres)";
            return false;
        }
        st->hasPosition = true;
        st->x = x;
        st->y = y;
        st->vehicle.clear();
    }
    return true;
}

// --model: the words simple and sidelink choose the model (over the
// scenario's choice, the last one given wins); KEY=VALUE pairs set the
// chosen model's parameters.
bool apply_model_args(const std::vector<std::string>& args, Options& opt, std::string& err)
{
    for (const std::string& arg : args) {
        for (const std::string& item : split(arg, ",")) {
            if (item == "simple" || item == "sidelink") {
                opt.modelKind = item == "simple" ? ModelKind::kSimple : ModelKind::kSidelink;
            } else if (item.find('=') == std::string::npos) {
                err = "--model " + arg + ": '" + item +
                      "' is neither simple, sidelink nor KEY=VALUE";
                return false;
            }
        }
    }
    const bool sidelink = opt.modelKind == ModelKind::kSidelink;
    for (const std::string& arg : args) {
        for (const std::string& kv : split(arg, ",")) {
            const size_t eq = kv.find('=');
            if (eq == std::string::npos) {
                continue;  // a model's name
            }
            const std::string key = kv.substr(0, eq);
            double v = 0.0;
            if (!parse_double(kv.substr(eq + 1), v)) {
                err = "--model " + arg + ": give KEY=VALUE pairs, VALUE a number";
                return false;
            }
            if (!sidelink && !set_model_param(opt.model, key, v)) {
                err = "--model: unknown parameter " + key + " (known: " + model_param_names() + ")";
                return false;
            }
            if (sidelink && !set_sidelink_param(opt.sidelink, key, v)) {
                SidelinkParams probe;
                err = set_sidelink_param(probe, key, 0.0)
                          ? "--model: " + kv + ": " + key + " must be a whole number"
                          : "--model: unknown parameter " + key +
                                " of the sidelink model (known: " + sidelink_param_names() + ")";
                return false;
            }
        }
    }
    std::string why;
    if (!check_model(opt.model, why) || (sidelink && !check_sidelink(opt.sidelink, why))) {
        err = sidelink ? "--model: " + why : why;
        return false;
    }
    return true;
}

// The channel model runs when any station has a position or a vehicle;
// then every station needs one, and vehicles need SUMO.
bool check_model_stations(Options& opt, std::string& err)
{
    bool any = opt.sumoWanted();
    for (const StationCfg& st : opt.stations) {
        any = any || st.hasPosition || !st.vehicle.empty();
    }
    opt.modelOn = any;
    if (!any) {
        if (opt.modelKind == ModelKind::kSidelink) {
            err = "the sidelink model needs the stations' positions (--position, or the "
                  "scenario's position or vehicle)";
            return false;
        }
        return true;
    }
    if (opt.modelKind == ModelKind::kSidelink && opt.echo) {
        err = "--echo does not go with the sidelink model: a module never hears itself";
        return false;
    }
    for (const StationCfg& st : opt.stations) {
        if (!st.hasPosition && st.vehicle.empty()) {
            err = "station " + st.name +
                  " has neither a position nor a vehicle (with the channel model every station "
                  "needs one: --position, or the scenario's position or vehicle)";
            return false;
        }
        if (!st.vehicle.empty() && !opt.sumoWanted()) {
            err = "station " + st.name + " follows vehicle " + st.vehicle +
                  ", but no SUMO is given (--sumo CONFIG or --sumo-port PORT)";
            return false;
        }
    }
    if (!opt.sumoConfig.empty() && opt.sumoPort != 0) {
        err = "--sumo and --sumo-port exclude each other";
        return false;
    }
    return true;
}

// What the options gather before they are applied: the command line wins
// over a scenario, whatever their order.
struct Parse {
    Parse(Options& aioOpt, std::string& aopErr) : opt(aioOpt), err(aopErr) {}
    Options& opt;
    std::string& err;
    bool injectPending = false;
    std::vector<std::string> positions;
    std::vector<std::string> modelArgs;
    bool seedGiven = false;
    uint64_t seed = 0;
    std::string sumoConfig;
    uint16_t sumoPort = 0;
    double sumoSpeed = -1.0;
    std::string sumoBinary;
    std::vector<Tamper> tampers;
};

// Takes one option's value; false with p.err set.
using OptHandler = bool (*)(Parse& p, const std::string& v);

// A value that names a file (or a program) must not be empty.
bool non_empty(Parse& p, const std::string& v, const char* what, std::string& out)
{
    if (v.empty()) {
        p.err = what;
        return false;
    }
    out = v;
    return true;
}

bool on_inject(Parse& p, const std::string& v)
{
    if (p.injectPending) {
        p.err = "--inject without --to before the next --inject";
        return false;
    }
    Injection inj;
    if (!parse_hex(v, inj.bytes, p.err)) {
        return false;
    }
    p.opt.injections.push_back(inj);
    p.injectPending = true;
    return true;
}

bool on_to(Parse& p, const std::string& v)
{
    if (!p.injectPending) {
        p.err = "--to " + v + " does not follow an --inject";
        return false;
    }
    p.opt.injections.back().toName = v;
    p.injectPending = false;
    return true;
}

bool on_seed(Parse& p, const std::string& v)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = strtoull(v.c_str(), &end, 10);
    if (v.empty() || v[0] == '-' || *end != '\0' || errno != 0) {
        p.err = "--seed: '" + v + "' is not a whole number of 0 or more";
        return false;
    }
    p.seed = n;
    p.seedGiven = true;
    return true;
}

bool on_pcap_format(Parse& p, const std::string& v)
{
    if (v == "pcap") {
        p.opt.pcapFormat = PcapFormat::kPcap;
    } else if (v == "pcapng") {
        p.opt.pcapFormat = PcapFormat::kPcapng;
    } else {
        p.err = "--pcap-format: '" + v + "' is neither pcap nor pcapng";
        return false;
    }
    return true;
}

bool on_tamper(Parse& p, const std::string& v)
{
    Tamper t;
    if (!parse_tamper(v, t, p.err)) {
        p.err = "--tamper " + v + ": " + p.err;
        return false;
    }
    p.tampers.push_back(t);
    return true;
}

bool on_sumo_port(Parse& p, const std::string& v)
{
    if (!parse_port(v, p.sumoPort, p.err)) {
        p.err = "--sumo-port: " + p.err;
        return false;
    }
    return true;
}

bool on_sumo_speed(Parse& p, const std::string& v)
{
    if (!parse_double(v, p.sumoSpeed) || p.sumoSpeed < 0.01 || p.sumoSpeed > 1000.0) {
        p.err = "--sumo-speed: '" + v + "' is not a factor from 0.01 to 1000";
        return false;
    }
    return true;
}

// Only long options besides -h: their values are past every character.
enum : int {
    kStation = 256, kConfig, kEcho, kQuiet, kOwnNetns, kPcap, kPcapUplink, kDuration,
    kInjectDelay, kInject, kTo, kVersion, kScenario, kPosition, kModel, kSeed, kLinkStats,
    kPcapFormat, kReplay, kSumo, kSumoPort, kSumoSpeed, kSumoBinary, kTamper,
    kSimulate, kOut, kRxRecord, kCbrReport
};

const struct option kLong[] = {
    {"station", required_argument, nullptr, kStation},
    {"config", required_argument, nullptr, kConfig},
    {"echo", no_argument, nullptr, kEcho},
    {"quiet", no_argument, nullptr, kQuiet},
    {"own-netns", no_argument, nullptr, kOwnNetns},
    {"pcap", required_argument, nullptr, kPcap},
    {"pcap-uplink", no_argument, nullptr, kPcapUplink},
    {"duration", required_argument, nullptr, kDuration},
    {"inject-delay", required_argument, nullptr, kInjectDelay},
    {"inject", required_argument, nullptr, kInject},
    {"to", required_argument, nullptr, kTo},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {"scenario", required_argument, nullptr, kScenario},
    {"position", required_argument, nullptr, kPosition},
    {"model", required_argument, nullptr, kModel},
    {"seed", required_argument, nullptr, kSeed},
    {"link-stats", required_argument, nullptr, kLinkStats},
    {"pcap-format", required_argument, nullptr, kPcapFormat},
    {"replay", required_argument, nullptr, kReplay},
    {"sumo", required_argument, nullptr, kSumo},
    {"sumo-port", required_argument, nullptr, kSumoPort},
    {"sumo-speed", required_argument, nullptr, kSumoSpeed},
    {"sumo-binary", required_argument, nullptr, kSumoBinary},
    {"tamper", required_argument, nullptr, kTamper},
    {"simulate", required_argument, nullptr, kSimulate},
    {"out", required_argument, nullptr, kOut},
    {"rx-record", no_argument, nullptr, kRxRecord},
    {"cbr-report", no_argument, nullptr, kCbrReport},
    {nullptr, 0, nullptr, 0}};
// ':' first: a missing value is told apart from an unknown option.
const char kShort[] = ":h";

// What each option of kLong does with its value.
const struct {
    int val;
    OptHandler fn;
} kHandlers[] = {
    {'h', [](Parse& p, const std::string&) { return p.opt.help = true; }},
    {kVersion, [](Parse& p, const std::string&) { return p.opt.version = true; }},
    {kStation, [](Parse& p, const std::string& v) { return parse_station_arg(v, p.opt, p.err); }},
    {kConfig, [](Parse& p, const std::string& v) { return parse_config_file(v, p.opt, p.err); }},
    {kEcho, [](Parse& p, const std::string&) { return p.opt.echo = true; }},
    {kQuiet, [](Parse& p, const std::string&) { return p.opt.quiet = true; }},
    {kOwnNetns, [](Parse& p, const std::string&) { return p.opt.ownNetns = true; }},
    {kPcap,
     [](Parse& p, const std::string& v) {
         return non_empty(p, v, "--pcap needs a file name", p.opt.pcapPath);
     }},
    {kPcapUplink, [](Parse& p, const std::string&) { return p.opt.pcapUplink = true; }},
    {kDuration,
     [](Parse& p, const std::string& v) {
         return parse_seconds("--duration", v, p.opt.duration, p.err);
     }},
    {kInjectDelay,
     [](Parse& p, const std::string& v) {
         return parse_seconds("--inject-delay", v, p.opt.injectDelay, p.err);
     }},
    {kInject, on_inject},
    {kTo, on_to},
    {kScenario, [](Parse& p, const std::string& v) { return load_scenario(v, p.opt, p.err); }},
    {kPosition,
     [](Parse& p, const std::string& v) { return parse_position_arg(v, p.positions, p.err); }},
    {kModel,
     [](Parse& p, const std::string& v) {
         p.modelArgs.push_back(v);
         return true;
     }},
    {kSeed, on_seed},
    {kLinkStats,
     [](Parse& p, const std::string& v) {
         return non_empty(p, v, "--link-stats needs a file name", p.opt.linkStatsPath);
     }},
    {kPcapFormat, on_pcap_format},
    {kReplay,
     [](Parse& p, const std::string& v) {
         return non_empty(p, v, "--replay needs a file name", p.opt.replayPath);
     }},
    {kSumo,
     [](Parse& p, const std::string& v) {
         return non_empty(p, v, "--sumo needs a .sumocfg file", p.sumoConfig);
     }},
    {kSumoPort, on_sumo_port},
    {kSumoSpeed, on_sumo_speed},
    {kSumoBinary,
     [](Parse& p, const std::string& v) {
         return non_empty(p, v, "--sumo-binary needs a program", p.sumoBinary);
     }},
    {kTamper, on_tamper},
    {kSimulate,
     [](Parse& p, const std::string& v) {
         return non_empty(p, v, "--simulate needs a scenario file", p.opt.simulatePath);
     }},
    {kOut,
     [](Parse& p, const std::string& v) {
         return non_empty(p, v, "--out needs a folder", p.opt.outDir);
     }},
    {kRxRecord, [](Parse& p, const std::string&) { return p.opt.rxRecord = true; }},
    {kCbrReport, [](Parse& p, const std::string&) { return p.opt.cbrReport = true; }},
};

OptHandler handler_of(int c)
{
    for (const auto& h : kHandlers) {
        if (h.val == c) {
            return h.fn;
        }
    }
    return nullptr;
}

// The option as typed, for an error: a long option has always been stepped
// over; a short one may sit inside a cluster, so it is named by its letter.
std::string typed_option(char** argv)
{
    const char* typed = argv[optind - 1];
    return strncmp(typed, "--", 2) == 0 || optopt == 0 || optopt > 255
               ? std::string(typed)
               : std::string("-") + static_cast<char>(optopt);
}

// Every --to names a station, or all.
bool resolve_injections(Options& opt, std::string& err)
{
    for (Injection& inj : opt.injections) {
        if (inj.toName == "all") {
            inj.to = kToAll;
            continue;
        }
        for (size_t s = 0; s < opt.stations.size(); ++s) {
            if (opt.stations[s].name == inj.toName) {
                inj.to = static_cast<int>(s);
            }
        }
        if (inj.to == -2) {
            err = "--to " + inj.toName + ": no such station";
            return false;
        }
    }
    return true;
}

// --simulate runs vehicles of its own: nothing of the stations, the sockets
// or the live model goes with it.
bool finish_simulate(Parse& p)
{
    Options& opt = p.opt;
    if (opt.simulatePath.empty()) {
        p.err = "--out goes with --simulate";
        return false;
    }
    if (!opt.stations.empty() || !opt.injections.empty() || !p.positions.empty() ||
        !p.modelArgs.empty() || !opt.pcapPath.empty() || !opt.linkStatsPath.empty() ||
        !opt.replayPath.empty() || !p.sumoConfig.empty() || p.sumoPort != 0 ||
        opt.sumoWanted() || !opt.tampers.empty() || !p.tampers.empty() || opt.echo ||
        opt.rxRecord || opt.cbrReport) {
        p.err = "--simulate runs vehicles of its own: only --out, --seed, --duration and "
                "--quiet go with it";
        return false;
    }
    if (p.seedGiven) {
        opt.seed = p.seed;
        opt.seedGiven = true;
    }
    return true;
}

// After the last option: what the command line gathered is applied over
// the scenarios, and the whole is checked.
bool finish_parse(Parse& p)
{
    Options& opt = p.opt;
    std::string& err = p.err;
    if (!opt.simulatePath.empty() || !opt.outDir.empty()) {
        return finish_simulate(p);
    }
    if (p.injectPending) {
        err = "--inject needs a --to STATION (or --to all) after it";
        return false;
    }
    if (opt.pcapUplink && opt.pcapPath.empty()) {
        err = "--pcap-uplink needs --pcap FILE";
        return false;
    }
    if (p.seedGiven) {
        opt.seed = p.seed;
    }
    if (!p.sumoConfig.empty()) {
        opt.sumoConfig = p.sumoConfig;
        opt.sumoPort = 0;
    }
    if (p.sumoPort != 0) {
        opt.sumoPort = p.sumoPort;
        opt.sumoConfig.clear();
    }
    if (p.sumoSpeed > 0.0) {
        opt.sumoSpeed = p.sumoSpeed;
    }
    if (!p.sumoBinary.empty()) {
        opt.sumoBinary = p.sumoBinary;
    }
    if (!p.tampers.empty()) {
        opt.tampers = p.tampers;
    }
    for (size_t i = 0; i < opt.tampers.size(); ++i) {
        for (size_t j = i + 1; j < opt.tampers.size(); ++j) {
            if (opt.tampers[i].aid == opt.tampers[j].aid) {
                err = "--tamper: AID " + std::to_string(opt.tampers[i].aid) + " is given twice";
                return false;
            }
        }
    }
    if (!check_stations(opt, err) || !check_addresses(opt, err) ||
        !apply_positions(p.positions, opt, err) || !apply_model_args(p.modelArgs, opt, err) ||
        !check_model_stations(opt, err) || !resolve_injections(opt, err)) {
        return false;
    }
    // The CBR a report carries is the sidelink model's: the simple one has none.
    if (opt.cbrReport && !opt.sidelinkOn()) {
        err = "--cbr-report needs the sidelink model (--model sidelink, or the scenario's "
              "model = \"sidelink\";): the simple model measures no CBR";
        return false;
    }
    for (size_t i = 0; i < opt.stations.size(); ++i) {
        StationCfg& st = opt.stations[i];
        if (!st.l2IdSet) {
            st.l2Id = kL2IdBase + static_cast<uint32_t>(i);  // i < kMaxStations: 24 bits
        }
    }
    if (opt.duration >= 0.0 && !opt.injections.empty() && opt.duration < opt.injectDelay) {
        err = "--duration is shorter than --inject-delay: the injections would never happen";
        return false;
    }
    return true;
}

}  // namespace

bool parse_tamper(const std::string& text, Tamper& out, std::string& err)
{
    // Digits only, so that "26x" or "-1" never pass as a number.
    auto whole = [](const std::string& t, unsigned long long& v) {
        if (t.empty() || t.size() > 10) {
            return false;
        }
        v = 0;
        for (char c : t) {
            if (c < '0' || c > '9') {
                return false;
            }
            v = v * 10 + static_cast<unsigned long long>(c - '0');
        }
        return true;
    };
    const size_t colon = text.find(':');
    unsigned long long aid = 0;
    unsigned long long nth = 1;
    if (!whole(text.substr(0, colon), aid) || aid > kMaxAid) {
        err = "the AID must be a whole number from 0 to " + std::to_string(kMaxAid);
        return false;
    }
    if (colon != std::string::npos &&
        (!whole(text.substr(colon + 1), nth) || nth == 0 || nth > 0xFFFFFFFFull)) {
        err = "N (after the colon) must be a whole number from 1 to 4294967295";
        return false;
    }
    out.aid = static_cast<uint32_t>(aid);
    out.nth = static_cast<uint32_t>(nth);
    return true;
}

const char* usage_text()
{
    return kUsage;
}

std::string endpoint_text(const Endpoint& ep)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "%u.%u.%u.%u:%u", (ep.addr >> 24) & 0xFFu, (ep.addr >> 16) & 0xFFu,
             (ep.addr >> 8) & 0xFFu, ep.addr & 0xFFu, static_cast<unsigned>(ep.port));
    return buf;
}

bool parse_options(int argc, char** argv, Options& opt, std::string& err)
{
    Parse p(opt, err);
    // Our own messages, not getopt's.
    opterr = 0;
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, kShort, kLong, nullptr)) != -1) {
        const OptHandler fn = handler_of(c);
        if (c == ':') {
            err = typed_option(argv) + " needs a value";
            return false;
        }
        if (fn == nullptr) {
            err = "unknown option '" + typed_option(argv) + "'";
            return false;
        }
        if (!fn(p, optarg != nullptr ? optarg : "")) {
            return false;
        }
        if (opt.help || opt.version) {
            return true;
        }
    }
    if (optind < argc) {
        err = "unexpected argument '" + std::string(argv[optind]) + "'";
        return false;
    }
    return finish_parse(p);
}

}  // namespace radiosim
