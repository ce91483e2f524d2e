// SPDX-License-Identifier: Apache-2.0
/* The access layer: a 13-byte header of destination MAC, source MAC and
 * priority in front of an adaptation-layer frame. Not on the data path of
 * this system (the adaptation layer talks to the radio link directly), but
 * offered through its primitive table. */
#ifndef VESTRA_ACES_LYR_H
#define VESTRA_ACES_LYR_H

#include <stddef.h>
#include <stdint.h>

#include "v2x_types.h"

V2X_EXTERN_C_BEGIN

typedef enum _ePdcpSduTp_ {
    PDCP_SDU_IP = 0,
    PDCP_SDU_NON_IP = 1
} ePdcpSduTp;

#define ACES_LYR_HDR_LEN 13

#pragma pack(push, 1)
typedef struct _tAcesLyr_ {
    uint8_t dstMac[6];
    uint8_t srcMac[6];
    uint8_t priority;
    char msg[]; /* the adaptation-layer frame */
} tAcesLyr;
#pragma pack(pop)
V2X_STATIC_ASSERT(sizeof(tAcesLyr) == ACES_LYR_HDR_LEN, "tAcesLyr header is 13 bytes");
V2X_STATIC_ASSERT(offsetof(tAcesLyr, srcMac) == 6, "tAcesLyr.srcMac");
V2X_STATIC_ASSERT(offsetof(tAcesLyr, priority) == 12, "tAcesLyr.priority");

/* aiopFrame: the sender's mutable frame buffer, ACES_LYR_HDR_LEN bytes of
 * headroom, then the adaptation frame of aicAdapLyrLen bytes; the header is
 * written into the headroom. aicSduTp and aipcExt are accepted and not
 * used. */
typedef int (*fAccess_Layer_Request)(const char* aipcSrcMac, const char* aipcDstMac,
                                     char* aiopFrame, const uint8_t aicPrity,
                                     const ePdcpSduTp aicSduTp, const char* aipcExt,
                                     const uint16_t aicAdapLyrLen);
/* aipcData: the adaptation frame itself (protocol type, DSMP frame); the
 * header fields come as arguments. The bytes stay the caller's. */
typedef int (*fAccess_Layer_Ind)(const char* aipcSrcAdr, const char* aipcDstAdr,
                                 const uint8_t aicPrity, const char* aipcData,
                                 const uint16_t aicAcesPayldLen);

typedef struct _tAcesLyrPrim_ {
    fAccess_Layer_Request request;
    fAccess_Layer_Ind indication;
} tAcesLyrPrim;

/* The table's address; never null. Entries are null unless started. */
V2X_API tAcesLyrPrim* get_access_layer_prim(void);
/* Fills the table. 0. */
V2X_API int access_layer_init(void);
/* Clears the table. 0. */
V2X_API int access_layer_exit(void);

V2X_EXTERN_C_END

#endif /* VESTRA_ACES_LYR_H */
