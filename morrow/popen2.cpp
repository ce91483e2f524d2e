// SPDX-License-Identifier: Apache-2.0
// System helpers: checksum, terminal speeds, open-file limit,
// link-local IPv6 address, random strings, popen2/pclose2.
#include "popen2.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <ifaddrs.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "self_log.h"
#include "xfuncs.h"

extern char** environ;

static constexpr eLogLevl gicDbLev = LOG_LEV_ERROR;

namespace {

// Command table of popen2: the process id of the shell (which is also its
// process group id) per stream descriptor; 0 when no popen2 stream is open
// on that descriptor. Allocated on the first call, never released.
pid_t* pids = nullptr;
int giPidsCnt = 0;

struct BaudMap {
    int rate;
    speed_t code;
};

constexpr BaudMap gicBaudAry[] = {
    {0, B0},           {50, B50},           {75, B75},           {110, B110},
    {134, B134},       {150, B150},         {200, B200},         {300, B300},
    {600, B600},       {1200, B1200},       {1800, B1800},       {2400, B2400},
    {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},   {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000}, {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

const char* _family_name(int fam)
{
    switch (fam) {
    case AF_PACKET:
        return "AF_PACKET";
    case AF_INET:
        return "AF_INET";
    case AF_INET6:
        return "AF_INET6";
    default:
        return "";
    }
}

char* _gen_string(const int aicLen, bool digitsOnly)
{
    if (aicLen == INT_MAX) {
        // The terminator would not fit an int count.
        LOGE("aicLen(%d) err!!!!\n", aicLen);
        return nullptr;
    }
    int len = aicLen > 0 ? aicLen : 0;
    char* s = static_cast<char*>(xzMalloc(len + 1));
    if (s == nullptr) {
        LOGE("xzMalloc() err!!!!\n");
        return nullptr;
    }
    srand(static_cast<unsigned>(time(nullptr)));
    for (int i = 0; i < len; ++i) {
        int cls = digitsOnly ? 2 : rand() % 3;
        if (cls == 0) {
            s[i] = static_cast<char>('A' + rand() % 26);
        } else if (cls == 1) {
            s[i] = static_cast<char>('a' + rand() % 26);
        } else {
            s[i] = static_cast<char>('0' + rand() % 10);
        }
    }
    s[len] = '\0';
    return s;
}

}  // namespace

extern "C" V2X_API char xorCheckSum(const char* aicpcStartPtr, const char* aicpcEndPtr)
{
    char sum = 0;
    if (aicpcStartPtr == nullptr || aicpcEndPtr == nullptr || aicpcStartPtr > aicpcEndPtr) {
        return 0;
    }
    for (const char* p = aicpcStartPtr; p <= aicpcEndPtr; ++p) {
        sum = static_cast<char>(sum ^ *p);
    }
    return sum;
}

extern "C" V2X_API speed_t tty_get_baudrate(const int aicBaudRate)
{
    for (const BaudMap& m : gicBaudAry) {
        if (m.rate == aicBaudRate) {
            return m.code;
        }
    }
    return static_cast<speed_t>(-1);
}

extern "C" V2X_API int system_set_rlimit(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        LOGE("getrlimit() err!!!!\n");
        return -2;
    }
    rl.rlim_cur = 40000;
    rl.rlim_max = 40000;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        LOGE("setrlimit() err!!!!\n");
        return -3;
    }
    return 0;
}

extern "C" V2X_API int get_linklocal_ipv6addr(struct in6_addr* aopcAddr6, const char* aipcIface)
{
    if (aopcAddr6 == nullptr || aipcIface == nullptr) {
        LOGE("aopcAddr6 and aipcIface can't be NULL!\n");
        return -1;
    }
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        LOGE("getifaddrs error!!!!\n");
        return -1;
    }
    bool found = false;
    for (struct ifaddrs* e = list; e != nullptr; e = e->ifa_next) {
        int fam = e->ifa_addr != nullptr ? e->ifa_addr->sa_family : 0;
        if (log_direct_wanted(LOG_LEV_INFO) != 0) {
            char txt[160];
            snprintf(txt, sizeof(txt), "ifa_name=%s, family=0x%X(%s)\n", e->ifa_name,
                     static_cast<unsigned>(fam), _family_name(fam));
            log_direct_text(LOG_LEV_INFO, "popen2.cpp", __func__, txt);
        }
        if (e->ifa_addr == nullptr || fam != AF_INET6) {
            continue;
        }
        const struct sockaddr_in6* a6 = reinterpret_cast<const struct sockaddr_in6*>(e->ifa_addr);
        memcpy(aopcAddr6, &a6->sin6_addr, sizeof(*aopcAddr6));
        const uint8_t* b = aopcAddr6->s6_addr;
        if (strcmp(e->ifa_name, aipcIface) == 0 && b[0] == 0xFE && (b[1] & 0xC0) == 0x80) {
            found = true;
            break;
        }
    }
    if (found) {
        char txt[INET6_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET6, aopcAddr6, txt, sizeof(txt));
        char say[160];
        snprintf(say, sizeof(say), "find out %s's linklocal IPv6 address: %s\n", aipcIface, txt);
        log_direct_text(LOG_LEV_RUN, "popen2.cpp", __func__, say);
    }
    freeifaddrs(list);
    return 0;
}

extern "C" V2X_API char* gen_random_string(const int aicLen)
{
    return _gen_string(aicLen, false);
}

extern "C" V2X_API char* gen_random_number_string(const int aicLen)
{
    return _gen_string(aicLen, true);
}

extern "C" V2X_API FILE* popen2(char* program, char* type)
{
    if (program == nullptr || type == nullptr || (type[0] != 'r' && type[0] != 'w') ||
        type[1] != '\0') {
        return nullptr;
    }
    const bool rd = type[0] == 'r';
    if (pids == nullptr) {
        int cnt = getdtablesize();
        if (cnt <= 0) {
            return nullptr;
        }
        pids = static_cast<pid_t*>(xzMalloc(static_cast<int>(sizeof(pid_t)) * cnt));
        if (pids == nullptr) {
            return nullptr;
        }
        giPidsCnt = cnt;
    }
    // Both ends close-on-exec: no other child started meanwhile by another
    // thread may inherit them; the spawn's dup2 gives the child its end.
    int pdes[2];
    if (pipe2(pdes, O_CLOEXEC) < 0) {
        return nullptr;
    }
    // The child end becomes the shell's standard output ("r") or input
    // ("w"); the parent keeps the other end.
    const int childFd = rd ? pdes[1] : pdes[0];
    const int parentFd = rd ? pdes[0] : pdes[1];
    const int target = rd ? STDOUT_FILENO : STDIN_FILENO;

    // The child is started with posix_spawn as the leader of a new process
    // group, so that pclose2 can signal exactly what popen2 created.
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    if (childFd != target) {
        posix_spawn_file_actions_adddup2(&fa, childFd, target);
        posix_spawn_file_actions_addclose(&fa, childFd);
    } else {
        fcntl(childFd, F_SETFD, 0);  // already in place: it must survive the exec
    }
    if (parentFd != target) {
        posix_spawn_file_actions_addclose(&fa, parentFd);
    }
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    char arg0[] = "sh";
    char arg1[] = "-c";
    char* argv[] = {arg0, arg1, program, nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, "/bin/sh", &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        close(pdes[0]);
        close(pdes[1]);
        return nullptr;
    }
    close(childFd);
    FILE* iop = fdopen(parentFd, type);
    if (iop == nullptr || parentFd >= giPidsCnt) {
        // No stream (or no table slot for it): the shell loses its pipe end
        // and is told to stop; the host reaps it like any other.
        if (iop != nullptr) {
            fclose(iop);
        } else {
            close(parentFd);
        }
        kill(-pid, SIGTERM);
        return nullptr;
    }
    pids[parentFd] = pid;
    return iop;
}

extern "C" V2X_API int pclose2(FILE* iop)
{
    if (pids == nullptr || iop == nullptr) {
        return -1;
    }
    int fd = fileno(iop);
    if (fd < 0 || fd >= giPidsCnt || pids[fd] == 0) {
        return -1;
    }
    pid_t pgid = pids[fd];
    fclose(iop);

    sigset_t block, saved;
    sigemptyset(&block);
    sigaddset(&block, SIGHUP);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGQUIT);
    sigprocmask(SIG_BLOCK, &block, &saved);
    // The group popen2 created (the shell leads it), never "pid + 1".
    int rc = kill(-pgid, SIGTERM);
    sigprocmask(SIG_SETMASK, &saved, nullptr);

    pids[fd] = 0;
    return rc == 0 ? 0 : -1;
}
