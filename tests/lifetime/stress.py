#!/usr/bin/env python3
"""The lifetime stress run: random schedules drawn from the module's
lifetime table (destructs from k threads, from a callback and racing one,
construct racing destruct, exit() while another thread destructs, fork
with children that exit, exec or call the API, atexit destructs, dlclose
cycles, SIGTERM, C++ global destructors), each in a process of its own,
against vcisim on a busy bus.

    stress.py --bin BUILD/bin --lib LIBRARY --data BUILD/data [options, see --help]

Without --fixed, --schedule or --index it draws schedules until --count or
--seconds (default 60 s) is reached; a failure prints its --index to replay.

Each worker (-j) has a simulator of its own and runs its schedules one
after another; each schedule also proves that the one before it left the
VCI usable (it constructs and asks the ECU first), and a last probe does
so for the last one. run_plan has what a schedule must show.
"""
import argparse
import itertools
import json
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from e2e import CMD, MGMT, Ctx, Failure, RawVci, Sim, check, sent, until  # noqa: E402
import lifetime  # noqa: E402  (its cases run here too, on the busy bus)

EXIT_BOUND_S = 2.0
# A forked child that never uses the API ends at once: nothing of the
# parent's module runs in it. Timed from its exit/exec call; the waits a
# wrong exit path makes are 500 ms (the engine thread's join) and 1000 ms
# (CLOSE's answer), so anything below 450 ms is neither.
CHILD_BOUND_MS = 450
# "At once" in the table: a call that only looks at the stage.
AT_ONCE_MS = 100
# A PDUDestruct waits for the engine's job in progress (a wait for the VCI
# is cut short at once), the callbacks that job makes (EXECUTING, result,
# FINISHED: three, each holding the engine cb ms) and CLOSE's 1000 ms.
CLOSE_MS = 1000
SLACK_MS = 250
# PDUConstruct: discovery of the one port (about 0.6 s), or waiting for the
# destruct it races.
CONSTRUCT_MS = 2000
# The text the library shows when it finds no VCI ("device not found ...").
NO_DEVICE = "\u627e\u4e0d\u5230\u8bbe\u5907"
CALL_LINE = re.compile(r"^call (\S+) 0x([0-9A-F]+) ([0-9.]+)$", re.M)
# The fence: a PROBE of our own with a sequence number the library never
# reaches in one process; the trace before it holds every frame of the
# schedule that ended before it was sent.
FENCE_SEQ = 240
FENCE_LINE = re.compile(r"PC->VCI mgmt #%d\s+PROBE\s+5 bytes" % FENCE_SEQ)
SIGTERM = -signal.SIGTERM


class Plan:
    """One schedule: the client's arguments and what the table says."""

    def __init__(self, schedule, logging=False, exe="stress_client", mode_args=None, **keys):
        self.name, self.schedule, self.logging, self.exe, self.keys = schedule, schedule, logging, exe, keys
        self.cmd = None        # the program, when not a client in --bin
        self.args = mode_args or [schedule] + ["%s=%s" % kv for kv in sorted(keys.items())]
        self.status = keys.get("status", 0)
        self.closes = 1        # an int, or a function of the client's output
        self.want = []         # texts the client prints
        self.want_err = []     # texts on its standard error
        self.checks = []       # further checks: fn(output, log folder)

    def __str__(self):
        args = " ".join(self.args) + (" (logging)" if self.logging else "")
        return args if self.name == self.schedule else "%s: %s" % (self.name, args)

    def hold(self):
        return max(self.keys.get("cb", 0), 0)


def calls(out):
    return [(m.group(1), int(m.group(2), 16), float(m.group(3))) for m in CALL_LINE.finditer(out)]


def statuses(out, what):
    return [s for w, s, _ in calls(out) if w == what]


def bound_ms(plan, what, status):
    """The documented bound of one timed call, None when it has none."""
    destruct = CLOSE_MS + 3 * plan.hold() + SLACK_MS
    if what in ("construct", "child-construct"):
        return CONSTRUCT_MS
    if what == "destruct" and plan.schedule == "construct-race":
        # It may find the racing PDUConstruct holding the turn (a second
        # construction rediscovers the port) and waits as long as that takes.
        return CONSTRUCT_MS + destruct
    if what in ("destruct", "atexit-destruct"):
        return destruct
    if what == "destruct-after":  # unconstructed: joins a left engine thread within 500 ms
        return destruct if status == 0 else 500 + SLACK_MS
    if what == "callback-destruct":  # flags only, CLOSE; or "construct empty" at once
        return CLOSE_MS + SLACK_MS if status == 0 else AT_ONCE_MS
    if what in ("child-destruct", "child-timestamp"):
        return AT_ONCE_MS
    return None


def make_plan(schedule, logging=False, **keys):
    """A Plan with the expectations of its row(s) of the table."""
    p = Plan(schedule, logging, **keys)
    if schedule == "destruct":
        def one_destructs(out):
            got = sorted(statuses(out, "destruct"))
            check(got == [0] + [0x11] * (keys["k"] - 1), "the %d destructs returned %s" % (keys["k"], got))
        p.checks.append(lambda out, logs: one_destructs(out))
    elif schedule == "callback-destruct":
        p.want.append("call callback-destruct 0x0 ")
        then = keys.get("then", "none")
        if then == "destruct":
            p.want.append("call destruct-after 0x11 ")
        if then == "construct":  # joins the engine thread the callback left, constructs anew
            p.want.append("call destruct 0x0 ")
            p.closes = 2
    elif schedule == "callback-race":
        def both_return(out):
            got = sorted(statuses(out, "callback-destruct") + statuses(out, "destruct"))
            check(got in ([0, 0x11], [0, 0]), "callback and application destruct returned %s" % got)
        p.checks.append(lambda out, logs: both_return(out))
    elif schedule == "construct-race":
        # A PDUConstruct that gets the turn first constructs the module
        # again (no CLOSE), the racing PDUDestruct closes it and the last one
        # finds nothing (0x11). One that comes second constructs anew, and
        # the last PDUDestruct closes that (0x00, a second CLOSE).
        p.want.append("call destruct 0x0 ")
        p.checks.append(lambda out, logs: check(
            statuses(out, "construct") == [0, 0] and statuses(out, "destruct-after") in ([0], [0x11]),
            "constructions %s, last destruct %s" % (statuses(out, "construct"), statuses(out, "destruct-after"))))
        p.closes = lambda out: 1 + (statuses(out, "destruct-after") == [0])
    elif schedule == "fork":
        fork_expectations(p, keys.get("child", "exit"), keys.get("load", "idle"))
    elif schedule == "fork-busy":
        call = keys.get("call", "timestamp")
        for c in ["timestamp", "destruct"] * 2 if call == "both" else [call] * 4:
            p.want.append("child %s: status 0" % c)
        p.checks.append(lambda out, logs: check(
            statuses(out, "child-destruct") == [0x11] * out.count("child destruct:") and
            statuses(out, "child-timestamp") == [0] * out.count("child timestamp:") and "died" not in out,
            "children of a busy parent: %s" % [c for c in calls(out) if c[0].startswith("child")]))
    elif schedule == "atexit":
        p.want.append("atexit destruct: 0x0")
    elif schedule == "dlclose":
        cycles = keys["cycles"]
        p.want += ["cycle %d: %s" % (i + 1, "unloaded" if c == "D" else "still loaded") for i, c in enumerate(cycles)]
        p.closes = cycles.count("D") + (cycles[-1] == "K")
    elif schedule == "sigterm":
        p.status, p.closes = SIGTERM, 0
    elif schedule == "second-construct":
        p.checks.append(second_construct_logged)
    return p


def fork_expectations(p, child, load):
    if child in ("exit", "_exit", "exec"):
        def child_at_once(out):
            m = re.search(r"^child \S+: status 0 in ([0-9.]+) ms ", out, re.M)
            check(m and float(m.group(1)) < CHILD_BOUND_MS, "the child did not end at once: %s" % out)
        p.checks.append(lambda out, logs: child_at_once(out))
        if p.logging and load == "idle":
            p.want.append("log grew by 0 bytes")
        p.checks.append(lambda out, logs: check(
            "exit: ApiLock busy" not in read_logs(logs), "'exit: ApiLock busy' in the parent's log"))
    else:
        # The child is a new user of the port the parent holds.
        p.want += ["child %s: status 0" % child, "call child-construct 0x0 ", "call child-destruct 0x11 "]
        p.want_err.append(NO_DEVICE)
        if child == "api" and p.logging:
            p.checks.append(child_logs_apart)
    # The parent's session goes on: a second answer, then its PDUDestruct.
    p.want.append("call destruct 0x0 ")
    p.checks.append(lambda out, logs: check(out.count("vin ok") == 2, "the parent's second 22 F1 90 failed"))


def child_logs_apart(out, logs):
    """A forked child that constructs afresh (stress_client.c moves its
    PDU7318_LOG_PATH to <parent's>child/) logs there, as a new process
    would; the parent's files hold only the parent's construction."""
    mine = os.path.join(logs, "..", "..", "child", "J2534", "7318")
    check(re.search(r"^PDUConstruct \d+$", read_logs(mine), re.M),
          "the child's construction is not in its own log folder %s" % os.path.normpath(mine))
    heads = re.findall(r"^PDUConstruct \d+$", read_logs(logs), re.M)
    check(len(heads) == 1, "%d PDUConstruct lines in the parent's logs, wanted its own only" % len(heads))


def second_construct_logged(out, logs):
    text = read_logs(logs)  # the call lines are the main log's
    heads = re.findall(r"^PDUConstruct \d+$", text, re.M)
    check(len(heads) == 2, "%d PDUConstruct lines in the log, wanted both constructions'" % len(heads))
    check(re.search(r"^PDUDestruct <PDU_STATUS_NOERROR> \d+$", text, re.M), "no PDUDestruct line in the log")


def read_logs(logs):
    text = ""
    for name in sorted(os.listdir(logs)) if os.path.isdir(logs) else []:
        with open(os.path.join(logs, name), encoding="utf-8", errors="replace") as f:
            text += f.read()
    return text


def legacy_plan(name):
    """A case of lifetime.py, run here on the busy bus."""
    kind, mode, status, logging, text = lifetime.CASES[name]
    p = Plan("legacy", logging, exe=lifetime.NATIVE.get(kind),
             mode_args=["lifetime", mode] if kind in ("c", "linked") else [mode])
    if kind == "py":
        p.cmd = [sys.executable, os.path.join(HERE, "..", "tools", "livebus_e2e.py"), "--child"]
    p.name = "lifetime.py " + name
    p.status, p.want = status, [text] if text else []
    return p


FIXED = {
    "exit-during-destruct-callback": lambda: make_plan("exit-during-destruct", us=1000, cb=150, status=3),
    "exit-during-destruct": lambda: make_plan("exit-during-destruct", us=1150, cb=-1, status=4),
    "fork-child-exits": lambda: make_plan("fork", True, child="exit"),
    "fork-child-while-api-busy": lambda: make_plan("fork-busy", call="both"),
    "fork-child-constructs-afresh": lambda: make_plan("fork", True, child="api"),
    "callback-destruct-races-destruct": lambda: make_plan("callback-race", us=0),
    "dlclose-after-destruct-logging": lambda: make_plan("dlclose", True, cycles="D"),
    "second-construct-keeps-log": lambda: make_plan("second-construct", True),
    "tsan-exit-without-destruct": lambda: make_plan("exit-without-destruct", status=7),
}


def named_plan(name):
    p = FIXED[name]()
    p.name = name
    return p


FAMILIES = ["destruct", "callback-destruct", "callback-race", "construct-race", "exit-during-destruct", "fork",
            "fork-busy", "atexit", "dlclose", "sigterm", "exit-without-destruct", "legacy"]


def draw(seed, index, families=None):
    """The index-th random schedule of seed (the same on every run with the
    same families)."""
    r = random.Random(seed * 1000003 + index)
    family = r.choice(families or FAMILIES)
    if family == "legacy":
        return legacy_plan(r.choice(sorted(n for n, c in lifetime.CASES.items() if c[0] != "py")))
    keys = dict(status=r.randrange(0, 90), load=r.choice(["idle", "pending", "stream"]), cb=r.choice([-1, 0, 150]),
                end=r.choice(["return", "exit"]))
    logging = r.random() < 0.5
    if family == "destruct":
        keys["k"] = r.randint(1, 8)
    elif family == "callback-destruct":
        keys.update(cb=r.choice([0, 150]), then=r.choice(["none", "destruct", "construct"]))
    elif family == "callback-race":
        # Not on a streaming link: a listening ComPrimitive calls back only
        # when it starts (before the race is set up) and ends.
        keys.update(cb=r.choice([0, 150]), us=r.randint(-300, 300), load=r.choice(["idle", "pending"]))
    elif family == "construct-race":
        keys["us"] = r.randint(-500, 2000)
    elif family == "exit-during-destruct":
        keys.update(us=r.randint(0, 2300), load="idle")
    elif family == "fork":
        # Not on a streaming link: the parent's next SENDRECV would queue
        # behind a ComPrimitive that listens as long as the bus talks.
        keys.update(child=r.choice(["exit", "_exit", "exec", "api", "exec-api"]), load=r.choice(["idle", "pending"]))
    elif family == "fork-busy":
        keys["call"] = r.choice(["timestamp", "destruct", "both"])
    elif family == "atexit":
        keys["at"] = r.choice(["before-dlopen", "before-construct", "after-construct"])
    elif family == "dlclose":
        keys["cycles"] = "".join(r.choice("DK") for _ in range(r.randint(1, 3)))
    elif family == "sigterm":
        keys["us"] = r.randint(0, 3000)
    return make_plan(family, logging, **keys)


def port_holders(sim):
    """Processes other than vcisim that have the simulator's port open."""
    port = os.path.realpath(sim.link)
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == sim.proc.pid:
            continue
        try:
            fds = os.listdir("/proc/%s/fd" % pid)
            if any(os.readlink("/proc/%s/fd/%s" % (pid, fd)) == port for fd in fds):
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    found.append((int(pid), f.read().replace(b"\0", b" ").decode(errors="replace")))
        except OSError:
            continue  # ended meanwhile, or not ours to read
    return found


def closes_since(sim, offset):
    """The CLOSE commands the VCI saw from offset on, up to a fence probe
    sent now (the schedule's processes have all ended)."""
    vci = RawVci(sim.link)
    try:
        vci.seq[MGMT] = FENCE_SEQ - 1
        vci.ask(CMD["PROBE"], b"fence", MGMT, timeout=2.0, answer_only=True)
    finally:
        vci.close()
    def fenced():
        with open(sim.log_path, "rb") as f:
            f.seek(offset)
            trace = f.read().decode(errors="replace")
        fence = FENCE_LINE.search(trace)
        return fence and trace[:fence.start()]
    check(until(fenced), "the fence probe is not in the trace")
    trace = fenced()
    return len(sent(trace, " CLOSE ")), trace


def run_plan(a, ctx, sim, plan, n):
    with open(os.path.join(ctx.home, "config.ini"), "w") as f:
        f.write("[LOG]\nopen=%d\n" % plan.logging)
    logs = os.path.join(ctx.tmp, "logs-%s" % n)
    env = dict(os.environ, PDU7318_HOME=ctx.home, PDU7318_PORTS=sim.link, PDU7318_LOG_PATH=logs + "/")
    # ThreadSanitizer builds: a forked child of a process with threads must
    # live on, and TSan's own 1 s pause at exit (while other threads exist,
    # as they do in every schedule) would hide the time the exit takes.
    env["TSAN_OPTIONS"] = "die_after_fork=0 atexit_sleep_ms=0 " + os.environ.get("TSAN_OPTIONS", "")
    offset = os.path.getsize(sim.log_path)
    p = subprocess.Popen((plan.cmd or [os.path.join(a.bin, plan.exe)]) + [a.lib] + plan.args, env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = p.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, err = p.communicate()
        raise Failure("hung (killed after 30 s)\n%s%s" % (out, err[-2000:]))
    ended = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
    text = "%s\n%s" % (out, err[-3000:])
    lifetime.check_clean(out + err)
    if plan.status == SIGTERM:
        check(p.returncode == SIGTERM, "ended with %d, not by its SIGTERM\n%s" % (p.returncode, text))
    else:
        check(p.returncode == plan.status, "exit status %d, wanted %d\n%s" % (p.returncode, plan.status, text))
        stamps = [int(line.split()[2]) for line in out.splitlines() if line.startswith("exit at ")]
        check(stamps, "no exit stamp\n" + text)
        took = (ended - stamps[-1]) / 1e9
        check(took <= EXIT_BOUND_S, "the exit took %.2f s\n%s" % (took, text))
    for want in plan.want:
        check(want in out, "missing %r in\n%s" % (want, text))
    for want in plan.want_err:
        check(want in err, "missing %r on stderr\n%s" % (want, text))
    for what, status, ms in calls(out):
        bound = bound_ms(plan, what, status)
        check(bound is not None and ms <= bound, "%s returned 0x%X after %.1f ms (bound %s ms)" %
              (what, status, ms, bound))
    holders = port_holders(sim)
    for pid, _ in holders:
        os.kill(pid, signal.SIGKILL)
    check(not holders, "left holding the port: %s" % holders)
    closes, trace = closes_since(sim, offset)
    want_closes = plan.closes(out) if callable(plan.closes) else plan.closes
    check(closes == want_closes, "%d CLOSE on the wire, wanted %d\n%s\n%s" %
          (closes, want_closes, text, "\n".join(trace.splitlines()[-12:])))
    folder = os.path.join(logs, "J2534", "7318")
    if plan.logging:
        lifetime.check_logs_whole(folder)
    for extra in plan.checks:
        extra(out, folder)
    if plan.status == SIGTERM:
        return "%d CLOSE, SIGTERM" % closes
    return "%d CLOSE, ended %.3f s after its stamp" % (closes, took)


class Run:
    """The schedules of one run, handed out to the workers in order."""

    def __init__(self, a, plans):
        self.a, self.lock, self.next, self.passed, self.failed = a, threading.Lock(), 0, 0, []
        deadline = time.monotonic() + a.seconds if a.seconds else None
        self.plans = iter(plans) if plans is not None else (
            (i, draw(a.seed, i, a.family)) for i in itertools.takewhile(
                lambda i: not (a.count and i >= a.count) and not (deadline and time.monotonic() >= deadline),
                itertools.count()))

    def take(self):
        with self.lock:
            got = next(self.plans, None)
            self.next += got is not None
            return got

    def verdict(self, index, plan, failure, note=""):
        with self.lock:
            if failure is None:
                self.passed += 1
                if self.a.verbose:
                    print("ok #%s %s: %s" % (index, plan, note), flush=True)
                return
            self.failed.append(index)
            replay = "--index %s --seed %d" % (index, self.a.seed) if self.a.random else ""
            replay += "".join(" --family " + f for f in self.a.family or []) if replay else ""
            print("FAIL #%s %s %s: %s" % (index, plan, replay, failure), flush=True)


def busy_bus(ctx, slower):
    """The busy bus, its traffic's periods multiplied by slower. A build
    that runs the library several times slower (ThreadSanitizer) meets the
    stream at the pace a normal build meets the real one: the main log
    shows the whole vehicle-data queue at every frame, and while a second
    construction searches the port nothing takes that queue, so the receive
    thread's cost grows with it; at 1 ms under TSan it falls behind until
    the pseudo-terminal is full, the simulator gives up a write and the
    answer to OPEN is lost."""
    if slower == 1:
        return "busy-bus"
    with open(os.path.join(ctx.data, "scenarios", "busy-bus.json")) as f:
        scenario = json.load(f)
    for t in scenario["traffic"]:
        t["period_ms"] *= slower
    with open(os.path.join(ctx.tmp, "busy-bus.json"), "w") as f:
        json.dump(scenario, f)
    return f.name


def worker(run, wid):
    a = run.a
    ctx = Ctx(os.path.dirname(a.vcisim), a.data)
    sim = Sim(ctx, busy_bus(ctx, a.bus_slower))
    previous = "none"
    try:
        while True:
            got = run.take()
            if got is None:
                break
            index, plan = got
            try:
                run.verdict(index, plan, None, run_plan(a, ctx, sim, plan, index))
            except Failure as e:
                run.verdict(index, plan, "%s\n(the schedule before it on this VCI: %s)" % (e, previous))
            except Exception:  # noqa: BLE001  (a fault of this script: still counted, still reported)
                run.verdict(index, plan, traceback.format_exc())
            previous = "#%d %s" % (index, plan)
        # The last schedule too must leave the VCI to the next process.
        try:
            run_plan(a, ctx, sim, make_plan("probe"), "probe-%d" % wid)
        except Failure as e:
            run.verdict("probe-%d" % wid, "probe", "after %s: %s" % (previous, e))
    finally:
        try:
            sim.stop()
        except Failure as e:
            run.verdict("vcisim-%d" % wid, "vcisim", str(e))
        ctx.cleanup()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bin", required=True, help="folder of stress_client and the lifetime clients")
    ap.add_argument("--lib", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--vcisim", help="the simulator (default: BIN/vcisim)")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--seconds", type=float, default=0, help="time box for drawing schedules")
    ap.add_argument("--count", type=int, default=0, help="schedules to draw")
    ap.add_argument("-j", "--jobs", type=int, default=2, help="schedules side by side, each with its own vcisim")
    ap.add_argument("--schedule", action="append", choices=sorted(FIXED), help="a named schedule (repeatable)")
    ap.add_argument("--fixed", action="store_true", help="every named schedule")
    ap.add_argument("--family", action="append", choices=FAMILIES, help="draw only from these (repeatable)")
    ap.add_argument("-v", "--verbose", action="store_true", help="a line for every schedule that passed")
    ap.add_argument("--index", type=int, action="append", help="the I-th random schedule of --seed (repeatable)")
    ap.add_argument("--bus-slower", type=int, default=1, help="the busy bus's periods times N (a slow build)")
    a = ap.parse_args()
    a.vcisim = a.vcisim or os.path.join(a.bin, "vcisim")
    a.seed = a.seed if a.seed is not None else random.SystemRandom().randrange(1 << 31)
    a.random = not (a.fixed or a.schedule)
    plans = None
    if a.fixed or a.schedule:
        plans = list(enumerate(named_plan(n) for n in (sorted(FIXED) if a.fixed else a.schedule)))
    elif a.index:
        plans = [(i, draw(a.seed, i, a.family)) for i in a.index]
    elif not a.count and not a.seconds:
        a.seconds = 60
    print("stress: seed %d" % a.seed, flush=True)
    run = Run(a, plans)
    start = time.monotonic()
    threads = [threading.Thread(target=worker, args=(run, w)) for w in range(max(1, a.jobs))]
    [t.start() for t in threads]
    [t.join() for t in threads]
    took, ran = time.monotonic() - start, run.next
    print("stress: %d schedules in %.0f s (%.1f a minute), seed %d" % (ran, took, ran * 60 / max(took, 1e-9), a.seed))
    print("%d passed, %d failed" % (run.passed, len(run.failed)))
    return 1 if run.failed or run.passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
