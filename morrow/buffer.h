// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Growable byte buffers, byte-order conversions and big-endian writers.
 *
 * A buffer owns its data area. Every appending operation keeps used below
 * size and stores a zero byte at ptr[used], so text contents read as a C
 * string. Two exceptions: read_buffer stores no zero and may fill the area
 * up to used == size; buffer_calloc leaves ptr[used] as it was.
 *
 * A buffer has no lock: its owner serialises access, and any thread may be
 * that owner. Only buffer_memory is shared, and it is updated atomically.
 * None of these calls blocks, except read_buffer on a blocking descriptor.
 * None reports a failure to grow: an append that cannot get the room leaves
 * the buffer as it was. Null buffers are ignored (buffer_init excepted). */
#ifndef MORROW_BUFFER_H
#define MORROW_BUFFER_H

#include <stddef.h>
#include <stdint.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

typedef uint8_t uint8;   /**< Unsigned 8-bit integer. */
typedef uint16_t uint16; /**< Unsigned 16-bit integer. */
typedef uint32_t uint32; /**< Unsigned 32-bit integer. */
typedef uint64_t uint64; /**< Unsigned 64-bit integer. */

/** A growable byte buffer (see the file description for its rules). */
typedef struct buffer_s {
    char* ptr;   /**< data area, owned by the buffer */
    int32_t size; /**< capacity in bytes */
    int32_t used; /**< bytes in use from the start of ptr */
} buffer_t;

/** Bytes held by all live buffers (capacity plus record), changed atomically.
 * A statistic for the host; the libraries never read it. */
V2X_API extern uint64_t buffer_memory;

/** @brief Makes a new empty buffer.
 *
 * The buffer's zeroed area holds the next multiple of 64 bytes strictly
 * above size (64 for size <= 0, 128 for 64). Release with buffer_free.
 *
 * @param size bytes the buffer must hold.
 * @return the new buffer.
 * @retval NULL memory runs out or the capacity would pass INT32_MAX.
 */
V2X_API buffer_t* buffer_init(int size);
/** @brief Frees the area and the record; b is invalid afterwards.
 * @param b the buffer to free; NULL is ignored.
 */
V2X_API void buffer_free(buffer_t* b);
/** @brief Empties a buffer: used = 0 and the whole area zeroed; the capacity
 * is kept.
 * @param b the buffer.
 */
V2X_API void buffer_reset(buffer_t* b);
/** @brief Grows the area so that size bytes fit.
 *
 * The capacity becomes the next multiple of 512 strictly above size.
 * Nothing happens when the buffer already holds size bytes or memory runs
 * out. Contents and used are kept; the added bytes are not zeroed, and ptr
 * may move.
 *
 * @param b    the buffer.
 * @param size bytes the area must hold.
 */
V2X_API void buffer_expand(buffer_t* b, int size);
/** @brief Appends src's used bytes to dst, growing dst.
 *
 * src is only read (dst == src doubles the contents). An empty src changes
 * nothing.
 *
 * @param dst the buffer appended to.
 * @param src the buffer whose contents are appended.
 */
V2X_API void buffer_append(buffer_t* dst, buffer_t* src);
/** @brief Replaces dst's contents by src's, growing dst.
 *
 * src is only read. An empty src leaves dst unchanged (it does not empty
 * it).
 *
 * @param dst the buffer whose contents are replaced.
 * @param src the buffer copied from.
 */
V2X_API void buffer_copy(buffer_t* dst, buffer_t* src);
/** @brief Carves len zeroed bytes from the free room after used.
 *
 * used grows by len. It never grows the buffer. The pointer is invalid once
 * the buffer grows or is freed.
 *
 * @param allocator the buffer to carve from.
 * @param len       number of bytes wanted.
 * @return the len zeroed bytes.
 * @retval NULL len < 0 or the room (one byte kept spare) is short.
 */
V2X_API char* buffer_calloc(buffer_t* allocator, int len);
/** @brief Appends what is pending on a descriptor, growing the buffer.
 *
 * Reads what FIONREAD reports pending on fd (one byte when none is
 * reported). Blocks only when fd is blocking and nothing is pending. Stores
 * no terminating zero.
 *
 * @param fd      the descriptor to read.
 * @param p_buff_t the buffer appended to.
 * @return the count of bytes read.
 * @retval 0  nothing read, retry later (EAGAIN, EINTR).
 * @retval -1 a closed peer, an error, a buffer that can grow no more, fd < 0
 *            or a null buffer (a read that returns 0 or fails also prints a
 *            line to stdout).
 */
V2X_API int read_buffer(int fd, buffer_t* p_buff_t);
/** @brief Drops the first len bytes, moving the rest to the start.
 *
 * Nothing happens when len < 0 or len > used.
 *
 * @param b   the buffer.
 * @param len number of bytes to drop.
 */
V2X_API void buffer_shift(buffer_t* b, int len);

/** @name Byte-order conversions
 * Byte-order conversions of a value held in a register (2, 4 or 8 bytes):
 * the result, stored in memory, has its bytes in little-endian (TO_*LE) or
 * big-endian (TO_*BE) order. Each swaps the bytes only where the host's own
 * order differs, so it is its own inverse and also converts a value loaded
 * from that order back to host order. They take values, not pointers: to
 * read wire bytes at any alignment, memcpy them into a variable first. Pure
 * functions, callable from any thread. */
/** @{ */
/** @brief A 2-byte value with its bytes in little-endian order (see the
 * group's description); its own inverse.
 * @param v the value.
 * @return v with its bytes swapped where the host's order is not little-endian.
 */
V2X_API uint16 TO_WLE(uint16 v);
/** @brief A 4-byte value with its bytes in little-endian order (see the
 * group's description); its own inverse.
 * @param v the value.
 * @return v with its bytes swapped where the host's order is not little-endian.
 */
V2X_API uint32 TO_DWLE(uint32 v);
/** @brief An 8-byte value with its bytes in little-endian order (see the
 * group's description); its own inverse.
 * @param v the value.
 * @return v with its bytes swapped where the host's order is not little-endian.
 */
V2X_API uint64 TO_QWLE(uint64 v);
/** @brief A 2-byte value with its bytes in big-endian order (see the
 * group's description); its own inverse.
 * @param v the value.
 * @return v with its bytes swapped where the host's order is not big-endian.
 */
V2X_API uint16 TO_WBE(uint16 v);
/** @brief A 4-byte value with its bytes in big-endian order (see the
 * group's description); its own inverse.
 * @param v the value.
 * @return v with its bytes swapped where the host's order is not big-endian.
 */
V2X_API uint32 TO_DWBE(uint32 v);
/** @brief An 8-byte value with its bytes in big-endian order (see the
 * group's description); its own inverse.
 * @param v the value.
 * @return v with its bytes swapped where the host's order is not big-endian.
 */
V2X_API uint64 TO_QWBE(uint64 v);
/** @} */

/** @name Big-endian writers
 * Writers append at used in network (big-endian) order, whatever the host
 * order, growing the buffer; the bytes land at any alignment. When the room
 * cannot be had nothing is written and nothing is reported. */
/** @{ */
/** @brief Appends len bytes copied from wbuf, growing the buffer.
 * @param buf  the buffer appended to.
 * @param wbuf the bytes (any alignment; NULL only with len 0).
 * @param len  number of bytes.
 */
V2X_API void _write_ex(buffer_t* buf, const void* wbuf, uint32 len);
/** @brief Appends 1 byte.
 * @param buf the buffer appended to.
 * @param v   the value.
 */
V2X_API void write_uint8(buffer_t* buf, uint8 v);
/** @brief Appends 2 bytes, most significant byte first.
 * @param buf the buffer appended to.
 * @param v   the value.
 */
V2X_API void write_uint16(buffer_t* buf, uint16 v);
/** @brief Appends 4 bytes, most significant byte first.
 * @param buf the buffer appended to.
 * @param v   the value.
 */
V2X_API void write_uint32(buffer_t* buf, uint32 v);
/** @brief Appends 8 bytes, most significant byte first.
 * @param buf the buffer appended to.
 * @param v   the value.
 */
V2X_API void write_uint64(buffer_t* buf, uint64 v);
/** @brief Appends l bytes from s, as they are; s is only read.
 * @param buf the buffer appended to.
 * @param s   the bytes.
 * @param l   number of bytes.
 */
V2X_API void write_bytes(buffer_t* buf, char* s, uint32 l);
/** @brief Appends a length-prefixed byte string.
 *
 * The length as 4 big-endian bytes, then the l bytes of s (no terminating
 * zero); s is only read. Should the bytes not fit, the length stays
 * written alone.
 *
 * @param buf the buffer appended to.
 * @param s   the bytes.
 * @param l   number of bytes, also written as the length.
 */
V2X_API void write_string(buffer_t* buf, char* s, uint32 l);
/** @} */

V2X_EXTERN_C_END

#endif /* MORROW_BUFFER_H */
