// SPDX-License-Identifier: Apache-2.0
/* The adaptation layer: puts the protocol type in front of outgoing DSMP
 * frames, decodes incoming ones, drops frames of AIDs nobody registered and
 * routes the rest to the DSM layer (management frames to the DME). */
#ifndef VESTRA_ADAP_LYR_H
#define VESTRA_ADAP_LYR_H

#include <stddef.h>
#include <stdint.h>

#include "v2x_types.h"

V2X_EXTERN_C_BEGIN

/* The datagram exchanged with the radio module. */
#define ADAP_LYR_HDR_LEN 1 /* headroom a sender leaves for this layer */

#pragma pack(push, 1)
typedef struct _tAdapLyr_ {
    uint8_t protTp; /* eProtTp */
    char msg[];     /* the DSMP frame */
} tAdapLyr;
#pragma pack(pop)
V2X_STATIC_ASSERT(sizeof(tAdapLyr) == 1, "tAdapLyr header is 1 byte");
V2X_STATIC_ASSERT(sizeof(tAdapLyr) == ADAP_LYR_HDR_LEN, "headroom of the adaptation layer");

/* aiopFrame: the sender's mutable frame buffer, ADAP_LYR_HDR_LEN bytes of
 * headroom for the protocol type, then the DSMP frame of aicDSMLen bytes;
 * the headroom is written. Only the protocol type and the frame go on the
 * air: AID, addresses, priority and extension are not used. */
typedef int (*fAdaptation_Layer_Request)(const uint32_t aicAppId, const uint8_t aicProtTp,
                                         const char* aipcSrcMac, const char* aipcDstMac,
                                         char* aiopFrame, const uint8_t aicPrity,
                                         const char* aipcExt, const uint16_t aicDSMLen);
/* aipcData: the DSMP frame of aicAdapPayldLen bytes, the caller's, read
 * only during the call. 0 also for frames that are dropped. */
typedef int (*fAdaptation_Layer_Ind)(const uint8_t aicProtTp, const char* aipcSrcAdr,
                                     const char* aipcDstAdr, const char* aipcData,
                                     const uint8_t aicPrity, const uint16_t aicAdapPayldLen);

typedef struct _tAdapLyrPrim_ {
    fAdaptation_Layer_Request request;
    fAdaptation_Layer_Ind indication;
} tAdapLyrPrim;

/* The table's address; never null. Entries are null unless started. */
V2X_API tAdapLyrPrim* get_adaptation_layer_prim(void);
/* Fills the table. 0. */
V2X_API int adaptation_layer_init(void);
/* Clears the table. 0. */
V2X_API int adaptation_layer_exit(void);

V2X_EXTERN_C_END

#endif /* VESTRA_ADAP_LYR_H */
