// SPDX-License-Identifier: Apache-2.0
/* Unix-domain stream sockets: the one place where the servers and clients of
 * both libraries make, bind, accept, connect and close them. Nothing here
 * logs: a call that fails returns which step failed (a negative
 * eUnixSockFail) and leaves the cause in errno, so that each caller writes
 * its own log line and returns its own code. Every descriptor made here is
 * closed on exec. Descriptor 0 is a descriptor like any other; -1 is none. */
#ifndef MORROW_UNIX_SOCK_H
#define MORROW_UNIX_SOCK_H

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "v2x_api.h"

V2X_EXTERN_C_BEGIN

/* Size of the path field of the address: paths must be shorter than this,
 * as they are never cut (a shortened path would name some other file). */
#define UNIX_SOCK_PATH_MAX 108

/* Tries of a non-blocking connect while the server's accept queue is full,
 * UNIX_SOCK_CONNECT_PAUSE_MS apart. */
#define UNIX_SOCK_CONNECT_TRIES 100
#define UNIX_SOCK_CONNECT_PAUSE_MS 10

/* The step that failed; errno holds the cause. */
typedef enum _eUnixSockFail_ {
    UNIX_SOCK_FAIL_PATH = -1,    /* empty (EINVAL), 108 bytes or more (ENAMETOOLONG) */
    UNIX_SOCK_FAIL_SOCKET = -2,  /* socket() */
    UNIX_SOCK_FAIL_LIVE = -3,    /* a server answers at the path (EADDRINUSE) */
    UNIX_SOCK_FAIL_BIND = -4,    /* bind() */
    UNIX_SOCK_FAIL_LISTEN = -5,  /* listen() */
    UNIX_SOCK_FAIL_CONNECT = -6, /* connect() */
    UNIX_SOCK_FAIL_DIR = -7      /* the directory is not this user's own (EPERM, ENOTDIR) */
} eUnixSockFail;

/* Fills the address for the path (at most aicMax bytes of it are looked at,
 * so it need not be terminated within them) and its length: 0, or
 * UNIX_SOCK_FAIL_PATH. */
V2X_API int unix_sock_addr(const char* aipcPath, size_t aicMax, struct sockaddr_un* aopAddr,
                           socklen_t* aopLen);

/* 1 when a server accepts connections at the path right now (a full accept
 * queue counts as live), else 0. Never blocks. */
V2X_API int unix_sock_live(const char* aipcPath, size_t aicMax);

/* A listening socket at the path with the given backlog: its descriptor, or
 * a negative eUnixSockFail. A socket file left by an earlier run is removed
 * first; one that a live server answers on is not taken over
 * (UNIX_SOCK_FAIL_LIVE), and other kinds of file are left alone (bind then
 * fails with EADDRINUSE). */
V2X_API int unix_sock_listen(const char* aipcPath, size_t aicMax, int aicBacklog);

/* The socket file a listener made, so that it can be removed at its exit
 * while it is still that file: never one that someone else put at the path
 * meanwhile. Zeroed, it records nothing. */
typedef struct _tUnixSockOwn_ {
    char path[UNIX_SOCK_PATH_MAX]; /* zero-terminated; empty when nothing is recorded */
    uint64_t dev;
    uint64_t ino;
} tUnixSockOwn;

/* Records the socket file now at the path; call it right after
 * unix_sock_listen succeeded. 0, or -1 with errno (UNIX_SOCK_FAIL_PATH's
 * causes, or lstat's; the record is then empty). */
V2X_API int unix_sock_own(const char* aipcPath, size_t aicMax, tUnixSockOwn* aopOwn);

/* Removes the recorded socket file when the path still names it (same
 * device and inode) and empties the record: 1 removed, 0 left alone (an
 * empty record, no file there any more, or another file at the path), -1
 * when unlink failed (errno). A null record is 0. */
V2X_API int unix_sock_unown(tUnixSockOwn* aiopOwn);

/* Accepts one connection: its descriptor (made non-blocking when
 * aicNonBlock is not 0; the listening socket's own mode decides whether the
 * call waits), or -1 with errno as accept() leaves it. */
V2X_API int unix_sock_accept(int aicListenFd, int aicNonBlock);

/* A socket connected to the path: its descriptor, or a negative
 * eUnixSockFail. Non-blocking when aicNonBlock is not 0; such a connect is
 * tried again while the server's accept queue is full (EAGAIN) or it is
 * interrupted, UNIX_SOCK_CONNECT_TRIES times at most. */
V2X_API int unix_sock_connect(const char* aipcPath, size_t aicMax, int aicNonBlock);

/* Makes the directory that holds the path when it is missing (the last
 * component only, with aicMkMode) and checks it: a real directory (not a
 * symlink), owned by the effective user or root, and writable by nobody else
 * (by its group too when aicGroupWrite is not 0). 0, or UNIX_SOCK_FAIL_PATH,
 * or UNIX_SOCK_FAIL_DIR with errno ENOTDIR (not a directory) or EPERM (owner
 * or mode), or errno of mkdir. A path without a directory part is checked
 * against the current directory. */
V2X_API int unix_sock_dir_check(const char* aipcPath, size_t aicMax, unsigned aicMkMode,
                                int aicGroupWrite);

/* The credentials of the process at the other end of a connected socket:
 * 0, or -1 with errno. Any pointer may be null. */
V2X_API int unix_sock_peer(int aicFd, int* aopUid, int* aopGid, int* aopPid);

/* 1 when process aicPid has aicGid as its group or among its supplementary
 * groups (read from /proc), else 0. */
V2X_API int unix_sock_pid_in_group(int aicPid, int aicGid);

/* Closes *aiopFd when it is a descriptor (>= 0, so 0 too) and sets it to -1.
 * A null pointer or -1 is left as it is. */
V2X_API void unix_sock_close(int* aiopFd);

V2X_EXTERN_C_END

#endif /* MORROW_UNIX_SOCK_H */
