// SPDX-License-Identifier: Apache-2.0
#include "sidelink_params.h"

#include <cmath>
#include <limits>

namespace radiosim {

namespace {

// One entry per field: a double or an int member, never both.
struct Param {
    const char* name;
    double SidelinkParams::*real;
    int SidelinkParams::*whole;
};

const Param kParams[] = {
    {"tx_power_dbm", &SidelinkParams::txPowerDbm, nullptr},
    {"carrier_ghz", &SidelinkParams::carrierGHz, nullptr},
    {"antenna_height_m", &SidelinkParams::antennaHeightM, nullptr},
    {"shadow_sigma_db", &SidelinkParams::shadowSigmaDb, nullptr},
    {"shadow_decorrelation_m", &SidelinkParams::shadowDecorrelationM, nullptr},
    {"noise_figure_db", &SidelinkParams::noiseFigureDb, nullptr},
    {"sensitivity_dbm", &SidelinkParams::sensitivityDbm, nullptr},
    {"cbr_threshold_dbm", &SidelinkParams::cbrThresholdDbm, nullptr},
    {"rsrp_threshold_dbm", &SidelinkParams::rsrpThresholdDbm, nullptr},
    {"subchannels", nullptr, &SidelinkParams::subchannels},
    {"subchannel_rbs", nullptr, &SidelinkParams::subchannelRbs},
    {"mcs", nullptr, &SidelinkParams::mcs},
    {"selection_window_ms", nullptr, &SidelinkParams::selectionWindowMs},
    {"reservation_ms", nullptr, &SidelinkParams::reservationMs},
    {"keep_probability", &SidelinkParams::keepProbability, nullptr},
    {"candidate_share", &SidelinkParams::candidateShare, nullptr},
    {"rssi_error_db", &SidelinkParams::rssiErrorDb, nullptr},
    {"in_band_emission_db", &SidelinkParams::inBandEmissionDb, nullptr},
    {"ring_m", &SidelinkParams::ringM, nullptr},
};

const Param* find_param(const std::string& name)
{
    for (const Param& p : kParams) {
        if (name == p.name) {
            return &p;
        }
    }
    return nullptr;
}

// check_sidelink() starts its message with "name = value": the name, or
// empty when it does not.
std::string named_key(const std::string& why)
{
    const size_t eq = why.find(" = ");
    if (eq == std::string::npos) {
        return "";
    }
    const std::string key = why.substr(0, eq);
    return find_param(key) != nullptr ? key : "";
}

}  // namespace

bool set_sidelink_param(SidelinkParams& p, const std::string& name, double value)
{
    const Param* f = find_param(name);
    if (f == nullptr) {
        return false;
    }
    if (f->real != nullptr) {
        p.*(f->real) = value;
        return true;
    }
    // A count or a number of milliseconds: 4.0 is 4, 4.5 is refused, and so
    // is anything an int cannot hold (the cast would be undefined).
    if (!std::isfinite(value) || value != std::floor(value) ||
        std::fabs(value) > static_cast<double>(std::numeric_limits<int>::max())) {
        return false;
    }
    p.*(f->whole) = static_cast<int>(value);
    return true;
}

const char* sidelink_param_names()
{
    return "tx_power_dbm, carrier_ghz, antenna_height_m, shadow_sigma_db, "
           "shadow_decorrelation_m, noise_figure_db, sensitivity_dbm, cbr_threshold_dbm, "
           "rsrp_threshold_dbm, subchannels, subchannel_rbs, mcs, selection_window_ms, "
           "reservation_ms, keep_probability, candidate_share, rssi_error_db, "
           "in_band_emission_db, ring_m";
}

bool sidelink_param_at(const SidelinkParams& p, size_t k, const char*& name, double& value)
{
    if (k >= sizeof(kParams) / sizeof(kParams[0])) {
        return false;
    }
    const Param& f = kParams[k];
    name = f.name;
    value = f.real != nullptr ? p.*(f.real) : static_cast<double>(p.*(f.whole));
    return true;
}

bool load_sidelink_group(v2xcfg::Reporter& r, const config_setting_t* grp, SidelinkParams& p)
{
    if (grp == nullptr) {
        return true;
    }
    if (config_setting_type(grp) != CONFIG_TYPE_GROUP) {
        return r.fail(grp, "sidelink must be a group { tx_power_dbm = ...; ... }");
    }
    const int n = config_setting_length(grp);
    for (int i = 0; i < n; ++i) {
        const config_setting_t* s = config_setting_get_elem(grp, static_cast<unsigned>(i));
        const std::string key = config_setting_name(s) != nullptr ? config_setting_name(s) : "?";
        const Param* f = find_param(key);
        if (f == nullptr) {
            return r.fail(
                s, "unknown setting sidelink." + key + " (known: " + sidelink_param_names() + ")");
        }
        double v = 0.0;
        if (!v2xcfg::number_of(s, v) || !std::isfinite(v)) {
            return r.fail(s, "sidelink." + key + " must be a number");
        }
        if (!set_sidelink_param(p, key, v)) {
            return r.fail(s, "sidelink." + key + " must be a whole number");
        }
    }
    std::string why;
    if (!check_sidelink(p, why)) {
        const std::string key = named_key(why);
        const config_setting_t* at =
            key.empty() ? nullptr : config_setting_get_member(grp, key.c_str());
        return r.fail(at != nullptr ? at : grp, (key.empty() ? "sidelink: " : "sidelink.") + why);
    }
    return true;
}

bool load_seed_setting(v2xcfg::Reporter& r, const config_setting_t* root, uint64_t& seed)
{
    const config_setting_t* s = config_setting_get_member(root, "seed");
    if (s == nullptr) {
        return true;
    }
    const int type = config_setting_type(s);
    if ((type != CONFIG_TYPE_INT && type != CONFIG_TYPE_INT64) || config_setting_get_int64(s) < 0) {
        return r.fail(s, "seed must be a whole number of 0 or more");
    }
    seed = static_cast<uint64_t>(config_setting_get_int64(s));
    return true;
}

}  // namespace radiosim
