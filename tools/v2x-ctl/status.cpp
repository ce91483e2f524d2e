// SPDX-License-Identifier: Apache-2.0
// `v2x-ctl status`: one screen that says whether a station's core is alive
// and well: what runs and since when, who is connected, how much goes each
// way, the channel's load and what is being dropped most.
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "ctl.hpp"

namespace v2xctl {

namespace {

// A text field of the status record, if the core filled it.
std::string text(const Answer& aicS, size_t aicOff, size_t aicLen)
{
    if (aicS.count == 0 || aicOff + aicLen > aicS.filled) {
        return std::string();
    }
    const char* p = reinterpret_cast<const char*>(aicS.at(0)) + aicOff;
    return std::string(p, strnlen(p, aicLen));
}

#define ST_TEXT(a, f) text((a), offsetof(tV2XCtlStatus, f), sizeof(tV2XCtlStatus::f))

template <class T>
T num(const Answer& aicS, size_t aicOff)
{
    T v{};
    if (aicS.count > 0 && aicOff + sizeof(T) <= aicS.filled) {
        memcpy(&v, aicS.at(0) + aicOff, sizeof(v));
    }
    return v;
}

#define ST_NUM(a, f) num<decltype(tV2XCtlStatus::f)>((a), offsetof(tV2XCtlStatus, f))

const Field* stats_field(const char* aipcName)
{
    for (size_t i = 0; i < kStatsRecord.nFields; ++i) {
        if (strcmp(kStatsRecord.fields[i].name, aipcName) == 0) {
            return &kStatsRecord.fields[i];
        }
    }
    return nullptr;
}

bool filled(const Answer& aicA, const Field& aicF)
{
    return aicA.count > 0 && static_cast<size_t>(aicF.off) + aicF.width <= aicA.filled;
}

// A counter's rate per second: between the two samples, or over the uptime.
// Negative when it cannot be told (a core too old, counters that went back,
// no time).
double rate(const StatusView& aicV, const char* aipcName)
{
    const Field* f = stats_field(aipcName);
    if (f == nullptr || !filled(aicV.after, *f)) {
        return -1;
    }
    const uint64_t now = field_u64(aicV.after.at(0), *f);
    if (aicV.seconds > 0) {
        if (!filled(aicV.before, *f) || field_u64(aicV.before.at(0), *f) > now) {
            return -1;
        }
        return static_cast<double>(now - field_u64(aicV.before.at(0), *f)) / aicV.seconds;
    }
    const double up = static_cast<double>(ST_NUM(aicV.status, uptimeMs)) / 1000.0;
    return up > 0 ? static_cast<double>(now) / up : -1;
}

struct Drop {
    const char* name;
    uint64_t count;
};

// The three largest non-zero counters that count a drop, refusal or error
// by reason (the counters of a family: see Family), largest first.
std::vector<Drop> top_drops(const Answer& aicStats)
{
    std::vector<Drop> all;
    for (size_t i = 0; i < kStatsRecord.nFields; ++i) {
        const Field& f = kStatsRecord.fields[i];
        if (f.family == nullptr || f.kind != Kind::Counter || !filled(aicStats, f)) {
            continue;
        }
        const uint64_t v = field_u64(aicStats.at(0), f);
        if (v > 0) {
            all.push_back({f.name, v});
        }
    }
    // Stable: equal counts keep the record's order.
    std::stable_sort(all.begin(), all.end(),
                     [](const Drop& a, const Drop& b) { return a.count > b.count; });
    if (all.size() > 3) {
        all.resize(3);
    }
    return all;
}

// rxCbrLast, or -1 when the module has reported none (or the core does not
// count it).
long cbr_permille(const Answer& aicStats)
{
    const Field* f = stats_field("rxCbrLast");
    if (f == nullptr || !filled(aicStats, *f)) {
        return -1;
    }
    const uint64_t v = field_u64(aicStats.at(0), *f);
    return v > 1000 ? -1 : static_cast<long>(v);
}

// A stats field by name; false when the core does not count it.
bool stat(const Answer& aicStats, const char* aipcName, uint64_t& aorV)
{
    const Field* f = stats_field(aipcName);
    if (f == nullptr || !filled(aicStats, *f)) {
        return false;
    }
    aorV = field_u64(aicStats.at(0), *f);
    return true;
}

// The congestion gate as the stats show it; known is false for a core
// without the gate.
struct Congestion {
    bool known = false;
    uint64_t rule = 0, last = 0, smoothed = 0, ageMs = 0, held = 0, expired = 0, superseded = 0;
    bool has_cbr() const { return last <= 1000 && ageMs != V2X_CBR_AGE_NONE; }
};

Congestion congestion(const Answer& aicStats)
{
    Congestion c;
    c.known = stat(aicStats, "ccRule", c.rule) && stat(aicStats, "cbrLast", c.last) &&
              stat(aicStats, "cbrSmoothed", c.smoothed) && stat(aicStats, "cbrAgeMs", c.ageMs) &&
              stat(aicStats, "txGateHeld", c.held) && stat(aicStats, "txGatedExpired", c.expired) &&
              stat(aicStats, "txGatedSuperseded", c.superseded);
    return c;
}

const char* rule_name(uint64_t aicRule)
{
    static const char* const kNames[] = {"off", "reactive", "adaptive"};
    return aicRule < 3 ? kNames[aicRule] : "unknown rule";
}

// A CBR per mille as "41.2 %"; "-" for none.
std::string percent(uint64_t aicPermille)
{
    if (aicPermille > 1000) {
        return "-";
    }
    char buf[16];
    snprintf(buf, sizeof(buf), "%u.%u %%", static_cast<unsigned>(aicPermille / 10),
             static_cast<unsigned>(aicPermille % 10));
    return buf;
}

// An age in at most 9 characters: "120 ms", "12.5 s", "71582 min".
std::string age(uint64_t aicMs)
{
    char buf[32];
    if (aicMs < 1000) {
        snprintf(buf, sizeof(buf), "%u ms", static_cast<unsigned>(aicMs));
    } else if (aicMs < 600000) {
        snprintf(buf, sizeof(buf), "%.1f s", static_cast<double>(aicMs) / 1000.0);
    } else {
        snprintf(buf, sizeof(buf), "%llu min", static_cast<unsigned long long>(aicMs / 60000));
    }
    return buf;
}

std::string duration(uint64_t aicMs)
{
    const uint64_t s = aicMs / 1000;
    char buf[48];
    if (s >= 86400) {
        snprintf(buf, sizeof(buf), "%llud %02lluh %02llum", static_cast<unsigned long long>(s / 86400),
                 static_cast<unsigned long long>(s / 3600 % 24),
                 static_cast<unsigned long long>(s / 60 % 60));
    } else if (s >= 3600) {
        snprintf(buf, sizeof(buf), "%lluh %02llum %02llus", static_cast<unsigned long long>(s / 3600),
                 static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
    } else {
        snprintf(buf, sizeof(buf), "%llum %02llus", static_cast<unsigned long long>(s / 60),
                 static_cast<unsigned long long>(s % 60));
    }
    return buf;
}

std::string local_time(uint64_t aicRealUs)
{
    const time_t t = static_cast<time_t>(aicRealUs / 1000000u);
    struct tm tmv;
    char buf[40] = "";
    if (localtime_r(&t, &tmv) != nullptr) {
        strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S %z", &tmv);
    }
    return buf;
}

std::string per_second(double aicV, const char* aipcUnit)
{
    if (aicV < 0) {
        return "-";
    }
    char buf[48];
    snprintf(buf, sizeof(buf), "%.1f %s/s", aicV, aipcUnit);
    return buf;
}

// A Prometheus label value: backslash, quote and newline escaped.
std::string prom_value(const std::string& aicS)
{
    std::string o;
    for (char ch : aicS) {
        if (ch == '\\' || ch == '"') {
            o += '\\';
            o += ch;
        } else if (ch == '\n') {
            o += "\\n";
        } else {
            o += ch;
        }
    }
    return o;
}

}  // namespace

std::string json_string(const char* aipcText)
{
    std::string o = "\"";
    for (const char* p = aipcText; *p != '\0'; ++p) {
        const unsigned char ch = static_cast<unsigned char>(*p);
        if (ch == '"' || ch == '\\') {
            o += '\\';
            o += static_cast<char>(ch);
        } else if (ch < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", ch);
            o += buf;
        } else {
            o += static_cast<char>(ch);
        }
    }
    return o + "\"";
}

void print_status_table(FILE* aopOut, const StatusView& aicV)
{
    const Answer& s = aicV.status;
    const std::string station = ST_TEXT(s, station);
    const std::string build = ST_TEXT(s, build);
    fprintf(aopOut, "station      %s\n", station.empty() ? "(no name)" : station.c_str());
    fprintf(aopOut, "version      %s%s%s%s\n", ST_TEXT(s, libVersion).c_str(),
            build.empty() ? "" : " (", build.c_str(), build.empty() ? "" : ")");
    const uint64_t startUs = ST_NUM(s, startRealUs);
    if (startUs != 0) {
        fprintf(aopOut, "core         up %s, since %s, pid %d\n",
                duration(ST_NUM(s, uptimeMs)).c_str(), local_time(startUs).c_str(),
                static_cast<int>(ST_NUM(s, pid)));
    } else {
        fprintf(aopOut, "core         not running, pid %d\n", static_cast<int>(ST_NUM(s, pid)));
    }
    fprintf(aopOut, "socket       %s\n", ST_TEXT(s, sockPath).c_str());
    fprintf(aopOut, "connections  applications %u, control %u (cap %u)\n",
            static_cast<unsigned>(ST_NUM(s, appConnections)),
            static_cast<unsigned>(ST_NUM(s, ctlConnections)),
            static_cast<unsigned>(ST_NUM(s, maxClients)));
    char over[64];
    if (aicV.seconds > 0) {
        snprintf(over, sizeof(over), "over %.1f s", aicV.seconds);
    } else {
        snprintf(over, sizeof(over), "average since the start");
    }
    fprintf(aopOut, "radio send   %-20s %-20s %s\n",
            per_second(rate(aicV, "txDatagrams"), "dgram").c_str(),
            per_second(rate(aicV, "txBytes"), "B").c_str(), over);
    fprintf(aopOut, "radio recv   %-20s %-20s %s\n",
            per_second(rate(aicV, "rxDatagrams"), "dgram").c_str(),
            per_second(rate(aicV, "rxBytes"), "B").c_str(), over);
    const long cbr = cbr_permille(aicV.after);
    if (cbr < 0) {
        fprintf(aopOut, "channel      CBR not reported by the radio module\n");
    } else {
        fprintf(aopOut, "channel      CBR %ld.%ld %% (last report)\n", cbr / 10, cbr % 10);
    }
    // The gate's rule and the CBR it works from; then what it dropped.
    // Counts are shortened so that the lines stay within 80 columns.
    const Congestion cc = congestion(aicV.after);
    if (!cc.known) {
        fprintf(aopOut, "congestion   not counted by this core\n");
    } else {
        if (cc.has_cbr()) {
            fprintf(aopOut, "congestion   %s, CBR %s (smoothed %s, %s ago)\n", rule_name(cc.rule),
                    percent(cc.last).c_str(), percent(cc.smoothed).c_str(), age(cc.ageMs).c_str());
        } else {
            fprintf(aopOut, "congestion   %s, no CBR\n", rule_name(cc.rule));
        }
        fprintf(aopOut, "             gated drops %s expired, %s superseded\n",
                short_count(cc.expired).c_str(), short_count(cc.superseded).c_str());
    }
    // Since the process started, as the counters count.
    const std::vector<Drop> drops = top_drops(aicV.after);
    const char* head = "top drops";
    for (const Drop& d : drops) {
        fprintf(aopOut, "%-12s %-24s %20llu\n", head, d.name,
                static_cast<unsigned long long>(d.count));
        head = "";
    }
    if (drops.empty()) {
        fprintf(aopOut, "top drops    none\n");
    }
}

void print_status_json(FILE* aopOut, const StatusView& aicV)
{
    const Answer& s = aicV.status;
    fprintf(aopOut,
            "{\"status\":{\"station\":%s,\"libVersion\":%s,\"build\":%s,\"startRealUs\":%llu,"
            "\"uptimeMs\":%llu,\"pid\":%d,\"sockPath\":%s,\"appConnections\":%u,"
            "\"ctlConnections\":%u,\"maxClients\":%u,",
            json_string(ST_TEXT(s, station).c_str()).c_str(),
            json_string(ST_TEXT(s, libVersion).c_str()).c_str(),
            json_string(ST_TEXT(s, build).c_str()).c_str(),
            static_cast<unsigned long long>(ST_NUM(s, startRealUs)),
            static_cast<unsigned long long>(ST_NUM(s, uptimeMs)), static_cast<int>(ST_NUM(s, pid)),
            json_string(ST_TEXT(s, sockPath).c_str()).c_str(),
            static_cast<unsigned>(ST_NUM(s, appConnections)),
            static_cast<unsigned>(ST_NUM(s, ctlConnections)),
            static_cast<unsigned>(ST_NUM(s, maxClients)));
    // The span the rates cover (the uptime for averages since the start);
    // rates that cannot be told are null.
    const double span = aicV.seconds > 0 ? aicV.seconds
                                         : static_cast<double>(ST_NUM(s, uptimeMs)) / 1000.0;
    fprintf(aopOut, "\"rates\":{\"seconds\":%.3f", span);
    for (const char* n : {"txDatagrams", "txBytes", "rxDatagrams", "rxBytes"}) {
        const double r = rate(aicV, n);
        if (r < 0) {
            fprintf(aopOut, ",\"%s\":null", n);
        } else {
            fprintf(aopOut, ",\"%s\":%.1f", n, r);
        }
    }
    const long cbr = cbr_permille(aicV.after);
    fprintf(aopOut, "},\"rxCbrLast\":%ld,", cbr < 0 ? 65535L : cbr);
    // The gate's state under the stats' names (65535 and 4294967295: no
    // CBR yet, as in the stats); null from a core without the gate.
    const Congestion cc = congestion(aicV.after);
    if (cc.known) {
        fprintf(aopOut,
                "\"congestion\":{\"rule\":\"%s\",\"ccRule\":%llu,\"cbrLast\":%llu,"
                "\"cbrSmoothed\":%llu,\"cbrAgeMs\":%llu,\"txGateHeld\":%llu,"
                "\"txGatedExpired\":%llu,\"txGatedSuperseded\":%llu},",
                rule_name(cc.rule), static_cast<unsigned long long>(cc.rule),
                static_cast<unsigned long long>(cc.last),
                static_cast<unsigned long long>(cc.smoothed),
                static_cast<unsigned long long>(cc.ageMs), static_cast<unsigned long long>(cc.held),
                static_cast<unsigned long long>(cc.expired),
                static_cast<unsigned long long>(cc.superseded));
    } else {
        fprintf(aopOut, "\"congestion\":null,");
    }
    fprintf(aopOut, "\"topDrops\":[");
    const char* sep = "";
    for (const Drop& d : top_drops(aicV.after)) {
        fprintf(aopOut, "%s{\"name\":\"%s\",\"count\":%llu}", sep, d.name,
                static_cast<unsigned long long>(d.count));
        sep = ",";
    }
    fprintf(aopOut, "]}}\n");
}

// Identity as an info metric (value 1, the texts as labels) and the start
// and uptime as gauges; rates are Prometheus's own work on `stats`.
void print_status_prometheus(FILE* aopOut, const StatusView& aicV)
{
    const Answer& s = aicV.status;
    fprintf(aopOut, "# HELP v2x_up 1: the core answered the query; 0: it could not be asked.\n"
                    "# TYPE v2x_up gauge\nv2x_up 1\n");
    fprintf(aopOut,
            "# HELP v2x_info The core's version, build, station name and socket: 1.\n"
            "# TYPE v2x_info gauge\n"
            "v2x_info{version=\"%s\",build=\"%s\",station=\"%s\",socket=\"%s\"} 1\n",
            prom_value(ST_TEXT(s, libVersion)).c_str(), prom_value(ST_TEXT(s, build)).c_str(),
            prom_value(ST_TEXT(s, station)).c_str(), prom_value(ST_TEXT(s, sockPath)).c_str());
    fprintf(aopOut,
            "# HELP v2x_start_time_seconds When the core started, Unix time (0: not running).\n"
            "# TYPE v2x_start_time_seconds gauge\nv2x_start_time_seconds %.3f\n",
            static_cast<double>(ST_NUM(s, startRealUs)) / 1e6);
    fprintf(aopOut,
            "# HELP v2x_uptime_seconds How long the core has run.\n"
            "# TYPE v2x_uptime_seconds gauge\nv2x_uptime_seconds %.3f\n",
            static_cast<double>(ST_NUM(s, uptimeMs)) / 1e3);
}

}  // namespace v2xctl
