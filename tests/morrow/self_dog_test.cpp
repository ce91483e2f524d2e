// SPDX-License-Identifier: Apache-2.0
// Watchdog feeder against a small watchdog-service stand-in: a
// Unix-socket listener that records what it receives.
#include <gtest/gtest.h>

#include <event2/event.h>
#include <libconfig.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "morrow_tool_helpers.hpp"
#include "self_dog.h"
#include "test_support.h"

using mtest::LiveCapture;
using mtest::wait_until;
using v2xtest::count_lines_with;
using Clock = std::chrono::steady_clock;

namespace {

// Accepts connections and records every chunk it reads with its arrival
// time; can drop the current connection on request.
class WatchdogStandIn {
public:
    explicit WatchdogStandIn(const std::string& path) : path_(path)
    {
        lfd_ = mtest::unix_listen(path);
        if (lfd_ >= 0) {
            th_ = std::thread([this] { run(); });
        }
    }
    ~WatchdogStandIn()
    {
        stop_ = true;
        if (th_.joinable()) {
            th_.join();
        }
        if (cfd_ >= 0) {
            close(cfd_);
        }
        if (lfd_ >= 0) {
            close(lfd_);
        }
        unlink(path_.c_str());
    }
    bool ok() const { return lfd_ >= 0; }
    void drop_connection() { drop_ = true; }
    int accepted() const { return accepted_.load(); }
    std::vector<std::pair<Clock::time_point, std::string>> chunks()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return chunks_;
    }
    std::string all_bytes()
    {
        std::string s;
        for (auto& c : chunks()) {
            s += c.second;
        }
        return s;
    }

private:
    void run()
    {
        while (!stop_) {
            if (drop_ && cfd_ >= 0) {
                close(cfd_);
                cfd_ = -1;
                drop_ = false;
            }
            struct pollfd p[2] = {{lfd_, POLLIN, 0}, {cfd_, POLLIN, 0}};
            int n = poll(p, cfd_ >= 0 ? 2 : 1, 10);
            if (n <= 0) {
                continue;
            }
            if ((p[0].revents & POLLIN) != 0) {
                int fd = accept(lfd_, nullptr, nullptr);
                if (fd >= 0) {
                    ++accepted_;
                    if (cfd_ >= 0) {
                        close(cfd_);
                    }
                    cfd_ = fd;
                }
            }
            if (cfd_ >= 0 && (p[1].revents & (POLLIN | POLLHUP)) != 0) {
                char buf[512];
                ssize_t r = recv(cfd_, buf, sizeof(buf), MSG_DONTWAIT);
                if (r > 0) {
                    std::lock_guard<std::mutex> lk(mu_);
                    chunks_.emplace_back(Clock::now(), std::string(buf, static_cast<size_t>(r)));
                } else if (r == 0) {
                    close(cfd_);
                    cfd_ = -1;
                }
            }
        }
    }

    std::string path_;
    int lfd_ = -1;
    int cfd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> drop_{false};
    std::atomic<int> accepted_{0};
    std::thread th_;
    std::mutex mu_;
    std::vector<std::pair<Clock::time_point, std::string>> chunks_;
};

tFeddogCfg make_cfg(uint32_t sec, uint32_t usec, const std::string& name, const std::string& path)
{
    tFeddogCfg c;
    memset(&c, 0, sizeof(c));
    c.feddogSec = sec;
    c.feddogUSec = usec;
    snprintf(c.feddogNme, sizeof(c.feddogNme), "%s", name.c_str());
    snprintf(c.txFeddogHtDmNme, sizeof(c.txFeddogHtDmNme), "%s", path.c_str());
    return c;
}

const std::string kDmnBeat("\x00\x00\x00\x00\x03\x64\x6d\x6e", 8);

class Feeder : public ::testing::Test {
protected:
    void TearDown() override { self_feddog_exit(); }
    std::string path = v2xtest::unique_path("dog");
};

}  // namespace

// Period 1.5 s, name "dmn": 00 00 00 00 03 64 6D 6E,
// the first one period after the start.
TEST_F(Feeder, EightBytesEveryPeriodForDmn)
{
    WatchdogStandIn svc(path);
    ASSERT_TRUE(svc.ok());
    tFeddogCfg cfg = make_cfg(1, 500000, "dmn", path);
    auto t0 = Clock::now();
    ASSERT_EQ(self_feddog_init(&cfg), 0);
    ASSERT_TRUE(wait_until([&] { return svc.all_bytes().size() >= 16; }, 5000));
    auto chunks = svc.chunks();
    EXPECT_EQ(svc.all_bytes().substr(0, 16), kDmnBeat + kDmnBeat);
    using ms = std::chrono::milliseconds;
    auto first = std::chrono::duration_cast<ms>(chunks[0].first - t0).count();
    EXPECT_GE(first, 1400);
    EXPECT_LE(first, 2500);
    if (chunks.size() >= 2) {
        auto gap = std::chrono::duration_cast<ms>(chunks[1].first - chunks[0].first).count();
        EXPECT_GE(gap, 1400);
        EXPECT_LE(gap, 2500);
    }
    EXPECT_EQ(self_feddog_exit(), 0);
}

TEST_F(Feeder, FastPeriodSteadyHeartbeats)
{
    WatchdogStandIn svc(path);
    ASSERT_TRUE(svc.ok());
    tFeddogCfg cfg = make_cfg(0, 50000, "proc-A", path);
    ASSERT_EQ(self_feddog_init(&cfg), 0);
    const std::string beat = std::string("\x00\x00\x00\x00\x06", 5) + "proc-A";
    ASSERT_TRUE(wait_until([&] { return svc.all_bytes().size() >= beat.size() * 5; }, 5000));
    EXPECT_EQ(self_feddog_exit(), 0);
    std::string all = svc.all_bytes();
    ASSERT_EQ(all.size() % beat.size(), 0u);
    for (size_t i = 0; i < all.size(); i += beat.size()) {
        ASSERT_EQ(all.substr(i, beat.size()), beat) << i;
    }
    EXPECT_EQ(svc.accepted(), 1);
}

// The largest period is cut to a day: no heartbeat storm where a 32-bit
// time_t would have overflowed (the cross-test runs this under qemu-arm).
TEST_F(Feeder, LargestPeriodStaysIdle)
{
    WatchdogStandIn svc(path);
    ASSERT_TRUE(svc.ok());
    tFeddogCfg cfg = make_cfg(4294967295u, 999999, "proc-L", path);
    ASSERT_EQ(self_feddog_init(&cfg), 0);
    ASSERT_TRUE(wait_until([&] { return svc.accepted() == 1; }, 5000));
    usleep(500 * 1000);  // a window: no second heartbeat within it
    EXPECT_EQ(self_feddog_exit(), 0);
    EXPECT_LE(svc.all_bytes().size(), 11u);  // at most one heartbeat
}

// When the service goes away: one "Server close------", no reconnect, no
// more bytes, the process goes on, and the stop works.
TEST_F(Feeder, ServerCloseIsLoggedOnceAndFeedingStops)
{
    WatchdogStandIn svc(path);
    ASSERT_TRUE(svc.ok());
    tFeddogCfg cfg = make_cfg(0, 30000, "dmn", path);
    LiveCapture cap;
    ASSERT_EQ(self_feddog_init(&cfg), 0);
    ASSERT_TRUE(wait_until([&] { return svc.all_bytes().size() >= 16; }, 3000));
    svc.drop_connection();
    ASSERT_TRUE(cap.wait_for_text("Server close------", 3000))
        << cap.text();
    size_t bytes = svc.all_bytes().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a window of ~10 periods: nothing sent
    EXPECT_EQ(svc.all_bytes().size(), bytes);
    EXPECT_EQ(svc.accepted(), 1);  // no reconnect
    EXPECT_EQ(self_feddog_exit(), 0);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "Server close------"), 1);
    EXPECT_NE(out.find("[OFF:"), std::string::npos);
    EXPECT_EQ(svc.all_bytes().size() % 8, 0u);
}

TEST_F(Feeder, StopTwiceAndWithoutStart)
{
    EXPECT_EQ(self_feddog_exit(), 0);
    WatchdogStandIn svc(path);
    ASSERT_TRUE(svc.ok());
    tFeddogCfg cfg = make_cfg(5, 0, "dmn", path);
    ASSERT_EQ(self_feddog_init(&cfg), 0);
    ASSERT_TRUE(wait_until([&] { return svc.accepted() == 1; }, 3000));
    LiveCapture cap;
    auto t0 = Clock::now();
    EXPECT_EQ(self_feddog_exit(), 0);
    EXPECT_EQ(self_feddog_exit(), 0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(),
              1000);
    std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "Wait _feddog_func_pth() pthread stop------"), 1);
    EXPECT_EQ(count_lines_with(out, "_feddog_func_pth() pthread already stop------"), 1);
    EXPECT_TRUE(svc.all_bytes().empty());  // stopped before the first period
}

TEST_F(Feeder, MissingServiceLogsConnectErrorAndThreadEnds)
{
    LiveCapture cap;
    tFeddogCfg cfg = make_cfg(0, 100000, "dmn", path + "-nobody");
    ASSERT_EQ(self_feddog_init(&cfg), 0);
    ASSERT_TRUE(cap.wait_for_text("_feed_dog_init() err!!!!", 3000))
        << cap.text();
    EXPECT_EQ(self_feddog_exit(), 0);
    std::string out = cap.stop();
    EXPECT_NE(out.find("connect() err, msg:No such file or directory!!!!!!"), std::string::npos)
        << out;
    EXPECT_NE(out.find("_unix_socket_connect() err!!!!"), std::string::npos);
}

// Mended fault: a service path of 108 bytes or more is refused with the
// connect code and an ERROR line, never cut; long names never overflow.
TEST_F(Feeder, OverlongPathRefusedAndNameLimits)
{
    std::string longPath = path + "-" + std::string(120, 'L');
    longPath.resize(108);
    // A listener at the shortened path must not be reached.
    std::string cut = longPath.substr(0, 107);
    WatchdogStandIn decoy(cut);
    ASSERT_TRUE(decoy.ok());
    struct event_base* base = event_base_new();
    tFeddogCfg cfg = make_cfg(0, 10000, "dmn", longPath);
    LiveCapture cap;
    EXPECT_EQ(_feed_dog_init(base, &cfg), -ERR_SOCKET_CONNECT_DOG);
    std::string out = cap.stop();
    EXPECT_NE(out.find("connect() err, msg:File name too long!!!!!!"), std::string::npos) << out;
    self_feddog_exit();
    event_base_free(base);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a window: no connect reaches the decoy
    EXPECT_EQ(decoy.accepted(), 0);

    // A name filling all 64 bytes without a terminating zero: 64 name bytes
    // on the wire, nothing read beyond the field.
    WatchdogStandIn svc(path);
    ASSERT_TRUE(svc.ok());
    tFeddogCfg full = make_cfg(0, 20000, "", path);
    memset(full.feddogNme, 'N', sizeof(full.feddogNme));
    ASSERT_EQ(self_feddog_init(&full), 0);
    ASSERT_TRUE(wait_until([&] { return svc.all_bytes().size() >= 69; }, 3000));
    EXPECT_EQ(self_feddog_exit(), 0);
    std::string all = svc.all_bytes();
    EXPECT_EQ(static_cast<uint8_t>(all[4]), 64);
    EXPECT_EQ(all.substr(5, 64), std::string(64, 'N'));
}

TEST_F(Feeder, LoadCfgLimitsAndMissingGroup)
{
    config_t cfg;
    config_init(&cfg);
    std::string name(100, 'a');
    std::string p(300, 'p');
    std::string text = "dog = { feddogSec = 2; feddogUSec = 250000; feddogNme = \"" + name +
                       "\"; txFeddogHtDmNme = \"" + p + "\"; }; part = { feddogSec = 9; };";
    ASSERT_EQ(config_read_string(&cfg, text.c_str()), CONFIG_TRUE);
    tFeddogCfg c = make_cfg(1, 1, "keep", "/keep");
    LiveCapture cap;
    EXPECT_EQ(load_feeddog_cfg(&c, "nodog", &cfg), -15);
    std::string out = cap.stop();
    EXPECT_NE(out.find("config_lookup(\"nodog\") err!!!!"), std::string::npos);
    EXPECT_EQ(c.feddogSec, 1u);
    EXPECT_STREQ(c.feddogNme, "keep");
    EXPECT_EQ(load_feeddog_cfg(&c, "part", &cfg), 0);
    EXPECT_EQ(c.feddogSec, 9u);
    EXPECT_EQ(c.feddogUSec, 1u);
    EXPECT_STREQ(c.txFeddogHtDmNme, "/keep");
    EXPECT_EQ(load_feeddog_cfg(&c, "dog", &cfg), 0);
    EXPECT_EQ(c.feddogSec, 2u);
    EXPECT_EQ(c.feddogUSec, 250000u);
    EXPECT_EQ(std::string(c.feddogNme), std::string(62, 'a'));
    EXPECT_EQ(strlen(c.txFeddogHtDmNme), 254u);
    // A negative period would read as a huge unsigned one: refused, record
    // unchanged.
    ASSERT_EQ(config_read_string(&cfg, "neg = { feddogSec = -1; }; negu = { feddogUSec = -5; };"),
              CONFIG_TRUE);
    EXPECT_EQ(load_feeddog_cfg(&c, "neg", &cfg), -16);
    EXPECT_EQ(load_feeddog_cfg(&c, "negu", &cfg), -16);
    EXPECT_EQ(c.feddogSec, 2u);
    EXPECT_EQ(c.feddogUSec, 250000u);
    config_destroy(&cfg);
}

// A period below FEDDOG_MIN_PERIOD_US (0 spun the feeder thread) is refused
// by every call that takes one, before anything is started or opened; the
// minimum itself is taken.
TEST_F(Feeder, PeriodBelowTheMinimumIsRefusedEverywhere)
{
    WatchdogStandIn svc(path);
    ASSERT_TRUE(svc.ok());
    struct event_base* base = event_base_new();
    ASSERT_NE(base, nullptr);
    LiveCapture cap;
    const int fds = v2xtest::open_fd_count();
    tFeddogCfg zero = make_cfg(0, 0, "dmn", path);
    EXPECT_EQ(self_feddog_init(&zero), -ERR_PARAM_CONTENT_DOG);
    tFeddogCfg under = make_cfg(0, FEDDOG_MIN_PERIOD_US - 1, "dmn", path);
    EXPECT_EQ(self_feddog_init(&under), -ERR_PARAM_CONTENT_DOG);
    EXPECT_EQ(_feed_dog_init(base, &zero), -ERR_PARAM_CONTENT_DOG);
    EXPECT_EQ(v2xtest::open_fd_count(), fds);  // no socket, no thread's base
    event_base_free(base);

    config_t cfg;
    config_init(&cfg);
    ASSERT_EQ(config_read_string(&cfg, "z = { feddogSec = 0; feddogUSec = 0; };"
                                       "u = { feddogUSec = 9999; }; ok = { feddogUSec = 10000; };"),
              CONFIG_TRUE);
    tFeddogCfg c = make_cfg(0, 500000, "keep", path);
    EXPECT_EQ(load_feeddog_cfg(&c, "z", &cfg), -ERR_PARAM_CONTENT_DOG);
    EXPECT_EQ(load_feeddog_cfg(&c, "u", &cfg), -ERR_PARAM_CONTENT_DOG);
    EXPECT_EQ(c.feddogUSec, 500000u);  // unchanged
    EXPECT_EQ(load_feeddog_cfg(&c, "ok", &cfg), 0);
    EXPECT_EQ(c.feddogUSec, FEDDOG_MIN_PERIOD_US);
    config_destroy(&cfg);
    const std::string out = cap.stop();
    EXPECT_EQ(count_lines_with(out, "us minimum period err!!!!"), 5) << out;

    // Nothing ran from the refusals: the minimum starts the one feeder.
    ASSERT_EQ(self_feddog_init(&c), 0);
    const std::string beat = std::string("\x00\x00\x00\x00\x04", 5) + "keep";
    ASSERT_TRUE(wait_until([&] { return svc.all_bytes().size() >= beat.size() * 3; }, 5000));
    EXPECT_EQ(self_feddog_exit(), 0);
    EXPECT_EQ(svc.accepted(), 1);
    EXPECT_EQ(svc.all_bytes().substr(0, beat.size()), beat);
}
