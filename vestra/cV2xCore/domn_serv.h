// SPDX-License-Identifier: Apache-2.0
/* The core's door for applications: a Unix-domain stream-socket server on
 * the core's event base. Reads application requests and hands them to the
 * MIB, the DME and the DSM layer; answers each request to the connection
 * that made it and sends indications to every connected application. A
 * closed connection's registrations and provider services are removed. */
#ifndef VESTRA_DOMN_SERV_H
#define VESTRA_DOMN_SERV_H

#include "buffer.h"
#include "v2x_core.h"

V2X_EXTERN_C_BEGIN

struct event_base;

/* Receive buffer of the server, 16384 bytes while it runs, else null. */
V2X_API extern buffer_t* gipRxBufer;

/* Listens on aipcDmnNme (shorter than 108 bytes) and registers on the base.
 * 0, -7, -8 (also for a path that is too long or a live server answering
 * there), -9, -16 or -6; everything made so far is released on failure. */
V2X_API int v2x_sdk_dmn_serv_init(const char* aipcDmnNme, const struct event_base* aipcEtBse);
/* Closes every connection and the listening socket, and removes the socket
 * file the server made (not a file someone else put at the path since); 0.
 * Safe when never started or already stopped. */
V2X_API int v2x_sdk_dmn_serv_exit(void);

/* Writes one complete message (header included) to every connected
 * application. Each application gets it whole or not at all: a slow one
 * whose socket is full keeps the unwritten rest of one message and loses
 * later messages whole until that rest has gone out. The bytes belong to the
 * caller and are copied where needed. Returns 0. */
V2X_API int v2x_sdk_dmn_serv_tx_clit_msg(const char* aipcMsg, const int aicMsgLen);

/* As v2x_sdk_dmn_serv_tx_clit_msg, to connection aicConn only (0: to every
 * application). A connection that has closed gets nothing. Returns 0. */
int v2x_sdk_dmn_serv_tx_to_clit(uint32_t aicConn, const char* aipcMsg, const int aicMsgLen);

V2X_EXTERN_C_END

#endif /* VESTRA_DOMN_SERV_H */
