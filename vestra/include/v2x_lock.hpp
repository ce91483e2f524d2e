// SPDX-License-Identifier: Apache-2.0
// The pthread lock guards (from v2x_lock_guard.hpp), and the hand-over of a
// start-up result.
#ifndef VESTRA_V2X_LOCK_HPP
#define VESTRA_V2X_LOCK_HPP

#include <pthread.h>

#include "v2x_lock_guard.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

// The result of a start-up that runs on another thread, handed to the
// thread that waits for it. Reset before each start.
class StartGate {
public:
    void reset()
    {
        std::lock_guard<std::mutex> lk(mtx_);
        done_ = false;
        rc_ = 0;
    }
    void post(int aicRc)
    {
        std::lock_guard<std::mutex> lk(mtx_);
        if (!done_) {
            done_ = true;
            rc_ = aicRc;
        }
        cv_.notify_all();
    }
    // The posted result, or aicTimeoutRc when none came within aicMs.
    int wait(int aicMs, int aicTimeoutRc)
    {
        std::unique_lock<std::mutex> lk(mtx_);
        if (!cv_.wait_for(lk, std::chrono::milliseconds(aicMs), [this] { return done_; })) {
            return aicTimeoutRc;
        }
        return rc_;
    }

private:
    std::mutex mtx_;
    std::condition_variable cv_;
    bool done_ = false;
    int rc_ = 0;
};

class V2xLoopStop;

// Starts aipFn(aipArg) on a new loop thread recorded in aopTid and waits up
// to aicMs for the result it posts to aiopGate: 0, the thread's own failure,
// -ERR_V2X_TMP when it took longer, or -ERR_V2X_PTHREAD_CREATE when no
// thread could be made. Each failure of its own is logged once, naming
// aipcName. On any failure the caller runs its exit, which joins a thread
// that was made.
int v2x_loop_launch(StartGate& aiopGate, V2xLoopStop& aiopStop, pthread_t& aopTid,
                    void* (*aipFn)(void*), void* aipArg, int aicMs, const char* aipcName);

#endif
