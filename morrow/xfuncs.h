// SPDX-License-Identifier: Apache-2.0
/* Allocation wrappers that log failures, and the 32-bit index bitmap. */
#ifndef MORROW_XFUNCS_H
#define MORROW_XFUNCS_H

#include <stdint.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

/* Each returns what the system allocator returned (release with free) and
 * logs an ERROR line when it returned null for a non-zero size. */
V2X_API void* xMalloc(const int aicSize);
V2X_API void* xzMalloc(const int aicSize);
V2X_API void* xzOneCalloc(const int aicSize);
V2X_API void* xRealloc(void* aipPtr, const int aicSize);
V2X_API void* xCalloc(const int aicNumMem, const int aicSize);

/* A uint32 is the occupancy set of 32 slots: bit n stands for slot n.
 * Positions of 32 or more lie outside the set. Not thread-safe: the owner
 * of a bitmap locks around these. */
static inline uint8_t _get_32bit_val(const uint8_t aicPos, const uint32_t aicVal)
{
    return aicPos < 32 ? (uint8_t)((aicVal >> aicPos) & 1u) : 0;
}

static inline void _set_32bit_val(const uint8_t aicPos, uint32_t* aipVal)
{
    if (aicPos < 32) {
        *aipVal |= (uint32_t)1u << aicPos;
    }
}

static inline void _clear_32bit_val(const uint8_t aicPos, uint32_t* aipVal)
{
    if (aicPos < 32) {
        *aipVal &= ~((uint32_t)1u << aicPos);
    }
}

V2X_EXTERN_C_END

#endif /* MORROW_XFUNCS_H */
