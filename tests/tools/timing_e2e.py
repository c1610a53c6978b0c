#!/usr/bin/env python3
"""The wait of a SENDRECV that gets no answer, per handler class, end to end.

    timing_e2e.py --bin BUILD/bin --lib BUILD/lib/libpdu7318.so --data SOURCE/data [CLASS...]

For one resource of each handler class the library (loaded with ctypes)
talks to a vcisim whose car has no ECU. On one link: a SENDRECV with the
defaults, then CP_P2Max = 50000 us and an UPDATEPARAM and a SENDRECV, then
CP_P2Max = 5000000 us, an UPDATEPARAM and a SENDRECV. Each wait, from the
start of the ComPrimitive to its FINISHED status, must be the class's
literal value plus the 30 ms the library adds to every wait (within 10 ms
below and 600 ms above): a timing ComParam may lengthen a wait, never shorten it below
the class's initial one. Classes run in parallel, one process each.
"""

import argparse
import concurrent.futures
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# class: (resource, defaults ms, after CP_P2Max 50 ms, after CP_P2Max 5000 ms)
ROWS = {
    "ISO15765": ("RSC_ISO_15765_3_on_ISO_15765_2_6_14", 3000, 3000, 6000),
    "ISO14230": ("RSC_ISO_14230_3_on_ISO_14230_2_7", 3000, 3000, 5000),
    "TP20": ("RSC_MSP_VW2000LP_on_TP20_6_14", 3000, 3000, 6000),
    "ISO9141": ("RSC_ISO_15031_5_on_ISO_9141_2_7", 2000, 2000, 5000),
    "TP16_KW1281": ("RSC_MSP_KW1281_on_TP16_6_14", 3000, 3000, 5000),
    "TP16_KW2000": ("RSC_MSP_VW2000LP_on_TP16_6_14", 3000, 3000, 5000),
    # The base behaviour: 200 ms more for every SENDRECV without answer.
    "KW": ("RSC_KW81_on_KW_UART_7", 2200, 2400, 5200),
    "KW71": ("RSC_KW71_on_KW_UART_7_15", 2200, 2400, 5200),
    "ISO11898Raw": ("RSC_ISO_11898_RAW_6_14", 2200, 2400, 5200),
    "J1850PWM": ("RSC_ISO_OBD_on_SAE_J1850_2_10", 2200, 2400, 5200),
    "J1850VPW": ("RSC_SAE_J2190_on_SAE_J1850_VPW_2_10", 2200, 2400, 5200),
    "J1939": ("RSC_SAE_J1939_73_on_SAE_J1939_21_6_14", 2200, 2400, 5200),
    "J1708": ("RSC_SAE_J1587_on_SAE_J1708_12_13", 2200, 2400, 5200),
    "J2610_SCI": ("RSC_SAE_J2610_on_SAE_J2610_SCI_7_12", 2200, 2400, 5200),
}
ENGINE_MARGIN_MS = 30
EARLY_MS = 10  # the library counts its wait in whole milliseconds
SLACK_MS = 600

# The shipped Python package drives the library (python/pdu7318).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))


def run_class(name, lib_path):
    """In its own process: one link, three SENDRECVs without answer."""
    import pdu7318
    resource, *want = ROWS[name]
    waits = []
    with pdu7318.Api(library=lib_path) as api, api.link(resource) as link:
        for value in (None, 50000, 5000000):
            if value is not None:
                link.set_param("CP_P2Max", value)
                link.update_params()
            began = time.monotonic()
            # A request nobody answers: the car has no ECU.
            link.send_recv(bytes.fromhex("10 07 00 00 01 3E"), timeout=20, check=False)
            waits.append(round((time.monotonic() - began) * 1000))
    print(json.dumps({"waits": waits, "want": want}))


def check_class(args, name):
    tmp = tempfile.mkdtemp(prefix="pdu7318-timing-")
    try:
        home = os.path.join(tmp, "home")
        os.makedirs(home)
        for f in ("MDF.xml", "config.ini", "PDUAPI_7318.ini"):
            shutil.copy(os.path.join(args.data, f), home)
        scenario = os.path.join(tmp, "silent.json")
        with open(scenario, "w") as f:
            f.write('{"name": "silent", "description": "a car without ECUs", "ecus": []}')
        link = os.path.join(tmp, "vci")
        sim = subprocess.Popen([os.path.join(args.bin, "vcisim"), "--scenario", scenario, "--link", link],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            end = time.monotonic() + 10
            while not os.path.islink(link) and time.monotonic() < end:
                time.sleep(0.01)
            env = dict(os.environ, PDU7318_HOME=home, PDU7318_PORTS=link, PDU7318_LOG_PATH=os.path.join(tmp, "logs") + "/")
            p = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", name, "--lib", args.lib],
                               env=env, capture_output=True, text=True, timeout=90)
        finally:
            sim.send_signal(signal.SIGTERM)
            sim.wait(5)
        if p.returncode != 0:
            return False, "child failed: %s" % p.stderr.strip()[-500:]
        got = json.loads(p.stdout.strip().splitlines()[-1])
        ok = all(w + ENGINE_MARGIN_MS - EARLY_MS <= g < w + ENGINE_MARGIN_MS + SLACK_MS
                 for g, w in zip(got["waits"], got["want"]))
        return ok, "waits %s ms, want %s ms + %d" % (got["waits"], got["want"], ENGINE_MARGIN_MS)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin")
    ap.add_argument("--lib", required=True)
    ap.add_argument("--data")
    ap.add_argument("--child")
    ap.add_argument("classes", nargs="*")
    a = ap.parse_args()
    if a.child:
        run_class(a.child, a.lib)
        return 0
    names = a.classes or list(ROWS)
    failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(names)) as pool:
        futures = {n: pool.submit(check_class, a, n) for n in names}
        for n in names:
            ok, text = futures[n].result()
            failed += 0 if ok else 1
            print("%s  %-12s %-40s %s" % ("ok  " if ok else "FAIL", n, ROWS[n][0], text))
    print("%d passed, %d failed" % (len(names) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
