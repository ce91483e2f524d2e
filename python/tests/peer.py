# SPDX-License-Identifier: Apache-2.0
"""The second station's application in the binding's tests (a process of its
own: one client runtime per process). Attaches to argv[1], then by mode:
  recv AID N   registers AID with receive records, prints each message as a
               JSON line, answers each on AID+4 with the data reversed, and
               exits after N messages
  use AID      starts a user service for AID, registers AID (the providers'
               advertisements), prints its lclAppId, then each message as
               recv does, until stopped
Prints {"kind": "ready"} once set up."""
import json
import sys

import vestra


def msg_line(m):
    rx = m.rx_info
    return json.dumps({"kind": "msg", "aid": m.aid, "data": m.data.hex(), "ver": m.dsmp_ver,
                       "src": rx and rx.src_l2_id, "rssi": rx and rx.rssi_half_db,
                       "flags": rx and rx.flags,
                       "ext": rx and rx.ext and [rx.ext[0], rx.ext[1].hex()]})


def main():
    path, mode = sys.argv[1], sys.argv[2]
    with vestra.Client(path) as c:
        if mode == "recv":
            aid, n = int(sys.argv[3]), int(sys.argv[4])
            c.set_rx_info(True)
            c.register(aid)
            print(json.dumps({"kind": "ready"}), flush=True)
            for _ in range(n):
                m = c.receive(timeout=20)
                print(msg_line(m), flush=True)
                c.send(aid + 4, m.data[::-1], priority=7)
            # what the answers became before leaving
            print(json.dumps({"kind": "stats", **c.stats()}), flush=True)
        elif mode == "use":
            lcl = c.use(int(sys.argv[3]))
            c.register(int(sys.argv[3]))
            print(json.dumps({"kind": "ready", "lcl": lcl}), flush=True)
            for m in c.messages(timeout=60):
                print(msg_line(m), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
