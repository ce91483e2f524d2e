// SPDX-License-Identifier: Apache-2.0
// Building and sending application-core messages (library-internal).
#ifndef VESTRA_CORE_APP_TX_HPP
#define VESTRA_CORE_APP_TX_HPP

#include <stddef.h>
#include <string.h>
#include <sys/types.h>

#include "core_app.h"
#include "core_app_frame.hpp"

// Socket buffer asked for on both ends of an application connection, for
// the requests on their way to the core. The kernel doubles it: room for two
// of the largest messages, so a request the core cannot take yet waits with
// its caller instead of growing stale in a buffer.
constexpr int V2X_CORE_APP_SOCK_BUF = static_cast<int>(V2X_CORE_APP_BUF_LEN);

// Writes the 6-byte header and the aicLen payload bytes at aopBuf, which must
// hold V2X_CORE_APP_HDR_LEN + aicLen bytes (the caller has checked the
// length). Returns the message's length on the socket.
inline size_t core_app_put_msg(char* aopBuf, uint32_t aicType, const char* aipcMsg,
                               uint16_t aicLen)
{
    core_app_hdr_put(aopBuf, aicType, aicLen);
    if (aicLen > 0) {
        memcpy(aopBuf + V2X_CORE_APP_HDR_LEN, aipcMsg, aicLen);
    }
    return V2X_CORE_APP_HDR_LEN + static_cast<size_t>(aicLen);
}

// The call that writes to the core, with the signature of send(2).
using fCoreAppSend = ssize_t (*)(int aicFd, const void* aipcBuf, size_t aicLen, int aicFlags);
// Replaces it for tests (null restores send(2)), so that a socket can be
// made to take part of a message, which a real one does rarely.
void core_app_tx_set_send_fn(fCoreAppSend aipSend);

// The send side of one client connection: every message leaves whole or not
// at all. The owner serialises the calls (its send mutex).
class CoreAppTx {
public:
    // How long a call waits for the core to take its message.
    static constexpr int kWaitMs = 2000;
    // How long a client's exit waits for the core to take the rest of a
    // message written in part (cv2x_app_exit, v2x_system_exit).
    static constexpr int kExitWaitMs = 2000;

    // Sizes the send buffer of a newly connected socket and forgets any
    // rest of the previous connection.
    void attach(int aicFd);

    // Sends one message on aicFd (blocking or not): waits up to kWaitMs for
    // room, then writes it. Returns 0 when the message is the core's (all
    // written, or a rest kept that the next call writes before anything
    // else), -ERR_V2X_SOCKET_WRITE when none of it was written within the
    // wait, or -ERR_V2X_SOCKET_CONECT when the connection failed (the core
    // is gone; every later call says so at once, until attach).
    int send(int aicFd, uint32_t aicType, const char* aipcMsg, uint16_t aicLen);

    // Writes the kept rest of a message, if any, on aicFd within
    // aicWaitMs. A rest that cannot be written (the deadline, a closed
    // connection) is dropped and counted as cut. True when nothing is left.
    bool finish(int aicFd, int aicWaitMs);
    // Forgets a kept rest, counting it as cut: its connection is closing.
    void drop_rest();
    // Messages cut since the last call (the core got their start but never
    // their end), their unwritten bytes in *aopBytes; both start again at 0.
    unsigned take_cut(size_t* aopBytes);

    // True while the unwritten rest of a message is kept.
    bool rest_pending() const { return off_ < len_; }
    // True once a write found the connection closed.
    bool gone() const { return gone_; }

private:
    enum class Wr { Done, Timeout, Failed };
    // Writes buf_[off_, len_) until done, the deadline, or a failure.
    Wr _write(int aicFd, long long aicDeadlineMs);

    char buf_[V2X_CORE_APP_BUF_LEN];
    size_t off_ = 0;
    size_t len_ = 0;
    bool gone_ = false;
    unsigned cutMsgs_ = 0;
    size_t cutBytes_ = 0;
};

#endif
