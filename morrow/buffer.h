// SPDX-License-Identifier: Apache-2.0
/* Growable byte buffers, byte-order conversions and big-endian writers.
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

typedef uint8_t uint8;
typedef uint16_t uint16;
typedef uint32_t uint32;
typedef uint64_t uint64;

typedef struct buffer_s {
    char* ptr;   /* data area, owned by the buffer */
    int32_t size; /* capacity in bytes */
    int32_t used; /* bytes in use from the start of ptr */
} buffer_t;

/* Bytes held by all live buffers (capacity plus record), changed atomically.
 * A statistic for the host; the libraries never read it. */
V2X_API extern uint64_t buffer_memory;

/* A new empty buffer whose zeroed area holds the next multiple of 64 bytes
 * strictly above size (64 for size <= 0, 128 for 64). NULL when memory runs
 * out or the capacity would pass INT32_MAX. Release with buffer_free. */
V2X_API buffer_t* buffer_init(int size);
/* Frees the area and the record; b is invalid afterwards. NULL is ignored. */
V2X_API void buffer_free(buffer_t* b);
/* used = 0 and the whole area zeroed; the capacity is kept. */
V2X_API void buffer_reset(buffer_t* b);
/* Grows the area so that size bytes fit: the capacity becomes the next
 * multiple of 512 strictly above size. Nothing happens when the buffer
 * already holds size bytes or memory runs out. Contents and used are kept;
 * the added bytes are not zeroed, and ptr may move. */
V2X_API void buffer_expand(buffer_t* b, int size);
/* Appends src's used bytes to dst, growing dst; src is only read (dst ==
 * src doubles the contents). An empty src changes nothing. */
V2X_API void buffer_append(buffer_t* dst, buffer_t* src);
/* Replaces dst's contents by src's, growing dst; src is only read. An empty
 * src leaves dst unchanged (it does not empty it). */
V2X_API void buffer_copy(buffer_t* dst, buffer_t* src);
/* Carves len zeroed bytes from the free room after used and returns them;
 * used grows by len. NULL when len < 0 or the room (one byte kept spare) is
 * short: it never grows the buffer. The pointer is invalid once the buffer
 * grows or is freed. */
V2X_API char* buffer_calloc(buffer_t* allocator, int len);
/* Appends what is pending on fd (FIONREAD; one byte when none is reported),
 * growing the buffer: count read, 0 to retry later (EAGAIN, EINTR), -1 for
 * a closed peer, an error, a buffer that can grow no more, fd < 0 or a
 * null buffer (a read that returns 0 or fails also prints a line to
 * stdout). Blocks only when fd is blocking and nothing is pending. Stores
 * no terminating zero. */
V2X_API int read_buffer(int fd, buffer_t* p_buff_t);
/* Drops the first len bytes, moving the rest to the start. Nothing happens
 * when len < 0 or len > used. */
V2X_API void buffer_shift(buffer_t* b, int len);

/* Byte-order conversions of a value held in a register (2, 4 or 8 bytes):
 * the result, stored in memory, has its bytes in little-endian (TO_*LE) or
 * big-endian (TO_*BE) order. Each swaps the bytes only where the host's own
 * order differs, so it is its own inverse and also converts a value loaded
 * from that order back to host order. They take values, not pointers: to
 * read wire bytes at any alignment, memcpy them into a variable first. Pure
 * functions, callable from any thread. */
V2X_API uint16 TO_WLE(uint16 v);
V2X_API uint32 TO_DWLE(uint32 v);
V2X_API uint64 TO_QWLE(uint64 v);
V2X_API uint16 TO_WBE(uint16 v);
V2X_API uint32 TO_DWBE(uint32 v);
V2X_API uint64 TO_QWBE(uint64 v);

/* Writers append at used in network (big-endian) order, whatever the host
 * order, growing the buffer; the bytes land at any alignment. When the room
 * cannot be had nothing is written and nothing is reported. */
/* Appends len bytes copied from wbuf (any alignment; NULL only with len 0). */
V2X_API void _write_ex(buffer_t* buf, const void* wbuf, uint32 len);
/* Append 1, 2, 4 or 8 bytes, most significant byte first. */
V2X_API void write_uint8(buffer_t* buf, uint8 v);
V2X_API void write_uint16(buffer_t* buf, uint16 v);
V2X_API void write_uint32(buffer_t* buf, uint32 v);
V2X_API void write_uint64(buffer_t* buf, uint64 v);
/* Appends l bytes from s, as they are; s is only read. */
V2X_API void write_bytes(buffer_t* buf, char* s, uint32 l);
/* The length as 4 big-endian bytes, then the l bytes of s (no terminating
 * zero); s is only read. Should the bytes not fit, the length stays
 * written alone. */
V2X_API void write_string(buffer_t* buf, char* s, uint32 l);

V2X_EXTERN_C_END

#endif /* MORROW_BUFFER_H */
