// SPDX-License-Identifier: Apache-2.0
/* The UDP link to the radio module: one receive socket bound to the
 * configured local address and port, one send socket aimed at the module.
 * Each datagram is one protocol-type byte followed by one DSMP frame.
 * Runs on the core thread. */
#ifndef VESTRA_RLINK_H
#define VESTRA_RLINK_H

#include "v2x_types.h"

V2X_EXTERN_C_BEGIN

struct event_base;

/* Builds the receive ring, binds the receive socket to rcvIp:rcvPort and
 * registers its read event on the event base, opens the send socket for
 * sendIp:sendPort. 0 or a negated eV2XErrNum code; a failure releases
 * whatever had been opened. */
V2X_API int rlink_init(const tV2XSDKCfg* aipcV2XCore, struct event_base* aipcEtBse);

/* Sends one datagram of aicSdLen bytes to the radio module, at least 70 ms
 * after the previous one on the monotonic clock. Never waits: when the gap
 * has not passed, or datagrams are already waiting, the bytes are copied
 * into the transmit queue of their priority, which a timer on the core's
 * event loop drains one datagram per gap, the most urgent priority first
 * and connections of one priority in turn. A datagram sent here is the
 * core's own at priority 0 with no lifetime; the core's layers hand whose it
 * is and how it may wait beside it (rlink_submit, rlink.hpp). Core thread
 * only. 0 (sent or queued), -ERR_V2X_PARM_CONT,
 * -ERR_V2X_SEND_LEN (longer than a queue place), -ERR_V2X_TX_FULL (its
 * priority's queue is full, nothing kept) or -ERR_V2X_SOCKET_SEND_TO (sent
 * at once and refused, or the link is not running). */
V2X_API int rlink_send(const char* aipcSdMsg, const int aicSdLen);

/* Releases events, sockets and ring; datagrams still queued are dropped
 * (counted in txDroppedAtExit) with one line giving their count. 0; safe
 * without init and twice. */
V2X_API int rlink_exit(void);

V2X_EXTERN_C_END

#endif /* VESTRA_RLINK_H */
