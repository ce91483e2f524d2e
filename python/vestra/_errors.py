# SPDX-License-Identifier: Apache-2.0
"""Errors: the library's negative eV2XErrNum results, by name."""

# eV2XErrNum (v2x_types.h)
ERR_NAMES = {
    0: "V2X_SUCCESS",
    1: "ERR_V2X_TMP",
    2: "ERR_V2X_PTHREAD_CREATE",
    3: "ERR_V2X_PIPE_CREATE",
    4: "ERR_V2X_FOPEN",
    5: "ERR_V2X_MALLOC",
    6: "ERR_V2X_CALLOC",
    7: "ERR_V2X_SOCKET_OPEN",
    8: "ERR_V2X_SOCKET_BIND",
    9: "ERR_V2X_SOCKET_LISTEN",
    10: "ERR_V2X_SOCKET_CONECT",
    11: "ERR_V2X_SOCKET_READ",
    12: "ERR_V2X_READ_NO_DATA",
    13: "ERR_V2X_SOCKET_WRITE",
    14: "ERR_V2X_SOCKET_SEND_TO",
    15: "ERR_V2X_EVENT_NEW_BASE",
    16: "ERR_V2X_EVENT_NEW",
    40960: "ERR_V2X_PARM_CONT",
    40961: "ERR_V2X_PRIM_ACTION",
    40962: "ERR_V2X_GET_DME_PRIM",
    40963: "ERR_V2X_GET_DME_DSM_PRIM",
    40964: "ERR_V2X_GET_ADAP_PRIM",
    40965: "ERR_V2X_GET_ACES_PRIM",
    40966: "ERR_V2X_NO_FIND_IND_HOK",
    40967: "ERR_V2X_SEND_LEN",
    40968: "ERR_V2X_RX_PKT_FMT",
    40969: "ERR_V2X_RX_APP_FMT",
    40970: "ERR_V2X_RX_CORE_FMT",
    40971: "ERR_V2X_RX_ACES_FMT",
    40972: "ERR_V2X_RX_ADAP_FMT",
    40973: "ERR_V2X_RX_DSM_FMT",
    40974: "ERR_V2X_ACTION_PARM",
    40975: "ERR_V2X_ACTION_ADD",
    40976: "ERR_V2X_ACTION_DEL",
    40977: "ERR_V2X_ACTION_CHGE",
    40978: "ERR_V2X_CLR_INDEX",
    40979: "ERR_V2X_NO_FIND_DSM_SERV_REQ_INDEX",
    40980: "ERR_V2X_NO_FIND_PROV_SERV_REQ_INDEX",
    40981: "ERR_V2X_NO_FIND_USER_SERV_REQ_INDEX",
    40982: "ERR_V2X_DME_ACT",
    40983: "ERR_V2X_PROV_ADD",
    40984: "ERR_V2X_PROV_DEL",
    40985: "ERR_V2X_PROV_CHGE",
    40986: "ERR_V2X_TX_FULL",
    40987: "ERR_V2X_CONN_REFUSED",
    40988: "ERR_V2X_SEC_LOAD",
}
# The names as module constants, positive as in the header: ERR_V2X_SEND_LEN = 40967.
globals().update({name: num for num, name in ERR_NAMES.items()})

# eDMERetCd (v2x_types.h): a confirm's refusal
DME_RET_NAMES = {0: "DME_RET_ACCEPT", 1: "DME_RET_REJ_VAL_ERR", 2: "DME_RET_REJ_NO_REASON"}


class VestraError(Exception):
    """A call of the library failed. ``code`` is its result as returned (a
    negative eV2XErrNum, e.g. -10), ``name`` the enumeration's name
    ("ERR_V2X_SOCKET_CONECT"; "ERR_V2X_UNKNOWN" for a number the table lacks)."""

    def __init__(self, code, what=""):
        self.code = int(code)
        self.name = ERR_NAMES.get(-self.code, "ERR_V2X_UNKNOWN")
        self.what = what
        super().__init__(f"{what + ': ' if what else ''}{self.name} ({self.code})")


class RefusedError(VestraError):
    """The core answered a request with a refusing confirm. ``code`` is the
    confirm's eDMERetCd (positive: 1 or 2) and ``name`` its name
    ("DME_RET_REJ_VAL_ERR", "DME_RET_REJ_NO_REASON")."""

    def __init__(self, ret_cd, what=""):
        Exception.__init__(self, f"{what + ': ' if what else ''}refused, "
                           f"{DME_RET_NAMES.get(ret_cd, 'DME_RET_UNKNOWN')} ({ret_cd})")
        self.code = int(ret_cd)
        self.name = DME_RET_NAMES.get(self.code, "DME_RET_UNKNOWN")
        self.what = what


def check(rc, what):
    """Raises VestraError for a negative result; returns rc otherwise."""
    if rc < 0:
        raise VestraError(rc, what)
    return rc
