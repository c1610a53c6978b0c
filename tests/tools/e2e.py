#!/usr/bin/env python3
"""End-to-end tests of the real vcisim and pdutool: vcisim alone driven with
raw frames over its pty (wire-*), every session of data/scenarios/NAME.json
through pdutool and the library (scenario:NAME). The simulator, the context
and the checks here are every e2e script's."""

import concurrent.futures
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty

import e2e_runner

FLAG, ESC = 0x7E, 0x7D
MGMT, VEH = 0x01, 0x12
CMD = dict(OPEN=0x01, PROBE=0x05, MODULE_CONNECT=0x1B, VEHICLE_DATA=0x1E)


class Failure(Exception):
    pass


# The module ends a receiving ComPrimitive after 20 ms without a frame. On a
# loaded machine the pty's delivery (a kernel worker), the simulator or the
# client can stall that long, and the stream ends although the bus did not
# fall quiet: a case whose premise is a stream still running is skipped.
STALLED = "the stream ended at a stall of 20 ms or more (a loaded machine): %s not exercised"


def until(condition, seconds=5.0):
    """condition() once it holds, or when seconds have passed (an accepted poll:
    a process's exit or a file's text, the things waited for, have no event)."""
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.005)
    return condition()


def check(cond, what):
    if not cond:
        raise Failure(what)


# The frame codec, written independently of the C++ one.

def build_frame(channel, seq, command, data):
    L = len(data) + 10
    body = (bytes([FLAG]) + L.to_bytes(2, "little") + bytes([0x31, seq & 0xFF, 0x01, channel, command]) +
            len(data).to_bytes(2, "little") + data)
    body += bytes([sum(body[1:L]) & 0xFF])
    stuffed = re.sub(rb"[\x7d\x7e]", lambda m: bytes([ESC, m.group()[0] ^ 0x20]), body[1:])
    return bytes([FLAG]) + stuffed + bytes([FLAG])


def parse_frame(body):
    """The fields of the stuffed bytes between two flags, or None when invalid."""
    if re.search(rb"\x7d(?![\x5d\x5e])", body):
        return None
    f = bytes([FLAG]) + re.sub(rb"\x7d([\x5d\x5e])", lambda m: bytes([m.group(1)[0] ^ 0x20]), body) + bytes([FLAG])
    if len(f) < 12:
        return None
    L = int.from_bytes(f[1:3], "little")
    n = int.from_bytes(f[8:10], "little")
    if L + 2 > len(f) or f[L + 1] != FLAG or L != n + 10 or (sum(f[1:L]) & 0xFF) != f[L]:
        return None
    return dict(channel=f[6], seq=f[4], command=f[7], data=f[10:10 + n])


class RawVci:
    """The PC side of the wire, for tests of the simulator alone."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.buf, self.bad, self.seq = b"", 0, {MGMT: 0, VEH: 0}

    def close(self):
        os.close(self.fd)

    def send(self, command, data=b"", channel=VEH):
        self.seq[channel] += 1
        os.write(self.fd, build_frame(channel, self.seq[channel], command, data))

    def frames(self, timeout, enough=None):
        """The frames that arrive within timeout seconds or until enough(them)."""
        got = []
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0 or (enough is not None and enough(got)):
                return got
            try:
                chunk = os.read(self.fd, 4096) if select.select([self.fd], [], [], left)[0] else b""
            except OSError:
                chunk = b""
            if not chunk:
                return got
            self.buf += chunk
            # Flag, body, flag; what lies between frames is skipped, and flag
            # after flag is a new start.
            while (m := re.search(rb"\x7e([^\x7e]+)\x7e", self.buf)) is not None:
                self.buf = self.buf[m.end():]
                f = parse_frame(m.group(1))
                self.bad += f is None
                got += [f] if f else []

    def ask(self, command, data=b"", channel=VEH, timeout=0.5, answer_only=False):
        """(answer, vehicle-data frames) within timeout; answer_only: return
        as soon as the answer is in, without the frames that follow it."""
        self.send(command, data, channel)
        vehicle = CMD["VEHICLE_DATA"]
        fs = self.frames(timeout, (lambda got: any(f["command"] != vehicle for f in got)) if answer_only else None)
        answers = [f for f in fs if f["command"] != vehicle]
        check(answers, "no answer to command 0x%02X" % command)
        return answers[0], [f for f in fs if f["command"] == vehicle]


class Sim:
    def __init__(self, ctx, scenario=None, flags=()):
        self.link = os.path.join(ctx.tmp, "vci")
        args = [os.path.join(ctx.bin, "vcisim"), "--link", self.link, "--trace"] + list(flags)
        if scenario:
            args += ["--scenario", scenario if scenario.endswith(".json") else
                     os.path.join(ctx.data, "scenarios", scenario + ".json")]
        self.log_path = os.path.join(ctx.tmp, "vcisim.out")
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT)
        up = until(lambda: os.path.islink(self.link) or self.proc.poll() is not None, 10)
        check(up and self.proc.poll() is None, "vcisim did not come up:\n" + self.output())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def output(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log_path) as f:
            return f.read()

    def wait_for(self, *texts, seconds=5):
        """The trace once it shows every text, or after seconds (a trace
        line may come a moment after the frame it tells of)."""
        until(lambda: all(t in self.output() for t in texts), seconds)
        return self.output()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        # A clean stop exits 0; anything else (a sanitizer report, a crash)
        # fails the case.
        check(self.proc.returncode == 0, "vcisim exited with %s:\n%s" % (self.proc.returncode, self.output()[-3000:]))


def passed(trace):
    """(ms, bytes "A0 01 ...") of every frame with data the VCI passed to
    the PC (the trace's VEHICLE_DATA lines), in order."""
    return [(float(m.group(1)) * 1000, m.group(2))
            for m in re.finditer(r"\[\s*([\d.]+)\] VCI->PC .*VEHICLE_DATA .*\[([0-9A-F ]+)\]", trace)]


def sent(trace, *texts):
    """The trace's PC->VCI lines that hold every text (" COP ", "CLOSE ")."""
    return [ln for ln in trace.splitlines() if "PC->VCI" in ln and all(t in ln for t in texts)]


class Ctx:
    def __init__(self, bin_dir, data_dir):
        self.bin, self.data = bin_dir, data_dir
        self.tmp = tempfile.mkdtemp(prefix="pdu7318-e2e-")
        self.home = os.path.join(self.tmp, "home")
        os.makedirs(self.home)
        for name in ("MDF.xml", "config.ini", "PDUAPI_7318.ini"):
            shutil.copy(os.path.join(data_dir, name), self.home)

    def pdutool(self, args, port, timeout=120):
        """pdutool --json ARGS: (exit status, its JSON, stderr)."""
        p = tool(self, ["--json"] + args, port, timeout=timeout)
        try:
            return p.returncode, json.loads(p.stdout), p.stderr
        except ValueError:
            raise Failure("pdutool printed no JSON (exit %d):\n%s\n%s" % (p.returncode, p.stdout, p.stderr))

    def cleanup(self):
        shutil.rmtree(self.tmp, ignore_errors=True)


def env(ctx, port, logging=False):
    e = dict(os.environ, PDU7318_HOME=ctx.home, PDU7318_PORTS=port, HOME=ctx.tmp,
             PDU7318_LOG_PATH=os.path.join(ctx.tmp, "logs") + "/")
    if logging:
        with open(os.path.join(ctx.home, "config.ini"), "w") as f:
            f.write("[LOG]\nopen=1\n")
    return e


def tool(ctx, args, port="/nonexistent/vci", stdin=None, timeout=60, logging=False, prefix=(), status=None):
    """pdutool run with args (prefix: a command it runs under, setpriv),
    which must exit with status unless None; the CompletedProcess also has
    the port it was given and its seconds."""
    start = time.monotonic()
    p = subprocess.run(list(prefix) + [os.path.join(ctx.bin, "pdutool")] + args, env=env(ctx, port, logging),
                       input=stdin, capture_output=True, text=True, timeout=timeout)
    check(p.returncode >= 0, "pdutool died of signal %d\n%s" % (-p.returncode, p.stderr))
    check("Sanitizer" not in p.stderr, "sanitizer report:\n%s" % p.stderr[-4000:])
    p.port, p.seconds = port, time.monotonic() - start
    check(status in (None, p.returncode), "pdutool %s: exit %d, wanted %s\n%s%s" %
          (" ".join(args), p.returncode, status, p.stdout[-3000:], p.stderr[-3000:]))
    return p


def side_by_side(*calls, jobs=None):
    """The calls' results, in order, the calls run in threads (at most jobs
    at a time): for parts of a case that mostly wait. The first exception
    raised is raised again."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs or len(calls)) as pool:
        futures = [pool.submit(c) for c in calls]
        return [f.result() for f in futures]


def on_own_sim(ctx, scenario, run, flags=()):
    """A call for side_by_side: run(own_ctx, sim) on a simulator and folder of its own."""
    def call():
        own = Ctx(ctx.bin, ctx.data)
        try:
            with Sim(own, scenario, flags) as sim:
                return run(own, sim)
        finally:
            own.cleanup()
    return call


def write(ctx, name, text):
    with open(path := os.path.join(ctx.tmp, name), "w") as f:
        f.write(text)
    return path


def tool_on_sim(ctx, args, flags=(), scenario=None, script=None, status=None):
    """A call for side_by_side: pdutool args against a simulator of its own;
    with script, args + [a file holding the script's text]."""
    def run(own, sim):
        return tool(own, list(args) + ([write(own, "script.pdu", script)] if script else []), sim.link, status=status)
    return on_own_sim(ctx, scenario, run, flags)


# The engine ECU of the demo car and of vcisim's default: a session's
# arguments, and a script's lines up to a communicating link.
RESOURCE = "RSC_ISO_15765_3_on_ISO_15765_2_6_14"
SESSION = ["session", "--resource", RESOURCE, "--resp-id", "0x7E8"]
HEAD = "link %s --resp-id 0x7E8\nconnect\nstart\n" % RESOURCE


def case_wire_faults(ctx):
    # Bad checksums are rejected by a strict reader; split writes and
    # garbage still give whole frames; silence and unplugging are seen.
    def corrupt(own, sim):
        vci = RawVci(sim.link)
        for _ in range(6):
            vci.send(CMD["MODULE_CONNECT"], (1).to_bytes(4, "little"))
        # Six answers, three of them damaged: nothing comes after them.
        fs = vci.frames(10.0, lambda got: len(got) + vci.bad >= 6)
        check(len(fs) == 3 and vci.bad == 3, "3 good, 3 bad frames (got %d good, %d bad)" % (len(fs), vci.bad))
        vci.close()

    def silent(own, sim):
        vci = RawVci(sim.link)
        vci.send(CMD["OPEN"])
        vci.send(CMD["OPEN"])
        check(vci.frames(0.5) == [], "dropped and silent")
        vci.close()
        check(all(t in sim.wait_for("[dropped]", "(silent") for t in ("[dropped]", "(silent")), "trace shows both")

    def unplug(own, sim):
        vci = RawVci(sim.link)
        ans, _ = vci.ask(CMD["OPEN"], timeout=10, answer_only=True)
        check(ans["data"][:4] == bytes([0x11, 0, 0, 0]), "--open-status")
        check(until(lambda: sim.proc.poll() == 0), "vcisim ends after unplugging")
        vci.close()

    side_by_side(on_own_sim(ctx, "demo", corrupt, ["--corrupt-every", "2", "--garbage-every", "3", "--split-writes"]),
                 on_own_sim(ctx, "demo", silent, ["--silent-after", "1", "--drop-every", "1"]),
                 on_own_sim(ctx, "demo", unplug, ["--unplug-after", "1", "--open-status", "0x11"]))


def norm(h):
    return bytes.fromhex(h).hex(" ").upper()


def run_session(ctx, sim, session):
    args = ["session"] + session.get("args", []) + [s["request"] for s in session["steps"]]
    rc, out, err = ctx.pdutool(args, sim.link)
    check(rc == 0 and out.get("ok"), "session %s: exit %d ok=%s\n%s\n%s" %
          (session["name"], rc, out.get("ok"), err, json.dumps(out, indent=1)))
    prims = out["primitives"]
    # One SENDRECV per step: its request echoed, finished, its answers.
    got = [(p["request"], p["status"], sorted(r["data"] for r in p["results"]))
           for p in prims if p["type"] == "SENDRECV"]
    want = [(norm(s["request"]), "FINISHED", sorted(norm(h) for h in s["expect"])) for s in session["steps"]]
    check(got == want, "session %s: got %s, want %s" % (session["name"], got, want))
    if "startcomm" in session:
        start = [p for p in prims if p["type"] == "STARTCOMM"][0]
        got = [r["data"] for r in start["results"]]
        check(got == [norm(h) for h in session["startcomm"]], "STARTCOMM results %s" % got)
    return out


def case_scenario(ctx, name):
    with open(os.path.join(ctx.data, "scenarios", name + ".json")) as f:
        scenario = json.load(f)
    def vbatt(own, sim):
        rc, out, err = own.pdutool(["ioctl", "vbatt"], sim.link)
        check(rc == 0 and out["value"] == scenario.get("vci", {}).get("battery_mv", 12600) and out["unit"] == "mV",
              "battery voltage %s\n%s" % (out, err))

    def session(s):
        # A session that listens to the bus's traffic ends early when a
        # loaded machine stalls the pty's delivery for the library's 20 ms
        # (the traffic's frames are 10 ms apart): such a session gets up to
        # three tries. A wrong or missing frame on a quiet machine fails all.
        tries = 3 if "--cycles" in s.get("args", []) else 1

        def run(own, sim):
            for attempt in range(tries):
                try:
                    return run_session(own, sim, s)
                except Failure:
                    if attempt == tries - 1:
                        raise
        return on_own_sim(ctx, name, run)

    side_by_side(*[session(s) for s in scenario.get("sessions", [])], on_own_sim(ctx, name, vbatt))


def case_pdutool_info(ctx):
    rc, out, err = on_own_sim(ctx, "demo", lambda own, sim: own.pdutool(["info"], sim.link))()
    check(rc == 0 and out["ok"] and out["modules"][0]["hMod"] == out["hMod"] == 1, "info: exit %d\n%s" % (rc, err))
    check(out["version"]["hwName"] == "QDM7318", "version data from PDUAPI_7318.ini")
    # Protocols, I/O controls, ComParams and resources by name, from the MDF file.
    ids = {(k, o["name"]): o["id"] for k, v in out["objects"].items() for o in v}
    check([ids.get(k) for k in (("PROTOCOL", "ISO_15765_3_on_ISO_15765_2"), ("IO_CTRL", "PDU_IOCTL_READ_VBATT"),
                                ("COMPARAM", "CP_P2Max"), ("RESOURCE", RESOURCE))] == [401, 507, 1, 1001], "ids")


def case_pdutool_poll(ctx):
    # Polling instead of waiting for the callback gives the same items.
    args = ["--poll"] + SESSION + ["22F190", "31010203"]
    rc, out, err = on_own_sim(ctx, "demo", lambda own, sim: own.pdutool(args, sim.link))()
    check(rc == 0 and out["ok"], "exit %d\n%s" % (rc, err))
    # EXECUTING, result, FINISHED; the routine's final answer only.
    check([e.get("status", e["item"]) for e in out["primitives"][1]["events"]] ==
          ["PDU_COPST_EXECUTING", "RESULT", "PDU_COPST_FINISHED"] and
          [r["data"] for r in out["primitives"][2]["results"]] == ["71 01 02 03 00"], json.dumps(out["primitives"]))


if __name__ == "__main__":
    sys.exit(e2e_runner.main(globals()))
