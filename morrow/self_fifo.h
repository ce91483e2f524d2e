/* Fixed-capacity ring buffer of equally sized elements in caller-supplied
 * memory, guarded by a reader-writer lock. Never allocates.
 * The lock is initialised by fifo_init and never destroyed.
 * From C under a strict -std=c11, define _DEFAULT_SOURCE (or
 * _POSIX_C_SOURCE) before any include, as for any pthread header user. */
#ifndef MORROW_SELF_FIFO_H
#define MORROW_SELF_FIFO_H

#include <pthread.h>
#include <stdint.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

typedef struct _fifo_self_ {
    uint32_t Depth;            /* capacity in elements */
    volatile uint32_t Head;    /* index of the oldest element */
    volatile uint32_t Tail;    /* index where the next element goes */
    volatile uint32_t Counter; /* elements held */
    uint32_t ElementBytes;     /* size of one element */
    void* Buff;                /* Depth x ElementBytes bytes, owned by the caller */
    pthread_rwlock_t fifoRwLk; /* guards Head, Tail, Counter and the storage */
} tFifo;

V2X_API void fifo_init(tFifo* aipcFifo, void* aipBuff, const uint32_t aicElemBytes,
                       const uint32_t aicDepth);
/* 1 when empty / full, else 0. */
V2X_API int fifo_is_empty(const tFifo* aipcFifo);
V2X_API int fifo_is_full(const tFifo* aipcFifo);
V2X_API uint32_t fifo_get_data_count(const tFifo* aipcFifo);
/* Copies one element in at the tail: 1, or 0 when full. */
V2X_API int fifo_add_one(tFifo* aipcFifo, void* aipVal);
/* Adds consecutive elements until all are in or the buffer is full; returns
 * the number added. */
V2X_API uint32_t fifo_add(tFifo* aipcFifo, void* aipVals, const uint32_t aicElemCntToAdd);
/* Copies the oldest element out and removes it: 1, or 0 when empty. */
V2X_API int fifo_get_one(tFifo* aipcFifo, void* aopVal);
/* Takes elements into consecutive slots until the count is reached or the
 * buffer is empty; returns the number taken. */
V2X_API uint32_t fifo_get(tFifo* aipcFifo, void* aopVals, const uint32_t aicElemCntToRead);
/* Head = Tail = Counter = 0 (the storage is not cleared). */
V2X_API void fifo_clear(tFifo* aipcFifo);

V2X_EXTERN_C_END

#endif /* MORROW_SELF_FIFO_H */
