// SPDX-License-Identifier: Apache-2.0
// Spinlock with escalating back-off.
#include "spinlock.h"

#include <sched.h>
#include <time.h>

extern "C" V2X_API void spinlock_init(spinlock_t* spin)
{
    __atomic_store_n(&spin->v_, 0, __ATOMIC_SEQ_CST);
}

extern "C" V2X_API int spinlock_try_lock(spinlock_t* spin)
{
    int32_t old = __atomic_exchange_n(&spin->v_, 1, __ATOMIC_SEQ_CST);
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    return old == 0 ? 1 : 0;
}

extern "C" V2X_API void spinlock_lock(spinlock_t* spin)
{
    for (unsigned k = 0; spinlock_try_lock(spin) == 0; ++k) {
        if (k < 4) {
            continue;
        }
        if (k < 32 || (k & 1u) != 0) {
            sched_yield();
        } else {
            struct timespec ts = {0, 1000};
            nanosleep(&ts, nullptr);
        }
    }
}

extern "C" V2X_API void spinlock_unlock(spinlock_t* spin)
{
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    __atomic_store_n(&spin->v_, 0, __ATOMIC_SEQ_CST);
}
