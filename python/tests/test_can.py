"""The python-can interface against vcisim's raw CAN car (rawcan.json):
a body ECU answering 0x710 on 0x718, a gateway echoing 29-bit frames
(0x18DA10F1 -> 0x18DAF110) and five wheel-speed frames on 0x1A0, 10 ms apart
and counting in their last byte, after each listening request."""

import time

import pytest

can = pytest.importorskip("can")

from conftest import LIBRARY  # noqa: E402
import pdu7318  # noqa: E402
from pdu7318.can import can_error, decode_frame, encode_frame, next_window, parse_frame_text  # noqa: E402

SCENARIO = "rawcan"
RAW = "RSC_ISO_11898_RAW_6_14"
WHEEL = ["10 27 10 27 10 27 10 %02x" % n for n in range(5)]


@pytest.mark.parametrize("msg, wire", [
    (can.Message(arbitration_id=0x710, is_extended_id=False, data=[2, 0x10, 3]), "10 07 00 00 02 10 03"),
    (can.Message(arbitration_id=0x18DA10F1, is_extended_id=True, data=[1, 2, 3]), "F1 10 DA 98 01 02 03"),
    (can.Message(arbitration_id=0x7FF, is_extended_id=False, data=b""), "FF 07 00 00"),
    (can.Message(arbitration_id=0x123, is_extended_id=False, is_remote_frame=True, dlc=0), "23 01 00 40"),
    (can.Message(arbitration_id=0x1FFFFFFF, is_extended_id=True, data=bytes(range(8))),
     "FF FF FF 9F 00 01 02 03 04 05 06 07"),
])
def test_frame_layout(msg, wire):
    assert encode_frame(msg) == bytes.fromhex(wire)
    back = decode_frame(bytes.fromhex(wire))
    assert (back.arbitration_id, back.is_extended_id, back.is_remote_frame, back.dlc) == (
        msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, len(msg.data))
    assert bytes(back.data) == bytes(msg.data)


@pytest.mark.parametrize("text, wire", [
    ("710#013E", "10 07 00 00 01 3E"),
    ("18DA10F1#010203", "F1 10 DA 98 01 02 03"),
    ("123#R", "23 01 00 40"),
])
def test_listen_frame_text(text, wire):
    assert encode_frame(parse_frame_text(text)) == bytes.fromhex(wire)


@pytest.mark.parametrize("frames_, seconds, window, ask", [
    (0, 2.3, 0.25, 32),        # nothing came: the first window's size again
    (1, 0.06, 0.25, 32),
    (100, 0.15, 0.25, 250),    # 1000 frames/s over the 0.1 s before the 50 ms tail
    (100, 0.15, 1.0, 1000),
    (32, 0.082, 0.25, 250),
    (3, 2.05, 0.25, 2),        # a slow bus: never below two
    (5000, 0.06, 1.0, 20000),  # never above 20000
    (10, 0.05, 0.25, 32),      # no time besides the tail: start over
])
def test_window_follows_the_bus_rate(frames_, seconds, window, ask):
    assert next_window(frames_, seconds, window) == ask


def test_errors_become_can_errors():
    lost = pdu7318.VciLostError(0x106, "PDU_ERR_EVT_LOST_COMM_TO_VCI", call="PDUIoCtl")
    cases = [  # error, python-can class, text, code
        (lost, can.CanOperationError, "VCI lost: PDU_ERR_EVT_LOST_COMM_TO_VCI (0x106) in PDUIoCtl", 0x106),
        (pdu7318.PduError("PDUConnect", 0x60), can.CanOperationError, "PDUConnect failed: PDU_ERR_INVALID_HANDLE (0x60)",
         0x60),
        (TimeoutError("late"), can.CanOperationError, "late", None),
    ]
    for error, cls, text, code in cases:
        e = can_error(error)
        assert type(e) is cls and e.error_code == code and e.__cause__ is error
        assert str(e).startswith(text), str(e)
    same = can.CanInitializationError("x")
    assert can_error(same) is same


def frames(bus, n, timeout=3.0):
    got = []
    deadline = time.monotonic() + timeout
    while len(got) < n and time.monotonic() < deadline:
        msg = bus.recv(max(0.0, deadline - time.monotonic()))
        if msg is not None:
            got.append(msg)
    return got


def short(msg):
    return ("%X" % msg.arbitration_id, msg.is_extended_id, msg.dlc, bytes(msg.data).hex(" "))


@pytest.fixture(scope="module")
def bus(sim_env):
    """One bus for the module's tests of send and recv: each construction
    waits the library's 500 ms settle pause. A test leaves nothing queued.
    Tests that open their own bus or process: test_can_own_bus.py."""
    # Through the entry point: can.Bus must find the interface by its name.
    b = can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY)
    yield b
    b.shutdown()


def test_send_and_recv(bus):
    # A send waits for one answer: the ECU's, which recv() returns; no
    # window is open without a listen frame, so nothing else comes.
    start = time.time()
    bus.send(can.Message(arbitration_id=0x710, is_extended_id=False, data=[0x02, 0x10, 0x03]))
    got = frames(bus, 1)
    assert [short(m) for m in got] == [("718", False, 8, "06 50 03 00 32 01 f4 aa")]
    assert start - 1 < got[0].timestamp < time.time() + 1
    bus.send(can.Message(arbitration_id=0x18DA10F1, is_extended_id=True, data=[1, 2, 3]), timeout=3.0)
    assert [short(m) for m in frames(bus, 1)] == [("18DAF110", True, 3, "01 02 03")]
    assert bus.recv(0.3) is None


def test_send_periodic_stops_at_once(bus):
    task = bus.send_periodic(can.Message(arbitration_id=0x18DA10F1, is_extended_id=True, data=[7]), 0.02)
    got = frames(bus, 5)
    task.stop()
    stopped = time.monotonic()
    late = frames(bus, 5, timeout=0.5)
    assert [short(m) for m in got] == [("18DAF110", True, 1, "07")] * 5
    # At most the frame already handed over answers after stop().
    assert len(late) <= 1, late
    assert time.monotonic() - stopped < 1.0


def test_send_waits_for_its_turn_and_gives_up_at_the_timeout(bus):
    # 0x123 has no ECU: its SENDRECV holds the bus for the module's whole
    # wait for an answer (2200 ms).
    t0 = time.monotonic()
    bus.send(can.Message(arbitration_id=0x123, is_extended_id=False, data=[1]), timeout=1.0)
    assert time.monotonic() - t0 < 0.5  # handed over, not answered
    with pytest.raises(can.CanOperationError, match="not sent within 0.300 s"):
        bus.send(can.Message(arbitration_id=0x710, is_extended_id=False, data=[0x01, 0x3E]), timeout=0.3)
    assert 0.28 < time.monotonic() - t0 < 1.0
    # The refused frame never goes: after the wait only the next one is
    # answered (the body ECU would answer a 0x710 frame within milliseconds).
    bus.send(can.Message(arbitration_id=0x18DA10F1, is_extended_id=True, data=[5]), timeout=4.0)
    assert [short(m) for m in frames(bus, 2, timeout=0.5)] == [("18DAF110", True, 1, "05")]
