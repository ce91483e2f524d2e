// Daemon server internals for tests.
#ifndef VESTRA_DOMN_SERV_HPP
#define VESTRA_DOMN_SERV_HPP

#include <stddef.h>
#include <sys/types.h>

#include "domn_serv.h"

// The call that writes to client sockets, with the signature of send(2).
using fDmnSend = ssize_t (*)(int aicFd, const void* aipcBuf, size_t aicLen, int aicFlags);

// Replaces the client write call; null restores send(2). Lets tests make a
// socket take only part of a message, which a real socket does rarely.
V2X_API void dmn_serv_set_send_fn(fDmnSend aipSend);

#endif
