# SPDX-License-Identifier: Apache-2.0
"""The ctypes records against the C headers: every field's offset and every
record's size as the C compiler lays them out, and the receive-info view."""
import ctypes as C
import os
import shlex
import subprocess

import pytest

import vestra
from vestra import records as R


def test_every_record_matches_the_c_headers(tmp_path):
    cc = os.environ.get("VESTRA_TEST_CC")
    if not cc:
        pytest.skip("VESTRA_TEST_CC (the C compiler) is not set: ctest sets it")
    lines = []
    want = []
    for cls in R.RECORDS:
        n = cls.__name__
        lines.append(f'printf("{n} %zu\\n", sizeof({n}));')
        want.append(f"{n} {C.sizeof(cls)}")
        for f, _ in cls._fields_:
            lines.append(f'printf("{n}.{f} %zu\\n", offsetof({n}, {f}));')
            want.append(f"{n}.{f} {getattr(cls, f).offset}")
    src = tmp_path / "layout.c"
    src.write_text("#include <stdio.h>\n#include <stddef.h>\n#include <vestra/cv2x_app.h>\n"
                   "int main(void)\n{\n" + "\n".join(lines) + "\nreturn 0;\n}\n")
    exe = tmp_path / "layout"
    subprocess.run([cc, *shlex.split(os.environ.get("VESTRA_TEST_CFLAGS", "")), "-o", str(exe),
                    str(src)], check=True)
    got = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout
    assert got.split("\n")[:-1] == want


def test_rx_info_view_honours_flags_and_size():
    rec = R.tDSMRxInfo(size=72, dsmpVer=3, flags=R.V2X_RX_INFO_HAS_SRC | R.V2X_RX_INFO_HAS_RSSI,
                       srcL2Id=0xABCDEF, rssiHalfDb=-181, cbrPermille=400, extId=9, extLen=2,
                       secResult=R.V2X_RX_SEC_UNSIGNED)
    rec.extVal[0], rec.extVal[1] = 0xAA, 0xBB
    rx = vestra.RxInfo.from_record(rec)
    assert (rx.src_l2_id, rx.rssi_half_db, rx.rssi_dbm) == (0xABCDEF, -181, -90.5)
    assert (rx.cbr, rx.rx_mono_us, rx.signer_id) == (None, None, None)  # flags clear
    assert rx.ext == (9, b"\xaa\xbb") and rx.sec_result == vestra.RX_SEC_UNSIGNED
    rec.flags |= R.V2X_RX_INFO_HAS_CBR
    assert vestra.RxInfo.from_record(rec).cbr == 0.4
    rec.size = 24  # a core that filled less: the fields beyond are not known
    rx = vestra.RxInfo.from_record(rec)
    assert rx.src_l2_id == 0xABCDEF and rx.rssi_dbm is None and rx.ext is None
    rec.size, rec.extLen = 72, 200  # a length beyond the value field is refused
    assert vestra.RxInfo.from_record(rec).ext is None
