// SPDX-License-Identifier: Apache-2.0
#include "station_config.hpp"

#include <grp.h>

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

#include "cfg_file.hpp"

namespace station {

namespace {

using v2xcfg::CfgFile;
using v2xcfg::Reporter;
using v2xcfg::beside;

// "station.send[0].rate": names joined by dots, list entries by index.
std::string path_of(const config_setting_t* s)
{
    std::string p;
    for (; s != nullptr && config_setting_parent(s) != nullptr; s = config_setting_parent(s)) {
        const char* nm = config_setting_name(s);
        if (nm != nullptr) {
            p = std::string(nm) + (p.empty() || p[0] == '[' ? "" : ".") + p;
        } else {
            p = "[" + std::to_string(config_setting_index(s)) + "]" + (p.empty() || p[0] == '[' ? "" : ".") + p;
        }
    }
    return p;
}

// An integer member within [lo, hi]; absent members keep `out`.
bool member_int(Reporter& r, const config_setting_t* grp, const char* key, long lo, long hi,
                long& out, bool required = false)
{
    const config_setting_t* s = config_setting_get_member(grp, key);
    if (s == nullptr) {
        if (required) {
            return r.fail(grp, "missing setting " + path_of(grp) + "." + key);
        }
        return true;
    }
    if (config_setting_type(s) != CONFIG_TYPE_INT && config_setting_type(s) != CONFIG_TYPE_INT64) {
        return r.fail(s, path_of(s) + " must be an integer");
    }
    const long long v = config_setting_get_int64(s);
    if (v < lo || v > hi) {
        return r.fail(s, path_of(s) + " = " + std::to_string(v) + " is outside " +
                             std::to_string(lo) + ".." + std::to_string(hi));
    }
    out = static_cast<long>(v);
    return true;
}

bool member_number(Reporter& r, const config_setting_t* grp, const char* key, double lo,
                   double hi, double& out, bool required = false)
{
    const config_setting_t* s = config_setting_get_member(grp, key);
    if (s == nullptr) {
        if (required) {
            return r.fail(grp, "missing setting " + path_of(grp) + "." + key);
        }
        return true;
    }
    double v = 0;
    if (!v2xcfg::number_of(s, v)) {
        return r.fail(s, path_of(s) + " must be a number");
    }
    if (!(v >= lo && v <= hi)) {
        std::ostringstream os;
        os << path_of(s) << " = " << v << " is outside " << lo << ".." << hi;
        return r.fail(s, os.str());
    }
    out = v;
    return true;
}

bool member_string(Reporter& r, const config_setting_t* grp, const char* key, size_t maxLen,
                   std::string& out, bool required = false)
{
    const config_setting_t* s = config_setting_get_member(grp, key);
    if (s == nullptr) {
        if (required) {
            return r.fail(grp, "missing setting " + path_of(grp) + "." + key);
        }
        return true;
    }
    if (config_setting_type(s) != CONFIG_TYPE_STRING) {
        return r.fail(s, path_of(s) + " must be a string");
    }
    const std::string v = config_setting_get_string(s);
    if (v.size() > maxLen) {
        return r.fail(s, path_of(s) + " is longer than " + std::to_string(maxLen) + " characters");
    }
    out = v;
    return true;
}

// A misspelt key would otherwise be ignored silently.
bool only_known(Reporter& r, const config_setting_t* grp, const std::set<std::string>& known)
{
    const int n = config_setting_length(grp);
    for (int i = 0; i < n; ++i) {
        const config_setting_t* s = config_setting_get_elem(grp, static_cast<unsigned>(i));
        const char* nm = config_setting_name(s);
        if (nm != nullptr && known.count(nm) == 0) {
            return r.fail(s, "unknown setting " + path_of(s));
        }
    }
    return true;
}

bool ipv4_text(Reporter& r, const config_setting_t* grp, const char* key, char (&out)[16])
{
    std::string text;
    if (!member_string(r, grp, key, 15, text, true)) {
        return false;
    }
    struct in_addr a;
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
        return r.fail(config_setting_get_member(grp, key),
                      path_of(grp) + "." + key + " = \"" + text + "\" is not an IPv4 address");
    }
    memset(out, 0, sizeof(out));
    memcpy(out, text.data(), text.size());
    return true;
}

// A boolean member, or the integer 0 or 1 as the log group's switches;
// absent members keep `out`.
bool member_flag(Reporter& r, const config_setting_t* grp, const char* key, bool& out)
{
    const config_setting_t* s = config_setting_get_member(grp, key);
    if (s == nullptr) {
        return true;
    }
    if (config_setting_type(s) == CONFIG_TYPE_BOOL) {
        out = config_setting_get_bool(s) != 0;
        return true;
    }
    if ((config_setting_type(s) == CONFIG_TYPE_INT || config_setting_type(s) == CONFIG_TYPE_INT64) &&
        (config_setting_get_int64(s) == 0 || config_setting_get_int64(s) == 1)) {
        out = config_setting_get_int64(s) == 1;
        return true;
    }
    return r.fail(s, path_of(s) + " must be true or false (or 1 or 0)");
}

// station.txDefaults: how plain requests of each listed AID wait for the
// radio in this station's core. The core checks the table too; refusing it
// here names the line.
bool load_tx_defaults(Reporter& r, const config_setting_t* st, Config& out)
{
    const config_setting_t* td = config_setting_get_member(st, "txDefaults");
    if (td == nullptr) {
        return true;
    }
    if (config_setting_type(td) != CONFIG_TYPE_LIST) {
        return r.fail(td, "station.txDefaults must be a list of groups, like "
                          "( { aid = 26; priority = 7; lifetimeMs = 100; supersede = true; } )");
    }
    const int n = config_setting_length(td);
    if (n > kMaxTxDefaults) {
        return r.fail(td, "station.txDefaults holds more than " + std::to_string(kMaxTxDefaults) +
                              " entries");
    }
    for (int i = 0; i < n; ++i) {
        const config_setting_t* e = config_setting_get_elem(td, static_cast<unsigned>(i));
        if (!config_setting_is_group(e)) {
            return r.fail(e, "station.txDefaults: each entry is a group "
                             "{ aid; priority; lifetimeMs; supersede; }");
        }
        long aid = 0, prio = 0, life = 0;
        bool supersede = false;
        if (!only_known(r, e, {"aid", "priority", "lifetimeMs", "supersede"}) ||
            !member_int(r, e, "aid", 0, kMaxAid, aid, true) ||
            !member_int(r, e, "priority", 0, kMaxTxPriority, prio) ||
            !member_int(r, e, "lifetimeMs", 0, kMaxTxLifetimeMs, life) ||
            !member_flag(r, e, "supersede", supersede)) {
            return false;
        }
        for (const tV2XTxDefault& d : out.txDefaults) {
            if (d.aid == static_cast<uint32_t>(aid)) {
                return r.fail(config_setting_get_member(e, "aid"),
                              path_of(e) + ": AID " + std::to_string(aid) + " is listed twice");
            }
        }
        tV2XTxDefault d;
        memset(&d, 0, sizeof(d));
        d.aid = static_cast<uint32_t>(aid);
        d.priority = static_cast<uint8_t>(prio);
        d.supersede = supersede ? 1 : 0;
        d.lifetimeMs = static_cast<uint32_t>(life);
        out.txDefaults.push_back(d);
    }
    return true;
}

// security.profiles: one group per AID that signs or verifies.
bool load_sec_profiles(Reporter& r, const config_setting_t* sg, Config& out)
{
    const config_setting_t* pl = config_setting_get_member(sg, "profiles");
    if (pl == nullptr) {
        return true;
    }
    if (config_setting_type(pl) != CONFIG_TYPE_LIST ||
        config_setting_length(pl) > V2X_SEC_PROFILES_MAX) {
        return r.fail(pl, "security.profiles must be a list of at most " +
                              std::to_string(V2X_SEC_PROFILES_MAX) +
                              " groups, like ( { aid = 32; sign = true; verify = true; "
                              "signer = \"digest\"; } )");
    }
    for (int i = 0; i < config_setting_length(pl); ++i) {
        const config_setting_t* e = config_setting_get_elem(pl, static_cast<unsigned>(i));
        long aid = 0;
        bool sign = false, verify = false, drop = true;
        std::string signer = "digest";
        if (!config_setting_is_group(e) ||
            !only_known(r, e, {"aid", "sign", "verify", "signer", "drop"}) ||
            !member_int(r, e, "aid", 0, kMaxAid, aid, true) || !member_flag(r, e, "sign", sign) ||
            !member_flag(r, e, "verify", verify) || !member_flag(r, e, "drop", drop) ||
            !member_string(r, e, "signer", 16, signer)) {
            return r.fail(e, "security.profiles: each entry is a group "
                             "{ aid; sign; verify; signer; drop; }");
        }
        if (signer != "digest" && signer != "certificate") {
            return r.fail(config_setting_get_member(e, "signer"),
                          path_of(e) + ".signer must be \"digest\" or \"certificate\"");
        }
        for (const tV2XSecProfile& p : out.secProfiles) {
            if (p.aid == static_cast<uint32_t>(aid)) {
                return r.fail(e, path_of(e) + ": AID " + std::to_string(aid) + " is listed twice");
            }
        }
        tV2XSecProfile p;
        memset(&p, 0, sizeof(p));
        p.aid = static_cast<uint32_t>(aid);
        p.sign = sign ? 1 : 0;
        p.verify = verify ? 1 : 0;
        p.signer = signer == "digest" ? V2X_SEC_SIGNER_DIGEST : V2X_SEC_SIGNER_CERT;
        p.passFailed = drop ? 0 : 1;
        out.secProfiles.push_back(p);
    }
    return true;
}

// security: the trust folder, this station's certificate and key, and the
// profiles. The core loads the files when the station starts.
bool load_security(Reporter& r, const config_setting_t* sg, Config& out)
{
    out.hasSecurity = sg != nullptr;
    if (sg == nullptr) {
        return true;
    }
    long workers = 0, queue = 0, back = 0, ahead = 0;
    if (!config_setting_is_group(sg)) {
        return r.fail(sg, "security must be a group { trustDir; cert; key; profiles; }");
    }
    if (!only_known(r, sg, {"trustDir", "cert", "key", "profiles", "workers", "queue",
                            "windowBackMs", "windowAheadMs"}) ||
        !member_string(r, sg, "trustDir", 4095, out.secTrustDir) ||
        !member_string(r, sg, "cert", 4095, out.secCert) ||
        !member_string(r, sg, "key", 4095, out.secKey) ||
        !member_int(r, sg, "workers", 0, 16, workers) || !member_int(r, sg, "queue", 0, 4096, queue) ||
        !member_int(r, sg, "windowBackMs", 0, 3600000, back) ||
        !member_int(r, sg, "windowAheadMs", 0, 3600000, ahead) || !load_sec_profiles(r, sg, out)) {
        return false;
    }
    out.secTrustDir = beside(out.file, out.secTrustDir);
    out.secCert = beside(out.file, out.secCert);
    out.secKey = beside(out.file, out.secKey);
    out.secWorkers = static_cast<int>(workers);
    out.secQueue = static_cast<int>(queue);
    out.secWindowBackMs = static_cast<uint32_t>(back);
    out.secWindowAheadMs = static_cast<uint32_t>(ahead);
    return true;
}

// The gate's limits, as v2x_core_set_congestion checks them; refusing here
// names the line.
constexpr long kCcMaxGapMs = 10000;
constexpr long kCcMaxPeriodMs = 60000;
constexpr long kCcMaxOccupancyUs = 1000000;

// A share above 0 and below 1 (at most 1 where oneAllowed), such as alpha
// or a duty cycle; absent members keep `out`.
bool member_share(Reporter& r, const config_setting_t* grp, const char* key, bool oneAllowed,
                  double& out)
{
    double v = out;
    if (!member_number(r, grp, key, 0, 1, v)) {
        return false;
    }
    if (!(v > 0) || (!oneAllowed && !(v < 1))) {
        std::ostringstream os;
        os << path_of(grp) << "." << key << " = " << v << " must be above 0 and "
           << (oneAllowed ? "at most 1" : "below 1");
        return r.fail(config_setting_get_member(grp, key), os.str());
    }
    out = v;
    return true;
}

// congestion.ungated: the priorities the gate never holds; [] holds all.
bool load_cc_ungated(Reporter& r, const config_setting_t* cg, tV2XCongestionCfg& c)
{
    const config_setting_t* ug = config_setting_get_member(cg, "ungated");
    if (ug == nullptr) {
        return true;
    }
    if (config_setting_type(ug) != CONFIG_TYPE_ARRAY &&
        config_setting_type(ug) != CONFIG_TYPE_LIST) {
        return r.fail(ug, "congestion.ungated must be an array of priorities, like [ 7 ] or [ ]");
    }
    uint32_t mask = 0;
    for (int i = 0; i < config_setting_length(ug); ++i) {
        const config_setting_t* e = config_setting_get_elem(ug, static_cast<unsigned>(i));
        if (config_setting_type(e) != CONFIG_TYPE_INT || config_setting_get_int(e) < 0 ||
            config_setting_get_int(e) > static_cast<int>(kMaxTxPriority)) {
            return r.fail(e, "congestion.ungated: a priority is 0 to 7");
        }
        const uint32_t bit = 1u << config_setting_get_int(e);
        if ((mask & bit) != 0) {
            return r.fail(e, "congestion.ungated: priority " +
                                 std::to_string(config_setting_get_int(e)) + " is listed twice");
        }
        mask |= bit;
    }
    c.ungatedMask = mask;
    return true;
}

// congestion.reactive: the table that replaces the default one, rows by
// rising cbrMax (a CBR as a share, 0 to 1), the last 1.0.
bool load_cc_reactive(Reporter& r, const config_setting_t* cg, tV2XCongestionCfg& c)
{
    const config_setting_t* tb = config_setting_get_member(cg, "reactive");
    if (tb == nullptr) {
        return true;
    }
    const int n = config_setting_length(tb);
    if (config_setting_type(tb) != CONFIG_TYPE_LIST || n < 1 || n > V2X_CC_RANGES_MAX) {
        return r.fail(tb, "congestion.reactive must be a list of 1 to " +
                              std::to_string(V2X_CC_RANGES_MAX) +
                              " groups, like ( { cbrMax = 0.3; gapMs = [ 0, 0, 0, 0, 0, 0, 0, "
                              "0 ]; }, ..., { cbrMax = 1.0; gapMs = [ ... ]; } )");
    }
    tV2XCcRange rows[V2X_CC_RANGES_MAX];
    memset(rows, 0, sizeof(rows));
    for (int i = 0; i < n; ++i) {
        const config_setting_t* e = config_setting_get_elem(tb, static_cast<unsigned>(i));
        double cbr = 0;
        if (!config_setting_is_group(e)) {
            return r.fail(e, "congestion.reactive: each entry is a group { cbrMax; gapMs; }");
        }
        if (!only_known(r, e, {"cbrMax", "gapMs"}) ||
            !member_number(r, e, "cbrMax", 0, 1, cbr, true)) {
            return false;
        }
        // The core keeps per mille; a finer share rounds to the nearest.
        rows[i].cbrMaxPermille = static_cast<uint16_t>(std::lround(cbr * 1000));
        if (i > 0 && rows[i].cbrMaxPermille <= rows[i - 1].cbrMaxPermille) {
            std::ostringstream os;
            os << path_of(e) << ".cbrMax = " << cbr << " does not rise above the row before ("
               << rows[i - 1].cbrMaxPermille / 1000.0 << ")";
            return r.fail(config_setting_get_member(e, "cbrMax"), os.str());
        }
        const config_setting_t* gp = config_setting_get_member(e, "gapMs");
        if (gp == nullptr) {
            return r.fail(e, "missing setting " + path_of(e) + ".gapMs");
        }
        if ((config_setting_type(gp) != CONFIG_TYPE_ARRAY &&
             config_setting_type(gp) != CONFIG_TYPE_LIST) ||
            config_setting_length(gp) != 8) {
            return r.fail(gp, path_of(gp) + " must be an array of 8 gaps in ms, one per priority "
                                            "0..7, like [ 0, 0, 0, 0, 0, 0, 0, 0 ]");
        }
        for (unsigned p = 0; p < 8; ++p) {
            const config_setting_t* g = config_setting_get_elem(gp, p);
            if (config_setting_type(g) != CONFIG_TYPE_INT || config_setting_get_int(g) < 0 ||
                config_setting_get_int(g) > kCcMaxGapMs) {
                return r.fail(g, path_of(gp) + ": a gap is 0 to " + std::to_string(kCcMaxGapMs) +
                                     " ms");
            }
            rows[i].gapMs[p] = static_cast<uint32_t>(config_setting_get_int(g));
        }
    }
    if (rows[n - 1].cbrMaxPermille != 1000) {
        const config_setting_t* last = config_setting_get_elem(tb, static_cast<unsigned>(n - 1));
        return r.fail(config_setting_get_member(last, "cbrMax"),
                      path_of(last) + ".cbrMax must be 1.0: the last row holds every CBR up to it");
    }
    memcpy(c.range, rows, sizeof(rows));
    c.rangeCnt = static_cast<uint32_t>(n);
    return true;
}

// congestion.adaptive: the steering's parameters, each optional.
bool load_cc_adaptive(Reporter& r, const config_setting_t* cg, tV2XCongestionCfg& c)
{
    const config_setting_t* ad = config_setting_get_member(cg, "adaptive");
    if (ad == nullptr) {
        return true;
    }
    if (!config_setting_is_group(ad)) {
        return r.fail(ad, "congestion.adaptive must be a group { alpha; beta; target; dutyMin; "
                          "dutyMax; periodMs; maxGapMs; }");
    }
    long period = c.periodMs, maxGap = c.maxGapMs;
    if (!only_known(r, ad, {"alpha", "beta", "target", "dutyMin", "dutyMax", "periodMs",
                            "maxGapMs"}) ||
        !member_share(r, ad, "alpha", false, c.alpha) ||
        !member_share(r, ad, "beta", false, c.beta) ||
        !member_share(r, ad, "target", false, c.target) ||
        !member_share(r, ad, "dutyMin", true, c.dutyMin) ||
        !member_share(r, ad, "dutyMax", true, c.dutyMax) ||
        !member_int(r, ad, "periodMs", 1, kCcMaxPeriodMs, period) ||
        !member_int(r, ad, "maxGapMs", 0, kCcMaxGapMs, maxGap)) {
        return false;
    }
    if (c.dutyMin > c.dutyMax) {
        std::ostringstream os;
        os << "congestion.adaptive.dutyMin = " << c.dutyMin << " is above dutyMax (" << c.dutyMax
           << ")";
        const config_setting_t* at = config_setting_get_member(ad, "dutyMin");
        return r.fail(at != nullptr ? at : config_setting_get_member(ad, "dutyMax"), os.str());
    }
    c.periodMs = static_cast<uint32_t>(period);
    c.maxGapMs = static_cast<uint32_t>(maxGap);
    return true;
}

// congestion: the gate in front of the transmit queues. Starts from the
// core's defaults; what the file gives replaces them.
bool load_congestion(Reporter& r, const config_setting_t* cg, Config& out)
{
    v2x_core_congestion_defaults(&out.congestion);
    out.hasCongestion = cg != nullptr;
    if (cg == nullptr) {
        return true;
    }
    if (!config_setting_is_group(cg)) {
        return r.fail(cg, "congestion must be a group { rule; ungated; staleMs; occupancyUs; "
                          "reactive; adaptive; }");
    }
    tV2XCongestionCfg& c = out.congestion;
    std::string rule = "off";
    long stale = c.staleMs, occupancy = c.occupancyUs;
    if (!only_known(r, cg, {"rule", "ungated", "staleMs", "occupancyUs", "reactive", "adaptive"}) ||
        !member_string(r, cg, "rule", 16, rule)) {
        return false;
    }
    if (!parse_cc_rule(rule, c.rule)) {
        return r.fail(config_setting_get_member(cg, "rule"),
                      "congestion.rule = \"" + rule +
                          "\" must be \"off\", \"reactive\" or \"adaptive\"");
    }
    if (!member_int(r, cg, "staleMs", 1, kCcMaxPeriodMs, stale) ||
        !member_int(r, cg, "occupancyUs", 1, kCcMaxOccupancyUs, occupancy) ||
        !load_cc_ungated(r, cg, c) || !load_cc_reactive(r, cg, c) || !load_cc_adaptive(r, cg, c)) {
        return false;
    }
    c.staleMs = static_cast<uint32_t>(stale);
    c.occupancyUs = static_cast<uint32_t>(occupancy);
    return true;
}

// station.logLevel: a number 0 to 6, or its name.
bool load_log_level(Reporter& r, const config_setting_t* st, Config& out)
{
    const config_setting_t* lv = config_setting_get_member(st, "logLevel");
    if (lv != nullptr) {
        const bool ok =
            (config_setting_type(lv) == CONFIG_TYPE_INT &&
             config_setting_get_int(lv) >= 0 && config_setting_get_int(lv) <= LOG_LEV_LOUD &&
             (out.logLevel = config_setting_get_int(lv), true)) ||
            (config_setting_type(lv) == CONFIG_TYPE_STRING &&
             parse_log_level(config_setting_get_string(lv), out.logLevel));
        if (!ok) {
            return r.fail(lv, "station.logLevel must be 0 to 6 or off, error, run, warn, "
                              "trace, info, loud");
        }
    }
    return true;
}

// Who may use the socket: its mode (octal text) and a group served.
bool load_access(Reporter& r, const config_setting_t* st, Config& out)
{
    std::string modeText, group;
    if (!member_string(r, st, "sockMode", 4, modeText) ||
        !member_string(r, st, "sockGroup", 63, group)) {
        return false;
    }
    out.access.allowGid = -1;
    out.access.sockMode = V2X_SOCK_MODE_DEF;
    if (!modeText.empty()) {
        char* end = nullptr;
        const unsigned long m = strtoul(modeText.c_str(), &end, 8);
        if (*end != '\0' || m > 0777 || (m & 0002) != 0) {
            return r.fail(config_setting_get_member(st, "sockMode"),
                          "station.sockMode must be octal up to 0775, not writable by others");
        }
        out.access.sockMode = static_cast<uint32_t>(m);
    }
    if (!group.empty()) {
        const struct group* g = getgrnam(group.c_str());
        if (g == nullptr) {
            return r.fail(config_setting_get_member(st, "sockGroup"),
                          "station.sockGroup: no group named " + group);
        }
        out.access.allowGid = static_cast<int32_t>(g->gr_gid);
    }
    return true;
}

// The application socket, the radio module's addresses and the MAC.
bool load_radio(Reporter& r, const config_setting_t* st, Config& out)
{
    std::string sock;
    if (!member_string(r, st, "dmnNme", 255, sock, true)) {
        return false;
    }
    if (sock.empty() || sock.size() > kMaxSocketPath) {
        return r.fail(config_setting_get_member(st, "dmnNme"),
                      "station.dmnNme must have 1 to " + std::to_string(kMaxSocketPath) +
                          " characters (a Unix socket path)");
    }
    memcpy(out.sdk.dmnNme, sock.data(), sock.size());
    long port = 0;
    if (!ipv4_text(r, st, "sendIp", out.sdk.sendIp) ||
        !member_int(r, st, "sendPort", 1, 65535, port, true)) {
        return false;
    }
    out.sdk.sendPort = static_cast<uint16_t>(port);
    if (!ipv4_text(r, st, "rcvIp", out.sdk.rcvIp) ||
        !member_int(r, st, "rcvPort", 1, 65535, port, true)) {
        return false;
    }
    out.sdk.rcvPort = static_cast<uint16_t>(port);
    std::string mac;
    if (!member_string(r, st, "macAddr", 17, mac, true)) {
        return false;
    }
    if (!parse_mac(mac, out.sdk.macAddr)) {
        return r.fail(config_setting_get_member(st, "macAddr"),
                      "station.macAddr = \"" + mac + "\" is not a MAC address (02:00:00:00:00:01)");
    }
    return true;
}

// station.receive: the AIDs to register.
bool load_receive(Reporter& r, const config_setting_t* st, Config& out)
{
    if (const config_setting_t* rx = config_setting_get_member(st, "receive")) {
        if (config_setting_type(rx) != CONFIG_TYPE_ARRAY && config_setting_type(rx) != CONFIG_TYPE_LIST) {
            return r.fail(rx, "station.receive must be an array of AIDs, like [ 26, 27 ]");
        }
        const int n = config_setting_length(rx);
        if (n > 32) {
            return r.fail(rx, "station.receive holds more than 32 AIDs");
        }
        for (int i = 0; i < n; ++i) {
            const config_setting_t* e = config_setting_get_elem(rx, static_cast<unsigned>(i));
            if (config_setting_type(e) != CONFIG_TYPE_INT ||
                config_setting_get_int(e) < 0 || config_setting_get_int(e) > static_cast<int>(kMaxAid)) {
                return r.fail(e, "station.receive: an AID is 0 to " + std::to_string(kMaxAid));
            }
            out.receive.push_back(static_cast<uint32_t>(config_setting_get_int(e)));
        }
    }
    return true;
}

// station.send: the message streams.
bool load_sends(Reporter& r, const config_setting_t* st, Config& out)
{
    if (const config_setting_t* tx = config_setting_get_member(st, "send")) {
        if (config_setting_type(tx) != CONFIG_TYPE_LIST) {
            return r.fail(tx, "station.send must be a list of groups, like ( { aid = 26; rate = 5; size = 40; } )");
        }
        for (int i = 0; i < config_setting_length(tx); ++i) {
            const config_setting_t* e = config_setting_get_elem(tx, static_cast<unsigned>(i));
            if (!config_setting_is_group(e)) {
                return r.fail(e, "station.send: each entry is a group { aid; rate; size; }");
            }
            SendSpec s;
            long aid = 0, size = 0;
            if (!only_known(r, e, {"aid", "rate", "size"}) ||
                !member_int(r, e, "aid", 0, kMaxAid, aid, true) ||
                !member_number(r, e, "rate", 0.01, 100, s.rate, true) ||
                !member_int(r, e, "size", 0, kMaxData, size, true)) {
                return false;
            }
            if (size > v2x_dsm_data_max(static_cast<uint32_t>(aid), 0)) {
                return r.fail(e, "station.send: size " + std::to_string(size) +
                                       " is more than a message for AID " + std::to_string(aid) +
                                       " carries (" +
                                       std::to_string(v2x_dsm_data_max(static_cast<uint32_t>(aid), 0)) +
                                       " bytes)");
            }
            s.aid = static_cast<uint32_t>(aid);
            s.size = static_cast<unsigned>(size);
            out.sends.push_back(s);
        }
    }
    return true;
}

// station.providers: the provider services to run.
bool load_providers(Reporter& r, const config_setting_t* st, Config& out)
{
    if (const config_setting_t* pv = config_setting_get_member(st, "providers")) {
        if (config_setting_type(pv) != CONFIG_TYPE_LIST) {
            return r.fail(pv, "station.providers must be a list of groups");
        }
        std::set<uint16_t> seen;
        for (int i = 0; i < config_setting_length(pv); ++i) {
            const config_setting_t* e = config_setting_get_elem(pv, static_cast<unsigned>(i));
            if (!config_setting_is_group(e)) {
                return r.fail(e, "station.providers: each entry is a group { lclAppId; aid; rptRte; }");
            }
            ProviderSpec p;
            long lcl = 0, aid = 0, rte = 0;
            if (!only_known(r, e, {"lclAppId", "aid", "rptRte", "dsaHdrExt", "otherInfo"}) ||
                !member_int(r, e, "lclAppId", 0, kMaxLclAppId, lcl, true) ||
                !member_int(r, e, "aid", 0, kMaxAid, aid, true) ||
                !member_int(r, e, "rptRte", 1, 255, rte, true) ||
                !member_string(r, e, "dsaHdrExt", 255, p.dsaHdrExt) ||
                !member_string(r, e, "otherInfo", 255, p.otherInfo)) {
                return false;
            }
            if (!seen.insert(static_cast<uint16_t>(lcl)).second) {
                return r.fail(e, "station.providers: lclAppId " + std::to_string(lcl) +
                                     " is used twice");
            }
            p.lclAppId = static_cast<uint16_t>(lcl);
            p.aid = static_cast<uint32_t>(aid);
            p.rptRte = static_cast<uint8_t>(rte);
            out.providers.push_back(p);
        }
    }
    return true;
}

bool load_station(Reporter& r, const config_setting_t* st, Config& out)
{
    if (!only_known(r, st,
                    {"name", "logLevel", "duration", "dmnNme", "sendIp", "sendPort", "rcvIp",
                     "rcvPort", "macAddr", "receive", "send", "providers", "maxClients",
                     "sockMode", "sockGroup", "txDefaults"})) {
        return false;
    }
    long maxClients = out.maxClients;
    if (!member_string(r, st, "name", 31, out.name) || !load_log_level(r, st, out) ||
        !member_number(r, st, "duration", 0, 86400.0 * 365, out.duration) ||
        !member_int(r, st, "maxClients", 1, 4096, maxClients)) {
        return false;
    }
    out.maxClients = static_cast<int>(maxClients);
    return load_access(r, st, out) && load_radio(r, st, out) && load_receive(r, st, out) &&
           load_sends(r, st, out) && load_providers(r, st, out) && load_tx_defaults(r, st, out);
}

} // namespace

tV2XSecCfg security_cfg(const Config& cfg)
{
    tV2XSecCfg c;
    memset(&c, 0, sizeof(c));
    c.trustDir = cfg.secTrustDir.empty() ? nullptr : cfg.secTrustDir.c_str();
    c.certPath = cfg.secCert.empty() ? nullptr : cfg.secCert.c_str();
    c.keyPath = cfg.secKey.empty() ? nullptr : cfg.secKey.c_str();
    c.profiles = cfg.secProfiles.empty() ? nullptr : cfg.secProfiles.data();
    c.profileCnt = static_cast<int>(cfg.secProfiles.size());
    c.workers = cfg.secWorkers;
    c.queueLen = cfg.secQueue;
    c.windowBackMs = cfg.secWindowBackMs;
    c.windowAheadMs = cfg.secWindowAheadMs;
    return c;
}

bool parse_log_level(const std::string& text, int& out)
{
    static constexpr const char* kNames[] = {"off", "error", "run", "warn", "trace", "info", "loud"};
    for (int i = 0; i <= LOG_LEV_LOUD; ++i) {
        if (text == kNames[i] || text == std::to_string(i)) {
            out = i;
            return true;
        }
    }
    return false;
}

bool parse_cc_rule(const std::string& text, uint32_t& out)
{
    for (uint32_t i = V2X_CC_RULE_OFF; i <= V2X_CC_RULE_ADAPTIVE; ++i) {
        if (text == cc_rule_name(i)) {
            out = i;
            return true;
        }
    }
    return false;
}

const char* cc_rule_name(uint32_t rule)
{
    static constexpr const char* kNames[] = {"off", "reactive", "adaptive"};
    return rule <= V2X_CC_RULE_ADAPTIVE ? kNames[rule] : "?";
}

const char* log_level_name(int level)
{
    static constexpr const char* kNames[] = {"off", "error", "run", "warn", "trace", "info", "loud"};
    return level >= 0 && level <= LOG_LEV_LOUD ? kNames[level] : "?";
}

bool parse_mac(const std::string& text, uint8_t out[6])
{
    std::string hex;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ':' || c == '-') {
            // separators only between byte pairs
            if (hex.size() % 2 != 0 || hex.empty() || i + 1 == text.size()) {
                return false;
            }
            continue;
        }
        if (!isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        hex += c;
    }
    if (hex.size() != 12) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        out[i] = static_cast<uint8_t>(std::stoul(hex.substr(static_cast<size_t>(i) * 2, 2), nullptr, 16));
    }
    return true;
}

bool load_config(const std::string& path, Config& out, std::string& err)
{
    CfgFile f;
    Reporter r{path, err};
    out.file = path;
    if (!f.read(path, path + ": cannot read the file", err)) {
        return false;
    }
    const config_setting_t* root = config_root_setting(&f.c);
    if (!only_known(r, root, {"log", "watchdog", "station", "security", "congestion"})) {
        return false;
    }
    if (!load_security(r, config_lookup(&f.c, "security"), out) ||
        !load_congestion(r, config_lookup(&f.c, "congestion"), out)) {
        return false;
    }
    const config_setting_t* st = config_lookup(&f.c, "station");
    if (st == nullptr || !config_setting_is_group(st)) {
        return r.fail(st, "missing group station = { ... }");
    }
    if (!load_station(r, st, out)) {
        return false;
    }

    // The libraries read their own groups; absent keys keep these values.
    out.log.logRunMd = LOG_RUN_MAIN_PROGRESS;
    out.log.fileMod = LOG_FILE_TWO;
    out.log.stdoutLogSwt = LOG_SWITCH_ON;
    out.log.fileLogSwt = LOG_SWITCH_OFF;
    out.hasLog = config_lookup(&f.c, "log") != nullptr;
    if (out.hasLog && !only_known(r, config_lookup(&f.c, "log"),
                                  {"logRunMd", "fileMod", "logSaveMaxCnt", "stdoutLogSwt",
                                   "fileLogSwt", "saveLogPath", "target"})) {
        return false;
    }
    if (out.hasLog && load_log_cfg(&out.log, "log", &f.c) != 0) {
        return r.fail(config_lookup(&f.c, "log"), "the log group cannot be read");
    }
    if (const config_setting_t* tg = config_lookup(&f.c, "log.target")) {
        const char* t = config_setting_get_string(tg);
        if (t == nullptr || !parse_log_target(t, out.logTarget)) {
            return r.fail(tg, "log.target must be \"stdout\", \"syslog\" or \"journal\"");
        }
    }
    const config_setting_t* dog = config_lookup(&f.c, "watchdog");
    out.hasWatchdog = dog != nullptr;
    if (out.hasWatchdog) {
        out.watchdog.feddogSec = 1;
        const int rc = load_feeddog_cfg(&out.watchdog, "watchdog", &f.c);
        if (rc == -ERR_LIBCFG_SETTING_LOOKUP_DOG) {
            return r.fail(dog, "watchdog: feddogSec and feddogUSec must not be negative");
        }
        // The feeder's own minimum: the library refuses a shorter period.
        const uint64_t periodUs =
            static_cast<uint64_t>(out.watchdog.feddogSec) * 1000000u + out.watchdog.feddogUSec;
        if (rc == -ERR_PARAM_CONTENT_DOG || out.watchdog.feddogUSec >= 1000000u ||
            periodUs < FEDDOG_MIN_PERIOD_US) {
            return r.fail(dog, "watchdog: the period feddogSec + feddogUSec must be at least " +
                                   std::to_string(FEDDOG_MIN_PERIOD_US) +
                                   " us with feddogUSec below 1000000");
        }
        if (rc != 0) {
            return r.fail(dog, "the watchdog group cannot be read");
        }
        const size_t pathLen = strnlen(out.watchdog.txFeddogHtDmNme, sizeof(out.watchdog.txFeddogHtDmNme));
        if (pathLen == 0 || pathLen > kMaxSocketPath) {
            return r.fail(dog, "watchdog.txFeddogHtDmNme must have 1 to " +
                                   std::to_string(kMaxSocketPath) + " characters");
        }
    }
    return true;
}

std::string radio_sim_spec(const Config& cfg)
{
    std::ostringstream os;
    os << cfg.name << "," << cfg.sdk.sendIp << ":" << cfg.sdk.sendPort << "," << cfg.sdk.rcvIp
       << ":" << cfg.sdk.rcvPort;
    return os.str();
}

std::string describe(const Config& cfg)
{
    std::ostringstream os;
    char mac[18];
    snprintf(mac, sizeof(mac), "%02x:%02x:%02x:%02x:%02x:%02x", cfg.sdk.macAddr[0],
             cfg.sdk.macAddr[1], cfg.sdk.macAddr[2], cfg.sdk.macAddr[3], cfg.sdk.macAddr[4],
             cfg.sdk.macAddr[5]);
    os << "name = " << cfg.name << "\n"
       << "logLevel = " << cfg.logLevel << " (" << log_level_name(cfg.logLevel) << ")\n"
       << "duration = " << cfg.duration << "\n"
       << "maxClients = " << cfg.maxClients << "\n"
       << "sockMode = 0" << std::oct << cfg.access.sockMode << std::dec
       << " sockGid = " << cfg.access.allowGid << "\n"
       << "dmnNme = " << cfg.sdk.dmnNme << "\n"
       << "send = " << cfg.sdk.sendIp << ":" << cfg.sdk.sendPort << "\n"
       << "rcv = " << cfg.sdk.rcvIp << ":" << cfg.sdk.rcvPort << "\n"
       << "macAddr = " << mac << "\n"
       << "receive =";
    for (uint32_t a : cfg.receive) {
        os << " " << a;
    }
    os << "\n";
    for (const SendSpec& s : cfg.sends) {
        os << "send aid=" << s.aid << " rate=" << s.rate << " size=" << s.size << "\n";
    }
    for (const ProviderSpec& p : cfg.providers) {
        os << "provider lclAppId=" << p.lclAppId << " aid=" << p.aid
           << " rptRte=" << static_cast<int>(p.rptRte) << " dsaHdrExt=" << p.dsaHdrExt << "\n";
    }
    for (const tV2XTxDefault& d : cfg.txDefaults) {
        os << "txDefault aid=" << d.aid << " priority=" << static_cast<int>(d.priority)
           << " lifetimeMs=" << d.lifetimeMs << " supersede=" << static_cast<int>(d.supersede)
           << "\n";
    }
    for (const tV2XSecProfile& p : cfg.secProfiles) {
        os << "security aid=" << p.aid << " sign=" << static_cast<int>(p.sign)
           << " verify=" << static_cast<int>(p.verify)
           << " signer=" << (p.signer == V2X_SEC_SIGNER_DIGEST ? "digest" : "certificate")
           << " drop=" << (p.passFailed != 0 ? 0 : 1) << "\n";
    }
    if (cfg.hasSecurity) {
        os << "security trustDir=" << cfg.secTrustDir << " cert=" << cfg.secCert
           << " key=" << cfg.secKey << "\n";
    }
    const tV2XCongestionCfg& cc = cfg.congestion;
    os << "congestion rule=" << cc_rule_name(cc.rule) << " ungated=";
    const char* sep = "";
    for (unsigned p = 0; p < 8; ++p) {
        if ((cc.ungatedMask & (1u << p)) != 0) {
            os << sep << p;
            sep = ",";
        }
    }
    os << (*sep == '\0' ? "none" : "") << " staleMs=" << cc.staleMs
       << " occupancyUs=" << cc.occupancyUs << "\n";
    for (uint32_t i = 0; i < cc.rangeCnt && i < V2X_CC_RANGES_MAX; ++i) {
        os << "congestion reactive cbrMax=" << cc.range[i].cbrMaxPermille / 1000.0 << " gapMs=";
        for (unsigned p = 0; p < 8; ++p) {
            os << (p == 0 ? "" : ",") << cc.range[i].gapMs[p];
        }
        os << "\n";
    }
    os << "congestion adaptive alpha=" << cc.alpha << " beta=" << cc.beta
       << " target=" << cc.target << " dutyMin=" << cc.dutyMin << " dutyMax=" << cc.dutyMax
       << " periodMs=" << cc.periodMs << " maxGapMs=" << cc.maxGapMs << "\n";
    os << "log = " << (cfg.hasLog ? "file" : "defaults") << " stdout=" << cfg.log.stdoutLogSwt
       << " file=" << cfg.log.fileLogSwt << " thread=" << cfg.log.logRunMd
       << " target=" << log_target_name(cfg.logTarget) << "\n";
    if (cfg.hasWatchdog) {
        os << "watchdog = " << cfg.watchdog.feddogNme << " every " << cfg.watchdog.feddogSec << "s+"
           << cfg.watchdog.feddogUSec << "us to " << cfg.watchdog.txFeddogHtDmNme << "\n";
    } else {
        os << "watchdog = off\n";
    }
    return os.str();
}

} // namespace station
