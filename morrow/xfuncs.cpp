// SPDX-License-Identifier: Apache-2.0
// Allocation wrappers: the system allocator, plus an ERROR line on failure.
#include "xfuncs.h"

#include <stdlib.h>

#include "self_log.h"

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

// Sizes are ints in the interface; a negative one is refused rather than
// turned into a huge size_t.
static size_t _sz(int aicSize)
{
    return aicSize < 0 ? SIZE_MAX : static_cast<size_t>(aicSize);
}

extern "C" V2X_API void* xMalloc(const int aicSize)
{
    void* p = aicSize < 0 ? nullptr : malloc(_sz(aicSize));
    if (p == nullptr && aicSize != 0) {
        LOGE("malloc() err!!!!\n");
    }
    return p;
}

extern "C" V2X_API void* xzMalloc(const int aicSize)
{
    void* p = aicSize < 0 ? nullptr : calloc(_sz(aicSize), 1);
    if (p == nullptr && aicSize != 0) {
        LOGE("malloc() err!!!!\n");
    }
    return p;
}

extern "C" V2X_API void* xzOneCalloc(const int aicSize)
{
    void* p = aicSize < 0 ? nullptr : calloc(1, _sz(aicSize));
    if (p == nullptr && aicSize != 0) {
        LOGE("calloc() err!!!!\n");
    }
    return p;
}

extern "C" V2X_API void* xRealloc(void* aipPtr, const int aicSize)
{
    void* p = aicSize < 0 ? nullptr : realloc(aipPtr, _sz(aicSize));
    if (p == nullptr && aicSize != 0) {
        LOGE("realloc() err!!!!\n");
    }
    return p;
}

extern "C" V2X_API void* xCalloc(const int aicNumMem, const int aicSize)
{
    void* p = (aicNumMem < 0 || aicSize < 0) ? nullptr : calloc(_sz(aicNumMem), _sz(aicSize));
    if (p == nullptr && aicNumMem != 0 && aicSize != 0) {
        LOGE("calloc() err!!!!\n");
    }
    return p;
}
