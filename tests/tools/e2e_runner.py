"""The start-up every end-to-end script shares (main()).

    SCRIPT.py --bin BUILD/bin --data BUILD/data CASE [CASE...]

A CASE is a name of the script's table, or NAME:ARG (scenario:demo). The
cases run side by side, each in a thread with a temporary folder of its own:
most of a case's time is waiting (the settle pause, an ECU's timeout).
"""

import argparse
import concurrent.futures
import os
import subprocess
import time
import traceback

SKIP = 77


class Skip(Exception):
    pass


def _run_one(run_case, name):
    start = time.monotonic()
    try:
        run_case(name)
        verdict, text = "ok", ""
    except Skip as e:
        verdict, text = "SKIPPED", str(e)
    except SystemExit as e:
        verdict, text = ("SKIPPED", "exit 77") if e.code == SKIP else ("FAIL", "exit %s" % e.code)
    except subprocess.TimeoutExpired as e:
        verdict, text = "FAIL", "hung: %s" % e
    except Exception as e:  # noqa: BLE001  (a check's Failure or a fault of the test itself)
        verdict, text = "FAIL", str(e) if type(e).__name__ == "Failure" else traceback.format_exc()
    return verdict, text, time.monotonic() - start


def cases_of(namespace):
    """The module's own case_NAME functions (not imported ones), as NAME
    with "-" for "_" (case_script_seedkey -> "script-seedkey")."""
    module = namespace["__name__"]
    return {name[5:].replace("_", "-"): fn for name, fn in namespace.items()
            if name.startswith("case_") and callable(fn) and getattr(fn, "__module__", module) == module}


def main(cases, with_lib=False, jobs=4, default=None):
    """Parses the command line, runs the cases named on it and returns the
    exit status: 1 when a case failed, 77 (ctest: skipped) when every case
    raised Skip or called sys.exit(77), else 0. cases: name ->
    function(ctx[, arg]), or a script's globals (its case_ functions); ctx:
    an e2e.Ctx (with_lib: with the --lib path as its lib); default(args):
    the cases to run when none is named (else one must be)."""
    from e2e import Ctx
    if "__name__" in cases:
        cases = cases_of(cases)
    ap = argparse.ArgumentParser()
    for name in ("bin", "data") + (("lib",) if with_lib else ()):
        ap.add_argument("--" + name, required=True)
    ap.add_argument("--jobs", type=int, default=jobs, help="cases run side by side (default %d)" % jobs)
    ap.add_argument("case", nargs="*" if default else "+")
    a = ap.parse_args()
    a.case = a.case or default(a)
    for name in a.case:
        if name.split(":", 1)[0] not in cases:
            ap.error("no case %s (cases: %s)" % (name, ", ".join(sorted(cases))))

    def run_case(name):
        fn, *arg = name.split(":", 1)
        ctx = Ctx(a.bin, a.data)
        ctx.lib = getattr(a, "lib", None)
        try:
            cases[fn](ctx, *arg)
        finally:
            ctx.cleanup()

    # A sanitizer build's ctest caps the cases side by side, so that its
    # slower processes' 100 ms command answers still come in time.
    jobs = min(a.jobs, int(os.environ.get("PDU7318_E2E_MAX_JOBS", a.jobs)))
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        futures = [(name, pool.submit(_run_one, run_case, name)) for name in a.case]
        results = []
        for name, f in futures:
            verdict, text, took = f.result()
            results.append(verdict)
            print("ok %s (%.1f s)" % (name, took) if verdict == "ok" else "%s %s: %s" % (verdict, name, text),
                  flush=True)
    passed, failed, skipped = (results.count(v) for v in ("ok", "FAIL", "SKIPPED"))
    print("%d passed, %d failed%s" % (passed, failed, ", %d skipped" % skipped if skipped else ""))
    return 1 if failed else SKIP if skipped == len(results) else 0
