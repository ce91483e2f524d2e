// SPDX-License-Identifier: Apache-2.0
// A stand-in for the core's application socket: a Unix-domain listener that
// records what the client writes and writes crafted bytes back, plus a
// daemon client connected to it on an event loop of the test's own.
#ifndef V2X_TEST_FAKE_CORE_H
#define V2X_TEST_FAKE_CORE_H

#include <event2/event.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core_harness.h"
#include "cv2x_app.h"
#include "test_support.h"
#include "v2x_evthread.hpp"

namespace v2xtest {

class FakeCore {
public:
    // Like the core, it greets the client it accepts with aicGreet (a
    // V2X_CTL_WELCOME or V2X_CTL_REFUSED_* status; a refused client is closed
    // right after), on a thread of its own, since the client waits for the
    // greeting inside its connect. kNoGreeting: accept_client() accepts and
    // nothing is sent.
    static constexpr int kNoGreeting = -1;
    explicit FakeCore(const std::string& path, int aicGreet = V2X_CTL_WELCOME) : path_(path)
    {
        unlink(path.c_str());
        lfd_ = unix_listen(path);
        if (lfd_ >= 0 && aicGreet != kNoGreeting) {
            greeter_ = std::thread([this, aicGreet] { greet_one(static_cast<uint32_t>(aicGreet)); });
        }
    }
    ~FakeCore()
    {
        stop_ = true;
        if (greeter_.joinable()) {
            greeter_.join();
        }
        if (cfd_ >= 0) {
            close(cfd_);
        }
        if (lfd_ >= 0) {
            close(lfd_);
        }
        unlink(path_.c_str());
    }
    bool listening() const { return lfd_ >= 0; }
    // Accepts the client within timeout_ms (with a greeting: waits until the
    // greeter has accepted and greeted it).
    bool accept_client(int timeout_ms = 5000)
    {
        if (greeter_.joinable()) {
            v2xtest::wait_for([this] { return greeted_.load(); }, timeout_ms);
            stop_ = true;
            greeter_.join();
            return cfd_ >= 0;
        }
        struct pollfd p = {lfd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) {
            return false;
        }
        cfd_ = accept(lfd_, nullptr, nullptr);
        return cfd_ >= 0;
    }
    int fd() const { return cfd_; }
    void close_client()
    {
        if (cfd_ >= 0) {
            close(cfd_);
            cfd_ = -1;
        }
    }

private:
    void greet_one(uint32_t aicStatus)
    {
        while (!stop_) {
            struct pollfd p = {lfd_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) {
                continue;
            }
            const int fd = accept(lfd_, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            const Bytes g = greeting_msg(aicStatus);
            if (!write_all(fd, g) || aicStatus != V2X_CTL_WELCOME) {
                close(fd);
            } else {
                cfd_ = fd;
            }
            greeted_ = true;
            return;
        }
    }

    std::string path_;
    int lfd_ = -1;
    int cfd_ = -1;
    std::thread greeter_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> greeted_{false};
};

// A daemon client connected to a FakeCore, its events dispatched on a thread
// of the test (as the runtime thread would).
class ClientLoop {
public:
    ClientLoop() : path(unique_path("fk")), core(path)
    {
        v2x_event_threads_ready();
        memset(&cfg, 0, sizeof(cfg));
        memcpy(cfg.dmnNme, path.data(), path.size());
        base = event_base_new();
        v2x_app_dme_init();
        v2x_app_dme_dsm_init();
    }
    ~ClientLoop() { stop(); }
    // Connects and starts dispatching; true when the fake core accepted.
    bool start()
    {
        if (v2x_domn_clit_init(&cfg, base) != 0 || !core.accept_client()) {
            return false;
        }
        loop = std::thread([this] {
            event_base_dispatch(base);
            loop_ended = true;
        });
        return true;
    }
    void stop()
    {
        if (base == nullptr) {
            return;
        }
        event_base_loopexit(base, nullptr);
        if (loop.joinable()) {
            loop.join();
        }
        v2x_domn_clit_exit();
        v2x_app_dme_exit();
        v2x_app_dme_dsm_exit();
        event_base_free(base);
        base = nullptr;
    }

    std::string path;
    FakeCore core;
    tV2XSDKCfg cfg;
    struct event_base* base = nullptr;
    std::thread loop;
    std::atomic<bool> loop_ended{false};
};

// A V2X_DSM_IND message as the core writes it.
inline Bytes dsm_ind_msg(uint32_t aid, const Bytes& data, uint8_t ver = 1, uint8_t prio = 0)
{
    Bytes p;
    p.push_back(ver);
    uint8_t t[4];
    memcpy(t, &aid, 4);
    p.insert(p.end(), t, t + 4);
    p.insert(p.end(), 6, 0xFF);
    p.push_back(prio);
    uint16_t len = static_cast<uint16_t>(data.size());
    memcpy(t, &len, 2);
    p.insert(p.end(), t, t + 2);
    p.insert(p.end(), data.begin(), data.end());
    return app_msg(V2X_DSM_IND, p);
}

// A provider or user confirm (type 4 or 6) as the core writes it.
inline Bytes serv_cfm_msg(uint32_t type, uint16_t lcl, uint32_t ret)
{
    Bytes p(6);
    memcpy(p.data(), &lcl, 2);
    memcpy(p.data() + 2, &ret, 4);
    return app_msg(type, p);
}

}  // namespace v2xtest

#endif
