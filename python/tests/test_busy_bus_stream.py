"""The python-can bus on data/scenarios/busy-bus.json, checked against
vcisim's frame trace: every frame the VCI passed comes out of recv(), in
order; nothing goes on the wire after shutdown() or a periodic task's stop()
began; shutdown() ends in bounded time."""

import re
import time

import pytest

can = pytest.importorskip("can")

from conftest import LIBRARY, simulator  # noqa: E402
from e2e import passed, sent  # noqa: E402
from test_busy_bus import BUSY, RAW, drain  # noqa: E402


def sendrecvs(sim):
    return sent(sim.output(), " COP ", "SENDRECV")


@pytest.fixture
def busy(monkeypatch):
    with simulator(BUSY, monkeypatch=monkeypatch) as (sim, _):
        yield sim


def frame_of(msg):
    """A received frame as its raw link bytes in the trace's notation."""
    word = msg.arbitration_id | (0x80000000 if msg.is_extended_id else 0)
    return " ".join("%02X" % b for b in word.to_bytes(4, "little") + bytes(msg.data))


def lost_runs(got, passed):
    """Match the received frames in order against the frames the VCI passed
    (both as link bytes); the runs of passed frames that were not received,
    as (index of the first, count). Fails when a received frame was never
    passed or came out of order."""
    runs, i = [], 0
    for n, want in enumerate(got):
        start = i
        while i < len(passed) and passed[i] != want:
            i += 1
        assert i < len(passed), "received frame %d (%s) was not passed, or not in this order" % (n, want)
        if i > start:
            runs.append((start, i - start))
        i += 1
    if i < len(passed):
        runs.append((i, len(passed) - i))
    return runs


def test_live_bus_nothing_lost_nothing_extra(busy):
    got = []
    bus = can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY, listen="710#013E")
    drain(bus, got, 0.3)  # the first window (32 frames) is over: the next is sized to the bus's rate
    # A send waits for the window that runs (about 0.25 s) and then goes.
    t0 = time.monotonic()
    bus.send(can.Message(arbitration_id=0x710, is_extended_id=False, data=[0x42]), timeout=1.5)
    assert time.monotonic() - t0 < 1.0
    task = bus.send_periodic(can.Message(arbitration_id=0x710, is_extended_id=False, data=[0x55]), 0.05)
    drain(bus, got, 0.45)  # one window's end at least: the task's frame goes
    task.stop()
    # A send that began before stop() may reach the trace a moment later;
    # three periods on, every frame the task sent is there, and a task that
    # went on would add six more during the next 0.3 s.
    drain(bus, got, 0.15)
    periodic_at_stop = len([s for s in sendrecvs(busy) if "[10 07 00 00 55 " in s])
    drain(bus, got, 0.3)
    t0 = time.monotonic()
    bus.shutdown()
    took = time.monotonic() - t0
    got += iter(lambda: bus.recv(0), None)  # what the last window brought
    assert took <= 2.0, "shutdown took %.3f s" % took
    # The VCI's answer to CLOSE is the last it writes.
    busy.wait_for("CLOSE answer")
    # Every frame the VCI passed came out of recv(), in the order it was
    # passed. The one exception is the module's own rule: a window that saw
    # 20 ms without a frame (a stall of a loaded machine) has ended, and what
    # the VCI still passed for it is discarded: at most one run per such window.
    frames = [h for _, h in passed(busy.output())]
    runs = lost_runs([frame_of(m) for m in got], frames)
    assert len(got) > 100
    if bus.quiet_windows:
        print("\n%d window(s) ended at a stall; lost runs: %s" % (bus.quiet_windows, runs))
    assert len(runs) <= bus.quiet_windows, "frames lost inside windows: %s of %d passed" % (runs, len(frames))
    # Nothing after stop() of the periodic task, nothing after shutdown() began.
    assert len([s for s in sendrecvs(busy) if "[10 07 00 00 55 " in s]) == periodic_at_stop >= 1
    # Every SENDRECV on the wire is one the bus started (a receive window may
    # turn over right up to shutdown(); none starts after it: see below).
    assert len(sendrecvs(busy)) == bus.sendrecvs
    # Every window but one that shutdown() ended is a gap the bus counted.
    windows = len([s for s in sendrecvs(busy) if "[10 07 00 00 01 3E" in s])
    assert windows - 1 <= bus.window_gaps <= windows
    # STOPCOMM goes only when the last window ended within shutdown()'s 1 s
    # wait (a loaded machine can stretch it); without it the destruct ends
    # the window, and CLOSE is the mark.
    tail = busy.output().splitlines()
    close = max(i for i, ln in enumerate(tail) if re.search(r"PC->VCI .* CLOSE\b", ln))
    stop = max([i for i, ln in enumerate(tail) if "STOPCOMM" in ln and "PC->VCI" in ln], default=close)
    assert stop <= close and not any("SENDRECV" in ln for ln in tail[stop:])
    # Arrival times in order.
    stamps = [m.timestamp for m in got]
    assert stamps == sorted(stamps)
