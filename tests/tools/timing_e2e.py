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
import ctypes as C
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

PDU_OBJT_COMPARAM, PDU_OBJT_RESOURCE = 0x8024, 0x8026
PDU_IT_PARAM, PDU_IT_STATUS = 0x1200, 0x1301
PDU_PT_UNUM32, PDU_PC_TIMING = 0x105, 1
PDU_COPT_UPDATEPARAM, PDU_COPT_SENDRECV = 0x8003, 0x8004
PDU_COPST_FINISHED = 0x8012
PDU_ERR_EVENT_QUEUE_EMPTY = 0x71


class FlagData(C.Structure):
    _fields_ = [("NumFlagBytes", C.c_uint32), ("pFlagData", C.c_void_p)]


class ParamItem(C.Structure):
    _fields_ = [("ItemType", C.c_uint32), ("ComParamId", C.c_uint32), ("ComParamDataType", C.c_uint32),
                ("ComParamClass", C.c_uint32), ("pComParamData", C.c_void_p)]


class CopCtrl(C.Structure):
    _fields_ = [("Time", C.c_uint32), ("NumSendCycles", C.c_int32), ("NumReceiveCycles", C.c_int32),
                ("TempParamUpdate", C.c_uint32), ("TxFlag", FlagData), ("NumPossibleExpectedResponses", C.c_uint32),
                ("pExpectedResponseArray", C.c_void_p)]


class EventItem(C.Structure):
    _fields_ = [("ItemType", C.c_uint32), ("hCop", C.c_uint32), ("pCoPTag", C.c_void_p),
                ("Timestamp", C.c_uint32), ("pData", C.c_void_p)]


CALLBACK = C.CFUNCTYPE(None, C.c_uint32, C.c_uint32, C.c_uint32, C.c_void_p, C.c_void_p)


class Api:
    def __init__(self, path):
        self.lib = C.CDLL(path)
        self.hMod = 1
        self.callback = CALLBACK(lambda *a: None)  # kept alive with the object

    def ok(self, name, *args):
        status = getattr(self.lib, name)(*args)
        if status != 0:
            raise RuntimeError("%s returned 0x%X" % (name, status))

    def object_id(self, objt, name):
        out = C.c_uint32(0xFFFFFFFE)
        self.ok("PDUGetObjectId", C.c_uint32(objt), C.c_char_p(name.encode()), C.byref(out))
        return out.value

    def start(self, hCLL, copt, data=b"", cycles=True):
        ctrl = CopCtrl(0, 1, 1, 0, FlagData(0, None), 0, None)
        buf = (C.c_uint8 * max(len(data), 1)).from_buffer_copy(data or b"\0")
        hCoP = C.c_uint32(0)
        self.ok("PDUStartComPrimitive", C.c_uint32(self.hMod), C.c_uint32(hCLL), C.c_uint32(copt),
                C.c_uint32(len(data)), buf if data else None, C.byref(ctrl) if cycles else None, None,
                C.byref(hCoP))
        return hCoP.value

    def wait_finished(self, hCLL, hCoP, limit_s=20):
        """Polls the link's events until hCoP is FINISHED."""
        end = time.monotonic() + limit_s
        while time.monotonic() < end:
            item = C.POINTER(EventItem)()
            status = self.lib.PDUGetEventItem(C.c_uint32(self.hMod), C.c_uint32(hCLL), C.byref(item))
            if status not in (0, PDU_ERR_EVENT_QUEUE_EMPTY):
                raise RuntimeError("PDUGetEventItem returned 0x%X" % status)
            if status != 0 or not item:
                time.sleep(0.005)
                continue
            ev = item.contents
            done = (ev.ItemType == PDU_IT_STATUS and ev.hCop == hCoP and ev.pData and
                    C.cast(ev.pData, C.POINTER(C.c_uint32))[0] == PDU_COPST_FINISHED)
            self.lib.PDUDestroyItem(item)
            if done:
                return
        raise RuntimeError("ComPrimitive %d did not finish" % hCoP)


def measure(api, resource):
    api.ok("PDUModuleConnect", C.c_uint32(api.hMod))
    hCLL = C.c_uint32(0)
    api.ok("PDUCreateComLogicalLink", C.c_uint32(api.hMod), None, C.c_uint32(api.object_id(PDU_OBJT_RESOURCE, resource)),
           None, C.byref(hCLL), C.byref(FlagData(0, None)))
    hCLL = hCLL.value
    api.ok("PDURegisterEventCallback", C.c_uint32(api.hMod), C.c_uint32(hCLL), api.callback)
    api.ok("PDUConnect", C.c_uint32(api.hMod), C.c_uint32(hCLL))
    p2max = api.object_id(PDU_OBJT_COMPARAM, "CP_P2Max")
    waits = []
    for value in (None, 50000, 5000000):
        if value is not None:
            v = C.c_uint32(value)
            api.ok("PDUSetComParam", C.c_uint32(api.hMod), C.c_uint32(hCLL),
                   C.byref(ParamItem(PDU_IT_PARAM, p2max, PDU_PT_UNUM32, PDU_PC_TIMING, C.cast(C.byref(v), C.c_void_p))))
            api.wait_finished(hCLL, api.start(hCLL, PDU_COPT_UPDATEPARAM, cycles=False))
        began = time.monotonic()
        # A request nobody answers: the car has no ECU.
        api.wait_finished(hCLL, api.start(hCLL, PDU_COPT_SENDRECV, bytes.fromhex("10 07 00 00 01 3E")))
        waits.append(round((time.monotonic() - began) * 1000))
    api.ok("PDUDisconnect", C.c_uint32(api.hMod), C.c_uint32(hCLL))
    api.ok("PDUDestroyComLogicalLink", C.c_uint32(api.hMod), C.c_uint32(hCLL))
    return waits


def run_class(name, lib_path):
    """In its own process: one link, three SENDRECVs without answer."""
    resource, *want = ROWS[name]
    api = Api(lib_path)
    api.ok("PDUConstruct", None, None)
    try:
        waits = measure(api, resource)
    finally:
        # The library's threads must be stopped before the process ends.
        api.lib.PDUDestruct()
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
