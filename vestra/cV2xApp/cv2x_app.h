// SPDX-License-Identifier: Apache-2.0
/* Public interface of the V2X network layer for applications: the
 * application runtime and its DSM and DME calls. The codes, enumerations and
 * records it uses are in v2x_types.h, the calls that start and tune a core in
 * this process in v2x_core.h; both are included here. */
#ifndef VESTRA_CV2X_APP_H
#define VESTRA_CV2X_APP_H

#include <stddef.h>
#include <stdint.h>

#include <morrow/v2x_api.h>

#include "v2x_types.h"
#include "v2x_core.h"

V2X_EXTERN_C_BEGIN

struct event_base;

/* ---- Application runtime ----------------------------------------------
 * cv2x_app_init copies the configuration, starts the runtime thread, which
 * starts the core in this process (v2x_core_init) and connects to that core's
 * application socket, and returns once the runtime is ready to take requests
 * and deliver indications (tens of milliseconds):
 *   0                        core listening, runtime connected to it;
 *   -ERR_V2X_PTHREAD_CREATE  a runtime or a core already runs in this process
 *                            (it is left untouched), or no thread;
 *   -ERR_V2X_SOCKET_BIND     the core could not bind: its socket path (missing
 *                            directory, path of 108 bytes or more, another
 *                            live server there) or the radio link's rcvIp:rcvPort
 *                            (address not local, port in use); one ERROR line
 *                            names the address and the reason;
 *   -ERR_V2X_SOCKET_CONECT   the connection to the core failed, the socket
 *                            was answered by another process than this one,
 *                            or the core did not greet the connection within
 *                            V2X_CTL_GREETING_WAIT_MS (2 s);
 *   -ERR_V2X_CONN_REFUSED    the core refused the connection (its cap, this
 *                            user's share of it, its access settings); one
 *                            ERROR line names the reason;
 *   another negative code    the failed step's (-ERR_V2X_PARM_CONT for a null
 *                            configuration, -ERR_V2X_TMP when start-up took
 *                            over 10 seconds).
 * On failure nothing is left running and the call may be repeated.
 * Every callback runs on the runtime thread. cv2x_app_exit stops and releases
 * everything (the core too, unless the runtime was attached). A message a
 * send left written in part (its call returned 0: the socket was full) is
 * finished first: the exit waits up to 2 s for the core to read the rest.
 * Results: 0, also when called twice, after a failed start-up or after the
 * core went away; -ERR_V2X_SOCKET_WRITE when such a message could not be
 * finished (the core went away, or did not read within the 2 s) and was cut:
 * one ERROR line says how many messages and bytes, and the core counts it
 * in appCutDropped if it still runs (the client keeps no counters of its
 * own); everything is stopped all the same. -ERR_V2X_PARM_CONT at once from
 * a callback (the runtime thread cannot wait for itself). Both block; call
 * them from an application thread. */
V2X_API int cv2x_app_init(const tV2XSDKCfg* aipcSDKCfg);
V2X_API int cv2x_app_exit(void);

/* Starts the runtime against a core that another process already runs on
 * aipcSDKCfg->dmnNme (only that field is read), without starting a core:
 * that is how several applications on one board share one radio. Same
 * results as cv2x_app_init; -ERR_V2X_SOCKET_CONECT when nothing listens at
 * the path. Stop it with cv2x_app_exit, which then leaves the core running. */
V2X_API int cv2x_app_attach(const tV2XSDKCfg* aipcSDKCfg);

/* 1 while the runtime is connected to its core, 0 before a start, after an
 * exit and once the core has closed the connection (it stopped or went
 * away); requests then fail with -ERR_V2X_SOCKET_CONECT. Any thread. */
V2X_API int cv2x_app_core_connected(void);

/* Sends one message (6-byte header + aicLen payload bytes) to the core. Safe
 * from any thread; a message always leaves whole or not at all. The message
 * is checked first against what the core takes (v2x_limits.h): request types
 * only, each fixed record at its length, a DSM request whose data length
 * matches its record, an AID of at most 16511 and data that fits the
 * datagram. The radio takes about 14 datagrams a second: while the core's
 * transmit queue is full it stops reading, and the call waits up to 2
 * seconds for the core to take the message. Results:
 *   0                       the message is the core's (whole, or being
 *                           completed before anything else is written);
 *   -ERR_V2X_PARM_CONT      no connection was ever made (or after
 *                           cv2x_app_exit), a null message, a type the core
 *                           does not take, a DSM request whose AID or
 *                           extension has no encoding;
 *   -ERR_V2X_SEND_LEN       aicLen outside 0..4090, or a length the type or
 *                           the datagram does not allow;
 *   -ERR_V2X_SOCKET_WRITE   nothing of it was written within the wait (the
 *                           connection stays usable);
 *   -ERR_V2X_SOCKET_CONECT  the core closed the connection: it is gone, and
 *                           every later send says so at once.
 * Nothing is sent when the call refuses. */
V2X_API int send_core_app_msg(const eV2XMsgType aicMsgTp, const char* aipcMsg, const int aicLen);

/* The daemon client alone (used by the runtime thread): connects a
 * non-blocking socket to dmnNme, waits for the core's greeting (at most
 * V2X_CTL_GREETING_WAIT_MS) and reads it on aipcEtBse. 0, -7, -10 (also for
 * a dmnNme of 108 bytes or more, and for no greeting in time), -16 or
 * -ERR_V2X_CONN_REFUSED (the core refused the connection). */
V2X_API int v2x_domn_clit_init(const tV2XSDKCfg* aipcSDKCfg, const struct event_base* aipcEtBse);
/* Finishes a message written in part (up to 2 s), then closes the
 * connection: 0, or -ERR_V2X_SOCKET_WRITE after one ERROR line when a
 * message was cut (as cv2x_app_exit). Safe when never connected. */
V2X_API int v2x_domn_clit_exit(void);

/* ---- DSM service calls --------------------------------------------------
 * Every callback runs on the runtime thread, one at a time. From a callback
 * never call dme_dsm_serv_req, a request of the callback's own confirm family
 * or cv2x_app_exit: they return -ERR_V2X_PARM_CONT at once and send nothing. */

/* The core's answer to one registration (dme_dsm_serv_req): appId is the
 * request's, retCd DME_RET_ACCEPT when the core's table took it,
 * DME_RET_REJ_VAL_ERR when it refused it (a refused add is then also gone
 * from this process's table). The return value is ignored. */
typedef int (*fDME_DSM_serv_cfm)(const uint32_t appId, eDMERetCd retCd);
/* One received DSM message for a registered AID. dsmpVer is the frame's
 * version (0..7), appId its AID, msg its msgLen data bytes. peerMac is the
 * sender's address as the radio link reports it: the link carries none, so
 * it is always FF:FF:FF:FF:FF:FF; priority is always 0 on receive. msg and
 * peerMac (6 bytes) point into the client's receive buffer, which the library
 * owns: they are valid only during the call; copy what you keep. Return 0; a
 * non-zero value is logged ("app_dsm_ind() err!!!!") and nothing else
 * happens: the message is not offered again. */
typedef int (*fDSM_Ind)(uint8_t dsmpVer, const uint32_t appId, uint16_t msgLen, const char* msg,
                        const char* peerMac, uint8_t priority);

/* As fDSM_Ind, with what came with the message: aipcRxInfo points at the
 * receive record (tDSMRxInfo: receive times, the sender's layer-2 identity,
 * RSSI, CBR, DSMP version, header extension, security result), valid only
 * during the call like msg. The record holds values only after
 * cv2x_app_set_rx_info(1); before it (and for messages the core sent before
 * it took the request) only dsmpVer is set and flags is 0. */
typedef int (*fDSM_IndRx)(const uint32_t appId, uint16_t msgLen, const char* msg,
                          const tDSMRxInfo* aipcRxInfo);

/* Asks the core for a receive record with every indication of this
 * application's connection (aicOn non-zero), or for plain indications again
 * (0). Off until asked. The core takes the request in order with this
 * connection's other messages: indications it sends after it come with the
 * record. Records reach the callbacks registered with
 * dme_dsm_serv_req_rx; callbacks of dme_dsm_serv_req get the same messages
 * as before. Results as send_core_app_msg: 0, -ERR_V2X_PARM_CONT (no
 * runtime, or from a callback), -ERR_V2X_SOCKET_WRITE,
 * -ERR_V2X_SOCKET_CONECT. Any thread but the runtime's. */
V2X_API int cv2x_app_set_rx_info(int aicOn);

/* As dme_dsm_serv_req, with an indication callback that also receives the
 * receive record (fDSM_IndRx). Same results; a delete or change may name a
 * registration made with either call. */
V2X_API int dme_dsm_serv_req_rx(const tDMEDSMServReq* aipcDMEDSMServReq,
                                fDME_DSM_serv_cfm aipDMEDSMCfmFunc, fDSM_IndRx aipDSMIndFunc);

/* Local bookkeeping of the numbers 0..31 for tDMEDSMServReq.index: the core
 * keys registrations by connection and index, so each application numbers
 * its own from 0, and these calls only help it not to use one twice (the
 * provider and user families below do the same for their lclAppId). get
 * writes the lowest free number through aopcIndex (written although declared
 * const) and marks it used: 0, -ERR_V2X_PARM_CONT (null), or
 * -ERR_V2X_NO_FIND_DSM_SERV_REQ_INDEX (all 32 in use). clear frees one: 0, or
 * -ERR_V2X_CLR_INDEX (outside 0..31, or not in use). Nothing is sent; any
 * thread. */
V2X_API int get_dme_dsm_serv_req_index(const int* aopcIndex);
V2X_API int clear_dme_dsm_serv_req_index(const int aicIndex);

/* Sends one DSM message: the 270-byte tDSMReq head followed directly by its
 * msgLen data bytes. The AID must be 0..16511 and the data fit one datagram:
 * at most 2035 bytes for AIDs 0..127, 2034 for 128..16511, each V + 2 less
 * with an extension element of V value bytes (dsmHdrExts[1], at most 253);
 * see v2x_limits.h. Results as send_core_app_msg: 0 (the core has it and will
 * put it on the air in its turn, at most about 14 a second for the station,
 * the most urgent priority first; a lifetime or supersede set for its AID
 * with v2x_sdk_dmn_serv_set_tx_defaults may drop it unsent, and counts it
 * then), -ERR_V2X_PARM_CONT
 * (null, AID above 16511, extension above 253, no connection),
 * -ERR_V2X_SEND_LEN (data too long for the AID's form),
 * -ERR_V2X_SOCKET_WRITE (the core did not take it within 2 s),
 * -ERR_V2X_SOCKET_CONECT (the core is gone). Nothing is sent when it
 * refuses. Any thread; may block up to 2 s while the radio is busy. */
V2X_API int dsm_request(const tDSMReq* aipcDSMReq);

/* As dsm_request, with options for how the message may wait for the radio
 * (V2X_DSM_REQ_EX on the socket). The radio takes one datagram per 70 ms and
 * every application shares it: the most urgent priority (tDSMReq.priority,
 * 0 lowest to 7, larger counts as 7) goes first, connections of one priority
 * take turns, and each connection's requests keep their order. With
 * aipcOpt->lifetimeMs a request that waited that long in the core is dropped,
 * never sent; with supersede it replaces this connection's requests for the
 * same AID that still wait. Such drops are counted for the connection
 * (cv2x_app_conn_stats). A null aipcOpt sends as dsm_request. Results as
 * dsm_request, and -ERR_V2X_PARM_CONT for reserved bytes that are not zero.
 * The lifetime counts from this call, on the machine's monotonic clock, so
 * it includes any time the request waits in the socket while its priority's
 * queue in the core is full. */
V2X_API int dsm_request_ex(const tDSMReq* aipcDSMReq, const tDSMTxOpt* aipcOpt);

/* What became of this application's requests, asked of the core over a
 * short second connection: into *aopStats the sum over this process's
 * connections to the core (sent, waiting now, expired, superseded, and in
 * droppedStalled the indications dropped while it did not read). 0,
 * -ERR_V2X_PARM_CONT (null, or no runtime), -ERR_V2X_SOCKET_CONECT (no core
 * answers), -ERR_V2X_CONN_REFUSED (the core refused the connection: its cap
 * or this user's share of it), -ERR_V2X_SOCKET_READ (no answer within 1 s,
 * or a malformed one). The short connection is a control connection: it is
 * not counted or listed among the applications and gets no indications. Any
 * thread but the runtime's; blocks up to 1 s. */
V2X_API int cv2x_app_conn_stats(tV2XCtlClient* aopStats);

/* Adds, deletes or changes a registration: which AID (or, with aidMthFlg 1,
 * every AID) this application receives, with its two callbacks. The local
 * table is checked first and nothing is sent when it refuses:
 * -ERR_V2X_PARM_CONT (null request, add or change without an indication
 * callback, index of 32 or more, called from a callback), -ERR_V2X_PRIM_ACTION
 * (unknown action; add of an AID or index already registered here; delete or
 * change of an AID not registered here or under another index),
 * -ERR_V2X_MALLOC. Then the request is sent (its send errors are returned and
 * the local change undone) and 0 returned. The core answers with a confirm:
 * aipDMEDSMCfmFunc (may be null) is called with it on the runtime thread.
 * Several applications may use the same index and the same AID. Any thread
 * but the runtime's; may block up to 2 s. */
V2X_API int dme_dsm_serv_req(const tDMEDSMServReq* aipcDMEDSMServReq,
                             fDME_DSM_serv_cfm aipDMEDSMCfmFunc, fDSM_Ind aipDSMIndFunc);

/* Called by the daemon client on the runtime thread: an indication goes to
 * the first registration that wants its AID (0 when none does, else the
 * callback's result); a confirm to the oldest waiting registration of its
 * AID (-ERR_V2X_NO_FIND_IND_HOK when none waits). */
V2X_API int app_dsm_ind(tDSMInd* aipcDSMInd);
V2X_API int app_dme_dsm_serv_cfm(const tDMEDSMServCfm* aipcDMEDSMCfm);
/* Empty the index set (init) and the registrations and waiting confirms
 * (exit). Always 0; the runtime calls them, exit is safe twice. */
V2X_API int v2x_app_dme_dsm_init(void);
V2X_API int v2x_app_dme_dsm_exit(void);

/* ---- DME provider and user calls ---------------------------------------- */

/* Confirm of a provider or user request, matched by lclAppId: the core sends
 * it to the asking application only. retCd DME_RET_ACCEPT, or a refusal
 * (DME_RET_REJ_VAL_ERR: bad value, duplicate add, unknown lclAppId;
 * DME_RET_REJ_NO_REASON: the core's provider table is full). */
typedef int (*fDME_Prov_serv_cfm)(int lclAppId, eDMERetCd retCd);
typedef int (*fDME_User_serv_cfm)(int lclAppId, eDMERetCd retCd);

/* Sends the request and returns; it does not wait for the confirm. With a
 * callback, the request is recorded first and the callback is called once
 * with its confirm on the runtime thread. The core keeps provider services
 * per application and lclAppId (0..99): another application's lclAppId 3 is
 * its own. A provider is advertised every 5/rptRte seconds until deleted or
 * until this application's connection closes. 0, a send error of
 * send_core_app_msg, -ERR_V2X_PARM_CONT (null request; from a confirm
 * callback of the same family), -ERR_V2X_PRIM_ACTION (a request with a
 * callback while one for the same lclAppId waits; nothing sent) or
 * -ERR_V2X_MALLOC. Any thread; may block up to 2 s. */
V2X_API int dme_provider_serv_req(const tDMEProvServReq* aipcDMEProvServReq,
                                  fDME_Prov_serv_cfm aipDMEProvCfmFunc);
V2X_API int dme_user_serv_req(const tDMEUserServReq* aipcDMEUserServReq,
                              fDME_User_serv_cfm aipDMEUserCfmFunc);
/* Called by the daemon client on the runtime thread for each confirm: the
 * waiting record is taken out, then its callback called without any lock.
 * The callback's result, -1 without a callback, or -ERR_V2X_NO_FIND_IND_HOK. */
V2X_API int app_dme_provider_serv_cfm(const tDMEProvServCfm* aipcDMEProvCfm);
V2X_API int app_dme_user_serv_cfm(const tDMEUserServCfm* aipcDMEUserCfm);

/* Local bookkeeping of lclAppId numbers 0..31, one set per family, as for
 * the DSM index above. */
V2X_API int get_dme_prov_serv_req_index(const int* aopcIndex);
V2X_API int clear_dme_prov_serv_req_index(const int aicIndex);
V2X_API int get_dme_user_serv_req_index(const int* aopcIndex);
V2X_API int clear_dme_user_serv_req_index(const int aicIndex);

/* Empty both index sets (init), and both families' waiting records without
 * calling anyone (exit). Always 0; the runtime calls them, exit is safe
 * twice. */
V2X_API int v2x_app_dme_init(void);
V2X_API int v2x_app_dme_exit(void);

V2X_EXTERN_C_END

#endif /* VESTRA_CV2X_APP_H */
