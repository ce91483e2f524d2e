// SPDX-License-Identifier: Apache-2.0
// System helpers: checksum, speeds, limits, link-local address,
// random strings, popen2/pclose2.
#include <gtest/gtest.h>

#include <limits.h>

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "morrow_tool_helpers.hpp"
#include "popen2.h"
#include "test_support.h"

namespace {

// State of a process from /proc ('Z' zombie), or 0 when it is gone.
char proc_state(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) {
        return 0;
    }
    char buf[512] = {0};
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    std::string s(buf, n);
    size_t rp = s.rfind(')');
    return rp != std::string::npos && rp + 2 < s.size() ? s[rp + 2] : 0;
}

bool wait_gone_or_zombie(pid_t pid, int ms)
{
    return v2xtest::wait_for(
        [pid] {
            const char st = proc_state(pid);
            return st == 0 || st == 'Z';
        },
        ms);
}

std::string read_line(FILE* f)
{
    char buf[256] = {0};
    if (fgets(buf, sizeof(buf), f) == nullptr) {
        return "";
    }
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
        s.pop_back();
    }
    return s;
}

}  // namespace

TEST(SysHelpers, XorCheckSum)
{
    const char b[] = {0x12, 0x34, 0x56};
    EXPECT_EQ(xorCheckSum(b, b), 0x12);
    EXPECT_EQ(xorCheckSum(b, b + 2), static_cast<char>(0x12 ^ 0x34 ^ 0x56));
    EXPECT_EQ(xorCheckSum(b + 1, b), 0);
}

TEST(SysHelpers, TtyBaudrate)
{
    EXPECT_EQ(tty_get_baudrate(115200), static_cast<speed_t>(B115200));
    EXPECT_EQ(tty_get_baudrate(115200), 4098u);
    EXPECT_EQ(tty_get_baudrate(134), static_cast<speed_t>(B134));
    EXPECT_EQ(tty_get_baudrate(0), static_cast<speed_t>(B0));
    EXPECT_EQ(tty_get_baudrate(4000000), static_cast<speed_t>(B4000000));
    EXPECT_EQ(tty_get_baudrate(14400), static_cast<speed_t>(-1));
    EXPECT_EQ(tty_get_baudrate(-5), static_cast<speed_t>(-1));
}

TEST(SysHelpers, SetRlimit)
{
    // Raising the hard limit needs a privilege that a container may lack,
    // even for root: then -3.
    int rc = system_set_rlimit();
    if (rc == 0) {
        struct rlimit rl;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
        EXPECT_EQ(rl.rlim_cur, 40000u);
        EXPECT_EQ(rl.rlim_max, 40000u);
    } else {
        EXPECT_EQ(rc, -3);
    }
}

TEST(SysHelpers, LinkLocalArgumentsAndWalk)
{
    v2xtest::LevelGuard lg(LOG_LEV_ERROR);
    struct in6_addr a;
    v2xtest::StdoutCapture cap;
    EXPECT_EQ(get_linklocal_ipv6addr(nullptr, "lo"), -1);
    EXPECT_EQ(get_linklocal_ipv6addr(&a, nullptr), -1);
    EXPECT_EQ(get_linklocal_ipv6addr(&a, "lo"), 0);
    std::string out = cap.stop();
    EXPECT_NE(out.find("aopcAddr6 and aipcIface can't be NULL!"), std::string::npos);
    EXPECT_NE(out.find("ifa_name=lo, family=0x"), std::string::npos) << out;
    // lo has no fe80:: address.
    EXPECT_EQ(out.find("find out lo's linklocal"), std::string::npos);
}

TEST(SysHelpers, RandomStrings)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        time_t t0 = time(nullptr);
        char* a = gen_random_number_string(6);
        char* b = gen_random_number_string(6);
        char* c = gen_random_string(40);
        time_t t1 = time(nullptr);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(strlen(a), 6u);
        for (int i = 0; i < 6; ++i) {
            EXPECT_TRUE(a[i] >= '0' && a[i] <= '9');
        }
        EXPECT_EQ(strlen(c), 40u);
        for (int i = 0; i < 40; ++i) {
            EXPECT_TRUE(isalnum(static_cast<unsigned char>(c[i])));
        }
        bool same = strcmp(a, b) == 0;
        free(a);
        free(b);
        free(c);
        if (t0 == t1) {
            EXPECT_TRUE(same);  // reseeded with the same second
            break;
        }
    }
    char* e = gen_random_string(0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e[0], '\0');
    free(e);
    e = gen_random_number_string(-3);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e[0], '\0');
    free(e);
}

TEST(Popen2, BadModesCreateNoProcess)
{
    char cmd[] = "echo x";
    char rr[] = "rr";
    char empty[] = "";
    char x[] = "x";
    EXPECT_EQ(popen2(cmd, rr), nullptr);
    EXPECT_EQ(popen2(cmd, empty), nullptr);
    EXPECT_EQ(popen2(cmd, x), nullptr);
    // Whether a child was made is asked in a process of its own: this one
    // may still have the children of other tests (pclose2 does not wait).
    const pid_t probe = fork();
    ASSERT_GE(probe, 0);
    if (probe == 0) {
        bool none = popen2(cmd, rr) == nullptr && popen2(cmd, x) == nullptr;
        errno = 0;
        none = none && waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
        _exit(none ? 0 : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(probe, &st, 0), probe);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
}

TEST(Popen2, ReadAndWriteStreams)
{
    char cmd[] = "echo hello-popen2";
    char r[] = "r";
    FILE* f = popen2(cmd, r);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read_line(f), "hello-popen2");
    pclose2(f);  // the shell may already be gone: either result is fine

    mtest::TmpDir dir;
    std::string out = dir.file("w.txt");
    std::string wcmd = "while read l; do echo \"got:$l\" >> '" + out + "'; done";
    char w[] = "w";
    FILE* g = popen2(&wcmd[0], w);
    ASSERT_NE(g, nullptr);
    fputs("line1\n", g);
    fflush(g);
    std::string content;
    v2xtest::wait_for(
        [&] {
            content = mtest::run_cmd("cat '" + out + "' 2>/dev/null");
            return content.find("got:line1") != std::string::npos;
        },
        3000);
    EXPECT_NE(content.find("got:line1"), std::string::npos);
    EXPECT_EQ(pclose2(g), 0);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
}

TEST(Popen2, ForeignStreamIsRefusedAndLeftOpen)
{
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(pclose2(f), -1);  // before any popen2: no table
    char cmd[] = "true";
    char r[] = "r";
    FILE* p = popen2(cmd, r);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pclose2(f), -1);  // table exists, no entry for this stream
    EXPECT_GE(fputs("still open", f), 0);
    EXPECT_NE(fileno(f), -1);
    EXPECT_EQ(fflush(f), 0);
    fclose(f);
    pclose2(p);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
}

// The old fault: pclose2 signalled "recorded pid + 1", whatever
// process that was. Now it signals the group that popen2 created: the shell
// and its own children end, an unrelated process started right after the
// shell (likely to get the next id) lives on.
TEST(Popen2, Pclose2SignalsOnlyItsOwnProcessGroup)
{
    char cmd[] = "echo $$; sleep 30 & echo $!; wait";
    char r[] = "r";
    FILE* f = popen2(cmd, r);
    ASSERT_NE(f, nullptr);
    pid_t shell = static_cast<pid_t>(atoi(read_line(f).c_str()));
    pid_t grandchild = static_cast<pid_t>(atoi(read_line(f).c_str()));
    ASSERT_GT(shell, 1);
    ASSERT_GT(grandchild, 1);
    EXPECT_EQ(getpgid(shell), shell);  // the shell leads its own group
    EXPECT_EQ(getpgid(grandchild), shell);

    // A bystander, and one more whose id is the shell's + 1 when it is free.
    pid_t bystander = fork();
    ASSERT_GE(bystander, 0);
    if (bystander == 0) {
        pause();
        _exit(0);
    }

    EXPECT_EQ(pclose2(f), 0);
    int st = 0;
    ASSERT_EQ(waitpid(shell, &st, 0), shell);  // pclose2 does not wait: we do
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGTERM);
    EXPECT_TRUE(wait_gone_or_zombie(grandchild, 3000));

    // The bystander was not signalled (a window: a stray signal would have
    // reached it within it).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(waitpid(bystander, &st, WNOHANG), 0);
    EXPECT_EQ(kill(bystander, 0), 0);
    kill(bystander, SIGKILL);
    waitpid(bystander, &st, 0);

    // The entry is cleared: a second close of the same slot is refused.
    FILE* other = tmpfile();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(pclose2(other), -1);
    fclose(other);
}

// Mended fault: INT_MAX overflowed the terminator's count.
TEST(RandomString, LengthThatCannotHoldItsTerminatorIsRefused)
{
    v2xtest::StdoutCapture cap;
    EXPECT_EQ(gen_random_string(INT_MAX), nullptr);
    EXPECT_EQ(gen_random_number_string(INT_MAX), nullptr);
    cap.stop();
    char* s = gen_random_string(0);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "");
    free(s);
}
