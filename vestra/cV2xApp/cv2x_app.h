// SPDX-License-Identifier: Apache-2.0
/** @file
 * Public interface of the V2X network layer for applications: the
 * application runtime and its DSM and DME calls. The codes, enumerations and
 * records it uses are in v2x_types.h, the calls that start and tune a core in
 * this process in v2x_core.h; both are included here.
 *
 * Every callback runs on the runtime thread, one at a time. From a callback
 * never call dme_dsm_serv_req, a request of the callback's own confirm family
 * or cv2x_app_exit: they return -ERR_V2X_PARM_CONT at once and send nothing. */
#ifndef VESTRA_CV2X_APP_H
#define VESTRA_CV2X_APP_H

#include <stddef.h>
#include <stdint.h>

#include <morrow/v2x_api.h>

#include "v2x_types.h"
#include "v2x_core.h"

V2X_EXTERN_C_BEGIN

struct event_base;

/* ---- Application runtime ---------------------------------------------- */

/** Starts the application runtime and the core in this process.
 * Copies the configuration, starts the runtime thread, which starts the
 * core in this process (v2x_core_init) and connects to that core's
 * application socket, and returns once the runtime is ready to take
 * requests and deliver indications (tens of milliseconds). On failure
 * nothing is left running and the call may be repeated. Every callback runs
 * on the runtime thread. Blocks; call it from an application thread.
 * @param aipcSDKCfg the start-up configuration (copied).
 * @return 0, or another negative code: the failed step's.
 * @retval 0 (V2X_SUCCESS) core listening, runtime connected to it.
 * @retval -ERR_V2X_PTHREAD_CREATE a runtime or a core already runs in this
 *         process (it is left untouched), or no thread.
 * @retval -ERR_V2X_SOCKET_BIND the core could not bind: its socket path
 *         (missing directory, path of 108 bytes or more, another live server
 *         there) or the radio link's rcvIp:rcvPort (address not local, port
 *         in use); one ERROR line names the address and the reason.
 * @retval -ERR_V2X_SOCKET_CONECT the connection to the core failed, the
 *         socket was answered by another process than this one, or the core
 *         did not greet the connection within V2X_CTL_GREETING_WAIT_MS (2 s).
 * @retval -ERR_V2X_CONN_REFUSED the core refused the connection (its cap,
 *         this user's share of it, its access settings); one ERROR line
 *         names the reason.
 * @retval -ERR_V2X_PARM_CONT a null configuration.
 * @retval -ERR_V2X_TMP start-up took over 10 seconds. */
V2X_API int cv2x_app_init(const tV2XSDKCfg* aipcSDKCfg);
/** Stops and releases everything: the runtime, and the core too unless the
 * runtime was attached (cv2x_app_attach). A message a send left written in
 * part (its call returned 0: the socket was full) is finished first: the
 * exit waits up to 2 s for the core to read the rest. Blocks; call it from
 * an application thread.
 * @retval 0 stopped; also when called twice, after a failed start-up or
 *         after the core went away.
 * @retval -ERR_V2X_SOCKET_WRITE such a message could not be finished (the
 *         core went away, or did not read within the 2 s) and was cut: one
 *         ERROR line says how many messages and bytes, and the core counts
 *         it in appCutDropped if it still runs (the client keeps no counters
 *         of its own); everything is stopped all the same.
 * @retval -ERR_V2X_PARM_CONT at once from a callback (the runtime thread
 *         cannot wait for itself). */
V2X_API int cv2x_app_exit(void);

/** Starts the runtime against a core that another process already runs,
 * without starting a core: that is how several applications on one board
 * share one radio. Stop it with cv2x_app_exit, which then leaves the core
 * running.
 * @param aipcSDKCfg the configuration; only dmnNme, the core's socket, is
 *        read.
 * @return same results as cv2x_app_init.
 * @retval 0 (V2X_SUCCESS) runtime connected to the core.
 * @retval -ERR_V2X_SOCKET_CONECT nothing listens at the path, or as
 *         cv2x_app_init.
 * @retval -ERR_V2X_CONN_REFUSED the core refused the connection.
 * @retval -ERR_V2X_PTHREAD_CREATE a runtime already runs in this process,
 *         or no thread. */
V2X_API int cv2x_app_attach(const tV2XSDKCfg* aipcSDKCfg);

/** Whether the runtime is connected to its core. Any thread.
 * @retval 1 connected.
 * @retval 0 before a start, after an exit and once the core has closed the
 *         connection (it stopped or went away); requests then fail with
 *         -ERR_V2X_SOCKET_CONECT. */
V2X_API int cv2x_app_core_connected(void);

/** Sends one message (6-byte header + aicLen payload bytes) to the core.
 * Safe from any thread; a message always leaves whole or not at all. The
 * message is checked first against what the core takes (v2x_limits.h):
 * request types only, each fixed record at its length, a DSM request whose
 * data length matches its record, an AID of at most 16511 and data that
 * fits the datagram. The radio takes about 14 datagrams a second: while the
 * core's transmit queue is full it stops reading, and the call waits up to
 * 2 seconds for the core to take the message. Nothing is sent when the call
 * refuses.
 * @param aicMsgTp the message type (eV2XMsgType, or another type the core
 *        takes).
 * @param aipcMsg the payload.
 * @param aicLen its length in bytes.
 * @retval 0 the message is the core's (whole, or being completed before
 *         anything else is written).
 * @retval -ERR_V2X_PARM_CONT no connection was ever made (or after
 *         cv2x_app_exit), a null message, a type the core does not take, a
 *         DSM request whose AID or extension has no encoding.
 * @retval -ERR_V2X_SEND_LEN aicLen outside 0..4090, or a length the type or
 *         the datagram does not allow.
 * @retval -ERR_V2X_SOCKET_WRITE nothing of it was written within the wait
 *         (the connection stays usable).
 * @retval -ERR_V2X_SOCKET_CONECT the core closed the connection: it is gone,
 *         and every later send says so at once. */
V2X_API int send_core_app_msg(const eV2XMsgType aicMsgTp, const char* aipcMsg, const int aicLen);

/** The daemon client alone (used by the runtime thread): connects a
 * non-blocking socket to dmnNme, waits for the core's greeting (at most
 * V2X_CTL_GREETING_WAIT_MS) and reads it on aipcEtBse.
 * @param aipcSDKCfg the configuration; dmnNme is the core's socket.
 * @param aipcEtBse the event loop the connection is read on.
 * @retval 0 connected and greeted.
 * @retval -ERR_V2X_SOCKET_OPEN (-7) no socket.
 * @retval -ERR_V2X_SOCKET_CONECT (-10) the connection failed, also for a
 *         dmnNme of 108 bytes or more, and for no greeting in time.
 * @retval -ERR_V2X_EVENT_NEW (-16) the connection's event could not be
 *         made.
 * @retval -ERR_V2X_CONN_REFUSED the core refused the connection. */
V2X_API int v2x_domn_clit_init(const tV2XSDKCfg* aipcSDKCfg, const struct event_base* aipcEtBse);
/** Finishes a message written in part (up to 2 s), then closes the
 * connection. Safe when never connected.
 * @retval 0 closed.
 * @retval -ERR_V2X_SOCKET_WRITE after one ERROR line when a message was cut
 *         (as cv2x_app_exit). */
V2X_API int v2x_domn_clit_exit(void);

/* ---- DSM service calls --------------------------------------------------
 * Every callback runs on the runtime thread, one at a time. From a callback
 * never call dme_dsm_serv_req, a request of the callback's own confirm family
 * or cv2x_app_exit: they return -ERR_V2X_PARM_CONT at once and send nothing. */

/** The core's answer to one registration (dme_dsm_serv_req), on the runtime
 * thread.
 * @param appId the request's AID.
 * @param retCd DME_RET_ACCEPT when the core's table took it,
 *        DME_RET_REJ_VAL_ERR when it refused it (a refused add is then also
 *        gone from this process's table).
 * @return ignored. */
typedef int (*fDME_DSM_serv_cfm)(const uint32_t appId, eDMERetCd retCd);
/** One received DSM message for a registered AID, on the runtime thread.
 * msg and peerMac (6 bytes) point into the client's receive buffer, which
 * the library owns: they are valid only during the call; copy what you keep.
 * @param dsmpVer the frame's version (0..7).
 * @param appId its AID.
 * @param msgLen its data length in bytes.
 * @param msg its msgLen data bytes.
 * @param peerMac the sender's address as the radio link reports it: the link
 *        carries none, so it is always FF:FF:FF:FF:FF:FF.
 * @param priority always 0 on receive.
 * @return 0; a non-zero value is logged ("app_dsm_ind() err!!!!") and
 *         nothing else happens: the message is not offered again. */
typedef int (*fDSM_Ind)(uint8_t dsmpVer, const uint32_t appId, uint16_t msgLen, const char* msg,
                        const char* peerMac, uint8_t priority);

/** As fDSM_Ind, with what came with the message. The record holds values
 * only after cv2x_app_set_rx_info(1); before it (and for messages the core
 * sent before it took the request) only dsmpVer is set and flags is 0.
 * @param appId the message's AID.
 * @param msgLen its data length in bytes.
 * @param msg its msgLen data bytes, valid only during the call.
 * @param aipcRxInfo the receive record (tDSMRxInfo: receive times, the
 *        sender's layer-2 identity, RSSI, CBR, DSMP version, header
 *        extension, security result), valid only during the call like msg.
 * @return 0, as fDSM_Ind. */
typedef int (*fDSM_IndRx)(const uint32_t appId, uint16_t msgLen, const char* msg,
                          const tDSMRxInfo* aipcRxInfo);

/** Asks the core for a receive record with every indication of this
 * application's connection, or for plain indications again. Off until
 * asked. The core takes the request in order with this connection's other
 * messages: indications it sends after it come with the record. Records
 * reach the callbacks registered with dme_dsm_serv_req_rx; callbacks of
 * dme_dsm_serv_req get the same messages as before. Any thread but the
 * runtime's.
 * @param aicOn non-zero: records from now on; 0: plain indications again.
 * @return results as send_core_app_msg.
 * @retval 0 the core has the request.
 * @retval -ERR_V2X_PARM_CONT no runtime, or from a callback.
 * @retval -ERR_V2X_SOCKET_WRITE the core did not take it within the wait.
 * @retval -ERR_V2X_SOCKET_CONECT the core closed the connection. */
V2X_API int cv2x_app_set_rx_info(int aicOn);

/** As dme_dsm_serv_req, with an indication callback that also receives the
 * receive record (fDSM_IndRx). A delete or change may name a registration
 * made with either call.
 * @param aipcDMEDSMServReq the registration (index, action, AID).
 * @param aipDMEDSMCfmFunc called with the core's confirm; may be null.
 * @param aipDSMIndFunc called with each indication and its record.
 * @return same results as dme_dsm_serv_req.
 * @retval 0 the request is sent.
 * @retval -ERR_V2X_PARM_CONT as dme_dsm_serv_req.
 * @retval -ERR_V2X_PRIM_ACTION as dme_dsm_serv_req.
 * @retval -ERR_V2X_MALLOC as dme_dsm_serv_req. */
V2X_API int dme_dsm_serv_req_rx(const tDMEDSMServReq* aipcDMEDSMServReq,
                                fDME_DSM_serv_cfm aipDMEDSMCfmFunc, fDSM_IndRx aipDSMIndFunc);

/** Local bookkeeping of the numbers 0..31 for tDMEDSMServReq.index: takes
 * the lowest free number. The core keys registrations by connection and
 * index, so each application numbers its own from 0, and these calls only
 * help it not to use one twice (the provider and user families below do the
 * same for their lclAppId). Nothing is sent; any thread.
 * @param aopcIndex where the lowest free number is written (written
 *        although declared const); it is then marked used.
 * @retval 0 written and marked used.
 * @retval -ERR_V2X_PARM_CONT null.
 * @retval -ERR_V2X_NO_FIND_DSM_SERV_REQ_INDEX all 32 in use. */
V2X_API int get_dme_dsm_serv_req_index(const int* aopcIndex);
/** Frees one number of the local bookkeeping of tDMEDSMServReq.index
 * (get_dme_dsm_serv_req_index). Nothing is sent; any thread.
 * @param aicIndex the number to free.
 * @retval 0 freed.
 * @retval -ERR_V2X_CLR_INDEX outside 0..31, or not in use. */
V2X_API int clear_dme_dsm_serv_req_index(const int aicIndex);

/** Sends one DSM message: the 270-byte tDSMReq head followed directly by
 * its msgLen data bytes. The AID must be 0..16511 and the data fit one
 * datagram: at most 2035 bytes for AIDs 0..127, 2034 for 128..16511, each
 * V + 2 less with an extension element of V value bytes (dsmHdrExts[1], at
 * most 253); see v2x_limits.h. Nothing is sent when it refuses. Any thread;
 * may block up to 2 s while the radio is busy.
 * @param aipcDSMReq the request head, its data directly after it.
 * @return results as send_core_app_msg.
 * @retval 0 the core has it and will put it on the air in its turn, at most
 *         about 14 a second for the station, the most urgent priority first;
 *         a lifetime or supersede set for its AID with
 *         v2x_sdk_dmn_serv_set_tx_defaults may drop it unsent, and counts it
 *         then.
 * @retval -ERR_V2X_PARM_CONT null, AID above 16511, extension above 253, no
 *         connection.
 * @retval -ERR_V2X_SEND_LEN data too long for the AID's form.
 * @retval -ERR_V2X_SOCKET_WRITE the core did not take it within 2 s.
 * @retval -ERR_V2X_SOCKET_CONECT the core is gone. */
V2X_API int dsm_request(const tDSMReq* aipcDSMReq);

/** As dsm_request, with options for how the message may wait for the radio
 * (V2X_DSM_REQ_EX on the socket). The radio takes one datagram per 70 ms and
 * every application shares it: the most urgent priority (tDSMReq.priority,
 * 0 lowest to 7, larger counts as 7) goes first, connections of one priority
 * take turns, and each connection's requests keep their order. With
 * aipcOpt->lifetimeMs a request that waited that long in the core is dropped,
 * never sent; with supersede it replaces this connection's requests for the
 * same AID that still wait. Such drops are counted for the connection
 * (cv2x_app_conn_stats). The lifetime counts from this call, on the
 * machine's monotonic clock, so it includes any time the request waits in
 * the socket while its priority's queue in the core is full.
 * @param aipcDSMReq the request head, its data directly after it.
 * @param aipcOpt the sending options; null sends as dsm_request.
 * @return results as dsm_request.
 * @retval 0 as dsm_request.
 * @retval -ERR_V2X_PARM_CONT as dsm_request, and for reserved bytes that are
 *         not zero.
 * @retval -ERR_V2X_SEND_LEN as dsm_request.
 * @retval -ERR_V2X_SOCKET_WRITE as dsm_request.
 * @retval -ERR_V2X_SOCKET_CONECT as dsm_request. */
V2X_API int dsm_request_ex(const tDSMReq* aipcDSMReq, const tDSMTxOpt* aipcOpt);

/** What became of this application's requests, asked of the core over a
 * short second connection. The short connection is a control connection: it
 * is not counted or listed among the applications and gets no indications.
 * Any thread but the runtime's; blocks up to 1 s.
 * @param aopStats receives the sum over this process's connections to the
 *        core (sent, waiting now, expired, superseded, and in droppedStalled
 *        the indications dropped while it did not read).
 * @retval 0 filled.
 * @retval -ERR_V2X_PARM_CONT null, or no runtime.
 * @retval -ERR_V2X_SOCKET_CONECT no core answers.
 * @retval -ERR_V2X_CONN_REFUSED the core refused the connection: its cap or
 *         this user's share of it.
 * @retval -ERR_V2X_SOCKET_READ no answer within 1 s, or a malformed one. */
V2X_API int cv2x_app_conn_stats(tV2XCtlClient* aopStats);

/** As cv2x_app_conn_stats, with the drops of this process's datagrams while
 * the core's congestion gate held them (tV2XCtlClientEx). A core without the
 * gate leaves them 0.
 * @param aopStats receives the sum over this process's connections.
 * @retval 0 filled.
 * @retval -ERR_V2X_PARM_CONT null, or no runtime.
 * @retval -ERR_V2X_SOCKET_CONECT no core answers.
 * @retval -ERR_V2X_CONN_REFUSED the core refused the connection.
 * @retval -ERR_V2X_SOCKET_READ no answer within 1 s, or a malformed one. */
V2X_API int cv2x_app_conn_stats_ex(tV2XCtlClientEx* aopStats);

/** Adds, deletes or changes a registration: which AID (or, with aidMthFlg
 * 1, every AID) this application receives, with its two callbacks. The
 * local table is checked first and nothing is sent when it refuses. Then the
 * request is sent (its send errors are returned and the local change undone)
 * and 0 returned. The core answers with a confirm. Several applications may
 * use the same index and the same AID. Any thread but the runtime's; may
 * block up to 2 s.
 * @param aipcDMEDSMServReq the registration (index, action, AID, aidMthFlg).
 * @param aipDMEDSMCfmFunc called with the core's confirm on the runtime
 *        thread; may be null.
 * @param aipDSMIndFunc called with each indication for the registration.
 * @return 0, or a send error of send_core_app_msg.
 * @retval 0 the request is sent.
 * @retval -ERR_V2X_PARM_CONT null request, add or change without an
 *         indication callback, index of 32 or more, called from a callback.
 * @retval -ERR_V2X_PRIM_ACTION unknown action; add of an AID or index
 *         already registered here; delete or change of an AID not registered
 *         here or under another index.
 * @retval -ERR_V2X_MALLOC no memory. */
V2X_API int dme_dsm_serv_req(const tDMEDSMServReq* aipcDMEDSMServReq,
                             fDME_DSM_serv_cfm aipDMEDSMCfmFunc, fDSM_Ind aipDSMIndFunc);

/** Called by the daemon client on the runtime thread: an indication goes to
 * the first registration that wants its AID.
 * @param aipcDSMInd the indication.
 * @return 0 when no registration wants it, else the callback's result. */
V2X_API int app_dsm_ind(tDSMInd* aipcDSMInd);
/** Called by the daemon client on the runtime thread: a confirm goes to the
 * oldest waiting registration of its AID.
 * @param aipcDMEDSMCfm the confirm.
 * @retval 0 delivered.
 * @retval -ERR_V2X_NO_FIND_IND_HOK no registration of its AID waits. */
V2X_API int app_dme_dsm_serv_cfm(const tDMEDSMServCfm* aipcDMEDSMCfm);
/** Empties the DSM index set. The runtime calls it.
 * @retval 0 always. */
V2X_API int v2x_app_dme_dsm_init(void);
/** Empties the registrations and waiting confirms. The runtime calls it;
 * safe twice.
 * @retval 0 always. */
V2X_API int v2x_app_dme_dsm_exit(void);

/* ---- DME provider and user calls ---------------------------------------- */

/** Confirm of a provider request, matched by lclAppId: the core sends it to
 * the asking application only. Called on the runtime thread.
 * @param lclAppId the request's lclAppId.
 * @param retCd DME_RET_ACCEPT, or a refusal (DME_RET_REJ_VAL_ERR: bad
 *        value, duplicate add, unknown lclAppId; DME_RET_REJ_NO_REASON: the
 *        core's provider table is full).
 * @return handed back by app_dme_provider_serv_cfm. */
typedef int (*fDME_Prov_serv_cfm)(int lclAppId, eDMERetCd retCd);
/** Confirm of a user request, matched by lclAppId: the core sends it to the
 * asking application only. Called on the runtime thread.
 * @param lclAppId the request's lclAppId.
 * @param retCd DME_RET_ACCEPT, or a refusal (DME_RET_REJ_VAL_ERR: a bad
 *        value, such as an action other than add or delete).
 * @return handed back by app_dme_user_serv_cfm. */
typedef int (*fDME_User_serv_cfm)(int lclAppId, eDMERetCd retCd);

/** Sends a provider request and returns; it does not wait for the confirm.
 * With a callback, the request is recorded first and the callback is called
 * once with its confirm on the runtime thread. The core keeps provider
 * services per application and lclAppId (0..99): another application's
 * lclAppId 3 is its own. A provider is advertised every 5/rptRte seconds
 * until deleted or until this application's connection closes. Any thread;
 * may block up to 2 s.
 * @param aipcDMEProvServReq the request.
 * @param aipDMEProvCfmFunc called once with its confirm; may be null.
 * @return 0, or a send error of send_core_app_msg.
 * @retval 0 the request is sent.
 * @retval -ERR_V2X_PARM_CONT null request; from a confirm callback of the
 *         same family.
 * @retval -ERR_V2X_PRIM_ACTION a request with a callback while one for the
 *         same lclAppId waits; nothing sent.
 * @retval -ERR_V2X_MALLOC no memory. */
V2X_API int dme_provider_serv_req(const tDMEProvServReq* aipcDMEProvServReq,
                                  fDME_Prov_serv_cfm aipDMEProvCfmFunc);
/** Sends a user request and returns; it does not wait for the confirm. With
 * a callback, the request is recorded first and the callback is called once
 * with its confirm on the runtime thread. Any thread; may block up to 2 s.
 * @param aipcDMEUserServReq the request.
 * @param aipDMEUserCfmFunc called once with its confirm; may be null.
 * @return 0, or a send error of send_core_app_msg.
 * @retval 0 the request is sent.
 * @retval -ERR_V2X_PARM_CONT null request; from a confirm callback of the
 *         same family.
 * @retval -ERR_V2X_PRIM_ACTION a request with a callback while one for the
 *         same lclAppId waits; nothing sent.
 * @retval -ERR_V2X_MALLOC no memory. */
V2X_API int dme_user_serv_req(const tDMEUserServReq* aipcDMEUserServReq,
                              fDME_User_serv_cfm aipDMEUserCfmFunc);
/** Called by the daemon client on the runtime thread for each provider
 * confirm: the waiting record is taken out, then its callback called
 * without any lock.
 * @param aipcDMEProvCfm the confirm.
 * @return the callback's result.
 * @retval -1 the request had no callback.
 * @retval -ERR_V2X_NO_FIND_IND_HOK no record waits for it. */
V2X_API int app_dme_provider_serv_cfm(const tDMEProvServCfm* aipcDMEProvCfm);
/** Called by the daemon client on the runtime thread for each user confirm:
 * the waiting record is taken out, then its callback called without any
 * lock.
 * @param aipcDMEUserCfm the confirm.
 * @return the callback's result.
 * @retval -1 the request had no callback.
 * @retval -ERR_V2X_NO_FIND_IND_HOK no record waits for it. */
V2X_API int app_dme_user_serv_cfm(const tDMEUserServCfm* aipcDMEUserCfm);

/** Local bookkeeping of provider lclAppId numbers 0..31, as for the DSM
 * index (get_dme_dsm_serv_req_index): takes the lowest free number.
 * @param aopcIndex where it is written (written although declared const).
 * @retval 0 written and marked used.
 * @retval -ERR_V2X_PARM_CONT null.
 * @retval -ERR_V2X_NO_FIND_PROV_SERV_REQ_INDEX all 32 in use. */
V2X_API int get_dme_prov_serv_req_index(const int* aopcIndex);
/** Frees one provider lclAppId number of the local bookkeeping.
 * @param aicIndex the number to free.
 * @retval 0 freed.
 * @retval -ERR_V2X_CLR_INDEX outside 0..31, or not in use. */
V2X_API int clear_dme_prov_serv_req_index(const int aicIndex);
/** Local bookkeeping of user lclAppId numbers 0..31, as for the DSM index
 * (get_dme_dsm_serv_req_index): takes the lowest free number.
 * @param aopcIndex where it is written (written although declared const).
 * @retval 0 written and marked used.
 * @retval -ERR_V2X_PARM_CONT null.
 * @retval -ERR_V2X_NO_FIND_USER_SERV_REQ_INDEX all 32 in use. */
V2X_API int get_dme_user_serv_req_index(const int* aopcIndex);
/** Frees one user lclAppId number of the local bookkeeping.
 * @param aicIndex the number to free.
 * @retval 0 freed.
 * @retval -ERR_V2X_CLR_INDEX outside 0..31, or not in use. */
V2X_API int clear_dme_user_serv_req_index(const int aicIndex);

/** Empties both index sets (provider and user). The runtime calls it.
 * @retval 0 always. */
V2X_API int v2x_app_dme_init(void);
/** Empties both families' waiting records without calling anyone. The
 * runtime calls it; safe twice.
 * @retval 0 always. */
V2X_API int v2x_app_dme_exit(void);

V2X_EXTERN_C_END

#endif /* VESTRA_CV2X_APP_H */
