// SPDX-License-Identifier: Apache-2.0
// Ring buffer and spinlock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "self_fifo.h"
#include "spinlock.h"

TEST(Fifo, DepthThreeOrderAndWrapAround)
{
    uint32_t store[3];
    tFifo f;
    fifo_init(&f, store, sizeof(uint32_t), 3);
    EXPECT_EQ(fifo_is_empty(&f), 1);
    for (uint32_t v : {10u, 11u, 12u}) {
        EXPECT_EQ(fifo_add_one(&f, &v), 1);
    }
    uint32_t v = 13;
    EXPECT_EQ(fifo_add_one(&f, &v), 0);
    EXPECT_EQ(fifo_is_full(&f), 1);
    EXPECT_EQ(fifo_get_data_count(&f), 3u);
    uint32_t got = 0;
    EXPECT_EQ(fifo_get_one(&f, &got), 1);
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(fifo_add_one(&f, &v), 1);
    EXPECT_EQ(store[0], 13u);  // wrapped to index 0
    for (uint32_t want : {11u, 12u, 13u}) {
        EXPECT_EQ(fifo_get_one(&f, &got), 1);
        EXPECT_EQ(got, want);
    }
    EXPECT_EQ(fifo_get_one(&f, &got), 0);
    EXPECT_EQ(fifo_is_empty(&f), 1);
    EXPECT_EQ(fifo_is_full(&f), 0);
}

TEST(Fifo, BulkAddGetZeroCountAndClear)
{
    uint16_t store[3];
    tFifo f;
    fifo_init(&f, store, sizeof(uint16_t), 3);
    uint16_t in[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(fifo_add(&f, in, 0), 0u);
    EXPECT_EQ(fifo_add(&f, in, 5), 3u);
    uint16_t out[5] = {0};
    EXPECT_EQ(fifo_get(&f, out, 0), 0u);
    EXPECT_EQ(fifo_get(&f, out, 5), 3u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(fifo_add(&f, in, 2), 2u);
    fifo_clear(&f);
    EXPECT_EQ(fifo_is_empty(&f), 1);
    EXPECT_EQ(f.Head, 0u);
    EXPECT_EQ(f.Tail, 0u);
    uint16_t x = 77;
    EXPECT_EQ(fifo_add_one(&f, &x), 1);
    EXPECT_EQ(store[0], 77);
}

// 4 producers and 4 consumers: every element is taken exactly once.
TEST(Fifo, FourProducersFourConsumersEachElementOnce)
{
    constexpr uint32_t kPerProducer = 20000;
    constexpr uint32_t kTotal = 4 * kPerProducer;
    uint32_t store[64];
    tFifo f;
    fifo_init(&f, store, sizeof(uint32_t), 64);
    std::vector<std::atomic<int>> seen(kTotal);
    for (auto& s : seen) {
        s = 0;
    }
    std::atomic<uint32_t> taken{0};
    std::vector<std::thread> th;
    for (uint32_t p = 0; p < 4; ++p) {
        th.emplace_back([&f, p] {
            for (uint32_t i = 0; i < kPerProducer; ++i) {
                uint32_t v = p * kPerProducer + i;
                while (fifo_add_one(&f, &v) == 0) {
                    std::this_thread::yield();
                }
            }
        });
    }
    for (int c = 0; c < 4; ++c) {
        th.emplace_back([&] {
            uint32_t v;
            while (taken.load() < kTotal) {
                if (fifo_get_one(&f, &v) == 1) {
                    seen[v].fetch_add(1);
                    taken.fetch_add(1);
                } else {
                    std::this_thread::yield();
                }
            }
        });
    }
    for (auto& t : th) {
        t.join();
    }
    EXPECT_EQ(taken.load(), kTotal);
    for (uint32_t i = 0; i < kTotal; ++i) {
        ASSERT_EQ(seen[i].load(), 1) << i;
    }
    EXPECT_EQ(fifo_is_empty(&f), 1);
}

TEST(Spinlock, TryLockOnHeldLock)
{
    spinlock_t s;
    spinlock_init(&s);
    EXPECT_EQ(spinlock_try_lock(&s), 1);
    EXPECT_EQ(spinlock_try_lock(&s), 0);
    EXPECT_EQ(s.v_, 1);
    spinlock_unlock(&s);
    EXPECT_EQ(s.v_, 0);
    EXPECT_EQ(spinlock_try_lock(&s), 1);
    spinlock_unlock(&s);
}

// A plain (non-atomic) counter guarded by the spinlock under contention.
TEST(Spinlock, GuardsCounterUnderContention)
{
    spinlock_t s;
    spinlock_init(&s);
    long counter = 0;
    constexpr int kThreads = 6;
    constexpr int kIters = 50000;
    std::vector<std::thread> th;
    for (int t = 0; t < kThreads; ++t) {
        th.emplace_back([&] {
            for (int i = 0; i < kIters; ++i) {
                spinlock_lock(&s);
                long v = counter;
                if ((i & 1023) == 0) {
                    std::this_thread::yield();  // hold it a while now and then
                }
                counter = v + 1;
                spinlock_unlock(&s);
            }
        });
    }
    for (auto& t : th) {
        t.join();
    }
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kIters);
    EXPECT_EQ(s.v_, 0);
}
