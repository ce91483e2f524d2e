// SPDX-License-Identifier: Apache-2.0
// The one way a core layer hands something up (library-internal): the layer
// above sets its function once at start; until then, and after it is
// cleared, what comes up is counted and dropped, never lost unseen.
#ifndef VESTRA_V2X_SINK_HPP
#define VESTRA_V2X_SINK_HPP

#include <atomic>

template <typename Len>
class UpSink {
public:
    using Fn = int (*)(const char*, Len);

    // Null goes back to counting.
    void set(Fn aipFn) { fn_.store(aipFn); }

    int operator()(const char* aipcMsg, Len aicLen)
    {
        if (Fn fn = fn_.load()) {
            return fn(aipcMsg, aicLen);
        }
        unset_.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }

    // How many hand-overs found no function set.
    unsigned long unset_count() const { return unset_.load(); }

private:
    std::atomic<Fn> fn_{nullptr};
    std::atomic<unsigned long> unset_{0};
};

#endif
