# SPDX-License-Identifier: Apache-2.0
"""Loads libmorrow.so.1 and libvestra.so.1 once, and declares the calls used.

From the system's library path by default; VESTRA_LIB_DIR (folders separated
by ':') names where to look instead: the first folder that holds a library's
file gives it. libmorrow is loaded RTLD_GLOBAL first, so that libvestra finds
its names.
"""
import ctypes as C
import os
import threading

from . import _records as R

_lock = threading.Lock()
_libs = None

# Callback types of cv2x_app.h.
DSM_CFM = C.CFUNCTYPE(C.c_int, C.c_uint32, C.c_int)  # fDME_DSM_serv_cfm
DSM_IND = C.CFUNCTYPE(C.c_int, C.c_uint8, C.c_uint32, C.c_uint16, C.c_void_p, C.c_void_p,
                      C.c_uint8)  # fDSM_Ind
DSM_IND_RX = C.CFUNCTYPE(C.c_int, C.c_uint32, C.c_uint16, C.c_void_p,
                         C.POINTER(R.tDSMRxInfo))  # fDSM_IndRx
SERV_CFM = C.CFUNCTYPE(C.c_int, C.c_int, C.c_int)  # fDME_Prov_serv_cfm, fDME_User_serv_cfm

_INT_PTR = C.POINTER(C.c_int)

# name: (argument types); every call returns int.
_CALLS = {
    "cv2x_app_init": (C.POINTER(R.tV2XSDKCfg),),
    "cv2x_app_attach": (C.POINTER(R.tV2XSDKCfg),),
    "cv2x_app_exit": (),
    "cv2x_app_core_connected": (),
    "dsm_request_ex": (C.c_void_p, C.POINTER(R.tDSMTxOpt)),
    "cv2x_app_conn_stats": (C.POINTER(R.tV2XCtlClient),),
    # the congestion gate's drops too: newer libraries only (see has())
    "cv2x_app_conn_stats_ex": (C.POINTER(R.tV2XCtlClientEx),),
    "dme_dsm_serv_req": (C.POINTER(R.tDMEDSMServReq), DSM_CFM, DSM_IND),
    "get_dme_dsm_serv_req_index": (_INT_PTR,),
    "clear_dme_dsm_serv_req_index": (C.c_int,),
    "dme_provider_serv_req": (C.POINTER(R.tDMEProvServReq), SERV_CFM),
    "dme_user_serv_req": (C.POINTER(R.tDMEUserServReq), SERV_CFM),
    "get_dme_prov_serv_req_index": (_INT_PTR,),
    "clear_dme_prov_serv_req_index": (C.c_int,),
    "get_dme_user_serv_req_index": (_INT_PTR,),
    "clear_dme_user_serv_req_index": (C.c_int,),
    # receive records: newer libraries only (see has())
    "cv2x_app_set_rx_info": (C.c_int,),
    "dme_dsm_serv_req_rx": (C.POINTER(R.tDMEDSMServReq), DSM_CFM, DSM_IND_RX),
}


class _Libs:
    def __init__(self, morrow, vestra, paths):
        self.morrow = morrow
        self.vestra = vestra
        self.paths = paths
        for name, argtypes in _CALLS.items():
            try:
                fn = getattr(vestra, name)
            except AttributeError:
                continue
            fn.argtypes = argtypes
            fn.restype = C.c_int
        self.set_global_log_level = morrow.set_global_log_level
        self.set_global_log_level.argtypes = (C.c_int,)
        self.set_global_log_level.restype = None

    def has(self, name):
        """Whether the loaded libvestra exports this call."""
        return hasattr(self.vestra, name)

    def call(self, name):
        try:
            return getattr(self.vestra, name)
        except AttributeError:
            raise NotImplementedError(
                f"{self.paths[1]} has no {name}(): the library is older than this binding"
            ) from None


def _find(soname):
    dirs = os.environ.get("VESTRA_LIB_DIR", "")
    folders = [d for d in dirs.split(":") if d]
    if not folders:
        return soname  # the dynamic linker's own search
    for d in folders:
        path = os.path.join(d, soname)
        if os.path.exists(path):
            return path
    raise OSError(f"{soname} is in none of VESTRA_LIB_DIR's folders: {dirs}")


def libs():
    """The loaded libraries (loading them at the first call)."""
    global _libs
    with _lock:
        if _libs is None:
            mp, vp = _find("libmorrow.so.1"), _find("libvestra.so.1")
            morrow = C.CDLL(mp, mode=C.RTLD_GLOBAL)
            vestra = C.CDLL(vp, mode=C.RTLD_GLOBAL)
            _libs = _Libs(morrow, vestra, (mp, vp))
        return _libs


def set_log_level(level):
    """Sets the libraries' log level (0 off .. 6 loud; 1, errors only, at load)."""
    libs().set_global_log_level(int(level))
