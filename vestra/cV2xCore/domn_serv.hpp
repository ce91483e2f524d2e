// SPDX-License-Identifier: Apache-2.0
// Daemon server internals for tests.
#ifndef VESTRA_DOMN_SERV_HPP
#define VESTRA_DOMN_SERV_HPP

#include <stddef.h>
#include <sys/types.h>

#include "domn_serv.h"
#include "rlink.hpp"

// The call that writes to client sockets, with the signature of send(2).
using fDmnSend = ssize_t (*)(int aicFd, const void* aipcBuf, size_t aicLen, int aicFlags);

// Replaces the client write call; null restores send(2). Lets tests make a
// socket take only part of a message, which a real socket does rarely.
void dmn_serv_set_send_fn(fDmnSend aipSend);

// How long a connection may hold an incomplete message before it is closed,
// for timers started from now on; 0 or less restores
// V2X_DMN_SERV_IDLE_MS_DEF. Lets tests see the timeout within their bounds.
void dmn_serv_set_idle_ms(int aicMs);

// Called when the radio link's transmit queue has room again: the
// connections held back for it take their turns on the core's loop.
void dmn_serv_tx_room(void);

// Indications: aipcPlain (a V2X_DSM_IND message) to every application
// connection, or aipcEx (the same as V2X_DSM_IND_EX) to those that asked
// for receive records. Either may be null when nobody of its kind is
// there (a connection that asked gets the plain form when aipcEx is null).
// 0, or -ERR_V2X_SEND_LEN for a length no message has. Any thread.
int dmn_serv_tx_ind(const char* aipcPlain, const int aicPlainLen, const char* aipcEx,
                    const int aicExLen);
// Which forms of an indication the open connections take (core thread):
// 1 when an application connection did not ask for receive records (the
// plain form), | 2 when one did (DSM_IND_PLAIN, DSM_IND_RECORD).
int dmn_serv_ind_forms();

// What became of a connection's DSM request on the radio: counted for the
// connection, when it is still open (core thread).
void dmn_serv_tx_news(uint32_t aicConnId, eRlinkTxNews aicNews);

// What the server has refused or held back since the process started.
struct tDmnServStats {
    unsigned long capRefused;   // connections closed at once: too many clients
    unsigned long acceptFails;  // accept() failures (each rest counts once per try)
    unsigned long heldBack;     // times a connection's reading waited for queue room
    unsigned long cutDropped;   // messages cut by the end of their connection
    unsigned long peerRefused;  // connections of peers the access settings do not allow
};
void dmn_serv_stats(tDmnServStats* aopStats);

#endif
