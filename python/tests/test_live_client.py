"""The client (no python-can) on data/scenarios/busy-bus.json: a ComPrimitive
that keeps receiving never ends on its own there; closing the Api still
ends in bounded time, with CLOSE on the wire."""

import time

import pytest

import pdu7318
from conftest import LIBRARY
from test_busy_bus import BUSY, STALLED, Traced

RAW = "RSC_ISO_11898_RAW_6_14"
UDS = "RSC_ISO_15765_3_on_ISO_15765_2_6_14"


def test_close_ends_a_stream(tmp_path, monkeypatch):
    t = Traced(tmp_path, BUSY, monkeypatch)
    api = None
    try:
        api = pdu7318.Api(library=LIBRARY)
        link = api.link(RAW)
        link.start_comm()
        got = []
        prim = link.start(0x8004, "10 07 00 00 02 10 03", receive_cycles=-1, on_result=got.append)
        if prim.wait(1.0):  # the bus never falls quiet, but the machine may stall
            pytest.skip(STALLED % "closing the Api during a stream")
        assert len(got) > 100  # ~1000 on a quiet machine; the point is that frames stream
        t0 = time.monotonic()
        api.close()
        took = time.monotonic() - t0
        assert took <= 2.0, "close took %.3f s" % took
        assert any("PC->VCI" in ln and " CLOSE" in ln for ln in t.lines())
        assert api.item_balance == 0
    finally:
        if api is not None:
            api.close()  # a failed check must not leave the module constructed for the next test
        t.stop()


def test_uds_on_a_busy_bus(tmp_path, monkeypatch):
    t = Traced(tmp_path, BUSY, monkeypatch)
    try:
        with pdu7318.Api(library=LIBRARY) as api:
            with api.link(UDS, unique={1: {"CP_CanRespUSDTId": 0x7E8}}) as link:
                link.start_comm()
                (vin,) = link.send_recv("22 F1 90", timeout=5.0)
                assert vin.data == b"\x62\xf1\x90WBUSYBUS7318LIVE1"
                # Three "response pending" answers 400 ms apart, then the result.
                t0 = time.monotonic()
                (r,) = link.send_recv("31 01 02 03", timeout=5.0)
                assert r.data == bytes.fromhex("7101020300")
                assert 1.1 < time.monotonic() - t0 < 3.0
                link.stop_comm()
    finally:
        t.stop()
