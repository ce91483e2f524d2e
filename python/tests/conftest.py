# SPDX-License-Identifier: Apache-2.0
"""Stations on loopback for the binding's tests: radio-sim and two
v2x-station --serve processes with their own files, sockets and free ports.

ctest sets VESTRA_LIB_DIR (the built libraries), VESTRA_RADIO_SIM and
VESTRA_STATION (the built programs), VESTRA_SOURCE_DIR and, for the layout
test, VESTRA_TEST_CC and VESTRA_TEST_CFLAGS.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("VESTRA_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "python"))


def program(var):
    path = os.environ.get(var)
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"{var} does not name a built program")
    return path


def free_ports(n):
    """Distinct free UDP ports on 127.0.0.1 (held together while chosen),
    never one of traceroute's (33434-33534), as the C tests choose them."""
    held, ports = [], []
    try:
        while len(ports) < n and len(held) < n + 200:
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            held.append(s)
            p = s.getsockname()[1]
            if not 33434 <= p <= 33534:
                ports.append(p)
    finally:
        for s in held:
            s.close()
    return ports


def wait_for(cond, timeout, what):
    """Polls cond until it returns a true value; fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.02)


class Proc:
    """A child with its standard output and error in files."""

    def __init__(self, args, tmp, name, env=None):
        self.out = os.path.join(tmp, name + ".out")
        self.err = os.path.join(tmp, name + ".err")
        with open(self.out, "wb") as o, open(self.err, "wb") as e:
            self.p = subprocess.Popen(args, stdout=o, stderr=e, stdin=subprocess.DEVNULL,
                                      env=env)

    def text(self):
        with open(self.out, errors="replace") as f:
            return f.read()

    def errors(self):
        with open(self.err, errors="replace") as f:
            return f.read()

    def wait_text(self, text, timeout=10, stderr=False):
        return wait_for(lambda: text in (self.errors() if stderr else self.text())
                        or self.p.poll() is not None and text in (
                            self.errors() if stderr else self.text()),
                        timeout, f"{text!r} from {self.p.args[0]}: {self.errors()[-400:]}")

    def stop(self):
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGTERM)
            try:
                self.p.wait(10)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()


class Net:
    """radio-sim with stations A and B, each a core serving its socket."""

    def __init__(self, tmp, radio_args=()):
        self.tmp = str(tmp)
        self.procs = []
        ports = free_ports(4)
        self.sock = {}
        self.link_stats = os.path.join(self.tmp, "links.json")
        station_args = []
        for i, name in enumerate("AB"):
            send, rcv = ports[2 * i], ports[2 * i + 1]
            sock = os.path.join(self.tmp, f"{name}.sock")
            cfg = os.path.join(self.tmp, f"{name}.cfg")
            with open(cfg, "w") as f:
                f.write(f'station = {{\n  name = "{name}";\n  dmnNme = "{sock}";\n'
                        f'  sendIp = "127.0.0.1";\n  sendPort = {send};\n'
                        f'  rcvIp = "127.0.0.1";\n  rcvPort = {rcv};\n'
                        f'  macAddr = "02:00:00:00:00:0{i + 1}";\n}};\n')
            self.sock[name] = sock
            station_args += ["--station", f"{name},127.0.0.1:{send},127.0.0.1:{rcv}"]
            self.__dict__["cfg_" + name] = cfg
        self.radio = self._start([program("VESTRA_RADIO_SIM"), "--quiet", "--link-stats",
                                  self.link_stats, *radio_args, *station_args], "radio-sim")
        self.radio.wait_text("radio-sim: ready", stderr=True)
        for name in "AB":
            st = self._start([program("VESTRA_STATION"), "-c", self.__dict__["cfg_" + name],
                              "--serve"], "station-" + name)
            st.wait_text("READY serving")

    def _start(self, args, name):
        p = Proc(args, self.tmp, name)
        self.procs.append(p)
        return p

    def peer(self, station, *args):
        """A second client process (one runtime per process) on a station."""
        env = dict(os.environ, PYTHONPATH=os.path.join(SOURCE_DIR, "python"),
                   PYTHONDONTWRITEBYTECODE="1")
        p = Proc([sys.executable, os.path.join(HERE, "peer.py"), self.sock[station], *args],
                 self.tmp, f"peer-{len(self.procs)}", env)
        self.procs.append(p)
        return p

    def links(self):
        """radio-sim's --link-stats, written when it stops."""
        self.radio.stop()
        with open(self.link_stats) as f:
            return json.load(f)

    def close(self):
        for p in reversed(self.procs):
            p.stop()


@pytest.fixture
def net(tmp_path):
    n = Net(tmp_path)
    yield n
    n.close()


def peer_lines(proc, kind):
    """The JSON lines of one kind a peer printed so far."""
    out = []
    for line in proc.text().splitlines():
        if line.startswith("{"):
            d = json.loads(line)
            if d.get("kind") == kind:
                out.append(d)
    return out
