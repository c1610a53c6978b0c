#!/usr/bin/env python3
"""The lifetime stress run's Windows entries under Wine: random schedules of
exit_client.exe (an exit without PDUDestruct, FreeLibrary with and without
it, PDUDestruct from a callback and then FreeLibrary, k threads
destructing, the process ending while another thread destructs), each in
a process of its own, against vcisim on the busy bus.

    stress_wine.py --vcisim PATH --win-bin BUILD-WIN/bin --data BUILD/data
                   [--prefix WINEPREFIX] [--com N] [--seconds S] [--seed N]
                   [--index I] [-v]

A schedule passes when the process ended with the status it chose within
2 s of its "exit at" line, every call it timed kept its bound, it printed
what its row of the lifetime table promises, the VCI saw the CLOSE
commands the table gives (none after an exit without PDUDestruct: the
detach sends nothing), no process kept the port open and the log files
end with a whole line. Each schedule first asks the ECU (so it proves the
one before left the VCI usable); a last one does so for the last.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "lifetime"))
from e2e import Ctx, Failure, Sim, check  # noqa: E402
from e2e_wine import Wine  # noqa: E402
import lifetime  # noqa: E402
import stress  # noqa: E402

AT_ONCE_MS = 100
DESTRUCT_MS = stress.CLOSE_MS + stress.SLACK_MS
# Wine starts a process in about half a second; a schedule's whole run
# (start, construct, the ECU's answer, the schedule, the end) stays well
# inside this.
RUN_BOUND_S = 30
# The log folder (C:\ of the prefix), shared by every schedule: each one
# must leave its files ending with a whole line.
LOGS = "pdu7318-stress-logs"


def draw(seed, index):
    """The index-th random schedule of seed: mode, keys, logging."""
    r = random.Random(seed * 1000003 + index)
    mode = r.choice(["exit", "freelibrary", "destruct-freelibrary", "callback-destruct-freelibrary", "destruct",
                     "exit-during-destruct"])
    keys = {"status": r.randrange(0, 90), "load": r.choice(["idle", "pending"]), "delay": r.randint(0, 300)}
    if mode == "destruct":
        keys["k"] = r.randint(1, 4)
    elif mode == "exit-during-destruct":
        keys["delay"] = r.randint(0, 1500)  # before, during and after its CLOSE
    return mode, keys, r.random() < 0.5


def expectations(mode, keys):
    """(status, CLOSE count or a function of the output, texts it prints)."""
    status = keys["status"]
    if mode in ("exit", "freelibrary"):
        return status, 0, ["dll still loaded"] if mode == "freelibrary" else []
    if mode == "exit-during-destruct":
        # The process may end before, during or after the CLOSE; a
        # PDUDestruct that returned 0 has sent it.
        return status, lambda out, n: n == 1 or (n == 0 and "call destruct 0x0 " not in out), []
    if mode == "destruct":
        ok = "destructs: 1 ok"
        return status, 1, [ok]
    return status, 1, ["dll unloaded"]


def bound_ms(what, st):
    if what in ("destruct", "callback-destruct"):
        return DESTRUCT_MS if st == 0 else AT_ONCE_MS + (DESTRUCT_MS if what == "destruct" else 0)
    if what == "freelibrary":
        return AT_ONCE_MS
    return None


def run_one(a, wine, sim, mode, keys, logging):
    app = wine.drive_c("ProgramData", "Brenlo", "Apps", "7318")
    with open(os.path.join(app, "config.ini"), "w") as f:
        f.write("[LOG]\r\nopen=%d\r\n" % logging)
    args = [os.path.join(a.win_bin, "exit_client.exe"), os.path.join(a.win_bin, "pdu7318.dll"), mode] + \
        ["%s=%s" % kv for kv in sorted(keys.items())]
    offset = os.path.getsize(sim.log_path)
    # The program writes into a file (not a pipe: Wine's services may keep a
    # pipe open); it is read through a descriptor of its own, since moving
    # the shared one would move the program's write position too.
    with tempfile.NamedTemporaryFile("w", prefix="exit_client-") as out_file:
        p = subprocess.Popen([os.environ.get("PDU7318_WINE", "wine")] + args, env=wine.env, stdout=out_file,
                             stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        # The moment "exit at" appears (looked at every 5 ms) and the end.
        stamp, start = None, time.monotonic()
        while p.poll() is None:
            if stamp is None:
                with open(out_file.name, errors="replace") as f:
                    if "exit at" in f.read():
                        stamp = time.monotonic()
            if time.monotonic() - start > RUN_BOUND_S:
                p.kill()
                p.wait()
                raise Failure("no end within %d s" % RUN_BOUND_S)
            time.sleep(0.005)
        ended = time.monotonic()
        with open(out_file.name, errors="replace") as f:
            out = f.read()
    status, closes, wants = expectations(mode, keys)
    lifetime.check_clean(out)
    check(p.returncode == status, "exit status %d, wanted %d\n%s" % (p.returncode, status, out))
    took = ended - (stamp if stamp is not None else ended)
    check(stamp is None or took <= stress.EXIT_BOUND_S, "the exit took %.2f s\n%s" % (took, out))
    check("exit at" in out and "vin ok" in out, "no 'vin ok' or 'exit at'\n%s" % out)
    for want in wants:
        check(want in out, "missing %r in\n%s" % (want, out))
    for what, st, ms in stress.calls(out):
        bound = bound_ms(what, st)
        check(bound is not None and ms <= bound, "%s returned 0x%X after %.1f ms (bound %s ms)" % (what, st, ms, bound))
    holders = stress.port_holders(sim)
    check(not holders, "left holding the port: %s" % holders)
    got, trace = stress.closes_since(sim, offset)
    ok = closes(out, got) if callable(closes) else got == closes
    check(ok, "%d CLOSE on the wire (the table gives %s)\n%s\n%s" %
          (got, "0 or 1" if callable(closes) else closes, out, "\n".join(trace.splitlines()[-12:])))
    if logging:
        lifetime.check_logs_whole(os.path.join(wine.drive_c(LOGS), "J2534", "7318"))
    return "%d CLOSE, ended %.2f s after its stamp" % (got, took)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--vcisim", required=True)
    ap.add_argument("--win-bin", required=True)
    ap.add_argument("--data", required=True)
    ap.add_argument("--prefix", default=os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")))
    ap.add_argument("--com", type=int, default=9)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--index", type=int, action="append", help="the I-th schedule of --seed (repeatable)")
    ap.add_argument("-v", "--verbose", action="store_true")
    a = ap.parse_args()
    a.seed = a.seed if a.seed is not None else random.SystemRandom().randrange(1 << 31)
    print("stress under Wine: seed %d" % a.seed)
    sys.stdout.flush()
    wine = Wine(os.path.abspath(a.prefix))
    ctx = Ctx(os.path.dirname(os.path.abspath(a.vcisim)), a.data)
    sim = Sim(ctx, "busy-bus")
    passed, failed, n, start = 0, [], 0, time.monotonic()
    indexes = a.index or []
    try:
        wine.attach_vci(os.path.realpath(sim.link), a.com)
        wine.app_folder(a.data, False, "C:\\" + LOGS)
        previous = "none"
        while (indexes and n < len(indexes)) or (not indexes and time.monotonic() - start < a.seconds):
            index = indexes[n] if indexes else n
            mode, keys, logging = draw(a.seed, index)
            what = "%s %s%s" % (mode, " ".join("%s=%s" % kv for kv in sorted(keys.items())),
                                " (logging)" if logging else "")
            try:
                note = run_one(a, wine, sim, mode, keys, logging)
                passed += 1
                if a.verbose:
                    print("ok #%d %s: %s" % (index, what, note))
            except Failure as e:
                failed.append(index)
                print("FAIL #%d %s --index %d --seed %d: %s\n(the schedule before it: %s)" %
                      (index, what, index, a.seed, e, previous))
            sys.stdout.flush()
            previous = "#%d %s" % (index, what)
            n += 1
        # The last schedule too must leave the VCI to the next process.
        try:
            run_one(a, wine, sim, "destruct-freelibrary", {"status": 0, "load": "idle", "delay": 0}, True)
        except Failure as e:
            failed.append("probe")
            print("FAIL probe after %s: %s" % (previous, e))
    finally:
        wine.detach_vci(a.com)
        wine.remove_app_folder()
        shutil.rmtree(wine.drive_c(LOGS), ignore_errors=True)
        try:
            sim.stop()
        except Failure as e:
            failed.append("vcisim")
            print("FAIL vcisim: %s" % e)
        ctx.cleanup()
    took = time.monotonic() - start
    print("stress under Wine: %d schedules in %.0f s (%.1f a minute), seed %d" % (n, took, n * 60 / max(took, 1e-9),
                                                                                 a.seed))
    print("%d passed, %d failed" % (passed, len(failed)))
    return 1 if failed or passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
