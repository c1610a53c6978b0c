#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

Seeds are small, valid or nearly valid inputs that take the fuzzer past the
first checks of each parser quickly. Run again after changing it; inputs of
fixed bugs are added to the folders by hand under a descriptive name and are
not touched here.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def frame(channel, seq, command, data):
    body = struct.pack("<H", len(data) + 10) + bytes([0x31, seq, 0x01, channel, command])
    body += struct.pack("<H", len(data)) + data
    return bytes([0x7E]) + body + bytes([sum(body) & 0xFF, 0x7E])


def stuff(f):
    out = bytearray([f[0]])
    for b in f[1:-1]:
        if b == 0x7E:
            out += b"\x7d\x5e"
        elif b == 0x7D:
            out += b"\x7d\x5d"
        else:
            out.append(b)
    out.append(f[-1])
    return bytes(out)


def words(*ws):
    return b"".join(struct.pack("<I", w & 0xFFFFFFFF) for w in ws)


def vehicle(status, word, unique, message):
    return stuff(frame(0x12, 7, 0x1E, words(status, word, unique, len(message)) + message))


# ---- frame codec --------------------------------------------------------------
write("fuzz_frame_codec", "open_first_frame", stuff(frame(0x12, 1, 0x01, b"")))
write("fuzz_frame_codec", "probe_management", stuff(frame(0x01, 1, 0x05, bytes(16))))
write("fuzz_frame_codec", "escaped_flag_in_data", stuff(frame(0x12, 1, 0x1B, b"\x7e\x00\x00\x00")))
write("fuzz_frame_codec", "escaped_escape", stuff(frame(0x12, 0x7D, 0x10, b"\x7d\x7d\x7e")))
write("fuzz_frame_codec", "bad_escape", b"\x7e\x0a\x00\x31\x01\x7d\x01\x12\x01\x00\x00\x50\x7e")
write("fuzz_frame_codec", "vehicle_data", vehicle(0, 1234, 1, b"\x62\xf1\x90VIN"))

# ---- receive path: op bytes 0..2 = chunk (length byte, bytes), 3 = answer,
# 4 = vehicle data, 5 = discard ------------------------------------------------
def chunk(b):
    out = bytearray()
    while b:
        part, b = b[:255], b[255:]
        out += bytes([0, len(part)]) + part
    return bytes(out)


answer = stuff(frame(0x12, 3, 0x10, words(0)))
vdata = vehicle(0, 99, 1, b"\x7e\x08\x62\xf1\x90")
write("fuzz_receive_path", "answer_then_receive", chunk(answer) + b"\x03\xff")
write("fuzz_receive_path", "two_frames_one_chunk", chunk(answer + answer) + b"\x03\x20\x03\x20")
write("fuzz_receive_path", "split_frame", chunk(answer[:5]) + b"\x03\x10" + chunk(answer[5:]) + b"\x03\x10")
write("fuzz_receive_path", "vehicle_then_answer", chunk(vdata + answer) + b"\x04\xff\x03\xff")
write("fuzz_receive_path", "garbage_between", chunk(b"\x01\x02\x7d" + answer + b"\xff\x7e\x7e" + vdata) +
      b"\x03\x40\x04\x40")
write("fuzz_receive_path", "discard_stale", chunk(answer) + b"\x05" + chunk(answer) + b"\x03\x08")
write("fuzz_receive_path", "wrong_channel", chunk(stuff(frame(0x01, 1, 0x05, b"\x01"))) + b"\x03\x08")
bad = bytearray(answer)
bad[-2] ^= 0xFF
write("fuzz_receive_path", "bad_checksum_then_good", chunk(bytes(bad) + answer) + b"\x03\x08")

# ---- module description -----------------------------------------------------------
small = b"""<MDF>
<PROTOCOL EID="P1"><ID>1</ID><SHORT_NAME>ISO_15765_3_on_ISO_15765_2</SHORT_NAME>
<COMPARAM_REF><COMPARAM IDREF="C1"/><DEFAULT_VALUE>50000</DEFAULT_VALUE></COMPARAM_REF>
<COMPARAM_REF><COMPARAM IDREF="C2"/><DEFAULT_VALUE>0C 02 3E 00</DEFAULT_VALUE></COMPARAM_REF>
<COMPARAM_REF><COMPARAM IDREF="C3"/><DEFAULT_VALUE>4 2 1 2</DEFAULT_VALUE></COMPARAM_REF>
</PROTOCOL>
<BUSTYPE EID="B1"><ID>2</ID><SHORT_NAME>ISO_11898_2_DWCAN</SHORT_NAME>
<COMPARAM_REF><COMPARAM IDREF="C1"/><DEFAULT_VALUE>60000</DEFAULT_VALUE></COMPARAM_REF></BUSTYPE>
<COMPARAM EID="C1"><ID>10</ID><SHORT_NAME>CP_P2Max</SHORT_NAME><DATA_TYPE>PDU_PT_UNUM32</DATA_TYPE><CLASS>PDU_PC_TIMING</CLASS></COMPARAM>
<COMPARAM EID="C2"><ID>11</ID><SHORT_NAME>CP_TesterPresentMessage</SHORT_NAME><DATA_TYPE>PDU_PT_BYTEFIELD</DATA_TYPE><CLASS>PDU_PC_TESTER_PRESENT</CLASS></COMPARAM>
<COMPARAM EID="C3"><ID>12</ID><SHORT_NAME>CP_Long</SHORT_NAME><DATA_TYPE>PDU_PT_LONGFIELD</DATA_TYPE><CLASS>PDU_PC_COM</CLASS></COMPARAM>
<RESOURCE EID="R1"><ID>100</ID><SHORT_NAME>CAN_6_14</SHORT_NAME><BUSTYPE IDREF="B1"/><PROTOCOL IDREF="P1"/>
<PIN_ON_MODULE><PIN_ON_MODULE>6</PIN_ON_MODULE></PIN_ON_MODULE><PIN_ON_MODULE><PIN_ON_MODULE>14</PIN_ON_MODULE></PIN_ON_MODULE></RESOURCE>
<IO_CTRL EID="I1"><ID>200</ID><SHORT_NAME>PDU_IOCTL_READ_VBATT</SHORT_NAME></IO_CTRL>
</MDF>
"""
write("fuzz_mdf_loader", "small_standard_style.xml", small)
write("fuzz_mdf_loader", "missing_children.xml",
      b"<M><PROTOCOL><COMPARAM_REF/></PROTOCOL><COMPARAM/><RESOURCE><BUSTYPE/></RESOURCE><BUSTYPE/></M>")
write("fuzz_mdf_loader", "not_well_formed.xml", b"<M><PROTOCOL><ID>1</ID><SHORT_NAME>x</PROTOCOL>")
# The shipped description is 120 KB, too slow an input; its head up to the
# first elements and one protocol and resource (cut at element boundaries, root closed again) covers
# every element kind the loaders read.
with open(os.path.join(SOURCE, "data", "MDF.xml"), "rb") as f:
    shipped = f.read()
cut = max(shipped.rfind(b"\n  </", 0, 12000), 0)
head = shipped[:shipped.find(b">", cut) + 1]
protocol = shipped[shipped.find(b"<PROTOCOL "):]
protocol = protocol[:protocol.find(b"</PROTOCOL>") + len(b"</PROTOCOL>")]
head += b"\n" + protocol
tail = shipped[shipped.find(b"<RESOURCE "):]
tail = tail[:tail.find(b"</RESOURCE>") + len(b"</RESOURCE>")]
write("fuzz_mdf_loader", "shipped_MDF_head.xml", head + b"\n" + tail + b"\n</MVCI_MODULE_DESCRIPTION>\n")

# ---- ComParam defaults: first byte picks the data type (0x101 + b % 9) ---------
for name, pick, text in [
    ("unum8", 0, b"255"), ("snum8_negative", 1, b"-1"), ("unum16", 2, b"65535"),
    ("unum32", 4, b"2016"), ("snum32", 5, b"-2147483648"),
    ("bytefield", 6, b"0C 02 3E 00"), ("bytefield_short", 6, b"0C 04 3E"),
    ("bytefield_long", 6, b"02 01 01 02 03 04"), ("structfield", 7, b"anything"),
    ("longfield", 8, b"4 2 100 200"), ("longfield_mismatch", 8, b"4 3 1"),
    ("unknown_type", 0xF5, b"12"),
]:
    write("fuzz_comparam_default", name, bytes([pick]) + text)

# ---- parseResponse: first byte picks the handler (see the table in the target) --
def record(unique, rxflag, status, message, claimed=None):
    n = len(message) if claimed is None else claimed
    return words(0, unique, rxflag, status, n) + message


can = b"\x00\x00\x07\xe8"
for index, name in enumerate([
    "iso14230", "iso15765", "iso15765_obd", "iso9141", "j1850vpw", "j1850pwm", "j1939", "j1708",
    "j2610", "kw82", "kw71", "raw_can", "tp20", "tp16_kw1281", "tp16_kw2000", "doip",
]):
    write("fuzz_parse_response", name + "_positive", bytes([index]) + record(1, 0, 0, can + b"\x62\xf1\x90\x41"))
    write("fuzz_parse_response", name + "_pending", bytes([index]) + record(1, 0, 0, can + b"\x7f\x22\x78"))
    write("fuzz_parse_response", name + "_busy", bytes([index]) + record(1, 0, 0, b"\x7f\x22\x21"))
    write("fuzz_parse_response", name + "_no_result", bytes([index]) + record(1, 0, 2, b""))
    write("fuzz_parse_response", name + "_overclaimed", bytes([index]) + record(1, 0, 0, b"\x50", 4000))
