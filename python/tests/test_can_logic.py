"""The python-can bus's own logic: the frame layout, the window sizes, the
error mapping, and the bus on the in-process library of fakepdu.py, where
a test decides when a ComPrimitive ends (taking turns, periodic frames,
the shutdown budget, a lost VCI, failed openings). The bus on the real
library and vcisim: test_can.py and the busy bus tests."""

import time

import pytest

can = pytest.importorskip("can")

import fakepdu  # noqa: E402
import pdu7318  # noqa: E402
from conftest import in_thread, until  # noqa: E402
from pdu7318.can import decode_frame, encode_frame, next_window, parse_frame_text  # noqa: E402

RAW = "RSC_ISO_11898_RAW_6_14"
LISTEN = bytes.fromhex("10 07 00 00 01 3E")  # 710#013E on the link


def message(ident, data, extended=False):
    return can.Message(arbitration_id=ident, is_extended_id=extended, data=data)


@pytest.mark.parametrize("msg, text, wire", [  # the frame, as --listen writes it, on the link
    (message(0x710, [2, 0x10, 3]), "710#021003", "10 07 00 00 02 10 03"),
    (message(0x18DA10F1, [1, 2, 3], True), "18DA10F1#010203", "F1 10 DA 98 01 02 03"),
    (message(0x7FF, b""), "7FF#", "FF 07 00 00"),
    (can.Message(arbitration_id=0x123, is_extended_id=False, is_remote_frame=True, dlc=0), "123#R", "23 01 00 40"),
    (message(0x1FFFFFFF, bytes(range(8)), True), "1FFFFFFF#0001020304050607", "FF FF FF 9F 00 01 02 03 04 05 06 07"),
])
def test_frame_layout(msg, text, wire):
    assert encode_frame(msg) == bytes.fromhex(wire) == encode_frame(parse_frame_text(text))
    back = decode_frame(bytes.fromhex(wire))
    assert (back.arbitration_id, back.is_extended_id, back.is_remote_frame, back.dlc) == (
        msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, len(msg.data))
    assert bytes(back.data) == bytes(msg.data)


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


def sendrecvs(fake, frame=None):
    return [data for kind, data in fake.started if kind == 0x8004 and frame in (None, data)]


def test_send_waits_for_its_turn_and_gives_up_at_the_timeout(fake):
    def ecu(job):  # 0x123 has no ECU: its SENDRECV runs until the test ends it
        if job.data[:4] == bytes.fromhex("23 01 00 00"):
            job.ended.wait(10)
        else:
            fake.result(job, job.data)  # an echo
    fake.behave = ecu
    with can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH) as bus:
        t0 = time.monotonic()
        bus.send(message(0x123, [1]), timeout=1.0)
        assert time.monotonic() - t0 < 0.5  # handed over, not answered
        with pytest.raises(can.CanOperationError, match="not sent within 0.300 s"):
            bus.send(message(0x710, [0x01, 0x3E]), timeout=0.3)
        assert 0.28 < time.monotonic() - t0 < 1.0
        fake.running.ended.set()
        bus.send(message(0x18DA10F1, [5], True), timeout=4.0)
        echo = bus.recv(2.0)
        assert (echo.arbitration_id, echo.is_extended_id, bytes(echo.data)) == (0x18DA10F1, True, b"\x05")
    # The refused frame never went, also not after the turn came.
    assert sendrecvs(fake) == [bytes.fromhex("23 01 00 00 01"), bytes.fromhex("F1 10 DA 98 05")]


def test_stopped_periodic_frame_never_goes_and_listening_goes_on(fake):
    periodic = bytes.fromhex("10 07 00 00 55")

    def bus_(job):
        if job.data != LISTEN:
            return fake.result(job, bytes.fromhex("18 07 00 00 7E"))  # the ECU's answer
        for n in range(3):  # a window: three frames 10 ms apart, then silence
            if job.ended.wait(0.01):
                return
            fake.result(job, bytes.fromhex("A0 01 00 00") + bytes([n]))
    fake.behave = bus_
    bus = can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH, listen="710#013E", listen_interval=0.02)
    idle, at_stop = bus._idle, []

    def stop_at_a_window_end(quiet=False):
        # The bus's own step after a window ended, under its lock: with the
        # task's frame waiting for the turn, the task is stopped right here.
        if not at_stop and bus._running is None and bus._senders > 0 and fake.started[-1][1] == LISTEN:
            task.stop()
            at_stop.append((len(sendrecvs(fake, periodic)), len(sendrecvs(fake, LISTEN))))
        idle(quiet)
    try:
        task = bus.send_periodic(message(0x710, [0x55]), 0.02)
        assert until(lambda: len(sendrecvs(fake, periodic)) >= 5)
        bus._idle = stop_at_a_window_end
        assert until(lambda: at_stop)
        # The window did not reopen for the frame, which now never goes (the
        # task's thread ends); the next window opens.
        sent, windows = at_stop[0]
        task._thread.join(1.0)
        assert not task._thread.is_alive()
        assert until(lambda: len(sendrecvs(fake, LISTEN)) > windows)
    finally:
        bus.shutdown()
    assert len(sendrecvs(fake, periodic)) == sent
    assert bus.quiet_windows >= 1  # each window ended with fewer frames than it asked for


def test_shutdown_within_two_seconds(fake, monkeypatch):
    """Two buses at once, each on its own library: one whose window never
    ends (shutdown waits 1 s for it, then sends no STOPCOMM: the destruct
    ends the window) and one whose VCI stops answering at shutdown
    (STOPCOMM never ends). A second shutdown() does nothing."""
    def stream(job):
        while job.data == LISTEN and not job.ended.wait(0.001):
            fake.result(job, bytes.fromhex("C1 00 00 00 12 34"))
    fake.behave = stream
    silent = fakepdu.install(monkeypatch, fakepdu.PATH + ".2")
    silent.behave = lambda job: job.coptype == 0x8002 and job.ended.wait(10)

    def shutdown(bus):
        t0 = time.monotonic()
        try:
            bus.shutdown()
        except can.CanError as e:
            return time.monotonic() - t0, e
        return time.monotonic() - t0, None
    windowed = can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH, listen="710#013E", window=30.0)
    assert until(lambda: fake.running is not None and fake.running.data == LISTEN)
    quiet = can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH + ".2")
    other = in_thread(shutdown, quiet)
    took, error = shutdown(windowed)
    assert 0.9 < took <= 2.0 and error is None
    assert 0x8002 not in [kind for kind, _ in fake.started] and fake.destructs == 1
    took, error = other.result(10)
    assert took <= 2.0
    assert type(error) is can.CanOperationError and error.error_code is None
    assert str(error).startswith("shutdown: ComPrimitive 2 did not finish within")
    assert silent.destructs == 1 and silent.out == {}
    quiet.shutdown()
    assert silent.destructs == 1


def test_lost_vci(fake):
    fake.behave = lambda job: fake.result(job, job.data)
    bus = can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH)
    fake.lose()
    with pytest.raises(can.CanOperationError) as e:
        bus.send(message(0x710, [1, 0x3E]), timeout=1.0)
        bus.recv(2.0)
    assert isinstance(e.value.__cause__, pdu7318.VciLostError) and e.value.error_code == 0x106
    with pytest.raises(can.CanOperationError, match="VCI lost: PDU_ERR_EVT_LOST_COMM_TO_VCI"):  # every later call too
        bus.recv(0)
    t0 = time.monotonic()
    bus.shutdown()  # the loss was told: nothing new
    assert time.monotonic() - t0 < 2.0 and fake.destructs == 1
    assert bus.state == can.BusState.ERROR


def test_failed_openings_are_initialization_errors(fake):
    fake.fail["PDUConstruct"] = 0x01
    with pytest.raises(can.CanInitializationError, match="PDUConstruct failed: PDU_ERR_FCT_FAILED") as e:
        can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH)
    assert isinstance(e.value.__cause__, pdu7318.PduError)
    # Without a VCI the link's start fails, and so does the close after it:
    # the start's failure is the one reported.
    fake.fail = {"PDUStartComPrimitive": 0x01}
    fake.lost = True
    with pytest.raises(can.CanInitializationError) as e:
        can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH)
    assert (e.value.__cause__.call, e.value.__cause__.code) == ("PDUStartComPrimitive", 0x01)
    assert fake.destructs == 1


def test_silent_vci_is_told_from_a_silent_ecu(fake):
    """A ComPrimitive without an answer is followed by the battery-voltage
    check once nothing of the bus's runs: an answer (a silent ECU) lets the
    bus go on; none (a silent VCI) ends it as lost, and shutdown() sends
    no STOPCOMM."""
    fake.behave = lambda job: job.coptype == 0x8004 and fake.error(job, 0x103)  # nobody answers
    bus = can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH, listen="710#013E", listen_interval=0.01)
    try:
        bus.send(message(0x123, [1]), timeout=1.0)  # an ECU that never answers, and windows of silence
        assert until(lambda: fake.vbatt_reads >= 2)
        assert bus.state == can.BusState.ACTIVE and bus.recv(0) is None
        fake.silent = True
        t0 = time.monotonic()
        with pytest.raises(can.CanOperationError, match="VCI lost: the VCI does not answer") as e:
            bus.recv(2.0)
        assert time.monotonic() - t0 < 1.0 and isinstance(e.value.__cause__, pdu7318.VciLostError)
        assert bus.state == can.BusState.ERROR
        started = len(fake.started)
    finally:
        t0 = time.monotonic()
        bus.shutdown()
    assert time.monotonic() - t0 < 0.5 and len(fake.started) == started  # no STOPCOMM


def test_frames_refused_and_own_frames(fake):
    fake.behave = lambda job: fake.result(job, bytes.fromhex("18 07 00 00 7E"))
    bad = [can.Message(arbitration_id=0x710, is_extended_id=False, is_error_frame=True),
           can.Message(arbitration_id=0x710, is_extended_id=False, is_fd=True, data=bytes(12))]
    with can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH, receive_own_messages=True) as bus:
        for msg in bad:
            with pytest.raises(can.CanOperationError, match="Nothing was sent"):
                bus.send(msg)
            with pytest.raises(can.CanOperationError, match="Nothing was sent"):
                bus.send_periodic(msg, 0.1)
        bus.send(message(0x710, [0x55]))
        own, answer = bus.recv(1.0), bus.recv(1.0)
    assert sendrecvs(fake) == [bytes.fromhex("10 07 00 00 55")]
    assert (own.arbitration_id, bytes(own.data), own.is_rx) == (0x710, b"\x55", False)
    assert (answer.arbitration_id, bytes(answer.data), answer.is_rx) == (0x718, b"\x7e", True)


def test_waiting_sends_shorten_windows(fake):
    """A frame a millisecond while a window runs: windows ask for the
    frames of `window` less the closing silence, and each send that waited
    halves the next window, so that a loop of sends gets through."""
    def stream(job):
        if job.data != LISTEN:
            return fake.result(job, job.data)
        for _ in range(job.cycles):
            fake.result(job, bytes.fromhex("C1 00 00 00 12 34"))
            if job.ended.wait(0.001):
                return
        job.ended.wait(0.05)  # the module's closing silence
    fake.behave = stream
    bus = can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH, listen="710#013E", window=0.25)
    try:
        assert until(lambda: bus.window_gaps >= 2)  # the second window is sized to the bus's rate
        sized = bus._window_frames
        for n in range(6):
            bus.send(message(0x710, [n]), timeout=1.0)
        shortened, scale = bus._window_frames, bus._window_scale
    finally:
        bus.shutdown()
    # Sized to 0.2 s of frames (0.25 s less the 50 ms tail), at most; then
    # halved at least once (in frames only about: each window measures the
    # rate again, and a loaded machine's rate moves).
    assert 32 <= sized <= 200 and scale <= 0.5 and shortened <= sized * 3 // 4, (sized, shortened, scale)


def test_dropped_periodic_frames_are_counted_and_logged_once_a_second(fake, caplog):
    fake.behave = lambda job: job.data == LISTEN and job.ended.wait(10)  # a window that never ends
    bus = can.Bus(interface="pdu7318", channel=RAW, library=fakepdu.PATH, listen="710#013E")
    try:
        task = bus.send_periodic(message(0x710, [0x55]), 0.01)
        assert until(lambda: task.dropped >= 10)
        task.stop()
    finally:
        bus.shutdown()
    assert bus.periodic_dropped == task.dropped and sendrecvs(fake) == [LISTEN]
    assert [r.getMessage()[:40] for r in caplog.records if r.name == "pdu7318.can"] == [
        "pdu7318 periodic 0x710: 1 frame(s) dropp"]
