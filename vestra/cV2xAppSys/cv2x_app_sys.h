// SPDX-License-Identifier: Apache-2.0
/** @file
 * Simple system API: blocking write and read of DSM data with built-in
 * defaults, no callbacks and no configuration.
 *
 * v2x_system_init starts the core in this process with the default settings
 * below, connects a blocking socket to it and registers for every AID;
 * v2x_system_write sends one DSM message; v2x_system_read returns one message
 * from the core per call; v2x_system_exit stops it all. Use either this API or
 * the application runtime of cv2x_app.h in a process, not both.
 *
 * Default settings:
 * @verbatim
   application socket  "/dev/shm/skDmn/v2xDSMTest" (the core creates the
                       directory, mode 0750, when it is missing)
   radio link receives on V2X_SYS_DEF_RCV_IP   port 30301 (this board)
   radio module at        V2X_SYS_DEF_SEND_IP  port 30300
   MAC address            FF FF FF FF FF FF
   @endverbatim
 * The two addresses are private addresses on one /24 subnet: the board's
 * interface towards the radio module must carry V2X_SYS_DEF_RCV_IP. */
#ifndef VESTRA_CV2X_APP_SYS_H
#define VESTRA_CV2X_APP_SYS_H

#include <stddef.h>
#include <stdint.h>

#include "cv2x_app.h"
#include <morrow/v2x_api.h>

V2X_EXTERN_C_BEGIN

#define V2X_SYS_DEF_DMN_NME "/dev/shm/skDmn/v2xDSMTest" /**< the application socket */
#define V2X_SYS_DEF_RCV_IP "192.168.100.20" /**< the board's address the radio link receives on */
#define V2X_SYS_DEF_RCV_PORT 30301          /**< the port the radio link receives on */
#define V2X_SYS_DEF_SEND_IP "192.168.100.10" /**< the radio module's address */
#define V2X_SYS_DEF_SEND_PORT 30300          /**< the radio module's port */

/** Largest data v2x_system_write accepts for any AID: a one-byte AID
 * (0..127) without an extension. Two-byte AIDs take one byte less, an
 * extension of V value bytes V + 2 less: see v2x_dsm_data_max(). */
#define V2X_SYS_MAX_TX_DATA V2X_LIM_DSM_DATA_MAX

#pragma pack(push, 1)

/** Sending parameters: the head of tDSMReq without its length. */
typedef struct _tDSMTxParm_ {
    uint32_t appId;     /**< as tDSMReq.appId */
    uint8_t protTp; /**< eProtTp */
    uint8_t priority;   /**< as tDSMReq.priority */
    uint8_t peerMac[6]; /**< as tDSMReq.peerMac */
    /** header-extension bytes, taken up to their first zero byte */
    uint8_t dsmHdrExts[256];
} tDSMTxParm;

/** Parameters of a received message: the head of tDSMInd without its length. */
typedef struct _tDSMRxParm_ {
    uint8_t dsmpVer;    /**< as tDSMInd.dsmpVer */
    uint32_t appId;     /**< as tDSMInd.appId */
    uint8_t peerMac[6]; /**< as tDSMInd.peerMac */
    uint8_t priority;   /**< as tDSMInd.priority */
} tDSMRxParm;

#pragma pack(pop)

V2X_STATIC_ASSERT(sizeof(tDSMTxParm) == 268, "tDSMTxParm is 268 bytes");
V2X_STATIC_ASSERT(offsetof(tDSMTxParm, peerMac) == 6, "tDSMTxParm.peerMac");
V2X_STATIC_ASSERT(offsetof(tDSMTxParm, dsmHdrExts) == 12, "tDSMTxParm.dsmHdrExts");
V2X_STATIC_ASSERT(sizeof(tDSMRxParm) == 12, "tDSMRxParm is 12 bytes");
V2X_STATIC_ASSERT(offsetof(tDSMRxParm, appId) == 1, "tDSMRxParm.appId");
V2X_STATIC_ASSERT(offsetof(tDSMRxParm, peerMac) == 5, "tDSMRxParm.peerMac");
V2X_STATIC_ASSERT(offsetof(tDSMRxParm, priority) == 11, "tDSMRxParm.priority");

/** Message kinds by AID (get_msg_type). */
typedef enum _eMsgType_ {
    MSG_TYPE_BSM = 0,  /**< AID 26 */
    MSG_TYPE_RSI = 1,  /**< AID 27 */
    MSG_TYPE_RSM = 2,  /**< AID 28 */
    MSG_TYPE_MAP = 3,  /**< AID 29 */
    MSG_TYPE_SPAT = 4, /**< AID 30 */
    MSG_TYPE_MAX = 5   /**< any other AID */
} eMsgType;

/** Starts the core in this process with the defaults above, connects to it
 * and registers for every AID; returns once both are up (tens of
 * milliseconds). On failure nothing is left running. Blocks; not for
 * several threads at once.
 * @return 0, or the failing step's negated code after an ERROR line naming
 *         it.
 * @retval 0 (V2X_SUCCESS) core running, connected and registered.
 * @retval -ERR_V2X_SOCKET_BIND the core cannot bind its socket path or
 *         V2X_SYS_DEF_RCV_IP:30301 (address not on this board, port in use).
 * @retval -ERR_V2X_SOCKET_CONECT the connection fails, is answered by
 *         another process than this one or is not greeted by the core within
 *         V2X_CTL_GREETING_WAIT_MS (2 s).
 * @retval -ERR_V2X_CONN_REFUSED the core refuses it (its connection cap,
 *         this user's share of it, its access settings; the ERROR line says
 *         which).
 * @retval -ERR_V2X_PTHREAD_CREATE the system API or a core already runs in
 *         this process (left untouched). */
V2X_API int v2x_system_init(void);
/** As v2x_system_init, but joins the core that another process already
 * runs instead of starting one: several applications then share one radio.
 * v2x_system_exit then leaves that core running.
 * @param aipcDmnNme the core's application socket; null: V2X_SYS_DEF_DMN_NME.
 * @return as v2x_system_init.
 * @retval 0 (V2X_SUCCESS) connected and registered.
 * @retval -ERR_V2X_SOCKET_CONECT nothing listens there, or as
 *         v2x_system_init.
 * @retval -ERR_V2X_CONN_REFUSED the core refuses the connection.
 * @retval -ERR_V2X_PTHREAD_CREATE the system API already runs in this
 *         process. */
V2X_API int v2x_system_attach(const char* aipcDmnNme);
/** Stops it all; safe without init and when called twice. A message that
 * v2x_system_write left written in part (it returned the length: the socket
 * was full) is finished first: the call waits up to 2 s for the core to read
 * the rest.
 * @retval 0 stopped.
 * @retval -ERR_V2X_SOCKET_WRITE such a message could not be finished (the
 *         core went away, or did not read within the 2 s) and was cut: one
 *         ERROR line says how many messages and bytes, and the core counts
 *         it in appCutDropped if it still runs (the client keeps no counters
 *         of its own); everything is stopped all the same. */
V2X_API int v2x_system_exit(void);

/** Sends aicTxLen data bytes under the parameters, checked first against
 * what the core can put on the air (v2x_limits.h). Nothing is sent when the
 * call refuses. Above the radio's pace (about 14 messages a second) the call
 * blocks until the core can take the message. One writer at a time.
 * @param aopcTxBuf the data.
 * @param aicTxLen its length in bytes.
 * @param aipcDSMTxParm the sending parameters (AID, protocol type,
 *        priority, address, extension).
 * @return aicTxLen when the core has the message, else a negated code:
 * @retval -ERR_V2X_SEND_LEN aicTxLen below 0 or above what the AID's form
 *         allows (2035 for AIDs 0..127, 2034 for 128..16511, each V + 2 less
 *         with an extension of V value bytes).
 * @retval -ERR_V2X_PARM_CONT no connection, a null argument, an AID above
 *         16511 or an extension value above 253 bytes.
 * @retval -ERR_V2X_SOCKET_WRITE the core did not take the message within
 *         2 s: nothing of it was sent.
 * @retval -ERR_V2X_SOCKET_CONECT the core closed the connection (it is
 *         gone). */
V2X_API int v2x_system_write(const char* aopcTxBuf, const int aicTxLen,
                             const tDSMTxParm* aipcDSMTxParm);

/** As v2x_system_write, with the sending options of dsm_request_ex.
 * @param aopcTxBuf the data.
 * @param aicTxLen its length in bytes.
 * @param aipcDSMTxParm the sending parameters.
 * @param aipcOpt the sending options (lifetime, supersede); null: none.
 * @return as v2x_system_write: aicTxLen when the core has the message.
 * @retval -ERR_V2X_SEND_LEN as v2x_system_write.
 * @retval -ERR_V2X_PARM_CONT as v2x_system_write, and for reserved option
 *         bytes not zero.
 * @retval -ERR_V2X_SOCKET_WRITE as v2x_system_write.
 * @retval -ERR_V2X_SOCKET_CONECT as v2x_system_write. */
V2X_API int v2x_system_write_ex(const char* aopcTxBuf, const int aicTxLen,
                                const tDSMTxParm* aipcDSMTxParm, const tDSMTxOpt* aipcOpt);

/** As cv2x_app_conn_stats, for the system API's connection.
 * @param aopStats where the sums go.
 * @retval 0 filled.
 * @retval -ERR_V2X_PARM_CONT null, and before v2x_system_init or attach.
 * @retval -ERR_V2X_SOCKET_CONECT no core answers.
 * @retval -ERR_V2X_CONN_REFUSED the core refused the connection.
 * @retval -ERR_V2X_SOCKET_READ no answer within 1 s, or a malformed one. */
V2X_API int v2x_system_conn_stats(tV2XCtlClient* aopStats);

/** Blocks until one message from the core is whole and returns it.
 * Several messages arriving together are returned by successive calls; the
 * socket is read only when no complete message is held. One reader at a
 * time.
 * @param aopcRxBuf where the data goes (written although declared const).
 * @param aicBufLen its size in bytes.
 * @param aopcDSMRxParm where the message's parameters go (written although
 *        declared const).
 * @return for a DSM message its data length (>= 0): the data is at the
 *         start of aopcRxBuf and its parameters in *aopcDSMRxParm.
 * @retval 0 also for a confirm (of this connection's registration): buffer
 *         and parameters untouched; call again for data.
 * @retval -ERR_V2X_RX_CORE_FMT a malformed message or one of another type,
 *         and a DSM message whose data is longer than aicBufLen: nothing is
 *         ever written past aicBufLen, so such a message is refused whole
 *         and the buffer and parameters stay untouched.
 * @retval -ERR_V2X_PARM_CONT a null parameter record, or a null buffer with
 *         a positive aicBufLen (nothing is read).
 * @retval -1 no socket, a read error, or the core closed the connection. */
V2X_API int v2x_system_read(const char* aopcRxBuf, const int aicBufLen,
                            const tDSMRxParm* aopcDSMRxParm);

/** Asks the core for a receive record with every message of this
 * connection, or for none, as cv2x_app_set_rx_info. v2x_system_read_rx then
 * fills the record. One writer at a time (with v2x_system_write).
 * @param aicOn non-zero: records from now on; 0: none.
 * @retval 0 the core has the request.
 * @retval -ERR_V2X_PARM_CONT no connection.
 * @retval -ERR_V2X_SOCKET_WRITE the core did not take it within 2 s.
 * @retval -ERR_V2X_SOCKET_CONECT the core closed the connection. */
V2X_API int v2x_system_set_rx_info(int aicOn);

/** As v2x_system_read, and for a DSM message also its receive record: with
 * v2x_system_set_rx_info(1) the core's record; for a message that came
 * without one, only dsmpVer is set and flags is 0.
 * @param aopcRxBuf where the data goes (written although declared const).
 * @param aicBufLen its size in bytes.
 * @param aopcDSMRxParm where the message's parameters go.
 * @param aopRxInfo where the receive record goes; may be null.
 * @return as v2x_system_read: for a DSM message its data length (>= 0).
 * @retval 0 also for a confirm: call again for data.
 * @retval -ERR_V2X_RX_CORE_FMT as v2x_system_read.
 * @retval -ERR_V2X_PARM_CONT as v2x_system_read.
 * @retval -1 no socket, a read error, or the core closed the connection. */
V2X_API int v2x_system_read_rx(const char* aopcRxBuf, const int aicBufLen,
                               const tDSMRxParm* aopcDSMRxParm, tDSMRxInfo* aopRxInfo);

/** A fixed figure kept for callers that size buffers by it. Nothing
 * enforces it; the largest data of one message is V2X_SYS_MAX_TX_DATA
 * (2035), per AID v2x_dsm_data_max().
 * @return 1024, always. */
V2X_API uint32_t get_mtu(void);
/** The message kind of an AID.
 * @param aicAid the AID.
 * @return the kind of AIDs 26 to 30 (MSG_TYPE_BSM to MSG_TYPE_SPAT),
 *         MSG_TYPE_MAX for any other. */
V2X_API eMsgType get_msg_type(const uint32_t aicAid);

/** The client alone: connects a blocking socket to dmnNme and registers for
 * every AID (the core's confirm is read later by v2x_system_read, which
 * returns 0 for it).
 * @param aipcSDKCfg the configuration; only dmnNme is read.
 * @return 0, or a send error of _send_core_app_msg.
 * @retval 0 connected and registration sent.
 * @retval -ERR_V2X_SOCKET_OPEN (-7) no socket.
 * @retval -ERR_V2X_SOCKET_CONECT (-10) the connection failed or was not
 *         greeted in time (also for a dmnNme of 108 bytes or more).
 * @retval -ERR_V2X_CONN_REFUSED the core refused the connection.
 * @retval -ERR_V2X_PARM_CONT a null configuration. */
V2X_API int v2x_sys_net_init(const tV2XSDKCfg* aipcSDKCfg);
/** Finishes a message written in part (up to 2 s), then closes the
 * connection.
 * @retval 0 closed.
 * @retval -ERR_V2X_SOCKET_WRITE after one ERROR line when a message was cut
 *         (as v2x_system_exit). */
V2X_API int v2x_sys_net_exit(void);
/** As send_core_app_msg, on the blocking socket.
 * @param aicMsgTp the message type.
 * @param aipcMsg the payload.
 * @param aicLen its length in bytes.
 * @retval 0 the message is the core's.
 * @retval -ERR_V2X_PARM_CONT no connection, a null message, a type the core
 *         does not take.
 * @retval -ERR_V2X_SEND_LEN a length the type or the datagram does not
 *         allow.
 * @retval -ERR_V2X_SOCKET_WRITE nothing of it was written within the wait.
 * @retval -ERR_V2X_SOCKET_CONECT the core closed the connection. */
V2X_API int _send_core_app_msg(const eV2XMsgType aicMsgTp, const char* aipcMsg, const int aicLen);

V2X_EXTERN_C_END

#endif /* VESTRA_CV2X_APP_SYS_H */
