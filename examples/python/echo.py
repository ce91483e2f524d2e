#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# Prints every message a station hears: attaches to the socket of a running
# core (a station started with `v2x-station -c FILE --serve`, or the service),
# registers every AID, asks for receive records and prints one line a
# message: its AID, its length, and the sender's layer-2 id and RSSI when
# the radio module reports them.
#
#   python3 examples/python/echo.py /tmp/v2x-demo-b.sock
#   python3 examples/python/echo.py SOCKET --seconds 10 --count 5
#
# With the libraries of a build tree instead of the installed ones:
#   VESTRA_LIB_DIR=build/morrow:build/vestra PYTHONPATH=python python3 examples/python/echo.py SOCKET
import argparse
import sys
import time

import vestra


def describe(m):
    rx = m.rx_info
    src = "-" if rx is None or rx.src_l2_id is None else f"0x{rx.src_l2_id:06x}"
    rssi = "-" if rx is None or rx.rssi_dbm is None else f"{rx.rssi_dbm:.1f} dBm"
    return f"aid={m.aid} len={len(m.data)} src={src} rssi={rssi}"


def main():
    ap = argparse.ArgumentParser(description="print what a station hears")
    ap.add_argument("socket", help="the station core's application socket")
    ap.add_argument("--seconds", type=float, default=0, help="stop after this long (0: never)")
    ap.add_argument("--count", type=int, default=0, help="stop after this many (0: never)")
    a = ap.parse_args()
    deadline = time.monotonic() + a.seconds if a.seconds > 0 else None
    heard = 0
    with vestra.Client(a.socket) as c:
        c.register(0, all_aids=True)
        try:
            c.set_rx_info(True)
        except NotImplementedError:
            pass  # an older library: no source or RSSI then
        print(f"listening on {a.socket}", flush=True)
        while a.count == 0 or heard < a.count:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                break
            try:
                m = c.receive(timeout=left)
            except TimeoutError:
                break
            heard += 1
            print(describe(m), flush=True)
    return 0 if a.count == 0 or heard >= a.count else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(0)
