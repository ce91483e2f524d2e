// SPDX-License-Identifier: Apache-2.0
#include "simulate.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <sstream>
#include <unordered_map>

#include "cfg_file.hpp"
#include "core_stats.hpp"
#include "self_log.h"
#include "sidelink_params.h"
#include "tx_sched.hpp"
#include "v2x_types.h"

extern char** environ;

namespace radiosim {

namespace {

using v2xcfg::CfgFile;
using v2xcfg::Reporter;
using v2xcfg::beside;
using v2xcfg::only_known;

constexpr int kExitRuntime = 1;
constexpr int kExitBadScenario = 2;
constexpr size_t kMaxBins = 100001;
constexpr size_t kMaxSimMessages = 8;
// A message through the scheduler starts with its tag (kind and generation
// subframe), which comes back when it goes on the air.
constexpr int kSimTagBytes = 8;
static_assert(kSimDropReasons == kTxDropReasons, "one count per scheduler drop reason");
static_assert(kSimRuleOff == static_cast<int>(V2X_CC_RULE_OFF) &&
                  kSimRuleReactive == static_cast<int>(V2X_CC_RULE_REACTIVE) &&
                  kSimRuleAdaptive == static_cast<int>(V2X_CC_RULE_ADAPTIVE),
              "the rules are the core's");
// The distances of pdr.json (those within range_m).
constexpr double kReportM[] = {50.0, 100.0, 200.0, 300.0, 400.0, 500.0};

std::string num(double v)
{
    char buf[40];
    snprintf(buf, sizeof(buf), "%g", v);
    return buf;
}

// A density as a key of pdr.json and in file names: "0.1".
std::string density_key(double d)
{
    return num(d);
}

// A result's key in pdr.json and its CSV's name: the density, or "sumo".
std::string result_key(const DensityResult& r)
{
    return r.sumo ? "sumo" : density_key(r.density);
}

// A group member that must be a group itself, or absent (null).
bool subgroup(Reporter& r, const config_setting_t* grp, const char* key, const std::string& where,
              const config_setting_t*& out)
{
    out = config_setting_get_member(grp, key);
    if (out != nullptr && config_setting_type(out) != CONFIG_TYPE_GROUP) {
        return r.fail(out, where + key + " must be a group { ... }");
    }
    return true;
}

// A number within [lo, hi]; unchanged when absent.
bool number_in(Reporter& r, const config_setting_t* grp, const char* key, const std::string& where,
               double lo, double hi, double& out)
{
    const config_setting_t* s = grp != nullptr ? config_setting_get_member(grp, key) : nullptr;
    if (s == nullptr) {
        return true;
    }
    double v = 0.0;
    if (!v2xcfg::number_of(s, v) || !std::isfinite(v)) {
        return r.fail(s, where + key + " must be a number");
    }
    if (v < lo || v > hi) {
        return r.fail(s, where + key + " = " + num(v) + " is outside " + num(lo) + ".." + num(hi));
    }
    out = v;
    return true;
}

// A whole number within [lo, hi]; unchanged when absent.
bool whole_in(Reporter& r, const config_setting_t* grp, const char* key, const std::string& where,
              int lo, int hi, int& out)
{
    double v = out;
    if (!number_in(r, grp, key, where, lo, hi, v)) {
        return false;
    }
    if (v != std::floor(v)) {
        return r.fail(config_setting_get_member(grp, key),
                      where + key + " = " + num(v) + " must be a whole number");
    }
    out = static_cast<int>(v);
    return true;
}

size_t vehicles_for(const SimScenario& sc, double density)
{
    return static_cast<size_t>(std::llround(density * sc.roadLengthM));
}

bool load_road(Reporter& r, const config_setting_t* sim, SimScenario& sc)
{
    const config_setting_t* road = nullptr;
    if (!subgroup(r, sim, "road", "simulate.", road)) {
        return false;
    }
    if (road == nullptr) {
        return true;
    }
    const std::string w = "simulate.road.";
    if (!only_known(r, road, {"length_m", "lanes", "lane_width_m", "ring"}, w) ||
        !number_in(r, road, "length_m", w, 10.0, 1.0e6, sc.roadLengthM) ||
        !whole_in(r, road, "lanes", w, 1, 16, sc.lanes) ||
        !number_in(r, road, "lane_width_m", w, 0.0, 20.0, sc.laneWidthM)) {
        return false;
    }
    const config_setting_t* ring = config_setting_get_member(road, "ring");
    if (ring != nullptr) {
        if (config_setting_type(ring) != CONFIG_TYPE_BOOL) {
            return r.fail(ring, w + "ring must be true or false");
        }
        sc.ring = config_setting_get_bool(ring) != 0;
    }
    return true;
}

bool load_message(Reporter& r, const config_setting_t* sim, SimScenario& sc)
{
    const config_setting_t* msg = nullptr;
    if (!subgroup(r, sim, "message", "simulate.", msg)) {
        return false;
    }
    if (msg == nullptr) {
        return true;
    }
    const std::string w = "simulate.message.";
    return only_known(r, msg, {"bytes", "rate_hz"}, w) &&
           whole_in(r, msg, "bytes", w, 1, 65535, sc.bytes) &&
           number_in(r, msg, "rate_hz", w, 0.1, 100.0, sc.rateHz);
}

// A true/false setting; unchanged when absent.
bool flag(Reporter& r, const config_setting_t* grp, const char* key, const std::string& where,
          bool& out)
{
    const config_setting_t* s = config_setting_get_member(grp, key);
    if (s == nullptr) {
        return true;
    }
    if (config_setting_type(s) != CONFIG_TYPE_BOOL) {
        return r.fail(s, where + key + " must be true or false");
    }
    out = config_setting_get_bool(s) != 0;
    return true;
}

// simulate.messages: several kinds of message per vehicle, instead of the
// one of simulate.message.
bool load_messages(Reporter& r, const config_setting_t* sim, SimScenario& sc)
{
    const config_setting_t* list = config_setting_get_member(sim, "messages");
    if (list == nullptr) {
        return true;
    }
    const config_setting_t* one = config_setting_get_member(sim, "message");
    if (one != nullptr) {
        return r.fail(list, "simulate.messages and simulate.message exclude each other (give "
                            "one kind of message in message, or several in messages)");
    }
    const int n = config_setting_length(list);
    if (config_setting_type(list) != CONFIG_TYPE_LIST || n < 1 ||
        static_cast<size_t>(n) > kMaxSimMessages) {
        return r.fail(list, "simulate.messages must be a list of 1 to " +
                                std::to_string(kMaxSimMessages) +
                                " groups ( { bytes = ...; }, ... )");
    }
    sc.messages.clear();
    for (int i = 0; i < n; ++i) {
        const config_setting_t* e = config_setting_get_elem(list, static_cast<unsigned>(i));
        const config_setting_t* at = config_setting_source_line(e) > 0 ? e : list;
        const std::string w = "simulate.messages[" + std::to_string(i) + "].";
        if (config_setting_type(e) != CONFIG_TYPE_GROUP) {
            return r.fail(at, w.substr(0, w.size() - 1) + " must be a group { bytes = ...; }");
        }
        SimMessage m;
        if (!only_known(r, e, {"bytes", "rate_hz", "priority", "lifetime_ms", "supersede"}, w) ||
            !whole_in(r, e, "bytes", w, 1, 65535, m.bytes) ||
            !number_in(r, e, "rate_hz", w, 0.1, 100.0, m.rateHz) ||
            !whole_in(r, e, "priority", w, 0, 7, m.priority) ||
            !whole_in(r, e, "lifetime_ms", w, 0, 60000, m.lifetimeMs) ||
            !flag(r, e, "supersede", w, m.supersede)) {
            return false;
        }
        sc.messages.push_back(m);
    }
    // The first kind stands for "the message" where one is named (titles).
    sc.bytes = sc.messages[0].bytes;
    sc.rateHz = sc.messages[0].rateHz;
    sc.messagesGiven = true;
    return true;
}

// simulate.congestion: the rules each density runs under, and how often
// each vehicle's gate hears its CBR.
bool load_congestion(Reporter& r, const config_setting_t* sim, SimScenario& sc)
{
    const config_setting_t* cc = nullptr;
    if (!subgroup(r, sim, "congestion", "simulate.", cc)) {
        return false;
    }
    if (cc == nullptr) {
        return true;
    }
    const std::string w = "simulate.congestion.";
    if (!only_known(r, cc, {"rules", "cbr_report_ms"}, w) ||
        !whole_in(r, cc, "cbr_report_ms", w, 1, 1000, sc.cbrReportMs)) {
        return false;
    }
    const config_setting_t* list = config_setting_get_member(cc, "rules");
    if (list == nullptr) {
        return r.fail(cc, w + "rules is missing: give [\"off\", \"reactive\", \"adaptive\"] or "
                              "some of them");
    }
    const int type = config_setting_type(list);
    const int n = config_setting_length(list);
    if ((type != CONFIG_TYPE_ARRAY && type != CONFIG_TYPE_LIST) || n < 1 || n > 3) {
        return r.fail(list, w + "rules must be a list of 1 to 3 of \"off\", \"reactive\", "
                                "\"adaptive\"");
    }
    for (int i = 0; i < n; ++i) {
        const config_setting_t* e = config_setting_get_elem(list, static_cast<unsigned>(i));
        const config_setting_t* at = config_setting_source_line(e) > 0 ? e : list;
        const std::string key = w + "rules[" + std::to_string(i) + "]";
        const char* name =
            config_setting_type(e) == CONFIG_TYPE_STRING ? config_setting_get_string(e) : nullptr;
        int rule = -1;
        for (int k = kSimRuleOff; name != nullptr && k <= kSimRuleAdaptive; ++k) {
            rule = strcmp(name, sim_rule_name(k)) == 0 ? k : rule;
        }
        if (rule < 0) {
            return r.fail(at, key + " must be \"off\", \"reactive\" or \"adaptive\"");
        }
        if (std::find(sc.rules.begin(), sc.rules.end(), rule) != sc.rules.end()) {
            return r.fail(at, key + " = \"" + name + "\" is given twice");
        }
        sc.rules.push_back(rule);
    }
    return true;
}

bool load_densities(Reporter& r, const config_setting_t* sim, SimScenario& sc)
{
    const config_setting_t* list = config_setting_get_member(sim, "densities");
    if (list == nullptr) {
        return r.fail(sim,
                      "simulate.densities is missing: give [ vehicles per metre, ... ] or "
                      "simulate.sumo_fcd = \"trace.xml\"");
    }
    const int type = config_setting_type(list);
    const int n = config_setting_length(list);
    if ((type != CONFIG_TYPE_ARRAY && type != CONFIG_TYPE_LIST) || n < 1 ||
        static_cast<size_t>(n) > kMaxSimDensities) {
        return r.fail(list, "simulate.densities must be a list of 1 to " +
                                std::to_string(kMaxSimDensities) + " numbers [0.1, 0.2, ...]");
    }
    for (int i = 0; i < n; ++i) {
        const config_setting_t* e = config_setting_get_elem(list, static_cast<unsigned>(i));
        // An element may carry no line of its own: then the list's.
        const config_setting_t* at = config_setting_source_line(e) > 0 ? e : list;
        const std::string key = "simulate.densities[" + std::to_string(i) + "]";
        double d = 0.0;
        if (!v2xcfg::number_of(e, d) || !std::isfinite(d)) {
            return r.fail(at, key + " must be a number (vehicles per metre)");
        }
        if (d <= 0.0) {
            return r.fail(at, key + " = " + num(d) + ": a density is vehicles per metre, above 0");
        }
        for (double o : sc.densities) {
            if (density_key(o) == density_key(d)) {
                return r.fail(at, key + " = " + num(d) + " is given twice");
            }
        }
        sc.densities.push_back(d);
    }
    return true;
}

// What only the whole can tell: the vehicles per density, the ring against
// the range, the message against the channel.
bool check_whole(Reporter& r, const config_setting_t* root, const config_setting_t* sim,
                 SimScenario& sc)
{
    const config_setting_t* densities = config_setting_get_member(sim, "densities");
    for (size_t i = 0; i < sc.densities.size(); ++i) {
        const size_t n = vehicles_for(sc, sc.densities[i]);
        if (n < 2 || n > kMaxSimVehicles) {
            const config_setting_t* e =
                config_setting_get_elem(densities, static_cast<unsigned>(i));
            return r.fail(
                config_setting_source_line(e) > 0 ? e : densities,
                "simulate.densities[" + std::to_string(i) + "] = " + num(sc.densities[i]) + ": " +
                    std::to_string(n) + " vehicles on " + num(sc.roadLengthM) +
                    " m of road (a run takes 2 to " + std::to_string(kMaxSimVehicles) + ")");
        }
    }
    const config_setting_t* road = config_setting_get_member(sim, "road");
    const config_setting_t* len =
        road != nullptr ? config_setting_get_member(road, "length_m") : nullptr;
    const double reach = sc.rangeM + sc.binM / 2.0;
    if (sc.ring && sc.roadLengthM < 2.0 * reach) {
        return r.fail(len != nullptr ? len : sim,
                      "simulate.road.length_m = " + num(sc.roadLengthM) +
                          ": a ring shorter than twice range_m + bin_m / 2 (" + num(2.0 * reach) +
                          " m) leaves the far bins without receivers");
    }
    const config_setting_t* ringM = nullptr;
    const config_setting_t* sl = config_setting_get_member(root, "sidelink");
    if (sl != nullptr) {
        ringM = config_setting_get_member(sl, "ring_m");
    }
    if (ringM != nullptr) {
        return r.fail(ringM,
                      "sidelink.ring_m: in a simulation the ring is simulate.road's "
                      "(ring = true joins the ends of length_m)");
    }
    if (sc.ring) {
        sc.sidelink.ringM = sc.roadLengthM;
    }
    const Sidelink probe(1, sc.sidelink, 0);
    if (!sc.messagesGiven) {
        sc.messages[0].bytes = sc.bytes;
        sc.messages[0].rateHz = sc.rateHz;
    }
    const config_setting_t* list = config_setting_get_member(sim, "messages");
    for (size_t k = 0; k < sc.messages.size(); ++k) {
        const int bytes = sc.messages[k].bytes;
        const config_setting_t* msg =
            sc.messagesGiven ? config_setting_get_elem(list, static_cast<unsigned>(k))
                             : config_setting_get_member(sim, "message");
        const config_setting_t* at =
            msg != nullptr ? config_setting_get_member(msg, "bytes") : nullptr;
        at = at != nullptr ? at : sc.messagesGiven ? msg : sim;
        const std::string key = sc.messagesGiven
                                    ? "simulate.messages[" + std::to_string(k) + "].bytes"
                                    : std::string("simulate.message.bytes");
        if (probe.subchannels_for(static_cast<size_t>(bytes)) == 0) {
            return r.fail(at, key + " = " + std::to_string(bytes) +
                                  " does not fit the channel: " +
                                  std::to_string(sc.sidelink.subchannels) + " sub-channels of " +
                                  std::to_string(sc.sidelink.subchannelRbs) +
                                  " resource blocks at MCS " + std::to_string(sc.sidelink.mcs));
        }
        // Through the scheduler a message carries its kind and generation
        // time in its first bytes, and must fit the core's datagram.
        if (!sc.rules.empty() && (bytes < kSimTagBytes || bytes > TxScheduler::kMaxLen)) {
            return r.fail(at, key + " = " + std::to_string(bytes) +
                                  ": through the core's transmit scheduler a message takes " +
                                  std::to_string(kSimTagBytes) + " to " +
                                  std::to_string(TxScheduler::kMaxLen) + " bytes");
        }
    }
    return true;
}

// --- the SUMO trace ------------------------------------------------------

bool read_text(const std::string& path, std::string& text, std::string& err)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = "cannot read " + path + ": " + (fd < 0 ? strerror(errno) : "not a file");
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    text.clear();
    char buf[65536];
    while (true) {
        const ssize_t got = read(fd, buf, sizeof(buf));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            err = "cannot read " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(buf, static_cast<size_t>(got));
    }
    close(fd);
    return true;
}

// Attribute text as one short line of an error message.
std::string quoted(const std::string& s)
{
    std::string out = s.substr(0, 40);
    for (char& c : out) {
        c = static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    return "\"" + out + (s.size() > 40 ? "...\"" : "\"");
}

// One element's tag as written: <name a="v" ...>, <name .../> or </name>.
struct XmlTag {
    std::string name;
    bool closing = false;
    bool selfClosing = false;
    std::vector<std::pair<std::string, std::string>> attrs;
    int line = 0;  // where the tag starts

    const std::string* attr(const char* key) const
    {
        for (const auto& a : attrs) {
            if (a.first == key) {
                return &a.second;
            }
        }
        return nullptr;
    }
};

// A scanner over XML text that knows only tags and their attributes:
// declarations, comments and text between tags are skipped, entities are
// left as written. Every step checks the end of the text.
class XmlScan {
public:
    explicit XmlScan(const std::string& text) : t_(text) {}

    // The next tag: 1, 0 at the end of the text, -1 on a malformed or
    // truncated one (`why`; `tag.line` where it starts).
    int next(XmlTag& tag, std::string& why)
    {
        while (true) {
            while (i_ < t_.size() && t_[i_] != '<') {
                step();
            }
            if (i_ >= t_.size()) {
                return 0;
            }
            tag = XmlTag{};
            tag.line = line_;
            if (t_.compare(i_, 4, "<!--") == 0 || t_.compare(i_, 2, "<?") == 0 ||
                t_.compare(i_, 2, "<!") == 0) {
                const char* end = t_.compare(i_, 4, "<!--") == 0 ? "-->"
                                  : t_[i_ + 1] == '?'            ? "?>"
                                                                 : ">";
                if (!skip_past(end)) {
                    why = std::string("no ") + end + " closes what starts here";
                    return -1;
                }
                continue;
            }
            return element(tag, why);
        }
    }

    int line() const { return line_; }

private:
    void step()
    {
        line_ += t_[i_] == '\n' ? 1 : 0;
        ++i_;
    }

    bool skip_past(const char* end)
    {
        const size_t at = t_.find(end, i_);
        if (at == std::string::npos) {
            return false;
        }
        while (i_ < at + strlen(end)) {
            step();
        }
        return true;
    }

    bool space()
    {
        const size_t from = i_;
        while (i_ < t_.size() && isspace(static_cast<unsigned char>(t_[i_]))) {
            step();
        }
        return i_ > from;
    }

    std::string name()
    {
        const size_t from = i_;
        while (i_ < t_.size() && (isalnum(static_cast<unsigned char>(t_[i_])) || t_[i_] == '_' ||
                                  t_[i_] == '-' || t_[i_] == '.' || t_[i_] == ':')) {
            ++i_;
        }
        return t_.substr(from, i_ - from);
    }

    int element(XmlTag& tag, std::string& why)
    {
        ++i_;  // '<'
        if (i_ < t_.size() && t_[i_] == '/') {
            tag.closing = true;
            ++i_;
        }
        tag.name = name();
        const std::string what = "<" + std::string(tag.closing ? "/" : "") + tag.name + ">";
        if (tag.name.empty()) {
            why = i_ >= t_.size() ? "truncated element" : "malformed element: a name must follow <";
            return -1;
        }
        while (true) {
            const bool spaced = space();
            if (i_ >= t_.size()) {
                why = "truncated " + what + " element";
                return -1;
            }
            if (t_[i_] == '>') {
                ++i_;
                return 1;
            }
            if (t_[i_] == '/' && !tag.closing) {
                if (i_ + 1 >= t_.size()) {
                    why = "truncated " + what + " element";
                    return -1;
                }
                if (t_[i_ + 1] != '>') {
                    break;
                }
                i_ += 2;
                tag.selfClosing = true;
                return 1;
            }
            if (!spaced || tag.closing) {
                break;
            }
            std::string key = name();
            if (key.empty()) {
                break;
            }
            space();
            if (i_ >= t_.size() || t_[i_] != '=') {
                if (i_ >= t_.size()) {
                    why = "truncated " + what + " element";
                    return -1;
                }
                break;
            }
            ++i_;
            space();
            if (i_ >= t_.size()) {
                why = "truncated " + what + " element";
                return -1;
            }
            const char quote = t_[i_];
            if (quote != '"' && quote != '\'') {
                break;
            }
            const size_t end = t_.find(quote, i_ + 1);
            const size_t lt = t_.find('<', i_ + 1);
            if (end == std::string::npos || lt < end) {
                // The value runs into the next tag or off the end: the
                // element was cut short.
                why = "truncated " + what + " element (" + key + "'s value is not closed)";
                return -1;
            }
            tag.attrs.emplace_back(std::move(key), t_.substr(i_ + 1, end - i_ - 1));
            while (i_ <= end) {
                step();
            }
        }
        why = "malformed " + what + " element near " + quoted(t_.substr(i_, 12));
        return -1;
    }

    const std::string& t_;
    size_t i_ = 0;
    int line_ = 1;
};

// A finite decimal number, all of `s`.
bool finite_number(const std::string& s, double& v)
{
    if (s.empty() || isspace(static_cast<unsigned char>(s[0]))) {
        return false;
    }
    char* end = nullptr;
    v = strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && std::isfinite(v);
}

bool parse_sumo_fcd(const std::string& path, const std::string& text, SumoTrace& out,
                    std::string& err)
{
    out = SumoTrace{};
    out.path = path;
    int errLine = 0;
    const auto fail = [&](const std::string& msg) {
        err = path + ":" + std::to_string(errLine) + ": " + msg;
        return false;
    };
    XmlScan scan(text);
    XmlTag tag;
    std::unordered_map<std::string, uint32_t> index;
    std::vector<size_t> lastStep;  // per vehicle: the last timestep that listed it, plus 1
    bool inStep = false;
    int stepLine = 0;
    int64_t sf0 = 0;
    int64_t lastSf = 0;
    std::string lastTime;
    while (true) {
        std::string why;
        const int rc = scan.next(tag, why);
        errLine = tag.line;
        if (rc < 0) {
            return fail(why);
        }
        if (rc == 0) {
            break;
        }
        if (tag.name == "timestep") {
            if (tag.closing) {
                if (!inStep) {
                    return fail("</timestep> without its <timestep>");
                }
                inStep = false;
                continue;
            }
            if (inStep) {
                return fail("<timestep> inside the timestep of line " + std::to_string(stepLine) +
                            " (its </timestep> is missing)");
            }
            const std::string* tv = tag.attr("time");
            double t = 0.0;
            if (tv == nullptr) {
                return fail("<timestep> without time");
            }
            if (!finite_number(*tv, t) || std::fabs(t) > 1.0e9) {
                return fail("<timestep> time=" + quoted(*tv) +
                            " is not a finite number of seconds");
            }
            const int64_t sf = std::llround(t * 1000.0);
            if (!out.steps.empty() && sf <= lastSf) {
                return fail("<timestep> time=" + quoted(*tv) + " does not come after time=" +
                            quoted(lastTime) + " (the times must grow by 1 ms at least)");
            }
            if (out.steps.empty()) {
                sf0 = sf;
                out.startS = t;
            }
            lastSf = sf;
            lastTime = *tv;
            out.steps.push_back(SumoTrace::Step{sf - sf0, out.fixes.size(), 0});
            inStep = !tag.selfClosing;
            stepLine = tag.line;
        } else if (tag.name == "vehicle" && !tag.closing) {
            if (!inStep) {
                return fail("<vehicle> outside a timestep");
            }
            const std::string* id = tag.attr("id");
            if (id == nullptr || id->empty()) {
                return fail("<vehicle> without id");
            }
            double xy[2] = {0.0, 0.0};
            for (int k = 0; k < 2; ++k) {
                const char* key = k == 0 ? "x" : "y";
                const std::string* v = tag.attr(key);
                if (v == nullptr) {
                    return fail("<vehicle id=" + quoted(*id) + "> without " + key);
                }
                if (!finite_number(*v, xy[k])) {
                    return fail("<vehicle id=" + quoted(*id) + "> " + key + "=" + quoted(*v) +
                                " is not a finite number");
                }
            }
            auto it = index.find(*id);
            if (it == index.end()) {
                if (out.ids.size() == kMaxSimVehicles) {
                    return fail("vehicle " + quoted(*id) + " is one more than " +
                                std::to_string(kMaxSimVehicles) +
                                " (a run takes at most that many: cut the trace with sumo's "
                                "--begin and --end)");
                }
                it = index.emplace(*id, static_cast<uint32_t>(out.ids.size())).first;
                out.ids.push_back(*id);
                lastStep.push_back(0);
            }
            if (lastStep[it->second] == out.steps.size()) {
                return fail("vehicle " + quoted(*id) + " twice in the timestep of line " +
                            std::to_string(stepLine));
            }
            lastStep[it->second] = out.steps.size();
            out.fixes.push_back(SumoTrace::Fix{it->second, xy[0], xy[1]});
            ++out.steps.back().count;
        }
        // Anything else (the root, persons, containers) places no vehicle.
    }
    if (inStep) {
        errLine = stepLine;
        return fail("the timestep that starts here is not closed (a truncated trace?)");
    }
    if (out.ids.empty()) {
        // The last line with something on it.
        errLine = std::max(1, scan.line() - (!text.empty() && text.back() == '\n' ? 1 : 0));
        return fail("no vehicle in the trace");
    }
    const size_t k = out.steps.size();
    // One timestep is a snapshot: its positions hold for the whole run.
    out.spanSf = k < 2 ? INT64_MAX / 4
                       : out.steps[k - 1].sf + (out.steps[k - 1].sf - out.steps[k - 2].sf);
    return true;
}

// simulate.sumo_fcd: the trace stands for densities and road.
bool load_sumo_key(Reporter& r, const config_setting_t* sim, const config_setting_t* fcd,
                   SimScenario& sc)
{
    for (const char* key : {"densities", "road"}) {
        const config_setting_t* s = config_setting_get_member(sim, key);
        if (s != nullptr) {
            return r.fail(s, "simulate." + std::string(key) +
                                 " and simulate.sumo_fcd exclude each other (the trace places "
                                 "the vehicles)");
        }
    }
    if (config_setting_type(fcd) != CONFIG_TYPE_STRING ||
        *config_setting_get_string(fcd) == '\0') {
        return r.fail(fcd, "simulate.sumo_fcd must be a file name (a string)");
    }
    sc.sumoFcd = beside(sc.path, config_setting_get_string(fcd));
    sc.ring = false;  // the trace's own plane: plain distances
    return true;
}

bool load_simulate(Reporter& r, const config_setting_t* root, SimScenario& sc)
{
    const config_setting_t* sim = config_setting_get_member(root, "simulate");
    if (sim == nullptr) {
        return r.fail(nullptr,
                      "no simulate group: --simulate needs simulate = { densities = "
                      "[...]; ... }");
    }
    if (config_setting_type(sim) != CONFIG_TYPE_GROUP) {
        return r.fail(sim, "simulate must be a group { densities = [...]; ... }");
    }
    const std::string w = "simulate.";
    const config_setting_t* fcd = config_setting_get_member(sim, "sumo_fcd");
    if (!only_known(r, sim,
                    {"densities", "road", "sumo_fcd", "message", "messages", "congestion",
                     "seconds", "warmup_s", "range_m", "bin_m", "reference"},
                    w) ||
        (fcd != nullptr ? !load_sumo_key(r, sim, fcd, sc)
                        : !load_densities(r, sim, sc) || !load_road(r, sim, sc)) ||
        !load_message(r, sim, sc) || !load_messages(r, sim, sc) || !load_congestion(r, sim, sc) ||
        !number_in(r, sim, "seconds", w, 0.001, 86400.0, sc.seconds) ||
        !number_in(r, sim, "warmup_s", w, 0.0, 3600.0, sc.warmupS) ||
        !number_in(r, sim, "range_m", w, 1.0, 100000.0, sc.rangeM)) {
        return false;
    }
    // At most kMaxBins bins, and one at least.
    if (!number_in(r, sim, "bin_m", w, sc.rangeM / (kMaxBins - 1), sc.rangeM, sc.binM)) {
        return false;
    }
    const config_setting_t* ref = config_setting_get_member(sim, "reference");
    if (ref != nullptr) {
        if (config_setting_type(ref) != CONFIG_TYPE_STRING) {
            return r.fail(ref, "simulate.reference must be a file name (a string)");
        }
        sc.reference = beside(sc.path, config_setting_get_string(ref));
        std::ifstream in(sc.reference);
        if (!in) {
            return r.fail(ref, "simulate.reference: cannot read " + sc.reference);
        }
    }
    if (!check_whole(r, root, sim, sc)) {
        return false;
    }
    // The trace last: it may be long, and it is only worth reading once the
    // rest holds.
    if (fcd == nullptr) {
        return true;
    }
    std::string text;
    std::string why;
    if (!read_text(sc.sumoFcd, text, why)) {
        return r.fail(fcd, "simulate.sumo_fcd: " + why);
    }
    if (!parse_sumo_fcd(sc.sumoFcd, text, sc.trace, r.err)) {
        return false;
    }
    if (sc.trace.spanSf <= std::llround(sc.warmupS * 1000.0)) {
        return r.fail(fcd, "simulate.sumo_fcd: the trace spans " +
                               num(static_cast<double>(sc.trace.spanSf) / 1000.0) +
                               " s, no more than simulate.warmup_s = " + num(sc.warmupS) +
                               ": nothing would be counted");
    }
    return true;
}

// --- the run -------------------------------------------------------------

double cpu_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double wall_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Counts what the model decides after the warm-up, per distance bin.
class BinSink : public SlSink {
public:
    BinSink(DensityResult& r, int64_t fromSf, double binM, SlSink* tap)
        : r_(r), fromSf_(fromSf), binM_(binM), tap_(tap)
    {
    }
    void on_transmit(uint32_t from, uint64_t tag, int64_t sf, int64_t queuedSf, int first,
                     int count) override
    {
        ++r_.allTransmissions;
        r_.transmissions += sf >= fromSf_ ? 1 : 0;
        // The message's own age: from its generation, the scheduler's wait
        // and the module's included.
        SimKindResult* kr = kind_of(tag);
        const int64_t gen = static_cast<int64_t>(tag >> 8);
        if (kr != nullptr && gen >= fromSf_ && queuedSf >= gen) {
            ++kr->onAir;
            kr->age.add(static_cast<uint64_t>(sf - gen));
            kr->queueWait.add(static_cast<uint64_t>(queuedSf - gen));
            kr->radioWait.add(static_cast<uint64_t>(sf - queuedSf));
        }
        if (tap_ != nullptr) {
            tap_->on_transmit(from, tag, sf, queuedSf, first, count);
        }
    }
    void on_reception(const SlReception& rec) override
    {
        if (tap_ != nullptr) {
            tap_->on_reception(rec);
        }
        if (rec.subframe < fromSf_) {
            return;
        }
        const size_t k = static_cast<size_t>(rec.distanceM / binM_ + 0.5);
        if (k < r_.bins.size()) {
            SimBin& b = r_.bins[k];
            ++b.offered;
            ++b.outcome[static_cast<int>(rec.loss)];
            SimKindResult* kr = kind_of(rec.tag);
            if (kr != nullptr) {
                ++kr->bins[k].offered;
                ++kr->bins[k].outcome[static_cast<int>(rec.loss)];
            }
        }
    }

private:
    // A tag is the message's generation subframe above its kind's index.
    SimKindResult* kind_of(uint64_t tag)
    {
        const size_t kind = static_cast<size_t>(tag & 0xFF);
        return kind < r_.kinds.size() ? &r_.kinds[kind] : nullptr;
    }

    DensityResult& r_;
    int64_t fromSf_;
    double binM_;
    SlSink* tap_;
};

uint64_t sim_tag(int64_t genSf, size_t kind)
{
    return (static_cast<uint64_t>(genSf) << 8) | static_cast<uint64_t>(kind);
}

// A station's timer in the calendar (a min-heap by subframe).
struct Wake {
    int64_t sf;
    uint32_t vehicle;
    uint32_t armed;
};

bool wake_later(const Wake& a, const Wake& b)
{
    return a.sf != b.sf ? a.sf > b.sf : a.vehicle > b.vehicle;
}

// One vehicle's transmit scheduler, the core's own, on the simulated clock:
// its timer is a wake-up in the run's calendar, its radio the model.
class SimStation final : public TxRuntime, public TxOutput {
public:
    // What the run lends every station: the clock, the calendar, the model.
    struct Shared {
        int64_t nowSf = 0;
        int64_t warmSf = 0;
        Sidelink* sl = nullptr;
        DensityResult* res = nullptr;
        std::vector<Wake>* wakes = nullptr;
    };

    SimStation(uint32_t index, Shared& sh) : index_(index), sh_(sh) { sched_.bind(this, this); }
    TxScheduler& sched() { return sched_; }
    uint32_t armed() const { return armed_; }

    uint64_t now_us() override { return static_cast<uint64_t>(sh_.nowSf) * 1000u; }
    void arm(uint64_t aicDelayUs) override;
    void cancel() override { ++armed_; }
    int transmit(const char* aipcMsg, int aicLen) override
    {
        uint64_t tag = 0;
        memcpy(&tag, aipcMsg, sizeof(tag));
        const int64_t at = sh_.sl->submit(index_, static_cast<size_t>(aicLen), sh_.nowSf, tag);
        SimKindResult* kr = kind(tag & 0xFF, static_cast<int64_t>(tag >> 8));
        if (kr != nullptr) {
            ++(at < 0 ? kr->refused : kr->sent);
        }
        return at < 0 ? -1 : 0;
    }
    void sent(const TxMeta&, uint64_t, int) override {}
    void dropped(const TxMeta& aicMeta, TxDrop aicWhy) override
    {
        SimKindResult* kr =
            kind(aicMeta.aid - kAidBase, static_cast<int64_t>(aicMeta.callUs / 1000));
        if (kr != nullptr) {
            ++kr->dropped[static_cast<int>(aicWhy)];
        }
    }
    void room(uint8_t) override {}

    static constexpr uint32_t kAidBase = 1;  // kind k's AID is kAidBase + k

private:
    // The counts of a kind, for messages generated after the warm-up.
    SimKindResult* kind(uint64_t k, int64_t genSf)
    {
        return genSf >= sh_.warmSf && k < sh_.res->kinds.size() ? &sh_.res->kinds[k] : nullptr;
    }

    uint32_t index_;
    Shared& sh_;
    uint32_t armed_ = 0;  // the newest arm's number: older wake-ups are void
    TxScheduler sched_;
};

void SimStation::arm(uint64_t aicDelayUs)
{
    // At the start of the first subframe not before the delay's end.
    const uint64_t at = now_us() + aicDelayUs;
    const int64_t sf = static_cast<int64_t>((at + 999u) / 1000u);
    sh_.wakes->push_back(Wake{sf, index_, ++armed_});
    std::push_heap(sh_.wakes->begin(), sh_.wakes->end(), wake_later);
}

// A vehicle's next message, in the calendar (a min-heap by subframe).
struct Gen {
    int64_t sf;
    uint32_t vehicle;
    uint32_t kind;  // index into the scenario's messages
};

bool later(const Gen& a, const Gen& b)
{
    return a.sf != b.sf             ? a.sf > b.sf
           : a.vehicle != b.vehicle ? a.vehicle > b.vehicle
                                    : a.kind > b.kind;
}

// The shares of each outcome at `distanceM`, interpolated between the two
// nearest bins' centres; false when a bin needed has nothing decided.
bool shares_at(const SimScenario& sc, const std::vector<SimBin>& bins, double distanceM,
               double out[kSlLossCauses])
{
    const double pos = distanceM / sc.binM;
    if (!(pos >= 0.0)) {
        return false;
    }
    const size_t k0 = static_cast<size_t>(pos);
    const double f = pos - static_cast<double>(k0);
    const size_t k1 = f > 1e-9 ? k0 + 1 : k0;
    if (k1 >= bins.size() || bins[k0].offered == 0 || bins[k1].offered == 0) {
        return false;
    }
    for (int c = 0; c < kSlLossCauses; ++c) {
        const double a =
            static_cast<double>(bins[k0].outcome[c]) / static_cast<double>(bins[k0].offered);
        const double b =
            static_cast<double>(bins[k1].outcome[c]) / static_cast<double>(bins[k1].offered);
        out[c] = k1 == k0 ? a : a + (b - a) * f;
    }
    return true;
}

bool shares_at(const SimScenario& sc, const DensityResult& r, double distanceM,
               double out[kSlLossCauses])
{
    return shares_at(sc, r.bins, distanceM, out);
}

// --- output --------------------------------------------------------------

bool make_dirs(const std::string& path, std::string& err)
{
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    if (!path.empty() && path[0] == '/') {
        cur = "/";
    }
    while (std::getline(ss, part, '/')) {
        if (part.empty()) {
            continue;
        }
        cur += part + "/";
        if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) {
            err = "cannot make the folder " + cur + ": " + strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        err = path + " is not a folder";
        return false;
    }
    return true;
}

bool write_file(const std::string& path, const std::string& text, std::string& err)
{
    FILE* f = fopen(path.c_str(), "w");
    bool ok = f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f != nullptr) {
        ok = fclose(f) == 0 && ok;
    }
    if (!ok) {
        err = "cannot write " + path + ": " + strerror(errno);
    }
    return ok;
}

std::string fixed(double v, int decimals)
{
    char buf[48];
    snprintf(buf, sizeof(buf), "%.*f", decimals, v);
    return buf;
}

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// pdr.json: density (or "sumo"), then distance in metres, then the delivery ratio.
std::string pdr_json(const SimScenario& sc, const std::vector<DensityResult>& res)
{
    std::ostringstream os;
    os << "{";
    for (size_t i = 0; i < res.size(); ++i) {
        os << (i ? ", " : "") << json_string(result_key(res[i])) << ": {";
        bool first = true;
        for (double d : kReportM) {
            if (d > sc.rangeM) {
                continue;
            }
            double s[kSlLossCauses];
            os << (first ? "" : ", ") << json_string(num(d)) << ": "
               << (shares_at(sc, res[i], d, s) ? fixed(s[0], 4) : "null");
            first = false;
        }
        os << "}";
    }
    os << "}\n";
    return os.str();
}

std::string causes_json(const double s[kSlLossCauses])
{
    std::ostringstream os;
    os << "{\"pdr\": " << fixed(s[0], 5);
    for (int c = 1; c < kSlLossCauses; ++c) {
        os << ", " << json_string(sl_loss_name(static_cast<SlLoss>(c))) << ": " << fixed(s[c], 5);
    }
    os << "}";
    return os.str();
}

// A result's counts, times and bins, after its "density" or "trace" fields.
void result_json(std::ostringstream& os, const SimScenario& sc, const DensityResult& r)
{
    os << ", \"messages\": " << r.messages << ", \"transmissions\": " << r.transmissions
       << ", \"refused\": " << r.refused << ", \"selections\": " << r.selections
       << ", \"one_shots\": " << r.oneShots << ", \"cbr_mean\": "
       << fixed(r.cbrSamples ? r.cbrSum / static_cast<double>(r.cbrSamples) : 0.0, 4)
       << ",\n     \"simulated_s\": " << num(r.simulatedS)
       << ", \"setup_s\": " << fixed(r.setupS, 3) << ", \"cpu_s\": " << fixed(r.cpuS, 3) << ", \"wall_s\": " << fixed(r.wallS, 3)
       << ", \"ratio_to_real_time\": " << fixed(r.cpuS > 0.0 ? r.simulatedS / r.cpuS : 0.0, 2)
       << ", \"all_transmissions\": " << r.allTransmissions << ", \"us_per_transmission\": "
       << fixed(r.allTransmissions ? r.cpuS * 1e6 / static_cast<double>(r.allTransmissions) : 0.0,
                3)
       << ",\n     \"at\": {";
    bool first = true;
    for (double d : kReportM) {
        double s[kSlLossCauses];
        if (d <= sc.rangeM && shares_at(sc, r, d, s)) {
            os << (first ? "" : ", ") << json_string(num(d)) << ": " << causes_json(s);
            first = false;
        }
    }
    os << "},\n     \"bins\": [";
    for (size_t k = 0; k < r.bins.size(); ++k) {
        const SimBin& b = r.bins[k];
        os << (k ? "," : "") << "\n      {\"distance_m\": " << num(static_cast<double>(k) * sc.binM)
           << ", \"offered\": " << b.offered;
        for (int c = 0; c < kSlLossCauses; ++c) {
            os << ", " << json_string(sl_loss_name(static_cast<SlLoss>(c))) << ": "
               << b.outcome[c];
        }
        os << "}";
    }
    os << "]}";
}

std::string simulation_json(const SimScenario& sc, uint64_t seed,
                            const std::vector<DensityResult>& res)
{
    std::ostringstream os;
    os << "{\n  \"scenario\": " << json_string(sc.path) << ",\n  \"seed\": " << seed
       << ",\n  \"sidelink\": {";
    const char* name = nullptr;
    double value = 0.0;
    for (size_t k = 0; sidelink_param_at(sc.sidelink, k, name, value); ++k) {
        os << (k ? ", " : "") << json_string(name) << ": " << num(value);
    }
    if (!sc.sumoFcd.empty()) {
        os << "},\n  \"simulate\": {\"sumo_fcd\": " << json_string(sc.sumoFcd);
    } else {
        os << "},\n  \"simulate\": {\"road\": {\"length_m\": " << num(sc.roadLengthM)
           << ", \"lanes\": " << sc.lanes << ", \"lane_width_m\": " << num(sc.laneWidthM)
           << ", \"ring\": " << (sc.ring ? "true" : "false") << "}";
    }
    if (sc.messagesGiven) {
        os << ", \"messages\": [";
        for (size_t k = 0; k < sc.messages.size(); ++k) {
            const SimMessage& m = sc.messages[k];
            os << (k ? ", " : "") << "{\"bytes\": " << m.bytes << ", \"rate_hz\": " << num(m.rateHz)
               << ", \"priority\": " << m.priority << ", \"lifetime_ms\": " << m.lifetimeMs
               << ", \"supersede\": " << (m.supersede ? "true" : "false") << "}";
        }
        os << "]";
    } else {
        os << ", \"message\": {\"bytes\": " << sc.bytes << ", \"rate_hz\": " << num(sc.rateHz)
           << "}";
    }
    if (!sc.rules.empty()) {
        os << ", \"congestion\": {\"rules\": [";
        for (size_t j = 0; j < sc.rules.size(); ++j) {
            os << (j ? ", " : "") << json_string(sim_rule_name(sc.rules[j]));
        }
        os << "], \"cbr_report_ms\": " << sc.cbrReportMs << "}";
    }
    os << ", \"seconds\": " << num(sc.seconds) << ", \"warmup_s\": " << num(sc.warmupS)
       << ", \"range_m\": " << num(sc.rangeM) << ", \"bin_m\": " << num(sc.binM) << "},\n";
    if (!sc.sumoFcd.empty()) {
        // The trace's time line: the run covers from_s to to_s of it.
        for (const DensityResult& r : res) {
            os << "  \"sumo\": {\"trace\": " << json_string(sc.trace.path)
               << ", \"vehicles\": " << r.vehicles << ", \"timesteps\": " << r.timesteps
               << ", \"from_s\": " << fixed(sc.trace.startS, 3)
               << ", \"to_s\": " << fixed(sc.trace.startS + r.simulatedS, 3);
            result_json(os, sc, r);
            os << "\n}\n";
        }
        return os.str();
    }
    os << "  \"densities\": [";
    for (size_t i = 0; i < res.size(); ++i) {
        const DensityResult& r = res[i];
        os << (i ? "," : "") << "\n    {\"density\": " << num(r.density)
           << ", \"vehicles\": " << r.vehicles;
        if (r.rule >= 0) {
            os << ", \"rule\": " << json_string(sim_rule_name(r.rule));
        }
        result_json(os, sc, r);
    }
    os << "\n  ]\n}\n";
    return os.str();
}

// One CSV per density: the shares of every outcome per bin centre.
std::string density_csv(const SimScenario& sc, const DensityResult& r)
{
    std::ostringstream os;
    os << "distance_m,pdr,hd,sen,pro,col,offered\n";
    for (size_t k = 0; k < r.bins.size(); ++k) {
        const SimBin& b = r.bins[k];
        if (b.offered == 0) {
            continue;
        }
        os << num(static_cast<double>(k) * sc.binM);
        for (int c = 0; c < kSlLossCauses; ++c) {
            os << ","
               << fixed(static_cast<double>(b.outcome[c]) / static_cast<double>(b.offered), 5);
        }
        os << "," << b.offered << "\n";
    }
    return os.str();
}

// The published curves: "density distance pdr" lines, '#' comments; the
// first comment line names the source.
struct Reference {
    std::string source;
    std::map<std::string, std::vector<std::pair<double, double>>> curves;  // by density key
};

bool read_reference(const std::string& path, Reference& ref, std::string& err)
{
    std::ifstream in(path);
    if (!in) {
        err = "cannot read " + path;
        return false;
    }
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.empty()) {
            continue;
        }
        if (line[0] == '#') {
            if (ref.source.empty() && line.size() > 2) {
                ref.source = line.substr(line.find_first_not_of("# "));
            }
            continue;
        }
        std::istringstream ls(line);
        double d = 0.0;
        double m = 0.0;
        double p = 0.0;
        if (!(ls >> d >> m >> p)) {
            err = path + ":" + std::to_string(lineNo) + ": give DENSITY DISTANCE_M PDR";
            return false;
        }
        ref.curves[density_key(d)].emplace_back(m, p);
    }
    return true;
}

// A gnuplot string in single quotes ('' is a quote).
std::string gp_string(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        out += c == '\'' ? std::string("''") : std::string(1, c);
    }
    return out + "'";
}

std::string gnuplot_script(const SimScenario& sc, const std::vector<DensityResult>& res,
                           const Reference& ref, const std::string& png)
{
    static const char* const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                           "#9467bd", "#8c564b", "#e377c2", "#17becf"};
    constexpr size_t kNColours = sizeof(kColours) / sizeof(kColours[0]);
    std::ostringstream os;
    std::vector<std::string> plots;
    const bool sumo = !res.empty() && res[0].sumo;
    for (size_t i = 0; i < res.size(); ++i) {
        const std::string key = result_key(res[i]);
        const std::string colour = kColours[i % kNColours];
        os << "$ours" << i << " << EOD\n";
        for (size_t k = 0; k < res[i].bins.size(); ++k) {
            const SimBin& b = res[i].bins[k];
            if (b.offered > 0) {
                os << num(static_cast<double>(k) * sc.binM) << " "
                   << fixed(static_cast<double>(b.outcome[0]) / static_cast<double>(b.offered), 5)
                   << "\n";
            }
        }
        os << "EOD\n";
        plots.push_back("$ours" + std::to_string(i) +
                        " using 1:2 with linespoints lw 2 pt 7 ps 0.6 lc rgb '" + colour +
                        "' title " +
                        gp_string(sumo ? std::string("ours, SUMO trace")
                                       : "ours, " + key + " vehicles/m"));
        const auto it = sumo ? ref.curves.end() : ref.curves.find(key);
        if (it != ref.curves.end()) {
            os << "$ref" << i << " << EOD\n";
            for (const auto& pt : it->second) {
                os << num(pt.first) << " " << num(pt.second) << "\n";
            }
            os << "EOD\n";
            plots.push_back("$ref" + std::to_string(i) +
                            " using 1:2 with linespoints dt 2 lw 2 pt 6 ps 1.2 lc rgb '" + colour +
                            "' title " + gp_string("published, " + key + " vehicles/m"));
        }
    }
    if (sumo) {
        // A trace has no density of its own: every published curve beside it.
        size_t j = 0;
        for (const auto& c : ref.curves) {
            os << "$ref" << j << " << EOD\n";
            for (const auto& pt : c.second) {
                os << num(pt.first) << " " << num(pt.second) << "\n";
            }
            os << "EOD\n";
            plots.push_back("$ref" + std::to_string(j) +
                            " using 1:2 with linespoints dt 2 lw 2 pt 6 ps 1.2 lc rgb '" +
                            kColours[(j + 1) % kNColours] + "' title " +
                            gp_string("published, " + c.first + " vehicles/m"));
            ++j;
        }
    }
    std::string what = num(sc.seconds) + " s simulated per density";
    if (sumo) {
        const size_t slash = sc.trace.path.rfind('/');
        what = num(res[0].simulatedS - sc.warmupS) + " s of " +
               sc.trace.path.substr(slash == std::string::npos ? 0 : slash + 1) + " (" +
               std::to_string(res[0].vehicles) + " vehicles)";
    }
    os << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
          "  set terminal pngcairo size 1100,560 font ',10'\n"
          "} else {\n"
          "  set terminal png size 1100,560\n"
          "}\n"
       << "set output " << gp_string(png) << "\n"
       << "set title "
       << gp_string("Delivery ratio against distance: " + std::to_string(sc.bytes) + " B at " +
                    num(sc.rateHz) + " Hz, " + num(sc.sidelink.txPowerDbm) + " dBm, " +
                    std::to_string(sc.sidelink.subchannels) + " sub-channels, " + what)
       << "\n"
       << "set xlabel 'distance between sender and receiver (m)'\n"
          "set ylabel 'packet delivery ratio'\n"
       << "set xrange [0:" << num(sc.rangeM) << "]\n"
       << "set yrange [0:1.02]\nset grid\nset key outside right top\n";
    if (!ref.source.empty()) {
        std::string src = ref.source.size() > 170 ? ref.source.substr(0, 167) + "..." : ref.source;
        os << "set bmargin 5\nset label 1 " << gp_string("published: " + src)
           << " at screen 0.01, screen 0.02 font ',8'\n";
    }
    os << "plot ";
    for (size_t k = 0; k < plots.size(); ++k) {
        os << (k ? ", \\\n     " : "") << plots[k];
    }
    os << "\n";
    return os.str();
}

// --- the congestion study's outputs ----------------------------------------

const char* const kDropKeys[kSimDropReasons] = {"expired", "superseded", "at_exit",
                                                "gated_expired", "gated_superseded"};

std::string dist_json(const SimDist& d)
{
    std::ostringstream os;
    os << "{\"p50\": " << d.quantile(0.5) << ", \"p99\": " << d.quantile(0.99)
       << ", \"max\": " << d.max << ", \"mean\": " << fixed(d.mean(), 2) << "}";
    return os.str();
}

std::string pdr_at_json(const SimScenario& sc, const std::vector<SimBin>& bins)
{
    std::ostringstream os;
    os << "{";
    bool first = true;
    for (double d : kReportM) {
        if (d > sc.rangeM) {
            continue;
        }
        double sh[kSlLossCauses];
        os << (first ? "" : ", ") << json_string(num(d)) << ": "
           << (shares_at(sc, bins, d, sh) ? fixed(sh[0], 4) : "null");
        first = false;
    }
    os << "}";
    return os.str();
}

// The kind the study calls urgent: the most urgent priority (the last such
// entry); the first entry is the one whose delivery is reported.
size_t urgent_kind(const SimScenario& sc)
{
    size_t u = 0;
    for (size_t k = 0; k < sc.messages.size(); ++k) {
        u = sc.messages[k].priority >= sc.messages[u].priority ? k : u;
    }
    return u;
}

double cbr_mean(const DensityResult& r)
{
    return r.cbrSamples ? r.cbrSum / static_cast<double>(r.cbrSamples) : 0.0;
}

// congestion.json: per density (or "sumo"), per rule: the mean CBR, the
// first message kind's delivery at 50..500 m, the urgent kind's age at the
// radio, and every kind's counts. runs[rule][density].
std::string congestion_json(const SimScenario& sc,
                            const std::vector<std::vector<DensityResult>>& runs)
{
    std::ostringstream os;
    os << "{\n  \"rules\": [";
    for (size_t j = 0; j < sc.rules.size(); ++j) {
        os << (j ? ", " : "") << json_string(sim_rule_name(sc.rules[j]));
    }
    const size_t urgent = urgent_kind(sc);
    os << "], \"cbr_report_ms\": " << sc.cbrReportMs << ", \"pdr_of\": 0, \"urgent\": " << urgent
       << ",\n  \"messages\": [";
    for (size_t k = 0; k < sc.messages.size(); ++k) {
        const SimMessage& m = sc.messages[k];
        os << (k ? ", " : "") << "{\"bytes\": " << m.bytes << ", \"rate_hz\": " << num(m.rateHz)
           << ", \"priority\": " << m.priority << ", \"lifetime_ms\": " << m.lifetimeMs
           << ", \"supersede\": " << (m.supersede ? "true" : "false") << "}";
    }
    os << "],\n  \"results\": {";
    const size_t nd = runs.empty() ? 0 : runs[0].size();
    for (size_t d = 0; d < nd; ++d) {
        os << (d ? "," : "") << "\n    " << json_string(result_key(runs[0][d])) << ": {";
        for (size_t j = 0; j < runs.size(); ++j) {
            const DensityResult& r = runs[j][d];
            os << (j ? "," : "") << "\n      " << json_string(sim_rule_name(r.rule))
               << ": {\"vehicles\": " << r.vehicles << ", \"cbr_mean\": " << fixed(cbr_mean(r), 4)
               << ", \"pdr\": " << pdr_at_json(sc, r.kinds[0].bins)
               << ",\n        \"urgent_age_ms\": " << dist_json(r.kinds[urgent].age)
               << ", \"gate_held\": " << r.gateHeld << ", \"cpu_s\": " << fixed(r.cpuS, 3)
               << ",\n        \"messages\": [";
            for (size_t k = 0; k < r.kinds.size(); ++k) {
                const SimKindResult& kr = r.kinds[k];
                os << (k ? "," : "") << "\n          {\"priority\": " << sc.messages[k].priority
                   << ", \"generated\": " << kr.generated << ", \"refused\": " << kr.refused
                   << ", \"sent\": " << kr.sent << ", \"on_air\": " << kr.onAir
                   << ", \"held\": " << kr.held << ", \"dropped\": {";
                for (int c = 0; c < kSimDropReasons; ++c) {
                    os << (c ? ", " : "") << json_string(kDropKeys[c]) << ": " << kr.dropped[c];
                }
                os << "},\n           \"pdr\": " << pdr_at_json(sc, kr.bins)
                   << ",\n           \"age_ms\": " << dist_json(kr.age)
                   << ", \"queue_wait_ms\": " << dist_json(kr.queueWait)
                   << ", \"radio_wait_ms\": " << dist_json(kr.radioWait) << "}";
            }
            os << "]}";
        }
        os << "}";
    }
    os << "\n  }\n}\n";
    return os.str();
}

// congestion.png: per density, the first kind's delivery against distance
// under each rule; beside them the mean CBR per density and rule.
std::string congestion_gnuplot(const SimScenario& sc,
                               const std::vector<std::vector<DensityResult>>& runs,
                               const std::string& png)
{
    static const char* const kRuleColours[] = {"#555555", "#d62728", "#1f77b4"};
    std::ostringstream os;
    const size_t nd = runs.empty() ? 0 : runs[0].size();
    const size_t panels = nd + 1;
    const size_t cols = panels <= 2 ? panels : (panels + 1) / 2;
    const size_t rows = (panels + cols - 1) / cols;
    for (size_t d = 0; d < nd; ++d) {
        for (size_t j = 0; j < runs.size(); ++j) {
            os << "$pdr_" << d << "_" << j << " << EOD\n";
            const std::vector<SimBin>& bins = runs[j][d].kinds[0].bins;
            for (size_t k = 0; k < bins.size(); ++k) {
                if (bins[k].offered > 0) {
                    os << num(static_cast<double>(k) * sc.binM) << " "
                       << fixed(static_cast<double>(bins[k].outcome[0]) /
                                    static_cast<double>(bins[k].offered),
                                5)
                       << "\n";
                }
            }
            os << "EOD\n";
        }
    }
    os << "$cbr << EOD\n";
    for (size_t d = 0; d < nd; ++d) {
        os << json_string(result_key(runs[0][d]));
        for (size_t j = 0; j < runs.size(); ++j) {
            os << " " << fixed(cbr_mean(runs[j][d]), 4);
        }
        os << "\n";
    }
    os << "EOD\n";
    const SimMessage& m = sc.messages[0];
    os << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
       << "  set terminal pngcairo size " << 520 * cols << "," << 400 * rows << " font ',10'\n"
       << "} else {\n"
       << "  set terminal png size " << 520 * cols << "," << 400 * rows << "\n"
       << "}\n"
       << "set output " << gp_string(png) << "\n"
       << "set multiplot layout " << rows << "," << cols << " title "
       << gp_string("Congestion gate: " + std::to_string(m.bytes) + " B at " + num(m.rateHz) +
                    " Hz, priority " + std::to_string(m.priority) + " (" +
                    std::to_string(sc.messages.size()) + " kinds of message), " +
                    num(sc.sidelink.txPowerDbm) + " dBm, " + num(sc.seconds) +
                    " s counted after " + num(sc.warmupS) + " s")
       << "\n"
       << "set grid\nset key bottom left\n";
    for (size_t d = 0; d < nd; ++d) {
        const DensityResult& r0 = runs[0][d];
        os << "set title "
           << gp_string(r0.sumo ? std::string("SUMO trace")
                                : num(r0.density) + " vehicles/m (" +
                                      std::to_string(r0.vehicles) + " vehicles)")
           << "\nset xlabel 'distance (m)'\nset ylabel 'delivery ratio, priority "
           << sc.messages[0].priority << "'\nset xrange [0:" << num(sc.rangeM)
           << "]\nset yrange [0:1.02]\nplot ";
        for (size_t j = 0; j < runs.size(); ++j) {
            const int rule = runs[j][d].rule;
            os << (j ? ", \\\n     " : "") << "$pdr_" << d << "_" << j
               << " using 1:2 with linespoints lw 2 pt 7 ps 0.5 lc rgb '"
               << kRuleColours[rule >= 0 && rule < 3 ? rule : 0] << "' title "
               << gp_string(std::string(sim_rule_name(rule)) + ", CBR " +
                            fixed(cbr_mean(runs[j][d]), 2));
        }
        os << "\n";
    }
    os << "set title 'Mean CBR (dashed: the adaptive rule''s target, 0.68)'\n"
       << "set xlabel 'vehicles per metre'\nset ylabel 'mean CBR'\nset xrange [*:*]\n"
       << "set yrange [0:1]\nset key top left\nset style data histograms\n"
       << "set style histogram clustered gap 1\nset style fill solid 0.8 border -1\n"
       << "set arrow 1 from graph 0, first 0.68 to graph 1, first 0.68 nohead dt 2 lw 2\nplot ";
    for (size_t j = 0; j < runs.size(); ++j) {
        const int rule = runs[j][0].rule;
        os << (j ? ", " : "") << "$cbr using " << j + 2 << (j ? "" : ":xtic(1)") << " lc rgb '"
           << kRuleColours[rule >= 0 && rule < 3 ? rule : 0] << "' title "
           << gp_string(sim_rule_name(rule));
    }
    os << "\nunset multiplot\n";
    return os.str();
}

// Runs gnuplot on `script`, its output into `logPath`. 0: drawn; 1: it
// failed; 2: there is no gnuplot.
int run_gnuplot(const std::string& script, const std::string& logPath)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::string prog = "gnuplot";
    std::string arg = script;
    char* argv[] = {&prog[0], &arg[0], nullptr};
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "gnuplot", &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        return 2;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return 1;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        return 2;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

std::string default_out_dir(const std::string& scenario)
{
    std::string base = scenario;
    const size_t slash = base.rfind('/');
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        base.erase(dot);
    }
    return base + "-results";
}

}  // namespace

void SimDist::add(uint64_t ms)
{
    if (hist.empty()) {
        hist.assign(kHistMs + 1, 0);
    }
    ++hist[std::min<uint64_t>(ms, kHistMs)];
    ++count;
    max = std::max(max, ms);
    sum += static_cast<double>(ms);
}

uint64_t SimDist::quantile(double q) const
{
    if (count == 0) {
        return 0;
    }
    const auto want = std::max<uint64_t>(
        1, static_cast<uint64_t>(std::ceil(q * static_cast<double>(count))));
    uint64_t seen = 0;
    for (size_t a = 0; a < kHistMs; ++a) {
        seen += hist[a];
        if (seen >= want) {
            return a;
        }
    }
    return max;  // in the last, open-ended place
}

const char* sim_rule_name(int rule)
{
    switch (rule) {
    case kSimRuleOff:
        return "off";
    case kSimRuleReactive:
        return "reactive";
    case kSimRuleAdaptive:
        return "adaptive";
    default:
        return "none";
    }
}

bool read_sumo_fcd(const std::string& path, SumoTrace& out, std::string& err)
{
    std::string text;
    return read_text(path, text, err) && parse_sumo_fcd(path, text, out, err);
}

bool load_simulation(const std::string& path, SimScenario& out, std::string& err)
{
    CfgFile f;
    if (!f.read(path, "cannot read scenario file " + path, err)) {
        return false;
    }
    Reporter r{path, err};
    out = SimScenario{};
    out.path = path;
    const config_setting_t* root = config_root_setting(&f.c);
    if (!only_known(r, root, {"seed", "sidelink", "simulate"}, "")) {
        return false;
    }
    return load_seed_setting(r, root, out.seed) &&
           load_sidelink_group(r, config_setting_get_member(root, "sidelink"), out.sidelink) &&
           load_simulate(r, root, out);
}

namespace {

// The run itself, the road's and the trace's: the vehicles are placed (with
// a trace: all absent until its first timestep), the phases come from
// `place`. Plays [0, endSf).
void run_model(const SimScenario& sc, Sidelink& sl, Rng& place, const SumoTrace* trace,
               int64_t endSf, SlSink* tap, double cpu0, DensityResult& res, int rule)
{
    const size_t n = sl.size();
    const size_t kinds = sc.messages.size();
    sl.set_decide_range(sc.rangeM + sc.binM / 2.0);
    // Per vehicle and kind, when its next message comes (ms); each kind from
    // a random phase of its own, drawn vehicle by vehicle.
    std::vector<double> nextMs(n * kinds);
    std::vector<Gen> cal;
    cal.reserve(n * kinds);
    for (size_t i = 0; i < n; ++i) {
        for (size_t k = 0; k < kinds; ++k) {
            double& at = nextMs[i * kinds + k];
            at = place.uniform() * (1000.0 / sc.messages[k].rateHz);
            cal.push_back(Gen{static_cast<int64_t>(at), static_cast<uint32_t>(i),
                              static_cast<uint32_t>(k)});
        }
    }
    std::make_heap(cal.begin(), cal.end(), later);
    res.bins.assign(static_cast<size_t>(sc.rangeM / sc.binM + 1e-9) + 1, SimBin{});
    res.rule = rule;
    res.kinds.assign(kinds, SimKindResult{});
    for (SimKindResult& kr : res.kinds) {
        kr.bins.assign(res.bins.size(), SimBin{});
    }
    const int64_t warmSf = std::llround(sc.warmupS * 1000.0);
    res.simulatedS = static_cast<double>(endSf) / 1000.0;
    BinSink sink(res, warmSf, sc.binM, tap);
    constexpr int64_t kCbrEverySf = 100;
    int64_t nextSample = warmSf + kCbrEverySf;
    const int64_t never = INT64_MAX;
    size_t step = 0;  // the trace's next timestep
    std::vector<uint8_t> listed(trace != nullptr ? n : 0);
    // The CBR each vehicle on the road measured over the last 100 subframes.
    const auto sample = [&](int64_t sf) {
        for (size_t i = 0; i < n; ++i) {
            if (sl.present(i)) {
                res.cbrSum += sl.cbr(i, sf);
                ++res.cbrSamples;
            }
        }
    };
    // With a rule, every vehicle sends through a scheduler of its own (each
    // some 170 KB: on the heap), which hears its CBR every cbr_report_ms.
    std::vector<Wake> wakes;
    SimStation::Shared shared;
    shared.warmSf = warmSf;
    shared.sl = &sl;
    shared.res = &res;
    shared.wakes = &wakes;
    std::vector<std::unique_ptr<SimStation>> st;
    int64_t nextReport = never;
    const uint64_t heldBefore = STAT_GET(txGateHeld);
    // The scheduler says on the log when requests expire or are superseded:
    // in a study that is the point, and the counts tell it.
    const eLogLevl logWas = gLogLevl;
    if (rule >= 0) {
        gLogLevl = LOG_LEV_OFF;
        tV2XCongestionCfg cfg;
        tx_gate_defaults(&cfg);
        cfg.rule = static_cast<uint32_t>(rule);
        st.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            st.emplace_back(new SimStation(static_cast<uint32_t>(i), shared));
            st.back()->sched().gate().configure(cfg);
        }
        wakes.reserve(4 * n);
        nextReport = sc.cbrReportMs;
    }
    std::vector<char> msg;
    for (const SimMessage& m : sc.messages) {
        msg.resize(std::max(msg.size(), static_cast<size_t>(m.bytes)));
    }
    const double cpu1 = cpu_seconds();
    const double wall1 = wall_seconds();
    res.setupS = cpu1 - cpu0;
    while (true) {
        const int64_t g = cal.empty() ? never : cal.front().sf;
        int64_t a = sl.next_subframe();
        a = a < 0 ? never : a;
        const int64_t p =
            trace != nullptr && step < trace->steps.size() ? trace->steps[step].sf : never;
        // Wake-ups an arm since replaced are void.
        while (!wakes.empty() && wakes.front().armed != st[wakes.front().vehicle]->armed()) {
            std::pop_heap(wakes.begin(), wakes.end(), wake_later);
            wakes.pop_back();
        }
        const int64_t w = wakes.empty() ? never : wakes.front().sf;
        const int64_t t = std::min(std::min(std::min(a, g), std::min(p, w)), nextReport);
        if (t >= endSf) {
            break;
        }
        // Every 100 subframes after the warm-up (every subframe before t is
        // played, and the positions before t are applied).
        for (; nextSample <= t; nextSample += kCbrEverySf) {
            sample(nextSample - 1);
        }
        if (p <= t) {
            // The positions of a subframe first: what goes on the air in it
            // goes from there, and a vehicle that left sends nothing.
            const SumoTrace::Step& s = trace->steps[step++];
            std::fill(listed.begin(), listed.end(), 0);
            for (size_t k = s.first; k < s.first + s.count; ++k) {
                const SumoTrace::Fix& f = trace->fixes[k];
                listed[f.vehicle] = 1;
                sl.set_position(f.vehicle, f.x, f.y);
            }
            for (size_t i = 0; i < n; ++i) {
                if (listed[i] == 0 && sl.present(i)) {
                    sl.set_absent(i);
                }
            }
            ++res.timesteps;
            continue;
        }
        if (nextReport <= t) {
            // The module's report: the CBR over the 100 subframes before
            // now, measured now.
            shared.nowSf = nextReport;
            for (size_t i = 0; i < n; ++i) {
                if (sl.present(i)) {
                    const double cbr = sl.cbr(i, nextReport - 1);
                    const long pm = std::lround(std::min(1.0, std::max(0.0, cbr)) * 1000.0);
                    st[i]->sched().on_cbr(static_cast<uint16_t>(pm),
                                          static_cast<uint64_t>(nextReport) * 1000u);
                }
            }
            nextReport += sc.cbrReportMs;
            continue;
        }
        if (a <= g && a <= w) {
            // The air of a subframe first: a message generated during it
            // goes out later in any case.
            sl.run_subframe(a, sink);
            continue;
        }
        if (w <= g) {
            // A scheduler's timer: what waited may leave now.
            const Wake e = wakes.front();
            std::pop_heap(wakes.begin(), wakes.end(), wake_later);
            wakes.pop_back();
            shared.nowSf = w;
            st[e.vehicle]->cancel();  // fired: this arm is spent
            st[e.vehicle]->sched().on_timer();
            continue;
        }
        shared.nowSf = g;
        while (!cal.empty() && cal.front().sf == g) {
            std::pop_heap(cal.begin(), cal.end(), later);
            Gen& e = cal.back();
            const SimMessage& m = sc.messages[e.kind];
            SimKindResult& kr = res.kinds[e.kind];
            // A vehicle off the road has nothing to send.
            if (sl.present(e.vehicle)) {
                const bool counted = g >= warmSf;
                if (counted) {
                    ++res.messages;
                    ++kr.generated;
                }
                const uint64_t tag = sim_tag(g, e.kind);
                if (rule < 0) {
                    if (sl.submit(e.vehicle, static_cast<size_t>(m.bytes), g, tag) < 0) {
                        res.refused += counted ? 1 : 0;
                        kr.refused += counted ? 1 : 0;
                    } else {
                        kr.sent += counted ? 1 : 0;
                    }
                } else {
                    TxScheduler& ts = st[e.vehicle]->sched();
                    const uint64_t nowUs = static_cast<uint64_t>(g) * 1000u;
                    TxMeta meta{};
                    meta.connId = 1;
                    meta.aid = SimStation::kAidBase + e.kind;
                    meta.prio = static_cast<uint8_t>(m.priority);
                    meta.supersede = m.supersede ? 1 : 0;
                    meta.lifetimeMs = static_cast<uint32_t>(m.lifetimeMs);
                    meta.callUs = nowUs;
                    // The gate's verdict as the scheduler sees it on arrival.
                    const bool closed = ts.gate().open_at(meta.prio, nowUs) > nowUs;
                    memcpy(msg.data(), &tag, sizeof(tag));
                    const int rc = ts.submit(meta, msg.data(), m.bytes);
                    if (rc == -ERR_V2X_TX_FULL) {
                        res.refused += counted ? 1 : 0;
                        kr.refused += counted ? 1 : 0;
                    } else if (closed && counted) {
                        ++kr.held;
                    }
                }
            }
            double& next = nextMs[e.vehicle * kinds + e.kind];
            next += 1000.0 / m.rateHz;
            e.sf = static_cast<int64_t>(next);
            std::push_heap(cal.begin(), cal.end(), later);
        }
    }
    for (; nextSample <= endSf; nextSample += kCbrEverySf) {
        sample(nextSample - 1);
    }
    res.cpuS = cpu_seconds() - cpu1;
    res.wallS = wall_seconds() - wall1;
    res.gateHeld = STAT_GET(txGateHeld) - heldBefore;
    gLogLevl = logWas;
    for (size_t i = 0; i < n; ++i) {
        res.selections += sl.station(i).selections;
        res.oneShots += sl.station(i).oneShots;
    }
}

}  // namespace

bool simulate_density(const SimScenario& sc, size_t densityIndex, uint64_t seed, DensityResult& res,
                      std::string& err, int rule)
{
    res = DensityResult{};
    if (densityIndex >= sc.densities.size()) {
        err = "no density " + std::to_string(densityIndex);
        return false;
    }
    res.density = sc.densities[densityIndex];
    const size_t n = vehicles_for(sc, res.density);
    if (n < 2 || n > kMaxSimVehicles) {
        err = "density " + num(res.density) + ": " + std::to_string(n) + " vehicles";
        return false;
    }
    res.vehicles = n;
    const double cpu0 = cpu_seconds();
    SidelinkParams p = sc.sidelink;
    if (sc.ring) {
        p.ringM = sc.roadLengthM;
    }
    // The placement and phases have a stream of their own, apart from the
    // model's: the same seed gives the same road whatever the model does.
    Rng place(seed * 0x9e3779b97f4a7c15ull + densityIndex + 1);
    Sidelink sl(n, p, seed * 1000003ull + densityIndex);
    for (size_t i = 0; i < n; ++i) {
        const double x = place.uniform() * sc.roadLengthM;
        const double y = static_cast<double>(i % static_cast<size_t>(sc.lanes)) * sc.laneWidthM;
        sl.set_position(i, x, y);
    }
    const int64_t endSf =
        std::llround(sc.warmupS * 1000.0) + std::llround(sc.seconds * 1000.0);
    run_model(sc, sl, place, nullptr, endSf, nullptr, cpu0, res, rule);
    return true;
}

bool simulate_trace(const SimScenario& sc, uint64_t seed, DensityResult& res, std::string& err,
                    SlSink* tap, int rule)
{
    res = DensityResult{};
    res.sumo = true;
    const SumoTrace& tr = sc.trace;
    const size_t n = tr.ids.size();
    if (n == 0 || n > kMaxSimVehicles || tr.steps.empty()) {
        err = "sumo trace " + tr.path + ": " + std::to_string(n) + " vehicles";
        return false;
    }
    res.vehicles = n;
    const double cpu0 = cpu_seconds();
    // As on the road: the phases' stream apart from the model's.
    Rng place(seed * 0x9e3779b97f4a7c15ull + 1);
    Sidelink sl(n, sc.sidelink, seed * 1000003ull);
    for (size_t i = 0; i < n; ++i) {
        sl.set_absent(i);  // until a timestep lists it
    }
    const int64_t endSf = std::min<int64_t>(
        tr.spanSf, std::llround(sc.warmupS * 1000.0) + std::llround(sc.seconds * 1000.0));
    run_model(sc, sl, place, &tr, endSf, tap, cpu0, res, rule);
    return true;
}

int run_simulation(const std::string& scenarioPath, const SimulateOverrides& ov, FILE* log)
{
    SimScenario sc;
    std::string err;
    if (!load_simulation(scenarioPath, sc, err)) {
        fprintf(log, "radio-sim: %s\n", err.c_str());
        return kExitBadScenario;
    }
    if (ov.seconds >= 0.0) {
        if (ov.seconds < 0.001) {
            fprintf(log, "radio-sim: --duration: a simulation needs at least 0.001 s\n");
            return kExitBadScenario;
        }
        sc.seconds = ov.seconds;
    }
    const uint64_t seed = ov.seedGiven ? ov.seed : sc.seed;
    const std::string out = ov.outDir.empty() ? default_out_dir(scenarioPath) : ov.outDir;
    if (!make_dirs(out, err)) {
        fprintf(log, "radio-sim: %s\n", err.c_str());
        return kExitRuntime;
    }
    Reference ref;
    if (!sc.reference.empty() && !read_reference(sc.reference, ref, err)) {
        fprintf(log, "radio-sim: simulate.reference: %s\n", err.c_str());
        return kExitBadScenario;
    }
    const bool sumo = !sc.sumoFcd.empty();
    // Without congestion one run per density, straight to the model; with
    // it one per density and rule. runs[rule][density].
    const std::vector<int> rules = sc.rules.empty() ? std::vector<int>{-1} : sc.rules;
    std::vector<std::vector<DensityResult>> runs(rules.size());
    for (size_t j = 0; j < rules.size(); ++j) {
        std::vector<DensityResult>& res = runs[j];
        res.resize(sumo ? 1 : sc.densities.size());
        for (size_t k = 0; k < res.size(); ++k) {
            if (!(sumo ? simulate_trace(sc, seed, res[k], err, nullptr, rules[j])
                       : simulate_density(sc, k, seed, res[k], err, rules[j]))) {
                fprintf(log, "radio-sim: %s\n", err.c_str());
                return kExitRuntime;
            }
            const DensityResult& r = res[k];
            if (!ov.quiet) {
                std::string what =
                    sumo ? sc.trace.path + " (" + std::to_string(r.timesteps) + " timesteps)"
                         : num(r.density) + " vehicles/m";
                if (rules[j] >= 0) {
                    what += std::string(", rule ") + sim_rule_name(rules[j]);
                }
                fprintf(log,
                        "radio-sim: %s: %zu vehicles, %.1f s simulated in %.2f s of CPU "
                        "(%.1f times real time), %llu transmissions, %.2f us each, mean CBR "
                        "%.3f\n",
                        what.c_str(), r.vehicles, r.simulatedS, r.cpuS,
                        r.cpuS > 0.0 ? r.simulatedS / r.cpuS : 0.0,
                        static_cast<unsigned long long>(r.allTransmissions),
                        r.allTransmissions
                            ? r.cpuS * 1e6 / static_cast<double>(r.allTransmissions)
                            : 0.0,
                        r.cbrSamples ? r.cbrSum / static_cast<double>(r.cbrSamples) : 0.0);
            }
        }
    }
    // The files of a plain run hold the first rule's runs; simulation.json
    // lists every run.
    const std::vector<DensityResult>& res = runs[0];
    std::vector<DensityResult> every;
    for (const auto& rr : runs) {
        every.insert(every.end(), rr.begin(), rr.end());
    }
    bool ok = write_file(out + "/pdr.json", pdr_json(sc, res), err) &&
              write_file(out + "/simulation.json", simulation_json(sc, seed, every), err);
    if (ok && !sc.rules.empty()) {
        ok = write_file(out + "/congestion.json", congestion_json(sc, runs), err);
    }
    for (size_t k = 0; ok && k < res.size(); ++k) {
        ok = write_file(out + "/pdr-" + result_key(res[k]) + ".csv",
                        density_csv(sc, res[k]), err);
    }
    if (!ok) {
        fprintf(log, "radio-sim: %s\n", err.c_str());
        return kExitRuntime;
    }
    int status = 0;
    bool drawn = false;
    if (ov.picture) {
        const std::string gp = out + "/pdr.gp";
        if (!write_file(gp, gnuplot_script(sc, res, ref, out + "/pdr.png"), err)) {
            fprintf(log, "radio-sim: %s\n", err.c_str());
            return kExitRuntime;
        }
        int rc = run_gnuplot(gp, out + "/gnuplot.log");
        if (rc == 0 && !sc.rules.empty()) {
            const std::string cgp = out + "/congestion.gp";
            if (!write_file(cgp, congestion_gnuplot(sc, runs, out + "/congestion.png"), err)) {
                fprintf(log, "radio-sim: %s\n", err.c_str());
                return kExitRuntime;
            }
            rc = run_gnuplot(cgp, out + "/gnuplot.log");
        }
        drawn = rc == 0;
        if (rc == 2) {
            unlink((out + "/gnuplot.log").c_str());
            fprintf(log,
                    "radio-sim: no gnuplot: %s/pdr.png is left out (gnuplot %s draws it "
                    "once gnuplot is installed)\n",
                    out.c_str(), gp.c_str());
        } else if (rc != 0) {
            fprintf(log, "radio-sim: gnuplot failed on %s: see %s/gnuplot.log\n", gp.c_str(),
                    out.c_str());
            status = kExitRuntime;
        }
    }
    if (!ov.quiet) {
        fprintf(log, "radio-sim: results in %s/ (pdr.json, simulation.json, pdr-%s.csv%s%s)\n",
                out.c_str(), sumo ? "sumo" : "DENSITY", drawn ? ", pdr.png" : "",
                sc.rules.empty() ? "" : drawn ? ", congestion.json, congestion.png"
                                              : ", congestion.json");
    }
    return status;
}

}  // namespace radiosim
