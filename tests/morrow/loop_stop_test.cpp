// SPDX-License-Identifier: Apache-2.0
// The stop request of the event-loop threads: a stop asked for before the
// loop runs is kept, a stop from another thread ends a loop whose base has
// no lock (what libevent builds when that allocation fails) without touching
// the base from that thread, and the wake-up goes with the base.
#include <gtest/gtest.h>

#include <event2/event.h>

#include <atomic>
#include <thread>

#include "test_support.h"
#include "v2x_evthread.hpp"

namespace {

// A base without its lock, and a timer that ends the loop after 20 s should
// the stop be lost; `timedOut` tells which of the two ended it.
struct LocklessLoop {
    struct event_base* base = nullptr;
    struct event* guard = nullptr;
    std::atomic<bool> timedOut{false};

    LocklessLoop()
    {
        struct event_config* cfg = event_config_new();
        event_config_set_flag(cfg, EVENT_BASE_FLAG_NOLOCK);
        base = event_base_new_with_config(cfg);
        event_config_free(cfg);
        guard = evtimer_new(base, on_guard, this);
        struct timeval tv = {20, 0};
        evtimer_add(guard, &tv);
    }
    ~LocklessLoop()
    {
        event_free(guard);
        event_base_free(base);
    }
    static void on_guard(evutil_socket_t, short, void* arg)
    {
        auto* self = static_cast<LocklessLoop*>(arg);
        self->timedOut = true;
        event_base_loopbreak(self->base);
    }
};

}  // namespace

TEST(LoopStop, StopAskedBeforeTheLoopRunsIsKept)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    LocklessLoop loop;
    ASSERT_NE(loop.base, nullptr);
    struct event_base* slot = nullptr;
    V2xLoopStop stop(slot);
    stop.clear();
    ASSERT_TRUE(stop.attach(loop.base));
    EXPECT_EQ(slot, loop.base);
    stop.request();
    EXPECT_TRUE(stop.requested());
    event_base_dispatch(loop.base);
    EXPECT_FALSE(loop.timedOut) << "the stop was lost";
    EXPECT_FALSE(stop.detach_unless_requested(&slot));
    EXPECT_EQ(stop.detach(), loop.base);
    EXPECT_EQ(slot, nullptr);
}

TEST(LoopStop, StopFromAnotherThreadEndsALoopWhoseBaseHasNoLock)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    for (int round = 0; round < 20; ++round) {
        LocklessLoop loop;
        ASSERT_NE(loop.base, nullptr);
        struct event_base* slot = nullptr;
        V2xLoopStop stop(slot);
        stop.clear();
        std::atomic<bool> attached{false};
        std::thread t([&] {
            attached = stop.attach(loop.base);
            if (!stop.requested()) {
                event_base_dispatch(loop.base);
            }
        });
        // Stops at different moments: before, around and after the dispatch
        // (a delay, not a wait).
        std::this_thread::sleep_for(std::chrono::microseconds(round * 500));
        stop.request();
        t.join();
        EXPECT_TRUE(attached);
        EXPECT_FALSE(loop.timedOut) << "round " << round;
        EXPECT_EQ(stop.detach(), loop.base);
    }
}

TEST(LoopStop, PauseEndsAtTheStopAndTheWakeUpGoesWithTheBase)
{
    ASSERT_TRUE(v2x_event_threads_ready());
    const int fds = v2xtest::open_fd_count();
    struct event_base* slot = nullptr;
    V2xLoopStop stop(slot);
    stop.clear();
    EXPECT_TRUE(stop.attach(nullptr));  // a thread whose base failed
    EXPECT_EQ(stop.detach(), nullptr);
    EXPECT_FALSE(stop.wait_for(1));

    struct event_base* base = event_base_new();
    const int withBase = v2xtest::open_fd_count();
    ASSERT_TRUE(stop.attach(base));
    EXPECT_EQ(v2xtest::open_fd_count(), withBase + 1);  // the wake-up
    std::thread t([&] { stop.request(); });
    EXPECT_TRUE(stop.wait_for(20000));
    t.join();
    struct event_base* taken = nullptr;
    EXPECT_FALSE(stop.detach_unless_requested(&taken));
    EXPECT_EQ(taken, nullptr);
    EXPECT_EQ(stop.detach(), base);
    EXPECT_EQ(v2xtest::open_fd_count(), withBase);
    event_base_free(base);
    EXPECT_EQ(v2xtest::open_fd_count(), fds);

    // Cleared for the next thread: a thread ending by itself takes its base.
    stop.clear();
    base = event_base_new();
    ASSERT_TRUE(stop.attach(base));
    EXPECT_TRUE(stop.detach_unless_requested(&taken));
    EXPECT_EQ(taken, base);
    event_base_free(base);
    EXPECT_EQ(v2xtest::open_fd_count(), fds);
}
