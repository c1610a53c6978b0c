"""Records the client hands out, and the copying of the library's items into
them (every item is released right after it was read, so nothing here keeps
a pointer into the library's memory).
"""

import collections
import ctypes

from . import _capi as C
from .names import error_event_name, status_value_name


Response = collections.namedtuple(
    "Response", "data unique_id timestamp start_timestamp tx_done_timestamp rx_flags hcop")
Response.__doc__ = """One result item: data (bytes), unique_id (UniqueRespIdentifier),
timestamp (the item's, in the library's microsecond or millisecond clock as it
hands it out), start_timestamp (StartMsgTimestamp), tx_done_timestamp
(TxMsgDoneTimestamp), rx_flags (bytes), hcop (the ComPrimitive)."""

ErrorInfo = collections.namedtuple("ErrorInfo", "code name extra")

Event = collections.namedtuple("Event", "kind hcop timestamp status status_name response error")
Event.__doc__ = """One event item of a link: kind is "status", "result", "error" or
"info"; hcop is 0xFFFFFFFF for the link's own status items; status /
status_name for status items, response (a Response) for results, error (an
ErrorInfo) for errors."""

Module = collections.namedtuple("Module", "hmod type_id vendor_name vendor_info status status_name")

Version = collections.namedtuple(
    "Version", "part1_standard_version part2_standard_version hw_serial_number hw_name hw_version hw_date "
               "hw_interface fw_name fw_version fw_date vendor_name api_sw_name api_sw_version api_sw_date")


def version_text(word):
    """0x01020300 -> '1.2.3' (major, minor, patch in the upper three bytes)."""
    return "%d.%d.%d" % (word >> 24, (word >> 16) & 0xFF, (word >> 8) & 0xFF)




def event_of(item):
    """An Event from a PDU_EVENT_ITEM (copied: the item is released right after)."""
    kind = {C.PDU_IT_STATUS: "status", C.PDU_IT_RESULT: "result", C.PDU_IT_ERROR: "error",
            C.PDU_IT_INFO: "info"}.get(item.ItemType, "0x%X" % item.ItemType)
    status = sname = response = error = None
    if item.pData:
        if item.ItemType == C.PDU_IT_STATUS:
            status = ctypes.cast(item.pData, ctypes.POINTER(C.UNUM32)).contents.value
            sname = status_value_name(status)
        elif item.ItemType == C.PDU_IT_RESULT:
            r = ctypes.cast(item.pData, ctypes.POINTER(C.PDU_RESULT_DATA)).contents
            data = bytes(r.pDataBytes[:r.NumDataBytes]) if r.pDataBytes else b""
            flags = bytes(r.RxFlag.pFlagData[:r.RxFlag.NumFlagBytes]) if r.RxFlag.pFlagData else b""
            response = Response(data, r.UniqueRespIdentifier, item.Timestamp, r.StartMsgTimestamp,
                                r.TxMsgDoneTimestamp, flags, item.hCop)
        elif item.ItemType == C.PDU_IT_ERROR:
            e = ctypes.cast(item.pData, ctypes.POINTER(C.PDU_ERROR_DATA)).contents
            error = ErrorInfo(e.ErrorCodeId, error_event_name(e.ErrorCodeId), e.ExtraErrorInfoId)
    return Event(kind, item.hCop, item.Timestamp, status, sname, response, error)


# ---- ComParam values ---------------------------------------------------------

_INT_TYPES = {C.PDU_PT_UNUM8: (ctypes.c_uint8, False), C.PDU_PT_SNUM8: (ctypes.c_int8, True),
              C.PDU_PT_UNUM16: (ctypes.c_uint16, False), C.PDU_PT_SNUM16: (ctypes.c_int16, True),
              C.PDU_PT_UNUM32: (ctypes.c_uint32, False), C.PDU_PT_SNUM32: (ctypes.c_int32, True)}


def read_param_value(item):
    """The value of a PDU_PARAM_ITEM: int, bytes (byte field) or list of ints (long field)."""
    ptype, data = item.ComParamDataType, item.pComParamData
    if not data or ptype == 0:
        return None  # a ComParam the link does not carry
    if ptype in _INT_TYPES:
        return ctypes.cast(data, ctypes.POINTER(_INT_TYPES[ptype][0])).contents.value
    if ptype == C.PDU_PT_BYTEFIELD:
        f = ctypes.cast(data, ctypes.POINTER(C.PDU_PARAM_BYTEFIELD_DATA)).contents
        return bytes(f.pDataArray[:f.ParamActLen]) if f.pDataArray else b""
    if ptype == C.PDU_PT_LONGFIELD:
        f = ctypes.cast(data, ctypes.POINTER(C.PDU_PARAM_LONGFIELD_DATA)).contents
        return list(f.pDataArray[:f.ParamActLen]) if f.pDataArray else []
    raise ValueError("ComParam data type 0x%X is not supported by this client" % ptype)


def param_item(param_id, ptype, pclass, value):
    """A PDU_PARAM_ITEM and the buffers it points to (keep them alive while it is used)."""
    keep = []
    if ptype in _INT_TYPES:
        # The value is written into a whole 32-bit word: a library that reads
        # four bytes whatever the type still reads the right number.
        word = ctypes.c_uint32(int(value) & 0xFFFFFFFF)
        keep.append(word)
        pointer = ctypes.cast(ctypes.byref(word), ctypes.c_void_p)
    elif ptype == C.PDU_PT_BYTEFIELD:
        data = bytes(value)
        arr = (C.UNUM8 * max(len(data), 1)).from_buffer_copy(data.ljust(1, b"\0"))
        field = C.PDU_PARAM_BYTEFIELD_DATA(len(data), len(data), ctypes.cast(arr, ctypes.POINTER(C.UNUM8)))
        keep += [arr, field]
        pointer = ctypes.cast(ctypes.byref(field), ctypes.c_void_p)
    elif ptype == C.PDU_PT_LONGFIELD:
        values = [int(v) for v in value]
        arr = (C.UNUM32 * max(len(values), 1))(*values)
        field = C.PDU_PARAM_LONGFIELD_DATA(len(values), len(values), ctypes.cast(arr, ctypes.POINTER(C.UNUM32)))
        keep += [arr, field]
        pointer = ctypes.cast(ctypes.byref(field), ctypes.c_void_p)
    else:
        raise ValueError("ComParam data type 0x%X is not supported by this client" % ptype)
    item = C.PDU_PARAM_ITEM(C.PDU_IT_PARAM, param_id, ptype, pclass, pointer)
    return item, keep




def request_bytes(request):
    """The bytes of a request given as bytes, bytearray, memoryview, a list
    (or other iterable) of ints 0-255, or hex text: "22F190", "22 F1 90",
    "22:f1:90", "0x22 0xF1 0x90". ValueError (TypeError for another type)
    saying what was wrong."""
    if isinstance(request, (bytes, bytearray, memoryview)):
        return bytes(request)
    if isinstance(request, str):
        text = request.strip()
        parts = text.replace(",", " ").replace(":", " ").replace("-", " ").split()
        if len(parts) > 1 or (parts and parts[0][:2].lower() == "0x"):
            digits = ""
            for p in parts:
                p = p[2:] if p[:2].lower() == "0x" else p
                if len(p) % 2:
                    p = "0" + p if len(parts) > 1 and len(p) == 1 else p
                digits += p
        else:
            digits = text
        try:
            if len(digits) % 2:
                raise ValueError("an odd number of hex digits")
            return bytes.fromhex(digits)
        except ValueError:
            raise ValueError("not a hex request: %r (write bytes as hex pairs, e.g. \"22F190\" or \"22 F1 90\")"
                             % request) from None
    if isinstance(request, int):
        raise TypeError("a request is bytes, a list of ints or hex text, not a single int (%d)" % request)
    try:
        values = list(request)
    except TypeError:
        raise TypeError("a request is bytes, a list of ints or hex text, not %s" % type(request).__name__) from None
    for v in values:
        if not isinstance(v, int) or isinstance(v, bool) or not 0 <= v <= 255:
            raise ValueError("request byte %r is not an int from 0 to 255" % (v,))
    return bytes(values)
