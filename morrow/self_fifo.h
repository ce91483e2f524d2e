// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Fixed-capacity ring buffer of equally sized elements in
 * caller-supplied memory, guarded by a reader-writer lock.
 *
 * Never allocates.
 * The lock is initialised by fifo_init and never destroyed.
 *
 * Elements are copied in and out by value (memcpy of ElementBytes), so the
 * element buffers need no particular alignment. A full FIFO refuses new
 * elements: the oldest are never overwritten.
 *
 * Threads: after fifo_init, any thread may call any other function at the
 * same time; each element goes in or out under the write lock, and the
 * state queries take the read lock. A call blocks only while waiting for
 * that lock, which is held for one element copy at most. Reading the
 * volatile fields directly, without the calls, gives no consistent view.
 * Arguments are not checked: a null FIFO or storage crashes.
 *
 * From C under a strict -std=c11, define _DEFAULT_SOURCE (or
 * _POSIX_C_SOURCE) before any include, as for any pthread header user. */
#ifndef MORROW_SELF_FIFO_H
#define MORROW_SELF_FIFO_H

#include <pthread.h>
#include <stdint.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

/** A FIFO: the record the calls work on (see the file description). */
typedef struct _fifo_self_ {
    uint32_t Depth;            /**< capacity in elements */
    volatile uint32_t Head;    /**< index of the oldest element */
    volatile uint32_t Tail;    /**< index where the next element goes */
    volatile uint32_t Counter; /**< elements held */
    uint32_t ElementBytes;     /**< size of one element */
    void* Buff;                /**< Depth x ElementBytes bytes, owned by the caller */
    pthread_rwlock_t fifoRwLk; /**< guards Head, Tail, Counter and the storage */
} tFifo;

/** @brief Makes an empty FIFO in caller-supplied storage.
 *
 * Any depth from 1 up works (no power of two needed); with depth 0 the FIFO
 * is both empty and full and takes nothing. Initialises the lock: call
 * once, before any other thread sees the FIFO, and never on a FIFO in use.
 *
 * @param aipcFifo     the FIFO record to set up.
 * @param aipBuff      storage of aicDepth x aicElemBytes bytes that must
 *                     outlive the FIFO; the caller keeps owning it.
 * @param aicElemBytes size of one element in bytes.
 * @param aicDepth     capacity in elements.
 */
V2X_API void fifo_init(tFifo* aipcFifo, void* aipBuff, const uint32_t aicElemBytes,
                       const uint32_t aicDepth);
/** @brief Whether the FIFO is empty.
 *
 * A snapshot that other threads may change at once. The record is const,
 * yet its lock is taken and released.
 *
 * @param aipcFifo the FIFO.
 * @retval 1 empty.
 * @retval 0 not empty.
 */
V2X_API int fifo_is_empty(const tFifo* aipcFifo);
/** @brief Whether the FIFO is full.
 *
 * A snapshot that other threads may change at once. The record is const,
 * yet its lock is taken and released.
 *
 * @param aipcFifo the FIFO.
 * @retval 1 full.
 * @retval 0 not full.
 */
V2X_API int fifo_is_full(const tFifo* aipcFifo);
/** @brief Elements held now (Counter), under the read lock like
 * fifo_is_empty and fifo_is_full.
 * @param aipcFifo the FIFO.
 * @return the number of elements held.
 */
V2X_API uint32_t fifo_get_data_count(const tFifo* aipcFifo);
/** @brief Copies one element in at the tail.
 * @param aipcFifo the FIFO.
 * @param aipVal   the element (ElementBytes bytes); only read.
 * @retval 1 added.
 * @retval 0 the FIFO is full.
 */
V2X_API int fifo_add_one(tFifo* aipcFifo, void* aipVal);
/** @brief Adds several elements until all are in or the FIFO is full.
 *
 * Each element is taken under its own lock, so elements added by other
 * threads at the same time may land between them.
 *
 * @param aipcFifo        the FIFO.
 * @param aipVals         the elements, stored one after another; only read.
 * @param aicElemCntToAdd number of elements at aipVals.
 * @return the number added.
 */
V2X_API uint32_t fifo_add(tFifo* aipcFifo, void* aipVals, const uint32_t aicElemCntToAdd);
/** @brief Copies the oldest element out and removes it.
 * @param aipcFifo the FIFO.
 * @param aopVal   receives the element (ElementBytes bytes).
 * @retval 1 an element was taken.
 * @retval 0 the FIFO is empty (aopVal untouched).
 */
V2X_API int fifo_get_one(tFifo* aipcFifo, void* aopVal);
/** @brief Takes up to aicElemCntToRead elements, oldest first.
 *
 * Elements go into consecutive slots at aopVals until the count is reached
 * or the FIFO is empty. Each element is taken under its own lock, so
 * concurrent readers may share the run between them.
 *
 * @param aipcFifo         the FIFO.
 * @param aopVals          room for aicElemCntToRead x ElementBytes bytes.
 * @param aicElemCntToRead the most elements to take.
 * @return the number taken.
 */
V2X_API uint32_t fifo_get(tFifo* aipcFifo, void* aopVals, const uint32_t aicElemCntToRead);
/** @brief Drops every element: Head = Tail = Counter = 0 under the write lock
 * (the storage is not cleared).
 * @param aipcFifo the FIFO.
 */
V2X_API void fifo_clear(tFifo* aipcFifo);

V2X_EXTERN_C_END

#endif /* MORROW_SELF_FIFO_H */
