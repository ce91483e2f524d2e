// SPDX-License-Identifier: Apache-2.0
/** @file
 * @brief Unix-domain stream sockets: the one place where the servers and
 * clients of both libraries make, bind, accept, connect and close them.
 *
 * Nothing here
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

/** Size of the path field of the address: paths must be shorter than this,
 * as they are never cut (a shortened path would name some other file). */
#define UNIX_SOCK_PATH_MAX 108

/** Tries of a non-blocking connect while the server's accept queue is full,
 * UNIX_SOCK_CONNECT_PAUSE_MS apart. */
#define UNIX_SOCK_CONNECT_TRIES 100
/** Pause between two tries of a non-blocking connect, in milliseconds. */
#define UNIX_SOCK_CONNECT_PAUSE_MS 10

/** The step that failed; errno holds the cause. */
typedef enum _eUnixSockFail_ {
    UNIX_SOCK_FAIL_PATH = -1,    /**< empty (EINVAL), 108 bytes or more (ENAMETOOLONG) */
    UNIX_SOCK_FAIL_SOCKET = -2,  /**< socket() */
    UNIX_SOCK_FAIL_LIVE = -3,    /**< a server answers at the path (EADDRINUSE) */
    UNIX_SOCK_FAIL_BIND = -4,    /**< bind() */
    UNIX_SOCK_FAIL_LISTEN = -5,  /**< listen() */
    UNIX_SOCK_FAIL_CONNECT = -6, /**< connect() */
    UNIX_SOCK_FAIL_DIR = -7      /**< the directory is not this user's own (EPERM, ENOTDIR) */
} eUnixSockFail;

/** @brief Fills the address for a path and its length.
 * @param aipcPath the socket path.
 * @param aicMax   at most this many bytes of the path are looked at, so it
 *                 need not be terminated within them.
 * @param aopAddr  receives the address.
 * @param aopLen   receives the address's length.
 * @retval 0 done.
 * @retval UNIX_SOCK_FAIL_PATH the path is empty (EINVAL) or 108 bytes or
 *         more (ENAMETOOLONG).
 */
V2X_API int unix_sock_addr(const char* aipcPath, size_t aicMax, struct sockaddr_un* aopAddr,
                           socklen_t* aopLen);

/** @brief Whether a server accepts connections at the path right now.
 *
 * Never blocks.
 *
 * @param aipcPath the socket path.
 * @param aicMax   at most this many bytes of the path are looked at.
 * @retval 1 a server accepts connections there (a full accept queue counts
 *         as live).
 * @retval 0 none does (also for a path unix_sock_addr refuses).
 */
V2X_API int unix_sock_live(const char* aipcPath, size_t aicMax);

/** @brief Makes a listening socket at the path.
 *
 * A socket file left by an earlier run is removed first; one that a live
 * server answers on is not taken over (UNIX_SOCK_FAIL_LIVE), and other
 * kinds of file are left alone (bind then fails with EADDRINUSE).
 *
 * @param aipcPath   the socket path.
 * @param aicMax     at most this many bytes of the path are looked at.
 * @param aicBacklog the listen backlog.
 * @return the listening socket's descriptor.
 * @retval UNIX_SOCK_FAIL_PATH an empty path or one of 108 bytes or more.
 * @retval UNIX_SOCK_FAIL_LIVE a live server answers at the path.
 * @retval UNIX_SOCK_FAIL_SOCKET socket() failed.
 * @retval UNIX_SOCK_FAIL_BIND bind() failed.
 * @retval UNIX_SOCK_FAIL_LISTEN listen() failed.
 */
V2X_API int unix_sock_listen(const char* aipcPath, size_t aicMax, int aicBacklog);

/** The socket file a listener made, so that it can be removed at its exit
 * while it is still that file: never one that someone else put at the path
 * meanwhile. Zeroed, it records nothing. */
typedef struct _tUnixSockOwn_ {
    char path[UNIX_SOCK_PATH_MAX]; /**< zero-terminated; empty when nothing is recorded */
    uint64_t dev;                  /**< device of the socket file */
    uint64_t ino;                  /**< inode of the socket file */
} tUnixSockOwn;

/** @brief Records the socket file now at the path.
 *
 * Call it right after unix_sock_listen succeeded.
 *
 * @param aipcPath the socket path.
 * @param aicMax   at most this many bytes of the path are looked at.
 * @param aopOwn   receives the record.
 * @retval 0 recorded.
 * @retval -1 with errno: UNIX_SOCK_FAIL_PATH's causes, lstat's, ENOTSOCK
 *         when the file is not a socket, EINVAL for a null record; the
 *         record is then empty.
 */
V2X_API int unix_sock_own(const char* aipcPath, size_t aicMax, tUnixSockOwn* aopOwn);

/** @brief Removes the recorded socket file when the path still names it.
 *
 * The path must still name the same socket (same device and inode). The
 * record is emptied.
 *
 * @param aiopOwn the record made by unix_sock_own.
 * @retval 1 removed.
 * @retval 0 left alone: an empty or null record, no file there any more, or
 *         another file at the path.
 * @retval -1 unlink failed (errno).
 */
V2X_API int unix_sock_unown(tUnixSockOwn* aiopOwn);

/** @brief Accepts one connection.
 *
 * The listening socket's own mode decides whether the call waits.
 *
 * @param aicListenFd the listening socket.
 * @param aicNonBlock not 0 to make the new connection non-blocking.
 * @return the connection's descriptor.
 * @retval -1 with errno as accept() leaves it.
 */
V2X_API int unix_sock_accept(int aicListenFd, int aicNonBlock);

/** @brief Makes a socket connected to the path.
 *
 * A non-blocking connect is tried again while the server's accept queue is
 * full (EAGAIN) or it is interrupted, UNIX_SOCK_CONNECT_TRIES times at most.
 *
 * @param aipcPath    the socket path.
 * @param aicMax      at most this many bytes of the path are looked at.
 * @param aicNonBlock not 0 for a non-blocking socket.
 * @return the connected socket's descriptor.
 * @retval UNIX_SOCK_FAIL_PATH an empty path or one of 108 bytes or more.
 * @retval UNIX_SOCK_FAIL_SOCKET socket() failed.
 * @retval UNIX_SOCK_FAIL_CONNECT connect() failed.
 */
V2X_API int unix_sock_connect(const char* aipcPath, size_t aicMax, int aicNonBlock);

/** @brief Makes the directory that holds the path when it is missing, and
 * checks it.
 *
 * Only the last component is made, with aicMkMode. The directory must be a
 * real directory (not a symlink), owned by the effective user or root, and
 * writable by nobody else (by its group too when aicGroupWrite is not 0); a
 * sticky directory passes the write check. A path without a directory part
 * is checked against the current directory.
 *
 * @param aipcPath      the socket path.
 * @param aicMax        at most this many bytes of the path are looked at.
 * @param aicMkMode     mode of the directory when it is made.
 * @param aicGroupWrite not 0 to let the directory's group write it.
 * @retval 0 the directory is fit.
 * @retval UNIX_SOCK_FAIL_PATH an empty path or one of 108 bytes or more.
 * @retval UNIX_SOCK_FAIL_DIR errno ENOTDIR (not a directory) or EPERM
 *         (owner or mode), or the errno of mkdir (or of lstat).
 */
V2X_API int unix_sock_dir_check(const char* aipcPath, size_t aicMax, unsigned aicMkMode,
                                int aicGroupWrite);

/** @brief The credentials of the process at the other end of a connected
 * socket.
 * @param aicFd  the connected socket.
 * @param aopUid receives the user id; may be null.
 * @param aopGid receives the group id; may be null.
 * @param aopPid receives the process id; may be null.
 * @retval 0 done.
 * @retval -1 with errno.
 */
V2X_API int unix_sock_peer(int aicFd, int* aopUid, int* aopGid, int* aopPid);

/** @brief Whether a process belongs to a group.
 * @param aicPid the process.
 * @param aicGid the group.
 * @retval 1 process aicPid has aicGid as its group or among its
 *         supplementary groups (read from /proc).
 * @retval 0 it has not (also when its /proc entry cannot be read).
 */
V2X_API int unix_sock_pid_in_group(int aicPid, int aicGid);

/** @brief Closes *aiopFd when it is a descriptor (>= 0, so 0 too) and sets it
 * to -1.
 * @param aiopFd the descriptor; a null pointer or -1 is left as it is.
 */
V2X_API void unix_sock_close(int* aiopFd);

V2X_EXTERN_C_END

#endif /* MORROW_UNIX_SOCK_H */
