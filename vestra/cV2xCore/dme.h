/* Management entity: provider services with periodic service
 * advertisements, user-service acknowledgements, and the dump of received
 * advertisement frames. Runs on the core thread. */
#ifndef VESTRA_DME_H
#define VESTRA_DME_H

#include <stdint.h>

#include "core_app.h"
#include "cv2x_app.h"

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

/* Number of provider services the table holds, keyed by lclAppId. */
#define DME_PROV_MAX 100

V2X_API int dme_init(const struct event_base* aipcEtBse);
V2X_API int dme_exit(void);
V2X_API tDMEPrim* get_dme_prim(void);

/* The provReq primitive: add, delete or change a provider service. Every
 * request is answered with a V2X_DME_PROV_SERV_CFM to all applications;
 * returns the result of sending it. */
V2X_API int _dme_provder_serv_req(const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                                  const uint32_t aicAppId, const uint8_t aicRptRte,
                                  const char* aipcDSAHdrExt, const char* aipcOtherInfo);
/* The userReq primitive: acknowledged with V2X_DME_USER_SERV_CFM, not recorded. */
V2X_API int _dme_user_serv_req(const uint16_t aicLclAppId, const eDMEAction aicDMEAct,
                               const eDMEUsrReqTp aicDMEUsrReqTp, const uint32_t aicAppId,
                               const char* aipcOtherInfo);

/* Prints a received advertisement payload as one hexadecimal line on
 * standard output. The bytes belong to the caller and are only read. */
V2X_API int parse_dme_payload(const char* aipcMsg, const uint16_t aicMsgLen);

/* Advertisements sent, and skipped because the radio link's transmit queue
 * was full, since the process started. Either pointer may be null. */
V2X_API void dme_dsa_stats(unsigned long* aopSent, unsigned long* aopSkipped);

V2X_EXTERN_C_END

#endif /* VESTRA_DME_H */
