// SPDX-License-Identifier: Apache-2.0
#include "sumo_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>

#include <libsumo/libtraci.h>

namespace radiosim {

namespace {

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_loopback_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    int port = -1;
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&sa), &len) == 0) {
        port = ntohs(sa.sin_port);
    }
    close(fd);
    return port;
}

// The child's side of the fork: SUMO with the configuration, serving TraCI
// on the port.
[[noreturn]] void exec_sumo(const Options& opt, const std::string& portText)
{
    // SUMO's own lines go to radio-sim's standard error, not among the
    // frame lines; it stops with radio-sim.
    dup2(2, 1);
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull >= 0) {
        dup2(devnull, 0);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Schemas from the installed tree, never from SUMO's web site.
    if (getenv("SUMO_HOME") == nullptr && access("/usr/share/sumo/data", R_OK) == 0) {
        setenv("SUMO_HOME", "/usr/share/sumo", 0);
    }
    execlp(opt.sumoBinary.c_str(), opt.sumoBinary.c_str(), "-c", opt.sumoConfig.c_str(),
           "--remote-port", portText.c_str(), "--xml-validation", "never",
           "--xml-validation.net", "never", "--xml-validation.routes", "never",
           "--no-step-log", "true", "--duration-log.disable", "true",
           static_cast<char*>(nullptr));
    fprintf(stderr, "radio-sim: cannot run %s: %s\n", opt.sumoBinary.c_str(), strerror(errno));
    _exit(127);
}

}  // namespace

SumoLink::~SumoLink()
{
    close();
}

bool SumoLink::launch(const Options& opt, int& port, std::string& err)
{
    if (access(opt.sumoConfig.c_str(), R_OK) != 0) {
        err = "cannot read the SUMO configuration " + opt.sumoConfig + ": " + strerror(errno);
        return false;
    }
    port = free_loopback_port();
    if (port < 0) {
        err = std::string("no free TCP port on 127.0.0.1 for TraCI: ") + strerror(errno);
        return false;
    }
    const std::string portText = std::to_string(port);
    fflush(stdout);
    fflush(stderr);
    child_ = fork();
    if (child_ < 0) {
        err = std::string("fork(): ") + strerror(errno);
        return false;
    }
    if (child_ == 0) {
        exec_sumo(opt, portText);
    }
    return true;
}

bool SumoLink::connect(const Options& opt, int port, std::string& err)
{
    // A started SUMO needs a moment to listen: try every 50 ms for up to
    // 30 s, and give up at once when it has exited.
    std::string why;
    for (int attempt = 0; attempt < 600 && !connected_; ++attempt) {
        try {
            libtraci::Simulation::init(port, 0, "127.0.0.1");
            connected_ = true;
        } catch (const std::exception& e) {
            why = e.what();
            int status = 0;
            if (child_ > 0 && waitpid(child_, &status, WNOHANG) == child_) {
                child_ = -1;
                err = opt.sumoBinary + " ended before it listened (see its lines above)";
                return false;
            }
            if (child_ <= 0 && attempt >= 20) {
                break;  // nobody started it here: one second is enough
            }
            struct timespec ts = {0, 50 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
    }
    if (!connected_) {
        err = "cannot talk TraCI with SUMO on 127.0.0.1:" + std::to_string(port) + ": " + why;
        close();
        return false;
    }
    return true;
}

bool SumoLink::start(const Options& opt, std::string& err)
{
    int port = opt.sumoPort;
    if (!opt.sumoConfig.empty() && !launch(opt, port, err)) {
        return false;
    }
    if (!connect(opt, port, err)) {
        return false;
    }
    try {
        deltaT_ = libtraci::Simulation::getDeltaT();
        time_ = libtraci::Simulation::getTime();
    } catch (const std::exception& e) {
        err = std::string("TraCI: ") + e.what();
        close();
        return false;
    }
    if (!(deltaT_ > 0.0)) {
        deltaT_ = 1.0;
    }
    fprintf(stderr, "radio-sim: SUMO on 127.0.0.1:%d, step %.3f s, %.2f simulated s per s\n",
            port, deltaT_, opt.sumoSpeed);
    return true;
}

bool SumoLink::step(std::string& err)
{
    if (!connected_) {
        err = "SUMO is not connected";
        return false;
    }
    try {
        libtraci::Simulation::step();
        time_ = libtraci::Simulation::getTime();
        if (libtraci::Simulation::getMinExpectedNumber() <= 0) {
            ended_ = true;
        }
    } catch (const std::exception& e) {
        // SUMO closes the connection itself at the configuration's end time.
        connected_ = false;
        int status = 0;
        if (child_ > 0) {
            for (int i = 0; i < 100 && waitpid(child_, &status, WNOHANG) == 0; ++i) {
                struct timespec ts = {0, 20 * 1000 * 1000};
                nanosleep(&ts, nullptr);
            }
            if (waitpid(child_, &status, WNOHANG) == 0) {
                status = -1;
            }
            child_ = -1;
            if (status == 0) {
                ended_ = true;
                return true;
            }
        }
        err = std::string("TraCI step failed: ") + e.what();
        return false;
    }
    return true;
}

// Positions come by subscription: SUMO sends them with every step's answer,
// so a step costs one round trip however many vehicles there are (plus one
// per vehicle the step brought in, to subscribe it).
void SumoLink::update(Channel& ch, const Options& opt)
{
    if (!connected_) {
        return;
    }
    if (wasPresent_.size() != opt.stations.size()) {
        wasPresent_.assign(opt.stations.size(), false);
        for (size_t i = 0; i < opt.stations.size(); ++i) {
            if (!opt.stations[i].vehicle.empty()) {
                byVehicle_[opt.stations[i].vehicle] = i;
            }
        }
    }
    try {
        std::vector<std::string> departed;
        if (!subscribed_) {
            // Once: the departures and arrivals of every step, and the vehicles
            // already driving (a SUMO that ran before radio-sim connected).
            libtraci::Simulation::subscribe(std::vector<int>{libsumo::VAR_DEPARTED_VEHICLES_IDS,
                                                             libsumo::VAR_ARRIVED_VEHICLES_IDS});
            departed = libtraci::Vehicle::getIDList();
            subscribed_ = true;
        } else {
            const libsumo::TraCIResults r = libtraci::Simulation::getSubscriptionResults();
            auto list = [&r](int var) {
                auto it = r.find(var);
                std::shared_ptr<libsumo::TraCIStringList> l =
                    it == r.end() ? nullptr
                                  : std::dynamic_pointer_cast<libsumo::TraCIStringList>(it->second);
                return l ? l->value : std::vector<std::string>();
            };
            departed = list(libsumo::VAR_DEPARTED_VEHICLES_IDS);
            for (const std::string& id : list(libsumo::VAR_ARRIVED_VEHICLES_IDS)) {
                auto st = byVehicle_.find(id);
                if (st != byVehicle_.end()) {
                    ch.set_absent(st->second);
                }
            }
        }
        for (const std::string& id : departed) {
            auto st = byVehicle_.find(id);
            if (st != byVehicle_.end()) {
                libtraci::Vehicle::subscribe(id, std::vector<int>{libsumo::VAR_POSITION});
                const libsumo::TraCIPosition p = libtraci::Vehicle::getPosition(id);
                ch.set_position(st->second, p.x, p.y);
            }
        }
        for (const auto& v : libtraci::Vehicle::getAllSubscriptionResults()) {
            auto st = byVehicle_.find(v.first);
            auto pos = v.second.find(libsumo::VAR_POSITION);
            if (st == byVehicle_.end() || pos == v.second.end()) {
                continue;
            }
            auto p = std::dynamic_pointer_cast<libsumo::TraCIPosition>(pos->second);
            if (p) {
                ch.set_position(st->second, p->x, p->y);
            }
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "radio-sim: TraCI: %s\n", e.what());
    }
    for (size_t i = 0; i < opt.stations.size(); ++i) {
        const StationCfg& st = opt.stations[i];
        if (st.vehicle.empty() || ch.present(i) == wasPresent_[i]) {
            continue;
        }
        wasPresent_[i] = ch.present(i);
        fprintf(stderr, "radio-sim: %.2f s: vehicle %s of station %s %s the network\n", time_,
                st.vehicle.c_str(), st.name.c_str(), wasPresent_[i] ? "entered" : "left");
    }
}

void SumoLink::close()
{
    if (connected_) {
        try {
            libtraci::Simulation::close();
        } catch (const std::exception&) {
            // it went away already
        }
        connected_ = false;
    }
    if (child_ > 0) {
        int status = 0;
        for (int i = 0; i < 100 && waitpid(child_, &status, WNOHANG) == 0; ++i) {
            struct timespec ts = {0, 20 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
        if (waitpid(child_, &status, WNOHANG) == 0) {
            kill(child_, SIGKILL);
            waitpid(child_, &status, 0);
        }
        child_ = -1;
    }
}

}  // namespace radiosim
