// SPDX-License-Identifier: Apache-2.0
// Growable byte buffers, byte-order conversions and big-endian writers.
#include "buffer.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <limits>

#include "self_log.h"

extern "C" {
V2X_API uint64_t buffer_memory = 0;
}

namespace {

constexpr int64_t kRecord = static_cast<int64_t>(sizeof(buffer_t));
constexpr int64_t kIntMax = std::numeric_limits<int32_t>::max();

void memory_add(uint64_t n)
{
    __atomic_fetch_add(&buffer_memory, n, __ATOMIC_RELAXED);
}

// Subtracts n, clamping at 0, as one atomic step.
void memory_sub_clamped(uint64_t n)
{
    uint64_t cur = __atomic_load_n(&buffer_memory, __ATOMIC_RELAXED);
    uint64_t next;
    do {
        next = cur > n ? cur - n : 0;
    } while (!__atomic_compare_exchange_n(&buffer_memory, &cur, next, true, __ATOMIC_RELAXED,
                                          __ATOMIC_RELAXED));
}

// Next multiple of step strictly above n; 0 when that does not fit an int32.
int32_t step_above(int64_t n, int64_t step)
{
    if (n < 0) {
        n = 0;
    }
    int64_t cap = n - n % step + step;
    return cap > kIntMax ? 0 : static_cast<int32_t>(cap);
}

bool valid(const buffer_t* b)
{
    return b != nullptr && b->ptr != nullptr;
}

}  // namespace

extern "C" V2X_API buffer_t* buffer_init(int size)
{
    auto* b = static_cast<buffer_t*>(calloc(1, sizeof(buffer_t)));
    if (b == nullptr) {
        return nullptr;
    }
    int32_t cap = step_above(size, 64);
    b->ptr = cap > 0 ? static_cast<char*>(calloc(static_cast<size_t>(cap), 1)) : nullptr;
    if (b->ptr == nullptr) {
        free(b);
        return nullptr;
    }
    b->size = cap;
    b->used = 0;
    memory_add(static_cast<uint64_t>(cap + kRecord));
    return b;
}

extern "C" V2X_API void buffer_free(buffer_t* b)
{
    if (b == nullptr) {
        return;
    }
    memory_sub_clamped(static_cast<uint64_t>(b->size + kRecord));
    free(b->ptr);
    free(b);
}

extern "C" V2X_API void buffer_reset(buffer_t* b)
{
    if (!valid(b)) {
        return;
    }
    b->used = 0;
    memset(b->ptr, 0, static_cast<size_t>(b->size));
}

extern "C" V2X_API void buffer_expand(buffer_t* b, int size)
{
    if (!valid(b) || b->size >= size) {
        return;
    }
    int32_t cap = step_above(size, 512);
    if (cap <= b->size) {
        return;
    }
    auto* p = static_cast<char*>(realloc(b->ptr, static_cast<size_t>(cap)));
    if (p == nullptr) {
        return;
    }
    memory_add(static_cast<uint64_t>(cap - b->size));
    b->ptr = p;
    b->size = cap;
}

// Makes room for len more bytes plus the terminating zero; false when the
// buffer cannot hold them.
static bool _ensure_room(buffer_t* b, int64_t len)
{
    int64_t need = static_cast<int64_t>(b->used) + len;
    if (need >= b->size) {
        if (need + 1 > kIntMax) {
            return false;
        }
        buffer_expand(b, static_cast<int>(need + 1));
    }
    return need < b->size;
}

extern "C" V2X_API void buffer_append(buffer_t* dst, buffer_t* src)
{
    if (!valid(dst) || !valid(src) || src->used <= 0) {
        return;
    }
    if (!_ensure_room(dst, src->used)) {
        return;
    }
    memmove(dst->ptr + dst->used, src->ptr, static_cast<size_t>(src->used));
    dst->used += src->used;
    dst->ptr[dst->used] = '\0';
}

extern "C" V2X_API void buffer_copy(buffer_t* dst, buffer_t* src)
{
    if (!valid(dst) || !valid(src) || src->used <= 0) {
        return;
    }
    if (src->used >= dst->size) {
        buffer_expand(dst, src->used + 1);
        if (src->used >= dst->size) {
            return;
        }
    }
    memmove(dst->ptr, src->ptr, static_cast<size_t>(src->used));
    dst->used = src->used;
    dst->ptr[dst->used] = '\0';
}

extern "C" V2X_API char* buffer_calloc(buffer_t* allocator, int len)
{
    if (!valid(allocator) || len < 0 ||
        static_cast<int64_t>(allocator->used) + len >= allocator->size) {
        return nullptr;
    }
    char* p = allocator->ptr + allocator->used;
    memset(p, 0, static_cast<size_t>(len));
    allocator->used += len;
    return p;
}

extern "C" V2X_API int read_buffer(int fd, buffer_t* p_buff_t)
{
    if (!valid(p_buff_t) || fd < 0) {
        return -1;
    }
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) < 0) {
        return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }
    int64_t want = pending > 0 ? pending : 1;
    if (p_buff_t->size - p_buff_t->used < want) {
        int64_t need = static_cast<int64_t>(p_buff_t->used) + want + 1;
        buffer_expand(p_buff_t, need > kIntMax ? static_cast<int>(kIntMax) : static_cast<int>(need));
        if (p_buff_t->size - p_buff_t->used < want) {
            want = p_buff_t->size - p_buff_t->used;
        }
    }
    ssize_t got = want > 0 ? read(fd, p_buff_t->ptr + p_buff_t->used, static_cast<size_t>(want)) : 0;
    if (got > 0) {
        p_buff_t->used += static_cast<int32_t>(got);
        return static_cast<int>(got);
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return 0;
    }
    if (log_direct_wanted(LOG_LEV_ERROR) != 0) {
        char txt[160];
        snprintf(txt, sizeof(txt), "toread:%d ret:%d, msg:%s\n", static_cast<int>(want),
                 static_cast<int>(got), strerror(errno));
        log_direct_text(LOG_LEV_ERROR, "buffer.cpp", __func__, txt);
    }
    return -1;
}

extern "C" V2X_API void buffer_shift(buffer_t* b, int len)
{
    if (!valid(b) || len < 0 || b->used < len) {
        return;
    }
    memmove(b->ptr, b->ptr + len, static_cast<size_t>(b->used - len));
    b->used -= len;
    // A buffer that read_buffer filled to its last byte has no room for the
    // terminator: it is written only inside the capacity.
    if (b->used < b->size) {
        b->ptr[b->used] = '\0';
    }
}

namespace {

constexpr bool kLittleHost = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

}  // namespace

extern "C" V2X_API uint16 TO_WLE(uint16 v) { return kLittleHost ? v : __builtin_bswap16(v); }
extern "C" V2X_API uint32 TO_DWLE(uint32 v) { return kLittleHost ? v : __builtin_bswap32(v); }
extern "C" V2X_API uint64 TO_QWLE(uint64 v) { return kLittleHost ? v : __builtin_bswap64(v); }
extern "C" V2X_API uint16 TO_WBE(uint16 v) { return kLittleHost ? __builtin_bswap16(v) : v; }
extern "C" V2X_API uint32 TO_DWBE(uint32 v) { return kLittleHost ? __builtin_bswap32(v) : v; }
extern "C" V2X_API uint64 TO_QWBE(uint64 v) { return kLittleHost ? __builtin_bswap64(v) : v; }

extern "C" V2X_API void _write_ex(buffer_t* buf, const void* wbuf, uint32 len)
{
    if (!valid(buf) || (wbuf == nullptr && len > 0)) {
        return;
    }
    if (!_ensure_room(buf, static_cast<int64_t>(len))) {
        return;
    }
    if (len > 0) {
        memcpy(buf->ptr + buf->used, wbuf, len);
    }
    buf->used += static_cast<int32_t>(len);
    buf->ptr[buf->used] = '\0';
}

// Big-endian bytes of the low `width` bytes of v.
static void _write_be(buffer_t* buf, uint64 v, int width)
{
    uint8 bytes[8];
    for (int i = 0; i < width; ++i) {
        bytes[i] = static_cast<uint8>(v >> (8 * (width - 1 - i)));
    }
    _write_ex(buf, bytes, static_cast<uint32>(width));
}

extern "C" V2X_API void write_uint8(buffer_t* buf, uint8 v) { _write_be(buf, v, 1); }
extern "C" V2X_API void write_uint16(buffer_t* buf, uint16 v) { _write_be(buf, v, 2); }
extern "C" V2X_API void write_uint32(buffer_t* buf, uint32 v) { _write_be(buf, v, 4); }
extern "C" V2X_API void write_uint64(buffer_t* buf, uint64 v) { _write_be(buf, v, 8); }

extern "C" V2X_API void write_bytes(buffer_t* buf, char* s, uint32 l) { _write_ex(buf, s, l); }

extern "C" V2X_API void write_string(buffer_t* buf, char* s, uint32 l)
{
    write_uint32(buf, l);
    _write_ex(buf, s, l);
}
