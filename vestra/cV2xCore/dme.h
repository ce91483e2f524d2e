// SPDX-License-Identifier: Apache-2.0
/* Management entity: provider services with periodic service
 * advertisements, user-service acknowledgements, and the dump of received
 * advertisement frames. Runs on the core thread. */
#ifndef VESTRA_DME_H
#define VESTRA_DME_H

#include <stdint.h>

#include "v2x_types.h"

V2X_EXTERN_C_BEGIN

struct event_base;

typedef int (*fDME_Prov_serv_req)(const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                                  const uint32_t aicAppId, const uint8_t aicRptRte,
                                  const char* aipcDSAHdrExt, const char* aipcOtherInfo);
typedef int (*fDME_User_serv_req)(const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                                  const eDMEUsrReqTp aicDMEUsrReqTp, const uint32_t aicAppId,
                                  const char* aipcOtherInfo);

typedef struct _tDMEPrim_ {
    fDME_Prov_serv_req provReq;
    fDME_User_serv_req userReq;
} tDMEPrim;

/* Number of provider services the table holds, shared by every application;
 * each is keyed by its owner connection and lclAppId (0..DME_PROV_MAX-1). */
#define DME_PROV_MAX 100

/* Starts the management entity on the core's event base (its advertisement
 * timers run there): empties the provider table and fills the primitive
 * table. Always 0. Core thread, during the core's start-up. */
V2X_API int dme_init(const struct event_base* aipcEtBse);
/* Stops every advertisement timer, empties the table and clears the
 * primitive table. Always 0; safe without init and when called twice. Core
 * thread, or after it has ended. */
V2X_API int dme_exit(void);
/* The primitive table (provReq, userReq); never null, its entries are null
 * while the entity is stopped. */
V2X_API tDMEPrim* get_dme_prim(void);

/* The provReq primitive: add, delete or change the core's own provider
 * service (owner 0) with this lclAppId; dme_prov_req with connection 0.
 * Core thread. */
V2X_API int _dme_provder_serv_req(const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                                  const uint32_t aicAppId, const uint8_t aicRptRte,
                                  const char* aipcDSAHdrExt, const char* aipcOtherInfo);
/* The userReq primitive: dme_user_req with connection 0. Core thread. */
V2X_API int _dme_user_serv_req(const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                               const eDMEUsrReqTp aicDMEUsrReqTp, const uint32_t aicAppId,
                               const char* aipcOtherInfo);

/* Where the management entity's confirms go up: to connection aicConn only,
 * or to every application for 0. The core wires it to the daemon server at
 * start and clears it at stop; null restores the default, under which each
 * confirm is counted (dme_unset_tx_sink_count) and the request returns
 * -ERR_V2X_SOCKET_WRITE. Set before the core runs. */
typedef int (*fDMETxSink)(uint32_t aicConn, const char* aipcMsg, const int aicMsgLen);
void dme_set_tx_sink(fDMETxSink aipSink);
/* Confirms that found no sink set since the process started. */
unsigned long dme_unset_tx_sink_count(void);

/* A provider request of connection aicConn (0: the core itself): add,
 * delete or change its provider service with this lclAppId. Answered with
 * a V2X_DME_PROV_SERV_CFM to that connection only (to every application
 * for 0), through the tx sink; returns the result of sending it. Core
 * thread. */
int dme_prov_req(uint32_t aicConn, const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                 const uint32_t aicAppId, const uint8_t aicRptRte, const char* aipcDSAHdrExt,
                 const char* aipcOtherInfo);
/* A user request of connection aicConn: acknowledged with
 * V2X_DME_USER_SERV_CFM to that connection, not recorded. Returns the
 * result of sending the confirm. Core thread. */
int dme_user_req(uint32_t aicConn, const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                 const eDMEUsrReqTp aicDMEUsrReqTp, const uint32_t aicAppId,
                 const char* aipcOtherInfo);

/* Removes every provider service of a closed connection (aicOwner not 0):
 * its advertisements stop at once. Returns how many there were. Core
 * thread. */
int dme_drop_owner(uint32_t aicOwner);

/* Copies the providers from the aicFirst-th on, at most aicMax of them, into
 * aopRecs; *aopTotal is how many there are. Returns how many it copied. Core
 * thread. */
uint32_t dme_provider_list(tV2XCtlProvider* aopRecs, uint32_t aicFirst, uint32_t aicMax,
                                   uint32_t* aopTotal);

/* Prints a received advertisement payload as one hexadecimal line on
 * standard output, through the air-line gate: past its allowance a line is
 * counted, not written. The bytes belong to the caller and are only read.
 * Returns 0. */
V2X_API int parse_dme_payload(const char* aipcMsg, const uint16_t aicMsgLen);

/* Advertisements sent, and skipped because the radio link's transmit queue
 * was full, since the process started. Either pointer may be null. */
void dme_dsa_stats(unsigned long* aopSent, unsigned long* aopSkipped);

V2X_EXTERN_C_END

#endif /* VESTRA_DME_H */
