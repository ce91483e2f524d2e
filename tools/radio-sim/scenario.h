// SPDX-License-Identifier: Apache-2.0
// radio-sim's scenario file (libconfig): the stations with their addresses
// and a position or a SUMO vehicle, the channel model's parameters, the seed
// and the SUMO run. docs/simulation.md gives the format.
#ifndef RADIO_SIM_SCENARIO_H
#define RADIO_SIM_SCENARIO_H

#include <string>

#include "channel.h"

namespace radiosim {

struct Options;

// Adds the scenario's stations to `opt` and sets the model, seed and SUMO
// settings the file gives. False with "FILE:LINE: reason" in `err`.
bool load_scenario(const std::string& path, Options& opt, std::string& err);

// Sets one model parameter by its scenario name ("range_m", ...); false when
// the name is unknown.
bool set_model_param(ModelParams& m, const std::string& name, double value);

// The scenario names of the model's parameters, for messages.
const char* model_param_names();

}  // namespace radiosim

#endif
