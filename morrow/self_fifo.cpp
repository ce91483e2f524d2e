// SPDX-License-Identifier: Apache-2.0
// Ring buffer in caller-supplied memory.
#include "self_fifo.h"

#include <string.h>

#include "v2x_lock_guard.hpp"

namespace {

// The state queries take the read lock on a record they may not change: the
// lock itself is the one mutable part of a const record.
pthread_rwlock_t& _lk(const tFifo* aipcFifo)
{
    return const_cast<pthread_rwlock_t&>(aipcFifo->fifoRwLk);
}

}  // namespace

extern "C" V2X_API void fifo_init(tFifo* aipcFifo, void* aipBuff, const uint32_t aicElemBytes,
                                  const uint32_t aicDepth)
{
    aipcFifo->Buff = aipBuff;
    aipcFifo->ElementBytes = aicElemBytes;
    aipcFifo->Depth = aicDepth;
    aipcFifo->Head = 0;
    aipcFifo->Tail = 0;
    aipcFifo->Counter = 0;
    pthread_rwlock_init(&aipcFifo->fifoRwLk, nullptr);
}

extern "C" V2X_API int fifo_is_empty(const tFifo* aipcFifo)
{
    ReadLock lk(_lk(aipcFifo));
    return aipcFifo->Counter == 0 ? 1 : 0;
}

extern "C" V2X_API int fifo_is_full(const tFifo* aipcFifo)
{
    ReadLock lk(_lk(aipcFifo));
    return aipcFifo->Counter == aipcFifo->Depth ? 1 : 0;
}

extern "C" V2X_API uint32_t fifo_get_data_count(const tFifo* aipcFifo)
{
    ReadLock lk(_lk(aipcFifo));
    return aipcFifo->Counter;
}

extern "C" V2X_API int fifo_add_one(tFifo* aipcFifo, void* aipVal)
{
    WriteLock lk(aipcFifo->fifoRwLk);
    if (aipcFifo->Counter == aipcFifo->Depth) {
        return 0;
    }
    uint8_t* base = static_cast<uint8_t*>(aipcFifo->Buff);
    memcpy(base + static_cast<size_t>(aipcFifo->Tail) * aipcFifo->ElementBytes, aipVal,
           aipcFifo->ElementBytes);
    uint32_t t = aipcFifo->Tail + 1;
    aipcFifo->Tail = t >= aipcFifo->Depth ? 0 : t;
    aipcFifo->Counter = aipcFifo->Counter + 1;
    return 1;
}

extern "C" V2X_API int fifo_get_one(tFifo* aipcFifo, void* aopVal)
{
    WriteLock lk(aipcFifo->fifoRwLk);
    if (aipcFifo->Counter == 0) {
        return 0;
    }
    const uint8_t* base = static_cast<const uint8_t*>(aipcFifo->Buff);
    memcpy(aopVal, base + static_cast<size_t>(aipcFifo->Head) * aipcFifo->ElementBytes,
           aipcFifo->ElementBytes);
    uint32_t h = aipcFifo->Head + 1;
    aipcFifo->Head = h >= aipcFifo->Depth ? 0 : h;
    aipcFifo->Counter = aipcFifo->Counter - 1;
    return 1;
}

namespace {

// Moves up to aicCnt elements between the fifo and the array at aiopVals,
// one at a time through aipOne (fifo_add_one or fifo_get_one): how many.
uint32_t _fifo_each(tFifo* aipcFifo, void* aiopVals, const uint32_t aicCnt,
                    int (*aipOne)(tFifo*, void*))
{
    if (aicCnt == 0) {
        return 0;
    }
    uint8_t* p = static_cast<uint8_t*>(aiopVals);
    uint32_t n = 0;
    while (n < aicCnt && aipOne(aipcFifo, p) == 1) {
        ++n;
        p += aipcFifo->ElementBytes;
    }
    return n;
}

}  // namespace

extern "C" V2X_API uint32_t fifo_add(tFifo* aipcFifo, void* aipVals, const uint32_t aicElemCntToAdd)
{
    return _fifo_each(aipcFifo, aipVals, aicElemCntToAdd, fifo_add_one);
}

extern "C" V2X_API uint32_t fifo_get(tFifo* aipcFifo, void* aopVals, const uint32_t aicElemCntToRead)
{
    return _fifo_each(aipcFifo, aopVals, aicElemCntToRead, fifo_get_one);
}

extern "C" V2X_API void fifo_clear(tFifo* aipcFifo)
{
    WriteLock lk(aipcFifo->fifoRwLk);
    aipcFifo->Head = 0;
    aipcFifo->Tail = 0;
    aipcFifo->Counter = 0;
}
