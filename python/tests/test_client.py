"""The client on the real library and vcisim's demo car (UDS on CAN), all
on one Api (a construction costs the library's 500 ms settle pause). The
client's own logic: test_client_logic.py; the docs' example: test_docs.py."""

import os
import re
import shutil
import subprocess
import sys
import time

import pytest

import pdu7318
from conftest import LIBRARY

SCENARIO = "demo"
UDS = "RSC_ISO_15765_3_on_ISO_15765_2_6_14"
ENGINE = {1: {"CP_CanRespUSDTId": 0x7E8}}


def test_without_a_vci(sim_env, monkeypatch):
    """First in the module (before its Api). The module constructs without a
    VCI; the Api sees that no candidate port is held and ends the construction."""
    monkeypatch.setenv("PDU7318_PORTS", "/nonexistent/vci:/nonexistent/vci2")
    t0 = time.monotonic()
    with pytest.raises(pdu7318.VciNotFoundError) as e:
        pdu7318.Api(library=LIBRARY)
    assert time.monotonic() - t0 < 5.0  # at once, not after a link's timeouts
    assert str(e.value) == (
        "no VCI found: the VCI answered on none of the ports tried (/nonexistent/vci, /nonexistent/vci2, "
        "from PDU7318_PORTS). Connect the VCI or set PDU7318_PORTS to its port (colon-separated); "
        "pdutool doctor tells why each port failed. Api(require_vci=False) constructs without a VCI")
    # Existing handlers still catch it.
    assert isinstance(e.value, pdu7318.PduError) and e.value.ports == ["/nonexistent/vci", "/nonexistent/vci2"]
    # require_vci=False: the module constructs; the calls that need a VCI fail.
    assert (api := pdu7318.Api(library=LIBRARY, require_vci=False)).vci_port is None
    with pytest.raises(pdu7318.PduError) as e:
        api.battery_voltage()
    assert (e.value.call, e.value.code, e.value.name) == ("PDUIoCtl", 0x01, "PDU_ERR_FCT_FAILED")
    with pytest.raises(pdu7318.PduError) as e:
        api.close()
    # Not a lost VCI: the VCI never answered on this Api.
    assert (type(e.value), e.value.call, e.value.code, e.value.name) == (
        pdu7318.PduError, "PDUModuleDisconnect", 0x11, "PDU_ERR_COMM_PC_TO_VCI_FAILED")
    # No /proc/self/fd (another OS): construction goes on as before.
    monkeypatch.setattr(pdu7318.vci, "open_files", lambda: None)
    api = pdu7318.Api(library=LIBRARY)
    with pytest.raises(pdu7318.PduError):
        api.close()


HOLD = """import fcntl, os, sys
fcntl.flock(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK), fcntl.LOCK_EX)
print("held", flush=True)
sys.stdin.read()"""


def test_busy_port_and_broken_description(sim_env, monkeypatch, tmp_path):
    """Before the module's Api too: a port another program holds (here a
    process that takes the lock the module takes) is named busy, with its
    holder; an MDF.xml the parser refuses is named with the parser's
    message where a name is looked up."""
    port = sim_env["PDU7318_PORTS"]
    holder = subprocess.Popen([sys.executable, "-c", HOLD, port], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"held\n"
        with pytest.raises(pdu7318.VciNotFoundError) as e:
            pdu7318.Api(library=LIBRARY)
    finally:
        holder.communicate(timeout=5)
    assert type(e.value) is pdu7318.VciBusyError and e.value.port == port and str(e.value) == (
        "VCI port %s is busy - held by process %d (python3). Close that program, or end its session, and try again"
        % (port, holder.pid))
    home = tmp_path / "home"
    shutil.copytree(sim_env["PDU7318_HOME"], home)
    mdf = home / "MDF.xml"
    mdf.write_text(mdf.read_text()[:5000])  # cut off inside an element
    monkeypatch.setenv("PDU7318_HOME", str(home))
    with pdu7318.Api(library=LIBRARY) as api:
        with pytest.raises(pdu7318.UnknownNameError) as e:
            api.link(UDS)
    assert type(e.value) is pdu7318.MdfError and e.value.path == str(mdf) and re.fullmatch(
        r"the module description %s cannot be loaded: no element found: line \d+, column \d+\. "
        r"Reinstall it or restore a backup" % re.escape(str(mdf)), str(e.value)), str(e.value)


@pytest.fixture(scope="module")
def api(sim_env):
    with pdu7318.Api(library=LIBRARY) as a:
        yield a


def test_uds_session(api, sim_env):
    # First on the Api: its first link gets handle 1.
    assert repr(api) == "<pdu7318.Api %s, module 1, 0 links, events=callback>" % LIBRARY
    # PDU7318_PORTS names vcisim's symbolic link; the module holds its target.
    (module,), v = api.modules(), api.version()
    assert (api.vci_port, module.hmod, module.status_name, v.hw_name, v.fw_version, v.part2_standard_version,
            api.battery_voltage(), api.ignition()) == (sim_env["PDU7318_PORTS"], 1, "PDU_MODST_AVAIL", "QDM7318",
                                                       "1.2.0", "2.2.0", 12640, True)
    with api.link(UDS, params={"CP_P2Max": 50000}, unique=ENGINE) as link:
        assert repr(link) in ("<pdu7318.Link 1 %s, connected>" % UDS, "<pdu7318.Link 1 %s, PDU_CLLST_ONLINE>" % UDS)
        assert repr(api).endswith("module 1, 1 link, events=callback>")
        assert link.start_comm() == []
        (vin,) = link.send_recv("22 f1 90")
        assert (vin.data, vin.unique_id, vin.rx_flags) == (b"\x62\xf1\x90WDEMO7318SIM00042", 1, b"\x00\x00\x00\x00")
        assert vin.timestamp > 0 and vin.start_timestamp <= vin.timestamp
        # "Busy, repeat request": the module repeats, the second answer comes out.
        assert [r.data for r in link.send_recv(b"\x22\xf1\x99")] == [bytes.fromhex("62F19920261101")]
        # A negative answer is an answer, not an error.
        assert [r.data for r in link.send_recv([0xAA, 0x01])] == [bytes.fromhex("7FAA11")]
        prim = link.start(0x8004, "3E 00")
        assert prim.wait(5.0)
        assert repr(prim) == "<pdu7318.Primitive %d SENDRECV on link 1, finished, 1 result, 0 errors>" % prim.hcop
        link.stop_comm()
        assert [e.status_name for e in link.events()] == ["PDU_CLLST_ONLINE", "PDU_CLLST_COMM_STARTED"]
    # Closing waited for the disconnect's item, so none is left for the next link.
    assert (repr(link), link.link_status, api.item_balance) == (
        "<pdu7318.Link None %s, closed>" % UDS, "PDU_CLLST_OFFLINE", 0)


def test_functional_request_gets_every_table_entry(api):
    unique = [{"CP_CanRespUSDTId": 0x7E8}, {"CP_CanRespUSDTId": 0x7E9}]
    with api.link(UDS, params={"CP_RequestAddrMode": 2}, unique=unique) as link:
        results = link.send_recv(b"\x3e\x00", receive_cycles=-1)
    assert sorted((r.unique_id, r.data) for r in results) == [(1, b"\x7e\x00"), (2, b"\x7e\x00")]


def test_event_delivery_by_callback(api):
    seen = []
    with api.link(UDS, unique=ENGINE) as link:
        link.on_event = seen.append
        (r,) = link.send_recv(b"\x22\xf1\x90")
        assert r.data.endswith(b"WDEMO7318SIM00042")
    # The ComPrimitive's items, in the order they came.
    assert [(e.kind, e.status_name) for e in seen if e.hcop == r.hcop] == [
        ("status", "PDU_COPST_EXECUTING"), ("result", None), ("status", "PDU_COPST_FINISHED")]
    assert seen[[e.kind for e in seen].index("result")].response == r


def test_comparams_by_name(api):
    with api.link(UDS, unique=ENGINE, connect=False) as link:
        for name, value in (("CP_P2Max", 50000), ("CP_CanPhysReqId", 0x7E1), ("CP_TesterPresentMessage", b"\x3e\x80")):
            link.set_param(name, value)
            assert link.get_param(name) == value, name
        with pytest.raises(pdu7318.UnknownNameError, match="no ComParam CP_NoSuchThing"):
            link.get_param("CP_NoSuchThing")
        with pytest.raises(pdu7318.UnknownNameError) as e:
            link.get_param("cp_p2max")
        assert str(e.value) == ("the module knows no ComParam cp_p2max (names are case-sensitive); "
                                "did you mean CP_P2Max?")
        # The request goes to the gearbox now (0x7E1 asks, 0x7E9 answers).
        link.set_unique_table({7: {"CP_CanRespUSDTId": 0x7E9}})
        link.connect()
        (r,) = link.send_recv(b"\x3e\x00")
        assert (r.unique_id, r.data) == (7, b"\x7e\x00")


def test_errors_carry_code_and_name(api):
    for call, args, code, name in [("PDUConnect", (api.hmod, 999), 0x60, "PDU_ERR_INVALID_HANDLE"),
                                   ("PDUGetModuleIds", (None,), 0x50, "PDU_ERR_INVALID_PARAMETERS")]:
        with pytest.raises(pdu7318.PduError) as e:
            api.call(call, *args)
        assert (e.value.call, e.value.code, e.value.name) == (call, code, name)
        assert str(e.value) == "%s failed: %s (0x%X)" % (call, name, code)
    # A resource the module does not know (the module description's name: another case).
    for resource, text in [("rsc_iso_11898_raw_6_14", "the module knows no resource rsc_iso_11898_raw_6_14 (names "
                            "are case-sensitive); did you mean RSC_ISO_11898_RAW_6_14?"),
                           ("RSC_NOPE", "the module knows no resource RSC_NOPE (names are case-sensitive)")]:
        with pytest.raises(pdu7318.UnknownNameError) as e:
            api.link(resource)
        assert str(e.value) == text
    assert [pdu7318.status_name(c) for c in (0x11, 0x71, 0x1234)] == [
        "PDU_ERR_COMM_PC_TO_VCI_FAILED", "PDU_ERR_EVENT_QUEUE_EMPTY", "0x1234(unknown)"]


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_items_are_released(api):
    """100,000 item-returning calls: every item released, no growth."""
    with api.link(UDS, unique=ENGINE) as link:
        for calls in (2000, 50000):  # a warm-up (caches, allocator pools), then the measured calls
            before = _rss_kib()
            for _ in range(calls):
                link.get_param("CP_P2Max")
                api.modules()
        grown = _rss_kib() - before
        for _ in range(100):
            link.send_recv(b"\x3e\x00")
        assert api.items_taken >= 104000 and api.item_balance == 0
    # A leak of one item per call would be several megabytes here.
    assert grown < 512, "resident memory grew by %d KiB over 100,000 calls" % grown
