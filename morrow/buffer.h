/* Growable byte buffers, byte-order conversions and big-endian writers.
 *
 * A buffer owns its data area. Every appending operation keeps used below
 * size and stores a zero byte at ptr[used] (read_buffer excepted), so text
 * contents read as a C string. A buffer has no lock: its owner serialises
 * access. */
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

V2X_API buffer_t* buffer_init(int size);
V2X_API void buffer_free(buffer_t* b);
V2X_API void buffer_reset(buffer_t* b);
V2X_API void buffer_expand(buffer_t* b, int size);
V2X_API void buffer_append(buffer_t* dst, buffer_t* src);
V2X_API void buffer_copy(buffer_t* dst, buffer_t* src);
/* Carves len zeroed bytes from the free room; they move if the buffer grows. */
V2X_API char* buffer_calloc(buffer_t* allocator, int len);
/* Appends what is pending on fd: count read, 0 to retry later, -1 for a
 * closed peer or an error. */
V2X_API int read_buffer(int fd, buffer_t* p_buff_t);
V2X_API void buffer_shift(buffer_t* b, int len);

V2X_API uint16 TO_WLE(uint16 v);
V2X_API uint32 TO_DWLE(uint32 v);
V2X_API uint64 TO_QWLE(uint64 v);
V2X_API uint16 TO_WBE(uint16 v);
V2X_API uint32 TO_DWBE(uint32 v);
V2X_API uint64 TO_QWBE(uint64 v);

/* Writers append in network (big-endian) order, growing the buffer. */
V2X_API void _write_ex(buffer_t* buf, const void* wbuf, uint32 len);
V2X_API void write_uint8(buffer_t* buf, uint8 v);
V2X_API void write_uint16(buffer_t* buf, uint16 v);
V2X_API void write_uint32(buffer_t* buf, uint32 v);
V2X_API void write_uint64(buffer_t* buf, uint64 v);
V2X_API void write_bytes(buffer_t* buf, char* s, uint32 l);
/* The length as 4 big-endian bytes, then the bytes (no terminating zero). */
V2X_API void write_string(buffer_t* buf, char* s, uint32 l);

V2X_EXTERN_C_END

#endif /* MORROW_BUFFER_H */
