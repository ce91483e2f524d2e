// SPDX-License-Identifier: Apache-2.0
// Shared helpers for the test programs.
#ifndef V2X_TEST_SUPPORT_H
#define V2X_TEST_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>

#include "self_log.h"
#include "v2x_stats.h"

namespace v2xtest {

// Sets gLogLevl for one test and restores it afterwards.
struct LevelGuard {
    eLogLevl saved;
    // Atomic, as the libraries read it: their threads may be logging.
    explicit LevelGuard(eLogLevl lvl) : saved(__atomic_load_n(&gLogLevl, __ATOMIC_RELAXED))
    {
        __atomic_store_n(&gLogLevl, lvl, __ATOMIC_RELAXED);
    }
    ~LevelGuard() { __atomic_store_n(&gLogLevl, saved, __ATOMIC_RELAXED); }
};

// Redirects file descriptor 1 (and stdout's buffer) into a temporary file
// until stop() returns what was written.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string stop();
    // What was written so far; the capture goes on.
    std::string text();
    // Waits up to aicMs for aicNeedle in what was written; whether it came.
    bool wait_for_text(const std::string& aicNeedle, int aicMs);

private:
    int saved_ = -1;
    int file_ = -1;
};

// The core's counters at construction; operator() gives how much the
// counter at a field's offset grew since: stat_delta(offsetof(tV2XCoreStats,
// rxDatagrams)). The counters belong to the process, so a test compares
// growth, never absolute values.
class StatDelta {
public:
    StatDelta() { take(base_); }
    uint64_t operator()(size_t aicOff) const
    {
        tV2XCoreStats now;
        take(now);
        return field(now, aicOff) - field(base_, aicOff);
    }
    // The counter at aicOff of a record.
    static uint64_t field(const tV2XCoreStats& aicSt, size_t aicOff);

private:
    static void take(tV2XCoreStats& aopSt);
    tV2XCoreStats base_;
};

// The core's counters now (a copy through v2x_core_stats()).
tV2XCoreStats stats_now();
// The core's counter at a field's offset now: stat_now(offsetof(...)).
uint64_t stat_now(size_t aicOff);

// Waits until pred() holds, up to timeout_ms by the monotonic clock (however
// long pred() itself takes); whether it does. The one polling loop of the
// tests: it looks again every 5 ms.
template <typename P>
bool wait_for(P pred, int timeout_ms = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

// Bytes written on the stream socket fd that its peer has not read yet
// (SIOCOUTQ), -1 on failure.
int unread_by_peer(int fd);

// Number of open descriptors of this process.
int open_fd_count();

// Number of threads of this process.
int thread_count();

// A listening Unix-domain stream socket of the test itself at `path`
// (close-on-exec, backlog 16); -1 on failure.
int unix_listen(const std::string& path);
// Puts a listener of the test's own at aicPath in place of the socket file a
// server made there, then stops the server with aicStop (which must return
// 0): the file the test put there stays, with its own inode.
void expect_stop_leaves_foreign_file(const std::string& aicPath, int (*aicStop)());
// Another process (as uid when it is not -1) listening at path: its pid
// once it listens, -1 when it could not. Stop it with stop_process().
int fork_listener(const std::string& path, int uid = -1);
void stop_process(int pid);

// Connects to the Unix-domain stream socket at `path`, trying again for up
// to `ms` milliseconds (servers bind on their own thread); -1 on failure.
int unix_connect(const std::string& path, int ms = 0);

// Bytes the heap allocator hands out right now (0 where it cannot tell, as
// under the sanitizers, whose own leak checker covers the heap).
long heap_in_use();

// A path of this test process that no other test uses.
std::string unique_path(const char* tag);

// A send for core_app_tx_set_send_fn() that passes at most gStingyTake more
// bytes (below 0: everything). At 0 it stands for a full socket: the call
// fails with EAGAIN after 5 ms, so that the caller's retries do not spin
// meanwhile, and counts in gStingyStalls.
extern std::atomic<long> gStingyTake;
extern std::atomic<int> gStingyStalls;
ssize_t stingy_send(int fd, const void* buf, size_t len, int flags);

// Number of lines of `text` containing `needle`.
int count_lines_with(const std::string& text, const std::string& needle);
// Whether the line starts with a clock time, HH:MM:SS.uuuuuu.
bool starts_with_clock(const std::string& aicLine);

// A needle and on how many lines it must stand.
struct LineCount {
    const char* needle;
    int count;
};
// Expects each needle on exactly its count of lines of text; a miss names
// the needle and shows the text.
void expect_lines(const std::string& text, std::initializer_list<LineCount> want);

}  // namespace v2xtest

#endif
