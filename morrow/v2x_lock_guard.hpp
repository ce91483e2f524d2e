// SPDX-License-Identifier: Apache-2.0
// Scoped guards for pthread locks (library-internal, shared by both
// libraries; std::mutex takes std::lock_guard).
#ifndef V2X_LOCK_GUARD_HPP
#define V2X_LOCK_GUARD_HPP

#include <pthread.h>

// Holds a pthread lock for a scope: Lock takes it, Unlock gives it back.
// unlock() gives it back early (the destructor then does nothing), for the
// few places that must leave the lock before they call out.
template <typename T, int (*Lock)(T*), int (*Unlock)(T*)>
class PthreadGuard {
public:
    explicit PthreadGuard(T& aipLk) : lk_(&aipLk) { Lock(lk_); }
    ~PthreadGuard() { unlock(); }
    PthreadGuard(const PthreadGuard&) = delete;
    PthreadGuard& operator=(const PthreadGuard&) = delete;

    void unlock()
    {
        if (lk_ != nullptr) {
            Unlock(lk_);
            lk_ = nullptr;
        }
    }

private:
    T* lk_;
};

using ReadLock = PthreadGuard<pthread_rwlock_t, pthread_rwlock_rdlock, pthread_rwlock_unlock>;
using WriteLock = PthreadGuard<pthread_rwlock_t, pthread_rwlock_wrlock, pthread_rwlock_unlock>;
using MutexLock = PthreadGuard<pthread_mutex_t, pthread_mutex_lock, pthread_mutex_unlock>;

#endif
