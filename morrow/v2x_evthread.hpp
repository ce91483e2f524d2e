// Event-loop threads (library-internal, shared by both libraries): libevent's
// thread support, which must be on before any event base exists, and the
// stop request every loop thread of the stack uses.
#ifndef V2X_EVTHREAD_HPP
#define V2X_EVTHREAD_HPP

#include <event2/event-config.h>
#include <event2/event.h>
#include <event2/thread.h>
#include <stddef.h>
#include <time.h>

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

// Enables libevent's pthread support once per process; true when it is on.
// Without it a loop exit asked for from another thread never wakes the loop.
inline bool v2x_event_threads_ready()
{
    static const bool ok = evthread_use_pthreads() == 0;
    return ok;
}

// The stop request between a loop thread and the owner that starts and joins
// it; threads are never cancelled. The thread publishes its base with
// attach() and checks requested() before it dispatches; the owner calls
// request() and joins. request() uses loopexit, not loopbreak: a break asked
// for before the loop starts is forgotten, an exit stays pending until the
// loop runs it, so a stop that comes between the check and the dispatch is
// not lost. The base stays in the owner's own variable; every access to it
// from here happens under the lock.
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

    // Thread side: publishes its base; true when a stop was already asked for.
    bool attach(struct event_base* aipBase)
    {
        std::lock_guard<std::mutex> lk(lk_);
        base_ = aipBase;
        return stop_;
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
            if (base_ != nullptr) {
                event_base_loopexit(base_, nullptr);
            }
        }
        cv_.notify_all();
    }

    // Takes the base out (null afterwards) for the caller to free.
    struct event_base* detach()
    {
        std::lock_guard<std::mutex> lk(lk_);
        struct event_base* b = base_;
        base_ = nullptr;
        return b;
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
        *aopBase = base_;
        base_ = nullptr;
        return true;
    }

private:
    std::mutex lk_;
    std::condition_variable cv_;
    bool stop_ = false;
    struct event_base*& base_;
};

#endif
