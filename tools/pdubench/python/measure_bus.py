"""The python-can bus's figures in docs/python.md, measured against
vcisim's frame trace on data/scenarios/busy-bus.json (not a test):

    measure_bus.py WINDOW SECONDS   captured share of 0x0C1 (every 1 ms),
                                    window_gaps, timestamp delta errors
    measure_bus.py send             sends while listening

Run from the source tree after a build (the Python tests' conftest finds
the library and vcisim in build/), e.g. /usr/bin/python3
tools/pdubench/python/measure_bus.py 0.25 3.
"""

import logging
import os
import re
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "python", "tests"))
from conftest import DATA_DIR, LIBRARY, simulator  # first: it makes the interface's entry point visible

import can  # noqa: E402

BUSY = os.path.join(DATA_DIR, "scenarios", "busy-bus.json")
RAW = "RSC_ISO_11898_RAW_6_14"

def link_bytes(msg):
    word = msg.arbitration_id | (0x80000000 if msg.is_extended_id else 0)
    return " ".join("%02X" % b for b in word.to_bytes(4, "little") + bytes(msg.data))

def trace_frames(sim):
    """(simulator seconds, link bytes) of every frame the VCI passed."""
    out = []
    for ln in sim.output().splitlines():
        if "VCI->PC" in ln and "VEHICLE_DATA" in ln and " n=0 " not in ln:
            t = float(re.match(r"\[\s*([0-9.]+)\]", ln).group(1))
            out.append((t, re.search(r"\[([0-9A-F ]+)\]", ln).group(1)))
    return out

def listen_run(window, seconds):
    with simulator(BUSY) as (sim, env):
        os.environ.update(env)
        bus = can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY, listen="710#013E", window=window)
        got = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            m = bus.recv(0.05)
            if m is not None:
                got.append(m)
        gaps = bus.window_gaps
        bus.shutdown()
        got += iter(lambda: bus.recv(0), None)
        tr = trace_frames(sim)
    # match received frames to trace in order
    idx = []
    i = 0
    for m in got:
        b = link_bytes(m)
        while i < len(tr) and tr[i][1] != b:
            i += 1
        idx.append(i if i < len(tr) else None)
        i += 1
    # 0x0C1 is due every 1 ms of the simulator's clock, passed or not.
    c1 = [(t, b) for t, b in tr if b.startswith("C1 00 00 00")]
    span_ms = (c1[-1][0] - c1[0][0]) * 1000 + 1
    got_c1 = sum(1 for m in got if m.arbitration_id == 0xC1)
    deltas = []
    for k in range(1, len(got)):
        a, b = idx[k - 1], idx[k]
        if a is not None and b == a + 1:
            deltas.append(abs((got[k].timestamp - got[k - 1].timestamp) - (tr[b][0] - tr[a][0])) * 1000)
    deltas.sort()
    within = sum(d <= 5 for d in deltas) / len(deltas)
    print("window %.2f: %d frames in %.1f s, 0x0C1 captured %d of ~%d (%.1f %%), window_gaps %d; "
          "timestamp delta error: median %.2f ms, p95 %.2f ms, max %.1f ms, within 5 ms %.1f %% of %d pairs"
          % (window, len(got), seconds, got_c1, span_ms, 100.0 * got_c1 / span_ms, gaps,
             statistics.median(deltas), deltas[int(len(deltas) * 0.95)], deltas[-1], 100 * within, len(deltas)))

def send_run():
    logging.basicConfig(level=logging.WARNING)
    with simulator(BUSY) as (sim, env):
        os.environ.update(env)
        bus = can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY, listen="710#013E")
        time.sleep(0.5)
        msg = can.Message(arbitration_id=0x710, is_extended_id=False, data=[0x01, 0x3E])
        waits = []
        t0 = time.monotonic()
        for _ in range(200):
            t = time.monotonic(); bus.send(msg, timeout=3.0); waits.append(time.monotonic() - t)
        rate = 200 / (time.monotonic() - t0)
        fails = 0
        for _ in range(50):
            try:
                bus.send(msg, timeout=0.1)
            except can.CanOperationError:
                fails += 1
            time.sleep(0.02)
        task = bus.send_periodic(can.Message(arbitration_id=0x710, is_extended_id=False, data=[0x55]), 0.01)
        s0 = bus.sendrecvs; time.sleep(1.0); task.stop()
        print("sends while listening: %.0f frames/s, wait max %.3f s median %.3f s; send(timeout=0.1) failed %d of 50; "
              "send_periodic 0.01: %d SENDRECVs in 1 s (periodic dropped %d)" % (
                  rate, max(waits), statistics.median(waits), fails, bus.sendrecvs - s0, task.dropped))
        bus.shutdown()

if sys.argv[1] == "send":
    send_run()
else:
    listen_run(float(sys.argv[1]), float(sys.argv[2]))
