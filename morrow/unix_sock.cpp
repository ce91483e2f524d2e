// SPDX-License-Identifier: Apache-2.0
// Unix-domain stream sockets shared by the daemon servers and their clients.
#include "unix_sock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(UNIX_SOCK_PATH_MAX == sizeof(sockaddr_un::sun_path), "path field size");

namespace {

// Owns a descriptor until released; closes it on every early return.
// Keeps errno as it was, so the cause of a failure survives the close.
class FdGuard {
public:
    explicit FdGuard(int aicFd) : fd_(aicFd) {}
    ~FdGuard()
    {
        if (fd_ >= 0) {
            const int err = errno;
            close(fd_);
            errno = err;
        }
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool _live_at(const struct sockaddr_un& aicAddr, socklen_t aicLen)
{
    FdGuard probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (probe.get() < 0) {
        return false;
    }
    const int rc = connect(probe.get(), reinterpret_cast<const struct sockaddr*>(&aicAddr), aicLen);
    // EAGAIN: a listener whose backlog is full is still a live server.
    return rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
}

}  // namespace

extern "C" V2X_API int unix_sock_addr(const char* aipcPath, size_t aicMax,
                                      struct sockaddr_un* aopAddr, socklen_t* aopLen)
{
    const size_t len = aipcPath != nullptr ? strnlen(aipcPath, aicMax) : 0;
    if (len == 0 || len >= sizeof(aopAddr->sun_path)) {
        errno = len == 0 ? EINVAL : ENAMETOOLONG;
        return UNIX_SOCK_FAIL_PATH;
    }
    memset(aopAddr, 0, sizeof(*aopAddr));
    aopAddr->sun_family = AF_UNIX;
    memcpy(aopAddr->sun_path, aipcPath, len);
    *aopLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
    return 0;
}

extern "C" V2X_API int unix_sock_live(const char* aipcPath, size_t aicMax)
{
    struct sockaddr_un addr;
    socklen_t alen = 0;
    if (unix_sock_addr(aipcPath, aicMax, &addr, &alen) != 0) {
        return 0;
    }
    return _live_at(addr, alen) ? 1 : 0;
}

// Access control: the owner and mode of the socket file (set between bind()
// and listen() in unix_sock_listen) and the peer credentials of each
// connection (checked in unix_sock_accept before the descriptor is handed
// out) belong in these two functions. Nothing is checked yet.

extern "C" V2X_API int unix_sock_listen(const char* aipcPath, size_t aicMax, int aicBacklog)
{
    struct sockaddr_un addr;
    socklen_t alen = 0;
    if (unix_sock_addr(aipcPath, aicMax, &addr, &alen) != 0) {
        return UNIX_SOCK_FAIL_PATH;
    }
    // A socket file left by an earlier run is removed; one that a live server
    // answers on is not taken over, and other kinds of file are left alone.
    // On 32-bit targets lstat() needs 64-bit inode numbers (the build defines
    // _FILE_OFFSET_BITS=64): otherwise it fails with EOVERFLOW on file systems
    // with large inode numbers, the stale file stays and bind() fails.
    static_assert(sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");
    struct stat st;
    if (lstat(addr.sun_path, &st) == 0 && S_ISSOCK(st.st_mode)) {
        if (_live_at(addr, alen)) {
            errno = EADDRINUSE;
            return UNIX_SOCK_FAIL_LIVE;
        }
        unlink(addr.sun_path);
    }
    FdGuard fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        return UNIX_SOCK_FAIL_SOCKET;
    }
    if (bind(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), alen) < 0) {
        return UNIX_SOCK_FAIL_BIND;
    }
    if (listen(fd.get(), aicBacklog) < 0) {
        return UNIX_SOCK_FAIL_LISTEN;
    }
    return fd.release();
}

extern "C" V2X_API int unix_sock_own(const char* aipcPath, size_t aicMax, tUnixSockOwn* aopOwn)
{
    if (aopOwn == nullptr) {
        errno = EINVAL;
        return -1;
    }
    memset(aopOwn, 0, sizeof(*aopOwn));
    struct sockaddr_un addr;
    socklen_t alen = 0;
    if (unix_sock_addr(aipcPath, aicMax, &addr, &alen) != 0) {
        return -1;
    }
    struct stat st;
    if (lstat(addr.sun_path, &st) != 0) {
        return -1;
    }
    if (!S_ISSOCK(st.st_mode)) {
        errno = ENOTSOCK;
        return -1;
    }
    memcpy(aopOwn->path, addr.sun_path, sizeof(aopOwn->path));
    aopOwn->dev = static_cast<uint64_t>(st.st_dev);
    aopOwn->ino = static_cast<uint64_t>(st.st_ino);
    return 0;
}

extern "C" V2X_API int unix_sock_unown(tUnixSockOwn* aiopOwn)
{
    if (aiopOwn == nullptr || aiopOwn->path[0] == '\0') {
        return 0;
    }
    char path[UNIX_SOCK_PATH_MAX];
    memcpy(path, aiopOwn->path, sizeof(path));
    path[sizeof(path) - 1] = '\0';
    const uint64_t dev = aiopOwn->dev;
    const uint64_t ino = aiopOwn->ino;
    memset(aiopOwn, 0, sizeof(*aiopOwn));
    // Another program may have put its own file there since: only the one
    // this listener made goes.
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISSOCK(st.st_mode) || static_cast<uint64_t>(st.st_dev) != dev ||
        static_cast<uint64_t>(st.st_ino) != ino) {
        return 0;
    }
    return unlink(path) == 0 ? 1 : -1;
}

extern "C" V2X_API int unix_sock_accept(int aicListenFd, int aicNonBlock)
{
    return accept4(aicListenFd, nullptr, nullptr,
                   SOCK_CLOEXEC | (aicNonBlock != 0 ? SOCK_NONBLOCK : 0));
}

extern "C" V2X_API int unix_sock_connect(const char* aipcPath, size_t aicMax, int aicNonBlock)
{
    struct sockaddr_un addr;
    socklen_t alen = 0;
    if (unix_sock_addr(aipcPath, aicMax, &addr, &alen) != 0) {
        return UNIX_SOCK_FAIL_PATH;
    }
    FdGuard fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (aicNonBlock != 0 ? SOCK_NONBLOCK : 0),
                      0));
    if (fd.get() < 0) {
        return UNIX_SOCK_FAIL_SOCKET;
    }
    const int tries = aicNonBlock != 0 ? UNIX_SOCK_CONNECT_TRIES : 1;
    for (int i = 0;; ++i) {
        if (connect(fd.get(), reinterpret_cast<struct sockaddr*>(&addr), alen) == 0) {
            return fd.release();
        }
        // A non-blocking connect finds a full accept queue as EAGAIN.
        if ((errno != EAGAIN && errno != EINTR) || i + 1 >= tries) {
            return UNIX_SOCK_FAIL_CONNECT;
        }
        usleep(UNIX_SOCK_CONNECT_PAUSE_MS * 1000);
    }
}

extern "C" V2X_API void unix_sock_close(int* aiopFd)
{
    if (aiopFd != nullptr && *aiopFd >= 0) {
        close(*aiopFd);
        *aiopFd = -1;
    }
}

extern "C" V2X_API int unix_sock_dir_check(const char* aipcPath, size_t aicMax, unsigned aicMkMode,
                                           int aicGroupWrite)
{
    struct sockaddr_un addr;
    socklen_t alen = 0;
    if (unix_sock_addr(aipcPath, aicMax, &addr, &alen) != 0) {
        return UNIX_SOCK_FAIL_PATH;
    }
    char dir[UNIX_SOCK_PATH_MAX];
    memcpy(dir, addr.sun_path, sizeof(dir));
    char* slash = strrchr(dir, '/');
    if (slash == nullptr) {
        dir[0] = '.';
        dir[1] = '\0';
    } else if (slash == dir) {
        dir[1] = '\0';  // the root directory
    } else {
        *slash = '\0';
    }
    if (mkdir(dir, static_cast<mode_t>(aicMkMode)) != 0 && errno != EEXIST) {
        return UNIX_SOCK_FAIL_DIR;
    }
    struct stat st;
    if (lstat(dir, &st) != 0) {
        return UNIX_SOCK_FAIL_DIR;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return UNIX_SOCK_FAIL_DIR;
    }
    // Another user who owns or may write the directory could put their own
    // socket at the path, or move ours away, between any two steps.
    const mode_t othersWrite = S_IWOTH | (aicGroupWrite != 0 ? 0 : S_IWGRP);
    const bool sticky = (st.st_mode & S_ISVTX) != 0;
    if ((st.st_uid != geteuid() && st.st_uid != 0) || ((st.st_mode & othersWrite) != 0 && !sticky)) {
        errno = EPERM;
        return UNIX_SOCK_FAIL_DIR;
    }
    return 0;
}

extern "C" V2X_API int unix_sock_peer(int aicFd, int* aopUid, int* aopGid, int* aopPid)
{
    struct ucred cred;
    socklen_t len = sizeof(cred);
    if (getsockopt(aicFd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        return -1;
    }
    if (aopUid != nullptr) {
        *aopUid = static_cast<int>(cred.uid);
    }
    if (aopGid != nullptr) {
        *aopGid = static_cast<int>(cred.gid);
    }
    if (aopPid != nullptr) {
        *aopPid = static_cast<int>(cred.pid);
    }
    return 0;
}

extern "C" V2X_API int unix_sock_pid_in_group(int aicPid, int aicGid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", aicPid);
    FILE* f = fopen(path, "re");
    if (f == nullptr) {
        return 0;
    }
    char line[512];
    int found = 0;
    while (found == 0 && fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, "Groups:", 7) != 0 && strncmp(line, "Gid:", 4) != 0) {
            continue;
        }
        char* p = strchr(line, ':') + 1;
        for (;;) {
            char* end = nullptr;
            const long g = strtol(p, &end, 10);
            if (end == p) {
                break;
            }
            if (g == aicGid) {
                found = 1;
                break;
            }
            p = end;
        }
    }
    fclose(f);
    return found;
}
