"""The python-can bus on the real library and vcisim's raw CAN car
(rawcan.json): a body ECU answering 0x710 on 0x718, a gateway echoing
0x18DA10F1 on 0x18DAF110 and a wheel-speed frame on 0x1A0 every 10 ms."""

import os
import signal
import subprocess
import sys
import time

import pytest

can = pytest.importorskip("can")

from conftest import LIBRARY, simulator, until  # noqa: E402

SCENARIO = "rawcan"
RAW = "RSC_ISO_11898_RAW_6_14"
ANSWER = ("718", False, 8, "02 7e 00 aa aa aa aa aa")  # to the listen frame 710#013E
WHEEL = ("1A0", False, 8, "10 27 10 27 10 27 10 00")


def short(msg):
    return msg and ("%X" % msg.arbitration_id, msg.is_extended_id, msg.dlc, bytes(msg.data).hex(" "))


def run_logger(tmp):
    """python3 -m can.logger on its own vcisim: without --listen, then with it
    (--listen-interval=0.2 reaches the bus as a float) until six wheel frames."""
    with simulator(SCENARIO, python=True) as (_, env):
        env = dict(os.environ, **env)
        logger = [sys.executable, "-m", "can.logger", "-i", "pdu7318", "-c", RAW, "--library=" + LIBRARY]
        refused = subprocess.run(logger, env=env, capture_output=True, text=True, timeout=10)
        out_path = os.path.join(tmp, "logger.out")
        with open(out_path, "w") as out:
            p = subprocess.Popen(logger + ["--listen=710#013E", "--listen-interval=0.2"], env=env, stdout=out,
                                 stderr=subprocess.STDOUT)
            try:
                until(lambda: open(out_path).read().count("ID: 01a0") >= 6 or p.poll() is not None, 15)
            finally:
                p.send_signal(signal.SIGINT)
                p.wait(15)
        with open(out_path) as f:
            return refused, f.read(), p.returncode


BACKGROUND = {"test_can_logger_command": run_logger}


def test_listen_windows_and_shutdown(sim_env):
    with can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY, listen="710#013E", listen_interval=0.2) as bus:
        reader = can.BufferedReader()
        notifier = can.Notifier(bus, [reader], timeout=0.1)
        try:
            got = []
            deadline = time.monotonic() + 5
            while [short(m) for m in got].count(ANSWER) < 2 and time.monotonic() < deadline:
                if (msg := reader.get_message(0.2)) is not None:
                    got.append(msg)
        finally:
            notifier.stop()
        api = bus._api
        t0 = time.monotonic()
    # Shut down within 2 s, every item released, and the API destructed.
    assert time.monotonic() - t0 < 2.0 and api.item_balance == 0 and api.items_taken >= len(got)
    with pytest.raises(can.CanOperationError, match="shut down"):
        bus.send(can.Message(arbitration_id=0x710, is_extended_id=False, data=[1]))
    # Two windows, each with the answer to its listen frame among the bus's
    # wheel frames: the first window asked for 32 frames and got them (the
    # bus never falls quiet), the second opened at once after it.
    frames = [short(m) for m in got]
    assert frames.count(ANSWER) == 2 and frames.count(WHEEL) == len(frames) - 2 >= 10, frames
    assert [m.timestamp for m in got] == sorted(m.timestamp for m in got)


def test_send_and_recv(sim_env):
    # After the last test's shutdown the next bus gets the link again.
    # Without a listen frame no window is open: each answer a send waits for
    # is the next frame recv() returns.
    with can.Bus(interface="pdu7318", channel=RAW, library=LIBRARY) as bus:
        start = time.time()
        bus.send(can.Message(arbitration_id=0x710, is_extended_id=False, data=[0x02, 0x10, 0x03]))
        got = bus.recv(3.0)
        assert short(got) == ("718", False, 8, "06 50 03 00 32 01 f4 aa")
        assert start - 1 < got.timestamp < time.time() + 1
        for n in (1, 2):
            bus.send(can.Message(arbitration_id=0x18DA10F1, is_extended_id=True, data=[n, 2, 3]), timeout=3.0)
            assert short(bus.recv(3.0)) == ("18DAF110", True, 3, "%02x 02 03" % n)


def test_can_logger_command(background):
    refused, text, returncode = background.result(60)
    assert (refused.returncode, refused.stdout, refused.stderr.splitlines()) == (2, "", [
        "pdu7318: this bus cannot receive without transmitting: the D-PDU API receives only inside a "
        "ComPrimitive, and a ComPrimitive sends its frame first. Nothing was sent. Name the frame the bus may "
        "send to open each receive window with --listen=ID#DATA (e.g. --listen=7DF#00), if sending it is "
        "acceptable on this bus"])
    assert (returncode == 0 and "Connected to PduCanBus" in text and text.count("ID: 01a0") >= 6 and
            "ID: 0718" in text and "02 7e 00 aa aa aa aa aa" in text), text
