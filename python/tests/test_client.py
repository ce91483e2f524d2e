# SPDX-License-Identifier: Apache-2.0
"""The binding against real cores: two stations through radio-sim."""
import asyncio
import os
import subprocess
import sys

import pytest

import vestra
from conftest import Net, free_ports, peer_lines, wait_for, SOURCE_DIR


def test_errors_carry_code_and_name(tmp_path):
    assert vestra.VestraError(-10).name == "ERR_V2X_SOCKET_CONECT"
    assert vestra.VestraError(-40967).name == "ERR_V2X_SEND_LEN"
    assert vestra.VestraError(-99).name == "ERR_V2X_UNKNOWN"
    with pytest.raises(vestra.VestraError) as e:
        vestra.Client(str(tmp_path / "nobody.sock"))
    assert (e.value.code, e.value.name) == (-10, "ERR_V2X_SOCKET_CONECT")
    with pytest.raises(vestra.VestraError) as e:
        vestra.core_stats(str(tmp_path / "nobody.sock"))
    assert e.value.name == "ERR_V2X_SOCKET_CONECT"
    # a failed start leaves no runtime behind: another attempt is allowed
    rcv, send = free_ports(2)
    sock = str(tmp_path / "own.sock")
    with pytest.raises(vestra.VestraError) as e:  # an address that is not this machine's
        vestra.Client(sock, attach=False, rcv_ip="192.0.2.1", rcv_port=rcv, send_port=send)
    assert e.value.name == "ERR_V2X_SOCKET_BIND"
    # a core of this process's own
    with vestra.Client(sock, attach=False, rcv_port=rcv, send_port=send,
                       mac="02:00:00:00:00:0a") as c:
        assert c.connected and c.core_stats()["appConnections"] == 1


def test_exchange_with_options_counters_and_asyncio(net):
    peer = net.peer("B", "recv", "26", "1")
    wait_for(lambda: peer_lines(peer, "ready"), 10, "peer registration: " + peer.errors())
    before = vestra.core_stats(net.sock["B"])
    with vestra.Client(net.sock["A"]) as a:
        with pytest.raises(RuntimeError, match="one client runtime per process"):
            vestra.Client(net.sock["A"])
        a.register(30)
        with pytest.raises(vestra.VestraError) as e:
            a.register(30)  # the library's own table refuses a second one
        assert e.value.name == "ERR_V2X_PRIM_ACTION"
        with pytest.raises(vestra.VestraError) as e:
            a.send(26, b"x", ext=(1, bytes(254)))
        assert e.value.name == "ERR_V2X_PARM_CONT"
        with pytest.raises(vestra.VestraError) as e:
            a.send(26, bytes(3000))
        assert e.value.name == "ERR_V2X_SEND_LEN"
        a.send(26, b"hello\x00v2x", priority=7, lifetime_ms=2000, supersede=True,
               ext=(3, b"\x01\x02"))
        got = wait_for(lambda: peer_lines(peer, "msg"), 10, "B's message: " + peer.errors())[0]
        assert (got["aid"], bytes.fromhex(got["data"])) == (26, b"hello\x00v2x")
        if got["flags"]:  # a core that fills receive records hands the extension up
            assert got["ext"] == [3, "0102"]
        # B's answer, on AID 30, through asyncio
        m = asyncio.run(a.receive_async(timeout=10))
        assert (m.aid, m.data) == (30, b"x2v\x00olleh")
        with pytest.raises(TimeoutError):
            asyncio.run(a.receive_async(timeout=0.05))
        with pytest.raises(TimeoutError):
            a.receive(timeout=0.01)
        mine = a.stats()
        assert mine["txSent"] >= 1 and mine["msgsIn"] >= 2 and mine["refusedLen"] == 0
        assert mine["txGatedExpired"] == 0 and mine["txGatedSuperseded"] == 0  # the gate is off
        core_a = a.core_stats()
        assert core_a["txDatagrams"] >= 1 and core_a["appConnections"] >= 1
        assert core_a["size"] == 768 and core_a["version"] == 1
        assert core_a["ccRule"] == vestra.records.V2X_CC_RULE_OFF
        assert core_a["ccIntervalUs"] == [0] * 8
        a.unregister(30)
    after = vestra.core_stats(net.sock["B"])
    assert after["rxIndications"] - before["rxIndications"] >= 1
    assert after["txDatagrams"] - before["txDatagrams"] >= 1
    assert peer.p.wait(10) == 0, peer.errors()
    assert peer_lines(peer, "stats")[0]["txSent"] >= 1


def test_provider_and_user_services_with_confirms(net):
    peer = net.peer("B", "use", "135")
    ready = wait_for(lambda: peer_lines(peer, "ready"), 10, "B's user service: " + peer.errors())
    assert ready[0]["lcl"] == 0
    with vestra.Client(net.sock["A"]) as a:
        lcl = a.provide(135, rate=5, hdr_ext="A:py", other_info="python provider")
        with pytest.raises(vestra.RefusedError) as e:
            a.provide(135, lcl_app_id=lcl)  # the core's table has it already
        assert e.value.name == "DME_RET_REJ_VAL_ERR"
        assert a.core_stats()["mgmtProviders"] >= 1
        # its advertisements reach B's user
        adv = wait_for(lambda: peer_lines(peer, "msg"), 10, "an advertisement at B")[0]
        assert adv["aid"] == 135 and b"A:py" in bytes.fromhex(adv["data"]), adv
        a.unprovide(lcl)
        assert a.core_stats()["mgmtProviders"] == 0
        with pytest.raises(vestra.VestraError):
            a.unprovide(lcl)


def test_echo_example_prints_what_it_hears(net):
    env = dict(os.environ, PYTHONPATH=os.path.join(SOURCE_DIR, "python"),
               PYTHONDONTWRITEBYTECODE="1")
    echo = subprocess.Popen([sys.executable, os.path.join(SOURCE_DIR, "examples/python/echo.py"),
                             net.sock["B"], "--seconds", "20", "--count", "1"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert echo.stdout.readline().startswith("listening"), echo.stderr.read()
        with vestra.Client(net.sock["A"]) as a:
            a.send(77, b"ping", priority=3)
            out, err = echo.communicate(timeout=20)
    finally:
        echo.kill()
    assert echo.returncode == 0, err
    assert "aid=77 len=4" in out, out


def test_receive_record_matches_what_radio_sim_sent(tmp_path):
    # The core fills receive records from radio-sim's receive-record datagrams
    # (--rx-record); positions turn the channel model on, which gives an RSSI.
    n = Net(tmp_path, ["--rx-record", "--position", "A,0,0", "--position", "B,40,0"])
    try:
        peer = n.peer("B", "recv", "26", "1")
        wait_for(lambda: peer_lines(peer, "ready"), 10, "peer registration: " + peer.errors())
        with vestra.Client(n.sock["A"]) as a:
            # the model may lose a frame: send until B has one
            def heard():
                if not peer_lines(peer, "msg"):
                    a.send(26, b"rec", priority=7, lifetime_ms=500, supersede=True)
                return peer_lines(peer, "msg")
            got = wait_for(heard, 20, "B's message: " + peer.errors())[-1]
        assert peer.p.wait(20) == 0, peer.errors()
        links = n.links()
        if not got["flags"]:
            pytest.skip("the core hands up no receive record (flags 0): the core's receive "
                        "records (cv2x_app_set_rx_info, V2X_DSM_IND_EX) are not in this libvestra")
        station = {s["name"]: s for s in links["stations"]}
        link = next(l for l in links["links"] if l["from"] == "A" and l["to"] == "B")
        assert link["records"] >= 1
        assert got["src"] == station["A"]["l2_id"]
        assert got["rssi"] == link["rssi_half_db"]
        stats = vestra.core_stats(n.sock["B"])
        assert stats["rxRecDatagrams"] >= 1 and stats["rxIndRecords"] >= 1
    finally:
        n.close()
