// SPDX-License-Identifier: Apache-2.0
// Buffer capacity steps, the memory count, writers' byte order, read_buffer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "buffer.h"
#include "test_support.h"
#include "xfuncs.h"

namespace {

constexpr uint64_t kRec = sizeof(buffer_t);

std::vector<uint8_t> bytes_of(const buffer_t* b)
{
    return std::vector<uint8_t>(b->ptr, b->ptr + b->used);
}

struct Buf {
    buffer_t* b;
    explicit Buf(int size) : b(buffer_init(size)) {}
    ~Buf() { buffer_free(b); }
};

}  // namespace

TEST(BufferCapacity, InitRoundsUpToNextMultipleOf64)
{
    const std::pair<int, int> cases[] = {{0, 64}, {1, 64}, {63, 64}, {64, 128}, {100, 128}, {-5, 64}};
    for (auto [req, cap] : cases) {
        uint64_t before = buffer_memory;
        buffer_t* b = buffer_init(req);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->size, cap) << req;
        EXPECT_EQ(b->used, 0);
        EXPECT_EQ(buffer_memory, before + cap + kRec);
        buffer_free(b);
        EXPECT_EQ(buffer_memory, before);
    }
}

TEST(BufferCapacity, ExpandStepsOf512)
{
    Buf x(0);
    uint64_t before = buffer_memory;
    buffer_expand(x.b, 64);
    EXPECT_EQ(x.b->size, 64);
    buffer_expand(x.b, 10);
    EXPECT_EQ(x.b->size, 64);
    EXPECT_EQ(buffer_memory, before);
    buffer_expand(x.b, 600);
    EXPECT_EQ(x.b->size, 1024);
    EXPECT_EQ(buffer_memory, before + 960);
    buffer_expand(x.b, 1025);
    EXPECT_EQ(x.b->size, 1536);
}

TEST(BufferCapacity, ExpandOf512GivesTheNextStep)
{
    Buf x(0);
    buffer_expand(x.b, 512);
    EXPECT_EQ(x.b->size, 1024);
}

TEST(BufferCapacity, AppendingUpToOneBelowFreeRoomDoesNotGrow)
{
    Buf x(0);
    std::string s(63, 'a');
    _write_ex(x.b, s.data(), 63);
    EXPECT_EQ(x.b->size, 64);
    EXPECT_EQ(x.b->used, 63);
    EXPECT_EQ(x.b->ptr[63], '\0');
    write_uint8(x.b, 'b');
    EXPECT_EQ(x.b->size, 512);
    EXPECT_EQ(x.b->used, 64);
    EXPECT_EQ(x.b->ptr[64], '\0');
}

TEST(BufferMemory, FreeClampsAtZero)
{
    buffer_t* b = buffer_init(0);
    uint64_t saved = buffer_memory;
    __atomic_store_n(&buffer_memory, 10, __ATOMIC_RELAXED);
    buffer_free(b);
    EXPECT_EQ(buffer_memory, 0u);
    __atomic_store_n(&buffer_memory, saved - 64 - kRec, __ATOMIC_RELAXED);
}

TEST(BufferMemory, ConcurrentInitAndFreeKeepTheCount)
{
    uint64_t before = buffer_memory;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([] {
            for (int i = 0; i < 2000; ++i) {
                buffer_t* b = buffer_init(i % 300);
                buffer_expand(b, 700);
                buffer_free(b);
            }
        });
    }
    for (auto& t : ts) {
        t.join();
    }
    EXPECT_EQ(buffer_memory, before);
}

TEST(BufferWriters, BigEndianWhateverTheHost)
{
    Buf x(0);
    write_uint16(x.b, 0x1234);
    write_uint32(x.b, 0xA1B2C3D4u);
    write_uint64(x.b, 0x0102030405060708ull);
    write_uint8(x.b, 0xFF);
    std::vector<uint8_t> want = {0x12, 0x34, 0xA1, 0xB2, 0xC3, 0xD4, 1, 2, 3, 4, 5, 6, 7, 8, 0xFF};
    EXPECT_EQ(bytes_of(x.b), want);
}

TEST(BufferWriters, StringIsLengthPrefixed)
{
    Buf x(0);
    char abc[] = "abc";
    write_string(x.b, abc, 3);
    std::vector<uint8_t> want = {0, 0, 0, 3, 'a', 'b', 'c'};
    EXPECT_EQ(bytes_of(x.b), want);
    write_bytes(x.b, abc, 2);
    EXPECT_EQ(std::string(x.b->ptr + 4, 5), "abcab");
    EXPECT_EQ(x.b->used, 9);
}

// Ignored means: no crash, no memory counted, the other operand and the
// descriptor left as they were, and the calls with a result refuse.
TEST(BufferWriters, NullBufferIsIgnored)
{
    Buf src(8);
    ASSERT_NE(src.b, nullptr);
    _write_ex(src.b, "abc", 3);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(write(sv[1], "zz", 2), 2);
    const uint64_t before = buffer_memory;

    write_uint32(nullptr, 1);
    _write_ex(nullptr, "x", 1);
    write_string(nullptr, const_cast<char*>("xy"), 2);
    buffer_append(nullptr, src.b);
    buffer_copy(nullptr, src.b);
    buffer_append(src.b, nullptr);
    buffer_copy(src.b, nullptr);
    buffer_shift(nullptr, 1);
    buffer_reset(nullptr);
    buffer_expand(nullptr, 100);
    buffer_free(nullptr);
    EXPECT_EQ(buffer_calloc(nullptr, 4), nullptr);
    EXPECT_EQ(read_buffer(sv[0], nullptr), -1);

    EXPECT_EQ(buffer_memory, before);
    EXPECT_EQ(bytes_of(src.b), (std::vector<uint8_t>{'a', 'b', 'c'}));
    int pending = 0;
    ASSERT_EQ(ioctl(sv[0], FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 2);  // nothing was read from the descriptor
    close(sv[0]);
    close(sv[1]);
}

TEST(BufferByteOrder, Conversions)
{
    uint16_t w = TO_WBE(0x1234);
    uint32_t d = TO_DWBE(0x01020304);
    uint64_t q = TO_QWBE(0x0102030405060708ull);
    const uint8_t* pw = reinterpret_cast<const uint8_t*>(&w);
    const uint8_t* pd = reinterpret_cast<const uint8_t*>(&d);
    const uint8_t* pq = reinterpret_cast<const uint8_t*>(&q);
    EXPECT_EQ(pw[0], 0x12);
    EXPECT_EQ(pw[1], 0x34);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pd[i], i + 1);
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(pq[i], i + 1);
    }
    uint16_t lw = TO_WLE(0x1234);
    uint32_t ld = TO_DWLE(0x01020304);
    uint64_t lq = TO_QWLE(0x0102030405060708ull);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&lw)[0], 0x34);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&ld)[0], 0x04);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&lq)[0], 0x08);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&lq)[7], 0x01);
}

TEST(BufferOps, ShiftCallocAppendCopyReset)
{
    Buf x(0);
    _write_ex(x.b, "hello", 5);
    buffer_shift(x.b, 6);
    EXPECT_EQ(x.b->used, 5);
    buffer_shift(x.b, 2);
    EXPECT_STREQ(x.b->ptr, "llo");
    buffer_shift(x.b, 3);
    EXPECT_EQ(x.b->used, 0);
    EXPECT_EQ(x.b->ptr[0], '\0');

    char* p = buffer_calloc(x.b, 60);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(x.b->used, 60);
    EXPECT_EQ(buffer_calloc(x.b, 4), nullptr);  // used + len == size
    EXPECT_NE(buffer_calloc(x.b, 3), nullptr);
    EXPECT_EQ(buffer_calloc(x.b, -1), nullptr);

    Buf src(0), dst(0);
    std::string big(700, 'q');
    _write_ex(src.b, big.data(), 700);
    buffer_append(dst.b, src.b);
    buffer_append(dst.b, src.b);
    EXPECT_EQ(dst.b->used, 1400);
    EXPECT_EQ(dst.b->ptr[1400], '\0');
    Buf cp(0);
    _write_ex(cp.b, "zz", 2);
    buffer_copy(cp.b, src.b);
    EXPECT_EQ(cp.b->used, 700);
    EXPECT_EQ(cp.b->ptr[0], 'q');
    EXPECT_EQ(cp.b->ptr[700], '\0');
    buffer_reset(cp.b);
    EXPECT_EQ(cp.b->used, 0);
    for (int i = 0; i < cp.b->size; ++i) {
        ASSERT_EQ(cp.b->ptr[i], 0);
    }
}

TEST(BufferRead, PendingBytesNoDataAndClosedPeer)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    Buf x(0);
    EXPECT_EQ(read_buffer(sv[0], x.b), 0);  // nothing pending, non-blocking
    std::string msg(300, 'm');
    ASSERT_EQ(write(sv[1], msg.data(), msg.size()), 300);
    EXPECT_EQ(read_buffer(sv[0], x.b), 300);
    EXPECT_EQ(x.b->used, 300);
    EXPECT_GE(x.b->size, 301);
    close(sv[1]);
    v2xtest::StdoutCapture cap;
    EXPECT_EQ(read_buffer(sv[0], x.b), -1);
    std::string out = cap.stop();
    EXPECT_NE(out.find("toread:1 ret:0, msg:"), std::string::npos) << out;
    close(sv[0]);
    EXPECT_EQ(read_buffer(-1, x.b), -1);
    EXPECT_EQ(read_buffer(5, nullptr), -1);
}

// Mended fault: descriptor 0 was refused as if it were no descriptor.
TEST(BufferRead, DescriptorZeroIsADescriptor)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const int savedIn = dup(0);
    ASSERT_GE(savedIn, 0);
    ASSERT_EQ(dup2(sv[0], 0), 0);
    ASSERT_EQ(write(sv[1], "zero", 4), 4);
    Buf x(0);
    const int got = read_buffer(0, x.b);
    dup2(savedIn, 0);
    close(savedIn);
    close(sv[0]);
    close(sv[1]);
    ASSERT_EQ(got, 4);
    EXPECT_EQ(std::string(x.b->ptr, 4), "zero");
}

TEST(AllocWrappers, ZeroedAndSilentForZero)
{
    auto* p = static_cast<uint8_t*>(xzMalloc(100));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(p[i], 0);
    }
    free(p);
    auto* c = static_cast<uint8_t*>(xCalloc(10, 10));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c[99], 0);
    c = static_cast<uint8_t*>(xRealloc(c, 200));
    ASSERT_NE(c, nullptr);
    free(c);
    free(xzOneCalloc(8));
    v2xtest::StdoutCapture cap;
    free(xMalloc(0));
    free(xCalloc(0, 5));
    EXPECT_EQ(cap.stop(), "");
}

TEST(AllocWrappers, NegativeSizeFailsAndLogs)
{
    v2xtest::LevelGuard g(LOG_LEV_ERROR);
    v2xtest::StdoutCapture cap;
    EXPECT_EQ(xMalloc(-1), nullptr);
    EXPECT_EQ(xzMalloc(-1), nullptr);
    std::string out = cap.stop();
    EXPECT_EQ(v2xtest::count_lines_with(out, "malloc() err!!!!"), 2) << out;
    EXPECT_EQ(v2xtest::count_lines_with(out, " xfuncs.cpp "), 2) << out;
}

// Mended fault: a shift of a buffer that read_buffer filled to its last
// byte wrote the terminator one byte past it (ASan: heap-buffer-overflow).
TEST(BufferRead, ShiftAfterAnExactFillStaysInside)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Buf x(64);
    const int size = x.b->size;
    std::string msg(static_cast<size_t>(size), 'q');
    ASSERT_EQ(write(sv[1], msg.data(), msg.size()), size);
    ASSERT_EQ(read_buffer(sv[0], x.b), size);
    ASSERT_EQ(x.b->used, x.b->size);
    buffer_shift(x.b, 0);
    buffer_shift(x.b, 4);
    EXPECT_EQ(x.b->used, size - 4);
    EXPECT_EQ(std::string(x.b->ptr, static_cast<size_t>(size - 4)), std::string(size - 4, 'q'));
    EXPECT_EQ(x.b->ptr[size - 4], '\0');
    close(sv[0]);
    close(sv[1]);
}
