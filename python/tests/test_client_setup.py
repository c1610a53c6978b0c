"""The client where a test needs its own construction of the library or
its own process: events by polling, no VCI, item release, the root
description file, the package installed into a venv."""

import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

import pdu7318
from conftest import HERE, LIBRARY, InThread

SCENARIO = "demo"
UDS = "RSC_ISO_15765_3_on_ISO_15765_2_6_14"
ENGINE = {1: {"CP_CanRespUSDTId": 0x7E8}}

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
    wanted = any(getattr(item, "originalname", None) == "test_debian_venv_with_system_site_packages"
                 for item in request.session.items)
    # pip and setuptools are looked for, not imported into the test process.
    if not wanted or any(importlib.util.find_spec(m) is None for m in ("pip", "setuptools")):
        yield None
        return
    build = InThread(build_venv, str(tmp_path_factory.mktemp("venv")))
    yield build
    build.join()


def test_event_delivery_by_polling(sim_env):
    with pdu7318.Api(library=LIBRARY, events="poll") as api:
        with api.link(UDS, unique=ENGINE) as link:
            assert [(e.kind, e.status_name, e.hcop) for e in link.events(timeout=2.0)] == [
                ("status", "PDU_CLLST_ONLINE", 0xFFFFFFFF)]
            (r,) = link.send_recv(b"\x22\xf1\x90")
            assert r.data.endswith(b"WDEMO7318SIM00042")
            assert link.events() == []  # the ComPrimitive took its own items
        assert api.item_balance == 0


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


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_items_are_released(api):
    """100,000 item-returning calls: every item released, no growth."""
    # Late in the module: the venv build (CPU) overlaps the tests before, which wait on the VCI.
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
