// SPDX-License-Identifier: Apache-2.0
// The one way a core layer hands something up (library-internal): the layer
// above sets its function once at start and the core clears it at stop;
// until then, and after it is cleared, what comes up is counted and dropped,
// never lost unseen.
#ifndef VESTRA_V2X_SINK_HPP
#define VESTRA_V2X_SINK_HPP

#include <atomic>
#include <type_traits>

#include "core_stats.hpp"

// A hand-over of any signature. An unset sink counts the call and returns
// the value given at construction (for an int result; none for void), so a
// layer that needs its caller to see the drop as a failure says so there.
template <typename R, typename... Args>
class UpSinkOf {
public:
    using Fn = R (*)(Args...);

    constexpr UpSinkOf() = default;
    explicit constexpr UpSinkOf(int aicUnsetRc) : unsetRc_(aicUnsetRc) {}

    // Null goes back to counting.
    void set(Fn aipFn) { fn_.store(aipFn); }

    R operator()(Args... aiArgs)
    {
        if (Fn fn = fn_.load()) {
            return fn(aiArgs...);
        }
        unset_.fetch_add(1, std::memory_order_relaxed);
        STAT_ADD(sinkUnsetDrops);  // all of them, where v2x-ctl shows them
        if constexpr (!std::is_void_v<R>) {
            return static_cast<R>(unsetRc_);
        }
    }

    // How many hand-overs found no function set.
    unsigned long unset_count() const { return unset_.load(); }

private:
    std::atomic<Fn> fn_{nullptr};
    std::atomic<unsigned long> unset_{0};
    int unsetRc_ = 0;
};

// The data sinks: a message and its length, 0 when unset (a frame nobody
// above wants is not the sender's failure).
template <typename Len>
using UpSink = UpSinkOf<int, const char*, Len>;

#endif
