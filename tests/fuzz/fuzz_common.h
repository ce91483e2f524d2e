// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the fuzz entry functions.
#ifndef V2X_FUZZ_COMMON_H
#define V2X_FUZZ_COMMON_H

#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <poll.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core_app.h"
#include "v2x_types.h"

// A failed property: the message names the entry and the line, then the
// process aborts so that both libFuzzer and the replay test see it.
#define V2XF_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            fprintf(stderr, "fuzz property failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            abort();                                                                       \
        }                                                                                  \
    } while (0)

namespace v2xfuzz {

// Cuts a stream into pieces whose sizes follow from one seed byte: the top
// three bits pick the largest piece, the rest seeds a small generator. After
// kSmallPieces pieces the rest goes in the largest pieces allowed, which
// keeps a run short (every piece costs a write and a read) while the first
// messages still end at every possible place.
class Splitter {
public:
    Splitter(uint8_t aicSeed, size_t aicMaxCap)
    {
        static const size_t kMax[8] = {1, 3, 7, 16, 64, 300, 1500, 4095};
        cap_ = aicMaxCap;
        max_ = kMax[aicSeed >> 5];
        if (max_ > aicMaxCap) {
            max_ = aicMaxCap;
        }
        state_ = 0x9E3779B9u ^ aicSeed;
    }
    // Size of the next piece when `left` bytes remain: 1..min(left, max).
    size_t next(size_t left)
    {
        if (++pieces_ > kSmallPieces) {
            return cap_ < left ? cap_ : left;
        }
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        size_t n = 1 + state_ % max_;
        return n < left ? n : left;
    }

    static constexpr unsigned kSmallPieces = 24;

private:
    size_t cap_ = 1;
    unsigned pieces_ = 0;
    size_t max_ = 1;
    uint32_t state_ = 1;
};

// Open sockets of the process: what a connection that is not closed again
// leaves behind. Other descriptors are not counted, since the fuzzing engine
// opens pipes of its own at times (its leak check runs a tracer).
inline int open_sockets()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return -1;
    }
    char target[64];
    while (struct dirent* e = readdir(d)) {
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t len = readlink(link.c_str(), target, sizeof(target) - 1);
        if (len > 0 && strncmp(target, "socket:", 7) == 0) {
            ++n;
        }
    }
    closedir(d);
    return n;
}

// Socket paths handed out, removed when the process exits.
inline std::vector<std::string>& made_paths()
{
    static std::vector<std::string> paths;
    return paths;
}

inline void remove_made_paths()
{
    for (const std::string& p : made_paths()) {
        unlink(p.c_str());
    }
}

// A socket path of this process for one entry; the file goes at exit.
inline std::string sock_path(const char* aipcTag)
{
    std::string p = std::string("/tmp/v2xfuzz-") + aipcTag + "-" + std::to_string(getpid());
    if (made_paths().empty()) {
        atexit(remove_made_paths);
    }
    made_paths().push_back(p);
    return p;
}

inline struct sockaddr_un unix_addr(const std::string& aicPath)
{
    struct sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    V2XF_CHECK(aicPath.size() < sizeof(a.sun_path));
    memcpy(a.sun_path, aicPath.data(), aicPath.size());
    return a;
}

// A listening socket at a fresh path (a leftover file is removed first).
inline int listen_at(const std::string& aicPath)
{
    unlink(aicPath.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    V2XF_CHECK(fd >= 0);
    const struct sockaddr_un a = unix_addr(aicPath);
    V2XF_CHECK(bind(fd, reinterpret_cast<const struct sockaddr*>(&a), sizeof(a)) == 0);
    V2XF_CHECK(listen(fd, 4) == 0);
    return fd;
}

// A stand-in core listening at a fresh path for aipcTag, and a client
// configuration that names it; the listening socket.
inline int listen_as_core(tV2XSDKCfg& aopCfg, const char* aipcTag)
{
    memset(&aopCfg, 0, sizeof(aopCfg));
    const std::string path = sock_path(aipcTag);
    memcpy(aopCfg.dmnNme, path.data(), path.size());
    return listen_at(path);
}

// The stand-in core's greeter: one thread for the whole process accepts
// and greets each connection asked of it. A thread started per run cost more
// than the rest of the run (under the sanitizers its stack is mapped and
// unmapped each time, a TLB flush on every CPU) and held the socket targets
// at the fuzz stage's speed floor.
class Greeter {
public:
    // Never destroyed: its thread runs until the process ends.
    static Greeter& get()
    {
        static Greeter* g = new Greeter();
        return *g;
    }
    // Accepts one connection on aicLsn within 5 s and greets it as the core
    // does; collect() gives the accepted descriptor, or -1.
    void ask(int aicLsn)
    {
        std::lock_guard<std::mutex> l(mu_);
        lsn_ = aicLsn;
        fd_ = -1;
        state_ = State::Asked;
        cv_.notify_all();
    }
    int collect()
    {
        std::unique_lock<std::mutex> l(mu_);
        cv_.wait(l, [this] { return state_ == State::Done; });
        state_ = State::Idle;
        return fd_;
    }

private:
    enum class State { Idle, Asked, Done };

    Greeter() { std::thread([this] { run(); }).detach(); }

    void run()
    {
        for (;;) {
            int lsn;
            {
                std::unique_lock<std::mutex> l(mu_);
                cv_.wait(l, [this] { return state_ == State::Asked; });
                lsn = lsn_;
            }
            const int fd = accept_and_greet(lsn);
            std::lock_guard<std::mutex> l(mu_);
            fd_ = fd;
            state_ = State::Done;
            cv_.notify_all();
        }
    }

    static int accept_and_greet(int aicLsn)
    {
        struct pollfd pf = {aicLsn, POLLIN, 0};
        int fd = poll(&pf, 1, 5000) == 1 ? accept(aicLsn, nullptr, nullptr) : -1;
        const tV2XCtlGreeting g = {V2X_CTL_VERSION, V2X_CTL_WELCOME, 1, 64, 48, 0};
        char msg[V2X_CORE_APP_HDR_LEN + sizeof(g)];
        const uint32_t type = V2X_CTL_GREETING;
        const uint16_t len = sizeof(g);
        memcpy(msg, &type, sizeof(type));
        memcpy(msg + sizeof(type), &len, sizeof(len));
        memcpy(msg + V2X_CORE_APP_HDR_LEN, &g, sizeof(g));
        if (fd >= 0 && send(fd, msg, sizeof(msg), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(msg))) {
            close(fd);
            fd = -1;
        }
        return fd;
    }

    std::mutex mu_;
    std::condition_variable cv_;
    State state_ = State::Idle;
    int lsn_ = -1;
    int fd_ = -1;
};

// Runs aicConnect (a client's connect, which waits for the core's greeting)
// while the greeter accepts one connection on aicLsn within 5 s and greets
// it as the core does. The accepted descriptor, or -1; *aopRc is
// aicConnect's result.
template <typename F>
int accept_greeted(int aicLsn, F aicConnect, int* aopRc)
{
    Greeter& g = Greeter::get();
    g.ask(aicLsn);
    *aopRc = aicConnect();
    return g.collect();
}

inline int connect_to(const std::string& aicPath)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    V2XF_CHECK(fd >= 0);
    const struct sockaddr_un a = unix_addr(aicPath);
    V2XF_CHECK(connect(fd, reinterpret_cast<const struct sockaddr*>(&a), sizeof(a)) == 0);
    return fd;
}

// Reference reassembly of the core's messages, written from the stream's
// rules alone: 6-byte header (type, length), the payload, and a header that
// cannot belong to its type drops everything held.
enum class RefNext { More, Msg, Drop };
struct RefRx {
    std::string held;
    bool (*hdr_ok)(uint32_t, uint32_t) = nullptr;

    RefNext next(uint32_t& aopType, uint16_t& aopLen, std::string& aopPayload)
    {
        if (held.size() < V2X_CORE_APP_HDR_LEN) {
            return RefNext::More;
        }
        memcpy(&aopType, held.data(), 4);
        memcpy(&aopLen, held.data() + 4, 2);
        if (!hdr_ok(aopType, aopLen)) {
            held.clear();
            return RefNext::Drop;
        }
        if (held.size() - V2X_CORE_APP_HDR_LEN < aopLen) {
            return RefNext::More;
        }
        aopPayload = held.substr(V2X_CORE_APP_HDR_LEN, aopLen);
        held.erase(0, V2X_CORE_APP_HDR_LEN + aopLen);
        return RefNext::Msg;
    }
};

}  // namespace v2xfuzz

#endif
