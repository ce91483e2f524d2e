// SPDX-License-Identifier: Apache-2.0
// Event-loop threads (library-internal, shared by both libraries): libevent's
// thread support, which must be on before any event base exists, and the
// stop request every loop thread of the stack uses.
#ifndef V2X_EVTHREAD_HPP
#define V2X_EVTHREAD_HPP

#include <event2/event-config.h>
#include <event2/event.h>
#include <event2/thread.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "self_log.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

// The libevent headers must be the target's own: a cross build that picked
// up the build machine's configuration header would disagree with the
// library about type sizes (32-bit ARM has 4-byte long, size_t, pointers and
// time_t).
static_assert(EVENT__SIZEOF_LONG == sizeof(long) && EVENT__SIZEOF_SIZE_T == sizeof(size_t) &&
                  EVENT__SIZEOF_VOID_P == sizeof(void*) && EVENT__SIZEOF_TIME_T == sizeof(time_t),
              "libevent's event-config.h does not belong to this target");

// Deletes and frees an event that may be null, and forgets it: every exit
// releases its events this way, before their base goes.
inline void v2x_event_release(struct event*& aiopEt)
{
    if (aiopEt != nullptr) {
        event_del(aiopEt);
        event_free(aiopEt);
        aiopEt = nullptr;
    }
}

// Keeps a copy of a start-up configuration for the thread that reads it
// later; null (the thread's defaults) when none was given.
template <typename Cfg>
inline Cfg* v2x_keep_cfg(Cfg& aopKeep, const Cfg* aipcCfg)
{
    if (aipcCfg == nullptr) {
        return nullptr;
    }
    memcpy(&aopKeep, aipcCfg, sizeof(aopKeep));
    return &aopKeep;
}

// Enables libevent's pthread support once per process; true when it is on.
// Without it a loop exit asked for from another thread never wakes the loop.
inline bool v2x_event_threads_ready()
{
    static const bool ok = evthread_use_pthreads() == 0;
    return ok;
}

// The stop request between a loop thread and the owner that starts and joins
// it; threads are never cancelled. Every thread of both libraries is made by
// start() and runs its loop through run(), which publishes the base and
// dispatches unless a stop came first; the owner calls join() (request()
// and pthread_join).
//
// The owner never touches the thread's base: request() writes to an eventfd
// whose read event, registered on the base by attach(), breaks the loop on
// the loop's own thread. libevent creates a base without its lock when that
// small allocation fails, and such a base must not be driven from another
// thread (a cross-thread loopexit then races the loop). The eventfd stays
// readable until the loop reads it, so a stop asked for before the dispatch
// is not lost. The base stays in the owner's own variable; every access to
// it from here happens under the lock.
class V2xLoopStop {
public:
    explicit V2xLoopStop(struct event_base*& aipBase) : base_(aipBase) {}
    V2xLoopStop(const V2xLoopStop&) = delete;
    V2xLoopStop& operator=(const V2xLoopStop&) = delete;

    // Before the thread is created.
    void clear()
    {
        std::lock_guard<std::mutex> lk(lk_);
        stop_ = false;
    }

    // Owner side: clears the request and starts the loop thread, recording
    // it in aopTid only when it runs. Returns pthread_create's result.
    int start(pthread_t& aopTid, void* (*aipFn)(void*), void* aipArg)
    {
        clear();
        pthread_t tid;
        int rc = pthread_create(&tid, nullptr, aipFn, aipArg);
        if (rc == 0) {
            aopTid = tid;
        }
        return rc;
    }

    // Owner side: when a thread is recorded, asks it to end, joins it and
    // forgets it, with the two level-0 lifecycle lines that name it.
    void join(pthread_t& aiopTid, const char* aipcName)
    {
        if (aiopTid == 0) {
            return;
        }
        constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;  // this helper's ceiling
        LOG0("Wait %s() pthread stop------\n", aipcName);
        stop_and_join(aiopTid);
        LOG0("%s() pthread already stop------\n", aipcName);
    }

    // The same without the lines, for the log thread, whose own lines
    // cannot go through the thread being stopped. Does nothing when no
    // thread is recorded.
    void stop_and_join(pthread_t& aiopTid)
    {
        if (aiopTid == 0) {
            return;
        }
        request();
        pthread_join(aiopTid, nullptr);
        aiopTid = 0;
    }

    // Thread side: publishes its base (null too, for the releases) and
    // registers the wake-up on it. False when the wake-up could not be made:
    // the loop could not be stopped then, so the thread must not dispatch.
    bool attach(struct event_base* aipBase)
    {
        std::lock_guard<std::mutex> lk(lk_);
        base_ = aipBase;
        if (aipBase == nullptr) {
            return true;
        }
        wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) {
            return false;
        }
        wakeEt_ = event_new(aipBase, wakeFd_, EV_READ | EV_PERSIST, _on_wake, aipBase);
        if (wakeEt_ == nullptr || event_add(wakeEt_, nullptr) != 0) {
            _drop_wake();
            return false;
        }
        if (stop_) {
            _wake();
        }
        return true;
    }

    // How run() ended.
    enum class End {
        kRan,         // the loop ran until a stop (or until it failed)
        kNoBase,      // no base could be made
        kNoWake,      // the base could not be made stoppable
        kStopped,     // a stop came before the loop
        kInitFailed,  // the thread's own set-up failed (it said why)
    };

    // Thread side: publishes aipBase (which may be null) and registers the
    // wake-up on it. Null when there is no base, or it could not be made
    // stoppable (what was made is released by whoever detaches it), or when
    // a stop came first; aopEnd says which.
    struct event_base* open_base(struct event_base* aipBase, End* aopEnd)
    {
        if (!attach(aipBase) || aipBase == nullptr) {
            *aopEnd = aipBase == nullptr ? End::kNoBase : End::kNoWake;
            return nullptr;
        }
        *aopEnd = requested() ? End::kStopped : End::kRan;
        return *aopEnd == End::kRan ? aipBase : nullptr;
    }

    // Thread side, the whole body of every loop thread of the stack: makes
    // the base with aicMake(), publishes it, lets aicInit(base) register
    // the thread's events (non-zero: it failed and said why), and runs the
    // loop until a stop. The base stays published for whoever detaches it.
    template <typename Make, typename Init>
    End run(Make aicMake, Init aicInit)
    {
        End end;
        struct event_base* b = open_base(aicMake(), &end);
        if (b == nullptr) {
            return end;
        }
        if (aicInit(b) != 0) {
            return End::kInitFailed;
        }
        event_base_dispatch(b);
        return End::kRan;
    }

    // The same on a plain base, saying why when none could be made.
    template <typename Init>
    End run(Init aicInit)
    {
        const End end = run(event_base_new, aicInit);
        if (end == End::kNoBase || end == End::kNoWake) {
            constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;  // this helper's ceiling
            LOGE("event_base_new() err!!!!\n");
        }
        return end;
    }

    bool requested()
    {
        std::lock_guard<std::mutex> lk(lk_);
        return stop_;
    }

    // Thread side: pauses up to aicMs; true when a stop was asked for.
    bool wait_for(int aicMs)
    {
        std::unique_lock<std::mutex> lk(lk_);
        return cv_.wait_for(lk, std::chrono::milliseconds(aicMs), [this] { return stop_; });
    }

    // Owner side: asks the loop to end and wakes a pause.
    void request()
    {
        {
            std::lock_guard<std::mutex> lk(lk_);
            stop_ = true;
            _wake();
        }
        cv_.notify_all();
    }

    // Takes the base out (null afterwards) for the caller to free; the
    // wake-up goes first, since its event belongs to the base. Called after
    // the join, or by the thread itself.
    struct event_base* detach()
    {
        std::lock_guard<std::mutex> lk(lk_);
        return _take();
    }

    // Thread side, on its way out by itself: takes the base into *aopBase
    // and returns true, unless a stop was asked for (then the owner releases
    // everything after its join, and nothing is taken).
    bool detach_unless_requested(struct event_base** aopBase)
    {
        std::lock_guard<std::mutex> lk(lk_);
        if (stop_) {
            return false;
        }
        *aopBase = _take();
        return true;
    }

private:
    // On the loop's thread.
    static void _on_wake(evutil_socket_t aicFd, short, void* aipBase)
    {
        uint64_t n;
        (void)!read(aicFd, &n, sizeof(n));
        event_base_loopbreak(static_cast<struct event_base*>(aipBase));
    }

    void _wake()
    {
        if (wakeFd_ >= 0) {
            const uint64_t one = 1;
            (void)!write(wakeFd_, &one, sizeof(one));
        }
    }

    void _drop_wake()
    {
        v2x_event_release(wakeEt_);
        if (wakeFd_ >= 0) {
            close(wakeFd_);
            wakeFd_ = -1;
        }
    }

    struct event_base* _take()
    {
        _drop_wake();
        struct event_base* b = base_;
        base_ = nullptr;
        return b;
    }

    std::mutex lk_;
    std::condition_variable cv_;
    bool stop_ = false;
    struct event_base*& base_;
    int wakeFd_ = -1;
    struct event* wakeEt_ = nullptr;
};

#endif
