// SPDX-License-Identifier: Apache-2.0
// Whole messages towards the core on a stream socket, for both clients.
#include "core_app_tx.hpp"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>

#include "cv2x_app.h"
#include "v2x_clock.hpp"

static std::atomic<fCoreAppSend> gipCoreAppSend{::send};

void core_app_tx_set_send_fn(fCoreAppSend aipSend)
{
    gipCoreAppSend.store(aipSend != nullptr ? aipSend : ::send);
}

// Waits until the socket is writable or the deadline passes.
static bool _wait_writable(int aicFd, long long aicDeadlineMs)
{
    for (;;) {
        // Checked before polling: a socket that polls writable but still
        // refuses the bytes must not keep the caller past its wait.
        const long long left = aicDeadlineMs - v2x_mono_ms();
        if (left <= 0) {
            return false;
        }
        struct pollfd p = {aicFd, POLLOUT, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0) {
            return true;  // writable, or failed: the write says which
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

void CoreAppTx::drop_rest()
{
    if (rest_pending()) {
        ++cutMsgs_;
        cutBytes_ += len_ - off_;
    }
    off_ = len_ = 0;
}

bool CoreAppTx::finish(int aicFd, int aicWaitMs)
{
    if (!rest_pending()) {
        return true;
    }
    if (aicFd >= 0 && !gone_ && _write(aicFd, v2x_mono_ms() + aicWaitMs) == Wr::Done) {
        return true;
    }
    drop_rest();
    return false;
}

unsigned CoreAppTx::take_cut(size_t* aopBytes)
{
    const unsigned n = cutMsgs_;
    if (aopBytes != nullptr) {
        *aopBytes = cutBytes_;
    }
    cutMsgs_ = 0;
    cutBytes_ = 0;
    return n;
}

void CoreAppTx::attach(int aicFd)
{
    drop_rest();  // a rest of the previous connection can never be finished
    off_ = len_ = 0;
    gone_ = false;
    int size = V2X_CORE_APP_SOCK_BUF;
    setsockopt(aicFd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

CoreAppTx::Wr CoreAppTx::_write(int aicFd, long long aicDeadlineMs)
{
    while (off_ < len_) {
        ssize_t n = gipCoreAppSend.load()(aicFd, buf_ + off_, len_ - off_,
                                          MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            off_ += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return Wr::Failed;
        }
        if (!_wait_writable(aicFd, aicDeadlineMs)) {
            errno = ETIMEDOUT;
            return Wr::Timeout;
        }
    }
    off_ = len_ = 0;
    return Wr::Done;
}

int CoreAppTx::send(int aicFd, uint32_t aicType, const char* aipcMsg, uint16_t aicLen)
{
    if (gone_) {
        errno = EPIPE;
        return -ERR_V2X_SOCKET_CONECT;
    }
    const long long deadline = v2x_mono_ms() + kWaitMs;
    // The rest of an earlier message goes first: the stream must never
    // carry the start of one message followed by another.
    if (rest_pending()) {
        const Wr w = _write(aicFd, deadline);
        if (w != Wr::Done) {
            if (w == Wr::Failed) {
                drop_rest();  // the connection is gone, and the rest with it
                gone_ = true;
                return -ERR_V2X_SOCKET_CONECT;
            }
            return -ERR_V2X_SOCKET_WRITE;
        }
    }
    // Written only once the socket polls writable, which a Unix stream
    // socket does while three quarters of its send buffer are free: so few
    // earlier requests wait there that a new one reaches the air within
    // about the transmit queue's drain time.
    if (!_wait_writable(aicFd, deadline)) {
        errno = ETIMEDOUT;
        return -ERR_V2X_SOCKET_WRITE;
    }
    len_ = core_app_put_msg(buf_, aicType, aipcMsg, aicLen);
    off_ = 0;
    const Wr w = _write(aicFd, deadline);
    if (w == Wr::Done) {
        return V2X_SUCCESS;
    }
    if (w == Wr::Timeout && off_ > 0) {
        // Part of it is the core's: the rest is kept and written before
        // anything else, so the message still arrives whole.
        return V2X_SUCCESS;
    }
    // Nothing written (the caller may try again), or the connection failed
    // and cannot carry the rest.
    off_ = len_ = 0;
    if (w == Wr::Failed) {
        gone_ = true;
        return -ERR_V2X_SOCKET_CONECT;
    }
    return -ERR_V2X_SOCKET_WRITE;
}
