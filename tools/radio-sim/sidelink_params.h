// SPDX-License-Identifier: Apache-2.0
// The sidelink model's parameters by their scenario names (snake_case, as in
// a scenario's `sidelink = { ... }` group and on the command line), and the
// reading of that group.
#ifndef RADIO_SIM_SIDELINK_PARAMS_H
#define RADIO_SIM_SIDELINK_PARAMS_H

#include <libconfig.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "cfg_file.hpp"
#include "sidelink.h"

namespace radiosim {

// Sets the parameter called `name` ("tx_power_dbm", "subchannels", ...).
// False when the name is unknown, or when the parameter is a whole number
// and `value` is not one (or does not fit an int). Ranges are left to
// check_sidelink().
bool set_sidelink_param(SidelinkParams& p, const std::string& name, double value);

// The scenario names of every parameter, comma-separated, for messages.
const char* sidelink_param_names();

// The k-th parameter in the table's order, its name and value, for writing
// them out; false past the last.
bool sidelink_param_at(const SidelinkParams& p, size_t k, const char*& name, double& value);

// Reads a scenario's `sidelink = { ... }` group into `p` (over what `p`
// holds), then checks the whole with check_sidelink(). Every refusal goes
// through `r` naming the file, the line of the offending setting and its
// key ("sidelink.subchannels = 5: ..."); a check that fails on a value the
// group does not set names the group's line.
bool load_sidelink_group(v2xcfg::Reporter& r, const config_setting_t* grp, SidelinkParams& p);

// A scenario's `seed` (the models' random streams): a whole number of 0 or
// more; `seed` is left as it is when the scenario has none.
bool load_seed_setting(v2xcfg::Reporter& r, const config_setting_t* root, uint64_t& seed);

}  // namespace radiosim

#endif
