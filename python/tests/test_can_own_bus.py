"""The python-can interface where a test opens its own bus (listen
windows, shutdown) or runs can.logger, against vcisim's raw CAN car (see
test_can.py). The can.logger run has its own vcisim and runs in a thread
from the module's first test on."""

import os
import signal
import subprocess
import sys
import time

import pytest

can = pytest.importorskip("can")

from conftest import HERE, LIBRARY, Sim, background, entry_point_dir, environment  # noqa: E402
from test_can import RAW, WHEEL, frames, short  # noqa: E402
import pdu7318  # noqa: E402

SCENARIO = "rawcan"


def test_listen_windows_carry_the_bus(sim_env):
    with can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY, listen="710#013E", listen_interval=0.2) as bus:
        reader = can.BufferedReader()
        notifier = can.Notifier(bus, [reader], timeout=0.1)
        try:
            got = []
            deadline = time.monotonic() + 5
            while len(got) < 12 and time.monotonic() < deadline:
                msg = reader.get_message(0.2)
                if msg is not None:
                    got.append(msg)
        finally:
            notifier.stop()
        # The first window asked for 32 frames and ended in silence after six.
        assert bus.quiet_windows >= 1
    # Two windows, each the answer to the listen frame and the five wheel frames.
    window = [("718", False, 8, "02 7e 00 aa aa aa aa aa")] + [("1A0", False, 8, w) for w in WHEEL]
    assert [short(m) for m in got] == window * 2
    # Arrival times: ordered, and the quiet pause between the windows shows.
    stamps = [m.timestamp for m in got]
    assert stamps == sorted(stamps)
    assert stamps[6] - stamps[5] >= 0.15


def test_shutdown_ends_cleanly(sim_env):
    with can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY, listen="710#013E") as bus:
        assert len(frames(bus, 6)) == 6
        api = bus._api
        t0 = time.monotonic()
    assert time.monotonic() - t0 < 2.0
    # Every item released, and the API destructed.
    assert api.item_balance == 0 and api.items_taken > 6
    with pytest.raises(can.CanOperationError, match="shut down"):
        bus.send(can.Message(arbitration_id=0x710, is_extended_id=False, data=[1]))
    # The next bus gets the link again: nothing was left behind.
    with can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY) as bus:
        bus.send(can.Message(arbitration_id=0x18DA10F1, is_extended_id=True, data=[9]))
        assert short(frames(bus, 1)[0]) == ("18DAF110", True, 1, "09")


def test_no_vci_is_an_initialization_error(sim_env, monkeypatch):
    monkeypatch.setenv("PDU7318_PORTS", "/nonexistent/vci")
    t0 = time.monotonic()
    with pytest.raises(can.CanInitializationError, match="no VCI found: .*/nonexistent/vci") as e:
        can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY)
    assert type(e.value.__cause__).__name__ == "VciNotFoundError"
    assert time.monotonic() - t0 < 5.0  # at once, not after a link's timeouts
    # Where the check cannot be made the link's start fails instead (after
    # its 10 s timeout; failed here at once): also an initialization error,
    # not the failure of the close after it (PDUModuleDisconnect: 0x11).
    monkeypatch.setattr(pdu7318.vci, "open_files", lambda: None)
    failed = pdu7318.PduError("PDUStartComPrimitive", 0x01)

    def start_comm(link):
        raise failed
    monkeypatch.setattr(pdu7318.Link, "start_comm", start_comm)
    with pytest.raises(can.CanInitializationError) as e:
        can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY)
    assert e.value.__cause__ is failed


def run_logger(tmp):
    """python3 -m can.logger -i pdu7318 -c RSC_... --listen=... on its own
    vcisim until it printed six wheel frames (two windows; the second after
    0.2 s instead of the default 1 s: the logger hands --listen-interval to
    the bus as a float), then SIGINT. Returns its output and exit status."""
    sim = Sim(tmp, SCENARIO)
    try:
        env = dict(os.environ, **environment(tmp, sim.port))
        env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(HERE), entry_point_dir(tmp)])
        out_path = os.path.join(tmp, "logger.out")
        with open(out_path, "w") as out:
            p = subprocess.Popen([sys.executable, "-m", "can.logger", "-i", "pdu7318", "-c", RAW,
                                  "--library=" + LIBRARY, "--listen=710#013E", "--listen-interval=0.2"],
                                 env=env, stdout=out, stderr=subprocess.STDOUT)
            try:
                deadline = time.monotonic() + 15
                while open(out_path).read().count("ID: 01a0") < 6 and time.monotonic() < deadline:
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
        with open(out_path) as f:
            return f.read(), p.returncode
    finally:
        sim.stop()


@pytest.fixture(scope="module", autouse=True)
def logger_run(request, tmp_path_factory):
    """Starts run_logger with the module's first test when
    test_can_logger_command is selected."""
    yield from background(request, tmp_path_factory, "test_can_logger_command", run_logger, "logger")


def test_can_logger_command(logger_run):
    """python3 -m can.logger -i pdu7318 -c RSC_... prints the bus's frames
    (see run_logger)."""
    text, returncode = logger_run.result(60)
    assert "Connected to PduCanBus" in text, text
    assert text.count("ID: 01a0") >= 6, text
    assert "ID: 0718" in text and "02 7e 00 aa aa aa aa aa" in text
    assert returncode == 0, text


def test_can_logger_without_listen_frame_refuses(sim_env, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(HERE), entry_point_dir(str(tmp_path))]))
    t0 = time.monotonic()
    p = subprocess.run([sys.executable, "-m", "can.logger", "-i", "pdu7318", "-c", RAW, "--library=" + LIBRARY],
                       env=env, capture_output=True, text=True, timeout=30)
    assert p.returncode == 2
    assert p.stdout == ""
    assert p.stderr.splitlines() == [
        "pdu7318: this bus cannot receive without transmitting: the D-PDU API receives only inside a "
        "ComPrimitive, and a ComPrimitive sends its frame first. Nothing was sent. Name the frame the bus may "
        "send to open each receive window with --listen=ID#DATA (e.g. --listen=7DF#00), if sending it is "
        "acceptable on this bus"]
    assert time.monotonic() - t0 < 10
