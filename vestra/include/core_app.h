// SPDX-License-Identifier: Apache-2.0
/** @file
 * Messages between applications and the core on the application socket.
 *
 * Every message is a 6-byte header (tCoreApp) followed by msgLen payload
 * bytes; messages follow each other on the stream with no delimiter. The
 * payload records below are also the request and indication records of the
 * client calls. All records are packed, in host byte order.
 *
 * Enumeration fields are declared as uint32_t holding the enumeration's
 * value: they arrive from another process, and an out-of-range value read
 * through an enumeration type is undefined behaviour in C++. Compare them
 * against the enumeration constants as plain numbers. */
#ifndef VESTRA_CORE_APP_H
#define VESTRA_CORE_APP_H

#include <stddef.h>
#include <stdint.h>

#include <morrow/v2x_api.h>
#include "v2x_limits.h"
#include "v2x_stats.h"

V2X_EXTERN_C_BEGIN

/** Message types (tCoreApp.msgType); each names its payload record. */
typedef enum _eV2XMsgType_ {
    V2X_DSM_REQ = 0,           /**< application to core, tDSMReq */
    V2X_DSM_CFM = 1,           /**< core to application, tDMEDSMServCfm */
    V2X_DSM_IND = 2,           /**< core to application, tDSMInd */
    V2X_DME_PROV_SERV_REQ = 3, /**< application to core, tDMEProvServReq */
    V2X_DME_PROV_SERV_CFM = 4, /**< core to application, tDMEProvServCfm */
    V2X_DME_USER_SERV_REQ = 5, /**< application to core, tDMEUserServReq */
    V2X_DME_USER_SERV_CFM = 6, /**< core to application, tDMEUserServCfm */
    V2X_DME_DSM_SERV_REQ = 7,  /**< application to core, tDMEDSMServReq */
    /* 8 to 26: reserved names; nobody sends them, receivers refuse them. */
    V2X_DME_DSM_SERV_CFM = 8, /**< reserved */
    V2X_DME_CCH_SERV_REQ = 9, /**< reserved */
    V2X_DME_CCH_SERV_CFM = 10, /**< reserved */
    V2X_DME_MAGE_DT_SERV_REQ = 11, /**< reserved */
    V2X_DME_MAGE_DT_SERV_CFM = 12, /**< reserved */
    V2X_DME_MAGE_DT_SERV_IND = 13, /**< reserved */
    V2X_DME_TA_SERV_REQ = 14, /**< reserved */
    V2X_DME_TA_SERV_CFM = 15, /**< reserved */
    V2X_DME_NOTF_IND = 16, /**< reserved */
    V2X_DME_GET_REQ = 17, /**< reserved */
    V2X_DME_GET_CFM = 18, /**< reserved */
    V2X_DME_SET_REQ = 19, /**< reserved */
    V2X_DME_SET_CFM = 20, /**< reserved */
    V2X_DME_ADDR_CGE_REQ = 21, /**< reserved */
    V2X_DME_ADDR_CGE_CFM = 22, /**< reserved */
    V2X_DLUNIT_DATA_REQ = 23, /**< reserved */
    V2X_CFG_DEVICE = 24, /**< reserved */
    V2X_DME_INIT = 25, /**< reserved */
    V2X_DME_EXIT = 26, /**< reserved */
    V2X_MSG_TYPE_MAX = 27 /**< count of types, not a message */
} eV2XMsgType;
V2X_STATIC_ASSERT(sizeof(eV2XMsgType) == 4, "enumerations travel in 4 bytes");

/** Kind of a user service request (tDMEUserServReq.dmeUsrReqTp). The core
 * takes it and does not act on it in this version. */
typedef enum _eDMEUsrReqTp_ {
    DME_USER_REQ_MATCH_AUTO_ACC = 0, /**< access to a matching service, automatically */
    DME_USER_REQ_ALL_ACC = 1,        /**< access to every service */
    DME_USER_REQ_NO_CHL_ACC = 1 /**< shares the value of DME_USER_REQ_ALL_ACC */
} eDMEUsrReqTp;
V2X_STATIC_ASSERT(sizeof(eDMEUsrReqTp) == 4, "enumerations travel in 4 bytes");

/* Application to core, outside the range of eV2XMsgType: a DSM request with
 * sending options, payload a tDSMReqExPre (the options and the time of the
 * call) followed directly by a V2X_DSM_REQ payload (tDSMReq head and data),
 * so msgLen = 16 + 270 + data length. A core that does not know it refuses
 * it like any unknown type. */
#define V2X_DSM_REQ_EX 0x5610u   /**< application to core: a DSM request with sending options */
#define V2X_DSM_TX_OPT_LEN 8u    /**< size of tDSMTxOpt */
#define V2X_DSM_REQ_EX_PRE_LEN 16u /**< size of tDSMReqExPre */
/** V2X_DSM_REQ_EX payload without the data: tDSMReqExPre and the tDSMReq head. */
#define V2X_DSM_REQ_EX_HEAD_LEN (V2X_DSM_REQ_EX_PRE_LEN + V2X_DSM_REQ_HEAD_LEN)

/* Application to core: whether this connection wants a receive record with
 * every indication (payload tV2XRxInfoReq, no answer). Off by default; a
 * connection that never sends it gets exactly the V2X_DSM_IND messages it
 * always got. Once on, every indication comes as V2X_DSM_IND_EX instead:
 * a tDSMRxInfo directly followed by a V2X_DSM_IND payload (tDSMInd head and
 * data), so msgLen = V2X_DSM_RX_INFO_LEN + 14 + data length. */
#define V2X_DSM_RX_INFO_REQ 0x5611u /**< application to core, tV2XRxInfoReq: receive records on or off */
#define V2X_DSM_IND_EX 0x5612u      /**< core to application: tDSMRxInfo, then a V2X_DSM_IND payload */
#define V2X_DSM_RX_INFO_LEN 72u     /**< size of tDSMRxInfo */
/** V2X_DSM_IND_EX payload without the data: tDSMRxInfo and the tDSMInd head. */
#define V2X_DSM_IND_EX_HEAD_LEN (V2X_DSM_RX_INFO_LEN + V2X_DSM_IND_HEAD_LEN)

/* tDSMRxInfo.flags: which fields hold a value */
#define V2X_RX_INFO_HAS_TIME 0x01u /**< rxRealUs, rxMonoUs */
#define V2X_RX_INFO_HAS_SRC 0x02u  /**< srcL2Id */
#define V2X_RX_INFO_HAS_RSSI 0x04u /**< rssiHalfDb */
#define V2X_RX_INFO_HAS_CBR 0x08u  /**< cbrPermille */
/* The "not known" values, also written when the flag is clear. */
#define V2X_RX_INFO_SRC_UNKNOWN 0xFFFFFFFFu /**< srcL2Id not known */
#define V2X_RX_INFO_RSSI_UNKNOWN (-32768)   /**< rssiHalfDb not known */
#define V2X_RX_INFO_CBR_UNKNOWN 0xFFFFu     /**< cbrPermille not known */

/** tDSMRxInfo.secResult: what the security layer found. */
typedef enum _eDSMRxSec_ {
    V2X_RX_SEC_NOT_CHECKED = 0, /**< its AID has no profile that verifies */
    V2X_RX_SEC_VERIFIED = 1,    /**< signature and signer verified; signerId is the signer's */
    V2X_RX_SEC_UNSIGNED = 2,    /**< handed up unsigned by a profile that lets it pass */
    V2X_RX_SEC_FAILED = 3       /**< handed up although it failed, by a profile that lets it pass
                                   (the reason is counted in the core's rxSec* counters) */
} eDSMRxSec;

#pragma pack(push, 1)

/** What came with one received message (V2X_DSM_IND_EX). Read only the
 * fields whose flag is set; size says how many bytes of the record the core
 * filled, so a reader built against a shorter record still finds its
 * fields where they were (fields are only ever added at the end). */
typedef struct _tDSMRxInfo_ {
    uint16_t size;       /**< V2X_DSM_RX_INFO_LEN today */
    uint8_t dsmpVer;     /**< the frame's DSMP version (0..7) */
    uint8_t flags;       /**< V2X_RX_INFO_HAS_* */
    uint64_t rxRealUs;   /**< when the core read the datagram: CLOCK_REALTIME, microseconds */
    uint64_t rxMonoUs;   /**< the same instant on CLOCK_MONOTONIC, microseconds */
    uint32_t srcL2Id;    /**< sender's 24-bit layer-2 source identity, from the radio module */
    int16_t rssiHalfDb;  /**< received signal strength in 0.5 dB steps (-180 = -90 dBm) */
    uint16_t cbrPermille;/**< channel busy ratio the module reported last, 0..1000 */
    uint8_t secResult;   /**< eDSMRxSec */
    uint8_t extId;       /**< the frame's header extension element: id, */
    uint8_t extLen;      /**< value length (0: the frame had none) */
    uint8_t rsvd;        /**< 0 */
    uint8_t signerId[8]; /**< HashedId8 of the signer certificate (V2X_RX_SEC_VERIFIED), else 0 */
    uint8_t extVal[32];  /**< the value, extLen bytes, zero after them */
} tDSMRxInfo;

/** V2X_DSM_RX_INFO_REQ payload. */
typedef struct _tV2XRxInfoReq_ {
    uint32_t on;   /**< 1: records from now on; 0: plain indications again */
    uint32_t rsvd; /**< 0 */
} tV2XRxInfoReq;

/** How a DSM request may wait for the radio (dsm_request_ex). */
typedef struct _tDSMTxOpt_ {
    uint32_t lifetimeMs; /**< dropped, never sent, once it waited this long; 0: no limit */
    uint8_t supersede;   /**< non-zero: drops this connection's requests for the
                            same AID that still wait, and waits in their stead */
    uint8_t rsvd[3];     /**< must be zero */
} tDSMTxOpt;

/** What precedes the request record in a V2X_DSM_REQ_EX payload. callUs is
 * the sender's CLOCK_MONOTONIC in microseconds when the application made the
 * call (0: not known), so that a lifetime also counts the time the request
 * waited in the socket. The core only ever shortens a lifetime by it: a
 * time after the core's own reading of the request counts as that reading. */
typedef struct _tDSMReqExPre_ {
    tDSMTxOpt opt;   /**< the sending options */
    uint64_t callUs; /**< CLOCK_MONOTONIC of the call, microseconds; 0: not known */
} tDSMReqExPre;

/** Message header; msgLen counts the payload only. */
typedef struct _tCoreApp_ {
    uint32_t msgType; /**< eV2XMsgType */
    uint16_t msgLen;  /**< payload bytes that follow */
    char msg[];       /**< the payload */
} tCoreApp;

/** V2X_DSM_REQ payload: a 270-byte head followed directly by msgLen bytes. */
typedef struct _tDSMReq_ {
    uint32_t appId;   /**< the AID, 0..16511 */
    uint8_t protTp;   /**< eProtTp */
    uint8_t priority; /**< handed to the DSM layer, not put on the air */
    uint8_t peerMac[6]; /**< destination address, handed to the DSM layer, not put on the air */
    /** one header-extension element: id at [0], value length at [1], value
     * from [2]; a zero length means no extension */
    uint8_t dsmHdrExts[256];
    uint16_t msgLen;    /**< data bytes that follow */
    char msg[];         /**< the data */
} tDSMReq;

/** V2X_DSM_IND payload: a 14-byte head followed directly by msgLen bytes. */
typedef struct _tDSMInd_ {
    uint8_t dsmpVer;    /**< the frame's DSMP version (0..7) */
    uint32_t appId;     /**< the frame's AID */
    uint8_t peerMac[6]; /**< the sender's address as the radio link reports it (FF:FF:FF:FF:FF:FF) */
    uint8_t priority;   /**< 0 on receive */
    uint16_t msgLen;    /**< data bytes that follow */
    char msg[];         /**< the data */
} tDSMInd;

/** V2X_DME_DSM_SERV_REQ payload: one update of the DSM service table. */
typedef struct _tDMEDSMServReq_ {
    uint16_t index;    /**< table index 0 to 31 */
    uint32_t action;   /**< eDMEAction */
    uint32_t appId;    /**< the AID */
    uint8_t aidMthFlg; /**< 1: every AID; otherwise only appId */
} tDMEDSMServReq;

/** V2X_DSM_CFM payload: the answer to one V2X_DME_DSM_SERV_REQ, sent to the
 * connection that asked. appId is the request's; retCd DME_RET_ACCEPT when
 * the table took it, DME_RET_REJ_VAL_ERR when it refused it. */
typedef struct _tDMEDSMServCfm_ {
    uint32_t appId; /**< the request's AID */
    uint32_t retCd; /**< eDMERetCd */
} tDMEDSMServCfm;

/** V2X_DME_PROV_SERV_REQ payload. */
typedef struct _tDMEProvServReq_ {
    uint16_t lclAppId; /**< the provider's local index; the DME keys on it */
    uint32_t dmeAct;   /**< eDMEAction */
    uint32_t appId;    /**< AID advertised */
    uint8_t rptRte;    /**< advertisements per 5 seconds */
    char dsaHdrExt[256]; /**< zero-terminated text */
    char otherInfo[256]; /**< zero-terminated text */
} tDMEProvServReq;

/** V2X_DME_PROV_SERV_CFM payload. */
typedef struct _tDMEProvServCfm_ {
    uint16_t lclAppId; /**< the request's lclAppId */
    uint32_t retCd; /**< eDMERetCd */
} tDMEProvServCfm;

/** V2X_DME_USER_SERV_REQ payload. */
typedef struct _tDMEUserServReq_ {
    uint16_t lclAppId;    /**< the user's local index */
    uint32_t dmeAct;      /**< eDMEAction */
    uint32_t dmeUsrReqTp; /**< eDMEUsrReqTp */
    uint32_t appId;       /**< the AID */
    char otherInfo[256]; /**< zero-terminated text */
} tDMEUserServReq;

/** V2X_DME_USER_SERV_CFM payload (same layout as the provider confirm). */
typedef struct _tDMEUserServCfm_ {
    uint16_t lclAppId; /**< the request's lclAppId */
    uint32_t retCd; /**< eDMERetCd */
} tDMEUserServCfm;

#pragma pack(pop)

V2X_STATIC_ASSERT(sizeof(tCoreApp) == 6, "tCoreApp is 6 bytes");
V2X_STATIC_ASSERT(offsetof(tCoreApp, msgLen) == 4, "tCoreApp.msgLen");
V2X_STATIC_ASSERT(offsetof(tCoreApp, msg) == 6, "tCoreApp.msg");

V2X_STATIC_ASSERT(sizeof(tDSMReq) == 270, "tDSMReq head is 270 bytes");
V2X_STATIC_ASSERT(offsetof(tDSMReq, protTp) == 4, "tDSMReq.protTp");
V2X_STATIC_ASSERT(offsetof(tDSMReq, priority) == 5, "tDSMReq.priority");
V2X_STATIC_ASSERT(offsetof(tDSMReq, peerMac) == 6, "tDSMReq.peerMac");
V2X_STATIC_ASSERT(offsetof(tDSMReq, dsmHdrExts) == 12, "tDSMReq.dsmHdrExts");
V2X_STATIC_ASSERT(offsetof(tDSMReq, msgLen) == 268, "tDSMReq.msgLen");
V2X_STATIC_ASSERT(offsetof(tDSMReq, msg) == 270, "tDSMReq.msg");

V2X_STATIC_ASSERT(sizeof(tDSMTxOpt) == V2X_DSM_TX_OPT_LEN, "tDSMTxOpt is 8 bytes");
V2X_STATIC_ASSERT(offsetof(tDSMTxOpt, supersede) == 4, "tDSMTxOpt.supersede");
V2X_STATIC_ASSERT(offsetof(tDSMTxOpt, rsvd) == 5, "tDSMTxOpt.rsvd");
V2X_STATIC_ASSERT(sizeof(tDSMReqExPre) == V2X_DSM_REQ_EX_PRE_LEN, "tDSMReqExPre is 16 bytes");
V2X_STATIC_ASSERT(offsetof(tDSMReqExPre, callUs) == 8, "tDSMReqExPre.callUs");

V2X_STATIC_ASSERT(sizeof(eDSMRxSec) == 4, "enumerations travel in 4 bytes");
V2X_STATIC_ASSERT(sizeof(tDSMRxInfo) == V2X_DSM_RX_INFO_LEN, "tDSMRxInfo is 72 bytes");
V2X_STATIC_ASSERT(offsetof(tDSMRxInfo, rxRealUs) == 4, "tDSMRxInfo.rxRealUs");
V2X_STATIC_ASSERT(offsetof(tDSMRxInfo, rxMonoUs) == 12, "tDSMRxInfo.rxMonoUs");
V2X_STATIC_ASSERT(offsetof(tDSMRxInfo, srcL2Id) == 20, "tDSMRxInfo.srcL2Id");
V2X_STATIC_ASSERT(offsetof(tDSMRxInfo, rssiHalfDb) == 24, "tDSMRxInfo.rssiHalfDb");
V2X_STATIC_ASSERT(offsetof(tDSMRxInfo, cbrPermille) == 26, "tDSMRxInfo.cbrPermille");
V2X_STATIC_ASSERT(offsetof(tDSMRxInfo, secResult) == 28, "tDSMRxInfo.secResult");
V2X_STATIC_ASSERT(offsetof(tDSMRxInfo, extLen) == 30, "tDSMRxInfo.extLen");
V2X_STATIC_ASSERT(offsetof(tDSMRxInfo, signerId) == 32, "tDSMRxInfo.signerId");
V2X_STATIC_ASSERT(offsetof(tDSMRxInfo, extVal) == 40, "tDSMRxInfo.extVal");
V2X_STATIC_ASSERT(sizeof(tV2XRxInfoReq) == 8, "tV2XRxInfoReq is 8 bytes");

V2X_STATIC_ASSERT(sizeof(tDSMInd) == 14, "tDSMInd head is 14 bytes");
V2X_STATIC_ASSERT(offsetof(tDSMInd, appId) == 1, "tDSMInd.appId");
V2X_STATIC_ASSERT(offsetof(tDSMInd, peerMac) == 5, "tDSMInd.peerMac");
V2X_STATIC_ASSERT(offsetof(tDSMInd, priority) == 11, "tDSMInd.priority");
V2X_STATIC_ASSERT(offsetof(tDSMInd, msgLen) == 12, "tDSMInd.msgLen");
V2X_STATIC_ASSERT(offsetof(tDSMInd, msg) == 14, "tDSMInd.msg");

V2X_STATIC_ASSERT(sizeof(tDMEDSMServReq) == 11, "tDMEDSMServReq is 11 bytes");
V2X_STATIC_ASSERT(offsetof(tDMEDSMServReq, action) == 2, "tDMEDSMServReq.action");
V2X_STATIC_ASSERT(offsetof(tDMEDSMServReq, appId) == 6, "tDMEDSMServReq.appId");
V2X_STATIC_ASSERT(offsetof(tDMEDSMServReq, aidMthFlg) == 10, "tDMEDSMServReq.aidMthFlg");

V2X_STATIC_ASSERT(sizeof(tDMEDSMServCfm) == 8, "tDMEDSMServCfm is 8 bytes");
V2X_STATIC_ASSERT(offsetof(tDMEDSMServCfm, retCd) == 4, "tDMEDSMServCfm.retCd");

V2X_STATIC_ASSERT(sizeof(tDMEProvServReq) == 523, "tDMEProvServReq is 523 bytes");
V2X_STATIC_ASSERT(offsetof(tDMEProvServReq, dmeAct) == 2, "tDMEProvServReq.dmeAct");
V2X_STATIC_ASSERT(offsetof(tDMEProvServReq, appId) == 6, "tDMEProvServReq.appId");
V2X_STATIC_ASSERT(offsetof(tDMEProvServReq, rptRte) == 10, "tDMEProvServReq.rptRte");
V2X_STATIC_ASSERT(offsetof(tDMEProvServReq, dsaHdrExt) == 11, "tDMEProvServReq.dsaHdrExt");
V2X_STATIC_ASSERT(offsetof(tDMEProvServReq, otherInfo) == 267, "tDMEProvServReq.otherInfo");

V2X_STATIC_ASSERT(sizeof(tDMEProvServCfm) == 6, "tDMEProvServCfm is 6 bytes");
V2X_STATIC_ASSERT(offsetof(tDMEProvServCfm, retCd) == 2, "tDMEProvServCfm.retCd");

V2X_STATIC_ASSERT(sizeof(tDMEUserServReq) == 270, "tDMEUserServReq is 270 bytes");
V2X_STATIC_ASSERT(offsetof(tDMEUserServReq, dmeAct) == 2, "tDMEUserServReq.dmeAct");
V2X_STATIC_ASSERT(offsetof(tDMEUserServReq, dmeUsrReqTp) == 6, "tDMEUserServReq.dmeUsrReqTp");
V2X_STATIC_ASSERT(offsetof(tDMEUserServReq, appId) == 10, "tDMEUserServReq.appId");
V2X_STATIC_ASSERT(offsetof(tDMEUserServReq, otherInfo) == 14, "tDMEUserServReq.otherInfo");

V2X_STATIC_ASSERT(sizeof(tDMEUserServCfm) == 6, "tDMEUserServCfm is 6 bytes");
V2X_STATIC_ASSERT(offsetof(tDMEUserServCfm, retCd) == 2, "tDMEUserServCfm.retCd");

/* Length rules. Each takes the header's msgLen (payload length) and, where
 * the record carries its own data length, that length; non-zero when the
 * message is well formed. The record length is passed by value so callers
 * read it from the received bytes only after checking the head is there. */

/** Length rule of V2X_DSM_REQ: at least the head, and exactly head + data.
 * @param aicHdrLen the header's msgLen (payload length).
 * @param aicRecLen the record's own data length (tDSMReq.msgLen).
 * @return non-zero when the message is well formed, 0 otherwise. */
static inline int core_app_dsm_req_len_ok(const uint32_t aicHdrLen, const uint32_t aicRecLen)
{
    return aicHdrLen >= V2X_DSM_REQ_HEAD_LEN && aicHdrLen == V2X_DSM_REQ_HEAD_LEN + aicRecLen;
}

/** Length rule of V2X_DSM_IND: at least the head, and exactly head + data.
 * @param aicHdrLen the header's msgLen (payload length).
 * @param aicRecLen the record's own data length (tDSMInd.msgLen).
 * @return non-zero when the message is well formed, 0 otherwise. */
static inline int core_app_dsm_ind_len_ok(const uint32_t aicHdrLen, const uint32_t aicRecLen)
{
    return aicHdrLen >= V2X_DSM_IND_HEAD_LEN && aicHdrLen == V2X_DSM_IND_HEAD_LEN + aicRecLen;
}

/** Payload length that the core accepts for an application-to-core type
 * with a fixed record.
 * @param aicMsgType the message type (tCoreApp.msgType).
 * @return 11, 523, 270, 12 for a query, 8 for a control hello or a
 *         receive-record request; 0 for V2X_DSM_REQ (variable, see above)
 *         and for every type the core refuses. */
static inline uint32_t core_app_req_fixed_len(const uint32_t aicMsgType)
{
    switch (aicMsgType) {
    case V2X_DME_DSM_SERV_REQ:
        return V2X_DME_DSM_SERV_REQ_LEN;
    case V2X_DME_PROV_SERV_REQ:
        return V2X_DME_PROV_SERV_REQ_LEN;
    case V2X_DME_USER_SERV_REQ:
        return V2X_DME_USER_SERV_REQ_LEN;
    case V2X_CTL_QUERY_REQ:
        return (uint32_t)sizeof(tV2XCtlReq);
    case V2X_CTL_HELLO:
        return (uint32_t)sizeof(tV2XCtlHello);
    case V2X_DSM_RX_INFO_REQ:
        return (uint32_t)sizeof(tV2XRxInfoReq);
    default:
        return 0;
    }
}

/** Payload length that the client library accepts for a core-to-application
 * type with a fixed record.
 * @param aicMsgType the message type (tCoreApp.msgType).
 * @return 8, 6, or 24 for the greeting; 0 for V2X_DSM_IND (variable) and
 *         for every type a client refuses. */
static inline uint32_t core_app_cfm_fixed_len(const uint32_t aicMsgType)
{
    switch (aicMsgType) {
    case V2X_DSM_CFM:
        return V2X_DME_DSM_SERV_CFM_LEN;
    case V2X_DME_PROV_SERV_CFM:
    case V2X_DME_USER_SERV_CFM:
        return V2X_DME_SERV_CFM_LEN;
    case V2X_CTL_GREETING:
        return (uint32_t)sizeof(tV2XCtlGreeting);
    default:
        return 0;
    }
}

V2X_EXTERN_C_END

#endif /* VESTRA_CORE_APP_H */
