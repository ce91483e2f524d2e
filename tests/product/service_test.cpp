// SPDX-License-Identifier: Apache-2.0
// The station as a service: --serve runs the core alone for other processes'
// applications and speaks the service manager's notify protocol; the unit
// and its configuration under packaging/systemd; the system-API try-out
// script in a network namespace.
#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>

#include "core_app.h"
#include "product_support.hpp"
#include "v2x_stats.h"

using namespace product;
using v2xtest::unique_path;

#if defined(V2X_STATION_PATH) && defined(V2X_SOURCE_DIR) && defined(V2X_BINARY_DIR)

namespace {

const std::string kPackaging = std::string(V2X_SOURCE_DIR) + "/packaging/systemd/";

// The service manager's end of the notify protocol: a datagram socket at a
// path, or in the abstract namespace for a name starting with '@'.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& name) : name_(name)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un sa;
        memset(&sa, 0, sizeof(sa));
        sa.sun_family = AF_UNIX;
        memcpy(sa.sun_path, name.data(), name.size());
        if (name[0] == '@') {
            sa.sun_path[0] = '\0';
        }
        const socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) +
                                                     name.size() + (name[0] == '@' ? 0 : 1));
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<struct sockaddr*>(&sa), len) == 0;
    }
    ~NotifySocket()
    {
        close(fd_);
        if (name_[0] == '/') {
            unlink(name_.c_str());
        }
    }
    bool bound() const { return bound_; }
    // The next datagram within timeout_ms, "" when none came.
    std::string recv(int timeout_ms)
    {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) {
            return "";
        }
        char b[512];
        const ssize_t n = ::recv(fd_, b, sizeof(b), 0);
        return n > 0 ? std::string(b, static_cast<size_t>(n)) : "";
    }

private:
    std::string name_;
    int fd_ = -1;
    bool bound_ = false;
};

// Starts `args` with NOTIFY_SOCKET set to `notify` in its environment only.
bool start_notified(Proc& p, const std::vector<std::string>& args, const std::string& notify)
{
    setenv("NOTIFY_SOCKET", notify.c_str(), 1);
    const bool ok = p.start(args);
    unsetenv("NOTIFY_SOCKET");
    return ok;
}

// The served core's counters, asked over an application connection.
bool query_stats(int fd, tV2XCoreStats& out)
{
    tV2XCtlReq req = {V2X_CTL_STATS, V2X_CTL_VERSION, 0};
    const uint8_t* r = reinterpret_cast<const uint8_t*>(&req);
    if (!v2xtest::write_all(fd, v2xtest::app_msg(V2X_CTL_QUERY_REQ, v2xtest::Bytes(r, r + sizeof(req))))) {
        return false;
    }
    for (int i = 0; i < 16; ++i) { // indications may come first
        const v2xtest::Bytes m = v2xtest::read_msg(fd, 10000);
        if (m.size() < sizeof(tCoreApp)) {
            return false;
        }
        uint32_t type;
        memcpy(&type, m.data(), sizeof(type));
        if (type != V2X_CTL_QUERY_RSP) {
            continue;
        }
        tV2XCtlRsp rsp;
        if (m.size() < sizeof(tCoreApp) + sizeof(rsp)) {
            return false;
        }
        memcpy(&rsp, m.data() + sizeof(tCoreApp), sizeof(rsp));
        const size_t n = std::min<size_t>(rsp.recSize, sizeof(out));
        if (rsp.status != V2X_CTL_OK || rsp.count != 1 ||
            m.size() < sizeof(tCoreApp) + sizeof(rsp) + n) {
            return false;
        }
        memset(&out, 0, sizeof(out));
        memcpy(&out, m.data() + sizeof(tCoreApp) + sizeof(rsp), n);
        return true;
    }
    return false;
}

bool has_program(const std::string& name)
{
    std::string out;
    return shell("command -v " + name, out) == 0;
}

} // namespace

// READY=1 comes once the socket accepts connections; the file's receive,
// send and providers are not run; an application of another process
// attaches, registers, sends and receives through the served core, whose
// counters show it; SIGTERM sends STOPPING=1, stops the core (the attached
// application sees it go) and ends with status 0 and the core's counters.
TEST(ServeMode, NotifiesReadyWhenListeningServesAttachedApplicationsAndStops)
{
    v2xtest::UdpPeer radio;
    const std::vector<uint16_t> p = free_ports(1);
    StationFile srv("S", radio.port(), p[0],
                    "  receive = [ 30 ];\n  send = ( { aid = 30; rate = 20; size = 8; } );\n"
                    "  providers = ( { lclAppId = 1; aid = 135; rptRte = 10; } );\n");
    Proc served("srv");
    // An abstract socket ("@name"); the other test uses a path.
    const std::string path = unique_path("abs");
    const std::string name = "@" + path.substr(path.rfind('/') + 1);
    NotifySocket ns(name);
    ASSERT_TRUE(ns.bound());
    ASSERT_TRUE(start_notified(served, {kStation, "--serve", "-c", srv.path}, name));
    const std::string ready = ns.recv(30000);
    const int ctl = v2xtest::unix_connect(srv.sock, 0); // no retry: it listens already
    ASSERT_EQ(ready, "READY=1\nSTATUS=serving on " + srv.sock) << served.text() << served.errors();
    ASSERT_GE(ctl, 0) << "READY=1 came before the socket accepted connections";
    EXPECT_TRUE(served.wait_text(" READY serving on " + srv.sock, 5000)) << served.text();

    tV2XCoreStats st;
    ASSERT_TRUE(query_stats(ctl, st));
    EXPECT_EQ(st.mgmtRegistrations, 0u);
    EXPECT_EQ(st.mgmtProviders, 0u);
    EXPECT_TRUE(radio.recv(500).empty()) << "the served core sent the file's own messages";

    StationFile app("B", radio.port(), p[0],
                    "  receive = [ 26 ];\n  send = ( { aid = 27; rate = 10; size = 8; } );\n");
    std::string cfg = slurp(app.path);
    cfg.replace(cfg.find(app.sock), app.sock.size(), srv.sock);
    spill(app.path, cfg);
    Proc pb("app");
    ASSERT_TRUE(pb.start({kStation, "-c", app.path, "--attach"}));
    ASSERT_TRUE(pb.wait_text(" CFM dsm aid=26 ret=0", 20000)) << pb.text() << pb.errors();
    bool sent = false;
    for (int i = 0; i < 20 && !sent; ++i) {
        const v2xtest::Bytes d = radio.recv(2000);
        sent = d.size() > 2 && d[0] == PROT_TP_DSMP && d[2] == 27;
    }
    EXPECT_TRUE(sent) << "the attached application's message did not reach the radio";
    ASSERT_TRUE(radio.send_to(p[0], v2xtest::air_frame(26, {1, 2, 3})));
    EXPECT_TRUE(pb.wait_text(" RX  aid=26 kind=BSM len=3 ", 10000)) << pb.text();

    ASSERT_TRUE(query_stats(ctl, st));
    EXPECT_EQ(st.mgmtRegistrations, 1u);
    EXPECT_EQ(st.appConnections, 2u); // this query and the application
    EXPECT_GE(st.rxIndications, 1u);
    EXPECT_GE(st.txDatagrams, 1u);
    close(ctl);

    served.signal(SIGTERM);
    EXPECT_EQ(ns.recv(20000), "STOPPING=1");
    ASSERT_EQ(served.wait_exit(20000), 0) << served.text() << served.errors();
    EXPECT_EQ(pb.wait_exit(20000), 3) << pb.text() << pb.errors();
    EXPECT_EQ(ns.recv(0), "") << "more notifications than READY=1 and STOPPING=1";

    const std::string t = served.text();
    EXPECT_EQ(lines_with(t, " REG ").size() + lines_with(t, " PROV ").size(), 0u) << t;
    EXPECT_EQ(lines_with(t, " STOP SIGTERM").size(), 1u) << t;
    const std::vector<std::string> sum = lines_with(t, " SUMMARY S served ");
    const std::vector<std::string> core = lines_with(t, " CORE S ");
    ASSERT_EQ(sum.size(), 1u) << t;
    ASSERT_EQ(core.size(), 1u) << t;
    EXPECT_GE(field(sum[0], "connections"), 2);
    EXPECT_GE(field(core[0], "rx"), 1);
    EXPECT_GE(field(core[0], "delivered"), 1);
    EXPECT_GE(field(core[0], "tx"), 1);
    EXPECT_LT(t.find(" STOP SIGTERM"), t.find(" CORE S "));
}

// A core that cannot start never claims readiness: exit 1 with the reason,
// nothing on the notify socket; a second core on a live core's socket is
// refused and leaves the first serving (notified at a path, stopped by
// SIGINT). Contradicting options are refused.
TEST(ServeMode, FailedStartUpNeverNotifiesReadyAndBadOptionsAreRefused)
{
    const std::vector<uint16_t> p = free_ports(4);
    const std::string notifyPath = unique_path("notify");
    NotifySocket ns(notifyPath);
    ASSERT_TRUE(ns.bound());
    {
        StationFile srv("S", p[0], p[1], "");
        const std::string noDir = move_socket_to_missing_dir(srv);
        Proc served("srv");
        ASSERT_TRUE(start_notified(served, {kStation, "--serve", "-c", srv.path}, notifyPath));
        EXPECT_EQ(served.wait_exit(30000), 1) << served.text() << served.errors();
        EXPECT_NE(served.errors().find("start-up failed: the core did not start (-8)"),
                  std::string::npos) << served.errors();
        EXPECT_NE(served.errors().find(noDir), std::string::npos) << served.errors();
        EXPECT_EQ(lines_with(served.text(), " READY").size(), 0u) << served.text();
    }
    {
        StationFile first("S", p[0], p[1], "");
        StationFile second("T", p[2], p[3], "");
        std::string cfg = slurp(second.path);
        cfg.replace(cfg.find(second.sock), second.sock.size(), first.sock);
        spill(second.path, cfg);
        Proc one("one"), two("two");
        ASSERT_TRUE(start_notified(one, {kStation, "--serve", "-c", first.path}, notifyPath));
        ASSERT_EQ(ns.recv(30000), "READY=1\nSTATUS=serving on " + first.sock) << one.errors();
        ASSERT_TRUE(start_notified(two, {kStation, "--serve", "-c", second.path}, notifyPath));
        EXPECT_EQ(two.wait_exit(30000), 1) << two.text() << two.errors();
        const int fd = v2xtest::unix_connect(first.sock, 0);
        EXPECT_GE(fd, 0) << "the first core lost its socket";
        close(fd);
        one.signal(SIGINT);
        EXPECT_EQ(ns.recv(20000), "STOPPING=1");
        EXPECT_EQ(one.wait_exit(20000), 0) << one.text() << one.errors();
        EXPECT_EQ(lines_with(one.text(), " STOP SIGINT").size(), 1u) << one.text();
    }
    EXPECT_EQ(ns.recv(0), "");

    StationFile f("S", p[0], p[1], "");
    std::string out;
    EXPECT_EQ(run_station({"--serve", "--attach", "-c", f.path}, out), 2) << out;
    EXPECT_NE(out.find("choose one"), std::string::npos) << out;
    EXPECT_EQ(run_station({"--serve", "-d", "3", "-c", f.path}, out), 2) << out;
    EXPECT_NE(out.find("no --duration"), std::string::npos) << out;
}

// The service's example configuration passes the station's check, and its
// socket lies in the directory the unit makes.
TEST(ServiceFiles, ExampleConfigurationPassesTheCheckAndMatchesTheUnit)
{
    const std::string cfg = kPackaging + "station.cfg";
    std::string out;
    if (getgrnam("vestra") != nullptr) {
        ASSERT_EQ(run_station({"-c", cfg, "--check"}, out), 0) << out;
    } else {
        // Only the group is missing on this machine: the same file with
        // this process's own group passes.
        ASSERT_EQ(run_station({"-c", cfg, "--check"}, out), 2) << out;
        EXPECT_NE(out.find("station.sockGroup: no group named vestra"), std::string::npos) << out;
        const struct group* g = getgrgid(getegid());
        ASSERT_NE(g, nullptr);
        std::string text = slurp(cfg);
        const std::string key = "sockGroup = \"vestra\"";
        ASSERT_NE(text.find(key), std::string::npos);
        text.replace(text.find(key), key.size(), "sockGroup = \"" + std::string(g->gr_name) + "\"");
        const std::string copy = unique_path("svccfg") + ".cfg";
        spill(copy, text);
        const int rc = run_station({"-c", copy, "--check"}, out);
        unlink(copy.c_str());
        ASSERT_EQ(rc, 0) << out;
    }
    EXPECT_EQ(lines_with(out, "dmnNme = /run/vestra/v2x.sock").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "sockMode = 0660 ").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "send = 127.0.0.1:").size(), 1u) << out;
    EXPECT_EQ(lines_with(out, "rcv = 127.0.0.1:").size(), 1u) << out;

    const std::string unit = slurp(kPackaging + "v2x-station.service");
    EXPECT_EQ(lines_with(unit, "RuntimeDirectory=vestra").size(), 1u);
    EXPECT_EQ(lines_with(unit, "ExecStart=/usr/bin/v2x-station --serve -c /etc/vestra/station.cfg").size(), 1u);
    EXPECT_EQ(lines_with(unit, "Type=notify").size(), 1u);
}

// systemd's own check of the unit, with ExecStart pointing at this build's
// station (the check wants the program to exist). Every line it prints
// about the unit is a fault: it exits 0 for unknown keys and bad values.
TEST(ServiceFiles, UnitPassesSystemdAnalyzeVerify)
{
    if (!has_program("systemd-analyze")) {
        GTEST_SKIP() << "systemd-analyze is not installed (package systemd)";
    }
    std::string unit = slurp(kPackaging + "v2x-station.service");
    const std::string exec = "ExecStart=/usr/bin/v2x-station ";
    const size_t at = unit.find(exec);
    ASSERT_NE(at, std::string::npos);
    unit.replace(at, exec.size(), "ExecStart=" + kStation + " ");
    const std::string dir = unique_path("unit");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string path = dir + "/v2x-station.service";
    spill(path, unit);
    std::string out;
    const int rc = shell("SYSTEMD_LOG_COLOR=0 systemd-analyze verify '" + path + "'", out);
    unlink(path.c_str());
    rmdir(dir.c_str());
    const std::vector<std::string> about = lines_with(out, "v2x-station.service");
    if (rc != 0 && about.empty()) {
        GTEST_SKIP() << "systemd-analyze verify cannot run here: " << out;
    }
    EXPECT_EQ(rc, 0) << out;
    EXPECT_TRUE(about.empty()) << out;
}

// scripts/try-sysapi: sys-api-min with the board's addresses, in a network
// namespace, against radio-sim and a peer station; nothing of it is left.
TEST(TrySysapi, RunsTheExampleInANamespaceAndRemovesIt)
{
    if (getenv("V2X_UNDER_QEMU") != nullptr) {
        GTEST_SKIP() << "the script runs the build's programs natively";
    }
    if (geteuid() != 0) {
        GTEST_SKIP() << "a network namespace needs root";
    }
    if (!has_program("ip")) {
        GTEST_SKIP() << "ip (iproute2) is not installed";
    }
    std::string out;
    const int rc = shell("TRY_SYSAPI_BUILD='" + std::string(V2X_BINARY_DIR) + "' '" +
                             V2X_SOURCE_DIR + "/scripts/try-sysapi'",
                         out);
    if (rc == 2) {
        GTEST_SKIP() << "cannot run here: " << out;
    }
    ASSERT_EQ(rc, 0) << out;
    EXPECT_EQ(lines_with(out, "write: 22").size(), 1u) << out;
    size_t received = 0; // sys-api-min's lines: "aid=26 kind=BSM len=16"
    std::istringstream is(out);
    for (std::string line; std::getline(is, line);) {
        received += line.compare(0, 4, "aid=") == 0 ? 1 : 0;
    }
    EXPECT_EQ(received, 5u) << out;
    const std::vector<std::string> ns = lines_with(out, "network namespace v2x-try-");
    ASSERT_EQ(ns.size(), 1u) << out;
    const size_t b = ns[0].find("v2x-try-");
    const std::string name = ns[0].substr(b, ns[0].find(':', b) - b);
    std::string list;
    ASSERT_EQ(shell("ip netns list", list), 0) << list;
    EXPECT_EQ(list.find(name), std::string::npos) << list;
}

#endif
