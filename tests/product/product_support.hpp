// Helpers of the product tests: child processes with their output in files,
// station configuration files with this test's own socket paths and ports,
// and shell commands with their output.
#ifndef V2X_PRODUCT_SUPPORT_HPP
#define V2X_PRODUCT_SUPPORT_HPP

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core_harness.h"
#include "test_support.h"

extern char** environ;

namespace product {

inline std::string slurp(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

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

// A child process with stdout and stderr in files of its own; killed and
// reaped when the object goes.
class Proc {
public:
    explicit Proc(const char* tag) : out(v2xtest::unique_path(tag) + ".out"), err(out + ".err") {}
    ~Proc()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(out.c_str());
        unlink(err.c_str());
    }
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    bool start(const std::vector<std::string>& args)
    {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            pid_ = -1;
        }
        return rc == 0;
    }
    bool wait_text(const std::string& needle, int timeout_ms, bool in_err = false) const
    {
        for (int t = 0; t < timeout_ms; t += 20) {
            if (slurp(in_err ? err : out).find(needle) != std::string::npos) {
                return true;
            }
            usleep(20 * 1000);
        }
        return false;
    }
    // Exit status (128 + signal when killed by one), or -1 when the process
    // is still running after the timeout.
    int wait_exit(int timeout_ms)
    {
        for (int t = 0; t < timeout_ms; t += 20) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            usleep(20 * 1000);
        }
        return -1;
    }
    void signal(int sig) const
    {
        if (pid_ > 0) {
            kill(pid_, sig);
        }
    }
    std::string text() const { return slurp(out); }
    std::string errors() const { return slurp(err); }
    const std::string out, err;

private:
    pid_t pid_ = -1;
};

// Distinct free UDP ports on 127.0.0.1 (held together while chosen).
inline std::vector<uint16_t> free_ports(size_t n)
{
    std::vector<v2xtest::UdpPeer> held(n);
    std::vector<uint16_t> p;
    for (const v2xtest::UdpPeer& u : held) {
        p.push_back(u.port());
    }
    return p;
}

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

} // namespace product

#endif
