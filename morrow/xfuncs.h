// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Allocation wrappers that log failures, and the 32-bit index bitmap. */
#ifndef MORROW_XFUNCS_H
#define MORROW_XFUNCS_H

#include <stdint.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

/* Each returns what the system allocator returned (release with free) and
 * logs an ERROR line when it returned null for a non-zero size. A negative
 * size is refused: null, logged, and nothing allocated. */
/** @brief malloc that logs a failure.
 * @param aicSize bytes wanted.
 * @return what malloc returned; release with free.
 * @retval NULL out of memory or a negative size (an ERROR line is logged
 *         unless the size is 0).
 */
V2X_API void* xMalloc(const int aicSize);
/** @brief Zeroed allocation (calloc of aicSize single bytes) that logs a
 * failure.
 * @param aicSize bytes wanted.
 * @return the zeroed area; release with free.
 * @retval NULL out of memory or a negative size (an ERROR line is logged
 *         unless the size is 0).
 */
V2X_API void* xzMalloc(const int aicSize);
/** @brief Zeroed allocation (calloc of one aicSize-byte member) that logs a
 * failure.
 * @param aicSize bytes wanted.
 * @return the zeroed area; release with free.
 * @retval NULL out of memory or a negative size (an ERROR line is logged
 *         unless the size is 0).
 */
V2X_API void* xzOneCalloc(const int aicSize);
/** @brief realloc that logs a failure.
 * @param aipPtr  the area to resize, or null.
 * @param aicSize bytes wanted.
 * @return what realloc returned; release with free.
 * @retval NULL out of memory or a negative size (an ERROR line is logged
 *         unless the size is 0); aipPtr is then left as it was (a size of
 *         0 follows realloc's own rule).
 */
V2X_API void* xRealloc(void* aipPtr, const int aicSize);
/** @brief calloc that logs a failure.
 * @param aicNumMem number of members.
 * @param aicSize   bytes of one member.
 * @return the zeroed area; release with free.
 * @retval NULL out of memory, an overflowing product or a negative count or
 *         size (an ERROR line is logged unless either is 0).
 */
V2X_API void* xCalloc(const int aicNumMem, const int aicSize);

/** @name 32-bit index bitmap
 * A uint32 is the occupancy set of 32 slots: bit n stands for slot n.
 * Positions of 32 or more lie outside the set. Not thread-safe: the owner
 * of a bitmap locks around these. */
/** @{ */
/** @brief Reads one slot of a bitmap.
 * @param aicPos the slot.
 * @param aicVal the bitmap.
 * @retval 1 the slot is set.
 * @retval 0 it is clear, or aicPos is 32 or more.
 */
static inline uint8_t _get_32bit_val(const uint8_t aicPos, const uint32_t aicVal)
{
    return aicPos < 32 ? (uint8_t)((aicVal >> aicPos) & 1u) : 0;
}

/** @brief Sets one slot of a bitmap; a position of 32 or more changes
 * nothing.
 * @param aicPos the slot.
 * @param aipVal the bitmap.
 */
static inline void _set_32bit_val(const uint8_t aicPos, uint32_t* aipVal)
{
    if (aicPos < 32) {
        *aipVal |= (uint32_t)1u << aicPos;
    }
}

/** @brief Clears one slot of a bitmap; a position of 32 or more changes
 * nothing.
 * @param aicPos the slot.
 * @param aipVal the bitmap.
 */
static inline void _clear_32bit_val(const uint8_t aicPos, uint32_t* aipVal)
{
    if (aicPos < 32) {
        *aipVal &= ~((uint32_t)1u << aicPos);
    }
}
/** @} */

V2X_EXTERN_C_END

#endif /* MORROW_XFUNCS_H */
