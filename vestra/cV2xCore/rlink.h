/* The UDP link to the radio module: one receive socket bound to the
 * configured local address and port, one send socket aimed at the module.
 * Each datagram is one protocol-type byte followed by one DSMP frame.
 * Runs on the core thread. */
#ifndef VESTRA_RLINK_H
#define VESTRA_RLINK_H

#include "cv2x_app.h"

V2X_EXTERN_C_BEGIN

struct event_base;

/* Builds the receive ring, binds the receive socket to rcvIp:rcvPort and
 * registers its read event on the event base, opens the send socket for
 * sendIp:sendPort. 0 or a negated eV2XErrNum code; a failure releases
 * whatever had been opened. */
V2X_API int rlink_init(const tV2XSDKCfg* aipcV2XCore, struct event_base* aipcEtBse);

/* Sends one datagram of aicSdLen bytes to the radio module, at least 70 ms
 * after the previous one (sleeping on the calling thread when needed). 0,
 * -ERR_V2X_PARM_CONT or -ERR_V2X_SOCKET_SEND_TO. The bytes stay the
 * caller's. */
V2X_API int rlink_send(const char* aipcSdMsg, const int aicSdLen);

/* Releases event, sockets and ring. 0; safe without init and twice. */
V2X_API int rlink_exit(void);

V2X_EXTERN_C_END

#endif /* VESTRA_RLINK_H */
