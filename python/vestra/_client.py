# SPDX-License-Identifier: Apache-2.0
"""The application client: one runtime of cv2x_app.h per process."""
import asyncio
import atexit
import collections
import ctypes as C
import dataclasses
import threading
import time
from typing import Optional, Tuple

from . import _records as R
from ._ctl import core_stats as _core_stats
from ._errors import VestraError, RefusedError, check, ERR_V2X_PARM_CONT, ERR_V2X_SEND_LEN
from ._lib import libs, DSM_CFM, DSM_IND, DSM_IND_RX, SERV_CFM

# The C library runs one client runtime per process (a second cv2x_app_init
# or cv2x_app_attach is refused): so does this binding, and says so.
_owner_lock = threading.Lock()
_owner = None

_HEAD = C.sizeof(R.tDSMReq)


@dataclasses.dataclass(frozen=True)
class RxInfo:
    """What came with a received message (tDSMRxInfo). A field the core did
    not know (its flag clear, or beyond the record's size) is None."""

    size: int
    dsmp_ver: int
    flags: int
    rx_real_us: Optional[int]  # CLOCK_REALTIME of the core's read, microseconds
    rx_mono_us: Optional[int]  # the same instant on CLOCK_MONOTONIC
    src_l2_id: Optional[int]  # sender's 24-bit layer-2 identity
    rssi_half_db: Optional[int]  # as the record holds it, 0.5 dB steps
    rssi_dbm: Optional[float]  # the same in dBm
    cbr_permille: Optional[int]  # channel busy ratio, per mille (0..1000)
    cbr: Optional[float]  # the same as a fraction (0.0..1.0)
    sec_result: Optional[int]  # V2X_RX_SEC_* (vestra.RX_SEC_*)
    signer_id: Optional[bytes]  # HashedId8 of the signer, when verified
    ext: Optional[Tuple[int, bytes]]  # the frame's header extension (id, value)

    @classmethod
    def from_record(cls, rec):
        size = rec.size

        def has(name, flag=None):
            f = getattr(R.tDSMRxInfo, name)
            return f.offset + f.size <= size and (flag is None or rec.flags & flag)

        time_ok = has("rxMonoUs", R.V2X_RX_INFO_HAS_TIME)
        rssi = rec.rssiHalfDb if has("rssiHalfDb", R.V2X_RX_INFO_HAS_RSSI) else None
        cbr = rec.cbrPermille if has("cbrPermille", R.V2X_RX_INFO_HAS_CBR) else None
        sec = rec.secResult if has("secResult") else None
        ext = None
        if has("extVal") and 0 < rec.extLen <= len(rec.extVal):
            ext = (rec.extId, bytes(rec.extVal[:rec.extLen]))
        return cls(
            size=size,
            dsmp_ver=rec.dsmpVer,
            flags=rec.flags,
            rx_real_us=rec.rxRealUs if time_ok else None,
            rx_mono_us=rec.rxMonoUs if time_ok else None,
            src_l2_id=rec.srcL2Id if has("srcL2Id", R.V2X_RX_INFO_HAS_SRC) else None,
            rssi_half_db=rssi,
            rssi_dbm=None if rssi is None else rssi / 2.0,
            cbr_permille=cbr,
            cbr=None if cbr is None else cbr / 1000.0,
            sec_result=sec,
            signer_id=bytes(rec.signerId)
            if has("signerId") and sec == R.V2X_RX_SEC_VERIFIED else None,
            ext=ext,
        )


@dataclasses.dataclass(frozen=True)
class Message:
    """One received DSM message. rx_info is None with a library that has no
    receive records; before set_rx_info(True) it holds only dsmp_ver."""

    aid: int
    data: bytes
    dsmp_ver: int
    rx_info: Optional[RxInfo] = None


class _Waiter:
    """One confirm, set on the runtime thread, awaited by the caller."""

    def __init__(self):
        self._ev = threading.Event()
        self.ret = None

    def set(self, ret):
        self.ret = ret
        self._ev.set()
        return 0

    def wait(self, timeout, what):
        if not self._ev.wait(timeout):
            raise TimeoutError(f"{what}: no confirm from the core within {timeout} s")
        if self.ret != R.DME_RET_ACCEPT:
            raise RefusedError(self.ret, what)


def _text(value, what, room=255):
    raw = value.encode() if isinstance(value, str) else bytes(value)
    if len(raw) > room or b"\0" in raw:
        raise ValueError(f"{what}: at most {room} bytes and no NUL")
    return raw


class Client:
    """The application runtime (cv2x_app.h), as a context manager.

    attach=True connects to the core another process runs on socket_path
    (cv2x_app_attach, e.g. examples/v2x-station --serve); attach=False starts
    a core in this process (cv2x_app_init) with the radio addresses given.
    One Client may be open per process: the C library keeps one runtime, and
    a second Client raises RuntimeError until the first is closed.

    Callbacks run on the library's runtime thread: they copy each message and
    queue it (at most queue_limit; more are counted in ``dropped``), and
    receive(), messages(), receive_async() and aiter() take them from there.
    Requests with a confirm wait for it up to confirm_timeout seconds.
    """

    def __init__(self, socket_path, attach=True, *, rcv_ip="127.0.0.1", rcv_port=0,
                 send_ip="127.0.0.1", send_port=0, mac="ff:ff:ff:ff:ff:ff",
                 confirm_timeout=5.0, queue_limit=4096):
        global _owner
        self.socket_path = socket_path
        self.confirm_timeout = confirm_timeout
        self.queue_limit = queue_limit
        self.dropped = 0
        self._lib = libs()
        self._lock = threading.Lock()
        self._cond = threading.Condition(self._lock)
        self._msgs = collections.deque()
        self._async_waiters = collections.deque()
        self._closed = False
        self._regs = {}  # aid or "all" -> (index, tDMEDSMServReq fields)
        self._provs = {}  # lclAppId -> request record
        self._users = {}
        self._keep = []  # ctypes callbacks the library may still call
        self._rx = self._lib.has("dme_dsm_serv_req_rx")
        self._ind = DSM_IND_RX(self._on_ind_rx) if self._rx else DSM_IND(self._on_ind)

        cfg = R.tV2XSDKCfg()
        path = _text(socket_path, "socket_path")
        cfg.dmnNme = path
        if not attach:
            cfg.rcvIp = _text(rcv_ip, "rcv_ip", 15)
            cfg.rcvPort = int(rcv_port)
            cfg.sendIp = _text(send_ip, "send_ip", 15)
            cfg.sendPort = int(send_port)
            octets = bytes(int(x, 16) for x in mac.split(":"))
            if len(octets) != 6:
                raise ValueError("mac: six hex octets, 02:00:00:00:00:0a")
            C.memmove(cfg.macAddr, octets, 6)
        with _owner_lock:
            if _owner is not None:
                raise RuntimeError(
                    "a vestra.Client is already open in this process: the library runs "
                    "one client runtime per process; close it first")
            _owner = self
        try:
            fn = "cv2x_app_attach" if attach else "cv2x_app_init"
            check(self._lib.call(fn)(C.byref(cfg)), fn)
        except BaseException:
            with _owner_lock:
                _owner = None
            raise

    # ---- life ---------------------------------------------------------------
    def __enter__(self):
        return self

    def __exit__(self, et, ev, tb):
        try:
            self.close()
        except VestraError:
            if et is None:
                raise
        return False

    def close(self):
        """Stops the runtime (cv2x_app_exit; an attached core keeps running).
        Safe twice. Raises VestraError (ERR_V2X_SOCKET_WRITE) when a message
        written in part had to be cut; the runtime is stopped all the same."""
        global _owner
        with self._lock:
            if self._closed:
                return
            self._closed = True
        rc = self._lib.call("cv2x_app_exit")()
        with self._lock:
            self._cond.notify_all()
            waiters = list(self._async_waiters)
            self._async_waiters.clear()
        for loop, fut in waiters:
            try:
                loop.call_soon_threadsafe(_fail, fut, RuntimeError("vestra.Client closed"))
            except RuntimeError:
                pass  # its loop is closed
        with _owner_lock:
            if _owner is self:
                _owner = None
        check(rc, "cv2x_app_exit")

    @property
    def connected(self):
        """True while the runtime is connected to its core."""
        return self._lib.call("cv2x_app_core_connected")() == 1

    def _open(self):
        if self._closed:
            raise RuntimeError("vestra.Client closed")

    # ---- runtime thread -----------------------------------------------------
    def _on_ind(self, ver, aid, length, msg, mac, prio):
        try:
            self._deliver(Message(aid, C.string_at(msg, length) if length else b"", ver, None))
        except BaseException:  # never let an exception unwind into the library
            pass
        return 0

    def _on_ind_rx(self, aid, length, msg, info):
        try:
            rec = R.tDSMRxInfo.from_buffer_copy(C.string_at(info, C.sizeof(R.tDSMRxInfo)))
            rx = RxInfo.from_record(rec)
            data = C.string_at(msg, length) if length else b""
            self._deliver(Message(aid, data, rx.dsmp_ver, rx))
        except BaseException:
            pass
        return 0

    def _deliver(self, m, front=False):
        with self._lock:
            while self._async_waiters:
                loop, fut = self._async_waiters.popleft()
                try:
                    loop.call_soon_threadsafe(self._hand_over, fut, m)
                    return
                except RuntimeError:
                    continue  # that loop is closed
            if len(self._msgs) >= self.queue_limit:
                self.dropped += 1
                return
            if front:
                self._msgs.appendleft(m)
            else:
                self._msgs.append(m)
            self._cond.notify()

    def _hand_over(self, fut, m):
        # On the waiter's loop: a waiter that gave up meanwhile passes the
        # message on instead of losing it.
        if fut.done():
            self._deliver(m, front=True)
        else:
            fut.set_result(m)

    # ---- receiving ----------------------------------------------------------
    def receive(self, timeout=None):
        """The next message (Message); raises TimeoutError after timeout
        seconds (None: waits for ever) and RuntimeError once closed."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while not self._msgs:
                self._open()
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise TimeoutError(f"no message within {timeout} s")
                self._cond.wait(left)
            return self._msgs.popleft()

    def messages(self, timeout=None):
        """Iterates over received messages; ends after timeout seconds
        without one (None: never ends)."""
        while True:
            try:
                yield self.receive(timeout)
            except TimeoutError:
                return

    async def receive_async(self, timeout=None):
        """As receive(), awaitable on the running event loop."""
        loop = asyncio.get_running_loop()
        with self._lock:
            self._open()
            if self._msgs:
                return self._msgs.popleft()
            fut = loop.create_future()
            entry = (loop, fut)
            self._async_waiters.append(entry)
        try:
            return await asyncio.wait_for(fut, timeout)
        except asyncio.TimeoutError:
            raise TimeoutError(f"no message within {timeout} s") from None
        finally:
            with self._lock:
                try:
                    self._async_waiters.remove(entry)
                except ValueError:
                    pass

    async def aiter(self, timeout=None):
        """Async iteration over received messages; ends after timeout seconds
        without one (None: never ends)."""
        while True:
            try:
                yield await self.receive_async(timeout)
            except TimeoutError:
                return

    def set_rx_info(self, on=True):
        """Asks the core for a receive record with every indication from now
        on (Message.rx_info: source, RSSI, CBR, times), or stops it."""
        self._open()
        check(self._lib.call("cv2x_app_set_rx_info")(1 if on else 0), "cv2x_app_set_rx_info")

    # ---- DSM registrations and sending -------------------------------------
    def _forget_spent(self):
        self._keep = [(w, cb) for w, cb in self._keep if w.ret is None]

    def _dsm_req(self, fields, what):
        self._forget_spent()
        w = _Waiter()
        cfm = DSM_CFM(lambda aid, ret: w.set(ret))
        self._keep.append((w, cfm))
        req = R.tDMEDSMServReq(**fields)
        fn = "dme_dsm_serv_req_rx" if self._rx else "dme_dsm_serv_req"
        check(self._lib.call(fn)(C.byref(req), cfm, self._ind), what)
        return w

    def register(self, aid, all_aids=False):
        """Receives messages of this AID (all_aids: of every AID; aid is then
        only the request's number). Waits for the core's confirm: raises
        RefusedError when it refuses, VestraError when the library refuses
        (ERR_V2X_PRIM_ACTION: registered already), TimeoutError."""
        self._open()
        key = "all" if all_aids else int(aid)
        idx = C.c_int(-1)
        check(self._lib.call("get_dme_dsm_serv_req_index")(C.byref(idx)), "register")
        fields = dict(index=idx.value, action=R.DME_ACTION_ADD, appId=int(aid),
                      aidMthFlg=1 if all_aids else 0)
        try:
            self._dsm_req(fields, f"register({aid})").wait(self.confirm_timeout,
                                                           f"register({aid})")
        except BaseException:
            self._lib.call("clear_dme_dsm_serv_req_index")(idx.value)
            raise
        self._regs[key] = fields

    def unregister(self, aid, all_aids=False):
        """Ends a registration made with register(); waits for the confirm."""
        self._open()
        key = "all" if all_aids else int(aid)
        if key not in self._regs:
            raise VestraError(-40961, f"unregister({aid}): not registered")  # ERR_V2X_PRIM_ACTION
        fields = dict(self._regs[key], action=R.DME_ACTION_DEL)
        w = self._dsm_req(fields, f"unregister({aid})")
        del self._regs[key]
        self._lib.call("clear_dme_dsm_serv_req_index")(fields["index"])
        w.wait(self.confirm_timeout, f"unregister({aid})")

    def send(self, aid, data, priority=0, lifetime_ms=0, supersede=False, ext=None):
        """Sends one DSM message (dsm_request_ex). priority 0..7 (7 first);
        lifetime_ms: dropped unsent once it waited that long (0: no limit);
        supersede: replaces this client's requests for the AID still waiting;
        ext: (id, bytes) header extension element, at most 253 value bytes.
        Raises VestraError (ERR_V2X_SEND_LEN, ERR_V2X_PARM_CONT, ...)."""
        self._open()
        data = bytes(data)
        if len(data) > 0xFFFF:
            raise VestraError(-ERR_V2X_SEND_LEN, "send")
        buf = (C.c_uint8 * (_HEAD + len(data)))()
        req = R.tDSMReq.from_buffer(buf)
        req.appId = int(aid) & 0xFFFFFFFF
        req.protTp = R.PROT_TP_DSMP
        req.priority = int(priority) & 0xFF
        C.memmove(req.peerMac, b"\xff" * 6, 6)
        if ext is not None:
            ext_id, value = int(ext[0]), bytes(ext[1])
            if not 0 <= ext_id <= 255 or len(value) > R.EXT_VALUE_MAX:
                raise VestraError(-ERR_V2X_PARM_CONT, "send: extension id 0..255, "
                                  f"at most {R.EXT_VALUE_MAX} value bytes")
            req.dsmHdrExts[0] = ext_id
            req.dsmHdrExts[1] = len(value)
            C.memmove(C.addressof(req.dsmHdrExts) + 2, value, len(value))
        req.msgLen = len(data)
        C.memmove(C.addressof(buf) + _HEAD, data, len(data))
        opt = R.tDSMTxOpt(lifetimeMs=int(lifetime_ms), supersede=1 if supersede else 0)
        check(self._lib.call("dsm_request_ex")(buf, C.byref(opt)), "send")

    # ---- provider and user services ----------------------------------------
    def _serv_req(self, call, rec_cls, fields, what):
        self._forget_spent()
        w = _Waiter()
        cfm = SERV_CFM(lambda lcl, ret: w.set(ret))
        self._keep.append((w, cfm))
        rec = rec_cls(**fields)
        check(self._lib.call(call)(C.byref(rec), cfm), what)
        w.wait(self.confirm_timeout, what)

    def _lcl(self, lcl_app_id, family):
        if lcl_app_id is not None:
            return int(lcl_app_id), False
        idx = C.c_int(-1)
        check(self._lib.call(f"get_dme_{family}_serv_req_index")(C.byref(idx)), family)
        return idx.value, True

    def provide(self, aid, lcl_app_id=None, rate=1, hdr_ext="", other_info=""):
        """Starts a provider service advertised under aid, rate times per 5
        seconds (dme_provider_serv_req); waits for the confirm. Returns its
        lclAppId (the lowest free one unless given). Raises RefusedError
        (duplicate, bad value, table full), VestraError, TimeoutError."""
        self._open()
        lcl, ours = self._lcl(lcl_app_id, "prov")
        fields = dict(lclAppId=lcl, dmeAct=R.DME_ACTION_ADD, appId=int(aid), rptRte=int(rate),
                      dsaHdrExt=_text(hdr_ext, "hdr_ext"), otherInfo=_text(other_info, "other_info"))
        try:
            self._serv_req("dme_provider_serv_req", R.tDMEProvServReq, fields, f"provide({aid})")
        except BaseException:
            if ours:
                self._lib.call("clear_dme_prov_serv_req_index")(lcl)
            raise
        self._provs[lcl] = (fields, ours)
        return lcl

    def unprovide(self, lcl_app_id):
        """Ends a provider service started with provide(); waits for the confirm."""
        self._open()
        fields, ours = self._provs.pop(int(lcl_app_id), (None, False))
        if fields is None:
            raise VestraError(-40961, f"unprovide({lcl_app_id}): no such provider")
        if ours:
            self._lib.call("clear_dme_prov_serv_req_index")(int(lcl_app_id))
        self._serv_req("dme_provider_serv_req", R.tDMEProvServReq,
                       dict(fields, dmeAct=R.DME_ACTION_DEL), f"unprovide({lcl_app_id})")

    def use(self, aid, lcl_app_id=None, accept_all=False, other_info=""):
        """Starts a user service for aid (dme_user_serv_req); waits for the
        confirm. accept_all: DME_USER_REQ_ALL_ACC, else match-and-accept.
        Returns its lclAppId. Raises as provide()."""
        self._open()
        lcl, ours = self._lcl(lcl_app_id, "user")
        fields = dict(lclAppId=lcl, dmeAct=R.DME_ACTION_ADD,
                      dmeUsrReqTp=R.DME_USER_REQ_ALL_ACC if accept_all
                      else R.DME_USER_REQ_MATCH_AUTO_ACC,
                      appId=int(aid), otherInfo=_text(other_info, "other_info"))
        try:
            self._serv_req("dme_user_serv_req", R.tDMEUserServReq, fields, f"use({aid})")
        except BaseException:
            if ours:
                self._lib.call("clear_dme_user_serv_req_index")(lcl)
            raise
        self._users[lcl] = (fields, ours)
        return lcl

    def unuse(self, lcl_app_id):
        """Ends a user service started with use(); waits for the confirm."""
        self._open()
        fields, ours = self._users.pop(int(lcl_app_id), (None, False))
        if fields is None:
            raise VestraError(-40961, f"unuse({lcl_app_id}): no such user service")
        if ours:
            self._lib.call("clear_dme_user_serv_req_index")(int(lcl_app_id))
        self._serv_req("dme_user_serv_req", R.tDMEUserServReq,
                       dict(fields, dmeAct=R.DME_ACTION_DEL), f"unuse({lcl_app_id})")

    # ---- counters -----------------------------------------------------------
    def stats(self):
        """This process's connection counters as the core keeps them
        (cv2x_app_conn_stats_ex, tV2XCtlClientEx) as one flat dict. A library
        without that call gives tV2XCtlClient's (no txGatedExpired,
        txGatedSuperseded); a core without the congestion gate gives 0 for
        those two."""
        self._open()
        if self._lib.has("cv2x_app_conn_stats_ex"):
            rec = R.tV2XCtlClientEx()
            check(self._lib.call("cv2x_app_conn_stats_ex")(C.byref(rec)),
                  "cv2x_app_conn_stats_ex")
            return rec.to_dict()
        rec = R.tV2XCtlClient()
        check(self._lib.call("cv2x_app_conn_stats")(C.byref(rec)), "cv2x_app_conn_stats")
        return rec.to_dict()

    def core_stats(self, socket_path=None):
        """The core's counters (vestra.core_stats) of this client's socket or another."""
        return _core_stats(socket_path or self.socket_path)


def _fail(fut, exc):
    if not fut.done():
        fut.set_exception(exc)


@atexit.register
def _close_at_exit():
    # The runtime thread must not call into an interpreter that is going away.
    c = _owner
    if c is not None:
        try:
            c.close()
        except Exception:
            pass
