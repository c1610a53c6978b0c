"""The client against vcisim's demo car (UDS on CAN), all on one Api: a
construction costs the library's 500 ms settle pause after opening the
port, and these tests need only a module without links of earlier tests.
Meanwhile, in threads, the docs' example runs in its own process on its
own vcisim and the package is installed into a venv: both mostly use the
CPU while the tests here mostly wait. The tests that need their own
construction in this process are in test_client_setup.py."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys

import pytest

import pdu7318
from conftest import HERE, LIBRARY, REPO, InThread, Sim, background, environment, selected

SCENARIO = "demo"
UDS = "RSC_ISO_15765_3_on_ISO_15765_2_6_14"
ENGINE = {1: {"CP_CanRespUSDTId": 0x7E8}}


def run_docs_example(tmp):
    """The ten-line example of docs/python.md, as written, in its own
    process on its own vcisim. Returns the CompletedProcess."""
    with open(os.path.join(REPO, "docs", "python.md")) as f:
        code = re.search(r"```python\n(.*?)```", f.read(), re.S).group(1)
    sim = Sim(tmp, SCENARIO)
    try:
        env = dict(os.environ, **environment(tmp, sim.port))
        env["PYTHONPATH"] = os.path.dirname(HERE)
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    finally:
        sim.stop()


@pytest.fixture(scope="module", autouse=True)
def docs_example(request, tmp_path_factory):
    """Starts run_docs_example with the module's first test when
    test_docs_uds_example_runs is selected."""
    yield from background(request, tmp_path_factory, "test_docs_uds_example_runs", run_docs_example, "docs")


PROBE = ("import pdu7318, importlib.util, importlib.metadata as m\n"
         "print(pdu7318.__file__)\n"
         "print(importlib.util.find_spec('can') is not None)\n"
         "print([e.value for e in m.entry_points(group='can.interface') if e.name == 'pdu7318'])\n")


def build_venv(tmp):
    """What docs/python.md gives for Debian 12: a venv that sees Debian's
    packages, the package installed into it from a copy of the source tree
    (the build leaves nothing in the tree), offline; then PROBE run by the
    venv's interpreter. Returns the venv's path and each step's
    CompletedProcess (up to the first that failed), or None and why there
    is no venv here."""
    venv = os.path.join(tmp, "venv")
    # Without the venv's own copy of pip: the venv sees Debian's pip (the
    # same version as the copy, on Debian 12), and copying pip into the venv
    # would cost seconds that test nothing of the package.
    p = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv],
                       capture_output=True, text=True, timeout=120)
    py = os.path.join(venv, "bin", "python")
    if p.returncode != 0 or not os.path.exists(py):
        return None, "no venv here (Debian: python3-venv): " + p.stderr[-300:]
    src = os.path.join(tmp, "src")
    shutil.copytree(os.path.dirname(HERE), src, ignore=shutil.ignore_patterns("tests", "__pycache__", "build"))
    steps = []
    for args in ([py, "-m", "pip", "install", "-q", "--no-index", "--no-build-isolation", src], [py, "-c", PROBE]):
        steps.append(subprocess.run(args, capture_output=True, text=True, timeout=180, cwd=tmp))
        if steps[-1].returncode != 0:
            break
    return venv, steps


@pytest.fixture(scope="module", autouse=True)
def venv_build(request, tmp_path_factory):
    """Starts build_venv with the module's first test when
    test_debian_venv_with_system_site_packages is selected: its seconds of
    pip overlap the other tests' waits for the VCI."""
    wanted = selected(request, "test_debian_venv_with_system_site_packages")
    # pip and setuptools are looked for, not imported into the test process.
    if not wanted or any(importlib.util.find_spec(m) is None for m in ("pip", "setuptools")):
        yield None
        return
    build = InThread(build_venv, str(tmp_path_factory.mktemp("venv")))
    yield build
    build.join()


@pytest.fixture(scope="module")
def api(sim_env):
    with pdu7318.Api(library=LIBRARY) as a:
        yield a


@pytest.fixture(autouse=True)
def no_link_left(api):
    """A test that failed with a link open leaves it to this one, not to the
    next test (which would count it)."""
    yield
    for link in list(api._links.values()):
        link.close()


def test_request_forms_and_reprs(api):
    # First in the module: the Api's first link gets handle 1.
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
        for empty in ("", b"", []):
            with pytest.raises(ValueError, match="no request bytes"):
                link.send_recv(empty, timeout=1.0)
    assert repr(link) == "<pdu7318.Link None %s, closed>" % UDS


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


def test_functional_request_gets_every_table_entry(api):
    unique = [{"CP_CanRespUSDTId": 0x7E8}, {"CP_CanRespUSDTId": 0x7E9}]
    with api.link(UDS, params={"CP_RequestAddrMode": 2}, unique=unique) as link:
        results = link.send_recv(b"\x3e\x00", receive_cycles=-1)
    assert sorted((r.unique_id, r.data) for r in results) == [(1, b"\x7e\x00"), (2, b"\x7e\x00")]


def test_event_delivery_by_callback(api):
    assert api._events_mode == "callback"  # the default
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
    cases = [  # call, arguments, code, name
        ("PDUConnect", (api.hmod, 999), 0x60, "PDU_ERR_INVALID_HANDLE"),
        ("PDUGetModuleIds", (None,), 0x50, "PDU_ERR_INVALID_PARAMETERS"),
    ]
    for call, args, code, name in cases:
        with pytest.raises(pdu7318.PduError) as e:
            api.call(call, *args)
        assert (e.value.call, e.value.code, e.value.name) == (call, code, name)
        assert str(e.value) == "%s failed: %s (0x%X)" % (call, name, code)
    unknown = [  # resource, message (the module description gives the name in another case)
        ("rsc_iso_11898_raw_6_14", "the module knows no resource rsc_iso_11898_raw_6_14 (names are case-sensitive); "
         "did you mean RSC_ISO_11898_RAW_6_14?"),
        ("RSC_ISO_15765_3_ON_ISO_15765_2_6_14", "the module knows no resource RSC_ISO_15765_3_ON_ISO_15765_2_6_14 "
         "(names are case-sensitive); did you mean RSC_ISO_15765_3_on_ISO_15765_2_6_14?"),
        ("RSC_NOPE", "the module knows no resource RSC_NOPE (names are case-sensitive)"),
    ]
    for resource, text in unknown:
        with pytest.raises(pdu7318.UnknownNameError) as e:
            api.link(resource)
        assert str(e.value) == text
    # Nobody answers at 0x7A0: after its wait the ComPrimitive ends with an error item.
    with api.link(UDS, params={"CP_CanPhysReqId": 0x7A0}, unique=ENGINE) as link:
        with pytest.raises(pdu7318.PrimitiveError) as e:
            link.send_recv(b"\x3e\x00")
        assert (e.value.code, e.value.name) == (0x103, "PDU_ERR_EVT_RX_TIMEOUT")
    assert [pdu7318.status_name(c) for c in (0x11, 0x71, 0x1234)] == [
        "PDU_ERR_COMM_PC_TO_VCI_FAILED", "PDU_ERR_EVENT_QUEUE_EMPTY", "0x1234(unknown)"]


def test_docs_uds_example_runs(docs_example):
    p = docs_example.result(60)
    assert p.returncode == 0, p.stderr
    assert "62 f1 90 57 44 45 4d 4f" in p.stdout
    assert "WDEMO7318SIM00042" in p.stdout


def test_docs_debian_venv_steps():
    """The Debian 12 steps of docs/python.md, as a reader copies them: the
    venv is made by Debian's interpreter named by its path (a python3 found
    first on PATH, pyenv's say, makes a venv without Debian's wheel and
    python-can, where pip fails with "invalid command 'bdist_wheel'"), and
    python3-wheel is installed (Debian 12's setuptools builds through it)."""
    with open(os.path.join(REPO, "docs", "python.md")) as f:
        text = f.read()
    block = re.search(r"\n\n((?:      \S.*\n)+)", text[text.index("A virtual environment that sees"):]).group(1)
    assert [line.strip() for line in block.splitlines()] == [
        "apt-get install python3-venv python3-can python3-setuptools python3-wheel",
        "/usr/bin/python3 -m venv --system-site-packages ~/pdu7318-venv",
        "~/pdu7318-venv/bin/pip install --no-index --no-build-isolation ./python",
        '~/pdu7318-venv/bin/python -c "import pdu7318, can"',
    ]


def test_debian_venv_with_system_site_packages(venv_build):
    """The venv of docs/python.md (see build_venv): the package imports from
    it and its metadata names the python-can interface."""
    if venv_build is None:
        pytest.skip("pip or setuptools is not installed for %s" % sys.executable)
    venv, steps = venv_build.result(300)
    if venv is None:
        pytest.skip(steps)
    for p in steps:
        assert p.returncode == 0, p.stderr
    lines = steps[-1].stdout.splitlines()
    assert lines[0].startswith(venv) and lines[0].endswith(os.path.join("pdu7318", "__init__.py"))
    # Debian's python3-can is seen from the venv when it is installed.
    assert lines[1:] == [str(importlib.util.find_spec("can") is not None), "['pdu7318.can:PduCanBus']"]
