# SPDX-License-Identifier: Apache-2.0
"""vestra: the C-V2X network layer's application client for Python (ctypes).

    import vestra
    with vestra.Client("/run/vestra/station.sock") as c:   # a running station's core
        c.register(26)                                     # BSM
        c.send(26, b"hello", priority=7)
        print(c.receive(timeout=3))

The libraries come from the system, or from the folders of VESTRA_LIB_DIR.
See docs/python.md.
"""
from ._errors import VestraError, RefusedError, ERR_NAMES, DME_RET_NAMES
from ._client import Client, Message, RxInfo
from ._ctl import core_stats
from ._lib import set_log_level
from . import _records as records
from ._records import (
    V2X_RX_SEC_NOT_CHECKED as RX_SEC_NOT_CHECKED,
    V2X_RX_SEC_VERIFIED as RX_SEC_VERIFIED,
    V2X_RX_SEC_UNSIGNED as RX_SEC_UNSIGNED,
    V2X_RX_SEC_FAILED as RX_SEC_FAILED,
)

__version__ = "1.0.0"
__all__ = [
    "Client", "Message", "RxInfo", "VestraError", "RefusedError", "core_stats",
    "set_log_level", "records", "ERR_NAMES", "DME_RET_NAMES", "RX_SEC_NOT_CHECKED",
    "RX_SEC_VERIFIED", "RX_SEC_UNSIGNED", "RX_SEC_FAILED",
]
