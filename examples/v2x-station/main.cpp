// SPDX-License-Identifier: Apache-2.0
// v2x-station: a hosting executable of libvestra and libmorrow.
//
// It reads one libconfig file, starts the log system, the watchdog feeder
// (when the file has a watchdog group) and the application runtime, registers
// the AIDs it wants to receive, runs its provider services, sends its DSM
// messages on schedule and prints one line per indication and per confirm.
// SIGINT or SIGTERM (or the end of the duration) stops it in the reverse
// order, and it prints a summary: sent, received, refused.
//
// With --serve it runs the core alone, for other processes' applications to
// attach to (cv2x_app_attach, v2x_system_attach), tells systemd once the
// socket listens (the notify protocol, when NOTIFY_SOCKET is set), and stops
// on SIGINT or SIGTERM with the core's counters.
//
// Exit status: 0 after a clean run, 1 when start-up failed, 2 for a bad
// command line or configuration, 3 when the core went away while running.
#include <getopt.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "cv2x_app.h"
#include "cv2x_app_sys.h"
#include "self_dog.h"
#include "self_log.h"
#include "station_config.hpp"
#include "station_log.hpp"
#include "v2x_stats.h"

// The libraries read the log level of their host.
extern "C" {
eLogLevl gLogLevl = LOG_LEV_ERROR;
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitStartup = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCoreGone = 3;
constexpr size_t kHexBytes = 16; // data bytes shown per indication line

std::mutex gOutLk;
std::atomic<unsigned long> gSent{0};
std::atomic<unsigned long> gReceived{0};
std::atomic<unsigned long> gRefused{0};

const char kUsage[] =
    "usage: v2x-station -c FILE [options]\n"
    "\n"
    "Runs one C-V2X station on the libraries: registers the AIDs of the\n"
    "configuration, sends its messages on schedule, runs its provider services\n"
    "and prints every indication and confirm, until SIGINT, SIGTERM or the end\n"
    "of the duration; then prints a summary.\n"
    "\n"
    "  -c, --config FILE       the station's libconfig file (required)\n"
    "  -l, --log-level LEVEL   0..6 or off, error, run, warn, trace, info, loud\n"
    "                          (overrides station.logLevel)\n"
    "  -d, --duration SECONDS  stop after sending this long; 0: until a signal\n"
    "                          (overrides station.duration)\n"
    "      --attach            use the core another station runs on the socket of\n"
    "                          the configuration instead of starting one (the\n"
    "                          radio settings, maxClients, sockMode, sockGroup\n"
    "                          and txDefaults are then that station's)\n"
    "      --serve             run only the core, for other processes' applications\n"
    "                          to attach to its socket (cv2x_app_attach,\n"
    "                          v2x_system_attach), until SIGINT or SIGTERM; the\n"
    "                          file's receive, send, providers and duration are\n"
    "                          not used. Once the socket listens it prints a READY\n"
    "                          line and, when NOTIFY_SOCKET is set (systemd\n"
    "                          Type=notify), sends READY=1 there; STOPPING=1 when\n"
    "                          it stops. Ends with the core's counters (CORE line)\n"
    "      --check             print the effective settings and exit\n"
    "      --radio-sim-station    print this station as radio-sim's --station value\n"
    "  -h, --help              this text\n"
    "      --version           the version\n"
    "\n"
    "Exit status: 0 after a clean run, 1 when start-up failed, 2 for a bad command\n"
    "line or configuration, 3 when the core went away while running.\n";

// Local wall-clock time as HH:MM:SS.uuuuuu.
std::string now_text()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    char buf[32];
    snprintf(buf, sizeof(buf), "%02d:%02d:%02d.%06ld", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
             static_cast<long>(tv.tv_usec));
    return buf;
}

std::string seconds_text(double s)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "%g", s);
    return buf;
}

void out_line(const std::string& s)
{
    std::lock_guard<std::mutex> lk(gOutLk);
    fputs(s.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

const char* kind_name(uint32_t aid)
{
    static constexpr const char* kKinds[] = {"BSM", "RSI", "RSM", "MAP", "SPAT"};
    const eMsgType t = get_msg_type(aid);
    return t >= MSG_TYPE_BSM && t < MSG_TYPE_MAX ? kKinds[t] : "other";
}

std::string hex_head(const char* p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n && i < kHexBytes; ++i) {
        snprintf(b, sizeof(b), i == 0 ? "%02x" : " %02x", static_cast<unsigned char>(p[i]));
        s += b;
    }
    if (n > kHexBytes) {
        s += " ...";
    }
    return s;
}

const char* ret_text(eDMERetCd r)
{
    switch (r) {
    case DME_RET_ACCEPT:
        return "accepted";
    case DME_RET_REJ_VAL_ERR:
        return "rejected: bad value";
    case DME_RET_REJ_NO_REASON:
        return "rejected";
    default:
        return "unknown result";
    }
}

int on_indication(uint8_t ver, const uint32_t aid, uint16_t len, const char* msg,
                  const char* /*peerMac*/, uint8_t prio)
{
    ++gReceived;
    out_line(now_text() + " RX  aid=" + std::to_string(aid) + " kind=" + kind_name(aid) +
             " len=" + std::to_string(len) + " ver=" + std::to_string(ver) +
             " prio=" + std::to_string(prio) + " data=" + hex_head(msg, len));
    return 0;
}

int on_dsm_confirm(const uint32_t aid, eDMERetCd ret)
{
    if (ret != DME_RET_ACCEPT) {
        ++gRefused;
    }
    out_line(now_text() + " CFM dsm aid=" + std::to_string(aid) + " ret=" +
             std::to_string(static_cast<int>(ret)) + " (" + ret_text(ret) + ")");
    return 0;
}

int on_provider_confirm(int lcl, eDMERetCd ret)
{
    if (ret != DME_RET_ACCEPT) {
        ++gRefused;
    }
    out_line(now_text() + " CFM provider lcl=" + std::to_string(lcl) + " ret=" +
             std::to_string(static_cast<int>(ret)) + " (" + ret_text(ret) + ")");
    return 0;
}

// What could not be bound, from the first error line of the start-up:
// the application socket (the daemon server) or the radio link's address.
std::string bind_what(const station::Config& cfg, const station::StartupCause& cause)
{
    const std::string why = cause.sysMsg.empty() ? "" : ": " + cause.sysMsg;
    if (cause.file == "domn_serv.cpp") {
        return "its application socket " + std::string(cfg.sdk.dmnNme) + why;
    }
    if (cause.file == "rlink.cpp" && cause.text.rfind("bind(", 0) == 0) {
        return "the radio link's receive address " + std::string(cfg.sdk.rcvIp) + ":" +
               std::to_string(cfg.sdk.rcvPort) + why;
    }
    return "";
}

// The rest of a start-up failure's line: the first error said, or a hint.
std::string cause_tail(const station::StartupCause& cause)
{
    return cause.text.empty() ? " (run with -l run for the libraries' lines)" : ": " + cause.text;
}

// Why the runtime did not start, from its result code and the first error
// line of the start-up (held back so that the failure is said once).
std::string startup_reason(const station::Config& cfg, int rc, const station::StartupCause& cause)
{
    const std::string code = " (" + std::to_string(rc) + ")";
    const std::string sock = cfg.sdk.dmnNme;
    switch (-rc) {
    case ERR_V2X_SOCKET_BIND: {
        const std::string what = bind_what(cfg, cause);
        if (!what.empty()) {
            return "no connection to the core" + code + ": it could not bind " + what;
        }
        return "no connection to the core" + code + ": it could not bind socket " + sock +
               " or the radio link on " + cfg.sdk.rcvIp + ":" + std::to_string(cfg.sdk.rcvPort) +
               cause_tail(cause);
    }
    case ERR_V2X_SOCKET_CONECT:
        return "no connection to the core" + code + " at socket " + sock +
               (cause.sysMsg.empty() ? cause_tail(cause) : ": " + cause.sysMsg);
    case ERR_V2X_CONN_REFUSED:
        return "the core at " + sock + " refused the connection" + code +
               (cause.sysMsg.empty() ? cause_tail(cause) : ": " + cause.sysMsg);
    case ERR_V2X_PTHREAD_CREATE:
        return "the application runtime did not start" + code +
               ": a runtime or core already runs in this process, or no thread";
    default:
        return "the application runtime did not start" + code + cause_tail(cause);
    }
}

// Why the core alone (--serve) did not start, from v2x_core_init's code.
std::string core_startup_reason(const station::Config& cfg, int rc,
                                const station::StartupCause& cause)
{
    const std::string code = " (" + std::to_string(rc) + ")";
    switch (-rc) {
    case ERR_V2X_SOCKET_BIND: {
        const std::string what = bind_what(cfg, cause);
        if (!what.empty()) {
            return "the core did not start" + code + ": it could not bind " + what;
        }
        return "the core did not start" + code + ": it could not bind socket " +
               std::string(cfg.sdk.dmnNme) + " or the radio link on " + cfg.sdk.rcvIp + ":" +
               std::to_string(cfg.sdk.rcvPort) + cause_tail(cause);
    }
    case ERR_V2X_PTHREAD_CREATE:
        return "the core did not start" + code + ": no thread";
    default:
        return "the core did not start" + code + cause_tail(cause);
    }
}

// Started parts of the station, stopped in reverse order whatever happens.
class Station {
public:
    explicit Station(const station::Config& cfg) : cfg_(cfg) {}
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;
    ~Station() { stop(); }

    // Start-up failures are said in err, one line; the libraries' error
    // lines of the start-up are held back until it is over.
    bool start(std::string& err)
    {
        const bool ok = start_parts(err);
        const station::StartupCause cause = station::log_startup_done(ok);
        if (!ok && coreRc_ != 0) {
            err = core_startup_reason(cfg_, coreRc_, cause);
        } else if (!ok && appRc_ != 0) {
            err = startup_reason(cfg_, appRc_, cause);
        } else if (!ok && !cause.text.empty()) {
            err += " (" + cause.text + ")";
        }
        return ok;
    }

    bool start_parts(std::string& err)
    {
        if (cfg_.hasLog) {
            const int rc = log_system_init(&cfg_.log);
            if (rc != 0) {
                err = "the log system did not start (" + std::to_string(rc) +
                      "): check the log group, saveLogPath must name a writable directory";
                return false;
            }
            logStarted_ = true;
        }
        if (cfg_.hasWatchdog) {
            const int rc = self_feddog_init(&cfg_.watchdog);
            if (rc != 0) {
                err = "the watchdog feeder did not start (" + std::to_string(rc) + ")";
                return false;
            }
            dogStarted_ = true;
        }
        // Settings of a core this process starts; an attached station starts
        // none (the core it uses has its own), so they have no effect there.
        if (!cfg_.attach) {
            const int rcMax = v2x_sdk_dmn_serv_set_max_clit(cfg_.maxClients);
            const int rcAcc = v2x_sdk_dmn_serv_set_access(&cfg_.access);
            const int rcDef = v2x_sdk_dmn_serv_set_tx_defaults(
                cfg_.txDefaults.data(), static_cast<int>(cfg_.txDefaults.size()));
            // What `v2x-ctl status` names the station.
            const int rcName = v2x_core_set_station_name(cfg_.name.c_str());
            // The core's defaults when the file has no congestion group.
            const int rcCc = v2x_core_set_congestion(&cfg_.congestion);
            if (rcMax != 0 || rcAcc != 0 || rcDef != 0 || rcName != 0 || rcCc != 0) {
                // The file's checks should have caught it; never run a core
                // with other settings than the file's.
                err = "the core refused its settings (maxClients " + std::to_string(rcMax) +
                      ", sockMode/sockGroup " + std::to_string(rcAcc) + ", txDefaults " +
                      std::to_string(rcDef) + ", name " + std::to_string(rcName) +
                      ", congestion " + std::to_string(rcCc) + ")";
                return false;
            }
            // The trust folder, certificate and key load now, so that a
            // station with an unusable one refuses to start (the core's log
            // line names the file and says why).
            const tV2XSecCfg sec = station::security_cfg(cfg_);
            const int rcSec = v2x_core_set_security(cfg_.hasSecurity ? &sec : nullptr);
            if (rcSec != 0) {
                err = "security settings refused (" + std::to_string(rcSec) +
                      "): see the line above";
                return false;
            }
        }
        if (cfg_.serve) {
            // The core alone: its socket listens once this returns 0.
            const int rc = v2x_core_init(&cfg_.sdk);
            coreStarted_ = true; // its exit is safe after any partial start
            if (rc != 0) {
                coreRc_ = rc;
                return false;
            }
            return true;
        }
        // Attached, it shares the core that another station runs on the
        // same socket; otherwise it runs its own.
        const int rc = cfg_.attach ? cv2x_app_attach(&cfg_.sdk) : cv2x_app_init(&cfg_.sdk);
        appStarted_ = true; // its exit is safe after any partial start
        if (rc != 0) {
            appRc_ = rc;
            return false;
        }
        return true;
    }

    void stop()
    {
        stop_part(appStarted_, cv2x_app_exit);
        stop_part(coreStarted_, v2x_core_exit);
        stop_part(dogStarted_, self_feddog_exit);
        stop_part(logStarted_, log_system_exit);
    }

private:
    // Stops a part that runs, once.
    static void stop_part(bool& started, int (*exitFn)())
    {
        if (started) {
            exitFn();
            started = false;
        }
    }

    const station::Config& cfg_;
    bool logStarted_ = false;
    bool dogStarted_ = false;
    bool appStarted_ = false;
    bool coreStarted_ = false;
    int coreRc_ = 0; // v2x_core_init's result when it failed
    int appRc_ = 0;  // cv2x_app_init's or cv2x_app_attach's when it failed
};

// The service manager's notification socket (systemd's NOTIFY_SOCKET): an
// AF_UNIX datagram socket, a leading '@' naming one in the abstract
// namespace. The variable is read once, before any thread exists.
class Notifier {
public:
    Notifier()
    {
        const char* e = getenv("NOTIFY_SOCKET");
        if (e != nullptr) {
            path_ = e;
        }
    }

    // Sends one message of the protocol ("READY=1", ...). True when it was
    // sent or nobody asked for it; otherwise false with the reason.
    bool send(const std::string& msg, std::string& err) const
    {
        if (path_.empty()) {
            return true;
        }
        struct sockaddr_un sa;
        memset(&sa, 0, sizeof(sa));
        sa.sun_family = AF_UNIX;
        const bool abstract = path_[0] == '@';
        // A path needs its terminating zero in the address; an abstract
        // name is exactly its bytes after the leading zero.
        if ((path_[0] != '/' && !abstract) ||
            path_.size() > sizeof(sa.sun_path) - (abstract ? 0 : 1)) {
            err = "NOTIFY_SOCKET=" + path_ + " is not an absolute path or @name of at most " +
                  std::to_string(sizeof(sa.sun_path) - 1) + " characters";
            return false;
        }
        memcpy(sa.sun_path, path_.data(), path_.size());
        if (abstract) {
            sa.sun_path[0] = '\0';
        }
        const socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) +
                                                     path_.size() + (abstract ? 0 : 1));
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            err = std::string("socket(): ") + strerror(errno);
            return false;
        }
        const ssize_t n = sendto(fd, msg.data(), msg.size(), MSG_NOSIGNAL,
                                 reinterpret_cast<const struct sockaddr*>(&sa), len);
        const int sendErr = errno;
        close(fd);
        if (n != static_cast<ssize_t>(msg.size())) {
            err = "sendto(" + path_ + "): " + (n < 0 ? strerror(sendErr) : "cut short");
            return false;
        }
        return true;
    }

    // As send(), saying on standard error when it failed: the service then
    // runs on, and the service manager decides on its own time-out.
    void tell(const std::string& msg) const
    {
        std::string err;
        if (!send(msg, err)) {
            fprintf(stderr, "v2x-station: could not notify the service manager: %s\n",
                    err.c_str());
        }
    }

private:
    std::string path_;
};

// The core closed the connection: the calls say so with this code.
bool core_gone(int rc)
{
    return rc == -ERR_V2X_SOCKET_CONECT;
}

std::string core_unreachable(const station::Config& cfg, int rc)
{
    return "the core did not take a request (" + std::to_string(rc) + ") on socket " +
           std::string(cfg.sdk.dmnNme) + (core_gone(rc) ? ": the core is gone" : "");
}

// Registers the AIDs and adds the providers. False when the core is not
// reachable; refusals of single requests are counted and the station runs on.
bool register_services(const station::Config& cfg, std::string& err)
{
    for (uint32_t aid : cfg.receive) {
        int index = 0;
        if (get_dme_dsm_serv_req_index(&index) != 0) {
            ++gRefused;
            out_line(now_text() + " REFUSED register aid=" + std::to_string(aid) +
                     ": no free registration index");
            continue;
        }
        tDMEDSMServReq r;
        memset(&r, 0, sizeof(r));
        r.index = static_cast<uint16_t>(index);
        r.action = DME_ACTION_ADD;
        r.appId = aid;
        const int rc = dme_dsm_serv_req(&r, on_dsm_confirm, on_indication);
        if (core_gone(rc) || rc == -ERR_V2X_SOCKET_WRITE) {
            err = core_unreachable(cfg, rc);
            return false;
        }
        if (rc != 0) {
            ++gRefused;
            out_line(now_text() + " REFUSED register aid=" + std::to_string(aid) +
                     " rc=" + std::to_string(rc));
        } else {
            out_line(now_text() + " REG aid=" + std::to_string(aid) + " kind=" + kind_name(aid));
        }
    }
    for (const station::ProviderSpec& p : cfg.providers) {
        tDMEProvServReq q;
        memset(&q, 0, sizeof(q));
        q.lclAppId = p.lclAppId;
        q.dmeAct = DME_ACTION_ADD;
        q.appId = p.aid;
        q.rptRte = p.rptRte;
        memcpy(q.dsaHdrExt, p.dsaHdrExt.data(), p.dsaHdrExt.size());
        memcpy(q.otherInfo, p.otherInfo.data(), p.otherInfo.size());
        const int rc = dme_provider_serv_req(&q, on_provider_confirm);
        if (core_gone(rc) || rc == -ERR_V2X_SOCKET_WRITE) {
            err = core_unreachable(cfg, rc);
            return false;
        }
        if (rc != 0) {
            ++gRefused;
            out_line(now_text() + " REFUSED provider lcl=" + std::to_string(p.lclAppId) +
                     " rc=" + std::to_string(rc));
        } else {
            out_line(now_text() + " PROV lcl=" + std::to_string(p.lclAppId) +
                     " aid=" + std::to_string(p.aid) + " rptRte=" + std::to_string(p.rptRte));
        }
    }
    return true;
}

// One scheduled message stream with its own request buffer.
struct Sender {
    station::SendSpec plan;
    std::vector<char> buf;
    Clock::duration period;
    Clock::time_point due;
    uint32_t seq = 0;

    Sender(const station::SendSpec& s, uint8_t prio, Clock::time_point start)
        : plan(s), buf(sizeof(tDSMReq) + s.size),
          period(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / s.rate))),
          due(start)
    {
        tDSMReq head;
        memset(&head, 0, sizeof(head));
        head.appId = s.aid;
        head.protTp = PROT_TP_DSMP;
        head.priority = prio;
        memset(head.peerMac, 0xFF, sizeof(head.peerMac));
        head.msgLen = static_cast<uint16_t>(s.size);
        memcpy(buf.data(), &head, sizeof(head));
    }

    // Data: a big-endian sequence number, then a counting pattern.
    int send()
    {
        char* d = buf.data() + sizeof(tDSMReq);
        for (unsigned k = 0; k < plan.size; ++k) {
            d[k] = static_cast<char>(k < 4 ? (seq >> (8 * (3 - k))) & 0xFF : k);
        }
        ++seq;
        return dsm_request(reinterpret_cast<const tDSMReq*>(buf.data()));
    }
};

// Sends on schedule until the duration ends or SIGINT/SIGTERM arrives
// (both blocked in every thread and taken here).
int run(const station::Config& cfg, const sigset_t& stopSigs)
{
    const Clock::time_point start = Clock::now();
    std::vector<Sender> senders;
    senders.reserve(cfg.sends.size());
    for (const station::SendSpec& s : cfg.sends) {
        // Priority 0 lets this station's core apply the txDefaults entry of
        // the AID; other streams, and all of an attached station, say 1.
        uint8_t prio = 1;
        for (const tV2XTxDefault& d : cfg.txDefaults) {
            prio = !cfg.attach && d.aid == s.aid ? 0 : prio;
        }
        senders.emplace_back(s, prio, start);
    }
    const bool timed = cfg.duration > 0;
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cfg.duration));
    for (;;) {
        if (cv2x_app_core_connected() == 0) {
            // Nothing sent or received from here on would be true.
            out_line(now_text() + " STOP core gone: the connection to the core on " +
                     cfg.sdk.dmnNme + " closed");
            return kExitCoreGone;
        }
        const Clock::time_point now = Clock::now();
        if (timed && now >= end) {
            out_line(now_text() + " STOP duration of " + seconds_text(cfg.duration) + " s over");
            return 0;
        }
        // At least once a second, to notice a core that went away.
        Clock::time_point wake = now + std::chrono::seconds(1);
        if (timed && end < wake) {
            wake = end;
        }
        for (Sender& s : senders) {
            if (now >= s.due) {
                const int rc = s.send();
                if (rc == 0) {
                    ++gSent;
                } else if (core_gone(rc)) {
                    break;  // said below, once
                } else {
                    ++gRefused;
                    out_line(now_text() + " REFUSED send aid=" + std::to_string(s.plan.aid) +
                             " rc=" + std::to_string(rc));
                }
                s.due += s.period;
                if (s.due < now) { // fell behind: do not burst to catch up
                    s.due = now + s.period;
                }
            }
            if (s.due < wake) {
                wake = s.due;
            }
        }
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - Clock::now());
        struct timespec ts;
        const long long ns = wait.count() > 0 ? wait.count() : 0;
        ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
        ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
        siginfo_t info;
        const int sig = sigtimedwait(&stopSigs, &info, &ts);
        if (sig > 0) {
            out_line(now_text() + " STOP " + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
            return 0;
        }
    }
}

} // namespace

// What this station's own core counted: the datagrams of the radio both
// ways and everything it dropped, by reason where one stands out.
void core_line(const std::string& aicName, bool aicSecurity)
{
    tV2XCoreStats c;
    c.size = sizeof(c);
    if (v2x_core_stats(&c) != 0) {
        return;
    }
    const uint64_t rxDrop = c.rxDropTooShort + c.rxDropShortExt + c.rxDropShortAid +
                            c.rxDropShortLen + c.rxDropExtTooLong + c.rxDropAidFormat +
                            c.rxDropLenMismatch + c.rxDropTruncated + c.rxDropRecvErr +
                            c.rxDropNoBuffer;
    const uint64_t txErr = c.txErrBusy + c.txErrUnreachable + c.txErrOther;
    const uint64_t refused = c.appRefusedLen + c.appRefusedType + c.appRefusedValue;
    out_line(now_text() + " CORE " + aicName + " rx=" + std::to_string(c.rxDatagrams) +
             " delivered=" + std::to_string(c.rxIndications) +
             " not-registered=" + std::to_string(c.rxDropNotRegistered) +
             " malformed=" + std::to_string(rxDrop) + " tx=" + std::to_string(c.txDatagrams) +
             " tx-errors=" + std::to_string(txErr) + " dsa=" + std::to_string(c.dsaSent) +
             " dsa-skipped=" + std::to_string(c.dsaSkipped) +
             " requests-refused=" + std::to_string(refused) +
             " stalled-drops=" + std::to_string(c.appDroppedStalled) +
             " tx-expired=" + std::to_string(c.txExpired) +
             " tx-superseded=" + std::to_string(c.txSuperseded) +
             (aicSecurity ? " signed=" + std::to_string(c.txSecSigned) +
                                " verified=" + std::to_string(c.rxSecVerified) +
                                " bad-signature=" + std::to_string(c.rxSecBadSignature) +
                                " sec-dropped=" +
                                std::to_string(c.rxSecUnknownSigner + c.rxSecExpired +
                                               c.rxSecPsidNotPermitted + c.rxSecStale +
                                               c.rxSecReplay + c.rxSecMalformed +
                                               c.rxSecOverload + c.rxSecUnsigned)
                          : std::string()));
}

// --serve: the core alone until SIGINT or SIGTERM (blocked in every thread
// and taken here). Applications of other processes attach to its socket.
static int serve_core(const station::Config& cfg, const sigset_t& stopSigs,
                      const Notifier& notifier)
{
    const std::string sock = cfg.sdk.dmnNme;
    int status = 0;
    {
        Station st(cfg);
        std::string err;
        if (!st.start(err)) {
            fprintf(stderr, "v2x-station: start-up failed: %s\n", err.c_str());
            status = kExitStartup;
        } else {
            if (!cfg.receive.empty() || !cfg.sends.empty() || !cfg.providers.empty()) {
                out_line(now_text() + " NOTE serving only: the file's receive, send and "
                                      "providers are not used");
            }
            // The core listens: an application that connects now is served.
            out_line(now_text() + " READY serving on " + sock + " max-clients=" +
                     std::to_string(cfg.maxClients));
            notifier.tell("READY=1\nSTATUS=serving on " + sock);
            siginfo_t info;
            int sig;
            while ((sig = sigwaitinfo(&stopSigs, &info)) < 0 && errno == EINTR) {
            }
            out_line(now_text() + " STOP " + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
            notifier.tell("STOPPING=1");
        }
    } // core, feeder and log system stop here
    tV2XCoreStats c;
    c.size = sizeof(c);
    if (v2x_core_stats(&c) == 0) {
        out_line(now_text() + " SUMMARY " + cfg.name + " served connections=" +
                 std::to_string(c.appAccepted) + " refused-peer=" +
                 std::to_string(c.appRefusedPeer) + " refused-cap=" +
                 std::to_string(c.appRefusedCap) + " requests=" + std::to_string(c.appMsgsIn));
    }
    core_line(cfg.name, cfg.hasSecurity);
    return status;
}

namespace {

// The command line as given, before the file is read.
struct Args {
    std::string cfgPath, levelText, durationText;
    bool check = false, printSpec = false, attach = false, serve = false;
};

// -1 to go on; otherwise the exit status (after the usage or a line).
int parse_args(int argc, char** argv, Args& a)
{
    static const struct option kLong[] = {
        {"config", required_argument, nullptr, 'c'},
        {"log-level", required_argument, nullptr, 'l'},
        {"duration", required_argument, nullptr, 'd'},
        {"check", no_argument, nullptr, 'C'},
        {"attach", no_argument, nullptr, 'A'},
        {"serve", no_argument, nullptr, 'S'},
        {"radio-sim-station", no_argument, nullptr, 'R'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "c:l:d:h", kLong, nullptr)) != -1) {
        switch (opt) {
        case 'c':
            a.cfgPath = optarg;
            break;
        case 'l':
            a.levelText = optarg;
            break;
        case 'd':
            a.durationText = optarg;
            break;
        case 'C':
            a.check = true;
            break;
        case 'A':
            a.attach = true;
            break;
        case 'S':
            a.serve = true;
            break;
        case 'R':
            a.printSpec = true;
            break;
        case 'h':
            fputs(kUsage, stdout);
            return 0;
        case 'V':
            printf("v2x-station (vestra) %s\n", V2X_VERSION);
            return 0;
        default:
            fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    const char* bad = nullptr;
    if (optind < argc) {
        fprintf(stderr, "v2x-station: unexpected argument '%s'\n%s", argv[optind], kUsage);
        return kExitUsage;
    }
    if (a.serve && a.attach) {
        bad = "--serve runs a core, --attach uses another one: choose one";
    } else if (a.serve && !a.durationText.empty()) {
        bad = "--serve runs until SIGINT or SIGTERM: no --duration";
    } else if (a.cfgPath.empty()) {
        bad = "no configuration file: use -c FILE";
    }
    if (bad != nullptr) {
        fprintf(stderr, "v2x-station: %s\n%s", bad, kUsage);
        return kExitUsage;
    }
    return -1;
}

// The file, then the command line over it: -1 to go on; otherwise the exit
// status (after a line).
int load_settings(const Args& a, station::Config& cfg)
{
    std::string err;
    if (!station::load_config(a.cfgPath, cfg, err)) {
        fprintf(stderr, "v2x-station: %s\n", err.c_str());
        return kExitUsage;
    }
    if (!a.levelText.empty() && !station::parse_log_level(a.levelText, cfg.logLevel)) {
        fprintf(stderr, "v2x-station: log level '%s' is not 0..6 or off, error, run, warn, trace, "
                        "info, loud\n", a.levelText.c_str());
        return kExitUsage;
    }
    if (!a.durationText.empty()) {
        const char* text = a.durationText.c_str();
        char* end = nullptr;
        errno = 0;
        const double d = strtod(text, &end);
        if (errno != 0 || end == text || *end != '\0' || !(d >= 0) || d > 86400.0 * 365) {
            fprintf(stderr, "v2x-station: duration '%s' is not a number of seconds (0: until a "
                            "signal)\n", text);
            return kExitUsage;
        }
        cfg.duration = d;
    }
    cfg.attach = a.attach;
    cfg.serve = a.serve;
    return -1;
}

// The station's run: start, register, send until the end, stop; then the
// summary. The exit status.
int run_station(const station::Config& cfg, const sigset_t& stopSigs)
{
    int status = 0;
    {
        Station st(cfg);
        std::string err;
        if (!st.start(err) || !register_services(cfg, err)) {
            fprintf(stderr, "v2x-station: start-up failed: %s\n", err.c_str());
            status = kExitStartup;
        } else {
            out_line(now_text() + " READY sending " + std::to_string(cfg.sends.size()) +
                     " stream(s)" +
                     (cfg.duration > 0 ? " for " + seconds_text(cfg.duration) + " s" : ""));
            status = run(cfg, stopSigs);
        }
    } // runtime, feeder and log system stop here
    out_line(now_text() + " SUMMARY " + cfg.name + " sent=" + std::to_string(gSent.load()) +
             " received=" + std::to_string(gReceived.load()) +
             " refused=" + std::to_string(gRefused.load()));
    if (!cfg.attach) {
        core_line(cfg.name, cfg.hasSecurity);
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    // Block the stop signals before any library thread exists, so that every
    // thread inherits the mask and only the main loop takes them.
    sigset_t stopSigs;
    sigemptyset(&stopSigs);
    sigaddset(&stopSigs, SIGINT);
    sigaddset(&stopSigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSigs, nullptr);
    // Read before any library thread exists (the environment is not
    // thread-safe).
    const Notifier notifier;

    Args args;
    station::Config cfg;
    int rc = parse_args(argc, argv, args);
    if (rc < 0) {
        rc = load_settings(args, cfg);
    }
    if (rc >= 0) {
        return rc;
    }
    if (args.check) {
        fputs(station::describe(cfg).c_str(), stdout);
        return 0;
    }
    if (args.printSpec) {
        printf("%s\n", station::radio_sim_spec(cfg).c_str());
        return 0;
    }

    // The station decides where the libraries' lines go before they write any.
    station::log_begin(cfg.logTarget, cfg.logLevel, "v2x-station");
    struct LogEnd {
        ~LogEnd() { station::log_end(); }
    } logEnd;
    set_global_log_level(static_cast<eLogLevl>(cfg.logLevel));
    // Attached, the radio addresses belong to the core it uses: not said.
    out_line(now_text() + " START " + cfg.name + " socket=" + cfg.sdk.dmnNme +
             (cfg.attach ? std::string(" attached")
                         : " radio=" + std::string(cfg.sdk.sendIp) + ":" +
                               std::to_string(cfg.sdk.sendPort) + " rcv=" + cfg.sdk.rcvIp + ":" +
                               std::to_string(cfg.sdk.rcvPort)) +
             " log-level=" + station::log_level_name(cfg.logLevel));
    return cfg.serve ? serve_core(cfg, stopSigs, notifier) : run_station(cfg, stopSigs);
}
