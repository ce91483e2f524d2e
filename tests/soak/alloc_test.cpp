// SPDX-License-Identifier: Apache-2.0
// Allocation faults and allocation counts, with malloc, calloc and realloc
// replaced in this program: every start-up step's failure path releases
// what it made, and the data paths allocate nothing per message once the
// core runs. The sanitizers bring their own allocator, so there these
// tests skip.
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <execinfo.h>

#include "core.h"
#include "core_app.h"
#include "core_harness.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define V2X_ALLOC_HOOKS 0
#else
#define V2X_ALLOC_HOOKS 1
#endif

namespace {

std::atomic<bool> gCount{false};
std::atomic<long> gAllocs{0};
std::atomic<long> gFailAt{0};  // fail the allocation with this number; 0: none
thread_local bool tIgnore = false;
bool gTrace = false;

// True when this allocation is to fail.
[[maybe_unused]] bool count_one()
{
    if (!gCount.load(std::memory_order_relaxed) || tIgnore) {
        return false;
    }
    const long n = gAllocs.fetch_add(1) + 1;
    if (gTrace) {
        // Where the counted allocation comes from (V2X_ALLOC_TRACE=1).
        void* frames[16];
        const int depth = backtrace(frames, 16);
        backtrace_symbols_fd(frames, depth, 2);
        write(2, "--\n", 3);
    }
    return n == gFailAt.load();
}

}  // namespace

#if V2X_ALLOC_HOOKS
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);

void* malloc(size_t n)
{
    return count_one() ? nullptr : __libc_malloc(n);
}
void* calloc(size_t n, size_t m)
{
    return count_one() ? nullptr : __libc_calloc(n, m);
}
void* realloc(void* p, size_t n)
{
    return count_one() ? nullptr : __libc_realloc(p, n);
}
}
#endif

namespace {

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

bool can_connect(const char* path)
{
    const int fd = v2xtest::unix_connect(path);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

// Starts the core and waits until it serves or its thread has ended.
// True when it serves.
[[maybe_unused]] bool start_and_settle(const tV2XSDKCfg& cfg, int taskBase)
{
    // The caller's thread counts only while it is in the core's start.
    tIgnore = false;
    const int rc = v2x_core_init(&cfg);
    tIgnore = true;
    if (rc != 0) {
        return false;
    }
    const long end = now_ms() + 5000;
    while (now_ms() < end) {
        if (can_connect(cfg.dmnNme)) {
            return true;
        }
        if (v2xtest::thread_count() == taskBase) {
            return false;
        }
        usleep(2000);
    }
    return false;
}

}  // namespace

TEST(AllocFault, EveryFailedStartUpAllocationIsReleased)
{
#if !V2X_ALLOC_HOOKS
    GTEST_SKIP() << "the sanitizers replace the allocator";
#else
    v2xtest::LevelGuard quiet(LOG_LEV_OFF);
    mallopt(M_ARENA_MAX, 1);
    tV2XSDKCfg cfg;
    memset(&cfg, 0, sizeof(cfg));
    snprintf(cfg.dmnNme, sizeof(cfg.dmnNme), "%s", v2xtest::unique_path("af").c_str());
    snprintf(cfg.rcvIp, sizeof(cfg.rcvIp), "127.0.0.1");
    snprintf(cfg.sendIp, sizeof(cfg.sendIp), "127.0.0.1");
    cfg.rcvPort = v2xtest::free_udp_port();
    cfg.sendPort = v2xtest::free_udp_port();
    const int taskBase = v2xtest::thread_count();
    // Whole starts and stops first: what is set up once per process (thread
    // support of the event library, the C library's cache of thread stacks
    // and their records, which fills over the first few threads) is not a
    // leak.
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(start_and_settle(cfg, taskBase));
        v2x_core_exit();
    }
    const int fdBase = v2xtest::open_fd_count();
    const long heapBase = v2xtest::heap_in_use();

    int failedStarts = 0;
    long n = 1;
    for (; n < 2000; ++n) {
        SCOPED_TRACE(n);
        gAllocs = 0;
        gFailAt = n;
        gCount = true;
        const bool served = start_and_settle(cfg, taskBase);
        gCount = false;
        const long made = gAllocs.load();
        v2x_core_exit();
        ASSERT_TRUE(v2xtest::thread_count() == taskBase || [&] {
            usleep(100 * 1000);
            return v2xtest::thread_count() == taskBase;
        }()) << "core thread still there";
        EXPECT_EQ(v2xtest::open_fd_count(), fdBase);
        // A little slack for the C library's per-thread records.
        EXPECT_LE(v2xtest::heap_in_use() - heapBase, 2048L) << "heap grew";
        failedStarts += served ? 0 : 1;
        if (made < n) {
            // The whole start-up made fewer allocations: none failed, so it
            // must have served.
            EXPECT_TRUE(served);
            break;
        }
    }
    EXPECT_LT(n, 2000) << "start-up did not end within 2000 allocations";
    RecordProperty("startup_allocations", static_cast<int>(n - 1));
    RecordProperty("failed_starts", failedStarts);
    EXPECT_GT(failedStarts, 0) << "no allocation failure stopped the start-up";
    unlink(cfg.dmnNme);
#endif
}

TEST(AllocCount, NoAllocationPerMessageOnTheDataPaths)
{
#if !V2X_ALLOC_HOOKS
    GTEST_SKIP() << "the sanitizers replace the allocator";
#else
    v2xtest::LevelGuard quiet(LOG_LEV_OFF);
    tIgnore = true;  // this thread's own helpers allocate; the core's do not count
    v2xtest::CoreHarness core;
    ASSERT_TRUE(core.started());
    int app = core.connect_app();
    ASSERT_GE(app, 0);
    ASSERT_EQ(v2xtest::register_aid(app, 0, 32, 0), 0);
    usleep(200 * 1000);  // the registration is in before the first frame
    const v2xtest::Bytes frame = {0x04, 0x00, 0x20, 0x00, 0x04, 'p', 'i', 'n', 'g'};
    const v2xtest::Bytes req = v2xtest::dsm_req(33, v2xtest::Bytes(100, 0x5A));
    auto one_rx = [&] {
        ASSERT_TRUE(core.air_send(frame));
        ASSERT_EQ(v2xtest::read_msg(app, 2000).size(),
                  V2X_CORE_APP_HDR_LEN + V2X_DSM_IND_HEAD_LEN + 4);
    };
    auto one_tx = [&] {
        ASSERT_TRUE(v2xtest::write_all(app, req));
        ASSERT_FALSE(core.radio.recv(2000).empty());
    };
    // Warm-up: the first of each path may size buffers for good.
    for (int i = 0; i < 5; ++i) {
        one_rx();
        one_tx();
    }
    void* prime[2];
    backtrace(prime, 2);  // loads what backtrace needs before counting
    gTrace = getenv("V2X_ALLOC_TRACE") != nullptr;
    gAllocs = 0;
    gFailAt = 0;
    gCount = true;
    for (int i = 0; i < 200; ++i) {
        one_rx();
    }
    gCount = false;
    EXPECT_EQ(gAllocs.load(), 0) << "allocations by the core for 200 received messages";
    gAllocs = 0;
    gCount = true;
    for (int i = 0; i < 10; ++i) {
        one_tx();
    }
    gCount = false;
    gTrace = false;
    EXPECT_EQ(gAllocs.load(), 0) << "allocations by the core for 10 sent messages";
#endif
}
