// SPDX-License-Identifier: Apache-2.0
#include "test_support.h"

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "self_log.h"

// The libraries read the level from their host; each test program is one.
extern "C" {
eLogLevl gLogLevl = LOG_LEV_ERROR;
}

namespace v2xtest {

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    char tmpl[] = "/tmp/v2x-capture-XXXXXX";
    file_ = mkstemp(tmpl);
    if (file_ >= 0) {
        unlink(tmpl);
        saved_ = dup(1);
        dup2(file_, 1);
    }
}

StdoutCapture::~StdoutCapture()
{
    stop();
}

std::string StdoutCapture::stop()
{
    if (file_ < 0) {
        return std::string();
    }
    std::string out = text();
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    close(file_);
    file_ = -1;
    return out;
}

std::string StdoutCapture::text()
{
    fflush(stdout);
    std::string out;
    if (file_ < 0) {
        return out;
    }
    char buf[4096];
    off_t off = 0;
    ssize_t n;
    while ((n = pread(file_, buf, sizeof(buf), off)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        off += n;
    }
    return out;
}

bool StdoutCapture::wait_for_text(const std::string& aicNeedle, int aicMs)
{
    return wait_for([&] { return text().find(aicNeedle) != std::string::npos; }, aicMs);
}

namespace {

// Entries of a /proc directory, without "." and "..".
int dir_entries(const char* path)
{
    int n = 0;
    DIR* d = opendir(path);
    if (d == nullptr) {
        return -1;
    }
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(d);
    return n;
}

void unix_addr(const std::string& path, struct sockaddr_un* a)
{
    memset(a, 0, sizeof(*a));
    a->sun_family = AF_UNIX;
    memcpy(a->sun_path, path.data(), std::min(path.size(), sizeof(a->sun_path) - 1));
}

}  // namespace

int open_fd_count()
{
    int n = dir_entries("/proc/self/fd");
    return n < 0 ? n : n - 1;  // the directory stream itself
}

int unread_by_peer(int fd)
{
    int n = -1;
    return ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

int thread_count()
{
    return dir_entries("/proc/self/task");
}

void expect_stop_leaves_foreign_file(const std::string& aicPath, int (*aicStop)())
{
    ASSERT_EQ(unlink(aicPath.c_str()), 0);
    const int other = unix_listen(aicPath);
    ASSERT_GE(other, 0);
    struct stat before;
    ASSERT_EQ(stat(aicPath.c_str(), &before), 0);
    EXPECT_EQ(aicStop(), 0);
    struct stat after;
    ASSERT_EQ(stat(aicPath.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    close(other);
}

int unix_listen(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_un a;
    unix_addr(path, &a);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int unix_connect(const std::string& path, int ms)
{
    struct sockaddr_un a;
    unix_addr(path, &a);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
            return fd;
        }
        if (fd >= 0) {
            close(fd);
        }
        if (std::chrono::steady_clock::now() >= end) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

long heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__)
    return 0;
#else
    struct mallinfo2 mi = mallinfo2();
    return static_cast<long>(mi.uordblks);
#endif
}

std::string unique_path(const char* tag)
{
    static std::atomic<int> seq{0};
    std::ostringstream os;
    os << "/tmp/v2xt-" << tag << "-" << getpid() << "-" << seq++;
    return os.str();
}

std::atomic<long> gStingyTake{-1};
std::atomic<int> gStingyStalls{0};

ssize_t stingy_send(int fd, const void* buf, size_t len, int flags)
{
    const long take = gStingyTake.load();
    if (take < 0) {
        return send(fd, buf, len, flags);
    }
    if (take == 0) {
        ++gStingyStalls;
        usleep(5 * 1000);
        errno = EAGAIN;
        return -1;
    }
    const size_t n = len < static_cast<size_t>(take) ? len : static_cast<size_t>(take);
    const ssize_t got = send(fd, buf, n, flags);
    if (got > 0) {
        gStingyTake -= got;
    }
    return got;
}

bool starts_with_clock(const std::string& aicLine)
{
    return aicLine.size() >= 15 && aicLine[2] == ':' && aicLine[5] == ':' && aicLine[8] == '.';
}

int count_lines_with(const std::string& text, const std::string& needle)
{
    std::istringstream is(text);
    std::string line;
    int n = 0;
    while (std::getline(is, line)) {
        if (line.find(needle) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

void expect_lines(const std::string& text, std::initializer_list<LineCount> want)
{
    for (const LineCount& w : want) {
        EXPECT_EQ(count_lines_with(text, w.needle), w.count) << "\"" << w.needle << "\" in\n" << text;
    }
}

uint64_t stat_now(size_t aicOff)
{
    return StatDelta::field(stats_now(), aicOff);
}

tV2XCoreStats stats_now()
{
    tV2XCoreStats st;
    memset(&st, 0, sizeof(st));
    st.size = sizeof(st);
    v2x_core_stats(&st);
    return st;
}

void StatDelta::take(tV2XCoreStats& aopSt)
{
    aopSt.size = sizeof(aopSt);
    v2x_core_stats(&aopSt);
}

uint64_t StatDelta::field(const tV2XCoreStats& aicSt, size_t aicOff)
{
    uint64_t v;
    memcpy(&v, reinterpret_cast<const char*>(&aicSt) + aicOff, sizeof(v));
    return v;
}

}  // namespace v2xtest

int v2xtest::fork_listener(const std::string& path, int uid)
{
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        bool ok = uid < 0 || (setgid(static_cast<gid_t>(uid)) == 0 && setuid(static_cast<uid_t>(uid)) == 0);
        ok = ok && unix_listen(path) >= 0;
        (void)!write(ready[1], ok ? "1" : "0", 1);
        pause();
        _exit(0);
    }
    char c = 0;
    const bool ok = child > 0 && read(ready[0], &c, 1) == 1 && c == '1';
    close(ready[0]);
    close(ready[1]);
    if (!ok && child > 0) {
        stop_process(child);
        return -1;
    }
    return ok ? child : -1;
}

void v2xtest::stop_process(int pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}
