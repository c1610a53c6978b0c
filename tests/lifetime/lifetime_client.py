#!/usr/bin/env python3
"""The lifetime tests' Python application: plain ctypes, as a script writer
would use the library, ending without PDUDestruct.

    lifetime_client.py LIBRARY MODE

Modes: idle (sys.exit(7)), link (the script simply ends: status 0),
inflight (a SENDRECV waiting for its answer, then sys.exit(9)), atexit
(PDUDestruct registered with atexit, a connected link, sys.exit(3); the
handler prints "atexit destruct: 0x<status>").
Prints "exit at <CLOCK_MONOTONIC ns>" just before it ends.
"""
import atexit
import ctypes
import sys
import time

U32 = ctypes.c_uint32


def check(what, status):
    if status != 0:
        sys.stderr.write("client: %s failed: 0x%X\n" % (what, status))
        sys.exit(91)


def stamp():
    print("exit at %d" % time.clock_gettime_ns(time.CLOCK_MONOTONIC), flush=True)


def open_link(lib):
    resource, hcll = U32(0), U32(0)
    check("PDUGetObjectId", lib.PDUGetObjectId(0x8026, b"RSC_ISO_15765_3_on_ISO_15765_2_6_14", ctypes.byref(resource)))
    check("PDUCreateComLogicalLink", lib.PDUCreateComLogicalLink(1, None, resource, None, ctypes.byref(hcll), None))
    check("PDUConnect", lib.PDUConnect(1, hcll))
    return hcll


def main():
    lib = ctypes.CDLL(sys.argv[1])
    mode = sys.argv[2]
    if mode == "atexit":
        atexit.register(lambda: print("atexit destruct: 0x%X" % lib.PDUDestruct(), flush=True))
    check("PDUConstruct", lib.PDUConstruct(b"", None))
    if mode == "idle":
        stamp()
        sys.exit(7)
    hcll = open_link(lib)
    if mode == "link":
        stamp()
        return
    if mode == "atexit":
        stamp()
        sys.exit(3)
    if mode == "inflight":
        request = (ctypes.c_uint8 * 3)(0x22, 0xF1, 0x00)  # the simulated ECU never answers it
        # PDU_COP_CTRL_DATA: Time 0, one send and one receive cycle, the
        # rest (flags, expected responses) zero.
        ctrl = (U32 * 12)(0, 1, 1)
        hcop = U32(0)
        check("PDUStartComPrimitive", lib.PDUStartComPrimitive(1, hcll, 0x8004, 3, request, ctrl, None,
                                                               ctypes.byref(hcop)))
        time.sleep(0.15)
        stamp()
        sys.exit(9)
    sys.exit(2)


main()
