// SPDX-License-Identifier: Apache-2.0
// Helpers of the product tests: station configuration files with this
// test's own socket paths and ports, and shell commands with their output.
#ifndef V2X_PRODUCT_SUPPORT_HPP
#define V2X_PRODUCT_SUPPORT_HPP

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_proc.h"
#include "core_harness.h"
#include "test_support.h"

namespace product {

using v2xtest::free_ports;
using v2xtest::Proc;
using v2xtest::slurp;

inline void spill(const std::string& path, const std::string& text)
{
    std::ofstream f(path);
    f << text;
}

inline std::vector<std::string> lines_with(const std::string& text, const std::string& needle)
{
    std::vector<std::string> out;
    std::istringstream is(text);
    std::string line;
    while (std::getline(is, line)) {
        if (line.find(needle) != std::string::npos) {
            out.push_back(line);
        }
    }
    return out;
}

// The number after "key=" in `line`, or -1.
inline long field(const std::string& line, const std::string& key)
{
    const size_t p = line.find(" " + key + "=");
    if (p == std::string::npos) {
        return -1;
    }
    return strtol(line.c_str() + p + key.size() + 2, nullptr, 10);
}

// Runs a shell command; returns its exit status and puts stdout+stderr in out.
inline int shell(const std::string& cmd, std::string& out)
{
    out.clear();
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    const int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

// A path or word quoted for the shell.
inline std::string q(const std::string& s)
{
    return "'" + s + "'";
}

// The first line of a command's output.
inline std::string first_line(const std::string& s)
{
    return s.substr(0, s.find('\n'));
}

// Runs a program with each argument quoted for the shell; like shell().
inline int run_args(const std::string& aicExe, const std::vector<std::string>& aicArgs,
                    std::string& out)
{
    std::string cmd = aicExe;
    for (const std::string& a : aicArgs) {
        cmd += " '" + a + "'";
    }
    return shell(cmd, out);
}

#ifdef V2X_STATION_PATH
// The example station of this build.
inline const std::string kStation = V2X_STATION_PATH;

// Runs the example station with arguments; like run_args().
inline int run_station(const std::vector<std::string>& aicArgs, std::string& out)
{
    return run_args(kStation, aicArgs, out);
}
#endif

// One station's configuration file with a socket path and ports of this
// test; `body` holds the lists (receive, send, providers) and extra keys.
struct StationFile {
    std::string name, path, sock;
    uint16_t sendPort = 0, rcvPort = 0;

    StationFile(const std::string& nm, uint16_t send, uint16_t rcv, const std::string& body,
                const std::string& groups = "")
        : name(nm), path(v2xtest::unique_path(("cfg" + nm).c_str()) + ".cfg"),
          sock(v2xtest::unique_path(("sock" + nm).c_str())), sendPort(send), rcvPort(rcv)
    {
        spill(path, groups + "station = {\n  name = \"" + name + "\";\n  dmnNme = \"" + sock +
                        "\";\n  sendIp = \"127.0.0.1\";\n  sendPort = " + std::to_string(send) +
                        ";\n  rcvIp = \"127.0.0.1\";\n  rcvPort = " + std::to_string(rcv) +
                        ";\n  macAddr = \"02:00:00:00:00:01\";\n" + body + "};\n");
    }
    ~StationFile()
    {
        unlink(path.c_str());
        unlink(sock.c_str());
    }
    std::string radio_spec() const
    {
        return name + ",127.0.0.1:" + std::to_string(sendPort) + ",127.0.0.1:" +
               std::to_string(rcvPort);
    }
};

// Points the file's socket into a directory that does not exist, so the core
// cannot bind it; returns the new path.
inline std::string move_socket_to_missing_dir(const StationFile& f)
{
    const std::string noDir = v2xtest::unique_path("nodir") + "/sub/x.sock";
    std::string cfg = slurp(f.path);
    cfg.replace(cfg.find(f.sock), f.sock.size(), noDir);
    spill(f.path, cfg);
    return noDir;
}

} // namespace product

#endif
