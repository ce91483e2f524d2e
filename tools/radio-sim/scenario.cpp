// SPDX-License-Identifier: Apache-2.0
#include "scenario.h"

#include <cmath>
#include <cstring>

#include "cfg_file.hpp"
#include "options.h"
#include "rx_record.h"
#include "sidelink_params.h"

namespace radiosim {

bool parse_station_fields(const std::vector<std::string>& fields, StationCfg& st,
                          std::string& err);  // options.cpp

namespace {

using v2xcfg::CfgFile;
using v2xcfg::Reporter;
using v2xcfg::beside;
using v2xcfg::only_known;

struct Param {
    const char* name;
    double ModelParams::*field;
};

const Param kParams[] = {
    {"tx_power_dbm", &ModelParams::txPowerDbm},
    {"ref_loss_db", &ModelParams::refLossDb},
    {"ref_distance_m", &ModelParams::refDistanceM},
    {"exponent", &ModelParams::exponent},
    {"sensitivity_dbm", &ModelParams::sensitivityDbm},
    {"width_db", &ModelParams::widthDb},
    {"range_m", &ModelParams::rangeM},
    {"latency_ms", &ModelParams::latencyMs},
    {"jitter_ms", &ModelParams::jitterMs},
};

// A finite number: a float setting may hold an infinity.
bool number_of(const config_setting_t* s, double& out)
{
    return v2xcfg::number_of(s, out) && std::isfinite(out);
}

// "127.0.0.1:47300", or a port number alone for 127.0.0.1.
bool endpoint_of(Reporter& r, const config_setting_t* s, std::string& out)
{
    if (config_setting_type(s) == CONFIG_TYPE_STRING) {
        out = config_setting_get_string(s);
        return true;
    }
    if (config_setting_type(s) == CONFIG_TYPE_INT) {
        out = "127.0.0.1:" + std::to_string(config_setting_get_int(s));
        return true;
    }
    return r.fail(s, std::string(config_setting_name(s)) +
                         " must be \"IP:PORT\" or a port number (of 127.0.0.1)");
}

bool load_station(Reporter& r, const config_setting_t* s, StationCfg& st)
{
    if (config_setting_type(s) != CONFIG_TYPE_GROUP) {
        return r.fail(s, "each entry of stations is a group { name = ...; send = ...; ... }");
    }
    if (!only_known(r, s, {"name", "send", "receive", "position", "vehicle", "l2_id"},
                    "stations[].")) {
        return false;
    }
    const config_setting_t* name = config_setting_get_member(s, "name");
    const config_setting_t* send = config_setting_get_member(s, "send");
    const config_setting_t* rcv = config_setting_get_member(s, "receive");
    if (name == nullptr || send == nullptr || rcv == nullptr) {
        return r.fail(s, "a station needs name, send and receive");
    }
    if (config_setting_type(name) != CONFIG_TYPE_STRING) {
        return r.fail(name, "name must be a string");
    }
    std::string sendText;
    std::string rcvText;
    if (!endpoint_of(r, send, sendText) || !endpoint_of(r, rcv, rcvText)) {
        return false;
    }
    std::string err;
    if (!parse_station_fields({config_setting_get_string(name), sendText, rcvText}, st, err)) {
        return r.fail(s, err);
    }
    const config_setting_t* pos = config_setting_get_member(s, "position");
    if (pos != nullptr) {
        double xy[2] = {0.0, 0.0};
        const int type = config_setting_type(pos);
        if ((type != CONFIG_TYPE_ARRAY && type != CONFIG_TYPE_LIST) ||
            config_setting_length(pos) != 2 ||
            !number_of(config_setting_get_elem(pos, 0), xy[0]) ||
            !number_of(config_setting_get_elem(pos, 1), xy[1])) {
            return r.fail(pos, "position must be [x, y] in metres");
        }
        st.hasPosition = true;
        st.x = xy[0];
        st.y = xy[1];
    }
    const config_setting_t* veh = config_setting_get_member(s, "vehicle");
    if (veh != nullptr) {
        if (config_setting_type(veh) != CONFIG_TYPE_STRING ||
            config_setting_get_string(veh)[0] == '\0') {
            return r.fail(veh, "vehicle must be a SUMO vehicle id (a string)");
        }
        if (pos != nullptr) {
            return r.fail(veh, "a station has a position or a vehicle, not both");
        }
        st.vehicle = config_setting_get_string(veh);
    }
    const config_setting_t* l2 = config_setting_get_member(s, "l2_id");
    if (l2 != nullptr) {
        const int type = config_setting_type(l2);
        const long long v = type == CONFIG_TYPE_INT64 ? config_setting_get_int64(l2)
                            : type == CONFIG_TYPE_INT ? config_setting_get_int(l2)
                                                      : -1;
        if ((type != CONFIG_TYPE_INT && type != CONFIG_TYPE_INT64) || v < 0 ||
            v > static_cast<long long>(kL2IdMax)) {
            return r.fail(l2, "l2_id must be a whole number from 0 to 0xFFFFFF (16777215)");
        }
        st.l2Id = static_cast<uint32_t>(v);
        st.l2IdSet = true;
    }
    return true;
}

// rx_record = true: deliver receive-record datagrams (--rx-record).
bool load_rx_record(Reporter& r, const config_setting_t* root, Options& opt)
{
    const config_setting_t* s = config_setting_get_member(root, "rx_record");
    if (s == nullptr) {
        return true;
    }
    if (config_setting_type(s) != CONFIG_TYPE_BOOL) {
        return r.fail(s, "rx_record must be true or false");
    }
    opt.rxRecord = opt.rxRecord || config_setting_get_bool(s) != 0;
    return true;
}

// cbr_report = true: send each station CBR reports (--cbr-report).
bool load_cbr_report(Reporter& r, const config_setting_t* root, Options& opt)
{
    const config_setting_t* s = config_setting_get_member(root, "cbr_report");
    if (s == nullptr) {
        return true;
    }
    if (config_setting_type(s) != CONFIG_TYPE_BOOL) {
        return r.fail(s, "cbr_report must be true or false");
    }
    opt.cbrReport = opt.cbrReport || config_setting_get_bool(s) != 0;
    return true;
}

// seed: the model's random streams.
bool load_seed(Reporter& r, const config_setting_t* root, Options& opt)
{
    return load_seed_setting(r, root, opt.seed);
}

// model: "simple" or "sidelink", or a group of the simple model's
// parameters; sidelink: a group of the sidelink model's.
bool load_model(Reporter& r, const config_setting_t* root, Options& opt)
{
    if (!load_sidelink_group(r, config_setting_get_member(root, "sidelink"), opt.sidelink)) {
        return false;
    }
    const config_setting_t* model = config_setting_get_member(root, "model");
    if (model != nullptr && config_setting_type(model) == CONFIG_TYPE_STRING) {
        const std::string kind = config_setting_get_string(model);
        if (kind != "simple" && kind != "sidelink") {
            return r.fail(model, "model = \"" + kind +
                                     "\": give \"simple\", \"sidelink\" or a group of the simple "
                                     "model's parameters { range_m = ...; ... }");
        }
        opt.modelKind = kind == "simple" ? ModelKind::kSimple : ModelKind::kSidelink;
        return true;
    }
    if (model != nullptr) {
        if (config_setting_type(model) != CONFIG_TYPE_GROUP) {
            return r.fail(model, "model must be \"simple\", \"sidelink\" or a group "
                                 "{ range_m = ...; ... }");
        }
        const int n = config_setting_length(model);
        for (int i = 0; i < n; ++i) {
            const config_setting_t* s = config_setting_get_elem(model, static_cast<unsigned>(i));
            double v = 0.0;
            if (!number_of(s, v)) {
                return r.fail(s, std::string("model.") + config_setting_name(s) +
                                     " must be a number");
            }
            if (!set_model_param(opt.model, config_setting_name(s), v)) {
                return r.fail(s, std::string("unknown model parameter ") +
                                     config_setting_name(s) + " (known: " + model_param_names() +
                                     ")");
            }
        }
        std::string why;
        if (!check_model(opt.model, why)) {
            return r.fail(model, why);
        }
    }
    return true;
}

// sumo: the SUMO run; a path in it is relative to the scenario's folder.
bool load_sumo(Reporter& r, const config_setting_t* root, Options& opt, const std::string& path)
{
    const config_setting_t* sumo = config_setting_get_member(root, "sumo");
    if (sumo != nullptr) {
        if (config_setting_type(sumo) != CONFIG_TYPE_GROUP ||
            !only_known(r, sumo, {"config", "port", "speed", "binary"}, "sumo.")) {
            return r.err.empty() ? r.fail(sumo, "sumo must be a group") : false;
        }
        const char* text = nullptr;
        if (config_setting_lookup_string(sumo, "config", &text) == CONFIG_TRUE) {
            opt.sumoConfig = beside(path, text);
        }
        if (config_setting_lookup_string(sumo, "binary", &text) == CONFIG_TRUE) {
            opt.sumoBinary = text;
        }
        int port = 0;
        if (config_setting_lookup_int(sumo, "port", &port) == CONFIG_TRUE) {
            if (port < 1 || port > 65535) {
                return r.fail(config_setting_get_member(sumo, "port"), "sumo.port: 1 to 65535");
            }
            opt.sumoPort = static_cast<uint16_t>(port);
        }
        const config_setting_t* speed = config_setting_get_member(sumo, "speed");
        if (speed != nullptr) {
            double v = 0.0;
            if (!number_of(speed, v) || v < 0.01 || v > 1000.0) {
                return r.fail(speed, "sumo.speed must be a number from 0.01 to 1000");
            }
            opt.sumoSpeed = v;
        }
    }
    return true;
}

// tamper: "AID[:N]" or an AID, or a list of them (see --tamper).
bool load_tamper(Reporter& r, const config_setting_t* root, Options& opt)
{
    const config_setting_t* t = config_setting_get_member(root, "tamper");
    if (t == nullptr) {
        return true;
    }
    const bool many = config_setting_type(t) == CONFIG_TYPE_LIST ||
                      config_setting_type(t) == CONFIG_TYPE_ARRAY;
    const int n = many ? config_setting_length(t) : 1;
    for (int i = 0; i < n; ++i) {
        const config_setting_t* e = many ? config_setting_get_elem(t, static_cast<unsigned>(i)) : t;
        std::string text;
        if (config_setting_type(e) == CONFIG_TYPE_STRING) {
            text = config_setting_get_string(e);
        } else if (config_setting_type(e) == CONFIG_TYPE_INT) {
            text = std::to_string(config_setting_get_int(e));
        } else {
            return r.fail(e, "tamper must be \"AID[:N]\", an AID, or a list of them");
        }
        Tamper tm;
        std::string err;
        if (!parse_tamper(text, tm, err)) {
            return r.fail(e, "tamper " + text + ": " + err);
        }
        opt.tampers.push_back(tm);
    }
    return true;
}

// stations: each with its addresses and a position or a vehicle.
bool load_stations(Reporter& r, const config_setting_t* root, Options& opt)
{
    const config_setting_t* list = config_setting_get_member(root, "stations");
    if (list == nullptr) {
        return r.fail(nullptr, "no stations: a scenario needs stations = ( { ... }, ... )");
    }
    if (config_setting_type(list) != CONFIG_TYPE_LIST) {
        return r.fail(list, "stations must be a list ( { ... }, ... )");
    }
    const int n = config_setting_length(list);
    for (int i = 0; i < n; ++i) {
        StationCfg st;
        if (!load_station(r, config_setting_get_elem(list, static_cast<unsigned>(i)), st)) {
            return false;
        }
        opt.stations.push_back(st);
    }
    return true;
}

}  // namespace

bool set_model_param(ModelParams& m, const std::string& name, double value)
{
    for (const Param& p : kParams) {
        if (name == p.name) {
            m.*(p.field) = value;
            return true;
        }
    }
    return false;
}

const char* model_param_names()
{
    return "tx_power_dbm, ref_loss_db, ref_distance_m, exponent, sensitivity_dbm, width_db, "
           "range_m, latency_ms, jitter_ms";
}

bool load_scenario(const std::string& path, Options& opt, std::string& err)
{
    CfgFile f;
    if (!f.read(path, "cannot read scenario file " + path, err)) {
        return false;
    }
    Reporter r{path, err};
    const config_setting_t* root = config_root_setting(&f.c);
    return only_known(r, root,
                      {"seed", "model", "sidelink", "stations", "sumo", "tamper", "rx_record",
                       "cbr_report"},
                      "") &&
           load_seed(r, root, opt) && load_model(r, root, opt) &&
           load_sumo(r, root, opt, path) && load_tamper(r, root, opt) &&
           load_rx_record(r, root, opt) && load_cbr_report(r, root, opt) &&
           load_stations(r, root, opt);
}

}  // namespace radiosim
