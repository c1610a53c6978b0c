#!/usr/bin/env python3
"""The library on a live bus (data/scenarios/busy-bus.json: frames every
1 ms and 10 ms, bursts, a UDS engine ECU) and on a VCI that goes away, end
to end: this file run with --child is a small ctypes client driving the
library in a child process; the cases check what it reports against the
simulator's trace. Run with --child LIBRARY MODE it is also the lifetime
tests' Python application (tests/lifetime), which ends without PDUDestruct.
"""
import atexit
import ctypes as C
import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "..", "python")]
from pdu7318 import _capi as T  # noqa: E402  (the structures' layout only)
from e2e import STALLED, Failure, Sim, check, env, passed, sent, until  # noqa: E402
import e2e_runner  # noqa: E402

RAW = "RSC_ISO_11898_RAW_6_14"
UDS = "RSC_ISO_15765_3_on_ISO_15765_2_6_14"
CLOSE_WAIT_MS = 1000


# ---- the client (child process) ---------------------------------------------

class Client:
    """Polls for its items. A callback is registered all the same: without
    one the library drops an event of the link whenever it would call
    back (the FINISHED of a ComPrimitive whose results were polled)."""

    def __init__(self, lib):
        self.lib = C.CDLL(lib)
        assert self.lib.PDUConstruct(None, None) == 0
        self.items = []

    def obj(self, kind, name):
        out = C.c_uint32()
        assert self.lib.PDUGetObjectId(kind, name.encode(), C.byref(out)) == 0, name
        return out.value

    def link(self, resource, callback=True):
        h = C.c_uint32()
        assert self.lib.PDUCreateComLogicalLink(1, None, self.obj(0x8026, resource), None, C.byref(h), None) == 0
        self.callback = T.CALLBACKFNC(lambda *args: None)
        assert not callback or self.lib.PDURegisterEventCallback(1, h.value, self.callback) == 0
        assert self.lib.PDUConnect(1, h.value) == 0
        self.h = h.value
        return h.value

    def start(self, request, cycles=1):
        """A SENDRECV of request (hex); its hCoP."""
        data = bytes.fromhex(request)
        ctrl = T.PDU_COP_CTRL_DATA(NumSendCycles=1, NumReceiveCycles=cycles)
        hcop = C.c_uint32()
        assert self.lib.PDUStartComPrimitive(1, self.h, 0x8004, len(data), (C.c_uint8 * len(data))(*data),
                                             C.byref(ctrl), None, C.byref(hcop)) == 0
        return hcop.value

    def poll(self):
        ev = C.POINTER(T.PDU_EVENT_ITEM)()
        while self.lib.PDUGetEventItem(1, self.h, C.byref(ev)) == 0:
            it = ev.contents
            item = {"type": it.ItemType, "hcop": it.hCop}
            if it.ItemType == 0x1301:
                item["status"] = C.cast(it.pData, C.POINTER(C.c_uint32))[0]
            elif it.ItemType == 0x1302:
                item["error"] = C.cast(it.pData, C.POINTER(C.c_uint32))[0]
            elif it.ItemType == 0x1300:
                r = C.cast(it.pData, C.POINTER(T.PDU_RESULT_DATA)).contents
                item["data"] = bytes(r.pDataBytes[:r.NumDataBytes]).hex(" ").upper()
            self.items.append(item)
            self.lib.PDUDestroyItem(ev)

    def wait_finished(self, hcop, seconds):
        return until(lambda: self.poll() or any(i.get("status") == 0x8012 and i["hcop"] == hcop for i in self.items),
                     seconds)

    def of(self, hcop):
        return [i for i in self.items if i["hcop"] == hcop]

    def vbatt(self):
        out = C.c_void_p()
        rc = self.lib.PDUIoCtl(1, 0xFFFFFFFF, self.obj(0x8023, "PDU_IOCTL_READ_VBATT"), None, C.byref(out))
        if out:
            self.lib.PDUDestroyItem(out)
        return rc


def emit(obj):
    print(json.dumps(obj), flush=True)


def lifetime(c, mode):
    """The lifetime tests' application: ends without PDUDestruct (atexit:
    PDUDestruct in an exit handler), printing "exit at <ns>" just before.
    No callback: none may run while the interpreter shuts down."""
    if mode == "atexit":
        atexit.register(lambda: print("atexit destruct: 0x%X" % c.lib.PDUDestruct(), flush=True))
    if mode != "idle":
        c.link(UDS, callback=False)
    if mode == "inflight":
        c.start("22 F1 00")  # the simulated ECU never answers it
        time.sleep(0.15)
    print("exit at %d" % time.clock_gettime_ns(time.CLOCK_MONOTONIC), flush=True)
    return {"idle": 7, "link": 0, "inflight": 9, "atexit": 3}[mode]


def child(lib, mode):
    c = Client(lib)
    if mode in ("idle", "link", "inflight", "atexit"):
        return lifetime(c, mode)
    if mode in ("destruct", "exit"):
        c.link(RAW)
        hcop = c.start("10 07 00 00 02 10 03", -1)
        end = time.monotonic() + 0.5
        while time.monotonic() < end:
            c.poll()
            time.sleep(0.005)
        results = sum(1 for i in c.of(hcop) if i["type"] == 0x1300)
        ended = any(i.get("status") == 0x8012 for i in c.of(hcop))
        if mode == "exit":
            emit({"results": results, "exit_at": time.clock_gettime_ns(time.CLOCK_MONOTONIC)})
            return 0
        began = time.monotonic()
        rc = c.lib.PDUDestruct()
        emit({"results": results, "ended": ended, "destruct": rc, "ms": round((time.monotonic() - began) * 1000)})
    elif mode == "count":
        c.link(RAW)
        hcop = c.start("10 07 00 00 02 10 03", 300)
        ok = c.wait_finished(hcop, 10)
        emit({"finished": ok, "results": [i["data"] for i in c.of(hcop) if i["type"] == 0x1300],
              "errors": [i for i in c.of(hcop) if i["type"] == 0x1302]})
        c.lib.PDUDestruct()
    elif mode == "pending":
        c.link(UDS)
        c.start("31 01 02 03")
        emit({"started": True})
        time.sleep(30)  # killed meanwhile
        return 1
    elif mode == "session":
        c.link(UDS)
        out = {}
        for req in ("3E 00", "22 F1 90"):
            hcop = c.start(req)
            out[req] = {"finished": c.wait_finished(hcop, 10), "items": c.of(hcop)}
        c.lib.PDUDestruct()
        emit(out)
    elif mode == "unplug":
        c.link(UDS)
        c.wait_finished(c.start("3E 00"), 5)
        time.sleep(0.5)  # the adapter is pulled meanwhile (150 ms after the answer)
        began = time.monotonic()
        second = c.start("3E 00")
        ok = c.wait_finished(second, 5)
        took = round((time.monotonic() - began) * 1000)
        emit({"finished": ok, "ms": took, "items": c.of(second), "ioctl": c.vbatt(), "destruct": c.lib.PDUDestruct()})
    return 0


# ---- the cases (parent) -----------------------------------------------------

class Run:
    """A simulator of busy-bus.json in the case's context; the client
    processes find the library's files and the VCI through env."""
    def __init__(self, ctx, flags=()):
        self.lib = ctx.lib
        self.sim = Sim(ctx, "busy-bus", flags)
        self.env = env(ctx, self.sim.link)

    def spawn(self, mode):
        cmd = [sys.executable, os.path.abspath(__file__), "--child", self.lib, mode]
        return subprocess.Popen(cmd, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def client(self, mode):
        p = self.spawn(mode)
        try:
            out, err = p.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            p.kill()
            raise
        ended = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        check(p.returncode == 0, "%s client: exit %d\n%s%s" % (mode, p.returncode, out, err[-2000:]))
        return json.loads(out.strip().splitlines()[-1]), ended


def case_destruct(run):
    out, _ = run.client("destruct")
    if out["ended"]:
        raise e2e_runner.Skip(STALLED % "PDUDestruct during a stream")
    check(out["results"] > 100, "frames received in half a second: %d" % out["results"])
    check(out["destruct"] == 0, "PDUDestruct: 0x%X" % out["destruct"])
    check(out["ms"] <= CLOSE_WAIT_MS + 100, "PDUDestruct took %d ms" % out["ms"])
    check(until(lambda: sent(run.sim.output(), " CLOSE ")), "no CLOSE reached the VCI")
    return "%d frames in 0.5 s, PDUDestruct %d ms" % (out["results"], out["ms"])


def case_exit(run):
    out, ended = run.client("exit")
    took = (ended - out["exit_at"]) / 1e6
    check(took < 2000, "the exit took %.0f ms" % took)
    return "%d frames, exit %.0f ms" % (out["results"], took)


def case_count(run):
    for attempt in range(3):
        out, _ = run.client("count")
        check(out["finished"] and not out["errors"], "the listening SENDRECV did not end cleanly: %s" % out)
        trace = run.sim.output()
        cop = trace.rfind(sent(trace, " COP ")[-1])  # the frames after the listening COP
        frames = [h for _, h in passed(trace[cop:])]
        if len(out["results"]) == 300:
            break
        # Ended early: only a stall explains it, and then what the client got
        # is exactly the first frames the VCI passed; anything else is a loss.
        check(out["results"] == frames[:len(out["results"])],
              "ended after %d of 300 frames, and they are not the first frames passed" % len(out["results"]))
    else:
        raise e2e_runner.Skip(STALLED % "counting 300 frames (three tries)")
    check(out["results"] == frames, "results %d, frames in the trace %d, wanted 300 alike" %
          (len(out["results"]), len(frames)))
    fast = [int(r.split()[-1], 16) for r in out["results"] if r.startswith("C1 00 00 00")]
    check(len(fast) > 100, "the 1 ms frames: %d" % len(fast))
    gaps = [(a, b) for a, b in zip(fast, fast[1:]) if (a + 1) % 256 != b]
    check(not gaps, "the 1 ms source's counter has gaps: %s" % gaps[:5])
    return "%d frames, as in the trace, counters without gaps" % len(frames)


TIOCGEXCL = 0x80045440  # _IOR('T', 0x40, int): is the terminal in exclusive mode


def exclusive(path):
    """1 when the terminal at path is in exclusive mode (TIOCEXCL), else 0."""
    import fcntl
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return int.from_bytes(fcntl.ioctl(fd, TIOCGEXCL, bytes(4)), "little")
    finally:
        os.close(fd)


def case_killed(run):
    p = run.spawn("pending")
    line = p.stdout.readline()
    check("started" in line, "the first client did not start: %s %s" % (line, p.stderr.read() if p.poll() else ""))
    time.sleep(0.3)  # the ECU has answered 7F 31 78 and goes on doing so
    p.send_signal(signal.SIGKILL)
    p.wait()
    # The killed client could not end its exclusive use of the line: the
    # simulator ends it at the close, as a serial adapter's last close does
    # (else only root could open the port again).
    check(until(lambda: exclusive(run.sim.link) == 0), "the line stays in exclusive mode")
    out, _ = run.client("session")
    want = {"3E 00": "7E 00", "22 F1 90": "62 F1 90 " + "WBUSYBUS7318LIVE1".encode().hex(" ").upper()}
    for req, answer in want.items():
        got = out[req]
        check(got["finished"], "%s did not finish" % req)
        results = [i["data"] for i in got["items"] if i["type"] == 0x1300]
        errors = [i for i in got["items"] if i["type"] == 0x1302]
        check(results == [answer] and not errors, "%s: results %s errors %s" % (req, results, errors))
    return "the next session got 7E 00 and the VIN"


def case_unplug(run):
    out, _ = run.client("unplug")
    check(out["finished"], "the request after the unplug did not finish")
    check(out["ms"] < 100, "it took %d ms" % out["ms"])
    errors = [i["error"] for i in out["items"] if i["type"] == 0x1302]
    check(errors == [0x106], "error items %s" % errors)
    check(out["ioctl"] == 0x11, "PDUIoCtl: 0x%X" % out["ioctl"])
    check(out["destruct"] == 0, "PDUDestruct: 0x%X" % out["destruct"])
    return "ended in %d ms with 0x106, PDUIoCtl 0x11" % out["ms"]


def on_bus(fn, flags=()):
    """An e2e_runner case: fn(run) against a simulator of its own; prints
    what fn found, and a failure brings the tail of the simulator's trace."""
    def case(ctx):
        run = Run(ctx, flags)
        try:
            print("%s: %s" % (fn.__name__[5:], fn(run)))
        except Failure as e:
            raise Failure("%s\nvcisim trace (tail):\n%s" % (e, run.sim.output()[-3000:]))
        finally:
            run.sim.stop()
    return case


# PROBE, OPEN, SET_LINK_RESOURCE, 24 SET_LINK_PARAM, CONNECT_LINK, then the
# first request's COP: the adapter goes 50 ms after answering that.
CASES = {"destruct": on_bus(case_destruct), "exit": on_bus(case_exit), "count": on_bus(case_count),
         "killed": on_bus(case_killed), "unplug": on_bus(case_unplug, ("--unplug-after", "29"))}


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:  # livebus_e2e.py --child LIBRARY MODE
        sys.exit(child(*sys.argv[2:4]))
    sys.exit(e2e_runner.main(CASES, with_lib=True))
