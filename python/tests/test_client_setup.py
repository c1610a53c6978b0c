"""The client where a test needs its own construction of the library:
events by polling, no VCI, item release, the root description file."""

import os

import pytest

import pdu7318
from conftest import LIBRARY

SCENARIO = "demo"
UDS = "RSC_ISO_15765_3_on_ISO_15765_2_6_14"
ENGINE = {1: {"CP_CanRespUSDTId": 0x7E8}}

def test_event_delivery_by_polling(sim_env):
    with pdu7318.Api(library=LIBRARY, events="poll") as api:
        with api.link(UDS, unique=ENGINE) as link:
            assert [(e.kind, e.status_name, e.hcop) for e in link.events(timeout=2.0)] == [
                ("status", "PDU_CLLST_ONLINE", 0xFFFFFFFF)]
            (r,) = link.send_recv(b"\x22\xf1\x90")
            assert r.data.endswith(b"WDEMO7318SIM00042")
            assert link.events() == []  # the ComPrimitive took its own items
        assert api.item_balance == 0


def test_no_vci_found_raises_at_once(sim_env, monkeypatch):
    # The module constructs without a VCI and only says so on stderr; the
    # Api sees that no candidate port is held and ends the construction.
    monkeypatch.setenv("PDU7318_PORTS", "/nonexistent/vci:/nonexistent/vci2")
    with pytest.raises(pdu7318.VciNotFoundError) as e:
        pdu7318.Api(library=LIBRARY)
    assert str(e.value) == (
        "no VCI found: the VCI answered on none of the ports tried (/nonexistent/vci, /nonexistent/vci2, "
        "from PDU7318_PORTS). Connect the VCI or set PDU7318_PORTS to its port (colon-separated); "
        "pdutool doctor tells why each port failed. Api(require_vci=False) constructs without a VCI")
    assert isinstance(e.value, pdu7318.PduError)  # existing handlers still catch it
    assert e.value.ports == ["/nonexistent/vci", "/nonexistent/vci2"]
    # That Api was destructed: the next construction is a fresh one.
    api = pdu7318.Api(library=LIBRARY, require_vci=False)
    assert api.vci_port is None
    with pytest.raises(pdu7318.PduError):
        api.close()


def test_vci_found_on_a_linked_port(sim_env):
    # PDU7318_PORTS names vcisim's symbolic link; the module holds its target.
    with pdu7318.Api(library=LIBRARY) as api:
        assert api.vci_port == sim_env["PDU7318_PORTS"]


def test_no_vci_on_purpose(sim_env, monkeypatch):
    # require_vci=False: the module constructs; the calls that need a VCI fail.
    monkeypatch.setenv("PDU7318_PORTS", "/nonexistent/vci")
    api = pdu7318.Api(library=LIBRARY, require_vci=False)
    with pytest.raises(pdu7318.PduError) as e:
        api.battery_voltage()
    assert (e.value.call, e.value.code, e.value.name) == ("PDUIoCtl", 0x01, "PDU_ERR_FCT_FAILED")
    with pytest.raises(pdu7318.PduError) as e:
        api.close()
    assert (e.value.call, e.value.code, e.value.name) == (
        "PDUModuleDisconnect", 0x11, "PDU_ERR_COMM_PC_TO_VCI_FAILED")


def test_no_vci_where_the_check_cannot_be_made(sim_env, monkeypatch):
    # No /proc/self/fd (another OS): construction goes on as before.
    monkeypatch.setenv("PDU7318_PORTS", "/nonexistent/vci")
    monkeypatch.setattr(pdu7318.vci, "open_files", lambda: None)
    api = pdu7318.Api(library=LIBRARY)
    with pytest.raises(pdu7318.PduError):
        api.close()


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
