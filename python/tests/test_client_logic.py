"""The client's own logic: request parsing, finding the library, and the
client on fakepdu.py's in-process library (polled events, error items, a
lost VCI, closing during a stream). On the real library: test_client.py."""

import ctypes
import re
import time

import pytest

import fakepdu
import pdu7318
from conftest import until

UDS = "RSC_UDS"


@pytest.mark.parametrize("request_, wire", [  # the bytes, or the error and what it says is wrong
    (b"\x22\xf1\x90", "22 f1 90"), (bytearray(b"\x22\xf1\x90"), "22 f1 90"), (memoryview(b"\x3e\x00"), "3e 00"),
    ([0x22, 0xF1, 0x90], "22 f1 90"), ((0x3E, 0), "3e 00"), ("22F190", "22 f1 90"), ("22 F1 90", "22 f1 90"),
    ("  22 f1 90 ", "22 f1 90"), ("22:F1:90", "22 f1 90"), ("0x22 0xF1 0x90", "22 f1 90"), ("3E 0", "3e 00"), ("", ""),
    ("22F19", (ValueError, "not a hex request: '22F19'")), ("22 G1", (ValueError, "not a hex request: '22 G1'")),
    ([0x22, 256], (ValueError, "request byte 256 is not an int from 0 to 255")),
    ([0x22, "F1"], (ValueError, "request byte 'F1' is not an int from 0 to 255")),
    (0x22, (TypeError, "not a single int (34)")), (2.5, (TypeError, "not float")),
])
def test_request_forms(request_, wire):
    if isinstance(wire, str):
        assert pdu7318.request_bytes(request_).hex(" ") == wire
    else:
        with pytest.raises(wire[0], match=re.escape(wire[1])):
            pdu7318.request_bytes(request_)


@pytest.mark.parametrize("uri, path", [
    ("file:///usr/lib/x.so", "/usr/lib/x.so"), ("file://localhost/usr/lib/x.so", "/usr/lib/x.so"),
    ("file:/usr/lib/x.so", "/usr/lib/x.so"), ("file:///opt/my%20lib/x.so", "/opt/my lib/x.so"),
    ("file:///C:/Program%20Files/x.dll", "C:/Program Files/x.dll"), ("/usr/lib/x.so", "/usr/lib/x.so"),
    ("C:/x.dll", "C:/x.dll"), ("file://server/share/x.so", None), ("http://example.com/x.so", None),
])
def test_file_uris(uri, path):
    assert pdu7318.path_from_uri(uri) == path


def test_root_file_lookup(fake, tmp_path):
    root = tmp_path / "pdu_api_root.xml"
    root.write_text(
        '<?xml version="1.0" encoding="UTF-8"?>\n<MVCI_PDU_API_ROOT>\n'
        "  <MVCI_PDU_API><SHORT_NAME>OTHER</SHORT_NAME><DESCRIPTION>another vendor</DESCRIPTION>"
        '<LIBRARY_FILE URI="file:///opt/other/libother.so"/></MVCI_PDU_API>\n'
        "  <MVCI_PDU_API><SHORT_NAME>PDU7318</SHORT_NAME><DESCRIPTION>ours</DESCRIPTION>"
        '<SUPPLIER_NAME>Norvik Delta GmbH</SUPPLIER_NAME><LIBRARY_FILE URI="file://%s"/>'
        '<MODULE_DESCRIPTION_FILE URI="file:///etc/brenlo/7318/MDF.xml"/></MVCI_PDU_API>\n'
        "</MVCI_PDU_API_ROOT>\n" % fakepdu.PATH)
    apis = pdu7318.read_root_file(str(root))
    assert [(a.short_name, a.library_file, a.module_description_file) for a in apis] == [
        ("OTHER", "/opt/other/libother.so", None), ("PDU7318", "/opt/fake/libfakepdu.so", "/etc/brenlo/7318/MDF.xml")]
    fake.vbatt = 11830
    with pdu7318.Api("pdu7318", root_file=str(root)) as api:  # the only case-insensitive match; that library answers
        assert (api.library_path, api.battery_voltage()) == ("/opt/fake/libfakepdu.so", 11830)
    with pytest.raises(pdu7318.RootFileError, match="names no API NOPE"):
        pdu7318.Api("NOPE", root_file=str(root))


def test_missing_library_names_where_it_looked(monkeypatch, tmp_path):
    try:
        ctypes.CDLL("libpdu7318.so.1")
        pytest.skip("libpdu7318.so.1 is installed on this system")
    except OSError:
        pass
    monkeypatch.delenv("PDU_API_LIBRARY", raising=False)
    root = tmp_path / "no-root.xml"
    monkeypatch.setenv("PDU_API_ROOT_FILE", str(root))
    with pytest.raises(pdu7318.LibraryNotFoundError) as e:
        pdu7318.Api()
    assert e.value.looked == [
        "PDU_API_LIBRARY (not set)",
        "the root description file (%s: [Errno 2] No such file or directory: '%s')" % (root, root),
        "libpdu7318.so.1 through the system's library search path"]
    assert (str(e.value).startswith("cannot load the D-PDU API library libpdu7318.so.1: ") and
            "Set PDU_API_LIBRARY to the library file" in str(e.value) and isinstance(e.value, OSError))
    # A path given through the variable is named as such.
    monkeypatch.setenv("PDU_API_LIBRARY", str(tmp_path / "libnone.so"))
    with pytest.raises(pdu7318.LibraryNotFoundError) as e:
        pdu7318.Api()
    assert e.value.looked == ["PDU_API_LIBRARY=%s" % (tmp_path / "libnone.so")] and (
        "No such file" in e.value.reason or "cannot open" in e.value.reason)


def test_events_by_polling_and_error_items(fake):
    # The ECU answers 22 F1 90 only.
    fake.behave = lambda job: (fake.result(job, b"\x62\xf1\x90VIN") if job.data == b"\x22\xf1\x90"
                               else fake.error(job, 0x103, 24))
    with pdu7318.Api(library=fakepdu.PATH, events="poll") as api:
        with api.link(UDS) as link:
            assert [(e.kind, e.status_name, e.hcop) for e in link.events(timeout=2.0)] == [
                ("status", "PDU_CLLST_ONLINE", 0xFFFFFFFF)]
            (r,) = link.send_recv(b"\x22\xf1\x90")
            assert (r.data, r.unique_id, r.hcop) == (b"\x62\xf1\x90VIN", 1, 1)
            assert link.events() == []  # the ComPrimitive took its own items
            # Nobody answers 3E 00: the ComPrimitive ends with an error item.
            with pytest.raises(pdu7318.PrimitiveError) as e:
                link.send_recv("3E 00")
            # ... after which the VCI was asked: it answered. When it does not, the VCI is lost.
            assert (e.value.code, e.value.name, str(e.value), fake.vbatt_reads) == (
                0x103, "PDU_ERR_EVT_RX_TIMEOUT", "ComPrimitive 2 ended with PDU_ERR_EVT_RX_TIMEOUT (extra info 24)", 1)
            fake.silent = True
            with pytest.raises(pdu7318.VciLostError) as e:
                link.send_recv("3E 00")
            assert str(e.value) == ("VCI lost: the VCI does not answer (a receive timeout, then PDUIoCtl failed: "
                                    "PDU_ERR_FCT_FAILED (0x1))")
            fake.silent = False
            for empty in ("", b"", []):
                with pytest.raises(ValueError, match="no request bytes"):
                    link.send_recv(empty)
        assert api.item_balance == 0
    # Every item handed out was released.
    assert (fake.started, fake.out) == ([(0x8004, b"\x22\xf1\x90"), (0x8004, b"\x3e\x00"), (0x8004, b"\x3e\x00")], {})


def test_lost_vci(fake):
    def ecu(job):  # answers once; then the VCI is pulled after an RX timeout
        if job.hcop == 1:
            return fake.result(job, b"\x7e\x00")
        fake.error(job, 0x103, 24)
        fake.lose()
    fake.behave = ecu
    api = pdu7318.Api(library=fakepdu.PATH)
    link = api.link(UDS)
    link.send_recv("3E 00")  # the VCI answered on this Api
    with pytest.raises(pdu7318.VciLostError) as e:
        link.send_recv("22 F1 90")
    # The loss outranks the error item before it; either handler catches it.
    assert (e.value.code, e.value.name, str(e.value), api.vci_lost) == (0x106, "PDU_ERR_EVT_LOST_COMM_TO_VCI",
                                                                   "VCI lost: PDU_ERR_EVT_LOST_COMM_TO_VCI (0x106) "
                                                                   "ending ComPrimitive 2", True)
    assert isinstance(e.value, pdu7318.PrimitiveError) and isinstance(e.value, pdu7318.PduError)
    with pytest.raises(pdu7318.VciLostError) as e:
        api.battery_voltage()
    assert (str(e.value), e.value.call, e.value.code) == (
        "VCI lost: PDU_ERR_COMM_PC_TO_VCI_FAILED (0x11) in PDUIoCtl", "PDUIoCtl", 0x11)
    with pytest.raises(pdu7318.PduError):
        api.close()
    assert fake.destructs == 1  # tried although the disconnect failed


def test_close_ends_a_stream(fake):
    def stream(job):  # a bus that never falls quiet
        n = 0
        while not job.ended.wait(0.001):
            fake.result(job, b"\x10\x07\x00\x00" + bytes([n & 0xFF]))
            n += 1
    fake.behave = stream
    api = pdu7318.Api(library=fakepdu.PATH)
    got = []
    api.link("RSC_ISO_11898_RAW_6_14").start(0x8004, "10 07 00 00 01", receive_cycles=-1, on_result=got.append)
    # The library calls back at the start and the end only: results come
    # out while the ComPrimitive runs because the client looks for them.
    assert until(lambda: len(got) >= 20)
    t0 = time.monotonic()
    api.close()
    assert time.monotonic() - t0 <= 2.0 and fake.destructs == 1 and api.item_balance == 0 and fake.out == {}
