# SPDX-License-Identifier: Apache-2.0
"""The core's counters over its application socket, in pure Python.

The control query of v2x_stats.h: connect, read the core's greeting, say
hello as a control connection (no indications, not listed among the
applications), ask for V2X_CTL_STATS and read the answer's record, of which
only the bytes the record's own size says are filled are used.
"""
import ctypes as C
import socket
import struct
import time

from . import _records as R
from ._errors import VestraError, ERR_V2X_SOCKET_CONECT, ERR_V2X_SOCKET_READ, \
    ERR_V2X_CONN_REFUSED

_HEAD = struct.Struct("=IH")  # tCoreApp: msgType, msgLen, host byte order


def _read_exact(sock, n, deadline):
    out = bytearray()
    while len(out) < n:
        left = deadline - time.monotonic()
        if left <= 0:
            raise VestraError(-ERR_V2X_SOCKET_READ, "core_stats: no answer in time")
        sock.settimeout(left)
        try:
            chunk = sock.recv(n - len(out))
        except socket.timeout:
            continue
        if not chunk:
            raise VestraError(-ERR_V2X_SOCKET_READ, "core_stats: the core closed the connection")
        out += chunk
    return bytes(out)


def _read_msg(sock, deadline):
    mtype, mlen = _HEAD.unpack(_read_exact(sock, _HEAD.size, deadline))
    return mtype, _read_exact(sock, mlen, deadline)


def _send(sock, mtype, rec):
    data = bytes(rec)
    sock.sendall(_HEAD.pack(mtype, len(data)) + data)


def core_query(path, what, timeout=2.0):
    """One control query: (tV2XCtlRsp, list of record bytes)."""
    deadline = time.monotonic() + timeout
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        try:
            s.settimeout(timeout)
            s.connect(path)
        except OSError as e:
            raise VestraError(-ERR_V2X_SOCKET_CONECT, f"core_stats: {path}: {e.strerror}") from None
        try:
            mtype, body = _read_msg(s, deadline)
            if mtype != R.V2X_CTL_GREETING or len(body) < C.sizeof(R.tV2XCtlGreeting):
                raise VestraError(-ERR_V2X_SOCKET_READ, "core_stats: no greeting")
            greet = R.tV2XCtlGreeting.from_buffer_copy(body)
            if greet.status != R.V2X_CTL_WELCOME:
                raise VestraError(-ERR_V2X_CONN_REFUSED, "core_stats")
            _send(s, R.V2X_CTL_HELLO, R.tV2XCtlHello(R.V2X_CTL_VERSION, 0))
            _send(s, R.V2X_CTL_QUERY_REQ, R.tV2XCtlReq(what, R.V2X_CTL_VERSION, 0))
            while True:
                mtype, body = _read_msg(s, deadline)
                if mtype == R.V2X_CTL_QUERY_RSP:
                    break
        except OSError as e:
            raise VestraError(-ERR_V2X_SOCKET_READ, f"core_stats: {e}") from None
    finally:
        s.close()
    head_len = C.sizeof(R.tV2XCtlRsp)
    if len(body) < head_len:
        raise VestraError(-ERR_V2X_SOCKET_READ, "core_stats: short answer")
    rsp = R.tV2XCtlRsp.from_buffer_copy(body)
    if rsp.status != R.V2X_CTL_OK:
        raise VestraError(-ERR_V2X_SOCKET_READ, f"core_stats: query status {rsp.status}")
    recs, off = [], head_len
    for _ in range(rsp.count):
        if rsp.recSize == 0 or off + rsp.recSize > len(body):
            raise VestraError(-ERR_V2X_SOCKET_READ, "core_stats: answer shorter than its records")
        recs.append(body[off:off + rsp.recSize])
        off += rsp.recSize
    return rsp, recs


def fields_filled(cls, raw, filled):
    """The fields of record cls that lie within the first `filled` bytes of raw."""
    buf = raw[:filled] + bytes(max(0, C.sizeof(cls) - filled))
    rec = cls.from_buffer_copy(buf[:C.sizeof(cls)])
    out = {}
    for name, ctype in cls._fields_:
        f = getattr(cls, name)
        if f.offset + f.size <= filled:
            v = getattr(rec, name)
            out[name] = list(v) if isinstance(v, C.Array) else v  # ccIntervalUs: a list
    return out


def core_stats(path, timeout=2.0):
    """The counters of the core serving the socket at path, as a dict keyed by
    the names of tV2XCoreStats (docs/COUNTERS.md). Only the counters the core
    filled are present (an older core fills fewer). Raises VestraError:
    ERR_V2X_SOCKET_CONECT (nothing listens), ERR_V2X_CONN_REFUSED (the core
    refused the connection), ERR_V2X_SOCKET_READ (no answer within timeout
    seconds, or a malformed one)."""
    rsp, recs = core_query(path, R.V2X_CTL_STATS, timeout)
    if not recs or len(recs[0]) < 8:
        raise VestraError(-ERR_V2X_SOCKET_READ, "core_stats: no counters in the answer")
    raw = recs[0]
    size = struct.unpack_from("=I", raw)[0]
    filled = min(size, len(raw))
    if filled < 8:
        raise VestraError(-ERR_V2X_SOCKET_READ, "core_stats: record size below its head")
    return fields_filled(R.tV2XCoreStats, raw, filled)
