"""Error mapping, request parsing and the missing-library message: no VCI,
and no library for the last."""

import ctypes

import pytest

import pdu7318
from pdu7318.errors import primitive_error, status_error
from pdu7318.records import ErrorInfo


class _Done:
    """What the mapping reads of a finished ComPrimitive."""

    def __init__(self, errors, results=()):
        self.hcop = 7
        self.errors = [ErrorInfo(code, name, extra) for code, name, extra in errors]
        self.results = list(results)


@pytest.mark.parametrize("code, vci_answered, kind, text", [
    (0x11, True, "lost", "VCI lost: PDU_ERR_COMM_PC_TO_VCI_FAILED (0x11) in PDUIoCtl"),
    (0x11, False, "status", "PDUIoCtl failed: PDU_ERR_COMM_PC_TO_VCI_FAILED (0x11)"),
    (0x60, True, "status", "PDUIoCtl failed: PDU_ERR_INVALID_HANDLE (0x60)"),
    (0x01, False, "status", "PDUIoCtl failed: PDU_ERR_FCT_FAILED (0x1)"),
])
def test_status_to_exception(code, vci_answered, kind, text):
    e = status_error("PDUIoCtl", code, vci_answered)
    assert str(e) == text
    assert (e.call, e.code) == ("PDUIoCtl", code)
    assert isinstance(e, pdu7318.PduError)
    assert isinstance(e, pdu7318.VciLostError) == (kind == "lost")


@pytest.mark.parametrize("errors, kind, text", [
    ([], None, None),
    ([(0x103, "PDU_ERR_EVT_RX_TIMEOUT", 24)], "primitive", "ComPrimitive 7 ended with PDU_ERR_EVT_RX_TIMEOUT (extra info 24)"),
    ([(0x106, "PDU_ERR_EVT_LOST_COMM_TO_VCI", 0)], "lost",
     "VCI lost: PDU_ERR_EVT_LOST_COMM_TO_VCI (0x106) ending ComPrimitive 7"),
    ([(0x103, "PDU_ERR_EVT_RX_TIMEOUT", 24), (0x106, "PDU_ERR_EVT_LOST_COMM_TO_VCI", 0)], "lost",
     "VCI lost: PDU_ERR_EVT_LOST_COMM_TO_VCI (0x106) ending ComPrimitive 7"),
])
def test_error_items_to_exception(errors, kind, text):
    prim = _Done(errors)
    e = primitive_error(prim)
    if kind is None:
        assert e is None
        return
    assert str(e) == text
    # Either handler catches a lost VCI.
    assert isinstance(e, pdu7318.PrimitiveError)
    assert isinstance(e, pdu7318.VciLostError) == (kind == "lost")
    assert isinstance(e, pdu7318.PduError) == (kind == "lost")
    assert e.primitive is prim and e.code == errors[-1 if kind == "lost" else 0][0]


@pytest.mark.parametrize("request_, wire", [
    (b"\x22\xf1\x90", "22 f1 90"),
    (bytearray(b"\x22\xf1\x90"), "22 f1 90"),
    (memoryview(b"\x3e\x00"), "3e 00"),
    ([0x22, 0xF1, 0x90], "22 f1 90"),
    ((0x3E, 0), "3e 00"),
    ("22F190", "22 f1 90"),
    ("22 F1 90", "22 f1 90"),
    ("  22 f1 90 ", "22 f1 90"),
    ("22:F1:90", "22 f1 90"),
    ("0x22 0xF1 0x90", "22 f1 90"),
    ("3E 0", "3e 00"),
    ("", ""),
])
def test_request_forms(request_, wire):
    assert pdu7318.request_bytes(request_).hex(" ") == wire


@pytest.mark.parametrize("request_, error, text", [
    ("22F19", ValueError, "not a hex request: '22F19'"),
    ("22 G1", ValueError, "not a hex request: '22 G1'"),
    ([0x22, 256], ValueError, "request byte 256 is not an int from 0 to 255"),
    ([0x22, "F1"], ValueError, "request byte 'F1' is not an int from 0 to 255"),
    (0x22, TypeError, "not a single int (34)"),
    (2.5, TypeError, "not float"),
])
def test_bad_requests_say_what_is_wrong(request_, error, text):
    with pytest.raises(error) as e:
        pdu7318.request_bytes(request_)
    assert text in str(e.value)


def _system_has_library():
    try:
        ctypes.CDLL("libpdu7318.so.1")
        return True
    except OSError:
        return False


def test_missing_library_names_where_it_looked(monkeypatch, tmp_path):
    if _system_has_library():
        pytest.skip("libpdu7318.so.1 is installed on this system")
    monkeypatch.delenv("PDU_API_LIBRARY", raising=False)
    root = tmp_path / "no-root.xml"
    monkeypatch.setenv("PDU_API_ROOT_FILE", str(root))
    with pytest.raises(pdu7318.LibraryNotFoundError) as e:
        pdu7318.Api()
    text = str(e.value)
    assert text.startswith("cannot load the D-PDU API library libpdu7318.so.1: ")
    assert e.value.looked == [
        "PDU_API_LIBRARY (not set)",
        "the root description file (%s: [Errno 2] No such file or directory: '%s')" % (root, root),
        "libpdu7318.so.1 through the system's library search path"]
    assert "Set PDU_API_LIBRARY to the library file" in text
    assert isinstance(e.value, OSError)
    # A path given through the variable is named as such.
    monkeypatch.setenv("PDU_API_LIBRARY", str(tmp_path / "libnone.so"))
    with pytest.raises(pdu7318.LibraryNotFoundError) as e:
        pdu7318.Api()
    assert e.value.looked == ["PDU_API_LIBRARY=%s" % (tmp_path / "libnone.so")]
    assert "No such file" in e.value.reason or "cannot open" in e.value.reason
