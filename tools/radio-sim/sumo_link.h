// SPDX-License-Identifier: Apache-2.0
// radio-sim's link to SUMO over TraCI (libtracicpp), built only when the
// library was found at configure time (RADIO_SIM_SUMO). SUMO runs as a
// child process talking TraCI on a loopback port, or is one already
// listening on 127.0.0.1; every step moves the stations that follow a
// vehicle to the vehicle's position, and marks absent those whose vehicle
// is not in the network.
#ifndef RADIO_SIM_SUMO_LINK_H
#define RADIO_SIM_SUMO_LINK_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "channel.h"
#include "options.h"

namespace radiosim {

class SumoLink {
public:
    SumoLink() = default;
    ~SumoLink();
    SumoLink(const SumoLink&) = delete;
    SumoLink& operator=(const SumoLink&) = delete;

    // Starts SUMO with opt.sumoConfig (or connects to opt.sumoPort).
    bool start(const Options& opt, std::string& err);
    // One simulation step; false with the reason on a TraCI error.
    bool step(std::string& err);
    // Moves the vehicles' stations (stations without a vehicle stay).
    void update(Channel& ch, const Options& opt);
    bool ended() const { return ended_; }
    double time() const { return time_; }
    double delta_t() const { return deltaT_; }
    void close();

private:
    // Starts SUMO on a free port (set in `port`), or says why not.
    bool launch(const Options& opt, int& port, std::string& err);
    // Connects to SUMO on the port, waiting for a started one to listen.
    bool connect(const Options& opt, int port, std::string& err);

    bool connected_ = false;
    bool ended_ = false;
    double time_ = 0.0;
    double deltaT_ = 1.0;
    pid_t child_ = -1;
    bool subscribed_ = false;
    std::vector<bool> wasPresent_;
    std::map<std::string, size_t> byVehicle_;  // vehicle id -> station
};

}  // namespace radiosim

#endif
