"""The client against vcisim's demo car (UDS on CAN)."""

import os
import re
import subprocess
import sys

import pytest

import pdu7318
from conftest import HERE, LIBRARY, REPO

SCENARIO = "demo"
UDS = "RSC_ISO_15765_3_on_ISO_15765_2_6_14"
ENGINE = {1: {"CP_CanRespUSDTId": 0x7E8}}


def test_module_readings(api):
    (module,) = api.modules()
    assert (module.hmod, module.status_name) == (1, "PDU_MODST_AVAIL")
    v = api.version()
    assert (v.hw_name, v.fw_version, v.part2_standard_version) == ("QDM7318", "1.2.0", "2.2.0")
    assert api.battery_voltage() == 12640
    assert api.ignition() is True


def test_uds_session(api):
    with api.link(UDS, params={"CP_P2Max": 50000}, unique=ENGINE) as link:
        assert link.start_comm() == []
        (vin,) = link.send_recv(b"\x22\xf1\x90")
        assert vin.data == b"\x62\xf1\x90WDEMO7318SIM00042"
        assert vin.unique_id == 1
        assert vin.rx_flags == b"\x00\x00\x00\x00"
        assert vin.timestamp > 0 and vin.start_timestamp <= vin.timestamp
        # Three "response pending" answers are the module's business: one result.
        assert [r.data for r in link.send_recv(b"\x31\x01\x02\x03")] == [bytes.fromhex("7101020300")]
        # "Busy, repeat request": the module repeats, the second answer comes out.
        assert [r.data for r in link.send_recv(b"\x22\xf1\x99")] == [bytes.fromhex("62F19920261101")]
        # A negative answer is an answer, not an error.
        assert [r.data for r in link.send_recv(b"\xaa\x01")] == [bytes.fromhex("7FAA11")]
        link.stop_comm()
        assert [e.status_name for e in link.events()] == ["PDU_CLLST_ONLINE", "PDU_CLLST_COMM_STARTED"]
    # Closing waited for the disconnect's item, so none is left for the next link.
    assert link.link_status == "PDU_CLLST_OFFLINE"
    assert api.item_balance == 0


def test_request_forms_and_reprs(api):
    assert repr(api) == "<pdu7318.Api %s, module 1, 0 links, events=callback>" % LIBRARY
    with api.link(UDS, unique=ENGINE) as link:
        assert repr(link) in ("<pdu7318.Link 1 %s, connected>" % UDS, "<pdu7318.Link 1 %s, PDU_CLLST_ONLINE>" % UDS)
        assert repr(api).endswith("module 1, 1 link, events=callback>")
        for request in ("22F190", "22 f1 90", [0x22, 0xF1, 0x90], bytearray(b"\x22\xf1\x90")):
            (vin,) = link.send_recv(request)
            assert vin.data == b"\x62\xf1\x90WDEMO7318SIM00042", request
        prim = link.start(0x8004, "3E 00")
        assert prim.wait(5.0)
        assert repr(prim) == "<pdu7318.Primitive %d SENDRECV on link 1, finished, 1 result, 0 errors>" % prim.hcop
        with pytest.raises(ValueError, match="not a hex request: '22F1G0'"):
            link.send_recv("22F1G0")
    assert repr(link) == "<pdu7318.Link None %s, closed>" % UDS


def test_functional_request_gets_every_table_entry(api):
    unique = [{"CP_CanRespUSDTId": 0x7E8}, {"CP_CanRespUSDTId": 0x7E9}]
    with api.link(UDS, params={"CP_RequestAddrMode": 2}, unique=unique) as link:
        results = link.send_recv(b"\x3e\x00", receive_cycles=-1)
    assert sorted((r.unique_id, r.data) for r in results) == [(1, b"\x7e\x00"), (2, b"\x7e\x00")]


def test_event_delivery_by_callback(sim_env):
    seen = []
    with pdu7318.Api(library=LIBRARY, events="callback") as api:
        with api.link(UDS, unique=ENGINE) as link:
            link.on_event = seen.append
            (r,) = link.send_recv(b"\x22\xf1\x90")
            assert r.data.endswith(b"WDEMO7318SIM00042")
    # The ComPrimitive's items, in the order they came.
    assert [(e.kind, e.status_name) for e in seen if e.hcop == r.hcop] == [
        ("status", "PDU_COPST_EXECUTING"), ("result", None), ("status", "PDU_COPST_FINISHED")]
    assert seen[[e.kind for e in seen].index("result")].response == r


def test_event_delivery_by_polling(sim_env):
    with pdu7318.Api(library=LIBRARY, events="poll") as api:
        with api.link(UDS, unique=ENGINE) as link:
            assert [(e.kind, e.status_name, e.hcop) for e in link.events(timeout=2.0)] == [
                ("status", "PDU_CLLST_ONLINE", 0xFFFFFFFF)]
            (r,) = link.send_recv(b"\x22\xf1\x90")
            assert r.data.endswith(b"WDEMO7318SIM00042")
            assert link.events() == []  # the ComPrimitive took its own items
        assert api.item_balance == 0


def test_comparams_by_name(api):
    with api.link(UDS, unique=ENGINE, connect=False) as link:
        cases = [  # name, value set, value read back
            ("CP_P2Max", 50000, 50000),
            ("CP_CanPhysReqId", 0x7E1, 0x7E1),
            ("CP_TesterPresentMessage", b"\x3e\x80", b"\x3e\x80"),
        ]
        for name, value, expected in cases:
            link.set_param(name, value)
            assert link.get_param(name) == expected, name
        with pytest.raises(pdu7318.UnknownNameError, match="no ComParam CP_NoSuchThing"):
            link.get_param("CP_NoSuchThing")
        # The request goes to the gearbox now (0x7E1 asks, 0x7E9 answers).
        link.set_unique_table({7: {"CP_CanRespUSDTId": 0x7E9}})
        link.connect()
        (r,) = link.send_recv(b"\x3e\x00")
        assert (r.unique_id, r.data) == (7, b"\x7e\x00")


def test_errors_carry_code_and_name(api):
    cases = [  # call, arguments, code, name
        ("PDUConnect", (api.hmod, 999), 0x60, "PDU_ERR_INVALID_HANDLE"),
        ("PDUGetModuleIds", (None,), 0x50, "PDU_ERR_INVALID_PARAMETERS"),
    ]
    for call, args, code, name in cases:
        with pytest.raises(pdu7318.PduError) as e:
            api.call(call, *args)
        assert (e.value.call, e.value.code, e.value.name) == (call, code, name)
        assert str(e.value) == "%s failed: %s (0x%X)" % (call, name, code)
    with pytest.raises(pdu7318.UnknownNameError, match="no resource RSC_NOPE"):
        api.link("RSC_NOPE")
    # Nobody answers at 0x7A0: after its wait the ComPrimitive ends with an error item.
    with api.link(UDS, params={"CP_CanPhysReqId": 0x7A0}, unique=ENGINE) as link:
        with pytest.raises(pdu7318.PrimitiveError) as e:
            link.send_recv(b"\x3e\x00")
        assert (e.value.code, e.value.name) == (0x103, "PDU_ERR_EVT_RX_TIMEOUT")
    assert [pdu7318.status_name(c) for c in (0x11, 0x71, 0x1234)] == [
        "PDU_ERR_COMM_PC_TO_VCI_FAILED", "PDU_ERR_EVENT_QUEUE_EMPTY", "0x1234(unknown)"]


def test_no_vci(sim_env, monkeypatch):
    # The module constructs without a VCI; the calls that need one fail.
    monkeypatch.setenv("PDU7318_PORTS", "/nonexistent/vci")
    api = pdu7318.Api(library=LIBRARY)
    with pytest.raises(pdu7318.PduError) as e:
        api.battery_voltage()
    assert (e.value.call, e.value.code, e.value.name) == ("PDUIoCtl", 0x01, "PDU_ERR_FCT_FAILED")
    with pytest.raises(pdu7318.PduError) as e:
        api.close()
    assert (e.value.call, e.value.code, e.value.name) == (
        "PDUModuleDisconnect", 0x11, "PDU_ERR_COMM_PC_TO_VCI_FAILED")


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_items_are_released(api):
    """100,000 item-returning calls: every item released, no growth."""
    with api.link(UDS, unique=ENGINE) as link:
        for _ in range(2000):  # warm-up: caches, allocator pools
            link.get_param("CP_P2Max")
            api.modules()
        before = _rss_kib()
        for _ in range(50000):
            link.get_param("CP_P2Max")
            api.modules()
        grown = _rss_kib() - before
        for _ in range(100):
            link.send_recv(b"\x3e\x00")
        assert api.items_taken >= 104000
        assert api.item_balance == 0
    # A leak of one item per call would be several megabytes here.
    assert grown < 512, "resident memory grew by %d KiB over 100,000 calls" % grown


def test_root_file_lookup(sim_env, tmp_path):
    root = tmp_path / "pdu_api_root.xml"
    lib_uri = "file://" + LIBRARY.replace("%", "%25").replace(" ", "%20")
    root.write_text(
        '<?xml version="1.0" encoding="UTF-8"?>\n<MVCI_PDU_API_ROOT>\n'
        "  <MVCI_PDU_API><SHORT_NAME>OTHER</SHORT_NAME><DESCRIPTION>another vendor</DESCRIPTION>"
        '<LIBRARY_FILE URI="file:///opt/other/libother.so"/></MVCI_PDU_API>\n'
        "  <MVCI_PDU_API><SHORT_NAME>PDU7318</SHORT_NAME><DESCRIPTION>ours</DESCRIPTION>"
        '<SUPPLIER_NAME>Norvik Delta GmbH</SUPPLIER_NAME><LIBRARY_FILE URI="%s"/>'
        '<MODULE_DESCRIPTION_FILE URI="file:///etc/brenlo/7318/MDF.xml"/></MVCI_PDU_API>\n'
        "</MVCI_PDU_API_ROOT>\n" % lib_uri)
    apis = pdu7318.read_root_file(str(root))
    assert [(a.short_name, a.library_file) for a in apis] == [("OTHER", "/opt/other/libother.so"),
                                                              ("PDU7318", LIBRARY)]
    assert apis[1].module_description_file == "/etc/brenlo/7318/MDF.xml"
    with pdu7318.Api("pdu7318", root_file=str(root)) as api:  # the only case-insensitive match
        assert api.library_path == LIBRARY
        assert api.battery_voltage() == 12640
    with pytest.raises(pdu7318.RootFileError, match="names no API NOPE"):
        pdu7318.Api("NOPE", root_file=str(root))


@pytest.mark.parametrize("uri, path", [
    ("file:///usr/lib/x.so", "/usr/lib/x.so"),
    ("file://localhost/usr/lib/x.so", "/usr/lib/x.so"),
    ("file:/usr/lib/x.so", "/usr/lib/x.so"),
    ("file:///opt/my%20lib/x.so", "/opt/my lib/x.so"),
    ("file:///C:/Program%20Files/x.dll", "C:/Program Files/x.dll"),
    ("/usr/lib/x.so", "/usr/lib/x.so"),
    ("C:/x.dll", "C:/x.dll"),
    ("file://server/share/x.so", None),
    ("http://example.com/x.so", None),
])
def test_file_uris(uri, path):
    assert pdu7318.path_from_uri(uri) == path


def test_docs_uds_example_runs(sim_env):
    """The ten-line example of docs/python.md, as written."""
    with open(os.path.join(REPO, "docs", "python.md")) as f:
        text = f.read()
    code = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(HERE))
    p = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert p.returncode == 0, p.stderr
    assert "62 f1 90 57 44 45 4d 4f" in p.stdout
    assert "WDEMO7318SIM00042" in p.stdout


def test_debian_venv_with_system_site_packages(tmp_path):
    """What docs/python.md gives for Debian 12 (pip refuses the system
    interpreter there): a venv that sees Debian's python3-can, the package
    installed into it from the source tree, offline."""
    import shutil
    if subprocess.run([sys.executable, "-m", "venv", "--help"], capture_output=True).returncode != 0:
        pytest.skip("the venv module is missing for %s (Debian: python3-venv)" % sys.executable)
    src = tmp_path / "src"
    shutil.copytree(os.path.dirname(HERE), src, ignore=shutil.ignore_patterns("tests", "__pycache__", "build"))
    venv = tmp_path / "venv"
    p = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], capture_output=True,
                       text=True, timeout=120)
    if p.returncode != 0 or not (venv / "bin" / "pip").exists():
        pytest.skip("no venv with pip here (Debian: python3-venv): " + p.stderr[-300:])
    py = str(venv / "bin" / "python")
    p = subprocess.run([py, "-m", "pip", "install", "-q", "--no-index", "--no-build-isolation", str(src)],
                       capture_output=True, text=True, timeout=180)
    assert p.returncode == 0, p.stderr
    probe = ("import pdu7318, importlib.util, importlib.metadata as m\n"
             "print(pdu7318.__file__)\n"
             "print(importlib.util.find_spec('can') is not None)\n"
             "print([e.value for e in m.entry_points(group='can.interface') if e.name == 'pdu7318'])\n")
    p = subprocess.run([py, "-c", probe], capture_output=True, text=True, timeout=60, cwd=str(tmp_path))
    assert p.returncode == 0, p.stderr
    lines = p.stdout.splitlines()
    assert lines[0].startswith(str(venv)) and lines[0].endswith(os.path.join("pdu7318", "__init__.py"))
    # Debian's python3-can is seen from the venv when it is installed.
    import importlib.util
    assert lines[1:] == [str(importlib.util.find_spec("can") is not None), "['pdu7318.can:PduCanBus']"]


def test_pip_installs_the_package_with_its_entry_point(tmp_path):
    """pip install from the source tree (a copy, so that the build leaves
    nothing in it); the installed metadata names the python-can interface."""
    import importlib.util
    import shutil
    for needed in ("pip", "setuptools"):  # looked for, not imported into the test process
        if importlib.util.find_spec(needed) is None:
            pytest.skip("%s is not installed for %s" % (needed, sys.executable))
    src = tmp_path / "src"
    shutil.copytree(os.path.dirname(HERE), src, ignore=shutil.ignore_patterns("tests", "__pycache__", "build"))
    target = tmp_path / "site"
    p = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                        "--no-index", "--target", str(target), str(src)], capture_output=True, text=True,
                       timeout=120)
    assert p.returncode == 0, p.stderr
    probe = ("import pdu7318, importlib.metadata as m\n"
             "eps = m.entry_points()\n"
             "eps = eps.select(group='can.interface') if hasattr(eps, 'select') else eps.get('can.interface', [])\n"
             "print(pdu7318.__file__)\n"
             "print([(e.name, e.value) for e in eps if e.name == 'pdu7318'])\n")
    p = subprocess.run([sys.executable, "-c", probe], env=dict(os.environ, PYTHONPATH=str(target)),
                       capture_output=True, text=True, timeout=60, cwd=str(tmp_path))
    assert p.returncode == 0, p.stderr
    assert p.stdout.splitlines() == [str(target / "pdu7318" / "__init__.py"),
                                     "[('pdu7318', 'pdu7318.can:PduCanBus')]"]
