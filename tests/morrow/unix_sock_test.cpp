// SPDX-License-Identifier: Apache-2.0
// The shared Unix-domain socket module: path rule, other files at the path,
// close-on-exec, the non-blocking connect's retry, descriptor 0.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "unix_sock.h"

namespace {

bool cloexec(int fd)
{
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

struct Unlink {
    std::string p;
    ~Unlink() { unlink(p.c_str()); }
};

}  // namespace

// The servers' tests cover stale and live sockets; here the path rule and a
// file of another kind, which is never removed.
TEST(UnixSock, BadPathsRefusedAndOtherFilesKept)
{
    Unlink u{v2xtest::unique_path("us")};
    std::string longPath = u.p + std::string(108, 'x');
    errno = 0;
    EXPECT_EQ(unix_sock_connect(longPath.c_str(), 108, 1), UNIX_SOCK_FAIL_PATH);
    EXPECT_EQ(errno, ENAMETOOLONG);  // 108 bytes without terminator within aicMax
    EXPECT_EQ(unix_sock_listen("", 10, 4), UNIX_SOCK_FAIL_PATH);
    EXPECT_EQ(errno, EINVAL);
    const char* p = u.p.c_str();
    int f = open(p, O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(f, 0);
    ASSERT_EQ(write(f, "keep", 4), 4);
    close(f);
    const int fds = v2xtest::open_fd_count();
    EXPECT_EQ(unix_sock_listen(p, UNIX_SOCK_PATH_MAX, 4), UNIX_SOCK_FAIL_BIND);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_EQ(v2xtest::open_fd_count(), fds);
    struct stat st;
    ASSERT_EQ(lstat(p, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 4);
}

// Every descriptor is closed on exec; accept and connect honour the
// non-blocking flag; a non-blocking connect waits out a full accept queue.
TEST(UnixSock, CloseOnExecNonBlockingAndFullQueueRetry)
{
    Unlink u{v2xtest::unique_path("us")};
    const char* p = u.p.c_str();
    int l = unix_sock_listen(p, UNIX_SOCK_PATH_MAX, 0);
    ASSERT_GE(l, 0);
    EXPECT_TRUE(cloexec(l));
    // Fill the accept queue until a connect finds it full.
    std::vector<int> queued;
    for (int i = 0; i < 64; ++i) {
        int q = unix_sock_connect(p, UNIX_SOCK_PATH_MAX, 1);
        if (q < 0) {
            break;
        }
        queued.push_back(q);
    }
    ASSERT_FALSE(queued.empty());
    ASSERT_LT(queued.size(), 64u);
    EXPECT_TRUE(cloexec(queued[0]));
    EXPECT_NE(fcntl(queued[0], F_GETFL) & O_NONBLOCK, 0);
    // Room comes a little later: the connect keeps trying and gets in.
    std::thread drain([&] {
        // Not a wait: the room comes later on purpose.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (size_t i = 0; i < queued.size(); ++i) {
            int a = unix_sock_accept(l, 0);
            EXPECT_TRUE(a >= 0 && cloexec(a) && (fcntl(a, F_GETFL) & O_NONBLOCK) == 0);
            unix_sock_close(&a);
        }
    });
    int c = unix_sock_connect(p, UNIX_SOCK_PATH_MAX, 1);
    drain.join();
    ASSERT_GE(c, 0);
    int a = unix_sock_accept(l, 1);
    EXPECT_TRUE(a >= 0 && cloexec(a) && (fcntl(a, F_GETFL) & O_NONBLOCK) != 0);
    unix_sock_close(&a);
    unix_sock_close(&c);
    for (int& q : queued) {
        unix_sock_close(&q);
    }
    unix_sock_close(&l);
}

// Descriptor 0 is a descriptor: a listener made there works and is closed.
TEST(UnixSock, ListenerOnDescriptorZero)
{
    Unlink u{v2xtest::unique_path("us")};
    const int savedIn = dup(0);
    ASSERT_GE(savedIn, 0);
    close(0);
    int l = unix_sock_listen(u.p.c_str(), UNIX_SOCK_PATH_MAX, 4);
    const int lfd = l;
    int c = unix_sock_connect(u.p.c_str(), UNIX_SOCK_PATH_MAX, 0);
    int a = c >= 0 ? unix_sock_accept(l, 0) : -1;
    const bool talk = a >= 0 && c >= 0 && write(c, "0", 1) == 1;
    char b = 0;
    const bool heard = talk && read(a, &b, 1) == 1 && b == '0';
    unix_sock_close(&l);
    const bool closed = fcntl(0, F_GETFD) < 0 && errno == EBADF;
    dup2(savedIn, 0);
    close(savedIn);
    unix_sock_close(&a);
    unix_sock_close(&c);
    EXPECT_EQ(lfd, 0);
    EXPECT_EQ(l, -1);
    EXPECT_TRUE(heard);
    EXPECT_TRUE(closed);
}
