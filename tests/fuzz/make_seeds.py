#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the seed inputs of every fuzz target into corpus/<target>/seed-*.

Run from anywhere; the files are checked in, so this only needs running
again when the seeds change. Inputs found by fuzzing are added next to them
under other names and are never rewritten here."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, seeds):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for i, s in enumerate(seeds):
        with open(os.path.join(d, "seed-%02d" % i), "wb") as f:
            f.write(bytes(s))


def msg(t, payload):
    return struct.pack("<IH", t, len(payload)) + bytes(payload)


# Frames from the air: protocol type 4, then the frame.
air = [
    [4, 0x00, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63],                  # 1-byte AID
    [4, 0x00, 0x80, 0x07, 0x00, 0x02, 0x01, 0x02],                  # 2-byte AID 135
    [4, 0x08, 0x05, 0x02, 0xAA, 0xBB, 0x20, 0x00, 0x03, 0x61, 0x62, 0x63],  # extension
    [4, 0x00, 0x87, 0x00, 0x02, 0xDE, 0xAD],                        # management frame
    [4, 0x08, 0x01, 0x20] + list(range(1, 33)) + [0xBF, 0xFF, 0x00, 0x01, 0x99],  # longest ext, AID 16511
    [4, 0x08, 0x05, 0x00, 0x20, 0x00, 0x01, 0x41],                  # empty extension
    [4, 0x03, 0x11, 0x00, 0x00],                                    # version 3, no data
    [4, 0x00, 0x20, 0x00, 0x09, 0x61],                              # length too long
    [4, 0xC0, 0xC0, 0x00],                                          # bad AID form
    [4, 0x00, 0x20, 0x07, 0xF5] + [0x55] * 2037,                    # long frame
]
write("air_frame", air)


def dsm_req(aid, data, ext=b""):
    head = struct.pack("<IBB6s", aid, 4, 1, b"\xff" * 6)
    exts = bytearray(256)
    if ext:
        exts[0] = 5
        exts[1] = len(ext)
        exts[2:2 + len(ext)] = ext
    return msg(0, head + bytes(exts) + struct.pack("<H", len(data)) + data)


def dsm_serv(index, action, aid, every):
    return msg(7, struct.pack("<HIIB", index, action, aid, every))


def prov(lcl, act, aid, rate):
    return msg(3, struct.pack("<HIIB", lcl, act, aid, rate) + b"ext".ljust(256, b"\0") +
               b"info".ljust(256, b"\0"))


def user(lcl, act, tp, aid):
    return msg(5, struct.pack("<HIII", lcl, act, tp, aid) + bytes(256))


def dsm_req_ex(aid, data, life, supersede, rsvd=0):
    plain = dsm_req(aid, data)[6:]
    return msg(0x5610, struct.pack("<IBBBBQ", life, supersede, rsvd, 0, 0, 0) + plain)


stream = dsm_serv(0, 0, 32, 0) + dsm_req(32, b"hello") + prov(1, 0, 40, 10) + user(1, 0, 0, 40)
app = [
    [0x00] + list(dsm_serv(0, 0, 0, 1)),
    [0xE0] + list(dsm_req(32, b"x" * 300, b"\x01\x02")),
    [0x45] + list(stream),
    [0x80] + list(stream + stream),
    [0x20] + list(msg(0, b"\0" * 10) + dsm_serv(1, 0, 5, 0)),       # short request, then lost framing
    [0xA0] + list(msg(99, b"abc") + stream),                        # unknown type
    [0xC1] + list(dsm_req(200, b"y" * 1500)),
    [0x60] + list(dsm_req(5, b"z" * 4)[:-3]),                        # ends inside a message
    [0x45] + list(dsm_req_ex(26, b"bsm", 100, 1) * 3 + dsm_req_ex(26, b"r", 0, 0, 1)),  # options
    [0x21] + list(msg(0x5610, b"\0" * 285) + stream),                 # options without the head
]
write("app_stream", app)


def ind(aid, data, ver=0, prio=2):
    return msg(2, struct.pack("<BI6sBH", ver, aid, b"\x01\x02\x03\x04\x05\x06", prio, len(data)) + data)


cfm = msg(1, struct.pack("<II", 32, 0))
pcfm = msg(4, struct.pack("<HI", 1, 0))
ucfm = msg(6, struct.pack("<HI", 1, 0))
core = ind(32, b"abc") + cfm + ind(17, b"q" * 100) + pcfm + ucfm + ind(135, b"")
client = [
    [0x00] + list(ind(32, b"abc")),
    [0x40] + list(core),
    [0xE0] + list(core + ind(32, b"w" * 4076)),
    [0x20] + list(ind(32, b"abc") + msg(2, b"\0" * 5) + ind(33, b"d")),  # short indication
    [0x80] + list(msg(40, b"") + core),                                  # impossible type
    [0xA3] + list(msg(2, struct.pack("<BI6sBH", 0, 1, bytes(6), 0, 9) + b"abc")),  # lengths disagree
    [0x61] + list(msg(9, b"reserved") + core),
]
write("client_reader", client)
# The system reader: byte 1 also picks the caller's buffer size.
write("sys_reader", [[c[0], i] + c[1:] for i, c in enumerate(client)] + [[0xE0, 7] + list(core)])

write("base64", [b"", b"f", b"fo", b"foo", b"\x07QUJD", b"\x03QQ==", b"\x10Zm9vYmFy", b"\x20a b=",
                 bytes(range(256))])

key = bytes(range(16))
iv = bytes(range(16, 32))
write("aes_cbc", [key + iv, key + iv + b"A" * 16, key + iv + b"B" * 17, key + iv + bytes(range(64)),
                  key + iv + b"C" * 100, bytes(32) + b"tail"])
