#!/usr/bin/env python3
"""Lifetime tests: applications that end without PDUDestruct, unload the
library or call back into it from a callback must end normally, with the
exit status they chose, within 2 s of deciding to end.

    lifetime.py --bin BUILD/bin --lib LIBRARY --data BUILD/data CASE...

Each case runs a client (C, dlopen'd or linked; C++ with a global object;
Python ctypes) as a child process against a vcisim of its own and checks it
as the stress run checks a schedule (stress.run_plan): exit status, exit
time from its "exit at" stamp, no abort or sanitizer text, the text it must
print, exactly one CLOSE on the wire, whole log lines.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
from e2e import Sim, check  # noqa: E402
import e2e_runner  # noqa: E402

# case: (client, mode, exit status, logging on, text that must be printed).
# Clients: c (dlopen), linked (the C client linked to the library), cpp and
# cpp-linked (a C++ program owning the API in a global object), py. Modes:
# idle (constructed), link (a connected link), inflight (a SENDRECV waiting
# for an answer that never comes), dlclose-* (unloading a destructed or a
# constructed module, then running on), *-in-callback (PDUConstruct, which
# must fail with 0x01, or exit() from a callback), destruct-N (N threads at
# once while a SENDRECV waits), atexit-* (PDUDestruct from an exit handler
# registered at that point).
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
    for _kind, _mode in (("c", "destruct-2"), ("c", "destruct-8"), ("linked", "destruct-8"),
                         ("c", "atexit-before-dlopen"), ("c", "atexit-before-construct"),
                         ("c", "atexit-after-construct"), ("linked", "atexit-before-construct"),
                         ("linked", "atexit-after-construct"), ("py", "atexit")):
        _status, _text = (0, "destructs: ") if _mode.startswith("destruct") else (3, "atexit destruct: 0x0")
        CASES["%s-%s%s" % (_kind, _mode, _suffix)] = (_kind, _mode, _status, _log, _text)
    CASES["cpp-global" + _suffix] = ("cpp", "global", 4, _log, "global destruct: 0x0")
    CASES["cpp-global-linked" + _suffix] = ("cpp-linked", "global", 4, _log, "global destruct: 0x0")
# A process that ends while a SENDRECV waits for its answer: the module's
# teardown wakes that wait at once. Had it not, the teardown would give up
# on the engine thread after 500 ms and say so in the main log; that line,
# not a tighter time bound (which a sanitizer's exit on a loaded machine
# can overrun), is what the logging case checks.
ENGINE_LEFT_RUNNING = "exit: the engine thread did not end within"
# The C cases are stress_client's "lifetime MODE".
NATIVE = {"c": "stress_client", "linked": "lifetime_client_linked", "cpp": "lifetime_global",
          "cpp-linked": "lifetime_global_linked"}


def check_clean(text):
    """No abort and no sanitizer report in a client's output."""
    for bad in ("terminate called", "Sanitizer", "runtime error:"):
        check(bad not in text, "%r in the output:\n%s" % (bad, text[-4000:]))


def check_logs_whole(folder):
    """The three log files are there, each ending with a whole line."""
    files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    check(len(files) == 3, "log files: %s" % files)
    for f in files:
        with open(os.path.join(folder, f), "rb") as fh:
            data = fh.read()
        check(data == b"" or data.endswith(b"\n"), "%s ends with a partial line: %r" % (f, data[-60:]))


def run_case(ctx, name):
    """One case on a simulator of its own, checked as the stress run checks
    a schedule (stress.run_plan), and no engine thread left running."""
    import stress  # noqa: E402  (it imports this module)
    plan = stress.legacy_plan(name)
    if plan.logging:
        plan.checks.append(lambda out, logs: check(ENGINE_LEFT_RUNNING not in stress.read_logs(logs),
                                                   "the engine thread was left running"))
    with Sim(ctx, os.path.join(HERE, "silent.json")) as sim:
        print("%s: %s" % (name, stress.run_plan(ctx, ctx, sim, plan, name)))


if __name__ == "__main__":
    # The cases of one ctest test run side by side: each spends most of its
    # second waiting (the library's 500 ms settle after opening the port,
    # the exit), so running them at once costs little CPU: a group of ten
    # still ends its exits well inside the 2 s bound beside a CPU hog.
    sys.exit(e2e_runner.main({name: (lambda ctx, n=name: run_case(ctx, n)) for name in CASES},
                             with_lib=True, jobs=10))
