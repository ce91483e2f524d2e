// SPDX-License-Identifier: Apache-2.0
/** @file
 * What the core and the application side share: the result codes, the small
 * enumerations, the start-up configuration record and (through core_app.h)
 * the records of the application socket. Both sides include this header and
 * neither includes the other's: the client's public header cv2x_app.h
 * includes it for applications, the core's layers include it directly. */
#ifndef VESTRA_V2X_TYPES_H
#define VESTRA_V2X_TYPES_H

#include <stddef.h>
#include <stdint.h>

#include <morrow/v2x_api.h>

V2X_EXTERN_C_BEGIN

/** Results: 0 on success, otherwise the negated code (-15 for
 * ERR_V2X_EVENT_NEW_BASE). errno never carries a failure. */
typedef enum _eV2XErrNum_ {
    V2X_SUCCESS = 0, /**< Success. */
    ERR_V2X_TMP = 1, /**< A wait ran out (a start-up that did not end in time). */
    ERR_V2X_PTHREAD_CREATE = 2, /**< No thread could be started, or a core or runtime already runs in this process. */
    ERR_V2X_PIPE_CREATE = 3, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_FOPEN = 4, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_MALLOC = 5, /**< Memory could not be allocated. */
    ERR_V2X_CALLOC = 6, /**< Memory could not be allocated. */
    ERR_V2X_SOCKET_OPEN = 7, /**< A socket could not be created. */
    ERR_V2X_SOCKET_BIND = 8, /**< A socket could not be bound (the application socket's path, the radio link's address). */
    ERR_V2X_SOCKET_LISTEN = 9, /**< The application socket could not listen. */
    ERR_V2X_SOCKET_CONECT = 10, /**< No connection to the core: it failed, was not greeted, or the core closed it. */
    ERR_V2X_SOCKET_READ = 11, /**< A read failed, or brought no valid answer in time. */
    ERR_V2X_READ_NO_DATA = 12, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_SOCKET_WRITE = 13, /**< A message could not be written, or not whole, in time. */
    ERR_V2X_SOCKET_SEND_TO = 14, /**< A datagram to the radio module could not be sent. */
    ERR_V2X_EVENT_NEW_BASE = 15, /**< An event loop could not be made. */
    ERR_V2X_EVENT_NEW = 16, /**< An event could not be made or added. */
    ERR_V2X_PARM_CONT = 40960, /**< A parameter or its contents is not valid, or the call is not allowed now (no connection, from a callback). */
    ERR_V2X_PRIM_ACTION = 40961, /**< The action does not fit the local registrations (unknown action, already registered, not registered). */
    ERR_V2X_GET_DME_PRIM = 40962, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_GET_DME_DSM_PRIM = 40963, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_GET_ADAP_PRIM = 40964, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_GET_ACES_PRIM = 40965, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_NO_FIND_IND_HOK = 40966, /**< No registration or waiting record matches the received message. */
    ERR_V2X_SEND_LEN = 40967, /**< A length is out of range for the message. */
    ERR_V2X_RX_PKT_FMT = 40968, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_RX_APP_FMT = 40969, /**< A message from an application is malformed. */
    ERR_V2X_RX_CORE_FMT = 40970, /**< A message from the core is malformed or of a type not expected. */
    ERR_V2X_RX_ACES_FMT = 40971, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_RX_ADAP_FMT = 40972, /**< A datagram from the radio link is malformed. */
    ERR_V2X_RX_DSM_FMT = 40973, /**< A received DSMP frame is malformed. */
    ERR_V2X_ACTION_PARM = 40974, /**< The core's AID table refused an update's values. */
    ERR_V2X_ACTION_ADD = 40975, /**< The core's AID table refused an add. */
    ERR_V2X_ACTION_DEL = 40976, /**< The core's AID table refused a delete. */
    ERR_V2X_ACTION_CHGE = 40977, /**< The core's AID table refused a change. */
    ERR_V2X_CLR_INDEX = 40978, /**< The index to free is out of range or not in use. */
    ERR_V2X_NO_FIND_DSM_SERV_REQ_INDEX = 40979, /**< Every DSM registration index is in use. */
    ERR_V2X_NO_FIND_PROV_SERV_REQ_INDEX = 40980, /**< Every provider lclAppId is in use. */
    ERR_V2X_NO_FIND_USER_SERV_REQ_INDEX = 40981, /**< Every user lclAppId is in use. */
    ERR_V2X_DME_ACT = 40982, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_PROV_ADD = 40983, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_PROV_DEL = 40984, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_PROV_CHGE = 40985, /**< Not returned by this version; kept for the numbering. */
    ERR_V2X_TX_FULL = 40986, /**< The radio link's transmit queue is full. */
    /** The core refused the connection: it holds its connection cap, this
     * user holds its share of the cap, or (closed without its greeting) the
     * access settings do not admit this user; one ERROR line says which. */
    ERR_V2X_CONN_REFUSED = 40987,
    /** A security file (trust folder, certificate, key) could not be used;
     * one ERROR line names it and says why. */
    ERR_V2X_SEC_LOAD = 40988,
    ERR_V2X_MAX = 40989 /**< One past the largest code. */
} eV2XErrNum;

/** What a registration or service request does. */
typedef enum _eDMEAction_ {
    DME_ACTION_ADD = 0, /**< add */
    DME_ACTION_DEL = 1, /**< delete */
    DME_ACTION_CHGE = 2 /**< change */
} eDMEAction;

/** The result a confirm carries. */
typedef enum _eDMERetCd_ {
    DME_RET_ACCEPT = 0,        /**< accepted */
    DME_RET_REJ_VAL_ERR = 1,   /**< rejected, bad value */
    DME_RET_REJ_NO_REASON = 2  /**< rejected, no reason given */
} eDMERetCd;

/** The protocol-type byte in front of every frame on the radio link. */
typedef enum _eProtTp_ {
    PROT_TP_IPV6 = 0, /**< an IPv6 packet */
    PROT_TP_DSMP = 4, /**< a DSMP frame */
    PROT_TP_IPV4 = 5, /**< an IPv4 packet */
    PROT_TP_MAX = 6   /**< one past the largest type */
} eProtTp;

/* ---- Receive records from the radio module ---------------------------------
 * A radio module that knows more about a frame than its bytes sends it in a
 * receive-record datagram: the protocol-type byte PROT_TP_RX_REC (a value no
 * frame type uses), then a tRlinkRxRec of recLen bytes, then the frame's own
 * protocol-type byte and the DSMP frame, exactly as in a plain datagram. The
 * core takes plain datagrams as before (with the source, RSSI and CBR not
 * known) and drops a receive record that is short, of an unknown version,
 * with a recLen outside V2X_RLINK_RX_REC_LEN..V2X_RLINK_RX_REC_MAX, unknown
 * flag bits, or a CBR above 1000 per mille; each such drop is counted
 * (rxDropRecShort, rxDropRecBad) and nothing of it is handed up.
 *
 * Multi-byte fields are big-endian, like the DSMP lengths on the air. */
#define PROT_TP_RX_REC 0x84u    /**< Protocol-type byte of a receive-record datagram (no frame type uses it). */
#define V2X_RLINK_RX_REC_VER 1u /**< tRlinkRxRec.version of this record. */
#define V2X_RLINK_RX_REC_LEN 12u /**< the record of version 1 */
#define V2X_RLINK_RX_REC_MAX 64u /**< a later version may append fields up to this */
/* tRlinkRxRec.flags: which of the fields the module knows */
#define V2X_RLINK_RX_HAS_SRC 0x01u   /**< tRlinkRxRec.flags: the module knows srcL2Id. */
#define V2X_RLINK_RX_HAS_RSSI 0x02u  /**< tRlinkRxRec.flags: the module knows rssi. */
#define V2X_RLINK_RX_HAS_CBR 0x04u   /**< tRlinkRxRec.flags: the module knows cbr. */
#define V2X_RLINK_RX_FLAGS_ALL 0x07u /**< Every flag bit defined; others make the record bad. */

#pragma pack(push, 1)
/** The receive record a radio module sends in front of a frame
 * (PROT_TP_RX_REC); multi-byte fields are big-endian. */
typedef struct _tRlinkRxRec_ {
    uint8_t version;    /**< V2X_RLINK_RX_REC_VER */
    uint8_t recLen;     /**< bytes of the record, from version up to the frame's type byte */
    uint8_t flags;      /**< V2X_RLINK_RX_HAS_* */
    uint8_t rsvd;       /**< 0 */
    uint8_t srcL2Id[4]; /**< sender's layer-2 source identity: 24 bits in the last three bytes,
                           the first is 0 */
    uint8_t rssi[2];    /**< signed, in 0.5 dB steps (-180 = -90 dBm) */
    uint8_t cbr[2];     /**< channel busy ratio the module measured last, per mille (0..1000) */
} tRlinkRxRec;
#pragma pack(pop)
V2X_STATIC_ASSERT(sizeof(tRlinkRxRec) == V2X_RLINK_RX_REC_LEN, "tRlinkRxRec is 12 bytes");
V2X_STATIC_ASSERT(offsetof(tRlinkRxRec, srcL2Id) == 4, "tRlinkRxRec.srcL2Id");
V2X_STATIC_ASSERT(offsetof(tRlinkRxRec, rssi) == 8, "tRlinkRxRec.rssi");
V2X_STATIC_ASSERT(offsetof(tRlinkRxRec, cbr) == 10, "tRlinkRxRec.cbr");

/* ---- Channel load reports from the radio module -------------------------
 * A radio module reports the channel busy ratio (CBR) it measured in a CBR
 * report datagram of its own: the protocol-type byte PROT_TP_CBR_RPT (a value
 * no frame type uses), then a tRlinkCbrRpt of recLen bytes, and nothing
 * after it. The module sends one per measurement (every 100 ms is usual).
 * measTimeMs is the measurement's time on the module's clock, milliseconds
 * since 1970-01-01 UTC; the core takes the module's clock and its own
 * CLOCK_REALTIME to agree within V2X_CBR_CLOCK_SKEW_MS.
 *
 * The core drops, counts and never applies a report that is shorter or
 * longer than its recLen (cbrDropLen), of an unknown version, with a recLen
 * other than V2X_RLINK_CBR_RPT_LEN, reserved bytes not 0, or a CBR above
 * 1000 per mille (cbrDropBad), or measured later than now by more than
 * V2X_CBR_CLOCK_SKEW_MS (cbrDropFuture). A report older than the
 * configured staleness (1 s by default) is applied, but the CBR counts as
 * not known until a newer one comes.
 *
 * Multi-byte fields are big-endian. */
#define PROT_TP_CBR_RPT 0x85u      /**< Protocol-type byte of a CBR report datagram (no frame type uses it). */
#define V2X_RLINK_CBR_RPT_VER 1u   /**< tRlinkCbrRpt.version of this record. */
#define V2X_RLINK_CBR_RPT_LEN 16u  /**< the record of version 1 */
#define V2X_CBR_CLOCK_SKEW_MS 100u /**< how far a report's time may lie ahead of the core's clock */

/* The congestion gate's rules (tV2XCongestionCfg.rule, tV2XCoreStats.ccRule) */
#define V2X_CC_RULE_OFF 0u      /**< no gate: datagrams leave at the radio's pace */
#define V2X_CC_RULE_REACTIVE 1u /**< CBR ranges map to a least gap per priority */
#define V2X_CC_RULE_ADAPTIVE 2u /**< LIMERIC: an allowed duty cycle steered toward a target CBR */

#pragma pack(push, 1)
/** The CBR report a radio module sends (PROT_TP_CBR_RPT); multi-byte fields
 * are big-endian. */
typedef struct _tRlinkCbrRpt_ {
    uint8_t version;       /**< V2X_RLINK_CBR_RPT_VER */
    uint8_t recLen;        /**< bytes of the record, from version on: V2X_RLINK_CBR_RPT_LEN */
    uint8_t rsvd[2];       /**< 0 */
    uint8_t cbr[2];        /**< channel busy ratio, per mille (0..1000) */
    uint8_t rsvd2[2];      /**< 0 */
    uint8_t measTimeMs[8]; /**< when it was measured: milliseconds since 1970-01-01 UTC */
} tRlinkCbrRpt;
#pragma pack(pop)
V2X_STATIC_ASSERT(sizeof(tRlinkCbrRpt) == V2X_RLINK_CBR_RPT_LEN, "tRlinkCbrRpt is 16 bytes");
V2X_STATIC_ASSERT(offsetof(tRlinkCbrRpt, cbr) == 4, "tRlinkCbrRpt.cbr");
V2X_STATIC_ASSERT(offsetof(tRlinkCbrRpt, measTimeMs) == 8, "tRlinkCbrRpt.measTimeMs");

/** Application identifiers. Records carry AIDs as plain uint32. */
typedef enum _eV2XAID_ {
    V2X_AID_SYS_DEF = 0,              /**< system */
    V2X_AID_AUTO_FEE = 1,             /**< automatic fee collection */
    V2X_AID_FREI_FLET_MAG = 2,        /**< freight and fleet management */
    V2X_AID_PUB_TRANS = 3,            /**< public transport */
    V2X_AID_TRAFFIC_INFO = 4,         /**< traffic information */
    V2X_AID_TRAFFIC_CONTROL = 5,      /**< traffic control */
    V2X_AID_PARKING_MAG = 6,          /**< parking management */
    V2X_AID_GEO_ROAD_DB = 7,          /**< geographic road database */
    V2X_AID_MAN_MACH_INTF = 8,        /**< man-machine interface */
    V2X_AID_INTER_SYS_INTF = 9,       /**< inter-system interface */
    V2X_AID_AUTO_VEL_ID = 10,         /**< automatic vehicle identification */
    V2X_AID_EMERGY_WARN = 11,         /**< emergency warning */
    V2X_AID_PRIVATE = 12,             /**< private use */
    V2X_AID_MUL_PUR_PAY = 13,         /**< multi-purpose payment */
    V2X_AID_AFTER_THEFT_SYS = 14,     /**< after-theft systems */
    V2X_AID_CRUI_ASSIT_HIWY_SYS = 15, /**< cruise assist highway systems */
    V2X_AID_PUB_SAFE = 16,            /**< public safety */
    V2X_AID_VEHL_SAFE = 17,           /**< vehicle safety */
    V2X_AID_GEN_PUR_INTR_ACC = 18,    /**< general-purpose internet access */
    V2X_AID_DSA = 135, /**< service advertisements of the management entity */
    V2X_AID_MAX = 136  /**< one past the largest named AID */
} eV2XAID;

V2X_STATIC_ASSERT(sizeof(eV2XErrNum) == 4, "enumerations travel in 4 bytes");
V2X_STATIC_ASSERT(sizeof(eDMEAction) == 4, "enumerations travel in 4 bytes");
V2X_STATIC_ASSERT(sizeof(eDMERetCd) == 4, "enumerations travel in 4 bytes");

#pragma pack(push, 1)
/** Start-up configuration. The caller owns it; it must stay valid and
 * unchanged until the core has started (the core reads it from its own
 * thread during start-up). */
typedef struct _tV2XSDKCfg_ {
    char dmnNme[256];   /**< path of the application socket */
    char rcvIp[16];     /**< local IPv4 address the radio link receives on */
    uint16_t rcvPort;   /**< its port, host byte order */
    char sendIp[16];    /**< IPv4 address of the radio module */
    uint16_t sendPort;  /**< its port, host byte order */
    uint8_t macAddr[6]; /**< the station's MAC address */
} tV2XSDKCfg;
#pragma pack(pop)
V2X_STATIC_ASSERT(sizeof(tV2XSDKCfg) == 298, "tV2XSDKCfg is 298 bytes");
V2X_STATIC_ASSERT(offsetof(tV2XSDKCfg, rcvIp) == 256, "tV2XSDKCfg.rcvIp");
V2X_STATIC_ASSERT(offsetof(tV2XSDKCfg, rcvPort) == 272, "tV2XSDKCfg.rcvPort");
V2X_STATIC_ASSERT(offsetof(tV2XSDKCfg, sendIp) == 274, "tV2XSDKCfg.sendIp");
V2X_STATIC_ASSERT(offsetof(tV2XSDKCfg, sendPort) == 290, "tV2XSDKCfg.sendPort");
V2X_STATIC_ASSERT(offsetof(tV2XSDKCfg, macAddr) == 292, "tV2XSDKCfg.macAddr");

V2X_EXTERN_C_END

/* The application-core messages and records. */
#include "core_app.h"

#endif /* VESTRA_V2X_TYPES_H */
