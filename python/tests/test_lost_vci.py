"""A VCI pulled mid-session (vcisim --unplug-after N): the client raises
VciLostError at once, python-can raises can.CanOperationError."""

import time

import pytest

import pdu7318
from conftest import LIBRARY, Sim, environment

UDS = "RSC_ISO_15765_3_on_ISO_15765_2_6_14"
RAW = "RSC_ISO_11898_RAW_6_14"
ENGINE = {1: {"CP_CanRespUSDTId": 0x7E8}}


def frames_until_started(tmp, monkeypatch, scenario, resource, unique):
    """The frames the library sends up to and including the STARTCOMM of a
    link on resource, counted in a healthy run's trace."""
    sim = Sim(str(tmp / "count"), scenario, ["--trace"])
    try:
        for k, v in environment(str(tmp / "count"), sim.port).items():
            monkeypatch.setenv(k, v)
        with pdu7318.Api(library=LIBRARY) as api:
            with api.link(resource, unique=unique) as link:
                link.start_comm()
        with open(sim.log_path) as f:
            lines = [ln for ln in f.read().splitlines() if "PC->VCI" in ln]
    finally:
        sim.stop()
    return next(i for i, ln in enumerate(lines) if "STARTCOMM" in ln) + 1


def unplugged_after_start(tmp, monkeypatch, scenario, resource, unique=None):
    (tmp / "count").mkdir()
    (tmp / "run").mkdir()
    n = frames_until_started(tmp, monkeypatch, scenario, resource, unique)
    sim = Sim(str(tmp / "run"), scenario, ["--unplug-after", str(n)])
    for k, v in environment(str(tmp / "run"), sim.port).items():
        monkeypatch.setenv(k, v)
    return sim


def test_client_raises_vci_lost(tmp_path, monkeypatch):
    sim = unplugged_after_start(tmp_path, monkeypatch, "demo", UDS, ENGINE)
    try:
        api = pdu7318.Api(library=LIBRARY)
        link = api.link(UDS, unique=ENGINE)
        link.start_comm()
        sim.proc.wait(5)  # the port is gone
        t0 = time.monotonic()
        with pytest.raises(pdu7318.VciLostError) as e:
            link.send_recv("3E 00", timeout=5.0)
        assert time.monotonic() - t0 < 0.5
        assert (e.value.code, e.value.name) == (0x106, "PDU_ERR_EVT_LOST_COMM_TO_VCI")
        assert isinstance(e.value, pdu7318.PrimitiveError) and isinstance(e.value, pdu7318.PduError)
        assert api.vci_lost
        with pytest.raises(pdu7318.VciLostError) as e:
            api.battery_voltage()
        assert (e.value.call, e.value.code) == ("PDUIoCtl", 0x11)
        with pytest.raises(pdu7318.PduError):
            api.close()
    finally:
        sim.stop()


def test_python_can_raises_operation_error(tmp_path, monkeypatch):
    can = pytest.importorskip("can")
    sim = unplugged_after_start(tmp_path, monkeypatch, "rawcan", RAW)
    try:
        bus = can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY)
        sim.proc.wait(5)
        t0 = time.monotonic()
        with pytest.raises(can.CanOperationError) as e:
            bus.send(can.Message(arbitration_id=0x710, is_extended_id=False, data=[1, 0x3E]), timeout=1.0)
            bus.recv(2.0)
        assert time.monotonic() - t0 < 0.5
        assert isinstance(e.value.__cause__, pdu7318.VciLostError)
        t0 = time.monotonic()
        try:
            bus.shutdown()
        except can.CanError:
            pass  # a link that cannot be disconnected any more says so; nothing else escapes
        assert time.monotonic() - t0 < 2.0
    finally:
        sim.stop()
