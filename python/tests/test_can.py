"""The python-can interface against vcisim's raw CAN car (rawcan.json):
a body ECU answering 0x710 on 0x718, a gateway echoing 29-bit frames
(0x18DA10F1 -> 0x18DAF110) and five wheel-speed frames on 0x1A0, 10 ms apart
and counting in their last byte, after each listening request."""

import os
import signal
import subprocess
import sys
import time

import pytest

can = pytest.importorskip("can")

from conftest import HERE, LIBRARY, entry_point_dir  # noqa: E402
from pdu7318.can import decode_frame, encode_frame, parse_frame_text  # noqa: E402

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


@pytest.fixture
def bus(sim_env):
    # Through the entry point: can.Bus must find the interface by its name.
    b = can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY)
    yield b
    b.shutdown()


def test_send_and_recv(bus):
    start = time.time()
    bus.send(can.Message(arbitration_id=0x710, is_extended_id=False, data=[0x02, 0x10, 0x03]))
    got = frames(bus, 6)
    assert [short(m) for m in got] == [("718", False, 8, "06 50 03 00 32 01 f4 aa")] + [
        ("1A0", False, 8, w) for w in WHEEL]
    assert all(start - 1 < m.timestamp < time.time() + 1 for m in got)
    assert [m.timestamp for m in got] == sorted(m.timestamp for m in got)
    bus.send(can.Message(arbitration_id=0x18DA10F1, is_extended_id=True, data=[1, 2, 3]))
    got = frames(bus, 6)
    assert [short(m) for m in got] == [("18DAF110", True, 3, "01 02 03")] + [("1A0", False, 8, w) for w in WHEEL]
    assert bus.recv(0.3) is None  # the stream ended, and with it the ComPrimitive


def test_notifier_with_listener(bus):
    reader = can.BufferedReader()
    notifier = can.Notifier(bus, [reader], timeout=0.1)
    try:
        bus.send(can.Message(arbitration_id=0x710, is_extended_id=False, data=[0x01, 0x3E]))
        got = []
        deadline = time.monotonic() + 3
        while len(got) < 6 and time.monotonic() < deadline:
            msg = reader.get_message(0.2)
            if msg is not None:
                got.append(msg)
    finally:
        notifier.stop()
    assert [short(m) for m in got] == [("718", False, 8, "02 7e 00 aa aa aa aa aa")] + [
        ("1A0", False, 8, w) for w in WHEEL]


def test_shutdown_ends_cleanly(sim_env):
    with can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY, listen="710#013E") as bus:
        assert len(frames(bus, 8)) == 8
        api = bus._api
    # Every item released, and the API destructed.
    assert api.item_balance == 0 and api.items_taken > 8
    with pytest.raises(can.CanOperationError, match="shut down"):
        bus.send(can.Message(arbitration_id=0x710, is_extended_id=False, data=[1]))
    # The next bus gets the link again: nothing was left behind.
    with can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY) as bus:
        bus.send(can.Message(arbitration_id=0x18DA10F1, is_extended_id=True, data=[9]))
        assert short(frames(bus, 1)[0]) == ("18DAF110", True, 1, "09")


def test_can_logger_command(sim_env, tmp_path):
    """python3 -m can.logger -i pdu7318 -c RSC_... prints the bus's frames."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(HERE), entry_point_dir(str(tmp_path))]))
    out_path = tmp_path / "logger.out"
    with open(out_path, "w") as out:
        p = subprocess.Popen([sys.executable, "-m", "can.logger", "-i", "pdu7318", "-c", RAW,
                              "--library=" + LIBRARY, "--listen=710#013E"],
                             env=env, stdout=out, stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 15
            while out_path.read_text().count("ID: 01a0") < 6 and time.monotonic() < deadline:
                if p.poll() is not None:
                    break
                time.sleep(0.05)
        finally:
            p.send_signal(signal.SIGINT)
            try:
                p.wait(15)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
    text = out_path.read_text()
    assert "Connected to PduCanBus" in text, text
    assert text.count("ID: 01a0") >= 6, text
    assert "ID: 0718" in text and "02 7e 00 aa aa aa aa aa" in text
    assert p.returncode == 0, text
