#!/usr/bin/env python3
"""Lifetime tests: applications that end without PDUDestruct, unload the
library or call back into it from a callback must end normally, with the
exit status they chose, within 2 s of deciding to end.

    lifetime.py --bin BUILD/bin --lib LIBRARY --client CLIENT --data SOURCE/data CASE...

Each case starts vcisim on a pseudo-terminal (with --trace), runs a client
(C, dlopen'd or linked; C++ with a global object; Python ctypes) as a
child process against it and checks: its exit status, that it was not
killed by a signal, the time from its "exit at" stamp to its end, that it
printed no abort or sanitizer text, the text it must print, exactly one
CLOSE command on the wire, and (logging cases) that every log file ends
with a whole line.
"""
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from e2e import Ctx, Failure, Sim, check  # noqa: E402
import e2e_runner  # noqa: E402

# case: (client, mode, exit status, logging on, text that must be printed).
# Clients: c (dlopen), linked (the C client linked to the library), cpp and
# cpp-linked (a C++ program owning the API in a global object), py.
# Every case ends with exactly one CLOSE on the wire: sent by PDUDestruct,
# or by the library's teardown when the process ends without it.
CASES = {
    "c-idle": ("c", "idle", 7, False, None),
    "c-link": ("c", "link", 5, False, None),
    "c-inflight": ("c", "inflight", 9, False, None),
    "c-inflight-logging": ("c", "inflight", 9, True, None),
    "c-dlclose-destructed": ("c", "dlclose-destructed", 0, False, "after dlclose: library unloaded\nalive"),
    "c-dlclose-constructed": ("c", "dlclose-constructed", 0, False, "after dlclose: library still loaded\nalive"),
    "c-dlclose-constructed-logging": ("c", "dlclose-constructed", 0, True, "after dlclose: library still loaded\nalive"),
    "c-construct-in-callback": ("c", "construct-in-callback", 0, True, "construct in callback: 0x1"),
    "c-exit-in-callback": ("c", "exit-in-callback", 6, False, None),
    "py-idle": ("py", "idle", 7, False, None),
    "py-link": ("py", "link", 0, False, None),
    "py-inflight-logging": ("py", "inflight", 9, True, None),
}
for _log in (False, True):
    _suffix = "-logging" if _log else ""
    for _kind, _mode, _status, _text in (
            ("c", "destruct-2", 0, "destructs: "),
            ("c", "destruct-8", 0, "destructs: "),
            ("linked", "destruct-8", 0, "destructs: "),
            ("c", "atexit-before-dlopen", 3, "atexit destruct: 0x0"),
            ("c", "atexit-before-construct", 3, "atexit destruct: 0x0"),
            ("c", "atexit-after-construct", 3, "atexit destruct: 0x0"),
            ("linked", "atexit-before-construct", 3, "atexit destruct: 0x0"),
            ("linked", "atexit-after-construct", 3, "atexit destruct: 0x0"),
            ("py", "atexit", 3, "atexit destruct: 0x0")):
        CASES["%s-%s%s" % (_kind, _mode, _suffix)] = (_kind, _mode, _status, _log, _text)
    CASES["cpp-global" + _suffix] = ("cpp", "global", 4, _log, "global destruct: 0x0")
    CASES["cpp-global-linked" + _suffix] = ("cpp-linked", "global", 4, _log, "global destruct: 0x0")
EXIT_BOUND_S = 2.0
# A process that ends while a SENDRECV waits for its answer: the module's
# teardown wakes that wait at once. Had it not, the teardown would give up
# on the engine thread after 500 ms and say so in the main log; that line,
# not a tighter time bound (which a sanitizer's exit on a loaded machine
# can overrun), is what the logging case checks.
ENGINE_LEFT_RUNNING = "exit: the engine thread did not end within"
NATIVE = {"c": "lifetime_client", "linked": "lifetime_client_linked", "cpp": "lifetime_global",
          "cpp-linked": "lifetime_global_linked"}
# A CLOSE command in the simulator's trace ("PC->VCI veh #12  CLOSE ...").
CLOSE_LINE = re.compile(r"PC->VCI .*#\d+\s+CLOSE\s")


def check_clean(text):
    """No abort and no sanitizer report in a client's output."""
    for bad in ("terminate called", "Sanitizer", "runtime error:"):
        check(bad not in text, "%r in the output:\n%s" % (bad, text[-4000:]))


def exit_took(stdout, ended_ns, text):
    """Seconds from the client's last "exit at" stamp to ended_ns."""
    stamps = [int(line.split()[2]) for line in stdout.splitlines() if line.startswith("exit at ")]
    check(stamps, "no exit stamp\n" + text)
    return (ended_ns - stamps[-1]) / 1e9


def check_logs_whole(folder):
    """The three log files are there, each ending with a whole line."""
    files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    check(len(files) == 3, "log files: %s" % files)
    for f in files:
        with open(os.path.join(folder, f), "rb") as fh:
            data = fh.read()
        check(data == b"" or data.endswith(b"\n"), "%s ends with a partial line: %r" % (f, data[-60:]))


def run_case(ctx, name):
    kind, mode, want_status, logging, want_text = CASES[name]
    sim = None
    try:
        with open(os.path.join(ctx.home, "config.ini"), "w") as f:
            f.write("[LOG]\nopen=%d\n" % (1 if logging else 0))
        sim = Sim(ctx, None, ["--scenario", os.path.join(HERE, "silent.json")])
        logs = os.path.join(ctx.tmp, "logs")
        env = dict(os.environ, PDU7318_HOME=ctx.home, PDU7318_PORTS=sim.link, PDU7318_LOG_PATH=logs)
        if kind in NATIVE:
            cmd = [os.path.join(os.path.dirname(ctx.client), NATIVE[kind]), ctx.lib, mode]
        else:
            cmd = [sys.executable, os.path.join(HERE, "lifetime_client.py"), ctx.lib, mode]
        try:
            p = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=30)
        except subprocess.TimeoutExpired:
            raise Failure("the client hung")
        ended = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        out = p.stdout + p.stderr
        check(p.returncode >= 0, "killed by signal %d\n%s" % (-p.returncode, out))
        check_clean(out)
        check(p.returncode == want_status, "exit status %d, wanted %d\n%s" % (p.returncode, want_status, out))
        took = exit_took(p.stdout, ended, out)
        check(took < EXIT_BOUND_S, "the exit took %.2f s (bound %.1f s)" % (took, EXIT_BOUND_S))
        if want_text:
            check(want_text in p.stdout, "missing %r in\n%s" % (want_text, out))
        if logging:
            folder = os.path.join(logs, "J2534", "7318")
            check_logs_whole(folder)
            for file in os.listdir(folder):
                with open(os.path.join(folder, file), errors="replace") as f:
                    check(ENGINE_LEFT_RUNNING not in f.read(), "%s: the engine thread was left running" % file)
        # The trace is complete once the simulator has read what the client
        # wrote before it ended. It writes line by line: wait for the CLOSE
        # (a loaded machine may take a while to schedule it), then a moment
        # for a second one that must not come.
        sim.wait_for("CLOSE")
        time.sleep(0.2)
        sim.stop()
        trace = sim.output()
        closes = len(CLOSE_LINE.findall(trace))
        check(closes == 1, "%d CLOSE commands on the wire, wanted 1\n%s" % (closes, trace[-3000:]))
        print("%s: exit status %d, exit took %.3f s, CLOSE once" % (name, p.returncode, took))
    finally:
        if sim is not None and sim.proc.poll() is None:
            sim.proc.kill()
            sim.proc.wait()


def make_ctx(a):
    ctx = Ctx(a.bin, a.data)
    ctx.lib, ctx.client = a.lib, a.client
    return ctx


if __name__ == "__main__":
    # The cases of one ctest test run side by side: each spends most of its
    # second waiting (the library's 500 ms settle after opening the port,
    # the exit), so running them at once costs little CPU: a group of ten
    # still ends its exits well inside the 2 s bound beside a CPU hog.
    sys.exit(e2e_runner.main({name: (lambda ctx, n=name: run_case(ctx, n)) for name in CASES}, make_ctx,
                             with_lib=True, jobs=10, options=("client",)))
