"""A D-PDU library in this process, for the client's and the python-can
bus's own logic: the client calls these methods with the ctypes arguments
it gives the C functions and gets its items as the C structures a library
hands out. Like a library's engine it runs one job at a time on its own
thread, in the order queued: the link states of PDUConnect/PDUDisconnect and
the ComPrimitives (EXECUTING, the test's behave(job), FINISHED), and it calls
back for status items only. Values are literals, as on the wire."""

import collections
import ctypes
import queue
import threading
import time

from pdu7318 import _capi as C

PATH = "/opt/fake/libfakepdu.so"  # not this module's name: no VCI port check
UNDEF = 0xFFFFFFFF
NAMES = {"RSC_ISO_11898_RAW_6_14": 1, "RSC_UDS": 2, "PDU_IOCTL_READ_VBATT": 20}


def install(monkeypatch, path=PATH):
    """A new FakeLibrary where the client loads path."""
    from pdu7318 import library
    monkeypatch.setitem(library._libraries, path, (lib := FakeLibrary(), []))
    return lib


class Job:
    """One ComPrimitive, or a link state change (coptype None)."""

    def __init__(self, hcll, hcop, coptype, data=b""):
        self.hcll, self.hcop, self.coptype, self.data = hcll, hcop, coptype, data
        self.ended = threading.Event()  # the VCI lost, the library destructed, or as the test says


class FakeLibrary:
    def __init__(self):
        self.behave = lambda job: None
        self.fail = {}  # function name -> status it returns
        self.lost = False
        self.silent = False  # the VCI answers nothing: every job ends in a receive timeout
        self.vbatt = 12000
        self.started = []  # (coptype, data) of every ComPrimitive started
        self.vbatt_reads = 0
        self.destructs = 0
        self.out = {}  # address -> objects of each item handed out and not destroyed
        self.links = {}
        self._hcop = 0
        self._jobs = self._engine = self.running = None

    def _ms(self):
        return int(time.monotonic() * 1000) & 0xFFFFFFFF

    def _hand(self, out, item, *keep):
        out._obj.contents = item
        self.out[ctypes.addressof(item)] = (item,) + keep

    def _event(self, hcll, hcop, kind, data=None):
        link = self.links.get(hcll)
        if link is None:
            return
        pdata = ctypes.cast(ctypes.pointer(data), ctypes.c_void_p) if data is not None else None
        link["queue"].append((C.PDU_EVENT_ITEM(kind, hcop, None, self._ms(), pdata), data))
        if kind == 0x1301 and link["callback"]:
            link["callback"](0, 1, hcll, None, None)

    def status(self, hcll, hcop, value):
        self._event(hcll, hcop, 0x1301, C.UNUM32(value))

    def result(self, job, data, unique_id=1):
        buf = (C.UNUM8 * max(len(data), 1)).from_buffer_copy(bytes(data).ljust(1, b"\0"))
        flags = (C.UNUM8 * 4)()
        self._event(job.hcll, job.hcop, 0x1300, C.PDU_RESULT_DATA(
            C.PDU_FLAG_DATA(4, flags), unique_id, 0, C.PDU_FLAG_DATA(0, None), 0, self._ms(), None, len(data), buf))

    def error(self, job, code, extra=0):
        self._event(job.hcll, job.hcop, 0x1302, C.PDU_ERROR_DATA(code, extra))

    def _run(self):
        while True:
            job = self._jobs.get()
            if job is None:
                return
            if job.coptype is None:
                self.status(job.hcll, UNDEF, job.data)
                continue
            self.running = job
            self.status(job.hcll, job.hcop, 0x8011)
            if self.silent:
                self.error(job, 0x103)
            elif not self.lost:
                self.behave(job)
            self.running = None
            if self._engine is None:
                return  # destructed meanwhile: nothing more is delivered
            if self.lost:
                self.error(job, 0x106)
            self.status(job.hcll, job.hcop, 0x8012)

    def lose(self):
        """The VCI is pulled: what runs ends with the lost-VCI error, calls that need the VCI fail."""
        self.lost = True
        if self.running is not None:
            self.running.ended.set()

    def PDUConstruct(self, options, tag):
        if "PDUConstruct" in self.fail:
            return self.fail["PDUConstruct"]
        self._jobs = queue.Queue()
        self._engine = threading.Thread(target=self._run, name="fake-engine", daemon=True)
        self._engine.start()
        return 0

    def PDUDestruct(self):
        self.destructs += 1
        engine, self._engine = self._engine, None
        if engine is not None:
            if self.running is not None:
                self.running.ended.set()
            self._jobs.put(None)
            engine.join(5)
        self.links.clear()
        return 0x11 if self.lost else 0

    def PDUGetModuleIds(self, out):
        data = (C.PDU_MODULE_DATA * 1)(C.PDU_MODULE_DATA(0x7318, 1, b"FAKE", b"", 0x8063))
        self._hand(out, C.PDU_MODULE_ITEM(0x1500, 1, data), data)
        return 0

    def PDUModuleConnect(self, hmod):
        return 0

    def PDUModuleDisconnect(self, hmod):
        return 0x11 if self.lost else 0

    def PDUGetObjectId(self, kind, name, oid):
        oid._obj.value = NAMES.get(name.decode(), 0xFFFFFFFE)
        return 0

    def PDUIoCtl(self, hmod, hcll, ioid, data_in, out):
        if self.lost:
            return 0x11
        if self.silent:
            return 0x01
        self.vbatt_reads += 1
        value = C.UNUM32(self.vbatt)
        self._hand(out, C.PDU_DATA_ITEM(0x1000, ctypes.cast(ctypes.pointer(value), ctypes.c_void_p)), value)
        return 0

    def PDUCreateComLogicalLink(self, hmod, rsc, rid, tag, hcll, flags):
        hcll._obj.value = h = max(self.links, default=0) + 1
        self.links[h] = {"queue": collections.deque(), "callback": None}
        return 0

    def PDUDestroyComLogicalLink(self, hmod, hcll):
        return 0 if self.links.pop(hcll, None) is not None else 0x60

    def PDURegisterEventCallback(self, hmod, hcll, callback):
        self.links[hcll]["callback"] = callback
        return 0

    def _link_state(self, hcll, value):
        if hcll not in self.links:
            return 0x60
        self._jobs.put(Job(hcll, UNDEF, None, value))
        return 0

    def PDUConnect(self, hmod, hcll):
        return self._link_state(hcll, 0x8051)

    def PDUDisconnect(self, hmod, hcll):
        return self._link_state(hcll, 0x8050)

    def PDUStartComPrimitive(self, hmod, hcll, coptype, size, data, ctrl, tag, hcop):
        if "PDUStartComPrimitive" in self.fail:
            return self.fail["PDUStartComPrimitive"]
        if hcll not in self.links:
            return 0x60
        self._hcop += 1
        job = Job(hcll, self._hcop, coptype, bytes(data[:size]) if size else b"")
        job.cycles = ctrl._obj.NumReceiveCycles
        self.started.append((coptype, job.data))
        hcop._obj.value = job.hcop
        self._jobs.put(job)
        return 0

    def PDUGetEventItem(self, hmod, hcll, out):
        if hcll not in self.links:
            return 0x60
        try:
            self._hand(out, *self.links[hcll]["queue"].popleft())
        except IndexError:
            return 0x71
        return 0

    def PDUDestroyItem(self, item):
        self.out.pop(item.value, None)
        return 0
