// SPDX-License-Identifier: Apache-2.0
/* The DSM layer: builds DSMP frames from requests and hands them down to
 * the adaptation layer; turns received DSM messages into V2X_DSM_IND
 * messages for the applications. Keeps the station's MAC address. */
#ifndef VESTRA_DME_DSM_H
#define VESTRA_DME_DSM_H

#include <stdint.h>

#include "v2x_types.h"

V2X_EXTERN_C_BEGIN

/* The first byte of a DSMP frame. */
typedef union _tDSMHdr1_ {
    uint8_t dsmHdr1;
    struct {
        uint8_t version : 3;  /* bits 0-2; written as 0 */
        uint8_t optInd : 1;   /* bit 3: an extension element follows */
        uint8_t reserved : 4; /* bits 4-7; written as 0, ignored on receive */
    } bits;
} tDSMHdr1;
V2X_STATIC_ASSERT(sizeof(tDSMHdr1) == 1, "tDSMHdr1 is one byte");

/* aicLen/aipcData: the payload; aipcPeerMac: 6 bytes; aipcDSMHdrExts: the
 * 256-byte extension block (element id, value length, value; a zero length
 * means none). All bytes stay the caller's. 0 or a negated code. */
typedef int (*fDSM_Request)(const uint32_t aicAppId, const uint8_t aicProtTp,
                            const uint8_t aicPrity, const uint16_t aicLen, const char* aipcData,
                            const char* aipcPeerMac, const char* aipcDSMHdrExts);
/* One received DSM message. aipcData (aiLen bytes) and aipcPeerMac (6
 * bytes) are the caller's and only valid during the call. */
typedef int (*fDSM_Ind)(uint8_t aiDSMPVer, const uint32_t aicAppId, uint16_t aiLen,
                        const char* aipcData, const char* aipcPeerMac, uint8_t aiPrity);

typedef struct _tDMEDSMPrim_ {
    fDSM_Request request;
    fDSM_Ind indication;
} tDMEDSMPrim;

/* The table's address; never null. Entries are null unless started. */
V2X_API tDMEDSMPrim* get_dme_dsm_prim(void);

/* Keeps the 6-byte MAC address, fills the table and builds the ring of ten
 * send buffers. 0, -ERR_V2X_PARM_CONT (null address) or -ERR_V2X_MALLOC
 * (the layer is then released). */
V2X_API int dme_dsm_init(const char* aipcMacAdr);

/* Releases the ring and clears the table. 0; safe without init and twice. */
V2X_API int dme_dsm_exit(void);

V2X_EXTERN_C_END

#endif /* VESTRA_DME_DSM_H */
