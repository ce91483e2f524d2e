// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief A busy-waiting lock with escalating back-off.
 *
 * Not recursive, no owner: any thread may release it. Never allocates. */
#ifndef MORROW_SPINLOCK_H
#define MORROW_SPINLOCK_H

#include <stdint.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

/** A spinlock. */
typedef struct spinlock_struct {
    volatile int32_t v_; /**< 0 free, 1 held */
} spinlock_t;

/** @brief Makes the lock free: v_ = 0.
 * @param spin the lock.
 */
V2X_API void spinlock_init(spinlock_t* spin);
/** @brief Tries to take the lock without waiting.
 *
 * Atomic exchange of v_ with 1 plus a full barrier.
 *
 * @param spin the lock.
 * @retval 1 the lock was taken (old value 0).
 * @retval 0 the lock was held already.
 */
V2X_API int spinlock_try_lock(spinlock_t* spin);
/** @brief Takes the lock, waiting as long as it takes.
 *
 * Spins for 4 attempts, then yields; from the 32nd attempt on, odd attempts
 * yield and even ones sleep 1 microsecond.
 *
 * @param spin the lock.
 */
V2X_API void spinlock_lock(spinlock_t* spin);
/** @brief Releases the lock: full barrier, then v_ = 0.
 * @param spin the lock.
 */
V2X_API void spinlock_unlock(spinlock_t* spin);

V2X_EXTERN_C_END

#endif /* MORROW_SPINLOCK_H */
