// SPDX-License-Identifier: Apache-2.0
// Child processes of the tests (the tools, example stations) with their
// output in files of their own, and free loopback ports for them.
#ifndef V2X_CHILD_PROC_H
#define V2X_CHILD_PROC_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core_harness.h"
#include "test_support.h"

extern char** environ;

namespace v2xtest {

// Everything a file holds ("" when it cannot be read).
inline std::string slurp(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A child process with stdout and stderr in files of its own; killed and
// reaped when the object goes.
class Proc {
public:
    explicit Proc(const char* tag) : out(unique_path(tag) + ".out"), err(out + ".err") {}
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
        return v2xtest::wait_for(
            [&] { return slurp(in_err ? err : out).find(needle) != std::string::npos; },
            timeout_ms);
    }
    // Exit status (128 + signal when killed by one), or -1 when the process
    // is still running after the timeout.
    int wait_exit(int timeout_ms)
    {
        int st = 0;
        if (!v2xtest::wait_for([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, timeout_ms)) {
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    void signal(int sig) const
    {
        if (pid_ > 0) {
            kill(pid_, sig);
        }
    }
    // SIGTERM, then up to 5 s for the process to end.
    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            wait_exit(5000);
        }
    }
    std::string text() const { return slurp(out); }
    std::string errors() const { return slurp(err); }
    const std::string out, err;

private:
    pid_t pid_ = -1;
};

// Distinct free UDP ports on 127.0.0.1 (held together while chosen).
// Never one of traceroute's (33434-33534): Wireshark marks UDP to those as
// a possible traceroute, which the dissector's test would read as its own.
// They come from free_udp_ports: below the kernel's ephemeral range, so no
// other test's bind to port 0 takes one before the child binds it.
inline std::vector<uint16_t> free_ports(size_t n)
{
    std::vector<uint16_t> p;
    for (int round = 0; p.size() < n && round < 20; ++round) {
        for (const uint16_t port : free_udp_ports(n - p.size())) {
            if ((port < 33434 || port > 33534) &&
                std::find(p.begin(), p.end(), port) == p.end()) {
                p.push_back(port);
            }
        }
    }
    return p;
}

}  // namespace v2xtest

#endif
