# SPDX-License-Identifier: Apache-2.0
"""The records of the public headers, byte for byte (ctypes, packed).

Each class mirrors the C record of the same name in vestra/include
(core_app.h, v2x_types.h, v2x_stats.h); the field names are the C names, so
the layout test can compare every offset with the compiler's. Flexible data
members (``msg[]``) are not fields: the data follows the head directly.
"""
import ctypes as C

# core_app.h: message types on the application socket
V2X_DSM_REQ = 0
V2X_DSM_CFM = 1
V2X_DSM_IND = 2
V2X_DME_PROV_SERV_REQ = 3
V2X_DME_PROV_SERV_CFM = 4
V2X_DME_USER_SERV_REQ = 5
V2X_DME_USER_SERV_CFM = 6
V2X_DME_DSM_SERV_REQ = 7
V2X_DSM_REQ_EX = 0x5610
V2X_DSM_RX_INFO_REQ = 0x5611
V2X_DSM_IND_EX = 0x5612

V2X_RX_INFO_HAS_TIME = 0x01
V2X_RX_INFO_HAS_SRC = 0x02
V2X_RX_INFO_HAS_RSSI = 0x04
V2X_RX_INFO_HAS_CBR = 0x08
V2X_RX_INFO_SRC_UNKNOWN = 0xFFFFFFFF
V2X_RX_INFO_RSSI_UNKNOWN = -32768
V2X_RX_INFO_CBR_UNKNOWN = 0xFFFF

V2X_RX_SEC_NOT_CHECKED = 0
V2X_RX_SEC_VERIFIED = 1
V2X_RX_SEC_UNSIGNED = 2
V2X_RX_SEC_FAILED = 3

DME_USER_REQ_MATCH_AUTO_ACC = 0
DME_USER_REQ_ALL_ACC = 1

# v2x_types.h
DME_ACTION_ADD = 0
DME_ACTION_DEL = 1
DME_ACTION_CHGE = 2
DME_RET_ACCEPT = 0
DME_RET_REJ_VAL_ERR = 1
DME_RET_REJ_NO_REASON = 2
PROT_TP_IPV6 = 0
PROT_TP_DSMP = 4
PROT_TP_IPV4 = 5
PROT_TP_RX_REC = 0x84
V2X_RLINK_RX_REC_VER = 1
V2X_RLINK_RX_HAS_SRC = 0x01
V2X_RLINK_RX_HAS_RSSI = 0x02
V2X_RLINK_RX_HAS_CBR = 0x04

# v2x_stats.h: the control query
V2X_CTL_QUERY_REQ = 0x5600
V2X_CTL_QUERY_RSP = 0x5601
V2X_CTL_GREETING = 0x5602
V2X_CTL_HELLO = 0x5603
V2X_CTL_VERSION = 1
V2X_CTL_STATS = 1
V2X_CTL_SELF = 5
V2X_CTL_OK = 0
V2X_CTL_WELCOME = 0
V2X_CTL_REFUSED_CAP = 1
V2X_CTL_REFUSED_SHARE = 2
V2X_CTL_GREETING_WAIT_MS = 2000

AID_MAX = 16511  # the largest AID the DSMP encoding carries
EXT_VALUE_MAX = 253  # value bytes of the one header extension element of a request


class _Packed(C.Structure):
    _pack_ = 1

    def to_dict(self):
        """The fields as a dict (arrays as bytes)."""
        out = {}
        for name, ctype in self._fields_:
            v = getattr(self, name)
            if isinstance(v, C.Array):
                v = bytes(v)
            out[name] = v
        return out


class tV2XSDKCfg(_Packed):
    _fields_ = [
        ("dmnNme", C.c_char * 256),
        ("rcvIp", C.c_char * 16),
        ("rcvPort", C.c_uint16),
        ("sendIp", C.c_char * 16),
        ("sendPort", C.c_uint16),
        ("macAddr", C.c_uint8 * 6),
    ]


class tCoreApp(_Packed):
    _fields_ = [("msgType", C.c_uint32), ("msgLen", C.c_uint16)]


class tDSMReq(_Packed):
    _fields_ = [
        ("appId", C.c_uint32),
        ("protTp", C.c_uint8),
        ("priority", C.c_uint8),
        ("peerMac", C.c_uint8 * 6),
        ("dsmHdrExts", C.c_uint8 * 256),
        ("msgLen", C.c_uint16),
    ]


class tDSMInd(_Packed):
    _fields_ = [
        ("dsmpVer", C.c_uint8),
        ("appId", C.c_uint32),
        ("peerMac", C.c_uint8 * 6),
        ("priority", C.c_uint8),
        ("msgLen", C.c_uint16),
    ]


class tDSMTxOpt(_Packed):
    _fields_ = [("lifetimeMs", C.c_uint32), ("supersede", C.c_uint8), ("rsvd", C.c_uint8 * 3)]


class tDSMReqExPre(_Packed):
    _fields_ = [("opt", tDSMTxOpt), ("callUs", C.c_uint64)]


class tDSMRxInfo(_Packed):
    _fields_ = [
        ("size", C.c_uint16),
        ("dsmpVer", C.c_uint8),
        ("flags", C.c_uint8),
        ("rxRealUs", C.c_uint64),
        ("rxMonoUs", C.c_uint64),
        ("srcL2Id", C.c_uint32),
        ("rssiHalfDb", C.c_int16),
        ("cbrPermille", C.c_uint16),
        ("secResult", C.c_uint8),
        ("extId", C.c_uint8),
        ("extLen", C.c_uint8),
        ("rsvd", C.c_uint8),
        ("signerId", C.c_uint8 * 8),
        ("extVal", C.c_uint8 * 32),
    ]


class tV2XRxInfoReq(_Packed):
    _fields_ = [("on", C.c_uint32), ("rsvd", C.c_uint32)]


class tDMEDSMServReq(_Packed):
    _fields_ = [
        ("index", C.c_uint16),
        ("action", C.c_uint32),
        ("appId", C.c_uint32),
        ("aidMthFlg", C.c_uint8),
    ]


class tDMEDSMServCfm(_Packed):
    _fields_ = [("appId", C.c_uint32), ("retCd", C.c_uint32)]


class tDMEProvServReq(_Packed):
    _fields_ = [
        ("lclAppId", C.c_uint16),
        ("dmeAct", C.c_uint32),
        ("appId", C.c_uint32),
        ("rptRte", C.c_uint8),
        ("dsaHdrExt", C.c_char * 256),
        ("otherInfo", C.c_char * 256),
    ]


class tDMEProvServCfm(_Packed):
    _fields_ = [("lclAppId", C.c_uint16), ("retCd", C.c_uint32)]


class tDMEUserServReq(_Packed):
    _fields_ = [
        ("lclAppId", C.c_uint16),
        ("dmeAct", C.c_uint32),
        ("dmeUsrReqTp", C.c_uint32),
        ("appId", C.c_uint32),
        ("otherInfo", C.c_char * 256),
    ]


class tDMEUserServCfm(_Packed):
    _fields_ = [("lclAppId", C.c_uint16), ("retCd", C.c_uint32)]


class tRlinkRxRec(_Packed):
    """The radio link's receive record; its multi-byte fields are big-endian."""

    _fields_ = [
        ("version", C.c_uint8),
        ("recLen", C.c_uint8),
        ("flags", C.c_uint8),
        ("rsvd", C.c_uint8),
        ("srcL2Id", C.c_uint8 * 4),
        ("rssi", C.c_uint8 * 2),
        ("cbr", C.c_uint8 * 2),
    ]


_STATS_COUNTERS = (
    "rxDatagrams rxBytes rxIndications rxDmeFrames rxProtTypeOther rxDropTooShort "
    "rxDropShortExt rxDropShortAid rxDropShortLen rxDropExtTooLong rxDropAidFormat "
    "rxDropNotRegistered rxDropLenMismatch rxDropTruncated rxDropRecvErr rxDropNoBuffer "
    "txDatagrams txBytes txQueued txQueuedMax txWaited txFullRefused txHeldBack txErrBusy "
    "txErrUnreachable txErrOther txDroppedAtExit dsaSent dsaSkipped "
    "appConnections appAccepted appRefusedPeer appRefusedCap appAcceptErrs appMsgsIn "
    "appBytesIn appMsgsOut appBytesOut appRefusedLen appRefusedType appRefusedValue "
    "appDroppedStalled appCutDropped "
    "mgmtRegistrations mgmtProviders cfmAccepted cfmRefusedValue cfmRefusedOther "
    "txExpired txSuperseded "
    "appRefusedShare appIdleClosed ctlConnections ctlAccepted "
    "logLinesDropped sinkUnsetDrops "
    "txSecSigned txSecFailed txSecOverload rxSecVerified rxSecBadSignature "
    "rxSecUnknownSigner rxSecExpired rxSecPsidNotPermitted rxSecStale rxSecReplay "
    "rxSecMalformed rxSecOverload rxSecUnsigned rxSecPassedUnverified "
    "rxRecDatagrams rxDropRecShort rxDropRecBad rxCbrLast rxIndRecords "
    "cbrReports cbrDropLen cbrDropBad cbrDropFuture cbrLast cbrSmoothed cbrAgeMs ccRule "
    "ccDutyPpm txGateHeld txGatedExpired txGatedSuperseded"
).split()

V2X_CBR_AGE_NONE = 0xFFFFFFFF  # tV2XCoreStats.cbrAgeMs before the first CBR report
V2X_CC_RULE_OFF = 0
V2X_CC_RULE_REACTIVE = 1
V2X_CC_RULE_ADAPTIVE = 2


class tV2XCoreStats(_Packed):
    _fields_ = [("size", C.c_uint32), ("version", C.c_uint32)] + [
        (n, C.c_uint64) for n in _STATS_COUNTERS
    ] + [("ccIntervalUs", C.c_uint64 * 8)]  # per priority 0..7


class tV2XCtlGreeting(_Packed):
    _fields_ = [
        (n, C.c_uint32) for n in ("version", "status", "connId", "maxClients", "userShare", "held")
    ]


class tV2XCtlHello(_Packed):
    _fields_ = [("version", C.c_uint32), ("rsvd", C.c_uint32)]


class tV2XCtlReq(_Packed):
    _fields_ = [("what", C.c_uint32), ("version", C.c_uint32), ("first", C.c_uint32)]


class tV2XCtlRsp(_Packed):
    _fields_ = [
        (n, C.c_uint32) for n in ("what", "version", "status", "recSize", "first", "count", "total")
    ]


class tV2XCtlClient(_Packed):
    _fields_ = [
        ("connId", C.c_uint32),
        ("pid", C.c_int32),
        ("uid", C.c_int32),
        ("heldBack", C.c_uint32),
    ] + [
        (n, C.c_uint64)
        for n in (
            "msgsIn bytesIn msgsOut bytesOut refusedLen refusedType refusedValue "
            "droppedStalled pendingBytes txSent txQueued txExpired txSuperseded"
        ).split()
    ]


class tV2XCtlClientEx(_Packed):
    """tV2XCtlClient, then the drops at the core's congestion gate."""

    _fields_ = [
        ("c", tV2XCtlClient),
        ("txGatedExpired", C.c_uint64),
        ("txGatedSuperseded", C.c_uint64),
    ]

    def to_dict(self):
        """One flat dict: the fields of c, then the gate's two."""
        out = self.c.to_dict()
        out["txGatedExpired"] = self.txGatedExpired
        out["txGatedSuperseded"] = self.txGatedSuperseded
        return out


# Every record above, for the layout test.
RECORDS = (
    tV2XSDKCfg, tCoreApp, tDSMReq, tDSMInd, tDSMTxOpt, tDSMReqExPre, tDSMRxInfo, tV2XRxInfoReq,
    tDMEDSMServReq, tDMEDSMServCfm, tDMEProvServReq, tDMEProvServCfm, tDMEUserServReq,
    tDMEUserServCfm, tRlinkRxRec, tV2XCoreStats, tV2XCtlGreeting, tV2XCtlHello, tV2XCtlReq,
    tV2XCtlRsp, tV2XCtlClient, tV2XCtlClientEx,
)
