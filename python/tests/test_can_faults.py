"""The python-can bus when its process or its VCI ends a session the hard
way, on the real library and vcisim's raw CAN car (rawcan.json; its 0x710
answer: test_can.py): Ctrl-C in a script that never shuts its bus down, a
VCI that stops answering and one that goes away."""

import os
import re
import signal
import subprocess
import sys
import time

import pytest

can = pytest.importorskip("can")

from conftest import LIBRARY, simulator  # noqa: E402
from test_can import RAW, SCENARIO, short  # noqa: E402

INTERRUPTED = """
import sys, can
bus = can.Bus(interface="pdu7318", channel="RSC_ISO_11898_RAW_6_14", library=sys.argv[1], listen="710#013E",
              listen_interval=0.05)
print("ready", flush=True)
while True:
    bus.recv(1.0)
"""


def run_interrupted(tmp):
    """INTERRUPTED on its own vcisim, ended by SIGINT while it listens."""
    with simulator(SCENARIO, python=True) as (sim, env):
        p = subprocess.Popen([sys.executable, "-c", INTERRUPTED, LIBRARY], env=dict(os.environ, **env),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            ready = p.stdout.readline()
            sim.wait_for("[10 07 00 00 01 3E")
            t0 = time.monotonic()
            p.send_signal(signal.SIGINT)
            _, err = p.communicate(timeout=10)
            took = time.monotonic() - t0
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        return ready, p.returncode, err, took, sim.wait_for("CLOSE answer")


BACKGROUND = {"test_interrupted_script_closes": run_interrupted}


def test_interrupted_script_closes(background):
    """Ctrl-C in a script without shutdown(): Python runs its exit handlers
    and then ends by SIGINT; STOPCOMM and CLOSE are on the wire."""
    ready, returncode, err, took, trace = background.result(60)
    assert (ready, returncode) == ("ready\n", -signal.SIGINT), err
    assert "KeyboardInterrupt" in err and took <= 2.0, (took, err)
    wire = [ln for ln in trace.splitlines() if "PC->VCI" in ln]
    stop = max(i for i, ln in enumerate(wire) if "STOPCOMM" in ln)
    close = max(i for i, ln in enumerate(wire) if re.search(r" CLOSE\b", ln))
    assert stop < close == len(wire) - 1, wire[-5:]


@pytest.mark.parametrize("how", ["silent", "unplugged"])
def test_vci_that_stops_answering(how, monkeypatch):
    """The VCI stops answering (vcisim stopped) while windows run: shutdown()
    returns within 2 s. Or it goes away: recv() raises at once, bus.state
    is ERROR, and shutdown() raises nothing new. (Telling a silent VCI
    takes the module's receive timeout, 3.8 s here: test_can_logic.)"""
    with simulator(SCENARIO, monkeypatch=monkeypatch) as (sim, _):
        bus = can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY, listen="710#013E", listen_interval=0.02)
        try:
            assert short(bus.recv(3.0)) == ("718", False, 8, "02 7e 00 aa aa aa aa aa")
            if how == "silent":
                os.kill(sim.proc.pid, signal.SIGSTOP)
            else:
                sim.stop()
                t0 = time.monotonic()
                with pytest.raises(can.CanOperationError, match="VCI lost: PDU_ERR_EVT_LOST_COMM_TO_VCI"):
                    while time.monotonic() - t0 < 5:
                        bus.recv(0.2)
                assert time.monotonic() - t0 < 1.0 and bus.state == can.BusState.ERROR
        finally:
            t0 = time.monotonic()
            try:
                bus.shutdown()
            finally:
                took = time.monotonic() - t0
                if how == "silent":
                    os.kill(sim.proc.pid, signal.SIGCONT)
    assert took <= 2.0
