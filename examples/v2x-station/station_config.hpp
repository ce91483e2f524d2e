// SPDX-License-Identifier: Apache-2.0
// Settings of the example station: one libconfig file (groups "log",
// "watchdog", "station", "security" and "congestion"), then the
// command-line overrides.
#ifndef V2X_STATION_CONFIG_HPP
#define V2X_STATION_CONFIG_HPP

#include <cstdint>
#include <string>
#include <vector>

#include "cv2x_app.h"
#include "v2x_core.h"
#include "self_dog.h"
#include "self_log.h"
#include "station_log.hpp"

namespace station {

// One periodic DSM message: `rate` messages per second of `size` data bytes.
struct SendSpec {
    uint32_t aid = 0;
    double rate = 1.0;
    unsigned size = 0;
};

// One provider service run by the management entity of this station.
struct ProviderSpec {
    uint16_t lclAppId = 0;
    uint32_t aid = 0;
    uint8_t rptRte = 1; // advertisements per 5 seconds
    std::string dsaHdrExt;
    std::string otherInfo;
};

struct Config {
    std::string file;
    std::string name = "station";
    int logLevel = LOG_LEV_ERROR;
    double duration = 0; // seconds of sending; 0: until SIGINT or SIGTERM
    int maxClients = V2X_DMN_SERV_MAX_CLIT_DEF; // application connections at once
    tV2XSDKCfg sdk{};
    bool attach = false; // --attach: use the core another station runs on sdk.dmnNme
    bool serve = false;  // --serve: run only the core, for other processes' applications
    tV2XAccessCfg access{V2X_SOCK_MODE_DEF, -1, {0}}; // who may use the socket
    std::vector<uint32_t> receive;
    std::vector<SendSpec> sends;
    std::vector<ProviderSpec> providers;
    // Sending defaults per AID for plain requests, handed to a core this
    // process starts (not used with --attach).
    std::vector<tV2XTxDefault> txDefaults;
    // security: signed messages per AID, handed to a core this process
    // starts (not used with --attach). Paths are as written in the file,
    // resolved against the file's folder when relative.
    bool hasSecurity = false;
    std::string secTrustDir;
    std::string secCert;
    std::string secKey;
    std::vector<tV2XSecProfile> secProfiles;
    int secWorkers = 0;
    int secQueue = 0;
    uint32_t secWindowBackMs = 0;
    uint32_t secWindowAheadMs = 0;
    // congestion: the gate in front of the transmit queues, handed to a
    // core this process starts (not used with --attach). Holds the core's
    // defaults with the file's settings applied.
    bool hasCongestion = false;
    tV2XCongestionCfg congestion{};
    bool hasLog = false;
    tLogCfg log{};
    LogTarget logTarget = LogTarget::Stdout; // log.target: where library lines go
    bool hasWatchdog = false;
    tFeddogCfg watchdog{};
};

// Largest AID the two-byte on-air form carries, largest DSM data, limits of
// the provider table and of a Unix socket path.
constexpr uint32_t kMaxAid = V2X_LIM_AID_MAX;
constexpr unsigned kMaxData = V2X_LIM_DSM_DATA_MAX;  // per AID: v2x_dsm_data_max()
constexpr unsigned kMaxLclAppId = 31;
constexpr size_t kMaxSocketPath = 107;
// Limits of the sending defaults: entries, priority, lifetime.
constexpr int kMaxTxDefaults = V2X_TX_DEFAULTS_MAX;
constexpr unsigned kMaxTxPriority = 7;
constexpr unsigned kMaxTxLifetimeMs = 60000;

// The security group as the core takes it; its strings point into cfg.
tV2XSecCfg security_cfg(const Config& cfg);

// Reads and checks `path`. On failure returns false with a one-line reason
// ("FILE:LINE: ..." where a line is known).
bool load_config(const std::string& path, Config& out, std::string& err);

// "off", "error", "run", "warn", "trace", "info", "loud" or 0 to 6.
bool parse_log_level(const std::string& text, int& out);
const char* log_level_name(int level);

// The congestion gate's rule: "off", "reactive" or "adaptive".
bool parse_cc_rule(const std::string& text, uint32_t& out);
const char* cc_rule_name(uint32_t rule);

// "02:00:00:00:00:0a", "02-00-00-00-00-0a" or twelve hex digits.
bool parse_mac(const std::string& text, uint8_t out[6]);

// The station as radio-sim's --station option spells it.
std::string radio_sim_spec(const Config& cfg);

// The effective settings, one "key = value" per line.
std::string describe(const Config& cfg);

} // namespace station

#endif
